"""Servers the HTTP tests start on 127.0.0.1 and stop themselves; Debian's
frameworks are built for its python3, so these tests run once per suite,
under it."""

from __future__ import annotations

import contextlib
import os
import socket
import sys
import threading
import time
from typing import Any, Callable, Iterator, List, Optional, TypeVar
from urllib.parse import urlsplit

import pytest

from conftest import DEBIAN_PYTHON, under_address_sanitizer

ONCE = [
    pytest.mark.skipif(os.path.realpath(sys.executable) != os.path.realpath(DEBIAN_PYTHON),
                       reason="servers run once per suite, under Debian's python3"),
    pytest.mark.skipif(under_address_sanitizer(), reason="not on a sanitized build"),
]
Test = TypeVar("Test", bound=Callable[..., None])


def once(test: Test) -> Test:
    for mark in ONCE:
        test = mark(test)
    return test


def tls_proxy(monkeypatch: Any, port: List[int], public: str = "api.example.com") -> None:
    """requests and httpx (sync and async) sent to https://<public> reach
    127.0.0.1:port[0] over plain HTTP with their Host header kept: a TLS
    proxy in front of the service. port is a list so that a test may point
    it at one server after another."""
    import httpx
    import requests.adapters  # type: ignore[import]

    send = requests.adapters.HTTPAdapter.send

    def forwarded(adapter: Any, request: Any, **kwargs: Any) -> Any:
        assert urlsplit(request.url).netloc == public, request.url
        request.url = f"http://127.0.0.1:{port[0]}{request.path_url}"
        request.headers["Host"] = public
        return send(adapter, request, **kwargs)

    def moved(request: Any) -> Any:
        assert request.url.netloc == public.encode(), request.url
        request.url = request.url.copy_with(scheme="http", host="127.0.0.1", port=port[0])
        request.headers["Host"] = public
        return request

    sync, asynchronous = httpx.HTTPTransport.handle_request, httpx.AsyncHTTPTransport.handle_async_request

    async def moved_async(transport: Any, request: Any) -> Any:
        return await asynchronous(transport, moved(request))

    monkeypatch.setattr(requests.adapters.HTTPAdapter, "send", forwarded)
    monkeypatch.setattr(httpx.HTTPTransport, "handle_request",
                        lambda transport, request: sync(transport, moved(request)))
    monkeypatch.setattr(httpx.AsyncHTTPTransport, "handle_async_request", moved_async)


def listening() -> socket.socket:
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(64)
    return sock


def started(thread: threading.Thread) -> threading.Thread:
    thread.daemon = True
    thread.start()
    return thread


@contextlib.contextmanager
def uvicorn_on(app: Any, sock: Optional[socket.socket] = None, lifespan: str = "off") -> Iterator[int]:
    """``app`` under uvicorn (h11); yields its port once it accepts (and,
    with ``lifespan="on"``, once the app's startup is complete)."""
    import uvicorn  # type: ignore[import]

    sock = sock or listening()
    server = uvicorn.Server(uvicorn.Config(app, http="h11", log_level="error", lifespan=lifespan))
    thread = started(threading.Thread(target=server.run, kwargs={"sockets": [sock]}))
    deadline = time.monotonic() + 30
    while not server.started:
        assert thread.is_alive() and time.monotonic() < deadline, "uvicorn did not start"
        time.sleep(0.01)
    try:
        yield sock.getsockname()[1]
    finally:
        server.should_exit = True
        thread.join(30)
    assert not thread.is_alive()


@contextlib.contextmanager
def werkzeug_on(app: Any, sock: Optional[socket.socket] = None) -> Iterator[int]:
    from werkzeug.serving import make_server

    server = make_server("127.0.0.1", sock.getsockname()[1] if sock else 0, app, threaded=True,
                         fd=sock.fileno() if sock else None)
    thread = started(threading.Thread(target=server.serve_forever))
    try:
        yield server.socket.getsockname()[1]
    finally:
        server.shutdown()
        thread.join(30)
    assert not thread.is_alive()
