"""What the middlewares check a proof against: the service's own origin or
named hosts, and the request target read one way for ASGI and WSGI. Fed
straight in, without a server (test_http_deployments.py runs real ones)."""

from __future__ import annotations

import asyncio
import io
from types import SimpleNamespace
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple
from urllib.parse import unquote, unquote_to_bytes, urlsplit

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vestrel
import vestrel._request
import vestrel.asgi
import vestrel.wsgi
from vestrel._http import (HostRefused, MisdirectedRequest, Options, RequestTargetRefused,
                           origin_form, refusal)

ORIGIN = "https://api.example.com"
DOCS = "/api/docs/1"


@pytest.fixture(scope="module")
def world(identities: Callable[[str], vestrel.IdentityIsland]) -> SimpleNamespace:
    root, holder = identities("root"), identities("holder")
    wire = vestrel.delegate(None, root, holder.public_key(), "leaf",
                            [(b"docs", b"GET"), (b"docs", b"POST")])
    return SimpleNamespace(verifier=vestrel.Verifier([root.public_key()]), holder=holder,
                           token=vestrel.encode_token(wire))


def docs(path: str) -> bytes:
    return b"docs"


def signed(w: SimpleNamespace, method: str, url: str, body: Optional[bytes] = None) -> List[
        Tuple[bytes, bytes]]:
    return [(k.lower().encode(), v.encode())
            for k, v in vestrel.present(w.holder, w.token, method, url, body=body).items()]


def run_asgi(w: SimpleNamespace, method: str, target: str, headers: Sequence[Tuple[bytes, bytes]],
             body: bytes = b"", **options: Any) -> SimpleNamespace:
    """What the app saw (``reached``), the answer (``status``, ``headers``,
    ``body``) and how often the body was asked for (``receives``), for a
    scope built from the target as h11 servers build it."""
    raw, _, query = target.encode("latin-1").partition(b"?")
    scope = {"type": "http", "method": method, "scheme": "http", "raw_path": raw,
             "path": unquote(raw.decode("latin-1")), "query_string": query,
             "headers": list(headers)}
    got = SimpleNamespace(reached=[], receives=0)
    sent: List[Any] = []

    async def app(s: Any, receive: Any, send: Any) -> None:
        got.reached.append(s)
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b""})

    async def receive() -> Any:
        got.receives += 1
        return {"type": "http.request", "body": body, "more_body": False}

    async def send(message: Any) -> None:
        sent.append(message)

    options.setdefault("resource", docs)
    asyncio.run(vestrel.asgi.Authorize(app, w.verifier, **options)(scope, receive, send))
    got.status, got.headers, got.body = sent[0]["status"], dict(sent[0]["headers"]), sent[1]["body"]
    return got


class Unread(io.BytesIO):
    def read(self, *args: Any) -> bytes:
        raise AssertionError("the body was read")


def run_wsgi(w: SimpleNamespace, method: str, target: str, headers: Sequence[Tuple[bytes, bytes]],
             body: Optional[bytes] = b"", **options: Any) -> Tuple[List[Any], int]:
    """(environs the app saw, status), the environ as Werkzeug and gunicorn
    build it; ``body`` None: a stream that must not be read."""
    raw, _, query = target.partition("?")
    environ: Dict[str, Any] = {
        "REQUEST_METHOD": method, "REQUEST_URI": target, "SCRIPT_NAME": "",
        "PATH_INFO": unquote_to_bytes(raw).decode("latin-1"), "QUERY_STRING": query,
        "wsgi.url_scheme": "http", "wsgi.input_terminated": True,
        "wsgi.input": Unread() if body is None else io.BytesIO(body)}
    for name, value in headers:
        environ["HTTP_" + name.decode().upper().replace("-", "_")] = value.decode("latin-1")
    if body:
        environ["CONTENT_LENGTH"] = str(len(body))
    reached: List[Any] = []
    answer: List[Any] = []

    def app(env: Dict[str, Any], start: Callable[..., Any]) -> List[bytes]:
        reached.append(env)
        start("200 OK", [])
        return [b""]

    options.setdefault("resource", docs)
    vestrel.wsgi.Authorize(app, w.verifier, **options)(environ, lambda *a: answer.extend(a))
    return reached, int(answer[0][:3])


