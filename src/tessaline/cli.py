"""``tessaline-evaluate``: evaluate function graphs on market data and summarise the weights.

    tessaline-evaluate [GRAPH.json ...] [--data FILE.npz] [--out DIR] [--plot FILE.png]
                       [--workers N | --scheduler ADDRESS [--timeout S]] [-v] [--version]

Without graphs it runs the demo graphs (one per evaluation path); without ``--data`` it uses
seeded synthetic markets (daily and minute bars).  For every graph it reports which path
evaluated it, the shape, the time taken, the NaN share, the mean gross and net exposure (row
sums of |w| and of w over the rows with any weight), the turnover, the annualised Sharpe
ratio and the maximum drawdown of the next-row PnL.  The next-row PnL of row t is the
weights of row t scaled to unit gross, times the returns of row t+1; the turnover is the
mean of sum |w_t - w_(t-1)| over those unit-gross weights (2.0: the whole book traded).

``--workers N`` evaluates the graphs on N local threads and ``--scheduler ADDRESS`` on a running
Dask cluster, both through ``tessaline.simulator_engine.batch.evaluate_many``.  Every option
is checked, and the scheduler reached, before any data is generated or graph evaluated.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence

import numpy as np

from tessaline import demo
from tessaline.api import evaluation_path
from tessaline.functions._typed_shapes import FunctionGraphNode
from tessaline.functions.graph_files import GraphFileError, load_graph
from tessaline.functions.registry import default_registry
from tessaline.report import dollar_neutral, format_table, next_row_pnl, plot_pnl, pyplot, summarise

@dataclass
class Job:
    name: str
    market: demo.Market
    graph: FunctionGraphNode
    metaparameters: Dict[str, Any]
    pipeline: List[Any]
    source: str = "demo"
    neutral: bool = False


@dataclass
class Outcome:
    name: str
    market: demo.Market
    path: str
    weights: np.ndarray
    seconds: float
    job: Optional[Job] = None

    @property
    def pnl(self) -> np.ndarray:
        return next_row_pnl(self.weights, self.market.features.get(self.market.returns_feature))


def _walk(node):
    yield node
    for child in getattr(node, "children", None) or ():
        yield from _walk(child)


def _needs_signals(graph) -> bool:
    return any(getattr(n, "type", None) in ("reduction", "filtration") for n in _walk(graph))


def _feature_names(graph) -> set:
    return {n.node for n in _walk(graph) if getattr(n, "type", None) in ("feature", "aggregation")}


def build_context(ee, job: Job, registry):
    market = job.market
    names = list(market.features)
    signals = market.signals if _needs_signals(job.graph) else None
    return ee.EvaluationContext(
        tuple(market.features[n] for n in names), {n: i for i, n in enumerate(names)},
        useful_signals=signals, registry=registry, universe=market.universe,
        metaparameters=dict(job.metaparameters) or None, transform_pipeline=list(job.pipeline),
        column_labels=list(market.column_labels))


def run_job(ee, job: Job, registry) -> Outcome:
    context = build_context(ee, job, registry)
    path = evaluation_path(job.graph, context)
    start = time.perf_counter()
    weights, _states = ee.evaluate(job.graph, context)
    seconds = time.perf_counter() - start
    return Outcome(job.name, job.market, path, np.asarray(weights), seconds)


def _context_recipe(job: Job) -> tuple:
    return (id(job.market), _needs_signals(job.graph), repr(sorted(job.metaparameters.items())),
            repr([(s.name, s.default) for s in job.pipeline]))


def run_batches(ee, jobs: Sequence[Job], registry, *, workers: Optional[int] = None,
                client=None, progress: Any = False) -> List[Any]:
    """Evaluate the jobs with ``evaluate_many``, one context per group of jobs that share one.

    Returns one entry per job, in order: its ``Outcome`` or the exception it raised.
    """
    from tessaline.simulator_engine.batch import evaluate_many

    groups: Dict[tuple, List[int]] = {}
    for i, job in enumerate(jobs):
        groups.setdefault(_context_recipe(job), []).append(i)
    results: List[Any] = [None] * len(jobs)
    for members in groups.values():
        try:
            context = build_context(ee, jobs[members[0]], registry)
        except Exception as exc:  # these graphs fail by name; the other groups still run
            for i in members:
                results[i] = exc
            continue
        paths = [evaluation_path(jobs[i].graph, context) for i in members]
        start = time.perf_counter()
        values = evaluate_many([jobs[i].graph for i in members], context, client=client,
                               workers=workers, progress=progress)
        seconds = (time.perf_counter() - start) / len(members)
        for i, path, value in zip(members, paths, values):
            if isinstance(value, Exception):
                results[i] = value
                continue
            results[i] = Outcome(jobs[i].name, jobs[i].market, path, np.asarray(value), seconds)
    return results


def _say(text: str) -> None:
    """A line on stderr, if there is one: a closed stderr must not cost the results."""
    stream = sys.stderr
    if stream is None:
        return
    try:
        from tqdm import tqdm

        tqdm.write(text, file=stream)  # above a bar drawn on the same terminal
        stream.flush()
    except (AttributeError, OSError, ValueError):
        pass


class UsageError(Exception):
    """A command line that cannot run: reported as one line, exit status 2."""


# --------------------------------------------------------------------------------------------
# Log events


def _render_once(logger, method_name: str, event_dict: dict):
    """The last step of the log processors: one line per event on stderr.

    The evaluator's module logger is a structlog logger wrapped around another, so every event
    passes the processors twice; the outer pass hands the fields on unrendered, and the inner
    pass writes the line.
    """
    import structlog

    if hasattr(logger, "bind"):  # the wrapped structlog logger: let it render
        return event_dict
    fields = dict(event_dict)
    line = f"{fields.pop('timestamp', '')} {fields.pop('level', method_name)}: " \
           f"{fields.pop('event', '')}"
    line += "".join(f" {key}={value!r}" if isinstance(value, str) and " " in value else
                    f" {key}={value}" for key, value in fields.items())
    _say(line.strip())
    raise structlog.DropEvent


def configure_logging(verbose: bool) -> None:
    """Log events as single lines on stderr: warnings and errors, and with ``-v`` the
    per-graph events too."""
    import logging

    import structlog

    structlog.configure(
        processors=[structlog.processors.add_log_level,
                    structlog.processors.TimeStamper(fmt="%H:%M:%S"), _render_once],
        wrapper_class=structlog.make_filtering_bound_logger(
            logging.INFO if verbose else logging.WARNING),
        logger_factory=structlog.PrintLoggerFactory(), cache_logger_on_first_use=False)


# Weights file

_METADATA_KEY = "metadata"


def weight_keys(names: Sequence[str]) -> List[str]:
    """One distinct archive key per graph: its name, or the name with _2, _3 ... appended.
    The key of the metadata entry is never given to a graph."""
    taken: set = {_METADATA_KEY}
    keys = []
    for name in names:
        key, n = name or "graph", 1
        while key in taken:
            n += 1
            key = f"{name or 'graph'}_{n}"
        taken.add(key)
        keys.append(key)
    return keys


def write_weights(outcomes: Sequence[Outcome], folder: str, metadata: Dict[str, Any]) -> str:
    """Write every graph's weights to folder/weights.npz (compressed, replaced atomically)
    with a "metadata" entry: a JSON text of ``metadata`` plus, per key, the graph's name,
    source, evaluation path and JSON."""
    from tessaline.functions.graph_files import graph_to_dict

    keys = weight_keys([o.name for o in outcomes])
    graphs = {}
    for key, o in zip(keys, outcomes):
        job = o.job
        graphs[key] = {"name": o.name, "source": job.source if job else None, "path": o.path,
                       "dollar_neutral": bool(job and job.neutral),
                       "metaparameters": dict(job.metaparameters) if job else {},
                       "pipeline": [getattr(s, "name", str(s)) for s in job.pipeline]
                       if job else [],
                       "graph": graph_to_dict(job.graph) if job else None}
    text = json.dumps({**metadata, "graphs": graphs}, indent=1, default=str)
    target = os.path.join(folder, "weights.npz")
    arrays = {k: np.ascontiguousarray(o.weights) for k, o in zip(keys, outcomes)}
    arrays[_METADATA_KEY] = np.array(text)
    demo.write_arrays(target, arrays)
    return target


# --------------------------------------------------------------------------------------------
# Command line


def _at_least(minimum: float, kind=int):
    def parse(text: str):
        try:
            n = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid {kind.__name__}: {text!r}") from None
        if not n >= minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}; got {n}")
        return n
    parse.__name__ = kind.__name__
    return parse


_CONNECT_SECONDS = 10.0


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("tessaline")
    except Exception:  # run from a source tree that was never installed
        return "unknown"


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="tessaline-evaluate",
        description="Evaluate function graphs on market data and summarise the weights.")
    p.add_argument("graphs", nargs="*", metavar="GRAPH.json",
                   help="graph files (JSON); the demo graphs when none is given")
    p.add_argument("--data", metavar="FILE.npz",
                   help="market file: 2-D feature arrays, optional 'universe', 'column_labels' "
                        "and 'signal:<id>:weights|pnl|metadata'")
    p.add_argument("--out", metavar="DIR",
                   help="write the weights to DIR/weights.npz (compressed, with a 'metadata' "
                        "entry: each graph's JSON and path, the seed and the data)")
    p.add_argument("--plot", metavar="FILE.png",
                   help="chart of cumulative PnL per graph against an equal-weight benchmark")
    p.add_argument("--list-functions", action="store_true",
                   help="print the built-in functions (readable name, store name, arguments, "
                        "semantics) and exit")
    p.add_argument("--save-data", metavar="FILE.npz",
                   help="write the daily market used to FILE.npz (the --data format)")
    par = p.add_mutually_exclusive_group()
    par.add_argument("--workers", type=_at_least(1), metavar="N",
                     help="evaluate the graphs on N local threads (seconds are then the wall "
                          "time of a batch divided by its graphs)")
    par.add_argument("--scheduler", metavar="ADDRESS",
                     help="evaluate the graphs on the Dask cluster of the scheduler at ADDRESS "
                          "(tcp://host:8786); needs the 'distributed' extra")
    p.add_argument("--timeout", type=_at_least(0.001, float), metavar="S",
                   help=f"seconds to wait for the scheduler (default: {_CONNECT_SECONDS:g})")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="log each graph's evaluation path and time")
    p.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    g = p.add_argument_group("synthetic data")
    g.add_argument("--days", type=_at_least(2), default=2520)
    g.add_argument("--instruments", type=_at_least(1), default=500)
    g.add_argument("--minutes", type=_at_least(2), default=100_000)
    g.add_argument("--minute-instruments", type=_at_least(1), default=20)
    g.add_argument("--seed", type=_at_least(0), default=2024)
    return p


def _cannot_run(graph, market: Optional[demo.Market]) -> Optional[str]:
    """Why ``market`` cannot run ``graph``, or None."""
    missing = sorted(_feature_names(graph) - set(market.features if market else ()))
    if missing:
        return f"feature(s) not in the data: {', '.join(missing)}"
    if _needs_signals(graph) and not market.signals:
        return "needs useful signals (signal:<id>:weights|pnl|metadata arrays); the data has none"
    return None


def _jobs(args, graphs, daily: demo.Market, minute: Optional[demo.Market]) -> List[Job]:
    """The graphs to evaluate, each with its market. Demo graphs that the data given with
    --data cannot run are left out with a line that says why; graph files that it cannot run
    are each named with the reason, and the run is refused (a usage error)."""
    jobs: List[Job] = []
    if not args.graphs:
        for d in demo.demo_graphs():
            market = daily if d.market == "daily" else minute
            why = _cannot_run(d.graph, market)
            if why:
                _say(f"--data {args.data}: cannot run {d.name}: {why}")
                continue
            jobs.append(Job(d.name, market, d.graph, d.metaparameters, d.pipeline,
                            neutral=d.neutral))
        return jobs
    unrunnable = 0
    for path, graph in zip(args.graphs, graphs):
        runs_on_minutes = minute is not None and not _cannot_run(graph, minute)
        market = minute if runs_on_minutes and _cannot_run(graph, daily) else daily
        why = _cannot_run(graph, market)
        if why:  # every such file is named before the run is refused
            unrunnable += 1
            _say(f"tessaline-evaluate: {GraphFileError(path, '$', why)}")
            continue
        name = os.path.splitext(os.path.basename(path))[0]
        jobs.append(Job(name, market, graph, {}, [], source=path))
    if unrunnable:
        raise UsageError(f"{unrunnable} of {len(graphs)} graph file(s) cannot run on "
                         f"{args.data or 'the synthetic data'}")
    return jobs


def _check_requirements(args) -> None:
    """Everything the command line asks for that can fail, checked before any work."""
    if args.timeout is not None and args.scheduler is None:
        raise UsageError("--timeout applies to --scheduler only")
    if args.plot:
        try:
            pyplot()
        except ImportError:
            raise UsageError("--plot needs matplotlib: pip install 'tessaline[plot]'") from None
    if args.scheduler is not None:
        try:
            import distributed  # noqa: F401
        except ImportError:
            raise UsageError("--scheduler needs dask.distributed: "
                             "pip install 'tessaline[distributed]'") from None
    if args.out:
        try:
            os.makedirs(args.out, exist_ok=True)
        except OSError as exc:
            raise UsageError(f"--out {args.out}: {exc.strerror or exc}") from None
        if not os.access(args.out, os.W_OK | os.X_OK):
            raise UsageError(f"--out {args.out}: folder is not writable")
    for option, path in (("--plot", args.plot), ("--save-data", args.save_data)):
        folder = os.path.dirname(os.path.abspath(path)) if path else None
        if folder and not os.access(folder, os.W_OK | os.X_OK):
            raise UsageError(f"{option} {path}: folder {folder} is missing or not writable")


def _connect(address: str, timeout: float):
    _say(f"connecting to {address} ...")
    from distributed import Client

    try:
        return Client(address, timeout=timeout)
    except Exception as exc:  # OSError, TimeoutError, ValueError for a malformed address
        raise UsageError(f"cannot reach the scheduler at {address} within {timeout:g} s: "
                         f"{exc}") from None


def _evaluate(ee, args, jobs: Sequence[Job], client) -> tuple:
    """(outcomes, failures): every job evaluated, serially or as batches, under one bar."""
    import structlog

    from tessaline.simulator_engine.batch import progress_bar

    log = structlog.get_logger("tessaline.cli")
    registry = default_registry()
    outcomes: List[Outcome] = []
    failures = 0
    where = (f" on {args.workers} thread{'s' * (args.workers > 1)}" if args.workers else
             f" on {args.scheduler}" if client is not None else "")
    bar = progress_bar(len(jobs), f"evaluating {len(jobs)} graphs{where}")
    try:
        if args.workers is not None or client is not None:
            results = run_batches(ee, jobs, registry, workers=args.workers, client=client,
                                  progress=bar)
        else:
            results = []
            for job in jobs:
                bar.set_postfix_str(job.name, refresh=False)
                try:
                    results.append(run_job(ee, job, registry))
                except Exception as exc:  # report and go on with the other graphs
                    results.append(exc)
                bar.update(1)
    finally:
        bar.close()
    for job, result in zip(jobs, results):
        if isinstance(result, Exception):
            failures += 1
            _say(f"{job.name}: {type(result).__name__}: {result}")
            continue
        result.job = job
        if job.neutral:
            result.weights = dollar_neutral(result.weights)
        log.info("graph.evaluated", graph=job.name, path=result.path,
                 shape="x".join(map(str, result.weights.shape)),
                 seconds=round(result.seconds, 4))
        outcomes.append(result)
    return outcomes, failures


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        return _main(argv)
    except BrokenPipeError:
        # The reader of the output went away (`| head`): stop quietly, as other Unix tools do.
        # Python flushes stdout once more at exit, so it is pointed at /dev/null first.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


def _main(argv: Optional[Sequence[str]]) -> int:
    args = _parser().parse_args(argv)
    configure_logging(args.verbose)
    if args.list_functions:
        from tessaline.functions.builtins import function_table

        print(function_table())
        return 0
    from tessaline.simulator_engine import expression_evaluator as ee

    if not hasattr(ee, "evaluate"):
        _say("tessaline-evaluate: this build of the expression evaluator has no evaluate()")
        return 1
    client = None
    try:
        try:
            _check_requirements(args)
            graphs = [load_graph(path) for path in args.graphs]
            if args.scheduler is not None:
                client = _connect(args.scheduler, args.timeout or _CONNECT_SECONDS)
            if args.data:
                daily, minute = demo.load_market(args.data), None
            else:
                _say("generating synthetic markets ...")
                daily = demo.daily_market(args.days, args.instruments, seed=args.seed)
                minute = demo.minute_market(args.minutes, args.minute_instruments,
                                            seed=args.seed + 1)
            if args.save_data:
                demo.save_market(daily, args.save_data)
            jobs = _jobs(args, graphs, daily, minute)
        except (UsageError, GraphFileError, ValueError, OSError) as exc:
            _say(f"tessaline-evaluate: {exc}")
            return 2
        outcomes, failures = _evaluate(ee, args, jobs, client)
    finally:
        if client is not None:
            client.close()

    print(format_table([summarise(o) for o in outcomes]))
    try:
        if args.out:
            metadata = {"tessaline": _version(), "data": args.data or "synthetic",
                        "seed": None if args.data else args.seed}
            print(f"weights written to {write_weights(outcomes, args.out, metadata)}")
        if args.plot:
            plot_pnl(outcomes, args.plot)
            print(f"chart written to {args.plot}")
    except OSError as exc:
        _say(f"tessaline-evaluate: {exc}")
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
