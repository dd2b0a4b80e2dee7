#!/usr/bin/env bash
# Writes docs/api.md, the reference of every class and member, from the
# records the plugin registers (tools/apidoc). With --check it only compares
# and fails when docs/api.md is out of date.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh default --target apidoc coilwork >/dev/null
if [ "${1:-}" = "--check" ]; then
  exec build/default/apidoc --check docs/api.md
fi
build/default/apidoc docs/api.md
echo "apidoc: wrote docs/api.md"
