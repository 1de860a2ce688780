"""Issuing credentials without hand bookkeeping of depth, keys and framing."""

from __future__ import annotations

from typing import Any, Iterable, Literal, NoReturn, Optional, Tuple

import vestrel_kernel
from vestrel_kernel import IdentityIsland

from . import _native
from ._chain import refuse
from ._errors import typed


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


def delegate(wire: Optional[bytes], issuer: IdentityIsland, child_pk: bytes,
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
    """
    try:
        credentials = vestrel_kernel.decode_chain(wire) if wire is not None else []
        scope_tlv, records = scope(perms), caveats(not_before, not_after)
        issuer_pk = issuer.public_key()
        depth = len(credentials) + 1
        payload = _native.credential_payload(child_pk, role, depth, scope_tlv, records)
        answer = _native.audit(wire, issuer_pk, payload)
    except ValueError as error:
        raise typed(error) from None
    if answer[0] is None:
        _refuse_before_signing(answer)
    try:
        payload, sig = issuer.issue_credential(child_pk, role, depth, scope_tlv, records)
        credentials.append((issuer_pk, sig, payload))
        return vestrel_kernel.encode_chain(credentials)
    except ValueError as error:
        raise typed(error) from None
