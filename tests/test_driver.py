"""The driver along its route: evaluate and its lock, preflight, dispatch, node collection, the
row loop with its instances and states, data-NaN tracking, filtration resolution. Function
instances here record what they receive: which calls, which rows."""

import threading
import types

import numpy as np
import pytest

from fakes import Fn, Reduction, Registry, StatefulFn, ctx, feat, node
from tessaline.functions._typed_shapes import FunctionState, SchemaError
from tessaline.functions.filtrations_evaluation import EmptyFiltrationError, EmptyPoolError
from tessaline.simulator_engine._types import (EvaluationError, EvaluationShapeError, FiltrationResolutionError,
                                               FunctionExecutionError, UsefulSignal)

T, W = 4, 3
DATA = np.arange(T * W, dtype=float).reshape(T, W)


def _one(ee, op, context=None, **kw):
    """Evaluate f(f0) with one instance applying ``op``; the result, instance and context."""
    inst = Fn(op)
    context = context or ctx(ee, [DATA])
    context.registry = Registry().add("f", lambda **c: inst)
    return ee.evaluate(node("rotation", "f", feat("f0")), context, **kw), inst, context


# ---------------------------------------------------------------------------------------
# evaluate and its lock.


def test_the_lock_is_recreated_entered_and_left(ee, monkeypatch):
    context = ctx(ee, [DATA])
    del context._evaluation_lock
    _one(ee, None, context)
    assert type(context._evaluation_lock) is type(threading.RLock())
    events = []
    lock = type("Lock", (), {"__enter__": lambda s: events.append("enter"),
                             "__exit__": lambda s, *e: events.append(("exit", e[0])) and False})()
    context._evaluation_lock = lock
    monkeypatch.setattr(ee, "_evaluate_unlocked", lambda *a, **k: (_ for _ in ()).throw(KeyError("driver")))
    with pytest.raises(KeyError):
        ee.evaluate(feat(), context)
    assert events == ["enter", ("exit", KeyError)]
    context._evaluation_lock = object()
    with pytest.raises(TypeError, match="context manager"):
        ee.evaluate(feat(), context)


# ---------------------------------------------------------------------------------------
# Preflight and collection: configuration, instances, states.

ENGINE_ONLY = "Function 'f' at node 'root.c1' config contains engine-only parameter(s): A, N_alloc"


@pytest.mark.parametrize("registry, graph, message", [
    (None, node("rotation", "g", feat(), node("rotation", "f", feat(), config={"window": 5, "N_alloc": 1, "A": 3})),
     ENGINE_ONLY),
    (Registry().add("v", Fn, family="virtualization", param_schema={"window": {"type": "int"}}),
     node("rotation", "v", feat(), config={"window": 5, "decay": 0.5}),
     "Function 'v' at node 'root' config contains unknown parameter(s): decay"),
    (Registry().add("v", Fn, family="virtualization", param_schema=[types.SimpleNamespace(name="window"),
                                                                    types.SimpleNamespace(name=None)]),
     node("rotation", "v", feat(), config={"zeta": 1, "alpha": 2, "window": 1}),
     "Function 'v' at node 'root' config contains unknown parameter(s): alpha, zeta"),
    # pairs give the preflight no names; the per-node check refuses every key
    (Registry().add("v", Fn, family="virtualization", param_schema=[("window", {"type": "int"})]),
     node("rotation", "v", feat(), config={"b": 1, "a": 2}),
     "Function 'v' at node 'root' config contains unknown parameter(s): a, b"),
    (Registry(), node("rotation", "f", feat()), "Function 'f' at node 'root' is not bound and cannot be "
                                                "instantiated from the evaluation registry"),
])
def test_configuration_refused_before_any_instance_is_made(ee, registry, graph, message):
    with pytest.raises(FunctionExecutionError) as err:
        ee.evaluate(graph, ctx(ee, [np.ones((2, 3))], registry))
    assert err.value.args == (message,)
    assert registry is None or registry.calls == []
    with pytest.raises(TypeError):  # unknown keys that are not text fail in the sort
        ee.evaluate(node("rotation", "v", feat(), config={1: 2, "b": 3}), ctx(ee, [np.ones((2, 3))], Registry().add(
            "v", Fn, family="virtualization", param_schema={"w": "int"})))


