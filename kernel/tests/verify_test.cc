#include "verify.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "crypto/mldsa65.h"
#include "identity.h"
#include "test_bytes.h"

// Counts heap allocations while a test has switched counting on, to prove that
// verification itself allocates nothing.
namespace {
std::atomic<bool> g_counting{false};
std::atomic<std::size_t> g_allocations{0};
}  // namespace

void* operator new(std::size_t n) {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace vestrel {
namespace {

using namespace vestrel::testing;

constexpr std::uint64_t kNow = 1'700'000'000;

std::unique_ptr<Identity> make_identity(const std::string& name) {
  auto id = std::make_unique<Identity>();
  std::array<std::uint8_t, SEED_SIZE> master{};
  master[0] = 7;
  Bytes context = S(name);
  EXPECT_TRUE(derive_identity(master, S("verify-tests"), context, *id));
  return id;
}

struct Cred {
  Bytes issuer_pk;
  Bytes sig;
  Bytes payload;
};

// A credential signed over arbitrary payload bytes, so that structural faults
// get past the signature check.
Cred sign_raw(const Identity& issuer, Bytes payload) {
  Cred c{pk_of(issuer), Bytes(SIG_SIZE), std::move(payload)};
  EXPECT_TRUE(mldsa65::sign(issuer.signing_key, c.payload,
                            std::span<std::uint8_t, SIG_SIZE>(c.sig.data(), SIG_SIZE)));
  return c;
}

Bytes raw_payload(const Bytes& child_pk, int role, std::uint32_t depth, const Bytes& scope,
                  const Bytes& caveats) {
  return cat({child_pk, B({role}), u32le(depth), u32le(std::uint32_t(scope.size())), scope,
              u32le(std::uint32_t(caveats.size())), caveats});
}

Cred issue(const Identity& issuer, const Identity& child, Role role, std::uint32_t depth,
           const Bytes& scope, const Bytes& caveats = {}) {
  auto r = issue_credential(issuer, public_key(child), role, depth, scope, caveats);
  EXPECT_TRUE(r);
  return Cred{pk_of(issuer), Bytes(r->sig.begin(), r->sig.end()), r->payload};
}

Bytes wire_of(const std::vector<Cred>& creds) {
  std::vector<CredentialView> views;
  for (const Cred& c : creds) {
    views.push_back({PublicKeyView(c.issuer_pk.data(), PK_SIZE),
                     SignatureView(c.sig.data(), SIG_SIZE), c.payload});
  }
  auto wire = encode_chain(views);
  EXPECT_TRUE(wire);
  return *wire;
}

class VerifyDelegation : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (int i = 0; i < 17; ++i) ids_.push_back(make_identity("id" + std::to_string(i)));
  }
  static void TearDownTestSuite() { ids_.clear(); }

  static const Identity& id(std::size_t i) { return *ids_[i]; }
  static PublicKeyView root() { return public_key(id(0)); }

  static std::optional<KernelError> error_of(const Bytes& wire, std::uint64_t now = kNow) {
    auto r = verify_delegation(root(), wire, now);
    if (r) return std::nullopt;
    return r.error();
  }

  static inline std::vector<std::unique_ptr<Identity>> ids_;
};

const Bytes kAll = perm("*", "*");
const Bytes kDocsRead = perm("docs", "read");

TEST_F(VerifyDelegation, AcceptsWellFormedChains) {
  Bytes one = wire_of({issue(id(0), id(1), Role::Leaf, 1, kDocsRead)});
  EXPECT_EQ(*verify_delegation(root(), one, kNow), 1u);
  EXPECT_EQ(*verify_delegation(root(), cat({one, B({1, 2, 3})}), kNow), 1u);

  std::vector<Cred> chain;
  for (std::uint32_t depth = 1; depth <= 16; ++depth) {
    Role role = depth == 16 ? Role::Leaf : Role::Node;
    chain.push_back(issue(id(depth - 1), id(depth), role, depth, kAll, caveat(2, kNow)));
  }
  EXPECT_EQ(*verify_delegation(root(), wire_of(chain), kNow), 16u);

  // A credential may name its own issuer as child; the next one is then
  // checked against that same key.
  Bytes self = wire_of(
      {issue(id(0), id(0), Role::Node, 1, kAll), issue(id(0), id(2), Role::Leaf, 2, kDocsRead)});
  EXPECT_EQ(*verify_delegation(root(), self, kNow), 2u);
}

TEST_F(VerifyDelegation, EachRuleAlone) {
  const Bytes pk1 = pk_of(id(1));
  struct Row {
    const char* name;
    std::function<Bytes()> wire;
    std::optional<KernelError> error;
    std::uint64_t now = kNow;
  } rows[] = {
      {"empty wire", [] { return Bytes{}; }, KernelError::WireTruncated},
      {"version 2", [] { return B({2}); }, KernelError::WireVersionMismatch},
      {"count 0",
       [] {
         return B({1, 0, 0, 0, 0});
       },
       KernelError::EmptyChain},
      {"count 17",
       [] {
         return B({1, 17, 0, 0, 0});
       },
       KernelError::ChainTooDeep},
      {"issuer is not the root", [] { return wire_of({issue(id(1), id(2), Role::Leaf, 1, kAll)}); },
       KernelError::ParentKeyMismatch},
      {"leaf delegates",
       [] {
         return wire_of(
             {issue(id(0), id(1), Role::Leaf, 1, kAll), issue(id(1), id(2), Role::Leaf, 2, kAll)});
       },
       KernelError::LeafCannotDelegate},
      {"depth 2 first", [] { return wire_of({issue(id(0), id(1), Role::Leaf, 2, kAll)}); },
       KernelError::DepthMismatch},
      {"depth 0 first", [] { return wire_of({issue(id(0), id(1), Role::Leaf, 0, kAll)}); },
       KernelError::DepthMismatch},
      {"depths 1, 3",
       [] {
         return wire_of(
             {issue(id(0), id(1), Role::Node, 1, kAll), issue(id(1), id(2), Role::Leaf, 3, kAll)});
       },
       KernelError::DepthMismatch},
      {"scope escalation",
       [] {
         return wire_of(
             {issue(id(0), id(1), Role::Node, 1, kDocsRead),
              issue(id(1), id(2), Role::Leaf, 2, cat({kDocsRead, perm("docs", "write")}))});
       },
       KernelError::ScopeEscalation},
      {"not-before at now",
       [] { return wire_of({issue(id(0), id(1), Role::Leaf, 1, kAll, caveat(1, kNow))}); },
       std::nullopt},
      {"one second before not-before",
       [] { return wire_of({issue(id(0), id(1), Role::Leaf, 1, kAll, caveat(1, kNow + 1))}); },
       KernelError::NotBeforeViolation},
      {"one second after not-after",
       [] { return wire_of({issue(id(0), id(1), Role::Leaf, 1, kAll, caveat(2, kNow - 1))}); },
       KernelError::NotAfterViolation},
      {"signed role byte 2",
       [pk1] { return wire_of({sign_raw(id(0), raw_payload(pk1, 2, 1, kAll, {}))}); },
       KernelError::InvalidRoleByte},
      {"signed short payload",
       [pk1] { return wire_of({sign_raw(id(0), Bytes(pk1.begin(), pk1.end()))}); },
       KernelError::WireTruncated},
      {"signed byte after caveats",
       [pk1] {
         return wire_of({sign_raw(id(0), cat({raw_payload(pk1, 0, 1, kAll, {}), B({0})}))});
       },
       KernelError::WireInvalid},
      {"signed empty scope",
       [pk1] { return wire_of({sign_raw(id(0), raw_payload(pk1, 0, 1, {}, {}))}); },
       KernelError::ScopeEmpty},
      {"signed caveats of 577 bytes",
       [pk1] { return wire_of({sign_raw(id(0), raw_payload(pk1, 0, 1, kAll, Bytes(577, 1)))}); },
       KernelError::CaveatsTooLarge},
      {"signed caveats of 10 bytes",
       [pk1] { return wire_of({sign_raw(id(0), raw_payload(pk1, 0, 1, kAll, Bytes(10, 1)))}); },
       KernelError::MalformedCaveatBuffer},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(error_of(row.wire(), row.now), row.error);
  }
}

TEST_F(VerifyDelegation, TamperingIsCaughtByTheSignature) {
  const Cred good = issue(id(0), id(1), Role::Leaf, 1, kDocsRead, caveat(2, kNow));
  for (std::size_t at : {std::size_t{0}, PK_SIZE, good.payload.size() - 1}) {
    Cred bad = good;
    bad.payload[at] ^= 0x01;
    EXPECT_EQ(error_of(wire_of({bad})), KernelError::SignatureInvalid) << "payload byte " << at;
  }
  for (std::size_t at : {std::size_t{0}, std::size_t{47}}) {
    Cred bad = good;
    bad.sig[at] ^= 0x80;
    EXPECT_EQ(error_of(wire_of({bad})), KernelError::SignatureInvalid) << "sig byte " << at;
  }
  // The last bytes of a signature hold the hint counts; a count that exceeds
  // the hint limit does not decode.
  Cred bad = good;
  bad.sig[SIG_SIZE - 1] = 0xff;
  EXPECT_EQ(error_of(wire_of({bad})), KernelError::SignatureDecodingFailed);
}

// Each row breaks two or more rules; the one checked first must be reported.
TEST_F(VerifyDelegation, FirstBrokenRuleWins) {
  struct Row {
    const char* name;
    std::function<Bytes()> wire;
    KernelError error;
    int index;  // the credential verify_chain names; -1 for the wire as a whole
  } rows[] = {
      {"leaf parent and wrong issuer",
       [] {
         return wire_of(
             {issue(id(0), id(1), Role::Leaf, 1, kAll), issue(id(2), id(3), Role::Leaf, 2, kAll)});
       },
       KernelError::ParentKeyMismatch, 1},
      {"expired first, bad signature second",
       [] {
         Cred second = issue(id(1), id(2), Role::Leaf, 2, kAll);
         second.sig[5] ^= 1;
         return wire_of({issue(id(0), id(1), Role::Node, 1, kAll, caveat(2, kNow - 10)), second});
       },
       KernelError::NotAfterViolation, 0},
      {"bad first signature, truncated third",
       [] {
         Cred first = issue(id(0), id(1), Role::Node, 1, kAll);
         first.sig[0] ^= 1;
         Bytes wire = wire_of({first, issue(id(1), id(2), Role::Node, 2, kAll),
                               issue(id(2), id(3), Role::Leaf, 3, kAll)});
         wire.resize(wire.size() - 1);
         return wire;
       },
       KernelError::WireTruncated, -1},
      {"count 3 holding 2, first not from root",
       [] {
         Bytes wire = wire_of(
             {issue(id(5), id(1), Role::Node, 1, kAll), issue(id(1), id(2), Role::Leaf, 2, kAll)});
         wire[1] = 3;
         return wire;
       },
       KernelError::WireTruncated, -1},
      {"wrong issuer and bad signature",
       [] {
         Cred c = issue(id(3), id(1), Role::Leaf, 1, kAll);
         c.sig[0] ^= 1;
         return wire_of({c});
       },
       KernelError::ParentKeyMismatch, 0},
      {"leaf parent and bad signature",
       [] {
         Cred second = issue(id(1), id(2), Role::Leaf, 2, kAll);
         second.sig[0] ^= 1;
         return wire_of({issue(id(0), id(1), Role::Leaf, 1, kAll), second});
       },
       KernelError::LeafCannotDelegate, 1},
      {"bad role byte and wrong depth",
       [] { return wire_of({sign_raw(id(0), raw_payload(pk_of(id(1)), 7, 9, kAll, {}))}); },
       KernelError::InvalidRoleByte, 0},
      {"empty scope and bad caveats",
       [] { return wire_of({sign_raw(id(0), raw_payload(pk_of(id(1)), 0, 1, {}, Bytes(10, 0)))}); },
       KernelError::ScopeEmpty, 0},
      {"bad caveats and wrong depth",
       [] {
         return wire_of({sign_raw(id(0), raw_payload(pk_of(id(1)), 0, 5, kAll, Bytes(9, 3)))});
       },
       KernelError::MalformedCaveatBuffer, 0},
      {"wrong depth and escalation",
       [] {
         return wire_of({issue(id(0), id(1), Role::Node, 1, kDocsRead),
                         issue(id(1), id(2), Role::Leaf, 3, kAll)});
       },
       KernelError::DepthMismatch, 1},
      {"escalation and expiry",
       [] {
         return wire_of({issue(id(0), id(1), Role::Node, 1, kDocsRead),
                         issue(id(1), id(2), Role::Leaf, 2, kAll, caveat(2, 0))});
       },
       KernelError::ScopeEscalation, 1},
      {"not-after then not-before records",
       [] {
         return wire_of({issue(id(0), id(1), Role::Leaf, 1, kAll,
                               cat({caveat(2, kNow - 1), caveat(1, kNow + 1)}))});
       },
       KernelError::NotAfterViolation, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Bytes wire = row.wire();
    EXPECT_EQ(error_of(wire), row.error);
    auto verified = verify_chain(root(), wire, kNow);
    ASSERT_FALSE(verified);
    EXPECT_EQ(verified.error().error, row.error);
    EXPECT_EQ(verified.error().index,
              row.index < 0 ? std::nullopt : std::optional<std::uint32_t>(row.index));
  }
}

TEST_F(VerifyDelegation, AuthorityIsTheLastCredentialWithTheStrictestWindow) {
  // Several records of each kind per credential, the strictest in the middle
  // credential and in no particular position within it.
  const Bytes first = cat({caveat(1, kNow - 50), caveat(2, kNow + 90), caveat(1, kNow - 70)});
  const Bytes second = cat(
      {caveat(2, kNow + 100), caveat(1, kNow - 10), caveat(2, kNow + 40), caveat(1, kNow - 20)});
  const Bytes wire = wire_of({issue(id(0), id(1), Role::Node, 1, kAll, first),
                              issue(id(1), id(2), Role::Node, 2, kAll, second),
                              issue(id(2), id(3), Role::Leaf, 3, kDocsRead)});
  auto verified = verify_chain(root(), wire, kNow);
  ASSERT_TRUE(verified);
  EXPECT_EQ(verified->count, 3u);
  EXPECT_TRUE(std::ranges::equal(verified->holder_pk, public_key(id(3))));
  EXPECT_EQ(verified->role, Role::Leaf);
  EXPECT_EQ(verified->depth, 3u);
  EXPECT_TRUE(std::ranges::equal(verified->scope, kDocsRead));
  EXPECT_EQ(verified->not_before, kNow - 10);
  EXPECT_EQ(verified->not_after, kNow + 40);
  // The window is exactly where verification passes.
  for (std::uint64_t now : {kNow - 11, kNow - 10, kNow + 40, kNow + 41}) {
    EXPECT_EQ(verify_delegation(root(), wire, now).has_value(),
              now >= kNow - 10 && now <= kNow + 40);
  }

  auto unbounded = verify_chain(root(), wire_of({issue(id(0), id(1), Role::Leaf, 1, kAll)}), kNow);
  ASSERT_TRUE(unbounded);
  EXPECT_EQ(unbounded->not_before, std::nullopt);
  EXPECT_EQ(unbounded->not_after, std::nullopt);
}

TEST_F(VerifyDelegation, AllocatesNothing) {
  std::vector<Cred> chain;
  for (std::uint32_t depth = 1; depth <= 4; ++depth) {
    chain.push_back(issue(id(depth - 1), id(depth), Role::Node, depth, kAll, caveat(2, kNow)));
  }
  const Bytes wire = wire_of(chain);
  g_allocations = 0;
  g_counting = true;
  auto ok = verify_delegation(root(), wire, kNow);
  auto bad = verify_delegation(root(), wire, kNow + 1);
  g_counting = false;
  EXPECT_EQ(*ok, 4u);
  EXPECT_FALSE(bad);
  EXPECT_EQ(g_allocations.load(), 0u);
}

}  // namespace
}  // namespace vestrel
