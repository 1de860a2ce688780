"""Stores that several processes share, in Redis: proofs' unique ids, chains
registered by reference, and the revocation set.

    import redis, vestrel, vestrel.redis

    client = redis.Redis(host="10.0.0.5", socket_timeout=0.5, socket_connect_timeout=0.5)
    replay, chains = vestrel.redis.stores(client, prefix="billing:")
    verifier = vestrel.Verifier([root_pk], replay=replay, chains=chains)
    feed = vestrel.redis.RevocationFeed(client, verifier, prefix="billing:").start()
    ...
    feed.revoke(revocation_id)   # every fed verifier refuses it within the bound

The caller makes the client (redis-py's ``redis.Redis``, with bytes
answers: no ``decode_responses``) and chooses its timeouts; nothing here
opens a connection of its own. A service on an event loop passes a
``redis.asyncio.Redis`` instead: ``stores`` then makes the asyncio stores,
which Verifier.verify_request_async (and so vestrel.asgi) awaits, and the
feed runs as a task of the loop (``await feed.start_async()`` in the
lifespan, or ``async with feed:``). This module is the
only one of the package that imports redis-py, and only when it is itself
imported.

Keys, under ``prefix`` (default ``"vestrel:"``) so that deployments sharing
one Redis stay apart:

    <prefix>replay:<64 hex>          "1", expiring with the proof's window
    <prefix>chain:<64 hex>           a chain's wire, expiring with its registration
    <prefix>registrations:<32 hex>   a delegating key's live registrations
    <prefix>revoked                  a set of 32-byte revocation ids
    <prefix>revoked-keys             a set of 1952-byte public keys
    <prefix>revocations              the channel announcing changes to both sets

Everything read back is untrusted: a registered chain is verified again and
its digest compared on each use (vestrel checks that, not this module), and
an entry of the wrong type or length is skipped with a logged warning.
When Redis cannot answer, the stores raise StoreUnavailable (the request is
refused with 503, never let through unchecked), and a verifier whose feed
has not read the revocation sets within its bound refuses the same way.
"""

from __future__ import annotations

import asyncio
import inspect
import logging
import math
import os
import re
import threading
import time
import weakref
from typing import Any, Dict, FrozenSet, Iterable, List, Optional, Sequence, Tuple

import redis  # type: ignore[import]
from redis.exceptions import RedisError  # type: ignore[import]

import vestrel_kernel

from . import _native
from ._arguments import REVOCATION_ID_SIZE, public_key, revocation_ids
from ._errors import StoreUnavailable
from ._stores import DEFAULT_MAX_REGISTRATIONS, Registrations, limited
from ._verifier import Verifier

__all__ = ["RedisReplayStore", "RedisChainStore", "AsyncRedisReplayStore", "AsyncRedisChainStore",
           "RevocationFeed", "stores", "DEFAULT_PREFIX"]

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


def _asyncio_client(client: Any) -> bool:
    """Whether ``client``'s commands are coroutines (redis.asyncio.Redis)."""
    return any(inspect.iscoroutinefunction(getattr(client, name, None))
               for name in ("execute_command", "set", "get"))


def _client(client: Any, *, asyncio_client: bool = False) -> Any:
    for method in ("set", "get", "pipeline"):
        if not callable(getattr(client, method, None)):
            raise TypeError("client must be a redis.Redis (or a client with the same methods)")
    if _asyncio_client(client) != asyncio_client:
        # The same names either way: called the other way, no command would
        # ever run, or each would hold up the event loop.
        raise TypeError("an asyncio Redis client serves the asyncio stores (AsyncRedisReplayStore, "
                        "AsyncRedisChainStore, which vestrel.redis.stores makes for it): pass a "
                        "redis.Redis here" if not asyncio_client else
                        "the asyncio stores take a redis.asyncio.Redis: for a redis.Redis, use "
                        "RedisReplayStore and RedisChainStore")
    if getattr(client, "connection", None) is not None or (
            asyncio_client and getattr(client, "single_connection_client", False)):
        raise ValueError("the client must take its connections from its pool (no "
                         "single_connection_client): one connection would be shared by every "
                         "thread (every request of an event loop), and after a fork by two "
                         "processes")
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


# -- eviction -----------------------------------------------------------------

def _text(value: Any) -> str:
    return value.decode("ascii", "replace") if isinstance(value, bytes) else str(value)


def _memory_policy(client: Any) -> Optional[Tuple[str, int]]:
    """Redis's maxmemory-policy and maxmemory, or None (said in the log)
    where they cannot be read: CONFIG renamed away or refused to this user,
    or Redis not answering."""
    try:
        return _policy(client.config_get("maxmemory-policy"), client.config_get("maxmemory"))
    except (*_FAILURES, KeyError, ValueError, TypeError, AttributeError) as error:
        _policy_unread(error)
        return None


async def _memory_policy_async(client: Any) -> Optional[Tuple[str, int]]:
    try:
        return _policy(await _whole(client.config_get("maxmemory-policy")),
                       await _whole(client.config_get("maxmemory")))
    except (*_FAILURES, KeyError, ValueError, TypeError, AttributeError) as error:
        _policy_unread(error)
        return None


def _policy(policy: Any, limit: Any) -> Tuple[str, int]:
    found = {_text(k): _text(v) for k, v in {**policy, **limit}.items()}
    return found["maxmemory-policy"], int(found["maxmemory"])


def _policy_unread(error: BaseException) -> None:
    log.warning("redis: cannot read maxmemory-policy (%r): if this Redis evicts keys, replay "
                "ids and registrations may go before they expire", error)


def _refuse_eviction(client: Any, *, sets_only: bool) -> None:
    _judge_eviction(_memory_policy(client), sets_only=sets_only)


