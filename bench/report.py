"""Merges the per-build results in bench/results/ into one report: prints the
tables, writes them as bench/results/README.md, and draws
bench/results/bench.png.

    python bench/report.py

Reads <build>.json (timings, from run.py), threads-<build>.json,
memory-<build>.json, fresh-<build>.json and install-<build>.json for the builds "free-threaded"
and "gil".  Every ratio compares two medians measured in the same process:
a library's time divided by quelt's, so a ratio above 1 means quelt is the
faster; in the table of quelt's options, quelt's time with an option divided
by its time with the defaults.  The chart needs matplotlib (installed in the
GIL venv); without it the tables are still written and the exit status is 1.
Missing timing results also make the exit status 1: the harness broke.
"""

from __future__ import annotations

import json
import math
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from common import RESULTS  # noqa: E402
from libs import DISTRIBUTIONS, LIBRARIES, OPERATIONS, OPTION_OPERATIONS, OPTIONS  # noqa: E402

BUILDS = {"free-threaded": "free-threaded build", "gil": "default (GIL) build"}


def load(name: str) -> dict | None:
    path = RESULTS / name
    return json.loads(path.read_text()) if path.is_file() else None


# ---- formatting ------------------------------------------------------------

def fmt_time(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            value = seconds / scale
            break
    else:
        unit, value = "ns", seconds * 1e9
    digits = 2 if value < 10 else 1 if value < 100 else 0
    return f"{value:.{digits}f} {unit}"


def fmt_bytes(n: float) -> str:
    return f"{n / 1e6:.1f} MB" if n >= 1e5 else f"{n / 1e3:.0f} kB"


def fmt_ratio(r: float) -> str:
    return f"{r:.2f}×" if r < 10 else f"{r:.1f}×" if r < 100 else f"{r:.0f}×"


def table(header: list[str], rows: list[list[str]], right: set[int] = frozenset()) -> str:
    """A markdown table, padded so that it also reads well as plain text."""
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]

    def line(cells):
        return "| " + " | ".join(
            str(c).rjust(w) if i in right else str(c).ljust(w)
            for i, (c, w) in enumerate(zip(cells, widths))) + " |"

    sep = "|" + "|".join(("-" * (w + 1) + ":") if i in right else "-" * (w + 2)
                         for i, w in enumerate(widths)) + "|"
    return "\n".join([line(header), sep] + [line(r) for r in rows])


def geomean(values: list[float]) -> float:
    return math.exp(sum(math.log(v) for v in values) / len(values))


class Notes:
    """Numbered footnotes for errors and mismatches: one per library and
    message, listing where it happened."""

    def __init__(self):
        self.keys: list[tuple[str, str]] = []
        self.where: dict[tuple[str, str], list[str]] = {}

    def ref(self, lib: str, message: str, where: str) -> str:
        key = (lib, message)
        if key not in self.where:
            self.keys.append(key)
            self.where[key] = []
        if where not in self.where[key]:
            self.where[key].append(where)
        return f"[{self.keys.index(key) + 1}]"

    def render(self) -> str:
        return "\n".join(f"{i}. {lib}: {message} ({', '.join(self.where[(lib, message)])})"
                         for i, (lib, message) in enumerate(self.keys, 1))


# ---- sections --------------------------------------------------------------

def install_reason(build: str, lib: str, installs: dict) -> str:
    record = (installs.get(build) or {}).get("packages", {})
    dist = DISTRIBUTIONS.get(lib, lib)
    for requirement, result in record.items():
        if requirement.split(">")[0].split("=")[0].split("<")[0].strip() == dist:
            if result["installed"]:
                return ""
            reason = result["reason"]
            if installs[build].get("only_binary") and "from versions: none" in reason:
                return "no binary wheel for this interpreter on PyPI (source builds not tried)"
            return reason
    return ""


def section_libraries(runs: dict, installs: dict) -> str:
    rows = []
    for lib in LIBRARIES:
        row = [lib]
        for build in BUILDS:
            info = runs[build]["libraries"].get(lib, {})
            if info.get("available"):
                text = info["version"] + (f"; {info['note']}" if info.get("note") else "")
            else:
                reason = install_reason(build, lib, installs) or info.get("error", "missing")
                text = "not installed: " + reason
            row.append(text)
        rows.append(row)
    return table(["library"] + [BUILDS[b] for b in BUILDS], rows)


