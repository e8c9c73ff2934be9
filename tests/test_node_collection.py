import numpy as np
import pytest

from driver_fakes import Fn, Registry, StatefulFn, ctx, feat, node
from tessaline.functions._typed_shapes import FunctionState
from tessaline.simulator_engine._types import (EvaluationError, EvaluationShapeError,
                                               FunctionExecutionError, UsefulSignal)


def _ctx(ee, registry=None, T=3, N=2, **kw):
    return ctx(ee, [np.arange(T * N, dtype=float).reshape(T, N)], registry, **kw)


@pytest.mark.parametrize("fname, schema, children, expected", [
    ("f", {"window": {"type": "int"}}, [node("int", 5), node("int", 9)],
     {"window": 9}),  # the second int falls back to "window" and overrides
    ("f", {"lookback": {"type": "int"}, "flag": "bool"}, [node("int", 5), node("bool", True),
                                                         node("bool", False)],
     {"lookback": 5, "flag": True, "invert": False}),
    ("f", None, [node("string", "net"), node("string", "gross"), node("float", 0.5)],
     {"pnl_column": "net"}),
    ("statistical_sharpe_2e4daa", None, [node("string", "sharpe")], {"stat_name": "sharpe"}),
    ("f", {"w": "int"}, [node("string", "x")], {"w": "x"}),  # positional, whatever the type
])
def test_literal_children_become_configuration(ee, fname, schema, children, expected):
    registry = Registry().add(fname, Fn, param_schema=schema)
    ee.evaluate(node("rotation", fname, feat("f0"), *children, config={"keep": 1}), _ctx(ee, registry))
    assert registry.calls == [("create", fname, dict(keep=1, **expected))]


def test_schema_errors_leave_positional_mapping_empty(ee):
    class Item:
        name = "w"

        @property
        def type(self):
            raise RuntimeError("schema unreadable")

    registry = Registry().add("f", Fn, param_schema=[Item()])
    ee.evaluate(node("rotation", "f", feat("f0"), node("int", 4)), _ctx(ee, registry))
    assert registry.calls == [("create", "f", {"window": 4})]


def test_config_literals_are_not_data_for_registry_instances(ee):
    inst = Fn(lambda *rows: sum(rows))
    registry = Registry().add("f", lambda **c: inst)
    weights, _ = ee.evaluate(node("rotation", "f", feat("f0"), node("int", 4), node("float", 2.0),
                                  feat("f0")), _ctx(ee, registry))
    np.testing.assert_array_equal(weights, 2 * np.arange(6.0).reshape(3, 2))
    assert all(len(args) == 2 and kw.keys() == {"context"} for args, kw in inst.calls)


@pytest.mark.parametrize("bound, message", [
    ({"root": None}, "Bound function instance is None for node 'root' (function 'f')"),
    ({}, "Bound function instance missing for path 'root' (function 'f')"),
    (None, "Function 'f' at node 'root' is not bound and cannot be instantiated from the "
           "evaluation registry"),
])
def test_instance_errors(ee, bound, message):
    with pytest.raises(FunctionExecutionError) as err:
        ee.evaluate(node("rotation", "f", feat("f0")), _ctx(ee, Registry()),
                    bound_function_instances=bound)
    assert err.value.args == (message,)


def test_missing_feature(ee):
    with pytest.raises(EvaluationError) as err:
        ee.evaluate(node("rotation", "f", feat("nope")), _ctx(ee, Registry().add("f", Fn)))
    assert err.value.args == ("Feature 'nope' not in context",)


def test_feature_shape_errors_name_the_consumer(ee):
    context = _ctx(ee, Registry().add("F", Fn).add("G", Fn), validate_inputs=False)
    context.features = context.features + (np.ones((2, 2)),)
    context.feature_index["short"] = 1
    with pytest.raises(EvaluationShapeError) as err:
        ee.evaluate(node("rotation", "G", node("rotation", "F", feat("short"))), context)
    assert err.value.args == ("Function 'F' input feature 'short' has shape (2, 2), "
                              "expected (3, 2)",)


