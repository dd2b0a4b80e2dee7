#!/usr/bin/env bash
# Fuzzes host call sequences for the given number of seconds (default 120)
# with the sanitized plugin and Debian's libpython3.11, starting from the
# seed corpus in fuzz/corpus. Findings are written to build/fuzz/findings/.
# Given a file instead of a number, runs that one input and prints each host
# call it makes.
set -euo pipefail
cd "$(dirname "$0")/.."
arg="${1:-120}"
scripts/setup.sh >/dev/null
scripts/build.sh fuzz --target fuzz_calls coilwork >/dev/null
mkdir -p build/fuzz/findings build/fuzz/corpus
export COILWORK_PLUGIN="$PWD/build/fuzz/libcoilwork.so"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
if [ -f "$arg" ]; then
  COILWORK_FUZZ_TRACE=1 exec build/fuzz/fuzz/fuzz_calls "$arg"
fi
exec build/fuzz/fuzz/fuzz_calls -max_total_time="$arg" -timeout=20 -rss_limit_mb=4096 \
  -artifact_prefix=build/fuzz/findings/ -print_final_stats=1 build/fuzz/corpus fuzz/corpus
