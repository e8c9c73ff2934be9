"""Batch evaluation: many function graphs against one shared evaluation context.

Quants evaluate thousands of candidate graphs against the same market data. The unit of work
here is "a batch of graphs against one context": on this machine the batches run on a pool of
threads (the evaluator's kernels release the GIL), and on a Dask cluster the context is
scattered to every worker once and the batches run as Dask tasks, so that only graphs travel
out and only weights (or a small summary of them) travel back.

Every graph is evaluated against the context as the caller handed it in: the scratch
attributes that an evaluation writes onto its context (the emptied transform pipeline, the
stage-data features, the register file, the extraction buffer, the day index) are never seen
by the next graph, so the results do not depend on how graphs are split into batches or
spread over threads and machines.
"""

from __future__ import annotations

import concurrent.futures
import copy
import math
import os
import pickle
import sys
import threading
import traceback
from typing import Any, Callable, List, Optional, Sequence

__all__ = ["evaluate_many", "progress_bar"]

# Tasks shipped to a cluster carry between these many graphs: enough to make the cost of a
# task (scheduling, one round trip, one context clone) small against the evaluations, few
# enough that the work still spreads over every worker thread and a lost task costs little.
_MIN_REMOTE_BATCH = 16
_MAX_REMOTE_BATCH = 256
# Local batches are only a way to keep the per-future overhead off tiny graphs.
_MAX_LOCAL_BATCH = 64
# Aim at this many tasks per worker thread, so that threads that finish early take more work.
_TASKS_PER_THREAD = 4


def _evaluator():
    # Looked up when an evaluation runs: the extension module is imported on a worker only
    # when a batch arrives there, and tests may swap its ``evaluate``.
    from tessaline.simulator_engine import expression_evaluator

    return expression_evaluator


# --------------------------------------------------------------------------------------------
# Per-thread context clones


class _ContextClone:
    """A shallow clone of a context that one thread evaluates graph after graph.

    The clone shares every array with the original (features, universe, useful signals,
    registry) but owns its evaluation lock and its scratch attributes, so threads never wait
    on each other's lock nor see each other's registers. Before each graph the attributes that
    an evaluation replaces or extends in place are put back as the original has them.
    """

    __slots__ = ("base", "context", "_feature_index", "_features", "_pipeline", "_day")

    def __init__(self, base):
        self.base = base
        # Goes through the context's __getstate__/__setstate__: a new dict holding the same
        # values, and a lock of its own.
        clone = copy.copy(base)
        lock = getattr(base, "_evaluation_lock", None)
        if lock is not None and getattr(clone, "_evaluation_lock", None) is lock:
            # A duck-typed context copied without a state hook would share the lock.
            clone._evaluation_lock = threading.RLock()
        buf = getattr(base, "extraction_buffer", None)
        if buf is not None and hasattr(buf, "copy"):
            # Scratch rows for the useful signals: never shared between threads.
            clone.extraction_buffer = buf.copy()
        if hasattr(clone, "registers"):
            clone.registers = None
        self.context = clone
        self._feature_index = getattr(base, "feature_index", None)
        self._features = getattr(base, "features", None)
        self._pipeline = getattr(base, "transform_pipeline", None)
        self._day = getattr(base, "current_day_index", None)

    def fresh(self):
        """The clone, with the state that the previous graph may have changed restored."""
        ctx = self.context
        if isinstance(self._feature_index, dict):
            # Stage-data leaves add names to the index in place: each graph gets its own copy.
            ctx.feature_index = dict(self._feature_index)
        if self._features is not None:
            ctx.features = self._features
        if self._pipeline:
            # The driver empties the pipeline once it has combined it into a graph.
            ctx.transform_pipeline = list(self._pipeline)
        if self._day is not None:
            ctx.current_day_index = self._day
        return ctx


# --------------------------------------------------------------------------------------------
# Failures that travel


class _Failure:
    """The exception that one graph raised, kept in that graph's slot until results are sorted.

    Pickled (on its way back from a Dask worker) it carries the whole ``__cause__`` chain,
    which plain exception pickling drops, and the worker's traceback as a note. An exception
    that does not survive a pickle round trip travels as a RuntimeError naming its type and
    message.
    """

    __slots__ = ("exc",)

    def __init__(self, exc: BaseException):
        self.exc = exc

    def __reduce__(self):
        chain: List[BaseException] = []
        seen = set()
        exc: Optional[BaseException] = self.exc
        while exc is not None and id(exc) not in seen and len(chain) < 32:
            seen.add(id(exc))
            chain.append(_portable(exc))
            exc = exc.__cause__
        try:
            text = "".join(traceback.format_exception(self.exc))
        except Exception:  # a broken __str__ must not lose the result
            text = ""
        return (_rebuild_failure, (chain, text))


