"""The source release carries the pinned ML-DSA sources with their licences and
builds a working wheel with npm unreachable and never started."""

import hashlib
import os
import socket
import tarfile
import zipfile
from pathlib import Path

import pytest

from conftest import DEBIAN_PYTHON, builds_once, run_checked as run

REPO = Path(__file__).resolve().parents[3]
SHIPPED = "deps/pqclean"
MLDSA = f"{SHIPPED}/deps/PQClean/crypto_sign/ml-dsa-65/clean"

pytestmark = builds_once("builds once per suite, under Debian's python3, which carries setuptools and build")


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    out = tmp_path_factory.mktemp("sdist")
    run([DEBIAN_PYTHON, "-m", "build", "--sdist", "--no-isolation", "-o", out, REPO])
    [archive] = out.glob("*.tar.gz")
    return archive


def test_release_holds_the_pinned_sources_and_their_licences(sdist):
    with tarfile.open(sdist) as archive:
        top = archive.getnames()[0].split("/")[0]
        names = {name[len(top) + 1:] for name in archive.getnames()}
        stamp = archive.extractfile(f"{top}/{SHIPPED}/LOCK_SHA256").read().decode().strip()
    assert {f"{SHIPPED}/LICENSE", f"{MLDSA}/LICENSE", f"{MLDSA}/sign.c",
            f"{SHIPPED}/deps/PQClean/common/fips202.c", "tools/elf_policy.py", "CHANGELOG.md",
            "setup.py", "pyproject.toml"} <= names
    assert stamp == hashlib.sha256((REPO / "deps" / "package-lock.json").read_bytes()).hexdigest()
    # The repository itself never holds them.
    tracked = run(["git", "-C", REPO, "ls-files", "deps"]).stdout.split()
    assert sorted(tracked) == ["deps/package-lock.json", "deps/package.json"]


def closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_wheel_builds_from_the_release_without_npm(tmp_path, sdist):
    with tarfile.open(sdist) as archive:
        archive.extractall(tmp_path)
    [source] = tmp_path.glob("vestrel-kernel-*")
    # Any npm the build starts writes down its arguments and fails.
    shim, calls = tmp_path / "shim", tmp_path / "npm-calls"
    shim.mkdir()
    (shim / "npm").write_text(f'#!/bin/sh\necho "$@" >> {calls}\nexit 1\n')
    (shim / "npm").chmod(0o755)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "PIP_", "VESTREL_"))}
    env.update(PATH=f"{shim}:{os.environ['PATH']}", PIP_NO_INDEX="1",
               PIP_DISABLE_PIP_VERSION_CHECK="1",
               npm_config_registry=f"http://127.0.0.1:{closed_port()}/")
    # Whether the release builds is the question, not how fast its code runs:
    # -O1 without debug information compiles in a third of the time.
    env["VESTREL_CMAKE_ARGS"] = ("-DVESTREL_MLDSA_OPTIMIZE=-O1 "
                                 "'-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -DNDEBUG' "
                                 "'-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -DNDEBUG'")
    out = tmp_path / "wheel"
    built = run([DEBIAN_PYTHON, "-m", "pip", "wheel", "-v", "--no-build-isolation", "--no-deps",
                 "-w", out, source], env=env)
    assert not calls.exists(), calls.read_text()
    assert "Using the ML-DSA sources shipped in deps/pqclean" in built.stdout + built.stderr

    # The wheel works: its module runs the example.
    [wheel] = out.glob("*-cp39-abi3-manylinux_2_28_x86_64.whl")
    zipfile.ZipFile(wheel).extractall(tmp_path / "site")
    example = run([DEBIAN_PYTHON, REPO / "examples" / "delegation.py"], cwd=tmp_path,
                  env={**env, "PYTHONPATH": str(tmp_path / "site")})
    assert "verified at NOW + 60: 2 credentials" in example.stdout
