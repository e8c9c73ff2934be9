import copy
import pickle

import pytest

from tessaline.functions._typed_shapes import FunctionGraphNode
from tessaline.functions.filtrations_evaluation import EmptyFiltrationError, EmptyPoolError
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


@pytest.mark.parametrize("cls", [EmptyFiltrationError, EmptyPoolError])
def test_empty_errors_carry_diagnostics(cls):
    assert cls("m").filter_diagnostics is None
    assert cls("m", {"a": 1}).filter_diagnostics == {"a": 1}
