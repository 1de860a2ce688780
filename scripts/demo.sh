#!/usr/bin/env bash
# Builds the module and the vestrel package and runs the examples in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=${VESTREL_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target vestrel_kernel_py vestrel_native_py
path="$build/python:$build/kernel-py${PYTHONPATH:+:$PYTHONPATH}"
PYTHONPATH="$path" python3 examples/delegation.py
PYTHONPATH="$path" python3 examples/authorize.py
# The FastAPI notes service with Redis and its httpx client (skipped, saying
# why, where Debian's python3 lacks FastAPI or redis, or redis-server is absent).
PYTHONPATH="$path" bash examples/fastapi_service/run.sh
