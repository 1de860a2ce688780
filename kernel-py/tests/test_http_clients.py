"""Clients that sign for their caller (vestrel.httpx, vestrel.requests):
the shared flow driven by hand, then httpx (sync and async) and requests
against Starlette on uvicorn and Flask on Werkzeug, on 127.0.0.1, sending
what those clients rewrite (params, escapes, dot segments, JSON and form
bodies), a 16-credential chain by reference, and a service that restarts
with no chain registered."""

from __future__ import annotations

import asyncio
import os
import socket
import subprocess
import sys
import threading
import time
from types import SimpleNamespace
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import pytest

import vestrel
import vestrel._client
import vestrel.asgi
import vestrel.wsgi
from conftest import DEBIAN_PYTHON, under_address_sanitizer

REGISTER = "/.well-known/vestrel/chains"
MOVED = "/api/moved"  # redirects to /api/docs/1
PERMS = [(b"docs", b"GET"), (b"docs", b"POST")]



def servers_once(test: Callable[..., None]) -> Callable[..., None]:
    """The frameworks are Debian's, built for its python3: the server tests
    run once per suite, under it."""
    marked: Callable[..., None] = pytest.mark.skipif(
        os.path.realpath(sys.executable) != os.path.realpath(DEBIAN_PYTHON),
        reason="servers run once per suite, under Debian's python3")(test)
    marked = pytest.mark.skipif(under_address_sanitizer(), reason="not on a sanitized build")(marked)
    return marked


def chain(islands: List[vestrel.IdentityIsland]) -> bytes:
    wire = None
    for n, (issuer, child) in enumerate(zip(islands, islands[1:])):
        wire = vestrel.delegate(wire, issuer, child.public_key(),
                                "leaf" if n == len(islands) - 2 else "node", PERMS)
    assert wire is not None
    return wire


@pytest.fixture(scope="module")
def world(identities: Callable[[str], vestrel.IdentityIsland]) -> SimpleNamespace:
    root, holder = identities("root"), identities("holder")
    return SimpleNamespace(
        root=root, holder=holder, short=chain([root, holder]),
        long=chain([root, *[identities(f"m{i}") for i in range(15)], holder]))


# ---- The flow, driven by hand ------------------------------------------------

def drive(signer: vestrel._client.Signer, answers: List[Tuple[int, str]], url: str,
          verifier: Optional[vestrel.Verifier] = None, body: Optional[bytes] = None
          ) -> List[vestrel._client.Outgoing]:
    """Every request the flow asks for, each answered with the next of
    ``answers``; a verifier given checks each signed request's proof."""
    sent = []
    flow = signer.flow("POST", url, body)
    try:
        outgoing = next(flow)
        for status, challenge in answers:
            sent.append(outgoing)
            if verifier is not None:
                if outgoing.registration:
                    verifier.register_request(outgoing.url, outgoing.headers, outgoing.body)
                else:
                    verifier.verify_request("POST", url, outgoing.headers, body=body or b"")
            outgoing = flow.send((status, challenge))
    except StopIteration:
        return sent
    raise AssertionError(f"the flow asked for more than {len(answers)} requests: {sent}")


UNKNOWN = (401, 'Vestrel error="invalid_token", error_description="ChainUnknown: gone"')
EXPIRED = (401, 'Vestrel error="invalid_token", error_description="ProofExpired: old"')
OK, CREATED = (200, ""), (201, "")


def test_the_flow_registers_per_origin_and_retries_once(world: SimpleNamespace) -> None:
    verifier = vestrel.Verifier([world.root.public_key()])  # checks every proof the flow makes
    modes: List[Tuple[str, Any, Any]] = [
        ("long", world.long, "auto"), ("never", world.long, False), ("short", world.short, "auto"),
        ("ref", vestrel.chain_ref(world.long), "auto"), ("always", world.short, True)]
    signers = {name: vestrel._client.Signer(world.holder, given, register=mode)
               for name, given, mode in modes}
    url = "https://a.example/api/docs/%41?q=a+b"
    # signer, URL, answers, the requests sent (R registration, S signed), in order
    rows = [("long", url, [CREATED, OK], "RS"),  # 113 KB of token: registered on first use
            ("long", url, [OK], "S"),  # then its reference is remembered
            ("long", "https://A.example:443/other?x", [OK], "S"),  # the same origin
            ("long", "https://a.example:8443/x", [CREATED, OK], "RS"),  # another port, service
            ("long", url, [UNKNOWN, CREATED, OK], "SRS"),  # forgotten: registered, sent again
            ("long", url, [UNKNOWN, CREATED, UNKNOWN], "SRS"),  # but never a second time
            ("long", url, [EXPIRED], "S"),  # any other refusal is the caller's
            ("never", url, [UNKNOWN], "S"), ("short", url, [UNKNOWN], "S"),  # tokens in the header
            ("ref", url, [UNKNOWN], "S"),  # a reference cannot be registered again
            ("always", url, [CREATED, OK], "RS")]
    for number, (name, where, answers, kinds) in enumerate(rows):
        sent = drive(signers[name], answers, where, verifier, body=b'{"a": 1}')
        assert "".join("R" if o.registration else "S" for o in sent) == kinds, number
        origin = where[:where.index("/", 8)]
        assert [o.url for o in sent if o.registration] == [origin + REGISTER] * kinds.count("R")
        assert all(o.headers["Authorization"].startswith(
            "Vestrel vt1." if name in ("never", "short") else "Vestrel vr1.")
            for o in sent if not o.registration), number


