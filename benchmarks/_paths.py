"""Native fast paths against the NumPy steps they reproduce, on every kernel path the CPU runs.

The path (TESSALINE_KERNELS) is read when the extension loads, so each one is timed in a
worker process of its own. For each shape, data set and operation the NumPy steps (in this
process) and the workers are timed in turn, round after round, and the best time of each is
kept; every result is checked bit for bit against the NumPy one. Ratios are NumPy time /
native time; "cpu" is the same ratio of CPU time (all threads summed), which a machine
shared with other work disturbs less.

Peak memory is measured in other worker processes (their allocator is set up for it, which
would slow the timed calls): the peak resident size during one call, read from VmHWM after
resetting it, above the resident size before the call (inputs included) and above the
result's own bytes. Freed blocks of 4 KiB and more go back to the system at once, and the
extension's pool of freed result buffers is filled with blocks of another size first, so
that every buffer the call takes, scratch or result, is fresh memory. C++ allocations are
included; a scratch that grows with the number of rows shows as some multiple of the
matrix's size.
"""

from __future__ import annotations

import ctypes
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

from _data import KINDS, cpu_model, cpu_paths, make_data


def _vm_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def _fill_pool(shape, keep):
    """Leaves the extension's buffer pool holding two blocks that no result of `shape` fits."""
    from tessaline.simulator_engine import expression_evaluator as ee

    if "odd" not in keep:
        keep["odd"] = np.ones((shape[0] + 1, shape[1]))
    odd = keep["odd"]
    blocks = [ee._apply_universe_mask(odd, odd) for _ in range(2)]
    del blocks


def _peak_bytes(fn, inputs, shape, keep):
    """Peak resident bytes of one call of `fn` beyond the resident inputs and its result."""
    fn()  # code pages, thread stacks and lazily built tables are touched once
    _fill_pool(shape, keep)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # VmHWM := VmRSS
    before = _vm_kib("VmRSS")
    out = fn()
    peak = _vm_kib("VmHWM")
    fresh = out is not None and not any(np.may_share_memory(out, x) for x in inputs)
    return (peak - before) * 1024 - (out.nbytes if fresh else 0)


def _files(folder, shape, kind):
    return [pathlib.Path(folder) / f"{shape[0]}x{shape[1]}-{kind}-{m}.npy" for m in "abu"]


def _load(folder, shape, kind):
    """The data set that the parent process saved (generating it takes longer)."""
    return tuple(np.load(f) if f.exists() else None for f in _files(folder, shape, kind))


def _save(folder, shape, kind, data):
    shutil.rmtree(folder, ignore_errors=True)  # the workers hold the last set already
    os.makedirs(folder)
    for f, m in zip(_files(folder, shape, kind), data):
        if m is not None:
            np.save(f, m)


def serve(prepare, numpy_steps):
    """Worker loop. `prepare(op, a, b, universe, store)` returns a function of no arguments
    that runs the native fast path; `store` is a dict kept while the data set is, which is
    read from the folder named last on the command line.
    Lines 'time OP TxN KIND' are answered with the wall and CPU seconds of one call and the
    result's digest; 'mem OP TxN KIND' and 'mem-numpy OP TxN KIND' with peak bytes."""
    if "--memory" in sys.argv:
        libc = ctypes.CDLL(None)
        libc.mallopt(-3, 4096)  # M_MMAP_THRESHOLD: blocks of 4 KiB and more are mapped
        libc.mallopt(-1, 4096)  # M_TRIM_THRESHOLD
    key, data, store = None, None, {}
    for line in sys.stdin:
        what, op, shape_text, kind = line.split()
        shape = tuple(int(v) for v in shape_text.split("x"))
        if (shape, kind) != key:
            data = store = None  # freed before the next set is made
            key, data, store = (shape, kind), _load(sys.argv[-1], shape, kind), {}
        inputs = [m for m in data if m is not None]
        if what == "mem":
            print(_peak_bytes(prepare(op, *data, store), inputs, shape, store), flush=True)
        elif what == "mem-numpy":
            print(_peak_bytes(lambda: numpy_steps(op, *data), inputs, shape, store), flush=True)
        else:
            fn = prepare(op, *data, store)
            c0, t0 = time.process_time(), time.perf_counter()
            out = fn()
            wall, cpu = time.perf_counter() - t0, time.process_time() - c0
            print(wall, cpu, _digest(out), flush=True)
            del out


