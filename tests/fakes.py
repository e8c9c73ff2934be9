"""Graph builders, the fake registry and instances, hostile objects and Hypothesis strategies:
what a careless native extension mishandles. ``TESSALINE_FUZZ_EXAMPLES`` replaces every example
count (long random runs); ``TESSALINE_FUZZ_SCALE`` multiplies them (``make test-asan``)."""

from __future__ import annotations

import functools
import os
import warnings

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

from tessaline.functions._typed_shapes import FunctionGraphNode, FunctionState, SchemaError, StageData
from tessaline.simulator_engine._types import EvaluationError, TransformStage, UsefulSignal

F = FunctionGraphNode
_LONG = os.environ.get("TESSALINE_FUZZ_EXAMPLES")
_SCALE = float(os.environ.get("TESSALINE_FUZZ_SCALE", "1"))
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")

RANK = "virtualization_runtime_transform_acbc9b"
COMBINE = "numerical_combine_d65e04"
LONG_MEAN, LONG_STD, LONG_Z = (f"longitudinal_accumulators_{h}" for h in ("2ee349", "e4993a", "250f46"))
LONG_NAMES = (LONG_MEAN, LONG_STD, LONG_Z)
STAT_NAMES = ("statistical_volatility_f7e034", "statistical_sharpe_2e4daa", "statistical_turnover_56582e")
# Functions of the fuzz registry: nanmean of the inputs, a rolling sum, a reduction.
FN_MEAN, FN_ROLL, FN_RED = "fz_mean", "fz_roll", "fz_reduce"


def fuzz_settings(n: int):
    """About ``n`` examples, no deadline or database; derandomised unless a long run."""
    return settings(max_examples=max(1, int(_LONG)) if _LONG else max(5, int(n * _SCALE)), deadline=None,
                    database=None, derandomize=not _LONG,
                    suppress_health_check=list(HealthCheck), print_blob=True)


# ---------------------------------------------------------------------------------------
# Graphs.


def node(type_, value, *children, config=None, canonical_id=None):
    return F(type_, value, list(children) or None, config, canonical_id)


def feat(name="f0", kind="feature"):
    return F(kind, name)


def literal(kind):
    return lambda value: F(kind, value)


def missing(field, graph_node):
    delattr(graph_node, field)
    return graph_node


def sharpe_reduction(threshold=0.5):
    """The built-in Sharpe weighting (window 3) over the signals whose sharpe passes."""
    return F("reduction", STAT_NAMES[1], [F("filtration", "filtration", [
        F("gt", "gt", [F("string", "sharpe"), F("float", threshold)])]), F("int", 3)])


def graph_for(kind):
    return {
        "leaf": lambda: F("feature", "f0"),
        "rank": lambda: F("rotation", RANK, [F("feature", "f0")]),
        "rank_multiply": lambda: F("rotation", COMBINE, [
            F("rotation", RANK, [F("feature", "f0")]), F("rotation", RANK, [F("feature", "f1")])]),
        "longitudinal": lambda: F("rotation", LONG_Z, [
            F("rotation", LONG_MEAN, [F("feature", "f0"), F("int", 3)]), F("int", 2)]),
        "general": lambda: F("rotation", FN_MEAN, [
            F("rotation", FN_ROLL, [F("feature", "f0"), F("int", 2)]),
            F("reduction", FN_RED, [F("filtration", "filtration", [
                F("gt", "gt", [F("string", "sharpe"), F("float", 0.0)])]), F("int", 2)]),
            F("float", 0.5)]),
        "reduction": sharpe_reduction,
    }[kind]()


def ctx(ee, features, registry=None, **kwargs):
    names = kwargs.pop("names", None) or [f"f{i}" for i in range(len(features))]
    return ee.EvaluationContext(tuple(np.asarray(f, dtype=np.float64) for f in features),
                                {n: i for i, n in enumerate(names)}, registry=registry, **kwargs)


class Boom(Exception):
    """Raised by the misbehaving objects below; must reach the caller unchanged."""


# Package errors plus the platform errors of Python semantics on foreign inputs.
ALLOWED_ERRORS = (SchemaError, EvaluationError, TypeError, ValueError, KeyError, IndexError,
                  AttributeError, OverflowError, RecursionError, ZeroDivisionError, Boom)


def outcome(fn, *args, **kwargs):
    """("ok", value) or ("raised", exc); any other exception type (SystemError, ...) fails."""
    try:
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            return "ok", fn(*args, **kwargs)
    except ALLOWED_ERRORS as exc:  # noqa: PERF203
        return "raised", exc
    except BaseException as exc:
        raise AssertionError(f"{getattr(fn, '__name__', fn)} raised {type(exc).__name__}: {exc!r}") from exc


