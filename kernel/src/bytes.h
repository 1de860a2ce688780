// The one way the kernel reads untrusted bytes and the one way it writes them.
// Parsers never do pointer arithmetic of their own: every read goes through
// ByteReader, whose getters make the only bounds check. Lengths and positions
// are 64-bit and compared before anything is subtracted, so a length field of
// any size cannot wrap a bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace vestrel {

using ByteView = std::span<const std::uint8_t>;
using Bytes = std::vector<std::uint8_t>;

class ByteReader {
 public:
  explicit ByteReader(ByteView data) noexcept : data_(data) {}

  [[nodiscard]] std::uint64_t remaining() const noexcept { return data_.size() - pos_; }
  [[nodiscard]] bool empty() const noexcept { return pos_ == data_.size(); }
  [[nodiscard]] std::size_t position() const noexcept { return pos_; }

  [[nodiscard]] bool read_u8(std::uint8_t& out) noexcept {
    if (remaining() < 1) return false;
    out = data_[pos_++];
    return true;
  }

  [[nodiscard]] bool read_u32le(std::uint32_t& out) noexcept {
    if (remaining() < 4) return false;
    out = 0;
    for (unsigned i = 0; i < 4; ++i) out |= static_cast<std::uint32_t>(data_[pos_ + i]) << (8 * i);
    pos_ += 4;
    return true;
  }

  [[nodiscard]] bool read_u64le(std::uint64_t& out) noexcept {
    if (remaining() < 8) return false;
    out = 0;
    for (unsigned i = 0; i < 8; ++i) out |= static_cast<std::uint64_t>(data_[pos_ + i]) << (8 * i);
    pos_ += 8;
    return true;
  }

  [[nodiscard]] bool read_bytes(std::uint64_t n, ByteView& out) noexcept {
    if (remaining() < n) return false;
    out = data_.subspan(pos_, static_cast<std::size_t>(n));
    pos_ += static_cast<std::size_t>(n);
    return true;
  }

  // Fixed-size fields (keys, signatures) come back with their size in the type.
  template <std::size_t N>
  [[nodiscard]] bool read_fixed(std::span<const std::uint8_t, N>& out) noexcept {
    if (remaining() < N) return false;
    out = data_.subspan(pos_).template first<N>();
    pos_ += N;
    return true;
  }

  [[nodiscard]] bool skip(std::uint64_t n) noexcept {
    if (remaining() < n) return false;
    pos_ += static_cast<std::size_t>(n);
    return true;
  }

  [[nodiscard]] ByteView rest() const noexcept { return data_.subspan(pos_); }

 private:
  ByteView data_;
  std::size_t pos_ = 0;
};

// Writes into a buffer that the caller sized exactly beforehand; the encoders
// compute the final length first, so the writer never grows or reallocates.
class ByteWriter {
 public:
  explicit ByteWriter(std::span<std::uint8_t> out) noexcept : out_(out) {}

  void put_u8(std::uint8_t v) noexcept { out_[pos_++] = v; }

  void put_u32le(std::uint32_t v) noexcept {
    for (unsigned i = 0; i < 4; ++i) out_[pos_++] = static_cast<std::uint8_t>(v >> (8 * i));
  }

  void put_u64le(std::uint64_t v) noexcept {
    for (unsigned i = 0; i < 8; ++i) out_[pos_++] = static_cast<std::uint8_t>(v >> (8 * i));
  }

  void put_bytes(ByteView bytes) noexcept {
    if (!bytes.empty()) std::memcpy(out_.data() + pos_, bytes.data(), bytes.size());
    pos_ += bytes.size();
  }

  [[nodiscard]] std::size_t position() const noexcept { return pos_; }

 private:
  std::span<std::uint8_t> out_;
  std::size_t pos_ = 0;
};

}  // namespace vestrel
