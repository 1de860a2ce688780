// HKDF (RFC 5869) over HMAC-SHA3-512. Extract and expand are composed here from
// a plain HMAC because the library's own HKDF refuses long info strings, and
// deployment and context labels may be any size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "bytes.h"
#include "errors.h"

namespace vestrel::hkdf {

inline constexpr std::size_t kHashLen = 64;

// PRK = HMAC(salt, ikm).
[[nodiscard]] KStatus extract(ByteView salt, ByteView ikm,
                              std::span<std::uint8_t, kHashLen> prk) noexcept;

// OKM = first out.size() bytes of T(1) || T(2) || ..., where the info is the
// concatenation of `info_parts` (so callers need not assemble it in memory).
// HkdfExpandFailed when out.size() > 255 * 64.
[[nodiscard]] KStatus expand(std::span<const std::uint8_t, kHashLen> prk,
                             std::span<const ByteView> info_parts,
                             std::span<std::uint8_t> out) noexcept;

}  // namespace vestrel::hkdf
