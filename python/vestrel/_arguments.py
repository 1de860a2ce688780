"""What callers hand the package, checked and converted on entry: keys,
revocation ids, times. Every conversion either gives the exact value the
kernel takes or raises at once; nothing is accepted by accident."""

from __future__ import annotations

import datetime
import hashlib
import math
import re
import time
from typing import Any, FrozenSet, Iterable, Union

import vestrel_kernel

from . import _native

BytesLike = Union[bytes, bytearray, memoryview]
IdLike = Union[BytesLike, str]
TimeLike = Union[int, float, datetime.datetime]

REVOCATION_ID_SIZE = 32
MAX_TIME = 2**64 - 1

_HEX_ID = re.compile(r"[0-9a-fA-F]{64}")
_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


def key_id(pk: BytesLike) -> str:
    """A public key's short identifier, for logs and configuration: the first
    16 bytes of SHA3-256 of the 1952-byte key, as 32 lowercase hex digits
    (the id a token names its root by)."""
    return _native.key_id(public_key(pk, "pk")).hex()


def revocation_id(signature: BytesLike) -> bytes:
    """The revocation id of the credential carrying this signature: its
    SHA3-256 (the standard library's, which hashes a signature faster than
    the core's portable Keccak; the two are the same function)."""
    return hashlib.sha3_256(signature).digest()


def byte_string(value: Any, what: str) -> bytes:
    """The bytes of a bytes-like value; TypeError for anything else."""
    if isinstance(value, bytes):
        return value
    if isinstance(value, (bytearray, memoryview)):
        return bytes(value)
    raise TypeError(f"{what} must be bytes, not {type(value).__name__}")


def public_key(value: Any, what: str) -> bytes:
    key = byte_string(value, what)
    if len(key) != vestrel_kernel.PK_SIZE:
        raise ValueError(f"{what} must be {vestrel_kernel.PK_SIZE} bytes, not {len(key)}")
    return key


def as_revocation_id(value: Any) -> bytes:
    """32 bytes, or their 64 hex digits in either case."""
    if isinstance(value, str):
        if _HEX_ID.fullmatch(value) is None:
            raise ValueError(f"a revocation id in text is 64 hex digits, not {value[:80]!r}")
        return bytes.fromhex(value)
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError("a revocation id is 32 bytes or 64 hex digits, not "
                        f"{type(value).__name__}")
    rid = bytes(value)
    if len(rid) != REVOCATION_ID_SIZE:
        raise ValueError(f"a revocation id is {REVOCATION_ID_SIZE} bytes, not {len(rid)}")
    return rid


def revocation_ids(ids: Any) -> FrozenSet[bytes]:
    """Every id of an iterable, read once and completely. A single id is
    taken as itself: iterating its bytes or characters would make no ids."""
    if isinstance(ids, (str, bytes, bytearray, memoryview)):
        return frozenset((as_revocation_id(ids),))
    try:
        items: Iterable[Any] = iter(ids)
    except TypeError:
        raise TypeError(f"revocation ids come as an iterable, not {type(ids).__name__}") from None
    return frozenset(as_revocation_id(item) for item in items)


def seconds(now: Any, what: str = "now") -> int:
    """Whole seconds since the epoch from an int, a float (floored) or a
    timezone-aware datetime."""
    if isinstance(now, bool):
        raise TypeError(f"{what} must be an int, a float or an aware datetime, not bool")
    if isinstance(now, datetime.datetime):
        if now.tzinfo is None or now.utcoffset() is None:
            raise TypeError(f"{what} is a naive datetime: give it a timezone "
                            "(datetime.now(timezone.utc), say)")
        value = (now - _EPOCH) // datetime.timedelta(seconds=1)
    elif isinstance(now, float):
        if not math.isfinite(now):
            raise ValueError(f"{what} must be finite, not {now!r}")
        value = math.floor(now)
    elif isinstance(now, int):
        value = int(now)
    else:
        raise TypeError(f"{what} must be an int, a float or an aware datetime, not "
                        f"{type(now).__name__}")
    if value < 0:
        raise ValueError(f"{what} must not be before the epoch (got {value})")
    if value > MAX_TIME:
        raise ValueError(f"{what} must be at most 2**64 - 1 seconds (got {value})")
    return value


def instant(now: Any) -> int:
    """The time to verify at: ``now`` as seconds(), or the clock's for None.
    The one place the package reads a clock."""
    if now is None:
        return int(time.time())
    # Ints in range are the common case and need no conversion.
    return now if type(now) is int and 0 <= now <= MAX_TIME else seconds(now)


def count(value: Any, what: str) -> int:
    """A whole number from 0 to 2**64 - 1."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not 0 <= value <= MAX_TIME:
        raise ValueError(f"{what} must be from 0 to 2**64 - 1, not {value}")
    return int(value)
