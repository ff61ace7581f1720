"""Repeated dumps of one large document in a fresh process, as a program
that serves the same kind of payload again and again would make them;
writes bench/results/fresh-<build>.json.

    python bench/fresh.py

For each size ($BENCH_FRESH_MB, "1,8,24" MB of JSON text by default; 1 MB
with BENCH_QUICK=1) and each library, a child process builds the document
(docs.memory_document, fixed seed) as objects, makes 3 dumps calls to warm
up, then times calls for about a second (at least 10) and reports the mean
time per call and the page faults per call (minor faults, from getrusage).

What this shows that the main timings cannot: how a library's output
buffers meet the C library's allocator in a process that has not yet freed
a block of that size.  The main timings run in one long process that has
read and parsed every document first, which has already taught the
allocator those sizes.  A page fault costs microseconds on a virtual
machine, so an output written into fresh pages at every call can take
several times as long as the writing itself.
"""

from __future__ import annotations

import os
import resource
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import docs as docs_mod  # noqa: E402
import libs as libs_mod  # noqa: E402
from common import QUICK, CpuWatch, build_name, env_float, machine, main_or_child, run_json_child, write_results  # noqa: E402

SIZES_MB = [1.0] if QUICK else [float(s) for s in os.environ.get("BENCH_FRESH_MB", "1,8,24").split(",")]
TIMEOUT = env_float("BENCH_MEMORY_TIMEOUT", 300)


def child(lib_name: str, size_mb: str) -> dict:
    lib = libs_mod.load(lib_name)
    if not lib.available:
        return {"status": "error", "error": "not importable: " + lib.error}
    dumps = lib.ops["dumps"]
    doc = docs_mod.memory_document(int(float(size_mb) * 1e6))
    try:
        for _ in range(3):
            out = dumps(doc)
        output_bytes = len(out)
        del out
        calls, faults0 = 0, resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        started = time.perf_counter()
        while calls < 10 or time.perf_counter() - started < 1.0:
            dumps(doc)
            calls += 1
        seconds = (time.perf_counter() - started) / calls
    except Exception as exc:
        return {"status": "error", "error": f"{type(exc).__name__}: {exc}"[:160]}
    faults = (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults0) / calls
    return {"status": "ok", "output_bytes": output_bytes, "calls": calls,
            "seconds_per_call": seconds, "faults_per_call": faults}


def run_child(lib: str, size_mb: float) -> dict:
    return run_json_child(__file__, [lib, str(size_mb)], TIMEOUT)


def main() -> int:
    build = build_name()
    libraries = [lib for lib in libs_mod.load_all() if lib.available]
    rows = []
    watch = CpuWatch()
    for size in SIZES_MB:
        for lib in libraries:
            row = run_child(lib.name, size)
            row.update(lib=lib.name, size_mb=size)
            rows.append(row)
            if row["status"] == "ok":
                print(f"  [{build}] fresh {lib.name:<10} {size:5.1f} MB  "
                      f"{row['seconds_per_call'] * 1e3:8.2f} ms/call  "
                      f"{row['faults_per_call']:7.0f} faults/call", flush=True)
            else:
                print(f"  [{build}] fresh {lib.name:<10} {size:5.1f} MB  {row['error']}", flush=True)
    result = {
        "build": build,
        "quick": QUICK,
        "machine": machine(),
        "other_cores": watch.other_cores(),
        "rows": rows,
    }
    write_results(f"fresh-{build}", result)
    return 0


if __name__ == "__main__":
    main_or_child(main, child)
