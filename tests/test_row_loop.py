import numpy as np
import pytest

from driver_fakes import Fn, Reduction, Registry, StatefulFn, ctx, feat, node
from tessaline.functions._typed_shapes import FunctionState
from tessaline.simulator_engine._types import (EvaluationError, EvaluationShapeError,
                                               FunctionExecutionError, UsefulSignal)

T, N = 4, 3
DATA = np.arange(T * N, dtype=float).reshape(T, N)


def _ctx(ee, registry=None, **kw):
    return ctx(ee, [DATA], registry, **kw)


def _one(ee, op, context=None, **kw):
    inst = Fn(op)
    context = context or _ctx(ee)
    context.registry = Registry().add("f", lambda **c: inst)
    return ee.evaluate(node("rotation", "f", feat("f0")), context, **kw), inst, context


def test_function_receives_masked_row_copies_and_context(ee):
    universe = np.ones((T, N))
    universe[1, 0] = 0.0
    universe[2, 2] = np.nan
    universe[3, 1] = -1.0
    masked = DATA.copy()
    masked[1, 0] = masked[2, 2] = np.nan
    seen = []

    def op(row):
        seen.append((row.copy(), row.base is None, row.flags.writeable, context.current_day_index))
        out = row * 2
        row[:] = -1.0  # mutating a copy does not disturb the registers
        return out

    (weights, states), inst, context = _one(ee, op, context := _ctx(ee, universe=universe))
    np.testing.assert_array_equal(weights, masked * 2)
    assert weights.flags.c_contiguous and weights.dtype == np.float64 and states == {}
    assert all(kw == {"context": context} for _, kw in inst.calls)
    for t, (row, owned, writeable, day) in enumerate(seen):
        np.testing.assert_array_equal(row, masked[t])
        assert owned and writeable and day == t
    assert context.current_day_index == T - 1 and context.registers.shape == (2, N)
    np.testing.assert_array_equal(context.registers[1], masked[-1] * 2)


def test_rows_are_masked_by_a_replaced_universe_mask(ee, monkeypatch):
    calls = []

    def mask(row, universe):
        calls.append((row.shape, None if universe is None else universe.shape))
        return row * 10.0

    monkeypatch.setattr(ee, "_apply_universe_mask", mask)
    (weights, _), _, _ = _one(ee, lambda row: row + 1.0, _ctx(ee, universe=np.ones((T, N))))
    np.testing.assert_array_equal(weights, DATA * 10.0 + 1.0)
    assert calls == [((N,), (N,))] * T


def test_bound_instances_get_views_and_int_rows(ee):
    got = []

    class Bound:
        stateful = False

        def __call__(self, *rows, **kw):
            got.append((rows, kw, [r.base is not None for r in rows]))
            return rows[0] + rows[1]

    context = _ctx(ee, None)
    graph = node("rotation", "f", feat("f0"), node("int", 10), node("string", "s"), node("bool", 1))
    result = ee.evaluate(graph, context, bound_function_instances={"root": Bound()})
    np.testing.assert_array_equal(result.weights, DATA + 10)
    assert all(len(rows) == 2 and kw == {} and all(views) for rows, kw, views in got[:T])
    assert set(result.node_outputs) == {"root.c0", "root.c1", "root.c2", "root.c3", "root"}
    np.testing.assert_array_equal(result.node_outputs["root.c1"], np.full((T, N), 10.0))
    np.testing.assert_array_equal(result.node_outputs["root.c3"], np.ones((T, N)))
    np.testing.assert_array_equal(result.node_outputs["root"], DATA + 10)
    # literal rows: a float, an int given as text; text that is no int is refused
    graph = node("rotation", "f", node("float", -1), node("int", "7"))
    weights, _ = ee.evaluate(graph, context, bound_function_instances={"root": Bound()})
    np.testing.assert_array_equal(weights, np.full((T, N), 6.0))
    with pytest.raises(ValueError):
        ee.evaluate(node("rotation", "f", feat("f0"), node("int", "x")), context,
                    bound_function_instances={"root": Bound()})


