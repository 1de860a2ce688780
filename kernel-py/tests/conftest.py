"""Puts the built modules on sys.path and offers the shared test material.

The build directory comes from --build or VESTREL_KERNEL_BUILD (default:
<repo>/build); the modules are looked for in its kernel-py/ subdirectory, and
the `vestrel` package in its python/ subdirectory.
"""

from __future__ import annotations

import fnmatch
import hashlib
import importlib
import hmac
import io
import os
import subprocess
import sys
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING, Any, Callable, Dict, List, NoReturn, Optional, Sequence, Union

import pytest

if TYPE_CHECKING:
    import vestrel_kernel

REPO = Path(__file__).resolve().parents[2]


def _hypothesis_without_foreign_plugins() -> None:
    """Imports Hypothesis without the plugins other interpreters' packages
    register. Hypothesis loads every "hypothesis" entry point it can see at
    import, and Debian's pydantic 1 (there for Debian's FastAPI) registers
    one that does not import under the newer pyenv interpreters, which see
    Debian's packages after their own."""
    if sys.executable.startswith("/usr/bin/"):
        return
    import importlib.metadata as metadata

    every = metadata.entry_points

    def entry_points(**select: Any) -> Any:
        found: Any = every(**select)
        if select.get("group") == "hypothesis":
            return [entry for entry in found if not entry.value.startswith("pydantic")]
        return found

    metadata.entry_points = entry_points
    try:
        import hypothesis  # noqa: F401
    except ImportError:
        pass
    finally:
        metadata.entry_points = every


_hypothesis_without_foreign_plugins()


# A load-and-smoke run (run_all.py: the interpreters other than the oldest and
# the newest, and the emulated aarch64 one) takes these files: both modules
# load, derive identities, issue and verify chains, replay the committed and the
# published vectors and refuse bad ones. The full suite runs on the oldest and
# the newest interpreter (scripts/test.sh: the newest plainly, the oldest under
# the sanitizers and plainly for the tests marked plain_only below); the module
# is one stable-ABI file for all of them.
SMOKE_FILES = ("test_linkage.py", "test_identity.py", "test_chain.py", "test_verify.py",
               "test_vestrel.py", "distribution/test_conformance_vectors.py")
# Tests that run under Debian's python3 alone say so in their skip reason.
ONCE_PER_SUITE = "once per suite"
# Marked plain_only, and left to the plain runs when ASan is loaded: the
# command-line tests, whose
# every case starts an interpreter (seconds each under ASan) to run Python
# over the same native calls the in-process tests drive with every hostile
# input; the tests that count memory and references over 10^5 calls, which
# ASan's allocator makes slow and whose counts it does not change; and the
# tests of what the service layer decides around a check (Redis state, the
# guards, the route guard, the servers' wiring), whose native calls are
# ordinary checks of ordinary requests; likewise the pages run as pasted, the
# asyncio drivers of the request check, and the pure-Python reference signer,
# whose native calls are plain signings.
NOT_UNDER_SANITIZERS = (
    "distribution/test_cli.py", "distribution/test_cli_issue.py",
    "test_hostile_arguments.py::test_memory_stays_flat_over_a_hundred_thousand_calls",
    "test_resources.py::test_calls_leave_no_reference_or_memory_behind",
    "test_redis*.py", "test_guards*.py", "test_route_guard.py", "test_http_servers.py",
    "test_guide.py", "test_keys_doc.py", "test_async_checks.py",
    "distribution/test_conformance_vectors.py::test_reference_signer_reproduces_the_module_exactly")


