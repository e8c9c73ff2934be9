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


def same_bits(a, b):  # NaN payloads aside
    a, b = np.asarray(a), np.asarray(b)
    assert a.shape == b.shape and a.dtype == b.dtype == np.float64
    nan_a, nan_b = np.isnan(a), np.isnan(b)
    np.testing.assert_array_equal(nan_a, nan_b)
    assert np.array_equal(a[~nan_a].view(np.uint64), b[~nan_b].view(np.uint64))


def rank(name):
    return N("rotation", B.RANK, [N("feature", name)])


def _evaluate(ee, graph, features, registry, universe=None):
    ctx = ee.EvaluationContext(features, dict(zip("xy", range(len(features)))),
                               registry=registry, universe=universe)
    weights, states = ee.evaluate(graph, ctx)
    return np.asarray(weights), states, ctx


@st.composite
def panels(draw):
    """Rows of distinct finite values (signed zeros folded) with NaN holes."""
    t, n = draw(st.integers(1, 8)), draw(st.integers(1, 10))
    cells = st.floats(-1e6, 1e6, allow_nan=False, allow_infinity=False).map(
        lambda v: 0.0 if v == 0 else v)
    data = np.array([draw(st.lists(cells, min_size=n, max_size=n, unique=True))
                     for _ in range(t)], dtype=np.float64).reshape(t, n)
    data[np.array(draw(st.lists(st.booleans(), min_size=t * n, max_size=t * n)),
                  dtype=bool).reshape(t, n)] = np.nan
    return data


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=panels(), masked=st.booleans())
def test_rank_and_rank_multiply_paths_match_general(ee, data, masked):
    rng = np.random.default_rng(int(np.nansum(np.abs(data))) % 2**32)
    y = rng.permutation(data.size).reshape(data.shape).astype(np.float64) * 0.37
    universe = np.where(rng.random(data.shape) < 0.3, 0.0, 1.0) if masked else None
    for graph in (rank("x"), N("rotation", B.PRODUCT, [rank("x"), rank("y")])):
        fast, fast_states, fast_ctx = _evaluate(ee, graph, (data, y), FAST, universe)
        general, states, ctx = _evaluate(ee, graph, (data, y), REAL, universe)
        assert fast_states == {} and states == {}
        assert data.shape[0] == 1 or ctx.current_day_index == data.shape[0] - 1
        assert fast_ctx.current_day_index == 0
        same_bits(fast, general)


# (The rolling instances against the whole-matrix kernel, row by row: test_rolling_stream.)
@pytest.mark.parametrize("names,windows", [
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
    graph = N("feature", "x")
    for name, w in zip(names, windows):
        graph = N("rotation", name, [graph, N("int", w)])
    fast, fast_states, ctx = _evaluate(ee, graph, (data,), FAST, universe)
    assert ee._can_use_longitudinal_fast_path(graph, ctx, None, t)
    general, states, _ = _evaluate(ee, graph, (data,), REAL, universe)
    assert fast_states == {} and len(states) == len(names)
    same_bits(fast, general)
