"""The readers a checked request goes through on every call, against plain
models of what they must find: the credentials among the headers, a named
header's values in an ASGI scope, a printable target; and the benchmark that
measures them still runs."""

from __future__ import annotations

import subprocess
import sys
from collections.abc import Mapping
from pathlib import Path
from typing import Any, List, Tuple

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vestrel.asgi
import vestrel_kernel
from conftest import examples
from servers import once
from vestrel._http import (Options, RequestTargetRefused, expect_credentials, origin_form,
                           target_text)
from vestrel._request import _credentials, _names_vestrel, _presented_chain
from vestrel._token import parse_ref

ROOT = Path(__file__).resolve().parents[2]


def model_credentials(headers: Any, decoded: bool = True) -> Tuple[List[Any], List[Any]]:
    """Every value of the two headers, names compared without case once
    read as latin-1 text, values as text (bytes kept as they are where not
    ``decoded``); TypeError for a name or a kept value that is neither
    text nor bytes."""
    def text(value: Any) -> str:
        if isinstance(value, str):
            return value
        if isinstance(value, (bytes, bytearray)):
            return bytes(value).decode("latin-1")
        raise TypeError("headers must be str or bytes names and values")

    found: Tuple[List[Any], List[Any]] = ([], [])
    for name, value in headers.items() if isinstance(headers, Mapping) else headers:
        key = text(name).lower()
        if key in ("authorization", "vestrel-proof"):
            kept = value if type(value) is bytes and not decoded else text(value)
            found[key == "vestrel-proof"].append(kept)
    return found


# Names of the two headers in every case and type, names of their length
# that are not them (one letter off, one outside ASCII), and others.
NAMES = st.sampled_from([
    "Authorization", "AUTHORIZATION", b"authorization", b"AuThOrIzAtIoN", bytearray(b"Authorization"),
    "vestrel-proof", b"Vestrel-Proof", bytearray(b"VESTREL-PROOF"), "authorizatioN",
    b"authorizatiom", "vestrel-pro\u00f6f", b"vestrel-pro\xf6f", "Authorizat\u0130on",
    "host", b"host", b"content-length", "Content-Length", "", b"", b"x" * 13,
    bytearray(b"accept"), 13, None])
VALUES = st.one_of(st.text(max_size=12), st.binary(max_size=12),
                   st.just(b"Vestrel vr1.\xe4"), st.just(bytearray(b"vp1.x")), st.none())
PAIRS = st.lists(st.tuples(NAMES, VALUES), max_size=6)
FORMS = st.sampled_from([list, tuple, dict, iter, lambda pairs: dict(pairs).items()])


@settings(max_examples=examples(400), deadline=None)
@given(PAIRS, FORMS, st.booleans())
def test_the_credentials_are_found_as_the_model_finds_them(pairs: List[Tuple[Any, Any]],
                                                           form: Any, decoded: bool) -> None:
    # Unhashable names cannot make a dict: those cases go as a list.
    try:
        headers = form(pairs)
        again = form(pairs)
    except TypeError:
        headers, again = list(pairs), list(pairs)
    try:
        expected: Any = model_credentials(again, decoded)
    except TypeError as error:
        expected = TypeError, str(error)
    try:
        got: Any = _credentials(headers, decoded)
    except TypeError as error:
        got = TypeError, str(error)
    assert got == expected


@settings(max_examples=examples(300), deadline=None)
@given(st.lists(st.sampled_from([b"Vestrel", b"vEsTrEl", b"VESTREL ", b" ", b"\t", b"\x85", b"\xa0",
                                 b"\x1c", b"\x0b", b"\xc0", b"\xe9", b"vt1.", b"vr1.A", b"Bearer "]),
                max_size=5))
def test_the_scheme_is_named_alike_in_bytes_and_in_their_latin1_text(pieces: List[bytes]) -> None:
    value = b"".join(pieces)
    text = value.decode("latin-1")
    assert _names_vestrel(value) == _names_vestrel(text) == (
        text.strip()[:8].lower() == "vestrel ")


