// What the primitives share with their callers: a byte view and the one small
// status a primitive reports. The credential layer turns each refusal into its
// own error on the line that calls the primitive; nothing here knows of it.
#pragma once

#include <cstdint>
#include <span>

namespace vestrel::crypto {

using ByteView = std::span<const std::uint8_t>;

enum class Error : std::uint8_t {
  OutputTooLong,   // HKDF asked for more than 255 blocks
  GaveUp,          // signing's rejection loop ran out of nonces
  ContextTooLong,  // an ML-DSA context string over 255 bytes
};

// Success, or the one reason a primitive refused.
class [[nodiscard]] Status {
 public:
  constexpr Status() noexcept = default;
  constexpr Status(Error error) noexcept : failed_(true), error_(error) {}

  [[nodiscard]] constexpr bool has_value() const noexcept { return !failed_; }
  constexpr explicit operator bool() const noexcept { return !failed_; }
  [[nodiscard]] constexpr Error error() const noexcept { return error_; }

 private:
  bool failed_ = false;
  Error error_{};
};

}  // namespace vestrel::crypto
