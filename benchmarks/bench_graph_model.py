"""Graph model and filtration helpers against straightforward Python/NumPy equivalents."""

from __future__ import annotations

import timeit
import types

import numpy as np

from tessaline.functions._typed_shapes import FunctionGraphNode
from tessaline.simulator_engine import expression_evaluator as ee


def best(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=5)) / number


def reference_weights(useful, ids, t):
    a = len(ids)
    n = useful[ids[0]].weights.shape[1]
    out = np.empty((a, n), dtype=np.float64)
    for i, sid in enumerate(ids):
        out[i] = useful[sid].weights[t]
    return out


def reference_identities(graph):
    result = {}

    def walk(node, path):
        result[path] = node.node
        for i, child in enumerate(node.children or ()):
            walk(child, f"{path}.c{i}")

    walk(graph, "root")
    return result


def reference_warmup(node, registry, path):
    children = node.children or []
    recorded = []
    for i, child in enumerate(children):
        cpath = f"{path}.c{i}"
        if child.type in ("int", "float", "string"):
            continue
        recorded.append((child, reference_warmup(child, registry, cpath)))
    best_child = max((w for _, w in recorded), default=0)
    if node.type not in ("rotation", "reduction") or registry is None:
        return best_child
    if not registry.has(node.node):
        return best_child
    if not getattr(registry.get_entry(node.node), "stateful", False):
        return best_child
    window = 0
    for child in children:
        if child.type == "int":
            try:
                window = max(window, int(child.node))
            except (TypeError, ValueError):
                pass
    if window <= 1:
        return best_child
    if node.type == "reduction":
        return window - 1
    return window - 1 + max((w for c, w in recorded if c.type == "rotation"), default=0)


def tree(depth, fanout):
    if depth == 0:
        return FunctionGraphNode("feature", "x")
    return FunctionGraphNode("rotation", "f", [tree(depth - 1, fanout) for _ in range(fanout)])


def main():
    rng = np.random.default_rng(0)
    for count, n_alloc in [(10, 500), (200, 500), (2000, 100)]:
        useful = {f"s{k}": types.SimpleNamespace(weights=rng.standard_normal((250, n_alloc)))
                  for k in range(count)}
        ids = list(useful)
        assert np.array_equal(ee.extract_filtration_weights(useful, ids, 100),
                              reference_weights(useful, ids, 100))
        ours = best(lambda: ee.extract_filtration_weights(useful, ids, 100), 200)
        ref = best(lambda: reference_weights(useful, ids, 100), 200)
        print(f"extract_filtration_weights A={count:5d} N={n_alloc:4d}: "
              f"{ours * 1e6:9.1f} us vs NumPy loop {ref * 1e6:9.1f} us  ({ref / ours:5.1f}x)")

    graph = tree(6, 3)  # 1093 nodes
    ours = best(lambda: (ee.invalidate_graph_evaluation_caches(graph),
                         ee.generate_node_identities(graph)), 50)
    ref = best(lambda: reference_identities(graph), 50)
    cached = best(lambda: ee.generate_node_identities(graph), 20000)
    print(f"generate_node_identities 1093 nodes: uncached {ours * 1e6:8.1f} us "
          f"(incl. invalidation) vs Python walk {ref * 1e6:8.1f} us; cached {cached * 1e9:6.0f} ns")

    class Registry:
        def has(self, name):
            return True

        def get_entry(self, name):
            return types.SimpleNamespace(stateful=True)

    reg = Registry()
    ours = best(lambda: ee._compute_graph_warmup_rows(graph, reg), 50)
    ref = best(lambda: reference_warmup(graph, reg, "root"), 50)
    assert ee._compute_graph_warmup_rows(graph, reg) == reference_warmup(graph, reg, "root")
    print(f"_compute_graph_warmup_rows 1093 nodes: {ours * 1e6:8.1f} us vs Python walk "
          f"{ref * 1e6:8.1f} us  ({ref / ours:5.1f}x)")


if __name__ == "__main__":
    main()
