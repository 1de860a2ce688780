"""Keys in the form other tooling exchanges them: JWKs and key sets, a
Verifier's roots replaced from one, and roots refreshed from a URL."""

from __future__ import annotations

import asyncio
import base64
import hashlib
import json
import logging
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Dict, Iterator, List, Tuple

import pytest
from hypothesis import given, settings, strategies as st

import vestrel
from vestrel import jwk

ISLANDS = [vestrel.IdentityIsland(bytes([n]) * 32, b"prod", b"root") for n in range(3)]
PKS = [island.public_key() for island in ISLANDS]
WORKER = vestrel.IdentityIsland(bytes(32), b"prod", b"worker")
DOCS = [(b"docs", b"read")]


def b64(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


# --- JWKs ----------------------------------------------------------------------


def test_jwk_round_trips_and_its_kid_is_the_canonical_thumbprint() -> None:
    for pk in PKS:
        key = jwk.public_jwk(pk)
        canonical = json.dumps({"alg": "ML-DSA-65", "kty": "AKP", "pub": b64(pk)},
                               separators=(",", ":"), sort_keys=True)
        assert key["kid"] == jwk.thumbprint(pk) == b64(hashlib.sha256(canonical.encode()).digest())
        assert jwk.public_key(key) == jwk.public_key(json.dumps(key)) == pk
        assert jwk.public_key(json.dumps(key).encode()) == pk
    assert jwk.read_key_set(json.dumps(jwk.key_set(PKS))) == tuple(PKS)


@settings(max_examples=50, deadline=None)
@given(st.binary(min_size=1952, max_size=1952))
def test_any_key_round_trips_through_its_jwk_text(pk: bytes) -> None:
    text = json.dumps(jwk.public_jwk(pk))
    assert jwk.public_key(text) == pk
    assert json.loads(text)["kid"] == b64(hashlib.sha256(
        b'{"alg":"ML-DSA-65","kty":"AKP","pub":"' + b64(pk).encode() + b'"}').digest())


GOOD = jwk.public_jwk(PKS[0])
REFUSED_JWKS: List[Tuple[Any, str]] = [
    ({**GOOD, "kty": "EC"}, "'kty' must be 'AKP', not 'EC'"),
    ({k: v for k, v in GOOD.items() if k != "kty"}, "the JWK has no 'kty'"),
    ({k: v for k, v in GOOD.items() if k != "alg"}, "the JWK has no 'alg'"),
    ({**GOOD, "alg": "ML-DSA-87"}, "'alg' 'ML-DSA-87' is not used here"),
    ({**GOOD, "alg": "EdDSA"}, "'alg' must be 'ML-DSA-65', not 'EdDSA'"),
    ({**GOOD, "pub": GOOD["pub"] + "="}, "without padding"),
    ({**GOOD, "pub": GOOD["pub"][:-1] + "*"}, "is not base64url"),
    ({**GOOD, "pub": GOOD["pub"] + "AA"}, "leaves a lone character"),
    ({**GOOD, "pub": b64(PKS[0][:-1])}, "holds 1951 bytes"),
    ({**GOOD, "pub": b64(PKS[0] + b"\0")}, "holds 1953 bytes"),
    ({**GOOD, "pub": 7}, "'pub' must be a string"),
    ({**GOOD, "priv": b64(bytes(32))}, "holds 'priv'"),
    ({**GOOD, "crit": ["exp"]}, "does not understand: ['exp']"),
    ({**GOOD, "crit": ["use"]}, "does not hold: ['use']"),
    ({**GOOD, "crit": []}, "non-empty list"),
    ({**GOOD, "use": "enc"}, "'use' must be 'sig'"),
    ({**GOOD, "key_ops": ["sign"]}, "does not allow 'verify'"),
    ({**GOOD, "kid": 5}, "'kid' must be a string"),
    (json.dumps(GOOD)[:-1] + ', "kty": "AKP"}', "names the member 'kty' twice"),
    ('{"kty": NaN}', "holds NaN"),
    ("[1]", "a JWK is a JSON object"),
    ("{", "is not JSON"),
    (b"\xff", "is not UTF-8"),
    (" " * (jwk.MAX_DOCUMENT_BYTES + 1), "over the limit"),
    ("[" * 50000 + "]" * 50000, "nests too deeply"),
]


@pytest.mark.parametrize("document,message", REFUSED_JWKS, ids=[m for _, m in REFUSED_JWKS])
def test_jwk_reader_refuses_with_the_fault_named(document: Any, message: str) -> None:
    with pytest.raises(ValueError) as caught:
        jwk.public_key(document)
    assert message in str(caught.value)


def test_every_non_canonical_last_character_is_refused() -> None:
    # 1952 bytes end in a 2-byte group: the last character carries 2 spare bits.
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
    base = alphabet.index(GOOD["pub"][-1]) & ~3
    for spare in range(1, 4):
        with pytest.raises(ValueError, match="not canonical"):
            jwk.public_key({**GOOD, "pub": GOOD["pub"][:-1] + alphabet[base | spare]})


def test_key_set_is_refused_whole() -> None:
    other = jwk.public_jwk(PKS[1])
    cases: List[Tuple[Any, str]] = [
        ({"keys": [GOOD, GOOD]}, "keys[1] repeats the key of keys[0]"),
        ({"keys": [GOOD, {**other, "kid": GOOD["kid"]}]}, "repeats the kid"),
        ({"keys": [GOOD, {**other, "kty": "OKP"}]}, "keys[1]: 'kty' must be 'AKP'"),
        ({"keys": [GOOD, {**other, "alg": "ML-DSA-44"}]}, "keys[1]: 'alg' 'ML-DSA-44'"),
        ({"keys": []}, "holds no keys"),
        ({"keys": GOOD}, "needs a 'keys' list"),
        ({"keys": [GOOD, "x"]}, "keys[1]: a JWK is a JSON object"),
    ]
    for document, message in cases:
        with pytest.raises(ValueError, match=message.replace("[", r"\[").replace("]", r"\]")):
            jwk.read_key_set(document)
    with pytest.raises(ValueError, match="repeats the key"):
        jwk.key_set([PKS[0], PKS[0]])
    with pytest.raises(TypeError):
        jwk.key_set(PKS[0])  # type: ignore[arg-type]


# --- Verifier roots from a key set --------------------------------------------


def chain_from(root: int, now: int = 1000) -> bytes:
    return vestrel.delegate(None, ISLANDS[root], WORKER.public_key(), "leaf", DOCS)


def test_set_roots_replaces_roots_and_keeps_revocations() -> None:
    verifier = vestrel.Verifier.from_key_set(jwk.key_set(PKS[:1]), leeway=5)
    assert verifier.roots == (PKS[0],) and verifier.leeway == 5
    old, new = chain_from(0), chain_from(1)
    revoked = vestrel.delegate(None, ISLANDS[1], PKS[2], "leaf", DOCS)
    verifier.revoke(vestrel.verify(PKS[1], revoked, 1000).revocation_ids)
    verifier.revoke_key(ISLANDS[2].public_key())
    assert verifier.verify(old, 1000).root_pk == PKS[0]
    assert verifier.verify(vestrel.encode_token(old), 1000).root_pk == PKS[0]  # now remembered
    verifier.set_roots(PKS[1:2])
    assert verifier.roots == (PKS[1],)
    assert verifier.verify(new, 1000).root_pk == PKS[1]
    assert verifier.verify(vestrel.encode_token(new), 1000).root_pk == PKS[1]
    for presented in (old, vestrel.encode_token(old)):
        with pytest.raises(vestrel.ParentKeyMismatch):
            verifier.verify(presented, 1000)
    with pytest.raises(vestrel.Revoked):
        verifier.verify(revoked, 1000)
    assert verifier.revoked_keys == {PKS[2]}
    wrong: List[Tuple[Any, type]] = [([], ValueError), ([PKS[0][:-1]], ValueError), (PKS[0], TypeError)]
    for bad, error in wrong:
        with pytest.raises(error):
            verifier.set_roots(bad)
        assert verifier.roots == (PKS[1],)


def test_verifications_racing_set_roots_name_the_root_that_verified() -> None:
    verifier = vestrel.Verifier([PKS[0], PKS[1]])
    chains = {0: chain_from(0), 1: chain_from(1)}
    stop, faults = threading.Event(), []

    def verify_loop(root: int) -> None:
        while not stop.is_set():
            try:
                if verifier.verify(chains[root], 1000).root_pk != PKS[root]:
                    faults.append("wrong root")
            except vestrel.ParentKeyMismatch:
                pass  # the root was not trusted at that moment

    threads = [threading.Thread(target=verify_loop, args=(n,)) for n in (0, 1)]
    for thread in threads:
        thread.start()
    for turn in range(40):
        verifier.set_roots([PKS[1], PKS[0]] if turn % 2 else [PKS[turn % 3 and 1]])
    stop.set()
    for thread in threads:
        thread.join()
    assert faults == []


# --- roots refreshed from a URL --------------------------------------------------


class KeySetServer:
    """A loopback server answering GET with whatever `answer` holds now."""

    def __init__(self) -> None:
        self.answer: Tuple[int, Dict[str, str], bytes] = (200, {}, b"")
        self.requests = 0
        outer = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self) -> None:
                outer.requests += 1
                status, headers, body = outer.answer
                self.send_response(status)
                for name, value in headers.items():
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args: Any) -> None:
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/keys.json"
        self.thread = threading.Thread(target=self.server.serve_forever, args=(0.05,))
        self.thread.start()

    def serve(self, document: Any, status: int = 200, **headers: str) -> None:
        body = document if isinstance(document, bytes) else json.dumps(document).encode()
        self.answer = (status, {k.replace("_", "-"): v for k, v in headers.items()}, body)

    def close(self) -> None:
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(5)


