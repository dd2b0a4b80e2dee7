#!/usr/bin/env bash
# Runs a program of this checkout with a root that scripts/roots.sh made:
#
#   scripts/in-root.sh NAME PROGRAM [ARG ...]
#
# The program runs with the root's C library and Python, and is given the
# root's libraries as `scripts/roots.sh --pythons NAME` names them.
#
# An amd64 root becomes the program's /: a chroot in a mount namespace of the
# command's own (the mounts end with it), with the checkout at the same path,
# /proc and /dev. The programs that Python starts there are the root's own.
#
# An armhf program runs under the emulator the root holds, which puts the
# root's files in front of the machine's (-L): the root's loader, C library
# and Python, and the machine's files wherever the root has none. Nothing is
# mounted. The programs it starts run on the machine's kernel as they are, so
# the machine's own programs (/bin/sh, mosquitto) run, while the root's armhf
# programs (its python3.X) could only run through binfmt_misc handlers, which
# are never registered: COILWORK_NO_CHILDREN=1 tells the tests to skip the
# cases that need one.
#
# A program given to the emulator names the root's files by their path on the
# machine: the emulator finds a path inside the root when a program opens it,
# but not when it asks about it (stat), and Python looks before it reads.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
name="$1"; shift
line="$("$here/scripts/roots.sh" --list | awk -v n="$name" '$1 == n')"
[ -n "$line" ] || { echo "in-root: no root named $name" >&2; exit 2; }
read -r _ arch _ dir <<<"$line"
[ -e "$dir/.coilwork-root" ] || { echo "in-root: $name is not made (scripts/roots.sh $name)" >&2; exit 2; }
if [ "$arch" = armhf ]; then
  export COILWORK_NO_CHILDREN=1
  exec "$dir/usr/bin/qemu-arm-static" -L "$dir" "$@"
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
' in-root "$dir" "$here" "$cwd" "$@"
