"""Typed shapes of function graphs: nodes, carried states, stage data."""

from __future__ import annotations

from typing import Any, Mapping, Optional


class SchemaError(Exception):
    """A graph or an input does not have the shape the evaluator requires."""


class FunctionGraphNode:
    """One node of a function graph.

    ``type`` is the node kind ("feature", "rotation", "filtration", ...), ``node`` its value
    (function name, feature name, literal or filter operator).  The five arguments are stored
    as given; the evaluator keeps per-graph cache slots as extra attributes on the node.
    Equality is identity, so nodes can key dicts and sets.
    """

    def __init__(self, type, node, children=None, config=None, canonical_id=None):
        self.type = type
        self.node = node
        self.children = children
        self.config = config
        self.canonical_id = canonical_id

    # Structure caches that the evaluator memoises on a graph root.  They are rebuilt on demand,
    # so copies and pickles leave them behind: a graph shipped to another process travels
    # without them, and a copy never carries the collected nodes of its original.
    # ``_state_identity`` is an annotation, not a cache, and is kept.
    _TRANSIENT_SLOTS = ("_node_identities", "_collect_nodes_cache")

    def __getstate__(self):
        # A copy taken in one C call: another thread may be storing a cache slot on this
        # very node while a copy of it is being made.
        state = self.__dict__.copy()
        for key in self._TRANSIENT_SLOTS:
            state.pop(key, None)
        return state

    def __repr__(self) -> str:
        return f"FunctionGraphNode(type={self.type!r}, node={self.node!r})"


class FunctionState:
    """The carried state of one stateful function instance."""

    def __init__(self, function_name: str, function_version: Any, data: Any):
        self.function_name = function_name
        self.function_version = function_version
        self.data = data

    def __repr__(self) -> str:
        return (f"FunctionState(function_name={self.function_name!r}, "
                f"function_version={self.function_version!r}, data={self.data!r})")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, FunctionState):
            return NotImplemented
        return (self.function_name, self.function_version, self.data) == (
            other.function_name, other.function_version, other.data)

    __hash__ = None  # mutable record


class StageData:
    """Named values (typically (T, N) matrices) that a pipeline stage offers to graphs."""

    def __init__(self, values: Optional[Mapping[str, Any]] = None):
        self.values = dict(values) if values is not None else {}

    def is_empty(self) -> bool:
        return not self.values

    def value(self, name: str, default: Any = None) -> Any:
        return self.values.get(name, default)

    def __repr__(self) -> str:
        return f"StageData({sorted(self.values)!r})"
