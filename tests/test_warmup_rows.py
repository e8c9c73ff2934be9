import types

import pytest

from driver_fakes import Catalog, feat, literal
from driver_fakes import node as N
from tessaline.functions._typed_shapes import SchemaError
from tessaline.simulator_engine._types import EvaluationError


i = literal("int")


def Registry(stateful=(), stateless=()):
    # An entry without a `stateful` attribute is stateless.
    return Catalog(stateless, entries={n: types.SimpleNamespace(stateful=True) for n in stateful})


REG = Registry(stateful={"roll", "roll2", "red"}, stateless={"plain"})


@pytest.mark.parametrize("graph, expected", [
    (feat(), 0),
    (N("rotation", "plain", feat(), i(10)), 0),
    (N("rotation", "roll", feat(), i(5), i(10)), 9),
    (N("rotation", "roll", feat(), i(10), i(5)), 9),
    (N("rotation", "roll", feat(), i(1)), 0),
    (N("rotation", "roll", N("rotation", "roll2", feat(), i(5))), 4),
    (N("rotation", "roll", N("rotation", "roll2", feat(), i(5)), i(1)), 4),
    (N("rotation", "roll", N("rotation", "roll2", feat(), i(5)), i(20)), 23),
    (N("reduction", "red", N("rotation", "roll", feat(), i(10)), i(30)), 29),
    (N("rotation", "plain", N("rotation", "roll", feat(), i(10))), 9),
    (N("rotation", "unknown", N("rotation", "roll", feat(), i(10)), i(50)), 9),
    # a reduction child's warm-up is not added to a rotation's own
    (N("rotation", "roll", N("reduction", "red", feat(), i(8)), i(5)), 4),
    # ... but still counts when the rotation adds nothing of its own
    (N("rotation", "roll", N("reduction", "red", feat(), i(8)), i(1)), 7),
    # the largest of several rotation children
    (N("rotation", "roll", N("rotation", "roll", feat(), i(3)),
       N("rotation", "roll", feat(), i(7)), i(2)), 7),
    # float literals never give a window; an unusable literal does not hide a usable one
    (N("rotation", "roll", i("abc"), i(4), i(None)), 3),
    (N("rotation", "roll", feat(), N("float", 10.0)), 0),
    # a filtration or other node passes its children's warm-up through
    (N("filtration", "filtration", N("rotation", "roll", feat(), i(6))), 5),
])
def test_warmup_rows(ee, graph, expected):
    assert ee._compute_graph_warmup_rows(graph, REG) == expected


@pytest.mark.parametrize("value, expected", [
    ("abc", 0), (None, 0), (7.9, 6), ("12", 11), (True, 0), ([3], 0), (-5, 0),
    (10 ** 30, 10 ** 30 - 1),
])
def test_int_literal_conversion(ee, value, expected):
    graph = N("rotation", "roll", feat(), i(value))
    assert ee._compute_graph_warmup_rows(graph, REG) == expected


def test_no_registry_means_no_warmup(ee):
    graph = N("rotation", "roll", N("rotation", "roll2", feat(), i(5)), i(20))
    assert ee._compute_graph_warmup_rows(graph, None) == 0


def test_registry_questions(ee):
    reg = Registry(stateful={"roll"})
    graph = N("rotation", "roll", N("rotation", "nope", feat()), i(4))
    assert ee._compute_graph_warmup_rows(graph, reg) == 3
    assert reg.asked == [("has", "nope"), ("has", "roll"), ("get_entry", "roll")]


class Broken:
    def __int__(self):
        raise KeyError("int broke")

    @property
    def stateful(self):
        raise RuntimeError("entry broke")


@pytest.mark.parametrize("graph, registry, error", [
    (N("rotation", "roll", i(Broken())), REG, KeyError),  # only Type/ValueError mean "no int"
    (N("rotation", "roll", i(3)), types.SimpleNamespace(has=lambda name: True,
                                                        get_entry=lambda name: Broken()),
     RuntimeError),
])
def test_errors_of_literals_and_entries_propagate(ee, graph, registry, error):
    with pytest.raises(error, match="broke"):
        ee._compute_graph_warmup_rows(graph, registry)


def test_literal_children_are_not_walked_but_bool_ones_are(ee):
    # a malformed literal child is skipped without its own children being read
    lit = N("string", "s", {"not": "a node"})
    assert ee._compute_graph_warmup_rows(N("rotation", "roll", lit, i(3)), REG) == 2
    lit = N("bool", True, {"not": "a node"})
    with pytest.raises(SchemaError, match="'field-check'.*got dict$"):
        ee._compute_graph_warmup_rows(N("rotation", "roll", lit), REG)


def test_paths_in_errors(ee):
    bad = feat()
    del bad.type
    graph = N("rotation", "roll", feat(), N("rotation", "roll", i(2), bad))
    with pytest.raises(EvaluationError) as info:
        ee._compute_graph_warmup_rows(graph, REG)
    assert str(info.value) == "Graph node 'root.c1.c1' missing required key: type"
    with pytest.raises(EvaluationError) as info:
        ee._compute_graph_warmup_rows(graph, REG, "top")
    assert str(info.value) == "Graph node 'top.c1.c1' missing required key: type"
    graph = N("rotation", "roll", i(3))
    del graph.node
    with pytest.raises(EvaluationError, match="^Graph node 'root' missing required key: node$"):
        ee._compute_graph_warmup_rows(graph, REG)


@pytest.mark.parametrize("bad", [None, {"type": "rotation", "node": "roll"}])
def test_foreign_root(ee, bad):
    with pytest.raises(SchemaError, match="^Graph node 'children' must be FunctionGraphNode"):
        ee._compute_graph_warmup_rows(bad, REG)


def test_chain_within_the_limit_adds_up(ee):
    import sys

    depth = sys.getrecursionlimit() // 2
    node = feat()
    for _ in range(depth):
        node = N("rotation", "roll", node, i(3))
    assert ee._compute_graph_warmup_rows(node, REG) == 2 * depth


# ---- rows consumed by an instance -----------------------------------------------------

class Instance:
    def __init__(self, state):
        self.state = state

    def get_state(self):
        return self.state


class NoGet:
    count = 5

    def __bool__(self):
        return True


@pytest.mark.parametrize("state, expected", [
    ({"count": 42}, 42), ({"count": "17"}, 17), ({}, 0), (None, 0), ({"count": None}, 0),
    ({"count": "x"}, 0), ({"count": 3.9}, 3), ({"other": 1}, 0), (NoGet(), 0),
    ({"count": 2 ** 70}, 2 ** 70), ([], 0),
])
def test_instance_warmup_count(ee, state, expected):
    assert ee._get_warmup_count_for_instance(Instance(state)) == expected


def test_instance_get_state_errors_propagate(ee):
    class Broken:
        def get_state(self):
            raise RuntimeError("state broke")

    with pytest.raises(RuntimeError, match="state broke"):
        ee._get_warmup_count_for_instance(Broken())
    with pytest.raises(AttributeError):
        ee._get_warmup_count_for_instance(object())


def test_instance_count_errors_other_than_the_tolerated_ones_propagate(ee):
    class Weird(dict):
        def get(self, key, default=None):
            raise KeyError("weird")

    with pytest.raises(KeyError):
        ee._get_warmup_count_for_instance(Instance(Weird(a=1)))
