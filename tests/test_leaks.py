"""Repeated evaluation keeps nothing behind: reference counts of the inputs return to where
they were, no Python objects accumulate, and resident memory stays flat.

Every evaluation path is driven a few thousand times (leaf, rank, rank-multiply,
longitudinal, general with states, bound instances, data-NaN tracking, filtration errors,
failing instances), and so are the cheaper entry points and their error paths.
"""

from __future__ import annotations

import gc
import os
import sys

import numpy as np
import pytest

from fuzz_strategies import UNDER_ASAN, Boom, FakeInstance, FakeRegistry, graph_for
from tessaline.functions._typed_shapes import FunctionGraphNode, FunctionState, StageData
from tessaline.functions.registry import default_registry
from tessaline.simulator_engine import expression_evaluator as EE
from tessaline.simulator_engine._types import UsefulSignal

F = FunctionGraphNode
# Fewer rounds under the sanitizers, which are ~10x slower; the reference checks stay exact.
ROUNDS = int(os.environ.get("TESSALINE_LEAK_ROUNDS", "200" if UNDER_ASAN else "1000"))
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * PAGE


def watched(*roots):
    """The objects whose reference counts must come back: the roots and what they hold."""
    out, seen, stack = [], set(), list(roots)
    while stack:
        o = stack.pop()
        if o is None or id(o) in seen or isinstance(o, (int, float, str, bool)):
            continue
        seen.add(id(o))
        out.append(o)
        if isinstance(o, (list, tuple)):
            stack.extend(o)
        elif isinstance(o, dict):
            stack.extend(o.keys())
            stack.extend(o.values())
        elif isinstance(o, (F, UsefulSignal, StageData, FunctionState)):
            stack.extend(v for k, v in vars(o).items() if not k.startswith("_"))
        elif type(o).__name__ == "EvaluationContext":
            stack.extend(v for k, v in vars(o).items()
                         if k in ("features", "universe", "useful_signals", "feature_index",
                                  "registry", "stage_data", "metaparameters", "column_labels"))
    return out


def assert_no_leak(call, *inputs, rounds=ROUNDS, rss_slack=8 << 20):
    """Run ``call`` ``rounds`` times after a warm-up and compare the bookkeeping."""
    for _ in range(30):  # caches, lazily created types, first-call allocations
        call()
    gc.collect()
    objs = watched(*inputs)
    before = [sys.getrefcount(o) for o in objs]
    blocks = sys.getallocatedblocks()
    rss = rss_bytes()
    for _ in range(rounds):
        call()
    gc.collect()
    after = [sys.getrefcount(o) for o in objs]
    changed = [(type(o).__name__, b, a) for o, b, a in zip(objs, before, after) if a != b]
    assert not changed, f"reference counts changed: {changed[:5]}"
    if blocks and rounds >= 800:  # 0 blocks: Python uses the system malloc (sanitizer runs)
        # One leaked object per call would leave >= rounds blocks; free lists and caches of
        # the interpreter and NumPy move the count by a few hundred either way.
        grown = sys.getallocatedblocks() - blocks
        assert grown < rounds // 2, f"{grown} Python memory blocks left after {rounds} calls"
    if not UNDER_ASAN:  # the sanitizer's quarantine holds freed memory back on purpose
        grown = rss_bytes() - rss
        assert grown < rss_slack, f"resident memory grew by {grown} bytes"


def raising(exc_types):
    def call(fn, *args, **kwargs):
        try:
            fn(*args, **kwargs)
        except exc_types:
            pass
    return call


# ---------------------------------------------------------------------------------------
# Inputs. Matrices are large enough that one leaked copy per call would show in the RSS.

T, N = 20, 200
rng = np.random.default_rng(7)
M0 = rng.standard_normal((T, N))
M1 = rng.standard_normal((T, N))
M1[::7, ::5] = np.nan
UNIVERSE = np.where(rng.random((T, N)) < 0.1, 0.0, 1.0)
TIED = np.ones((T, N))


def signals():
    out = {}
    for i in range(4):
        w = rng.standard_normal((T, N))
        out[f"s{i}"] = UsefulSignal(weights=w, pnl=rng.standard_normal((T, 2)),
                                    metadata={"sharpe": float(i), "family": "momentum"})
    return out


SIGNALS = signals()


def context(**kw):
    base = dict(features=(M0, M1), feature_index={"f0": 0, "f1": 1}, universe=UNIVERSE)
    base.update(kw)
    return EE.EvaluationContext(**base)


def sharpe_graph(op="gt", value=0.5):
    return F("reduction", "statistical_sharpe_2e4daa", [
        F("filtration", "filtration", [F(op, op, [F("string", "sharpe"),
                                                  F("float", value)])]),
        F("int", 5)])