def _judge_eviction(found: Optional[Tuple[str, int]], *, sets_only: bool) -> None:
    """Refuses a Redis set to evict the keys the caller keeps there. A
    limit of 0 is no limit (Redis then evicts nothing, whatever the
    policy), but a policy that would evict is still worth a warning."""
    if found is None:
        return
    policy, limit = found
    # The volatile-* policies evict only keys with an expiry, which the
    # revocation sets never have; the stores' keys all expire.
    evicts = policy.startswith("allkeys-") if sets_only else policy != "noeviction"
    if not evicts:
        return
    what = ("the revocation sets" if sets_only else
            "replay ids (a captured proof is then accepted again) and registrations")
    if limit == 0:
        log.warning("redis: maxmemory-policy is %s, without maxmemory for now: once maxmemory "
                    "is set, Redis may evict %s", policy, what)
        return
    raise ValueError(f"this Redis may evict {what}: maxmemory-policy is {policy} with maxmemory "
                     f"{limit}. Set maxmemory-policy to noeviction, or pass "
                     f"allow_eviction=True to accept that")


# -- the stores ---------------------------------------------------------------

class RedisReplayStore:
    """Proofs' unique ids in Redis: one ``SET key 1 NX EX ttl`` per proof, a
    single atomic command, so two workers given one proof cannot both be
    told it is new. One round trip per checked request; nothing is read and
    then written.

    Refuses (ValueError) a Redis that may evict keys (a ``maxmemory``
    limit with any policy but ``noeviction``): an evicted id would let its
    proof through again. ``allow_eviction=True`` accepts that risk."""

    def __init__(self, client: Any, *, prefix: str = DEFAULT_PREFIX,
                 allow_eviction: bool = False) -> None:
        self._client = _client(client)
        self._prefix = _prefix(prefix) + "replay:"
        if not allow_eviction:
            _refuse_eviction(client, sets_only=False)

    def key(self, key: bytes) -> str:
        return _replay_key(self._prefix, key)

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


# Registers a chain if every delegating key may hold one more registration.
# KEYS[1] is the chain's key, KEYS[2..] the keys' sorted sets of live
# registrations (member: the chain digest, score: its expiry on the
# verifier's clock). ARGV: wire, ttl, now, expires_at, limit, digest.
# Answers 0, or {n, first expiry} for the n-th delegating key that is full.
# One script, so that workers registering at once cannot both take the
# last place.
_REGISTER = """
local now, limit = tonumber(ARGV[3]), tonumber(ARGV[5])
for i = 2, #KEYS do
  redis.call('ZREMRANGEBYSCORE', KEYS[i], '-inf', '(' .. ARGV[3])
  if not redis.call('ZSCORE', KEYS[i], ARGV[6]) and redis.call('ZCARD', KEYS[i]) >= limit then
    local first = redis.call('ZRANGE', KEYS[i], 0, 0, 'WITHSCORES')
    return {i - 1, first[2]}
  end
end
for i = 2, #KEYS do
  redis.call('ZADD', KEYS[i], ARGV[4], ARGV[6])
  if redis.call('TTL', KEYS[i]) < tonumber(ARGV[2]) then
    redis.call('EXPIRE', KEYS[i], ARGV[2])
  end
end
redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2])
return 0
"""


class RedisChainStore:
    """Registered chains in Redis, one string per chain digest, expiring
    with the registration (``SET key wire EX ttl``). One round trip per
    lookup; ``get_and_add`` pipelines it with the replay store's command.
    A value that is no wire (wrong type, empty, too long) reads as no chain,
    with a warning: the holder then registers again, which overwrites it.

    Each delegating key of a registered chain below its root holds at most
    ``max_registrations`` live registrations, counted in a sorted set per
    key and checked and added by one script (atomic across workers): past
    it, registration is refused with RegistrationLimited (429). So one
    delegating credential fills at most that many chains' worth of Redis,
    however many chains its holder mints. Refuses a Redis that may evict
    keys, as :class:`RedisReplayStore` does."""

    def __init__(self, client: Any, *, prefix: str = DEFAULT_PREFIX,
                 replay: Optional[RedisReplayStore] = None,
                 max_registrations: int = DEFAULT_MAX_REGISTRATIONS,
                 allow_eviction: bool = False) -> None:
        self._client = _client(client)
        base = _prefix(prefix)
        self._prefix = base + "chain:"
        self._registrations = base + "registrations:"
        self._limit = Registrations(max_registrations).limit
        self._register: Any = None
        self.replay = replay
        if not allow_eviction:
            _refuse_eviction(client, sets_only=False)

    def key(self, digest: bytes) -> str:
        return _chain_key(self._prefix, digest)

    def put(self, digest: bytes, wire: bytes, now: int, expires_at: int) -> None:
        self.register(digest, wire, now, expires_at, ())

    def register(self, digest: bytes, wire: bytes, now: int, expires_at: int,
                 issuers: Sequence[bytes]) -> None:
        """:meth:`put`, once every key of ``issuers`` may hold one more live
        registration; RegistrationLimited, storing nothing, otherwise."""
        name = self.key(digest)
        if expires_at < now or not 0 < len(wire) <= MAX_WIRE:
            return
        ids = _issuer_ids(issuers)
        try:
            if not ids:
                self._client.set(name, bytes(wire), ex=_ttl(now, expires_at))
                return
            if self._register is None:
                self._register = self._client.register_script(_REGISTER)
            answer = self._register(**self._script_call(name, ids, digest, wire, now, expires_at))
        except _FAILURES as error:
            raise _unavailable("registering a chain", error) from None
        _registered(answer, ids, self._limit, now)

    def _script_call(self, name: str, ids: List[bytes], digest: bytes, wire: bytes, now: int,
                     expires_at: int) -> Dict[str, Any]:
        return _script_call(self._registrations, self._limit, name, ids, digest, wire, now,
                            expires_at)

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
        return _pipelined(name, wire, added)


