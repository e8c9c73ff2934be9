"""Function graphs written as expressions.

Each function returns a ``FunctionGraphNode`` that names its built-in by the store name, so the
result evaluates like any hand-built graph (and takes the same fast paths)::

    from tessaline.expr import feature, product, rank, ts_mean
    graph = product(rank(feature("close")), rank(ts_mean(feature("volume"), 20)))

Wherever a node is expected, a plain string stands for ``feature(string)``.
"""

from __future__ import annotations

from typing import Union

from tessaline.functions import builtins as _B
from tessaline.functions._typed_shapes import FunctionGraphNode

__all__ = ["feature", "rank", "product", "ts_mean", "ts_std", "ts_zscore"]

Node = Union[FunctionGraphNode, str]


def _node(x: Node, what: str) -> FunctionGraphNode:
    if isinstance(x, str):
        return feature(x)
    if not isinstance(x, FunctionGraphNode):
        raise TypeError(f"{what} must be a FunctionGraphNode or a feature name; got "
                        f"{type(x).__name__}")
    return x


def feature(name: str) -> FunctionGraphNode:
    """A data leaf that reads the feature matrix ``name``.

    Parameters
    ----------
    name : str
        Key of the feature in the mapping handed to ``tessaline.evaluate``.

    Returns
    -------
    FunctionGraphNode
        A node of type "feature".
    """
    if not isinstance(name, str) or not name:
        raise TypeError(f"feature name must be a non-empty str; got {name!r}")
    return FunctionGraphNode("feature", name)


def rank(x: Node) -> FunctionGraphNode:
    """Cross-sectional rank of each row in [0, 1] (ties share their mean position).

    Parameters
    ----------
    x : FunctionGraphNode or str
        The ranked input.

    Returns
    -------
    FunctionGraphNode
        A rotation of ``virtualization_runtime_transform_acbc9b`` over ``x``.
    """
    return FunctionGraphNode("rotation", _B.RANK, [_node(x, "x")])


def product(a: Node, b: Node) -> FunctionGraphNode:
    """Cell-by-cell product of two inputs (NaN where either is NaN).

    Parameters
    ----------
    a, b : FunctionGraphNode or str
        The factors.

    Returns
    -------
    FunctionGraphNode
        A rotation of ``numerical_combine_d65e04`` over ``a`` and ``b``.
    """
    return FunctionGraphNode("rotation", _B.PRODUCT, [_node(a, "a"), _node(b, "b")])


def _rolling(name: str, x: Node, window: int) -> FunctionGraphNode:
    window = _B._positive_int(window, "window")
    return FunctionGraphNode("rotation", name, [_node(x, "x"), FunctionGraphNode("int", window)])


def ts_mean(x: Node, window: int) -> FunctionGraphNode:
    """Rolling mean over the last ``window`` rows, NaN unless the whole window is valid.

    Parameters
    ----------
    x : FunctionGraphNode or str
        The input.
    window : int
        Number of rows, at least 1; the first ``window - 1`` rows are NaN.

    Returns
    -------
    FunctionGraphNode
        A rotation of ``longitudinal_accumulators_2ee349`` over ``x`` with an "int" window.
    """
    return _rolling(_B.ROLLING_MEAN, x, window)


def ts_std(x: Node, window: int) -> FunctionGraphNode:
    """Rolling population standard deviation (divisor ``window``), strict NaN windows.

    Parameters
    ----------
    x : FunctionGraphNode or str
        The input.
    window : int
        Number of rows, at least 1; the first ``window - 1`` rows are NaN.

    Returns
    -------
    FunctionGraphNode
        A rotation of ``longitudinal_accumulators_e4993a`` over ``x`` with an "int" window.
    """
    return _rolling(_B.ROLLING_STD, x, window)


def ts_zscore(x: Node, window: int) -> FunctionGraphNode:
    """Z-score of the current value against the window's mean and population deviation.

    Parameters
    ----------
    x : FunctionGraphNode or str
        The input.
    window : int
        Number of rows, at least 1; the first ``window - 1`` rows are NaN, and cells whose
        window has zero deviation are 0.0.

    Returns
    -------
    FunctionGraphNode
        A rotation of ``longitudinal_accumulators_250f46`` over ``x`` with an "int" window.
    """
    return _rolling(_B.ROLLING_ZSCORE, x, window)
