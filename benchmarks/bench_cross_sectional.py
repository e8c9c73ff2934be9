"""Cross-sectional fast paths against the NumPy steps they reproduce.

For each shape T x N the script times, best of several runs: the NumPy transcription of the
rank steps, the native rank, the native rank-multiply and its NumPy transcription, a plain
copy of the matrix (the memory-bandwidth floor) and, when pandas is importable,
DataFrame.rank(axis=1). Ratios are NumPy time / native time.

    python benchmarks/bench_cross_sectional.py [--shapes 100000x100,2520x3000,250x500]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

from twins import rank_matrix, rank_multiply  # noqa: E402
from tessaline.functions._typed_shapes import FunctionGraphNode as Node  # noqa: E402
from tessaline.simulator_engine import expression_evaluator as ee  # noqa: E402

RANK = "virtualization_runtime_transform_acbc9b"


def best_of(fn, repeats):
    """Best wall time and best process CPU time (all threads) over `repeats` calls."""
    best, best_cpu = float("inf"), float("inf")
    for _ in range(repeats):
        c0, t0 = time.process_time(), time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
        best_cpu = min(best_cpu, time.process_time() - c0)
    return best, best_cpu


def make_data(rng, T, N):
    x = rng.standard_normal((T, N))
    x[rng.random((T, N)) < 0.05] = np.nan
    return x


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--shapes", default="100000x100,2520x3000,250x500")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    try:
        import pandas as pd
    except ImportError:
        pd = None

    rng = np.random.default_rng(0)
    rank_graph = Node("rotation", RANK, [Node("feature", "a")])
    mul_graph = Node("rotation", "numerical_combine_d65e04", [
        Node("rotation", RANK, [Node("feature", "a")]),
        Node("rotation", RANK, [Node("feature", "b")])])
    print("load average (1, 5, 15 min): %.1f %.1f %.1f on %d CPUs"
          % (*os.getloadavg(), os.cpu_count()))
    print("ratio: NumPy wall time / native wall time; cpu ratio: the same for CPU time summed")
    print("over threads (the native code uses up to all cores, NumPy one).")
    print(f"{'shape':>12} {'what':>14} {'native ms':>10} {'numpy ms':>10} {'ratio':>7} "
          f"{'cpu ratio':>9}")
    for shape_text in args.shapes.split(","):
        T, N = (int(v) for v in shape_text.split("x"))
        a, b = make_data(rng, T, N), make_data(rng, T, N)
        universe = np.where(rng.random((T, N)) < 0.1, 0.0, 1.0)
        ctx = ee.EvaluationContext((a, b), {"a": 0, "b": 1}, validate_inputs=False)
        uctx = ee.EvaluationContext((a, b), {"a": 0, "b": 1}, universe=universe,
                                    validate_inputs=False)
        reps = max(1, args.repeats if T * N <= 3_000_000 else args.repeats - 2)
        # Correctness guard: the benchmark only means something if results agree.
        assert ee._evaluate_simple_rank_fast(rank_graph, ctx).tobytes() == rank_matrix(a).tobytes()

        copy_t, _ = best_of(a.copy, reps)
        rows = [
            ("rank", lambda: ee._evaluate_simple_rank_fast(rank_graph, ctx),
             lambda: rank_matrix(a)),
            ("rank+universe", lambda: ee._evaluate_simple_rank_fast(rank_graph, uctx),
             lambda: rank_matrix(a, universe)),
            ("rank-multiply", lambda: ee._evaluate_rank_multiply_fast(mul_graph, ctx),
             lambda: rank_multiply(a, b)),
            ("mask", lambda: ee._apply_universe_mask(a, universe),
             lambda: np.where((universe == 0.0) | np.isnan(universe), np.nan, a)),
        ]
        for what, native, numpy_steps in rows:
            tn, cn = best_of(native, reps)
            tp, cp = best_of(numpy_steps, max(1, reps - 2))
            print(f"{shape_text:>12} {what:>14} {tn * 1e3:10.2f} {tp * 1e3:10.2f} {tp / tn:7.1f} "
                  f"{cp / max(cn, 1e-9):9.1f}")
        print(f"{shape_text:>12} {'copy (floor)':>14} {copy_t * 1e3:10.2f}")
        if pd is not None:
            frame = pd.DataFrame(a)
            tpd, _ = best_of(lambda: frame.rank(axis=1), max(1, reps - 2))
            print(f"{shape_text:>12} {'pandas rank':>14} {tpd * 1e3:10.2f}")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
