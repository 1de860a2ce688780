"""Holder proofs, revocation before work, and verification on every core."""

import gc
import sys
import threading

import pytest

import vestrel
import vestrel_kernel as vk
from conftest import MASTER, derived_seed, mldsa_or_skip

NOW = 1_000
CONTEXT = b"vestrel-holder-proof/1"


@pytest.fixture(scope="module")
def chain(identities):
    """A three-credential chain root -> a -> b -> c and the islands."""
    names = ("root", "a", "b", "c")
    islands = [identities(n) for n in names]
    wire = None
    for issuer, child, role in zip(islands, islands[1:], ("node", "node", "leaf")):
        wire = vestrel.delegate(wire, issuer, child.public_key(), role, [(b"docs", b"*")])
    return islands, wire


def test_a_proof_verifies_elsewhere_under_its_context_only(identities):
    mldsa = mldsa_or_skip()
    reference = mldsa.MLDSA65PrivateKey.from_seed_bytes(derived_seed(MASTER, b"tests", b"a")).public_key()
    for challenge in (b"", b"nonce-1", bytes(range(256)) * 40):
        proof = vestrel.prove(identities("a"), challenge)
        assert len(proof) == 3309 and proof == vestrel.prove(identities("a"), challenge)
        reference.verify(proof, challenge, CONTEXT)  # raises if it does not verify
        with pytest.raises(Exception):
            reference.verify(proof, challenge)


def test_proofs_and_credential_signatures_never_pass_for_each_other(chain):
    (root, a, b, c), wire = chain
    verified = vestrel.verify(root.public_key(), wire, NOW)
    issuer, sig, payload = vk.decode_chain(wire)[-1]  # b's signature over c's credential
    assert not vestrel.check_proof(issuer, payload, sig)
    proof = vestrel.prove(b, payload)
    forged = vk.encode_chain(vk.decode_chain(wire)[:-1] + [(issuer, proof, payload)])
    with pytest.raises(vestrel.SignatureInvalid):
        vestrel.verify(root.public_key(), forged, NOW)
    assert verified.check_proof(b"GET /docs", vestrel.prove(c, b"GET /docs"))
    for other, challenge in [(b, b"GET /docs"), (c, b"GET /docs2")]:
        assert not verified.check_proof(b"GET /docs", vestrel.prove(other, challenge))
    tampered = bytearray(vestrel.prove(c, b"x"))
    for index in (0, 100, 3308):  # c~, z, hints: each is False, never an exception
        tampered[index] ^= 0xFF
        assert not verified.check_proof(b"x", bytes(tampered))


@pytest.mark.parametrize("call,error,message", [
    (lambda c: vestrel.check_proof(bytes(1951), b"", bytes(3309)), ValueError, "holder_pk must be 1952 bytes"),
    (lambda c: vestrel.check_proof(bytes(1952), b"", bytes(3310)), ValueError, "proof must be 3309 bytes"),
    (lambda c: c.check_proof(b"", bytes(3308)), ValueError, "proof must be 3309 bytes"),
    (lambda c: c.check_proof("x", bytes(3309)), TypeError, "argument 'challenge': 'str' object cannot be converted"),
    (lambda c: vestrel.prove(vk.IdentityIsland, b""), TypeError, "argument 'holder': 'type' object cannot be converted to 'IdentityIsland'"),
    (lambda c: vestrel.prove(None, b""), TypeError, "'NoneType' object cannot be converted to 'IdentityIsland'"),
    (lambda c: vestrel.prove(c, b""), TypeError, "'VerifiedChain' object cannot be converted to 'IdentityIsland'"),
])
def test_proof_argument_refusals(chain, call, error, message):
    (root, *_), wire = chain
    with pytest.raises(error, match=message):
        call(vestrel.verify(root.public_key(), wire, NOW))


def test_revocation_at_each_index_before_any_signature(chain):
    (root, *_), wire = chain
    ids = vestrel.verify(root.public_key(), wire, NOW).revocation_ids
    for index, rid in enumerate(ids):
        # A bad signature after the revoked credential is never looked at.
        creds = vk.decode_chain(wire)
        if index + 1 < len(creds):
            creds[index + 1] = (creds[index + 1][0], bytes(3309), creds[index + 1][2])
        for revoked in ({rid}, [b"other", rid], frozenset(ids[index:])):
            with pytest.raises(vestrel.Revoked) as info:
                vestrel.verify(root.public_key(), vk.encode_chain(creds), NOW, revoked=revoked)
            assert (info.value.index, info.value.revocation_id, str(info.value)) == (
                index, rid, f"credential {index} is revoked")
            assert isinstance(info.value, ValueError) and not isinstance(info.value, vestrel.KernelError)
    assert vestrel.verify(root.public_key(), wire, NOW, revoked=set()).length == 3
    # Framing faults are still reported first.
    with pytest.raises(vestrel.WireTruncated):
        vestrel.verify(root.public_key(), wire[:-1], NOW, revoked=set(ids))


class Raising:
    def __contains__(self, item):
        raise KeyError("lookup failed")


def test_misbehaving_revocation_containers_raise_and_leave_nothing_behind(chain):
    (root, *_), wire = chain
    pk, raising = root.public_key(), Raising()
    for revoked, error in [(raising, KeyError), (5, TypeError), (object(), TypeError)]:
        gc.collect()
        before = sys.getrefcount(revoked), sys.getrefcount(wire)
        for _ in range(50):
            with pytest.raises(error):
                vestrel.verify(pk, wire, NOW, revoked=revoked)
        gc.collect()
        assert (sys.getrefcount(revoked), sys.getrefcount(wire)) == before


def test_threads_get_what_one_thread_gets(chain):
    (root, a, b, c), wire = chain
    pk = root.public_key()
    expired = vestrel.delegate(None, root, a.public_key(), "leaf", [(b"x", b"y")], not_after=NOW - 1)
    calls = [
        lambda: vestrel.verify(pk, wire, NOW).revocation_ids,
        lambda: vestrel.verify(pk, expired, NOW),
        lambda: vestrel.verify(pk, wire[:-1], NOW),
        lambda: vestrel.check_proof(c.public_key(), b"ch", vestrel.prove(c, b"ch")),
        lambda: vestrel.check_proof(b.public_key(), b"ch", vestrel.prove(c, b"ch")),
    ]

    def outcome(call):
        try:
            return call()
        except ValueError as e:
            return type(e), e.args

    expected = [outcome(call) for call in calls]
    results, barrier = [], threading.Barrier(4)

    def hammer():
        barrier.wait()
        results.append([outcome(call) for _ in range(10) for call in calls])

    threads = [threading.Thread(target=hammer) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected * 10] * 4
    assert vestrel.check_proof(c.public_key(), b"ch", vestrel.prove(c, b"ch"))