def test_state_restoration_and_key_checks(ee):
    registry = Registry().add("s", StatefulFn, stateful=True)
    graph = node("rotation", "s", feat("f0"))
    carried = FunctionState("s", "v", {"count": 7})
    weights, states = ee.evaluate(graph, _ctx(ee, registry), {"root": carried})
    assert registry.calls == [("restore", "s", carried, {})]
    assert states["root"].data == {"count": 3}  # the fake does not read the state's count

    for bad in ({"root": carried, "root.c9": carried}, {}):
        with pytest.raises(EvaluationError) as err:
            ee.evaluate(graph, _ctx(ee, registry), bad)
        assert err.value.args == ("Function state keys do not match graph tree structure",)


def test_state_identity_keys_states(ee):
    registry = Registry().add("s", StatefulFn, stateful=True)
    graph = node("rotation", "s", feat("f0"))
    graph._state_identity = "root.c0"
    _, states = ee.evaluate(graph, _ctx(ee, registry))
    assert list(states) == ["root.c0"]
    _, states = ee.evaluate(graph, _ctx(ee, registry), {"root.c0": states["root.c0"]})
    assert registry.calls[-1][0] == "restore"


def test_collection_cache_is_stored_and_reused_with_bound_instances(ee):
    graph = node("rotation", "f", node("rotation", "g", feat("f0"), node("float", 2.0)),
                 node("filtration", "filtration"))
    bound = {"root": Fn(), "root.c0": Fn(lambda row, two: row * two)}
    context = _ctx(ee, None, useful_signals={"s": UsefulSignal(np.ones((3, 2)))})
    weights, _ = ee.evaluate(graph, context, bound_function_instances=bound)
    np.testing.assert_array_equal(weights, 2 * np.arange(6.0).reshape(3, 2))
    cache = graph._collect_nodes_cache
    assert set(cache) == {"node_info", "feature_ref_names", "float_values", "state_keys",
                          "filtration_nodes", "reduction_nodes"}
    assert cache["feature_ref_names"] == {"root.c0.c0": "f0"}
    assert cache["float_values"] == {"root.c0.c1": 2.0}
    assert cache["state_keys"] == {"root.c0": "root.c0", "root": "root"}
    assert list(cache["node_info"]) == ["root.c0.c0", "root.c0.c1", "root.c0", "root.c1", "root"]
    assert cache["filtration_nodes"] == {"root.c1": graph.children[1]}

    # A structural change is not seen until the cache is invalidated.
    graph.children[0].children[1].node = 5.0
    weights, _ = ee.evaluate(graph, context, bound_function_instances=bound)
    np.testing.assert_array_equal(weights, 2 * np.arange(6.0).reshape(3, 2))
    ee.invalidate_graph_evaluation_caches(graph)
    weights, _ = ee.evaluate(graph, context, bound_function_instances=bound)
    np.testing.assert_array_equal(weights, 5 * np.arange(6.0).reshape(3, 2))

    # From the cache: bound instances are still required and checked.
    with pytest.raises(FunctionExecutionError, match="missing for path 'root.c0'"):
        ee.evaluate(graph, context, bound_function_instances={"root": Fn()})
    context.feature_index.pop("f0")
    with pytest.raises(EvaluationError, match="Feature 'f0' not in context"):
        ee.evaluate(graph, context, bound_function_instances=bound)


def test_no_cache_without_bound_instances(ee):
    graph = node("rotation", "f", feat("f0"))
    graph._collect_nodes_cache = {"node_info": "poison"}
    ee.evaluate(graph, _ctx(ee, Registry().add("f", Fn)))
    assert graph._collect_nodes_cache == {"node_info": "poison"}


def test_order_is_children_first(ee):
    order = []

    def rec(name):
        return lambda **c: Fn(lambda *rows: order.append(name) or rows[0])

    registry = Registry().add("a", rec("a")).add("b", rec("b")).add("c", rec("c"))
    graph = node("rotation", "a", node("rotation", "b", feat("f0")), node("rotation", "c", feat("f0")))
    ee.evaluate(graph, _ctx(ee, registry, T=2))
    assert order == ["b", "c", "a"] * 2
