#!/usr/bin/env python3
"""What a Starlette endpoint costs bare, behind vestrel.asgi.Authorize and
behind vestrel.fastapi.Auth (and with a no-op FastAPI security dependency,
FastAPI's own price for any), side by side in one run.

Two measurements, each in rounds that take turns between the variants
(ABCD ABCD ...), so that a slow spell of a shared machine is spread over
all of them, and each reported as the median round:

  in this process: the ASGI app called directly with the scope, receive and
    send a server would give it, no sockets, so that what the middleware
    itself costs is not lost in a server's and a client's noise. Times are
    the thread's CPU time per request (wall clock beside it), next to one
    holder proof check (vestrel.check_proof) measured in the same rounds:
    the added time is what a variant costs over the bare endpoint, and the
    one signature the proof carries is its floor.

  on 127.0.0.1: each variant on uvicorn in a child process (this script
    with --serve), so that the client's threads do not share its
    interpreter lock; requests from a fixed number of threads, each on one
    keep-alive http.client connection. Rates are the median round's;
    latencies pool every request. Beside them, each server's own processor
    time per request (all its threads), which the client's share of the
    cores does not move as it moves the rates.

The client registers a 3-credential chain once with each checked variant,
then prepares every presentation before the clock starts (each proof is
good for one request, at each of the variants, whose replay stores are
their own), and presents it by reference. Every variant gets the very same
requests and the bare ones ignore their headers, so the difference is the
check alone: one proof signature, the chain's signatures from the
verifier's cache, the replay store, and the Python around them. The
FastAPI rows need Debian's FastAPI (and vestrel.fastapi); without them
they say they were skipped. Nothing is asserted.

    python3 bench/http_bench.py --module-dir build/kernel-py --package-dir build/python
    python3 bench/http_bench.py ... --profile    (where the Authorize request's time goes)
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import http.client
import os
import socket
import statistics
import subprocess
import sys
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

from loopback import free_port

MASTER = bytes(range(32))
PATH = "/docs/1"
RESOURCE, VERB = b"/docs/1", b"GET"
PERMS = [(RESOURCE, VERB)]
REGISTER = "/.well-known/vestrel/chains"
# Every checked variant is told this origin, so that one proof serves at
# each of them whatever port it listens on: with one origin the Host
# header is not read.
ORIGIN = "https://api.example.com"
WARM = 100

# Variant, its title, the variant its cost is counted from.
# The no-op dependency is FastAPI's own price for any security dependency
# (resolving it, and reading the request's parameters for it), which
# fastapi.Auth pays too.
VARIANTS = [("bare", "Starlette, bare", None),
            ("authorize", "  behind asgi.Authorize", "bare"),
            ("fastapi-bare", "FastAPI, bare", None),
            ("fastapi-noop", "  a no-op Security dep.", "fastapi-bare"),
            ("fastapi", "  with fastapi.Auth", "fastapi-bare")]
CHECKED = ("authorize", "fastapi")


def islands() -> List[Any]:
    import vestrel

    return [vestrel.IdentityIsland(MASTER, b"http-bench", name) for name in (b"root", b"a", b"b", b"c")]


def fastapi_missing() -> Optional[str]:
    """Why the FastAPI rows cannot run here, or None."""
    try:
        import fastapi  # noqa: F401
    except ImportError:
        return "FastAPI not available"
    try:
        import vestrel.fastapi  # noqa: F401
    except ImportError:
        return "vestrel.fastapi not available"
    return None


def build_app(kind: str) -> Any:
    """The ASGI app of a variant: one GET endpoint answering "ok"."""
    import vestrel

    verifier = vestrel.Verifier([islands()[0].public_key()])
    if kind.startswith("fastapi"):
        import fastapi
        from fastapi.responses import PlainTextResponse as FastText

        app = fastapi.FastAPI()
        if kind == "fastapi-bare":
            # No annotations FastAPI would read: under this module's
            # postponed annotations it looks their names up in its globals.
            @app.get(PATH)
            async def bare_docs():  # type: ignore[no-untyped-def]
                return FastText("ok")
            return app
        if kind == "fastapi-noop":
            from fastapi.openapi.models import HTTPBase
            from fastapi.security.base import SecurityBase
            from starlette.requests import HTTPConnection

            class Noop(SecurityBase):
                def __init__(self) -> None:
                    self.model = HTTPBase(scheme="Vestrel")
                    self.scheme_name = "Vestrel"

                async def __call__(self, request):  # type: ignore[no-untyped-def]
                    return None

            Noop.__call__.__annotations__ = {"request": HTTPConnection}

            @app.get(PATH)
            async def noop_docs(chain: Any = fastapi.Security(Noop())):  # type: ignore[no-untyped-def]
                return FastText("ok")
            return app
        import vestrel.fastapi

        auth = vestrel.fastapi.Auth(verifier, origin=ORIGIN, app=app)

        @app.get(PATH)
        async def docs(chain: Any = fastapi.Security(auth.require(RESOURCE, VERB))):  # type: ignore[no-untyped-def]
            return FastText("ok")
        return app

    from starlette.applications import Starlette
    from starlette.responses import PlainTextResponse
    from starlette.routing import Route

    async def endpoint(request: object) -> PlainTextResponse:
        return PlainTextResponse("ok")

    app = Starlette(routes=[Route(PATH, endpoint)])
    if kind == "authorize":
        import vestrel.asgi

        return vestrel.asgi.Authorize(app, verifier, origin=ORIGIN)
    return app


def credentials() -> Tuple[Any, str]:
    """The holder and the token of its 3-credential chain."""
    import vestrel

    root, a, b, holder = islands()
    wire = None
    for issuer, child, role in ((root, a, "node"), (a, b, "node"), (b, holder, "leaf")):
        wire = vestrel.delegate(wire, issuer, child.public_key(), role, PERMS)
    return holder, vestrel.encode_token(wire)  # type: ignore[arg-type]


def added(us: float, base: Optional[float], proof_us: float) -> str:
    """The time a variant adds per request to its bare one, in µs and in
    check_proofs; blank for a bare one."""
    if base is None:
        return f"{'':>19}"
    return f"{us - base:>10.1f}{(us - base) / proof_us:>8.2f}×"


# -- in this process ---------------------------------------------------------


def scope_of(headers: Dict[str, str], path: str = PATH, method: str = "GET",
             body: bytes = b"") -> Dict[str, Any]:
    """The scope uvicorn gives an app for an http.client request: names in
    lowercase, the client's own headers first."""
    listed = [(b"host", b"127.0.0.1:8000"), (b"accept-encoding", b"identity")]
    if body:
        listed.append((b"content-length", str(len(body)).encode("ascii")))
    listed += [(k.lower().encode("latin-1"), v.encode("latin-1")) for k, v in headers.items()]
    raw = path.encode("ascii")
    return {"type": "http", "asgi": {"version": "3.0", "spec_version": "2.3"},
            "http_version": "1.1", "server": ("127.0.0.1", 8000), "client": ("127.0.0.1", 50000),
            "scheme": "http", "method": method, "root_path": "", "path": path,
            "raw_path": raw, "query_string": b"", "headers": listed, "state": {}}


