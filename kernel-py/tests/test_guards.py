"""The service layer at its edges: signed layouts rebuilt byte for byte by
hand, every bound tried at, one under and one over, the two readings of a
request's headers on near-valid input, replay across the chain's two text
forms, and the signature cache across trusted roots."""

from __future__ import annotations

import asyncio
import base64
import datetime
import hashlib
import io
import itertools
import json
import struct
import time
from types import SimpleNamespace
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vestrel
import vestrel.asgi
import vestrel.wsgi
import vestrel_kernel as vk
from vestrel import _native
from vestrel._request import request_target

Identities = Callable[[str], vestrel.IdentityIsland]
NOW = 1_000_000
NOT_AFTER = NOW + 3600
URL = "https://api.example.com/docs?x=1"


def b64(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def sha3(data: bytes) -> bytes:
    return hashlib.sha3_256(data).digest()


@pytest.fixture(scope="module")
def w(identities: Identities) -> Any:
    root, holder = identities("g-root"), identities("g-holder")
    wire = vestrel.delegate(None, root, holder.public_key(), "leaf", [(b"/docs", b"*")],
                            not_before=NOW - 100, not_after=NOT_AFTER)
    return SimpleNamespace(root=root, other_root=identities("g-root2"), holder=holder, wire=wire,
                           token=vestrel.encode_token(wire), ref=vestrel.chain_ref(wire),
                           digest=vestrel.chain_digest(wire))


def outcome(call: Callable[[], Any], why: bool = False) -> str:
    """"ok", or the refusal's class (and, with ``why``, its message)."""
    try:
        call()
    except vestrel.Refused as refused:
        return type(refused).__name__ + (f": {refused}" if why else "")
    return "ok"


# -- stores that show what the verifier asks of them -------------------------

class Replay:
    """A replay store recording each add; ids held through their expiry."""

    def __init__(self) -> None:
        self.held: Dict[bytes, int] = {}
        self.calls: List[Tuple[bytes, int, int]] = []

    def add(self, key: bytes, now: int, expires_at: int) -> bool:
        self.calls.append((key, now, expires_at))
        if self.held.get(key, -1) >= now:
            return False
        self.held[key] = expires_at
        return True

    def forget(self, key: bytes) -> None:
        self.held.pop(key, None)


class Chains:
    """A chain store (put and get only) recording puts and lookups; with
    ``replay`` it also answers the lookup and the replay check in one call,
    as a shared store does."""

    def __init__(self, replay: Optional[Replay] = None) -> None:
        self.replay, self.held = replay, vestrel.MemoryChainStore()
        self.puts: List[Tuple[bytes, int, int]] = []
        self.asked: List[bytes] = []

    def put(self, digest: bytes, wire: bytes, now: int, expires_at: int) -> None:
        self.puts.append((digest, now, expires_at))
        self.held.put(digest, wire, now, expires_at)

    def get(self, digest: bytes, now: int) -> Optional[bytes]:
        self.asked.append(digest)
        return self.held.get(digest, now)

    def get_and_add(self, digest: bytes, now: int, key: bytes, expires_at: int) -> Any:
        assert self.replay is not None
        return self.get(digest, now), self.replay.add(key, now, expires_at)


FORMS = ("token", "known token", "reference", "pipelined reference")


def service(w: Any, form: str, **options: Any) -> Tuple[vestrel.Verifier, str, Replay, Chains]:
    """A verifier, the chain text a client presents to it in ``form``, and
    its stores."""
    replay = Replay()
    chains = Chains(replay if form == "pipelined reference" else None)
    verifier = vestrel.Verifier([w.root.public_key()], replay=replay, chains=chains, **options)
    if form == "known token":
        verifier.verify(w.token, NOW)
    if form.endswith("reference"):
        chains.put(w.digest, w.wire, NOW, NOT_AFTER)
        return verifier, w.ref, replay, chains
    return verifier, w.token, replay, chains


# -- signed layouts, rebuilt from their documented bytes ---------------------

def framed(*fields: bytes) -> bytes:
    return b"".join(struct.pack("<I", len(f)) + f for f in fields)


TARGETS = [  # method, URL, the five fields a proof covers
    ("GET", "https://api.example.com/docs?x=1", (b"GET", b"https", b"api.example.com:443", b"/docs", b"x=1")),
    ("post", "HTTP://H.Example", (b"post", b"http", b"h.example:80", b"/", b"")),
    ("PUT", "http://[::1]:8080/a%20b?#f", (b"PUT", b"http", b"[::1]:8080", b"/a%20b", b"")),
    ("GET", "https://a.example:443/?/", (b"GET", b"https", b"a.example:443", b"/", b"/")),
]


@pytest.mark.parametrize("method,url,fields,body", [*[(*t, None) for t in TARGETS], (
    None, None, (b"M", b"", b"h:1", b"/" * 300, b"q" * 70_000), b"body"), (None, None, (b"",) * 5, b"")])
def test_request_target_fields_and_message_layout(method: Any, url: Any, fields: Any,
                                                  body: Optional[bytes]) -> None:
    if method is not None:
        assert request_target(method, url) == fields
    issued_at, nonce, chain = 0x0102030405060708, bytes(range(16)), bytes(range(100, 132))
    expected = (b"\x01" + framed(*fields) + struct.pack("<Q", issued_at) + nonce + chain
                + (b"\x00" if body is None else b"\x01" + sha3(body)))
    assert _native.request_message(fields, issued_at, nonce, chain,
                                   None if body is None else sha3(body)) == expected


def test_a_presented_proof_signs_the_documented_message(w: Any) -> None:
    headers = vestrel.present(w.holder, w.ref, "POST", URL, body=b"abc", now=NOW)
    text = headers["Vestrel-Proof"]
    raw = base64.urlsafe_b64decode(text[4:] + "==")
    assert (text[:4], len(text), len(raw)) == ("vp1.", 4450, 8 + 16 + 1 + 3309)
    issued_at, nonce, flags, sig = struct.unpack("<Q", raw[:8])[0], raw[8:24], raw[24], raw[25:]
    assert (issued_at, flags) == (NOW, 1)
    assert _native.decode_proof(text) == (NOW, nonce, True, sig)
    assert _native.encode_proof(NOW, nonce, True, sig) == text
    message = (b"\x01" + framed(b"POST", b"https", b"api.example.com:443", b"/docs", b"x=1")
               + struct.pack("<Q", NOW) + nonce + w.digest + b"\x01" + sha3(b"abc"))
    assert _native.check_request(w.holder.public_key(), message, sig)
    assert headers["Authorization"] == "Vestrel " + w.ref
    # Flags other than bit 0, and one byte short or long, are no proof.
    for body, reason in [(raw[:24] + b"\x02" + raw[25:], "Flags"), (raw[:24] + b"\x81" + raw[25:], "Flags"),
                         (raw[:-1], "Truncated"), (raw + b"\0", "TooLong")]:
        assert _native.decode_proof("vp1." + b64(body)) == (None, reason)


def test_chain_digest_layout(w: Any) -> None:
    sigs = [sig for _, sig, _ in vk.decode_chain(w.wire)]
    ids = [sha3(sig) for sig in sigs]
    assert vestrel.verify(w.root.public_key(), w.wire, NOW).revocation_ids == tuple(ids)
    expected = sha3(b"vestrel-chain-digest/1" + bytes([len(ids)]) + b"".join(ids))
    assert w.digest == vestrel.chain_digest(w.token) == expected
    assert w.ref == "vr1." + b64(expected) and len(w.ref) == 47
    for n in (2, 16):
        many = tuple(bytes([i]) * 32 for i in range(n))
        assert _native.chain_digest(many) == sha3(b"vestrel-chain-digest/1" + bytes([n]) + b"".join(many))


def test_base64url_reads_only_canonical_text() -> None:
    # Every character in the last place of a 2- and a 3-character group:
    # read exactly when the text is the one that encodes its bytes.
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
    for head, last in itertools.product(("QU", "QUJ", "QUJD" + "QU", "QUJD" + "QUJ"), alphabet):
        text = head + last
        data = base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))
        want = data if b64(data) == text else (None, "FinalBits")
        assert _native.base64url_decode(text.encode()) == want, text
    for text, reason in [("QUJDR", "Length"), ("QUI=", "Character"), ("QU+D", "Character"),
                         ("QU/D", "Character"), ("QU D", "Character"), ("QU\x80D", "Character")]:
        assert _native.base64url_decode(text.encode("latin-1")) == (None, reason), text


