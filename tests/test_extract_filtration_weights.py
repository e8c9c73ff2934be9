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


@pytest.mark.parametrize("bad, name", [(7, "int"), (b"a", "bytes"), (("a",), "tuple"),
                                       (np.str_("a"), None)])
def test_non_str_id_is_a_type_error(ee, signals, bad, name):
    if name is None:  # numpy str_ is a str subclass and passes
        assert ee.extract_filtration_weights(signals, ["a", bad], 1).shape == (2, 40)
        return
    with pytest.raises(TypeError) as info:
        ee.extract_filtration_weights(signals, ["a", bad], 1)
    assert str(info.value) == f"Expected str, got {name}"


def test_ids_are_checked_one_by_one_in_order(ee, signals):
    with pytest.raises(TypeError):
        ee.extract_filtration_weights(signals, ["a", 7, "missing"], 1)
    with pytest.raises(KeyError) as info:
        ee.extract_filtration_weights(signals, ["a", "missing", 7], 1)
    assert info.value.args == ("missing",)


def test_none_id_passes_the_type_check(ee, signals):
    with pytest.raises(KeyError) as info:
        ee.extract_filtration_weights(signals, ["a", None], 1)
    assert info.value.args == (None,)
    signals[None] = sig(np.ones((250, 40)))
    out = ee.extract_filtration_weights(signals, ["a", None], 1)
    np.testing.assert_array_equal(out[1], np.ones(40))


def test_first_id_lookup_precedes_the_bounds_check(ee, signals):
    with pytest.raises(KeyError):
        ee.extract_filtration_weights(signals, ["missing"], 10 ** 6)
    # a non-str first id that is a key reaches the bounds check, then the type check
    signals[5] = sig(np.zeros((3, 40)))
    with pytest.raises(IndexError, match=r"valid range \[0, 3\)"):
        ee.extract_filtration_weights(signals, [5], 3)
    with pytest.raises(TypeError):
        ee.extract_filtration_weights(signals, [5], 1)


def test_dimensions_come_from_the_first_signal(ee):
    useful = {"a": sig(np.zeros((5, 3))), "short": sig(np.ones((2, 3))),
              "wide": sig(np.ones((5, 4))), "one": sig(np.arange(5.0).reshape(5, 1))}
    with pytest.raises(IndexError):
        ee.extract_filtration_weights(useful, ["a", "short"], 3)
    with pytest.raises(ValueError):
        ee.extract_filtration_weights(useful, ["a", "wide"], 1)
    out = ee.extract_filtration_weights(useful, ["a", "one"], 2)  # broadcasts as NumPy does
    np.testing.assert_array_equal(out[1], [2.0, 2.0, 2.0])


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


def test_non_ndarray_first_signal(ee):
    with pytest.raises(AttributeError):
        ee.extract_filtration_weights({"a": sig(None)}, ["a"], 0)
    with pytest.raises(ValueError, match="not enough values to unpack"):
        ee.extract_filtration_weights({"a": sig(np.zeros(4))}, ["a"], 0)
    with pytest.raises(ValueError, match="too many values to unpack"):
        ee.extract_filtration_weights({"a": sig(np.zeros((2, 2, 2)))}, ["a"], 0)
    with pytest.raises(AttributeError):
        ee.extract_filtration_weights({"a": object()}, ["a"], 0)


def test_weights_attribute_errors_propagate(ee):
    class Broken:
        @property
        def weights(self):
            raise RuntimeError("weights broke")

    with pytest.raises(RuntimeError, match="weights broke"):
        ee.extract_filtration_weights({"a": Broken()}, ["a"], 0)
    with pytest.raises(RuntimeError, match="weights broke"):
        ee.extract_filtration_weights({"a": Broken()}, [], 0)


def test_ids_changing_between_passes_fail_in_the_copy(ee, signals):
    class Shifty(list):
        def __getitem__(self, index):
            value = list.__getitem__(self, index)
            return 7 if index == 1 else value

    with pytest.raises(TypeError, match="^Expected str, got int$"):
        ee.extract_filtration_weights(signals, Shifty(["a", "b"]), 0)
