#!/usr/bin/env python3
"""Runs the module's pytest suite under several CPythons against one build.

The module is a single stable-ABI shared object, so the same file must load
and pass under the oldest and the newest interpreter present (pyenv's) and
under Debian's own python3. The interpreter running this script is added when
it is another one, since it may offer optional test dependencies. Absent
interpreters are skipped; it is an error if none ran. pytest comes from
Debian's dist-packages, which pyenv interpreters lack: that directory is
appended to their path (never prepended, so their own standard library wins).

    python3 kernel-py/tests/run_all.py --build build
"""

import argparse
import os
import re
import subprocess
import sys
from pathlib import Path

TESTS = Path(__file__).resolve().parent
DEBIAN_PYTHON = Path("/usr/bin/python3")
DIST_PACKAGES = "/usr/lib/python3/dist-packages"
OLDEST_SUPPORTED = (3, 9)

BOOTSTRAP = (
    "import sys; sys.path.append({dist!r}); import pytest; "
    "sys.exit(pytest.main(sys.argv[1:]))"
).format(dist=DIST_PACKAGES)


def pyenv_interpreters():
    """(version, path) of each pyenv CPython 3.9 or later, oldest first."""
    root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    found = []
    for entry in root.glob("*") if root.is_dir() else []:
        match = re.fullmatch(r"(\d+)\.(\d+)\.(\d+)", entry.name)
        python = entry / "bin" / "python3"
        if match and python.exists():
            version = tuple(int(part) for part in match.groups())
            if version[:2] >= OLDEST_SUPPORTED:
                found.append((version, python))
    return sorted(found)


def interpreters():
    chosen = []
    pyenv = pyenv_interpreters()
    if pyenv:
        chosen += [pyenv[0][1], pyenv[-1][1]]
    if DEBIAN_PYTHON.exists():
        chosen.append(DEBIAN_PYTHON)
    chosen.append(Path(sys.executable))
    unique, seen = [], set()
    for python in chosen:
        real = os.path.realpath(python)
        if real not in seen:
            seen.add(real)
            unique.append(python)
    return unique


def version_of(python):
    out = subprocess.run([str(python), "-c", "import sys; print(sys.version_info[:2] >= (3, 9), sys.version.split()[0])"],
                         capture_output=True, text=True)
    if out.returncode != 0:
        return None
    supported, version = out.stdout.split()
    return version if supported == "True" else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="CMake build directory (default: build)")
    parser.add_argument("pytest_args", nargs="*", help="extra arguments for pytest")
    options = parser.parse_args()
    build = Path(options.build).resolve()

    env = dict(os.environ, VESTREL_KERNEL_BUILD=str(build), PYTHONDONTWRITEBYTECODE="1")
    results = []
    for python in interpreters():
        version = version_of(python)
        if version is None:
            print(f"run_all: skipping {python}: not a usable CPython 3.9+", flush=True)
            continue
        print(f"run_all: === CPython {version} ({python}) ===", flush=True)
        command = [str(python), "-c", BOOTSTRAP, "-q", "-p", "no:cacheprovider",
                   # Older pytest releases trip newer interpreters' ast deprecations.
                   "-W", "ignore::DeprecationWarning", "--build", str(build), str(TESTS),
                   *options.pytest_args]
        code = subprocess.run(command, env=env, cwd=TESTS).returncode
        results.append((version, python, code))

    print("run_all: summary")
    for version, python, code in results:
        print(f"  CPython {version:<8} {'passed' if code == 0 else f'FAILED ({code})'}  {python}")
    if not results:
        print("run_all: no interpreter ran the tests")
        return 1
    return 0 if all(code == 0 for _, _, code in results) else 1


if __name__ == "__main__":
    sys.exit(main())
