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
from pathlib import Path
from typing import Any, Iterator, List, Tuple

import pytest
from hypothesis import given, settings, strategies as st

import vestrel
from conftest import examples
from vestrel import jwk
from test_redis import wait_for

ISLANDS = [vestrel.IdentityIsland(bytes([n]) * 32, b"prod", b"root") for n in range(3)]
PKS = [island.public_key() for island in ISLANDS]
WORKER = vestrel.IdentityIsland(bytes(32), b"prod", b"worker")
DOCS = [(b"docs", b"read")]


def b64(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


# --- JWKs ----------------------------------------------------------------------


@settings(max_examples=examples(50), deadline=None)
@given(st.binary(min_size=1952, max_size=1952))
def test_any_key_round_trips_and_its_kid_is_the_canonical_thumbprint(pk: bytes) -> None:
    key = jwk.public_jwk(pk)
    canonical = b'{"alg":"ML-DSA-65","kty":"AKP","pub":"' + b64(pk).encode() + b'"}'
    assert key["kid"] == jwk.thumbprint(pk) == b64(hashlib.sha256(canonical).digest())
    text = json.dumps(key)
    assert jwk.public_key(key) == jwk.public_key(text) == jwk.public_key(text.encode()) == pk
    assert jwk.read_key_set(json.dumps(jwk.key_set([pk, *PKS]))) == (pk, *PKS)


GOOD, OTHER = jwk.public_jwk(PKS[0]), jwk.public_jwk(PKS[1])
ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
# 1952 bytes end in a 2-byte group: the last character carries 2 spare bits.
NON_CANONICAL = [GOOD["pub"][:-1] + ALPHABET[(ALPHABET.index(GOOD["pub"][-1]) & ~3) | spare]
                 for spare in (1, 2, 3)]
REFUSED: List[Tuple[Any, Any, str]] = [  # reader, document, what the refusal names
    (jwk.public_key, {**GOOD, "kty": "EC"}, "'kty' must be 'AKP', not 'EC'"),
    (jwk.public_key, {k: v for k, v in GOOD.items() if k != "kty"}, "the JWK has no 'kty'"),
    (jwk.public_key, {k: v for k, v in GOOD.items() if k != "alg"}, "the JWK has no 'alg'"),
    (jwk.public_key, {**GOOD, "alg": "ML-DSA-87"}, "'alg' 'ML-DSA-87' is not used here"),
    (jwk.public_key, {**GOOD, "alg": "EdDSA"}, "'alg' must be 'ML-DSA-65', not 'EdDSA'"),
    (jwk.public_key, {**GOOD, "pub": GOOD["pub"] + "="}, "without padding"),
    (jwk.public_key, {**GOOD, "pub": GOOD["pub"][:-1] + "*"}, "is not base64url"),
    (jwk.public_key, {**GOOD, "pub": GOOD["pub"] + "AA"}, "leaves a lone character"),
    *[(jwk.public_key, {**GOOD, "pub": pub}, "not canonical") for pub in NON_CANONICAL],
    (jwk.public_key, {**GOOD, "pub": b64(PKS[0][:-1])}, "holds 1951 bytes"),
    (jwk.public_key, {**GOOD, "pub": b64(PKS[0] + b"\0")}, "holds 1953 bytes"),
    (jwk.public_key, {**GOOD, "pub": 7}, "'pub' must be a string"),
    (jwk.public_key, {**GOOD, "priv": b64(bytes(32))}, "holds 'priv'"),
    (jwk.public_key, {**GOOD, "crit": ["exp"]}, "does not understand: ['exp']"),
    (jwk.public_key, {**GOOD, "crit": ["use"]}, "does not hold: ['use']"),
    (jwk.public_key, {**GOOD, "crit": []}, "non-empty list"),
    (jwk.public_key, {**GOOD, "use": "enc"}, "'use' must be 'sig'"),
    (jwk.public_key, {**GOOD, "key_ops": ["sign"]}, "does not allow 'verify'"),
    (jwk.public_key, {**GOOD, "kid": 5}, "'kid' must be a string"),
    (jwk.public_key, json.dumps(GOOD)[:-1] + ', "kty": "AKP"}', "names the member 'kty' twice"),
    (jwk.public_key, '{"kty": NaN}', "holds NaN"),
    (jwk.public_key, "[1]", "a JWK is a JSON object"),
    (jwk.public_key, "{", "is not JSON"),
    (jwk.public_key, b"\xff", "is not UTF-8"),
    (jwk.public_key, " " * (jwk.MAX_DOCUMENT_BYTES + 1), "over the limit"),
    (jwk.public_key, "[" * 50000 + "]" * 50000, "nests too deeply"),
    # A key set is refused whole.
    (jwk.read_key_set, {"keys": [GOOD, GOOD]}, "keys[1] repeats the key of keys[0]"),
    (jwk.read_key_set, {"keys": [GOOD, {**OTHER, "kid": GOOD["kid"]}]}, "repeats the kid"),
    (jwk.read_key_set, {"keys": [GOOD, {**OTHER, "kty": "OKP"}]}, "keys[1]: 'kty' must be 'AKP'"),
    (jwk.read_key_set, {"keys": [GOOD, {**OTHER, "alg": "ML-DSA-44"}]}, "keys[1]: 'alg' 'ML-DSA-44'"),
    (jwk.read_key_set, {"keys": []}, "holds no keys"),
    (jwk.read_key_set, {"keys": GOOD}, "needs a 'keys' list"),
    (jwk.read_key_set, {"keys": [GOOD, "x"]}, "keys[1]: a JWK is a JSON object"),
    (jwk.key_set, [PKS[0], PKS[0]], "repeats the key"),
    (jwk.key_set, PKS[0], "TypeError"),
]


@pytest.mark.parametrize("reader,document,message", REFUSED, ids=[m for _, _, m in REFUSED])
def test_jwk_readers_refuse_with_the_fault_named(reader: Any, document: Any, message: str) -> None:
    with pytest.raises((ValueError, TypeError)) as caught:
        reader(document)
    assert message in f"{type(caught.value).__name__}: {caught.value}"


# --- Verifier roots from a key set --------------------------------------------


def chain_from(root: int) -> bytes:
    return vestrel.delegate(None, ISLANDS[root], WORKER.public_key(), "leaf", DOCS)


def test_set_roots_replaces_roots_and_keeps_revocations() -> None:
    verifier = vestrel.Verifier.from_key_set(jwk.key_set(PKS[:1]), leeway=5)
    assert verifier.roots == (PKS[0],) and verifier.leeway == 5
    old, new = chain_from(0), chain_from(1)
    revoked = vestrel.delegate(None, ISLANDS[1], PKS[2], "leaf", DOCS)
    verifier.revoke(vestrel.verify(PKS[1], revoked, 1000).revocation_ids)
    verifier.revoke_key(PKS[2])
    for presented in (old, vestrel.encode_token(old)):  # the token remembered from then on
        assert verifier.verify(presented, 1000).root_pk == PKS[0]
    verifier.set_roots(PKS[1:2])
    assert verifier.roots == (PKS[1],)
    for presented in (new, vestrel.encode_token(new)):
        assert verifier.verify(presented, 1000).root_pk == PKS[1]
    for presented, error in [(old, vestrel.ParentKeyMismatch), (vestrel.encode_token(old),
                             vestrel.ParentKeyMismatch), (revoked, vestrel.Revoked)]:
        with pytest.raises(error):
            verifier.verify(presented, 1000)
    assert verifier.revoked_keys == {PKS[2]}
    for bad, refusal in [([], ValueError), ([PKS[0][:-1]], ValueError), (PKS[0], TypeError)]:
        with pytest.raises(refusal):
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


@pytest.fixture(scope="module")
def server() -> Iterator[Any]:
    """A loopback server answering GET with what its ``answer`` holds now:
    (status, headers, body), set with serve()."""
    class Handler(BaseHTTPRequestHandler):
        def do_GET(self) -> None:
            httpd.requests += 1
            status, headers, body = httpd.answer
            self.send_response(status)
            for name, value in {**headers, "Content-Length": str(len(body))}.items():
                self.send_header(name, value)
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args: Any) -> None:
            pass

    httpd: Any = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    httpd.requests, httpd.url = 0, f"http://127.0.0.1:{httpd.server_address[1]}/keys.json"
    httpd.serve = lambda document, status=200, **headers: setattr(httpd, "answer", (
        status, {k.replace("_", "-"): v for k, v in headers.items()},
        document if isinstance(document, bytes) else json.dumps(document).encode()))
    thread = threading.Thread(target=httpd.serve_forever, args=(0.05,))
    thread.start()
    yield httpd
    httpd.shutdown()
    httpd.server_close()
    thread.join(5)
    assert httpd.requests < 100


