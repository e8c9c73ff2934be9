import numpy as np
import pytest

from driver_fakes import Fn, Registry, ctx, feat, node
from tessaline.functions._typed_shapes import SchemaError
from tessaline.simulator_engine._types import EvaluationError, FunctionExecutionError


class Item:
    def __init__(self, name):
        self.name = name


def _eval(ee, graph, registry=None, **kw):
    context = ctx(ee, [np.ones((2, 3))], registry)
    return ee.evaluate(graph, context, **kw)


@pytest.mark.parametrize("registry", [None, Registry(), Registry().add("f", Fn)])
def test_engine_only_parameters_are_refused_first(ee, registry):
    graph = node("rotation", "g", feat("f0"),
                 node("rotation", "f", feat("f0"), config={"window": 5, "N_alloc": 10, "A": 3}))
    with pytest.raises(FunctionExecutionError) as err:
        _eval(ee, graph, registry)
    assert err.value.args == ("Function 'f' at node 'root.c1' config contains engine-only "
                              "parameter(s): A, N_alloc",)
    assert registry is None or registry.calls == []  # no instance was created


def test_leaves_are_not_inspected(ee):
    graph = node("rotation", "f", node("feature", "f0", config={"A": 1}),
                 node("int", 3, config={"N_alloc": 1}))
    weights, _ = _eval(ee, graph, Registry().add("f", Fn))
    assert weights.shape == (2, 3)


@pytest.mark.parametrize("schema, config, unknown", [
    ({"window": {"type": "int"}}, {"window": 5, "decay": 0.5}, "decay"),
    ([Item("window"), Item(None)], {"zeta": 1, "alpha": 2, "window": 1}, "alpha, zeta"),
])
def test_virtualization_unknown_parameters(ee, schema, config, unknown):
    registry = Registry().add("v", Fn, family="virtualization", param_schema=schema)
    with pytest.raises(FunctionExecutionError) as err:
        _eval(ee, node("rotation", "v", feat("f0"), config=config), registry)
    assert err.value.args == ("Function 'v' at node 'root' config contains unknown "
                              f"parameter(s): {unknown}",)


@pytest.mark.parametrize("family, schema, config", [
    ("transform", {"x": "int"}, {"anything": 1}),  # other families accept any configuration
    ("virtualization", None, {}),  # without schema names, the empty configuration
])
def test_accepted_configurations(ee, family, schema, config):
    registry = Registry().add("f", Fn, family=family, param_schema=schema)
    _eval(ee, node("rotation", "f", feat("f0"), config=config or None), registry)
    assert registry.calls == [("create", "f", config)]


def test_pairs_schema_passes_preflight_but_not_the_per_node_check(ee):
    registry = Registry().add("v", Fn, family="virtualization",
                              param_schema=[("window", {"type": "int"})])
    with pytest.raises(FunctionExecutionError) as err:
        _eval(ee, node("rotation", "v", feat("f0"), config={"b": 1, "a": 2}), registry)
    # The preflight let it through (no schema names); collection refuses every key.
    assert err.value.args == ("Function 'v' at node 'root' config contains unknown "
                              "parameter(s): a, b",)
    assert registry.calls == []


def test_preflight_runs_before_fast_paths(ee, monkeypatch):
    monkeypatch.setattr(ee, "_can_use_leaf_fast_path", lambda *a, **k: pytest.fail("too early"))
    with pytest.raises(FunctionExecutionError):
        _eval(ee, node("rotation", "f", feat("f0"), config={"A": 1}))


@pytest.mark.parametrize("child, exc, text", [
    ({"type": "feature"}, SchemaError, "Graph node 'root.c0' must be FunctionGraphNode; got dict"),
    (node(None, None), None, None),
])
def test_malformed_children(ee, child, exc, text):
    graph = node("rotation", "f", feat("f0"))
    graph.children = [child]
    if exc is None:
        del child.type
        exc, text = EvaluationError, "Graph node 'root.c0' missing required key: type"
    with pytest.raises(exc) as err:
        _eval(ee, graph, Registry().add("f", Fn))
    assert err.value.args == (text,)


def test_non_string_unknown_keys_fail_in_the_sort(ee):
    registry = Registry().add("v", Fn, family="virtualization", param_schema={"w": "int"})
    with pytest.raises(TypeError):
        _eval(ee, node("rotation", "v", feat("f0"), config={1: 2, "b": 3}), registry)
