"""Graph files: function graphs stored as nested JSON objects.

Each node is an object with the keys "type" and "node" and, optionally, "children" (a list of
nodes), "config" (an object of parameter name -> JSON value) and "canonical_id" (a string or
null).  A function node may name a built-in by its readable name ("rank", "ts_mean", ...)
instead of its store name; the loaded graph holds the store name.  Loading only parses and
checks data; nothing in a file is ever imported or executed.  A malformed file raises
``GraphFileError`` naming the file and the JSON path of the bad node, for example
``graphs/a.json: $.children[1].node: ...``.
"""

from __future__ import annotations

import json
import os
from typing import Any, Dict, Union

from tessaline.functions._typed_shapes import FunctionGraphNode

__all__ = ["GraphFileError", "load_graph", "loads_graph", "graph_from_dict", "graph_to_dict",
           "dump_graph", "dumps_graph", "NODE_TYPES", "MAX_DEPTH", "MAX_FILE_BYTES"]

_FILTER_TYPES = frozenset({
    "filtration", "gt", "lt", "gte", "lte", "eq", "neq", "between", "in_", "and_", "or_",
    "not_", "top_pct", "bottom_pct", "top_n", "bottom_n"})
NODE_TYPES = frozenset({"feature", "aggregation", "float", "int", "string", "bool", "rotation",
                        "reduction"}) | _FILTER_TYPES
_KEYS = ("type", "node", "children", "config", "canonical_id")
MAX_DEPTH = 200
# A graph of many thousand nodes is a few MiB of JSON; anything far larger is not a graph file
# (a device, a log, a data dump) and is refused before it is read into memory.
MAX_FILE_BYTES = 64 * 1024 * 1024


class GraphFileError(ValueError):
    """A graph file (or JSON text) that does not describe a function graph."""

    def __init__(self, source: str, json_path: str, problem: str):
        super().__init__(f"{source}: {json_path}: {problem}")
        self.source = source
        self.json_path = json_path
        self.problem = problem


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _check_config_value(value: Any, source: str, path: str, depth: int) -> None:
    if value is None or isinstance(value, (str, bool, int, float)):
        return
    if depth > 8:
        raise GraphFileError(source, path, "config value is nested too deeply")
    if isinstance(value, list):
        for i, item in enumerate(value):
            _check_config_value(item, source, f"{path}[{i}]", depth + 1)
        return
    if isinstance(value, dict):
        for key, item in value.items():
            _check_config_value(item, source, f"{path}.{key}", depth + 1)
        return
    raise GraphFileError(source, path, f"config value of type {type(value).__name__}")


def _node_from_dict(obj: Any, source: str, path: str, depth: int) -> FunctionGraphNode:
    if depth > MAX_DEPTH:
        raise GraphFileError(source, path, f"graph is nested deeper than {MAX_DEPTH} levels")
    if not isinstance(obj, dict):
        raise GraphFileError(source, path, f"expected a node object, got {type(obj).__name__}")
    unknown = sorted(k for k in obj if k not in _KEYS)
    if unknown:
        raise GraphFileError(source, path, f"unknown key(s): {', '.join(unknown)}")
    for key in ("type", "node"):
        if key not in obj:
            raise GraphFileError(source, path, f"missing key '{key}'")
    ntype = obj["type"]
    if not isinstance(ntype, str) or ntype not in NODE_TYPES:
        raise GraphFileError(source, f"{path}.type", f"unknown node type {ntype!r}")
    value = obj["node"]
    vpath = f"{path}.node"
    if ntype == "float":
        if not _is_number(value):
            raise GraphFileError(source, vpath, f"a float literal must be a number, got {value!r}")
        value = float(value)
    elif ntype == "int":
        if not isinstance(value, int) or isinstance(value, bool):
            raise GraphFileError(source, vpath, f"an int literal must be an integer, got {value!r}")
    elif ntype == "bool":
        if not isinstance(value, bool):
            raise GraphFileError(source, vpath, f"a bool literal must be true or false, got "
                                                f"{value!r}")
    elif not isinstance(value, str) or (ntype != "string" and not value):
        raise GraphFileError(source, vpath, f"a {ntype} node needs a "
                                            f"{'string' if ntype == 'string' else 'non-empty string'}"
                                            f" value, got {value!r}")
    elif ntype in ("rotation", "reduction"):
        from tessaline.functions.builtins import READABLE_NAMES

        value = READABLE_NAMES.get(value, value)
    children = obj.get("children")
    if children is not None and not isinstance(children, list):
        raise GraphFileError(source, f"{path}.children",
                             f"children must be a list, got {type(children).__name__}")
    config = obj.get("config")
    if config is not None:
        if not isinstance(config, dict):
            raise GraphFileError(source, f"{path}.config",
                                 f"config must be an object, got {type(config).__name__}")
        for key, item in config.items():
            _check_config_value(item, source, f"{path}.config.{key}", 0)
    canonical_id = obj.get("canonical_id")
    if canonical_id is not None and not isinstance(canonical_id, str):
        raise GraphFileError(source, f"{path}.canonical_id", "canonical_id must be a string")
    kids = None
    if children:
        kids = [_node_from_dict(child, source, f"{path}.children[{i}]", depth + 1)
                for i, child in enumerate(children)]
    return FunctionGraphNode(ntype, value, kids, dict(config) if config is not None else None,
                             canonical_id)