# target, (path, query) it is read as, or None: refused before any proof
TARGETS: List[Tuple[str, Optional[Tuple[str, str]]]] = [
    ("/", ("/", "")),
    ("/a?b=1&c", ("/a", "b=1&c")),
    ("/a?b?c", ("/a", "b?c")),  # the first "?" splits, as servers split
    ("/a?", ("/a", "")),
    ("/a@b.example/x:1;p", ("/a@b.example/x:1;p", "")),
    ("/%2F@a.example.test/x", ("/%2F@a.example.test/x", "")),
    ("/a?x=\\&y=@h", ("/a", "x=\\&y=@h")),
    ("", None),
    ("*", None),
    ("http://a.example.test/x", None),
    ("a.example.test:443", None),
    ("@a.example.test/x", None),
    ("%2F@a.example.test/x", None),
    ("\\@a.example.test/x", None),
    ("//a.example.test/x", None),
    ("/account#?delete=all", None),
    ("/a?b#c", None),
    ("/a\\b", None),
    ("/a b", None),
    ("/\u00e4", None),
    ("/a\x00", None),
]


def test_only_origin_form_targets_are_read() -> None:
    got: List[Tuple[str, Optional[Tuple[str, str]]]] = []
    for target, _ in TARGETS:
        try:
            got.append((target, origin_form(target)))
        except RequestTargetRefused as error:
            assert (error.status, error.rule) == (400, "RequestTarget")
            got.append((target, None))
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


@settings(max_examples=250, deadline=None)
@given(TARGET, st.sampled_from([ORIGIN, "http://127.0.0.1:8000", "http://[::1]:81"]))
def test_every_reader_splits_an_accepted_target_alike_and_none_moves_the_host(
        target: str, origin: str) -> None:
    try:
        path, query = origin_form(target)
    except RequestTargetRefused:
        return
    # Nothing is lost or added: the server's own split, the app's view.
    assert path + ("?" + query if "?" in target else "") == target
    # A reader of the target alone (Werkzeug and gunicorn parse it so) sees
    # no scheme, host or fragment.
    alone = urlsplit(target)
    assert (alone.scheme, alone.netloc, alone.fragment, alone.path, alone.query) == (
        "", "", "", path, query)
    # What the proof covers: the configured authority, and the same split.
    origin_parts = urlsplit(origin)
    authority = vestrel._request.request_target("GET", origin)[2]
    assert vestrel._request.request_target("GET", origin + target) == (
        b"GET", origin_parts.scheme.encode(), authority, path.encode(), query.encode())


def edited(target: str, data: Any) -> str:
    """``target``, unchanged or with one piece inserted or one character
    replaced or removed."""
    how = data.draw(st.sampled_from(["same", "insert", "replace", "remove"]))
    if how == "same":
        return target
    at = data.draw(st.integers(0, len(target)))
    piece: str = "" if how == "remove" else data.draw(PIECES)
    return target[:at] + piece + target[at + (how != "insert"):]


def view(target: str) -> Tuple[str, str]:
    """What the app sees of a target: its decoded path and its query."""
    raw, _, query = target.partition("?")
    return unquote(raw), query


@settings(max_examples=60, deadline=None)
@given(TARGET.filter(lambda t: t.startswith("/")), st.data())
def test_a_proof_reaches_the_app_only_for_the_target_it_signed(world: SimpleNamespace, signed_for: str,
                                                               data: Any) -> None:
    try:
        origin_form(signed_for)
    except RequestTargetRefused:
        return
    sent = edited(signed_for, data)

    def proof() -> List[Tuple[bytes, bytes]]:
        return [(b"host", b"b.example.test")] + signed(world, "GET", ORIGIN + signed_for)

    asgi = run_asgi(world, "GET", sent, proof(), origin=ORIGIN)
    w_reached, w_status = run_wsgi(world, "GET", sent, proof(), origin=ORIGIN)
    for reached, status in ((asgi.reached, asgi.status), (w_reached, w_status)):
        if reached:
            assert status == 200 and view(sent) == view(signed_for)
        else:
            assert status in (400, 401) and sent != signed_for


