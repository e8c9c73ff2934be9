"""Hypothesis strategies and helpers for the robustness tests of the expression evaluator.

Everything here produces inputs that a careless native extension would mishandle: graph nodes
of every kind (and foreign objects in their place), nodes whose attribute access raises or
mutates the graph, cyclic and very deep graphs, arrays of every dtype, order, ndim and shape,
contexts whose parts do not fit together, and registries and function instances that raise,
return garbage, re-enter ``evaluate`` or rewrite the context while it is being evaluated.

Example counts: each fuzz test asks ``examples(n)`` for its count. ``TESSALINE_FUZZ_EXAMPLES``
replaces every count by that number (long runs: ``TESSALINE_FUZZ_EXAMPLES=20000 pytest -k fuzz``);
``TESSALINE_FUZZ_SCALE`` multiplies the defaults (``make test-asan`` passes it through).
"""

from __future__ import annotations

import functools
import os
import sys
import warnings

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

from tessaline.functions._typed_shapes import FunctionGraphNode, FunctionState, SchemaError, StageData
from tessaline.simulator_engine._types import EvaluationError, TransformStage, UsefulSignal

# ---------------------------------------------------------------------------------------
# Example counts and settings.

_LONG = os.environ.get("TESSALINE_FUZZ_EXAMPLES")
_SCALE = float(os.environ.get("TESSALINE_FUZZ_SCALE", "1"))
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


def examples(n: int) -> int:
    """The number of examples a fuzz test runs: ``n`` by default, see the module docstring."""
    if _LONG:
        return max(1, int(_LONG))
    return max(5, int(n * _SCALE))


def fuzz_settings(n: int):
    """Settings of one fuzz test: ``examples(n)`` examples, no deadline, no example database.

    Normal runs are derandomised so that CI is reproducible; long runs explore at random.
    """
    return settings(
        max_examples=examples(n),
        deadline=None,
        database=None,
        derandomize=not _LONG,
        suppress_health_check=list(HealthCheck),
        print_blob=True,
    )


# ---------------------------------------------------------------------------------------
# What a call may raise.


class Boom(Exception):
    """Raised by the misbehaving test objects below; must reach the caller unchanged."""


# Errors of the package plus the platform errors that the module documents or that arise
# from Python semantics on foreign inputs (argument binding, hashing, indexing, NumPy).
ALLOWED_ERRORS = (
    SchemaError,
    EvaluationError,  # and its subclasses
    TypeError,
    ValueError,
    KeyError,
    IndexError,
    AttributeError,
    OverflowError,
    RecursionError,
    ZeroDivisionError,
    Boom,
)


def outcome(fn, *args, **kwargs):
    """Call ``fn``; return ("ok", value) or ("raised", exc). Unexpected exception types fail."""
    try:
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            return "ok", fn(*args, **kwargs)
    except ALLOWED_ERRORS as exc:  # noqa: PERF203
        return "raised", exc
    except BaseException as exc:  # SystemError, RuntimeError, MemoryError ... are bugs
        raise AssertionError(
            f"{getattr(fn, '__name__', fn)} raised {type(exc).__name__}: {exc!r}") from exc


# ---------------------------------------------------------------------------------------
# Snapshots: the caller's arrays and graph must not change behind its back.

_NODE_FIELDS = ("type", "node", "children", "config", "canonical_id")


def _instance_dict(obj):
    try:
        return object.__getattribute__(obj, "__dict__")
    except Exception:
        return {}


