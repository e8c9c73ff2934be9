"""Slow NumPy twins of the whole-matrix fast paths, step by step, used as the reference
that the native code must reproduce bit for bit (tests and benchmarks)."""

import numpy as np


def apply_universe_mask(data, universe):
    if universe is None:
        return data
    inactive = (universe == 0.0) | np.isnan(universe)
    return np.where(inactive, np.nan, data)


def rank_matrix(data, universe=None):
    """Cross-sectional rank of every row, or None when any row holds a finite tie."""
    data = np.asarray(data, dtype=np.float64)
    if universe is None:
        masked = data.copy()
    else:
        masked = apply_universe_mask(data, universe)
    valid = ~np.isnan(masked)
    counts = np.sum(valid, axis=1)
    filled = np.where(valid, masked, np.inf)
    order = np.argsort(filled, axis=1, kind="mergesort")
    sorted_vals = np.take_along_axis(filled, order, axis=1)
    finite = np.isfinite(sorted_vals)
    ties = (sorted_vals[:, 1:] == sorted_vals[:, :-1]) & finite[:, 1:] & finite[:, :-1]
    if np.any(ties):
        return None
    T, N = masked.shape
    result = np.empty((T, N), dtype=np.float64)
    result[np.arange(T)[:, None], order] = np.broadcast_to(
        np.arange(N, dtype=np.float64), (T, N))
    result[~valid] = np.nan
    multi = counts > 1
    if np.any(multi):
        result[multi] = result[multi] / (counts[multi] - 1)[:, None]
    single = counts == 1
    if np.any(single):
        result[single] = np.where(valid[single], 0.5, np.nan)
    empty = counts == 0
    if np.any(empty):
        result[empty] = np.nan
    return np.ascontiguousarray(result, dtype=np.float64)


def rank_multiply(a, b, universe=None):
    left = rank_matrix(a, universe)
    if left is None:
        return None
    right = rank_matrix(b, universe)
    if right is None:
        return None
    return np.ascontiguousarray(left * right, dtype=np.float64)


def rank_row_average_ties(row):
    """One row ranked as k / (n - 1) over its valid cells, tied values sharing the mean of
    their positions; 0.5 for a single valid cell; NaN elsewhere."""
    row = np.asarray(row, dtype=np.float64)
    out = np.full(row.shape, np.nan)
    valid = ~np.isnan(row)
    n = int(valid.sum())
    if n == 0:
        return out
    if n == 1:
        out[valid] = 0.5
        return out
    cols = np.flatnonzero(valid)
    vals = row[cols]
    order = np.argsort(vals, kind="mergesort")
    pos = np.empty(n, dtype=np.float64)
    i = 0
    while i < n:
        j = i
        while j + 1 < n and vals[order[j + 1]] == vals[order[i]]:
            j += 1
        pos[order[i:j + 1]] = (i + j) / 2.0
        i = j + 1
    out[cols] = pos / (n - 1)
    return out


def assert_bits(got, want):
    """``got`` is ``want`` bit for bit, a C-contiguous float64 array (or both are None)."""
    if want is None:
        assert got is None
        return
    assert got is not None
    assert got.dtype == np.float64 and got.flags.c_contiguous and got.shape == want.shape
    assert got.view(np.uint64).tobytes() == want.view(np.uint64).tobytes()


class FactoryRegistry:
    """A registry that only answers has_factory, recording the names it was asked about."""

    def __init__(self, factories=()):
        self.factories = set(factories)
        self.asked = []

    def has_factory(self, name):
        self.asked.append(name)
        return name in self.factories
