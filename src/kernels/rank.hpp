// Cross-sectional ranks of float64 rows. Plain C++, no Python.
//
// One row kernel, two drivers:
//   - rank_matrix_distinct and rank_matrix_positions / rank_matrix_distinct_product: the
//     whole-matrix fast paths. A row's valid cells are ranked k / (n - 1) by their position
//     k in the stable ascending order of the row in which masked cells read as +inf; any
//     finite tie in any row declines the whole matrix (returns false).
//   - rank_row_average: one row, equal values sharing the mean of their positions, for the
//     row-by-row rank function.
//
// Order keys and items: rank_keys.hpp. Rows are sorted by the AVX-512 path
// (rank_avx512.hpp) where the CPU has it, rows of more than 32 cells by the AVX2 path
// (rank_avx2.hpp) where it has that, and by the portable path (rank_portable.hpp) otherwise, or when the vector
// sort gives up (many equal key bits, values far from evenly spread).
//
// The distinct ranking works in two steps: a row's positions (one per cell, kNoRank where
// the cell is masked) and its count of valid cells, then the ranks written from them. The
// rank-multiply path keeps the first operand's positions (16 bits a cell for rows shorter
// than 2^16 - 1) in the tails of the product's own rows, and forms each product row from two
// position rows, each row's count of valid cells in its first bytes: no scratch beyond
// the result.
#pragma once

#include "rank_matrix.hpp"
#include "rank_row.hpp"
