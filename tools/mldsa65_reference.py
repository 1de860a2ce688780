"""A slow, independent ML-DSA-65 (FIPS 204) and identity derivation in pure Python.

tools/gen_vectors.py needs signatures over payloads that the module refuses to
issue (a role byte of 2, an empty scope, bytes after the caveats, ...), so that
the conformance vectors can show a verifier reaching those rules behind a valid
signature. This file signs arbitrary messages with a derived identity's key. It
also re-derives every public key the vectors publish, which cross-checks the
module against code that shares nothing with it but the standards.

Pure mode with the empty context is implemented, because that is the only
form the credentials use; signing is deterministic (rnd = 32 zero bytes) unless
a test passes its own rnd, and may start from a message representative mu
computed elsewhere, as a signer that takes mu does. Nothing here is
constant-time; it is for making test data, never for real keys.
"""

from __future__ import annotations

import hashlib
import hmac
from dataclasses import dataclass
from typing import List, Sequence, Tuple

Q = 8380417
N = 256
D = 13
TAU = 49
LAMBDA = 192
GAMMA1 = 1 << 19
GAMMA2 = (Q - 1) // 32
K, L = 6, 5
ETA = 4
BETA = TAU * ETA
OMEGA = 55
CTILDE_BYTES = LAMBDA // 4

DERIVATION_LABEL = b"Vestrel-Kernel-v1"
SEPARATOR = b":"

Poly = List[int]
Vec = List[Poly]


def _bitrev8(x: int) -> int:
    return int(f"{x:08b}"[::-1], 2)


ZETAS = [pow(1753, _bitrev8(i), Q) for i in range(N)]
N_INV = pow(256, -1, Q)


def _shake256(data: bytes, n: int) -> bytes:
    return hashlib.shake_256(data).digest(n)


# --- NTT -----------------------------------------------------------------------


def ntt(f: Poly) -> Poly:
    w = list(f)
    m, length = 0, 128
    while length >= 1:
        for start in range(0, N, 2 * length):
            m += 1
            z = ZETAS[m]
            for j in range(start, start + length):
                t = z * w[j + length] % Q
                w[j + length] = (w[j] - t) % Q
                w[j] = (w[j] + t) % Q
        length //= 2
    return w


def ntt_inverse(w_hat: Poly) -> Poly:
    w = list(w_hat)
    m, length = 256, 1
    while length < N:
        for start in range(0, N, 2 * length):
            m -= 1
            z = Q - ZETAS[m]
            for j in range(start, start + length):
                t = w[j]
                w[j] = (t + w[j + length]) % Q
                w[j + length] = z * (t - w[j + length]) % Q
        length *= 2
    return [x * N_INV % Q for x in w]


def _mul(a: Poly, b: Poly) -> Poly:
    return [x * y % Q for x, y in zip(a, b)]


def _add(a: Poly, b: Poly) -> Poly:
    return [(x + y) % Q for x, y in zip(a, b)]


def _sub(a: Poly, b: Poly) -> Poly:
    return [(x - y) % Q for x, y in zip(a, b)]


def _mat_vec(a_hat: List[Vec], v_hat: Vec) -> Vec:
    out = []
    for row in a_hat:
        acc = [0] * N
        for a, v in zip(row, v_hat):
            acc = _add(acc, _mul(a, v))
        out.append(acc)
    return out


# --- sampling ------------------------------------------------------------------


def _rej_ntt_poly(seed: bytes) -> Poly:
    # Three bytes per candidate; the top bit of the third is dropped.
    stream = hashlib.shake_128(seed).digest(1344)
    out: Poly = []
    pos = 0
    while len(out) < N:
        if pos + 3 > len(stream):
            stream = hashlib.shake_128(seed).digest(2 * len(stream))
        z = stream[pos] | stream[pos + 1] << 8 | (stream[pos + 2] & 0x7F) << 16
        pos += 3
        if z < Q:
            out.append(z)
    return out


def _rej_bounded_poly(seed: bytes) -> Poly:
    stream = _shake256(seed, 512)
    out: Poly = []
    pos = 0
    while len(out) < N:
        if pos >= len(stream):
            stream = _shake256(seed, 2 * len(stream))
        byte = stream[pos]
        pos += 1
        for half in (byte & 0x0F, byte >> 4):
            if half < 9 and len(out) < N:
                out.append((ETA - half) % Q)
    return out


def expand_a(rho: bytes) -> List[Vec]:
    return [[_rej_ntt_poly(rho + bytes([s, r])) for s in range(L)] for r in range(K)]


def _expand_s(rho_prime: bytes) -> Tuple[Vec, Vec]:
    s1 = [_rej_bounded_poly(rho_prime + r.to_bytes(2, "little")) for r in range(L)]
    s2 = [_rej_bounded_poly(rho_prime + (r + L).to_bytes(2, "little")) for r in range(K)]
    return s1, s2


def _expand_mask(rho2: bytes, kappa: int) -> Vec:
    y = []
    for r in range(L):
        packed = _shake256(rho2 + (kappa + r).to_bytes(2, "little"), 640)
        value = int.from_bytes(packed, "little")
        y.append([(GAMMA1 - (value >> (20 * i) & 0xFFFFF)) % Q for i in range(N)])
    return y


def _sample_in_ball(c_tilde: bytes) -> Poly:
    stream = _shake256(c_tilde, 8 + 4 * N)
    signs = int.from_bytes(stream[:8], "little")
    pos = 8
    c = [0] * N
    for i in range(N - TAU, N):
        while stream[pos] > i:
            pos += 1
        j = stream[pos]
        pos += 1
        c[i] = c[j]
        c[j] = Q - 1 if signs & 1 else 1
        signs >>= 1
    return c


