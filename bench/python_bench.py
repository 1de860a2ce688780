#!/usr/bin/env python3
"""The benchmark report: the kernel's ML-DSA-65 figures, then the module's.

First the table of kernel_bench (Google Benchmark JSON, given with
--kernel-json): medians of the repetitions for each backend and for PQClean's
own functions, with their ratios. Then the module measured here, in this
process, next to OpenSSL's ML-DSA-65 as the `cryptography` package exposes it,
each pair interleaved round by round so that both see the same machine:

  IdentityIsland(...)            vs  MLDSA65PrivateKey.from_seed_bytes
  issue_credential(...)          vs  private_key.sign(payload)      (256 payloads)
  verify_delegation, 1 credential, and per credential of 16
                                 vs  public_key.verify(sig, payload)
  verify_delegation, 16 credentials  vs  16 signature checks in the kernel
                                         (kernel_bench's Chain16Signatures,
                                         the same chain byte for byte)
  vestrel.verify, 1 and 16 credentials   vs  verify_delegation on the same
                                         chains (the package's cost over the
                                         module's: its objects, nothing else)
  vestrel.verify of a 16-credential chain whose last credential is revoked
                                         vs  one credential's verification
  16-credential vestrel.verify throughput, 2 threads vs 1 (wall clock: the
                                         interpreter lock is released while
                                         signatures are checked)
  Verifier.verify: a re-presented 3-credential chain, a fresh leaf under a
                   cached 15-credential prefix, a cold chain, each with and
                   without 100,000 revoked ids
                                         vs  verify_delegation on the same
                                         chains

Times are medians over rounds of the thread's CPU time per call, the figure a
busy shared machine disturbs least; wall-clock medians are shown beside them.
Nothing here is asserted: it reports.
"""

import argparse
import hashlib
import json
import statistics
import sys
import threading
import time
from pathlib import Path

ROUNDS = 9
NOW = 1_700_000_000
CHAIN_LEN = 16


def kernel_table(path):
    """Prints kernel_bench's medians; returns {name: (cpu_ns, real_ns)}."""
    doc = json.loads(Path(path).read_text())
    unit = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    med = {}
    for b in doc["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") == "median":
            name = b["run_name"].removeprefix("BM_").split("/iterations:")[0]
            k = unit[b["time_unit"]]
            med[name] = (b["cpu_time"] * k, b["real_time"] * k)

    print("ML-DSA-65 in the kernel (kernel_bench; medians of %s repetitions)"
          % doc["benchmarks"][0].get("repetitions", "?"))
    print(f"{'operation':<34}{'cpu µs':>10}{'wall µs':>10}{'vs PQClean':>12}{'target':>9}")
    # The target applies to the variant named last: what callers get, or for
    # the four-way permutation, which only the AVX2 backend has, that one.
    rows = [
        ("Keygen", "KeygenPqclean", "key generation from a seed", 0.43, "active"),
        ("Sign", "SignPqclean", "signing, mean over 512 payloads", 0.35, "active"),
        ("Verify", "VerifyPqclean", "verifying one signature", 0.50, "active"),
        ("SignPacked", "SignPqclean", "signing from the packed key", None, "active"),
        ("KeccakX4", "KeccakX4Pqclean", "four Keccak-f[1600] at once", 0.90, "avx2"),
    ]

    def us(ns):
        # Three decimals for the permutation, which takes well under a µs.
        return f"{ns / 1e3:>10.3f}" if ns < 1e4 else f"{ns / 1e3:>10.1f}"

    for family, base, title, target, targeted in rows:
        if base not in med:
            continue
        base_cpu, base_wall = med[base]
        print(f"{title}:")
        print(f"  {'PQClean as shipped':<32}{us(base_cpu)}{us(base_wall)}")
        for variant in ("active", "avx512", "avx2", "portable"):
            key = f"{family}/{variant}"
            if key not in med:
                continue
            cpu, wall = med[key]
            mark = f"≤{target:.2f}" if variant == targeted and target else ""
            print(f"  {'kernel, ' + variant:<32}{us(cpu)}{us(wall)}"
                  f"{cpu / base_cpu:>11.2f}×{mark:>9}")
    if "KeccakX8/avx512" in med:
        cpu, wall = med["KeccakX8/avx512"]
        print(f"eight Keccak-f[1600] at once, avx512{cpu / 1e3:>8.3f}{wall / 1e3:>10.3f}"
              f"  ({cpu / 8:.0f} ns per state)")
    for key, title in (("DeriveSeed", "identity seed (HKDF only)"),
                       ("DeriveIdentity", "derive_identity (HKDF + keygen)"),
                       ("Chain16Signatures", "16 signature checks of a chain"),
                       ("Verify16/avx512", "16 checks, avx512 backend"),
                       ("Verify16/avx2", "16 checks, avx2 backend"),
                       ("Verify16/portable", "16 checks, portable backend"),
                       ("Chain16VerifyDelegation", "verify_delegation, 16 credentials")):
        if key in med:
            cpu, wall = med[key]
            print(f"{title:<34}{cpu / 1e3:>10.1f}{wall / 1e3:>10.1f}")
    print()
    return med


