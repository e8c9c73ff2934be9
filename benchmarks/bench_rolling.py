"""Rolling longitudinal kernels: native whole-matrix kernel vs the NumPy long-double steps.

First, the whole fast path (the universe-masked leaf and the kernel) on every kernel path
the CPU runs, clean and realistic data, with its peak memory beyond its inputs and result
(see _paths.py; the kernels' arithmetic is the same on every path). Then, for each shape,
window and statistic, the best wall time of the kernel alone (`_rolling_longitudinal_fast`),
of the NumPy transcription that it reproduces bit for bit (the two timed in alternation, as
the machine's speed may drift), and, when importable, of bottleneck's move_mean / move_std
and of pandas' rolling (both in double precision, so not bit-compatible; shown for scale),
next to the memory-copy floor (one read and one write of the matrix). --quick: one small
pass of the second table; --paths: the first table alone.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from _paths import compare, serve  # noqa: E402
from twins import MEAN, STD, ZSCORE, apply_universe_mask, rolling_twin, twin  # noqa: E402

from tessaline.simulator_engine import expression_evaluator as ee  # noqa: E402

try:
    import bottleneck as bn
except ImportError:  # optional, for comparison only
    bn = None
try:
    import pandas as pd
except ImportError:  # optional, for comparison only
    pd = None

STATS = [("mean", MEAN), ("std", STD), ("zscore", ZSCORE)]
WINDOW = 20


def path_ops(window):
    return tuple(f"{stat}.{window}" for stat, _ in STATS)


def _stat_window(op):
    stat, window = op.split(".")
    return dict(STATS)[stat], int(window)


def twin_steps(op, a, b, universe):
    name, window = _stat_window(op)
    return twin(apply_universe_mask(a, universe), window, name)


def prepare(op, a, b, universe, store):
    from tessaline.functions._typed_shapes import FunctionGraphNode as Node

    if "context" not in store:
        store["context"] = ee.EvaluationContext((a,), {"a": 0}, universe=universe,
                                                validate_inputs=False)
    ctx = store["context"]
    name, window = _stat_window(op)
    graph = Node("rotation", name, [Node("feature", "a"), Node("int", window)])
    return lambda: ee._evaluate_longitudinal_fast(graph, ctx)


def best(fn, reps, budget=None):
    """Best wall time of `reps` calls (stops early once `budget` seconds are spent)."""
    times = []
    start = time.perf_counter()
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
        if budget is not None and time.perf_counter() - start > budget:
            break
    return min(times)


def paired(native_fn, numpy_fn, rounds, budget):
    """Best wall times of the native kernel and of the NumPy steps, taken in alternation
    (each round one NumPy call, then five native calls) so that both see the same phases of a
    machine whose speed drifts; stops early once `budget` seconds are spent."""
    native, numpy_steps = [], []
    start = time.perf_counter()
    for _ in range(rounds):
        t0 = time.perf_counter()
        numpy_fn()
        numpy_steps.append(time.perf_counter() - t0)
        for _ in range(5):
            t0 = time.perf_counter()
            native_fn()
            native.append(time.perf_counter() - t0)
        if time.perf_counter() - start > budget:
            break
    return min(native), min(numpy_steps)


def best_cpu(fn, reps):
    """Best process CPU time (all threads) of `reps` calls: the work done, whatever the
    share of the cores that other processes leave."""
    times = []
    for _ in range(reps):
        t0 = time.process_time()
        fn()
        times.append(time.process_time() - t0)
    return min(times)


def bottleneck_fn(stat, data, w):
    if bn is None:
        return None
    if stat == "mean":
        return lambda: bn.move_mean(data, w, axis=0)
    if stat == "std":
        return lambda: bn.move_std(data, w, axis=0)

    def z():
        m = bn.move_mean(data, w, axis=0)
        s = bn.move_std(data, w, axis=0)
        return np.where(s == 0, 0.0, (data - m) / s)
    return z


def pandas_fn(stat, frame, w):
    if pd is None:
        return None
    if stat == "mean":
        return lambda: frame.rolling(w).mean()
    if stat == "std":
        return lambda: frame.rolling(w).std(ddof=0)

    def z():
        r = frame.rolling(w)
        m, s = r.mean(), r.std(ddof=0)
        return ((frame - m) / s).where(s != 0, 0.0)
    return z


def fmt(seconds):
    return f"{'-':>9}" if seconds is None else f"{seconds * 1e3:9.1f}"


def ratio(a, b):
    return "-" if a is None or b is None else f"{a / b:7.1f}x"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one small pass")
    parser.add_argument("--paths", action="store_true", help="the fast path on every kernel path")
    parser.add_argument("--shapes", default="100000x100,2520x3000")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    if not args.quick:
        shapes = [tuple(int(v) for v in s.split("x")) for s in args.shapes.split(",")]
        compare(__file__, path_ops(WINDOW), twin_steps, shapes, args.rounds,
                f"rolling fast path, window {WINDOW}")
        if args.paths:
            return 0
        print()
    shapes = [(250, 500)] if args.quick else [(100000, 100), (2520, 3000), (250, 500)]
    windows = [20] if args.quick else [20, 250]
    rng = np.random.default_rng(0)
    print(f"cpus available: {len(os.sched_getaffinity(0))}; numpy {np.__version__}; "
          f"bottleneck {getattr(bn, '__version__', 'absent')}; "
          f"pandas {getattr(pd, '__version__', 'absent')}")
    print("wall times in ms (best of several runs; cpu: the native call's CPU time over both "
          "threads); ratios are NumPy steps / native and bottleneck / native (wall)")
    header = (f"{'shape':>13} {'w':>4} {'stat':>6} {'native':>9} {'cpu':>9} {'numpy':>9} {'ratio':>8} "
              f"{'bneck':>9} {'ratio':>8} {'pandas':>9} {'copy':>9}")
    print(header)
    print("-" * len(header))
    for shape in shapes:
        data = rng.normal(size=shape)
        data[rng.random(shape) < 0.001] = np.nan
        cells = shape[0] * shape[1]
        reps = 3 if cells >= 1_000_000 else 20
        out = np.empty_like(data)
        copy_floor = best(lambda: np.copyto(out, data), reps * 3)
        frame = pd.DataFrame(data) if pd is not None else None
        for w in windows:
            for stat, name in STATS:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", RuntimeWarning)
                    native, numpy_steps = paired(
                        lambda: ee._rolling_longitudinal_fast(data, w, name),
                        lambda: rolling_twin(data, w, name), reps, budget=6.0)
                cpu = best_cpu(lambda: ee._rolling_longitudinal_fast(data, w, name), reps * 2)
                fn = bottleneck_fn(stat, data, w)
                bneck = best(fn, reps) if fn is not None else None
                fn = pandas_fn(stat, frame, w) if frame is not None else None
                pandas = best(fn, reps, budget=6.0) if fn is not None else None
                print(f"{str(shape):>13} {w:>4} {stat:>6} {fmt(native)} {fmt(cpu)} {fmt(numpy_steps)} "
                      f"{ratio(numpy_steps, native):>8} {fmt(bneck)} {ratio(bneck, native):>8} "
                      f"{fmt(pandas)} {fmt(copy_floor)}", flush=True)
    return 0


if __name__ == "__main__":
    if "--worker" in sys.argv:
        serve(prepare, twin_steps)
    else:
        sys.exit(main())