# --- rounding ------------------------------------------------------------------


def _mod_pm(r: int, m: int) -> int:
    r0 = r % m
    return r0 - m if r0 > m // 2 else r0


def _power2round(r: int) -> Tuple[int, int]:
    r0 = _mod_pm(r, 1 << D)
    return (r - r0) >> D, r0


def _decompose(r: int) -> Tuple[int, int]:
    r0 = _mod_pm(r, 2 * GAMMA2)
    if r - r0 == Q - 1:
        return 0, r0 - 1
    return (r - r0) // (2 * GAMMA2), r0


def _norm(x: int) -> int:
    x %= Q
    return Q - x if x > Q // 2 else x


# --- encodings -----------------------------------------------------------------


def _pack(values: Sequence[int], bits: int) -> bytes:
    acc = 0
    for i, v in enumerate(values):
        acc |= v << (bits * i)
    return acc.to_bytes(bits * len(values) // 8, "little")


# --- the key pair ----------------------------------------------------------------


@dataclass(frozen=True)
class KeyPair:
    public_key: bytes
    rho: bytes
    key: bytes
    tr: bytes
    s1_hat: Vec
    s2_hat: Vec
    t0_hat: Vec
    a_hat: List[Vec]


def keygen(xi: bytes) -> KeyPair:
    """ML-DSA.KeyGen_internal for ML-DSA-65 from the 32-byte seed xi."""
    expanded = _shake256(xi + bytes([K, L]), 128)
    rho, rho_prime, key = expanded[:32], expanded[32:96], expanded[96:]
    a_hat = expand_a(rho)
    s1, s2 = _expand_s(rho_prime)
    t = [_add(ntt_inverse(p), s) for p, s in zip(_mat_vec(a_hat, [ntt(p) for p in s1]), s2)]
    t1 = [[_power2round(c)[0] for c in p] for p in t]
    t0 = [[_power2round(c)[1] % Q for c in p] for p in t]
    pk = rho + b"".join(_pack(p, 10) for p in t1)
    return KeyPair(pk, rho, key, _shake256(pk, 64), [ntt(p) for p in s1], [ntt(p) for p in s2],
                   [ntt(p) for p in t0], a_hat)


def message_representative(tr: bytes, message: bytes) -> bytes:
    """mu of ML-DSA.Sign, pure mode, empty context: SHAKE256(tr || 00 00 || M, 64)."""
    return _shake256(tr + b"\x00\x00" + message, 64)


def sign(kp: KeyPair, message: bytes, rnd: bytes = bytes(32)) -> bytes:
    """ML-DSA.Sign, pure mode, empty context; deterministic with the default rnd."""
    return sign_mu(kp, message_representative(kp.tr, message), rnd)


def sign_mu(kp: KeyPair, mu: bytes, rnd: bytes = bytes(32)) -> bytes:
    """ML-DSA.Sign_internal from the message representative mu."""
    if len(mu) != 64 or len(rnd) != 32:
        raise ValueError("mu is 64 bytes and rnd 32")
    rho2 = _shake256(kp.key + rnd + mu, 64)
    kappa = 0
    while True:
        y = _expand_mask(rho2, kappa)
        kappa += L
        w = [ntt_inverse(p) for p in _mat_vec(kp.a_hat, [ntt(p) for p in y])]
        w1 = [[_decompose(c)[0] for c in p] for p in w]
        c_tilde = _shake256(mu + b"".join(_pack(p, 4) for p in w1), CTILDE_BYTES)
        c_hat = ntt(_sample_in_ball(c_tilde))
        cs1 = [ntt_inverse(_mul(c_hat, s)) for s in kp.s1_hat]
        cs2 = [ntt_inverse(_mul(c_hat, s)) for s in kp.s2_hat]
        z = [_add(a, b) for a, b in zip(y, cs1)]
        w_cs2 = [_sub(a, b) for a, b in zip(w, cs2)]
        if max(_norm(c) for p in z for c in p) >= GAMMA1 - BETA:
            continue
        if max(_norm(_decompose(c)[1]) for p in w_cs2 for c in p) >= GAMMA2 - BETA:
            continue
        ct0 = [ntt_inverse(_mul(c_hat, t)) for t in kp.t0_hat]
        if max(_norm(c) for p in ct0 for c in p) >= GAMMA2:
            continue
        # A hint marks where adding ct0 back would change the high bits.
        hints = [[j for j in range(N) if _decompose((a[j] + b[j]) % Q)[0] != _decompose(a[j])[0]]
                 for a, b in zip(w_cs2, ct0)]
        if sum(len(h) for h in hints) > OMEGA:
            continue
        z_packed = b"".join(_pack([(GAMMA1 - c) % Q for c in p], 20) for p in z)
        positions = [j for h in hints for j in h]
        counts, total = [], 0
        for h in hints:
            total += len(h)
            counts.append(total)
        hint_bytes = bytes(positions) + bytes(OMEGA - len(positions)) + bytes(counts)
        return c_tilde + z_packed + hint_bytes


# --- identity derivation ------------------------------------------------------


def hkdf_prk(master: bytes) -> bytes:
    return hmac.new(DERIVATION_LABEL, master, hashlib.sha3_512).digest()


def mldsa_seed(master: bytes, deployment: bytes, context: bytes) -> bytes:
    """HKDF-SHA3-512 with L = 32: one expand block, truncated."""
    info = deployment + SEPARATOR + context
    return hmac.new(hkdf_prk(master), info + b"\x01", hashlib.sha3_512).digest()[:32]


def derive(master: bytes, deployment: bytes, context: bytes) -> KeyPair:
    return keygen(mldsa_seed(master, deployment, context))
