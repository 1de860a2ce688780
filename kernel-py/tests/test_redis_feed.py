"""The revocation feed and the shared stores where deployments break them,
against redis-servers on loopback. The server/own fixtures import
vestrel.redis before each test body uses it."""

from __future__ import annotations

import asyncio
import logging
import os
import pickle
import signal
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import pytest

import vestrel
import vestrel.asgi
from conftest import DEBIAN_PYTHON
from test_guards import Chains, asgi
from test_http_servers import frameworks
from test_redis import (ORIGIN, REGISTER, TESTS, URL, RedisServer, answers, call, chain_of,
                        debian_or_skip, free_port, served_by_debian, server, wait_for)

__all__ = ["server"]  # the module's Redis, shared with test_redis.py

Identities = Callable[[str], vestrel.IdentityIsland]
# The commands docs/http.md gives a service's Redis user.
SERVICE_COMMANDS = ("+get +set +del +smembers +sadd +srem +multi +exec +publish +subscribe "
                    "+evalsha +script|load +zremrangebyscore +zscore +zcard +zrange +zadd +ttl "
                    "+expire +config|get").split()


@pytest.fixture
def own(tmp_path: Path) -> Iterator[Callable[..., RedisServer]]:
    """Redis servers of the test's own, started with the options given."""
    frameworks("redis", "vestrel.redis")
    started: List[RedisServer] = []

    def start(*options: str) -> RedisServer:
        started.append(RedisServer(tmp_path, *options))
        started[-1].start()
        try:
            started[-1].client().ping()
        except Exception as error:
            debian_or_skip(f"no redis-server here: {error!r}")
        return started[-1]

    yield start
    for running in started:
        running.stop()


def refusal(check: Callable[[], Any]) -> Optional[str]:
    try:
        check()
    except vestrel.Refused as refused:
        return refused.rule
    return None


def rid_of(verifier: vestrel.Verifier, wire: bytes) -> bytes:
    return vestrel.Verifier(verifier.roots).verify(wire).revocation_ids[-1]


def test_a_fed_verifier_refuses_everything_until_read_and_once_stale(
        own: Callable[..., RedisServer], identities: Identities) -> None:
    redis_server = own()
    root, holder = identities("root"), identities("holder")
    wire = chain_of(root, identities("a"), holder)
    token = vestrel.encode_token(wire)
    verifier = vestrel.Verifier([root.public_key()])
    paths = {"verify": lambda: verifier.verify(token),
             "verify_request": lambda: verifier.verify_request(
                 "GET", URL, vestrel.present(holder, token, "GET", URL)),
             "register_request": lambda: verifier.register_request(
                 ORIGIN + REGISTER, *vestrel.register(holder, wire, ORIGIN + REGISTER)[:2])}

    def every(rule: Optional[str]) -> bool:
        return {n: refusal(p) for n, p in paths.items()} == dict.fromkeys(paths, rule)

    resync, max_stale = 0.2, 0.6
    feed = vestrel.redis.RevocationFeed(redis_server.client(), verifier, prefix="stale:",
                                        resync=resync, retry=0.05, max_stale=max_stale)
    # Made but not started (as after a fork with nobody to start it): closed.
    assert feed.stale and every("StoreUnavailable")
    with feed.start():
        assert feed.wait_synced(5) and not feed.stale and feed.connected and every(None)
        # Redis gone: refused once the last read is max_stale old, never later.
        last_read = feed.synced_at or 0.0
        redis_server.stop()
        refused_at: List[float] = []
        assert wait_for(lambda: refusal(paths["verify"]) == "StoreUnavailable"
                        and not refused_at.append(time.time()), 3)
        assert max_stale - 0.05 <= refused_at[0] - last_read <= max_stale + resync
        assert feed.stale and not feed.connected and every("StoreUnavailable")
        redis_server.start()
        assert wait_for(lambda: not feed.stale, 3) and refusal(paths["verify"]) is None
    with pytest.raises(RuntimeError, match="closed"):
        feed.start()
    # Closed, the feed hands the verifier over to a new one.
    with vestrel.redis.RevocationFeed(redis_server.client(), verifier, prefix="stale:") as again:
        assert again.wait_synced(5) and refusal(paths["verify"]) is None
        with pytest.raises(ValueError, match="already has a revocation feed"):
            vestrel.redis.RevocationFeed(redis_server.client(), verifier)


