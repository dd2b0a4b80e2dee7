#!/usr/bin/env bash
# Builds the benchmarks in release mode and runs them: one line per pair
# (plugin path against its raw C API twin, with the ratio and its target),
# then the memory figures. Exits non-zero when a target is missed.
# Python: Debian's libpython3.11 unless COILWORK_BENCH_PYTHON names another.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh release --target coilwork_bench coilwork >/dev/null
export COILWORK_BENCH_PYTHON="${COILWORK_BENCH_PYTHON:-/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0}"
export COILWORK_PLUGIN="$PWD/build/release/libcoilwork.so"
exec build/release/bench/coilwork_bench --benchmark_min_time=0.5 "$@"
