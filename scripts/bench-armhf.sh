#!/usr/bin/env bash
# The benchmarks cross-built for armhf and run under qemu-arm against
# Debian's armhf libpython3.11. Emulated timing: the ratios are for
# information, the targets hold for x86_64.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh armhf-release --target coilwork_bench coilwork >/dev/null || exit 1
export COILWORK_BENCH_PYTHON=/usr/lib/arm-linux-gnueabihf/libpython3.11.so.1.0
export COILWORK_PLUGIN="$PWD/build/armhf-release/libcoilwork.so"
qemu-arm build/armhf-release/bench/coilwork_bench --benchmark_min_time=0.2 --rounds=7 "$@"
echo "(armhf under qemu: for information; exit status of the targets ignored)"
