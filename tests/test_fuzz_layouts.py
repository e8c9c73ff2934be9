"""Array layout never changes a result: features, universes, signal weights and PnL given as
Fortran-ordered, strided, reversed, byte-swapped, unaligned, read-only or non-float64 arrays
evaluate exactly like their C-contiguous float64 copies, on every path. Rows that function
instances return in such layouts are treated by their value.

Also: inputs whose last reference is dropped by a function instance in the middle of an
evaluation (the sanitizer run turns a use after free into a failure).
"""

from __future__ import annotations

import gc

import numpy as np
import pytest

from fuzz_strategies import graph_for, outcome, sharpe_reduction
from tessaline.functions._typed_shapes import FunctionGraphNode, StageData
from tessaline.functions.registry import default_registry
from tessaline.simulator_engine import expression_evaluator as EE
from tessaline.simulator_engine._types import UsefulSignal

F = FunctionGraphNode


def relayout(a, how):
    """The same values as ``a`` in another memory layout (or dtype, for the lossless ones)."""
    a = np.ascontiguousarray(a, dtype=np.float64)
    if how == "C":
        return a.copy()
    if how == "F":
        return np.asfortranarray(a)
    if how == "strided":
        big = np.empty(a.shape[:-1] + (a.shape[-1] * 2,))
        big[..., ::2] = a
        return big[..., ::2]
    if how == "reversed":
        return a[::-1].copy()[::-1] if a.ndim == 1 else a[::-1, ::-1].copy()[::-1, ::-1]
    if how == "big_endian":
        return a.astype(">f8")
    if how == "unaligned":
        buf = np.zeros(a.size * 8 + 1, dtype=np.uint8)
        out = np.frombuffer(buf.data, dtype=np.float64, count=a.size, offset=1).reshape(a.shape)
        out[...] = a
        assert not out.flags.aligned
        return out
    if how == "readonly":
        b = a.copy()
        b.flags.writeable = False
        return b
    if how == "longdouble":
        return a.astype(np.longdouble)
    raise ValueError(how)


LAYOUTS = ("F", "strided", "reversed", "big_endian", "unaligned", "readonly", "longdouble")
PATH_GRAPHS = {
    "leaf": graph_for("leaf"),
    "rank": graph_for("rank"),
    "rank_multiply": graph_for("rank_multiply"),
    "general": F("rotation", "transform_demean_3c8a51", [
        F("rotation", "longitudinal_accumulators_250f46", [F("feature", "f0"), F("int", 3)])]),
    "reduction": sharpe_reduction(),
    "stage_leaf": F("rotation", "transform_demean_3c8a51", [F("feature", "spread")]),
}


def _inputs(seed, T=12, N=6):
    rng = np.random.default_rng(seed)
    f0, f1 = rng.standard_normal((T, N)), rng.standard_normal((T, N))
    f0[rng.random((T, N)) < 0.1] = np.nan
    f1[:, 0] = np.inf
    universe = np.where(rng.random((T, N)) < 0.15, 0.0, rng.choice([1.0, -1.0, np.inf], (T, N)))
    universe[0, 1] = np.nan
    signals = {f"s{i}": (rng.standard_normal((T, N)), rng.standard_normal((T, 2)))
               for i in range(3)}
    spread = rng.standard_normal((T, N))
    return f0, f1, universe, signals, spread


def _context(parts, how, features_too=True):
    f0, f1, universe, signals, spread = parts
    lay = (lambda a: relayout(a, how))
    fl = lay if features_too else (lambda a: relayout(a, "C"))
    return EE.EvaluationContext(
        (fl(f0), fl(f1)), {"f0": 0, "f1": 1},
        useful_signals={k: UsefulSignal(weights=lay(w), pnl=lay(p), metadata={"sharpe": float(i)})
                        for i, (k, (w, p)) in enumerate(signals.items())},
        universe=lay(universe), stage_data=StageData({"spread": lay(spread)}),
        registry=default_registry(), column_labels=["gross_returns", "net"])


def _evaluate(graph, ctx):
    kind, value = outcome(EE.evaluate, graph, ctx)
    if kind == "ok":
        return np.array(value.weights, dtype=np.float64, copy=True)
    return (type(value), str(value))


