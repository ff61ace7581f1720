"""Instruction counts per call, measured with callgrind: repeatable for the
same build and inputs whatever else the machine is doing, so they show the
effect of a change where timings on a busy machine cannot.

    python bench/instructions.py [--calls N] [--only twitter,canada]

For every document and operation it runs a child interpreter under
callgrind twice, once doing the setup only and once doing the setup and N
calls, and reports the difference divided by N.  Needs valgrind.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import docs  # noqa: E402

OPERATIONS = {
    "loads(bytes)": "quelt.loads(raw)",
    "loads(str)": "quelt.loads(text)",
    "dumps()": "quelt.dumps(obj)",
    "dumps(ensure_ascii=False)": "quelt.dumps(obj, ensure_ascii=False)",
    "dumps(sort_keys=True)": "quelt.dumps(obj, sort_keys=True)",
}

CHILD = """
import sys
sys.path.insert(0, {bench!r})
import docs, quelt
raw = next(d.data for d in docs.load_documents() if d.name == {name!r})
text = raw.decode("utf-8")
obj = quelt.loads(raw)
for _ in range({calls}):
    {operation}
"""


def instructions(code: str) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c", code],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        for line in out.read_text().splitlines():
            if line.startswith("summary:") or line.startswith("totals:"):
                return int(line.split()[1])
    raise RuntimeError("no totals in the callgrind output")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=3)
    parser.add_argument("--only", default="twitter,citm_catalog,canada")
    parser.add_argument("--ops", default=",".join(OPERATIONS))
    args = parser.parse_args()
    bench = str(Path(__file__).resolve().parent)
    names = args.only.split(",")
    print(f"{'document':14} {'operation':28} {'instructions per call':>22}")
    for name in names:
        for op in args.ops.split(","):
            base = instructions(CHILD.format(bench=bench, name=name, calls=0, operation=OPERATIONS[op]))
            full = instructions(CHILD.format(bench=bench, name=name, calls=args.calls, operation=OPERATIONS[op]))
            print(f"{name:14} {op:28} {(full - base) // args.calls:>22,}", flush=True)


if __name__ == "__main__":
    main()