def section_documents(runs: dict) -> str:
    docs = {d["name"]: d for d in runs["free-threaded"]["documents"]}
    return table(["document", "size", "what it stresses"],
                 [[n, fmt_bytes(d["bytes"]), d["description"]] for n, d in docs.items()],
                 right={1})


def cell_index(run: dict) -> dict:
    return {(c["doc"], c["op"], c["lib"]): c for c in run["cells"]}


def libs_in(run: dict) -> list[str]:
    return [lib for lib in LIBRARIES if run["libraries"].get(lib, {}).get("available")]


def section_times(build: str, run: dict, notes: Notes) -> str:
    cells = cell_index(run)
    libs = libs_in(run)
    docs = [d["name"] for d in run["documents"]]
    parts = []
    for op, label in OPERATIONS.items():
        rows = []
        for doc in docs:
            q = cells.get((doc, op, "quelt"), {})
            q_ok = q.get("status") == "ok"
            row = [doc]
            for lib in libs:
                c = cells.get((doc, op, lib), {"status": "missing"})
                if c["status"] == "ok":
                    text = fmt_time(c["median_s"])
                    if lib != "quelt" and q_ok:
                        text += f" ({fmt_ratio(c['median_s'] / q['median_s'])})"
                    if c.get("reps", 5) < 3:
                        text = "~" + text
                    if c.get("check") != "ok":
                        text += " " + notes.ref(lib, c["check"], f"{label} on {doc}")
                elif c["status"] == "error":
                    text = "error " + notes.ref(lib, c["error"], label)
                else:
                    text = c["status"]
                row.append(text)
            rows.append(row)
        parts.append(f"#### {label}\n\n" + table(["document"] + libs, rows,
                                                 right=set(range(1, len(libs) + 1))))
    return "\n\n".join(parts)


def section_summary(runs: dict) -> str:
    """Geometric mean over documents of (library time / quelt time)."""
    rows = []
    peers = [lib for lib in LIBRARIES if lib != "quelt"]
    for build, run in runs.items():
        cells = cell_index(run)
        docs = [d["name"] for d in run["documents"]]
        available = libs_in(run)
        for op, label in OPERATIONS.items():
            row = [BUILDS[build], label]
            for lib in peers:
                if lib not in available:
                    row.append("not installed")
                    continue
                ratios = []
                for doc in docs:
                    q, c = cells.get((doc, op, "quelt"), {}), cells.get((doc, op, lib), {})
                    if q.get("status") == "ok" and c.get("status") == "ok":
                        ratios.append(c["median_s"] / q["median_s"])
                if ratios:
                    text = fmt_ratio(geomean(ratios))
                    if len(ratios) < len(docs):
                        text += f" ({len(ratios)}/{len(docs)} docs)"
                elif all(cells.get((d, op, lib), {}).get("status") == "n/a" for d in docs):
                    text = "n/a"
                else:
                    text = "—"
                row.append(text)
            rows.append(row)
    return table(["build", "operation"] + peers, rows, right=set(range(2, 2 + len(peers))))


def section_cross_build(runs: dict) -> str:
    """The same library on both builds: geometric mean of FT time / GIL time."""
    ft, gil = cell_index(runs["free-threaded"]), cell_index(runs["gil"])
    docs = [d["name"] for d in runs["free-threaded"]["documents"]]
    rows = []
    for lib in ("quelt", "json"):
        row = [lib]
        for op in OPERATIONS:
            ratios = [ft[k]["median_s"] / gil[k]["median_s"]
                      for k in ((d, op, lib) for d in docs)
                      if ft.get(k, {}).get("status") == "ok" and gil.get(k, {}).get("status") == "ok"]
            row.append(fmt_ratio(geomean(ratios)) if ratios else "—")
        rows.append(row)
    return table(["library"] + list(OPERATIONS.values()), rows,
                 right=set(range(1, 1 + len(OPERATIONS))))


