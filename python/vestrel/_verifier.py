"""The verifier a service builds once and shares between its threads."""

from __future__ import annotations

import datetime
import math
import threading
import time
from collections.abc import Awaitable
from typing import (TYPE_CHECKING, Any, Collection, Dict, FrozenSet, Iterable, List, NamedTuple,
                    Optional, Set, Tuple, Union)

from . import _native
from ._arguments import BytesLike, TimeLike, byte_string, count, instant, public_key, revocation_ids
from ._chain import VerifiedChain, refuse
from ._errors import StoreUnavailable, TokenMalformed
from ._request import (_SCHEME_LEN, _SCHEME_PREFIX, DEFAULT_MAX_AGE, Credentials, Headers,
                       Presented, check_presented, check_request, check_request_async)
from ._stores import (AsyncChainStore, AsyncReplayStore, ChainStore, MemoryChainStore,
                      MemoryReplayStore, ReplayStore, is_asyncio)
from ._token import REF_PREFIX, token_text

if TYPE_CHECKING:
    from .redis import RevocationFeed

# About 2,200 credentials of the usual size (an entry holds the issuer key,
# the signature and the payload it covers).
DEFAULT_CACHE_BYTES = 16 * 1024 * 1024
# How far ahead of the verifier's clock a holder's may run for a request
# proof, as servers checking proofs of possession commonly allow.
DEFAULT_PROOF_SKEW = 5
_TOKEN_WIRES = 64
# Digests of chains checked lately off the event loop, whose next checks
# are quick enough to run on it (see verify_request_async): no more than
# the cache holds credentials, about one per this many bytes.
_CACHED_CREDENTIAL = 7 * 1024
_TOKEN_WIRE_MAX = 64 * 1024
# A wire's first credential record, whose first field is the root's key,
# starts after the version byte and the 4-byte count.
_FIRST_ISSUER = 5


_monotonic = time.monotonic


class CacheInfo(NamedTuple):
    hits: int  # signature checks answered from the cache
    misses: int  # signature checks run
    entries: int
    bytes: int
    max_bytes: int


