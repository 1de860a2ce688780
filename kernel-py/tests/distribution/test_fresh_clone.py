"""A plain clone, with no ../shared beside it, builds and passes: the README's
demo command runs, the ML-DSA vector tests of both suites skip and say why,
and nothing the build writes shows up in git status.

The whole suite is not run again in the clone (that is scripts/test.sh's job
in CI); the clone builds only the module and the kernel's test binary."""

import os
from pathlib import Path

from conftest import DEBIAN_PYTHON, builds_once, run_checked as run

REPO = Path(__file__).resolve().parents[3]
SKIP_REASON = "no ML-DSA vectors at "

pytestmark = builds_once("builds a clone once per suite, under Debian's python3")


def test_plain_clone_builds_and_skips_the_external_vectors(tmp_path):
    clone = tmp_path / "clone"
    run(["git", "clone", "--quiet", REPO, clone])
    assert not (tmp_path / "shared").exists()
    head = run(["git", "-C", REPO, "rev-parse", "HEAD"]).stdout
    assert run(["git", "-C", clone, "rev-parse", "HEAD"]).stdout == head
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PYTHON", "VESTREL_", "PYTEST"))}

    demo = run(["bash", clone / "scripts" / "demo.sh"], env=env)
    assert "verified at NOW + 60: 2 credentials" in demo.stdout

    build = clone / "build"
    run(["cmake", "--build", build, "-j", str(os.cpu_count() or 1), "--target", "kernel_tests"],
        env=env)
    ctest = run(["ctest", "--test-dir", build, "-V", "-R", "MlDsa65Vectors"], env=env)
    assert ctest.stdout.count("[  SKIPPED ]") >= 1 and SKIP_REASON in ctest.stdout, ctest.stdout
    pytest_run = run([DEBIAN_PYTHON, "-m", "pytest", "-q", "-rs", "-p", "no:cacheprovider",
                      "--build", build, clone / "kernel-py" / "tests" / "test_verify.py"],
                     env=env, cwd=clone / "kernel-py" / "tests")
    skipped = [line for line in pytest_run.stdout.splitlines() if line.startswith("SKIPPED")]
    assert any(SKIP_REASON in line for line in skipped), pytest_run.stdout

    # Build outputs are ignored by git.
    assert run(["git", "-C", clone, "status", "--porcelain"]).stdout == ""
