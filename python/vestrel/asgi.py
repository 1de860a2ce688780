"""Vestrel request proofs in front of any ASGI application, with nothing but
the standard library.

    app = vestrel.asgi.Authorize(app, verifier, origin="https://api.example.com")

Each HTTP request must carry a chain (token or registered reference) and
the holder's proof of exactly this request (see vestrel.present); one that
verifies and whose scope allows (resource, verb) reaches the app with its
VerifiedChain in ``scope["state"]["vestrel_chain"]`` (Starlette:
``request.state.vestrel_chain``); any other is answered here and never
reaches it. A POST of a token to ``register_path`` registers it (see
vestrel.register).

The proof covers ``origin`` (or, with several origins or named ``hosts``,
the one the Host header names; HTTP/2's ``:authority`` where a server
passes it on), then ``raw_path`` and ``query_string`` as the client sent
them, which must be "/path?query" (else 400). A request without credentials
is answered before its body is read; the body is read whole, up to
``max_body`` bytes (beyond: 413), and handed on unchanged.
Lifespan scopes pass through. WebSocket handshakes are not checked (a
browser cannot add headers to one), so a WebSocket scope whose path is not
public is closed before it is accepted (the server answers 403).

Starlette's authentication conventions are met without importing it: a
checked request's ``scope["user"]`` is authenticated, its ``identity`` the
holder's key id (vestrel.key_id), and ``scope["auth"].scopes`` lists
"authenticated" and the chain's (resource, verb) pairs as "resource:verb"
(see ChainScopes); a public request gets an unauthenticated user and no
scopes unless something before Authorize set them.

With ``per_route=True`` the scope check is the route's: a success answer
(status under 400) to a checked request whose route noted no check
(vestrel._http.note_scope_check, vestrel.starlette.requires, or a test of
``request.auth.scopes`` with ``in``) is replaced by a 500 (ScopeUnchecked)
and logged, so a route that forgot its requirement fails closed.

A chain the verifier checked lately is checked on the event loop (one
proof signature, tens of microseconds); any other in the loop's default
executor, so that a long chain never holds the loop up. Stores that are
asyncio ones (vestrel.redis with a redis.asyncio client) are awaited.
"""

from __future__ import annotations

import logging
from typing import Any, Awaitable, Callable, Dict, Iterable, List, MutableMapping, Optional, Tuple

from ._arguments import key_id
from ._chain import VerifiedChain
from ._errors import Refused
from ._http import (_KEPT_TARGET, Answer, Middleware, Options, Prepared, content_length,
                    method_not_allowed, note_scope_check, quoted_target, raw_url, refusal,
                    scope_checked, too_large, unchecked)
from ._request import Presented

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
App = Callable[[Scope, Receive, Send], Awaitable[None]]

__all__ = ["Authorize", "ChainUser", "ChainCredentials", "ChainScopes"]

log = logging.getLogger("vestrel.asgi")


class Authorize(Middleware[App]):
    """Checks every HTTP request's chain and proof before ``app`` sees it.

    ``origin`` ("https://api.example.com") is the scheme and host clients
    address, which every proof is checked under; a list of them serves a
    service with several names, the Host header picking one (421 for any
    other). Without an origin, ``hosts`` (["api.example.com",
    "localhost:8000"]) names the Host headers the service answers to, under
    the server's own scheme; given with one origin, it only restricts the
    Host header. One of the two is required.

    ``resource`` and ``verb`` map the decoded path and the method to what
    the chain's scope must allow (default: the path's UTF-8 bytes and the
    method's, HEAD counting as GET); either may raise a vestrel.Refused
    (NotAllowed, say) for a request it has no mapping for.
    ``public(path, method)`` true leaves a request unchecked. These run
    before the proof is checked: any other exception they raise is the
    server's 500, and the proof stays unspent. ``max_age`` bounds a proof's
    age in seconds, ``max_body`` the body, ``ttl`` how long a registered
    chain is kept; ``register_path`` None turns registration off.
    """

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        kind = scope.get("type")
        if kind not in ("http", "websocket"):
            await self.app(scope, receive, send)
            return
        path, method = scope.get("path", "/"), scope.get("method", "GET")
        try:
            route = self.options.route(path, method)
        except Refused as error:
            await _answer(send, refusal(error))
            return
        if route == "public":
            scope.setdefault("user", ANONYMOUS)
            if "auth" not in scope:
                scope["auth"] = ChainCredentials(None, None)
            await self.app(scope, receive, send)
            return
        if kind == "websocket":
            await send({"type": "websocket.close", "code": 1008})
            return
        if route == "register" and method != "POST":
            await _answer(send, method_not_allowed())
            return

        options = self.options
        try:
            prepared, headers = _prepared(options, scope, route)
        except Refused as error:
            await _answer(send, refusal(error))
            return
        body = await _read_body(receive, headers, options.max_body, prepared.presented)
        if type(body) is not bytes:
            if isinstance(body, Answer):
                await _answer(send, body)
            return  # None: the client went away
        try:
            if route == "register":
                await _answer(send, await options.register_async(prepared.url, headers, body))
                return
            chain = options.check_quick(method, prepared, body)
            if chain is None:
                chain = await options.check_async(method, prepared, headers, body)
        except Refused as error:
            await _answer(send, refusal(error))
            return
        state: Dict[str, Any] = dict(scope.get("state") or {})
        state["vestrel_chain"] = chain
        if options.per_route:
            send = _guarded(send, state, method, path)
        await self.app({**scope, "state": state, "user": ChainUser(chain),
                        "auth": ChainCredentials(chain, state)}, _replay(body, receive), send)