class Verifier:
    """Trusted roots, a revocation set and a cache of verified signatures.

    ``roots`` holds one or more 1952-byte root public keys: during a rotation
    the old and the new root are trusted together, and the first credential's
    issuer key picks the one a chain is verified against. A chain from no
    trusted root is refused with ParentKeyMismatch at credential 0, as a wrong
    root is.

    ``revoked`` is the initial set of revocation ids (32 bytes, or their 64
    hex digits in either case); :meth:`revoke` and :meth:`revoke_key` add to
    it. ``leeway`` (seconds, or a timedelta) accepts a chain that would verify
    at some time within that distance of ``now``, for clocks that disagree.
    ``proof_skew`` (seconds, or a timedelta; default 5) is how far in the
    future a request proof may be issued, for a holder whose clock runs
    ahead: proofs have this allowance of their own, and ``leeway`` does not
    widen it. ``cache_bytes`` bounds the memory of remembered signatures; 0
    turns the cache off. With it on, the verifier also keeps the keys of
    the last 32 holders whose request proofs it checked prepared for
    verification (about 39 KB each), so that checking a holder's next proof
    costs about half as much, and the chains it checked lately verified,
    holding no more than ``cache_bytes`` of their wires in all.
    ``replay`` and ``chains`` are the stores :meth:`verify_request`
    uses for proofs' unique ids and for chains registered by reference; by
    default each Verifier keeps its own in memory. Stores whose operations
    are coroutines (vestrel.redis with a redis.asyncio client) serve
    :meth:`verify_request_async` and :meth:`register_request_async` only:
    the other two refuse them with TypeError.

    Every method may be called from many threads at once; :meth:`verify`
    releases the interpreter lock while it works.

    A verifier fed by a :class:`vestrel.redis.RevocationFeed` refuses every
    check (verify, verify_request, register_request) with
    :class:`StoreUnavailable` while the feed has not read the shared
    revocations within its bound, and keeps the feed's revocations apart
    from its own (see :meth:`unrevoke`).
    """

    __slots__ = ("_core", "_leeway", "_proof_skew", "_roots", "_replay", "_chains", "_token_wires",
                 "_swap", "_cache_bytes", "_revocations", "_fresh_until", "_feed", "_warm",
                 "_warm_room", "_asyncio_stores", "_one_pass")

    _core: Any
    _leeway: int
    _proof_skew: int
    _roots: Tuple[bytes, ...]
    _replay: Union[ReplayStore, AsyncReplayStore]
    _chains: Union[ChainStore, AsyncChainStore]
    # The wires of tokens seen lately, by the token's length: a client sends
    # the same token with every request, and comparing it with the one kept
    # costs a memory comparison where reading it costs a copy, a decoding and
    # a new wire. Only an exactly equal text matches.
    _token_wires: Dict[int, Tuple[str, bytes]]
    # Held while the core's revocations change, with _revocations.
    _swap: threading.Lock
    _revocations: _Revocations
    # The monotonic time until which the feed's last full read vouches for
    # the revocations; infinite without a feed. Each check compares it with
    # the clock, which is all a fed verifier adds to a request.
    _fresh_until: float
    _feed: Optional[RevocationFeed]
    # Chain digests of the chains checked lately, by insertion, with the
    # VerifiedChain the one pass made of the last check's answer (None until
    # it made one); cleared whole once full, and with the cache (set_roots).
    _warm: Dict[bytes, Optional[Tuple[Any, VerifiedChain]]]
    # The bytes of wires the VerifiedChains in _warm may still hold: no more
    # than cache_bytes in all, whatever the chains' sizes, each wire counted
    # when kept, the room made again when _warm is cleared.
    _warm_room: int
    _asyncio_stores: bool
    # Both stores are the package's in-memory ones, which answer at once and
    # keep no pipeline, and there is a signature cache: the middlewares'
    # common request is then checked in one pass (_check_presented).
    _one_pass: bool

    def __init__(self, roots: Iterable[BytesLike], *, revoked: Iterable[Any] = (),
                 leeway: Any = 0, proof_skew: Any = DEFAULT_PROOF_SKEW,
                 cache_bytes: int = DEFAULT_CACHE_BYTES,
                 replay: Union[ReplayStore, AsyncReplayStore, None] = None,
                 chains: Union[ChainStore, AsyncChainStore, None] = None) -> None:
        if isinstance(roots, (str, bytes, bytearray, memoryview)):
            raise TypeError("roots must be an iterable of root public keys: for one root, "
                            "pass [root_pk]")
        try:
            listed = list(roots)
        except TypeError:
            raise TypeError(f"roots must be an iterable of root public keys, not "
                            f"{type(roots).__name__}") from None
        keys = tuple(dict.fromkeys(public_key(root, "a root public key") for root in listed))
        if not keys:
            raise ValueError("a Verifier needs at least one trusted root")
        if isinstance(leeway, datetime.timedelta):
            leeway = leeway // datetime.timedelta(seconds=1)
        leeway = count(leeway, "leeway")
        if isinstance(proof_skew, datetime.timedelta):
            proof_skew = proof_skew // datetime.timedelta(seconds=1)
        self._proof_skew = count(proof_skew, "proof_skew")
        ids = revocation_ids(revoked)
        self._cache_bytes = count(cache_bytes, "cache_bytes")
        self._swap = threading.Lock()
        self._core = _native.Verifier(keys, leeway, self._cache_bytes)
        self._leeway = leeway
        self._roots = keys
        self._token_wires = {}
        self._replay = MemoryReplayStore() if replay is None else replay
        self._chains = MemoryChainStore() if chains is None else chains
        self._asyncio_stores = is_asyncio(self._replay) or is_asyncio(self._chains)
        self._one_pass = (type(self._replay) is MemoryReplayStore
                          and type(self._chains) is MemoryChainStore and self._cache_bytes > 0)
        self._warm = {}
        self._warm_room = self._cache_bytes
        self._revocations = _Revocations()
        self._fresh_until = math.inf
        self._feed = None
        self._revocations.revoke(self._core, ids, ())

    def __repr__(self) -> str:
        return (f"<Verifier roots={len(self.roots)} revoked={len(self._core.revoked_ids())} "
                f"leeway={self._leeway}>")

    @property
    def roots(self) -> Tuple[bytes, ...]:
        """The trusted root keys, in the order given."""
        return self._roots

    @classmethod
    def from_key_set(cls, document: Any, **options: Any) -> "Verifier":
        """A Verifier trusting the keys of a JWK Set (a dict, or its JSON
        text), read strictly by :func:`vestrel.jwk.read_key_set`; ``options``
        are the constructor's."""
        from .jwk import read_key_set

        return cls(read_key_set(document), **options)

    def set_roots(self, roots: Iterable[BytesLike]) -> None:
        """Replaces the trusted roots, all at once: a chain is verified
        against either the earlier roots or these, never a mix. Refused as
        the constructor refuses (no roots, a key of the wrong size) with
        nothing changed. Revocations are kept; the signature cache starts
        over unless the roots are the same as before, when nothing changes."""
        if isinstance(roots, (str, bytes, bytearray, memoryview)):
            raise TypeError("roots must be an iterable of root public keys: for one root, "
                            "pass [root_pk]")
        keys = tuple(dict.fromkeys(public_key(root, "a root public key") for root in roots))
        if not keys:
            raise ValueError("a Verifier needs at least one trusted root")
        # The native verifier's roots are fixed for its life, so a new one
        # takes over. Under the lock no revocation lands on the one being
        # replaced after its set was copied.
        with self._swap:
            if keys == self._roots:
                return
            old = self._core
            core = _native.Verifier(keys, self._leeway, self._cache_bytes)
            ids, pks = old.revoked_ids(), old.revoked_keys()
            if ids:
                core.revoke(ids)
            for pk in pks:
                core.revoke_key(pk)
            self._core, self._roots = core, keys
            self._forget_warm()

    def _root_key(self, index: int, wire: bytes) -> bytes:
        # The root the core named by its index, unless set_roots replaced the
        # roots while the chain was verified: then the chain's first issuer
        # key, which the earlier core matched against a whole trusted key.
        roots = self._roots
        if index < len(roots) and wire.startswith(roots[index], _FIRST_ISSUER):
            return roots[index]
        return wire[_FIRST_ISSUER:_FIRST_ISSUER + len(roots[0])]

    @property
    def leeway(self) -> int:
        return self._leeway

    @property
    def proof_skew(self) -> int:
        return self._proof_skew

    def verify(self, chain: Union[BytesLike, str], now: Optional[TimeLike] = None) -> VerifiedChain:
        """Verifies ``chain``, a wire or its token (:func:`vestrel.encode_token`),
        at ``now`` (seconds since the epoch as an int, a float, which is
        floored, or a timezone-aware datetime; None reads the clock) against
        the trusted root that issued its first credential, exactly as
        :func:`vestrel.verify` does, after refusing any revoked credential or
        key.

        Raises :class:`Revoked`, the rule's KernelError or, for a token that
        does not decode, :class:`TokenMalformed`: all :class:`Refused`.
        """
        if _monotonic() > self._fresh_until:
            self._refuse_stale()
        at = instant(now)
        if isinstance(chain, str):
            known = self._known_wire(chain)
            if known is not None:
                return self.verify(known, at)
            answer = self._core.verify_token(token_text(chain), at)
            if answer[0] is None:
                refuse(answer)
            (authority, root), wire = answer
            self._remember_wire(chain, wire)
        else:
            wire = byte_string(chain, "wire")
            answer = self._core.verify(wire, at)
            if answer[0] is None:
                refuse(answer)
            authority, root = answer
        return VerifiedChain._from_native(authority, wire, self._root_key(root, wire))

    def _known_wire(self, token: str) -> Optional[bytes]:
        known = self._token_wires.get(len(token))
        return known[1] if known is not None and known[0] == token else None

    def _known_header(self, values: List[str]) -> Optional[bytes]:
        # The wire of a lone "Vestrel <token>" value whose token is known, in
        # the one form clients write it: a token's text holds no spaces.
        if len(values) != 1:
            return None
        value = values[0]
        known = self._token_wires.get(len(value) - _SCHEME_LEN)
        if (known is not None and value.endswith(known[0])
                and value[:_SCHEME_LEN].lower() == _SCHEME_PREFIX):
            return known[1]
        return None

    def _read_presented(self, headers: Headers) -> Optional[Presented]:
        # The core's one scan of the headers, for a request presented in the
        # common form; None for any other, which check_request reads itself.
        presented: Optional[Presented] = self._core.read_presented(headers, self._token_wires)
        return presented

    # The middlewares' common request checked in one pass, or None for
    # verify_request(_async) to check it in full: the function itself, bound
    # as a method, which saves the request a call.
    _check_presented = check_presented

    def _remember_wire(self, token: str, wire: bytes) -> None:
        # Tokens of a few credentials, and a few dozen of them.
        if len(token) <= _TOKEN_WIRE_MAX and (len(token) in self._token_wires
                                              or len(self._token_wires) < _TOKEN_WIRES):
            self._token_wires[len(token)] = (token, wire)

    def verify_request(self, method: str, url: str, headers: Headers, *,
                       body: Optional[BytesLike] = None, now: Optional[TimeLike] = None,
                       max_age: int = DEFAULT_MAX_AGE, replay: Optional[ReplayStore] = None,
                       chains: Optional[ChainStore] = None,
                       _credentials: Optional[Credentials] = None,
                       _presented: Optional[Presented] = None) -> VerifiedChain:
        """Checks one HTTP request presented with :func:`vestrel.present`:
        the chain (a token, or a registered chain's reference) as
        :meth:`verify` does, that the proof is its holder's signature over
        exactly this method, URL, body and chain, that it was issued at most
        ``max_age`` seconds before ``now`` and at most ``proof_skew`` seconds
        after it, and that its unique id was not seen before.

        ``url`` is the request's full URL as the client addressed it
        (scheme, host, port, path and query). Every refusal is a
        :class:`Refused` whose ``status`` and ``error`` give the answer.
        TypeError for stores whose operations are coroutines: those are
        awaited by :meth:`verify_request_async`.
        """
        if _monotonic() > self._fresh_until:
            self._refuse_stale()
        if self._asyncio_stores or replay is not None or chains is not None:
            _synchronous(self._replay if replay is None else replay,
                         self._chains if chains is None else chains)
        # _credentials and _presented, the middlewares' own: what their one
        # scan of the headers found there (see _request.Credentials and
        # Presented).
        verified, _ = check_request(self, method, url, headers, body=body, now=now,
                                    max_age=max_age,
                                    replay=self._replay if replay is None else replay,
                                    chains=self._chains if chains is None else chains,
                                    credentials=_credentials, presented_as=_presented)
        return verified

    async def verify_request_async(self, method: str, url: str, headers: Headers, *,
                                   body: Optional[BytesLike] = None,
                                   now: Optional[TimeLike] = None,
                                   max_age: int = DEFAULT_MAX_AGE,
                                   replay: Union[ReplayStore, AsyncReplayStore, None] = None,
                                   chains: Union[ChainStore, AsyncChainStore, None] = None,
                                   _credentials: Optional[Credentials] = None,
                                   _presented: Optional[Presented] = None) -> VerifiedChain:
        """:meth:`verify_request` for a caller on an event loop, with the
        same checks in the same order and the same refusals. Operations of
        the stores that are coroutines are awaited; the others are called
        as they are (the in-memory stores answer at once). A chain this
        verifier has not checked lately is checked in the loop's default
        executor (a signature check per credential: about 0.5 ms for 16),
        so the loop goes on serving meanwhile; a chain checked lately costs
        one signature check and is checked on the loop (without a signature
        cache, ``cache_bytes=0``, every chain is checked in the executor)."""
        if _monotonic() > self._fresh_until:
            self._refuse_stale()
        verified, _ = await check_request_async(
            self, method, url, headers, body=body, now=now, max_age=max_age,
            replay=self._replay if replay is None else replay,
            chains=self._chains if chains is None else chains, credentials=_credentials,
            presented_as=_presented)
        return verified

    def _warm_up(self, digest: bytes) -> None:
        limit = self._cache_bytes // _CACHED_CREDENTIAL
        if len(self._warm) >= limit:
            self._forget_warm()
        if limit:
            self._warm[digest] = None

    def _forget_warm(self) -> None:
        # The list and the room its VerifiedChains' wires may take go together.
        self._warm.clear()
        self._warm_room = self._cache_bytes

    def register_request(self, url: str, headers: Headers, body: BytesLike, *,
                         now: Optional[TimeLike] = None, max_age: int = DEFAULT_MAX_AGE,
                         ttl: int = 3600) -> Tuple[str, VerifiedChain]:
        """Registers the chain whose token is ``body`` (a POST made with
        :func:`vestrel.register`), after checking it and its proof as
        :meth:`verify_request` does; returns its reference and the verified
        chain. The chain is kept for ``ttl`` seconds at most, and never past
        its own not-after. Every delegating key of the chain below its root
        holds one more live registration: the chain store refuses with
        :class:`RegistrationLimited` (429) once one would exceed its bound."""
        if _monotonic() > self._fresh_until:
            self._refuse_stale()
        if self._asyncio_stores:
            _synchronous(self._replay, self._chains)
        payload, token, at = _registration(body, now)
        verified, digest = check_request(self, "POST", url, headers, body=payload, now=at,
                                         max_age=max_age, replay=self._replay,
                                         chains=self._chains, chain=token)
        stored = self._store(digest, verified, at, ttl)
        if isinstance(stored, Awaitable):
            close = getattr(stored, "close", None)
            if callable(close):
                close()
            raise TypeError("the chain store is an asyncio one: register chains with "
                            "Verifier.register_request_async (or under vestrel.asgi)")
        return REF_PREFIX + _native.base64url_encode(digest), verified

    async def register_request_async(self, url: str, headers: Headers, body: BytesLike, *,
                                     now: Optional[TimeLike] = None,
                                     max_age: int = DEFAULT_MAX_AGE,
                                     ttl: int = 3600) -> Tuple[str, VerifiedChain]:
        """:meth:`register_request` for a caller on an event loop, as
        :meth:`verify_request_async` is :meth:`verify_request`'s."""
        if _monotonic() > self._fresh_until:
            self._refuse_stale()
        payload, token, at = _registration(body, now)
        verified, digest = await check_request_async(
            self, "POST", url, headers, body=payload, now=at, max_age=max_age,
            replay=self._replay, chains=self._chains, chain=token)
        stored = self._store(digest, verified, at, ttl)
        if isinstance(stored, Awaitable):
            await stored
        return REF_PREFIX + _native.base64url_encode(digest), verified

    def _store(self, digest: bytes, verified: VerifiedChain, at: int, ttl: int) -> Any:
        """Keeps a registered chain: what the chain store answers, which a
        caller on an event loop awaits when it is a coroutine."""
        expires_at = at + count(ttl, "ttl")
        if verified.not_after is not None:
            expires_at = min(expires_at, verified.not_after)
        # A store that bounds registrations per delegating key says so by
        # having register; one written for put alone keeps working.
        bounded = getattr(self._chains, "register", None)
        if bounded is not None:
            return bounded(digest, verified._wire, at, expires_at, verified.issuers[1:])
        return self._chains.put(digest, verified._wire, at, expires_at)

    def revoke(self, ids: Any) -> None:
        """Revokes one id or an iterable of them, each 32 bytes or their 64
        hex digits; the next call of :meth:`verify` refuses them. All are
        checked before any is added."""
        checked = revocation_ids(ids)
        with self._swap:
            self._revocations.revoke(self._core, checked, ())

    def unrevoke(self, ids: Any) -> None:
        """Takes back the revocation of one id or an iterable of them, as
        far as this verifier's own revocations go: an id its revocation feed
        holds (the shared set has it) stays revoked until the set drops it."""
        checked = revocation_ids(ids)
        with self._swap:
            self._revocations.unrevoke(self._core, checked, ())

    def revoke_key(self, pk: BytesLike) -> None:
        """Refuses every chain in which ``pk`` issues or receives a
        credential: a compromised worker or service key, whatever
        credentials it holds."""
        key = public_key(pk, "pk")
        with self._swap:
            self._revocations.revoke(self._core, (), (key,))

    def unrevoke_key(self, pk: BytesLike) -> None:
        """As :meth:`unrevoke`, for a key."""
        key = public_key(pk, "pk")
        with self._swap:
            self._revocations.unrevoke(self._core, (), (key,))

    # -- what a revocation feed calls ---------------------------------------

    def _attach_feed(self, feed: RevocationFeed) -> Tuple[FrozenSet[bytes], FrozenSet[bytes]]:
        """Makes ``feed`` this verifier's feed, refusing every check until it
        has read the shared sets; answers what the feed layer holds (left by
        a feed closed before it), for the new feed to account for."""
        with self._swap:
            if self._feed is not None and not self._feed.closed:
                raise ValueError("this verifier already has a revocation feed: close it first")
            self._feed = feed
            self._fresh_until = -math.inf
            return frozenset(self._revocations.fed_ids), frozenset(self._revocations.fed_keys)

    def _feed_change(self, feed: RevocationFeed, add: Tuple[Collection[bytes], Collection[bytes]],
                     drop: Tuple[Collection[bytes], Collection[bytes]]) -> None:
        """Adds to and takes out of the feed's layer (ids, keys), for the
        verifier's own feed only."""
        with self._swap:
            if self._feed is feed:
                self._revocations.revoke(self._core, *add, fed=True)
                self._revocations.unrevoke(self._core, *drop, fed=True)

    def _feed_fresh(self, feed: RevocationFeed, until: float) -> None:
        if self._feed is feed:
            self._fresh_until = max(self._fresh_until, until)

    def _refuse_stale(self) -> None:
        raise StoreUnavailable("the revocation feed has not read the shared revocations within "
                               "its bound: refused until it does")

    @property
    def revoked(self) -> FrozenSet[bytes]:
        """The revoked ids, as 32-byte values; a snapshot."""
        return frozenset(self._core.revoked_ids())

    @property
    def revoked_keys(self) -> FrozenSet[bytes]:
        """The revoked public keys; a snapshot."""
        return frozenset(self._core.revoked_keys())

    def cache_info(self) -> CacheInfo:
        return CacheInfo(*self._core.cache_info())


