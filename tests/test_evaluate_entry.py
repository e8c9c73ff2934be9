import copy
import inspect
import threading
import types

import numpy as np
import pytest
import structlog

from driver_fakes import Fn, Registry, ctx, feat, node
from tessaline.functions import _typed_shapes, filtrations, filtrations_evaluation
from tessaline.functions._typed_shapes import SchemaError
from tessaline.simulator_engine import _combine, _graph_helpers, _types


def _graph():
    return node("rotation", "f", feat("f0"))


def _context(ee):
    return ctx(ee, [np.arange(6.0).reshape(3, 2)], Registry().add("f", Fn))


@pytest.mark.parametrize("graph, tail", [({"type": "feature", "node": "x"}, "dict"),
                                         (None, "NoneType"), ("root", "str")])
def test_non_graph_is_refused_before_the_context_is_touched(ee, graph, tail):
    context = _context(ee)
    del context._evaluation_lock
    with pytest.raises(SchemaError) as err:
        ee.evaluate(graph, context)
    assert err.value.args == ("evaluate graph must be FunctionGraphNode; got " + tail,)
    assert not hasattr(context, "_evaluation_lock") and context.registers is None


def test_missing_lock_is_recreated_on_evaluation_context(ee):
    context = _context(ee)
    del context._evaluation_lock
    weights, _ = ee.evaluate(_graph(), context)
    assert type(context._evaluation_lock) is type(threading.RLock())
    np.testing.assert_array_equal(weights, np.arange(6.0).reshape(3, 2))


def test_plain_object_context_gets_no_lock(ee):
    real = _context(ee)
    plain = types.SimpleNamespace(**{k: v for k, v in vars(real).items()
                                      if k != "_evaluation_lock"})
    weights, states = ee.evaluate(_graph(), plain)
    assert not hasattr(plain, "_evaluation_lock")
    assert weights.shape == (3, 2) and states == {}


class RecordingLock:
    def __init__(self):
        self.events = []

    def __enter__(self):
        self.events.append("enter")

    def __exit__(self, *exc):
        self.events.append(("exit", exc[0]))
        return False


def test_duck_lock_is_entered_and_left_on_success_and_failure(ee, monkeypatch):
    context = _context(ee)
    context._evaluation_lock = lock = RecordingLock()
    ee.evaluate(_graph(), context)
    assert lock.events == ["enter", ("exit", None)]

    def boom(*args, **kwargs):
        raise KeyError("driver failed")

    monkeypatch.setattr(ee, "_evaluate_unlocked", boom)
    with pytest.raises(KeyError):
        ee.evaluate(_graph(), context)
    assert lock.events[2:] == ["enter", ("exit", KeyError)]


def test_lock_that_is_not_a_context_manager(ee):
    context = _context(ee)
    context._evaluation_lock = object()
    with pytest.raises(TypeError, match="context manager"):
        ee.evaluate(_graph(), context)


def test_arguments_are_forwarded_as_keywords(ee, monkeypatch):
    seen = []
    context = _context(ee)
    graph = _graph()
    ee.evaluate(graph, context)  # the replacement below is seen after earlier evaluations
    monkeypatch.setattr(ee, "_evaluate_unlocked", lambda *a, **k: seen.append((a, k)) or "R")
    assert ee.evaluate(graph, context, {"s": 1}, True) == "R"
    assert ee.evaluate(graph, context, bound_function_instances={}, data_nan_features=["x"]) == "R"
    assert seen[0] == ((graph, context), dict(function_states={"s": 1}, is_cold_start=True,
                                              bound_function_instances=None,
                                              data_nan_features=None))
    assert seen[1][1]["bound_function_instances"] == {} and seen[1][1]["data_nan_features"] == ["x"]
    with pytest.raises(TypeError):
        ee.evaluate(graph, context, None, False, None)
    with pytest.raises(TypeError):
        ee.evaluate(graph)
    with pytest.raises(TypeError):
        ee.evaluate(graph, context, unknown=1)


# ---- the module's frame: its documentation, the names it imports, its signatures

def test_docstring_and_imported_names(ee):
    assert ee.__doc__.splitlines()[0] == "Expression evaluator implementation (MVP)."
    assert (ee.np, ee.threading, ee.structlog, ee.deepcopy) == (np, threading, structlog,
                                                               copy.deepcopy)
    for name, where in [("FunctionGraphNode", _typed_shapes), ("FiltrationInstance", filtrations),
                        ("FilterNode", filtrations_evaluation), ("EvaluationError", _types),
                        ("combine_signal_and_transforms", _combine),
                        ("extract_feature_leaf_names", _graph_helpers)]:
        assert getattr(ee, name) is getattr(where, name), name


EVALUATE = ("(graph, context, function_states=None, is_cold_start=False, *, "
            "bound_function_instances=None, data_nan_features=None)")


@pytest.mark.parametrize("name, signature", [
    ("evaluate", EVALUATE), ("_evaluate_unlocked", EVALUATE),
    ("_schema_param_name_and_type", "(item, fallback_name=None)"),
    ("_require_graph_field", "(node, key, path)"),
    ("_get_int_window_child", "(children)"),
    ("_can_use_longitudinal_fast_path",
     "(graph, context, function_states, T, *, data_nan_features=None)"),
    ("_rolling_longitudinal_fast", "(data, window, name)"),
    ("_evaluate_longitudinal_fast_node", "(node, context)"),
    ("_evaluate_longitudinal_fast", "(graph, context)"),
])
def test_signatures(ee, name, signature):
    assert str(inspect.signature(getattr(ee, name))) == signature
