"""The vestrel package: that every answer is the kernel's own (the authority
of a chain, its coverage rule, its refusals with their index) and that the
friendlier layer refuses what the module refuses, with the same text."""

from __future__ import annotations

import gc
import json
import os
import pickle
import re
import subprocess
import sys
from typing import Any, Callable, List, Optional, Tuple

import pytest
from hypothesis import given, settings, strategies as st

import vestrel
import vestrel_kernel as vk
from conftest import REPO, examples, issue_unchecked, resident_kb, under_address_sanitizer

Identities = Callable[[str], vestrel.IdentityIsland]
Field = bytes

NOW = 1_000
VECTORS = json.loads((REPO / "vectors" / "verification.json").read_text())
KEYS = {name: bytes.fromhex(k["public_key"]) for name, k in VECTORS["keys"].items()}


def refused(call: Callable[[], object]) -> vestrel.KernelError:
    with pytest.raises(vestrel.KernelError) as info:
        call()
    return info.value


def module_refusal(call: Callable[[], object]) -> ValueError:
    with pytest.raises(ValueError) as info:
        call()
    return info.value


def test_the_rules_are_the_kernels_names_each_a_typed_value_error() -> None:
    header = (REPO / "kernel" / "src" / "errors.h").read_text()
    found = re.search(r"enum class KernelError[^{]*\{(.*?)\};", header, re.S)
    assert found is not None
    enum = found.group(1)
    names = re.findall(r"^\s*(\w+)(?: = 0)?,", enum, re.M)
    assert len(names) == 23
    for name in names:
        cls = getattr(vestrel, name)
        error = cls(4)
        assert issubclass(cls, vestrel.KernelError) and issubclass(cls, ValueError)
        assert (cls.rule, error.index, str(error), error.args) == (name, 4, f"KernelError::{name}",
                                                                   (f"KernelError::{name}",))
        again = pickle.loads(pickle.dumps(error))
        assert (type(again), again.index, str(again)) == (cls, 4, str(error))
    assert set(names) | {"KernelError"} <= set(vestrel.__all__)


# Every check of the conformance vectors: the same count, or the same refusal
# text, now typed, with an index exactly when the fault is not the wire's own.
VECTOR_CHECKS = [(case["name"], case, check) for case in VECTORS["cases"] for check in case["checks"]]


@pytest.mark.parametrize("name,case,check", VECTOR_CHECKS, ids=[f"{n} @{c['now']}" for n, _, c in VECTOR_CHECKS])
def test_conformance_vectors_agree_with_the_module(name: str, case: Any, check: Any) -> None:
    root, wire = KEYS[case["root"]], bytes.fromhex(case["wire"])
    now = int(check["now"])  # from 2^53 on, written as a decimal string
    if "count" in check:
        chain = vestrel.verify(root, wire, now)
        assert chain.length == vk.verify_delegation(root, wire, now) == check["count"]
        credentials = vk.decode_chain(wire)
        last = vk.parse_payload(credentials[-1][2])
        assert (chain.holder_pk, chain.role, chain.depth, list(chain.perms)) == (
            last["child_pk"], last["role"], last["depth"], last["perms"])
        assert chain.issuers == tuple(c[0] for c in credentials)
        assert chain.revocation_ids == tuple(vestrel.revocation_id(c[1]) for c in credentials)
        return
    error = refused(lambda: vestrel.verify(root, wire, now))
    assert type(error).__name__ == check["error"]
    assert str(error) == str(module_refusal(lambda: vk.verify_delegation(root, wire, now)))
    try:
        credentials = vk.decode_chain(wire)
    except ValueError:
        assert error.index is None
    else:
        assert error.index is not None and 0 <= error.index < len(credentials)


def test_the_failing_credential_is_named(identities: Identities) -> None:
    root, a, b = (identities(n) for n in ("root", "a", "b"))
    docs = [(b"docs", b"read")]
    first = vestrel.delegate(None, root, a.public_key(), "node", docs, not_after=NOW + 10)
    rows: List[Tuple[bytes, int, type, Optional[int]]] = [
        # (wire, now, rule, index); delegate refuses to issue the next three
        (first, NOW + 11, vestrel.NotAfterViolation, 0),
        (issue_unchecked(first, b, b.public_key(), "leaf", docs), NOW, vestrel.ParentKeyMismatch, 1),
        (issue_unchecked(first, a, b.public_key(), "leaf", [(b"docs", b"*")]), NOW,
         vestrel.ScopeEscalation, 1),
        (issue_unchecked(vestrel.delegate(None, root, a.public_key(), "leaf", docs), a,
                         b.public_key(), "leaf", docs), NOW, vestrel.LeafCannotDelegate, 1),
        (first[:-1], NOW, vestrel.WireTruncated, None),
        (first[:-3000] + bytes([first[-3000] ^ 1]) + first[-2999:], NOW, vestrel.SignatureInvalid, 0),
    ]
    for wire, now, rule, index in rows:
        error = refused(lambda: vestrel.verify(root.public_key(), wire, now))
        assert (type(error), error.index) == (rule, index)


