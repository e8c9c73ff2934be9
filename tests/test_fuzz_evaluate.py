"""Fuzzing ``evaluate``: random and hostile graphs, contexts, registries, instances and states.

Property: ``evaluate`` returns an EvaluationResult or raises an error of the package or a
documented platform error; the interpreter survives; the caller's arrays and graph nodes
are unchanged (the context's scratch attributes and the graph's cache slots excepted); the
context's evaluation lock is released afterwards.
"""

from __future__ import annotations

import sys
import types

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from fuzz_strategies import (FN_MEAN, FN_ROLL, FakeInstance, FakeRegistry, INSTANCE_BEHAVIOURS,
                             SCRATCH, Raiser, Snapshot, build_context, context_kwargs, deep_chain,
                             fuzz_settings, graph_for, graph_nodes, odd_objects, outcome)
from tessaline.functions._typed_shapes import FunctionGraphNode, FunctionState
from tessaline.simulator_engine import expression_evaluator as EE

PATHS = ("root", "root.c0", "root.c1", "root.c0.c0", "root.c1.c0", "root.c2")
KINDS = ("leaf", "rank", "rank_multiply", "longitudinal", "general")

FUNCTION_STATES = st.one_of(
    st.none(), st.none(), st.none(), st.none(), st.builds(dict),
    st.dictionaries(st.sampled_from(PATHS), st.one_of(
        st.builds(FunctionState, st.just(FN_ROLL), st.just("1"),
                  st.fixed_dictionaries({"count": st.integers(0, 5),
                                         "window": st.integers(0, 4)})),
        odd_objects()), max_size=3),
    odd_objects())
NAN_FEATURES = st.one_of(st.none(), st.none(), st.none(), st.none(), st.sampled_from(((), ("f0",), ["f1", "f0"], {"f2"})),
                         odd_objects())


@st.composite
def bound_instances(draw, registry):
    if draw(st.integers(0, 3)):
        return None
    out = {}
    for p in draw(st.lists(st.sampled_from(PATHS), max_size=4, unique=True)):
        kind = draw(st.integers(0, 6))
        if kind == 0:
            out[p] = None
        elif kind == 1:
            out[p] = draw(odd_objects())
        else:
            out[p] = FakeInstance("bound", draw(st.sampled_from(INSTANCE_BEHAVIOURS)),
                                  stateful=draw(st.booleans()), registry=registry)
    return out


def _mutates_graph(ctx, kwargs):
    # Instances told to clear the graph's children change it on purpose.
    reg = getattr(ctx, "registry", None)
    behaviours = [reg.instance_behaviour if isinstance(reg, FakeRegistry) else None]
    bound = kwargs.get("bound_function_instances")
    if isinstance(bound, dict):
        behaviours += [i.behaviour for i in bound.values() if isinstance(i, FakeInstance)]
    return "mutate_graph" in behaviours


def run_evaluate(graph, ctx, *args, **kwargs):
    snap = Snapshot(graph, ctx, *args, *kwargs.values(), skip_context_attrs=SCRATCH)
    snap.hostile |= _mutates_graph(ctx, kwargs)
    kind, value = outcome(EE.evaluate, graph, ctx, *args, **kwargs)
    snap.assert_unchanged("evaluate")
    lock = getattr(ctx, "_evaluation_lock", None)
    if lock is not None and hasattr(lock, "_is_owned"):
        assert not lock._is_owned(), "evaluate left the context's lock held"
    if kind == "ok":
        assert isinstance(value, EE.EvaluationResult)
        assert len(value) == 2
    return kind, value


def _attach(ctx, graph):
    reg = getattr(ctx, "registry", None)
    if isinstance(reg, FakeRegistry):
        reg.context, reg.graph = ctx, graph


GRAPHS = st.one_of(graph_nodes(odd=False), graph_nodes(odd=True),
                   st.sampled_from(KINDS).map(lambda k: graph_for(k)))
CONTEXTS = st.one_of(context_kwargs(odd=True, module=EE), context_kwargs(odd=False, module=EE))


