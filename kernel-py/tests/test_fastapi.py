"""vestrel.fastapi on uvicorn, on its own and under vestrel.asgi.Authorize
(per_route=True), driven by vestrel.httpx (sync and async): what the routes
see of params, escapes and JSON bodies they read again; refusals answered as
the middleware answers them; the OpenAPI document; registration and a
restart that forgets every chain; mistakes caught when the app is built; the
FastAPI section of docs/frameworks.md run as pasted."""

# No "from __future__ import annotations": FastAPI reads the routes' annotations
# at runtime, and the routes here are local to a function.

import contextlib
import os
import re
import shutil
import socket
import subprocess
import time
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import pytest

import vestrel
import vestrel.asgi
from servers import listening, once, tls_proxy, uvicorn_on
from test_guide import section_blocks
from test_http_clients import registered_again_once, send

REGISTER = "/.well-known/vestrel/chains"
MAX_BODY = 16384  # above a one-credential chain's registration
MODES = ["standalone", "middleware"]
FRAMEWORKS_DOC = Path(__file__).resolve().parents[2] / "docs" / "frameworks.md"


@pytest.fixture(scope="module")
def world(identities: Callable[[str], vestrel.IdentityIsland]) -> SimpleNamespace:
    root, holder = identities("root"), identities("holder")
    perms = [(b"docs", b"GET"), (b"docs", b"POST"), (b"docs", b"PUT")]
    return SimpleNamespace(
        root=root, holder=holder,
        token=vestrel.encode_token(vestrel.delegate(None, root, holder.public_key(), "leaf",
                                                    perms)),
        expired=vestrel.encode_token(vestrel.delegate(None, root, holder.public_key(), "leaf",
                                                      perms, not_after=int(time.time()) - 5)))


def service(verifier: vestrel.Verifier, mode: str, installed: bool = True,
            **where: Any) -> Tuple[Any, Any]:
    """(the ASGI app, its Auth): routes echoing what they saw of the request,
    each requiring its (resource, verb) of the chain."""
    import fastapi
    import pydantic
    from fastapi import Depends, Request, Security

    import vestrel.fastapi

    app = fastapi.FastAPI()
    auth = vestrel.fastapi.Auth(verifier, max_body=MAX_BODY, app=app if installed else None,
                                **where)

    class Doc(pydantic.BaseModel):
        title: str
        n: List[int] = []

    async def seen(request: Request, chain: vestrel.VerifiedChain) -> Dict[str, Any]:
        return {"holder": vestrel.key_id(chain.holder_pk),
                "raw": request.scope["raw_path"].decode(), "query": request.url.query,
                "body": (await request.body()).decode("latin-1")}

    @app.get("/api/docs/{name}")
    async def read(name: str, request: Request,
                   chain: vestrel.VerifiedChain = Depends(auth.require(b"docs", b"GET"))) -> Any:
        return {"name": name, **await seen(request, chain)}

    # FastAPI reads a body parameter's body before any dependency runs.
    @app.post("/api/docs/{name}")
    async def save(name: str, doc: Doc, request: Request,
                   chain: vestrel.VerifiedChain = Security(auth.require(b"docs", b"POST"))) -> Any:
        return {"name": name, "doc": doc.dict(), **await seen(request, chain)}

    # Here the requirement reads the body first, the route again after it.
    @app.put("/api/raw")
    async def raw(request: Request,
                  chain: vestrel.VerifiedChain = Security(auth.require(b"docs", b"PUT"))) -> Any:
        return await seen(request, chain)

    @app.delete("/api/docs/{name}")
    async def remove(name: str, chain: vestrel.VerifiedChain = Depends(
            auth.require(b"docs", b"DELETE"))) -> Any:
        return {"removed": name}

    # Two requirements on one request: the proof is checked once.
    @app.get("/api/twice", dependencies=[Depends(auth.require(b"docs", b"GET"))])
    async def twice(request: Request,
                    chain: vestrel.VerifiedChain = Depends(auth.require(b"docs", b"PUT"))) -> Any:
        return await seen(request, chain)

    @app.get("/health")
    async def health() -> Any:
        return {"ok": True}

    if not installed:
        app.include_router(auth.router)
    if mode == "standalone":
        return app, auth
    return vestrel.asgi.Authorize(
        app, verifier, per_route=True, max_body=MAX_BODY, **where,
        public=lambda path, method: auth.public(path, method) or path == "/health"), auth