def _portable(exc: BaseException) -> BaseException:
    try:
        clone = pickle.loads(pickle.dumps(exc, protocol=pickle.HIGHEST_PROTOCOL))
        if type(clone) is type(exc):
            return exc
    except Exception:
        pass
    try:
        message = str(exc)
    except Exception:
        message = "<unprintable>"
    return RuntimeError(f"{type(exc).__module__}.{type(exc).__qualname__}: {message}")


def _rebuild_failure(chain, text):
    for outer, inner in zip(chain, chain[1:]):
        outer.__cause__ = inner
    head = chain[0]
    if text and hasattr(head, "add_note"):
        try:
            head.add_note("Raised on a batch worker:\n" + text.rstrip())
        except Exception:
            pass
    return _Failure(head)


# --------------------------------------------------------------------------------------------
# One batch


def _context_arrays(ctx):
    """The arrays that a context holds and later graphs read."""
    for name in ("features", "universe", "universe_mask", "extraction_buffer", "registers"):
        value = getattr(ctx, name, None)
        if isinstance(value, (tuple, list)):
            yield from value
        elif value is not None:
            yield value
    signals = getattr(ctx, "useful_signals", None)
    if isinstance(signals, dict):
        for sig in signals.values():
            yield getattr(sig, "weights", None)
            yield getattr(sig, "pnl", None)


def _detached(weights, ctx):
    """The weights, copied when they share memory with the context: a leaf graph returns the
    caller's own feature matrix, and a summary that works in place must not rewrite it."""
    import numpy as np

    if isinstance(weights, np.ndarray) and any(
            isinstance(a, np.ndarray) and np.shares_memory(weights, a)
            for a in _context_arrays(ctx)):
        return weights.copy()
    return weights


def _evaluate_into(clone: _ContextClone, graph, summarize):
    ctx = clone.fresh()
    result = _evaluator().evaluate(graph, ctx)
    weights = _detached(getattr(result, "weights", result), ctx)
    if summarize is not None:
        return summarize(weights, ctx)
    return weights


def _evaluate_batch(context, graphs, summarize=None, stop_on_error=False):
    """Evaluate ``graphs`` one after the other on a fresh clone of ``context``.

    Returns one entry per graph, in order: the weights (or the summary), or a ``_Failure``.
    With ``stop_on_error`` the list ends at the first failure. This is the task that Dask
    workers run; the context is the worker's copy of the scattered one.
    """
    clone = _ContextClone(context)
    out: list = []
    for graph in graphs:
        try:
            out.append(_evaluate_into(clone, graph, summarize))
        except Exception as exc:
            out.append(_Failure(exc))
            if stop_on_error:
                break
    return out


# --------------------------------------------------------------------------------------------
# Progress bar


class _Lines:
    """The stream a progress bar writes to off a terminal: every frame becomes a plain line,
    with no carriage returns for a log file or a CI page to collect. A stream that fails (a
    full disk, a closed pipe) silences the bar rather than the evaluation."""

    def __init__(self, stream):
        self.stream, self.last = stream, None

    def write(self, text: str) -> None:
        text = text.replace("\r", "").strip()
        count = text.split(" [", 1)[0]  # the frame without its timing: closing repeats it
        if text and count != self.last:
            self.last = count
            self._call("write", text + "\n")

    def flush(self) -> None:
        self._call("flush")

    def _call(self, name: str, *args) -> None:
        if self.stream is not None:
            try:
                getattr(self.stream, name)(*args)
            except (OSError, ValueError):
                self.stream = None


