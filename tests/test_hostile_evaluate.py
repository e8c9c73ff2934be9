"""``evaluate`` against hostile graphs, contexts, registries, instances and states: it returns
an EvaluationResult or raises an error of the package or of Python's semantics, the caller's
arrays and nodes stay unchanged (scratch attributes and cache slots aside), the context's lock
is released, deep graphs end in RecursionError, array layout never changes a
result, and inputs released mid-evaluation are never read after they are freed."""

from __future__ import annotations

import gc
import sys
import types

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from fakes import (FN_MEAN, FN_ROLL, INSTANCE_BEHAVIOURS, SCRATCH, FakeInstance, Registry, Snapshot,
                   build_context, context_kwargs, ctx, feat, fuzz_entries, fuzz_settings, graph_for,
                   graph_nodes, node, odd_objects, outcome, sharpe_reduction)
from tessaline.functions._typed_shapes import FunctionGraphNode as F, FunctionState, StageData
from tessaline.functions.registry import default_registry
from tessaline.simulator_engine import expression_evaluator as EE
from tessaline.simulator_engine._types import UsefulSignal

PATHS = ("root", "root.c0", "root.c1", "root.c0.c0", "root.c1.c0", "root.c2")
KINDS = ("leaf", "rank", "rank_multiply", "longitudinal", "general")
FUNCTION_STATES = st.one_of(st.none(), st.none(), st.none(), st.builds(dict), st.dictionaries(
    st.sampled_from(PATHS), st.one_of(st.builds(FunctionState, st.just(FN_ROLL), st.just("1"), st.fixed_dictionaries(
        {"count": st.integers(0, 5), "window": st.integers(0, 4)})), odd_objects()), max_size=3), odd_objects())
NAN_FEATURES = st.one_of(st.none(), st.none(), st.none(), st.sampled_from(((), ("f0",), ["f1", "f0"], {"f2"})),
                         odd_objects())
PRECOMPUTED = st.one_of(
    st.builds(lambda T, N: np.arange(T * N, dtype=float).reshape(T, N), st.integers(0, 6), st.integers(0, 5)),
    st.builds(lambda n: [[1.0] * n] * 6, st.integers(0, 5)), st.builds(lambda: np.zeros((6, 2, 2))), odd_objects())
HIDDEN = st.fixed_dictionaries({}, optional={
    "_precomputed_node_outputs": st.one_of(st.dictionaries(st.sampled_from(("cid0", "cid1")), PRECOMPUTED,
                                                           max_size=2), odd_objects()),
    "_precomputed_node_nan_source": st.one_of(st.dictionaries(st.sampled_from(("cid0", "cid1")), st.sampled_from(
        ("data_nan", "other")), max_size=2), odd_objects()),
    "_collect_node_outputs": odd_objects(), "_collect_states": odd_objects(),
    "_skip_evaluation_shape_validation": st.booleans()})
GRAPHS = st.one_of(graph_nodes(odd=False), graph_nodes(odd=True), st.sampled_from(KINDS).map(graph_for))
CONTEXTS = st.one_of(context_kwargs(odd=True, module=EE), context_kwargs(odd=False, module=EE))


@st.composite
def bound_instances(draw, registry):
    if draw(st.integers(0, 3)):
        return None
    out = {}
    for p in draw(st.lists(st.sampled_from(PATHS), max_size=4, unique=True)):
        kind = draw(st.integers(0, 6))
        out[p] = None if kind == 0 else draw(odd_objects()) if kind == 1 else FakeInstance(
            "bound", draw(st.sampled_from(INSTANCE_BEHAVIOURS)), stateful=draw(st.booleans()), registry=registry)
    return out