@settings(max_examples=examples(200), deadline=None)
@given(st.lists(st.tuples(st.sampled_from([b"host", b"Host", b"HOST", b"hos", b"hosts",
                                           b"content-length", b"Content-Length", b"h\xc3st",
                                           bytearray(b"host"), b""]),
                          st.binary(max_size=6)), max_size=6),
       st.sampled_from([b"host", b"content-length", b":authority"]))
def test_an_asgi_header_is_read_under_its_name_in_any_case(pairs: List[Tuple[Any, bytes]],
                                                           name: bytes) -> None:
    assert vestrel.asgi._values(pairs, name) == [
        v.decode("latin-1") for k, v in pairs if bytes(k).lower() == name]


# What the core's one reading of the headers (read_presented) is given: a
# reference or a token, as made and changed at either end, and proofs alike.
_REF = "vr1." + "A" * 43
_TOKEN = "vt1." + "B" * 40
_CHAINS = [_REF, _REF[:-1] + "B", _REF[:-1], _REF + "A", _TOKEN, _TOKEN[:-1], "vr1." + "\xe9" * 43]
_PROOF = "vp1." + "C" * 20


# Changes at either end of a value; most values come as made.
_EDITS = [lambda t: t] * 5 + [lambda t: " " + t, lambda t: t + " ", lambda t: t + "\t",
                              lambda t: "\xa0" + t, lambda t: t + "\x85", str.upper,
                              lambda t: t[:-1] + "\xe9"]
_CREDENTIALS = st.tuples(
    st.sampled_from(["Authorization", "AUTHORIZATION", b"authorization", bytearray(b"authorization")]),
    st.builds(lambda scheme, chain, edit: edit(scheme + chain),
              st.sampled_from(["Vestrel ", "vEsTrEl ", "Vestrel  ", "Vestrex ", "Vestrel\t",
                               "Bearer "]),
              st.sampled_from(_CHAINS), st.sampled_from(_EDITS)),
    st.sampled_from(["Vestrel-Proof", b"vestrel-proof", "VESTREL-PROOF"]),
    st.builds(lambda edit: edit(_PROOF), st.sampled_from(_EDITS)))


# A verifier that knows _TOKEN (as a service knows a token it verified).
_READER = vestrel.Verifier([bytes(1952)], cache_bytes=0)
_READER._token_wires[len(_TOKEN)] = (_TOKEN, b"the wire")


@settings(max_examples=examples(200), deadline=None)
@given(_CREDENTIALS, st.lists(st.tuples(NAMES, VALUES), max_size=2), st.booleans(),
       st.sampled_from([list, tuple, dict]), st.integers(0, 3))
def test_the_cores_one_reading_finds_what_the_package_finds(
        credentials: Tuple[Any, str, Any, str], others: List[Tuple[Any, Any]], as_bytes: bool,
        form: Any, at: int) -> None:
    # Wherever the core reads a request's headers in one call, it finds what
    # the package's own reading finds: one Authorization value naming the
    # same reference (its digest) or the same known token (its wire), and
    # one proof value, whose text the package would not change. Whatever it
    # declines, the package reads and refuses itself; the plainest form of
    # each it must not decline.
    auth_name, auth, proof_name, proof = credentials
    pairs: List[Tuple[Any, Any]] = [
        (auth_name, auth.encode("latin-1") if as_bytes else auth),
        (proof_name, proof.encode("latin-1") if as_bytes else proof)]
    pairs[at % 3:at % 3] = others
    try:
        headers = form(pairs)
    except TypeError:
        headers = list(pairs)
    verifier = _READER
    found = verifier._read_presented(headers)
    if found is None:
        # Before 3.10 the core reads no str text in place: headers all bytes
        # alone, and no token it would compare with the text it keeps.
        in_place = sys.version_info >= (3, 10)
        plainest = (auth in ("Vestrel " + _REF, "vEsTrEl " + _REF, "Vestrel " + _TOKEN)
                    and proof == _PROOF and type(auth_name) is not bytearray
                    and (in_place or as_bytes and _TOKEN not in auth
                         and type(auth_name) is bytes and type(proof_name) is bytes))
        assert not (plainest and not others), headers
        return
    authorization, proofs = _credentials(headers)
    assert len(authorization) == len(proofs) == 1
    assert _credentials([("vestrel-proof", found[0])])[1] == proofs == [proofs[0].strip()]
    chain = _presented_chain(authorization)
    if found[2] is not None:
        assert chain.startswith("vr1.") and parse_ref(chain) == found[2]
    else:
        assert verifier._known_wire(chain) == found[1] == b"the wire"
    # The Content-Length values the same scan met, as the middleware would
    # read them itself (Latin-1 for bytes).
    lengths = [v if type(v) is str else bytes(v).decode("latin-1")
               for k, v in (headers.items() if isinstance(headers, dict) else headers)
               if (k if isinstance(k, str) else bytes(k).decode("latin-1")).lower()
               == "content-length"]
    assert found[3] == (lengths or None)


