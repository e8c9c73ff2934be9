"""Threads: evaluations with different contexts run independently and agree with a single
thread; evaluations sharing one context are serialised by its lock; the array kernels let
other threads run while they work."""

from __future__ import annotations

import threading

import numpy as np
import pytest

from driver_fakes import Registry
from fuzz_strategies import graph_for, sharpe_reduction
from tessaline.functions._typed_shapes import FunctionGraphNode
from tessaline.functions.registry import default_registry
from tessaline.simulator_engine import expression_evaluator as EE
from tessaline.simulator_engine._types import UsefulSignal

F = FunctionGraphNode
THREADS = 8


def _matrix(seed, T=40, N=30, ties=False):
    rng = np.random.default_rng(seed)
    m = rng.standard_normal((T, N))
    m[rng.random((T, N)) < 0.05] = np.nan
    if ties:
        m[::3, :2] = 1.0
    return m


def _context(seed, **kw):
    rng = np.random.default_rng(seed + 1000)
    base = dict(features=(_matrix(seed), _matrix(seed + 1), _matrix(seed + 2, ties=True)),
                feature_index={"f0": 0, "f1": 1, "f2": 2},
                universe=np.where(rng.random((40, 30)) < 0.1, 0.0, 1.0),
                registry=default_registry())
    base.update(kw)
    return EE.EvaluationContext(**base)


def _signals(seed):
    rng = np.random.default_rng(seed)
    return {f"s{i}": UsefulSignal(weights=rng.standard_normal((40, 30)),
                                  pnl=rng.standard_normal((40, 2)),
                                  metadata={"sharpe": float(i)}) for i in range(4)}


GRAPHS = {
    "leaf": graph_for("leaf"),
    "rank": graph_for("rank"),
    "rank_multiply": graph_for("rank_multiply"),
    "rank_ties": F("rotation", "virtualization_runtime_transform_acbc9b", [F("feature", "f2")]),
    "general": F("rotation", "longitudinal_accumulators_250f46", [
        F("rotation", "transform_demean_3c8a51", [F("feature", "f1")]), F("int", 4)]),
    "reduction": sharpe_reduction(),
}


def _job(kind, seed):
    kw = {}
    if kind == "reduction":
        kw = dict(useful_signals=_signals(seed), column_labels=["gross_returns", "net"])
    return GRAPHS[kind], _context(seed, **kw)


def _run(kind, seed):
    graph, ctx = _job(kind, seed)
    result = EE.evaluate(graph, ctx)
    return np.array(result.weights, copy=True), {k: v.data for k, v in result.states.items()}


def _same(a, b):
    return np.array_equal(a[0], b[0], equal_nan=True) and a[1].keys() == b[1].keys()


def run_threads(target, args_list):
    """Run ``target`` once per argument tuple, each in its own thread; re-raise failures."""
    errors = []

    def wrapped(*args):
        try:
            target(*args)
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=wrapped, args=a) for a in args_list]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors


def test_many_threads_on_different_contexts_agree_with_one_thread():
    jobs = [(kind, seed) for seed in range(3) for kind in GRAPHS]
    expected = {job: _run(*job) for job in jobs}
    got = {}
    barrier = threading.Barrier(THREADS)

    def worker(i):
        barrier.wait()
        for r in range(3):
            for job in jobs[i::THREADS] + jobs[(i + r) % len(jobs)::len(jobs)]:
                got.setdefault(job, []).append(_run(*job))

    run_threads(worker, [(i,) for i in range(THREADS)])
    assert set(got) == set(jobs)
    for job, results in got.items():
        assert all(_same(r, expected[job]) for r in results), job


def test_threads_sharing_one_context_are_serialised():
    # Four threads evaluate on one context; a function that sees two of them inside at once
    # means the context's lock did not hold.
    guard, seen = threading.Lock(), {"active": 0, "max": 0, "calls": 0}

    def rec(row, context=None):
        with guard:
            seen["active"] += 1
            seen["max"] = max(seen["max"], seen["active"])
            seen["calls"] += 1
        threading.Event().wait(0.0005)  # drops the GIL: the others get every chance to enter
        with guard:
            seen["active"] -= 1
        return np.array(row, dtype=np.float64)

    ctx = _context(0, registry=Registry().add("rec", lambda **c: rec))
    graph = F("rotation", "rec", [F("feature", "f0")])
    run_threads(lambda: [EE.evaluate(graph, ctx) for _ in range(3)], [()] * 4)
    assert seen["calls"] == 4 * 3 * 40 and seen["max"] == 1


def test_threads_on_different_contexts_run_at_the_same_time():
    # Each evaluation waits inside its function until the other one is inside too: this
    # completes only if nothing serialises evaluations of different contexts.
    barrier, seen = threading.Barrier(2, timeout=30), []

    def meet(row):
        if threading.get_ident() not in seen:
            barrier.wait()
            seen.append(threading.get_ident())
        return np.array(row, dtype=np.float64)

    graph = F("rotation", "meet", [F("feature", "f0")])
    run_threads(lambda seed: EE.evaluate(graph, _context(seed, registry=None),
                                         bound_function_instances={"root": meet}),
                [(1,), (2,)])
    assert len(set(seen)) == 2