def run_evaluate(graph, c, *args, **kwargs):
    reg = getattr(c, "registry", None)
    if isinstance(reg, Registry):
        reg.context, reg.graph = c, graph
    snap = Snapshot(graph, c, *args, *kwargs.values(), skip_context_attrs=SCRATCH)
    # Instances told to clear the graph's children change it on purpose.
    bound = kwargs.get("bound_function_instances")
    snap.hostile |= "mutate_graph" in [getattr(reg, "instance_behaviour", None)] + [
        i.behaviour for i in (bound.values() if isinstance(bound, dict) else ()) if isinstance(i, FakeInstance)]
    kind, value = outcome(EE.evaluate, graph, c, *args, **kwargs)
    snap.assert_unchanged("evaluate")
    lock = getattr(c, "_evaluation_lock", None)
    assert not (lock is not None and hasattr(lock, "_is_owned") and lock._is_owned()), "lock left held"
    assert kind != "ok" or (isinstance(value, EE.EvaluationResult) and len(value) == 2)
    return kind, value


@fuzz_settings(200)
@given(data=st.data())
def test_random_graphs_and_contexts(data):
    graph, c = data.draw(GRAPHS), build_context(EE, data.draw(CONTEXTS))
    for key, value in data.draw(HIDDEN).items():
        setattr(c, key, value)
    run_evaluate(graph, c, data.draw(FUNCTION_STATES), data.draw(st.booleans()),
                 bound_function_instances=data.draw(bound_instances(getattr(c, "registry", None))),
                 data_nan_features=data.draw(NAN_FEATURES))


@pytest.mark.parametrize("kind", KINDS)
@fuzz_settings(40)
@given(data=st.data())
def test_each_path_with_a_hostile_context(kind, data):
    graph, c = graph_for(kind), build_context(EE, data.draw(CONTEXTS))
    run_evaluate(graph, c, data.draw(FUNCTION_STATES), data.draw(st.booleans()),
                 data_nan_features=data.draw(NAN_FEATURES))
    run_evaluate(graph, c)  # the same, possibly rewritten, context again


@fuzz_settings(40)
@given(data=st.data(), behaviour=st.sampled_from(INSTANCE_BEHAVIOURS))
def test_misbehaving_instances_on_the_general_path(data, behaviour):
    kw = data.draw(context_kwargs(odd=False, module=EE, T=4, N=3))
    kw["registry"] = Registry(fuzz_entries(), instance_behaviour=behaviour, module=EE, width=3,
                              state_behaviour=data.draw(st.sampled_from(("ok", "raise", "weird"))))
    run_evaluate(graph_for("general"), build_context(EE, kw), None, data.draw(st.booleans()))


# ---------------------------------------------------------------------------------------
# Deep and tiny.

WALKS = ("generate_node_identities", "invalidate_graph_evaluation_caches", "_annotate_state_identities",
         "_compute_graph_warmup_rows")
FILTER_WALKS = ("_dict_to_filter_node", "_describe_dict_filter")


@pytest.mark.parametrize("depth, inner", [
    (d, i) for d in (50, 3000) for i in (("rotation", FN_MEAN), ("filtration", "filtration"), ("and_", "and_"),
                                         ("reduction", "fz_reduce"))
] + [(200000, ("rotation", FN_MEAN)), (200000, ("not_", "not_"))])
def test_deep_graphs_end_in_recursion_error(depth, inner):
    graph, registry = F("feature", "f0"), Registry(fuzz_entries(), module=EE, width=2)
    for _ in range(depth):
        graph = F(*inner, [graph])
    kind, value = run_evaluate(graph, EE.EvaluationContext((np.ones((3, 2)),), {"f0": 0}, registry=registry))
    names = WALKS + (FILTER_WALKS if inner[0] in ("filtration", "and_", "not_") else ())
    walked = {n: outcome(getattr(EE, n), *((graph, registry) if "warmup" in n else (graph,))) for n in names}
    if depth > sys.getrecursionlimit():
        for k, v in [(kind, value)] + list(walked.values()):
            assert k == "raised" and isinstance(v, RecursionError), v
        assert EE._graph_cache_get(graph, "_node_identities") is None  # a failed walk caches nothing
    elif inner[0] == "rotation":
        assert walked["_compute_graph_warmup_rows"] == ("ok", 0)
        assert len(walked["generate_node_identities"][1]) == depth + 1


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0), (1, 1), (2, 1)])
@pytest.mark.parametrize("kind", KINDS)
def test_empty_and_tiny_shapes_on_every_path(shape, kind):
    # A rank row without any cell must not hand a null scratch pointer to memset.
    rng = np.random.default_rng(1)
    c = EE.EvaluationContext((rng.standard_normal(shape), rng.standard_normal(shape)), {"f0": 0, "f1": 1},
                             universe=np.ones(shape), registry=Registry(fuzz_entries(), module=EE, width=shape[1]))
    kind_, value = run_evaluate(graph_for(kind), c)
    assert kind_ != "ok" or np.asarray(value).shape == shape
    outcome(EE._evaluate_simple_rank_fast, graph_for("rank"), c)
    outcome(EE._evaluate_rank_multiply_fast, graph_for("rank_multiply"), c)
    outcome(EE._rolling_longitudinal_fast, c.features[0], 2, "longitudinal_accumulators_250f46")


