// The portable and AVX2 ML-DSA-65 backends compute one function. On thousands
// of random seeds and messages they must agree on the expanded key (every
// intermediate the signer keeps), the public key, the signature, and the
// outcome of verifying it intact and tampered with.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "bytes.h"
#include "crypto/keccak.h"
#include "crypto/mldsa65.h"
#include "crypto/mldsa65_backend.h"

namespace vestrel::mldsa65 {
namespace {

TEST(MlDsa65Dispatch, RunsAvx2WhereverTheCpuCanUnlessTheBuildForbidsIt) {
#ifdef VESTREL_MLDSA65_FORCE_PORTABLE
  EXPECT_EQ(&active_backend(), &portable::kBackend);
#else
  EXPECT_EQ(&active_backend(), cpu_runs_avx2_backend() ? &avx2::kBackend : &portable::kBackend);
#endif
}

// SplitMix64: a fixed stream, so a failure reproduces from its iteration.
class Random {
 public:
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  void fill(std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(next());
  }

 private:
  std::uint64_t state_ = 0x5EED;
};

// The AVX2 samplers' four-way permutation is four one-way ones, lane for lane:
// on the all-zero and all-one states, then on random ones, each state fed
// back in so that a fault in any round of any lane propagates.
TEST(MlDsa65Backends, FourWayKeccakIsFourOneWayPermutations) {
  if (!cpu_runs_avx2_backend()) GTEST_SKIP() << "this CPU cannot run the avx2 backend";
  Random rng;
  alignas(32) std::uint64_t x4[100];
  std::uint64_t one[4][25];
  for (int trial = 0; trial < 1000; ++trial) {
    SCOPED_TRACE(trial);
    if (trial < 2) {
      std::memset(one, trial == 0 ? 0x00 : 0xFF, sizeof one);
    } else if (trial % 100 == 2) {
      rng.fill(reinterpret_cast<std::uint8_t*>(one), sizeof one);
    }
    for (unsigned l = 0; l < 25; ++l) {
      for (unsigned i = 0; i < 4; ++i) x4[4 * l + i] = one[i][l];
    }
    avx2::keccak_f1600_x4(x4);
    for (auto& state : one) keccak::keccak_f1600(state);
    for (unsigned l = 0; l < 25; ++l) {
      for (unsigned i = 0; i < 4; ++i) ASSERT_EQ(x4[4 * l + i], one[i][l]) << l << " " << i;
    }
  }
}

struct Signer {
  std::unique_ptr<ExpandedKey> sk = std::make_unique<ExpandedKey>();
  std::array<std::uint8_t, kPublicKeyBytes> pk{};
  std::array<std::uint8_t, kSignatureBytes> sig{};
};

TEST(MlDsa65Backends, AgreeOnRandomKeysMessagesAndTamperedSignatures) {
  if (!cpu_runs_avx2_backend()) GTEST_SKIP() << "this CPU cannot run the avx2 backend";
  const Backend& slow = portable::kBackend;
  const Backend& fast = avx2::kBackend;
  constexpr int kPairs = 2000;
  Random rng;
  Signer a, b;
  int tampered_valid = 0;
  for (int pair = 0; pair < kPairs; ++pair) {
    SCOPED_TRACE(pair);
    std::array<std::uint8_t, kSeedBytes> seed;
    rng.fill(seed.data(), seed.size());
    // Mostly payload-sized messages, now and then empty or the largest.
    const std::size_t sizes[] = {0, 1, 35309, 1965 + rng.below(4096)};
    Bytes msg(sizes[pair % 8 == 0 ? rng.below(3) : 3]);
    rng.fill(msg.data(), msg.size());

    slow.keygen(seed, *a.sk, a.pk);
    fast.keygen(seed, *b.sk, b.pk);
    ASSERT_EQ(a.pk, b.pk);
    ASSERT_EQ(std::memcmp(a.sk.get(), b.sk.get(), sizeof(ExpandedKey)), 0);

    ASSERT_TRUE(slow.sign(*a.sk, msg, a.sig));
    ASSERT_TRUE(fast.sign(*b.sk, msg, b.sig));
    ASSERT_EQ(a.sig, b.sig);
    ASSERT_EQ(slow.verify(a.pk, msg, a.sig), VerifyOutcome::Valid);
    ASSERT_EQ(fast.verify(a.pk, msg, a.sig), VerifyOutcome::Valid);

    // One flipped bit anywhere in the signature: c~, z (which may leave its
    // range) or the hints (which may stop decoding). Both must say the same.
    auto bad = a.sig;
    const std::size_t bit = rng.below(bad.size() * 8);
    bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    const VerifyOutcome expected = slow.verify(a.pk, msg, bad);
    ASSERT_EQ(fast.verify(a.pk, msg, bad), expected) << "bit " << bit;
    tampered_valid += expected == VerifyOutcome::Valid;
  }
  EXPECT_EQ(tampered_valid, 0);
}

}  // namespace
}  // namespace vestrel::mldsa65

