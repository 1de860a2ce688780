"""vestrel.redis against a real redis-server started here on a free loopback
port: two uvicorn processes sharing it, the stores' atomicity, the feed, and
entries the stores did not write."""

from __future__ import annotations

import http.client
import json
import logging
import os
import socket
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import pytest

import vestrel
from conftest import DEBIAN_PYTHON
from test_http_servers import frameworks

TESTS = Path(__file__).resolve().parent
# What the services of redis_app check proofs against, and their feeds' period.
ORIGIN, RESYNC, REGISTER = "http://api.test", 1.0, "/.well-known/vestrel/chains"
URL = ORIGIN + "/docs"


def chain_of(*islands: vestrel.IdentityIsland) -> bytes:
    wire = None
    for n, (issuer, child) in enumerate(zip(islands, islands[1:])):
        wire = vestrel.delegate(wire, issuer, child.public_key(),
                                "leaf" if n == len(islands) - 2 else "node", [(b"/docs", b"GET")])
    assert wire is not None
    return wire


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


def wait_for(condition: Callable[[], Any], seconds: float) -> Any:
    deadline = time.monotonic() + seconds
    while not (value := condition()) and time.monotonic() < deadline:
        time.sleep(0.02)
    return value


def debian_or_skip(why: str) -> None:
    if os.path.realpath(sys.executable) == os.path.realpath(DEBIAN_PYTHON):
        pytest.fail(why)
    pytest.skip(why)


# The tests that start servers under Debian's python3 (which has the
# frameworks) run in that interpreter's once-per-suite run, not twice.
served_by_debian = pytest.mark.skipif(
    os.path.realpath(sys.executable) != os.path.realpath(DEBIAN_PYTHON),
    reason="serves through Debian's python3 packages: once per suite")


class RedisServer:
    """One redis-server without persistence, given ``options`` beside;
    stop() and start() keep its port."""

    def __init__(self, folder: Path, *options: str) -> None:
        self.port, self.folder, self.process = free_port(), folder, None
        self.options = options

    def start(self) -> None:
        self.process = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
             "--appendonly", "no", "--dir", str(self.folder), *self.options],
            stdout=subprocess.DEVNULL)
        wait_for(lambda: answers(self.port), 10)

    def stop(self) -> None:
        if self.process is not None:
            self.process.kill()
            self.process.wait(10)
            self.process = None

    def client(self, port: Optional[int] = None, **options: Any) -> Any:
        import redis

        return redis.Redis(port=port or self.port, socket_timeout=1, socket_connect_timeout=1,
                           **options)


def answers(port: int) -> bool:
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


@pytest.fixture(scope="module")
def server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[RedisServer]:
    frameworks("redis", "vestrel.redis")
    running = RedisServer(tmp_path_factory.mktemp("redis"))
    try:
        running.start()
        running.client().ping()
    except Exception as error:
        running.stop()
        debian_or_skip(f"no redis-server here: {error!r}")
    try:
        yield running
    finally:
        running.stop()


def call(port: int, method: str, path: str, headers: Optional[Dict[str, str]] = None,
         body: bytes = b"") -> Tuple[int, Any]:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        answer = connection.getresponse()
        return answer.status, json.loads(answer.read() or b"null")
    finally:
        connection.close()


def serve(redis_port: int, log: Path, processes: List[Any]) -> int:
    """The port of a uvicorn process of its own serving redis_app, once it answers."""
    port = free_port()
    path = os.pathsep.join([os.environ["VESTREL_PACKAGE_DIR"],
                            os.environ["VESTREL_KERNEL_MODULE_DIR"], str(TESTS)])
    with open(log, "wb") as errors:
        processes.append(subprocess.Popen(
            [sys.executable, "-m", "uvicorn", "redis_app:app", "--host", "127.0.0.1", "--port",
             str(port), "--log-level", "warning", "--lifespan", "off"], cwd=TESTS, stderr=errors,
            env=dict(os.environ, PYTHONPATH=path, VESTREL_TEST_REDIS_PORT=str(redis_port),
                     VESTREL_TEST_ORIGIN=ORIGIN, VESTREL_TEST_RESYNC=str(RESYNC))))
    if wait_for(lambda: processes[-1].poll() is not None or answers(port), 30) is not True \
            or processes[-1].poll() is not None:
        debian_or_skip(f"uvicorn does not serve here: {log.read_text()[-1500:]}")
    return port


