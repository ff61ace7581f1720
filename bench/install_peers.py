"""Installs the peers listed in bench/requirements.txt into the running
interpreter's environment, one by one, and records which went in.

    python bench/install_peers.py [--only-binary] [--extra PKG ...]

Each requirement is a separate ``pip install``: a peer without a wheel for
this interpreter fails alone and is recorded with pip's reason, and the run
goes on.  ``--only-binary`` refuses source builds (used on the free-threaded
build, for which most peers publish no wheel and a source build would be
long or fail late).  ``--extra`` installs further packages the harness
itself uses (matplotlib for the chart), recorded the same way.

The record goes to bench/results/install-<build>.json, which the report
reads.  The exit status is non-zero only when the record cannot be written:
a peer failing to install is a result, not a failure of the harness.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from common import RESULTS, build_name  # noqa: E402


def requirements() -> list[str]:
    lines = (HERE / "requirements.txt").read_text().splitlines()
    return [line.split("#")[0].strip() for line in lines if line.split("#")[0].strip()]


def pip_reason(output: str) -> str:
    """The most telling line of a failed pip run."""
    lines = [line.strip() for line in output.splitlines() if line.strip()]
    errors = [line for line in lines if line.startswith("ERROR:")]
    if errors:
        return errors[0].removeprefix("ERROR:").strip()
    return lines[-1] if lines else "pip failed with no output"


def install(requirement: str, only_binary: bool) -> dict:
    cmd = [sys.executable, "-m", "pip", "install", "--disable-pip-version-check", "-q"]
    if only_binary:
        cmd += ["--only-binary", ":all:"]
    cmd.append(requirement)
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=900)
    except subprocess.TimeoutExpired:
        return {"installed": False, "reason": "pip timed out after 900 s"}
    if proc.returncode != 0:
        return {"installed": False, "reason": pip_reason(proc.stderr + proc.stdout)}
    return {"installed": True, "reason": ""}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only-binary", action="store_true")
    parser.add_argument("--extra", nargs="*", default=[])
    args = parser.parse_args()

    record = {"build": build_name(), "only_binary": args.only_binary, "packages": {}}
    for requirement in requirements() + args.extra:
        result = install(requirement, args.only_binary)
        state = "installed" if result["installed"] else "FAILED: " + result["reason"]
        print(f"  [{record['build']}] {requirement}: {state}", flush=True)
        record["packages"][requirement] = result

    RESULTS.mkdir(parents=True, exist_ok=True)
    out = RESULTS / f"install-{record['build']}.json"
    out.write_text(json.dumps(record, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
