// The credential payload, the exact bytes an issuer signs:
//
//   offset  width  field
//   0       1952   child public key
//   1952    1      role: 0x00 leaf, 0x01 node
//   1953    4      depth, u32 LE
//   1957    4      S, scope length, u32 LE
//   1961    S      scope buffer
//   1961+S  4      C, caveats length, u32 LE
//   1965+S  C      caveat buffer
//
// No version, magic or padding: a payload is exactly 1965 + S + C bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "bytes.h"
#include "caveats.h"
#include "errors.h"
#include "scope.h"

namespace vestrel {

inline constexpr std::size_t MIN_PAYLOAD_LEN = PK_SIZE + 1 + 4 + 4 + 4;  // 1965
inline constexpr std::size_t MAX_PAYLOAD_LEN = MIN_PAYLOAD_LEN + MAX_SCOPE_LEN + MAX_CAVEATS_LEN;
inline constexpr std::size_t ROLE_OFFSET = PK_SIZE;

enum class Role : std::uint8_t { Leaf = 0x00, Node = 0x01 };

using PublicKeyView = std::span<const std::uint8_t, PK_SIZE>;

// Fixed-size views cannot be empty; an unfilled one points at these zeros.
inline constexpr std::array<std::uint8_t, PK_SIZE> kNoKey{};

struct CredentialPayload {
  PublicKeyView child_pk{kNoKey};
  Role role;
  std::uint32_t depth;
  ByteView scope;
  ByteView caveats;
};

// Lays the fields out unchanged; validates nothing (issuance already has).
[[nodiscard]] Bytes encode_payload(PublicKeyView child_pk, Role role, std::uint32_t depth,
                                   ByteView scope, ByteView caveats);

// The strict reader used by verification. Views point into `payload`.
[[nodiscard]] KResult<CredentialPayload> decode_payload(ByteView payload) noexcept;

// The lenient reader behind parse_payload: layout problems are plain
// messages, scope problems are KernelErrors, unknown caveat tags carry the
// tag byte. Exactly one of the outcomes is set.
struct LenientPayload {
  enum class Problem : std::uint8_t {
    None,
    TooShort,            // "payload too short"
    InvalidRole,         // "invalid role byte: 0x.." (bad_byte)
    TruncatedScope,      // "payload truncated at scope"
    TruncatedCaveatLen,  // "payload truncated at caveat length"
    TruncatedCaveats,    // "payload truncated at caveats"
    Scope,               // scope_error
    UnknownCaveatTag,    // "unknown caveat tag: 0x.." (bad_byte)
  };
  Problem problem = Problem::None;
  std::uint8_t bad_byte = 0;
  KernelError scope_error = KernelError::WireInvalid;

  PublicKeyView child_pk{kNoKey};
  Role role = Role::Leaf;
  std::uint32_t depth = 0;
  ByteView scope;  // validated when problem is None
  CaveatSummary caveats;
};

[[nodiscard]] LenientPayload parse_payload(ByteView payload) noexcept;

}  // namespace vestrel
