// Marks for the constant-time check (kernel/tests/memcheck). Under valgrind
// memcheck, bytes marked secret are followed through every computation, and
// any branch or memory address that depends on them is reported: exactly what
// a timing or cache side channel would need. A value that a signer may reveal
// (the public key, a signature, whether a signing attempt was rejected) is
// declassified where it is computed, so that branching on it is not reported.
//
// Built with clang's MemorySanitizer (scripts/ctmsan.sh, for the AVX-512
// backend that valgrind cannot run), the marks poison and unpoison the same
// bytes instead, and it reports the same branches and addresses.
//
// Outside valgrind each mark is a few instructions that change nothing; built
// without valgrind's headers it is nothing at all.
#pragma once

#include <cstddef>

#if defined(__has_feature)
#if __has_feature(memory_sanitizer)
#define VESTREL_CT_MSAN 1
#endif
#endif
#ifndef VESTREL_CT_MSAN
#define VESTREL_CT_MSAN 0
#endif

#if VESTREL_CT_MSAN
#include <sanitizer/msan_interface.h>
#define VESTREL_CT_MARKS 1
#elif __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define VESTREL_CT_MARKS 1
#else
#define VESTREL_CT_MARKS 0
#endif

namespace vestrel::ct {

// Every mark is always inlined: the vector ML-DSA backends include this header
// with AVX2 or AVX-512 turned on, and an out-of-line copy there (as -O1 makes
// of the template below) would be a weak symbol that the linker may keep for
// the whole program, AVX-512 instructions and all.
[[gnu::always_inline]] inline void mark_secret([[maybe_unused]] const void* p, [[maybe_unused]] std::size_t n) noexcept {
#if VESTREL_CT_MSAN
  __msan_poison(p, n);
#elif VESTREL_CT_MARKS
  (void)VALGRIND_MAKE_MEM_UNDEFINED(p, n);
#endif
}

[[gnu::always_inline]] inline void declassify([[maybe_unused]] const void* p, [[maybe_unused]] std::size_t n) noexcept {
#if VESTREL_CT_MSAN
  __msan_unpoison(p, n);
#elif VESTREL_CT_MARKS
  (void)VALGRIND_MAKE_MEM_DEFINED(p, n);
#endif
}

// For a decision computed without branching on the secret, at the one point
// where it is allowed to steer control: `if (ct::declassified(rejected)) ...`.
template <class T>
[[gnu::always_inline, nodiscard]] inline T declassified(T value) noexcept {
  declassify(&value, sizeof value);
  return value;
}

// Whether the marks are being watched: true under valgrind memcheck (or
// another valgrind tool) and in a MemorySanitizer build.
[[gnu::always_inline, nodiscard]] inline bool marks_watched() noexcept {
#if VESTREL_CT_MSAN
  return true;
#elif VESTREL_CT_MARKS
  return RUNNING_ON_VALGRIND != 0;
#else
  return false;
#endif
}

}  // namespace vestrel::ct
