#!/usr/bin/env bash
# Builds annotrove, installs it into a test environment and runs the whole test suite against
# the installed copy. Needs Python 3.12 and a C++ compiler; everything else comes from PyPI.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/find_python.sh

find_python 3.12 || { echo "error: Python 3.12 not found (set PYTHON=/path/to/python3.12)" >&2; exit 1; }
venv=".venv-test"
if [ ! -x "$venv/bin/python" ]; then
    "$PYTHON_BIN" -m venv "$venv"
fi
py="$PWD/$venv/bin/python"
"$py" -m pip install -q --disable-pip-version-check --upgrade pip
"$py" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" cmake ninja \
    "pytest>=8" "hypothesis>=6"

echo "== building and installing annotrove (with the test probe) into $venv"
"$py" -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps \
    -Ccmake.define.ANNOTROVE_PROBE=ON -Cbuild-dir=build/test-312 .

echo "== test suite"
"$py" -m pytest -q -p no:cacheprovider tests "$@"
