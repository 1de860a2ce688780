// The FIPS 204 skEncode form of an ML-DSA-65 private key (4032 bytes).
//
// The system never stores, exports or accepts a private key in this form: its
// keys exist only expanded inside an identity, derived from a seed. Published
// conformance material gives some keys only this way, so the conformance tests
// need a way from it to an ExpandedKey and back. Nothing else uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "mldsa65.h"

namespace vestrel::mldsa65 {

inline constexpr std::size_t kEncodedSecretKeyBytes = 4032;

using EncodedSecretKey = std::span<std::uint8_t, kEncodedSecretKeyBytes>;
using EncodedSecretKeyView = std::span<const std::uint8_t, kEncodedSecretKeyBytes>;

// skEncode(rho, K, tr, s1, s2, t0).
void encode_secret_key(const ExpandedKey& sk, EncodedSecretKey out) noexcept;

// skDecode followed by the same expansion keygen performs (NTT images, A-hat).
// Like skDecode it trusts its input: coefficients are not range-checked.
void load_secret_key(EncodedSecretKeyView encoded, ExpandedKey& sk) noexcept;

}  // namespace vestrel::mldsa65
