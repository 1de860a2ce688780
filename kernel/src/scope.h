// Permission records and scope buffers.
//
// A permission record is [R][resource: R bytes][V][verb: V bytes], R and V one
// byte each, so a record is 2..512 bytes. A scope buffer is 1..64 records laid
// end to end with no header; its length travels in the enclosing structure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "bytes.h"
#include "errors.h"

namespace vestrel {

inline constexpr std::size_t MAX_SCOPE_ENTRIES = 64;
inline constexpr std::size_t MAX_FIELD_LEN = 255;
inline constexpr std::size_t MAX_PERM_RECORD_LEN = 2 + 2 * MAX_FIELD_LEN;  // 512
inline constexpr std::size_t MAX_SCOPE_LEN = MAX_SCOPE_ENTRIES * MAX_PERM_RECORD_LEN;

struct Permission {
  ByteView resource;
  ByteView verb;
};

// One encoded permission record, held at its exact length in a fixed area.
struct PermRecord {
  std::array<std::uint8_t, MAX_PERM_RECORD_LEN> bytes;
  std::size_t len;
  [[nodiscard]] ByteView view() const noexcept { return ByteView(bytes).first(len); }
};

// ResourceTooLong, then VerbTooLong.
[[nodiscard]] KResult<PermRecord> perm_tlv(ByteView resource, ByteView verb) noexcept;

// ScopeEmpty for an empty buffer; otherwise walks the records and reports the
// first problem met: WireInvalid for a record that overruns, ScopeTooLarge when
// a 65th record would begin.
[[nodiscard]] KStatus validate_scope(ByteView scope) noexcept;

// Walks a buffer that passed validate_scope, yielding views into it in order.
class ScopeEntries {
 public:
  explicit ScopeEntries(ByteView validated_scope) noexcept : reader_(validated_scope) {}
  // False once the buffer is exhausted.
  [[nodiscard]] bool next(Permission& out) noexcept;

 private:
  ByteReader reader_;
};

[[nodiscard]] inline ScopeEntries scope_entries(ByteView validated_scope) noexcept {
  return ScopeEntries(validated_scope);
}

// Both buffers validated. Every child record must be matched by some parent
// record; a parent field that is exactly "*" matches any value, nothing else
// is a pattern. ScopeEscalation otherwise.
[[nodiscard]] KStatus scope_covers(ByteView child_scope, ByteView parent_scope) noexcept;

// The same rule for one permission, whose fields may be of any length (a
// request to authorize rather than a record to encode).
[[nodiscard]] bool permission_covered(Permission child, ByteView validated_parent_scope) noexcept;

}  // namespace vestrel
