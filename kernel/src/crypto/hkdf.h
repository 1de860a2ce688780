// HKDF (RFC 5869) over HMAC-SHA3-512. The info is taken in pieces, so callers
// never assemble it in memory and labels of any size are never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "status.h"

namespace vestrel::hkdf {

using crypto::ByteView;

inline constexpr std::size_t kHashLen = 64;
inline constexpr std::size_t kMaxOutput = 255 * kHashLen;  // the block counter is one byte

// PRK = HMAC(salt, ikm). An empty salt is HashLen zero bytes, which HMAC's
// zero padding makes the same key as no bytes at all.
void extract(ByteView salt, ByteView ikm, std::span<std::uint8_t, kHashLen> prk) noexcept;

// OKM = first out.size() bytes of T(1) || T(2) || ..., where the info is the
// concatenation of `info_parts`. OutputTooLong, with `out` untouched, when
// out.size() > kMaxOutput.
[[nodiscard]] crypto::Status expand(std::span<const std::uint8_t, kHashLen> prk,
                                    std::span<const ByteView> info_parts,
                                    std::span<std::uint8_t> out) noexcept;

}  // namespace vestrel::hkdf
