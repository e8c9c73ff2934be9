"""Cross-sectional fast paths (rank, rank-multiply, the universe-masked leaf) against the
NumPy steps they reproduce, on every kernel path the CPU runs, clean and realistic data
(see _data.py), with each call's peak memory beyond its inputs and result (see _paths.py).

    python benchmarks/bench_cross_sectional.py [--shapes 100000x100,2520x3000] [--rounds 3]
"""

from __future__ import annotations

import argparse
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

from _paths import compare, serve  # noqa: E402
from twins import apply_universe_mask, rank_matrix, rank_multiply  # noqa: E402

OPS = ("rank", "rank-multiply", "leaf")
RANK = "virtualization_runtime_transform_acbc9b"


def numpy_steps(op, a, b, universe):
    if op == "rank":
        return rank_matrix(a, universe)
    if op == "rank-multiply":
        return rank_multiply(a, b, universe)
    return np.ascontiguousarray(apply_universe_mask(a, universe))


def prepare(op, a, b, universe, store):
    from tessaline.functions._typed_shapes import FunctionGraphNode as Node
    from tessaline.simulator_engine import expression_evaluator as ee

    if "context" not in store:
        store["context"] = ee.EvaluationContext((a, b), {"a": 0, "b": 1}, universe=universe,
                                                validate_inputs=False)
    ctx = store["context"]
    if op == "leaf":
        graph = Node("feature", "a")
        return lambda: ee._evaluate_leaf_fast(graph, ctx)
    rank = Node("rotation", RANK, [Node("feature", "a")])
    if op == "rank":
        return lambda: ee._evaluate_simple_rank_fast(rank, ctx)
    graph = Node("rotation", "numerical_combine_d65e04", [rank, Node("rotation", RANK, [Node("feature", "b")])])
    return lambda: ee._evaluate_rank_multiply_fast(graph, ctx)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--shapes", default="100000x100,2520x3000")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    shapes = [tuple(int(v) for v in s.split("x")) for s in args.shapes.split(",")]
    compare(__file__, OPS, numpy_steps, shapes, args.rounds, "cross-sectional fast paths")


if __name__ == "__main__":
    if "--worker" in sys.argv:
        serve(prepare, numpy_steps)
    else:
        main()
