import numpy as np
import pytest

from driver_fakes import Fn, Reduction, Registry, ctx, node
from tessaline.functions.filtrations_evaluation import EmptyFiltrationError, EmptyPoolError
from tessaline.simulator_engine._types import (EvaluationError, FiltrationResolutionError,
                                               UsefulSignal)

T, N = 3, 2


def _signals(n=10):
    return {f"s{i}": UsefulSignal(np.full((T, N), float(i)), np.zeros((T, 1)),
                                  metadata={"sharpe": i}) for i in range(n)}


def _flt():
    return node("filtration", "filtration",
                node("gt", "gt", node("string", "sharpe"), node("float", 6.5)))


class Engine:
    runs = []
    outcome = None

    def __init__(self, tree, registry):
        self.tree, self.registry = tree, registry

    def __call__(self, signals):
        Engine.runs.append((self.tree, self.registry, signals))
        if isinstance(Engine.outcome, BaseException):
            raise Engine.outcome
        return Engine.outcome


@pytest.fixture
def engine(ee, monkeypatch):
    Engine.runs = []
    Engine.outcome = ["s9", "s7", "s8"]
    monkeypatch.setattr(ee, "FiltrationInstance", Engine)
    return Engine


def _run(ee, graph, signals=None, registry=None):
    registry = registry or Registry().add("r", Fn).add("red", lambda **c: Reduction(),
                                                       stateful=True).add(
        "add", lambda **c: Fn(lambda a, b: a + b))
    context = ctx(ee, [np.zeros((T, N))], registry, useful_signals=signals or _signals())
    return ee.evaluate(graph, context), context


def test_reductions_share_one_engine_run(ee, engine):
    graph = node("rotation", "add", node("reduction", "red", _flt()),
                 node("reduction", "r", _flt()))
    # Two filtration nodes at different paths: one run each, whatever the number of rows.
    (weights, _), context = _run(ee, graph)
    assert len(engine.runs) == 2
    tree, registry, pool = engine.runs[0]
    assert tree == ee._dict_to_filter_node(_flt()) and registry is context.registry
    assert pool is context.useful_signals
    # Sum (stateful) and mean (stateless) of the rows of s9, s7 and s8.
    np.testing.assert_array_equal(weights, np.full((T, N), 24.0 + 8.0))


def test_result_record(ee, engine, monkeypatch):
    seen = []
    real = ee.FiltrationResult
    monkeypatch.setattr(ee, "FiltrationResult",
                        lambda **kw: seen.append(kw) or real(**kw))
    _run(ee, node("reduction", "r", _flt()))
    assert seen == [dict(passing_ids=["s9", "s7", "s8"], signal_count=3, total_pool_size=10,
                         filter_diagnostics=[])]


@pytest.mark.parametrize("diagnostics, expected", [
    ({"passing_count": 0, "stage": "x"}, {"passing_count": 0, "stage": "x"}),
    ({}, {"passing_count": 0}),
    (None, {"passing_count": 0}),
])
@pytest.mark.parametrize("error_type", [EmptyFiltrationError, EmptyPoolError])
def test_empty_selection(ee, engine, error_type, diagnostics, expected):
    engine.outcome = cause = error_type("nothing", filter_diagnostics=diagnostics)
    with pytest.raises(EvaluationError) as err:
        _run(ee, node("reduction", "r", _flt()))
    assert type(err.value) is EvaluationError
    assert err.value.args == ("Filtration returned 0 signals for filters: "
                              "filtration(gt(sharpe, 6.5))",)
    assert err.value.filter_diagnostics == expected and err.value.__cause__ is cause


def test_other_failures(ee, engine):
    engine.outcome = cause = KeyError("sharpe")
    with pytest.raises(FiltrationResolutionError) as err:
        _run(ee, node("reduction", "r", _flt()))
    assert err.value.args == ("Filtration resolution failed for filters: "
                              "filtration(gt(sharpe, 6.5)): KeyError: 'sharpe'",)
    assert err.value.filter_diagnostics == {"passing_count": 0, "cause": "KeyError"}
    assert err.value.__cause__ is cause


def test_evaluation_errors_pass_unchanged(ee, engine, monkeypatch):
    def convert(node):
        raise EvaluationError("malformed filter")

    monkeypatch.setattr(ee, "_dict_to_filter_node", convert)
    with pytest.raises(EvaluationError) as err:
        _run(ee, node("reduction", "r", _flt()))
    assert type(err.value) is EvaluationError and err.value.args == ("malformed filter",)
    assert not hasattr(err.value, "filter_diagnostics")


def test_extraction_rows_follow_the_passing_order(ee, engine):
    seen = []
    registry = Registry().add("red", lambda **c: Reduction(), stateful=True)
    (weights, _), context = _run(ee, node("reduction", "red", _flt()), registry=registry)
    np.testing.assert_array_equal(context.extraction_buffer[:3, 0], [9.0, 7.0, 8.0])


def test_interrupts_pass_through(ee, engine):
    engine.outcome = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        _run(ee, node("reduction", "r", _flt()))


def test_real_engine_end_to_end(ee):
    signals = _signals(4)
    graph = node("reduction", "r", node("filtration", "filtration", node(
        "top_n", "top_n", node("string", "sharpe"), node("int", 2))))
    (weights, _), context = _run(ee, graph, signals)
    np.testing.assert_array_equal(weights, np.full((T, N), 2.5))
    assert context.extraction_buffer.shape == (4, N)
