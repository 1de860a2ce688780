#!/usr/bin/env bash
# The aarch64 wheel, built and tested on this x86-64 machine: cross-compiled
# (scripts/wheels.sh), checked by tools/elf_policy.py, installed by pip into a
# folder under Debian's arm64 CPython run by qemu-aarch64
# (scripts/aarch64_python.sh), then the load-and-smoke files of the pytest
# suite run there against the installed copy (kernel-py/tests/run_all.py
# --smoke): both modules load on the portable ML-DSA backend, derive
# identities, issue and verify chains through vestrel and vestrel_kernel,
# replay the committed vectors and the published verdicts, refuse. The
# published keys and signatures, byte for byte, are the kernel's ML-DSA tests
# (mldsa65_vector_tests), built in the wheel's own CMake tree and run under
# qemu-aarch64 too.
#   scripts/test_aarch64.sh     (folders: build-aarch64, build-pip/cmake-aarch64)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$PWD/build-aarch64
python=$build/python/usr/bin/python3
dist=$build/dist
site=$build/site
dist_packages=/usr/lib/python3/dist-packages

bash scripts/aarch64_python.sh "$build/python"
rm -rf "$dist" "$site"
# The wheel's tree (setup.py's default), with the cross build's tests on; the
# wheel's build keeps the options it finds.
tree=build-pip/cmake-aarch64
cmake -S . -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESTREL_BUILD_TESTS=ON \
  -DVESTREL_PYTHON_INCLUDE_DIRS="$build/python/usr/include/python3.11;$build/python/usr/include" \
  -DVESTREL_CROSS_GTEST_ROOT="$build/python" >/dev/null
bash scripts/wheels.sh -o "$dist" aarch64
wheel=$(echo "$dist"/vestrel_kernel-*-cp39-abi3-manylinux_2_28_aarch64.whl)

cmake --build "$tree" -j"$(nproc)" --target mldsa65_vector_tests >/dev/null
qemu-aarch64 -L /usr/aarch64-linux-gnu "$tree/kernel/tests/mldsa65_vector_tests"

# pip itself (Debian's, pure Python, appended to the path) decides, under the
# emulated interpreter, that the wheel's tags fit this platform.
"$python" -c "import sys; sys.path.append('$dist_packages'); from pip._internal.cli.main import main
sys.exit(main(sys.argv[1:]))" install -q --no-index --no-deps --disable-pip-version-check --root-user-action=ignore \
  --target "$site/kernel-py" "$wheel"
# conftest.py finds the modules in <build>/kernel-py and the package in <build>/python.
ln -s kernel-py "$site/python"

# Everything the tests import, then a look at where each module came from: the
# standard library and every compiled module from the arm64 folder or the
# installed wheel, none from this machine's own CPython.
(cd "$build" && "$python" - "$build/python" "$site" "$dist_packages") <<'PY'
import sys
sys.path.append(sys.argv[3])
sys.path.insert(0, sys.argv[2] + "/kernel-py")
import hashlib, hmac, json, subprocess, threading, zipfile  # noqa: F401
import elftools.elf.elffile, hypothesis, pytest  # noqa: F401
import vestrel, vestrel_kernel
root, site, dist = sys.argv[1:]
assert vestrel_kernel.__file__.startswith(site) and vestrel._native.__file__.startswith(site)
assert sys.prefix.startswith(root) and sys.base_prefix.startswith(root), sys.prefix
compiled, wrong = 0, []
for name, module in sorted(sys.modules.items()):
    path = getattr(module, "__file__", None) or ""
    if not path.startswith("/"):  # __main__, read from standard input
        continue
    if path.endswith(".so"):
        compiled += 1
        with open(path, "rb") as f:
            machine = int.from_bytes(f.read(20)[18:20], "little")
        if machine != 183 or not path.startswith((root, site)):  # EM_AARCH64
            wrong.append(f"{name}: {path} (machine {machine})")
    elif not path.startswith((root, site, dist)):
        wrong.append(f"{name}: {path}")
assert not wrong, "modules from outside the arm64 folder:\n  " + "\n  ".join(wrong)
import platform
print(f"aarch64: {platform.machine()} CPython {platform.python_version()}, {len(sys.modules)} modules, "
      f"{compiled} compiled, all from {root} or the wheel")
PY

python3 kernel-py/tests/run_all.py --build "$site" --python "$python" --smoke -- -rs
