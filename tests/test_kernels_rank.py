"""Rank kernels against the NumPy twin, bit for bit: a program compiled from the kernel headers
runs the one-row and whole-matrix kernels on every ISA path (TESSALINE_KERNELS=avx512|avx2|
portable, falling back to what the CPU runs); then the module's whole-matrix rank and
rank-multiply paths, both extensions in a fresh interpreter per path, and the general path."""

import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from fakes import COMBINE, RANK
from tessaline.functions import builtins as B
from tessaline.functions._typed_shapes import FunctionGraphNode as Node
from tessaline.functions.registry import default_registry
from twins import assert_bits, rank_matrix, rank_multiply, rank_row_average_ties

ROOT = pathlib.Path(__file__).resolve().parents[1]
PATHS = ["portable", "avx2", "avx512"]
PROGRAM = r"""
#include "kernels/rank.hpp"
#include <cstdio>
#include <vector>
// stdout: the selected path and the CPU's widest, then per record a status byte and the
// result. stdin records: (mode, rows, n, has universe), a, [b,] [universe]. Modes: 0 ranks,
// 1 ranks from kept positions, 2 product of the ranks of a and b, 3 average ranks by row,
// 4 distinct ranks by row, 5 ranks from positions (a: the valid count, then positions).
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
        k::RankScratch s;
        if (h[0] == 0) {
            ok = k::rank_matrix_distinct(a.data(), n, uni, n, out.data(), rows, n);
        } else if (h[0] == 1 || h[0] == 2) {
            ok = k::rank_matrix_positions(a.data(), n, uni, n, rows, n, out.data(), kept);
            if (ok && h[0] == 1) k::rank_matrix_from_positions(kept);
            if (ok && h[0] == 2) ok = k::rank_matrix_distinct_product(kept, b.data(), n, uni, n);
        } else if (h[0] == 5 && n) {
            std::vector<std::uint32_t> pos(n - 1);
            for (std::size_t i = 1; i < n; ++i) pos[i - 1] = (std::uint32_t) a[i];
            k::detail::emit_ranks(pos.data(), pos.size(), (std::size_t) a[0], out.data() + 1);
        } else {
            for (std::size_t r = 0; r < rows; ++r) {
                if (h[0] == 3) k::rank_row_average(a.data() + r * n, out.data() + r * n, n, s);
                else ok &= k::rank_row_distinct(a.data() + r * n, uni ? uni + r * n : nullptr,
                                                out.data() + r * n, n, s);
            }
        }
        std::fwrite(&ok, 1, 1, stdout);
        std::fwrite(out.data(), 8, cells, stdout);
    }
    return 0;
}
"""


