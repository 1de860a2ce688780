"""Request checks on an event loop: verify_request_async and
register_request_async give every request the outcome verify_request gives
it, asking the stores the same things in the same order; a chain not
checked lately is checked off the loop and a known one on it; and the
synchronous paths refuse asyncio stores rather than misread them."""

from __future__ import annotations

import asyncio
import importlib
import threading
import warnings
from typing import Any, Callable, Dict, List, Optional, Tuple

import pytest

import vestrel
import vestrel._http
import vestrel.asgi
import vestrel.wsgi
from test_guards import (AGES, FORMS, NOT_AFTER, NOW, READINGS, URL, Chains, Replay, asgi, outcome,
                         w)

__all__ = ["w"]  # the fixture


class Recording(Replay):
    """Replay, noting the ids it is asked to forget among its calls."""

    def forget(self, key: bytes) -> None:
        self.calls.append((b"forget:" + key, 0, 0))
        Replay.forget(self, key)


class AsyncReplay(Recording):
    """Replay's answers, each given after a turn of the event loop."""

    async def add(self, key: bytes, now: int, expires_at: int) -> bool:  # type: ignore[override]
        await asyncio.sleep(0)
        return Replay.add(self, key, now, expires_at)

    async def forget(self, key: bytes) -> None:  # type: ignore[override]
        Recording.forget(self, key)


class AsyncChains(Chains):
    async def put(self, digest: bytes, wire: bytes, now: int, expires_at: int) -> None:  # type: ignore[override]
        await asyncio.sleep(0)
        Chains.put(self, digest, wire, now, expires_at)

    async def get(self, digest: bytes, now: int) -> Optional[bytes]:  # type: ignore[override]
        await asyncio.sleep(0)
        return Chains.get(self, digest, now)

    async def get_and_add(self, digest: bytes, now: int, key: bytes, expires_at: int) -> Any:  # type: ignore[override]
        assert isinstance(self.replay, AsyncReplay)
        return Chains.get(self, digest, now), await self.replay.add(key, now, expires_at)


def stores(form: str, asynchronous: bool) -> Tuple[Replay, Chains]:
    replay = AsyncReplay() if asynchronous else Recording()
    chains = (AsyncChains if asynchronous else Chains)(
        replay if form == "pipelined reference" else None)
    return replay, chains


def service(w: Any, form: str, asynchronous: bool, **options: Any) -> Tuple[vestrel.Verifier, str, Replay, Chains]:
    replay, chains = stores(form, asynchronous)
    verifier = vestrel.Verifier([w.root.public_key()], replay=replay, chains=chains, **options)
    if form == "known token":
        verifier.verify(w.token, NOW)
    if form.endswith("reference"):
        Chains.put(chains, w.digest, w.wire, NOW, NOT_AFTER)
    return verifier, (w.ref if form.endswith("reference") else w.token), replay, chains


def both(w: Any, form: str, requests: List[Callable[[str], Tuple[Any, Dict[str, Any]]]],
         **options: Any) -> Dict[str, Any]:
    """What each path answers to ``requests`` (made for the form's chain
    text: headers and keyword arguments), sent in turn to one service each:
    the outcomes with their messages, and every store call in order."""
    got: Dict[str, Any] = {}
    made = [request(w.ref if form.endswith("reference") else w.token) for request in requests]
    for asynchronous in (False, True):
        verifier, _, replay, chains = service(w, form, asynchronous, **options)
        if asynchronous:
            async def run() -> List[str]:
                results = []
                for headers, kwargs in made:
                    try:
                        await verifier.verify_request_async("GET", URL, headers, **kwargs)
                        results.append("ok")
                    except vestrel.Refused as refused:
                        results.append(f"{type(refused).__name__}: {refused}")
                return results
            results = asyncio.run(run())
        else:
            results = [outcome(lambda: verifier.verify_request("GET", URL, headers, **kwargs), True)
                       for headers, kwargs in made]
        got["async" if asynchronous else "sync"] = (results, replay.calls, chains.asked)
    return got


def fill(w: Any, chain: str, headers: List[Tuple[str, str]]) -> List[Tuple[str, str]]:
    p = vestrel.present(w.holder, chain, "GET", URL, now=NOW)["Vestrel-Proof"]
    values = dict(t=chain, p=p, p1=p[:-1], px=p[:-99] + ("A" if p[-99] != "A" else "B") + p[-98:])
    return [(name, value.format(**values)) for name, value in headers]


