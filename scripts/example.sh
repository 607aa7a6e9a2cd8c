#!/usr/bin/env bash
# Builds annotrove into a local environment and runs the walk-through on the bundled example data.
#   scripts/example.sh          (takes no arguments; set PYTHON to choose the interpreter)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/find_python.sh

if [ "$#" -gt 0 ]; then
    echo "usage: scripts/example.sh (it takes no arguments; set PYTHON=/path/to/python3.12 or python3.13 to choose the interpreter)" >&2
    exit 2
fi
find_python || { echo "$PYTHON_NOT_FOUND" >&2; exit 1; }
venv=".venv-example"
if [ ! -x "$venv/bin/python" ]; then
    "$PYTHON_BIN" -m venv "$venv"
fi
py="$PWD/$venv/bin/python"
version="$("$py" -c 'import sys; print("%d%d" % sys.version_info[:2])')"
"$py" -m pip install -q --disable-pip-version-check --upgrade pip
"$py" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" cmake ninja
"$py" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    -Cbuild-dir="build/example-$version" -Ccmake.define.ANNOTROVE_WERROR=ON .
"$py" examples/walkthrough.py