def section_options(run: dict, notes: Notes) -> str:
    """Per document, quelt's time with each dumps option / its dumps() time
    (json's in parentheses where it has the option), and the geometric mean
    over the documents."""
    cells = cell_index(run)
    docs = [d["name"] for d in run["documents"]]
    ratios: dict[tuple[str, str], list[float]] = {}

    def ratio(doc: str, op: str, lib: str, label: str) -> str | None:
        c, base = cells.get((doc, op, lib)), cells.get((doc, "dumps", lib), {})
        if c is None:  # not timed: the library has no such option
            return None
        if c["status"] == "error":
            return "error " + notes.ref(lib, c["error"], f"{label} on {doc}")
        if c["status"] != "ok" or base.get("status") != "ok":
            return "—"
        # Timed in alternation with dumps(): the median of the paired ratios.
        r = c["vs_default"] if "vs_default" in c else c["median_s"] / base["median_s"]
        ratios.setdefault((op, lib), []).append(r)
        text = fmt_ratio(r)
        if c.get("check") != "ok":
            text += " " + notes.ref(lib, c["check"], f"{label} on {doc}")
        return text

    def joined(quelt: str | None, json_: str | None) -> str:
        return (quelt or "—") + (f" (json {json_})" if json_ else "")

    rows = []
    for doc in docs:
        base = cells.get((doc, "dumps", "quelt"), {})
        row = [doc, fmt_time(base["median_s"]) if base.get("status") == "ok" else "—"]
        for op, label in OPTION_OPERATIONS.items():
            row.append(joined(ratio(doc, op, "quelt", label), ratio(doc, op, "json", label)))
        rows.append(row)
    mean = ["geometric mean", ""]
    for op in OPTION_OPERATIONS:
        q, j = ratios.get((op, "quelt")), ratios.get((op, "json"))
        mean.append(joined(q and fmt_ratio(geomean(q)), j and fmt_ratio(geomean(j))))
    rows.append(mean)
    header = ["document", "dumps()"] + [f"{name}={value}" for name, value in OPTIONS.items()]
    return table(header, rows, right=set(range(1, len(header))))


def section_threads(threads: dict, notes: Notes) -> str:
    rows = []
    for build, result in threads.items():
        gil = "on" if result["gil_enabled"] else "off"
        for r in result["rows"]:
            row = [BUILDS[build], f"GIL {gil}", r["lib"], r["op"], r.get("input") or "—"]
            if r["status"] == "ok":
                one, two = r["per_second"]["1"], r["per_second"]["2"]
                other = r.get("other_cores")
                row += [f"{one:,.0f}", f"{two:,.0f}", f"{r['scaling']:.2f}",
                        "?" if other is None else f"{other:.2f}"]
            else:
                row += ["error " + notes.ref(r["lib"], r["error"], f"threads {r['op']}"), "", "", ""]
            rows.append(row)
    return table(["build", "GIL", "library", "operation", "input", "1 thread (calls/s)",
                  "2 threads (calls/s)", "scaling", "other load"], rows, right={5, 6, 7, 8})


def section_memory(memory: dict, notes: Notes) -> str:
    rows = []
    for build, result in memory.items():
        for r in result["rows"]:
            row = [BUILDS[build], r["lib"], r["op"], fmt_bytes(result["document_bytes"])]
            if r["status"] == "ok":
                row += [fmt_bytes(r["peak_bytes"]), f"{r['peak_bytes'] / result['document_bytes']:.2f}",
                        fmt_bytes(r["retained_bytes"]), f"{r['seconds']:.2f} s"]
            else:
                row += ["error " + notes.ref(r["lib"], r["error"], f"memory {r['op']}"),
                        "", "", ""]
            rows.append(row)
    return table(["build", "library", "operation", "document", "peak", "peak / document",
                  "retained", "time"], rows, right={3, 4, 5, 6, 7})


def section_fresh(fresh: dict, notes: Notes) -> str:
    rows = []
    for build, result in fresh.items():
        base = {r["size_mb"]: r for r in result["rows"] if r["lib"] == "quelt" and r["status"] == "ok"}
        for r in result["rows"]:
            row = [BUILDS[build], r["lib"], f"{r['size_mb']:g} MB"]
            if r["status"] == "ok":
                q = base.get(r["size_mb"])
                ratio = f" ({fmt_ratio(r['seconds_per_call'] / q['seconds_per_call'])})" if q else ""
                row += [fmt_time(r["seconds_per_call"]) + ratio, f"{r['faults_per_call']:,.0f}"]
            else:
                row += ["error " + notes.ref(r["lib"], r["error"], "fresh-process dumps"), ""]
            rows.append(row)
    return table(["build", "library", "document", "time per call", "page faults per call"], rows,
                 right={2, 3, 4})


