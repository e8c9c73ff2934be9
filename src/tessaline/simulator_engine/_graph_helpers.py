"""Small read-only helpers over function graphs."""

from __future__ import annotations

from typing import List

_LEAF_TYPES = ("feature", "aggregation")


def extract_feature_leaf_names(graph) -> List[str]:
    """The ``node`` of every "feature" and "aggregation" node, in pre-order, duplicates kept."""
    names: List[str] = []

    def walk(node):
        if getattr(node, "type", None) in _LEAF_TYPES:
            names.append(node.node)
        for child in getattr(node, "children", None) or ():
            walk(child)

    walk(graph)
    return names
