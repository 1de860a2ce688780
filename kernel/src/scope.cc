#include "scope.h"

#include <algorithm>

namespace vestrel {

KResult<PermRecord> perm_tlv(ByteView resource, ByteView verb) noexcept {
  if (resource.size() > MAX_FIELD_LEN) return fail(KernelError::ResourceTooLong);
  if (verb.size() > MAX_FIELD_LEN) return fail(KernelError::VerbTooLong);
  PermRecord record{};
  ByteWriter out(record.bytes);
  out.put_u8(static_cast<std::uint8_t>(resource.size()));
  out.put_bytes(resource);
  out.put_u8(static_cast<std::uint8_t>(verb.size()));
  out.put_bytes(verb);
  record.len = out.position();
  return record;
}

KStatus validate_scope(ByteView scope) noexcept {
  if (scope.empty()) return fail(KernelError::ScopeEmpty);
  ByteReader in(scope);
  std::size_t count = 0;
  while (!in.empty()) {
    // The limit is met when a 65th record would begin, whatever its bytes.
    if (count == MAX_SCOPE_ENTRIES) return fail(KernelError::ScopeTooLarge);
    std::uint8_t resource_len = 0;
    std::uint8_t verb_len = 0;
    // A resource that runs to (or past) the end leaves no verb length byte.
    if (!in.read_u8(resource_len) || !in.skip(resource_len) || !in.read_u8(verb_len) ||
        !in.skip(verb_len)) {
      return fail(KernelError::WireInvalid);
    }
    ++count;
  }
  return {};
}

bool ScopeEntries::next(Permission& out) noexcept {
  std::uint8_t resource_len = 0;
  std::uint8_t verb_len = 0;
  return reader_.read_u8(resource_len) && reader_.read_bytes(resource_len, out.resource) &&
         reader_.read_u8(verb_len) && reader_.read_bytes(verb_len, out.verb);
}

namespace {

bool is_wildcard(ByteView field) noexcept { return field.size() == 1 && field[0] == '*'; }

bool field_matches(ByteView parent, ByteView child) noexcept {
  return is_wildcard(parent) || std::ranges::equal(parent, child);
}

}  // namespace

bool permission_covered(Permission child, ByteView validated_parent_scope) noexcept {
  auto parents = scope_entries(validated_parent_scope);
  for (Permission parent; parents.next(parent);) {
    if (field_matches(parent.resource, child.resource) && field_matches(parent.verb, child.verb)) {
      return true;
    }
  }
  return false;
}

KStatus scope_covers(ByteView child_scope, ByteView parent_scope) noexcept {
  auto children = scope_entries(child_scope);
  for (Permission child; children.next(child);) {
    if (!permission_covered(child, parent_scope)) return fail(KernelError::ScopeEscalation);
  }
  return {};
}

}  // namespace vestrel
