"""The middlewares behind real servers (Starlette on uvicorn, Flask on
Werkzeug) driven by real clients, and hostile requests fed to them
directly."""

from __future__ import annotations

import asyncio
import io
import importlib
import os
import re
import socket
import subprocess
import sys
import threading
import time
from types import SimpleNamespace
from typing import Any, Callable, Dict, Iterable, Iterator, List, Literal, Optional, Tuple

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vestrel
import vestrel._http
import vestrel.asgi
import vestrel.wsgi
from conftest import DEBIAN_PYTHON

DOCS, ADMIN, HEALTH = "/api/docs/1", "/api/admin", "/health"
RAW = DOCS + "?b=%2F&a=%20"  # the proof covers the query's bytes, not what they decode to
PERMS = [(b"docs", b"GET"), (b"docs", b"POST"), (DOCS.encode(), b"GET"), (DOCS.encode(), b"POST")]


def frameworks(*names: str) -> List[Any]:
    """The modules, or a skip where this interpreter cannot import them (the
    pyenv ones see Debian's packages, built for another python3)."""
    try:
        return [importlib.import_module(name) for name in names]
    except Exception as error:
        if os.path.realpath(sys.executable) == os.path.realpath(DEBIAN_PYTHON):
            raise
        pytest.skip(f"{names} do not import here: {error!r}")


def chain_of(islands: List[vestrel.IdentityIsland], **bounds: int) -> bytes:
    wire = None
    for n, (issuer, child) in enumerate(zip(islands, islands[1:])):
        role: Literal["leaf", "node"] = "leaf" if n == len(islands) - 2 else "node"
        wire = vestrel.delegate(wire, issuer, child.public_key(), role, PERMS, **bounds)
    assert wire is not None
    return wire


class World(SimpleNamespace):
    def __repr__(self) -> str:  # hypothesis prints its arguments
        return "<world>"


@pytest.fixture(scope="module")
def world(identities: Callable[[str], vestrel.IdentityIsland]) -> SimpleNamespace:
    root, holder, other = identities("root"), identities("holder"), identities("other")
    middle = [identities(f"m{i}") for i in range(15)]
    revoked = chain_of([root, holder])
    verifier = vestrel.Verifier([root.public_key()])
    verifier.revoke(verifier.verify(revoked).revocation_ids[0])
    return World(
        verifier=verifier, holder=holder, other=other,
        wire=chain_of([root, identities("a"), identities("b"), holder]),
        long=chain_of([root, *middle, holder]), single=chain_of([root, other]),
        revoked=vestrel.encode_token(revoked),
        expired=vestrel.encode_token(chain_of([root, holder], not_after=int(time.time()) - 5)))


def docs_resource(path: str) -> bytes:
    return b"docs" if path.startswith("/api/docs/") else path.encode()


