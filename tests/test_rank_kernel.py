"""The header-only rank kernel on its own (compiled into a small driver program): the
one-row ranking with average ties, and the one-row distinct ranking that the whole-matrix
driver uses, against NumPy twins."""

import os
import pathlib
import shutil
import subprocess

import numpy as np
import pytest

from rank_reference import rank_matrix, rank_row_average_ties

ROOT = pathlib.Path(__file__).resolve().parents[1]
INCLUDE = ROOT / "src"

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
            ee::kernels::detail::emit_ranks(pos.data(), pos.size(), (std::size_t) row[0],
                                            out.data() + 1);
        }
        std::fwrite(&ok, 1, 1, stdout);
        std::fwrite(out.data(), 8, hdr[1], stdout);
    }
    return 0;
}
"""


# "vector": the build the extension gets (AVX-512 sorting where the CPU has it); "portable":
# the kernels without vector code (counting and radix sorting only).
@pytest.fixture(scope="module", params=["vector", "portable"])
def kernel(request, tmp_path_factory):
    cxx = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if not cxx:
        pytest.skip("no C++ compiler")
    tmp = tmp_path_factory.mktemp("rank_kernel")
    (tmp / "driver.cpp").write_text(PROGRAM)
    exe = tmp / "driver"
    flags = ["-DEE_KERNELS_PORTABLE"] if request.param == "portable" else []
    subprocess.run([cxx, "-O2", "-std=c++17", *flags, f"-I{INCLUDE}", str(tmp / "driver.cpp"),
                    "-o", str(exe), "-pthread"], check=True)

    def run(rows, mode):
        payload = b"".join(np.array([mode, len(r)], dtype=np.uint64).tobytes()
                           + np.asarray(r, dtype=np.float64).tobytes() for r in rows)
        out = subprocess.run([str(exe)], input=payload, capture_output=True, check=True).stdout
        results, pos = [], 0
        for r in rows:
            ok = out[pos] == 1
            vals = np.frombuffer(out[pos + 1: pos + 1 + 8 * len(r)], dtype=np.float64)
            results.append((ok, vals))
            pos += 1 + 8 * len(r)
        return results

    return run


def sample_rows():
    rng = np.random.default_rng(11)
    rows = [[], [np.nan], [2.0], [np.nan, 3.0], [1.0, 1.0], [0.0, -0.0, 1.0],
            [np.inf, np.inf, -np.inf, 1.0, np.nan], [2.0, 1.0, 2.0, 1.0, 2.0],
            [3.0, np.nan, 1.0, 2.0]]
    for n in (5, 40, 160, 161, 400, 2500):
        for kind in range(4):
            row = rng.standard_normal(n)
            if kind >= 1:
                row[rng.random(n) < 0.2] = np.nan
            if kind >= 2:
                row[rng.random(n) < 0.05] = np.inf
                row[rng.random(n) < 0.05] = -np.inf
            if kind == 3:
                row = np.round(row * 3) / 3  # many ties
            rows.append(row)
        near = (np.float64(1.5).view(np.int64) + rng.permutation(n)).view(np.float64)
        rows.append(near)
    return rows


def sorting_edge_rows():
    """Rows aimed at the sorting steps: lengths around the block sizes of the vector sort
    (16, 32) and the radix thresholds, values that share their high key bits (neighbouring
    doubles, values apart only in their low 32 bits, values close together), rows of one
    sign (the vector sort
    splits by sign first), ties placed in small blocks, and valid counts that cover many
    rank denominators."""
    rng = np.random.default_rng(5)
    rows = []
    for n in (15, 16, 17, 31, 32, 33, 63, 64, 65, 191, 192, 193, 1023, 1024, 1025):
        rows.append(rng.standard_normal(n))
        pairs = rng.standard_normal(n)
        idx = rng.permutation(n)[: n // 3 * 2].reshape(-1, 2)
        pairs[idx[:, 1]] = np.nextafter(pairs[idx[:, 0]], np.inf)  # shared prefixes, no tie
        rows.append(pairs)
        tied = rng.standard_normal(n)
        tied[rng.integers(n)] = tied[rng.integers(n)]  # at most one tie
        rows.append(tied)
        low_bits = (np.float64(-3.25).view(np.int64) + rng.permutation(n)).view(np.float64)
        rows.append(low_bits)  # one shared prefix for the whole row
        mixed = rng.standard_normal(n)
        mixed[: n // 2] = low_bits[: n // 2]
        rows.append(mixed)
        rows.append(-np.abs(rng.standard_normal(n)))  # one sign only
        rows.append(np.abs(rng.standard_normal(n)))
        for scale in (1e-3, 1e-6, 1e-9):  # close values: many equal high key bits
            rows.append(1.0 + scale * rng.standard_normal(n))
    for n in range(2, 400, 7):
        row = rng.permutation(n).astype(np.float64)
        row[rng.random(n) < 0.1] = np.nan
        rows.append(row)
    # Long rows are dealt into buckets by a linear map of their range first.
    for n in (399, 400, 401, 3000):
        base = rng.standard_normal(n)
        huge = base.copy()
        huge[:2] = (-1.7e308, 1.7e308)  # the range overflows
        outlier = base.copy()
        outlier[7] = 1e300  # every other value in one bucket
        sparse = np.full(n, np.nan)
        sparse[n // 2] = 1.0
        rows += [huge, outlier, base * 1e-310, sparse, np.full(n, np.nan), np.full(n, 2.5),
                 np.where(rng.random(n) < 0.5, 0.0, -0.0) * (rng.random(n) < 0.01),
                 np.round(base * 50) / 50,  # ties inside small and large buckets
                 base + 1e-7 * rng.standard_normal(n)]
    return rows


def test_average_ties_matches_numpy(kernel):
    rows = sample_rows()
    for row, (_, got) in zip(rows, kernel(rows, 0)):
        want = rank_row_average_ties(row)
        assert got.view(np.uint64).tobytes() == want.view(np.uint64).tobytes(), row


@pytest.mark.parametrize("make_rows", [sample_rows, sorting_edge_rows])
def test_distinct_row_matches_the_matrix_steps(kernel, make_rows):
    rows = make_rows()
    for row, (ok, got) in zip(rows, kernel(rows, 1)):
        want = rank_matrix(np.asarray(row, dtype=np.float64).reshape(1, -1))
        assert ok == (want is not None), row
        if ok:
            assert got.view(np.uint64).tobytes() == want[0].view(np.uint64).tobytes(), row


def test_distinct_row_under_a_universe_matches_the_matrix_steps(kernel):
    """Universe cells of 0.0, -0.0 and NaN mask the data cell; every other value (inf,
    negative, fractional) leaves it valid, on every sorting path of both builds."""
    rng = np.random.default_rng(3)
    universe_values = np.array([1.0, 0.0, -0.0, np.nan, np.inf, -1.0, 0.5])
    rows, cases = [], []
    for row in sample_rows() + sorting_edge_rows()[::3]:
        row = np.asarray(row, dtype=np.float64)
        universe = rng.choice(universe_values, size=row.size, p=[.55, .1, .1, .1, .05, .05, .05])
        rows.append(np.concatenate((row, universe)))
        cases.append((row, universe))
    for (row, universe), (ok, got) in zip(cases, kernel(rows, 3)):
        want = rank_matrix(row.reshape(1, -1), universe.reshape(1, -1))
        assert ok == (want is not None), (row, universe)
        if ok:
            assert got[: row.size].tobytes() == want[0].tobytes(), (row, universe)


def test_ranks_from_positions_round_like_the_division(kernel):
    """Ranks are written from positions with a reciprocal and an FMA correction step; they
    must equal position / (valid - 1) as the division rounds it, over the whole 32-bit range
    of positions and counts."""
    rng = np.random.default_rng(9)
    rows = []
    for _ in range(200):
        valid = int(rng.integers(2, 2**32))
        top = int(rng.choice([valid, 2**32 - 1]))  # infinities may sit past valid - 1
        pos = rng.integers(0, top, size=64, dtype=np.uint64)
        rows.append(np.concatenate(([valid], pos)).astype(np.float64))
    for d in (1, 2, 3, 7, 10, 999, 2**16 - 1, 2**31 - 1, 2**32 - 2):
        rows.append(np.concatenate(([d + 1], np.arange(min(d + 1, 4000)))).astype(np.float64))
    for row, (_, got) in zip(rows, kernel(rows, 2)):
        want = row[1:] / (row[0] - 1)
        assert got[1:].view(np.uint64).tobytes() == want.view(np.uint64).tobytes(), row[0]
