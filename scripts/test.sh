#!/usr/bin/env bash
# Builds everything and runs every test: the kernel's GoogleTest suites through
# CTest (on the main build, on one pinned to the portable ML-DSA backend, on
# an AVX-512 CPU the ML-DSA tests on one pinned to the AVX2 backend, and
# under the sanitizers; the main build's includes the constant-time check under
# valgrind and, for the AVX-512 backend, under MemorySanitizer), the module's pytest suite (below), the demo, each
# fuzz target for a bounded time, and the aarch64 wheel under qemu-aarch64
# (scripts/test_aarch64.sh).
#
# The steps run side by side, as many at a time as there are cores
# (scripts/steps.py), each tree built once; the table at the end shows what
# each step took. The module is one stable-ABI file for every interpreter, so
# the full pytest suite runs under the oldest and the newest CPython, plain and
# sanitized, and a load-and-smoke run under the others (run_all.py in
# kernel-py/tests says which). The logs stay in build-logs/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

# The published ML-DSA vectors live beside the repository, not in it. Each test
# that needs them says so when it skips; say it once here too, where it shows.
vectors=${VESTREL_SHARED_VECTORS:-../shared/vectors}
if [[ ! -d $vectors ]]; then
  if [[ ${VESTREL_REQUIRE_SHARED_VECTORS:-} == 1 ]]; then
    echo "test: no ML-DSA vectors at $vectors, and VESTREL_REQUIRE_SHARED_VECTORS=1" >&2; exit 1
  fi
  echo "test: no ML-DSA vectors at $vectors: their tests are skipped (set VESTREL_SHARED_VECTORS to their folder)"
fi

build=${VESTREL_BUILD_DIR:-build}
portable=$build-portable
pinned_avx2=$build-avx2
jobs=$(nproc)
run_all="python3 kernel-py/tests/run_all.py --build $build"

# Each fuzz target for 25 s from its seed corpus, two lists side by side.
fuzz_seconds=25

# On a CPU with AVX-512 the dispatch never picks the avx2 backend by itself:
# the ML-DSA tests run once more in a build pinned to it (the backends'
# agreement test already calls it directly, so that one is left out).
avx2_step="# no AVX-512 here: the dispatch already runs the avx2 backend"
if grep -qw avx512f /proc/cpuinfo 2>/dev/null; then
  avx2_step="avx2-pinned  -      cmake -S . -B $pinned_avx2 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESTREL_FORCE_AVX2=ON >/dev/null \
&& cmake --build $pinned_avx2 -j$jobs --target kernel_tests \
&& $pinned_avx2/kernel/tests/kernel_tests --gtest_brief=1 '--gtest_filter=MlDsa65*:*MlDsa65Vectors*:-MlDsa65Backends.AgreeOnRandomKeysMessagesAndTamperedSignatures:MlDsa65Backends.Avx512AgreesOnRandomKeysMessagesAndTamperedSignatures'"
fi

# NAME  AFTER  COMMAND; the long chains first (scripts/steps.py).
python3 scripts/steps.py <<PLAN
# Debian's arm64 CPython, unpacked: its headers for the aarch64 wheel, and its
# libcrypto for the policy check's aarch64 modules in the once-per-suite tests.
aarch64-python  -   bash scripts/aarch64_python.sh build-aarch64/python
build        -      cmake -S . -B $build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESTREL_BUILD_TESTS=ON >/dev/null && cmake --build $build -j$jobs
asan-build   -      bash scripts/test_sanitized.sh build

# The README's demo command, on the build above, so that it cannot rot. It goes
# before the once-per-suite tests, which rebuild the module in the same tree
# for the wheel.
demo         build  VESTREL_BUILD_DIR=$build bash scripts/demo.sh >/dev/null && echo "demo: ok"
py-debian    demo,aarch64-python  $run_all --only debian
aarch64      aarch64-python  bash scripts/test_aarch64.sh
asan-newest  asan-build  bash scripts/test_sanitized.sh pytest --only newest
ctest        build  ctest --test-dir $build --output-on-failure -j$jobs
py-newest    build  $run_all --only newest
py-oldest    build  $run_all --only oldest

# The kernel's tests once more with ML-DSA pinned to the portable backend, as
# on a CPU without AVX2 (the valgrind and MemorySanitizer runs of the
# constant-time check are left to the main build).
portable     -      cmake -S . -B $portable -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESTREL_FORCE_PORTABLE=ON >/dev/null && cmake --build $portable -j$jobs --target kernel_tests mldsa65_no_alloc_tests crypto_oracle_tests && ctest --test-dir $portable --output-on-failure -j$jobs -E '^(memcheck|ctmsan)[.]'

$avx2_step

asan-ctest   asan-build  bash scripts/test_sanitized.sh ctest
asan-oldest  asan-build  bash scripts/test_sanitized.sh pytest --only oldest --smoke
asan-report  ~asan-ctest,~asan-newest,~asan-oldest  bash scripts/test_sanitized.sh report

fuzz-build   -      bash scripts/fuzz.sh build
fuzz-a       fuzz-build  bash scripts/fuzz.sh run $fuzz_seconds payload_fuzz caveat_scope_fuzz text_fuzz
fuzz-b       fuzz-build  bash scripts/fuzz.sh run $fuzz_seconds chain_fuzz verify_fuzz
py-current   build  $run_all --only current
PLAN
