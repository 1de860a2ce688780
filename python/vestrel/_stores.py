"""The state a service keeps between requests, behind one small interface
each so that several processes can share it (vestrel.redis): the unique ids
of proofs already seen, and chains registered by reference. The in-memory
stores here serve one process."""

from __future__ import annotations

import threading
from collections import OrderedDict
from typing import Dict, Optional, Protocol, Tuple

from ._errors import StoreUnavailable


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
        (a store may drop it earlier: the holder then registers it again)."""
        ...

    def get(self, digest: bytes, now: int) -> Optional[bytes]:
        """The wire kept under ``digest``, or None. What comes back is not
        trusted: it is verified again, and its digest checked, on each use."""
        ...


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
        # sweep, so each add costs a dictionary lookup and, amortised, a
        # constant share of a sweep.
        self._sweep_at = 1024
        self._lock = threading.Lock()

    def __len__(self) -> int:
        return len(self._expiry)

    def add(self, key: bytes, now: int, expires_at: int) -> bool:
        with self._lock:
            known = self._expiry.get(key)
            if known is not None and known >= now:
                return False
            if len(self._expiry) >= self._sweep_at or len(self._expiry) >= self._max:
                self._expiry = {k: e for k, e in self._expiry.items() if e >= now}
                self._sweep_at = max(1024, 2 * len(self._expiry))
                if len(self._expiry) >= self._max:
                    raise StoreUnavailable("the replay store is full")
            self._expiry[key] = expires_at
            return True


class MemoryChainStore:
    """Registered chains in this process's memory, safe across threads:
    at most ``max_bytes`` of wires, the least recently used dropped first."""

    def __init__(self, max_bytes: int = 64 * 1024 * 1024) -> None:
        if isinstance(max_bytes, bool) or not isinstance(max_bytes, int) or max_bytes < 0:
            raise ValueError("max_bytes must be an int, 0 or more")
        self._max = max_bytes
        self._bytes = 0
        self._chains: OrderedDict[bytes, Tuple[bytes, int]] = OrderedDict()
        self._lock = threading.Lock()

    def __len__(self) -> int:
        return len(self._chains)

    def put(self, digest: bytes, wire: bytes, now: int, expires_at: int) -> None:
        if len(wire) > self._max:
            return
        with self._lock:
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