class Snapshot:
    """Bytes of every array and the structure of every graph node reachable from ``roots``.

    Reached through lists, tuples, dicts, graph nodes, contexts, useful signals, stage data
    and function states. Context scratch attributes that an evaluation is allowed to replace
    (``skip_context_attrs``) are not followed.
    """

    def __init__(self, *roots, skip_context_attrs=(), limit=20000):
        self.arrays = []   # (array, shape, strides, dtype, writeable, bytes)
        self.nodes = []    # (node, {field: (value, items-or-None)})
        self._seen = set()
        self._skip = set(skip_context_attrs)
        self._budget = limit
        self.hostile = False  # the inputs mutate themselves: only arrays are compared
        for root in roots:
            self._walk(root)

    def _walk(self, obj):
        stack = [obj]
        while stack and self._budget > 0:
            o = stack.pop()
            if id(o) in self._seen:
                continue
            self._seen.add(id(o))
            self._budget -= 1
            if isinstance(o, np.ndarray):
                self.arrays.append(_array_record(o))
            elif isinstance(o, FunctionGraphNode):
                if isinstance(o, MutatingNode):
                    self.hostile = True
                d = _instance_dict(o)
                fields = {}
                for f in _NODE_FIELDS:
                    if f in d:
                        v = d[f]
                        items = _container_items(v)
                        fields[f] = (v, items)
                        stack.append(v)
                        if items is not None:
                            stack.extend(x for x in items if not isinstance(x, tuple))
                            stack.extend(x for pair in items if isinstance(pair, tuple)
                                         for x in pair)
                self.nodes.append((o, fields))
            elif isinstance(o, list):
                if isinstance(o, ShrinkingList):
                    self.hostile = True
                stack.extend(list.copy(o))  # never runs a subclass's __iter__
            elif isinstance(o, tuple):
                stack.extend(tuple.__getitem__(o, slice(None)))
            elif isinstance(o, dict):
                for k, v in dict.items(o):
                    stack.append(k)
                    stack.append(v)
            elif type(o).__name__ == "EvaluationContext":
                for k, v in _instance_dict(o).items():
                    if k not in self._skip:
                        stack.append(v)
            elif isinstance(o, (UsefulSignal, StageData, FunctionState)):
                stack.extend(_instance_dict(o).values())

    def assert_unchanged(self, what=""):
        for rec in self.arrays:
            arr = rec[0]
            now = _array_record(arr)
            assert now[1:5] == rec[1:5], f"{what}: array metadata changed {rec[1:5]} -> {now[1:5]}"
            assert now[5] == rec[5], f"{what}: a caller's array was written to"
        if self.hostile:
            return
        for node, fields in self.nodes:
            d = _instance_dict(node)
            for f, (value, items) in fields.items():
                assert d.get(f, _MISSING) is value, f"{what}: node field {f!r} was replaced"
                if items is not None:
                    assert _container_items(value) == items, (
                        f"{what}: node field {f!r} was modified in place")


_MISSING = object()


def _array_record(a):
    try:
        data = a.tobytes() if a.dtype != object else [id(x) for x in a.ravel(order="K")]
    except Exception as exc:  # pragma: no cover - arrays of exotic subclasses
        data = repr(exc)
    return (a, a.shape, a.strides, a.dtype.str, a.flags.writeable, data)


class _Ident:
    """Compares by identity, so container snapshots never call foreign __eq__."""

    __slots__ = ("obj",)

    def __init__(self, obj):
        self.obj = obj

    def __eq__(self, other):
        return isinstance(other, _Ident) and other.obj is self.obj

    def __hash__(self):
        return id(self.obj)


def _container_items(v):
    # list/tuple/dict contents of a node field, compared by identity; None for other objects.
    if type(v) in (list, tuple):
        return [_Ident(x) for x in v]
    if type(v) is dict:
        return [(_Ident(k), _Ident(x)) for k, x in v.items()]
    return None


# ---------------------------------------------------------------------------------------
# Misbehaving objects.


class Raiser:
    """Every protocol raises Boom: attribute access, truth, length, iteration, hashing, ..."""

    def __getattr__(self, name):
        raise Boom(f"getattr {name}")

    def __bool__(self):
        raise Boom("bool")

    def __len__(self):
        raise Boom("len")

    def __iter__(self):
        raise Boom("iter")

    def __eq__(self, other):
        raise Boom("eq")

    def __hash__(self):
        raise Boom("hash")

    def __index__(self):
        raise Boom("index")

    def __float__(self):
        raise Boom("float")

    def __int__(self):
        raise Boom("int")

    def __format__(self, format_spec_text):
        raise Boom("format")

    def __getitem__(self, key):
        raise Boom("getitem")

    def __contains__(self, key):
        raise Boom("contains")

    def __call__(self, *args, **kwargs):
        raise Boom("call")

    def __array__(self, *args, **kwargs):
        raise Boom("array")


class HashableRaiser(Raiser):
    """Like Raiser, but usable as a dict key (only equality with another object raises)."""

    def __hash__(self):
        return 7


class EvilStr(str):
    """A str whose comparison lies and whose hash collides with its text's hash."""

    def __eq__(self, other):
        return not str.__eq__(self, other)

    def __ne__(self, other):
        return str.__eq__(self, other)

    __hash__ = str.__hash__


class Callback:
    """A hashable value whose equality test runs ``fn`` first (for mutation attacks)."""

    def __init__(self, fn, value="feature"):
        self.fn, self.value = fn, value

    def __eq__(self, other):
        self.fn()
        return self.value == other

    def __hash__(self):
        return hash(self.value)

    def __str__(self):
        self.fn()
        return str(self.value)

    __format__ = lambda self, _format: str(self)  # noqa: E731


