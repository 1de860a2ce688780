// Key generation and signing leave nothing secret in the stack memory they
// used: each buffer that held the seed, K, rho', s1, s2, t0, rho'' or a mask y
// is wiped before its frame is given up. Each operation runs here, on each
// backend, on a stack of its own (a zeroed buffer entered with swapcontext),
// which is then searched for every 16-byte window of those secrets. The
// secrets the backend derives internally (rho', rho'', y) are recomputed here
// with OpenSSL's SHAKE256.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <ucontext.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "bytes.h"
#include "crypto/ct_marks.h"
#include "crypto/mldsa65.h"
#include "crypto/mldsa65_backend.h"
#include "test_backends.h"

namespace vestrel::mldsa65 {
namespace {

Bytes shake256(std::initializer_list<ByteView> parts, std::size_t n) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  Bytes out(n);
  bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_shake256(), nullptr) == 1;
  for (ByteView p : parts) ok = ok && EVP_DigestUpdate(ctx.get(), p.data(), p.size()) == 1;
  if (!ok || EVP_DigestFinalXOF(ctx.get(), out.data(), n) != 1) ADD_FAILURE() << "SHAKE256";
  return out;
}

// Every 16-byte window of each secret, mapped to the secret's name.
class Secrets {
 public:
  void bytes(const std::string& name, const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    for (std::size_t at = 0; at + kWindow <= n; ++at) windows_.emplace(key(b + at), name);
  }

  // Polynomials whose coefficients are as small as eta: a window of four
  // counts only if it holds both some x <= -2 and some x >= 2, so that it
  // cannot turn up by chance among the small counters, indices and
  // challenge coefficients a stack is full of.
  void small_polys(const std::string& name, const Poly* v, std::size_t count) {
    for (std::size_t p = 0; p < count; ++p) {
      const std::int32_t* c = v[p].coeffs;
      for (std::size_t i = 0; i + 4 <= kN; ++i) {
        bool low = false, high = false;
        for (std::size_t j = i; j < i + 4; ++j) low |= c[j] <= -2, high |= c[j] >= 2;
        if (low && high) windows_.emplace(key(reinterpret_cast<const std::uint8_t*>(c + i)), name);
      }
    }
  }

  // Where each secret found in `region` lies, or "".
  std::string find_in(const std::uint8_t* region, std::size_t n) const {
    std::string found;
    for (std::size_t at = 0; at + kWindow <= n; ++at) {
      const auto hit = windows_.find(key(region + at));
      if (hit != windows_.end()) found += hit->second + " at " + std::to_string(at) + "; ";
    }
    return found;
  }

 private:
  static constexpr std::size_t kWindow = 16;
  static std::string key(const std::uint8_t* p) { return std::string(p, p + kWindow); }
  std::unordered_map<std::string, std::string> windows_;
};

// The masks of the first `attempts` signing attempts: y[r] of attempt a is
// SHAKE256(rho'' || 5a + r as two bytes, 640), 20-bit values v as gamma1 - v.
std::vector<Poly> masks(const Bytes& rho_pp, unsigned attempts) {
  constexpr std::int32_t kGamma1 = 1 << 19;
  std::vector<Poly> y(attempts * kL);
  for (unsigned nonce = 0; nonce < y.size(); ++nonce) {
    const std::uint8_t le[2] = {static_cast<std::uint8_t>(nonce),
                                static_cast<std::uint8_t>(nonce >> 8)};
    const Bytes b = shake256({rho_pp, le}, 640);
    for (unsigned i = 0; i < kN / 2; ++i) {
      const std::uint8_t* a = &b[5 * i];
      const std::uint32_t v0 = (a[0] | a[1] << 8 | a[2] << 16) & 0xFFFFF;
      const std::uint32_t v1 = (a[2] >> 4 | a[3] << 4 | a[4] << 12) & 0xFFFFF;
      y[nonce].coeffs[2 * i] = kGamma1 - static_cast<std::int32_t>(v0);
      y[nonce].coeffs[2 * i + 1] = kGamma1 - static_cast<std::int32_t>(v1);
    }
  }
  return y;
}

void add_key(Secrets& s, const ExpandedKey& sk) {
  s.bytes("K", sk.key, sizeof sk.key);
  s.small_polys("s1", sk.s1, kL);
  s.small_polys("s2", sk.s2, kK);
  s.bytes("t0", sk.t0, sizeof sk.t0);
}

