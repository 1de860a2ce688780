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
import time
from typing import Any, Optional, Tuple

import redis  # type: ignore[import]
from redis.exceptions import RedisError  # type: ignore[import]

from ._errors import StoreUnavailable

__all__ = ["RedisReplayStore", "RedisChainStore", "stores", "DEFAULT_PREFIX"]

log = logging.getLogger("vestrel.redis")

DEFAULT_PREFIX = "vestrel:"
# A replay id is the chain digest's first 16 bytes and the proof's 16-byte
# unique id; chain digests and revocation ids are SHA3-256 values.
REPLAY_KEY_LEN = 32
DIGEST_LEN = 32
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
