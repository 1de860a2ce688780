"""Issuing credentials without hand bookkeeping of depth, keys and framing."""

from __future__ import annotations

from typing import Iterable, Literal, Optional, Tuple

import vestrel_kernel
from vestrel_kernel import IdentityIsland

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


def delegate(wire: Optional[bytes], issuer: IdentityIsland, child_pk: bytes,
             role: Literal["leaf", "node"], perms: Iterable[Tuple[bytes, bytes]],
             not_before: Optional[int] = None, not_after: Optional[int] = None) -> bytes:
    """Issues the next credential of ``wire`` (None: the first, from a root)
    to ``child_pk`` and returns the extended wire.

    The depth is the number of credentials in ``wire`` plus one and the
    issuer key is the island's own. Nothing is verified here: a scope wider
    than the issuer's own is refused later, by verification.
    """
    try:
        credentials = vestrel_kernel.decode_chain(wire) if wire is not None else []
        payload, sig = issuer.issue_credential(child_pk, role, len(credentials) + 1,
                                               scope(perms), caveats(not_before, not_after))
        credentials.append((issuer.public_key(), sig, payload))
        return vestrel_kernel.encode_chain(credentials)
    except ValueError as error:
        raise typed(error) from None