@pytest.mark.parametrize("fname, schema, family, children, config", [
    ("f", {"window": {"type": "int"}}, "", [node("int", 5), node("int", 9)], {"keep": 1, "window": 9}),
    ("f", None, "", [node("string", "net"), node("string", "gross"), node("float", 0.5)],
     {"keep": 1, "pnl_column": "net"}),
    ("statistical_sharpe_2e4daa", None, "", [node("string", "sharpe")], {"keep": 1, "stat_name": "sharpe"}),
    ("f", [type("Item", (), {"name": "w", "type": property(lambda s: 1 / 0)})()], "", [node("int", 4)],
     {"keep": 1, "window": 4}),  # an unreadable schema maps nothing positionally
    ("f", {"x": "int"}, "transform", [], {"keep": 1}),
])
def test_literal_children_become_the_instances_configuration(ee, fname, schema, family, children, config):
    registry = Registry().add(fname, Fn, param_schema=schema, family=family)
    ee.evaluate(node("rotation", fname, feat("f0", "feature"), *children, config={"keep": 1}),
                ctx(ee, [DATA], registry))
    assert registry.calls == [("create", fname, config)]


@pytest.mark.parametrize("graph, bound, error, message", [
    (node("rotation", "f", feat()), {"root": None}, FunctionExecutionError,
     "Bound function instance is None for node 'root' (function 'f')"),
    (node("rotation", "f", feat()), {}, FunctionExecutionError,
     "Bound function instance missing for path 'root' (function 'f')"),
    (node("rotation", "G", node("rotation", "F", feat("short"))), {"root": Fn(), "root.c0": Fn()},
     EvaluationShapeError, f"Function 'F' input feature 'short' has shape (2, {W}), expected ({T}, {W})"),
    (node("rotation", "f", feat("dict")), {"root": Fn()}, SchemaError,
     "Graph node 'root.c0' must be FunctionGraphNode; got dict"),
])
def test_collection_errors(ee, graph, bound, error, message):
    context = ctx(ee, [DATA], validate_inputs=False)
    context.features += (np.ones((2, W)),)
    context.feature_index["short"] = 1
    if graph.children[0].node == "dict":
        graph.children = [{"type": "feature"}]
    with pytest.raises(error) as err:
        ee.evaluate(graph, context, bound_function_instances=bound)
    assert err.value.args == (message,)


def test_states_are_restored_keyed_collected_and_checked(ee):
    registry = Registry().add("s", lambda **c: StatefulFn(**c), stateful=True)
    graph = node("rotation", "s", feat("f0"), node("int", 3))
    weights, states = ee.evaluate(graph, ctx(ee, [DATA], registry))
    assert np.isnan(weights[:2]).all() and (weights[2:] == DATA[2:]).all()  # warm-up rows
    assert states == {"root": FunctionState("s", "s-v1", {"count": T})}
    carried = FunctionState("s", "v", {"count": 2})
    registry.makers["s"] = lambda **c: StatefulFn(count=2, **c)
    weights, _ = ee.evaluate(graph, ctx(ee, [DATA], registry), {"root": carried})
    assert registry.calls[-1] == ("restore", "s", carried, {"window": 3}) and (weights == DATA).all()
    registry.add("p", Fn)
    ee.evaluate(node("rotation", "p", graph), ctx(ee, [DATA], registry), {"root.c0": carried})
    for bad in ({"root": carried, "root.c9": carried}, {}):
        with pytest.raises(EvaluationError) as err:
            ee.evaluate(graph, ctx(ee, [DATA], registry), bad)
        assert err.value.args == ("Function state keys do not match graph tree structure",)
    graph._state_identity = "root.c0"
    context = ctx(ee, [DATA], registry)
    _, states = ee.evaluate(graph, context)
    assert list(states) == ["root.c0"]
    context._collect_states = False
    weights, states = ee.evaluate(node("rotation", "s", feat("f0"), node("int", 50)), context)
    assert np.isnan(weights).all() and states == {}


