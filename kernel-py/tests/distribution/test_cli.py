"""The `vestrel` command run as operators run it, on the conformance vectors:
text and JSON, files and pipes, and bad input that never shows a traceback."""

import hashlib
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[3]
VECTORS = json.loads((REPO / "vectors" / "verification.json").read_text())
KEYS = {name: bytes.fromhex(k["public_key"]) for name, k in VECTORS["keys"].items()}
CASES = {case["name"]: case for case in VECTORS["cases"]}
THREE = CASES["three credentials, checked at and around every bound"]


def vestrel(*args, stdin=None):
    path = f"{os.environ['VESTREL_PACKAGE_DIR']}:{os.environ['VESTREL_KERNEL_MODULE_DIR']}"
    done = subprocess.run([sys.executable, "-m", "vestrel", *map(str, args)], input=stdin,
                          env=dict(os.environ, PYTHONPATH=path), capture_output=True,
                          text=isinstance(stdin, (str, type(None))), timeout=60)
    assert "Traceback" not in str(done.stderr), done.stderr
    return done


@pytest.fixture
def files(tmp_path):
    def write(name, data):
        path = tmp_path / name
        path.write_bytes(data) if isinstance(data, bytes) else path.write_text(data)
        return path

    return write


def key_id(key):
    return hashlib.sha3_256(key).hexdigest()[:32]


def test_inspect_lists_every_credential(files, vk):
    wire = bytes.fromhex(THREE["wire"])
    done = vestrel("inspect", files("chain.bin", wire))
    assert done.returncode == 0
    lines = done.stdout.splitlines()
    assert lines[0] == f"wire: {len(wire)} bytes, 3 credentials"
    for index, (issuer, sig, payload) in enumerate(vk.decode_chain(wire)):
        fields = vk.parse_payload(payload)
        assert f"[{index}] issuer {key_id(issuer)}" in done.stdout
        assert f"    revocation id {hashlib.sha3_256(sig).hexdigest()}" in lines
        assert f"    depth {index + 1}, {fields['role']}, child {key_id(fields['child_pk'])}" in lines
    assert "    permit docs *" in lines
    assert lines.count("    permit docs read") == 3  # duplicates are shown as they are
    assert "    not before 2025-06-15 15:06:40 UTC (1750000000)" in lines
    assert "    not after  2025-06-15 16:06:40 UTC (1750003600)" in lines
    assert "(= child of [0])" in done.stdout and "(= child of [1])" in done.stdout


def test_raw_or_hex_from_a_file_or_stdin_read_alike(files):
    wire = THREE["wire"]
    from_file = vestrel("inspect", files("chain.bin", bytes.fromhex(wire)))
    spaced = "\n".join(wire[i:i + 60] for i in range(0, len(wire), 60)) + "\n"
    assert vestrel("inspect", stdin=spaced).stdout == from_file.stdout
    assert vestrel("inspect", "-", stdin=wire).stdout == from_file.stdout
    assert vestrel("inspect", files("chain.hex", spaced)).stdout == from_file.stdout
    assert vestrel("inspect", stdin=bytes.fromhex(wire)).stdout.decode() == from_file.stdout


# One case per outcome: the command prints the count, or the rule and the
# credential that broke it.
VERIFY_ROWS = sorted({check.get("error", check.get("count")): (case["name"], check)
                      for case in VECTORS["cases"] for check in case["checks"]}.values(),
                     key=lambda row: row[0])


@pytest.mark.parametrize("name,check", VERIFY_ROWS, ids=[name for name, _ in VERIFY_ROWS])
def test_verifies_like_the_vectors(files, vk, name, check):
    case = CASES[name]
    wire = bytes.fromhex(case["wire"])
    root = files("root.hex", KEYS[case["root"]].hex())
    args = ("verify", "--root", root, "--now", check["now"], files("w.bin", wire))
    done, as_json = vestrel(*args), json.loads(vestrel(*args, "--json").stdout)
    last = done.stdout.splitlines()[-1]
    if "count" in check:
        assert done.returncode == 0 and as_json["verified"] is True
        assert last.endswith(f": {check['count']} credential" + "s" * (check["count"] != 1))
        assert as_json["length"] == check["count"]
        assert as_json["holder_pk"] == vk.parse_payload(vk.decode_chain(wire)[-1][2])["child_pk"].hex()
    else:
        assert done.returncode == 1 and as_json["verified"] is False
        assert last.endswith("KernelError::" + check["error"])
        assert as_json["rule"] == check["error"]
        if as_json["index"] is None:
            assert last.startswith("malformed wire"), last
        else:
            assert last.startswith("refused at ") and f"credential [{as_json['index']}]" in last


