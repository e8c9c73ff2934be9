"""Built-in functions against independent formulations (pandas), and their states."""

import copy
import pickle

import numpy as np
import pandas as pd
import pytest

from rolling_twin import MEAN, STD, ZSCORE, twin
from tessaline.functions import builtins as B
from tessaline.functions._typed_shapes import FunctionState
from tessaline.functions.registry import default_registry


@pytest.fixture
def registry():
    return default_registry()


def _stream(inst, matrix):
    return np.vstack([inst(row) for row in matrix])


def _pandas_rank(row):
    s = pd.Series(row)
    n = s.notna().sum()
    if n == 1:
        return np.where(s.notna(), 0.5, np.nan)
    return ((s.rank(method="average") - 1.0) / (n - 1)).to_numpy()


def test_rank_and_rolling_accept_strided_and_empty_rows(registry):
    x = np.arange(10.0)[::-2]
    np.testing.assert_array_equal(registry.create_instance(B.RANK)(x), [1.0, 0.75, 0.5, 0.25, 0.0])
    np.testing.assert_array_equal(registry.create_instance(B.ROLLING_MEAN, window=1)(x), x)
    assert registry.create_instance(B.RANK)(np.zeros(0)).shape == (0,)
    with pytest.raises(ValueError, match="one-dimensional"):
        registry.create_instance(B.RANK)(np.zeros((2, 2)))


def test_rank_matches_pandas_average_rank(registry):
    rng = np.random.default_rng(3)
    inst = registry.create_instance(B.RANK)
    rows = [[2.0, 2.0, 2.0], [np.nan, 4.0, np.nan], [np.nan, np.nan], [-0.0, 0.0, 1.0, -1.0, 1.0, 7.5]]
    for _ in range(50):
        row = rng.integers(0, 6, size=40).astype(float)
        row[rng.random(40) < 0.2] = np.nan
        rows.append(row)
    for row in rows:
        got = inst(np.array(row, dtype=np.float64), context=None)
        assert got.dtype == np.float64 and got.shape == (len(row),)
        np.testing.assert_allclose(got, _pandas_rank(row), rtol=0, atol=1e-15)


@pytest.mark.parametrize("name", [B.ROLLING_MEAN, B.ROLLING_STD, B.ROLLING_ZSCORE])
@pytest.mark.parametrize("window", [1, 3, 17])
def test_rolling_matches_the_numpy_steps(registry, name, window):
    rng = np.random.default_rng(window)
    data = rng.normal(size=(120, 6)) * 3 + 1
    data[rng.random(data.shape) < 0.05] = np.nan
    data[:, 5] = np.nan
    data[40:60, 4] = 2.5  # constant stretch: std 0, z-score 0
    got = _stream(registry.create_instance(name, window=window), data)
    assert got.tobytes() == twin(data, window, name).tobytes()


@pytest.mark.parametrize("name", [B.ROLLING_MEAN, B.ROLLING_STD, B.ROLLING_ZSCORE])
def test_rolling_state_resumes_mid_stream(registry, name):
    rng = np.random.default_rng(11)
    data = rng.normal(size=(60, 4)) * 1e3
    data[rng.random(data.shape) < 0.1] = np.nan
    whole = _stream(registry.create_instance(name, window=7), data)
    first = registry.create_instance(name, window=7)
    head = _stream(first, data[:23])
    state = FunctionState(name, registry.get_function_version(name), first.get_state())
    assert state.data["count"] == 23 and state.data["window"] == 7
    resumed = registry.create_instance_from_state(name, state, window=7)
    tail = _stream(resumed, data[23:])
    np.testing.assert_array_equal(np.vstack([head, tail]), whole)
    fresh = registry.create_instance(name, window=3).get_state()
    assert registry.create_instance_from_state(name, fresh, window=3).get_state()["count"] == 0
    with pytest.raises(ValueError, match="does not match window"):
        registry.create_instance_from_state(name, fresh, window=4)