def test_the_collection_cache_serves_bound_instances_until_invalidated(ee):
    graph = node("rotation", "f", node("rotation", "g", feat("f0"), node("float", 2.0)),
                 node("filtration", "filtration"))
    bound = {"root": Fn(), "root.c0": Fn(lambda row, two: row * two)}
    context = ctx(ee, [DATA], useful_signals={"s": UsefulSignal(np.ones((T, W)))})
    np.testing.assert_array_equal(ee.evaluate(graph, context, bound_function_instances=bound).weights, 2 * DATA)
    graph.children[0].children[1].node = 5.0  # not seen until the cache is invalidated
    np.testing.assert_array_equal(ee.evaluate(graph, context, bound_function_instances=bound).weights, 2 * DATA)
    ee.invalidate_graph_evaluation_caches(graph)
    np.testing.assert_array_equal(ee.evaluate(graph, context, bound_function_instances=bound).weights, 5 * DATA)
    with pytest.raises(FunctionExecutionError, match="missing for path 'root.c0'"):
        ee.evaluate(graph, context, bound_function_instances={"root": Fn()})
    context.feature_index.pop("f0")
    with pytest.raises(EvaluationError, match="Feature 'f0' not in context"):
        ee.evaluate(graph, context, bound_function_instances=bound)
    plain = node("rotation", "f", feat("f0"))
    plain._collect_nodes_cache = {"node_info": "poison"}  # never read without bound instances
    ee.evaluate(plain, ctx(ee, [DATA], Registry().add("f", Fn)))


# ---------------------------------------------------------------------------------------
# Dispatch.


@pytest.mark.parametrize("name", ["_can_use_leaf_fast_path", "_can_use_simple_rank_fast_path",
                                  "_can_use_rank_multiply_fast_path", "_can_use_longitudinal_fast_path",
                                  "_validate_evaluation_shapes", "_attach_stage_data_feature_leaves",
                                  "_apply_universe_mask"])
def test_module_functions_replaced_by_a_caller_are_honoured(ee, monkeypatch, name):
    graph = node("rotation", "s", feat("f0"))
    context = ctx(ee, [np.ones((2, 3))], Registry().add("s", StatefulFn, stateful=True), universe=np.ones((2, 3)))
    first = ee.evaluate(graph, context, bound_function_instances={"root": StatefulFn()})
    calls, original = [], getattr(ee, name)
    monkeypatch.setattr(ee, name, lambda *a, **k: calls.append(a) or original(*a, **k))
    second = ee.evaluate(graph, context, bound_function_instances={"root": StatefulFn()})
    assert len(calls) == (2 if name == "_apply_universe_mask" else 1)
    np.testing.assert_array_equal(first.weights, second.weights)


# ---------------------------------------------------------------------------------------
# The row loop: what instances receive and what their results must be.


