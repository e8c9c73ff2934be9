"""One table of the module's entry points, three properties over it: any arguments give a
result or an error of the package or of Python's semantics (never SystemError or a crash);
the caller's arrays and graph nodes are unchanged unless changing them is the function's job;
repeated calls leave no references, objects or memory behind."""

from __future__ import annotations

import copy
import functools
import gc
import inspect
import os
import pickle
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from fakes import (LONG_NAMES, SCRATCH, UNDER_ASAN, Boom, FakeInstance, Raiser, Registry, Snapshot, arrays,
                   build_context, configs, context_kwargs, fast_shapes, filter_trees, fuzz_entries, fuzz_settings,
                   graph_for, graph_nodes, literal_values, odd_objects, outcome, raising_method, registries,
                   sharpe_reduction, useful_signals)
from tessaline.functions._typed_shapes import FunctionGraphNode as F, FunctionState, StageData
from tessaline.functions.registry import default_registry
from tessaline.simulator_engine import expression_evaluator as EE
from tessaline.simulator_engine._types import TransformStage, UsefulSignal


def maybe(strategy):
    """Mostly a value of ``strategy``, sometimes any foreign object."""
    return st.one_of(strategy, strategy, strategy, strategy, strategy, odd_objects())


ANY = st.one_of(odd_objects(), graph_nodes(max_leaves=3), arrays())
GRAPH = maybe(graph_nodes())
PATH = st.one_of(st.sampled_from(("root", "root.c0", "fast_path", "")), odd_objects())
KEY = st.one_of(st.sampled_from(("type", "node", "children", "config", "missing")), odd_objects())
SLOT = st.one_of(st.sampled_from(("_node_identities", "_collect_nodes_cache", "_x")), odd_objects())
CONTEXT = st.builds(lambda kw: build_context(EE, kw), context_kwargs(odd=True))
# Detectors read the graph only in contexts without signals, pipeline or metaparameters.
QUIET = st.builds(lambda kw, r: build_context(EE, dict(kw, useful_signals={}, transform_pipeline=[], metaparameters={},
                                                       registry=r)), context_kwargs(), registries(gates=True))
STATES = st.sampled_from((None, {}, {"root": 1}))
NAN_FEATURES = st.one_of(st.sampled_from((None, (), ("f0",))), st.builds(Raiser))


def args(*strategies, **kw_strategies):
    return st.tuples(st.tuples(*strategies).map(list), st.fixed_dictionaries(kw_strategies))


def args_opt(required, optional):
    """Required positional strategies, then optionally one more argument."""
    return st.one_of(args(*required), args(*required, optional))


SCHEMA_ITEM = st.one_of(
    st.tuples(literal_values(), st.one_of(st.builds(lambda: {"type": "int"}), st.just("int"),
                                          st.builds(dict), odd_objects())),
    st.dictionaries(st.sampled_from(("name", "type")), literal_values()),
    st.tuples(literal_values(), literal_values(), literal_values()), odd_objects())
ENTRY = st.builds(lambda s: type("E", (), {"param_schema": s})(), st.one_of(configs(), st.lists(st.one_of(
    st.tuples(st.sampled_from(("w", "", None)), st.sampled_from(("int", "float", "x"))),
    st.fixed_dictionaries({"name": st.sampled_from(("w", None)), "type": st.sampled_from(("int", "bool", "array"))}),
    odd_objects()), max_size=4)))
INSTANCE = st.one_of(st.builds(lambda s: type("I", (), {"get_state": lambda self: s})(), st.one_of(
    st.fixed_dictionaries({"count": literal_values()}), odd_objects())), odd_objects())
STAGE_CONTEXT = st.builds(lambda mp, pool: type("C", (), {"metaparameters": mp, "pool_id": pool})(),
                          st.one_of(st.builds(lambda: {"s": 1}), st.builds(lambda: {"p": {"s": 2}}),
                                    st.builds(lambda: {"p": [1]}), odd_objects()),
                          st.sampled_from(("p", None, "q")))
SIGNALS = maybe(useful_signals(3, 2, odd=True))