@pytest.mark.parametrize("path", sorted(PATH_GRAPHS))
@pytest.mark.parametrize("how", LAYOUTS)
@pytest.mark.parametrize("features_too", [True, False])
def test_layout_does_not_change_results(path, how, features_too):
    # Universe, signal weights and PnL, and stage data in the layout, the features too or
    # not (then the universe's strides differ from theirs).
    # Regression: an unaligned universe used to be read in place as doubles when the
    # driver derived the universe mask and when the row loop masked feature rows.
    parts = _inputs(4)
    graph = PATH_GRAPHS[path]
    expected = _evaluate(graph, _context(parts, "C"))
    got = _evaluate(graph, _context(parts, how, features_too))
    assert isinstance(expected, np.ndarray)
    assert np.array_equal(expected, got, equal_nan=True), got


# ---------------------------------------------------------------------------------------
# Rows returned by function instances.


@pytest.mark.parametrize("how", ["C", "strided", "reversed", "unaligned", "readonly"])
def test_instance_rows_in_any_float64_layout_are_taken_by_value(how):
    # (A byte-swapped float64 row is refused: test_row_loop's result checks.)
    parts = _inputs(1)
    ctx = _context(parts, "C")
    graph = F("rotation", "twice", [F("feature", "f0")])
    out = EE.evaluate(graph, ctx, bound_function_instances={
        "root": lambda row: relayout(np.asarray(row) * 2.0, how)})
    expected = np.where((parts[2] == 0) | np.isnan(parts[2]), np.nan, parts[0]) * 2.0
    assert np.array_equal(np.asarray(out), expected, equal_nan=True)


# ---------------------------------------------------------------------------------------
# Inputs whose last reference goes away during the evaluation.


DROPS = {
    "features": lambda ctx: setattr(ctx, "features",
                                    tuple(np.zeros((1, 1)) for _ in ctx.features)),
    "universe": lambda ctx: setattr(ctx, "universe", np.ones((1, 1))),
    "weights": lambda ctx: [(setattr(sig, "weights", np.zeros((1, 1))),
                             setattr(sig, "pnl", np.zeros(1)))
                            for sig in ctx.useful_signals.values()],
    "signals": lambda ctx: ctx.useful_signals.clear(),
    "registers": lambda ctx: (setattr(ctx, "registers", None),
                              setattr(ctx, "extraction_buffer", None)),
    "feature_index": lambda ctx: ctx.feature_index.clear(),
    "precomputed": lambda ctx: setattr(ctx, "_precomputed_node_outputs", {}),
}


class Dropper:
    """Bound instance that, on its first call, replaces context data with new objects."""

    stateful = False

    def __init__(self, ctx, what):
        self.ctx, self.what, self.calls = ctx, what, 0

    def __call__(self, *rows):
        self.calls += 1
        if self.calls == 1:
            DROPS[self.what](self.ctx)
            gc.collect()
        return np.zeros(rows[0].shape[-1] if rows and hasattr(rows[0], "shape") else 1)

    def get_state(self):
        return None


@pytest.mark.parametrize("what", sorted(DROPS))
@pytest.mark.parametrize("graph_kind", ["rotation", "reduction", "filtration"])
def test_inputs_released_during_evaluation(what, graph_kind):
    T, N = 8, 5
    rng = np.random.default_rng(2)
    ctx = EE.EvaluationContext(
        (rng.standard_normal((T, N)), rng.standard_normal((T, N))), {"f0": 0, "f1": 1},
        useful_signals={f"s{i}": UsefulSignal(weights=rng.standard_normal((T, N)),
                                              pnl=rng.standard_normal((T, 2)),
                                              metadata={"sharpe": 1.0}) for i in range(3)},
        universe=np.ones((T, N)), column_labels=["gross_returns", "net"])
    ctx._precomputed_node_outputs = {"pre": rng.standard_normal((T, N))}
    filt = F("filtration", "filtration", [F("gt", "gt", [F("string", "sharpe"),
                                                         F("float", 0.0)])])
    if graph_kind == "rotation":
        graph = F("rotation", "drop", [F("feature", "f0"), F("feature", "f1", None, None, "pre")])
    elif graph_kind == "reduction":
        graph = F("rotation", "drop", [F("reduction", "mean", [filt]), F("feature", "f1")])
    else:
        graph = F("rotation", "drop", [F("feature", "f0"), filt])
    inst = Dropper(ctx, what)
    bound = {"root": inst}
    if graph_kind == "reduction":
        bound["root.c0"] = type("Stateless", (), {"stateful": False,
                                                  "get_state": lambda self: None})()
    kind, value = outcome(EE.evaluate, graph, ctx, bound_function_instances=bound)
    assert inst.calls >= 1 or kind == "raised"
    gc.collect()
