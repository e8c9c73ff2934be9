"""The graph model, table-driven: checked node access and schema items, cache slots and node
identities on hostile node classes, stage-data leaves and options, warm-up rows."""

import types

import numpy as np
import pytest

from fakes import Entry, Registry, feat, frozen_node_class, literal, missing
from fakes import node as N
from tessaline.functions._typed_shapes import FunctionGraphNode, SchemaError, StageData
from tessaline.simulator_engine._types import EvaluationError

NS = types.SimpleNamespace
Frozen = frozen_node_class(AttributeError)
i = literal("int")


def without(field):
    return missing(field, FunctionGraphNode(None, "x"))


def test_access_values(ee):
    n, kids = FunctionGraphNode(None, "x"), (feat("a"),)
    assert ee._graph_has_field(n, "type") is True and ee._graph_has_field(without("type"), "type") is False
    assert ee._graph_children(FunctionGraphNode("rotation", "f", kids)) is kids
    assert [ee._graph_children(FunctionGraphNode("r", "f", c)) for c in (None, ())] == [[], []]
    n.config = cfg = {"w": 5}
    ee._graph_config_dict(n)["x"] = 1  # a copy
    assert cfg == {"w": 5} and ee._iter_schema_items(None) == () and ee._iter_schema_items(kids) is kids


def test_cache_slots_and_identities(ee):
    g = N("rotation", "f", N("rotation", "g", feat("x")), *[i(k) for k in range(11)])
    assert ee._graph_cache_get(g, "_node_identities") is None
    ids = ee.generate_node_identities(g)
    assert list(ids.items())[:4] == [("root", "f"), ("root.c0", "g"), ("root.c0.c0", "x"), ("root.c1", 0)]
    assert ids["root.c11"] == 10 and ee.generate_node_identities(g) is ids is g._node_identities
    g.children.append(feat("y"))
    assert "root.c12" not in ee.generate_node_identities(g)  # stale until invalidated
    ee.invalidate_graph_evaluation_caches(g)
    assert ee.generate_node_identities(g)["root.c12"] == "y"
    g._node_identities = {}
    assert ee.generate_node_identities(g) is g._node_identities  # any value but None is the cache
    frozen = Frozen("rotation", "f", [feat("x")])
    assert ee._graph_cache_set(frozen, "_node_identities", {}) is None
    with pytest.raises(RuntimeError, match="frozen"):
        ee._graph_cache_set(frozen_node_class(RuntimeError)("feature", "x"), "_node_identities", {})
    assert ee.generate_node_identities(frozen) == {"root": "f", "root.c0": "x"} == ee.generate_node_identities(frozen)
    broken = N("rotation", "f", feat("y"), missing("node", feat("x")))
    with pytest.raises(EvaluationError, match="^Graph node 'root.c1' missing required key: node$"):
        ee.generate_node_identities(broken)
    assert ee._graph_cache_get(broken, "_node_identities") is None


# ---------------------------------------------------------------------------------------
# Stage data.


def stage_context(values=None, **kw):
    return NS(stage_data=StageData(values), features=(np.zeros((3, 2)),), feature_index={"close": 0}, **kw)


def leaves(*names):
    return N("rotation", "f", *[feat(n) for n in names])


@pytest.mark.parametrize("value, kept", [
    (np.arange(6, dtype=np.int32).reshape(3, 2), "copy"), (np.asfortranarray(np.arange(6.0).reshape(3, 2)), "copy"),
    (np.ma.masked_array(np.ones((3, 2))), "view"), (np.arange(6.0).reshape(3, 2), "same")])
def test_a_two_dimensional_stage_value_becomes_a_feature(ee, value, kept):
    c = stage_context({"spread": value, "b": np.ones((3, 2)), "a": np.full((3, 2), 2.0), "flat": np.zeros(3),
                       "cube": np.zeros((2, 3, 4)), "list": [[1.0, 2.0]], "none": None, "close": np.ones((3, 2))})
    index = c.feature_index
    ee._attach_stage_data_feature_leaves(leaves("close", "spread", "b", "a", "b", "flat", "cube", "list", "none"), c)
    assert c.feature_index is index and index == {"close": 0, "a": 1, "b": 2, "spread": 3}
    added = c.features[3]
    assert type(c.features) is tuple and len(c.features) == 4 and c.features[1][0, 0] == 2.0
    assert (added is value) == (kept == "same") and type(added) is np.ndarray and added.flags.c_contiguous
    assert np.shares_memory(added, value) == (kept != "copy") and (added == value).all()
    ee._attach_stage_data_feature_leaves(leaves("b", "a"), c)
    assert len(c.features) == 4


