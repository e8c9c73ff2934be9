"""Function graphs written as expressions.

Each function returns a ``FunctionGraphNode`` that names its built-in by the store name, so the
result evaluates like any hand-built graph (and takes the same fast paths)::

    from tessaline.expr import feature, product, rank, ts_mean
    graph = product(rank(feature("close")), rank(ts_mean(feature("volume"), 20)))

Wherever a node is expected, a plain string stands for ``feature(string)``.
"""

from __future__ import annotations

from typing import Callable, Union

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


def _rolling(function: str, store: str, summary: str) -> Callable[[Node, int], FunctionGraphNode]:
    def build(x: Node, window: int) -> FunctionGraphNode:
        window = _B._positive_int(window, "window")
        return FunctionGraphNode("rotation", store, [_node(x, "x"),
                                                     FunctionGraphNode("int", window)])

    build.__name__ = build.__qualname__ = function
    build.__doc__ = f"""{summary}

    Parameters
    ----------
    x : FunctionGraphNode or str
        The input.
    window : int
        Number of rows, at least 1. A cell is NaN unless all ``window`` input cells up to it
        are valid, so the first ``window - 1`` rows are NaN.

    Returns
    -------
    FunctionGraphNode
        A rotation of ``{store}`` over ``x`` with an "int" window child.
    """
    return build


ts_mean = _rolling("ts_mean", _B.ROLLING_MEAN, "Rolling mean over the last ``window`` rows.")
ts_std = _rolling("ts_std", _B.ROLLING_STD, "Rolling population standard deviation (divisor "
                                            "``window``) over the last ``window`` rows.")
ts_zscore = _rolling("ts_zscore", _B.ROLLING_ZSCORE,
                     "Z-score of the current value against the mean and population standard "
                     "deviation of the last ``window`` rows (0.0 where that deviation is 0).")
