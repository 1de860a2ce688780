// Small builders for hand-made byte strings in the kernel tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "bytes.h"
#include "identity.h"

namespace vestrel::testing {

inline Bytes B(std::initializer_list<int> bytes) {
  Bytes out;
  for (int b : bytes) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

inline Bytes S(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes repeat(const Bytes& part, std::size_t n) {
  Bytes out;
  for (std::size_t i = 0; i < n; ++i) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline Bytes u32le(std::uint32_t v) {
  return B({int(v & 0xff), int((v >> 8) & 0xff), int((v >> 16) & 0xff), int(v >> 24)});
}

inline Bytes u64le(std::uint64_t v) {
  Bytes out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return out;
}

inline Bytes perm(std::string_view resource, std::string_view verb) {
  return cat({B({int(resource.size())}), S(resource), B({int(verb.size())}), S(verb)});
}

inline Bytes caveat(int tag, std::uint64_t ts) { return cat({B({tag}), u64le(ts)}); }

inline Bytes pk_of(const Identity& id) { return Bytes(id.public_key.begin(), id.public_key.end()); }

}  // namespace vestrel::testing
