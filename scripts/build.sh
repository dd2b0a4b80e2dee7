#!/usr/bin/env bash
# Configures and builds one preset of CMakePresets.json: default (x86_64),
# demo (the plugin and the quickstart, without the test suites), armhf, asan,
# tsan, release, fuzz, armhf-release, dist, armhf-dist.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
shift || true
cmake --preset "$preset" >/dev/null
cmake --build "build/$preset" -j"$(nproc)" "$@"
