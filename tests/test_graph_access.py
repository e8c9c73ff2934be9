import types

import pytest

from driver_fakes import missing
from fuzz_strategies import raising_node_class
from tessaline.functions._typed_shapes import FunctionGraphNode, SchemaError
from tessaline.simulator_engine._types import EvaluationError

Item = types.SimpleNamespace


def Entry(schema):
    return Item(param_schema=schema)


def without(field):
    return missing(field, FunctionGraphNode(None, "x"))


@pytest.mark.parametrize("call, error, match", [
    (lambda ee: ee._require_graph_node_instance({"type": "feature"}, "root.c2"), SchemaError,
     r"^Graph node 'root.c2' must be FunctionGraphNode; got dict$"),
    (lambda ee: ee._require_graph_node_instance(None, 3), SchemaError, "got NoneType$"),
    (lambda ee: ee._require_graph_type_value({"type": "feature", "node": "x"}, "root"),
     SchemaError, r"^Graph node 'field-check' must be FunctionGraphNode; got dict$"),
    (lambda ee: ee._require_graph_node_value({"type": "feature", "node": "x"}, "root"),
     SchemaError, r"^Graph node 'field-check' must be FunctionGraphNode; got dict$"),
    (lambda ee: ee._require_graph_field(without("type"), "type", "root.c1"), EvaluationError,
     r"^Graph node 'root.c1' missing required key: type$"),
    # attribute errors other than a missing attribute propagate
    (lambda ee: ee._require_graph_type_value(raising_node_class("type", RuntimeError)("t", "n"),
                                             "root"), RuntimeError, "reading type"),
    (lambda ee: ee._graph_has_field(raising_node_class("type", RuntimeError)("t", "n"), "type"),
     RuntimeError, "reading type"),
    # a missing or raising children or config attribute is no empty one
    (lambda ee: ee._graph_children(without("children")), AttributeError, None),
    (lambda ee: ee._graph_config_dict(without("config")), AttributeError, None),
    (lambda ee: ee._graph_children(raising_node_class("children", AttributeError)("r", "f")),
     AttributeError, "reading children"),
    (lambda ee: ee._graph_config_dict(raising_node_class("config", AttributeError)("r", "f")),
     AttributeError, "reading config"),
    (lambda ee: ee._graph_children(object()), SchemaError, "'children'"),
    (lambda ee: ee._graph_config_dict([]), SchemaError, "'config'"),
    (lambda ee: ee._graph_config_dict(FunctionGraphNode("rotation", "f", None, 5)), TypeError,
     None),
    (lambda ee: ee._config_param_names(Entry([("a", {"type": ["unhashable"]})])), TypeError,
     None),
])
def test_accessor_errors(ee, call, error, match):
    with pytest.raises(error, match=match):
        call(ee)


def test_accessor_values(ee):
    node = FunctionGraphNode(None, "x")
    assert ee._require_graph_node_instance(node, "root") is node
    assert ee._graph_has_field(node, "type") is True
    assert ee._require_graph_type_value(node, "root") is None
    assert ee._graph_has_field(without("type"), "type") is False
    for children in (None, (), []):
        out = ee._graph_children(FunctionGraphNode("rotation", "f", children))
        assert out == [] and out is not children
    kids = (FunctionGraphNode("feature", "a"),)
    assert ee._graph_children(FunctionGraphNode("rotation", "f", kids)) is kids
    a, b = ee._graph_config_dict(node), ee._graph_config_dict(node)
    assert a == {} and a is not b
    node.config = cfg = {"w": 5}
    ee._graph_config_dict(node)["x"] = 1  # a copy
    assert cfg == {"w": 5}
    assert ee._iter_schema_items(None) == ()
    assert ee._iter_schema_items(kids) is kids


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
