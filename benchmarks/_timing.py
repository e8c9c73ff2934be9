"""Timing helper shared by the benchmark scripts (the machine may be shared: take the best)."""

from __future__ import annotations

import time


def best_of(fn, repeat):
    """Best wall time of ``repeat`` calls of ``fn``, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best