def serve_starlette(world: SimpleNamespace) -> Iterator[Tuple[str, Any]]:
    applications, responses, routing, uvicorn, httpx = frameworks(
        "starlette.applications", "starlette.responses", "starlette.routing", "uvicorn", "httpx")

    async def echo(request: Any) -> Any:
        chain = getattr(request.state, "vestrel_chain", None)
        return responses.JSONResponse(seen(chain, await request.body()))

    app = applications.Starlette(routes=[routing.Route(p, echo, methods=["GET", "POST", "DELETE"])
                                         for p in (DOCS, ADMIN, HEALTH)])
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    guarded = vestrel.asgi.Authorize(app, world.verifier, resource=docs_resource,
                                     public=lambda path, method: path == HEALTH,
                                     origin=f"http://127.0.0.1:{sock.getsockname()[1]}")
    server = uvicorn.Server(uvicorn.Config(guarded, log_level="error", lifespan="off"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    while not server.started and thread.is_alive():
        time.sleep(0.01)
    if not server.started:
        frameworks("no-uvicorn-server-here")  # a skip, or under Debian's python3 a failure
    with httpx.Client(timeout=30) as client:
        yield f"http://127.0.0.1:{sock.getsockname()[1]}", client
    server.should_exit = True
    thread.join(30)
    assert not thread.is_alive()


def serve_flask(world: SimpleNamespace) -> Iterator[Tuple[str, Any]]:
    flask, serving, requests = frameworks("flask", "werkzeug.serving", "requests")
    app = flask.Flask("vestrel-test")

    def echo() -> Any:
        return seen(flask.request.environ.get("vestrel.chain"), flask.request.get_data())

    for path in (DOCS, ADMIN, HEALTH):
        app.add_url_rule(path, path, echo, methods=["GET", "POST", "DELETE"])
    server = serving.make_server("127.0.0.1", 0, app, threaded=True)
    # The Host header the client sends, named rather than trusted.
    app.wsgi_app = vestrel.wsgi.Authorize(app.wsgi_app, world.verifier,
                                          public=lambda path, method: path == HEALTH,
                                          hosts=[f"127.0.0.1:{server.server_port}"])
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    with requests.Session() as client:
        yield f"http://127.0.0.1:{server.server_port}", client
    server.shutdown()
    thread.join(30)
    assert not thread.is_alive()


def seen(chain: Optional[vestrel.VerifiedChain], body: bytes) -> Dict[str, Any]:
    return {"length": chain and chain.length, "body": body.decode("latin-1")}


@pytest.fixture(scope="module", params=["starlette", "flask"])
def site(request: Any, world: SimpleNamespace) -> Iterator[SimpleNamespace]:
    serve = serve_starlette if request.param == "starlette" else serve_flask
    for base, client in serve(world):
        def send(method: str, path: str, headers: Dict[str, str], body: bytes = b"") -> Any:
            return client.request(method, base + path, headers=headers, content=body) \
                if request.param == "starlette" else \
                client.request(method, base + path, headers=headers, data=body, timeout=30)

        def url(path: str) -> str:
            return base + path

        headers, body, ref = vestrel.register(world.holder, vestrel.encode_token(world.wire),
                                              url(REGISTER))
        answer = send("POST", REGISTER, headers, body)
        assert (answer.status_code, answer.json()["ref"]) == (201, ref), answer.text
        yield SimpleNamespace(send=send, url=url, ref=ref, name=request.param)


def presented(w: SimpleNamespace, s: SimpleNamespace, method: str = "GET", path: str = DOCS,
              chain: Any = None, body: Optional[bytes] = None, holder: Any = None,
              url: Optional[str] = None, **kw: Any) -> Dict[str, str]:
    return vestrel.present(holder or w.holder, chain or s.ref, method, url or s.url(path),
                           body=body, **kw)


def get(headers: Dict[str, str], path: str = DOCS) -> Tuple[str, str, Dict[str, str], bytes]:
    return ("GET", path, headers, b"")


def swapped(headers: Dict[str, str], **replaced: str) -> Dict[str, str]:
    return {**headers, **{name.replace("_", "-"): value for name, value in replaced.items()}}


REGISTER = vestrel._http.DEFAULT_REGISTER_PATH
Row = Callable[[SimpleNamespace, SimpleNamespace], List[Tuple[str, str, Dict[str, str], bytes]]]
# name, the requests (all but the last must succeed), the last one's status, error and rule
ROWS: List[Tuple[str, Row, int, Optional[str], Optional[str]]] = [
    ("allowed", lambda w, s: [get(presented(w, s))], 200, None, None),
    ("body reaches the app",
     lambda w, s: [("POST", DOCS, presented(w, s, "POST", body=b"x\0y"), b"x\0y")], 200, None, None),
    ("target as sent", lambda w, s: [get(presented(w, s, path=RAW), RAW)], 200, None, None),
    ("public", lambda w, s: [get({}, HEALTH)], 200, None, None),
    ("16 credentials by reference", lambda w, s: [
        ("POST", REGISTER, *vestrel.register(w.holder, w.long, s.url(REGISTER))[:2]),
        get(presented(w, s, chain=vestrel.chain_ref(w.long)))], 200, None, None),
    ("wrong verb", lambda w, s: [("DELETE", DOCS, presented(w, s, "DELETE"), b"")], 403,
     "insufficient_scope", "NotAllowed"),
    ("outside the scope", lambda w, s: [get(presented(w, s, path=ADMIN), ADMIN)], 403,
     "insufficient_scope", "NotAllowed"),
    ("revoked", lambda w, s: [get(presented(w, s, chain=w.revoked))], 401,
     "invalid_token", "Revoked"),
    ("expired chain", lambda w, s: [get(presented(w, s, chain=w.expired))], 401,
     "invalid_token", "NotAfterViolation"),
    ("replayed", lambda w, s: [get(presented(w, s))] * 2, 401, "invalid_token", "ProofReplayed"),
    ("another chain's proof", lambda w, s: [get(swapped(presented(w, s), Vestrel_Proof=presented(
        w, s, chain=vestrel.encode_token(w.single), holder=w.other)["Vestrel-Proof"]))], 401,
     "invalid_token", "ProofInvalid"),
    ("another holder", lambda w, s: [get(presented(w, s, holder=w.other))], 401,
     "invalid_token", "ProofInvalid"),
    ("another URL", lambda w, s: [get(presented(w, s, path=DOCS + "?q=1"))], 401,
     "invalid_token", "ProofInvalid"),
    ("another body", lambda w, s: [("POST", DOCS, presented(w, s, "POST", body=b"a"), b"b")], 401,
     "invalid_token", "ProofInvalid"),
    ("stale", lambda w, s: [get(presented(w, s, now=time.time() - 61))], 401,
     "invalid_token", "ProofExpired"),
    ("unknown reference", lambda w, s: [get(presented(
        w, s, chain=vestrel.chain_ref(w.single), holder=w.other))], 401, "invalid_token", "ChainUnknown"),
    ("no credentials", lambda w, s: [get({})], 401, None, "ProofMissing"),
    ("no proof", lambda w, s: [get({"Authorization": "Vestrel " + s.ref})], 400,
     "invalid_request", "ProofMissing"),
    ("malformed proof", lambda w, s: [get(swapped(presented(w, s), Vestrel_Proof="vp1.@"))], 400,
     "invalid_request", "ProofMalformed"),
    ("malformed token", lambda w, s: [get(swapped(presented(w, s), Authorization='Vestrel vt1."\\'))],
     401, "invalid_token", "TokenMalformed"),
    ("registering what is no token", lambda w, s: [
        ("POST", REGISTER, vestrel.register(w.holder, w.wire, s.url(REGISTER))[0], b"vt1.x")], 401,
     "invalid_token", "TokenMalformed"),
    ("registration takes POST only", lambda w, s: [get({}, REGISTER)], 405,
     "invalid_request", "MethodNotAllowed"),
]


def test_requests_through_real_servers(site: SimpleNamespace, world: SimpleNamespace) -> None:
    failures = []
    for name, build, status, error, rule in ROWS:
        answers = [site.send(*request) for request in build(world, site)]
        *first, last = answers
        # The requests before the last are a registration (201) or a proof's first use.
        got = (last.status_code, *[a.status_code for a in first])
        want = (status, *[201 if a.request.method == "POST" else 200 for a in first])
        if status == 200:
            length = None if name == "public" else 16 if "16" in name else 3
            ok = got == want and last.json() == {"length": length,
                                                 "body": "x\0y" if "body" in name else ""}
        else:
            challenge = last.headers.get("www-authenticate", "")
            ok = got == want and last.json() == {"error": error, "rule": rule} and (
                status == 405 or ((f'error="{error}"' in challenge) == (error is not None)
                                  and f'error_description="{rule}: ' in challenge))
        if not ok:
            failures.append((name, got, last.headers, last.text[:300]))
    assert not failures, failures


def test_a_second_credential_on_a_real_server_is_refused_and_spends_nothing(
        site: SimpleNamespace, world: SimpleNamespace) -> None:
    # An ASGI server hands repeated headers on one by one (a WSGI server joins
    # them, see the hostile-header test): a second Authorization or proof
    # header, whatever its case, and whichever comes first, is refused
    # before any proof is checked, so the valid proof among them still works.
    if site.name != "starlette":
        pytest.skip("a WSGI server joins repeated headers into one value")
    good = presented(world, site)
    other = presented(world, site, chain=vestrel.encode_token(world.single), holder=world.other)
    pairs = list(good.items())
    for smuggled in ([("authorization", other["Authorization"])] + pairs,
                     pairs + [("AUTHORIZATION", good["Authorization"])],
                     pairs + [("vestrel-proof", other["Vestrel-Proof"])],
                     [("Vestrel-Proof", good["Vestrel-Proof"])] + pairs):
        answer = site.send("GET", DOCS, smuggled)
        assert (answer.status_code, answer.json()["rule"]) == (400, "ProofMalformed"), smuggled
    assert site.send("GET", DOCS, good).status_code == 200


def located(options: Dict[str, Any]) -> Dict[str, Any]:
    """The options, with the origin the direct tests' proofs are made for
    unless they name their own origin or hosts."""
    if "origin" in options or "hosts" in options:
        return options
    return {**options, "origin": "http://127.0.0.1:8000"}


def asgi(world: SimpleNamespace, headers: List[Tuple[bytes, bytes]], chunks: Tuple[bytes, ...] = (b"",),
         kind: str = "http", path: str = DOCS, **options: Any) -> Tuple[List[Any], List[Any]]:
    """(scopes the app saw, messages sent) for one request fed straight in."""
    reached: List[Any] = []
    sent: List[Any] = []
    messages = [{"type": "http.request", "body": c, "more_body": i + 1 < len(chunks)}
                for i, c in enumerate(chunks)]

    async def app(scope: Any, receive: Any, send: Any) -> None:
        reached.append(scope)

    async def receive() -> Any:
        return messages.pop(0) if messages else {"type": "http.disconnect"}

    async def send(message: Any) -> None:
        sent.append(message)

    scope = {"type": kind, "path": path, "query_string": b"", "method": "GET", "scheme": "http",
             "headers": headers}
    if path == DOCS:  # else as a server that keeps no raw path
        scope["raw_path"] = DOCS.encode()
    asyncio.run(vestrel.asgi.Authorize(app, world.verifier, **located(options))(scope, receive,
                                                                               send))
    return reached, sent


def wsgi(world: SimpleNamespace, headers: List[Tuple[bytes, bytes]], body: bytes = b"",
         path: str = DOCS, **options: Any) -> Tuple[List[Any], str, Dict[str, str]]:
    environ: Dict[str, Any] = {"REQUEST_METHOD": "GET", "PATH_INFO": path.encode().decode("latin-1"),
                               "wsgi.url_scheme": "http",
                               "wsgi.input": io.BytesIO(body), "wsgi.input_terminated": True}
    for name, value in headers:  # as a server joins repeated headers
        key = name.decode("latin-1").upper().replace("-", "_")
        key = key if key in ("CONTENT_LENGTH", "CONTENT_TYPE") else "HTTP_" + key
        environ[key] = ", ".join(filter(None, [environ.get(key), value.decode("latin-1")]))
    reached: List[Any] = []
    answer: List[Any] = []

    def app(env: Dict[str, Any], start: Callable[..., Any]) -> Iterable[bytes]:
        reached.append(env)
        start("200 OK", [])
        return [b""]

    vestrel.wsgi.Authorize(app, world.verifier, **located(options))(environ,
                                                                    lambda *a: answer.extend(a))
    return reached, answer[0], dict(answer[1])


def asgi_status(sent: List[Any]) -> Tuple[int, Dict[bytes, bytes]]:
    return sent[0].get("status", sent[0].get("code")), dict(sent[0].get("headers", []))


HOST = [(b"host", b"127.0.0.1:8000")]
NAMED = {"hosts": ["127.0.0.1:8000"]}  # the Host header is read only where hosts are named
DIRECT = [  # headers, chunks of the body, options, status
    (HOST + [(b"content-length", b"11")], (b"x" * 11,), {"max_body": 10}, 413),
    (HOST, (b"x" * 6, b"x" * 5), {"max_body": 10}, 413),
    (HOST + [(b"content-length", b"1e3")], (b"",), {}, 400),
    (HOST + [(b"content-length", b"1"), (b"content-length", b"2")], (b"",), {}, 400),
    ([(b"host", b"a.example/evil")], (b"",), NAMED, 400),
    ([(b"host", b"a.example@b")], (b"",), NAMED, 400),
    (HOST * 2, (b"",), NAMED, 400),
    ([], (b"",), NAMED, 400),
    ([(b"host", b"a.example")], (b"",), NAMED, 421),
    ([(b"host", b"a.example")], (b"",), {"origin": ["http://127.0.0.1:8000", "http://b.example"]},
     421),
    ([], (b"",), {"public": lambda path, method: True}, 200),
]


@pytest.mark.parametrize("headers,chunks,options,status", DIRECT)
def test_direct_refusals_never_reach_the_app(world: SimpleNamespace, headers: Any, chunks: Any,
                                             options: Any, status: int) -> None:
    if status != 200:  # credentials, so that only the row's fault refuses it
        headers = headers + [(b"authorization", b"Vestrel " + vestrel.chain_ref(world.wire).encode()),
                             (b"vestrel-proof", b"vp1.x")]
    reached, sent = asgi(world, headers, chunks, **options)
    code = asgi_status(sent)[0] if sent else 200
    assert (code, len(reached)) == (status, status == 200)
    w_reached, w_status, _ = wsgi(world, headers, b"".join(chunks), **options)
    assert (int(w_status[:3]), len(w_reached)) == (status, status == 200)


def test_other_scopes_bad_options_and_a_hostile_description() -> None:
    verifier = vestrel.Verifier([bytes(1952)])
    world = World(verifier=verifier)
    reached, sent = asgi(world, [], kind="websocket")
    assert (reached, sent) == ([], [{"type": "websocket.close", "code": 1008}])
    assert len(asgi(world, [], kind="websocket", public=lambda p, m: True)[0]) == 1
    assert len(asgi(world, [], kind="lifespan")[0]) == 1
    with pytest.raises(ValueError, match="origin must be a scheme and host"):
        vestrel.asgi.Authorize(None, verifier, origin="https://a.example/api")  # type: ignore[arg-type]
    status, headers, _ = vestrel._http.refusal(vestrel.ProofMalformed('a"\r\nSet-Cookie: \\'))
    assert (status, dict(headers)["www-authenticate"]) == (
        400, 'Vestrel error="invalid_request", error_description="ProofMalformed: a\\"??Set-Cookie: \\\\"')


def test_a_target_is_quoted_again_where_the_server_keeps_none(world: SimpleNamespace) -> None:
    path = "/api/docs/ä b;c"
    url = "http://127.0.0.1:8000/api/docs/%C3%A4%20b;c"
    calls: List[Callable[..., Tuple[Any, ...]]] = [asgi, wsgi]
    for call in calls:
        headers = [(k.encode(), v.encode()) for k, v in vestrel.present(
            world.other, vestrel.encode_token(world.single), "GET", url).items()]
        assert len(call(world, HOST + headers, path=path, resource=docs_resource)[0]) == 1


header_bytes = st.one_of(st.binary(max_size=200),
                         st.binary(max_size=60).map(lambda b: b"Vestrel vr1." + b),
                         st.binary(max_size=60).map(lambda b: b"vp1." + b),
                         st.binary(max_size=60).map(lambda b: b"Vestrel vt1." + b))


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(st.sampled_from([b"authorization", b"vestrel-proof", b"host",
                                           b"content-length"]), header_bytes), max_size=5),
       st.binary(max_size=64))
