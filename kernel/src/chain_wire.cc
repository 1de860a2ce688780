#include "chain_wire.h"

#include <limits>

namespace vestrel {

KResult<DecodedChain> decode_chain(ByteView wire) noexcept {
  ByteReader in(wire);
  std::uint8_t version = 0;
  // The version is judged before the header's length, so a lone 0x02 is a
  // version error and a lone 0x01 a truncation.
  if (!in.read_u8(version)) return fail(KernelError::WireTruncated);
  if (version != WIRE_VERSION) return fail(KernelError::WireVersionMismatch);
  std::uint32_t count = 0;
  if (!in.read_u32le(count)) return fail(KernelError::WireTruncated);
  // Both decided from the header alone, before any record is looked at.
  if (count == 0) return fail(KernelError::EmptyChain);
  if (count > MAX_CHAIN_LEN) return fail(KernelError::ChainTooDeep);

  DecodedChain chain{};
  for (std::size_t i = 0; i < count; ++i) {
    CredentialView& slot = chain.slots[i];
    std::uint32_t payload_len = 0;
    if (!in.read_fixed(slot.issuer_pk) || !in.read_fixed(slot.sig) || !in.read_u32le(payload_len) ||
        !in.read_bytes(payload_len, slot.payload)) {
      return fail(KernelError::WireTruncated);
    }
  }
  chain.count = count;
  return chain;
}

KStatus append_credential(DecodedChain& chain, const CredentialView& cred) noexcept {
  if (chain.count >= MAX_CHAIN_LEN) return fail(KernelError::ChainTooDeep);
  chain.slots[chain.count++] = cred;
  return {};
}

KResult<std::uint64_t> chain_wire_len(std::span<const CredentialView> creds) noexcept {
  constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();
  if (creds.size() > kU32Max) return fail(KernelError::WireTruncated);
  // The writer's capacity is MAX_PAYLOAD_LEN per credential: a chain fits
  // exactly when its payloads add up to at most that many bytes times n. The
  // rule is applied as a running check against the exact length, so no buffer
  // of the full capacity is ever reserved.
  const std::uint64_t capacity =
      WIRE_HEADER_LEN + (MAX_PAYLOAD_LEN + WIRE_CREDENTIAL_FIXED_LEN) * creds.size();
  std::uint64_t len = WIRE_HEADER_LEN;
  for (const CredentialView& c : creds) {
    if (c.payload.size() > kU32Max) return fail(KernelError::WireTruncated);
    len += WIRE_CREDENTIAL_FIXED_LEN + c.payload.size();
    if (len > capacity) return fail(KernelError::WireTruncated);
  }
  return len;
}

KResult<Bytes> encode_chain(std::span<const CredentialView> creds) {
  auto len = chain_wire_len(creds);
  if (!len) return fail(len.error());
  Bytes wire(static_cast<std::size_t>(*len));
  ByteWriter out(wire);
  out.put_u8(WIRE_VERSION);
  out.put_u32le(static_cast<std::uint32_t>(creds.size()));
  for (const CredentialView& c : creds) {
    out.put_bytes(c.issuer_pk);
    out.put_bytes(c.sig);
    out.put_u32le(static_cast<std::uint32_t>(c.payload.size()));
    out.put_bytes(c.payload);
  }
  return wire;
}

}  // namespace vestrel
