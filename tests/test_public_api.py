import pathlib
import re

import numpy as np
import pandas as pd
import pytest

import tessaline
from tessaline import cli
from tessaline.expr import feature, product, rank, ts_mean, ts_std, ts_zscore
from tessaline.functions import builtins as B
from tessaline.functions._typed_shapes import FunctionGraphNode as N, SchemaError, StageData
from tessaline.functions.graph_files import loads_graph
from tessaline.simulator_engine._types import TransformStage

README = (pathlib.Path(__file__).parents[1] / "README.md").read_text()


def test_readme_quick_start_runs_as_written(capsys):
    code = re.search(r"## Quick start\n\n```python\n(.*?)```", README, re.S).group(1)
    scope = {}
    exec(code, scope)
    warm = np.isnan(scope["weights"]).all(axis=1)
    assert warm[:19].all() and not warm[19:].any()
    assert capsys.readouterr().out == "(250, 40) True\n"


def test_function_table_is_in_readme_and_listed_by_the_cli(capsys):
    assert B.function_table() in README
    assert cli.main(["--list-functions"]) == 0
    assert capsys.readouterr().out == B.function_table() + "\n"
    assert loads_graph('{"type": "rotation", "node": "ts_zscore", "children": ['
                       '{"type": "feature", "node": "x"}, {"type": "int", "node": 3}]}'
                       ).node == B.ROLLING_ZSCORE


def _cycle():
    node = rank("x")
    node.children.append(node)
    return node


@pytest.mark.parametrize("graph, message", [
    (_cycle(), "root.c1: the node at root contains itself; a graph must be a tree"),
    (N("rotaton", "x"), "root: unknown node type 'rotaton' (did you mean 'rotation'?)"),
    (N(None, "x"), "root: unknown node type None; known: aggregation, and_,"),
    (rank(N("rotation", "ts_men", ["x"])),
     f"root.c0: unknown function 'ts_men' (did you mean '{B.ROLLING_MEAN}' (ts_mean)?)"),
    (N("rotation", "rank", [feature("x")]), f"root: unknown function 'rank': graphs name "
                                            f"built-ins by their store name, here '{B.RANK}'"),
    (product("x", N("feature", "y", [feature("z")])),
     "root.c1.c0: a 'feature' node cannot be a child of a 'feature' node (allowed: none)"),
    (product("x", rank(N("filtration", "filtration"))),
     "root.c1.c0: a 'filtration' node cannot be a child of a 'rotation' node"),
    (N("reduction", B.SHARPE, [feature("x")]),
     "root.c0: a 'feature' node cannot be a child of a 'reduction' node (allowed: bool, "
     "filtration, float, int, string)"),
    (N("gt", "gt"), "root: a 'gt' node cannot be the root of a graph"),
    (N("rotation", B.RANK, feature("x")), "root: children must be a list of nodes; got "
                                          "FunctionGraphNode"),
    (N("rotation", B.RANK, [{"type": "feature", "node": "x"}]),
     "root.c0: expected a FunctionGraphNode; got dict"),
    (rank(N("feature", "")), "root.c0: a 'feature' node needs a feature name; got ''"),
])
def test_validate_graph_refuses_with_path_and_closest_names(graph, message):
    with pytest.raises(SchemaError) as info:
        tessaline.validate_graph(graph)
    assert str(info.value).startswith(message)


@pytest.mark.parametrize("make, rows, options, expected", [
    (lambda: feature("a"), 6, {}, "leaf"),
    (lambda: rank("a"), 6, {}, "rank"),
    (lambda: product(rank("a"), rank("b")), 6, {}, "rank_multiply"),
    (lambda: ts_zscore(ts_std("a", 3), 2), 100_000, {}, "longitudinal"),
    (lambda: ts_mean("a", 2), 6, {}, "general"),
    # the pipeline wraps the leaf before the detectors see it
    (lambda: feature("a"), 6, {"transform_pipeline": [TransformStage("d", B.DEMEAN)]}, "general"),
    # a leaf found only in the stage data
    (lambda: feature("s"), 6, {"stage_data": StageData({"s": np.ones((6, 3))})}, "leaf"),
])
def test_evaluation_path_names_the_path_evaluate_takes(ee, monkeypatch, make, rows, options,
                                                       expected):
    taken = []
    for path, name in [("leaf", "_evaluate_leaf_fast"), ("rank", "_evaluate_simple_rank_fast"),
                       ("rank_multiply", "_evaluate_rank_multiply_fast"),
                       ("longitudinal", "_evaluate_longitudinal_fast")]:
        def spy(*args, _path=path, _original=getattr(ee, name)):
            result = _original(*args)
            if result is not None:
                taken.append(_path)
            return result
        monkeypatch.setattr(ee, name, spy)
    data = np.random.default_rng(1).normal(size=(rows, 3))
    context = ee.EvaluationContext((data, data[::-1].copy()), {"a": 0, "b": 1},
                                   registry=tessaline.default_registry(), **options)
    graph = make()
    assert tessaline.evaluation_path(graph, context) == expected
    assert context.feature_index == {"a": 0, "b": 1}  # the probe worked on a copy
    ee.evaluate(graph, context)
    assert (taken[-1:] or ["general"]) == [expected]


def test_frames_round_trip_and_must_agree():
    rng = np.random.default_rng(2)
    index = pd.bdate_range("2024-01-01", periods=5)
    a = pd.DataFrame(rng.normal(size=(5, 3)), index=index, columns=["x", "y", "z"])
    b = pd.DataFrame(rng.normal(size=(5, 3)), index=index, columns=["x", "y", "z"])
    graph = product(rank("a"), rank("b"))
    out = tessaline.evaluate(graph, {"a": a, "b": b}, as_frame=True)
    assert out.index.equals(index) and list(out.columns) == ["x", "y", "z"]
    np.testing.assert_array_equal(out.to_numpy(), tessaline.evaluate(
        graph, {"a": a.to_numpy(), "b": b.to_numpy()}))
    with pytest.raises(ValueError, match="feature 'b' columns does not match the columns of "
                                         "feature 'a'"):
        tessaline.evaluate(graph, {"a": a, "b": b.set_axis(["x", "y", "w"], axis=1)})


@pytest.mark.parametrize("call, error, message", [
    (lambda: tessaline.evaluate(feature("a"), [np.ones((2, 2))]), TypeError,
     "features must be a mapping of feature name to 2-D array; got list"),
    (lambda: tessaline.evaluate(feature("a"), {"a": np.ones(3)}), ValueError,
     r"feature 'a' must be two-dimensional \(time x instrument\); got shape \(3,\)"),
    (lambda: tessaline.evaluate(feature("a"), {"a": np.ones((2, 2)), "vol": np.ones((2, 3))}),
     ValueError, r"feature 'vol' has shape \(2, 3\), but feature 'a' has shape \(2, 2\)"),
    (lambda: tessaline.evaluate(rank("volum"), {"a": np.ones((2, 2)), "volume": np.ones((2, 2))}),
     ValueError, r"root.c0: unknown feature 'volum' \(did you mean 'volume'\?\); known: a, "
                 r"volume"),
    (lambda: tessaline.evaluation_path(feature("a"), None), TypeError,
     "context must be an EvaluationContext; got NoneType"),
])
def test_input_errors_name_what_is_wrong(call, error, message):
    with pytest.raises(error, match=message):
        call()
