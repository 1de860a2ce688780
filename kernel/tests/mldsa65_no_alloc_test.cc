// ML-DSA-65 runs without the heap, so an allocation failure can neither make
// it fail nor, as in PQClean's own SHAKE code, end the process.
//
// This binary replaces malloc and its relatives with versions that can be
// told to refuse every request and count the attempts. While they refuse,
// key generation, signing and verification on each backend must still give
// the results they give normally, without a single attempt to allocate.
// PQClean compiled as shipped, given the same treatment, exits with status 111.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "crypto/mldsa65.h"
#include "crypto/mldsa65_backend.h"

extern "C" {
void* __libc_malloc(std::size_t n);
void* __libc_calloc(std::size_t count, std::size_t n);
void* __libc_realloc(void* p, std::size_t n);
void __libc_free(void* p);

// PQClean's own key generation, linked from the library as shipped; declared
// here so that only the adapter includes PQClean's headers.
int PQCLEAN_MLDSA65_CLEAN_crypto_sign_keypair(std::uint8_t* pk, std::uint8_t* sk);
}

namespace {
std::atomic<bool> g_refusing{false};
std::atomic<std::size_t> g_attempts{0};

bool refuse() noexcept {
  if (!g_refusing.load(std::memory_order_relaxed)) return false;
  g_attempts.fetch_add(1, std::memory_order_relaxed);
  return true;
}
}  // namespace

extern "C" {
void* malloc(std::size_t n) { return refuse() ? nullptr : __libc_malloc(n); }
void* calloc(std::size_t count, std::size_t n) {
  return refuse() ? nullptr : __libc_calloc(count, n);
}
void* realloc(void* p, std::size_t n) { return refuse() ? nullptr : __libc_realloc(p, n); }
void free(void* p) { __libc_free(p); }
}

namespace vestrel::mldsa65 {
namespace {

// Refuses every allocation for as long as it lives.
class HeapRefused {
 public:
  HeapRefused() noexcept {
    g_attempts = 0;
    g_refusing = true;
  }
  ~HeapRefused() { g_refusing = false; }
  HeapRefused(const HeapRefused&) = delete;
  HeapRefused& operator=(const HeapRefused&) = delete;
};

TEST(NoAlloc, TheHookRefusesAndCounts) {
  void* p;
  {
    HeapRefused refused;
    // Through a volatile pointer, so the call cannot be folded away.
    void* (*volatile allocate)(std::size_t) = &malloc;
    p = allocate(64);
    EXPECT_EQ(g_attempts, 1u);
  }
  EXPECT_EQ(p, nullptr);
}

struct Outputs {
  std::unique_ptr<ExpandedKey> sk = std::make_unique<ExpandedKey>();
  std::array<std::uint8_t, kPublicKeyBytes> pk{};
  std::array<std::uint8_t, kSignatureBytes> sig{};
  VerifyOutcome intact{}, tampered{}, undecodable{};
};

// Keygen, signing of a payload-sized message, and verification of the
// signature intact, with c~ altered, and with a hint count above omega.
void run(const Backend& b, Outputs& out) {
  std::array<std::uint8_t, kSeedBytes> seed{};
  seed[0] = 0xA5;
  std::array<std::uint8_t, 4096> msg;
  msg.fill(0x3C);
  b.keygen(seed, *out.sk, out.pk);
  ASSERT_TRUE(b.sign(*out.sk, msg, out.sig));
  out.intact = b.verify(out.pk, msg, out.sig);
  std::array<std::uint8_t, kSignatureBytes> bad = out.sig;
  bad[0] ^= 1;
  out.tampered = b.verify(out.pk, msg, bad);
  bad = out.sig;
  bad[kSignatureBytes - 1] = 0xFF;
  out.undecodable = b.verify(out.pk, msg, bad);
}

class NoAllocBackend : public ::testing::TestWithParam<const Backend*> {};

INSTANTIATE_TEST_SUITE_P(EachBackend, NoAllocBackend,
                         ::testing::Values(&portable::kBackend, &avx2::kBackend, &avx512::kBackend),
                         [](const auto& param_info) {
                           return std::string(param_info.param->name);
                         });

TEST_P(NoAllocBackend, GivesTheSameResultsWithTheHeapRefusedAndNeverAsks) {
  if (!cpu_runs(*GetParam())) {
    GTEST_SKIP() << "this CPU cannot run the " << GetParam()->name << " backend";
  }
  Outputs normal, refused;
  run(*GetParam(), normal);
  {
    HeapRefused no_heap;
    run(*GetParam(), refused);
    EXPECT_EQ(g_attempts, 0u);
  }
  EXPECT_EQ(refused.pk, normal.pk);
  EXPECT_EQ(refused.sig, normal.sig);
  EXPECT_EQ(refused.intact, VerifyOutcome::Valid);
  EXPECT_EQ(refused.tampered, VerifyOutcome::DoesNotVerify);
  EXPECT_EQ(refused.undecodable, VerifyOutcome::DoesNotDecode);
}

// The hazard this guards against, shown on PQClean's code as shipped: its
// SHAKE keeps the sponge on the heap and exits when malloc fails.
void pqclean_keygen_with_the_heap_refused() {
  std::array<std::uint8_t, kPublicKeyBytes> pk;
  std::array<std::uint8_t, 4032> sk;
  g_refusing = true;
  PQCLEAN_MLDSA65_CLEAN_crypto_sign_keypair(pk.data(), sk.data());
  g_refusing = false;
  std::_Exit(0);
}

TEST(NoAllocDeathTest, PqcleanAsShippedExitsWhenItsAllocationFails) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(pqclean_keygen_with_the_heap_refused(), ::testing::ExitedWithCode(111), "");
}

}  // namespace
}  // namespace vestrel::mldsa65
