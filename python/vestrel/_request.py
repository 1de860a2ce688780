"""Request proofs: the holder signs each HTTP request together with the chain
it presents, and the service checks chain, proof, freshness and replay.

A request carries two headers:

    Authorization: Vestrel <token or chain reference>
    Vestrel-Proof: vp1.<issue time, unique id, flags and signature>

The signature covers the method, the target URI (scheme, host, port, path
and query, exactly as sent), the issue time, the unique id, the chain's
digest and, when the body is covered, its SHA3-256 (docs/formats.md).
"""

from __future__ import annotations

import functools
import os
import re
import time
from typing import (TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, NoReturn, Optional, Tuple,
                    Union)
from collections.abc import Awaitable
from urllib.parse import urlsplit

from vestrel_kernel import IdentityIsland

from . import _native
from ._arguments import BytesLike, TimeLike, byte_string, count, instant
from ._chain import VerifiedChain, refuse
from ._errors import (ChainUnknown, ProofExpired, ProofInvalid, ProofMalformed, ProofMissing,
                      ProofReplayed, TokenMalformed)
from ._token import (REF_PREFIX, TOKEN_PREFIX, ascii_text, chain_digest, encode_token, parse_ref,
                     token_bytes, token_text)

if TYPE_CHECKING:
    from ._verifier import Verifier

AUTH_SCHEME = "Vestrel"
_SCHEME_PREFIX = AUTH_SCHEME.lower() + " "
_SCHEME_LEN = len(_SCHEME_PREFIX)
PROOF_HEADER = "Vestrel-Proof"
DEFAULT_MAX_AGE = 60
# A proof header is exactly this long; anything longer is refused unread.
PROOF_TEXT_LEN = 4 + 4446

# Longer than any server takes in a request line by default.
MAX_URL_LEN = 65_536
# Of a URL named in a refusal's text, which may end up in a header.
_SHOWN_URL = 100
_METHOD = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]{1,32}")
_DEFAULT_PORTS = {"http": 80, "https": 443}

Headers = Union[Mapping[str, str], Iterable[Tuple[Any, Any]]]
# The Authorization and proof header values of a request, as one scan of its
# headers found them (_credentials with decoded false): a middleware that
# has scanned the headers already hands these on, so that the check reads
# the credentials from them and not from the headers a second time.
Credentials = Tuple[List[Any], List[Any]]
# What the core's one scan of the headers found of a request presented in the
# common form (Verifier._read_presented): the proof header's value, and the
# chain, as a token's wire the verifier read lately or as the digest a
# reference names, and the Content-Length values the scan met (None for
# none), which the body's reading takes from here. Headers of any other form
# are read by _read_request.
Presented = Tuple[Any, Optional[bytes], Optional[bytes], Optional[List[str]]]

# The refusals the compiled core names for a request's own faults.
_REQUEST_REFUSALS: Dict[str, Any] = {"ProofMalformed": ProofMalformed, "ProofExpired": ProofExpired,
                                     "ProofInvalid": ProofInvalid, "TokenMalformed": TokenMalformed,
                                     "ChainUnknown": ChainUnknown}


@functools.lru_cache(maxsize=4096)
def _cached_target(method: str, url: str) -> Tuple[bytes, bytes, bytes, bytes, bytes]:
    return request_target(method, url)


# A client presents the same reference with every request: its digest is
# read once. (A refused text raises, and is not kept.)
_cached_ref = functools.lru_cache(maxsize=4096)(parse_ref)


def _target_of(method: str, url: str) -> Tuple[bytes, bytes, bytes, bytes, bytes]:
    # A service sees the same few targets again and again: str arguments are
    # read once each.
    if isinstance(method, str) and isinstance(url, str):
        return _cached_target(method, url)
    return request_target(method, url)


