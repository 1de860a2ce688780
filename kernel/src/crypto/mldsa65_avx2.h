// The AVX2 backend's vector code: NTT, inverse NTT, Montgomery products, the
// norm check, and the SHAKE samplers run four streams at a time.
//
// Identical outputs are the design rule: keys, signatures, verdicts and every
// encoded byte are those of PQClean's ml-dsa-65/clean routines, which the
// portable backend runs. Inside the backend the vector code picks its own
// order of work and its own reduction points, wherever a later step makes the
// result the same. Two values leave it and must match PQClean exactly:
//
//  - The forward NTT's output, which the expanded key keeps (s1_hat, s2_hat,
//    t0_hat) and which is stored in natural order. Its butterflies are
//    PQClean's, none reduced, so each coefficient is the same integer; only
//    the order in which the levels are worked through differs.
//  - Everything after the inverse NTT. Its last level also applies the factor
//    2^64/256 that PQClean multiplies in afterwards, so its coefficients are
//    PQClean's modulo q but may be other representatives; every caller makes
//    them canonical before anything depends on the representative (see
//    avx2_invntt_tomont).
//
// Included only by mldsa65_backend.cc, after PQClean's sources and with AVX2
// enabled for the code that follows.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ct_marks.h"
#include "keccak_x4.h"

namespace vestrel::mldsa65::VESTREL_MLDSA65_ISA {
namespace {

// --- Twiddle factors ---------------------------------------------------------

constexpr std::int32_t kQinv = 58728449;  // q^-1 mod 2^32
static_assert(static_cast<std::uint32_t>(Q) * static_cast<std::uint32_t>(kQinv) == 1);

constexpr std::int32_t times_qinv(std::int32_t z) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(z) *
                                   static_cast<std::uint32_t>(kQinv));
}

// PQClean's montgomery_reduce: a * 2^-32 mod q, in (-q, q) for |a| < 2^31 q.
constexpr std::int32_t montgomery(std::int64_t a) {
  const std::int32_t t = times_qinv(static_cast<std::int32_t>(a));
  return static_cast<std::int32_t>((a - std::int64_t{t} * Q) >> 32);
}

// PQClean's zetas[k] (k >= 1): the Montgomery form 2^32 * r^brv8(k) mod q of
// the powers of r = 1753, a 512th root of unity, centred on zero. `neg` is
// -zetas[k], which the inverse transform uses; the `_q` forms are the same
// values times q^-1 mod 2^32, which spares a multiplication per product.
struct ZetaTable {
  std::int32_t pos[256], pos_q[256], neg[256], neg_q[256];
};

constexpr ZetaTable make_zetas() {
  std::int64_t power[256] = {1};
  for (unsigned i = 1; i < 256; ++i) power[i] = power[i - 1] * 1753 % Q;
  ZetaTable t{};
  for (unsigned k = 1; k < 256; ++k) {
    unsigned brv = 0;
    for (unsigned i = 0; i < 8; ++i) brv |= ((k >> i) & 1u) << (7 - i);
    const std::int64_t x = power[brv] * ((std::int64_t{1} << 32) % Q) % Q;
    t.pos[k] = static_cast<std::int32_t>(x > Q / 2 ? x - Q : x);
    t.neg[k] = -t.pos[k];
    t.pos_q[k] = times_qinv(t.pos[k]);
    t.neg_q[k] = times_qinv(t.neg[k]);
  }
  return t;
}

constexpr ZetaTable kZetas = make_zetas();
static_assert(kZetas.pos[1] == 25847 && kZetas.pos[2] == -2608894 && kZetas.pos[255] == 1976782);

// Zetas of the three innermost levels, laid out as the shuffled registers of
// ntt_inner and invntt_inner see them: row r covers registers 2r and 2r + 1
// of the polynomial (coefficients 16r .. 16r + 15). With s the index of a
// butterfly group within its level, the forward transform uses zetas[B + s]
// and the inverse -zetas[2B - 1 - s], B being 32, 64 and 128 for the levels
// of distance 4, 2 and 1.
//
// vpmuldq reads only the even lanes of its operands, so each row is stored
// twice: as it is (`even`, for the even lanes) and with every odd lane's
// value moved into the even lane before it (`odd`), so that no shift is
// needed to bring the odd lanes' zetas into place.
struct alignas(32) InnerZetas {
  std::int32_t even[3][16][8], even_q[3][16][8];
  std::int32_t odd[3][16][8], odd_q[3][16][8];
};

constexpr InnerZetas make_inner_zetas(bool inverse) {
  InnerZetas t{};
  for (unsigned row = 0; row < 16; ++row) {
    for (unsigned lane = 0; lane < 8; ++lane) {
      // Distance 4: lanes 0-3 hold group 2r, lanes 4-7 group 2r + 1.
      // Distance 2: the lanes hold coefficients 0 4 1 5 | 8 12 9 13 of the
      // row, so 4-groups 0 1 0 1 | 2 3 2 3.
      // Distance 1: each lane one pair, 8r + lane.
      constexpr unsigned kGroupOfLane[8] = {0, 1, 0, 1, 2, 3, 2, 3};
      const unsigned base[3] = {32, 64, 128};
      const unsigned group[3] = {2 * row + lane / 4, 4 * row + kGroupOfLane[lane], 8 * row + lane};
      for (unsigned level = 0; level < 3; ++level) {
        const unsigned k =
            inverse ? 2 * base[level] - 1 - group[level] : base[level] + group[level];
        const std::int32_t z = inverse ? kZetas.neg[k] : kZetas.pos[k];
        const std::int32_t zq = inverse ? kZetas.neg_q[k] : kZetas.pos_q[k];
        t.even[level][row][lane] = z;
        t.even_q[level][row][lane] = zq;
        t.odd[level][row][lane & ~1u] = lane & 1u ? z : t.odd[level][row][lane & ~1u];
        t.odd_q[level][row][lane & ~1u] = lane & 1u ? zq : t.odd_q[level][row][lane & ~1u];
      }
    }
  }
  return t;
}