@pytest.mark.parametrize("ref,reasons", [  # a short or long text may be named by its bytes or length
    ("vr1." + "A" * 42, {"Length", "Truncated"}), ("vr1." + "A" * 44, {"Length", "TooLong"}),
    ("vr1." + "A" * 42 + "B", {"FinalBits"}), ("vr1." + "A" * 42 + "=", {"Character"}),
    ("vr2." + "A" * 43, {"Prefix"}),
])
def test_a_reference_that_is_no_digest_never_reaches_the_store(w: Any, ref: str, reasons: Set[str]) -> None:
    for form in ("reference", "pipelined reference"):
        verifier, _, replay, chains = service(w, form)
        headers = dict(vestrel.present(w.holder, w.ref, "GET", URL, now=NOW), Authorization="Vestrel " + ref)
        with pytest.raises(vestrel.TokenMalformed) as refused:
            verifier.verify_request("GET", URL, headers, now=NOW)
        assert refused.value.reason in reasons and not chains.asked and not replay.calls


# -- bounds: at, one under, one over ------------------------------------------

AGES = [  # the proof made this many seconds before it is checked, max_age, leeway, outcome
    (60, 60, 0, "ok"), (59, 60, 0, "ok"), (61, 60, 0, "ProofExpired"), (0, 0, 0, "ok"),
    (1, 0, 0, "ProofExpired"), (61, 60, 30, "ProofExpired"), (-5, 60, 5, "ok"),
    (-3600, 60, 0, "ProofExpired"),
]


