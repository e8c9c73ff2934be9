import sys

import pytest

from driver_fakes import missing
from driver_fakes import node as N
from fuzz_strategies import frozen_node_class, raising_node_class
from tessaline.functions._typed_shapes import FunctionGraphNode, SchemaError
from tessaline.simulator_engine._types import EvaluationError


# Node classes refusing every assignment after construction, cache slots included.
Frozen = frozen_node_class(AttributeError)
Exploding = frozen_node_class(RuntimeError)


def chain(depth, type_="rotation"):
    node = N("feature", "x")
    for _ in range(depth):
        node = N(type_, "f", node)
    return node


# ---- slots ----------------------------------------------------------------------------

def test_cache_slots(ee):
    g = N("feature", "x")
    assert ee._graph_cache_get(g, "_node_identities") is None  # never written
    ee._graph_cache_set(g, "_node_identities", {"k": 1})
    assert ee._graph_cache_get(g, "_node_identities") == {"k": 1}
    assert g._node_identities == {"k": 1}
    with pytest.raises(TypeError):
        ee._graph_cache_get(g, 5)
    # a refused slot is no cache for AttributeError and TypeError only
    frozen = Frozen("feature", "x")
    assert ee._graph_cache_set(frozen, "_node_identities", {}) is None
    assert ee._graph_cache_get(frozen, "_node_identities") is None
    with pytest.raises(RuntimeError, match="frozen"):
        ee._graph_cache_set(Exploding("feature", "x"), "_node_identities", {})
    raising = raising_node_class("_collect_nodes_cache", ValueError)
    with pytest.raises(ValueError, match="reading _collect_nodes_cache"):
        ee._graph_cache_get(raising("feature", "x"), "_collect_nodes_cache")


@pytest.mark.parametrize("bad", [None, {"type": "feature", "node": "x"}, 3])
@pytest.mark.parametrize("call", ["get", "set", "identities"])
def test_cache_functions_reject_foreign_objects(ee, bad, call):
    fn = {
        "get": lambda: ee._graph_cache_get(bad, "_x"),
        "set": lambda: ee._graph_cache_set(bad, "_x", 1),
        "identities": lambda: ee.generate_node_identities(bad),
    }[call]
    with pytest.raises(SchemaError) as info:
        fn()
    assert str(info.value) == (
        "Graph node 'cache' must be FunctionGraphNode; got " + type(bad).__name__)


def test_node_class_is_looked_up_at_call_time(ee, monkeypatch):
    class Special(FunctionGraphNode):
        pass

    monkeypatch.setattr(ee, "FunctionGraphNode", Special)
    with pytest.raises(SchemaError, match="^Graph node 'cache' must be FunctionGraphNode; "
                                          "got FunctionGraphNode$"):
        ee.generate_node_identities(N("feature", "x"))
    assert ee.invalidate_graph_evaluation_caches(N("feature", "x")) is None
    assert ee.generate_node_identities(Special("feature", "x")) == {"root": "x"}


# ---- identities -----------------------------------------------------------------------

@pytest.mark.parametrize("graph, expected", [
    (N("feature", "close"), [("root", "close")]),
    (N("rotation", "f", N("rotation", "g", N("feature", "x")), N("int", 5)),  # pre-order
     [("root", "f"), ("root.c0", "g"), ("root.c0.c0", "x"), ("root.c1", 5)]),
    (N("rotation", "f", *[N("int", i) for i in range(12)]),  # indexes are not padded
     [("root", "f")] + [(f"root.c{i}", i) for i in range(12)]),
], ids=["single", "pre_order", "unpadded"])
def test_identities(ee, graph, expected):
    assert list(ee.generate_node_identities(graph).items()) == expected


def test_identities_are_cached_on_the_root_until_invalidated(ee):
    g = N("rotation", "f", N("feature", "x"))
    first = ee.generate_node_identities(g)
    assert ee.generate_node_identities(g) is first
    assert g._node_identities is first
    g.children.append(N("feature", "y"))
    assert "root.c1" not in ee.generate_node_identities(g)  # stale until invalidated
    ee.invalidate_graph_evaluation_caches(g)
    second = ee.generate_node_identities(g)
    assert second is not first and second["root.c1"] == "y"


def test_any_cached_value_but_none_is_returned_as_is(ee):
    g = N("rotation", "f", N("feature", "x"))
    g._node_identities = {}
    assert ee.generate_node_identities(g) is g._node_identities
    g._node_identities = None
    assert ee.generate_node_identities(g) == {"root": "f", "root.c0": "x"}


def test_identities_recomputed_when_root_refuses_the_slot(ee):
    g = Frozen("rotation", "f", [N("feature", "x")])
    first = ee.generate_node_identities(g)
    assert first == {"root": "f", "root.c0": "x"}
    assert ee.generate_node_identities(g) is not first


