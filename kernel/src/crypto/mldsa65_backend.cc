// One ML-DSA-65 backend: key generation, signing and verification composed
// from PQClean's ml-dsa-65/clean sources, which are compiled here, inside this
// translation unit, rather than linked. Seeing their small arithmetic helpers
// (montgomery_reduce above all) lets the compiler inline them into every loop,
// and lets the AVX2 build replace the hot loops with vector code.
//
// This file is compiled twice (kernel/CMakeLists.txt): with
// VESTREL_MLDSA65_ISA=portable for any x86-64, and with
// VESTREL_MLDSA65_ISA=avx2 and VESTREL_MLDSA65_AVX2=1. Everything here lives
// in the namespace named by VESTREL_MLDSA65_ISA, so the two copies share no
// symbol and the linker can never hand one backend's code to the other.
//
// PQClean's own key generation and signing entry points draw the seed and rnd
// from a global randombytes hook and re-expand the key on every signature, so
// neither is used: key generation takes the caller's seed, and signing works
// from the expanded key kept in ExpandedKey.
#ifndef VESTREL_MLDSA65_ISA
#error "compile with VESTREL_MLDSA65_ISA naming the backend"
#endif

// Every header from outside this backend is included before any code is
// compiled for AVX2 below, so that no inline function of theirs is ever
// compiled with AVX2 enabled: such a function is emitted in both backends
// under one name, and the linker would keep whichever copy it saw first. The
// test MlDsa65Build.Avx2BackendSharesNoInlineCode checks the object for them.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
// PQClean's sources include these C headers themselves; their include guards
// keep them from being opened again inside the namespace below.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "ct_marks.h"
#include "mldsa65_backend.h"
#include "secure.h"

#if VESTREL_MLDSA65_AVX512
// The AVX-512 backend: the AVX2 backend's code and its own eight-way
// samplers, under AVX-512F/VL/BW/DQ besides what the AVX2 one needs.
#include <immintrin.h>
#if defined(__clang__)
#pragma clang attribute push(                                                           \
    __attribute__((target("avx2,bmi,bmi2,popcnt,avx512f,avx512vl,avx512bw,avx512dq"))), \
    apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2,popcnt,avx512f,avx512vl,avx512bw,avx512dq")
#endif
#elif VESTREL_MLDSA65_AVX2
#include <immintrin.h>
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,bmi,bmi2,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2,popcnt")
#endif
#endif

#include "keccak.h"

namespace vestrel::mldsa65::VESTREL_MLDSA65_ISA {
namespace {

// --- PQClean's SHAKE interface over our own sponge ---------------------------
//
// PQClean's fips202.c keeps every SHAKE state on the heap and calls exit(111)
// when malloc fails, which would end the host process. It is not compiled in:
// its header is pre-empted here, and the sampling code in poly.c and
// symmetric-shake.c runs on the by-value sponge of keccak.h instead,
// so no allocation, and so no exit, can happen anywhere below.

#define FIPS202_H
#define SHAKE128_RATE 168
#define SHAKE256_RATE 136
static_assert(SHAKE128_RATE == kShake128Rate && SHAKE256_RATE == kShake256Rate);

using shake128incctx = Shake128;
using shake256incctx = Shake256;

void shake128_inc_init(Shake128* s) noexcept { s->init(); }
void shake128_inc_absorb(Shake128* s, const std::uint8_t* in, std::size_t n) noexcept {
  s->absorb(in, n);
}
void shake128_inc_finalize(Shake128* s) noexcept { s->finalize(); }
void shake128_inc_squeeze(std::uint8_t* out, std::size_t n, Shake128* s) noexcept {
  s->squeeze(out, n);
}
void shake128_inc_ctx_release(Shake128* s) noexcept { secure_wipe(s, sizeof *s); }

void shake256_inc_init(Shake256* s) noexcept { s->init(); }
void shake256_inc_absorb(Shake256* s, const std::uint8_t* in, std::size_t n) noexcept {
  s->absorb(in, n);
}
void shake256_inc_finalize(Shake256* s) noexcept { s->finalize(); }
void shake256_inc_squeeze(std::uint8_t* out, std::size_t n, Shake256* s) noexcept {
  s->squeeze(out, n);
}
// The sponge may have absorbed rho' or rho''; it is wiped, not just dropped.
void shake256_inc_ctx_release(Shake256* s) noexcept { secure_wipe(s, sizeof *s); }

// PQClean's one-letter macros (N, K, L, Q, D) are defined from here on.
#include "ntt.c"
#if VESTREL_MLDSA65_AVX2
// sigDecode's z is unpacked by the AVX2 backend's vector routine
// (mldsa65_avx2.h), which computes what PQClean's polyz_unpack computes; the
// rename reaches the one call in packing.c and nothing else.
#include "poly.h"
void unpack_signature_z(poly* r, const std::uint8_t* a) noexcept;
#define PQCLEAN_MLDSA65_CLEAN_polyz_unpack unpack_signature_z
#endif
#include "packing.c"
#if VESTREL_MLDSA65_AVX2
#undef PQCLEAN_MLDSA65_CLEAN_polyz_unpack
#endif
#include "poly.c"
#include "polyvec.c"
#include "reduce.c"
#include "rounding.c"
#include "symmetric-shake.c"

// --- Scratch that may hold secrets --------------------------------------------

// Every polynomial the vector code works on lies on a 32-byte boundary, as
// the key's own Poly does. PQClean's types promise only 4 bytes, and in a
// local placed wherever the caller's stack depth puts it, half of the NTT's
// 32-byte loads and stores could straddle two cache lines: the same
// verification cost a tenth more when called from one depth than another.
#define VESTREL_VECTOR_ALIGNED alignas(32)

// A working value wiped on every path out of the scope that owns it.
template <class T>
struct Scratch {
  static_assert(std::is_trivially_copyable_v<T>);
  Scratch() = default;
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() { secure_wipe(&v, sizeof v); }
  // At least 32, more where T asks for it (the eight-way Keccak's 64).
  VESTREL_VECTOR_ALIGNED alignas(T) T v;
};

// A SHAKE256 sponge wiped when it goes out of scope: it may have absorbed xi,
// K or rho''.
class Hash256 {
 public:
  Hash256() noexcept { state_.v.init(); }
  Hash256& absorb(const std::uint8_t* p, std::size_t n) noexcept {
    state_.v.absorb(p, n);
    return *this;
  }
  Hash256& absorb(ByteView bytes) noexcept { return absorb(bytes.data(), bytes.size()); }
  void squeeze(std::uint8_t* out, std::size_t n) noexcept {
    state_.v.finalize();
    state_.v.squeeze(out, n);
  }

