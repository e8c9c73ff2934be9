"""Whole-matrix rolling kernels: bit-identical to the NumPy long-double steps; their large
results come from a small pool of freed buffers."""

import gc

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from rolling_twin import MEAN, STD, ZSCORE, same_bytes, twin

NAMES = [MEAN, STD, ZSCORE]
POS_NAN = 0x7FF8000000000000
NEG_NAN = 0xFFF8000000000000


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def col(*values):
    return np.array(values, dtype=np.float64).reshape(-1, 1)


@pytest.mark.parametrize("name,data,window,want", [
    (MEAN, (1, 2, 3, 4), 3, [np.nan, np.nan, 2.0, 3.0]),
    (STD, (1, 2, 3, 4), 3, [np.nan, np.nan, 0.816496580927726, 0.816496580927726]),
    (ZSCORE, (1, 2, 3, 4), 3, [np.nan, np.nan, 1.224744871391589, 1.224744871391589]),
    (MEAN, (1, np.nan, 3, 4, 5), 2, [np.nan, np.nan, np.nan, 3.5, 4.5]),  # a NaN in the window
])
def test_small_column(ee, name, data, window, want):
    got = ee._rolling_longitudinal_fast(col(*data), window, name)
    np.testing.assert_allclose(got.ravel(), want, rtol=1e-15)
    same_bytes(got, twin(col(*data), window, name))


@pytest.mark.parametrize("name", [STD, ZSCORE])
def test_constant_column_gives_positive_zero(ee, name):
    got = ee._rolling_longitudinal_fast(col(5, 5, 5), 2, name)
    assert bits(got).ravel().tolist() == [POS_NAN, 0, 0]


def test_first_value_negative_zero_survives_the_running_total(ee):
    # the running total starts as a copy of the first value; the leading zero row is +0.0
    got = ee._rolling_longitudinal_fast(col(-0.0, -0.0, 1.0), 1, MEAN)
    assert np.signbit(got[0, 0]) and not np.signbit(got[1, 0])  # -0.0 - (-0.0) is +0.0
    same_bytes(got, twin(col(-0.0, -0.0, 1.0), 1, MEAN))


@pytest.mark.parametrize("name", NAMES)
def test_infinity_poisons_later_windows_with_a_negative_nan(ee, name):
    # once the running total is inf, window differences are inf - inf: the x87 default NaN
    data = col(np.inf, 1.0, 2.0, 3.0)
    got = ee._rolling_longitudinal_fast(data, 2, name)
    assert bits(got)[0, 0] == POS_NAN
    assert bits(got)[2:, 0].tolist() == [NEG_NAN, NEG_NAN]
    same_bytes(got, twin(data, 2, name))


@pytest.mark.parametrize("name", NAMES)
def test_infinite_cells_across_row_blocks(ee, name):
    # Sums that infinite cells made +inf, -inf or NaN are carried over row blocks and
    # tiles without x87 arithmetic; the windows that hold such cells, those after them and
    # those after both signs still give the arithmetic's values.
    rng = np.random.default_rng(4)
    data = rng.normal(size=(300, 12))
    for row, column, value in [(0, 0, np.inf), (3, 1, -np.inf), (10, 2, np.inf),
                               (200, 2, -np.inf), (63, 3, np.inf), (64, 4, -np.inf),
                               (299, 5, np.inf), (40, 6, np.inf), (41, 6, np.nan),
                               (120, 7, np.inf), (121, 7, np.inf), (5, 8, np.nan)]:
        data[row, column] = value
    for window in (1, 2, 5, 64, 65, 250):
        same_bytes(ee._rolling_longitudinal_fast(data, window, name), twin(data, window, name))
    got = ee._rolling_longitudinal_fast(data, 5, name)
    if name == MEAN:  # the window that holds the cell is inf; the later ones are inf - inf
        assert got[4, 0] == np.inf and got[66, 4] == -np.inf
    assert (bits(got)[5:, 0] == NEG_NAN).all()