def test_without_channel_rights_the_feed_reads_on_and_says_so(
        own: Callable[..., RedisServer], identities: Identities,
        caplog: pytest.LogCaptureFixture) -> None:
    redis_server = own()
    admin = redis_server.client()
    # Redis 7 gives a new user no channels (acl-pubsub-default resetchannels).
    admin.execute_command("ACL", "SETUSER", "nochannel", "on", ">pw", "~acl:*", *SERVICE_COMMANDS,
                          "resetchannels")
    client = redis_server.client(username="nochannel", password="pw")
    root = identities("root")
    wires = [chain_of(root, identities(f"acl{n}")) for n in range(3)]
    verifier, resync = vestrel.Verifier([root.public_key()]), 0.2
    rids = [rid_of(verifier, w) for w in wires]
    admin.sadd("acl:revoked", rids[0])  # revoked before the service starts
    with caplog.at_level(logging.WARNING, "vestrel.redis"):
        feed = vestrel.redis.RevocationFeed(client, verifier, prefix="acl:", resync=resync,
                                            retry=0.05).start()
        try:
            assert feed.wait_synced(5) and not feed.stale
            assert "SUBSCRIBE refused" in (feed.channel_error or "")
            assert [refusal(lambda: verifier.verify(w)) for w in wires] == ["Revoked", None, None]
            # Made elsewhere, announced on a channel this feed cannot hear:
            # it arrives with the next read.
            began = time.monotonic()
            vestrel.redis.RevocationFeed(admin, vestrel.Verifier([root.public_key()]),
                                         prefix="acl:").revoke(rids[1])
            assert wait_for(lambda: refusal(lambda: verifier.verify(wires[1])) == "Revoked", 2)
            assert time.monotonic() - began <= resync + 0.3
            # This user's own revocation is recorded, unannounced.
            feed.revoke(rids[2])
            assert admin.sismember("acl:revoked", rids[2])
            # The stores work with these rights too (a registration by script).
            vestrel.redis.stores(client, prefix="acl:")[1].register(os.urandom(32), b"wire", 0, 60, [root.public_key()])
            synced = feed.synced_at or 0
            assert wait_for(lambda: (feed.synced_at or 0) > synced + 3 * resync, 3)
        finally:
            feed.close()
    errors = [r.getMessage() for r in caplog.records if r.levelno >= logging.ERROR]
    assert len(errors) == 1 and "no channel" in errors[0], errors


class Interleaved:
    """A client whose next read of the sets (a pipeline without MULTI) runs
    ``between`` after Redis answered and before the feed applies it."""

    def __init__(self, client: Any) -> None:
        self.client = client
        self.between: Optional[Callable[[], None]] = None

    def __getattr__(self, name: str) -> Any:
        return getattr(self.client, name)

    def pipeline(self, transaction: bool = True) -> Any:
        pipe = self.client.pipeline(transaction=transaction)
        execute = pipe.execute

        def interleaved(**options: Any) -> Any:
            answer = execute(**options)
            between, self.between = self.between, None
            if between is not None and not transaction:
                between()
            return answer

        pipe.execute = interleaved
        return pipe