@pytest.mark.parametrize("form", FORMS)
def test_proof_age_bounds(w: Any, form: str) -> None:
    for age, max_age, leeway, want in AGES:
        verifier, chain, replay, _ = service(w, form, leeway=leeway)
        headers = vestrel.present(w.holder, chain, "GET", URL, now=NOW - age)
        got = outcome(lambda: verifier.verify_request("GET", URL, headers, now=NOW, max_age=max_age))
        assert got == want, (age, max_age, leeway)
        if want == "ok":
            # Held while the proof is fresh: its last second included.
            ((_, _, expires_at),) = replay.calls
            assert expires_at >= NOW - age + max_age
            last = NOW - age + max_age
            assert outcome(lambda: verifier.verify_request("GET", URL, headers, now=last,
                                                           max_age=max_age)) == "ProofReplayed"


@pytest.mark.parametrize("spent,then", itertools.permutations(FORMS[1:], 2))
def test_a_proof_is_spent_whichever_form_presents_the_chain(w: Any, spent: str, then: str) -> None:
    # The token and the reference name one chain, so one proof serves both:
    # spent with one, it is refused with the other.
    replay = Replay()
    chains = Chains(replay if "pipelined" in (spent + then) else None)
    verifier = vestrel.Verifier([w.root.public_key()], replay=replay, chains=chains)
    verifier.verify(w.token, NOW)
    chains.put(w.digest, w.wire, NOW, NOT_AFTER)
    made = vestrel.present(w.holder, w.token, "GET", URL, now=NOW)
    text = {"known token": w.token, "reference": w.ref, "pipelined reference": w.ref}
    for form, want in ((spent, "ok"), (then, "ProofReplayed"), (spent, "ProofReplayed")):
        headers = dict(made, Authorization="Vestrel " + text[form])
        assert outcome(lambda: verifier.verify_request("GET", URL, headers, now=NOW)) == want, form
    assert len({key for key, _, _ in replay.calls}) == 1


def test_memory_stores_hold_through_expiry_and_within_their_bounds() -> None:
    store = vestrel.MemoryReplayStore(max_entries=2)
    assert store.add(b"a", 0, 10) and store.add(b"b", 0, 10)
    assert not store.add(b"a", 10, 20)  # its last second
    with pytest.raises(vestrel.StoreUnavailable):
        store.add(b"c", 10, 20)  # both still held at 10: none is let go early
    assert store.add(b"a", 11, 20) and not store.add(b"a", 20, 30) and store.add(b"b", 11, 12)
    store = vestrel.MemoryChainStore(max_bytes=10)
    store.put(b"d", b"w" * 10, 0, 5)  # exactly the bound: kept
    assert store.get(b"d", 5) == b"w" * 10 and store.get(b"d", 6) is None
    store.put(b"e", b"w" * 11, 0, 5)  # one over: not kept
    assert store.get(b"e", 0) is None
    for name in (b"1", b"2", b"3"):
        store.put(name, b"x" * 4, 0, 9)
    assert [store.get(n, 0) is not None for n in (b"1", b"2", b"3")] == [False, True, True]
    store.put(b"4", b"z" * 10, 0, 9)  # a large one after small ones: all make room
    assert len(store) == 1 and store.get(b"4", 0) == b"z" * 10


