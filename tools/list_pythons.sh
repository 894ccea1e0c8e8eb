#!/bin/sh
# Prints "MAJOR.MINOR PATH" for every usable CPython >= 3.12 on this machine,
# one line per minor version (the first found of each), oldest first. Looks
# where tools/find_python.sh looks: pyenv's versions, PATH and /usr(/local)/bin.
# A usable interpreter has venv and its C headers.
set -u
seen=" "
consider() {
    [ -x "$1" ] || return 0
    v=$("$1" -c 'import sys; print("%d.%d" % sys.version_info[:2]) if sys.version_info >= (3, 12) and sys.implementation.name == "cpython" else sys.exit(1)' 2>/dev/null) || return 0
    case "$seen" in *" $v "*) return 0 ;; esac
    "$1" -c 'import venv, sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null || return 0
    seen="$seen$v "
    echo "$v $1"
}
search() {
    # Newest patch release first within pyenv, so that it wins its minor version.
    for p in $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.* 2>/dev/null | sort -rV); do consider "$p/bin/python3"; done
    for n in python3.14 python3.13 python3.12 python3; do
        p=$(command -v "$n" 2>/dev/null) && consider "$p"
    done
    for p in /usr/bin/python3.1? /usr/local/bin/python3.1?; do consider "$p"; done
}
search | sort -V
