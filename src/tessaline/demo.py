"""Seeded synthetic markets and the demo graphs of ``tessaline-evaluate``.

The daily market has close, returns, volume and market cap per instrument, a universe with
listings and delistings (data is NaN outside an instrument's listed life), and a pool of useful
signals: noisy views of a hidden, slowly varying expected return, each with (T, N) weights,
(T, 2) PnL columns "gross_returns" and "net_returns" and metadata (family, sharpe, turnover).
The minute-bar market is a long, narrow panel of prices and returns.
"""

from __future__ import annotations

import contextlib
import json
import math
import os
import stat
import tempfile
import zipfile
import zlib
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from tessaline.functions import builtins as B
from tessaline.functions._typed_shapes import FunctionGraphNode as N
from tessaline.simulator_engine._types import TransformStage, UsefulSignal

PNL_COLUMNS = ["gross_returns", "net_returns"]
_FAMILIES = ("momentum", "reversal", "value", "carry")


@dataclass
class Market:
    """Feature matrices of one market, with what a context needs besides them."""

    name: str
    features: Dict[str, np.ndarray]
    returns_feature: str
    periods_per_year: float
    universe: Optional[np.ndarray] = None
    signals: Dict[str, UsefulSignal] = field(default_factory=dict)
    column_labels: List[str] = field(default_factory=list)

    @property
    def shape(self) -> Tuple[int, int]:
        return next(iter(self.features.values())).shape