@pytest.mark.parametrize("leeway,seconds", [
    (0, 0), (7, 7), (datetime.timedelta(seconds=90), 90), (datetime.timedelta(days=1, seconds=3), 86403),
    (datetime.timedelta(milliseconds=2500), 2),
])
def test_leeway_bounds(w: Any, leeway: Any, seconds: int) -> None:
    verifier = vestrel.Verifier([w.root.public_key()], leeway=leeway)
    assert verifier.leeway == seconds
    for at, want in [(NOT_AFTER + seconds, "ok"), (NOT_AFTER + seconds + 1, "NotAfterViolation"),
                     (NOW - 100 - seconds, "ok"), (NOW - 101 - seconds, "NotBeforeViolation")]:
        assert outcome(lambda: verifier.verify(w.wire, at)) == want, at
        assert outcome(lambda: verifier.verify(w.token, at)) == want, at


@pytest.mark.parametrize("ttl,expires_at", [
    (3599, NOW + 3599), (3600, NOT_AFTER), (3601, NOT_AFTER), (0, NOW), (10**9, NOT_AFTER)])
def test_a_registration_is_kept_for_ttl_and_never_past_the_chain(w: Any, ttl: int, expires_at: int) -> None:
    verifier, _, _, chains = service(w, "reference")
    url = "https://api.example.com/.well-known/vestrel/chains"
    headers, body, ref = vestrel.register(w.holder, w.wire, url, now=NOW)
    assert verifier.register_request(url, headers, body, now=NOW, ttl=ttl)[0] == ref == w.ref
    assert chains.puts[-1] == (w.digest, NOW, expires_at)


# -- the signature cache -------------------------------------------------------

def test_a_cached_signature_verifies_only_under_its_own_issuer(w: Any) -> None:
    # Two trusted roots. A credential root 1 signed, claimed by root 2: the
    # signature is cached under root 1 and must not count for root 2.
    roots = [w.root.public_key(), w.other_root.public_key()]
    (_, sig, payload), = vk.decode_chain(w.wire)
    forged = vk.encode_chain([(roots[1], sig, payload)])
    forged_token = vestrel.encode_token(forged)
    for cache_bytes in (0, vestrel.DEFAULT_CACHE_BYTES):
        verifier = vestrel.Verifier(roots, cache_bytes=cache_bytes)
        for _ in range(2):
            assert verifier.verify(w.token, NOW).root_pk == roots[0]
            assert outcome(lambda: verifier.verify(forged, NOW)) == "SignatureInvalid"
            assert outcome(lambda: verifier.verify(forged_token, NOW)) == "SignatureInvalid"
            headers = vestrel.present(w.holder, forged_token, "GET", URL, now=NOW)
            assert outcome(lambda: verifier.verify_request("GET", URL, headers, now=NOW)) == \
                "SignatureInvalid"


@pytest.fixture(scope="module")
def sized(w: Any, identities: Identities) -> List[Tuple[bytes, int]]:
    """One-credential chains whose entries in the cache grow in size, each
    with what its entry costs (a cache that holds just it says)."""
    chains = []
    for n in range(4):
        wire = vestrel.delegate(None, w.root, identities(f"g-sized{n}").public_key(), "leaf",
                                [(b"r%d" % i, b"v") for i in range(1 + 20 * n)])
        verifier = vestrel.Verifier([w.root.public_key()])
        verifier.verify(wire, NOW)
        chains.append((wire, verifier.cache_info().bytes))
    return chains


