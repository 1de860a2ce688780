#include "payload.h"

namespace vestrel {

Bytes encode_payload(PublicKeyView child_pk, Role role, std::uint32_t depth, ByteView scope,
                     ByteView caveats) {
  Bytes payload(MIN_PAYLOAD_LEN + scope.size() + caveats.size());
  ByteWriter out(payload);
  out.put_bytes(child_pk);
  out.put_u8(static_cast<std::uint8_t>(role));
  out.put_u32le(depth);
  out.put_u32le(static_cast<std::uint32_t>(scope.size()));
  out.put_bytes(scope);
  out.put_u32le(static_cast<std::uint32_t>(caveats.size()));
  out.put_bytes(caveats);
  return payload;
}

namespace {
// The role byte sits after the key; both readers judge it before they look at
// any length field, so a bad role wins over a short payload.
bool read_role(ByteView payload, std::uint8_t& role_byte) noexcept {
  ByteReader in(payload);
  return in.skip(ROLE_OFFSET) && in.read_u8(role_byte);
}
}  // namespace

KResult<CredentialPayload> decode_payload(ByteView payload) noexcept {
  std::uint8_t role_byte = 0;
  if (!read_role(payload, role_byte)) return fail(KernelError::WireTruncated);
  if (role_byte > static_cast<std::uint8_t>(Role::Node)) return fail(KernelError::InvalidRoleByte);

  ByteReader in(payload);
  PublicKeyView child_pk{kNoKey};
  std::uint32_t depth = 0;
  std::uint32_t scope_len = 0;
  std::uint32_t caveats_len = 0;
  ByteView scope;
  ByteView caveats;
  if (!in.read_fixed(child_pk) || !in.skip(1) || !in.read_u32le(depth) ||
      !in.read_u32le(scope_len) || !in.read_bytes(scope_len, scope) ||
      !in.read_u32le(caveats_len) || !in.read_bytes(caveats_len, caveats)) {
    return fail(KernelError::WireTruncated);
  }
  // A signed payload is exactly its fields; anything after the caveats is not
  // short but structurally wrong.
  if (!in.empty()) return fail(KernelError::WireInvalid);

  if (auto s = validate_scope(scope); !s) return fail(s.error());
  if (auto c = validate_caveats(caveats); !c) return fail(c.error());
  return CredentialPayload{child_pk, static_cast<Role>(role_byte), depth, scope, caveats};
}

LenientPayload parse_payload(ByteView payload) noexcept {
  using Problem = LenientPayload::Problem;
  LenientPayload out;
  if (payload.size() < MIN_PAYLOAD_LEN) {
    out.problem = Problem::TooShort;
    return out;
  }
  std::uint8_t role_byte = 0;
  (void)read_role(payload, role_byte);  // present: the payload is at least MIN_PAYLOAD_LEN
  if (role_byte > static_cast<std::uint8_t>(Role::Node)) {
    out.problem = Problem::InvalidRole;
    out.bad_byte = role_byte;
    return out;
  }
  out.role = static_cast<Role>(role_byte);

  ByteReader in(payload);
  std::uint32_t scope_len = 0;
  std::uint32_t caveats_len = 0;
  ByteView caveats;
  // The fixed part is known to be present, so these reads cannot fail.
  (void)(in.read_fixed(out.child_pk) && in.skip(1) && in.read_u32le(out.depth) &&
         in.read_u32le(scope_len));
  if (!in.read_bytes(scope_len, out.scope)) {
    out.problem = Problem::TruncatedScope;
    return out;
  }
  if (!in.read_u32le(caveats_len)) {
    out.problem = Problem::TruncatedCaveatLen;
    return out;
  }
  // Bytes after the caveats are ignored here; only the strict reader cares.
  if (!in.read_bytes(caveats_len, caveats)) {
    out.problem = Problem::TruncatedCaveats;
    return out;
  }
  // Scope before caveats, so a scope error wins over an unknown caveat tag.
  if (auto s = validate_scope(out.scope); !s) {
    out.problem = Problem::Scope;
    out.scope_error = s.error();
    return out;
  }
  out.caveats = summarize_caveats(caveats);
  if (out.caveats.unknown_tag) {
    out.problem = Problem::UnknownCaveatTag;
    out.bad_byte = *out.caveats.unknown_tag;
  }
  return out;
}

}  // namespace vestrel
