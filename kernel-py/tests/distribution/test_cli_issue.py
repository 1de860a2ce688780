"""`vestrel identity` and `vestrel delegate` run as operators run them: seed
files and their permissions, keys in every form, and refusals in the words
of vestrel.delegate, never a traceback."""

import json
import os
import subprocess
import time

import pytest

import vestrel
from vestrel import jwk
from conftest import run_cli

ROOT_SEED, WORKER_SEED = bytes(range(32)), bytes(range(32, 64))
LABELS = ["--deployment", "prod", "--context", "root"]
ROOT = vestrel.IdentityIsland(ROOT_SEED, b"prod", b"root")
WORKER = vestrel.IdentityIsland(WORKER_SEED, b"prod", b"worker")
LEAF = vestrel.IdentityIsland(bytes(32), b"prod", b"leaf")


def vestrel_cli(*args):
    return run_cli(*args, stdin=b"")


@pytest.fixture
def write(tmp_path):
    def write(name, data, mode=0o600):
        path = tmp_path / name
        path.write_bytes(data if isinstance(data, bytes) else data.encode())
        path.chmod(mode)
        return path

    return write


def test_identity_prints_the_key_in_every_form(write, tmp_path):
    pk = ROOT.public_key()
    pipe = tmp_path / "seed.fifo"
    os.mkfifo(pipe, 0o600)
    writer = subprocess.Popen(["sh", "-c", f"printf '%s' {ROOT_SEED.hex()} > {pipe}"])
    seeds = [write("raw", ROOT_SEED), write("hex", ROOT_SEED.hex() + "\n"), pipe,
             write("crlf", ROOT_SEED.hex().upper() + "\r\n"), write("bare", ROOT_SEED.hex())]
    for seed in seeds:
        done = vestrel_cli("identity", "--seed-file", seed, *LABELS)
        assert (done.returncode, done.stdout) == (0, pk.hex().encode() + b"\n")
        assert done.stderr.decode() == (f"key id {vestrel.key_id(pk)}\n"
                                        f"jwk thumbprint {jwk.thumbprint(pk)}\n")
    for form, read, want in [(["--format", "raw"], bytes, pk), (["--format", "jwk"], jwk.public_key, pk),
                             (["--json"], json.loads, {"public_key": pk.hex(), "key_id": vestrel.key_id(pk),
                              "thumbprint": jwk.thumbprint(pk), "jwk": jwk.public_jwk(pk)})]:
        assert read(vestrel_cli("identity", "--seed-file", seeds[0], *LABELS, *form).stdout) == want
    writer.wait(10)
    done = vestrel_cli("identity", "--seed-file", tmp_path, *LABELS)
    assert (done.returncode, done.stderr) == (2, f"vestrel: seed file {tmp_path} is not a file\n".encode())


@pytest.mark.parametrize("data,mode,message", [
    (ROOT_SEED, 0o644, "permissions 0644 are too open"),
    (ROOT_SEED, 0o640, "permissions 0640 are too open"),
    (ROOT_SEED, 0o602, "permissions 0602 are too open"),
    (ROOT_SEED[:31], 0o600, "not 31 bytes"),
    (ROOT_SEED + b"\n", 0o600, "not 33 bytes"),
    (ROOT_SEED.hex()[:-1] + "\n", 0o600, "not 64 bytes"),
    (ROOT_SEED.hex()[:-1] + "g\n", 0o600, "not 65 bytes"),
    (ROOT_SEED.hex() + "\n\n", 0o400, "not 66 bytes"),
    ((ROOT_SEED.hex() * 2).encode(), 0o600, "not 67 bytes"),  # the cap: one byte past it
])
def test_a_seed_file_is_refused_without_showing_the_seed(write, data, mode, message):
    done = vestrel_cli("identity", "--seed-file", write("seed", data, mode), *LABELS)
    assert (done.returncode, done.stdout) == (2, b"")
    assert message in done.stderr.decode()
    assert ROOT_SEED.hex() not in done.stderr.decode().lower()