def output_types(runs: dict) -> str:
    types: dict[str, set] = {}
    for run in runs.values():
        for c in run["cells"]:
            if c.get("output_type") and c["op"] != "dumps_same":  # made str there
                types.setdefault(c["lib"], set()).add(c["output_type"])
    by_type: dict[str, list] = {}
    for lib in LIBRARIES:
        if lib in types:
            by_type.setdefault("/".join(sorted(types[lib])), []).append(lib)
    return "; ".join(f"{', '.join(libs)} return {t}" for t, libs in by_type.items())


BUSY = 0.15  # cores used by other processes above which a run is flagged


def other_loads(runs: dict, threads: dict, memory: dict) -> dict:
    loads = {}
    for build in BUILDS:
        if build in runs:
            loads[f"timings {build}"] = runs[build].get("other_cores")
        if build in threads:
            values = [r["other_cores"] for r in threads[build]["rows"] if r.get("other_cores") is not None]
            loads[f"threads {build}"] = max(values) if values else None
        if build in memory:
            loads[f"memory {build}"] = memory[build].get("other_cores")
    return {k: v for k, v in loads.items() if v is not None}


def busy(runs: dict, threads: dict, memory: dict) -> bool:
    return max(other_loads(runs, threads, memory).values(), default=0.0) > BUSY


def contention(runs: dict, threads: dict, memory: dict) -> str:
    """A line on how busy other processes kept the machine while measuring."""
    known = other_loads(runs, threads, memory)
    if not known:
        return "Load from other processes: not measured (no /proc/stat)."
    text = ("Other processes' CPU use while measuring, in cores (of "
            f"{next(iter(runs.values()))['machine']['cores']}): "
            + ", ".join(f"{k} {v:.2f}" for k, v in known.items()) + ".")
    if max(known.values()) > BUSY:
        text = ("**The machine was busy with other work during this run: the times are "
                "inflated and noisy, and thread scaling is unreliable.** " + text)
    return text


# ---- chart -----------------------------------------------------------------

COLOURS = {"quelt": "#d62728", "json": "#7f7f7f", "orjson": "#1f77b4",
           "msgspec": "#2ca02c", "simplejson": "#9467bd", "rapidjson": "#ff7f0e",
           "python loop": "#000000"}


