"""The service test_http_deployments.py runs under each server: a Starlette
app behind vestrel.asgi.Authorize and a Flask app behind vestrel.wsgi.Authorize,
both answering to several origins. A server process that imports this
module (gunicorn) finds them as ``asgi_app`` and ``wsgi_app``, built for the
origins in VESTREL_TEST_ORIGINS (comma-separated)."""

from __future__ import annotations

import os
import threading
from typing import Any, Dict, List

import vestrel
import vestrel.asgi
import vestrel.wsgi

DOCS, HEALTH = "/api/docs/1", "/health"
MASTER = bytes(range(32))  # conftest's identities: the tests hold the root and the holder


class Served:
    """How many requests reached the app, which /health tells: a refused
    request must never count."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.count = 0

    def add(self) -> int:
        with self.lock:
            self.count += 1
            return self.count


def verifier() -> vestrel.Verifier:
    return vestrel.Verifier([vestrel.IdentityIsland(MASTER, b"tests", b"root").public_key()])


def public(path: str, method: str) -> bool:
    return path == HEALTH


def build_asgi(origins: List[str]) -> Any:
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse
    from starlette.routing import Route

    served = Served()

    async def docs(request: Any) -> Any:
        return JSONResponse({"served": served.add(), "path": request.url.path,
                             "query": request.url.query, "body": (await request.body()).decode()})

    async def health(request: Any) -> Any:
        return JSONResponse({"served": served.count})

    app = Starlette(routes=[Route(DOCS, docs, methods=["GET", "POST"]), Route(HEALTH, health)])
    return vestrel.asgi.Authorize(app, verifier(), origin=origins, public=public)


def build_wsgi(origins: List[str]) -> Any:
    import flask

    served = Served()
    app = flask.Flask("vestrel-deployment")

    @app.route(DOCS, methods=["GET", "POST"])
    def docs() -> Dict[str, Any]:
        request = flask.request
        return {"served": served.add(), "path": request.path,
                "query": request.query_string.decode("latin-1"),
                "body": request.get_data().decode()}

    @app.route(HEALTH)
    def health() -> Dict[str, Any]:
        return {"served": served.count}

    app.wsgi_app = vestrel.wsgi.Authorize(app.wsgi_app, verifier(),  # type: ignore
                                          origin=origins, public=public)
    return app


if "VESTREL_TEST_ORIGINS" in os.environ:
    _origins = os.environ["VESTREL_TEST_ORIGINS"].split(",")
    asgi_app = build_asgi(_origins)
    wsgi_app = build_wsgi(_origins)
