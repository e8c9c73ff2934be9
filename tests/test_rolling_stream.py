"""The built-in rolling functions' row stream runs on the whole-matrix kernel's accumulator:
same bits row by row, also when its state is saved and restored mid-stream."""

import copy
import pickle

import numpy as np
import pytest

from rolling_twin import MEAN, STD, ZSCORE

KINDS = {MEAN: 0, STD: 1, ZSCORE: 2}


@pytest.fixture(scope="module")
def RollingStream():
    builtins = pytest.importorskip("tessaline.functions._builtins")
    return builtins.RollingStream


def sample(seed, shape):
    rng = np.random.default_rng(seed)
    data = rng.normal(size=shape) * rng.choice([1e-5, 1.0, 1e8, 1e300], size=(1, shape[1]))
    mask = rng.random(shape)
    data[mask < 0.06] = np.nan
    data[(mask > 0.06) & (mask < 0.08)] = np.inf
    data[(mask > 0.08) & (mask < 0.09)] = -np.inf
    data[(mask > 0.09) & (mask < 0.15)] = -0.0
    data[(mask > 0.15) & (mask < 0.3)] = 2.5
    return data


def push_rows(stream, rows):
    out = np.empty_like(rows)
    for i, row in enumerate(rows):
        out[i] = stream.push(np.ascontiguousarray(row))
    return out


@pytest.mark.parametrize("name", [MEAN, STD, ZSCORE])
@pytest.mark.parametrize("window", [1, 3, 8, 45])
def test_stream_matches_whole_matrix_across_state_round_trips(ee, RollingStream, name, window):
    data = sample(window, (40, 6))
    want = ee._rolling_longitudinal_fast(data, window, name).view(np.uint64)
    whole = push_rows(RollingStream(KINDS[name], window), data)
    assert np.array_equal(whole.view(np.uint64), want)
    for cut in sorted({0, 1, window - 1, window, window + 1, 17, 39, 40} & set(range(41))):
        head_stream = RollingStream(KINDS[name], window)
        head = push_rows(head_stream, data[:cut])
        state = pickle.loads(pickle.dumps(copy.deepcopy(head_stream.get_state())))
        tail_stream = RollingStream(KINDS[name], window)
        tail_stream.set_state(state)
        tail = push_rows(tail_stream, data[cut:])
        assert np.array_equal(np.vstack([head, tail]).view(np.uint64), want), cut
