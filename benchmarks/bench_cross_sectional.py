"""Cross-sectional fast paths against the NumPy steps they reproduce, on every ISA path.

Each path (TESSALINE_KERNELS=avx512|avx2|portable; on a CPU without a path its column times
the fallback) lives in its own worker process, since the path is read at import.
For each shape and data set the NumPy steps and the workers are timed in turn, round after
round, and the best time of each is kept. Data sets: "clean" (standard normal, 5% NaN) and
"realistic" (listings and delistings as NaN blocks, 2% scattered NaN, a universe that
drops columns for stretches of time and 3% of single cells). Ratios are NumPy time / native
time; "cpu" is the same ratio of CPU time (all threads summed), which a machine shared
with other work disturbs less. "scratch KiB" is the native call's peak resident memory above what it leaves behind
(its output, kept), read from VmHWM after resetting it: C++ allocations included.

    python benchmarks/bench_cross_sectional.py [--shapes 100000x100,2520x3000] [--rounds 5]
"""

from __future__ import annotations

import argparse
import ctypes
import hashlib
import os
import pathlib
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

from twins import rank_matrix, rank_multiply  # noqa: E402

PATHS = ("avx512", "avx2", "portable")
OPS = ("rank", "rank-multiply")
RANK = "virtualization_runtime_transform_acbc9b"


def make_data(shape, kind):
    """Two feature matrices and the universe (None for clean data), the same in every process."""
    T, N = shape
    rng = np.random.default_rng(T * 7 + N)
    a, b = rng.standard_normal((T, N)), rng.standard_normal((T, N))
    if kind == "clean":
        a[rng.random((T, N)) < 0.05] = np.nan
        b[rng.random((T, N)) < 0.05] = np.nan
        return a, b, None
    rows = np.arange(T)[:, None]
    listed = np.where(rng.random(N) < 0.3, rng.integers(0, T, N), 0)
    delisted = np.where(rng.random(N) < 0.3, rng.integers(0, T, N), T)
    outside = (rows < listed) | (rows >= delisted)
    for m in (a, b):
        m[outside | (rng.random((T, N)) < 0.02)] = np.nan
    start, length = rng.integers(0, T, N), rng.integers(0, max(T // 4, 1), N)
    dropped = (rows >= start) & (rows < start + length) & (rng.random(N) < 0.2)
    universe = np.where(dropped | (rng.random((T, N)) < 0.03), 0.0, 1.0)
    return a, b, universe


def numpy_steps(op, a, b, universe):
    return rank_matrix(a, universe) if op == "rank" else rank_multiply(a, b, universe)


def vm_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def worker():
    """Reads 'op TxN kind [mem]' lines, answers the wall and CPU seconds of one call (or,
    with mem, the peak scratch in bytes twice) and the result's digest."""
    from tessaline.functions._typed_shapes import FunctionGraphNode as Node
    from tessaline.simulator_engine import expression_evaluator as ee

    def rank(f):
        return Node("rotation", RANK, [Node("feature", f)])

    graphs = {"rank": rank("a"),
              "rank-multiply": Node("rotation", "numerical_combine_d65e04", [rank("a"), rank("b")])}
    calls = {"rank": ee._evaluate_simple_rank_fast, "rank-multiply": ee._evaluate_rank_multiply_fast}
    contexts = {}
    libc = ctypes.CDLL(None)
    for line in sys.stdin:
        op, shape_text, kind, *mem = line.split()
        key = (shape_text, kind)
        if key not in contexts:
            contexts.clear()
            a, b, universe = make_data(tuple(int(v) for v in shape_text.split("x")), kind)
            contexts[key] = ee.EvaluationContext((a, b), {"a": 0, "b": 1}, universe=universe,
                                                 validate_inputs=False)
        fn, graph, ctx = calls[op], graphs[op], contexts[key]
        out = None  # the last answer's result, freed before this call runs
        if mem:
            # Blocks of 4 KiB and more go straight back to the system when freed, so that
            # the resident peak sees scratch the allocator would otherwise keep for reuse.
            libc.mallopt(-3, 4096)  # M_MMAP_THRESHOLD
            libc.mallopt(-1, 4096)  # M_TRIM_THRESHOLD
            kept = fn(graph, ctx)  # a live result: the next one cannot reuse its buffer
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")  # VmHWM := VmRSS
            before = vm_kib("VmRSS")
            out = fn(graph, ctx)
            value = cpu = (vm_kib("VmHWM") - max(vm_kib("VmRSS"), before)) * 1024
            del kept
        else:
            c0, t0 = time.process_time(), time.perf_counter()
            out = fn(graph, ctx)
            value, cpu = time.perf_counter() - t0, time.process_time() - c0
        print(value, cpu, hashlib.sha1(out.tobytes()).hexdigest(), flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--shapes", default="100000x100,2520x3000")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    model = next((line.split(":", 1)[1].strip() for line in subprocess.run(
        ["lscpu"], capture_output=True, text=True).stdout.splitlines()
        if line.startswith("Model name")), "unknown")
    workers = {}
    for path in PATHS:
        env = dict(os.environ, TESSALINE_KERNELS=path)
        workers[path] = subprocess.Popen([sys.executable, __file__, "--worker"], env=env,
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    print(f"CPU: {model}; {os.cpu_count()} CPUs, load average %.1f %.1f %.1f"
          % os.getloadavg())
    print("best of %d interleaved rounds; ratio = NumPy steps / native" % args.rounds)
    head = f"{'shape':>11} {'data':>9} {'op':>13} {'numpy ms':>9}"
    for path in PATHS:
        head += f" {path + ' ms':>12} {'ratio':>6} {'cpu':>5} {'scratch KiB':>11}"
    print(head)

    def ask(path, text):
        w = workers[path]
        w.stdin.write(text + "\n")
        w.stdin.flush()
        value, cpu, digest = w.stdout.readline().split()
        return float(value), float(cpu), digest

    for shape_text in args.shapes.split(","):
        shape = tuple(int(v) for v in shape_text.split("x"))
        for kind in ("clean", "realistic"):
            a, b, universe = make_data(shape, kind)
            for op in OPS:
                want = hashlib.sha1(numpy_steps(op, a, b, universe).tobytes()).hexdigest()
                best = dict.fromkeys(("numpy",) + PATHS, float("inf"))
                cpu = dict(best)
                for _ in range(args.rounds):
                    c0, t0 = time.process_time(), time.perf_counter()
                    numpy_steps(op, a, b, universe)
                    best["numpy"] = min(best["numpy"], time.perf_counter() - t0)
                    cpu["numpy"] = min(cpu["numpy"], time.process_time() - c0)
                    for path in PATHS:
                        seconds, used, digest = ask(path, f"{op} {shape_text} {kind}")
                        assert digest == want, (path, op, shape_text, kind)
                        best[path] = min(best[path], seconds)
                        cpu[path] = min(cpu[path], used)
                line = f"{shape_text:>11} {kind:>9} {op:>13} {best['numpy'] * 1e3:9.1f}"
                for path in PATHS:
                    scratch, _, _ = ask(path, f"{op} {shape_text} {kind} mem")
                    line += (f" {best[path] * 1e3:12.2f} {best['numpy'] / best[path]:6.1f}"
                             f" {cpu['numpy'] / cpu[path]:5.1f} {max(scratch, 0) / 1024:11.0f}")
                print(line, flush=True)
    for w in workers.values():
        w.stdin.close()
        w.wait()


if __name__ == "__main__":
    if sys.argv[1:] == ["--worker"]:
        worker()
    else:
        main()
