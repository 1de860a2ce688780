// The portable, AVX2 and AVX-512 ML-DSA-65 backends compute one function. On
// thousands of random seeds and messages they must agree on the expanded key
// (every intermediate the signer keeps), the public key, the signature, and
// the outcome of verifying it intact and tampered with. The dispatch that
// picks one is checked here too, on every combination of CPU features.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "bytes.h"
#include "crypto/keccak.h"
#include "crypto/mldsa65.h"
#include "crypto/mldsa65_backend.h"
#include "test_backends.h"

namespace vestrel::mldsa65 {
namespace {

// The widest backend the build lets a CPU with these features run.
const Backend& expected_backend(std::uint32_t features) {
  const bool avx512 = (features & kAvx512BackendNeeds) == kAvx512BackendNeeds;
  const bool avx2 = (features & kAvx2BackendNeeds) == kAvx2BackendNeeds;
#if defined(VESTREL_MLDSA65_FORCE_PORTABLE) || !VESTREL_MLDSA65_HAS_AVX2_BACKEND
  (void)avx512, (void)avx2;
  return portable::kBackend;
#elif defined(VESTREL_MLDSA65_FORCE_AVX2)
  (void)avx512;
  return avx2 ? avx2::kBackend : portable::kBackend;
#else
  return avx512 ? avx512::kBackend : avx2 ? avx2::kBackend : portable::kBackend;
#endif
}

TEST(MlDsa65Dispatch, RunsTheWidestBackendTheCpuCanUnlessTheBuildCapsIt) {
  EXPECT_EQ(&active_backend(), &expected_backend(cpu_features()));
#ifdef VESTREL_MLDSA65_FORCE_PORTABLE
  EXPECT_EQ(&active_backend(), &portable::kBackend);
#elif defined(VESTREL_MLDSA65_FORCE_AVX2)
  EXPECT_EQ(&active_backend(), cpu_runs_avx2_backend() ? &avx2::kBackend : &portable::kBackend);
#else
  EXPECT_EQ(&active_backend(), cpu_runs_avx512_backend() ? &avx512::kBackend
                               : cpu_runs_avx2_backend() ? &avx2::kBackend
                                                         : &portable::kBackend);
#endif
}

// Every subset of the ten feature bits, as a CPU (or a hypervisor masking
// CPUID, or an OS that does not save the wider registers) may report them: a
// backend is chosen only when every one of its needs is met, a missing
// instruction set or register state falls back to the next narrower one.
TEST(MlDsa65Dispatch, PicksByEveryCombinationOfCpuFeatures) {
  constexpr std::uint32_t kAllBits = (kOsSavesZmm << 1) - 1;
  static_assert((kAvx512BackendNeeds | kAllBits) == kAllBits);
  for (std::uint32_t features = 0; features <= kAllBits; ++features) {
    SCOPED_TRACE(features);
    ASSERT_EQ(&backend_for(features), &expected_backend(features));
  }
  // The rows that matter most, spelled out.
  struct Row {
    std::uint32_t features;
    const char* backend;
  };
  const Row rows[] = {
      {0, "portable"},
      {kAvx2BackendNeeds & ~kOsSavesYmm, "portable"},
      {kAvx512BackendNeeds & ~kOsSavesYmm, "portable"},
      {kAvx2BackendNeeds, "avx2"},
      {kAvx512BackendNeeds & ~kOsSavesZmm, "avx2"},
      {kAvx512BackendNeeds & ~kCpuAvx512vl, "avx2"},
      {kAvx512BackendNeeds & ~kCpuAvx512bw, "avx2"},
      {kAvx512BackendNeeds & ~kCpuAvx512dq, "avx2"},
      {kAvx512BackendNeeds & ~kCpuAvx512f, "avx2"},
      {kAvx512BackendNeeds, "avx512"},
  };
#if defined(VESTREL_MLDSA65_FORCE_PORTABLE) || !VESTREL_MLDSA65_HAS_AVX2_BACKEND
  const auto capped = [](std::string_view) { return std::string_view("portable"); };
#elif defined(VESTREL_MLDSA65_FORCE_AVX2)
  const auto capped = [](std::string_view name) {
    return name == "avx512" ? std::string_view("avx2") : name;
  };
#else
  const auto capped = [](std::string_view name) { return name; };
#endif
  for (const Row& row : rows) {
    SCOPED_TRACE(row.features);
    EXPECT_EQ(std::string_view(backend_for(row.features).name), capped(row.backend));
  }
}

#if defined(__x86_64__)
// cpu_features() reads CPUID and XCR0 itself; libgcc's reading of the same
// registers must agree on every bit the two share (libgcc too reports AVX2
// and AVX-512 only where the OS saves their registers).
TEST(MlDsa65Dispatch, ReadsTheCpuFeaturesAsLibgccDoes) {
  __builtin_cpu_init();
  const std::uint32_t got = cpu_features();
  struct Row {
    std::uint32_t bit;
    bool libgcc;
  };
  const Row rows[] = {
      {kCpuAvx2, __builtin_cpu_supports("avx2") != 0},
      {kCpuBmi1, __builtin_cpu_supports("bmi") != 0},
      {kCpuBmi2, __builtin_cpu_supports("bmi2") != 0},
      {kCpuPopcnt, __builtin_cpu_supports("popcnt") != 0},
      {kCpuAvx512f, __builtin_cpu_supports("avx512f") != 0},
      {kCpuAvx512vl, __builtin_cpu_supports("avx512vl") != 0},
      {kCpuAvx512bw, __builtin_cpu_supports("avx512bw") != 0},
      {kCpuAvx512dq, __builtin_cpu_supports("avx512dq") != 0},
  };
  for (const Row& row : rows) {
    // libgcc drops an instruction set whose registers the OS does not save.
    const std::uint32_t state = row.bit >= kCpuAvx512f ? kOsSavesZmm : kOsSavesYmm;
    const bool ours = (got & row.bit) != 0 && (row.bit == kCpuPopcnt || row.bit == kCpuBmi1 ||
                                               row.bit == kCpuBmi2 || (got & state) != 0);
    EXPECT_EQ(ours, row.libgcc) << "feature bit " << row.bit;
  }
  EXPECT_EQ(cpu_runs_avx512_backend(), (got & kAvx512BackendNeeds) == kAvx512BackendNeeds);
  EXPECT_EQ(cpu_runs(avx2::kBackend), cpu_runs_avx2_backend());
  EXPECT_EQ(cpu_runs(avx512::kBackend), cpu_runs_avx512_backend());
  EXPECT_TRUE(cpu_runs(portable::kBackend));
}
#endif

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

// The samplers' four- and eight-way permutations are that many one-way ones,
// lane for lane: on the all-zero and all-one states, then on random ones,
// each state fed back in so that a fault in any round of any lane propagates.
template <unsigned Ways>
void check_against_one_way(void (*permute)(std::uint64_t*)) {
  Random rng;
  alignas(64) std::uint64_t wide[25 * Ways];
  std::uint64_t one[Ways][25];
  for (int trial = 0; trial < 1000; ++trial) {
    SCOPED_TRACE(trial);
    if (trial < 2) {
      std::memset(one, trial == 0 ? 0x00 : 0xFF, sizeof one);
    } else if (trial % 100 == 2) {
      rng.fill(reinterpret_cast<std::uint8_t*>(one), sizeof one);
    }
    for (unsigned l = 0; l < 25; ++l) {
      for (unsigned i = 0; i < Ways; ++i) wide[Ways * l + i] = one[i][l];
    }
    permute(wide);
    for (auto& state : one) keccak::keccak_f1600(state);
    for (unsigned l = 0; l < 25; ++l) {
      for (unsigned i = 0; i < Ways; ++i) ASSERT_EQ(wide[Ways * l + i], one[i][l]) << l << " " << i;
    }
  }
}

TEST(MlDsa65Backends, FourWayKeccakIsFourOneWayPermutations) {
  if (!cpu_runs_avx2_backend()) GTEST_SKIP() << "this CPU cannot run the avx2 backend";
  check_against_one_way<4>(avx2::keccak_f1600_x4);
}

TEST(MlDsa65Backends, Avx512KeccakIsFourAndEightOneWayPermutations) {
  if (!cpu_runs_avx512_backend()) {
    GTEST_SKIP() << "this CPU (or the OS) cannot run the avx512 backend: it needs AVX-512 F, VL, "
                    "BW and DQ, and the opmask and zmm state saved";
  }
  {
    SCOPED_TRACE("four-way");
    check_against_one_way<4>(avx512::keccak_f1600_x4);
  }
  {
    SCOPED_TRACE("eight-way");
    check_against_one_way<8>(avx512::keccak_f1600_x8);
  }
}

struct Signer {
  std::unique_ptr<ExpandedKey> sk = std::make_unique<ExpandedKey>();
  std::array<std::uint8_t, kPublicKeyBytes> pk{};
  std::array<std::uint8_t, kSignatureBytes> sig{};
};

#if defined(__x86_64__)
// The vector registers as an operation leaves them, all that the CPU has:
// xmm0-15, ymm0-15 where it has AVX, zmm0-31 and the opmask registers k0-7
// where it has AVX-512. Called right after the operation, before any other
// code can use them.
constexpr std::size_t kRegisterStateBytes = 32 * 64 + 8 * 8;

[[gnu::noinline]] void read_xmm(std::uint8_t* out) noexcept {
  asm volatile(
      "movdqu %%xmm0, 0(%0)\n\tmovdqu %%xmm1, 16(%0)\n\tmovdqu %%xmm2, 32(%0)\n\tmovdqu %%xmm3, "
      "48(%0)\n\t"
      "movdqu %%xmm4, 64(%0)\n\tmovdqu %%xmm5, 80(%0)\n\tmovdqu %%xmm6, 96(%0)\n\tmovdqu %%xmm7, "
      "112(%0)\n\t"
      "movdqu %%xmm8, 128(%0)\n\tmovdqu %%xmm9, 144(%0)\n\tmovdqu %%xmm10, 160(%0)\n\tmovdqu "
      "%%xmm11, 176(%0)\n\t"
      "movdqu %%xmm12, 192(%0)\n\tmovdqu %%xmm13, 208(%0)\n\tmovdqu %%xmm14, 224(%0)\n\tmovdqu "
      "%%xmm15, 240(%0)\n\t"
      :
      : "r"(out)
      : "memory");
}
[[gnu::noinline, gnu::target("avx2")]] void read_ymm(std::uint8_t* out) noexcept {
  asm volatile(
      "vmovdqu %%ymm0, 0(%0)\n\tvmovdqu %%ymm1, 32(%0)\n\tvmovdqu %%ymm2, 64(%0)\n\t"
      "vmovdqu %%ymm3, 96(%0)\n\tvmovdqu %%ymm4, 128(%0)\n\tvmovdqu %%ymm5, 160(%0)\n\t"
      "vmovdqu %%ymm6, 192(%0)\n\tvmovdqu %%ymm7, 224(%0)\n\tvmovdqu %%ymm8, 256(%0)\n\t"
      "vmovdqu %%ymm9, 288(%0)\n\tvmovdqu %%ymm10, 320(%0)\n\tvmovdqu %%ymm11, 352(%0)\n\t"
      "vmovdqu %%ymm12, 384(%0)\n\tvmovdqu %%ymm13, 416(%0)\n\tvmovdqu %%ymm14, 448(%0)\n\t"
      "vmovdqu %%ymm15, 480(%0)\n\t"
      :
      : "r"(out)
      : "memory");
}
[[gnu::noinline, gnu::target("avx512f,avx512bw")]] void read_zmm(std::uint8_t* out) noexcept {
  asm volatile(
      "vmovdqu64 %%zmm0, 0(%0)\n\tvmovdqu64 %%zmm1, 64(%0)\n\t"
      "vmovdqu64 %%zmm2, 128(%0)\n\tvmovdqu64 %%zmm3, 192(%0)\n\t"
      "vmovdqu64 %%zmm4, 256(%0)\n\tvmovdqu64 %%zmm5, 320(%0)\n\t"
      "vmovdqu64 %%zmm6, 384(%0)\n\tvmovdqu64 %%zmm7, 448(%0)\n\t"
      "vmovdqu64 %%zmm8, 512(%0)\n\tvmovdqu64 %%zmm9, 576(%0)\n\t"
      "vmovdqu64 %%zmm10, 640(%0)\n\tvmovdqu64 %%zmm11, 704(%0)\n\t"
      "vmovdqu64 %%zmm12, 768(%0)\n\tvmovdqu64 %%zmm13, 832(%0)\n\t"
      "vmovdqu64 %%zmm14, 896(%0)\n\tvmovdqu64 %%zmm15, 960(%0)\n\t"
      "vmovdqu64 %%zmm16, 1024(%0)\n\tvmovdqu64 %%zmm17, 1088(%0)\n\t"
      "vmovdqu64 %%zmm18, 1152(%0)\n\tvmovdqu64 %%zmm19, 1216(%0)\n\t"
      "vmovdqu64 %%zmm20, 1280(%0)\n\tvmovdqu64 %%zmm21, 1344(%0)\n\t"
      "vmovdqu64 %%zmm22, 1408(%0)\n\tvmovdqu64 %%zmm23, 1472(%0)\n\t"
      "vmovdqu64 %%zmm24, 1536(%0)\n\tvmovdqu64 %%zmm25, 1600(%0)\n\t"
      "vmovdqu64 %%zmm26, 1664(%0)\n\tvmovdqu64 %%zmm27, 1728(%0)\n\t"
      "vmovdqu64 %%zmm28, 1792(%0)\n\tvmovdqu64 %%zmm29, 1856(%0)\n\t"
      "vmovdqu64 %%zmm30, 1920(%0)\n\tvmovdqu64 %%zmm31, 1984(%0)\n\t"
      "kmovq %%k0, 2048(%0)\n\tkmovq %%k1, 2056(%0)\n\tkmovq %%k2, 2064(%0)\n\t"
      "kmovq %%k3, 2072(%0)\n\tkmovq %%k4, 2080(%0)\n\tkmovq %%k5, 2088(%0)\n\t"
      "kmovq %%k6, 2096(%0)\n\tkmovq %%k7, 2104(%0)\n\t"
      :
      : "r"(out)
      : "memory");
}
#endif

#if defined(__x86_64__)
// Every operation on a secret leaves all the vector registers the CPU has
// zero, whichever backend runs it: key generation, signing (both the key's
// first signature, which makes its images, and a later one), loading and
// encoding the skEncode form. A register it forgot would keep part of a SHAKE
// state, a mask or the key: the backend's own, or one the C library's memcpy
// used to copy a secret (on a CPU with AVX-512, possibly ymm16-31).
TEST(MlDsa65Backends, LeaveNoSecretInTheVectorRegisters) {
  const std::uint32_t cpu = cpu_features();
  constexpr std::uint32_t kZmm = kCpuAvx512f | kCpuAvx512bw | kOsSavesZmm;
  void (*read)(std::uint8_t*) noexcept = read_xmm;
  std::size_t bytes = 16 * 16;
  if ((cpu & kZmm) == kZmm) {
    read = read_zmm, bytes = kRegisterStateBytes;
  } else if (cpu & kOsSavesYmm) {
    read = read_ymm, bytes = 16 * 32;
  }
  std::vector<const Backend*> backends = {&portable::kBackend};
  if (cpu_runs_avx2_backend()) backends.push_back(&avx2::kBackend);
  if (cpu_runs_avx512_backend()) backends.push_back(&avx512::kBackend);
  std::array<std::uint8_t, kSeedBytes> seed;
  seed.fill(0x5C);
  const std::array<std::uint8_t, 3> msg = {'r', 'e', 'g'};
  alignas(64) std::uint8_t regs[kRegisterStateBytes];
  auto encoded = std::make_unique<std::array<std::uint8_t, kEncodedSecretKeyBytes>>();
  for (const Backend* b : backends) {
    SCOPED_TRACE(b->name);
    Signer s;
    const auto all_zero = [&] {
      for (std::size_t i = 0; i < bytes; ++i) {
        if (regs[i] != 0) return ::testing::AssertionFailure() << "byte " << i << " is set";
      }
      return ::testing::AssertionSuccess();
    };
    b->keygen(seed, *s.sk, s.pk);
    read(regs);
    EXPECT_TRUE(all_zero()) << "after keygen";
    for (int n = 0; n < 2; ++n) {
      const bool ok = b->sign(*s.sk, msg, s.sig);
      read(regs);
      ASSERT_TRUE(ok);
      EXPECT_TRUE(all_zero()) << "after signature " << n;
    }
    b->encode_secret_key(*s.sk, *encoded);
    read(regs);
    EXPECT_TRUE(all_zero()) << "after encode_secret_key";
    b->load_secret_key(*encoded, *s.sk);
    read(regs);
    EXPECT_TRUE(all_zero()) << "after load_secret_key";
  }
}
#endif

// A vector backend against the portable one.
void agree_on_random_keys(const Backend& f) {
  const Backend& slow = portable::kBackend;
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
    const std::size_t bit = rng.below(kSignatureBytes * 8);

    slow.keygen(seed, *a.sk, a.pk);
    ASSERT_TRUE(slow.sign(*a.sk, msg, a.sig));
    ASSERT_EQ(slow.verify(a.pk, msg, a.sig), VerifyOutcome::Valid);
    // One flipped bit anywhere in the signature: c~, z (which may leave its
    // range) or the hints (which may stop decoding). All must say the same.
    auto bad = a.sig;
    bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    const VerifyOutcome expected = slow.verify(a.pk, msg, bad);
    tampered_valid += expected == VerifyOutcome::Valid;

    f.keygen(seed, *b.sk, b.pk);
    ASSERT_EQ(a.pk, b.pk);
    ASSERT_TRUE(f.sign(*b.sk, msg, b.sig));
    ASSERT_EQ(a.sig, b.sig);
    // Both keys now hold the images of s2 and t0 their first signature made.
    ASSERT_EQ(std::memcmp(a.sk.get(), b.sk.get(), sizeof(ExpandedKey)), 0);
    ASSERT_EQ(f.verify(a.pk, msg, a.sig), VerifyOutcome::Valid);
    ASSERT_EQ(f.verify(a.pk, msg, bad), expected) << "bit " << bit;
  }
  EXPECT_EQ(tampered_valid, 0);
}

// A prepared key holds the key's half of verification: against it every
// signature, context and tampering gets the answer the encoded key gives,
// and another key's signature none, on each backend and through the
// dispatch, which verifies with the backend that prepared it (the images'
// coefficient order is that backend's own).
TEST(MlDsa65Backends, VerifyAgainstAPreparedKeyAsAgainstTheEncodedOne) {
  Random rng;
  Signer a, other;
  auto prepared = std::make_unique<PreparedPublicKey>();
  const std::uint8_t context[] = "vestrel-request-proof/1";
  EXPECT_EQ(verify(*prepared, ByteView(), ByteView(), a.sig), VerifyOutcome::DoesNotVerify);
  for (const Backend* b : runnable_backends()) {
    SCOPED_TRACE(b->name);
    for (int key = 0; key < 8; ++key) {
      std::array<std::uint8_t, kSeedBytes> seed;
      rng.fill(seed.data(), seed.size());
      b->keygen(seed, *a.sk, a.pk);
      rng.fill(seed.data(), seed.size());
      b->keygen(seed, *other.sk, other.pk);
      b->prepare(a.pk, *prepared);
      ASSERT_EQ(prepared->made_by, b);
      ASSERT_EQ(std::memcmp(prepared->encoded, a.pk.data(), kPublicKeyBytes), 0);
      for (int message = 0; message < 3; ++message) {
        Bytes msg(rng.below(2048));
        rng.fill(msg.data(), msg.size());
        const ByteView ctx(context, message % 2 == 0 ? 0 : sizeof context - 1);
        ASSERT_TRUE(b->sign_in_context(*a.sk, ctx, msg, a.sig));
        ASSERT_TRUE(b->sign_in_context(*other.sk, ctx, msg, other.sig));
        auto bad = a.sig;
        const std::size_t bit = rng.below(kSignatureBytes * 8);
        bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        for (const auto* sig : {&a.sig, &bad, &other.sig}) {
          const VerifyOutcome expected = b->verify_in_context(a.pk, ctx, msg, *sig);
          ASSERT_EQ(b->verify_prepared(*prepared, ctx, msg, *sig), expected) << "bit " << bit;
          ASSERT_EQ(verify(*prepared, ctx, msg, *sig), expected);
        }
        ASSERT_EQ(verify(*prepared, ctx, msg, a.sig), VerifyOutcome::Valid);
        ASSERT_NE(verify(*prepared, ctx, msg, other.sig), VerifyOutcome::Valid);
        // Another message, and a context one byte shorter, are not signed.
        msg.push_back(0);
        ASSERT_EQ(verify(*prepared, ctx, msg, a.sig), VerifyOutcome::DoesNotVerify);
        if (!ctx.empty()) {
          ASSERT_EQ(verify(*prepared, ctx.first(ctx.size() - 1), ByteView(msg).first(msg.size() - 1),
                           a.sig),
                    VerifyOutcome::DoesNotVerify);
        }
      }
    }
  }
}

TEST(MlDsa65Backends, AgreeOnRandomKeysMessagesAndTamperedSignatures) {
  if (!cpu_runs_avx2_backend()) GTEST_SKIP() << "this CPU cannot run the avx2 backend";
  agree_on_random_keys(avx2::kBackend);
}

TEST(MlDsa65Backends, Avx512AgreesOnRandomKeysMessagesAndTamperedSignatures) {
  if (!cpu_runs_avx512_backend()) {
    GTEST_SKIP() << "this CPU (or the OS) cannot run the avx512 backend: it needs AVX-512 F, VL, "
                    "BW and DQ, and the opmask and zmm state saved";
  }
  agree_on_random_keys(avx512::kBackend);
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
  if (cpu_runs_avx512_backend()) backends.push_back(&avx512::kBackend);
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
  if (cpu_runs_avx512_backend()) out.emplace_back("avx512", &avx512::kPolyArithmetic);
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
TEST(MlDsa65Ntt, VectorTransformsAgreeWithPortableOnes) {
  const auto backends = arithmetics();
  if (backends.size() == 1) GTEST_SKIP() << "this CPU runs no vector backend";
  Random rng;
  for (std::size_t b = 1; b < backends.size(); ++b) {
    SCOPED_TRACE(backends[b].first);
    const PolyArithmetic& vector = *backends[b].second;
    for (unsigned trial = 0; trial < 600; ++trial) {
      SCOPED_TRACE(trial);
      const Coeffs a = input(rng, trial);
      Coeffs slow = a, fast = a;
      portable::kPolyArithmetic.ntt(slow.c);
      vector.ntt(fast.c);
      ASSERT_EQ(std::memcmp(slow.c, fast.c, sizeof slow.c), 0);

      slow = a, fast = a;
      portable::kPolyArithmetic.invntt_tomont(slow.c);
      vector.invntt_tomont(fast.c);
      for (std::size_t i = 0; i < kN; ++i) {
        ASSERT_LT(std::abs(fast.c[i]), kQ / 2 + (1 << 21)) << "coefficient " << i;
        ASSERT_EQ(mod_q(fast.c[i]), mod_q(slow.c[i])) << "coefficient " << i;
      }
    }
  }
}

}  // namespace
}  // namespace vestrel::mldsa65
