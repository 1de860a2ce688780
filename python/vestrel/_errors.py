"""Typed refusals: one family, so that ``except vestrel.Refused`` is always
enough.

Each rule of the kernel has its own KernelError subclass, a ValueError whose
text is exactly the vestrel_kernel module's ("KernelError::<Rule>"), so code
that matched those strings keeps working, and which also tells which
credential broke the rule. Revocation, the verifier's own decision, is
Revoked, a Refused beside them.
"""

from __future__ import annotations

from typing import Any, ClassVar, Dict, Optional, Tuple, Type

from ._arguments import key_id

# The module's refusal text is this prefix and the rule's name.
_PREFIX = "KernelError::"


class Refused(ValueError):
    """A chain or a request was refused. ``rule`` names why (a kernel rule's
    name, "Revoked", or a request's fault such as "ProofExpired"); ``index``
    is the 0-based credential it concerns, or None.

    ``status`` and ``error`` are the HTTP status and the bearer-token error
    code a server answers with: 401 "invalid_token" unless a class says
    otherwise (400 "invalid_request" for a malformed request, 403
    "insufficient_scope" for one the chain does not allow, 401 with no code
    when no credentials came at all).
    """

    rule: ClassVar[str] = ""
    status: int = 401
    error: Optional[str] = "invalid_token"
    index: Optional[int] = None


class KernelError(Refused):
    """A chain or an argument broke a rule of the kernel.

    ``rule`` names the rule; ``index`` is the 0-based credential at which it
    broke, or None for a fault of the wire as a whole (its version, count or
    framing) and for refusals that concern no credential.
    """

    def __init__(self, index: Optional[int] = None) -> None:
        super().__init__(_PREFIX + self.rule)
        self.index = index

    def __reduce__(self) -> Tuple[Type[KernelError], Tuple[Optional[int]]]:
        return (type(self), (self.index,))


# The rules, named letter for letter as the kernel names them.
class HkdfExpandFailed(KernelError):
    rule = "HkdfExpandFailed"


class SigningFailed(KernelError):
    rule = "SigningFailed"


class SignatureInvalid(KernelError):
    rule = "SignatureInvalid"


class KeyDecodingFailed(KernelError):
    rule = "KeyDecodingFailed"


class SignatureDecodingFailed(KernelError):
    rule = "SignatureDecodingFailed"


class NotBeforeViolation(KernelError):
    rule = "NotBeforeViolation"


class NotAfterViolation(KernelError):
    rule = "NotAfterViolation"


class MalformedCaveatBuffer(KernelError):
    rule = "MalformedCaveatBuffer"


class ScopeEscalation(KernelError):
    rule = "ScopeEscalation"


class ScopeEmpty(KernelError):
    rule = "ScopeEmpty"


class ScopeTooLarge(KernelError):
    rule = "ScopeTooLarge"


class CaveatsTooLarge(KernelError):
    rule = "CaveatsTooLarge"


class EmptyChain(KernelError):
    rule = "EmptyChain"


class ChainTooDeep(KernelError):
    rule = "ChainTooDeep"


class ParentKeyMismatch(KernelError):
    rule = "ParentKeyMismatch"


class LeafCannotDelegate(KernelError):
    rule = "LeafCannotDelegate"


class DepthMismatch(KernelError):
    rule = "DepthMismatch"


class InvalidRoleByte(KernelError):
    rule = "InvalidRoleByte"


class WireVersionMismatch(KernelError):
    rule = "WireVersionMismatch"


class WireTruncated(KernelError):
    rule = "WireTruncated"


class WireInvalid(KernelError):
    rule = "WireInvalid"


class ResourceTooLong(KernelError):
    rule = "ResourceTooLong"


class VerbTooLong(KernelError):
    rule = "VerbTooLong"


