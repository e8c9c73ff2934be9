"""Cost of the general evaluation path's bookkeeping.

1. Per node-row: a 20-node graph (feature leaves under chains of function nodes) at
   T=10000, N=500, every instance trivial (it returns a preallocated row), so the time is
   the driver's own: registers, argument rows, calls, result checks. Compared with a plain
   Python loop that does the same bookkeeping with NumPy.
2. Per streaming tick: T=1, N=500, caller-bound instances, a complete binary tree of 31
   nodes (16 feature leaves under 15 function nodes), collection served from the graph's
   cache. Compared with a plain Python driver doing the same per-call work.
"""

from __future__ import annotations

import time

import numpy as np

from tessaline.functions._typed_shapes import FunctionGraphNode as G
from tessaline.simulator_engine import expression_evaluator as ee
from _timing import best_of


class Trivial:
    stateful = False

    def __init__(self, n):
        self.row = np.zeros(n)

    def __call__(self, *rows, context=None):
        return self.row


class Registry:
    def __init__(self, n):
        self.n = n

    def has(self, name):
        return True

    def get_entry(self, name):
        return self

    def has_factory(self, name):
        return True

    def create_instance(self, name, **config):
        return Trivial(self.n)

    def get_function_version(self, name):
        return "1"


def chain(feature, depth):
    g = G("feature", feature)
    for _ in range(depth):
        g = G("rotation", "trivial", [g])
    return g


def graph20():
    # 4 chains of a feature under 3 functions (16 nodes), two pair combiners and a root
    # combiner (19), and a float literal under the root (20).
    pairs = [G("rotation", "trivial", [chain("a", 3), chain("b", 3)]),
             G("rotation", "trivial", [chain("c", 3), chain("d", 3)])]
    return G("rotation", "trivial", pairs + [G("float", 1.0)])


def tree31(depth=5, leaves=None):
    # 16 feature leaves under 15 binary function nodes.
    leaves = iter(range(16)) if leaves is None else leaves
    if depth == 1:
        return G("feature", f"f{next(leaves)}")
    return G("rotation", "trivial", [tree31(depth - 1, leaves), tree31(depth - 1, leaves)])


def _walk(node, path, out):
    kids = node.children or []
    paths = [f"{path}.c{i}" for i in range(len(kids))]
    for k, p in zip(kids, paths):
        _walk(k, p, out)
    out[path] = (node, paths)


def python_row_loop(graph, context, instances=None):
    """The per-row bookkeeping of the general path, written as plain Python."""
    table = {}
    _walk(graph, "root", table)
    T, N = context.features[0].shape
    regs = {p: i for i, p in enumerate(table)}
    order = list(table)
    insts = instances or {p: context.registry.create_instance(n.node)
                          for p, (n, _) in table.items() if n.type == "rotation"}
    work = np.zeros((len(table), N))
    out = np.zeros((T, N))
    for t in range(T):
        context.current_day_index = t
        for path in order:
            n, kids = table[path]
            r = regs[path]
            if n.type == "feature":
                if context.universe is None:
                    work[r] = context.features[context.feature_index[n.node]][t]
            elif n.type == "float":
                work[r] = float(n.node)
            elif n.type == "rotation":
                args = [work[regs[k]].copy() for k in kids if table[k][0].type != "float"]
                res = insts[path](*args, context=context) if instances is None else insts[path](*args)
                if isinstance(res, np.ndarray):
                    if res.shape != (N,):
                        raise ValueError("shape")
                    if res.dtype != np.float64:
                        raise ValueError("dtype")
                work[r] = res
        out[t] = work[regs["root"]].copy()
    context.registers = work
    return out


def python_tick(graph, context, bound, cache):
    """One streaming tick the Python way: preflight walk, cached collection, one row."""
    def preflight(node, path):
        ee._require_graph_node_instance(node, path)
        t = ee._require_graph_type_value(node, path)
        ee._require_graph_node_value(node, path)
        if t in ("rotation", "reduction"):
            cfg = ee._graph_config_dict(node)
            bad = sorted(k for k in cfg if k in ("N_alloc", "A"))
            if bad:
                raise ValueError(bad)
            registry = context.registry
            if registry is not None and registry.has(node.node):
                entry = registry.get_entry(node.node)
                schema = getattr(entry, "param_schema", None)
                allowed = set(schema) if isinstance(schema, dict) else set()
                if getattr(entry, "family", "") == "virtualization" and allowed:
                    raise ValueError(sorted(set(cfg) - allowed))
        for i, c in enumerate(ee._graph_children(node)):
            preflight(c, f"{path}.c{i}")

    ee._validate_evaluation_shapes(context.features, context.universe, context.useful_signals)
    ee._attach_stage_data_feature_leaves(graph, context)
    features = context.features
    T, N = features[0].shape
    preflight(graph, "root")
    for det in (ee._can_use_leaf_fast_path, ee._can_use_simple_rank_fast_path):
        det(graph, context, None, data_nan_features=None)
    ee._can_use_rank_multiply_fast_path(graph, context, None, bound_function_instances=bound,
                                        data_nan_features=None)
    ee._can_use_longitudinal_fast_path(graph, context, None, T, data_nan_features=None)
    if "table" not in cache:
        table = {}
        _walk(graph, "root", table)
        cache["table"] = table
    table = cache["table"]
    feature_refs = {p: context.feature_index[n.node] for p, (n, _) in table.items()
                    if n.type == "feature"}
    for p, i in feature_refs.items():
        if features[i].shape != (T, N):
            raise ValueError("shape")
    func = {p: bound[p] for p, (n, _) in table.items() if n.type == "rotation"}
    precomputed = getattr(context, "_precomputed_node_outputs", None) or {}
    precomputed_nan = getattr(context, "_precomputed_node_nan_source", None) or {}
    nan_source = {p: "data_nan" for p, (n, _) in table.items()
                  if precomputed_nan.get(getattr(n, "canonical_id", None)) == "data_nan"}
    views = {p: not hasattr(f, "arity") for p, f in func.items()}
    regs = {p: i for i, p in enumerate(table)}
    context.registers = np.zeros((len(table), N))
    work = np.zeros((len(table), N))
    out = np.zeros((T, N))
    node_outputs = {p: np.zeros((T, N)) for p in table}
    for t in range(T):
        context.current_day_index = t
        for path, (n, kids) in table.items():
            r = regs[path]
            if precomputed and getattr(n, "canonical_id", None) in precomputed:
                continue
            if n.type == "feature":
                work[r] = features[feature_refs[path]][t]
            elif n.type == "rotation":
                args = [work[regs[k]] if views[path] else work[regs[k]].copy() for k in kids]
                res = func[path](*args)
                if isinstance(res, np.ndarray):
                    if res.shape != (N,) or res.dtype != np.float64:
                        raise ValueError("bad result")
                work[r] = res
        out[t] = work[regs["root"]].copy()
        for p in table:
            node_outputs[p][t] = work[regs[p]]
    context.registers = work
    return ee.EvaluationResult(np.ascontiguousarray(out), {}, nan_source=nan_source,
                               node_outputs=node_outputs)




