#!/usr/bin/env bash
# The kernel's GoogleTest suites and the module's pytest suite once more, on a
# build with AddressSanitizer and UndefinedBehaviorSanitizer. The interpreters
# are not built with them, so their runtimes are preloaded; leak detection is
# off for the interpreter, whose own allocations outlive it by design, and on
# for the kernel's tests.
#
# Every report goes to a file in the build tree, and any file that holds more
# than the expected allocation refusals (below) fails the run: a report inside
# a subprocess whose exit status a test ignores still counts.
#   scripts/test_sanitized.sh                  all four steps below, in order
#   scripts/test_sanitized.sh build            build (directory: build-asan)
#   scripts/test_sanitized.sh ctest            the GoogleTest suites
#   scripts/test_sanitized.sh pytest [ARGS]    run_all.py with ARGS (--only newest, ...)
#   scripts/test_sanitized.sh report           fail on any report the steps left
# scripts/test.sh runs the ctest and pytest steps side by side; the reports
# folder is emptied by the build step only.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${VESTREL_ASAN_BUILD_DIR:-build-asan}
reports=$(realpath -m "$build")/sanitizer-reports
asan="log_path=$reports/asan:detect_stack_use_after_return=1"
ubsan="log_path=$reports/ubsan:halt_on_error=1:print_stacktrace=1"

# -O1 and line tables only: what the sanitizers' reports need, in a third of
# the compile time of -O2 -g (-O3 for the ML-DSA code).
build_tree() {
  local flags="-O1 -g1 -DNDEBUG"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESTREL_BUILD_TESTS=ON \
    -DVESTREL_SANITIZE=ON -DVESTREL_MLDSA_OPTIMIZE=-O1 -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="$flags" >/dev/null
  cmake --build "$build" -j"$(nproc)"
  rm -rf "$reports" && mkdir -p "$reports"
}

run_ctest() {
  mkdir -p "$reports"
  ASAN_OPTIONS="$asan:detect_leaks=1" UBSAN_OPTIONS="$ubsan" \
    ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
}

# PYTHONMALLOC=malloc gives every Python object an allocation of its own, so
# that reading past one (a bytes object's contents, say) is caught rather than
# landing in its neighbour in the interpreter's pools. The fault-probe tests
# ask for an allocation no allocator can satisfy and expect the null that the
# interpreter turns into MemoryError; ASan notes each such refusal.
# The exit probes (test_verifier.py) start an interpreter per run, seconds
# each under the sanitizers: one run per call here, three in the plain runs.
run_pytest() {
  mkdir -p "$reports"
  VESTREL_EXIT_RUNS=${VESTREL_EXIT_RUNS:-1} LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
  PYTHONMALLOC=malloc ASAN_OPTIONS="$asan:detect_leaks=0:allocator_may_return_null=1" \
  UBSAN_OPTIONS="$ubsan" python3 kernel-py/tests/run_all.py --build "$build" "$@"
}

check_reports() {
  local refused='^==[0-9]+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes$'
  local status=0 report
  for report in "$reports"/*; do
    [[ -e $report ]] || continue
    if grep -qvE "$refused" "$report"; then
      echo "sanitizers: report in $report:"; cat "$report"; status=1
    fi
  done
  if ((status)); then echo "sanitizers: FAILED"; else echo "sanitizers: no reports"; fi
  return $status
}

case ${1:-all} in
  build) build_tree ;;
  ctest) run_ctest ;;
  pytest) shift; run_pytest "$@" ;;
  report) check_reports ;;
  all)
    build_tree
    status=0
    run_ctest || status=1
    run_pytest || status=1
    check_reports || status=1
    exit $status ;;
  *) echo "usage: scripts/test_sanitized.sh [build|ctest|pytest [ARGS]|report]" >&2; exit 2 ;;
esac
