"""Vestrel request proofs in front of any WSGI (PEP 3333) application, with
nothing but the standard library.

    app.wsgi_app = vestrel.wsgi.Authorize(app.wsgi_app, verifier,   # Flask
                                          origin="https://api.example.com")

The same checks and options as vestrel.asgi.Authorize; a verified request
reaches the app with its VerifiedChain in ``environ["vestrel.chain"]``.

The proof covers ``origin`` (or, with several origins or named ``hosts``,
the one HTTP_HOST names, under wsgi.url_scheme for hosts alone), then the
target as sent: REQUEST_URI or RAW_URI when the server gives one (the
Werkzeug and gunicorn servers do), which must be "/path?query" (else 400),
else SCRIPT_NAME and PATH_INFO quoted again and QUERY_STRING. The path
the scope is matched against is SCRIPT_NAME + PATH_INFO, decoded as UTF-8. The body is read up to
``max_body`` bytes (beyond: 413) and handed on as a fresh wsgi.input.

With ``per_route=True`` the scope check is the route's, noted in the environ
(vestrel._http.note_scope_check): a success status (under 400) that the app
starts for a checked request whose route noted none is replaced by a 500
(ScopeUnchecked) and logged, and whatever the app writes or yields for it is
dropped; the app's iterable is still closed.
"""

from __future__ import annotations

import io
import logging
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple

from ._errors import Refused
from ._http import (Answer, Middleware, content_length, method_not_allowed, quoted_target, refusal,
                    scope_checked, status_line, too_large, unchecked)

Environ = Dict[str, Any]
StartResponse = Callable[..., Any]
App = Callable[[Environ, StartResponse], Iterable[bytes]]

__all__ = ["Authorize"]

log = logging.getLogger("vestrel.wsgi")
# Where a checked request's VerifiedChain is left in the environ.
CHAIN_KEY = "vestrel.chain"

# CGI names some request headers without the HTTP_ prefix.
_UNPREFIXED = {"CONTENT_TYPE": "content-type", "CONTENT_LENGTH": "content-length"}


class Authorize(Middleware[App]):
    """Checks every request's chain and proof before ``app`` sees it; the
    options are vestrel.asgi.Authorize's."""

    def __call__(self, environ: Environ, start_response: StartResponse) -> Iterable[bytes]:
        raw_path = _raw_path(environ)
        path = raw_path.decode("utf-8", "replace") or "/"
        method = environ.get("REQUEST_METHOD", "GET")
        try:
            route = self.options.route(path, method)
        except Refused as error:
            return _answer(start_response, refusal(error))
        if route == "public":
            return self.app(environ, start_response)
        if route == "register" and method != "POST":
            return _answer(start_response, method_not_allowed())

        headers = _headers(environ)
        try:
            prepared = self.options.prepare(route, method, path,
                                            environ.get("wsgi.url_scheme", "http"),
                                            _hosts(headers), _target(environ, raw_path), headers)
        except Refused as error:
            return _answer(start_response, refusal(error))
        body = _read_body(environ, headers, self.options.max_body)
        if isinstance(body, Answer):
            return _answer(start_response, body)
        try:
            if route == "register":
                return _answer(start_response,
                               self.options.register(prepared.url, headers, body))
            chain = self.options.check(method, prepared, headers, body)
        except Refused as error:
            return _answer(start_response, refusal(error))
        environ[CHAIN_KEY] = chain
        environ["wsgi.input"] = io.BytesIO(body)
        environ["CONTENT_LENGTH"] = str(len(body))
        if self.options.per_route:
            return _guarded(self.app, environ, start_response, method, path)
        return self.app(environ, start_response)


def _discard(data: bytes) -> None:
    """write() for a response already answered in the app's place."""