constexpr InnerZetas kForwardInner = make_inner_zetas(false);
constexpr InnerZetas kInverseInner = make_inner_zetas(true);

// --- Montgomery arithmetic -----------------------------------------------------

// Each of these returns, lane by lane, PQClean's montgomery_reduce((int64_t)a
// * b): t = (int32)(a*b * q^-1), then (a*b - t*q) >> 32. The 64-bit products
// are formed in the even lanes and, after moving the odd lanes down, the odd
// ones; the low halves of a*b and t*q cancel exactly, so the high halves
// carry the result. The result is below q/2 + |a*b| / 2^32 in magnitude.

// Lanes 1, 3, 5, 7 copied into 0, 2, 4, 6 (and kept where they were): a
// shuffle, which leaves the shift units to the other work around it.
inline __m256i odd_down(__m256i x) noexcept {
  return _mm256_castps_si256(_mm256_movehdup_ps(_mm256_castsi256_ps(x)));
}

inline __m256i high_halves(__m256i even, __m256i odd) noexcept {
  return _mm256_blend_epi32(odd_down(even), odd, 0xAA);
}

// b * z lane by lane, given z and zq = z * q^-1 for the even lanes in
// (z, zq) and for the odd lanes, moved down, in (z_odd, zq_odd). A constant
// zeta passes the same registers twice.
inline __m256i mont_mul_zeta(__m256i b, __m256i z, __m256i zq, __m256i z_odd,
                             __m256i zq_odd) noexcept {
  const __m256i q = _mm256_set1_epi32(Q);
  const __m256i b_odd = odd_down(b);
  const __m256i t_even = _mm256_mul_epi32(b, zq);
  const __m256i t_odd = _mm256_mul_epi32(b_odd, zq_odd);
  const __m256i p_even = _mm256_mul_epi32(b, z);
  const __m256i p_odd = _mm256_mul_epi32(b_odd, z_odd);
  const __m256i r_even = _mm256_sub_epi64(p_even, _mm256_mul_epi32(t_even, q));
  const __m256i r_odd = _mm256_sub_epi64(p_odd, _mm256_mul_epi32(t_odd, q));
  return high_halves(r_even, r_odd);
}

// b * z with z in every lane and zq = z * q^-1 precomputed.
inline __m256i mont_mul_const(__m256i b, __m256i z, __m256i zq) noexcept {
  return mont_mul_zeta(b, z, zq, z, zq);
}

// a * b, neither known in advance.
inline __m256i mont_mul(__m256i a, __m256i b) noexcept {
  const __m256i q = _mm256_set1_epi32(Q);
  const __m256i qinv = _mm256_set1_epi32(kQinv);
  const __m256i p_even = _mm256_mul_epi32(a, b);
  const __m256i p_odd = _mm256_mul_epi32(odd_down(a), odd_down(b));
  const __m256i t_even = _mm256_mul_epi32(p_even, qinv);
  const __m256i t_odd = _mm256_mul_epi32(p_odd, qinv);
  const __m256i r_even = _mm256_sub_epi64(p_even, _mm256_mul_epi32(t_even, q));
  const __m256i r_odd = _mm256_sub_epi64(p_odd, _mm256_mul_epi32(t_odd, q));
  return high_halves(r_even, r_odd);
}

