// Caveat records: [tag][u64 little-endian seconds], 9 bytes. Tag 0x01 is
// not-before, 0x02 not-after; both bounds are inclusive. A caveat buffer is
// 0..64 records with no header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "bytes.h"
#include "errors.h"

namespace vestrel {

inline constexpr std::size_t CAVEAT_RECORD_LEN = 9;
inline constexpr std::size_t MAX_CAVEATS_LEN = 576;

enum class CaveatTag : std::uint8_t { NotBefore = 0x01, NotAfter = 0x02 };

using CaveatRecord = std::array<std::uint8_t, CAVEAT_RECORD_LEN>;

[[nodiscard]] CaveatRecord encode_caveat(CaveatTag tag, std::uint64_t ts) noexcept;

// CaveatsTooLarge, then MalformedCaveatBuffer (length, then tags in order).
[[nodiscard]] KStatus validate_caveats(ByteView caveats) noexcept;

struct Caveat {
  std::uint8_t tag;
  std::uint64_t time;
};

// Every whole 9-byte record in order; a trailing piece shorter than a record
// yields nothing.
class CaveatRecords {
 public:
  explicit CaveatRecords(ByteView caveats) noexcept : reader_(caveats) {}
  [[nodiscard]] bool next(Caveat& out) noexcept;

 private:
  ByteReader reader_;
};

[[nodiscard]] inline CaveatRecords caveat_records(ByteView caveats) noexcept {
  return CaveatRecords(caveats);
}

// On a validated buffer: the first record that now violates decides.
[[nodiscard]] KStatus enforce_caveats(ByteView validated_caveats, std::uint64_t now) noexcept;

// The lenient display summary: whole records only, no size limit, the last
// record of each kind wins; an unknown tag stops it and is reported.
struct CaveatSummary {
  std::optional<std::uint64_t> not_before;
  std::optional<std::uint64_t> not_after;
  std::optional<std::uint8_t> unknown_tag;  // set when the summary failed
};

[[nodiscard]] CaveatSummary summarize_caveats(ByteView caveats) noexcept;

}  // namespace vestrel
