"""Records and error types of the simulator engine."""

from __future__ import annotations

from typing import Any, Dict, Optional


class UsefulSignal:
    """An existing signal of the pool: its (T, N) weights, its PnL series and filterable metadata."""

    def __init__(self, weights=None, pnl=None, metadata: Optional[Dict[str, Any]] = None):
        self.weights = weights
        self.pnl = pnl
        self.metadata = {} if metadata is None else metadata

    def __repr__(self) -> str:
        shape = getattr(self.weights, "shape", None)
        return f"UsefulSignal(weights_shape={shape!r}, metadata={self.metadata!r})"


class TransformStage:
    """A stage of the transform pipeline; its option comes from the metaparameters."""

    def __init__(self, name: str, default: Any = None):
        self.name = name
        self.default = default

    def __repr__(self) -> str:
        return f"TransformStage(name={self.name!r}, default={self.default!r})"


class EvaluationError(Exception):
    """An evaluation cannot proceed (bad graph, missing feature, failed filtration, ...)."""


class EvaluationShapeError(EvaluationError):
    """An array met during evaluation has the wrong shape or dtype."""


class FunctionExecutionError(EvaluationError):
    """A function of the graph is misconfigured or failed while being called."""


class FiltrationResolutionError(EvaluationError):
    """The filtration engine failed for a reason other than an empty selection."""
