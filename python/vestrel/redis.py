"""Stores that several processes share, in Redis: proofs' unique ids, chains
registered by reference, and the revocation set.

    import redis, vestrel, vestrel.redis

    client = redis.Redis(host="10.0.0.5", socket_timeout=0.5, socket_connect_timeout=0.5)
    replay, chains = vestrel.redis.stores(client, prefix="billing:")
    verifier = vestrel.Verifier([root_pk], replay=replay, chains=chains)
    feed = vestrel.redis.RevocationFeed(client, verifier, prefix="billing:").start()
    ...
    feed.revoke(revocation_id)   # every subscribed verifier refuses it within the bound

The caller makes the client (redis-py's ``redis.Redis``, with bytes
answers: no ``decode_responses``) and chooses its timeouts; nothing here
opens a connection of its own. This module is the only one of the package
that imports redis-py, and only when it is itself imported.

Keys, under ``prefix`` (default ``"vestrel:"``) so that deployments sharing
one Redis stay apart:

    <prefix>replay:<64 hex>   "1", expiring with the proof's window
    <prefix>chain:<64 hex>    a chain's wire, expiring with its registration
    <prefix>revoked           a set of 32-byte revocation ids
    <prefix>revoked-keys      a set of 1952-byte public keys
    <prefix>revocations       the channel announcing changes to both sets

Everything read back is untrusted: a registered chain is verified again and
its digest compared on each use (vestrel checks that, not this module), and
an entry of the wrong type or length is skipped with a logged warning.
When Redis cannot answer, the stores raise StoreUnavailable (the request is
refused with 503, never let through unchecked) and the feed keeps the last
set it had and says it is stale.
"""

from __future__ import annotations

import logging
import re
import threading
import time
from typing import Any, FrozenSet, Iterable, List, Optional, Set, Tuple

import redis  # type: ignore[import]
from redis.exceptions import RedisError  # type: ignore[import]

import vestrel_kernel

from ._arguments import REVOCATION_ID_SIZE, public_key, revocation_ids
from ._errors import StoreUnavailable
from ._verifier import Verifier

__all__ = ["RedisReplayStore", "RedisChainStore", "RevocationFeed", "stores", "DEFAULT_PREFIX"]

log = logging.getLogger("vestrel.redis")

DEFAULT_PREFIX = "vestrel:"
# A replay id is the chain digest's first 16 bytes and the proof's 16-byte
# unique id; chain digests and revocation ids are SHA3-256 values.
REPLAY_KEY_LEN = 32
DIGEST_LEN = 32
ID_LEN = REVOCATION_ID_SIZE
PK_LEN = vestrel_kernel.PK_SIZE
# Above the wire of the largest chain (16 credentials with the largest
# payloads); a longer value under a chain key was not written by this module.
MAX_WIRE = 1 << 20
_PREFIX = re.compile(r"[!-~]{0,100}")
# What a redis-py client, its socket or a broken answer can raise.
_FAILURES = (RedisError, OSError)


def _prefix(prefix: str) -> str:
    if not isinstance(prefix, str) or _PREFIX.fullmatch(prefix) is None:
        raise ValueError("prefix must be printable ASCII with no spaces, at most 100 characters")
    return prefix


def _client(client: Any) -> Any:
    for method in ("set", "get", "pipeline"):
        if not callable(getattr(client, method, None)):
            raise TypeError("client must be a redis.Redis (or a client with the same methods)")
    kwargs: Any = getattr(client, "get_connection_kwargs", dict)()
    if isinstance(kwargs, dict) and kwargs.get("decode_responses"):
        raise ValueError("the client must answer bytes: make it without decode_responses")
    return client


def _fixed(value: Any, length: int, what: str) -> bytes:
    if not isinstance(value, (bytes, bytearray, memoryview)) or len(value) != length:
        raise ValueError(f"{what} must be {length} bytes")
    return bytes(value)


def _ttl(now: int, expires_at: int) -> int:
    # Redis counts on its own clock: give it the time left, in whole seconds,
    # one more so that an entry never goes before the verifier's expiry.
    return max(1, expires_at - now + 1)


def _unavailable(what: str, error: BaseException) -> StoreUnavailable:
    log.warning("redis: %s failed: %r", what, error)
    return StoreUnavailable(f"the shared store cannot answer ({type(error).__name__})")


