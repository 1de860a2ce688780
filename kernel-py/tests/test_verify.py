"""verify_delegation: its arguments, the order in which broken rules are
reported, scope coverage, time bounds, and the end-to-end example."""

import os
import subprocess
import sys

import pytest

import vestrel_kernel as vk
from conftest import (MASTER, REPO, derived_seed, missing_shared_vectors, mldsa_or_skip,
                      payload_bytes, shared_vectors_dir)

le32 = lambda n: n.to_bytes(4, "little")
DOCS_READ = vk.perm_tlv(b"docs", b"read")
NOW = 1_000


@pytest.fixture(scope="module")
def chain(identities):
    """Builds chains from real identities: each link is (issuer, child, role,
    depth, scope, caveats), named identities standing for keys."""

    def build(*links):
        creds = []
        for issuer, child, role, depth, scope, caveats in links:
            payload, sig = identities(issuer).issue_credential(
                identities(child).public_key(), role, depth, scope, caveats)
            creds.append((identities(issuer).public_key(), sig, payload))
        return creds

    return build


@pytest.fixture(scope="module")
def root_pk(identities):
    return identities("root").public_key()


def verify(root_pk, creds, now=NOW):
    return vk.verify_delegation(root_pk, vk.encode_chain(creds), now)


def flip(data, index):
    return data[:index] + bytes([data[index] ^ 1]) + data[index + 1:]


def refusal(call):
    with pytest.raises(ValueError) as info:
        call()
    assert type(info.value) is ValueError and len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize("args,error,message", [
    ((bytes(1951), b"", 0), ValueError, "root_pk must be 1952 bytes"),
    ((bytes(1953), b"\x02", 0), ValueError, "root_pk must be 1952 bytes"),
    ((bytearray(1952), b"", 0), TypeError, "argument 'root_pk': 'bytearray' object cannot be converted to 'PyBytes'"),
    ((bytes(10), memoryview(b""), 0), TypeError, "argument 'wire': 'memoryview' object cannot be converted to 'PyBytes'"),
    ((bytes(10), b"", "now"), TypeError, "argument 'now': 'str' object cannot be interpreted as an integer"),
])
def test_argument_refusals(args, error, message):
    with pytest.raises(error) as info:
        vk.verify_delegation(*args)
    assert info.value.args == (message,)


@pytest.mark.parametrize("wire,error", [
    (b"", "WireTruncated"), (b"\x02", "WireVersionMismatch"), (b"\x01\x00\x00\x00", "WireTruncated"),
    (b"\x01" + le32(0), "EmptyChain"), (b"\x01" + le32(17), "ChainTooDeep"),
])
def test_wire_refusals(wire, error):
    assert refusal(lambda: vk.verify_delegation(bytes(1952), wire, 0)) == "KernelError::" + error


def test_valid_chains(chain, root_pk):
    one = chain(("root", "a", "leaf", 1, DOCS_READ, b""))
    assert verify(root_pk, one) == 1
    assert vk.verify_delegation(root_pk, vk.encode_chain(one) + b"junk", 0) == 1
    names = ["root"] + [f"n{i}" for i in range(1, 17)]
    sixteen = chain(*[(names[i], names[i + 1], "node", i + 1, DOCS_READ, b"") for i in range(16)])
    assert verify(root_pk, sixteen) == 16


def test_broken_rules_are_reported_in_order(chain, root_pk):
    node = ("root", "a", "node", 1, DOCS_READ, b"")
    leaf = ("root", "a", "leaf", 1, DOCS_READ, b"")
    below = ("a", "b", "leaf", 2, DOCS_READ, b"")
    expired = ("root", "a", "node", 1, DOCS_READ, vk.not_after(NOW - 1))
    [c_node], [c_leaf], [c_below], [c_expired] = (chain(x) for x in (node, leaf, below, expired))
    bad_sig = (c_below[0], flip(c_below[1], 0), c_below[2])
    by_other = chain(("other", "a", "node", 1, DOCS_READ, b""))
    rows = [
        # the whole wire is decoded before any credential is examined
        (vk.encode_chain(by_other + [c_below]).replace(b"\x01" + le32(2), b"\x01" + le32(3), 1), "WireTruncated"),
        (by_other, "ParentKeyMismatch"),  # validly signed, by the wrong key
        ([c_leaf, c_below], "LeafCannotDelegate"),
        ([c_leaf, (c_node[0],) + c_below[1:]], "ParentKeyMismatch"),  # linkage before delegation right
        ([(c_node[0], c_node[1], flip(c_node[2], 1000))], "SignatureInvalid"),
        ([(c_node[0], flip(c_node[1], 47), c_node[2])], "SignatureInvalid"),
        ([c_expired, bad_sig], "NotAfterViolation"),  # credential 1 is finished first
        (chain(("root", "a", "node", 2, DOCS_READ, vk.not_after(0))), "DepthMismatch"),  # depth before time
        (chain(node, ("a", "b", "leaf", 3, DOCS_READ, b"")), "DepthMismatch"),
        (chain(node, ("a", "b", "leaf", 2, DOCS_READ + vk.perm_tlv(b"docs", b"write"), vk.not_after(0))),
         "ScopeEscalation"),  # coverage before time
    ]
    for wire_or_creds, error in rows:
        wire = wire_or_creds if isinstance(wire_or_creds, bytes) else vk.encode_chain(wire_or_creds)
        assert refusal(lambda: vk.verify_delegation(root_pk, wire, NOW)) == "KernelError::" + error, error


