import types

import numpy as np
import pytest

from driver_fakes import node as N
from tessaline.functions._typed_shapes import StageData
from tessaline.simulator_engine._graph_helpers import extract_feature_leaf_names
from tessaline.simulator_engine._types import TransformStage


def context(stage_values=None, features=None, feature_index=None):
    features = [np.zeros((3, 2))] if features is None else features
    index = {"close": 0} if feature_index is None else feature_index
    return types.SimpleNamespace(
        stage_data=StageData(stage_values), features=tuple(features), feature_index=index)


def graph(*names):
    return N("rotation", "f", *[N("feature", n) for n in names])


def test_empty_stage_data_changes_nothing(ee):
    ctx = context()
    before = ctx.features
    assert ee._attach_stage_data_feature_leaves(graph("spread"), ctx) is None
    assert ctx.features is before and ctx.feature_index == {"close": 0}


@pytest.mark.parametrize("value, kept", [
    (np.arange(6, dtype=np.int32).reshape(3, 2), "copy"),
    (np.asfortranarray(np.arange(6.0).reshape(3, 2)), "copy"),
    (np.ma.masked_array(np.ones((3, 2))), "view"),  # an ndarray subclass counts
    (np.arange(6.0).reshape(3, 2), "same"),         # C-contiguous float64 is used as is
], ids=["int32", "fortran", "masked", "c_float64"])
def test_two_dimensional_stage_value_becomes_a_feature(ee, value, kept):
    ctx = context({"spread": value})
    index = ctx.feature_index
    ee._attach_stage_data_feature_leaves(graph("close", "spread"), ctx)
    assert ctx.feature_index is index and index == {"close": 0, "spread": 1}
    assert type(ctx.features) is tuple and len(ctx.features) == 2
    added = ctx.features[1]
    assert (added is value) == (kept == "same") and type(added) is np.ndarray
    assert added.dtype == np.float64 and added.flags.c_contiguous
    np.testing.assert_array_equal(added, value)
    assert np.shares_memory(added, value) == (kept != "copy")


@pytest.mark.parametrize("value", [
    None, 3.0, np.zeros(3), np.zeros((2, 3, 4)), [[1.0, 2.0]], np.float64(1.0)])
def test_values_that_are_not_matrices_are_skipped(ee, value):
    ctx = context({"v": value, "other": np.ones((3, 2))})
    features = ctx.features
    ee._attach_stage_data_feature_leaves(graph("v"), ctx)
    assert ctx.feature_index == {"close": 0}
    assert ctx.features == features and ctx.features is not features


def test_conversion_error_propagates_after_the_index_entry(ee):
    ctx = context({"a": np.ones((3, 2)), "s": np.array([["x", "y"]] * 3)})
    features = ctx.features
    with pytest.raises(ValueError):
        ee._attach_stage_data_feature_leaves(graph("s", "a"), ctx)
    # "a" was added first (sorted order); "s" got its index before the failed conversion
    assert ctx.feature_index == {"close": 0, "a": 1, "s": 2}
    assert ctx.features is features


def test_loaded_feature_wins_over_stage_data(ee):
    ctx = context({"close": np.ones((3, 2))})
    ee._attach_stage_data_feature_leaves(graph("close"), ctx)
    assert ctx.feature_index == {"close": 0} and len(ctx.features) == 1


def test_names_are_added_in_sorted_order_once(ee):
    ctx = context({"b": np.ones((3, 2)), "a": np.full((3, 2), 2.0)})
    ee._attach_stage_data_feature_leaves(graph("b", "a", "b"), ctx)
    assert ctx.feature_index == {"close": 0, "a": 1, "b": 2}
    assert ctx.features[1][0, 0] == 2.0 and len(ctx.features) == 3
    ee._attach_stage_data_feature_leaves(graph("b", "a"), ctx)  # idempotent
    assert len(ctx.features) == 3


def test_feature_leaf_names_pre_order_with_duplicates():
    g = N("rotation", "f", N("feature", "b"), N("reduction", "r", N("aggregation", "a"),
                                                N("int", 5)), N("feature", "b"))
    assert extract_feature_leaf_names(g) == ["b", "a", "b"]


def test_helpers_are_looked_up_at_call_time(ee, monkeypatch):
    seen = []

    def fake_names(g):
        seen.append(g)
        return ["zeta"]

    monkeypatch.setattr(ee, "extract_feature_leaf_names", fake_names)
    ctx = context({"zeta": np.ones((3, 2))})
    g = graph("ignored")
    ee._attach_stage_data_feature_leaves(g, ctx)
    assert seen == [g] and ctx.feature_index["zeta"] == 1


def test_errors_from_stage_data_propagate(ee):
    class Broken:
        def is_empty(self):
            raise ValueError("stage data broke")

    ctx = context()
    ctx.stage_data = Broken()
    with pytest.raises(ValueError, match="stage data broke"):
        ee._attach_stage_data_feature_leaves(graph("x"), ctx)
    with pytest.raises(AttributeError):
        ee._attach_stage_data_feature_leaves(graph("x"), object())


# ---- stage options --------------------------------------------------------------------

def stage(name="scale", default="dflt"):
    return types.SimpleNamespace(name=name, default=default)


@pytest.mark.parametrize("mp, pool, st, expected", [
    ({"scale": 2, "pool7": {"scale": 3}}, "pool7", stage(), 2),
    ({"pool7": {"scale": 3}}, "pool7", stage(), 3),
    ({"pool7": {"other": 1}}, "pool7", stage(), "dflt"),
    ({"pool7": {"scale": 3}}, None, stage(), "dflt"),
    ({"pool7": {"scale": 3}}, "no attribute", stage(), "dflt"),
    ({"pool7": "not a mapping"}, "pool7", stage(), "dflt"),
    ({"scale": None}, None, stage(), None),
    ({}, "pool7", stage(), "dflt"),
    ({"p": {"scale": 9}}, "p", TransformStage("scale", 5), 9),
    ({"p": {"scale": 9}}, "p", TransformStage("shift", 5), 5),
])
def test_resolve_stage_option_precedence(ee, mp, pool, st, expected):
    ctx = types.SimpleNamespace(metaparameters=mp)
    if pool != "no attribute":
        ctx.pool_id = pool
    assert ee._resolve_stage_option(ctx, st) == expected
