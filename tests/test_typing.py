"""The typed example (checked by `mypy --strict` in CI) also runs: the types
the stub promises are the ones quelt returns."""
import runpy
from pathlib import Path


def test_typing_example_runs():
    runpy.run_path(str(Path(__file__).with_name("typing_example.py")), run_name="__main__")
