#!/usr/bin/env bash
# Sets everything up and runs every test: the x86_64 suites (unit, static,
# and the Python suite against every available Python library), the armhf
# suites under qemu-arm against Debian's armhf libpython3.11, the sanitized
# x86_64 suites, and a bounded fuzzing run. Ends with one line of totals and
# fails when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS="${FUZZ_SECONDS:-120}"
total_passed=0
total_failed=0
status=0

note() { printf '\n=== %s\n' "$*"; }

# Runs one gtest binary (with an optional runner prefix) and adds its counts.
run_gtest() {
  local name="$1"; shift
  local log; log="$(mktemp)"
  "$@" >"$log" 2>&1
  local rc=$?
  local p f
  p=$(grep -Eo '\[  PASSED  \] [0-9]+' "$log" | grep -Eo '[0-9]+$' || true)
  f=$(grep -Eo '\[  FAILED  \] [0-9]+ test' "$log" | grep -Eo '[0-9]+' || true)
  p=${p:-0}; f=${f:-0}
  if [ "$rc" -ne 0 ] && [ "$f" -eq 0 ]; then f=1; fi
  total_passed=$((total_passed + p)); total_failed=$((total_failed + f))
  if [ "$rc" -ne 0 ]; then
    status=1
    echo "$name: FAILED (exit $rc) $p passed, $f failed"
    grep -E '^\[  FAILED  \]|Failure|ERROR|Segmentation|Abort' "$log" | head -n 40 | sed 's/^/    /'
    tail -n 8 "$log" | sed 's/^/    /'
  else
    echo "$name: $p passed, $f failed"
  fi
  rm -f "$log"
}

# Runs the Python suite once per library through run_gtest.
run_matrix() {
  local label="$1" bin="$2"; shift 2
  local runner=()
  while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do runner+=("$1"); shift; done
  shift
  for lib in "$@"; do
    if [ ! -e "$lib" ]; then
      echo "$label python $lib: NOT FOUND"; status=1; total_failed=$((total_failed + 1)); continue
    fi
    local name
    case "$lib" in
      */versions/*) name="pyenv $(echo "$lib" | sed -E 's#.*/versions/([^/]+)/.*#\1#')" ;;
      *) name="debian $(basename "$lib")" ;;
    esac
    COILWORK_TEST_PYTHON="$lib" PYTHONDONTWRITEBYTECODE=1 \
      run_gtest "$label python $name" "${runner[@]}" "$bin"
  done
}

note "setup"
scripts/setup.sh || exit 1

note "x86_64 build"
scripts/build.sh default || exit 1
note "x86_64 tests"
run_gtest "x86_64 unit" build/default/tests/unit_tests
[ -x build/default/tests/static_tests ] && run_gtest "x86_64 static" build/default/tests/static_tests
mapfile -t libs < <(scripts/pythons.sh)
[ "${#libs[@]}" -gt 0 ] || { echo "no Python library found"; status=1; }
export COILWORK_PLUGIN="$PWD/build/default/libcoilwork.so"
run_matrix "x86_64" build/default/tests/python_tests -- "${libs[@]}"
# Debian's debug build: the value families and the robustness cases. Other
# suites call members while an earlier error is still pending, or have host
# functions answer nil without an error; a debug build asserts on both.
debug_lib=/usr/lib/x86_64-linux-gnu/libpython3.11d.so.1.0
if [ -e "$debug_lib" ]; then
  COILWORK_TEST_PYTHON="$debug_lib" PYTHONDONTWRITEBYTECODE=1 run_gtest "x86_64 python debian libpython3.11d (debug build)" \
    build/default/tests/python_tests \
    --gtest_filter='Parameters*:List*:Entity*:Result*:Dictionary*:Bytes*:Robustness*'
else
  echo "x86_64 python debug build: SKIPPED ($debug_lib not installed: libpython3.11-dbg)"
fi
unset COILWORK_PLUGIN

note "armhf build"
scripts/build.sh armhf || exit 1
note "armhf tests (qemu-arm)"
export COILWORK_PLUGIN="$PWD/build/armhf/libcoilwork.so"
run_gtest "armhf unit" qemu-arm build/armhf/tests/unit_tests
[ -x build/armhf/tests/static_tests ] && run_gtest "armhf static" qemu-arm build/armhf/tests/static_tests
run_matrix "armhf" build/armhf/tests/python_tests qemu-arm -- /usr/lib/arm-linux-gnueabihf/libpython3.11.so.1.0
unset COILWORK_PLUGIN

note "sanitized build (address, undefined behaviour)"
scripts/build.sh asan || exit 1
note "sanitized tests"
export COILWORK_PLUGIN="$PWD/build/asan/libcoilwork.so"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
run_gtest "asan unit" build/asan/tests/unit_tests
[ -x build/asan/tests/static_tests ] && run_gtest "asan static" build/asan/tests/static_tests
PYTHONMALLOC=malloc run_matrix "asan" build/asan/tests/python_tests -- /usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0
unset COILWORK_PLUGIN

if [ -f fuzz/CMakeLists.txt ] && [ "$FUZZ_SECONDS" -gt 0 ]; then
  note "fuzzing host call sequences for ${FUZZ_SECONDS}s"
  scripts/fuzz.sh "$FUZZ_SECONDS" >/tmp/coilwork-fuzz.log 2>&1
  rc=$?
  tail -n 3 /tmp/coilwork-fuzz.log
  if [ "$rc" -ne 0 ]; then
    status=1; total_failed=$((total_failed + 1)); echo "fuzz: FAILED"
  else
    total_passed=$((total_passed + 1)); echo "fuzz: passed"
  fi
fi
unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS

note "totals"
echo "${total_passed} passed, ${total_failed} failed"
exit $status
