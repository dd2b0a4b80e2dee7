#!/usr/bin/env bash
# The benchmarks cross-built for armhf and run under qemu with Debian 12's
# armhf C library and libpython3.11 (the bookworm-armhf root, which also
# holds the armhf Google Benchmark the bench links). Emulated timing: the
# ratios are for information, the targets hold for x86_64.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh || exit 1
root=bookworm-armhf
scripts/roots.sh --ready "$root" || { echo "bench-armhf: root $root is not made (scripts/roots.sh $root)"; exit 1; }
dir="$(scripts/roots.sh --list | awk -v n="$root" '$1 == n { print $4 }')"
cmake --preset armhf-release -Dbenchmark_DIR="$dir/usr/lib/arm-linux-gnueabihf/cmake/benchmark" >/dev/null || exit 1
scripts/build.sh armhf-release --target coilwork_bench coilwork >/dev/null || exit 1
COILWORK_BENCH_PYTHON="$(scripts/roots.sh --pythons "$root" | grep -m1 '/libpython3\.11\.so\.1\.0$')"
export COILWORK_BENCH_PYTHON
export COILWORK_PLUGIN="$PWD/build/armhf-release/libcoilwork.so"
scripts/in-root.sh "$root" build/armhf-release/bench/coilwork_bench --benchmark_min_time=0.2 --rounds=7 "$@"
echo "(armhf under qemu: for information; exit status of the targets ignored)"
