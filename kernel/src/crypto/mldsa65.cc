// Chooses the ML-DSA-65 backend once, while the library is being loaded, and
// forwards every call to it. The implementations live in mldsa65_backend.cc;
// this file knows nothing of the library underneath.
#include "mldsa65.h"

#include <atomic>
#include <cstdint>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include "mldsa65_backend.h"
#include "mldsa65_sk_encoding.h"
#include "secure.h"

namespace vestrel::mldsa65 {

namespace {

// Starts out portable, so that a call made before the choice (from another
// library's constructor, say) is still correct, only slower. The choice is
// made once, while the library loads; atomic so that even a thread started by
// another library's constructor, racing that choice, reads one backend or the
// other and never a torn pointer. Relaxed suffices: all backends are
// constant-initialised objects, published before any code runs.
constinit std::atomic<const Backend*> g_backend{&portable::kBackend};
static_assert(std::atomic<const Backend*>::is_always_lock_free);

[[gnu::constructor]] void choose_backend() noexcept {
  g_backend.store(&backend_for(cpu_features()), std::memory_order_relaxed);
}

const Backend& backend() noexcept { return *g_backend.load(std::memory_order_relaxed); }

}  // namespace

std::uint32_t cpu_features() noexcept {
  std::uint32_t features = 0;
#if VESTREL_MLDSA65_HAS_AVX2_BACKEND
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return 0;
  if (ecx & bit_POPCNT) features |= kCpuPopcnt;
  // XGETBV exists only where the OS has set CR4.OSXSAVE, which CPUID shows.
  if (ecx & bit_OSXSAVE) {
    unsigned xcr0_low = 0, xcr0_high = 0;
    asm("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    constexpr unsigned kYmmState = (1u << 1) | (1u << 2);
    constexpr unsigned kZmmState = kYmmState | (1u << 5) | (1u << 6) | (1u << 7);
    if ((xcr0_low & kYmmState) == kYmmState) features |= kOsSavesYmm;
    if ((xcr0_low & kZmmState) == kZmmState) features |= kOsSavesZmm;
  }
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
    if (ebx & bit_AVX2) features |= kCpuAvx2;
    if (ebx & bit_BMI) features |= kCpuBmi1;
    if (ebx & bit_BMI2) features |= kCpuBmi2;
    if (ebx & bit_AVX512F) features |= kCpuAvx512f;
    if (ebx & bit_AVX512VL) features |= kCpuAvx512vl;
    if (ebx & bit_AVX512BW) features |= kCpuAvx512bw;
    if (ebx & bit_AVX512DQ) features |= kCpuAvx512dq;
  }
#endif
  return features;
}

const Backend& backend_for(std::uint32_t features) noexcept {
  [[maybe_unused]] auto has = [features](std::uint32_t needed) {
    return (features & needed) == needed;
  };
#if VESTREL_MLDSA65_HAS_AVX512_BACKEND && !defined(VESTREL_MLDSA65_FORCE_PORTABLE) && \
    !defined(VESTREL_MLDSA65_FORCE_AVX2)
  if (has(kAvx512BackendNeeds)) return avx512::kBackend;
#endif
#if VESTREL_MLDSA65_HAS_AVX2_BACKEND && !defined(VESTREL_MLDSA65_FORCE_PORTABLE)
  if (has(kAvx2BackendNeeds)) return avx2::kBackend;
#endif
  return portable::kBackend;
}

bool cpu_runs_avx2_backend() noexcept {
  return (cpu_features() & kAvx2BackendNeeds) == kAvx2BackendNeeds;
}

bool cpu_runs_avx512_backend() noexcept {
  return (cpu_features() & kAvx512BackendNeeds) == kAvx512BackendNeeds;
}

bool cpu_runs(const Backend& b) noexcept {
#if VESTREL_MLDSA65_HAS_AVX512_BACKEND
  if (&b == &avx512::kBackend) return cpu_runs_avx512_backend();
#endif
#if VESTREL_MLDSA65_HAS_AVX2_BACKEND
  if (&b == &avx2::kBackend) return cpu_runs_avx2_backend();
#endif
  return &b == &portable::kBackend;
}

const Backend& active_backend() noexcept { return backend(); }

void keygen(SeedView xi, ExpandedKey& sk, PublicKey pk) noexcept { backend().keygen(xi, sk, pk); }

crypto::Status sign(const ExpandedKey& sk, ByteView msg, Signature sig) noexcept {
  if (!backend().sign(sk, msg, sig)) return crypto::Error::GaveUp;
  return {};
}

VerifyOutcome verify(PublicKeyView pk, ByteView msg, SignatureView sig) noexcept {
  return backend().verify(pk, msg, sig);
}

crypto::Status sign(const ExpandedKey& sk, ByteView context, ByteView msg, Signature sig) noexcept {
  if (context.size() > kMaxContextBytes) return crypto::Error::ContextTooLong;
  if (!backend().sign_in_context(sk, context, msg, sig)) return crypto::Error::GaveUp;
  return {};
}

VerifyOutcome verify(PublicKeyView pk, ByteView context, ByteView msg, SignatureView sig) noexcept {
  if (context.size() > kMaxContextBytes) return VerifyOutcome::DoesNotVerify;
  return backend().verify_in_context(pk, context, msg, sig);
}

void prepare(PublicKeyView pk, PreparedPublicKey& prepared) noexcept {
  backend().prepare(pk, prepared);
}

VerifyOutcome verify(const PreparedPublicKey& prepared, ByteView context, ByteView msg,
                     SignatureView sig) noexcept {
  // A key no backend prepared verifies nothing.
  if (context.size() > kMaxContextBytes || prepared.made_by == nullptr) {
    return VerifyOutcome::DoesNotVerify;
  }
  return prepared.made_by->verify_prepared(prepared, context, msg, sig);
}

void wipe(ExpandedKey& sk) noexcept { secure_wipe(&sk, sizeof sk); }

void encode_secret_key(const ExpandedKey& sk, EncodedSecretKey out) noexcept {
  backend().encode_secret_key(sk, out);
}

void load_secret_key(EncodedSecretKeyView encoded, ExpandedKey& sk) noexcept {
  backend().load_secret_key(encoded, sk);
}

}  // namespace vestrel::mldsa65