def test_the_cache_keeps_what_fits_exactly_and_no_more(w: Any, sized: List[Tuple[bytes, int]]) -> None:
    (a, _), (b, _), (c, _) = sized[:3]
    cost = {wire: n for wire, n in sized}
    rows: List[Tuple[int, List[bytes], List[bytes]]] = [  # the bound, what is verified in turn,
        # what the cache then holds
        (cost[a] - 1, [a], []), (cost[a], [a], [a]), (cost[a], [a, b], [a]),
        (cost[a] + cost[b] - 1, [a, b], [b]), (cost[a] + cost[b], [a, b], [a, b]),
        # A larger entry after smaller ones: all of them make room for it.
        (cost[a] + cost[b], [a, b, c], [c]), (cost[a] + cost[b] + cost[c], [a, b, c], [a, b, c])]
    for cache_bytes, order, held in rows:
        verifier = vestrel.Verifier([w.root.public_key()], cache_bytes=cache_bytes)
        for wire in order:
            verifier.verify(wire, NOW)
        info = verifier.cache_info()
        assert (info.entries, info.bytes, info.max_bytes) == (
            len(held), sum(cost[wire] for wire in held), cache_bytes), (cache_bytes, len(order))
        for wire in held:  # each held entry answers the next check
            verifier.verify(wire, NOW)
        assert verifier.cache_info().hits == len(held)


# -- the two readings of a request's headers ----------------------------------

# Header values as templates: {t} the token, {p} the proof made for the
# request, {p1} that proof a character short, {px} with a character changed.
AUTH, PROOF = ("Authorization", "Vestrel {t}"), ("Vestrel-Proof", "{p}")
READINGS: List[Tuple[str, List[Tuple[str, str]], str]] = [
    ("as made", [AUTH, PROOF], "ok"),
    ("names in capitals", [("AUTHORIZATION", "Vestrel {t}"), ("VESTREL-PROOF", "{p}")], "ok"),
    ("scheme in capitals", [("Authorization", "VESTREL {t}"), PROOF], "ok"),
    ("scheme mixed", [("Authorization", "vEsTrEl {t}"), PROOF], "ok"),
    ("spaces around", [("Authorization", " Vestrel  {t} "), ("Vestrel-Proof", " {p} ")], "ok"),
    ("a space for the proof's last character", [AUTH, ("Vestrel-Proof", "{p1} ")], "ProofMalformed"),
    ("another header of 13 letters", [("Cache-Control", "Vestrel {t}"), AUTH, PROOF], "ok"),
    ("scheme of the same length", [("Authorization", "Vestrex {t}"), PROOF], "ProofMissing"),
    ("scheme run into the token", [("Authorization", "Vestrel_{t}"), PROOF], "ProofMissing"),
    ("no scheme", [("Authorization", "{t}"), PROOF], "ProofMissing"),
    ("tab for the space", [("Authorization", "Vestrel\t{t}"), PROOF], "ProofMissing"),
    ("proof name misspelt", [AUTH, ("Vestrel_Proof", "{p}")], "ProofMissing"),
    ("authorization twice, first valid", [AUTH, ("Authorization", "Basic x"), PROOF], "ProofMalformed"),
    ("authorization twice, the same", [AUTH, ("authorization", "Vestrel {t}"), PROOF], "ProofMalformed"),
    ("proof twice, the same", [AUTH, PROOF, ("vestrel-proof", "{p}")], "ProofMalformed"),
    ("proof twice, first valid", [AUTH, PROOF, ("Vestrel-Proof", "vp1.AAAA")], "ProofMalformed"),
    ("proof twice, second valid", [AUTH, ("Vestrel-Proof", "x"), PROOF], "ProofMalformed"),
    ("proof a character short", [AUTH, ("Vestrel-Proof", "{p1}")], "ProofMalformed"),
    ("proof signature changed", [AUTH, ("Vestrel-Proof", "{px}")], "ProofInvalid"),
]


def filled(w: Any, headers: List[Tuple[str, str]], as_bytes: bool = False) -> List[Tuple[Any, Any]]:
    p = vestrel.present(w.holder, w.token, "GET", URL, now=NOW)["Vestrel-Proof"]
    values = dict(t=w.token, p=p, p1=p[:-1], px=p[:-99] + ("A" if p[-99] != "A" else "B") + p[-98:])
    pairs = [(name, value.format(**values)) for name, value in headers]
    return [(n.encode(), v.encode()) for n, v in pairs] if as_bytes else pairs


