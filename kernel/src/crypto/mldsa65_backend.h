// The ML-DSA-65 implementations behind mldsa65.h. One source is compiled once
// per instruction set: `portable` runs on any CPU, `avx2` needs an x86-64 with
// AVX2, BMI2 and POPCNT, `avx512` one with AVX-512F, VL, BW and DQ besides.
// All compute the same function byte for byte; mldsa65.cc picks one when the
// library is loaded, and the tests call each directly.
#pragma once

#include <cstdint>

#include "mldsa65.h"
#include "mldsa65_sk_encoding.h"

namespace vestrel::mldsa65 {

struct Backend {
  const char* name;
  void (*keygen)(SeedView xi, ExpandedKey& sk, PublicKey pk) noexcept;
  // False only if the rejection loop runs out of nonces.
  bool (*sign)(const ExpandedKey& sk, ByteView msg, Signature sig) noexcept;
  VerifyOutcome (*verify)(PublicKeyView pk, ByteView msg, SignatureView sig) noexcept;
  void (*encode_secret_key)(const ExpandedKey& sk, EncodedSecretKey out) noexcept;
  void (*load_secret_key)(EncodedSecretKeyView encoded, ExpandedKey& sk) noexcept;
  // sign and verify under a context string of at most kMaxContextBytes.
  bool (*sign_in_context)(const ExpandedKey& sk, ByteView context, ByteView msg,
                          Signature sig) noexcept;
  VerifyOutcome (*verify_in_context)(PublicKeyView pk, ByteView context, ByteView msg,
                                     SignatureView sig) noexcept;
  // prepare, and verify_in_context against a key this backend prepared.
  void (*prepare)(PublicKeyView pk, PreparedPublicKey& prepared) noexcept;
  VerifyOutcome (*verify_prepared)(const PreparedPublicKey& prepared, ByteView context,
                                   ByteView msg, SignatureView sig) noexcept;
};

// Only an x86-64 build carries the avx2 and avx512 backends
// (kernel/CMakeLists.txt); on any other processor (aarch64) the portable one
// is all there is.
#if defined(__x86_64__)
#define VESTREL_MLDSA65_HAS_AVX2_BACKEND 1
#define VESTREL_MLDSA65_HAS_AVX512_BACKEND 1
#else
#define VESTREL_MLDSA65_HAS_AVX2_BACKEND 0
#define VESTREL_MLDSA65_HAS_AVX512_BACKEND 0
#endif

// One backend's arithmetic on single polynomials of kN coefficients, aligned
// to 32 bytes: the forward transform, the inverse (which also multiplies by
// 2^32, undoing the 2^-32 of a Montgomery product) and the coefficientwise
// Montgomery product. Nothing in the kernel calls these through here; they
// are exported for the tests, which check them against schoolbook products,
// and for the benchmark. NTT-domain values are in whatever coefficient order
// the backend keeps them in, so only the composition
// invntt_tomont(pointwise(ntt(a), ntt(b))) has a meaning outside it: a * b in
// Z_q[X]/(X^256 + 1), each coefficient some representative in (-q, q).
struct PolyArithmetic {
  void (*ntt)(std::int32_t* a) noexcept;
  void (*invntt_tomont)(std::int32_t* a) noexcept;
  void (*pointwise)(std::int32_t* c, const std::int32_t* a, const std::int32_t* b) noexcept;
};

namespace portable {
extern const Backend kBackend;
extern const PolyArithmetic kPolyArithmetic;
}  // namespace portable
#if VESTREL_MLDSA65_HAS_AVX2_BACKEND
namespace avx2 {
extern const Backend kBackend;
extern const PolyArithmetic kPolyArithmetic;
// The backend's four Keccak-f[1600] permutations at once, on 100 words
// aligned to 32 bytes, word 4*l + i holding lane l of state i. Exported for
// its test and the benchmark; like the backend, only for a CPU that runs it.
void keccak_f1600_x4(std::uint64_t* lanes) noexcept;
}  // namespace avx2
#endif
#if VESTREL_MLDSA65_HAS_AVX512_BACKEND
namespace avx512 {
extern const Backend kBackend;
extern const PolyArithmetic kPolyArithmetic;
// The same four-way permutation in AVX-512VL's instructions.
void keccak_f1600_x4(std::uint64_t* lanes) noexcept;
// Eight permutations at once, on 200 words aligned to 64 bytes, word 8*l + i
// holding lane l of state i.
void keccak_f1600_x8(std::uint64_t* lanes) noexcept;
}  // namespace avx512
#endif

// --- Choosing a backend ------------------------------------------------------------

// What the dispatch asks of the CPU, one bit each: CPUID's feature flags, and
// what XCR0 says the OS saves on a context switch (without it, a register's
// upper part could be lost, or the instructions fault).
enum CpuFeature : std::uint32_t {
  kCpuAvx2 = 1u << 0,
  kCpuBmi1 = 1u << 1,
  kCpuBmi2 = 1u << 2,
  kCpuPopcnt = 1u << 3,
  kCpuAvx512f = 1u << 4,
  kCpuAvx512vl = 1u << 5,
  kCpuAvx512bw = 1u << 6,
  kCpuAvx512dq = 1u << 7,
  // XCR0 bits 1 and 2: the OS saves xmm and the upper halves of ymm.
  kOsSavesYmm = 1u << 8,
  // XCR0 bits 5, 6 and 7 as well: the opmask registers, the upper halves of
  // zmm0-15, and zmm16-31.
  kOsSavesZmm = 1u << 9,
};
inline constexpr std::uint32_t kAvx2BackendNeeds =
    kCpuAvx2 | kCpuBmi1 | kCpuBmi2 | kCpuPopcnt | kOsSavesYmm;
inline constexpr std::uint32_t kAvx512BackendNeeds =
    kAvx2BackendNeeds | kCpuAvx512f | kCpuAvx512vl | kCpuAvx512bw | kCpuAvx512dq | kOsSavesZmm;

// This CPU's CpuFeature bits; none where the build has no vector backend.
[[nodiscard]] std::uint32_t cpu_features() noexcept;

// The backend a CPU with these features gets in this build: the widest it
// can run, capped by VESTREL_FORCE_PORTABLE or VESTREL_FORCE_AVX2. The
// dispatch calls it once with cpu_features(); the tests call it with others.
[[nodiscard]] const Backend& backend_for(std::uint32_t features) noexcept;

// Whether this CPU (and the OS, which must save the YMM registers) can run the
// avx2 backend; always false where the build has none.
[[nodiscard]] bool cpu_runs_avx2_backend() noexcept;
// The same for the avx512 backend (and the ZMM and opmask registers).
[[nodiscard]] bool cpu_runs_avx512_backend() noexcept;

// Whether this CPU can run backend b (any backend of this build).
[[nodiscard]] bool cpu_runs(const Backend& b) noexcept;

// The backend every call of mldsa65.h goes to.
[[nodiscard]] const Backend& active_backend() noexcept;

}  // namespace vestrel::mldsa65