def test_what_the_scan_returns_outlives_a_collection_during_it() -> None:
    # The scan finds the proof among the headers and the wire in the token
    # map (the token kept as bytes, which every version compares), then
    # makes the Content-Length list, which may run the collector (before
    # 3.12) and with it Python code that drops both: what it returns must
    # be its own references, not borrowed ones.
    import gc

    wire, proof = bytes(range(256)) * 40, _PROOF.encode()
    known = {len(_TOKEN): (_TOKEN.encode(), bytes(bytearray(wire)))}
    headers = [(b"authorization", b"Vestrel " + _TOKEN.encode()),
               (b"vestrel-proof", bytes(bytearray(proof))), (b"content-length", b"0")]
    reused: List[bytes] = []  # takes the dropped objects' memory, were they freed

    def drop(phase: str, info: Any) -> None:
        if phase == "start" and known:
            known.clear()
            headers.clear()
            reused.extend(bytes([7]) * size for size in (len(wire), len(proof)) * 4)

    # Lists and tuples held, so that the next ones are new objects, which
    # count towards a collection, not ones kept for reuse.
    crowd = [[n] for n in range(500)], [(n,) * 4 for n in range(3000)]
    gc.callbacks.append(drop)
    threshold = gc.get_threshold()
    gc.set_threshold(1)
    try:
        found = _READER._core.read_presented(headers, known)
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(drop)
    assert found is not None and found[0] == proof and found[1] == wire and found[3] == ["0"]
    assert reused or sys.version_info >= (3, 12), len(crowd)


_PIECES = st.sampled_from(["/", "a", "%41", "%2f", "..", "?", "#", "\\", " ", "\xe9", "\x7f",
                           "=", "&", "x" * 300])


@settings(max_examples=examples(300), deadline=None)
@given(st.lists(_PIECES, max_size=8), st.lists(_PIECES, max_size=4))
def test_a_raw_target_is_read_once_as_any_target_is(path: List[str], query: List[str]) -> None:
    # A request whose target is kept by its raw bytes is prepared as the
    # general reading prepares the same target and headers (the URL, the
    # credentials found), or refused alike: a registration, and a checked
    # request in the common form under per-route requirements.
    options = Options(_READER, origin="https://api.example.com", per_route=True)
    presented = [(b"authorization", ("Vestrel " + _REF).encode()),
                 (b"vestrel-proof", _PROOF.encode())]
    for route, headers in (("register", presented[1:]), ("check", presented)):
        scope = {"type": "http", "method": "POST", "path": "/", "scheme": "https",
                 "raw_path": "".join(path).encode("latin-1"),
                 "query_string": "".join(query).encode("latin-1"), "headers": headers}

        def read(how: Any) -> str:
            try:
                return repr(how())
            except vestrel.Refused as refused:
                return f"{type(refused).__name__}: {refused}"

        kept = read(lambda: vestrel.asgi._prepared(options, scope, route)[0])
        assert kept == read(lambda: options.prepare(route, "POST", "/", "https", (),
                                                    vestrel.asgi._target(scope), headers))