def readings(w: Any, pairs: List[Tuple[Any, Any]]) -> Dict[str, str]:
    """The outcome of each way the headers can be read: by the core in one
    call (the token known, headers in a list or a tuple), by the package
    (an iterator, which the core never reads) and with the token unknown."""
    got = {}
    shapes: List[Tuple[str, Callable[[Any], Any]]] = [("list", list), ("tuple", tuple),
                                                       ("iterator", iter), ("unknown", list)]
    for name, shape in shapes:
        verifier = vestrel.Verifier([w.root.public_key()])
        if name != "unknown":
            verifier.verify(w.token, NOW)
        got[name] = outcome(lambda: verifier.verify_request("GET", URL, shape(pairs), now=NOW), True)
    return got


@pytest.mark.parametrize("name,headers,want", READINGS, ids=[row[0] for row in READINGS])
def test_every_reading_of_near_valid_headers_gives_the_rows_outcome(
        w: Any, name: str, headers: List[Tuple[str, str]], want: str) -> None:
    for as_bytes in (False, True):
        got = readings(w, filled(w, headers, as_bytes))
        if len({n for n, _ in headers}) == len(headers):
            known = vestrel.Verifier([w.root.public_key()])
            known.verify(w.token, NOW)
            got["dict"] = outcome(lambda: known.verify_request(
                "GET", URL, dict(filled(w, headers, as_bytes)), now=NOW), True)
        assert len(set(got.values())) == 1 and got["list"].split(":")[0] == want, (as_bytes, got)


# Near-valid headers and junk, drawn together.
POOL = [*dict.fromkeys(pair for _, headers, _ in READINGS for pair in headers),
        ("Authorization", " Vestrel {t} "), ("Vestrel-Proof", "{p} "), ("Vestrel-Proof", "\t{p}"),
        ("Vestrel-Proof", "{p1}é"), ("Accept", "*/*")]


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(picks=st.lists(st.sampled_from(POOL), max_size=4), as_bytes=st.booleans(),
       valid=st.booleans())
def test_every_reading_agrees_on_any_mix_of_near_valid_headers(
        w: Any, picks: List[Tuple[str, str]], as_bytes: bool, valid: bool) -> None:
    headers = picks[:len(picks) // 2] + [AUTH, PROOF] * valid + picks[len(picks) // 2:]
    got = readings(w, filled(w, headers, as_bytes))
    assert len(set(got.values())) == 1, (headers, got)


# -- the middlewares' bounds and routes ---------------------------------------

ORIGIN = "http://127.0.0.1:8000"


async def asgi(app: Any, method: str, path: str, headers: Dict[str, str], chunks: Tuple[bytes, ...] = (b"",),
               length: bool = True) -> Tuple[int, Dict[bytes, bytes], bytes]:
    """The status, headers and body ``app`` answers one request with."""
    sent: List[Any] = []
    messages = [{"type": "http.request", "body": c, "more_body": i + 1 < len(chunks)}
                for i, c in enumerate(chunks)]
    pairs = [(k.lower().encode(), v.encode()) for k, v in headers.items()]
    pairs += [(b"content-length", str(sum(map(len, chunks))).encode())] * length

    async def receive() -> Any:
        return messages.pop(0) if messages else {"type": "http.disconnect"}

    async def send(message: Any) -> None:
        sent.append(message)

    await app({"type": "http", "path": path, "raw_path": path.encode(), "query_string": b"",
               "root_path": "", "method": method, "scheme": "http", "headers": pairs}, receive, send)
    return int(sent[0]["status"]), dict(sent[0]["headers"]), sent[-1].get("body", b"")


def asgi_call(verifier: vestrel.Verifier, method: str, path: str, headers: Dict[str, str],
              chunks: Tuple[bytes, ...], length: bool, **options: Any) -> Tuple[int, Any]:
    reached: List[bytes] = []

    async def app(scope: Any, receive: Any, send: Any) -> None:
        reached.append((await receive())["body"])
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b""})

    status, _, body = asyncio.run(asgi(vestrel.asgi.Authorize(app, verifier, origin=ORIGIN, **options),
                                       method, path, dict(headers, Host="evil.example"), chunks, length))
    return status, reached[0] if reached else body


