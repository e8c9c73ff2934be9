"""Built-in functions against independent formulations (pandas, the NumPy twin), and their
states: resumed, copied, pickled, and refused when malformed."""

import copy
import pickle

import numpy as np
import pandas as pd
import pytest

from twins import twin
from tessaline.functions import builtins as B
from tessaline.functions._typed_shapes import FunctionState
from tessaline.functions.registry import default_registry


@pytest.fixture
def registry():
    return default_registry()


def _stream(inst, matrix):
    return np.vstack([inst(row) for row in matrix])


def test_rank_matches_pandas_average_rank(registry):
    rng = np.random.default_rng(3)
    inst = registry.create_instance(B.RANK)
    rows = [[2.0, 2.0, 2.0], [np.nan, 4.0, np.nan], [np.nan, np.nan], [-0.0, 0.0, 1.0, -1.0, 1.0, 7.5]]
    rows += [np.where(rng.random(40) < 0.2, np.nan, rng.integers(0, 6, size=40)) for _ in range(50)]
    for row in rows:
        s = pd.Series(row)
        n = s.notna().sum()
        want = np.where(s.notna(), 0.5, np.nan) if n == 1 else ((s.rank() - 1.0) / (n - 1)).to_numpy()
        np.testing.assert_allclose(inst(np.array(row, dtype=np.float64), context=None), want, rtol=0, atol=1e-15)
    x = np.arange(10.0)[::-2]
    np.testing.assert_array_equal(inst(x), [1.0, 0.75, 0.5, 0.25, 0.0])
    assert inst(np.zeros(0)).shape == (0,)
    with pytest.raises(ValueError, match="one-dimensional"):
        inst(np.zeros((2, 2)))


@pytest.mark.parametrize("name", [B.ROLLING_MEAN, B.ROLLING_STD, B.ROLLING_ZSCORE])
@pytest.mark.parametrize("window", [1, 7, 17])
def test_rolling_instances_match_the_twin_and_resume_exactly(registry, name, window):
    rng = np.random.default_rng(window)
    data = rng.normal(size=(60, 6)) * 3e3 + 1
    data[rng.random(data.shape) < 0.05] = np.nan
    data[:, 5] = np.nan
    data[20:40, 4] = 2.5  # constant stretch: std 0, z-score 0
    whole = _stream(registry.create_instance(name, window=window), data)
    assert whole.tobytes() == twin(data, window, name).tobytes()
    first = registry.create_instance(name, window=window)
    head = _stream(first, data[:23])
    state = FunctionState(name, registry.get_function_version(name), first.get_state())
    assert state.data["count"] == 23 and state.data["window"] == window
    for resumed in (registry.create_instance_from_state(name, state, window=window), copy.deepcopy(first),
                    pickle.loads(pickle.dumps(first))):
        assert np.vstack([head, _stream(resumed, data[23:])]).tobytes() == whole.tobytes()
    with pytest.raises(ValueError, match="does not match window"):
        registry.create_instance_from_state(name, state, window=window + 1)
    with pytest.raises(ValueError, match="row width changed from 6 to 4"):
        first(np.zeros(4))


def test_rolling_refuses_bad_windows(registry):
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
    np.testing.assert_array_equal(registry.create_instance(B.DEMEAN)(a), [0.0, np.nan, 1.5, -1.5])
    assert np.nansum(np.abs(registry.create_instance(B.GROSS_SCALE, gross=2.0)(a))) == pytest.approx(2.0)
    np.testing.assert_array_equal(registry.create_instance(B.GROSS_SCALE)(np.array([0.0, np.nan])), [0.0, np.nan])
    np.testing.assert_array_equal(registry.create_instance(B.CLIP, limit=1.0)(a), [0.5, np.nan, 1.0, -1.0])
    assert np.isnan(registry.create_instance(B.DEMEAN)(np.full(3, np.nan))).all()


