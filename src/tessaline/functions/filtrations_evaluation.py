"""Filter trees, filtration results and the errors of an empty selection."""

from __future__ import annotations

from typing import Any, Dict, List, Optional

__all__ = ["FilterNode", "FiltrationResult", "EmptyFiltrationError", "EmptyPoolError"]


class FilterNode:
    """One operator of a filter tree: ``function_name`` with its ``params`` and sub-filters."""

    def __init__(self, function_name: str, params: Optional[Dict[str, Any]] = None,
                 children: Optional[List["FilterNode"]] = None):
        self.function_name = function_name
        self.params = {} if params is None else params
        self.children = [] if children is None else children

    def __repr__(self) -> str:
        return (f"FilterNode(function_name={self.function_name!r}, params={self.params!r}, "
                f"children={self.children!r})")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, FilterNode):
            return NotImplemented
        return (self.function_name, self.params, self.children) == (
            other.function_name, other.params, other.children)

    __hash__ = None


class FiltrationResult:
    """The outcome of one filtration run."""

    def __init__(self, passing_ids, signal_count, total_pool_size, filter_diagnostics):
        self.passing_ids = passing_ids
        self.signal_count = signal_count
        self.total_pool_size = total_pool_size
        self.filter_diagnostics = filter_diagnostics

    def __repr__(self) -> str:
        return (f"FiltrationResult(signal_count={self.signal_count!r}, "
                f"total_pool_size={self.total_pool_size!r})")


class EmptyFiltrationError(Exception):
    """No signal of the pool passed the filters."""

    def __init__(self, message: str, filter_diagnostics=None):
        super().__init__(message)
        self.filter_diagnostics = filter_diagnostics


class EmptyPoolError(Exception):
    """The pool of useful signals offered to a filtration is empty."""

    def __init__(self, message: str, filter_diagnostics=None):
        super().__init__(message)
        self.filter_diagnostics = filter_diagnostics
