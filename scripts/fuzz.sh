#!/usr/bin/env bash
# Coverage-guided fuzzing of quelt with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer.  One binary per entry point (fuzz_loads,
# fuzz_dumps), each embedding the free-threaded interpreter with quelt built
# in; the checks themselves are in fuzz/quelt_fuzz_checks.py.  fuzz_numconv
# holds the number door to double-conversion, without Python.
#
#   scripts/fuzz.sh [TARGET...]        TARGET: loads, dumps, numconv (default: all)
#
# FUZZ_SECONDS   run time of each target, in seconds (default 120); the
#                targets run side by side, one process each
# FUZZ_JOBS      parallel processes per target (default 1)
#
# The growing corpus stays in build/fuzz/corpus/TARGET between runs; seeds
# are made afresh from tests/data and the test tables.  A failing input is
# written to build/fuzz/crashes/ and makes the run fail: keep it as
# tests/regressions/TARGET-NAME.bin, which tests/test_hostile.py replays
# (a numconv input goes into the tables of tests/native/numconv_oracle.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds="${FUZZ_SECONDS:-120}"
jobs="${FUZZ_JOBS:-1}"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(loads dumps numconv)
build="$root/build/fuzz"
log() { echo "fuzz: $*" >&2; }

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
ensure_packages() {
    local missing="" p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "install ok installed" >/dev/null || missing="$missing $p"
    done
    [ -n "$missing" ] || return 0
    as_root apt-get update -q >&2
    log "installing$missing"
    # shellcheck disable=SC2086
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing >&2
}
# clang with its sanitizer and libFuzzer runtimes.
ensure_packages clang-14 libclang-rt-14-dev
cxx=clang++-14

py=$(scripts/provision-python.sh | tail -n 1)
prefix=$(cd "$(dirname "$py")/.." && pwd)
config="$py-config"
[ -x "$config" ] || { log "no $config next to the interpreter"; exit 1; }

# ---- build ------------------------------------------------------------------
mkdir -p "$build/obj"
# shellcheck disable=SC2207
includes=($("$config" --includes))
# dragonbox keeps its headers in a versioned directory.
dragonbox_h=$(dpkg-query -L libdragonbox-dev | grep -m 1 '/dragonbox/dragonbox\.h$')
sanitize=(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
# No -Werror here: the build of record (gcc, CMakeLists.txt) enforces the
# warnings; clang's differ and must not stop a fuzz run.
# -Wno-char-subscripts: clang flags table lookups by character literal.
cflags=(-std=c++17 -O1 -g -Wall -Wextra -Wno-char-subscripts "${sanitize[@]}" -I"$root" "${includes[@]}"
        -I"$(dirname "$(dirname "$dragonbox_h")")" -include "$root/fuzz/sanitizer_alloc.h")
# The module's own source list, as CMakeLists.txt names it (QUELT_SOURCES),
# so that the fuzz targets cannot drift from the module.
mapfile -t sources < <(sed -n '/^set(QUELT_SOURCES/,/^)/{/^set(/d;/^)/d;s/^[[:space:]]*//;p}' CMakeLists.txt)
[ ${#sources[@]} -gt 0 ] || { log "no QUELT_SOURCES list in CMakeLists.txt"; exit 1; }
objects=()
for src in "${sources[@]}"; do
    obj="$build/obj/$(echo "$src" | tr / _).o"
    "$cxx" "${cflags[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
    objects+=("$obj")
done
# The interpreter is linked in statically; its extension modules in
# lib-dynload need its symbols exported from the executable.
# shellcheck disable=SC2207
pylibs=($("$config" --ldflags --embed))
for target in "${targets[@]}"; do
    if [ "$target" = numconv ]; then
        # The door alone, against the library it replaced.
        "$cxx" "${cflags[@]}" -fsanitize=fuzzer fuzz/fuzz_numconv.cpp "$build/obj/numconv_numconv.cpp.o" \
            -o "$build/fuzz_numconv" -ldouble-conversion
        continue
    fi
    "$cxx" "${cflags[@]}" -fsanitize=fuzzer \
        -DQUELT_FUZZ_TARGET="\"$target\"" \
        -DQUELT_FUZZ_PYTHONHOME="\"$prefix\"" \
        -DQUELT_FUZZ_DIR="\"$root/fuzz\"" \
        fuzz/fuzz_target.cpp "${objects[@]}" -o "$build/fuzz_$target" \
        -Wl,--export-dynamic "${pylibs[@]}" -lpthread
done
log "built ${targets[*]/#/$build/fuzz_}"

# ---- seeds --------------------------------------------------------------------
rm -rf "$build/seeds"
"$py" fuzz/make_corpus.py "$build/seeds"

# ---- run ----------------------------------------------------------------------
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
mkdir -p "$build/crashes"
pids=()
for target in "${targets[@]}"; do
    mkdir -p "$build/corpus/$target"
    args=(-max_total_time="$seconds" -max_len=8192 -timeout=30 -rss_limit_mb=6144
          -print_final_stats=1 -artifact_prefix="$build/crashes/$target-")
    [ "$jobs" -gt 1 ] && args+=(-fork="$jobs" -ignore_crashes=0)
    log "running $target for ${seconds}s (log: $build/$target.log)"
    "$build/fuzz_$target" "${args[@]}" "$build/corpus/$target" "$build/seeds/$target" \
        >"$build/$target.log" 2>&1 &
    pids+=($!)
done

failed=()
for i in "${!targets[@]}"; do
    target=${targets[$i]}
    if wait "${pids[$i]}"; then rc=0; else rc=$?; fi
    # Coverage: edges (inline 8-bit counters) of quelt's own sources reached,
    # out of all the instrumented ones.
    total=$(grep -oE 'Loaded 1 modules +\(([0-9]+) inline' "$build/$target.log" | grep -oE '[0-9]+' | tail -n 1 || true)
    cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$build/$target.log" | tail -n 1 || true)
    execs=$(grep -E '^stat::number_of_executed_units' "$build/$target.log" | tail -n 1 | awk '{print $2}' || true)
    echo "fuzz $target: exit $rc, ${execs:-?} executions in ${seconds}s, ${cov:-no coverage line} (of ${total:-?} edges)"
    if [ "$rc" -ne 0 ]; then
        failed+=("$target")
        tail -n 60 "$build/$target.log" >&2
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    log "FAILED: ${failed[*]}; inputs in $build/crashes/"
    exit 1
fi
