#!/usr/bin/env bash
# Builds release binaries for armhf and x86_64 and writes one archive for each:
#   dist/coilwork-<version>-linux-armhf.tar.gz
#   dist/coilwork-<version>-linux-x86_64.tar.gz
# Each holds the stripped plugin library of its architecture, the README, the
# reference (docs/api.md), the fault catalogue (docs/faults.md), the LICENSE
# and SHA256SUMS over those files. The version is the project's, set once in
# CMakeLists.txt. Checks that each library is of the architecture its name
# says before it is packed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null

version="$(sed -nE 's/^project\(coilwork VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)"
[ -n "$version" ] || { echo "package: no version in CMakeLists.txt" >&2; exit 1; }

mkdir -p dist
pack() {
  local preset="$1" arch="$2" machine="$3" strip="$4"
  scripts/build.sh "$preset" --target coilwork >/dev/null
  local name="coilwork-$version-linux-$arch"
  local stage; stage="$(mktemp -d)"
  mkdir -p "$stage/$name/docs"
  cp "build/$preset/libcoilwork.so" "$stage/$name/"
  "$strip" --strip-unneeded "$stage/$name/libcoilwork.so"
  local found
  found="$(readelf -h "$stage/$name/libcoilwork.so" | sed -nE 's/^ *Machine: *(.*)$/\1/p')"
  if [ "$found" != "$machine" ]; then
    echo "package: $arch library is for '$found', expected '$machine'" >&2
    rm -rf "$stage"; exit 1
  fi
  cp README.md LICENSE "$stage/$name/"
  cp docs/api.md docs/faults.md "$stage/$name/docs/"
  (cd "$stage/$name" && sha256sum libcoilwork.so README.md LICENSE docs/api.md docs/faults.md > SHA256SUMS)
  tar -C "$stage" --owner=0 --group=0 --sort=name -czf "dist/$name.tar.gz" "$name"
  rm -rf "$stage"
  echo "package: dist/$name.tar.gz ($found)"
}

pack dist x86_64 "Advanced Micro Devices X86-64" strip
pack armhf-dist armhf "ARM" arm-linux-gnueabihf-strip