@pytest.fixture(scope="module")
def server() -> Iterator[KeySetServer]:
    running = KeySetServer()
    yield running
    running.close()
    assert running.requests < 100


def test_rotation_through_a_served_key_set(server: KeySetServer,
                                           caplog: pytest.LogCaptureFixture) -> None:
    verifier = vestrel.Verifier([PKS[0]])
    roots = vestrel.RootsFromURL(server.url, verifier, refresh=3600)
    old, new = chain_from(0), chain_from(1)
    server.serve(jwk.key_set(PKS[:2]))
    assert roots.refresh_now() and verifier.roots == tuple(PKS[:2])
    assert verifier.verify(old, 1000) and verifier.verify(new, 1000)
    server.serve(jwk.key_set(PKS[1:2]))
    assert roots.refresh_now()
    assert verifier.verify(new, 1000).root_pk == PKS[1]
    with pytest.raises(vestrel.ParentKeyMismatch):
        verifier.verify(old, 1000)

    good = verifier.roots
    duplicate = {"keys": [jwk.public_jwk(PKS[2])] * 2}
    failures = [
        ((b"", 500), "HTTPError"),
        ((b"<html>not json</html>", 200), "is not JSON"),
        ((b" " * (jwk.MAX_DOCUMENT_BYTES + 1), 200), "over the limit"),
        ((json.dumps(duplicate).encode(), 200), "repeats the key"),
        ((json.dumps({"keys": []}).encode(), 200), "holds no keys"),
        ((json.dumps({"keys": [{**jwk.public_jwk(PKS[2]), "alg": "ES256"}]}).encode(), 200),
         "'alg' must be"),
    ]
    caplog.set_level(logging.WARNING, "vestrel.roots")
    for (body, status), reason in failures:
        server.serve(body, status)
        caplog.clear()
        assert not roots.refresh_now()
        assert reason in (roots.last_error or "") and verifier.roots == good
        assert "keeping 1 trusted roots" in caplog.text and reason in caplog.text
    assert verifier.verify(new, 1000).root_pk == PKS[1]


