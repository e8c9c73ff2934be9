"""The filtration engine: selects useful signals by conditions on their metadata."""

from __future__ import annotations

import math
from typing import Any, Dict, List, Sequence

from tessaline.functions.filtrations_evaluation import (
    EmptyFiltrationError,
    EmptyPoolError,
    FilterNode,
)

_COMPARISONS = {
    "gt": lambda a, b: a > b,
    "lt": lambda a, b: a < b,
    "gte": lambda a, b: a >= b,
    "lte": lambda a, b: a <= b,
    "eq": lambda a, b: a == b,
    "neq": lambda a, b: a != b,
}


def _field(signal: Any, field: str) -> Any:
    metadata = getattr(signal, "metadata", None) or {}
    return metadata.get(field)


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and not (
        isinstance(value, float) and math.isnan(value))


class FiltrationInstance:
    """A compiled filter tree; calling it with the useful signals returns the passing ids.

    Passing ids keep the pool's order.  An empty pool raises ``EmptyPoolError``; a selection
    that keeps nothing raises ``EmptyFiltrationError``; both carry ``filter_diagnostics``.
    """

    def __init__(self, filter_tree: FilterNode, registry: Any = None):
        self.filter_tree = filter_tree
        self.registry = registry

    def __call__(self, useful_signals) -> List[str]:
        pool = list((useful_signals or {}).items())
        if not pool:
            raise EmptyPoolError("No useful signals to filter",
                                 filter_diagnostics={"passing_count": 0, "pool_size": 0})
        diagnostics: List[Dict[str, Any]] = []
        passing = self._select(self.filter_tree, pool, diagnostics)
        if not passing:
            raise EmptyFiltrationError(
                "Filtration kept 0 of %d signals" % len(pool),
                filter_diagnostics={"passing_count": 0, "pool_size": len(pool),
                                    "steps": diagnostics})
        return [sid for sid, _ in pool if sid in passing]

    def _select(self, node: FilterNode, pool: Sequence, diagnostics: List) -> set:
        op = node.function_name
        params = node.params or {}
        children = node.children or []
        if op == "filtration":
            keep = self._select(children[0], pool, diagnostics) if children else {
                sid for sid, _ in pool}
        elif op == "and_":
            keep = {sid for sid, _ in pool}
            for child in children:
                keep &= self._select(child, pool, diagnostics)
        elif op == "or_":
            keep = set()
            for child in children:
                keep |= self._select(child, pool, diagnostics)
        elif op == "not_":
            inner = set()
            for child in children:
                inner |= self._select(child, pool, diagnostics)
            keep = {sid for sid, _ in pool} - inner
        elif op in _COMPARISONS:
            compare, field, value = _COMPARISONS[op], params.get("field"), params.get("value")
            keep = set()
            for sid, sig in pool:
                got = _field(sig, field)
                try:
                    if got is not None and compare(got, value):
                        keep.add(sid)
                except TypeError:
                    pass
        elif op == "between":
            field, low, high = params.get("field"), params.get("low"), params.get("high")
            keep = {sid for sid, sig in pool
                    if _is_number(_field(sig, field)) and low is not None and high is not None
                    and low <= _field(sig, field) <= high}
        elif op == "in_":
            field, values = params.get("field"), params.get("values") or []
            keep = {sid for sid, sig in pool if _field(sig, field) in values}
        elif op in ("top_pct", "bottom_pct", "top_n", "bottom_n"):
            keep = self._ranked(op, params, pool)
        else:
            raise ValueError(f"Unknown filter operator {op!r}")
        diagnostics.append({"operator": op, "params": dict(params), "passing_count": len(keep)})
        return keep

    @staticmethod
    def _ranked(op: str, params: Dict[str, Any], pool: Sequence) -> set:
        field = params.get("field")
        scored = [(sid, _field(sig, field)) for sid, sig in pool]
        scored = [(sid, v) for sid, v in scored if _is_number(v)]
        descending = op.startswith("top")
        scored.sort(key=lambda item: item[1], reverse=descending)  # stable: ties keep pool order
        if op.endswith("_pct"):
            pct = float(params.get("pct", 0.0))
            count = int(math.ceil(len(scored) * pct / 100.0)) if pct > 1.0 else int(
                math.ceil(len(scored) * pct))
        else:
            count = int(params.get("n", 0))
        return {sid for sid, _ in scored[:max(count, 0)]}
