#!/usr/bin/env python3
"""Requests per second and latency of a Starlette endpoint on uvicorn, bare
and behind vestrel.asgi.Authorize, on 127.0.0.1.

The server runs in a child process (this script with --serve), so that the
client's threads do not share its interpreter lock. The client registers a
3-credential chain once, then prepares every presentation before the clock
starts (each proof is good for one request), and sends them from a fixed
number of threads, each on one keep-alive http.client connection, in a few
rounds that alternate between the two servers. The bare endpoint gets the
very same requests and ignores their headers, so the difference is the check
alone: one proof signature, the chain's signatures from the verifier's
cache, the replay store. Rates are the median round's; latencies pool every
request. Both children are stopped at the end, whatever happens; nothing
is asserted.

    python3 bench/http_bench.py --module-dir build/kernel-py --package-dir build/python
"""

from __future__ import annotations

import argparse
import http.client
import os
import socket
import statistics
import subprocess
import sys
import threading
import time
from typing import Dict, List, Tuple

from loopback import free_port

MASTER = bytes(range(32))
PATH = "/docs/1"
PERMS = [(b"/docs/1", b"GET")]
REGISTER = "/.well-known/vestrel/chains"
WARM = 100


def islands() -> List[object]:
    import vestrel

    return [vestrel.IdentityIsland(MASTER, b"http-bench", name) for name in (b"root", b"a", b"b", b"c")]


def serve(kind: str, port: int) -> None:
    import uvicorn
    from starlette.applications import Starlette
    from starlette.responses import PlainTextResponse
    from starlette.routing import Route

    import vestrel
    import vestrel.asgi

    async def docs(request: object) -> PlainTextResponse:
        return PlainTextResponse("ok")

    app = Starlette(routes=[Route(PATH, docs)])
    if kind == "vestrel":
        root = islands()[0]
        app = vestrel.asgi.Authorize(app, vestrel.Verifier([root.public_key()]),  # type: ignore
                                     origin=f"http://127.0.0.1:{port}")
    uvicorn.run(app, host="127.0.0.1", port=port, log_level="error", access_log=False,
                lifespan="off")


def start(kind: str, args: argparse.Namespace) -> Tuple[subprocess.Popen, int]:  # type: ignore[type-arg]
    port = free_port()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [args.package_dir,
                                                                    args.module_dir])))
    child = subprocess.Popen([sys.executable, __file__, "--serve", kind, "--port", str(port)],
                             env=env)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return child, port
        except OSError:
            time.sleep(0.05)
    child.kill()
    raise RuntimeError(f"the {kind} server did not start")


def drive(port: int, requests: List[Dict[str, str]], threads: int) -> Tuple[float, List[float], int]:
    """(seconds, latency of each request, answers that were not 200)."""
    latencies: List[float] = []
    failures = [0]
    lock = threading.Lock()
    shares = [requests[i::threads] for i in range(threads)]
    barrier = threading.Barrier(threads + 1)

    def client(share: List[Dict[str, str]]) -> None:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        mine: List[float] = []
        bad = 0
        barrier.wait()
        for headers in share:
            began = time.perf_counter()
            connection.request("GET", PATH, headers=headers)
            response = connection.getresponse()
            response.read()
            mine.append(time.perf_counter() - began)
            bad += response.status != 200
        connection.close()
        with lock:
            latencies.extend(mine)
            failures[0] += bad

    workers = [threading.Thread(target=client, args=(share,), daemon=True) for share in shares]
    for worker in workers:
        worker.start()
    barrier.wait()
    began = time.perf_counter()
    for worker in workers:
        worker.join(300)
    return time.perf_counter() - began, latencies, failures[0]


def report(name: str, runs: List[Tuple[float, List[float], int]]) -> float:
    """Prints the median rate of the rounds and the percentiles of every
    request of every round; returns the rate."""
    rate = statistics.median(len(latencies) / seconds for seconds, latencies, _ in runs)
    cuts = statistics.quantiles([t for _, latencies, _ in runs for t in latencies], n=100)
    failures = sum(bad for _, _, bad in runs)
    print(f"  {name:<18} {rate:7.0f} req/s   p50 {cuts[49] * 1e3:6.2f} ms   "
          f"p99 {cuts[98] * 1e3:6.2f} ms   non-200: {failures}", flush=True)
    return rate


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module-dir", help="directory holding vestrel_kernel.abi3.so")
    parser.add_argument("--package-dir", help="directory holding the vestrel package")
    parser.add_argument("--requests", type=int, default=3000)
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--serve", choices=["plain", "vestrel"], help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    for folder in (args.module_dir, args.package_dir):
        if folder:
            sys.path.insert(0, folder)
    if args.serve:
        serve(args.serve, args.port)
        return 0

    import vestrel

    try:
        import starlette  # noqa: F401
        import uvicorn  # noqa: F401
    except ImportError as error:
        print(f"http_bench: skipped, this python3 has no {error.name} (scripts/setup.sh)")
        return 0
    root, a, b, holder = islands()
    wire = None
    for issuer, child, role in ((root, a, "node"), (a, b, "node"), (b, holder, "leaf")):
        wire = vestrel.delegate(wire, issuer, child.public_key(), role, PERMS)  # type: ignore
    token = vestrel.encode_token(wire)  # type: ignore[arg-type]
    print(f"http_bench: Starlette on uvicorn, {args.rounds} rounds of {args.requests} GET requests "
          f"from {args.threads} threads (keep-alive), a {len(token):,}-character token presented "
          f"by reference")

    # Both servers run side by side and take turns, round by round, so that a
    # slow spell of a shared machine is spread over both.
    children = []
    try:
        ports = {}
        for kind in ("vestrel", "plain"):
            child, ports[kind] = start(kind, args)
            children.append(child)
        base = f"http://127.0.0.1:{ports['vestrel']}"
        headers, body, ref = vestrel.register(holder, token, base + REGISTER)
        connection = http.client.HTTPConnection("127.0.0.1", ports["vestrel"], timeout=30)
        connection.request("POST", REGISTER, body=body, headers=headers)
        answer = connection.getresponse()
        answer.read()
        connection.close()
        if answer.status != 201:
            raise RuntimeError(f"registration answered {answer.status}")
        results: Dict[str, List[Tuple[float, List[float], int]]] = {"vestrel": [], "plain": []}
        for _ in range(args.rounds):
            prepared = [vestrel.present(holder, ref, "GET", base + PATH)
                        for _ in range(args.requests + WARM)]
            for kind, port in ports.items():
                drive(port, prepared[:WARM], 1)
                results[kind].append(drive(port, prepared[WARM:], args.threads))
    finally:
        for child in children:
            child.terminate()
            try:
                child.wait(30)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait(10)
    rates = {kind: report("behind Authorize" if kind == "vestrel" else "bare", runs)
             for kind, runs in results.items()}
    print(f"  Authorize keeps {rates['vestrel'] / rates['plain']:.0%} of the bare rate")
    return 0


if __name__ == "__main__":
    sys.exit(main())
