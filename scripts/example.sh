#!/usr/bin/env bash
# Builds annotrove into a local environment and runs the walk-through on the bundled example data.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/find_python.sh

find_python 3.12 || { echo "error: Python 3.12 not found (set PYTHON=/path/to/python3.12)" >&2; exit 1; }
venv=".venv-example"
if [ ! -x "$venv/bin/python" ]; then
    "$PYTHON_BIN" -m venv "$venv"
fi
py="$PWD/$venv/bin/python"
"$py" -m pip install -q --disable-pip-version-check --upgrade pip
"$py" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" cmake ninja
"$py" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    -Cbuild-dir=build/example-312 .
"$py" examples/walkthrough.py "$@"