def _guarded(app: App, environ: Environ, start_response: StartResponse, method: str,
             path: str) -> Iterable[bytes]:
    """The app's answer, unless its first start_response is a success
    status and its route noted no scope check: then ScopeUnchecked's 500. An app
    may call start_response before returning or on the first step of its
    iterable; only in the second case is the iterable wrapped."""
    refused: List[Answer] = []
    started = False

    def guarded_start(status: str, headers: List[Tuple[str, str]],
                      exc_info: Optional[Any] = None) -> Any:
        nonlocal started
        if refused:
            return _discard  # the refusal's head stands, whatever the app does next
        if started:  # PEP 3333's error path (exc_info): the first start was let through
            return start_response(status, headers, exc_info)
        started = True
        code = status[:3] if isinstance(status, str) else ""
        if code.isdigit() and int(code) < 400 and not scope_checked(environ):
            refused.append(unchecked(log, method, path, code))
            start_response(status_line(500), refused[0].headers, exc_info)
            return _discard
        return start_response(status, headers, exc_info)

    result = app(environ, guarded_start)
    if refused:
        _close(result)
        return [refused[0].body]
    if started:
        return result
    return _Refusable(result, refused)


class _Refusable:
    """The iterable of an app that starts its response lazily: once the
    guard refused the start, the app's chunks are dropped for the
    refusal's body. close() reaches the app's own iterable."""

    def __init__(self, result: Iterable[bytes], refused: List[Answer]) -> None:
        self._result = result
        self._refused = refused

    def __iter__(self) -> Iterator[bytes]:
        for chunk in self._result:
            if self._refused:
                break
            yield chunk
        if self._refused:
            yield self._refused[0].body

    def close(self) -> None:
        _close(self._result)


def _close(result: Iterable[bytes]) -> None:
    close = getattr(result, "close", None)
    if callable(close):
        close()


def _raw_path(environ: Environ) -> bytes:
    """SCRIPT_NAME + PATH_INFO as the bytes the request carried: PEP 3333
    strings carry them as latin-1."""
    path: str = environ.get("SCRIPT_NAME", "") + environ.get("PATH_INFO", "")
    return path.encode("latin-1", "replace")


def _hosts(headers: List[Tuple[str, str]]) -> List[str]:
    return [v for k, v in headers if k == "host"]


def _headers(environ: Environ) -> List[Tuple[str, str]]:
    headers = []
    for key, value in environ.items():
        if key.startswith("HTTP_"):
            headers.append((key[5:].replace("_", "-").lower(), value))
        elif key in _UNPREFIXED and value:
            headers.append((_UNPREFIXED[key], value))
    return headers


def _target(environ: Environ, raw_path: bytes) -> str:
    for key in ("REQUEST_URI", "RAW_URI"):
        sent = environ.get(key)
        # The target as sent, whatever its form: anything but "/path?query"
        # (absolute-form, "*", a fragment) is then refused, never rebuilt.
        if isinstance(sent, str):
            return sent
    return quoted_target(raw_path or b"/", environ.get("QUERY_STRING", ""))


def _read_body(environ: Environ, headers: List[Tuple[str, str]], max_body: int) -> Any:
    """The body (bytes) or an Answer: 413 over the bound, 400 for a bad
    length. Without a length the body is read only where the server marks
    the stream as ending (wsgi.input_terminated), since reading an
    unterminated one would wait for the client."""
    declared = content_length([v for k, v in headers if k == "content-length"], max_body)
    if isinstance(declared, Answer):
        return declared
    stream = environ.get("wsgi.input")
    if stream is None or (declared is None and not environ.get("wsgi.input_terminated")):
        return b""
    want = max_body + 1 if declared is None else declared
    chunks: List[bytes] = []
    size = 0
    while size < want:
        chunk = stream.read(min(want - size, 65536))
        if not chunk:
            break
        chunks.append(chunk)
        size += len(chunk)
    if size > max_body:
        return too_large(max_body)
    return b"".join(chunks)


def _answer(start_response: StartResponse, answer: Answer) -> List[bytes]:
    start_response(status_line(answer.status), answer.headers)
    return [answer.body]
