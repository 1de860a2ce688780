#!/usr/bin/env python3
"""Measures how long a header line HTTP servers accept with their default
settings, the figures docs/http.md gives beside token sizes.

Each server answers 200 to any GET on 127.0.0.1; one header line
("X-Fill: aaa...") grows until the answer is no longer 200, found by
bisection, one connection per request. Servers whose modules or programs
are absent are left out.

    python3 bench/http_limits.py
"""

from __future__ import annotations

import http.server
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from typing import Callable, Iterator, Tuple

from loopback import free_port

HIGH = 256 * 1024


def answer(port: int, size: int, segment: int) -> str:
    """The status the server gives a GET with one header line of ``size``
    bytes (name, colon, space and value), or what happened instead; sent in
    pieces of ``segment`` bytes a millisecond apart, as a network delivers
    a long request (a server may judge a head that comes whole otherwise)."""
    line = b"X-Fill: " + b"a" * (size - 8)
    request = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + line + b"\r\nConnection: close\r\n\r\n"
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            try:
                for start in range(0, len(request), segment):
                    sock.sendall(request[start:start + segment])
                    if segment < len(request):
                        time.sleep(0.001)
            except OSError:
                pass  # the server may answer and close before it has all of it
            data = b""
            while b"\r\n" not in data:
                chunk = sock.recv(4096)
                if not chunk:
                    break
                data += chunk
    except OSError as error:
        return type(error).__name__
    first = data.split(b"\r\n", 1)[0].split(b" ")
    return first[1].decode() if len(first) > 1 else "closed"


def largest(port: int, segment: int) -> Tuple[int, str]:
    """The longest header line answered 200, and the answer one byte more gets."""
    low, high = 16, HIGH
    if answer(port, high, segment) == "200":
        return high, "200"
    while high - low > 1:
        middle = (low + high) // 2
        if answer(port, middle, segment) == "200":
            low = middle
        else:
            high = middle
    return low, answer(port, low + 1, segment)


def wait_for(port: int) -> None:
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on {port}")


def hello_wsgi(environ: object, start_response: Callable[..., object]) -> list[bytes]:
    start_response("200 OK", [("Content-Length", "2")])
    return [b"ok"]


def uvicorn_server() -> Iterator[int]:
    import uvicorn

    async def app(scope: dict, receive: Callable, send: Callable) -> None:  # type: ignore[type-arg]
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"ok"})

    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    server = uvicorn.Server(uvicorn.Config(app, log_level="error", lifespan="off", http="h11"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    while not server.started:
        time.sleep(0.01)
    yield sock.getsockname()[1]
    server.should_exit = True
    thread.join(10)


def werkzeug_server() -> Iterator[int]:
    from werkzeug.serving import WSGIRequestHandler, make_server

    class Quiet(WSGIRequestHandler):
        def log(self, *args: object) -> None:
            pass

    server = make_server("127.0.0.1", 0, hello_wsgi, threaded=True, request_handler=Quiet)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server.server_port
    server.shutdown()
    thread.join(10)


class Hello(http.server.BaseHTTPRequestHandler):
    def do_GET(self) -> None:
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    def log_message(self, *args: object) -> None:
        pass


def stdlib_server() -> Iterator[int]:
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hello)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server.server_address[1]
    server.shutdown()
    thread.join(10)


def program(command: Callable[[str, int], list[str]], name: str) -> Callable[[], Iterator[int]]:
    def serve() -> Iterator[int]:
        with tempfile.TemporaryDirectory() as where:
            port = free_port()
            process = subprocess.Popen(command(where, port), cwd=where, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
            try:
                wait_for(port)
                yield port
            finally:
                process.terminate()
                process.wait(10)

    serve.__name__ = name
    return serve


def gunicorn_command(where: str, port: int) -> list[str]:
    with open(os.path.join(where, "hello.py"), "w") as out:
        out.write("def app(environ, start_response):\n"
                  "    start_response('200 OK', [('Content-Length', '2')])\n    return [b'ok']\n")
    return [sys.executable, "-m", "gunicorn", "-b", f"127.0.0.1:{port}", "-w", "1", "hello:app"]


def nginx_command(where: str, port: int) -> list[str]:
    os.makedirs(os.path.join(where, "logs"))
    with open(os.path.join(where, "nginx.conf"), "w") as out:
        out.write(f"error_log {where}/logs/error.log; pid {where}/nginx.pid;\n"
                  f"events {{}}\nhttp {{ access_log off; client_body_temp_path {where};\n"
                  f"proxy_temp_path {where}; fastcgi_temp_path {where}; uwsgi_temp_path {where};\n"
                  f"scgi_temp_path {where};\n"
                  f"server {{ listen 127.0.0.1:{port}; location / {{ return 200 ok; }} }} }}\n")
    return ["nginx", "-p", where, "-c", os.path.join(where, "nginx.conf"), "-g", "daemon off;"]


def main() -> int:
    servers: list[Tuple[str, Callable[[], Iterator[int]]]] = [
        ("uvicorn (h11)", uvicorn_server), ("Werkzeug dev server", werkzeug_server),
        ("http.server", stdlib_server)]
    if shutil.which("gunicorn") or os.path.exists("/usr/lib/python3/dist-packages/gunicorn"):
        servers.append(("gunicorn", program(gunicorn_command, "gunicorn")))
    if shutil.which("nginx"):
        servers.append(("nginx", program(nginx_command, "nginx")))
    print(f"{'server':<22} {'longest header line, sent in 1460-byte segments':>48}"
          f" {'sent at once':>14}")
    for name, serve in servers:
        try:
            for port in serve():
                shown = []
                for segment in (1460, HIGH * 2):
                    size, beyond = largest(port, segment)
                    shown.append(f">= {size}" if beyond == "200" else f"{size} (then {beyond})")
                print(f"{name:<22} {shown[0]:>48} {shown[1]:>14}", flush=True)
        except Exception as error:  # a server that cannot run here is reported, not fatal
            print(f"{name:<22} {'-':>20}  not measured: {error!r}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