namespace vestrel::mldsa65 {
namespace {

// The images of s2 and t0 are made by a key's first signature. However they
// come about (made in place, taken attempt by attempt because another signer
// is making them, or made while other threads sign with the same key), every
// signature is the one the eagerly loaded key gives.
TEST(MlDsa65Images, EveryWayOfComingByThemSignsTheSame) {
  std::vector<const Backend*> backends = {&portable::kBackend};
  if (cpu_runs_avx2_backend()) backends.push_back(&avx2::kBackend);
  for (const Backend* b : backends) {
    SCOPED_TRACE(b->name);
    std::array<std::uint8_t, kSeedBytes> seed;
    seed.fill(0x42);
    Signer fresh;
    b->keygen(seed, *fresh.sk, fresh.pk);
    auto racing = std::make_unique<ExpandedKey>(*fresh.sk);

    constexpr int kMessages = 8;
    std::array<std::array<std::uint8_t, kSignatureBytes>, kMessages> expected, got;
    for (int m = 0; m < kMessages; ++m) {
      const std::array<std::uint8_t, 1> msg = {static_cast<std::uint8_t>(m)};
      ASSERT_TRUE(b->sign(*fresh.sk, msg, expected[m]));  // the first one makes them
    }

    // Another signer is making them: this one must neither wait nor touch them.
    racing->images_state = 1;
    for (int m = 0; m < kMessages; ++m) {
      const std::array<std::uint8_t, 1> msg = {static_cast<std::uint8_t>(m)};
      ASSERT_TRUE(b->sign(*racing, msg, got[m]));
      EXPECT_EQ(got[m], expected[m]) << m;
    }
    EXPECT_EQ(racing->images_state, 1u);

    // Threads that start together on a new key: one makes them, all agree.
    b->keygen(seed, *racing, fresh.pk);
    std::vector<std::thread> threads;
    for (int m = 0; m < kMessages; ++m) {
      threads.emplace_back([&, m] {
        const std::array<std::uint8_t, 1> msg = {static_cast<std::uint8_t>(m)};
        if (!b->sign(*racing, msg, got[m])) got[m].fill(0);
      });
    }
    for (auto& t : threads) t.join();
    for (int m = 0; m < kMessages; ++m) EXPECT_EQ(got[m], expected[m]) << m;
    EXPECT_EQ(std::memcmp(racing.get(), fresh.sk.get(), sizeof(ExpandedKey)), 0);
  }
}

}  // namespace
}  // namespace vestrel::mldsa65

