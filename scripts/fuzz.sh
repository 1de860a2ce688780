#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UBSan on) and
# runs each for a bounded time from its committed seed corpus.
#   scripts/fuzz.sh [seconds-per-target]          build, then run every target (default 60 s)
#   scripts/fuzz.sh build                         build only
#   scripts/fuzz.sh run SECONDS TARGET...         run these built targets (scripts/test.sh
#                                                 runs two such lists side by side)
# New corpus entries go to fuzz/corpus-work/ (ignored by git); a crash stops
# the run and leaves its input in that folder.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VESTREL_FUZZ_BUILD_DIR:-build-fuzz}
targets=(payload_fuzz chain_fuzz caveat_scope_fuzz verify_fuzz text_fuzz)

build_targets() {
  CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVESTREL_BUILD_FUZZ=ON -DVESTREL_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >/dev/null
}

run_targets() {
  local seconds=$1 status=0 t name work
  shift
  for t in "$@"; do
    name=${t%_fuzz}
    work=fuzz/corpus-work/$name
    mkdir -p "$work"
    echo "fuzz: $t for ${seconds}s"
    if ! (cd "$work" && "../../../$build/fuzz/$t" -max_total_time="$seconds" -max_len=80000 \
            -print_final_stats=1 . "../../corpus/$name" 2>"$t.log"); then
      echo "fuzz: $t FAILED; see $work/$t.log"; tail -40 "$work/$t.log"; status=1
    else
      grep -E 'stat::number_of_executed_units|stat::new_units_added' "$work/$t.log" | tr '\n' ' '; echo
    fi
  done
  return $status
}

case ${1:-60} in
  build) build_targets ;;
  run) shift; run_targets "$@" ;;
  *) build_targets; run_targets "${1:-60}" "${targets[@]}" ;;
esac
