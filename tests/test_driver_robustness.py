"""Instances and contexts that misbehave: the outcome is an error or NumPy's own result,
never a crash, and the driver's arrays stay valid however they are used. (Results of any
type and leaks: test_fuzz_evaluate and test_leaks.)"""

import gc

import numpy as np
import pytest

from driver_fakes import Fn, ctx, feat, node
from tessaline.simulator_engine._types import UsefulSignal

T, N = 5, 4


def test_instances_keep_and_mutate_views(ee):
    kept = []

    class Keeper:
        def __call__(self, *rows):
            kept.extend(rows)
            for r in rows:
                r[:] = 7.0  # writes into the register file
            return rows[0]

    context = ctx(ee, [np.arange(T * N, dtype=float).reshape(T, N)])
    result = ee.evaluate(node("rotation", "f", feat("f0"), node("float", 1.0)), context,
                         bound_function_instances={"root": Keeper()})
    del context, result
    gc.collect()
    assert all(r.shape == (N,) and (r == 7.0).all() for r in kept)
    kept[0][:] = 1.0  # the register file outlives the evaluation through the views


def test_instances_that_replace_signals_universe_and_features(ee):
    signals = {k: UsefulSignal(np.full((T, N), float(i))) for i, k in enumerate("abc")}
    context = ctx(ee, [np.ones((T, N))], useful_signals=signals, universe=np.ones((T, N)))
    calls = []

    class Wild:
        def __call__(self, *rows):
            t = context.current_day_index
            calls.append(t)
            if t == 1:
                context.useful_signals = {"z": UsefulSignal(np.full((T, N), 9.0))}
            if t == 2:
                context.universe = np.ones((T, N), np.float32)  # masked through NumPy
            if t == 3:
                context.features = (np.full((T, N), 3.0),)
            return rows[0] + rows[1]

    graph = node("rotation", "f", node("reduction", "r"), feat("f0"))
    result = ee.evaluate(graph, context, bound_function_instances={"root": Wild(),
                                                                   "root.c0": Fn()})
    w = result.weights
    np.testing.assert_array_equal(w[0], np.full(N, 2.0))   # mean of 0, 1, 2 plus 1
    np.testing.assert_array_equal(w[2], np.full(N, 10.0))  # only z from row 2 on
    np.testing.assert_array_equal(w[4], np.full(N, 12.0))
    assert calls == list(range(T))


def test_universe_of_another_shape_goes_through_numpy(ee):
    context = ctx(ee, [np.ones((T, N))], validate_inputs=False, universe=np.ones((T, N + 1)))
    with pytest.raises(ValueError):
        ee.evaluate(node("rotation", "f", feat("f0")), context,
                    bound_function_instances={"root": Fn()})


def test_context_attributes_that_raise(ee):
    class Context:
        def __init__(self, real):
            vars(self).update(vars(real))

        @property
        def useful_signals(self):
            raise RuntimeError("signals unavailable")

    real = ctx(ee, [np.ones((T, N))])
    with pytest.raises(RuntimeError, match="signals unavailable"):
        ee.evaluate(node("rotation", "f", feat("f0")), Context(real),
                    bound_function_instances={"root": Fn()})
