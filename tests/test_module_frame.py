import inspect

import numpy as np
import pytest
import structlog


def test_docstring_and_imported_names(ee):
    import copy
    import threading

    from tessaline.functions import _typed_shapes, filtrations, filtrations_evaluation
    from tessaline.simulator_engine import _combine, _graph_helpers, _types

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
