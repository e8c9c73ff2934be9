"""Large results take their buffers from a small pool of freed ones."""

import gc

import numpy as np
import pytest

SHAPE = (1200, 1000)  # 9.6 MB: large enough to be pooled


def address(a):
    return a.__array_interface__["data"][0]


def rolling(ee, data):
    return ee._rolling_longitudinal_fast(data, 3, "mean")


@pytest.fixture
def data():
    return np.random.default_rng(0).normal(size=SHAPE)


def test_a_freed_result_buffer_serves_the_next_result(ee, data):
    first = rolling(ee, data)
    where = address(first)
    del first
    gc.collect()
    again = rolling(ee, data)
    assert address(again) == where
    assert again.flags.owndata and again.flags.writeable and again.flags.c_contiguous


def test_live_results_keep_their_values(ee, data):
    kept = [rolling(ee, data * k) for k in (1.0, 2.0, 3.0, 4.0)]
    snapshots = [a.copy() for a in kept]
    for k in range(6):  # results made and freed while the others are alive
        rolling(ee, data + k)
    assert len({address(a) for a in kept}) == len(kept)
    for a, snap in zip(kept, snapshots):
        assert a.tobytes() == snap.tobytes()


def test_a_pooled_result_resizes_in_place(ee, data):
    a = rolling(ee, data)
    head = a.ravel()[:100].copy()
    a.resize((10, 10), refcheck=False)  # realloc through the same allocator
    assert a.ravel().tobytes() == head.tobytes()
    a.resize(SHAPE, refcheck=False)
    assert a.shape == SHAPE
