"""Times every library on every document and operation, in this one process,
on whichever CPython build runs it, and writes bench/results/<build>.json.

    python bench/run.py

The operations are libs.OPERATIONS for every library that has them, then
libs.OPTION_OPERATIONS (quelt's dumps options one at a time) for quelt and
for json where it has the option.  Each row (document x operation, every
library) is measured the same way:

1. For each library, one call whose result is checked against the standard
   library's reading of the document (for loads: equal objects; for dumps:
   the output parses back to equal objects; for "same-output dumps()", also
   the very text quelt wrote, so that the row compares like with like).  A
   call that raises makes the cell an error, with the exception recorded;
   the run goes on.
2. For each library, warm-up calls, the first one included, for a fifth of
   the cell's time budget; they size its batch, a number of calls that
   lasts about 1/25 of the budget.
3. Rounds of one batch of each library, in an order that rotates from
   round to round, until a budget per library ($BENCH_CELL_TIME seconds,
   0.8 by default) is spent and at least 5 rounds are done (fewer, down to
   one, when that would take over 4 budgets; a first call longer than 4
   budgets is itself the library's only sample).  A batch's time divided by
   its calls, timed with perf_counter_ns, is one sample.  Timing the
   libraries in turn makes the machine's drift (a heap that has grown, the
   collector, other load) fall on all of them alike, so that the ratios
   between them hold even where single times move between runs.
4. The cell's result is the median of its samples (with the quartiles).

The option cells (libs.OPTION_OPERATIONS) are timed in the same way, each
library's options together with its own dumps(); each option's cost is the
median over the rounds of its batch time divided by dumps()'s batch time in
the same round (`vs_default`).

The garbage collector stays on, as in real use, and is run between cells.
BENCH_QUICK=1 shrinks the generated documents tenfold and the budget to a
couple of calls per cell: a smoke run, not a measurement.
"""

from __future__ import annotations

import gc
import json
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import docs as docs_mod  # noqa: E402
import libs as libs_mod  # noqa: E402
from common import QUICK, CpuWatch, build_name, env_float, machine, write_results  # noqa: E402

BUDGET = 0.01 if QUICK else env_float("BENCH_CELL_TIME", 0.8)
WARMUP = 0.0 if QUICK else BUDGET / 5
MIN_REPS = 1 if QUICK else 5
TARGET_REPS = 25


def short_error(exc: BaseException) -> str:
    msg = str(exc).strip().splitlines()[0] if str(exc).strip() else ""
    text = f"{type(exc).__name__}: {msg}" if msg else type(exc).__name__
    return text[:160]


def first_difference(a, b, path: str = "") -> str:
    """Where and how `a` (a library's result) first differs from `b`
    (json's), e.g. 'at ["values"][1]: float instead of int'."""
    if type(a) is not type(b):
        return f"at {path or 'top'}: {type(a).__name__} instead of {type(b).__name__}"
    if isinstance(a, dict):
        if list(a) != list(b):
            return f"at {path or 'top'}: other keys or key order"
        for k in a:
            if a[k] != b[k]:
                return first_difference(a[k], b[k], f"{path}[{k!r}]")
    elif isinstance(a, list):
        if len(a) != len(b):
            return f"at {path or 'top'}: {len(a)} items instead of {len(b)}"
        for i, (x, y) in enumerate(zip(a, b)):
            if x != y:
                return first_difference(x, y, f"{path}[{i}]")
    return f"at {path or 'top'}: {a!r:.40} instead of {b!r:.40}"


def text_difference(a: str, b: str) -> str:
    """Where the text `a` first differs from `b`, with a little context in
    code spans (the text is JSON, which the report's markdown must not read
    as markup), e.g. 'at character 643: `\\u001F&amp;` instead of
    `\\u001f&amp;`'."""
    i = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
    start = max(0, i - 5)
    return f"at character {i}: `{a[start:i + 15]}` instead of `{b[start:i + 15]}`"


def check(op: str, out, reference, text: str | None = None) -> str:
    """'ok', or what is wrong with the output of one call.  `text` is the
    output the call must equal exactly, where there is one."""
    try:
        value = out if op.startswith("loads") else json.loads(out)
    except Exception as exc:
        return "output does not parse: " + short_error(exc)
    if value != reference:
        return "result differs from json's " + first_difference(value, reference)
    if text is not None and out != text:
        return "text differs from quelt's " + text_difference(out, text)
    return "ok"