class ChainUser:
    """``scope["user"]`` of a checked request, as Starlette's
    ``request.user`` reads it: authenticated, named by the holder's key id
    (computed on first read), with the VerifiedChain as ``chain``."""

    __slots__ = ("chain", "_identity")
    is_authenticated = True

    def __init__(self, chain: VerifiedChain) -> None:
        self.chain = chain
        self._identity: Optional[str] = None

    @property
    def identity(self) -> str:
        if self._identity is None:
            self._identity = key_id(self.chain.holder_pk)
        return self._identity

    @property
    def display_name(self) -> str:
        return self.identity

    def __repr__(self) -> str:
        return f"<ChainUser {self.identity}>"


class _Anonymous:
    """``scope["user"]`` of a public request."""

    __slots__ = ()
    is_authenticated = False
    display_name = ""
    identity = None

    def __repr__(self) -> str:
        return "<anonymous>"


class ChainScopes(List[str]):
    """The text scopes of a chain: "authenticated", then each (resource,
    verb) pair of the holder's credential as "resource:verb", in wire order,
    a ``*`` written as it is. A pair is listed only where both fields are
    UTF-8 and the verb holds no ":", so that each text names exactly one
    pair (split at its last ":"); the others are still honoured by
    vestrel.starlette.requires, which compares bytes.

    Membership compares text exactly, as Starlette's ``requires`` does: a
    chain granting "docs:*" is not found to hold "docs:read" here, while
    vestrel.starlette.requires(b"docs", b"read") applies the wildcard.
    Testing any scope but "authenticated" with ``in`` counts as the route's
    scope check (see per_route)."""

    __slots__ = ("_state",)

    def __init__(self, texts: Iterable[str], state: Optional[Dict[str, Any]]) -> None:
        super().__init__(texts)
        self._state = state

    def __contains__(self, text: object) -> bool:
        if text != "authenticated":
            note_scope_check(self._state)
        return list.__contains__(self, text)


class ChainCredentials:
    """``scope["auth"]``, as Starlette's ``request.auth`` reads it; the
    scopes are built on first read, so a request whose route never reads
    them does not pay for them."""

    __slots__ = ("_chain", "_state", "_scopes")

    def __init__(self, chain: Optional[VerifiedChain], state: Optional[Dict[str, Any]]) -> None:
        self._chain = chain
        self._state = state
        self._scopes: Optional[ChainScopes] = None

    @property
    def scopes(self) -> ChainScopes:
        if self._scopes is None:
            self._scopes = ChainScopes(_texts(self._chain), self._state)
        return self._scopes

    def __repr__(self) -> str:
        return f"<ChainCredentials {list(self.scopes)!r}>"


def _texts(chain: Optional[VerifiedChain]) -> List[str]:
    if chain is None:
        return []
    texts = ["authenticated"]
    for resource, verb in chain.perms:
        if b":" in verb:
            continue
        try:
            texts.append(resource.decode("utf-8") + ":" + verb.decode("utf-8"))
        except UnicodeDecodeError:
            continue
    return texts


ANONYMOUS = _Anonymous()


