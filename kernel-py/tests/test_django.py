"""vestrel.django and its REST framework classes in a project made of
docs/frameworks.md's Django blocks (settings, auth, views, urls, as pasted)
and a few views of the test's own: under gunicorn with the middleware,
driven by the signing clients (params, an escape, a JSON body the views
read, registration again after a restart, the page's client block), and
under Django's own server without it, where the decorator and the REST
framework classes verify the request themselves and the target is rebuilt.
Refusals equal vestrel.wsgi.Authorize's for the same request; a bad VESTREL
setting stops Django from starting."""

from __future__ import annotations

import contextlib
import os
import re
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Dict, Iterator, List, Tuple

import pytest

import vestrel
import vestrel._http
import vestrel.wsgi
from conftest import DEBIAN_PYTHON
from servers import listening, once, tls_proxy
from test_flask import (FRAMEWORKS, MAX_BODY, REGISTER, Refusal,
                        assert_refused_as_the_middleware, doc_namespace, run_block)
from test_flask import world  # noqa: F401 - fixtures
from test_guide import section_blocks
from test_http_clients import auth_for, registered_again_once, send
from test_http_clients import world as clients_world  # noqa: F401
from test_http_servers import frameworks

# What the page's settings block goes into: a project's other settings.
BASE_SETTINGS = """import os
SECRET_KEY = "tests"
DEBUG = False
ALLOWED_HOSTS = ["*"]
ROOT_URLCONF = "myproject.urls"
INSTALLED_APPS = ["django.contrib.contenttypes", "django.contrib.auth", "rest_framework"]
DATABASES = {}
LOGGING = {"version": 1, "handlers": {"console": {"class": "logging.StreamHandler"}},
           "loggers": {"django": {"handlers": ["console"], "level": "ERROR"}}}
"""
# The test's own: clients on 127.0.0.1 beside the page's origin; Django's
# CSRF check, which the decorated views are exempt from; the settings'
# check at startup.
TEST_SETTINGS = """
VESTREL["ORIGIN"] = [VESTREL["ORIGIN"], "http://127.0.0.1:" + os.environ["TEST_PORT"]]
VESTREL["MAX_BODY"] = %d
MIDDLEWARE = ["django.middleware.csrf.CsrfViewMiddleware", *MIDDLEWARE]
INSTALLED_APPS = [*INSTALLED_APPS, "vestrel.django.App"]
""" % MAX_BODY
TEST_VIEWS = """
from rest_framework.permissions import IsAuthenticated

@vestrel.django.require(b"docs", b"POST")
def echo(request, rest):
    chain = request.vestrel_chain
    return JsonResponse({"path": request.META.get("RAW_URI", request.path).partition("?")[0],
                         "query": request.META["QUERY_STRING"], "body": request.body.decode(),
                         "length": chain.length})

@vestrel.django.require(b"docs", b"GET")
async def later(request):
    return JsonResponse({"length": request.vestrel_chain.length})

@vestrel.django.require(b"admin", b"GET")
def admin(request):
    return JsonResponse({})

@api_view(["GET", "POST"])
@permission_classes([vestrel.django.Allows(b"docs", b"POST")])
def drf_save(request):
    return Response({"user": request.user.identity, "data": request.data,
                     "length": request.auth.length, "staff": request.user.is_staff})

@api_view(["GET"])
@permission_classes([vestrel.django.Allows(b"admin", b"GET")])
def drf_admin(request):
    return Response({})

@api_view(["GET"])
@permission_classes([IsAuthenticated])
def drf_me(request):
    return Response({"user": str(request.user)})
"""
TEST_URLS = """
from django.urls import re_path
urlpatterns += [re_path(r"^api/echo/(?P<rest>.*)$", views.echo),
                path("api/later", views.later), path("api/admin", views.admin),
                path("api/drf/save", views.drf_save), path("api/drf/admin", views.drf_admin),
                path("api/drf/me", views.drf_me)]
"""
WSGI = """from django.core.wsgi import get_wsgi_application
application = get_wsgi_application()
"""


