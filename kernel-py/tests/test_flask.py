"""vestrel.flask on Werkzeug, driven by the signing clients: the views read
what was signed (params, an escape, a JSON body), refusals are the WSGI
middleware's to the byte, a chain is registered again after a restart,
behind vestrel.wsgi.Authorize the proof is spent once, and docs/frameworks.md's
Flask section runs as pasted."""

from __future__ import annotations

import asyncio
import http.client
import json
import re
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import pytest

import vestrel
import vestrel._http
import vestrel.wsgi
from servers import listening, once, tls_proxy, werkzeug_on
from test_guide import section_blocks
from test_http_clients import auth_for, registered_again_once, send
from test_http_clients import world as clients_world  # noqa: F401 - a fixture
from test_http_servers import chain_of, frameworks

REGISTER = vestrel._http.DEFAULT_REGISTER_PATH
FRAMEWORKS = Path(__file__).resolve().parents[2] / "docs" / "frameworks.md"
PUBLIC = "api.example.com"
MAX_BODY = 150_000  # a 16-credential token fits, registered


@pytest.fixture(scope="module")
def world(clients_world: SimpleNamespace) -> SimpleNamespace:
    """test_http_clients' chains, and one that has expired."""
    root, holder = clients_world.root, clients_world.holder
    return SimpleNamespace(**vars(clients_world), expired=chain_of([root, holder], not_after=1))


def echo(chain: vestrel.VerifiedChain) -> Dict[str, Any]:
    import flask

    request = flask.request
    return {"path": request.environ["REQUEST_URI"].partition("?")[0],
            "query": request.query_string.decode(), "body": request.get_data().decode(),
            "json": request.get_json(silent=True), "length": chain.length,
            "checked": request.environ.get(vestrel._http.SCOPE_CHECKED, False)}


def flask_app(auth: Any) -> Any:
    """Views guarded by ``auth.require``: docs GET and POST, an async one,
    and an admin view the test chains do not allow."""
    import flask

    app = flask.Flask("vestrel-flask")
    auth.init_app(app)

    @app.get("/api/docs/<path:rest>")
    @auth.require(b"docs", b"GET")
    def read(rest: str) -> Any:
        return echo(flask.g.vestrel_chain)

    @app.post("/api/docs/<path:rest>")
    @auth.require(b"docs", b"POST")
    def save(rest: str) -> Any:
        return echo(flask.g.vestrel_chain)

    @app.get("/api/async")
    @auth.require(b"docs", b"GET")
    async def later() -> Any:
        await asyncio.sleep(0)
        return echo(flask.g.vestrel_chain)

    @app.get("/api/admin")
    @auth.require(b"admin", b"GET")
    def admin() -> Any:
        return {}

    return app


@pytest.fixture(scope="module")
def site(world: SimpleNamespace) -> Iterator[SimpleNamespace]:
    """The views on Werkzeug; ``restart`` gives them a fresh Auth and
    verifier, with no chain registered, on the same port."""
    frameworks("flask")
    import vestrel.flask

    sock = listening()
    served = SimpleNamespace(registrations=0, base=f"http://127.0.0.1:{sock.getsockname()[1]}")

    def restart() -> None:
        verifier = vestrel.Verifier([world.root.public_key()])
        served.app = flask_app(vestrel.flask.Auth(verifier=verifier, origin=served.base,
                                                  max_body=MAX_BODY))

    def counted(environ: Any, start_response: Any) -> Any:
        served.registrations += environ.get("PATH_INFO") == REGISTER
        return served.app(environ, start_response)

    restart()
    served.restart = restart
    with werkzeug_on(counted, sock):
        yield served


# ---- Construction ----------------------------------------------------------------

@once
def test_a_misconfigured_auth_fails_when_it_is_made(world: SimpleNamespace) -> None:
    import flask

    import vestrel.flask

    verifier = vestrel.Verifier([world.root.public_key()])
    made = lambda *args, **kwargs: vestrel.flask.Auth(  # noqa: E731
        *args, **{"verifier": verifier, "origin": "https://api.example.com", **kwargs})
    rows: List[Tuple[Callable[[], Any], Any, str]] = [
        (lambda: vestrel.flask.Auth(verifier, origin="https://a.example"), TypeError,
         "first argument is the Flask"),
        (lambda: made(flask.Flask("a"), verifier=None), TypeError, "needs verifier="),
        (lambda: made(verifier=object()), TypeError, "vestrel.Verifier"),
        (lambda: made(origin=None), TypeError, "needs origin="),
        (lambda: made(origin="api.example.com"), ValueError, "origin must be"),
        (lambda: made(register_path="chains"), ValueError, "register_path"),
        (lambda: made(max_age=-1), ValueError, "max_age"),
        (lambda: made().require("docs", b"GET"), TypeError, "resource must be bytes"),
        (lambda: made().require(b"docs", "GET"), TypeError, "verb must be bytes"),
        (lambda: made().init_app("app"), TypeError, "takes the Flask app"),
    ]
    for make, error, message in rows:
        with pytest.raises(error, match=message):
            make()
    # init_app later serves registration on the app; register_path=None serves none.
    for path, expected in ((REGISTER, [REGISTER]), (None, [])):
        app = flask.Flask("later")
        made(register_path=path).init_app(app)
        assert [r.rule for r in app.url_map.iter_rules() if "vestrel" in r.rule] == expected