def test_identities_missing_node_value_stops_without_caching(ee):
    g = N("rotation", "f", N("feature", "y"), missing("node", N("feature", "x")))
    with pytest.raises(EvaluationError) as info:
        ee.generate_node_identities(g)
    assert str(info.value) == "Graph node 'root.c1' missing required key: node"
    assert ee._graph_cache_get(g, "_node_identities") is None


def test_identities_propagate_attribute_access_errors(ee):
    with pytest.raises(KeyError, match="reading children"):
        ee.generate_node_identities(N("rotation", "f", raising_node_class("children", KeyError)(
            "feature", "x")))


# ---- invalidation ---------------------------------------------------------------------

def test_invalidate_ignores_foreign_objects_and_children(ee):
    for foreign in (None, {}, 42, "root"):
        assert ee.invalidate_graph_evaluation_caches(foreign) is None
    g = N("rotation", "f", None, {"x": 1})
    ee.invalidate_graph_evaluation_caches(g)
    assert g._node_identities is None


def test_invalidate_clears_every_node_but_keeps_state_identities(ee):
    leaf = N("feature", "x")
    red = N("reduction", "r", leaf)
    g = N("rotation", "f", red)
    ee._annotate_state_identities(g)
    for node in (g, red, leaf):
        node._node_identities = {"old": 1}
        node._collect_nodes_cache = object()
    assert ee.invalidate_graph_evaluation_caches(g) is None
    for node in (g, red, leaf):
        assert node._node_identities is None and node._collect_nodes_cache is None
    assert g._state_identity == "root" and red._state_identity == "root.c0"


def test_invalidate_reports_refused_assignment(ee):
    with pytest.raises(AttributeError):
        ee.invalidate_graph_evaluation_caches(Frozen("feature", "x"))
    with pytest.raises(RuntimeError, match="frozen"):
        ee.invalidate_graph_evaluation_caches(N("rotation", "f", Exploding("feature", "x")))


def test_invalidate_clears_the_collected_nodes_first(ee):
    class RefusesIdentities(FunctionGraphNode):
        def __setattr__(self, key, value):
            if key == "_node_identities":
                raise TypeError("read-only")
            object.__setattr__(self, key, value)

    g = RefusesIdentities("feature", "x")
    g._collect_nodes_cache = "old"
    with pytest.raises(TypeError, match="read-only"):
        ee.invalidate_graph_evaluation_caches(g)
    assert g._collect_nodes_cache is None


# ---- state identities -----------------------------------------------------------------

def test_annotate_marks_rotations_and_reductions_only(ee):
    red = N("reduction", "r", N("feature", "y"))
    leaf = N("feature", "x")
    g = N("rotation", "f", leaf, N("filtration", "filtration", red))
    assert ee._annotate_state_identities(g) is None
    assert g._state_identity == "root"
    assert red._state_identity == "root.c1.c0"
    assert not hasattr(leaf, "_state_identity")


def test_annotate_custom_path_overwrites(ee):
    red = N("reduction", "r")
    g = N("rotation", "f", red)
    ee._annotate_state_identities(g)
    ee._annotate_state_identities(g, "base")
    assert g._state_identity == "base" and red._state_identity == "base.c0"


def test_annotate_missing_type_keeps_earlier_annotations(ee):
    first = N("rotation", "a")
    g = N("rotation", "f", first, missing("type", N("feature", "x")), N("rotation", "never"))
    with pytest.raises(EvaluationError) as info:
        ee._annotate_state_identities(g)
    assert str(info.value) == "Graph node 'root.c1' missing required key: type"
    assert first._state_identity == "root.c0"
    assert not hasattr(g.children[2], "_state_identity")


def test_annotate_tolerates_refused_slot(ee):
    g = Frozen("rotation", "f", [N("reduction", "r")])
    ee._annotate_state_identities(g)
    assert g.children[0]._state_identity == "root.c0"


# ---- graphs within the recursion limit (deeper ones: test_fuzz_evaluate) ----------

WALKS = {
    "identities": lambda ee, g: ee.generate_node_identities(g),
    "annotate": lambda ee, g: ee._annotate_state_identities(g),
    "invalidate": lambda ee, g: ee.invalidate_graph_evaluation_caches(g),
}


@pytest.mark.parametrize("walk", sorted(WALKS))
def test_graph_within_the_recursion_limit_is_walked(ee, walk):
    depth = sys.getrecursionlimit() // 2
    g = chain(depth)
    WALKS[walk](ee, g)
    if walk == "identities":
        assert len(g._node_identities) == depth + 1
