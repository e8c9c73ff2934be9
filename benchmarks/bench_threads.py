"""Two threads on two contexts against one thread doing both evaluations in turn.

    python benchmarks/bench_threads.py [--repeat R]

Each case evaluates the same graph on two independent contexts: first both in one thread,
one after the other, then one per thread at the same time. Evaluations with different
contexts share no lock and the array kernels run without the GIL, so on a machine with two
free cores the threaded run approaches half the serial time (speed-up near 2). The general
row-by-row path calls Python function instances on every row and keeps the GIL for most of
its work, so it gains little; it is listed for contrast.
"""

from __future__ import annotations

import argparse
import threading
import time

import numpy as np


def cases():
    from tessaline.functions._typed_shapes import FunctionGraphNode as N
    from tessaline.functions.registry import default_registry
    from tessaline.simulator_engine import expression_evaluator as ee

    def feat(name):
        return N("feature", name)

    def rot(fn, *kids):
        return N("rotation", fn, list(kids))

    rank = "virtualization_runtime_transform_acbc9b"
    rng = np.random.default_rng(3)

    def context(T, N_, registry=None):
        return ee.EvaluationContext(
            (rng.standard_normal((T, N_)), rng.standard_normal((T, N_))), {"a": 0, "b": 1},
            universe=np.where(rng.random((T, N_)) < 0.05, 0.0, 1.0), registry=registry)

    T_long = ee._LONGITUDINAL_FAST_MIN_ROWS
    return [
        ("rank 1000x2000", rot(rank, feat("a")), lambda: context(1000, 2000)),
        ("rank-multiply 1000x2000", rot("numerical_combine_d65e04", rot(rank, feat("a")),
                                         rot(rank, feat("b"))), lambda: context(1000, 2000)),
        ("leaf + universe 2000x2000", feat("a"), lambda: context(2000, 2000)),
        (f"longitudinal z(mean) {T_long}x40",
         rot("longitudinal_accumulators_250f46",
             rot("longitudinal_accumulators_2ee349", feat("a"), N("int", 10)), N("int", 20)),
         lambda: context(T_long, 40, default_registry())),
        ("general path 250x200 (rolling mean, Python rows)",
         rot("longitudinal_accumulators_2ee349", feat("a"), N("int", 10)),
         lambda: context(250, 200, default_registry())),
    ]


def timed(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    from tessaline.simulator_engine import expression_evaluator as ee

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    print(f"{'case':50s} {'1 thread':>10s} {'2 threads':>10s} {'speed-up':>9s}")
    for name, graph, make in cases():
        ctx1, ctx2 = make(), make()
        ee.evaluate(graph, ctx1)  # warm-up (caches, first allocations)
        ee.evaluate(graph, ctx2)

        def serial():
            ee.evaluate(graph, ctx1)
            ee.evaluate(graph, ctx2)

        def threaded():
            ts = [threading.Thread(target=ee.evaluate, args=(graph, c)) for c in (ctx1, ctx2)]
            for t in ts:
                t.start()
            for t in ts:
                t.join()

        one = timed(serial, args.repeat)
        two = timed(threaded, args.repeat)
        print(f"{name:50s} {one * 1e3:8.1f}ms {two * 1e3:8.1f}ms {one / two:8.2f}x", flush=True)


if __name__ == "__main__":
    main()
