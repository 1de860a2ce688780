"""vestrel.redis on a redis.asyncio client, against loopback redis-servers:
the asyncio stores keep the synchronous ones' promises (an id new once,
registrations bounded, entries not written here refused) under concurrent
tasks, the feed runs as a task with the thread's rules, and a uvicorn
worker on them goes on answering while Redis is paused."""

from __future__ import annotations

import asyncio
import contextlib
import logging
import os
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Awaitable, Callable, Dict, List, Optional, Tuple

import pytest

import vestrel
import vestrel._http
from servers import listening, once, uvicorn_on
from test_http_servers import frameworks
from test_redis import URL, RedisServer, call, chain_of, server, wait_for
from test_redis_feed import SERVICE_COMMANDS, own, refusal, rid_of

__all__ = ["server", "own"]  # the fixtures

Identities = Callable[[str], vestrel.IdentityIsland]


def run(main: Callable[[Any], Awaitable[Any]], port: int, **options: Any) -> Any:
    """``main(client)`` on a loop of its own, with a redis.asyncio client
    made and closed on that loop (its connections belong to it)."""
    import redis.asyncio  # type: ignore[import]

    async def with_client() -> Any:
        client = redis.asyncio.Redis(port=port, socket_timeout=5, socket_connect_timeout=2,
                                     **options)
        try:
            return await main(client)
        finally:
            await client.close()

    return asyncio.run(with_client())


async def outcome_of(call: Awaitable[Any]) -> Any:
    try:
        await call
    except vestrel.Refused as refused:
        return refused.rule
    return "ok"


