"""Each fast path gives bit for bit the weights of the general path running the built-ins."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tessaline.functions import builtins as B
from tessaline.functions._typed_shapes import FunctionGraphNode as N
from tessaline.functions.registry import default_registry

FAST = default_registry()                 # stubs: the fast paths may stand in
REAL = default_registry(as_stubs=False)   # factories: always the general path
SETTINGS = settings(max_examples=40, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    assert a.shape == b.shape and a.dtype == b.dtype == np.float64
    nan_a, nan_b = np.isnan(a), np.isnan(b)
    np.testing.assert_array_equal(nan_a, nan_b)
    assert np.array_equal(a[~nan_a].view(np.uint64), b[~nan_b].view(np.uint64))


def rank(x):
    return N("rotation", B.RANK, [x])


def feat(name):
    return N("feature", name)


@st.composite
def panels(draw, max_t=8, max_n=10, distinct_rows=True, nan=True):
    t = draw(st.integers(1, max_t))
    n = draw(st.integers(1, max_n))
    cells = st.floats(-1e6, 1e6, allow_nan=False, allow_infinity=False).map(
        lambda v: 0.0 if v == 0 else v)
    rows = []
    for _ in range(t):
        rows.append(draw(st.lists(cells, min_size=n, max_size=n, unique=distinct_rows)))
    data = np.array(rows, dtype=np.float64).reshape(t, n)
    if nan:
        holes = draw(st.lists(st.booleans(), min_size=t * n, max_size=t * n))
        data[np.array(holes, dtype=bool).reshape(t, n)] = np.nan
    return data


def _universe(draw_bits, shape):
    bits = np.array(draw_bits, dtype=bool).reshape(shape)
    return np.where(bits, 0.0, 1.0)


def _evaluate(ee, graph, features, registry, universe=None, **kwargs):
    names = list(features)
    ctx = ee.EvaluationContext(tuple(features[n] for n in names),
                               {n: i for i, n in enumerate(names)}, registry=registry,
                               universe=universe)
    weights, states = ee.evaluate(graph, ctx, **kwargs)
    return np.asarray(weights), states, ctx


@SETTINGS
@given(data=panels(), holes=st.data())
def test_rank_and_rank_multiply_paths_match_general(ee, data, holes):
    rng = np.random.default_rng(int(np.nansum(np.abs(data))) % 2**32)
    y = rng.permutation(data.size).reshape(data.shape).astype(np.float64) * 0.37
    features = {"x": data, "y": y}
    universe = holes.draw(st.sampled_from([None, _universe(rng.random(data.size) < 0.3,
                                                           data.shape)]))
    for graph in (rank(feat("x")), N("rotation", B.PRODUCT, [rank(feat("x")), rank(feat("y"))])):
        fast, fast_states, fast_ctx = _evaluate(ee, graph, features, FAST, universe)
        general, states, ctx = _evaluate(ee, graph, features, REAL, universe)
        assert fast_states == {} and states == {}
        assert data.shape[0] == 1 or ctx.current_day_index == data.shape[0] - 1
        assert fast_ctx.current_day_index == 0
        same_bits(fast, general)


@SETTINGS
@given(data=panels(distinct_rows=False))
def test_leaf_path_matches_general(ee, data):
    graph = feat("x")
    fast, _, _ = _evaluate(ee, graph, {"x": data}, FAST)
    general, _, ctx = _evaluate(ee, graph, {"x": data}, FAST,
                                data_nan_features={"not_a_leaf"})
    assert data.shape[0] == 1 or ctx.current_day_index == data.shape[0] - 1
    same_bits(fast, general)


# (The rolling instances against the whole-matrix kernel, row by row: test_rolling_stream.)
@pytest.mark.parametrize("names,windows", [
    ((B.ROLLING_MEAN,), (3,)),
    ((B.ROLLING_STD,), (5,)),
    ((B.ROLLING_ZSCORE,), (4,)),
    ((B.ROLLING_ZSCORE, B.ROLLING_MEAN), (7, 3)),
    ((B.ROLLING_MEAN, B.ROLLING_STD, B.ROLLING_ZSCORE), (2, 6, 3)),
])
def test_longitudinal_path_matches_general(ee, names, windows):
    t = ee._LONGITUDINAL_FAST_MIN_ROWS
    rng = np.random.default_rng(len(names) * 10 + windows[0])
    data = rng.normal(size=(t, 2)) * rng.choice([1e-3, 1.0, 1e4], size=(t, 1))
    data[rng.random(data.shape) < 0.002] = np.nan
    data[1000:1100, 1] = 3.0  # flat stretch: zero deviation
    data[5, 0] = -0.0
    universe = np.ones_like(data)
    universe[2000:2010, 0] = 0.0
    graph = feat("x")
    for name, w in zip(names, windows):
        graph = N("rotation", name, [graph, N("int", w)])
    ctx = ee.EvaluationContext((data,), {"x": 0}, registry=FAST, universe=universe)
    assert ee._can_use_longitudinal_fast_path(graph, ctx, None, t)
    fast, fast_states, _ = _evaluate(ee, graph, {"x": data}, FAST, universe)
    general, states, _ = _evaluate(ee, graph, {"x": data}, REAL, universe)
    assert fast_states == {} and len(states) == len(names)
    same_bits(fast, general)


def test_general_rolling_resumes_from_states(ee):
    """Evaluating in two halves with carried states gives the single run's rows."""
    rng = np.random.default_rng(9)
    data = rng.normal(size=(60, 3))
    graph = N("rotation", B.ROLLING_ZSCORE,
              [N("rotation", B.ROLLING_MEAN, [feat("x"), N("int", 4)]), N("int", 6)])
    whole, _, _ = _evaluate(ee, graph, {"x": data}, FAST)
    head, states, _ = _evaluate(ee, graph, {"x": data[:25]}, FAST)
    tail, _, _ = _evaluate(ee, graph, {"x": data[25:]}, FAST, function_states=states)
    same_bits(np.vstack([head, tail]), whole)
