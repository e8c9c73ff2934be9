"""The cross-sectional rank fast path: detector, evaluator, bit-exactness against the NumPy
steps (tests/rank_reference.py)."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from driver_fakes import missing
from fuzz_strategies import RANK
from rank_reference import FactoryRegistry as Registry, assert_bits, rank_matrix
from tessaline.functions._typed_shapes import FunctionGraphNode as Node
from tessaline.functions._typed_shapes import SchemaError
from tessaline.simulator_engine._types import EvaluationError


def rank_graph(name="x", kind="feature"):
    return Node("rotation", RANK, [Node(kind, name)])


def context(ee, data, universe=None, names=("x",), **kw):
    feats = data if isinstance(data, tuple) else (data,)
    return ee.EvaluationContext(feats, {n: i for i, n in enumerate(names)}, universe=universe,
                                validate_inputs=False, **kw)


def native_rank(ee, data, universe=None):
    return ee._evaluate_simple_rank_fast(rank_graph(), context(ee, data, universe))


def check(ee, data, universe=None):
    data = np.asarray(data, dtype=np.float64) if not isinstance(data, np.ndarray) else data
    want = rank_matrix(data, universe)
    assert_bits(native_rank(ee, data, universe), want)
    return want


# ------------------------------------------------------------------ examples

@pytest.mark.parametrize("row,expected", [
    ([np.nan, 7.0, np.nan], [np.nan, 0.5, np.nan]),
    ([np.nan, np.nan, 1.0, 2.0], [np.nan, np.nan, 0.0, 1.0]),  # two NaNs are no tie
    ([np.nan, 1.0, np.inf], [np.nan, 0.0, 2.0]),  # +inf counts the masked cell on its left
    ([np.inf, np.nan, 1.0], [1.0, np.nan, 0.0]),
    ([np.inf, np.inf, 0.0], [0.5, 1.0, 0.0]),  # equal infinities are not a tie
])
def test_rank_examples(ee, row, expected):
    want = check(ee, [row])
    assert np.array_equal(want[0], expected, equal_nan=True)


@pytest.mark.parametrize("convert", [
    lambda a: np.asfortranarray(a), lambda a: a.astype(np.float32), lambda a: a.astype(">f8"),
    lambda a: np.repeat(a, 2, axis=1)[:, ::2], lambda a: a[::-1], lambda a: a.tolist(),
    lambda a: np.round(np.nan_to_num(a) * 100).astype(np.int64)])  # integer ties decline
def test_layouts_and_dtypes(ee, convert):
    rng = np.random.default_rng(7)
    data = rng.standard_normal((6, 300))
    data[rng.random(data.shape) < 0.1] = np.nan
    universe = np.where(rng.random(data.shape) < 0.1, 0.0, 1.0)
    for u in (None, universe, universe[0], universe.astype(np.int8), np.asfortranarray(universe)):
        converted = convert(data)
        assert_bits(native_rank(ee, converted, u), rank_matrix(np.asarray(converted, dtype=float), u))


def test_odd_dimensions(ee):
    with pytest.raises(np.exceptions.AxisError):
        native_rank(ee, np.array([1.0, 2.0]))
    for three_d in (np.arange(24.0).reshape(2, 3, 4), np.zeros((2, 0, 3))):
        with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
            native_rank(ee, three_d)
    tied = np.arange(24.0).reshape(2, 3, 4)
    tied[1, 0, 2] = tied[1, 2, 2]  # equal along axis 1: declines before the unpacking
    assert native_rank(ee, tied) is None


# ------------------------------------------------------------------ random, bit for bit

def random_matrix(rng, T, N, nan=0.1, inf=0.0):
    data = rng.standard_normal((T, N)) * rng.choice([1e-3, 1.0, 1e6], size=(T, 1))
    data[rng.random((T, N)) < nan] = np.nan
    if inf:
        pick = rng.random((T, N)) < inf
        data[pick] = rng.choice([np.inf, -np.inf], size=int(pick.sum()))
    return data


@pytest.mark.parametrize("N", [2, 15, 100, 160, 161, 500, 3000])
@pytest.mark.parametrize("universe_kind", ["none", "matrix", "row"])
def test_random_matches_numpy(ee, N, universe_kind):
    rng = np.random.default_rng(N)
    T = max(2, 40000 // N)
    data = random_matrix(rng, T, N, nan=0.1, inf=0.02)
    data[3 % T] = np.nan
    if N > 2:
        data[1, : N - 1] = np.nan  # a row with one valid cell
    universe = rng.choice([1.0, 0.0, np.nan, -2.0, np.inf], p=[0.8, 0.05, 0.05, 0.05, 0.05],
                          size=(T, N))
    u = {"none": None, "matrix": universe, "row": universe[0]}[universe_kind]
    assert check(ee, data, u) is not None


@pytest.mark.parametrize("N", [50, 160, 2000])
def test_near_equal_values_are_ordered_exactly(ee, N):
    rng = np.random.default_rng(N)
    base = rng.choice([1.0, -1.0, 1e-300, 123456.789], size=(30, 1))
    steps = np.stack([rng.permutation(N) for _ in range(30)]).astype(np.int64)
    # neighbours one or a few units in the last place apart: equal in their high bits
    data = (base.view(np.int64) + steps).view(np.float64)
    data[:, :3] = rng.standard_normal((30, 3))
    assert check(ee, data) is not None
    tied = data.copy()
    tied[-1, 7] = tied[-1, 9]
    assert native_rank(ee, tied) is None


@pytest.mark.parametrize("N", [100, 3000])
def test_tie_in_last_row_of_a_large_matrix(ee, N):
    rng = np.random.default_rng(1)
    data = random_matrix(rng, 400000 // N, N)
    data[-1, 5] = data[-1, N - 1] = 0.25
    assert native_rank(ee, data) is None
    data[-1, 5] = -0.0
    data[-1, N - 1] = 0.0
    assert native_rank(ee, data) is None


def test_large_matrix_with_universe(ee):
    # Above 16 MiB the ranks are written around the caches in aligned steps; an odd width
    # gives the rows every alignment.
    rng = np.random.default_rng(2)
    data = random_matrix(rng, 5300, 401, inf=0.01)
    universe = np.where(rng.random(data.shape) < 0.2, 0.0, 1.0)
    check(ee, data, universe)
    check(ee, data, universe[0])


cells = st.one_of(
    st.sampled_from([np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, 5e-324]),
    st.floats(allow_nan=False, allow_infinity=False, width=64))
universe_cells = st.sampled_from([1.0, 0.0, -0.0, np.nan, -1.0, 0.5, np.inf])


@settings(max_examples=150, deadline=None)
@given(shape=hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=12), data=st.data())
def test_hypothesis_matches_numpy(ee, shape, data):
    values = data.draw(hnp.arrays(np.float64, shape, elements=cells))
    kind = data.draw(st.sampled_from(["none", "matrix", "row"]))
    universe = None
    if kind != "none":
        ushape = shape if kind == "matrix" else shape[1:]
        universe = data.draw(hnp.arrays(np.float64, ushape, elements=universe_cells))
    check(ee, values, universe)


# ------------------------------------------------------------------ evaluator errors

def test_missing_feature(ee):
    ctx = context(ee, np.zeros((2, 2)))
    with pytest.raises(EvaluationError, match=r"^Feature 'nope' not in context$"):
        ee._evaluate_simple_rank_fast(rank_graph("nope"), ctx)
    with pytest.raises(EvaluationError, match=r"^Graph node 'root.c0' missing required key: node$"):
        ee._evaluate_simple_rank_fast(Node("rotation", RANK, [missing("node", Node("feature", "x"))]), ctx)
    ctx.features = None
    with pytest.raises(TypeError):
        ee._evaluate_simple_rank_fast(rank_graph(), ctx)


# ------------------------------------------------------------------ detector

def test_detector_accepts_rank_of_a_leaf(ee):
    ctx = context(ee, np.zeros((2, 2)))
    assert ee._can_use_simple_rank_fast_path(rank_graph(), ctx, None) is True
    assert ee._can_use_simple_rank_fast_path(rank_graph("absent", "aggregation"), ctx, {}) is True
    ctx.registry = Registry()
    assert ee._can_use_simple_rank_fast_path(rank_graph(), ctx, None) is True
    assert ctx.registry.asked == [RANK]
    ctx.registry = Registry([RANK])
    assert ee._can_use_simple_rank_fast_path(rank_graph(), ctx, None) is False


@pytest.mark.parametrize("change", [
    dict(states={"k": 1}), dict(dnf={"x"}), dict(attr=("useful_signals", {"s": 1})),
    dict(attr=("transform_pipeline", [object()])), dict(attr=("metaparameters", {"a": "b"})),
    dict(graph=Node("rotation", "other", [Node("feature", "x")])),
    dict(graph=Node("reduction", RANK, [Node("feature", "x")])),
    dict(graph=Node("rotation", RANK, [Node("feature", "x"), Node("feature", "x")])),
    dict(graph=Node("rotation", RANK, [])),
    dict(graph=Node("rotation", RANK, [rank_graph()])),
])
def test_detector_refusals(ee, change):
    ctx = context(ee, np.zeros((2, 2)))
    if "attr" in change:
        setattr(ctx, *change["attr"])
    ctx.registry = Registry()
    graph = change.get("graph", rank_graph())
    assert ee._can_use_simple_rank_fast_path(graph, ctx, change.get("states"),
                                             data_nan_features=change.get("dnf")) is False
    assert ctx.registry.asked == []  # the registry is asked last


def test_detector_check_order(ee):
    ctx = context(ee, np.zeros((2, 2)))
    assert ee._can_use_simple_rank_fast_path("not a node", ctx, {"s": 1}) is False
    ctx.metaparameters = {"m": "o"}
    assert ee._can_use_simple_rank_fast_path("not a node", ctx, None) is False
    ctx.metaparameters = {}
    with pytest.raises(SchemaError, match="'field-check'"):
        ee._can_use_simple_rank_fast_path("not a node", ctx, None)
    leaf = missing("type", Node("feature", "x"))
    with pytest.raises(EvaluationError, match=r"^Graph node 'root.c0' missing required key: type$"):
        ee._can_use_simple_rank_fast_path(Node("rotation", RANK, [leaf]), ctx, None)
    # a wrong root value stops before the children are read
    assert ee._can_use_simple_rank_fast_path(Node("rotation", "other", [leaf]), ctx, None) is False


def test_foreign_numpy_results_do_not_crash(ee, monkeypatch):
    class FakeNumpy:
        float64 = np.float64
        nan = np.nan

        def __getattr__(self, name):
            if name in ("asarray", "ascontiguousarray", "where"):
                return lambda *a, **k: [[3.0, 1.0, 2.0]]
            return getattr(np, name)

    monkeypatch.setattr(ee, "np", FakeNumpy())
    data = np.array([[3.0, 1.0, 2.0]], dtype=np.float32)
    out = ee._evaluate_simple_rank_fast(rank_graph(), context(ee, data, np.array([1, 1, 1])))
    assert out.tolist() == [[1.0, 0.0, 0.5]]
    out = ee._evaluate_simple_rank_fast(rank_graph(), context(ee, data))
    assert out.tolist() == [[1.0, 0.0, 0.5]]
