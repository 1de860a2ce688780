// HMAC-SHA3-512 from libcrypto, and HKDF built on it by hand: libcrypto's
// own HKDF caps the info at 32 KiB, while labels here may be any size.
#include "hkdf.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "secure.h"

namespace vestrel::hkdf {

namespace {

struct MacDeleter {
  void operator()(EVP_MAC* mac) const noexcept { EVP_MAC_free(mac); }
};
struct MacCtxDeleter {
  // Also cleanses the keyed inner and outer states.
  void operator()(EVP_MAC_CTX* ctx) const noexcept { EVP_MAC_CTX_free(ctx); }
};
using MacPtr = std::unique_ptr<EVP_MAC, MacDeleter>;
using MacCtxPtr = std::unique_ptr<EVP_MAC_CTX, MacCtxDeleter>;

using Block = std::span<std::uint8_t, kHashLen>;

// One HMAC-SHA3-512 context, re-keyed for every computation. Every step
// reports whether libcrypto accepted it; a failure anywhere fails the whole
// derivation.
class HmacSha3_512 {
 public:
  HmacSha3_512() noexcept
      : mac_(EVP_MAC_fetch(nullptr, "HMAC", nullptr)),
        ctx_(mac_ ? EVP_MAC_CTX_new(mac_.get()) : nullptr) {}

  [[nodiscard]] bool begin(ByteView key) noexcept {
    if (!ctx_) return false;
    char digest[] = "SHA3-512";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end(),
    };
    return EVP_MAC_init(ctx_.get(), key.data(), key.size(), params) == 1;
  }

  [[nodiscard]] bool absorb(ByteView data) noexcept {
    return data.empty() || EVP_MAC_update(ctx_.get(), data.data(), data.size()) == 1;
  }

  [[nodiscard]] bool finish(Block out) noexcept {
    std::size_t written = 0;
    return EVP_MAC_final(ctx_.get(), out.data(), &written, out.size()) == 1 && written == kHashLen;
  }

 private:
  MacPtr mac_;
  MacCtxPtr ctx_;
};

}  // namespace

KStatus extract(ByteView salt, ByteView ikm, std::span<std::uint8_t, kHashLen> prk) noexcept {
  // An absent salt means HashLen zero bytes. HMAC pads its key with zeros
  // anyway, so this is the same MAC, and libcrypto never sees an empty key.
  static constexpr std::array<std::uint8_t, kHashLen> kZeroSalt{};
  if (salt.empty()) salt = kZeroSalt;

  HmacSha3_512 hmac;
  if (!hmac.begin(salt) || !hmac.absorb(ikm) || !hmac.finish(prk)) {
    secure_wipe(prk.data(), prk.size());
    return fail(KernelError::HkdfExpandFailed);
  }
  return {};
}

KStatus expand(std::span<const std::uint8_t, kHashLen> prk, std::span<const ByteView> info_parts,
               std::span<std::uint8_t> out) noexcept {
  static constexpr std::size_t kMaxBlocks = 255;  // the counter is one byte
  if (out.size() > kMaxBlocks * kHashLen) return fail(KernelError::HkdfExpandFailed);

  // T(i) = HMAC(PRK, T(i-1) || info || i), T(0) empty; OKM = T(1) || T(2) ...
  HmacSha3_512 hmac;
  SecretBytes<kHashLen> block;
  ByteView previous;
  for (std::size_t done = 0, i = 1; done < out.size(); ++i) {
    const std::uint8_t counter[1] = {static_cast<std::uint8_t>(i)};
    bool ok = hmac.begin(prk) && hmac.absorb(previous);
    for (ByteView part : info_parts) ok = ok && hmac.absorb(part);
    ok = ok && hmac.absorb(counter) && hmac.finish(block.span());
    if (!ok) {
      secure_wipe(out.data(), out.size());
      return fail(KernelError::HkdfExpandFailed);
    }
    const std::size_t take = std::min(kHashLen, out.size() - done);
    std::copy_n(block.data(), take, out.data() + done);
    done += take;
    previous = block.span();
  }
  return {};
}

}  // namespace vestrel::hkdf