# name -> strategy of (positional args, keyword args)
ARGUMENTS = {
    "_require_graph_node_instance": args(GRAPH, PATH),
    "_require_graph_type_value": args(GRAPH, PATH),
    "_require_graph_node_value": args(GRAPH, PATH),
    "_graph_children": args(GRAPH),
    "_graph_config_dict": args(GRAPH),
    "_graph_has_field": args(GRAPH, KEY),
    "_require_graph_field": args(GRAPH, KEY, PATH),
    "_iter_schema_items": args(ANY),
    "_schema_param_name_and_type": args_opt([SCHEMA_ITEM], literal_values()),
    "_config_param_names": args(ENTRY),
    "_validate_evaluation_shapes": args(maybe(st.lists(arrays(), max_size=3).map(tuple)),
                                        maybe(st.one_of(st.none(), arrays())), SIGNALS),
    "_graph_cache_get": args(GRAPH, SLOT),
    "_graph_cache_set": args(GRAPH, SLOT, ANY),
    "invalidate_graph_evaluation_caches": args(GRAPH),
    "generate_node_identities": args(GRAPH),
    "_annotate_state_identities": args_opt([GRAPH], PATH),
    "_compute_graph_warmup_rows": args_opt([GRAPH, maybe(registries())], PATH),
    "_compute_graph_warmup_rows near": args_opt([st.one_of(fast_shapes(), filter_trees()), st.builds(
        lambda: Registry(fuzz_entries()))], PATH),
    "_get_warmup_count_for_instance": args(INSTANCE),
    "_attach_stage_data_feature_leaves": args(GRAPH, maybe(CONTEXT)),
    "_resolve_stage_option": args(maybe(STAGE_CONTEXT), maybe(st.builds(
        TransformStage, st.sampled_from(("s", "p")), literal_values()))),
    "_dict_to_filter_node": args_opt([GRAPH], PATH),
    "_describe_dict_filter": args_opt([GRAPH], PATH),
    "_dict_to_filter_node near": args_opt([filter_trees()], PATH),
    "_describe_dict_filter near": args_opt([filter_trees()], PATH),
    "extract_filtration_weights": args(
        SIGNALS, maybe(st.lists(st.one_of(st.sampled_from(("s0", "s1", "s2", "zz")), odd_objects()), max_size=4)),
        st.one_of(st.integers(-2, 4), st.sampled_from((2**31, 2**63, 1.5, "1", None)))),
    "_apply_universe_mask": args(maybe(arrays()), maybe(st.one_of(st.none(), arrays()))),
    "_get_int_window_child": args(maybe(st.lists(graph_nodes(max_leaves=1), max_size=3))),
    "_rolling_longitudinal_fast": args(
        maybe(arrays(dtypes=(np.float64, np.float32, np.int64, np.bool_, object))),
        st.one_of(st.integers(-2, 7), st.sampled_from((2**40, 1.5, None))),
        st.one_of(st.sampled_from(LONG_NAMES), odd_objects())),
}
# Each fast path's detector and evaluator, with any arguments and near their shapes.
ROWS = st.sampled_from((100000, 0, 99999, 2**31, -1, None, 1.5))
for graph, c, dnf, rows, near in ((GRAPH, CONTEXT, NAN_FEATURES, ROWS, ""),
                                  (fast_shapes(), QUIET, st.just(None), st.just(100000), " near")):
    ARGUMENTS["_can_use_longitudinal_fast_path" + near] = args(
        graph, c, st.sampled_from((None, {}) if near == "" else (None,)), rows, data_nan_features=dnf)
    ARGUMENTS["_can_use_rank_multiply_fast_path" + near] = args(
        graph, c, STATES, data_nan_features=dnf, bound_function_instances=st.sampled_from((None, {})))
    for _name in ("_can_use_leaf_fast_path", "_can_use_simple_rank_fast_path"):
        ARGUMENTS[_name + near] = args(graph, c, STATES, data_nan_features=dnf)
    for _name in ("_evaluate_leaf_fast", "_evaluate_simple_rank_fast", "_evaluate_rank_multiply_fast",
                  "_evaluate_longitudinal_fast", "_evaluate_longitudinal_fast_node", "_feature_matrix_for_fast_path"):
        ARGUMENTS[_name + near] = args(graph, c)
LOCKED = st.builds(lambda c, lock: setattr(c, "_evaluation_lock", lock) or c, CONTEXT,
                   st.one_of(st.none(), odd_objects()))
ARGUMENTS["evaluate"] = args(GRAPH, st.one_of(CONTEXT, LOCKED, odd_objects()))
ARGUMENTS["EvaluationContext"] = st.one_of(st.tuples(st.just([]), context_kwargs(odd=True)),
                                           st.tuples(st.lists(odd_objects(), max_size=18), st.just({})))
