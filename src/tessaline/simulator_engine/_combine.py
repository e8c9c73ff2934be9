"""Wrapping a signal graph with the stages of a transform pipeline."""

from __future__ import annotations

from tessaline.functions._typed_shapes import FunctionGraphNode
from tessaline.simulator_engine._types import EvaluationError


def combine_signal_and_transforms(graph, transform_pipeline, metaparameters, registry, context):
    """Return the root that wraps ``graph`` with every stage of ``transform_pipeline``.

    Stages apply in pipeline order: the first stage wraps the signal graph itself, each later
    stage wraps the result of the one before.  A stage's option (chosen from the context's
    metaparameters by ``_resolve_stage_option``, falling back to the stage default) names the
    function that wraps the graph at that stage, as a one-child "rotation"; a None option
    skips the stage.  An option that is not a function name, or that the registry (when one is
    given) does not know, raises ``EvaluationError``.  The wrapped graph's node objects are
    kept, so their state identities survive.  ``metaparameters`` is the context's own
    mapping; the option is resolved through the context so that pool-keyed entries apply.
    """
    from tessaline.simulator_engine.expression_evaluator import _resolve_stage_option

    root = graph
    for stage in transform_pipeline or ():
        option = _resolve_stage_option(context, stage)
        if option is None:
            continue
        stage_name = getattr(stage, "name", stage)
        if not isinstance(option, str) or not option:
            raise EvaluationError(f"Transform stage '{stage_name}' option must name a function; "
                                  f"got {option!r}")
        if registry is not None and not registry.has(option):
            raise EvaluationError(f"Transform stage '{stage_name}' names unknown function "
                                  f"'{option}'")
        root = FunctionGraphNode("rotation", option, [root])
    return root
