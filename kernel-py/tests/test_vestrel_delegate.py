"""delegate refuses, before it signs, the chains verification would refuse at
every time, with the rule and index verification gives."""

from __future__ import annotations

import re
from typing import Any, Callable, Dict, List, Optional, Tuple

import pytest
from hypothesis import given, settings, strategies as st

import vestrel
import vestrel_kernel as vk
from conftest import examples, issue_unchecked

Identities = Callable[[str], vestrel.IdentityIsland]
NOW = 1_000
DOCS = [(b"docs", b"*")]


class Spy:
    """An issuer that counts its signatures."""

    def __init__(self, island: vestrel.IdentityIsland) -> None:
        self.public_key, self.signed, self.island = island.public_key, 0, island

    def issue_credential(self, *args: Any) -> Tuple[bytes, bytes]:
        self.signed += 1
        return self.island.issue_credential(*args)


def test_refusals_come_before_any_signature(identities: Identities) -> None:
    root, a, b, c = (identities(n) for n in ("root", "a", "b", "c"))
    node = vestrel.delegate(None, root, a.public_key(), "node", DOCS, NOW - 100, NOW + 100)
    leaf = vestrel.delegate(None, root, a.public_key(), "leaf", DOCS)
    escalated = issue_unchecked(node, a, b.public_key(), "node", [(b"*", b"*")])
    expired = issue_unchecked(node, a, b.public_key(), "node", DOCS, NOW + 200)
    deep: Optional[bytes] = None
    for _ in range(16):
        deep = vestrel.delegate(deep, root, root.public_key(), "node", DOCS)
    rows: List[Tuple[Optional[bytes], vestrel.IdentityIsland, List[Tuple[bytes, bytes]],
                     Optional[int], Optional[int], type, Any]] = [
        # (wire, issuer, perms, not_before, not_after, refusal, index or message)
        (node, b, DOCS, None, None, vestrel.ParentKeyMismatch, 1),
        (leaf, a, DOCS, None, None, vestrel.LeafCannotDelegate, 1),
        (node, a, [(b"docs", b"read"), (b"mail", b"read")], None, None, vestrel.ScopeEscalation, 1),
        (deep, root, DOCS, None, None, vestrel.ChainTooDeep, 16),
        (node, a, [], None, None, vestrel.ScopeEmpty, 1),
        (None, root, [], None, None, vestrel.ScopeEmpty, 0),
        (node[:-1], a, DOCS, None, None, vestrel.WireTruncated, None),
        # an earlier credential's fault, at its own index
        (escalated, b, DOCS, None, None, vestrel.ScopeEscalation, 1),
        (expired, b, DOCS, None, None, vestrel.NotAfterViolation, 0),
        # the walk's order: the issuer is judged before the time
        (node, b, DOCS, NOW + 500, None, vestrel.ParentKeyMismatch, 1),
        (None, root, DOCS, 200, 100, ValueError, "not_before 200 is after not_after 100"),
        (node, a, DOCS, None, NOW - 101, ValueError,
         "the window [-, 899] does not meet the parent chain's window [900, 1100]"),
    ]
    for wire, island, perms, not_before, not_after, refusal, expected in rows:
        spy = Spy(island)
        info: pytest.ExceptionInfo[Exception]
        with pytest.raises(refusal) as info:
            vestrel.delegate(wire, spy, c.public_key(), "leaf", perms,  # type: ignore[arg-type]
                             not_before, not_after)
        error: BaseException = info.value
        assert spy.signed == 0 and type(error) is refusal
        assert (error.index if isinstance(error, vestrel.KernelError) else str(error)) == expected
    spy = Spy(a)
    vestrel.delegate(node, spy, c.public_key(), "leaf", DOCS, NOW + 100)  # type: ignore[arg-type]
    assert spy.signed == 1


BOUND = st.sampled_from([None, NOW - 100, NOW, NOW + 100])
FIELDS = st.sampled_from([b"*", b"a", b"b"])
PERMS = st.lists(st.tuples(FIELDS, FIELDS), min_size=1, max_size=2)
CREDENTIAL = st.tuples(st.sampled_from(["leaf", "node"]), PERMS, BOUND, BOUND)


@settings(max_examples=examples(60), deadline=None)
@given(parents=st.lists(CREDENTIAL, min_size=0, max_size=2), new=CREDENTIAL,
       stranger=st.booleans())
def test_delegate_refuses_exactly_what_verify_refuses_at_every_time(
        identities: Identities, parents: List[Tuple[str, Any, Any, Any]],
        new: Tuple[str, Any, Any, Any], stranger: bool) -> None:
    islands = [identities(n) for n in ("root", "a", "b", "c")]
    wire: Optional[bytes] = None
    for issuer, child, (role, perms, not_before, not_after) in zip(islands, islands[1:], parents):
        wire = issue_unchecked(wire, issuer, child.public_key(), role, perms, not_before, not_after)
    # A first credential's issuer is the root: there is no holder to differ from.
    issuer = identities("stranger") if stranger and parents else islands[len(parents)]
    role, perms, not_before, not_after = new
    would_be = issue_unchecked(wire, issuer, bytes(vk.PK_SIZE), role, perms, not_before, not_after)
    # A chain's window is bounded by these, so one of them lies inside it if any time does.
    outcomes: Dict[int, Optional[Tuple[type, Optional[int]]]] = {}
    for now in (0, NOW - 100, NOW, NOW + 100):
        try:
            vestrel.verify(islands[0].public_key(), would_be, now)
            outcomes[now] = None
        except vestrel.KernelError as error:
            outcomes[now] = (type(error), error.index)
    try:
        made = vestrel.delegate(wire, issuer, bytes(vk.PK_SIZE), role,  # type: ignore[arg-type]
                                perms, not_before, not_after)
    except vestrel.KernelError as error:
        assert None not in outcomes.values() and (type(error), error.index) in outcomes.values()
    except ValueError as error:
        assert None not in outcomes.values() and not isinstance(error, vestrel.Refused)
        assert all(outcome[0] in (vestrel.NotBeforeViolation, vestrel.NotAfterViolation)
                   for outcome in outcomes.values() if outcome is not None)
        assert re.fullmatch(r"not_before \d+ is after not_after \d+|the window \[.*\] does not "
                            r"meet the parent chain's window \[.*\]", str(error))
    else:
        # Signing is deterministic: the chain delegate made is the would-be one.
        assert made == would_be and None in outcomes.values()