// Unaligned forms: PQClean's poly promises only 4-byte alignment, and on CPUs
// with AVX2 an unaligned access to aligned data costs nothing extra.
inline __m256i load8(const std::int32_t* p) noexcept {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
inline void store8(std::int32_t* p, __m256i v) noexcept {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

// --- Lane shuffles for the three innermost levels ------------------------------
//
// Two registers x0, x1 hold coefficients 0..7 and 8..15 of a row. The
// levels of distance 4, 2 and 1 need each butterfly's two coefficients in the
// same lane of two registers, the first one's (with the lower index) in x0:
//   distance 4: x0 = 0 1 2 3 | 8 9 10 11,   x1 = 4 5 6 7 | 12 13 14 15
//   distance 2: x0 = 0 4 1 5 | 8 12 9 13,   x1 = 2 6 3 7 | 10 14 11 15
//   distance 1: x0 = 0 2 4 6 | 8 10 12 14,  x1 = 1 3 5 7 | 9 11 13 15
// (`|` parts the 128-bit halves). After the first, each step to the next
// layout is one interleave of 32-bit lanes within each half, and each step
// back one de-interleave: the forward transform goes 4 -> 2 -> 1 -> 4, the
// inverse 4 -> 1 -> 2 -> 4, two shuffles per step and register pair.

// Natural order to the distance-4 layout and back: the 128-bit halves swap.
inline void to_halves(__m256i& x0, __m256i& x1) noexcept {
  const __m256i lo = _mm256_permute2x128_si256(x0, x1, 0x20);
  const __m256i hi = _mm256_permute2x128_si256(x0, x1, 0x31);
  x0 = lo, x1 = hi;
}
inline void from_halves(__m256i& lo, __m256i& hi) noexcept { to_halves(lo, hi); }

// (x0 y0 x1 y1 | ...), (x2 y2 x3 y3 | ...).
inline void interleave(__m256i& x, __m256i& y) noexcept {
  const __m256i lo = _mm256_unpacklo_epi32(x, y);
  const __m256i hi = _mm256_unpackhi_epi32(x, y);
  x = lo, y = hi;
}
// (x0 x2 y0 y2 | ...), (x1 x3 y1 y3 | ...): undoes interleave.
inline void deinterleave(__m256i& x, __m256i& y) noexcept {
  const __m256 xf = _mm256_castsi256_ps(x), yf = _mm256_castsi256_ps(y);
  x = _mm256_castps_si256(_mm256_shuffle_ps(xf, yf, 0x88));
  y = _mm256_castps_si256(_mm256_shuffle_ps(xf, yf, 0xDD));
}

// --- Forward NTT ---------------------------------------------------------------
//
// PQClean's loop: for len = 128 .. 1, for each block, zeta = zetas[++k],
//   t = mont(zeta * a[j + len]); a[j + len] = a[j] - t; a[j] = a[j] + t.
// The same butterflies, none of them reduced, so every coefficient comes out
// as the same integer as PQClean's and in natural order: the expanded key
// keeps these images. Two passes over the polynomial: levels 128 and 64 on
// eight registers strided 32 apart, then, for each block of 64 coefficients
// held in eight registers, levels 32, 16 and 8 between registers and 4, 2
// and 1 after shuffling the pairs of each butterfly into matching lanes.
// Each level of a pass is four independent butterflies, which keeps both
// multipliers busy through the latency of a Montgomery product.
//
// Bounds: every level adds at most |mont(zeta * b)| < q/2 + 2^17 to the
// magnitude (|zeta| < q/2 < 2^22, |b| < 9q < 2^27), so inputs below q stay
// below 9q (ML-DSA's inputs: |y| <= 2^19, |t1 * 2^13| < 2^23, |s|, |c| <= 4),
// and products of two images stay far inside 64 bits.

inline void ct(__m256i& a, __m256i& b, __m256i t) noexcept {
  b = _mm256_sub_epi32(a, t);
  a = _mm256_add_epi32(a, t);
}

// One butterfly with zetas[k] for every lane.
inline void ct_const(__m256i& a, __m256i& b, unsigned k) noexcept {
  ct(a, b, mont_mul_const(b, _mm256_set1_epi32(kZetas.pos[k]), _mm256_set1_epi32(kZetas.pos_q[k])));
}

// One butterfly with the per-lane zetas of `level` in row `row`.
inline void ct_lanes(__m256i& a, __m256i& b, const InnerZetas& z, unsigned level,
                     unsigned row) noexcept {
  ct(a, b,
     mont_mul_zeta(b, load8(z.even[level][row]), load8(z.even_q[level][row]),
                   load8(z.odd[level][row]), load8(z.odd_q[level][row])));
}

// Levels 4, 2 and 1 on the 64 coefficients of r (rows 4 blk .. 4 blk + 3),
// each step on all four register pairs before the next, which are
// independent of each other.
inline void ntt_inner(__m256i (&r)[8], unsigned blk) noexcept {
  const InnerZetas& z = kForwardInner;
  for (unsigned j = 0; j < 8; j += 2) to_halves(r[j], r[j + 1]);
  for (unsigned level = 0; level < 3; ++level) {
    for (unsigned j = 0; j < 8; j += 2) ct_lanes(r[j], r[j + 1], z, level, 4 * blk + j / 2);
    for (unsigned j = 0; j < 8; j += 2) interleave(r[j], r[j + 1]);
  }
  for (unsigned j = 0; j < 8; j += 2) from_halves(r[j], r[j + 1]);
}

void avx2_ntt(std::int32_t* a) noexcept {
  // Levels 128 and 64: zetas 1; 2, 3.
  for (unsigned col = 0; col < 32; col += 8) {
    __m256i r[8];
    for (unsigned i = 0; i < 8; ++i) r[i] = load8(a + 32 * i + col);
    for (unsigned i = 0; i < 4; ++i) ct_const(r[i], r[i + 4], 1);
    for (unsigned i = 0; i < 2; ++i) {
      ct_const(r[i], r[i + 2], 2);
      ct_const(r[i + 4], r[i + 6], 3);
    }
    for (unsigned i = 0; i < 8; ++i) store8(a + 32 * i + col, r[i]);
  }
  // Block b of 64 coefficients is group b of level 32 (zeta 4 + b), groups
  // 2b, 2b + 1 of level 16 (zetas 8 + 2b, 9 + 2b) and 4b .. 4b + 3 of level
  // 8 (zetas 16 + 4b ..).
  for (unsigned b = 0; b < 4; ++b) {
    std::int32_t* block = a + 64 * b;
    __m256i r[8];
    for (unsigned i = 0; i < 8; ++i) r[i] = load8(block + 8 * i);
    for (unsigned i = 0; i < 4; ++i) ct_const(r[i], r[i + 4], 4 + b);
    for (unsigned i = 0; i < 2; ++i) {
      ct_const(r[i], r[i + 2], 8 + 2 * b);
      ct_const(r[i + 4], r[i + 6], 9 + 2 * b);
    }
    for (unsigned j = 0; j < 4; ++j) ct_const(r[2 * j], r[2 * j + 1], 16 + 4 * b + j);
    ntt_inner(r, b);
    for (unsigned i = 0; i < 8; ++i) store8(block + 8 * i, r[i]);
  }
}

// --- Inverse NTT -----------------------------------------------------------------
//
// PQClean's loop: for len = 1 .. 128, for each block, zeta = -zetas[--k],
//   t = a[j]; a[j] = t + a[j + len]; a[j + len] = mont(zeta * (t - a[j + len])),
// then every coefficient times f = mont^2/256. The block visited at position
// s of level len uses k = 256/len - 1 - s. Here the same butterflies run in
// the forward transform's two passes taken backwards, and the factor f is
// folded into the last level: a[j] = mont(f * (t + a[j + 128])) and
// a[j + 128] = mont(f' * (t - a[j + 128])) with f' = mont(f * -zetas[1]),
// one product per coefficient instead of two for half of them.
//
// Bounds, for inputs below q in magnitude (every caller's: reduce32 output,
// or Montgomery products of NTT images, below q/2 + 2^21): after l levels a
// coefficient is a sum of at most 2^l terms each below q (inputs or
// Montgomery products), so the last level's sums and differences stay below
// 256 (q - 1) < 2^31 and nothing needs reducing on the way. The results are
// below q/2 + 2^21 in magnitude (|f|, |f'| < q/2 < 2^22 times less than 2^31,
// over 2^32), so below q - 4.
//
// The representatives may differ from PQClean's by q: mont(f' * x) and
// mont(f * mont(-zetas[1] * x)) agree only modulo q. Every caller makes them
// canonical before they matter. Key generation adds s2 (below 4) and caddq
// maps (-q, q) onto [0, q); signing's w and verification's w' go through
// caddq too. Signing's other three products go through reduce32 and a norm
// check: reduce32 returns a value below 6283009 in magnitude, so for a
// residue with a representative v below 2^21 in magnitude (q - 6283009 >
// 2^21) it returns v from any input, and the checks accept only values below
// 2^19. Accepted values, and so signatures, are PQClean's; a rejected one is
// rejected by both.

// One butterfly with -zetas[k] for every lane.
inline void gs_const(__m256i& a, __m256i& b, unsigned k) noexcept {
  const __m256i t = a;
  a = _mm256_add_epi32(t, b);
  b = mont_mul_const(_mm256_sub_epi32(t, b), _mm256_set1_epi32(kZetas.neg[k]),
                     _mm256_set1_epi32(kZetas.neg_q[k]));
}

inline void gs_lanes(__m256i& a, __m256i& b, const InnerZetas& z, unsigned level,
                     unsigned row) noexcept {
  const __m256i t = a;
  a = _mm256_add_epi32(t, b);
  b = mont_mul_zeta(_mm256_sub_epi32(t, b), load8(z.even[level][row]), load8(z.even_q[level][row]),
                    load8(z.odd[level][row]), load8(z.odd_q[level][row]));
}

// Levels 1, 2 and 4 on the 64 coefficients of r, back in natural order after.
inline void invntt_inner(__m256i (&r)[8], unsigned blk) noexcept {
  const InnerZetas& z = kInverseInner;
  for (unsigned j = 0; j < 8; j += 2) to_halves(r[j], r[j + 1]);
  for (unsigned level = 3; level-- > 0;) {
    for (unsigned j = 0; j < 8; j += 2) deinterleave(r[j], r[j + 1]);
    for (unsigned j = 0; j < 8; j += 2) gs_lanes(r[j], r[j + 1], z, level, 4 * blk + j / 2);
  }
  for (unsigned j = 0; j < 8; j += 2) from_halves(r[j], r[j + 1]);
}

constexpr std::int32_t kInvScale = 41978;  // mont^2/256: 2^64 / 256 mod q
constexpr std::int32_t kInvScaleZeta = montgomery(std::int64_t{kInvScale} * kZetas.neg[1]);
static_assert(kInvScaleZeta > -Q / 2 && kInvScaleZeta < Q / 2);

void avx2_invntt_tomont(std::int32_t* a) noexcept {
  for (unsigned b = 0; b < 4; ++b) {
    std::int32_t* block = a + 64 * b;
    __m256i r[8];
    for (unsigned i = 0; i < 8; ++i) r[i] = load8(block + 8 * i);
    invntt_inner(r, b);
    // Level 8: groups s = 4b + j, k = 31 - s; level 16: s = 2b, 2b + 1,
    // k = 15 - s; level 32: s = b, k = 7 - b.
    for (unsigned j = 0; j < 4; ++j) gs_const(r[2 * j], r[2 * j + 1], 31 - 4 * b - j);
    for (unsigned i = 0; i < 2; ++i) {
      gs_const(r[i], r[i + 2], 15 - 2 * b);
      gs_const(r[i + 4], r[i + 6], 14 - 2 * b);
    }
    for (unsigned i = 0; i < 4; ++i) gs_const(r[i], r[i + 4], 7 - b);
    for (unsigned i = 0; i < 8; ++i) store8(block + 8 * i, r[i]);
  }
  // Level 64 (k = 3, 2), then level 128 (k = 1) with the factor folded in.
  const __m256i f = _mm256_set1_epi32(kInvScale), fq = _mm256_set1_epi32(times_qinv(kInvScale));
  const __m256i fz = _mm256_set1_epi32(kInvScaleZeta);
  const __m256i fzq = _mm256_set1_epi32(times_qinv(kInvScaleZeta));
  for (unsigned col = 0; col < 32; col += 8) {
    __m256i r[8];
    for (unsigned i = 0; i < 8; ++i) r[i] = load8(a + 32 * i + col);
    for (unsigned i = 0; i < 2; ++i) {
      gs_const(r[i], r[i + 2], 3);
      gs_const(r[i + 4], r[i + 6], 2);
    }
    for (unsigned i = 0; i < 4; ++i) {
      const __m256i sum = _mm256_add_epi32(r[i], r[i + 4]);
      const __m256i diff = _mm256_sub_epi32(r[i], r[i + 4]);
      store8(a + 32 * i + col, mont_mul_const(sum, f, fq));
      store8(a + 32 * (i + 4) + col, mont_mul_const(diff, fz, fzq));
    }
  }
}

// --- Pointwise products and the norm check ------------------------------------------

// c = a * b coefficientwise (PQClean's poly_pointwise_montgomery).
void avx2_pointwise(std::int32_t* c, const std::int32_t* a, const std::int32_t* b) noexcept {
  for (unsigned i = 0; i < N; i += 8) store8(c + i, mont_mul(load8(a + i), load8(b + i)));
}

// w = sum over j of u[j] * v[j], summed in order j = 0 .. L-1 as PQClean's
// polyvecl_pointwise_acc_montgomery does.
void avx2_pointwise_acc(std::int32_t* w, const poly* u, const poly* v) noexcept {
  for (unsigned i = 0; i < N; i += 8) {
    __m256i acc = mont_mul(load8(u[0].coeffs + i), load8(v[0].coeffs + i));
    for (unsigned j = 1; j < L; ++j) {
      acc = _mm256_add_epi32(acc, mont_mul(load8(u[j].coeffs + i), load8(v[j].coeffs + i)));
    }
    store8(w + i, acc);
  }
}

// Whether some |a[i]| >= bound for i < n, |x| taken as PQClean's chknorm takes
// it (vpabsd agrees with x - ((x >> 31) & 2x) on every input, INT32_MIN
// included). Every coefficient is read whatever the earlier ones held.
bool avx2_exceeds(const std::int32_t* a, std::size_t n, std::int32_t bound) noexcept {
  const __m256i limit = _mm256_set1_epi32(bound - 1);
  __m256i over = _mm256_setzero_si256();
  for (std::size_t i = 0; i < n; i += 8) {
    over = _mm256_or_si256(over, _mm256_cmpgt_epi32(_mm256_abs_epi32(load8(a + i)), limit));
  }
#if VESTREL_CT_MSAN
  // MemorySanitizer checks vptest's operands strictly (no rule for it), as if
  // it branched on them; it sets a flag, the same decision as this or of the
  // lanes, which it follows. The caller declassifies the rejection.
  alignas(32) std::uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), over);
  return (lanes[0] | lanes[1] | lanes[2] | lanes[3]) != 0;
#else
  return !_mm256_testz_si256(over, over);
#endif
}