def test_asyncio_stores_keep_their_promises_under_concurrent_tasks(
        server: RedisServer, identities: Identities, caplog: pytest.LogCaptureFixture) -> None:
    import vestrel.redis

    root, minter = identities("root"), identities("minter")

    async def main(client: Any) -> None:
        replay, chains = vestrel.redis.stores(client, prefix="async:")
        assert isinstance(replay, vestrel.redis.AsyncRedisReplayStore)
        await replay.ready()
        # Expiry in Redis's whole seconds, as the synchronous stores keep it.
        key, digest = os.urandom(32), os.urandom(32)
        assert await replay.add(key, 100, 160) and not await replay.add(key, 159, 200)
        assert 60_000 < await client.pttl(replay.key(key)) <= 61_000
        for now, expires_at, kept in [(100, 160, True), (100, 100, True), (100, 99, False)]:
            await client.delete(chains.key(digest))
            await chains.put(digest, b"wire", now, expires_at)
            assert (await chains.get(digest, now) == b"wire") == kept, (now, expires_at)

        # Each id is new exactly once per prefix, half the tasks pipelined.
        pairs = [vestrel.redis.stores(client, prefix=p) for p in ("async-one:", "async-two:")]
        await client.set(pairs[0][1].key(digest), b"wire")
        await client.set(pairs[1][1].key(digest), b"wire")
        ids = [os.urandom(32) for _ in range(30)]

        async def worker(n: int) -> List[Tuple[int, bytes, bool]]:
            store, chain_store = pairs[n % 2]
            return [(n % 2, k, (await chain_store.get_and_add(digest, 0, k, 60))[1] if n % 4 < 2
                     else await store.add(k, 0, 60)) for k in (ids if n % 3 else ids[::-1])]

        results = [r for rs in await asyncio.gather(*map(worker, range(12))) for r in rs]
        assert sorted((n, k) for n, k, fresh in results if fresh) == sorted(
            (n, k) for n in (0, 1) for k in ids)

        # Tasks racing for a delegating key's last places: exactly the bound.
        bounded = vestrel.redis.stores(client, prefix=f"async-quota-{os.urandom(4).hex()}:",
                                       max_registrations=5)[1]

        async def attempt(n: int) -> Any:
            try:
                await bounded.register(os.urandom(32), b"wire", 0, 60, [minter.public_key()])
                return "ok"
            except vestrel.RegistrationLimited as limited:
                return limited.retry_after

        assert sorted(await asyncio.gather(*map(attempt, range(24))), key=str) == [61] * 19 + ["ok"] * 5

        # Entries not written here read as no chain, with a warning each.
        bad = [os.urandom(32) for _ in range(3)]
        await client.sadd(chains.key(bad[0]), b"x")
        await client.set(chains.key(bad[1]), b"")
        await client.set(chains.key(bad[2]), b"w" * (vestrel.redis.MAX_WIRE + 1))
        with caplog.at_level(logging.WARNING, "vestrel.redis"):
            assert [await chains.get(d, 0) for d in bad] == [None] * 3
            assert await chains.get_and_add(bad[0], 0, os.urandom(32), 9) == (None, True)
        assert len(caplog.records) == 4

        # What a reference reads back is verified again, and a refused
        # proof's id, added with the lookup, is taken back.
        holder = identities("holder")
        verifier = vestrel.Verifier([root.public_key()], replay=replay, chains=chains)
        wire, before = chain_of(root, identities("a"), holder), await client.keys("async:replay:*")
        for stored, rule in [(chain_of(root, holder), "ChainUnknown"), (b"\1" * 64, "ChainTooDeep"),
                             (None, "ChainUnknown")]:
            await client.delete(chains.key(vestrel.chain_digest(wire)))
            if stored is not None:
                await client.set(chains.key(vestrel.chain_digest(wire)), stored)
            made = vestrel.present(holder, vestrel.chain_ref(wire), "GET", URL)
            assert await outcome_of(verifier.verify_request_async("GET", URL, made)) == rule
        assert await client.keys("async:replay:*") == before
        # Registered and used by reference; the same proof once only; the
        # synchronous path refuses these stores.
        headers, body, ref = vestrel.register(holder, wire, URL)
        assert (await verifier.register_request_async(URL, headers, body))[0] == ref
        made = vestrel.present(holder, ref, "GET", URL)
        assert [await outcome_of(verifier.verify_request_async("GET", URL, made))
                for _ in range(2)] == ["ok", "ProofReplayed"]
        with pytest.raises(TypeError, match="asyncio one"):
            verifier.verify_request("GET", URL, vestrel.present(holder, ref, "GET", URL))

    run(main, server.port)


def test_the_asyncio_stores_and_feed_check_eviction_and_clients_on_the_loop(
        own: Callable[..., RedisServer]) -> None:
    import vestrel.redis

    evicting = own("--maxmemory", "4mb", "--maxmemory-policy", "allkeys-lru")

    async def main(client: Any) -> Dict[str, Any]:
        replay, chains = vestrel.redis.stores(client, prefix="evict:")  # nothing asked yet
        got: Dict[str, Any] = {}
        for name, call in [("ready", replay.ready()), ("add", replay.add(os.urandom(32), 0, 9)),
                           ("get", chains.get(os.urandom(32), 0)),
                           ("feed", vestrel.redis.RevocationFeed(
                               client, vestrel.Verifier([bytes(1952)])).start_async())]:
            try:
                await call
                got[name] = "ok"
            except (ValueError, vestrel.StoreUnavailable) as error:
                got[name] = (type(error).__name__, "may evict" in str(error))
        allowed = vestrel.redis.stores(client, prefix="evict:", allow_eviction=True)[0]
        got["allowed"] = await allowed.add(os.urandom(32), 0, 9)
        return got

    assert run(main, evicting.port) == {
        "ready": ("ValueError", True), "add": ("StoreUnavailable", True),
        "get": ("StoreUnavailable", True), "feed": ("ValueError", True), "allowed": True}
    for options, message in [({"decode_responses": True}, "answer bytes"),
                             ({"single_connection_client": True}, "from its pool")]:
        with pytest.raises(ValueError, match=message):
            run(lambda client: asyncio.sleep(0, vestrel.redis.stores(client)), evicting.port, **options)


