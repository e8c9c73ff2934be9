"""The function store driven by the evaluator: reductions over filtrations, pipelines, states."""

import numpy as np
import pytest

from tessaline import demo
from tessaline.functions import builtins as B
from tessaline.functions._typed_shapes import FunctionGraphNode as N
from tessaline.functions.registry import default_registry
from tessaline.simulator_engine._types import TransformStage


@pytest.fixture(scope="module")
def market():
    return demo.daily_market(90, 7, signals=5, seed=12)


def _ctx(ee, market, t=slice(None), **kwargs):
    names = list(market.features)
    signals = {sid: type(sig)(weights=sig.weights[t], pnl=sig.pnl[t], metadata=sig.metadata)
               for sid, sig in market.signals.items()}
    kwargs.setdefault("registry", default_registry())
    return ee.EvaluationContext(tuple(market.features[n][t] for n in names),
                                {n: i for i, n in enumerate(names)}, useful_signals=signals,
                                universe=market.universe[t], column_labels=list(market.column_labels),
                                **kwargs)


def _filtration():
    return N("filtration", "filtration", [
        N("gt", "gt", [N("string", "sharpe"), N("float", -100.0)]),
    ])


@pytest.mark.parametrize("fn,literals,column", [
    (B.SHARPE, [N("int", 10), N("string", "sortino")], 0),
    (B.VOLATILITY, [N("int", 6), N("string", "mad"), N("string", "net_returns")], 1),
    (B.TURNOVER, [N("int", 4), N("string", "max")], 0),
])
def test_reduction_over_filtration_matches_direct_calls(ee, market, fn, literals, column):
    graph = N("reduction", fn, [_filtration()] + literals)
    weights, states = ee.evaluate(graph, _ctx(ee, market))
    config = {"window": literals[0].node}
    if len(literals) > 1:
        config["stat_name"] = literals[1].node
    inst = default_registry().create_instance(fn, **config)
    ids = list(market.signals)
    expected = []
    for t in range(90):
        rows = np.vstack([market.signals[s].weights[t] for s in ids])
        pnl = np.array([market.signals[s].pnl[t, column] for s in ids])
        expected.append(inst(rows, signal_pnl=pnl))
    expected = np.vstack(expected)
    expected[:config["window"] - 1] = np.nan
    np.testing.assert_array_equal(np.asarray(weights), expected)
    assert list(states) == ["root"] and states["root"].function_name == fn
    assert states["root"].function_version == "1.0" and states["root"].data["count"] == 90


def test_reduction_state_carries_across_evaluations(ee, market):
    graph = N("reduction", B.SHARPE, [_filtration(), N("int", 8)])
    whole, _ = ee.evaluate(graph, _ctx(ee, market))
    head, states = ee.evaluate(graph, _ctx(ee, market, slice(0, 40)))
    tail, _ = ee.evaluate(graph, _ctx(ee, market, slice(40, 90)), function_states=states)
    np.testing.assert_array_equal(np.vstack([head, tail]), np.asarray(whole))


def test_transform_pipeline_wraps_with_builtins(ee, market):
    graph = N("rotation", B.RANK, [N("feature", "close")])
    ctx = _ctx(ee, market, metaparameters={"demean": B.DEMEAN, "scale": B.GROSS_SCALE},
               transform_pipeline=[TransformStage("demean"), TransformStage("skip"),
                                   TransformStage("scale")])
    ctx.useful_signals = {}
    weights, states = ee.evaluate(graph, ctx)
    reg = default_registry()
    rank, demean, scale = (reg.create_instance(n) for n in (B.RANK, B.DEMEAN, B.GROSS_SCALE))
    close = np.where(market.universe == 0, np.nan, market.features["close"])
    expected = np.vstack([scale(demean(rank(row))) for row in close])
    np.testing.assert_array_equal(np.asarray(weights), expected)
    assert states == {} and ctx.transform_pipeline == []


def test_rank_with_ties_falls_back_to_builtin(ee):
    data = np.array([[1.0, 1.0, 2.0], [3.0, np.nan, 1.0]])
    ctx = ee.EvaluationContext((data,), {"x": 0}, registry=default_registry())
    weights, _ = ee.evaluate(N("rotation", B.RANK, [N("feature", "x")]), ctx)
    np.testing.assert_array_equal(np.asarray(weights), [[0.25, 0.25, 1.0], [1.0, np.nan, 0.0]])
    assert ctx.current_day_index == 1  # evaluated row by row


def test_bound_builtin_instances_take_only_their_data_rows(ee):
    rng = np.random.default_rng(8)
    data = rng.normal(size=(30, 4))
    graph = N("rotation", B.PRODUCT, [
        N("rotation", B.ROLLING_MEAN, [N("feature", "x"), N("int", 3)]),
        N("rotation", B.RANK, [N("feature", "x")])])
    reg = default_registry()
    unbound, _ = ee.evaluate(graph, ee.EvaluationContext((data,), {"x": 0}, registry=reg))
    bound = {"root": reg.create_instance(B.PRODUCT),
             "root.c0": reg.create_instance(B.ROLLING_MEAN, window=3),
             "root.c1": reg.create_instance(B.RANK)}
    weights, states = ee.evaluate(graph, ee.EvaluationContext((data,), {"x": 0}, registry=reg),
                                  bound_function_instances=bound)
    np.testing.assert_array_equal(np.asarray(weights), np.asarray(unbound))
    assert bound["root.c0"].count == 30 and states["root.c0"].data["count"] == 30
