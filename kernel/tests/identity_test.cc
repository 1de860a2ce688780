// Identity derivation (HKDF over HMAC-SHA3-512, then seeded key generation)
// and credential issuance.
#include "identity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>

#include "chain_wire.h"
#include "crypto/hkdf.h"
#include "test_bytes.h"
#include "verify.h"

namespace vestrel {
namespace {

using namespace vestrel::testing;

Bytes unhex(std::string_view hex) {
  Bytes out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(2 * i, 2)), nullptr, 16));
  }
  return out;
}

// Expected values below were computed once with Python's hmac and hashlib
// (sha3_512), an implementation that shares nothing with the kernel's, and
// the public key tail with an independent ML-DSA-65 (from_seed_bytes).
const Bytes kMaster = [] {
  Bytes m(SEED_SIZE);
  for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<std::uint8_t>(i);
  return m;
}();
constexpr std::string_view kPrk =
    "ab1c9464455c4b9871bc59f9d4e423f7e932a3c79aaf0865ab2fb7d62928815f"
    "26f0b56c26f4be4b65de0f269208e4551a697c3182f789e132bf2a2bf4d09299";

std::span<const std::uint8_t, SEED_SIZE> master_view(const Bytes& m) {
  return std::span<const std::uint8_t, SEED_SIZE>(m.data(), SEED_SIZE);
}

Bytes hkdf_okm(const Bytes& prk_bytes, std::initializer_list<ByteView> info, std::size_t len) {
  Bytes out(len);
  const std::vector<ByteView> parts(info);
  auto r =
      hkdf::expand(std::span<const std::uint8_t, hkdf::kHashLen>(prk_bytes.data(), 64), parts, out);
  EXPECT_TRUE(r);
  return out;
}

TEST(Hkdf, MatchesAnIndependentHmacSha3_512) {
  std::array<std::uint8_t, hkdf::kHashLen> prk{};
  hkdf::extract(S("Vestrel-Kernel-v1"), kMaster, prk);
  EXPECT_EQ(Bytes(prk.begin(), prk.end()), unhex(kPrk));
  // An absent salt is HashLen zero bytes, the same MAC as an empty key.
  hkdf::extract({}, kMaster, prk);
  EXPECT_EQ(Bytes(prk.begin(), prk.end()),
            unhex("0f20035ee652b209d9581f2030f1e1aa57d6eb2707ae9e80955a1a1dcfc75684"
                  "9eff3adb206a6a08167c53af2b36da54207cf7c51d6e1d36c8c3c85b1bd7195b"));

  const Bytes prk_bytes = unhex(kPrk);
  const Bytes okm150 = unhex(
      "2ebc5d612fdb3f923946e874c2580e6a03130a46d17c4e3e01bdec3c73c18cb8d0ac04ef79ce0ddda0a0fb0d2f70"
      "7f"
      "2042c7a6e495b30d5b3a43289bd5e1e5e5d3675539be08a487833d95f9063781a9927c2f56c5b278de109271a06e"
      "f4"
      "fe47faeb152921042a59449e31afea30b4fedbe8c7c02fa253b58a566cb5c597b4a10ce18bc4fdee5d333f01d68d"
      "8b"
      "672e076f863aeeed88");
  // T(2) and T(3) chain on the previous block; the info may come in pieces.
  EXPECT_EQ(hkdf_okm(prk_bytes, {S("prod:signing")}, 150), okm150);
  EXPECT_EQ(hkdf_okm(prk_bytes, {S("pr"), {}, S("od:sign"), S("ing")}, 32),
            Bytes(okm150.begin(), okm150.begin() + 32));
  // 100 KiB on each side of the separator: labels have no size limit.
  const Bytes deployment(100 * 1024, 'd'), context(100 * 1024, 'c');
  EXPECT_EQ(hkdf_okm(prk_bytes, {deployment, S(":"), context}, 32),
            unhex("1a5750bd2a4199898b1245380884715a84fa5af4d2d2dbcafdb249faf38b22e7"));
}

TEST(Hkdf, OutputLengthLimit) {
  const Bytes prk = unhex(kPrk);
  const std::span<const std::uint8_t, 64> prk_view(prk.data(), 64);
  Bytes out(255 * 64);
  EXPECT_TRUE(hkdf::expand(prk_view, {}, out));
  out.push_back(0);
  auto r = hkdf::expand(prk_view, {}, out);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), crypto::Error::OutputTooLong);
}

std::unique_ptr<Identity> derive(const Bytes& master, const Bytes& deployment,
                                 const Bytes& context) {
  auto id = std::make_unique<Identity>();
  EXPECT_TRUE(derive_identity(master_view(master), deployment, context, *id));
  return id;
}

TEST(DeriveIdentity, IsKeyGenerationFromTheHkdfOutput) {
  auto id = derive(kMaster, S("prod"), S("signing"));
  auto expected = std::make_unique<Identity>();
  const Bytes xi = unhex("2ebc5d612fdb3f923946e874c2580e6a03130a46d17c4e3e01bdec3c73c18cb8");
  mldsa65::keygen(std::span<const std::uint8_t, 32>(xi.data(), 32), expected->signing_key,
                  expected->public_key);
  EXPECT_EQ(pk_of(*id), pk_of(*expected));
  EXPECT_EQ(std::memcmp(&id->signing_key, &expected->signing_key, sizeof(mldsa65::ExpandedKey)), 0);
  EXPECT_EQ(Bytes(id->public_key.end() - 16, id->public_key.end()),
            unhex("0e9478da28407beabce9f44d75043af7"));

  const Bytes big(100 * 1024, 'x');
  EXPECT_EQ(pk_of(*derive(kMaster, big, big)), pk_of(*derive(kMaster, big, big)));
}