def test_bound_instance_with_arity_gets_copies_without_literals(ee):
    got = []

    class Bound:
        arity = 1

        def __call__(self, *rows):
            got.append([r.base is None for r in rows])
            return rows[0]

    ee.evaluate(node("rotation", "f", feat("f0"), node("int", 3)), _ctx(ee, None),
                bound_function_instances={"root": Bound()})
    assert got == [[True]] * T


def _shape_error(text):
    return f"Function 'f' returned {text}, expected {'float64' if 'dtype' in text else (N,)} at row 0"


@pytest.mark.parametrize("ret, expected", [
    (np.ones(N, np.float32), _shape_error("dtype float32")),
    (np.ones(N + 1), _shape_error(f"shape ({N + 1},)")),
    (np.array(2.0), _shape_error("shape ()")),
    (np.ones((1, N)), _shape_error(f"shape (1, {N})")),
    (np.ones(N).astype(">f8"), _shape_error("dtype >f8")),
    (np.array(["a"] * N, dtype=object), _shape_error("dtype object")),
    # Results that are not arrays go through NumPy's row assignment.
    (1.5, np.full(N, 1.5)),
    (None, np.full(N, np.nan)),
    ([1, 2, 3], np.array([1.0, 2.0, 3.0])),
    (np.arange(2 * N, dtype=float)[::2], np.arange(0, 2 * N, 2, dtype=float)),
    ([1.0, 2.0], ValueError),  # does not broadcast
])
def test_result_checks(ee, ret, expected):
    if isinstance(expected, np.ndarray):
        (weights, _), _, _ = _one(ee, lambda row: ret)
        np.testing.assert_array_equal(weights, np.tile(expected, (T, 1)))
        return
    with pytest.raises(ValueError if expected is ValueError else EvaluationShapeError) as err:
        _one(ee, lambda row: ret)
    assert expected is ValueError or err.value.args == (expected,)


def test_exceptions_are_wrapped_with_cause(ee):
    def op(row):
        if op.calls == 2:
            raise ZeroDivisionError("boom")
        op.calls += 1
        return row

    op.calls = 0
    with pytest.raises(FunctionExecutionError) as err:
        _one(ee, op)
    assert err.value.args == ("Function 'f' failed at row 2: boom",)
    assert isinstance(err.value.__cause__, ZeroDivisionError)
    with pytest.raises(KeyboardInterrupt):  # base exceptions are not wrapped
        _one(ee, lambda row: (_ for _ in ()).throw(KeyboardInterrupt))


def test_features_and_universe_replaced_mid_evaluation(ee):
    # Each row is read from the context's features and universe of that moment.
    context = _ctx(ee, None)

    def op(row):
        if context.current_day_index == 1:
            context.features = ([list(r) for r in DATA * 100],)  # not even an array
            context.universe = np.zeros((T, N))
        return row

    (weights, _), _, _ = _one(ee, op, context)
    np.testing.assert_array_equal(weights[:2], DATA[:2])
    assert np.isnan(weights[2:]).all()

    def shrink(row):
        context.features = (np.ones((1, N)),)
        return row

    context.features, context.universe = (DATA,), None
    with pytest.raises(IndexError):
        _one(ee, shrink, context)


def test_warmup_rows_are_nan_and_states_are_collected(ee):
    registry = Registry().add("s", lambda **c: StatefulFn(**c), stateful=True)
    graph = node("rotation", "s", feat("f0"), node("int", 3))
    weights, states = ee.evaluate(graph, _ctx(ee, registry))
    assert np.isnan(weights[:2]).all()
    np.testing.assert_array_equal(weights[2:], DATA[2:])
    assert states == {"root": FunctionState("s", "s-v1", {"count": T})}

    # A restored instance that has seen enough rows is not warmed up again.
    carried = FunctionState("s", "v", {"count": 2})
    registry.functions["s"] = (registry.functions["s"][0], lambda **c: StatefulFn(count=2, **c))
    weights, _ = ee.evaluate(graph, _ctx(ee, registry), {"root": carried})
    np.testing.assert_array_equal(weights, DATA)

    # A warm-up longer than the series; states not collected.
    context = _ctx(ee, registry)
    context._collect_states = False
    weights, states = ee.evaluate(node("rotation", "s", feat("f0"), node("int", 50)), context)
    assert np.isnan(weights).all() and states == {}


