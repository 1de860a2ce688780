// Verification of a whole delegation chain against a trusted root key.
#pragma once

#include <cstdint>

#include "bytes.h"
#include "chain_wire.h"
#include "errors.h"

namespace vestrel {

// The credential count (1..16), or the first rule the chain breaks. The order
// of checks is part of the contract: the whole wire is decoded first, then per
// credential linkage, delegation right, signature, payload structure, depth,
// coverage, time. Allocates nothing.
[[nodiscard]] KResult<std::uint32_t> verify_delegation(PublicKeyView root_pk, ByteView wire,
                                                       std::uint64_t now) noexcept;

}  // namespace vestrel
