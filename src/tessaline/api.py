"""Evaluating function graphs on your own arrays: ``evaluate``, ``validate_graph`` and
``evaluation_path``.

The evaluator module itself takes an ``EvaluationContext`` and trusts the graph it is given;
these functions build the context from a mapping of named arrays, refuse a malformed graph
with the path of the bad node, and tell which evaluation path a graph will take.
"""

from __future__ import annotations

import copy
import difflib
from collections.abc import Mapping
from typing import Any, Dict, Iterable, List, Optional, Tuple

import numpy as np

from tessaline.functions._typed_shapes import FunctionGraphNode, SchemaError
from tessaline.functions.graph_files import NODE_TYPES

__all__ = ["evaluate", "validate_graph", "evaluation_path"]

_DATA_LEAVES = frozenset({"feature", "aggregation"})
_LITERALS = frozenset({"float", "int", "string", "bool"})
_FUNCTIONS = frozenset({"rotation", "reduction"})
_FILTERS = frozenset(NODE_TYPES - _DATA_LEAVES - _LITERALS - _FUNCTIONS)
# node kind -> the kinds its children may have
_CHILD_KINDS = {
    "rotation": _DATA_LEAVES | _LITERALS | _FUNCTIONS,
    "reduction": _LITERALS | {"filtration"},
    **{kind: frozenset() for kind in _DATA_LEAVES | _LITERALS},
    **{kind: _FILTERS | _LITERALS for kind in _FILTERS},
}

# The evaluator's fast-path detectors, in the order its dispatch asks them.
_DISPATCH = (
    ("leaf", "_can_use_leaf_fast_path"),
    ("rank", "_can_use_simple_rank_fast_path"),
    ("rank_multiply", "_can_use_rank_multiply_fast_path"),
    ("longitudinal", "_can_use_longitudinal_fast_path"),
)


def _evaluator():
    from tessaline.simulator_engine import expression_evaluator

    return expression_evaluator


def _registry_or_default(registry: Any) -> Any:
    if registry is not None:
        return registry
    from tessaline.functions.registry import default_registry

    return default_registry()


def _closest(name: Any, known: Iterable[str]) -> List[str]:
    if not isinstance(name, str):
        return []
    return difflib.get_close_matches(name, sorted(known), n=3, cutoff=0.7)


def _unknown(what: str, name: Any, suggestions: List[str], known: Iterable[str],
             list_known: bool = False) -> str:
    text = f"unknown {what} {name!r}"
    if suggestions:
        text += f" (did you mean {' or '.join(suggestions)}?)"
    if list_known or not suggestions:
        text += f"; known: {', '.join(sorted(known)) or 'none'}"
    return text


def _function_problem(name: Any, registry: Any) -> Optional[str]:
    """Why ``name`` is not a function of ``registry``, or None when it is."""
    if registry.has(name):
        return None
    from tessaline.functions.builtins import READABLE_NAMES

    names = getattr(registry, "names", None)
    known = [str(n) for n in names()] if callable(names) else []
    readable = {r: s for r, s in READABLE_NAMES.items() if s in known}
    if name in readable:
        return (f"unknown function {name!r}: graphs name built-ins by their store name, "
                f"here '{readable[name]}' (tessaline.expr builds these nodes)")
    store_to_readable = {s: r for r, s in readable.items()}
    matches = dict.fromkeys(readable.get(m, m) for m in _closest(name, set(known) | set(readable)))
    return _unknown("function", name, [f"'{s}' ({store_to_readable[s]})" if s in store_to_readable
                                       else f"'{s}'" for s in matches], known)