def test_get_state_failure_is_logged_and_reraised(ee, monkeypatch):
    class Broken(StatefulFn):
        def get_state(self):
            raise RuntimeError("no state")

    logged = []

    class Logger:
        def error(self, event, **fields):
            logged.append((event, fields))

    inst = Broken()
    monkeypatch.setattr(ee, "_logger", Logger())
    registry = Registry().add("s", lambda **c: inst, stateful=True)
    with pytest.raises(RuntimeError, match="no state"):
        ee.evaluate(node("rotation", "s", feat("f0")), _ctx(ee, registry))
    assert logged == [("expression_evaluator.get_state_failed",
                       {"instance_id": id(inst), "node_id": "root", "function_name": "s"})]


def _signals(k=3):
    rng = np.random.default_rng(1)
    return {f"s{i}": UsefulSignal(weights=rng.normal(size=(T, N)), pnl=rng.normal(size=(T, 2)),
                                  metadata={"sharpe": float(i)}) for i in (2, 0, 1)[:k]}


def test_stateful_reduction_gets_extraction_and_signal_pnl(ee):
    signals = _signals()
    inst = Reduction()
    registry = Registry().add("r", lambda **c: inst, stateful=True)
    context = ctx(ee, [DATA], registry, useful_signals=signals, column_labels=["gross", "net"])
    graph = node("reduction", "r", node("string", "net"))
    weights, states = ee.evaluate(graph, context)
    ids = sorted(signals)
    for t, (args, kw) in enumerate(inst.calls):
        np.testing.assert_array_equal(args[0], np.stack([signals[s].weights[t] for s in ids]))
        np.testing.assert_array_equal(kw["signal_pnl"], [signals[s].pnl[t, 1] for s in ids])
    assert states["root"].data == {"count": T}

    context.column_labels = ["gross"]
    with pytest.raises(EvaluationError) as err:
        ee.evaluate(graph, context)
    assert err.value.args == ("PnL column 'net' not found in column_labels: ['gross']",)
    assert err.value.__cause__ is None and isinstance(err.value.__context__, ValueError)


def test_signal_pnl_vectors_take_precedence(ee):
    inst = Reduction()
    registry = Registry().add("r", lambda **c: inst, stateful=True)
    context = ctx(ee, [DATA[:1]], registry, useful_signals={k: UsefulSignal(np.ones((1, N))) for k in "ab"},
                  signal_pnl_vectors={"b": {"gross_returns": 2.5}, "zz": {}})
    ee.evaluate(node("reduction", "r", node("int", 1)), context)
    np.testing.assert_array_equal(inst.calls[0][1]["signal_pnl"], [0.0, 2.5])


def test_cold_start_prefills_stateful_reductions(ee):
    signals = _signals()
    inst = Reduction(count=1)
    registry = Registry().add("r", lambda **c: inst, stateful=True)
    context = ctx(ee, [DATA], registry, useful_signals=signals, column_labels=["gross_returns"])
    carried = FunctionState("r", "v", {"count": 1, "window": 3})
    ee.evaluate(node("reduction", "r"), context, {"root": carried}, True)
    prefill = inst.calls[:2]
    ids = sorted(signals)
    for row, (args, kw) in zip((T - 2, T - 1), prefill):
        np.testing.assert_array_equal(args[0], np.stack([signals[s].weights[row] for s in ids]))
        np.testing.assert_array_equal(kw["signal_pnl"], [signals[s].pnl[row, 0] for s in ids])
    assert len(inst.calls) == 2 + T

    inst.calls.clear()
    full = FunctionState("r", "v", {"count": 3, "window": 3})
    ee.evaluate(node("reduction", "r"), context, {"root": full}, True)
    assert len(inst.calls) == T


