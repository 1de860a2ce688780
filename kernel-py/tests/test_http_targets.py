"""What the middlewares check a proof against: the service's own origin or
named hosts, and the request target read one way for ASGI and WSGI, fed
straight in (test_http_deployments.py runs real servers)."""

from __future__ import annotations

import asyncio
import io
from types import SimpleNamespace
from typing import Any, Callable, Dict, List, Optional, Tuple, Union
from urllib.parse import unquote, unquote_to_bytes, urlsplit

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vestrel
import vestrel._request
import vestrel.asgi
import vestrel.wsgi
from conftest import examples
from vestrel._http import (HostRefused, MisdirectedRequest, Options, RequestTargetRefused,
                           origin_form, refusal)

ORIGIN = "https://api.example.com"
DOCS = "/api/docs/1"
Headers = List[Tuple[bytes, bytes]]


@pytest.fixture(scope="module")
def world(identities: Callable[[str], vestrel.IdentityIsland]) -> SimpleNamespace:
    root, holder = identities("root"), identities("holder")
    wire = vestrel.delegate(None, root, holder.public_key(), "leaf",
                            [(b"docs", b"GET"), (b"docs", b"POST")])
    return SimpleNamespace(verifier=vestrel.Verifier([root.public_key()]), holder=holder,
                           token=vestrel.encode_token(wire))


def signed(w: SimpleNamespace, method: str, url: str, body: Optional[bytes] = None) -> Headers:
    return [(k.lower().encode(), v.encode())
            for k, v in vestrel.present(w.holder, w.token, method, url, body=body).items()]


def through(w: SimpleNamespace, method: str, target: str,
            headers: Union[Headers, Callable[[], Headers]], body: bytes = b"",
            **options: Any) -> List[SimpleNamespace]:
    """One request through the ASGI middleware (its scope as h11 servers
    build it) and the WSGI one (its environ as Werkzeug and gunicorn build
    it): for each, what the app saw (``reached``), the answer (``status``,
    ``headers``, ``body``), how often the body was read (``reads``), or the
    exception that escaped (``error``). ``headers`` may be a function, called
    for each: a proof is spent by its first use."""

    def fresh() -> Headers:
        return headers() if callable(headers) else headers

    options.setdefault("resource", lambda path: b"docs")
    got = [SimpleNamespace(reached=[], reads=0, error=None, status=0, headers={}, body=b"")
           for _ in range(2)]
    a, g = got
    raw, _, query = target.partition("?")
    sent: List[Any] = []

    async def asgi_app(scope: Any, receive: Any, send: Any) -> None:
        a.reached.append(scope)
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b""})

    async def receive() -> Any:
        a.reads += 1
        return {"type": "http.request", "body": body, "more_body": False}

    async def send(message: Any) -> None:
        sent.append(message)

    scope = {"type": "http", "method": method, "scheme": "http", "path": unquote(raw),
             "raw_path": raw.encode("latin-1"), "query_string": query.encode("latin-1"),
             "headers": fresh()}
    try:
        asyncio.run(vestrel.asgi.Authorize(asgi_app, w.verifier, **options)(scope, receive, send))
        a.status, a.body = sent[0]["status"], sent[1]["body"]
        a.headers = {k.decode(): v.decode() for k, v in sent[0]["headers"]}
    except Exception as error:  # noqa: BLE001 - what escapes is the result
        a.error = error

    class Input(io.BytesIO):
        def read(self, *args: Any) -> bytes:
            g.reads += 1
            return super().read(*args)

    environ: Dict[str, Any] = {
        "REQUEST_METHOD": method, "REQUEST_URI": target, "SCRIPT_NAME": "",
        "PATH_INFO": unquote_to_bytes(raw).decode("latin-1"), "QUERY_STRING": query,
        "wsgi.url_scheme": "http", "wsgi.input_terminated": True, "wsgi.input": Input(body)}
    for name, value in fresh():
        environ["HTTP_" + name.decode().upper().replace("-", "_")] = value.decode("latin-1")
    if body:
        environ["CONTENT_LENGTH"] = str(len(body))
    answer: List[Any] = []

    def wsgi_app(env: Dict[str, Any], start: Callable[..., Any]) -> List[bytes]:
        g.reached.append(env)
        start("200 OK", [])
        return [b""]

    try:
        g.body = b"".join(vestrel.wsgi.Authorize(wsgi_app, w.verifier, **options)(
            environ, lambda *a: answer.extend(a)))
        g.status, g.headers = int(answer[0][:3]), {k.lower(): v for k, v in answer[1]}
    except Exception as error:  # noqa: BLE001
        g.error = error
    return got


