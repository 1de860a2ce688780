"""Every reference taken during a call is released on every path: a few
thousand failing and succeeding calls leave the passed objects' reference
counts and the process's memory where they were."""

import gc
import sys

import vestrel_kernel as vk
from conftest import resident_kb, under_address_sanitizer


class Index:
    def __index__(self):
        try:
            raise KeyError("cause")
        except KeyError as cause:
            raise TypeError("not an integer") from cause


def test_calls_leave_no_reference_or_memory_behind(identities):
    island = identities("root")
    pk = island.public_key()
    scope = vk.perm_tlv(b"docs", b"read")
    payload, sig = island.issue_credential(pk, "node", 1, scope, b"")
    wire = vk.encode_chain([(pk, sig, payload)])
    creds = [(pk, sig, payload)]
    wrong = bytearray(b"wrong")
    watched = [island, pk, scope, payload, sig, wire, creds, creds[0], wrong]
    calls = [
        lambda: vk.perm_tlv(scope, scope),
        lambda: vk.perm_tlv(resource=scope, verb=scope, extra=wrong),
        lambda: vk.perm_tlv(wrong, scope),
        lambda: vk.perm_tlv(payload, scope),
        lambda: vk.not_before(Index()),
        lambda: vk.encode_chain(creds),
        lambda: vk.encode_chain([(pk, sig, wrong), (pk, sig, [300])]),
        lambda: vk.encode_chain([creds[0], (pk, payload, sig)]),
        lambda: vk.decode_chain(wire),
        lambda: vk.decode_chain(wire[:-1]),
        lambda: vk.parse_payload(payload),
        lambda: vk.parse_payload(payload[:2000]),
        lambda: vk.verify_delegation(pk, wire, 1),
        lambda: vk.verify_delegation(pk, wire, -1),
        lambda: vk.verify_delegation(scope, wire, 1),
        lambda: island.public_key(),
        lambda: island.issue_credential(pk, "NODE", 2, scope, vk.not_after(9)),
        lambda: island.issue_credential(pk, "root", 2, scope, b""),
        lambda: island.issue_credential(pk, "leaf", 2, scope, wrong),
        lambda: vk.IdentityIsland(bytes(32), scope, scope).public_key(),
        lambda: vk.IdentityIsland(bytes(31), scope, scope),
    ]

    def run(rounds):
        for _ in range(rounds):
            for call in calls:
                try:
                    call()
                except (ValueError, TypeError, OverflowError):
                    pass

    run(200)  # let caches and allocator arenas reach their steady state
    # Garbage that earlier tests left in cycles may still hold the shared
    # identity; collected during the run, it would look like a released
    # reference.
    gc.collect()
    counts, total = [sys.getrefcount(o) for o in watched], getattr(sys, "gettotalrefcount", int)()
    memory = resident_kb()
    run(2000)
    assert [sys.getrefcount(o) for o in watched] == counts
    assert getattr(sys, "gettotalrefcount", int)() - total < 100
    # One leaked small object per call would be several megabytes by now,
    # one leaked identity hundreds.
    if not under_address_sanitizer():
        assert resident_kb() - memory < 2048
