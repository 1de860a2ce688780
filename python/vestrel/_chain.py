"""Verification and what a verified chain allows."""

from __future__ import annotations

import operator
from typing import (Any, Callable, Container, FrozenSet, Iterable, Literal, NoReturn, Optional, Tuple,
                    cast)
from weakref import WeakKeyDictionary

import vestrel_kernel

from . import _native
from ._arguments import as_revocation_id, key_id
from ._arguments import revocation_id as revocation_id
from ._errors import RULES, Revoked, TokenMalformed, typed

Perms = Tuple[Tuple[bytes, bytes], ...]

# A scope buffer holds at most this many records; longer lists of pairs are
# judged a buffer at a time.
_SCOPE_ENTRIES = 64


class VerifiedChain:
    """The authority of a chain that verified: what its holder may do, and
    until when. Immutable; obtained from :func:`verify` only."""

    __slots__ = ("_authority", "_wire", "_root", "_credentials")

    _authority: Tuple[Any, ...]
    _wire: bytes
    _root: bytes
    _credentials: Optional[Tuple[Tuple[bytes, bytes], ...]]

    def __init__(self, *args: object, **kwargs: object) -> None:
        raise TypeError("VerifiedChain objects come from vestrel.verify() or Verifier.verify()")

    @classmethod
    def _from_native(cls, authority: Tuple[Any, ...], wire: bytes, root: bytes) -> VerifiedChain:
        # Through the slots' own setters, which __setattr__ does not stand
        # in front of: a service makes one of these per request.
        chain = object.__new__(cls)
        _set_authority(chain, authority)
        _set_wire(chain, wire)
        _set_root(chain, root)
        _set_credentials(chain, None)
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
    def root_pk(self) -> bytes:
        """The trusted root key the chain was verified against."""
        return self._root

    @property
    def root_id(self) -> str:
        """The root's key id (see :func:`vestrel.key_id`)."""
        return key_id(self._root)

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
        return check_proof(self._authority[1], challenge, proof)


_set_authority, _set_wire, _set_root, _set_credentials = (
    VerifiedChain.__dict__[name].__set__ for name in VerifiedChain.__slots__)


def refuse(answer: Tuple[Any, ...]) -> NoReturn:
    """Raises the refusal the compiled core answered: (None, rule, index),
    (None, "Revoked", index, revocation id, revoked key or None), or
    (None, "TokenMalformed", reason)."""
    if answer[1] == Revoked.rule:
        raise Revoked(answer[2], answer[3], answer[4])
    if answer[1] == TokenMalformed.rule:
        raise TokenMalformed(answer[2])
    raise RULES[answer[1]](answer[2])


# The normalised ids of frozensets already read: a frozenset and its items
# never change, so a service passing the same large one on every call reads
# it once.
_frozen_ids: WeakKeyDictionary[FrozenSet[Any], FrozenSet[bytes]] = WeakKeyDictionary()


def _read_ids(revoked: Iterable[Any]) -> FrozenSet[bytes]:
    def one(item: Any) -> bytes:
        try:
            return as_revocation_id(item)
        except ValueError as error:
            raise TypeError(f"revoked holds something that is not a revocation id: {error}") from None

    if type(revoked) is frozenset:
        known = _frozen_ids.get(revoked)
        if known is None:
            known = _frozen_ids[revoked] = frozenset(one(item) for item in revoked)
        return known
    return frozenset(one(item) for item in revoked)


def _probe(revoked: Container[Any]) -> Callable[[bytes], bool]:
    # A container that cannot be listed is asked about each id in every form
    # it may hold, and must answer True or False: a falsy stand-in (0, None)
    # is not taken for "not revoked".
    contains = type(revoked).__contains__

    def holds(rid: bytes) -> bool:
        for form in (rid, rid.hex(), rid.hex().upper()):
            answer = contains(revoked, form)
            if answer is True:
                return True
            if answer is not False:
                raise TypeError(f"revoked answered {answer!r} to 'in', not True or False")
        return False

    return holds