 private:
  Scratch<Shake256> state_;
};

// --- ExpandS's rejection step ------------------------------------------------
//
// With eta = 4, each byte of SHAKE256(rho' || nonce) gives two candidates, its
// low nibble first; a nibble t below 9 becomes the coefficient 4 - t, and any
// other is skipped. How long sampling takes, and where each coefficient is
// written, shows which candidates were skipped. That is all it shows: the
// nibbles are independent and uniform, so a skipped one says nothing about
// any kept one. So the accept bit of each candidate is computed without a
// branch and declassified on its own, and nothing else of the stream is: a
// kept nibble's value is only ever stored, never branched on or used as an
// address.

constexpr unsigned kEtaBound = 2 * ETA + 1;
static_assert(ETA == 4, "the nibble sampler is for eta = 4");

// Bit i set when candidate i of the n bytes at buf (n <= 16) is kept.
std::uint32_t eta_accept_bits(const std::uint8_t* buf, std::size_t n) noexcept {
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t lo = buf[i] & 0x0Fu, hi = static_cast<std::uint32_t>(buf[i] >> 4);
    bits |= ((lo - kEtaBound) >> 31) << (2 * i);
    bits |= ((hi - kEtaBound) >> 31) << (2 * i + 1);
  }
  return bits;
}

// Appends the kept candidates of buf to a[ctr ..], up to len coefficients in
// all; returns the new count. The coefficients are the first len kept
// candidates of the stream, however it is cut into buffers.
unsigned eta_sample(std::int32_t* a, unsigned ctr, unsigned len, const std::uint8_t* buf,
                    std::size_t buflen) noexcept {
  for (std::size_t pos = 0; pos < buflen && ctr < len; pos += 16) {
    const std::size_t n = buflen - pos < 16 ? buflen - pos : 16;
    const std::uint32_t keep = ct::declassified(eta_accept_bits(buf + pos, n));
    for (unsigned j = 0; j < 2 * n && ctr < len; ++j) {
      if ((keep >> j & 1u) == 0) continue;
      const std::uint32_t t = (buf[pos + j / 2] >> (4 * (j & 1u))) & 0x0Fu;
      a[ctr++] = ETA - static_cast<std::int32_t>(t);
    }
  }
  return ctr;
}

// --- SampleInBall ---------------------------------------------------------------
//
// c has TAU coefficients +-1 and the rest zero, drawn from SHAKE256(c~) by
// rejection, the positions taken from the stream. Both the rejection and the
// positions depend on c~, which is public wherever this runs: signing
// declassifies each attempt's c~ as soon as it is computed (sign_internal),
// and a verifier reads it from the signature.
void sample_in_ball(poly& c, const std::uint8_t (&c_tilde)[CTILDEBYTES]) noexcept {
  Scratch<Shake256> s;
  s.v.init();
  s.v.absorb(c_tilde, CTILDEBYTES);
  s.v.finalize();
  Scratch<std::uint8_t[SHAKE256_RATE]> buf;
  s.v.squeeze(buf.v, SHAKE256_RATE);
  // The first eight bytes give the signs, one bit per nonzero coefficient.
  std::uint64_t signs = load_lane(buf.v);
  unsigned pos = 8;
  std::memset(c.coeffs, 0, sizeof c.coeffs);
  for (unsigned i = N - TAU; i < N; ++i) {
    unsigned b;
    do {
      if (pos == SHAKE256_RATE) {
        s.v.squeeze(buf.v, SHAKE256_RATE);
        pos = 0;
      }
      b = buf.v[pos++];
    } while (b > i);
    c.coeffs[i] = c.coeffs[b];
    c.coeffs[b] = 1 - 2 * static_cast<std::int32_t>(signs & 1);
    signs >>= 1;
  }
}

}  // namespace
}  // namespace vestrel::mldsa65::VESTREL_MLDSA65_ISA

#if VESTREL_MLDSA65_AVX512
// The AVX-512 backend samples the matrix, s1, s2 and y with its own eight-way
// routines, which leaves some of the AVX2 ones unused here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include "mldsa65_avx2.h"
#pragma GCC diagnostic pop
#include "mldsa65_avx512.h"
#elif VESTREL_MLDSA65_AVX2
#include "mldsa65_avx2.h"
#endif