@pytest.mark.parametrize("form", FORMS)
def test_both_paths_give_every_reading_the_same_outcome_and_store_calls(w: Any, form: str) -> None:
    # Each row's headers, then the valid request twice (accepted, then
    # replayed): the refusals, their order and the stores' calls agree.
    rows: List[Callable[[str], Tuple[Any, Dict[str, Any]]]] = [
        (lambda chain, h=headers: (fill(w, chain, h), {"now": NOW})) for _, headers, _ in READINGS]
    valid = {}

    def again(chain: str) -> Tuple[Any, Dict[str, Any]]:
        valid.setdefault(chain, vestrel.present(w.holder, chain, "GET", URL, now=NOW))
        return valid[chain], {"now": NOW}

    got = both(w, form, rows + [again, again])
    assert got["sync"] == got["async"]
    assert got["sync"][0][-2:] == ["ok", "ProofReplayed: this proof was used before"]
    assert [r.split(":")[0] for r in got["sync"][0][:len(READINGS)]] == [
        want for _, _, want in READINGS]


def as_asgi(headers: List[Tuple[str, str]]) -> List[Tuple[bytes, bytes]]:
    return [(n.lower().encode("latin-1"), v.encode("latin-1")) for n, v in headers]


@pytest.mark.parametrize("form", FORMS)
def test_the_middlewares_reading_the_headers_once_end_every_reading_as_verify_request(
        w: Any, form: str, monkeypatch: pytest.MonkeyPatch) -> None:
    # The middlewares scan the headers once (prepare) and hand what they
    # found to the check: every reading, as text and as an ASGI server's
    # bytes, then the valid request twice, must end as the presence check
    # followed by verify_request on the headers themselves ends it, with
    # the same store calls, on both paths.
    monkeypatch.setattr(vestrel._request, "instant", lambda now: NOW if now is None else now)
    valid: Dict[str, Any] = {}

    def requests(chain: str) -> List[Any]:
        made: List[Any] = []
        for row in [h for _, h, _ in READINGS] + ["valid", "valid"]:
            if row == "valid":
                valid.setdefault(chain, list(vestrel.present(w.holder, chain, "GET", URL,
                                                             now=NOW).items()))
                made += [valid[chain], as_asgi(valid[chain])]
            else:
                made += [fill(w, chain, row), as_asgi(fill(w, chain, row))]
        return made

    def direct(verifier: Any, headers: Any) -> Any:
        vestrel._http.expect_credentials(headers, False)
        return verifier.verify_request("GET", URL, headers, now=NOW)

    def middleware(verifier: Any, headers: Any, asynchronous: bool) -> Any:
        options = vestrel._http.Options(verifier, origin="https://api.example.com", per_route=True)
        prepared = options.prepare("check", "GET", "/docs", "https", (), "/docs?x=1", headers)
        if asynchronous:
            return asyncio.run(options.check_async("GET", prepared, headers, b""))
        return options.check("GET", prepared, headers, b"")

    got, scans = {}, {}
    for path in ("direct", "sync", "async"):
        verifier, chain, replay, chains = service(w, form, path == "async")
        if form.endswith("reference"):
            verifier.verify(w.token, NOW)  # a token known too, as in a service
        spy = verifier._core = Scans(verifier._core)
        if path == "direct":
            chain_requests = requests(chain)
        results = [outcome(lambda: direct(verifier, headers) if path == "direct" else
                           middleware(verifier, headers, path == "async"), True)
                   for headers in chain_requests]
        got[path] = (results, replay.calls, chains.asked)
        scans[path] = (spy.scans, spy.reads, spy.declined)
    assert got["direct"] == got["sync"] == got["async"]
    assert got["direct"][0][-4:] == ["ok"] + ["ProofReplayed: this proof was used before"] * 3
    # The middlewares have the core read every request's headers once, before
    # the body (read_presented); they are looked through again only where it
    # left them to the package, and a reference never makes the core look for
    # a token in them. A direct call has check_headers look for a known token.
    assert scans["sync"] == scans["async"]
    checks, reads, declined = scans["sync"]
    assert reads == len(chain_requests) and checks <= declined <= reads
    assert scans["direct"][1] == 0 and scans["direct"][0] > 0
    if form.endswith("reference"):
        assert checks == 0




@pytest.mark.parametrize("form", FORMS)
def test_both_paths_bound_a_proofs_age_alike(w: Any, form: str) -> None:
    for age, max_age, leeway, want in AGES:
        got = both(w, form, [lambda chain, a=age: (
            vestrel.present(w.holder, chain, "GET", URL, now=NOW - a), {"now": NOW, "max_age": max_age})],
            leeway=leeway)
        assert got["sync"] == got["async"] and got["sync"][0][0].split(":")[0] == want, (age, max_age)