// Runs fn on a zeroed stack of its own and returns that stack's bytes.
class OwnStack {
 public:
  template <class Fn>
  const std::vector<std::uint8_t>& run(Fn fn) {
    std::fill(stack_.begin(), stack_.end(), 0);
    static Fn* current;
    current = &fn;
    ucontext_t caller, callee;
    getcontext(&callee);
    callee.uc_stack.ss_sp = stack_.data();
    callee.uc_stack.ss_size = stack_.size();
    callee.uc_link = &caller;
    makecontext(
        &callee, +[] { (*current)(); }, 0);
#if VESTREL_CT_MARKS
    const unsigned id = VALGRIND_STACK_REGISTER(stack_.data(), stack_.data() + stack_.size());
#endif
    swapcontext(&caller, &callee);
#if VESTREL_CT_MARKS
    VALGRIND_STACK_DEREGISTER(id);
    // Memcheck counts stack memory below the stack pointer as undefined, and
    // the search branches on it; here reading it is the point.
    ct::declassify(stack_.data(), stack_.size());
#endif
    return stack_;
  }

  // How far down the last run wrote: proof that it ran on this stack.
  std::size_t depth() const {
    std::size_t low = 0;
    while (low < stack_.size() && stack_[low] == 0) ++low;
    return stack_.size() - low;
  }

 private:
  std::vector<std::uint8_t> stack_ = std::vector<std::uint8_t>(128 * 1024);
};

#if defined(__SANITIZE_ADDRESS__)
#define VESTREL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VESTREL_TEST_ASAN 1
#endif
#endif
#ifdef VESTREL_TEST_ASAN
#define SKIP_UNDER_ASAN() GTEST_SKIP() << "AddressSanitizer keeps frames off the thread's stack"
#else
#define SKIP_UNDER_ASAN() (void)0
#endif

TEST(MlDsa65Stack, KeygenLeavesNoSecretBehind) {
  SKIP_UNDER_ASAN();
  OwnStack stack;
  for (const Backend* backend : runnable_backends()) {
    SCOPED_TRACE(backend->name);
    std::array<std::uint8_t, kSeedBytes> xi;
    for (std::size_t i = 0; i < xi.size(); ++i) xi[i] = static_cast<std::uint8_t>(0x5A + 13 * i);
    auto sk = std::make_unique<ExpandedKey>();
    std::array<std::uint8_t, kPublicKeyBytes> pk;
    const auto& used = stack.run([&] { backend->keygen(xi, *sk, pk); });

    Secrets secrets;
    secrets.bytes("seed", xi.data(), xi.size());
    const std::uint8_t params[2] = {kK, kL};
    const Bytes seeds = shake256({xi, params}, 128);
    secrets.bytes("rho'", seeds.data() + 32, 64);
    add_key(secrets, *sk);
    EXPECT_GT(stack.depth(), 8192u);
    EXPECT_EQ(secrets.find_in(used.data(), used.size()), "");
    wipe(*sk);
  }
}

TEST(MlDsa65Stack, SigningLeavesNoSecretBehind) {
  SKIP_UNDER_ASAN();
  OwnStack stack;
  for (const Backend* backend : runnable_backends()) {
    SCOPED_TRACE(backend->name);
    std::array<std::uint8_t, kSeedBytes> xi;
    xi.fill(0xC3);
    auto sk = std::make_unique<ExpandedKey>();
    std::array<std::uint8_t, kPublicKeyBytes> pk;
    backend->keygen(xi, *sk, pk);

    Secrets secrets;
    add_key(secrets, *sk);
    const std::uint8_t context[2] = {0, 0}, rnd[32] = {};
    // Messages that need one attempt and several, so that the masks of
    // rejected attempts are searched for as well. The first makes the images
    // of s2 and t0 in the key; the last signs with a copy marked as having
    // them made elsewhere, so it takes them attempt by attempt.
    auto racing = std::make_unique<ExpandedKey>(*sk);
    racing->images_state = 1;
    for (std::uint8_t m = 0; m < 5; ++m) {
      const std::array<std::uint8_t, 2> msg = {'m', m};
      std::array<std::uint8_t, kSignatureBytes> sig;
      bool signed_ok = false;
      const ExpandedKey& signer = m < 4 ? *sk : *racing;
      const auto& used = stack.run([&] { signed_ok = backend->sign(signer, msg, sig); });
      ASSERT_TRUE(signed_ok);
      EXPECT_GT(stack.depth(), 8192u);
      const Bytes mu = shake256({sk->tr, context, msg}, 64);
      const Bytes rho_pp = shake256({sk->key, rnd, mu}, 64);
      Secrets with_masks = secrets;
      with_masks.bytes("rho''", rho_pp.data(), rho_pp.size());
      const std::vector<Poly> y = masks(rho_pp, 16);
      with_masks.bytes("y", y.data(), y.size() * sizeof(Poly));
      EXPECT_EQ(with_masks.find_in(used.data(), used.size()), "") << "message " << int{m};
    }
    wipe(*racing);
    wipe(*sk);
  }
}

}  // namespace
}  // namespace vestrel::mldsa65
