// ML-DSA-65 composed from PQClean's ml-dsa-65/clean building blocks. PQClean's
// own keypair and signing entry points draw the seed and rnd from a global
// randombytes hook and re-expand the key on every signature, so neither is
// used: key generation takes the caller's seed, and signing works from the
// expanded key kept in ExpandedKey.
#include "mldsa65.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "mldsa65_sk_encoding.h"
#include "secure.h"

// PQClean's headers define one-letter macros (N, K, L, Q, D), so they come
// after every other header.
extern "C" {
#include "fips202.h"
#include "packing.h"
#include "params.h"
#include "poly.h"
#include "polyvec.h"
}

namespace vestrel::mldsa65 {

namespace {

// --- Layout: our key parts are PQClean's vectors -----------------------------
//
// The key is handed to PQClean's routines in place rather than copied into its
// types, so no second copy of s1, s2 or t0 exists during signing. That needs
// Poly to be layout-identical to PQClean's poly, and Poly[L], Poly[K] and
// Poly[K][L] to polyvecl, polyveck and polyvecl[K].

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
static_assert(sizeof(ExpandedKey::tr) == TRBYTES);

// PQClean is compiled separately as C, so these views only ever meet its
// functions across the library boundary.
polyvecl* as_vecl(Poly (&v)[kL]) noexcept { return reinterpret_cast<polyvecl*>(v); }
const polyvecl* as_vecl(const Poly (&v)[kL]) noexcept {
  return reinterpret_cast<const polyvecl*>(v);
}
polyveck* as_veck(Poly (&v)[kK]) noexcept { return reinterpret_cast<polyveck*>(v); }
const polyveck* as_veck(const Poly (&v)[kK]) noexcept {
  return reinterpret_cast<const polyveck*>(v);
}
polyvecl* as_matrix(Poly (&a)[kK][kL]) noexcept { return reinterpret_cast<polyvecl*>(a); }
const polyvecl* as_matrix(const Poly (&a)[kK][kL]) noexcept {
  return reinterpret_cast<const polyvecl*>(a);
}

// --- Scratch that may hold secrets --------------------------------------------

// A working value wiped on every path out of the scope that owns it.
template <class T>
struct Scratch {
  static_assert(std::is_trivially_copyable_v<T>);
  Scratch() = default;
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() { secure_wipe(&v, sizeof v); }
  T v;
};

// SHAKE256 whose sponge state is wiped before PQClean frees it. PQClean keeps
// the state on the heap and frees it as is; for inputs such as xi or K that
// would leave the absorbed secret in freed memory.
class Shake256 {
 public:
  Shake256() noexcept { shake256_inc_init(&state_); }
  Shake256(const Shake256&) = delete;
  Shake256& operator=(const Shake256&) = delete;
  ~Shake256() {
    secure_wipe(state_.ctx, PQC_SHAKEINCCTX_BYTES);
    shake256_inc_ctx_release(&state_);
  }

  Shake256& absorb(const std::uint8_t* p, std::size_t n) noexcept {
    shake256_inc_absorb(&state_, p, n);
    return *this;
  }
  Shake256& absorb(ByteView bytes) noexcept { return absorb(bytes.data(), bytes.size()); }

  void squeeze(std::uint8_t* out, std::size_t n) noexcept {
    shake256_inc_finalize(&state_);
    shake256_inc_squeeze(out, n, &state_);
  }

