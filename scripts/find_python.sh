# Sourced by the project's scripts: sets PYTHON_BIN to a Python 3.12 interpreter.
# Order: $PYTHON if set, else python3.12 if it runs, else pyenv's 3.12 install.
find_python() {
    local wanted="${1:-3.12}"
    if [ "$wanted" = "3.12" ] && [ -n "${PYTHON:-}" ]; then
        PYTHON_BIN="$PYTHON"
        return 0
    fi
    if command -v "python$wanted" >/dev/null 2>&1 && "python$wanted" -c '' >/dev/null 2>&1; then
        PYTHON_BIN="$(command -v "python$wanted")"
        return 0
    fi
    if command -v pyenv >/dev/null 2>&1; then
        local candidate
        for candidate in "$(pyenv root)"/versions/"$wanted"*/bin/python"$wanted"; do
            if [ -x "$candidate" ]; then
                PYTHON_BIN="$candidate"
                return 0
            fi
        done
    fi
    return 1
}