def test_the_window_is_the_strictest_of_every_record(identities: Identities) -> None:
    root, a, b = (identities(n) for n in ("root", "a", "b"))
    caveats = [vk.not_before(NOW - 50) + vk.not_after(NOW + 90) + vk.not_before(NOW - 70),
               vk.not_after(NOW + 100) + vk.not_before(NOW - 10) + vk.not_after(NOW + 40)]
    p1, s1 = root.issue_credential(a.public_key(), "node", 1, vestrel.scope([(b"*", b"*")]), caveats[0])
    p2, s2 = a.issue_credential(b.public_key(), "leaf", 2, vestrel.scope([(b"x", b"y")]), caveats[1])
    wire = vk.encode_chain([(root.public_key(), s1, p1), (a.public_key(), s2, p2)])
    chain = vestrel.verify(root.public_key(), wire, NOW)
    assert (chain.not_before, chain.not_after) == (NOW - 10, NOW + 40)
    assert vestrel.verify(root.public_key(), wire, NOW - 10).not_after == NOW + 40
    assert refused(lambda: vestrel.verify(root.public_key(), wire, NOW - 11)).index == 1
    assert refused(lambda: vestrel.verify(root.public_key(), wire, NOW + 41)).index == 1
    # parse_payload shows one credential's last record of each kind only
    assert vk.parse_payload(p1)["not_before"] == NOW - 70


FIELDS = st.sampled_from([b"*", b"a", b"b", b"A", b"", b"a*", b"**", b"ab"])
PAIRS = st.lists(st.tuples(FIELDS, FIELDS), min_size=1, max_size=4)


@settings(max_examples=examples(40), deadline=None)
@given(first=PAIRS, second=st.one_of(st.none(), PAIRS), request=st.tuples(FIELDS, FIELDS))
def test_allows_agrees_with_the_kernel(identities: Identities, first: List[Tuple[bytes, bytes]],
                                       second: Optional[List[Tuple[bytes, bytes]]],
                                       request: Tuple[bytes, bytes]) -> None:
    """allows(r, v) holds exactly when one more credential scoped to [(r, v)]
    from the holder verifies."""
    root, a, b, c = (identities(n) for n in ("root", "a", "b", "c"))
    wire = vestrel.delegate(None, root, a.public_key(), "node", first)
    holder = a
    if second is not None:
        wire = issue_unchecked(wire, a, b.public_key(), "node", second)
        holder = b
    try:
        chain = vestrel.verify(root.public_key(), wire, NOW)
    except vestrel.ScopeEscalation:
        return  # the second scope is not within the first: no holder to ask
    extended = issue_unchecked(wire, holder, c.public_key(), "leaf", [request])
    try:
        vestrel.verify(root.public_key(), extended, NOW)
        kernel_says = True
    except vestrel.ScopeEscalation:
        kernel_says = False
    assert chain.allows(*request) is kernel_says
    assert vestrel.covers(chain.perms, *request) is kernel_says


def test_covers_any_number_of_pairs_and_requests_of_any_length() -> None:
    many = [(b"r%d" % i, b"v") for i in range(200)]
    assert vestrel.covers(many, b"r199", b"v") and not vestrel.covers(many, b"r200", b"v")
    assert vestrel.covers([(b"*", b"*")], b"x" * 1000, b"") and not vestrel.covers([], b"a", b"b")
    assert type(refused(lambda: vestrel.covers([(b"r" * 256, b"v")], b"a", b"b"))) is vestrel.ResourceTooLong


def test_the_chain_is_immutable_and_made_only_by_verify(identities: Identities) -> None:
    root = identities("root")
    chain = vestrel.verify(root.public_key(), vestrel.delegate(None, root, root.public_key(), "leaf",
                                                               [(b"a", b"b")]), NOW)
    attempt: Callable[[], None]
    for attempt in (lambda: setattr(chain, "length", 2), lambda: delattr(chain, "perms"),
                    lambda: setattr(chain, "extra", 1)):
        with pytest.raises(AttributeError):
            attempt()
    with pytest.raises(TypeError):
        vestrel.VerifiedChain()
    assert (chain.length, chain.role, chain.perms, chain.not_before, chain.not_after) == (
        1, "leaf", ((b"a", b"b"),), None, None)


# What the module refuses as an argument, vestrel refuses with the same text.
@pytest.mark.parametrize("args", [
    (bytes(1951), b"", 0), (bytearray(1952), b"", 0), (bytes(1952), memoryview(b""), 0),
    (bytes(1952), b"", "now"), (bytes(1952), b"", -1), (bytes(1952), b"", 2**64), (bytes(1952), b"", 1.5),
])
def test_argument_refusals_match_the_module(args: Tuple[Any, Any, Any]) -> None:
    with pytest.raises(Exception) as ours:
        vestrel.verify(*args)
    with pytest.raises(Exception) as theirs:
        vk.verify_delegation(*args)
    assert (type(ours.value), str(ours.value)) == (type(theirs.value), str(theirs.value))