def test_hostile_headers_get_a_4xx_with_a_safe_challenge(world: SimpleNamespace, headers: Any,
                                                         body: bytes) -> None:
    reached, sent = asgi(world, headers, (body,))
    w_reached, w_status, w_headers = wsgi(world, headers, body)
    status, answered = asgi_status(sent)
    # WSGI sees repeated headers joined, so the two may refuse for different reasons.
    assert (reached, w_reached) == ([], []) and 400 <= status < 500 and w_status[0] == "4"
    for challenge in (answered.get(b"www-authenticate", b"Vestrel").decode("latin-1"),
                      w_headers.get("www-authenticate", "Vestrel")):
        assert re.fullmatch(r'Vestrel( error="[a-z_]+",)?( error_description="([ !#-\[\]-~]|\\["\\])*")?',
                            challenge), challenge


def test_the_package_imports_no_framework() -> None:
    code = ("import sys, vestrel, vestrel.asgi, vestrel.wsgi, vestrel._client; "
            "print(sorted({m.split('.')[0] for m in sys.modules} & {'starlette', 'uvicorn', 'flask', "
            "'werkzeug', 'httpx', 'requests', 'redis', 'urllib3', 'h11', 'anyio', 'asyncio'}))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, PYTHONPATH=os.environ["VESTREL_PACKAGE_DIR"] + ":"
                                   + os.environ["VESTREL_KERNEL_MODULE_DIR"]))
    assert (done.returncode, done.stdout.strip()) == (0, "[]"), done.stderr
