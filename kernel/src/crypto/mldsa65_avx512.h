// The AVX-512 backend's samplers: the matrix, the secret vectors and the
// masks drawn from eight SHAKE streams at once, on the eight-way permutation
// of keccak_x4.h. On Zen 5 one 512-bit permutation of eight states costs
// about what one 256-bit one of four does (some 33 ns a state against 63), so
// wherever a sampler wants eight or more streams it takes them eight at a
// time.
//
// Everything else of this backend is the AVX2 backend's vector code
// (mldsa65_avx2.h), compiled here with AVX-512 allowed, so that the compiler
// may use the EVEX forms and 32 registers; every routine computes what its
// AVX2 and portable counterparts compute, value for value.
//
// Included only by mldsa65_backend.cc, after mldsa65_avx2.h, with AVX-512
// enabled for the code that follows.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vestrel::mldsa65::VESTREL_MLDSA65_ISA {
namespace {

// --- Eight SHAKE streams at once ---------------------------------------------------------
//
// As the four-way streams of mldsa65_avx2.h, with lane l of stream i in word
// 8*l + i.

struct alignas(64) KeccakX8 {
  std::uint64_t lanes[25 * 8];
};

template <std::size_t Rate>
void shake_x8_absorb_once(KeccakX8& s, const std::uint8_t* const (&in)[8], std::size_t n) noexcept {
  shake_absorb_once_lanes<8, Rate>(s.lanes, in, n);
}

template <std::size_t Rate>
void shake_x8_squeeze_block(KeccakX8& s, std::uint8_t* const (&out)[8]) noexcept {
  keccak_f1600_x8(s.lanes);
  shake_squeeze_lanes<8, Rate>(s.lanes, out);
}

// Eight SHAKE256 streams keyed by the 64-byte seed and each one's nonce,
// squeezed for as many blocks as `out` holds (squeeze_x4_seeded, eight wide).
template <std::size_t Bytes>
void squeeze_x8_seeded(KeccakX8& s, const std::uint8_t* seed, const std::uint16_t (&nonces)[8],
                       std::uint8_t (&out)[8][Bytes]) noexcept {
  static_assert(Bytes % SHAKE256_RATE == 0);
  Scratch<std::uint8_t[8][CRHBYTES + 2]> inputs;
  const std::uint8_t* in[8];
  for (unsigned i = 0; i < 8; ++i) {
    std::memcpy(inputs.v[i], seed, CRHBYTES);
    inputs.v[i][CRHBYTES] = static_cast<std::uint8_t>(nonces[i]);
    inputs.v[i][CRHBYTES + 1] = static_cast<std::uint8_t>(nonces[i] >> 8);
    in[i] = inputs.v[i];
  }
  shake_x8_absorb_once<SHAKE256_RATE>(s, in, CRHBYTES + 2);
  for (std::size_t at = 0; at < Bytes; at += SHAKE256_RATE) {
    std::uint8_t* const blocks[8] = {out[0] + at, out[1] + at, out[2] + at, out[3] + at,
                                     out[4] + at, out[5] + at, out[6] + at, out[7] + at};
    shake_x8_squeeze_block<SHAKE256_RATE>(s, blocks);
  }
}

bool all_done(const unsigned (&ctr)[8]) noexcept {
  for (unsigned c : ctr) {
    if (c < N) return false;
  }
  return true;
}

// --- ExpandA ------------------------------------------------------------------------------

// Eight matrix entries at once (uniform_x4, eight wide).
void uniform_x8(poly* const (&out)[8], const std::uint8_t (&rho)[SEEDBYTES],
                const std::uint16_t (&nonces)[8]) noexcept {
  std::uint8_t inputs[8][SEEDBYTES + 2];
  const std::uint8_t* in[8];
  for (unsigned i = 0; i < 8; ++i) {
    std::memcpy(inputs[i], rho, SEEDBYTES);
    inputs[i][SEEDBYTES] = static_cast<std::uint8_t>(nonces[i]);
    inputs[i][SEEDBYTES + 1] = static_cast<std::uint8_t>(nonces[i] >> 8);
    in[i] = inputs[i];
  }
  KeccakX8 s;
  shake_x8_absorb_once<SHAKE128_RATE>(s, in, SEEDBYTES + 2);

  // Eight bytes of slack per stream for rej_uniform_avx2's reads, zeroed.
  constexpr unsigned kBytes = kUniformBlocks * SHAKE128_RATE;
  alignas(32) std::uint8_t buf[8][kBytes + 8];
  for (auto& stream : buf) std::memset(stream + kBytes, 0, 8);
  for (unsigned b = 0; b < kUniformBlocks; ++b) {
    const std::size_t at = b * SHAKE128_RATE;
    std::uint8_t* const blocks[8] = {buf[0] + at, buf[1] + at, buf[2] + at, buf[3] + at,
                                     buf[4] + at, buf[5] + at, buf[6] + at, buf[7] + at};
    shake_x8_squeeze_block<SHAKE128_RATE>(s, blocks);
  }
  unsigned ctr[8];
  for (unsigned i = 0; i < 8; ++i) ctr[i] = rej_uniform_avx2(out[i]->coeffs, N, buf[i], kBytes);
  while (!all_done(ctr)) {
    std::uint8_t* const blocks[8] = {buf[0], buf[1], buf[2], buf[3],
                                     buf[4], buf[5], buf[6], buf[7]};
    shake_x8_squeeze_block<SHAKE128_RATE>(s, blocks);
    for (unsigned i = 0; i < 8; ++i) {
      if (ctr[i] < N) {
        ctr[i] += rej_uniform_avx2(out[i]->coeffs + ctr[i], N - ctr[i], buf[i], SHAKE128_RATE);
      }
    }
  }
}

// A-hat[i][j] from nonce 256 i + j, eight entries per pass: for K * L = 30,
// four passes, the last with two spare entries. Eight-wide all the way is
// cheaper than ending on two four-wide passes.
void avx512_expand_matrix(polyvecl* mat, const std::uint8_t (&rho)[SEEDBYTES]) noexcept {
  constexpr unsigned kEntries = K * L;
  VESTREL_VECTOR_ALIGNED poly spare[8];
  for (unsigned e = 0; e < kEntries; e += 8) {
    poly* out[8];
    std::uint16_t nonces[8];
    for (unsigned i = 0; i < 8; ++i) {
      const unsigned entry = e + i < kEntries ? e + i : kEntries - 1;
      out[i] = e + i < kEntries ? &mat[entry / L].vec[entry % L] : &spare[i];
      nonces[i] = static_cast<std::uint16_t>(((entry / L) << 8) + entry % L);
    }
    uniform_x8(out, rho, nonces);
  }
}

// --- ExpandS ----------------------------------------------------------------------------------

void uniform_eta_x8(poly* const (&out)[8], const std::uint8_t* rho_prime,
                    const std::uint16_t (&nonces)[8]) noexcept {
  Scratch<KeccakX8> s;
  Scratch<std::uint8_t[8][kEtaBlocks * SHAKE256_RATE]> buf;
  auto& b = buf.v;
  squeeze_x8_seeded(s.v, rho_prime, nonces, b);
  unsigned ctr[8];
  for (unsigned i = 0; i < 8; ++i)
    ctr[i] = eta_sample_avx2(out[i]->coeffs, 0, N, b[i], sizeof b[i]);
  while (!all_done(ctr)) {
    std::uint8_t* const blocks[8] = {b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]};
    shake_x8_squeeze_block<SHAKE256_RATE>(s.v, blocks);
    for (unsigned i = 0; i < 8; ++i) {
      ctr[i] = eta_sample_avx2(out[i]->coeffs, ctr[i], N, b[i], SHAKE256_RATE);
    }
  }
}

