"""Repeated calls of the graph-model and filtration functions keep no references behind,
on success and on failure."""

import sys
import types

import numpy as np
import pytest

from tessaline.functions._typed_shapes import FunctionGraphNode, StageData


def N(type_, node, *children):
    return FunctionGraphNode(type_, node, list(children) if children else None)


class Value:
    """A literal whose references we count."""

    def __int__(self):
        return 4

    def __str__(self):
        return "v"


VALUE = Value()
WEIGHTS = np.arange(40.0).reshape(4, 10)
OTHER = np.arange(40, dtype=np.int32).reshape(4, 10)
STAGE_VALUE = np.ones((4, 10), dtype=np.int8)


class Registry:
    def has(self, name):
        return True

    def get_entry(self, name):
        return types.SimpleNamespace(stateful=True)


class Instance:
    def __init__(self, state):
        self.state = state

    def get_state(self):
        return self.state


def graph():
    return N("rotation", "roll", N("reduction", "red", N("feature", "spread"), N("int", VALUE)),
             N("int", VALUE), N("float", VALUE), N("string", VALUE))


def filt():
    return N("filtration", "filtration",
             N("and_", "and_", N("gt", "gt", N("string", VALUE), N("float", VALUE)),
               N("eq", "eq", N("string", VALUE), N("string", VALUE), N("int", VALUE))))


def broken():
    node = N("rotation", "f", N("int", VALUE), N("feature", "x"))
    del node.children[1].node
    del node.children[1].type
    return node


def stage_context():
    return types.SimpleNamespace(stage_data=StageData({"spread": STAGE_VALUE}),
                                 features=(WEIGHTS,), feature_index={"close": 0})


SIGNALS = {"a": types.SimpleNamespace(weights=WEIGHTS), "b": types.SimpleNamespace(weights=OTHER)}

CALLS = {
    "identities": lambda ee: ee.generate_node_identities(graph()),
    "identities_error": lambda ee: ee.generate_node_identities(broken()),
    "annotate": lambda ee: ee._annotate_state_identities(graph()),
    "annotate_error": lambda ee: ee._annotate_state_identities(broken()),
    "invalidate": lambda ee: ee.invalidate_graph_evaluation_caches(graph()),
    "cache": lambda ee: ee._graph_cache_set(graph(), "_x", VALUE),
    "warmup": lambda ee: ee._compute_graph_warmup_rows(graph(), Registry()),
    "warmup_error": lambda ee: ee._compute_graph_warmup_rows(broken(), Registry()),
    "instance": lambda ee: ee._get_warmup_count_for_instance(Instance({"count": VALUE})),
    "stage": lambda ee: ee._attach_stage_data_feature_leaves(graph(), stage_context()),
    "option": lambda ee: ee._resolve_stage_option(
        types.SimpleNamespace(metaparameters={"p": {"s": VALUE}}, pool_id="p"),
        types.SimpleNamespace(name="s", default=None)),
    "filter": lambda ee: ee._dict_to_filter_node(filt()),
    "filter_error": lambda ee: ee._dict_to_filter_node(N("and_", "and_", broken())),
    "describe": lambda ee: ee._describe_dict_filter(filt()),
    "weights": lambda ee: ee.extract_filtration_weights(SIGNALS, ["a", "b", "a"], 2),
    "weights_error": lambda ee: ee.extract_filtration_weights(SIGNALS, ["a", "zz"], 2),
    "weights_bounds": lambda ee: ee.extract_filtration_weights(SIGNALS, ["a"], 4),
}


@pytest.mark.parametrize("name", sorted(CALLS))
def test_no_references_leak(ee, name):
    call = CALLS[name]

    def run():
        try:
            call(ee)
        except Exception:
            pass

    run()
    tracked = (VALUE, WEIGHTS, OTHER, STAGE_VALUE, SIGNALS["a"])
    before = [sys.getrefcount(obj) for obj in tracked]
    for _ in range(100):
        run()
    assert [sys.getrefcount(obj) for obj in tracked] == before
