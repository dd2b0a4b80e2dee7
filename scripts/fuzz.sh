#!/usr/bin/env bash
# Fuzzes host call sequences for the given number of seconds (default 120)
# with the sanitized plugin and a Python library, starting from the
# seed corpus in fuzz/corpus. Findings are written to build/fuzz/findings/.
# Given a file instead of a number, runs that one input and prints each host
# call it makes. COILWORK_FUZZ_RSS_MB raises the memory limit (4096 MiB) for
# long runs: every Init and Finalize of 3.12 and 3.13 keeps some hundred KiB
# of Python's own, which thousands of programs add up.
#
# "--reached FILE" replays the corpus once instead and writes to FILE every
# member the fuzzer knows, "+" before those some program called, "-" before
# the others.
#
# The Python library is Debian's libpython3.11 unless "--python LIB" comes
# first or COILWORK_FUZZ_PYTHON names another one (any line of
# scripts/pythons.sh), e.g.
#   scripts/fuzz.sh --python ~/.pyenv/versions/3.6.15/lib/libpython3.6m.so.1.0 3600
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--python" ]; then
  [ $# -ge 2 ] || { echo "usage: $0 [--python LIB] [SECONDS|FILE]" >&2; exit 2; }
  COILWORK_FUZZ_PYTHON="$2"
  shift 2
fi
export COILWORK_FUZZ_PYTHON="${COILWORK_FUZZ_PYTHON:-/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0}"
[ -f "$COILWORK_FUZZ_PYTHON" ] || { echo "fuzz: no Python library $COILWORK_FUZZ_PYTHON" >&2; exit 2; }
reached=""
if [ "${1:-}" = "--reached" ]; then
  [ $# -ge 2 ] || { echo "usage: $0 [--python LIB] --reached FILE" >&2; exit 2; }
  reached="$(realpath -m "$2")"
  shift 2
fi
arg="${1:-120}"
scripts/setup.sh >/dev/null
scripts/build.sh fuzz --target fuzz_calls coilwork >/dev/null
mkdir -p build/fuzz/findings build/fuzz/corpus
export COILWORK_PLUGIN="$PWD/build/fuzz/libcoilwork.so"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
if [ -n "$reached" ]; then
  COILWORK_FUZZ_REACHED="$reached" build/fuzz/fuzz/fuzz_calls -runs=0 -timeout=20 \
    -rss_limit_mb="${COILWORK_FUZZ_RSS_MB:-4096}" build/fuzz/corpus fuzz/corpus
  echo "fuzz: $(grep -c '^+' "$reached") of $(wc -l < "$reached") members reached (list in $reached)"
  exit 0
fi
if [ -f "$arg" ]; then
  COILWORK_FUZZ_TRACE=1 exec build/fuzz/fuzz/fuzz_calls "$arg"
fi
exec build/fuzz/fuzz/fuzz_calls -max_total_time="$arg" -timeout=20 -rss_limit_mb="${COILWORK_FUZZ_RSS_MB:-4096}" \
  -artifact_prefix=build/fuzz/findings/ -print_final_stats=1 build/fuzz/corpus fuzz/corpus