@served_by_debian
def test_two_processes_share_replays_chains_and_revocations(
        server: RedisServer, identities: Callable[[str], vestrel.IdentityIsland],
        tmp_path: Path) -> None:
    frameworks("uvicorn", "starlette.applications")
    root, holder, other, third = (identities(n) for n in ("root", "holder", "other", "third"))
    wire, single = chain_of(root, identities("a"), holder), vestrel.encode_token(chain_of(root, other))
    processes: List[subprocess.Popen[bytes]] = []
    try:
        a, b = (serve(server.port, tmp_path / f"service{n}.log", processes) for n in range(2))
        headers, body, ref = vestrel.register(holder, wire, ORIGIN + REGISTER)
        assert call(a, "POST", REGISTER, headers, body)[0] == 201

        # Registered with a, known to b (two processes: two pids); each proof,
        # sent to both at once, is accepted by exactly one.
        assert len({call(p, "GET", "/docs", vestrel.present(holder, ref, "GET", URL))[1]["pid"]
                    for p in (a, b)}) == 2
        with ThreadPoolExecutor(2) as pool:
            for _ in range(8):
                headers = vestrel.present(holder, ref, "GET", URL)
                answers = sorted(pool.map(lambda p: call(p, "GET", "/docs", headers), (a, b)),
                                 key=lambda answer: answer[0])
                assert [(answers[0][0], *answers[1])] == [(200, 401, {
                    "error": "invalid_token", "rule": "ProofReplayed"})], answers

        # Revoked through a's feed, refused by b well within the resync period.
        rid = vestrel.Verifier([root.public_key()]).verify(single).revocation_ids[0]
        assert call(b, "GET", "/docs", vestrel.present(other, single, "GET", URL))[0] == 200
        began = time.monotonic()
        assert call(a, "POST", "/revoke", body=rid.hex().encode())[0] == 200
        # Until b hears of it, the same request is still served (200, no rule).
        assert wait_for(lambda: call(b, "GET", "/docs", vestrel.present(other, single, "GET", URL))[1]
                        .get("rule") == "Revoked", RESYNC) and time.monotonic() - began < RESYNC

        # Redis stopped: checks and registrations are refused with 503, the feeds go stale.
        server.stop()
        token = vestrel.encode_token(chain_of(root, third))
        for port in (a, b):
            assert [call(port, "GET", "/docs", vestrel.present(key, chain, "GET", URL))
                    for chain, key in ((ref, holder), (token, third))] + [
                call(port, "POST", REGISTER, *vestrel.register(holder, wire, ORIGIN + REGISTER)[:2])
            ] == [(503, {"error": None, "rule": "StoreUnavailable"})] * 3
        assert wait_for(lambda: all(call(p, "GET", "/status")[1]["stale"] for p in (a, b)), 5)

        # Started again on the same port (and empty): both recover by themselves.
        server.start()
        assert wait_for(lambda: not any(call(p, "GET", "/status")[1]["stale"] for p in (a, b)), 5)
        headers, body, ref = vestrel.register(holder, wire, ORIGIN + REGISTER)
        assert call(b, "POST", REGISTER, headers, body)[0] == 201
        assert call(a, "GET", "/docs", vestrel.present(holder, ref, "GET", URL))[0] == 200
    finally:
        for process in processes:
            process.kill()
            process.wait(10)
        if server.process is None:
            server.start()


def test_a_proof_id_is_new_exactly_once_across_threads_and_prefixes(server: RedisServer) -> None:
    import vestrel.redis

    client, digest, ids = server.client(), os.urandom(32), [os.urandom(32) for _ in range(40)]
    pairs = [vestrel.redis.stores(client, prefix=p) for p in ("one:", "two:")]
    client.set(pairs[0][1].key(digest), b"wire")

    def worker(n: int) -> List[Tuple[int, bytes, bool]]:  # half of them pipelined with a lookup
        replay, chains = pairs[n % 2]
        return [(n % 2, key, chains.get_and_add(digest, 0, key, 60)[1] if n % 4 < 2
                 else replay.add(key, 0, 60)) for key in (ids if n % 3 else ids[::-1])]

    with ThreadPoolExecutor(16) as pool:
        results = [r for rs in pool.map(worker, range(16)) for r in rs]
    assert sorted((n, key) for n, key, fresh in results if fresh) == sorted(
        (n, key) for n in (0, 1) for key in ids)
    assert 0 < client.ttl(pairs[0][0].key(ids[0])) <= 61