def _replay_key(prefix: str, key: bytes) -> str:
    return prefix + _fixed(key, REPLAY_KEY_LEN, "a replay id").hex()


def _chain_key(prefix: str, digest: bytes) -> str:
    return prefix + _fixed(digest, DIGEST_LEN, "a chain digest").hex()


def _script_call(registrations: str, limit: int, name: str, ids: List[bytes], digest: bytes,
                 wire: bytes, now: int, expires_at: int) -> Dict[str, Any]:
    """The registration script's keys and arguments (see _REGISTER)."""
    return {"keys": [name, *(registrations + k.hex() for k in ids)],
            "args": [bytes(wire), _ttl(now, expires_at), now, expires_at, limit, bytes(digest)]}


def _issuer_ids(issuers: Sequence[bytes]) -> List[bytes]:
    return list(dict.fromkeys(_native.key_id(public_key(pk, "an issuer key")) for pk in issuers))


def _registered(answer: Any, ids: List[bytes], limit: int, now: int) -> None:
    """Nothing when the registration script registered the chain;
    RegistrationLimited naming the key that is full otherwise."""
    if answer == 0:
        return
    try:
        index, first = answer
        kid, first_expiry = ids[int(index) - 1], int(float(first))
    except (TypeError, ValueError, IndexError):
        raise StoreUnavailable("the shared store gave an answer that is not the "
                               "registration script's") from None
    raise limited(kid, limit, first_expiry + 1 - now)


def _pipelined(name: str, wire: Any, added: Any) -> Tuple[Optional[bytes], bool]:
    """The answers of the pipelined lookup and replay check."""
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


def stores(client: Any, *, prefix: str = DEFAULT_PREFIX,
           max_registrations: int = DEFAULT_MAX_REGISTRATIONS,
           allow_eviction: bool = False) -> Tuple[Any, Any]:
    """The replay and chain stores of one deployment, on one client; the
    chain store knows its replay store, so a request by reference costs a
    single round trip (the lookup and the replay check pipelined).

    Refuses with ValueError a Redis whose ``maxmemory`` is set with any
    ``maxmemory-policy`` but ``noeviction`` (it may evict replay ids before
    they expire, and a captured proof then passes again), unless
    ``allow_eviction`` is true; where the policy cannot be read, says so in
    the log and goes on.

    For a ``redis.asyncio.Redis`` the stores are the asyncio ones
    (:class:`AsyncRedisReplayStore`, :class:`AsyncRedisChainStore`), which
    Verifier.verify_request_async and vestrel.asgi await: their eviction
    check needs the event loop, so it runs at ``await replay.ready()`` (call
    it in the lifespan to fail there) or else before their first command."""
    if _asyncio_client(client):
        _client(client, asyncio_client=True)
        check = _EvictionCheck(client, allow_eviction)
        areplay = AsyncRedisReplayStore(client, prefix=prefix, allow_eviction=True)
        achains = AsyncRedisChainStore(client, prefix=prefix, replay=areplay,
                                       max_registrations=max_registrations, allow_eviction=True)
        areplay._check = achains._check = check
        return areplay, achains
    _client(client)
    if not allow_eviction:
        _refuse_eviction(client, sets_only=False)
    replay = RedisReplayStore(client, prefix=prefix, allow_eviction=True)
    return replay, RedisChainStore(client, prefix=prefix, replay=replay, allow_eviction=True,
                                   max_registrations=max_registrations)


# -- the asyncio stores -------------------------------------------------------

# What a redis.asyncio client can raise besides: its timeouts.
_ASYNC_FAILURES = (*_FAILURES, asyncio.TimeoutError)


def _whole(command: Any) -> Any:
    """``command`` run to its end even when the request awaiting it is
    cancelled (its client went away, a timeout): a redis.asyncio command
    cancelled between sending and reading leaves its answer on the
    connection, where redis-py before 4.3.6 gives it to the next command
    (a replay check could then read another command's OK)."""
    return asyncio.shield(command)


class _EvictionCheck:
    """The eviction check of asyncio stores, which needs the event loop and
    so runs when first awaited: once it passed, never again; once it
    refused, every command is refused (503), since a Redis that may evict
    replay ids cannot vouch that a proof is new."""

    def __init__(self, client: Any, allow_eviction: bool) -> None:
        self.client = client
        self.passed = allow_eviction
        self.refused: Optional[ValueError] = None

    async def ready(self) -> None:
        if self.passed:
            return
        if self.refused is None:
            try:
                _judge_eviction(await _memory_policy_async(self.client), sets_only=False)
            except ValueError as error:
                log.error("redis: %s", error)
                self.refused = error
        if self.refused is not None:
            raise ValueError(str(self.refused))
        self.passed = True

    async def before_command(self) -> None:
        try:
            await self.ready()
        except ValueError as error:
            raise StoreUnavailable(f"the shared store is refused: {error}") from None


class AsyncRedisReplayStore:
    """:class:`RedisReplayStore` on a ``redis.asyncio.Redis``: the same keys
    and commands, awaited. Its eviction check runs at :meth:`ready`, or
    before its first command."""

    def __init__(self, client: Any, *, prefix: str = DEFAULT_PREFIX,
                 allow_eviction: bool = False) -> None:
        self._client = _client(client, asyncio_client=True)
        self._prefix = _prefix(prefix) + "replay:"
        self._check = _EvictionCheck(client, allow_eviction)

    def key(self, key: bytes) -> str:
        return _replay_key(self._prefix, key)

    async def ready(self) -> None:
        """Checks that Redis will not evict the stores' keys: ValueError,
        as the stores for a redis.Redis raise when they are made."""
        await self._check.ready()

    async def add(self, key: bytes, now: int, expires_at: int) -> bool:
        name = self.key(key)
        if not self._check.passed:
            await self._check.before_command()
        try:
            answer = await _whole(self._client.set(name, b"1", nx=True, ex=_ttl(now, expires_at)))
        except _ASYNC_FAILURES as error:
            raise _unavailable("the replay check", error) from None
        return _set_answer(answer)

    async def forget(self, key: bytes) -> None:
        try:
            await _whole(self._client.delete(self.key(key)))
        except _ASYNC_FAILURES as error:
            log.warning("redis: forgetting a replay id failed: %r", error)