def reference(verifier: vestrel.Verifier, **where: Any) -> Any:
    """The middleware alone, mapping every path to b"docs": the answers a
    refusal must get."""
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse
    from starlette.routing import Route

    async def ok(request: Any) -> Any:
        return JSONResponse({})

    site = Starlette(routes=[Route("/{rest:path}", ok, methods=["GET", "POST", "PUT", "DELETE"])])
    return vestrel.asgi.Authorize(site, verifier, resource=lambda path: b"docs",
                                  max_body=MAX_BODY, **where)


@pytest.fixture(scope="module", params=MODES)
def served(request: Any, world: SimpleNamespace) -> Iterator[SimpleNamespace]:
    """The service on uvicorn; an ``x-via`` header sends a request to the
    reference middleware ("reference") or to an app whose Auth was not
    installed ("bare"); ``restart`` gives the service a fresh verifier, its
    chain store empty, the port kept."""
    sock = listening()
    origin = f"http://127.0.0.1:{sock.getsockname()[1]}"
    state = SimpleNamespace(origin=origin, mode=request.param, registrations=0)

    def verifier() -> vestrel.Verifier:
        return vestrel.Verifier([world.root.public_key()])

    def restart() -> None:
        state.app, state.auth = service(verifier(), request.param, origin=origin)

    restart()
    state.restart = restart
    others = {b"reference": reference(verifier(), origin=origin),
              b"bare": service(verifier(), request.param, installed=False, origin=origin)[0]}

    async def dispatch(scope: Any, receive: Any, send: Any) -> None:
        via = dict(scope.get("headers", ())).get(b"x-via") if scope["type"] == "http" else None
        state.registrations += via is None and scope.get("path") == REGISTER
        await (others[via] if via else state.app)(scope, receive, send)

    with uvicorn_on(dispatch, sock):
        yield state


def signer(world: SimpleNamespace, register: Any = "auto") -> Any:
    import vestrel.httpx

    return vestrel.httpx.Auth(world.holder, world.token, register=register)


# Each request, and what its route saw: the path as sent, the query, the body.
ROWS: List[Tuple[Dict[str, Any], Dict[str, Any]]] = [
    ({"method": "GET", "url": "/api/docs/a%20b", "params": {"q": "a b", "u": "ä/é&"}},
     {"name": "a b", "raw": "/api/docs/a%20b", "query": "q=a+b&u=%C3%A4%2F%C3%A9%26", "body": ""}),
    ({"method": "POST", "url": "/api/docs/7?x=%2F", "json": {"title": "notes é", "n": [1, 2]}},
     {"name": "7", "raw": "/api/docs/7", "query": "x=%2F",
      "doc": {"title": "notes é", "n": [1, 2]},
      "body": '{"title": "notes \\u00e9", "n": [1, 2]}'}),
    ({"method": "PUT", "url": "/api/raw", "content": b"\x00raw \xff"},
     {"raw": "/api/raw", "query": "", "body": "\x00raw \xff"}),
    # A list stands for a body streamed in those chunks, with no Content-Length.
    ({"method": "PUT", "url": "/api/raw", "content": [b"stre", b"amed"]},
     {"raw": "/api/raw", "query": "", "body": "streamed"}),
    ({"method": "GET", "url": "/api/twice", "params": {"k": "1"}},
     {"raw": "/api/twice", "query": "k=1", "body": ""}),
]


@once
@pytest.mark.parametrize("client", ["httpx", "httpx-async"])
def test_routes_get_the_chain_and_read_the_body_again(served: SimpleNamespace,
                                                      world: SimpleNamespace, client: str) -> None:
    holder = vestrel.key_id(world.holder.public_key())
    for register, registered in ((False, 0), (True, 1)):
        before = served.registrations
        answers = send(client, signer(world, register),
                       *[{**r, "url": served.origin + r["url"]} for r, _ in ROWS])
        assert [(a.status_code, a.json()) for a in answers] == [
            (200, {**want, "holder": holder}) for _, want in ROWS], [a.text for a in answers]
        assert served.registrations - before == registered