def test_refresh_delay_follows_max_age_within_bounds(server: KeySetServer) -> None:
    verifier = vestrel.Verifier([PKS[0]])
    roots = vestrel.RootsFromURL(server.url, verifier, refresh=300, min_refresh=60,
                                 max_refresh=86400)
    feed = roots._feed
    for cache_control, delay in [(None, 300), ("max-age=120", 120), ("public, max-age=5", 60),
                                 ("max-age=99999999", 86400), ("no-store", 60),
                                 ("s-maxage=10", 300)]:
        headers = {} if cache_control is None else {"Cache_Control": cache_control}
        server.serve(jwk.key_set(PKS[:1]), 200, **headers)
        assert feed.once() == delay, cache_control
    server.serve(b"", 503)
    assert feed.once() == 60


def test_an_unforeseen_fault_leaves_the_roots_and_the_refresher_alive(
        server: KeySetServer, monkeypatch: pytest.MonkeyPatch) -> None:
    from vestrel import _roots

    def broken(document: Any) -> Any:
        raise RuntimeError("a fault nobody planned for")

    verifier = vestrel.Verifier([PKS[0]])
    roots = vestrel.RootsFromURL(server.url, verifier, min_refresh=61)
    server.serve(jwk.key_set(PKS[1:2]))
    monkeypatch.setattr(_roots, "read_key_set", broken)
    assert roots._feed.once() == 61
    assert roots.last_error == "RuntimeError: a fault nobody planned for"
    assert verifier.roots == (PKS[0],)


