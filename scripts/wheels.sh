#!/usr/bin/env bash
# Builds the binary wheels: cp39-abi3-manylinux_2_28_x86_64 on this machine,
# and cp39-abi3-manylinux_2_28_aarch64 cross-compiled with Debian's
# g++-aarch64-linux-gnu against the headers of Debian's arm64 CPython
# (scripts/aarch64_python.sh). Offline, the way docs/install.md describes:
# Debian's python3 with its own setuptools, without build isolation. setup.py
# checks every module with tools/elf_policy.py before it tags the wheel.
#   scripts/wheels.sh [-o DIR] [x86_64] [aarch64]   (default: both, into dist/)
# The CMake trees are build-pip/cmake and build-pip/cmake-aarch64, kept
# between runs so that the next one only rebuilds what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

out=dist
if [[ ${1:-} == -o ]]; then out=$2; shift 2; fi
arches=("$@")
((${#arches[@]})) || arches=(x86_64 aarch64)
mkdir -p "$out"
out=$(realpath "$out")

pip_wheel() {
  env -u VESTREL_CMAKE_BUILD_DIR PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 "$@" \
    /usr/bin/python3 -m pip wheel -q --no-build-isolation --no-deps -w "$out" .
}

for arch in "${arches[@]}"; do
  case $arch in
    x86_64) pip_wheel env -u VESTREL_CROSS ;;
    aarch64)
      python=$PWD/build-aarch64/python
      bash scripts/aarch64_python.sh "$python"
      pip_wheel env VESTREL_CROSS=aarch64 \
        VESTREL_PYTHON_INCLUDE_DIRS="$python/usr/include/python3.11;$python/usr/include" ;;
    *) echo "wheels: no wheel for $arch (x86_64 or aarch64)" >&2; exit 2 ;;
  esac
  /usr/bin/python3 tools/elf_policy.py "$out"/vestrel_kernel-*-manylinux_2_28_"$arch".whl
done
