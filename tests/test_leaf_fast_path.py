"""Universe masking, the leaf fast path and the fast-path feature loader."""

import numpy as np
import pytest

from driver_fakes import missing
from rank_reference import apply_universe_mask as reference_mask
from tessaline.functions._typed_shapes import FunctionGraphNode as Node
from tessaline.functions._typed_shapes import SchemaError
from tessaline.simulator_engine._types import EvaluationError


def same_array(got, want):
    assert type(got) is type(want)
    assert got.dtype == want.dtype and got.shape == want.shape
    assert got.strides == want.strides
    assert got.tobytes() == want.tobytes()


def context(ee, features, names=None, universe=None, **kw):
    names = names or [f"f{i}" for i in range(len(features))]
    return ee.EvaluationContext(tuple(features), {n: i for i, n in enumerate(names)},
                                universe=universe, validate_inputs=False, **kw)


# ------------------------------------------------------------------ _apply_universe_mask

def test_mask_none_returns_the_same_object(ee):
    data = np.arange(6.0).reshape(2, 3)
    assert ee._apply_universe_mask(data, None) is data
    odd = object()
    assert ee._apply_universe_mask(odd, None) is odd


def _mask_cases():
    rng = np.random.default_rng(3)
    d = rng.standard_normal((5, 4))
    d[0, 0] = np.nan
    d[1, 1] = -0.0
    u = rng.choice([0.0, np.nan, 1.0, -2.0, np.inf, -0.0], size=(5, 4))
    negnan = np.frombuffer(np.uint64(0xFFF8000000000001).tobytes(), dtype=np.float64)[0]
    d2 = d.copy()
    d2[2, 2] = negnan  # a data NaN keeps its own bits where the cell stays active
    return [
        ("same shape", d2, u),
        ("column universe", d, u[:, :1]),
        ("broadcast up", d[0], u),
        ("scalar universe", d, np.float64(0.0)),
        ("python list universe", d[0], [0.0, 1.0, np.nan, 2.0]),
        ("big endian", d.astype(">f8"), u),
        ("odd width", d2[:, :3], u[:, :3].copy()),
    ]


@pytest.mark.parametrize("label,data,universe", _mask_cases(), ids=lambda v: v if isinstance(v, str) else "")
def test_mask_matches_numpy(ee, label, data, universe):
    same_array(ee._apply_universe_mask(data, universe), reference_mask(data, universe))


def test_mask_large_matrix_matches_numpy(ee):
    rng = np.random.default_rng(5)
    data = rng.standard_normal((3000, 1000))
    universe = rng.choice([0.0, np.nan, 1.0], size=data.shape)
    same_array(ee._apply_universe_mask(data, universe), reference_mask(data, universe))
    same_array(ee._apply_universe_mask(data, universe[7]), reference_mask(data, universe[7]))


# (Other dtypes, layouts and shapes: test_fuzz_entry_points compares with NumPy byte for byte.)
def test_mask_errors_are_numpys(ee):
    with pytest.raises(ValueError):
        ee._apply_universe_mask(np.zeros((3, 4)), np.ones(3))
    with pytest.raises(TypeError):
        ee._apply_universe_mask(np.zeros(2), np.array(["a", "b"], dtype=object))


def test_mask_fallback_uses_module_numpy(ee, monkeypatch):
    calls = []

    class SpyNumpy:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    monkeypatch.setattr(ee, "np", SpyNumpy())
    ee._apply_universe_mask(np.zeros(3), np.array([1, 0, 1]))
    assert calls == ["isnan", "where", "nan"]


# ------------------------------------------------------------------ leaf detector

@pytest.mark.parametrize("kind, name, states, dnf, want", [
    ("feature", "x", None, None, True), ("aggregation", "x", None, None, True),
    ("feature", "y", {}, None, False), ("aggregation", "y", {}, None, False),
    ("feature", "x", {"k": 1}, None, False), ("feature", "x", None, {"x"}, False),
    ("feature", "x", None, ["x"], False), ("rotation", "x", None, None, False),
])
def test_leaf_detector(ee, kind, name, states, dnf, want):
    # Signals, metaparameters and the registry do not matter to a leaf.
    ctx = context(ee, [np.zeros((2, 2))], ["x"], metaparameters={"s": "o"},
                  useful_signals={"a": object()}, registry=object())
    assert ee._can_use_leaf_fast_path(Node(kind, name), ctx, states,
                                      data_nan_features=dnf) is want


