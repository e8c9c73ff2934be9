"""Duck-typed registries, entries and function instances for the driver tests."""

from __future__ import annotations

import types

import numpy as np

from tessaline.functions._typed_shapes import FunctionGraphNode


def node(type_, value, *children, config=None, canonical_id=None):
    return FunctionGraphNode(type_, value, list(children) or None, config, canonical_id)


def feat(name="x"):
    return node("feature", name)


def op(name, *children):
    """A filter operator node: its type and value are the operator's name."""
    return node(name, name, *children)


def literal(kind):
    """A builder of ``kind`` literal nodes: literal("int")(3)."""
    return lambda value: node(kind, value)


def missing(field, graph_node):
    """``graph_node`` with its ``field`` attribute deleted."""
    delattr(graph_node, field)
    return graph_node


class Entry:
    def __init__(self, param_schema=None, family="", stateful=False):
        self.param_schema = param_schema
        self.family = family
        self.stateful = stateful


class Registry:
    """name -> (entry, factory); records every call the driver makes."""

    def __init__(self, functions=None):
        self.functions = dict(functions or {})
        self.calls = []

    def add(self, name, factory, **entry):
        self.functions[name] = (Entry(**entry), factory)
        return self

    def has(self, name):
        return name in self.functions

    def get_entry(self, name):
        return self.functions[name][0]

    def has_factory(self, name):
        return True

    def create_instance(self, name, **config):
        self.calls.append(("create", name, config))
        return self.functions[name][1](**config)

    def create_instance_from_state(self, name, state, **config):
        self.calls.append(("restore", name, state, config))
        inst = self.functions[name][1](**config)
        inst.restored_from = state
        return inst

    def get_function_version(self, name):
        return f"{name}-v1"


class Catalog:
    """A registry that only answers questions about names: ``names`` (and the keys of
    ``entries``) are known, ``factories`` have factories, an entry is ``entries[name]`` or
    else ``entry`` (or ``get_entry`` raises ``entry_error``); ``asked`` records the calls."""

    def __init__(self, names=(), factories=(), entry=None, entry_error=None, entries=None):
        self.names, self.factories, self.entries = set(names), set(factories), dict(entries or {})
        self.entry = entry if entry is not None else types.SimpleNamespace()
        self.entry_error = entry_error
        self.asked = []

    def has(self, name):
        self.asked.append(("has", name))
        return name in self.names or name in self.entries

    def has_factory(self, name):
        self.asked.append(("has_factory", name))
        return name in self.factories

    def get_entry(self, name):
        self.asked.append(("get_entry", name))
        if self.entry_error is not None:
            raise self.entry_error
        return self.entries.get(name, self.entry)


class Fn:
    """A function instance: records its calls and applies `op` to the row arguments."""

    stateful = False

    def __init__(self, op=None, **config):
        self.op = op if op is not None else (lambda *rows: rows[0] + 0.0)
        self.config = config
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.op(*args)


class StatefulFn(Fn):
    stateful = True

    def __init__(self, op=None, count=0, **config):
        super().__init__(op, **config)
        self.count = count

    def __call__(self, *args, **kwargs):
        self.count += 1
        return super().__call__(*args, **kwargs)

    def get_state(self):
        return {"count": self.count}


class Reduction(StatefulFn):
    """A stateful reduction: returns the column sum of its extraction rows."""

    def __init__(self, count=0, **config):
        super().__init__(lambda ext: ext.sum(axis=0), count=count, **config)

    def __call__(self, extraction, signal_pnl=None, **kwargs):
        self.count += 1
        self.calls.append(((extraction.copy(),), {"signal_pnl": signal_pnl}))
        return extraction.sum(axis=0)


def ctx(ee, features, registry=None, **kwargs):
    names = kwargs.pop("names", None) or [f"f{i}" for i in range(len(features))]
    return ee.EvaluationContext(tuple(np.asarray(f, dtype=np.float64) for f in features),
                                {n: i for i, n in enumerate(names)}, registry=registry, **kwargs)