TEST(DeriveIdentity, InfoIsThePlainConcatenationOfTheLabels) {
  Bytes flipped_master = kMaster;
  flipped_master[31] ^= 0x80;
  struct Row {
    const char* what;
    Bytes m1, d1, c1, m2, d2, c2;
    bool same;
  } rows[] = {
      {"separator may sit in either label", kMaster, S("a:b"), S("c"), kMaster, S("a"), S("b:c"),
       true},
      {"the separator is always added", kMaster, S("ab"), {}, kMaster, S("a"), S("b"), false},
      {"empty labels contribute nothing", kMaster, {}, S(":"), kMaster, S(":"), {}, true},
      {"one master bit", kMaster, S("d"), S("c"), flipped_master, S("d"), S("c"), false},
      {"one deployment bit", kMaster, S("d"), S("c"), kMaster, S("e"), S("c"), false},
      {"one context bit", kMaster, S("d"), S("c"), kMaster, S("d"), S("b"), false},
      {"all-zero master is an ordinary seed", Bytes(32, 0), {}, {}, Bytes(32, 0), {}, {}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(pk_of(*derive(row.m1, row.d1, row.c1)) == pk_of(*derive(row.m2, row.d2, row.c2)),
              row.same);
  }
}

TEST(DeriveIdentity, WipeLeavesTheKeyStorageAllZero) {
  auto id = derive(kMaster, S("prod"), S("signing"));
  wipe_identity(*id);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(id.get());
  EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(Identity), [](std::uint8_t b) { return b == 0; }));
}

class IssueCredential : public ::testing::Test {
 protected:
  std::unique_ptr<Identity> issuer_ = derive(kMaster, S("prod"), S("root"));
  Bytes child_ = pk_of(*derive(kMaster, S("prod"), S("child")));
  PublicKeyView child_pk() const { return PublicKeyView(child_.data(), PK_SIZE); }
};

TEST_F(IssueCredential, ChecksScopeThenCaveatsThenDepth) {
  const Bytes scope = perm("docs", "read");
  struct Row {
    const char* what;
    Bytes scope, caveats;
    std::uint32_t depth;
    std::optional<KernelError> error;
  } rows[] = {
      {"empty scope beats oversized caveats", {}, Bytes(577, 1), 17, KernelError::ScopeEmpty},
      {"overrunning record", B({5, 'a'}), {}, 1, KernelError::WireInvalid},
      {"65 records", repeat(perm("", ""), 65), {}, 1, KernelError::ScopeTooLarge},
      {"577 caveat bytes", scope, Bytes(577, 1), 17, KernelError::CaveatsTooLarge},
      {"partial caveat beats depth", scope, Bytes(10, 1), 17, KernelError::MalformedCaveatBuffer},
      {"unknown tag", scope, caveat(3, 0), 1, KernelError::MalformedCaveatBuffer},
      {"depth 17", scope, caveat(2, 9), 17, KernelError::ChainTooDeep},
      {"depth 2^32-1", scope, {}, 0xFFFFFFFFu, KernelError::ChainTooDeep},
      {"depth 0 has no lower bound", scope, {}, 0, std::nullopt},
      {"depth 16, 64 records", repeat(perm("", ""), 64), {}, 16, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto r = issue_credential(*issuer_, child_pk(), Role::Node, row.depth, row.scope, row.caveats);
    ASSERT_EQ(r.has_value(), !row.error);
    if (row.error) {
      EXPECT_EQ(r.error(), *row.error);
    }
  }
}

TEST_F(IssueCredential, SignsTheEncodedPayloadDeterministically) {
  const Bytes scope = cat({perm("docs", "*"), perm("*", "read")});
  const Bytes caveats = cat({caveat(1, 100), caveat(2, 200)});
  auto first = issue_credential(*issuer_, child_pk(), Role::Leaf, 1, scope, caveats);
  auto again = issue_credential(*issuer_, child_pk(), Role::Leaf, 1, scope, caveats);
  ASSERT_TRUE(first && again);
  EXPECT_EQ(first->payload, encode_payload(child_pk(), Role::Leaf, 1, scope, caveats));
  EXPECT_EQ(again->payload, first->payload);
  EXPECT_EQ(again->sig, first->sig);
  EXPECT_EQ(mldsa65::verify(public_key(*issuer_), first->payload, first->sig),
            mldsa65::VerifyOutcome::Valid);

  // The credential closes a one-link chain from the issuer as root.
  const CredentialView cred{public_key(*issuer_), first->sig, first->payload};
  auto wire = encode_chain(std::span<const CredentialView>(&cred, 1));
  ASSERT_TRUE(wire);
  auto count = verify_delegation(public_key(*issuer_), *wire, 150);
  ASSERT_TRUE(count);
  EXPECT_EQ(*count, 1u);
}

}  // namespace
}  // namespace vestrel