class AsyncRedisChainStore:
    """:class:`RedisChainStore` on a ``redis.asyncio.Redis``: the same keys,
    registration script and bound, awaited."""

    def __init__(self, client: Any, *, prefix: str = DEFAULT_PREFIX,
                 replay: Optional[AsyncRedisReplayStore] = None,
                 max_registrations: int = DEFAULT_MAX_REGISTRATIONS,
                 allow_eviction: bool = False) -> None:
        self._client = _client(client, asyncio_client=True)
        base = _prefix(prefix)
        self._prefix = base + "chain:"
        self._registrations = base + "registrations:"
        self._limit = Registrations(max_registrations).limit
        self._register: Any = None
        self.replay = replay
        self._check = _EvictionCheck(client, allow_eviction)

    def key(self, digest: bytes) -> str:
        return _chain_key(self._prefix, digest)

    async def ready(self) -> None:
        """As :meth:`AsyncRedisReplayStore.ready`."""
        await self._check.ready()

    async def put(self, digest: bytes, wire: bytes, now: int, expires_at: int) -> None:
        await self.register(digest, wire, now, expires_at, ())

    async def register(self, digest: bytes, wire: bytes, now: int, expires_at: int,
                       issuers: Sequence[bytes]) -> None:
        name = self.key(digest)
        if expires_at < now or not 0 < len(wire) <= MAX_WIRE:
            return
        ids = _issuer_ids(issuers)
        if not self._check.passed:
            await self._check.before_command()
        try:
            if not ids:
                await _whole(self._client.set(name, bytes(wire), ex=_ttl(now, expires_at)))
                return
            if self._register is None:
                self._register = self._client.register_script(_REGISTER)
            answer = await _whole(self._register(**_script_call(
                self._registrations, self._limit, name, ids, digest, wire, now, expires_at)))
        except _ASYNC_FAILURES as error:
            raise _unavailable("registering a chain", error) from None
        _registered(answer, ids, self._limit, now)

    async def get(self, digest: bytes, now: int) -> Optional[bytes]:
        name = self.key(digest)
        if not self._check.passed:
            await self._check.before_command()
        try:
            answer = await _whole(self._client.get(name))
        except redis.exceptions.ResponseError as error:  # WRONGTYPE: not a string
            log.warning("redis: %s is not a registered chain: %s", name, error)
            return None
        except _ASYNC_FAILURES as error:
            raise _unavailable("the registered-chain lookup", error) from None
        return _wire(name, answer)

    async def get_and_add(self, digest: bytes, now: int, key: bytes,
                          expires_at: int) -> Tuple[Optional[bytes], bool]:
        """As :meth:`RedisChainStore.get_and_add`."""
        if self.replay is None:
            raise TypeError("this chain store has no replay store to pipeline with")
        name, replay_name = self.key(digest), self.replay.key(key)
        if not self._check.passed:
            await self._check.before_command()
        try:
            pipe = self._client.pipeline(transaction=False)
            pipe.get(name)
            pipe.set(replay_name, b"1", nx=True, ex=_ttl(now, expires_at))
            wire, added = await _whole(pipe.execute(raise_on_error=False))
        except _ASYNC_FAILURES as error:
            raise _unavailable("the registered-chain lookup and replay check", error) from None
        except ValueError as error:  # not two answers
            raise _unavailable("the pipelined lookup", error) from None
        return _pipelined(name, wire, added)


# -- the revocation feed ------------------------------------------------------

# Messages on the channel: one operation byte ("+" revoke, "-" take back),
# one kind byte ("i" ids of 32 bytes, "k" keys of 1952 bytes), then the
# values back to back. A message is a hint: "+" applies at once (refusing
# more is always safe), "-" only makes the feed read the sets again, so that
# nothing is taken back that the sets do not confirm. The sets are the
# truth, read in full on every (re)connection and every ``resync`` seconds.
_OPS = {b"+": True, b"-": False}
_KINDS = {b"i": ID_LEN, b"k": PK_LEN}
# How long a subscription may take to be confirmed before the feed counts
# the channel as unavailable (and goes on with full reads alone).
_SUBSCRIBE_WAIT = 2.0
# How often a feed's task looks whether it is to stop or read the sets now.
_POLL = 0.5

# Every feed, for the fork handlers below.
_FEEDS: weakref.WeakSet[RevocationFeed] = weakref.WeakSet()
_FORKING: List[Any] = []