@pytest.mark.parametrize("parent,child,covered", [
    ((b"*", b"*"), (b"any", b"thing"), True),
    ((b"docs", b"*"), (b"docs", b"read"), True),
    ((b"docs", b"*"), (b"docs2", b"read"), False),
    ((b"doc", b"read"), (b"docs", b"read"), False),
    ((b"doc", b"read"), (b"do", b"read"), False),
    ((b"docs", b"read"), (b"*", b"read"), False),
    ((b"*", b"read"), (b"*", b"read"), True),
    ((b"**", b"read"), (b"ab", b"read"), False),
    ((b"**", b"read"), (b"**", b"read"), True),
    ((b"Docs", b"read"), (b"docs", b"read"), False),
    ((b"", b"read"), (b"", b"read"), True),
])
def test_scope_coverage(chain, root_pk, parent, child, covered):
    creds = chain(("root", "a", "node", 1, vk.perm_tlv(*parent), b""),
                  ("a", "b", "leaf", 2, vk.perm_tlv(*child) * 2, b""))
    if covered:
        assert verify(root_pk, creds) == 2
    else:
        assert refusal(lambda: verify(root_pk, creds)) == "KernelError::ScopeEscalation"


@pytest.mark.parametrize("caveats,now,error", [
    (vk.not_before(100), 100, None), (vk.not_before(100), 99, "NotBeforeViolation"),
    (vk.not_after(100), 100, None), (vk.not_after(100), 101, "NotAfterViolation"),
    (vk.not_before(100) + vk.not_before(50), 75, "NotBeforeViolation"),  # every record is enforced
    (vk.not_after(2**64 - 1), 2**64 - 1, None),
])
def test_time_bounds(chain, root_pk, caveats, now, error):
    creds = chain(("root", "a", "leaf", 1, DOCS_READ, caveats))
    if error is None:
        assert verify(root_pk, creds, now) == 1
    else:
        assert refusal(lambda: verify(root_pk, creds, now)) == "KernelError::" + error


@pytest.mark.parametrize("payload,lenient,strict", [
    (payload_bytes()[:1960], "payload too short", "WireTruncated"),
    (payload_bytes(role=2)[:1960], "payload too short", "InvalidRoleByte"),
    (payload_bytes(role=2), "invalid role byte: 0x02", "InvalidRoleByte"),
    (payload_bytes(scope_len=0xFFFFFFFF), "payload truncated at scope", "WireTruncated"),
    (payload_bytes(caveats_len=9), "payload truncated at caveats", "WireTruncated"),
    (payload_bytes(tail=b"\x00"), None, "WireInvalid"),
    (payload_bytes(caveats=vk.not_after(5) * 65), None, "CaveatsTooLarge"),
    (payload_bytes(caveats=vk.not_after(5) + b"\x01"), None, "MalformedCaveatBuffer"),
    (payload_bytes(caveats=b"\x03" + bytes(8)), "unknown caveat tag: 0x03", "MalformedCaveatBuffer"),
    (payload_bytes(caveats=vk.not_before(100) + vk.not_before(50)), None, "NotBeforeViolation"),
], ids=lambda case: case if isinstance(case, str) else None)
def test_the_two_payload_readers_disagree_where_intended(identities, root_pk, payload, lenient, strict):
    """A structural fault is reached only past the signature, so these
    payloads are signed for the root with an independent ML-DSA."""
    mldsa = mldsa_or_skip()
    key = mldsa.MLDSA65PrivateKey.from_seed_bytes(derived_seed(MASTER, b"tests", b"root"))
    wire = vk.encode_chain([(root_pk, key.sign(payload), payload)])
    assert refusal(lambda: vk.verify_delegation(root_pk, wire, 75)) == "KernelError::" + strict
    if lenient is None:
        vk.parse_payload(payload)
    else:
        assert refusal(lambda: vk.parse_payload(payload)) == lenient


def test_example_script_runs():
    env = dict(os.environ, PYTHONPATH=os.environ["VESTREL_KERNEL_MODULE_DIR"])
    run = subprocess.run([sys.executable, str(REPO / "examples" / "delegation.py")],
                         env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.count("refused ") == 3 and "KernelError::NotAfterViolation" in run.stdout


def _signature_vector_cases():
    path = shared_vectors_dir() / "verify.json"
    if not path.exists():
        return [pytest.param(None, id="no-shared-vectors")]
    import json

    cases = json.loads(path.read_text())["cases"]
    return [pytest.param(c, id=c["id"]) for c in cases if c["kernel_verify"] != "unreachable"]


@pytest.mark.parametrize("case", _signature_vector_cases())
def test_external_signature_cases(case):
    """Signatures from outside suites, carried as a one-credential chain whose
    issuer is the case's key: the verdict must be the case's class; a valid
    signature gets past the signature check and fails on its payload, which
    is no credential."""
    if case is None:
        missing_shared_vectors()
    pk = bytes.fromhex(case["pk"])
    wire = vk.encode_chain([(pk, bytes.fromhex(case["sig"]), bytes.fromhex(case["msg"]))])
    message = refusal(lambda: vk.verify_delegation(pk, wire, NOW))
    if case["kernel_verify"] == "accept":
        assert message not in ("KernelError::SignatureInvalid",
                               "KernelError::SignatureDecodingFailed")
    else:
        assert message == "KernelError::" + case["kernel_verify"]