def draw(runs: dict, threads: dict, memory: dict, path: Path, caveat: str = "") -> None:
    """Throughput per document for each operation and build (log scale; a
    cross at the foot of a bar's place marks a call that failed), then thread
    scaling and peak memory."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch
    from matplotlib.transforms import blended_transform_factory

    ops = list(OPERATIONS.items())
    fig, axes = plt.subplots(len(ops) + 1, 2, figsize=(16, 4 * (len(ops) + 1)), squeeze=False)
    for col, (build, run) in enumerate(runs.items()):
        cells = cell_index(run)
        docs = run["documents"]
        libs = libs_in(run)
        width = 0.8 / max(1, len(libs))
        for row, (op, label) in enumerate(ops):
            ax = axes[row][col]
            foot = blended_transform_factory(ax.transData, ax.transAxes)
            for i, lib in enumerate(libs):
                xs, ys, failed = [], [], []
                for j, doc in enumerate(docs):
                    c = cells.get((doc["name"], op, lib), {})
                    x = j - 0.4 + width * (i + 0.5)
                    if c.get("status") == "ok":
                        xs.append(x)
                        ys.append(doc["bytes"] / c["median_s"] / 1e6)
                    elif c.get("status") == "error":
                        failed.append(x)
                ax.bar(xs, ys, width, label=lib, color=COLOURS.get(lib))
                if failed:
                    ax.plot(failed, [0.03] * len(failed), "x", color=COLOURS.get(lib),
                            transform=foot, markersize=7, mew=2)
            ax.set_yscale("log")
            ax.set_xticks(range(len(docs)), [d["name"] for d in docs], rotation=15, fontsize=8)
            ax.set_ylabel("MB/s (higher is better)")
            ax.set_title(f"{BUILDS[build]}: {label}  (x: call failed)", fontsize=10)
            ax.grid(axis="y", which="both", alpha=0.3)
            if row == 0:
                ax.legend([Patch(color=COLOURS.get(lib)) for lib in libs], libs,
                          fontsize=8, ncol=3)

    def hbars(ax, items, xlabel, title):
        labels = [f"{lib} {op} ({build})" for build, lib, op, _ in items]
        colours = [COLOURS.get(lib) for _, lib, _, _ in items]
        values = [v if v is not None else 0 for *_, v in items]
        ys = range(len(items))
        ax.barh(ys, values, color=colours)
        for y, (*_, v) in zip(ys, items):
            if v is None:
                ax.text(0, y, " failed", va="center", fontsize=8)
        ax.set_yticks(ys, labels, fontsize=7)
        ax.invert_yaxis()
        ax.set_xlabel(xlabel)
        ax.set_title(title, fontsize=10)
        ax.grid(axis="x", alpha=0.3)

    items = [(b, r["lib"], " ".join(filter(None, (r["op"], r.get("input")))), r.get("scaling"))
             for b, res in threads.items() for r in res["rows"]]
    ax = axes[len(ops)][0]
    hbars(ax, items, "2-thread / 1-thread throughput", "thread scaling (2.0 is perfect on 2 cores)")
    ax.axvline(2.0, color="black", linestyle="--", linewidth=0.8)
    ax.axvline(1.0, color="black", linestyle=":", linewidth=0.8)

    items = [(b, r["lib"], r["op"], r["peak_bytes"] / 1e6 if r["status"] == "ok" else None)
             for b, res in memory.items() for r in res["rows"]]
    doc_mb = next(iter(memory.values()))["document_bytes"] / 1e6 if memory else 0
    hbars(axes[len(ops)][1], items, "peak RSS above baseline, MB (lower is better)",
          f"memory: one call on a {doc_mb:.0f} MB document")

    fig.suptitle("quelt benchmarks" + (f" ({caveat})" if caveat else ""), fontsize=14)
    fig.tight_layout(rect=(0, 0, 1, 0.98))
    fig.savefig(path, dpi=80)
    plt.close(fig)


# ---- main ------------------------------------------------------------------

def main() -> int:
    runs = {b: load(f"{b}.json") for b in BUILDS}
    missing = [b for b, r in runs.items() if r is None]
    if missing:
        print(f"report.py: no timing results for {', '.join(missing)} in {RESULTS}", file=sys.stderr)
        return 1
    threads = {b: r for b in BUILDS if (r := load(f"threads-{b}.json"))}
    memory = {b: r for b in BUILDS if (r := load(f"memory-{b}.json"))}
    fresh = {b: r for b in BUILDS if (r := load(f"fresh-{b}.json"))}
    installs = {b: r for b in BUILDS if (r := load(f"install-{b}.json"))}
    notes = Notes()
    m = runs["free-threaded"]["machine"]
    quick = any(r.get("quick") for r in runs.values())

    out = ["# quelt benchmarks", ""]
    if quick:
        out += ["**BENCH_QUICK smoke run: smaller documents and a few calls per cell. "
                "These numbers are not measurements.**", ""]
    out += [contention(runs, threads, memory), ""]
    out += [
        f"Run {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())} on {m['cpu']}, "
        f"{m['cores']} cores, {m['memory']}, {m['os']}; CPython {m['python']}, "
        f"free-threaded build (GIL {'on' if m['gil_enabled'] else 'off'} while timing) and "
        f"default build of the same version.  Each build runs in its own process; "
        f"time per cell {runs['free-threaded']['cell_budget_s']} s after warm-up; "
        f"timings took {runs['free-threaded']['elapsed_s']:.0f} s (free-threaded) and "
        f"{runs['gil']['elapsed_s']:.0f} s (GIL).",
        "",
        "## Libraries",
        "",
        section_libraries(runs, installs),
        "",
        "## Documents",
        "",
        section_documents(runs),
        "",
        "## Summary: library time / quelt time",
        "",
        "Geometric mean over the documents of each library's median time divided by "
        "quelt's, both measured in the same run.  Above 1: quelt is faster.  "
        "— : no document where both calls succeeded.",
        "",
        section_summary(runs),
        "",
        "## The same library on both builds: free-threaded time / GIL time",
        "",
        "Geometric mean over the documents.  Above 1: slower on the free-threaded build.",
        "",
        section_cross_build(runs),
        "",
        "## Median time per call",
        "",
        "In parentheses: this library's time / quelt's time, same run (above 1: quelt is "
        "faster).  n/a: the library has no such operation.  ~: a call so slow that fewer "
        "than 3 repetitions were timed.  A note number after a time: the result "
        "differs from json's (the call is timed all the same).  The garbage collector stays on, "
        "as in real use.  Output types differ: " + output_types(runs) + ".  Defaults differ too: "
        "quelt, json, simplejson and rapidjson escape non-ASCII characters by default "
        "(ensure_ascii), orjson and msgspec write UTF-8; quelt also escapes '/' by default.",
        "",
        "The rows \"same-output dumps()\" set what the defaults leave different, so that "
        "every library writes the same text and returns it as str: quelt "
        "dumps(o, ensure_ascii=False, escape_forward_slashes=False); json and simplejson "
        "dumps(o, ensure_ascii=False, separators=(\",\", \":\")); rapidjson "
        "dumps(o, ensure_ascii=False); orjson and msgspec their output decoded, within "
        "the timed call.  Each output is checked against quelt's text: a note number "
        "there says where the text differs.",
        "",
    ]
    for build, run in runs.items():
        out += [f"### {BUILDS[build]}", "", section_times(build, run, notes), ""]
    out += ["## quelt's dumps options: time with the option / time with the defaults", "",
            "Each of quelt's dumps options changed from its default on its own, timed on "
            "the same objects as dumps(), whose time is the second column, in alternating "
            "batches with dumps(); each figure is the median over the rounds of the "
            "option's batch time / dumps()'s batch time in the same round.  Above 1: the "
            "option makes dumps slower.  In parentheses: the same for json, where it has "
            "the option.  indent and sort_keys have their own rows above; the default "
            "separators are the compact ones already.  loads() has no options.", ""]
    for build, run in runs.items():
        out += [f"### {BUILDS[build]}", "", section_options(run, notes), ""]
    if threads:
        doc = next(iter(threads.values()))["document"]
        out += ["## Threads", "",
                f"Throughput of 1 and 2 threads each calling loads (bytes) or dumps on "
                f"{doc['name']} ({fmt_bytes(doc['bytes'])}), given either each its own copy "
                f"of the input (own copy) or all the one same bytes object or parsed object "
                f"graph (shared, as a server dumping one cached object from many threads); "
                f"scaling = 2-thread / 1-thread throughput (2.00 is perfect on two cores).  "
                f"The python loop row is a pure-Python loop that shares and allocates nothing: "
                f"the most the machine and the build allowed at the time.  Other load: cores "
                f"used by other processes meanwhile; above ~0.1 the scaling is not to be trusted.",
                "", section_threads(threads, notes), ""]
    if memory:
        out += ["## Memory", "",
                "Peak resident memory above the baseline for one call, each in a fresh process: "
                "loads of the document's bytes, dumps of its objects.  Retained: what is still "
                "resident with the result alive (on the free-threaded build the allocator, "
                "mimalloc, keeps freed memory resident, so there it stays close to peak).",
                "", section_memory(memory, notes), ""]
    if fresh:
        out += ["## Repeated dumps in a fresh process", "",
                "A new process per library and size builds a generated API payload (the memory "
                "document's records), dumps it 3 times, then times about a second of calls: "
                "mean time per call (in parentheses: / quelt's), and minor page faults per "
                "call.  Unlike the main timings, whose long process has already freed blocks "
                "of every document's size, this shows whether each call writes its output into "
                "freshly mapped pages.",
                "", section_fresh(fresh, notes), ""]
    if notes.keys:
        out += ["## Notes", "", notes.render(), ""]

    text = "\n".join(out)
    print(text)
    RESULTS.mkdir(parents=True, exist_ok=True)
    (RESULTS / "README.md").write_text(text)
    try:
        caveats = (["BENCH_QUICK smoke run, not a measurement"] if quick else []) + \
            (["machine busy with other work: noisy"] if busy(runs, threads, memory) else [])
        draw(runs, threads, memory, RESULTS / "bench.png", "; ".join(caveats))
    except ImportError as exc:
        print(f"report.py: chart not drawn: {exc}", file=sys.stderr)
        return 1
    print(f"\nWritten: {RESULTS / 'README.md'}, {RESULTS / 'bench.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