def test_leaf_detector_check_order(ee):
    ctx = context(ee, [np.zeros((2, 2))], ["x"])
    # Cheap argument checks come before any node access.
    assert ee._can_use_leaf_fast_path({"type": "feature"}, ctx, {"s": 1}) is False
    with pytest.raises(SchemaError, match=r"^Graph node 'field-check' must be FunctionGraphNode; got dict$"):
        ee._can_use_leaf_fast_path({"type": "feature"}, ctx, None)
    with pytest.raises(EvaluationError, match=r"^Graph node 'root' missing required key: node$"):
        ee._can_use_leaf_fast_path(missing("node", Node("feature", "x")), ctx, None)
    # The type is read before the node value: a non-leaf never reaches the missing value.
    assert ee._can_use_leaf_fast_path(missing("node", Node("rotation", "x")), ctx, None) is False


# ------------------------------------------------------------------ leaf evaluator

def test_leaf_without_universe_returns_the_stored_matrix(ee):
    data = np.arange(6.0).reshape(3, 2)
    ctx = context(ee, [data], ["x"])
    out = ee._evaluate_leaf_fast(Node("feature", "x"), ctx)
    assert out is data
    assert ctx.registers.shape == (1, 2) and np.shares_memory(ctx.registers, out)
    assert ctx.registers.tolist() == [[4.0, 5.0]]


def test_leaf_with_universe_masks_and_copies(ee):
    data = np.arange(6.0).reshape(3, 2)
    universe = np.array([[1.0, 0.0], [np.nan, 1.0], [np.inf, -1.0]])
    ctx = context(ee, [data], ["x"], universe=universe)
    out = ee._evaluate_leaf_fast(Node("aggregation", "x"), ctx)
    same_array(out, reference_mask(data, universe))
    assert ctx.registers.tolist() == [[4.0, 5.0]] and ctx.registers.flags.c_contiguous


@pytest.mark.parametrize("data", [np.arange(6).reshape(3, 2),
                                  np.asfortranarray(np.arange(6.0).reshape(3, 2)),
                                  np.arange(12.0).reshape(3, 4)[:, ::2]])
def test_leaf_converts_to_contiguous_float64(ee, data):
    ctx = context(ee, [data], ["x"])
    out = ee._evaluate_leaf_fast(Node("feature", "x"), ctx)
    assert out.dtype == np.float64 and out.flags.c_contiguous
    assert out.tolist() == np.asarray(data, dtype=float).tolist()


def test_leaf_zero_rows_sets_zero_registers(ee):
    ctx = context(ee, [np.empty((0, 5))], ["x"])
    out = ee._evaluate_leaf_fast(Node("feature", "x"), ctx)
    assert out.shape == (0, 5)
    assert ctx.registers.dtype == np.float64 and ctx.registers.tolist() == [[0.0] * 5]


def test_leaf_failures_leave_registers_alone(ee):
    ctx = context(ee, [np.zeros((2, 2))], ["x"], universe=np.ones(3))
    ctx.registers = "before"
    with pytest.raises(ValueError):
        ee._evaluate_leaf_fast(Node("feature", "x"), ctx)
    with pytest.raises(KeyError):
        ee._evaluate_leaf_fast(Node("feature", "nope"), ctx)
    with pytest.raises(IndexError):  # a one-dimensional feature has no second axis
        ee._evaluate_leaf_fast(Node("feature", "x"), context(ee, [np.zeros(3)], ["x"]))
    ctx.feature_index = None
    with pytest.raises(TypeError):
        ee._evaluate_leaf_fast(Node("feature", "x"), ctx)
    assert ctx.registers == "before"


# ------------------------------------------------------------------ feature loader

def test_feature_matrix_masks_and_is_contiguous(ee):
    data = np.asfortranarray(np.arange(6.0).reshape(2, 3))
    ctx = context(ee, [np.zeros((2, 3)), data], ["a", "b"], universe=np.array([1.0, 0.0, 1.0]))
    out = ee._feature_matrix_for_fast_path(Node("feature", "b"), ctx)
    assert out.flags.c_contiguous and out.dtype == np.float64
    assert np.array_equal(out, [[0, np.nan, 2], [3, np.nan, 5]], equal_nan=True)
    assert ctx.registers is None
    with pytest.raises(EvaluationError, match=r"^Feature 'zz' not in context$"):
        ee._feature_matrix_for_fast_path(Node("feature", "zz"), ctx)
    with pytest.raises(EvaluationError, match=r"^Graph node 'fast_path.feature' missing required key: node$"):
        ee._feature_matrix_for_fast_path(missing("node", Node("feature", "b")), ctx)
