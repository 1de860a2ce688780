#!/usr/bin/env bash
# Builds the benchmarks and prints the figures with their ratios: ML-DSA-65 in
# the kernel next to PQClean's own functions, then the Python module next to
# OpenSSL's ML-DSA-65 (through `cryptography`, where this python3 has it), and
# the vestrel package's verify next to the module's.
# Nothing is asserted; on a shared machine, run it when the machine is quiet.
#
#   scripts/bench.sh            REPETITIONS=15 scripts/bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build=${VESTREL_BENCH_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESTREL_BUILD_BENCH=ON \
  -DVESTREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target kernel_bench vestrel_kernel_py \
  vestrel_native_py

# Repetitions in random order, so that a slow spell of the machine is spread
# over every benchmark instead of landing on one.
"$build/bench/kernel_bench" --benchmark_repetitions="${REPETITIONS:-9}" \
  --benchmark_enable_random_interleaving=true --benchmark_min_time=0.2 \
  --benchmark_report_aggregates_only=true \
  --benchmark_out="$build/kernel_bench.json" --benchmark_out_format=json >/dev/null

python3 bench/python_bench.py --kernel-json "$build/kernel_bench.json" \
  --module-dir "$build/kernel-py" --package-dir "$build/python"

# A Starlette endpoint bare, behind vestrel.asgi.Authorize, and a FastAPI one
# bare and with vestrel.fastapi.Auth (a 3-credential chain by reference): the
# time each adds per request next to one check_proof, in this process, then
# requests per second and latency on uvicorn; under Debian's python3, the one
# scripts/setup.sh gives uvicorn, Starlette and FastAPI.
http_python=/usr/bin/python3
[[ -x $http_python ]] || http_python=python3
"$http_python" bench/http_bench.py --module-dir "$build/kernel-py" --package-dir "$build/python"

# What the Redis stores add to verify_request beside the in-memory ones, on
# a redis-server the script starts on a free loopback port (Debian's python3
# has redis-py from scripts/setup.sh).
"$http_python" bench/redis_bench.py --module-dir "$build/kernel-py" --package-dir "$build/python"