def graph_from_dict(obj: Any, source: str = "<graph>") -> FunctionGraphNode:
    """The ``FunctionGraphNode`` tree described by already parsed JSON data."""
    return _node_from_dict(obj, source, "$", 0)


def loads_graph(text: Union[str, bytes], source: str = "<string>") -> FunctionGraphNode:
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise GraphFileError(source, "$", f"invalid JSON at line {exc.lineno} column "
                                          f"{exc.colno}: {exc.msg}") from None
    except RecursionError:
        raise GraphFileError(source, "$", "JSON is nested too deeply") from None
    except UnicodeDecodeError as exc:
        raise GraphFileError(source, "$", f"not UTF-8 text: {exc.reason}") from None
    except ValueError as exc:  # an integer literal beyond the interpreter's digit limit
        raise GraphFileError(source, "$", f"invalid JSON: {exc}") from None
    return graph_from_dict(data, source)


def load_graph(path: Union[str, os.PathLike]) -> FunctionGraphNode:
    """Load one graph from a JSON file."""
    source = os.fspath(path)
    try:
        with open(source, "rb") as fh:
            text = fh.read(MAX_FILE_BYTES + 1)
    except OSError as exc:
        raise GraphFileError(source, "$", f"cannot read file: {exc.strerror or exc}") from None
    if len(text) > MAX_FILE_BYTES:
        raise GraphFileError(source, "$", f"file is larger than {MAX_FILE_BYTES >> 20} MiB; "
                                          f"not a graph file")
    return loads_graph(text, source)


def graph_to_dict(graph: FunctionGraphNode) -> Dict[str, Any]:
    """Plain JSON data for a graph: "children", "config" and "canonical_id" only when set."""
    return _node_to_dict(graph, "$", 0)


def _node_to_dict(node: Any, path: str, depth: int) -> Dict[str, Any]:
    if depth > MAX_DEPTH:
        raise ValueError(f"{path}: graph is nested deeper than {MAX_DEPTH} levels")
    if not isinstance(node, FunctionGraphNode):
        raise TypeError(f"{path}: expected FunctionGraphNode, got {type(node).__name__}")
    out: Dict[str, Any] = {"type": node.type, "node": node.node}
    children = getattr(node, "children", None)
    if children:
        out["children"] = [_node_to_dict(child, f"{path}.children[{i}]", depth + 1)
                           for i, child in enumerate(children)]
    config = getattr(node, "config", None)
    if config:
        out["config"] = dict(config)
    canonical_id = getattr(node, "canonical_id", None)
    if canonical_id is not None:
        out["canonical_id"] = canonical_id
    return out


def dumps_graph(graph: FunctionGraphNode, indent: int = 2) -> str:
    data = graph_to_dict(graph)
    return json.dumps(data, indent=indent, allow_nan=True) + "\n"


def dump_graph(graph: FunctionGraphNode, path: Union[str, os.PathLike]) -> None:
    """Write a graph as JSON; the file loads back into an equal tree."""
    text = dumps_graph(graph)
    with open(os.fspath(path), "w", encoding="utf-8") as fh:
        fh.write(text)

