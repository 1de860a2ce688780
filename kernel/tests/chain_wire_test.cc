#include "chain_wire.h"

#include <gtest/gtest.h>

#include <optional>

#include "test_bytes.h"

namespace vestrel {
namespace {

using namespace vestrel::testing;

struct OwnedCredential {
  Bytes issuer_pk, sig, payload;
  CredentialView view() const {
    return {PublicKeyView(issuer_pk.data(), PK_SIZE), SignatureView(sig.data(), SIG_SIZE),
            payload};
  }
};

OwnedCredential credential(std::uint8_t fill, std::size_t payload_len) {
  return {Bytes(PK_SIZE, fill), Bytes(SIG_SIZE, std::uint8_t(fill + 1)),
          Bytes(payload_len, std::uint8_t(fill + 2))};
}

Bytes record(const OwnedCredential& c) {
  return cat({c.issuer_pk, c.sig, u32le(std::uint32_t(c.payload.size())), c.payload});
}

Bytes header(std::uint32_t count) { return cat({B({1}), u32le(count)}); }

std::optional<KernelError> decode_error(const Bytes& wire) {
  auto r = decode_chain(wire);
  if (r) return std::nullopt;
  return r.error();
}

TEST(DecodeChain, HeaderAndRecordChecksInOrder) {
  const OwnedCredential c = credential(1, 10);
  const Bytes whole = record(c);
  struct Row {
    const char* name;
    Bytes wire;
    std::optional<KernelError> error;
  } rows[] = {
      {"empty", {}, KernelError::WireTruncated},
      {"version 0", B({0}), KernelError::WireVersionMismatch},
      {"version 2", B({2}), KernelError::WireVersionMismatch},
      {"version only", B({1}), KernelError::WireTruncated},
      {"count cut short", B({1, 1, 0, 0}), KernelError::WireTruncated},
      {"count 0", header(0), KernelError::EmptyChain},
      {"count 17, nothing after", header(17), KernelError::ChainTooDeep},
      {"count ff ff ff ff", header(0xffffffff), KernelError::ChainTooDeep},
      {"count 1, no record", header(1), KernelError::WireTruncated},
      {"count 2, one record", cat({header(2), record(c)}), KernelError::WireTruncated},
      {"payload one byte short", cat({header(1), Bytes(whole.begin(), whole.end() - 1)}),
       KernelError::WireTruncated},
      {"payload length ff ff ff ff",
       cat({header(1), c.issuer_pk, c.sig, u32le(0xffffffff), c.payload}),
       KernelError::WireTruncated},
      {"exact", cat({header(1), record(c)}), std::nullopt},
      {"trailing bytes ignored", cat({header(1), record(c), B({9, 9, 9})}), std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(decode_error(row.wire), row.error);
  }
}

TEST(ChainWire, RoundTripsOneToSixteenCredentials) {
  for (std::size_t n = 1; n <= MAX_CHAIN_LEN; ++n) {
    SCOPED_TRACE(n);
    std::vector<OwnedCredential> owned;
    std::vector<CredentialView> views;
    for (std::size_t i = 0; i < n; ++i) owned.push_back(credential(std::uint8_t(i * 3), i * 7));
    for (const auto& o : owned) views.push_back(o.view());
    auto wire = encode_chain(views);
    ASSERT_TRUE(wire);
    std::uint64_t expected_len = WIRE_HEADER_LEN;
    for (const auto& o : owned) expected_len += WIRE_CREDENTIAL_FIXED_LEN + o.payload.size();
    EXPECT_EQ(wire->size(), expected_len);
    auto decoded = decode_chain(*wire);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->count, n);
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_TRUE(std::ranges::equal(decoded->slots[i].issuer_pk, owned[i].issuer_pk));
      EXPECT_TRUE(std::ranges::equal(decoded->slots[i].sig, owned[i].sig));
      EXPECT_TRUE(std::ranges::equal(decoded->slots[i].payload, owned[i].payload));
    }
  }
}

// A decoded chain holds what a wire may: ChainTooDeep for a 17th, as
// decode_chain answers, with the chain left as it was.
TEST(AppendCredential, HoldsWhatAWireMay) {
  const OwnedCredential c = credential(1, 10);
  DecodedChain chain{};
  for (std::size_t n = 1; n <= MAX_CHAIN_LEN; ++n) ASSERT_TRUE(append_credential(chain, c.view()));
  auto full = append_credential(chain, c.view());
  ASSERT_FALSE(full);
  EXPECT_EQ(full.error(), KernelError::ChainTooDeep);
  EXPECT_EQ(chain.count, MAX_CHAIN_LEN);
  EXPECT_EQ(chain.slots[MAX_CHAIN_LEN - 1].payload.data(), c.payload.data());
}

TEST(EncodeChain, WritesWithoutChainRules) {
  auto empty = encode_chain({});
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, header(0));

  OwnedCredential c = credential(5, 0);
  auto one = encode_chain(std::vector<CredentialView>{c.view()});
  ASSERT_TRUE(one);
  EXPECT_EQ(one->size(), 5270u);
  EXPECT_EQ(*one, cat({header(1), record(c)}));

  std::vector<CredentialView> seventeen(17, c.view());
  auto deep = encode_chain(seventeen);
  ASSERT_TRUE(deep);
  EXPECT_EQ(decode_error(*deep), KernelError::ChainTooDeep);
}

TEST(EncodeChain, CapacityIsMaxPayloadPerCredential) {
  struct Row {
    std::vector<std::size_t> payload_lens;
    bool fits;
  } rows[] = {
      {{MAX_PAYLOAD_LEN}, true},
      {{MAX_PAYLOAD_LEN + 1}, false},
      {{40000, 100}, true},
      {{2 * MAX_PAYLOAD_LEN, 0}, true},
      {{2 * MAX_PAYLOAD_LEN + 1, 0}, false},
      {{0, 2 * MAX_PAYLOAD_LEN + 1}, false},
  };
  for (const Row& row : rows) {
    std::vector<OwnedCredential> owned;
    for (std::size_t len : row.payload_lens) owned.push_back(credential(1, len));
    std::vector<CredentialView> views;
    for (const auto& o : owned) views.push_back(o.view());
    auto wire = encode_chain(views);
    EXPECT_EQ(static_cast<bool>(wire), row.fits);
    if (!wire) {
      EXPECT_EQ(wire.error(), KernelError::WireTruncated);
    }
  }
}

}  // namespace
}  // namespace vestrel
