#!/usr/bin/env bash
# Makes the file trees ("roots") that hold the Pythons this machine's own
# Debian cannot install beside itself: newer suites' libraries need a newer C
# library, and the armhf ones would need the foreign architecture's indexes
# at the same versions as the machine's. Each root is Debian's own packages of
# one suite and architecture, fetched by debootstrap from the main archive and
# unpacked (no package scripts run, so no emulator is needed to make one).
#
#   scripts/roots.sh                  makes every root that is missing
#   scripts/roots.sh NAME ...         makes the named ones
#   scripts/roots.sh --list           prints "NAME ARCH SUITE DIR" per root
#   scripts/roots.sh --pythons NAME   prints the root's Python libraries, named
#                                     as a program that scripts/in-root.sh runs
#                                     there opens them
#   scripts/roots.sh --ready [NAME ...]   exits 0 when every root (or the
#                                     named ones) is made
#
# Roots live under $COILWORK_ROOTS (default /var/cache/coilwork/roots), made
# once and kept. A root is complete only once its marker, naming what it was
# made of, is written last: one whose making stopped halfway, or that was
# made of other packages than the table below names, is made again.
#
# armhf roots hold the emulator their programs run under, qemu-arm-static:
# the machine's own copy when the qemu-user-static package is installed,
# otherwise taken out of that package without installing it. Installed, its
# binfmt.d files make systemd register the emulator with the kernel for every
# armhf program of the machine; nothing here wants that.
set -uo pipefail
cd "$(dirname "$0")/.."

ROOTS="${COILWORK_ROOTS:-/var/cache/coilwork/roots}"
MIRROR="${COILWORK_MIRROR:-http://deb.debian.org/debian}"
MARKER=.coilwork-root
COMPILED=.coilwork-compiled
EMULATOR="$ROOTS/qemu-arm-static"

# NAME ARCH SUITE PACKAGES (comma-separated). bookworm-armhf is also the
# sysroot the armhf benchmarks link Google Benchmark from, and holds the
# modules that the Python suite's coverage and MQTT cases import.
read -r -d '' TABLE <<'EOF'
sid-amd64 amd64 sid libpython3.14,libpython3.14-stdlib,python3.14-minimal,libpython3.15,libpython3.15-stdlib,python3.15-minimal,libpython3.14-dbg
bookworm-armhf armhf bookworm libpython3.11,libpython3.11-stdlib,python3.11-minimal,libstdc++6,libbenchmark-dev,python3-coverage,python3-paho-mqtt
trixie-armhf armhf trixie libpython3.13,libpython3.13-stdlib,python3.13-minimal,libstdc++6
sid-armhf armhf sid libpython3.14,libpython3.14-stdlib,python3.14-minimal,libstdc++6
EOF

triplet() { case "$1" in amd64) echo x86_64-linux-gnu ;; armhf) echo arm-linux-gnueabihf ;; esac; }

# The release (non-debug) and debug libraries a root holds, newest last.
pythons_of() {
  local dir="$1" arch="$2"
  ls "$dir"/usr/lib/"$(triplet "$arch")"/libpython3.*.so.1.0 2>/dev/null | sort -V
}

# The emulator that armhf roots carry, at $EMULATOR.
fetch_emulator() {
  [ -x "$EMULATOR" ] && return 0
  if [ -x /usr/bin/qemu-arm-static ]; then
    cp /usr/bin/qemu-arm-static "$EMULATOR.partial" && mv "$EMULATOR.partial" "$EMULATOR" && return 0
  fi
  local tmp log="$ROOTS/qemu-arm-static.log"
  tmp="$(mktemp -d)"
  if (cd "$tmp" && apt-get download -o APT::Sandbox::User=root qemu-user-static) >"$log" 2>&1 &&
     dpkg-deb --fsys-tarfile "$tmp"/qemu-user-static_*.deb |
       tar -x -C "$tmp" ./usr/bin/qemu-arm-static 2>>"$log" &&
     cp "$tmp/usr/bin/qemu-arm-static" "$EMULATOR.partial" && mv "$EMULATOR.partial" "$EMULATOR"; then
    echo "roots: took qemu-arm-static out of qemu-user-static" \
      "$(dpkg-deb -f "$tmp"/qemu-user-static_*.deb Version) (the package is not installed)"
    rm -rf "$tmp"
    return 0
  fi
  echo "roots: FAILED to fetch the emulator (qemu-user-static), see $log"
  rm -rf "$tmp" "$EMULATOR.partial"
  return 1
}

