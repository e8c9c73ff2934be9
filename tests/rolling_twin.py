"""Slow NumPy transcription of the rolling longitudinal kernels.

The native kernels must reproduce these steps bit for bit: long-double running totals from
the start of each column (with a leading zero row), window sums as differences of two
running totals, one rounding to float64 at the end.
"""

import warnings

import numpy as np

MEAN = "longitudinal_accumulators_2ee349"
STD = "longitudinal_accumulators_e4993a"
ZSCORE = "longitudinal_accumulators_250f46"


def twin(data, window, name):
    """``rolling_twin`` without NumPy's warnings about the NaN and infinite cells."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return rolling_twin(data, window, name)


def same_bytes(got, want):
    """``got`` is ``want`` byte for byte: a C-contiguous float64 ndarray of its shape."""
    assert type(got) is np.ndarray and got.dtype == np.float64
    assert got.shape == want.shape and got.flags.c_contiguous
    if got.tobytes() != want.tobytes():
        where = tuple(np.argwhere(got.view(np.uint64) != want.view(np.uint64))[0])
        raise AssertionError(f"cell {where}: {got[where]!r} != {want[where]!r}")


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