def test_rotation_through_a_served_key_set_and_what_keeps_the_last_set(
        server: Any, caplog: pytest.LogCaptureFixture) -> None:
    verifier = vestrel.Verifier([PKS[0]])
    roots = vestrel.RootsFromURL(server.url, verifier, refresh=3600, timeout=2)
    old, new = chain_from(0), chain_from(1)
    server.serve(jwk.key_set(PKS[:2]))
    assert roots.refresh_now() and verifier.roots == tuple(PKS[:2])
    assert verifier.verify(old, 1000) and verifier.verify(new, 1000)
    server.serve(jwk.key_set(PKS[1:2]))
    assert roots.refresh_now() and verifier.verify(new, 1000).root_pk == PKS[1]
    with pytest.raises(vestrel.ParentKeyMismatch):
        verifier.verify(old, 1000)
    caplog.set_level(logging.WARNING, "vestrel.roots")
    for body, status, headers, reason in [
            (b"", 500, {}, "HTTPError"), (b"<html>not json</html>", 200, {}, "is not JSON"),
            (b" " * (jwk.MAX_DOCUMENT_BYTES + 1), 200, {}, "over the limit"),
            ({"keys": [jwk.public_jwk(PKS[2])] * 2}, 200, {}, "repeats the key"),
            ({"keys": []}, 200, {}, "holds no keys"),
            ({"keys": [{**jwk.public_jwk(PKS[2]), "alg": "ES256"}]}, 200, {}, "'alg' must be"),
            # A redirect to plain http elsewhere is not followed.
            (b"", 302, {"Location": "http://192.0.2.1/keys.json"}, "refused redirect")]:
        server.serve(body, status, **headers)
        caplog.clear()
        assert not roots.refresh_now()
        assert reason in (roots.last_error or "") and verifier.roots == (PKS[1],)
        assert "keeping 1 trusted roots" in caplog.text and reason in caplog.text
    assert verifier.verify(new, 1000).root_pk == PKS[1]