class RevocationFeed:
    """Keeps ``verifier``'s revocations in step with the two Redis sets,
    and changes them for every verifier fed under the same prefix.

    A background thread (started by :meth:`start`) subscribes to the
    channel, then reads both sets in full and applies the difference; a
    message then applies at once, and the sets are read again every
    ``resync`` seconds and after every reconnection.

    **Stale means closed.** From the feed's construction, ``verifier``
    refuses every check with StoreUnavailable (503) until the feed has read
    both sets in full, and again whenever its last full read began more
    than ``max_stale`` seconds ago (default three ``resync`` periods):
    a verifier is never left accepting while unaware. So a revocation made
    anywhere is refused by every fed verifier within ``max_stale`` seconds
    at most (in milliseconds through the channel, within ``resync`` when
    messages are lost), or that verifier refuses everything.

    Without the channel (SUBSCRIBE refused to the Redis user, pub/sub
    unavailable) the feed goes on reading the sets every ``resync``
    seconds, sets :attr:`channel_error` and logs an error once per change.

    The feed removes from the verifier only what it added and the sets no
    longer hold: ids and keys revoked on the verifier itself
    (``Verifier(revoked=…)``, ``verifier.revoke``) stay revoked whatever
    the channel says.

    A feed started before the process forks (gunicorn ``--preload``,
    multiprocessing) starts its thread again in each child, on the
    client's own connection pool, which redis-py renews after a fork.

    On a ``redis.asyncio.Redis`` the feed is a task of the event loop
    instead of a thread (:meth:`start_async`, :meth:`close_async`, or
    ``async with feed:``, in each worker's lifespan), with the same rules;
    its changes are awaited (:meth:`revoke_async` and the others), and the
    thread's methods that call Redis refuse it with TypeError.
    """

    def __init__(self, client: Any, verifier: Verifier, *, prefix: str = DEFAULT_PREFIX,
                 resync: float = 30.0, retry: float = 1.0, max_stale: Optional[float] = None,
                 allow_eviction: bool = False) -> None:
        if not isinstance(verifier, Verifier):
            raise TypeError("verifier must be a vestrel.Verifier")
        resync, retry = _seconds("resync", resync), _seconds("retry", retry)
        stale_bound = 3 * resync if max_stale is None else _seconds("max_stale", max_stale)
        if not stale_bound > resync:
            raise ValueError("max_stale must be longer than resync: the feed reads the sets "
                             "once every resync seconds")
        self._asyncio = _asyncio_client(client)
        self._client = _client(client, asyncio_client=self._asyncio)
        if not callable(getattr(client, "pubsub", None)):
            raise TypeError("client must be a redis.Redis (or a client with the same methods)")
        base = _prefix(prefix)
        # An asyncio client is asked at start_async, on the event loop.
        self._check_eviction = not allow_eviction
        if self._check_eviction and not self._asyncio:
            _refuse_eviction(client, sets_only=True)
        self._ids_key, self._keys_key = base + "revoked", base + "revoked-keys"
        self._channel = base + "revocations"
        self._verifier = verifier
        self._resync, self._retry, self._max_stale = resync, retry, stale_bound
        self._lock = threading.Lock()
        # What this feed put into the verifier's feed layer, each with the
        # count of reads begun when it was last added or confirmed: a read
        # takes out only what was added before it began, so a revocation
        # made while a read is under way is never undone by that read.
        self._held_ids: Dict[bytes, int] = {}
        self._held_keys: Dict[bytes, int] = {}
        self._reads = 0
        self._fresh_until = -math.inf  # monotonic; the verifier keeps the same
        self._synced_at: Optional[float] = None
        self._connected = self._down = False
        self._channel_error: Optional[str] = None
        self._closed = False
        self._synced = threading.Event()
        self._stop = threading.Event()
        self._wake = threading.Event()  # read the sets now
        self._thread: Optional[threading.Thread] = None
        self._task: Optional[asyncio.Task[None]] = None
        self._synced_async: Optional[asyncio.Event] = None
        # Last: a feed whose construction failed leaves the verifier alone.
        held_ids, held_keys = verifier._attach_feed(self)
        self._held_ids = dict.fromkeys(held_ids, 0)
        self._held_keys = dict.fromkeys(held_keys, 0)
        _FEEDS.add(self)

    # -- what a service asks -------------------------------------------------

    @property
    def synced_at(self) -> Optional[float]:
        """When the last full read of both sets began (time.time()), or None."""
        return self._synced_at

    @property
    def stale(self) -> bool:
        """True while the verifier refuses for want of a read: until the
        first full read, and once the last one began more than
        :attr:`max_stale` seconds ago."""
        return time.monotonic() > self._fresh_until

    @property
    def max_stale(self) -> float:
        return self._max_stale

    @property
    def connected(self) -> bool:
        """Whether the last attempt to read the sets reached Redis."""
        return self._connected

    @property
    def channel_error(self) -> Optional[str]:
        """Why the feed is not subscribed to the channel (SUBSCRIBE refused,
        pub/sub unavailable), or None. Changes then reach this verifier
        only by the full reads, every ``resync`` seconds."""
        return self._channel_error

    @property
    def closed(self) -> bool:
        return self._closed

    def wait_synced(self, timeout: float) -> bool:
        """Waits for the first full read; whether it happened."""
        return self._synced.wait(timeout)

    def start(self) -> RevocationFeed:
        if self._asyncio:
            raise TypeError("this feed's client is a redis.asyncio one: await feed.start_async() "
                            "(or async with feed:) in the ASGI lifespan")
        if self._closed:
            raise RuntimeError("this revocation feed is closed: make a new one")
        if self._thread is None:
            self._thread = threading.Thread(target=self._run, name="vestrel-revocation-feed",
                                            daemon=True)
            self._thread.start()
        return self

    def close(self, timeout: float = 5.0) -> None:
        """Stops the thread (a task started by :meth:`start_async` stops
        within half a second; :meth:`close_async` waits for it). The
        verifier goes on refusing once the last read is ``max_stale`` old,
        unless a new feed takes it over."""
        self._closed = True
        self._stop.set()
        self._wake.set()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join(timeout)

    def __enter__(self) -> RevocationFeed:
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # -- as a task of an event loop ------------------------------------------

    async def start_async(self) -> RevocationFeed:
        """Starts the feed of a ``redis.asyncio`` client as a task of the
        running event loop: in the ASGI lifespan's startup, so that each
        worker runs its own after any fork. It reads the sets, follows the
        channel and goes stale exactly as the thread does. ValueError,
        starting nothing, for a Redis that may evict the revocation sets
        (checked here, as the event loop is needed to ask)."""
        if not self._asyncio:
            raise TypeError("start_async needs a redis.asyncio client: for a redis.Redis, "
                            "call start()")
        if self._closed:
            raise RuntimeError("this revocation feed is closed: make a new one")
        if self._task is None and self._check_eviction:
            _judge_eviction(await _memory_policy_async(self._client), sets_only=True)
        if self._task is None:  # looked at again: two starts may have awaited the check
            self._synced_async = asyncio.Event()
            if self._synced.is_set():
                self._synced_async.set()
            self._task = asyncio.get_running_loop().create_task(self._run_async())
        return self

    async def wait_synced_async(self, timeout: float) -> bool:
        """Waits, on the event loop, for the first full read of a feed
        started with :meth:`start_async`; whether it happened."""
        if self._synced.is_set() or self._synced_async is None:
            return self._synced.is_set()
        try:
            await asyncio.wait_for(self._synced_async.wait(), timeout)
        except asyncio.TimeoutError:
            return False
        return True

    async def close_async(self, timeout: float = 5.0) -> None:
        """Stops the task, waiting for it to end (its commands run to their
        end; cancelled only past ``timeout`` seconds)."""
        self.close()
        task, self._task = self._task, None
        if task is not None and task is not asyncio.current_task():
            done, _ = await asyncio.wait({task}, timeout=timeout)
            if not done:
                task.cancel()
                await asyncio.wait({task})

    async def __aenter__(self) -> RevocationFeed:
        return await self.start_async()

    async def __aexit__(self, *exc: Any) -> None:
        await self.close_async()

    # -- changing the sets ---------------------------------------------------

    def revoke(self, ids: Any) -> None:
        """Adds one id or an iterable of them (32 bytes or 64 hex digits) to
        the shared set and announces it, in one MULTI/EXEC transaction; this
        feed's verifier refuses them at once. StoreUnavailable if Redis
        cannot take it: then nothing was recorded."""
        self._change(True, b"i", sorted(revocation_ids(ids)))

    def unrevoke(self, ids: Any) -> None:
        """Takes ids out of the shared set and announces it; each feed,
        this one included, lifts them once its read of the set confirms it."""
        self._change(False, b"i", sorted(revocation_ids(ids)))

    def revoke_key(self, pk: Any) -> None:
        """Revokes a public key everywhere, as Verifier.revoke_key does here."""
        self._change(True, b"k", [public_key(pk, "pk")])

    def unrevoke_key(self, pk: Any) -> None:
        self._change(False, b"k", [public_key(pk, "pk")])

    async def revoke_async(self, ids: Any) -> None:
        """:meth:`revoke`, for a feed on a redis.asyncio client."""
        await self._change_async(True, b"i", sorted(revocation_ids(ids)))

    async def unrevoke_async(self, ids: Any) -> None:
        await self._change_async(False, b"i", sorted(revocation_ids(ids)))

    async def revoke_key_async(self, pk: Any) -> None:
        await self._change_async(True, b"k", [public_key(pk, "pk")])

    async def unrevoke_key_async(self, pk: Any) -> None:
        await self._change_async(False, b"k", [public_key(pk, "pk")])

    def _change(self, add: bool, kind: bytes, values: List[bytes]) -> None:
        if self._asyncio:
            raise TypeError("this feed's client is a redis.asyncio one: await "
                            "feed.revoke_async(...) (unrevoke_async, revoke_key_async, "
                            "unrevoke_key_async)")
        if not values:
            return
        key = self._ids_key if kind == b"i" else self._keys_key
        try:
            try:
                pipe = self._client.pipeline(transaction=True)
                (pipe.sadd if add else pipe.srem)(key, *values)
                pipe.publish(self._channel, _announcement(add, kind, values))
                pipe.execute()
            except redis.exceptions.ResponseError as refused:
                # Refused before anything ran (a user without rights on the
                # channel, a Redis without PUBLISH): the change alone, which
                # every feed reads within resync seconds.
                (self._client.sadd if add else self._client.srem)(key, *values)
                self._channel_failed(f"PUBLISH refused: {refused}")
        except _FAILURES as error:
            raise _unavailable("changing the revocation set", error) from None
        if add:
            self._hold(kind, values)
        else:
            try:
                self.resync()
            except _FAILURES as error:  # the thread reads again anyway
                log.warning("redis: reading the revocation sets after a change failed: %r", error)
                self._wake.set()

    async def _change_async(self, add: bool, kind: bytes, values: List[bytes]) -> None:
        if not self._asyncio:
            raise TypeError("the feed's client is a redis.Redis: call revoke, unrevoke, "
                            "revoke_key or unrevoke_key")
        if not values:
            return
        key = self._ids_key if kind == b"i" else self._keys_key
        try:
            try:
                pipe = self._client.pipeline(transaction=True)
                (pipe.sadd if add else pipe.srem)(key, *values)
                pipe.publish(self._channel, _announcement(add, kind, values))
                await _whole(pipe.execute())
            except redis.exceptions.ResponseError as refused:
                await _whole((self._client.sadd if add else self._client.srem)(key, *values))
                self._channel_failed(f"PUBLISH refused: {refused}")
        except _ASYNC_FAILURES as error:
            raise _unavailable("changing the revocation set", error) from None
        if add:
            self._hold(kind, values)
        else:
            try:
                await self.resync_async()
            except _ASYNC_FAILURES as error:  # the task reads again anyway
                log.warning("redis: reading the revocation sets after a change failed: %r", error)
                self._wake.set()

    # -- the thread ----------------------------------------------------------

    def _run(self) -> None:
        pubsub: Any = None
        channel_due = 0.0
        while not self._stop.is_set():
            try:
                # Subscribed before the sets are read: a change made after
                # the read comes as a message, one made before is in it.
                if pubsub is None and time.monotonic() >= channel_due:
                    pubsub = self._subscribe()
                    channel_due = time.monotonic() + self._resync
                self._wake.clear()
                self.resync()
                self._set_connected(None)
                due = time.monotonic() + self._resync
                while not self._stop.is_set() and not self._wake.is_set():
                    left = due - time.monotonic()
                    if left <= 0:
                        break
                    if pubsub is None:
                        self._wake.wait(left)
                        continue
                    message = pubsub.get_message(timeout=min(left, 0.5))
                    if message is not None and message.get("type") == "message":
                        self._message(message.get("data"))
            except _FAILURES as error:
                self._set_connected(error)
                _close(pubsub)
                pubsub = None
                self._stop.wait(self._retry)
            except Exception:  # a bug must not end the thread silently
                log.exception("redis: the revocation feed failed; retrying")
                self._connected, self._down = False, True
                _close(pubsub)
                pubsub = None
                self._stop.wait(self._retry)
        _close(pubsub)

    async def _run_async(self) -> None:
        # The thread's loop (_run), awaiting; the stop and wake events are
        # looked at at least every _POLL seconds.
        pubsub: Any = None
        channel_due = 0.0
        while not self._stop.is_set():
            try:
                if pubsub is None and time.monotonic() >= channel_due:
                    pubsub = await self._subscribe_async()
                    channel_due = time.monotonic() + self._resync
                self._wake.clear()
                await self.resync_async()
                self._set_connected(None)
                due = time.monotonic() + self._resync
                while not self._stop.is_set() and not self._wake.is_set():
                    left = due - time.monotonic()
                    if left <= 0:
                        break
                    if pubsub is None:
                        await asyncio.sleep(min(left, _POLL))
                        continue
                    message = await pubsub.get_message(timeout=min(left, _POLL))
                    if message is not None and message.get("type") == "message":
                        self._message(message.get("data"))
            except _ASYNC_FAILURES as error:
                self._set_connected(error)
                await _close_async(pubsub)
                pubsub = None
                await self._pause(self._retry)
            except Exception:  # a bug must not end the task silently
                log.exception("redis: the revocation feed failed; retrying")
                self._connected, self._down = False, True
                await _close_async(pubsub)
                pubsub = None
                await self._pause(self._retry)
        await _close_async(pubsub)

    async def _pause(self, seconds: float) -> None:
        until = time.monotonic() + seconds
        while not self._stop.is_set() and (left := until - time.monotonic()) > 0:
            await asyncio.sleep(min(left, _POLL))

    async def _subscribe_async(self) -> Any:
        """_subscribe, awaiting."""
        pubsub = self._client.pubsub()
        try:
            await _whole(pubsub.subscribe(self._channel))
            deadline = time.monotonic() + _SUBSCRIBE_WAIT
            while True:
                message = await pubsub.get_message(timeout=_POLL)
                if message is not None and message.get("type") == "subscribe":
                    break
                if time.monotonic() > deadline:
                    raise redis.exceptions.ResponseError("no subscription confirmed in "
                                                         f"{_SUBSCRIBE_WAIT} s")
        except redis.exceptions.ResponseError as refused:  # NOPERM, unknown command
            await _close_async(pubsub)
            self._channel_failed(f"SUBSCRIBE refused: {refused}")
            return None
        except BaseException:
            await _close_async(pubsub)
            raise
        self._subscribed()
        return pubsub

    def _subscribe(self) -> Any:
        """A confirmed subscription, or None with :attr:`channel_error` set
        when Redis refuses it; raises what the client raises when Redis
        cannot be reached."""
        pubsub = self._client.pubsub()
        try:
            pubsub.subscribe(self._channel)
            deadline = time.monotonic() + _SUBSCRIBE_WAIT
            while True:
                message = pubsub.get_message(timeout=0.5)
                if message is not None and message.get("type") == "subscribe":
                    break
                if time.monotonic() > deadline:
                    raise redis.exceptions.ResponseError("no subscription confirmed in "
                                                         f"{_SUBSCRIBE_WAIT} s")
        except redis.exceptions.ResponseError as refused:  # NOPERM, unknown command
            _close(pubsub)
            self._channel_failed(f"SUBSCRIBE refused: {refused}")
            return None
        except BaseException:
            _close(pubsub)
            raise
        self._subscribed()
        return pubsub

    def _subscribed(self) -> None:
        if self._channel_error is not None:
            log.warning("redis: the revocation feed is subscribed to %s again", self._channel)
        self._channel_error = None

    def _channel_failed(self, why: str) -> None:
        if self._channel_error is None:
            log.error("redis: the revocation feed has no channel (%s): revocations made "
                      "elsewhere reach this process only by reading %s every %g s", why,
                      self._ids_key, self._resync)
        self._channel_error = why

    def _set_connected(self, error: Optional[BaseException]) -> None:
        # Logged once a change, not once a retry.
        if error is None:
            if self._down:
                log.warning("redis: the revocation feed reads the sets again")
            self._connected, self._down = True, False
            return
        if not self._down:
            since = "never read" if self._synced_at is None else \
                f"last read {time.time() - self._synced_at:.1f} s ago"
            log.warning("redis: the revocation feed cannot read the sets (%r; %s): the verifier "
                        "refuses everything once the last read is %g s old", error, since,
                        self._max_stale)
        self._connected, self._down = False, True

    def resync(self) -> None:
        """Reads both sets in full and applies the difference; raises what
        the client raises when Redis cannot answer (the thread calls it)."""
        if self._asyncio:
            raise TypeError("this feed's client is a redis.asyncio one: await "
                            "feed.resync_async()")
        mark, began, wall = self._begin_read()
        pipe = self._client.pipeline(transaction=False)
        pipe.smembers(self._ids_key)
        pipe.smembers(self._keys_key)
        ids, keys = pipe.execute()
        self._apply_read(mark, began, wall, ids, keys)

    async def resync_async(self) -> None:
        """:meth:`resync`, for a feed on a redis.asyncio client."""
        mark, began, wall = self._begin_read()
        pipe = self._client.pipeline(transaction=False)
        pipe.smembers(self._ids_key)
        pipe.smembers(self._keys_key)
        ids, keys = await _whole(pipe.execute())
        self._apply_read(mark, began, wall, ids, keys)

    def _begin_read(self) -> Tuple[int, float, float]:
        with self._lock:
            self._reads += 1
            mark = self._reads
        return mark, time.monotonic(), time.time()

    def _apply_read(self, mark: int, began: float, wall: float, ids: Any, keys: Any) -> None:
        wanted_ids = _members(self._ids_key, ids, ID_LEN)
        wanted_keys = _members(self._keys_key, keys, PK_LEN)
        with self._lock:
            add_ids, drop_ids = _difference(self._held_ids, wanted_ids, mark)
            add_keys, drop_keys = _difference(self._held_keys, wanted_keys, mark)
            self._verifier._feed_change(self, (add_ids, add_keys), (drop_ids, drop_keys))
            # The read vouches for the sets as they were when it began.
            self._fresh_until = max(self._fresh_until, began + self._max_stale)
            self._verifier._feed_fresh(self, self._fresh_until)
            self._synced_at = wall
        self._synced.set()
        if self._synced_async is not None:
            self._synced_async.set()

    def _hold(self, kind: bytes, values: Sequence[bytes]) -> None:
        with self._lock:
            self._reads += 1
            held = self._held_ids if kind == b"i" else self._held_keys
            for value in values:
                held[value] = self._reads
            add = (values, ()) if kind == b"i" else ((), values)
            self._verifier._feed_change(self, add, ((), ()))

    def _message(self, data: Any) -> None:
        if not isinstance(data, bytes):
            data = b""
        size, body = _KINDS.get(data[1:2]), data[2:]
        if data[:1] not in _OPS or size is None or not body or len(body) % size:
            # Not one of ours; the next full read is the truth either way.
            log.warning("redis: a malformed message on %s was ignored", self._channel)
            return
        if _OPS[data[:1]]:
            self._hold(data[1:2], [body[i:i + size] for i in range(0, len(body), size)])
        else:
            self._wake.set()

    # -- fork ----------------------------------------------------------------

    def _after_fork_in_child(self) -> None:
        self._lock = threading.Lock()
        self._synced, was_synced = threading.Event(), self._synced.is_set()
        if was_synced:
            self._synced.set()
        self._stop, self._wake = threading.Event(), threading.Event()
        if self._closed:
            self._stop.set()
        # The parent's thread does not exist here: the child reads for
        # itself, on connections of its own, within the bound the parent's
        # last read left (the verifier refuses once it has passed).
        running, self._thread = self._thread is not None and not self._closed, None
        # A task belongs to the parent's event loop: a child starts its own.
        self._task = self._synced_async = None
        self._connected = False
        if running:
            self.start()


