#include "caveats.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>

#include "test_bytes.h"

namespace vestrel {
namespace {

using namespace vestrel::testing;

TEST(EncodeCaveat, TagThenLittleEndianSeconds) {
  auto max = std::numeric_limits<std::uint64_t>::max();
  auto a = encode_caveat(CaveatTag::NotBefore, 0);
  EXPECT_EQ(Bytes(a.begin(), a.end()), B({1, 0, 0, 0, 0, 0, 0, 0, 0}));
  auto b = encode_caveat(CaveatTag::NotAfter, 1);
  EXPECT_EQ(Bytes(b.begin(), b.end()), B({2, 1, 0, 0, 0, 0, 0, 0, 0}));
  auto c = encode_caveat(CaveatTag::NotAfter, max);
  EXPECT_EQ(Bytes(c.begin(), c.end()), caveat(2, max));
}

TEST(ValidateCaveats, SizeThenShapeThenTags) {
  const Bytes record = caveat(1, 100);
  struct Row {
    const char* name;
    Bytes caveats;
    std::optional<KernelError> error;
  } rows[] = {
      {"empty", {}, std::nullopt},
      {"64 records", repeat(record, 64), std::nullopt},
      {"65 records", repeat(record, 65), KernelError::CaveatsTooLarge},
      {"600 bytes, not whole records", Bytes(600, 1), KernelError::CaveatsTooLarge},
      {"10 bytes", cat({record, B({1})}), KernelError::MalformedCaveatBuffer},
      {"tag 0", caveat(0, 1), KernelError::MalformedCaveatBuffer},
      {"tag 3", caveat(3, 1), KernelError::MalformedCaveatBuffer},
      {"bad tag after good ones", cat({record, caveat(2, 5), caveat(0xff, 0)}),
       KernelError::MalformedCaveatBuffer},
      {"not-before after not-after", cat({caveat(1, 200), caveat(2, 100)}), std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto r = validate_caveats(row.caveats);
    EXPECT_EQ(r ? std::nullopt : std::optional<KernelError>(r.error()), row.error);
  }
}

TEST(EnforceCaveats, InclusiveBoundsEveryRecordEnforced) {
  struct Row {
    const char* name;
    Bytes caveats;
    std::uint64_t now;
    std::optional<KernelError> error;
  } rows[] = {
      {"no caveats", {}, 0, std::nullopt},
      {"at not-before", caveat(1, 100), 100, std::nullopt},
      {"before not-before", caveat(1, 100), 99, KernelError::NotBeforeViolation},
      {"at not-after", caveat(2, 100), 100, std::nullopt},
      {"after not-after", caveat(2, 100), 101, KernelError::NotAfterViolation},
      {"both kinds, inside", cat({caveat(1, 10), caveat(2, 20)}), 15, std::nullopt},
      {"strictest not-before governs", cat({caveat(1, 100), caveat(1, 50)}), 75,
       KernelError::NotBeforeViolation},
      {"first offending record decides", cat({caveat(2, 10), caveat(1, 100)}), 50,
       KernelError::NotAfterViolation},
      {"empty window", cat({caveat(1, 200), caveat(2, 100)}), 150,
       KernelError::NotBeforeViolation},
      {"largest time", caveat(2, std::numeric_limits<std::uint64_t>::max()),
       std::numeric_limits<std::uint64_t>::max(), std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(validate_caveats(row.caveats));
    auto r = enforce_caveats(row.caveats, row.now);
    EXPECT_EQ(r ? std::nullopt : std::optional<KernelError>(r.error()), row.error);
  }
}

TEST(SummarizeCaveats, LenientLastOfEachKindWins) {
  auto s = summarize_caveats({});
  EXPECT_FALSE(s.not_before || s.not_after || s.unknown_tag);

  s = summarize_caveats(cat({caveat(1, 100), caveat(1, 50), caveat(2, 7)}));
  EXPECT_EQ(s.not_before, 50u);
  EXPECT_EQ(s.not_after, 7u);

  // A trailing piece is ignored, however the core would judge it.
  Bytes thirteen = cat({caveat(2, 9), B({0xff, 0xff, 0xff, 0xff})});
  s = summarize_caveats(thirteen);
  EXPECT_EQ(s.not_after, 9u);
  EXPECT_FALSE(s.unknown_tag);
  EXPECT_FALSE(validate_caveats(thirteen));

  // No size limit applies to the summary.
  s = summarize_caveats(repeat(caveat(2, 3), 100));
  EXPECT_EQ(s.not_after, 3u);

  s = summarize_caveats(cat({caveat(1, 1), caveat(0xff, 2), caveat(2, 3)}));
  EXPECT_EQ(s.unknown_tag, 0xff);
  EXPECT_FALSE(s.not_after);
}

}  // namespace
}  // namespace vestrel