// PQClean's make_hint over n coefficients: h = 1 where a0 > gamma2,
// a0 < -gamma2, or a0 = -gamma2 and a1 != 0. Returns the number of ones.
unsigned avx2_make_hint(std::int32_t* h, const std::int32_t* a0, const std::int32_t* a1,
                        std::size_t n) noexcept {
  const __m256i g = _mm256_set1_epi32(GAMMA2), minus_g = _mm256_set1_epi32(-GAMMA2);
  const __m256i zero = _mm256_setzero_si256(), one = _mm256_set1_epi32(1);
  __m256i count = zero;
  for (std::size_t i = 0; i < n; i += 8) {
    const __m256i x = load8(a0 + i);
    const __m256i high_is_zero = _mm256_cmpeq_epi32(load8(a1 + i), zero);
    const __m256i at_minus_g = _mm256_andnot_si256(high_is_zero, _mm256_cmpeq_epi32(x, minus_g));
    const __m256i hint = _mm256_or_si256(
        _mm256_or_si256(_mm256_cmpgt_epi32(x, g), _mm256_cmpgt_epi32(minus_g, x)), at_minus_g);
    store8(h + i, _mm256_and_si256(hint, one));
    count = _mm256_sub_epi32(count, hint);
  }
  alignas(32) std::int32_t lanes[8];
  store8(lanes, count);
  unsigned total = 0;
  for (std::int32_t c : lanes) total += static_cast<unsigned>(c);
  return total;
}