def test_bound_instances_receive_views_and_literal_rows(ee):
    got = []

    def bound(*rows, **kw):
        got.append((len(rows), kw, all(r.base is not None for r in rows)))
        return rows[0] + rows[1]

    graph = node("rotation", "f", feat("f0"), node("int", 10), node("string", "s"), node("bool", 1))
    result = ee.evaluate(graph, ctx(ee, [DATA]), bound_function_instances={"root": bound})
    np.testing.assert_array_equal(result.weights, DATA + 10)
    assert got == [(2, {}, True)] * T
    assert set(result.node_outputs) == {"root.c0", "root.c1", "root.c2", "root.c3", "root"}
    np.testing.assert_array_equal(result.node_outputs["root.c3"], np.ones((T, W)))
    weights, _ = ee.evaluate(node("rotation", "f", node("float", -1), node("int", "7")), ctx(ee, [DATA]),
                             bound_function_instances={"root": bound})
    np.testing.assert_array_equal(weights, np.full((T, W), 6.0))
    with pytest.raises(ValueError):
        ee.evaluate(node("rotation", "f", feat(), node("int", "x")), ctx(ee, [DATA]), bound_function_instances={
            "root": bound})
    arity = type("Arity", (), {"arity": 1, "__call__": lambda s, *r: got.append([x.base is None for x in r]) or r[0]})
    ee.evaluate(node("rotation", "f", feat(), node("int", 3)), ctx(ee, [DATA]), bound_function_instances={
        "root": arity()})
    assert got[-T:] == [[True]] * T


def _shape_error(text):
    return f"Function 'f' returned {text}, expected {'float64' if 'dtype' in text else (W,)} at row 0"


@pytest.mark.parametrize("ret, expected", [
    (np.ones(W, np.float32), _shape_error("dtype float32")), (np.ones(W + 1), _shape_error(f"shape ({W + 1},)")),
    (np.array(2.0), _shape_error("shape ()")), (np.ones((1, W)), _shape_error(f"shape (1, {W})")),
    (np.ones(W).astype(">f8"), _shape_error("dtype >f8")),
    (np.array(["a"] * W, dtype=object), _shape_error("dtype object")),
    # Results that are not arrays go through NumPy's row assignment.
    (1.5, np.full(W, 1.5)), (None, np.full(W, np.nan)), ([1, 2, 3], np.array([1.0, 2.0, 3.0])),
    (np.arange(2 * W, dtype=float)[::2], np.arange(0, 2 * W, 2, dtype=float)), ([1.0, 2.0], ValueError),
])
def test_result_checks(ee, ret, expected):
    if isinstance(expected, np.ndarray):
        np.testing.assert_array_equal(_one(ee, lambda row: ret)[0].weights, np.tile(expected, (T, 1)))
        return
    with pytest.raises(ValueError if expected is ValueError else EvaluationShapeError) as err:
        _one(ee, lambda row: ret)
    assert expected is ValueError or err.value.args == (expected,)


def test_failures_are_wrapped_with_their_cause(ee):
    def op(row):
        if context.current_day_index == 2:
            raise ZeroDivisionError("boom")
        return row

    context = ctx(ee, [DATA])
    with pytest.raises(FunctionExecutionError) as err:
        _one(ee, op, context)
    assert err.value.args == ("Function 'f' failed at row 2: boom",)
    assert isinstance(err.value.__cause__, ZeroDivisionError)
    with pytest.raises(KeyboardInterrupt):  # base exceptions are not wrapped
        _one(ee, lambda row: (_ for _ in ()).throw(KeyboardInterrupt))


SPOILS = {"read-only": lambda row, keep: row.setflags(write=False),
          "reshaped": lambda row, keep: setattr(row, "shape", (1, W)),
          "weakly-referenced": lambda row, keep: keep.append(__import__("weakref").ref(row)),
          "kept": lambda row, keep: keep.append(lambda: row),
          "resized": lambda row, keep: row.resize((W + 2,), refcheck=False),
          "dtype-changed": lambda row, keep: setattr(row, "dtype", np.int64)}


