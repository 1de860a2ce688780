"""Threads sharing one IdentityIsland: every thread gets, byte for byte, what
a single thread gets; calls hold the instance together (the hold counts them)
and every call gives its hold back, whether it returns or raises."""

import sys
import threading

import pytest

import vestrel_kernel as vk
from conftest import MASTER

SCOPE = vk.perm_tlv(b"docs", b"read")
THREADS = 8


class Refused(Exception):
    pass


class Depth:
    """A depth whose __index__ runs `during()` first: Python code that runs
    while issue_credential is in progress and holds the instance."""

    def __init__(self, value, during):
        self.value, self.during = value, during

    def __index__(self):
        self.during()
        return self.value


def refuse():
    raise Refused("depth refused")


@pytest.fixture(scope="module")
def shared():
    island = vk.IdentityIsland(MASTER, b"threads", b"shared")
    child = vk.IdentityIsland(MASTER, b"threads", b"child")
    creds = []
    for issuer, to, role, depth in [(island, child, "node", 1), (child, island, "leaf", 2)]:
        payload, sig = issuer.issue_credential(to.public_key(), role, depth, SCOPE, vk.not_after(100))
        creds.append((issuer.public_key(), sig, payload))
    return island, child.public_key(), [vk.encode_chain(creds[:1]), vk.encode_chain(creds)]


def work(island, child_pk, wires):
    """One thread's share: the island's methods, verification, and failing
    calls (refused in conversion, after the hold is taken), in order."""
    out = [island.public_key()]
    for depth in range(1, 4):
        out.append(island.issue_credential(child_pk, "node", depth, SCOPE, b""))
    for wire in wires:
        for now in (50, 150):
            try:
                out.append(vk.verify_delegation(island.public_key(), wire, now))
            except ValueError as error:
                out.append(error.args)
    for bad_depth in (Depth(1, refuse), 2**40):
        try:
            island.issue_credential(child_pk, "node", bad_depth, SCOPE, b"")
        except (Refused, OverflowError) as error:
            out.append((type(error), error.args))
    return out


@pytest.fixture
def switch_often():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def run_threads(body):
    start = threading.Barrier(THREADS)
    results, errors = [None] * THREADS, []

    def run(i):
        try:
            start.wait()
            results[i] = body(i)
        except BaseException as error:  # reported below, not lost in the thread
            errors.append(error)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert errors == [] and not any(thread.is_alive() for thread in threads)
    return results


def test_threads_get_what_one_thread_gets(probe, shared, switch_often):
    island, child_pk, wires = shared
    expected = work(island, child_pk, wires)
    expired = ("KernelError::NotAfterViolation",)
    assert expected[4:8] == [1, expired, 2, expired] and expected[8][0] is Refused
    assert run_threads(lambda i: [work(island, child_pk, wires) for _ in range(3)]) == [[expected] * 3] * THREADS
    assert probe.hold_count(island) == 0
    assert island.public_key() == expected[0]


def test_the_hold_counts_calls_in_progress(probe, shared):
    island, child_pk, _ = shared
    seen = []
    inner = Depth(2, lambda: seen.append(probe.hold_count(island)))
    outer = Depth(1, lambda: (seen.append(probe.hold_count(island)),
                              island.issue_credential(child_pk, "leaf", inner, SCOPE, b"")))
    assert probe.hold_count(island) == 0
    island.issue_credential(child_pk, "node", outer, SCOPE, b"")
    assert seen == [1, 2] and probe.hold_count(island) == 0
    with pytest.raises(TypeError, match="cannot be converted to 'IdentityIsland'"):
        probe.hold_count(child_pk)


def test_holds_overlap_across_threads_and_all_come_back(probe, shared, switch_often):
    """Each thread parks inside a call on the shared instance until all are
    inside, so the calls really are in progress together; half of them then
    fail in conversion."""
    island, child_pk, _ = shared
    inside, leave = threading.Barrier(THREADS), threading.Barrier(THREADS)
    peaks = []

    def park():
        inside.wait(60)
        peaks.append(probe.hold_count(island))
        leave.wait(60)

    def body(i):
        depth = Depth(1, park) if i % 2 else Depth(1, lambda: (park(), refuse()))
        try:
            return island.issue_credential(child_pk, "node", depth, SCOPE, b"")
        except Refused:
            return "refused"

    results = run_threads(body)
    assert peaks == [THREADS] * THREADS
    assert results.count("refused") == THREADS // 2
    assert len({r for r in results if r != "refused"}) == 1
    assert probe.hold_count(island) == 0