// --- Four SHAKE streams at once ---------------------------------------------------------
//
// Each stream absorbs one short input (seed || nonce) and is squeezed whole
// blocks at a time, exactly as PQClean's stream128/stream256 are used by its
// samplers. The lanes of the four states are interleaved as keccak_x4.h wants
// them: lane l of stream i is word 4*l + i.

struct alignas(32) KeccakX4 {
  std::uint64_t lanes[25 * 4];
};

// Zeroes the Ways states and absorbs in[i] (n bytes each, n < rate) with
// SHAKE padding, each input word written straight into its lane: no copy of a
// keyed input is made outside the state. Lane l of stream i is word Ways*l + i
// (four streams here, eight in the AVX-512 backend's samplers).
template <unsigned Ways, std::size_t Rate>
void shake_absorb_once_lanes(std::uint64_t* lanes, const std::uint8_t* const (&in)[Ways],
                             std::size_t n) noexcept {
  static_assert(Rate % 8 == 0);
  std::memset(lanes, 0, 25 * Ways * sizeof *lanes);
  const std::size_t whole = n / 8;
  for (unsigned i = 0; i < Ways; ++i) {
    for (std::size_t l = 0; l < whole; ++l) lanes[Ways * l + i] = load_lane(in[i] + 8 * l);
    // The partial word, then the domain bits and pad10*1 after the input.
    std::uint64_t last = 0;
    for (std::size_t b = 8 * whole; b < n; ++b) {
      last |= std::uint64_t{in[i][b]} << (8 * (b - 8 * whole));
    }
    lanes[Ways * whole + i] = last ^ (std::uint64_t{kShakeDomain} << (8 * (n - 8 * whole)));
    lanes[Ways * (Rate / 8 - 1) + i] ^= std::uint64_t{0x80} << 56;
  }
}

