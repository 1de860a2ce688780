"""Issuing credentials without hand bookkeeping of depth, keys and framing."""

from __future__ import annotations

import hashlib
from typing import Any, Iterable, Literal, NoReturn, Optional, Protocol, Tuple, Union, cast

import vestrel_kernel
from vestrel_kernel import IdentityIsland

from . import _native
from ._arguments import byte_string, public_key
from ._chain import refuse
from ._errors import typed


class Signer(Protocol):
    """A key held outside the process (a KMS, an HSM, another service): its
    ML-DSA-65 public key, and ML-DSA-65 signatures in pure mode with the
    empty context over the messages it is given, deterministic or hedged."""

    def public_key(self) -> bytes: ...

    def sign(self, message: bytes) -> bytes: ...


class SignerFailed(ValueError):
    """A signer outside the process did not give a usable key or signature:
    it raised (the cause is chained), or what it answered does not verify.
    Nothing was issued."""


MU_SIZE = 64


def external_mu(pk: bytes, message: bytes) -> bytes:
    """The 64-byte message representative mu that ML-DSA-65 signs for
    ``message`` under ``pk`` in pure mode with the empty context:
    SHAKE256(SHAKE256(pk, 64) || 00 00 || message, 64). A signer that takes
    mu instead of the message (an "external mu" mode) signs exactly what the
    kernel's own signing signs, however long the message."""
    key = public_key(pk, "pk")
    tr = hashlib.shake_256(key).digest(MU_SIZE)
    return hashlib.shake_256(tr + b"\x00\x00" + byte_string(message, "message")).digest(MU_SIZE)


def _signer_key(signer: Any) -> bytes:
    try:
        key = signer.public_key()
    except Exception as error:
        raise SignerFailed(f"the signer's public_key() raised {type(error).__name__}: "
                           f"{error}") from error
    if not isinstance(key, (bytes, bytearray, memoryview)):
        raise SignerFailed(f"the signer's public_key() gave {type(key).__name__}, not bytes")
    key = bytes(key)
    if len(key) != vestrel_kernel.PK_SIZE:
        raise SignerFailed(f"the signer's public_key() gave {len(key)} bytes, not an ML-DSA-65 "
                           f"public key of {vestrel_kernel.PK_SIZE}")
    return key


def _signed_by(signer: Any, issuer_pk: bytes, payload: bytes) -> bytes:
    """The signer's signature over payload, once the kernel's verification
    accepts it under the key the chain will name."""
    try:
        sig = signer.sign(payload)
    except Exception as error:
        raise SignerFailed(f"the signer raised {type(error).__name__}: {error}") from error
    if not isinstance(sig, (bytes, bytearray, memoryview)):
        raise SignerFailed(f"the signer gave {type(sig).__name__}, not bytes")
    sig = bytes(sig)
    if len(sig) != vestrel_kernel.SIG_SIZE:
        raise SignerFailed(f"the signer gave {len(sig)} bytes, not an ML-DSA-65 signature of "
                           f"{vestrel_kernel.SIG_SIZE}")
    refusal = _native.check_signature(issuer_pk, payload, sig)
    if refusal is not None:
        raise SignerFailed(f"the signer's signature does not verify under its public key "
                           f"({refusal[1]}): it must be ML-DSA-65, pure mode, empty context, "
                           f"over the message given")
    return sig


def scope(pairs: Iterable[Tuple[bytes, bytes]]) -> bytes:
    """The scope buffer of these (resource, verb) pairs, in their order."""
    try:
        return b"".join(vestrel_kernel.perm_tlv(resource, verb) for resource, verb in pairs)
    except ValueError as error:
        raise typed(error) from None


def caveats(not_before: Optional[int] = None, not_after: Optional[int] = None) -> bytes:
    """The caveat buffer bounding a credential's validity (both inclusive)."""
    records = b""
    if not_before is not None:
        records += vestrel_kernel.not_before(not_before)
    if not_after is not None:
        records += vestrel_kernel.not_after(not_after)
    return records


