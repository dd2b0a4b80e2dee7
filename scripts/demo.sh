#!/usr/bin/env bash
# Sets everything up, builds, and runs the quickstart through the emulated host.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh default --target quickstart coilwork >/dev/null
exec build/default/quickstart "$@"
