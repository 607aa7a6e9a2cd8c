# Sourced by the project's scripts: sets PYTHON_BIN to a Python 3.12 or 3.13 interpreter.
#   find_python [VERSION ...]     the versions acceptable, in order of preference (default: 3.12 3.13)
# Order: $PYTHON if set and one of those versions, else pythonX.Y if it runs, else pyenv's X.Y
# install, for each version in turn.
find_python() {
    local wanted=("$@")
    [ "${#wanted[@]}" -gt 0 ] || wanted=(3.12 3.13)
    local version candidate
    if [ -n "${PYTHON:-}" ]; then
        local given
        given="$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" || given=""
        for version in "${wanted[@]}"; do
            if [ "$given" = "$version" ]; then
                PYTHON_BIN="$PYTHON"
                return 0
            fi
        done
    fi
    for version in "${wanted[@]}"; do
        if command -v "python$version" >/dev/null 2>&1 && "python$version" -c '' >/dev/null 2>&1; then
            PYTHON_BIN="$(command -v "python$version")"
            return 0
        fi
        if command -v pyenv >/dev/null 2>&1; then
            for candidate in "$(pyenv root)"/versions/"$version"*/bin/python"$version"; do
                if [ -x "$candidate" ]; then
                    PYTHON_BIN="$candidate"
                    return 0
                fi
            done
        fi
    done
    return 1
}

# The message the scripts give when find_python fails.
PYTHON_NOT_FOUND="error: Python 3.12 or 3.13 not found (set PYTHON=/path/to/python3.12 or python3.13)"