def test_root_key_raw_or_hex_and_time_as_now_seconds_or_a_date(files):
    wire = files("chain.bin", bytes.fromhex(THREE["wire"]))
    raw = files("root.pk", KEYS["root"])
    for now, ok in [("2025-06-15T15:06:40Z", True), ("2025-06-15T15:06:39+00:00", False),
                    ("2025-06-15 16:06:40", True), ("1750003601", False), ("now", False)]:
        done = vestrel("verify", "--root", raw, "--now", now, wire)
        assert (done.returncode == 0) is ok, (now, done.stdout)


def test_inspect_json_names_each_credential(files, vk):
    wire = bytes.fromhex(THREE["wire"])
    document = json.loads(vestrel("inspect", "--json", files("w.bin", wire)).stdout)
    credentials = vk.decode_chain(wire)
    assert [c["issuer"] for c in document["credentials"]] == [c[0].hex() for c in credentials]
    assert [c["revocation_id"] for c in document["credentials"]] == [
        hashlib.sha3_256(c[1]).hexdigest() for c in credentials]
    assert [(c["issuer_key_id"], c["child_key_id"]) for c in document["credentials"]] == [
        (key_id(c[0]), key_id(vk.parse_payload(c[2])["child_pk"])) for c in credentials]
    assert document["credentials"][0]["perms"][0] == {"resource": b"docs".hex(), "verb": b"*".hex(),
                                                      "resource_text": "docs", "verb_text": "*"}


@pytest.mark.parametrize("wire,message", [
    ("", "malformed wire (0 bytes): KernelError::WireTruncated"),
    ("02", "malformed wire (1 bytes): KernelError::WireVersionMismatch"),
    ("0100000000", "malformed wire (5 bytes): KernelError::EmptyChain"),
    ("0111000000", "malformed wire (5 bytes): KernelError::ChainTooDeep"),
])
def test_malformed_wire_gives_the_module_message(wire, message):
    done = vestrel("inspect", stdin=wire)
    assert done.returncode == 1
    assert done.stdout.strip() == message


def test_unreadable_payload_is_reported_and_the_rest_still_listed(files):
    done = vestrel("inspect", files("w.bin", bytes.fromhex(CASES["role byte 2 (signed)"]["wire"])))
    assert done.returncode == 1
    assert "    payload unreadable: invalid role byte: 0x02" in done.stdout.splitlines()


@pytest.mark.parametrize("args,stdin,code,message", [
    (["inspect"], "01 0", 1, "standard input is not hex"),
    (["inspect"], "012", 1, "standard input is not hex"),
    (["inspect", "/nonexistent/chain.bin"], None, 2, "cannot read /nonexistent/chain.bin"),
    (["verify", "-", "--root", "ROOT"], "01", 2, "the following arguments are required: --now"),
    (["verify", "-", "--root", "/dev/null", "--now", "0"], "01", 2, "a root key is 1952 bytes"),
    (["verify", "-", "--root", "ROOT", "--now", "yesterday"], "01", 2, "--now: not 'now', seconds"),
    (["verify", "-", "--root", "ROOT", "--now", "1969-12-31"], "01", 2, "--now: before the Unix epoch"),
    (["sign"], None, 2, "invalid choice: 'sign'"),
    ([], None, 2, "required: COMMAND"),
])
def test_bad_input_is_one_line_without_a_traceback(files, args, stdin, code, message):
    root = str(files("root.hex", KEYS["root"].hex()))
    done = vestrel(*[root if arg == "ROOT" else arg for arg in args], stdin=stdin)
    assert done.returncode == code
    assert message in done.stderr and len(done.stderr.strip().splitlines()) == 1, done.stderr


def test_version_and_a_closed_pipe(files):
    import vestrel as package

    assert vestrel("--version").stdout.strip() == f"vestrel {package.__version__}"
    path = f"{os.environ['VESTREL_PACKAGE_DIR']}:{os.environ['VESTREL_KERNEL_MODULE_DIR']}"
    wire = files("chain.bin", bytes.fromhex(THREE["wire"]))
    # A reader that stops at once: the command ends quietly, whenever the pipe closes.
    done = subprocess.run(f"{sys.executable} -m vestrel inspect --json {wire} | head -c 1",
                          shell=True, env=dict(os.environ, PYTHONPATH=path), capture_output=True,
                          text=True, timeout=60)
    assert done.stdout == "{" and done.stderr == ""