@pytest.fixture(scope="module")
def project(tmp_path_factory: Any, world: SimpleNamespace) -> Path:
    """The page's Django blocks, each written to the file its first line
    names, with the test's own settings, views and URLs after them."""
    frameworks("django", "rest_framework")
    where = tmp_path_factory.mktemp("django")
    (where / "myproject").mkdir()
    (where / "myproject" / "__init__.py").write_text("")
    (where / "myproject" / "wsgi.py").write_text(WSGI)
    (where / "root.pk").write_bytes(world.root.public_key())
    files = {"settings.py": BASE_SETTINGS}
    for first, source in section_blocks(FRAMEWORKS, "Django"):
        named = re.match(r"\s*# myproject/(\w+\.py)", source)
        if named:
            files[named[1]] = files.get(named[1], "") + source
    assert sorted(files) == ["auth.py", "settings.py", "urls.py", "views.py"], sorted(files)
    for name, added in (("settings.py", TEST_SETTINGS), ("views.py", TEST_VIEWS),
                        ("urls.py", TEST_URLS)):
        files[name] += added
    for name, text in files.items():
        (where / "myproject" / name).write_text(text)
    return where


def environment(project: Path, port: int, settings: str = "myproject.settings") -> Dict[str, str]:
    paths = [str(project), os.environ["VESTREL_PACKAGE_DIR"],
             os.environ["VESTREL_KERNEL_MODULE_DIR"]]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(paths), "TEST_PORT": str(port),
            "DJANGO_SETTINGS_MODULE": settings}


@contextlib.contextmanager
def gunicorn(project: Path, sock: socket.socket) -> Iterator[subprocess.Popen[bytes]]:
    """The project under gunicorn, on ``sock`` (which outlives it, so that
    a restart keeps the port); yields once it answers."""
    port = sock.getsockname()[1]
    log = open(project / "gunicorn.log", "ab")
    server = subprocess.Popen(
        [DEBIAN_PYTHON, "-m", "gunicorn", "--bind", f"fd://{sock.fileno()}", "--workers", "1",
         "--threads", "4", "--worker-class", "gthread", "--graceful-timeout", "5",
         "myproject.wsgi:application"],
        cwd=project, env=environment(project, port), pass_fds=[sock.fileno()],
        stdout=log, stderr=log)
    try:
        deadline = time.monotonic() + 30
        while True:
            assert server.poll() is None and time.monotonic() < deadline, (
                project / "gunicorn.log").read_text()[-3000:]
            with contextlib.suppress(OSError), socket.create_connection(
                    ("127.0.0.1", port), timeout=1) as probe:
                probe.sendall(b"GET /api/drf/me HTTP/1.0\r\n\r\n")
                if probe.recv(12).startswith(b"HTTP/1."):
                    break
            time.sleep(0.05)
        yield server
    finally:
        server.send_signal(signal.SIGQUIT)  # gunicorn's quick shutdown
        try:
            server.wait(15)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait(15)
        log.close()


@pytest.fixture(scope="module")
def served(project: Path) -> Iterator[SimpleNamespace]:
    sock = listening()
    site = SimpleNamespace(base=f"http://127.0.0.1:{sock.getsockname()[1]}",
                           port=sock.getsockname()[1])
    with contextlib.ExitStack() as stack:
        site.server = stack.enter_context(gunicorn(project, sock))

        def restart() -> None:
            stack.close()
            site.server = stack.enter_context(gunicorn(project, sock))

        site.restart = restart
        yield site
    sock.close()