class RedisReplayStore:
    """Proofs' unique ids in Redis: one ``SET key 1 NX EX ttl`` per proof, a
    single atomic command, so two workers given one proof cannot both be
    told it is new. One round trip per checked request; nothing is read and
    then written."""

    def __init__(self, client: Any, *, prefix: str = DEFAULT_PREFIX) -> None:
        self._client = _client(client)
        self._prefix = _prefix(prefix) + "replay:"

    def key(self, key: bytes) -> str:
        return self._prefix + _fixed(key, REPLAY_KEY_LEN, "a replay id").hex()

    def add(self, key: bytes, now: int, expires_at: int) -> bool:
        name = self.key(key)
        try:
            answer = self._client.set(name, b"1", nx=True, ex=_ttl(now, expires_at))
        except _FAILURES as error:
            raise _unavailable("the replay check", error) from None
        return _set_answer(answer)

    def forget(self, key: bytes) -> None:
        """Takes back an id this store added for a proof that then failed its
        check; best effort, as the id expires anyway."""
        try:
            self._client.delete(self.key(key))
        except _FAILURES as error:
            log.warning("redis: forgetting a replay id failed: %r", error)


def _set_answer(answer: Any) -> bool:
    # SET NX answers OK (redis-py: True) when it set the key, nil (None)
    # when the key was there; anything else is no answer.
    if answer is True:
        return True
    if answer is None:
        return False
    raise StoreUnavailable("the shared store gave an answer that is not SET's")


class RedisChainStore:
    """Registered chains in Redis, one string per chain digest, expiring
    with the registration (``SET key wire EX ttl``): Redis bounds them by
    expiry, and by its ``maxmemory`` policy if one is set, in which case a
    dropped chain is registered again by its holder. One round trip per
    lookup; ``get_and_add`` pipelines it with the replay store's command.
    A value that is no wire (wrong type, empty, too long) reads as no chain,
    with a warning: the holder then registers again, which overwrites it."""

    def __init__(self, client: Any, *, prefix: str = DEFAULT_PREFIX,
                 replay: Optional[RedisReplayStore] = None) -> None:
        self._client = _client(client)
        self._prefix = _prefix(prefix) + "chain:"
        self.replay = replay

    def key(self, digest: bytes) -> str:
        return self._prefix + _fixed(digest, DIGEST_LEN, "a chain digest").hex()

    def put(self, digest: bytes, wire: bytes, now: int, expires_at: int) -> None:
        name = self.key(digest)
        if expires_at < now or not 0 < len(wire) <= MAX_WIRE:
            return
        try:
            self._client.set(name, bytes(wire), ex=_ttl(now, expires_at))
        except _FAILURES as error:
            raise _unavailable("registering a chain", error) from None

    def get(self, digest: bytes, now: int) -> Optional[bytes]:
        name = self.key(digest)
        try:
            answer = self._client.get(name)
        except redis.exceptions.ResponseError as error:  # WRONGTYPE: not a string
            log.warning("redis: %s is not a registered chain: %s", name, error)
            return None
        except _FAILURES as error:
            raise _unavailable("the registered-chain lookup", error) from None
        return _wire(name, answer)

    def get_and_add(self, digest: bytes, now: int, key: bytes,
                    expires_at: int) -> Tuple[Optional[bytes], bool]:
        """The chain under ``digest`` and the replay store's answer for
        ``key``, in one round trip. The id is added before the proof is
        checked: the caller forgets it if the check then fails."""
        if self.replay is None:
            raise TypeError("this chain store has no replay store to pipeline with")
        name, replay_name = self.key(digest), self.replay.key(key)
        try:
            pipe = self._client.pipeline(transaction=False)
            pipe.get(name)
            pipe.set(replay_name, b"1", nx=True, ex=_ttl(now, expires_at))
            wire, added = pipe.execute(raise_on_error=False)
        except _FAILURES as error:
            raise _unavailable("the registered-chain lookup and replay check", error) from None
        except ValueError as error:  # not two answers
            raise _unavailable("the pipelined lookup", error) from None
        if isinstance(added, Exception):
            raise _unavailable("the replay check", added)
        if isinstance(wire, redis.exceptions.ResponseError):
            log.warning("redis: %s is not a registered chain: %s", name, wire)
            wire = None
        elif isinstance(wire, Exception):
            raise _unavailable("the registered-chain lookup", wire)
        return _wire(name, wire), _set_answer(added)


def _wire(name: str, answer: Any) -> Optional[bytes]:
    if answer is None:
        return None
    if not isinstance(answer, bytes) or not 0 < len(answer) <= MAX_WIRE:
        log.warning("redis: %s does not hold a wire; taken as no chain", name)
        return None
    return answer


