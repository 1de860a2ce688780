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

// The one walk over a chain. The order of checks is part of the contract: the
// whole wire is decoded first, then per credential linkage, delegation right,
// signature, payload structure, depth, coverage, time. Allocates nothing.
[[nodiscard]] Result<ChainAuthority, ChainRefusal> verify_chain(PublicKeyView root_pk,
                                                                ByteView wire,
                                                                std::uint64_t now) noexcept;

// The credential count (1..16) of verify_chain, or its first error.
[[nodiscard]] KResult<std::uint32_t> verify_delegation(PublicKeyView root_pk, ByteView wire,
                                                       std::uint64_t now) noexcept;

}  // namespace vestrel
