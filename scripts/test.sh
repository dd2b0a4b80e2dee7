#!/usr/bin/env bash
# Sets everything up and runs every test: the x86_64 suites (unit, static,
# and the Python suite against every available Python library and against
# sid's Pythons in their root), the armhf suites under qemu with each armhf
# root's C library and Python (Debian 12's 3.11, Debian 13's 3.13, sid's
# 3.14), the sanitized x86_64 suites, and a bounded fuzzing run. Ends with one
# line of totals and fails when anything failed.
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

# The Python libraries each root must hold (scripts/roots.sh): one missing,
# or a root not made, is a failure.
declare -A ROOT_PYTHONS=(
  [sid-amd64]="libpython3.14.so.1.0 libpython3.15.so.1.0 libpython3.14d.so.1.0"
  [bookworm-armhf]="libpython3.11.so.1.0"
  [trixie-armhf]="libpython3.13.so.1.0"
  [sid-armhf]="libpython3.14.so.1.0"
)

# Counts a suite that could not run as one failure.
not_run() {
  echo "$1: NOT RUN ($2)"; status=1; total_failed=$((total_failed + 1))
}

# Runs the Python suite in a root (scripts/in-root.sh) once per library the
# root must hold: "LABEL python debian-SUITE LIBRARY".
run_root_pythons() {
  local label="$1" root="$2" bin="$3"
  local suite; suite="$(scripts/roots.sh --list | awk -v n="$root" '$1 == n { print $3 }')"
  local libs=() want lib l name
  mapfile -t libs < <(scripts/roots.sh --pythons "$root")
  for want in ${ROOT_PYTHONS[$root]}; do
    name="$label python debian-$suite $want"
    case "$want" in *d.so.1.0) name="$name (debug build)" ;; esac
    lib=""
    for l in "${libs[@]}"; do [ "$(basename "$l")" = "$want" ] && lib="$l"; done
    if [ -z "$lib" ]; then
      not_run "$name" "not in root $root: scripts/roots.sh $root"; continue
    fi
    COILWORK_TEST_PYTHON="$lib" PYTHONDONTWRITEBYTECODE=1 \
      run_gtest "$name" scripts/in-root.sh "$root" "$bin"
  done
}

note "setup"
scripts/setup.sh || exit 1

note "x86_64 build"
scripts/build.sh default || exit 1
note "x86_64 tests"
run_gtest "x86_64 unit" build/default/tests/unit_tests
[ -x build/default/tests/static_tests ] && run_gtest "x86_64 static" build/default/tests/static_tests
# Counts one check run by a command of its own: passed when it exits 0.
run_check() {
  local name="$1"; shift
  local log; log="$(mktemp)"
  if "$@" >"$log" 2>&1; then
    total_passed=$((total_passed + 1)); echo "$name: passed"
  else
    status=1; total_failed=$((total_failed + 1)); echo "$name: FAILED"
    tail -n 12 "$log" | sed 's/^/    /'
  fi
  rm -f "$log"
}
run_check "api reference (docs/api.md)" build/default/apidoc --check docs/api.md
mapfile -t libs < <(scripts/pythons.sh)
[ "${#libs[@]}" -gt 0 ] || { echo "no Python library found"; status=1; }
export COILWORK_PLUGIN="$PWD/build/default/libcoilwork.so"
run_matrix "x86_64" build/default/tests/python_tests -- "${libs[@]}"
# numpy cannot be loaded again once an interpreter of the process had it, and
# the suite restarts Python many times: its case across Resets runs first in
# a process of its own, with the Python that has numpy.
COILWORK_TEST_PYTHON=/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0 PYTHONDONTWRITEBYTECODE=1 \
  run_gtest "x86_64 python debian numpy across resets (own process)" build/default/tests/python_tests \
  --gtest_filter='ErrorsTest.NumpyStaysUsableAcrossResets'
COILWORK_TEST_PYTHON=/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0 PYTHONDONTWRITEBYTECODE=1 \
  run_gtest "x86_64 python debian numpy beside a sub-interpreter (own process)" build/default/tests/python_tests \
  --gtest_filter='SubInterpreterTest.NumpyStaysInTheMainInterpreter'