class ShrinkingList(list):
    """A list subclass that empties itself as soon as it is iterated or measured."""

    def __iter__(self):
        items = list.copy(self)
        self.clear()
        return list.__iter__(items)

    def __len__(self):
        n = list.__len__(self)
        self.clear()
        return n


class RaisingIterList(list):
    """Truthy list subclass whose iteration raises half-way."""

    def __iter__(self):
        for i, x in enumerate(list.__iter__(self)):
            if i == 1:
                raise Boom("iter half-way")
            yield x


def raising_node_class(field: str, exc: type = Boom):
    """A FunctionGraphNode subclass whose ``field`` property raises ``exc``."""

    def getter(self):
        raise exc(f"reading {field}")

    def setter(self, value):
        pass

    return type(f"Raising_{field}", (FunctionGraphNode,), {field: property(getter, setter)})


class FrozenNode(FunctionGraphNode):
    """Refuses every attribute assignment after construction (cache slots included)."""

    _frozen_error = AttributeError

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        object.__setattr__(self, "_init_done", True)

    def __setattr__(self, name, value):
        if _instance_dict(self).get("_init_done"):
            raise type(self)._frozen_error(f"frozen: {name}")
        object.__setattr__(self, name, value)


class FrozenTypeErrorNode(FrozenNode):
    _frozen_error = TypeError


class FrozenBoomNode(FrozenNode):
    _frozen_error = Boom


class MutatingNode(FunctionGraphNode):
    """Reading ``type`` runs a mutation first: clears a children list, drops attributes, ..."""

    def __init__(self, type, node, children=None, config=None, canonical_id=None, action=None):
        super().__init__(None, node, children, config, canonical_id)
        object.__setattr__(self, "_real_type", type)
        object.__setattr__(self, "_action", action)

    @property
    def type(self):
        action = _instance_dict(self).get("_action")
        if action is not None:
            action(self)
        return _instance_dict(self).get("_real_type")

    @type.setter
    def type(self, value):
        pass


def _clear_children(node):
    ch = _instance_dict(node).get("children")
    if isinstance(ch, list):
        ch.clear()


def _drop_node_value(node):
    _instance_dict(node).pop("node", None)


def _replace_children(node):
    _instance_dict(node)["children"] = [FunctionGraphNode("float", 1.0)]


def _clear_grandchildren(node):
    for c in list(_instance_dict(node).get("children") or ()):
        if isinstance(c, FunctionGraphNode):
            ch = _instance_dict(c).get("children")
            if isinstance(ch, list):
                ch.clear()


MUTATIONS = (_clear_children, _drop_node_value, _replace_children, _clear_grandchildren)


# ---------------------------------------------------------------------------------------
# Names and values.

RANK = "virtualization_runtime_transform_acbc9b"
COMBINE = "numerical_combine_d65e04"
LONG_MEAN = "longitudinal_accumulators_2ee349"
LONG_STD = "longitudinal_accumulators_e4993a"
LONG_Z = "longitudinal_accumulators_250f46"
LONG_NAMES = (LONG_MEAN, LONG_STD, LONG_Z)
STAT_NAMES = ("statistical_volatility_f7e034", "statistical_sharpe_2e4daa",
              "statistical_turnover_56582e")
# Functions of the fake registry below.
FN_MEAN = "fz_mean"        # stateless: nanmean of its data inputs
FN_ROLL = "fz_roll"        # stateful rolling sum with a window
FN_RED = "fz_reduce"       # stateful reduction
FUNC_NAMES = (RANK, COMBINE, *LONG_NAMES, *STAT_NAMES, FN_MEAN, FN_ROLL, FN_RED, "fz_unknown")

FILTER_OPS = ("gt", "lt", "gte", "lte", "eq", "neq", "between", "in_", "and_", "or_", "not_",
              "top_pct", "bottom_pct", "top_n", "bottom_n")
NODE_TYPES = ("feature", "aggregation", "float", "int", "string", "bool", "rotation",
              "reduction", "filtration", *FILTER_OPS)
ODD_TYPES = ("in", "and", "", "Feature", "rotation ")
FEATURE_NAMES = ("f0", "f1", "f2", "spread", "missing")
STRINGS = ("sharpe", "turnover", "family", "momentum", "gross_returns", "net", "abc", "12", "")


