"""Longitudinal fast-path detection, the window reader and the chain evaluator."""

import types

import numpy as np
import pytest

from driver_fakes import Catalog, missing
from rolling_twin import MEAN, STD, ZSCORE, same_bytes, twin
from tessaline.functions._typed_shapes import FunctionGraphNode as Node
from tessaline.functions._typed_shapes import SchemaError
from tessaline.simulator_engine._types import EvaluationError

BIG = 100000


def feat(name="x", kind="feature"):
    return Node(kind, name)


def rot(name, *children):
    return Node("rotation", name, list(children))


def win(w):
    return Node("int", w)


Entry = types.SimpleNamespace


def Registry(names=(MEAN, STD, ZSCORE), **kwargs):
    return Catalog(names, **kwargs)


def make_ctx(ee, registry=None, names=("x",), **kw):
    data = np.arange(6.0).reshape(3, 2)
    return ee.EvaluationContext(tuple(data for _ in names), {n: i for i, n in enumerate(names)},
                                registry=registry, **kw)


def detect(ee, graph, ctx, function_states=None, T=BIG, **kw):
    return ee._can_use_longitudinal_fast_path(graph, ctx, function_states, T, **kw)


# ------------------------------------------------------------------------- detector

@pytest.mark.parametrize("T,states,dnf,attr,want", [
    (BIG - 1, None, None, None, False),
    (BIG, None, None, None, True),
    (BIG + 1, None, None, None, True),
    (BIG, {}, None, None, False),          # an empty dict is not None
    (BIG, {"k": 1}, None, None, False),
    (BIG, None, {"x"}, None, False),
    (BIG, None, set(), None, True),        # empty: falsy
    (BIG, None, None, ("useful_signals", {"s": object()}), False),
    (BIG, None, None, ("transform_pipeline", [object()]), False),
    (BIG, None, None, ("metaparameters", {"stage": "x"}), False),
])
def test_run_and_context_conditions(ee, T, states, dnf, attr, want):
    ctx = make_ctx(ee, Registry())
    if attr:
        setattr(ctx, *attr)
    graph = rot(MEAN, feat(), win(3))
    assert detect(ee, graph, ctx, states, T, data_nan_features=dnf) is want


def test_threshold_is_read_from_the_module_table(ee, monkeypatch):
    ctx = make_ctx(ee, Registry())
    graph = rot(MEAN, feat(), win(2))
    monkeypatch.setattr(ee, "_LONGITUDINAL_FAST_MIN_ROWS", 3)
    assert detect(ee, graph, ctx, T=3) and not detect(ee, graph, ctx, T=2)


class Touchy:
    """A context whose attributes must not be read; records what was read."""

    def __init__(self, **values):
        self.__dict__["_values"] = values
        self.__dict__["reads"] = []

    def __getattr__(self, name):
        self.reads.append(name)
        if name in self._values:
            return self._values[name]
        raise AssertionError(f"read {name}")


def test_check_order(ee):
    graph = rot(MEAN, feat(), win(3))
    # data-NaN features come first: T is not even compared
    assert detect(ee, graph, Touchy(), T=None, data_nan_features={"x"}) is False
    with pytest.raises(TypeError):
        detect(ee, graph, Touchy(), T=None)
    # row count and states before the context
    assert detect(ee, graph, Touchy(), T=BIG - 1) is False
    assert detect(ee, graph, Touchy(), function_states={}) is False
    # the context attributes in order, stopping at the first truthy one
    ctx = Touchy(useful_signals={}, transform_pipeline=[1])
    assert detect(ee, graph, ctx) is False
    assert ctx.reads == ["useful_signals", "transform_pipeline"]
    ctx = Touchy(useful_signals=None, transform_pipeline=None, metaparameters={},
                 feature_index={"x": 0}, registry=None)
    assert detect(ee, graph, ctx) is False
    assert ctx.reads == ["useful_signals", "transform_pipeline", "metaparameters", "registry"]


def test_without_registry_only_a_leaf_qualifies(ee):
    ctx = make_ctx(ee, None)
    assert detect(ee, feat(), ctx)
    assert detect(ee, feat(kind="aggregation"), ctx)
    assert not detect(ee, feat("missing"), ctx)
    assert not detect(ee, rot(MEAN, feat(), win(3)), ctx)


def lookup_raising(error):
    """A registry whose get_entry attribute itself raises ``error``."""
    return type("Lookup", (Catalog,), {"get_entry": property(
        lambda self: (_ for _ in ()).throw(error("get_entry")))})((MEAN,))


