// Chooses the ML-DSA-65 backend once, while the library is being loaded, and
// forwards every call to it. The implementations live in mldsa65_backend.cc;
// this file knows nothing of the library underneath.
#include "mldsa65.h"

#include <atomic>

#include "mldsa65_backend.h"
#include "mldsa65_sk_encoding.h"
#include "secure.h"

namespace vestrel::mldsa65 {

namespace {

// Starts out portable, so that a call made before the choice (from another
// library's constructor, say) is still correct, only slower. The choice is
// made once, while the library loads; atomic so that even a thread started by
// another library's constructor, racing that choice, reads one backend or the
// other and never a torn pointer. Relaxed suffices: both backends are
// constant-initialised objects, published before any code runs.
constinit std::atomic<const Backend*> g_backend{&portable::kBackend};
static_assert(std::atomic<const Backend*>::is_always_lock_free);

[[gnu::constructor]] void choose_backend() noexcept {
#if VESTREL_MLDSA65_HAS_AVX2_BACKEND && !defined(VESTREL_MLDSA65_FORCE_PORTABLE)
  if (cpu_runs_avx2_backend()) g_backend.store(&avx2::kBackend, std::memory_order_relaxed);
#endif
}

const Backend& backend() noexcept { return *g_backend.load(std::memory_order_relaxed); }

}  // namespace

bool cpu_runs_avx2_backend() noexcept {
#if VESTREL_MLDSA65_HAS_AVX2_BACKEND
  // The constructors of a shared library may run before libgcc has read
  // CPUID for itself.
  __builtin_cpu_init();
  // libgcc reports AVX2 only when the OS also saves the YMM registers.
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
         __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
#else
  return false;
#endif
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

void wipe(ExpandedKey& sk) noexcept { secure_wipe(&sk, sizeof sk); }

void encode_secret_key(const ExpandedKey& sk, EncodedSecretKey out) noexcept {
  backend().encode_secret_key(sk, out);
}

void load_secret_key(EncodedSecretKeyView encoded, ExpandedKey& sk) noexcept {
  backend().load_secret_key(encoded, sk);
}

}  // namespace vestrel::mldsa65
