#!/usr/bin/env bash
# Prints the interpreter that `make test` builds and tests the package for
# besides the system's own: Python 3.13 when the system's is 3.11, else 3.11.
# Looked for among the pyenv interpreters, then on PATH. When that version is
# absent, the newest other CPython >= 3.10 found there stands in; when there is
# none at all, the system's own interpreter (the leg then still tests the
# standard pip install and the package index's libraries).
#   tests/find_second_python.sh [SYSTEM_PYTHON]
set -euo pipefail
system_python=${1:-/usr/bin/python3}
system_minor=$("$system_python" -c 'import sys; print(sys.version_info[1])')
if [ "$system_minor" = 11 ]; then want=13; else want=11; fi

pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}

# Every interpreter of minor version $1 we can find, best first.
candidates() {
    local minor=$1 dir
    # pyenv: the newest patch release first
    for dir in $(ls -d "$pyenv_root"/versions/3."$minor".* 2>/dev/null | sort -V -r); do
        echo "$dir/bin/python3.$minor"
    done
    command -v "python3.$minor" || true
}

usable() {
    [ -x "$1" ] && "$1" -c 'import sys, venv, ensurepip; assert sys.implementation.name == "cpython"' 2>/dev/null
}

for minor in "$want" 13 12 11 10; do
    [ "$minor" = "$system_minor" ] && continue
    for python in $(candidates "$minor"); do
        if usable "$python"; then
            echo "$python"
            exit 0
        fi
    done
done
echo "$system_python"
