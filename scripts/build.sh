#!/usr/bin/env bash
# Configures and builds one preset: default (x86_64), armhf, asan, release, fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
shift || true
cmake --preset "$preset" >/dev/null
cmake --build "build/$preset" -j"$(nproc)" "$@"