_NODE_FIELDS = ("type", "node", "children", "config", "canonical_id")
# Context attributes that an evaluation may replace: scratch space, not the caller's inputs.
SCRATCH = ("registers", "extraction_buffer", "universe_mask", "current_day_index",
           "transform_pipeline", "features", "feature_index")
_MISSING = object()


def _instance_dict(obj):
    try:
        return object.__getattribute__(obj, "__dict__")
    except Exception:
        return {}


def _array_record(a):
    data = a.tobytes() if a.dtype != object else [id(x) for x in a.ravel(order="K")]
    return (a, a.shape, a.strides, a.dtype.str, a.flags.writeable, data)


def _container_items(v):
    """The items of a plain list, tuple or dict (keys and values), compared by identity."""
    return list(v) if type(v) in (list, tuple) else [x for kv in v.items() for x in kv] if type(v) is dict else None


class Snapshot:
    """Bytes of every array and the fields of every graph node reachable from ``roots``
    (through containers, nodes, contexts, signals, stage data and states); context
    attributes in ``skip_context_attrs`` are scratch space and not followed. ``objects`` lists
    every object visited."""

    def __init__(self, *roots, skip_context_attrs=(), limit=20000):
        self.arrays, self.nodes, self.objects, seen = [], [], [], set()
        self.hostile = False  # inputs that mutate themselves: only arrays are compared
        stack, budget = list(roots), limit
        while stack and budget > 0:
            o = stack.pop()
            if id(o) in seen:
                continue
            seen.add(id(o))
            self.objects.append(o)
            budget -= 1
            if isinstance(o, np.ndarray):
                self.arrays.append(_array_record(o))
            elif isinstance(o, FunctionGraphNode):
                self.hostile |= isinstance(o, MutatingNode)
                d, fields = _instance_dict(o), {}
                for f in _NODE_FIELDS:
                    if f in d:
                        items = _container_items(d[f])
                        fields[f] = (d[f], items)
                        stack.append(d[f])
                        stack.extend(items or ())
                self.nodes.append((o, fields))
            elif isinstance(o, list):
                self.hostile |= isinstance(o, ShrinkingList)
                stack.extend(list.copy(o))  # never runs a subclass's __iter__
            elif isinstance(o, tuple):
                stack.extend(tuple.__getitem__(o, slice(None)))
            elif isinstance(o, dict):
                for k, v in dict.items(o):
                    stack += (k, v)
            elif type(o).__name__ == "EvaluationContext":
                stack.extend(v for k, v in _instance_dict(o).items() if k not in skip_context_attrs)
            elif isinstance(o, (UsefulSignal, StageData, FunctionState)):
                stack.extend(_instance_dict(o).values())

    def assert_unchanged(self, what=""):
        for rec in self.arrays:
            now = _array_record(rec[0])
            assert now[1:5] == rec[1:5], f"{what}: array metadata changed {rec[1:5]} -> {now[1:5]}"
            assert now[5] == rec[5], f"{what}: a caller's array was written to"
        if self.hostile:
            return
        for n, fields in self.nodes:
            d = _instance_dict(n)
            for f, (value, items) in fields.items():
                assert d.get(f, _MISSING) is value, f"{what}: node field {f!r} was replaced"
                now = _container_items(value)
                assert items is None or (len(now) == len(items) and all(
                    x is y for x, y in zip(now, items))), f"{what}: node field {f!r} modified in place"


# ---------------------------------------------------------------------------------------
# Misbehaving objects.


def raising_method(what):
    def method(self, *args, **kwargs):
        raise Boom(what)
    return method


# Every protocol raises Boom: attribute access, truth, length, iteration, hashing, ...
Raiser = type("Raiser", (), {f"__{m}__": raising_method(m) for m in (
    "getattr", "bool", "len", "iter", "eq", "hash", "index", "float", "int", "format",
    "getitem", "contains", "call", "array")})
# Usable as a dict key: only equality with another object raises.
HashableRaiser = type("HashableRaiser", (Raiser,), {"__hash__": lambda self: 7})


# A str whose comparison lies and whose hash is its text's hash.
EvilStr = type("EvilStr", (str,), {"__eq__": lambda s, o: not str.__eq__(s, o), "__ne__": str.__eq__,
                                   "__hash__": str.__hash__})


class ShrinkingList(list):
    """Empties itself as soon as it is iterated or measured."""

    def __iter__(self):
        items = list.copy(self)
        self.clear()
        return list.__iter__(items)

    def __len__(self):
        return list.__len__(self) + (self.clear() or 0)


class RaisingIterList(list):
    """Truthy list whose iteration raises half-way."""

    def __iter__(self):
        for i, x in enumerate(list.__iter__(self)):
            if i == 1:
                raise Boom("iter half-way")
            yield x


