"""The `vestrel` command run as operators run it, on the conformance vectors:
text and JSON, files and pipes, and bad input that never shows a traceback."""

import base64
import hashlib
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
import vestrel_kernel
from hypothesis import given, settings, strategies as st
from conftest import run_cli

REPO = Path(__file__).resolve().parents[3]
VECTORS = json.loads((REPO / "vectors" / "verification.json").read_text())
KEYS = {name: bytes.fromhex(k["public_key"]) for name, k in VECTORS["keys"].items()}
CASES = {case["name"]: case for case in VECTORS["cases"]}
THREE = CASES["three credentials, checked at and around every bound"]
# The input cap: the largest wire (16 records of 1952 + 3309 + 4 bytes and a
# payload of 1965 + 64 * 512 + 576) in hex, and a CRLF per 32 digits.
CAP = 1379528


vestrel = run_cli


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
                    ("2025-06-15 16:06:40", True), ("1750003601", False), ("now", False),
                    ("0" * 5000 + "1750000000", True), (str(2**64 - 1), False), ("0", False)]:
        done = vestrel("verify", "--root", raw, "--now", now, wire)
        assert done.returncode == (0 if ok else 1), (now[-20:], done.stdout, done.stderr)


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
    (["verify", "-", "--root", "ROOT", "--now", "\u00b2"], "01", 2, "--now: not 'now', seconds"),
    (["verify", "-", "--root", "ROOT", "--now", "\u0661\u0667\u0665\u0660"], "01", 2, "--now: not 'now'"),
    (["verify", "-", "--root", "ROOT", "--now", "9" * 23], "01", 2, "--now: seconds beyond 2^64-1"),
    (["verify", "-", "--root", "ROOT", "--now", str(2**64)], "01", 2, "--now: seconds beyond 2^64-1"),
    (["verify", "-", "--root", "/dev/zero", "--now", "0"], "01", 2, "/dev/zero: more than 4148 bytes"),
    (["verify", "-", "--root", "ROOT", "--now", "0", "--revoked", "/dev/zero"], "01", 2,
     "/dev/zero:1: line longer than 4096 bytes"),
    (["inspect", "/dev/zero"], None, 1, f"/dev/zero: more than {CAP} bytes"),
    (["inspect", os.fsdecode(b"/nonexistent/\xff.bin")], None, 2, "cannot read /nonexistent/\\xff.bin"),
    (["inspect"], "hello, world!", 1, "standard input is neither hex nor base64"),
    (["inspect"], "AQ===", 1, "standard input is neither hex nor base64"),
    (["inspect"], "AQAA+-", 1, "standard input is neither hex nor base64"),
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


def vestrel_kernel_token(wire):
    import vestrel as package

    return package.encode_token(wire)


def shell(script):
    """Runs a bash script in which $V is the command, for redirections."""
    path = f"{os.environ['VESTREL_PACKAGE_DIR']}:{os.environ['VESTREL_KERNEL_MODULE_DIR']}"
    done = subprocess.run(["bash", "-c", script], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, PYTHONPATH=path, V=f"{sys.executable} -m vestrel"))
    assert "Traceback" not in done.stderr and "Exception ignored" not in done.stderr, done.stderr
    return done


# A refusal exits 1 whatever becomes of its output; a lost success is 2 and
# one line; a reader that went away (head -c0) is no failure at all.
@pytest.mark.parametrize("what,redirect,code,message", [
    ("good", ">&-", 2, "vestrel: cannot write the output: standard output is closed"),
    ("refused", ">&-", 1, "vestrel: cannot write the output: standard output is closed"),
    ("good", ">/dev/full", 2, "vestrel: cannot write the output: No space left on device"),
    ("refused", ">/dev/full", 1, "vestrel: cannot write the output: No space left on device"),
    ("help", ">/dev/full", 2, "vestrel: cannot write the output: No space left on device"),
    ("refused", "2>&- >/dev/full", 1, ""),
    ("usage", ">&- 2>&-", 2, ""),
    ("good", "| head -c0", 0, ""),
    ("refused", "| head -c0", 1, ""),
    ("raw", ">/dev/full", 2, "vestrel: cannot write the output: No space left on device"),
    ("raw", ">&-", 2, "vestrel: cannot write the output: standard output is closed"),
])
def test_output_that_cannot_be_written(files, what, redirect, code, message):
    root, wire = files("root.hex", KEYS["root"].hex()), files("w.bin", bytes.fromhex(THREE["wire"]))
    token = files("t", vestrel_kernel_token(bytes.fromhex(THREE["wire"])))
    args = {"good": f"verify --root {root} --now 1750000000 {wire}", "help": "--help",
            "raw": f"token decode --root {root} --raw {token}",
            "refused": f"verify --root {root} --now 0 --json {wire}", "usage": "verify --now x"}[what]
    done = shell(f"set -o pipefail; $V {args} {redirect}")
    assert done.returncode == code and not done.stdout
    assert done.stderr == (message and message + "\n")


