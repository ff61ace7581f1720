#!/usr/bin/env bash
# Finds or builds the CPython that quelt is developed against, and prints the
# path of its interpreter on the last line of stdout.
#
#   scripts/provision-python.sh            free-threaded build (python3.13t)
#   scripts/provision-python.sh --gil      default build of the same version
#   scripts/provision-python.sh --tsan     free-threaded build with ThreadSanitizer
#
# Order of preference for the free-threaded build: $QUELT_PYTHON, then a
# python3.14t or python3.13t on PATH, then a build from Debian's python3.13
# source package (trixie) into a cache directory outside the checkout, reused
# on later runs.  The default build always comes from the cache (built when
# missing), so that both builds are the same CPython version.  So does the
# ThreadSanitizer build (for scripts/test-tsan.sh): an interpreter found
# elsewhere would not be instrumented.
set -euo pipefail

case "${1:-}" in
    "")     variant=nogil ;;
    --gil)  variant=gil ;;
    --tsan) variant=tsan ;;
    *) echo "usage: $0 [--gil|--tsan]" >&2; exit 2 ;;
esac

cache="${QUELT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quelt}"
prefix="$cache/cpython-3.13-$variant"
log() { echo "provision-python: $*" >&2; }

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# Installs the named Debian packages that are not installed yet.
apt_updated=""
ensure_packages() {
    local missing="" p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    [ -n "$missing" ] || return 0
    if [ -z "$apt_updated" ]; then as_root apt-get update -q >&2; apt_updated=1; fi
    log "installing$missing"
    # shellcheck disable=SC2086
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing >&2
}

# What compiling quelt itself needs, whichever interpreter is used.
ensure_packages g++ make libdragonbox-dev libfast-float-dev libdouble-conversion-dev

if [ "$variant" = nogil ]; then
    if [ -n "${QUELT_PYTHON:-}" ]; then
        echo "$QUELT_PYTHON"; exit 0
    fi
    for candidate in python3.14t python3.13t; do
        if command -v "$candidate" >/dev/null 2>&1; then
            command -v "$candidate"; exit 0
        fi
    done
fi
interpreter="$prefix/bin/python3.13t"
[ "$variant" = gil ] && interpreter="$prefix/bin/python3.13"

if [ -x "$interpreter" ]; then
    echo "$interpreter"; exit 0
fi

# ---- a deb-src entry for trixie, from the machine's own Debian source ------
# The URIs and the keyring come from the existing Debian entry, so no host
# name is written here.
src_list=/etc/apt/sources.list.d/quelt-trixie-src.sources
if [ ! -f "$src_list" ]; then
    uris="" keyring=""
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        # First stanza that is a plain Debian archive (not the security one).
        read -r uris keyring < <(awk '
            BEGIN { RS=""; FS="\n" }
            {
                u=""; k=""; s=""
                for (i = 1; i <= NF; i++) {
                    if ($i ~ /^URIs:/)      { u=$i; sub(/^URIs:[ \t]*/, "", u) }
                    if ($i ~ /^Signed-By:/) { k=$i; sub(/^Signed-By:[ \t]*/, "", k) }
                    if ($i ~ /^Suites:/)    { s=$i }
                }
                if (u ~ /debian/ && u !~ /security/ && s !~ /security/) { print u, k; exit }
            }' "$f") || true
        [ -n "$uris" ] && break
    done
    if [ -z "$uris" ] && [ -f /etc/apt/sources.list ]; then
        # One-line format: deb [signed-by=...] URI suite components
        line=$(grep -E '^deb[[:space:]]' /etc/apt/sources.list | grep -v security | grep debian | head -1 || true)
        uris=$(echo "$line" | grep -oE '(https?|file)://[^ ]+' | head -1 || true)
        keyring=$(echo "$line" | grep -oE 'signed-by=[^] ]+' | cut -d= -f2 || true)
    fi
    if [ -z "$uris" ]; then
        log "no Debian archive entry found in the apt sources; cannot fetch the CPython source"
        exit 1
    fi
    log "adding deb-src entry for trixie from $uris"
    {
        echo "Types: deb-src"
        echo "URIs: $uris"
        echo "Suites: trixie"
        echo "Components: main"
        [ -n "$keyring" ] && echo "Signed-By: $keyring"
    } | as_root tee "$src_list" >/dev/null
    as_root apt-get update -q >&2   # read the new source index
    apt_updated=1
fi
ensure_packages build-essential libssl-dev zlib1g-dev libffi-dev libbz2-dev \
    liblzma-dev libsqlite3-dev libreadline-dev dpkg-dev xz-utils

# ---- fetch, configure, build, install --------------------------------------
work="$cache/src"
mkdir -p "$work"
cd "$work"
orig=$(ls python3.13_*.orig.tar.xz 2>/dev/null | head -1 || true)
if [ -z "$orig" ]; then
    log "downloading the python3.13 source package"
    apt-get source --download-only python3.13 >&2
    orig=$(ls python3.13_*.orig.tar.xz | head -1)
fi
build="$work/build-$variant"
rm -rf "$build"
mkdir -p "$build"
tar -xJf "$orig" -C "$build" --strip-components=1

configure_flags="--prefix=$prefix --with-ensurepip=install"
case "$variant" in
    nogil) configure_flags="$configure_flags --disable-gil" ;;
    # Built with the system gcc, whose shared TSan runtime (libtsan) the
    # interpreter then links; quelt's TSan build uses the same compiler, so
    # both resolve to one runtime.  CPython's mimalloc has TSan support of its
    # own (MI_TSAN), so the free-threaded allocator stays.  The interpreter's
    # own test modules are left out: they only lengthen a slow build.
    tsan) configure_flags="$configure_flags --disable-gil --with-thread-sanitizer --disable-test-modules"
          # configure's test programs are built with ThreadSanitizer as well,
          # and one that leaves a thread running gets a report; with the
          # report's default exit status the feature it checks would be taken
          # as missing.  So the caller's options do not apply here, and the
          # result is configured like the free-threaded build.
          export TSAN_OPTIONS=exitcode=0 ;;
esac
log "building CPython 3.13 ($variant) into $prefix"
cd "$build"
# shellcheck disable=SC2086
./configure $configure_flags >"$build/configure.log" 2>&1 || { tail -50 "$build/configure.log" >&2; exit 1; }
make -j"$(nproc)" >"$build/make.log" 2>&1 || { tail -50 "$build/make.log" >&2; exit 1; }
make install >"$build/install.log" 2>&1 || { tail -50 "$build/install.log" >&2; exit 1; }
cd "$work"
rm -rf "$build"

[ -x "$interpreter" ] || { log "build finished but $interpreter is missing"; exit 1; }
echo "$interpreter"
