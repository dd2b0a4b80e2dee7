#!/usr/bin/env bash
# Runs the Python suite once per Python library: one process, one library.
# Usage: test-matrix.sh <python_tests binary> [runner prefix] -- lib...
# Prints one line per library with its counts; fails when any library fails
# or cannot be found.
set -uo pipefail
bin="$1"; shift
runner=()
while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do runner+=("$1"); shift; done
[ "${1:-}" = "--" ] && shift

status=0
for lib in "$@"; do
  if [ ! -e "$lib" ]; then
    echo "python matrix: $lib: NOT FOUND"
    status=1
    continue
  fi
  log="$(mktemp)"
  COILWORK_TEST_PYTHON="$lib" PYTHONDONTWRITEBYTECODE=1 "${runner[@]}" "$bin" >"$log" 2>&1
  rc=$?
  passed=$(grep -Eo '\[  PASSED  \] [0-9]+' "$log" | grep -Eo '[0-9]+$' || echo 0)
  failed=$(grep -Eo '\[  FAILED  \] [0-9]+ test' "$log" | grep -Eo '[0-9]+' || echo 0)
  if [ "$rc" -ne 0 ]; then
    status=1
    echo "python matrix: $lib: FAILED (exit $rc) ${passed:-0} passed, ${failed:-0} failed"
    grep -E '^\[  FAILED  \]|Failure|error:|Segmentation|Abort' "$log" | head -n 40 | sed 's/^/    /'
    tail -n 5 "$log" | sed 's/^/    /'
  else
    echo "python matrix: $lib: ${passed:-0} passed, ${failed:-0} failed"
  fi
  rm -f "$log"
done
exit $status