def test_a_refused_pipelined_proof_is_taken_back_by_both_paths(w: Any, identities: Any) -> None:
    other = vestrel.delegate(None, w.root, identities("g-other").public_key(), "leaf",
                             [(b"/docs", b"*")], not_after=NOT_AFTER)
    for stored, rule in [(other, "ChainUnknown"), (b"\1" * 64, "ChainTooDeep"), (None, "ChainUnknown")]:
        seen = []
        for asynchronous in (False, True):
            verifier, chain, replay, chains = service(w, "pipelined reference", asynchronous)
            chains.held = vestrel.MemoryChainStore()
            if stored is not None:
                Chains.put(chains, w.digest, stored, NOW, NOT_AFTER)
            headers = vestrel.present(w.holder, chain, "GET", URL, now=NOW)
            call = verifier.verify_request_async if asynchronous else verifier.verify_request
            with pytest.raises(vestrel.Refused) as refused:
                answer = call("GET", URL, headers, now=NOW)
                if asynchronous:
                    asyncio.run(answer)
            assert refused.value.rule == rule and not replay.held
            seen.append([key[:7] for key, _, _ in replay.calls])
        # The id added with the lookup, then taken back.
        assert seen[0] == seen[1] and seen[0][1] == b"forget:", seen


def test_registration_on_both_paths_keeps_the_chain_alike(w: Any) -> None:
    register = vestrel.register(w.holder, w.wire, "https://api.example.com/reg", now=NOW)
    kept = []
    for asynchronous in (False, True):
        verifier, _, _, chains = service(w, "token", asynchronous)
        call = verifier.register_request_async if asynchronous else verifier.register_request
        answer = call("https://api.example.com/reg", *register[:2], now=NOW, ttl=600)
        ref, chain = asyncio.run(answer) if asynchronous else answer
        kept.append((ref, chain.holder_pk, chains.puts))
    assert kept[0] == kept[1] and kept[0][0] == w.ref and kept[0][2] == [(w.digest, NOW, NOW + 600)]


class ThreadOfCheck:
    """Wraps a verifier's core, noting on which thread each request check ran."""

    def __init__(self, core: Any) -> None:
        self.core, self.threads = core, []

    def __getattr__(self, name: str) -> Any:
        return getattr(self.core, name)

    def check_request(self, *args: Any) -> Any:
        self.threads.append(("check_request", threading.current_thread()))
        return self.core.check_request(*args)

    def check_headers(self, *args: Any) -> Any:
        answer = self.core.check_headers(*args)
        if answer is not None:
            self.threads.append(("check_headers", threading.current_thread()))
        return answer


class Scans(ThreadOfCheck):
    """The core, counting the calls that look through a request's headers."""

    scans = reads = declined = 0

    def check_headers(self, *args: Any) -> Any:
        self.scans += 1
        return self.core.check_headers(*args)

    def read_presented(self, *args: Any) -> Any:
        self.reads += 1
        found = self.core.read_presented(*args)
        self.declined += found is None
        return found


@pytest.mark.parametrize("cache_bytes", [1 << 20, 0])
@pytest.mark.parametrize("form", ["token", "reference", "pipelined reference"])
def test_a_chain_not_checked_lately_is_checked_off_the_loop_then_on_it(w: Any, form: str,
                                                                       cache_bytes: int) -> None:
    verifier, chain, _, _ = service(w, form, True, cache_bytes=cache_bytes)
    spy = verifier._core = ThreadOfCheck(verifier._core)

    async def run() -> threading.Thread:
        for _ in range(3):
            await verifier.verify_request_async("GET", URL, vestrel.present(w.holder, chain, "GET", URL, now=NOW),
                                                now=NOW)
        return threading.current_thread()

    loop = asyncio.run(run())
    where = [(name, "loop" if thread is loop else "executor") for name, thread in spy.threads]
    # A known token is read by the core with the headers where the
    # interpreter lets it read text in place, else as a reference is.
    quick = ("check_headers" if form == "token" and where[1][0] == "check_headers"
             else "check_request", "loop")
    if not cache_bytes:  # no check is quick: every one off the loop
        quick = ("check_request", "executor")
    assert where == [("check_request", "executor"), quick, quick], where


def test_under_another_event_loop_the_check_is_made_where_it_runs(w: Any) -> None:
    # No asyncio loop runs (as under trio): the coroutine, driven by hand,
    # checks a chain it never saw in place, and answers as on asyncio.
    verifier, chain, _, _ = service(w, "reference", False)
    spy = verifier._core = ThreadOfCheck(verifier._core)
    answer = verifier.verify_request_async("GET", URL, vestrel.present(w.holder, chain, "GET", URL, now=NOW),
                                           now=NOW)
    with pytest.raises(StopIteration) as done:
        answer.send(None)
    assert done.value.value.holder_pk == w.holder.public_key()
    assert spy.threads == [("check_request", threading.current_thread())]