@pytest.mark.parametrize("script,code,says", [
    ("yes 00 | $V inspect", 1, f"vestrel: standard input: more than {CAP} bytes"),
    (f"head -c {CAP + 1} /dev/zero | tr '\\0' 0 | $V inspect", 1, f"more than {CAP} bytes"),
    (f"head -c {CAP} /dev/zero | tr '\\0' 0 | $V inspect", 1, f"malformed wire ({CAP // 2} bytes)"),
    ("$V inspect <&-", 2, "vestrel: cannot read standard input: it is closed"),
    ("$V --help", 0, f"A wire input larger than {CAP} bytes is refused"),
])
def test_input_is_capped_and_never_read_whole(script, code, says):
    done = shell(script)
    assert done.returncode == code and says in done.stdout + done.stderr


WIRE = bytes.fromhex(THREE["wire"])
ENCODE = [bytes.hex, base64.b64encode, base64.urlsafe_b64encode]


@settings(max_examples=60, deadline=None)
@given(data=st.one_of(
    st.binary(max_size=600), st.binary(max_size=600).map(lambda tail: b"\x01" + tail),
    st.text("0123456789abcdefAQR+/-_= \n", max_size=300).map(str.encode),
    # Past the count, which a smaller value would leave a valid shorter chain.
    st.tuples(st.integers(5, len(WIRE) - 1), st.integers(1, 255), st.sampled_from(ENCODE)).map(
        lambda m: m[2](WIRE[:m[0]] + bytes([WIRE[m[0]] ^ m[1]]) + WIRE[m[0] + 1:]))))
def test_any_input_is_a_refusal_or_a_listing(tmp_path_factory, data):
    from vestrel import cli

    root = tmp_path_factory.getbasetemp() / "root.pk"
    root.write_bytes(KEYS["root"])
    with tempfile.NamedTemporaryFile() as f:
        f.write(data.encode() if isinstance(data, str) else data)
        f.flush()
        assert cli.run(["inspect", f.name])[0] in (0, 1)
        status, text = cli.run(["verify", "--root", str(root), "--now", "1750000000", f.name])
        assert status == 1 and text.count("\n") <= 1


ENCODINGS = {
    "raw": lambda b: b,
    "upper-case hex in lines": lambda b: b"\n".join(b.hex().upper().encode()[i:i + 60]
                                                  for i in range(0, 2 * len(b), 60)),
    "base64 in lines of 76": base64.encodebytes,
    "base64 unpadded": lambda b: base64.b64encode(b).rstrip(b"="),
    "base64url unpadded, CRLF": lambda b: base64.encodebytes(b).replace(b"\n", b"\r\n").translate(
        bytes.maketrans(b"+/", b"-_"), b"="),
}


@pytest.mark.parametrize("name", ENCODINGS)
def test_wires_and_root_keys_read_alike_in_every_encoding(files, name):
    wire, root = ENCODINGS[name](WIRE), ENCODINGS[name](KEYS["root"])
    done = vestrel("verify", "--root", files("root", root), "--now", 1750000000, files("w", wire))
    assert done.returncode == 0 and done.stdout.endswith("(1750000000): 3 credentials\n")
    assert vestrel("inspect", stdin=wire).stdout.startswith(b"wire: 21796 bytes, 3 credentials\n")


RIDS = [hashlib.sha3_256(sig).hexdigest() for _, sig, _ in vestrel_kernel.decode_chain(WIRE)]


@pytest.mark.parametrize("roots,revoked,code,says", [
    (["other", "root"], None, 0, "verified at"),
    (["root", "other"], None, 0, "verified at"),
    (["other", "worker"], None, ("ParentKeyMismatch", 0), "credential [0]: KernelError::ParentKeyMismatch"),
    (["worker", "root"], ["# today", "", f"  {RIDS[1].upper()}  # the service", "ab" * 32],
     ("Revoked", 1), f"credential [1]: revoked (revocation id {RIDS[1]})"),
    (["root"], ["ab" * 32, "", "  # nothing else"], 0, "verified at"),
    (["root"], ["# one", "", "ab" * 31], 2, "revoked.txt:3: not a revocation id (64 hex digits)"),
    (["root"], ["\xff" * 64 + "  # not hex"], 2, "revoked.txt:1: not a revocation id"),
])
def test_several_roots_and_a_revocation_list(files, roots, revoked, code, says):
    args = [arg for name in roots for arg in ("--root", files(name, base64.b64encode(KEYS[name])))]
    if revoked is not None:
        args += ["--revoked", files("revoked.txt", "\n".join(revoked).encode("latin-1"))]
    done = vestrel("verify", *args, "--now", 1750000000, files("w.bin", WIRE))
    assert done.returncode == (1 if isinstance(code, tuple) else code) and says in done.stdout + done.stderr
    if isinstance(code, tuple):  # a refusal: its rule and credential in JSON
        document = json.loads(vestrel("verify", *args, "--now", 1750000000, "--json", files("w", WIRE)).stdout)
        assert (document["rule"], document["index"]) == code