def request_target(method: str, url: str) -> Tuple[bytes, bytes, bytes, bytes, bytes]:
    """(method, scheme, authority, path, query) as a proof covers them: the
    scheme and host in lowercase, the port always written (80 and 443 when
    the URL gives none), the path and query as sent ("/" for an empty path),
    no fragment. ValueError for anything a request line cannot carry."""
    if not isinstance(method, str) or _METHOD.fullmatch(method) is None:
        raise ValueError(f"not an HTTP method: {method!r}")
    if not isinstance(url, str) or not url.isascii() or any(c in url for c in " \t\r\n"):
        raise ValueError("the URL must be ASCII with no whitespace: percent-encode it")
    if len(url) > MAX_URL_LEN:
        raise ValueError(f"the URL is longer than {MAX_URL_LEN} characters")
    parts = urlsplit(url)
    scheme = parts.scheme.lower()
    if scheme not in _DEFAULT_PORTS:
        raise ValueError(f"the URL's scheme must be http or https, not {parts.scheme!r}")
    host = parts.hostname
    if not host:
        raise ValueError("the URL names no host")
    port = _DEFAULT_PORTS[scheme] if parts.port is None else parts.port  # ValueError if bad
    authority = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
    return (method.encode("ascii"), scheme.encode("ascii"), authority.encode("ascii"),
            (parts.path or "/").encode("ascii"), parts.query.encode("ascii"))


def _sign(holder: IdentityIsland, digest: bytes, method: str, url: str,
          body: Optional[BytesLike], now: Optional[TimeLike]) -> str:
    issued_at = instant(now)
    nonce = os.urandom(16)
    body_digest = None if body is None else _native.sha3_256(byte_string(body, "body"))
    message = _native.request_message(_target_of(method, url), issued_at, nonce, digest,
                                      body_digest)
    signature = _native.sign_request(holder, message)
    proof: str = _native.encode_proof(issued_at, nonce, body is not None, signature)
    return proof


def present(holder: IdentityIsland, chain: Union[str, BytesLike], method: str, url: str, *,
            body: Optional[BytesLike] = None, now: Optional[TimeLike] = None) -> Dict[str, str]:
    """The headers that present ``chain`` (a token, a chain reference, or a
    wire, which is turned into its token) with a proof of this one request
    by ``holder``, the chain's holder. Pass the body when the request has
    one: the proof then covers it. Each call makes a new proof."""
    if not isinstance(chain, str):
        chain = encode_token(chain)
    digest = parse_ref(chain) if chain.startswith(REF_PREFIX) else chain_digest(chain)
    return {"Authorization": f"{AUTH_SCHEME} {chain}",
            PROOF_HEADER: _sign(holder, digest, method, url, body, now)}


def register(holder: IdentityIsland, chain: Union[str, BytesLike], url: str, *,
             now: Optional[TimeLike] = None) -> Tuple[Dict[str, str], bytes, str]:
    """What registers a chain with a service that serves ``url`` (the
    middleware's registration path): the headers and the body of the POST,
    and the chain reference to present from then on. The token travels in
    the body, where no header limit applies."""
    token = chain if isinstance(chain, str) else encode_token(chain)
    body = token_bytes(token)
    digest = chain_digest(token)
    headers = {PROOF_HEADER: _sign(holder, digest, "POST", url, body, now),
               "Content-Type": "text/plain"}
    return headers, body, REF_PREFIX + _native.base64url_encode(digest)


def _text(value: Any) -> str:
    # Bytes (as ASGI gives them) are read as latin-1, as HTTP/1.1 carries them.
    if isinstance(value, str):
        return value
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("latin-1")
    raise TypeError("headers must be str or bytes names and values")