def progress_bar(total: int, desc: str, stream=None, enabled: bool = True):
    """A ``tqdm`` bar over ``total`` graphs on ``stream`` (standard error by default).

    On a terminal the bar is redrawn in place; elsewhere it writes a line at about every tenth
    of the work. Without a stream (a windowless interpreter, a closed stderr) it is silent.
    """
    from tqdm import tqdm

    stream = sys.stderr if stream is None else stream
    try:
        tty = bool(stream.isatty())
    except Exception:  # no stream, or one without isatty
        tty = False
    disable = not enabled or stream is None or total <= 0
    if tty:
        return tqdm(total=total, desc=desc, unit="graph", file=stream, dynamic_ncols=True,
                    disable=disable)
    return tqdm(total=max(total, 0), desc=desc, unit="graph", disable=disable,
                file=None if disable else _Lines(stream), mininterval=0,
                miniters=max(1, total // 10), maxinterval=float("inf"))


class _Advance:
    """Turns the running count of graphs done into steps of a bar."""

    __slots__ = ("bar", "done")

    def __init__(self, bar):
        self.bar, self.done = bar, 0

    def update(self, done: int) -> None:
        if done > self.done:
            self.bar.update(done - self.done)
            self.done = done


# --------------------------------------------------------------------------------------------
# Entry point


def evaluate_many(graphs: Sequence[Any], context, *, client=None, workers: Optional[int] = None,
                  batch_size: Optional[int] = None,
                  summarize: Optional[Callable[[Any, Any], Any]] = None,
                  progress: bool = True, errors: str = "return") -> list:
    """Evaluate many function graphs against one context and return their results in order.

    Each graph is evaluated with the expression evaluator's ``evaluate(graph, context)``
    against the context as passed in: what one evaluation writes onto its context is never
    seen by another, so the results are those of a serial loop that gives every graph a
    fresh copy of the context.

    Parameters
    ----------
    graphs:
        An iterable of ``FunctionGraphNode`` roots. Graphs shipped to a cluster travel without
        their evaluation caches.
    context:
        The ``EvaluationContext`` shared by all graphs. It is not modified.
    client:
        None to evaluate on threads of this process: each thread works on its own shallow
        clone of the context (the arrays are shared, the lock and the scratch attributes are
        not), so threads do not wait on one context's lock. Or a ``dask.distributed.Client``:
        the context is scattered to every worker once, the graphs are sent in batches (one
        Dask task per batch) and evaluated on the workers, and the results are gathered as the
        tasks finish. A task lost with its worker is run again by Dask elsewhere.
    workers:
        Number of local threads (default: the number of CPUs). Only without ``client``.
    batch_size:
        Graphs per task. The default spreads the graphs over about four tasks per thread,
        with 16 to 256 graphs per task on a cluster (fewer when there are too few graphs to
        give every worker thread two tasks of 16) and at most 64 locally.
    summarize:
        None to return each graph's weights matrix (T x N_alloc float64). Otherwise a function
        ``summarize(weights, context)`` called right after each evaluation (on the worker, on
        a cluster) whose result is returned instead, so that large matrices need not travel
        back. It must be picklable to run on a cluster. An exception it raises counts as that
        graph's failure.
    progress:
        True draws a progress bar over the graphs done on standard error (``progress_bar``);
        False is silent. A bar of the caller's (anything with ``update(n)``, such as a
        ``tqdm``) is advanced by the graphs done instead, so that several calls share one bar.
    errors:
        "return": a graph that fails leaves its exception in its slot and the others are
        still evaluated. "raise": the first failure seen is raised and the outstanding work is
        cancelled.

    Returns
    -------
    A list with one entry per graph, in the order of ``graphs``: its weights, its summary, or
    (with ``errors="return"``) the exception that it raised.
    """
    if errors not in ("return", "raise"):
        raise ValueError(f"errors must be 'return' or 'raise'; got {errors!r}")
    if batch_size is not None and (isinstance(batch_size, bool) or not isinstance(batch_size, int)
                                   or batch_size < 1):
        raise ValueError(f"batch_size must be a positive integer or None; got {batch_size!r}")
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int)
                                or workers < 1):
        raise ValueError(f"workers must be a positive integer or None; got {workers!r}")
    if workers is not None and client is not None:
        raise ValueError("workers sets the number of local threads; it cannot be combined "
                         "with a client")
    if summarize is not None and not callable(summarize):
        raise TypeError(f"summarize must be callable or None; got {type(summarize).__name__}")
    graphs = list(graphs)
    if not graphs:
        return []
    if hasattr(progress, "update"):
        bar, own_bar = _Advance(progress), False
    else:
        bar, own_bar = _Advance(progress_bar(len(graphs), "evaluate_many", enabled=progress)), True
    try:
        if client is None:
            slots = _run_local(graphs, context, workers or os.cpu_count() or 1, batch_size,
                               summarize, errors == "raise", bar)
        else:
            slots = _run_dask(graphs, context, client, batch_size, summarize,
                              errors == "raise", bar)
    finally:
        if own_bar:
            bar.bar.close()
    return [s.exc if isinstance(s, _Failure) else s for s in slots]