@pytest.fixture(scope="module")
def own_server(project: Path) -> Iterator[SimpleNamespace]:
    """The project in this process, under Django's own threaded server,
    without vestrel's middleware: the decorator and the REST framework
    classes verify the requests themselves, against a rebuilt target."""
    import django
    from django.core.handlers.wsgi import WSGIHandler
    from django.core.servers.basehttp import ThreadedWSGIServer, WSGIRequestHandler
    from django.test.utils import override_settings

    class Quiet(WSGIRequestHandler):
        def log_message(self, *args: Any) -> None:
            pass

    server = ThreadedWSGIServer(("127.0.0.1", 0), Quiet)
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("TEST_PORT", str(server.server_address[1]))
        patch.setenv("DJANGO_SETTINGS_MODULE", "myproject.settings")
        patch.syspath_prepend(str(project))
        patch.chdir(project)  # the page's auth.py reads root.pk from where it runs
        django.setup()
        from django.conf import settings

        without = [m for m in settings.MIDDLEWARE if not m.startswith("vestrel.")]
        with override_settings(MIDDLEWARE=without):
            server.set_app(WSGIHandler())
        __import__("myproject.auth")
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        try:
            yield SimpleNamespace(base=f"http://127.0.0.1:{server.server_address[1]}")
        finally:
            server.shutdown()
            thread.join(30)
            server.server_close()
    assert not thread.is_alive()


# ---- Real clients, real servers ----------------------------------------------

# Each request, and what the view answers (beside the chain's length).
ROWS: List[Tuple[Dict[str, Any], Dict[str, Any]]] = [
    ({"method": "POST", "url": "/api/echo/a%2fb", "params": {"q": "a b", "u": "ä&"},
      "json": {"title": "é"}},
     {"path": "/api/echo/a%2Fb", "query": "q=a+b&u=%C3%A4%26", "body": '{"title": "\\u00e9"}'}),
    ({"method": "POST", "url": "/api/drf/save", "params": {"k": "1"},
      "json": {"title": "notes", "n": [1]}},
     {"data": {"title": "notes", "n": [1]}, "staff": False}),
]


@once
def test_gunicorn_views_get_what_was_signed(served: SimpleNamespace,
                                            world: SimpleNamespace) -> None:
    holder = vestrel.key_id(world.holder.public_key())
    for client in ("requests", "httpx"):
        for wire, length in ((world.short, 1), (world.long, 16)):
            answers = send(client, auth_for(client, world.holder, wire),
                           *[{**r, "url": served.base + r["url"]} for r, _ in ROWS])
            seen = [(a.status_code, a.json()) for a in answers]
            expected = [{**ROWS[0][1], "length": length},
                        {**ROWS[1][1], "length": length, "user": holder}]
            assert seen == [(200, e) for e in expected], (client, seen)
    # gunicorn gives the target as sent: httpx's %41 is checked as it went.
    answer = send("httpx", auth_for("httpx", world.holder, world.short),
                  {"method": "POST", "url": served.base + "/api/echo/%41"})[0]
    assert (answer.status_code, answer.json()["path"]) == (200, "/api/echo/%41")
    # DRF's own IsAuthenticated sees the holder as the user; an async view is awaited.
    answers = send("httpx", auth_for("httpx", world.holder, world.short),
                   *[{"method": "GET", "url": served.base + p}
                     for p in ("/api/drf/me", "/api/later")])
    assert [(a.status_code, a.json()) for a in answers] == [(200, {"user": holder}),
                                                           (200, {"length": 1})]


@once
def test_a_restarted_gunicorn_gets_the_chain_registered_again(
        served: SimpleNamespace, world: SimpleNamespace) -> None:
    import requests

    auth = auth_for("requests", world.holder, world.long)
    get = {"method": "POST", "url": served.base + "/api/drf/save", "json": {}}
    first = registered_again_once("requests", auth, get, served)
    assert [h.status_code for h in first.history] in ([], [201])
    answer = requests.get(served.base + REGISTER, timeout=30)
    assert (answer.status_code, answer.json(), answer.headers["Allow"]) == (
        405, {"error": "invalid_request", "rule": "MethodNotAllowed"}, "POST")


