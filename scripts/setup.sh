#!/usr/bin/env bash
# Installs what building and testing need, with apt-get, when it is missing,
# and makes the roots that hold the Pythons the machine cannot install.
#
#   scripts/setup.sh        everything the test command needs: compilers (host
#                           and the armhf cross compiler), CMake, GoogleTest
#                           sources, Google Benchmark, clang with its sanitizer
#                           and fuzzer runtimes, Debian's libpython3.11 with its
#                           debug build and numpy (the buffer tests share host
#                           memory with it), the mosquitto broker and paho-mqtt
#                           (a threads test runs a broker of its own on a free
#                           loopback port), debugpy and coverage.py (the
#                           debugger tests attach a client of their own to
#                           debugpy; coverage.py measures code that host
#                           threads run), debootstrap; then scripts/roots.sh:
#                           sid's x86_64 Pythons and every armhf Python with
#                           the emulator they run under
#   scripts/setup.sh demo   what the demo needs: a compiler, CMake and
#                           Debian's libpython3.11
#
# No foreign architecture is needed: the armhf runtime comes from the roots,
# and the cross compiler is a package of the machine's own architecture. An
# index that cannot be read (a mirror in the middle of a sync) is tried again
# a few times, then set-up goes on with the indexes that were read; it stops
# only when a package it needs cannot be installed, and says which and why.
set -uo pipefail
cd "$(dirname "$0")/.."

SUDO=""
[ "$(id -u)" = 0 ] || SUDO="sudo"
UPDATE_TRIES="${COILWORK_APT_TRIES:-3}"
UPDATE_PAUSE="${COILWORK_APT_PAUSE:-10}"

mode="${1:-all}"
case "$mode" in
  demo) packages=(cmake make g++ libpython3.11 libpython3.11-stdlib) ;;
  all)  packages=(cmake make g++ clang libclang-rt-14-dev googletest libbenchmark-dev
                  libpython3.11 libpython3.11-stdlib libpython3.11-dbg python3-numpy
                  g++-arm-linux-gnueabihf mosquitto python3-paho-mqtt python3-debugpy
                  python3-coverage debootstrap) ;;
  *) echo "usage: scripts/setup.sh [demo]" >&2; exit 2 ;;
esac

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# apt-get update, tried again after a pause while any index fails. What
# could not be read is told, and the indexes that were read stay in use.
update_indexes() {
  local log try
  log="$(mktemp)"
  for ((try = 1; try <= UPDATE_TRIES; try++)); do
    if $SUDO apt-get update -qq >"$log" 2>&1; then rm -f "$log"; return 0; fi
    [ "$try" = "$UPDATE_TRIES" ] || sleep "$UPDATE_PAUSE"
  done
  echo "setup: apt-get update failed $UPDATE_TRIES times; going on with the indexes it read. It said:"
  grep -E '^(E|W|Err):' "$log" | sed 's/^/setup:   /'
  rm -f "$log"
}

# apt-get install, all at once; when that fails, one package at a time, to
# name each package that cannot be installed with apt's reason.
install_packages() {
  # Installing mosquitto starts it as a system service wherever services may
  # start; no test wants that broker, so while installing, a policy that
  # denies starting services stands in when the machine has none of its own.
  local policy=/usr/sbin/policy-rc.d own_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    own_policy=1
  fi
  local log failed=() p
  log="$(mktemp)"
  if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$@" >"$log" 2>&1; then
    for p in "$@"; do
      installed "$p" && continue
      if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$p" >"$log" 2>&1; then
        failed+=("$p")
        echo "setup: cannot install $p:"
        grep -vE '^(Selecting|Preparing|Unpacking|Setting up|Processing|\(Reading)' "$log" |
          head -n 20 | sed 's/^/setup:   /'
      fi
    done
  fi
  rm -f "$log"
  [ "$own_policy" = 0 ] || $SUDO rm -f "$policy"
  [ "${#failed[@]}" = 0 ] || { echo "setup: stopped: ${failed[*]} could not be installed"; return 1; }
}

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
roots_ready=1
[ "$mode" = demo ] || scripts/roots.sh --ready || roots_ready=0

if [ "${#missing[@]}" -gt 0 ] || [ "$roots_ready" = 0 ]; then
  # The armhf roots' emulator may come out of a package fetched through
  # these indexes, so they are brought up to date for the roots too.
  update_indexes
fi
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  install_packages "${missing[@]}" || exit 1
fi
if [ "$roots_ready" = 0 ] && ! $SUDO scripts/roots.sh; then
  # The rest of the tests can still run; the missing roots' Pythons are
  # counted as failures where their suites would run.
  echo "setup: ready, but without the roots that failed above"
  exit 0
fi
echo "setup: ready"