# Compiles the root's Python modules with the root's own interpreters, as
# Debian does when it installs them: a root is unpacked, not installed, and
# without the compiled files every start of Python compiles what it imports
# again, which under the emulator is most of the time a test takes. Files are
# only added, so a root in use stays usable meanwhile.
compile_modules() {
  local dir="$1" arch="$2" log="$3" python version status=0
  for python in "$dir"/usr/bin/python3.*; do
    version="${python##*/python}"
    [[ "$version" =~ ^3\.[0-9]+$ ]] || continue
    local folders=("/usr/lib/python$version")
    [ -d "$dir/usr/lib/python3/dist-packages" ] && folders+=(/usr/lib/python3/dist-packages)
    if [ "$arch" = armhf ]; then
      "$dir/usr/bin/qemu-arm-static" -L "$dir" "$python" -E -m compileall -q "${folders[@]/#/$dir}" \
        >>"$log" 2>&1 || status=1
    else
      chroot "$dir" "/usr/bin/python$version" -E -m compileall -q "${folders[@]}" >>"$log" 2>&1 || status=1
    fi
  done
  return $status
}

make_root() {
  local name="$1" arch="$2" suite="$3" packages="$4"
  local dir="$ROOTS/$name" work="$ROOTS/$name.partial"
  local made="$name $arch $suite $packages"
  if [ -e "$dir/$MARKER" ]; then
    if [ "$(cat "$dir/$MARKER")" = "$made" ]; then
      if [ -e "$dir/$COMPILED" ]; then
        echo "roots: $name already there"
      elif compile_modules "$dir" "$arch" "$ROOTS/$name.log"; then
        touch "$dir/$COMPILED"
        echo "roots: $name already there; its Python modules compiled now"
      else
        echo "roots: $name already there; some of its Python modules did not compile, see $ROOTS/$name.log"
      fi
      return 0
    fi
    echo "roots: $name was made of other packages; making it again"
  fi
  if [ "$arch" = armhf ]; then fetch_emulator || return 1; fi
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
    cp "$EMULATOR" "$work/usr/bin/qemu-arm-static" || { rm -rf "$work"; return 1; }
  fi
  if [ -z "$(pythons_of "$work" "$arch")" ]; then
    echo "roots: $name: no Python library after unpacking, see $log"
    rm -rf "$work"
    return 1
  fi
  if compile_modules "$work" "$arch" "$log"; then
    touch "$work/$COMPILED"
  else
    echo "roots: $name: some of its Python modules did not compile, see $log"
  fi
  echo "$made" >"$work/$MARKER"
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
    # An amd64 root is the program's / (a chroot); an armhf program sees the
    # machine's files, with the root's loader and libraries, so it is given
    # the root's library by its path on the machine.
    if [ "$arch" = amd64 ]; then
      pythons_of "$ROOTS/$2" "$arch" | sed "s#^$ROOTS/$2##"
    else
      pythons_of "$ROOTS/$2" "$arch"
    fi
    exit 0 ;;
  --ready)
    shift
    for want in "$@"; do grep -q "^$want " <<<"$TABLE" || exit 1; done
    while read -r name arch suite packages; do
      if [ "$#" -gt 0 ] && ! printf '%s\n' "$@" | grep -qx "$name"; then continue; fi
      [ "$(cat "$ROOTS/$name/$MARKER" 2>/dev/null)" = "$name $arch $suite $packages" ] || exit 1
      [ -e "$ROOTS/$name/$COMPILED" ] || exit 1
    done <<<"$TABLE"
    exit 0 ;;
esac

command -v debootstrap >/dev/null || { echo "roots: debootstrap is not installed (scripts/setup.sh)"; exit 1; }
mkdir -p "$ROOTS"
status=0
while read -r name arch suite packages; do
  if [ "$#" -gt 0 ] && ! printf '%s\n' "$@" | grep -qx "$name"; then continue; fi
  make_root "$name" "$arch" "$suite" "$packages" || status=1
done <<<"$TABLE"
exit $status