@once
def test_without_the_middleware_on_djangos_own_server(own_server: SimpleNamespace,
                                                      world: SimpleNamespace) -> None:
    """No raw target there: the path Django decoded is quoted again, which
    matches a client that encodes only what must be (a UTF-8 path, a
    space); the decorator and the REST framework classes verify on their
    own."""
    base, holder = own_server.base, vestrel.key_id(world.holder.public_key())
    rows = [("/api/echo/%C3%A9%20x", {"q": "a b"}, {"path": "/api/echo/é x", "query": "q=a+b"}),
            ("/api/drf/save", {}, {"user": holder, "data": {"t": 1}, "staff": False})]
    answers = send("httpx", auth_for("httpx", world.holder, world.short),
                   *[{"method": "POST", "url": base + path, "params": params, "json": {"t": 1}}
                     for path, params, _ in rows])
    for answer, (path, _, expected) in zip(answers, rows):
        assert answer.status_code == 200, (path, answer.text)
        assert {k: answer.json()[k] for k in expected} == expected
    # A request without credentials gets no further than the route's check.
    import requests

    for path in ("/api/echo/x", "/api/drf/save", "/api/drf/me"):
        answer = requests.post(base + path, timeout=30)
        assert answer.status_code == 401, (path, answer.text)
        assert answer.headers["WWW-Authenticate"] == (
            'Vestrel error_description="ProofMissing: no Vestrel credentials"')


@once
def test_behind_the_wsgi_middleware_the_proof_is_spent_once(own_server: SimpleNamespace,
                                                            world: SimpleNamespace) -> None:
    """Django (with vestrel's middleware) inside vestrel.wsgi.Authorize
    (per_route=True) sharing its verifier: the chain that middleware
    verified is taken as it is (verifying again would find the proof
    replayed), the route checks the scope and says so in the environ."""
    from django.core.handlers.wsgi import WSGIHandler
    from werkzeug.test import EnvironBuilder, run_wsgi_app

    from myproject.auth import verifier

    origin = "https://api.example.com"
    guarded = vestrel.wsgi.Authorize(WSGIHandler(), verifier, origin=origin, per_route=True)
    served: List[Dict[str, Any]] = []

    def keeping(environ: Dict[str, Any], start_response: Any) -> Any:
        served.append(environ)  # run_wsgi_app hands the app a copy
        return guarded(environ, start_response)

    for method, path, status in (("POST", "/api/drf/save", 200), ("POST", "/api/echo/x", 200),
                                 ("GET", "/api/drf/admin", 403), ("GET", "/api/admin", 403)):
        body = b"{}" if method == "POST" else b""
        headers = vestrel.present(world.holder, vestrel.encode_token(world.short), method,
                                  origin + path, body=body or None)
        environ = EnvironBuilder(path=path, base_url=origin, method=method, data=body,
                                 headers={**headers, "Content-Type": "application/json"}
                                 ).get_environ()
        app_iter, answered, _ = run_wsgi_app(keeping, environ, buffered=True)
        assert int(answered.split()[0]) == status, (path, b"".join(app_iter))
        assert served[-1].get(vestrel._http.SCOPE_CHECKED) is (True if status == 200 else None)


# ---- Refusals ------------------------------------------------------------------

REFUSALS: List[Refusal] = [
    ("no credentials", "POST", "/api/echo/1", None, b"", None, 1),
    ("no credentials, DRF", "POST", "/api/drf/save", None, b"", None, 1),
    ("scope", "GET", "/api/admin", "short", b"", None, 1),
    ("no credentials, async view", "GET", "/api/later", None, b"", None, 1),
    ("scope, DRF", "GET", "/api/drf/admin", "short", b"", None, 1),
    ("replayed, DRF", "POST", "/api/drf/save", "short", b"{}", None, 2),
    ("expired chain", "POST", "/api/echo/1", "expired", b"", None, 1),
    ("another body, DRF", "POST", "/api/drf/save", "short", b"{}", b"[]", 1),
    ("over the bound", "POST", "/api/echo/1", "short", b"x" * (MAX_BODY + 1), None, 1),
]


