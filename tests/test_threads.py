"""Threads: evaluations of different contexts run at once and agree with one thread, those
sharing a context are serialised by its lock, the kernels run without the GIL, and shared
graphs and contexts rewritten from elsewhere never crash the process."""

from __future__ import annotations

import threading

import numpy as np
import pytest

from fakes import Registry, graph_for
from tessaline.functions._typed_shapes import FunctionGraphNode as F
from tessaline.functions.registry import default_registry
from tessaline.simulator_engine import expression_evaluator as EE
from tessaline.simulator_engine._types import UsefulSignal

THREADS = 8
GRAPHS = {k: graph_for(k) for k in ("leaf", "rank", "rank_multiply", "reduction")}
GRAPHS["rank_ties"] = F("rotation", "virtualization_runtime_transform_acbc9b", [F("feature", "f2")])
GRAPHS["general"] = F("rotation", "longitudinal_accumulators_250f46", [
    F("rotation", "transform_demean_3c8a51", [F("feature", "f1")]), F("int", 4)])


def _context(seed, signals=False, **kw):
    rng = np.random.default_rng(seed)
    feats = [rng.standard_normal((40, 30)) for _ in range(3)]
    for m in feats:
        m[rng.random((40, 30)) < 0.05] = np.nan
    feats[2][::3, :2] = 1.0
    sigs = {f"s{i}": UsefulSignal(weights=rng.standard_normal((40, 30)), pnl=rng.standard_normal((40, 2)),
                                     metadata={"sharpe": float(i)}) for i in range(4)}
    return EE.EvaluationContext(**dict(dict(
        features=tuple(feats), feature_index={"f0": 0, "f1": 1, "f2": 2}, useful_signals=sigs if signals else {},
        universe=np.where(rng.random((40, 30)) < 0.1, 0.0, 1.0), registry=default_registry(),
        column_labels=["gross_returns", "net"]), **kw))


def _run(kind, seed):
    result = EE.evaluate(GRAPHS[kind], _context(seed, signals=kind == "reduction"))
    return np.array(result.weights, copy=True), sorted(result.states)


def run_threads(target, args_list):
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
    got, barrier = {}, threading.Barrier(THREADS)

    def worker(i):
        barrier.wait()
        for r in range(3):
            for job in jobs[i::THREADS] + jobs[(i + r) % len(jobs)::len(jobs)]:
                got.setdefault(job, []).append(_run(*job))

    run_threads(worker, [(i,) for i in range(THREADS)])
    assert set(got) == set(jobs)
    for job, results in got.items():
        assert all(np.array_equal(w, expected[job][0], equal_nan=True) and s == expected[job][1]
                   for w, s in results), job


def test_one_context_serialises_and_different_contexts_do_not():
    guard, seen = threading.Lock(), {"active": 0, "max": 0, "calls": 0}

    def rec(row, context=None):
        with guard:
            seen["active"] += 1
            seen["max"], seen["calls"] = max(seen["max"], seen["active"]), seen["calls"] + 1
        threading.Event().wait(0.0005)  # drops the GIL: the others get every chance to enter
        with guard:
            seen["active"] -= 1
        return np.array(row, dtype=np.float64)

    c = _context(0, registry=Registry().add("rec", lambda **cfg: rec))
    graph = F("rotation", "rec", [F("feature", "f0")])
    run_threads(lambda: [EE.evaluate(graph, c) for _ in range(3)], [()] * 4)
    assert seen["calls"] == 4 * 3 * 40 and seen["max"] == 1
    # Each evaluation waits inside its function until the other is inside too.
    barrier, met = threading.Barrier(2, timeout=30), []

    def meet(row):
        if threading.get_ident() not in met:
            barrier.wait()
            met.append(threading.get_ident())
        return np.array(row, dtype=np.float64)

    run_threads(lambda seed: EE.evaluate(F("rotation", "meet", [F("feature", "f0")]), _context(seed, registry=None),
                                         bound_function_instances={"root": meet}), [(1,), (2,)])
    assert len(set(met)) == 2


