"""Clients that sign for their caller (vestrel.httpx, vestrel.requests):
the shared flow driven by hand, then httpx (sync and async) and requests
against Starlette on uvicorn and Flask on Werkzeug, sending what those
clients rewrite (params, escapes, dot segments, JSON and form bodies), a
16-credential chain by reference, and a service that restarts with no chain
registered."""

from __future__ import annotations

import asyncio
import os
import subprocess
import sys
from types import SimpleNamespace
from typing import Any, AsyncIterator, Callable, Dict, Iterator, List, Optional, Tuple

import pytest

import vestrel
import vestrel._client
import vestrel.asgi
import vestrel.wsgi
from servers import listening, once, uvicorn_on, werkzeug_on
from test_http_servers import chain_of

REGISTER = "/.well-known/vestrel/chains"
MOVED = "/api/moved"  # redirects to /api/docs/1


@pytest.fixture(scope="module")
def world(identities: Callable[[str], vestrel.IdentityIsland]) -> SimpleNamespace:
    root, holder = identities("root"), identities("holder")
    return SimpleNamespace(
        root=root, holder=holder, short=chain_of([root, holder]),
        long=chain_of([root, *[identities(f"m{i}") for i in range(15)], holder]))


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

def sites() -> Dict[str, Tuple[Any, Any, Any]]:
    """Echo apps, each with its middleware and its server: what the app saw
    of the path as sent, the query and the body; MOVED redirects."""
    import flask
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse, RedirectResponse
    from starlette.routing import Route

    async def echo(request: Any) -> Any:
        if request.url.path == MOVED:
            return RedirectResponse("/api/docs/1", status_code=302)
        return JSONResponse({"path": request.scope["raw_path"].decode(), "query": request.url.query,
                             "body": (await request.body()).decode()})

    site = flask.Flask("vestrel-clients")

    @site.route("/<path:rest>", methods=["GET", "POST"])
    def flask_echo(rest: str) -> Any:
        request = flask.request
        if request.path == MOVED:
            return flask.redirect("/api/docs/1", 302)
        return {"path": request.environ["REQUEST_URI"].partition("?")[0],
                "query": request.query_string.decode(), "body": request.get_data().decode()}

    return {"starlette": (Starlette(routes=[Route("/{rest:path}", echo, methods=["GET", "POST"])]),
                          vestrel.asgi.Authorize, uvicorn_on),
            "flask": (site.wsgi_app, vestrel.wsgi.Authorize, werkzeug_on)}


@pytest.fixture(scope="module", params=["starlette", "flask"])
def service(request: Any, world: SimpleNamespace) -> Iterator[Tuple[str, Any]]:
    """The service, and its Authorize that ``restart`` replaces with a fresh
    one: a new verifier, no chain registered, the server keeping its port."""
    site, guard, serve = sites()[request.param]
    sock = listening()
    origin = f"http://127.0.0.1:{sock.getsockname()[1]}"
    served = SimpleNamespace(registrations=0)

    def restart(chains: Any = None) -> None:
        served.guarded = guard(site, vestrel.Verifier([world.root.public_key()], chains=chains),
                               origin=origin, resource=lambda path: b"docs")

    async def asgi(scope: Any, receive: Any, send: Any) -> None:
        served.registrations += scope.get("path") == REGISTER
        await served.guarded(scope, receive, send)

    def wsgi(environ: Any, start_response: Any) -> Any:
        served.registrations += environ.get("PATH_INFO") == REGISTER
        return served.guarded(environ, start_response)

    served.restart = restart
    restart()
    with serve(asgi if request.param == "starlette" else wsgi, sock):
        yield origin, served


def send(client: str, auth: Any, *requests: Dict[str, Any]) -> List[Any]:
    """Sends ``requests`` in order with one client (a session) of kind
    ``client``. A list given as ``content`` is sent as a stream of those
    chunks (an async one by the async client)."""
    import httpx
    import requests as requests_  # type: ignore[import]

    async def streamed(chunks: Iterator[bytes]) -> AsyncIterator[bytes]:
        for chunk in chunks:
            yield chunk

    def chunked(request: Dict[str, Any], asynchronous: bool) -> Dict[str, Any]:
        chunks = request.get("content")
        if not isinstance(chunks, list):
            return request
        return {**request, "content": streamed(iter(chunks)) if asynchronous else iter(chunks)}

    async def in_async() -> List[Any]:
        async with httpx.AsyncClient(auth=auth, timeout=30) as session:
            return [await session.request(**chunked(r, True)) for r in requests]

    if client == "httpx-async":
        return asyncio.run(in_async())
    if client == "httpx":
        with httpx.Client(auth=auth, timeout=30) as session:
            return [session.request(**chunked(r, False)) for r in requests]
    with requests_.Session() as plain:
        plain.auth = auth
        return [plain.request(**{"timeout": 30, **chunked(r, False)}) for r in requests]


