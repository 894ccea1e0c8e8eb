#!/bin/sh
# Runs the test suite on every CPython >= 3.12 of this machine
# (tools/list_pythons.sh), each with NumPy 2.x and, where NumPy 1.26 has
# wheels (Python <= 3.12), with NumPy 1.26 at run time. Every pair has its
# own venv, .venv-X.Y-np2 and .venv-X.Y-np1, kept between runs.
#
# The module is built once per interpreter, as a wheel against NumPy 2's
# headers (as a released wheel is), and that same wheel is installed into
# both venvs of the interpreter: NumPy 1.26 at run time is then the real
# test of the module's run-time NumPy lookup.
#
#   sh tools/test_versions.sh [--skip PY-NP ...] [-- pytest arguments]
#
# --skip 3.13-np2 leaves out one pair (CI skips the pair that `make test`
# has just run in .venv). Exits non-zero if any pair fails; runs them all.
set -eu
cd "$(dirname "$0")/.."
skip=" "
while [ $# -gt 0 ]; do
    case "$1" in
        --skip) skip="$skip$2 "; shift 2 ;;
        --) shift; break ;;
        *) echo "usage: $0 [--skip PY-NP ...] [-- pytest arguments]" >&2; exit 2 ;;
    esac
done

PIP="-m pip install -q --disable-pip-version-check"
mkdir -p build/versions
printf 'numpy>=1.26,<2\n' > build/versions/numpy1.txt
printf 'numpy>=2\n' > build/versions/numpy2.txt

# venv PY VENV: (re)creates VENV with interpreter PY unless it already has it.
venv() {
    want=$("$1" -c 'import sys; print(sys.version)')
    have=$("$2/bin/python" -c 'import sys; print(sys.version)' 2>/dev/null || true)
    if [ "$have" != "$want" ]; then rm -rf "$2"; "$1" -m venv "$2"; fi
    "$2/bin/python" $PIP --upgrade pip
}

# check VENV NP LABEL: runs the suite in VENV after checking what it imports.
check() {
    dir=$1; np=$2; shift 2
    "$dir/bin/python" - "$np" "$dir" <<'EOF' || return 1
import os, sys, numpy, quarnel
major = int(numpy.__version__.split(".")[0])
if str(major) != sys.argv[1][-1]:
    sys.exit(f"numpy {numpy.__version__} in {sys.argv[2]}, wanted {sys.argv[1]}")
if not os.path.abspath(quarnel.__file__).startswith(os.path.abspath(sys.argv[2])):
    sys.exit(f"imported {quarnel.__file__}, not the module of {sys.argv[2]}")
print(f"== Python {sys.version.split()[0]}, NumPy {numpy.__version__}, {quarnel.__file__}")
EOF
    "$dir/bin/python" -m pytest tests -q -p no:cacheprovider "$@"
}

summary=""
failed=0
run_pair() {  # LABEL VENV PYTEST-ARGS...
    label=$1; shift
    start=$(date +%s)
    if check "$@"; then result=passed; else result=FAILED; failed=1; fi
    summary="$summary$label: $result in $(( $(date +%s) - start )) s
"
}

pythons=$(sh tools/list_pythons.sh)
[ -n "$pythons" ] || { echo "test-versions: no CPython >= 3.12 found" >&2; exit 1; }
echo "$pythons" | while read -r ver py; do echo "test-versions: found Python $ver at $py"; done

# Not a pipe: the loop must run in this shell to keep summary and failed.
for ver in $(echo "$pythons" | cut -d' ' -f1); do
    py=$(echo "$pythons" | awk -v v="$ver" '$1 == v { print $2 }')
    minor=${ver#3.}
    pairs="np2"
    [ "$minor" -le 12 ] && pairs="np1 np2"
    todo=""
    for np in $pairs; do case "$skip" in *" $ver-$np "*) ;; *) todo="$todo $np" ;; esac; done
    [ -n "$todo" ] || continue

    # Build the wheel in the NumPy 2 venv: it has the build requirements.
    build=.venv-$ver-np2
    echo "test-versions: building the wheel for Python $ver in $build"
    venv "$py" "$build"
    "$build/bin/python" $PIP -r requirements-dev.txt -c build/versions/numpy2.txt
    rm -rf "build/versions/wheels-$ver"
    "$build/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
        -C build-dir="build/versions/cmake-$ver" -w "build/versions/wheels-$ver" .
    wheel=$(ls "build/versions/wheels-$ver"/quarnel-*.whl)

    for np in $todo; do
        env=.venv-$ver-$np
        [ "$env" = "$build" ] || venv "$py" "$env"
        "$env/bin/python" $PIP -r requirements-dev.txt -c "build/versions/numpy${np#np}.txt"
        "$env/bin/python" $PIP --force-reinstall --no-deps "$wheel"
        run_pair "Python $ver with NumPy ${np#np}.x" "$env" "$np" "$@"
    done
done

printf '\ntest-versions summary:\n%s' "$summary"
# A machine with one interpreter and --skip of its pair has nothing left to run.
[ -n "$summary" ] || echo "(no pair left to run after --skip)"
exit $failed
