"""Rolling kernels against the NumPy long-double twin, bit for bit: the whole-matrix kernel
(threads, row blocks, x87 special values, reused result buffers), the longitudinal chain
evaluator, the built-ins' row stream with its states, and the general path."""

import copy
import gc
import pickle

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from fakes import Entry, Registry, feat, node
from tessaline.functions import builtins as B
from tessaline.functions._typed_shapes import FunctionGraphNode as N
from tessaline.functions.registry import default_registry
from twins import MEAN, STD, ZSCORE, assert_bits, twin

NAMES = [MEAN, STD, ZSCORE]
POS_NAN, NEG_NAN = 0x7FF8000000000000, 0xFFF8000000000000


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def col(*values):
    return np.array(values, dtype=np.float64).reshape(-1, 1)


def check(ee, data, windows, names=NAMES):
    for name in names:
        for w in windows:
            assert_bits(ee._rolling_longitudinal_fast(data, w, name), twin(data, w, name))


def test_special_values_of_the_x87_arithmetic(ee):
    np.testing.assert_allclose(ee._rolling_longitudinal_fast(col(1, 2, 3, 4), 3, STD).ravel()[2:],
                               [0.816496580927726] * 2, rtol=1e-15)
    for name in (STD, ZSCORE):  # a constant window gives +0.0
        assert bits(ee._rolling_longitudinal_fast(col(5, 5, 5), 2, name)).ravel().tolist() == [POS_NAN, 0, 0]
    got = ee._rolling_longitudinal_fast(col(-0.0, -0.0, 1.0), 1, MEAN)
    assert np.signbit(got[0, 0]) and not np.signbit(got[1, 0])  # -0.0 - (-0.0) is +0.0
    for name in NAMES:  # once the running total is inf, windows are inf - inf: the default NaN
        got = ee._rolling_longitudinal_fast(col(np.inf, 1.0, 2.0, 3.0), 2, name)
        assert bits(got).ravel().tolist() == [POS_NAN, bits(got)[1, 0], NEG_NAN, NEG_NAN]
    check(ee, col(1e300, -1e300, 3e300, 1e-300, 2.0), [2])  # finite in long double
    check(ee, col(1, np.nan, 3, 4, 5), [2])


def test_infinite_and_subnormal_cells_across_row_blocks(ee):
    rng = np.random.default_rng(4)
    data = rng.normal(size=(300, 21))
    for row, column, value in [(0, 0, np.inf), (3, 1, -np.inf), (10, 2, np.inf), (200, 2, -np.inf),
                               (63, 3, np.inf), (64, 4, -np.inf), (299, 5, np.inf), (40, 6, np.inf),
                               (41, 6, np.nan), (120, 7, np.inf), (121, 7, np.inf), (5, 8, np.nan)]:
        data[row, column] = value
    data[:, 9] *= 1e-310
    data[:, 10] *= 1e-321
    data[:, 11] = 5e-324
    data[:, 12] = -rng.integers(1, 4, 300) * 5e-324
    data[100:, 13] *= 1e-312  # subnormal from a later tile on
    data[5:, 14] *= 1e-309
    data[:, 15] = np.where(rng.random(300) < 0.5, 2.2250738585072014e-308, -2.225073858507201e-308)
    data[:, 16] = np.where(rng.random(300) < 0.2, -5e-324, 0.0)  # means that round to -0.0
    data[rng.random((300, 21)) < 0.02] = np.nan
    check(ee, data, (1, 2, 5, 64, 65, 250))


@pytest.mark.parametrize("shape,offset", [((1500, 24), 0), ((900, 37), 3), ((300, 301), 0), ((290, 299), 5)])
def test_large_matrices_split_over_threads(ee, shape, offset):
    rng = np.random.default_rng(shape[1])
    data = np.empty(shape[0] * shape[1] + offset)[offset:].reshape(shape)  # rows off cache lines
    data[:] = rng.normal(size=shape) * rng.choice([1e-4, 1.0, 1e6], size=(1, shape[1]))
    data[rng.random(shape) < 0.01] = np.nan
    data[rng.random(shape) < 0.001] = np.inf
    data[100:140, 3] = 7.0
    check(ee, data, (1, 20, 250))


