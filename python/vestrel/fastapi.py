"""FastAPI routes that require Vestrel credentials, as dependencies:

    app = fastapi.FastAPI()
    auth = vestrel.fastapi.Auth(verifier, origin="https://api.example.com", app=app)

    @app.post("/api/docs/{number}")
    async def doc(number: int,
                  chain: vestrel.VerifiedChain = Security(auth.require(b"docs", b"POST"))):
        ...

``auth.require(resource, verb)`` is a dependency (for ``Depends`` or
``Security``) returning the request's VerifiedChain when its scope allows
(resource, verb). On its own it checks the request itself: the proof covers
the method, the origin and the target as the client sent it, the headers and
the body, which it reads (up to ``max_body`` bytes) and leaves for the route
to read again. FastAPI reads a body parameter's body whole before any
dependency runs: the bound then refuses it (413) once read, where the
middleware in front refuses it before. Under vestrel.asgi.Authorize
(``per_route=True``), which has already verified the chain and the proof, it
only checks the scope.

A refusal is answered exactly as the middlewares answer it: the status, the
``WWW-Authenticate: Vestrel error=..., error_description=...`` challenge and a
``{"error", "rule"}`` JSON body. That body needs the exception handler that
``Auth(..., app=app)`` or ``auth.install(app)`` registers; without it
FastAPI's own handler still gives the status and the challenge, the body
wrapped as ``{"detail": {...}}``. ``install`` also adds ``auth.router``, which
serves chain registration at ``register_path``.

The OpenAPI document lists every route with a requirement under one security
scheme, ``Vestrel``: an HTTP authentication scheme of that name (what goes in
the Authorization header), whose description names the proof header that
must come with it. Swagger UI (/docs) puts its lock on those routes and says
its Authorize dialog cannot fill that scheme in, ReDoc names the scheme: a
proof is made for one request by the holder's key, which no docs page holds.
The docs pages and the document themselves require nothing; under the
middleware, ``public=auth.public`` leaves them unchecked. A WebSocket route
with a requirement is closed (1008) before it is accepted, since a browser
cannot add headers to the handshake.

Only this module imports FastAPI; ``import vestrel`` does not.
"""

# No "from __future__ import annotations" here: FastAPI reads the annotations
# of a dependency's __call__ at runtime, with no module globals to resolve
# names in.

import json
from typing import Any, List, Optional, Sequence, Set, Tuple, Union

import fastapi
from fastapi.openapi.models import HTTPBase
from fastapi.routing import APIRoute
from fastapi.security.base import SecurityBase
from starlette.exceptions import WebSocketException
from starlette.requests import HTTPConnection, Request
from starlette.responses import Response
from starlette.routing import Match
from starlette.types import Scope

from ._chain import VerifiedChain
from ._errors import Refused
from ._http import (DEFAULT_MAX_BODY, DEFAULT_REGISTER_PATH, DEFAULT_TTL, Answer, Options,
                    json_answer, method_not_allowed, note_scope_check, refusal, require,
                    requirement, too_large)
from ._request import PROOF_HEADER, Presented
from .asgi import _prepared, _read_body
from .starlette import _response

__all__ = ["Auth", "Requirement", "Refusal", "SCHEME_NAME"]

SCHEME_NAME = "Vestrel"
_SCHEME_DESCRIPTION = (
    f"Authorization: Vestrel <token (vt1.) or chain reference (vr1.)>, with a {PROOF_HEADER} "
    f"header signing this very request with the chain holder's key (vestrel.httpx.Auth and "
    f"vestrel.requests.Auth send both)."
)
# Where the middleware leaves the verified chain, and where a requirement
# that verified the request itself leaves it for the next one.
_CHAIN = "vestrel_chain"
# Registration's one route takes every method, and answers all but POST
# with 405 as the middlewares do. One route, not two: every request to a
# route declared after it is matched against it first.
_METHODS = ["POST", "GET", "HEAD", "PUT", "PATCH", "DELETE", "OPTIONS"]
_POLICY_VIOLATION = 1008  # the WebSocket close code
_NO_MATCH = Match.NONE


class Refusal(fastapi.HTTPException):
    """The exception a requirement raises for a refused request; ``answer``
    is the middlewares' response to it (status, headers, JSON body). The
    installed handler sends ``answer`` as it is; FastAPI's own handler for
    HTTPException sends the same status and challenge."""

    def __init__(self, answer: Answer) -> None:
        headers = {k: v for k, v in answer.headers if k not in ("content-type", "content-length")}
        super().__init__(answer.status, json.loads(answer.body), headers)
        self.answer = answer


class Requirement(SecurityBase):
    """A route's requirement: the dependency ``Auth.require`` returns."""

    def __init__(self, options: Options, needed: Tuple[bytes, bytes]) -> None:
        self.model = HTTPBase(scheme=SCHEME_NAME, description=_SCHEME_DESCRIPTION)
        self.scheme_name = SCHEME_NAME
        self.options = options
        self.needed = needed

    def __repr__(self) -> str:
        return f"Requirement({self.needed[0]!r}, {self.needed[1]!r})"

    async def __call__(self, request: HTTPConnection) -> VerifiedChain:
        if not isinstance(request, Request):
            # A WebSocket handshake: browsers cannot add headers to one, so
            # it is refused, as the middleware refuses it, before it is accepted.
            raise WebSocketException(_POLICY_VIOLATION, "no Vestrel credentials on a WebSocket")
        scope = request.scope
        state = scope.get("state")
        if state is None:
            state = scope.setdefault("state", {})
        chain = state.get(_CHAIN) if isinstance(state, dict) else None
        try:
            if not isinstance(chain, VerifiedChain):
                options = self.options
                prepared, headers = _prepared(options, scope, "check")
                body = await _body(request, headers, options.max_body, prepared.presented)
                method = scope.get("method", "GET")
                # The common request in one pass (check_quick's own call:
                # no route's scope is in prepared), else the full check.
                presented = prepared.presented
                chain = None if presented is None else options._check_presented(
                    method, prepared.url, presented, body, options.max_age)
                if chain is None:
                    chain = await options.check_async(method, prepared, headers, body)
                if isinstance(state, dict):
                    # A second requirement on this request (the router's and the
                    # route's) checks its scope against this chain: the proof is
                    # spent and would not verify twice.
                    state[_CHAIN] = chain
            if not chain.allows(*self.needed):
                require(chain, self.needed)  # raises the refusal
        except Refused as error:
            raise Refusal(refusal(error)) from None
        note_scope_check(state)
        return chain