def issued_chain(vk, seed, tag, scope):
    """The islands and credential tuples of a 16-credential chain: island i
    derives from seed(i) and issues to island i + 1, the last as a leaf."""
    ids = [vk.IdentityIsland(seed(i), b"bench", tag) for i in range(CHAIN_LEN + 1)]
    creds = []
    for i in range(CHAIN_LEN):
        role = "leaf" if i + 1 == CHAIN_LEN else "node"
        payload, sig = ids[i].issue_credential(ids[i + 1].public_key(), role, i + 1, scope, b"")
        creds.append((ids[i].public_key(), sig, payload))
    return ids, creds


def measure(fn, count):
    """(cpu_ns, wall_ns) per call of fn over `count` calls."""
    c0, w0 = time.thread_time_ns(), time.perf_counter_ns()
    for i in range(count):
        fn(i)
    return ((time.thread_time_ns() - c0) / count, (time.perf_counter_ns() - w0) / count)


def run_rounds(cases):
    """cases: {name: (fn, count)} or {name: (fn, count, prepare)}; every
    round runs each once, in turn, calling prepare() untimed first."""
    samples = {name: [] for name in cases}
    for _ in range(ROUNDS):
        for name, (fn, count, *prepare) in cases.items():
            for step in prepare:
                step()
            samples[name].append(measure(fn, count))
    return {name: (statistics.median(s[0] for s in runs), statistics.median(s[1] for s in runs))
            for name, runs in samples.items()}