def stores(client: Any, *, prefix: str = DEFAULT_PREFIX) -> Tuple[RedisReplayStore, RedisChainStore]:
    """The replay and chain stores of one deployment, on one client; the
    chain store knows its replay store, so a request by reference costs a
    single round trip (the lookup and the replay check pipelined)."""
    replay = RedisReplayStore(client, prefix=prefix)
    return replay, RedisChainStore(client, prefix=prefix, replay=replay)


# Messages on the channel: one operation byte ("+" revoke, "-" take back),
# one kind byte ("i" ids of 32 bytes, "k" keys of 1952 bytes), then the
# values back to back. A message is a hint that makes the change show at
# once; the sets are the truth, read again in full on every (re)connection
# and every ``resync`` seconds.
_OPS = {b"+": True, b"-": False}
_KINDS = {b"i": ID_LEN, b"k": PK_LEN}


class RevocationFeed:
    """Keeps ``verifier``'s revocations in step with the two Redis sets,
    and changes them for every verifier subscribed under the same prefix.

    A background thread (started by :meth:`start`) subscribes to the
    channel, then reads both sets in full and applies the difference; each
    message then applies at once, and the sets are read again every
    ``resync`` seconds and after every reconnection, so a message missed
    while disconnected is never a missed revocation. The bound: a change
    made with :meth:`revoke` reaches every connected subscriber as soon as
    Redis delivers the message, and any change, however made, within
    ``resync`` seconds while Redis is reachable.

    When Redis is not reachable the verifier keeps the last set it had,
    :attr:`stale` turns true and the thread reconnects every
    ``retry`` seconds. The feed owns what it applied: ids revoked on the
    verifier by other means are left alone, unless Redis's set held them
    and then lost them.
    """

    def __init__(self, client: Any, verifier: Verifier, *, prefix: str = DEFAULT_PREFIX,
                 resync: float = 30.0, retry: float = 1.0) -> None:
        if not isinstance(verifier, Verifier):
            raise TypeError("verifier must be a vestrel.Verifier")
        for name, value in (("resync", resync), ("retry", retry)):
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
                raise ValueError(f"{name} must be a positive number of seconds")
        if not callable(getattr(client, "pubsub", None)):
            raise TypeError("client must be a redis.Redis (or a client with the same methods)")
        self._client = _client(client)
        base = _prefix(prefix)
        self._ids_key, self._keys_key = base + "revoked", base + "revoked-keys"
        self._channel = base + "revocations"
        self._verifier = verifier
        self._resync, self._retry = float(resync), float(retry)
        self._ids: Set[bytes] = set()  # what this feed applied to the verifier
        self._keys: Set[bytes] = set()
        self._lock = threading.RLock()  # resync applies under it, and _apply takes it
        self._connected = False
        self._synced_at: Optional[float] = None
        self._synced = threading.Event()
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None

    # -- what a service asks -------------------------------------------------

    @property
    def synced_at(self) -> Optional[float]:
        """When the sets were last read in full (time.time()), or None."""
        return self._synced_at

    @property
    def stale(self) -> bool:
        """True until the first full read, while disconnected, and when the
        last full read is more than two ``resync`` periods old: the verifier
        may then miss revocations made since :attr:`synced_at`."""
        at = self._synced_at
        return not self._connected or at is None or time.time() - at > 2 * self._resync

    def wait_synced(self, timeout: float) -> bool:
        """Waits for the first full read; whether it happened."""
        return self._synced.wait(timeout)

    def start(self) -> RevocationFeed:
        if self._thread is None:
            self._thread = threading.Thread(target=self._run, name="vestrel-revocation-feed",
                                            daemon=True)
            self._thread.start()
        return self

    def close(self, timeout: float = 5.0) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join(timeout)

    def __enter__(self) -> RevocationFeed:
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # -- changing the sets ---------------------------------------------------

    def revoke(self, ids: Any) -> None:
        """Adds one id or an iterable of them (32 bytes or 64 hex digits) to
        the shared set and announces it, in one MULTI/EXEC transaction; this
        feed's verifier refuses them at once. StoreUnavailable if Redis
        cannot take it: then nothing was recorded."""
        self._change(True, b"i", sorted(revocation_ids(ids)))

    def unrevoke(self, ids: Any) -> None:
        self._change(False, b"i", sorted(revocation_ids(ids)))

    def revoke_key(self, pk: Any) -> None:
        """Revokes a public key everywhere, as Verifier.revoke_key does here."""
        self._change(True, b"k", [public_key(pk, "pk")])

    def unrevoke_key(self, pk: Any) -> None:
        self._change(False, b"k", [public_key(pk, "pk")])

    def _change(self, add: bool, kind: bytes, values: List[bytes]) -> None:
        if not values:
            return
        key = self._ids_key if kind == b"i" else self._keys_key
        try:
            pipe = self._client.pipeline(transaction=True)
            (pipe.sadd if add else pipe.srem)(key, *values)
            pipe.publish(self._channel, (b"+" if add else b"-") + kind + b"".join(values))
            pipe.execute()
        except _FAILURES as error:
            raise _unavailable("changing the revocation set", error) from None
        self._apply(add, kind, values)

    # -- the thread ----------------------------------------------------------

    def _run(self) -> None:
        while not self._stop.is_set():
            pubsub = None
            try:
                pubsub = self._client.pubsub()
                pubsub.subscribe(self._channel)
                # Subscribed before the sets are read: a change made after
                # the read comes as a message, one made before is in the read.
                deadline = time.monotonic() + max(self._retry, 5.0)
                while pubsub.get_message(timeout=0.5) is None or not pubsub.subscribed:
                    if time.monotonic() > deadline:
                        raise redis.exceptions.TimeoutError("no subscription confirmed")
                self._connected = True
                self.resync()
                due = time.monotonic() + self._resync
                while not self._stop.is_set():
                    message = pubsub.get_message(timeout=min(0.5, self._resync))
                    if message is not None and message.get("type") == "message":
                        self._message(message.get("data"))
                    if time.monotonic() >= due:
                        self.resync()
                        due = time.monotonic() + self._resync
            except _FAILURES as error:
                if self._connected:
                    log.warning("redis: the revocation feed lost Redis (%r); keeping the last "
                                "set, read at %s", error, self._synced_at)
                self._connected = False
            except Exception:  # a bug must not end the thread silently
                log.exception("redis: the revocation feed failed; retrying")
                self._connected = False
            finally:
                if pubsub is not None:
                    try:
                        pubsub.close()
                    except Exception:
                        pass
            self._stop.wait(self._retry)

    def resync(self) -> None:
        """Reads both sets in full and applies the difference; raises what
        the client raises when Redis cannot answer (the thread calls it)."""
        pipe = self._client.pipeline(transaction=False)
        pipe.smembers(self._ids_key)
        pipe.smembers(self._keys_key)
        ids, keys = pipe.execute()
        wanted_ids = _members(self._ids_key, ids, ID_LEN)
        wanted_keys = _members(self._keys_key, keys, PK_LEN)
        with self._lock:
            self._apply(True, b"i", wanted_ids - self._ids)
            self._apply(False, b"i", self._ids - wanted_ids)
            self._apply(True, b"k", wanted_keys - self._keys)
            self._apply(False, b"k", self._keys - wanted_keys)
        self._synced_at = time.time()
        self._synced.set()

    def _message(self, data: Any) -> None:
        if not isinstance(data, bytes):
            data = b""
        size, body = _KINDS.get(data[1:2]), data[2:]
        if data[:1] not in _OPS or size is None or not body or len(body) % size:
            # Not one of ours; the next full read is the truth either way.
            log.warning("redis: a malformed message on %s was ignored", self._channel)
            return
        self._apply(_OPS[data[:1]], data[1:2],
                    [body[i:i + size] for i in range(0, len(body), size)])

    def _apply(self, add: bool, kind: bytes, values: Iterable[bytes]) -> None:
        values = list(values)
        if not values:
            return
        with self._lock:
            if kind == b"i":
                (self._verifier.revoke if add else self._verifier.unrevoke)(values)
                (self._ids.update if add else self._ids.difference_update)(values)
                return
            for pk in values:
                (self._verifier.revoke_key if add else self._verifier.unrevoke_key)(pk)
            (self._keys.update if add else self._keys.difference_update)(values)


def _members(name: str, members: Any, size: int) -> FrozenSet[bytes]:
    if not isinstance(members, (set, frozenset, list)):
        raise redis.exceptions.DataError(f"{name} did not read as a set")
    good = frozenset(m for m in members if isinstance(m, bytes) and len(m) == size)
    if len(good) != len(members):
        log.warning("redis: %d members of %s are not %d-byte values; skipped",
                    len(members) - len(good), name, size)
    return good