def daily_market(days: int = 2520, instruments: int = 500, signals: int = 8,
                 seed: int = 2024) -> Market:
    rng = np.random.default_rng(seed)
    t, n = days, instruments
    # listed life: some instruments list late, some delist early
    listing = np.where(rng.random(n) < 0.2, rng.integers(1, max(t // 2, 2), n), 0)
    delisting = np.where(rng.random(n) < 0.15, rng.integers(max(t // 2, 1), t + 1, n), t)
    rows = np.arange(t)[:, None]
    listed = (rows >= listing[None, :]) & (rows < delisting[None, :])

    # hidden expected return: AR(1) per instrument, drives part of the next-day return
    alpha = np.empty((t, n))
    alpha[0] = rng.normal(size=n)
    shocks = rng.normal(size=(t, n)) * np.sqrt(1 - 0.97 ** 2)
    for i in range(1, t):
        alpha[i] = 0.97 * alpha[i - 1] + shocks[i]
    vol = rng.uniform(0.01, 0.03, n)
    beta = rng.uniform(0.5, 1.5, n)
    market = rng.normal(0.0003, 0.009, t)
    returns = beta * market[:, None] + vol * rng.normal(size=(t, n))
    returns[1:] += 0.012 * vol * alpha[:-1]
    close = 50.0 * np.exp(np.cumsum(returns, axis=0) - returns[0])
    shares = rng.lognormal(17.0, 1.0, n)
    market_cap = close * shares
    volume = shares * rng.lognormal(-5.0, 0.5, (t, n)) * (1 + 20 * np.abs(returns))

    features = {"close": close, "returns": returns, "volume": volume, "market_cap": market_cap}
    for arr in features.values():
        arr[~listed] = np.nan
    universe = listed.astype(np.float64)

    pool = {}
    next_returns = np.zeros_like(returns)
    next_returns[:-1] = np.where(listed[1:], returns[1:], 0.0)
    for k in range(signals):
        family = _FAMILIES[k % len(_FAMILIES)]
        noise = rng.uniform(1.0, 6.0)
        view = alpha + noise * rng.normal(size=(t, n))
        if k % 3 == 2:  # a slower, smoother signal
            view = 0.5 * view + 0.5 * np.vstack([view[:1], view[:-1]])
        view[~listed] = np.nan
        w = view - np.nanmean(view, axis=1, keepdims=True)
        w /= np.nansum(np.abs(w), axis=1, keepdims=True)
        held = np.nan_to_num(w)
        gross = np.zeros(t)
        gross[:-1] = (held[:-1] * next_returns[:-1]).sum(axis=1)
        gross = np.concatenate([[0.0], gross[:-1]])  # PnL booked on the row it is realised
        turnover = np.concatenate([[0.0], np.abs(np.diff(held, axis=0)).sum(axis=1)])
        net = gross - 0.0005 * turnover
        sd = gross.std()
        sharpe = float(gross.mean() / sd * np.sqrt(252)) if sd > 0 else 0.0
        pool[f"sig_{k:02d}_{family}"] = UsefulSignal(
            weights=w, pnl=np.column_stack([gross, net]),
            metadata={"family": family, "sharpe": round(sharpe, 3),
                      "turnover": round(float(turnover.mean()), 4), "noise": round(noise, 3)})
    return Market("daily", features, "returns", 252.0, universe, pool, list(PNL_COLUMNS))


def minute_market(rows: int = 100_000, instruments: int = 20, seed: int = 7) -> Market:
    rng = np.random.default_rng(seed)
    vol = rng.uniform(0.0005, 0.002, instruments)
    returns = vol * rng.standard_t(5, size=(rows, instruments))
    returns[rng.random(returns.shape) < 0.0002] = np.nan  # missing bars
    close = 100.0 * np.exp(np.nancumsum(returns, axis=0))
    close[np.isnan(returns)] = np.nan
    return Market("minute", {"minute_close": close, "minute_returns": returns},
                  "minute_returns", 252.0 * 390)


# ------------------------------------------------------------------------------------------
# Demo graphs
# ------------------------------------------------------------------------------------------
def _feat(name):
    return N("feature", name)


def _rot(fn, *children):
    return N("rotation", fn, list(children))


@dataclass
class Demo:
    name: str
    market: str
    graph: Any
    metaparameters: Dict[str, Any] = field(default_factory=dict)
    pipeline: List[TransformStage] = field(default_factory=list)
    # Ranks lie in [0, 1] and standard deviations are never negative: held as they are they
    # are long-only books that mostly earn the market's return. The command line holds such
    # signals dollar-neutral (each row less its mean), so that the report and the chart
    # compare signals rather than market beta.
    neutral: bool = False


def demo_graphs() -> List[Demo]:
    rank = lambda x: _rot(B.RANK, x)  # noqa: E731
    momentum_filter = N("filtration", "filtration", [
        N("and_", "and_", [
            N("gt", "gt", [N("string", "sharpe"), N("float", 0.0)]),
            N("in_", "in_", [N("string", "family"), N("string", "momentum"),
                             N("string", "value"), N("string", "carry")]),
        ])])
    top_filter = N("filtration", "filtration", [
        N("top_n", "top_n", [N("string", "sharpe"), N("int", 4)])])
    return [
        Demo("leaf_returns", "daily", _feat("returns")),
        Demo("rank_volume", "daily", rank(_feat("volume")), neutral=True),
        Demo("rank_x_rank", "daily", _rot(B.PRODUCT, rank(_feat("returns")),
                                          rank(_feat("market_cap"))), neutral=True),
        Demo("minute_zscore_of_mean", "minute",
             _rot(B.ROLLING_ZSCORE, _rot(B.ROLLING_MEAN, _feat("minute_returns"), N("int", 15)),
                  N("int", 240))),
        Demo("daily_std_of_mean", "daily",
             _rot(B.ROLLING_STD, _rot(B.ROLLING_MEAN, _feat("returns"), N("int", 5)),
                  N("int", 60)), neutral=True),
        Demo("sharpe_weighted_pool", "daily",
             N("reduction", B.SHARPE, [momentum_filter, N("int", 60), N("string", "sharpe")])),
        Demo("inverse_vol_top4", "daily",
             N("reduction", B.VOLATILITY, [top_filter, N("int", 20), N("string", "std"),
                                           N("string", "net_returns")])),
        Demo("pipeline_demeaned_rank", "daily", rank(_feat("market_cap")),
             metaparameters={"demean": B.DEMEAN, "scale": B.GROSS_SCALE},
             pipeline=[TransformStage("demean"), TransformStage("scale"),
                       TransformStage("clip")]),
    ]


# ------------------------------------------------------------------------------------------
# Market files (.npz): 2-D arrays are features; "universe", "column_labels" and
# "signal:<id>:weights|pnl|metadata" are the special keys.
# ------------------------------------------------------------------------------------------
def save_market(market: Market, path: str) -> None:
    arrays: Dict[str, Any] = dict(market.features)
    if market.universe is not None:
        arrays["universe"] = market.universe
    if market.column_labels:
        arrays["column_labels"] = np.array(market.column_labels)
    for sid, sig in market.signals.items():
        if sig.weights is not None:
            arrays[f"signal:{sid}:weights"] = sig.weights
        if sig.pnl is not None:
            arrays[f"signal:{sid}:pnl"] = sig.pnl
        arrays[f"signal:{sid}:metadata"] = np.array(json.dumps(sig.metadata))
    arrays["returns_feature"] = np.array(market.returns_feature)
    arrays["periods_per_year"] = np.array(market.periods_per_year)
    write_arrays(path, arrays)


def write_arrays(path: str, arrays: Dict[str, np.ndarray]) -> None:
    """Write ``arrays`` as a compressed .npz archive that ``np.load`` reads back by key.

    Written member by member (``np.savez`` takes the names as keywords, so "file" or
    "allow_pickle" would be taken for its own arguments) to a temporary file in the same
    folder, which then replaces ``path``: a write cut short leaves the previous file intact.
    """
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".tessaline-", suffix=".npz.tmp", dir=folder)
    try:
        with os.fdopen(fd, "wb") as fh:
            with zipfile.ZipFile(fh, "w", zipfile.ZIP_DEFLATED, allowZip64=True,
                                 compresslevel=1) as zf:
                for key, array in arrays.items():
                    with zf.open(key + ".npy", "w", force_zip64=True) as member:
                        np.lib.format.write_array(member, np.asarray(array), allow_pickle=False)
            fh.flush()
            os.fsync(fh.fileno())
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _scalar(path: str, key: str, value: np.ndarray, kind: str) -> Any:
    if value.ndim != 0 or value.dtype.kind not in kind:
        raise ValueError(f"{path}: '{key}' must be a single "
                         f"{'number' if 'f' in kind else 'string'}; got shape {value.shape}, "
                         f"dtype {value.dtype}")
    return value.item()


def _numeric(path: str, key: str, value: np.ndarray) -> np.ndarray:
    if value.dtype.kind not in "fiub":
        raise ValueError(f"{path}: '{key}' must be numeric; got dtype {value.dtype}")
    return np.asarray(value, dtype=np.float64)


def _read_arrays(path: str, fh) -> Dict[str, np.ndarray]:
    fh.seek(0)
    files = {}
    with np.load(fh, allow_pickle=False) as data:
        for key in data.files:
            try:
                files[key] = data[key]
            except ValueError as exc:  # object arrays (pickles) and damaged headers
                raise ValueError(f"{path}: array '{key}': {exc}") from None
    return files


def load_market(path: str) -> Market:
    """Load a market file; only plain arrays are read (no pickled objects).

    Raises ``ValueError`` naming the file (and the key, where one is at fault) for anything
    that is not a market file.
    """
    try:
        with open(path, "rb") as fh:
            if not stat.S_ISREG(os.fstat(fh.fileno()).st_mode):
                raise ValueError(f"{path}: not a regular file")
            if not zipfile.is_zipfile(fh):
                raise ValueError(f"{path}: not a market file (an .npz archive of arrays)")
            files = _read_arrays(path, fh)
    except OSError as exc:
        raise ValueError(f"{path}: cannot read market file: {exc.strerror or exc}") from None
    except (zipfile.BadZipFile, EOFError, KeyError, zlib.error) as exc:
        raise ValueError(f"{path}: damaged market file: {exc}") from None

    features: Dict[str, np.ndarray] = {}
    signal_parts: Dict[str, Dict[str, Any]] = {}
    universe = None
    labels: List[str] = []
    returns_feature = "returns"
    periods = 252.0
    for key, value in files.items():
        if key.startswith("signal:"):
            sid, _, part = key[len("signal:"):].rpartition(":")
            if not sid or part not in ("weights", "pnl", "metadata"):
                raise ValueError(f"{path}: key '{key}' is not signal:<id>:weights|pnl|metadata")
            signal_parts.setdefault(sid, {})[part] = value
        elif key == "universe":
            universe = _numeric(path, key, value)
        elif key == "column_labels":
            labels = [str(v) for v in value.reshape(-1)]
        elif key == "returns_feature":
            returns_feature = _scalar(path, key, value, "U")
        elif key == "periods_per_year":
            periods = float(_scalar(path, key, value, "fiu"))
            if not (math.isfinite(periods) and periods > 0):
                raise ValueError(f"{path}: 'periods_per_year' must be a positive number; "
                                 f"got {periods}")
        elif value.ndim == 2 and value.dtype.kind in "fiub":
            features[key] = np.ascontiguousarray(value, dtype=np.float64)
        else:
            raise ValueError(f"{path}: array '{key}' is not a 2-D numeric feature matrix "
                             f"(shape {value.shape}, dtype {value.dtype})")
    if not features:
        raise ValueError(f"{path}: no 2-D feature matrices found")
    signals = {}
    for sid, parts in signal_parts.items():
        meta: Any = {}
        if "metadata" in parts:
            key = f"signal:{sid}:metadata"
            text = _scalar(path, key, parts["metadata"], "U")
            try:
                meta = json.loads(text)
            except ValueError as exc:
                raise ValueError(f"{path}: '{key}': {exc}") from None
            if not isinstance(meta, dict):
                raise ValueError(f"{path}: '{key}' must be a JSON object; got "
                                 f"{type(meta).__name__}")
        arrays = {part: _numeric(path, f"signal:{sid}:{part}", parts[part])
                  for part in ("weights", "pnl") if part in parts}
        signals[sid] = UsefulSignal(weights=arrays.get("weights"), pnl=arrays.get("pnl"),
                                    metadata=meta)
    return Market("data", features, returns_feature, periods, universe, signals, labels)
