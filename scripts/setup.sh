#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# --fuzz adds clang and the compiler runtime with libFuzzer that matches it (fuzz/run.sh).
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libsqlite3-dev libcli11-dev nlohmann-json3-dev bindfs strace)
# --package adds what CPack needs to make the Debian packages (dpkg-shlibdeps, file).
if [ "${1:-}" = "--package" ]; then packages+=(dpkg-dev file); fi
if [ "${1:-}" = "--fuzz" ]; then
  # libFuzzer lives in the compiler-rt package of the same major version as clang.
  clang_major=$(clang --version 2>/dev/null | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)
  if [ -n "$clang_major" ]; then
    packages+=("clang-$clang_major" "libclang-rt-$clang_major-dev")
  else
    packages+=(clang libclang-rt-dev)
  fi
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: run as root (or install them yourself): apt-get install ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