@pytest.mark.parametrize("spoil", SPOILS)
@pytest.mark.parametrize("bound", [False, True], ids=["copies", "views"])
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_argument_rows_are_fresh_after_a_call_changed_them(ee, spoil, bound):
    # Registry instances get copies of the argument rows, caller-bound ones (without
    # `arity`) views of the registers; either may be reused for a later call only when the
    # call left it untouched and unreferenced.
    seen, refs = [], []

    def op(row):
        shown = row.copy() if not bound else row.__array_interface__["data"][0]
        seen.append((row.shape, row.flags.writeable, row.dtype, row.base is None, row.copy()))
        for ref, was in refs:  # a row kept from an earlier call still shows what it showed
            if ref() is not None:
                np.testing.assert_array_equal(
                    ref() if not bound else ref().__array_interface__["data"][0], was)
        result, keep = row + 1.0, []
        if not (bound and spoil == "resized"):  # a view cannot be resized
            SPOILS[spoil](row, keep)
        refs.extend((r, shown) for r in keep)
        return result

    context = ctx(ee, [DATA], Registry().add("f", lambda **c: Fn(op)))
    graph = node("rotation", "f", node("rotation", "f", feat("f0")))
    result = ee.evaluate(graph, context, bound_function_instances={"root": op, "root.c0": op}
                         if bound else None)
    for (shape, writeable, dtype, owned, values), want in zip(seen, [DATA[t] + k for t in range(T) for k in (0, 1)],
                                                              strict=True):
        assert shape == (W,) and writeable and dtype == np.float64 and owned != bound
        np.testing.assert_array_equal(values, want)
    np.testing.assert_array_equal(result.weights, DATA + 2.0)


def test_precomputed_outputs_override_nodes(ee):
    context = ctx(ee, [DATA], Registry().add("f", lambda **c: Fn(lambda r: r * 2)))
    context._precomputed_node_outputs = {"cid": [np.full((1, W), float(t)) for t in range(T)]}
    graph = node("rotation", "f", node("feature", "f0", canonical_id="cid"))
    rows = np.repeat(np.arange(T, dtype=float)[:, None], W, 1)
    np.testing.assert_array_equal(ee.evaluate(graph, context).weights, 2 * rows)
    context._precomputed_node_outputs = {"cid": [np.ones(W + 1)] * T}
    with pytest.raises(EvaluationShapeError) as err:
        ee.evaluate(graph, context)
    assert err.value.args == (f"Precomputed node 'cid' returned shape ({W + 1},), expected ({W},) at row 0",)


# ---------------------------------------------------------------------------------------
# Reductions: extraction rows, PnL, cold starts.


def _signals(k=3):
    rng = np.random.default_rng(1)
    return {f"s{i}": UsefulSignal(weights=rng.normal(size=(T, W)), pnl=rng.normal(size=(T, 2)),
                                  metadata={"sharpe": float(i)}) for i in (2, 0, 1)[:k]}


def test_reductions_receive_extraction_rows_and_signal_pnl(ee):
    signals, inst = _signals(), Reduction()
    context = ctx(ee, [DATA], Registry().add("r", lambda **c: inst, stateful=True), useful_signals=signals,
                  column_labels=["gross", "net"])
    graph = node("reduction", "r", node("string", "net"))
    _, states = ee.evaluate(graph, context)
    ids = sorted(signals)
    for t, (args, kw) in enumerate(inst.calls):
        np.testing.assert_array_equal(args[0], np.stack([signals[s].weights[t] for s in ids]))
        np.testing.assert_array_equal(kw["signal_pnl"], [signals[s].pnl[t, 1] for s in ids])
    assert states["root"].data == {"count": T}
    context.column_labels = ["gross"]
    with pytest.raises(EvaluationError) as err:
        ee.evaluate(graph, context)
    assert err.value.args == ("PnL column 'net' not found in column_labels: ['gross']",)
    inst.calls.clear()
    context = ctx(ee, [DATA[:1]], context.registry, useful_signals={k: UsefulSignal(np.ones((1, W))) for k in "ab"},
                  signal_pnl_vectors={"b": {"gross_returns": 2.5}, "zz": {}})
    ee.evaluate(node("reduction", "r", node("int", 1)), context)
    np.testing.assert_array_equal(inst.calls[0][1]["signal_pnl"], [0.0, 2.5])