# target, (path, query) it is read as, or None: refused before any proof
TARGETS: List[Tuple[str, Optional[Tuple[str, str]]]] = [
    ("/", ("/", "")), ("/a?b=1&c", ("/a", "b=1&c")), ("/a?", ("/a", "")),
    ("/a?b?c", ("/a", "b?c")),  # the first "?" splits, as servers split
    ("/a@b.example/x:1;p", ("/a@b.example/x:1;p", "")),
    ("/%2F@a.example.test/x", ("/%2F@a.example.test/x", "")), ("/a?x=\\&y=@h", ("/a", "x=\\&y=@h")),
    *[(t, None) for t in ["", "*", "http://a.example.test/x", "a.example.test:443",
                          "@a.example.test/x", "%2F@a.example.test/x", "\\@a.example.test/x",
                          "//a.example.test/x", "/account#?delete=all", "/a?b#c", "/a\\b", "/a b",
                          "/\u00e4", "/a\x00"]],
]


def test_only_origin_form_targets_are_read_and_others_never_reach_the_app(
        world: SimpleNamespace) -> None:
    got: List[Tuple[str, Optional[Tuple[str, str]]]] = []
    for target, read in TARGETS:
        try:
            got.append((target, origin_form(target)))
        except RequestTargetRefused as error:
            assert (error.status, error.rule) == (400, "RequestTarget")
            got.append((target, None))
            # Refused before the proof is looked at: a valid one for the
            # URL the target names is left unspent.
            headers = [(b"host", b"a.example.test")] + signed(world, "GET", ORIGIN + "/x")
            assert [(r.status, r.reached, r.reads) for r in through(
                world, "GET", target, headers, origin=ORIGIN)] == [(400, [], 0)] * 2, target
    assert got == TARGETS


# Every printable byte, the ones that end or move a URL's parts more often,
# and percent-escapes of any byte.
PIECES = st.one_of(
    st.characters(min_codepoint=0x20, max_codepoint=0x7e).map(str),
    st.sampled_from(["/", "//", "?", "#", "@", "\\", ":", "%", "http://", "a.example.test",
                     "[::1]", ";", "..", " ", "\t", "\x7f", "\u00e4"]),
    st.integers(0, 255).map(lambda b: f"%{b:02X}"))
TARGET = st.builds(lambda lead, pieces: str(lead + "".join(pieces)),
                   st.sampled_from(["/", "", "/", "//", "@", "/a"]), st.lists(PIECES, max_size=12))


@settings(max_examples=examples(250), deadline=None)
@given(TARGET, st.sampled_from([ORIGIN, "http://127.0.0.1:8000", "http://[::1]:81"]))
def test_every_reader_splits_an_accepted_target_alike_and_none_moves_the_host(
        target: str, origin: str) -> None:
    try:
        path, query = origin_form(target)
    except RequestTargetRefused:
        return
    assert path + ("?" + query if "?" in target else "") == target
    # A reader of the target alone (Werkzeug and gunicorn parse it so) sees
    # no scheme, host or fragment.
    alone = urlsplit(target)
    assert (alone.scheme, alone.netloc, alone.fragment, alone.path, alone.query) == (
        "", "", "", path, query)
    authority = vestrel._request.request_target("GET", origin)[2]
    assert vestrel._request.request_target("GET", origin + target) == (
        b"GET", urlsplit(origin).scheme.encode(), authority, path.encode(), query.encode())


@settings(max_examples=examples(60), deadline=None)
@given(TARGET.filter(lambda t: t.startswith("/")), st.data())
def test_a_proof_reaches_the_app_only_for_the_target_it_signed(world: SimpleNamespace, signed_for: str,
                                                               data: Any) -> None:
    try:
        origin_form(signed_for)
    except RequestTargetRefused:
        return
    # Sent: the target unchanged, or with one piece inserted or one
    # character replaced or removed.
    how = data.draw(st.sampled_from(["same", "insert", "replace", "remove"]))
    at = data.draw(st.integers(0, len(signed_for)))
    piece = "" if how in ("remove", "same") else data.draw(PIECES)
    sent = signed_for if how == "same" else \
        signed_for[:at] + piece + signed_for[at + (how != "insert"):]

    def view(target: str) -> Tuple[str, str]:
        raw, _, query = target.partition("?")
        return unquote(raw), query

    for got in through(world, "GET", sent, lambda: [(b"host", b"b.example.test")]
                       + signed(world, "GET", ORIGIN + signed_for), origin=ORIGIN):
        if got.reached:
            assert got.status == 200 and view(sent) == view(signed_for)
        else:
            assert got.status in (400, 401) and sent != signed_for