// Writes each stream's block of the permuted states to out[i]. Four words of
// four streams make a 4 x 4 matrix of words, transposed in registers so that
// each stream's four words leave in one store; eight streams are two such
// groups side by side.
template <unsigned Ways, std::size_t Rate>
void shake_squeeze_lanes(const std::uint64_t* lanes, std::uint8_t* const (&out)[Ways]) noexcept {
  static_assert(Ways % 4 == 0);
  constexpr std::size_t kWords = Rate / 8;
  std::size_t l = 0;
  for (; l + 4 <= kWords; l += 4) {
    for (unsigned group = 0; group < Ways / 4; ++group) {
      const std::uint64_t* w = lanes + Ways * l + 4 * group;
      const __m256i r0 = load_x4(w), r1 = load_x4(w + Ways), r2 = load_x4(w + 2 * Ways);
      const __m256i r3 = load_x4(w + 3 * Ways);
      // Word k of stream i is element i of r_k.
      const __m256i even01 = _mm256_unpacklo_epi64(r0, r1), odd01 = _mm256_unpackhi_epi64(r0, r1);
      const __m256i even23 = _mm256_unpacklo_epi64(r2, r3), odd23 = _mm256_unpackhi_epi64(r2, r3);
      const __m256i streams[4] = {_mm256_permute2x128_si256(even01, even23, 0x20),
                                  _mm256_permute2x128_si256(odd01, odd23, 0x20),
                                  _mm256_permute2x128_si256(even01, even23, 0x31),
                                  _mm256_permute2x128_si256(odd01, odd23, 0x31)};
      for (unsigned i = 0; i < 4; ++i) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[4 * group + i] + 8 * l), streams[i]);
      }
    }
  }
  for (; l < kWords; ++l) {
    for (unsigned i = 0; i < Ways; ++i) std::memcpy(out[i] + 8 * l, &lanes[Ways * l + i], 8);
  }
}

template <std::size_t Rate>
void shake_x4_absorb_once(KeccakX4& s, const std::uint8_t* const (&in)[4], std::size_t n) noexcept {
  shake_absorb_once_lanes<4, Rate>(s.lanes, in, n);
}

// Permutes, then writes each stream's next block to out[i].
template <std::size_t Rate>
void shake_x4_squeeze_block(KeccakX4& s, std::uint8_t* const (&out)[4]) noexcept {
  keccak_f1600_x4(s.lanes);
  shake_squeeze_lanes<4, Rate>(s.lanes, out);
}

// --- ExpandA ------------------------------------------------------------------------------

// PQClean's poly_uniform squeezes five SHAKE128 blocks, then one more block at
// a time while fewer than 256 coefficients were accepted, carrying over the
// bytes of an incomplete 3-byte candidate. Both sizes are multiples of 3, so
// nothing is ever carried over and whole blocks can be handed to rej_uniform.
constexpr unsigned kUniformBlocks = POLY_UNIFORM_NBLOCKS;
static_assert(kUniformBlocks * SHAKE128_RATE % 3 == 0 && SHAKE128_RATE % 3 == 0);

// For each 8-bit mask of accepted lanes, the indices of those lanes in order,
// for vpermd to gather them to the front.
struct CompressTable {
  std::uint8_t lanes[256][8];
};

constexpr CompressTable make_compress_table() {
  CompressTable t{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned n = 0;
    for (std::uint8_t lane = 0; lane < 8; ++lane) {
      if (mask & (1u << lane)) t.lanes[mask][n++] = lane;
    }
  }
  return t;
}

constexpr CompressTable kCompress = make_compress_table();

// PQClean's rej_uniform: the 3-byte candidates of buf, in order, masked to 23
// bits, kept while below q, until len coefficients are kept. Eight candidates
// at a time while a whole group fits in both a and buf, then PQClean's own
// loop for the rest. buf must have 8 readable bytes past buflen. The matrix
// comes from the public rho, so the lookups may depend on it.
unsigned rej_uniform_avx2(std::int32_t* a, unsigned len, const std::uint8_t* buf,
                          unsigned buflen) noexcept {
  // Lane i takes bytes 3i .. 3i+2 of the group; the upper half of the
  // register holds bytes 8 .. 23, so its indices are 8 lower.
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                          4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15, -1);
  const __m256i mask23 = _mm256_set1_epi32(0x7FFFFF);
  const __m256i q = _mm256_set1_epi32(Q);
  unsigned ctr = 0, pos = 0;
  while (ctr + 8 <= len && pos + 24 <= buflen) {
    const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + pos));
    __m256i t = _mm256_permute4x64_epi64(raw, 0x94);  // qwords 0 1 | 1 2
    t = _mm256_and_si256(_mm256_shuffle_epi8(t, spread), mask23);
    const unsigned good =
        static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(q, t))));
    pos += 24;
    // q is within 2^-10 of 2^23, so all eight are kept in 99.2% of groups:
    // those are stored as they are, without the gather.
    if (good == 0xFF) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(a + ctr), t);
      ctr += 8;
      continue;
    }
    const __m256i idx = _mm256_cvtepu8_epi32(
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kCompress.lanes[good])));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(a + ctr), _mm256_permutevar8x32_epi32(t, idx));
    ctr += static_cast<unsigned>(_mm_popcnt_u32(good));
  }
  return ctr + rej_uniform(a + ctr, len - ctr, buf + pos, buflen - pos);
}

// Four matrix entries at once, from the seed and four nonces.
void uniform_x4(poly* const (&out)[4], const std::uint8_t (&rho)[SEEDBYTES],
                const std::uint16_t (&nonces)[4]) noexcept {
  std::uint8_t inputs[4][SEEDBYTES + 2];
  for (unsigned i = 0; i < 4; ++i) {
    std::memcpy(inputs[i], rho, SEEDBYTES);
    inputs[i][SEEDBYTES] = static_cast<std::uint8_t>(nonces[i]);
    inputs[i][SEEDBYTES + 1] = static_cast<std::uint8_t>(nonces[i] >> 8);
  }
  KeccakX4 s;
  shake_x4_absorb_once<SHAKE128_RATE>(s, {inputs[0], inputs[1], inputs[2], inputs[3]},
                                      SEEDBYTES + 2);

  // Eight bytes of slack after each stream's output for the vector reads,
  // which load them but never use them; zeroed, so that nothing reads memory
  // never written. The rest is always written before it is read.
  constexpr unsigned kBytes = kUniformBlocks * SHAKE128_RATE;
  alignas(32) std::uint8_t buf[4][kBytes + 8];
  for (auto& stream : buf) std::memset(stream + kBytes, 0, 8);
  for (unsigned b = 0; b < kUniformBlocks; ++b) {
    const std::size_t at = b * SHAKE128_RATE;
    shake_x4_squeeze_block<SHAKE128_RATE>(s, {buf[0] + at, buf[1] + at, buf[2] + at, buf[3] + at});
  }
  unsigned ctr[4];
  for (unsigned i = 0; i < 4; ++i) ctr[i] = rej_uniform_avx2(out[i]->coeffs, N, buf[i], kBytes);
  while (ctr[0] < N || ctr[1] < N || ctr[2] < N || ctr[3] < N) {
    shake_x4_squeeze_block<SHAKE128_RATE>(s, {buf[0], buf[1], buf[2], buf[3]});
    for (unsigned i = 0; i < 4; ++i) {
      ctr[i] += rej_uniform_avx2(out[i]->coeffs + ctr[i], N - ctr[i], buf[i], SHAKE128_RATE);
    }
  }
}

