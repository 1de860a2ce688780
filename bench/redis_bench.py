#!/usr/bin/env python3
"""What the Redis stores add to Verifier.verify_request, on 127.0.0.1.

The same loop (a 3-credential chain presented by reference, every proof
made before the clock starts, as each is good for one request) runs against
four pairs of stores: both in memory; the replay ids in Redis; both in
Redis, one round trip each; both in Redis from vestrel.redis.stores, the
lookup and the replay check pipelined into one round trip. Rounds alternate
between them, so a slow spell of the machine is spread over all four; each
figure is the median round's time per request. A bare ``SET NX EX`` round
trip is timed beside them. The redis-server is started here on a free port,
with no persistence, and stopped at the end; nothing is asserted.

    python3 bench/redis_bench.py --module-dir build/kernel-py --package-dir build/python
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable, Dict, List

from loopback import free_port

MASTER = bytes(range(32))
URL = "http://api.test/docs/1"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module-dir", help="directory holding vestrel_kernel.abi3.so")
    parser.add_argument("--package-dir", help="directory holding the vestrel package")
    parser.add_argument("--requests", type=int, default=400)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    for folder in (args.module_dir, args.package_dir):
        if folder:
            sys.path.insert(0, folder)
    try:
        import redis
    except ImportError as error:
        print(f"redis bench: skipped, redis-py does not import: {error}")
        return 0
    server = shutil.which("redis-server")
    if server is None:
        print("redis bench: skipped, no redis-server (scripts/setup.sh installs it)")
        return 0

    import vestrel
    import vestrel.redis

    folder = tempfile.mkdtemp(prefix="vestrel-redis-bench-")
    port = free_port()
    child = subprocess.Popen([server, "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                              "--appendonly", "no", "--dir", folder], stdout=subprocess.DEVNULL)
    try:
        client = redis.Redis(port=port, socket_timeout=5, socket_connect_timeout=5)
        deadline = time.monotonic() + 10
        while True:
            try:
                client.ping()
                break
            except redis.exceptions.ConnectionError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        run(args, client, vestrel, vestrel.redis)
    finally:
        child.kill()
        child.wait(10)
        shutil.rmtree(folder, ignore_errors=True)
    return 0


def run(args: argparse.Namespace, client: Any, vestrel: Any, vredis: Any) -> None:
    islands = [vestrel.IdentityIsland(MASTER, b"redis-bench", n) for n in (b"root", b"a", b"b", b"c")]
    wire = None
    for n, (issuer, child) in enumerate(zip(islands, islands[1:])):
        wire = vestrel.delegate(wire, issuer, child.public_key(), "leaf" if n == 2 else "node",
                                [(b"/docs/1", b"GET")])
    holder, ref = islands[-1], vestrel.chain_ref(wire)
    replay, chains = vredis.stores(client, prefix=f"bench{os.getpid()}:")
    separate = vredis.RedisChainStore(client, prefix=f"bench{os.getpid()}:")
    stores: Dict[str, Any] = {
        "memory, memory": (vestrel.MemoryReplayStore(), vestrel.MemoryChainStore()),
        "redis, memory": (replay, vestrel.MemoryChainStore()),
        "redis, redis": (replay, separate),
        "redis, pipelined": (replay, chains),
    }
    verifiers: Dict[str, Any] = {}
    for name, (r, c) in stores.items():
        verifier = vestrel.Verifier([islands[0].public_key()], replay=r, chains=c)
        headers, body, _ = vestrel.register(holder, wire, "http://api.test/chains")
        verifier.register_request("http://api.test/chains", headers, body)
        verifiers[name] = verifier

    times: Dict[str, List[float]] = {name: [] for name in stores}
    nonces = [os.urandom(32) for _ in range(args.requests)]
    times["SET NX EX alone"] = []
    print(f"redis bench: verify_request by reference, {args.requests} requests a round, "
          f"{args.rounds} rounds, medians", flush=True)
    for _ in range(args.rounds + 1):  # the first round warms up and is dropped
        for name, verifier in verifiers.items():
            prepared = [vestrel.present(holder, ref, "GET", URL) for _ in range(args.requests)]
            began = time.perf_counter()
            for headers in prepared:
                verifier.verify_request("GET", URL, headers)
            times[name].append((time.perf_counter() - began) / args.requests)
        began = time.perf_counter()
        for key in nonces:
            replay.add(key, 0, 60)
        times["SET NX EX alone"].append((time.perf_counter() - began) / args.requests)
        client.delete(*[replay.key(key) for key in nonces])
    base = statistics.median(times["memory, memory"][1:])
    show: Callable[[str], None] = lambda name: print(
        f"  {name:<18} {statistics.median(times[name][1:]) * 1e6:8.1f} us"
        + ("" if name in ("memory, memory", "SET NX EX alone") else
           f"   +{(statistics.median(times[name][1:]) - base) * 1e6:6.1f} us over memory"),
        flush=True)
    print("  (replay store, chain store)")
    for name in times:
        show(name)


if __name__ == "__main__":
    sys.exit(main())
