"""The middlewares under the servers people deploy them on: uvicorn (h11),
Hypercorn (HTTP/1.1 and HTTP/2), Werkzeug, gunicorn with threads (WSGI) and
with uvicorn workers (ASGI). Each server starts once, on 127.0.0.1, and is
sent hostile request targets and Host headers over raw sockets: each must be
refused (400 or 421) without reaching the app, while proper requests pass.

The frameworks are Debian's, built for its python3: these tests run once
per suite, under it."""

from __future__ import annotations

import asyncio
import json
import os
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import pytest

import vestrel
from conftest import DEBIAN_PYTHON, under_address_sanitizer

pytestmark = [
    # Hypercorn leaves a coroutine behind when its loop stops: not ours to answer for.
    pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning"),
    pytest.mark.skipif(os.path.realpath(sys.executable) != os.path.realpath(DEBIAN_PYTHON),
                       reason="servers run once per suite, under Debian's python3"),
    pytest.mark.skipif(under_address_sanitizer(), reason="not on a sanitized build"),
]

TESTS = Path(__file__).resolve().parent
PROXIED = "https://b.example.test"  # the name a proxy in front of the service answers to
FOREIGN = "http://a.example.test"   # another service under the same root
DOCS, HEALTH = "/api/docs/1", "/health"
SERVERS = ["uvicorn-h11", "hypercorn", "werkzeug", "gunicorn-gthread", "gunicorn-uvicorn"]


@pytest.fixture(scope="module")
def world(identities: Callable[[str], vestrel.IdentityIsland]) -> SimpleNamespace:
    root, holder = identities("root"), identities("holder")
    wire = vestrel.delegate(None, root, holder.public_key(), "leaf",
                            [(DOCS.encode(), b"GET"), (DOCS.encode(), b"POST")])
    return SimpleNamespace(holder=holder, token=vestrel.encode_token(wire))


def listening() -> socket.socket:
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(64)
    return sock


def in_thread(run: Callable[[], Any]) -> threading.Thread:
    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread


def serve_uvicorn(app: Any, sock: socket.socket) -> Iterator[None]:
    import uvicorn

    server = uvicorn.Server(uvicorn.Config(app, http="h11", log_level="error", lifespan="off"))
    thread = in_thread(lambda: server.run(sockets=[sock]))
    yield
    server.should_exit = True
    thread.join(30)


def serve_hypercorn(app: Any, sock: socket.socket) -> Iterator[None]:
    from hypercorn.asyncio import serve
    from hypercorn.config import Config

    config = Config()
    config.bind = [f"fd://{os.dup(sock.fileno())}"]
    config.accesslog = config.errorlog = None
    stop = threading.Event()

    async def stopped() -> None:
        while not stop.is_set():
            await asyncio.sleep(0.05)

    thread = in_thread(lambda: asyncio.run(serve(app, config, shutdown_trigger=stopped)))
    yield
    stop.set()
    thread.join(30)


def serve_werkzeug(app: Any, sock: socket.socket) -> Iterator[None]:
    from werkzeug.serving import make_server

    server = make_server("127.0.0.1", sock.getsockname()[1], app, threaded=True,
                         fd=sock.fileno())
    thread = in_thread(server.serve_forever)
    yield
    server.shutdown()
    thread.join(30)


def serve_gunicorn(worker: str, app: str, sock: socket.socket, origins: str) -> Iterator[None]:
    env = dict(os.environ, VESTREL_TEST_ORIGINS=origins, PYTHONPATH=os.pathsep.join(
        [os.environ["VESTREL_PACKAGE_DIR"], os.environ["VESTREL_KERNEL_MODULE_DIR"], str(TESTS)]))
    child = subprocess.Popen(
        [DEBIAN_PYTHON, "-m", "gunicorn", "--preload", "-w", "1", "-k", worker, "--threads", "2",
         "--bind", f"fd://{sock.fileno()}", "--log-level", "error", "--graceful-timeout", "5",
         f"deploy_app:{app}"], env=env, cwd=TESTS, pass_fds=[sock.fileno()])
    try:
        yield
    finally:
        child.terminate()
        child.wait(30)


