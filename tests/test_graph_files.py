"""Graph files: JSON round trip and the errors of malformed files."""

import pytest

from tessaline.functions._typed_shapes import FunctionGraphNode as N
from tessaline.functions.graph_files import (GraphFileError, dump_graph, graph_to_dict, load_graph,
                                             loads_graph)


def _same(a, b):
    assert type(a) is type(b) is N
    assert (a.type, a.node, a.config, a.canonical_id) == (b.type, b.node, b.config, b.canonical_id)
    assert type(a.node) is type(b.node)
    ka, kb = a.children or [], b.children or []
    assert len(ka) == len(kb)
    for x, y in zip(ka, kb):
        _same(x, y)


def test_round_trip_keeps_config_literals_and_canonical_id(tmp_path):
    graph = N("rotation", "f", [N("feature", "x"), N("float", 1.0), N("int", 3),
                                N("bool", False), N("string", "")],
              config={"window": 5, "weights": [1, 2.5], "opts": {"a": None}}, canonical_id="c1")
    path = tmp_path / "g.json"
    dump_graph(graph, path)
    _same(load_graph(path), graph)
    assert loads_graph('{"type": "float", "node": 2}').node == 2.0


@pytest.mark.parametrize("text,json_path,problem", [
    ('{"type": "feature"}', "$", "missing key 'node'"),
    ('[1, 2]', "$", "expected a node object, got list"),
    ('{"type": "rotation", "node": "f", "children": [{"type": "feature", "node": "x"}, '
     '{"type": "wat", "node": "y"}]}', "$.children[1].type", "unknown node type 'wat'"),
    ('{"type": "rotation", "node": "f", "children": [{"type": "int", "node": 2.5}]}',
     "$.children[0].node", "an int literal must be an integer, got 2.5"),
    ('{"type": "int", "node": true}', "$.node", "an int literal must be an integer"),
    ('{"type": "bool", "node": 1}', "$.node", "a bool literal must be true or false"),
    ('{"type": "float", "node": "1.5"}', "$.node", "a float literal must be a number"),
    ('{"type": "feature", "node": ""}', "$.node", "needs a non-empty string"),
    ('{"type": "feature", "node": "x", "children": {}}', "$.children", "children must be a list"),
    ('{"type": "rotation", "node": "f", "config": [1]}', "$.config", "config must be an object"),
    ('{"type": "feature", "node": "x", "code": "import os"}', "$", "unknown key(s): code"),
    ('{"type": "feature", "node": "x", "canonical_id": 3}', "$.canonical_id",
     "canonical_id must be a string"),
    ('{"type": "feature", "node": ', "$", "invalid JSON at line 1 column"),
    ('[' * 100000 + ']' * 100000, "$", "nested"),
    ('{"type": "int", "node": 1' + "0" * 4300 + '}', "$", "invalid JSON: Exceeds the limit"),
    ('{"type": "rotation", "node": "f", "children": [' * 250 + '{"type": "feature", "node": "x"}'
     + "]}" * 250, "$" + ".children[0]" * 201, "graph is nested deeper than 200 levels"),
])
def test_malformed_graphs_name_file_and_path(tmp_path, text, json_path, problem):
    path = tmp_path / "bad.json"
    path.write_text(text)
    with pytest.raises(GraphFileError) as info:
        load_graph(path)
    err = info.value
    assert err.json_path == json_path and err.source == str(path)
    assert problem in err.problem
    assert str(err).startswith(f"{path}: {json_path}: ")


def test_missing_and_badly_encoded_files(tmp_path):
    with pytest.raises(GraphFileError, match="cannot read file"):
        load_graph(tmp_path / "nope.json")
    bad = tmp_path / "latin.json"
    bad.write_bytes(b'{"type": "feature", "node": "\xff"}')
    with pytest.raises(GraphFileError):
        load_graph(bad)


def test_dump_refuses_foreign_nodes():
    with pytest.raises(TypeError, match=r"\$.children\[0\]: expected FunctionGraphNode"):
        graph_to_dict(N("rotation", "f", [{"type": "feature"}]))
