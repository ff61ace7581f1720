#!/usr/bin/env bash
# Makes a virtual environment with the test dependencies from the given
# interpreter, for the sanitizer runs (scripts/test-asan.sh, test-tsan.sh).
# It is remade when the requirements change, as make does for .venv.
#
#   scripts/make-venv.sh VENV PYTHON
set -euo pipefail
cd "$(dirname "$0")/.."

venv="$1" py="$2"
if [ ! -f "$venv/.ready" ] || [ requirements-dev.txt -nt "$venv/.ready" ]; then
    echo "make-venv: creating $venv from $py" >&2
    rm -rf "$venv"
    "$py" -m venv "$venv"
    "$venv/bin/python" -m pip --disable-pip-version-check -q install --upgrade pip
    "$venv/bin/python" -m pip --disable-pip-version-check -q install -r requirements-dev.txt
    touch "$venv/.ready"
fi
