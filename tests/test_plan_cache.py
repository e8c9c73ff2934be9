"""Streaming ticks with caller-bound instances reuse what was compiled from the graph's
collection cache entry: only while that entry and its tables are unchanged, safely across
re-entrant calls and threads, and without keeping anything of a graph that is gone."""

from __future__ import annotations

import copy
import sys

import numpy as np
import pytest

from fakes import Entry, Registry
from test_entry_points import assert_no_leak
from test_threads import run_threads
from tessaline.functions._typed_shapes import FunctionGraphNode as F
from tessaline.simulator_engine import expression_evaluator as EE
from tessaline.simulator_engine._types import FunctionExecutionError

ROWS = np.arange(8.0).reshape(2, 4)


def tick_setup(sub=lambda a, b: a - b):
    graph = F("rotation", "sub", [F("feature", "f0"), F("feature", "f1")])
    ctx = EE.EvaluationContext((ROWS[:1], ROWS[1:]), {"f0": 0, "f1": 1}, registry=Registry())
    return graph, ctx, {"root": sub}


def tick(graph, ctx, bound):
    return EE.evaluate(graph, ctx, bound_function_instances=bound).weights[0]


def reverse_record(g):
    g._collect_nodes_cache["node_info"]["root"]["children_paths"] = ["root.c1", "root.c0"]


def replace_slot(g):
    entry = copy.deepcopy(g._collect_nodes_cache)
    entry["node_info"]["root"]["children_paths"].reverse()
    g._collect_nodes_cache = entry


def reorder_graph(g):
    g.children.reverse()
    EE.invalidate_graph_evaluation_caches(g)


CHANGES = {  # change -> the root's first argument afterwards (0: f0, 1: f1)
    "record": (reverse_record, 1), "list in place": (lambda g: g._collect_nodes_cache["node_info"][
        "root"]["children_paths"].reverse(), 1), "slot replaced": (replace_slot, 1),
    "slot cleared": (lambda g: setattr(g, "_collect_nodes_cache", None), 0),
    "graph reordered": (reorder_graph, 1), "untouched": (lambda g: None, 0)}


@pytest.mark.parametrize("change", CHANGES)
def test_the_tick_follows_the_collection_cache(change):
    graph, ctx, bound = tick_setup()
    for _ in range(2):
        np.testing.assert_array_equal(tick(graph, ctx, bound), ROWS[0] - ROWS[1])
    mutate, first = CHANGES[change]
    mutate(graph)
    for _ in range(2):
        np.testing.assert_array_equal(tick(graph, ctx, bound), ROWS[first] - ROWS[1 - first])


@pytest.mark.parametrize("change, message", [
    (lambda g, c: setattr(g, "config", {"A": 1}), r"engine-only parameter\(s\): A"),
    (lambda g, c: setattr(g, "config", {"w": 1, "x": 2}), r"unknown parameter\(s\): x"),
    (lambda g, c: setattr(c, "registry", Registry({"sub": Entry({"y": "int"}, "virtualization")})),
     r"unknown parameter\(s\): w")])
def test_every_tick_checks_the_graph_against_the_registry(change, message):
    graph, ctx, bound = tick_setup()
    graph.config = {"w": 1}
    ctx.registry = Registry({"sub": Entry({"w": "int"}, "virtualization")})
    tick(graph, ctx, bound)
    change(graph, ctx)
    with pytest.raises(FunctionExecutionError, match=message):
        tick(graph, ctx, bound)


def test_a_reentrant_tick_that_rebuilds_the_plan_leaves_the_outer_one_intact():
    def sub(a, b):
        if depth:
            depth.pop()
            reorder_graph(graph)  # the inner tick compiles the graph anew
            np.testing.assert_array_equal(tick(graph, ctx, bound), ROWS[1] - ROWS[0])
        return a - b

    depth = []
    graph, ctx, bound = tick_setup(sub)
    tick(graph, ctx, bound)
    depth.append(1)
    np.testing.assert_array_equal(tick(graph, ctx, bound), ROWS[0] - ROWS[1])


def test_threads_ticking_one_graph():
    graph, _, bound = tick_setup()

    def ticks(seed):
        rows = np.random.default_rng(seed).standard_normal((2, 1, 4))
        ctx = EE.EvaluationContext(tuple(rows), {"f0": 0, "f1": 1}, registry=Registry())
        for i in range(300):
            if i % 50 == seed:
                EE.invalidate_graph_evaluation_caches(graph)
            np.testing.assert_array_equal(tick(graph, ctx, bound), rows[0, 0] - rows[1, 0])

    run_threads(ticks, [(s,) for s in range(4)])


@pytest.mark.parametrize("fresh_graph", [False, True])
def test_ticks_leave_nothing_behind(fresh_graph):
    graph, ctx, bound = tick_setup()
    assert_no_leak(lambda: tick(tick_setup()[0] if fresh_graph else graph, ctx, bound), graph, ctx, bound)



