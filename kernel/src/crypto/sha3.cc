#include "sha3.h"

#include <algorithm>
#include <array>

#include "secure.h"

namespace vestrel::sha3 {

Sha3_512::~Sha3_512() { secure_wipe(&sponge_, sizeof sponge_); }

void Sha3_512::absorb(ByteView data) noexcept {
  if (!data.empty()) sponge_.absorb(data.data(), data.size());
}

void Sha3_512::finish(Digest out) noexcept {
  sponge_.finalize();
  sponge_.squeeze(out.data(), out.size());
}

HmacSha3_512::HmacSha3_512(ByteView key) noexcept {
  // The key's length is public (only its bytes are secret), so choosing the
  // long-key path by it leaks nothing.
  SecretBytes<kBlockBytes> padded;  // K0, then K0 ^ ipad, then K0 ^ opad
  if (key.size() > kBlockBytes) {
    Sha3_512 h;
    h.absorb(key);
    h.finish(padded.span().first<kDigestBytes>());
  } else if (!key.empty()) {
    std::copy(key.begin(), key.end(), padded.data());
  }
  for (std::uint8_t& b : padded.span()) b ^= 0x36;
  inner_keyed_.absorb(padded.span());
  for (std::uint8_t& b : padded.span()) b ^= 0x36 ^ 0x5C;
  outer_keyed_.absorb(padded.span());
  running_.restart_from(inner_keyed_);
}

void HmacSha3_512::absorb(ByteView data) noexcept { running_.absorb(data); }

void HmacSha3_512::finish(Digest out) noexcept {
  SecretBytes<kDigestBytes> inner;
  running_.finish(inner.span());
  running_.restart_from(outer_keyed_);
  running_.absorb(inner.span());
  running_.finish(out);
  running_.restart_from(inner_keyed_);
}

void sha3_256(ByteView data, std::span<std::uint8_t, kSha3_256DigestBytes> out) noexcept {
  // SHA3-256's rate is SHAKE256's: 1600 bits less twice the 256-bit digest.
  keccak::Sponge<keccak::kShake256Rate, keccak::kSha3Domain> sponge;
  sponge.init();
  if (!data.empty()) sponge.absorb(data.data(), data.size());
  sponge.finalize();
  sponge.squeeze(out.data(), out.size());
}

}  // namespace vestrel::sha3
