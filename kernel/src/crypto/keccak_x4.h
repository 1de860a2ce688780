// Several Keccak-f[1600] permutations at once, one state in each 64-bit lane
// of 25 vector registers: four in AVX2 registers, the permutation behind the
// AVX2 backend's samplers, which squeeze four SHAKE streams side by side; and,
// in the AVX-512 backend, four in the same registers with AVX-512VL's
// instructions and eight in 512-bit ones.
//
// The state is interleaved: with W states, word W*l + i holds lane l of state
// i, so that lane l of all W states loads as one register. The round is the
// one of keccak.h, register for register: theta's column parities, then for
// each output row the five input lanes that pi brings there, each xored with
// its theta term and rotated by rho, then chi and iota.
//
// AVX2 has an and-not (vpandn), so chi needs no complemented lanes. The
// rotations are the only operations AVX2 lacks: a rotation by a whole byte (8
// and 56) is one byte shuffle, a rotation by 1 doubles with an add, which more
// ports run than shifts, and every other takes two shifts and an or. AVX-512
// has the rotation (vprolq), and its three-input logic (vpternlogq) makes
// chi's and-not-xor and theta's five-way parity one and two instructions: the
// round takes about half the instructions of the AVX2 one.
//
// Four rounds are written out per pass of the loop, so the two sets of 25
// lanes swap roles without copies and the compiler schedules across round
// boundaries. Writing all 24 out measured slower (by about a tenth, on Zen 3):
// at some 20 KB the code no longer fits the decoded-instruction cache, and the
// four-round body does, with the same instructions per round.
//
// Included only by mldsa65_avx2.h, with AVX2 (and in the AVX-512 backend,
// AVX-512F/VL/BW/DQ) enabled, after keccak.h, whose round constants it takes.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "ct_marks.h"

