"""Verification and what a verified chain allows."""

from __future__ import annotations

import hashlib
from typing import Any, Container, Iterable, Literal, NoReturn, Optional, Tuple

import vestrel_kernel

from . import _native
from ._errors import RULES, Revoked, typed

Perms = Tuple[Tuple[bytes, bytes], ...]

# A scope buffer holds at most this many records; longer lists of pairs are
# judged a buffer at a time.
_SCOPE_ENTRIES = 64


class VerifiedChain:
    """The authority of a chain that verified: what its holder may do, and
    until when. Immutable; obtained from :func:`verify` only."""

    __slots__ = ("_authority", "_wire", "_credentials")

    _authority: Tuple[Any, ...]
    _wire: bytes
    _credentials: Optional[Tuple[Tuple[bytes, bytes], ...]]

    def __init__(self, *args: object, **kwargs: object) -> None:
        raise TypeError("VerifiedChain objects come from vestrel.verify()")

    @classmethod
    def _from_native(cls, authority: Tuple[Any, ...], wire: bytes) -> VerifiedChain:
        chain = object.__new__(cls)
        object.__setattr__(chain, "_authority", authority)
        object.__setattr__(chain, "_wire", wire)
        object.__setattr__(chain, "_credentials", None)
        return chain

    def __setattr__(self, name: str, value: object) -> NoReturn:
        raise AttributeError(f"VerifiedChain is immutable: cannot set {name!r}")

    def __delattr__(self, name: str) -> NoReturn:
        raise AttributeError(f"VerifiedChain is immutable: cannot delete {name!r}")

    def __repr__(self) -> str:
        return (f"<VerifiedChain length={self.length} role={self.role!r} depth={self.depth} "
                f"perms={self.perms!r} not_before={self.not_before} not_after={self.not_after}>")

    @property
    def length(self) -> int:
        """The number of credentials (1..16)."""
        return int(self._authority[0])

    @property
    def holder_pk(self) -> bytes:
        """The last credential's child key: who holds this authority."""
        return bytes(self._authority[1])

    @property
    def role(self) -> Literal["leaf", "node"]:
        """"node" if the holder may delegate further, "leaf" if not."""
        role: Literal["leaf", "node"] = self._authority[2]
        return role

    @property
    def depth(self) -> int:
        return int(self._authority[3])

    @property
    def scope_tlv(self) -> bytes:
        """The last credential's scope buffer, as it was signed."""
        return bytes(self._authority[4])

    @property
    def perms(self) -> Perms:
        """The last credential's (resource, verb) pairs, in wire order."""
        perms: Perms = self._authority[5]
        return perms

    @property
    def not_before(self) -> Optional[int]:
        """The latest not-before of every credential: the chain's own start."""
        value: Optional[int] = self._authority[6]
        return value

    @property
    def not_after(self) -> Optional[int]:
        """The earliest not-after of every credential: the chain's own end."""
        value: Optional[int] = self._authority[7]
        return value

    def _issuers_and_signatures(self) -> Tuple[Tuple[bytes, bytes], ...]:
        # Read on first use from the very bytes that were verified; a race
        # between threads only computes the same tuple twice.
        if self._credentials is None:
            pairs = tuple((issuer, sig) for issuer, sig, _ in vestrel_kernel.decode_chain(self._wire))
            object.__setattr__(self, "_credentials", pairs)
            return pairs
        return self._credentials

    @property
    def issuers(self) -> Tuple[bytes, ...]:
        """The issuer key of each credential, root first."""
        return tuple(issuer for issuer, _ in self._issuers_and_signatures())

    @property
    def revocation_ids(self) -> Tuple[bytes, ...]:
        """One 32-byte id per credential, root first: SHA3-256 of its signature."""
        return tuple(revocation_id(sig) for _, sig in self._issuers_and_signatures())

    def allows(self, resource: bytes, verb: bytes) -> bool:
        """Whether the holder's scope covers (resource, verb): a scope field
        that is exactly ``*`` covers any value of that field, nothing else is
        a pattern, and bytes compare exactly."""
        return _native.covers(self._authority[4], resource, verb)

    def check_proof(self, challenge: bytes, proof: bytes) -> bool:
        """Whether ``proof`` is the holder's proof over ``challenge`` (see
        :func:`vestrel.prove`): the presenter holds the chain's last key."""
        return _native.check_proof(self._authority[1], challenge, proof)


def revocation_id(signature: bytes) -> bytes:
    """The revocation id of the credential carrying this signature."""
    return hashlib.sha3_256(signature).digest()


def _refuse(rule: str, index: Optional[int]) -> NoReturn:
    raise RULES[rule](index)


def _revocation_screen(revoked: Container[bytes]) -> Any:
    def screen(signatures: Tuple[bytes, ...]) -> None:
        for index, signature in enumerate(signatures):
            rid = revocation_id(signature)
            if rid in revoked:
                raise Revoked(index, rid)

    return screen


def verify(root_pk: bytes, wire: bytes, now: int, *,
           revoked: Optional[Container[bytes]] = None) -> VerifiedChain:
    """Verifies ``wire`` against the trusted ``root_pk`` at time ``now``
    (seconds since the epoch) exactly as vestrel_kernel.verify_delegation
    does, and returns what the chain allows.

    ``revoked``, any container of revocation ids, is consulted once the wire
    is framed and before any signature is checked: a credential whose id it
    holds raises :class:`Revoked` at once.

    Raises the rule's KernelError subclass (a ValueError) on refusal, and
    TypeError or ValueError with the module's messages for bad arguments.
    The interpreter lock is released while signatures are checked.
    """
    answer = _native.verify(root_pk, wire, now,
                            None if revoked is None else _revocation_screen(revoked))
    if answer[0] is None:
        _refuse(answer[1], answer[2])
    return VerifiedChain._from_native(answer, wire)


def covers(perms: Iterable[Tuple[bytes, bytes]], resource: bytes, verb: bytes) -> bool:
    """Whether any (resource, verb) pair of ``perms`` covers the request,
    under the rule the kernel applies between credentials."""
    try:
        records = [vestrel_kernel.perm_tlv(r, v) for r, v in perms]
    except ValueError as error:
        raise typed(error) from None
    for start in range(0, len(records), _SCOPE_ENTRIES):
        if _native.covers(b"".join(records[start:start + _SCOPE_ENTRIES]), resource, verb):
            return True
    return False


def prove(holder: vestrel_kernel.IdentityIsland, challenge: bytes) -> bytes:
    """The holder's proof over ``challenge``: an ML-DSA-65 signature by the
    island's key under the context ``b"vestrel-holder-proof/1"``, so it can
    never pass for a credential signature. Deterministic."""
    return _native.prove(holder, challenge)


def check_proof(holder_pk: bytes, challenge: bytes, proof: bytes) -> bool:
    """Whether ``proof`` is ``holder_pk``'s proof over ``challenge``; a proof
    that does not verify is False, never an exception."""
    return _native.check_proof(holder_pk, challenge, proof)