def _registration(body: BytesLike, now: Optional[TimeLike]) -> Tuple[bytes, str, int]:
    """A registration's body, its token's text and the time it is checked at."""
    payload = byte_string(body, "body")
    try:
        token = payload.decode("ascii")
    except UnicodeDecodeError:
        raise TokenMalformed("Character") from None
    return payload, token, instant(now)


def _synchronous(replay: Any, chains: Any) -> None:
    for store, name in ((replay, "replay store"), (chains, "chain store")):
        if is_asyncio(store):
            raise TypeError(f"the {name} is an asyncio one ({type(store).__name__}): check "
                            f"requests with Verifier.verify_request_async and "
                            f"register_request_async (vestrel.asgi does)")


class _Revocations:
    """A verifier's revoked ids and keys, from two hands kept apart: its own
    (``revoked=``, revoke, revoke_key) and its feed's (what the shared sets
    hold). The core refuses their union, and taking an entry back from one
    hand lifts the refusal only when the other does not hold it: a message
    on a shared channel cannot take back what the service revoked itself,
    nor can Verifier.unrevoke take back what the shared set still holds.
    The caller holds the verifier's lock, so that the core always refuses
    exactly the union."""

    __slots__ = ("ids", "keys", "fed_ids", "fed_keys")

    def __init__(self) -> None:
        self.ids: Set[bytes] = set()
        self.keys: Set[bytes] = set()
        self.fed_ids: Set[bytes] = set()
        self.fed_keys: Set[bytes] = set()

    def revoke(self, core: Any, ids: Collection[bytes], keys: Collection[bytes], *,
               fed: bool = False) -> None:
        if ids:
            core.revoke(tuple(ids))
        for pk in keys:
            core.revoke_key(pk)
        (self.fed_ids if fed else self.ids).update(ids)
        (self.fed_keys if fed else self.keys).update(keys)

    def unrevoke(self, core: Any, ids: Collection[bytes], keys: Collection[bytes], *,
                 fed: bool = False) -> None:
        mine_ids, other_ids = (self.fed_ids, self.ids) if fed else (self.ids, self.fed_ids)
        mine_keys, other_keys = (self.fed_keys, self.keys) if fed else (self.keys, self.fed_keys)
        mine_ids.difference_update(ids)
        mine_keys.difference_update(keys)
        lifted = tuple(rid for rid in ids if rid not in other_ids)
        if lifted:
            core.unrevoke(lifted)
        for pk in keys:
            if pk not in other_keys:
                core.unrevoke_key(pk)