class _RegistrationRoute(APIRoute):
    """The registration route, which every request to a route declared
    after it is matched against first: a path that does not end with its
    own (a router's root path may come before) is passed over without its
    pattern being run."""

    def __init__(self, path: str, endpoint: Any, **options: Any) -> None:
        super().__init__(path, endpoint, **options)
        self._tail = None if "{" in path else path

    def matches(self, scope: Scope) -> Tuple[Match, Scope]:
        if self._tail is not None and not scope["path"].endswith(self._tail):
            return _NO_MATCH, {}
        return super().matches(scope)


class Auth:
    """Vestrel requirements for the routes of FastAPI apps.

    ``origin``, ``hosts``, ``max_age``, ``max_body``, ``ttl`` and
    ``register_path`` mean what they mean to vestrel.asgi.Authorize, and are
    checked here, when the app is built; under the middleware give both the
    same. ``app``: install on it at once (see install).
    """

    def __init__(self, verifier: Any, *, origin: Union[str, Sequence[str], None] = None,
                 hosts: Optional[Sequence[str]] = None,
                 register_path: Optional[str] = DEFAULT_REGISTER_PATH, max_age: int = 60,
                 max_body: int = DEFAULT_MAX_BODY, ttl: int = DEFAULT_TTL,
                 app: Optional[fastapi.FastAPI] = None) -> None:
        self.options = Options(verifier, origin=origin, hosts=hosts, register_path=register_path,
                               max_age=max_age, max_body=max_body, ttl=ttl, per_route=True)
        self.router = fastapi.APIRouter()
        if register_path is not None:
            self.router.add_api_route(register_path, self._register, methods=_METHODS,
                                      include_in_schema=False,
                                      route_class_override=_RegistrationRoute)
        self._docs: Set[str] = set()
        self._installed: List[fastapi.FastAPI] = []
        if app is not None:
            self.install(app)

    def require(self, resource: bytes, verb: bytes) -> Requirement:
        """The dependency of a route whose requests' chains must allow
        (resource, verb); TypeError here, where the route is declared, for
        a resource or verb that is not bytes."""
        return Requirement(self.options, requirement(resource, verb))

    def install(self, app: fastapi.FastAPI) -> fastapi.FastAPI:
        """Registers on ``app`` the handler that answers a refusal as the
        middlewares do, adds ``self.router`` (registration), and notes the
        app's docs URLs for ``public``. Call it before the app serves."""
        if not isinstance(app, fastapi.FastAPI):
            raise TypeError(f"install takes a fastapi.FastAPI, not {type(app).__name__}")
        if any(app is done for done in self._installed):
            return app
        app.add_exception_handler(Refusal, _refused)
        app.include_router(self.router)
        urls = [app.openapi_url, app.docs_url, app.redoc_url]
        if app.docs_url and app.openapi_url:
            urls.append(app.swagger_ui_oauth2_redirect_url)
        self._docs.update(app.root_path.rstrip("/") + u for u in urls if u)
        self._installed.append(app)
        return app

    def public(self, path: str, method: str) -> bool:
        """True for a GET or HEAD of a docs page or the OpenAPI document of
        an app installed on: vestrel.asgi.Authorize's ``public`` rule for
        those, so that they stay reachable under the middleware."""
        return method in ("GET", "HEAD") and path in self._docs

    async def _register(self, request: Request) -> Response:
        if request.scope.get("method") != "POST":
            return _response(method_not_allowed())
        try:
            prepared, headers = _prepared(self.options, request.scope, "register")
            body = await _body(request, headers, self.options.max_body)
            answer = await self.options.register_async(prepared.url, headers, body)
        except Refused as error:
            answer = refusal(error)
        except Refusal as refused:
            answer = refused.answer
        return _response(answer)


async def _body(request: Request, headers: List[Tuple[bytes, bytes]], max_body: int,
                presented: Optional[Presented] = None) -> bytes:
    """The request's body, read at most once: FastAPI reads a body
    parameter's before any dependency runs, and Starlette keeps it on the
    request (as it keeps the one read here) for the route to read again.
    Refusal (413) beyond ``max_body``, also for a body read before; the
    middleware in front refuses one before it is read."""
    cached = getattr(request, "_body", None)
    if isinstance(cached, bytes):
        if len(cached) > max_body:
            raise Refusal(too_large(max_body))
        return cached
    body = await _read_body(request.receive, headers, max_body, presented)
    if isinstance(body, bytes):
        request._body = body  # where Starlette's Request.body() keeps what it read
        return body
    if isinstance(body, Answer):
        raise Refusal(body)
    # The client went away: this answer reaches no one.
    raise Refusal(json_answer(400, {"error": "invalid_request", "rule": "Disconnected"}))


async def _refused(request: Request, refused: Refusal) -> Response:
    return _response(refused.answer)