def _seconds(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 < value < math.inf:
        raise ValueError(f"{name} must be a positive number of seconds")
    return float(value)


def _difference(held: Dict[bytes, int], wanted: FrozenSet[bytes],
                mark: int) -> Tuple[List[bytes], List[bytes]]:
    """What a read begun at ``mark`` adds to and takes out of ``held``."""
    add = [value for value in wanted if value not in held]
    drop = [value for value, at in held.items() if at < mark and value not in wanted]
    for value in drop:
        del held[value]
    for value in wanted:
        held[value] = max(held.get(value, 0), mark)
    return add, drop


def _members(name: str, members: Any, size: int) -> FrozenSet[bytes]:
    if not isinstance(members, (set, frozenset, list)):
        raise redis.exceptions.DataError(f"{name} did not read as a set")
    good = frozenset(m for m in members if isinstance(m, bytes) and len(m) == size)
    if len(good) != len(members):
        log.warning("redis: %d members of %s are not %d-byte values; skipped",
                    len(members) - len(good), name, size)
    return good


def _announcement(add: bool, kind: bytes, values: List[bytes]) -> bytes:
    return (b"+" if add else b"-") + kind + b"".join(values)


async def _close_async(pubsub: Any) -> None:
    if pubsub is not None:
        try:
            await pubsub.reset()
        except Exception:
            pass


def _close(pubsub: Any) -> None:
    if pubsub is not None:
        try:
            pubsub.close()
        except Exception:
            pass


# A fork copies locks as they are, and a lock held by a thread the child
# does not have stays held there forever. So the parent takes every feed's
# lock, then every fed verifier's (the order the feed's own thread takes
# them in), and forks while no thread is inside either; the
# child makes new locks, and a thread of its own for each running feed.
def _fed() -> Tuple[List[RevocationFeed], List[Verifier]]:
    feeds = list(_FEEDS)
    verifiers = {id(f._verifier): f._verifier for f in feeds}
    return feeds, list(verifiers.values())


def _before_fork() -> None:
    feeds, verifiers = _fed()
    _FORKING[:] = [f._lock for f in feeds] + [v._swap for v in verifiers]
    for lock in _FORKING:
        lock.acquire()


def _after_fork_in_parent() -> None:
    for lock in reversed(_FORKING):
        lock.release()
    _FORKING.clear()


def _after_fork_in_child() -> None:
    _FORKING.clear()
    feeds, verifiers = _fed()
    for verifier in verifiers:
        verifier._swap = threading.Lock()
    for feed in feeds:
        try:
            feed._after_fork_in_child()
        except Exception:  # the child runs on, its verifier refusing once stale
            log.exception("redis: restarting the revocation feed after fork failed")


os.register_at_fork(before=_before_fork, after_in_parent=_after_fork_in_parent,
                    after_in_child=_after_fork_in_child)
