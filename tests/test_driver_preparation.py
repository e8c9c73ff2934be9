import numpy as np
import pytest

from driver_fakes import Fn, Registry, ctx, feat, node
from tessaline.functions import builtins as B
from tessaline.functions._typed_shapes import FunctionGraphNode as N
from tessaline.functions._typed_shapes import StageData
from tessaline.functions.registry import default_registry
from tessaline.simulator_engine._combine import combine_signal_and_transforms
from tessaline.simulator_engine._types import EvaluationError, TransformStage


def _reg():
    return Registry().add("f", Fn).add("wrap", lambda **c: Fn(lambda r: r * 10.0))


def test_pending_pipeline_is_combined_into_a_copy_once(ee, monkeypatch):
    calls = []
    real = ee.combine_signal_and_transforms

    def combine(graph, pipeline, metaparameters, registry, context):
        calls.append((graph, list(pipeline), metaparameters, registry, context))
        return real(graph, pipeline, metaparameters, registry, context)

    monkeypatch.setattr(ee, "combine_signal_and_transforms", combine)
    graph = node("rotation", "f", feat("f0"))
    context = ctx(ee, [np.ones((2, 3))], _reg(), transform_pipeline=[TransformStage("scale", "wrap")])
    weights, _ = ee.evaluate(graph, context)
    np.testing.assert_array_equal(weights, np.full((2, 3), 10.0))
    (copied, pipeline, mp, registry, context_arg), = calls
    assert copied is not graph and copied.children[0] is not graph.children[0]
    assert copied._state_identity == "root" and not hasattr(graph, "_state_identity")
    assert pipeline[0].name == "scale" and mp is context.metaparameters
    assert registry is context.registry and context_arg is context
    assert context.transform_pipeline == []
    ee.evaluate(graph, context)
    assert len(calls) == 1


def test_already_combined_pipeline_is_left_alone(ee, monkeypatch):
    monkeypatch.setattr(ee, "combine_signal_and_transforms",
                        lambda *a: pytest.fail("combined again"))
    graph = node("rotation", "f", feat("f0"))
    context = ctx(ee, [np.ones((2, 3))], _reg(), transform_pipeline=[TransformStage("s", "wrap")],
                  transforms_already_combined=True)
    inst = Fn()
    ee.evaluate(graph, context, bound_function_instances={"root": inst})
    assert len(context.transform_pipeline) == 1
    assert graph._collect_nodes_cache is not None  # collection cache stays eligible


def test_shape_validation_runs_unless_skipped(ee, monkeypatch):
    seen = []
    context = ctx(ee, [np.ones((2, 3))], _reg())
    monkeypatch.setattr(ee, "_validate_evaluation_shapes", lambda *a: seen.append(a))
    ee.evaluate(node("rotation", "f", feat("f0")), context)
    assert seen == [(context.features, context.universe, context.useful_signals)]
    context._skip_evaluation_shape_validation = True
    ee.evaluate(node("rotation", "f", feat("f0")), context)
    assert len(seen) == 1


def test_shape_change_after_construction_is_caught(ee):
    context = ctx(ee, [np.ones((2, 3)), np.ones((2, 3))], _reg())
    context.features = (np.ones((2, 3)), np.ones((2, 4)))
    with pytest.raises(EvaluationError, match="Feature dimension mismatch"):
        ee.evaluate(node("rotation", "f", feat("f0")), context)


def test_no_features_after_stage_data(ee, monkeypatch):
    order = []
    real = ee._attach_stage_data_feature_leaves
    monkeypatch.setattr(ee, "_attach_stage_data_feature_leaves",
                        lambda g, c: order.append("stage") or real(g, c))
    context = ee.EvaluationContext((), {}, validate_inputs=False)
    with pytest.raises(EvaluationError) as err:
        ee.evaluate(node("rotation", "f", feat("f0")), context)
    assert err.value.args == ("No features provided",) and order == ["stage"]


def test_universe_mask_is_derived_or_kept(ee):
    universe = np.array([[1.0, 0.0, np.nan], [np.inf, -2.0, 0.5]])
    context = ctx(ee, [np.ones((2, 3))], _reg(), universe=universe)
    ee.evaluate(node("rotation", "f", feat("f0")), context)
    mask = context.universe_mask
    assert mask.dtype == np.uint8 and mask.flags.c_contiguous
    np.testing.assert_array_equal(mask, [[1, 0, 0], [0, 1, 1]])

    context = ctx(ee, [np.ones((2, 3))], _reg())
    ee.evaluate(node("rotation", "f", feat("f0")), context)
    np.testing.assert_array_equal(context.universe_mask, np.ones((2, 3), np.uint8))
    assert context.universe_mask.dtype == np.uint8

    existing = np.zeros((1,), np.int64)
    context = ctx(ee, [np.ones((2, 3))], _reg(), universe=universe, universe_mask=existing)
    ee.evaluate(node("rotation", "f", feat("f0")), context)
    assert context.universe_mask is existing


def test_integer_universe_mask_through_numpy(ee):
    universe = np.array([[1, 0, 3]])
    context = ctx(ee, [np.ones((1, 3))], _reg(), universe=universe)
    ee.evaluate(node("rotation", "f", feat("f0")), context)
    np.testing.assert_array_equal(context.universe_mask, [[1, 0, 1]])


def test_stage_data_leaf_is_evaluated(ee):
    stage = StageData({"spread": np.arange(6).reshape(2, 3)})
    context = ctx(ee, [np.ones((2, 3))], _reg(), stage_data=stage)
    weights, _ = ee.evaluate(node("rotation", "f", feat("spread")), context)
    np.testing.assert_array_equal(weights, np.arange(6.0).reshape(2, 3))
    assert context.feature_index["spread"] == 1


# ---- wrapping a graph with the transform pipeline's stages

def test_stages_wrap_in_order_and_none_skips(ee):
    leaf = N("feature", "x")
    stages = [TransformStage("demean"), TransformStage("clip"), TransformStage("scale", B.CLIP)]
    mp = {"demean": B.DEMEAN, "p1": {"clip": None, "scale": B.GROSS_SCALE}}
    context = ctx(ee, [np.zeros((2, 2))], metaparameters=mp, pool_id="p1")
    root = combine_signal_and_transforms(leaf, stages, mp, default_registry(), context)
    assert (root.type, root.node) == ("rotation", B.GROSS_SCALE)
    inner = root.children[0]
    assert (inner.type, inner.node) == ("rotation", B.DEMEAN)
    assert inner.children[0] is leaf
    assert combine_signal_and_transforms(leaf, [], {}, None, context) is leaf


@pytest.mark.parametrize("option,message", [
    ("no_such_fn", "Transform stage 'demean' names unknown function 'no_such_fn'"),
    (3, "Transform stage 'demean' option must name a function; got 3"),
])
def test_bad_stage_options(ee, option, message):
    context = ctx(ee, [np.zeros((2, 2))], metaparameters={"demean": option})
    with pytest.raises(EvaluationError, match=message):
        combine_signal_and_transforms(N("feature", "x"), [TransformStage("demean")],
                                      context.metaparameters, default_registry(), context)
