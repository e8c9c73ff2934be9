"""Per-call cost of the built-in functions on one 500-wide row, against the same row
computed with NumPy calls (what a pure-Python built-in would cost)."""

from __future__ import annotations

import timeit

import numpy as np

from tessaline.functions import builtins as B
from tessaline.functions.registry import default_registry

N = 500
CALLS = 20000


def numpy_rank(row):
    out = np.full(row.shape[0], np.nan)
    idx = np.flatnonzero(~np.isnan(row))
    order = np.argsort(row[idx], kind="mergesort")
    out[idx[order]] = np.arange(idx.size, dtype=np.float64) / (idx.size - 1)
    return out


class NumpyRollingZ:
    def __init__(self, window):
        self.w, self.buf, self.t = window, None, 0

    def __call__(self, row):
        if self.buf is None:
            self.buf = np.full((self.w, row.shape[0]), np.nan)
        self.buf[self.t % self.w] = row
        self.t += 1
        h = self.buf.astype(np.longdouble)
        mean = h.mean(axis=0)
        sd = np.sqrt(np.maximum(0.0, (h * h).mean(axis=0) - mean * mean))
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(sd != 0, (row - mean) / sd, 0.0).astype(np.float64)


def per_call_us(fn):
    fn()
    return timeit.timeit(fn, number=CALLS) / CALLS * 1e6


def main():
    rng = np.random.default_rng(0)
    row = rng.normal(size=N)
    row[::17] = np.nan
    reg = default_registry()
    rank = reg.create_instance(B.RANK)
    z = reg.create_instance(B.ROLLING_ZSCORE, window=20)
    mean = reg.create_instance(B.ROLLING_MEAN, window=20)
    nz = NumpyRollingZ(20)
    rows = [
        ("rank (built-in)", per_call_us(lambda: rank(row, context=None))),
        ("rank (NumPy per row)", per_call_us(lambda: numpy_rank(row))),
        ("rolling mean (built-in)", per_call_us(lambda: mean(row, context=None))),
        ("rolling z-score (built-in)", per_call_us(lambda: z(row, context=None))),
        ("rolling z-score (NumPy per row)", per_call_us(lambda: nz(row))),
    ]
    for label, us in rows:
        print(f"{label:<34} {us:8.2f} us/call  ({N}-wide row)")
    print(f"rank speed-up over NumPy: {rows[1][1] / rows[0][1]:.1f}x; "
          f"z-score: {rows[4][1] / rows[3][1]:.1f}x")


if __name__ == "__main__":
    main()
