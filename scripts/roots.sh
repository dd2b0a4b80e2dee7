#!/usr/bin/env bash
# Makes the file trees ("roots") that hold the Pythons this machine's own
# Debian cannot install beside itself: newer suites' libraries need a newer C
# library, and the armhf ones would need the foreign architecture's indexes
# at the same versions as the machine's. Each root is Debian's own packages of
# one suite and architecture, fetched by debootstrap from the main archive and
# unpacked (no package scripts run, so no emulator is needed to make one).
#
#   scripts/roots.sh              makes every root that is missing
#   scripts/roots.sh NAME ...     makes the named ones
#   scripts/roots.sh --list       prints "NAME ARCH SUITE DIR" per root
#   scripts/roots.sh --pythons NAME   prints the root's Python libraries
#
# Roots live under $COILWORK_ROOTS (default /var/cache/coilwork/roots), made
# once and kept. A root is complete only once its marker is written last: one
# whose making stopped halfway is removed and made again.
set -uo pipefail
cd "$(dirname "$0")/.."

ROOTS="${COILWORK_ROOTS:-/var/cache/coilwork/roots}"
MIRROR="${COILWORK_MIRROR:-http://deb.debian.org/debian}"
MARKER=.coilwork-root

# NAME ARCH SUITE PACKAGES (comma-separated)
read -r -d '' TABLE <<'EOF'
sid-amd64 amd64 sid libpython3.14,libpython3.14-stdlib,python3.14-minimal,libpython3.15,libpython3.15-stdlib,python3.15-minimal,libpython3.14-dbg
bookworm-armhf armhf bookworm libpython3.11,libpython3.11-stdlib,python3.11-minimal,libstdc++6
trixie-armhf armhf trixie libpython3.13,libpython3.13-stdlib,python3.13-minimal,libstdc++6
sid-armhf armhf sid libpython3.14,libpython3.14-stdlib,python3.14-minimal,libstdc++6
EOF

triplet() { case "$1" in amd64) echo x86_64-linux-gnu ;; armhf) echo arm-linux-gnueabihf ;; esac; }

# The release (non-debug) and debug libraries a root holds, newest last.
pythons_of() {
  local dir="$1" arch="$2"
  ls "$dir"/usr/lib/"$(triplet "$arch")"/libpython3.*.so.1.0 2>/dev/null | sort -V
}

make_root() {
  local name="$1" arch="$2" suite="$3" packages="$4"
  local dir="$ROOTS/$name" work="$ROOTS/$name.partial"
  if [ -e "$dir/$MARKER" ]; then return 0; fi
  rm -rf "$dir" "$work"
  mkdir -p "$work"
  local started=$SECONDS log="$ROOTS/$name.log"
  # The packages are fetched, checked against the archive's signed indexes,
  # and not installed: unpacking them is all a library needs.
  if ! debootstrap --download-only --arch="$arch" --variant=minbase --components=main \
         --include="$packages" "$suite" "$work" "$MIRROR" >"$log" 2>&1; then
    echo "roots: $name ($arch, $suite): FAILED to download, see $log"
    rm -rf "$work"
    return 1
  fi
  # Merged /usr, as every suite from bookworm on lays it out: the top-level
  # folders are links, and unpacking goes through them.
  mkdir -p "$work/usr/bin" "$work/usr/sbin" "$work/usr/lib"
  for d in bin sbin lib; do ln -s "usr/$d" "$work/$d"; done
  if [ "$arch" = amd64 ]; then mkdir -p "$work/usr/lib64"; ln -s usr/lib64 "$work/lib64"; fi
  local deb
  for deb in "$work"/var/cache/apt/archives/*.deb; do
    if ! dpkg-deb --fsys-tarfile "$deb" | tar -x --keep-directory-symlink -C "$work" 2>>"$log"; then
      echo "roots: $name: FAILED to unpack $(basename "$deb"), see $log"
      rm -rf "$work"
      return 1
    fi
  done
  rm -f "$work"/var/cache/apt/archives/*.deb
  mkdir -p "$work/proc" "$work/dev" "$work/tmp" && chmod 1777 "$work/tmp"
  # An armhf root runs its programs under the emulator placed inside it.
  if [ "$arch" = armhf ]; then
    cp /usr/bin/qemu-arm-static "$work/usr/bin/qemu-arm-static" || { rm -rf "$work"; return 1; }
  fi
  if [ -z "$(pythons_of "$work" "$arch")" ]; then
    echo "roots: $name: no Python library after unpacking, see $log"
    rm -rf "$work"
    return 1
  fi
  echo "$name $arch $suite" >"$work/$MARKER"
  mv "$work" "$dir"
  echo "roots: made $name ($arch, $suite) in $((SECONDS - started)) s, $(du -sh "$dir" | cut -f1):" \
    "$(pythons_of "$dir" "$arch" | xargs -n1 basename | tr '\n' ' ')"
}

case "${1:-}" in
  --list)
    while read -r name arch suite _; do echo "$name $arch $suite $ROOTS/$name"; done <<<"$TABLE"
    exit 0 ;;
  --pythons)
    arch="$(awk -v n="${2:-}" '$1 == n { print $2 }' <<<"$TABLE")"
    [ -n "$arch" ] && [ -e "$ROOTS/$2/$MARKER" ] || exit 1
    pythons_of "$ROOTS/$2" "$arch"
    exit 0 ;;
esac

mkdir -p "$ROOTS"
status=0
while read -r name arch suite packages; do
  if [ "$#" -gt 0 ] && ! printf '%s\n' "$@" | grep -qx "$name"; then continue; fi
  make_root "$name" "$arch" "$suite" "$packages" || status=1
done <<<"$TABLE"
exit $status
