"""Rank kernels against the NumPy twin, bit for bit: the one-row kernels compiled on their own
in both builds (AVX-512 sorting where the CPU has it, and the portable one), the whole-matrix
rank and rank-multiply paths of the module, and the general path running the built-ins."""

import os
import pathlib
import shutil
import subprocess

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from fakes import COMBINE, RANK
from tessaline.functions import builtins as B
from tessaline.functions._typed_shapes import FunctionGraphNode as Node
from tessaline.functions.registry import default_registry
from twins import assert_bits, rank_matrix, rank_multiply, rank_row_average_ties

INCLUDE = pathlib.Path(__file__).resolve().parents[1] / "src"
PROGRAM = r"""
#include "kernels/rank.hpp"
#include <cstdio>
#include <vector>
// stdin: rows as (mode, n, n doubles); stdout: per row a status byte and n doubles. Modes:
// 0 average ties, 1 distinct, 2 ranks from positions, 3 distinct under a universe (the row
// holds the n / 2 cells, then their n / 2 universe values; out: the ranks, then zeros).
int main() {
    ee::kernels::RankScratch s;
    unsigned long long hdr[2];
    while (std::fread(hdr, sizeof hdr, 1, stdin) == 1) {
        std::vector<double> row(hdr[1]), out(hdr[1]);
        if (hdr[1] && std::fread(row.data(), 8, hdr[1], stdin) != hdr[1]) return 2;
        unsigned char ok = 1;
        if (hdr[0] == 0) {
            ee::kernels::rank_row_average(row.data(), out.data(), hdr[1], s);
        } else if (hdr[0] == 1) {
            ok = ee::kernels::rank_row_distinct(row.data(), nullptr, out.data(), hdr[1], s);
        } else if (hdr[0] == 3) {
            const std::size_t n = hdr[1] / 2;
            ok = ee::kernels::rank_row_distinct(row.data(), row.data() + n, out.data(), n, s);
        } else if (hdr[1]) {  // row: the valid count, then positions; out: ranks after it
            std::vector<std::uint32_t> pos(hdr[1] - 1);
            for (std::size_t i = 1; i < hdr[1]; ++i) pos[i - 1] = (std::uint32_t) row[i];
            out[0] = row[0];
            ee::kernels::detail::emit_ranks(pos.data(), pos.size(), (std::size_t) row[0], out.data() + 1);
        }
        std::fwrite(&ok, 1, 1, stdout);
        std::fwrite(out.data(), 8, hdr[1], stdout);
    }
    return 0;
}
"""


@pytest.fixture(scope="module", params=["vector", "portable"])
def kernel(request, tmp_path_factory):
    cxx = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if not cxx:
        pytest.skip("no C++ compiler")
    tmp = tmp_path_factory.mktemp("rank_kernel")
    (tmp / "driver.cpp").write_text(PROGRAM)
    flags = ["-DEE_KERNELS_PORTABLE"] if request.param == "portable" else []
    subprocess.run([cxx, "-O2", "-std=c++17", *flags, f"-I{INCLUDE}", str(tmp / "driver.cpp"),
                    "-o", str(tmp / "driver"), "-pthread"], check=True)

    def run(rows, mode):
        payload = b"".join(np.array([mode, len(r)], dtype=np.uint64).tobytes()
                           + np.asarray(r, dtype=np.float64).tobytes() for r in rows)
        out = subprocess.run([str(tmp / "driver")], input=payload, capture_output=True, check=True).stdout
        results, pos = [], 0
        for r in rows:
            results.append((out[pos] == 1, np.frombuffer(out[pos + 1: pos + 1 + 8 * len(r)], np.float64)))
            pos += 1 + 8 * len(r)
        return results

    return run


def sample_rows():
    rng = np.random.default_rng(11)
    rows = [[], [np.nan], [2.0], [np.nan, 3.0], [1.0, 1.0], [0.0, -0.0, 1.0],
            [np.inf, np.inf, -np.inf, 1.0, np.nan], [2.0, 1.0, 2.0, 1.0, 2.0], [3.0, np.nan, 1.0, 2.0]]
    for n in (5, 40, 160, 161, 400, 2500):
        for kind in range(4):
            row = rng.standard_normal(n)
            if kind >= 1:
                row[rng.random(n) < 0.2] = np.nan
            if kind >= 2:
                row[rng.random(n) < 0.05] = np.inf
                row[rng.random(n) < 0.05] = -np.inf
            rows.append(np.round(row * 3) / 3 if kind == 3 else row)  # many ties
        rows.append((np.float64(1.5).view(np.int64) + rng.permutation(n)).view(np.float64))
    return rows


