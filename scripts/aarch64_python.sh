#!/usr/bin/env bash
# Unpacks Debian's arm64 CPython (interpreter, standard library, headers) and
# the C library and other libraries it loads, and GoogleTest's arm64 static
# libraries for the kernel's ML-DSA tests, into a folder, for the aarch64
# wheel's build (the headers) and its tests under qemu-aarch64 (user-mode
# emulation, Debian's qemu-user). Nothing is installed: the packages are
# fetched with `apt-get download` and unpacked with `dpkg-deb -x`; the arm64
# package lists come from scripts/setup.sh.
#   scripts/aarch64_python.sh [FOLDER]     (default: build-aarch64/python)
# Writes FOLDER/usr/bin/python3, which runs the emulated interpreter; the
# interpreter finds its standard library beside itself, under FOLDER, and
# sys.executable names that script, so a test that starts sys.executable
# starts the emulated interpreter again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(realpath -m "${1:-build-aarch64/python}")

# The interpreter and what its standard library's compiled modules need.
packages=(libc6 python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev
          zlib1g libexpat1 libffi8 libssl3 libbz2-1.0 liblzma5 libcrypt1 libuuid1
          libgtest-dev)
stamp=$root/.packages
# One apt-cache call for them all: each call reads every package list again.
wanted=$(apt-cache policy "${packages[@]/%/:arm64}" | awk '/^[^ ]/ {p = $1; sub(/:arm64:$/, "", p)} /Candidate:/ {print p, $2}')
if [[ -f $stamp && $(cat "$stamp") == "$wanted" ]]; then exit 0; fi
if grep -q '(none)' <<<"$wanted" || [[ $(wc -l <<<"$wanted") -ne ${#packages[@]} ]]; then
  echo "aarch64: Debian's arm64 packages are not known to apt (scripts/setup.sh adds them)" >&2
  exit 1
fi

rm -rf "$root"
mkdir -p "$root/.debs"
(cd "$root/.debs" && apt-get download -qq "${packages[@]/%/:arm64}" 2>/dev/null)
for deb in "$root"/.debs/*.deb; do dpkg-deb -x "$deb" "$root"; done
rm -rf "$root/.debs"

# -L: the emulated loader and every library it opens come from the folder
# first; -0: argv[0] is this script, which the interpreter reports as
# sys.executable and searches its standard library from.
cat >"$root/usr/bin/python3" <<SCRIPT
#!/bin/sh
exec qemu-aarch64 -L "$root" -0 "$root/usr/bin/python3" "$root/usr/bin/python3.11" "\$@"
SCRIPT
chmod +x "$root/usr/bin/python3"
echo "$wanted" >"$stamp"