# ---------------------------------------------------------------------------------------
# Layouts.


def relayout(a, how):
    """The same values as ``a`` in another memory layout (or a lossless dtype)."""
    a = np.ascontiguousarray(a, dtype=np.float64)
    if how == "unaligned":
        out = np.frombuffer(np.zeros(a.size * 8 + 1, np.uint8).data, np.float64, a.size, 1).reshape(a.shape)
        out[...] = a
        return out
    if how == "readonly":
        a = a.copy()
        a.flags.writeable = False
        return a
    if how == "strided":
        big = np.empty(a.shape[:-1] + (a.shape[-1] * 2,))
        big[..., ::2] = a
        return big[..., ::2]
    return {"C": a.copy, "F": lambda: np.asfortranarray(a), "big_endian": lambda: a.astype(">f8"),
            "longdouble": lambda: a.astype(np.longdouble),
            "reversed": lambda: a[::-1].copy()[::-1] if a.ndim == 1 else a[::-1, ::-1].copy()[::-1, ::-1]}[how]()


PATH_GRAPHS = {"leaf": graph_for("leaf"), "rank": graph_for("rank"), "rank_multiply": graph_for("rank_multiply"),
               "general": F("rotation", "transform_demean_3c8a51", [F("rotation", "longitudinal_accumulators_250f46",
                                                                      [F("feature", "f0"), F("int", 3)])]),
               "reduction": sharpe_reduction(),
               "stage_leaf": F("rotation", "transform_demean_3c8a51", [F("feature", "spread")])}


def _parts(T=12, N=6):
    rng = np.random.default_rng(4)
    f0, f1 = rng.standard_normal((T, N)), rng.standard_normal((T, N))
    f0[rng.random((T, N)) < 0.1] = np.nan
    f1[:, 0] = np.inf
    universe = np.where(rng.random((T, N)) < 0.15, 0.0, rng.choice([1.0, -1.0, np.inf], (T, N)))
    universe[0, 1] = np.nan
    signals = {f"s{i}": (rng.standard_normal((T, N)), rng.standard_normal((T, 2))) for i in range(3)}
    return f0, f1, universe, signals, rng.standard_normal((T, N))


def _layout_context(how, features_too=True):
    f0, f1, universe, signals, spread = _parts()
    lay = (lambda a: relayout(a, how))
    fl = lay if features_too else (lambda a: relayout(a, "C"))
    return EE.EvaluationContext(
        (fl(f0), fl(f1)), {"f0": 0, "f1": 1}, universe=lay(universe), registry=default_registry(),
        useful_signals={k: UsefulSignal(weights=lay(w), pnl=lay(p), metadata={"sharpe": float(i)})
                        for i, (k, (w, p)) in enumerate(signals.items())},
        stage_data=StageData({"spread": lay(spread)}), column_labels=["gross_returns", "net"])


