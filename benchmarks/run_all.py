"""Run every benchmark script of this folder in turn (``make bench``)."""

from __future__ import annotations

import pathlib
import runpy
import sys


def main() -> int:
    here = pathlib.Path(__file__).resolve().parent
    sys.path.insert(0, str(here))  # the scripts share _timing.py
    scripts = sorted(here.glob("bench_*.py"))
    if not scripts:
        print("no benchmarks found")
    for script in scripts:
        print(f"\n=== {script.name} ===", flush=True)
        runpy.run_path(str(script), run_name="__main__")
    return 0


if __name__ == "__main__":
    sys.exit(main())
