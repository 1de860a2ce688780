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
