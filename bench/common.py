"""Small helpers shared by the benchmark scripts: where results go, which
build of CPython is running, the BENCH_* settings, and a description of the
machine."""

from __future__ import annotations

import json
import os
import platform
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
RESULTS = Path(os.environ.get("BENCH_RESULTS") or HERE / "results")

QUICK = os.environ.get("BENCH_QUICK", "") not in ("", "0")


def free_threaded() -> bool:
    return bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def build_name() -> str:
    return "free-threaded" if free_threaded() else "gil"


def env_float(name: str, default: float) -> float:
    value = os.environ.get(name)
    return float(value) if value else default


def machine() -> dict:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            kb = int(f.readline().split()[1])
            mem = f"{kb / 2**20:.0f} GiB"
    except (OSError, ValueError, IndexError):
        pass
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory": mem,
        "os": f"{platform.system()} {platform.release()}",
        "python": sys.version.split()[0],
        "python_build": build_name(),
        "gil_enabled": sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True,
    }


class CpuWatch:
    """How busy the machine was with other processes while we measured:
    CPU time all processes spent (from /proc/stat) minus our own (this
    process and its children), in cores, averaged over the wall time.  On a
    2-core machine anything above ~0.1 means the numbers, thread scaling
    above all, were disturbed."""

    def __init__(self):
        self.start = self._snapshot()

    @staticmethod
    def _snapshot() -> tuple[float, float, float]:
        t = os.times()
        own = t.user + t.system + t.children_user + t.children_system
        busy = float("nan")
        try:
            with open("/proc/stat") as f:
                fields = [int(x) for x in f.readline().split()[1:]]
            # user nice system idle iowait irq softirq steal: all but idle/iowait
            busy = (sum(fields[:8]) - fields[3] - fields[4]) / os.sysconf("SC_CLK_TCK")
        except (OSError, ValueError, IndexError):
            pass
        return time.monotonic(), busy, own

    def other_cores(self) -> float | None:
        wall0, busy0, own0 = self.start
        wall1, busy1, own1 = self._snapshot()
        if busy1 != busy1 or wall1 <= wall0:  # NaN: no /proc/stat
            return None
        return max(0.0, ((busy1 - busy0) - (own1 - own0)) / (wall1 - wall0))


def run_json_child(script: str, args: list[str], timeout: float) -> dict:
    """Runs `python script --child *args` and returns the JSON object on
    the last line of its output, or an error row when it fails, prints
    nothing or runs past `timeout` seconds."""
    cmd = [sys.executable, script, "--child", *args]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"status": "error", "error": f"timed out after {timeout:.0f} s"}
    lines = proc.stdout.strip().splitlines()
    if proc.returncode != 0 or not lines:
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return {"status": "error", "error": f"child exited {proc.returncode}: {tail}"[:160]}
    return json.loads(lines[-1])


def write_results(name: str, result: dict) -> Path:
    """Writes `result` as RESULTS/<name>.json and returns that path."""
    RESULTS.mkdir(parents=True, exist_ok=True)
    out = RESULTS / f"{name}.json"
    out.write_text(json.dumps(result, indent=1) + "\n")
    return out


def main_or_child(main, child) -> None:
    """The entry of a script that measures in fresh processes: with
    `--child ARGS...` it runs child(*ARGS) and prints the JSON row that
    run_json_child reads; otherwise main().  Exits with the status."""
    if len(sys.argv) >= 2 and sys.argv[1] == "--child":
        print(json.dumps(child(*sys.argv[2:])))
        sys.exit(0)
    sys.exit(main())