def test_the_feed_as_a_task_follows_the_sets_and_goes_stale_as_the_thread_does(
        own: Callable[..., RedisServer], identities: Identities) -> None:
    import vestrel.redis

    redis_server = own()
    admin = redis_server.client()
    root = identities("root")
    wires = [chain_of(root, identities(f"task{n}")) for n in range(4)]
    verifier = vestrel.Verifier([root.public_key()])
    rids = [rid_of(verifier, w) for w in wires]
    resync, max_stale = 0.2, 0.8

    def refused() -> List[Optional[str]]:
        return [refusal(lambda: verifier.verify(w)) for w in wires]

    async def main(client: Any) -> None:
        feed = vestrel.redis.RevocationFeed(client, verifier, prefix="task:", resync=resync,
                                            retry=0.05, max_stale=max_stale)
        assert feed.stale and refused() == ["StoreUnavailable"] * 4  # made, not started
        for call in (feed.start, lambda: feed.revoke(rids[0]), feed.resync):
            with pytest.raises(TypeError, match="redis.asyncio"):
                call()
        await asyncio.gather(feed.start_async(), feed.start_async())  # one task, however started
        task = feed._task
        async with feed:
            assert feed._task is task and len([t for t in asyncio.all_tasks()
                                               if t.get_coro().__name__ == "_run_async"]) == 1
            assert await feed.wait_synced_async(5) and not feed.stale and feed.channel_error is None
            await feed.revoke_async(rids[0])
            assert refused() == ["Revoked", None, None, None]  # at once
            # From another process: announced, then behind the feed's back.
            vestrel.redis.RevocationFeed(admin, vestrel.Verifier([root.public_key()]),
                                         prefix="task:").revoke(rids[1])
            admin.sadd("task:revoked", rids[2])
            began = time.monotonic()
            while refused()[1:3] != ["Revoked"] * 2 and time.monotonic() - began < 2:
                await asyncio.sleep(0.01)
            assert refused() == ["Revoked"] * 3 + [None] and time.monotonic() - began < resync + 0.3
            await feed.unrevoke_async(rids[:3])
            assert refused() == [None] * 4
            # Redis paused past max_stale: the verifier refuses, then recovers.
            admin.execute_command("CLIENT", "PAUSE", int(max_stale * 2000), "ALL")
            while not feed.stale and time.monotonic() - began < 10:
                await asyncio.sleep(0.02)
            assert feed.stale and refused() == ["StoreUnavailable"] * 4
            while feed.stale and time.monotonic() - began < 10:
                await asyncio.sleep(0.02)
            assert refused() == [None] * 4
        assert feed.closed and feed._task is None
        with pytest.raises(RuntimeError, match="closed"):
            await feed.start_async()

    run(main, redis_server.port)
    # A user without the channel: the task reads on and says why.
    admin.execute_command("ACL", "SETUSER", "taskuser", "on", ">pw", "~task:*", *SERVICE_COMMANDS,
                          "resetchannels")

    async def without_channel(client: Any) -> None:
        fed = vestrel.Verifier([root.public_key()])
        async with vestrel.redis.RevocationFeed(client, fed, prefix="task:", resync=resync) as feed:
            assert await feed.wait_synced_async(5)
            assert "SUBSCRIBE refused" in (feed.channel_error or "")
            await feed.revoke_async(rids[3])  # recorded, unannounced
            assert refusal(lambda: fed.verify(wires[3])) == "Revoked"
        assert admin.sismember("task:revoked", rids[3])

    run(without_channel, redis_server.port, username="taskuser", password="pw")


