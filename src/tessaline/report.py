"""Figures of a graph's weights: next-row PnL, exposures, turnover, Sharpe, drawdown, the
table ``tessaline-evaluate`` prints and its PnL chart.

The next-row PnL of row t is the weights of row t scaled to unit gross, times the returns of
row t+1.
"""
from __future__ import annotations

import math
from typing import TYPE_CHECKING, Dict, Optional, Sequence

import numpy as np

from tessaline import demo

if TYPE_CHECKING:
    from tessaline.cli import Outcome

__all__ = ["next_row_pnl", "equal_weight_pnl", "sharpe_ratio", "drawdown", "dollar_neutral",
           "summarise", "format_table", "business_days", "plot_pnl", "pyplot"]


def next_row_pnl(weights: np.ndarray, returns: Optional[np.ndarray]) -> Optional[np.ndarray]:
    if returns is None or returns.shape != weights.shape or weights.shape[0] < 2:
        return None
    w = _unit_gross(weights[:-1])
    r = np.nan_to_num(returns[1:], nan=0.0, posinf=0.0, neginf=0.0)
    return (w * r).sum(axis=1)


def _unit_gross(weights: np.ndarray) -> np.ndarray:
    """The rows scaled to unit gross exposure; missing weights hold nothing."""
    w = np.nan_to_num(weights, nan=0.0, posinf=0.0, neginf=0.0)
    gross = np.abs(w).sum(axis=1, keepdims=True)
    return np.divide(w, gross, out=np.zeros_like(w), where=gross > 0)


def equal_weight_pnl(market: demo.Market) -> Optional[np.ndarray]:
    """The next-row PnL of holding every instrument with a weight equally (the benchmark)."""
    returns = market.features.get(market.returns_feature)
    if returns is None or returns.shape[0] < 2:
        return None
    held = np.isfinite(returns[:-1]).astype(np.float64)
    if market.universe is not None:
        held *= np.nan_to_num(market.universe[:-1]) != 0
    return next_row_pnl(np.vstack([held, held[-1:]]), returns)


def sharpe_ratio(pnl: Optional[np.ndarray], periods_per_year: float) -> float:
    if pnl is None or not pnl.size or not pnl.std() > 0:
        return float("nan")
    return float(pnl.mean() / pnl.std() * math.sqrt(periods_per_year))


def drawdown(pnl: np.ndarray) -> np.ndarray:
    """Cumulative PnL below its running peak (zero or negative), from a start at zero."""
    cum = np.concatenate([[0.0], np.cumsum(pnl)])
    return (cum - np.maximum.accumulate(cum))[1:]


def dollar_neutral(weights: np.ndarray) -> np.ndarray:
    """Each row less the mean of its present weights, so that longs and shorts balance."""
    present = ~np.isnan(weights)
    count = present.sum(axis=1, keepdims=True)
    total = np.where(present, weights, 0.0).sum(axis=1, keepdims=True)
    mean = np.divide(total, count, out=np.zeros_like(total), where=count > 0)
    return weights - mean


def _number(value: float, digits: int) -> str:
    # rounded first, and -0.0 made 0.0, so that a balanced book does not read "-0.000"
    return "-" if not math.isfinite(value) else f"{round(value, digits) + 0.0:.{digits}f}"


def summarise(outcome: Outcome) -> Dict[str, str]:
    w = outcome.weights
    row = {"graph": outcome.name, "path": outcome.path,
           "shape": "x".join(map(str, w.shape)), "seconds": f"{outcome.seconds:.3f}"}
    stats = dict.fromkeys(("NaN share", "gross", "net", "turnover", "Sharpe", "max DD"),
                          float("nan"))
    if w.ndim == 2 and w.size:
        stats["NaN share"] = float(np.isnan(w).mean())
        live = ~np.isnan(w).all(axis=1)
        if live.any():
            held = np.nan_to_num(w[live], nan=0.0, posinf=0.0, neginf=0.0)
            stats["gross"] = float(np.abs(held).sum(axis=1).mean())
            stats["net"] = float(held.sum(axis=1).mean())
        if live.sum() > 1:
            stats["turnover"] = float(np.abs(np.diff(_unit_gross(w[live]), axis=0))
                                      .sum(axis=1).mean())
        pnl = outcome.pnl
        stats["Sharpe"] = sharpe_ratio(pnl, outcome.market.periods_per_year)
        if pnl is not None and pnl.size:
            stats["max DD"] = float(-drawdown(pnl).min())
    for key, value in stats.items():
        row[key] = _number(value, 2 if key == "Sharpe" else 3)
    return row


_LEFT = {"graph", "path", "shape"}


