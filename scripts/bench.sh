#!/usr/bin/env bash
# Builds the benchmarks in release mode and runs them: one line per pair
# (plugin path against its raw C API twin: the plugin's own share against its
# target, the whole path's ratio beside it), the pybind11 peer's lines, then
# the memory figures (--memory-calls=N for another count than a million).
# Exits non-zero when a target is missed.
#
# "--runs N" (first) runs the paired rounds N times (the table with the
# first run only) and judges each target on the median of the N runs,
# printing every run's figure: single runs on a shared two-core machine move
# by a tenth.
# Python: Debian's libpython3.11 unless COILWORK_BENCH_PYTHON names another.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=1
if [ "${1:-}" = "--runs" ]; then
  [ $# -ge 2 ] && [ "$2" -ge 1 ] 2>/dev/null || { echo "usage: $0 [--runs N] [bench arguments]" >&2; exit 2; }
  runs="$2"
  shift 2
fi
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
bench=(build/release/bench/coilwork_bench --benchmark_min_time=0.5)
if [ "$runs" -eq 1 ]; then
  exec "${bench[@]}" "$@"
fi

logs="$(mktemp -d)"
trap 'rm -rf "$logs"' EXIT
failed=0
for i in $(seq 1 "$runs"); do
  echo "=== run $i of $runs"
  extra=()
  [ "$i" -gt 1 ] && extra=(--paired-only)
  # A run's own exit code counts its single figures; only failures that are
  # no figure (a path that could not run, memory that grew) fail here.
  "${bench[@]}" "${extra[@]}" "$@" | tee "$logs/run$i" || true
  grep -qE '^(a path failed|memory check failed)' "$logs/run$i" && failed=1
done
echo
echo "=== targets over $runs runs (median judged)"
# Each run prints "target NAME VALUE LIMIT" per target, in the same order.
awk '
  $1 == "target" {
    if (!($2 in limit)) order[n++] = $2
    limit[$2] = $4
    values[$2] = values[$2] " " $3
    count[$2]++
  }
  END {
    missed = 0
    for (i = 0; i < n; i++) {
      name = order[i]
      k = split(substr(values[name], 2), v, " ")
      for (a = 1; a <= k; a++) for (b = a + 1; b <= k; b++) if (v[b] < v[a]) { t = v[a]; v[a] = v[b]; v[b] = t }
      median = k % 2 ? v[(k + 1) / 2] : (v[k / 2] + v[k / 2 + 1]) / 2
      hit = median <= limit[name]
      if (!hit) missed = 1
      printf "%s: runs%s, median %.2f, target %.2f%s\n", name, values[name], median, limit[name], hit ? "" : "  MISSED"
    }
    print (n == 0 ? "no target measured" : missed ? "targets missed" : "all targets met")
    exit (n == 0 || missed)
  }' "$logs"/run* || failed=1
exit $failed