@pytest.mark.parametrize("shape", [(700, 19), (400, 300), (400, 2048)])
def test_sparse_nans_around_row_block_edges(ee, shape):
    # Runs of rows without NaN take a loop without NaN tests; NaN cells sit on either side of
    # the runs' edges (every 64 rows, every 8 for rows of 2048 columns).
    rng = np.random.default_rng(shape[1] + 1)
    data = rng.normal(size=shape)
    for row, column in [(0, 0), (63, 1), (64, 2), (127, 3), (128, 4), (191, 5), (300, 1), (320, 6),
                        (383, 7), (384, 8), (385, 8), (399, 9)]:
        data[row, column] = np.nan
    data[rng.random(shape) < 0.0005] = np.nan
    data[200:260, 10] = 3.0
    check(ee, data, (1, 2, 20, 64, 65, 200))


@pytest.mark.parametrize("make", [
    np.asfortranarray, lambda d: np.hstack([d, d])[:, ::2], lambda d: np.hstack([d, d])[:, :d.shape[1]],
    lambda d: d[::-1], lambda d: d.astype(np.float32), lambda d: d.astype(">f8"), lambda d: d.tolist(),
    lambda d: np.round(np.nan_to_num(d) * 10).astype(np.int64)])
def test_input_layouts_and_dtypes(ee, make):
    rng = np.random.default_rng(11)
    base = rng.normal(size=(40, 5))
    base[rng.random(base.shape) < 0.05] = np.nan
    data = make(base)
    for name in NAMES:
        assert_bits(ee._rolling_longitudinal_fast(data, 4, name), twin(np.asarray(data, dtype=np.float64), 4, name))


@pytest.mark.parametrize("data,window,error,message", [
    (np.arange(4.0), 2, ValueError, "not enough values to unpack (expected 2, got 1)"),
    (np.float64(3.0), 2, ValueError, "not enough values to unpack (expected 2, got 0)"),
    (np.zeros((2, 2, 2)), 2, ValueError, "too many values to unpack (expected 2)"),
    (np.ones((3, 2)), 2.0, TypeError, None), (np.ones((3, 2)), None, TypeError, None),
    (np.ones((3, 2)), "2", TypeError, None), (np.ones((3, 2)), 0, ValueError, None),
    (np.ones((3, 2)), -1, ValueError, None),
])
def test_refusals(ee, data, window, error, message):
    with pytest.raises(error) as info:
        ee._rolling_longitudinal_fast(data, window, MEAN)
    assert message is None or str(info.value) == message


def test_odd_windows_and_names(ee):
    data = np.random.default_rng(2).normal(size=(6, 2))
    assert_bits(ee._rolling_longitudinal_fast(data, np.int32(3), STD), twin(data, 3, STD))
    assert_bits(ee._rolling_longitudinal_fast(data, True, MEAN), twin(data, 1, MEAN))
    assert (bits(ee._rolling_longitudinal_fast(data, 6.5, MEAN)) == POS_NAN).all()
    assert_bits(ee._rolling_longitudinal_fast(data, 3, "anything"), twin(data, 3, ZSCORE))

    class Name:  # compared only once a cell is computable
        def __eq__(self, other):
            raise LookupError("compared")

        __hash__ = object.__hash__

    assert (bits(ee._rolling_longitudinal_fast(np.array([[1.0, np.nan], [np.nan, 2.0]]), 2, Name())) == POS_NAN).all()
    with pytest.raises(LookupError):
        ee._rolling_longitudinal_fast(np.ones((2, 2)), 2, Name())


@st.composite
def matrices(draw):
    cells = st.one_of(st.floats(-1e6, 1e6, allow_nan=False), st.floats(allow_nan=True, allow_infinity=True),
                      st.sampled_from([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e308, -1e-308, 5e-324, 3.0]))
    data = draw(hnp.arrays(np.float64, (draw(st.integers(0, 30)), draw(st.integers(0, 6))), elements=cells))
    with np.errstate(all="ignore"):
        return data * draw(st.sampled_from([1e-200, 1e-3, 1.0, 1e150]))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=matrices(), window=st.integers(1, 32), name=st.sampled_from(NAMES))
def test_matches_the_twin_on_any_cells(ee, data, window, name):
    assert_bits(ee._rolling_longitudinal_fast(data, window, name), twin(data, window, name))


