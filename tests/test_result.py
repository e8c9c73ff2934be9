import numpy as np
import pytest


@pytest.fixture
def parts():
    return np.arange(6.0).reshape(2, 3), {"root": "state"}


def test_unpacks_as_a_pair_read_lazily(ee, parts):
    w, s = parts
    r = ee.EvaluationResult(w, s)
    a, b = r
    assert a is w and b is s
    with pytest.raises(ValueError):
        a, b, c = r
    assert len(r) == 2 and bool(ee.EvaluationResult(np.zeros((0, 0)), {}))
    it = iter(r)
    r.weights = new = np.zeros((5, 1))  # reassigned weights are seen everywhere
    assert next(it) is new and r[0] is new and r.shape == (5, 1)
    del r.states  # read when reached: deleted, it is an AttributeError
    with pytest.raises(AttributeError):
        next(it)
    with pytest.raises(StopIteration):
        next(it)
    r.states = "later"
    it = iter(r)
    next(it)
    assert next(it) == "later"


@pytest.mark.parametrize("index, expect", [(0, 0), (1, 1), (-1, 1), (-2, 0),
                                           (slice(0, 2), "both"), (2, IndexError),
                                           ("x", TypeError)])
def test_indexing(ee, parts, index, expect):
    r = ee.EvaluationResult(*parts)
    if expect == "both":
        assert r[index] == parts
    elif isinstance(expect, type):
        with pytest.raises(expect, match="tuple index out of range" if index == 2 else None):
            r[index]
    else:
        assert r[index] is parts[expect]


def test_array_conversion_and_attributes(ee, parts):
    w, _ = parts
    r = ee.EvaluationResult(*parts)
    a = np.asarray(r)
    assert np.shares_memory(a, w) and a.dtype == np.float64
    f = np.asarray(r, dtype=np.float32)
    assert f.dtype == np.float32 and not np.shares_memory(f, w)
    assert r.__array__() is w
    added = np.add(r, 1)
    assert type(added) is np.ndarray
    np.testing.assert_array_equal(added, w + 1)
    with pytest.raises(TypeError):
        r + 1
    # other attributes are the weights'
    assert r.shape == (2, 3) and r.dtype == np.float64 and r.sum() == 15.0
    np.testing.assert_array_equal(r.T, w.T)
    with pytest.raises(AttributeError, match="numpy.ndarray"):
        r.no_such_attribute


def test_side_fields(ee, parts):
    r1, r2 = ee.EvaluationResult(*parts), ee.EvaluationResult(*parts)
    assert r1.nan_source == {} and r1.node_outputs == {}
    assert r1.nan_source is not r2.nan_source and r1.nan_source is not r1.node_outputs
    mine = {}
    r3 = ee.EvaluationResult(*parts, nan_source=mine, node_outputs=mine)
    assert r3.nan_source is mine and r3.node_outputs is mine
    assert list(vars(r3)) == ["weights", "states", "nan_source", "node_outputs"]


def test_instance_without_weights_does_not_recurse(ee):
    blank = ee.EvaluationResult.__new__(ee.EvaluationResult)
    with pytest.raises(AttributeError):
        blank.shape
    with pytest.raises(AttributeError):
        list(blank)
