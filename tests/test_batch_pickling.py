"""What travels to a batch worker: graphs without their caches, contexts with arrays out of band."""

import copy
import pickle

import numpy as np
import pytest

from tessaline.functions._typed_shapes import FunctionGraphNode
from tessaline.simulator_engine._types import UsefulSignal


def graph():
    return FunctionGraphNode("rotation", "f", [
        FunctionGraphNode("feature", "close"),
        FunctionGraphNode("reduction", "r", [FunctionGraphNode("int", 3)])])


CLONES = {
    "pickle": lambda g: pickle.loads(pickle.dumps(g, protocol=5)),
    "deepcopy": copy.deepcopy,
    "copy": copy.copy,
}


@pytest.mark.parametrize("clone", CLONES.values(), ids=CLONES.keys())
def test_graph_copies_leave_structure_caches_behind(ee, clone):
    g = graph()
    ids = ee.generate_node_identities(g)
    g._collect_nodes_cache = {"collected": True}
    g.children[1]._node_identities = {"root": "r"}  # below the root too
    g.extra = [1, 2]  # other attributes travel
    ee._annotate_state_identities(g)
    c = clone(g)
    assert ee._graph_cache_get(c, "_node_identities") is None
    assert ee._graph_cache_get(c, "_collect_nodes_cache") is None
    if c.children[1] is not g.children[1]:  # (a shallow copy shares the children)
        assert ee._graph_cache_get(c.children[1], "_node_identities") is None
    assert c.extra == [1, 2] and c.children[1].children[0].node == 3
    # the state annotation is part of the graph, not a cache
    assert c._state_identity == "root"
    assert c.children[1]._state_identity == "root.c1"
    # the original keeps its caches, and the copy rebuilds equal identities on demand
    assert ee.generate_node_identities(g) is ids
    assert ee.generate_node_identities(c) == ids
    assert (c.type, c.node, c.config, c.canonical_id) == (g.type, g.node, g.config, g.canonical_id)


def make_context(ee, signals=False):
    rng = np.random.default_rng(3)
    T, N = 12, 5
    features = (rng.normal(size=(T, N)), rng.normal(size=(T, N)))
    universe = (rng.random((T, N)) > 0.2).astype(np.float64)
    useful = None
    if signals:
        useful = {"s1": UsefulSignal(weights=rng.normal(size=(T, N)), pnl=rng.normal(size=T)),
                  "s2": UsefulSignal(weights=rng.normal(size=(T, N)))}
    return ee.EvaluationContext(features, {"close": 0, "volume": 1}, useful, universe=universe)


@pytest.mark.parametrize("signals, expected_buffers", [
    (False, 3),   # two features and the universe
    (True, 7),    # plus two signal weights, one PnL series and the extraction buffer
])
def test_context_arrays_travel_out_of_band(ee, signals, expected_buffers):
    ctx = make_context(ee, signals)
    buffers = []
    data = pickle.dumps(ctx, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == expected_buffers
    assert all(isinstance(b, pickle.PickleBuffer) for b in buffers)
    # the pickle stream itself holds none of the array bytes
    assert len(data) < sum(b.raw().nbytes for b in buffers)
    back = pickle.loads(data, buffers=buffers)
    for a, b in zip(back.features, ctx.features):
        assert np.shares_memory(a, b) and np.array_equal(a, b)
    assert np.shares_memory(back.universe, ctx.universe)
    assert back.feature_index == ctx.feature_index
    assert back._evaluation_lock is not ctx._evaluation_lock
    with back._evaluation_lock:
        pass
