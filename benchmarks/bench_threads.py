"""Two threads on two contexts against one thread doing both evaluations in turn.

    python benchmarks/bench_threads.py [--repeat R]

Each case evaluates the same graph on two independent contexts: first both in one thread,
one after the other, then one per thread at the same time. Evaluations with different
contexts share no lock and the array kernels run without the GIL, so when one evaluation
uses one core (matrices below the kernels' own threading threshold) two threads on a
two-core machine approach half the serial time. Large matrices are already split over every
core inside one evaluation, so a second thread has nothing left to gain there; the general
row-by-row path runs Python function instances under the GIL. Both are listed for contrast.
"""

from __future__ import annotations

import argparse
import threading
import time

import numpy as np
from _timing import best_of


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
    product = rot("numerical_combine_d65e04", rot(rank, feat("a")), rot(rank, feat("b")))
    zmean = rot("longitudinal_accumulators_250f46",
                rot("longitudinal_accumulators_2ee349", feat("a"), N("int", 10)), N("int", 20))
    # (name, graph, context factory, evaluations per context). The small cases stay below
    # the size at which a kernel splits its rows over worker threads itself, so one
    # evaluation uses one core and the second thread can only help if the GIL is free.
    return [
        ("rank 100x300 (single-core kernel) x200", rot(rank, feat("a")),
         lambda: context(100, 300), 200),
        ("rank-multiply 100x150 (single-core) x200", product, lambda: context(100, 150), 200),
        ("leaf + universe 1000x1000 (single-core) x20", feat("a"),
         lambda: context(1000, 1000), 20),
        ("rank 1000x2000 (kernel uses every core)", rot(rank, feat("a")),
         lambda: context(1000, 2000), 1),
        ("rank-multiply 1000x2000 (every core)", product, lambda: context(1000, 2000), 1),
        (f"longitudinal z(mean) {T_long}x40", zmean,
         lambda: context(T_long, 40, default_registry()), 1),
        ("general path 250x200 (Python rows) x5",
         rot("longitudinal_accumulators_2ee349", feat("a"), N("int", 10)),
         lambda: context(250, 200, default_registry()), 5),
    ]




def main():
    from tessaline.simulator_engine import expression_evaluator as ee

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    print(f"{'case':50s} {'1 thread':>10s} {'2 threads':>10s} {'speed-up':>9s}")
    for name, graph, make, loops in cases():
        ctx1, ctx2 = make(), make()
        ee.evaluate(graph, ctx1)  # warm-up (caches, first allocations)
        ee.evaluate(graph, ctx2)

        def run(ctx):
            for _ in range(loops):
                ee.evaluate(graph, ctx)

        def serial():
            run(ctx1)
            run(ctx2)

        def threaded():
            ts = [threading.Thread(target=run, args=(c,)) for c in (ctx1, ctx2)]
            for t in ts:
                t.start()
            for t in ts:
                t.join()

        one = best_of(serial, args.repeat)
        two = best_of(threaded, args.repeat)
        print(f"{name:50s} {one * 1e3:8.1f}ms {two * 1e3:8.1f}ms {one / two:8.2f}x", flush=True)
    control()


def control():
    """The same measurement for numpy.sort, which runs without the GIL: the speed-up this
    machine can give two threads at the moment (other load on the cores lowers it)."""
    rng = np.random.default_rng(0)
    data = [rng.standard_normal(2_000_000) for _ in range(2)]

    def run(x):
        for _ in range(3):
            np.sort(x)

    def serial():
        run(data[0])
        run(data[1])

    def threaded():
        ts = [threading.Thread(target=run, args=(x,)) for x in data]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    one, two = best_of(serial, 3), best_of(threaded, 3)
    print(f"{'control: numpy.sort 2e6 x3 (GIL released)':50s} {one * 1e3:8.1f}ms "
          f"{two * 1e3:8.1f}ms {one / two:8.2f}x", flush=True)


if __name__ == "__main__":
    main()
