"""The committed conformance vectors: still what the module produces, complete,
and readable by a consumer that knows only the schema in vectors/README.md."""

import hashlib
import json
import os
import re
import sys
from pathlib import Path

import pytest

from conftest import DEBIAN_PYTHON

REPO = Path(__file__).resolve().parents[3]
VECTORS = REPO / "vectors"
sys.path.insert(0, str(REPO / "tools"))

# Every refusal that verification can produce; the other five kernel errors
# belong to issuance, derivation or perm_tlv.
VERIFICATION_ERRORS = {
    "WireTruncated", "WireVersionMismatch", "EmptyChain", "ChainTooDeep", "ParentKeyMismatch",
    "LeafCannotDelegate", "SignatureDecodingFailed", "SignatureInvalid", "InvalidRoleByte",
    "WireInvalid", "ScopeEmpty", "ScopeTooLarge", "CaveatsTooLarge", "MalformedCaveatBuffer",
    "DepthMismatch", "ScopeEscalation", "NotBeforeViolation", "NotAfterViolation",
}


def load(name):
    return json.loads((VECTORS / name).read_text())


def kernel_error(call):
    try:
        return call()
    except ValueError as e:
        assert str(e).startswith("KernelError::"), e
        return str(e)[len("KernelError::"):]


def outcome(call):
    """{"result": value}, {"error": KernelError name} or {"message": plain text}, as the vectors write it."""
    try:
        return {"result": call()}
    except ValueError as e:
        text = str(e)
        if text.startswith("KernelError::"):
            return {"error": text[len("KernelError::"):]}
        return {"message": text}


def unpack(value):
    """Bytes from hex, or from a list of hex pieces and {"repeat", "count"} runs."""
    if isinstance(value, str):
        return bytes.fromhex(value)
    return b"".join(bytes.fromhex(p) if isinstance(p, str) else bytes.fromhex(p["repeat"]) * p["count"]
                    for p in value)


def time(value):
    return None if value is None else int(value)


# Whether the committed files are current is a fact of the repository, not of
# the interpreter or the processor: the replays below are what every run checks.
@pytest.mark.skipif(os.path.realpath(sys.executable) != os.path.realpath(DEBIAN_PYTHON),
                    reason="the generator reruns once per suite, under Debian's python3")
def test_committed_files_are_exactly_what_the_generator_writes(vk):
    import gen_vectors

    for name, document in gen_vectors.build_all().items():
        assert (VECTORS / name).read_text() == gen_vectors.render(document), (
            f"vectors/{name} is stale: run tools/gen_vectors.py")


def test_verification_cases_replay_through_the_module(vk):
    doc = load("verification.json")
    keys = {name: bytes.fromhex(k["public_key"]) for name, k in doc["keys"].items()}
    for case in doc["cases"]:
        wire = bytes.fromhex(case["wire"])
        for check in case["checks"]:
            assert set(check) in ({"now", "count"}, {"now", "error"}), case["name"]
            expected = check.get("count", check.get("error"))
            assert isinstance(check["now"], int) or int(check["now"]) >= 2**53, case["name"]
            got = kernel_error(lambda: vk.verify_delegation(keys[case["root"]], wire, time(check["now"])))
            assert got == expected, f"{case['name']} at {check['now']}"


def test_issuance_and_derivation_cases_replay_through_the_module(vk):
    doc = load("issuance.json")
    issuers = {name: vk.IdentityIsland(*(bytes.fromhex(i[f]) for f in ("master", "deployment", "context")))
               for name, i in doc["issuers"].items()}
    for case in doc["cases"]:
        args = (bytes.fromhex(case["child_pk"]), case["role"], case["depth"],
                bytes.fromhex(case["scope"]), bytes.fromhex(case["caveats"]))
        got = outcome(lambda: issuers[case["issuer"]].issue_credential(*args))
        if "result" in got:
            payload, sig = got["result"]
            got = {"payload": payload.hex(), "signature": sig.hex()}
        assert got == {k: case[k] for k in case if k in ("error", "message", "payload", "signature")}, case["name"]
    import vestrel

    for case in load("derivation.json")["cases"]:
        labels = (bytes.fromhex(case[f]) for f in ("master", "deployment", "context"))
        pk = vk.IdentityIsland(*labels).public_key()
        assert (pk.hex(), vestrel.key_id(pk)) == (case["public_key"], case["key_id"]), case["name"]


