import types

import pytest

from driver_fakes import Catalog, feat, literal, missing
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
    # float literals never give a window; an unusable literal does not hide a usable one;
    # a literal's own (malformed) children are not read
    (N("rotation", "roll", N("string", "s", {"not": "a node"}), i(3)), 2),
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

    def get_state(self):
        raise RuntimeError("state broke")


@pytest.mark.parametrize("graph, args, error, match", [
    # only TypeError and ValueError of int() mean "no int"
    (N("rotation", "roll", i(Broken())), (REG,), KeyError, "int broke"),
    (N("rotation", "roll", i(3)), (types.SimpleNamespace(
        has=lambda name: True, get_entry=lambda name: Broken()),), RuntimeError, "entry broke"),
    # a bool literal's children are walked (a string literal's are not: the table above)
    (N("rotation", "roll", N("bool", True, {"not": "a node"})), (REG,), SchemaError,
     "'field-check'.*got dict$"),
    (N("rotation", "roll", feat(), N("rotation", "roll", i(2), missing("type", feat()))),
     (REG,), EvaluationError, "^Graph node 'root.c1.c1' missing required key: type$"),
    (N("rotation", "roll", feat(), N("rotation", "roll", i(2), missing("type", feat()))),
     (REG, "top"), EvaluationError, "^Graph node 'top.c1.c1' missing required key: type$"),
    (missing("node", N("rotation", "roll", i(3))), (REG,), EvaluationError,
     "^Graph node 'root' missing required key: node$"),
    (None, (REG,), SchemaError, "^Graph node 'children' must be FunctionGraphNode"),
    ({"type": "rotation", "node": "roll"}, (REG,), SchemaError,
     "^Graph node 'children' must be FunctionGraphNode"),
])
def test_errors(ee, graph, args, error, match):
    with pytest.raises(error, match=match):
        ee._compute_graph_warmup_rows(graph, *args)


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


@pytest.mark.parametrize("instance, error", [
    (Broken(), RuntimeError), (object(), AttributeError),
    # errors of the count's lookup other than the tolerated ones
    (Instance(type("Weird", (dict,), {"get": lambda self, k, d=None: {}[k]})(a=1)), KeyError),
])
def test_instance_errors_propagate(ee, instance, error):
    with pytest.raises(error):
        ee._get_warmup_count_for_instance(instance)
