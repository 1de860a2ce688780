"""The state a service keeps between requests, behind one small interface
each so that several processes can share it (vestrel.redis): the unique ids
of proofs already seen, and chains registered by reference. The in-memory
stores here serve one process."""

from __future__ import annotations

import threading
from collections import OrderedDict
from typing import Any, Dict, Iterable, Optional, Protocol, Sequence, Tuple

from . import _native
from ._errors import RegistrationLimited, StoreUnavailable

# How many live registrations a chain store lets each delegating key hold.
DEFAULT_MAX_REGISTRATIONS = 1000


class ReplayStore(Protocol):
    """Remembers the unique ids of proofs until they expire."""

    def add(self, key: bytes, now: int, expires_at: int) -> bool:
        """Adds ``key`` until ``expires_at`` (seconds, on the verifier's
        clock, which ``now`` gives) and answers whether it was new; in one
        step, so that two requests racing with one proof cannot both be
        told it was. Raises StoreUnavailable when it cannot answer."""
        ...


class ChainStore(Protocol):
    """Chains registered by reference, keyed by their chain digest."""

    def put(self, digest: bytes, wire: bytes, now: int, expires_at: int) -> None:
        """Keeps ``wire`` under ``digest`` until ``expires_at`` at the latest
        (a store may drop it earlier: the holder then registers it again).

        A store that bounds registrations also has ``register(digest, wire,
        now, expires_at, issuers)``, which the verifier then calls instead:
        ``issuers`` are the chain's delegating keys below its root (the
        issuer keys of its credentials after the first), each holding one
        more live registration, and it raises RegistrationLimited, storing
        nothing, once one key would exceed the bound."""
        ...

    def get(self, digest: bytes, now: int) -> Optional[bytes]:
        """The wire kept under ``digest``, or None. What comes back is not
        trusted: it is verified again, and its digest checked, on each use."""
        ...


class AsyncReplayStore(Protocol):
    """A replay store whose operations are coroutines, for services on an
    event loop (vestrel.redis with a redis.asyncio client): the same
    operation, with the same meaning, as :class:`ReplayStore`."""

    async def add(self, key: bytes, now: int, expires_at: int) -> bool:
        ...


class AsyncChainStore(Protocol):
    """A chain store whose operations are coroutines: :class:`ChainStore`'s
    (and, to bound registrations, an ``async def register``)."""

    async def put(self, digest: bytes, wire: bytes, now: int, expires_at: int) -> None:
        ...

    async def get(self, digest: bytes, now: int) -> Optional[bytes]:
        ...


# The operations a verifier calls on its stores.
_OPERATIONS = ("add", "forget", "get", "put", "register", "get_and_add")
_CO_COROUTINE = 0x80  # the code flag of an "async def"


def is_asyncio(store: Any) -> bool:
    """Whether any operation of ``store`` is an ``async def``, which only a
    caller on an event loop can await. (An operation that returns an
    awaitable from a plain def is caught where its answer is read.)"""
    return any(coroutine_function(getattr(store, name, None)) for name in _OPERATIONS)


def coroutine_function(function: Any) -> bool:
    """Whether ``function`` (a method too) is an ``async def``; read from
    its code's flags, as the inspect module would, without loading it."""
    code = getattr(getattr(function, "__func__", function), "__code__", None)
    return code is not None and bool(code.co_flags & _CO_COROUTINE)


class MemoryReplayStore:
    """Replay ids in this process's memory, safe across threads, bounded:
    once ``max_entries`` unexpired ids are held, new proofs are refused with
    StoreUnavailable (503) rather than letting old ids go early, which would
    allow their replay. Size it above the request rate times the proofs'
    max_age."""

    def __init__(self, max_entries: int = 1_000_000) -> None:
        if isinstance(max_entries, bool) or not isinstance(max_entries, int) or max_entries < 1:
            raise ValueError("max_entries must be a positive int")
        self._max = max_entries
        self._expiry: Dict[bytes, int] = {}
        # Expired ids are swept out once the table has doubled since the last
        # sweep (or is full), so each add costs a dictionary lookup and,
        # amortised, a constant share of a sweep.
        self._sweep_at = min(1024, max_entries)
        self._lock = threading.Lock()

    def __len__(self) -> int:
        return len(self._expiry)

    def add(self, key: bytes, now: int, expires_at: int) -> bool:
        with self._lock:
            expiry = self._expiry
            known = expiry.get(key)
            if known is not None and known >= now:
                return False
            if len(expiry) >= self._sweep_at:
                expiry = self._expiry = {k: e for k, e in expiry.items() if e >= now}
                self._sweep_at = min(max(1024, 2 * len(expiry)), self._max)
                if len(expiry) >= self._max:
                    raise StoreUnavailable("the replay store is full")
            expiry[key] = expires_at
            return True