def test_rolling_instances_copy_and_pickle_exactly(registry):
    rng = np.random.default_rng(1)
    data = rng.normal(size=(20, 3))
    inst = registry.create_instance(B.ROLLING_ZSCORE, window=4)
    _stream(inst, data[:9])
    twins = [copy.deepcopy(inst), pickle.loads(pickle.dumps(inst))]
    expected = _stream(inst, data[9:])
    for twin in twins:
        np.testing.assert_array_equal(_stream(twin, data[9:]), expected)


def test_rolling_rejects_width_change_and_bad_window(registry):
    inst = registry.create_instance(B.ROLLING_MEAN, window=2)
    inst(np.zeros(3))
    with pytest.raises(ValueError, match="row width changed from 3 to 4"):
        inst(np.zeros(4))
    with pytest.raises(ValueError, match="at least 1"):
        registry.create_instance(B.ROLLING_MEAN, window=0)
    with pytest.raises(TypeError, match="requires parameter"):
        registry.create_instance(B.ROLLING_MEAN)


def test_product_and_transforms(registry):
    a = np.array([0.5, np.nan, 2.0, -1.0])
    b = np.array([2.0, 1.0, np.nan, 3.0])
    prod = registry.create_instance(B.PRODUCT)
    np.testing.assert_array_equal(prod(a, b, context=None), [1.0, np.nan, np.nan, -3.0])
    np.testing.assert_array_equal(prod(a, b, b), [2.0, np.nan, np.nan, -9.0])
    np.testing.assert_array_equal(registry.create_instance(B.DEMEAN)(a),
                                  [0.0, np.nan, 1.5, -1.5])
    scaled = registry.create_instance(B.GROSS_SCALE, gross=2.0)(a)
    assert np.nansum(np.abs(scaled)) == pytest.approx(2.0)
    np.testing.assert_array_equal(registry.create_instance(B.GROSS_SCALE)(np.array([0.0, np.nan])),
                                  [0.0, np.nan])
    np.testing.assert_array_equal(registry.create_instance(B.CLIP, limit=1.0)(a),
                                  [0.5, np.nan, 1.0, -1.0])
    assert np.isnan(registry.create_instance(B.DEMEAN)(np.full(3, np.nan))).all()


def _pnl_frame(rng, t, a):
    return rng.normal(0.001, 0.01, size=(t, a)) * np.arange(1, a + 1)


@pytest.mark.parametrize("name,stat_name", [
    (B.VOLATILITY, "std"), (B.VOLATILITY, "downside"), (B.VOLATILITY, "mad"),
    (B.SHARPE, "sharpe"), (B.SHARPE, "sortino"), (B.SHARPE, "mean"),
])
def test_pnl_weighting_matches_pandas(registry, name, stat_name):
    rng = np.random.default_rng(2)
    t, a, n, window = 40, 3, 5, 10
    pnl = _pnl_frame(rng, t, a)
    weights = rng.normal(size=(t, a, n))
    weights[5, 1, 2] = np.nan
    inst = registry.create_instance(name, window=window, stat_name=stat_name)
    df = pd.DataFrame(pnl)
    roll = df.rolling(window)
    std = roll.std(ddof=0)
    down = df.clip(upper=0.0).pow(2).rolling(window).mean().pow(0.5)
    mad = df.rolling(window).apply(lambda s: np.mean(np.abs(s - s.mean())), raw=True)
    stat = {"std": std, "downside": down, "mad": mad, "sharpe": roll.mean() / std,
            "sortino": roll.mean() / down, "mean": roll.mean()}[stat_name].to_numpy()
    for row in range(t):
        got = inst(weights[row], signal_pnl=pnl[row])
        assert got.shape == (n,) and got.dtype == np.float64
        if row < window - 1:
            assert np.isnan(got).all()
            continue
        s = stat[row]
        w = 1.0 / s if name == B.VOLATILITY else np.maximum(s, 0.0)
        if w.sum() == 0:
            w = np.ones(a)
        w = w / w.sum()
        expected = np.nansum(weights[row] * w[:, None], axis=0)
        np.testing.assert_allclose(got, expected, rtol=1e-9, atol=1e-12)