def _revocation_check(revoked: Any) -> Callable[[bytes], bool]:
    """Whether an id is revoked, set up before the wire is read."""
    if isinstance(revoked, (str, bytes, bytearray, memoryview)):
        raise TypeError("revoked must be a collection of revocation ids, not a single "
                        f"{type(revoked).__name__}")
    if hasattr(type(revoked), "__iter__"):
        return _read_ids(revoked).__contains__
    if hasattr(type(revoked), "__contains__"):
        return _probe(revoked)
    raise TypeError(f"revoked must be a collection of revocation ids, not {type(revoked).__name__}")


def _whole_seconds(now: Any) -> Any:
    """``now`` as an exact int when it is some other integer (an object
    with __index__), with the module's own error otherwise: its __index__
    then runs here, not inside the compiled core, where Python code must not
    run (a thread ended at exit could not unwind through it)."""
    if isinstance(now, int):
        return now
    try:
        return operator.index(now)
    except TypeError as error:
        if type(error) is not TypeError:
            raise
        raise TypeError(f"argument 'now': {error}") from error.__cause__


def verify(root_pk: bytes, wire: bytes, now: int, *,
           revoked: Optional[Any] = None) -> VerifiedChain:
    """Verifies ``wire`` against the trusted ``root_pk`` at time ``now``
    (whole seconds since the epoch) exactly as
    vestrel_kernel.verify_delegation does, and returns what the chain allows. For a service that verifies
    many chains, :class:`vestrel.Verifier` does the same with trusted roots,
    a revocation set it keeps and a signature cache.

    ``revoked`` holds revocation ids, each 32 bytes or their 64 hex digits in
    either case. An iterable (a set, a list, a generator) is read once,
    completely, before the wire; anything in it that is not an id raises
    TypeError. A container that can only answer ``in`` is asked about each id
    as bytes and as hex text, and must answer True or False. It is consulted
    once the wire is framed and before any signature is checked: a revoked
    credential raises :class:`Revoked` at once.

    Raises the rule's KernelError subclass (a ValueError) on refusal, and
    TypeError or ValueError with the module's messages for bad arguments.
    The interpreter lock is released while signatures are checked.
    """
    holds = None if revoked is None else _revocation_check(revoked)
    # The core reads only exact bytes and ints without running Python code;
    # a wrongly typed key or wire is left to it, which refuses them first.
    if isinstance(root_pk, bytes) and isinstance(wire, bytes):
        now = _whole_seconds(now)
    if holds is not None:
        # Framing faults come first, then the screen, then any signature.
        signatures = _native.chain_signatures(root_pk, wire, now)
        if signatures[0] is None:
            refuse(signatures)
        for index, signature in enumerate(cast(Tuple[bytes, ...], signatures)):
            rid = revocation_id(signature)
            if holds(rid):
                raise Revoked(index, rid)
    answer = _native.verify(root_pk, wire, now)
    if answer[0] is None:
        refuse(answer)
    return VerifiedChain._from_native(answer, wire, root_pk)


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
    """Whether ``proof`` is ``holder_pk``'s proof over ``challenge``. Each
    argument is bytes-like (anything else is a TypeError) and ``holder_pk``
    must be a public key; a proof that does not verify, whatever its
    length, is False, never an exception."""
    holder_pk, challenge, proof = (bytes(value) if isinstance(value, (bytearray, memoryview))
                                   else value for value in (holder_pk, challenge, proof))
    if isinstance(proof, bytes) and len(proof) != vestrel_kernel.SIG_SIZE:
        # Checked against a stand-in of the right length, so that the other
        # arguments still get their own errors; the answer is False anyway.
        return _native.check_proof(holder_pk, challenge, bytes(vestrel_kernel.SIG_SIZE)) and False
    return _native.check_proof(holder_pk, challenge, proof)