@once
def test_a_worker_on_asyncio_redis_serves_its_public_routes_while_redis_is_paused(
        server: RedisServer, identities: Identities) -> None:
    applications, responses, routing = frameworks("starlette.applications", "starlette.responses",
                                                  "starlette.routing")
    import httpx
    import redis.asyncio

    import vestrel.asgi
    import vestrel.httpx
    import vestrel.redis

    root, holder, other = identities("root"), identities("paused-holder"), identities("paused-other")
    middle = identities("paused-a")
    wire = vestrel.delegate(vestrel.delegate(None, root, middle.public_key(), "node", [(b"/docs", b"*")]),
                            middle, holder.public_key(), "leaf", [(b"/docs", b"*")])
    single = vestrel.encode_token(chain_of(root, other))
    sock = listening()
    origin = f"http://127.0.0.1:{sock.getsockname()[1]}"
    client = redis.asyncio.Redis(port=server.port, socket_timeout=10, socket_connect_timeout=2)
    replay, chains = vestrel.redis.stores(client, prefix="paused:")
    verifier = vestrel.Verifier([root.public_key()], replay=replay, chains=chains)
    feed = vestrel.redis.RevocationFeed(client, verifier, prefix="paused:", resync=1, max_stale=60)

    @contextlib.asynccontextmanager
    async def lifespan(app: Any) -> Any:
        await replay.ready()
        async with feed:
            await feed.wait_synced_async(5)
            yield

    async def docs(request: Any) -> Any:
        body = await request.body()
        return responses.JSONResponse({"query": request.url.query, "body": body.decode()})

    async def health(request: Any) -> Any:
        return responses.JSONResponse({"ok": True})

    async def revoke(request: Any) -> Any:
        await feed.revoke_async((await request.body()).decode())
        return responses.JSONResponse({"revoked": True})

    app = vestrel.asgi.Authorize(
        applications.Starlette(routes=[routing.Route("/docs", docs, methods=["GET", "POST"]),
                                       routing.Route("/health", health),
                                       routing.Route("/revoke", revoke, methods=["POST"])],
                               lifespan=lifespan),
        verifier, origin=origin, public=lambda path, method: path in ("/health", "/revoke"))
    pause_ms = 1500
    with uvicorn_on(app, sock, lifespan="on") as port, \
            httpx.Client(base_url=origin, auth=vestrel.httpx.Auth(holder, wire, register=True),
                         timeout=20) as signed, ThreadPoolExecutor(2) as pool:
        # Registered by the client, then by reference: params, an escape, a JSON body.
        answer = signed.get("/docs", params={"q": "a b/é"})
        assert (answer.status_code, answer.json()["query"]) == (200, "q=a+b%2F%C3%A9")
        assert signed.post("/docs", json={"n": 1}).json()["body"] == '{"n": 1}'

        admin = server.client()
        admin.execute_command("CLIENT", "PAUSE", pause_ms, "ALL")
        paused_at = time.monotonic()
        protected = pool.submit(lambda: (signed.get("/docs"), time.monotonic() - paused_at))
        took = []
        for _ in range(10):
            began = time.monotonic()
            assert call(port, "GET", "/health") == (200, {"ok": True})
            took.append(time.monotonic() - began)
        assert time.monotonic() - paused_at < pause_ms / 1000, "the pause ended before the probes"
        answer, waited = protected.result(30)
        # The public route answered in milliseconds; the protected request
        # waited for Redis and was then served, not refused.
        assert max(took) < 0.2 and answer.status_code == 200 and waited >= 0.8 * pause_ms / 1000, (
            took, waited)

        # The lifespan feed: a revocation through this worker, and one from elsewhere.
        assert call(port, "POST", "/revoke", body=rid_of(verifier, wire).hex().encode())[0] == 200
        assert signed.get("/docs").status_code == 401
        rid = rid_of(verifier, vestrel.Verifier([root.public_key()]).verify(single)._wire)

        async def signed_single() -> int:
            async with httpx.AsyncClient(auth=vestrel.httpx.Auth(other, single)) as session:
                return (await session.get(origin + "/docs")).status_code

        assert asyncio.run(signed_single()) == 200
        vestrel.redis.RevocationFeed(admin, vestrel.Verifier([root.public_key()]),
                                     prefix="paused:").revoke(rid)
        assert wait_for(lambda: asyncio.run(signed_single()) == 401, 2)
    assert feed.closed