def pytest_collection_modifyitems(items: List[pytest.Item]) -> None:
    """Marks each test for run_all.py's selections (-m smoke, -m once_per_suite,
    -m plain_only)."""
    tests = Path(__file__).resolve().parent
    sanitized = under_address_sanitizer()
    for item in items:
        where = item.path.relative_to(tests).as_posix() if item.path.is_relative_to(tests) else ""
        if where in SMOKE_FILES:
            item.add_marker(pytest.mark.smoke)
        name = f"{where}::{getattr(item, 'originalname', item.name)}"
        if any(fnmatch.fnmatchcase(where, pattern) or name == pattern
               for pattern in NOT_UNDER_SANITIZERS):
            item.add_marker(pytest.mark.plain_only)
            if sanitized:
                item.add_marker(pytest.mark.skip(reason="left to the runs without sanitizers"))
        if any(ONCE_PER_SUITE in str(mark.kwargs.get("reason", ""))
               for mark in item.iter_markers("skipif")):
            item.add_marker(pytest.mark.once_per_suite)


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addoption("--build", default=None, help="CMake build directory holding kernel-py/")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "smoke: in the load-and-smoke run (SMOKE_FILES)")
    config.addinivalue_line("markers", "once_per_suite: runs under Debian's python3 only")
    config.addinivalue_line("markers", "plain_only: skipped under the sanitizers "
                                       "(NOT_UNDER_SANITIZERS)")
    build = Path(config.getoption("--build") or os.environ.get("VESTREL_KERNEL_BUILD") or REPO / "build")
    module_dir = build / "kernel-py" if (build / "kernel-py").is_dir() else build
    if not any(module_dir.glob("vestrel_kernel*.so")):
        raise pytest.UsageError(f"vestrel_kernel is not built in {module_dir}")
    sys.path.insert(0, str(module_dir.resolve()))
    os.environ["VESTREL_KERNEL_MODULE_DIR"] = str(module_dir.resolve())
    package_dir = module_dir.parent / "python"
    if (package_dir / "vestrel").is_dir():
        sys.path.insert(0, str(package_dir.resolve()))
        os.environ["VESTREL_PACKAGE_DIR"] = str(package_dir.resolve())


MASTER = bytes(range(32))
PK_LEN, SIG_LEN = 1952, 3309


@pytest.fixture(scope="session")
def vk() -> ModuleType:
    import vestrel_kernel

    return vestrel_kernel


@pytest.fixture(scope="session")
def probe() -> ModuleType:
    module: ModuleType = pytest.importorskip("vestrel_fault_probe",
                                             reason="built only with VESTREL_BUILD_TESTS")
    return module


@pytest.fixture(scope="session")
def identities(vk: ModuleType) -> Callable[[str], vestrel_kernel.IdentityIsland]:
    """Identities by name, derived once per session."""
    cache: Dict[str, vestrel_kernel.IdentityIsland] = {}

    def get(name: str) -> vestrel_kernel.IdentityIsland:
        if name not in cache:
            cache[name] = vk.IdentityIsland(MASTER, b"tests", name.encode())
        return cache[name]

    return get


def payload_bytes(child_pk: bytes = bytes(PK_LEN), role: int = 0, depth: int = 1,
                  scope: bytes = b"\x00\x00", caveats: bytes = b"", scope_len: Optional[int] = None,
                  caveats_len: Optional[int] = None, tail: bytes = b"") -> bytes:
    """A payload laid out by hand, with length fields that may lie."""
    le32: Callable[[int], bytes] = lambda n: n.to_bytes(4, "little")
    return (child_pk + bytes([role]) + le32(depth)
            + le32(len(scope) if scope_len is None else scope_len) + scope
            + le32(len(caveats) if caveats_len is None else caveats_len) + caveats + tail)


def derived_seed(master: bytes, deployment: bytes, context: bytes) -> bytes:
    """The ML-DSA seed an identity is generated from: HKDF over HMAC-SHA3-512."""
    prk = hmac.new(b"Vestrel-Kernel-v1", master, hashlib.sha3_512).digest()
    return hmac.new(prk, deployment + b":" + context + b"\x01", hashlib.sha3_512).digest()[:32]


def resident_kb() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096 // 1024