@pytest.mark.parametrize("registry,want", [
    (Registry(entry=Entry(module_path="", class_name=None)), True),
    (Registry(entry=Entry(module_path="pkg.mod")), False),
    (Registry(entry=Entry(class_name="Impl")), False),
    (Registry(entry=Entry(factory=object())), False),
    (Registry(entry=Entry(factory=None, implementation=None)), True),
    (Registry(entry=Entry(implementation=print)), False),
    (Registry(entry_error=KeyError("no")), False),
    (Registry(entry_error=RuntimeError("no")), False),
    (lookup_raising(AttributeError), False),
    (lookup_raising(KeyError), False),
    (Registry(names=()), False),
    (Registry(factories=(MEAN,)), False),
])
def test_registry_gate(ee, registry, want):
    assert detect(ee, rot(MEAN, feat(), win(3)), make_ctx(ee, registry)) is want


def test_registry_gate_call_order_and_short_circuit(ee):
    registry = Registry()
    assert detect(ee, rot(MEAN, feat(), win(3)), make_ctx(ee, registry))
    assert registry.asked == [("has", MEAN), ("has_factory", MEAN), ("get_entry", MEAN)]
    registry = Registry(names=())
    detect(ee, rot(MEAN, feat(), win(3)), make_ctx(ee, registry))
    assert registry.asked == [("has", MEAN)]

    reads = []

    class Recording:
        def __getattr__(self, name):
            reads.append(name)
            if name == "class_name":
                return "C"
            raise AttributeError(name)

    detect(ee, rot(MEAN, feat(), win(3)), make_ctx(ee, Registry(entry=Recording())))
    assert reads == ["module_path", "class_name"]


class Stop(BaseException):
    pass


@pytest.mark.parametrize("method, error", [("has", ValueError), ("has_factory", ValueError),
                                           ("get_entry", Stop), ("lookup", Stop)])
def test_registry_errors_propagate(ee, method, error):
    # (get_entry's ordinary exceptions, from the call or the lookup, decline the path:
    # test_registry_gate)
    registry = lookup_raising(error) if method == "lookup" else Registry()
    if method != "lookup":
        setattr(registry, method, lambda name: (_ for _ in ()).throw(error(method)))
    with pytest.raises(error, match=method.replace("lookup", "get_entry")):
        detect(ee, rot(MEAN, feat(), win(3)), make_ctx(ee, registry))


@pytest.mark.parametrize("graph,want", [
    (rot(MEAN, feat(), win(3)), True),
    (rot(MEAN, win(3), feat()), True),
    (rot(MEAN, Node("float", 1.5), feat(), win(3)), False),  # a float child is data
    (rot(MEAN, feat(), Node("string", "3")), False),          # no window
    (rot(MEAN, feat(), Node("bool", True), win(3), win(4)), True),
    (rot(MEAN, feat(), feat("y"), win(3)), False),
    (rot(MEAN, win(3)), False),
    (rot(MEAN, feat("missing"), win(3)), False),
    (rot("something_else", feat(), win(3)), False),
    (Node("reduction", MEAN, [feat(), win(3)]), False),
    (rot(STD, rot(ZSCORE, feat(), win(5)), win(3)), True),
    (rot(MEAN, rot(STD, rot(ZSCORE, feat("missing"), win(2)), win(2)), win(2)), False),
    (rot(MEAN, Node("rotation", "rank", [feat()]), win(3)), False),
    (Node("int", 3), False),
    (rot(MEAN, feat(), win(0)), True),  # the window's value is not examined
])
def test_supported_shapes(ee, graph, want):
    assert detect(ee, graph, make_ctx(ee, Registry(), names=("x", "y"))) is want


def test_each_rotation_asks_the_registry(ee):
    registry = Registry(names=(STD,))  # the inner name is unknown
    graph = rot(STD, rot(MEAN, feat(), win(2)), win(3))
    assert not detect(ee, graph, make_ctx(ee, registry))
    assert [c for c in registry.asked if c[0] == "has"] == [("has", STD), ("has", MEAN)]


def test_deep_chain_ends_in_recursion_error(ee):
    graph = feat()
    for _ in range(5000):
        graph = rot(MEAN, graph, win(2))
    with pytest.raises(RecursionError):
        detect(ee, graph, make_ctx(ee, Registry()))
    with pytest.raises(RecursionError):
        ee._evaluate_longitudinal_fast(graph, make_ctx(ee, Registry()))


# ------------------------------------------------------------------- window reader