def _bounds(not_before: Optional[int], not_after: Optional[int]) -> str:
    # An open bound is shown as "-".
    return "[%s, %s]" % tuple("-" if bound is None else str(bound) for bound in (not_before, not_after))


def _refuse_before_signing(answer: Tuple[Any, ...]) -> NoReturn:
    """Raises what the audit of the would-be chain answered: a window that
    can never hold as a ValueError naming both bounds, else the rule's
    KernelError subclass."""
    if answer[1] == "EmptyWindow":
        raise ValueError(f"not_before {answer[3]} is after not_after {answer[4]}")
    if answer[1] == "DisjointWindow":
        raise ValueError(f"the window {_bounds(answer[3], answer[4])} does not meet the parent "
                         f"chain's window {_bounds(answer[5], answer[6])}")
    refuse(answer)


def delegate(wire: Optional[bytes], issuer: Union[IdentityIsland, Signer], child_pk: bytes,
             role: Literal["leaf", "node"], perms: Iterable[Tuple[bytes, bytes]],
             not_before: Optional[int] = None, not_after: Optional[int] = None) -> bytes:
    """Issues the next credential of ``wire`` (None: the first, from a root)
    to ``child_pk`` and returns the extended wire.

    The depth is the number of credentials in ``wire`` plus one and the
    issuer key is the island's own. Before anything is signed, the kernel
    walks the would-be chain as verification does, taking every signature as
    good, and delegate refuses what verification would refuse at every time:
    an issuer that is not the chain's holder (:class:`ParentKeyMismatch`), a
    leaf extended (:class:`LeafCannotDelegate`), a scope the parent does not
    cover (:class:`ScopeEscalation`), a 17th credential
    (:class:`ChainTooDeep`), each with ``index`` the new credential's; and,
    as a ValueError naming both bounds ("-" for an open one), a ``not_before``
    after ``not_after`` or a window that does not meet the window of the
    earlier credentials. A fault of an earlier credential is raised with its
    own index; the earlier signatures are left to verification.

    ``issuer`` is an :class:`IdentityIsland`, or any :class:`Signer`: an
    object with ``public_key()`` and ``sign(message)`` whose key lives
    elsewhere. The payload is laid out here as the island would lay it out,
    every check above runs first, and the signer's answer is verified by the
    kernel before anything is returned: a signer that raises, or answers
    with anything but a valid signature under its own key, is
    :class:`SignerFailed`.
    """
    external = not hasattr(issuer, "issue_credential")
    if external and not (callable(getattr(issuer, "sign", None))
                         and callable(getattr(issuer, "public_key", None))):
        raise TypeError(f"issuer must be an IdentityIsland or a signer with public_key() and "
                        f"sign(message), not {type(issuer).__name__}")
    signer_pk = _signer_key(issuer) if external else None
    try:
        credentials = vestrel_kernel.decode_chain(wire) if wire is not None else []
        scope_tlv, records = scope(perms), caveats(not_before, not_after)
        issuer_pk = issuer.public_key() if signer_pk is None else signer_pk
        depth = len(credentials) + 1
        payload = _native.credential_payload(child_pk, role, depth, scope_tlv, records)
        answer = _native.audit(wire, issuer_pk, payload)
    except ValueError as error:
        raise typed(error) from None
    if answer[0] is None:
        _refuse_before_signing(answer)
    if external:
        sig = _signed_by(issuer, issuer_pk, payload)
        credentials.append((issuer_pk, sig, payload))
        return vestrel_kernel.encode_chain(credentials)
    try:
        island = cast(IdentityIsland, issuer)
        payload, sig = island.issue_credential(child_pk, role, depth, scope_tlv, records)
        credentials.append((issuer_pk, sig, payload))
        return vestrel_kernel.encode_chain(credentials)
    except ValueError as error:
        raise typed(error) from None
