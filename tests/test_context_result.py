"""The context's buffer and copies, and the result's pair protocol read lazily over its weights."""

import copy
import pickle
import threading

import numpy as np
import pytest

from tessaline.simulator_engine import expression_evaluator as EE
from tessaline.simulator_engine._types import UsefulSignal


class Sub(EE.EvaluationContext):
    pass


@pytest.mark.parametrize("clone", [lambda c: pickle.loads(pickle.dumps(c)), copy.copy, copy.deepcopy])
def test_clones_get_their_own_lock_and_buffers(ee, clone):
    signals = {"s": UsefulSignal(weights=np.ones((4, 3)), pnl=np.ones(4)), "t": UsefulSignal()}
    c = Sub((np.zeros((4, 3)),), {"a": 0}, signals)
    assert c.extraction_buffer.shape == (2, 3) and not c.extraction_buffer.any()
    c.extra, c.registers = [1, 2], np.arange(3.0).reshape(1, 3)
    other = clone(c)
    assert type(other) is Sub and other._evaluation_lock is not c._evaluation_lock
    assert type(other._evaluation_lock) is type(threading.RLock()) and set(vars(other)) == set(vars(c))
    assert other.extra == [1, 2] and (other.registers == c.registers).all()
    assert "_evaluation_lock" not in c.__getstate__()
    del c._evaluation_lock
    assert "_evaluation_lock" not in c.__getstate__()
    with pytest.raises(TypeError):
        ee.EvaluationContext.__getstate__(object())


def test_result_iterators_read_the_current_weights_and_states(ee):
    r = ee.EvaluationResult(np.arange(6.0).reshape(2, 3), {"root": "state"})
    it = iter(r)
    r.weights = new = np.zeros((5, 1))
    assert next(it) is new and r.shape == (5, 1)
    del r.states
    with pytest.raises(AttributeError):
        next(it)
