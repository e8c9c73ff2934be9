"""The rank-multiply fast path: detector and evaluator against the NumPy steps."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from driver_fakes import missing
from fuzz_strategies import COMBINE, RANK
from rank_reference import FactoryRegistry as Registry, assert_bits, rank_matrix, rank_multiply
from tessaline.functions._typed_shapes import FunctionGraphNode as Node
from tessaline.simulator_engine._types import EvaluationError


def operand(name, kind="feature"):
    return Node("rotation", RANK, [Node(kind, name)])


def product_graph(left="a", right="b"):
    return Node("rotation", COMBINE, [operand(left), operand(right)])


def context(ee, a, b, universe=None, **kw):
    return ee.EvaluationContext((a, b), {"a": 0, "b": 1}, universe=universe,
                                validate_inputs=False, **kw)


def test_example_rows(ee):
    a = np.array([[1.0, 2.0, 3.0], [np.nan, 4.0, np.nan]])
    b = np.array([[3.0, 2.0, 1.0], [np.nan, 9.0, np.nan]])
    ctx = context(ee, a, b)
    out = ee._evaluate_rank_multiply_fast(product_graph(), ctx)
    assert np.array_equal(out, [[0.0, 0.25, 0.0], [np.nan, 0.25, np.nan]], equal_nan=True)
    assert_bits(out, rank_multiply(a, b))
    assert ctx.registers.shape == (1, 3) and np.shares_memory(ctx.registers, out)
    assert np.array_equal(ctx.registers, out[-1:], equal_nan=True)


@pytest.mark.parametrize("tied", ["left", "right"])
def test_a_tie_declines_and_keeps_registers(ee, tied):
    rng = np.random.default_rng(0)
    a, b = rng.standard_normal((50, 300)), rng.standard_normal((50, 300))
    (a if tied == "left" else b)[-1, :2] = 0.5
    ctx = context(ee, a, b)
    ctx.registers = "before"
    assert ee._evaluate_rank_multiply_fast(product_graph(), ctx) is None
    assert ctx.registers == "before"


def test_left_tie_skips_the_right_operand(ee):
    ctx = context(ee, np.array([[1.0, 1.0]]), np.zeros((1, 2)))
    # the right operand names a missing feature: never read once the left one declines
    assert ee._evaluate_rank_multiply_fast(product_graph("a", "zz"), ctx) is None
    ctx.features = (np.array([[1.0, 2.0]]), np.zeros((1, 2)))
    with pytest.raises(EvaluationError, match=r"^Feature 'zz' not in context$"):
        ee._evaluate_rank_multiply_fast(product_graph("a", "zz"), ctx)


@pytest.mark.parametrize("left_declines", [False, True])
def test_a_replaced_rank_evaluator_ranks_the_operands(ee, monkeypatch, left_declines):
    calls = []

    def rank(graph, ctx):
        calls.append(graph.children[0].node)
        return None if left_declines else np.full((1, 2), 2.0 + len(calls))

    monkeypatch.setattr(ee, "_evaluate_simple_rank_fast", rank)
    ctx = context(ee, np.array([[1.0, 2.0]]), np.array([[2.0, 1.0]]))
    out = ee._evaluate_rank_multiply_fast(product_graph(), ctx)
    if left_declines:
        assert out is None and calls == ["a"] and ctx.registers is None
    else:
        assert calls == ["a", "b"] and out.tolist() == [[12.0, 12.0]]
        assert ctx.registers.tolist() == [[12.0, 12.0]]


def test_a_replaced_universe_mask_is_called_by_the_fast_paths(ee, monkeypatch):
    calls = []

    def mask(data, universe):
        calls.append(universe)
        return data * 10.0

    monkeypatch.setattr(ee, "_apply_universe_mask", mask)
    a = np.array([[1.0, 3.0, 2.0]])
    ctx = context(ee, a, a, universe=np.ones((1, 3)))
    assert ee._evaluate_leaf_fast(Node("feature", "a"), ctx).tolist() == [[10.0, 30.0, 20.0]]
    assert ee._feature_matrix_for_fast_path(Node("feature", "a"), ctx).tolist() == [[10.0, 30.0, 20.0]]
    assert ee._evaluate_simple_rank_fast(operand("a"), ctx).tolist() == [[0.0, 1.0, 0.5]]
    assert len(calls) == 3 and all(u is ctx.universe for u in calls)


def test_zero_rows(ee):
    ctx = context(ee, np.empty((0, 3)), np.empty((0, 3)))
    out = ee._evaluate_rank_multiply_fast(product_graph(), ctx)
    assert out.shape == (0, 3) and ctx.registers.tolist() == [[0.0, 0.0, 0.0]]


def test_same_feature_twice(ee):
    a = np.array([[3.0, 1.0, 2.0]])
    out = ee._evaluate_rank_multiply_fast(product_graph("a", "a"), context(ee, a, a))
    assert_bits(out, rank_matrix(a) * rank_matrix(a))


def test_operands_of_different_shapes_broadcast_like_numpy(ee):
    a = np.array([[1.0, 2.0, 3.0]])
    b = np.array([[3.0, 1.0, 2.0], [1.0, 2.0, 3.0]])
    out = ee._evaluate_rank_multiply_fast(product_graph(), context(ee, a, b))
    assert_bits(out, rank_matrix(a) * rank_matrix(b))
    with pytest.raises(ValueError):
        ee._evaluate_rank_multiply_fast(product_graph(), context(ee, a, np.ones((2, 2)) * [[1, 2]]))


# (3, 65534) and (3, 65535): the last width whose left positions are kept in 16 bits, and
# the first kept in 32 (in the last half of each result row instead of its last quarter);
# (700, 3001): a product above 16 MiB, rows of every alignment.
@pytest.mark.parametrize("T,N", [(1, 1), (7, 2), (500, 100), (40, 3000), (2000, 161),
                                 (3, 65534), (3, 65535), (700, 3001)])
@pytest.mark.parametrize("with_universe", [False, True])
def test_random_matches_numpy(ee, T, N, with_universe):
    rng = np.random.default_rng(T * N)
    a, b = rng.standard_normal((T, N)), rng.standard_normal((T, N))
    a[rng.random((T, N)) < 0.1] = np.nan
    b[rng.random((T, N)) < 0.1] = np.inf
    universe = np.where(rng.random((T, N)) < 0.1, np.nan, 1.0) if with_universe else None
    ctx = context(ee, a, b, universe)
    assert_bits(ee._evaluate_rank_multiply_fast(product_graph(), ctx), rank_multiply(a, b, universe))


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), T=st.integers(0, 6), N=st.integers(0, 9))
def test_hypothesis_matches_numpy(ee, seed, T, N):
    rng = np.random.default_rng(seed)
    pool = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1.5])
    a, b = rng.standard_normal((T, N)), rng.standard_normal((T, N))
    for m in (a, b):
        pick = rng.random((T, N)) < 0.3
        m[pick] = rng.choice(pool, size=(T, N))[pick]
    universe = rng.choice([1.0, 0.0, np.nan], size=(T, N)) if seed % 2 else None
    got = ee._evaluate_rank_multiply_fast(product_graph(), context(ee, a, b, universe))
    assert_bits(got, rank_multiply(a, b, universe))


# ------------------------------------------------------------------ detector

def detect(ee, graph, ctx, states=None, **kw):
    return ee._can_use_rank_multiply_fast_path(graph, ctx, states, **kw)


@pytest.mark.parametrize("graph, kw, factories, want, asked", [
    (product_graph(), {}, None, True, None),
    (Node("rotation", COMBINE, [operand("a", "aggregation"), operand("b")]),
     dict(states={}, bound_function_instances={}), (), True, [COMBINE, RANK]),
    # a registry with a factory for either function keeps the path
    (product_graph(), {}, {COMBINE}, False, [COMBINE]),
    (product_graph(), {}, {RANK}, False, [COMBINE, RANK]),
    (product_graph(), {}, {COMBINE, RANK}, False, [COMBINE]),
    # other shapes
    (Node("rotation", COMBINE, [operand("a"), operand("b"), operand("a")]), {}, None, False, None),
    (Node("rotation", COMBINE, [operand("a")]), {}, None, False, None),
    (Node("rotation", COMBINE, [Node("aggregation", "a"), operand("b")]), {}, None, False, None),
    (Node("rotation", COMBINE, [operand("a"), operand("missing")]), {}, None, False, None),
    (Node("rotation", COMBINE, [operand("a"), Node("rotation", "other", [Node("feature", "b")])]),
     {}, None, False, None),
    (Node("rotation", COMBINE, [operand("a"), Node("rotation", RANK, [Node("rotation", RANK, [])])]),
     {}, None, False, None),
    (Node("rotation", COMBINE, [operand("a"), Node("rotation", RANK, [Node("feature", "a"),
                                                                      Node("feature", "b")])]),
     {}, None, False, None),
    (Node("reduction", COMBINE, [operand("a"), operand("b")]), {}, None, False, None),
    (Node("rotation", RANK, [operand("a"), operand("b")]), {}, None, False, None),
    # arguments and context, checked before the graph is read
    ("not even a node", dict(data_nan_features={"a"}), (), False, []),
    ("not even a node", dict(states={"k": 1}), (), False, []),
    ("not even a node", dict(bound_function_instances={"root": object()}), (), False, []),
    ("not even a node", dict(attr=("useful_signals", {"s": 1})), (), False, []),
    ("not even a node", dict(attr=("transform_pipeline", [1])), (), False, []),
    ("not even a node", dict(attr=("metaparameters", {"m": "o"})), (), False, []),
])
def test_detector(ee, graph, kw, factories, want, asked):
    kw = dict(kw)
    ctx = context(ee, np.zeros((2, 2)), np.zeros((2, 2)),
                  registry=None if factories is None else Registry(factories))
    if "attr" in kw:
        setattr(ctx, *kw.pop("attr"))
    assert detect(ee, graph, ctx, kw.pop("states", None), **kw) is want
    assert asked is None or ctx.registry.asked == asked


def test_detector_child_paths_in_errors(ee):
    ctx = context(ee, np.zeros((2, 2)), np.zeros((2, 2)))
    leaf = missing("node", Node("feature", "b"))
    graph = Node("rotation", COMBINE, [operand("a"), Node("rotation", RANK, [leaf])])
    with pytest.raises(EvaluationError, match=r"^Graph node 'root.c1.c0' missing required key: node$"):
        detect(ee, graph, ctx)
    graph = Node("rotation", COMBINE, [missing("type", operand("a")), operand("b")])
    with pytest.raises(EvaluationError, match=r"^Graph node 'root.c0' missing required key: type$"):
        detect(ee, graph, ctx)
