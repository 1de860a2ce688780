"""The service test_redis_feed.py runs under gunicorn --preload with two
workers, as WSGI (``wsgi``) or ASGI (``asgi``). Its revocation feed starts
at import, so in gunicorn's master, before the workers are forked: each
worker must still hear of every revocation made after that."""

from __future__ import annotations

import json
import os
from typing import Any, Callable, Dict, Iterable, MutableMapping

import redis

import vestrel
import vestrel.asgi
import vestrel.redis
import vestrel.wsgi

PREFIX = os.environ["VESTREL_TEST_PREFIX"]
ORIGIN = os.environ["VESTREL_TEST_ORIGIN"]

client = redis.Redis(host="127.0.0.1", port=int(os.environ["VESTREL_TEST_REDIS_PORT"]),
                     socket_timeout=1, socket_connect_timeout=1)
root = vestrel.IdentityIsland(bytes(range(32)), b"tests", b"root")
replay, chains = vestrel.redis.stores(client, prefix=PREFIX)
verifier = vestrel.Verifier([root.public_key()], replay=replay, chains=chains)
feed = vestrel.redis.RevocationFeed(client, verifier, prefix=PREFIX, retry=0.2,
                                    resync=float(os.environ["VESTREL_TEST_RESYNC"])).start()
feed.wait_synced(5)


def answer(path: str, body: bytes) -> Dict[str, Any]:
    """/status: the worker's feed; /verify: what the worker's verifier says
    of the token in the body; anything else, reached only with a proof."""
    found: Dict[str, Any] = {"pid": os.getpid(), "stale": feed.stale,
                             "channel_error": feed.channel_error, "rule": None}
    if path == "/verify":
        try:
            verifier.verify(body.decode("ascii"))
        except vestrel.Refused as refused:
            found["rule"] = refused.rule
    return found


def inner_wsgi(environ: Dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
    length = int(environ.get("CONTENT_LENGTH") or 0)
    content = json.dumps(answer(environ["PATH_INFO"], environ["wsgi.input"].read(length)))
    start_response("200 OK", [("content-type", "application/json")])
    return [content.encode()]


async def inner_asgi(scope: MutableMapping[str, Any], receive: Any, send: Any) -> None:
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            await send({"type": message["type"] + ".complete"})
            if message["type"] == "lifespan.shutdown":
                return
    body, more = b"", True
    while more:
        message = await receive()
        body, more = body + message.get("body", b""), message.get("more_body", False)
    content = json.dumps(answer(scope["path"], body)).encode()
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-type", b"application/json")]})
    await send({"type": "http.response.body", "body": content})


public = {"/status", "/verify"}.__contains__
wsgi = vestrel.wsgi.Authorize(inner_wsgi, verifier, origin=ORIGIN, public=lambda path, _: public(path))
asgi = vestrel.asgi.Authorize(inner_asgi, verifier, origin=ORIGIN, public=lambda path, _: public(path))
