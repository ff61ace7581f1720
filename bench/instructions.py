"""Instruction counts per call, measured with callgrind: repeatable for the
same build and inputs whatever else the machine is doing, so they show the
effect of a change where timings on a busy machine cannot.

    python bench/instructions.py [--calls N] [--only twitter,canada]

For every document and operation it runs a child interpreter under
callgrind that makes N calls, counts only the instructions spent inside
quelt's entry function (and what it calls), and reports them divided by N.
Hash randomisation is off, so that every run lays out its dictionaries
alike.  Needs valgrind.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import docs  # noqa: E402

# (call, the entry function it reaches)
OPERATIONS = {
    "loads(bytes)": ("quelt.loads(raw)", "quelt_loads"),
    "loads(str)": ("quelt.loads(text)", "quelt_loads"),
    "dumps()": ("quelt.dumps(obj)", "quelt_dumps"),
    "dumps(ensure_ascii=False)": ("quelt.dumps(obj, ensure_ascii=False)", "quelt_dumps"),
    "dumps(sort_keys=True)": ("quelt.dumps(obj, sort_keys=True)", "quelt_dumps"),
    "dumps(indent=2)": ("quelt.dumps(obj, indent=2)", "quelt_dumps"),
}

CHILD = """
import sys
sys.path.insert(0, {bench!r})
import docs, json, quelt
raw = next(d.data for d in docs.load_documents() if d.name == {name!r})
text = raw.decode("utf-8")
obj = json.loads(raw)  # not quelt: only the measured calls may enter it
for _ in range({calls}):
    {operation}
"""


def instructions(code: str, entry: str) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", f"--toggle-collect=*{entry}*",
             sys.executable, "-c", code],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env={**os.environ, "PYTHONHASHSEED": "0"},
        )
        for line in out.read_text().splitlines():
            if line.startswith("summary:") or line.startswith("totals:"):
                return int(line.split()[1])
    raise RuntimeError("no totals in the callgrind output")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=3)
    parser.add_argument("--only", default="twitter,citm_catalog,canada", help="documents, by name (the generated ones too)")
    parser.add_argument("--ops", default=",".join(OPERATIONS))
    args = parser.parse_args()
    bench = str(Path(__file__).resolve().parent)
    names = args.only.split(",")
    print(f"{'document':14} {'operation':28} {'instructions per call':>22}")
    for name in names:
        for op in args.ops.split(","):
            call, entry = OPERATIONS[op]
            code = CHILD.format(bench=bench, name=name, calls=args.calls, operation=call)
            total = instructions(code, entry)
            print(f"{name:14} {op:28} {total // args.calls:>22,}", flush=True)


if __name__ == "__main__":
    main()
