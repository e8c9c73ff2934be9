"""Slow NumPy twins of the kernels, step by step: the references that the native code must
reproduce bit for bit (tests and benchmarks).

Rolling: long-double running totals from the start of each column (with a leading zero row),
window sums as differences of two running totals, one rounding to float64 at the end.
"""

import warnings

import numpy as np

MEAN, STD, ZSCORE = (f"longitudinal_accumulators_{h}" for h in ("2ee349", "e4993a", "250f46"))


def apply_universe_mask(data, universe):
    return data if universe is None else np.where((universe == 0.0) | np.isnan(universe), np.nan, data)


def rank_matrix(data, universe=None):
    """Cross-sectional rank of every row, or None when any row holds a finite tie."""
    data = np.asarray(data, dtype=np.float64)
    masked = data.copy() if universe is None else apply_universe_mask(data, universe)
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
    result[np.arange(T)[:, None], order] = np.broadcast_to(np.arange(N, dtype=np.float64), (T, N))
    result[~valid] = np.nan
    multi, single = counts > 1, counts == 1
    result[multi] = result[multi] / (counts[multi] - 1)[:, None]
    result[single] = np.where(valid[single], 0.5, np.nan)
    result[counts == 0] = np.nan
    return np.ascontiguousarray(result, dtype=np.float64)


def rank_multiply(a, b, universe=None):
    left = rank_matrix(a, universe)
    right = None if left is None else rank_matrix(b, universe)
    return None if right is None else np.ascontiguousarray(left * right, dtype=np.float64)


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
    """``got`` is ``want`` bit for bit, a C-contiguous float64 ndarray of its shape (or both are None)."""
    if want is None or got is None:
        assert got is want
        return
    assert type(got) is np.ndarray and got.dtype == np.float64 and got.flags.c_contiguous and got.shape == want.shape
    if got.tobytes() != want.tobytes():
        where = tuple(np.argwhere(got.view(np.uint64) != want.view(np.uint64))[0])
        raise AssertionError(f"cell {where}: {got[where]!r} != {want[where]!r}")


def twin(data, window, name):
    """``rolling_twin`` without NumPy's warnings about the NaN and infinite cells."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return rolling_twin(data, window, name)


def rolling_twin(data, window, name):
    data = np.asarray(data, dtype=np.float64)
    T, N = data.shape
    w = window
    out = np.full((T, N), np.nan, dtype=np.float64)
    if T < w:
        return out
    acc = np.longdouble
    valid = ~np.isnan(data)
    safe = np.where(valid, data, 0.0).astype(acc, copy=False)
    csum = np.vstack([np.zeros((1, N), dtype=acc), np.cumsum(safe, axis=0, dtype=acc)])
    bad = (~valid).astype(np.int32)
    ccnt = np.vstack([np.zeros((1, N), dtype=np.int32), np.cumsum(bad, axis=0)])
    wsum = csum[w:] - csum[: T - w + 1]
    wbad = ccnt[w:] - ccnt[: T - w + 1]
    computable = (wbad == 0) & valid[w - 1:]
    if not np.any(computable):
        return out
    tail = out[w - 1:]
    if name == MEAN:
        tail[computable] = (wsum / w)[computable].astype(np.float64)
        return out
    csq = np.vstack([np.zeros((1, N), dtype=acc), np.cumsum(safe * safe, axis=0, dtype=acc)])
    wsq = csq[w:] - csq[: T - w + 1]
    mean = wsum / w
    var = np.maximum(0.0, wsq / w - mean * mean)
    std = np.sqrt(var)
    if name == STD:
        tail[computable] = std[computable].astype(np.float64)
        return out
    latest = data[w - 1:].astype(acc)
    z = np.zeros_like(latest)
    nonzero = computable & (std != 0.0)
    z[nonzero] = (latest[nonzero] - mean[nonzero]) / std[nonzero]
    tail[computable] = z[computable].astype(np.float64)
    return out