def test_entries_not_written_here_are_skipped_or_refused(
        server: RedisServer, identities: Callable[[str], vestrel.IdentityIsland],
        caplog: pytest.LogCaptureFixture) -> None:
    import vestrel.redis

    client = server.client()
    replay, chains = vestrel.redis.stores(client, prefix="bad:")
    digests = [os.urandom(32) for _ in range(4)]
    client.sadd(chains.key(digests[0]), b"x")
    client.set(chains.key(digests[1]), b"")
    client.set(chains.key(digests[2]), b"w" * (vestrel.redis.MAX_WIRE + 1))
    with caplog.at_level(logging.WARNING, "vestrel.redis"):
        assert [chains.get(d, 0) for d in digests] == [None] * 4
        assert chains.get_and_add(digests[0], 0, os.urandom(32), 9) == (None, True)
    assert len(caplog.records) == 4
    for bad, error in [(lambda: replay.add(b"short", 0, 9), ValueError),
                       (lambda: chains.get(bytes(31), 0), ValueError),
                       (lambda: vestrel.redis.stores(client, prefix="a b"), ValueError),
                       (lambda: vestrel.redis.stores(server.client(decode_responses=True)), ValueError),
                       (lambda: vestrel.redis.stores(server.client(single_connection_client=True)),
                        ValueError),
                       (lambda: vestrel.redis.stores(object()), TypeError)]:
        with pytest.raises(error):
            bad()

    # What a reference reads back is verified again: another chain, or no wire, is refused.
    root, holder = identities("root"), identities("holder")
    verifier = vestrel.Verifier([root.public_key()], replay=replay, chains=chains)
    wire, before = chain_of(root, identities("a"), holder), client.keys("bad:replay:*")
    for stored, rule in [(chain_of(root, holder), "ChainUnknown"), (b"\1" * 64, "ChainTooDeep")]:
        client.set(chains.key(vestrel.chain_digest(wire)), stored)
        with pytest.raises(vestrel.Refused) as refused:
            verifier.verify_request("GET", URL, vestrel.present(holder, vestrel.chain_ref(wire), "GET", URL))
        assert (refused.value.status, refused.value.rule) == (401, rule)
    assert client.keys("bad:replay:*") == before  # the refused proofs' ids, added pipelined, taken back


def test_the_feed_follows_the_sets_however_they_change(
        server: RedisServer, identities: Callable[[str], vestrel.IdentityIsland],
        caplog: pytest.LogCaptureFixture) -> None:
    import vestrel.redis

    client, key = server.client(), identities("holder").public_key()
    verifiers = [vestrel.Verifier([identities("root").public_key()]) for _ in range(2)]
    feeds = [vestrel.redis.RevocationFeed(client, v, prefix="feed:", resync=0.5, retry=0.1).start()
             for v in verifiers]
    try:
        assert all(f.wait_synced(10) for f in feeds) and not feeds[0].stale
        first, second, missed = (os.urandom(32) for _ in range(3))
        feeds[0].revoke([first, second.hex()])
        feeds[1].revoke_key(key)
        assert wait_for(lambda: verifiers[1].revoked == {first, second}
                        and verifiers[0].revoked_keys == {key}, 2)
        # Changed behind the feeds' backs: no message, a malformed one, a bad member.
        with caplog.at_level(logging.WARNING, "vestrel.redis"):
            client.srem("feed:revoked", first)
            client.sadd("feed:revoked", missed, b"short")
            client.publish("feed:revocations", b"+i" + bytes(31))
            assert wait_for(lambda: all(v.revoked == {second, missed} for v in verifiers), 3)
        messages = " ".join(r.getMessage() for r in caplog.records)
        assert "malformed message" in messages and "not 32-byte values" in messages
        with pytest.raises(vestrel.StoreUnavailable):
            vestrel.redis.RevocationFeed(server.client(port=free_port()),
                                         vestrel.Verifier([key])).revoke(first)
        # A key of the wrong type reads as an outage: the last set is kept.
        client.delete("feed:revoked")
        client.set("feed:revoked", b"not a set")
        assert wait_for(lambda: feeds[0].stale, 3) and verifiers[0].revoked == {second, missed}
        client.delete("feed:revoked")
        assert wait_for(lambda: not feeds[0].stale and not verifiers[0].revoked, 3)
    finally:
        for feed in feeds:
            feed.close()
