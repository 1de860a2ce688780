"""Vestrel request proofs for Flask, checked where the view is:

    auth = vestrel.flask.Auth(app, verifier, origin="https://api.example.com")

    @app.post("/api/docs/<int:number>")
    @auth.require(b"docs", b"POST")
    def doc(number):
        chain = flask.g.vestrel_chain           # the request's vestrel.VerifiedChain
        ...

Or ``auth = vestrel.flask.Auth(verifier=verifier, origin=...)`` and later
``auth.init_app(app)``. The options are vestrel.wsgi.Authorize's, checked
when Auth is made; a requirement that is not bytes fails when the view is
decorated. A decorated view is reached only by a request whose chain and
proof verify and whose scope allows (resource, verb); any other is answered
with the middlewares' refusal (status, WWW-Authenticate challenge and a
JSON body naming the error and the rule). The proof covers the origin and
the target as the server received it (REQUEST_URI or RAW_URI, else the path
quoted again), and the body, read up to ``max_body`` bytes and kept, so the
view reads it as usual; async views are decorated the same way. Chains are
registered by a POST to ``register_path`` (None: not served), which
``init_app`` adds as a URL rule.

Under vestrel.wsgi.Authorize (``per_route=True``) the chain the middleware
verified is used and only the scope is checked here.

Only this module imports Flask; ``import vestrel`` does not.
"""

from __future__ import annotations

import functools
import inspect
import io
from typing import Any, Callable, List, Optional, Sequence, Tuple, TypeVar, Union

import flask

from ._chain import VerifiedChain
from ._errors import Refused
from ._http import (DEFAULT_MAX_BODY, DEFAULT_REGISTER_PATH, DEFAULT_TTL, Answer, Answered,
                    Options, content_length, method_not_allowed, note_scope_check, refusal,
                    require, requirement, synchronous_stores, too_large)
from .wsgi import CHAIN_KEY, _headers, _hosts, _raw_path, _target

__all__ = ["Auth"]

View = TypeVar("View", bound=Callable[..., Any])
_ENDPOINT = "vestrel_register"
_EVERY_METHOD = ["GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"]



class Auth:
    """Checks the requests of the views it decorates. ``verifier`` is the
    process's vestrel.Verifier; ``origin``, ``hosts``, ``max_age``,
    ``max_body``, ``ttl`` and ``register_path`` are vestrel.wsgi.Authorize's."""

    def __init__(self, app: Optional[flask.Flask] = None, verifier: Any = None, *,
                 origin: Union[str, Sequence[str], None] = None,
                 hosts: Optional[Sequence[str]] = None,
                 register_path: Optional[str] = DEFAULT_REGISTER_PATH, max_age: int = 60,
                 max_body: int = DEFAULT_MAX_BODY, ttl: int = DEFAULT_TTL) -> None:
        if app is not None and not isinstance(app, flask.Flask):
            raise TypeError(f"the first argument is the Flask app (or None, with init_app "
                            f"later), not {type(app).__name__}: give the verifier as verifier=")
        if verifier is None:
            raise TypeError("Auth needs verifier=, the process's vestrel.Verifier")
        self.options = Options(verifier, origin=origin, hosts=hosts, register_path=register_path,
                               max_age=max_age, max_body=max_body, ttl=ttl, per_route=True)
        synchronous_stores(verifier)
        if app is not None:
            self.init_app(app)

    def init_app(self, app: flask.Flask) -> None:
        """Serves registration on ``app`` (at register_path, unless None)."""
        if not isinstance(app, flask.Flask):
            raise TypeError(f"init_app takes the Flask app, not {type(app).__name__}")
        app.extensions["vestrel"] = self
        if self.options.register_path is not None:
            # Every method reaches the view, so that any but POST gets the
            # middlewares' 405 answer and not an HTML page.
            app.add_url_rule(self.options.register_path, _ENDPOINT, self._register,
                             methods=_EVERY_METHOD, provide_automatic_options=False)

    def require(self, resource: bytes, verb: bytes) -> Callable[[View], View]:
        """A decorator for a view that only requests whose chain allows
        (resource, verb) reach; the chain is in ``flask.g.vestrel_chain``."""
        needed = requirement(resource, verb)

        def decorate(view: View) -> View:
            if inspect.iscoroutinefunction(view):
                @functools.wraps(view)
                async def guarded_async(*args: Any, **kwargs: Any) -> Any:
                    refused = self._admit(needed)
                    if refused is not None:
                        return refused
                    return await view(*args, **kwargs)

                return guarded_async  # type: ignore[return-value]

            @functools.wraps(view)
            def guarded(*args: Any, **kwargs: Any) -> Any:
                refused = self._admit(needed)
                if refused is not None:
                    return refused
                return view(*args, **kwargs)

            return guarded  # type: ignore[return-value]

        return decorate

    def _admit(self, needed: Tuple[bytes, bytes]) -> Optional[flask.Response]:
        """None, with the chain in flask.g, for a request the view may
        answer; the refusal otherwise."""
        environ = flask.request.environ
        try:
            chain = environ.get(CHAIN_KEY)
            if isinstance(chain, VerifiedChain):
                note_scope_check(environ)
            else:
                chain = self._verify()
            flask.g.vestrel_chain = require(chain, needed)
        except Refused as error:
            return _response(refusal(error))
        except Answered as answered:
            return _response(answered.answer)
        return None

    def _verify(self) -> VerifiedChain:
        request = flask.request
        prepared, headers = self._prepare("check")
        return self.options.check(request.method, prepared, headers, _body(self.options.max_body))

    def _prepare(self, route: str) -> Tuple[Any, List[Tuple[str, str]]]:
        environ = flask.request.environ
        raw_path = _raw_path(environ)
        headers = _headers(environ)
        prepared = self.options.prepare(route, flask.request.method,
                                        raw_path.decode("utf-8", "replace") or "/",
                                        environ.get("wsgi.url_scheme", "http"),
                                        _hosts(headers), _target(environ, raw_path), headers)
        return prepared, headers

    def _register(self) -> flask.Response:
        if flask.request.method != "POST":
            return _response(method_not_allowed())
        try:
            prepared, headers = self._prepare("register")
            return _response(self.options.register(prepared.url, headers,
                                                   _body(self.options.max_body)))
        except Refused as error:
            return _response(refusal(error))
        except Answered as answered:
            return _response(answered.answer)


def _body(max_body: int) -> bytes:
    """The request's body, at most ``max_body`` bytes (else Answered with
    413, or 400 for a bad length), kept by Flask for the view to read."""
    request = flask.request
    declared = content_length(request.headers.getlist("Content-Length"), max_body)
    if isinstance(declared, Answer):
        raise Answered(declared)
    environ = request.environ
    if declared is None and environ.get("wsgi.input_terminated"):
        # A body of no declared length (chunked) would be read whole: the
        # stream Flask reads from stops one byte past the bound.
        environ["wsgi.input"] = _Capped(environ["wsgi.input"], max_body + 1)
    body = request.get_data(cache=True)
    if len(body) > max_body:
        raise Answered(too_large(max_body))
    return body


class _Capped(io.RawIOBase):
    """At most ``left`` bytes of ``stream``."""

    def __init__(self, stream: Any, left: int) -> None:
        super().__init__()
        self.stream = stream
        self.left = left

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        chunk = self.stream.read(min(len(buffer), self.left)) if self.left > 0 else b""
        self.left -= len(chunk)
        buffer[:len(chunk)] = chunk
        return len(chunk)


def _response(answer: Answer) -> flask.Response:
    return flask.Response(answer.body, status=answer.status, headers=answer.headers)
