"""Peak resident memory of one loads and one dumps of a ~100 MB document,
each library in a fresh subprocess; writes bench/results/memory-<build>.json.

    python bench/memory.py

The document is generated (docs.memory_document, fixed seed; 100 MB of JSON
text, $BENCH_MEMORY_MB to change it, 5 MB with BENCH_QUICK=1).  The parent
writes its JSON text to a temporary file once; then for each library and
operation a child process:

* loads: reads the file into one bytes object; dumps: builds the objects
  directly (no JSON text is ever held beside them);
* resets the kernel's high-water mark (writing 5 to /proc/self/clear_refs),
  and takes VmRSS as the baseline;
* makes the one call, keeping its result alive;
* reports peak = VmHWM - baseline and retained = VmRSS - baseline.

So "peak" is everything the call needed at its busiest: for loads, the
resulting objects plus any transient buffers; for dumps, the output plus
its intermediate buffers.  Where clear_refs cannot be written the child falls
back to ru_maxrss, whose baseline then includes the set-up's own peak (the
method is recorded).  A child gets $BENCH_MEMORY_TIMEOUT seconds (300).
"""

from __future__ import annotations

import json
import os
import resource
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import docs as docs_mod  # noqa: E402
import libs as libs_mod  # noqa: E402
from common import QUICK, CpuWatch, build_name, env_float, machine, main_or_child, run_json_child, write_results  # noqa: E402

TARGET_MB = 5 if QUICK else env_float("BENCH_MEMORY_MB", 100)
TIMEOUT = env_float("BENCH_MEMORY_TIMEOUT", 300)


# ---- in the child ----------------------------------------------------------

def proc_status() -> dict[str, int]:
    """VmRSS and VmHWM in bytes."""
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(("VmRSS:", "VmHWM:")):
                key, value = line.split(":", 1)
                out[key] = int(value.split()[0]) * 1024
    return out


def reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def child(lib_name: str, op: str, path: str) -> dict:
    lib = libs_mod.load(lib_name)
    if not lib.available:
        return {"status": "error", "error": "not importable: " + lib.error}
    fn = lib.ops["loads_bytes" if op == "loads" else "dumps"]
    if op == "loads":
        arg = Path(path).read_bytes()
        input_bytes = len(arg)
    else:
        arg = docs_mod.memory_document(int(TARGET_MB * 1e6))
        input_bytes = os.path.getsize(path)

    if reset_peak():
        method = "VmHWM after clear_refs"
        baseline = proc_status()["VmRSS"]
    else:
        method = "ru_maxrss"
        baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    t0 = time.perf_counter()
    try:
        result = fn(arg)
    except Exception as exc:
        return {"status": "error", "error": f"{type(exc).__name__}: {exc}"[:160]}
    seconds = time.perf_counter() - t0
    status = proc_status()
    peak = status["VmHWM"] if method != "ru_maxrss" else \
        resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    out = {
        "status": "ok",
        "method": method,
        "input_bytes": input_bytes,
        "peak_bytes": peak - baseline,
        "retained_bytes": status["VmRSS"] - baseline,
        "seconds": seconds,
    }
    if op == "dumps":
        out["output_bytes"] = len(result)
        out["output_type"] = type(result).__name__
    return out


# ---- in the parent ---------------------------------------------------------

def run_child(lib: str, op: str, path: str) -> dict:
    return run_json_child(__file__, [lib, op, path], TIMEOUT)


def main() -> int:
    build = build_name()
    libraries = libs_mod.load_all()
    rows = []
    watch = CpuWatch()
    with tempfile.TemporaryDirectory(prefix="quelt-bench-") as tmp:
        path = os.path.join(tmp, "memory.json")
        text = json.dumps(docs_mod.memory_document(int(TARGET_MB * 1e6))).encode()
        with open(path, "wb") as f:
            f.write(text)
        size = len(text)
        del text
        for lib in libraries:
            if not lib.available:
                continue
            for op in ("loads", "dumps"):
                row = run_child(lib.name, op, path)
                row.update(lib=lib.name, op=op)
                rows.append(row)
                if row["status"] == "ok":
                    print(f"  [{build}] memory {lib.name:<10} {op:<5} input {size / 1e6:6.1f} MB  "
                          f"peak {row['peak_bytes'] / 1e6:8.1f} MB  ({row['seconds']:.2f} s)",
                          flush=True)
                else:
                    print(f"  [{build}] memory {lib.name:<10} {op:<5} {row['error']}", flush=True)

    result = {
        "build": build,
        "quick": QUICK,
        "machine": machine(),
        "document_bytes": size,
        "other_cores": watch.other_cores(),
        "versions": {lib.name: lib.version for lib in libraries if lib.available},
        "rows": rows,
    }
    write_results(f"memory-{build}", result)
    return 0


if __name__ == "__main__":
    main_or_child(main, child)
