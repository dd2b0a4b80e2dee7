#!/usr/bin/env bash
# Installs what building and testing need, with apt-get, when it is missing:
# compilers (host and armhf cross), CMake, GoogleTest sources, Google
# Benchmark, clang with its sanitizer and fuzzer runtimes, qemu-user, Debian's
# libpython3.11 with its debug build and numpy (the buffer tests share host
# memory with it), the mosquitto broker and paho-mqtt (a threads test runs a
# broker of its own on a free loopback port), debugpy and coverage.py (the
# debugger tests attach a client of their own to debugpy; coverage.py
# measures code that host threads run), and Debian's armhf runtime with its
# libpython3.11.
set -euo pipefail

SUDO=""
[ "$(id -u)" = 0 ] || SUDO="sudo"

native=(cmake make g++ clang libclang-rt-14-dev googletest libbenchmark-dev
        libpython3.11 libpython3.11-stdlib libpython3.11-dbg python3-numpy g++-arm-linux-gnueabihf qemu-user
        mosquitto python3-paho-mqtt python3-debugpy python3-coverage)
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
  # Installing mosquitto starts it as a system service wherever services may
  # start; no test wants that broker, so while installing, a policy that
  # denies starting services stands in when the machine has none of its own.
  policy=/usr/sbin/policy-rc.d
  own_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    own_policy=1
  fi
  rc=0
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null || rc=$?
  [ "$own_policy" = 0 ] || $SUDO rm -f "$policy"
  [ "$rc" = 0 ] || exit "$rc"
fi
echo "setup: ready"
