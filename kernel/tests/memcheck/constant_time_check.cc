// The constant-time check of key derivation, key generation and signing. Run
// under valgrind memcheck by CTest (CMakeLists.txt here); secret inputs are
// marked with ct_marks.h, and every report names a branch or an address that
// depends on them. Nothing is suppressed: what may be revealed is declassified
// by the code itself where it becomes public, so any report fails the run.
//
// Built with MemorySanitizer instead (scripts/ctmsan.sh), the same marks and
// modes cover every backend, the AVX-512 one included, which valgrind cannot
// run; that build skips on a CPU without AVX-512, where valgrind covers all.
//
//   constant_time_check keygen|derive|sign     must run without a report
//                                              (keygen and sign on each
//                                              backend the CPU can run)
//   constant_time_check planted-branch|planted-index
//                                              must be reported: they prove
//                                              that the marks reach the key
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "crypto/ct_marks.h"
#include "crypto/mldsa65.h"
#include "crypto/mldsa65_backend.h"
#include "identity.h"
#include "payload.h"

namespace vestrel {
namespace {

// CTest's code for a skipped test.
constexpr int kSkipped = 77;

// The parts of an expanded key that only its holder knows. rho, tr and A-hat
// follow from the public key, so they stay public.
void mark_secret_parts(const mldsa65::ExpandedKey& sk) {
  ct::mark_secret(sk.key, sizeof sk.key);
  ct::mark_secret(sk.s1, sizeof sk.s1);
  ct::mark_secret(sk.s2, sizeof sk.s2);
  ct::mark_secret(sk.t0, sizeof sk.t0);
  ct::mark_secret(sk.s1_hat, sizeof sk.s1_hat);
  ct::mark_secret(sk.s2_hat, sizeof sk.s2_hat);
  ct::mark_secret(sk.t0_hat, sizeof sk.t0_hat);
}

std::array<std::uint8_t, SEED_SIZE> seed_from(std::uint8_t first) {
  std::array<std::uint8_t, SEED_SIZE> seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(first + 7 * i);
  return seed;
}

ByteView text(std::string_view s) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// An identity derived from a master seed that memcheck treats as secret.
bool derive_from_secret_master(std::uint8_t first, Identity& id) {
  auto master = seed_from(first);
  ct::mark_secret(master.data(), master.size());
  const bool ok =
      derive_identity(master, text("ct-deployment"), text("ct-context"), id).has_value();
  ct::declassify(id.public_key.data(), id.public_key.size());
  return ok;
}

// Twelve messages, so that signing also runs the attempts it rejects (about
// four in five), not only first attempts that happen to pass.
bool issue_several(const Identity& id) {
  const auto scope = std::to_array<std::uint8_t>({4, 'd', 'o', 'c', 's', 4, 'r', 'e', 'a', 'd'});
  for (std::uint32_t depth = 1; depth <= 12; ++depth) {
    auto issued = issue_credential(id, id.public_key, Role::Node, depth, scope, {});
    if (!issued) return false;
    ct::declassify(issued->sig.data(), issued->sig.size());
  }
  return true;
}

// The backends this CPU can run; the derivation and issuance paths above
// reach only the one chosen at load time.
std::vector<const mldsa65::Backend*> runnable_backends() {
  std::vector<const mldsa65::Backend*> backends = {&mldsa65::portable::kBackend};
  if (mldsa65::cpu_runs_avx2_backend()) backends.push_back(&mldsa65::avx2::kBackend);
  if (mldsa65::cpu_runs_avx512_backend()) {
    backends.push_back(&mldsa65::avx512::kBackend);
  } else if (mldsa65::cpu_runs_avx2_backend()) {
    // Valgrind 3.19 decodes no EVEX instruction (the first one stops the
    // process with SIGILL) and so shows the program a CPUID without AVX-512,
    // even on a CPU that has it: the avx512 backend cannot be checked here,
    // and the MemorySanitizer build (the ctmsan tests) checks it instead.
    std::fputs("constant_time_check: avx512 backend not checked: the CPU, as valgrind presents "
               "it, has no AVX-512 (the ctmsan tests check it where the CPU has it)\n",
               stderr);
  }
  return backends;
}

// The backends must also agree on what they compute: a MemorySanitizer build
// runs Keccak and the rejection test in forms of its own (keccak_x4.h,
// mldsa65_avx2.h), and a check of code that computes something else would
// prove nothing about the code that ships.
bool agrees(const mldsa65::Backend& backend, std::span<const std::uint8_t> got,
            std::span<const std::uint8_t> first, const char* what) {
  if (std::equal(got.begin(), got.end(), first.begin(), first.end())) return true;
  std::fprintf(stderr, "constant_time_check: the %s backend's %s differs from the portable one's\n",
               backend.name, what);
  return false;
}

int keygen_mode() {
  bool ok = true;
  std::array<std::uint8_t, PK_SIZE> first{};
  for (const mldsa65::Backend* backend : runnable_backends()) {
    auto xi = seed_from(11);
    ct::mark_secret(xi.data(), xi.size());
    mldsa65::ExpandedKey sk;
    std::array<std::uint8_t, PK_SIZE> pk;
    backend->keygen(xi, sk, pk);
    ct::declassify(pk.data(), pk.size());
    mldsa65::wipe(sk);
    if (backend == &mldsa65::portable::kBackend) first = pk;
    ok = agrees(*backend, pk, first, "public key") && ok;
  }
  return ok ? 0 : 1;
}

int derive_mode() {
  Identity id;
  const bool ok = derive_from_secret_master(23, id) && issue_several(id);
  wipe_identity(id);
  return ok ? 0 : 1;
}

// Signing alone, with a key derived in the open and marked afterwards, so
// that its reports are not mixed with those of key generation. Twelve
// messages, as in issue_several.
int sign_mode() {
  Identity id;
  if (!derive_identity(seed_from(37), text("ct"), text("sign"), id)) return 1;
  mark_secret_parts(id.signing_key);
  // The key's first signature makes the images of s2 and t0 in place; a copy
  // marked as having them made elsewhere at that moment signs taking them
  // attempt by attempt, which must be as constant-time.
  auto racing = std::make_unique<mldsa65::ExpandedKey>(id.signing_key);
  racing->images_state = 1;
  bool ok = true;
  std::vector<std::array<std::uint8_t, SIG_SIZE>> first(12);
  for (const mldsa65::Backend* backend : runnable_backends()) {
    for (std::uint8_t n = 0; n < 12; ++n) {
      const std::array<std::uint8_t, 3> message = {'m', 's', n};
      std::array<std::uint8_t, SIG_SIZE> sig;
      ok = ok && backend->sign(n % 3 == 2 ? *racing : id.signing_key, message, sig);
      ct::declassify(sig.data(), sig.size());
      if (backend == &mldsa65::portable::kBackend) first[n] = sig;
      ok = ok && agrees(*backend, sig, first[n], "signature");
    }
  }
  mldsa65::wipe(*racing);
  wipe_identity(id);
  return ok ? 0 : 1;
}

// The two faults the check exists to catch, planted here so that their
// reports name a function of this file. A clean run of either would mean the
// marks do not reach the derived key, and the clean runs above prove nothing.
// An early-exit comparison, the classic leak: its running time tells how many
// leading bytes of K an attacker has guessed right.
[[gnu::noinline]] int planted_branch_on(const mldsa65::ExpandedKey& sk) {
  static constexpr std::uint8_t kGuess[sizeof sk.key] = {};
  for (std::size_t i = 0; i < sizeof sk.key; ++i) {
    if (sk.key[i] != kGuess[i]) return static_cast<int>(i);
  }
  return static_cast<int>(sizeof sk.key);
}

[[gnu::noinline]] std::uint8_t planted_index_by(const mldsa65::ExpandedKey& sk) {
  static constexpr auto kTable = [] {
    std::array<std::uint8_t, 256> t{};
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<std::uint8_t>(i * 29);
    return t;
  }();
  return kTable[static_cast<std::uint8_t>(sk.s1[0].coeffs[0])];
}

int planted_mode(bool branch) {
  Identity id;
  if (!derive_from_secret_master(41, id)) return 1;
  // Only the planted branch or address may be reported, not a later use of
  // the result, so the result is made public at once.
  int result = branch ? planted_branch_on(id.signing_key) : planted_index_by(id.signing_key);
  ct::declassify(&result, sizeof result);
  wipe_identity(id);
  return result >= 0 ? 0 : 1;
}

}  // namespace
}  // namespace vestrel