def test_only_the_shared_sets_take_a_revocation_back_even_racing_a_read(
        server: RedisServer, identities: Identities) -> None:
    client, root = server.client(), identities("root")
    wires = {name: chain_of(root, identities(f"hint-{name}")) for name in ("own", "shared")}
    own_rid, shared_rid = (rid_of(vestrel.Verifier([root.public_key()]), wires[n]) for n in ("own", "shared"))
    own_key, key_wire = identities("hint-key").public_key(), chain_of(root, identities("hint-key"))
    verifier = vestrel.Verifier([root.public_key()], revoked=[own_rid])
    verifier.revoke_key(own_key)
    other = vestrel.redis.RevocationFeed(client, vestrel.Verifier([root.public_key()]),
                                         prefix="hint:")
    with vestrel.redis.RevocationFeed(client, verifier, prefix="hint:", resync=5, retry=0.1) as feed:
        assert feed.wait_synced(5)
        other.revoke(shared_rid)
        assert wait_for(lambda: shared_rid in verifier.revoked, 2)

        def after(change: Callable[[], Any]) -> Dict[str, Optional[str]]:
            # Each change is followed by the read it makes the feed do.
            synced = feed.synced_at or 0
            change()
            assert wait_for(lambda: (feed.synced_at or 0) > synced, 3)
            return {name: refusal(lambda: verifier.verify(wire))
                    for name, wire in (*wires.items(), ("key", key_wire))}

        def lifted_here() -> None:  # the set still holds it
            verifier.unrevoke(shared_rid)
            feed.resync()

        everything: Dict[str, Optional[str]] = dict.fromkeys(("own", "shared", "key"), "Revoked")
        for change in [lambda: client.publish("hint:revocations", b"-i" + own_rid),
                       lambda: client.publish("hint:revocations", b"-i" + shared_rid),
                       lambda: client.publish("hint:revocations", b"-k" + own_key),
                       lambda: other.unrevoke(own_rid),   # never in the set
                       lambda: other.unrevoke_key(own_key), lifted_here]:
            assert after(change) == everything
        # The set drops it: then, and only then, the feed lifts it.
        assert after(lambda: other.unrevoke(shared_rid)) == dict(everything, shared=None)
        # A forged "+" refuses until the next read shows the set never held it.
        client.publish("hint:revocations", b"+i" + shared_rid)
        assert wait_for(lambda: refusal(lambda: verifier.verify(wires["shared"])), 2)
        feed.resync()
        assert refusal(lambda: verifier.verify(wires["shared"])) is None
        verifier.unrevoke(own_rid)
        verifier.unrevoke_key(own_key)
        assert refusal(lambda: verifier.verify(wires["own"])) is None
        assert refusal(lambda: verifier.verify(key_wire)) is None
    # Between a read and its application: a revocation made here stays, one
    # taken back elsewhere goes at the next read.
    verifier, racing = vestrel.Verifier([root.public_key()]), Interleaved(client)
    feed = vestrel.redis.RevocationFeed(racing, verifier, prefix="race:")  # read by hand alone
    feed.resync()
    made, taken = os.urandom(32), os.urandom(32)
    feed.revoke(taken)
    racing.between = lambda: (feed.revoke(made), client.srem("race:revoked", taken))
    feed.resync()
    assert verifier.revoked == {made, taken}
    feed.resync()
    assert verifier.revoked == {made}
    feed.close()


def test_a_feed_started_before_fork_runs_in_the_child(server: RedisServer, identities: Identities) -> None:
    root, holder = identities("root"), identities("forked")
    wire = chain_of(root, holder)
    verifier = vestrel.Verifier([root.public_key()])
    revoked = lambda: refusal(lambda: verifier.verify(wire)) == "Revoked"  # noqa: E731
    with vestrel.redis.RevocationFeed(server.client(), verifier, prefix="fork:", resync=30,
                                      retry=0.05) as feed:
        assert feed.wait_synced(5)
        parent_thread, (read, write) = feed._thread, os.pipe()
        pid = os.fork()
        if pid == 0:  # the child: a thread of its own, which hears the revocation
            heard = False
            try:
                os.close(write)
                os.read(read, 1)  # revoked by now, after the fork
                heard = feed._thread is not parent_thread and wait_for(revoked, 5)
            finally:
                os._exit(0 if heard else 1)
        os.close(read)
        vestrel.redis.RevocationFeed(server.client(), vestrel.Verifier(verifier.roots),
                                     prefix="fork:").revoke(rid_of(verifier, wire))
        os.write(write, b"!")
        os.close(write)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0 and wait_for(revoked, 5)


