"""Fuzzing every module-level entry point with arbitrary and hostile arguments.

Property of every call: it returns, or raises an error of the package or a documented
platform error (never SystemError, RuntimeError or a crash), and the arrays and graph nodes
that the caller passed in are unchanged unless the function's job is to change them.
"""

from __future__ import annotations

import copy
import pickle

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from fuzz_strategies import (LONG_NAMES, Boom, SCRATCH, Raiser, Snapshot, arrays, build_context,
                             configs, context_kwargs, fuzz_settings, graph_nodes, literal_values,
                             odd_objects, outcome, raising_method, registries, useful_signals)
from tessaline.functions._typed_shapes import FunctionGraphNode, StageData
from tessaline.simulator_engine import expression_evaluator as EE
from tessaline.simulator_engine._types import TransformStage, UsefulSignal


def maybe(strategy):
    """Mostly a value of ``strategy``, sometimes any foreign object."""
    return st.one_of(strategy, strategy, strategy, strategy, strategy, odd_objects())


ANY = st.one_of(odd_objects(), graph_nodes(max_leaves=3), arrays())
GRAPH = maybe(graph_nodes())
PATH = st.one_of(st.sampled_from(("root", "root.c0", "fast_path", "")), odd_objects())
KEY = st.one_of(st.sampled_from(("type", "node", "children", "config", "missing")),
                odd_objects())
SLOT = st.one_of(st.sampled_from(("_node_identities", "_collect_nodes_cache", "_x")),
                 odd_objects())
CONTEXT = st.builds(lambda kw: build_context(EE, kw), context_kwargs(odd=True))
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
    st.tuples(literal_values(), literal_values(), literal_values()),
    odd_objects())
ENTRY = st.builds(lambda s: type("E", (), {"param_schema": s})(), st.one_of(
    configs(), st.lists(st.one_of(
        st.tuples(st.sampled_from(("w", "", None)), st.sampled_from(("int", "float", "x"))),
        st.fixed_dictionaries({"name": st.sampled_from(("w", None)),
                               "type": st.sampled_from(("int", "bool", "array"))}),
        odd_objects()), max_size=4)))
INSTANCE = st.one_of(st.builds(
    lambda s: type("I", (), {"get_state": lambda self: s})(),
    st.one_of(st.fixed_dictionaries({"count": literal_values()}), odd_objects())),
    odd_objects())
STAGE_CONTEXT = st.builds(lambda mp, pool: type("C", (), {"metaparameters": mp,
                                                          "pool_id": pool})(),
                          st.one_of(st.builds(lambda: {"s": 1}), st.builds(lambda: {"p": {"s": 2}}),
                                    st.builds(lambda: {"p": [1]}), odd_objects()),
                          st.sampled_from(("p", None, "q")))

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
                                        maybe(st.one_of(st.none(), arrays())),
                                        maybe(useful_signals(3, 2, odd=True))),
    "_graph_cache_get": args(GRAPH, SLOT),
    "_graph_cache_set": args(GRAPH, SLOT, ANY),
    "invalidate_graph_evaluation_caches": args(GRAPH),
    "generate_node_identities": args(GRAPH),
    "_annotate_state_identities": args_opt([GRAPH], PATH),
    "_compute_graph_warmup_rows": args_opt([GRAPH, maybe(registries())], PATH),
    "_get_warmup_count_for_instance": args(INSTANCE),
    "_attach_stage_data_feature_leaves": args(GRAPH, maybe(CONTEXT)),
    "_resolve_stage_option": args(maybe(STAGE_CONTEXT), maybe(st.builds(
        TransformStage, st.sampled_from(("s", "p")), literal_values()))),
    "_dict_to_filter_node": args_opt([GRAPH], PATH),
    "_describe_dict_filter": args_opt([GRAPH], PATH),
    "extract_filtration_weights": args(
        maybe(useful_signals(3, 2, odd=True)),
        maybe(st.lists(st.one_of(st.sampled_from(("s0", "s1", "s2", "zz")), odd_objects()),
                       max_size=4)),
        st.one_of(st.integers(-2, 4), st.sampled_from((2**31, 2**63, 1.5, "1", None)))),
    "_apply_universe_mask": args(maybe(arrays()), maybe(st.one_of(st.none(), arrays()))),
    "_get_int_window_child": args(maybe(st.lists(graph_nodes(max_leaves=1), max_size=3))),
    "_rolling_longitudinal_fast": args(
        maybe(arrays(dtypes=(np.float64, np.float32, np.int64, np.bool_, object))),
        st.one_of(st.integers(-2, 7), st.sampled_from((2**40, 1.5, None))),
        st.one_of(st.sampled_from(LONG_NAMES), odd_objects())),
    "_can_use_longitudinal_fast_path": args(
        GRAPH, CONTEXT, st.sampled_from((None, {})),
        st.sampled_from((0, 99999, 100000, 2**31, -1, None, 1.5)),
        data_nan_features=NAN_FEATURES),
}
for _name in ("_can_use_leaf_fast_path", "_can_use_simple_rank_fast_path"):
    ARGUMENTS[_name] = args(GRAPH, CONTEXT, STATES, data_nan_features=NAN_FEATURES)