def test_turnover_weighting_and_state(registry):
    rng = np.random.default_rng(4)
    t, a, n, window = 30, 3, 4, 5
    weights = rng.normal(size=(t, a, n)) * np.array([1.0, 2.0, 4.0])[None, :, None]
    inst = registry.create_instance(B.TURNOVER, window=window)
    outs = [inst(weights[row], signal_pnl=np.zeros(a)) for row in range(t)]
    turnover = np.abs(np.diff(weights, axis=0)).sum(axis=2)  # (t-1, a)
    for row in range(window, t):
        stat = turnover[row - window:row].mean(axis=0)
        w = (1.0 / stat) / (1.0 / stat).sum()
        np.testing.assert_allclose(outs[row], (weights[row] * w[:, None]).sum(axis=0),
                                   rtol=1e-9)
    # resuming from the state continues identically
    head = registry.create_instance(B.TURNOVER, window=window, stat_name="max")
    whole = registry.create_instance(B.TURNOVER, window=window, stat_name="max")
    for row in range(12):
        head(weights[row])
        whole(weights[row])
    resumed = registry.create_instance_from_state(B.TURNOVER, head.get_state(), window=window)
    assert resumed.stat_name == "max"
    for row in range(12, t):
        np.testing.assert_array_equal(resumed(weights[row]), whole(weights[row]))


def test_weighting_nan_cells_and_bad_stat_name(registry):
    inst = registry.create_instance(B.VOLATILITY, window=1)
    x = np.array([[1.0, np.nan, np.nan], [3.0, 2.0, np.nan]])
    got = inst(x, signal_pnl=np.array([1.0, 1.0]))  # zero risk for both: equal weights
    np.testing.assert_array_equal(got, [2.0, 1.0, np.nan])
    with pytest.raises(ValueError, match="unknown stat_name 'bogus'"):
        registry.create_instance(B.SHARPE, window=3, stat_name="bogus")


def test_every_builtin_documented_and_surface(registry):
    for name, builtin in B.BUILTINS.items():
        assert builtin.description and "\n" not in builtin.description
        config = {"window": 3} if "window" in builtin.required else {}
        inst = registry.create_instance(name, **config)
        assert bool(inst.stateful) == builtin.stateful == registry.get_entry(name).stateful
        if builtin.stateful:
            assert inst.window == 3 and inst.get_state()["count"] == 0


@pytest.mark.parametrize("mutate,error,message", [
    (lambda s: s.update(count="7"), TypeError, "'count' must be an int"),
    (lambda s: s.update(sum=[0.0]), TypeError, "'sum' must be bytes"),
    (lambda s: s.update(ring=s["ring"][:-1]), ValueError, "'ring' has the wrong size"),
    (lambda s: s.pop("lag_sum"), ValueError, "lacks the entry 'lag_sum'"),
    (lambda s: s.update(width=-2), ValueError, "'width' is out of range"),
    (lambda s: s.pop("width"), ValueError, "count but no running totals"),
])
def test_rolling_refuses_malformed_state(registry, mutate, error, message):
    inst = registry.create_instance(B.ROLLING_ZSCORE, window=3)
    for _ in range(4):
        inst(np.arange(5.0))
    state = inst.get_state()
    before = inst(np.arange(5.0))
    mutate(state)
    with pytest.raises(error, match=message):
        registry.create_instance_from_state(B.ROLLING_ZSCORE, state, window=3)
    with pytest.raises(error, match=message):
        inst.set_state(state)
    assert inst.count == 5 and np.array_equal(inst(np.arange(5.0)), before, equal_nan=True)


