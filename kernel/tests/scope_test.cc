#include "scope.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "test_bytes.h"

namespace vestrel {
namespace {

using namespace vestrel::testing;

std::optional<KernelError> scope_error(const Bytes& scope) {
  auto r = validate_scope(scope);
  if (r) return std::nullopt;
  return r.error();
}

TEST(PermTlv, EncodesLengthPrefixedFields) {
  struct Row {
    std::size_t resource_len, verb_len;
    std::optional<KernelError> error;
  } rows[] = {
      {0, 0, std::nullopt},
      {255, 255, std::nullopt},
      {256, 0, KernelError::ResourceTooLong},
      {256, 256, KernelError::ResourceTooLong},  // the resource is judged first
      {255, 256, KernelError::VerbTooLong},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.resource_len) + "/" + std::to_string(row.verb_len));
    Bytes resource(row.resource_len, 'r');
    Bytes verb(row.verb_len, 'v');
    auto r = perm_tlv(resource, verb);
    if (row.error) {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error(), *row.error);
      continue;
    }
    ASSERT_TRUE(r);
    Bytes expected = cat({B({int(row.resource_len)}), resource, B({int(row.verb_len)}), verb});
    EXPECT_EQ(Bytes(r->view().begin(), r->view().end()), expected);
  }
  auto doc = perm_tlv(S("doc"), S("read"));
  ASSERT_TRUE(doc);
  EXPECT_EQ(Bytes(doc->view().begin(), doc->view().end()), perm("doc", "read"));
}

TEST(ValidateScope, FirstProblemOfTheWalkDecides) {
  const Bytes record = perm("doc", "read");
  struct Row {
    const char* name;
    Bytes scope;
    std::optional<KernelError> error;
  } rows[] = {
      {"empty", {}, KernelError::ScopeEmpty},
      {"lone resource length", B({0x00}), KernelError::WireInvalid},
      {"two empty fields", B({0x00, 0x00}), std::nullopt},
      {"resource overruns", cat({B({0x05}), S("ab")}), KernelError::WireInvalid},
      {"resource ends at the buffer end", cat({B({0x02}), S("ab")}), KernelError::WireInvalid},
      {"verb overruns", cat({B({0x01}), S("a"), B({0x02}), S("b")}), KernelError::WireInvalid},
      {"stray byte after a record", cat({perm("a", ""), B({0x07})}), KernelError::WireInvalid},
      {"64 records", repeat(record, 64), std::nullopt},
      {"64 records and a byte", cat({repeat(record, 64), B({0x00})}), KernelError::ScopeTooLarge},
      {"65 records", repeat(record, 65), KernelError::ScopeTooLarge},
      {"malformed 64th record", cat({repeat(record, 63), B({0x09})}), KernelError::WireInvalid},
      {"largest records", repeat(perm(std::string(255, 'r'), std::string(255, 'v')), 64),
       std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(scope_error(row.scope), row.error);
  }
}

TEST(ScopeEntries, YieldsRecordsInOrderWithDuplicates) {
  Bytes scope = cat({perm("doc", "read"), perm("", ""), perm("doc", "read")});
  ASSERT_TRUE(validate_scope(scope));
  std::vector<std::pair<std::string, std::string>> seen;
  auto entries = scope_entries(scope);
  for (Permission p; entries.next(p);) {
    seen.emplace_back(std::string(p.resource.begin(), p.resource.end()),
                      std::string(p.verb.begin(), p.verb.end()));
  }
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(seen, (std::vector<P>{P{"doc", "read"}, P{"", ""}, P{"doc", "read"}}));
}

TEST(ScopeCovers, WildcardOnlyAsAWholeParentField) {
  struct Row {
    std::string parent_resource, parent_verb, child_resource, child_verb;
    bool covered;
  } rows[] = {
      {"*", "*", "anything", "at-all", true},
      {"*", "*", "", "", true},
      {"docs", "*", "docs", "read", true},
      {"docs", "*", "docs2", "read", false},
      {"doc", "read", "docs", "read", false},
      {"doc", "read", "do", "read", false},
      {"docs", "read", "*", "read", false},
      {"*", "read", "*", "read", true},
      {"**", "read", "ab", "read", false},
      {"**", "read", "**", "read", true},
      {"Docs", "read", "docs", "read", false},
      {"", "read", "", "read", true},
      {"docs", "read", "docs", "write", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.parent_resource + "," + row.parent_verb + " vs " + row.child_resource +
                 "," + row.child_verb);
    Bytes parent = perm(row.parent_resource, row.parent_verb);
    Bytes child = perm(row.child_resource, row.child_verb);
    EXPECT_EQ(static_cast<bool>(scope_covers(child, parent)), row.covered);
  }
}

TEST(ScopeCovers, EveryChildRecordNeedsAMatch) {
  Bytes parent = cat({perm("docs", "read"), perm("mail", "*")});
  EXPECT_TRUE(scope_covers(parent, parent));
  EXPECT_TRUE(scope_covers(cat({perm("mail", "send"), perm("mail", "send")}), parent));
  auto r = scope_covers(cat({perm("docs", "read"), perm("mail", "x"), perm("docs", "write")}),
                        parent);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), KernelError::ScopeEscalation);
}

}  // namespace
}  // namespace vestrel
