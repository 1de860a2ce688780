"""IdentityIsland: derivation, public_key and issue_credential, with every
argument error in its order."""

import pytest

import vestrel_kernel as vk
from conftest import MASTER, derived_seed, mldsa_or_skip

PK = bytes(1952)
SCOPE = vk.perm_tlv(b"docs", b"read")


@pytest.mark.parametrize("args,error,message", [
    ((bytes(31), b"", b""), ValueError, "master must be 32 bytes"),
    ((bytes(33), b"", b""), ValueError, "master must be 32 bytes"),
    ((b"", b"", b""), ValueError, "master must be 32 bytes"),
    ((bytearray(32), b"", b""), TypeError, "argument 'master': 'bytearray' object cannot be converted to 'PyBytes'"),
    ((bytes(31), b"", "ctx"), TypeError, "argument 'context': 'str' object cannot be converted to 'PyBytes'"),
    ((bytes(32), None, b""), TypeError, "argument 'deployment': 'NoneType' object cannot be converted to 'PyBytes'"),
])
def test_constructor_refusals(args, error, message):
    with pytest.raises(error) as info:
        vk.IdentityIsland(*args)
    assert info.value.args == (message,)


def pk(master=MASTER, deployment=b"d", context=b"c"):
    return vk.IdentityIsland(master, deployment, context).public_key()


def test_derivation_is_deterministic_and_separates_inputs():
    assert pk() == pk() == vk.IdentityIsland(master=MASTER, context=b"c", deployment=b"d").public_key()
    flipped = bytes([MASTER[0] ^ 1]) + MASTER[1:]
    keys = {pk(), pk(master=flipped), pk(deployment=b"e"), pk(context=b"C"), pk(deployment=b"dc", context=b"")}
    assert len(keys) == 5
    # The info is deployment ":" context, with no length prefixes.
    assert pk(deployment=b"a:b", context=b"c") == pk(deployment=b"a", context=b"b:c")
    assert len(pk(bytes(32), b"", b"")) == 1952
    assert len(pk(deployment=bytes(100 * 1024))) == 1952


def test_public_key_is_a_new_object_each_call(identities):
    island = identities("root")
    first, second = island.public_key(), island.public_key()
    assert first == second and first is not second and type(first) is bytes


def test_matches_an_independent_ml_dsa(identities):
    mldsa = mldsa_or_skip()
    island = identities("root")
    reference = mldsa.MLDSA65PrivateKey.from_seed_bytes(derived_seed(MASTER, b"tests", b"root")).public_key()
    assert reference.public_bytes_raw() == island.public_key()
    payload, sig = island.issue_credential(PK, "leaf", 1, SCOPE, b"")
    reference.verify(sig, payload)  # raises if it does not verify


def issue(island, *args, **kwargs):
    defaults = dict(child_pk=PK, role="leaf", depth=1, scope_tlv=SCOPE, caveats=b"")
    names = list(defaults)[:len(args)]
    defaults.update(zip(names, args), **kwargs)
    return island.issue_credential(**defaults)


OUT_OF_RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize("kwargs,error,message", [
    # conversions, in parameter order, before any other check
    (dict(child_pk=bytearray(1952)), TypeError, "argument 'child_pk': 'bytearray' object cannot be converted to 'PyBytes'"),
    (dict(child_pk=bytes(10), role=1), TypeError, "argument 'role': 'int' object cannot be converted to 'PyString'"),
    (dict(role=b"leaf"), TypeError, "argument 'role': 'bytes' object cannot be converted to 'PyString'"),
    (dict(role="\udc80"), UnicodeEncodeError, None),
    (dict(depth=1.0), TypeError, "argument 'depth': 'float' object cannot be interpreted as an integer"),
    (dict(depth=-1), OverflowError, OUT_OF_RANGE),
    (dict(child_pk=bytes(10), depth=2**32), OverflowError, OUT_OF_RANGE),
    (dict(depth=2**64), OverflowError, None),
    (dict(role="nope", scope_tlv="docs"), TypeError, "argument 'scope_tlv': 'str' object cannot be converted to 'PyBytes'"),
    (dict(caveats=None), TypeError, "argument 'caveats': 'NoneType' object cannot be converted to 'PyBytes'"),
    # the wrapper's own checks
    (dict(child_pk=bytes(1951), role="nope"), ValueError, "child_pk must be 1952 bytes"),
    (dict(child_pk=bytes(1953)), ValueError, "child_pk must be 1952 bytes"),
    (dict(role="leaf ", scope_tlv=b""), ValueError, "role must be 'leaf' or 'node'"),
    (dict(role=""), ValueError, "role must be 'leaf' or 'node'"),
    (dict(role="leaves"), ValueError, "role must be 'leaf' or 'node'"),
    (dict(role="\u0141eaf"), ValueError, "role must be 'leaf' or 'node'"),  # only ASCII folds
    # the kernel's, in its order
    (dict(scope_tlv=b"", caveats=bytes(577)), ValueError, "KernelError::ScopeEmpty"),
    (dict(scope_tlv=b"\x05ab"), ValueError, "KernelError::WireInvalid"),
    (dict(scope_tlv=SCOPE * 65), ValueError, "KernelError::ScopeTooLarge"),
    (dict(caveats=vk.not_before(1) * 65, depth=17), ValueError, "KernelError::CaveatsTooLarge"),
    (dict(caveats=bytes(10), depth=17), ValueError, "KernelError::MalformedCaveatBuffer"),
    (dict(caveats=b"\x03" + bytes(8)), ValueError, "KernelError::MalformedCaveatBuffer"),
    (dict(depth=17), ValueError, "KernelError::ChainTooDeep"),
])
def test_issue_refusals(identities, kwargs, error, message):
    with pytest.raises(error) as info:
        issue(identities("root"), **kwargs)
    assert type(info.value) is error
    if message is None:
        assert not str(info.value).startswith("argument ")
    else:
        assert info.value.args == (message,)


def test_issue_matching_and_receiver(identities):
    with pytest.raises(TypeError) as info:
        identities("root").issue_credential(PK, "leaf")
    assert info.value.args == ("IdentityIsland.issue_credential() missing 3 required positional arguments: "
                               "'depth', 'scope_tlv', and 'caveats'",)
    with pytest.raises(TypeError):
        vk.IdentityIsland.public_key(object())


@pytest.mark.parametrize("role,depth,parsed", [
    ("LEAF", 0, ("leaf", 0)), ("Leaf", True, ("leaf", 1)), ("nOdE", 16, ("node", 16)),
])
def test_issued_payload_reads_back(identities, role, depth, parsed):
    caveats = vk.not_before(10) + vk.not_after(20)
    payload, sig = issue(identities("root"), PK, role, depth, SCOPE * 2, caveats)
    assert len(sig) == vk.SIG_SIZE and len(payload) == 1965 + 2 * len(SCOPE) + 18
    fields = vk.parse_payload(payload)
    assert (fields["role"], fields["depth"]) == parsed
    assert (fields["perms"], fields["not_before"], fields["not_after"]) == ([(b"docs", b"read")] * 2, 10, 20)


def test_issuance_is_deterministic_and_sized(identities):
    island = identities("root")
    assert issue(island) == issue(island)
    assert len(issue(island, scope_tlv=b"\x00\x00")[0]) == 1967
    largest = vk.perm_tlv(b"r" * 255, b"v" * 255) * 64
    payload, _ = issue(island, scope_tlv=largest, caveats=vk.not_after(1) * 64)
    assert len(payload) == 35309 and payload.endswith(vk.not_after(1))
