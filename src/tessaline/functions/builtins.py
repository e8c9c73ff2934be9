"""The built-in function library.

Every instance is called once per time row, as the evaluator's row loop calls it:

* rotations: ``inst(*rows, context=context)`` with (N,) float64 rows;
* reductions: ``inst(extraction_rows, signal_pnl=...)`` with the (A, N) weight rows of the A
  passing signals and their A PnL values of the current row.

Each call returns a new (N,) float64 row.  Instances expose ``stateful``, ``arity`` and
``get_state()``; stateful ones also ``window``, ``set_state()`` and ``from_state()``.
Missing values are NaN throughout.

The rank and rolling functions run on the same C++ kernels as the evaluator's whole-matrix fast
paths, so both give identical bits for the graphs the fast paths accept.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Dict, Optional, Tuple, Type

import numpy as np

from tessaline.functions import _kernels as K

__all__ = [
    "BUILTINS", "BuiltinSpec", "CrossSectionalRank", "CellProduct", "RollingMean", "RollingStd",
    "RollingZScore", "VolatilityWeighting", "SharpeWeighting", "TurnoverWeighting", "Demean",
    "GrossScale", "Clip", "RANK", "PRODUCT", "ROLLING_MEAN", "ROLLING_STD", "ROLLING_ZSCORE",
    "VOLATILITY", "SHARPE", "TURNOVER", "DEMEAN", "GROSS_SCALE", "CLIP", "READABLE_NAMES",
    "function_table",
]

RANK = "virtualization_runtime_transform_acbc9b"
PRODUCT = "numerical_combine_d65e04"
ROLLING_MEAN = "longitudinal_accumulators_2ee349"
ROLLING_STD = "longitudinal_accumulators_e4993a"
ROLLING_ZSCORE = "longitudinal_accumulators_250f46"
VOLATILITY = "statistical_volatility_f7e034"
SHARPE = "statistical_sharpe_2e4daa"
TURNOVER = "statistical_turnover_56582e"
DEMEAN = "transform_demean_3c8a51"
GROSS_SCALE = "transform_gross_scale_9e07d4"
CLIP = "transform_clip_71b4c2"


def _row(x: Any, what: str = "input row") -> np.ndarray:
    arr = np.asarray(x, dtype=np.float64)
    if arr.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional; got shape {arr.shape}")
    return arr


def _check_state(instance: Any, data: Any) -> None:
    """A carried state must be a dict for the instance's own window."""
    if not isinstance(data, dict):
        raise TypeError(f"state of {type(instance).__name__} must be a dict; got "
                        f"{type(data).__name__}")
    if int(data.get("window", instance.window)) != instance.window:
        raise ValueError(f"state window {data.get('window')} does not match window "
                         f"{instance.window}")


# Windows are 64-bit signed counts in the kernels.
_MAX_COUNT = 2**63 - 1


