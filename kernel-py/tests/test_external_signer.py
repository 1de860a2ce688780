"""delegate with a key held outside the process: the payload is the kernel's,
every check runs first, and the signer's answer is verified before a chain
is returned."""

from __future__ import annotations

import os
import sys
from pathlib import Path
from typing import Any, Callable, List, Tuple

import pytest

import vestrel

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import mldsa65_reference as ref  # noqa: E402

LABELS = (bytes(range(32)), b"prod", b"kms-root")
ISLAND = vestrel.IdentityIsland(*LABELS)
KEYS = ref.derive(*LABELS)
CHILD = vestrel.IdentityIsland(bytes(32), b"prod", b"worker")
DOCS = [(b"docs", b"read")]


class Signer:
    """A signer that shares no code with the kernel: the pure-Python
    reference, hedged (a fresh rnd per signature) unless told otherwise; with
    ``mu`` it is sent mu alone, as a KMS in its external-mu mode; ``change``
    and ``key`` make it lie."""

    def __init__(self, hedged: bool = True, mu: bool = False, change: Callable[[bytes], Any] = bytes,
                 key: Any = KEYS.public_key) -> None:
        self.hedged, self.mu, self.change, self.key = hedged, mu, change, key
        self.messages: List[bytes] = []

    def public_key(self) -> Any:
        return self.key

    def sign(self, message: bytes) -> Any:
        self.messages.append(message)
        rnd = os.urandom(32) if self.hedged else bytes(32)
        if self.mu:
            return ref.sign_mu(KEYS, vestrel.external_mu(KEYS.public_key, message), rnd)
        return self.change(ref.sign(KEYS, message, rnd))


def test_hedged_and_external_mu_signatures_verify_and_sign_what_the_kernel_would() -> None:
    signer = Signer()
    first, second = (vestrel.delegate(None, signer, CHILD.public_key(), "node", DOCS) for _ in "12")
    assert first != second and signer.messages[0] == signer.messages[1]
    for wire in (first, second):
        chain = vestrel.verify(KEYS.public_key, wire, 1000)
        assert chain.root_pk == ISLAND.public_key() and chain.allows(b"docs", b"read")
    # The same payload the island would have signed: the deterministic
    # reference gives the island's very chain.
    assert (vestrel.delegate(None, Signer(hedged=False), CHILD.public_key(), "node", DOCS)
            == vestrel.delegate(None, ISLAND, CHILD.public_key(), "node", DOCS))
    payload = vestrel.delegate(None, ISLAND, CHILD.public_key(), "leaf", DOCS)[5 + 1952 + 3309 + 4:]
    mu = vestrel.external_mu(KEYS.public_key, payload)
    assert mu == ref.message_representative(KEYS.tr, payload) and len(mu) == 64
    island_sig = ISLAND.issue_credential(CHILD.public_key(), "leaf", 1, vestrel.scope(DOCS), b"")[1]
    assert ref.sign_mu(KEYS, mu) == island_sig
    wire = vestrel.delegate(None, Signer(mu=True), CHILD.public_key(), "leaf", DOCS)
    assert vestrel.verify(KEYS.public_key, wire, 1000).length == 1
    with pytest.raises(ValueError, match="pk must be 1952 bytes"):
        vestrel.external_mu(KEYS.public_key[:-1], payload)


def flip(sig: bytes, at: int) -> bytes:
    return sig[:at] + bytes([sig[at] ^ 1]) + sig[at + 1:]


def raises(_: bytes) -> bytes:
    raise ConnectionError("the KMS is unreachable")