def encoding_arguments(call, args):
    if call in ("not_before", "not_after"):
        return [time(args[0])]
    if call == "encode_chain":
        return [[tuple(unpack(field) for field in credential) for credential in args[0]]]
    return [unpack(a) for a in args]


def encoding_result(call, result):
    if call == "decode_chain":
        return [tuple(unpack(field) for field in credential) for credential in result]
    if call == "parse_payload":
        return dict(result, child_pk=unpack(result["child_pk"]), not_before=time(result["not_before"]),
                    not_after=time(result["not_after"]),
                    perms=[(unpack(r), unpack(v)) for r, v in result["perms"]])
    return unpack(result)


def test_encoding_cases_replay_through_the_module(vk):
    doc = load("encoding.json")
    assert {case["call"] for case in doc["cases"]} == {
        "perm_tlv", "not_before", "not_after", "encode_chain", "decode_chain", "parse_payload"}
    for case in doc["cases"]:
        got = outcome(lambda: getattr(vk, case["call"])(*encoding_arguments(case["call"], case["args"])))
        expected = {k: case[k] for k in ("result", "error", "message") if k in case}
        if "result" in expected:
            expected["result"] = encoding_result(case["call"], expected["result"])
        assert got == expected, case["name"]


def test_every_documented_plain_message_has_a_vector():
    # The plain-message table in docs/errors.md against the messages the vectors hold.
    table = (REPO / "docs" / "errors.md").read_text().split("## Plain messages", 1)[1]
    rows = {line.split("|")[1].strip(" `"): line.split("|")[2] for line in table.splitlines()
            if line.startswith("| `")}
    held = {case["message"] for name in ("encoding.json", "issuance.json")
            for case in load(name)["cases"] if "message" in case}
    for call in ("parse_payload", "issue_credential"):
        documented = set(re.findall(r"`([^`]+)`", rows[call]))
        assert documented and documented <= held, call


def test_vectors_cover_every_verification_error_and_the_boundaries():
    cases = load("verification.json")["cases"]
    errors = {check["error"] for case in cases for check in case["checks"] if "error" in check}
    assert errors == VERIFICATION_ERRORS
    counts = {check["count"] for case in cases for check in case["checks"] if "count" in check}
    assert 16 in counts
    names = [case["name"] for case in cases]
    assert len(names) == len(set(names))
    groups = {case["group"] for case in cases}
    assert {"valid", "boundary", "wire", "order"} <= groups
    assert len([case for case in cases if case["group"] == "order"]) >= 10


def test_vectors_stay_small():
    total = sum(path.stat().st_size for path in VECTORS.glob("*.json"))
    assert total < 4 * 1024 * 1024


def test_reference_signer_reproduces_the_module_exactly(vk):
    import mldsa65_reference as ref

    labels = (bytes(range(32)), b"tests", b"reference")
    island = vk.IdentityIsland(*labels)
    pair = ref.derive(*labels)
    assert pair.public_key == island.public_key()
    payload, sig = island.issue_credential(bytes(vk.PK_SIZE), "leaf", 1, vk.perm_tlv(b"a", b"b"),
                                           vk.not_after(5))
    assert ref.sign(pair, payload) == sig
    # ...and what it signs on its own verifies under the module.
    odd = bytes(pair.public_key) + b"\x02" + bytes(12)
    wire = vk.encode_chain([(pair.public_key, ref.sign(pair, odd), odd)])
    assert kernel_error(lambda: vk.verify_delegation(pair.public_key, wire, 0)) == "InvalidRoleByte"


def test_time_caveat_rule_is_worded_once_for_both_documents():
    # Which record decides, and which error wins, must read the same in both places.
    def paragraph(name):
        text = (REPO / "docs" / name).read_text()
        start = text.index("Verification walks the caveat records")
        return text[start:text.index("\n\n", start)]

    assert paragraph("formats.md") == paragraph("errors.md")