ARGUMENTS["EvaluationResult"] = args(st.one_of(arrays(), odd_objects()), odd_objects())
MAY_CHANGE_NODES = {"_graph_cache_set", "invalidate_graph_evaluation_caches"}


@pytest.mark.parametrize("name", sorted(ARGUMENTS))
@fuzz_settings(40)
@given(data=st.data())
def test_any_arguments_never_crash_and_keep_the_inputs(ee, name, data):
    pos, kwargs = data.draw(ARGUMENTS[name])
    snap = Snapshot(*pos, *kwargs.values(), skip_context_attrs=SCRATCH)
    outcome(getattr(ee, name.split()[0]), *pos, **kwargs)
    if name not in MAY_CHANGE_NODES:
        snap.assert_unchanged(name)


# ---------------------------------------------------------------------------------------
# Leaks.

# Fewer rounds under the sanitizers, which are ~10x slower; the reference checks stay exact.
ROUNDS = int(os.environ.get("TESSALINE_LEAK_ROUNDS", "200" if UNDER_ASAN else "1000"))


def rss_bytes():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def watched(*roots):
    """The objects whose reference counts must come back: the roots and what they hold, but
    not the scratch space that an evaluation replaces."""
    skip = set(SCRATCH) - {"features", "feature_index"}
    return [o for o in Snapshot(*roots, skip_context_attrs=skip).objects
            if o is not None and not isinstance(o, (int, float, str, bool))]


def assert_no_leak(call, *inputs, rounds=ROUNDS, rss_slack=8 << 20):
    """Run ``call`` ``rounds`` times after a warm-up and compare the bookkeeping."""
    for _ in range(30):  # caches, lazily created types, first-call allocations
        call()
    gc.collect()
    objs = watched(*inputs)
    before, blocks, rss = [sys.getrefcount(o) for o in objs], sys.getallocatedblocks(), rss_bytes()
    for _ in range(rounds):
        call()
    gc.collect()
    after = [sys.getrefcount(o) for o in objs]
    changed = [(type(o).__name__, b, a) for o, b, a in zip(objs, before, after) if a != b]
    assert not changed, f"reference counts changed: {changed[:5]}"
    if blocks and rounds >= 800:  # 0 blocks: Python uses the system malloc (sanitizer runs)
        # One leaked object per call leaves >= rounds blocks; free lists move a few hundred.
        grown = sys.getallocatedblocks() - blocks
        assert grown < rounds // 2, f"{grown} Python memory blocks left after {rounds} calls"
    if not UNDER_ASAN:  # the sanitizer's quarantine holds freed memory back on purpose
        assert rss_bytes() - rss < rss_slack, "resident memory grew"


@pytest.mark.parametrize("name", sorted(n for n in ARGUMENTS if " near" not in n))
@settings(max_examples=2, deadline=None, database=None, derandomize=True)
@given(data=st.data())
def test_entry_points_leave_nothing_behind(ee, name, data):
    pos, kwargs = data.draw(ARGUMENTS[name])
    assert_no_leak(functools.partial(outcome, getattr(ee, name.split()[0]), *pos, **kwargs), pos, kwargs)


T, N = 20, 200  # matrices large enough that one leaked copy per call shows in the RSS
rng = np.random.default_rng(7)
M0, M1 = rng.standard_normal((T, N)), rng.standard_normal((T, N))
M1[::7, ::5] = np.nan
UNIVERSE = np.where(rng.random((T, N)) < 0.1, 0.0, 1.0)
SIGS = {f"s{i}": UsefulSignal(weights=rng.standard_normal((T, N)), pnl=rng.standard_normal((T, 2)),
                              metadata={"sharpe": float(i), "family": "momentum"}) for i in range(4)}


def context(**kw):
    return EE.EvaluationContext(**dict(dict(features=(M0, M1), feature_index={"f0": 0, "f1": 1},
                                            universe=UNIVERSE), **kw))


def _cycle():
    g = F("rotation", "transform_demean_3c8a51", [])
    g.children.append(g)
    return g