def test_weighting_restarts_when_the_pool_changes_size(registry):
    inst = registry.create_instance(B.SHARPE, window=2, stat_name="mean")
    rows = np.array([[1.0, 2.0], [3.0, 4.0]])
    inst(rows, signal_pnl=[0.1, 0.2])
    np.testing.assert_allclose(inst(rows, signal_pnl=[0.1, 0.2]), (rows * [[1 / 3], [2 / 3]]).sum(0))
    assert np.isnan(inst(rows[:1], signal_pnl=[0.1])).all()  # a new window starts
    assert inst.get_state()["count"] == 1
    assert np.isnan(inst(np.zeros((0, 2)), signal_pnl=[])).all()


# ---- the row stream under the rolling built-ins: the whole-matrix kernel's accumulator, same
# bits row by row, also when its state is saved and restored mid-stream

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


def _push(stream, rows):
    return np.vstack([stream.push(np.ascontiguousarray(row)) for row in rows]
                     or [np.empty((0, rows.shape[1]))])


@pytest.mark.parametrize("name", [MEAN, STD, ZSCORE])
@pytest.mark.parametrize("window", [1, 3, 8, 45])
def test_stream_matches_whole_matrix_across_state_round_trips(ee, name, window):
    stream = pytest.importorskip("tessaline.functions._builtins").RollingStream
    kind = {MEAN: 0, STD: 1, ZSCORE: 2}[name]
    data = _sample(window, (40, 6))
    want = ee._rolling_longitudinal_fast(data, window, name).view(np.uint64)
    assert np.array_equal(_push(stream(kind, window), data).view(np.uint64), want)
    for cut in sorted({0, 1, window - 1, window, window + 1, 17, 39, 40} & set(range(41))):
        head_stream = stream(kind, window)
        head = _push(head_stream, data[:cut])
        state = pickle.loads(pickle.dumps(copy.deepcopy(head_stream.get_state())))
        tail_stream = stream(kind, window)
        tail_stream.set_state(state)
        tail = _push(tail_stream, data[cut:])
        assert np.array_equal(np.vstack([head, tail]).view(np.uint64), want), cut


def _mixed(seed, shape):
    # Mostly cells whose totals the stream holds as pairs of doubles, with single cells that
    # force the 80-bit form (-0.0, beyond 2^401, below 2^-400, subnormal, infinite) far
    # enough apart for the stream to go back to pairs in between.
    rng = np.random.default_rng(seed)
    scale = rng.choice([2.0 ** -399, 1e-5, 1.0, 1e8, 2.0 ** 399], size=(1, shape[1]))
    data = rng.normal(size=shape) * scale
    data[rng.random(shape) < 0.05] = np.nan
    data[rng.random(shape) < 0.05] = 0.0
    for row, value in [(30, -0.0), (120, 2.0 ** 401), (200, 2.0 ** -401), (210, 5e-324),
                       (280, np.inf)]:
        data[row, row % shape[1]] = value
    return data


@pytest.mark.parametrize("name", [MEAN, STD, ZSCORE])
@pytest.mark.parametrize("window", [1, 20, 70])
def test_stream_totals_change_form_without_changing_a_bit(ee, name, window):
    stream = pytest.importorskip("tessaline.functions._builtins").RollingStream
    kind = {MEAN: 0, STD: 1, ZSCORE: 2}[name]
    data = _mixed(window, (300, 5))
    want = ee._rolling_longitudinal_fast(data, window, name).view(np.uint64)
    whole = stream(kind, window)
    assert np.array_equal(_push(whole, data).view(np.uint64), want)
    for cut in (29, 31, 100, 150, 250, 290):
        head_stream = stream(kind, window)
        head = _push(head_stream, data[:cut])
        tail_stream = stream(kind, window)
        tail_stream.set_state(head_stream.get_state())
        assert tail_stream.get_state() == head_stream.get_state()  # the same bytes
        tail = _push(tail_stream, data[cut:])
        assert np.array_equal(np.vstack([head, tail]).view(np.uint64), want), cut
    assert whole.get_state() == tail_stream.get_state()