@pytest.mark.parametrize("children,want", [
    ([], None),
    ([feat(), Node("string", "5")], None),
    ([feat(), win(4), win(9)], 4),
    ([win("7")], 7),
    ([win(3.9)], 3),
    ([win(np.int64(12))], 12),
    ((c for c in [feat(), win(6), None]), 6),  # any iterable, read up to the window only
])
def test_window_reader(ee, children, want):
    got = ee._get_int_window_child(children)
    assert got == want and (want is None or type(got) is int)


# ------------------------------------------------------------------------ evaluator

def test_chain_with_universe(ee):
    rng = np.random.default_rng(4)
    data = rng.normal(size=(80, 5))
    data[rng.random(data.shape) < 0.03] = np.nan
    universe = rng.choice([1.0, 0.0, np.nan, -2.0], p=[0.9, 0.04, 0.03, 0.03], size=data.shape)
    ctx = ee.EvaluationContext((data,), {"x": 0}, registry=Registry(), universe=universe)
    graph = rot(MEAN, win(4), rot(STD, feat(), win(6)))
    registers = ctx.registers
    got = ee._evaluate_longitudinal_fast(graph, ctx)
    masked = np.where((universe == 0.0) | np.isnan(universe), np.nan, data)
    same_bytes(got, twin(twin(masked, 6, STD), 4, MEAN))
    assert np.isnan(got[:8]).all()  # (6 - 1) + (4 - 1) warm-up rows of the chain
    assert ctx.registers is registers


def test_leaf_alone_is_the_masked_feature(ee):
    data = np.arange(8.0).reshape(4, 2)
    ctx = ee.EvaluationContext((data,), {"x": 0}, universe=np.array([[1.0, 0.0]] * 4))
    got = ee._evaluate_longitudinal_fast(feat("x", "aggregation"), ctx)
    assert np.isnan(got[:, 1]).all() and (got[:, 0] == data[:, 0]).all()


def test_evaluator_goes_through_module_functions(ee, monkeypatch):
    calls = []

    def fake_rolling(data, window, name):
        calls.append((data.shape, window, name))
        return np.full(data.shape, float(window))

    monkeypatch.setattr(ee, "_rolling_longitudinal_fast", fake_rolling)
    ctx = make_ctx(ee, Registry())
    graph = rot(ZSCORE, Node("string", "s"), rot(MEAN, feat(), win(2)), win(5), win(9))
    got = ee._evaluate_longitudinal_fast(graph, ctx)
    assert calls == [((3, 2), 2, MEAN), ((3, 2), 5, ZSCORE)]
    assert (got == 5.0).all()


def test_result_is_made_contiguous_float64(ee, monkeypatch):
    monkeypatch.setattr(ee, "_evaluate_longitudinal_fast_node",
                        lambda node, context: np.asfortranarray(np.ones((3, 2), np.float32)))
    got = ee._evaluate_longitudinal_fast(feat(), make_ctx(ee))
    assert got.dtype == np.float64 and got.flags.c_contiguous


# ------------------------------------------------------------------------ errors

@pytest.mark.parametrize("where, arg, error, match", [
    ("detect", {"type": "feature", "node": "x"}, SchemaError, "field-check"),
    ("detect", missing("node", rot(MEAN, feat(), win(3))), EvaluationError,
     "^Graph node 'fast_path' missing required key: node$"),
    ("detect", rot(MEAN, feat(), missing("type", win(3))), EvaluationError,
     "^Graph node 'fast_path.child' missing required key: type$"),
    ("detect", rot(MEAN, feat(), win("three")), ValueError, None),
    ("window", [feat(), missing("node", win(3))], EvaluationError,
     "^Graph node 'window.c1' missing required key: node$"),
    ("window", [feat(), None], SchemaError, "field-check"),
    ("window", [win(None)], TypeError, None),
    # the evaluator reads the data child before the rotation's name
    ("evaluate", missing("node", rot(MEAN, feat("nope"), win(2))), EvaluationError,
     "^Feature 'nope' not in context$"),
    ("evaluate", missing("node", rot(MEAN, feat(), win(2))), EvaluationError,
     "^Graph node 'fast_path.eval' missing required key: node$"),
    ("evaluate", rot(MEAN, win(2)), SchemaError, "got NoneType"),
    ("evaluate", rot(MEAN, Node("bool", True), missing("type", win(2))), EvaluationError,
     "^Graph node 'fast_path.eval.c1' missing required key: type$"),
])
def test_errors(ee, where, arg, error, match):
    call = {"detect": lambda: detect(ee, arg, make_ctx(ee, Registry())),
            "window": lambda: ee._get_int_window_child(arg),
            "evaluate": lambda: ee._evaluate_longitudinal_fast(arg, make_ctx(ee))}[where]
    with pytest.raises(error, match=match):
        call()