def first_call(op: str, fn, arg, reference, text: str | None = None) -> tuple[dict, float]:
    """One checked call: the cell so far, and the call's time."""
    gc.collect()
    try:
        t0 = time.perf_counter()
        out = fn(arg)
        first = time.perf_counter() - t0
    except Exception as exc:
        return {"status": "error", "error": short_error(exc)}, 0.0
    cell = {"status": "ok", "check": check(op, out, reference, text)}
    if not op.startswith("loads"):
        cell["output_type"] = type(out).__name__
        cell["output_len"] = len(out)
    return cell, first


def summary(samples: list[float], batch: int) -> dict:
    ordered = sorted(samples)
    q = statistics.quantiles(ordered, n=4) if len(ordered) >= 2 else [ordered[0]] * 3
    return {"median_s": statistics.median(ordered), "q1_s": q[0], "q3_s": q[2],
            "min_s": ordered[0], "reps": len(ordered), "calls_per_rep": batch}


def measure_together(fns: list, arg, firsts: list[float]) -> list[dict]:
    """Times each fn(arg), whose checked first call took firsts[i] seconds,
    in rounds of one batch of each, the order rotating from round to round;
    returns per fn its summary and its samples (`samples`, in round order),
    or its error."""
    results: list[dict] = [{} for _ in fns]
    active, batches = [], {}
    for i, (fn, first) in enumerate(zip(fns, firsts)):
        if first >= 4 * BUDGET:
            # Too slow to repeat within bounds: the one call is the sample.
            results[i] = {**summary([first], 1), "samples": [first]}
            continue
        try:
            calls, spent = 1, first
            while spent < WARMUP:
                t0 = time.perf_counter()
                fn(arg)
                spent += time.perf_counter() - t0
                calls += 1
        except Exception as exc:
            results[i] = {"status": "error", "error": short_error(exc)}
            continue
        batches[i] = max(1, int(BUDGET / TARGET_REPS / max(spent / calls, 1e-9)))
        active.append(i)

    # At least MIN_REPS rounds, unless single calls are so slow that they
    # would take over 4 budgets; then as many as fit (at least one).
    samples: dict[int, list[float]] = {i: [] for i in active}
    start = time.perf_counter()
    rounds = 0
    while active:
        for k in range(len(active)):
            i = active[(rounds + k) % len(active)]
            try:
                t0 = time.perf_counter_ns()
                for _ in range(batches[i]):
                    fns[i](arg)
                samples[i].append((time.perf_counter_ns() - t0) / batches[i] / 1e9)
            except Exception as exc:  # raised on a later call only
                results[i] = {"status": "error", "error": short_error(exc)}
        active = [i for i in active if not results[i]]
        rounds += 1
        elapsed = time.perf_counter() - start
        budget = BUDGET * max(1, len(active))
        if elapsed >= budget and (rounds >= MIN_REPS or elapsed >= 4 * budget):
            break
    for i in active:
        results[i] = {**summary(samples[i], batches[i]), "samples": samples[i]}
    return results


def run_row(libs: list, op: str, arg, reference, text_for) -> list[dict]:
    """The cells of one document and operation, a cell per library in
    `libs`, all timed together.  text_for(lib): the text its output must
    equal, or None."""
    cells, firsts, timed = [], [], []
    for lib in libs:
        fn = lib.ops.get(op)
        if fn is None:
            cells.append({"status": "n/a"})
            continue
        cell, first = first_call(op, fn, arg, reference, text_for(lib))
        cells.append(cell)
        if cell["status"] == "ok":
            timed.append((cell, fn))
            firsts.append(first)
    results = measure_together([fn for _, fn in timed], arg, firsts)
    for (cell, _), result in zip(timed, results):
        if result.get("status") == "error":
            cell.clear()
        result.pop("samples", None)
        cell.update(result)
    return cells


def run_option_cells(lib: libs_mod.Library, doc_name: str, arg, reference) -> list[dict]:
    """The cells of every option `lib` has, timed together with its dumps()."""
    ops = [op for op in libs_mod.OPTION_OPERATIONS if lib.ops.get(op) is not None]
    cells, timed, firsts = {}, [], []
    base = lib.ops.get("dumps")
    for op in ops:
        cells[op], first = first_call(op, lib.ops[op], arg, reference)
        if cells[op]["status"] == "ok":
            timed.append(op)
            firsts.append(first)
    if timed and base is not None:
        _, base_first = first_call("dumps", base, arg, reference)
        results = measure_together([base] + [lib.ops[op] for op in timed], arg, [base_first] + firsts)
        for op, result in zip(timed, results[1:]):
            if result.get("status") == "error":
                cells[op] = result
                continue
            own = result.pop("samples")
            cells[op].update(result)
            if "samples" in results[0]:
                ratios = [a / b for a, b in zip(own, results[0]["samples"])]
                q = statistics.quantiles(ratios, n=4) if len(ratios) >= 2 else [ratios[0]] * 3
                cells[op].update(vs_default=statistics.median(ratios), vs_default_q1=q[0],
                                 vs_default_q3=q[2])
    for op in ops:
        cells[op].update(doc=doc_name, op=op, lib=lib.name)
    return [cells[op] for op in ops]