REG = dict(registry=default_registry())
# name -> (graph, context, function_states, evaluate keywords)
EVALUATIONS = {
    "leaf": lambda: (graph_for("leaf"), context(), None, {}),
    "rank": lambda: (graph_for("rank"), context(), None, {}),
    "rank_multiply": lambda: (graph_for("rank_multiply"), context(), None, {}),
    "rank_ties_general": lambda: (graph_for("rank"), context(features=(np.ones((T, N)), M1), **REG), None, {}),
    "general_stateful": lambda: (F("rotation", "longitudinal_accumulators_250f46", [
        F("rotation", "longitudinal_accumulators_2ee349", [F("feature", "f0"), F("int", 4)]), F("int", 3)]),
        context(**REG), None, {}),
    "reduction_filtration": lambda: (sharpe_reduction(), context(useful_signals=SIGS, column_labels=[
        "gross_returns", "net"], **REG), None, {}),
    "data_nan": lambda: (F("rotation", "transform_demean_3c8a51", [F("feature", "f0")]), context(**REG), None,
                         {"data_nan_features": ["f0"]}),
    "bound_instances": lambda: (F("rotation", "fz_mean", [F("feature", "f0"), F("feature", "f1")]), context(),
                                None, {"bound_function_instances": {"root": FakeInstance("fz_mean")}}),
    "schema_error": lambda: ({"type": "feature"}, context(), None, {}),
    "missing_feature": lambda: (F("rotation", "transform_demean_3c8a51", [F("feature", "nope")]),
                                context(**REG), None, {}),
    "empty_filtration": lambda: (sharpe_reduction(99.0), context(useful_signals=SIGS, **REG), None, {}),
    "filtration_resolution_error": lambda: (sharpe_reduction(), context(useful_signals=dict(SIGS, bad=UsefulSignal(
        weights=M0, metadata={"sharpe": np.ones(2)})), **REG), None, {}),  # ambiguous truth in the engine
    "instance_raise": lambda: (F("rotation", "fz_mean", [F("feature", "f0")]), context(registry=Registry(
        fuzz_entries(), instance_behaviour="raise", width=N)), None, {}),
    "state_keys_mismatch": lambda: (F("rotation", "longitudinal_accumulators_2ee349", [F("feature", "f0"), F(
        "int", 3)]), context(**REG), {"bogus": FunctionState("x", "1", {})}, {}),
    "cyclic_graph": lambda: (_cycle(), context(**REG), None, {}),
}