namespace vestrel::mldsa65::VESTREL_MLDSA65_ISA {
namespace {

// --- Layout: our key parts are PQClean's vectors -----------------------------
//
// The key is handed to PQClean's routines in place rather than copied into its
// types, so no second copy of s1, s2 or t0 exists during signing. That needs
// Poly to be layout-identical to PQClean's poly, and Poly[L], Poly[K] and
// Poly[K][L] to polyvecl, polyveck and polyvecl[K]. The views alias objects of
// another type, which is why this file is built with -fno-strict-aliasing.

static_assert(kN == N && kK == K && kL == L);
static_assert(std::is_standard_layout_v<Poly> && std::is_standard_layout_v<poly>);
static_assert(sizeof(Poly) == sizeof(poly) && alignof(Poly) >= alignof(poly));
static_assert(offsetof(Poly, coeffs) == offsetof(poly, coeffs));
static_assert(std::is_same_v<decltype(Poly::coeffs), decltype(poly::coeffs)>);
static_assert(sizeof(Poly[kL]) == sizeof(polyvecl) && sizeof(Poly[kK]) == sizeof(polyveck));
static_assert(sizeof(ExpandedKey::a_hat) == sizeof(polyvecl[K]));
static_assert(kPublicKeyBytes == PQCLEAN_MLDSA65_CLEAN_CRYPTO_PUBLICKEYBYTES);
static_assert(kSignatureBytes == PQCLEAN_MLDSA65_CLEAN_CRYPTO_BYTES);
static_assert(kEncodedSecretKeyBytes == PQCLEAN_MLDSA65_CLEAN_CRYPTO_SECRETKEYBYTES);
static_assert(sizeof(ExpandedKey::rho) == SEEDBYTES && sizeof(ExpandedKey::key) == SEEDBYTES);
static_assert(sizeof(ExpandedKey::tr) == TRBYTES && sizeof(PreparedPublicKey::tr) == TRBYTES);
static_assert(sizeof(PreparedPublicKey::a_hat) == sizeof(polyvecl[K]) &&
              sizeof(PreparedPublicKey::t1_hat) == sizeof(polyveck));

polyvecl& as_vecl(Poly (&v)[kL]) noexcept { return *reinterpret_cast<polyvecl*>(v); }
const polyvecl& as_vecl(const Poly (&v)[kL]) noexcept {
  return *reinterpret_cast<const polyvecl*>(v);
}
polyveck& as_veck(Poly (&v)[kK]) noexcept { return *reinterpret_cast<polyveck*>(v); }
const polyveck& as_veck(const Poly (&v)[kK]) noexcept {
  return *reinterpret_cast<const polyveck*>(v);
}
polyvecl* as_matrix(Poly (&a)[kK][kL]) noexcept { return reinterpret_cast<polyvecl*>(a); }
const polyvecl* as_matrix(const Poly (&a)[kK][kL]) noexcept {
  return reinterpret_cast<const polyvecl*>(a);
}

// --- Polynomial arithmetic -------------------------------------------------------
//
// Each operation either is PQClean's routine or, in the AVX2 backend, vector
// code that gives the same result: the forward NTT and the products the same
// integers, the inverse NTT the same values modulo q, each followed here by
// caddq or by reduce32 and a norm check, which make them the same integers
// wherever they matter (mldsa65_avx2.h). The backends therefore agree on
// keys, expanded keys and signatures.

#if VESTREL_MLDSA65_AVX2
void ntt(poly& a) noexcept { avx2_ntt(a.coeffs); }
void invntt(poly& a) noexcept { avx2_invntt_tomont(a.coeffs); }
void pointwise(poly& c, const poly& a, const poly& b) noexcept {
  avx2_pointwise(c.coeffs, a.coeffs, b.coeffs);
}
// t_i = sum_j mat[i][j] * v[j] (Montgomery products, unreduced sums).
void matrix_pointwise(polyveck& t, const polyvecl* mat, const polyvecl& v) noexcept {
  for (unsigned i = 0; i < K; ++i) avx2_pointwise_acc(t.vec[i].coeffs, mat[i].vec, v.vec);
}
bool exceeds(const poly* v, std::size_t count, std::int32_t bound) noexcept {
  return avx2_exceeds(v[0].coeffs, count * N, bound);
}
unsigned make_hint(poly* h, const poly* a0, const poly* a1, std::size_t count) noexcept {
  return avx2_make_hint(h[0].coeffs, a0[0].coeffs, a1[0].coeffs, count * N);
}
#else
void ntt(poly& a) noexcept { PQCLEAN_MLDSA65_CLEAN_poly_ntt(&a); }
void invntt(poly& a) noexcept { PQCLEAN_MLDSA65_CLEAN_poly_invntt_tomont(&a); }
void pointwise(poly& c, const poly& a, const poly& b) noexcept {
  PQCLEAN_MLDSA65_CLEAN_poly_pointwise_montgomery(&c, &a, &b);
}
void matrix_pointwise(polyveck& t, const polyvecl* mat, const polyvecl& v) noexcept {
  PQCLEAN_MLDSA65_CLEAN_polyvec_matrix_pointwise_montgomery(&t, mat, &v);
}
bool exceeds(const poly* v, std::size_t count, std::int32_t bound) noexcept {
  std::uint32_t over = 0;
  for (std::size_t p = 0; p < count; ++p) {
    for (std::int32_t x : v[p].coeffs) {
      const std::int32_t abs = x - ((x >> 31) & 2 * x);
      over |= static_cast<std::uint32_t>(bound - 1 - abs) >> 31;
    }
  }
  return over != 0;
}
unsigned make_hint(poly* h, const poly* a0, const poly* a1, std::size_t count) noexcept {
  unsigned total = 0;
  for (std::size_t p = 0; p < count; ++p) {
    for (unsigned i = 0; i < N; ++i) {
      const std::int32_t x = a0[p].coeffs[i];
      const std::uint32_t hint =
          (static_cast<std::uint32_t>(GAMMA2 - x) >> 31) |
          (static_cast<std::uint32_t>(x + GAMMA2) >> 31) |
          static_cast<std::uint32_t>((x == -GAMMA2) & (a1[p].coeffs[i] != 0));
      h[p].coeffs[i] = static_cast<std::int32_t>(hint);
      total += hint;
    }
  }
  return total;
}
#endif

template <std::size_t M>
void ntt_all(poly (&v)[M]) noexcept {
  for (poly& p : v) ntt(p);
}
template <std::size_t M>
void invntt_all(poly (&v)[M]) noexcept {
  for (poly& p : v) invntt(p);
}
template <std::size_t M>
void pointwise_all(poly (&out)[M], const poly& c, const poly (&v)[M]) noexcept {
  for (std::size_t i = 0; i < M; ++i) pointwise(out[i], c, v[i]);
}

// Whether some coefficient x of the vector has |x| >= bound, x centred: the
// answer of PQClean's chknorm. PQClean stops at the first such coefficient;
// this reads every one, so the answer is the only thing that can be branched
// on, and a signer's answer is the rejection decision FIPS 204 lets it reveal.
template <std::size_t M>
bool any_exceeds(const poly (&v)[M], std::int32_t bound) noexcept {
  return exceeds(v, M, bound);
}

// h = 1 where adding the low bits a0 would carry into the high bits a1, as
// PQClean's make_hint decides it, but with no branch: of the hints only their
// number, which decides rejection, is ever branched on. Returns that number.
unsigned make_hints(polyveck& h, const polyveck& a0, const polyveck& a1) noexcept {
  return make_hint(h.vec, a0.vec, a1.vec, K);
}

// --- Sampling -----------------------------------------------------------------

// ExpandA: A-hat[i][j] from SHAKE128(rho || j || i).
void expand_matrix(polyvecl* mat, const std::uint8_t (&rho)[SEEDBYTES]) noexcept {
#if VESTREL_MLDSA65_AVX512
  avx512_expand_matrix(mat, rho);
#elif VESTREL_MLDSA65_AVX2
  avx2_expand_matrix(mat, rho);
#else
  PQCLEAN_MLDSA65_CLEAN_polyvec_matrix_expand(mat, rho);
#endif
}

// ExpandS: s1 from nonces 0..L-1 and s2 from L..L+K-1 of SHAKE256(rho' || nonce).
#if VESTREL_MLDSA65_AVX512
void expand_secret(polyvecl& s1, polyveck& s2, const std::uint8_t* rho_prime) noexcept {
  avx512_expand_secret(s1, s2, rho_prime);
}
#elif VESTREL_MLDSA65_AVX2
void expand_secret(polyvecl& s1, polyveck& s2, const std::uint8_t* rho_prime) noexcept {
  avx2_expand_secret(s1, s2, rho_prime);
}
#else
void expand_secret(polyvecl& s1, polyveck& s2, const std::uint8_t* rho_prime) noexcept {
  Scratch<Shake256> s;
  Scratch<std::uint8_t[SHAKE256_RATE]> buf;
  for (unsigned n = 0; n < L + K; ++n) {
    poly& out = n < L ? s1.vec[n] : s2.vec[n - L];
    const std::uint8_t nonce_le[2] = {static_cast<std::uint8_t>(n), 0};
    s.v.init();
    s.v.absorb(rho_prime, CRHBYTES);
    s.v.absorb(nonce_le, 2);
    s.v.finalize();
    for (unsigned ctr = 0; ctr < N;) {
      s.v.squeeze(buf.v, SHAKE256_RATE);
      ctr = eta_sample(out.coeffs, ctr, N, buf.v, SHAKE256_RATE);
    }
  }
}
#endif

// ExpandMask: y[r] = the first 640 bytes of SHAKE256(rho'' || IntegerToBytes(
// kappa + r, 2)), unpacked as 20-bit z-form coefficients. PQClean's sampler
// would leave the rho''-keyed sponge in memory; these wipe it. The AVX2
// MaskStream makes the masks four nonces at a time.
#if !VESTREL_MLDSA65_AVX2
class MaskStream {
 public:
  explicit MaskStream(const std::uint8_t (&rho_pp)[CRHBYTES]) noexcept : rho_pp_(rho_pp) {}