def _guarded(send: Send, state: Dict[str, Any], method: str, path: str) -> Send:
    """``send`` for a route that must check the scope: a response start
    with a success status is answered with ScopeUnchecked's 500 instead,
    unless the route noted its check in ``state``; the app's later messages
    for that response are dropped."""
    refused = False

    async def guarded(message: Message) -> None:
        nonlocal refused
        if refused:
            return
        if message.get("type") == "http.response.start" and not scope_checked(state):
            status = message.get("status")
            if isinstance(status, int) and status < 400:
                refused = True
                await _answer(send, unchecked(log, method, path, status))
                return
        await send(message)

    return guarded


def _values(headers: List[Tuple[bytes, bytes]], name: bytes) -> List[str]:
    # Names of another length are passed over without a lower-cased copy.
    # A loop: a comprehension would be a new function object on each call.
    size = len(name)
    values = []
    for k, v in headers:
        if len(k) == size and bytes(k).lower() == name:
            values.append(bytes(v).decode("latin-1"))
    return values


def _hosts(headers: List[Tuple[bytes, bytes]]) -> List[str]:
    """The Host header's values; an HTTP/2 server that passes the request's
    ``:authority`` on as it came, and no Host header, gives that instead."""
    return _values(headers, b"host") or _values(headers, b":authority")


def _target(scope: Scope) -> str:
    query = scope.get("query_string")
    query = bytes(query).decode("latin-1") if query else ""
    raw = scope.get("raw_path")
    if raw is None:
        return quoted_target(scope.get("path", "/").encode("utf-8", "replace"), query)
    path = (raw if type(raw) is bytes else bytes(raw)).decode("latin-1")
    return path + "?" + query if query else path


def _prepared(options: Options, scope: Scope,
              route: str) -> Tuple[Prepared, List[Tuple[bytes, bytes]]]:
    """The request prepared for ``route`` ("check" or "register"), and its
    headers. Host, target and credentials are settled before the body is
    read: a request with no credentials costs no more than its head."""
    headers: List[Tuple[bytes, bytes]] = scope.get("headers", ())
    if type(headers) is not list:
        headers = list(headers)
    raw, query = scope.get("raw_path"), scope.get("query_string", b"")
    method, path = scope.get("method", "GET"), scope.get("path", "/")
    if (options.reads_host or type(raw) is not bytes or type(query) is not bytes
            or len(raw) + len(query) >= _KEPT_TARGET):
        prepared = options.prepare(route, method, path, scope.get("scheme", "http"),
                                   _hosts(headers) if options.reads_host else (),
                                   _target(scope), headers)
    else:
        # One origin, so the Host header is not read, and the target as
        # most servers give it: its URL is read once for all its requests.
        prepared = options.prepare(route, method, path, "", (), "", headers,
                                   raw_url(options.origins[0], raw, query))
    return prepared, headers


async def _read_body(receive: Receive, headers: List[Tuple[bytes, bytes]], max_body: int,
                     presented: Optional[Presented] = None) -> Any:
    """The whole body (bytes), an Answer (413, or 400 for a bad length), or
    None when the client disconnected first. A declared length over the
    bound is refused before any of the body is read. ``presented``: what the
    core's scan of the headers found, Content-Length values included."""
    lengths = _values(headers, b"content-length") if presented is None else presented[3]
    if lengths:
        declared = content_length(lengths, max_body)
        if isinstance(declared, Answer):
            return declared
    chunks: List[bytes] = []
    size = 0
    while True:
        message = await receive()
        if message.get("type") == "http.disconnect":
            return None
        chunk = message.get("body", b"")
        if type(chunk) is not bytes:
            chunk = bytes(chunk)
        size += len(chunk)
        if size > max_body:
            return too_large(max_body)
        if not message.get("more_body", False):
            # Most bodies come in one message: that one is the body.
            return b"".join(chunks + [chunk]) if chunks else chunk
        chunks.append(chunk)


def _replay(body: bytes, receive: Receive) -> Receive:
    """A receive that gives the app the body already read, then whatever
    the server sends next (the disconnect)."""
    pending = [{"type": "http.request", "body": body, "more_body": False}]

    async def replayed() -> Message:
        if pending:
            return pending.pop()
        return await receive()

    return replayed


async def _answer(send: Send, answer: Answer) -> None:
    await send({"type": "http.response.start", "status": answer.status,
                "headers": [(k.encode("latin-1"), v.encode("latin-1")) for k, v in answer.headers]})
    await send({"type": "http.response.body", "body": answer.body})
