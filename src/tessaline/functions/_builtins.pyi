"""
Row kernels of the built-in function library (rank, rolling statistics).
"""

from typing import Annotated

import numpy
from numpy.typing import NDArray


def rank_row(row: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C')]:
    """
    Rank one float64 row: k/(n-1) over valid cells, ties share the mean position, 0.5 for a single valid cell, NaN stays NaN.
    """

class RollingStream:
    """
    Rolling mean (kind 0), population std (1) or z-score (2) over `window` rows, one row per push; strict NaN windows.
    """

    def __init__(self, kind: int, window: int) -> None: ...

    @property
    def count(self) -> int: ...

    @property
    def window(self) -> int: ...

    def push(self, row: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C')]: ...

    def get_state(self) -> dict: ...

    def set_state(self, state: dict) -> None: ...