@served_by_debian
@pytest.mark.parametrize("worker,app", [("gthread", "preload_app:wsgi"),
                                        ("uvicorn.workers.UvicornWorker", "preload_app:asgi")])
def test_gunicorn_preload_workers_hear_revocations_made_after_the_fork(
        server: RedisServer, identities: Identities, tmp_path: Path, worker: str,
        app: str) -> None:
    frameworks("gunicorn", "uvicorn")
    root, holder = identities("root"), identities(f"preload-{worker}")
    wire = chain_of(root, holder)
    token = vestrel.encode_token(wire)
    prefix, resync, port = f"preload-{worker}:", 1.0, free_port()
    path = os.pathsep.join([os.environ["VESTREL_PACKAGE_DIR"],
                            os.environ["VESTREL_KERNEL_MODULE_DIR"], str(TESTS)])
    log = tmp_path / "gunicorn.log"
    with open(log, "wb") as errors:
        process = subprocess.Popen(
            [DEBIAN_PYTHON, "-m", "gunicorn", "--preload", "--workers", "2", "--worker-class",
             worker, "--bind", f"127.0.0.1:{port}", "--graceful-timeout", "2", "--log-level",
             "warning", app], cwd=TESTS, stderr=errors, start_new_session=True,
            env=dict(os.environ, PYTHONPATH=path, VESTREL_TEST_REDIS_PORT=str(server.port),
                     VESTREL_TEST_ORIGIN=ORIGIN, VESTREL_TEST_RESYNC=str(resync),
                     VESTREL_TEST_PREFIX=prefix))
    try:
        assert wait_for(lambda: process.poll() is not None or answers(port), 30) is True \
            and process.poll() is None, log.read_text()[-1500:]
        # Each worker (a pid of its own, not the master's) answers for itself.
        seen: Dict[int, Any] = {}
        # For each worker, when it last gave an answer not yet wanted.
        before: Dict[int, float] = {}

        def both(path: str, body: bytes, wanted: Callable[[Any], Any]) -> Dict[int, float]:
            # The kernel hands each new connection to whichever worker
            # accepts first: a short pause between calls lets a busy machine's
            # other worker get its turn. Bounded in count and in time.
            since, at = time.monotonic(), {}  # type: Tuple[float, Dict[int, float]]
            before.clear()
            for n in range(3000):
                if n and time.monotonic() > since + 30:
                    break
                time.sleep(0.01 * (n >= 50))
                status, answer = call(port, "POST", path, body=body)
                assert status == 200, answer
                seen[answer["pid"]] = answer
                if wanted(answer):
                    at.setdefault(answer["pid"], time.monotonic() - since)
                else:
                    before[answer["pid"]] = time.monotonic() - since
                if len(at) == 2:
                    return at
            raise AssertionError(f"not both workers: {seen}")

        both("/status", b"", lambda a: not a["stale"] and a["channel_error"] is None)
        assert process.pid not in seen
        both("/verify", token.encode(), lambda a: a["rule"] is None)
        elsewhere = vestrel.Verifier([root.public_key()])
        vestrel.redis.RevocationFeed(server.client(), elsewhere, prefix=prefix).revoke(
            rid_of(elsewhere, wire))
        refused_after = both("/verify", token.encode(), lambda a: a["rule"] == "Revoked")
        # Through the channel: no worker still accepts the chain half a resync
        # period on, which a full read alone would often miss. When a worker
        # is first reached is the machine's scheduling (a busy one may leave
        # a worker unreached for a second), so what is bounded is its last
        # acceptance, and it must refuse after.
        assert all(before.get(pid, 0.0) < min(resync / 2, at)
                   for pid, at in refused_after.items()), (before, refused_after)
        status, answer = call(port, "GET", "/docs", vestrel.present(holder, token, "GET", URL))
        assert (status, answer["rule"]) == (401, "Revoked")
    finally:
        os.killpg(process.pid, signal.SIGKILL)  # the master and its workers: nothing to save
        process.wait(10)