def module_table(vk, mldsa, kernel_medians, vestrel=None):
    master = bytes(range(32))
    island = vk.IdentityIsland(master, b"bench", b"issue")
    scope = vk.perm_tlv(b"docs", b"read")
    # 256 distinct payloads: the child key differs in its first two bytes.
    children = [bytes([j & 0xFF, j >> 8]) + bytes(vk.PK_SIZE - 2) for j in range(256)]
    payloads = [island.issue_credential(c, "node", 1, scope, b"")[0] for c in children]

    # The chain kernel_bench verifies, built the same way (see its Chain16).
    ids, creds = issued_chain(vk, lambda i: bytes([i]) * 32, b"chain", scope)
    root = ids[0].public_key()
    wire16 = vk.encode_chain(creds)
    wire1 = vk.encode_chain(creds[:1])
    wire4 = vk.encode_chain(creds[:4])
    assert vk.verify_delegation(root, wire16, NOW) == CHAIN_LEN

    cases = {
        "island": (lambda i: vk.IdentityIsland(master, b"bench", b"issue"), 100),
        "issue": (lambda i: island.issue_credential(children[i], "node", 1, scope, b""), 256),
        "verify1": (lambda i: vk.verify_delegation(root, wire1, NOW), 200),
        "verify4": (lambda i: vk.verify_delegation(root, wire4, NOW), 50),
        "verify16": (lambda i: vk.verify_delegation(root, wire16, NOW), 20),
    }
    if vestrel is not None:
        assert vestrel.verify(root, wire16, NOW).length == CHAIN_LEN
        ids = vestrel.verify(root, wire16, NOW).revocation_ids

        def refused_as_revoked(revoked):
            def call(i):
                try:
                    vestrel.verify(root, wire16, NOW, revoked=revoked)
                except vestrel.Revoked:
                    return
                raise AssertionError("a revoked chain verified")
            return call

        cases.update({
            "package1": (lambda i: vestrel.verify(root, wire1, NOW), 200),
            "package16": (lambda i: vestrel.verify(root, wire16, NOW), 20),
            "revoked_first": (refused_as_revoked({ids[0]}), 200),
            "revoked_last": (refused_as_revoked({ids[-1]}), 200),
        })
    if mldsa is not None:
        ossl_sk = mldsa.MLDSA65PrivateKey.from_seed_bytes(master)
        ossl_pk = ossl_sk.public_key()
        ossl_sig = ossl_sk.sign(creds[0][2])
        cases.update({
            "ossl_keygen": (lambda i: mldsa.MLDSA65PrivateKey.from_seed_bytes(master), 100),
            "ossl_sign": (lambda i: ossl_sk.sign(payloads[i]), 256),
            "ossl_verify": (lambda i: ossl_pk.verify(ossl_sig, creds[0][2]), 200),
        })
    med = run_rounds(cases)

    print(f"The module (medians of {ROUNDS} interleaved rounds, CPU time per call)")
    print(f"{'operation':<40}{'cpu µs':>10}{'wall µs':>10}{'ratio':>9}{'target':>9}")

    def row(title, cpu, wall, ratio=None, target=None):
        r = f"{ratio:>8.2f}×" if ratio is not None else ""
        t = f"≤{target:.2f}" if target is not None else ""
        print(f"{title:<40}{cpu / 1e3:>10.1f}{wall / 1e3:>10.1f}{r:>9}{t:>9}")

    def pair(ours, title, theirs, their_title, target):
        cpu, wall = med[ours]
        if theirs in med:
            base = med[theirs]
            row(their_title, *base)
            row(title, cpu, wall, cpu / base[0], target)
        else:
            row(title, cpu, wall)

    pair("island", "IdentityIsland(...)", "ossl_keygen", "OpenSSL from_seed_bytes", 0.40)
    pair("issue", "issue_credential (256 payloads)", "ossl_sign", "OpenSSL sign (same payloads)",
         0.30)
    pair("verify1", "verify_delegation, 1 credential", "ossl_verify", "OpenSSL verify", 0.40)
    cpu16, wall16 = med["verify16"]
    for key, count in (("verify4", 4), ("verify16", CHAIN_LEN)):
        per_cpu, per_wall = med[key][0] / count, med[key][1] / count
        title = f"verify_delegation, per credential of {count}"
        if "ossl_verify" in med:
            row(title, per_cpu, per_wall, per_cpu / med["ossl_verify"][0], 0.40)
        else:
            row(title, per_cpu, per_wall)
    kernel16 = kernel_medians.get("Chain16Signatures")
    if kernel16:
        row("16 signature checks in the kernel", *kernel16)
        row("verify_delegation, 16 credentials", cpu16, wall16, cpu16 / kernel16[0], 1.05)
    else:
        row("verify_delegation, 16 credentials", cpu16, wall16)
    if vestrel is not None:
        for count in (1, CHAIN_LEN):
            base, ours = med[f"verify{count}"], med[f"package{count}"]
            row(f"verify_delegation, {count} credential" + "s" * (count > 1), *base)
            row(f"vestrel.verify, {count} credential" + "s" * (count > 1), *ours, ours[0] / base[0],
                1.10 if count == 1 else 1.05)
        # Ids are computed in order up to the first revoked one, each a
        # SHA3-256 of 3309 bytes: the first credential costs one, the last 16.
        for key, which in (("revoked_first", "first"), ("revoked_last", "last")):
            cpu, wall = med[key]
            row(f"16 credentials, {which} revoked", cpu, wall, cpu / med["verify1"][0])
        print("  (ratio: to one credential's verification; no signature is checked)")
        verifier_table(vk, vestrel)
        request_table(vk, vestrel)
        threads_table(vk, vestrel, root, wire16)
    else:
        print("(the vestrel package is not built: no package figures)")
    if mldsa is None:
        print("(cryptography's ML-DSA is not available to this interpreter: "
              "no OpenSSL comparison)")


