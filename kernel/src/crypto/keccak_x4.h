// Four Keccak-f[1600] permutations at once, one state in each 64-bit lane of
// 25 AVX2 registers: the permutation behind the AVX2 backend's samplers,
// which squeeze four SHAKE streams side by side.
//
// The state is interleaved: word 4*l + i holds lane l of state i, so that
// lane l of all four states loads as one register. The round is the one of
// keccak.h, register for register: theta's column parities, then for each
// output row the five input lanes that pi brings there, each xored with its
// theta term and rotated by rho, then chi and iota. AVX2 has an and-not
// (vpandn), so chi needs no complemented lanes. The rotations are the only
// operations AVX2 lacks: a rotation by a whole byte (8 and 56) is one byte
// shuffle, a rotation by 1 doubles with an add, which more ports run than
// shifts, and every other takes two shifts and an or.
//
// Four rounds are written out per pass of the loop, so the two sets of 25
// lanes swap roles without copies and the compiler schedules across round
// boundaries. Writing all 24 out measured slower (by about a tenth, on Zen 3):
// at some 20 KB the code no longer fits the decoded-instruction cache, and the
// four-round body does, with the same instructions per round.
//
// Included only by mldsa65_avx2.h, with AVX2 enabled, after keccak.h, whose
// round constants it takes.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace vestrel::mldsa65::VESTREL_MLDSA65_ISA {
namespace {

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

inline __m256i xor_x4(__m256i a, __m256i b) noexcept { return _mm256_xor_si256(a, b); }

inline __m256i load_x4(const std::uint64_t* p) noexcept {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
}
inline void store_x4(std::uint64_t* p, __m256i v) noexcept {
  _mm256_store_si256(reinterpret_cast<__m256i*>(p), v);
}

// lanes: 100 words, 32-byte aligned, interleaved as above.
[[gnu::always_inline]] inline void keccak_f1600_x4_inline(std::uint64_t* lanes) noexcept {
  __m256i Aba = load_x4(lanes + 0), Abe = load_x4(lanes + 4), Abi = load_x4(lanes + 8);
  __m256i Abo = load_x4(lanes + 12), Abu = load_x4(lanes + 16), Aga = load_x4(lanes + 20);
  __m256i Age = load_x4(lanes + 24), Agi = load_x4(lanes + 28), Ago = load_x4(lanes + 32);
  __m256i Agu = load_x4(lanes + 36), Aka = load_x4(lanes + 40), Ake = load_x4(lanes + 44);
  __m256i Aki = load_x4(lanes + 48), Ako = load_x4(lanes + 52), Aku = load_x4(lanes + 56);
  __m256i Ama = load_x4(lanes + 60), Ame = load_x4(lanes + 64), Ami = load_x4(lanes + 68);
  __m256i Amo = load_x4(lanes + 72), Amu = load_x4(lanes + 76), Asa = load_x4(lanes + 80);
  __m256i Ase = load_x4(lanes + 84), Asi = load_x4(lanes + 88), Aso = load_x4(lanes + 92);
  __m256i Asu = load_x4(lanes + 96);
  __m256i Eba, Ebe, Ebi, Ebo, Ebu, Ega, Ege, Egi, Ego, Egu, Eka, Eke, Eki, Eko, Eku;
  __m256i Ema, Eme, Emi, Emo, Emu, Esa, Ese, Esi, Eso, Esu;
  __m256i Ca, Ce, Ci, Co, Cu, Da, De, Di, Do, Du, B0, B1, B2, B3, B4;

#define VESTREL_X4_ROW(out0, out1, out2, out3, out4, in0, d0, r0, in1, d1, r1, in2, d2, r2, in3, \
                       d3, r3, in4, d4, r4)                                                      \
  B0 = rotl_x4<r0>(xor_x4(in0, d0));                                                             \
  B1 = rotl_x4<r1>(xor_x4(in1, d1));                                                             \
  B2 = rotl_x4<r2>(xor_x4(in2, d2));                                                             \
  B3 = rotl_x4<r3>(xor_x4(in3, d3));                                                             \
  B4 = rotl_x4<r4>(xor_x4(in4, d4));                                                             \
  out0 = xor_x4(B0, _mm256_andnot_si256(B1, B2));                                                \
  out1 = xor_x4(B1, _mm256_andnot_si256(B2, B3));                                                \
  out2 = xor_x4(B2, _mm256_andnot_si256(B3, B4));                                                \
  out3 = xor_x4(B3, _mm256_andnot_si256(B4, B0));                                                \
  out4 = xor_x4(B4, _mm256_andnot_si256(B0, B1));

#define VESTREL_X4_ROUND(X, Y, rc)                                                               \
  Ca = xor_x4(xor_x4(xor_x4(X##ba, X##ga), xor_x4(X##ka, X##ma)), X##sa);                        \
  Ce = xor_x4(xor_x4(xor_x4(X##be, X##ge), xor_x4(X##ke, X##me)), X##se);                        \
  Ci = xor_x4(xor_x4(xor_x4(X##bi, X##gi), xor_x4(X##ki, X##mi)), X##si);                        \
  Co = xor_x4(xor_x4(xor_x4(X##bo, X##go), xor_x4(X##ko, X##mo)), X##so);                        \
  Cu = xor_x4(xor_x4(xor_x4(X##bu, X##gu), xor_x4(X##ku, X##mu)), X##su);                        \
  Da = xor_x4(Cu, rotl_x4<1>(Ce));                                                               \
  De = xor_x4(Ca, rotl_x4<1>(Ci));                                                               \
  Di = xor_x4(Ce, rotl_x4<1>(Co));                                                               \
  Do = xor_x4(Ci, rotl_x4<1>(Cu));                                                               \
  Du = xor_x4(Co, rotl_x4<1>(Ca));                                                               \
  VESTREL_X4_ROW(Y##ba, Y##be, Y##bi, Y##bo, Y##bu, X##ba, Da, 0, X##ge, De, 44, X##ki, Di, 43,  \
                 X##mo, Do, 21, X##su, Du, 14)                                                   \
  Y##ba = xor_x4(Y##ba, _mm256_set1_epi64x(static_cast<long long>(rc)));                         \
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

  store_x4(lanes + 0, Aba), store_x4(lanes + 4, Abe), store_x4(lanes + 8, Abi);
  store_x4(lanes + 12, Abo), store_x4(lanes + 16, Abu), store_x4(lanes + 20, Aga);
  store_x4(lanes + 24, Age), store_x4(lanes + 28, Agi), store_x4(lanes + 32, Ago);
  store_x4(lanes + 36, Agu), store_x4(lanes + 40, Aka), store_x4(lanes + 44, Ake);
  store_x4(lanes + 48, Aki), store_x4(lanes + 52, Ako), store_x4(lanes + 56, Aku);
  store_x4(lanes + 60, Ama), store_x4(lanes + 64, Ame), store_x4(lanes + 68, Ami);
  store_x4(lanes + 72, Amo), store_x4(lanes + 76, Amu), store_x4(lanes + 80, Asa);
  store_x4(lanes + 84, Ase), store_x4(lanes + 88, Asi), store_x4(lanes + 92, Aso);
  store_x4(lanes + 96, Asu);
}

}  // namespace
}  // namespace vestrel::mldsa65::VESTREL_MLDSA65_ISA
