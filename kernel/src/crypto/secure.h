// Secret material is a type: it cannot be copied, and its destructor wipes it
// with a write the optimiser is not allowed to drop.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vestrel {

// Overwrites n bytes with zeros; never elided, even just before the memory dies.
void secure_wipe(void* p, std::size_t n) noexcept;

template <std::size_t N>
class SecretBytes {
 public:
  SecretBytes() noexcept : bytes_{} {}
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { secure_wipe(bytes_.data(), N); }

  std::span<std::uint8_t, N> span() noexcept { return bytes_; }
  std::span<const std::uint8_t, N> span() const noexcept { return bytes_; }
  std::uint8_t* data() noexcept { return bytes_.data(); }
  const std::uint8_t* data() const noexcept { return bytes_.data(); }
  static constexpr std::size_t size() noexcept { return N; }

 private:
  std::array<std::uint8_t, N> bytes_;
};

}  // namespace vestrel
