#!/usr/bin/env bash
# The constant-time check (kernel/tests/memcheck/constant_time_check.cc) built
# with clang's MemorySanitizer instead of run under valgrind, so that it also
# covers the AVX-512 backend, whose instructions valgrind cannot decode. The
# main build's CTest runs it as the ctmsan.* tests.
#   scripts/ctmsan.sh build DIR [PQCLEAN_ROOT]   configure and build it in DIR
#   scripts/ctmsan.sh run DIR MODE               run one mode of the built check
# Exits 77 (a skip, for CTest) where clang has no MemorySanitizer.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
step=${1:?build or run}
dir=${2:?build directory}
check=$dir/kernel/tests/memcheck/constant_time_check

case $step in
  build)
    probe=$(mktemp -d)
    trap 'rm -rf "$probe"' EXIT
    echo 'int main() { return 0; }' >"$probe/p.cc"
    if ! command -v clang++ >/dev/null ||
       ! clang++ -fsanitize=memory "$probe/p.cc" -o "$probe/p" 2>/dev/null; then
      echo "SKIP: clang++ with MemorySanitizer is not installed; the AVX-512 backend's constant-time check needs it"
      exit 77
    fi
    args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESTREL_CT_MSAN=ON)
    [[ -n ${3:-} ]] && args+=(-DVESTREL_PQCLEAN_ROOT="$3")
    CC=clang CXX=clang++ cmake -S "$src" -B "$dir" "${args[@]}" >/dev/null
    cmake --build "$dir" -j"${VESTREL_CTMSAN_JOBS:-$(nproc)}" --target constant_time_check >/dev/null
    ;;
  run)
    if [[ ! -x $check ]]; then
      echo "SKIP: the MemorySanitizer build of the constant-time check was not made"
      exit 77
    fi
    exec "$check" "${3:?mode}"
    ;;
  *) echo "usage: $0 build DIR [PQCLEAN_ROOT] | run DIR MODE" >&2; exit 2 ;;
esac