# Debian's debug build, the whole suite: its assertions stop the process
# where a release build tolerates a fault (Python code run over a pending
# error, a function's nil answer without an error).
debug_lib=/usr/lib/x86_64-linux-gnu/libpython3.11d.so.1.0
if [ -e "$debug_lib" ]; then
  COILWORK_TEST_PYTHON="$debug_lib" PYTHONDONTWRITEBYTECODE=1 run_gtest "x86_64 python debian libpython3.11d (debug build)" \
    build/default/tests/python_tests
else
  echo "x86_64 python debug build: SKIPPED ($debug_lib not installed: libpython3.11-dbg)"
fi
# sid's 3.14 and 3.15 and 3.14's debug build need a newer C library than this
# machine's: in their root, where the programs Python starts are the root's.
run_root_pythons "x86_64" sid-amd64 build/default/tests/python_tests
unset COILWORK_PLUGIN
# A minute of everything at once on Debian's 3.11: Python threads calling
# host code, host threads, stops, captured output, Reset, Finalize and Init.
run_check "soak 60 s, python debian libpython3.11.so.1.0" scripts/soak.sh 60

note "diagnostic command"
# The JSON report for a virtual environment made from a pyenv Python: the
# base library is found first, Python starts in the environment, and a
# module importable there and a missing one are told apart. Then the same
# library named by COILWORK_PYTHON.
doctor_check() {
  local base; base="$(ls -d "$(pyenv root 2>/dev/null)"/versions/3.9*/bin/python3 2>/dev/null | head -n 1)"
  [ -n "$base" ] || { echo "no pyenv 3.9 for the check"; return 1; }
  local env; env="$(mktemp -d)"
  "$base" -m venv --without-pip "$env/venv" || return 1
  echo 'answer = 42' > "$env/venv/lib/python3.9/site-packages/coiltest_doctor.py"
  scripts/doctor.sh json --venv "$env/venv" coiltest_doctor coiltest_missing 2>/dev/null |
    python3 -c '
import json, sys
d = json.load(sys.stdin)
env = sys.argv[1]
assert d["found"] and d["started"], d
assert d["attempts"][0]["file"].endswith("/lib/libpython3.9.so.1.0"), d["attempts"]
assert d["attempts"][0]["outcome"] == "loaded", d["attempts"]
assert d["sys"]["prefix"] == env and d["sys"]["executable"].startswith(env + "/bin/"), d["sys"]
assert env + "/lib/python3.9/site-packages" in d["sys"]["path"], d["sys"]["path"]
assert [m["imports"] for m in d["modules"]] == [True, False], d["modules"]
assert "coiltest_missing" in d["modules"][1]["reason"], d["modules"]
' "$env/venv"
  local rc=$?
  rm -rf "$env"
  [ "$rc" -eq 0 ] || return $rc
  # COILWORK_PYTHON names the library to use, and only that one is tried.
  local lib; lib="$(dirname "$(dirname "$base")")/lib/libpython3.9.so.1.0"
  COILWORK_PYTHON="$lib" build/default/coilwork_doctor json |
    python3 -c '
import json, sys
d = json.load(sys.stdin)
assert [a["file"] for a in d["attempts"]] == [sys.argv[1]], d["attempts"]
assert d["started"] and d["sys"]["version"].startswith("3.9."), d
' "$lib"
}
if doctor_check; then
  total_passed=$((total_passed + 1)); echo "doctor: passed"
else
  status=1; total_failed=$((total_failed + 1)); echo "doctor: FAILED"
fi

note "armhf build"
scripts/build.sh armhf || exit 1
note "armhf tests (under qemu, with each armhf root's C library and Python)"
# Debian 12 (Raspberry Pi OS bookworm), Debian 13 (Raspberry Pi OS trixie)
# and sid. The programs that Python starts are the machine's own, but for
# the root's armhf Python itself (scripts/in-root.sh).
export COILWORK_PLUGIN="$PWD/build/armhf/libcoilwork.so"
for root in bookworm-armhf trixie-armhf sid-armhf; do
  suite="$(scripts/roots.sh --list | awk -v n="$root" '$1 == n { print $3 }')"
  if ! scripts/roots.sh --ready "$root"; then
    not_run "armhf unit debian-$suite" "root $root is not made: scripts/roots.sh $root"
    [ -x build/armhf/tests/static_tests ] &&
      not_run "armhf static debian-$suite" "root $root is not made: scripts/roots.sh $root"
    not_run "armhf python debian-$suite" "root $root is not made: scripts/roots.sh $root"
    continue
  fi
  run_gtest "armhf unit debian-$suite" scripts/in-root.sh "$root" build/armhf/tests/unit_tests
  [ -x build/armhf/tests/static_tests ] &&
    run_gtest "armhf static debian-$suite" scripts/in-root.sh "$root" build/armhf/tests/static_tests
  run_root_pythons "armhf" "$root" build/armhf/tests/python_tests