M, H = MisdirectedRequest, HostRefused
TWO = ["https://a.example", "http://b.example:8080"]
HOST_ROWS: List[Tuple[Any, Any, str, List[str], Any]] = [
    # origin, hosts, the server's scheme, Host values: the base, or the refusal
    (ORIGIN, None, "http", ["evil.example"], ORIGIN),  # a proxy may rewrite the Host header
    (ORIGIN, None, "http", [], ORIGIN),
    (ORIGIN, ["api.example.com"], "http", ["evil.example"], M),
    (ORIGIN, ["api.example.com"], "http", ["API.example.com"], ORIGIN),
    (TWO, None, "http", ["b.example:8080"], "http://b.example:8080"),
    (TWO, None, "http", ["a.example:443"], "https://a.example"),
    (TWO, None, "https", ["a.example:80"], M), (TWO, None, "http", ["b.example"], M),
    (TWO, None, "http", ["a.example"] * 2, H), (TWO, None, "http", [], H),
    (TWO, None, "http", ["b.example@a.example"], H),
    (None, ["localhost:8000"], "http", ["localhost:8000"], "http://localhost:8000"),
    (None, ["localhost:8000"], "https", ["localhost:8000"], "https://localhost:8000"),
    (None, ["localhost:8000"], "http", ["localhost:8001"], M),
    (None, ["api.example.com"], "https", ["api.example.com:443"], "https://api.example.com:443"),
    (None, ["localhost"], "ws", ["localhost"], H),
]


def test_the_host_header_only_chooses_among_named_hosts(world: SimpleNamespace) -> None:
    got: List[Any] = []
    for origin, hosts, scheme, values, _ in HOST_ROWS:
        try:
            got.append(Options(world.verifier, origin=origin, hosts=hosts).base(scheme, values))
        except (HostRefused, MisdirectedRequest) as error:
            assert error.status == (421 if isinstance(error, MisdirectedRequest) else 400)
            got.append(type(error))
    assert got == [row[-1] for row in HOST_ROWS]


@pytest.mark.parametrize("options,error,text", [
    ({}, TypeError, r"origin='https://api\.example\.com'"),
    ({"origin": []}, TypeError, "origin must be a str or a non-empty list"),
    ({"origin": ["https://a.example", "https://A.example:443"]}, ValueError, "same host"),
    ({"origin": TWO, "hosts": ["a.example"]}, ValueError, "hosts with one origin"),
    ({"hosts": ["a.example/x"]}, ValueError, "hosts must be names"),
    ({"hosts": "a.example", "origin": "https://a.example@b.example"}, ValueError, "origin must"),
])
def test_a_middleware_without_a_known_origin_is_refused_when_built(
        world: SimpleNamespace, options: Dict[str, Any], error: type, text: str) -> None:
    for middleware in (vestrel.asgi.Authorize, vestrel.wsgi.Authorize):
        with pytest.raises(error, match=text):
            middleware(None, world.verifier, **options)


def test_a_proof_for_another_host_is_misdirected_not_checked(world: SimpleNamespace) -> None:
    # Two services under one root; a proof made for A, sent to B with A's
    # name in the Host header (or, from an HTTP/2 server, in :authority).
    for_a = signed(world, "GET", "http://a.example.test" + DOCS)  # refused unspent, or spent by B
    host, authority = [(b"host", b"a.example.test")], [(b":authority", b"a.example.test")]
    rows: List[Tuple[Headers, Dict[str, Any], List[int]]] = [  # ASGI's status, WSGI's
        (host, {"hosts": ["b.example.test"]}, [421, 421]),
        (host, {"origin": ["http://b.example.test", "http://c.example.test"]}, [421, 421]),
        # With one origin the Host header is not read: the proof fails its check.
        (host, {"origin": "http://b.example.test"}, [401, 401]),
        (authority, {"hosts": ["b.example.test"]}, [421, 400]),  # WSGI has no :authority
    ]
    for headers, options, statuses in rows:
        assert [(r.reached, r.status) for r in through(
            world, "GET", DOCS, headers + for_a, **options)] == [([], s) for s in statuses], options
        if 401 in statuses:
            for_a = signed(world, "GET", "http://a.example.test" + DOCS)
    # Still good where it was made for: nothing spent it.
    assert through(world, "GET", DOCS, authority + for_a, hosts=["a.example.test"])[0].status == 200


