"""Hostile inputs to the native code: containers whose len() lies, huge windows and widths in
carried states, small thread stacks, unaligned and empty rows. The outcome is a correct
answer or a Python exception, never a crash or an allocation sized by the attacker."""

import sys
import threading

import numpy as np
import pytest

from tessaline.functions import builtins
from tessaline.functions._builtins import RollingStream
from tessaline.functions._typed_shapes import FunctionGraphNode as Node, FunctionState
from tessaline.simulator_engine import expression_evaluator as ee
from tessaline.simulator_engine._types import UsefulSignal

T, W = 4, 64


class LyingList(list):
    def __len__(self):
        return 1


class LyingDict(dict):
    def __len__(self):
        return 1


class Sum:
    """A stateful reduction: the column sums of its extraction rows plus the sum of the PnL."""

    stateful = True

    def __call__(self, extraction, signal_pnl=None):
        return extraction.sum(axis=0) + signal_pnl.sum()


class Mean:
    stateful = False


def _context(**kwargs):
    signals = {f"s{i}": UsefulSignal(np.full((T, W), i + 1.0), np.full((T, 1), 10.0 * (i + 1)))
               for i in range(3)}
    context = ee.EvaluationContext((np.arange(T * W, dtype=float).reshape(T, W),), {"x": 0},
                                   useful_signals=signals, **kwargs)
    context._collect_states = False
    return context


def _filtered_reduction():
    return Node("reduction", "r", [Node("filtration", "filtration")])


@pytest.fixture
def sixty_ids_claiming_one(monkeypatch):
    monkeypatch.setattr(ee, "FiltrationInstance",
                        lambda tree, registry: lambda pool: LyingList(sorted(pool) * 20))


@pytest.mark.usefixtures("sixty_ids_claiming_one")
@pytest.mark.parametrize("instance, kwargs, expected", [
    (Mean(), {}, 2.0),                                             # the mean of 1, 2 and 3
    (Sum(), {}, 20 * 6.0 + 20 * 60.0),                             # PnL from the signals
    (Sum(), {"signal_pnl_vectors": {f"s{i}": {"gross_returns": 1.0} for i in range(3)}},
     20 * 6.0 + 60.0),
])
def test_passing_ids_whose_len_lies(instance, kwargs, expected):
    result = ee.evaluate(_filtered_reduction(), _context(**kwargs), bound_function_instances={"root": instance})
    np.testing.assert_array_equal(result.weights, np.full((T, W), expected))


@pytest.mark.usefixtures("sixty_ids_claiming_one")
def test_cold_start_passing_ids_whose_len_lies():
    seen = []

    class Recording(Sum):
        def __call__(self, extraction, signal_pnl=None):
            seen.append((extraction.shape, signal_pnl.shape))
            return super().__call__(extraction, signal_pnl)

    state = FunctionState(function_name="r", function_version="1", data={"count": 1, "window": 3})
    ee.evaluate(_filtered_reduction(), _context(), {"root": state}, True,
                bound_function_instances={"root": Recording()})
    assert seen[:2] == [((60, W), (60,))] * 2  # the two pre-fill rows, then the loop


def test_cached_node_table_whose_len_lies():
    def add(a, b):
        return a + b

    graph = Node("rotation", "add", [Node("rotation", "neg", [Node("feature", "x")]),
                                     Node("feature", "x")])
    bound = {"root": add, "root.c0": np.negative}
    context = _context()
    first = ee.evaluate(graph, context, bound_function_instances=bound).weights
    cache = graph._collect_nodes_cache
    cache["node_info"] = LyingDict(cache["node_info"])
    again = ee.evaluate(graph, context, bound_function_instances=bound).weights
    np.testing.assert_array_equal(again, first)
    np.testing.assert_array_equal(first, np.zeros((T, W)))


# ---- rolling built-ins: windows and carried states from an untrusted graph or checkpoint

@pytest.mark.parametrize("kind", [0, 1, 2])
def test_huge_window_costs_only_the_rows_seen(kind):
    rows = np.random.default_rng(kind).normal(size=(5, 3))
    stream = RollingStream(kind, 10**15)
    assert all(np.isnan(stream.push(row)).all() for row in rows)
    state = stream.get_state()
    assert len(state["ring"]) == rows.nbytes
    resumed = RollingStream(kind, 10**15)
    resumed.set_state(state)
    assert resumed.get_state() == state


