#!/usr/bin/env bash
# The benchmarks cross-built for armhf and run under qemu with Debian 12's
# armhf C library and libpython3.11 (the bookworm-armhf root, which also
# holds the armhf Google Benchmark the bench links). Emulated timing: the
# ratios are for information, the targets hold for x86_64.
#
# Then the instructions of every pair, counted on armhf by qemu itself: the
# machine's qemu-arm (Debian's, with plugin support) runs the bench's
# counting mode with a plugin of ours (bench/qemu_count.c) that counts the
# guest instructions executed between the bench's marks. The ratios are
# printed in a table beside x86_64's (callgrind, scripts/count.sh), for
# information. "--counts-only" skips the timed run.
set -uo pipefail
cd "$(dirname "$0")/.."
timed=1
[ "${1:-}" = "--counts-only" ] && { timed=0; shift; }
scripts/setup.sh || exit 1
root=bookworm-armhf
scripts/roots.sh --ready "$root" || { echo "bench-armhf: root $root is not made (scripts/roots.sh $root)"; exit 1; }
dir="$(scripts/roots.sh --list | awk -v n="$root" '$1 == n { print $4 }')"
# The build's own output (the cross compiler's notes on argument passing)
# only where it fails.
buildlog="$(mktemp)"
{ cmake --preset armhf-release -Dbenchmark_DIR="$dir/usr/lib/arm-linux-gnueabihf/cmake/benchmark" &&
  scripts/build.sh armhf-release --target coilwork_bench coilwork; } >"$buildlog" 2>&1 ||
  { tail -n 20 "$buildlog"; rm -f "$buildlog"; exit 1; }
rm -f "$buildlog"
COILWORK_BENCH_PYTHON="$(scripts/roots.sh --pythons "$root" | grep -m1 '/libpython3\.11\.so\.1\.0$')"
export COILWORK_BENCH_PYTHON
export COILWORK_PLUGIN="$PWD/build/armhf-release/libcoilwork.so"
if [ "$timed" = 1 ]; then
  scripts/in-root.sh "$root" build/armhf-release/bench/coilwork_bench --benchmark_min_time=0.2 --rounds=7 "$@"
  echo "(armhf under qemu: for information; exit status of the targets ignored)"
fi

echo
echo "=== instructions by pair: plugin alone (its path less the host's work) over the twin"
qemu=/usr/bin/qemu-arm
if [ ! -x "$qemu" ] || ! "$qemu" -h 2>&1 | grep -q -- '-plugin'; then
  echo "bench-armhf: no instruction counts: $qemu is missing or has no plugin support (package qemu-user)"
  exit 0
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cc -shared -fPIC -O2 -o "$work/qemu_count.so" bench/qemu_count.c || exit 1
COILWORK_NO_CHILDREN=1 "$qemu" -L "$dir" -plugin "$work/qemu_count.so" -d plugin -D "$work/marks" \
  build/armhf-release/bench/coilwork_bench --count=all >"$work/labels" 2>"$work/log" ||
  { echo "bench-armhf: the counting run failed: $(tail -1 "$work/log")"; exit 1; }
# "mark ID PHASE COUNT" from the plugin, "count-mark ID count PAIR SIDE N W"
# from the bench: a block's instructions are its end's count less its start's.
awk 'FNR == NR { if ($1 == "mark") at[$2, $3] = $4; next }
     $1 == "count-mark" && $4 != "-" && (($2, 0) in at) && (($2, 1) in at) {
       print $4, $5, $6, $7, at[$2, 1] - at[$2, 0] }' "$work/marks" "$work/labels" |
  scripts/count.sh --slopes >"$work/armhf"
[ -s "$work/armhf" ] || { echo "bench-armhf: no block was counted"; exit 1; }
scripts/build.sh release --target coilwork_bench coilwork >/dev/null 2>&1 || exit 1
COILWORK_BENCH_PYTHON=/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0 \
  COILWORK_PLUGIN="$PWD/build/release/libcoilwork.so" scripts/count.sh all >"$work/x86" ||
  : >"$work/x86"
scripts/count.sh --ratios <"$work/armhf" >"$work/armhf.ratios"
scripts/count.sh --ratios <"$work/x86" >"$work/x86.ratios"
printf "%-16s %18s %18s\n" pair "armhf (qemu)" "x86_64 (callgrind)"
awk 'FNR == NR { x86[$1] = $2; next } { printf "%-16s %18.2f %18s\n", $1, $2, ($1 in x86) ? sprintf("%.2f", x86[$1]) : "-" }' \
  "$work/x86.ratios" "$work/armhf.ratios"
echo "(both with Debian 12's libpython3.11; every thread adds to qemu's one count, so thread_callback's armhf figure is approximate)"