def raising_node_class(field: str, exc: type = Boom):
    """A FunctionGraphNode subclass whose ``field`` property raises ``exc``."""
    def getter(self):
        raise exc(f"reading {field}")
    return type(f"Raising_{field}", (FunctionGraphNode,), {field: property(getter, lambda self, value: None)})


def frozen_node_class(error):
    """A FunctionGraphNode subclass that refuses every assignment after construction."""
    def __init__(self, *args, **kwargs):
        FunctionGraphNode.__init__(self, *args, **kwargs)
        object.__setattr__(self, "_init_done", True)

    def __setattr__(self, name, value):
        if _instance_dict(self).get("_init_done"):
            raise error(f"frozen: {name}")
        object.__setattr__(self, name, value)
    return type(f"Frozen{error.__name__}", (FunctionGraphNode,), {"__init__": __init__, "__setattr__": __setattr__})


FROZEN_NODES = {e: frozen_node_class(e) for e in (AttributeError, TypeError, Boom)}


class MutatingNode(FunctionGraphNode):
    """Reading ``type`` runs a mutation of the graph first."""

    def __init__(self, type, node, children=None, config=None, canonical_id=None, action=None):
        super().__init__(None, node, children, config, canonical_id)
        object.__setattr__(self, "_real_type", type)
        object.__setattr__(self, "_action", action)

    @property
    def type(self):
        d = _instance_dict(self)
        if d.get("_action") is not None:
            d["_action"](self)
        return d.get("_real_type")

    @type.setter
    def type(self, value):
        pass


def _children_lists(nodes):
    return [ch for n in nodes if isinstance(ch := _instance_dict(n).get("children"), list)]


MUTATIONS = (
    lambda n: [ch.clear() for ch in _children_lists([n])],
    lambda n: _instance_dict(n).pop("node", None),
    lambda n: _instance_dict(n).__setitem__("children", [FunctionGraphNode("float", 1.0)]),
    lambda n: [ch.clear() for ch in _children_lists(
        [c for c in list(_instance_dict(n).get("children") or ()) if isinstance(c, FunctionGraphNode)])],
)


# ---------------------------------------------------------------------------------------
# The registry and function instances.


class Entry:
    def __init__(self, param_schema=None, family="", stateful=False, **implementation):
        self.param_schema, self.family, self.stateful = param_schema, family, stateful
        vars(self).update(implementation)  # module_path, class_name, factory, implementation


def _hashable(x):
    try:
        return hash(x) is not None
    except Exception:
        return False


class Registry:
    """The function registry protocol over ``entries``: ``add`` gives a name an entry and a
    factory (such names count as having factories, as do ``factories``); other known names
    get a ``FakeInstance`` with ``instance_behaviour``. ``misbehave`` maps a method to
    "raise", "none" or "weird". ``calls`` records the instances made by factories, in order."""

    def __init__(self, entries=None, misbehave=None, instance_behaviour="ok", state_behaviour="ok",
                 factories=(), module=None, width=1):
        self.entries, self.makers = dict(entries or {}), {}
        self.misbehave, self.factories = dict(misbehave or {}), set(factories)
        self.instance_behaviour, self.state_behaviour = instance_behaviour, state_behaviour
        self.module, self.width, self.context, self.graph, self.calls = module, width, None, None, []

    def add(self, name, factory, **entry):
        self.entries[name], self.makers[name] = Entry(**entry), factory
        return self

    def _answer(self, method, normal):
        b = self.misbehave.get(method, "ok")
        if b == "raise":
            raise Boom(method)
        return None if b == "none" else [method] if b == "weird" else normal()

    def has(self, name):
        return self._answer("has", lambda: _hashable(name) and name in self.entries)

    def get_entry(self, name):
        return self._answer("get_entry", lambda: self.entries[name])

    def has_factory(self, name):
        return self._answer("has_factory", lambda: _hashable(name) and (
            name in self.factories or name in self.makers))

    def _make(self, name, state, config):
        if _hashable(name) and name in self.makers:
            inst = self.makers[name](**config)
            if state is not None:
                inst.restored_from = state
            return inst
        entry = self.entries.get(name) if _hashable(name) else None
        window = config.get("window", 3) if isinstance(config.get("window", 3), int) else 3
        return FakeInstance(name, self.instance_behaviour, bool(getattr(entry, "stateful", False)),
                            window, getattr(state, "data", None), self.state_behaviour, self)

    def _record(self, *call):
        if _hashable(call[1]) and call[1] in self.makers:
            self.calls.append(call)

    def create_instance(self, name, **config):
        self._record("create", name, config)
        return self._answer("create_instance", lambda: self._make(name, None, config))

    def create_instance_from_state(self, name, state, **config):
        self._record("restore", name, state, config)
        return self._answer("create_instance_from_state", lambda: self._make(name, state, config))

    def get_function_version(self, name):
        return self._answer("get_function_version", lambda: f"{name}-v1")


