"""Every ISA path of the rank kernels (TESSALINE_KERNELS=avx512|avx2|portable, falling back
to what the CPU runs) against the NumPy steps, bit for bit: the whole-matrix API in a small
program compiled from the kernel headers, and both extensions in a fresh interpreter."""

import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

from twins import rank_matrix, rank_multiply, rank_row_average_ties

ROOT = pathlib.Path(__file__).resolve().parents[1]
PATHS = ["portable", "avx2", "avx512"]

PROGRAM = r"""
#include "kernels/rank.hpp"
#include <cstdio>
#include <vector>
// stdout: the selected path and the CPU's widest, then per record a status byte and the
// result. stdin records: (mode, rows, n, has universe), a, [b,] [universe]. Modes: 0 ranks,
// 1 ranks from kept positions, 2 product of the ranks of a and b, 3 average ranks by row.
namespace k = ee::kernels;
int main() {
    const unsigned char isa[2] = {(unsigned char) k::selected_isa(),
                                  (unsigned char) k::detail::cpu_isa()};
    std::fwrite(isa, 1, 2, stdout);
    unsigned long long h[4];
    while (std::fread(h, sizeof h, 1, stdin) == 1) {
        const std::size_t rows = h[1], n = h[2], cells = rows * n;
        std::vector<double> a(cells + 1), b(cells + 1), u(cells + 1), out(cells + 1);
        if (std::fread(a.data(), 8, cells, stdin) != cells) return 2;
        if (h[0] == 2 && std::fread(b.data(), 8, cells, stdin) != cells) return 2;
        if (h[3] && std::fread(u.data(), 8, cells, stdin) != cells) return 2;
        const double *uni = h[3] ? u.data() : nullptr;
        unsigned char ok = 1;
        k::RankPositions kept;
        if (h[0] == 0) {
            ok = k::rank_matrix_distinct(a.data(), n, uni, n, out.data(), rows, n);
        } else if (h[0] == 1 || h[0] == 2) {
            ok = k::rank_matrix_positions(a.data(), n, uni, n, rows, n, out.data(), kept);
            if (ok && h[0] == 1) k::rank_matrix_from_positions(kept);
            if (ok && h[0] == 2) ok = k::rank_matrix_distinct_product(kept, b.data(), n, uni, n);
        } else {
            k::RankScratch s;
            for (std::size_t r = 0; r < rows; ++r)
                k::rank_row_average(a.data() + r * n, out.data() + r * n, n, s);
        }
        std::fwrite(&ok, 1, 1, stdout);
        std::fwrite(out.data(), 8, cells, stdout);
    }
    return 0;
}
"""


def edge_rows(rng):
    """Rows aimed at each sorting step: lengths around the vector blocks (8, 32), the
    counting limit (160) and the bucket deal (400); shared high key bits; one sign; ties;
    infinities, zeros of both signs, subnormals and ranges that overflow a bucket map."""
    rows = [np.array([]), np.array([np.nan]), np.array([2.0]), np.array([0.0, -0.0, 1.0]),
            np.array([np.inf, np.inf, -np.inf, 1.0, np.nan])]
    for n in (7, 8, 9, 31, 32, 33, 100, 160, 161, 399, 400, 401, 1025, 3000):
        base = rng.standard_normal(n)
        near = (np.float64(-3.25).view(np.int64) + rng.permutation(n)).view(np.float64)
        tied = base.copy()
        tied[rng.integers(n)] = tied[rng.integers(n)]
        holes = base.copy()
        holes[rng.random(n) < 0.2] = np.nan
        holes[rng.random(n) < 0.05] = np.inf
        holes[rng.random(n) < 0.05] = -np.inf
        wide = base.copy()
        wide[: min(n, 2)] = (-1.7e308, 1.7e308)[: min(n, 2)]
        rows += [base, near, tied, holes, wide, np.abs(base), base * 1e-310,
                 1.0 + 1e-9 * base, np.round(base * 50) / 50]
    return rows


