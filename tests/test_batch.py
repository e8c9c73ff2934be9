"""Batch evaluation on local threads and on a Dask cluster of two worker processes, and what
travels to a worker: graphs without their caches, contexts with arrays out of band."""

import copy
import pickle
import threading

import numpy as np
import pytest

from tessaline.functions._typed_shapes import FunctionGraphNode as N
from tessaline.simulator_engine import batch
from tessaline.simulator_engine._types import EvaluationError, FunctionExecutionError, TransformStage, UsefulSignal
from tessaline.simulator_engine.batch import evaluate_many

RANK = "virtualization_runtime_transform_acbc9b"
FEATURES = ("close", "volume", "spread")


def make_context(ee, T=40, N_=9, seed=11):
    rng = np.random.default_rng(seed)
    feats = tuple(rng.normal(size=(T, N_)) for _ in FEATURES)
    feats[1][rng.random((T, N_)) < 0.1] = np.nan
    universe = (rng.random((T, N_)) > 0.15).astype(np.float64)
    return ee.EvaluationContext(feats, {n: i for i, n in enumerate(FEATURES)}, universe=universe)


def simple_graphs(count):
    """Leaves and cross-sectional ranks over the three features, in a fixed mix."""
    leaves = [N("feature", FEATURES[i % 3]) for i in range(count)]
    return [leaf if i % 2 else N("rotation", RANK, [leaf]) for i, leaf in enumerate(leaves)]


def failing_graph():
    return N("rotation", RANK, [N("feature", "missing")])


def serial(ee, graphs):
    """The reference: one fresh context per graph, evaluated in a plain loop."""
    out = []
    for g in graphs:
        try:
            out.append(np.array(ee.evaluate(g, make_context(ee)).weights))
        except Exception as exc:
            out.append(exc)
    return out


@pytest.fixture
def where(request):
    """Where evaluate_many runs: keyword arguments for local threads or the Dask cluster."""
    return lambda kind: {"workers": 2} if kind == "threads" else {"client": request.getfixturevalue("client")}


def nan_profile(weights, context):
    """A small summary computed next to the weights: NaN count per row and the total."""
    return np.isnan(weights).sum(axis=1), float(np.nansum(weights)), len(context.features)


# --------------------------------------------------------------------------------------------
# failures on their way back from a worker


class TwoArgError(Exception):
    """Cannot travel by pickle: it holds a lock (an __init__ that plain pickle could not
    call again is not enough, because distributed's exception pickling rebuilds those)."""

    def __init__(self, code, text):
        super().__init__(f"{code}: {text}")
        self.lock = threading.Lock()


def test_failures_keep_their_cause_across_a_pickle(ee, monkeypatch):
    def fake_evaluate(graph, context):
        if graph.node == "chained":
            try:
                1 / 0
            except ZeroDivisionError as exc:
                raise FunctionExecutionError("Function 'f' failed") from exc
        if graph.node == "odd":
            raise TwoArgError(7, "odd")
        return np.ones((1, 1))

    monkeypatch.setattr(ee, "evaluate", fake_evaluate, raising=False)
    graphs = [N("feature", "chained"), N("feature", "ok"), N("feature", "odd")]
    shipped = pickle.loads(pickle.dumps(batch._evaluate_batch(make_context(ee), graphs)))
    first, ok, odd = (getattr(s, "exc", s) for s in shipped)
    assert type(first) is FunctionExecutionError and str(first) == "Function 'f' failed"
    assert type(first.__cause__) is ZeroDivisionError
    assert any("fake_evaluate" in note for note in first.__notes__)
    np.testing.assert_array_equal(ok, np.ones((1, 1)))
    # an exception that cannot be rebuilt from its pickle travels as a RuntimeError
    assert type(odd) is RuntimeError and str(odd) == f"{__name__}.TwoArgError: 7: odd"


# --------------------------------------------------------------------------------------------
# local threads


@pytest.mark.parametrize("workers, batch_size, summarize", [
    (2, None, False), (2, 1, False), (3, 7, True), (1, None, False), ("cluster", 10, True)])
