#!/usr/bin/env bash
# Tells what the plugin finds and why: every Python library file tried and
# what happened, the one chosen, its home, sys.prefix, sys.executable,
# sys.path, the virtual environment, and whether the named modules import.
#   scripts/doctor.sh [json] [--python LIBRARY] [--venv FOLDER] [MODULE ...]
# "json" prints the same facts as one JSON object. Build output goes to
# standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${COILWORK_DOCTOR_PRESET:-default}"
{
  cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" -j"$(nproc)" --target coilwork coilwork_doctor
} 1>&2
export COILWORK_PLUGIN="${COILWORK_PLUGIN:-$PWD/build/$preset/libcoilwork.so}"
exec "build/$preset/coilwork_doctor" "$@"
