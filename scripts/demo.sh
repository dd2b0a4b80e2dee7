#!/usr/bin/env bash
# Installs what the demo needs (a compiler, CMake, Debian's libpython3.11),
# builds the plugin and the quickstart without the test suites, and runs the
# quickstart through the emulated host.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh demo
scripts/build.sh demo --target quickstart coilwork >/dev/null
exec build/demo/quickstart "$@"