def test_proof_invalid_names_the_method_and_url_it_was_checked_against(
        world: SimpleNamespace) -> None:
    for got in through(world, "GET", DOCS, signed(world, "GET", ORIGIN + "/api/docs/2"),
                       origin=ORIGIN):
        assert got.status == 401 and "ProofInvalid: checked against GET " + ORIGIN + DOCS \
            in got.headers["www-authenticate"], got.headers
    with pytest.raises(vestrel.ProofInvalid) as caught:
        world.verifier.verify_request("GET", ORIGIN + "/" + "x" * 10_000, dict(vestrel.present(
            world.holder, world.token, "GET", ORIGIN + "/")))
    assert len(str(caught.value)) < 250 and ORIGIN + "/xxx" in str(caught.value)


def test_mapping_callables_run_before_the_proof_is_spent(world: SimpleNamespace) -> None:
    def broken(path: str) -> bytes:
        raise RuntimeError("no mapping")

    def refusing(method: str) -> bytes:
        raise vestrel.NotAllowed("no verb for this")

    headers = [(b"host", b"x")] + signed(world, "POST", ORIGIN + DOCS, b"body")
    mappings: List[Tuple[str, Any]] = [("resource", broken), ("verb", lambda method: "GET"),
                                       ("public", lambda p, m: 1 / 0)]
    for name, mapping in mappings:
        for got in through(world, "POST", DOCS, headers, b"body", origin=ORIGIN, **{name: mapping}):
            assert isinstance(got.error, (RuntimeError, TypeError, ZeroDivisionError)), name
            assert got.reached == [], name
    assert [r.status for r in through(world, "POST", DOCS, headers, b"body", origin=ORIGIN,
                                      verb=refusing)] == [403, 403]
    # Neither the failures nor the refusal spent the proof.
    assert through(world, "POST", DOCS, headers, b"body", origin=ORIGIN)[0].status == 200


def test_head_is_checked_as_get(world: SimpleNamespace) -> None:
    # The chain allows GET and POST on docs, not HEAD as such.
    for verb, status in ((None, 200), (lambda method: method.encode(), 403)):
        options: Dict[str, Any] = {"verb": verb} if verb else {}
        for got in through(world, "HEAD", DOCS, lambda: signed(world, "HEAD", ORIGIN + DOCS),
                           origin=ORIGIN, **options):
            assert got.status == status


REGISTER = "/.well-known/vestrel/chains"
NO_CREDENTIALS: List[Tuple[str, Headers, int, bytes]] = [
    # path, headers, status, error
    (DOCS, [], 401, b"null"),
    (DOCS, [(b"authorization", b"Bearer abc"), (b"vestrel-proof", b"vp1.x")], 401, b"null"),
    (DOCS, [(b"authorization", b"Vestrel")], 401, b"null"),
    (DOCS, [(b"authorization", b"Vestrel vr1.abc")], 400, b'"invalid_request"'),
    (REGISTER, [(b"content-type", b"text/plain")], 401, b"null"),
]


@pytest.mark.parametrize("path,headers,status,error", NO_CREDENTIALS)
def test_a_request_without_credentials_is_answered_before_its_body_is_read(
        world: SimpleNamespace, path: str, headers: Headers, status: int, error: bytes) -> None:
    for got in through(world, "POST", path, headers + [(b"content-length", b"5")], b"12345",
                       origin=ORIGIN):
        assert (got.status, got.reads, got.reached, got.body) == (
            status, 0, [], b'{"error":%s,"rule":"ProofMissing"}' % error)


def test_a_refusal_that_says_when_to_retry_gets_retry_after() -> None:
    class Busy(vestrel.Refused):
        rule, status, retry_after = "Busy", 429, 2.5

    assert (dict(refusal(Busy("slow down")).headers)["retry-after"],
            "retry-after" in dict(refusal(vestrel.ProofReplayed("x")).headers)) == ("3", False)