def _digest(out):
    return "none" if out is None else hashlib.sha1(np.ascontiguousarray(out).tobytes()).hexdigest()


class _Worker:
    def __init__(self, script, path, memory, folder):
        env = dict(os.environ, TESSALINE_KERNELS=path)
        args = [sys.executable, script, "--worker"]
        if memory:
            env["NUMPY_MADVISE_HUGEPAGE"] = "0"  # pages counted one by one, not 2 MiB at a time
            args.append("--memory")
        args.append(folder)
        self.proc = subprocess.Popen(args, env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)

    def ask(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline().split()
        if not answer:
            raise RuntimeError(f"worker died on {text!r}")
        return answer

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def compare(script, ops, numpy_steps, shapes, rounds, title):
    """Prints one row per shape, data set and operation: NumPy's best time and its peak
    scratch, then for each kernel path its best time, the two ratios and its peak scratch."""
    paths = cpu_paths()
    folder = os.path.join(tempfile.mkdtemp(prefix="tessaline-bench-"), "data")
    timers = {p: _Worker(script, p, False, folder) for p in paths}
    meters = {p: _Worker(script, p, True, folder) for p in paths}
    print(f"{title}; CPU: {cpu_model()}; {os.cpu_count()} CPUs, load average "
          "%.1f %.1f %.1f" % os.getloadavg())
    print(f"best of {rounds} interleaved rounds; ratio = NumPy steps / native (wall), cpu = "
          "the same for CPU time; KiB: peak memory beyond the inputs and the result")
    head = f"{'shape':>11} {'data':>9} {'op':>13} {'numpy ms':>9} {'KiB':>7}"
    for path in paths:
        head += f" | {path + ' ms':>12} {'ratio':>6} {'cpu':>5} {'KiB':>7}"
    print(head, flush=True)
    try:
        for shape in shapes:
            shape_text = "x".join(map(str, shape))
            for kind in KINDS:
                a, b, universe = make_data(shape, kind)
                _save(folder, shape, kind, (a, b, universe))
                for op in ops:
                    ask = f"{op} {shape_text} {kind}"
                    best = dict.fromkeys(("numpy",) + tuple(paths), float("inf"))
                    cpu = dict(best)
                    want = None
                    for _ in range(rounds):
                        c0, t0 = time.process_time(), time.perf_counter()
                        out = numpy_steps(op, a, b, universe)
                        best["numpy"] = min(best["numpy"], time.perf_counter() - t0)
                        cpu["numpy"] = min(cpu["numpy"], time.process_time() - c0)
                        want = want or _digest(out)
                        del out
                        for path in paths:
                            wall, used, digest = timers[path].ask("time " + ask)
                            if digest != want:
                                raise AssertionError(f"{path} {ask}: not NumPy's bits")
                            best[path] = min(best[path], float(wall))
                            cpu[path] = min(cpu[path], float(used))
                    kib = int(meters[paths[0]].ask("mem-numpy " + ask)[0]) / 1024
                    line = f"{shape_text:>11} {kind:>9} {op:>13} {best['numpy'] * 1e3:9.1f} {kib:7.0f}"
                    for path in paths:
                        kib = max(int(meters[path].ask("mem " + ask)[0]), 0) / 1024
                        line += (f" | {best[path] * 1e3:12.2f} {best['numpy'] / best[path]:6.1f}"
                                 f" {cpu['numpy'] / max(cpu[path], 1e-9):5.1f} {kib:7.0f}")
                    print(line, flush=True)
    finally:
        for w in list(timers.values()) + list(meters.values()):
            w.close()
        shutil.rmtree(os.path.dirname(folder), ignore_errors=True)
