#!/usr/bin/env bash
# Builds quelt with ThreadSanitizer into its own virtual environment
# (build/venv-tsan, made from a free-threaded CPython that is itself built
# with ThreadSanitizer) and runs the tests that start threads there: the
# stress tests, concurrent decoding, containers mutated during encoding, and
# any other test file that uses threads.  Any ThreadSanitizer report fails the
# run, except races inside the interpreter itself that
# scripts/tsan-suppressions.txt lists with their reason.
#
#   scripts/test-tsan.sh [pytest arguments...]
#
# With no test file among the arguments, the test files that import threading
# (or concurrent.futures) are run.
#
# Environment: QUELT_TSAN_VENV (default build/venv-tsan), QUELT_TSAN_BUILD
# (default build/tsan), QUELT_STRESS_SECONDS (seconds per stress test,
# default 3 here).
set -euo pipefail
cd "$(dirname "$0")/.."

venv="${QUELT_TSAN_VENV:-build/venv-tsan}"
build="${QUELT_TSAN_BUILD:-build/tsan}"
log() { echo "test-tsan: $*" >&2; }

py=$(scripts/provision-python.sh --tsan | tail -n 1)

user_options="${TSAN_OPTIONS:-}"
logs="$PWD/build/tsan-logs"
rm -rf "$logs"; mkdir -p "$logs/setup"
# pip and the build run on the instrumented interpreter too.  What it reports
# there is not about quelt and must not stop the set-up: it is kept aside.
export TSAN_OPTIONS="exitcode=0:log_path=$logs/setup/tsan:$user_options"

# Said plainly, should the cache hold something else: an interpreter without
# ThreadSanitizer could not load the extension built below.
"$py" - <<'EOF' || { log "$py is not a free-threaded ThreadSanitizer build"; exit 1; }
import sys, sysconfig
sys.exit(not (sysconfig.get_config_var("Py_GIL_DISABLED")
              and "--with-thread-sanitizer" in sysconfig.get_config_var("CONFIG_ARGS")))
EOF

scripts/make-venv.sh "$venv" "$py"

log "building the instrumented extension in $build"
"$venv/bin/python" -m pip --disable-pip-version-check -q install \
    --no-build-isolation --no-deps --force-reinstall \
    -C "build-dir=$build" -C cmake.define.QUELT_TSAN=ON .

# Refuse to run the tests against an uninstrumented build: races in quelt's
# own code would go unseen and the run would pass without checking anything.
so=$("$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("quelt").origin)')
if ! nm -D "$so" | grep ' U __tsan_init' >/dev/null; then
    log "$so is not built with ThreadSanitizer"
    exit 1
fi

# The test files that start threads, unless the arguments name tests.
tests=()
named=""
for arg in "$@"; do
    case "$arg" in -*) continue ;; esac
    if [ -e "${arg%%::*}" ]; then named=1; fi
done
if [ -z "$named" ]; then
    mapfile -t tests < <(grep -lE '^(import|from) (threading|concurrent)' tests/test_*.py)
    [ ${#tests[@]} -gt 0 ] || { log "no test file uses threads"; exit 1; }
fi
log "running ${tests[*]:-the named tests} against $so"

# Every report goes to a file (log_path): pytest captures the stderr of a
# running test, and a subprocess's report would go with its output.
# tsan_reports.py then decides on each one; so a report does not change the
# exit status (exitcode=0) nor stop the run (halt_on_error=0), and one run
# shows every race it meets.  history_size=7 (the most) keeps enough of each
# thread's past accesses for the earlier side of a race to keep its stack: a
# side without one cannot be told apart from quelt's code and fails the run.
# second_deadlock_stack=1 shows both stacks of a lock-order inversion.
export TSAN_OPTIONS="halt_on_error=0:exitcode=0:history_size=7:second_deadlock_stack=1:log_path=$logs/tsan:$user_options"
# quelt declares that it needs no GIL; this also keeps the GIL off should a
# module imported by the tests not declare it, which would hide every race.
export PYTHON_GIL=0
# Hypothesis runs fewer examples here, and the recursion tests get a larger
# thread stack: every call is several times slower and its frames bigger.
export QUELT_SANITIZED=1
# Tells the tests which sanitizer watches them.
export QUELT_TSAN=1
# No plugins from the venv: the only one is Hypothesis's, which none of the
# threaded tests uses, and loading it costs a minute here (pytest rewrites the
# asserts of every module of a plugin's package when it is imported).
export PYTEST_DISABLE_PLUGIN_AUTOLOAD=1
# The stress tests run for a fixed time each; every call is slow here, so a
# short time already gives each test many calls.
export QUELT_STRESS_SECONDS="${QUELT_STRESS_SECONDS:-3}"

rc=0
"$venv/bin/python" -m pytest "${tests[@]}" "$@" || rc=$?
if [ $rc -eq 5 ]; then log "pytest collected no tests"; fi

if compgen -G "$logs/tsan.*" >/dev/null; then
    TSAN_OPTIONS="log_path=$logs/setup/tsan" "$venv/bin/python" scripts/tsan_reports.py \
        scripts/tsan-suppressions.txt "$(basename "$so")" "$logs"/tsan.* || { [ $rc -ne 0 ] || rc=1; }
    log "all reports, the ones let pass included: $logs"
fi
if compgen -G "$logs/setup/*" >/dev/null; then
    log "reports from setting up (pip, the build), not from the tests: $logs/setup"
fi
exit $rc
