"""The verifier a service builds once and shares between its threads."""

from __future__ import annotations

import datetime
from typing import Any, Dict, FrozenSet, Iterable, List, NamedTuple, Optional, Tuple, Union

from . import _native
from ._arguments import BytesLike, TimeLike, byte_string, count, instant, public_key, revocation_ids
from ._chain import VerifiedChain, refuse
from ._errors import TokenMalformed
from ._request import _SCHEME_LEN, _SCHEME_PREFIX, DEFAULT_MAX_AGE, Headers, check_request
from ._stores import ChainStore, MemoryChainStore, MemoryReplayStore, ReplayStore
from ._token import REF_PREFIX, token_text

# About 2,200 credentials of the usual size (an entry holds the issuer key,
# the signature and the payload it covers).
DEFAULT_CACHE_BYTES = 16 * 1024 * 1024
# How far ahead of the verifier's clock a holder's may run for a request
# proof, as servers checking proofs of possession commonly allow.
DEFAULT_PROOF_SKEW = 5
_TOKEN_WIRES = 64
_TOKEN_WIRE_MAX = 64 * 1024


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
    turns the cache off. ``replay`` and ``chains`` are the stores :meth:`verify_request`
    uses for proofs' unique ids and for chains registered by reference; by
    default each Verifier keeps its own in memory.

    Every method may be called from many threads at once; :meth:`verify`
    releases the interpreter lock while it works.
    """

    __slots__ = ("_core", "_leeway", "_proof_skew", "_roots", "_replay", "_chains", "_token_wires")

    _core: Any
    _leeway: int
    _proof_skew: int
    _roots: Tuple[bytes, ...]
    _replay: ReplayStore
    _chains: ChainStore
    # The wires of tokens seen lately, by the token's length: a client sends
    # the same token with every request, and comparing it with the one kept
    # costs a memory comparison where reading it costs a copy, a decoding and
    # a new wire. Only an exactly equal text matches.
    _token_wires: Dict[int, Tuple[str, bytes]]

    def __init__(self, roots: Iterable[BytesLike], *, revoked: Iterable[Any] = (),
                 leeway: Any = 0, proof_skew: Any = DEFAULT_PROOF_SKEW,
                 cache_bytes: int = DEFAULT_CACHE_BYTES,
                 replay: Optional[ReplayStore] = None,
                 chains: Optional[ChainStore] = None) -> None:
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
        self._core = _native.Verifier(keys, leeway, count(cache_bytes, "cache_bytes"))
        self._leeway = leeway
        self._roots = keys
        self._token_wires = {}
        self._replay = MemoryReplayStore() if replay is None else replay
        self._chains = MemoryChainStore() if chains is None else chains
        if ids:
            self._core.revoke(tuple(ids))

    def __repr__(self) -> str:
        return (f"<Verifier roots={len(self.roots)} revoked={len(self._core.revoked_ids())} "
                f"leeway={self._leeway}>")

    @property
    def roots(self) -> Tuple[bytes, ...]:
        """The trusted root keys, in the order given."""
        return self._roots

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
        return VerifiedChain._from_native(authority, wire, self._roots[root])

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

    def _remember_wire(self, token: str, wire: bytes) -> None:
        # Tokens of a few credentials, and a few dozen of them.
        if len(token) <= _TOKEN_WIRE_MAX and (len(token) in self._token_wires
                                              or len(self._token_wires) < _TOKEN_WIRES):
            self._token_wires[len(token)] = (token, wire)

    def verify_request(self, method: str, url: str, headers: Headers, *,
                       body: Optional[BytesLike] = None, now: Optional[TimeLike] = None,
                       max_age: int = DEFAULT_MAX_AGE, replay: Optional[ReplayStore] = None,
                       chains: Optional[ChainStore] = None) -> VerifiedChain:
        """Checks one HTTP request presented with :func:`vestrel.present`:
        the chain (a token, or a registered chain's reference) as
        :meth:`verify` does, that the proof is its holder's signature over
        exactly this method, URL, body and chain, that it was issued at most
        ``max_age`` seconds before ``now`` and at most ``proof_skew`` seconds
        after it, and that its unique id was not seen before.

        ``url`` is the request's full URL as the client addressed it
        (scheme, host, port, path and query). Every refusal is a
        :class:`Refused` whose ``status`` and ``error`` give the answer.
        """
        verified, _ = check_request(self, method, url, headers, body=body, now=now,
                                    max_age=max_age,
                                    replay=self._replay if replay is None else replay,
                                    chains=self._chains if chains is None else chains)
        return verified

    def register_request(self, url: str, headers: Headers, body: BytesLike, *,
                         now: Optional[TimeLike] = None, max_age: int = DEFAULT_MAX_AGE,
                         ttl: int = 3600) -> Tuple[str, VerifiedChain]:
        """Registers the chain whose token is ``body`` (a POST made with
        :func:`vestrel.register`), after checking it and its proof as
        :meth:`verify_request` does; returns its reference and the verified
        chain. The chain is kept for ``ttl`` seconds at most, and never past
        its own not-after."""
        payload = byte_string(body, "body")
        try:
            token = payload.decode("ascii")
        except UnicodeDecodeError:
            raise TokenMalformed("Character") from None
        at = instant(now)
        verified, digest = check_request(self, "POST", url, headers, body=payload, now=at,
                                         max_age=max_age, replay=self._replay,
                                         chains=self._chains, chain=token)
        expires_at = at + count(ttl, "ttl")
        if verified.not_after is not None:
            expires_at = min(expires_at, verified.not_after)
        self._chains.put(digest, verified._wire, at, expires_at)
        return REF_PREFIX + _native.base64url_encode(digest), verified

    def revoke(self, ids: Any) -> None:
        """Revokes one id or an iterable of them, each 32 bytes or their 64
        hex digits; the next call of :meth:`verify` refuses them. All are
        checked before any is added."""
        self._core.revoke(tuple(revocation_ids(ids)))

    def unrevoke(self, ids: Any) -> None:
        """Takes back the revocation of one id or an iterable of them."""
        self._core.unrevoke(tuple(revocation_ids(ids)))

    def revoke_key(self, pk: BytesLike) -> None:
        """Refuses every chain in which ``pk`` issues or receives a
        credential: a compromised worker or service key, whatever
        credentials it holds."""
        self._core.revoke_key(public_key(pk, "pk"))

    def unrevoke_key(self, pk: BytesLike) -> None:
        self._core.unrevoke_key(public_key(pk, "pk"))

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
