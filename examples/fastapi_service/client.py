"""The notes service's client: a root delegates to a writer and to a reader,
and each signs its requests with vestrel.httpx (sync and async), its chain
registered once with the service and sent by reference from then on.

    python3 client.py --root-public-key     # what the service is given
    python3 client.py http://127.0.0.1:8000 # exits 1 unless every answer is the expected one
"""

import asyncio
import sys
import time
from typing import Any, List, Tuple

import httpx

import vestrel
import vestrel.httpx

MASTER = bytes(range(32))  # in real use: 32 secret random bytes, kept by the issuer only
root = vestrel.IdentityIsland(MASTER, b"notes-demo", b"root")
writer = vestrel.IdentityIsland(MASTER, b"notes-demo", b"writer")
reader = vestrel.IdentityIsland(MASTER, b"notes-demo", b"reader")


def chain_for(holder: vestrel.IdentityIsland, verbs: List[bytes]) -> bytes:
    now = int(time.time())
    return vestrel.delegate(None, root, holder.public_key(), "leaf",
                            [(b"notes", verb) for verb in verbs], not_after=now + 3600)


async def read_async(base: str, auth: vestrel.httpx.Auth) -> httpx.Response:
    async with httpx.AsyncClient(auth=auth, timeout=10) as session:
        return await session.get(f"{base}/api/notes/7", params={"fields": "title text"})


def main(base: str) -> int:
    write = vestrel.httpx.Auth(writer, chain_for(writer, [b"read", b"write"]), register=True)
    read = vestrel.httpx.Auth(reader, chain_for(reader, [b"read"]), register=True)
    checks: List[Tuple[str, int, Any]] = []
    with httpx.Client(auth=write, timeout=10) as session:
        answer = session.put(f"{base}/api/notes/7", params={"draft": "a b"},
                             json={"title": "Grüße", "text": "first note"})
        checks.append(("writer saves note 7", 200, answer))
    checks.append(("reader reads it (async)", 200, asyncio.run(read_async(base, read))))
    with httpx.Client(auth=read, timeout=10) as session:
        checks.append(("reader may not write", 403,
                       session.put(f"{base}/api/notes/7", json={"title": "x"})))
    checks.append(("no credentials", 401, httpx.get(f"{base}/api/notes/7", timeout=10)))
    failed = 0
    for what, expected, answer in checks:
        ok = answer.status_code == expected
        failed += not ok
        challenge = answer.headers.get("www-authenticate")
        print(f"{'ok  ' if ok else 'FAIL'} {what}: {answer.status_code} {answer.text}"
              + (f"\n       WWW-Authenticate: {challenge}" if challenge else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    if sys.argv[1:] == ["--root-public-key"]:
        print(root.public_key().hex())
        sys.exit(0)
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "http://127.0.0.1:8000"))