def test_background_thread_and_async_task_apply_a_new_set(server: KeySetServer) -> None:
    server.serve(jwk.key_set(PKS[:1]))
    verifier = vestrel.Verifier([PKS[2]])
    with vestrel.RootsFromURL(server.url, verifier, refresh=0.05, min_refresh=0.05):
        assert verifier.roots == (PKS[0],)  # the first fetch happens in start()
        server.serve(jwk.key_set(PKS[1:2]))
        for _ in range(100):
            if verifier.roots == (PKS[1],):
                break
            threading.Event().wait(0.02)
        assert verifier.roots == (PKS[1],)

    async def run() -> None:
        server.serve(jwk.key_set(PKS[:1]))
        async with vestrel.AsyncRootsFromURL(server.url, verifier, refresh=0.05,
                                             min_refresh=0.05):
            assert verifier.roots == (PKS[0],)
            server.serve(jwk.key_set(PKS[2:]))
            ticks = 0
            for _ in range(100):
                await asyncio.sleep(0.02)
                ticks += 1  # the loop keeps running while fetches happen
                if verifier.roots == (PKS[2],):
                    break
            assert verifier.roots == (PKS[2],) and ticks > 0

    asyncio.run(run())


@pytest.mark.parametrize("url,message", [
    ("http://example.com/keys", "http is for loopback hosts only"),
    ("http://10.0.0.1/keys", "http is for loopback hosts only"),
    ("ftp://127.0.0.1/keys", "must be https"),
    ("https:///keys", "must be https"),
    ("file:///etc/passwd", "must be https"),
])
def test_url_must_be_https_or_loopback(url: str, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        vestrel.RootsFromURL(url, vestrel.Verifier([PKS[0]]))
    for ok in ("https://keys.example/jwks.json", "http://[::1]:8/k", "http://localhost/k"):
        vestrel.RootsFromURL(ok, vestrel.Verifier([PKS[0]]))


def test_a_redirect_to_plain_http_elsewhere_is_not_followed(server: KeySetServer) -> None:
    verifier = vestrel.Verifier([PKS[0]])
    server.serve(b"", 302, Location="http://192.0.2.1/keys.json")
    roots = vestrel.RootsFromURL(server.url, verifier, timeout=2)
    assert not roots.refresh_now()
    assert "refused redirect" in (roots.last_error or "") and verifier.roots == (PKS[0],)


def test_the_worked_thumbprint_in_formats_md_is_the_vector_s() -> None:
    from pathlib import Path

    repo = Path(__file__).resolve().parents[2]
    section = (repo / "docs" / "formats.md").read_text().split("## JSON Web Key", 1)[1]
    vectors = json.loads((repo / "vectors" / "jwk.json").read_text())
    case, = (c for c in vectors["cases"] if "docs/formats.md" in c["name"])
    pk = vestrel.IdentityIsland(bytes(32), b"prod", b"root").public_key()
    assert case["public_key"] == pk.hex() and f"`{case['thumbprint']}`" in section
    assert case["thumbprint"] == jwk.thumbprint(pk)
