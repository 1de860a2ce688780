"""The service test_redis.py runs in two uvicorn processes at once, its
replay ids, chains and revocations in Redis. Both check proofs against one
origin, as behind a load balancer, so a proof made for one is good at the
other."""

from __future__ import annotations

import os
from typing import Any

import redis
from starlette.applications import Starlette
from starlette.responses import JSONResponse
from starlette.routing import Route

import vestrel
import vestrel.asgi
import vestrel.redis

PREFIX = "multi:"

client = redis.Redis(host="127.0.0.1", port=int(os.environ["VESTREL_TEST_REDIS_PORT"]),
                     socket_timeout=1, socket_connect_timeout=1)
root = vestrel.IdentityIsland(bytes(range(32)), b"tests", b"root")
replay, chains = vestrel.redis.stores(client, prefix=PREFIX)
verifier = vestrel.Verifier([root.public_key()], replay=replay, chains=chains)
feed = vestrel.redis.RevocationFeed(client, verifier, prefix=PREFIX, retry=0.2,
                                    resync=float(os.environ["VESTREL_TEST_RESYNC"])).start()


async def docs(request: Any) -> JSONResponse:
    return JSONResponse({"pid": os.getpid()})


async def revoke(request: Any) -> JSONResponse:
    feed.revoke((await request.body()).decode("ascii"))
    return JSONResponse({"revoked": True})


async def status(request: Any) -> JSONResponse:
    return JSONResponse({"stale": feed.stale, "synced_at": feed.synced_at})


app = vestrel.asgi.Authorize(
    Starlette(routes=[Route("/docs", docs), Route("/revoke", revoke, methods=["POST"]),
                      Route("/status", status)]),
    verifier, origin=os.environ["VESTREL_TEST_ORIGIN"],
    public=lambda path, method: path in ("/revoke", "/status"))
