"""Starlette behind vestrel.asgi.Authorize(per_route=True): route
requirements (vestrel.starlette.requires and Starlette's own requires),
request.user and request.auth, under uvicorn with vestrel.httpx.Auth; and
the "## Starlette" section of docs/frameworks.md run as pasted."""

from __future__ import annotations

import asyncio
import contextlib
import re
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Callable, Dict, List, Tuple

import pytest

import vestrel
import vestrel.asgi
from servers import listening, once, tls_proxy, uvicorn_on
from test_guide import section_blocks
from test_route_guard import logged

FRAMEWORKS_DOC = Path(__file__).resolve().parents[2] / "docs" / "frameworks.md"
PUBLIC = "api.example.com"
# Two pairs the text scopes leave out: one not UTF-8, one whose verb holds ":".
PERMS = [(b"docs", b"read"), (b"files", b"*"), (b"\xff", b"read"), (b"a", b"b:c")]
DENIED = {"error": "insufficient_scope", "rule": "NotAllowed"}
MISSING = {"error": None, "rule": "ProofMissing"}
UNCHECKED = {"error": "server_error", "rule": "ScopeUnchecked"}


@pytest.fixture(scope="module")
def holder(identities: Callable[[str], vestrel.IdentityIsland]) -> SimpleNamespace:
    root, key = identities("root"), identities("holder")
    return SimpleNamespace(root=root, key=key, wire=vestrel.delegate(
        None, root, key.public_key(), "leaf", PERMS))


def site() -> Any:
    from starlette import authentication
    from starlette.applications import Starlette
    from starlette.endpoints import HTTPEndpoint
    from starlette.responses import JSONResponse
    from starlette.routing import Route

    import vestrel.starlette

    def seen(request: Any, **more: Any) -> Any:
        user = request.user
        return JSONResponse({"user": [user.is_authenticated, user.display_name, user.identity],
                             "query": dict(request.query_params), **more})

    async def plain(request: Any) -> Any:
        return seen(request)

    def plain_sync(request: Any) -> Any:
        return seen(request)

    @vestrel.starlette.requires(b"docs", b"read")
    async def read(request: Any) -> Any:
        return seen(request, id=request.path_params["id"], scopes=list(request.auth.scopes))

    class Files(HTTPEndpoint):
        @vestrel.starlette.requires(b"files", b"delete")  # under the chain's "files:*"
        async def post(self, request: Any) -> Any:
            return seen(request, body=await request.json())

        put = vestrel.starlette.requires(b"mail", b"send")(lambda self, request: seen(request))

    ours, theirs = vestrel.starlette.requires, authentication.requires
    return Starlette(routes=[Route("/files", Files)] + [
        Route(path, endpoint, methods=["GET", "POST"]) for path, endpoint in [
            ("/docs/{id}", read), ("/sync", ours(b"docs", b"read")(plain_sync)),
            ("/bytes", ours(b"\xff", b"read")(plain)), ("/theirs/read", theirs("docs:read")(plain)),
            ("/theirs/write", theirs("docs:write")(plain)),
            ("/anyone", theirs("authenticated")(plain)),  # the user, not the scope
            ("/bare", plain), ("/public/docs/{id}", read), ("/public/bare", plain)]])


@once
def test_requirements_fail_when_the_app_is_built() -> None:
    import vestrel.starlette as starlette

    async def endpoint(request: Any) -> None: ...
    async def no_request(scope: Any) -> None: ...

    cases: List[Tuple[Callable[[], Any], str]] = [
        (lambda: starlette.requires("docs", b"read"), "resource must be bytes"),
        (lambda: starlette.requires(b"docs", None), "verb must be bytes"),
        (lambda: starlette.requires(b"docs", b"read")(no_request), "takes no 'request' parameter"),
        (lambda: starlette.requires(b"docs", b"read")("endpoint"), "decorates an endpoint"),
    ]
    for build, message in cases:
        with pytest.raises(TypeError, match=message):
            build()
    assert starlette.requires(bytearray(b"docs"), b"read")(endpoint).__name__ == "endpoint"