def neg_tree():
    # root: sub(neg(f0), neg(f1)), as a tick with bound instances sees it.
    graph = F("rotation", "sub", [F("rotation", "neg", [F("feature", "f0")], config={}),
                                  F("rotation", "neg", [F("feature", "f1")])])
    ctx = EE.EvaluationContext((ROWS[:1], ROWS[1:]), {"f0": 0, "f1": 1}, registry=Registry())
    return graph, ctx, {"root": lambda a, b: a - b, "root.c0": np.negative, "root.c1": np.negative}


class Meddling(Registry):
    """A registry that runs `hook` when it is first asked about "neg" (at root.c0)."""

    def __init__(self, hook):
        super().__init__()
        self.hook = hook

    def has(self, name):
        if name == "neg" and self.hook:
            self.hook()
            self.hook = None
        return False


def drop_second(g):
    g.children[1].config = {"A": 1}
    g.children.pop()  # the walk still holds it, and checks it


@pytest.mark.parametrize("change, at", [
    (lambda g, c, mp: g.children[0].config.update(A=1), "root.c0"),
    (lambda g, c, mp: g.children.__setitem__(1, F("rotation", "neg", [], {"A": 1})), "root.c1"),
    (lambda g, c, mp: mp.setattr(F, "config", property(lambda self: {"A": 1}), raising=False),
     "root"),
    (lambda g, c, mp: setattr(g.children[0], "__class__", type("Sub", (F,), {
        "config": property(lambda self: {"A": 1})})), "root.c0"),
    (lambda g, c, mp: setattr(c, "registry", Meddling(lambda: setattr(
        g.children[0], "children", [F("rotation", "neg", [], {"A": 1})]))), "root.c0.c0"),
    (lambda g, c, mp: setattr(c, "registry", Meddling(lambda: drop_second(g))), "root.c1")])
def test_a_replayed_preflight_sees_every_change(change, at, monkeypatch):
    graph, ctx, bound = neg_tree()
    for _ in range(3):  # the first tick stores the collection cache on the root
        tick(graph, ctx, bound)
    change(graph, ctx, monkeypatch)
    with pytest.raises(FunctionExecutionError, match=f"at node '{at}' config contains engine-only"):
        tick(graph, ctx, bound)


def test_a_replayed_preflight_keeps_to_the_recursion_limit():
    graph, bound, path = F("feature", "f0"), {}, "root"
    for _ in range(120):
        graph, bound[path], path = F("rotation", "neg", [graph]), np.negative, path + ".c0"
    ctx = EE.EvaluationContext((ROWS[:1],), {"f0": 0}, registry=Registry())
    tick(graph, ctx, bound)
    tick(graph, ctx, bound)
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(100)
    try:
        with pytest.raises(RecursionError, match="checking the graph's function configuration"):
            tick(graph, ctx, bound)
    finally:
        sys.setrecursionlimit(limit)
    tick(graph, ctx, bound)


@pytest.mark.parametrize("change, expected", [
    (lambda g, c, b: b.update(root=lambda x, y: x + y), ROWS[0] + ROWS[1]),
    (lambda g, c, b: c.feature_index.update(f0=1, f1=0), ROWS[1] - ROWS[0]),
    (lambda g, c, b: setattr(c, "feature_index", {"f0": 1, "f1": 0}), ROWS[1] - ROWS[0]),
    (lambda g, c, b: b.update({1: None}), ROWS[0] - ROWS[1]),
    (lambda g, c, b: b.pop("root"), "Bound function instance missing for path 'root'")])
def test_a_tick_looks_up_instances_and_features_again_after_a_change(change, expected):
    graph, ctx, bound = tick_setup()
    for _ in range(3):
        np.testing.assert_array_equal(tick(graph, ctx, bound), ROWS[0] - ROWS[1])
    change(graph, ctx, bound)
    if isinstance(expected, str):
        with pytest.raises(FunctionExecutionError, match=expected):
            tick(graph, ctx, bound)
    else:
        for _ in range(2):
            np.testing.assert_array_equal(tick(graph, ctx, bound), expected)


@pytest.mark.parametrize("attr, value, second", [
    ("features", (ROWS[1:], ROWS[:1]), ROWS[0]), ("universe", np.zeros((1, 4)), np.nan),
    ("__class__", type("Sub", (EE.EvaluationContext,), {"features": property(
        lambda self: (ROWS[1:], ROWS[1:]))}), ROWS[1])])
def test_a_leaf_reads_the_context_an_earlier_call_left(attr, value, second):
    # root: sub(neg(f0), f1); neg runs between the two leaves and changes the context.
    graph = F("rotation", "sub", [F("rotation", "neg", [F("feature", "f0")]), F("feature", "f1")])
    ctx = EE.EvaluationContext((ROWS[:1], ROWS[1:]), {"f0": 0, "f1": 1}, registry=Registry())
    change = []

    def neg(a):
        if change:
            setattr(ctx, attr, value)
        return -a

    bound = {"root": lambda a, b: a - b, "root.c0": neg}
    for _ in range(2):
        np.testing.assert_array_equal(tick(graph, ctx, bound), -ROWS[0] - ROWS[1])
    change.append(1)
    np.testing.assert_array_equal(tick(graph, ctx, bound), -ROWS[0] - second)
