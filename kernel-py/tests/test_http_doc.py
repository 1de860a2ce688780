"""docs/http.md runs as pasted: its ```python blocks in order, in one
namespace, the ASGI ``app`` served under uvicorn and the Flask ``api`` under
Werkzeug, each client block run against both, this test playing the TLS proxy
that answers to https://api.example.com. Redis blocks are left to the Redis
tests; they are only read here, for their Authorize calls."""

from __future__ import annotations

import contextlib
import re
import traceback
from pathlib import Path
from typing import Any, Dict, List, Tuple

from servers import once, tls_proxy, uvicorn_on, werkzeug_on
from test_guide import fenced_blocks

HTTP_DOC = Path(__file__).resolve().parents[2] / "docs" / "http.md"
PUBLIC = "api.example.com"


def python_blocks() -> List[Tuple[int, str]]:
    return [(first, source) for language, first, source in fenced_blocks(HTTP_DOC.read_text())
            if language == "python"]


def test_every_middleware_on_the_page_names_where_it_is_served() -> None:
    calls = [call for _, source in python_blocks()
             for call in re.findall(r"Authorize\((?:[^()]|\([^()]*\))*\)", source)]
    assert len(calls) >= 4, "the page's Authorize calls were not found"
    assert [c for c in calls if "origin=" not in c and "hosts=" not in c] == []


@once
def test_the_page_runs_against_real_servers(tmp_path: Path, monkeypatch: Any) -> None:
    monkeypatch.chdir(tmp_path)
    port = [0]
    tls_proxy(monkeypatch, port, PUBLIC)
    namespace: Dict[str, Any] = {"__name__": "http_doc"}
    ports: List[Tuple[str, int]] = []
    clients = 0
    with contextlib.ExitStack() as stack:
        for number, (first, source) in enumerate(python_blocks(), start=1):
            if re.search(r"\bimport redis\b|vestrel\.redis", source):
                continue
            code = compile(source, str(HTTP_DOC), "exec")
            if not re.search(r"^import (?:requests|httpx)$", source, re.M):
                run(code, namespace, f"block {number} (from line {first})")
                continue
            ports = ports or [("app", stack.enter_context(uvicorn_on(namespace["app"]))),
                              ("api", stack.enter_context(werkzeug_on(namespace["api"])))]
            for name, port[0] in ports:
                run(code, namespace, f"block {number} (from line {first}, against {name})")
                reply = namespace["reply"]
                assert (reply.status_code, reply.json()) == (
                    200, {"holder": namespace["vestrel"].key_id(namespace["holder"].public_key())}
                ), (name, reply.text)
            clients += 1
    assert clients >= 3, "the client blocks did not run"


def run(code: Any, namespace: Dict[str, Any], where: str) -> None:
    try:
        exec(code, namespace)
    except Exception as error:  # noqa: BLE001 - any failure is the page's
        line = [f.lineno for f in traceback.extract_tb(error.__traceback__)
                if f.filename == str(HTTP_DOC)]
        raise AssertionError(f"http.md Python {where} failed at line "
                             f"{line[-1] if line else None}: {error!r}") from error