@pytest.mark.parametrize("kernel", ["rank", "rank_multiply", "rolling"])
def test_kernels_running_without_the_gil_in_many_threads_agree(kernel):
    # The array kernels run with the GIL released: several at once, on different inputs,
    # must each give what they give alone. (The speed-up is in benchmarks/bench_threads.py.)
    rng = np.random.default_rng(11)
    if kernel == "rolling":
        inputs = [rng.standard_normal((20000, 8)) for _ in range(4)]

        def call(x):
            return EE._rolling_longitudinal_fast(x, 20, "longitudinal_accumulators_250f46")
    else:
        inputs = [EE.EvaluationContext((rng.standard_normal((200, 500)),
                                        rng.standard_normal((200, 500))), {"f0": 0, "f1": 1})
                  for _ in range(4)]
        graph = graph_for(kernel)
        fn = EE._evaluate_simple_rank_fast if kernel == "rank" else \
            EE._evaluate_rank_multiply_fast

        def call(ctx):
            return fn(graph, ctx)

    expected = [call(x) for x in inputs]
    results = [[] for _ in inputs]
    barrier = threading.Barrier(len(inputs))

    def worker(i):
        barrier.wait()
        results[i].extend(call(inputs[i]) for _ in range(5))

    run_threads(worker, [(i,) for i in range(len(inputs))])
    for exp, got in zip(expected, results):
        assert all(np.array_equal(exp, g, equal_nan=True) for g in got)


# ---------------------------------------------------------------------------------------
# Hostile concurrency: shared graphs and contexts rewritten from another thread.


def _churn(stop, action):
    def run():
        while not stop.is_set():
            action()
    return threading.Thread(target=run)


def test_one_graph_evaluated_by_many_contexts_while_its_caches_are_cleared():
    # Bound instances make the collected nodes cacheable on the graph object; another thread
    # keeps clearing that cache while the evaluations read it.
    graph = F("rotation", "sum", [F("rotation", "inner", [F("feature", "f0")]),
                                  F("feature", "f1")])

    def instances():
        return {"root": lambda a, b: np.asarray(a) + np.asarray(b),
                "root.c0": lambda a: np.asarray(a) * 2.0}

    expected = {s: np.array(EE.evaluate(graph, _context(s, registry=None),
                                        bound_function_instances=instances()).weights)
                for s in range(4)}
    stop = threading.Event()
    churn = _churn(stop, lambda: EE.invalidate_graph_evaluation_caches(graph))

    def worker(seed):
        ctx = _context(seed, registry=None)
        for _ in range(15):
            out = EE.evaluate(graph, ctx, bound_function_instances=instances())
            assert np.array_equal(out.weights, expected[seed], equal_nan=True)

    churn.start()
    try:
        run_threads(worker, [(s,) for s in range(4)])
    finally:
        stop.set()
        churn.join()


@pytest.mark.parametrize("kind", ["general", "reduction"])
def test_context_rewritten_by_another_thread_during_evaluation(kind):
    # The lock does not guard writes made outside evaluate: results may be anything and
    # errors may be raised, but the process must survive.
    graph, ctx = _job(kind, 9)
    rng = np.random.default_rng(0)
    spare = [_matrix(s) for s in range(3)]
    stop = threading.Event()
    step = [0]
    rewrites = (
        lambda: setattr(ctx, "features", tuple(spare)),
        lambda: setattr(ctx, "features", (np.zeros((3, 3)),)),
        lambda: setattr(ctx, "universe", None if step[0] % 4 else np.ones((40, 30))),
        lambda: [setattr(sig, "weights", rng.standard_normal((40, 30)))
                 for sig in list(ctx.useful_signals.values())],
        lambda: (setattr(ctx, "registers", None), setattr(ctx, "extraction_buffer", None)),
        lambda: setattr(ctx, "feature_index", {"f0": 0, "f1": 1, "f2": 2}),
    )

    def rewrite():
        step[0] += 1
        rewrites[step[0] % 6]()

    churn = _churn(stop, rewrite)
    churn.start()
    try:
        for _ in range(30):
            try:
                EE.evaluate(graph, ctx)
            except (EE.EvaluationError, ValueError, TypeError, IndexError, KeyError):
                pass
    finally:
        stop.set()
        churn.join()


@pytest.mark.parametrize("inner_kind", ["leaf", "rank", "general", "reduction"])
def test_reentrant_evaluations_do_not_disturb_the_outer_one(inner_kind):
    # A function of the outer evaluation evaluates another graph on the same context at
    # every row; the inner calls rewrite the context's scratch attributes, the outer result
    # must be what it is without them.
    graph = F("rotation", "outer", [
        F("reduction", "mean", [F("filtration", "filtration", [
            F("gt", "gt", [F("string", "sharpe"), F("float", 0.5)])])]),
        F("feature", "f1")])

    def run(reenter):
        ctx = _context(4, useful_signals=_signals(4), column_labels=["gross_returns", "net"])
        inner_graph = GRAPHS[inner_kind]

        def outer(a, b):
            if reenter:
                EE.evaluate(inner_graph, ctx)
            return np.asarray(a) - np.asarray(b)

        mean = type("Mean", (), {"stateful": False, "get_state": lambda self: None})()
        out = EE.evaluate(graph, ctx, bound_function_instances={"root": outer,
                                                                "root.c0": mean})
        return np.array(out.weights)

    assert np.array_equal(run(False), run(True), equal_nan=True)
