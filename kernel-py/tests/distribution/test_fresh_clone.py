"""A plain clone, with no ../shared beside it, configures without it, its
ML-DSA vector tests would look for the vectors where there are none, the
vector tests of both suites skip there and say why, and nothing configuring
writes shows up in git status.

The clone is configured, not built: compiling it would repeat the whole
build, and building and running the demo from a fresh clone is what CI does
with its own. The suite's own test binary and module are pointed at the
clone's missing folder instead, which is the one thing a plain clone changes
for them."""

import os
import re
from pathlib import Path

from conftest import DEBIAN_PYTHON, builds_once, run_checked as run

REPO = Path(__file__).resolve().parents[3]
SKIP_REASON = "no ML-DSA vectors at "

pytestmark = builds_once("configures a clone once per suite, under Debian's python3")


def test_plain_clone_configures_and_skips_the_external_vectors(tmp_path):
    clone = tmp_path / "clone"
    run(["git", "clone", "--quiet", REPO, clone])
    assert not (tmp_path / "shared").exists()
    head = run(["git", "-C", REPO, "rev-parse", "HEAD"]).stdout
    assert run(["git", "-C", clone, "rev-parse", "HEAD"]).stdout == head
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PYTHON", "VESTREL_", "PYTEST"))}

    build = clone / "build"
    run(["cmake", "-S", clone, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
         "-DVESTREL_BUILD_TESTS=ON"], env=env)
    flags = (build / "kernel" / "tests" / "CMakeFiles" / "kernel_tests.dir" / "flags.make")
    found = re.search(r'VESTREL_VECTORS_DIR=\\?"([^"\\]+)\\?"', flags.read_text())
    assert found, "the kernel's tests are not told where the vectors are"
    missing = Path(found.group(1))
    assert missing.resolve() == (tmp_path / "shared" / "vectors").resolve() and not missing.exists()

    suite = Path(os.environ["VESTREL_KERNEL_MODULE_DIR"]).parent
    there = {**env, "VESTREL_SHARED_VECTORS": str(missing)}
    kernel_tests = suite / "kernel" / "tests" / "kernel_tests"
    assert kernel_tests.exists(), f"{kernel_tests}: the suite's tree is built with its tests"
    gtest = run([kernel_tests, "--gtest_filter=*MlDsa65Vectors*"], env=there)
    assert gtest.stdout.count("[  SKIPPED ]") >= 1 and SKIP_REASON in gtest.stdout, gtest.stdout
    pytest_run = run([DEBIAN_PYTHON, "-m", "pytest", "-q", "-rs", "-p", "no:cacheprovider",
                      "--build", suite, REPO / "kernel-py" / "tests" / "test_verify.py"],
                     env=there, cwd=REPO / "kernel-py" / "tests")
    skipped = [line for line in pytest_run.stdout.splitlines() if line.startswith("SKIPPED")]
    assert any(SKIP_REASON + str(missing) in line for line in skipped), pytest_run.stdout

    # What configuring writes (the fetched ML-DSA sources among it) is ignored by git.
    assert run(["git", "-C", clone, "status", "--porcelain"]).stdout == ""