def test_delegate_issues_a_chain_from_the_root_down(write, tmp_path):
    root_seed, worker_seed = write("root.seed", ROOT_SEED), write("worker.seed", WORKER_SEED)
    root_pk = write("root.pk", ROOT.public_key())
    before = int(time.time())
    first = vestrel_cli("delegate", "--seed-file", root_seed, *LABELS, "--role", "node",
                        "--child", write("worker.pk", WORKER.public_key().hex()),
                        "--scope", "docs:read", "--scope", "urn:x:docs:write",
                        "--not-before", "2020-01-01T00:00:00Z", "--not-after", "+1h")
    assert first.returncode == 0, first.stderr
    chain = vestrel.Verifier([ROOT.public_key()]).verify(first.stdout.decode().strip())
    assert chain.perms == ((b"docs", b"read"), (b"urn:x:docs", b"write"))
    assert chain.not_before == 1577836800 and before + 3600 <= (chain.not_after or 0) <= before + 3660

    token = write("worker.token", first.stdout)
    second = vestrel_cli("delegate", "--seed-file", worker_seed, "--deployment", "prod",
                         "--context", "worker", "--parent", token, "--root", root_pk,
                         "--child", write("leaf.jwk", json.dumps(jwk.public_jwk(LEAF.public_key()))),
                         "--role", "leaf", "--scope", "docs:read", "--not-after", "+30m")
    assert second.returncode == 0, second.stderr
    leaf = vestrel.Verifier([ROOT.public_key()]).verify(second.stdout.decode().strip())
    assert (leaf.length, leaf.holder_pk, leaf.role) == (2, LEAF.public_key(), "leaf")

    shown = vestrel_cli("inspect", "--root", root_pk, write("leaf.token", second.stdout)).stdout.decode()
    assert f"issuer {vestrel.key_id(WORKER.public_key())} (jwk {jwk.thumbprint(WORKER.public_key())})" in shown
    assert f"    child jwk {jwk.thumbprint(LEAF.public_key())}" in shown.splitlines()


def expected_refusal(call):
    try:
        call()
    except vestrel.KernelError as refusal:
        where = "" if refusal.index is None else f"credential [{refusal.index}]: "
        return f"vestrel: refused: {where}{refusal}\n"
    except ValueError as error:
        return f"vestrel: refused: {error}\n"
    raise AssertionError("delegate did not refuse")


def test_delegate_refuses_in_the_words_of_delegate(write):
    root_seed, worker_seed = write("root.seed", ROOT_SEED), write("worker.seed", WORKER_SEED)
    parent = vestrel.delegate(None, ROOT, WORKER.public_key(), "node", [(b"docs", b"read")], 100, 200)
    wire, child = write("parent.bin", parent), write("leaf.pk", LEAF.public_key())
    worker = ["--seed-file", worker_seed, "--deployment", "prod", "--context", "worker"]
    for args, (above, issuer, perm, *bounds) in [  # the command, and the same call made here
            (worker + ["--parent", wire, "--scope", "docs:write"], (parent, WORKER, (b"docs", b"write"))),
            (["--seed-file", root_seed, *LABELS, "--parent", wire, "--scope", "docs:read"],
             (parent, ROOT, (b"docs", b"read"))),
            (worker + ["--parent", wire, "--scope", "docs:read", "--not-before", "300"],
             (parent, WORKER, (b"docs", b"read"), 300)),
            (worker + ["--scope", "docs:read", "--not-before", "9", "--not-after", "8"],
             (None, WORKER, (b"docs", b"read"), 9, 8)),
            (worker + ["--scope", "d" * 256 + ":read"], (None, WORKER, (b"d" * 256, b"read")))]:
        done = vestrel_cli("delegate", *args, "--child", child, "--role", "leaf")
        expected = expected_refusal(lambda: vestrel.delegate(above, issuer, LEAF.public_key(), "leaf",
                                                             [perm], *bounds))
        assert (done.returncode, done.stdout, done.stderr.decode()) == (1, b"", expected)


@pytest.mark.parametrize("args,message", [
    (["--scope", "docs"], "--scope: not RESOURCE:VERB"),
    (["--scope", "docs:read", "--not-after", "+1y"], "--not-after: not 'now', seconds"),
    (["--scope", "docs:read", "--not-before", "99999999999999999999999"], "beyond 2^64-1"),
    (["--scope", "docs:read", "--parent", "TOKEN"], "give the root with --root"),
    (["--scope", "docs:read", "--child", "BADJWK"], "'kty' must be 'AKP'"),
])
def test_delegate_usage_problems_exit_2(write, args, message):
    token = vestrel.encode_token(vestrel.delegate(None, ROOT, WORKER.public_key(), "node",
                                                  [(b"docs", b"read")]))
    replace = {"TOKEN": str(write("parent.token", token)),
               "BADJWK": str(write("bad.jwk", json.dumps({**jwk.public_jwk(LEAF.public_key()),
                                                          "kty": "OKP"})))}
    args = [replace.get(a, a) for a in args]
    if "--child" not in args:
        args += ["--child", str(write("leaf.pk", LEAF.public_key()))]
    done = vestrel_cli("delegate", "--seed-file", write("seed", WORKER_SEED), "--deployment", "prod",
                       "--context", "worker", "--role", "leaf", *args)
    assert (done.returncode, done.stdout) == (2, b"") and message in done.stderr.decode()