OTHER = ref.derive(bytes(32), b"prod", b"someone-else")
LIARS: List[Tuple[str, Any, str]] = [
    ("another key's signature", Signer(False, change=lambda s: ref.sign(OTHER, b"x")),
     "does not verify under its public key (SignatureInvalid)"),
    ("a flipped bit in c-tilde", Signer(False, change=lambda s: flip(s, 0)), "(SignatureInvalid)"),
    ("a hint section that does not decode", Signer(False, change=lambda s: s[:-1] + b"\xff"),
     "(SignatureDecodingFailed)"),
    ("a signature over another message",
     Signer(False, change=lambda s: ref.sign(KEYS, b"the digest of the payload")), "(SignatureInvalid)"),
    ("one byte short", Signer(False, change=lambda s: s[:-1]), "gave 3308 bytes, not an ML-DSA-65 signature"),
    ("one byte long", Signer(False, change=lambda s: s + b"\0"), "gave 3310 bytes"),
    ("text", Signer(False, change=lambda s: s.hex()), "gave str, not bytes"),
    ("raises", Signer(False, change=raises), "the signer raised ConnectionError: the KMS is unreachable"),
    ("a key one byte short", Signer(False, key=KEYS.public_key[:-1]), "public_key() gave 1951 bytes"),
    ("a key that is not bytes", Signer(False, key=5), "public_key() gave int"),
]


@pytest.mark.parametrize("signer,message", [(s, m) for _, s, m in LIARS], ids=[n for n, _, _ in LIARS])
def test_a_signer_that_lies_or_fails_issues_nothing(signer: Any, message: str) -> None:
    parent = vestrel.delegate(None, CHILD, ISLAND.public_key(), "node", DOCS)
    for wire in (None, parent):
        with pytest.raises(vestrel.SignerFailed) as caught:
            vestrel.delegate(wire, signer, CHILD.public_key(), "leaf", DOCS)
        assert message in str(caught.value)
    if "raised" in message:
        assert isinstance(caught.value.__cause__, ConnectionError)


def test_every_check_runs_before_the_signer_is_asked() -> None:
    signer = Signer(hedged=False)
    ours = vestrel.delegate(None, CHILD, ISLAND.public_key(), "node", DOCS, 100, 200)
    for wire, perms, not_before, not_after, error in [
            (vestrel.delegate(None, CHILD, CHILD.public_key(), "node", DOCS), DOCS, None, None,
             vestrel.ParentKeyMismatch),
            (vestrel.delegate(None, CHILD, ISLAND.public_key(), "leaf", DOCS), DOCS, None, None,
             vestrel.LeafCannotDelegate),
            (ours, [(b"*", b"*")], None, None, vestrel.ScopeEscalation),
            (ours, DOCS, 300, 400, ValueError), (None, DOCS, 5, 4, ValueError)]:
        with pytest.raises(error):
            vestrel.delegate(wire, signer, CHILD.public_key(), "leaf", perms, not_before, not_after)
    assert signer.messages == []
    extended = vestrel.delegate(ours, signer, CHILD.public_key(), "leaf", DOCS)
    assert vestrel.verify(CHILD.public_key(), extended, 150).length == 2
    with pytest.raises(TypeError, match="a signer with public_key"):
        vestrel.delegate(None, object(), CHILD.public_key(), "leaf", DOCS)  # type: ignore


def test_the_native_signature_check_takes_only_what_it_documents() -> None:
    from vestrel import _native

    payload, sig = b"payload", ref.sign(KEYS, b"payload")
    assert _native.check_signature(KEYS.public_key, payload, sig) is None
    assert _native.check_signature(KEYS.public_key, payload + b"!", sig) == (None, "SignatureInvalid", None)
    for args, error, text in [
            ((KEYS.public_key[:-1], payload, sig), ValueError, "issuer_pk"),
            ((KEYS.public_key, payload, sig + b"\0"), ValueError, "sig"),
            ((KEYS.public_key, "text", sig), TypeError, ""),
            ((bytearray(KEYS.public_key), payload, sig), TypeError, ""),
            ((KEYS.public_key, payload), TypeError, "")]:
        with pytest.raises(error, match=text):
            _native.check_signature(*args)  # type: ignore[arg-type]
