"""The filtration engine: selects useful signals by conditions on their metadata.

A filter tree is made of ``FilterNode`` operators:

* comparisons "gt", "lt", "gte", "lte", "eq", "neq" with ``field`` and ``value``: a signal
  passes when its metadata value under ``field`` compares true with ``value``.  A missing,
  None or NaN metadata value, or one that cannot be compared with ``value``, never passes
  (not even "neq");
* "between" with ``field``, ``low`` and ``high``: low <= value <= high, numbers only;
* "in_" with ``field`` and ``values``: the metadata value is one of ``values``;
* "top_n" / "bottom_n" with ``field`` and ``n``: the n signals with the largest / smallest
  numeric value; "top_pct" / "bottom_pct" with ``field`` and ``pct``, a fraction in [0, 1]:
  the ceil(pct * m) best of the m signals that have a numeric value.  Ties keep the pool's
  order; signals without a numeric value never pass;
* "and_" (all children), "or_" (any child), "not_" (none of its children);
* "filtration": the root of a filtration sub-tree; its first child is the filter (further
  children are ignored); without children every signal passes.

Ranking operators rank among the signals that reach them, i.e. the whole pool.  Passing ids
are returned in the pool's order.
"""

from __future__ import annotations

import math
from typing import Any, Dict, List, Mapping, Sequence, Tuple

from tessaline.functions.filtrations_evaluation import (
    EmptyFiltrationError,
    EmptyPoolError,
    FilterNode,
)

__all__ = ["FiltrationInstance", "EmptyFiltrationError", "EmptyPoolError", "FilterNode"]

_COMPARISONS = {
    "gt": lambda a, b: a > b,
    "lt": lambda a, b: a < b,
    "gte": lambda a, b: a >= b,
    "lte": lambda a, b: a <= b,
    "eq": lambda a, b: a == b,
    "neq": lambda a, b: a != b,
}
_RANKED = ("top_n", "bottom_n", "top_pct", "bottom_pct")
_MISSING = object()


def _field(signal: Any, field: str) -> Any:
    metadata = getattr(signal, "metadata", None)
    if not isinstance(metadata, Mapping):
        return _MISSING
    value = metadata.get(field, _MISSING)
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return _MISSING
    return value


def _number(value: Any) -> Any:
    """The value as a float when it is a real number (bools excluded), else None."""
    if isinstance(value, bool) or value is _MISSING:
        return None
    try:
        f = float(value)
    except (TypeError, ValueError):
        return None
    return None if math.isnan(f) else f


def _param(node: FilterNode, key: str) -> Any:
    params = node.params if isinstance(node.params, Mapping) else {}
    if key not in params:
        raise ValueError(f"filter '{node.function_name}' is missing its '{key}' parameter "
                         f"(params: {dict(params)!r})")
    return params[key]


class FiltrationInstance:
    """A filter tree bound to a registry; calling it with the useful signals (a mapping
    signal id -> signal) returns the passing ids in the pool's order.

    An empty pool raises ``EmptyPoolError``; a selection that keeps nothing raises
    ``EmptyFiltrationError``.  Both carry ``filter_diagnostics``: a dict with "passing_count"
    (0), "pool_size" and, for an empty selection, "steps": one record per operator (in the
    order they were evaluated) with its "operator", "params" and "passing_count".
    """

    def __init__(self, filter_tree: FilterNode, registry: Any = None):
        if not isinstance(filter_tree, FilterNode):
            raise TypeError(f"filter_tree must be a FilterNode; got {type(filter_tree).__name__}")
        self.filter_tree = filter_tree
        self.registry = registry

    def __call__(self, useful_signals: Mapping[str, Any]) -> List[str]:
        pool: List[Tuple[Any, Any]] = list(useful_signals.items()) if useful_signals else []
        if not pool:
            raise EmptyPoolError("No useful signals to filter",
                                 filter_diagnostics={"passing_count": 0, "pool_size": 0})
        steps: List[Dict[str, Any]] = []
        keep = self._select(self.filter_tree, pool, steps, 0)
        if not keep:
            raise EmptyFiltrationError(
                f"Filtration kept 0 of {len(pool)} signals",
                filter_diagnostics={"passing_count": 0, "pool_size": len(pool),
                                    "steps": steps})
        return [sid for sid, _ in pool if sid in keep]

    def _select(self, node: Any, pool: Sequence, steps: List, depth: int) -> set:
        if not isinstance(node, FilterNode):
            raise TypeError(f"filter tree holds a {type(node).__name__}, not a FilterNode")
        if depth > 500:
            raise RecursionError("filter tree is nested too deeply")
        op = node.function_name
        children = list(node.children or ())
        everything = {sid for sid, _ in pool}
        if op == "filtration":
            keep = self._select(children[0], pool, steps, depth + 1) if children else everything
        elif op == "and_":
            keep = everything
            for child in children:
                keep = keep & self._select(child, pool, steps, depth + 1)
        elif op == "or_":
            keep = set()
            for child in children:
                keep |= self._select(child, pool, steps, depth + 1)
        elif op == "not_":
            inner: set = set()
            for child in children:
                inner |= self._select(child, pool, steps, depth + 1)
            keep = everything - inner
        elif op in _COMPARISONS:
            keep = self._compare(node, pool)
        elif op == "between":
            field, low, high = _param(node, "field"), _param(node, "low"), _param(node, "high")
            keep = set()
            for sid, sig in pool:
                v = _number(_field(sig, field))
                if v is not None and low <= v <= high:
                    keep.add(sid)
        elif op == "in_":
            field, values = _param(node, "field"), _param(node, "values")
            keep = {sid for sid, sig in pool if _field(sig, field) in list(values)}
        elif op in _RANKED:
            keep = self._ranked(node, pool)
        else:
            raise ValueError(f"Unknown filter operator {op!r}")
        steps.append({"operator": op, "params": dict(node.params or {}),
                      "passing_count": len(keep)})
        return keep

    @staticmethod
    def _compare(node: FilterNode, pool: Sequence) -> set:
        compare = _COMPARISONS[node.function_name]
        field, value = _param(node, "field"), _param(node, "value")
        keep = set()
        for sid, sig in pool:
            got = _field(sig, field)
            if got is _MISSING:
                continue
            try:
                if compare(got, value):
                    keep.add(sid)
            except TypeError:  # e.g. a string against a number: no match
                pass
        return keep

    @staticmethod
    def _ranked(node: FilterNode, pool: Sequence) -> set:
        op = node.function_name
        field = _param(node, "field")
        scored = [(sid, _number(_field(sig, field))) for sid, sig in pool]
        scored = [(sid, v) for sid, v in scored if v is not None]
        if op.endswith("_pct"):
            pct = _number(_param(node, "pct"))
            if pct is None or not 0.0 <= pct <= 1.0:
                raise ValueError(f"filter '{op}' needs pct in [0, 1]; got "
                                 f"{node.params.get('pct')!r}")
            count = math.ceil(len(scored) * pct)
        else:
            n = _param(node, "n")
            if isinstance(n, bool) or not isinstance(n, int) or n < 0:
                raise ValueError(f"filter '{op}' needs a non-negative int n; got {n!r}")
            count = n
        # stable sorts: equal values keep the pool's order
        if op.startswith("top"):
            scored.sort(key=lambda item: -item[1])
        else:
            scored.sort(key=lambda item: item[1])
        return {sid for sid, _ in scored[:count]}
