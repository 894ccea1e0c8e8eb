#!/bin/sh
# Installs the wheel in dist/ (make wheel) into a fresh virtual environment,
# build/wheel-smoke/venv, and runs tools/wheel_smoke.py there, as a user
# without a compiler would: PATH holds only that environment's bin and a few
# basic tools, CC and CXX are /bin/false, and pip takes binaries only, so any
# attempt to build something fails instead of quietly succeeding.
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
SMOKE=$ROOT/build/wheel-smoke

set -- dist/*.whl
[ $# -eq 1 ] && [ -f "$1" ] || { echo "test-wheel: want exactly one wheel in dist/ (make wheel), found: $*" >&2; exit 1; }
WHEEL=$ROOT/$1

rm -rf "$SMOKE" && mkdir -p "$SMOKE/bin"
# The interpreter of .venv, which the wheel was built for.
"$ROOT/.venv/bin/python" -m venv "$SMOKE/venv"
for tool in sh cat ls mkdir rm uname; do ln -s "$(command -v $tool)" "$SMOKE/bin/$tool"; done

cd "$SMOKE"
env -u PYTHONPATH PATH="$SMOKE/venv/bin:$SMOKE/bin" CC=/bin/false CXX=/bin/false \
    PIP_DISABLE_PIP_VERSION_CHECK=1 \
    "$SMOKE/venv/bin/python" -m pip install -q --only-binary :all: "$WHEEL"
env -u PYTHONPATH PATH="$SMOKE/venv/bin:$SMOKE/bin" CC=/bin/false CXX=/bin/false \
    "$SMOKE/venv/bin/python" "$ROOT/tools/wheel_smoke.py"