def _credentials(headers: Headers, decoded: bool = True) -> Tuple[List[Any], List[Any]]:
    """Every value of the Authorization and of the proof header, whatever
    the case of their names: as text, or with ``decoded`` false, bytes
    values as they came (a proof's 4,450 characters need not be copied to
    learn that it is there)."""
    authorization: List[Any] = []
    proofs: List[Any] = []
    # The common forms first (an ASGI scope's list, a dict), without the
    # abstract class's check, which costs more than the scan.
    if type(headers) is list or type(headers) is tuple:
        items: Iterable[Tuple[Any, Any]] = headers
    else:
        items = headers.items() if isinstance(headers, (dict, Mapping)) else headers
    for name, value in items:
        # Both names have 13 letters: the other headers are passed over
        # without decoding or lower-casing them. A bytes name is compared
        # as bytes: bytes.lower() agrees with the lower-cased latin-1 text
        # (see _names_vestrel), which has as many characters as bytes.
        if type(name) is bytes:
            if len(name) != 13:
                continue
            key: Any = name.lower()
            if key == b"authorization":
                found = authorization
            elif key == b"vestrel-proof":
                found = proofs
            else:
                continue
        else:
            if type(name) is not str:
                name = _text(name)
            if len(name) != 13:
                continue
            key = name.lower()
            if key == "authorization":
                found = authorization
            elif key == "vestrel-proof":
                found = proofs
            else:
                continue
        if type(value) is not str and (decoded or type(value) is not bytes):
            value = _text(value)
        found.append(value)
    return authorization, proofs


# What str.strip() takes off text read from bytes as latin-1.
_LATIN1_SPACE = bytes(c for c in range(256) if chr(c).isspace())
_SCHEME_PREFIX_BYTES = _SCHEME_PREFIX.encode("ascii")


def _names_vestrel(value: Union[str, bytes]) -> bool:
    """Whether an Authorization value, stripped, starts with the Vestrel
    scheme in any case; bytes are read as their latin-1 text would be,
    without copying a token's kilobytes into one. (No latin-1 letter
    lower-cases into ASCII, so bytes.lower() agrees with str.lower().)"""
    if type(value) is bytes:
        return value.strip(_LATIN1_SPACE)[:_SCHEME_LEN].lower() == _SCHEME_PREFIX_BYTES
    return value.strip()[:_SCHEME_LEN].lower() == _SCHEME_PREFIX


def _presented_chain(found: List[str]) -> str:
    if len(found) == 1:
        value = found[0].strip()
        if value[:_SCHEME_LEN].lower() == _SCHEME_PREFIX:
            chain = value[_SCHEME_LEN:].strip()
            if not chain:
                raise TokenMalformed("Length")
            return chain
    elif any(v.strip()[:_SCHEME_LEN].lower() == _SCHEME_PREFIX for v in found):
        raise ProofMalformed("more than one Authorization header")
    raise ProofMissing("no Vestrel credentials", credentials=False)


# -- the check of one request --------------------------------------------------
#
# The check is split into the steps that need no store, shared by two
# drivers that differ only in how they call the stores: check_request calls
# them, check_request_async awaits those that are coroutines. The order of
# the steps, and so which refusal a request gets, is the same for both.

def _limits(now: Optional[TimeLike], max_age: int) -> Tuple[int, int]:
    if type(max_age) is not int or max_age < 0:
        max_age = count(max_age, "max_age")
    return instant(now), max_age


def _check_known(verifier: Verifier, method: str, url: str, headers: Headers,
                 body: Optional[BytesLike], at: int, max_age: int) -> Optional[Tuple[Any, ...]]:
    """The common request, a token the verifier read lately presented
    plainly, read and checked by the core in one call: the core's answer, or
    None for any other request, which _read_request then reads and refuses
    as it must, in its turn. The chain was verified lately, so its
    signatures are in the verifier's cache: this is the quick check."""
    try:
        target = _target_of(method, url)
        payload = None if body is None else byte_string(body, "body")
    except (TypeError, ValueError):
        return None
    answer: Optional[Tuple[Any, ...]] = verifier._core.check_headers(
        headers, verifier._token_wires, target, payload, (at, max_age, verifier._proof_skew, None))
    if answer is not None and answer[0] is None:
        _refuse_request(answer, method, url)
    return answer


