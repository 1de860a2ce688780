#!/usr/bin/env bash
# Builds the module and runs the example in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=${VESTREL_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target vestrel_kernel_py
PYTHONPATH="$build/kernel-py${PYTHONPATH:+:$PYTHONPATH}" python3 examples/delegation.py