def test_the_pages_asyncio_example_runs_as_pasted(server: RedisServer, identities: Identities) -> None:
    """docs/http.md's asyncio block against this Redis: the stores checked
    and the feed started in the lifespan, a request by reference served,
    a revocation refused, the feed closed at shutdown."""
    responses, routing = frameworks("starlette.responses", "starlette.routing")
    from test_guards import asgi
    from test_guide import fenced_blocks
    from test_redis import TESTS

    page = (TESTS.parents[1] / "docs" / "http.md").read_text()
    (block,) = [source.replace('host="10.0.0.5"', f'host="127.0.0.1", port={server.port}')
                for language, _, source in fenced_blocks(page)
                if language == "python" and "redis.asyncio" in source]
    root, holder = identities("root"), identities("page-async-holder")
    wire = chain_of(root, holder)
    server.client().delete("billing:revoked")

    async def doc(request: Any) -> Any:  # the page's app leaves the scope check to its routes
        vestrel._http.require(request.state.vestrel_chain, (b"/docs", b"GET"))
        vestrel._http.note_scope_check(request.scope["state"])
        return responses.JSONResponse({"depth": request.state.vestrel_chain.depth})

    names: Dict[str, Any] = {"root_pk": root.public_key(),
                             "site": type("Site", (), {"routes": [routing.Route("/docs", doc)]})}
    exec(compile(block, "docs/http.md", "exec"), names)
    origin = "https://api.example.com"

    async def served() -> List[int]:
        inbox: asyncio.Queue[Dict[str, str]] = asyncio.Queue()
        started = asyncio.Event()

        async def send(message: Any) -> None:
            if message["type"] == "lifespan.startup.complete":
                started.set()

        lifespan = asyncio.ensure_future(names["app"]({"type": "lifespan"}, inbox.get, send))
        await inbox.put({"type": "lifespan.startup"})
        await asyncio.wait_for(started.wait(), 10)
        headers, body, ref = vestrel.register(holder, wire, origin + "/.well-known/vestrel/chains")
        statuses = [(await asgi(names["app"], "POST", "/.well-known/vestrel/chains", headers,
                                (body,)))[0]]
        for revoked in (False, True):
            if revoked:
                await names["feed"].revoke_async(rid_of(names["verifier"], wire))
            made = vestrel.present(holder, ref, "GET", origin + "/docs")
            statuses.append((await asgi(names["app"], "GET", "/docs", made))[0])
        await inbox.put({"type": "lifespan.shutdown"})
        await lifespan
        await names["client"].close()
        return statuses

    assert asyncio.run(served()) == [201, 200, 401]
    assert names["feed"].closed


def test_a_cancelled_request_leaves_no_answer_for_the_next_command(server: RedisServer) -> None:
    # Cancelled while Redis holds its SET (paused), a replay check still
    # reads its own answer: the next check of the same id, on the same
    # connection, must hear Redis's "already there", not that stale OK.
    import vestrel.redis

    admin = server.client()

    async def main(client: Any) -> List[bool]:
        replay, _ = vestrel.redis.stores(client, prefix=f"cancel-{os.urandom(4).hex()}:")
        await replay.ready()
        key = os.urandom(32)
        admin.execute_command("CLIENT", "PAUSE", 400, "ALL")
        pending = asyncio.ensure_future(replay.add(key, 0, 60))
        await asyncio.sleep(0.1)
        pending.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await pending
        await asyncio.sleep(0.6)  # the pause over, the cancelled SET answered
        return [await replay.add(key, 0, 60), await replay.add(os.urandom(32), 0, 60)]

    assert run(main, server.port) == [False, True]