done
unset COILWORK_PLUGIN

note "layout checks"
# Every library of the matrix passes each check of what the plugin reads in
# place, as the doctor reports them (a failed one would quietly send every
# in-place path through Python's functions, or refuse the library).
layouts_pass() {
  "$@" | python3 -c '
import json, sys
d = json.load(sys.stdin)
checks = d["layout_checks"]
assert d["found"] and checks, d["messages"]
failed = [c for c in checks if not c["passed"]]
assert not failed, failed
'
}
for lib in $(scripts/pythons.sh) /usr/lib/x86_64-linux-gnu/libpython3.11d.so.1.0; do
  [ -e "$lib" ] && run_check "layouts x86_64 $lib" layouts_pass build/default/coilwork_doctor json --python "$lib"
done
for root in sid-amd64 bookworm-armhf trixie-armhf sid-armhf; do
  case "$root" in *-armhf) build=armhf ;; *) build=default ;; esac
  for lib in $(scripts/roots.sh --pythons "$root"); do
    COILWORK_PLUGIN="$PWD/build/$build/libcoilwork.so" run_check "layouts $root $(basename "$lib")" \
      layouts_pass scripts/in-root.sh "$root" "build/$build/coilwork_doctor" json --python "$lib"
  done
done

note "release archives"
# Both archives are built, their checksums hold, and the x86_64 one's
# stripped library runs the quickstart through the emulated host.
check_archives() {
  scripts/package.sh || return 1
  local version dir
  version="$(sed -nE 's/^project\(coilwork VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)"
  dir="$(mktemp -d)"
  for arch in x86_64 armhf; do
    tar -C "$dir" -xzf "dist/coilwork-$version-linux-$arch.tar.gz" || return 1
    (cd "$dir/coilwork-$version-linux-$arch" && sha256sum -c --quiet SHA256SUMS) || return 1
  done
  COILWORK_PLUGIN="$dir/coilwork-$version-linux-x86_64/libcoilwork.so" \
    build/default/quickstart >/dev/null || return 1
  rm -rf "$dir"
}
run_check "release archives" check_archives
# The call pair's instructions against the figure kept in the repository,
# with the plugin the archives were made from.
run_check "call pair instructions (scripts/creep.sh)" scripts/creep.sh

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
# The oldest Python keeps its interpreter state on the heap, where the 3.11
# library keeps it in its own data: checked for memory errors (leaks are
# checked with 3.11 above).
oldest="$(scripts/pythons.sh | grep -m1 '/versions/3\.6\.' || true)"
if [ -n "$oldest" ]; then
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1" PYTHONMALLOC=malloc \
    run_matrix "asan" build/asan/tests/python_tests -- "$oldest"
fi
unset COILWORK_PLUGIN

note "thread sanitizer build"
scripts/build.sh tsan --target python_tests || exit 1
note "thread sanitizer tests"
# The suites where host threads, Python threads, the watchdog and the lock
# meet. Any report fails the run, but for the walks of Python's thread list
# that scripts/tsan.supp explains.
COILWORK_PLUGIN="$PWD/build/tsan/libcoilwork.so" \
  TSAN_OPTIONS="halt_on_error=1:exitcode=66:suppressions=$PWD/scripts/tsan.supp" \
  COILWORK_TEST_PYTHON=/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0 PYTHONDONTWRITEBYTECODE=1 \
  run_gtest "tsan python debian libpython3.11.so.1.0" build/tsan/tests/python_tests \
  --gtest_filter='ThreadsTest.*:HomeCallsTest.*:InterruptTest.*:ProcessOutputTest.*:SubInterpreterTest.*'

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