PRECOMPUTED = st.one_of(
    st.builds(lambda T, N: np.arange(T * N, dtype=float).reshape(T, N),
              st.integers(0, 6), st.integers(0, 5)),
    st.builds(lambda n: [[1.0] * n] * 6, st.integers(0, 5)),
    st.builds(lambda: np.zeros((6, 2, 2))),
    st.builds(lambda: "string"),
    odd_objects())
HIDDEN = st.fixed_dictionaries({}, optional={
    "_precomputed_node_outputs": st.one_of(
        st.dictionaries(st.sampled_from(("cid0", "cid1")), PRECOMPUTED, max_size=2),
        odd_objects()),
    "_precomputed_node_nan_source": st.one_of(
        st.dictionaries(st.sampled_from(("cid0", "cid1")),
                        st.sampled_from(("data_nan", "other")), max_size=2),
        odd_objects()),
    "_collect_node_outputs": odd_objects(),
    "_collect_states": odd_objects(),
    "_skip_evaluation_shape_validation": st.booleans(),
})


@fuzz_settings(200)
@given(data=st.data())
def test_evaluate_random_graphs_and_contexts(data):
    graph = data.draw(GRAPHS)
    ctx = build_context(EE, data.draw(CONTEXTS))
    for key, value in data.draw(HIDDEN).items():
        setattr(ctx, key, value)
    _attach(ctx, graph)
    registry = getattr(ctx, "registry", None)
    run_evaluate(graph, ctx, data.draw(FUNCTION_STATES), data.draw(st.booleans()),
                 bound_function_instances=data.draw(bound_instances(registry)),
                 data_nan_features=data.draw(NAN_FEATURES))


@pytest.mark.parametrize("kind", KINDS)
@fuzz_settings(40)
@given(data=st.data())
def test_evaluate_each_path_with_hostile_context(kind, data):
    graph = graph_for(kind)
    ctx = build_context(EE, data.draw(CONTEXTS))
    _attach(ctx, graph)
    run_evaluate(graph, ctx, data.draw(FUNCTION_STATES), data.draw(st.booleans()),
                 data_nan_features=data.draw(NAN_FEATURES))
    # A second evaluation with the same (possibly rewritten) context must be as safe.
    run_evaluate(graph, ctx)


@fuzz_settings(40)
@given(data=st.data(), behaviour=st.sampled_from(INSTANCE_BEHAVIOURS))
def test_misbehaving_instances_on_the_general_path(data, behaviour):
    kw = data.draw(context_kwargs(odd=False, module=EE, T=4, N=3))
    reg = FakeRegistry(instance_behaviour=behaviour, module=EE, width=3,
                       state_behaviour=data.draw(st.sampled_from(("ok", "raise", "weird"))))
    kw["registry"] = reg
    ctx = build_context(EE, kw)
    graph = graph_for("general")
    reg.context, reg.graph = ctx, graph
    run_evaluate(graph, ctx, None, data.draw(st.booleans()))


def test_evaluate_with_foreign_context_objects():
    duck = types.SimpleNamespace(
        features=(np.zeros((2, 2)),), feature_index={"f0": 0}, universe=None, useful_signals={},
        transform_pipeline=[], metaparameters={}, registry=None, universe_mask=None)
    contexts = [None, 3, Raiser(), {}, object(), duck]
    for lock in (None, 3, Raiser(), object()):
        ctx = EE.EvaluationContext((np.zeros((2, 2)),), {"f0": 0})
        ctx._evaluation_lock = lock
        contexts.append(ctx)
    for ctx in contexts:
        outcome(EE.evaluate, FunctionGraphNode("feature", "f0"), ctx)


# ---------------------------------------------------------------------------------------
# Deep and cyclic graphs end in RecursionError, never in a stack overflow.


def _context(T=3, N=2, registry=None):
    return EE.EvaluationContext((np.arange(T * N, dtype=float).reshape(T, N),) * 2,
                                {"f0": 0, "f1": 1}, registry=registry)


WALKS = ("generate_node_identities", "invalidate_graph_evaluation_caches",
         "_annotate_state_identities")
FILTER_WALKS = ("_dict_to_filter_node", "_describe_dict_filter")


