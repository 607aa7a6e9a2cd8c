#!/usr/bin/env bash
# The whole test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer (g++),
# installed with the test probe into its own virtual environment (.venv-asan, build/asan).
#   scripts/sanitized_tests.sh [pytest args]
# The interpreter is not instrumented: libasan is preloaded and PYTHONMALLOC=malloc sends every
# Python allocation through it. Any sanitizer report, a leak in the module's own allocations
# included, fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/find_python.sh

find_python || { echo "$PYTHON_NOT_FOUND" >&2; exit 1; }
cxx="${CXX:-g++}"
libasan="$("$cxx" -print-file-name=libasan.so)"
if [ ! -e "$libasan" ]; then
    echo "error: $cxx has no AddressSanitizer runtime (libasan.so)" >&2
    exit 1
fi

venv=".venv-asan"
if [ ! -x "$venv/bin/python" ]; then
    "$PYTHON_BIN" -m venv "$venv"
fi
py="$PWD/$venv/bin/python"
pip_quiet=(-q --disable-pip-version-check)
"$py" -m pip install "${pip_quiet[@]}" --upgrade pip
"$py" -m pip install "${pip_quiet[@]}" "scikit-build-core>=0.10" cmake ninja "pytest>=8" \
    "hypothesis>=6" zstandard pyarrow polars pandas duckdb nanoarrow

echo "== building annotrove with ASan+UBSan ($cxx) into $venv"
CXX="$cxx" "$py" -m pip install "${pip_quiet[@]}" --no-build-isolation --force-reinstall --no-deps \
    -Ccmake.define.ANNOTROVE_SANITIZE=ON -Ccmake.define.ANNOTROVE_WERROR=ON -Ccmake.define.ANNOTROVE_PROBE=ON \
    -Ccmake.build-type=RelWithDebInfo -Cbuild-dir=build/asan .

echo "== test suite under ASan+UBSan"
# Leaks are checked once, after the last test and before the interpreter finalizes: at exit
# CPython 3.12 drops its interned and immortal objects on purpose, which would bury a real leak
# among thousands of its own. Before finalization everything it keeps is still reachable, so what
# the check finds is memory nobody can free any more: the module's C++ allocations, and Python
# objects that lost their last owner without being released.
export LD_PRELOAD="$libasan"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=1:leak_check_at_exit=0:abort_on_error=1:halt_on_error=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export HYPOTHESIS_PROFILE="${HYPOTHESIS_PROFILE:-sanitized}"
export ANNOTROVE_SANITIZED=1
# From tests/, so nothing in the source tree shadows the installed module.
cd tests
# --capture=sys: a sanitizer writes its report straight to file descriptor 2 and then aborts, so
# pytest must not be holding that descriptor in a capture file that nobody gets to print.
"$py" - -q -p no:cacheprovider --capture=sys . "$@" <<'PY'
import ctypes
import sys

import pytest

status = pytest.main(sys.argv[1:])
# The frame object of this running frame is referenced only from the interpreter's frame stack,
# which lives in memory the leak checker does not scan; a global makes it visibly reachable.
this_frame = sys._getframe()
leak_check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
if leak_check() != 0:
    print("LeakSanitizer: memory leaked during the test run (report above)", file=sys.stderr)
    status = status or 1
sys.exit(status)
PY