def fuzz_entries():
    long = Entry(stateful=True, param_schema={"window": "int"})
    return {FN_MEAN: Entry(), COMBINE: Entry(),
            FN_ROLL: Entry(param_schema={"window": {"type": "int"}}, stateful=True),
            FN_RED: Entry(param_schema=[("window", "int")], stateful=True),
            RANK: Entry(family="virtualization", param_schema={"window": {"type": "int"}}),
            LONG_MEAN: long, LONG_STD: long, LONG_Z: long,
            STAT_NAMES[1]: Entry(param_schema=[{"name": "stat_name", "type": "string"}])}


class Fn:
    """A function instance: records its calls and applies ``op`` to the row arguments; a
    stateful one counts them."""

    def __init__(self, op=None, stateful=False, count=0, **config):
        self.op = op if op is not None else (lambda *rows: rows[0] + 0.0)
        self.stateful, self.count, self.config, self.calls = stateful, count, config, []

    def __call__(self, *args, **kwargs):
        self.count += 1
        self.calls.append((args, kwargs))
        return self.op(*args)

    def get_state(self):
        return {"count": self.count}


def StatefulFn(op=None, count=0, **config):
    return Fn(op, True, count, **config)


class Reduction(Fn):
    """A stateful reduction: the column sum of its extraction rows."""

    def __init__(self, count=0, **config):
        super().__init__(None, True, count, **config)

    def __call__(self, extraction, signal_pnl=None, **kwargs):
        self.count += 1
        self.calls.append(((extraction.copy(),), {"signal_pnl": signal_pnl}))
        return extraction.sum(axis=0)


INSTANCE_BEHAVIOURS = ("ok", "ok", "ok", "ok", "none", "list", "wrong_shape", "wrong_dtype", "float",
                       "raise", "reenter", "mutate_context", "mutate_graph", "alias_registers", "2d",
                       "object", "text", "dict", "complex", "bool", "masked", "strided_int")
# Garbage results: behaviour -> f(row, width).
_RETURNS = {
    "ok": lambda out, w: out, "none": lambda out, w: None, "list": lambda out, w: out.tolist(),
    "wrong_shape": lambda out, w: np.zeros(w + 1), "float": lambda out, w: 1.5,
    "wrong_dtype": lambda out, w: out.astype(np.float32), "2d": lambda out, w: out.reshape(1, -1),
    "object": lambda out, w: out.astype(object), "text": lambda out, w: "text",
    "dict": lambda out, w: {"a": 1}, "complex": lambda out, w: out.astype(np.complex128),
    "bool": lambda out, w: out > 0, "masked": lambda out, w: np.ma.masked_all(w),
    "strided_int": lambda out, w: np.ones(2 * w)[::2].astype(np.int32),
}
# Context rewrites of "mutate_context", taken in turn.
_CONTEXT_REWRITES = (
    lambda c: setattr(c, "features", None), lambda c: setattr(c, "registers", None),
    lambda c: getattr(c, "feature_index", {}).clear(), lambda c: setattr(c, "useful_signals", {}),
    lambda c: setattr(c, "universe", np.zeros((1, 1))),
    lambda c: setattr(c, "extraction_buffer", "garbage"), lambda c: setattr(c, "features", ()),
    lambda c: setattr(c, "registers", np.zeros((1, 1))),
)
_STATES = {"none": lambda s: None, "weird": lambda s: {"count": "many", "window": None},
           "list": lambda s: [1, 2, 3]}


