"""The middlewares under the servers people deploy them on: uvicorn (h11),
Hypercorn (HTTP/1.1 and HTTP/2), Werkzeug, gunicorn with threads (WSGI) and
with uvicorn workers (ASGI), each started once and sent hostile request
targets and Host headers over raw sockets: each is refused (400 or 421)
without reaching the app, while proper requests pass."""

from __future__ import annotations

import asyncio
import contextlib
import json
import os
import socket
import subprocess
import threading
import time
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import pytest

import deploy_app
import vestrel
from conftest import DEBIAN_PYTHON
from servers import ONCE, listening, started, uvicorn_on, werkzeug_on

pytestmark = [
    # Hypercorn leaves a coroutine behind when its loop stops: not ours to answer for.
    pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning"), *ONCE]

PROXIED = "https://b.example.test"  # the name a proxy in front of the service answers to
FOREIGN = "http://a.example.test"   # another service under the same root
DOCS, HEALTH = deploy_app.DOCS, deploy_app.HEALTH


@pytest.fixture(scope="module")
def world(identities: Callable[[str], vestrel.IdentityIsland]) -> SimpleNamespace:
    root, holder = identities("root"), identities("holder")
    wire = vestrel.delegate(None, root, holder.public_key(), "leaf",
                            [(DOCS.encode(), b"GET"), (DOCS.encode(), b"POST")])
    return SimpleNamespace(holder=holder, token=vestrel.encode_token(wire))


@contextlib.contextmanager
def hypercorn_on(app: Any, sock: socket.socket) -> Iterator[None]:
    from hypercorn.asyncio import serve
    from hypercorn.config import Config

    config = Config()
    config.bind = [f"fd://{os.dup(sock.fileno())}"]
    config.accesslog = config.errorlog = None
    stop = threading.Event()

    async def stopped() -> None:
        while not stop.is_set():
            await asyncio.sleep(0.05)

    thread = started(threading.Thread(
        target=lambda: asyncio.run(serve(app, config, shutdown_trigger=stopped))))
    yield
    stop.set()
    thread.join(30)


@contextlib.contextmanager
def gunicorn_on(worker: str, app: str, sock: socket.socket, origins: str) -> Iterator[None]:
    tests = Path(__file__).resolve().parent
    env = dict(os.environ, VESTREL_TEST_ORIGINS=origins, PYTHONPATH=os.pathsep.join(
        [os.environ["VESTREL_PACKAGE_DIR"], os.environ["VESTREL_KERNEL_MODULE_DIR"], str(tests)]))
    child = subprocess.Popen(
        [DEBIAN_PYTHON, "-m", "gunicorn", "--preload", "-w", "1", "-k", worker, "--threads", "2",
         "--bind", f"fd://{sock.fileno()}", "--log-level", "error", "--graceful-timeout", "5",
         f"deploy_app:{app}"], env=env, cwd=tests, pass_fds=[sock.fileno()])
    try:
        yield
    finally:
        child.terminate()
        child.wait(30)


SERVERS: Dict[str, Callable[[List[str], socket.socket], Any]] = {
    "uvicorn-h11": lambda origins, sock: uvicorn_on(deploy_app.build_asgi(origins), sock),
    "hypercorn": lambda origins, sock: hypercorn_on(deploy_app.build_asgi(origins), sock),
    "werkzeug": lambda origins, sock: werkzeug_on(deploy_app.build_wsgi(origins), sock),
    "gunicorn-gthread": lambda origins, sock: gunicorn_on("gthread", "wsgi_app", sock,
                                                          ",".join(origins)),
    "gunicorn-uvicorn": lambda origins, sock: gunicorn_on(
        "uvicorn.workers.UvicornWorker", "asgi_app", sock, ",".join(origins)),
}


@pytest.fixture(scope="module", params=list(SERVERS))
def server(request: Any) -> Iterator[SimpleNamespace]:
    sock = listening()
    port = sock.getsockname()[1]
    site = SimpleNamespace(name=request.param, port=port, local=f"http://127.0.0.1:{port}",
                           host=f"127.0.0.1:{port}")
    with sock, SERVERS[request.param]([site.local, PROXIED], sock):
        deadline = time.monotonic() + 60
        while health(site) is None:
            assert time.monotonic() < deadline, f"{site.name} did not start"
            time.sleep(0.1)
        yield site


def exchange(site: SimpleNamespace, method: str, target: str, host: str,
             headers: Optional[Dict[str, str]] = None, body: bytes = b"",
             timeout: float = 10) -> Tuple[int, bytes]:
    """(status, body) of one request sent as raw bytes; the response is read
    up to its Content-Length, or until the server closes."""
    lines = [f"{method} {target} HTTP/1.1", f"Host: {host}", "Connection: close"]
    lines += [f"{k}: {v}" for k, v in (headers or {}).items()]
    lines += [f"Content-Length: {len(body)}"] if body else []
    with socket.create_connection(("127.0.0.1", site.port), timeout=timeout) as sock:
        sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body)
        data = b""
        while True:
            head, found, rest = data.partition(b"\r\n\r\n")
            if found:
                length = [int(line.split(b":", 1)[1]) for line in head.split(b"\r\n")[1:]
                          if line.lower().startswith(b"content-length:")]
                if method == "HEAD" or (length and len(rest) >= length[0]):
                    return int(head.split()[1]), rest[:length[0] if length else 0]
            chunk = sock.recv(65536)
            if not chunk:
                return (int(data.split()[1]) if data else 0), rest
            data += chunk


