#!/usr/bin/env bash
# Builds the benchmarks in release mode and runs them: one line per pair
# (plugin path against its raw C API twin: the plugin's own share against its
# target, the whole path's ratio beside it), the pybind11 peer's lines, then
# the memory figures (--memory-calls=N for another count than a million).
# Exits non-zero when a target is missed.
# Python: Debian's libpython3.11 unless COILWORK_BENCH_PYTHON names another.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# The pybind11 peer is built against Debian's pybind11 and the 3.11 headers.
if [ "$(dpkg-query -W -f='${Status}\n' pybind11-dev python3.11-dev 2>/dev/null | grep -c "install ok installed")" != 2 ]; then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq pybind11-dev python3.11-dev >/dev/null ||
    echo "bench: pybind11 not installed; the peer lines are left out"
fi
scripts/build.sh release --target coilwork_bench coilwork >/dev/null
export COILWORK_BENCH_PYTHON="${COILWORK_BENCH_PYTHON:-/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0}"
export COILWORK_PLUGIN="$PWD/build/release/libcoilwork.so"
exec build/release/bench/coilwork_bench --benchmark_min_time=0.5 "$@"
