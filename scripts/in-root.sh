#!/usr/bin/env bash
# Runs a program of this checkout inside a root that scripts/roots.sh made:
#
#   scripts/in-root.sh NAME PROGRAM [ARG ...]
#
# The checkout is seen inside at the same path, with /proc and /dev, in a
# mount namespace of the command's own (the mounts end with it). The program
# runs with the root's C library and Python; in an armhf root, under the
# emulator placed inside it. Programs that Python starts there are the
# root's own: an armhf root's cannot run without the machine's binfmt
# handlers, which are never registered, so COILWORK_NO_CHILDREN=1 tells the
# tests to skip those cases.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
name="$1"; shift
line="$("$here/scripts/roots.sh" --list | awk -v n="$name" '$1 == n')"
[ -n "$line" ] || { echo "in-root: no root named $name" >&2; exit 2; }
read -r _ arch _ dir <<<"$line"
[ -e "$dir/.coilwork-root" ] || { echo "in-root: $name is not made (scripts/roots.sh $name)" >&2; exit 2; }
runner=()
if [ "$arch" = armhf ]; then
  runner=(/usr/bin/qemu-arm-static)
  export COILWORK_NO_CHILDREN=1
fi
cwd="$PWD"
exec unshare --mount --propagation private -- /bin/sh -c '
  set -e
  dir="$1"; here="$2"; cwd="$3"; shift 3
  mkdir -p "$dir$here"
  mount --bind "$here" "$dir$here"
  mount -t proc proc "$dir/proc"
  mount --rbind /dev "$dir/dev"
  exec chroot "$dir" /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$cwd" "$@"
' in-root "$dir" "$here" "$cwd" "${runner[@]}" "$@"