class FakeInstance:
    """A function instance with a chosen behaviour: "ok" returns the NaN-mean of its data
    arguments (a running sum when stateful); the others return garbage, raise, re-enter
    ``evaluate`` or rewrite the context or the graph."""

    def __init__(self, name, behaviour="ok", stateful=False, window=3, state=None,
                 state_behaviour="ok", registry=None):
        self.name, self.behaviour, self.stateful, self.window = name, behaviour, stateful, window
        self.count = int(state.get("count", 0)) if isinstance(state, dict) else 0
        self.total, self.calls = None, 0
        self.state_behaviour, self.registry = state_behaviour, registry

    def __call__(self, *args, context=None, signal_pnl=None, **kwargs):
        self.calls += 1
        b, reg = self.behaviour, self.registry
        c = context if context is not None else getattr(reg, "context", None)
        data = [np.asarray(a, dtype=np.float64) for a in args if isinstance(a, np.ndarray) and a.ndim >= 1]
        width = data[0].shape[-1] if data else getattr(reg, "width", 1)
        out = np.zeros(width)
        if data:
            rows = [d if d.ndim == 1 else np.nanmean(d, axis=0) if d.shape[0] else np.zeros(width)
                    for d in data]
            with np.errstate(all="ignore"), warnings.catch_warnings():
                warnings.simplefilter("ignore")
                out = np.nanmean(np.vstack([r.reshape(-1)[:width] for r in rows if r.size >= width]
                                           or [np.zeros(width)]), axis=0)
        out = np.ascontiguousarray(out, dtype=np.float64)
        if self.stateful:
            self.count += 1
            self.total = out if self.total is None else self.total + out
            out = self.total.copy()
        if b in _RETURNS:
            return _RETURNS[b](out, width)
        if b == "raise":
            raise Boom(f"{self.name} failed")
        if b == "reenter":
            if c is not None and reg is not None and reg.module is not None and self.calls < 3:
                outcome(reg.module.evaluate, FunctionGraphNode("feature", "f0"), c)
        elif b == "mutate_context" and c is not None:
            _CONTEXT_REWRITES[self.calls % 8](c)
        elif b == "mutate_graph":
            g = getattr(reg, "graph", None)
            if isinstance(g, FunctionGraphNode) and isinstance(g.children, list):
                g.children.clear()
        elif b == "alias_registers":
            regs = getattr(c, "registers", None)
            if isinstance(regs, np.ndarray) and regs.ndim == 2 and regs.shape[0]:
                return regs[0]
        return out

    def get_state(self):
        if self.state_behaviour == "raise":
            raise Boom("get_state")
        if self.state_behaviour in _STATES:
            return _STATES[self.state_behaviour](self)
        return {"count": self.count, "window": self.window}


# ---------------------------------------------------------------------------------------
# Strategies.

FUNC_NAMES = (RANK, COMBINE, *LONG_NAMES, *STAT_NAMES, FN_MEAN, FN_ROLL, FN_RED, "fz_unknown")
FILTER_OPS = ("gt", "lt", "gte", "lte", "eq", "neq", "between", "in_", "and_", "or_", "not_",
              "top_pct", "bottom_pct", "top_n", "bottom_n")
LEAF_TYPES = ("feature", "aggregation", "float", "int", "string", "bool", "filtration")
ODD_TYPES = ("in", "and", "", "Feature", "rotation ")


@functools.lru_cache(maxsize=None)
def odd_objects():
    """Foreign objects that may arrive anywhere."""
    return st.one_of(
        st.none(), st.integers(-3, 3), st.sampled_from([2**70, -(2**70), 2**31, -(2**31) - 1]),
        st.floats(), st.text(max_size=5), st.binary(max_size=3), st.just(()), st.builds(list),
        st.builds(dict), st.builds(dict, st.just({"type": "feature", "node": "f0"})),
        st.builds(object), st.builds(Raiser), st.builds(HashableRaiser),
        st.builds(EvilStr, st.sampled_from(("feature", "f0", "rotation", "root"))),
        st.builds(lambda: np.zeros((2, 2))), st.builds(lambda: np.float64("nan")))


@functools.lru_cache(maxsize=None)
def literal_values():
    return st.one_of(
        st.integers(-5, 40), st.floats(width=64),
        st.sampled_from(("sharpe", "turnover", "family", "momentum", "gross_returns", "net", "abc", "12", "")),
        st.booleans(), st.none(), st.sampled_from(["7.9", "abc", 2**80, 7.9, -1, 0, 1]))


@functools.lru_cache(maxsize=None)
def _node_value_for(t):
    if t in ("feature", "aggregation"):
        return st.sampled_from(("f0", "f1", "f2", "spread", "missing"))
    if t in ("rotation", "reduction"):
        return st.sampled_from(FUNC_NAMES)
    if t in FILTER_OPS or t == "filtration":
        return st.sampled_from(("filtration", *FILTER_OPS, "unknown_op"))
    return literal_values()


@functools.lru_cache(maxsize=None)
def configs():
    keys = st.one_of(st.sampled_from(("window", "decay", "A", "N_alloc", "pnl_column", "stat_name",
                                      "invert")), st.integers(0, 2), st.none())
    plain = st.one_of(st.none(), st.builds(dict), st.dictionaries(
        st.sampled_from(("window", "decay")), st.integers(1, 4), max_size=1))
    odd = st.one_of(st.dictionaries(keys, literal_values(), max_size=3),
                    st.sampled_from([[("window", 3)], [1, 2], 5, "window"]), st.builds(Raiser))
    return st.one_of(plain, plain, plain, plain, odd)


