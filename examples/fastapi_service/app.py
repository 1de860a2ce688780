"""A notes service: FastAPI routes that require Vestrel credentials, its
replay ids and registered chains shared in Redis by every worker.

    VESTREL_DEMO_ROOT_PK=<root public key, hex> VESTREL_DEMO_REDIS_PORT=6379 \\
        uvicorn app:app --host 127.0.0.1 --port 8000

The service knows only the root's public key; it trusts every chain from it
that allows what a route requires, presented with its holder's proof.
"""

import os
from typing import Any, Dict

import fastapi
import pydantic
import redis  # type: ignore[import]
from fastapi import Security

import vestrel
import vestrel.fastapi
import vestrel.redis

ORIGIN = os.environ.get("VESTREL_DEMO_ORIGIN", "http://127.0.0.1:8000")

client = redis.Redis(host="127.0.0.1", port=int(os.environ.get("VESTREL_DEMO_REDIS_PORT", "6379")),
                     socket_timeout=1, socket_connect_timeout=1)
replay, chains = vestrel.redis.stores(client, prefix="notes:")
verifier = vestrel.Verifier([bytes.fromhex(os.environ["VESTREL_DEMO_ROOT_PK"])],
                            replay=replay, chains=chains)

app = fastapi.FastAPI(title="notes")
# Installs the refusal handler and the chain registration route.
auth = vestrel.fastapi.Auth(verifier, origin=ORIGIN, app=app)


class Note(pydantic.BaseModel):
    title: str
    text: str = ""


@app.get("/health")
async def health() -> Dict[str, bool]:
    return {"ok": True}


@app.put("/api/notes/{number}")
async def put_note(number: int, note: Note, chain: vestrel.VerifiedChain = Security(
        auth.require(b"notes", b"write"))) -> Dict[str, Any]:
    author = vestrel.key_id(chain.holder_pk)
    client.hset(f"notes:note:{number}", mapping={"author": author, **note.dict()})
    return {"number": number, "author": author}


@app.get("/api/notes/{number}")
async def get_note(number: int, chain: vestrel.VerifiedChain = Security(
        auth.require(b"notes", b"read"))) -> Dict[str, Any]:
    stored = {k.decode(): v.decode() for k, v in client.hgetall(f"notes:note:{number}").items()}
    if not stored:
        raise fastapi.HTTPException(404, "no such note")
    return {"number": number, **stored}
