"""tessaline: a trading-signal simulator; this distribution ships its expression evaluator.

Build a graph with ``tessaline.expr`` and evaluate it on your own arrays with
``tessaline.evaluate``; ``validate_graph`` checks a graph, ``evaluation_path`` tells which path
will evaluate it. The names below load their modules on first use, so ``import tessaline``
stays cheap.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any, List

__version__ = "0.1.0"

__all__ = ["evaluate", "validate_graph", "evaluation_path", "expr", "FunctionGraphNode",
           "EvaluationContext", "default_registry", "UsefulSignal", "TransformStage", "StageData",
           "SchemaError"]

# public name -> (module, attribute); None: the module itself
_LAZY = {
    "evaluate": ("tessaline.api", "evaluate"),
    "validate_graph": ("tessaline.api", "validate_graph"),
    "evaluation_path": ("tessaline.api", "evaluation_path"),
    "expr": ("tessaline.expr", None),
    "FunctionGraphNode": ("tessaline.functions._typed_shapes", "FunctionGraphNode"),
    "EvaluationContext": ("tessaline.simulator_engine.expression_evaluator",
                          "EvaluationContext"),
    "default_registry": ("tessaline.functions.registry", "default_registry"),
    "UsefulSignal": ("tessaline.simulator_engine._types", "UsefulSignal"),
    "TransformStage": ("tessaline.simulator_engine._types", "TransformStage"),
    "StageData": ("tessaline.functions._typed_shapes", "StageData"),
    "SchemaError": ("tessaline.functions._typed_shapes", "SchemaError"),
}

if TYPE_CHECKING:
    from tessaline import expr
    from tessaline.api import evaluate, evaluation_path, validate_graph
    from tessaline.functions._typed_shapes import FunctionGraphNode, SchemaError, StageData
    from tessaline.functions.registry import default_registry
    from tessaline.simulator_engine._types import TransformStage, UsefulSignal
    from tessaline.simulator_engine.expression_evaluator import EvaluationContext


def __getattr__(name: str) -> Any:
    try:
        module_name, attribute = _LAZY[name]
    except KeyError:
        raise AttributeError(f"module 'tessaline' has no attribute {name!r}") from None
    module = importlib.import_module(module_name)
    value = module if attribute is None else getattr(module, attribute)
    globals()[name] = value
    return value


def __dir__() -> List[str]:
    return sorted(__all__ + ["__version__"])
