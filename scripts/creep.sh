#!/usr/bin/env bash
# Guards the call pair against creeping cost: counts its instructions under
# callgrind (scripts/count.sh) with Debian's libpython3.11 and fails when the
# plugin alone (its path less the host's two instances) takes more than 3 %
# over the figure kept in bench/call-instructions. A count more than 3 %
# under it is told too, so that the figure can be brought down with the
# change that earned it.
set -euo pipefail
cd "$(dirname "$0")/.."
figure="$(awk '!/^#/ && NF { print $1; exit }' bench/call-instructions)"
# The plugin of the release archives' build (dist: the bench's Release
# flags), which the test command has just made, and the bench alone, which
# loads it at run time.
scripts/build.sh dist --target coilwork >/dev/null
scripts/build.sh release --target coilwork_bench >/dev/null
export COILWORK_BENCH_PYTHON=/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0
export COILWORK_PLUGIN="$PWD/build/dist/libcoilwork.so"
counts="$(scripts/count.sh call)"
echo "$counts"
echo "$counts" | awk -v figure="$figure" '
  $2 == "plugin" { plugin = $3 }
  $2 ~ /^host_/ { host += $3 * $4 }
  END {
    if (plugin == "") { print "creep: the call pair was not counted"; exit 1 }
    alone = plugin - host
    printf "call pair: the plugin alone takes %.0f instructions per call; kept figure %d, limit %.0f (3 %% over)\n",
           alone, figure, figure * 1.03
    if (alone > figure * 1.03) { print "creep: the call pair grew more than 3 % over its kept figure"; exit 1 }
    if (alone < figure * 0.97) print "creep: more than 3 % under the kept figure: bring bench/call-instructions down with the change that earned it"
  }'
