#!/usr/bin/env bash
# The threaded table reader under ThreadSanitizer (g++): tests/thread_check reads generated tables
# and the fuzz corpus on one thread and on several, with chunk edges everywhere, and must find
# every outcome alike and no race. A small C++ program rather than the Python suite, because the
# interpreter is not built for ThreadSanitizer.
#   scripts/tsan_tests.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cxx="${CXX:-g++}"
if [ ! -e "$("$cxx" -print-file-name=libtsan.so)" ]; then
    echo "== $cxx has no ThreadSanitizer runtime (libtsan.so): skipping the ThreadSanitizer stage"
    exit 0
fi
for tool in cmake ninja; do
    command -v "$tool" >/dev/null || { echo "error: $tool not found" >&2; exit 1; }
done
CXX="$cxx" cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DANNOTROVE_TSAN=ON -DANNOTROVE_WERROR=ON \
    >/dev/null
cmake --build build/tsan --target thread_check >/dev/null
# Any report fails the run; halt_on_error stops at the first.
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
    build/tsan/tests/thread_check/thread_check fuzz/corpus/candidate_table/*