def test_an_evicting_redis_is_refused_unless_allowed_for_it_lets_replays_through(
        own: Callable[..., RedisServer], identities: Identities,
        caplog: pytest.LogCaptureFixture) -> None:
    redis_server = own("--maxmemory", "4mb")
    client = redis_server.client()
    root, holder = identities("root"), identities("holder")

    def outcome(make: Callable[[], Any]) -> str:
        try:
            made = make()
            if isinstance(made, vestrel.redis.RevocationFeed):
                made.close()
            return "ok"
        except ValueError as error:
            return "refused" if "may evict" in str(error) else repr(error)

    # What stores() and a feed say (the feed's sets have no expiry, which
    # volatile-* policies never evict).
    for policy, limit, for_stores, for_feed in [
            ("volatile-ttl", "4mb", "refused", "ok"), ("volatile-lru", "4mb", "refused", "ok"),
            ("allkeys-lru", "4mb", "refused", "refused"), ("noeviction", "4mb", "ok", "ok"),
            ("allkeys-lru", "0", "ok", "ok")]:
        client.config_set("maxmemory-policy", policy)
        client.config_set("maxmemory", limit)
        assert (outcome(lambda: vestrel.redis.stores(client)), outcome(
            lambda: vestrel.redis.RevocationFeed(client, vestrel.Verifier([root.public_key()])))
        ) == (for_stores, for_feed), policy
        assert outcome(lambda: vestrel.redis.RedisReplayStore(client)) == for_stores
        assert outcome(lambda: vestrel.redis.stores(client, allow_eviction=True)) == "ok"
    # Where CONFIG is refused the policy cannot be known: said once, and on.
    client.execute_command("ACL", "SETUSER", "noconfig", "on", ">pw", "~*", "&*", "+@all", "-config")
    with caplog.at_level(logging.WARNING, "vestrel.redis"):
        caplog.clear()
        vestrel.redis.stores(redis_server.client(username="noconfig", password="pw"))
    assert [r.getMessage().startswith("redis: cannot read maxmemory-policy (NoPermission")
            for r in caplog.records] == [True]
    # Why: with volatile-ttl, replay ids have the shortest expiry and go first
    # when a flood of registrations fills the memory.
    client.config_set("maxmemory", "4mb")
    token = vestrel.encode_token(chain_of(root, identities("a"), holder))
    accepted_again = {}
    for policy in ("volatile-ttl", "noeviction"):
        client.flushall()
        client.config_set("maxmemory-policy", policy)
        replay, chains = vestrel.redis.stores(client, prefix="flood:", allow_eviction=True)
        verifier = vestrel.Verifier([root.public_key()], replay=replay, chains=chains)
        captured = [vestrel.present(holder, token, "GET", URL) for _ in range(20)]
        for headers in captured:
            verifier.verify_request("GET", URL, headers)
        for _ in range(80):  # each under a delegating key of its own
            try:
                chains.put(os.urandom(32), os.urandom(100_000), 0, 3600)
            except vestrel.StoreUnavailable:  # noeviction: the flood itself is refused
                break
        outcomes = [refusal(lambda: verifier.verify_request("GET", URL, headers))
                    for headers in captured]
        accepted_again[policy] = outcomes.count(None)
        assert set(outcomes) <= {None, "ProofReplayed", "StoreUnavailable"}
    assert accepted_again == {"noeviction": 0, "volatile-ttl": accepted_again["volatile-ttl"]} \
        and accepted_again["volatile-ttl"] > 0, accepted_again


