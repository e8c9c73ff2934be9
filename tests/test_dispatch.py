import numpy as np
import pytest

from driver_fakes import Registry, StatefulFn, ctx, feat, node

DETECTORS = ["_can_use_leaf_fast_path", "_can_use_simple_rank_fast_path",
             "_can_use_rank_multiply_fast_path", "_can_use_longitudinal_fast_path"]
EVALUATORS = ["_evaluate_leaf_fast", "_evaluate_simple_rank_fast",
              "_evaluate_rank_multiply_fast", "_evaluate_longitudinal_fast"]


@pytest.fixture
def spy(ee, monkeypatch):
    calls = []
    answers = {}

    def detector(name):
        def f(*args, **kwargs):
            calls.append((name, args, kwargs))
            return answers.get(name, False)
        return f

    def evaluator(name):
        def f(*args, **kwargs):
            calls.append((name, args, kwargs))
            return answers.get(name)
        return f

    for name in DETECTORS:
        monkeypatch.setattr(ee, name, detector(name))
    for name in EVALUATORS:
        monkeypatch.setattr(ee, name, evaluator(name))
    return calls, answers


def _setup(ee):
    registry = Registry().add("s", StatefulFn, stateful=True)
    context = ctx(ee, [np.ones((2, 3))], registry)
    return node("rotation", "s", feat("f0")), context


def test_order_and_argument_forms(ee, spy):
    calls, answers = spy
    graph, context = _setup(ee)
    bound = {"root": StatefulFn()}
    ee.evaluate(graph, context, None, bound_function_instances=bound, data_nan_features=["q"])
    assert [c[0] for c in calls] == DETECTORS
    assert calls[0][1] == (graph, context, None) and calls[0][2] == {"data_nan_features": ["q"]}
    assert calls[2][2] == {"bound_function_instances": bound, "data_nan_features": ["q"]}
    assert calls[3][1] == (graph, context, None, 2)


@pytest.mark.parametrize("accept, taken, matrix", [
    ("_can_use_leaf_fast_path", "_evaluate_leaf_fast", np.full((2, 3), 7.0)),
    ("_can_use_leaf_fast_path", "_evaluate_leaf_fast", None),  # the leaf's result is not tested
    ("_can_use_simple_rank_fast_path", "_evaluate_simple_rank_fast", np.full((2, 3), 7.0)),
    ("_can_use_longitudinal_fast_path", "_evaluate_longitudinal_fast", np.full((2, 3), 7.0)),
])
def test_first_accepting_path_ends_the_call(ee, spy, accept, taken, matrix):
    calls, answers = spy
    graph, context = _setup(ee)
    answers.update({accept: 1, taken: matrix})
    result = ee.evaluate(graph, context, {"root": object()})
    assert result.weights is matrix and result.states == {}
    assert result.nan_source == {} and result.node_outputs == {}
    assert calls[-1][0] == taken and calls[-1][1] == (graph, context)


def test_declining_evaluators_fall_through_to_the_general_path(ee, spy):
    calls, answers = spy
    graph, context = _setup(ee)
    answers.update({"_can_use_simple_rank_fast_path": True,
                    "_can_use_rank_multiply_fast_path": True})
    weights, states = ee.evaluate(graph, context)
    assert [c[0] for c in calls] == [DETECTORS[0], DETECTORS[1], EVALUATORS[1], DETECTORS[2],
                                     EVALUATORS[2], DETECTORS[3]]
    assert list(states) == ["root"]


def test_detector_errors_propagate(ee, monkeypatch):
    def boom(*a, **k):
        raise LookupError("detector")

    monkeypatch.setattr(ee, "_can_use_simple_rank_fast_path", boom)
    graph, context = _setup(ee)
    with pytest.raises(LookupError):
        ee.evaluate(graph, context)


@pytest.mark.parametrize("name, args_of", [
    ("_can_use_leaf_fast_path", lambda g, c: (g, c, None)),
    ("_can_use_simple_rank_fast_path", lambda g, c: (g, c, None)),
    ("_can_use_rank_multiply_fast_path", lambda g, c: (g, c, None)),
    ("_can_use_longitudinal_fast_path", lambda g, c: (g, c, None, 2)),
    ("_validate_evaluation_shapes", lambda g, c: (c.features, c.universe, c.useful_signals)),
    ("_attach_stage_data_feature_leaves", lambda g, c: (g, c)),
])
def test_replaced_module_functions_are_called_after_earlier_evaluations(ee, monkeypatch, name,
                                                                        args_of):
    graph, context = _setup(ee)
    original = getattr(ee, name)
    first = ee.evaluate(graph, context, bound_function_instances={"root": StatefulFn()})
    calls = []

    def spy(*args, **kwargs):
        calls.append(args)
        return original(*args, **kwargs)

    monkeypatch.setattr(ee, name, spy)
    second = ee.evaluate(graph, context, bound_function_instances={"root": StatefulFn()})
    assert calls == [args_of(graph, context)]
    np.testing.assert_array_equal(first.weights, second.weights)
    monkeypatch.undo()
    ee.evaluate(graph, context, bound_function_instances={"root": StatefulFn()})
    assert len(calls) == 1


def test_a_detector_global_bound_to_another_builtin_runs_that_builtin(ee, monkeypatch):
    # The leaf detector's name holding the longitudinal detector: the call takes the
    # leaf detector's argument form, which the longitudinal detector refuses.
    graph, context = _setup(ee)
    monkeypatch.setattr(ee, "_can_use_leaf_fast_path", ee._can_use_longitudinal_fast_path)
    with pytest.raises(TypeError):
        ee.evaluate(graph, context)