@pytest.mark.parametrize("name", NAMES)
def test_subnormal_cells_and_results(ee, name):
    # Columns that meet subnormal values move them around the x87 unit's slow path; the
    # values (rounding to nearest-even on the subnormal grid, signed zeros, rounding up to
    # the smallest normal) are the arithmetic's.
    rng = np.random.default_rng(6)
    data = rng.normal(size=(300, 9))
    data[:, 0] *= 1e-310
    data[:, 1] *= 1e-321
    data[:, 2] = 5e-324
    data[:, 3] = -rng.integers(1, 4, 300) * 5e-324
    data[100:, 4] *= 1e-312  # subnormal from a later tile on
    data[5:, 5] *= 1e-309  # and after the first rows
    data[:, 6] = np.where(rng.random(300) < 0.5, 2.2250738585072014e-308, -2.225073858507201e-308)
    data[:, 7] = np.where(rng.random(300) < 0.2, -5e-324, 0.0)  # means that round to -0.0
    data[rng.random((300, 9)) < 0.02] = np.nan
    for window in (1, 2, 5, 64, 65, 250):
        same_bytes(ee._rolling_longitudinal_fast(data, window, name), twin(data, window, name))


def test_values_beyond_double_range_stay_finite_in_long_double(ee):
    data = col(1e300, -1e300, 3e300, 1e-300, 2.0)
    for name in NAMES:
        same_bytes(ee._rolling_longitudinal_fast(data, 2, name), twin(data, 2, name))
    assert np.isfinite(ee._rolling_longitudinal_fast(data, 2, STD)[1:]).all()


def test_any_other_name_is_the_z_score(ee):
    data = np.random.default_rng(5).normal(size=(9, 2))
    same_bytes(ee._rolling_longitudinal_fast(data, 3, "anything"), twin(data, 3, ZSCORE))


class _Name:
    """A name whose comparison fails: it is compared only once something is computable."""

    def __eq__(self, other):
        raise LookupError("compared")

    __hash__ = object.__hash__


def test_name_is_compared_only_when_a_cell_is_computable(ee):
    nothing = np.array([[1.0, np.nan], [np.nan, 2.0]])
    got = ee._rolling_longitudinal_fast(nothing, 2, _Name())
    assert (bits(got) == POS_NAN).all()
    with pytest.raises(LookupError):
        ee._rolling_longitudinal_fast(np.ones((2, 2)), 2, _Name())


@pytest.mark.parametrize("make", [
    lambda d: np.asfortranarray(d),
    lambda d: np.hstack([d, d])[:, ::2],          # strided columns
    lambda d: np.hstack([d, d])[:, :d.shape[1]],  # contiguous rows, wider row stride
    lambda d: d[::-1],                            # negative row stride
    lambda d: d.astype(np.float32),
    lambda d: d.astype(">f8"),
    lambda d: d.tolist(),
    lambda d: np.round(np.nan_to_num(d) * 10).astype(np.int64),
])
def test_input_layouts_and_dtypes(ee, make):
    rng = np.random.default_rng(11)
    base = rng.normal(size=(40, 5))
    base[rng.random(base.shape) < 0.05] = np.nan
    data = make(base)
    ref = np.asarray(data, dtype=np.float64)
    for name in NAMES:
        same_bytes(ee._rolling_longitudinal_fast(data, 4, name), twin(ref, 4, name))


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("shape,offset", [((1500, 24), 0), ((900, 37), 3), ((300, 301), 0),
                                          ((290, 299), 5)])
def test_large_matrices_split_over_threads(ee, name, shape, offset):
    rng = np.random.default_rng(shape[1])
    # an offset in doubles from the buffer start moves the rows off cache-line boundaries
    data = np.empty(shape[0] * shape[1] + offset)[offset:].reshape(shape)
    data[:] = rng.normal(size=shape) * rng.choice([1e-4, 1.0, 1e6], size=(1, shape[1]))
    data[rng.random(shape) < 0.01] = np.nan
    data[rng.random(shape) < 0.001] = np.inf
    data[100:140, 3] = 7.0
    for window in (1, 20, 250):
        same_bytes(ee._rolling_longitudinal_fast(data, window, name), twin(data, window, name))


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("shape", [(700, 19), (400, 300), (400, 2048)])
def test_sparse_nans_around_row_block_edges(ee, name, shape):
    # Runs of rows without NaN take a loop without NaN tests; the NaN cells sit on either
    # side of the edges of those runs (every 64 rows, every 8 for rows of 2048 columns),
    # in the rows entering and leaving the windows, and a few columns hold none at all.
    rng = np.random.default_rng(shape[1] + 1)
    data = rng.normal(size=shape)
    for row, column in [(0, 0), (63, 1), (64, 2), (127, 3), (128, 4), (191, 5), (300, 1),
                        (320, 6), (383, 7), (384, 8), (385, 8), (399, 9)]:
        data[row, column] = np.nan
    data[rng.random(shape) < 0.0005] = np.nan
    data[200:260, 10] = 3.0  # constant run: zero variance past the NaN-free windows
    for window in (1, 2, 20, 64, 65, 200):
        same_bytes(ee._rolling_longitudinal_fast(data, window, name), twin(data, window, name))