def _decoded(values: List[Any]) -> List[Any]:
    """Values _credentials kept as they came (str or bytes), as it would
    have decoded them: bytes as latin-1 text."""
    texts = []
    for value in values:
        texts.append(value.decode("latin-1") if type(value) is bytes else value)
    return texts


def _may_be_known(verifier: Verifier, credentials: Credentials) -> bool:
    """False where the core's check_headers would surely answer None: it
    answers only for one Authorization value, "Vestrel " and a token of a
    length the verifier keeps a token of, with one proof value. A chain
    presented by reference never passes, and is not scanned for twice."""
    authorization, proofs = credentials
    return (len(authorization) == 1 and len(proofs) == 1
            and len(authorization[0]) - _SCHEME_LEN in verifier._token_wires)


class _Read:
    """A request read as far as it goes without a store: the proof's text,
    the target, the body, and the chain: ``presented`` (a wire the verifier
    knows, or a token's text), or ``wanted``, the digest a reference names,
    for the chain store to look up."""

    __slots__ = ("text", "target", "payload", "chain", "presented", "wanted", "known")

    def __init__(self, text: str, target: Tuple[bytes, bytes, bytes, bytes, bytes],
                 payload: Optional[bytes], chain: str, presented: Union[str, bytes, None],
                 wanted: Optional[bytes], known: bool) -> None:
        self.text, self.target, self.payload, self.chain = text, target, payload, chain
        self.presented, self.wanted = presented, wanted
        # The chain is one the verifier read lately, whose check is quick.
        self.known = known


def _read_target(method: str, url: str) -> Tuple[bytes, bytes, bytes, bytes, bytes]:
    """The fields of the request's target, or ProofMalformed."""
    try:
        return _target_of(method, url)
    except ValueError as error:
        raise ProofMalformed(f"the request target cannot be read: {error}") from None


def _read_request(verifier: Verifier, method: str, url: str, headers: Headers,
                  body: Optional[BytesLike], chain: Optional[str],
                  credentials: Optional[Credentials] = None,
                  presented_as: Optional[Presented] = None) -> _Read:
    payload = body if body is None or type(body) is bytes else byte_string(body, "body")
    if presented_as is not None:
        # Every header of the request was read already and is well formed:
        # what remains to refuse is the target.
        proof, wire, digest, _ = presented_as
        return _Read(proof, _read_target(method, url), payload, "", wire, digest,
                     wire is not None or digest in verifier._warm)
    if credentials is None:
        authorization, proofs = _credentials(headers)
    else:
        authorization, proofs = _decoded(credentials[0]), _decoded(credentials[1])
    # A client sends the same token with each request: one the verifier read
    # lately is found by comparing the header's text with it.
    presented: Union[str, bytes, None] = None
    if chain is None:
        presented = verifier._known_header(authorization)
        chain = "" if presented is not None else _presented_chain(authorization)
    if not proofs:
        raise ProofMissing(f"no {PROOF_HEADER} header")
    if len(proofs) > 1:
        raise ProofMalformed(f"more than one {PROOF_HEADER} header")
    text = proofs[0].strip()
    if len(text) > PROOF_TEXT_LEN:
        raise ProofMalformed("TooLong")
    if not text.isascii():
        text = ascii_text(text)
    target = _read_target(method, url)
    wanted: Optional[bytes] = None
    known = presented is not None
    if known:
        pass
    elif chain.startswith(REF_PREFIX):
        wanted = _cached_ref(chain)
        known = wanted in verifier._warm
    elif chain.startswith(TOKEN_PREFIX):
        wire = verifier._known_wire(chain)
        known = wire is not None
        presented = token_text(chain) if wire is None else wire
    else:
        raise TokenMalformed("Prefix")
    return _Read(text, target, payload, chain, presented, wanted, known)


