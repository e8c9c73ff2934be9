"""Row kernels of the built-in library: cross-sectional rank and rolling accumulators.

The rank runs on the C++ kernel shared with the evaluator's rank fast path.

Rolling accumulators keep, per column, long-double running totals of the values (NaN counted
as 0.0), of their squares and of the invalid cells since the first row, and trailing totals
of the rows that left the window; a window's sum is the difference of the two, which is
exactly how the whole-matrix rolling kernel forms it.  Their state holds the totals as raw
long-double bytes, so a resumed stream continues bit for bit.
"""

from __future__ import annotations

from typing import Any, Dict

import numpy as np

from tessaline.functions import _builtins

MEAN, STD, ZSCORE = 0, 1, 2


rank_row = _builtins.rank_row


class RollingAccumulator:
    """One rolling statistic over a stream of rows (the C++ ``RollingStream``)."""

    def __init__(self, kind: int, window: int):
        self._stream = _builtins.RollingStream(kind, window)

    @property
    def count(self) -> int:
        return self._stream.count

    def push(self, x: np.ndarray) -> np.ndarray:
        return self._stream.push(x)

    def get_state(self) -> Dict[str, Any]:
        return self._stream.get_state()

    def set_state(self, data: Dict[str, Any]) -> None:
        self._stream.set_state(data)
