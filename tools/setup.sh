#!/bin/sh
# Prepares a fresh machine: Debian packages, .venv at the repo root with the
# newest CPython >= 3.12, the Python packages for building, testing and
# benchmarking, and quarnel itself installed into .venv.
set -eu
cd "$(dirname "$0")/.."

# Debian packages: a C++ compiler.
need=""
command -v g++ >/dev/null 2>&1 || need="$need g++"
if [ -n "$need" ]; then
    echo "setup: installing Debian packages:$need"
    SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $need
fi

PY=$(tools/find_python.sh)
want=$("$PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
echo "setup: using $PY (Python $want)"
if [ -x .venv/bin/python ]; then
    have=$(.venv/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || echo none)
    if [ "$have" != "$want" ]; then
        echo "setup: .venv has Python $have; recreating it with $want"
        rm -rf .venv
    fi
fi
[ -x .venv/bin/python ] || "$PY" -m venv .venv

.venv/bin/python -m pip install -q --disable-pip-version-check --upgrade pip
.venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt
# Build with the packages just installed (no isolated build environment).
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps .
echo "setup: quarnel installed into .venv"