def _pipelined(replay: Any, chains: Any) -> Any:
    """The chain store's combined lookup and replay check, when it serves
    this replay store (vestrel.redis): the id is then added before the proof
    is checked, and taken back if the check fails."""
    combined = getattr(chains, "get_and_add", None)
    return combined if combined is not None and getattr(chains, "replay", None) is replay else None


def _replay_key(read: _Read, max_age: int) -> Tuple[bytes, int]:
    """The replay id and its expiry, read from the proof ahead of its check,
    for a store that adds the id with the lookup."""
    decoded = _native.decode_proof(read.text)
    if decoded[0] is None:
        raise ProofMalformed(decoded[1])
    assert read.wanted is not None
    return read.wanted[:16] + decoded[1], replay_expiry(decoded[0], max_age)


def _unregistered() -> NoReturn:
    raise ChainUnknown("no chain is registered under this reference: register it again")


def _check_read(verifier: Verifier, read: _Read, presented: Any, at: int, max_age: int,
                method: str, url: str) -> Tuple[Any, ...]:
    """The check of the chain and the proof, once the chain is at hand:
    the one step that may take long (a chain not verified lately costs a
    signature check per credential); the core releases the interpreter
    lock while it works."""
    if presented is None:
        _unregistered()
    if read.wanted is not None and type(presented) is not bytes:
        if isinstance(presented, Awaitable):
            _not_awaited(presented, "chain store")
        # A store is not trusted to give back what it was given.
        raise ChainUnknown("the chain registered under this reference is not a wire")
    answer: Tuple[Any, ...] = verifier._core.check_request(
        presented, read.text, read.target, read.payload,
        (at, max_age, verifier._proof_skew, read.wanted))
    if answer[0] is None:
        _refuse_request(answer, method, url)
    if answer[1] is not None:
        verifier._remember_wire(read.chain, answer[1])
    if not read.known:
        # Its signatures are in the cache now (a registration's too): the
        # next request that names it by reference is quick to check.
        verifier._warm_up(answer[2])
    return answer


def _verified(verifier: Verifier, answer: Tuple[Any, ...], wire: Any) -> VerifiedChain:
    (authority, root) = answer[0]
    return VerifiedChain._from_native(authority, wire, verifier._root_key(root, wire))


def _not_awaited(value: Any, store: str) -> NoReturn:
    close = getattr(value, "close", None)
    if callable(close):
        close()  # a coroutine never run: no warning that it was never awaited
    raise TypeError(f"the {store} is an asyncio one: check requests with "
                    f"Verifier.verify_request_async (or under vestrel.asgi)")


def _spend(fresh: Any) -> None:
    """Refuses a proof whose id the replay store already held. Called
    last, so that only a valid proof's id is ever stored (or, pipelined,
    kept)."""
    if fresh is not True:
        if fresh is not False and isinstance(fresh, Awaitable):
            _not_awaited(fresh, "replay store")
        if not fresh:
            raise ProofReplayed("this proof was used before")