def test_matches_a_serial_loop(ee, where, workers, batch_size, summarize):
    graphs = simple_graphs(23)
    graphs.insert(9, failing_graph())
    ctx = make_context(ee)
    got = evaluate_many(graphs, ctx, batch_size=batch_size, progress=False,
                        summarize=nan_profile if summarize else None,
                        **(where(workers) if workers == "cluster" else {"workers": workers}))
    assert type(got[9]) is EvaluationError and str(got[9]) == "Feature 'missing' not in context"
    for g, w in zip(got, serial(ee, graphs), strict=True):
        if isinstance(w, Exception):
            assert type(g) is type(w) and str(g) == str(w)
        elif summarize:  # the summary, computed next to the weights, replaces them
            np.testing.assert_array_equal(g[0], np.isnan(w).sum(axis=1))
            assert g[1:] == (float(np.nansum(w)), 3)
        else:
            assert isinstance(g, np.ndarray) and np.array_equal(g, w, equal_nan=True)
    # the caller's context is left as it was handed in
    assert ctx.registers is None and ctx.current_day_index == 0
    assert set(ctx.feature_index) == set(FEATURES)


@pytest.mark.parametrize("kind", ["threads", "cluster"])
def test_errors_raise_stops_at_the_failure(ee, where, kind):
    graphs = simple_graphs(5) + [failing_graph()] + simple_graphs(5)
    # On the cluster the worker's traceback follows as a note.
    end = "$" if kind == "threads" else "\n"
    with pytest.raises(EvaluationError, match="^Feature 'missing' not in context" + end):
        evaluate_many(graphs, make_context(ee), batch_size=4, errors="raise", progress=False,
                      **where(kind))


def test_transform_pipeline_is_combined_for_every_graph(ee, monkeypatch):
    """A serial loop on one context would combine the pipeline into the first graph only."""
    ctx = make_context(ee)
    ctx.transform_pipeline = [TransformStage("scale")]
    seen = []

    def fake_evaluate(graph, context):
        seen.append(len(context.transform_pipeline))
        context.transform_pipeline = []
        context.feature_index["stage_leaf"] = len(context.features)
        context.features = context.features + (context.features[0],)
        return np.zeros((1, 1))

    monkeypatch.setattr(ee, "evaluate", fake_evaluate, raising=False)
    evaluate_many([N("feature", "close")] * 6, ctx, workers=1, batch_size=6, progress=False)
    assert seen == [1] * 6
    assert len(ctx.transform_pipeline) == 1 and "stage_leaf" not in ctx.feature_index
    assert len(ctx.features) == 3


def test_threads_own_their_lock_and_scratch(ee, monkeypatch):
    """Two evaluations hold their context's lock at the same time; neither sees the other's
    registers or extraction buffer, and the caller's buffer stays zero."""
    T, N_ = 5, 3
    ctx = ee.EvaluationContext((np.ones((T, N_)),), {"close": 0},
                               {"s": UsefulSignal(weights=np.ones((T, N_)))})
    both_inside = threading.Barrier(2)

    def fake_evaluate(graph, context):
        assert context is not ctx and context._evaluation_lock is not ctx._evaluation_lock
        assert context.features is ctx.features  # arrays are shared, not copied
        with context._evaluation_lock:
            before = (context.registers, float(context.extraction_buffer.sum()))
            context.extraction_buffer[:] = graph.node
            context.registers = np.full((1, N_), graph.node)
            both_inside.wait(timeout=30)
        return np.array([before[0] is None, before[1]])

    monkeypatch.setattr(ee, "evaluate", fake_evaluate, raising=False)
    got = evaluate_many([N("int", 1), N("int", 2)], ctx, workers=2, batch_size=1,
                        progress=False)
    for r in got:
        assert not isinstance(r, Exception), r
        assert r.tolist() == [1.0, 0.0]
    assert not ctx.extraction_buffer.any() and ctx.registers is None


@pytest.mark.parametrize("workers", [1, 2])
def test_results_and_summaries_never_share_the_context_arrays(ee, workers):
    ctx = ee.EvaluationContext((np.ones((4, 3)),), {"close": 0})  # no universe: a leaf is
    graphs = [N("feature", "close")] * 4                          # the feature array itself

    def doubled_in_place(weights, context):
        weights *= 2
        return float(weights.sum())

    got = evaluate_many(graphs, ctx, workers=workers, summarize=doubled_in_place,
                        progress=False)
    assert got == [24.0] * 4 and (ctx.features[0] == 1).all()
    assert not any(np.shares_memory(w, ctx.features[0])
                   for w in evaluate_many(graphs, ctx, workers=workers, progress=False))


