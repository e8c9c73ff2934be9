"""The context's checks, buffer and copies, and the result's pair protocol over its weights."""

import copy
import pickle
import threading

import numpy as np
import pytest

from tessaline.functions._typed_shapes import SchemaError
from tessaline.simulator_engine import expression_evaluator as EE
from tessaline.simulator_engine._types import EvaluationError, UsefulSignal


class Sub(EE.EvaluationContext):
    pass


def feats(*shapes):
    return tuple(np.zeros(s) for s in shapes)


@pytest.mark.parametrize("shapes, index, kwargs, error, message", [
    (((3, 2), (3, 2)), {"ok": 0, "bad": 2, "worse": 9}, {}, EvaluationError,
     "feature_index['bad'] = 2 is out of bounds for 2 features"),
    (((3, 2), (3, 2)), {"ok": 0, "bad": -1}, {}, EvaluationError,
     "feature_index['bad'] = -1 is out of bounds for 2 features"),
    (((10, 4), (10, 4), (10, 5)), {}, {}, EvaluationError,
     "Feature dimension mismatch: 'feature_0' shape (10, 4) vs 'feature_2' shape (10, 5)"),
    (((10, 4),), {}, {"universe": np.ones((10, 1))}, EvaluationError,
     "Feature dimension mismatch: features shape (10, 4) vs universe shape (10, 1)"),
    (((10, 4),), {}, {"useful_signals": {"s1": UsefulSignal(weights=np.zeros((10, 3)), pnl=np.zeros(9))}},
     EvaluationError, "useful signal 's1' weights shape (10, 3) does not match feature shape (10, 4)"),
    (((10, 4),), {}, {"useful_signals": {"ok": UsefulSignal(weights=None, pnl=np.zeros((10, 3))),
                                         "bad": UsefulSignal(pnl=np.zeros((9, 2)))}},
     EvaluationError, "useful signal 'bad' pnl shape (9, 2) does not match feature shape (10, 4)"),
    (((3, 2), (4, 2)), {"a": 9}, {"stage_data": {}}, SchemaError,  # before the features
     "EvaluationContext.stage_data must be StageData or None; got dict"),
])
def test_construction_refusals(ee, shapes, index, kwargs, error, message):
    with pytest.raises(error) as info:
        ee.EvaluationContext(feats(*shapes), index, **kwargs)
    assert info.value.args == (message,)


def test_construction(ee):
    signals, meta, pipeline, labels = {}, {}, [], []
    c = ee.EvaluationContext(feats((3, 2)), {}, signals, None, None, meta, pipeline, None, labels)
    assert (c.useful_signals, c.metaparameters, c.transform_pipeline, c.column_labels) == (signals, meta, pipeline,
                                                                                          labels)
    assert c.useful_signals is signals and c.stage_data.is_empty() and c.extraction_buffer is None
    args = [feats((3, 2)), {"x": 0}, None, "reg", None, None, None, None, None, "pnl", "states", "mask", 5, "pool",
            "tag", 1, 0]
    c = ee.EvaluationContext(*args)
    assert (c.registry, c.universe_mask, c.current_day_index, c.transforms_already_combined) == ("reg", "mask", 5, 1)
    assert c._skip_evaluation_shape_validation is True
    with pytest.raises(TypeError):
        ee.EvaluationContext(*args, None)
    for features, signals, validate, buffer in [
            (feats((6, 7)), {"a": UsefulSignal(), "b": UsefulSignal()}, True, (2, 7)),
            ((), {"s": UsefulSignal()}, True, None),
            (feats((6, 3), (5, 3)), {"s": UsefulSignal(weights=np.zeros((1, 1)))}, False, (1, 3))]:
        c = ee.EvaluationContext(features, {} if validate else {"a": 7}, signals, validate_inputs=validate)
        assert buffer is None and c.extraction_buffer is None or c.extraction_buffer.shape == buffer
    with pytest.raises(AttributeError):
        ee.EvaluationContext(feats((2, 2)), None)
    with pytest.raises(EvaluationError, match="'feature_1' shape \\(3,\\)"):
        ee._validate_evaluation_shapes([np.zeros((3, 1)), np.zeros(3)], None, None)
    assert ee._validate_evaluation_shapes([np.float64(1.0)], None, {"s": UsefulSignal(weights=None)}) is None


@pytest.mark.parametrize("clone", [lambda c: pickle.loads(pickle.dumps(c)), copy.copy, copy.deepcopy])
def test_clones_get_their_own_lock(ee, clone):
    c = Sub(feats((4, 3)), {"a": 0}, {"s": UsefulSignal(weights=np.ones((4, 3)), pnl=np.ones(4))})
    c.extra, c.registers = [1, 2], np.arange(3.0).reshape(1, 3)
    other = clone(c)
    assert type(other) is Sub and other._evaluation_lock is not c._evaluation_lock
    assert type(other._evaluation_lock) is type(threading.RLock()) and set(vars(other)) == set(vars(c))
    assert other.extra == [1, 2] and (other.registers == c.registers).all()
    state = c.__getstate__()
    assert "_evaluation_lock" not in state and state["extra"] == [1, 2]
    del c._evaluation_lock
    assert "_evaluation_lock" not in c.__getstate__()
    blank = ee.EvaluationContext.__new__(ee.EvaluationContext)
    blank.__setstate__({"x": 1})
    assert set(vars(blank)) == {"x", "_evaluation_lock"}
    with pytest.raises(TypeError):
        ee.EvaluationContext.__getstate__(object())


def test_result_is_a_pair_read_lazily_over_its_weights(ee):
    w, s = np.arange(6.0).reshape(2, 3), {"root": "state"}
    r = ee.EvaluationResult(w, s)
    a, b = r
    assert a is w and b is s and len(r) == 2 and r[-1] is s and r[-2] is w and r[0:2] == (w, s)
    with pytest.raises(IndexError, match="tuple index out of range"):
        r[2]
    with pytest.raises(TypeError):
        r["x"]
    assert np.shares_memory(np.asarray(r), w) and r.__array__() is w and np.asarray(r, np.float32).dtype == np.float32
    assert type(np.add(r, 1)) is np.ndarray and r.shape == (2, 3) and r.sum() == 15.0
    with pytest.raises(TypeError):
        r + 1
    with pytest.raises(AttributeError, match="numpy.ndarray"):
        r.no_such_attribute
    it = iter(r)
    r.weights = new = np.zeros((5, 1))  # reassigned weights are seen everywhere
    assert next(it) is new and r.shape == (5, 1)
    del r.states
    with pytest.raises(AttributeError):
        next(it)
    r1, r2 = ee.EvaluationResult(w, s), ee.EvaluationResult(w, s)
    assert r1.nan_source == {} == r1.node_outputs and r1.nan_source is not r2.nan_source
    blank = ee.EvaluationResult.__new__(ee.EvaluationResult)
    for call in (lambda: blank.shape, lambda: list(blank)):
        with pytest.raises(AttributeError):
            call()