async def call(app: Any, scope: Dict[str, Any], body: bytes = b"") -> int:
    """The status ``app`` answers ``scope`` with."""
    pending = [{"type": "http.request", "body": body, "more_body": False}]
    status = [0]

    async def receive() -> Dict[str, Any]:
        return pending.pop() if pending else {"type": "http.disconnect"}

    async def send(message: Dict[str, Any]) -> None:
        if message["type"] == "http.response.start":
            status[0] = message["status"]

    await app(scope, receive, send)
    return status[0]


async def timed(app: Any, scopes: List[Dict[str, Any]]) -> Tuple[float, float, int]:
    """(CPU µs, wall µs) per request, and the answers that were not 200.
    The scopes made beforehand are moved out of the collector's sight: a
    server makes each when its request comes and drops it after, and
    thousands of them waiting would make every collection the requests'
    own garbage sets off cost more than it does in a server."""
    bad = 0
    gc.collect()
    gc.freeze()
    cpu, wall = time.thread_time(), time.perf_counter()
    for scope in scopes:
        bad += await call(app, scope) != 200
    cpu, wall = time.thread_time() - cpu, time.perf_counter() - wall
    gc.unfreeze()
    return cpu / len(scopes) * 1e6, wall / len(scopes) * 1e6, bad


def proof_cost(holder: Any, count: int) -> Tuple[float, float]:
    """(CPU µs, wall µs) of one vestrel.check_proof."""
    import vestrel

    proof, pk = vestrel.prove(holder, b"challenge"), holder.public_key()
    cpu, wall = time.thread_time(), time.perf_counter()
    for _ in range(count):
        vestrel.check_proof(pk, b"challenge", proof)
    cpu, wall = time.thread_time() - cpu, time.perf_counter() - wall
    return cpu / count * 1e6, wall / count * 1e6