def test_a_cold_start_prefills_stateful_reductions(ee, monkeypatch):
    signals, inst = _signals(), Reduction(count=1)
    context = ctx(ee, [DATA], Registry().add("r", lambda **c: inst, stateful=True), useful_signals=signals,
                  column_labels=["gross_returns"])
    ee.evaluate(node("reduction", "r"), context, {"root": FunctionState("r", "v", {"count": 1, "window": 3})}, True)
    ids = sorted(signals)
    for row, (args, kw) in zip((T - 2, T - 1), inst.calls[:2]):
        np.testing.assert_array_equal(args[0], np.stack([signals[s].weights[row] for s in ids]))
        np.testing.assert_array_equal(kw["signal_pnl"], [signals[s].pnl[row, 0] for s in ids])
    assert len(inst.calls) == 2 + T
    inst.calls.clear()
    ee.evaluate(node("reduction", "r"), context, {"root": FunctionState("r", "v", {"count": 3, "window": 3})}, True)
    assert len(inst.calls) == T
    # An id the pool lacks is prefilled with zeros.
    monkeypatch.setattr(ee, "FiltrationInstance", lambda tree, registry=None: lambda pool: ["s0", "zz", "s2"])
    inst.calls.clear()
    try:
        ee.evaluate(node("reduction", "r", node("filtration", "filtration")), context,
                    {"root": FunctionState("r", "v", {"count": 1, "window": 3})}, True)
    except Exception:
        pass
    for row, (args, kw) in zip((T - 2, T - 1), inst.calls[:2]):
        np.testing.assert_array_equal(kw["signal_pnl"], [signals["s0"].pnl[row, 0], 0.0, signals["s2"].pnl[row, 0]])
        np.testing.assert_array_equal(args[0][1], np.zeros(W))


@pytest.mark.parametrize("A, width", [(3, 2), (40, 5), (20, 1), (2, 3)])
def test_a_stateless_reduction_is_the_numpy_mean_of_the_sorted_signals(ee, A, width):
    rng = np.random.default_rng(A)
    weights = rng.normal(size=(A, 2, width)) * 10.0 ** rng.integers(-8, 8, size=(A, 1, width))
    weights[:, 1] = -0.0
    signals = {f"s{i:02d}": UsefulSignal(weights[i]) for i in reversed(range(A))}  # stacked in sorted order
    context = ctx(ee, [np.zeros((2, width))], Registry().add("r", Fn), useful_signals=signals)
    result, _ = ee.evaluate(node("reduction", "r"), context)
    want = np.stack([np.mean(np.ascontiguousarray(weights[:, t]), axis=0) for t in range(2)])
    assert result.tobytes() == want.tobytes()
    assert context.extraction_buffer.shape == (A, width)


# ---------------------------------------------------------------------------------------
# Data NaNs.


