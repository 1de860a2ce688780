#include "holder_proof.h"

#include <gtest/gtest.h>

#include <memory>

#include "crypto/mldsa65.h"
#include "identity.h"
#include "test_bytes.h"

namespace vestrel {
namespace {

using namespace vestrel::testing;

TEST(HolderProof, OnlyTheHoldersProofOverThatChallengeUnderItsOwnContext) {
  auto holder = std::make_unique<Identity>();
  auto other = std::make_unique<Identity>();
  std::array<std::uint8_t, SEED_SIZE> master{};
  ASSERT_TRUE(derive_identity(master, S("proof-tests"), S("holder"), *holder));
  ASSERT_TRUE(derive_identity(master, S("proof-tests"), S("other"), *other));
  const Bytes challenge = S("GET /docs 1750000000");

  auto proof = make_holder_proof(*holder, challenge);
  ASSERT_TRUE(proof);
  auto again = make_holder_proof(*holder, challenge);
  ASSERT_TRUE(again);
  EXPECT_EQ(*proof, *again);  // deterministic
  EXPECT_TRUE(check_holder_proof(public_key(*holder), challenge, *proof));
  EXPECT_FALSE(check_holder_proof(public_key(*other), challenge, *proof));
  EXPECT_FALSE(check_holder_proof(public_key(*holder), S("GET /docs 1750000001"), *proof));
  // Not a credential signature over the same bytes, nor the other way round.
  EXPECT_EQ(mldsa65::verify(public_key(*holder), challenge, *proof),
            mldsa65::VerifyOutcome::DoesNotVerify);
  std::array<std::uint8_t, SIG_SIZE> plain{};
  ASSERT_TRUE(mldsa65::sign(holder->signing_key, challenge, plain));
  EXPECT_FALSE(check_holder_proof(public_key(*holder), challenge, plain));
  // Undecodable bytes are simply not a proof.
  std::array<std::uint8_t, SIG_SIZE> junk;
  junk.fill(0xFF);
  EXPECT_FALSE(check_holder_proof(public_key(*holder), challenge, junk));
}

}  // namespace
}  // namespace vestrel
