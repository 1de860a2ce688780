"""per_route=True leaves the scope check to each route, and the middlewares
refuse to pass on a success answer whose route checked nothing. One ASGI
and one WSGI app read what to do from the path ("/r/<check>/<status>/<style>"),
so the same cases run fed straight in and behind uvicorn and Werkzeug."""

from __future__ import annotations

import asyncio
import contextlib
import io
import json
import logging
import time
from types import SimpleNamespace
from typing import Any, Callable, Dict, Iterator, List, Tuple

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vestrel
import vestrel._http
import vestrel.asgi
import vestrel.wsgi
from servers import listening, once, uvicorn_on, werkzeug_on

ORIGIN = "http://127.0.0.1:8000"
# A pair that is not UTF-8 and one whose verb holds ":" are kept out of the
# text scopes; "*" is written as it is.
PERMS = [(b"docs", b"read"), (b"\xff", b"read"), (b"files", b"*"), (b"a", b"b:c")]
SCOPES = ["authenticated", "docs:read", "files:*"]
UNCHECKED = {"error": "server_error", "rule": "ScopeUnchecked"}
APP_BODY = b"app answer"
STATUSES = [200, 201, 204, 301, 302, 304, 399, 400, 401, 403, 404, 418, 500, 503]


class World(SimpleNamespace):
    def __repr__(self) -> str:  # hypothesis prints its arguments
        return "<world>"


@pytest.fixture(scope="module")
def world(identities: Callable[[str], vestrel.IdentityIsland]) -> SimpleNamespace:
    root, holder = identities("root"), identities("holder")
    wire = vestrel.delegate(None, root, holder.public_key(), "leaf", PERMS)
    return World(verifier=vestrel.Verifier([root.public_key()]), holder=holder, wire=wire,
                 token=vestrel.encode_token(wire))


class Closing(List[bytes]):
    """A WSGI result that counts its close() calls."""

    closed = 0

    def close(self) -> None:
        self.closed += 1


def parts(path: str) -> Tuple[str, int, str]:
    _, _, check, status, style = path.split("/")
    return check, int(status), style


async def asgi_app(scope: Any, receive: Any, send: Any) -> None:
    check, status, style = parts(scope["path"])
    await receive()
    scopes, public = scope["auth"].scopes, scope["path"].startswith("/public/")
    if check == "noted":
        vestrel._http.note_scope_check(scope.get("state"))
    elif check == "in":
        assert ("docs:read" in scopes, "docs:write" in scopes) == (not public, False)
    elif check == "authenticated":  # the user's presence is no scope check
        assert ("authenticated" in scopes) == scope["user"].is_authenticated
    chain = scope.get("state", {}).get("vestrel_chain")
    assert (scope["user"].identity, scopes) == ((None, []) if public else (
        vestrel.key_id(chain.holder_pk), SCOPES))
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"text/plain")]})
    chunks = [APP_BODY[:4], APP_BODY[4:]] if style == "stream" else [APP_BODY]
    for n, chunk in enumerate(chunks, start=1):
        await send({"type": "http.response.body", "body": chunk, "more_body": n < len(chunks)})


def wsgi_app(results: List[Any]) -> Callable[..., Any]:
    def app(environ: Dict[str, Any], start_response: Callable[..., Any]) -> Any:
        check, status, style = parts(environ["PATH_INFO"])
        if check == "noted":
            vestrel._http.note_scope_check(environ)
        head = (vestrel._http.status_line(status), [("content-type", "text/plain")])
        if style == "lazy":  # start_response on the iterable's first step
            def lazy() -> Iterator[bytes]:
                try:
                    start_response(*head)
                    yield APP_BODY[:4]
                    yield APP_BODY[4:]
                finally:
                    results[-1].closed += 1

            results.append(SimpleNamespace(closed=0))
            return lazy()
        result = Closing([APP_BODY[4:]] if style == "write" else [APP_BODY])
        write = start_response(*head)
        if style == "write":
            write(APP_BODY[:4])
        results.append(result)
        return result

    return app


@contextlib.contextmanager
def logged() -> Iterator[List[logging.LogRecord]]:
    records: List[logging.LogRecord] = []
    handler = logging.Handler(logging.DEBUG)
    handler.emit = records.append  # type: ignore[method-assign]
    logging.getLogger("vestrel").addHandler(handler)
    try:
        yield records
    finally:
        logging.getLogger("vestrel").removeHandler(handler)


def options(per_route: bool) -> Dict[str, Any]:
    mapped = {} if per_route else {"resource": lambda path: b"docs", "verb": lambda method: b"read"}
    return {"origin": ORIGIN, "per_route": per_route,
            "public": lambda path, method: path.startswith("/public/"), **mapped}