@pytest.fixture(scope="module", params=SERVERS)
def server(request: Any) -> Iterator[SimpleNamespace]:
    import deploy_app

    sock = listening()
    port = sock.getsockname()[1]
    local = f"http://127.0.0.1:{port}"
    origins = [local, PROXIED]
    name = request.param
    if name == "uvicorn-h11":
        running = serve_uvicorn(deploy_app.build_asgi(origins), sock)
    elif name == "hypercorn":
        running = serve_hypercorn(deploy_app.build_asgi(origins), sock)
    elif name == "werkzeug":
        running = serve_werkzeug(deploy_app.build_wsgi(origins), sock)
    elif name == "gunicorn-gthread":
        running = serve_gunicorn("gthread", "wsgi_app", sock, ",".join(origins))
    else:
        running = serve_gunicorn("uvicorn.workers.UvicornWorker", "asgi_app", sock,
                                 ",".join(origins))
    next(running)
    site = SimpleNamespace(name=name, port=port, local=local)
    deadline = time.monotonic() + 60
    while health(site) is None:
        assert time.monotonic() < deadline, f"{name} did not start"
        time.sleep(0.1)
    yield site
    next(running, None)
    sock.close()


def exchange(site: SimpleNamespace, request: bytes, timeout: float = 10) -> Tuple[int, bytes]:
    """(status, body) of one request sent as these bytes; the response is
    read up to its Content-Length, or until the server closes."""
    with socket.create_connection(("127.0.0.1", site.port), timeout=timeout) as sock:
        sock.sendall(request)
        data = b""
        while True:
            head, found, body = data.partition(b"\r\n\r\n")
            if found:
                lines = head.split(b"\r\n")
                length = [int(line.split(b":", 1)[1]) for line in lines[1:]
                          if line.lower().startswith(b"content-length:")]
                if request.startswith(b"HEAD ") or (length and len(body) >= length[0]):
                    return int(lines[0].split()[1]), body[:length[0] if length else 0]
            chunk = sock.recv(65536)
            if not chunk:
                return (int(data.split()[1]) if data else 0), body
            data += chunk