// s1 from nonces 0 .. L-1, s2 from L .. L+K-1: the first eight together, the
// other three four-wide with one spare, which costs no more than a second
// eight-wide pass with five.
void avx512_expand_secret(polyvecl& s1, polyveck& s2, const std::uint8_t* rho_prime) noexcept {
  constexpr unsigned kCount = L + K;
  static_assert(kCount > 8 && kCount <= 12);
  auto slot = [&](unsigned n) -> poly* { return n < L ? &s1.vec[n] : &s2.vec[n - L]; };
  {
    poly* out[8];
    std::uint16_t nonces[8];
    for (unsigned i = 0; i < 8; ++i) {
      out[i] = slot(i);
      nonces[i] = static_cast<std::uint16_t>(i);
    }
    uniform_eta_x8(out, rho_prime, nonces);
  }
  Scratch<poly> spare;
  poly* out[4];
  std::uint16_t nonces[4];
  for (unsigned i = 0; i < 4; ++i) {
    const unsigned n = 8 + i;
    out[i] = n < kCount ? slot(n) : &spare.v;
    nonces[i] = static_cast<std::uint16_t>(n);
  }
  uniform_eta_x4(out, rho_prime, nonces);
}

// --- ExpandMask --------------------------------------------------------------------------------

// y for eight consecutive nonces: 640 bytes (five blocks) of SHAKE256 each.
void mask_x8(poly (&out)[8], const std::uint8_t (&rho_pp)[CRHBYTES], std::uint16_t first) noexcept {
  std::uint16_t nonces[8];
  for (unsigned i = 0; i < 8; ++i) nonces[i] = static_cast<std::uint16_t>(first + i);
  Scratch<KeccakX8> s;
  Scratch<std::uint8_t[8][kMaskBlocks * SHAKE256_RATE]> buf;
  auto& b = buf.v;
  squeeze_x8_seeded(s.v, rho_pp, nonces, b);
  static_assert(sizeof b[0] >= POLYZ_PACKEDBYTES + kZUnpackSlack);
  for (unsigned i = 0; i < 8; ++i) avx2_polyz_unpack(out[i].coeffs, b[i]);
}

// The AVX2 backend's MaskStream, eight nonces at a time: an attempt takes L =
// 5, so a batch serves an attempt and most of the next, and at most seven are
// made and never used.
class MaskStream {
 public:
  explicit MaskStream(const std::uint8_t (&rho_pp)[CRHBYTES]) noexcept : rho_pp_(rho_pp) {}

  void fill(polyvecl& y, std::uint16_t kappa) noexcept {
    for (unsigned r = 0; r < L; ++r) {
      const unsigned nonce = kappa + r;
      if (!ready_ || nonce - first_ >= 8) {
        first_ = nonce;
        mask_x8(batch_.v, rho_pp_, static_cast<std::uint16_t>(nonce));
        ready_ = true;
      }
      y.vec[r] = batch_.v[nonce - first_];
    }
  }

 private:
  const std::uint8_t (&rho_pp_)[CRHBYTES];
  Scratch<poly[8]> batch_;
  unsigned first_ = 0;
  bool ready_ = false;
};

}  // namespace
}  // namespace vestrel::mldsa65::VESTREL_MLDSA65_ISA
