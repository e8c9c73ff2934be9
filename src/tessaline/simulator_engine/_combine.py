"""Wrapping a signal graph with the stages of a transform pipeline."""

from __future__ import annotations

from tessaline.functions._typed_shapes import FunctionGraphNode


def combine_signal_and_transforms(graph, transform_pipeline, metaparameters, registry, context):
    """Return the root that wraps ``graph`` with every stage of ``transform_pipeline``.

    Each stage's option (chosen from the metaparameters, see ``_resolve_stage_option``) names the
    function that wraps the graph at that stage, as a one-child "rotation"; a None option skips
    the stage.  The wrapped graph's node objects are kept, so their state identities survive.
    """
    from tessaline.simulator_engine.expression_evaluator import _resolve_stage_option

    root = graph
    for stage in transform_pipeline or ():
        option = _resolve_stage_option(context, stage)
        if option is None:
            continue
        root = FunctionGraphNode("rotation", option, [root])
    return root