@functools.lru_cache(maxsize=None)
def odd_objects():
    """Foreign objects that may arrive anywhere."""
    return st.one_of(
        st.none(),
        st.integers(-3, 3),
        st.sampled_from([2**70, -(2**70), 2**31, -(2**31) - 1]),
        st.floats(allow_nan=True, allow_infinity=True),
        st.text(max_size=5),
        st.binary(max_size=3),
        st.just(()), st.builds(list), st.builds(dict),
        st.builds(dict, st.just({"type": "feature", "node": "f0"})),
        st.builds(object),
        st.builds(Raiser),
        st.builds(HashableRaiser),
        st.builds(EvilStr, st.sampled_from(("feature", "f0", "rotation", "root"))),
        st.builds(lambda: np.zeros((2, 2))),
        st.builds(lambda: np.float64("nan")),
    )


@functools.lru_cache(maxsize=None)
def literal_values():
    return st.one_of(
        st.integers(-5, 40),
        st.floats(allow_nan=True, allow_infinity=True, width=64),
        st.sampled_from(STRINGS),
        st.booleans(),
        st.none(),
        st.sampled_from(["7.9", "abc", 2**80, 7.9, -1, 0, 1]),
    )


@functools.lru_cache(maxsize=None)
def _node_value_for(t):
    if t in ("feature", "aggregation"):
        return st.sampled_from(FEATURE_NAMES)
    if t in ("rotation", "reduction"):
        return st.sampled_from(FUNC_NAMES)
    if t in NODE_TYPES[9:] or t == "filtration":
        return st.sampled_from(("filtration", *FILTER_OPS, "unknown_op"))
    return literal_values()


@functools.lru_cache(maxsize=None)
def configs():
    keys = st.one_of(st.sampled_from(("window", "decay", "A", "N_alloc", "pnl_column",
                                      "stat_name", "invert")),
                     st.integers(0, 2), st.none())
    plain = st.one_of(st.none(), st.builds(dict),
                      st.dictionaries(st.sampled_from(("window", "decay")),
                                      st.integers(1, 4), max_size=1))
    odd = st.one_of(
        st.dictionaries(keys, literal_values(), max_size=3),
        st.sampled_from([[("window", 3)], [1, 2], 5, "window"]),
        st.builds(Raiser),
    )
    return st.one_of(plain, plain, plain, plain, odd)


@functools.lru_cache(maxsize=None)
@st.composite
def graph_nodes(draw, max_leaves=8, odd=True):
    """A random graph: every node type, odd values, foreign children, odd configs.

    With ``odd`` false every node is a plain FunctionGraphNode with a known type, which keeps
    most examples deep enough to reach the evaluation proper.
    """
    def leaf():
        t = draw(st.sampled_from(NODE_TYPES[:6] + ("filtration",)))
        return _make(t, draw(_node_value_for(t)), None)

    def _make(t, v, children):
        cls = FunctionGraphNode
        kwargs = {}
        if odd and draw(st.integers(0, 9)) == 0:
            kind = draw(st.sampled_from(("raise", "frozen", "frozen_te", "frozen_boom",
                                         "mutating", "missing_type", "missing_node")))
            if kind == "raise":
                cls = raising_node_class(draw(st.sampled_from(_NODE_FIELDS)),
                                         draw(st.sampled_from((Boom, AttributeError))))
            elif kind == "frozen":
                cls = FrozenNode
            elif kind == "frozen_te":
                cls = FrozenTypeErrorNode
            elif kind == "frozen_boom":
                cls = FrozenBoomNode
            elif kind == "mutating":
                node = MutatingNode(t, v, children, action=draw(st.sampled_from(MUTATIONS)))
                return node
            else:
                node = FunctionGraphNode(t, v, children)
                del node.__dict__["type" if kind == "missing_type" else "node"]
                return node
        config = draw(configs()) if t in ("rotation", "reduction") or draw(
            st.integers(0, 6)) == 0 else None
        canonical = draw(st.sampled_from((None, None, None, "cid0", "cid1")))
        return cls(t, v, children, config, canonical, **kwargs)

    budget = [draw(st.integers(1, max_leaves))]

    def build(depth):
        if depth > 5 or budget[0] <= 0 or draw(st.integers(0, 2)) == 0:
            budget[0] -= 1
            if odd and draw(st.integers(0, 15)) == 0:
                return draw(odd_objects())
            return leaf()
        t = draw(st.sampled_from(("rotation", "reduction", "filtration", *FILTER_OPS[:4],
                                  "and_", "not_", "rotation", "rotation")
                                 + (ODD_TYPES if odd else ())))
        n = draw(st.integers(0, 3))
        kids = [build(depth + 1) for _ in range(n)]
        if odd:
            form = draw(st.integers(0, 12))
            children = (tuple(kids) if form == 0 else ShrinkingList(kids) if form == 1
                        else RaisingIterList(kids) if form == 2 and len(kids) > 1
                        else None if form == 3 and not kids else kids)
        else:
            children = kids
        return _make(t, draw(_node_value_for(t)), children)

    root = build(0)
    if odd and isinstance(root, FunctionGraphNode) and draw(st.integers(0, 14)) == 0:
        make_cycle(root, draw(st.integers(0, 10)))
    return root


