import types
import warnings

import numpy as np
import pytest


def sig(weights):
    return types.SimpleNamespace(weights=weights)


@pytest.fixture
def signals():
    rng = np.random.default_rng(7)
    return {name: sig(rng.standard_normal((250, 40))) for name in ("a", "b", "c", "d")}


def test_rows_follow_passing_ids_order(ee, signals):
    ids = ["c", "a", "d", "c"]
    out = ee.extract_filtration_weights(signals, ids, 249)
    assert out.shape == (4, 40) and out.dtype == np.float64 and out.flags.c_contiguous
    np.testing.assert_array_equal(out, np.stack([signals[s].weights[249] for s in ids]))
    assert not np.shares_memory(out, signals["c"].weights)


@pytest.mark.parametrize("useful, shape", [
    ({}, (0, 0)), (None, (0, 0)), ({"a": sig(np.zeros((250, 40)))}, (0, 40)),
])
@pytest.mark.parametrize("ids", [[], (), None])
def test_empty_passing_ids(ee, useful, shape, ids):
    out = ee.extract_filtration_weights(useful, ids, 10 ** 6)
    assert out.shape == shape and out.dtype == np.float64


@pytest.mark.parametrize("t, error", [
    (250, IndexError), (-1, IndexError), (1000, IndexError), (-(2 ** 31), IndexError),
    (2 ** 31, OverflowError), (-(2 ** 31) - 1, OverflowError), (1.0, TypeError),
    ("1", TypeError), (None, TypeError), (np.int64(3), None)])
def test_t_is_a_c_int_within_bounds(ee, signals, t, error):
    if error is None:  # index objects are taken
        out = ee.extract_filtration_weights(signals, ["a"], t=t)
        np.testing.assert_array_equal(out[0], signals["a"].weights[3])
        return
    with pytest.raises(error) as info:
        ee.extract_filtration_weights(signals, ["a", "b"], t)
    if error is IndexError:
        assert str(info.value) == f"t={t} out of bounds for weights array with valid range [0, 250)"


class Broken:
    @property
    def weights(self):
        raise RuntimeError("weights broke")


class Shifty(list):
    """Ids whose second item changes between the check and the copy."""

    def __getitem__(self, index):
        value = list.__getitem__(self, index)
        return 7 if index == 1 else value


def pool(**extra):
    rng = np.random.default_rng(7)
    return {name: sig(rng.standard_normal((250, 40))) for name in "ab"} | extra


@pytest.mark.parametrize("useful, ids, t, error, match", [
    (pool(), ["a", 7], 1, TypeError, "^Expected str, got int$"),
    (pool(), ["a", b"a"], 1, TypeError, "^Expected str, got bytes$"),
    (pool(), ["a", ("a",)], 1, TypeError, "^Expected str, got tuple$"),
    (pool(), Shifty(["a", "b"]), 0, TypeError, "^Expected str, got int$"),
    # ids are checked one by one, in order; None passes the type check
    (pool(), ["a", 7, "missing"], 1, TypeError, None),
    (pool(), ["a", "missing", 7], 1, KeyError, "^'missing'$"),
    (pool(), ["a", None], 1, KeyError, "^None$"),
    # the first id is looked up before the bounds check; a non-str key reaches the bounds
    # check, then the type check
    (pool(), ["missing"], 10 ** 6, KeyError, None),
    ({5: sig(np.zeros((3, 40)))}, [5], 3, IndexError, r"valid range \[0, 3\)"),
    ({5: sig(np.zeros((3, 40)))}, [5], 1, TypeError, None),
    # dimensions come from the first signal; the others are assigned as NumPy does
    (pool(short=sig(np.ones((2, 40)))), ["a", "short"], 3, IndexError, None),
    (pool(wide=sig(np.ones((250, 41)))), ["a", "wide"], 1, ValueError, None),
    # a first signal without a weight matrix
    ({"z": sig(None)}, ["z"], 0, AttributeError, None),
    ({"z": sig(np.zeros(4))}, ["z"], 0, ValueError, "not enough values to unpack"),
    ({"z": sig(np.zeros((2, 2, 2)))}, ["z"], 0, ValueError, "too many values to unpack"),
    ({"z": object()}, ["z"], 0, AttributeError, None),
    ({"z": Broken()}, ["z"], 0, RuntimeError, "weights broke"),
    ({"z": Broken()}, [], 0, RuntimeError, "weights broke"),
])
def test_errors_and_their_order(ee, useful, ids, t, error, match):
    with pytest.raises(error, match=match):
        ee.extract_filtration_weights(useful, ids, t)


def test_str_subclass_and_none_ids_and_broadcast_rows(ee):
    useful = pool(one=sig(np.arange(250.0).reshape(250, 1)))
    useful[None] = sig(np.ones((250, 40)))
    out = ee.extract_filtration_weights(useful, ["a", np.str_("b"), None, "one"], 2)
    np.testing.assert_array_equal(out[1:], [useful["b"].weights[2], np.ones(40), [2.0] * 40])


@pytest.mark.parametrize("make", [
    lambda w: w.astype(np.float32),
    lambda w: w.astype(np.int64),
    lambda w: w.astype(">f8"),
    lambda w: np.asfortranarray(w),
    lambda w: w[:, ::-1],
    lambda w: w.astype(object),
    lambda w: w.astype(np.float16),
    lambda w: np.ma.masked_array(w),
    lambda w: w.tolist(),
])
def test_other_layouts_and_dtypes_match_numpy_row_assignment(ee, make):
    base = (np.arange(60, dtype=np.float64).reshape(6, 10) - 30.5) / 3.0
    weights = make(base)
    useful = {"ref": sig(base), "x": sig(weights)}
    out = ee.extract_filtration_weights(useful, ["ref", "x"], 4)
    expected = np.empty((2, 10))
    expected[0] = base[4]
    expected[1] = weights[4]
    assert out.tobytes() == expected.tobytes()


def test_complex_weights_warn_as_numpy_does(ee):
    base = np.ones((3, 2))
    useful = {"ref": sig(base), "z": sig(base * (1 + 2j))}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = ee.extract_filtration_weights(useful, ["ref", "z"], 0)
    assert out[1].tolist() == [1.0, 1.0] and caught


def test_special_values_are_copied_bit_for_bit(ee):
    w = np.array([[np.nan, -0.0, np.inf, -np.inf, 5e-324]])
    w = np.concatenate([w, w])
    nan_payload = np.frombuffer(np.uint64(0x7FF8000000000123).tobytes(), np.float64)[0]
    w[1, 0] = nan_payload
    out = ee.extract_filtration_weights({"a": sig(w)}, ["a", "a"], 1)
    assert out.tobytes() == np.stack([w[1], w[1]]).tobytes()
