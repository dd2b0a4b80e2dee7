#!/usr/bin/env bash
# Runs the soak for SECONDS (default 60): one process that loads the plugin
# through the emulated host and keeps Python threads, host threads, stops,
# captured output, Reset, Finalize and Init going at once, checking every
# answer and every line. It prints its seed first; "--seed N" runs that
# seed again. The Python library is Debian's libpython3.11 unless
# "--python LIB" names another one (any line of scripts/pythons.sh).
# Exits non-zero when anything was lost or wrong, a thread stalled for 30 s,
# or resident memory grew past its bound.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=60
seed=()
python=/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0
while [ $# -gt 0 ]; do
  case "$1" in
    --python) [ $# -ge 2 ] || { echo "usage: $0 [SECONDS] [--python LIB] [--seed N]" >&2; exit 2; }
              python="$2"; shift 2 ;;
    --seed) [ $# -ge 2 ] || { echo "usage: $0 [SECONDS] [--python LIB] [--seed N]" >&2; exit 2; }
            seed=(--seed "$2"); shift 2 ;;
    *) seconds="$1"; shift ;;
  esac
done
[ -f "$python" ] || { echo "soak: no Python library $python" >&2; exit 2; }
scripts/setup.sh >/dev/null
scripts/build.sh default --target coilwork_soak coilwork >/dev/null
export COILWORK_PLUGIN="$PWD/build/default/libcoilwork.so"
export COILWORK_SOAK_PYTHON="$python"
export PYTHONDONTWRITEBYTECODE=1
exec build/default/soak/coilwork_soak "$seconds" "${seed[@]}"