def under_address_sanitizer() -> bool:
    """Whether ASan's runtime is loaded (scripts/test_sanitized.sh). It holds
    freed memory back from reuse, so resident size then tells nothing of leaks."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def examples(count: int) -> int:
    """How many examples a property test draws: `count` in the plain runs, a
    quarter of it (at least 20) under the sanitizers. The plain run of the
    newest interpreter draws them all; under ASan the question is whether the
    native code ever touches memory it should not, which the fuzz targets ask
    of it with far more inputs than a Python test can afford there."""
    return max(20, count // 4) if under_address_sanitizer() else count


DEBIAN_PYTHON = "/usr/bin/python3"


def builds_once(reason: str, can_build: bool = True) -> List[pytest.MarkDecorator]:
    """Marks for a test that builds or installs once per suite: only under
    Debian's python3, which carries setuptools, build and pyelftools, and never
    on a sanitized tree, whose modules need the sanitizers' runtimes (which no
    wheel may) and whose runtimes every program started here would carry."""
    return [
        pytest.mark.skipif(os.path.realpath(sys.executable) != os.path.realpath(DEBIAN_PYTHON)
                           or not can_build, reason=reason),
        pytest.mark.skipif(under_address_sanitizer(), reason="not on a sanitized build"),
    ]


def run_checked(cmd: Sequence[object], **kwargs: Any) -> subprocess.CompletedProcess[str]:
    """Runs a build or install step; a failure shows the command and the end of
    what it printed."""
    done = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=1800,
                          **kwargs)
    assert done.returncode == 0, f"{cmd}\n{done.stdout[-4000:]}\n{done.stderr[-4000:]}"
    return done


def shared_vectors_dir() -> Path:
    """The published ML-DSA vectors kept beside the repository, not in it
    (../shared/vectors, or wherever VESTREL_SHARED_VECTORS points)."""
    return Path(os.environ.get("VESTREL_SHARED_VECTORS") or REPO.parent / "shared" / "vectors")


def missing_shared_vectors() -> NoReturn:
    """Skips the calling test, saying why, where a plain clone has no vectors;
    a failure instead under VESTREL_REQUIRE_SHARED_VECTORS=1, which CI sets so
    that they are never skipped there."""
    where = shared_vectors_dir()
    if os.environ.get("VESTREL_REQUIRE_SHARED_VECTORS") == "1":
        pytest.fail(f"no ML-DSA vectors at {where} and VESTREL_REQUIRE_SHARED_VECTORS=1")
    pytest.skip(f"no ML-DSA vectors at {where} (set VESTREL_SHARED_VECTORS to their folder)")


def mldsa_or_skip() -> ModuleType:
    """The independent ML-DSA-65 implementation, where the interpreter has one."""
    try:
        # By name: not every cryptography release a type checker sees has it.
        return importlib.import_module("cryptography.hazmat.primitives.asymmetric.mldsa")
    except ImportError:
        pytest.skip("no ML-DSA in this interpreter's cryptography package")


def issue_unchecked(wire: Optional[bytes], issuer: vestrel_kernel.IdentityIsland, child_pk: bytes,
                    role: str, perms: Sequence[Any], not_before: Optional[int] = None,
                    not_after: Optional[int] = None) -> bytes:
    """The next credential of ``wire`` issued and framed with the module alone,
    whatever the chain's rules say: the chains vestrel.delegate refuses to make."""
    import vestrel_kernel as vk

    credentials = vk.decode_chain(wire) if wire is not None else []
    records = (b"" if not_before is None else vk.not_before(not_before)) + (
        b"" if not_after is None else vk.not_after(not_after))
    payload, sig = issuer.issue_credential(child_pk, role, len(credentials) + 1,
                                           b"".join(vk.perm_tlv(r, v) for r, v in perms), records)
    return vk.encode_chain(credentials + [(issuer.public_key(), sig, payload)])


def run_cli(*args: object, stdin: Union[str, bytes, None] = None) -> "subprocess.CompletedProcess[Any]":
    """The command run in this process, its standard streams in memory, as
    `python -m vestrel` would run it: most cases only need its answer, and an
    interpreter started for each one took most of this file's time. What only
    a process shows (closed or full streams, pipes, the entry point) is run
    in one by the tests that need it."""
    import vestrel.cli

    text = isinstance(stdin, (str, type(None)))
    given = (stdin.encode() if isinstance(stdin, str) else stdin) or b""
    out, err = io.BytesIO(), io.BytesIO()
    streams = (io.TextIOWrapper(io.BytesIO(given), encoding="utf-8"),
               io.TextIOWrapper(out, encoding="utf-8", write_through=True),
               io.TextIOWrapper(err, encoding="utf-8", errors="backslashreplace",
                                write_through=True))
    saved = sys.stdin, sys.stdout, sys.stderr
    sys.stdin, sys.stdout, sys.stderr = streams
    try:
        vestrel.cli.main([str(a) for a in args])
    except SystemExit as stop:
        status = stop.code
    else:
        raise AssertionError("vestrel.cli.main returned instead of exiting")
    finally:
        sys.stdin, sys.stdout, sys.stderr = saved
    assert isinstance(status, int), status
    answers: List[Any] = [out.getvalue(), err.getvalue()]
    if text:  # as subprocess.run(text=True) reads them: universal newlines
        answers = [a.decode().replace("\r\n", "\n").replace("\r", "\n") for a in answers]
    return subprocess.CompletedProcess(["vestrel", *map(str, args)], status, *answers)