def edge_rows(rng):
    """Rows aimed at each sorting step: lengths around the vector blocks and the network,
    counting and bucket limits (128, 160, 400); values sharing their high key bits; one sign;
    single and many ties; infinities, zeros of both signs, subnormals, ranges that overflow a
    bucket map or are held by one outlier; an ascending row whose last element is all ones."""
    rows = [np.array([]), np.array([np.nan]), np.array([2.0]), np.array([np.nan, 3.0]),
            np.array([1.0, 1.0]), np.array([0.0, -0.0, 1.0]), np.array([2.0, 1.0, 2.0, 1.0, 2.0]),
            np.array([np.inf, np.inf, -np.inf, 1.0, np.nan]), np.arange(128.0)]
    for n in (5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 127, 128, 129, 160, 161, 191,
              192, 193, 399, 400, 401, 1023, 1024, 1025, 3000):
        base = rng.standard_normal(n)
        near = (np.float64(-3.25).view(np.int64) + rng.permutation(n)).view(np.float64)
        pairs, tied, holes, wide, outlier, mixed = (base.copy() for _ in range(6))
        idx = rng.permutation(n)[: n // 3 * 2].reshape(-1, 2)
        pairs[idx[:, 1]] = np.nextafter(pairs[idx[:, 0]], np.inf)  # shared prefixes, no tie
        tied[rng.integers(n)] = tied[rng.integers(n)]
        holes[rng.random(n) < 0.2] = np.nan
        holes[rng.random(n) < 0.05] = np.inf
        holes[rng.random(n) < 0.05] = -np.inf
        wide[: min(n, 2)] = (-1.7e308, 1.7e308)[: min(n, 2)]
        outlier[n // 2] = 1e300
        mixed[: n // 2] = near[: n // 2]
        sparse = np.full(n, np.nan)
        sparse[n // 2] = 1.0
        rows += [base, near, pairs, tied, holes, wide, outlier, mixed, np.abs(base), -np.abs(base),
                 base * 1e-310, 1.0 + 1e-9 * base, 1.0 + 1e-3 * base, np.round(base * 50) / 50,
                 np.round(holes * 3) / 3, sparse, np.full(n, 2.5),
                 np.where(rng.random(n) < 0.5, 0.0, -0.0) * (rng.random(n) < 0.01)]
    for n in range(2, 400, 7):
        row = rng.permutation(n).astype(np.float64)
        row[rng.random(n) < 0.1] = np.nan
        rows.append(row)
    return rows


def position_rows(rng):
    # A reciprocal and an FMA correction step must equal position / (valid - 1) as the
    # division rounds it, over the whole 32-bit range of positions and counts.
    rows = []
    for _ in range(200):
        valid = int(rng.integers(2, 2**32))
        pos = rng.integers(0, int(rng.choice([valid, 2**32 - 1])), size=64, dtype=np.uint64)
        rows.append(np.concatenate(([valid], pos)).astype(np.float64))
    for d in (1, 2, 3, 7, 10, 999, 2**16 - 1, 2**31 - 1, 2**32 - 2):
        rows.append(np.concatenate(([d + 1], np.arange(min(d + 1, 4000)))).astype(np.float64))
    return rows


def records(rng):
    """(mode, a, b, universe, expected) cases: each edge row as a one-row matrix, then
    matrices large enough for the worker threads and for the streamed stores. Universe cells
    of 0.0, -0.0 and NaN mask the data cell; inf, negative and fractional ones do not."""
    cases = []
    for row in edge_rows(rng):
        a = row.reshape(1, -1)
        u = rng.choice([1.0, 0.0, -0.0, np.nan, np.inf, -1.0, 0.5], a.shape,
                       p=[.55, .1, .1, .1, .05, .05, .05])
        b = rng.standard_normal(a.shape)
        cases += [(0, a, None, None, rank_matrix(a)), (0, a, None, u, rank_matrix(a, u)),
                  (1, a, None, u, rank_matrix(a, u)), (4, a, None, None, rank_matrix(a)),
                  (4, a, None, u, rank_matrix(a, u)), (2, a, b, None, rank_multiply(a, b)),
                  (2, b, a, u, rank_multiply(b, a, u)),
                  (3, a, None, None, rank_row_average_ties(row).reshape(a.shape))]
    for row in position_rows(rng):
        want = np.concatenate(([row[0]], row[1:] / (row[0] - 1)))
        cases.append((5, row.reshape(1, -1), None, None, want))
    for rows, n in ((400, 100), (40, 3000), (2100, 1000), (2, 70000)):
        a, b = rng.standard_normal((rows, n)), rng.standard_normal((rows, n))
        a[rng.random(a.shape) < 0.05] = np.nan
        u = (rng.random((1, n)) > 0.1).astype(np.float64).repeat(rows, 0)
        cases += [(0, a, None, None, rank_matrix(a)), (0, a, None, u, rank_matrix(a, u)),
                  (2, a, b, u, rank_multiply(a, b, u))]
    return cases


@pytest.fixture(scope="module")
def program(tmp_path_factory):
    cxx = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if not cxx:
        pytest.skip("no C++ compiler")
    # `make coverage` counts the kernels' lines and branches that this program runs too.
    counted = os.environ.get("TESSALINE_ORACLE_COVERAGE")
    tmp = pathlib.Path(counted) if counted else tmp_path_factory.mktemp("rank_kernels")
    tmp.mkdir(parents=True, exist_ok=True)
    (tmp / "driver.cpp").write_text(PROGRAM)
    flags = ["-O0", "--coverage"] if counted else ["-O2"]
    subprocess.run([cxx, *flags, "-std=c++17", f"-I{ROOT / 'src'}", str(tmp / "driver.cpp"),
                    "-o", str(tmp / "driver"), "-pthread"], check=True)
    return tmp / "driver", records(np.random.default_rng(17))


@pytest.mark.parametrize("path", PATHS)
def test_every_path_ranks_as_the_numpy_steps(program, path):
    driver, cases = program
    payload = b"".join(
        np.array([mode, *a.shape, u is not None], dtype=np.uint64).tobytes() + a.tobytes()
        + (b.tobytes() if mode == 2 else b"") + (u.tobytes() if u is not None else b"")
        for mode, a, b, u, _ in cases)
    out = subprocess.run([str(driver)], input=payload, capture_output=True, check=True,
                         env=dict(os.environ, TESSALINE_KERNELS=path)).stdout
    assert out[0] == min(PATHS.index(path), out[1])  # what the CPU lacks falls back
    at = 2
    for mode, a, b, u, want in cases:
        ok, got = out[at] == 1, np.frombuffer(out[at + 1: at + 1 + a.nbytes], np.float64)
        at += 1 + a.nbytes
        assert ok == (want is not None), (mode, a.shape)
        if ok and mode == 5:
            assert got[1:].tobytes() == want[1:].tobytes(), a[0, 0]
        elif ok:
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


# ---------------------------------------------------------------------------------------
# The module's whole-matrix paths.


def rank_graph(name="x"):
    return Node("rotation", RANK, [Node("feature", name)])


def product_graph(left="a", right="b"):
    return Node("rotation", COMBINE, [rank_graph(left), rank_graph(right)])


def native_rank(ee, data, universe=None):
    c = ee.EvaluationContext((data,), {"x": 0}, universe=universe, validate_inputs=False)
    return ee._evaluate_simple_rank_fast(rank_graph(), c)


def native_product(ee, a, b, universe=None):
    c = ee.EvaluationContext((a, b), {"a": 0, "b": 1}, universe=universe, validate_inputs=False)
    return ee._evaluate_rank_multiply_fast(product_graph(), c), c


def random_matrix(rng, T, N, nan=0.1, inf=0.0):
    data = rng.standard_normal((T, N)) * rng.choice([1e-3, 1.0, 1e6], size=(T, 1))
    data[rng.random((T, N)) < nan] = np.nan
    pick = rng.random((T, N)) < inf
    data[pick] = rng.choice([np.inf, -np.inf], size=int(pick.sum()))
    return data


@pytest.mark.parametrize("N", [2, 15, 100, 160, 161, 500, 3000])
@pytest.mark.parametrize("universe_kind", ["none", "matrix", "row"])
def test_rank_matrix_matches_numpy(ee, N, universe_kind):
    rng = np.random.default_rng(N)
    T = max(2, 40000 // N)
    data = random_matrix(rng, T, N, inf=0.02)
    data[3 % T] = np.nan
    if N > 2:
        data[1, : N - 1] = np.nan  # a row with one valid cell
    universe = rng.choice([1.0, 0.0, np.nan, -2.0, np.inf], p=[0.8, 0.05, 0.05, 0.05, 0.05], size=(T, N))
    u = {"none": None, "matrix": universe, "row": universe[0]}[universe_kind]
    want = rank_matrix(data, u)
    assert want is not None
    assert_bits(native_rank(ee, data, u), want)


@pytest.mark.parametrize("N", [50, 160, 2000])
def test_near_equal_values_and_late_ties(ee, N):
    rng = np.random.default_rng(N)
    base = rng.choice([1.0, -1.0, 1e-300, 123456.789], size=(30, 1))
    steps = np.stack([rng.permutation(N) for _ in range(30)]).astype(np.int64)
    data = (base.view(np.int64) + steps).view(np.float64)  # a few units in the last place apart
    data[:, :3] = rng.standard_normal((30, 3))
    assert_bits(native_rank(ee, data), rank_matrix(data))
    data[-1, 7] = data[-1, 9]
    assert native_rank(ee, data) is None
    big = random_matrix(rng, 400000 // N, N)
    big[-1, 5], big[-1, N - 1] = -0.0, 0.0  # signed zeros tie in the last row
    assert native_rank(ee, big) is None


def test_large_matrix_with_universe(ee):
    # Above 16 MiB the ranks are written around the caches in aligned steps; an odd width
    # gives the rows every alignment.
    rng = np.random.default_rng(2)
    data = random_matrix(rng, 5300, 401, inf=0.01)
    universe = np.where(rng.random(data.shape) < 0.2, 0.0, 1.0)
    for u in (universe, universe[0]):
        assert_bits(native_rank(ee, data, u), rank_matrix(data, u))


@pytest.mark.parametrize("convert", [
    np.asfortranarray, lambda a: a.astype(np.float32), lambda a: a.astype(">f8"),
    lambda a: np.repeat(a, 2, axis=1)[:, ::2], lambda a: a[::-1], lambda a: a.tolist(),
    lambda a: np.round(np.nan_to_num(a) * 100).astype(np.int64)])  # integer ties decline
def test_rank_layouts_and_dtypes(ee, convert):
    rng = np.random.default_rng(7)
    data = random_matrix(rng, 6, 300)
    universe = np.where(rng.random(data.shape) < 0.1, 0.0, 1.0)
    converted = convert(data)
    for u in (None, universe, universe[0], universe.astype(np.int8), np.asfortranarray(universe), universe[:, ::-1],
              np.repeat(universe[0], 2)[::2], universe[:3]):
        want = rank_matrix(np.asarray(converted, dtype=float), u) if u is None or u.shape[0] != 3 else ValueError
        if want is ValueError:
            with pytest.raises(ValueError):
                native_rank(ee, converted, u)
        else:
            assert_bits(native_rank(ee, converted, u), want)


def test_rank_of_odd_dimensions(ee):
    with pytest.raises(np.exceptions.AxisError):
        native_rank(ee, np.array([1.0, 2.0]))
    for three_d in (np.arange(24.0).reshape(2, 3, 4), np.zeros((2, 0, 3))):
        with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
            native_rank(ee, three_d)
    tied = np.arange(24.0).reshape(2, 3, 4)
    tied[1, 0, 2] = tied[1, 2, 2]  # equal along axis 1: declines before the unpacking
    assert native_rank(ee, tied) is None


CELLS = st.one_of(st.sampled_from([np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, 5e-324]),
                  st.floats(allow_nan=False, allow_infinity=False, width=64))


@settings(max_examples=150, deadline=None)
@given(shape=hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=12), data=st.data())
def test_rank_and_product_match_numpy_on_any_cells(ee, shape, data):
    a = data.draw(hnp.arrays(np.float64, shape, elements=CELLS))
    b = data.draw(hnp.arrays(np.float64, shape, elements=CELLS))
    kind = data.draw(st.sampled_from(["none", "matrix", "row"]))
    u = None if kind == "none" else data.draw(hnp.arrays(
        np.float64, shape if kind == "matrix" else shape[1:],
        elements=st.sampled_from([1.0, 0.0, -0.0, np.nan, -1.0, 0.5, np.inf])))
    assert_bits(native_rank(ee, a, u), rank_matrix(a, u))
    assert_bits(native_product(ee, a, b, u)[0], rank_multiply(a, b, u))


# (3, 65534) and (3, 65535): the last width whose left positions are kept in 16 bits and the
# first kept in 32; (700, 3001): a product above 16 MiB, rows of every alignment.
@pytest.mark.parametrize("T,N", [(1, 1), (7, 2), (500, 100), (40, 3000), (2000, 161),
                                 (3, 65534), (3, 65535), (700, 3001)])
@pytest.mark.parametrize("with_universe", [False, True])
def test_rank_multiply_matches_numpy(ee, T, N, with_universe):
    rng = np.random.default_rng(T * N)
    a, b = rng.standard_normal((T, N)), rng.standard_normal((T, N))
    a[rng.random((T, N)) < 0.1] = np.nan
    b[rng.random((T, N)) < 0.1] = np.inf
    universe = np.where(rng.random((T, N)) < 0.1, np.nan, 1.0) if with_universe else None
    out, c = native_product(ee, a, b, universe)
    assert_bits(out, rank_multiply(a, b, universe))
    assert c.registers.shape == (1, N) and np.shares_memory(c.registers, out)


def test_rank_multiply_declines_and_broadcasts_like_numpy(ee):
    rng = np.random.default_rng(0)
    for tied in (0, 1):
        ab = [rng.standard_normal((50, 300)), rng.standard_normal((50, 300))]
        ab[tied][-1, :2] = 0.5
        c = ee.EvaluationContext(tuple(ab), {"a": 0, "b": 1}, validate_inputs=False)
        c.registers = "before"
        assert ee._evaluate_rank_multiply_fast(product_graph(), c) is None and c.registers == "before"
    a, b = np.array([[1.0, 2.0, 3.0]]), np.array([[3.0, 1.0, 2.0], [1.0, 2.0, 3.0]])
    assert_bits(native_product(ee, a, b)[0], rank_matrix(a) * rank_matrix(b))
    with pytest.raises(ValueError):
        native_product(ee, a, np.ones((2, 2)) * [[1, 2]])
    out, c = native_product(ee, np.empty((0, 3)), np.empty((0, 3)))
    assert out.shape == (0, 3) and c.registers.tolist() == [[0.0, 0.0, 0.0]]


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), t=st.integers(1, 8), n=st.integers(1, 10), masked=st.booleans())
def test_fast_paths_give_the_general_paths_bits(ee, seed, t, n, masked):
    # Distinct finite values with NaN holes: the fast paths stand in for the built-ins.
    rng = np.random.default_rng(seed)
    x = rng.permutation(t * n).reshape(t, n) * 0.37 - 5.0
    x[rng.random((t, n)) < 0.2] = np.nan
    y = rng.permutation(t * n).reshape(t, n) * 1.3
    universe = np.where(rng.random((t, n)) < 0.3, 0.0, 1.0) if masked else None
    for graph in (Node("rotation", B.RANK, [Node("feature", "x")]),
                  Node("rotation", B.PRODUCT, [Node("rotation", B.RANK, [Node("feature", n)]) for n in "xy"])):
        out = []
        for registry in (default_registry(), default_registry(as_stubs=False)):
            c = ee.EvaluationContext((x, y), {"x": 0, "y": 1}, registry=registry, universe=universe)
            weights, states = ee.evaluate(graph, c)
            out.append((np.asarray(weights), states, c.current_day_index))
        (fast, fs, fday), (general, gs, gday) = out
        assert fs == gs == {} and fday == 0 and gday == t - 1
        np.testing.assert_array_equal(np.isnan(fast), np.isnan(general))
        assert fast[~np.isnan(fast)].tobytes() == general[~np.isnan(general)].tobytes()


def test_replaced_rank_and_mask_functions_are_called(ee, monkeypatch):
    a = np.array([[1.0, 3.0, 2.0]])
    c = ee.EvaluationContext((a, a[:, ::-1].copy()), {"a": 0, "b": 1}, universe=np.ones((1, 3)))
    calls = []
    monkeypatch.setattr(ee, "_apply_universe_mask", lambda data, u: calls.append(u) or data * 10.0)
    assert ee._evaluate_leaf_fast(Node("feature", "a"), c).tolist() == [[10.0, 30.0, 20.0]]
    assert ee._feature_matrix_for_fast_path(Node("feature", "a"), c).tolist() == [[10.0, 30.0, 20.0]]
    assert ee._evaluate_simple_rank_fast(rank_graph("a"), c).tolist() == [[0.0, 1.0, 0.5]]
    assert len(calls) == 3 and all(u is c.universe for u in calls)
    monkeypatch.setattr(ee, "_apply_universe_mask", lambda data, u: (data * 10.0).tolist())
    assert ee._evaluate_simple_rank_fast(rank_graph("a"), c).tolist() == [[0.0, 1.0, 0.5]]
    for declines in (False, True):
        monkeypatch.setattr(ee, "_evaluate_simple_rank_fast", lambda g, c: None if declines else np.full((1, 3), 3.0))
        c.registers = None
        out = ee._evaluate_rank_multiply_fast(product_graph(), c)
        assert (out is None and c.registers is None) if declines else (
            out.tolist() == c.registers.tolist() == [[9.0] * 3])