async def in_process(kinds: List[str], requests: int, rounds: int, profile: bool) -> None:
    import vestrel

    holder, token = credentials()
    apps = {kind: build_app(kind) for kind in kinds}
    headers, body, ref = vestrel.register(holder, token, ORIGIN + REGISTER)
    for kind in kinds:
        if kind in CHECKED:
            status = await call(apps[kind], scope_of(headers, REGISTER, "POST", body), body)
            if status != 201:
                raise RuntimeError(f"registration with {kind} answered {status}")
    cpu: Dict[str, List[float]] = {kind: [] for kind in kinds + ["proof"]}
    wall: Dict[str, List[float]] = {kind: [] for kind in kinds + ["proof"]}
    failures = 0
    for turn in range(rounds):
        # Each proof once at each variant; the scopes are new for each
        # variant, as a server builds them for each request.
        presented = [vestrel.present(holder, ref, "GET", ORIGIN + PATH)
                     for _ in range(requests + WARM)]
        # The order turns too, so that no variant always runs first.
        order = kinds[turn % len(kinds):] + kinds[:turn % len(kinds)]
        for kind in order + ["proof"]:
            if kind == "proof":
                c, w = proof_cost(holder, requests)
            else:
                await timed(apps[kind], [scope_of(h) for h in presented[:WARM]])
                c, w, bad = await timed(apps[kind], [scope_of(h) for h in presented[WARM:]])
                failures += bad
            cpu[kind].append(c)
            wall[kind].append(w)
    us = {kind: statistics.median(times) for kind, times in cpu.items()}
    wall_us = {kind: statistics.median(times) for kind, times in wall.items()}
    print(f"in this process: {rounds} rounds of {requests} GET requests per variant, the ASGI "
          f"app called directly; CPU µs per request, medians (wall clock in brackets)")
    print(f"  {'':<26}{'µs/request':>11}{'added µs':>10}{'/proof':>9}")
    for kind, title, base in VARIANTS:
        if kind in us:
            print(f"  {title:<26}{us[kind]:>11.1f}"
                  f"{added(us[kind], us[base] if base else None, us['proof'])}   ({wall_us[kind]:.1f})")
    print(f"  {'one check_proof':<26}{us['proof']:>11.1f}{'':>19}   ({wall_us['proof']:.1f})")
    if failures:
        print(f"  non-200 answers: {failures}")
    if profile:
        await where_time_goes(apps["authorize"], holder, ref, requests)


async def where_time_goes(app: Any, holder: Any, ref: str, requests: int) -> None:
    """The functions the Authorize variant spends its own time in."""
    import cProfile
    import pstats

    import vestrel

    scopes = [scope_of(vestrel.present(holder, ref, "GET", ORIGIN + PATH)) for _ in range(requests)]

    gc.collect()
    gc.freeze()
    profiler = cProfile.Profile()
    profiler.enable()
    for scope in scopes:
        await call(app, scope)
    profiler.disable()
    gc.unfreeze()
    print(f"where a request behind Authorize spends its time ({requests} requests, cProfile; "
          f"the profiler's own cost inflates the Python rows):")
    pstats.Stats(profiler).sort_stats("tottime").print_stats(18)


# -- on 127.0.0.1 ------------------------------------------------------------


def serve(kind: str, port: int) -> None:
    import uvicorn

    uvicorn.run(build_app(kind), host="127.0.0.1", port=port, log_level="error",
                access_log=False, lifespan="off")