 private:
  shake256incctx state_;
};

// --- Expansion shared by keygen and load_secret_key ----------------------------

template <std::size_t M>
void ntt_image(Poly (&image)[M], const Poly (&plain)[M]) noexcept {
  std::memcpy(image, plain, sizeof image);
  for (Poly& p : image) PQCLEAN_MLDSA65_CLEAN_poly_ntt(reinterpret_cast<poly*>(&p));
}

// ExpandMask: y[r] = the first 640 bytes of SHAKE256(rho'' || IntegerToBytes(
// kappa + r, 2)), unpacked as 20-bit z-form coefficients. PQClean's sampler
// would free the rho''-keyed sponge without wiping it, hence this copy of it.
void expand_mask(polyvecl& y, const std::uint8_t (&rho_pp)[CRHBYTES],
                 std::uint16_t kappa) noexcept {
  Scratch<std::uint8_t[POLYZ_PACKEDBYTES]> buf;
  for (unsigned r = 0; r < L; ++r) {
    const auto nonce = static_cast<std::uint16_t>(kappa + r);
    const std::uint8_t nonce_le[2] = {static_cast<std::uint8_t>(nonce),
                                      static_cast<std::uint8_t>(nonce >> 8)};
    Shake256().absorb(rho_pp, CRHBYTES).absorb(nonce_le, 2).squeeze(buf.v, sizeof buf.v);
    PQCLEAN_MLDSA65_CLEAN_polyz_unpack(&y.vec[r], buf.v);
  }
}

// kappa is encoded in two bytes and grows by L per attempt; the last attempt
// whose nonces all fit is the limit. An honest key needs about five attempts,
// so reaching it means the primitive has given up.
constexpr unsigned kMaxKappa = 0xFFFF - (L - 1);

// mu = SHAKE256(tr || M', 64) with M' = 0x00 (pure mode) || 0x00 (empty
// context) || msg.
void message_representative(const std::uint8_t (&tr)[TRBYTES], ByteView msg,
                            std::uint8_t (&mu)[CRHBYTES]) noexcept {
  static constexpr std::uint8_t kPureEmptyContext[2] = {0x00, 0x00};
  Shake256().absorb(tr, TRBYTES).absorb(kPureEmptyContext, 2).absorb(msg).squeeze(mu, CRHBYTES);
}

// c~ = SHAKE256(mu || w1Encode(w1), 48).
void commitment_hash(const std::uint8_t (&mu)[CRHBYTES], const polyveck& w1,
                     std::uint8_t (&c_tilde)[CTILDEBYTES]) noexcept {
  Scratch<std::uint8_t[K * POLYW1_PACKEDBYTES]> packed;
  PQCLEAN_MLDSA65_CLEAN_polyveck_pack_w1(packed.v, &w1);
  Shake256().absorb(mu, CRHBYTES).absorb(packed.v, sizeof packed.v).squeeze(c_tilde, CTILDEBYTES);
}

}  // namespace

// --- Key generation -------------------------------------------------------------

void keygen(SeedView xi, ExpandedKey& sk, PublicKey pk) noexcept {
  // SHAKE256(xi || k || l) -> rho (32) | rho' (64) | K (32). The k and l bytes
  // bind the key to the parameter set.
  Scratch<std::uint8_t[SEEDBYTES + CRHBYTES + SEEDBYTES]> seeds;
  const std::uint8_t params[2] = {K, L};
  Shake256().absorb(xi).absorb(params, 2).squeeze(seeds.v, sizeof seeds.v);
  const std::uint8_t* rho_prime = seeds.v + SEEDBYTES;
  std::memcpy(sk.rho, seeds.v, SEEDBYTES);
  std::memcpy(sk.key, seeds.v + SEEDBYTES + CRHBYTES, SEEDBYTES);

  PQCLEAN_MLDSA65_CLEAN_polyvec_matrix_expand(as_matrix(sk.a_hat), sk.rho);
  PQCLEAN_MLDSA65_CLEAN_polyvecl_uniform_eta(as_vecl(sk.s1), rho_prime, 0);
  PQCLEAN_MLDSA65_CLEAN_polyveck_uniform_eta(as_veck(sk.s2), rho_prime, L);
  ntt_image(sk.s1_hat, sk.s1);
  ntt_image(sk.s2_hat, sk.s2);

  // t = NTT^-1(A-hat * NTT(s1)) + s2, then (t1, t0) = Power2Round(t).
  Scratch<polyveck> t;
  PQCLEAN_MLDSA65_CLEAN_polyvec_matrix_pointwise_montgomery(&t.v, as_matrix(sk.a_hat),
                                                            as_vecl(sk.s1_hat));
  PQCLEAN_MLDSA65_CLEAN_polyveck_reduce(&t.v);
  PQCLEAN_MLDSA65_CLEAN_polyveck_invntt_tomont(&t.v);
  PQCLEAN_MLDSA65_CLEAN_polyveck_add(&t.v, &t.v, as_veck(sk.s2));
  PQCLEAN_MLDSA65_CLEAN_polyveck_caddq(&t.v);
  polyveck t1;
  PQCLEAN_MLDSA65_CLEAN_polyveck_power2round(&t1, as_veck(sk.t0), &t.v);
  ntt_image(sk.t0_hat, sk.t0);

  PQCLEAN_MLDSA65_CLEAN_pack_pk(pk.data(), sk.rho, &t1);
  shake256(sk.tr, TRBYTES, pk.data(), kPublicKeyBytes);
}

// --- Signing --------------------------------------------------------------------

KStatus sign(const ExpandedKey& sk, ByteView msg, Signature sig) noexcept {
  std::uint8_t mu[CRHBYTES];
  message_representative(sk.tr, msg, mu);

  // rho'' = SHAKE256(K || rnd || mu, 64) with rnd all zero: the deterministic
  // variant, so the same key and message always give the same signature.
  Scratch<std::uint8_t[CRHBYTES]> rho_pp;
  static constexpr std::uint8_t kZeroRnd[RNDBYTES] = {};
  Shake256()
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

  for (unsigned kappa = 0; kappa <= kMaxKappa; kappa += L) {
    expand_mask(y.v, rho_pp.v, static_cast<std::uint16_t>(kappa));

    // w = NTT^-1(A-hat * NTT(y)); (w1, w0) = Decompose(w).
    z.v = y.v;
    PQCLEAN_MLDSA65_CLEAN_polyvecl_ntt(&z.v);
    PQCLEAN_MLDSA65_CLEAN_polyvec_matrix_pointwise_montgomery(&w1.v, a_hat, &z.v);
    PQCLEAN_MLDSA65_CLEAN_polyveck_reduce(&w1.v);
    PQCLEAN_MLDSA65_CLEAN_polyveck_invntt_tomont(&w1.v);
    PQCLEAN_MLDSA65_CLEAN_polyveck_caddq(&w1.v);
    PQCLEAN_MLDSA65_CLEAN_polyveck_decompose(&w1.v, &w0.v, &w1.v);

    commitment_hash(mu, w1.v, c_tilde.v);
    PQCLEAN_MLDSA65_CLEAN_poly_challenge(&c.v, c_tilde.v);
    PQCLEAN_MLDSA65_CLEAN_poly_ntt(&c.v);

    // z = y + c*s1; rejecting a large z keeps it independent of s1.
    PQCLEAN_MLDSA65_CLEAN_polyvecl_pointwise_poly_montgomery(&z.v, &c.v, as_vecl(sk.s1_hat));
    PQCLEAN_MLDSA65_CLEAN_polyvecl_invntt_tomont(&z.v);
    PQCLEAN_MLDSA65_CLEAN_polyvecl_add(&z.v, &z.v, &y.v);
    PQCLEAN_MLDSA65_CLEAN_polyvecl_reduce(&z.v);
    if (PQCLEAN_MLDSA65_CLEAN_polyvecl_chknorm(&z.v, GAMMA1 - BETA)) continue;

    // r0 = LowBits(w - c*s2) must stay clear of the rounding boundary, or
    // subtracting c*s2 could have changed w1 and the verifier would disagree.
    PQCLEAN_MLDSA65_CLEAN_polyveck_pointwise_poly_montgomery(&h.v, &c.v, as_veck(sk.s2_hat));
    PQCLEAN_MLDSA65_CLEAN_polyveck_invntt_tomont(&h.v);
    PQCLEAN_MLDSA65_CLEAN_polyveck_sub(&w0.v, &w0.v, &h.v);
    PQCLEAN_MLDSA65_CLEAN_polyveck_reduce(&w0.v);
    if (PQCLEAN_MLDSA65_CLEAN_polyveck_chknorm(&w0.v, GAMMA2 - BETA)) continue;

    // Hints that let the verifier, who lacks t0, recover w1 from w - c*t0.
    PQCLEAN_MLDSA65_CLEAN_polyveck_pointwise_poly_montgomery(&h.v, &c.v, as_veck(sk.t0_hat));
    PQCLEAN_MLDSA65_CLEAN_polyveck_invntt_tomont(&h.v);
    PQCLEAN_MLDSA65_CLEAN_polyveck_reduce(&h.v);
    if (PQCLEAN_MLDSA65_CLEAN_polyveck_chknorm(&h.v, GAMMA2)) continue;
    PQCLEAN_MLDSA65_CLEAN_polyveck_add(&w0.v, &w0.v, &h.v);
    if (PQCLEAN_MLDSA65_CLEAN_polyveck_make_hint(&h.v, &w0.v, &w1.v) > OMEGA) continue;

    PQCLEAN_MLDSA65_CLEAN_pack_sig(sig.data(), c_tilde.v, &z.v, &h.v);
    return {};
  }
  return fail(KernelError::SigningFailed);
}

// --- Verification ----------------------------------------------------------------

VerifyOutcome verify(PublicKeyView pk, ByteView msg, SignatureView sig) noexcept {
  std::uint8_t c_tilde[CTILDEBYTES];
  polyvecl z;
  polyveck h;
  // sigDecode refuses a hint section whose counts decrease or pass omega, whose
  // positions do not rise within a polynomial, or whose unused positions are
  // not zero: each would give one signature several encodings.
  if (PQCLEAN_MLDSA65_CLEAN_unpack_sig(c_tilde, &z, &h, sig.data()) != 0) {
    return VerifyOutcome::DoesNotDecode;
  }
  if (PQCLEAN_MLDSA65_CLEAN_polyvecl_chknorm(&z, GAMMA1 - BETA) != 0) {
    return VerifyOutcome::DoesNotDecode;
  }

  std::uint8_t rho[SEEDBYTES];
  polyveck t1;
  PQCLEAN_MLDSA65_CLEAN_unpack_pk(rho, &t1, pk.data());
  std::uint8_t tr[TRBYTES];
  shake256(tr, TRBYTES, pk.data(), kPublicKeyBytes);
  std::uint8_t mu[CRHBYTES];
  message_representative(tr, msg, mu);

  // w1' = UseHint(h, A*z - c*t1*2^d), all products taken in the NTT domain.
  poly c;
  PQCLEAN_MLDSA65_CLEAN_poly_challenge(&c, c_tilde);
  PQCLEAN_MLDSA65_CLEAN_poly_ntt(&c);
  polyvecl a_hat[K];
  PQCLEAN_MLDSA65_CLEAN_polyvec_matrix_expand(a_hat, rho);
  PQCLEAN_MLDSA65_CLEAN_polyvecl_ntt(&z);
  polyveck w1;
  PQCLEAN_MLDSA65_CLEAN_polyvec_matrix_pointwise_montgomery(&w1, a_hat, &z);
  PQCLEAN_MLDSA65_CLEAN_polyveck_shiftl(&t1);
  PQCLEAN_MLDSA65_CLEAN_polyveck_ntt(&t1);
  PQCLEAN_MLDSA65_CLEAN_polyveck_pointwise_poly_montgomery(&t1, &c, &t1);
  PQCLEAN_MLDSA65_CLEAN_polyveck_sub(&w1, &w1, &t1);
  PQCLEAN_MLDSA65_CLEAN_polyveck_reduce(&w1);
  PQCLEAN_MLDSA65_CLEAN_polyveck_invntt_tomont(&w1);
  PQCLEAN_MLDSA65_CLEAN_polyveck_caddq(&w1);
  PQCLEAN_MLDSA65_CLEAN_polyveck_use_hint(&w1, &w1, &h);

  std::uint8_t expected[CTILDEBYTES];
  commitment_hash(mu, w1, expected);
  return std::memcmp(expected, c_tilde, CTILDEBYTES) == 0 ? VerifyOutcome::Valid
                                                          : VerifyOutcome::DoesNotVerify;
}

void wipe(ExpandedKey& sk) noexcept { secure_wipe(&sk, sizeof sk); }

// --- The skEncode form, for conformance material only -----------------------------

void encode_secret_key(const ExpandedKey& sk, EncodedSecretKey out) noexcept {
  PQCLEAN_MLDSA65_CLEAN_pack_sk(out.data(), sk.rho, sk.tr, sk.key, as_veck(sk.t0), as_vecl(sk.s1),
                                as_veck(sk.s2));
}

void load_secret_key(EncodedSecretKeyView encoded, ExpandedKey& sk) noexcept {
  PQCLEAN_MLDSA65_CLEAN_unpack_sk(sk.rho, sk.tr, sk.key, as_veck(sk.t0), as_vecl(sk.s1),
                                  as_veck(sk.s2), encoded.data());
  PQCLEAN_MLDSA65_CLEAN_polyvec_matrix_expand(as_matrix(sk.a_hat), sk.rho);
  ntt_image(sk.s1_hat, sk.s1);
  ntt_image(sk.s2_hat, sk.s2);
  ntt_image(sk.t0_hat, sk.t0);
}

}  // namespace vestrel::mldsa65