def _positive_int(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int; got {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1; got {value}")
    if value > _MAX_COUNT:
        raise ValueError(f"{name} must be at most {_MAX_COUNT}; got {value}")
    return int(value)


class _Builtin:
    """Common surface of the built-in instances.

    ``arity`` is the number of data rows a rotation takes (None: any number); its presence
    tells the evaluator that literal children configure the instance rather than feed it.
    """

    stateful = False
    arity: Optional[int] = 1

    def get_state(self) -> Any:
        return None

    def __repr__(self) -> str:
        return f"{type(self).__name__}()"


# Cross-sectional functions
class CrossSectionalRank(_Builtin):
    """Rank of each valid cell among the row's valid cells: k/(n-1), ties share the mean
    position, 0.5 for a single valid cell, NaN stays NaN."""

    def __call__(self, row, *, context=None):
        return K.rank_row(_row(row))


class CellProduct(_Builtin):
    """Cell-by-cell product of all input rows (NaN where any input is NaN)."""

    arity = None

    def __call__(self, *rows, context=None):
        if not rows:
            raise TypeError("numerical_combine needs at least one input row")
        out = np.array(_row(rows[0]), dtype=np.float64, copy=True)
        for r in map(_row, rows[1:]):
            if r.shape != out.shape:
                raise ValueError(f"input rows differ in shape: {out.shape} vs {r.shape}")
            np.multiply(out, r, out=out)
        return out


class Demean(_Builtin):
    """Subtract the mean of the row's valid cells; a row without valid cells stays NaN."""

    def __call__(self, row, *, context=None):
        x = _row(row)
        valid = ~np.isnan(x)
        if not valid.any():
            return np.full(x.shape, np.nan)
        return x - x[valid].mean()


class GrossScale(_Builtin):
    """Scale the row so that the sum of absolute valid cells equals ``gross`` (default 1.0);
    a row whose gross is 0 becomes 0 in its valid cells."""

    def __init__(self, gross: float = 1.0):
        self.gross = float(gross)
        if not math.isfinite(self.gross):
            raise ValueError(f"gross must be finite; got {gross!r}")

    def __call__(self, row, *, context=None):
        x = _row(row)
        total = np.nansum(np.abs(x))
        if total == 0.0 or not math.isfinite(total):
            return np.where(np.isnan(x), np.nan, 0.0)
        return x * (self.gross / total)


class Clip(_Builtin):
    """Clip every valid cell to [-limit, limit] (default 3.0); NaN stays NaN."""

    def __init__(self, limit: float = 3.0):
        self.limit = float(limit)
        if not self.limit > 0.0:
            raise ValueError(f"limit must be positive; got {limit!r}")

    def __call__(self, row, *, context=None):
        return np.clip(_row(row), -self.limit, self.limit)


# Rolling (longitudinal) functions
class _Rolling(_Builtin):
    """A rolling statistic over the last ``window`` rows of each column.

    A window yields a value only when all of its cells are valid; the first window-1 rows are
    NaN.  Sums are long-double running totals since the first row, and a window's sum is the
    difference of two running totals.
    """

    stateful = True
    kind = K.MEAN

    def __init__(self, window):
        self.window = _positive_int(window, "window")
        self._acc = K.RollingAccumulator(self.kind, self.window)

    def __call__(self, row, *, context=None):
        return self._acc.push(_row(row))

    @property
    def count(self) -> int:
        return self._acc.count

    def get_state(self) -> Dict[str, Any]:
        return self._acc.get_state()

    def set_state(self, data: Any) -> None:
        _check_state(self, data)
        self._acc.set_state(data)

    # copies and pickles go through the exact state
    def __getstate__(self) -> Dict[str, Any]:
        return {"window": self.window, "state": self.get_state()}

    def __setstate__(self, data: Dict[str, Any]) -> None:
        self.window = _positive_int(data["window"], "window")
        self._acc = K.RollingAccumulator(self.kind, self.window)
        self.set_state(data["state"])

    @classmethod
    def from_state(cls, data: Any, **config: Any) -> "_Rolling":
        if "window" not in config and isinstance(data, dict) and "window" in data:
            config["window"] = int(data["window"])
        inst = cls(**config)
        inst.set_state(data)
        return inst

    def __repr__(self) -> str:
        return f"{type(self).__name__}(window={self.window}, count={self.count})"


class RollingMean(_Rolling):
    """Rolling mean over ``window`` rows (strict: NaN unless the whole window is valid)."""

    kind = K.MEAN


class RollingStd(_Rolling):
    """Rolling population standard deviation (divisor ``window``) over ``window`` rows."""

    kind = K.STD


class RollingZScore(_Rolling):
    """Z-score of the current value against the window's mean and population standard
    deviation; 0.0 where that deviation is 0."""

    kind = K.ZSCORE


# Reductions: weight the passing signals by a rolling statistic
def _combine(extraction: np.ndarray, weights: np.ndarray) -> np.ndarray:
    """sum_k weights[k] * extraction[k] over valid cells; NaN where no weighted signal is valid."""
    valid = ~np.isnan(extraction)
    out = weights @ np.where(valid, extraction, 0.0)
    covered = (valid & (weights > 0.0)[:, None]).any(axis=0)
    out[~covered] = np.nan
    return out


def _inverse_weights(stat: np.ndarray) -> np.ndarray:
    """1/stat normalised; signals with a zero statistic share everything; no statistic at all
    gives equal weights."""
    ok = np.isfinite(stat) & (stat >= 0.0)
    w = np.zeros(stat.shape[0])
    zero = ok & (stat == 0.0)
    if zero.any():
        w[zero] = 1.0
    elif ok.any():
        w[ok] = 1.0 / stat[ok]
    else:
        w[:] = 1.0
    return w / w.sum()


def _positive_weights(stat: np.ndarray) -> np.ndarray:
    """max(stat, 0) normalised; equal weights when no signal has a positive statistic."""
    w = np.where(np.isfinite(stat) & (stat > 0.0), stat, 0.0)
    total = w.sum()
    if not total > 0.0:
        return np.full(stat.shape[0], 1.0 / stat.shape[0])
    return w / total


def _pop_std(h: np.ndarray) -> np.ndarray:
    return np.sqrt(np.mean((h - h.mean(axis=1, keepdims=True)) ** 2, axis=1))


def _downside(h: np.ndarray) -> np.ndarray:
    return np.sqrt(np.mean(np.minimum(h, 0.0) ** 2, axis=1))


def _ratio(num: np.ndarray, den: np.ndarray) -> np.ndarray:
    out = np.zeros_like(num)
    np.divide(num, den, out=out, where=den != 0.0)
    return np.where(np.isnan(den) | np.isnan(num), np.nan, out)


class _SignalWeighting(_Builtin):
    """Common machinery: a ring of the last ``window`` observations per passing signal.

    The output is NaN until ``window`` rows were seen.  Afterwards a signal has a statistic
    when all ``window`` observations in its window are valid; signals without one get no
    weight (equal weights when no signal has one).  The passing signals' weight rows are then
    combined with the normalised weights (NaN cells skipped; NaN where no weighted signal has
    a value).  A change in the number of passing signals restarts the window.
    """

    stateful = True
    arity = None  # fed the passing signals' rows, not rotation inputs
    STATS: Dict[str, Any] = {}
    DEFAULT_STAT = ""

    def __init__(self, window, stat_name: Optional[str] = None, pnl_column: Optional[str] = None):
        self.window = _positive_int(window, "window")
        name = self.DEFAULT_STAT if stat_name is None else stat_name
        if name not in self.STATS:
            raise ValueError(f"unknown stat_name {stat_name!r} for {type(self).__name__}; "
                             f"expected one of {', '.join(sorted(self.STATS))}")
        self.stat_name = name
        self.pnl_column = pnl_column
        self._count = 0
        self._history: Optional[np.ndarray] = None  # (A, <= window) ring of observations
        self._previous: Optional[np.ndarray] = None  # previous extraction rows (turnover)

    def _observe(self, extraction: np.ndarray, signal_pnl: Any) -> np.ndarray:
        """One observation per passing signal at this row: its PnL by default."""
        return _pnl_observation(extraction, signal_pnl)

    def _weights(self, stat: np.ndarray) -> np.ndarray:
        raise NotImplementedError

    def __call__(self, extraction, signal_pnl=None, *, context=None):
        x = np.asarray(extraction, dtype=np.float64)
        if x.ndim != 2:
            raise ValueError(f"extraction rows must be two-dimensional; got shape {x.shape}")
        a = x.shape[0]
        if self._history is None or self._history.shape[0] != a:
            self._history = np.full((a, 0), np.nan)
            self._previous = None
            self._count = 0
        obs = self._observe(x, signal_pnl)
        column = self._count % self.window
        if column >= self._history.shape[1]:  # grown by doubling: a huge window costs nothing
            grown = np.full((a, min(self.window, max(8, 2 * column))), np.nan)
            grown[:, :self._history.shape[1]] = self._history
            self._history = grown
        self._history[:, column] = obs
        self._count += 1
        if self._count < self.window or a == 0:
            return np.full(x.shape[1], np.nan)
        stat = self.STATS[self.stat_name](self._history)
        stat[np.isnan(self._history).any(axis=1)] = np.nan
        return _combine(x, self._weights(stat))

    def get_state(self) -> Dict[str, Any]:
        return {
            "count": self._count,
            "window": self.window,
            "stat_name": self.stat_name,
            "history": None if self._history is None else self._history.copy(),
            "previous": None if self._previous is None else self._previous.copy(),
        }

    def set_state(self, data: Any) -> None:
        _check_state(self, data)
        history = data.get("history")
        previous = data.get("previous")
        self._history = None if history is None else np.array(history, dtype=np.float64)
        self._previous = None if previous is None else np.array(previous, dtype=np.float64)
        self._count = int(data.get("count", 0))

    @classmethod
    def from_state(cls, data: Any, **config: Any) -> "_SignalWeighting":
        if isinstance(data, dict):
            config.setdefault("window", data.get("window"))
            if data.get("stat_name") is not None:
                config.setdefault("stat_name", data["stat_name"])
        inst = cls(**config)
        inst.set_state(data)
        return inst

    def __repr__(self) -> str:
        return (f"{type(self).__name__}(window={self.window}, stat_name={self.stat_name!r}, "
                f"count={self._count})")


def _pnl_observation(extraction: np.ndarray, signal_pnl: Any) -> np.ndarray:
    a = extraction.shape[0]
    if signal_pnl is None:
        return np.full(a, np.nan)
    pnl = np.asarray(signal_pnl, dtype=np.float64).reshape(-1)
    if pnl.shape[0] != a:
        raise ValueError(f"signal_pnl has {pnl.shape[0]} entries for {a} signals")
    return pnl


class VolatilityWeighting(_SignalWeighting):
    """Inverse-risk weighting of the passing signals by a rolling risk of their PnL.

    stat_name: "std" (population standard deviation, default), "downside" (root mean square
    of the losses), "mad" (mean absolute deviation from the mean).
    """

    STATS = {
        "std": _pop_std,
        "downside": _downside,
        "mad": lambda h: np.mean(np.abs(h - h.mean(axis=1, keepdims=True)), axis=1),
    }
    DEFAULT_STAT = "std"

    def _weights(self, stat):
        return _inverse_weights(stat)


class SharpeWeighting(_SignalWeighting):
    """Weighting of the passing signals in proportion to the positive part of a rolling
    risk-adjusted return of their PnL.

    stat_name: "sharpe" (mean / population standard deviation, default), "sortino" (mean /
    downside deviation), "mean" (mean PnL).  A zero deviation gives a ratio of 0.
    """

    STATS = {
        "sharpe": lambda h: _ratio(h.mean(axis=1), _pop_std(h)),
        "sortino": lambda h: _ratio(h.mean(axis=1), _downside(h)),
        "mean": lambda h: h.mean(axis=1),
    }
    DEFAULT_STAT = "sharpe"

    def _weights(self, stat):
        return _positive_weights(stat)


class TurnoverWeighting(_SignalWeighting):
    """Inverse weighting of the passing signals by their rolling turnover, the sum over cells
    of |w[t] - w[t-1]| (cells valid in both rows); the first row has no turnover.

    stat_name: "mean" (mean turnover over the window, default), "max" (largest turnover).
    """

    STATS = {"mean": lambda h: h.mean(axis=1), "max": lambda h: h.max(axis=1)}
    DEFAULT_STAT = "mean"

    def _observe(self, extraction, signal_pnl):
        prev = self._previous
        self._previous = extraction.copy()
        if prev is None or prev.shape != extraction.shape:
            return np.full(extraction.shape[0], np.nan)
        diff = np.abs(extraction - prev)
        return np.where(np.isnan(diff), 0.0, diff).sum(axis=1)

    def _weights(self, stat):
        return _inverse_weights(stat)


# The library table
@dataclass(frozen=True)
class BuiltinSpec:
    """One built-in: its store name, its readable name, its class and what it computes.

    ``arguments`` and ``semantics`` are the reference text of the function (the README table
    and ``tessaline-evaluate --list-functions`` print them).
    """

    name: str
    cls: Type[_Builtin]
    family: str
    stateful: bool
    param_schema: Dict[str, Any] = field(default_factory=dict)
    required: Tuple[str, ...] = ()
    version: str = "1.0"
    readable: str = ""
    arguments: str = ""
    semantics: str = ""

    @property
    def description(self) -> str:
        return (self.cls.__doc__ or "").strip().splitlines()[0]


_WINDOW = {"window": {"type": "int"}}
_REDUCTION_SCHEMA = {"window": {"type": "int"}, "stat_name": {"type": "string"},
                     "pnl_column": {"type": "string"}}
_STRICT = ("NaN unless all `window` cells are valid (not NaN; infinities count as valid), so "
           "the first window-1 rows are NaN; long-double running totals")
_POOL = ("weighted sum of the weight rows of the signals passing the filtration (all signals "
         "without one), weights in proportion to ")
_POOL_RULES = ("; NaN until `window` rows were seen; a signal without `window` valid "
               "observations gets no weight; a change in the number of passing signals "
               "restarts the window; NaN cells are skipped, NaN where no weighted signal has a "
               "value")


def _rolling_spec(name: str, cls: Type[_Builtin], readable: str, value: str) -> BuiltinSpec:
    return BuiltinSpec(name, cls, "longitudinal", True, _WINDOW, ("window",), readable=readable,
                       arguments="x, window", semantics=f"{value}; {_STRICT}")


def _pool_spec(name: str, cls: Type[_Builtin], readable: str, options: str,
               weighting: str) -> BuiltinSpec:
    return BuiltinSpec(name, cls, "statistical", True, _REDUCTION_SCHEMA, ("window",),
                       readable=readable, arguments="filtration, window, " + options,
                       semantics=_POOL + weighting + _POOL_RULES)


BUILTINS: Dict[str, BuiltinSpec] = {builtin.name: builtin for builtin in (
    BuiltinSpec(
        RANK, CrossSectionalRank, "virtualization", False, readable="rank", arguments="x",
        semantics="rank of each cell among the row's valid cells (not NaN, inside the "
                  "universe): k/(n-1) at 0-based ascending position k of n; tied values "
                  "share the mean of their positions; a lone valid cell gives 0.5; NaN and "
                  "cells outside the universe stay NaN"),
    BuiltinSpec(
        PRODUCT, CellProduct, "numerical", False, readable="product", arguments="a, b, ...",
        semantics="cell-by-cell product of one or more inputs; NaN where any input is NaN"),
    _rolling_spec(ROLLING_MEAN, RollingMean, "ts_mean",
                  "mean of the last `window` rows (current row included)"),
    _rolling_spec(ROLLING_STD, RollingStd, "ts_std",
                  "population standard deviation (divisor `window`) of the last `window` rows"),
    _rolling_spec(ROLLING_ZSCORE, RollingZScore, "ts_zscore",
                  "(x - mean) / std of the current value against the last `window` rows' mean "
                  "and population standard deviation, 0.0 where that deviation is 0"),
    _pool_spec(VOLATILITY, VolatilityWeighting, "volatility_weighting",
               'stat_name="std", pnl_column="gross_returns"',
               "1/risk of each signal's PnL over the last `window` rows: \"std\" population "
               "standard deviation, \"downside\" root mean square of the losses, \"mad\" mean "
               "absolute deviation; signals with zero risk share everything, equal weights when "
               "none has a risk"),
    _pool_spec(SHARPE, SharpeWeighting, "sharpe_weighting",
               'stat_name="sharpe", pnl_column="gross_returns"',
               "max(stat, 0) of each signal's PnL over the last `window` rows: \"sharpe\" mean / "
               "population standard deviation, \"sortino\" mean / root mean square of the "
               "losses, \"mean\"; a zero deviation gives 0; equal weights when no signal has a "
               "positive stat"),
    _pool_spec(TURNOVER, TurnoverWeighting, "turnover_weighting", 'stat_name="mean"',
               "1/turnover, the sum of abs(w[t] - w[t-1]) over the cells valid in both rows "
               "(none on the first row), \"mean\" or \"max\" over the last `window` rows; "
               "signals with zero turnover share everything, equal weights when none has one"),
    BuiltinSpec(
        DEMEAN, Demean, "transform", False, readable="demean", arguments="x",
        semantics="subtracts the mean of the row's valid cells; a row without one stays NaN"),
    BuiltinSpec(
        GROSS_SCALE, GrossScale, "transform", False, {"gross": {"type": "float"}},
        readable="gross_scale", arguments="x, gross=1.0",
        semantics="scales the row so that the sum of its absolute valid cells is `gross`; a "
                  "row whose sum is 0 or not finite becomes 0.0 in its valid cells"),
    BuiltinSpec(
        CLIP, Clip, "transform", False, {"limit": {"type": "float"}}, readable="clip",
        arguments="x, limit=3.0",
        semantics="clips every valid cell to [-limit, limit] (limit > 0); NaN stays NaN"),
)}

#: readable name -> store name, accepted by graph files in place of the store name
READABLE_NAMES: Dict[str, str] = {b.readable: b.name for b in BUILTINS.values()}


def function_table() -> str:
    """The built-ins as a Markdown table: readable name, store name, arguments, semantics.

    Returns
    -------
    str
        One header row, one separator row and one row per built-in, in library order.
    """
    rows = ["| name | store name | arguments | semantics |", "|---|---|---|---|"]
    rows += [f"| `{b.readable}` | `{b.name}` | {b.arguments} | {b.semantics} |"
             for b in BUILTINS.values()]
    return "\n".join(rows)