def make_cycle(root, k):
    """Make the k-th node with a children list (in pre-order) also a child of its descendant."""
    nodes, stack = [], [root]
    while stack:
        n = stack.pop()
        if isinstance(n, FunctionGraphNode) and type(_instance_dict(n).get("children")) is list:
            nodes.append(n)
            stack.extend(_instance_dict(n)["children"])
    if nodes:
        target = nodes[k % len(nodes)]
        target.children.append(target)


def deep_chain(depth, leaf_type="feature", leaf_value="f0", inner_type="rotation",
               inner_value=FN_MEAN):
    """A chain of ``depth`` inner nodes over one leaf, built without recursion."""
    node = FunctionGraphNode(leaf_type, leaf_value)
    for _ in range(depth):
        node = FunctionGraphNode(inner_type, inner_value, [node])
    return node


# ---------------------------------------------------------------------------------------
# Arrays.

DTYPES = (np.float64, np.float64, np.float64, np.float32, np.int64, np.int8, np.uint8,
          np.bool_, np.complex128, np.float16, object, "U3", "M8[s]")


@functools.lru_cache(maxsize=None)
@st.composite
def arrays(draw, shape=None, dtypes=DTYPES, max_side=5, ndims=(0, 1, 2, 2, 2, 3)):
    """An array of any dtype, order, ndim and shape, possibly a strided view or read-only."""
    dtype = np.dtype(draw(st.sampled_from(dtypes)))
    if shape is None:
        nd = draw(st.sampled_from(ndims))
        shape = tuple(draw(st.integers(0, max_side)) for _ in range(nd))
    size = int(np.prod(shape)) if shape else 1
    values = draw(st.lists(st.sampled_from((0.0, 1.0, -1.0, 0.5, 2.5, np.nan, np.inf, -np.inf,
                                            3.0, 1e300, -7.25)),
                           min_size=size, max_size=size))
    base = np.array(values, dtype=np.float64)
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
        big = np.repeat(arr, 2, axis=-1)
        arr = big[..., ::2]  # strided view with the same contents
    if draw(st.integers(0, 7)) == 0:
        arr = arr.copy()
        arr.flags.writeable = False
    return arr


@functools.lru_cache(maxsize=None)
@st.composite
def matrices(draw, T, N, odd=False):
    """A (T, N) float64 feature matrix with NaN/inf, or with ``odd`` any array at all."""
    if odd and draw(st.integers(0, 4)) == 0:
        return draw(arrays())
    return draw(arrays(shape=(T, N), dtypes=(np.float64,) * 6 + (np.float32, np.int64, np.bool_)
                       if odd else (np.float64,)))


# ---------------------------------------------------------------------------------------
# Registries and function instances.

INSTANCE_BEHAVIOURS = ("ok", "ok", "ok", "ok", "none", "list", "wrong_shape", "wrong_dtype",
                       "float", "raise", "reenter", "mutate_context", "mutate_graph",
                       "alias_registers", "2d", "object")


