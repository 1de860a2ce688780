"""The conformance vectors read by a second, independent implementation: a Node
script over a general-purpose ML-DSA library, written from docs/ alone. It
checks every case of every file; the module is not involved."""

import json
import re
import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[3]
READER = Path(__file__).resolve().parent / "second_reader"
NODE_NEEDED = (20, 19)  # the pinned library's own minimum


def installed_version(package):
    manifest = READER / "node_modules" / package / "package.json"
    return json.loads(manifest.read_text())["version"] if manifest.exists() else None


@pytest.fixture(scope="module")
def node():
    node, npm = shutil.which("node"), shutil.which("npm")
    if node is None or npm is None:
        pytest.skip("node or npm is not installed: the second reader of the vectors did not run")
    version = subprocess.run([node, "--version"], capture_output=True, text=True).stdout.strip()
    if tuple(int(part) for part in re.findall(r"\d+", version)[:2]) < NODE_NEEDED:
        pytest.skip(f"node {version} is older than 20.19: the second reader of the vectors did not run")
    pinned = json.loads((READER / "package.json").read_text())["dependencies"]
    if any(installed_version(name) != wanted for name, wanted in pinned.items()):
        done = subprocess.run([npm, "ci", "--ignore-scripts", "--no-audit", "--no-fund"], cwd=READER,
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
    return node


def test_second_reader_agrees_with_every_vector(node):
    run = subprocess.run([node, str(READER / "check_vectors.mjs"), str(REPO / "vectors")],
                         capture_output=True, text=True, timeout=600)
    print(run.stdout)
    assert run.returncode == 0, run.stdout + run.stderr
    tally, verdict = run.stdout.splitlines()[-2:]
    assert verdict.endswith(" 0 failed")
    assert {path.stem for path in (REPO / "vectors").glob("*.json")} == set(re.findall(r"(\w+) \d+", tally))