namespace vestrel::mldsa65::VESTREL_MLDSA65_ISA {
namespace {

// --- The operations of a round, per register width ------------------------------

#if VESTREL_MLDSA65_AVX512
template <int Bits>
inline __m256i rotl_x4(__m256i x) noexcept {
  static_assert(Bits >= 0 && Bits < 64);
  if constexpr (Bits == 0) {
    return x;
  } else {
    return _mm256_rol_epi64(x, Bits);
  }
}
#else
template <int Bits>
inline __m256i rotl_x4(__m256i x) noexcept {
  static_assert(Bits >= 0 && Bits < 64);
  if constexpr (Bits == 0) {
    return x;
  } else if constexpr (Bits == 8) {
    // Output byte j of each lane is input byte j - 1 (mod 8).
    const __m256i by8 = _mm256_setr_epi8(7, 0, 1, 2, 3, 4, 5, 6, 15, 8, 9, 10, 11, 12, 13, 14,  //
                                         7, 0, 1, 2, 3, 4, 5, 6, 15, 8, 9, 10, 11, 12, 13, 14);
    return _mm256_shuffle_epi8(x, by8);
  } else if constexpr (Bits == 56) {
    // Output byte j of each lane is input byte j + 1 (mod 8).
    const __m256i by56 = _mm256_setr_epi8(1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8,  //
                                          1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8);
    return _mm256_shuffle_epi8(x, by56);
  } else if constexpr (Bits == 1) {
    return _mm256_or_si256(_mm256_add_epi64(x, x), _mm256_srli_epi64(x, 63));
  } else {
    return _mm256_or_si256(_mm256_slli_epi64(x, Bits), _mm256_srli_epi64(x, 64 - Bits));
  }
}
#endif

inline __m256i xor_lanes(__m256i a, __m256i b) noexcept { return _mm256_xor_si256(a, b); }

// vpternlogq's table: bit (a << 2 | b << 1 | c) of the immediate is the
// result for those input bits. 0x96 is a ^ b ^ c; 0xD2 is a ^ (~b & c).
//
// MemorySanitizer (clang 14) has no rule for vpternlogq: it would report any
// secret operand as a branch on it, although the instruction is bitwise and
// its timing independent of the data. Under it (the constant-time check, see
// ct_marks.h) the same functions are written with xor and and-not, whose
// secrecy it follows bit by bit.
#if VESTREL_MLDSA65_AVX512 && !VESTREL_CT_MSAN
#define VESTREL_KECCAK_TERNLOG 1
#else
#define VESTREL_KECCAK_TERNLOG 0
#endif
#if VESTREL_KECCAK_TERNLOG
inline __m256i xor5_lanes(__m256i a, __m256i b, __m256i c, __m256i d, __m256i e) noexcept {
  return _mm256_ternarylogic_epi64(_mm256_ternarylogic_epi64(a, b, c, 0x96), d, e, 0x96);
}
// a ^ (~b & c): chi, one output lane.
inline __m256i chi_lanes(__m256i a, __m256i b, __m256i c) noexcept {
  return _mm256_ternarylogic_epi64(a, b, c, 0xD2);
}
#else
inline __m256i xor5_lanes(__m256i a, __m256i b, __m256i c, __m256i d, __m256i e) noexcept {
  return xor_lanes(xor_lanes(xor_lanes(a, b), xor_lanes(c, d)), e);
}
inline __m256i chi_lanes(__m256i a, __m256i b, __m256i c) noexcept {
  return xor_lanes(a, _mm256_andnot_si256(b, c));
}
#endif

inline __m256i load_x4(const std::uint64_t* p) noexcept {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
}
inline void store_x4(std::uint64_t* p, __m256i v) noexcept {
  _mm256_store_si256(reinterpret_cast<__m256i*>(p), v);
}
inline __m256i broadcast_x4(std::uint64_t w) noexcept {
  return _mm256_set1_epi64x(static_cast<long long>(w));
}

// The same operations on eight states, overloaded on the register type so
// that one round serves both widths.
#if VESTREL_MLDSA65_AVX512
template <int Bits>
inline __m512i rotl_x8(__m512i x) noexcept {
  static_assert(Bits >= 0 && Bits < 64);
  if constexpr (Bits == 0) {
    return x;
  } else {
    // The shift-or pattern, which the compiler emits as one vprolq:
    // _mm512_rol_epi64 itself trips g++ 12's uninitialised-value warning on
    // the undefined source operand inside its own header.
    using Words = unsigned long long __attribute__((vector_size(64)));
    const auto w = reinterpret_cast<Words>(x);
    return reinterpret_cast<__m512i>((w << Bits) | (w >> (64 - Bits)));
  }
}
inline __m512i xor_lanes(__m512i a, __m512i b) noexcept { return _mm512_xor_si512(a, b); }
#if VESTREL_KECCAK_TERNLOG
inline __m512i xor5_lanes(__m512i a, __m512i b, __m512i c, __m512i d, __m512i e) noexcept {
  return _mm512_ternarylogic_epi64(_mm512_ternarylogic_epi64(a, b, c, 0x96), d, e, 0x96);
}
inline __m512i chi_lanes(__m512i a, __m512i b, __m512i c) noexcept {
  return _mm512_ternarylogic_epi64(a, b, c, 0xD2);
}
#else
inline __m512i xor5_lanes(__m512i a, __m512i b, __m512i c, __m512i d, __m512i e) noexcept {
  return xor_lanes(xor_lanes(xor_lanes(a, b), xor_lanes(c, d)), e);
}
inline __m512i chi_lanes(__m512i a, __m512i b, __m512i c) noexcept {
  return xor_lanes(a, _mm512_andnot_si512(b, c));
}
#endif
inline __m512i load_x8(const std::uint64_t* p) noexcept { return _mm512_load_si512(p); }
inline void store_x8(std::uint64_t* p, __m512i v) noexcept { _mm512_store_si512(p, v); }
#endif

template <int Bits, class V>
inline V rotl_lanes(V x) noexcept {
  if constexpr (sizeof(V) == 32) {
    return rotl_x4<Bits>(x);
  } else {
#if VESTREL_MLDSA65_AVX512
    return rotl_x8<Bits>(x);
#endif
  }
}

template <class V>
inline V load_lanes(const std::uint64_t* p) noexcept {
  if constexpr (sizeof(V) == 32) {
    return load_x4(p);
  } else {
#if VESTREL_MLDSA65_AVX512
    return load_x8(p);
#endif
  }
}

template <class V>
inline void store_lanes(std::uint64_t* p, V v) noexcept {
  if constexpr (sizeof(V) == 32) {
    store_x4(p, v);
  } else {
#if VESTREL_MLDSA65_AVX512
    store_x8(p, v);
#endif
  }
}

template <class V>
inline V broadcast_lanes(std::uint64_t w) noexcept {
  if constexpr (sizeof(V) == 32) {
    return broadcast_x4(w);
  } else {
#if VESTREL_MLDSA65_AVX512
    return _mm512_set1_epi64(static_cast<long long>(w));
#endif
  }
}

// --- The permutation -------------------------------------------------------------

// lanes: 25 * W words, aligned to the register size, interleaved as above,
// for W = sizeof(V) / 8 states.
template <class V>
[[gnu::always_inline]] inline void keccak_f1600_lanes(std::uint64_t* lanes) noexcept {
  constexpr unsigned W = sizeof(V) / 8;
  V Aba = load_lanes<V>(lanes + 0 * W), Abe = load_lanes<V>(lanes + 1 * W);
  V Abi = load_lanes<V>(lanes + 2 * W), Abo = load_lanes<V>(lanes + 3 * W);
  V Abu = load_lanes<V>(lanes + 4 * W), Aga = load_lanes<V>(lanes + 5 * W);
  V Age = load_lanes<V>(lanes + 6 * W), Agi = load_lanes<V>(lanes + 7 * W);
  V Ago = load_lanes<V>(lanes + 8 * W), Agu = load_lanes<V>(lanes + 9 * W);
  V Aka = load_lanes<V>(lanes + 10 * W), Ake = load_lanes<V>(lanes + 11 * W);
  V Aki = load_lanes<V>(lanes + 12 * W), Ako = load_lanes<V>(lanes + 13 * W);
  V Aku = load_lanes<V>(lanes + 14 * W), Ama = load_lanes<V>(lanes + 15 * W);
  V Ame = load_lanes<V>(lanes + 16 * W), Ami = load_lanes<V>(lanes + 17 * W);
  V Amo = load_lanes<V>(lanes + 18 * W), Amu = load_lanes<V>(lanes + 19 * W);
  V Asa = load_lanes<V>(lanes + 20 * W), Ase = load_lanes<V>(lanes + 21 * W);
  V Asi = load_lanes<V>(lanes + 22 * W), Aso = load_lanes<V>(lanes + 23 * W);
  V Asu = load_lanes<V>(lanes + 24 * W);
  V Eba, Ebe, Ebi, Ebo, Ebu, Ega, Ege, Egi, Ego, Egu, Eka, Eke, Eki, Eko, Eku;
  V Ema, Eme, Emi, Emo, Emu, Esa, Ese, Esi, Eso, Esu;
  V Ca, Ce, Ci, Co, Cu, Da, De, Di, Do, Du, B0, B1, B2, B3, B4;

#define VESTREL_X4_ROW(out0, out1, out2, out3, out4, in0, d0, r0, in1, d1, r1, in2, d2, r2, in3, \
                       d3, r3, in4, d4, r4)                                                      \
  B0 = rotl_lanes<r0>(xor_lanes(in0, d0));                                                       \
  B1 = rotl_lanes<r1>(xor_lanes(in1, d1));                                                       \
  B2 = rotl_lanes<r2>(xor_lanes(in2, d2));                                                       \
  B3 = rotl_lanes<r3>(xor_lanes(in3, d3));                                                       \
  B4 = rotl_lanes<r4>(xor_lanes(in4, d4));                                                       \
  out0 = chi_lanes(B0, B1, B2);                                                                  \
  out1 = chi_lanes(B1, B2, B3);                                                                  \
  out2 = chi_lanes(B2, B3, B4);                                                                  \
  out3 = chi_lanes(B3, B4, B0);                                                                  \
  out4 = chi_lanes(B4, B0, B1);

#define VESTREL_X4_ROUND(X, Y, rc)                                                               \
  Ca = xor5_lanes(X##ba, X##ga, X##ka, X##ma, X##sa);                                            \
  Ce = xor5_lanes(X##be, X##ge, X##ke, X##me, X##se);                                            \
  Ci = xor5_lanes(X##bi, X##gi, X##ki, X##mi, X##si);                                            \
  Co = xor5_lanes(X##bo, X##go, X##ko, X##mo, X##so);                                            \
  Cu = xor5_lanes(X##bu, X##gu, X##ku, X##mu, X##su);                                            \
  Da = xor_lanes(Cu, rotl_lanes<1>(Ce));                                                         \
  De = xor_lanes(Ca, rotl_lanes<1>(Ci));                                                         \
  Di = xor_lanes(Ce, rotl_lanes<1>(Co));                                                         \
  Do = xor_lanes(Ci, rotl_lanes<1>(Cu));                                                         \
  Du = xor_lanes(Co, rotl_lanes<1>(Ca));                                                         \
  VESTREL_X4_ROW(Y##ba, Y##be, Y##bi, Y##bo, Y##bu, X##ba, Da, 0, X##ge, De, 44, X##ki, Di, 43,  \
                 X##mo, Do, 21, X##su, Du, 14)                                                   \
  Y##ba = xor_lanes(Y##ba, broadcast_lanes<V>(rc));                                              \
  VESTREL_X4_ROW(Y##ga, Y##ge, Y##gi, Y##go, Y##gu, X##bo, Do, 28, X##gu, Du, 20, X##ka, Da, 3,  \
                 X##me, De, 45, X##si, Di, 61)                                                   \
  VESTREL_X4_ROW(Y##ka, Y##ke, Y##ki, Y##ko, Y##ku, X##be, De, 1, X##gi, Di, 6, X##ko, Do, 25,   \
                 X##mu, Du, 8, X##sa, Da, 18)                                                    \
  VESTREL_X4_ROW(Y##ma, Y##me, Y##mi, Y##mo, Y##mu, X##bu, Du, 27, X##ga, Da, 36, X##ke, De, 10, \
                 X##mi, Di, 15, X##so, Do, 56)                                                   \
  VESTREL_X4_ROW(Y##sa, Y##se, Y##si, Y##so, Y##su, X##bi, Di, 62, X##go, Do, 55, X##ku, Du, 39, \
                 X##ma, Da, 41, X##se, De, 2)

  for (unsigned round = 0; round < 24; round += 4) {
    VESTREL_X4_ROUND(A, E, kKeccakRoundConstants[round])
    VESTREL_X4_ROUND(E, A, kKeccakRoundConstants[round + 1])
    VESTREL_X4_ROUND(A, E, kKeccakRoundConstants[round + 2])
    VESTREL_X4_ROUND(E, A, kKeccakRoundConstants[round + 3])
  }
#undef VESTREL_X4_ROUND
#undef VESTREL_X4_ROW

  store_lanes(lanes + 0 * W, Aba), store_lanes(lanes + 1 * W, Abe);
  store_lanes(lanes + 2 * W, Abi), store_lanes(lanes + 3 * W, Abo);
  store_lanes(lanes + 4 * W, Abu), store_lanes(lanes + 5 * W, Aga);
  store_lanes(lanes + 6 * W, Age), store_lanes(lanes + 7 * W, Agi);
  store_lanes(lanes + 8 * W, Ago), store_lanes(lanes + 9 * W, Agu);
  store_lanes(lanes + 10 * W, Aka), store_lanes(lanes + 11 * W, Ake);
  store_lanes(lanes + 12 * W, Aki), store_lanes(lanes + 13 * W, Ako);
  store_lanes(lanes + 14 * W, Aku), store_lanes(lanes + 15 * W, Ama);
  store_lanes(lanes + 16 * W, Ame), store_lanes(lanes + 17 * W, Ami);
  store_lanes(lanes + 18 * W, Amo), store_lanes(lanes + 19 * W, Amu);
  store_lanes(lanes + 20 * W, Asa), store_lanes(lanes + 21 * W, Ase);
  store_lanes(lanes + 22 * W, Asi), store_lanes(lanes + 23 * W, Aso);
  store_lanes(lanes + 24 * W, Asu);
}

// lanes: 100 words, 32-byte aligned, word 4*l + i holding lane l of state i.
[[gnu::always_inline]] inline void keccak_f1600_x4_inline(std::uint64_t* lanes) noexcept {
  keccak_f1600_lanes<__m256i>(lanes);
}

#if VESTREL_MLDSA65_AVX512
// lanes: 200 words, 64-byte aligned, word 8*l + i holding lane l of state i.
[[gnu::always_inline]] inline void keccak_f1600_x8_inline(std::uint64_t* lanes) noexcept {
  keccak_f1600_lanes<__m512i>(lanes);
}
#endif

}  // namespace
}  // namespace vestrel::mldsa65::VESTREL_MLDSA65_ISA