def general_path():
    T, N = 10000, 500
    rng = np.random.default_rng(0)
    feats = tuple(rng.normal(size=(T, N)) for _ in range(4))
    index = {"a": 0, "b": 1, "c": 2, "d": 3}
    context = ee.EvaluationContext(feats, index, registry=Registry(N))
    graph = graph20()
    node_rows = 20 * T

    native = best_of(lambda: ee.evaluate(graph, context), 3)
    python = best_of(lambda: python_row_loop(graph, context), 1)
    print(f"general path, 20 nodes, T={T}, N={N}")
    print(f"  driver:        {native / node_rows * 1e9:8.1f} ns per node-row")
    print(f"  python loop:   {python / node_rows * 1e9:8.1f} ns per node-row")
    print(f"  ratio:         {python / native:8.2f}x")



def streaming_tick():
    N = 500
    rng = np.random.default_rng(1)
    tick_feats = tuple(rng.normal(size=(1, N)) for _ in range(16))
    tick_ctx = ee.EvaluationContext(tick_feats, {f"f{i}": i for i in range(16)},
                                    registry=Registry(N))
    tree = tree31()
    table = {}
    _walk(tree, "root", table)
    bound = {p: Trivial(N) for p, (n, _) in table.items() if n.type == "rotation"}
    assert len(table) == 31
    ee.evaluate(tree, tick_ctx, bound_function_instances=bound)  # fills the collection cache
    cache = {}
    reps = 200

    def native_ticks():
        for _ in range(reps):
            ee.evaluate(tree, tick_ctx, bound_function_instances=bound)

    def python_ticks():
        for _ in range(reps):
            python_tick(tree, tick_ctx, bound, cache)

    def floor_ticks():
        # The calls both drivers must make on every tick: registry look-ups of the preflight,
        # the four detectors, the shape check and stage data, the instance calls, the result.
        row = tick_feats[0][0]
        registry = tick_ctx.registry
        for _ in range(reps):
            ee._validate_evaluation_shapes(tick_ctx.features, tick_ctx.universe,
                                           tick_ctx.useful_signals)
            ee._attach_stage_data_feature_leaves(tree, tick_ctx)
            for p, f in bound.items():
                registry.has("trivial")
                registry.get_entry("trivial")
            ee._can_use_leaf_fast_path(tree, tick_ctx, None, data_nan_features=None)
            ee._can_use_simple_rank_fast_path(tree, tick_ctx, None, data_nan_features=None)
            ee._can_use_rank_multiply_fast_path(tree, tick_ctx, None,
                                                bound_function_instances=bound,
                                                data_nan_features=None)
            ee._can_use_longitudinal_fast_path(tree, tick_ctx, None, 1, data_nan_features=None)
            for f in bound.values():
                f(row, row)
            ee.EvaluationResult(row, {}, nan_source={}, node_outputs={})

    # Short interleaved rounds, best of each: the machine may be shared.
    native_t = python_t = floor_t = float("inf")
    for _ in range(15):
        native_t = min(native_t, best_of(native_ticks, 1) / reps)
        python_t = min(python_t, best_of(python_ticks, 1) / reps)
        floor_t = min(floor_t, best_of(floor_ticks, 1) / reps)
    print("streaming tick, T=1, N=500, 31-node tree, bound instances")
    print(f"  driver:        {native_t * 1e6:8.1f} us per tick")
    print(f"  python driver: {python_t * 1e6:8.1f} us per tick")
    print(f"  ratio:         {python_t / native_t:8.2f}x")
    print(f"  shared calls:  {floor_t * 1e6:8.1f} us per tick (registry, detectors, instances)")
    print(f"  bookkeeping:   driver {(native_t - floor_t) * 1e6:.1f} us, "
          f"python {(python_t - floor_t) * 1e6:.1f} us, "
          f"ratio {(python_t - floor_t) / max(native_t - floor_t, 1e-9):.2f}x")

def main():
    general_path()
    streaming_tick()


if __name__ == "__main__":
    main()
