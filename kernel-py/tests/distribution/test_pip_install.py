"""pip builds one cp39-abi3 manylinux_2_28 wheel, and it installs and runs in
fresh venvs of the oldest and the newest CPython on the machine; an older one
is refused.

This machine has no package index, so the wheel is built the documented
offline way: Debian's python3 with its own setuptools and wheel, without build
isolation. The CMake tree that the suite was built in is reused, so the build
step only relinks what changed.
"""

import json
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from conftest import DEBIAN_PYTHON, builds_once, run_checked

REPO = Path(__file__).resolve().parents[3]
EXAMPLE = REPO / "examples" / "delegation.py"
PACKAGE_EXAMPLE = REPO / "examples" / "authorize.py"

pytestmark = builds_once("builds and installs once per suite, under Debian's python3, which carries setuptools")


def run(cmd, **kwargs):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "PIP_"))}
    env.update(kwargs.pop("env", {}), PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INDEX="1")
    return run_checked(cmd, env=env, **kwargs)


def oldest_and_newest():
    root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    found = sorted((tuple(map(int, m.groups())), root / m.group(0) / "bin" / "python3")
                   for m in (re.fullmatch(r"(\d+)\.(\d+)\.(\d+)", p.name) for p in root.glob("*"))
                   if m and tuple(map(int, m.groups()))[:2] >= (3, 9))
    pythons = [found[0][1], found[-1][1]] if found else [Path(DEBIAN_PYTHON)]
    return list(dict.fromkeys(pythons))


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    cmake_tree = Path(os.environ["VESTREL_KERNEL_MODULE_DIR"]).parent
    env = {"VESTREL_CMAKE_BUILD_DIR": str(cmake_tree)} if (cmake_tree / "CMakeCache.txt").exists() else {}
    run([DEBIAN_PYTHON, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", out, REPO],
        env=env)
    wheels = list(out.glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def project_version():
    text = (REPO / "pyproject.toml").read_text()
    return re.search(r'^version = "([^"]+)"', text, re.MULTILINE).group(1)


def test_one_stable_abi_wheel_with_module_and_stubs(wheel):
    version = project_version()
    assert wheel.name == f"vestrel_kernel-{version}-cp39-abi3-manylinux_2_28_x86_64.whl"
    archive = zipfile.ZipFile(wheel)
    names = set(archive.namelist())
    assert {"vestrel_kernel.abi3.so", "vestrel_kernel-stubs/__init__.pyi", "vestrel/__init__.py",
            "vestrel/_native.abi3.so", "vestrel/_native.pyi", "vestrel/py.typed",
            "vestrel/_version.py", "vestrel/cli.py"} <= names
    assert not any(name.endswith((".cc", ".h", ".o", ".a", ".debug")) for name in names)
    entry_points = next(n for n in names if n.endswith(".dist-info/entry_points.txt"))
    assert "vestrel = vestrel.cli:main" in archive.read(entry_points).decode()
    metadata = archive.read(f"vestrel_kernel-{version}.dist-info/METADATA").decode()
    assert f"\nVersion: {version}\n" in metadata and "\nRequires-Python: >=3.9\n" in metadata
    # The one version number, and a CHANGELOG section for it.
    assert f"\n## {version}\n" in (REPO / "CHANGELOG.md").read_text()


def test_every_module_in_the_wheel_passes_the_policy_and_keeps_its_debug_file(wheel):
    sys.path.insert(0, str(REPO / "tools"))
    import elf_policy

    checked = elf_policy.check_path(wheel)
    assert checked and all(breaches == [] for _, breaches, _ in checked), checked
    assert sorted(name for name, _, _ in checked) == ["vestrel/_native.abi3.so", "vestrel_kernel.abi3.so"]
    # Each stripped module names its debug file, which stays in the CMake tree
    # beside the build's own copy of the module.
    cmake_tree = Path(os.environ["VESTREL_KERNEL_MODULE_DIR"]).parent
    built_at = {"vestrel_kernel.abi3.so": "kernel-py", "vestrel/_native.abi3.so": "python/vestrel"}
    for name, _, _ in checked:
        shipped = zipfile.ZipFile(wheel).read(name)
        debug = cmake_tree / built_at[name] / (Path(name).name + ".debug")
        assert debug.name.encode() in shipped and debug.stat().st_size > len(shipped)


def test_an_interpreter_older_than_3_9_is_refused_by_pip(tmp_path, wheel):
    """pip reads the wheel's tag (cp39-abi3) before its Requires-Python and
    refuses there; nothing is installed that could fail on import."""
    root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    old = sorted(p for p in root.glob("3.[5-8].*") if (p / "bin" / "python3").exists())
    if not old:
        pytest.skip("no CPython older than 3.9 on this machine")
    python = old[-1] / "bin" / "python3"
    target = tmp_path / "site"
    done = subprocess.run([str(python), "-m", "pip", "install", "--no-index", "--target", str(target),
                           str(wheel)], capture_output=True, text=True, timeout=300,
                          env={**os.environ, "PIP_DISABLE_PIP_VERSION_CHECK": "1"})
    assert done.returncode != 0
    assert "is not a supported wheel on this platform" in done.stderr, done.stderr
    assert not any(target.rglob("vestrel_kernel*"))


@pytest.mark.parametrize("python", oldest_and_newest(), ids=lambda p: p.parent.parent.name)
def test_installs_into_a_fresh_venv_and_runs_the_example(tmp_path, wheel, python):
    venv = tmp_path / "venv"
    run([python, "-m", "venv", venv])
    run([venv / "bin" / "python", "-m", "pip", "install", wheel])

    # From a directory with nothing importable in it, so the installed copy is used.
    where = run([venv / "bin" / "python", "-c", "import vestrel_kernel; print(vestrel_kernel.__file__)"],
                cwd=tmp_path)
    assert where.stdout.strip().startswith(str(venv))
    example = run([venv / "bin" / "python", EXAMPLE], cwd=tmp_path)
    assert "verified at NOW + 60: 2 credentials" in example.stdout
    assert "refused after one flipped byte: KernelError::SignatureInvalid" in example.stdout
    example = run([venv / "bin" / "python", PACKAGE_EXAMPLE], cwd=tmp_path)
    assert "docs read: allowed" in example.stdout and "docs write: denied" in example.stdout

    # The console script is installed and runs; its version is the metadata's.
    version = run([venv / "bin" / "python", "-c",
                   "import importlib.metadata as m, vestrel; "
                   "print(m.version('vestrel-kernel'), vestrel.__version__)"], cwd=tmp_path)
    declared, ours = version.stdout.split()
    assert declared == ours
    assert run([venv / "bin" / "vestrel", "--version"], cwd=tmp_path).stdout.strip() == f"vestrel {ours}"
    vectors = json.loads((REPO / "vectors" / "verification.json").read_text())
    case = vectors["cases"][0]
    (tmp_path / "root.hex").write_text(vectors["keys"][case["root"]]["public_key"])
    checked = run([venv / "bin" / "vestrel", "verify", "--root", "root.hex", "--now",
                   case["checks"][0]["now"], "-"], cwd=tmp_path, input=case["wire"])
    assert checked.stdout.splitlines()[-1].endswith(f": {case['checks'][0]['count']} credentials")

    # The type checker finds the installed stubs in the venv's site-packages
    # (given by path: this mypy cannot query every newer interpreter itself).
    site = run([venv / "bin" / "python", "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"])
    checked = run([DEBIAN_PYTHON, "-m", "mypy", "--strict", "--cache-dir", tmp_path / "cache", EXAMPLE,
                   PACKAGE_EXAMPLE],
                  cwd=tmp_path, env={"PYTHONPATH": site.stdout.strip()})
    assert "Success" in checked.stdout