namespace vestrel::mldsa65 {
namespace {

// --- The NTT arithmetic of each backend, against schoolbook products ---------

constexpr std::int64_t kQ = 8380417;
constexpr std::int32_t kMax = 8380416;  // q - 1

struct alignas(32) Coeffs {
  std::int32_t c[kN];
};

std::int64_t mod_q(std::int64_t x) { return ((x % kQ) + kQ) % kQ; }

// a * b in Z_q[X]/(X^256 + 1), coefficients in [0, q).
Coeffs schoolbook(const Coeffs& a, const Coeffs& b) {
  std::int64_t acc[kN] = {};
  for (std::size_t i = 0; i < kN; ++i) {
    for (std::size_t j = 0; j < kN; ++j) {
      const std::int64_t p = mod_q(std::int64_t{a.c[i]} * b.c[j]);
      if (i + j < kN) {
        acc[i + j] += p;
      } else {
        acc[i + j - kN] -= p;  // X^256 = -1
      }
    }
  }
  Coeffs out;
  for (std::size_t i = 0; i < kN; ++i) out.c[i] = static_cast<std::int32_t>(mod_q(acc[i]));
  return out;
}

// Inputs of every shape the signer feeds in, up to the largest magnitude the
// inverse transform accepts (below q): the extremes drive its unreduced sums
// to 256 (q - 1), one step short of overflowing.
Coeffs input(Random& rng, unsigned shape) {
  Coeffs a;
  for (std::size_t i = 0; i < kN; ++i) {
    const std::int32_t uniform = static_cast<std::int32_t>(rng.below(2 * kMax + 1)) - kMax;
    const std::int32_t small = static_cast<std::int32_t>(rng.below(9)) - 4;  // as s1, s2, c
    const std::int32_t monomial = i == shape % kN ? 1 : 0;
    const std::int32_t by_shape[6] = {kMax, -kMax, i % 2 ? kMax : -kMax, small, monomial, uniform};
    a.c[i] = by_shape[shape % 6];
  }
  return a;
}

std::vector<std::pair<const char*, const PolyArithmetic*>> arithmetics() {
  std::vector<std::pair<const char*, const PolyArithmetic*>> out = {
      {"portable", &portable::kPolyArithmetic}};
  if (cpu_runs_avx2_backend()) out.emplace_back("avx2", &avx2::kPolyArithmetic);
  return out;
}

// invntt_tomont(ntt(a) o ntt(b)) is the product a * b itself: the Montgomery
// product's 2^-32 is undone by the inverse's 2^32. Every coefficient must be
// below q in magnitude, which keygen's caddq and signing's reduce32 rely on.
TEST(MlDsa65Ntt, TransformsMultiplyAsSchoolbookDoes) {
  for (const auto& [name, f] : arithmetics()) {
    SCOPED_TRACE(name);
    Random rng;
    for (unsigned trial = 0; trial < 120; ++trial) {
      SCOPED_TRACE(trial);
      const Coeffs a = input(rng, trial), b = input(rng, trial / 6 + 5);
      Coeffs a_hat = a, b_hat = b, product;
      f->ntt(a_hat.c);
      f->ntt(b_hat.c);
      f->pointwise(product.c, a_hat.c, b_hat.c);
      f->invntt_tomont(product.c);
      const Coeffs expected = schoolbook(a, b);
      for (std::size_t i = 0; i < kN; ++i) {
        ASSERT_LT(std::abs(product.c[i]), kQ - 4) << "coefficient " << i;
        ASSERT_EQ(mod_q(product.c[i]), expected.c[i]) << "coefficient " << i;
      }
    }
  }
}

// The expanded key keeps forward images, so the backends' must be the same
// integers in the same order; the inverse, fed anything below q (the extremes
// included), must agree modulo q and stay below q/2 + 2^21.
TEST(MlDsa65Ntt, Avx2TransformsAgreeWithPortableOnes) {
  if (!cpu_runs_avx2_backend()) GTEST_SKIP() << "this CPU cannot run the avx2 backend";
  Random rng;
  for (unsigned trial = 0; trial < 600; ++trial) {
    SCOPED_TRACE(trial);
    const Coeffs a = input(rng, trial);
    Coeffs slow = a, fast = a;
    portable::kPolyArithmetic.ntt(slow.c);
    avx2::kPolyArithmetic.ntt(fast.c);
    ASSERT_EQ(std::memcmp(slow.c, fast.c, sizeof slow.c), 0);

    slow = a, fast = a;
    portable::kPolyArithmetic.invntt_tomont(slow.c);
    avx2::kPolyArithmetic.invntt_tomont(fast.c);
    for (std::size_t i = 0; i < kN; ++i) {
      ASSERT_LT(std::abs(fast.c[i]), kQ / 2 + (1 << 21)) << "coefficient " << i;
      ASSERT_EQ(mod_q(fast.c[i]), mod_q(slow.c[i])) << "coefficient " << i;
    }
  }
}

}  // namespace
}  // namespace vestrel::mldsa65
