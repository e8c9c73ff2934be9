"""Run every benchmark script of this folder in turn (``make bench``), or, with --table, the
fast paths on every kernel path the CPU runs and the streaming tick (``make bench-table``).

    python benchmarks/run_all.py [--table [--rounds 3]]
"""

from __future__ import annotations

import argparse
import datetime
import os
import pathlib
import runpy
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent


def table(rounds):
    """Fast-path times and peak memory per kernel path, both shapes, clean and realistic
    data, then the driver's streaming tick; each script in a process of its own."""
    sys.path.insert(0, str(HERE))
    import numpy as np

    from _data import cpu_model, cpu_paths, describe

    shapes = [(100000, 100), (2520, 3000)]
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    print(f"{now}; CPU: {cpu_model()}; {os.cpu_count()} CPUs; kernel paths: "
          f"{', '.join(cpu_paths())}; numpy {np.__version__}; load average "
          "%.1f %.1f %.1f" % os.getloadavg())
    for shape in shapes:
        print(describe(shape))
    shape_arg = ",".join(f"{t}x{n}" for t, n in shapes)
    for args in (["bench_cross_sectional.py", "--shapes", shape_arg, "--rounds", str(rounds)],
                 ["bench_rolling.py", "--paths", "--shapes", shape_arg, "--rounds", str(rounds)],
                 ["bench_driver.py"]):
        print(flush=True)
        subprocess.run([sys.executable, str(HERE / args[0])] + args[1:], cwd=HERE, check=True)
    print("\nload average at the end: %.1f %.1f %.1f" % os.getloadavg())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--table", action="store_true")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    if args.table:
        table(args.rounds)
        return 0
    sys.path.insert(0, str(HERE))  # the scripts share _timing.py, _data.py and _paths.py
    scripts = sorted(HERE.glob("bench_*.py"))
    if not scripts:
        print("no benchmarks found")
    for script in scripts:
        print(f"\n=== {script.name} ===", flush=True)
        sys.argv = [str(script)]
        try:
            runpy.run_path(str(script), run_name="__main__")
        except SystemExit as stop:  # a script's exit status ends that script only
            if stop.code:
                raise
    return 0


if __name__ == "__main__":
    sys.exit(main())
