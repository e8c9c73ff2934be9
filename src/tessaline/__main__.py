"""``python -m tessaline``: build a small context and show what the evaluator returns."""

from __future__ import annotations

import sys


def main(argv=None) -> int:
    import numpy as np

    from tessaline.functions._typed_shapes import FunctionGraphNode
    from tessaline.simulator_engine import expression_evaluator as ee

    rng = np.random.default_rng(7)
    T, N = 250, 40
    close = rng.normal(size=(T, N)).cumsum(axis=0)
    universe = (rng.random((T, N)) > 0.1).astype(np.float64)
    context = ee.EvaluationContext((close,), {"close": 0}, universe=universe)
    print(f"context: {len(context.features)} feature(s), shape {context.features[0].shape}, "
          f"universe active share {universe.mean():.3f}")
    print(f"module: {ee.__name__}")
    print(f"{ee.__doc__.splitlines()[0]}")
    graph = FunctionGraphNode("feature", "close")
    if hasattr(ee, "evaluate"):
        weights, states = ee.evaluate(graph, context)
        print(f"leaf graph -> weights {weights.shape}, NaN share {np.isnan(weights).mean():.3f}, "
              f"states {states}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
