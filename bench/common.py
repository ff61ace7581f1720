"""Small helpers shared by the benchmark scripts: where results go, which
build of CPython is running, the BENCH_* settings, and a description of the
machine."""

from __future__ import annotations

import os
import platform
import sys
import sysconfig
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
