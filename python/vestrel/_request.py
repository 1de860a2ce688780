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
from typing import (TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, NoReturn, Optional, Tuple,
                    Union)
from urllib.parse import urlsplit

from vestrel_kernel import IdentityIsland

from . import _native
from ._arguments import BytesLike, TimeLike, byte_string, count, instant
from ._chain import VerifiedChain, refuse
from ._errors import (ChainUnknown, ProofExpired, ProofInvalid, ProofMalformed, ProofMissing,
                      ProofReplayed, TokenMalformed)
from ._stores import ChainStore, ReplayStore
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

# The refusals the compiled core names for a request's own faults.
_REQUEST_REFUSALS: Dict[str, Any] = {"ProofMalformed": ProofMalformed, "ProofExpired": ProofExpired,
                                     "ProofInvalid": ProofInvalid, "TokenMalformed": TokenMalformed,
                                     "ChainUnknown": ChainUnknown}


@functools.lru_cache(maxsize=4096)
def _cached_target(method: str, url: str) -> Tuple[bytes, bytes, bytes, bytes, bytes]:
    return request_target(method, url)


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
        # without decoding or lower-casing them (a bytes name, read as
        # latin-1, has as many characters as bytes).
        if type(name) is bytes:
            if len(name) != 13:
                continue
            name = name.decode("latin-1")
        elif type(name) is not str:
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


def check_request(verifier: Verifier, method: str, url: str, headers: Headers, *,
                  body: Optional[BytesLike], now: Optional[TimeLike], max_age: int,
                  replay: ReplayStore, chains: ChainStore,
                  chain: Optional[str] = None) -> Tuple[VerifiedChain, bytes]:
    """The whole check of one request (see Verifier.verify_request); returns
    the verified chain and its digest. ``chain`` given: the chain comes from
    there (a registration's body), not from the Authorization header."""
    if type(max_age) is not int or max_age < 0:
        max_age = count(max_age, "max_age")
    at = instant(now)
    target: Optional[Tuple[bytes, bytes, bytes, bytes, bytes]] = None
    payload: Optional[bytes] = None
    if chain is None and verifier._token_wires:
        # The common request, a token the verifier read lately presented
        # plainly, is read and checked by the core in one call; any other is
        # read here, and refused as it must be, in its turn.
        try:
            target = _target_of(method, url)
            payload = None if body is None else byte_string(body, "body")
        except (TypeError, ValueError):
            target = None
        else:
            answer = verifier._core.check_headers(headers, verifier._token_wires, target, payload,
                                                  (at, max_age, verifier._proof_skew, None))
            if answer is not None:
                if answer[0] is None:
                    _refuse_request(answer, method, url)
                return _accepted(verifier, answer, answer[1], at, max_age, replay, None)
    authorization, proofs = _credentials(headers)
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
    text = ascii_text(text)
    if target is None:
        try:
            target = _target_of(method, url)
        except ValueError as error:
            raise ProofMalformed(f"the request target cannot be read: {error}") from None
        payload = None if body is None else byte_string(body, "body")

    wanted: Optional[bytes] = None
    fresh: Optional[bool] = None  # the pipelined replay answer, when there is one
    key = b""
    if presented is not None:
        pass
    elif chain.startswith(REF_PREFIX):
        wanted = parse_ref(chain)
        combined = getattr(chains, "get_and_add", None)
        if combined is not None and getattr(chains, "replay", None) is replay:
            # A shared store may look the chain up and add the proof's id in
            # one round trip (vestrel.redis): the id is then added before the
            # proof is checked, and taken back if the check fails.
            decoded = _native.decode_proof(text)
            if decoded[0] is None:
                raise ProofMalformed(decoded[1])
            key = wanted[:16] + decoded[1]
            presented, fresh = combined(wanted, at, key, replay_expiry(decoded[0], max_age))
        else:
            presented = chains.get(wanted, at)
    elif chain.startswith(TOKEN_PREFIX):
        known = verifier._known_wire(chain)
        presented = token_text(chain) if known is None else known
    else:
        raise TokenMalformed("Prefix")
    try:
        if presented is None:
            raise ChainUnknown("no chain is registered under this reference: register it again")
        if wanted is not None and type(presented) is not bytes:
            # A store is not trusted to give back what it was given.
            raise ChainUnknown("the chain registered under this reference is not a wire")
        answer = verifier._core.check_request(presented, text, target, payload,
                                              (at, max_age, verifier._proof_skew, wanted))
        if answer[0] is None:
            _refuse_request(answer, method, url)
    except BaseException:
        if fresh:
            getattr(replay, "forget")(key)
        raise
    token_wire = answer[1]
    if token_wire is not None:
        verifier._remember_wire(chain, token_wire)
    return _accepted(verifier, answer, presented if token_wire is None else token_wire, at,
                     max_age, replay, fresh)


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


def _accepted(verifier: Verifier, answer: Tuple[Any, ...], wire: Any, at: int, max_age: int,
              replay: ReplayStore, fresh: Optional[bool]) -> Tuple[VerifiedChain, bytes]:
    """The verified chain of the core's answer, once its proof's id is new;
    ``fresh``: the store's answer already given, pipelined."""
    (authority, root), _, digest, replay_id, issued_at = answer
    verified = VerifiedChain._from_native(authority, wire, verifier._root_key(root, wire))
    # Last, so that only a valid proof's id is ever stored (or, pipelined, kept).
    if fresh is None:
        fresh = replay.add(replay_id, at, replay_expiry(issued_at, max_age))
    if not fresh:
        raise ProofReplayed("this proof was used before")
    return verified, digest
