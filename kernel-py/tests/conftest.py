"""Puts the built modules on sys.path and offers the shared test material.

The build directory comes from --build or VESTREL_KERNEL_BUILD (default:
<repo>/build); the modules are looked for in its kernel-py/ subdirectory, and
the `vestrel` package in its python/ subdirectory.
"""

import hashlib
import hmac
import os
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]


def pytest_addoption(parser):
    parser.addoption("--build", default=None, help="CMake build directory holding kernel-py/")


def pytest_configure(config):
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
def vk():
    import vestrel_kernel

    return vestrel_kernel


@pytest.fixture(scope="session")
def probe():
    return pytest.importorskip("vestrel_fault_probe", reason="built only with VESTREL_BUILD_TESTS")


@pytest.fixture(scope="session")
def identities(vk):
    """Identities by name, derived once per session."""
    cache = {}

    def get(name):
        if name not in cache:
            cache[name] = vk.IdentityIsland(MASTER, b"tests", name.encode())
        return cache[name]

    return get


def payload_bytes(child_pk=bytes(PK_LEN), role=0, depth=1, scope=b"\x00\x00", caveats=b"",
                  scope_len=None, caveats_len=None, tail=b""):
    """A payload laid out by hand, with length fields that may lie."""
    le32 = lambda n: n.to_bytes(4, "little")
    return (child_pk + bytes([role]) + le32(depth)
            + le32(len(scope) if scope_len is None else scope_len) + scope
            + le32(len(caveats) if caveats_len is None else caveats_len) + caveats + tail)


def derived_seed(master, deployment, context):
    """The ML-DSA seed an identity is generated from: HKDF over HMAC-SHA3-512."""
    prk = hmac.new(b"Vestrel-Kernel-v1", master, hashlib.sha3_512).digest()
    return hmac.new(prk, deployment + b":" + context + b"\x01", hashlib.sha3_512).digest()[:32]


def resident_kb():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096 // 1024


def under_address_sanitizer():
    """Whether ASan's runtime is loaded (scripts/test_sanitized.sh). It holds
    freed memory back from reuse, so resident size then tells nothing of leaks."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def mldsa_or_skip():
    """The independent ML-DSA-65 implementation, where the interpreter has one."""
    try:
        from cryptography.hazmat.primitives.asymmetric import mldsa
    except ImportError:
        pytest.skip("no ML-DSA in this interpreter's cryptography package")
    return mldsa