def test_a_refused_registration_says_where_and_why(world: SimpleNamespace) -> None:
    signer = vestrel._client.Signer(world.holder, world.long, register_path="/chains")
    for status, challenge, shown in ((404, "", "(is register_path the service's?)"),
                                     (401, 'error_description="ProofExpired: old"', "ProofExpired"),
                                     (413, "", "answered 413")):
        with pytest.raises(vestrel._client.RegistrationFailed) as failed:
            drive(signer, [(status, challenge)], "http://user@h.example:81/a")
        assert failed.value.url == "http://h.example:81/chains" and shown in str(failed.value)
        assert failed.value.status == status


BAD_SIGNERS = [  # keyword arguments, exception, message
    ({"holder": b"key"}, TypeError, "holder must be"),
    ({"register": "yes"}, ValueError, "register must be"),
    ({"register": 1}, ValueError, "register must be"),
    ({"register_path": "chains"}, ValueError, "register_path must be"),
    ({"register_path": "/c?x"}, ValueError, "register_path must be"),
    ({"chain": "Vestrel vt1.x"}, ValueError, "chain must be a wire"),
    ({"chain": "ref", "register": True}, ValueError, "cannot be registered"),
    ({"chain": b"\x01\x00"}, vestrel.Refused, ""),
]


@pytest.mark.parametrize("kwargs,error,message", BAD_SIGNERS)
def test_bad_arguments_are_refused_when_the_signer_is_made(
        world: SimpleNamespace, kwargs: Dict[str, Any], error: Any, message: str) -> None:
    arguments: Dict[str, Any] = {"holder": world.holder, "chain": world.short, **kwargs}
    if arguments["chain"] == "ref":
        arguments["chain"] = vestrel.chain_ref(world.short)
    with pytest.raises(error, match=message):
        vestrel._client.Signer(arguments.pop("holder"), arguments.pop("chain"), **arguments)


# ---- Real clients, real servers ---------------------------------------------

class Service:
    """One service under test: its Authorize can be replaced by a fresh one,
    with a new verifier and so no chain registered (a restart), while the
    server keeps its port."""

    def __init__(self, root_pk: bytes, build: Callable[[vestrel.Verifier], Any]) -> None:
        self.root_pk, self.build = root_pk, build
        self.registrations = 0
        self.restart()

    def restart(self) -> None:
        self.guarded = self.build(vestrel.Verifier([self.root_pk]))