def test_refresh_delay_follows_max_age_within_bounds_whatever_fails(
        server: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    from vestrel import _roots

    verifier = vestrel.Verifier([PKS[0]])
    feed = vestrel.RootsFromURL(server.url, verifier, refresh=300, min_refresh=60,
                                max_refresh=86400)._feed
    for cache_control, delay in [(None, 300), ("max-age=120", 120), ("public, max-age=5", 60),
                                 ("max-age=99999999", 86400), ("no-store", 60), ("s-maxage=10", 300)]:
        headers = {} if cache_control is None else {"Cache_Control": cache_control}
        server.serve(jwk.key_set(PKS[:1]), 200, **headers)
        assert feed.once() == delay, cache_control
    server.serve(b"", 503)
    assert feed.once() == 60
    # An unforeseen fault leaves the roots and the refresher alive.
    verifier = vestrel.Verifier([PKS[0]])
    roots = vestrel.RootsFromURL(server.url, verifier, min_refresh=61)
    server.serve(jwk.key_set(PKS[1:2]))
    monkeypatch.setattr(_roots, "read_key_set", lambda document: 1 / 0)
    assert roots._feed.once() == 61
    assert roots.last_error == "ZeroDivisionError: division by zero" and verifier.roots == (PKS[0],)


def test_background_thread_and_async_task_apply_a_new_set(server: Any) -> None:
    server.serve(jwk.key_set(PKS[:1]))
    verifier = vestrel.Verifier([PKS[2]])
    with vestrel.RootsFromURL(server.url, verifier, refresh=0.05, min_refresh=0.05):
        assert verifier.roots == (PKS[0],)  # the first fetch happens in start()
        server.serve(jwk.key_set(PKS[1:2]))
        assert wait_for(lambda: verifier.roots == (PKS[1],), 2)

    async def run() -> None:
        server.serve(jwk.key_set(PKS[:1]))
        async with vestrel.AsyncRootsFromURL(server.url, verifier, refresh=0.05, min_refresh=0.05):
            assert verifier.roots == (PKS[0],)
            server.serve(jwk.key_set(PKS[2:]))
            for ticks in range(1, 101):  # the loop keeps running while fetches happen
                await asyncio.sleep(0.02)
                if verifier.roots == (PKS[2],):
                    break
            assert verifier.roots == (PKS[2],) and ticks > 0

    asyncio.run(run())


def test_url_must_be_https_or_loopback() -> None:
    for url, message in [
            ("http://example.com/keys", "http is for loopback hosts only"),
            ("http://10.0.0.1/keys", "http is for loopback hosts only"),
            ("ftp://127.0.0.1/keys", "must be https"), ("https:///keys", "must be https"),
            ("file:///etc/passwd", "must be https"), ("https://keys.example/jwks.json", None),
            ("http://[::1]:8/k", None), ("http://localhost/k", None)]:
        if message is None:
            vestrel.RootsFromURL(url, vestrel.Verifier([PKS[0]]))
            continue
        with pytest.raises(ValueError, match=message):
            vestrel.RootsFromURL(url, vestrel.Verifier([PKS[0]]))


def test_the_worked_thumbprint_in_formats_md_is_the_vector_s() -> None:
    repo = Path(__file__).resolve().parents[2]
    section = (repo / "docs" / "formats.md").read_text().split("## JSON Web Key", 1)[1]
    case, = (c for c in json.loads((repo / "vectors" / "jwk.json").read_text())["cases"]
             if "docs/formats.md" in c["name"])
    pk = vestrel.IdentityIsland(bytes(32), b"prod", b"root").public_key()
    assert case["public_key"] == pk.hex() and f"`{case['thumbprint']}`" in section
    assert case["thumbprint"] == jwk.thumbprint(pk)
