// The chain wire format:
//
//   offset  width  field
//   0       1      version, always 1
//   1       4      credential count n, u32 LE
//   5       ...    n records, root's credential first
//
// and each record:
//
//   0       1952   issuer public key
//   1952    3309   signature over the payload
//   5261    4      payload length P, u32 LE
//   5265    P      payload
//
// The framing is unsigned: signatures cover payloads only, so the frame can be
// rebuilt from the three parts of each credential at any time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "bytes.h"
#include "errors.h"
#include "payload.h"

namespace vestrel {

inline constexpr std::uint8_t WIRE_VERSION = 1;
inline constexpr std::size_t WIRE_HEADER_LEN = 5;
inline constexpr std::size_t WIRE_CREDENTIAL_FIXED_LEN = PK_SIZE + SIG_SIZE + 4;  // 5265
inline constexpr std::size_t MAX_CHAIN_LEN = 16;

using SignatureView = std::span<const std::uint8_t, SIG_SIZE>;

inline constexpr std::array<std::uint8_t, SIG_SIZE> kNoSignature{};

// The fixed key and signature sizes are part of the type: a view of any other
// length cannot be formed.
struct CredentialView {
  PublicKeyView issuer_pk{kNoKey};
  SignatureView sig{kNoSignature};
  ByteView payload;
};

// Views into the caller's wire; valid only while that buffer is.
struct DecodedChain {
  std::array<CredentialView, MAX_CHAIN_LEN> slots;
  std::size_t count = 0;
};

// WireTruncated, WireVersionMismatch, EmptyChain, ChainTooDeep. One pass over
// the header and the length fields; nothing is copied or allocated. Bytes after
// the last record are ignored.
[[nodiscard]] KResult<DecodedChain> decode_chain(ByteView wire) noexcept;

// Adds `cred` after the last credential, as one more record of the wire
// would: ChainTooDeep when the chain already holds MAX_CHAIN_LEN, which is
// what decode_chain answers for a wire counting one more. Lets a chain be
// walked with a credential that has not been framed (or signed) yet.
[[nodiscard]] KStatus append_credential(DecodedChain& chain, const CredentialView& cred) noexcept;

// The exact wire length for these credentials, or WireTruncated when the
// payloads do not fit the writer's capacity of MAX_PAYLOAD_LEN per credential
// (or a payload length or the count does not fit in 32 bits).
[[nodiscard]] KResult<std::uint64_t> chain_wire_len(std::span<const CredentialView> creds) noexcept;

// Writes the wire; applies no chain rules (any count, payloads unexamined).
[[nodiscard]] KResult<Bytes> encode_chain(std::span<const CredentialView> creds);

}  // namespace vestrel