def format_table(rows: Sequence[Dict[str, str]]) -> str:
    if not rows:
        return "(no graphs)"
    cols = list(rows[0])
    width = {c: max(len(c), *(len(r[c]) for r in rows)) for c in cols}

    def fmt(r):
        return "  ".join(r[c].ljust(width[c]) if c in _LEFT else r[c].rjust(width[c])
                         for c in cols).rstrip()

    lines = [fmt({c: c for c in cols}), "  ".join("-" * width[c] for c in cols)]
    lines += [fmt(r) for r in rows]
    return "\n".join(lines)


def pyplot():
    """matplotlib's pyplot on the Agg backend; ImportError when matplotlib is missing."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


_DAY_BARS = 390  # one-minute bars in a trading day


def business_days(count: int, start: str = "2015-01-02") -> np.ndarray:
    """Synthetic dates for daily rows: consecutive business days from ``start``."""
    return np.busday_offset(start, np.arange(count), roll="forward").astype("datetime64[D]")


def _pnl_lines(outcomes: Sequence[Outcome], market: demo.Market):
    """(label, PnL, is benchmark) per graph of the market, best Sharpe first, then the
    equal-weight benchmark."""
    lines = []
    for o in outcomes:
        pnl = o.pnl
        if o.market is market and pnl is not None:
            lines.append((o.name, pnl, sharpe_ratio(pnl, market.periods_per_year)))
    lines.sort(key=lambda x: -x[2] if math.isfinite(x[2]) else math.inf)
    out = [(f"{name} (Sharpe {_number(s, 2)})", pnl, False) for name, pnl, s in lines]
    bench = equal_weight_pnl(market)
    if bench is not None and out:
        s = sharpe_ratio(bench, market.periods_per_year)
        out.append((f"equal-weight market (Sharpe {_number(s, 2)})", bench, True))
    return out


def plot_pnl(outcomes: Sequence[Outcome], path: str) -> None:
    """Cumulative next-row PnL per graph against an equal-weight benchmark: for daily data a
    panel over dates with a drawdown panel below it, for minute data a panel sampled at every
    day's last bar."""
    plt = pyplot()
    markets = []
    for o in outcomes:
        if o.market not in markets and o.pnl is not None:
            markets.append(o.market)
    panels = []  # (market, kind)
    for m in markets:
        panels += [(m, "pnl"), (m, "drawdown")] if m.name != "minute" else [(m, "pnl")]
    if not panels:
        panels = [(None, "empty")]
    heights = [1.4 if kind == "drawdown" else 3.0 for _, kind in panels]
    fig, axes = plt.subplots(len(panels), 1, figsize=(11, 2.2 * sum(heights)), squeeze=False,
                             gridspec_kw={"height_ratios": heights})
    for i, (ax, (market, kind)) in enumerate(zip(axes[:, 0], panels)):
        if kind == "drawdown":
            ax.sharex(axes[i - 1, 0])
        if market is None:
            ax.text(0.5, 0.5, "no graph with a PnL", ha="center", va="center")
            ax.set_axis_off()
            continue
        minute = market.name == "minute"
        rows = market.shape[0]
        if minute:
            step = _DAY_BARS if rows >= 4 * _DAY_BARS else max(1, rows // 200)
            x = np.arange(step, rows, step) / (_DAY_BARS if step == _DAY_BARS else 1)
            take = np.arange(step, rows, step) - 1  # PnL entries up to that bar
        else:
            x = business_days(rows)[1:]
            take = slice(None)
        for label, pnl, bench in _pnl_lines(outcomes, market):
            style = {"color": "black", "linestyle": "--", "linewidth": 1.4} if bench else \
                {"linewidth": 1.0, "alpha": 0.8 if kind == "drawdown" else 1.0}
            series = drawdown(pnl) if kind == "drawdown" else np.cumsum(pnl)
            ax.plot(x, series[take], label=label if kind == "pnl" else None, **style)
        ax.axhline(0.0, color="grey", linewidth=0.6)
        ax.grid(alpha=0.3)
        if kind == "drawdown":
            ax.set_ylabel("drawdown")
            ax.set_title(f"drawdown from the running peak ({market.name})", fontsize=10)
        else:
            ax.set_ylabel("cumulative return\n(unit gross exposure)")
            ax.set_title(f"cumulative next-row PnL, {market.name} market", fontsize=11)
            ax.legend(fontsize=8, loc="upper left", ncol=2 if minute else 1, framealpha=0.85)
        if minute:
            ax.set_xlabel("trading day (390 one-minute bars, last bar of each day)"
                          if step == _DAY_BARS else "one-minute bar")
        else:
            ax.set_xlabel("date (synthetic business days)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# --------------------------------------------------------------------------------------------