def raw_request(method: str, target: str, host: str, headers: Optional[Dict[str, str]] = None,
                body: bytes = b"") -> bytes:
    lines = [f"{method} {target} HTTP/1.1", f"Host: {host}", "Connection: close"]
    lines += [f"{k}: {v}" for k, v in (headers or {}).items()]
    if body:
        lines.append(f"Content-Length: {len(body)}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


def health(site: SimpleNamespace) -> Optional[int]:
    try:
        status, body = exchange(site, raw_request("GET", HEALTH, "127.0.0.1"), timeout=2)
    except OSError:
        return None
    return int(json.loads(body)["served"]) if status == 200 else None


def proof(w: SimpleNamespace, method: str, url: str, body: Optional[bytes] = None) -> Dict[str, str]:
    return vestrel.present(w.holder, w.token, method, url, body=body)


def test_proper_requests_reach_the_app(server: SimpleNamespace, world: SimpleNamespace) -> None:
    before = health(server) or 0
    host = server.local[len("http://"):]
    rows: List[Tuple[str, str, str, str, bytes, int]] = [
        # method, target, Host, the URL signed, body, status
        ("GET", DOCS + "?q=%20a", host, server.local + DOCS + "?q=%20a", b"", 200),
        ("POST", DOCS, host, server.local + DOCS, b"x\0y", 200),
        # Through a proxy that answers to the service's public name.
        ("GET", DOCS, "b.example.test", PROXIED + DOCS, b"", 200),
        # Frameworks answer HEAD with their GET route: the scope's GET covers it.
        ("HEAD", DOCS, host, server.local + DOCS, b"", 200),
    ]
    got = []
    for method, target, host_header, url, body, _ in rows:
        headers = proof(world, method, url, body or None)
        got.append(exchange(server, raw_request(method, target, host_header, headers, body))[0])
    assert got == [row[-1] for row in rows]
    assert health(server) == before + len(rows)  # HEAD runs the GET route too
    # What the app saw of the first request: the query the proof covered.
    status, seen = exchange(server, raw_request("GET", DOCS + "?q=%20a", host, proof(
        world, "GET", server.local + DOCS + "?q=%20a")))
    assert status == 200 and json.loads(seen)["query"] == "q=%20a", seen


def hostile(w: SimpleNamespace, site: SimpleNamespace) -> List[Tuple[str, str, str, Dict[str, str]]]:
    """(method, target, Host, headers): each carries a proof that would
    pass if the target or the Host header chose the URL it is checked
    against."""
    local_host = site.local[len("http://"):]
    for_foreign = proof(w, "GET", FOREIGN + "/x")
    for_docs = proof(w, "GET", site.local + DOCS)
    return [
        ("GET", "@a.example.test/x", local_host, for_foreign),
        ("GET", "%2F@a.example.test/x", local_host, for_foreign),
        ("GET", "\\@a.example.test/x", local_host, for_foreign),
        ("GET", "//a.example.test/x", local_host, for_foreign),
        ("GET", DOCS + "#?delete=all", local_host, for_docs),
        ("GET", FOREIGN + "/x", local_host, for_foreign),
        ("OPTIONS", "*", local_host, proof(w, "OPTIONS", site.local + "/")),
        # A proof made for another service, its name in the Host header.
        ("GET", "/x", "a.example.test", for_foreign),
        ("GET", "/x", "a.example.test:80", for_foreign),
        ("GET", "/x", "127.0.0.1:1", proof(w, "GET", "http://127.0.0.1:1/x")),
    ]


def test_hostile_targets_and_hosts_never_reach_the_app(server: SimpleNamespace,
                                                       world: SimpleNamespace) -> None:
    before = health(server)
    answers = []
    for method, target, host, headers in hostile(world, server):
        status, body = exchange(server, raw_request(method, target, host, headers))
        answers.append((target, host, status, body[:120]))
    # Werkzeug's request handler (http.server's) turns a leading "//" into
    # "/" before anything sees the target: the proof then fails its check.
    rewritten = {("werkzeug", "//a.example.test/x"): 401}
    assert [a for a in answers if a[2] != rewritten.get((server.name, a[0]))
            and a[2] not in (400, 421)] == [], answers
    assert health(server) == before


def test_a_request_without_credentials_is_answered_without_its_body(
        server: SimpleNamespace) -> None:
    host = server.local[len("http://"):]
    head = raw_request("POST", DOCS, host, {"Content-Length": "100000"})
    started = time.monotonic()
    status, body = exchange(server, head, timeout=10)  # the body never comes
    assert (status, b'"rule":"ProofMissing"' in body) == (401, True)
    assert time.monotonic() - started < 5


def test_http2_takes_its_host_from_authority(server: SimpleNamespace,
                                             world: SimpleNamespace) -> None:
    if server.name != "hypercorn":
        pytest.skip("HTTP/2 is Hypercorn's alone here")
    import httpx

    before = health(server) or 0
    base = server.local
    with httpx.Client(http1=False, http2=True, timeout=10) as client:
        ok = client.get(base + DOCS, headers=proof(world, "GET", base + DOCS))
        proxied = client.get(base + DOCS, headers={"host": "b.example.test",
                                                   **proof(world, "GET", PROXIED + DOCS)})
        foreign = client.get(base + "/x", headers={"host": "a.example.test",
                                                   **proof(world, "GET", FOREIGN + "/x")})
    assert (ok.http_version, ok.status_code, proxied.status_code, foreign.status_code) == (
        "HTTP/2", 200, 200, 421), (ok.text, proxied.text, foreign.text)
    assert foreign.json() == {"error": "invalid_request", "rule": "MisdirectedRequest"}
    assert health(server) == before + 2