def refusals(world: SimpleNamespace, origin: str) -> Dict[str, Callable[[], Dict[str, Any]]]:
    """Requests refused by the requirement or by the middleware in front of
    it, each made anew by its function, with a fresh proof."""

    def signed(method: str, path: str, body: bytes = b"", token: str = world.token,
               signed_path: Optional[str] = None) -> Dict[str, Any]:
        headers = vestrel.present(world.holder, token, method, origin + (signed_path or path),
                                  body=body or None)
        return {"method": method, "url": origin + path, "headers": headers, "content": body}

    big = b'{"title": "' + b"x" * MAX_BODY + b'"}'
    return {
        "no credentials": lambda: {"method": "GET", "url": origin + "/api/docs/1", "headers": {}},
        "a proof but no chain": lambda: {**signed("GET", "/api/docs/1"), "headers": {
            "Vestrel-Proof": signed("GET", "/api/docs/1")["headers"]["Vestrel-Proof"]}},
        "a malformed proof": lambda: {**signed("GET", "/api/docs/1"), "headers": {
            **signed("GET", "/api/docs/1")["headers"], "Vestrel-Proof": "vp1.x"}},
        "a verb the chain lacks": lambda: signed("DELETE", "/api/docs/1"),
        "an expired chain": lambda: signed("GET", "/api/docs/1", token=world.expired),
        "a proof of another URL": lambda: signed("GET", "/api/docs/1", signed_path="/api/docs/2"),
        "a proof of another body": lambda: {**signed("PUT", "/api/raw", b"a"), "content": b"b"},
        "a body over max_body": lambda: signed("PUT", "/api/raw", big),
        "a body parameter over max_body": lambda: signed("POST", "/api/docs/1", big),
        "a streamed body over max_body": lambda: {**signed("PUT", "/api/raw", big),
                                                  "content": iter([big[:10], big[10:]])},
        "registration by GET": lambda: {"method": "GET", "headers": {},
                                        "url": origin + "/.well-known/vestrel/chains"},
    }


def via(request: Dict[str, Any], where: str) -> Dict[str, Any]:
    return {**request, "headers": {**request["headers"], "x-via": where}}


def answered(reply: Any) -> Tuple[int, Optional[str], Any]:
    return reply.status_code, reply.headers.get("www-authenticate"), reply.json()


@once
def test_refusals_are_answered_as_the_middleware_answers_them(served: SimpleNamespace,
                                                              world: SimpleNamespace) -> None:
    import httpx

    statuses = set()
    with httpx.Client(timeout=30) as client:
        for what, request in refusals(world, served.origin).items():
            got = answered(client.request(**request()))
            want = answered(client.request(**via(request(), "reference")))
            assert got == want, what
            statuses.add(got[0])
            if got[0] == 403:
                # Without the handler installed: the same status and challenge.
                bare = answered(client.request(**via(request(), "bare")))
                assert bare == (want[0], want[1], {"detail": want[2]})
        # The same request twice: its proof is spent.
        url = served.origin + "/api/docs/1"
        again = vestrel.present(world.holder, world.token, "GET", url)
        replies = [client.get(url, headers={**again, **to}) for to in (
            {}, {}, {"x-via": "reference"}, {"x-via": "reference"})]
        assert [r.status_code for r in replies] == [200, 401, 200, 401]
        assert answered(replies[1]) == answered(replies[3])
        assert answered(replies[1])[2] == {"error": "invalid_token", "rule": "ProofReplayed"}
    assert statuses == {400, 401, 403, 405, 413}


@once
@pytest.mark.parametrize("mode", MODES)
def test_named_hosts_are_checked_as_the_middleware_checks_them(world: SimpleNamespace,
                                                               mode: str) -> None:
    from starlette.testclient import TestClient

    hosts = {"hosts": ["api.example.com", "localhost:8000"]}
    apps = [service(vestrel.Verifier([world.root.public_key()]), mode, **hosts)[0],
            reference(vestrel.Verifier([world.root.public_key()]), **hosts)]
    for host, status in (("api.example.com", 200), ("LOCALHOST:8000", 200),
                         ("api.example.com:80", 200), ("evil.example.com", 421),
                         ("localhost:8001", 421), ("a/b", 400), ("api.example.com@evil", 400)):
        # No query: this client's raw_path would carry it twice.
        url = f"http://{host.lower()}/api/docs/1"
        replies = []
        for app in apps:
            headers = {**vestrel.present(world.holder, world.token, "GET", url), "host": host}
            with TestClient(app, base_url="http://api.example.com") as client:
                replies.append(client.get("/api/docs/1", headers=headers))
        assert [r.status_code for r in replies] == [status, status], (host, replies[0].text)
        if status != 200:
            assert answered(replies[0]) == answered(replies[1]), host