@functools.lru_cache(maxsize=None)
@st.composite
def graph_nodes(draw, max_leaves=8, odd=True):
    """A random graph: every node type, odd values, foreign children, odd configs, hostile
    node classes, cycles. With ``odd`` false every node is a plain FunctionGraphNode of a
    known type, which keeps most examples deep enough to reach the evaluation proper."""
    def make(t, v, children):
        cls = FunctionGraphNode
        if odd and draw(st.integers(0, 9)) == 0:
            kind = draw(st.sampled_from(("raise", "frozen", "mutating", "missing")))
            if kind == "raise":
                cls = raising_node_class(draw(st.sampled_from(_NODE_FIELDS)),
                                         draw(st.sampled_from((Boom, AttributeError))))
            elif kind == "frozen":
                cls = FROZEN_NODES[draw(st.sampled_from(tuple(FROZEN_NODES)))]
            elif kind == "mutating":
                return MutatingNode(t, v, children, action=draw(st.sampled_from(MUTATIONS)))
            else:
                n = FunctionGraphNode(t, v, children)
                del n.__dict__[draw(st.sampled_from(("type", "node")))]
                return n
        config = draw(configs()) if t in ("rotation", "reduction") or draw(st.integers(0, 6)) == 0 else None
        return cls(t, v, children, config, draw(st.sampled_from((None, None, None, "cid0", "cid1"))))

    budget = [draw(st.integers(1, max_leaves))]

    def build(depth):
        if depth > 5 or budget[0] <= 0 or draw(st.integers(0, 2)) == 0:
            budget[0] -= 1
            if odd and draw(st.integers(0, 15)) == 0:
                return draw(odd_objects())
            t = draw(st.sampled_from(LEAF_TYPES))
            return make(t, draw(_node_value_for(t)), None)
        t = draw(st.sampled_from(("rotation", "reduction", "filtration", *FILTER_OPS[:4], "and_", "not_",
                                  "rotation", "rotation") + (ODD_TYPES if odd else ())))
        kids = [build(depth + 1) for _ in range(draw(st.integers(0, 3)))]
        if odd:
            form = draw(st.integers(0, 12))
            kids = (tuple(kids) if form == 0 else ShrinkingList(kids) if form == 1
                    else RaisingIterList(kids) if form == 2 and len(kids) > 1
                    else None if form == 3 and not kids else kids)
        return make(t, draw(_node_value_for(t)), kids)

    root = build(0)
    if odd and isinstance(root, FunctionGraphNode) and draw(st.integers(0, 14)) == 0:
        # The k-th node with a children list (pre-order) becomes its own child.
        nodes, stack = [], [root]
        while stack:
            n = stack.pop()
            if isinstance(n, FunctionGraphNode) and type(_instance_dict(n).get("children")) is list:
                nodes.append(n)
                stack.extend(_instance_dict(n)["children"])
        if nodes:
            target = nodes[draw(st.integers(0, 10)) % len(nodes)]
            target.children.append(target)
    return root


@functools.lru_cache(maxsize=None)
@st.composite
def fast_shapes(draw):
    """Graphs at and around the fast paths' shapes (a rank of a leaf, the product of two ranks,
    a rolling chain), with parts swapped for near misses."""
    def pick(common, *rare):
        return draw(st.sampled_from((common,) * 8 + rare))

    def leaf():
        return F(pick("feature", "aggregation", "float", "rotation"), pick("f0", "f1", "missing"))

    def rank():
        return F(pick("rotation", "reduction"), pick(RANK, COMBINE), [leaf() for _ in range(pick(1, 0, 2))])

    kind = draw(st.integers(0, 2))
    if kind < 2:
        return rank() if kind == 0 else F(pick("rotation", "reduction"), pick(COMBINE, RANK),
                                          [rank() for _ in range(pick(2, 1, 3))])
    n = leaf()
    for _ in range(draw(st.integers(1, 3))):
        extra = [F(t, 2) for t in draw(st.lists(st.sampled_from(("int", "bool", "string", "float", "feature")),
                                                max_size=2))]
        n = F(pick("rotation", "reduction"), pick(LONG_MEAN, LONG_STD, LONG_Z, "other"),
              [n, F(pick("int", "string"), draw(st.integers(1, 5)))] + extra)
    return n


@functools.lru_cache(maxsize=None)
@st.composite
def filter_trees(draw, depth=0):
    """Filter operators over literal arguments of every kind, nested a few levels."""
    kids = []
    for _ in range(draw(st.integers(0, 4))):
        kind = draw(st.sampled_from(("string", "float", "int", "bool", "string", "float", "op", "feature")))
        kids.append(draw(filter_trees(depth + 1)) if kind == "op" and depth < 2 else F(kind, draw(
            st.sampled_from(("sharpe", "family", 1.5, 3, None, True, "x", 0.25)))))
    name = draw(st.sampled_from(FILTER_OPS + ("filtration", "unknown_op")))
    return F(draw(st.sampled_from((name, name, name, "filtration", "and"))), name, kids or None)