def records(rng):
    """(mode, a, b, universe) cases: each edge row as a one-row matrix, then matrices large
    enough for the worker threads and for the streamed stores."""
    cases = []
    for row in edge_rows(rng):
        a = row.reshape(1, -1)
        universe = np.where(rng.random(a.shape) < 0.15, rng.choice([0.0, np.nan], a.shape), 1.0)
        b = rng.standard_normal(a.shape)
        cases += [(0, a, None, None), (0, a, None, universe), (1, a, None, universe),
                  (2, a, b, None), (2, b, a, universe), (3, a, None, None)]
    for rows, n in ((400, 100), (40, 3000), (2100, 1000)):
        a, b = rng.standard_normal((rows, n)), rng.standard_normal((rows, n))
        a[rng.random(a.shape) < 0.05] = np.nan
        universe = (rng.random((1, n)) > 0.1).astype(np.float64).repeat(rows, 0)
        cases += [(0, a, None, None), (0, a, None, universe), (2, a, b, universe)]
    return cases


def expected(mode, a, b, universe):
    if mode in (0, 1):
        return rank_matrix(a, universe)
    if mode == 2:
        return rank_multiply(a, b, universe)
    return np.array([rank_row_average_ties(r) for r in a]).reshape(a.shape)


@pytest.fixture(scope="module")
def program(tmp_path_factory):
    cxx = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if not cxx:
        pytest.skip("no C++ compiler")
    tmp = tmp_path_factory.mktemp("isa_paths")
    (tmp / "driver.cpp").write_text(PROGRAM)
    subprocess.run([cxx, "-O2", "-std=c++17", f"-I{ROOT / 'src'}", str(tmp / "driver.cpp"),
                    "-o", str(tmp / "driver"), "-pthread"], check=True)
    return tmp / "driver"


@pytest.mark.parametrize("path", PATHS)
def test_every_path_ranks_as_the_numpy_steps(program, path):
    cases = records(np.random.default_rng(17))
    payload = b"".join(
        np.array([mode, *a.shape, universe is not None], dtype=np.uint64).tobytes()
        + a.tobytes() + (b.tobytes() if mode == 2 else b"")
        + (universe.tobytes() if universe is not None else b"")
        for mode, a, b, universe in cases)
    env = dict(os.environ, TESSALINE_KERNELS=path)
    out = subprocess.run([str(program)], input=payload, capture_output=True, check=True,
                         env=env).stdout
    selected, widest = out[0], out[1]
    assert selected == min(PATHS.index(path), widest)  # what the CPU lacks falls back
    at = 2
    for mode, a, b, universe in cases:
        ok, got = out[at] == 1, np.frombuffer(out[at + 1: at + 1 + a.nbytes], np.float64)
        at += 1 + a.nbytes
        want = expected(mode, a, b, universe)
        assert ok == (want is not None), (mode, a.shape)
        if ok:
            assert got.tobytes() == want.tobytes(), (mode, a.shape)


CHECK = """
import numpy as np, sys
sys.path.insert(0, {tests!r})
from twins import rank_matrix, rank_multiply, rank_row_average_ties
from tessaline.functions import _builtins
from tessaline.functions._typed_shapes import FunctionGraphNode as Node
from tessaline.simulator_engine import expression_evaluator as ee
rng = np.random.default_rng(5)
a, b = rng.standard_normal((300, 450)), rng.standard_normal((300, 450))
a[rng.random(a.shape) < 0.1] = np.nan
ctx = ee.EvaluationContext((a, b), {{"a": 0, "b": 1}}, validate_inputs=False)
rank = lambda f: Node("rotation", "virtualization_runtime_transform_acbc9b", [Node("feature", f)])
got = ee._evaluate_simple_rank_fast(rank("a"), ctx)
assert got.tobytes() == rank_matrix(a).tobytes()
got = ee._evaluate_rank_multiply_fast(Node("rotation", "numerical_combine_d65e04",
                                           [rank("a"), rank("b")]), ctx)
assert got.tobytes() == rank_multiply(a, b).tobytes()
row = np.round(a[0] * 4) / 4
assert _builtins.rank_row(row).tobytes() == rank_row_average_ties(row).tobytes()
"""


@pytest.mark.parametrize("path", PATHS + ["no-such-path"])
def test_both_extensions_read_the_path_at_import(path):
    env = dict(os.environ, TESSALINE_KERNELS=path)
    subprocess.run([sys.executable, "-c", CHECK.format(tests=str(ROOT / "tests"))], env=env,
                   check=True)
