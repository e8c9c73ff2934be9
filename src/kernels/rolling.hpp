// Rolling-window statistics over the time axis (mean, population standard deviation,
// z-score) under the strict NaN policy: a window yields a value only when none of its w
// cells is NaN. Plain C++, no Python.
//
// Two drivers share the accumulator (`fold` and `cell`):
//   - `run_matrix`, the whole-matrix driver: besides the current totals it folds a trailing
//     set of totals from the row that leaves the window (row t - w of the same matrix);
//     repeating the same additions in the same order reproduces the running total before
//     the window bit for bit, so the scratch is O(columns) and no ring is needed. Runs of
//     rows without NaN or infinite cells add the cells as they are, without the tests of
//     `fold`.
//   - `stream_step`, the one-row-per-call driver for stateful functions: the same trailing
//     totals, folded from a ring that keeps the last w input rows. All of its state lives
//     in caller-owned arrays (current and trailing totals, the ring), so it can be saved
//     and restored at any row. `stream_step_split` is the same driver with each total held
//     as two doubles, for cells of moderate magnitude, where the 80-bit stores would cost
//     more than the arithmetic.
//
// The arithmetic of both is described in rolling_accumulator.hpp.
#pragma once

#include "rolling_accumulator.hpp"
#include "rolling_matrix.hpp"
#include "rolling_stream.hpp"
#include "rolling_x87.hpp"
