"""The one-row-per-call rolling driver of kernels/rolling.hpp gives the whole-matrix kernel's
bits, also when its state is saved and restored in another process mid-stream."""

import os
import pathlib
import shutil
import subprocess

import numpy as np
import pytest

from rolling_twin import MEAN, STD, ZSCORE

ROOT = pathlib.Path(__file__).resolve().parents[1]
STATS = {MEAN: 0, STD: 1, ZSCORE: 2}


@pytest.fixture(scope="module")
def stream_program(tmp_path_factory):
    cxx = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if not cxx:
        pytest.skip("no C++ compiler")
    exe = tmp_path_factory.mktemp("native") / "rolling_stream"
    subprocess.run([cxx, "-O2", "-std=c++17", "-Wall", "-Wextra", "-Werror",
                    f"-I{ROOT / 'src' / 'expression_evaluator'}",
                    str(ROOT / "tests" / "native" / "rolling_stream_main.cpp"), "-o", str(exe)],
                   check=True)
    return exe


class Stream:
    def __init__(self, exe, tmp_path, data, window, name):
        self.exe, self.dir = exe, tmp_path
        self.data = np.ascontiguousarray(data, dtype=np.float64)
        self.window, self.stat = window, STATS[name]
        self.input = tmp_path / "in.bin"
        self.input.write_bytes(self.data.tobytes())
        self.runs = 0

    def run(self, begin, end, state_in=None):
        self.runs += 1
        out = self.dir / f"out{self.runs}.bin"
        state_out = self.dir / f"state{self.runs}.bin"
        n = self.data.shape[1]
        subprocess.run([str(self.exe), str(self.stat), str(self.window), str(n), str(begin),
                        str(end), str(self.input), str(out),
                        str(state_in) if state_in else "-", str(state_out)], check=True)
        rows = np.frombuffer(out.read_bytes(), dtype=np.float64).reshape(end - begin, n)
        return rows, state_out


def sample(seed, shape):
    rng = np.random.default_rng(seed)
    data = rng.normal(size=shape) * rng.choice([1e-5, 1.0, 1e8], size=(1, shape[1]))
    mask = rng.random(shape)
    data[mask < 0.06] = np.nan
    data[(mask > 0.06) & (mask < 0.08)] = np.inf
    data[(mask > 0.08) & (mask < 0.09)] = -np.inf
    data[(mask > 0.09) & (mask < 0.15)] = -0.0
    data[(mask > 0.15) & (mask < 0.3)] = 2.5
    return data


@pytest.mark.parametrize("name", [MEAN, STD, ZSCORE])
@pytest.mark.parametrize("window", [1, 3, 8, 45])
def test_stream_matches_whole_matrix_with_state_round_trips(ee, stream_program, tmp_path, name,
                                                            window):
    data = sample(window, (40, 6))
    want = ee._rolling_longitudinal_fast(data, window, name).view(np.uint64)
    stream = Stream(stream_program, tmp_path, data, window, name)
    whole, _ = stream.run(0, 40)
    assert np.array_equal(whole.view(np.uint64), want)
    # split anywhere, the state file carrying everything between the two processes
    for cut in sorted({0, 1, window - 1, window, window + 1, 17, 39, 40} & set(range(41))):
        head, state = stream.run(0, cut)
        tail, _ = stream.run(cut, 40, state)
        assert np.array_equal(np.vstack([head, tail]).view(np.uint64), want), cut


@pytest.mark.parametrize("name", [MEAN, STD, ZSCORE])
def test_stream_resumes_from_the_builtin_accumulator_state(ee, stream_program, tmp_path, name):
    """The state layout is the one the built-in rolling functions keep (running totals plus
    a ring of the totals before each of the last w rows)."""
    kernels = pytest.importorskip("tessaline.functions._kernels")
    if not hasattr(kernels, "RollingAccumulator"):
        pytest.skip("no built-in rolling accumulator")
    window, cut = 5, 23
    data = sample(7, (40, 4))
    acc = kernels.RollingAccumulator(STATS[name], window)
    with np.errstate(all="ignore"):
        for row in data[:cut]:
            acc.push(row)
    state = acc.get_state()
    n = data.shape[1]
    zero_ld = np.zeros(n, dtype=np.longdouble)
    parts = [
        np.asarray(state["sum"], dtype=np.longdouble),
        np.asarray(state.get("sum_sq", zero_ld), dtype=np.longdouble),
        np.asarray(state["invalid"], dtype=np.int64),
        np.asarray(state["history_sum"], dtype=np.longdouble),
        np.asarray(state.get("history_sum_sq", np.zeros((window, n), np.longdouble)),
                   dtype=np.longdouble),
        np.asarray(state["history_invalid"], dtype=np.int64),
    ]
    state_file = tmp_path / "builtin_state.bin"
    state_file.write_bytes(b"".join(np.ascontiguousarray(p).tobytes() for p in parts))
    tail, _ = Stream(stream_program, tmp_path, data, window, name).run(cut, 40, state_file)
    want = ee._rolling_longitudinal_fast(data, window, name)[cut:]
    assert np.array_equal(tail.view(np.uint64), want.view(np.uint64))