def test_a_target_is_read_only_when_every_character_is_printable_ascii() -> None:
    # Every code point of the first planes, and a few past them, inside a
    # target that is otherwise fine: refused exactly when it is not one of
    # "!" to "~".
    points = [*range(0x3000), 0xFEFF, 0xFFFD, 0x1F600, 0x10FFFF]
    refused = []
    for point in points:
        try:
            origin_form(f"/a{chr(point)}b?c")
        except RequestTargetRefused as error:
            assert "not printable ASCII" in str(error) or chr(point) in "#\\"
            refused.append(point)
    assert refused == [p for p in points if not 0x21 <= p <= 0x7E or chr(p) in "#\\"]


@once
def test_the_http_benchmark_runs_in_process() -> None:
    pytest.importorskip("starlette")
    done = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "http_bench.py"), "--only", "process",
         "--rounds", "1", "--calls", "20",
         "--module-dir", str(Path(vestrel_kernel.__file__).parent),
         "--package-dir", str(Path(vestrel.__file__).parents[1])],
        capture_output=True, text=True, timeout=120, check=False)
    assert done.returncode == 0, done.stderr
    assert "behind asgi.Authorize" in done.stdout and "non-200" not in done.stdout, done.stdout
    assert "vestrel.fastapi not available" in done.stdout or "with fastapi.Auth" in done.stdout


# Authorization and proof values, in latin-1 text: what the presence check
# before the body must make of them, whether a server gives bytes or text.
PRESENCE = [
    (["Vestrel vr1.x"], ["vp1.y"], None),
    (["\xa0\x85 vEsTrEl vr1.x\t"], ["vp1.y"], None),
    (["Vestrel"], ["vp1.y"], "no Vestrel credentials"),
    (["Vestrel\xa0vr1.x"], ["vp1.y"], "no Vestrel credentials"),
    (["Bearer x", "Vestrel vr1.x"], ["vp1.y"], None),
    (["Bearer x"], ["vp1.y"], "no Vestrel credentials"),
    ([], ["vp1.y"], "no Vestrel credentials"),
    (["Vestrel vr1.x"], [], "no Vestrel-Proof header"),
    (["VESTREL \xe9"], ["\xff"], None),
]


@pytest.mark.parametrize("authorization, proofs, refused", PRESENCE)
def test_credentials_are_seen_alike_in_bytes_and_in_text(authorization: List[str], proofs: List[str],
                                                         refused: Any) -> None:
    pairs = [("Authorization", v) for v in authorization] + [("Vestrel-Proof", v) for v in proofs]
    for headers in (pairs, [(n.lower().encode(), v.encode("latin-1")) for n, v in pairs]):
        try:
            expect_credentials(headers, False)
            got = None
        except vestrel.ProofMissing as error:
            got = str(error)
        assert got == refused, headers


def test_a_target_reads_alike_each_time_kept_or_not() -> None:
    # Targets up to 1,024 characters are read once and kept, longer ones
    # read each time: either way each request gets what target_text makes
    # of its target, and a refused target is refused again, not kept.
    stand_in = type("Verifier", (), {"verify_request": print, "verify_request_async": print})()
    options = Options(stand_in, origin="https://api.example.com")
    for target in ["/a?b", "/a?", "/a#b", "//h/x", "/a b", "/" + "x" * 1023, "/" + "x" * 1024,
                   "/" + "x" * 1022 + "#", "/" + "x" * 1023 + "#", "/\\x?" + "y" * 2000]:
        seen = []
        for _ in range(3):
            try:
                seen.append(options.prepare("check", "GET", "/a", "https", (), target,
                                            [("Authorization", "Vestrel vr1.x"),
                                             ("Vestrel-Proof", "vp1.y")]).url)
            except RequestTargetRefused as error:
                seen.append(str(error))
        try:
            want = "https://api.example.com" + target_text(target)
        except RequestTargetRefused as error:
            want = str(error)
        assert seen == [want] * 3, target
