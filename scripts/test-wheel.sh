#!/usr/bin/env bash
# Runs the test suite against the free-threaded wheel in dist/, installed as a
# user installs it: a fresh virtual environment holding that wheel and the
# test requirements only (no build backend, compiler packages or checkout on
# the path), the tests run from a copy of tests/ in a temporary directory.
# Then the typed example is checked with `mypy --strict` against the stub as
# the wheel installed it.
#
#   scripts/test-wheel.sh PYTHON MYPY_PYTHON [pytest arguments...]
#
# PYTHON is the free-threaded interpreter; MYPY_PYTHON one that has mypy.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

py=$1
# Absolute, as the tests run from elsewhere; the directory is resolved, not
# the file, which in a venv is a link to the base interpreter.
mypy_py=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
shift 2
log() { echo "test-wheel: $*" >&2; }

tag=$("$py" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}t")')
wheels=(dist/quelt-*-"$tag"-manylinux*.whl)
[ -f "${wheels[0]}" ] || { log "no $tag manylinux wheel in dist/: run make dist first"; exit 1; }
wheel="$root/${wheels[0]}"

venv="$root/build/venv-wheel"
rm -rf "$venv"
"$py" -m venv "$venv"
vpy="$venv/bin/python"
"$vpy" -m pip --disable-pip-version-check -q install "$wheel" -r requirements-test.txt

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp -r tests "$tmp/tests"
# Replays of fuzz findings use the fuzz checks, plain Python beside tests/.
mkdir "$tmp/fuzz"
cp fuzz/quelt_fuzz_checks.py "$tmp/fuzz/"
find "$tmp" -name __pycache__ -prune -exec rm -rf {} +
cd "$tmp"

# The module, the tool and the script must all come from the wheel.
"$vpy" - "$venv" <<'EOF'
import importlib.util
import os
import sys
import sysconfig

import quelt
import quelt_tool

venv = os.path.realpath(sys.argv[1])
site = os.path.realpath(sysconfig.get_paths()["platlib"])
assert site.startswith(venv + os.sep), (site, venv)
for module in (quelt, quelt_tool):
    where = os.path.realpath(module.__file__)
    assert os.path.dirname(where) == site, f"{module.__name__} loaded from {where}, not {site}"
for absent in ("scikit_build_core", "cmake", "ninja"):
    assert importlib.util.find_spec(absent) is None, f"{absent} is installed beside the wheel"
assert os.access(os.path.join(venv, "bin", "quelt"), os.X_OK), "no quelt console script"
# The number libraries are header-only and compiled into the module: no
# library is bundled in the wheel, and none of the system's is loaded for it.
with open("/proc/self/maps") as maps:
    loaded = {line.split()[-1] for line in maps if "double-conversion" in line or "quelt.libs" in line}
assert not loaded, loaded
print(f"test-wheel: quelt {quelt.__version__} from {quelt.__file__}", file=sys.stderr)
EOF

rc=0
"$vpy" -m pytest -p no:cacheprovider --rootdir "$tmp" -ra tests "$@" || rc=$?
if [ $rc -eq 5 ]; then log "pytest collected no tests"; fi
[ $rc -eq 0 ] || exit $rc

# mypy looks up the stub in the wheel's environment, not in the checkout.
"$mypy_py" -m mypy --strict --cache-dir=/dev/null --python-executable "$vpy" tests/typing_example.py