# ---------------------------------------------------------------------------- errors

@pytest.mark.parametrize("data,message", [
    (np.arange(4.0), "not enough values to unpack (expected 2, got 1)"),
    (np.float64(3.0), "not enough values to unpack (expected 2, got 0)"),
    (np.zeros((2, 2, 2)), "too many values to unpack (expected 2)"),
])
def test_data_must_be_two_dimensional(ee, data, message):
    with pytest.raises(ValueError) as info:
        ee._rolling_longitudinal_fast(data, 2, MEAN)
    assert str(info.value) == message


@pytest.mark.parametrize("window,error", [
    (2.0, TypeError), (None, TypeError), ("2", TypeError), (0, ValueError), (-1, ValueError),
])
def test_bad_windows(ee, window, error):
    with pytest.raises(error):
        ee._rolling_longitudinal_fast(np.ones((3, 2)), window, MEAN)


def test_numpy_integer_bool_and_too_long_windows(ee):
    data = np.random.default_rng(2).normal(size=(6, 2))
    same_bytes(ee._rolling_longitudinal_fast(data, np.int32(3), STD), twin(data, 3, STD))
    same_bytes(ee._rolling_longitudinal_fast(data, True, MEAN), twin(data, 1, MEAN))
    # a window longer than the series is no error for any comparable window
    assert (bits(ee._rolling_longitudinal_fast(data, 6.5, MEAN)) == POS_NAN).all()


# ------------------------------------------------------------------------- properties

_special = st.sampled_from([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e308, -1e-308, 5e-324, 3.0])


@st.composite
def matrices(draw):
    t = draw(st.integers(0, 30))
    n = draw(st.integers(0, 6))
    cells = st.one_of(st.floats(-1e6, 1e6, allow_nan=False), _special,
                      st.floats(allow_nan=True, allow_infinity=True))
    data = draw(hnp.arrays(np.float64, (t, n), elements=cells))
    scale = draw(st.sampled_from([1e-200, 1e-3, 1.0, 1e150]))
    with np.errstate(all="ignore"):
        return data * scale


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=matrices(), window=st.integers(1, 32), name=st.sampled_from(NAMES))
def test_matches_numpy_steps(ee, data, window, name):
    same_bytes(ee._rolling_longitudinal_fast(data, window, name), twin(data, window, name))



# ------------------------------------------------------------------ reused result buffers

POOLED = (1200, 1000)  # 9.6 MB: large enough to be pooled


def address(a):
    return a.__array_interface__["data"][0]


def test_result_buffers_are_reused_and_live_ones_kept(ee):
    data = np.random.default_rng(0).normal(size=POOLED)
    first = ee._rolling_longitudinal_fast(data, 3, MEAN)
    where = address(first)
    del first
    gc.collect()
    again = ee._rolling_longitudinal_fast(data, 3, MEAN)  # a freed buffer serves the next one
    assert address(again) == where
    assert again.flags.owndata and again.flags.writeable and again.flags.c_contiguous
    kept = [again] + [ee._rolling_longitudinal_fast(data * k, 3, MEAN) for k in (2.0, 3.0, 4.0)]
    snapshots = [a.copy() for a in kept]
    for k in range(6):  # results made and freed while the others are alive
        ee._rolling_longitudinal_fast(data + k, 3, MEAN)
    assert len({address(a) for a in kept}) == len(kept)
    for a, snap in zip(kept, snapshots):
        assert a.tobytes() == snap.tobytes()
    a = kept[-1]
    head = a.ravel()[:100].copy()
    del kept, snapshots
    a.resize((10, 10), refcheck=False)  # a pooled result resizes in place, same allocator
    assert a.ravel().tobytes() == head.tobytes()
    a.resize(POOLED, refcheck=False)
    assert a.shape == POOLED
