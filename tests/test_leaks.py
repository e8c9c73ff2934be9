"""Repeated evaluation keeps nothing behind: reference counts of the inputs return to where
they were, no Python objects accumulate, and resident memory stays flat.

Every evaluation path is driven a few thousand times (leaf, rank, rank-multiply,
longitudinal, general with states, bound instances, data-NaN tracking, filtration errors,
failing instances), and so are the cheaper entry points and their error paths.
"""

from __future__ import annotations

import gc
import os
import pickle
import sys
import types

import numpy as np
import pytest

from fuzz_strategies import (UNDER_ASAN, Boom, FakeInstance, FakeRegistry, graph_for,
                             sharpe_reduction)
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


# ---------------------------------------------------------------------------------------
# evaluate, one test per path.


def _evaluate(graph, ctx, *args, **kwargs):
    return lambda: EE.evaluate(graph, ctx, *args, **kwargs)


PATH_CASES = {
    "leaf": lambda: (graph_for("leaf"), context(), (), {}),
    "rank": lambda: (graph_for("rank"), context(), (), {}),
    "rank_multiply": lambda: (graph_for("rank_multiply"), context(), (), {}),
    "rank_ties_general": lambda: (
        graph_for("rank"),
        context(features=(TIED, M1), registry=default_registry()), (), {}),
    "general_stateful": lambda: (
        F("rotation", "longitudinal_accumulators_250f46", [
            F("rotation", "longitudinal_accumulators_2ee349", [F("feature", "f0"), F("int", 4)]),
            F("int", 3)]),
        context(registry=default_registry()), (), {}),
    "reduction_filtration": lambda: (
        sharpe_reduction(), context(registry=default_registry(), useful_signals=SIGNALS,
                                column_labels=["gross_returns", "net"]), (), {}),
    "data_nan": lambda: (
        F("rotation", "transform_demean_3c8a51", [F("feature", "f0")]),
        context(registry=default_registry()), (), {"data_nan_features": ["f0"]}),
    "bound_instances": lambda: (
        F("rotation", "fz_mean", [F("feature", "f0"), F("feature", "f1")]),
        context(), (), {"bound_function_instances": {"root": FakeInstance("fz_mean")}}),
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
    graph = graph_for("longitudinal")
    assert EE._can_use_longitudinal_fast_path(graph, ctx, None, t)
    assert_no_leak(_evaluate(graph, ctx), graph, ctx, rounds=max(ROUNDS // 20, 20),
                   rss_slack=32 << 20)


# ---------------------------------------------------------------------------------------
# Error paths.

ERRORS = (EE.EvaluationError, EE.SchemaError, Boom, KeyError, TypeError, RecursionError)


def _cycle():
    g = F("rotation", "transform_demean_3c8a51", [])
    g.children.append(g)
    return g


ERROR_CASES = {
    "schema_error": lambda: ({"type": "feature"}, context()),
    "missing_feature": lambda: (F("rotation", "transform_demean_3c8a51",
                                  [F("feature", "nope")]), context(registry=default_registry())),
    "empty_filtration": lambda: (sharpe_reduction(99.0),
                                 context(registry=default_registry(), useful_signals=SIGNALS)),
    "filtration_resolution_error": lambda: (
        sharpe_reduction(),
        context(registry=default_registry(), useful_signals=dict(SIGNALS, bad=UsefulSignal(
            weights=M0, metadata={"sharpe": np.ones(2)})))),  # ambiguous truth in the engine
    "instance_raise": lambda: (F("rotation", "fz_mean", [F("feature", "f0")]),
                               context(registry=FakeRegistry(instance_behaviour="raise", width=N))),
    "state_keys_mismatch": lambda: (
        F("rotation", "longitudinal_accumulators_2ee349", [F("feature", "f0"), F("int", 3)]),
        context(registry=default_registry())),
    "cyclic_graph": lambda: (_cycle(), context(registry=default_registry())),
}


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
# The cheaper entry points, on success and failure. Literal values are objects whose
# references are counted.


def test_context_construction_does_not_leak():
    feats, index, stage = (M0, M1), {"f0": 0, "f1": 1}, StageData({"x": M0})
    assert_no_leak(lambda: EE.EvaluationContext(feats, index, SIGNALS, universe=UNIVERSE,
                                                stage_data=stage),
                   feats, index, SIGNALS, stage)
    bad = (M0, M1[:, :3])
    call = raising((EE.EvaluationError,))
    assert_no_leak(lambda: call(EE.EvaluationContext, bad, index), bad, index)
    ctx = context()
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


class Value:
    def __int__(self):
        return 4

    def __str__(self):
        return "v"


VALUE = Value()
OTHER = np.arange(40, dtype=np.int32).reshape(4, 10)
STAGE_VALUE = np.ones((4, 10), dtype=np.int8)
NS = types.SimpleNamespace
DUCK_SIGNALS = {"a": NS(weights=M0[:4, :10].copy()), "b": NS(weights=OTHER)}
REG = default_registry()


DUCK_REGISTRY = NS(has=lambda name: True, get_entry=lambda name: NS(stateful=True))


def model_graph():
    return F("rotation", "roll", [
        F("reduction", "red", [F("feature", "spread"), F("int", VALUE)]),
        F("int", VALUE), F("float", VALUE), F("string", VALUE)])


def model_filter():
    return F("filtration", "filtration", [F("and_", "and_", [
        F("gt", "gt", [F("string", VALUE), F("float", VALUE)]),
        F("eq", "eq", [F("string", VALUE), F("string", VALUE), F("int", VALUE)])])])


def broken():
    node = F("rotation", "f", [F("int", VALUE), F("feature", "x")])
    del node.children[1].node
    del node.children[1].type
    return node


CALLS = {
    "config_names": lambda: EE._config_param_names(REG.get_entry("statistical_sharpe_2e4daa")),
    "identities": lambda: EE.generate_node_identities(model_graph()),
    "identities_error": lambda: EE.generate_node_identities(broken()),
    "annotate": lambda: EE._annotate_state_identities(model_graph()),
    "warmup": lambda: EE._compute_graph_warmup_rows(model_graph(), DUCK_REGISTRY),
    "warmup_error": lambda: EE._compute_graph_warmup_rows(broken(), DUCK_REGISTRY),
    "instance": lambda: EE._get_warmup_count_for_instance(
        NS(get_state=lambda: {"count": VALUE})),
    "stage": lambda: EE._attach_stage_data_feature_leaves(model_graph(), NS(
        stage_data=StageData({"spread": STAGE_VALUE}), features=(M0,), feature_index={"c": 0})),
    "option": lambda: EE._resolve_stage_option(
        NS(metaparameters={"p": {"s": VALUE}}, pool_id="p"), NS(name="s", default=None)),
    "filter": lambda: EE._dict_to_filter_node(model_filter()),
    "filter_error": lambda: EE._dict_to_filter_node(F("and_", "and_", [broken()])),
    "weights": lambda: EE.extract_filtration_weights(DUCK_SIGNALS, ["a", "b", "a"], 2),
    "weights_error": lambda: EE.extract_filtration_weights(DUCK_SIGNALS, ["a", "zz"], 2),
}


@pytest.mark.parametrize("name", sorted(CALLS))
def test_entry_points_do_not_leak(name):
    assert_no_leak(lambda: raising(Exception)(CALLS[name]), VALUE, OTHER, STAGE_VALUE,
                   DUCK_SIGNALS, SIGNALS, REG)
