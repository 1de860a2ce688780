#include "payload.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "test_bytes.h"

namespace vestrel {
namespace {

using namespace vestrel::testing;
using Problem = LenientPayload::Problem;

Bytes key(std::uint8_t fill = 0xab) { return Bytes(PK_SIZE, fill); }

// Assembles a payload from raw field values, so lengths can lie.
Bytes raw_payload(int role, std::uint32_t depth, std::uint32_t scope_len, const Bytes& scope,
                  std::optional<std::uint32_t> caveats_len, const Bytes& caveats = {}) {
  Bytes out = cat({key(), B({role}), u32le(depth), u32le(scope_len), scope});
  if (caveats_len) out = cat({out, u32le(*caveats_len), caveats});
  return out;
}

Bytes payload(const Bytes& scope, const Bytes& caveats, int role = 0, std::uint32_t depth = 1) {
  return raw_payload(role, depth, std::uint32_t(scope.size()), scope,
                     std::uint32_t(caveats.size()), caveats);
}

std::optional<KernelError> strict_error(const Bytes& p) {
  auto r = decode_payload(p);
  if (r) return std::nullopt;
  return r.error();
}

TEST(EncodePayload, LaysFieldsOutUnchanged) {
  Bytes scope = cat({perm("b", "x"), perm("a", "y")});
  Bytes caveats = caveat(2, 100);
  Bytes k = key();
  Bytes p = encode_payload(std::span<const std::uint8_t, PK_SIZE>(k.data(), PK_SIZE), Role::Node,
                           7, scope, caveats);
  EXPECT_EQ(p, payload(scope, caveats, 1, 7));
  auto d = decode_payload(p);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->role, Role::Node);
  EXPECT_EQ(d->depth, 7u);
  EXPECT_TRUE(std::ranges::equal(d->scope, scope));
  EXPECT_TRUE(std::ranges::equal(d->caveats, caveats));
  EXPECT_TRUE(std::ranges::equal(d->child_pk, k));
}

TEST(DecodePayload, SmallestUsefulPayload) {
  Bytes p = payload(B({0, 0}), {});
  ASSERT_EQ(p.size(), 1967u);
  auto d = decode_payload(p);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->role, Role::Leaf);
  EXPECT_EQ(d->depth, 1u);
}

// Every row is judged by both readers; where they disagree, the row says how.
struct ReaderRow {
  const char* name;
  Bytes payload;
  std::optional<KernelError> strict;
  Problem lenient;
  std::uint8_t bad_byte = 0;
};

TEST(PayloadReaders, AgreeAndDisagreeExactlyWhereExpected) {
  const Bytes scope = perm("doc", "read");
  const Bytes valid = payload(scope, caveat(2, 100));
  const Bytes head = Bytes(valid.begin(), valid.begin() + 1953);
  const ReaderRow rows[] = {
      {"empty", {}, KernelError::WireTruncated, Problem::TooShort},
      {"key only", key(), KernelError::WireTruncated, Problem::TooShort},
      {"1953 bytes", head, KernelError::WireTruncated, Problem::TooShort},
      {"1964 bytes", Bytes(valid.begin(), valid.begin() + 1964), KernelError::WireTruncated,
       Problem::TooShort},
      {"short with bad role", cat({key(), B({2, 0, 0})}), KernelError::InvalidRoleByte,
       Problem::TooShort},
      {"role 0x02", raw_payload(2, 1, 0, {}, 0), KernelError::InvalidRoleByte,
       Problem::InvalidRole, 0x02},
      {"role 0xff, lying lengths", raw_payload(0xff, 1, 0xffffffff, {}, 0xffffffff),
       KernelError::InvalidRoleByte, Problem::InvalidRole, 0xff},
      {"scope length ff ff ff ff", raw_payload(0, 1, 0xffffffff, {}, 0),
       KernelError::WireTruncated, Problem::TruncatedScope},
      {"scope runs past the end", raw_payload(0, 1, 10, scope, std::nullopt),
       KernelError::WireTruncated, Problem::TruncatedScope},
      {"caveat length field cut", cat({raw_payload(0, 1, 9, scope, std::nullopt), B({0, 0})}),
       KernelError::WireTruncated, Problem::TruncatedCaveatLen},
      {"caveats run past the end", raw_payload(0, 1, 9, scope, 0xffffffff, caveat(1, 1)),
       KernelError::WireTruncated, Problem::TruncatedCaveats},
      {"bytes after the caveats", cat({valid, B({1, 2, 3})}), KernelError::WireInvalid,
       Problem::None},
      {"empty scope", payload({}, {}), KernelError::ScopeEmpty, Problem::Scope},
      {"65 records", payload(repeat(scope, 65), {}), KernelError::ScopeTooLarge, Problem::Scope},
      {"malformed scope and bad tag", payload(B({5, 1}), caveat(9, 1)), KernelError::WireInvalid,
       Problem::Scope},
      {"caveats of 585 bytes", payload(scope, repeat(caveat(1, 1), 65)),
       KernelError::CaveatsTooLarge, Problem::None},
      {"caveat length 10", payload(scope, cat({caveat(2, 5), B({7})})),
       KernelError::MalformedCaveatBuffer, Problem::None},
      {"unknown tag", payload(scope, caveat(0xff, 1)), KernelError::MalformedCaveatBuffer,
       Problem::UnknownCaveatTag, 0xff},
      {"depth ff ff ff ff", payload(scope, {}, 1, 0xffffffff), std::nullopt, Problem::None},
      {"valid", valid, std::nullopt, Problem::None},
  };
  for (const ReaderRow& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(strict_error(row.payload), row.strict);
    LenientPayload lenient = parse_payload(row.payload);
    EXPECT_EQ(lenient.problem, row.lenient);
    if (row.lenient == Problem::InvalidRole || row.lenient == Problem::UnknownCaveatTag) {
      EXPECT_EQ(lenient.bad_byte, row.bad_byte);
    }
    if (row.lenient == Problem::Scope) {
      EXPECT_EQ(lenient.scope_error, row.strict);
    }
  }
}

TEST(ParsePayload, ReportsFieldsAndSummarisedCaveats) {
  Bytes scope = cat({perm("doc", "read"), perm("doc", "read")});
  // The result views the bytes, so they must outlive it.
  const Bytes bytes = payload(scope, cat({caveat(2, 100), caveat(2, 200), caveat(1, 5)}), 1, 3);
  LenientPayload p = parse_payload(bytes);
  ASSERT_EQ(p.problem, Problem::None);
  EXPECT_EQ(p.role, Role::Node);
  EXPECT_EQ(p.depth, 3u);
  EXPECT_TRUE(std::ranges::equal(p.scope, scope));
  EXPECT_EQ(p.caveats.not_after, 200u);
  EXPECT_EQ(p.caveats.not_before, 5u);

  // One not-after and a stray byte: the summary keeps the record.
  const Bytes stray = payload(scope, cat({caveat(2, 42), B({1})}));
  p = parse_payload(stray);
  ASSERT_EQ(p.problem, Problem::None);
  EXPECT_EQ(p.caveats.not_after, 42u);
  EXPECT_FALSE(p.caveats.not_before);
}

}  // namespace
}  // namespace vestrel