HOST_ROWS: List[Tuple[Any, Any, str, List[str], Any]] = [
    # origin, hosts, the server's scheme, Host values: the base, or the refusal
    (ORIGIN, None, "http", ["evil.example"], ORIGIN),  # a proxy may rewrite the Host header
    (ORIGIN, None, "http", [], ORIGIN),
    (ORIGIN, ["api.example.com"], "http", ["evil.example"], MisdirectedRequest),
    (ORIGIN, ["api.example.com"], "http", ["API.example.com"], ORIGIN),
    (["https://a.example", "http://b.example:8080"], None, "http", ["b.example:8080"],
     "http://b.example:8080"),
    (["https://a.example", "http://b.example:8080"], None, "http", ["a.example:443"],
     "https://a.example"),
    (["https://a.example", "http://b.example:8080"], None, "https", ["a.example:80"],
     MisdirectedRequest),
    (["https://a.example", "http://b.example:8080"], None, "http", ["b.example"],
     MisdirectedRequest),
    (["https://a.example", "http://b.example:8080"], None, "http", ["a.example"] * 2, HostRefused),
    (["https://a.example", "http://b.example:8080"], None, "http", [], HostRefused),
    (["https://a.example", "http://b.example:8080"], None, "http", ["b.example@a.example"],
     HostRefused),
    (None, ["localhost:8000"], "http", ["localhost:8000"], "http://localhost:8000"),
    (None, ["localhost:8000"], "https", ["localhost:8000"], "https://localhost:8000"),
    (None, ["localhost:8000"], "http", ["localhost:8001"], MisdirectedRequest),
    (None, ["api.example.com"], "https", ["api.example.com:443"], "https://api.example.com:443"),
    (None, ["localhost"], "ws", ["localhost"], HostRefused),
]


def test_the_host_header_only_chooses_among_named_hosts(world: SimpleNamespace) -> None:
    got: List[Any] = []
    for origin, hosts, scheme, values, _ in HOST_ROWS:
        options = Options(world.verifier, origin=origin, hosts=hosts)
        try:
            got.append(options.base(scheme, values))
        except (HostRefused, MisdirectedRequest) as error:
            assert error.status == (421 if isinstance(error, MisdirectedRequest) else 400)
            got.append(type(error))
    assert got == [row[-1] for row in HOST_ROWS]


@pytest.mark.parametrize("options,error,text", [
    ({}, TypeError, "origin='https://api.example.com'"),
    ({"origin": []}, TypeError, "origin must be a str or a non-empty list"),
    ({"origin": ["https://a.example", "https://A.example:443"]}, ValueError, "same host"),
    ({"origin": ["https://a.example", "https://b.example"], "hosts": ["a.example"]}, ValueError,
     "hosts with one origin"),
    ({"hosts": ["a.example/x"]}, ValueError, "hosts must be names"),
    ({"hosts": "a.example", "origin": "https://a.example@b.example"}, ValueError, "origin must"),
])
def test_a_middleware_without_a_known_origin_is_refused_when_built(
        world: SimpleNamespace, options: Dict[str, Any], error: type, text: str) -> None:
    for middleware in (vestrel.asgi.Authorize, vestrel.wsgi.Authorize):
        with pytest.raises(error, match=text.replace("(", r"\(").replace("[", r"\[")):
            middleware(None, world.verifier, **options)


def test_a_proof_for_another_host_is_misdirected_not_checked(world: SimpleNamespace) -> None:
    # Two services under one root; a proof made for A, sent to B with A's
    # name in the Host header.
    for_a = [(b"host", b"a.example.test")] + signed(world, "GET", "http://a.example.test" + DOCS)
    rows: List[Tuple[Dict[str, Any], int]] = [
        ({"hosts": ["b.example.test"]}, 421),
        ({"origin": ["http://b.example.test", "http://c.example.test"]}, 421),
        # With one origin the Host header is not read: the proof fails its check.
        ({"origin": "http://b.example.test"}, 401),
    ]
    for options, status in rows:
        asgi = run_asgi(world, "GET", DOCS, for_a, **options)
        assert (asgi.reached, asgi.status) == ([], status), options
        assert run_wsgi(world, "GET", DOCS, for_a, **options) == ([], status), options
    # An HTTP/2 server that passes :authority on, and no Host header.
    authority = [(b":authority", b"a.example.test")] + for_a[1:]
    assert run_asgi(world, "GET", DOCS, authority, hosts=["b.example.test"]).status == 421
    # The same proof is still good where it was made for: nothing spent it.
    assert run_asgi(world, "GET", DOCS, authority, hosts=["a.example.test"]).status == 200