# --------------------------------------------------------------------------------------------
# a Dask cluster of two worker processes on loopback


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=":0",
                                       silence_logs=40)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


# --------------------------------------------------------------------------------------------
# tessaline-evaluate --scheduler


def test_cli_reaches_the_scheduler_before_any_work(ee, capsys, monkeypatch):
    pytest.importorskip("distributed")
    from tessaline import cli, demo

    monkeypatch.setattr(demo, "daily_market", None)  # generating data would fail
    assert cli.main(["--scheduler", "tcp://127.0.0.1:1", "--timeout", "0.5"]) == 2
    err = capsys.readouterr().err.splitlines()
    assert err[0] == "connecting to tcp://127.0.0.1:1 ..."
    assert err[1].startswith("tessaline-evaluate: cannot reach the scheduler at "
                             "tcp://127.0.0.1:1 within 0.5 s: ") and len(err) == 2


class Uncopyable:
    """A duck-typed context that refuses to be cloned."""

    def __copy__(self):
        raise TypeError("this context cannot be copied")


@pytest.mark.parametrize("workers", [1, 2])
def test_a_context_that_cannot_be_cloned_fails_every_slot(workers):
    got = evaluate_many([N("feature", "close")] * 5, Uncopyable(), workers=workers,
                        batch_size=2, progress=False)
    assert [(type(r), str(r)) for r in got] == [(TypeError, "this context cannot be copied")] * 5
    with pytest.raises(TypeError, match="cannot be copied"):
        evaluate_many([N("feature", "close")] * 5, Uncopyable(), workers=workers,
                      errors="raise", progress=False)


# --------------------------------------------------------------------------------------------
# what travels to a worker


@pytest.mark.parametrize("clone", [lambda g: pickle.loads(pickle.dumps(g, protocol=5)), copy.deepcopy, copy.copy])
def test_graph_copies_leave_structure_caches_behind(ee, clone):
    g = N("rotation", "f", [N("feature", "close"), N("reduction", "r", [N("int", 3)])])
    ids = ee.generate_node_identities(g)
    g._collect_nodes_cache, g.children[1]._node_identities, g.extra = {"collected": True}, {"root": "r"}, [1, 2]
    ee._annotate_state_identities(g)
    c = clone(g)
    assert ee._graph_cache_get(c, "_node_identities") is None is ee._graph_cache_get(c, "_collect_nodes_cache")
    assert c.children[1] is g.children[1] or ee._graph_cache_get(c.children[1], "_node_identities") is None
    # other attributes and the state annotation travel; the copy rebuilds equal identities on demand
    assert c.extra == [1, 2] and (c._state_identity, c.children[1]._state_identity) == ("root", "root.c1")
    assert ee.generate_node_identities(g) is ids and ee.generate_node_identities(c) == ids


# Two features and the universe; with signals also two weights, one PnL series and the extraction buffer.
@pytest.mark.parametrize("signals, expected_buffers", [(False, 3), (True, 7)])
def test_context_arrays_travel_out_of_band(ee, signals, expected_buffers):
    rng = np.random.default_rng(3)
    T, N_ = 12, 5
    useful = {"s1": UsefulSignal(weights=rng.normal(size=(T, N_)), pnl=rng.normal(size=T)),
              "s2": UsefulSignal(weights=rng.normal(size=(T, N_)))} if signals else None
    ctx = ee.EvaluationContext((rng.normal(size=(T, N_)), rng.normal(size=(T, N_))), {"close": 0, "volume": 1},
                               useful, universe=(rng.random((T, N_)) > 0.2).astype(np.float64))
    buffers = []
    data = pickle.dumps(ctx, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == expected_buffers and len(data) < sum(b.raw().nbytes for b in buffers)
    back = pickle.loads(data, buffers=buffers)
    assert all(np.shares_memory(a, b) and np.array_equal(a, b)
               for a, b in zip(back.features + (back.universe,), ctx.features + (ctx.universe,)))
    assert back._evaluation_lock is not ctx._evaluation_lock
