// Verification of a whole delegation chain against a trusted root key.
#pragma once

#include <cstdint>
#include <optional>

#include "bytes.h"
#include "chain_wire.h"
#include "errors.h"
#include "payload.h"

namespace vestrel {

// What a verified chain lets its holder do. Views point into the wire that
// was verified and are valid only while that buffer is.
struct ChainAuthority {
  std::uint32_t count = 0;
  PublicKeyView holder_pk{kNoKey};  // the last credential's child key
  Role role = Role::Leaf;
  std::uint32_t depth = 0;
  ByteView scope;  // the last credential's scope buffer, validated
  // The strictest bounds of every record of every credential: the latest
  // not-before and the earliest not-after; absent when no record has one.
  std::optional<std::uint64_t> not_before;
  std::optional<std::uint64_t> not_after;
};

// The first rule the chain breaks and the 0-based credential it broke at;
// no index for faults of the wire as a whole (version, count, framing).
struct ChainRefusal {
  KernelError error = KernelError::WireInvalid;
  std::optional<std::uint32_t> index;
};

// The signature step of the walk: SignatureInvalid or SignatureDecodingFailed
// when the credential's issuer did not sign its payload.
[[nodiscard]] KStatus check_credential_signature(const CredentialView& cred) noexcept;

// Where the walk gets its signature verdicts. The plain walk asks ML-DSA every
// time; a caller that remembers credentials it has already seen verify (the
// exact issuer key, signature and payload bytes) may answer from memory.
// Only this one step is delegated: every other rule runs in the walk itself.
class SignatureVerdicts {
 public:
  // The verdict on credential `index` of the chain being walked.
  [[nodiscard]] virtual KStatus check(std::size_t index, const CredentialView& cred) noexcept = 0;

 protected:
  ~SignatureVerdicts() = default;
};

// The one walk over a chain. The order of checks is part of the contract: the
// whole wire is decoded first, then per credential linkage, delegation right,
// signature, payload structure, depth, coverage, time. Allocates nothing.
[[nodiscard]] Result<ChainAuthority, ChainRefusal> verify_chain(PublicKeyView root_pk,
                                                                ByteView wire,
                                                                std::uint64_t now) noexcept;

// The same walk, taking each signature's verdict from `verdicts`.
[[nodiscard]] Result<ChainAuthority, ChainRefusal> verify_chain(
    PublicKeyView root_pk, ByteView wire, std::uint64_t now, SignatureVerdicts& verdicts) noexcept;

// The walk over a chain already framed: verify_chain is decode_chain and
// then this. The views are the caller's and must outlive the call.
[[nodiscard]] Result<ChainAuthority, ChainRefusal> verify_decoded_chain(
    PublicKeyView root_pk, const DecodedChain& chain, std::uint64_t now,
    SignatureVerdicts& verdicts) noexcept;

// The validity window the caveats of every credential state together: the
// latest not-before and the earliest not-after, each absent when no record
// has one. Read from the payloads without checking any signature, so it can
// only guide a choice (the time to walk at); nullopt when a payload does not
// decode, which the walk refuses at any time.
struct ChainWindow {
  std::optional<std::uint64_t> not_before;
  std::optional<std::uint64_t> not_after;
};
[[nodiscard]] std::optional<ChainWindow> chain_window(const DecodedChain& chain) noexcept;

// The credential count (1..16) of verify_chain, or its first error.
[[nodiscard]] KResult<std::uint32_t> verify_delegation(PublicKeyView root_pk, ByteView wire,
                                                       std::uint64_t now) noexcept;

}  // namespace vestrel