def test_key_id_example_in_formats_is_a_vector():
    # The worked key id of docs/formats.md: its key's ends, digest and id.
    text = (REPO / "docs" / "formats.md").read_text().split("## Key id", 1)[1].split("\n## ", 1)[0]
    begins, ends, digest, key_id = re.findall(r"`([0-9a-f]{32,64})`", text)
    case, = (c for c in load("derivation.json")["cases"] if "docs/formats.md" in c["name"])
    assert (case["master"], case["deployment"], case["context"]) == ("00" * 32, b"prod".hex(), b"root".hex())
    assert (case["public_key"][:32], case["public_key"][-32:]) == (begins, ends)
    assert hashlib.sha3_256(bytes.fromhex(case["public_key"])).hexdigest() == digest
    assert digest[:32] == key_id == case["key_id"]


def token_text(value):
    """A text, or pieces of text and {"repeat", "count"} runs."""
    return value if isinstance(value, str) else "".join(
        p if isinstance(p, str) else p["repeat"] * p["count"] for p in value)


def test_token_cases_replay_through_the_package(vk):
    import vestrel

    doc = load("tokens.json")
    keys = {name: bytes.fromhex(k["public_key"]) for name, k in doc["keys"].items()}
    for case in doc["cases"]:
        wire, token = bytes.fromhex(case["wire"]), case["token"]
        assert vestrel.encode_token(wire) == token, case["name"]
        assert vestrel.decode_token(token, keys[case["root"]]) == wire, case["name"]
        for chain in (wire, token):
            assert vestrel.chain_digest(chain).hex() == case["chain_digest"], case["name"]
            assert vestrel.chain_ref(chain) == case["chain_ref"], case["name"]
    assert {case["error"] for case in doc["refusals"]} == {
        "Prefix", "TooLong", "Character", "Length", "FinalBits", "Truncated", "Count", "PayloadLength",
        "Trailing", "UnknownRoot"}
    for case in doc["refusals"]:
        text, root = token_text(case["token"]), keys[case["root"]]
        if case["error"] == "UnknownRoot":  # told apart from a wrong root no more than verify does
            with pytest.raises(vestrel.ParentKeyMismatch) as refused:
                vestrel.decode_token(text, root)
            assert refused.value.index == 0
            continue
        # The digest reads the same body, so it refuses for the same reason.
        for call in (lambda: vestrel.decode_token(text, root), lambda: vestrel.chain_digest(text)):
            with pytest.raises(vestrel.TokenMalformed) as refused:
                call()
            assert refused.value.reason == case["error"], case["name"]
    for case in doc["no_token"]:
        with pytest.raises(vestrel.KernelError) as refused:
            vestrel.encode_token(bytes.fromhex(case["wire"]))
        assert (refused.value.rule, refused.value.index) == (case["error"], case["index"]), case["name"]


def test_request_messages_and_the_proof_replay_through_the_package(vk):
    import vestrel
    from vestrel import _native
    from vestrel._request import request_target

    doc = load("requests.json")
    for case in doc["cases"]:
        fields = tuple(bytes.fromhex(f) for f in case["fields"])
        assert request_target(case["method"], case["url"]) == fields, case["name"]
        body = None if case["body_digest"] is None else bytes.fromhex(case["body_digest"])
        message = _native.request_message(fields, time(case["issued_at"]), bytes.fromhex(case["nonce"]),
                                          bytes.fromhex(case["chain_digest"]), body)
        assert message.hex() == case["message"], case["name"]
    proof, = doc["proofs"]
    holder = vk.IdentityIsland(*(bytes.fromhex(proof["holder"][f]) for f in ("master", "deployment", "context")))
    assert _native.sign_request(holder, bytes.fromhex(proof["message"])).hex() == proof["signature"]
    headers = {"Authorization": f"Vestrel {proof['token']}", "Vestrel-Proof": proof["proof"]}
    verifier = vestrel.Verifier([bytes.fromhex(proof["root"])])
    args = (proof["method"], proof["url"], headers)
    verified = verifier.verify_request(*args, body=bytes.fromhex(proof["body"]), now=proof["issued_at"])
    assert verified.holder_pk == holder.public_key()
    with pytest.raises(vestrel.ProofReplayed):  # the store the Verifier keeps has seen it now
        verifier.verify_request(*args, body=bytes.fromhex(proof["body"]), now=proof["issued_at"])