@pytest.mark.parametrize("kind", ["memory", "redis"])
def test_registrations_are_bounded_per_delegating_key(
        kind: str, server: RedisServer, identities: Identities) -> None:
    def store(limit: int) -> Any:
        if kind == "memory":
            return vestrel.MemoryChainStore(max_registrations=limit)
        return vestrel.redis.stores(server.client(), prefix=f"quota-{os.urandom(4).hex()}:",
                                    max_registrations=limit)[1]

    limit, ttl = 3, 600
    chains = store(limit)
    root = identities("root")
    verifier = vestrel.Verifier([root.public_key()], chains=chains)
    now = int(time.time())

    wires: Dict[Any, bytes] = {}

    def register(*islands: vestrel.IdentityIsland, at: int = now) -> Any:
        wire = wires.setdefault(tuple(i.public_key() for i in islands), chain_of(root, *islands))
        try:
            verifier.register_request(ORIGIN + REGISTER,
                                      *vestrel.register(islands[-1], wire, ORIGIN + REGISTER,
                                                        now=at)[:2], now=at, ttl=ttl)
            return "ok"
        except vestrel.RegistrationLimited as limited:
            again = pickle.loads(pickle.dumps(limited))
            assert (again.status, again.error, str(again), again.retry_after) == (
                429, "rate_limited", str(limited), limited.retry_after)
            return limited.retry_after

    minter, other, sub = (identities(n) for n in ("minter", "other-minter", "sub-minter"))
    holders = [identities(f"minted{n}") for n in range(limit + 1)]
    assert [register(minter, h) for h in holders[:limit]] == ["ok"] * limit
    assert register(minter, holders[limit]) == ttl + 1  # until the first one expires
    assert register(minter, holders[0]) == "ok"  # the same chain again: the same place
    # A key minted by the full one counts against it too; another minter does not.
    assert register(minter, sub, holders[limit]) == ttl + 1
    assert register(other, holders[limit]) == "ok"
    assert register(identities("direct")) == "ok"  # issued by the root: nothing counted
    # Once the first registrations expire, there is room again.
    assert register(minter, holders[limit], at=now + ttl + 1) == "ok"
    # Threads racing for the last places: exactly the bound gets through.
    racing = store(5)

    def attempt(n: int) -> bool:
        try:
            racing.register(os.urandom(32), b"wire", 0, 60, [minter.public_key()])
            return True
        except vestrel.RegistrationLimited:
            return False

    with ThreadPoolExecutor(8) as pool:
        assert sum(pool.map(attempt, range(24))) == 5


def test_a_limited_registration_is_answered_429_with_retry_after(identities: Identities) -> None:
    root, minter = identities("root"), identities("minter")
    verifier = vestrel.Verifier([root.public_key()],
                                chains=vestrel.MemoryChainStore(max_registrations=1))
    app = vestrel.asgi.Authorize(None, verifier, origin=ORIGIN)  # type: ignore[arg-type]
    made = [vestrel.register(h, chain_of(root, minter, h), ORIGIN + REGISTER)
            for h in (identities("limited-a"), identities("limited-b"))]
    answers = [asyncio.run(asgi(app, "POST", REGISTER, headers, (body,))) for headers, body, _ in made]
    # The hour the first registration holds, counted from the second of the refusal:
    # a clock second may tick between the two requests.
    assert [(status, headers.get(b"retry-after") in (None, b"3600", b"3601"))
            for status, headers, _ in answers] == [(201, True), (429, True)]
    assert b"retry-after" not in answers[0][1]
    store = Chains()  # a store written for put and get alone keeps working, unbounded
    verifier = vestrel.Verifier([root.public_key()], chains=store)
    for n in range(3):
        holder = identities(f"limited-{n}")
        verifier.register_request(ORIGIN + REGISTER, *vestrel.register(
            holder, chain_of(root, minter, holder), ORIGIN + REGISTER)[:2])
    assert len(store.puts) == 3


