"""docs/http.md runs as pasted: its ```python blocks in order, in one
namespace, the services they build served on 127.0.0.1 (the ASGI ``app``
under uvicorn, the Flask ``api`` under Werkzeug), and each client block
(requests or httpx) run against each of them, this test playing the TLS
proxy that answers to https://api.example.com.

Blocks that use Redis (``vestrel.redis``) need a Redis server and are left
to the Redis tests; they are only read here, for their Authorize calls."""

from __future__ import annotations

import os
import re
import sys
import threading
import time
import traceback
from pathlib import Path
from typing import Any, Dict, Iterator, List, Tuple
from urllib.parse import urlsplit

import pytest

from conftest import DEBIAN_PYTHON
from test_guide import fenced_blocks

HTTP_DOC = Path(__file__).resolve().parents[2] / "docs" / "http.md"
PUBLIC = "api.example.com"

once = pytest.mark.skipif(os.path.realpath(sys.executable) != os.path.realpath(DEBIAN_PYTHON),
                          reason="the page's servers run once per suite, under Debian's python3")


def python_blocks() -> List[Tuple[int, str]]:
    return [(first, source) for language, first, source in fenced_blocks(HTTP_DOC.read_text())
            if language == "python"]


def needs_redis(source: str) -> bool:
    return re.search(r"\bimport redis\b|vestrel\.redis", source) is not None


def is_client(source: str) -> bool:
    """A block that sends requests, with requests or httpx."""
    return re.search(r"^import (?:requests|httpx)$", source, re.M) is not None


def test_every_middleware_on_the_page_names_where_it_is_served() -> None:
    calls = [(first, call) for first, source in python_blocks()
             for call in re.findall(r"Authorize\((?:[^()]|\([^()]*\))*\)", source)]
    assert len(calls) >= 4, "the page's Authorize calls were not found"
    assert [c for c in calls if "origin=" not in c[1] and "hosts=" not in c[1]] == []


def serving(app: Any, wsgi: bool) -> Iterator[int]:
    """Serves ``app`` on a free port of 127.0.0.1 until closed."""
    if wsgi:
        from werkzeug.serving import make_server

        server = make_server("127.0.0.1", 0, app, threaded=True)
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        yield server.server_port
        server.shutdown()
    else:
        import socket

        import uvicorn

        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        userver = uvicorn.Server(uvicorn.Config(app, log_level="error", lifespan="off"))
        thread = threading.Thread(target=userver.run, kwargs={"sockets": [sock]}, daemon=True)
        thread.start()
        deadline = time.monotonic() + 30
        while not userver.started:
            assert thread.is_alive() and time.monotonic() < deadline, "uvicorn did not start"
            time.sleep(0.01)
        yield sock.getsockname()[1]
        userver.should_exit = True
    thread.join(30)
    assert not thread.is_alive()


@once
def test_the_page_runs_against_real_servers(tmp_path: Path, monkeypatch: Any) -> None:
    import httpx
    import requests.adapters

    monkeypatch.chdir(tmp_path)
    port = [0]
    forward = requests.adapters.HTTPAdapter.send

    def proxy(adapter: Any, request: Any, **kwargs: Any) -> Any:
        # What a TLS proxy in front of the service does: the same request,
        # its Host header kept, over plain HTTP to the service.
        assert urlsplit(request.url).netloc == PUBLIC, request.url
        request.url = f"http://127.0.0.1:{port[0]}{request.path_url}"
        request.headers["Host"] = PUBLIC
        return forward(adapter, request, **kwargs)

    monkeypatch.setattr(requests.adapters.HTTPAdapter, "send", proxy)

    def proxied(request: Any) -> Any:
        assert request.url.netloc == PUBLIC.encode(), request.url
        request.url = request.url.copy_with(scheme="http", host="127.0.0.1", port=port[0])
        request.headers["Host"] = PUBLIC
        return request

    forward_sync = httpx.HTTPTransport.handle_request
    forward_async = httpx.AsyncHTTPTransport.handle_async_request

    async def proxy_async(transport: Any, request: Any) -> Any:
        return await forward_async(transport, proxied(request))

    monkeypatch.setattr(httpx.HTTPTransport, "handle_request",
                        lambda transport, request: forward_sync(transport, proxied(request)))
    monkeypatch.setattr(httpx.AsyncHTTPTransport, "handle_async_request", proxy_async)
    namespace: Dict[str, Any] = {"__name__": "http_doc"}
    servers: List[Tuple[str, Iterator[int], int]] = []
    clients = 0
    try:
        for number, (first, source) in enumerate(python_blocks(), start=1):
            if needs_redis(source):
                continue
            code = compile(source, str(HTTP_DOC), "exec")
            if not is_client(source):
                run(code, namespace, number, first)
                continue
            if not servers:
                for name, wsgi in (("app", False), ("api", True)):
                    server = serving(namespace[name], wsgi)
                    servers.append((name, server, next(server)))
            for name, _, port[0] in servers:
                run(code, namespace, number, first, name)
                reply = namespace["reply"]
                assert (reply.status_code, reply.json()) == (
                    200, {"holder": namespace["vestrel"].key_id(namespace["holder"].public_key())}
                ), (name, reply.text)
            clients += 1
    finally:
        for _, server, _ in servers:
            next(server, None)
    assert clients >= 3, "the client blocks did not run"


def run(code: Any, namespace: Dict[str, Any], number: int, first: int, served: str = "") -> None:
    try:
        exec(code, namespace)
    except Exception as error:  # noqa: BLE001 - any failure is the page's
        line = [f.lineno for f in traceback.extract_tb(error.__traceback__)
                if f.filename == str(HTTP_DOC)]
        raise AssertionError(f"http.md Python block {number} (from line {first}"
                             f"{', against ' + served if served else ''}) failed at line "
                             f"{line[-1] if line else None}: {error!r}") from error
