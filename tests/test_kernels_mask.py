"""Universe masking against NumPy byte for byte (NaN payloads and signed zeros included), for
inputs of any dtype, layout and shape, and the leaf fast path built on it."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from fakes import arrays, fuzz_settings, missing, outcome
from tessaline.functions._typed_shapes import FunctionGraphNode as Node
from tessaline.simulator_engine._types import EvaluationError
from twins import apply_universe_mask

FLOATS = (np.float64,) * 4 + (np.float32, np.int8, np.bool_)


def same_array(got, want):
    assert type(got) is type(want) and (got.dtype, got.shape, got.strides) == (want.dtype, want.shape, want.strides)
    if want.dtype == object:
        assert list(map(repr, got.ravel())) == list(map(repr, want.ravel()))
    else:
        assert got.tobytes() == want.tobytes()


@fuzz_settings(300)
@given(data=st.one_of(arrays(), arrays(dtypes=(np.float64,))), pick=st.data())
def test_mask_matches_numpy_on_any_array(ee, data, pick):
    fitting = st.sampled_from((data.shape, data.shape[-1:]))
    universe = pick.draw(st.one_of(st.none(), arrays(), *[fitting.flatmap(
        lambda s: arrays(shape=s, dtypes=FLOATS))] * 4))
    kind, got = outcome(ee._apply_universe_mask, data, universe)
    if universe is None:
        assert kind == "ok" and got is data
        return
    try:
        with np.errstate(all="ignore"):
            expected = np.where((universe == 0.0) | np.isnan(universe), np.nan, data)
    except Exception as exc:
        assert kind == "raised", f"NumPy raised {exc!r}, the module returned"
        return
    assert kind == "ok", got
    same_array(got, expected)


def test_mask_special_cells_and_large_matrices(ee):
    rng = np.random.default_rng(3)
    d = rng.standard_normal((5, 4))
    d[0, 0], d[1, 1] = np.nan, -0.0
    d[2, 2] = np.frombuffer(np.uint64(0xFFF8000000000001).tobytes(), dtype=np.float64)[0]
    u = rng.choice([0.0, np.nan, 1.0, -2.0, np.inf, -0.0], size=(5, 4))
    big = rng.standard_normal((3000, 1000))
    big_u = rng.choice([0.0, np.nan, 1.0], size=big.shape)
    for data, universe in [(d, u), (d, u[:, :1]), (d[0], u), (d, np.float64(0.0)), (d.astype(">f8"), u),
                           (d[:, :3], u[:, :3].copy()), (big, big_u), (big, big_u[7])]:
        same_array(ee._apply_universe_mask(data, universe), apply_universe_mask(data, universe))
    out = ee._apply_universe_mask(d[0], [0.0, 1.0, np.nan, 2.0])
    assert np.array_equal(out, [np.nan, d[0, 1], np.nan, d[0, 3]], equal_nan=True)


def _ctx(ee, data, universe=None, names=("x",)):
    return ee.EvaluationContext(tuple(data), {n: i for i, n in enumerate(names)}, universe=universe,
                                validate_inputs=False)


def test_leaf_failures_leave_the_registers_alone(ee):
    c = _ctx(ee, [np.zeros((2, 2))], np.ones(3))
    c.registers = "before"
    for graph, context, error in [(Node("feature", "x"), c, ValueError), (Node("feature", "nope"), c, KeyError),
                                  (Node("feature", "x"), _ctx(ee, [np.zeros(3)]), IndexError)]:
        with pytest.raises(error):
            ee._evaluate_leaf_fast(graph, context)
    assert c.registers == "before"
    data = np.asfortranarray(np.arange(6.0).reshape(2, 3))
    c = _ctx(ee, [np.zeros((2, 3)), data], np.array([1.0, 0.0, 1.0]), ["a", "b"])
    out = ee._feature_matrix_for_fast_path(Node("feature", "b"), c)
    assert out.flags.c_contiguous and np.array_equal(out, [[0, np.nan, 2], [3, np.nan, 5]], equal_nan=True)
    with pytest.raises(EvaluationError, match=r"^Feature 'zz' not in context$"):
        ee._feature_matrix_for_fast_path(Node("feature", "zz"), c)
    with pytest.raises(EvaluationError, match=r"^Graph node 'fast_path.feature' missing required key: node$"):
        ee._feature_matrix_for_fast_path(missing("node", Node("feature", "b")), c)
