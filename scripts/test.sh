#!/usr/bin/env bash
# The whole test suite. For Python 3.12 and 3.13, each where it is installed: build a wheel, install
# it into a fresh virtual environment and run the tests against that installed copy. Needs Python
# 3.12 or 3.13 and a C++ compiler; everything else comes from PyPI. Optional stages (other Python
# versions, the Windows x64 check, sanitizers, ThreadSanitizer on the threaded reader, fuzzing) say
# so plainly when their tools are missing and go on.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/find_python.sh

pip_quiet=(-q --disable-pip-version-check)

# test_installed VERSION: wheel, fresh venv, probe module, pytest.
test_installed() {
    local version="$1"
    local venv=".venv-test-$version"
    echo "== Python $version: building the wheel"
    rm -rf "$venv" "dist/$version"
    "$PYTHON_BIN" -m venv "$venv"
    local py="$PWD/$venv/bin/python"
    "$py" -m pip install "${pip_quiet[@]}" --upgrade pip
    "$py" -m pip install "${pip_quiet[@]}" "scikit-build-core>=0.10" cmake ninja "pytest>=8" \
        "hypothesis>=6" mypy matplotlib scipy zstandard pyarrow polars pandas duckdb nanoarrow
    "$py" -m pip wheel "${pip_quiet[@]}" --no-build-isolation --no-deps -w "dist/$version" \
        -Cbuild-dir="build/wheel-$version" -Ccmake.define.ANNOTROVE_WERROR=ON .
    echo "== Python $version: installing $(ls "dist/$version"/*.whl) into $venv"
    "$py" -m pip install "${pip_quiet[@]}" --no-deps "dist/$version"/*.whl

    # The probe is a test-only module that exposes the core's readers; it is never installed.
    local probe_dir="$PWD/build/probe-$version"
    PATH="$PWD/$venv/bin:$PATH" cmake -S . -B "$probe_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DANNOTROVE_PYTHON_MODULE=ON -DANNOTROVE_PROBE=ON -DANNOTROVE_WERROR=ON -DPython_EXECUTABLE="$py" >/dev/null
    PATH="$PWD/$venv/bin:$PATH" cmake --build "$probe_dir" --target _annotrove_probe >/dev/null

    # Compressed tables need their libraries at build time; say plainly what this build lacks.
    "$py" - "$probe_dir" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
import _annotrove_probe as probe
packages = {"gzip": "ISA-L or zlib (Debian: libisal-dev or zlib1g-dev)", "zstd": "libzstd (Debian: libzstd-dev)"}
missing = [f for f in packages if f not in probe.COMPRESSIONS]
reads = ", ".join(f + (f" ({probe.GZIP_LIBRARY})" if f == "gzip" else "") for f in probe.COMPRESSIONS)
print(f"== this build reads compressed tables in: {reads or 'none'}")
for f in missing:
    print(f"== this build cannot read {f} tables: {packages[f]} was not found; those tests are skipped")
PY

    echo "== Python $version: test suite against the installed wheel"
    # Run from tests/ so that nothing in the source tree shadows the installed module.
    (cd tests && ANNOTROVE_PROBE_DIR="$probe_dir" "$py" -m pytest -q -p no:cacheprovider . )

    if [ -d examples ] && ls examples/*.py >/dev/null 2>&1; then
        echo "== Python $version: mypy --strict on the examples"
        (cd examples && MYPYPATH=../bench "$py" -m mypy --strict --no-incremental \
            --cache-dir=/dev/null *.py)
    fi
    echo "== Python $version: mypy --strict on the command"
    (cd cli && "$py" -m mypy --strict --no-incremental --cache-dir=/dev/null *.py)
}

tested=0
for version in 3.12 3.13; do
    if find_python "$version"; then
        test_installed "$version"
        tested=$((tested + 1))
    else
        echo "== Python $version not found: skipping the $version run"
    fi
done
[ "$tested" -gt 0 ] || { echo "$PYTHON_NOT_FOUND" >&2; exit 1; }

find_python
if [ -x scripts/windows_check.sh ]; then
    echo "== the core built for Windows x64 (mingw-w64, run under Wine) against the native build"
    PYTHON="$PYTHON_BIN" scripts/windows_check.sh
fi
if [ -x scripts/sanitized_tests.sh ]; then
    echo "== test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
    PYTHON="$PYTHON_BIN" scripts/sanitized_tests.sh
fi
if [ -x scripts/tsan_tests.sh ]; then
    echo "== the threaded table reader under ThreadSanitizer"
    PATH="$PWD/.venv-test-3.12/bin:$PWD/.venv-test-3.13/bin:$PATH" scripts/tsan_tests.sh
fi
if [ -x scripts/fuzz.sh ]; then
    echo "== fuzzing the table and policy readers"
    PYTHON="$PYTHON_BIN" scripts/fuzz.sh "${ANNOTROVE_FUZZ_SECONDS:-60}"
fi
echo "== all test stages passed"