def test_cold_start_prefill_leaves_ids_missing_from_the_pool_zero(ee, monkeypatch):
    class Engine:  # passes an id that the pool lacks
        def __init__(self, tree, registry=None):
            pass

        def __call__(self, pool):
            return ["s0", "zz", "s2"]

    monkeypatch.setattr(ee, "FiltrationInstance", Engine)
    signals = _signals(2)
    inst = Reduction(count=1)
    registry = Registry().add("r", lambda **c: inst, stateful=True)
    context = ctx(ee, [DATA], registry, useful_signals=signals, column_labels=["gross_returns"])
    carried = FunctionState("r", "v", {"count": 1, "window": 3})
    try:
        ee.evaluate(node("reduction", "r", node("filtration", "filtration")), context,
                    {"root": carried}, True)
    except Exception:
        pass  # what the row loop makes of the missing id is not the point here
    assert len(inst.calls) >= 2
    for row, (args, kw) in zip((T - 2, T - 1), inst.calls):
        np.testing.assert_array_equal(kw["signal_pnl"], [signals["s0"].pnl[row, 0], 0.0,
                                                         signals["s2"].pnl[row, 0]])
        np.testing.assert_array_equal(args[0], [signals["s0"].weights[row], np.zeros(N),
                                                signals["s2"].weights[row]])


def test_precomputed_outputs_override_nodes(ee):
    context = _ctx(ee, Registry().add("f", lambda **c: Fn(lambda r: r * 2)))
    context._precomputed_node_outputs = {"cid": [np.full((1, N), float(t)) for t in range(T)]}
    graph = node("rotation", "f", node("feature", "f0", canonical_id="cid"))
    weights, _ = ee.evaluate(graph, context)
    np.testing.assert_array_equal(weights, 2 * np.repeat(np.arange(T, dtype=float)[:, None], N, 1))

    context._precomputed_node_outputs = {"cid": [np.ones(N + 1)] * T}
    with pytest.raises(EvaluationShapeError) as err:
        ee.evaluate(graph, context)
    assert err.value.args == (f"Precomputed node 'cid' returned shape ({N + 1},), "
                              f"expected ({N},) at row 0",)


@pytest.mark.parametrize("A, width", [(3, 2), (40, 5), (20, 1), (2, 3)])
def test_stateless_reduction_is_the_numpy_mean_of_sorted_signals(ee, A, width):
    rng = np.random.default_rng(A)
    scale = 10.0 ** rng.integers(-8, 8, size=(A, 1, width))
    weights = rng.normal(size=(A, 2, width)) * scale
    weights[:, 1] = -0.0
    # inserted in reverse: the rows are stacked in sorted id order
    signals = {f"s{i:02d}": UsefulSignal(weights[i]) for i in reversed(range(A))}
    context = ctx(ee, [np.zeros((2, width))], Registry().add("r", Fn), useful_signals=signals)
    result, _ = ee.evaluate(node("reduction", "r"), context)
    expected = np.stack([np.mean(np.ascontiguousarray(weights[:, t]), axis=0) for t in range(2)])
    assert result.tobytes() == expected.tobytes()
    assert context.extraction_buffer.shape == (A, width)


@pytest.mark.parametrize("spoil", [
    lambda row, keep: row.setflags(write=False),
    lambda row, keep: setattr(row, "shape", (1, N)),
    lambda row, keep: keep.append(__import__("weakref").ref(row)),
    lambda row, keep: keep.append(lambda: row),
    lambda row, keep: row.resize((N + 2,), refcheck=False),
    lambda row, keep: setattr(row, "dtype", np.int64),
], ids=["read-only", "reshaped", "weakly-referenced", "kept", "resized", "dtype-changed"])
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_argument_rows_are_fresh_after_a_call_changed_them(ee, spoil):
    seen, refs = [], []

    def op(row):
        seen.append((row.shape, row.flags.writeable, row.dtype, row.base is None, row.copy()))
        # A row kept (strongly or weakly) from an earlier call still shows that call's values.
        for ref, values in refs:
            if ref() is not None:
                np.testing.assert_array_equal(ref(), values)
        result = row + 1.0
        keep = []
        spoil(row, keep)
        refs.extend((r, row.copy()) for r in keep)
        return result

    # Two functions over one feature: argument rows are handed out at every node and row.
    context = _ctx(ee, Registry().add("f", lambda **c: Fn(op)))
    result = ee.evaluate(node("rotation", "f", node("rotation", "f", feat("f0"))), context)
    expected = [DATA[t] + k for t in range(T) for k in (0.0, 1.0)]
    for (shape, writeable, dtype, owned, values), want in zip(seen, expected, strict=True):
        assert shape == (N,) and writeable and dtype == np.float64 and owned
        np.testing.assert_array_equal(values, want)
    np.testing.assert_array_equal(result.weights, DATA + 2.0)