ARGUMENTS["_can_use_rank_multiply_fast_path"] = args(
    GRAPH, CONTEXT, STATES, data_nan_features=NAN_FEATURES,
    bound_function_instances=st.sampled_from((None, {}, {"root": None})))
for _name in ("_evaluate_leaf_fast", "_evaluate_simple_rank_fast",
              "_evaluate_rank_multiply_fast", "_evaluate_longitudinal_fast",
              "_evaluate_longitudinal_fast_node", "_feature_matrix_for_fast_path"):
    ARGUMENTS[_name] = args(GRAPH, CONTEXT)

# What each entry point may legitimately change on the inputs.
MAY_CHANGE_NODES = {"_graph_cache_set", "invalidate_graph_evaluation_caches"}


@pytest.mark.parametrize("name", sorted(ARGUMENTS))
@fuzz_settings(40)
@given(data=st.data())
def test_entry_point_never_crashes_and_keeps_inputs(ee, name, data):
    fn = getattr(ee, name)
    pos, kwargs = data.draw(ARGUMENTS[name])
    snap = Snapshot(*pos, *kwargs.values(), skip_context_attrs=SCRATCH)
    outcome(fn, *pos, **kwargs)
    if name not in MAY_CHANGE_NODES:
        snap.assert_unchanged(name)


# ---------------------------------------------------------------------------------------
# Context construction, pickling and copying.


CONTEXT_KEYS = st.lists(st.sampled_from((
    "features", "feature_index", "useful_signals", "registry", "universe", "metaparameters",
    "transform_pipeline", "stage_data", "column_labels", "signal_pnl_vectors", "pool_id",
    "current_day_index", "validate_inputs")), max_size=2)
SETSTATE = st.one_of(st.dictionaries(st.sampled_from(("features", "registers",
                                                      "_evaluation_lock", "x")),
                                     odd_objects(), max_size=3), odd_objects())


@fuzz_settings(100)
@given(data=st.data())
def test_context_construction_with_any_arguments(ee, data):
    kwargs = data.draw(context_kwargs(odd=True))
    # Replace a few arguments with foreign objects.
    for key in data.draw(CONTEXT_KEYS):
        if key in kwargs or key in ("stage_data", "pool_id", "current_day_index"):
            kwargs[key] = data.draw(odd_objects())
    snap = Snapshot(*kwargs.values())
    kind, ctx = outcome(ee.EvaluationContext, **kwargs)
    snap.assert_unchanged("EvaluationContext")
    if kind == "ok":
        state = outcome(ctx.__getstate__)[1]
        assert "_evaluation_lock" not in state
        for clone in (outcome(copy.copy, ctx), outcome(copy.deepcopy, ctx),
                      outcome(lambda: pickle.loads(pickle.dumps(ctx)))):
            if clone[0] == "ok":
                assert clone[1]._evaluation_lock is not ctx._evaluation_lock
        ctx2 = ee.EvaluationContext.__new__(ee.EvaluationContext)
        outcome(ctx2.__setstate__, data.draw(SETSTATE))


@fuzz_settings(100)
@given(data=st.data())
def test_context_positional_arguments_of_any_type(ee, data):
    outcome(ee.EvaluationContext, *data.draw(st.lists(odd_objects(), max_size=18)))


# ---------------------------------------------------------------------------------------
# Result protocol with foreign weights and states.


WEIGHTS = st.one_of(arrays(), odd_objects())
DTYPE = st.sampled_from((np.float32, np.int8, object, "U2", None))
ATTR = st.sampled_from(("shape", "T", "sum", "nope", "__len__", "weights", "states"))
INDEX = st.one_of(st.integers(-4, 4), st.slices(4), odd_objects())


