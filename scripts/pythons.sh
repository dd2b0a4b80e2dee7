#!/usr/bin/env bash
# Lists the x86_64 Python libraries the matrix runs against, one per line:
# Debian's libpython3.11, then every pyenv-installed 3.x shared library.
deb=/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0
[ -e "$deb" ] && echo "$deb"
root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
ls -d "$root"/versions/3.*/lib/libpython3.*.so.1.0 2>/dev/null | sort -V