def fmt(cell: dict) -> str:
    if cell["status"] != "ok":
        return cell["status"]
    t = cell["median_s"]
    text = f"{t * 1e3:.3f}ms" if t >= 1e-4 else f"{t * 1e6:.1f}us"
    return text if cell["check"] == "ok" else text + "(!)"


def main() -> int:
    # Deep nesting recurses in the pure-Python paths (json with indent,
    # simplejson without its C speedups); give every library the same room.
    sys.setrecursionlimit(10000)
    build = build_name()
    libraries = libs_mod.load_all()
    documents = docs_mod.load_documents(quick=QUICK)
    available = [lib for lib in libraries if lib.available]
    quelt = next((lib for lib in available if lib.name == "quelt"), None)
    operations = libs_mod.OPERATIONS
    width = max(map(len, {**operations, **libs_mod.OPTION_OPERATIONS}))
    print(f"[{build}] {sys.version.split()[0]}: "
          + ", ".join(f"{lib.name} {lib.version}" if lib.available else f"{lib.name} (missing)"
                      for lib in libraries), flush=True)

    cells = []
    watch = CpuWatch()
    started = time.perf_counter()
    for doc in documents:
        reference = json.loads(doc.data)
        inputs = {"bytes": doc.data, "str": doc.data.decode("utf-8"), "obj": reference}
        same_text = None  # quelt's "same output", which the others must equal
        if quelt is not None:
            try:
                same_text = quelt.ops["dumps_same"](reference)
            except Exception:  # quelt's own cell records the error
                pass
        for op in operations:
            arg = inputs["bytes" if op == "loads_bytes" else "str" if op == "loads_str" else "obj"]
            row = []
            # Libraries without the operation at all (an option only quelt
            # has) are left out; those with None are recorded as n/a.
            row_libs = [lib for lib in available if op in lib.ops]

            def text_for(lib, op=op):
                return same_text if op == "dumps_same" and lib is not quelt else None

            for lib, cell in zip(row_libs, run_row(row_libs, op, arg, reference, text_for)):
                cell.update(doc=doc.name, op=op, lib=lib.name)
                cells.append(cell)
                row.append(f"{lib.name} {fmt(cell)}")
            print(f"  [{build}] {doc.name:<14} {op:<{width}} " + "  ".join(row), flush=True)
        by_op: dict[str, list[str]] = {}
        for lib in available:
            for cell in run_option_cells(lib, doc.name, inputs["obj"], reference):
                cells.append(cell)
                text = fmt(cell) + (f" {cell['vs_default']:.2f}x" if "vs_default" in cell else "")
                by_op.setdefault(cell["op"], []).append(f"{lib.name} {text}")
        for op, row in by_op.items():
            print(f"  [{build}] {doc.name:<14} {op:<{width}} " + "  ".join(row), flush=True)
        del inputs, reference, same_text
    elapsed = time.perf_counter() - started

    result = {
        "build": build,
        "quick": QUICK,
        "cell_budget_s": BUDGET,
        "machine": machine(),
        "elapsed_s": elapsed,
        "other_cores": watch.other_cores(),
        "libraries": {
            lib.name: {"available": lib.available, "version": lib.version,
                       "error": lib.error, "note": lib.note}
            for lib in libraries
        },
        "documents": [
            {"name": d.name, "description": d.description, "bytes": len(d.data)}
            for d in documents
        ],
        "operations": libs_mod.OPERATIONS,
        "options": libs_mod.OPTION_OPERATIONS,
        "cells": cells,
    }
    out = write_results(build, result)
    print(f"[{build}] timings done in {elapsed:.0f} s -> {out}", flush=True)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except FileNotFoundError as exc:  # the real documents are missing
        print(f"run.py: {exc}", file=sys.stderr)
        sys.exit(2)