@fuzz_settings(100)
@given(data=st.data())
def test_result_protocol_with_any_contents(ee, data):
    weights = data.draw(WEIGHTS)
    states = data.draw(odd_objects())
    extra = data.draw(st.lists(odd_objects(), max_size=2))
    kind, result = outcome(ee.EvaluationResult, weights, states, *extra)
    if kind != "ok":
        return
    outcome(len, result)
    outcome(list, result)
    outcome(lambda: result[data.draw(INDEX)])
    outcome(np.asarray, result)
    outcome(np.asarray, result, dtype=data.draw(DTYPE))
    outcome(getattr, result, data.draw(ATTR))
    outcome(lambda: result.__array__(data.draw(odd_objects())))
    outcome(copy.copy, result)
    outcome(copy.deepcopy, result)
    outcome(lambda: pickle.loads(pickle.dumps(result)))
    bare = outcome(ee.EvaluationResult.__new__, ee.EvaluationResult)[1]
    for attr in ("weights", "shape", "__array__", "nope"):
        outcome(getattr, bare, attr)
    outcome(list, bare)
    outcome(len, bare)
    outcome(lambda: bare[0])


# ---------------------------------------------------------------------------------------
# Hostile objects in specific places.


BadMap = type("BadMap", (dict,), {"keys": raising_method("keys"),
                                  "__iter__": raising_method("iter")})
BadStage = type("BadStage", (StageData,), {"is_empty": lambda self: False,
                                           "value": raising_method("value")})
BadSignal = type("BadSignal", (UsefulSignal,), {
    "weights": property(raising_method("weights"), lambda self, v: None)})
BOOMS = {
    "config_keys": lambda ee: ee._graph_config_dict(
        FunctionGraphNode("rotation", "f", None, BadMap(a=1))),
    "stage_data_value": lambda ee: ee._attach_stage_data_feature_leaves(
        FunctionGraphNode("feature", "x"),
        ee.EvaluationContext((np.zeros((2, 2)),), {"f0": 0}, stage_data=BadStage())),
    "signal_weights": lambda ee: ee.EvaluationContext((np.zeros((2, 2)),), {"f0": 0},
                                                      {"s": BadSignal()}),
}


@pytest.mark.parametrize("case", sorted(BOOMS))
def test_errors_of_foreign_objects_reach_the_caller(ee, case):
    kind, exc = outcome(BOOMS[case], ee)
    assert kind == "raised" and isinstance(exc, Boom), exc


# ---------------------------------------------------------------------------------------
# Differential checks against the NumPy steps, for inputs of any dtype, layout and shape.

MASK_DATA = st.one_of(arrays(), arrays(dtypes=(np.float64,)))
FLOATS = (np.float64,) * 4 + (np.float32, np.int8, np.bool_)


def mask_universe(shape):
    """None, any array, or (mostly) a universe of the data's shape or of its last axis."""
    fitting = st.sampled_from((shape, shape[-1:]))
    return st.one_of(st.none(), arrays(), *[fitting.flatmap(
        lambda s: arrays(shape=s, dtypes=FLOATS))] * 4)


@fuzz_settings(300)
@given(data=MASK_DATA, pick=st.data())
def test_universe_mask_matches_numpy(ee, data, pick):
    universe = pick.draw(mask_universe(data.shape))
    fn = getattr(ee, "_apply_universe_mask")
    kind, got = outcome(fn, data, universe)
    if universe is None:
        assert kind == "ok" and got is data
        return
    try:
        with np.errstate(all="ignore"):
            expected = np.where((universe == 0.0) | np.isnan(universe), np.nan, data)
    except Exception as exc:
        assert kind == "raised", f"NumPy raised {exc!r}, the module returned"
        return
    assert kind == "ok", got
    assert (got.dtype, got.shape, got.strides) == (expected.dtype, expected.shape, expected.strides)
    if expected.dtype == object:
        assert list(map(repr, got.ravel())) == list(map(repr, expected.ravel()))
    else:  # byte for byte: NaN payloads and signed zeros included
        assert got.tobytes() == expected.tobytes()


@pytest.mark.parametrize("attack", ["shrink_ids", "replace_weights", "drop_signal"])
def test_extract_weights_when_ids_change_things_while_hashed(ee, attack):
    fn = getattr(ee, "extract_filtration_weights")
    rng = np.random.default_rng(0)
    signals = {f"s{i}": UsefulSignal(weights=rng.standard_normal((4, 3))) for i in range(3)}
    ids = []

    class Sneaky(str):
        def __hash__(self):
            if attack == "shrink_ids":
                ids.clear()
            elif attack == "replace_weights":
                for sig in signals.values():
                    sig.weights = np.zeros((1, 1))
            else:
                signals.pop("s2", None)
            return str.__hash__(self)

        __eq__ = str.__eq__

    ids.extend(["s0", Sneaky("s1"), "s2"])
    kind, value = outcome(fn, signals, ids, 2)
    if kind == "ok":
        assert value.ndim == 2 and value.shape[0] <= 3 and value.dtype == np.float64
