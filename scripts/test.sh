#!/usr/bin/env bash
# Builds everything and runs every test: the kernel's GoogleTest suites through
# CTest, then the module's pytest suite under the oldest and the newest CPython
# on the machine (and Debian's own python3), all against the one abi3 module.
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
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESTREL_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

# The kernel's tests once more with ML-DSA pinned to the portable backend, as
# on a CPU without AVX2 (the valgrind runs are left to the main build).
portable=$build-portable
cmake -S . -B "$portable" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESTREL_FORCE_PORTABLE=ON >/dev/null
cmake --build "$portable" -j"$(nproc)" --target kernel_tests mldsa65_no_alloc_tests crypto_oracle_tests
ctest --test-dir "$portable" --output-on-failure -j"$(nproc)" -E '^memcheck[.]'

python3 kernel-py/tests/run_all.py --build "$build"

# The README's demo command, on the build above, so that it cannot rot.
VESTREL_BUILD_DIR="$build" bash scripts/demo.sh >/dev/null
echo "demo: ok"

# The kernel's and the module's suites again, under AddressSanitizer and UBSan.
bash scripts/test_sanitized.sh

# Each fuzz target for a short, bounded time from its seed corpus.
bash scripts/fuzz.sh 25