def registered_again_once(client: str, auth: Any, request: Dict[str, Any], service: Any) -> Any:
    """Sends ``request``, restarts ``service`` (which forgets every chain
    registered with it), then sends it twice more with the same auth: the
    first of the two is refused ChainUnknown, registers the chain again and
    is sent again; the second goes straight through. Returns the answer
    from before the restart."""
    first = send(client, auth, request)[0]
    assert first.status_code == 200
    service.restart()
    answers = send(client, auth, request, request)
    assert [a.status_code for a in answers] == [200, 200], answers[0].text
    assert [h.status_code for h in answers[0].history] == [401, 201]
    assert answers[1].history == []
    return first


def auth_for(client: str, *args: Any, **kwargs: Any) -> Any:
    import vestrel.httpx
    import vestrel.requests

    return (vestrel.requests if client == "requests" else vestrel.httpx).Auth(*args, **kwargs)


CLIENTS = ["httpx", "httpx-async", "requests"]
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


@once
@pytest.mark.parametrize("client", CLIENTS)
def test_clients_sign_what_they_send(service: Tuple[str, Any], world: SimpleNamespace,
                                     client: str) -> None:
    origin, served = service
    for wire, registered in ((world.short, 0), (world.long, 1)):
        before = served.registrations
        answers = send(client, auth_for(client, world.holder, wire),
                       *[{**r, "url": origin + r["url"]} for r, _ in ROWS])
        assert [(a.status_code, a.json()) for a in answers] == [(200, w) for _, w in ROWS], [
            a.text for a in answers]
        # The 16-credential chain is registered once, for all four requests.
        assert served.registrations - before == registered
    # requests rewrites %41 to A (which is then what it signs), httpx keeps it.
    answer = send(client, auth_for(client, world.holder, world.short),
                  {"method": "GET", "url": origin + "/api/docs/%41"})[0]
    assert answer.json()["path"] == ("/api/docs/A" if client == "requests" else "/api/docs/%41")


class Forgetful:
    """A chain store that keeps nothing: every reference is unknown."""

    def put(self, digest: bytes, wire: bytes, now: int, expires_at: int) -> None:
        pass

    def get(self, digest: bytes, now: int) -> Optional[bytes]:
        return None


@once
@pytest.mark.parametrize("client", CLIENTS)
def test_a_forgotten_chain_is_registered_again_once(service: Tuple[str, Any],
                                                    world: SimpleNamespace, client: str) -> None:
    origin, served = service
    auth = auth_for(client, world.holder, world.long)
    get = {"method": "GET", "url": origin + "/api/docs/1"}
    before = served.registrations
    registered_again_once(client, auth, get, served)
    assert served.registrations - before == 2
    # A store that never keeps it: one registration more, then the refusal, no loop.
    served.restart(chains=Forgetful())
    try:
        answer = send(client, auth_for(client, world.holder, world.long), get)[0]
        assert (answer.status_code, answer.json()["rule"]) == (401, "ChainUnknown")
        assert served.registrations - before == 4
        with pytest.raises(vestrel._client.RegistrationFailed, match="answered 401"):
            send(client, auth_for(client, world.holder, world.long, register_path="/nope"), get)
    finally:
        served.restart()


@once
def test_streamed_bodies_and_redirects(service: Tuple[str, Any],
                                       world: SimpleNamespace) -> None:
    import requests

    origin, _ = service
    # httpx reads a streamed body before the flow: it is signed like any other.
    answer = send("httpx", auth_for("httpx", world.holder, world.short), {
        "method": "POST", "url": origin + "/api/docs/1", "content": iter([b"a", b"b"])})[0]
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


@once
def test_each_adapter_imports_its_own_client_only() -> None:
    code = ("import sys, vestrel.{0}; assert vestrel.{0}.{0}.__file__ != vestrel.{0}.__file__; "
            "print(sorted({{m.split('.')[0] for m in sys.modules}} & {{'httpx', 'requests'}}))")
    for name in ("httpx", "requests"):
        done = subprocess.run([sys.executable, "-c", code.format(name)], capture_output=True,
                              text=True, timeout=60,
                              env=dict(os.environ, PYTHONPATH=os.environ["VESTREL_PACKAGE_DIR"]
                                       + ":" + os.environ["VESTREL_KERNEL_MODULE_DIR"]))
        assert (done.returncode, done.stdout.strip()) == (0, f"['{name}']"), done.stderr
