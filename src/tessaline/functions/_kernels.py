"""Row kernels of the built-in library: cross-sectional rank and rolling accumulators.

The rank runs on the C++ kernel shared with the evaluator's rank fast path.

Rolling accumulators keep, per column, long-double running totals of the values (NaN counted
as 0.0), of their squares and of the invalid cells since the first row, plus a ring of the
totals of the last ``window`` rows; a window's sum is the difference of two running totals,
which is exactly how the whole-matrix rolling kernel forms it.
"""

from __future__ import annotations

from typing import Any, Dict

import numpy as np

from tessaline.functions import _builtins

MEAN, STD, ZSCORE = 0, 1, 2
_LD = np.longdouble


def rank_row(x: np.ndarray) -> np.ndarray:
    out = np.empty(x.shape[0])
    _builtins.rank_row_into(x if x.flags.c_contiguous else np.ascontiguousarray(x), out)
    return out


class RollingAccumulator:
    """Running long-double totals for one rolling statistic over a stream of rows."""

    def __init__(self, kind: int, window: int):
        self.kind = kind
        self.window = window
        self.count = 0
        self._width = -1

    def _allocate(self, n: int) -> None:
        w = self.window
        self._width = n
        self._sum = np.zeros(n, dtype=_LD)
        self._inv = np.zeros(n, dtype=np.int64)
        self._hist_sum = np.zeros((w, n), dtype=_LD)
        self._hist_inv = np.zeros((w, n), dtype=np.int64)
        if self.kind != MEAN:
            self._sq = np.zeros(n, dtype=_LD)
            self._hist_sq = np.zeros((w, n), dtype=_LD)

    def push(self, x: np.ndarray) -> np.ndarray:
        n = x.shape[0]
        if self._width < 0:
            self._allocate(n)
        elif n != self._width:
            raise ValueError(f"row width changed from {self._width} to {n}")
        w = self.window
        t = self.count
        slot = t % w
        self._hist_sum[slot] = self._sum
        self._hist_inv[slot] = self._inv
        valid = ~np.isnan(x)
        safe = np.where(valid, x, 0.0).astype(_LD)
        if t == 0:  # the first running total is a copy of the first value (-0.0 stays)
            self._sum[:] = safe
        else:
            self._sum += safe
        self._inv += ~valid
        if self.kind != MEAN:
            self._hist_sq[slot] = self._sq
            if t == 0:
                self._sq[:] = safe * safe
            else:
                self._sq += safe * safe
        self.count = t + 1
        out = np.full(n, np.nan)
        if t < w - 1:
            return out
        old = (t + 1) % w
        computable = (self._inv - self._hist_inv[old] == 0) & valid
        if not computable.any():
            return out
        mean = (self._sum - self._hist_sum[old]) / _LD(w)
        if self.kind == MEAN:
            out[computable] = mean[computable].astype(np.float64)
            return out
        var = np.maximum(_LD(0.0), (self._sq - self._hist_sq[old]) / _LD(w) - mean * mean)
        std = np.sqrt(var)
        if self.kind == STD:
            out[computable] = std[computable].astype(np.float64)
            return out
        z = np.zeros(n, dtype=_LD)
        nz = computable & (std != 0.0)
        z[nz] = (x[nz].astype(_LD) - mean[nz]) / std[nz]
        out[computable] = z[computable].astype(np.float64)
        return out

    def get_state(self) -> Dict[str, Any]:
        state: Dict[str, Any] = {"count": self.count, "window": self.window}
        if self._width >= 0:
            state.update(width=self._width, sum=self._sum.copy(), invalid=self._inv.copy(),
                         history_sum=self._hist_sum.copy(),
                         history_invalid=self._hist_inv.copy())
            if self.kind != MEAN:
                state.update(sum_sq=self._sq.copy(), history_sum_sq=self._hist_sq.copy())
        return state

    def set_state(self, data: Dict[str, Any]) -> None:
        count = int(data.get("count", 0))
        if "sum" not in data:
            if count:
                raise ValueError("state with a count but no running totals")
            self.count, self._width = 0, -1
            return
        n = int(data["width"])
        self._allocate(n)
        w = self.window
        self._sum[:] = np.asarray(data["sum"], dtype=_LD)
        self._inv[:] = np.asarray(data["invalid"])
        self._hist_sum[:] = np.asarray(data["history_sum"], dtype=_LD).reshape(w, n)
        self._hist_inv[:] = np.asarray(data["history_invalid"]).reshape(w, n)
        if self.kind != MEAN:
            if "sum_sq" not in data:
                raise ValueError("state lacks the running totals of squares")
            self._sq[:] = np.asarray(data["sum_sq"], dtype=_LD)
            self._hist_sq[:] = np.asarray(data["history_sum_sq"], dtype=_LD).reshape(w, n)
        self.count = count
