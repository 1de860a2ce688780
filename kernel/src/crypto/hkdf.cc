#include "hkdf.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "secure.h"
#include "sha3.h"

namespace vestrel::hkdf {

void extract(ByteView salt, ByteView ikm, std::span<std::uint8_t, kHashLen> prk) noexcept {
  sha3::HmacSha3_512 hmac(salt);
  hmac.absorb(ikm);
  hmac.finish(prk);
}

crypto::Status expand(std::span<const std::uint8_t, kHashLen> prk,
                      std::span<const ByteView> info_parts, std::span<std::uint8_t> out) noexcept {
  if (out.size() > kMaxOutput) return crypto::Error::OutputTooLong;

  // T(i) = HMAC(PRK, T(i-1) || info || i), T(0) empty; OKM = T(1) || T(2) ...
  // The MAC keeps its PRK-keyed states and the block its T(i) only until they
  // go out of scope, which wipes both.
  sha3::HmacSha3_512 hmac(prk);
  SecretBytes<kHashLen> block;
  for (std::size_t done = 0, i = 1; done < out.size(); ++i) {
    if (i > 1) hmac.absorb(block.span());
    for (ByteView part : info_parts) hmac.absorb(part);
    const std::uint8_t counter[1] = {static_cast<std::uint8_t>(i)};
    hmac.absorb(counter);
    hmac.finish(block.span());
    const std::size_t take = std::min(kHashLen, out.size() - done);
    std::copy_n(block.data(), take, out.data() + done);
    done += take;
  }
  return {};
}

}  // namespace vestrel::hkdf