def assert_walks_end_in_recursion_error(graph, registry, names):
    for name in names:
        args = (graph, registry) if name == "_compute_graph_warmup_rows" else (graph,)
        kind, value = outcome(getattr(EE, name), *args)
        assert kind == "raised" and isinstance(value, RecursionError), (name, value)
        if name == "generate_node_identities":  # a failed walk leaves no cache behind
            assert EE._graph_cache_get(graph, "_node_identities") is None


@pytest.mark.parametrize("depth, inner", [
    (d, i) for d in (50, 3000) for i in (("rotation", FN_MEAN), ("filtration", "filtration"),
                                         ("and_", "and_"), ("reduction", "fz_reduce"))
] + [(200000, ("rotation", FN_MEAN)), (200000, ("not_", "not_"))])
def test_deep_graphs(depth, inner):
    graph = deep_chain(depth, *inner)
    ctx = _context(registry=FakeRegistry(module=EE, width=2))
    names = WALKS + ("_compute_graph_warmup_rows",) + (
        FILTER_WALKS if inner[0] in ("filtration", "and_", "not_") else ())
    if depth < sys.getrecursionlimit():
        run_evaluate(graph, ctx)
        for name in names:
            outcome(getattr(EE, name), *((graph, ctx.registry) if "warmup" in name else (graph,)))
        return
    kind, value = run_evaluate(graph, ctx)
    assert kind == "raised" and isinstance(value, RecursionError), value
    assert_walks_end_in_recursion_error(graph, ctx.registry, names)


@pytest.mark.parametrize("shape", ["self", "parent", "grandparent", "through_reduction",
                                   "shared_child", "filter_loop"])
def test_cyclic_graphs(shape):
    F = FunctionGraphNode
    leaf = F("feature", "f0")
    root = F("rotation", FN_MEAN, [F("rotation", FN_MEAN, [leaf])])
    if shape == "self":
        root.children.append(root)
    elif shape == "parent":
        root.children[0].children.append(root)
    elif shape == "grandparent":
        root.children[0].children.append(F("rotation", FN_MEAN, [root]))
    elif shape == "through_reduction":
        root.children[0] = F("reduction", "fz_reduce", [root])
    elif shape == "filter_loop":
        root = F("and_", "and_", [])
        root.children.append(F("or_", "or_", [root]))
    else:
        root.children.append(root.children[0])  # a DAG, not a tree
    ctx = _context(registry=FakeRegistry(module=EE, width=2))
    kind, value = run_evaluate(graph := root, ctx)
    for name in WALKS + FILTER_WALKS:
        outcome(getattr(EE, name), graph)
    outcome(EE._compute_graph_warmup_rows, graph, ctx.registry)
    outcome(EE._attach_stage_data_feature_leaves, graph, ctx)
    if shape == "shared_child":
        return
    assert kind == "raised" and isinstance(value, RecursionError), value
    assert_walks_end_in_recursion_error(graph, ctx.registry, WALKS + (
        "_compute_graph_warmup_rows",) + (FILTER_WALKS if shape == "filter_loop" else ()))


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0), (1, 1), (2, 1)])
@pytest.mark.parametrize("kind", KINDS)
def test_empty_and_tiny_shapes_on_every_path(shape, kind):
    # Regression: a rank row without any cell passed a null scratch pointer to memset.
    T, N = shape
    rng = np.random.default_rng(1)
    ctx = EE.EvaluationContext(
        (rng.standard_normal(shape), rng.standard_normal(shape)), {"f0": 0, "f1": 1},
        universe=np.ones(shape), registry=FakeRegistry(module=EE, width=N))
    graph = graph_for(kind)
    kind_, value = run_evaluate(graph, ctx)
    if kind_ == "ok":
        assert np.asarray(value).shape == shape
    for fn in (EE._evaluate_simple_rank_fast, EE._evaluate_rank_multiply_fast):
        outcome(fn, graph_for("rank_multiply") if fn is EE._evaluate_rank_multiply_fast
                else graph_for("rank"), ctx)
    outcome(EE._rolling_longitudinal_fast, ctx.features[0], 2,
            "longitudinal_accumulators_250f46")