@once
def test_the_openapi_document_and_the_docs_pages(served: SimpleNamespace) -> None:
    import httpx

    with httpx.Client(timeout=30) as client:
        document = client.get(served.origin + "/openapi.json").json()
        pages = [client.get(served.origin + p) for p in ("/docs", "/redoc")]
    assert [p.status_code for p in pages] == [200, 200]
    schemes = document["components"]["securitySchemes"]
    assert list(schemes) == ["Vestrel"]
    assert (schemes["Vestrel"]["type"], schemes["Vestrel"]["scheme"]) == ("http", "Vestrel")
    assert "Vestrel-Proof" in schemes["Vestrel"]["description"]
    # FastAPI lists a route's requirement once per dependency: /api/twice has two.
    security = {(method.upper(), path): operation.get("security")
                for path, operations in document["paths"].items()
                for method, operation in operations.items()}
    assert security == {
        ("GET", "/api/docs/{name}"): [{"Vestrel": []}],
        ("POST", "/api/docs/{name}"): [{"Vestrel": []}],
        ("DELETE", "/api/docs/{name}"): [{"Vestrel": []}],
        ("PUT", "/api/raw"): [{"Vestrel": []}],
        ("GET", "/api/twice"): [{"Vestrel": []}, {"Vestrel": []}],
        ("GET", "/health"): None,
    }
    assert served.auth.public("/openapi.json", "GET") and served.auth.public("/docs", "HEAD")
    assert not served.auth.public("/openapi.json", "POST")
    assert not served.auth.public("/api/docs/1", "GET")


@once
@pytest.mark.parametrize("client", ["httpx", "httpx-async"])
def test_a_restarted_service_gets_the_chain_registered_again_once(
        served: SimpleNamespace, world: SimpleNamespace, client: str) -> None:
    import httpx

    auth = signer(world, register=True)
    get = {"method": "GET", "url": served.origin + "/api/docs/1"}
    before = served.registrations
    registered_again_once(client, auth, get, served)
    assert served.registrations - before == 2
    # Registration takes POST only, answered as the middleware answers.
    with httpx.Client(timeout=30) as plain:
        got = plain.get(served.origin + REGISTER)
        want = plain.get(served.origin + REGISTER, headers={"x-via": "reference"})
        bad = [plain.post(served.origin + REGISTER, content=b"vt1.x", headers={
            "vestrel-proof": "x", **to}) for to in ({}, {"x-via": "reference"})]
    assert (got.status_code, got.headers["allow"], got.json()) == (
        want.status_code, want.headers["allow"], want.json())
    assert answered(bad[0]) == answered(bad[1])
    assert bad[0].status_code == 400


@once
def test_mistakes_fail_when_the_app_is_built(world: SimpleNamespace) -> None:
    import fastapi

    import vestrel.fastapi

    verifier = vestrel.Verifier([world.root.public_key()])
    origin = "https://api.example.com"
    for kwargs, error, message in [
            ({}, TypeError, "needs origin="),
            ({"origin": "ftp://api.example.com"}, ValueError, "origin must be a scheme"),
            ({"origin": origin, "hosts": ["a/b"]}, ValueError, "hosts must be names"),
            ({"origin": origin, "max_body": -1}, ValueError, "max_body must be an int"),
            ({"origin": origin, "register_path": "chains"}, ValueError, "register_path must"),
            ({"origin": origin, "app": object()}, TypeError, "install takes a fastapi.FastAPI")]:
        with pytest.raises(error, match=message):
            vestrel.fastapi.Auth(verifier, **kwargs)
    with pytest.raises(TypeError, match="must be a vestrel.Verifier"):
        vestrel.fastapi.Auth(object(), origin=origin)
    auth = vestrel.fastapi.Auth(verifier, origin=origin, register_path=None)
    assert auth.router.routes == []
    for resource, verb, name in (("docs", b"GET", "resource"), (b"docs", "GET", "verb"),
                                 (b"docs", None, "verb")):
        with pytest.raises(TypeError, match=f"route's {name} must be bytes"):
            auth.require(resource, verb)
    app = fastapi.FastAPI(docs_url=None, redoc_url="/api/redoc")
    assert auth.install(app) is app and auth.install(app) is app
    assert [auth.public(p, "GET") for p in ("/openapi.json", "/api/redoc", "/docs")] == [
        True, True, False]


@once
def test_registration_is_matched_by_its_whole_path_only(world: SimpleNamespace) -> None:
    # The registration route passes over other paths without its pattern;
    # mounted under a prefix, behind a root path, and with routes declared
    # after it, it is still found exactly where its pattern would be.
    import fastapi
    from fastapi import Security
    from starlette.testclient import TestClient

    import vestrel.fastapi

    app = fastapi.FastAPI(root_path="/svc")
    auth = vestrel.fastapi.Auth(vestrel.Verifier([world.root.public_key()]),
                                origin="http://testserver")
    app.include_router(auth.router, prefix="/v1")

    @app.post("/x/.well-known/vestrel/chains")
    async def near(chain: vestrel.VerifiedChain = Security(auth.require(b"docs", b"GET"))) -> Any:
        return {}

    @app.post("/v1/.well-known/vestrel/chains/more")
    async def after() -> Any:
        return {"after": True}

    url = "http://testserver/v1/.well-known/vestrel/chains"
    headers, body, _ = vestrel.register(world.holder, world.token, url)
    with TestClient(app) as client:
        assert client.post("/v1/.well-known/vestrel/chains", headers=headers,
                           content=body).status_code == 201
        assert client.get("/v1/.well-known/vestrel/chains").status_code == 405
        assert client.post("/.well-known/vestrel/chains").status_code == 404
        assert client.post("/x/.well-known/vestrel/chains").status_code == 401
        assert client.post("/v1/.well-known/vestrel/chains/more").json() == {"after": True}