@once
def test_route_requirements_behind_uvicorn(holder: SimpleNamespace) -> None:
    import httpx
    import vestrel.httpx

    me = vestrel.key_id(holder.key.public_key())
    user, anonymous = [True, me, me], [False, "", None]
    rows: List[Tuple[str, str, Dict[str, Any], int, Any]] = [  # method, path, request, answer
        ("GET", "/docs/%41", {"params": {"q": "a b"}}, 200,
         {"user": user, "query": {"q": "a b"}, "id": "A",
          "scopes": ["authenticated", "docs:read", "files:*"]}),
        ("GET", "/sync", {}, 200, {"user": user, "query": {}}),
        ("GET", "/bytes", {}, 200, {"user": user, "query": {}}),
        ("POST", "/files", {"json": {"n": [1, "é"]}}, 200,
         {"user": user, "query": {}, "body": {"n": [1, "é"]}}),
        ("PUT", "/files", {}, 403, DENIED),
        ("GET", "/theirs/read", {}, 200, {"user": user, "query": {}}),
        ("GET", "/theirs/write", {}, 403, "Forbidden"),  # Starlette's own refusal
        ("GET", "/anyone", {}, 500, UNCHECKED),
        ("POST", "/bare", {"content": b"x"}, 500, UNCHECKED),
        ("GET", "/public/bare", {}, 200, {"user": anonymous, "query": {}}),
        ("GET", "/public/docs/1", {}, 401, MISSING),
    ]
    sock = listening()
    base = f"http://127.0.0.1:{sock.getsockname()[1]}"
    app = vestrel.asgi.Authorize(site(), vestrel.Verifier([holder.root.public_key()]), origin=base,
                                 per_route=True, public=lambda path, method: "/public/" in path)
    auth = vestrel.httpx.Auth(holder.key, holder.wire)

    async def over_async() -> List[Any]:
        async with httpx.AsyncClient(auth=auth, timeout=30) as client:
            return [await client.request(m, base + p, **kw) for m, p, kw, _, _ in rows]

    with uvicorn_on(app, sock), httpx.Client(auth=auth, timeout=30) as client, \
            logged() as records:
        answers = [client.request(m, base + p, **kw) for m, p, kw, _, _ in rows]
        answers += asyncio.run(over_async())
    got = [(r.status_code, r.json() if "json" in r.headers["content-type"] else r.text)
           for r in answers]
    assert got == [(status, body) for _, _, _, status, body in rows] * 2
    challenges = [r.headers["www-authenticate"] for r, (_, body) in zip(answers, got)
                  if isinstance(body, dict) and "rule" in body]
    assert challenges and all(re.fullmatch(
        r'Vestrel( error="(insufficient_scope|server_error)",)? error_description="\w+: [ -~]*"', c)
        for c in challenges), challenges
    assert [(r.levelname, re.match(r"(\w+) '([^']*)'", r.getMessage()).groups())  # type: ignore
            for r in records] == [("ERROR", ("GET", "/anyone")), ("ERROR", ("POST", "/bare"))] * 2


def test_the_section_blocks_are_short() -> None:
    blocks = section_blocks(FRAMEWORKS_DOC, "Starlette")
    assert len(blocks) >= 4
    assert [first for first, source in blocks if len(source.strip().splitlines()) >= 20] == []


@once
def test_the_starlette_section_runs_against_uvicorn(tmp_path: Path, monkeypatch: Any) -> None:
    monkeypatch.chdir(tmp_path)
    port = [0]
    tls_proxy(monkeypatch, port, PUBLIC)
    namespace: Dict[str, Any] = {"__name__": "frameworks_doc"}
    with contextlib.ExitStack() as stack:
        for first, source in section_blocks(FRAMEWORKS_DOC, "Starlette"):
            if "import httpx" in source:
                port[0] = stack.enter_context(uvicorn_on(namespace["app"]))
            try:
                exec(compile(source, str(FRAMEWORKS_DOC), "exec"), namespace)
            except Exception as error:  # noqa: BLE001 - any failure is the page's
                raise AssertionError(f"frameworks.md block from line {first}: {error!r}") from error
    assert namespace["saved"] == {"saved": {"title": "notes"}}
