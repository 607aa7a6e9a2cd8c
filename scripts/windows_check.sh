#!/usr/bin/env bash
# The core on Windows x64: builds tests/core_check natively and with mingw-w64 from the same
# sources and flags, runs the Windows build under Wine on a generated corpus (valid and faulty
# tables, policy files, the fuzz seeds) and compares the two outputs line by line.
#   scripts/windows_check.sh
# Only last-bit differences of the log/exp-based results may differ (see tests/core_check/
# compare.py); anything else fails. Without the cross compiler or Wine the check is skipped
# (exit 0) with a message saying so. Wine gets a prefix of its own under build/, created on the
# first run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/find_python.sh

started=$SECONDS
cross=x86_64-w64-mingw32-g++-posix
wine=""
for candidate in /usr/lib/wine/wine64 wine64 wine; do
    if command -v "$candidate" >/dev/null 2>&1; then
        wine="$(command -v "$candidate")"
        break
    fi
done
missing=()
command -v "$cross" >/dev/null 2>&1 || missing+=("$cross (Debian: g++-mingw-w64-x86-64-posix)")
[ -n "$wine" ] || missing+=("wine64 (Debian: wine64)")
if [ "${#missing[@]}" -gt 0 ]; then
    echo "not found: ${missing[*]}; skipping the Windows x64 check"
    exit 0
fi
find_python || { echo "$PYTHON_NOT_FOUND" >&2; exit 1; }

# cmake and ninja: from PATH, else from one of the project's virtual environments.
tool() {
    local name="$1" dir
    if command -v "$name" >/dev/null 2>&1; then
        command -v "$name"
        return 0
    fi
    for dir in .venv-test-3.12 .venv-test .venv; do
        if [ -x "$dir/bin/$name" ]; then
            echo "$PWD/$dir/bin/$name"
            return 0
        fi
    done
    return 1
}
cmake_bin="$(tool cmake)" ||
    { echo "error: cmake not found (scripts/test.sh installs it; or pip install cmake ninja)" >&2; exit 1; }
generator=()
if ninja_bin="$(tool ninja)"; then
    generator=(-G Ninja -DCMAKE_MAKE_PROGRAM="$ninja_bin")
fi

build="build/windows-check"
mkdir -p "$build"
log="$build/build.log"
: >"$log"
# Release, as the wheel is built; both builds compile every core source with the project's
# warnings (as errors) and floating-point flags.
configure_and_build() {
    local dir="$1"
    shift
    "$cmake_bin" -S . -B "$build/$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
        -DANNOTROVE_CORE_CHECK=ON -DANNOTROVE_PYTHON_MODULE=OFF -DANNOTROVE_WERROR=ON "$@" >>"$log" 2>&1 &&
        "$cmake_bin" --build "$build/$dir" --target core_check >>"$log" 2>&1 ||
        { echo "error: the $dir build of core_check failed; last lines of $log:" >&2
          tail -n 40 "$log" >&2; exit 1; }
}
echo "building core_check natively and with $cross"
configure_and_build native
configure_and_build windows -DCMAKE_TOOLCHAIN_FILE="$PWD/tests/core_check/mingw-w64-x86_64.cmake"
native_exe="$build/native/tests/core_check/core_check"
windows_exe="$PWD/$build/windows/tests/core_check/core_check.exe"

# Win64 guarantees only 16-byte stack alignment, so an aligned 32-byte access to the stack faults
# there at random. GCC 12 spills AVX values with unaligned moves; this keeps it so for the AVX2
# scanner, which Wine runs on a processor that has AVX2.
objdump_bin="$(command -v x86_64-w64-mingw32-objdump || true)"
if [ -n "$objdump_bin" ]; then
    spills="$(find "$build/windows/CMakeFiles/annotrove_core.dir" -name '*.obj' -print0 |
        xargs -0 "$objdump_bin" -d --no-show-raw-insn 2>/dev/null |
        grep -E 'vmov(dqa|aps|apd)[[:space:]].*%ymm.*\(%r[sb]p\)|vmov(dqa|aps|apd)[[:space:]].*\(%r[sb]p\).*%ymm' ||
        true)"
    if [ -n "$spills" ]; then
        echo "FAILED: aligned 32-byte stack accesses in the Windows build of the core:" >&2
        echo "$spills" | head -n 10 >&2
        exit 1
    fi
fi

export WINEPREFIX="$PWD/$build/wine-prefix" WINEDEBUG=-all
# No .NET or HTML engine: their installers would ask for downloads in a fresh prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -d "$WINEPREFIX" ]; then
    prefix_start=$SECONDS
    "$wine" "$windows_exe" >"$build/wine-prefix.log" 2>&1 ||
        { echo "error: Wine could not start core_check.exe:" >&2; cat "$build/wine-prefix.log" >&2
          exit 1; }
    echo "created the Wine prefix $WINEPREFIX in $((SECONDS - prefix_start)) s"
fi

# gzip copies join the corpus when the Windows build reads gzip (zlib for mingw-w64, Debian:
# libz-mingw-w64-dev); zstd has no mingw-w64 package, so the Windows build here cannot read it.
corpus_options=()
if grep -E '^ZLIB_LIBRARY(_RELEASE)?:FILEPATH=' "$build/windows/CMakeCache.txt" | grep -vq NOTFOUND; then
    corpus_options+=(--gzip)
else
    echo "the Windows build has no zlib (Debian: libz-mingw-w64-dev): gzip tables are not compared"
fi
"$PYTHON_BIN" tests/core_check/make_corpus.py "$build/corpus" "${corpus_options[@]}"
status=0
"$PYTHON_BIN" tests/core_check/compare.py "$build/corpus" "$native_exe" -- "$wine" "$windows_exe" ||
    status=$?
echo "Windows x64 check: $((SECONDS - started)) s"
exit "$status"