# ---------------------------------------------------------------------------------------
# evaluate, one test per path.


def _evaluate(graph, ctx, *args, **kwargs):
    return lambda: EE.evaluate(graph, ctx, *args, **kwargs)


PATH_CASES = {
    "leaf": lambda: (graph_for(None, "leaf"), context(), (), {}),
    "leaf_no_universe": lambda: (graph_for(None, "leaf"), context(universe=None), (), {}),
    "rank": lambda: (graph_for(None, "rank"), context(), (), {}),
    "rank_multiply": lambda: (graph_for(None, "rank_multiply"), context(), (), {}),
    "rank_ties_general": lambda: (
        graph_for(None, "rank"),
        context(features=(TIED, M1), registry=default_registry()), (), {}),
    "general_stateful": lambda: (
        F("rotation", "longitudinal_accumulators_250f46", [
            F("rotation", "longitudinal_accumulators_2ee349", [F("feature", "f0"), F("int", 4)]),
            F("int", 3)]),
        context(registry=default_registry()), (), {}),
    "reduction_filtration": lambda: (
        sharpe_graph(), context(registry=default_registry(), useful_signals=SIGNALS,
                                column_labels=["gross_returns", "net"]), (), {}),
    "data_nan": lambda: (
        F("rotation", "transform_demean_3c8a51", [F("feature", "f0")]),
        context(registry=default_registry()), (), {"data_nan_features": ["f0"]}),
    "bound_instances": lambda: (
        F("rotation", "fz_mean", [F("feature", "f0"), F("feature", "f1")]),
        context(), (), {"bound_function_instances": {"root": FakeInstance("fz_mean")}}),
    "transform_pipeline": lambda: (
        graph_for(None, "leaf"),
        context(registry=default_registry(), transforms_already_combined=True), (), {}),
}


@pytest.mark.parametrize("case", sorted(PATH_CASES))
def test_evaluate_paths_do_not_leak(case):
    graph, ctx, args, kwargs = PATH_CASES[case]()
    first = EE.evaluate(graph, ctx, *args, **kwargs)
    assert np.asarray(first).shape == (T, N)
    assert_no_leak(_evaluate(graph, ctx, *args, **kwargs), graph, ctx, args, kwargs)


def test_states_carried_from_call_to_call_do_not_leak():
    graph = F("rotation", "longitudinal_accumulators_2ee349", [F("feature", "f0"),
                                                               F("int", 5)])
    ctx = context(registry=default_registry())
    holder = {"states": EE.evaluate(graph, ctx).states}
    assert holder["states"]

    def call():
        holder["states"] = EE.evaluate(graph, ctx, holder["states"]).states

    assert_no_leak(call, graph, ctx)