def test_the_synchronous_paths_refuse_asyncio_stores(w: Any) -> None:
    class Returning(Replay):  # a plain def handing back an awaitable
        def add(self, key: bytes, now: int, expires_at: int) -> Any:  # type: ignore[override]
            return AsyncReplay().add(key, now, expires_at)

    class ChainsReturning(Chains):
        def get(self, digest: bytes, now: int) -> Any:  # type: ignore[override]
            return AsyncChains().get(digest, now)

        def put(self, digest: bytes, wire: bytes, now: int, expires_at: int) -> Any:  # type: ignore[override]
            return AsyncChains().put(digest, wire, now, expires_at)

    root = w.root.public_key()
    headers = vestrel.present(w.holder, w.token, "GET", URL, now=NOW)
    by_ref = vestrel.present(w.holder, w.ref, "GET", URL, now=NOW)
    registration = vestrel.register(w.holder, w.wire, "https://api.example.com/reg", now=NOW)[:2]
    cases: List[Tuple[str, Callable[[], Any], str]] = [
        ("async replay given", lambda: vestrel.Verifier([root], replay=AsyncReplay()).verify_request(
            "GET", URL, headers, now=NOW), "the replay store is an asyncio one"),
        ("async chains given", lambda: vestrel.Verifier([root], chains=AsyncChains()).verify_request(
            "GET", URL, headers, now=NOW), "the chain store is an asyncio one"),
        ("async store per call", lambda: vestrel.Verifier([root]).verify_request(
            "GET", URL, headers, now=NOW, replay=AsyncReplay()), "the replay store is an asyncio one"),
        ("registering", lambda: vestrel.Verifier([root], chains=AsyncChains()).register_request(
            "https://api.example.com/reg", *registration, now=NOW), "the chain store is an asyncio one"),
        ("awaitable replay answer", lambda: vestrel.Verifier([root], replay=Returning()).verify_request(
            "GET", URL, headers, now=NOW), "the replay store is an asyncio one"),
        ("awaitable chain", lambda: vestrel.Verifier([root], chains=ChainsReturning()).verify_request(
            "GET", URL, by_ref, now=NOW), "the chain store is an asyncio one"),
        ("awaitable put", lambda: vestrel.Verifier([root], chains=ChainsReturning()).register_request(
            "https://api.example.com/reg", *registration, now=NOW), "the chain store is an asyncio one"),
    ]
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no coroutine left never awaited
        for name, call, message in cases:
            with pytest.raises(TypeError, match=message):
                call()
    # A synchronous middleware is refused such a verifier when it is built.
    with pytest.raises(TypeError, match="only an ASGI adapter awaits"):
        vestrel.wsgi.Authorize(None, vestrel.Verifier([root], chains=AsyncChains()),
                               origin="https://api.example.com")
    vestrel.asgi.Authorize(None, vestrel.Verifier([root], chains=AsyncChains()),  # type: ignore[arg-type]
                           origin="https://api.example.com")
    try:  # and so is Flask's adapter, which checks synchronously too
        flask_adapter = importlib.import_module("vestrel.flask")
    except ImportError:
        pass
    else:
        with pytest.raises(TypeError, match="only an ASGI adapter awaits"):
            flask_adapter.Auth(verifier=vestrel.Verifier([root], replay=AsyncReplay()),
                               origin="https://api.example.com")
    with pytest.raises(TypeError, match="verifier must be a vestrel.Verifier"):
        vestrel._http.Options(type("Sync", (), {"verify_request": lambda *a: None})(),
                              origin="https://api.example.com")


def test_the_middleware_awaits_asyncio_stores(w: Any) -> None:
    replay, chains = AsyncReplay(), AsyncChains()
    verifier = vestrel.Verifier([w.root.public_key()], replay=replay, chains=chains)
    wire = vestrel.delegate(None, w.root, w.holder.public_key(), "leaf", [(b"/docs", b"*")])
    app = vestrel.asgi.Authorize(None, verifier, origin="http://127.0.0.1:8000")  # type: ignore[arg-type]
    reg = "/.well-known/vestrel/chains"

    async def run() -> List[int]:
        reached = []

        async def inner(scope: Any, receive: Any, send: Any) -> None:
            reached.append(scope["state"]["vestrel_chain"].holder_pk)
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b""})

        app.app = inner
        headers, body, ref = vestrel.register(w.holder, wire, "http://127.0.0.1:8000" + reg)
        statuses = [(await asgi(app, "POST", reg, headers, (body,)))[0]]
        made = vestrel.present(w.holder, ref, "GET", "http://127.0.0.1:8000/docs")
        statuses += [(await asgi(app, "GET", "/docs", made))[0] for _ in range(2)]
        assert reached == [w.holder.public_key()], statuses
        return statuses

    assert asyncio.run(run()) == [201, 200, 401]
    assert [digest for digest, _, _ in chains.puts] == [vestrel.chain_digest(wire)]
    assert len(replay.calls) == 3
