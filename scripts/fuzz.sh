#!/usr/bin/env bash
# Builds the libFuzzer entry points (candidate-table reader, policy-file parser, Arrow batches) with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer and runs each for a bounded time.
#   scripts/fuzz.sh [seconds-per-fuzzer]      (default 60)
# Any crash, sanitizer report, leak or hang fails the run; the crashing input is kept under
# build/fuzz/artifacts/. Without a clang that has libFuzzer the run is skipped (exit 0), unless
# ANNOTROVE_INSTALL_CLANG=1 is set and we are root: then Debian's clang is installed first.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
case "$seconds" in
'' | *[!0-9]*)
    echo "usage: scripts/fuzz.sh [seconds-per-fuzzer]" >&2
    exit 2
    ;;
esac
build="build/fuzz"
fuzzers=(candidate_table policy_file arrow_batches)

# A clang is usable when it compiles C++23 <expected> against the system's standard library and
# links libFuzzer with both sanitizers; older clangs fail the first test with libstdc++ 12.
probe_dir="$(mktemp -d)"
trap 'rm -rf "$probe_dir"' EXIT
cat >"$probe_dir/probe.cpp" <<'CPP'
#include <cstddef>
#include <cstdint>
#include <expected>
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *, std::size_t size) {
    std::expected<std::size_t, int> value = size;
    return value ? 0 : 1;
}
CPP
usable_clang() {
    command -v "$1" >/dev/null 2>&1 &&
        "$1" -std=c++23 -fsanitize=fuzzer,address,undefined "$probe_dir/probe.cpp" \
            -o "$probe_dir/probe" >/dev/null 2>&1
}
find_clang() {
    local candidate
    for candidate in ${CLANGXX:-} clang++-21 clang++-20 clang++-19 clang++-18 clang++-17 \
        clang++-16 clang++; do
        if usable_clang "$candidate"; then
            CLANGXX="$(command -v "$candidate")"
            return 0
        fi
    done
    return 1
}

if ! find_clang; then
    if [ "${ANNOTROVE_INSTALL_CLANG:-0}" = 1 ] && [ "$(id -u)" = 0 ] &&
        command -v apt-get >/dev/null 2>&1; then
        echo "== installing clang and its libFuzzer runtime from Debian's packages"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq >/dev/null
        # The newest packaged clang first: libstdc++ 12's <expected> needs clang 16 or later.
        for version in 19 18 17 16; do
            if apt-get install -y -qq "clang-$version" "libclang-rt-$version-dev" \
                >/dev/null 2>&1; then
                break
            fi
        done
    fi
    if ! find_clang; then
        echo "clang with libFuzzer not found: skipping fuzzing (install clang to enable)"
        exit 0
    fi
fi

# cmake and ninja: from PATH, else from one of the project's virtual environments.
tool() {
    local name="$1" dir
    if command -v "$name" >/dev/null 2>&1; then
        command -v "$name"
        return 0
    fi
    for dir in .venv-test .venv .venv-asan; do
        if [ -x "$dir/bin/$name" ]; then
            echo "$PWD/$dir/bin/$name"
            return 0
        fi
    done
    return 1
}
cmake_bin="$(tool cmake)" || { echo "error: cmake not found" >&2; exit 1; }
generator=()
if ninja_bin="$(tool ninja)"; then
    generator=(-G Ninja -DCMAKE_MAKE_PROGRAM="$ninja_bin")
fi

echo "== building the fuzzers with $CLANGXX into $build"
clang_c="${CLANGXX/clang++/clang}"
"$cmake_bin" -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$CLANGXX" -DCMAKE_C_COMPILER="$clang_c" -DANNOTROVE_FUZZ=ON -DANNOTROVE_WERROR=ON \
    -DANNOTROVE_PYTHON_MODULE=OFF >"$probe_dir/configure.log" 2>&1 ||
    { cat "$probe_dir/configure.log" >&2; exit 1; }
"$cmake_bin" --build "$build" --target "${fuzzers[@]/#/fuzz_}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for name in "${fuzzers[@]}"; do
    work="$build/corpus/$name"
    artifacts="$build/artifacts"
    log="$build/fuzz_$name.log"
    mkdir -p "$work" "$artifacts"
    # Token dictionaries help the text parsers; the binary batch layout has none.
    dictionary=""
    if [ -f "fuzz/$name.dict" ]; then
        dictionary="-dict=fuzz/$name.dict"
    fi
    echo "== fuzz_$name for ${seconds} s"
    # New inputs go to the work corpus (first folder); the committed seeds are only read.
    if "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
        -print_final_stats=1 ${dictionary:+"$dictionary"} -artifact_prefix="$artifacts/$name-" \
        "$work" "fuzz/corpus/$name" >"$log" 2>&1; then
        runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
        echo "fuzz_$name: ${runs:-?} executions in ${seconds} s, no failure"
    else
        status=1
        echo "fuzz_$name: FAILED; last lines of $log:" >&2
        tail -n 40 "$log" >&2
        ls "$artifacts"/"$name"-* 2>/dev/null | sed 's/^/  input kept: /' >&2 || true
    fi
done
exit "$status"
