#!/bin/sh
# Builds the extensions with AddressSanitizer and UndefinedBehaviorSanitizer
# into build/asan and runs the whole test suite against that build with the
# interpreter of .venv. Fails if any test fails or any sanitizer report was
# written, also by a child process whose exit status a test ignores.
#
#   sh tools/test_asan.sh [pytest arguments]   (default: tests)
set -eu
cd "$(dirname "$0")/.."
PY=$(pwd)/.venv/bin/python
BUILD=build/asan
LOGS=$(pwd)/$BUILD/logs

cmake -S . -B $BUILD -G Ninja -DPython_EXECUTABLE="$PY" -DQUARNEL_SANITIZE=ON >/dev/null
cmake --build $BUILD -j2

# The interpreter is not built with ASan, so the runtime has to come first in
# the process. libstdc++ is preloaded too: Python itself does not link it, and
# ASan's __cxa_throw interceptor must find the real one when it starts, or
# the first C++ exception of the module aborts with "CHECK failed".
runtime=$(g++ -print-file-name=libasan.so)
cxxlib=$(g++ -print-file-name=libstdc++.so)
[ -f "$runtime" ] || { echo "test-asan: libasan not found (Debian: libasan8 / gcc)" >&2; exit 1; }

rm -rf "$LOGS" && mkdir -p "$LOGS"
# detect_leaks=0: CPython keeps objects alive at exit by design (leaks are
#   tested separately, through reference counts and resident size).
# allocator_may_return_null=1, max_allocation_size_mb: an impossible
#   allocation must reach the module as std::bad_alloc (MemoryError), as it
#   does without ASan; ASan would otherwise hand out (and the code then touch)
#   any block below 1 TiB, where a plain run would be stopped by RLIMIT_AS.
# log_path: every report of every process lands in $LOGS, checked below.
# No detect_stack_use_after_return: its fake stacks are mapped per thread and
#   die with ENOMEM in the test that starves the pool of address space.
export LD_PRELOAD="$runtime $cxxlib"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=8192:check_initialization_order=1:strict_init_order=1:log_path=$LOGS/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$LOGS/ubsan"
# The sanitized module shadows the one installed in .venv; tests that start
# interpreters of their own inherit all of this through the environment.
export PYTHONPATH="$(pwd)/$BUILD${PYTHONPATH:+:$PYTHONPATH}"
# Lets tests relax checks that the sanitizer itself defeats (resident-size
# flatness: ASan keeps freed memory in quarantine).
export QUARNEL_SANITIZED=1

"$PY" - "$BUILD" <<'EOF'
import os, sys
sys.path.insert(0, "python")
import quarnel
from quarnel_cluster import _native
for module, build in ((quarnel, sys.argv[1]), (_native, os.path.join(sys.argv[1], "quarnel_cluster"))):
    where = os.path.dirname(os.path.abspath(module.__file__))
    if where != os.path.abspath(build):
        sys.exit(f"test-asan: imported {module.__file__}, not the sanitized build")
EOF

status=0
[ $# -gt 0 ] || set -- tests
"$PY" -m pytest -q -p no:cacheprovider "$@" || status=$?
# Refused allocations leave a warning in the logs too; only errors count.
errors=$(grep -l -r -E 'ERROR: AddressSanitizer|runtime error:|CHECK failed|SUMMARY:' "$LOGS" || true)
warnings=$(cat "$LOGS"/* 2>/dev/null | grep -c WARNING || true)
[ "$warnings" -eq 0 ] || echo "test-asan: $warnings sanitizer warnings (refused allocations) in $LOGS"
if [ -n "$errors" ]; then
    for f in $errors; do echo "== $f"; cat "$f"; done
    echo "test-asan: sanitizer reports above" >&2
    exit 1
fi
[ $status -eq 0 ] && echo "test-asan: tests passed under ASan+UBSan, no sanitizer reports"
exit $status
