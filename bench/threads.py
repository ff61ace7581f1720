"""Throughput of 1 and 2 threads calling the same library at once, and the
scaling factor between them; writes bench/results/threads-<build>.json.

    python bench/threads.py

For quelt and the standard library's json, and for loads (of bytes) and
dumps (default options), on one document ($BENCH_THREAD_DOC, twitter by
default), with the input given two ways:

* own copy: each of N threads gets its own bytes object, or its own freshly
  parsed objects, so that the threads share no data;
* shared: all threads get the one same bytes object, or the one same parsed
  object graph, as a server does that serves one cached object from many
  threads (on the free-threaded build the threads then meet on the same
  objects' reference counts and locks).

All threads start together at a barrier, and each calls the function in a
loop until a common deadline ($BENCH_THREAD_TIME seconds after the start,
0.5 by default).  Throughput is all the calls completed divided by the time
from the start until the last call returned.  After a warm-up, 5 rounds each
measure 1 then 2 threads; the throughputs reported are the medians over the
rounds.

scaling = 2-thread throughput / 1-thread throughput (the median of the
rounds' ratios): 2.0 is perfect on two cores, 1.0 means the threads only
took turns.  On the free-threaded build this is the point of quelt; on the
GIL build it shows the contrast.  A pure-Python loop is measured the same
way first, as the reference for what the machine allowed at that moment.
Whether the GIL was actually off while measuring (an extension without the
free-threading declaration turns it back on at import) is recorded too.
"""

from __future__ import annotations

import json
import os
import statistics
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import docs as docs_mod  # noqa: E402
import libs as libs_mod  # noqa: E402
from common import QUICK, CpuWatch, build_name, env_float, machine, write_results  # noqa: E402

LIBRARIES = ["quelt", "json"]
THREAD_COUNTS = [1, 2]
WINDOW = 0.1 if QUICK else env_float("BENCH_THREAD_TIME", 0.5)
ROUNDS = 1 if QUICK else 5


def throughput(fn, inputs: list) -> float:
    """Calls per second of len(inputs) threads, thread i working on inputs[i]:
    all calls completed, over the wall time from the common start until the
    last thread's last call returned."""
    n = len(inputs)
    start = [0.0]
    barrier = threading.Barrier(n, action=lambda: start.__setitem__(0, time.perf_counter()))
    counts = [0] * n
    finished = [0.0] * n
    errors: list[BaseException] = []

    def work(i: int) -> None:
        arg = inputs[i]
        barrier.wait()
        deadline = start[0] + WINDOW
        count = 0
        try:
            while time.perf_counter() < deadline:
                fn(arg)
                count += 1
        except BaseException as exc:
            errors.append(exc)
        counts[i] = count
        finished[i] = time.perf_counter()

    threads = [threading.Thread(target=work, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return sum(counts) / (max(finished) - start[0])


INPUTS = ["own copy", "shared"]


def thread_inputs(data: bytes, op: str, n: int, given: str) -> list:
    """The n threads' inputs: each its own copy, or one object for all."""
    if given == "shared":
        return [data if op == "loads" else json.loads(data)] * n
    if op == "loads":
        # bytes(bytearray(...)) makes a distinct object, not a shared one.
        return [bytes(bytearray(data)) for _ in range(n)]
    return [json.loads(data) for _ in range(n)]


def spin(_) -> None:
    x = 0
    for i in range(100_000):
        x += i


def measure(fn, make_inputs) -> dict:
    """One row: after a check call and a warm-up, ROUNDS rounds each measure
    1 then 2 threads (alternating, so that a change in the machine's other
    load touches both alike); the scaling is the median of the rounds' own
    ratios."""
    try:
        fn(make_inputs(1)[0])
    except Exception as exc:
        return {"status": "error", "error": f"{type(exc).__name__}: {exc}"[:160]}
    watch = CpuWatch()
    try:
        inputs = {n: make_inputs(n) for n in THREAD_COUNTS}
        for n in THREAD_COUNTS:
            throughput(fn, inputs[n])  # warm-up
        samples: dict[int, list[float]] = {n: [] for n in THREAD_COUNTS}
        for _ in range(ROUNDS):
            for n in THREAD_COUNTS:
                samples[n].append(throughput(fn, inputs[n]))
    except Exception as exc:
        return {"status": "error", "error": f"{type(exc).__name__}: {exc}"[:160]}
    ratios = [two / one for one, two in zip(samples[1], samples[2])]
    return {"status": "ok",
            "per_second": {str(n): statistics.median(v) for n, v in samples.items()},
            "scaling": statistics.median(ratios),
            "other_cores": watch.other_cores()}


def main() -> int:
    build = build_name()
    doc_name = os.environ.get("BENCH_THREAD_DOC", "twitter")
    doc = next((d for d in docs_mod.load_documents(quick=QUICK) if d.name == doc_name), None)
    if doc is None:
        raise SystemExit(f"threads.py: no document named {doc_name!r}")
    libraries = {name: libs_mod.load(name) for name in LIBRARIES}
    gil_enabled = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True

    # The reference case: a pure-Python loop that allocates nothing and
    # shares nothing.  It shows what the machine and the interpreter allow at
    # that moment (near 2.0 on the free-threaded build of an idle 2-core
    # machine, 1.0 with the GIL), to read the libraries' scaling against.
    cases = [("python loop", "cpu", "", None, spin, lambda n: [None] * n)]
    for name, lib in libraries.items():
        for op, key in (("loads", "loads_bytes"), ("dumps", "dumps")):
            fn = lib.ops[key] if lib.available else None
            for given in INPUTS:
                cases.append((name, op, given, lib, fn,
                              lambda n, op=op, given=given: thread_inputs(doc.data, op, n, given)))

    rows = []
    for name, op, given, lib, fn, make_inputs in cases:
        row = {"lib": name, "op": op, "input": given}
        rows.append(row)
        if lib is not None and not lib.available:
            row.update(status="error", error="not importable: " + lib.error)
        else:
            row.update(measure(fn, make_inputs))
        if row["status"] == "ok":
            one, two = row["per_second"]["1"], row["per_second"]["2"]
            print(f"  [{build}] threads {doc.name} {name:<11} {op:<5} {given:<8} "
                  f"1 thread {one:8.1f}/s  2 threads {two:8.1f}/s  "
                  f"scaling {row['scaling']:.2f}  (other load {row['other_cores'] or 0:.2f})",
                  flush=True)
        else:
            print(f"  [{build}] threads {doc.name} {name:<11} {op:<5} {given:<8} {row['error']}",
                  flush=True)

    result = {
        "build": build,
        "quick": QUICK,
        "machine": machine(),
        "document": {"name": doc.name, "bytes": len(doc.data)},
        "window_s": WINDOW,
        "rounds": ROUNDS,
        "gil_enabled": gil_enabled,
        "gil_enabled_after": sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True,
        "versions": {n: lib.version for n, lib in libraries.items()},
        "rows": rows,
    }
    write_results(f"threads-{build}", result)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except FileNotFoundError as exc:  # the real documents are missing
        print(f"threads.py: {exc}", file=sys.stderr)
        sys.exit(2)