def test_result_buffers_are_reused_and_live_ones_kept(ee):
    data = np.random.default_rng(0).normal(size=(1200, 1000))  # 9.6 MB: pooled
    first = ee._rolling_longitudinal_fast(data, 3, MEAN)
    where = first.__array_interface__["data"][0]
    del first
    gc.collect()
    again = ee._rolling_longitudinal_fast(data, 3, MEAN)
    assert again.__array_interface__["data"][0] == where
    assert again.flags.owndata and again.flags.writeable and again.flags.c_contiguous
    kept = [again] + [ee._rolling_longitudinal_fast(data * k, 3, MEAN) for k in (2.0, 3.0, 4.0)]
    snapshots = [a.copy() for a in kept]
    for k in range(6):
        ee._rolling_longitudinal_fast(data + k, 3, MEAN)
    assert len({a.__array_interface__["data"][0] for a in kept}) == len(kept)
    assert all(a.tobytes() == s.tobytes() for a, s in zip(kept, snapshots))
    a = kept[-1]
    head = a.ravel()[:100].copy()
    del kept, snapshots
    a.resize((10, 10), refcheck=False)  # a pooled result resizes in place, same allocator
    assert a.ravel().tobytes() == head.tobytes()
    a.resize((1200, 1000), refcheck=False)


# ---------------------------------------------------------------------------------------
# The chain evaluator and the general path.


@pytest.mark.parametrize("name", NAMES + [type("Name", (str,), {})(ZSCORE)])
@pytest.mark.parametrize("make", [lambda u: u, lambda u: u[40], np.asfortranarray, lambda u: u.astype(np.float32)])
@pytest.mark.parametrize("shape,offset,window", [((300, 21), 0, 6), ((300, 301), 3, 70), ((300, 4096), 1, 6),
                                                 ((160, 301), 5, 170)])  # narrow rows, wide ones
def test_chain_with_universe(ee, monkeypatch, name, make, shape, offset, window):
    # The kernel reads the leaf through the universe; a replaced masking gets the masked leaf.
    rng = np.random.default_rng(4)
    data = np.empty(shape[0] * shape[1] + offset)[offset:].reshape(shape)  # rows off cache lines
    data[:] = rng.normal(size=shape) * rng.choice([1e-310, 1.0, 1e300], size=(1, shape[1]))
    data[rng.random(data.shape) < 0.005] = np.nan
    data[rng.random(data.shape) < 0.001] = np.inf
    data[[3, 70, 150, 151], [1, 2, 9, 9]] = [np.inf, -np.inf, np.inf, np.nan]
    universe = rng.choice([1.0, 0.0, np.nan, -2.0], p=[0.97, 0.01, 0.01, 0.01], size=data.shape)
    universe[:5, 3] = universe[64:80, 4] = universe[60:, 5] = 0.0  # warm-up, leaving rows, the tail
    universe = make(universe)
    c = ee.EvaluationContext((data,), {"x": 0}, registry=Registry(), universe=universe, validate_inputs=False)
    graph = node("rotation", MEAN, N("int", 4), node("rotation", name, feat("x"), N("int", window)))
    got = ee._evaluate_longitudinal_fast(graph, c)
    masked = np.where((universe == 0.0) | np.isnan(universe), np.nan, data)
    assert_bits(got, twin(twin(masked, window, str(name)), 4, MEAN))
    assert c.registers is None
    leaf = ee._evaluate_longitudinal_fast(feat("x", "aggregation"), c)
    assert np.array_equal(leaf, masked, equal_nan=True)
    monkeypatch.setattr(ee, "_apply_universe_mask", lambda d, u, f=ee._apply_universe_mask: f(d, u))
    assert_bits(ee._evaluate_longitudinal_fast(graph, c), got)