def test_clients_and_bounds_that_cannot_work_are_refused_when_made(server: RedisServer) -> None:
    import redis.asyncio  # type: ignore[import]

    class Coroutines:  # any client whose commands are coroutines
        async def set(self, *args: Any) -> None: ...
        async def get(self, *args: Any) -> None: ...
        async def execute_command(self, *args: Any) -> None: ...
        def pipeline(self) -> None: ...
        def pubsub(self) -> None: ...

    async def made() -> Any:  # before 3.10 its locks want a running loop
        return redis.asyncio.Redis(port=server.port)

    client = server.client()

    def feed(redis_client: Any = client, **options: Any) -> Any:
        return vestrel.redis.RevocationFeed(redis_client, vestrel.Verifier([bytes(1952)]), **options)

    # An asyncio client gets the asyncio stores from stores() and serves a
    # feed run as a task; the stores that call Redis synchronously refuse it,
    # and the asyncio ones refuse a client that is not one.
    for asynchronous in (asyncio.run(made()), Coroutines()):
        for make in (vestrel.redis.RedisReplayStore, vestrel.redis.RedisChainStore):
            with pytest.raises(TypeError, match="an asyncio Redis client serves the asyncio"):
                make(asynchronous)
    for make in (vestrel.redis.AsyncRedisReplayStore, vestrel.redis.AsyncRedisChainStore):
        with pytest.raises(TypeError, match="the asyncio stores take a redis.asyncio.Redis"):
            make(client)
    for bad, message in [
            (lambda: feed(resync=0), "resync must be a positive number of seconds"),
            (lambda: feed(resync=True), "resync must be a positive number of seconds"),
            (lambda: feed(retry=-1), "retry must be a positive number of seconds"),
            (lambda: feed(max_stale=float("nan")), "max_stale must be a positive number"),
            (lambda: feed(resync=10, max_stale=10), "max_stale must be longer than resync"),
            (lambda: vestrel.redis.stores(client, max_registrations=0), "max_registrations"),
            (lambda: vestrel.MemoryChainStore(max_registrations=True), "max_registrations")]:
        with pytest.raises(ValueError, match=message):
            bad()


def test_the_pages_redis_example_runs_as_pasted(server: RedisServer, identities: Identities) -> None:
    """docs/http.md's Redis blocks, against this Redis: the feed starts in
    the lifespan, the verifier refuses until then, and a revocation made
    with the page's line is refused by the served app."""
    responses, routing = frameworks("starlette.responses", "starlette.routing")
    from test_guide import fenced_blocks

    page = (TESTS.parents[1] / "docs" / "http.md").read_text()
    blocks = [source.replace('host="10.0.0.5"', f'host="127.0.0.1", port={server.port}')
              for language, _, source in fenced_blocks(page)
              if language == "python" and ("vestrel.redis" in source or "feed." in source)]
    assert len(blocks) >= 2 and "RevocationFeed(" in blocks[0] and "feed.revoke(" in blocks[1]
    root, holder = identities("root"), identities("page-holder")
    wire = chain_of(root, holder)
    server.client().delete("billing:revoked")

    import vestrel.starlette

    @vestrel.starlette.requires(b"/docs", b"GET")  # the page's app leaves the check to its routes
    async def doc(request: Any) -> Any:
        return responses.JSONResponse({"depth": request.state.vestrel_chain.depth})

    names: Dict[str, Any] = {
        "root_pk": root.public_key(), "wire": wire,
        "site": type("Site", (), {"routes": [routing.Route("/docs", doc)]}),
        "revocation_id": rid_of(vestrel.Verifier([root.public_key()]), wire)}
    exec(compile(blocks[0], "docs/http.md", "exec"), names)
    assert refusal(lambda: names["verifier"].verify(wire)) == "StoreUnavailable"  # not started

    async def served() -> List[int]:
        inbox: asyncio.Queue[Dict[str, str]] = asyncio.Queue()
        started = asyncio.Event()

        async def send(message: Any) -> None:
            if message["type"] == "lifespan.startup.complete":
                started.set()

        lifespan = asyncio.ensure_future(names["app"]({"type": "lifespan"}, inbox.get, send))
        await inbox.put({"type": "lifespan.startup"})
        await asyncio.wait_for(started.wait(), 10)
        statuses = []
        for block in ("", blocks[1]):
            exec(compile(block, "docs/http.md", "exec"), names)
            headers = vestrel.present(holder, wire, "GET", "https://api.example.com/docs")
            statuses.append((await asgi(names["app"], "GET", "/docs", headers))[0])
        await inbox.put({"type": "lifespan.shutdown"})
        await lifespan
        return statuses

    assert asyncio.run(served()) == [200, 401]
    assert names["feed"].closed