class Revoked(Refused):
    """The wire holds a credential the caller has revoked, or one that a
    revoked key issued or received. Not a KernelError: revocation is the
    caller's decision, not a rule of the format.

    ``revocation_id`` is that credential's id; ``key`` is the revoked key
    when a key's revocation refused it, else None.
    """

    rule = "Revoked"
    index: int
    revocation_id: bytes
    key: Optional[bytes]

    def __init__(self, index: int, revocation_id: bytes, key: Optional[bytes] = None) -> None:
        if key is None:
            text = f"credential {index} is revoked"
        else:
            text = f"credential {index} involves the revoked key {key_id(key)}"
        super().__init__(text)
        self.index = index
        self.revocation_id = revocation_id
        self.key = key

    def __reduce__(self) -> Tuple[Type[Revoked], Tuple[int, bytes, Optional[bytes]]]:
        return (type(self), (self.index, self.revocation_id, self.key))


class RequestRefused(Refused):
    """A request's own fault, beside its chain: the text names it."""

    def __init__(self, text: str) -> None:
        super().__init__(text)

    def __reduce__(self) -> Tuple[Type[RequestRefused], Tuple[Any, ...]]:
        return (type(self), (str(self),))


class TokenMalformed(RequestRefused):
    """A token or chain reference that is not one. ``reason`` names the fault
    (Prefix, TooLong, Character, Length, FinalBits, Truncated, Count,
    PayloadLength, Trailing)."""

    rule = "TokenMalformed"
    reason: str

    def __init__(self, reason: str) -> None:
        super().__init__(f"malformed token: {reason}")
        self.reason = reason


class ProofMissing(RequestRefused):
    """No chain or no proof came with the request. Without any credentials
    the answer carries no error code, as bearer tokens do."""

    rule = "ProofMissing"

    def __init__(self, text: str, *, credentials: bool = True) -> None:
        super().__init__(text)
        if not credentials:
            self.error = None
        else:
            self.status, self.error = 400, "invalid_request"


class ProofMalformed(RequestRefused):
    """A proof header, or a header around it, that cannot be read."""

    rule = "ProofMalformed"
    status = 400
    error = "invalid_request"


class ProofInvalid(RequestRefused):
    """The proof is not the holder's signature over this request and chain."""

    rule = "ProofInvalid"


class ProofExpired(RequestRefused):
    """The proof was made too long ago, or claims a time still to come."""

    rule = "ProofExpired"


class ProofReplayed(RequestRefused):
    """The proof's unique id was seen before within its window."""

    rule = "ProofReplayed"


class ChainUnknown(RequestRefused):
    """A chain reference this service does not hold (never registered, or
    expired): present the token again."""

    rule = "ChainUnknown"


class NotAllowed(RequestRefused):
    """The chain verified, but its scope does not cover the request."""

    rule = "NotAllowed"
    status = 403
    error = "insufficient_scope"


class StoreUnavailable(RequestRefused):
    """A store the check needs (replay ids, registered chains) could not
    answer, or the verifier's revocation feed has not read the shared
    revocations within its bound; the request is refused rather than let
    through unchecked."""

    rule = "StoreUnavailable"
    status = 503
    error = None


class RegistrationLimited(RequestRefused):
    """A registration refused because a delegating key of the chain already
    has as many live registrations as the chain store allows each key.
    ``retry_after`` is how many seconds remain until the first of them
    expires (the answer's Retry-After)."""

    rule = "RegistrationLimited"
    status = 429
    error = "rate_limited"
    retry_after: int

    def __init__(self, text: str, retry_after: int) -> None:
        super().__init__(text)
        self.retry_after = retry_after

    def __reduce__(self) -> Tuple[Type[RegistrationLimited], Tuple[str, int]]:
        return (type(self), (str(self), self.retry_after))


RULES: Dict[str, Type[KernelError]] = {cls.rule: cls for cls in KernelError.__subclasses__()}


def typed(error: ValueError, index: Optional[int] = None) -> ValueError:
    """The typed form of a refusal raised by vestrel_kernel; any other
    ValueError (a wrong length, say) comes back as it is."""
    text = str(error)
    cls = RULES.get(text[len(_PREFIX):]) if text.startswith(_PREFIX) else None
    return error if cls is None else cls(index)