@pytest.mark.parametrize("cls", [builtins.VolatilityWeighting, builtins.SharpeWeighting,
                                 builtins.TurnoverWeighting])
def test_huge_signal_pool_window_costs_only_the_rows_seen(cls):
    inst = cls(10**15)
    assert np.isnan(inst(np.ones((3, 4)), np.ones(3))).all()
    assert inst.get_state()["history"].shape == (3, 8)


@pytest.mark.parametrize("change, message", [
    ({"width": 2**27}, "'width' is 134217728 but the byte strings hold 3 columns"),
    ({"width": 2**27, "sum": b"\0" * 100}, "'sum' has the wrong size: 100 bytes for width 1342"),
    ({"count": 2**40}, "'ring' has the wrong size: 72 bytes for width 3 and 1000000 rows"),
])
def test_carried_state_checked_before_allocation(change, message):
    stream = RollingStream(1, 10**6)
    for row in np.ones((3, 3)):
        stream.push(row)
    state = {**stream.get_state(), **change}
    with pytest.raises(ValueError, match=message):
        RollingStream(1, 10**6).set_state(state)
    with pytest.raises(ValueError, match=message):
        builtins.RollingStd.from_state(state)


# ---- recursion on a small thread stack: leaves work, deep graphs end in RecursionError

def _on_thread(fn, stack_size):
    out = []

    def run():
        try:
            out.append(fn())
        except RecursionError as exc:
            out.append(exc)

    old = threading.stack_size(stack_size)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    return out[0]


@pytest.mark.parametrize("stack_kib", [256, 1024])
def test_small_thread_stack(stack_kib):
    context = _context()
    leaf = _on_thread(lambda: ee.evaluate(Node("feature", "x"), context).weights, stack_kib * 1024)
    np.testing.assert_array_equal(leaf, context.features[0])
    deep = Node("feature", "x")
    for _ in range(100_000):
        deep = Node("rotation", "f", [deep])
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(10**6)  # the stack, not the limit, stops the walk
    try:
        error = _on_thread(lambda: ee.evaluate(deep, context), stack_kib * 1024)
    finally:
        sys.setrecursionlimit(limit)
    assert isinstance(error, RecursionError)


# ---- row functions of the built-ins on empty and unaligned rows (checked by UBSan)

@pytest.mark.parametrize("kind", [0, 1, 2])
def test_zero_column_stream_resumed(kind):
    stream = RollingStream(kind, 2)
    stream.push(np.empty(0))
    resumed = RollingStream(kind, 2)
    resumed.set_state(stream.get_state())
    assert resumed.push(np.empty(0)).shape == (0,) and resumed.count == 2


@pytest.mark.parametrize("name", ["CrossSectionalRank", "RollingMean", "RollingStd",
                                  "RollingZScore"])
def test_unaligned_rows(name):
    make = getattr(builtins, name)
    rows = np.random.default_rng(0).normal(size=(6, 9))
    rows[2, 3] = np.nan
    unaligned = np.frombuffer(b"\0" + rows.tobytes(), offset=1).reshape(rows.shape)
    assert not unaligned.flags.aligned
    aligned_fn, unaligned_fn = (make() if name.endswith("Rank") else make(3) for _ in "ab")
    for row, odd in zip(rows, unaligned):
        assert aligned_fn(row).tobytes() == unaligned_fn(odd).tobytes()


def test_leaf_reshaped_under_its_universe_mid_chain(recwarn):
    # The window child reshapes the leaf after it was read: (40, 4) under a (4,) universe
    # becomes (20, 8), which the universe no longer covers (read past its end under ASan).
    data, reads = np.ones((40, 4)), []

    class Window(Node):
        def __getattribute__(self, name):
            if name == "type" and len(reads.append(1) or reads) == 2:
                data.shape = (20, 8)
            return super().__getattribute__(name)

    c = ee.EvaluationContext((data,), {"x": 0}, universe=np.ones(4), validate_inputs=False)
    graph = Node("rotation", builtins.ROLLING_MEAN, [Node("feature", "x"), Window("int", 3)])
    with pytest.raises(ValueError, match="could not be broadcast"):
        ee._evaluate_longitudinal_fast(graph, c)
