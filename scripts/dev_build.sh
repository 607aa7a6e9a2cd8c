#!/usr/bin/env bash
# Incremental developer build into a folder of its own: scripts/dev_build.sh build/dev [cmake args]
# Then: PYTHONPATH=build/dev .venv/bin/python -m pytest tests
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/find_python.sh
dir="${1:-build/dev}"
shift || true
venv_python="$PWD/.venv/bin/python"
if [ ! -x "$venv_python" ]; then
    find_python || { echo "$PYTHON_NOT_FOUND" >&2; exit 1; }
    "$PYTHON_BIN" -m venv .venv
    "$venv_python" -m pip install -q --upgrade pip
    "$venv_python" -m pip install -q scikit-build-core pytest hypothesis cmake ninja
fi
export PATH="$PWD/.venv/bin:$PATH"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DANNOTROVE_PYTHON_MODULE=ON \
    -DANNOTROVE_PROBE=ON -DANNOTROVE_WERROR=ON -DPython_EXECUTABLE="$venv_python" "$@" >/dev/null
cmake --build "$dir"
