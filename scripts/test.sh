#!/usr/bin/env bash
# Builds everything and runs every test: the kernel's GoogleTest suites through
# CTest (on the main build and under the sanitizers), the module's pytest suite
# (below), the demo, each fuzz target for a bounded time, and the aarch64 wheel
# under qemu-aarch64 (scripts/test_aarch64.sh).
#
# Every ML-DSA backend is tested in the main build: the backend tests call
# each one the CPU can run directly, and CTest runs the kernel's tests once
# more under QEMU on a CPU without AVX (the dispatch settles on the portable
# backend) and on one without AVX-512 (it settles on the AVX2 one). The main
# build's CTest also holds the constant-time check under valgrind and, for
# the AVX-512 backend, under MemorySanitizer.
#
# The steps run side by side, as many at a time as there are cores
# (scripts/steps.py), each tree built once; the table at the end shows what
# each step took. The module is one stable-ABI file for every interpreter, so
# the full pytest suite runs under the oldest and the newest CPython, and a
# load-and-smoke run under the others (run_all.py in kernel-py/tests says
# which): the newest runs it plainly; the oldest runs it under ASan and UBSan,
# and plainly the tests those leave out (plain_only, in conftest.py); the
# load-and-smoke files run under the sanitizers on the newest too. The logs
# stay in build-logs/.
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
jobs=$(nproc)
run_all="python3 kernel-py/tests/run_all.py --build $build"

# Each fuzz target for 10 s from its seed corpus, two lists side by side.
fuzz_seconds=10

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
# The fuzz tree early, so that its short runs do not end the plan alone.
fuzz-build   -      bash scripts/fuzz.sh build
asan-oldest  asan-build  bash scripts/test_sanitized.sh pytest --only oldest
ctest        build  ctest --test-dir $build --output-on-failure -j$jobs
py-newest    build  $run_all --only newest
py-oldest    build  $run_all --only oldest -- -m plain_only

asan-ctest   asan-build  bash scripts/test_sanitized.sh ctest
asan-newest  asan-build  bash scripts/test_sanitized.sh pytest --only newest --smoke
asan-report  ~asan-ctest,~asan-newest,~asan-oldest  bash scripts/test_sanitized.sh report

fuzz-a       fuzz-build  bash scripts/fuzz.sh run $fuzz_seconds payload_fuzz caveat_scope_fuzz text_fuzz
fuzz-b       fuzz-build  bash scripts/fuzz.sh run $fuzz_seconds chain_fuzz verify_fuzz
py-current   build  $run_all --only current
PLAN