// A-hat[i][j] from nonce 256 i + j, four entries per pass; the last pass
// fills two spare entries that are thrown away.
void avx2_expand_matrix(polyvecl* mat, const std::uint8_t (&rho)[SEEDBYTES]) noexcept {
  constexpr unsigned kEntries = K * L;
  VESTREL_VECTOR_ALIGNED poly spare[4];
  for (unsigned e = 0; e < kEntries; e += 4) {
    poly* out[4];
    std::uint16_t nonces[4];
    for (unsigned i = 0; i < 4; ++i) {
      const unsigned entry = e + i < kEntries ? e + i : kEntries - 1;
      out[i] = e + i < kEntries ? &mat[entry / L].vec[entry % L] : &spare[i];
      nonces[i] = static_cast<std::uint16_t>(((entry / L) << 8) + entry % L);
    }
    uniform_x4(out, rho, nonces);
  }
}

// Four SHAKE256 streams, each keyed by the 64-byte seed followed by its
// nonce (little-endian), squeezed for as many blocks as `out` holds. Both
// secret samplers start this way; the sponges stay in `s` for more blocks.
template <std::size_t Bytes>
void squeeze_x4_seeded(KeccakX4& s, const std::uint8_t* seed, const std::uint16_t (&nonces)[4],
                       std::uint8_t (&out)[4][Bytes]) noexcept {
  static_assert(Bytes % SHAKE256_RATE == 0);
  Scratch<std::uint8_t[4][CRHBYTES + 2]> inputs;
  for (unsigned i = 0; i < 4; ++i) {
    std::memcpy(inputs.v[i], seed, CRHBYTES);
    inputs.v[i][CRHBYTES] = static_cast<std::uint8_t>(nonces[i]);
    inputs.v[i][CRHBYTES + 1] = static_cast<std::uint8_t>(nonces[i] >> 8);
  }
  shake_x4_absorb_once<SHAKE256_RATE>(s, {inputs.v[0], inputs.v[1], inputs.v[2], inputs.v[3]},
                                      CRHBYTES + 2);
  for (std::size_t at = 0; at < Bytes; at += SHAKE256_RATE) {
    shake_x4_squeeze_block<SHAKE256_RATE>(s, {out[0] + at, out[1] + at, out[2] + at, out[3] + at});
  }
}

// --- ExpandS ----------------------------------------------------------------------------------

// eta_sample (mldsa65_backend.cc) sixteen candidates at a time: the nibbles of
// eight bytes are spread into sixteen byte lanes in stream order, compared
// with 9, and the sixteen accept bits, and only they, are declassified; the
// kept coefficients are gathered to the front by the same table as ExpandA's.
unsigned eta_sample_avx2(std::int32_t* a, unsigned ctr, unsigned len, const std::uint8_t* buf,
                         std::size_t buflen) noexcept {
  const __m128i low4 = _mm_set1_epi8(0x0F), bound = _mm_set1_epi8(kEtaBound);
  const __m128i eta = _mm_set1_epi8(ETA);
  std::size_t pos = 0;
  for (; ctr + 16 <= len && pos + 8 <= buflen; pos += 8) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(buf + pos));
    const __m128i t = _mm_unpacklo_epi8(_mm_and_si128(bytes, low4),
                                        _mm_and_si128(_mm_srli_epi16(bytes, 4), low4));
    const auto keep =
        ct::declassified(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(t, bound))));
    const __m128i coeffs = _mm_sub_epi8(eta, t);
    const __m256i halves[2] = {_mm256_cvtepi8_epi32(coeffs),
                               _mm256_cvtepi8_epi32(_mm_srli_si128(coeffs, 8))};
    for (unsigned h = 0; h < 2; ++h) {
      const unsigned mask = keep >> (8 * h) & 0xFFu;
      const __m256i idx = _mm256_cvtepu8_epi32(
          _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kCompress.lanes[mask])));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(a + ctr),
                          _mm256_permutevar8x32_epi32(halves[h], idx));
      ctr += static_cast<unsigned>(_mm_popcnt_u32(mask));
    }
  }
  return eta_sample(a, ctr, len, buf + pos, buflen - pos);
}

// Two SHAKE256 blocks per stream first, then one at a time, as many as the
// slowest of the four needs.
constexpr unsigned kEtaBlocks = 2;

