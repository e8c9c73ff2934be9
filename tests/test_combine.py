"""Wrapping a graph with the transform pipeline's stages."""

import numpy as np
import pytest

from tessaline.functions import builtins as B
from tessaline.functions._typed_shapes import FunctionGraphNode as N
from tessaline.functions.registry import default_registry
from tessaline.simulator_engine._combine import combine_signal_and_transforms
from tessaline.simulator_engine._types import EvaluationError, TransformStage


def _ctx(ee, metaparameters, pool_id=None):
    return ee.EvaluationContext((np.zeros((2, 2)),), {"x": 0}, metaparameters=metaparameters,
                                pool_id=pool_id)


def test_stages_wrap_in_order_and_none_skips(ee):
    leaf = N("feature", "x")
    stages = [TransformStage("demean"), TransformStage("clip"), TransformStage("scale", B.CLIP)]
    ctx = _ctx(ee, {"demean": B.DEMEAN, "p1": {"clip": None, "scale": B.GROSS_SCALE}}, "p1")
    root = combine_signal_and_transforms(leaf, stages, ctx.metaparameters, default_registry(), ctx)
    assert (root.type, root.node) == ("rotation", B.GROSS_SCALE)
    inner = root.children[0]
    assert (inner.type, inner.node) == ("rotation", B.DEMEAN)
    assert inner.children[0] is leaf
    assert combine_signal_and_transforms(leaf, [], {}, None, ctx) is leaf


@pytest.mark.parametrize("option,message", [
    ("no_such_fn", "Transform stage 'demean' names unknown function 'no_such_fn'"),
    (3, "Transform stage 'demean' option must name a function; got 3"),
])
def test_bad_stage_options(ee, option, message):
    ctx = _ctx(ee, {"demean": option})
    with pytest.raises(EvaluationError, match=message):
        combine_signal_and_transforms(N("feature", "x"), [TransformStage("demean")],
                                      ctx.metaparameters, default_registry(), ctx)
