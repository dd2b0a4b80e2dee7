#!/usr/bin/env bash
# Installs what building and testing need, with apt-get, when it is missing:
# compilers (host and armhf cross), CMake, GoogleTest sources, Google
# Benchmark, clang with its sanitizer and fuzzer runtimes, qemu-user, Debian's
# libpython3.11 with its debug build and numpy (the buffer tests share host
# memory with it), and Debian's armhf runtime with its
# libpython3.11.
set -euo pipefail

SUDO=""
[ "$(id -u)" = 0 ] || SUDO="sudo"

native=(cmake make g++ clang libclang-rt-14-dev googletest libbenchmark-dev
        libpython3.11 libpython3.11-stdlib libpython3.11-dbg python3-numpy g++-arm-linux-gnueabihf qemu-user)
armhf=(libc6:armhf libstdc++6:armhf libpython3.11:armhf libpython3.11-stdlib:armhf
       libbenchmark-dev:armhf)

missing=()
for p in "${native[@]}" "${armhf[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $SUDO dpkg --add-architecture armhf
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
echo "setup: ready"