@once
def test_a_websocket_route_with_a_requirement_is_closed_before_it_is_accepted(
        world: SimpleNamespace) -> None:
    import fastapi
    from fastapi import Depends, WebSocket
    from starlette.testclient import TestClient
    from starlette.websockets import WebSocketDisconnect

    import vestrel.fastapi

    app = fastapi.FastAPI()
    auth = vestrel.fastapi.Auth(vestrel.Verifier([world.root.public_key()]),
                                origin="http://testserver", app=app)

    @app.websocket("/ws")
    async def feed(socket: WebSocket, chain: vestrel.VerifiedChain = Depends(
            auth.require(b"docs", b"GET"))) -> None:
        await socket.accept()

    headers = vestrel.present(world.holder, world.token, "GET", "http://testserver/ws")
    with pytest.raises(WebSocketDisconnect) as closed:
        with TestClient(app).websocket_connect("/ws", headers=headers):
            pass
    assert closed.value.code == 1008


# ---- docs/frameworks.md, FastAPI section ------------------------------------

def test_the_fastapi_blocks_are_short() -> None:
    blocks = section_blocks(FRAMEWORKS_DOC, "FastAPI")
    assert len(blocks) >= 3
    assert [first for first, source in blocks if len(source.strip().splitlines()) >= 20] == []


@once
def test_the_fastapi_section_runs_as_pasted(tmp_path: Path, monkeypatch: Any) -> None:
    monkeypatch.chdir(tmp_path)
    port = [0]
    tls_proxy(monkeypatch, port)
    namespace: Dict[str, Any] = {"__name__": "frameworks_doc"}
    clients = 0
    with contextlib.ExitStack() as stack:
        served: List[int] = []
        for first, source in section_blocks(FRAMEWORKS_DOC, "FastAPI"):
            code = compile(source, str(FRAMEWORKS_DOC), "exec")
            if not re.search(r"^import httpx$", source, re.M):
                exec(code, namespace)
                continue
            served = served or [stack.enter_context(uvicorn_on(namespace[name]))
                                for name in ("app", "guarded")]
            for port[0] in served:
                exec(code, namespace)
                reply = namespace["reply"]
                assert reply.status_code == 200, (first, port[0], reply.text)
                assert reply.json()["holder"] == vestrel.key_id(namespace["holder"].public_key())
            clients += 1
    assert clients >= 1, "the client blocks did not run"


# ---- examples/fastapi_service, as scripts/demo.sh runs it -------------------

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "fastapi_service" / "run.sh"


def run_example(**env: str) -> Any:
    path = os.pathsep.join([os.environ["VESTREL_PACKAGE_DIR"],
                            os.environ["VESTREL_KERNEL_MODULE_DIR"]])
    return subprocess.run(["bash", str(EXAMPLE)], capture_output=True, text=True, timeout=120,
                          env={**os.environ, "PYTHONPATH": path, **env})


@once
def test_the_example_service_runs_with_redis_and_stops() -> None:
    if shutil.which("redis-server") is None:
        pytest.skip("no redis-server here")
    done = run_example()
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert [line.split(":")[0] for line in lines if line[:4] in ("ok  ", "FAIL")] == [
        "ok   writer saves note 7", "ok   reader reads it (async)", "ok   reader may not write",
        "ok   no credentials"], done.stdout
    # Both servers were stopped: their ports no longer answer.
    ports = re.search(r"on http://127\.0\.0\.1:(\d+), Redis on port (\d+)", done.stdout)
    assert ports is not None, done.stdout
    for port in ports.groups():
        with pytest.raises(OSError):
            socket.create_connection(("127.0.0.1", int(port)), timeout=1).close()


@once
def test_the_example_says_why_it_skips() -> None:
    done = run_example(VESTREL_DEMO_PYTHON="/bin/false")
    assert (done.returncode, done.stdout.splitlines()[0]) == (
        0, "fastapi_service: skipped, /bin/false cannot import FastAPI, uvicorn, httpx and redis:")