def test_longitudinal_fast_path_does_not_leak():
    t = EE._LONGITUDINAL_FAST_MIN_ROWS
    data = rng.standard_normal((t, 3))
    ctx = EE.EvaluationContext((data,), {"f0": 0}, registry=default_registry())
    graph = graph_for(None, "longitudinal")
    assert EE._can_use_longitudinal_fast_path(graph, ctx, None, t)
    assert_no_leak(_evaluate(graph, ctx), graph, ctx, rounds=max(ROUNDS // 20, 20),
                   rss_slack=32 << 20)


# ---------------------------------------------------------------------------------------
# Error paths.

ERRORS = (EE.EvaluationError, EE.SchemaError, Boom, KeyError, TypeError, RecursionError)


class _Registry(FakeRegistry):
    pass


ERROR_CASES = {
    "schema_error": lambda: ({"type": "feature"}, context()),
    "missing_feature": lambda: (F("rotation", "transform_demean_3c8a51",
                                  [F("feature", "nope")]), context(registry=default_registry())),
    "empty_filtration": lambda: (sharpe_graph(value=99.0),
                                 context(registry=default_registry(), useful_signals=SIGNALS)),
    "filtration_resolution_error": lambda: (
        sharpe_graph(),
        context(registry=default_registry(), useful_signals=dict(SIGNALS, bad=UsefulSignal(
            weights=M0, metadata={"sharpe": np.ones(2)})))),  # ambiguous truth in the engine
    "instance_raises": lambda: (
        F("rotation", "fz_mean", [F("feature", "f0")]),
        context(registry=_Registry(instance_behaviour="raise", width=N))),
    "instance_wrong_shape": lambda: (
        F("rotation", "fz_mean", [F("feature", "f0")]),
        context(registry=_Registry(instance_behaviour="wrong_shape", width=N))),
    "instance_wrong_dtype": lambda: (
        F("rotation", "fz_mean", [F("feature", "f0")]),
        context(registry=_Registry(instance_behaviour="wrong_dtype", width=N))),
    "registry_raises": lambda: (
        F("rotation", "fz_mean", [F("feature", "f0")]),
        context(registry=_Registry(method_behaviour={"create_instance": "raise"}))),
    "engine_only_config": lambda: (
        F("rotation", "fz_mean", [F("feature", "f0")], {"A": 1}), context()),
    "state_keys_mismatch": lambda: (
        F("rotation", "longitudinal_accumulators_2ee349", [F("feature", "f0"), F("int", 3)]),
        context(registry=default_registry())),
    "cyclic_graph": lambda: (_cycle(), context(registry=default_registry())),
}


def _cycle():
    g = F("rotation", "transform_demean_3c8a51", [])
    g.children.append(g)
    return g


@pytest.mark.parametrize("case", sorted(ERROR_CASES))
def test_evaluate_error_paths_do_not_leak(case):
    graph, ctx = ERROR_CASES[case]()
    states = {"bogus": FunctionState("x", "1", {})} if case == "state_keys_mismatch" else None
    call = raising(ERRORS)
    with pytest.raises(ERRORS):
        EE.evaluate(graph, ctx, states)
    rounds = ROUNDS // 10 if case == "cyclic_graph" else ROUNDS
    assert_no_leak(lambda: call(EE.evaluate, graph, ctx, states), graph, ctx, states,
                   rounds=rounds)


# ---------------------------------------------------------------------------------------
# The cheaper entry points.


def test_context_construction_does_not_leak():
    feats, index, stage = (M0, M1), {"f0": 0, "f1": 1}, StageData({"x": M0})
    assert_no_leak(lambda: EE.EvaluationContext(feats, index, SIGNALS, universe=UNIVERSE,
                                                stage_data=stage),
                   feats, index, SIGNALS, stage)
    bad = (M0, M1[:, :3])
    call = raising((EE.EvaluationError,))
    assert_no_leak(lambda: call(EE.EvaluationContext, bad, index), bad, index)
    ctx = context()
    import pickle
    assert_no_leak(lambda: pickle.loads(pickle.dumps(ctx)), ctx, rounds=ROUNDS // 10)


def test_result_protocol_does_not_leak():
    states = {"a": 1}
    res = EE.EvaluationResult(M0, states)

    def call():
        w, s = res
        res[0], res[-1], len(res), np.asarray(res), res.shape
        try:
            res.nope
        except AttributeError:
            pass

    assert_no_leak(call, res, states)


def test_accessors_and_graph_model_do_not_leak():
    graph = graph_for(None, "general")
    reg = default_registry()
    call = raising((EE.EvaluationError, EE.SchemaError, AttributeError))

    def calls():
        EE._graph_children(graph)
        EE._graph_config_dict(graph)
        EE._require_graph_type_value(graph, "root")
        call(EE._require_graph_field, graph, "nope", "root")
        call(EE._require_graph_node_instance, {}, "root")
        EE._config_param_names(reg.get_entry("statistical_sharpe_2e4daa"))
        EE.invalidate_graph_evaluation_caches(graph)
        EE.generate_node_identities(graph)
        EE._annotate_state_identities(graph)
        EE._compute_graph_warmup_rows(graph, reg)

    assert_no_leak(calls, graph, reg)


def test_filtration_functions_do_not_leak():
    filt = sharpe_graph().children[0]
    ids = ["s2", "s0"]
    call = raising((KeyError, IndexError, TypeError))

    def calls():
        EE._dict_to_filter_node(filt)
        EE._describe_dict_filter(filt)
        EE.extract_filtration_weights(SIGNALS, ids, 3)
        call(EE.extract_filtration_weights, SIGNALS, ids, T)
        call(EE.extract_filtration_weights, SIGNALS, ["s0", "zz"], 1)
        call(EE.extract_filtration_weights, SIGNALS, ["s0", 7], 1)

    assert_no_leak(calls, filt, ids, SIGNALS)


def test_fast_path_functions_do_not_leak():
    ctx = context()
    graph = graph_for(None, "rank_multiply")

    def calls():
        EE._apply_universe_mask(M0, UNIVERSE)
        EE._can_use_rank_multiply_fast_path(graph, ctx, None)
        EE._evaluate_rank_multiply_fast(graph, ctx)
        EE._evaluate_simple_rank_fast(graph.children[0], ctx)
        EE._rolling_longitudinal_fast(M1, 5, "longitudinal_accumulators_250f46")

    assert_no_leak(calls, ctx, graph)