@pytest.mark.parametrize("case", sorted(EVALUATIONS))
def test_evaluations_keep_the_inputs_and_leave_nothing_behind(case):
    graph, c, states, kwargs = EVALUATIONS[case]()
    snap = Snapshot(graph, c, states, *kwargs.values(), skip_context_attrs=SCRATCH)
    kind, first = outcome(EE.evaluate, graph, c, states, **kwargs)
    snap.hostile |= case == "cyclic_graph"
    snap.assert_unchanged(case)
    assert kind == "raised" or np.asarray(first).shape == (T, N)
    assert_no_leak(functools.partial(outcome, EE.evaluate, graph, c, states, **kwargs), graph, c, states, kwargs,
                   rounds=ROUNDS // 10 if case == "cyclic_graph" else ROUNDS)


def test_carried_states_and_the_longitudinal_path_leave_nothing_behind():
    graph = F("rotation", "longitudinal_accumulators_2ee349", [F("feature", "f0"), F("int", 5)])
    c = context(**REG)
    holder = {"states": EE.evaluate(graph, c).states}

    def call():
        holder["states"] = EE.evaluate(graph, c, holder["states"]).states

    assert_no_leak(call, graph, c)
    t = EE._LONGITUDINAL_FAST_MIN_ROWS
    c = EE.EvaluationContext((rng.standard_normal((t, 3)),), {"f0": 0}, **REG)
    graph = graph_for("longitudinal")
    assert EE._can_use_longitudinal_fast_path(graph, c, None, t)
    assert_no_leak(lambda: EE.evaluate(graph, c), graph, c, rounds=max(ROUNDS // 20, 20), rss_slack=32 << 20)


# ---------------------------------------------------------------------------------------
# The two classes.

@fuzz_settings(100)
@given(c=CONTEXT, state=st.one_of(st.dictionaries(st.sampled_from(("features", "registers", "_evaluation_lock", "x")),
                                                  odd_objects(), max_size=3), odd_objects()))
def test_context_copies_get_their_own_lock(ee, c, state):
    assert "_evaluation_lock" not in outcome(c.__getstate__)[1]
    for clone in (outcome(copy.copy, c), outcome(copy.deepcopy, c), outcome(lambda: pickle.loads(pickle.dumps(c)))):
        assert clone[0] != "ok" or clone[1]._evaluation_lock is not c._evaluation_lock
    outcome(ee.EvaluationContext.__new__(ee.EvaluationContext).__setstate__, state)


@fuzz_settings(100)
@given(data=st.data())
def test_result_protocol_with_any_contents(ee, data):
    kind, result = outcome(ee.EvaluationResult, data.draw(st.one_of(arrays(), odd_objects())), data.draw(
        odd_objects()), *data.draw(st.lists(odd_objects(), max_size=2)))
    if kind == "ok":
        for call in (len, list, np.asarray, copy.copy, copy.deepcopy, lambda r: pickle.loads(pickle.dumps(r)),
                     lambda r: r[data.draw(st.one_of(st.integers(-4, 4), st.slices(4), odd_objects()))],
                     lambda r: np.asarray(r, dtype=data.draw(st.sampled_from((np.float32, np.int8, object, "U2")))),
                     lambda r: getattr(r, data.draw(st.sampled_from(("shape", "T", "sum", "nope", "weights")))),
                     lambda r: r.__array__(data.draw(odd_objects()))):
            outcome(call, result)
    bare = ee.EvaluationResult.__new__(ee.EvaluationResult)
    for call in (len, list, lambda r: r[0], lambda r: r.shape, lambda r: r.__array__()):
        outcome(call, bare)


def test_context_and_result_leave_nothing_behind(ee):
    feats, index, stage = (M0, M1), {"f0": 0, "f1": 1}, StageData({"x": M0})
    assert_no_leak(lambda: ee.EvaluationContext(feats, index, SIGS, universe=UNIVERSE, stage_data=stage),
                   feats, index, SIGS, stage)
    c = context()
    assert_no_leak(lambda: pickle.loads(pickle.dumps(c)), c, rounds=ROUNDS // 10)
    states = {"a": 1}
    res = ee.EvaluationResult(M0, states)

    def protocol():
        w, s = res
        res[0], res[-1], len(res), np.asarray(res), res.shape
        outcome(getattr, res, "nope")

    assert_no_leak(protocol, res, states)


BadMap = type("BadMap", (dict,), {"keys": raising_method("keys"), "__iter__": raising_method("iter")})
BadStage = type("BadStage", (StageData,), {"is_empty": lambda self: False, "value": raising_method("value")})
BadSignal = type("BadSignal", (UsefulSignal,), {"weights": property(raising_method("weights"), lambda s, v: None)})


@pytest.mark.parametrize("call", [
    lambda ee: ee._graph_config_dict(F("rotation", "f", None, BadMap(a=1))),
    lambda ee: ee._attach_stage_data_feature_leaves(F("feature", "x"), ee.EvaluationContext(
        (np.zeros((2, 2)),), {"f0": 0}, stage_data=BadStage())),
    lambda ee: ee.EvaluationContext((np.zeros((2, 2)),), {"f0": 0}, {"s": BadSignal()}),
])
def test_errors_of_foreign_objects_reach_the_caller(ee, call):
    kind, exc = outcome(call, ee)
    assert kind == "raised" and isinstance(exc, Boom), exc


@pytest.mark.parametrize("args, kwargs", [
    ((None, None), {}), ((None, None, None, False), {}), ((None,), {"context": None}),
    ((None, None), {"bound_function_instances": None, "data_nan_features": None}),
    ((), {"graph": None, "context": None, "is_cold_start": True}), ((None, None, None, False, None), {}),
    ((None, None), {"graph": None}), ((None,), {}), ((None, None), {"bogus": 1}),
    ((None, None), {"function_states": None, "bound_function_instances": None, "x": 1})])
@pytest.mark.parametrize("interned", [True, False], ids=["interned", "equal-names"])
def test_calls_bind_as_the_signature_says(args, kwargs, interned):
    if not interned:  # equal keyword names that are not the interned ones
        kwargs = {"".join(list(k)): v for k, v in kwargs.items()}
    try:
        inspect.signature(EE.evaluate).bind(*args, **kwargs)
    except TypeError:
        with pytest.raises(TypeError, match=r"evaluate\(\)"):
            EE.evaluate(*args, **kwargs)
    else:
        with pytest.raises(EE.SchemaError, match="evaluate graph must be FunctionGraphNode"):
            EE.evaluate(*args, **kwargs)
