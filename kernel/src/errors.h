// The kernel's refusals and the sizes every layer shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "result.h"

namespace vestrel {

inline constexpr std::size_t PK_SIZE = 1952;
inline constexpr std::size_t SIG_SIZE = 3309;
inline constexpr std::size_t SEED_SIZE = 32;

// Every rule that can refuse an input reports exactly one of these cases. The
// numbering is internal; only the name crosses into Python, so the names must
// never change.
enum class KernelError : std::uint8_t {
  HkdfExpandFailed = 0,
  SigningFailed,
  SignatureInvalid,
  KeyDecodingFailed,
  SignatureDecodingFailed,
  NotBeforeViolation,
  NotAfterViolation,
  MalformedCaveatBuffer,
  ScopeEscalation,
  ScopeEmpty,
  ScopeTooLarge,
  CaveatsTooLarge,
  EmptyChain,
  ChainTooDeep,
  ParentKeyMismatch,
  LeafCannotDelegate,
  DepthMismatch,
  InvalidRoleByte,
  WireVersionMismatch,
  WireTruncated,
  WireInvalid,
  ResourceTooLong,
  VerbTooLong,
};

inline constexpr std::size_t kKernelErrorCount = 23;

// The case's identifier, letter for letter ("ScopeEmpty").
[[nodiscard]] std::string_view kernel_error_name(KernelError error) noexcept;

template <class T>
using KResult = Result<T, KernelError>;
using KStatus = Result<void, KernelError>;

}  // namespace vestrel