def start(kind: str, args: argparse.Namespace) -> Tuple[subprocess.Popen, int]:  # type: ignore[type-arg]
    port = free_port()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [args.package_dir,
                                                                    args.module_dir])))
    child = subprocess.Popen([sys.executable, __file__, "--serve", kind, "--port", str(port)],
                             env=env)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if child.poll() is not None:
            raise RuntimeError(f"the {kind} server exited with {child.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return child, port
        except OSError:
            time.sleep(0.05)
    child.kill()
    raise RuntimeError(f"the {kind} server did not start")


def send_once(port: int, method: str, path: str, headers: Dict[str, str],
              body: Optional[bytes] = None) -> int:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request(method, path, body=body, headers=headers)
        answer = connection.getresponse()
        answer.read()
        return answer.status
    finally:
        connection.close()


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
        try:
            for headers in share:
                began = time.perf_counter()
                connection.request("GET", PATH, headers=headers)
                response = connection.getresponse()
                response.read()
                mine.append(time.perf_counter() - began)
                bad += response.status != 200
        except (OSError, http.client.HTTPException):
            # The server closed the connection (a variant that crashes):
            # the requests not answered count as failures.
            bad += len(share) - len(mine)
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


def server_cpu(pid: int) -> float:
    """The seconds of processor time the server process has run so far, all
    its threads, in nanoseconds' resolution (schedstat); what a request
    costs the server, whatever the client on the same cores costs."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as stat:
                total += int(stat.read().split()[0])
        except (OSError, ValueError, IndexError):
            continue  # a thread that ended meanwhile
    return total / 1e9


def on_loopback(kinds: List[str], args: argparse.Namespace) -> None:
    import vestrel

    holder, token = credentials()
    print(f"on 127.0.0.1: uvicorn, {args.rounds} rounds of {args.requests} GET requests per "
          f"variant from {args.threads} threads (keep-alive); requests per second, medians")
    children = []
    results: Dict[str, List[Tuple[float, List[float], int]]] = {kind: [] for kind in kinds}
    cpu: Dict[str, List[float]] = {kind: [] for kind in kinds}
    proofs: List[float] = []
    try:
        ports, pids = {}, {}
        for kind in kinds:
            child, ports[kind] = start(kind, args)
            children.append(child)
            pids[kind] = child.pid
        headers, body, ref = vestrel.register(holder, token, ORIGIN + REGISTER)
        for kind in kinds:
            if kind in CHECKED:
                status = send_once(ports[kind], "POST", REGISTER, headers, body)
                if status != 201:
                    raise RuntimeError(f"registration with {kind} answered {status}")
        for turn in range(args.rounds):
            prepared = [vestrel.present(holder, ref, "GET", ORIGIN + PATH)
                        for _ in range(args.requests + WARM)]
            order = kinds[turn % len(kinds):] + kinds[:turn % len(kinds)]
            for kind in order:
                drive(ports[kind], prepared[:WARM], 1)
                began = server_cpu(pids[kind])
                results[kind].append(drive(ports[kind], prepared[WARM:], args.threads))
                cpu[kind].append((server_cpu(pids[kind]) - began) / args.requests * 1e6)
            proofs.append(proof_cost(holder, 500)[1])
    finally:
        for child in children:
            child.terminate()
            try:
                child.wait(30)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait(10)
    per_round = {kind: [len(latencies) / seconds for seconds, latencies, _ in runs]
                 for kind, runs in results.items()}
    for kind, each in per_round.items():
        if not all(each):
            raise RuntimeError(f"the {kind} server answered no request of a round")
    rates = {kind: statistics.median(each) for kind, each in per_round.items()}

    # Costs per request: the inverse of the rate, and the server's own time.
    inverse = {kind: [1e6 / rate for rate in each] for kind, each in per_round.items()}
    # The server is one thread: the inverse of its rate is what a request
    # costs it, so the difference to the bare rate's is the time added.
    proof_us = statistics.median(proofs)
    # The client shares the machine's cores with the server, so the rates
    # also move with what the client costs; the server's own processor time
    # per request does not, and its inverse is the rate the server sustains.
    server = {kind: statistics.median(times) for kind, times in cpu.items()}
    print("  the ratios and added times are medians of each round's pair")
    print(f"  {'':<26}{'req/s':>8}{'vs bare':>9}{'vs own':>8}{'added µs':>10}{'/proof':>9}"
          f"{'p50 ms':>8}{'p99 ms':>8}")
    for kind, title, base in VARIANTS:
        if kind not in rates:
            continue
        runs = results[kind]
        cuts = statistics.quantiles([t for _, latencies, _ in runs for t in latencies], n=100)
        print(f"  {title:<26}{rates[kind]:>8.0f}{compared(kind, base, inverse, proof_us)}"
              f"{cuts[49] * 1e3:>8.2f}{cuts[98] * 1e3:>8.2f}"
              + (f"   non-200: {sum(bad for _, _, bad in runs)}" if any(b for _, _, b in runs)
                 else ""))
    print(f"  {'one check_proof':<26}{proof_us:>8.1f} µs (wall clock, in the client)")
    print("the server's processor time per request, medians; its inverse as a rate")
    print(f"  {'':<26}{'µs/req':>8}{'vs bare':>9}{'vs own':>8}{'added µs':>10}{'/proof':>9}")
    for kind, title, base in VARIANTS:
        if kind not in server:
            continue
        print(f"  {title:<26}{server[kind]:>8.1f}{compared(kind, base, cpu, proof_us)}")


def paired(kind: str, base: str, cost: Dict[str, List[float]]) -> Tuple[float, float]:
    """(base's cost over kind's, kind's cost minus base's), costs in µs per
    request: each round's pair, then the median round. A round runs the
    two a few seconds apart, so a slow spell of the machine moves both
    sides of a pair alike."""
    ratios = [b / k for b, k in zip(cost[base], cost[kind])]
    deltas = [k - b for b, k in zip(cost[base], cost[kind])]
    return statistics.median(ratios), statistics.median(deltas)


def compared(kind: str, base: Optional[str], cost: Dict[str, List[float]], proof_us: float) -> str:
    """The columns "vs bare", "vs own", "added µs" and "/proof" of a row."""
    if kind == "bare":
        return f"{1:>9.0%}{'':>8}{'':>19}"
    against_bare = paired(kind, "bare", cost)[0]
    if base is None:
        return f"{against_bare:>9.0%}{'':>8}{'':>19}"
    ratio, delta = paired(kind, base, cost)
    return f"{against_bare:>9.0%}{ratio:>8.0%}{delta:>10.1f}{delta / proof_us:>8.2f}×"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module-dir", help="directory holding vestrel_kernel.abi3.so")
    parser.add_argument("--package-dir", help="directory holding the vestrel package")
    parser.add_argument("--requests", type=int, default=3000,
                        help="requests per variant and round on 127.0.0.1")
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--calls", type=int, default=2000,
                        help="requests per variant and round in this process")
    parser.add_argument("--only", choices=["process", "loopback"],
                        help="run one of the two measurements")
    parser.add_argument("--profile", action="store_true",
                        help="also profile the Authorize variant in this process")
    parser.add_argument("--serve", choices=[kind for kind, _, _ in VARIANTS],
                        help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    for folder in (args.module_dir, args.package_dir):
        if folder:
            sys.path.insert(0, folder)
    if args.serve:
        serve(args.serve, args.port)
        return 0

    try:
        import starlette  # noqa: F401
        import uvicorn  # noqa: F401
    except ImportError as error:
        print(f"http_bench: skipped, this python3 has no {error.name} (scripts/setup.sh)")
        return 0
    kinds = [kind for kind, _, _ in VARIANTS]
    missing = fastapi_missing()
    if missing is not None:
        kinds = [kind for kind in kinds if not kind.startswith("fastapi")]
    _, token = credentials()
    print(f"http_bench: a Starlette endpoint bare and checked, a {len(token):,}-character token "
          f"registered and presented by reference")
    if missing is not None:
        print(f"  FastAPI rows: skipped: {missing}")
    if args.only != "loopback":
        asyncio.run(in_process(kinds, args.calls, args.rounds, args.profile))
    if args.only != "process":
        on_loopback(kinds, args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