# ---------------------------------------------------------------------------------------
# Warm-up rows.

REG = Registry({"roll": Entry(stateful=True), "roll2": Entry(stateful=True), "red": Entry(stateful=True),
                "plain": NS()})


def roll(*children):
    return N("rotation", "roll", *children)


@pytest.mark.parametrize("graph, expected", [
    (roll(feat(), i(5), i(10)), 9), (roll(roll(feat(), i(5)), i(20)), 23), (roll(feat(), i(1)), 0),
    (N("reduction", "red", roll(feat(), i(10)), i(30)), 29), (N("rotation", "plain", roll(feat(), i(10)), i(9)), 9),
    (roll(N("reduction", "red", feat(), i(8)), i(5)), 4), (roll(N("reduction", "red", feat(), i(8)), i(1)), 7),
    (roll(N("string", "s", {"not": "a node"}), i(3), N("float", 10.0)), 2),
    (N("filtration", "filtration", roll(feat(), i(6))), 5),
    *[(roll(feat(), i(v)), want) for v, want in [("abc", 0), (None, 0), (7.9, 6), ("12", 11), ([3], 0),
                                                 (10 ** 30, 10 ** 30 - 1)]],
])
def test_warmup_rows(ee, graph, expected):
    assert ee._compute_graph_warmup_rows(graph, REG) == expected and ee._compute_graph_warmup_rows(graph, None) == 0


class Broken:
    def __int__(self):
        raise KeyError("int broke")

    @property
    def stateful(self):
        raise RuntimeError("entry broke")

    def get_state(self):
        raise RuntimeError("state broke")


@pytest.mark.parametrize("graph, args, error, match", [
    (roll(i(Broken())), (REG,), KeyError, "int broke"),  # only TypeError and ValueError mean "no int"
    (roll(i(3)), (NS(has=lambda n: True, get_entry=lambda n: Broken()),), RuntimeError, "entry broke"),
    (roll(N("bool", True, {"not": "a node"})), (REG,), SchemaError, "'field-check'.*got dict$"),
    (roll(feat(), roll(i(2), missing("type", feat()))), (REG, "top"), EvaluationError,
     "^Graph node 'top.c1.c1' missing required key: type$"),
    (missing("node", roll(i(3))), (REG,), EvaluationError, "^Graph node 'root' missing required key: node$"),
    ({"type": "rotation", "node": "roll"}, (REG,), SchemaError, "^Graph node 'children' must be FunctionGraphNode"),
])
def test_warmup_errors(ee, graph, args, error, match):
    with pytest.raises(error, match=match):
        ee._compute_graph_warmup_rows(graph, *args)


@pytest.mark.parametrize("state, expected", [
    ({"count": 42}, 42), ({"count": "17"}, 17), ({}, 0), (None, 0), ({"count": None}, 0), ({"count": "x"}, 0),
    ({"count": 3.9}, 3), (type("NoGet", (), {"count": 5})(), 0), ({"count": 2 ** 70}, 2 ** 70), ([], 0),
    (RuntimeError, None), (AttributeError, None), (KeyError, None)])
def test_rows_an_instance_has_seen(ee, state, expected):
    errors = {RuntimeError: Broken(), AttributeError: object(), KeyError: NS(get_state=lambda: type(
        "Weird", (dict,), {"get": lambda self, k, d=None: {}[k]})(a=1))}
    instance = errors[state] if expected is None else NS(get_state=lambda: state)
    if expected is None:
        with pytest.raises(state):
            ee._get_warmup_count_for_instance(instance)
    else:
        assert ee._get_warmup_count_for_instance(instance) == expected
