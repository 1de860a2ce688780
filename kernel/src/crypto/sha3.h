// SHA3-512, HMAC-SHA3-512 and SHA3-256 over the module's own Keccak (keccak.h). Both keep
// their whole state by value, never allocate and cannot fail. Their states may
// hold secrets (a MAC key, key material being hashed), so every one is wiped
// when it dies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "keccak.h"
#include "status.h"

namespace vestrel::sha3 {

using crypto::ByteView;

inline constexpr std::size_t kDigestBytes = 64;
inline constexpr std::size_t kBlockBytes = keccak::kSha3_512Rate;  // 72
using Digest = std::span<std::uint8_t, kDigestBytes>;

// Incremental SHA3-512. Not copyable: a copy of an absorbed secret would
// escape the wipe; HMAC's keyed restarts go through restart_from instead.
class Sha3_512 {
 public:
  Sha3_512() noexcept { reset(); }
  Sha3_512(const Sha3_512&) = delete;
  Sha3_512& operator=(const Sha3_512&) = delete;
  ~Sha3_512();

  void reset() noexcept { sponge_.init(); }
  // Continues from exactly where `other` stands.
  void restart_from(const Sha3_512& other) noexcept { sponge_ = other.sponge_; }
  void absorb(ByteView data) noexcept;
  // Writes the digest; reset or restart_from before absorbing again.
  void finish(Digest out) noexcept;

 private:
  keccak::Sha3_512Sponge sponge_;
};

// HMAC-SHA3-512: H((K0 ^ opad) || H((K0 ^ ipad) || message)), K0 the key
// padded with zeros to the 72-byte block (hashed first if longer). Both keyed
// states are computed once, so every further message under the same key costs
// only its own blocks: HKDF's expand computes up to 255 MACs under one key.
class HmacSha3_512 {
 public:
  explicit HmacSha3_512(ByteView key) noexcept;

  void absorb(ByteView data) noexcept;
  // Writes the MAC of everything absorbed since the last finish, then starts
  // the next message under the same key.
  void finish(Digest out) noexcept;

 private:
  Sha3_512 inner_keyed_;
  Sha3_512 outer_keyed_;
  Sha3_512 running_;
};

// SHA3-256 of one whole message, for identifiers of public values (a
// credential's signature, a public key); the state is not wiped.
inline constexpr std::size_t kSha3_256DigestBytes = 32;
void sha3_256(ByteView data, std::span<std::uint8_t, kSha3_256DigestBytes> out) noexcept;

}  // namespace vestrel::sha3
