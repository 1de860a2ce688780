// SHA3-512, HMAC-SHA3-512 and HKDF against OpenSSL's, which shares no code
// with ours. Only this test binary links OpenSSL; the module does not.
//
// Lengths cluster around SHA3-512's 72-byte block (where padding, key hashing
// and buffering change paths), inputs are fed in random pieces, and the HKDF
// output runs up to its 255-block maximum.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "crypto/hkdf.h"
#include "crypto/sha3.h"

namespace vestrel {
namespace {

using Bytes = std::vector<std::uint8_t>;
using crypto::ByteView;

// Around one, two and three blocks, a long key that must be hashed first, and
// sizes well past anything a label needs.
constexpr std::size_t kBoundaryLengths[] = {0,   1,   63,  64,   65,   71,   72,
                                            73,  135, 136, 137,  143,  144,  145,
                                            215, 216, 217, 1000, 4095, 4096, 65537};
constexpr std::size_t kMiB = std::size_t{1} << 20;

class Oracle : public ::testing::Test {
 protected:
  std::mt19937_64 rng_{20261208};

  Bytes random_bytes(std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng_());
    return b;
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }
  std::size_t boundary_length() { return kBoundaryLengths[below(std::size(kBoundaryLengths))]; }

  // `data` cut at random places, empty pieces included: mostly short pieces,
  // which straddle block edges, and now and then a long one, which takes the
  // whole-block path.
  std::vector<ByteView> pieces(ByteView data) {
    std::vector<ByteView> out{data.first(0)};
    while (!data.empty()) {
      const std::size_t n = std::min(data.size(), below(below(8) == 0 ? 5001 : 101));
      out.push_back(data.first(n));
      data = data.subspan(n);
    }
    return out;
  }
};

// OpenSSL takes a null pointer as "no key given" even with a zero length; an
// empty input must point somewhere.
const std::uint8_t* nonnull(const Bytes& b) {
  static const std::uint8_t kNothing = 0;
  return b.empty() ? &kNothing : b.data();
}

Bytes openssl_sha3(const Bytes& data) {
  Bytes out(64);
  unsigned len = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha3_512(), nullptr), 1);
  return out;
}

Bytes openssl_hmac(const Bytes& key, const Bytes& data) {
  Bytes out(64);
  std::size_t len = 0;
  EXPECT_NE(EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA3-512", nullptr, nonnull(key), key.size(),
                      nonnull(data), data.size(), out.data(), out.size(), &len),
            nullptr);
  return out;
}

// OpenSSL's own HKDF (it bounds the info, so only short infos go this way).
Bytes openssl_hkdf(const Bytes& salt, const Bytes& ikm, const Bytes& info, std::size_t n) {
  Bytes out(n);
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
  char digest[] = "SHA3-512";
  auto octets = [](const char* name, const Bytes& b) {
    return OSSL_PARAM_construct_octet_string(name, const_cast<std::uint8_t*>(nonnull(b)), b.size());
  };
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
                               octets(OSSL_KDF_PARAM_KEY, ikm), octets(OSSL_KDF_PARAM_SALT, salt),
                               octets(OSSL_KDF_PARAM_INFO, info), OSSL_PARAM_construct_end()};
  EXPECT_EQ(EVP_KDF_derive(ctx, out.data(), out.size(), params), 1);
  EVP_KDF_CTX_free(ctx);
  EVP_KDF_free(kdf);
  return out;
}

// HKDF composed from OpenSSL's HMAC, for infos past OpenSSL's HKDF bound.
Bytes openssl_hkdf_by_hand(const Bytes& salt, const Bytes& ikm, const Bytes& info, std::size_t n) {
  const Bytes prk = openssl_hmac(salt, ikm);
  Bytes out, t;
  for (std::uint8_t i = 1; out.size() < n; ++i) {
    Bytes msg = t;
    msg.insert(msg.end(), info.begin(), info.end());
    msg.push_back(i);
    t = openssl_hmac(prk, msg);
    out.insert(out.end(), t.begin(), t.end());
  }
  out.resize(n);
  return out;
}

TEST_F(Oracle, Sha3_512OnEveryLengthToFourBlocksAndLongInputsInPieces) {
  std::vector<std::size_t> lengths(300);
  for (std::size_t i = 0; i < lengths.size(); ++i) lengths[i] = i;
  lengths.insert(lengths.end(), {65537, kMiB});
  for (std::size_t len : lengths) {
    SCOPED_TRACE("length " + std::to_string(len));
    const Bytes data = random_bytes(len);
    sha3::Sha3_512 h;
    for (ByteView piece : pieces(data)) h.absorb(piece);
    Bytes ours(64);
    h.finish(sha3::Digest(ours.data(), 64));
    ASSERT_EQ(ours, openssl_sha3(data));
  }
}

TEST_F(Oracle, HmacOnBoundaryKeyAndMessageLengthsReusingTheKey) {
  std::vector<std::size_t> messages(std::begin(kBoundaryLengths), std::end(kBoundaryLengths));
  messages.push_back(kMiB);
  for (std::size_t key_len : kBoundaryLengths) {
    const Bytes key = random_bytes(key_len);
    // One keyed object for every message: finish must restart cleanly.
    sha3::HmacSha3_512 mac(key);
    for (std::size_t msg_len : messages) {
      SCOPED_TRACE("key " + std::to_string(key_len) + ", message " + std::to_string(msg_len));
      const Bytes msg = random_bytes(msg_len);
      for (ByteView piece : pieces(msg)) mac.absorb(piece);
      Bytes ours(64);
      mac.finish(sha3::Digest(ours.data(), 64));
      ASSERT_EQ(ours, openssl_hmac(key, msg));
    }
  }
}

TEST_F(Oracle, HkdfOnRandomCasesUpToTheMaximumOutput) {
  constexpr std::size_t kCases = 3000;
  constexpr std::size_t kOutputEdges[] = {
      0, 1, 63, 64, 65, 128, 129, hkdf::kMaxOutput - 1, hkdf::kMaxOutput};
  for (std::size_t c = 0; c < kCases; ++c) {
    const Bytes salt = random_bytes(boundary_length());
    const Bytes ikm = random_bytes(boundary_length());
    // A mebibyte of info now and then. Every block re-reads the info, so the
    // long ones keep the output to three blocks; short ones run to the maximum.
    const bool huge = c % 500 == 7;
    const Bytes info = random_bytes(huge ? kMiB : boundary_length());
    std::size_t n = below(2) == 0 ? kOutputEdges[below(std::size(kOutputEdges))]
                                  : below(hkdf::kMaxOutput + 1);
    if (info.size() > 256) n = std::min<std::size_t>(n, 130);
    SCOPED_TRACE("case " + std::to_string(c) + ": salt " + std::to_string(salt.size()) + ", ikm " +
                 std::to_string(ikm.size()) + ", info " + std::to_string(info.size()) +
                 ", output " + std::to_string(n));

    std::array<std::uint8_t, hkdf::kHashLen> prk;
    hkdf::extract(salt, ikm, prk);
    ASSERT_EQ(Bytes(prk.begin(), prk.end()), openssl_hmac(salt, ikm));
    Bytes ours(n);
    const std::vector<ByteView> info_parts = pieces(info);
    ASSERT_TRUE(hkdf::expand(prk, info_parts, ours));
    if (n == 0) continue;  // OpenSSL refuses to derive nothing
    ASSERT_EQ(ours, info.size() <= 1024 ? openssl_hkdf(salt, ikm, info, n)
                                        : openssl_hkdf_by_hand(salt, ikm, info, n));
  }
}

}  // namespace
}  // namespace vestrel