def test_proof_invalid_names_the_url_it_was_checked_against(world: SimpleNamespace) -> None:
    headers = signed(world, "GET", "https://api.example.com/api/docs/2")
    answer = run_asgi(world, "GET", DOCS, headers, origin=ORIGIN)
    challenge = answer.headers[b"www-authenticate"].decode()
    assert answer.status == 401 and "ProofInvalid: checked against GET https://api.example.com/api/docs/1" \
        in challenge, challenge
    long_url = ORIGIN + "/" + "x" * 10_000
    with pytest.raises(vestrel.ProofInvalid) as caught:
        world.verifier.verify_request("GET", long_url, dict(vestrel.present(
            world.holder, world.token, "GET", ORIGIN + "/")))
    assert len(str(caught.value)) < 250 and ORIGIN + "/xxx" in str(caught.value)


def test_mapping_callables_fail_before_the_proof_is_spent(world: SimpleNamespace) -> None:
    def broken(path: str) -> bytes:
        raise RuntimeError("no mapping")

    def refusing(method: str) -> bytes:
        raise vestrel.NotAllowed("no verb for this")

    headers = [(b"host", b"x")] + signed(world, "POST", ORIGIN + DOCS, b"body")
    failures: List[Tuple[str, Any]] = [
        ("resource", broken), ("verb", lambda method: "GET"), ("public", lambda p, m: 1 / 0)]
    for name, callable_ in failures:
        with pytest.raises((RuntimeError, TypeError, ZeroDivisionError)):
            run_asgi(world, "POST", DOCS, headers, b"body", origin=ORIGIN, **{name: callable_})
        with pytest.raises((RuntimeError, TypeError, ZeroDivisionError)):
            run_wsgi(world, "POST", DOCS, headers, b"body", origin=ORIGIN, **{name: callable_})
    assert run_asgi(world, "POST", DOCS, headers, b"body", origin=ORIGIN,
                    verb=refusing).status == 403
    # Neither the failures nor the refusal spent the proof.
    assert run_wsgi(world, "POST", DOCS, headers, b"body", origin=ORIGIN)[1] == 200


def test_head_is_checked_as_get(world: SimpleNamespace) -> None:
    # The chain allows GET and POST on docs, not HEAD as such.
    assert run_asgi(world, "HEAD", DOCS, signed(world, "HEAD", ORIGIN + DOCS),
                    origin=ORIGIN).status == 200
    assert run_wsgi(world, "HEAD", DOCS, signed(world, "HEAD", ORIGIN + DOCS), origin=ORIGIN)[1] == 200
    assert run_asgi(world, "HEAD", DOCS, signed(world, "HEAD", ORIGIN + DOCS), origin=ORIGIN,
                    verb=lambda method: method.encode()).status == 403


REGISTER = "/.well-known/vestrel/chains"
NO_CREDENTIALS: List[Tuple[str, List[Tuple[bytes, bytes]], int, Optional[str]]] = [
    # path, headers, status, error
    (DOCS, [], 401, None),
    (DOCS, [(b"authorization", b"Bearer abc"), (b"vestrel-proof", b"vp1.x")], 401, None),
    (DOCS, [(b"authorization", b"Vestrel")], 401, None),
    (DOCS, [(b"authorization", b"Vestrel vr1.abc")], 400, "invalid_request"),
    (REGISTER, [(b"content-type", b"text/plain")], 401, None),
]


def test_a_request_without_credentials_is_answered_before_its_body_is_read(
        world: SimpleNamespace) -> None:
    for path, headers, status, error in NO_CREDENTIALS:
        headers = headers + [(b"content-length", b"5")]
        answer = run_asgi(world, "POST", path, headers, b"12345", origin=ORIGIN)
        assert (answer.status, answer.receives, answer.body) == (
            status, 0, b'{"error":%s,"rule":"ProofMissing"}' % (
                b"null" if error is None else b'"%s"' % error.encode())), path
        assert run_wsgi(world, "POST", path, headers, None, origin=ORIGIN) == ([], status)


def test_a_refusal_that_says_when_to_retry_gets_retry_after() -> None:
    class Busy(vestrel.Refused):
        rule = "Busy"
        status = 429
        retry_after = 2.5

    answered = dict(refusal(Busy("slow down")).headers)
    assert (answered["retry-after"], "retry-after" in dict(refusal(vestrel.ProofReplayed("x"))
                                                           .headers)) == ("3", False)