# ---- Real clients, a real server ---------------------------------------------

CLIENTS = ["httpx", "httpx-async", "requests"]
# Each request, and what the view sees of it: the path as sent, the query, the body.
ROWS: List[Tuple[Dict[str, Any], Dict[str, Any]]] = [
    ({"method": "GET", "url": "/api/docs/a%2fb", "params": {"q": "a b", "u": "ä&"}},
     {"path": "/api/docs/a%2Fb", "query": "q=a+b&u=%C3%A4%26", "body": "", "json": None}),
    ({"method": "POST", "url": "/api/docs/7", "json": {"title": "notes é", "n": [1]}},
     {"path": "/api/docs/7", "query": "", "body": '{"title": "notes \\u00e9", "n": [1]}',
      "json": {"title": "notes é", "n": [1]}}),
    ({"method": "GET", "url": "/api/async", "params": {"k": "1"}},
     {"path": "/api/async", "query": "k=1", "body": "", "json": None}),
]


@once
@pytest.mark.parametrize("client", CLIENTS)
def test_views_get_what_was_signed(site: SimpleNamespace, world: SimpleNamespace,
                                   client: str) -> None:
    for wire, length, registered in ((world.short, 1, 0), (world.long, 16, 1)):
        before = site.registrations
        answers = send(client, auth_for(client, world.holder, wire),
                       *[{**r, "url": site.base + r["url"]} for r, _ in ROWS])
        seen = [(a.status_code, a.json()) for a in answers]
        assert seen == [(200, {**w, "length": length, "checked": False}) for _, w in ROWS], seen
        assert site.registrations - before == registered  # once, for every request
    # requests decodes %41 before it signs; httpx sends and signs it as it is.
    answer = send(client, auth_for(client, world.holder, world.short),
                  {"method": "GET", "url": site.base + "/api/docs/%41"})[0]
    assert answer.json()["path"] == ("/api/docs/A" if client == "requests" else "/api/docs/%41")


@once
def test_a_restarted_service_gets_the_chain_registered_again(site: SimpleNamespace,
                                                             world: SimpleNamespace) -> None:
    auth = auth_for("requests", world.holder, world.long)
    get = {"method": "GET", "url": site.base + "/api/docs/1"}
    before = site.registrations
    registered_again_once("requests", auth, get, site)
    assert site.registrations - before == 2
    # Registration answers POST alone, as the middleware does.
    import requests

    answer = requests.get(site.base + REGISTER, timeout=30)
    assert (answer.status_code, answer.json(), answer.headers["allow"]) == (
        405, {"error": "invalid_request", "rule": "MethodNotAllowed"}, "POST")


def middleware_answer(world: SimpleNamespace, base: str, method: str, path: str,
                      headers: Dict[str, str], body: bytes, times: int) -> Tuple[Any, ...]:
    """What vestrel.wsgi.Authorize, with a verifier of its own, answers to
    the same request sent ``times``: its status, challenge and body."""
    from werkzeug.test import EnvironBuilder, run_wsgi_app

    def app(environ: Any, start_response: Any) -> List[bytes]:
        start_response("200 OK", [])
        return []

    guard = vestrel.wsgi.Authorize(app, vestrel.Verifier([world.root.public_key()]),
                                   origin=base, max_body=MAX_BODY,
                                   resource=lambda p: b"admin" if "admin" in p else b"docs")
    for _ in range(times):
        environ = EnvironBuilder(path=path, base_url=base, method=method, headers=headers,
                                 data=body).get_environ()
        environ["REQUEST_URI"] = path
        app_iter, status, answered = run_wsgi_app(guard, environ)
    return (int(status.split()[0]), answered.get("WWW-Authenticate"), b"".join(app_iter))


# name, method, path, chain (None: no credentials), body signed, body sent, times sent
Refusal = Tuple[str, str, str, Optional[str], bytes, Optional[bytes], int]


def assert_refused_as_the_middleware(world: SimpleNamespace, base: str, row: Refusal) -> None:
    import requests

    name, method, path, chain, body, sent, times = row
    headers = {} if chain is None else vestrel.present(
        world.holder, vestrel.encode_token(getattr(world, chain)), method, base + path,
        body=body or None)
    data = body if sent is None else sent
    for _ in range(times):
        answer = requests.request(method, base + path, headers=headers, data=data, timeout=30)
    ours = (answer.status_code, answer.headers.get("WWW-Authenticate"), answer.content)
    assert ours == middleware_answer(world, base, method, path, headers, data, times), (name, base)
    assert ours[0] in (401, 403, 413) and answer.headers["Content-Type"] == "application/json"