@pytest.mark.parametrize("name,stat_name", [
    (B.VOLATILITY, "std"), (B.VOLATILITY, "downside"), (B.VOLATILITY, "mad"),
    (B.SHARPE, "sharpe"), (B.SHARPE, "sortino"), (B.SHARPE, "mean"),
])
def test_pnl_weighting_matches_pandas(registry, name, stat_name):
    rng = np.random.default_rng(2)
    t, a, n, window = 40, 3, 5, 10
    pnl = rng.normal(0.001, 0.01, size=(t, a)) * np.arange(1, a + 1)
    weights = rng.normal(size=(t, a, n))
    weights[5, 1, 2] = np.nan
    inst = registry.create_instance(name, window=window, stat_name=stat_name)
    df = pd.DataFrame(pnl)
    roll = df.rolling(window)
    std, down = roll.std(ddof=0), df.clip(upper=0.0).pow(2).rolling(window).mean().pow(0.5)
    stat = {"std": std, "downside": down, "sharpe": roll.mean() / std, "sortino": roll.mean() / down,
            "mad": roll.apply(lambda s: np.mean(np.abs(s - s.mean())), raw=True), "mean": roll.mean()}[stat_name]
    for row, s in enumerate(stat.to_numpy()):
        got = inst(weights[row], signal_pnl=pnl[row])
        assert got.shape == (n,) and got.dtype == np.float64 and (row >= window - 1 or np.isnan(got).all())
        w = 1.0 / s if name == B.VOLATILITY else np.maximum(s, 0.0)
        w = np.ones(a) / a if w.sum() == 0 else w / w.sum()
        if row >= window - 1:
            np.testing.assert_allclose(got, np.nansum(weights[row] * w[:, None], axis=0), rtol=1e-9, atol=1e-12)


def test_turnover_weighting_and_state(registry):
    rng = np.random.default_rng(4)
    t, a, n, window = 30, 3, 4, 5
    weights = rng.normal(size=(t, a, n)) * np.array([1.0, 2.0, 4.0])[None, :, None]
    inst = registry.create_instance(B.TURNOVER, window=window)
    outs = [inst(weights[row], signal_pnl=np.zeros(a)) for row in range(t)]
    turnover = np.abs(np.diff(weights, axis=0)).sum(axis=2)  # (t-1, a)
    for row in range(window, t):
        stat = 1.0 / turnover[row - window:row].mean(axis=0)
        np.testing.assert_allclose(outs[row], (weights[row] * (stat / stat.sum())[:, None]).sum(axis=0), rtol=1e-9)
    head, whole = (registry.create_instance(B.TURNOVER, window=window, stat_name="max") for _ in range(2))
    for row in range(12):
        head(weights[row])
        whole(weights[row])
    resumed = registry.create_instance_from_state(B.TURNOVER, head.get_state(), window=window)
    assert resumed.stat_name == "max"
    for row in range(12, t):
        np.testing.assert_array_equal(resumed(weights[row]), whole(weights[row]))


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


def test_weighting_nan_cells_stat_names_and_pool_changes(registry):
    x = np.array([[1.0, np.nan, np.nan], [3.0, 2.0, np.nan]])  # zero risk for both: equal weights
    np.testing.assert_array_equal(registry.create_instance(B.VOLATILITY, window=1)(x, signal_pnl=[1.0, 1.0]),
                                  [2.0, 1.0, np.nan])
    with pytest.raises(ValueError, match="unknown stat_name 'bogus'"):
        registry.create_instance(B.SHARPE, window=3, stat_name="bogus")
    inst = registry.create_instance(B.SHARPE, window=2, stat_name="mean")
    rows = np.array([[1.0, 2.0], [3.0, 4.0]])
    inst(rows, signal_pnl=[0.1, 0.2])
    np.testing.assert_allclose(inst(rows, signal_pnl=[0.1, 0.2]), (rows * [[1 / 3], [2 / 3]]).sum(0))
    assert np.isnan(inst(rows[:1], signal_pnl=[0.1])).all()  # a new window starts
    assert inst.get_state()["count"] == 1
    assert np.isnan(inst(np.zeros((0, 2)), signal_pnl=[])).all()