@pytest.mark.parametrize("kernel", ["rank", "rank_multiply", "rolling"])
def test_kernels_without_the_gil_in_many_threads_agree(kernel):
    rng = np.random.default_rng(11)
    if kernel == "rolling":
        inputs = [rng.standard_normal((20000, 8)) for _ in range(4)]

        def call(x):
            return EE._rolling_longitudinal_fast(x, 20, "longitudinal_accumulators_250f46")
    else:
        inputs = [EE.EvaluationContext((rng.standard_normal((200, 500)), rng.standard_normal((200, 500))),
                                       {"f0": 0, "f1": 1}) for _ in range(4)]
        fn = EE._evaluate_simple_rank_fast if kernel == "rank" else EE._evaluate_rank_multiply_fast

        def call(c):
            return fn(graph_for(kernel), c)

    expected = [call(x) for x in inputs]
    results, barrier = [[] for _ in inputs], threading.Barrier(len(inputs))

    def worker(i):
        barrier.wait()
        results[i].extend(call(inputs[i]) for _ in range(5))

    run_threads(worker, [(i,) for i in range(len(inputs))])
    assert all(np.array_equal(e, g, equal_nan=True) for e, got in zip(expected, results) for g in got)


def churning(action, body):
    """Runs ``body`` while another thread keeps running ``action``."""
    stop = threading.Event()
    churn = threading.Thread(target=lambda: [action() for _ in iter(stop.is_set, True)])
    churn.start()
    try:
        body()
    finally:
        stop.set()
        churn.join()


def test_one_graph_evaluated_by_many_contexts_while_its_caches_are_cleared():
    # Bound instances make the collected nodes cacheable on the graph; another thread keeps
    # clearing that cache while the evaluations read it.
    graph = F("rotation", "sum", [F("rotation", "inner", [F("feature", "f0")]), F("feature", "f1")])

    def instances():
        return {"root": lambda a, b: np.asarray(a) + np.asarray(b), "root.c0": lambda a: np.asarray(a) * 2.0}

    expected = {s: np.array(EE.evaluate(graph, _context(s, registry=None), bound_function_instances=instances())
                            .weights) for s in range(4)}
    def worker(seed):
        c = _context(seed, registry=None)
        for _ in range(15):
            out = EE.evaluate(graph, c, bound_function_instances=instances())
            assert np.array_equal(out.weights, expected[seed], equal_nan=True)

    churning(lambda: EE.invalidate_graph_evaluation_caches(graph),
             lambda: run_threads(worker, [(s,) for s in range(4)]))


@pytest.mark.parametrize("kind", ["general", "reduction"])
def test_context_rewritten_by_another_thread_during_evaluation(kind):
    # The lock does not guard writes made outside evaluate: results and errors may be
    # anything, but the process must survive.
    c, rng, step = _context(9, signals=kind == "reduction"), np.random.default_rng(0), [0]
    spare = tuple(rng.standard_normal((40, 30)) for _ in range(3))
    rewrites = (
        lambda: setattr(c, "features", spare), lambda: setattr(c, "features", (np.zeros((3, 3)),)),
        lambda: setattr(c, "universe", None if step[0] % 4 else np.ones((40, 30))),
        lambda: [setattr(s, "weights", rng.standard_normal((40, 30))) for s in list(c.useful_signals.values())],
        lambda: (setattr(c, "registers", None), setattr(c, "extraction_buffer", None)),
        lambda: setattr(c, "feature_index", {"f0": 0, "f1": 1, "f2": 2}),
    )

    def rewrite():
        step[0] += 1
        rewrites[step[0] % 6]()

    def evaluations():
        for _ in range(30):
            try:
                EE.evaluate(GRAPHS[kind], c)
            except (EE.EvaluationError, ValueError, TypeError, IndexError, KeyError):
                pass

    churning(rewrite, evaluations)


@pytest.mark.parametrize("inner_kind", ["leaf", "rank", "general", "reduction"])
def test_reentrant_evaluations_do_not_disturb_the_outer_one(inner_kind):
    # A function of the outer evaluation evaluates another graph on the same context at every
    # row, rewriting the context's scratch attributes; the outer result must not change.
    graph = F("rotation", "outer", [F("reduction", "mean", [F("filtration", "filtration", [
        F("gt", "gt", [F("string", "sharpe"), F("float", 0.5)])])]), F("feature", "f1")])

    def run(reenter):
        c = _context(4, signals=True)

        def outer(a, b):
            if reenter:
                EE.evaluate(GRAPHS[inner_kind], c)
            return np.asarray(a) - np.asarray(b)

        mean = type("Mean", (), {"stateful": False, "get_state": lambda self: None})()
        return np.array(EE.evaluate(graph, c, bound_function_instances={"root": outer, "root.c0": mean}).weights)

    assert np.array_equal(run(False), run(True), equal_nan=True)