#if VESTREL_CT_MSAN
// MemorySanitizer's own exit code after a report is 77, which CTest takes
// for a skip; a report must fail the run instead.
extern "C" const char* __msan_default_options() { return "exitcode=99"; }
#endif

int main(int argc, char** argv) {
  using namespace vestrel;
  if (!VESTREL_CT_MARKS) {
    std::puts("constant_time_check: built without valgrind's headers; skipped");
    return kSkipped;
  }
  if (VESTREL_CT_MSAN && !mldsa65::cpu_runs_avx512_backend()) {
    std::puts("SKIP: this CPU does not run the avx512 backend; valgrind checks the others");
    return kSkipped;
  }
  if (!ct::marks_watched()) {
    std::fputs("constant_time_check: proves nothing outside valgrind memcheck\n", stderr);
    return 2;
  }
  const std::string_view mode = argc == 2 ? argv[1] : "";
  if (mode == "keygen") return keygen_mode();
  if (mode == "derive") return derive_mode();
  if (mode == "sign") return sign_mode();
  if (mode == "planted-branch") return planted_mode(true);
  if (mode == "planted-index") return planted_mode(false);
  std::fprintf(stderr, "usage: %s keygen|derive|sign|planted-branch|planted-index\n", argv[0]);
  return 2;
}
