#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine of this
# kind. Quiet and idempotent: packages already present are left alone.
set -euo pipefail

packages=(cmake g++ make pkg-config libssl-dev python3-dev libgtest-dev libbenchmark-dev
          nlohmann-json3-dev python3-pytest python3-hypothesis python3-exceptiongroup
          python3-tomli python3-mypy python3-pip python3-setuptools python3-wheel
          python3-venv python3-pyelftools python3-build
          nodejs npm binutils qemu-user g++-aarch64-linux-gnu
          valgrind clang libclang-rt-14-dev
          python3-uvicorn python3-starlette python3-flask python3-werkzeug python3-httpx
          python3-requests wrk redis-server python3-redis
          python3-hypercorn python3-h2 gunicorn
          python3-fastapi python3-django python3-djangorestframework)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# node and npm often come from outside Debian on these machines; only ask apt
# for them when the commands are really absent.
if command -v node >/dev/null && command -v npm >/dev/null; then
  tmp=()
  for p in "${missing[@]}"; do [[ $p == nodejs || $p == npm ]] || tmp+=("$p"); done
  missing=("${tmp[@]+"${tmp[@]}"}")
fi
# The aarch64 wheel's tests unpack Debian's arm64 CPython into a folder
# (scripts/aarch64_python.sh), so apt must know the arm64 packages; nothing of
# arm64 is installed.
update=$((${#missing[@]} > 0))
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "setup: adding the arm64 package lists"
  dpkg --add-architecture arm64
  update=1
elif ! apt-cache policy python3.11-minimal:arm64 2>/dev/null | grep -q 'Candidate: [0-9]'; then
  update=1
fi
export DEBIAN_FRONTEND=noninteractive
if ((update)); then apt-get update -qq; fi
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