def validate_graph(graph: Any, registry: Any = None) -> None:
    """Check that a graph is well formed before it is evaluated.

    The evaluator trusts its graph: a misspelt node type evaluates to zeros rather than
    failing. This walks the whole tree and refuses, naming the node's path ("root.c1.c0"):
    nodes that are not ``FunctionGraphNode``, unknown node types, function nodes whose
    function the registry does not know, children that are not a list, and children in a
    place where the evaluator ignores them (children of leaves, data under a "reduction",
    filter nodes outside a "filtration" under a "reduction"). Unknown names come with the
    closest known ones.

    Parameters
    ----------
    graph : FunctionGraphNode
        Root of the graph.
    registry : FunctionRegistry, optional
        The registry the graph will be evaluated with; the default registry when None.

    Raises
    ------
    SchemaError
        For the first malformed node met, depth first.
    """
    registry = _registry_or_default(registry)
    # A node object may sit at several places (a shared leaf): its subtree is walked once.
    # Nodes on the walk from the root to the current node are the ones a cycle would revisit.
    done: Dict[int, Any] = {}
    ancestors: Dict[int, str] = {}
    stack: List[Tuple[Any, Optional[str], Optional[str]]] = [(graph, "root", None)]
    while stack:
        node, path, parent = stack.pop()
        if path is None:  # every child of this node has been checked
            done[id(node)] = node
            del ancestors[id(node)]
            continue
        if id(node) in ancestors:
            raise SchemaError(f"{path}: the node at {ancestors[id(node)]} contains itself; a "
                              f"graph must be a tree")
        if not isinstance(node, FunctionGraphNode):
            raise SchemaError(f"{path}: expected a FunctionGraphNode; got {type(node).__name__}")
        kind = getattr(node, "type", None)
        if not isinstance(kind, str) or kind not in NODE_TYPES:
            raise SchemaError(f"{path}: " + _unknown("node type", kind,
                                                     [f"'{m}'" for m in _closest(kind,
                                                                                 NODE_TYPES)],
                                                     NODE_TYPES))
        if parent is None and kind in _FILTERS:
            raise SchemaError(f"{path}: a '{kind}' node cannot be the root of a graph")
        if parent is not None and kind not in _CHILD_KINDS[parent]:
            allowed = ", ".join(sorted(_CHILD_KINDS[parent])) or "none"
            raise SchemaError(f"{path}: a '{kind}' node cannot be a child of a '{parent}' node "
                              f"(allowed: {allowed})")
        value = getattr(node, "node", None)
        if kind in _FUNCTIONS:
            problem = _function_problem(value, registry)
            if problem:
                raise SchemaError(f"{path}: {problem}")
        elif kind in _DATA_LEAVES and (not isinstance(value, str) or not value):
            raise SchemaError(f"{path}: a '{kind}' node needs a feature name; got {value!r}")
        config = getattr(node, "config", None)
        if config is not None and not isinstance(config, Mapping):
            raise SchemaError(f"{path}: config must be a mapping; got {type(config).__name__}")
        children = getattr(node, "children", None)
        if not children or id(node) in done:
            continue
        if not isinstance(children, (list, tuple)):
            raise SchemaError(f"{path}: children must be a list of nodes; got "
                              f"{type(children).__name__}")
        ancestors[id(node)] = path
        stack.append((node, None, None))
        stack.extend((child, f"{path}.c{i}", kind)
                     for i, child in reversed(list(enumerate(children))))


def evaluation_path(graph: FunctionGraphNode, context: Any, function_states: Any = None, *,
                    bound_function_instances: Any = None, data_nan_features: Any = None) -> str:
    """Which path ``evaluate(graph, context, ...)`` will take, found without evaluating.

    The evaluator's own fast-path detectors are asked in the order of its dispatch, after the
    same preparation (transform pipeline combined into the graph, stage data attached as
    features), on a copy of the context: neither the context nor the graph is changed.

    Parameters
    ----------
    graph : FunctionGraphNode
        Root of the graph.
    context : EvaluationContext
        The context the graph will be evaluated with.
    function_states, bound_function_instances, data_nan_features : optional
        As given to ``evaluate``; carried states, bound instances and data-NaN tracking
        keep a graph off the fast paths.

    Returns
    -------
    str
        "leaf", "rank", "rank_multiply", "longitudinal" or "general". The rank and
        rank-multiply evaluators decline a matrix in which some row holds tied finite values;
        such a graph is then evaluated on the next accepting path, in the end the general one.
    """
    ee = _evaluator()
    ee._require_graph_node_instance(graph, "root")
    if context is None or not hasattr(context, "feature_index"):
        raise TypeError(f"context must be an EvaluationContext; got {type(context).__name__}")
    probe = copy.copy(context)
    probe.feature_index = dict(context.feature_index)  # stage data adds names to it
    if probe.transform_pipeline and not getattr(probe, "transforms_already_combined", False):
        from tessaline.simulator_engine._combine import combine_signal_and_transforms

        graph = combine_signal_and_transforms(graph, probe.transform_pipeline,
                                              probe.metaparameters, probe.registry, probe)
        probe.transform_pipeline = []
    ee._attach_stage_data_feature_leaves(graph, probe)
    rows = probe.features[0].shape[0] if len(probe.features) else 0
    for path, name in _DISPATCH:
        detector = getattr(ee, name)
        if path == "rank_multiply":
            taken = detector(graph, probe, function_states,
                             bound_function_instances=bound_function_instances,
                             data_nan_features=data_nan_features)
        elif path == "longitudinal":
            taken = detector(graph, probe, function_states, rows,
                             data_nan_features=data_nan_features)
        else:
            taken = detector(graph, probe, function_states, data_nan_features=data_nan_features)
        if taken:
            return path
    return "general"


def _labels(value: Any) -> Optional[Tuple[Any, Any]]:
    """(index, columns) of a pandas DataFrame, None for anything else."""
    if isinstance(value, np.ndarray) or not (hasattr(value, "index")
                                             and hasattr(value, "columns")):
        return None
    return value.index, value.columns