def _split(n: int, size: int) -> List[range]:
    return [range(lo, min(lo + size, n)) for lo in range(0, n, size)]


def _default_batch_size(n: int, threads: int, lo: int, hi: int) -> int:
    threads = max(threads, 1)
    size = math.ceil(n / (_TASKS_PER_THREAD * threads))
    if size < lo:
        # Too few graphs for four tasks of the smallest size per thread: still give every
        # thread at least two tasks, so that one slow task does not leave the others idle.
        size = min(lo, math.ceil(n / (2 * threads)))
    return max(1, min(hi, size))


def _run_local(graphs, context, workers, batch_size, summarize, stop_on_error, bar):
    n = len(graphs)
    workers = min(workers, n)
    size = batch_size or _default_batch_size(n, workers, 1, _MAX_LOCAL_BATCH)
    slots: list = [None] * n
    counter = [0]
    count_lock = threading.Lock()
    stop = threading.Event()
    first_failure: List[_Failure] = []
    clones = threading.local()

    def run(span: range) -> None:
        clone = getattr(clones, "clone", None)
        if clone is None:
            try:
                clone = clones.clone = _ContextClone(context)
            except Exception as exc:
                # A context that cannot be cloned fails every graph given to this thread.
                failure = _Failure(exc)
                for i in span:
                    slots[i] = failure
                with count_lock:
                    counter[0] += len(span)
                    if stop_on_error and not first_failure:
                        first_failure.append(failure)
                if stop_on_error:
                    stop.set()
                return
        for i in span:
            if stop.is_set():
                return
            try:
                slots[i] = _evaluate_into(clone, graphs[i], summarize)
            except Exception as exc:
                slots[i] = _Failure(exc)
                if stop_on_error:
                    with count_lock:
                        if not first_failure:
                            first_failure.append(slots[i])
                    stop.set()
            with count_lock:
                counter[0] += 1

    spans = _split(n, size)
    if workers == 1:
        for span in spans:
            run(span)
            bar.update(counter[0])
    else:
        with concurrent.futures.ThreadPoolExecutor(
                max_workers=workers, thread_name_prefix="tessaline-batch") as pool:
            futures = [pool.submit(run, span) for span in spans]
            pending = set(futures)
            try:
                while pending:
                    _, pending = concurrent.futures.wait(
                        pending, timeout=0.1, return_when=concurrent.futures.FIRST_COMPLETED)
                    bar.update(counter[0])
            except BaseException:
                # KeyboardInterrupt and the like: let the running graphs finish, start no more.
                stop.set()
                for fut in pending:
                    fut.cancel()
                raise
            for fut in futures:
                fut.result()  # anything that escaped a batch is a fault of this module: show it
    if first_failure:
        raise first_failure[0].exc
    return slots


def _run_dask(graphs, context, client, batch_size, summarize, stop_on_error, bar):
    from distributed import as_completed

    n = len(graphs)
    if batch_size is None:
        try:
            threads = sum(client.nthreads().values())
        except Exception:
            threads = 1
        batch_size = _default_batch_size(n, threads, _MIN_REMOTE_BATCH, _MAX_REMOTE_BATCH)
    spans = _split(n, batch_size)
    # One copy of the context per worker, sent once; hash=False spares hashing its arrays.
    shared = client.scatter(context, broadcast=True, hash=False)
    futures = [client.submit(_evaluate_batch, shared, [graphs[i] for i in span], summarize,
                             stop_on_error, pure=False)
               for span in spans]
    span_of = {fut.key: span for fut, span in zip(futures, spans)}
    outstanding = set(futures)
    slots: list = [None] * n
    done = 0
    try:
        for fut in as_completed(futures):
            outstanding.discard(fut)
            span = span_of[fut.key]
            try:
                values = fut.result()
            except Exception as exc:
                # The task itself failed (for example the context could not be restored on
                # the worker): every graph of the batch carries that error.
                values = [_Failure(exc)] * len(span)
            # The result is here: let the worker drop its copy.
            fut.release()
            for i, value in zip(span, values):
                slots[i] = value
                if stop_on_error and isinstance(value, _Failure):
                    raise value.exc
            done += len(span)
            bar.update(done)
    finally:
        if outstanding:
            client.cancel(list(outstanding))
        del shared
    return slots