class FakeInstance:
    """A function instance with a chosen behaviour.

    "ok" returns the NaN-mean of the data arguments (or a rolling sum for stateful windows);
    the others return garbage, raise, re-enter ``evaluate`` or rewrite the context.
    """

    def __init__(self, name, behaviour="ok", stateful=False, window=3, state=None,
                 state_behaviour="ok", registry=None):
        self.name = name
        self.behaviour = behaviour
        self.stateful = stateful
        self.window = window
        self.count = int((state or {}).get("count", 0)) if isinstance(state, dict) else 0
        self.total = None
        self.state_behaviour = state_behaviour
        self.registry = registry
        self.calls = 0

    def __call__(self, *args, context=None, signal_pnl=None, **kwargs):
        self.calls += 1
        b = self.behaviour
        ctx = context if context is not None else getattr(self.registry, "context", None)
        data = [np.asarray(a, dtype=np.float64) for a in args
                if isinstance(a, np.ndarray) and a.ndim >= 1]
        if data:
            width = data[0].shape[-1]
            rows = [d if d.ndim == 1 else np.nanmean(d, axis=0) if d.shape[0] else
                    np.zeros(width) for d in data]
            with np.errstate(all="ignore"):
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    out = np.nanmean(np.vstack([r.reshape(-1)[:width] for r in rows
                                                if r.size >= width] or [np.zeros(width)]),
                                     axis=0)
        else:
            width = getattr(self.registry, "width", 1)
            out = np.zeros(width)
        out = np.ascontiguousarray(out, dtype=np.float64)
        if self.stateful:
            self.count += 1
            self.total = out if self.total is None else self.total + out
            out = self.total.copy()
        if b == "ok":
            return out
        if b == "none":
            return None
        if b == "list":
            return out.tolist()
        if b == "wrong_shape":
            return np.zeros(width + 1)
        if b == "wrong_dtype":
            return out.astype(np.float32)
        if b == "float":
            return 1.5
        if b == "2d":
            return out.reshape(1, -1)
        if b == "object":
            return out.astype(object)
        if b == "raise":
            raise Boom(f"{self.name} failed")
        if b == "reenter":
            reg = self.registry
            if ctx is not None and reg is not None and reg.module is not None and self.calls < 3:
                g = FunctionGraphNode("feature", "f0")
                try:
                    reg.module.evaluate(g, ctx)
                except ALLOWED_ERRORS:
                    pass
            return out
        if b == "mutate_context":
            if ctx is not None:
                which = self.calls % 8
                if which == 0:
                    ctx.features = None
                elif which == 1:
                    ctx.registers = None
                elif which == 2:
                    getattr(ctx, "feature_index", {}).clear()
                elif which == 3:
                    ctx.useful_signals = {}
                elif which == 4:
                    ctx.universe = np.zeros((1, 1))
                elif which == 5:
                    ctx.extraction_buffer = "garbage"
                elif which == 6:
                    ctx.features = ()
                else:
                    ctx.registers = np.zeros((1, 1))
            return out
        if b == "mutate_graph":
            g = getattr(self.registry, "graph", None)
            if isinstance(g, FunctionGraphNode) and isinstance(g.children, list):
                g.children.clear()
            return out
        if b == "alias_registers":
            regs = getattr(ctx, "registers", None)
            if isinstance(regs, np.ndarray) and regs.ndim == 2 and regs.shape[0]:
                return regs[0]
            return out
        return out

    def get_state(self):
        sb = self.state_behaviour
        if sb == "raise":
            raise Boom("get_state")
        if sb == "none":
            return None
        if sb == "weird":
            return {"count": "many", "window": None}
        if sb == "list":
            return [1, 2, 3]
        return {"count": self.count, "window": self.window}


class ArityInstance(FakeInstance):
    arity = 2


class FakeEntry:
    def __init__(self, param_schema=None, family="", stateful=False, module_path=None,
                 class_name=None, factory=None, implementation=None):
        self.param_schema = param_schema
        self.family = family
        self.stateful = stateful
        self.module_path = module_path
        self.class_name = class_name
        self.factory = factory
        self.implementation = implementation


class FakeRegistry:
    """A function registry with the six methods of the protocol, behaviours chosen per test.

    ``method_behaviour`` maps a method name to "ok", "raise", "none" or "weird";
    ``instance_behaviour`` is the behaviour of the instances it creates.
    """

    def __init__(self, entries=None, method_behaviour=None, instance_behaviour="ok",
                 state_behaviour="ok", factories=(), module=None, width=1):
        self.entries = dict(entries if entries is not None else default_entries())
        self.method_behaviour = dict(method_behaviour or {})
        self.instance_behaviour = instance_behaviour
        self.state_behaviour = state_behaviour
        self.factories = set(factories)
        self.module = module
        self.width = width
        self.context = None
        self.graph = None

    def _misbehave(self, method, normal):
        b = self.method_behaviour.get(method, "ok")
        if b == "raise":
            raise Boom(method)
        if b == "none":
            return None
        if b == "weird":
            return [method]
        return normal()

    def has(self, name):
        return self._misbehave("has", lambda: _hashable(name) and name in self.entries)

    def get_entry(self, name):
        return self._misbehave("get_entry", lambda: self.entries[name])

    def has_factory(self, name):
        return self._misbehave("has_factory", lambda: _hashable(name) and name in self.factories)

    def _instance(self, name, state, config):
        entry = self.entries.get(name) if _hashable(name) else None
        stateful = bool(getattr(entry, "stateful", False))
        window = config.get("window", 3) if isinstance(config.get("window", 3), int) else 3
        cls = ArityInstance if name == "fz_arity" else FakeInstance
        inst = cls(name, self.instance_behaviour, stateful, window,
                   state=getattr(state, "data", None), state_behaviour=self.state_behaviour,
                   registry=self)
        return inst

    def create_instance(self, name, **config):
        return self._misbehave("create_instance", lambda: self._instance(name, None, config))

    def create_instance_from_state(self, name, state, **config):
        return self._misbehave("create_instance_from_state",
                               lambda: self._instance(name, state, config))

    def get_function_version(self, name):
        return self._misbehave("get_function_version", lambda: "1.0")