@pytest.mark.parametrize("path", sorted(PATH_GRAPHS))
@pytest.mark.parametrize("how", ("F", "strided", "reversed", "big_endian", "unaligned", "readonly", "longdouble"))
@pytest.mark.parametrize("features_too", [True, False])
def test_layout_does_not_change_results(path, how, features_too):
    # Features too or not (then the universe's strides differ from theirs); an unaligned
    # universe must be read through a copy, never in place as doubles.
    expected = np.asarray(EE.evaluate(PATH_GRAPHS[path], _layout_context("C")).weights)
    got = np.asarray(EE.evaluate(PATH_GRAPHS[path], _layout_context(how, features_too)).weights)
    assert np.array_equal(expected, got, equal_nan=True)


@pytest.mark.parametrize("how", ["C", "strided", "reversed", "unaligned", "readonly"])
def test_instance_rows_in_any_float64_layout_are_taken_by_value(how):
    f0, _, universe, _, _ = _parts()
    out = EE.evaluate(F("rotation", "twice", [F("feature", "f0")]), _layout_context("C"),
                      bound_function_instances={"root": lambda row: relayout(np.asarray(row) * 2.0, how)})
    expected = np.where((universe == 0) | np.isnan(universe), np.nan, f0) * 2.0
    assert np.array_equal(np.asarray(out), expected, equal_nan=True)


# ---------------------------------------------------------------------------------------
# Inputs whose last reference goes away mid-evaluation (the sanitizer run turns a use after
# free into a failure), and rows the caller keeps.

DROPS = {
    "features": lambda c: setattr(c, "features", tuple(np.zeros((1, 1)) for _ in c.features)),
    "universe": lambda c: setattr(c, "universe", np.ones((1, 1))),
    "weights": lambda c: [(setattr(s, "weights", np.zeros((1, 1))), setattr(s, "pnl", np.zeros(1)))
                          for s in c.useful_signals.values()],
    "signals": lambda c: c.useful_signals.clear(),
    "registers": lambda c: (setattr(c, "registers", None), setattr(c, "extraction_buffer", None)),
    "feature_index": lambda c: c.feature_index.clear(),
    "precomputed": lambda c: setattr(c, "_precomputed_node_outputs", {}),
}


@pytest.mark.parametrize("what", sorted(DROPS))
@pytest.mark.parametrize("graph_kind", ["rotation", "reduction", "filtration"])
def test_inputs_released_during_evaluation(what, graph_kind):
    c = _layout_context("C")
    c._precomputed_node_outputs = {"pre": np.random.default_rng(2).standard_normal(c.features[0].shape)}
    filt = F("filtration", "filtration", [F("gt", "gt", [F("string", "sharpe"), F("float", 0.0)])])
    calls = []

    def drop(*rows):
        if not calls:
            DROPS[what](c)
            gc.collect()
        calls.append(1)
        return np.zeros(rows[0].shape[-1] if rows and hasattr(rows[0], "shape") else 1)

    bound = {"root": drop}
    if graph_kind == "rotation":
        graph = F("rotation", "drop", [F("feature", "f0"), F("feature", "f1", None, None, "pre")])
    elif graph_kind == "reduction":
        graph = F("rotation", "drop", [F("reduction", "mean", [filt]), F("feature", "f1")])
        bound["root.c0"] = types.SimpleNamespace(stateful=False, get_state=lambda: None)
    else:
        graph = F("rotation", "drop", [F("feature", "f0"), filt])
    kind, _ = outcome(EE.evaluate, graph, c, bound_function_instances=bound)
    assert calls or kind == "raised"


def test_rows_kept_and_written_by_an_instance_outlive_the_evaluation(ee):
    T, N = 5, 4
    kept = []

    def keeper(*rows):
        kept.extend(rows)
        for r in rows:
            r[:] = 7.0  # writes into the register file
        return rows[0]

    c = ctx(ee, [np.arange(T * N, dtype=float).reshape(T, N)])
    ee.evaluate(node("rotation", "f", feat("f0"), node("float", 1.0)), c, bound_function_instances={"root": keeper})
    del c
    gc.collect()
    assert all(r.shape == (N,) and (r == 7.0).all() for r in kept)
    kept[0][:] = 1.0  # the register file outlives the evaluation through the views