DTYPES = (np.float64, np.float64, np.float64, np.float32, np.int64, np.int8, np.uint8, np.bool_,
          np.complex128, np.float16, object, "U3", "M8[s]")


@functools.lru_cache(maxsize=None)
@st.composite
def arrays(draw, shape=None, dtypes=DTYPES, max_side=5, ndims=(0, 1, 2, 2, 2, 3)):
    """An array of any dtype, order, ndim and shape, possibly a strided view or read-only."""
    dtype = np.dtype(draw(st.sampled_from(dtypes)))
    if shape is None:
        shape = tuple(draw(st.integers(0, max_side)) for _ in range(draw(st.sampled_from(ndims))))
    size = int(np.prod(shape)) if shape else 1
    base = np.array(draw(st.lists(st.sampled_from(
        (0.0, -0.0, 1.0, -1.0, 0.5, 2.5, np.nan, np.inf, -np.inf, 3.0, 1e300, -7.25)),
        min_size=size, max_size=size)), dtype=np.float64)
    with np.errstate(all="ignore"):
        if dtype.kind in "iub":
            base = np.nan_to_num(base, nan=0, posinf=3, neginf=-3).clip(-100, 100)
        if dtype.kind == "M":
            base = np.nan_to_num(base, nan=0, posinf=0, neginf=0).clip(0, 100)
        arr = base.astype(dtype).reshape(shape)
    layout = draw(st.integers(0, 5))
    if layout == 1 and arr.ndim >= 2:
        arr = np.asfortranarray(arr)
    elif layout == 2 and arr.ndim >= 1:
        arr = np.repeat(arr, 2, axis=-1)[..., ::2]  # strided view, same contents
    if draw(st.integers(0, 7)) == 0:
        arr = arr.copy()
        arr.flags.writeable = False
    return arr


@functools.lru_cache(maxsize=None)
@st.composite
def matrices(draw, T, N, odd=False):
    """A (T, N) float64 matrix with NaN/inf, or with ``odd`` any array at all."""
    if odd and draw(st.integers(0, 4)) == 0:
        return draw(arrays())
    return draw(arrays(shape=(T, N), dtypes=(np.float64,) * 6 + (np.float32, np.int64, np.bool_)
                       if odd else (np.float64,)))


_ODD_ENTRIES = (
    lambda: Entry(param_schema=Raiser()), lambda: Entry(param_schema=[("window",), ["a", "int"], None, 3]),
    lambda: Entry(param_schema={"window": Raiser()}, family="virtualization"),
    lambda: Entry(param_schema=[{"name": [1], "type": "int"}], family="virtualization"),
    object, Raiser, lambda: Entry(stateful=Raiser()), lambda: Entry(implementation="x", stateful=True),
    lambda: Entry(module_path="pkg.mod"), lambda: Entry(class_name="Impl"), lambda: Entry(factory=object),
    lambda: Entry(module_path="", class_name=None, factory=None, implementation=None),
)
_METHODS = ("has", "get_entry", "has_factory", "create_instance", "create_instance_from_state",
            "get_function_version")


_GATES = ({}, {}, {"module_path": "pkg.mod"}, {"class_name": "Impl"}, {"factory": object}, {"implementation": print},
          {"module_path": "", "class_name": None, "factory": None, "implementation": None})


@functools.lru_cache(maxsize=None)
@st.composite
def registries(draw, module=None, width=1, odd=True, gates=False):
    """None, a well-behaved fake registry or one that misbehaves in one or more ways; with
    ``gates`` the fast paths' entries do or do not show an implementation, and get_entry may raise."""
    if draw(st.integers(0, 5)) == 0:
        return None
    mb, ib, sb = {}, "ok", "ok"
    if odd and draw(st.booleans()):
        for m in draw(st.lists(st.sampled_from(_METHODS), max_size=2)):
            mb[m] = draw(st.sampled_from(("raise", "none", "weird")))
        ib = draw(st.sampled_from(INSTANCE_BEHAVIOURS))
        sb = draw(st.sampled_from(("ok", "ok", "raise", "none", "weird", "list")))
    entries = fuzz_entries()
    if gates:
        entries.update({n: Entry(**draw(st.sampled_from(_GATES))) for n in (RANK, COMBINE, *LONG_NAMES)})
        mb.setdefault("get_entry", draw(st.sampled_from(("raise",) + ("ok",) * 5)))
    if odd and draw(st.integers(0, 3)) == 0:
        entries[draw(st.sampled_from(sorted(entries)))] = draw(st.sampled_from(_ODD_ENTRIES))()
    factories = draw(st.sets(st.sampled_from((RANK, COMBINE, LONG_MEAN)), max_size=1)) if odd else set()
    return Registry(entries, mb, ib, sb, factories, module=module, width=width)


