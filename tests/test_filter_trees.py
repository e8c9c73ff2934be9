import pytest

from driver_fakes import literal, missing, op
from driver_fakes import node as N
from tessaline.functions._typed_shapes import SchemaError
from tessaline.functions.filtrations_evaluation import FilterNode
from tessaline.simulator_engine._types import EvaluationError


s, f, i = literal("string"), literal("float"), literal("int")


# ---- conversion -----------------------------------------------------------------------

@pytest.mark.parametrize("node, params", [
    (op("gt", s("sharpe"), f(1.5)), {"field": "sharpe", "value": 1.5}),
    (op("gt", s("count"), i(3)), {"field": "count", "value": 3}),
    (op("lte", s("count"), i(3), f(0.5)), {"field": "count", "value": 0.5}),
    (op("eq", s("family"), s("momentum"), f(2.0)), {"field": "family", "value": "momentum"}),
    (op("neq", f(2.0), s("family"), s("carry")), {"field": "family", "value": "carry"}),
    (op("gt", s("a"), s("b")), {"field": "a"}),
    (op("gte", f(1.0)), {"value": 1.0}),
    (op("lt"), {}),
    (op("between", s("x"), f(1.0)), {"field": "x"}),
    (op("between", s("x"), f(1.0), i(5), f(2.0), f(3.0)), {"field": "x", "low": 1.0, "high": 2.0}),
    (op("between", f(1.0), f(2.0)), {"low": 1.0, "high": 2.0}),
    (op("in_", s("family")), {"field": "family"}),
    (op("in_", s("family"), s("a"), s("b")), {"field": "family", "values": ["a", "b"]}),
    (op("in_", f(1.0)), {}),
    (op("top_pct", s("sharpe"), i(10), f(0.2)), {"field": "sharpe", "pct": 0.2}),
    (op("bottom_pct", s("sharpe"), i(10)), {"field": "sharpe"}),
    (op("top_n", s("sharpe"), i(10), f(0.2)), {"field": "sharpe", "n": 10}),
    (op("bottom_n", s("sharpe"), f(0.2)), {"field": "sharpe"}),
    (op("and_", f(1.0), s("x")), {}),
    (op("unknown_op", s("x"), f(1.0)), {}),
])
def test_params_by_operator(ee, node, params):
    fnode = ee._dict_to_filter_node(node)
    assert type(fnode) is FilterNode
    assert fnode.function_name == node.node
    assert fnode.params == params and fnode.children == []


def test_params_key_order_and_exact_values(ee):
    params = ee._dict_to_filter_node(op("eq", f(2.0), s("fam"), s("mom"))).params
    assert list(params) == ["field", "value"]
    value = [1, 2]  # values are taken as stored, not converted or copied
    params = ee._dict_to_filter_node(op("gt", s("x"), N("float", value))).params
    assert params["value"] is value
    assert ee._dict_to_filter_node(op("gt", N("string", 7))).params == {"field": 7}


def test_children_are_converted_in_order_and_other_kinds_ignored(ee):
    tree = op("filtration", op("and_", op("gt", s("sharpe"), f(1.5)), N("bool", True),
                               N("feature", "x"), N("rotation", "f"), f(9.0),
                               op("lt", s("turnover"), f(0.3))))
    expected = FilterNode("filtration", {}, [FilterNode("and_", {}, [
        FilterNode("gt", {"field": "sharpe", "value": 1.5}),
        FilterNode("lt", {"field": "turnover", "value": 0.3})])])
    assert ee._dict_to_filter_node(tree) == expected


def test_operator_comes_from_the_value_and_sub_filters_from_the_type(ee):
    # a child typed as an operator is a sub-filter even when its value names something else
    child = N("gt", "top_n", s("x"), i(3))
    parent = N("filtration", "or_", child, N("string", "ignored-by-or"))
    fnode = ee._dict_to_filter_node(parent)
    assert fnode.function_name == "or_" and fnode.params == {}
    assert fnode.children == [FilterNode("top_n", {"field": "x", "n": 3})]
    # a type that is not a filter kind ("and" without underscore) is skipped
    assert ee._dict_to_filter_node(op("and_", N("and", "and_"))).children == []


