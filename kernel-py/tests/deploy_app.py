"""The service test_http_deployments.py runs under each server: Starlette
behind vestrel.asgi.Authorize, Flask behind vestrel.wsgi.Authorize, both
answering to several origins. gunicorn finds them as ``asgi_app`` and
``wsgi_app``, built for the origins in VESTREL_TEST_ORIGINS (comma-separated).
/health says how many requests reached the app: a refused one never counts."""

from __future__ import annotations

import os
import threading
from typing import Any, Dict, List

import vestrel
import vestrel.asgi
import vestrel.wsgi

DOCS, HEALTH = "/api/docs/1", "/health"
MASTER = bytes(range(32))  # conftest's identities: the tests hold the root and the holder


def guard(middleware: Any, app: Any, origins: List[str]) -> Any:
    root = vestrel.IdentityIsland(MASTER, b"tests", b"root").public_key()
    return middleware(app, vestrel.Verifier([root]), origin=origins,
                      public=lambda path, method: path == HEALTH)


class Served:
    def __init__(self) -> None:
        self.lock, self.count = threading.Lock(), 0

    def __call__(self, n: int) -> int:
        with self.lock:
            self.count += n
            return self.count


def build_asgi(origins: List[str]) -> Any:
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse
    from starlette.routing import Route

    served = Served()

    async def docs(request: Any) -> Any:
        return JSONResponse({"served": served(1), "query": request.url.query})

    async def health(request: Any) -> Any:
        return JSONResponse({"served": served(0)})

    app = Starlette(routes=[Route(DOCS, docs, methods=["GET", "POST"]), Route(HEALTH, health)])
    return guard(vestrel.asgi.Authorize, app, origins)


def build_wsgi(origins: List[str]) -> Any:
    import flask

    served = Served()
    app = flask.Flask("vestrel-deployment")

    @app.route(DOCS, methods=["GET", "POST"])
    def docs() -> Dict[str, Any]:
        return {"served": served(1), "query": flask.request.query_string.decode("latin-1")}

    @app.route(HEALTH)
    def health() -> Dict[str, Any]:
        return {"served": served(0)}

    app.wsgi_app = guard(vestrel.wsgi.Authorize, app.wsgi_app, origins)  # type: ignore
    return app


if "VESTREL_TEST_ORIGINS" in os.environ:
    asgi_app = build_asgi(os.environ["VESTREL_TEST_ORIGINS"].split(","))
    wsgi_app = build_wsgi(os.environ["VESTREL_TEST_ORIGINS"].split(","))