@once
@pytest.mark.parametrize("row", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refusals_are_the_middlewares(served: SimpleNamespace, own_server: SimpleNamespace,
                                      world: SimpleNamespace, row: Refusal) -> None:
    """With vestrel's middleware (gunicorn) and without it (Django's server)."""
    for base in (served.base, own_server.base):
        assert_refused_as_the_middleware(world, base, row)


# ---- Settings ------------------------------------------------------------------

BAD_SETTINGS: List[Tuple[Any, str]] = [
    (None, "must be a dict"),
    ({"ORIGIN": "https://api.example.com"}, "needs VERIFIER"),
    ({"VERIFIER": "myproject.nowhere.verifier", "ORIGIN": "https://a.example"}, "does not import"),
    ({"VERIFIER": "myproject.auth.verifier"}, "needs origin="),
    ({"VERIFIER": "myproject.auth.verifier", "ORIGINS": "https://a.example"}, "unknown keys"),
    ({"VERIFIER": "myproject.auth.root_pk", "ORIGIN": "https://a.example"}, "vestrel.Verifier"),
    ({"VERIFIER": "myproject.auth.verifier", "ORIGIN": "a.example"}, "origin must be"),
    ({"VERIFIER": "myproject.auth.verifier", "ORIGIN": "https://a.example", "MAX_AGE": "60"},
     "max_age"),
    ({"VERIFIER": "myproject.auth.verifier", "ORIGIN": "https://a.example",
      "REGISTER_PATH": "chains"}, "register_path"),
]


@once
def test_bad_settings_stop_the_middleware_from_loading(own_server: SimpleNamespace) -> None:
    from django.core.exceptions import ImproperlyConfigured
    from django.test.utils import override_settings

    import vestrel.django

    for config, message in BAD_SETTINGS:
        with override_settings(VESTREL=config), pytest.raises(ImproperlyConfigured,
                                                              match=message):
            vestrel.django.Middleware(lambda request: None)
    for resource, verb in (("docs", b"GET"), (b"docs", None)):
        with pytest.raises(TypeError, match="must be bytes"):
            vestrel.django.require(resource, verb)
        with pytest.raises(TypeError, match="must be bytes"):
            vestrel.django.Allows(resource, verb)


@once
@pytest.mark.parametrize("checked_by", ["MIDDLEWARE", "INSTALLED_APPS"])
def test_a_bad_setting_stops_django_starting(project: Path, checked_by: str) -> None:
    """With the middleware, or without it and with vestrel.django.App."""
    (project / "myproject" / "bad.py").write_text(
        "from myproject.settings import *\nVESTREL = {'VERIFIER': 'myproject.auth.verifier'}\n"
        + ("INSTALLED_APPS = INSTALLED_APPS[:-1]\n" if checked_by == "MIDDLEWARE" else
           "MIDDLEWARE = []\n"))
    started = subprocess.run(
        [DEBIAN_PYTHON, "-c", "import myproject.wsgi"], cwd=project, capture_output=True,
        text=True, timeout=60, env=environment(project, 1, "myproject.bad"))
    assert started.returncode != 0
    assert "ImproperlyConfigured: settings.VESTREL: Authorize needs origin=" in started.stderr


@once
def test_the_module_imports_without_rest_framework(project: Path) -> None:
    code = ("import sys; sys.modules['rest_framework'] = None\n"
            "import vestrel.django\n"
            "try:\n    vestrel.django.VestrelAuthentication\n"
            "except ImportError as error:\n    print('no DRF:', error)\n")
    done = subprocess.run([DEBIAN_PYTHON, "-c", code], capture_output=True, text=True,
                          timeout=60, env=environment(project, 1))
    assert done.returncode == 0 and done.stdout.startswith("no DRF:"), done.stderr


# ---- docs/frameworks.md, as pasted ---------------------------------------------

@once
def test_the_django_section_runs_as_pasted(served: SimpleNamespace, world: SimpleNamespace,
                                           monkeypatch: Any) -> None:
    blocks = section_blocks(FRAMEWORKS, "Django")
    assert len(blocks) == 5 and all(len(s.strip().splitlines()) < 20 for _, s in blocks)
    namespace = doc_namespace(world)
    (client_at, client), = [(f, s) for f, s in blocks if "# myproject/" not in s]
    tls_proxy(monkeypatch, [served.port])
    run_block(client, client_at, namespace)
    holder = vestrel.key_id(world.holder.public_key())
    assert (namespace["saved"].json(), namespace["read"].json()) == (
        {"number": 7, "holder": holder, "title": "notes"}, {"number": 7, "holder": holder})
