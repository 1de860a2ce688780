"""tools/vestrel-inspect run as operators run it, on the conformance vectors."""

import hashlib
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[3]
TOOL = REPO / "tools" / "vestrel-inspect"
VECTORS = json.loads((REPO / "vectors" / "verification.json").read_text())
KEYS = {name: bytes.fromhex(k["public_key"]) for name, k in VECTORS["keys"].items()}
CASES = {case["name"]: case for case in VECTORS["cases"]}
THREE = CASES["three credentials, checked at and around every bound"]


def inspect(*args, stdin=None):
    env = dict(os.environ, PYTHONPATH=os.environ["VESTREL_KERNEL_MODULE_DIR"])
    done = subprocess.run([sys.executable, str(TOOL), *map(str, args)], input=stdin, env=env,
                          capture_output=True, text=True, timeout=60)
    assert "Traceback" not in done.stderr, done.stderr
    return done


@pytest.fixture
def files(tmp_path):
    def write(name, data):
        path = tmp_path / name
        path.write_bytes(data) if isinstance(data, bytes) else path.write_text(data)
        return path

    return write


def fp(key):
    return hashlib.sha256(key).hexdigest()[:16]


def test_lists_every_credential(files, vk):
    wire = bytes.fromhex(THREE["wire"])
    done = inspect(files("chain.bin", wire))
    assert done.returncode == 0
    lines = done.stdout.splitlines()
    assert lines[0] == f"wire: {len(wire)} bytes, 3 credentials"
    for index, (issuer, _sig, payload) in enumerate(vk.decode_chain(wire), start=1):
        fields = vk.parse_payload(payload)
        assert f"[{index}] issuer {fp(issuer)}" in done.stdout
        assert f"    depth {index}, {fields['role']}, child {fp(fields['child_pk'])}" in lines
    assert "    permit docs *" in lines
    assert lines.count("    permit docs read") == 3  # duplicates are shown as they are
    assert "    not before 2025-06-15 15:06:40 UTC (1750000000)" in lines
    assert "    not after  2025-06-15 16:06:40 UTC (1750003600)" in lines
    assert "(= child of [1])" in done.stdout and "(= child of [2])" in done.stdout


def test_hex_on_stdin_reads_like_the_file(files):
    wire = THREE["wire"]
    from_file = inspect(files("chain.bin", bytes.fromhex(wire)))
    spaced = "\n".join(wire[i:i + 60] for i in range(0, len(wire), 60)) + "\n"
    assert inspect(stdin=spaced).stdout == from_file.stdout
    assert inspect("-", stdin=wire).stdout == from_file.stdout


# One case per outcome: the tool must print the count or the module's refusal.
VERIFY_ROWS = sorted({check.get("error", check.get("count")): (case["name"], check)
                      for case in VECTORS["cases"] for check in case["checks"]}.values(),
                     key=lambda row: row[0])


@pytest.mark.parametrize("name,check", VERIFY_ROWS, ids=[name for name, _ in VERIFY_ROWS])
def test_verifies_like_the_vectors(files, name, check):
    case = CASES[name]
    root = files("root.hex", KEYS[case["root"]].hex())
    done = inspect(files("w.bin", bytes.fromhex(case["wire"])), "--root", root, "--now", check["now"])
    last = done.stdout.splitlines()[-1]
    if "count" in check:
        assert done.returncode == 0
        assert last.startswith("verified at ") and last.endswith(f": {check['count']} credential"
                                                                 + "s" * (check["count"] != 1))
    else:
        assert done.returncode == 1
        assert last.startswith(("refused at ", "malformed wire")), last
        assert last.endswith("KernelError::" + check["error"])


def test_root_key_raw_or_hex_and_time_as_a_date(files):
    wire = files("chain.bin", bytes.fromhex(THREE["wire"]))
    raw = files("root.pk", KEYS["root"])
    for now, ok in [("2025-06-15T15:06:40Z", True), ("2025-06-15T15:06:39+00:00", False),
                    ("2025-06-15 16:06:40", True), ("1750003601", False)]:
        done = inspect(wire, "--root", raw, "--now", now)
        assert (done.returncode == 0) is ok, (now, done.stdout)


@pytest.mark.parametrize("wire,message", [
    ("", "malformed wire (0 bytes): KernelError::WireTruncated"),
    ("02", "malformed wire (1 bytes): KernelError::WireVersionMismatch"),
    ("0100000000", "malformed wire (5 bytes): KernelError::EmptyChain"),
    ("0111000000", "malformed wire (5 bytes): KernelError::ChainTooDeep"),
])
def test_malformed_wire_gives_the_module_message(wire, message):
    done = inspect(stdin=wire)
    assert done.returncode == 1
    assert done.stdout.strip() == message


def test_unreadable_payload_is_reported_and_the_rest_still_listed(files):
    done = inspect(files("w.bin", bytes.fromhex(CASES["role byte 2 (signed)"]["wire"])))
    assert done.returncode == 1
    assert "    payload unreadable: invalid role byte: 0x02" in done.stdout.splitlines()


@pytest.mark.parametrize("args,stdin,message", [
    ([], "0g", "standard input is not hex"),
    (["/nonexistent/chain.bin"], None, "cannot read /nonexistent/chain.bin"),
    (["-", "--root", "ROOT"], "01", "--root and --now go together"),
    (["-", "--root", "/dev/null", "--now", "0"], "01", "a root key is 1952 bytes"),
    (["-", "--root", "ROOT", "--now", "yesterday"], "01", "--now: not seconds or an ISO 8601 time"),
    (["-", "--root", "ROOT", "--now", "1969-12-31"], "01", "--now: before the Unix epoch"),
])
def test_usage_problems_exit_2_without_a_traceback(files, args, stdin, message):
    root = str(files("root.hex", KEYS["root"].hex()))
    done = inspect(*[root if arg == "ROOT" else arg for arg in args], stdin=stdin)
    assert done.returncode == 2
    assert message in done.stderr