def test_data_nan_marks(ee):
    registry = Registry().add("f", lambda **c: Fn(lambda *rows: sum(rows))).add(
        "g", lambda **c: Fn(lambda row: row * 0 + 5.0)).add("r", Fn)
    y = np.full((T, W), 2.0)
    y[2] = np.nan
    context = ctx(ee, [np.ones((T, W)), y], registry, names=["x", "y"], useful_signals={"a": UsefulSignal(
        np.ones((T, W)))})
    assert ee.evaluate(node("rotation", "f", feat("x")), context).nan_source == {}
    # g ignores its input but is fed only by missing data: NaN, and a source itself.
    result = ee.evaluate(node("rotation", "f", node("rotation", "g", feat("x"))), context, data_nan_features=["x"])
    assert result.nan_source == dict.fromkeys(("root.c0.c0", "root.c0", "root"), "data_nan")
    assert np.isnan(result.weights).all() and set(result.node_outputs) == {"root.c0.c0", "root.c0", "root"}
    # g's row is NaN at row 2 only (y is NaN there) and unmarked; the root is marked there for good.
    result = ee.evaluate(node("rotation", "f", node("rotation", "g", feat("y")), feat("x")), context,
                         data_nan_features={"x"})
    assert result.nan_source == {"root.c1": "data_nan", "root": "data_nan"}
    np.testing.assert_array_equal(result.node_outputs["root.c0"][[0, 1, 3]], np.full((3, W), 5.0))
    # One finite child keeps the result unmarked; a reduction over a filtration is never marked.
    result = ee.evaluate(node("rotation", "f", node("reduction", "r", node("filtration", "filtration")), feat("x")),
                         context, data_nan_features=["x"])
    assert result.nan_source == {"root.c1": "data_nan"} and np.isnan(result.weights).all()
    np.testing.assert_array_equal(result.node_outputs["root.c0"], np.ones((T, W)))
    context._precomputed_node_nan_source = {"cid": "data_nan", "other": "data_nan"}
    context._collect_node_outputs = False
    result = ee.evaluate(node("rotation", "g", node("feature", "x", canonical_id="cid")), context)
    assert result.nan_source == {"root.c0": "data_nan", "root": "data_nan"} and result.node_outputs == {}


# ---------------------------------------------------------------------------------------
# Filtrations resolved during the evaluation.

FILT = node("filtration", "filtration", node("gt", "gt", node("string", "sharpe"), node("float", 6.5)))
DESCRIBED = "filtration(gt(sharpe, 6.5))"


def _resolve(ee, monkeypatch, outcome):
    """A reduction over FILT, whose filtration engine raises ``outcome`` or returns it."""
    def engine(tree, registry):
        return lambda signals: (_ for _ in ()).throw(outcome) if isinstance(outcome, BaseException) else outcome

    monkeypatch.setattr(ee, "FiltrationInstance", engine)
    signals = {f"s{i}": UsefulSignal(np.full((T, W), float(i)), np.zeros((T, 1)), metadata={"sharpe": i})
               for i in range(10)}
    return ee.evaluate(node("reduction", "r", FILT), ctx(ee, [np.zeros((T, W))], Registry().add("r", Fn),
                                                          useful_signals=signals))


@pytest.mark.parametrize("cause, error, message, diagnostics", [
    (EmptyFiltrationError("none", filter_diagnostics={"passing_count": 0, "stage": "x"}), EvaluationError,
     f"Filtration returned 0 signals for filters: {DESCRIBED}", {"passing_count": 0, "stage": "x"}),
    (EmptyPoolError("none", filter_diagnostics={}), EvaluationError,
     f"Filtration returned 0 signals for filters: {DESCRIBED}", {"passing_count": 0}),
    (EmptyFiltrationError("none", filter_diagnostics=None), EvaluationError,
     f"Filtration returned 0 signals for filters: {DESCRIBED}", {"passing_count": 0}),
    (KeyError("sharpe"), FiltrationResolutionError,
     f"Filtration resolution failed for filters: {DESCRIBED}: KeyError: 'sharpe'",
     {"passing_count": 0, "cause": "KeyError"}),
])
def test_resolution_failures(ee, monkeypatch, cause, error, message, diagnostics):
    with pytest.raises(error) as err:
        _resolve(ee, monkeypatch, cause)
    assert type(err.value) is error and err.value.args == (message,)
    assert err.value.filter_diagnostics == diagnostics and err.value.__cause__ is cause
    with pytest.raises(KeyboardInterrupt):
        _resolve(ee, monkeypatch, KeyboardInterrupt())
    monkeypatch.setattr(ee, "_dict_to_filter_node", lambda n: (_ for _ in ()).throw(EvaluationError("malformed")))
    with pytest.raises(EvaluationError) as err:
        _resolve(ee, monkeypatch, [])
    assert err.value.args == ("malformed",) and not hasattr(err.value, "filter_diagnostics")