def _hashable(x):
    try:
        hash(x)
        return True
    except Exception:
        return False


def default_entries():
    return {
        FN_MEAN: FakeEntry(param_schema=None),
        FN_ROLL: FakeEntry(param_schema={"window": {"type": "int"}}, stateful=True),
        FN_RED: FakeEntry(param_schema=[("window", "int")], stateful=True),
        "fz_arity": FakeEntry(),
        RANK: FakeEntry(family="virtualization", param_schema={"window": {"type": "int"}}),
        COMBINE: FakeEntry(),
        LONG_MEAN: FakeEntry(stateful=True, param_schema={"window": "int"}),
        LONG_STD: FakeEntry(stateful=True, param_schema={"window": "int"}),
        LONG_Z: FakeEntry(stateful=True, param_schema={"window": "int"}),
        STAT_NAMES[1]: FakeEntry(param_schema=[{"name": "stat_name", "type": "string"}]),
    }


@functools.lru_cache(maxsize=None)
@st.composite
def registries(draw, module=None, width=1, odd=True):
    """None, a well-behaved fake registry or one that misbehaves in one or more ways."""
    if draw(st.integers(0, 5)) == 0:
        return None
    mb = {}
    ib, sb = "ok", "ok"
    if odd and draw(st.booleans()):
        for m in draw(st.lists(st.sampled_from(("has", "get_entry", "has_factory",
                                                "create_instance", "create_instance_from_state",
                                                "get_function_version")), max_size=2)):
            mb[m] = draw(st.sampled_from(("raise", "none", "weird")))
        ib = draw(st.sampled_from(INSTANCE_BEHAVIOURS))
        sb = draw(st.sampled_from(("ok", "ok", "raise", "none", "weird", "list")))
    entries = default_entries()
    if odd and draw(st.integers(0, 3)) == 0:
        entries[draw(st.sampled_from(sorted(entries)))] = draw(st.sampled_from([
            lambda: FakeEntry(param_schema=Raiser()),
            lambda: FakeEntry(param_schema=[("window",), ["a", "int"], None, 3]),
            lambda: FakeEntry(param_schema={"window": Raiser()}, family="virtualization"),
            lambda: FakeEntry(param_schema=[{"name": [1], "type": "int"}],
                              family="virtualization"),
            object,
            Raiser,
            lambda: FakeEntry(stateful=Raiser()),
            lambda: FakeEntry(implementation="x", stateful=True),
        ]))()
    factories = draw(st.sets(st.sampled_from((RANK, COMBINE, LONG_MEAN)), max_size=1)) if odd \
        else set()
    return FakeRegistry(entries, mb, ib, sb, factories, module=module, width=width)


# ---------------------------------------------------------------------------------------
# Contexts.


@functools.lru_cache(maxsize=None)
@st.composite
def useful_signals(draw, T, N, odd=False):
    n = draw(st.integers(0, 4))
    out = {}
    for i in range(n):
        if odd and draw(st.integers(0, 9)) == 0:
            out[f"s{i}"] = draw(st.sampled_from([lambda: None, object, Raiser, lambda: 3]))()
            continue
        w = draw(st.one_of(st.none(), matrices(T, N, odd=odd))) if odd else draw(
            matrices(T, N))
        pnl_shape = draw(st.sampled_from([(T,), (T, 2), (T, 3)] + ([(max(T - 1, 0),), ()]
                                                                     if odd else [])))
        pnl = None if (odd and draw(st.integers(0, 5)) == 0) else draw(
            arrays(shape=pnl_shape, dtypes=(np.float64,)))
        meta = {"sharpe": draw(st.sampled_from((0.5, 1.0, 2.0, np.nan, None, "x"))),
                "family": draw(st.sampled_from(("momentum", "value"))),
                "count": draw(st.integers(0, 5))}
        out[f"s{i}"] = UsefulSignal(weights=w, pnl=pnl, metadata=meta)
    return out