def fed_asgi(world: SimpleNamespace, path: str, per_route: bool) -> Tuple[int, bytes, str]:
    headers = [(k.lower().encode(), v.encode()) for k, v in vestrel.present(
        world.holder, world.token, "POST", ORIGIN + path, body=b"{}").items()]
    scope = {"type": "http", "method": "POST", "path": path, "raw_path": path.encode(),
             "query_string": b"", "scheme": "http", "headers": headers}
    sent: List[Any] = []
    incoming = [{"type": "http.request", "body": b"{}", "more_body": False}]

    async def receive() -> Any:
        return incoming.pop() if incoming else {"type": "http.disconnect"}

    async def send(message: Any) -> None:
        sent.append(message)

    asyncio.run(vestrel.asgi.Authorize(asgi_app, world.verifier, **options(per_route))(
        scope, receive, send))
    assert sent[0]["type"] == "http.response.start" and not sent[-1].get("more_body")
    return (sent[0]["status"], b"".join(m.get("body", b"") for m in sent[1:]),
            dict(sent[0]["headers"]).get(b"www-authenticate", b"").decode())


def fed_wsgi(world: SimpleNamespace, path: str, per_route: bool) -> Tuple[int, bytes, str]:
    environ = {"REQUEST_METHOD": "POST", "PATH_INFO": path, "wsgi.url_scheme": "http",
               "wsgi.input": io.BytesIO(b"{}"), "CONTENT_LENGTH": "2"}
    for name, value in vestrel.present(world.holder, world.token, "POST", ORIGIN + path,
                                       body=b"{}").items():
        environ["HTTP_" + name.upper().replace("-", "_")] = value
    heads: List[Any] = []
    written: List[bytes] = []

    def start_response(status: str, headers: Any, exc_info: Any = None) -> Callable[[bytes], None]:
        heads.append((status, dict(headers)))
        return written.append

    results: List[Any] = []
    answer = vestrel.wsgi.Authorize(wsgi_app(results), world.verifier, **options(per_route))(
        environ, start_response)
    chunks = list(answer)
    getattr(answer, "close", lambda: None)()
    assert len(heads) == 1 and [r.closed for r in results] == [1], "one head; closed once"
    return (int(heads[0][0][:3]), b"".join(written + chunks),
            heads[0][1].get("www-authenticate", ""))


def assert_answer(got: Tuple[int, bytes, str], path: str, per_route: bool,
                  records: List[logging.LogRecord]) -> None:
    check, status, _ = parts(path)
    if (not per_route or path.startswith("/public/") or status >= 400
            or check in ("noted", "in")):
        assert (got[:2], records) == ((status, APP_BODY), []), (path, per_route, got)
        return
    code, body, challenge = got
    assert (code, json.loads(body)) == (500, UNCHECKED), (path, code, body)
    assert 'error="server_error"' in challenge and "ScopeUnchecked" in challenge
    assert [(r.levelno, r.name) for r in records] in ([(logging.ERROR, "vestrel.asgi")],
                                                      [(logging.ERROR, "vestrel.wsgi")])
    assert f"POST {path!r} answered {status} without" in records[0].getMessage()


@settings(max_examples=300, deadline=None)
@given(public=st.booleans(), check=st.sampled_from(["none", "noted", "in", "authenticated"]),
       status=st.sampled_from(STATUSES), per_route=st.booleans(),
       served=st.sampled_from([("asgi", "whole"), ("asgi", "stream"), ("wsgi", "whole"),
                               ("wsgi", "lazy"), ("wsgi", "write")]))
def test_a_success_passes_only_when_its_route_checked(
        world: SimpleNamespace, public: bool, check: str, status: int, per_route: bool,
        served: Tuple[str, str]) -> None:
    if served[0] == "wsgi":
        check = check.replace("in", "none")  # WSGI has no text scopes
    path = f"/{'public' if public else 'r'}/{check}/{status}/{served[1]}"
    with logged() as records:
        got = (fed_asgi if served[0] == "asgi" else fed_wsgi)(world, path, per_route)
    assert_answer(got, path, per_route, records)


@once
def test_the_guard_behind_real_servers(world: SimpleNamespace) -> None:
    import httpx
    import vestrel.httpx

    paths = ["/r/none/200/whole", "/r/none/302/stream", "/r/noted/200/stream", "/r/none/404/whole",
             "/public/none/200/whole"]
    asgi_paths = paths + ["/r/in/200/whole", "/r/authenticated/201/stream"]
    wsgi_paths = paths + [p.replace("stream", s) for p in paths if "stream" in p
                          for s in ("lazy", "write")]
    results: List[Any] = []
    served = [(uvicorn_on, asgi_app, vestrel.asgi.Authorize, asgi_paths),
              (werkzeug_on, wsgi_app(results), vestrel.wsgi.Authorize, wsgi_paths)]
    for serve, app, middleware, table in served:
        sock = listening()
        base = f"http://127.0.0.1:{sock.getsockname()[1]}"
        guarded = middleware(app, world.verifier, **{**options(True), "origin": base})
        # The chain goes by reference: registration is exempt from the guard.
        auth = vestrel.httpx.Auth(world.holder, world.wire, register=True)
        with serve(guarded, sock), httpx.Client(auth=auth, timeout=30) as client, \
                logged() as records:
            for path in table:
                del records[:]
                reply = client.post(base + path, json={})
                assert_answer((reply.status_code, reply.content,
                               reply.headers.get("www-authenticate", "")), path, True, records)
    # A server closes a response's iterable after its last byte is sent: the
    # client may have read it, and the server stopped, a moment before.
    deadline = time.monotonic() + 5
    while not all(r.closed == 1 for r in results) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert results and all(r.closed == 1 for r in results)