def health(site: SimpleNamespace) -> Optional[int]:
    try:
        status, body = exchange(site, "GET", HEALTH, "127.0.0.1", timeout=2)
    except OSError:
        return None
    return int(json.loads(body)["served"]) if status == 200 else None


def proof(w: SimpleNamespace, method: str, url: str, body: Optional[bytes] = None) -> Dict[str, str]:
    return vestrel.present(w.holder, w.token, method, url, body=body)


def test_proper_requests_reach_the_app(server: SimpleNamespace, world: SimpleNamespace) -> None:
    before = health(server) or 0
    rows: List[Tuple[str, str, str, str, bytes]] = [
        # method, target, Host, the URL signed, body
        ("GET", DOCS + "?q=%20a", server.host, server.local + DOCS + "?q=%20a", b""),
        ("POST", DOCS, server.host, server.local + DOCS, b"x\0y"),
        ("GET", DOCS, "b.example.test", PROXIED + DOCS, b""),  # through a proxy's public name
        # Frameworks answer HEAD with their GET route: the scope's GET covers it.
        ("HEAD", DOCS, server.host, server.local + DOCS, b""),
    ]
    got = [exchange(server, method, target, host, proof(world, method, url, body or None), body)
           for method, target, host, url, body in rows]
    assert [status for status, _ in got] == [200] * len(rows), got
    assert json.loads(got[0][1])["query"] == "q=%20a"  # the query the proof covered
    assert health(server) == before + len(rows)  # HEAD runs the GET route too


def test_hostile_targets_and_hosts_never_reach_the_app(server: SimpleNamespace,
                                                       world: SimpleNamespace) -> None:
    # Each carries a proof that would pass if the target or the Host header
    # chose the URL it is checked against.
    for_foreign = proof(world, "GET", FOREIGN + "/x")
    for_docs = proof(world, "GET", server.local + DOCS)
    rows = [("GET", target, server.host, for_foreign) for target in (
        "@a.example.test/x", "%2F@a.example.test/x", "\\@a.example.test/x", "//a.example.test/x",
        FOREIGN + "/x")] + [
        ("GET", DOCS + "#?delete=all", server.host, for_docs),
        ("OPTIONS", "*", server.host, proof(world, "OPTIONS", server.local + "/")),
        # A proof made for another service, its name in the Host header.
        ("GET", "/x", "a.example.test", for_foreign), ("GET", "/x", "a.example.test:80", for_foreign),
        ("GET", "/x", "127.0.0.1:1", proof(world, "GET", "http://127.0.0.1:1/x"))]
    before = health(server)
    answers = [(target, host, *exchange(server, method, target, host, headers))
               for method, target, host, headers in rows]
    # Werkzeug's request handler (http.server's) turns a leading "//" into
    # "/" before anything sees the target: the proof then fails its check.
    rewritten = {("werkzeug", "//a.example.test/x"): 401}
    assert [a for a in answers if a[2] != rewritten.get((server.name, a[0]))
            and a[2] not in (400, 421)] == [], answers
    assert health(server) == before


def test_a_request_without_credentials_is_answered_without_its_body(
        server: SimpleNamespace) -> None:
    started_at = time.monotonic()
    status, body = exchange(server, "POST", DOCS, server.host,  # the body never comes
                            {"Content-Length": "100000"})
    assert (status, b'"rule":"ProofMissing"' in body) == (401, True)
    assert time.monotonic() - started_at < 5


def test_http2_takes_its_host_from_authority(server: SimpleNamespace,
                                             world: SimpleNamespace) -> None:
    if server.name != "hypercorn":
        pytest.skip("HTTP/2 is Hypercorn's alone here")
    import httpx

    before = health(server) or 0
    with httpx.Client(http1=False, http2=True, timeout=10) as client:
        answers = [client.get(server.local + path, headers={**host, **proof(world, "GET", url)})
                   for path, host, url in [(DOCS, dict[str, str](), server.local + DOCS),
                                           (DOCS, {"host": "b.example.test"}, PROXIED + DOCS),
                                           ("/x", {"host": "a.example.test"}, FOREIGN + "/x")]]
    assert [(a.http_version, a.status_code) for a in answers] == [("HTTP/2", 200), ("HTTP/2", 200),
                                                                  ("HTTP/2", 421)]
    assert answers[2].json() == {"error": "invalid_request", "rule": "MisdirectedRequest"}
    assert health(server) == before + 2