def test_filter_node_is_built_with_keywords_looked_up_at_call_time(ee, monkeypatch):
    calls = []

    def fake(**kwargs):
        calls.append(kwargs)
        return ("built", kwargs["function_name"])

    monkeypatch.setattr(ee, "FilterNode", fake)
    result = ee._dict_to_filter_node(op("not_", op("gt", s("x"), f(1.0))))
    assert result == ("built", "not_")
    assert calls == [
        {"function_name": "gt", "params": {"field": "x", "value": 1.0}, "children": []},
        {"function_name": "not_", "params": {}, "children": [("built", "gt")]},
    ]
    monkeypatch.setattr(ee, "FilterNode", lambda **kw: (_ for _ in ()).throw(ValueError("broke")))
    with pytest.raises(ValueError, match="broke"):
        ee._dict_to_filter_node(op("gt"))


@pytest.mark.parametrize("fn, args, error, match", [
    ("_dict_to_filter_node", (op("filtration", op("and_", f(1.0), missing("node", s("x")))),),
     EvaluationError, "^Graph node 'filtration.c0.c1' missing required key: node$"),
    ("_dict_to_filter_node", (op("gt", f(1.0), f(2.0), missing("type", s("x"))), "root.c2"),
     EvaluationError, "^Graph node 'root.c2.c2' missing required key: type$"),
    ("_describe_dict_filter",
     (op("filtration", op("and_", op("gt"), op("gt", f(1.0), missing("node", s("x"))))),),
     EvaluationError, "^Graph node 'filtration.c0.c1.c1' missing required key: node$"),
    ("_describe_dict_filter", (op("not_", missing("node", s("x"))), "p"), EvaluationError,
     "^Graph node 'p.c0' missing required key: node$"),
    *[(fn, (bad,), SchemaError, "^Graph node 'field-check' must be FunctionGraphNode; got "
       + type(bad).__name__) for fn in ("_dict_to_filter_node", "_describe_dict_filter")
      for bad in (None, {"type": "gt", "node": "gt"})],
    ("_dict_to_filter_node", (op("and_", None),), SchemaError, None),
    ("_describe_dict_filter", (op("and_", {"type": "gt", "node": "gt"}),), SchemaError, None),
    ("_dict_to_filter_node", (op("and_", N(["gt"], "gt")),), TypeError, None),  # unhashable type
])
def test_errors(ee, fn, args, error, match):
    with pytest.raises(error, match=match):
        getattr(ee, fn)(*args)


# ---- descriptions ---------------------------------------------------------------------

@pytest.mark.parametrize("node, text", [
    (op("filtration"), "filtration()"),
    (op("filtration", op("and_", op("gt", s("sharpe"), f(1.5)), op("lt", s("turnover"), f(0.3)))),
     "filtration(and_(gt(sharpe, 1.5), lt))"),
    (op("not_", op("gt", s("vol"), i(2))), "not_(gt(vol, 2))"),
    (op("or_"), "or_()"),
    (op("filtration", op("lt"), op("gt", s("x"))), "filtration(lt)"),
    (op("between", s("x"), f(1.0), f(2.0)), "between"),
    (op("gt", op("and_", s("x")), N("bool", True), N("int", None)), "gt(and_, True, None)"),
    (op("gt"), "gt()"),
    (op("and_", op("or_", op("not_", op("top_n", s("x"), i(3))))), "and_(or_(not_(top_n)))"),
    (N("gt", "mystery_op", s("x")), "mystery_op"),
    (N("and_", 42), "42"),
    (N("and_", None), "None"),
    (N("feature", "gt", s("x")), "gt(x)"),  # the root's type is not consulted
    (op("lt", {"not": "a node"}), "lt"),  # an operator without arguments reads no children
])
def test_descriptions(ee, node, text):
    assert ee._describe_dict_filter(node) == text


def test_filter_tree_within_the_limit(ee):
    node = op("gt", s("x"))
    for _ in range(300):
        node = op("not_", node)
    assert ee._describe_dict_filter(node) == "not_(" * 300 + "gt(x)" + ")" * 300
    fnode = ee._dict_to_filter_node(node)
    for _ in range(300):
        fnode = fnode.children[0]
    assert fnode.params == {"field": "x"}