def _matrix(what: str, value: Any) -> np.ndarray:
    try:
        arr = np.ascontiguousarray(value, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{what} cannot be read as a float64 array: {exc}") from None
    if arr.ndim != 2:
        raise ValueError(f"{what} must be two-dimensional (time x instrument); got shape "
                         f"{arr.shape}")
    return arr


def _check_frames(framed: List[Tuple[str, Tuple[Any, Any]]]) -> None:
    first, (index, columns) = framed[0]
    for what, (other_index, other_columns) in framed[1:]:
        for axis, mine, theirs in (("index", other_index, index),
                                   ("columns", other_columns, columns)):
            if not mine.equals(theirs):
                raise ValueError(f"{what} {axis} does not match the {axis} of {first}")


def _feature_leaves(graph: FunctionGraphNode) -> Iterable[Tuple[str, Any]]:
    """(path, feature name) of the data leaves of a validated graph, each node object once."""
    seen: Dict[int, Any] = {}
    stack = [(graph, "root")]
    while stack:
        node, path = stack.pop()
        if id(node) in seen:
            continue
        seen[id(node)] = node
        if node.type in _DATA_LEAVES:
            yield path, node.node
        stack.extend((child, f"{path}.c{i}") for i, child in enumerate(node.children or ()))


def evaluate(graph: FunctionGraphNode, features: Mapping[str, Any], *, universe: Any = None,
             signals: Optional[Mapping[str, Any]] = None, registry: Any = None,
             as_frame: bool = False, **context_options: Any) -> Any:
    """Evaluate a function graph on named feature matrices and return its weights.

    Parameters
    ----------
    graph : FunctionGraphNode
        Root of the graph, for example built with ``tessaline.expr``. It is checked with
        ``validate_graph`` first.
    features : mapping of str to array-like or pandas.DataFrame
        One (T, N) matrix per feature name (time rows, instrument columns), each converted
        to float64; NaN marks a missing value. DataFrames must share index and columns.
    universe : array-like or pandas.DataFrame, optional
        (T, N); a cell whose value is 0.0 or NaN is outside the universe: its weight is NaN
        and cross-sectional functions leave it out.
    signals : mapping of str to UsefulSignal, optional
        The pool of useful signals that filtrations and reductions draw on.
    registry : FunctionRegistry, optional
        The function registry; the built-in library (``default_registry()``) when None.
    as_frame : bool, default False
        Return a pandas DataFrame labelled like the DataFrame inputs (a default RangeIndex
        when there are none).
    **context_options
        Further ``EvaluationContext`` arguments: ``metaparameters``, ``transform_pipeline``,
        ``stage_data``, ``column_labels`` and so on.

    Returns
    -------
    numpy.ndarray or pandas.DataFrame
        The (T, N) float64 weights.

    Raises
    ------
    TypeError
        ``features`` is not a mapping, or a value cannot be read as a float64 array.
    ValueError
        A feature or the universe is not two-dimensional, shapes or labels disagree, or the
        graph reads a feature that is not given.
    SchemaError
        The graph is malformed (see ``validate_graph``).
    """
    if not isinstance(features, Mapping):
        raise TypeError(f"features must be a mapping of feature name to 2-D array; got "
                        f"{type(features).__name__}")
    if not features:
        raise ValueError("features is empty: give at least one feature matrix")
    registry = _registry_or_default(registry)
    validate_graph(graph, registry)
    matrices: Dict[str, np.ndarray] = {}
    framed = []
    for name, value in features.items():
        if not isinstance(name, str):
            raise TypeError(f"feature names must be str; got {name!r}")
        what = f"feature '{name}'"
        matrices[name] = arr = _matrix(what, value)
        first_name, first = next(iter(matrices.items()))
        if arr.shape != first.shape:
            raise ValueError(f"{what} has shape {arr.shape}, but feature '{first_name}' has "
                             f"shape {first.shape}")
        labels = _labels(value)
        if labels is not None:
            framed.append((what, labels))
    if universe is not None:
        labels = _labels(universe)
        universe = _matrix("universe", universe)
        if universe.shape != first.shape:
            raise ValueError(f"universe has shape {universe.shape}, but the features have "
                             f"shape {first.shape}")
        if labels is not None:
            framed.append(("universe", labels))
    if len(framed) > 1:
        _check_frames(framed)
    ee = _evaluator()
    context = ee.EvaluationContext(tuple(matrices.values()),
                                   {name: i for i, name in enumerate(matrices)},
                                   useful_signals=signals, registry=registry, universe=universe,
                                   **context_options)
    for path, name in _feature_leaves(graph):
        if name not in matrices and not isinstance(context.stage_data.value(name, None),
                                                   np.ndarray):
            raise ValueError(f"{path}: " + _unknown("feature", name,
                                                    [f"'{m}'" for m in _closest(name, matrices)],
                                                    matrices, list_known=True))
    weights = np.asarray(ee.evaluate(graph, context).weights)
    if not as_frame:
        return weights
    import pandas as pd

    index, columns = framed[0][1] if framed else (None, None)
    return pd.DataFrame(weights, index=index, columns=columns)
