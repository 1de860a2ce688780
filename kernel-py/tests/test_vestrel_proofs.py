"""Holder proofs, revocation before work, and verification on every core."""

from __future__ import annotations

import gc
import os
import subprocess
import sys
import threading
from typing import Any, Callable, List, Literal, Optional, Tuple

import pytest

import vestrel
import vestrel_kernel as vk
from conftest import MASTER, derived_seed, mldsa_or_skip

NOW = 1_000
CONTEXT = b"vestrel-holder-proof/1"

Identities = Callable[[str], vestrel.IdentityIsland]
Chain = Tuple[List[vestrel.IdentityIsland], bytes]


@pytest.fixture(scope="module")
def chain(identities: Identities) -> Chain:
    """A three-credential chain root -> a -> b -> c and the islands."""
    names = ("root", "a", "b", "c")
    islands = [identities(n) for n in names]
    roles: Tuple[Literal["leaf", "node"], ...] = ("node", "node", "leaf")
    wire: Optional[bytes] = None
    for issuer, child, role in zip(islands, islands[1:], roles):
        wire = vestrel.delegate(wire, issuer, child.public_key(), role, [(b"docs", b"*")])
    assert wire is not None
    return islands, wire


def test_a_proof_verifies_elsewhere_under_its_context_only(identities: Identities) -> None:
    mldsa = mldsa_or_skip()
    reference = mldsa.MLDSA65PrivateKey.from_seed_bytes(derived_seed(MASTER, b"tests", b"a")).public_key()
    for challenge in (b"", b"nonce-1", bytes(range(256)) * 40):
        proof = vestrel.prove(identities("a"), challenge)
        assert len(proof) == 3309 and proof == vestrel.prove(identities("a"), challenge)
        reference.verify(proof, challenge, CONTEXT)  # raises if it does not verify
        with pytest.raises(Exception):
            reference.verify(proof, challenge)


def test_proofs_and_credential_signatures_never_pass_for_each_other(chain: Chain) -> None:
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
    # A proof of the wrong length is no proof; bytes-like values are bytes.
    good = vestrel.prove(c, b"x")
    for proof in (b"", good[:-1], good + b"\0", bytes(100_000)):
        assert not verified.check_proof(b"x", proof)
        assert not vestrel.check_proof(c.public_key(), b"x", bytearray(proof))
    assert vestrel.check_proof(bytearray(c.public_key()), memoryview(b"x"), bytearray(good))


@pytest.mark.parametrize("call,error,message", [
    (lambda c: vestrel.check_proof(bytes(1951), b"", bytes(3309)), ValueError, "holder_pk must be 1952 bytes"),
    (lambda c: vestrel.check_proof(bytes(1951), b"", bytes(3308)), ValueError, "holder_pk must be 1952 bytes"),
    (lambda c: c.check_proof("x", bytes(3309)), TypeError, "argument 'challenge': 'str' object cannot be converted"),
    (lambda c: vestrel.prove(vk.IdentityIsland, b""),  # type: ignore[arg-type]
     TypeError, "argument 'holder': 'type' object cannot be converted to 'IdentityIsland'"),
    (lambda c: vestrel.prove(None, b""),  # type: ignore[arg-type]
     TypeError, "'NoneType' object cannot be converted to 'IdentityIsland'"),
    (lambda c: vestrel.prove(c, b""), TypeError, "'VerifiedChain' object cannot be converted to 'IdentityIsland'"),
])
def test_proof_argument_refusals(chain: Chain, call: Callable[[Any], object], error: type,
                                 message: str) -> None:
    (root, *_), wire = chain
    with pytest.raises(error, match=message):
        call(vestrel.verify(root.public_key(), wire, NOW))


def test_revocation_at_each_index_before_any_signature(chain: Chain) -> None:
    (root, *_), wire = chain
    ids = vestrel.verify(root.public_key(), wire, NOW).revocation_ids
    for index, rid in enumerate(ids):
        # A bad signature after the revoked credential is never looked at.
        creds = vk.decode_chain(wire)
        if index + 1 < len(creds):
            creds[index + 1] = (creds[index + 1][0], bytes(3309), creds[index + 1][2])
        for revoked in ({rid}, [bytes(32), rid], frozenset(ids[index:]), iter([rid.hex().upper()])):
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
    def __contains__(self, item: object) -> bool:
        raise KeyError("lookup failed")


def test_misbehaving_revocation_containers_raise_and_leave_nothing_behind(chain: Chain) -> None:
    (root, *_), wire = chain
    pk, raising = root.public_key(), Raising()
    rows: List[Tuple[Any, type]] = [(raising, KeyError), (5, TypeError), (object(), TypeError)]
    for revoked, error in rows:
        gc.collect()
        before = sys.getrefcount(revoked), sys.getrefcount(wire)
        for _ in range(50):
            with pytest.raises(error):
                vestrel.verify(pk, wire, NOW, revoked=revoked)
        gc.collect()
        assert (sys.getrefcount(revoked), sys.getrefcount(wire)) == before


def test_threads_get_what_one_thread_gets(chain: Chain) -> None:
    (root, a, b, c), wire = chain
    pk = root.public_key()
    expired = vestrel.delegate(None, root, a.public_key(), "leaf", [(b"x", b"y")], not_after=NOW - 1)
    calls: List[Callable[[], object]] = [
        lambda: vestrel.verify(pk, wire, NOW).revocation_ids,
        lambda: vestrel.verify(pk, expired, NOW),
        lambda: vestrel.verify(pk, wire[:-1], NOW),
        lambda: vestrel.check_proof(c.public_key(), b"ch", vestrel.prove(c, b"ch")),
        lambda: vestrel.check_proof(b.public_key(), b"ch", vestrel.prove(c, b"ch")),
    ]

    def outcome(call: Callable[[], object]) -> object:
        try:
            return call()
        except ValueError as e:
            return type(e), e.args

    expected = [outcome(call) for call in calls]
    results: List[List[object]] = []
    barrier = threading.Barrier(4)

    def hammer() -> None:
        barrier.wait()
        results.append([outcome(call) for _ in range(10) for call in calls])

    threads = [threading.Thread(target=hammer) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected * 10] * 4
    assert vestrel.check_proof(c.public_key(), b"ch", vestrel.prove(c, b"ch"))


@pytest.mark.parametrize("stand_in", [
    "class IdentityIsland: pass",
    "IdentityIsland = type(vestrel_kernel.IdentityIsland(bytes(32), b'', b''))\n"
    "IdentityIsland = type('IdentityIsland', (), {'__module__': 'builtins'})",
    "IdentityIsland = bytes",
])
def test_only_the_real_island_class_is_trusted(stand_in: str) -> None:
    """The extension reads an island's key through its layout, so a class put
    in place of vestrel_kernel's before it loads must stop it loading."""
    path = f"{os.environ['VESTREL_PACKAGE_DIR']}:{os.environ['VESTREL_KERNEL_MODULE_DIR']}"
    code = f"import vestrel_kernel\n{stand_in}\nvestrel_kernel.IdentityIsland = IdentityIsland\nimport vestrel"
    done = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, PYTHONPATH=path),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert "ImportError: vestrel_kernel.IdentityIsland is not the class vestrel_kernel defines" in done.stderr