def sorting_edge_rows():
    """Lengths around the vector sort's blocks and the radix thresholds, values sharing their
    high key bits, rows of one sign, single ties, many rank denominators, and long rows whose
    range overflows or is held by one outlier (bucketed by a linear map of the range)."""
    rng = np.random.default_rng(5)
    rows = []
    for n in (15, 16, 17, 31, 32, 33, 63, 64, 65, 191, 192, 193, 1023, 1024, 1025):
        pairs, tied = rng.standard_normal(n), rng.standard_normal(n)
        idx = rng.permutation(n)[: n // 3 * 2].reshape(-1, 2)
        pairs[idx[:, 1]] = np.nextafter(pairs[idx[:, 0]], np.inf)  # shared prefixes, no tie
        tied[rng.integers(n)] = tied[rng.integers(n)]
        low_bits = (np.float64(-3.25).view(np.int64) + rng.permutation(n)).view(np.float64)
        mixed = rng.standard_normal(n)
        mixed[: n // 2] = low_bits[: n // 2]
        rows += [rng.standard_normal(n), pairs, tied, low_bits, mixed, -np.abs(rng.standard_normal(n)),
                 np.abs(rng.standard_normal(n))]
        rows += [1.0 + scale * rng.standard_normal(n) for scale in (1e-3, 1e-6, 1e-9)]
    for n in range(2, 400, 7):
        row = rng.permutation(n).astype(np.float64)
        row[rng.random(n) < 0.1] = np.nan
        rows.append(row)
    for n in (399, 400, 401, 3000):
        base = rng.standard_normal(n)
        huge, outlier, sparse = base.copy(), base.copy(), np.full(n, np.nan)
        huge[:2] = (-1.7e308, 1.7e308)
        outlier[7] = 1e300
        sparse[n // 2] = 1.0
        rows += [huge, outlier, base * 1e-310, sparse, np.full(n, np.nan), np.full(n, 2.5),
                 np.where(rng.random(n) < 0.5, 0.0, -0.0) * (rng.random(n) < 0.01),
                 np.round(base * 50) / 50, base + 1e-7 * rng.standard_normal(n)]
    return rows


def test_row_kernels_match_numpy(kernel):
    rows = sample_rows()
    for row, (_, got) in zip(rows, kernel(rows, 0)):
        assert got.tobytes() == rank_row_average_ties(row).tobytes(), row
    rows = sample_rows() + sorting_edge_rows()
    for row, (ok, got) in zip(rows, kernel(rows, 1)):
        want = rank_matrix(np.asarray(row, dtype=np.float64).reshape(1, -1))
        assert ok == (want is not None), row
        assert not ok or got.tobytes() == want[0].tobytes(), row
    # Universe cells of 0.0, -0.0 and NaN mask the data cell; inf, negative, fractional do not.
    rng = np.random.default_rng(3)
    cases = [(np.asarray(r, dtype=np.float64), rng.choice([1.0, 0.0, -0.0, np.nan, np.inf, -1.0, 0.5],
                                                          size=len(r), p=[.55, .1, .1, .1, .05, .05, .05]))
             for r in sample_rows() + sorting_edge_rows()[::3]]
    for (row, u), (ok, got) in zip(cases, kernel([np.concatenate(c) for c in cases], 3)):
        want = rank_matrix(row.reshape(1, -1), u.reshape(1, -1))
        assert ok == (want is not None) and (not ok or got[: row.size].tobytes() == want[0].tobytes())


def test_ranks_from_positions_round_like_the_division(kernel):
    # A reciprocal and an FMA correction step must equal position / (valid - 1) as the
    # division rounds it, over the whole 32-bit range of positions and counts.
    rng = np.random.default_rng(9)
    rows = []
    for _ in range(200):
        valid = int(rng.integers(2, 2**32))
        pos = rng.integers(0, int(rng.choice([valid, 2**32 - 1])), size=64, dtype=np.uint64)
        rows.append(np.concatenate(([valid], pos)).astype(np.float64))
    for d in (1, 2, 3, 7, 10, 999, 2**16 - 1, 2**31 - 1, 2**32 - 2):
        rows.append(np.concatenate(([d + 1], np.arange(min(d + 1, 4000)))).astype(np.float64))
    for row, (_, got) in zip(rows, kernel(rows, 2)):
        assert got[1:].tobytes() == (row[1:] / (row[0] - 1)).tobytes(), row[0]


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