def test_helpers_refuse_like_the_module(identities: Identities) -> None:
    island = identities("root")
    assert type(refused(lambda: vestrel.scope([(b"r", b"v" * 256)]))) is vestrel.VerbTooLong
    assert type(refused(lambda: vestrel.delegate(b"\x02", island, bytes(1952), "leaf", [(b"a", b"b")]))) \
        is vestrel.WireVersionMismatch
    rows: List[Tuple[Callable[[], object], str]] = [
        (lambda: vestrel.delegate(None, island, bytes(10), "leaf", [(b"a", b"b")]), "child_pk must be 1952 bytes"),
        (lambda: vestrel.delegate(None, island, bytes(1952), "root",  # type: ignore[arg-type]
                                  [(b"a", b"b")]), "role must be 'leaf' or 'node'"),
        (lambda: vestrel.caveats(not_after=-1), "can't convert negative int to unsigned"),
    ]
    for call, text in rows:
        with pytest.raises((ValueError, OverflowError), match=re.escape(text)):
            call()
    assert vestrel.caveats() == b"" and vestrel.caveats(1, 2) == vk.not_before(1) + vk.not_after(2)


def test_version_is_the_projects() -> None:
    declared = re.search(r'^version = "([^"]+)"$', (REPO / "pyproject.toml").read_text(), re.M)
    assert declared is not None and vestrel.__version__ == declared.group(1)


def test_calls_leave_no_reference_or_memory_behind(identities: Identities) -> None:
    island = identities("root")
    pk = island.public_key()
    wire = vestrel.delegate(None, island, pk, "node", [(b"docs", b"*")], NOW - 1, NOW + 1)
    perms, wrong = [(b"docs", b"read")], bytearray(b"wrong")
    verifier = vestrel.Verifier([pk], revoked=[bytes(32)])
    token = vestrel.encode_token(wire)
    url = "https://api.example.com/docs"
    presented = vestrel.present(island, token, "GET", url, now=NOW)  # good once, then replayed
    watched = [island, pk, wire, perms, perms[0], wrong, verifier, token, presented]
    calls: List[Callable[[], object]] = [
        lambda: verifier.verify(wire, NOW), lambda: verifier.verify(token, NOW + 2),
        lambda: verifier.verify(token[:-2], NOW), lambda: verifier.verify(wire[:-1], NOW),
        lambda: vestrel.decode_token(token, pk), lambda: vestrel.encode_token(wire + b"x"),
        lambda: verifier.verify_request("GET", url, presented, now=NOW),
        lambda: verifier.verify_request("PUT", url, presented, now=NOW),
        lambda: verifier.verify_request("GET", url, {"Vestrel-Proof": "vp1.x"}, now=NOW),
        lambda: vestrel.verify(pk, wire, NOW).allows(b"docs", b"x"),
        lambda: vestrel.verify(pk, wire, NOW).revocation_ids,
        lambda: vestrel.verify(pk, wire, NOW + 2),
        lambda: vestrel.verify(pk, wire[:-1], NOW),
        lambda: vestrel.verify(pk, wrong, NOW),
        lambda: vestrel.verify(wire, wire, NOW),
        lambda: vestrel.covers(perms, b"docs", wrong),
        lambda: vestrel.delegate(wire, island, pk, "leaf", perms),
        lambda: vestrel.delegate(wire, island, pk, "leaf", [(b"mail", b"read")]),
        lambda: vestrel.delegate(wire, island, pk, "leaf", perms, NOW + 2),
    ]

    def run(rounds: int) -> None:
        for _ in range(rounds):
            for call in calls:
                try:
                    call()
                except (ValueError, TypeError):
                    pass

    run(20)
    gc.collect()  # tracebacks of earlier tests may still hold the identity
    counts, total = [sys.getrefcount(o) for o in watched], getattr(sys, "gettotalrefcount", int)()
    memory = resident_kb()
    run(200)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == counts
    assert getattr(sys, "gettotalrefcount", int)() - total < 100
    if not under_address_sanitizer():
        assert resident_kb() - memory < 2048


def test_example_script_runs() -> None:
    path = f"{os.environ['VESTREL_PACKAGE_DIR']}:{os.environ['VESTREL_KERNEL_MODULE_DIR']}"
    run = subprocess.run([sys.executable, str(REPO / "examples" / "authorize.py")],
                         env=dict(os.environ, PYTHONPATH=path), capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[1:] == [
        "docs read: allowed", "docs write: denied",
        "two hours later: KernelError::NotAfterViolation at credential 1", "revoked: True"]