def verifier_table(vk, vestrel):
    """A service's verifier next to the module's verify_delegation on the same
    chains, interleaved: chains presented again (in new bytes objects, as a
    request header gives them), fresh leaves under a cached prefix, chains it
    has never seen; and the cost of 100,000 revoked ids on each."""
    scope = vk.perm_tlv(b"docs", b"read")
    calls = int(__import__("os").environ.get("CALLS", "20"))
    # A 15-credential prefix whose holder issues one fresh leaf per call.
    ids = [vk.IdentityIsland(bytes([i]) * 32, b"bench", b"prefix") for i in range(CHAIN_LEN)]
    prefix = []
    for i in range(CHAIN_LEN - 1):
        payload, sig = ids[i].issue_credential(ids[i + 1].public_key(), "node", i + 1, scope, b"")
        prefix.append((ids[i].public_key(), sig, payload))
    root = ids[0].public_key()
    holder = ids[CHAIN_LEN - 1]
    leaves = []
    for j in range((ROUNDS + 1) * calls * 3 + 3):
        child = j.to_bytes(4, "little") + bytes(vk.PK_SIZE - 4)
        payload, sig = holder.issue_credential(child, "leaf", CHAIN_LEN, scope, b"")
        leaves.append(vk.encode_chain(prefix + [(holder.public_key(), sig, payload)]))
    wire3 = vk.encode_chain(prefix[:3])
    copies = [bytes(bytearray(wire3)) for _ in range(calls * 10)]
    # Chains no verifier has seen: 16 distinct credentials each.
    cold = []
    for c in range(2):
        islands, creds = issued_chain(vk, lambda i: bytes([c, i]) + bytes(30), b"cold", scope)
        cold.append((islands[0].public_key(), vk.encode_chain(creds)))

    many = [i.to_bytes(32, "big") for i in range(100_000)]
    plain = vestrel.Verifier([root])
    revoking = vestrel.Verifier([root], revoked=many)
    # One id: what any revocation costs a credential never seen (its id is
    # hashed once), beside which the 100,000 ids must cost nothing more.
    one = vestrel.Verifier([root], revoked=many[:1])
    for verifier in (plain, revoking, one):
        verifier.verify(leaves[0], NOW)  # caches the prefix
    fresh = {"plain": iter(leaves[2::3]), "revoking": iter(leaves[3::3]), "one": iter(leaves[4::3])}

    # Two chains of 16 distinct credentials in turn through a cache with room
    # for 7: every check misses, and every credential is added and evicted.
    roots = [pk for pk, _ in cold]
    cycling = vestrel.Verifier(roots, cache_bytes=60_000)
    cycling_revoking = vestrel.Verifier(roots, cache_bytes=60_000, revoked=many)
    cycling_one = vestrel.Verifier(roots, cache_bytes=60_000, revoked=many[:1])
    cases = {
        "k3": (lambda i: vk.verify_delegation(root, wire3, NOW), calls),
        "re3": (lambda i: plain.verify(copies[i], NOW), calls * 10),
        "re3_revoked": (lambda i: revoking.verify(copies[i], NOW), calls * 10),
        "k16": (lambda i: vk.verify_delegation(root, leaves[1], NOW), calls // 4),
        "leaf": (lambda i: plain.verify(next(fresh["plain"]), NOW), calls),
        "leaf_revoked": (lambda i: revoking.verify(next(fresh["revoking"]), NOW), calls),
        "leaf_one": (lambda i: one.verify(next(fresh["one"]), NOW), calls),
        "cold": (lambda i: cycling.verify(cold[i % 2][1], NOW), calls // 4),
        "cold_revoked": (lambda i: cycling_revoking.verify(cold[i % 2][1], NOW), calls // 4),
        "cold_one": (lambda i: cycling_one.verify(cold[i % 2][1], NOW), calls // 4),
    }
    med = run_rounds(cases)
    print(f"{'Verifier.verify, against verify_delegation':<40}{'cpu µs':>10}{'wall µs':>10}"
          f"{'ratio':>9}{'target':>9}")
    k3, k16 = med["k3"][0], med["k16"][0]
    rows = [
        ("verify_delegation, 3 credentials", "k3", None, None),
        ("re-presented 3-credential chain", "re3", k3, 0.05),
        ("  the same, 100,000 ids revoked", "re3_revoked", med["re3"][0], 1.05),
        ("verify_delegation, 16 credentials", "k16", None, None),
        ("fresh leaf under a cached prefix", "leaf", k16, 0.12),
        ("  the same, 100,000 ids revoked", "leaf_revoked", med["leaf"][0], 1.05),
        ("  100,000 ids against one", "leaf_revoked", med["leaf_one"][0], 1.05),
        ("cold 16-credential chain", "cold", k16, 1.05),
        ("  the same, 100,000 ids revoked", "cold_revoked", med["cold"][0], None),
        ("  100,000 ids against one", "cold_revoked", med["cold_one"][0], 1.05),
    ]
    for title, key, base, target in rows:
        cpu, wall = med[key]
        ratio = f"{cpu / base:>8.2f}×" if base else ""
        mark = f"≤{target:.2f}" if target else ""
        print(f"{title:<40}{cpu / 1e3:>10.1f}{wall / 1e3:>10.1f}{ratio:>9}{mark:>9}")
    print("  (revoked rows: ratio to the chain's own row, then to one id revoked: with any")
    print("   revocation, a credential never seen has its signature hashed once for its id,")
    print("   which the cache then keeps)")


def request_table(vk, vestrel):
    """A request presented with a re-presented 3-credential token, checked
    by Verifier.verify_request, next to one holder proof check; the token's
    encoding and reading for 16 credentials next to a cold verification."""
    scope = vk.perm_tlv(b"/docs", b"GET")
    ids, creds = issued_chain(vk, lambda i: bytes([i]) * 32, b"request", scope)
    root = ids[0].public_key()
    wire16 = vk.encode_chain(creds)
    leaf = vk.IdentityIsland(bytes(32), b"bench", b"request-holder")
    payload, sig = ids[2].issue_credential(leaf.public_key(), "leaf", 3, scope, b"")
    wire3 = vk.encode_chain(creds[:2] + [(ids[2].public_key(), sig, payload)])
    token3, token16 = vestrel.encode_token(wire3), vestrel.encode_token(wire16)
    verifier = vestrel.Verifier([root])
    verifier.verify(token3, NOW)
    calls = 20
    url = "https://api.example.com/docs"
    # Each proof is good once, so every call of every round gets its own.
    signed = iter([vestrel.present(leaf, token3, "GET", url, now=NOW)
                   for _ in range((ROUNDS + 1) * calls)])
    # A server checks a request it has just read: each round's headers are
    # new strings written just before it (untimed), as a server's parser
    # writes them, not ones made long before and since gone cold.
    presented = []

    def receive():
        presented[:] = [{name: value.encode("latin-1").decode("latin-1")
                         for name, value in next(signed).items()} for _ in range(calls)]
    proof = vestrel.prove(leaf, b"challenge")
    holder_pk = leaf.public_key()
    cases = {
        "check_proof": (lambda i: vestrel.check_proof(holder_pk, b"challenge", proof), calls),
        "verify_request": (lambda i: verifier.verify_request("GET", url, presented[i], now=NOW),
                           calls, receive),
        "cold16": (lambda i: vk.verify_delegation(root, wire16, NOW), calls // 4),
        "encode16": (lambda i: vestrel.encode_token(wire16), calls),
        "decode16": (lambda i: vestrel.decode_token(token16, root), calls),
    }
    med = run_rounds(cases)
    print(f"{'requests and tokens':<40}{'cpu µs':>10}{'wall µs':>10}{'ratio':>9}{'target':>9}")
    rows = [
        ("check_proof (one holder proof)", "check_proof", None, None),
        ("verify_request, re-presented 3-cred token", "verify_request", "check_proof", 1.3),
        ("verify_delegation, 16 credentials", "cold16", None, None),
        ("encode_token, 16 credentials", "encode16", "cold16", 0.05),
        ("decode_token, 16 credentials", "decode16", "cold16", 0.05),
    ]
    for title, key, base, target in rows:
        cpu, wall = med[key]
        ratio = f"{cpu / med[base][0]:>8.2f}×" if base else ""
        mark = f"≤{target:.2f}" if target else ""
        print(f"{title:<40}{cpu / 1e3:>10.1f}{wall / 1e3:>10.1f}{ratio:>9}{mark:>9}")
    print(f"  (token characters: 3 credentials {len(token3)}, 16 credentials {len(token16)})")


def threads_table(vk, vestrel, root, wire16, per_thread=24):
    """Verifications of the 16-credential chain per second, wall clock, with
    one thread and with two, interleaved round by round; medians. The module's
    verify_delegation keeps the interpreter lock: it shows what the machine
    gives when nothing runs in parallel."""

    def throughput(verify, threads):
        barrier = threading.Barrier(threads + 1)

        def work():
            barrier.wait()
            for _ in range(per_thread):
                verify(root, wire16, NOW)

        pool = [threading.Thread(target=work) for _ in range(threads)]
        for t in pool:
            t.start()
        start = time.perf_counter()
        barrier.wait()
        for t in pool:
            t.join()
        return threads * per_thread / (time.perf_counter() - start)

    # A control of what this machine gives two threads at all: the standard
    # library's hashing releases the lock too, and needs no kernel.
    block = bytes(1 << 20)
    # One Verifier shared by both threads, its cache off so that every call
    # checks all 16 signatures.
    shared = vestrel.Verifier([root], cache_bytes=0)
    calls = {"vestrel.verify": vestrel.verify,
             "one Verifier shared, cold": lambda _root, wire, now: shared.verify(wire, now),
             "verify_delegation (keeps the lock)": vk.verify_delegation,
             "control: hashlib.sha256 of 1 MiB": lambda *_: hashlib.sha256(block).digest()}
    rounds = {(name, n): [] for name in calls for n in (1, 2)}
    for _ in range(ROUNDS):
        for name, threads in rounds:
            rounds[name, threads].append(throughput(calls[name], threads))
    print(f"{'16-credential verifications per second':<40}{'1 thread':>10}{'2 threads':>10}"
          f"{'ratio':>9}{'target':>9}")
    for name in calls:
        one, two = (statistics.median(rounds[name, n]) for n in (1, 2))
        target = "≥1.70" if name in ("vestrel.verify", "one Verifier shared, cold") else ""
        print(f"{name:<40}{one:>10.0f}{two:>10.0f}{two / one:>8.2f}×{target:>9}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kernel-json", required=True, help="kernel_bench --benchmark_out file")
    parser.add_argument("--module-dir", help="directory holding vestrel_kernel.abi3.so")
    parser.add_argument("--package-dir", help="directory holding the vestrel package")
    args = parser.parse_args()

    kernel_medians = kernel_table(args.kernel_json)
    if not args.module_dir or not any(Path(args.module_dir).glob("vestrel_kernel*.so")):
        print("(the module is not built: no module figures)")
        return
    sys.path.insert(0, args.module_dir)
    import vestrel_kernel as vk
    vestrel = None
    if args.package_dir and Path(args.package_dir, "vestrel").is_dir():
        sys.path.insert(0, args.package_dir)
        import vestrel
    try:
        from cryptography.hazmat.primitives.asymmetric import mldsa
    except ImportError:
        mldsa = None
    module_table(vk, mldsa, kernel_medians, vestrel)


if __name__ == "__main__":
    main()
