import copy
import pickle

import pytest

from tessaline.functions._typed_shapes import FunctionGraphNode, FunctionState, StageData
from tessaline.functions.filtrations_evaluation import (
    EmptyFiltrationError, EmptyPoolError, FilterNode, FiltrationResult)
from tessaline.simulator_engine import _types
from tessaline.simulator_engine._graph_helpers import extract_feature_leaf_names


def tree():
    return FunctionGraphNode("rotation", "f", [
        FunctionGraphNode("feature", "b"),
        FunctionGraphNode("reduction", "r", [FunctionGraphNode("aggregation", "a"),
                                             FunctionGraphNode("int", 5)]),
        FunctionGraphNode("feature", "b")], config={"k": 1}, canonical_id="cid")


def test_graph_node_is_a_plain_record():
    n = tree()
    assert (n.type, n.node, n.config, n.canonical_id) == ("rotation", "f", {"k": 1}, "cid")
    assert n == n and n != tree()
    n.extra = 1
    assert "rotation" in repr(n) and "'f'" in repr(n)
    assert not hasattr(FunctionGraphNode, "__slots__")


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda n: pickle.loads(pickle.dumps(n))])
def test_graph_node_copies(clone):
    n = tree()
    c = clone(n)
    assert c is not n and c.children[1].children[1].node == 5 and c.config == {"k": 1}


def test_feature_leaf_names_pre_order_with_duplicates():
    assert extract_feature_leaf_names(tree()) == ["b", "a", "b"]


def test_function_state_keywords():
    s = FunctionState(function_name="f", function_version="1", data={"count": 3})
    assert (s.function_name, s.function_version, s.data) == ("f", "1", {"count": 3})


def test_stage_data():
    assert StageData().is_empty()
    sd = StageData({"x": 1})
    assert not sd.is_empty() and sd.value("x") == 1 and sd.value("y", None) is None


def test_useful_signal_defaults():
    s = _types.UsefulSignal()
    assert s.weights is None and s.pnl is None and s.metadata == {}
    t = _types.TransformStage("scale", default="x")
    assert (t.name, t.default) == ("scale", "x")


@pytest.mark.parametrize("cls", [_types.EvaluationError, _types.EvaluationShapeError,
                                 _types.FunctionExecutionError,
                                 _types.FiltrationResolutionError])
def test_error_types(cls):
    e = cls("message")
    e.filter_diagnostics = {"passing_count": 0}
    assert str(e) == "message" and issubclass(cls, Exception)


@pytest.mark.parametrize("cls", [EmptyFiltrationError, EmptyPoolError])
def test_empty_errors_carry_diagnostics(cls):
    assert cls("m").filter_diagnostics is None
    assert cls("m", {"a": 1}).filter_diagnostics == {"a": 1}


def test_filter_records():
    f = FilterNode(function_name="gt", params={"field": "x"}, children=[])
    assert (f.function_name, f.params, f.children) == ("gt", {"field": "x"}, [])
    r = FiltrationResult(passing_ids=["a"], signal_count=1, total_pool_size=3,
                         filter_diagnostics=[])
    assert (r.passing_ids, r.signal_count, r.total_pool_size) == (["a"], 1, 3)
