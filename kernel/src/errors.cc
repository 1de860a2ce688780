#include "errors.h"

#include <array>

namespace vestrel {

namespace {
// Indexed by the case number; the order matches the enumeration exactly.
constexpr std::array<std::string_view, kKernelErrorCount> kNames = {
    "HkdfExpandFailed",
    "SigningFailed",
    "SignatureInvalid",
    "KeyDecodingFailed",
    "SignatureDecodingFailed",
    "NotBeforeViolation",
    "NotAfterViolation",
    "MalformedCaveatBuffer",
    "ScopeEscalation",
    "ScopeEmpty",
    "ScopeTooLarge",
    "CaveatsTooLarge",
    "EmptyChain",
    "ChainTooDeep",
    "ParentKeyMismatch",
    "LeafCannotDelegate",
    "DepthMismatch",
    "InvalidRoleByte",
    "WireVersionMismatch",
    "WireTruncated",
    "WireInvalid",
    "ResourceTooLong",
    "VerbTooLong",
};
static_assert(static_cast<std::size_t>(KernelError::VerbTooLong) + 1 == kKernelErrorCount);
}  // namespace

std::string_view kernel_error_name(KernelError error) noexcept {
  return kNames[static_cast<std::size_t>(error)];
}

}  // namespace vestrel