REFUSALS: List[Refusal] = [
    ("no credentials", "GET", "/api/docs/1", None, b"", None, 1),
    ("scope", "GET", "/api/admin", "short", b"", None, 1),
    ("replayed", "GET", "/api/docs/1", "short", b"", None, 2),
    ("another body", "POST", "/api/docs/1", "short", b"a", b"b", 1),
    ("expired chain", "POST", "/api/docs/1", "expired", b"", None, 1),
    ("over the bound", "POST", "/api/docs/1", "short", b"x" * (MAX_BODY + 1), None, 1),
    ("async view, replayed", "GET", "/api/async", "short", b"", None, 2),
]


@once
@pytest.mark.parametrize("row", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refusals_are_the_middlewares(site: SimpleNamespace, world: SimpleNamespace,
                                      row: Refusal) -> None:
    assert_refused_as_the_middleware(world, site.base, row)


@once
def test_a_chunked_body_is_read_within_the_bound(site: SimpleNamespace,
                                                 world: SimpleNamespace) -> None:
    """No length declared: the view reads the body, up to the bound."""
    statuses = []
    for body in (b'{"title": "chunked"}', b"y" * (MAX_BODY + 1)):
        headers = vestrel.present(world.holder, vestrel.encode_token(world.short), "POST",
                                  site.base + "/api/docs/1", body=body)
        connection = http.client.HTTPConnection("127.0.0.1", int(site.base.split(":")[2]),
                                                timeout=30)
        connection.request("POST", "/api/docs/1", body=iter([body[:10], body[10:]]),
                           headers={**headers, "Content-Type": "application/json"},
                           encode_chunked=True)
        answer = connection.getresponse()
        statuses.append((answer.status, json.loads(answer.read()).get("json")))
        connection.close()
    assert statuses == [(200, {"title": "chunked"}), (413, None)]


@once
def test_behind_the_middleware_the_proof_is_spent_once(world: SimpleNamespace) -> None:
    """per_route=True: the middleware verifies, require checks the scope
    alone (a second verification would find the proof replayed) and notes
    that it did; a request the scope does not allow is the adapter's 403."""
    frameworks("flask")
    import vestrel.flask

    origin = "https://api.example.com"
    verifier = vestrel.Verifier([world.root.public_key()])
    # The adapter is given a verifier that trusts no root: it must never verify here.
    auth = vestrel.flask.Auth(verifier=vestrel.Verifier([world.holder.public_key()]),
                              origin=origin)
    app = flask_app(auth)
    app.wsgi_app = vestrel.wsgi.Authorize(app.wsgi_app, verifier, origin=origin, per_route=True)
    token, client = vestrel.encode_token(world.short), app.test_client()
    answers = [client.get(path, base_url=origin, headers=vestrel.present(
        world.holder, token, "GET", origin + path)) for path in ("/api/docs/1", "/api/admin")]
    assert (answers[0].status_code, answers[0].json["checked"]) == (200, True), answers[0].text
    assert (answers[1].status_code, answers[1].json["rule"]) == (403, "NotAllowed")


# ---- docs/frameworks.md, as pasted -------------------------------------------

def run_block(source: str, first: int, namespace: Dict[str, Any]) -> None:
    try:
        exec(compile(source, str(FRAMEWORKS), "exec"), namespace)
    except Exception as error:  # noqa: BLE001 - any failure is the page's
        raise AssertionError(f"frameworks.md block from line {first} failed: {error!r}") from error


def doc_namespace(world: SimpleNamespace) -> Dict[str, Any]:
    """What the page takes from docs/http.md's first block."""
    return {"__name__": "frameworks_doc", "root_pk": world.root.public_key(),
            "holder": world.holder, "wire": world.long}


@once
def test_the_flask_section_runs_as_pasted(world: SimpleNamespace, monkeypatch: Any) -> None:
    frameworks("flask")
    blocks = section_blocks(FRAMEWORKS, "Flask")
    assert len(blocks) == 2 and all(len(s.strip().splitlines()) < 20 for _, s in blocks)
    namespace = doc_namespace(world)
    port = [0]
    (service_at, service), (client_at, client) = blocks
    run_block(service, service_at, namespace)
    assert re.search(r"^import requests$", client, re.M)
    tls_proxy(monkeypatch, port, PUBLIC)
    with werkzeug_on(namespace["app"]) as port[0]:
        run_block(client, client_at, namespace)
    assert namespace["reply"].json() == {
        "number": 7, "title": "notes", "holder": vestrel.key_id(world.holder.public_key())}
