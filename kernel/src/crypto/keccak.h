// Keccak-f[1600] and the sponges built on it (SHAKE128, SHAKE256, SHA3-512),
// with the whole sponge held by value. Hashing therefore never allocates and
// so can never fail: there is no error path at all between a caller and its
// digest. The one permutation serves every hash in the module.
//
// Each ML-DSA backend compiles its own copy inside its namespace (see
// mldsa65_backend.cc), so each copy may be compiled for a different CPU
// without the linker ever mixing the two; everything else hashes with the
// copy in vestrel::keccak, through sha3.h.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#ifdef VESTREL_MLDSA65_ISA
namespace vestrel::mldsa65::VESTREL_MLDSA65_ISA {
#else
namespace vestrel::keccak {
#endif

inline constexpr std::size_t kShake128Rate = 168;
inline constexpr std::size_t kShake256Rate = 136;
inline constexpr std::size_t kSha3_512Rate = 72;

// The padding's first byte: the domain bits (1111 for SHAKE, 01 for SHA-3)
// followed by the first 1 of pad10*1, least significant bit first.
inline constexpr std::uint8_t kShakeDomain = 0x1F;
inline constexpr std::uint8_t kSha3Domain = 0x06;

// Well defined for n = 0 too; compilers turn it into one rotate instruction.
inline std::uint64_t rotl64(std::uint64_t x, unsigned n) noexcept {
  return (x << n) | (x >> ((64 - n) & 63));
}

// iota's constants, one per round; the four-way permutation (keccak_x4.h)
// uses them too.
inline constexpr std::uint64_t kKeccakRoundConstants[24] = {
    0x0000000000000001, 0x0000000000008082, 0x800000000000808a, 0x8000000080008000,
    0x000000000000808b, 0x0000000080000001, 0x8000000080008081, 0x8000000000008009,
    0x000000000000008a, 0x0000000000000088, 0x0000000080008009, 0x000000008000000a,
    0x000000008000808b, 0x800000000000008b, 0x8000000000008089, 0x8000000000008003,
    0x8000000000008002, 0x8000000000000080, 0x000000000000800a, 0x800000008000000a,
    0x8000000080008081, 0x8000000000008080, 0x0000000080000001, 0x8000000080008008};

// The round is written out lane by lane with the state in 25 locals, two
// rounds per iteration so that the A and E sets swap roles without copies.
// Each output row takes five input lanes, each after theta and its rho
// rotation, in the order pi dictates.
inline void keccak_f1600(std::uint64_t (&s)[25]) noexcept {
  std::uint64_t Aba = s[0], Abe = s[1], Abi = s[2], Abo = s[3], Abu = s[4];
  std::uint64_t Aga = s[5], Age = s[6], Agi = s[7], Ago = s[8], Agu = s[9];
  std::uint64_t Aka = s[10], Ake = s[11], Aki = s[12], Ako = s[13], Aku = s[14];
  std::uint64_t Ama = s[15], Ame = s[16], Ami = s[17], Amo = s[18], Amu = s[19];
  std::uint64_t Asa = s[20], Ase = s[21], Asi = s[22], Aso = s[23], Asu = s[24];
  std::uint64_t Eba, Ebe, Ebi, Ebo, Ebu, Ega, Ege, Egi, Ego, Egu, Eka, Eke, Eki, Eko, Eku;
  std::uint64_t Ema, Eme, Emi, Emo, Emu, Esa, Ese, Esi, Eso, Esu;
  std::uint64_t Ca, Ce, Ci, Co, Cu, Da, De, Di, Do, Du, B0, B1, B2, B3, B4;

#define VESTREL_KECCAK_ROW(out0, out1, out2, out3, out4, in0, d0, r0, in1, d1, r1, in2, d2, r2, \
                           in3, d3, r3, in4, d4, r4)                                            \
  in0 ^= d0;                                                                                    \
  B0 = rotl64(in0, r0);                                                                         \
  in1 ^= d1;                                                                                    \
  B1 = rotl64(in1, r1);                                                                         \
  in2 ^= d2;                                                                                    \
  B2 = rotl64(in2, r2);                                                                         \
  in3 ^= d3;                                                                                    \
  B3 = rotl64(in3, r3);                                                                         \
  in4 ^= d4;                                                                                    \
  B4 = rotl64(in4, r4);                                                                         \
  out0 = B0 ^ (~B1 & B2);                                                                       \
  out1 = B1 ^ (~B2 & B3);                                                                       \
  out2 = B2 ^ (~B3 & B4);                                                                       \
  out3 = B3 ^ (~B4 & B0);                                                                       \
  out4 = B4 ^ (~B0 & B1);

#define VESTREL_KECCAK_ROUND(X, Y, rc)                                                             \
  Ca = X##ba ^ X##ga ^ X##ka ^ X##ma ^ X##sa;                                                      \
  Ce = X##be ^ X##ge ^ X##ke ^ X##me ^ X##se;                                                      \
  Ci = X##bi ^ X##gi ^ X##ki ^ X##mi ^ X##si;                                                      \
  Co = X##bo ^ X##go ^ X##ko ^ X##mo ^ X##so;                                                      \
  Cu = X##bu ^ X##gu ^ X##ku ^ X##mu ^ X##su;                                                      \
  Da = Cu ^ rotl64(Ce, 1);                                                                         \
  De = Ca ^ rotl64(Ci, 1);                                                                         \
  Di = Ce ^ rotl64(Co, 1);                                                                         \
  Do = Ci ^ rotl64(Cu, 1);                                                                         \
  Du = Co ^ rotl64(Ca, 1);                                                                         \
  VESTREL_KECCAK_ROW(Y##ba, Y##be, Y##bi, Y##bo, Y##bu, X##ba, Da, 0, X##ge, De, 44, X##ki, Di,    \
                     43, X##mo, Do, 21, X##su, Du, 14)                                             \
  Y##ba ^= (rc);                                                                                   \
  VESTREL_KECCAK_ROW(Y##ga, Y##ge, Y##gi, Y##go, Y##gu, X##bo, Do, 28, X##gu, Du, 20, X##ka, Da,   \
                     3, X##me, De, 45, X##si, Di, 61)                                              \
  VESTREL_KECCAK_ROW(Y##ka, Y##ke, Y##ki, Y##ko, Y##ku, X##be, De, 1, X##gi, Di, 6, X##ko, Do, 25, \
                     X##mu, Du, 8, X##sa, Da, 18)                                                  \
  VESTREL_KECCAK_ROW(Y##ma, Y##me, Y##mi, Y##mo, Y##mu, X##bu, Du, 27, X##ga, Da, 36, X##ke, De,   \
                     10, X##mi, Di, 15, X##so, Do, 56)                                             \
  VESTREL_KECCAK_ROW(Y##sa, Y##se, Y##si, Y##so, Y##su, X##bi, Di, 62, X##go, Do, 55, X##ku, Du,   \
                     39, X##ma, Da, 41, X##se, De, 2)

  for (unsigned round = 0; round < 24; round += 2) {
    VESTREL_KECCAK_ROUND(A, E, kKeccakRoundConstants[round])
    VESTREL_KECCAK_ROUND(E, A, kKeccakRoundConstants[round + 1])
  }
#undef VESTREL_KECCAK_ROUND
#undef VESTREL_KECCAK_ROW

  s[0] = Aba, s[1] = Abe, s[2] = Abi, s[3] = Abo, s[4] = Abu;
  s[5] = Aga, s[6] = Age, s[7] = Agi, s[8] = Ago, s[9] = Agu;
  s[10] = Aka, s[11] = Ake, s[12] = Aki, s[13] = Ako, s[14] = Aku;
  s[15] = Ama, s[16] = Ame, s[17] = Ami, s[18] = Amo, s[19] = Amu;
  s[20] = Asa, s[21] = Ase, s[22] = Asi, s[23] = Aso, s[24] = Asu;
}

// Lanes are stored little-endian, which lets whole blocks be absorbed and
// squeezed as 64-bit words.
static_assert(std::endian::native == std::endian::little);

inline std::uint64_t load_lane(const std::uint8_t* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// A sponge of the given rate and domain. `pos` counts the bytes absorbed into, or squeezed from,
// the current block; `rate` bytes means the block is used up.
template <std::size_t Rate, std::uint8_t Domain>
struct Sponge {
  static_assert(Rate % 8 == 0 && Rate < 200);
  std::uint64_t lanes[25];
  std::size_t pos;

  void init() noexcept {
    std::memset(lanes, 0, sizeof lanes);
    pos = 0;
  }

  std::uint8_t* bytes() noexcept { return reinterpret_cast<std::uint8_t*>(lanes); }

  void absorb(const std::uint8_t* in, std::size_t n) noexcept {
    if (pos != 0) {
      const std::size_t take = n < Rate - pos ? n : Rate - pos;
      for (std::size_t i = 0; i < take; ++i) bytes()[pos + i] ^= in[i];
      pos += take, in += take, n -= take;
      if (pos < Rate) return;
      keccak_f1600(lanes);
      pos = 0;
    }
    for (; n >= Rate; in += Rate, n -= Rate) {
      for (std::size_t i = 0; i < Rate / 8; ++i) lanes[i] ^= load_lane(in + 8 * i);
      keccak_f1600(lanes);
    }
    for (std::size_t i = 0; i < n; ++i) bytes()[i] ^= in[i];
    pos = n;
  }

  // Pads with the domain bits and pad10*1; squeezing starts with a
  // permutation.
  void finalize() noexcept {
    bytes()[pos] ^= Domain;
    bytes()[Rate - 1] ^= 0x80;
    pos = Rate;
  }

  void squeeze(std::uint8_t* out, std::size_t n) noexcept {
    while (n != 0) {
      if (pos == Rate) {
        keccak_f1600(lanes);
        pos = 0;
      }
      const std::size_t take = n < Rate - pos ? n : Rate - pos;
      std::memcpy(out, bytes() + pos, take);
      pos += take, out += take, n -= take;
    }
  }
};

using Shake128 = Sponge<kShake128Rate, kShakeDomain>;
using Shake256 = Sponge<kShake256Rate, kShakeDomain>;
using Sha3_512Sponge = Sponge<kSha3_512Rate, kSha3Domain>;

}  // namespace