  void fill(polyvecl& y, std::uint16_t kappa) noexcept {
    Scratch<std::uint8_t[POLYZ_PACKEDBYTES]> buf;
    for (unsigned r = 0; r < L; ++r) {
      const auto nonce = static_cast<std::uint16_t>(kappa + r);
      const std::uint8_t nonce_le[2] = {static_cast<std::uint8_t>(nonce),
                                        static_cast<std::uint8_t>(nonce >> 8)};
      Hash256().absorb(rho_pp_, CRHBYTES).absorb(nonce_le, 2).squeeze(buf.v, sizeof buf.v);
      PQCLEAN_MLDSA65_CLEAN_polyz_unpack(&y.vec[r], buf.v);
    }
  }

 private:
  const std::uint8_t (&rho_pp_)[CRHBYTES];
};
#endif

// --- Hashes -----------------------------------------------------------------------

// kappa is encoded in two bytes and grows by L per attempt; the last attempt
// whose nonces all fit is the limit. An honest key needs about five attempts,
// so reaching it means the primitive has given up.
constexpr unsigned kMaxKappa = 0xFFFF - (L - 1);

// mu = SHAKE256(tr || M', 64) with M' = 0x00 (pure mode) || |ctx| || ctx ||
// msg; the context is at most 255 bytes (the adapter checks).
void message_representative(const std::uint8_t (&tr)[TRBYTES], ByteView context, ByteView msg,
                            std::uint8_t (&mu)[CRHBYTES]) noexcept {
  const std::uint8_t pure_mode[2] = {0x00, static_cast<std::uint8_t>(context.size())};
  Hash256()
      .absorb(tr, TRBYTES)
      .absorb(pure_mode, 2)
      .absorb(context)
      .absorb(msg)
      .squeeze(mu, CRHBYTES);
}

// c~ = SHAKE256(mu || w1Encode(w1), 48).
void commitment_hash(const std::uint8_t (&mu)[CRHBYTES], const polyveck& w1,
                     std::uint8_t (&c_tilde)[CTILDEBYTES]) noexcept {
  Scratch<std::uint8_t[K * POLYW1_PACKEDBYTES]> packed;
  PQCLEAN_MLDSA65_CLEAN_polyveck_pack_w1(packed.v, &w1);
  Hash256().absorb(mu, CRHBYTES).absorb(packed.v, sizeof packed.v).squeeze(c_tilde, CTILDEBYTES);
}

// The challenge c in the NTT domain.
void challenge(poly& c, const std::uint8_t (&c_tilde)[CTILDEBYTES]) noexcept {
  sample_in_ball(c, c_tilde);
  ntt(c);
}

// --- Key generation -------------------------------------------------------------

template <std::size_t M>
void ntt_image(Poly (&image)[M], const Poly (&plain)[M]) noexcept {
  std::memcpy(image, plain, sizeof image);
  for (Poly& p : image) ntt(*reinterpret_cast<poly*>(&p));
}

// The images of s2 and t0, which only signing needs, are made by the key's
// first signature (see ExpandedKey). images_state goes from absent to being
// made to ready, and never back while the key lives; the GCC builtins, not
// std::atomic_ref, so that no template of the standard library is compiled
// for AVX2 here (see the top of this file).
constexpr std::uint32_t kImagesAbsent = 0, kImagesBeingMade = 1, kImagesReady = 2;

// A new key's images are absent, and zero rather than whatever an earlier key
// in the same memory left.
void leave_signing_images(ExpandedKey& sk) noexcept {
  secure_wipe(sk.s2_hat, sizeof sk.s2_hat);
  secure_wipe(sk.t0_hat, sizeof sk.t0_hat);
  sk.images_state = kImagesAbsent;
}

// Whether sk.s2_hat and sk.t0_hat may be read. The first signer to find them
// absent makes them in place. A signer that finds another one making them at
// that moment does not wait for it: it answers false, and that signature
// takes the images of s2 and t0 itself, attempt by attempt.
bool signing_images(const ExpandedKey& sk) noexcept {
  std::uint32_t seen = __atomic_load_n(&sk.images_state, __ATOMIC_ACQUIRE);
  if (seen == kImagesReady) return true;
  if (seen != kImagesAbsent ||
      !__atomic_compare_exchange_n(&sk.images_state, &seen, kImagesBeingMade, false,
                                   __ATOMIC_ACQUIRE, __ATOMIC_ACQUIRE)) {
    return seen == kImagesReady;
  }
  ntt_image(sk.s2_hat, sk.s2);
  ntt_image(sk.t0_hat, sk.t0);
  __atomic_store_n(&sk.images_state, kImagesReady, __ATOMIC_RELEASE);
  return true;
}

// c * v in the NTT domain for v = s2 or t0, from the key's image when there is
// one and otherwise from v itself, into out.
void times_challenge(polyveck& out, const poly& c, const Poly (&image)[kK], const Poly (&plain)[kK],
                     bool have_image) noexcept {
  if (have_image) {
    pointwise_all(out.vec, c, as_veck(image).vec);
    return;
  }
  out = as_veck(plain);
  ntt_all(out.vec);
  pointwise_all(out.vec, c, out.vec);
}

// Not inlined, so that its frames lie below keygen_entry's (see there).
[[gnu::noinline]] void keygen_internal(SeedView xi, ExpandedKey& sk, PublicKey pk) noexcept {
  // SHAKE256(xi || k || l) -> rho (32) | rho' (64) | K (32). The k and l bytes
  // bind the key to the parameter set.
  Scratch<std::uint8_t[SEEDBYTES + CRHBYTES + SEEDBYTES]> seeds;
  const std::uint8_t params[2] = {K, L};
  Hash256().absorb(xi).absorb(params, 2).squeeze(seeds.v, sizeof seeds.v);
  const std::uint8_t* rho_prime = seeds.v + SEEDBYTES;
  std::memcpy(sk.rho, seeds.v, SEEDBYTES);
  // rho opens the public key; ExpandA may branch on what it derives from it.
  ct::declassify(sk.rho, SEEDBYTES);
  std::memcpy(sk.key, seeds.v + SEEDBYTES + CRHBYTES, SEEDBYTES);

  expand_matrix(as_matrix(sk.a_hat), sk.rho);
  expand_secret(as_vecl(sk.s1), as_veck(sk.s2), rho_prime);
  ntt_image(sk.s1_hat, sk.s1);
  leave_signing_images(sk);

  // t = NTT^-1(A-hat * NTT(s1)) + s2, then (t1, t0) = Power2Round(t).
  Scratch<polyveck> t;
  matrix_pointwise(t.v, as_matrix(sk.a_hat), as_vecl(sk.s1_hat));
  PQCLEAN_MLDSA65_CLEAN_polyveck_reduce(&t.v);
  invntt_all(t.v.vec);
  PQCLEAN_MLDSA65_CLEAN_polyveck_add(&t.v, &t.v, &as_veck(sk.s2));
  PQCLEAN_MLDSA65_CLEAN_polyveck_caddq(&t.v);
  VESTREL_VECTOR_ALIGNED polyveck t1;
  PQCLEAN_MLDSA65_CLEAN_polyveck_power2round(&t1, &as_veck(sk.t0), &t.v);

  PQCLEAN_MLDSA65_CLEAN_pack_pk(pk.data(), sk.rho, &t1);
  Hash256().absorb(pk).squeeze(sk.tr, TRBYTES);
}

// --- Signing --------------------------------------------------------------------

// Not inlined, so that its frames lie below sign_entry's (see there).
[[gnu::noinline]] bool sign_internal(const ExpandedKey& sk, ByteView context, ByteView msg,
                                     Signature sig) noexcept {
  std::uint8_t mu[CRHBYTES];
  message_representative(sk.tr, context, msg, mu);

  // rho'' = SHAKE256(K || rnd || mu, 64) with rnd all zero: the deterministic
  // variant, so the same key and message always give the same signature.
  Scratch<std::uint8_t[CRHBYTES]> rho_pp;
  static constexpr std::uint8_t kZeroRnd[RNDBYTES] = {};
  Hash256()
      .absorb(sk.key, SEEDBYTES)
      .absorb(kZeroRnd, RNDBYTES)
      .absorb(mu, CRHBYTES)
      .squeeze(rho_pp.v, CRHBYTES);

  // Every attempt's y, z, w and hints depend on the secret; a rejected attempt
  // must leave nothing behind, so all of them are wiped on the way out.
  Scratch<polyvecl> y, z;
  Scratch<polyveck> w1, w0, h;
  Scratch<poly> c;
  Scratch<std::uint8_t[CTILDEBYTES]> c_tilde;
  const polyvecl* a_hat = as_matrix(sk.a_hat);
  const bool images = signing_images(sk);
  MaskStream masks(rho_pp.v);

  for (unsigned kappa = 0; kappa <= kMaxKappa; kappa += L) {
    masks.fill(y.v, static_cast<std::uint16_t>(kappa));

    // w = NTT^-1(A-hat * NTT(y)); (w1, w0) = Decompose(w).
    z.v = y.v;
    ntt_all(z.v.vec);
    matrix_pointwise(w1.v, a_hat, z.v);
    PQCLEAN_MLDSA65_CLEAN_polyveck_reduce(&w1.v);
    invntt_all(w1.v.vec);
    PQCLEAN_MLDSA65_CLEAN_polyveck_caddq(&w1.v);
    PQCLEAN_MLDSA65_CLEAN_polyveck_decompose(&w1.v, &w0.v, &w1.v);

    commitment_hash(mu, w1.v, c_tilde.v);
    // c~ is public from here on. It is a hash output, which carries nothing of
    // the key as long as SHAKE256 behaves as a random function: the accepted
    // attempt's c~ is in the signature anyway, and the designers of the scheme
    // argue that a rejected attempt's c~ is harmless to reveal on its own, so
    // hardened implementations declassify it here too. It lets SampleInBall
    // branch and index on it. (Combined with physical leakage of the rejected
    // z it has been exploited; see docs/security.md.)
    ct::declassify(c_tilde.v, sizeof c_tilde.v);
    challenge(c.v, c_tilde.v);

    // z = y + c*s1; rejecting a large z keeps it independent of s1.
    pointwise_all(z.v.vec, c.v, as_vecl(sk.s1_hat).vec);
    invntt_all(z.v.vec);
    PQCLEAN_MLDSA65_CLEAN_polyvecl_add(&z.v, &z.v, &y.v);
    PQCLEAN_MLDSA65_CLEAN_polyvecl_reduce(&z.v);
    if (ct::declassified(any_exceeds(z.v.vec, GAMMA1 - BETA))) continue;

    // r0 = LowBits(w - c*s2) must stay clear of the rounding boundary, or
    // subtracting c*s2 could have changed w1 and the verifier would disagree.
    times_challenge(h.v, c.v, sk.s2_hat, sk.s2, images);
    invntt_all(h.v.vec);
    PQCLEAN_MLDSA65_CLEAN_polyveck_sub(&w0.v, &w0.v, &h.v);
    PQCLEAN_MLDSA65_CLEAN_polyveck_reduce(&w0.v);
    if (ct::declassified(any_exceeds(w0.v.vec, GAMMA2 - BETA))) continue;

    // Hints that let the verifier, who lacks t0, recover w1 from w - c*t0.
    times_challenge(h.v, c.v, sk.t0_hat, sk.t0, images);
    invntt_all(h.v.vec);
    PQCLEAN_MLDSA65_CLEAN_polyveck_reduce(&h.v);
    if (ct::declassified(any_exceeds(h.v.vec, GAMMA2))) continue;
    PQCLEAN_MLDSA65_CLEAN_polyveck_add(&w0.v, &w0.v, &h.v);
    if (ct::declassified(make_hints(h.v, w0.v, w1.v) > OMEGA)) continue;

    // Accepted: c~, z and the hints are the signature, and sigEncode may
    // branch on where the hints are.
    ct::declassify(&z.v, sizeof z.v);
    ct::declassify(&h.v, sizeof h.v);
    PQCLEAN_MLDSA65_CLEAN_pack_sig(sig.data(), c_tilde.v, &z.v, &h.v);
    return true;
  }
  return false;
}

// --- Verification ----------------------------------------------------------------

// sigDecode, and the bound on z: false for a signature that does not decode.
// It refuses a hint section whose counts decrease or pass omega, whose
// positions do not rise within a polynomial, or whose unused positions are not
// zero: each would give one signature several encodings.
bool decode_signature(SignatureView sig, std::uint8_t (&c_tilde)[CTILDEBYTES], polyvecl& z,
                      polyveck& h) noexcept {
  if (PQCLEAN_MLDSA65_CLEAN_unpack_sig(c_tilde, &z, &h, sig.data()) != 0) return false;
  return !any_exceeds(z.vec, GAMMA1 - BETA);
}

// The key's own part of verification: tr, A-hat, and t1 * 2^d in the NTT
// domain. Written where `a_hat` and `t1_hat` point.
void key_images(PublicKeyView pk, std::uint8_t (&tr)[TRBYTES], polyvecl* a_hat,
                polyveck& t1_hat) noexcept {
  std::uint8_t rho[SEEDBYTES];
  PQCLEAN_MLDSA65_CLEAN_unpack_pk(rho, &t1_hat, pk.data());
  Hash256().absorb(pk).squeeze(tr, TRBYTES);
  expand_matrix(a_hat, rho);
  PQCLEAN_MLDSA65_CLEAN_polyveck_shiftl(&t1_hat);
  ntt_all(t1_hat.vec);
}

// The signature's part: w1' = UseHint(h, A*z - c*t1*2^d), all products taken
// in the NTT domain, and c~ compared with the hash of mu and w1'.
VerifyOutcome check_commitment(const std::uint8_t (&tr)[TRBYTES], const polyvecl* a_hat,
                               const polyveck& t1_hat, ByteView context, ByteView msg,
                               const std::uint8_t (&c_tilde)[CTILDEBYTES], polyvecl& z,
                               const polyveck& h) noexcept {
  std::uint8_t mu[CRHBYTES];
  message_representative(tr, context, msg, mu);
  VESTREL_VECTOR_ALIGNED poly c;
  challenge(c, c_tilde);
  ntt_all(z.vec);
  VESTREL_VECTOR_ALIGNED polyveck w1;
  matrix_pointwise(w1, a_hat, z);
  VESTREL_VECTOR_ALIGNED polyveck ct1;
  pointwise_all(ct1.vec, c, t1_hat.vec);
  PQCLEAN_MLDSA65_CLEAN_polyveck_sub(&w1, &w1, &ct1);
  PQCLEAN_MLDSA65_CLEAN_polyveck_reduce(&w1);
  invntt_all(w1.vec);
  PQCLEAN_MLDSA65_CLEAN_polyveck_caddq(&w1);
  PQCLEAN_MLDSA65_CLEAN_polyveck_use_hint(&w1, &w1, &h);

  std::uint8_t expected[CTILDEBYTES];
  commitment_hash(mu, w1, expected);
  return std::memcmp(expected, c_tilde, CTILDEBYTES) == 0 ? VerifyOutcome::Valid
                                                          : VerifyOutcome::DoesNotVerify;
}

VerifyOutcome verify(PublicKeyView pk, ByteView context, ByteView msg, SignatureView sig) noexcept {
  std::uint8_t c_tilde[CTILDEBYTES];
  VESTREL_VECTOR_ALIGNED polyvecl z;
  VESTREL_VECTOR_ALIGNED polyveck h;
  if (!decode_signature(sig, c_tilde, z, h)) return VerifyOutcome::DoesNotDecode;
  std::uint8_t tr[TRBYTES];
  VESTREL_VECTOR_ALIGNED polyvecl a_hat[K];
  VESTREL_VECTOR_ALIGNED polyveck t1_hat;
  key_images(pk, tr, a_hat, t1_hat);
  return check_commitment(tr, a_hat, t1_hat, context, msg, c_tilde, z, h);
}

// kBackend, declared by mldsa65_backend.h, is this backend's table.
void prepare(PublicKeyView pk, PreparedPublicKey& prepared) noexcept {
  std::memcpy(prepared.encoded, pk.data(), kPublicKeyBytes);
  key_images(pk, prepared.tr, as_matrix(prepared.a_hat), as_veck(prepared.t1_hat));
  prepared.made_by = &kBackend;
}

VerifyOutcome verify_prepared(const PreparedPublicKey& prepared, ByteView context, ByteView msg,
                              SignatureView sig) noexcept {
  std::uint8_t c_tilde[CTILDEBYTES];
  VESTREL_VECTOR_ALIGNED polyvecl z;
  VESTREL_VECTOR_ALIGNED polyveck h;
  if (!decode_signature(sig, c_tilde, z, h)) return VerifyOutcome::DoesNotDecode;
  return check_commitment(prepared.tr, as_matrix(prepared.a_hat), as_veck(prepared.t1_hat),
                          context, msg, c_tilde, z, h);
}

// --- The skEncode form, for conformance material only -----------------------------

void encode_secret_key(const ExpandedKey& sk, EncodedSecretKey out) noexcept {
  PQCLEAN_MLDSA65_CLEAN_pack_sk(out.data(), sk.rho, sk.tr, sk.key, &as_veck(sk.t0), &as_vecl(sk.s1),
                                &as_veck(sk.s2));
}

void load_secret_key(EncodedSecretKeyView encoded, ExpandedKey& sk) noexcept {
  PQCLEAN_MLDSA65_CLEAN_unpack_sk(sk.rho, sk.tr, sk.key, &as_veck(sk.t0), &as_vecl(sk.s1),
                                  &as_veck(sk.s2), encoded.data());
  expand_matrix(as_matrix(sk.a_hat), sk.rho);
  ntt_image(sk.s1_hat, sk.s1);
  leave_signing_images(sk);
}

// --- Entry points: the stack is scrubbed after each secret operation --------------
//
// Every buffer of ours that holds a secret is wiped when it goes out of scope,
// but the compiler keeps copies of its own: registers spilled to the stack by
// the Keccak permutation or the vector code, temporaries of PQClean's
// routines. So the entry points run key generation and signing in frames of
// their own and then zero as much stack below themselves as the deepest of
// those frames reaches, measured on both backends with room to spare.
// kernel/tests/mldsa65_stack_test.cc searches all the stack an operation used
// and fails if any secret is left, so a compiler that goes deeper is noticed.
constexpr std::size_t kKeygenStackBytes = 32 * 1024;
constexpr std::size_t kSignStackBytes = 48 * 1024;

template <std::size_t Bytes>
[[gnu::noinline]] void wipe_stack_below() noexcept {
  std::uint8_t area[Bytes];
  secure_wipe(area, sizeof area);
}

// The vector registers outlive the call too, and the code above leaves
// pieces of keys, masks and SHAKE states in them; every entry point that
// touches a secret clears them last. Not only the registers this backend's
// own code uses: the C library's memcpy and memset, which copy and wipe
// secrets here, pick their code by the CPU, and on one with AVX-512 may run
// through ymm16-31 (their EVEX forms need no vzeroupper) and the opmask
// registers. So each backend clears everything the CPU has: xmm0-15 always,
// all of registers 0-15 by VZEROALL where there is AVX, and zmm16-31 and
// k0-7, which VZEROALL leaves alone, where there is AVX-512.
#if defined(__x86_64__)
[[gnu::target("avx512f,avx512bw")]] void clear_evex_registers() noexcept {
  // An EVEX write to xmm clears the register's upper bits up to zmm.
  asm volatile(
      "vpxord %%xmm16, %%xmm16, %%xmm16\n\tvpxord %%xmm17, %%xmm17, %%xmm17\n\t"
      "vpxord %%xmm18, %%xmm18, %%xmm18\n\tvpxord %%xmm19, %%xmm19, %%xmm19\n\t"
      "vpxord %%xmm20, %%xmm20, %%xmm20\n\tvpxord %%xmm21, %%xmm21, %%xmm21\n\t"
      "vpxord %%xmm22, %%xmm22, %%xmm22\n\tvpxord %%xmm23, %%xmm23, %%xmm23\n\t"
      "vpxord %%xmm24, %%xmm24, %%xmm24\n\tvpxord %%xmm25, %%xmm25, %%xmm25\n\t"
      "vpxord %%xmm26, %%xmm26, %%xmm26\n\tvpxord %%xmm27, %%xmm27, %%xmm27\n\t"
      "vpxord %%xmm28, %%xmm28, %%xmm28\n\tvpxord %%xmm29, %%xmm29, %%xmm29\n\t"
      "vpxord %%xmm30, %%xmm30, %%xmm30\n\tvpxord %%xmm31, %%xmm31, %%xmm31\n\t"
      "kxorq %%k0, %%k0, %%k0\n\tkxorq %%k1, %%k1, %%k1\n\t"
      "kxorq %%k2, %%k2, %%k2\n\tkxorq %%k3, %%k3, %%k3\n\t"
      "kxorq %%k4, %%k4, %%k4\n\tkxorq %%k5, %%k5, %%k5\n\t"
      "kxorq %%k6, %%k6, %%k6\n\tkxorq %%k7, %%k7, %%k7" ::
          : "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24",
            "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31", "k0", "k1", "k2", "k3",
            "k4", "k5", "k6", "k7");
}
#endif

void clear_vector_registers() noexcept {
#if VESTREL_MLDSA65_AVX512
  _mm256_zeroall();
  clear_evex_registers();
#elif defined(__x86_64__)
  // What this CPU has, read once: the dispatch's own reading of CPUID.
  static const std::uint32_t features = cpu_features();
#if VESTREL_MLDSA65_AVX2
  _mm256_zeroall();
#else
  if (features & kOsSavesYmm) {
    asm volatile("vzeroall" ::
                     : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
                       "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
  } else {
    asm volatile(
        "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\t"
        "pxor %%xmm2, %%xmm2\n\tpxor %%xmm3, %%xmm3\n\t"
        "pxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
        "pxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\t"
        "pxor %%xmm8, %%xmm8\n\tpxor %%xmm9, %%xmm9\n\t"
        "pxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
        "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\t"
        "pxor %%xmm14, %%xmm14\n\tpxor %%xmm15, %%xmm15" ::
            : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
              "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
  }
#endif
  if ((features & (kCpuAvx512f | kCpuAvx512bw | kOsSavesZmm)) ==
      (kCpuAvx512f | kCpuAvx512bw | kOsSavesZmm)) {
    clear_evex_registers();
  }
#endif
}

void keygen_entry(SeedView xi, ExpandedKey& sk, PublicKey pk) noexcept {
  keygen_internal(xi, sk, pk);
  wipe_stack_below<kKeygenStackBytes>();
  clear_vector_registers();
}

bool sign_entry(const ExpandedKey& sk, ByteView context, ByteView msg, Signature sig) noexcept {
  const bool ok = sign_internal(sk, context, msg, sig);
  wipe_stack_below<kSignStackBytes>();
  clear_vector_registers();
  return ok;
}

// The parentheses keep argument-dependent lookup from offering the adapter's
// functions of the same names.
void encode_secret_key_entry(const ExpandedKey& sk, EncodedSecretKey out) noexcept {
  (encode_secret_key)(sk, out);
  clear_vector_registers();
}

void load_secret_key_entry(EncodedSecretKeyView encoded, ExpandedKey& sk) noexcept {
  (load_secret_key)(encoded, sk);
  clear_vector_registers();
}

// --- The empty context, which every credential signature uses ------------------------

bool sign_entry(const ExpandedKey& sk, ByteView msg, Signature sig) noexcept {
  return sign_entry(sk, ByteView(), msg, sig);
}

// The parentheses keep argument-dependent lookup from offering the adapter's
// function of the same name.
VerifyOutcome verify(PublicKeyView pk, ByteView msg, SignatureView sig) noexcept {
  return (verify)(pk, ByteView(), msg, sig);
}

}  // namespace

#define VESTREL_STRINGIFY2(x) #x
#define VESTREL_STRINGIFY(x) VESTREL_STRINGIFY2(x)

#if VESTREL_MLDSA65_AVX2
// One copy of the permutation serves every sampler (keccak_x4.h says why it
// is not unrolled further); it is also what the test and the benchmark call.
void keccak_f1600_x4(std::uint64_t* lanes) noexcept { keccak_f1600_x4_inline(lanes); }
#endif
#if VESTREL_MLDSA65_AVX512
void keccak_f1600_x8(std::uint64_t* lanes) noexcept { keccak_f1600_x8_inline(lanes); }
#endif

namespace {
void ntt_entry(std::int32_t* a) noexcept { ntt(*reinterpret_cast<poly*>(a)); }
void invntt_entry(std::int32_t* a) noexcept { invntt(*reinterpret_cast<poly*>(a)); }
void pointwise_entry(std::int32_t* c, const std::int32_t* a, const std::int32_t* b) noexcept {
  pointwise(*reinterpret_cast<poly*>(c), *reinterpret_cast<const poly*>(a),
            *reinterpret_cast<const poly*>(b));
}
}  // namespace

extern const PolyArithmetic kPolyArithmetic = {
    .ntt = ntt_entry,
    .invntt_tomont = invntt_entry,
    .pointwise = pointwise_entry,
};

extern const Backend kBackend = {
    .name = VESTREL_STRINGIFY(VESTREL_MLDSA65_ISA),
    .keygen = keygen_entry,
    .sign = sign_entry,
    .verify = verify,
    .encode_secret_key = encode_secret_key_entry,
    .load_secret_key = load_secret_key_entry,
    .sign_in_context = sign_entry,
    .verify_in_context = verify,
    .prepare = prepare,
    .verify_prepared = verify_prepared,
};

}  // namespace vestrel::mldsa65::VESTREL_MLDSA65_ISA

#if VESTREL_MLDSA65_AVX2 || VESTREL_MLDSA65_AVX512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
