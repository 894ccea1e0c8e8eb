#!/bin/sh
# Prints the path of the newest CPython >= 3.12 on this machine, looking at
# pyenv's versions, python3.13/python3.12 on PATH and Debian's python3.
# quarnel needs 3.12 or later; without one it says so and fails.
set -u
best=""; best_ver=0
consider() {
    [ -x "$1" ] || return 0
    v=$("$1" -c 'import sys; print(sys.version_info[0]*100+sys.version_info[1])' 2>/dev/null) || return 0
    # A usable interpreter needs venv and its C headers.
    "$1" -c 'import venv, sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null || return 0
    if [ "$v" -gt "$best_ver" ]; then best="$1"; best_ver="$v"; fi
}
for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.*/bin/python3; do consider "$p"; done
for n in python3.14 python3.13 python3.12 python3; do
    p=$(command -v "$n" 2>/dev/null) && consider "$p"
done
for p in /usr/bin/python3.13 /usr/bin/python3.12 /usr/local/bin/python3.13 /usr/local/bin/python3.12; do consider "$p"; done
if [ -z "$best" ] || [ "$best_ver" -lt 312 ]; then
    echo "no usable CPython >= 3.12 found (one with venv and its C headers)${best:+; the newest here is $best}" >&2
    exit 1
fi
echo "$best"