def wsgi_call(verifier: vestrel.Verifier, method: str, path: str, headers: Dict[str, str],
              chunks: Tuple[bytes, ...], length: bool, **options: Any) -> Tuple[int, Any]:
    body = b"".join(chunks)
    environ: Dict[str, Any] = {"REQUEST_METHOD": method, "PATH_INFO": path, "wsgi.url_scheme": "http",
                               "HTTP_HOST": "evil.example", "wsgi.input": io.BytesIO(body),
                               "wsgi.input_terminated": not length}
    if length:
        environ["CONTENT_LENGTH"] = str(len(body))
    for name, value in headers.items():
        environ["HTTP_" + name.upper().replace("-", "_")] = value
    answer: List[Any] = []
    reached: List[bytes] = []

    def app(env: Dict[str, Any], start: Callable[..., Any]) -> List[bytes]:
        reached.append(env["wsgi.input"].read())
        start("200 OK", [])
        return [b""]

    out = vestrel.wsgi.Authorize(app, verifier, origin=ORIGIN, **options)(
        environ, lambda *a: answer.extend(a))
    return int(answer[0][:3]), reached[0] if reached else b"".join(out)


@pytest.mark.parametrize("call", [asgi_call, wsgi_call], ids=["asgi", "wsgi"])
def test_middleware_body_bound_origin_and_routes(w: Any, call: Callable[..., Tuple[int, Any]]) -> None:
    verifier = vestrel.Verifier([w.root.public_key()])
    live_wire = vestrel.delegate(None, w.root, w.holder.public_key(), "leaf", [(b"/docs", b"*")])
    live = vestrel.encode_token(live_wire)

    def send(path: str = "/docs", chunks: Tuple[bytes, ...] = (b"",), length: bool = True,
             url: Optional[str] = None, method: str = "POST", **options: Any) -> Tuple[int, Any]:
        body = b"".join(chunks)
        headers = vestrel.present(w.holder, live, method, url or ORIGIN + path, body=body)
        return call(verifier, method, path, headers, chunks, length, **options)

    for length in (True, False):
        assert send(chunks=(b"12345", b"678"), length=length, max_body=8) == (200, b"12345678")
        assert send(chunks=(b"123", b"", b"45", b""), length=length, max_body=8) == (200, b"12345")
        assert send(chunks=(b"1234567",), length=length, max_body=8) == (200, b"1234567")
        assert send(chunks=(b"12345", b"6789"), length=length, max_body=8)[0] == 413
    assert send(chunks=(b"",), max_body=0) == (200, b"")
    # Only the origin counts, exactly: not the Host header, nor another port or scheme.
    assert send(url=ORIGIN + "/docs")[0] == 200
    for other in ("http://127.0.0.1:8001", "https://127.0.0.1:8000", "http://evil.example",
                  "http://127.0.0.1:800"):
        assert send(url=other + "/docs")[0] == 401, other
    # The registration path, exactly it.
    reg = vestrel._http.DEFAULT_REGISTER_PATH
    assert call(verifier, "GET", reg, {}, (b"",), True)[0] == 405
    for path in (reg + "/", reg + "s", reg[:-1]):
        headers, body, _ = vestrel.register(w.holder, live_wire, ORIGIN + path)
        assert call(verifier, "POST", path, headers, (body,), True)[0] == 401, path
    # Registered for ttl seconds, never past the chain's own not-after.
    now = int(time.time())
    for ttl, not_after, expires_at in [(10, None, now + 10), (10**6, now + 1000, now + 1000),
                                       (1000, now + 1000, now + 1000), (999, now + 1000, now + 999)]:
        chain = vestrel.delegate(None, w.root, w.holder.public_key(), "leaf", [(b"/docs", b"*")],
                                 not_after=not_after)
        headers, body, ref = vestrel.register(w.holder, chain, ORIGIN + reg)
        status, answer = call(verifier, "POST", reg, headers, (body,), True, ttl=ttl)
        got = json.loads(answer)
        assert status == 201 and got["ref"] == ref and got["expires_at"] - expires_at in (0, 1), ttl


@pytest.mark.parametrize("origin", [
    "http://127.0.0.1:8000x", "http://127.0.0.1:8000/api", "http://u@127.0.0.1", "ftp://127.0.0.1",
    "http://127.0.0.1?q", "http://127.0.0.1#f", "http://a example", "127.0.0.1:8000"])
def test_an_origin_is_a_scheme_host_and_port_only(w: Any, origin: str) -> None:
    with pytest.raises(ValueError):
        vestrel.asgi.Authorize(None, vestrel.Verifier([w.root.public_key()]), origin=origin)  # type: ignore[arg-type]