void uniform_eta_x4(poly* const (&out)[4], const std::uint8_t* rho_prime,
                    const std::uint16_t (&nonces)[4]) noexcept {
  Scratch<KeccakX4> s;
  Scratch<std::uint8_t[4][kEtaBlocks * SHAKE256_RATE]> buf;
  auto& b = buf.v;
  squeeze_x4_seeded(s.v, rho_prime, nonces, b);
  unsigned ctr[4];
  for (unsigned i = 0; i < 4; ++i)
    ctr[i] = eta_sample_avx2(out[i]->coeffs, 0, N, b[i], sizeof b[i]);
  while (ctr[0] < N || ctr[1] < N || ctr[2] < N || ctr[3] < N) {
    shake_x4_squeeze_block<SHAKE256_RATE>(s.v, {b[0], b[1], b[2], b[3]});
    for (unsigned i = 0; i < 4; ++i) {
      ctr[i] = eta_sample_avx2(out[i]->coeffs, ctr[i], N, b[i], SHAKE256_RATE);
    }
  }
}

// s1 from nonces 0 .. L-1, s2 from L .. L+K-1; the last pass has one spare.
void avx2_expand_secret(polyvecl& s1, polyveck& s2, const std::uint8_t* rho_prime) noexcept {
  constexpr unsigned kCount = L + K;
  Scratch<poly> spare;
  for (unsigned e = 0; e < kCount; e += 4) {
    poly* out[4];
    std::uint16_t nonces[4];
    for (unsigned i = 0; i < 4; ++i) {
      const unsigned n = e + i;
      out[i] = n < L ? &s1.vec[n] : n < kCount ? &s2.vec[n - L] : &spare.v;
      nonces[i] = static_cast<std::uint16_t>(n);
    }
    uniform_eta_x4(out, rho_prime, nonces);
  }
}

// --- ExpandMask --------------------------------------------------------------------------------

// y for four consecutive nonces: 640 bytes (five blocks) of SHAKE256 each.
constexpr unsigned kMaskBlocks = POLY_UNIFORM_GAMMA1_NBLOCKS;

// PQClean's polyz_unpack for gamma1 = 2^19, eight coefficients at a time: 20
// bits each, so every 20 bytes hold eight, and coefficient j of a group
// starts at bit 20 j, in bytes 5j/2 .. 5j/2 + 2, four bits in when j is odd.
// Each 128-bit half takes four of them from its own load (bytes 0 .. 9 and 10
// .. 19 of the group), so both halves gather the same byte pattern. The last
// group's second load ends 6 bytes past the 640: `in` must have them.
// Nothing here branches on or indexes by the mask it unpacks.
static_assert(GAMMA1 == (1 << 19) && POLYZ_PACKEDBYTES == 640);
constexpr std::size_t kZUnpackSlack = 6;

void avx2_polyz_unpack(std::int32_t* r, const std::uint8_t* in) noexcept {
  const __m256i gather = _mm256_setr_epi8(0, 1, 2, -1, 2, 3, 4, -1, 5, 6, 7, -1, 7, 8, 9, -1,  //
                                          0, 1, 2, -1, 2, 3, 4, -1, 5, 6, 7, -1, 7, 8, 9, -1);
  const __m256i shifts = _mm256_setr_epi32(0, 4, 0, 4, 0, 4, 0, 4);
  const __m256i low20 = _mm256_set1_epi32(0xFFFFF), gamma1 = _mm256_set1_epi32(GAMMA1);
  for (unsigned i = 0; i < N; i += 8, in += 20) {
    const __m256i bytes =
        _mm256_setr_m128i(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)),
                          _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 10)));
    const __m256i t =
        _mm256_and_si256(_mm256_srlv_epi32(_mm256_shuffle_epi8(bytes, gather), shifts), low20);
    store8(r + i, _mm256_sub_epi32(gamma1, t));
  }
}

// In a signature every z polynomial is followed by at least the hint
// section, more than the slack the vector routine reads past its 640 bytes.
static_assert(CTILDEBYTES + L * POLYZ_PACKEDBYTES + kZUnpackSlack <= kSignatureBytes);
void unpack_signature_z(poly* r, const std::uint8_t* a) noexcept {
  avx2_polyz_unpack(r->coeffs, a);
}

void mask_x4(poly (&out)[4], const std::uint8_t (&rho_pp)[CRHBYTES], std::uint16_t first) noexcept {
  std::uint16_t nonces[4];
  for (unsigned i = 0; i < 4; ++i) nonces[i] = static_cast<std::uint16_t>(first + i);
  Scratch<KeccakX4> s;
  Scratch<std::uint8_t[4][kMaskBlocks * SHAKE256_RATE]> buf;
  auto& b = buf.v;
  squeeze_x4_seeded(s.v, rho_pp, nonces, b);
  static_assert(sizeof b[0] >= POLYZ_PACKEDBYTES + kZUnpackSlack);
  for (unsigned i = 0; i < 4; ++i) avx2_polyz_unpack(out[i].coeffs, b[i]);
}

// The masks of successive attempts use consecutive nonces (L per attempt), so
// they are made four nonces at a time and kept until an attempt asks for
// them; at most three are ever made and not used. (The AVX-512 backend makes
// them eight at a time: mldsa65_avx512.h.)
#if !VESTREL_MLDSA65_AVX512
class MaskStream {
 public:
  explicit MaskStream(const std::uint8_t (&rho_pp)[CRHBYTES]) noexcept : rho_pp_(rho_pp) {}

  void fill(polyvecl& y, std::uint16_t kappa) noexcept {
    for (unsigned r = 0; r < L; ++r) {
      const unsigned nonce = kappa + r;
      if (!ready_ || nonce - first_ >= 4) {
        first_ = nonce;
        mask_x4(batch_.v, rho_pp_, static_cast<std::uint16_t>(nonce));
        ready_ = true;
      }
      y.vec[r] = batch_.v[nonce - first_];
    }
  }

 private:
  const std::uint8_t (&rho_pp_)[CRHBYTES];
  Scratch<poly[4]> batch_;
  unsigned first_ = 0;
  bool ready_ = false;
};
#endif

}  // namespace
}  // namespace vestrel::mldsa65::VESTREL_MLDSA65_ISA
