import numpy as np

from driver_fakes import Fn, Registry, ctx, feat, node

T, N = 3, 2


def _context(ee, registry, **kw):
    return ctx(ee, [np.ones((T, N)), np.full((T, N), 2.0)], registry, names=["x", "y"], **kw)


def _registry():
    return Registry().add("f", lambda **c: Fn(lambda *rows: sum(rows))).add(
        "g", lambda **c: Fn(lambda row: row * 0 + 5.0))


def test_nothing_is_tracked_by_default(ee):
    result = ee.evaluate(node("rotation", "f", feat("x")), _context(ee, _registry()))
    assert result.nan_source == {} and result.node_outputs == {}


def test_marked_feature_propagates_upwards(ee):
    # g ignores its input and returns 5.0, but it is fed only by missing data, so its row is
    # NaN and it becomes a source itself; f over it is marked in turn.
    graph = node("rotation", "f", node("rotation", "g", feat("x")))
    result = ee.evaluate(graph, _context(ee, _registry()), data_nan_features=["x"])
    assert result.nan_source == {"root.c0.c0": "data_nan", "root.c0": "data_nan",
                                 "root": "data_nan"}
    assert np.isnan(result.weights).all()
    # Node outputs are collected by default when data NaNs are tracked.
    assert set(result.node_outputs) == {"root.c0.c0", "root.c0", "root"}
    assert np.isnan(result.node_outputs["root.c0"]).all()


def test_one_finite_child_keeps_the_result(ee):
    graph = node("rotation", "f", feat("x"), feat("y"))
    result = ee.evaluate(graph, _context(ee, _registry()), data_nan_features={"x"})
    assert result.nan_source == {"root.c0": "data_nan"}
    assert np.isnan(result.weights).all()  # NaN + 2.0, computed by f, not replaced
    np.testing.assert_array_equal(result.node_outputs["root.c1"], np.full((T, N), 2.0))


def test_marked_feature_with_universe(ee):
    universe = np.ones((T, N))
    universe[0, 0] = 0.0
    context = _context(ee, _registry(), universe=universe)
    result = ee.evaluate(node("rotation", "f", feat("y"), feat("x")), context,
                         data_nan_features=["x"])
    assert np.isnan(result.node_outputs["root.c1"]).all()
    expected = np.full((T, N), 2.0)
    expected[0, 0] = np.nan
    np.testing.assert_array_equal(result.node_outputs["root.c0"], expected)


def test_precomputed_nan_source_seeds_marks_and_outputs_can_be_switched_off(ee):
    context = _context(ee, _registry())
    context._precomputed_node_nan_source = {"cid": "data_nan", "other": "data_nan"}
    context._collect_node_outputs = False
    graph = node("rotation", "g", node("feature", "x", canonical_id="cid"))
    result = ee.evaluate(graph, context)
    # A marked feature row is missing data: NaN, and g over it becomes a source.
    assert result.nan_source == {"root.c0": "data_nan", "root": "data_nan"}
    assert np.isnan(result.weights).all()
    assert result.node_outputs == {}


def test_reduction_over_filtration_only_is_never_marked(ee):
    from tessaline.simulator_engine._types import UsefulSignal

    signals = {"a": UsefulSignal(np.ones((T, N)))}
    registry = _registry().add("r", Fn)
    graph = node("rotation", "f", node("reduction", "r", node("filtration", "filtration")),
                 feat("x"))
    result = ee.evaluate(graph, _context(ee, registry, useful_signals=signals),
                         data_nan_features=["x"])
    assert result.nan_source == {"root.c1": "data_nan"}
    np.testing.assert_array_equal(result.node_outputs["root.c0"], np.ones((T, N)))


def test_mark_made_at_a_late_row_stays(ee):
    y = np.ones((4, N))
    y[2] = np.nan
    context = ctx(ee, [np.ones((4, N)), y], _registry(), names=["x", "y"])
    graph = node("rotation", "f", feat("x"), feat("y"))
    result = ee.evaluate(graph, context, data_nan_features=["x"])
    assert result.nan_source == {"root.c0": "data_nan", "root": "data_nan"}
    assert np.isnan(result.weights).all()  # NaN + finite, computed by f
    g = node("rotation", "f", node("rotation", "g", feat("y")), feat("x"))
    context._collect_node_outputs = True
    result = ee.evaluate(g, context, data_nan_features=["x"])
    # g's row is NaN only at row 2 (y is NaN there): the root is marked at row 2 and keeps
    # the mark; g itself is fed by unmarked data and is never marked.
    assert result.nan_source == {"root.c1": "data_nan", "root": "data_nan"}
    np.testing.assert_array_equal(result.node_outputs["root.c0"][[0, 1, 3]], np.full((3, N), 5.0))