def check_request(verifier: Verifier, method: str, url: str, headers: Headers, *,
                  body: Optional[BytesLike], now: Optional[TimeLike], max_age: int,
                  replay: Any, chains: Any, chain: Optional[str] = None,
                  credentials: Optional[Credentials] = None,
                  presented_as: Optional[Presented] = None) -> Tuple[VerifiedChain, bytes]:
    """The whole check of one request (see Verifier.verify_request); returns
    the verified chain and its digest. ``chain`` given: the chain comes from
    there (a registration's body), not from the Authorization header.
    ``replay`` and ``chains`` are ReplayStore and ChainStore; a store that
    answers with an awaitable is refused with TypeError. ``credentials``:
    what a scan of ``headers`` already found in them (see Credentials), or
    ``presented_as``, what the core's found (see Presented)."""
    at, max_age = _limits(now, max_age)
    if chain is None and presented_as is None and verifier._token_wires and (
            credentials is None or _may_be_known(verifier, credentials)):
        known = _check_known(verifier, method, url, headers, body, at, max_age)
        if known is not None:
            verified = _verified(verifier, known, known[1])
            _spend(replay.add(known[3], at, replay_expiry(known[4], max_age)))
            return verified, known[2]
    read = _read_request(verifier, method, url, headers, body, chain, credentials, presented_as)
    presented, fresh, key = read.presented, None, b""
    if read.wanted is not None:
        combined = _pipelined(replay, chains)
        if combined is not None:
            key, expires_at = _replay_key(read, max_age)
            got = combined(read.wanted, at, key, expires_at)
            if isinstance(got, Awaitable):
                _not_awaited(got, "chain store")
            presented, fresh = got
        else:
            presented = chains.get(read.wanted, at)
    try:
        answer = _check_read(verifier, read, presented, at, max_age, method, url)
    except BaseException:
        if fresh:
            getattr(replay, "forget")(key)
        raise
    verified = _verified(verifier, answer, presented if answer[1] is None else answer[1])
    if fresh is None:
        fresh = replay.add(answer[3], at, replay_expiry(answer[4], max_age))
    _spend(fresh)
    return verified, answer[2]


def check_presented(verifier: Verifier, method: str, url: str, presented: Presented,
                    body: bytes, max_age: int) -> Optional[VerifiedChain]:
    """The common request checked at once, without a coroutine: what the
    core's scan of the headers found (a token the verifier knows, or the
    reference of a chain it checked lately), against the verifier's own
    in-memory stores, which answer at once. The steps and refusals are
    check_request's, in its order. None, before any step, for any other
    request: a chain not checked lately (which check_request_async checks
    off the loop), other stores, no signature cache, or a stale revocation
    feed (which verify_request refuses). Verifier._check_presented is this
    function, so that a middleware's call reaches it directly."""
    if (not verifier._one_pass or type(body) is not bytes
            or time.monotonic() > verifier._fresh_until):
        return None
    proof, wire, digest, _ = presented
    warm = verifier._warm
    if wire is None and digest not in warm:
        return None
    # check_request's steps written out, with no helper called but to
    # refuse: this is the path nearly every request of a service takes, and
    # inside a framework each layer of calls costs about twice what it does
    # alone, its code and data pushed out of the caches by the framework's.
    at = int(time.time())
    try:
        target = _cached_target(method, url)
    except ValueError:
        _read_target(method, url)  # raises the refusal
        raise
    if wire is None:
        chains: Any = verifier._chains  # a MemoryChainStore: bytes or None
        wire = chains.get(digest, at)
        if wire is None:
            _unregistered()
    answer: Tuple[Any, ...] = verifier._core.check_request(
        wire, proof, target, body, (at, max_age, verifier._proof_skew, digest))
    if answer[0] is None:
        _refuse_request(answer, method, url)
    # A chain's VerifiedChain is the same object for every request whose
    # check answered the same authority: it is immutable, and made of the
    # wire (which the digest names) and that answer alone. It holds the
    # wire, so the wires kept that way are bounded in bytes (_warm_room),
    # not only by how many chains _warm lists.
    held = warm.get(answer[2])
    if held is not None and held[0] == answer[0]:
        verified = held[1]
    else:
        authority, root = answer[0]
        verified = VerifiedChain._from_native(authority, wire, verifier._root_key(root, wire))
        if answer[2] in warm and len(wire) <= verifier._warm_room:
            verifier._warm_room -= len(wire)
            warm[answer[2]] = (answer[0], verified)
    fresh = verifier._replay.add(answer[3], at, replay_expiry(answer[4], max_age))
    if fresh is not True:
        _spend(fresh)  # raises the refusal
    return verified


async def _result(value: Any) -> Any:
    return await value if isinstance(value, Awaitable) else value