@functools.lru_cache(maxsize=None)
@st.composite
def context_kwargs(draw, odd=True, T=None, N=None, module=None):
    """Keyword arguments of EvaluationContext, matching (mostly) or not (``odd``)."""
    T = draw(st.integers(0, 6)) if T is None else T
    N = draw(st.integers(0, 5)) if N is None else N
    if N == 0 and draw(st.booleans()):
        N = 1
    k = draw(st.integers(0, 3)) if odd and draw(st.integers(0, 7)) == 0 else draw(
        st.integers(1, 3))
    features = tuple(draw(matrices(T, N, odd=odd and draw(st.integers(0, 3)) == 0))
                     for _ in range(k))
    if odd and draw(st.integers(0, 8)) == 0:
        features = list(features)
    names = ["f0", "f1", "f2"][:k]
    index = {n: i for i, n in enumerate(names)}
    if odd and draw(st.integers(0, 6)) == 0:
        index[draw(st.sampled_from(("f9", "spread", EvilStr("f0"))))] = draw(
            st.sampled_from((-1, k, 2**40, "0", 1.5, np.int64(0), True, None)))
    universe = None
    u = draw(st.integers(0, 4))
    if u == 1:
        universe = draw(arrays(shape=(T, N), dtypes=(np.float64,)))
    elif u == 2 and odd:
        universe = draw(arrays())
    signals = draw(useful_signals(T, N, odd=odd))
    kwargs = dict(features=features, feature_index=index, useful_signals=signals,
                  registry=draw(registries(module=module, width=N, odd=odd)),
                  universe=universe)
    if draw(st.integers(0, 4)) == 0:
        kwargs["metaparameters"] = draw(st.sampled_from(({}, {"stage": FN_MEAN},
                                                         {"pool": {"stage": FN_MEAN}})))
    if draw(st.integers(0, 4)) == 0:
        kwargs["transform_pipeline"] = draw(st.sampled_from((
            [], [TransformStage("stage", FN_MEAN)], [TransformStage("stage", None)],
            [TransformStage("stage", "fz_unknown")])))
        kwargs["pool_id"] = draw(st.sampled_from((None, "pool")))
    if draw(st.integers(0, 4)) == 0:
        kwargs["stage_data"] = StageData({"spread": draw(matrices(T, N, odd=odd)),
                                          "flat": np.zeros(N)})
    if draw(st.integers(0, 3)) == 0:
        kwargs["column_labels"] = draw(st.sampled_from((["gross_returns", "net"], ["net"], [])))
    if draw(st.integers(0, 4)) == 0:
        kwargs["signal_pnl_vectors"] = {f"s{i}": {"gross_returns": 0.5, "net": float(i)}
                                        for i in range(3)}
    if odd and draw(st.integers(0, 5)) == 0:
        kwargs["validate_inputs"] = False
    if odd and draw(st.integers(0, 10)) == 0:
        kwargs["transforms_already_combined"] = True
    return kwargs


def build_context(module, kwargs):
    """An EvaluationContext from ``kwargs``; when validation refuses it, one without checks."""
    try:
        return module.EvaluationContext(**kwargs)
    except ALLOWED_ERRORS:
        pass
    try:
        return module.EvaluationContext(**dict(kwargs, validate_inputs=False))
    except ALLOWED_ERRORS:  # the extraction buffer needs a 2-D first feature
        return module.EvaluationContext(**dict(kwargs, validate_inputs=False,
                                               useful_signals=None))


def graph_for(draw_fn, kind):
    """A well-formed graph of one evaluation path: leaf, rank, rank_multiply, longitudinal,
    general (stateful rotations and a filtered reduction)."""
    F = FunctionGraphNode
    if kind == "leaf":
        return F("feature", "f0")
    if kind == "rank":
        return F("rotation", RANK, [F("feature", "f0")])
    if kind == "rank_multiply":
        return F("rotation", COMBINE, [F("rotation", RANK, [F("feature", "f0")]),
                                       F("rotation", RANK, [F("feature", "f1")])])
    if kind == "longitudinal":
        return F("rotation", LONG_Z, [F("rotation", LONG_MEAN, [F("feature", "f0"),
                                                                F("int", 3)]), F("int", 2)])
    if kind == "general":
        return F("rotation", FN_MEAN, [
            F("rotation", FN_ROLL, [F("feature", "f0"), F("int", 2)]),
            F("reduction", FN_RED, [F("filtration", "filtration",
                                      [F("gt", "gt", [F("string", "sharpe"),
                                                      F("float", 0.0)])]),
                                    F("int", 2)]),
            F("float", 0.5),
        ])
    raise ValueError(kind)


def recursion_limit_guard(limit=None):
    """Current recursion limit (tests that lower it restore it)."""
    return sys.getrecursionlimit() if limit is None else limit
