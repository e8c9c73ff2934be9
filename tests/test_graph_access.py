import pytest

from fuzz_strategies import raising_node_class
from tessaline.functions._typed_shapes import FunctionGraphNode, SchemaError
from tessaline.simulator_engine._types import EvaluationError


Raising = raising_node_class("type", RuntimeError)


class Entry:
    def __init__(self, schema):
        self.param_schema = schema


class Item:
    def __init__(self, name=None, type=None):
        if name is not None:
            self.name = name
        if type is not None:
            self.type = type


def test_require_instance(ee):
    node = FunctionGraphNode("feature", "x")
    assert ee._require_graph_node_instance(node, "root") is node
    with pytest.raises(SchemaError) as info:
        ee._require_graph_node_instance({"type": "feature"}, "root.c2")
    assert str(info.value) == "Graph node 'root.c2' must be FunctionGraphNode; got dict"
    with pytest.raises(SchemaError, match="got NoneType"):
        ee._require_graph_node_instance(None, 3)


@pytest.mark.parametrize("fn", ["_require_graph_type_value", "_require_graph_node_value"])
def test_foreign_node_names_field_check(ee, fn):
    with pytest.raises(SchemaError) as info:
        getattr(ee, fn)({"type": "feature", "node": "x"}, "root")
    assert str(info.value) == "Graph node 'field-check' must be FunctionGraphNode; got dict"


def test_has_field_and_require_field(ee):
    node = FunctionGraphNode(None, "x")
    assert ee._graph_has_field(node, "type") is True
    assert ee._require_graph_type_value(node, "root") is None
    del node.type
    assert ee._graph_has_field(node, "type") is False
    with pytest.raises(EvaluationError) as info:
        ee._require_graph_field(node, "type", "root.c1")
    assert str(info.value) == "Graph node 'root.c1' missing required key: type"


def test_attribute_errors_other_than_missing_propagate(ee):
    with pytest.raises(RuntimeError, match="reading type"):
        ee._require_graph_type_value(Raising("t", "n"), "root")
    with pytest.raises(RuntimeError, match="reading type"):
        ee._graph_has_field(Raising("t", "n"), "type")


@pytest.mark.parametrize("field, fn", [("children", "_graph_children"),
                                       ("config", "_graph_config_dict")])
def test_missing_or_raising_children_and_config_propagate(ee, field, fn):
    node = FunctionGraphNode("rotation", "f")
    delattr(node, field)
    with pytest.raises(AttributeError):
        getattr(ee, fn)(node)
    with pytest.raises(AttributeError, match=f"reading {field}"):
        getattr(ee, fn)(raising_node_class(field, AttributeError)("rotation", "f"))


@pytest.mark.parametrize("children", [None, (), []])
def test_children_empty(ee, children):
    out = ee._graph_children(FunctionGraphNode("rotation", "f", children))
    assert out == [] and out is not children


def test_children_is_the_node_sequence(ee):
    kids = (FunctionGraphNode("feature", "a"),)
    assert ee._graph_children(FunctionGraphNode("rotation", "f", kids)) is kids
    with pytest.raises(SchemaError, match="'children'"):
        ee._graph_children(object())


def test_config_dict(ee):
    node = FunctionGraphNode("rotation", "f")
    a, b = ee._graph_config_dict(node), ee._graph_config_dict(node)
    assert a == {} and a is not b
    cfg = {"w": 5}
    node.config = cfg
    out = ee._graph_config_dict(node)
    out["x"] = 1
    assert cfg == {"w": 5}
    node.config = 5
    with pytest.raises(TypeError):
        ee._graph_config_dict(node)
    with pytest.raises(SchemaError, match="'config'"):
        ee._graph_config_dict([])


def test_iter_schema_items(ee):
    assert ee._iter_schema_items(None) == ()
    s = [1]
    assert ee._iter_schema_items(s) is s


@pytest.mark.parametrize("item,expected", [
    (("window", {"type": "int"}), ("window", "int")),
    (("window", "int"), ("window", "int")),
    (("window", {}), ("window", None)),
    (("window", Item(type="float")), ("window", "float")),
    (("window", 3), ("window", None)),
    ({"type": "int"}, ("param_3", "int")),
    ({"name": "n", "type": "bool"}, ("n", "bool")),
    (("a", "b", "c"), ("param_3", None)),
    (["window", "int"], ("param_3", None)),
    (Item(name="k", type="string"), ("k", "string")),
    (Item(), ("param_3", None)),
])
def test_schema_param_name_and_type(ee, item, expected):
    assert ee._schema_param_name_and_type(item, "param_3") == expected


def test_config_param_names(ee):
    entry = Entry({"window": {"type": "int"}, "weights": {"type": "array"}, "flag": "bool"})
    assert ee._config_param_names(entry) == ["window", "flag"]
    assert ee._config_param_names(object()) == []
    assert ee._config_param_names(Entry(None)) == []
    listed = Entry([("a", "int"), {"type": "float"}, Item(name="", type="int"),
                    Item(name=7, type="string"), ("b", "feature")])
    assert ee._config_param_names(listed) == ["a", "param_1", "7"]
    with pytest.raises(TypeError):
        ee._config_param_names(Entry([("a", {"type": ["unhashable"]})]))
