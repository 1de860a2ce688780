"""The stub package against the runtime module, and the code that uses it."""

import ast
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[3]
STUBS = REPO / "stubs"
TESTS = REPO / "kernel-py" / "tests"
STUB_FILE = STUBS / "vestrel_kernel-stubs" / "__init__.pyi"
DEBIAN_PYTHON = "/usr/bin/python3"

# mypy comes from Debian's python3-mypy, compiled for Debian's python3; the
# checks below do not depend on the interpreter running pytest.
once = pytest.mark.skipif(os.path.realpath(sys.executable) != os.path.realpath(DEBIAN_PYTHON),
                          reason="mypy checks run once per suite, under Debian's python3")


def mypy(tmp_path, *args):
    package = os.environ.get("VESTREL_PACKAGE_DIR", "")
    env = dict(os.environ, PYTHONPATH=f"{package}:{os.environ['VESTREL_KERNEL_MODULE_DIR']}:{STUBS}")
    return subprocess.run([DEBIAN_PYTHON, "-m", *args], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=300)


@once
def test_stubtest_finds_no_difference_from_the_runtime(tmp_path):
    done = mypy(tmp_path, "mypy.stubtest", "vestrel_kernel")
    assert done.returncode == 0, done.stdout + done.stderr


@once
def test_examples_tools_and_the_package_type_check_strictly(tmp_path):
    sources = [REPO / "examples", REPO / "tools" / "gen_vectors.py",
               REPO / "tools" / "mldsa65_reference.py", REPO / "python" / "vestrel",
               TESTS / "test_vestrel.py", TESTS / "test_vestrel_proofs.py", TESTS / "test_verifier.py",
               TESTS / "test_tokens_and_proofs.py", TESTS / "test_vestrel_delegate.py",
               TESTS / "test_http_servers.py", TESTS / "test_http_clients.py"]
    done = mypy(tmp_path, "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *map(str, sources))
    assert done.returncode == 0, done.stdout + done.stderr


@once
def test_misuse_is_caught_by_the_checker(tmp_path):
    (tmp_path / "misuse.py").write_text(textwrap.dedent("""\
        import vestrel_kernel as vk
        vk.verify_delegation(b"", b"", "now")
        vk.perm_tlv(resource=b"r", action=b"v")
        fields = vk.parse_payload(b"")
        fields["roles"]
        depth: str = fields["depth"]
        vk.IdentityIsland(b"", b"", b"").issue_credential(b"", "leaf", 1, b"")
        class Sub(vk.IdentityIsland): ...
        ok: int = vk.verify_delegation(b"", vk.encode_chain([(bytearray(), [1, 2], memoryview(b""))]), True)
        """))
    done = mypy(tmp_path, "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "misuse.py")
    errors = {int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line}
    assert errors == {2, 3, 5, 6, 7, 8}, done.stdout


def test_stub_constants_and_exports_equal_the_runtime(vk):
    tree = ast.parse(STUB_FILE.read_text())
    values, exported, defined = {}, None, set()
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and node.value is not None:
            values[node.target.id] = ast.literal_eval(node.value)
        elif isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            exported = ast.literal_eval(node.value)
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            defined.add(node.name)
    assert exported == vk.__all__
    assert {name: values[name] for name in ("PK_SIZE", "SIG_SIZE", "SEED_SIZE")} == {
        "PK_SIZE": vk.PK_SIZE, "SIG_SIZE": vk.SIG_SIZE, "SEED_SIZE": vk.SEED_SIZE}
    assert set(vk.__all__) <= defined | set(values)