def _asyncio_loop() -> Any:
    """The running asyncio loop, or None under another event loop (trio),
    where the check is made where it runs, as a synchronous caller's is."""
    # Imported here: a service that never checks a request on an event loop
    # does not load asyncio.
    import asyncio

    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None


async def check_request_async(verifier: Verifier, method: str, url: str, headers: Headers, *,
                              body: Optional[BytesLike], now: Optional[TimeLike], max_age: int,
                              replay: Any, chains: Any, chain: Optional[str] = None,
                              credentials: Optional[Credentials] = None,
                              presented_as: Optional[Presented] = None
                              ) -> Tuple[VerifiedChain, bytes]:
    """check_request for a caller on an event loop: the stores' coroutines
    are awaited (a store that answers at once is called as it is), and the
    check of a chain the verifier has not read lately runs in the loop's
    executor, so that the loop goes on serving other requests meanwhile. A
    chain read lately is checked on the loop: that is one signature check,
    quicker than handing it to a thread and back."""
    at, max_age = _limits(now, max_age)
    # Without a signature cache no chain is quick to check: none on the loop.
    cached = verifier._cache_bytes > 0
    if chain is None and presented_as is None and verifier._token_wires and cached and (
            credentials is None or _may_be_known(verifier, credentials)):
        known = _check_known(verifier, method, url, headers, body, at, max_age)
        if known is not None:
            verified = _verified(verifier, known, known[1])
            fresh = replay.add(known[3], at, replay_expiry(known[4], max_age))
            if fresh is not True and fresh is not False:
                fresh = await _result(fresh)
            _spend(fresh)
            return verified, known[2]
    read = _read_request(verifier, method, url, headers, body, chain, credentials, presented_as)
    presented, fresh, key = read.presented, None, b""
    if read.wanted is not None:
        combined = _pipelined(replay, chains)
        if combined is not None:
            key, expires_at = _replay_key(read, max_age)
            presented, fresh = await _result(combined(read.wanted, at, key, expires_at))
        else:
            presented = chains.get(read.wanted, at)
            # An in-memory store answers at once: no coroutine to await.
            if presented is not None and type(presented) is not bytes:
                presented = await _result(presented)
    try:
        loop = None if read.known and cached or presented is None else _asyncio_loop()
        if loop is None:
            answer = _check_read(verifier, read, presented, at, max_age, method, url)
        else:
            answer = await loop.run_in_executor(None, _check_read, verifier, read, presented, at,
                                                max_age, method, url)
    except BaseException:
        if fresh:
            await _result(getattr(replay, "forget")(key))
        raise
    verified = _verified(verifier, answer, presented if answer[1] is None else answer[1])
    if fresh is None:
        fresh = replay.add(answer[3], at, replay_expiry(answer[4], max_age))
        if fresh is not True and fresh is not False:
            fresh = await _result(fresh)
    if fresh is not True:
        _spend(fresh)
    return verified, answer[2]


def replay_expiry(issued_at: int, max_age: int) -> int:
    """The last second a proof issued at ``issued_at`` is accepted, and so
    the last its id must be held: a proof is fresh from ``proof_skew``
    seconds before its issue time (a holder's clock ahead of the verifier's)
    to ``max_age`` seconds after it, both bounds included."""
    return issued_at + max_age


def _refuse_request(answer: Tuple[Any, ...], method: str, url: str) -> NoReturn:
    own = _REQUEST_REFUSALS.get(answer[1])
    if own is None:
        refuse(answer)
    if own is ProofInvalid:
        # The URL comes first: a service's most common fault is checking
        # proofs against another URL than its clients sign (a wrong origin,
        # a proxy that rewrites the path), and this says which it used.
        shown = url if len(url) <= _SHOWN_URL else url[:_SHOWN_URL] + "..."
        raise ProofInvalid(f"checked against {method} {shown}: {answer[2]}")
    raise own(answer[2])
