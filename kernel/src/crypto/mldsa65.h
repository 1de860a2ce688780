// ML-DSA-65 (FIPS 204), pure mode, deterministic signing; the empty context
// unless one is given. This adapter is the only code that knows which
// implementation sits underneath.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "status.h"

namespace vestrel::mldsa65 {

using crypto::ByteView;

inline constexpr std::size_t kPublicKeyBytes = 1952;
inline constexpr std::size_t kSignatureBytes = 3309;
inline constexpr std::size_t kSeedBytes = 32;
// The context string's length travels in one byte of the signed message.
inline constexpr std::size_t kMaxContextBytes = 255;
inline constexpr std::size_t kN = 256;
inline constexpr std::size_t kK = 6;
inline constexpr std::size_t kL = 5;

// 256 coefficients in 32-bit integers, as the signing routine works on them.
struct alignas(32) Poly {
  std::int32_t coeffs[kN];
};

// The private key kept in the form signing works on, so that no signature ever
// repeats the expansion: seeds, the public-key hash, the secret vectors, their
// NTT images and the expanded matrix A-hat.
//
// Only signing needs the images of s2 and t0, and many keys never sign (an
// identity derived to hand out its public key), so key generation and loading
// leave them zero and the key's first signature makes them, once: they are a
// cache the key carries, hence mutable. `images_state` says whether they are
// there: 0 absent, 1 being made by a signer, 2 made. The backend reads and
// writes it atomically, so concurrent signers never read half-made images
// (mldsa65_backend.cc).
struct ExpandedKey {
  std::uint8_t rho[32];
  std::uint8_t key[32];
  std::uint8_t tr[64];
  Poly s1[kL];
  Poly s2[kK];
  Poly t0[kK];
  Poly s1_hat[kL];
  mutable Poly s2_hat[kK];
  mutable Poly t0_hat[kK];
  Poly a_hat[kK][kL];
  mutable std::uint32_t images_state;
};

using SeedView = std::span<const std::uint8_t, kSeedBytes>;
using PublicKey = std::span<std::uint8_t, kPublicKeyBytes>;
using PublicKeyView = std::span<const std::uint8_t, kPublicKeyBytes>;
using Signature = std::span<std::uint8_t, kSignatureBytes>;
using SignatureView = std::span<const std::uint8_t, kSignatureBytes>;

// ML-DSA.KeyGen_internal(xi): fills `sk` and the encoded public key `pk`.
void keygen(SeedView xi, ExpandedKey& sk, PublicKey pk) noexcept;

// Deterministic ML-DSA.Sign with an empty context: M' = 0x00 0x00 || msg,
// rnd = 32 zero bytes. GaveUp only if the rejection loop runs out of nonces.
[[nodiscard]] crypto::Status sign(const ExpandedKey& sk, ByteView msg, Signature sig) noexcept;

enum class VerifyOutcome : std::uint8_t {
  Valid,
  DoesNotDecode,  // malformed hint section, or |z|inf >= gamma1 - beta
  DoesNotVerify,  // decodes, but the commitment hash differs
};

// ML-DSA.Verify, pure mode, empty context.
[[nodiscard]] VerifyOutcome verify(PublicKeyView pk, ByteView msg, SignatureView sig) noexcept;

// The same under a context string: M' = 0x00 || |context| || context || msg.
// A signature made under one context never verifies under another, so one key
// can sign two kinds of message that cannot be taken for each other. A context
// longer than kMaxContextBytes is a caller's error: signing then refuses with
// ContextTooLong and verification gives DoesNotVerify.
[[nodiscard]] crypto::Status sign(const ExpandedKey& sk, ByteView context, ByteView msg,
                                  Signature sig) noexcept;
[[nodiscard]] VerifyOutcome verify(PublicKeyView pk, ByteView context, ByteView msg,
                                   SignatureView sig) noexcept;

struct Backend;

// A public key in the form verification works on: its hash tr, the expanded
// matrix A-hat and the NTT image of t1 * 2^d. Verifying against it gives the
// same outcome as against the encoded key and skips the half of the work
// that depends on the key alone, for a key that verifies many signatures (a
// holder signing every request it makes). The images are in the coefficient
// order of the backend that made them, which therefore also verifies
// against them: `made_by` names it. About 39 KB; nothing in it is secret.
struct PreparedPublicKey {
  std::uint8_t encoded[kPublicKeyBytes];
  std::uint8_t tr[64];
  Poly a_hat[kK][kL];
  Poly t1_hat[kK];
  const Backend* made_by;
};

void prepare(PublicKeyView pk, PreparedPublicKey& prepared) noexcept;

// verify(pk, context, msg, sig) for the key `prepared` was made from.
[[nodiscard]] VerifyOutcome verify(const PreparedPublicKey& prepared, ByteView context,
                                   ByteView msg, SignatureView sig) noexcept;

// Zeroes every secret part of the key (rho, K, tr, s1, s2, t0 and images).
void wipe(ExpandedKey& sk) noexcept;

}  // namespace vestrel::mldsa65
