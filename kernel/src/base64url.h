// base64url without padding (the URL- and filename-safe alphabet), strict:
// only the canonical text of some byte string decodes, so one value has one
// text. On x86-64 CPUs with AVX2 both directions run 24 bytes a step; the
// results are the same bytes either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "bytes.h"
#include "result.h"

namespace vestrel {

// Why a text was not accepted: each a distinct, stable name (token.h adds
// the refusals of the formats built on this text).
enum class TextRefusal : std::uint8_t {
  Prefix,         // does not start with the format's marker and version
  TooLong,        // longer than the largest possible value
  Character,      // a byte outside A-Z a-z 0-9 - _ (padding and whitespace included)
  Length,         // a length no base64url text can have (4k + 1)
  FinalBits,      // the last character carries bits that are not zero
  Truncated,      // the value ends inside a field
  Count,          // a count out of range
  PayloadLength,  // a payload too short to hold a child key, or over the maximum
  Trailing,       // bytes after the last field
  UnknownRoot,    // the key id names no root given
  Flags,          // a flag the format does not define is set
};
[[nodiscard]] std::string_view text_refusal_name(TextRefusal refusal) noexcept;

template <class T>
using TextResult = Result<T, TextRefusal>;

// The number of characters `bytes` bytes take.
[[nodiscard]] constexpr std::size_t base64url_len(std::size_t bytes) noexcept {
  return bytes / 3 * 4 + (bytes % 3 == 0 ? 0 : bytes % 3 + 1);
}

[[nodiscard]] std::string base64url_encode(ByteView bytes);
// Writes the base64url_len(bytes.size()) characters into `out`.
void base64url_encode_into(ByteView bytes, std::span<char> out) noexcept;

// The number of bytes a text of `chars` characters holds, if it can be one.
[[nodiscard]] TextResult<std::size_t> base64url_decoded_len(std::size_t chars) noexcept;

// Decodes into `out`, which holds exactly base64url_decoded_len bytes.
// Refuses, first to last: Length (a length no text can have, or `out` of
// another size), Character, FinalBits; base64url_decode alike.
[[nodiscard]] Result<void, TextRefusal> base64url_decode_into(std::string_view text,
                                                              std::span<std::uint8_t> out) noexcept;

[[nodiscard]] TextResult<Bytes> base64url_decode(std::string_view text);

}  // namespace vestrel
