#!/usr/bin/env bash
# Builds quelt with AddressSanitizer and UndefinedBehaviorSanitizer into its
# own virtual environment (build/venv-asan, made from the same free-threaded
# interpreter as .venv) and runs the test suite there with the ASan runtime
# preloaded.  Any sanitizer report aborts the interpreter and so fails the run.
#
#   scripts/test-asan.sh [pytest arguments...]
#
# Environment: QUELT_ASAN_VENV (default build/venv-asan), QUELT_ASAN_BUILD
# (default build/asan).
set -euo pipefail
cd "$(dirname "$0")/.."

venv="${QUELT_ASAN_VENV:-build/venv-asan}"
build="${QUELT_ASAN_BUILD:-build/asan}"
log() { echo "test-asan: $*" >&2; }

py=$(scripts/provision-python.sh | tail -n 1)

scripts/make-venv.sh "$venv" "$py"

log "building the sanitized extension in $build"
"$venv/bin/python" -m pip --disable-pip-version-check -q install \
    --no-build-isolation --no-deps --force-reinstall \
    -C "build-dir=$build" -C cmake.define.QUELT_SANITIZE=ON .

# The extension is built by the default C++ compiler; its ASan runtime must be
# the first library of the process, so it is preloaded into the interpreter.
cxx="${CXX:-c++}"
asan_rt=$("$cxx" -print-file-name=libasan.so)
[ -f "$asan_rt" ] || { log "no ASan runtime found for $cxx ($asan_rt)"; exit 1; }

# Refuse to run the suite against an unsanitized build: that would pass
# without checking anything.
so=$("$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("quelt").origin)')
if ! nm -D "$so" | grep ' U __asan_init' >/dev/null; then
    log "$so is not built with AddressSanitizer"
    exit 1
fi
log "running the tests against $so"

export LD_PRELOAD="$asan_rt"
# The free-threaded interpreter has no PYTHONMALLOC=malloc (its collector
# finds objects by walking mimalloc's heaps).  mimalloc_debug adds the debug
# hooks: guard bytes around every block, checked when it is freed, freed
# memory filled with a pattern, and a fatal error for mismatched allocator
# families.  The module's own buffers come from malloc in this build
# (fuzz/sanitizer_alloc.h), so ASan checks every access to them.
export PYTHONMALLOC=mimalloc_debug
# detect_leaks=0: the interpreter keeps memory alive at exit by design; leaks
# of the module are measured by tests/test_leaks.py instead.
# allocator_may_return_null=1: a huge allocation fails like it does without
# ASan (MemoryError) instead of aborting.
# Reports also go to files: pytest captures the stderr of a running test,
# and a report that ends the process would be lost with it.
logs="$PWD/build/asan-logs"
rm -rf "$logs"; mkdir -p "$logs"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:log_path=$logs/asan:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1:log_path=$logs/ubsan:${UBSAN_OPTIONS:-}"
# Hypothesis runs fewer examples here: every one is much slower.
export QUELT_SANITIZED=1

rc=0
"$venv/bin/python" -m pytest "$@" || rc=$?
if [ $rc -eq 5 ]; then log "pytest collected no tests"; fi
# Any report fails the run, also one from a subprocess that a test expected
# to fail.
if compgen -G "$logs/*" >/dev/null; then
    for f in "$logs"/*; do log "sanitizer report $f:"; cat "$f" >&2; done
    [ $rc -ne 0 ] || rc=1
fi
exit $rc
