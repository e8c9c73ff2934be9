"""Data sets shared by the benchmarks, the same in every process for a given shape.

clean: standard normal cells with 0.1% scattered NaN cells and no universe.
realistic: each instrument has a listing and a delisting date (about 30% listed after the
first row, 30% delisted before the last), its cells NaN and outside the universe before
and after; 2% of the other cells NaN; about 5% of the listed cells outside the universe
(a fifth of the instruments leave it for one stretch of time, the rest are single cells).
"""

from __future__ import annotations

import subprocess

import numpy as np

KINDS = ("clean", "realistic")


def make_data(shape, kind):
    """Two feature matrices and the universe (None for clean data)."""
    T, N = shape
    rng = np.random.default_rng(T * 7 + N)
    a, b = rng.standard_normal((T, N)), rng.standard_normal((T, N))
    if kind == "clean":
        for m in (a, b):
            m[rng.random((T, N)) < 0.001] = np.nan
        return a, b, None
    rows = np.arange(T)[:, None]
    listed = np.where(rng.random(N) < 0.3, rng.integers(0, T, N), 0)
    delisted = np.where(rng.random(N) < 0.3, rng.integers(0, T, N), T)
    delisted = np.maximum(delisted, listed + 1)
    outside = (rows < listed) | (rows >= delisted)
    for m in (a, b):
        m[outside | (rng.random((T, N)) < 0.02)] = np.nan
    start, length = rng.integers(0, T, N), rng.integers(0, max(T // 4, 1), N)
    dropped = (rows >= start) & (rows < start + length) & (rng.random(N) < 0.2)
    universe = np.where(outside | dropped | (rng.random((T, N)) < 0.03), 0.0, 1.0)
    return a, b, universe


def describe(shape):
    """One line on what the realistic set of `shape` holds."""
    a, _, universe = make_data(shape, "realistic")
    listed = ~((universe == 0.0) & np.isnan(a))  # unlisted cells are both
    T, N = shape
    return (f"realistic {T}x{N}: {1 - listed.mean():.0%} of cells unlisted; of the listed, "
            f"{np.isnan(a[listed]).mean():.1%} NaN and {(universe[listed] == 0).mean():.1%} "
            f"outside the universe")


def cpu_model():
    """The CPU's model name as lscpu prints it."""
    out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
    return next((line.split(":", 1)[1].strip() for line in out.splitlines()
                 if line.startswith("Model name")), "unknown")


def cpu_paths():
    """The kernel paths (TESSALINE_KERNELS values) that this CPU runs, widest first."""
    try:
        with open("/proc/cpuinfo") as f:
            flags = next((set(line.split(":", 1)[1].split()) for line in f
                          if line.startswith("flags")), set())
    except OSError:
        flags = set()
    paths = []
    if {"avx512f", "avx512vl", "avx512bw", "popcnt", "avx2"} <= flags:
        paths.append("avx512")
    if "avx2" in flags:
        paths.append("avx2")
    return paths + ["portable"]
