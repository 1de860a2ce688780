#!/usr/bin/env python3
"""Runs the module's pytest suite under several CPythons against one build.

The module is a single stable-ABI shared object, so the same file must load
and pass under every interpreter from 3.9 on. What runs where:

  oldest, newest  the full suite, under the oldest and the newest pyenv CPython
  debian          Debian's own python3: the tests that run once per suite
                  (builds, installs, mypy; only its dist-packages carry what
                  they need) and the load-and-smoke files (conftest.SMOKE_FILES)
  current         the interpreter running this script, when it is another
                  one: the load-and-smoke files

Without pyenv interpreters Debian's python3 is the oldest and the newest and
runs everything. Absent interpreters are skipped; it is an error if none ran.
pytest comes from Debian's dist-packages, which pyenv interpreters lack: that
directory is appended to their path (never prepended, so their own standard
library wins).

    python3 kernel-py/tests/run_all.py --build build            every role
    python3 kernel-py/tests/run_all.py --build build --only newest
    python3 kernel-py/tests/run_all.py --build B --python P --smoke   one interpreter
"""

import argparse
import ast
import os
import re
import subprocess
import sys
import time
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


ROLES = ("oldest", "newest", "debian", "current")
# pytest's -m expression for each selection; None runs everything.
SELECTIONS = {"full": None, "smoke": "smoke", "once+smoke": "smoke or once_per_suite"}


def plan():
    """[(role, interpreter, selection)], each interpreter once."""
    chosen = []
    pyenv = pyenv_interpreters()
    if pyenv:
        chosen += [("oldest", pyenv[0][1], "full"), ("newest", pyenv[-1][1], "full")]
    if DEBIAN_PYTHON.exists():
        chosen.append(("debian", DEBIAN_PYTHON, "once+smoke" if pyenv else "full"))
    chosen.append(("current", Path(sys.executable), "smoke"))
    unique, seen = [], set()
    for role, python, selection in chosen:
        real = os.path.realpath(python)
        if real not in seen:
            seen.add(real)
            unique.append((role, python, selection))
    return unique


def smoke_files():
    """The load-and-smoke files (conftest.SMOKE_FILES), given to pytest by
    name: collecting every file only to deselect most of them took longer
    than the smoke tests themselves under emulation and the sanitizers."""
    tree = ast.parse((TESTS / "conftest.py").read_text())
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", "") == "SMOKE_FILES"
                                                for t in node.targets):
            return [str(TESTS / name) for name in ast.literal_eval(node.value)]
    raise SystemExit("run_all: conftest.py names no SMOKE_FILES")


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
    parser.add_argument("--only", action="append", choices=ROLES, default=[],
                        help="run only this role's interpreter (repeatable)")
    parser.add_argument("--python", action="append", default=[],
                        help="run this interpreter instead of the discovered ones (repeatable)")
    parser.add_argument("--smoke", action="store_true",
                        help="the load-and-smoke files only, whatever the role")
    parser.add_argument("pytest_args", nargs="*", help="extra arguments for pytest")
    options = parser.parse_args()
    build = Path(options.build).resolve()

    if options.python:
        runs = [("given", Path(python), "full") for python in options.python]
    else:
        runs = [run for run in plan() if not options.only or run[0] in options.only]
    env = dict(os.environ, VESTREL_KERNEL_BUILD=str(build), PYTHONDONTWRITEBYTECODE="1")
    results = []
    for role, python, selection in runs:
        selection = "smoke" if options.smoke else selection
        version = version_of(python)
        if version is None:
            print(f"run_all: skipping {python}: not a usable CPython 3.9+", flush=True)
            continue
        print(f"run_all: === CPython {version} ({python}), {role}: {selection} ===", flush=True)
        marks = SELECTIONS[selection]
        command = [str(python), "-c", BOOTSTRAP, "-q", "-p", "no:cacheprovider",
                   # Older pytest releases trip newer interpreters' ast deprecations.
                   "-W", "ignore::DeprecationWarning", "--build", str(build),
                   *(smoke_files() if selection == "smoke" else [str(TESTS)]),
                   *(["-m", marks] if marks else []), *options.pytest_args]
        started = time.monotonic()
        code = subprocess.run(command, env=env, cwd=TESTS).returncode
        results.append((version, python, selection, code, time.monotonic() - started))

    print("run_all: summary")
    for version, python, selection, code, seconds in results:
        outcome = "passed" if code == 0 else f"FAILED ({code})"
        print(f"  CPython {version:<8} {selection:<10} {outcome:<10} {seconds:6.1f}s  {python}")
    if not results:
        print("run_all: no interpreter ran the tests")
        return 1
    return 0 if all(code == 0 for *_, code, _ in results) else 1


if __name__ == "__main__":
    sys.exit(main())