@functools.lru_cache(maxsize=None)
@st.composite
def useful_signals(draw, T, N, odd=False):
    out = {}
    for i in range(draw(st.integers(0, 4))):
        if odd and draw(st.integers(0, 9)) == 0:
            out[f"s{i}"] = draw(st.sampled_from([lambda: None, object, Raiser, lambda: 3]))()
            continue
        w = draw(st.one_of(st.none(), matrices(T, N, odd=True)) if odd else matrices(T, N))
        pnl_shape = draw(st.sampled_from([(T,), (T, 2), (T, 3)] + ([(max(T - 1, 0),), ()] if odd else [])))
        pnl = None if (odd and draw(st.integers(0, 5)) == 0) else draw(
            arrays(shape=pnl_shape, dtypes=(np.float64,)))
        meta = {"sharpe": draw(st.sampled_from((0.5, 1.0, 2.0, np.nan, None, "x"))),
                "family": draw(st.sampled_from(("momentum", "value"))), "count": draw(st.integers(0, 5))}
        out[f"s{i}"] = UsefulSignal(weights=w, pnl=pnl, metadata=meta)
    return out


# Optional context arguments: (odds 1 in n, strategy).
_OPTIONAL = {
    "metaparameters": (5, st.sampled_from(({}, {"stage": FN_MEAN}, {"pool": {"stage": FN_MEAN}}))),
    "column_labels": (4, st.sampled_from((["gross_returns", "net"], ["net"], []))),
    "signal_pnl_vectors": (5, st.builds(lambda: {f"s{i}": {"gross_returns": 0.5, "net": float(i)}
                                                 for i in range(3)})),
}


@functools.lru_cache(maxsize=None)
@st.composite
def context_kwargs(draw, odd=True, T=None, N=None, module=None):
    """Keyword arguments of EvaluationContext, matching (mostly) or not (``odd``)."""
    T = draw(st.integers(0, 6)) if T is None else T
    N = draw(st.integers(0, 5)) if N is None else N
    if N == 0 and draw(st.booleans()):
        N = 1
    k = draw(st.integers(0, 3)) if odd and draw(st.integers(0, 7)) == 0 else draw(st.integers(1, 3))
    features = tuple(draw(matrices(T, N, odd=odd and draw(st.integers(0, 3)) == 0)) for _ in range(k))
    if odd and draw(st.integers(0, 8)) == 0:
        features = list(features)
    index = {n: i for i, n in enumerate(["f0", "f1", "f2"][:k])}
    if odd and draw(st.integers(0, 6)) == 0:
        index[draw(st.sampled_from(("f9", "spread", EvilStr("f0"))))] = draw(
            st.sampled_from((-1, k, 2**40, "0", 1.5, np.int64(0), True, None)))
    u = draw(st.integers(0, 4))
    universe = (draw(arrays(shape=(T, N), dtypes=(np.float64,))) if u == 1
                else draw(arrays()) if u == 2 and odd else None)
    kwargs = dict(features=features, feature_index=index, useful_signals=draw(useful_signals(T, N, odd=odd)),
                  registry=draw(registries(module=module, width=N, odd=odd)), universe=universe)
    for key, (n, strategy) in _OPTIONAL.items():
        if draw(st.integers(0, n - 1)) == 0:
            kwargs[key] = draw(strategy)
    if draw(st.integers(0, 4)) == 0:
        kwargs["transform_pipeline"] = draw(st.sampled_from((
            [], [TransformStage("stage", FN_MEAN)], [TransformStage("stage", None)],
            [TransformStage("stage", "fz_unknown")])))
        kwargs["pool_id"] = draw(st.sampled_from((None, "pool")))
    if draw(st.integers(0, 4)) == 0:
        kwargs["stage_data"] = StageData({"spread": draw(matrices(T, N, odd=odd)), "flat": np.zeros(N)})
    if odd and draw(st.integers(0, 5)) == 0:
        kwargs["validate_inputs"] = False
    if odd and draw(st.integers(0, 10)) == 0:
        kwargs["transforms_already_combined"] = True
    return kwargs


def build_context(module, kwargs):
    """An EvaluationContext from ``kwargs``; when validation refuses it, one without checks."""
    for extra in ({}, {"validate_inputs": False}):
        try:
            return module.EvaluationContext(**dict(kwargs, **extra))
        except ALLOWED_ERRORS:
            pass
    # The extraction buffer needs a 2-D first feature.
    return module.EvaluationContext(**dict(kwargs, validate_inputs=False, useful_signals=None))