def serve_starlette(world: SimpleNamespace) -> Iterator[Tuple[str, Service]]:
    import uvicorn  # type: ignore[import]
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse, RedirectResponse
    from starlette.routing import Route

    async def echo(request: Any) -> Any:
        if request.url.path == MOVED:
            return RedirectResponse("/api/docs/1", status_code=302)
        return JSONResponse(seen(request.scope["raw_path"].decode(), request.url.query,
                                 await request.body()))

    site = Starlette(routes=[Route("/{rest:path}", echo, methods=["GET", "POST"])])
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    origin = f"http://127.0.0.1:{sock.getsockname()[1]}"
    served = Service(world.root.public_key(), lambda verifier: vestrel.asgi.Authorize(
        site, verifier, origin=origin, resource=lambda path: b"docs"))

    async def app(scope: Any, receive: Any, send: Any) -> None:
        served.registrations += scope.get("path") == REGISTER
        await served.guarded(scope, receive, send)

    server = uvicorn.Server(uvicorn.Config(app, log_level="error", lifespan="off"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    deadline = time.monotonic() + 30
    while not server.started:
        assert thread.is_alive() and time.monotonic() < deadline, "uvicorn did not start"
        time.sleep(0.01)
    yield origin, served
    server.should_exit = True
    thread.join(30)
    assert not thread.is_alive()


def serve_flask(world: SimpleNamespace) -> Iterator[Tuple[str, Service]]:
    import flask
    from werkzeug.serving import make_server

    site = flask.Flask("vestrel-clients")

    @site.route("/<path:rest>", methods=["GET", "POST"])
    def echo(rest: str) -> Any:
        request = flask.request
        if request.path == MOVED:
            return flask.redirect("/api/docs/1", 302)
        return seen(request.environ["REQUEST_URI"].partition("?")[0],
                    request.query_string.decode(), request.get_data())

    def counted(environ: Any, start_response: Any) -> Any:
        served.registrations += environ.get("PATH_INFO") == REGISTER
        return served.guarded(environ, start_response)

    server = make_server("127.0.0.1", 0, counted, threaded=True)
    origin = f"http://127.0.0.1:{server.server_port}"
    served = Service(world.root.public_key(), lambda verifier: vestrel.wsgi.Authorize(
        site.wsgi_app, verifier, origin=origin, resource=lambda path: b"docs"))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield origin, served
    server.shutdown()
    thread.join(30)
    assert not thread.is_alive()


def seen(path: str, query: str, body: bytes) -> Dict[str, str]:
    return {"path": path, "query": query, "body": body.decode("utf-8")}


@pytest.fixture(scope="module", params=["starlette", "flask"])
def service(request: Any, world: SimpleNamespace) -> Iterator[Tuple[str, Service]]:
    serve = serve_starlette if request.param == "starlette" else serve_flask
    yield from serve(world)


def httpx_sync(auth: Any, requests: List[Dict[str, Any]]) -> List[Any]:
    import httpx

    with httpx.Client(auth=auth, timeout=30) as client:
        return [client.request(**r) for r in requests]


def httpx_async(auth: Any, requests: List[Dict[str, Any]]) -> List[Any]:
    import httpx

    async def run() -> List[Any]:
        async with httpx.AsyncClient(auth=auth, timeout=30) as client:
            return [await client.request(**r) for r in requests]

    return asyncio.run(run())


def requests_session(auth: Any, requests: List[Dict[str, Any]]) -> List[Any]:
    import requests as client  # type: ignore[import]

    with client.Session() as session:
        session.auth = auth
        return [session.request(**{"timeout": 30, **r}) for r in requests]


def auth_for(name: str, *args: Any, **kwargs: Any) -> Any:
    if name == "requests":
        import vestrel.requests

        return vestrel.requests.Auth(*args, **kwargs)
    import vestrel.httpx

    return vestrel.httpx.Auth(*args, **kwargs)


CLIENTS = {"httpx": httpx_sync, "httpx-async": httpx_async, "requests": requests_session}
# Each request, and what the app sees of it: the path as sent, the query, the body.
ROWS: List[Tuple[Dict[str, Any], Dict[str, str]]] = [
    ({"method": "GET", "url": "/api/docs/a%2fb", "params": {"q": "a b", "u": "ä/é&"}},
     {"path": "/api/docs/a%2Fb", "query": "q=a+b&u=%C3%A4%2F%C3%A9%26", "body": ""}),
    ({"method": "GET", "url": "/api/x/../docs/1", "params": [("k", "1"), ("k", "2")]},
     {"path": "/api/docs/1", "query": "k=1&k=2", "body": ""}),
    ({"method": "POST", "url": "/api/docs/7", "json": {"title": "notes é", "n": [1, 2]}},
     {"path": "/api/docs/7", "query": "", "body": '{"title": "notes \\u00e9", "n": [1, 2]}'}),
    ({"method": "POST", "url": "/api/docs/7", "data": {"a": "b c", "é": "&"}},
     {"path": "/api/docs/7", "query": "", "body": "a=b+c&%C3%A9=%26"}),
]


@servers_once
@pytest.mark.parametrize("client", list(CLIENTS))
def test_clients_sign_what_they_send(service: Tuple[str, Service], world: SimpleNamespace,
                                     client: str) -> None:
    origin, served = service
    for wire, registered in ((world.short, 0), (world.long, 1)):
        before = served.registrations
        answers = CLIENTS[client](auth_for(client, world.holder, wire),
                                  [{**r, "url": origin + r["url"]} for r, _ in ROWS])
        assert [(a.status_code, a.json()) for a in answers] == [(200, w) for _, w in ROWS], [
            a.text for a in answers]
        # The 16-credential chain is registered once, for all four requests.
        assert served.registrations - before == registered
    # requests rewrites %41 to A (which is then what it signs), httpx keeps it.
    answer = CLIENTS[client](auth_for(client, world.holder, world.short),
                             [{"method": "GET", "url": origin + "/api/docs/%41"}])[0]
    assert answer.json()["path"] == ("/api/docs/A" if client == "requests" else "/api/docs/%41")


@servers_once
@pytest.mark.parametrize("client", list(CLIENTS))
def test_a_restarted_service_gets_the_chain_again(service: Tuple[str, Service],
                                                  world: SimpleNamespace, client: str) -> None:
    origin, served = service
    auth = auth_for(client, world.holder, world.long)
    get = {"method": "GET", "url": origin + "/api/docs/1"}
    before = served.registrations
    assert [a.status_code for a in CLIENTS[client](auth, [get])] == [200]
    served.restart()
    # The same auth: the service has forgotten the reference it remembers.
    answers = CLIENTS[client](auth, [get, get])
    assert [a.status_code for a in answers] == [200, 200]
    assert served.registrations - before == 2
    assert [h.status_code for h in answers[0].history] == [401, 201]


class Forgetful:
    """A chain store that keeps nothing: every reference is unknown."""

    def put(self, digest: bytes, wire: bytes, now: int, expires_at: int) -> None:
        pass

    def get(self, digest: bytes, now: int) -> Optional[bytes]:
        return None


@servers_once
@pytest.mark.parametrize("client", list(CLIENTS))
def test_no_loop_when_registering_never_helps(service: Tuple[str, Service],
                                              world: SimpleNamespace, client: str) -> None:
    origin, served = service
    served.guarded = served.build(vestrel.Verifier([served.root_pk], chains=Forgetful()))
    try:
        before = served.registrations
        answer = CLIENTS[client](auth_for(client, world.holder, world.long),
                                 [{"method": "GET", "url": origin + "/api/docs/1"}])[0]
        assert (answer.status_code, answer.json()["rule"]) == (401, "ChainUnknown")
        assert served.registrations - before == 2
        with pytest.raises(vestrel._client.RegistrationFailed, match="answered 401"):
            CLIENTS[client](auth_for(client, world.holder, world.long, register_path="/nope"),
                            [{"method": "GET", "url": origin + "/api/docs/1"}])
    finally:
        served.restart()


@servers_once
def test_streamed_bodies_and_redirects(service: Tuple[str, Service],
                                       world: SimpleNamespace) -> None:
    import requests

    origin, _ = service
    # httpx reads a streamed body before the flow: it is signed like any other.
    answer = CLIENTS["httpx"](auth_for("httpx", world.holder, world.short), [
        {"method": "POST", "url": origin + "/api/docs/1", "content": iter([b"a", b"b"])}])[0]
    assert (answer.status_code, answer.json()["body"]) == (200, "ab")
    with pytest.raises(TypeError, match="streamed body"):
        requests.post(origin + "/api/docs/1", data=iter([b"a"]),
                      auth=auth_for("requests", world.holder, world.short))
    # A redirect is followed without the first URL's proof (spent, and for
    # another URL): the service asks for credentials, never sees a stale proof.
    answer = requests.get(origin + MOVED, auth=auth_for("requests", world.holder, world.short),
                          timeout=30)
    assert [a.status_code for a in answer.history][-1:] == [302]
    assert (answer.status_code, answer.json()["rule"]) == (401, "ProofMissing")
    assert "Vestrel-Proof" not in answer.request.headers


@servers_once
def test_each_adapter_imports_its_own_client_only() -> None:
    code = ("import sys, vestrel.{0}; assert vestrel.{0}.{0}.__file__ != vestrel.{0}.__file__; "
            "print(sorted({{m.split('.')[0] for m in sys.modules}} & {{'httpx', 'requests'}}))")
    for name in ("httpx", "requests"):
        done = subprocess.run([sys.executable, "-c", code.format(name)], capture_output=True,
                              text=True, timeout=60,
                              env=dict(os.environ, PYTHONPATH=os.environ["VESTREL_PACKAGE_DIR"]
                                       + ":" + os.environ["VESTREL_KERNEL_MODULE_DIR"]))
        assert (done.returncode, done.stdout.strip()) == (0, f"['{name}']"), done.stderr