class Registrations:
    """The live registrations of each delegating key: chain digests and
    when they expire, by the key's id. A chain registered again (the same
    digest) is the same registration, so a holder renewing its chain does
    not use up its key's share. Not safe across threads on its own: the
    store calls it under its lock."""

    def __init__(self, limit: int) -> None:
        if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
            raise ValueError("max_registrations must be a positive int")
        self.limit = limit
        self._live: Dict[bytes, Dict[bytes, int]] = {}
        # Keys that stop registering keep their entries until a sweep, run
        # once the number of keys has doubled since the last one.
        self._sweep_at = 1024

    def admit(self, digest: bytes, now: int, expires_at: int, issuers: Iterable[bytes]) -> None:
        """Counts the registration of ``digest`` against every key in
        ``issuers``; RegistrationLimited, counting nothing, when one of them
        already holds ``limit`` other live registrations."""
        ids = list(dict.fromkeys(_native.key_id(pk) for pk in issuers))
        if len(self._live) >= self._sweep_at:
            self._live = {k: live for k, live in self._live.items()
                          if any(e >= now for e in live.values())}
            self._sweep_at = max(1024, 2 * len(self._live))
        for kid in ids:
            live = self._live.get(kid)
            if live is None:
                continue
            for gone in [d for d, e in live.items() if e < now]:
                del live[gone]
            if digest not in live and len(live) >= self.limit:
                raise limited(kid, self.limit, min(live.values()) + 1 - now)
        for kid in ids:
            self._live.setdefault(kid, {})[digest] = expires_at


def limited(kid: bytes, limit: int, retry_after: int) -> RegistrationLimited:
    return RegistrationLimited(f"the delegating key {kid.hex()} already has {limit} live "
                               f"registrations", max(1, retry_after))


class MemoryChainStore:
    """Registered chains in this process's memory, safe across threads:
    at most ``max_bytes`` of wires, the least recently used dropped first,
    and at most ``max_registrations`` live registrations counted against
    each delegating key (see :meth:`ChainStore.put`), so that no holder of
    a delegating credential can push every other chain out by minting
    chains of its own."""

    def __init__(self, max_bytes: int = 64 * 1024 * 1024, *,
                 max_registrations: int = DEFAULT_MAX_REGISTRATIONS) -> None:
        if isinstance(max_bytes, bool) or not isinstance(max_bytes, int) or max_bytes < 0:
            raise ValueError("max_bytes must be an int, 0 or more")
        self._max = max_bytes
        self._bytes = 0
        self._chains: OrderedDict[bytes, Tuple[bytes, int]] = OrderedDict()
        self._registrations = Registrations(max_registrations)
        self._lock = threading.Lock()

    def __len__(self) -> int:
        return len(self._chains)

    def register(self, digest: bytes, wire: bytes, now: int, expires_at: int,
                 issuers: Sequence[bytes]) -> None:
        """:meth:`put`, once every key of ``issuers`` may hold one more live
        registration (see :class:`ChainStore`)."""
        if len(wire) <= self._max:
            with self._lock:
                self._registrations.admit(digest, now, expires_at, issuers)
                self._put(digest, wire, expires_at)

    def put(self, digest: bytes, wire: bytes, now: int, expires_at: int) -> None:
        if len(wire) <= self._max:
            with self._lock:
                self._put(digest, wire, expires_at)

    def _put(self, digest: bytes, wire: bytes, expires_at: int) -> None:
        old = self._chains.pop(digest, None)
        if old is not None:
            self._bytes -= len(old[0])
        while self._chains and self._bytes + len(wire) > self._max:
            _, (dropped, _) = self._chains.popitem(last=False)
            self._bytes -= len(dropped)
        self._chains[digest] = (wire, expires_at)
        self._bytes += len(wire)

    def get(self, digest: bytes, now: int) -> Optional[bytes]:
        with self._lock:
            held = self._chains.get(digest)
            if held is None:
                return None
            if held[1] < now:
                del self._chains[digest]
                self._bytes -= len(held[0])
                return None
            self._chains.move_to_end(digest)
            return held[0]
