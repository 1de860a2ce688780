"""Tokens and request proofs: one token per chain and back to the very wire;
a proof binds every field of its request and its chain; replay and age."""

from __future__ import annotations

import base64
import datetime
import itertools
import math
import sys
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Dict, List, Optional, Tuple

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vestrel
import vestrel_kernel as vk
from conftest import examples
from vestrel import _native

Identities = Callable[[str], vestrel.IdentityIsland]
URL = "https://api.example.com/docs/a?x=1&y=2"
NOW = 1_000_000


@pytest.fixture(scope="module")
def chains(identities: Identities) -> Dict[str, Any]:
    root, service, worker, other = (identities(n) for n in ("t-root", "t-service", "t-worker", "t-other"))
    node = vestrel.delegate(None, root, service.public_key(), "node", [(b"/docs", b"*")],
                            not_before=NOW - 100, not_after=NOW + 3600)
    leaf = vestrel.delegate(node, service, worker.public_key(), "leaf", [(b"/docs", b"GET")])
    # Another chain ending at the same holder key.
    twin = vestrel.delegate(node, service, worker.public_key(), "leaf", [(b"/docs", b"POST")])
    return {"root": root, "service": service, "worker": worker, "other": other,
            "node": node, "leaf": leaf, "twin": twin}


def b64(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def body_of(token: str) -> bytes:
    text = token[4:]
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


@settings(max_examples=examples(30), deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(which=st.sampled_from(["node", "leaf", "twin"]), position=st.integers(0, 10**9),
       char=st.sampled_from("AQgw_-9=+/ .é"))
def test_one_token_per_chain_and_back_to_the_wire(chains: Dict[str, Any], which: str,
                                                 position: int, char: str) -> None:
    wire, root = chains[which], chains["root"].public_key()
    token = vestrel.encode_token(wire)
    assert token.startswith("vt1.") and token.isascii() and len(token) < len(wire) * 4 // 3
    assert vestrel.decode_token(token, root) == wire
    # The token names its root by the id vestrel.key_id shows.
    assert body_of(token)[:16].hex() == vestrel.key_id(root)
    assert vestrel.Verifier([root]).verify(token, NOW).revocation_ids == \
        vestrel.verify(root, wire, NOW).revocation_ids
    # Any other text is refused or names another chain; never this one.
    index = 4 + position % (len(token) - 4)
    changed = token[:index] + char + token[index + 1:]
    if changed != token:
        try:
            assert vestrel.decode_token(changed, root) != wire
        except (vestrel.TokenMalformed, vestrel.ParentKeyMismatch):
            pass


def test_token_refusals(chains: Dict[str, Any]) -> None:
    root = chains["root"].public_key()
    token = vestrel.encode_token(chains["leaf"])
    body = body_of(token)
    last = token[-1]
    # A 2-character tail holds one byte in 12 bits: 4 of them must be zero.
    short = vestrel.encode_token(chains["leaf"])
    while len(short[4:]) % 4 == 0:
        short = short[:-1]
    # Padding is a character outside the alphabet, but a length no text can
    # have is refused first.
    def padded(text: str) -> str:
        return "Length" if len(text[4:]) % 4 == 1 else "Character"

    rows: List[Tuple[str, str]] = [
        ("vt2." + token[4:], "Prefix"), ("VT1." + token[4:], "Prefix"), ("", "Prefix"),
        (token + "=", padded(token + "=")), (token + "==", padded(token + "==")),
        (token[:100] + " " + token[101:], "Character"),
        (token[:100] + "+" + token[101:], "Character"), (token[:-1] + "é", "Character"),
        (token[:4] + "A", "Length"), ("vt1." + b64(body[:16]), "Truncated"),
        ("vt1." + b64(body + b"\0"), "Trailing"), ("vt1." + b64(body[:-1]), "Truncated"),
        ("vt1." + b64(body[:16] + b"\0" + body[17:]), "Count"),
        ("vt1." + b64(body[:16] + b"\x11" + body[17:]), "Count"),
        ("vt1." + b64(body[:17 + 3309] + (1951).to_bytes(2, "little") + body[17 + 3311:]), "PayloadLength"),
        ("vt1." + "A" * (vestrel._token.MAX_TOKEN_LEN), "TooLong"),
    ]
    # The same bytes, but a final character whose unused bits are set.
    final = "vt1." + b64(body)
    if len(final[4:]) % 4:
        rows.append((final[:-1] + chr(ord(last) + 1), "FinalBits"))
    for text, reason in rows:
        with pytest.raises(vestrel.TokenMalformed) as refused:
            vestrel.decode_token(text, root)
        assert (refused.value.reason, refused.value.status, refused.value.error) == (
            reason, 401, "invalid_token"), text[:40]
    with pytest.raises(vestrel.ParentKeyMismatch) as wrong:
        vestrel.decode_token(token, chains["other"].public_key())
    assert wrong.value.index == 0
    # Wires without a token: bytes after the chain, keys that do not link up.
    with pytest.raises(vestrel.WireInvalid):
        vestrel.encode_token(chains["leaf"] + b"\0")
    creds = vk.decode_chain(chains["leaf"])
    creds[1] = (chains["other"].public_key(), creds[1][1], creds[1][2])
    with pytest.raises(vestrel.ParentKeyMismatch) as unlinked:
        vestrel.encode_token(vk.encode_chain(creds))
    assert unlinked.value.index == 1


B64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"


def layer_faults(t: str) -> List[Tuple[str, str, str]]:
    """(case, text, reason) for the faults of the base64url layer, made from
    a canonical text whose length is 2 or 3 mod 4, none longer than it: an
    impossible length wins over a bad character, which wins over non-zero
    final bits, whatever reads the text."""
    cut = (len(t) - 1) % 4  # what leaves a length of 1 mod 4
    bad = t[:10] + "*" + t[11:]
    foreign = t[:10] + "\u00e9" + t[11:]
    return [
        ("length", t[:len(t) - cut], "Length"), ("character", bad, "Character"),
        ("both", bad[:len(t) - cut], "Length"), ("non-ASCII", foreign, "Character"),
        ("non-ASCII and length", foreign[:len(t) - cut], "Length"),
        ("final bits", t[:-1] + B64[B64.index(t[-1]) + 1], "FinalBits"),
        ("padding", t[:-1] + "=", "Character"), ("padding and length", t[:len(t) - cut - 1] + "=", "Length"),
        ("short padded", "AAAA=", "Length"),
    ]


def test_every_base64url_reader_refuses_in_the_same_order(chains: Dict[str, Any]) -> None:
    root, worker = chains["root"].public_key(), chains["worker"]
    token = vestrel.encode_token(chains["leaf"])
    verifier = vestrel.Verifier([root])
    headers = vestrel.present(worker, token, "GET", URL, now=NOW)

    def token_reason(call: Callable[[], object]) -> str:
        with pytest.raises(vestrel.TokenMalformed) as refused:
            call()
        return refused.value.reason

    def request(authorization: str, proof: str) -> Callable[[], object]:
        return lambda: verifier.verify_request("GET", URL, {"Authorization": authorization,
                                                            "Vestrel-Proof": proof}, now=NOW)

    def proof_reason(text: str) -> str:
        with pytest.raises(vestrel.ProofMalformed) as refused:
            request(headers["Authorization"], "vp1." + text)()
        return str(refused.value)

    def native_reason(answer: Any) -> str:
        assert answer[0] is None
        return str(answer[1])

    synthetic = b64(bytes(range(40)))  # the token layer refuses before any field is read
    proof_body = headers["Vestrel-Proof"][4:]
    ref_body = vestrel.chain_ref(token)[4:]
    readers: List[Tuple[str, str, Callable[[str], str]]] = [
        ("decode_token", synthetic, lambda t: token_reason(lambda: vestrel.decode_token("vt1." + t, root))),
        ("Verifier.verify", synthetic, lambda t: token_reason(lambda: verifier.verify("vt1." + t, NOW))),
        ("chain_digest", synthetic, lambda t: token_reason(lambda: vestrel.chain_digest("vt1." + t))),
        ("request token", synthetic, lambda t: token_reason(
            request("Vestrel vt1." + t, headers["Vestrel-Proof"]))),
        ("request reference", ref_body, lambda t: token_reason(
            request("Vestrel vr1." + t, headers["Vestrel-Proof"]))),
        ("request proof", proof_body, proof_reason),
        ("decode_proof", proof_body, lambda t: native_reason(
            _native.decode_proof(("vp1." + t).encode("ascii", "replace")))),
        ("base64url_decode", synthetic, lambda t: native_reason(
            _native.base64url_decode(t.encode("ascii", "replace")))),
    ]
    for name, canonical, read in readers:
        assert len(canonical) % 4 in (2, 3), name
        got = [(case, read(text)) for case, text, _ in layer_faults(canonical)]
        assert got == [(case, reason) for case, _, reason in layer_faults(canonical)], name


def test_chain_digests_and_references(chains: Dict[str, Any]) -> None:
    wire = chains["leaf"]
    token = vestrel.encode_token(wire)
    ids = vestrel.verify(chains["root"].public_key(), wire, NOW).revocation_ids
    expected = _native.sha3_256(b"vestrel-chain-digest/1" + bytes([len(ids)]) + b"".join(ids))
    assert vestrel.chain_digest(wire) == vestrel.chain_digest(token) == expected
    assert vestrel.chain_ref(token) == "vr1." + b64(expected)
    assert vestrel.chain_digest(chains["twin"]) != expected


# Each row changes one thing between what the holder signed and what the
# service sees; all are refused as ProofInvalid.
BINDING: List[Tuple[str, Dict[str, Any]]] = [
    ("method", {"method": "POST"}), ("scheme", {"url": URL.replace("https", "http")}),
    ("host", {"url": URL.replace("api.", "www.")}), ("port", {"url": URL.replace(".com/", ".com:8443/")}),
    ("path", {"url": URL.replace("/a?", "/b?")}), ("query", {"url": URL.replace("y=2", "y=3")}),
    ("no query", {"url": URL.split("?")[0]}), ("body", {"body": b"other"}),
    ("chain", {"chain": "twin"}),
]


@pytest.mark.parametrize("field,change", BINDING, ids=[row[0] for row in BINDING])
def test_a_proof_binds_each_field(chains: Dict[str, Any], field: str, change: Dict[str, Any]) -> None:
    verifier = vestrel.Verifier([chains["root"].public_key()])
    worker = chains["worker"]
    signed: Dict[str, Any] = {"method": "POST" if field == "body" else "GET", "url": URL,
              "body": b"payload" if field == "body" else None, "chain": "leaf"}
    headers = vestrel.present(worker, chains[signed["chain"]], signed["method"], signed["url"],
                              body=signed["body"], now=NOW)
    seen = dict(signed, **change)
    presented = dict(headers)
    if field == "chain":
        presented["Authorization"] = "Vestrel " + vestrel.encode_token(chains["twin"])
    with pytest.raises(vestrel.ProofInvalid):
        verifier.verify_request(seen["method"], seen["url"], presented, body=seen["body"], now=NOW)
    # Unchanged, the very same proof passes (it was not used up by the refusal).
    verifier.verify_request(signed["method"], signed["url"], headers, body=signed["body"], now=NOW)


def test_equivalent_urls_and_header_forms_are_one_target(chains: Dict[str, Any]) -> None:
    verifier = vestrel.Verifier([chains["root"].public_key()])
    for signed, seen in [(URL, URL.replace("api.example.com", "API.Example.COM:443")),
                         ("http://h.example/", "HTTP://h.example:80"),
                         ("https://[::1]:8443/x", "https://[::1]:8443/x#fragment")]:
        headers = vestrel.present(chains["worker"], chains["leaf"], "GET", signed, now=NOW)
        as_asgi = [(k.lower().encode(), v.encode()) for k, v in headers.items()]
        verifier.verify_request("GET", seen, as_asgi, now=NOW)


def test_age_replay_and_missing_parts(chains: Dict[str, Any]) -> None:
    root, worker = chains["root"].public_key(), chains["worker"]
    verifier = vestrel.Verifier([root], leeway=5)

    def check(made: int, seen: int, **edit: Optional[str]) -> Optional[str]:
        headers: Dict[str, str] = vestrel.present(worker, chains["leaf"], "GET", URL, now=made)
        for name, value in edit.items():
            name = name.replace("_", "-")
            if value is None:
                headers.pop(name)
            else:
                headers[name] = value
        try:
            verifier.verify_request("GET", URL, headers, now=seen, max_age=60)
        except vestrel.Refused as refused:
            return f"{refused.rule} {refused.status} {refused.error}"
        return None

    assert check(NOW, NOW + 60) is None and check(NOW + 5, NOW) is None
    assert check(NOW, NOW + 61) == "ProofExpired 401 invalid_token"
    assert check(NOW + 6, NOW) == "ProofExpired 401 invalid_token"
    assert check(NOW, NOW, Authorization=None) == "ProofMissing 401 None"
    assert check(NOW, NOW, Authorization="Bearer abc") == "ProofMissing 401 None"
    assert check(NOW, NOW, Vestrel_Proof=None) == "ProofMissing 400 invalid_request"
    assert check(NOW, NOW, Vestrel_Proof="vp1.AAAA") == "ProofMalformed 400 invalid_request"
    assert check(NOW, NOW, Vestrel_Proof="x" * 100_000) == "ProofMalformed 400 invalid_request"
    assert check(NOW, NOW, Authorization="Vestrel vt1.@@") == "TokenMalformed 401 invalid_token"
    assert check(NOW, NOW, Authorization="Vestrel " + vestrel.chain_ref(chains["leaf"])) == \
        "ChainUnknown 401 invalid_token"
    headers = vestrel.present(worker, chains["leaf"], "GET", URL, now=NOW)
    verifier.verify_request("GET", URL, headers, now=NOW)
    for later in (NOW, NOW + 60):
        with pytest.raises(vestrel.ProofReplayed):
            verifier.verify_request("GET", URL, headers, now=later)
    # A proof by a key other than the holder's.
    forged = vestrel.present(chains["other"], chains["leaf"], "GET", URL, now=NOW)
    with pytest.raises(vestrel.ProofInvalid):
        verifier.verify_request("GET", URL, forged, now=NOW)


# (Verifier options, max_age, issued_at - now, the refusal's text or None).
# Each bound at, one under and one over, on both sides; the credential
# leeway widens neither.
PROOF_CLOCK: List[Tuple[Dict[str, Any], int, int, Optional[str]]] = [
    ({}, 60, 5, None), ({}, 60, 4, None),
    ({}, 60, 6, "the proof was issued 6 s in the future (at most 5 s allowed)"),
    ({}, 60, -60, None), ({}, 60, -59, None),
    ({}, 60, -61, "the proof is 61 s old (max_age 60 s)"),
    ({"proof_skew": 0}, 60, 0, None),
    ({"proof_skew": 0}, 60, 1, "the proof was issued 1 s in the future (at most 0 s allowed)"),
    ({"proof_skew": datetime.timedelta(seconds=10)}, 60, 10, None),
    ({"proof_skew": 10}, 60, 11, "the proof was issued 11 s in the future (at most 10 s allowed)"),
    ({"leeway": 30}, 60, 6, "the proof was issued 6 s in the future (at most 5 s allowed)"),
    ({"leeway": 30}, 60, -61, "the proof is 61 s old (max_age 60 s)"),
    ({}, 0, 0, None), ({}, 0, -1, "the proof is 1 s old (max_age 0 s)"),
]


class Recording:
    """A replay store that keeps what it was asked to keep."""

    def __init__(self) -> None:
        self.inner, self.expiries = vestrel.MemoryReplayStore(), []  # type: ignore[var-annotated]

    def add(self, key: bytes, now: int, expires_at: int) -> bool:
        self.expiries.append(expires_at)
        return self.inner.add(key, now, expires_at)


@pytest.mark.parametrize("options,max_age,offset,refusal", PROOF_CLOCK)
def test_proof_clock_bounds(chains: Dict[str, Any], options: Dict[str, Any], max_age: int,
                            offset: int, refusal: Optional[str]) -> None:
    root, worker = chains["root"].public_key(), chains["worker"]
    token = vestrel.encode_token(chains["leaf"])
    # Cold: the core reads the token; warm: the verifier knows it and the
    # whole request is checked in one call. Both must judge time alike.
    for warm in (False, True):
        replay = Recording()
        verifier = vestrel.Verifier([root], replay=replay, **options)
        if warm:
            verifier.verify(token, NOW)
        headers = vestrel.present(worker, token, "GET", URL, now=NOW + offset)
        if refusal is not None:
            with pytest.raises(vestrel.ProofExpired) as refused:
                verifier.verify_request("GET", URL, headers, now=NOW, max_age=max_age)
            assert (str(refused.value), replay.expiries) == (refusal, [])
            continue
        verifier.verify_request("GET", URL, headers, now=NOW, max_age=max_age)
        # The id is held up to the last second the proof is accepted.
        issued_at = NOW + offset
        assert replay.expiries == [issued_at + max_age]
        with pytest.raises(vestrel.ProofReplayed):
            verifier.verify_request("GET", URL, headers, now=issued_at + max_age, max_age=max_age)


def test_registration_and_options_share_the_proof_clock(chains: Dict[str, Any]) -> None:
    root, worker = chains["root"].public_key(), chains["worker"]
    verifier = vestrel.Verifier([root], proof_skew=2)
    assert (verifier.proof_skew, vestrel.Verifier([root]).proof_skew) == (2, 5)
    url = "https://api.example.com/register"
    for offset, accepted in ((2, True), (3, False)):
        headers, body, _ = vestrel.register(worker, chains["leaf"], url, now=NOW + offset)
        try:
            verifier.register_request(url, headers, body, now=NOW)
        except vestrel.ProofExpired as refused:
            assert not accepted and "issued 3 s in the future (at most 2 s allowed)" in str(refused)
        else:
            assert accepted
    for bad, error in (((-1), ValueError), ("5", TypeError), (True, TypeError), (2**64, ValueError)):
        with pytest.raises(error, match="proof_skew"):
            vestrel.Verifier([root], proof_skew=bad)


def test_chains_by_reference(chains: Dict[str, Any]) -> None:
    root, worker = chains["root"].public_key(), chains["worker"]
    store = vestrel.MemoryChainStore()
    verifier = vestrel.Verifier([root], chains=store)
    register_url = "https://api.example.com/.well-known/vestrel/chains"
    headers, body, ref = vestrel.register(worker, chains["leaf"], register_url, now=NOW)
    assert (ref, ) == (verifier.register_request(register_url, headers, body, now=NOW)[0], )
    for method, payload in (("GET", None), ("PUT", b"{}")):
        presented = vestrel.present(worker, ref, method, URL, body=payload, now=NOW)
        assert verifier.verify_request(method, URL, presented, body=payload, now=NOW).length == 2
    # Revocation still applies to a registered chain, on the next request.
    verifier.revoke(vestrel.verify(root, chains["leaf"], NOW).revocation_ids[1])
    with pytest.raises(vestrel.Revoked):
        verifier.verify_request("GET", URL, vestrel.present(worker, ref, "GET", URL, now=NOW), now=NOW)
    # What the store gives back is checked: another chain under the digest is no match.
    store.put(vestrel.chain_digest(chains["leaf"]), chains["twin"], NOW, NOW + 10)
    with pytest.raises(vestrel.ChainUnknown):
        verifier.verify_request("GET", URL, vestrel.present(worker, ref, "GET", URL, now=NOW), now=NOW)
    # The registration itself needs a valid proof over its body.
    headers, _, _ = vestrel.register(worker, chains["leaf"], register_url, now=NOW)
    with pytest.raises(vestrel.ProofInvalid):
        verifier.register_request(register_url, headers,
                                  vestrel.encode_token(chains["twin"]).encode(), now=NOW)


@pytest.mark.parametrize("cache_bytes", [0, vestrel.DEFAULT_CACHE_BYTES])
def test_a_token_seen_before_is_still_checked_in_full(chains: Dict[str, Any],
                                                      cache_bytes: int) -> None:
    # A re-presented token skips its decoding and the signature cache's
    # comparisons, and nothing else: a changed byte, the clock and
    # revocation all still count, and with the cache off every signature is
    # checked again.
    root, worker = chains["root"].public_key(), chains["worker"]
    verifier = vestrel.Verifier([root], cache_bytes=cache_bytes)
    token = vestrel.encode_token(chains["leaf"])

    def ask(chain: str = token, now: int = NOW) -> Optional[str]:
        try:
            verifier.verify_request("GET", URL, vestrel.present(worker, chain, "GET", URL, now=now),
                                    now=now)
        except vestrel.Refused as refused:
            return refused.rule
        return None

    assert ask() is None and ask() is None
    # One character of the first signature changed: as long, and refused.
    at = len(token) // 5
    forged = token[:at] + ("B" if token[at] == "A" else "A") + token[at + 1:]
    assert ask(forged) == "SignatureInvalid" and ask() is None
    assert ask(now=NOW + 3601) == "NotAfterViolation"
    verifier.revoke(vestrel.verify(root, chains["leaf"], NOW).revocation_ids[1])
    assert ask() == "Revoked"
    hits, misses = verifier.cache_info()[:2]
    # Twelve signature steps in all; with the cache on only the two genuine
    # credentials and the forged one are ever checked.
    assert hits + misses == 12 and misses == (12 if cache_bytes == 0 else 3)


# More holders than the verifier keeps prepared keys of (32), so that keys
# are dropped and prepared again while the draws go on.
_HOLDERS = 40


@pytest.fixture(scope="module")
def holders(chains: Dict[str, Any], identities: Identities) -> List[Tuple[Any, str]]:
    """A leaf chain for each of _HOLDERS holders under the "node" chain."""
    made = []
    for n in range(_HOLDERS):
        holder = identities(f"t-holder-{n}")
        leaf = vestrel.delegate(chains["node"], chains["service"], holder.public_key(), "leaf",
                                [(b"/docs", b"GET")])
        made.append((holder, vestrel.encode_token(leaf)))
    return made


@settings(max_examples=examples(40), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(turns=st.lists(st.tuples(st.integers(0, _HOLDERS - 1), st.integers(0, _HOLDERS - 1),
                                st.booleans()), min_size=1, max_size=60))
def test_each_holders_proof_checks_against_its_own_key_alone(
        chains: Dict[str, Any], holders: List[Tuple[Any, str]],
        turns: List[Tuple[int, int, bool]]) -> None:
    # A verifier keeps the keys of holders it checked lately prepared for
    # their next proof. Whatever it keeps, a proof verifies exactly when the
    # chain it presents ends at its signer: the same answers as a verifier
    # that keeps nothing, for holders coming and going in any order.
    root = chains["root"].public_key()
    keeping = vestrel.Verifier([root])
    keeping_none = vestrel.Verifier([root], cache_bytes=0)
    for chain_of, signer, changed in turns:
        headers = vestrel.present(holders[signer][0], holders[chain_of][1], "GET", URL, now=NOW)
        url = URL + "&z" if changed else URL
        for verifier in (keeping, keeping_none):
            try:
                verifier.verify_request("GET", url, headers, now=NOW)
                rule = None
            except vestrel.Refused as refused:
                rule = refused.rule
            assert rule == (None if chain_of == signer and not changed else "ProofInvalid")


def test_threads_checking_many_holders_at_once_get_each_answer_right(
        chains: Dict[str, Any], holders: List[Tuple[Any, str]]) -> None:
    # The core checks proofs without the interpreter lock: threads keep,
    # drop and prepare holders' keys at once, each in its own order, and
    # every proof still verifies against its own chain's holder alone.
    verifier = vestrel.Verifier([chains["root"].public_key()])
    made = {(c, s): vestrel.present(holders[s][0], holders[c][1], "GET", URL, now=NOW)
            for c in range(_HOLDERS) for s in (c, (c + 1) % _HOLDERS)}

    def run(seed: int) -> List[Tuple[int, int, Optional[str]]]:
        order = sorted(made, key=lambda pair: (pair[0] * 7919 + seed * 104729) % _HOLDERS)
        answers: List[Tuple[int, int, Optional[str]]] = []
        for chain_of, signer in order:
            try:
                verifier.verify_request("GET", URL, made[chain_of, signer], now=NOW)
                answers.append((chain_of, signer, None))
            except vestrel.Refused as refused:
                answers.append((chain_of, signer, refused.rule))
        return answers

    with ThreadPoolExecutor(4) as pool:
        runs = list(pool.map(run, range(4)))
    # The first thread to present a proof spends it; the others are told so.
    for (chain_of, signer), headers in made.items():
        rules = [rule for answers in runs for c, s, rule in answers if (c, s) == (chain_of, signer)]
        if chain_of == signer:
            assert sorted(rules, key=str) == [None, "ProofReplayed", "ProofReplayed", "ProofReplayed"]
        else:
            assert rules == ["ProofInvalid"] * 4


_AUTH_EDITS: Dict[str, Callable[[str], str]] = {
    "as made": lambda v: v, "space before": lambda v: " " + v,
    "two spaces": lambda v: v.replace(" ", "  ", 1), "scheme in lowercase": lambda v: "vestrel" + v[7:],
    "another scheme": lambda v: "Bearer" + v[7:],
    "one character changed": lambda v: v[:99] + ("B" if v[99] == "A" else "A") + v[100:],
    "one character short": lambda v: v[:-1], "non-ASCII": lambda v: v + "é"}
_PROOF_EDITS: Dict[str, Callable[[str], str]] = {
    "as made": lambda v: v, "space after": lambda v: v + " ", "tab before": lambda v: "\t" + v,
    "last a space": lambda v: v[:-1] + " ", "first a tab": lambda v: "\t" + v[1:],
    "non-ASCII": lambda v: v[:-1] + "é", "cut short": lambda v: v[:-10], "empty": lambda v: ""}


@pytest.mark.parametrize("auth", sorted(_AUTH_EDITS))
@pytest.mark.parametrize("proof", sorted(_PROOF_EDITS))
def test_a_known_token_read_in_one_call_is_refused_as_it_would_be_otherwise(
        chains: Dict[str, Any], auth: str, proof: str) -> None:
    # The core reads plainly presented known tokens in one call; every other
    # header form goes through the package's own reading. Either way a request
    # gets the same answer: headers handed over as an iterator are never read
    # by the core, so a second verifier taking them that way is the reference.
    root, worker = chains["root"].public_key(), chains["worker"]
    token = vestrel.encode_token(chains["leaf"])
    verifiers = [vestrel.Verifier([root]), vestrel.Verifier([root])]
    for verifier in verifiers:
        verifier.verify(token, NOW)

    def outcome(verifier: vestrel.Verifier, given: Any) -> str:
        try:
            return f"verified {verifier.verify_request('GET', URL, given, now=NOW).length}"
        except vestrel.Refused as refused:
            return f"{type(refused).__name__} {refused.status} {refused}"

    forms: Dict[str, Callable[[List[Tuple[str, str]]], Any]] = {
        "dict": dict, "str pairs": list, "tuple of pairs": tuple,
        "bytes pairs": lambda pairs: [(n.encode("latin-1"), v.encode("utf-8")) for n, v in pairs]}
    extras = (None, "Accept", "Authorization")
    for form, upper, extra in itertools.product(forms, (False, True), extras):
        made = vestrel.present(worker, token, "GET", URL, now=NOW)
        names = ("AUTHORIZATION", "vestrel-proof") if upper else ("Authorization", "Vestrel-Proof")
        pairs = [(names[0], _AUTH_EDITS[auth](made["Authorization"])),
                 (names[1], _PROOF_EDITS[proof](made["Vestrel-Proof"]))]
        if extra is not None:
            pairs.append((extra, "x"))
        headers = forms[form](pairs)
        items = headers.items() if isinstance(headers, dict) else headers
        assert outcome(verifiers[0], headers) == outcome(verifiers[1], iter(list(items))), \
            (form, upper, extra)


_NAMES = st.one_of(st.none(), st.integers(), st.text(max_size=20), st.binary(max_size=20),
                   st.just("\ud800"), st.just("Authorization"), st.just("vestrel-proof"),
                   st.just(b"Vestrel-Proof"), st.just("Vestrel vt1.AAAA"), st.just(b"vp1.AAAA"))
_ANYTHING = st.one_of(_NAMES, st.just(bytearray(b"authorization")))


@settings(max_examples=examples(300), deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(headers=st.one_of(st.dictionaries(_NAMES, _ANYTHING, max_size=4),
                         st.lists(st.one_of(st.tuples(_ANYTHING, _ANYTHING), _ANYTHING,
                                            st.tuples(_ANYTHING)), max_size=4),
                         _ANYTHING),
       known=st.one_of(st.dictionaries(st.integers(0, 20), st.one_of(
           _ANYTHING, st.tuples(_ANYTHING, _ANYTHING)), max_size=3), _ANYTHING))
def test_reading_headers_in_the_core_takes_anything(chains: Dict[str, Any], headers: Any,
                                                    known: Any) -> None:
    # Whatever the headers and the package's table hold, the core answers
    # None (not read: the package reads them itself) or checks a request;
    # it never fails on their shapes.
    core = vestrel.Verifier([chains["root"].public_key()])._core
    target = (b"GET", b"https", b"api.example.com:443", b"/docs/a", b"")
    answer = core.check_headers(headers, known, target, None, (NOW, 60, None))
    assert answer is None or (isinstance(answer, tuple) and answer[0] is None)


@given(a=st.lists(st.text(st.sampled_from("ab/?=&:"), max_size=4), min_size=5, max_size=5),
       b=st.lists(st.text(st.sampled_from("ab/?=&:"), max_size=4), min_size=5, max_size=5),
       body=st.sampled_from([None, b"\0" * 32]))
def test_no_two_requests_share_a_message(a: List[str], b: List[str], body: Optional[bytes]) -> None:
    nonce, chain = bytes(16), bytes(32)
    fields_a: Any = tuple(x.encode() for x in a)
    fields_b: Any = tuple(x.encode() for x in b)
    same = _native.request_message(fields_a, 1, nonce, chain, body) == \
        _native.request_message(fields_b, 1, nonce, chain, body)
    assert same == (fields_a == fields_b)


def test_stores_are_bounded_and_expire() -> None:
    replay = vestrel.MemoryReplayStore(max_entries=2)
    assert replay.add(b"a", 0, 10) and not replay.add(b"a", 5, 10) and replay.add(b"b", 5, 6)
    with pytest.raises(vestrel.StoreUnavailable) as full:
        replay.add(b"c", 6, 20)  # a and b both still live: refuse rather than forget one
    assert full.value.status == 503
    assert replay.add(b"c", 7, 20) and replay.add(b"b", 11, 30)  # b expired at 6, a at 10
    chain_store = vestrel.MemoryChainStore(max_bytes=10)
    chain_store.put(b"1", b"x" * 6, 0, 100)
    chain_store.put(b"2", b"y" * 6, 0, 5)
    assert chain_store.get(b"1", 0) is None and chain_store.get(b"2", 5) == b"y" * 6
    assert chain_store.get(b"2", 6) is None and len(chain_store) == 0


class _KeptApart(vestrel.MemoryChainStore):
    """The in-memory store under another type: a verifier given it checks
    every request in full, never in the middlewares' one pass."""


_STEPS = st.lists(st.tuples(
    st.sampled_from(["token", "ref"]),
    st.sampled_from(["as made", "again", "another URL", "another method", "another body",
                     "another signer", "issued late", "revoked", "registration gone",
                     "feed stale"])),
    min_size=1, max_size=12)


@settings(max_examples=examples(60), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(steps=_STEPS)
def test_the_one_pass_check_answers_every_request_as_the_full_check(
        identities: Identities, steps: List[Tuple[str, str]],
        monkeypatch: pytest.MonkeyPatch) -> None:
    # A middleware checks the common request (a token its verifier knows, a
    # reference to a chain it checked lately) in one pass; a verifier whose
    # store is not the plain in-memory one checks every request in full.
    # Both see the same requests, on the clock, and must answer alike.
    from vestrel import _request
    from vestrel._http import Options

    root, service, worker, other = (identities(n) for n in ("p-root", "p-service", "p-worker",
                                                             "p-other"))
    now = int(datetime.datetime.now(datetime.timezone.utc).timestamp())
    node = vestrel.delegate(None, root, service.public_key(), "node", [(b"/docs", b"*")],
                            not_before=now - 100, not_after=now + 3600)
    leaf = vestrel.delegate(node, service, worker.public_key(), "leaf", [(b"/docs", b"*")])
    token = vestrel.encode_token(leaf)
    stores = [vestrel.MemoryChainStore(), _KeptApart()]
    verifiers = [vestrel.Verifier([root.public_key()], chains=store) for store in stores]
    register_url = "https://api.example.com/.well-known/vestrel/chains"
    headers, body, ref = vestrel.register(worker, token, register_url)
    for verifier in verifiers:
        verifier.register_request(register_url, headers, body)
        verifier.verify(token)
    # Counts the requests the one pass answered, with a chain or a refusal.
    one_pass = []
    checked = _request.check_presented

    def counted(*args: Any) -> Any:
        try:
            answer = checked(*args)
        except vestrel.Refused:
            one_pass.append(1)
            raise
        if answer is not None:
            one_pass.append(1)
        return answer

    monkeypatch.setattr(vestrel.Verifier, "_check_presented", counted)
    options = Options(verifiers[0], origin="https://api.example.com", per_route=True)

    def outcome(which: int, method: str, url: str, made: Dict[str, str], payload: bytes) -> str:
        pairs = [(k.encode("latin-1"), v.encode("latin-1")) for k, v in made.items()]
        try:
            if which == 0:
                target = url[len("https://api.example.com"):]
                prepared = options.prepare("check", method, target.partition("?")[0], "https",
                                           (), target, pairs)
                chain = options.check(method, prepared, pairs, payload)
            else:
                chain = verifiers[1].verify_request(method, url, pairs, body=payload)
            # The whole chain as its repr shows it: a chain the one pass
            # kept from an earlier request must be this request's own.
            return (f"verified {chain!r} {chain.holder_pk == worker.public_key()} "
                    f"{chain.root_pk == root.public_key()} {chain.revocation_ids}")
        except vestrel.Refused as refused:
            return f"{type(refused).__name__} {refused.status} {refused}"

    last: Optional[Tuple[str, str, Dict[str, str], bytes]] = None
    revoked = stale = False
    for n, (kind, change) in enumerate(steps):
        chain = token if kind == "token" else ref
        method, url, payload = "PUT", f"{URL}&n={n}", b'{"n": %d}' % n
        signer = other if change == "another signer" else worker
        made = vestrel.present(signer, chain, method, url, body=payload,
                               now=now + 30 if change == "issued late" else None)
        if change == "again" and last is not None:
            method, url, made, payload = last
        elif change == "another URL":
            url += "&z"
        elif change == "another method":
            method = "POST"
        elif change == "another body":
            payload += b" "
        elif change == "revoked":
            for verifier in verifiers:
                verifier.revoke(vestrel.verify(root.public_key(), leaf, now).revocation_ids[-1])
        elif change == "registration gone":
            for store in stores:
                store.put(vestrel.chain_digest(leaf), leaf, now, now - 1)
        elif change == "feed stale":
            # What a revocation feed that stopped reading leaves: refused
            # (503), never answered from the one pass.
            for verifier in verifiers:
                verifier._fresh_until = -math.inf
        last = (method, url, made, payload)
        before = len(one_pass)
        assert outcome(0, method, url, made, payload) == outcome(1, method, url, made, payload), \
            (kind, change)
        # The common request took the one pass (before 3.10 the core reads
        # no str text in place, so there a token is found by the package).
        stale = stale or change == "feed stale"
        if change == "as made" and not stale and (kind == "ref" or sys.version_info >= (3, 10)):
            assert len(one_pass) == before + 1
        revoked = revoked or change == "revoked"
        if change == "registration gone" and not revoked and not stale:
            for verifier in verifiers:
                verifier.register_request(register_url, *vestrel.register(worker, token,
                                                                          register_url)[:2])


def test_the_chains_the_one_pass_keeps_verified_hold_at_most_cache_bytes(
        identities: Identities) -> None:
    # Each chain's VerifiedChain, kept for its next request, holds its wire:
    # many large chains must not make the verifier hold more wire bytes
    # than its cache_bytes, however many chains it lists as checked lately.
    from vestrel._http import Options

    root, service = identities("k-root"), identities("k-service")
    node = vestrel.delegate(None, root, service.public_key(), "node", [(b"/docs", b"*")])
    leaves = [vestrel.delegate(node, service, identities(f"k-{n}").public_key(), "leaf",
                               [(b"/docs", b"*")]) for n in range(4)]
    # Room for three and a half wires, and a list of five chains checked lately.
    cache = len(leaves[0]) * 7 // 2
    verifier = vestrel.Verifier([root.public_key()], cache_bytes=cache)
    options = Options(verifier, origin="https://api.example.com", per_route=True)
    register_url = "https://api.example.com/.well-known/vestrel/chains"
    for n, leaf in enumerate(leaves):
        holder = identities(f"k-{n}")
        headers, body, ref = vestrel.register(holder, vestrel.encode_token(leaf), register_url)
        verifier.register_request(register_url, headers, body)
        chains = []
        for _ in range(2):
            pairs = [(k.encode(), v.encode())
                     for k, v in vestrel.present(holder, ref, "GET", URL).items()]
            prepared = options.prepare("check", "GET", "/docs/a", "https", (),
                                       URL[len("https://api.example.com"):], pairs)
            chains.append(options.check_quick("GET", prepared, b""))
        assert chains[0] is not None and chains[0].holder_pk == holder.public_key()
        # Kept while there is room: the second request gets the same object.
        assert (chains[1] is chains[0]) == (n < 3), n
    held = [entry[1] for entry in verifier._warm.values() if entry is not None]
    assert len(held) == 3 and sum(len(chain._wire) for chain in held) <= cache
    # New roots clear the chains checked lately, and make the room again.
    verifier.set_roots([root.public_key(), service.public_key()])
    assert not verifier._warm and verifier._warm_room == cache