def test_registry_errors_decline_the_longitudinal_path_and_interrupts_pass(ee):
    registry = Registry({MEAN: Entry()})
    c = ee.EvaluationContext((np.zeros((3, 2)),), {"x": 0}, registry=registry)
    graph = node("rotation", MEAN, feat("x"), N("int", 3))
    registry.get_entry = lambda name: (_ for _ in ()).throw(LookupError(name))
    assert ee._can_use_longitudinal_fast_path(graph, c, None, 100000) is False
    registry.get_entry = lambda name: (_ for _ in ()).throw(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        ee._can_use_longitudinal_fast_path(graph, c, None, 100000)


@pytest.mark.parametrize("names,windows", [((B.ROLLING_ZSCORE, B.ROLLING_MEAN), (7, 3)),
                                           ((B.ROLLING_MEAN, B.ROLLING_STD, B.ROLLING_ZSCORE), (2, 6, 3))])
def test_longitudinal_path_gives_the_general_paths_bits(ee, names, windows):
    t = ee._LONGITUDINAL_FAST_MIN_ROWS
    rng = np.random.default_rng(len(names) * 10 + windows[0])
    data = rng.normal(size=(t, 2)) * rng.choice([1e-3, 1.0, 1e4], size=(t, 1))
    data[rng.random(data.shape) < 0.002] = np.nan
    data[1000:1100, 1] = 3.0
    data[5, 0] = -0.0
    universe = np.ones_like(data)
    universe[2000:2010, 0] = 0.0
    graph = N("feature", "x")
    for name, w in zip(names, windows):
        graph = N("rotation", name, [graph, N("int", w)])
    out = []
    for registry in (default_registry(), default_registry(as_stubs=False)):
        c = ee.EvaluationContext((data,), {"x": 0}, registry=registry, universe=universe)
        out.append(ee.evaluate(graph, c))
    assert out[0].states == {} and len(out[1].states) == len(names)
    fast, general = np.asarray(out[0].weights), np.asarray(out[1].weights)
    np.testing.assert_array_equal(np.isnan(fast), np.isnan(general))
    assert fast[~np.isnan(fast)].tobytes() == general[~np.isnan(general)].tobytes()


# ---------------------------------------------------------------------------------------
# The row stream of the rolling built-ins: the whole-matrix kernel's accumulator row by row,
# also when its state is saved and restored mid-stream and its totals change form.


def _push(stream, rows):
    return np.vstack([stream.push(np.ascontiguousarray(r)) for r in rows] or [np.empty((0, rows.shape[1]))])


def _sample(seed, shape):
    rng = np.random.default_rng(seed)
    data = rng.normal(size=shape) * rng.choice([1e-5, 1.0, 1e8, 1e300], size=(1, shape[1]))
    mask = rng.random(shape)
    data[mask < 0.06] = np.nan
    data[(mask > 0.06) & (mask < 0.08)] = np.inf
    data[(mask > 0.08) & (mask < 0.09)] = -np.inf
    data[(mask > 0.09) & (mask < 0.15)] = -0.0
    data[(mask > 0.15) & (mask < 0.3)] = 2.5
    return data


def _mixed(seed, shape):
    # Totals held as pairs of doubles, with single cells that force the 80-bit form far
    # enough apart for the stream to go back to pairs in between.
    rng = np.random.default_rng(seed)
    data = rng.normal(size=shape) * rng.choice([2.0 ** -399, 1e-5, 1.0, 1e8, 2.0 ** 399], size=(1, shape[1]))
    data[rng.random(shape) < 0.05] = np.nan
    data[rng.random(shape) < 0.05] = 0.0
    for row, value in [(30, -0.0), (120, 2.0 ** 401), (200, 2.0 ** -401), (210, 5e-324), (280, np.inf)]:
        data[row, row % shape[1]] = value
    return data


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("window,make,cuts", [
    (1, _sample, (0, 1, 2, 17, 39, 40)), (3, _sample, (0, 2, 3, 4, 17, 39)), (45, _sample, (0, 17, 40)),
    (1, _mixed, (29, 31, 150, 290)), (20, _mixed, (29, 100, 250)), (70, _mixed, (31, 150, 290))])
def test_stream_matches_the_whole_matrix_across_state_round_trips(ee, name, window, make, cuts):
    stream = pytest.importorskip("tessaline.functions._builtins").RollingStream
    kind = NAMES.index(name)
    data = make(window, (40, 6) if make is _sample else (300, 5))
    want = ee._rolling_longitudinal_fast(data, window, name).view(np.uint64)
    whole = stream(kind, window)
    assert np.array_equal(_push(whole, data).view(np.uint64), want)
    for cut in cuts:
        head_stream, tail_stream = stream(kind, window), stream(kind, window)
        head = _push(head_stream, data[:cut])
        tail_stream.set_state(pickle.loads(pickle.dumps(copy.deepcopy(head_stream.get_state()))))
        assert tail_stream.get_state() == head_stream.get_state()
        assert np.array_equal(np.vstack([head, _push(tail_stream, data[cut:])]).view(np.uint64), want), cut
    assert whole.get_state() == tail_stream.get_state()