def test_json_shows_utf8_fields_as_text(files, identities):
    import vestrel as package

    root, child = identities("root"), identities("child")
    perms = [(b"caf\xc3\xa9", b"read"), (b"\xff\xfe", b"\x00")]
    wire = files("w.bin", package.delegate(None, root, child.public_key(), "leaf", perms))
    listed = json.loads(vestrel("inspect", "--json", wire).stdout)["credentials"][0]["perms"]
    verified = json.loads(vestrel("verify", "--json", "--root", files("root.pk", root.public_key()),
                                  "--now", 0, wire).stdout)
    assert listed == verified["perms"] == [
        {"resource": "636166c3a9", "verb": "72656164", "resource_text": "caf\u00e9", "verb_text": "read"},
        {"resource": "fffe", "verb": "00", "resource_text": None, "verb_text": "\x00"}]


TOKENS = json.loads((REPO / "vectors" / "tokens.json").read_text())
TOKEN_KEYS = {name: bytes.fromhex(k["public_key"]) for name, k in TOKENS["keys"].items()}


@pytest.mark.parametrize("case", TOKENS["cases"], ids=[case["name"] for case in TOKENS["cases"]])
def test_a_token_stands_for_its_wire_everywhere(files, case):
    wire, token = bytes.fromhex(case["wire"]), case["token"]
    root = files("root.b64", base64.b64encode(TOKEN_KEYS["root"]))
    for name, encode in ENCODINGS.items():
        assert vestrel("token", "encode", stdin=encode(wire)).stdout == (token + "\n").encode(), name
    assert vestrel("token", "decode", "--root", root, stdin=f"  {token}\r\n").stdout == case["wire"] + "\n"
    assert vestrel("token", "decode", "--root", root, "--raw", stdin=token.encode()).stdout == wire
    for command in (["inspect", "--json"], ["verify", "--root", root, "--now", 1750000000]):
        from_wire = vestrel(*command, files("w.bin", wire))
        from_token = vestrel(*command, "--root", root, files("t", token))
        assert (from_token.returncode, from_token.stdout) == (from_wire.returncode, from_wire.stdout)


ONE_TOKEN = TOKENS["cases"][0]["token"]


def text_of(token):
    return token if isinstance(token, str) else "".join(
        p if isinstance(p, str) else p["repeat"] * p["count"] for p in token)


# The command takes as a token only what begins "vt1.", around which it ignores whitespace.
TOKEN_REFUSALS = [(case["name"], text, case["root"], case["error"])
                  for case in TOKENS["refusals"] for text in [text_of(case["token"])]
                  if text.startswith("vt1.") and text.strip() == text]
TOKEN_REFUSALS.append(("one character over the longest token", "vt1." + "A" * (823920 - 3), "root", "TooLong"))


@pytest.mark.parametrize("args,stdin,code,message", [
    # Every refusal of the reader, the longest token (which the cap must let through) among them.
    *[(["token", "decode", "--root", root.upper()], text, 1, "the token's root is none of the keys"
       if error == "UnknownRoot" else f"standard input: malformed token: {error}")
      for _, text, root, error in TOKEN_REFUSALS],
    *[(["token", "encode"], case["wire"], 1, f"this wire has no token: {where}KernelError::{case['error']}")
      for case in TOKENS["no_token"]
      for where in [f"credential [{case['index']}]: " * (case["index"] is not None)]],
    (["token", "decode", "--root", "ROOT"], THREE["wire"], 1, "standard input is not a token"),
    (["token", "encode"], ONE_TOKEN, 1, "standard input is a token already"),
    (["inspect"], ONE_TOKEN, 2, "give the root with --root"),
    (["token"], None, 2, "required: DIRECTION"),
    (["token", "decode", "-"], ONE_TOKEN, 2, "required: --root"),
], ids=[name for name, *_ in TOKEN_REFUSALS] + [case["name"] for case in TOKENS["no_token"]]
   + ["a wire to decode", "a token to encode", "inspect without a root", "no direction",
      "decode without a root"])
def test_token_input_that_is_refused(files, args, stdin, code, message):
    keys = {"ROOT": TOKEN_KEYS["root"], "OTHER": TOKEN_KEYS["other"]}
    done = vestrel(*[files(arg, keys[arg].hex()) if arg in keys else arg for arg in args], stdin=stdin)
    assert done.returncode == code and not done.stdout
    assert message in done.stderr and len(done.stderr.strip().splitlines()) == 1, done.stderr


def test_verify_tells_a_malformed_token_in_its_answer(files):
    root, token = files("root.hex", TOKEN_KEYS["root"].hex()), files("t", ONE_TOKEN + "AA\n")
    done = vestrel("verify", "--root", root, "--now", 0, token)
    said = f"malformed token ({len(ONE_TOKEN) + 2} characters): Length\n"
    assert (done.returncode, done.stdout) == (1, said)
    document = json.loads(vestrel("verify", "--root", root, "--now", 0, "--json", token).stdout)
    assert (document["rule"], document["reason"], document["index"]) == ("TokenMalformed", "Length", None)
