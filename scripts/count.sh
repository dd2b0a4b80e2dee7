#!/usr/bin/env bash
# Counts the instructions of the bench's pairs under callgrind:
#   scripts/count.sh PAIRS [BENCH]
# PAIRS: "all" or names joined by commas (call,list). BENCH: the bench
# program, build/release/bench/coilwork_bench unless given; its Python and
# plugin come from COILWORK_BENCH_PYTHON and COILWORK_PLUGIN, as for a run.
# Prints one line per pair and side, "PAIR SIDE INSTRUCTIONS WEIGHT": the
# instructions of one iteration, taken as the difference of two blocks of n
# and 2n iterations over n (coilwork_bench --count), so that what a block
# costs once drops out; WEIGHT is how many of that side one iteration of the
# plugin path holds. Exits non-zero, saying why on stderr, where nothing was
# counted.
#
# The two steps after the counting, on their own, for counts made elsewhere
# (scripts/bench-armhf.sh):
#   scripts/count.sh --slopes   reads "PAIR SIDE ITERATIONS WEIGHT TOTAL"
#                               lines, prints the lines above;
#   scripts/count.sh --ratios   reads the lines above, prints "PAIR RATIO"
#                               (the plugin path less the host's work, over
#                               the twin), one line per pair.
set -uo pipefail
cd "$(dirname "$0")/.."
slopes() {
  awk '
    { key = $1 " " $2
      if (!(key in n1)) { n1[key] = $3; t1[key] = $5; weight[key] = $4; order[count++] = key }
      else { n2[key] = $3; t2[key] = $5 } }
    END {
      for (i = 0; i < count; i++) {
        key = order[i]
        if (!(key in n2) || n2[key] == n1[key]) continue
        printf "%s %.1f %s\n", key, (t2[key] - t1[key]) / (n2[key] - n1[key]), weight[key]
      }
    }' | sort -s -k1,1
}
ratios() {
  awk '
    $2 == "plugin" { plugin[$1] = $3; if (!($1 in seen)) { seen[$1] = 1; order[n++] = $1 } }
    $2 == "twin" { twin[$1] = $3 }
    $2 ~ /^host_/ { host[$1] += $3 * $4 }
    END { for (i = 0; i < n; i++) if (twin[order[i]] > 0)
            printf "%s %.3f\n", order[i], (plugin[order[i]] - host[order[i]]) / twin[order[i]] }'
}
case "${1:-}" in
  --slopes) slopes; exit ;;
  --ratios) ratios; exit ;;
esac
pairs="${1:?usage: scripts/count.sh PAIRS [BENCH]}"
bench="${2:-build/release/bench/coilwork_bench}"
if ! command -v valgrind >/dev/null; then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq valgrind >/dev/null 2>&1 || true
fi
command -v valgrind >/dev/null || { echo "count: valgrind is not installed" >&2; exit 1; }
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
if ! valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out.%p" \
     "$bench" --count="$pairs" >/dev/null 2>"$out/log"; then
  echo "count: the counting run failed: $(grep -vE '^==' "$out/log" | tail -1)" >&2
  exit 1
fi
# Each dump: "count PAIR SIDE ITERATIONS WEIGHT" and its total.
for f in "$out"/callgrind.out.*.*; do
  awk '/^desc: Trigger: Client Request: count / { label = $6 " " $7 " " $8 " " $9 }
       /^totals:/ { total = $2 }
       END { if (label != "" && label !~ /^- /) print label, total }' "$f"
done | slopes >"$out/counts"
[ -s "$out/counts" ] || { echo "count: no block was counted" >&2; exit 1; }
cat "$out/counts"
