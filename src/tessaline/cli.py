"""``tessaline-evaluate``: evaluate function graphs on market data and summarise the weights.

    tessaline-evaluate [GRAPH.json ...] [--data FILE.npz] [--out DIR] [--plot FILE.png]
                       [--workers N | --scheduler ADDRESS]

Without graphs it runs the demo graphs (one per evaluation path); without ``--data`` it uses
seeded synthetic markets (daily and minute bars).  For every graph it reports which path
evaluated it, the shape, the time taken, the NaN share, the mean gross exposure and the
annualised Sharpe ratio of the next-row PnL (weights of row t, scaled to unit gross, times
the returns of row t+1).

``--workers N`` evaluates the graphs on N local threads and ``--scheduler ADDRESS`` on a running
Dask cluster, both through ``tessaline.simulator_engine.batch.evaluate_many``.
"""

from __future__ import annotations

import argparse
import math
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

@dataclass
class Job:
    name: str
    market: demo.Market
    graph: FunctionGraphNode
    metaparameters: Dict[str, Any]
    pipeline: List[Any]


@dataclass
class Outcome:
    name: str
    market: demo.Market
    path: str
    weights: np.ndarray
    seconds: float

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
                client=None) -> List[Any]:
    """Evaluate the jobs with ``evaluate_many``, one context per group of jobs that share one.

    Returns one entry per job, in order: its ``Outcome`` or the exception it raised.
    """
    from tessaline.simulator_engine.batch import evaluate_many

    groups: Dict[tuple, List[int]] = {}
    for i, job in enumerate(jobs):
        groups.setdefault(_context_recipe(job), []).append(i)
    results: List[Any] = [None] * len(jobs)
    for members in groups.values():
        context = build_context(ee, jobs[members[0]], registry)
        paths = [evaluation_path(jobs[i].graph, context) for i in members]
        start = time.perf_counter()
        values = evaluate_many([jobs[i].graph for i in members], context, client=client,
                               workers=workers)
        seconds = (time.perf_counter() - start) / len(members)
        for i, path, value in zip(members, paths, values):
            if isinstance(value, Exception):
                results[i] = value
                continue
            results[i] = Outcome(jobs[i].name, jobs[i].market, path, np.asarray(value), seconds)
    return results


def next_row_pnl(weights: np.ndarray, returns: Optional[np.ndarray]) -> Optional[np.ndarray]:
    if returns is None or returns.shape != weights.shape or weights.shape[0] < 2:
        return None
    w = np.nan_to_num(weights[:-1], nan=0.0, posinf=0.0, neginf=0.0)
    r = np.nan_to_num(returns[1:], nan=0.0, posinf=0.0, neginf=0.0)
    gross = np.abs(w).sum(axis=1)
    raw = (w * r).sum(axis=1)
    return np.divide(raw, gross, out=np.zeros_like(raw), where=gross > 0)


def summarise(outcome: Outcome) -> Dict[str, str]:
    w = outcome.weights
    nan_share = float(np.isnan(w).mean()) if w.size else 0.0
    gross_rows = np.nansum(np.abs(w), axis=1) if w.size else np.zeros(0)
    live = ~np.isnan(w).all(axis=1) if w.size else np.zeros(0, bool)
    gross = float(gross_rows[live].mean()) if live.any() else float("nan")
    pnl = outcome.pnl
    sharpe = "-"
    if pnl is not None and pnl.std() > 0:
        sharpe = f"{pnl.mean() / pnl.std() * math.sqrt(outcome.market.periods_per_year):.2f}"
    return {"graph": outcome.name, "path": outcome.path,
            "shape": f"{w.shape[0]}x{w.shape[1]}" if w.ndim == 2 else str(w.shape),
            "seconds": f"{outcome.seconds:.3f}", "NaN share": f"{nan_share:.3f}",
            "gross": f"{gross:.3f}", "Sharpe": sharpe}


def format_table(rows: Sequence[Dict[str, str]]) -> str:
    if not rows:
        return "(no graphs)"
    cols = list(rows[0])
    width = {c: max(len(c), *(len(r[c]) for r in rows)) for c in cols}
    right = {"seconds", "NaN share", "gross", "Sharpe"}

    def fmt(r):
        return "  ".join(r[c].rjust(width[c]) if c in right else r[c].ljust(width[c])
                         for c in cols)

    lines = [fmt({c: c for c in cols}), "  ".join("-" * width[c] for c in cols)]
    lines += [fmt(r) for r in rows]
    return "\n".join(lines)


class Progress:
    """A one-line progress bar on stderr."""

    def __init__(self, total: int, stream=None, width: int = 30):
        self.total, self.stream, self.width = total, stream or sys.stderr, width

    def show(self, done: int, label: str) -> None:
        filled = int(self.width * done / self.total) if self.total else self.width
        bar = "#" * filled + "-" * (self.width - filled)
        self.stream.write(f"\r[{bar}] {done}/{self.total} {label[:40]:<40}")
        self.stream.flush()

    def close(self) -> None:
        self.stream.write("\n")
        self.stream.flush()


def plot_pnl(outcomes: Sequence[Outcome], path: str) -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise SystemExit("--plot needs matplotlib: pip install 'tessaline[plot]'") from None
    markets = sorted({o.market.name for o in outcomes})
    fig, axes = plt.subplots(len(markets), 1, figsize=(10, 4 * len(markets)), squeeze=False)
    for ax, market in zip(axes[:, 0], markets):
        for o in outcomes:
            pnl = o.pnl
            if o.market.name == market and pnl is not None:
                ax.plot(np.cumsum(pnl), label=o.name, linewidth=0.9)
        ax.set_title(f"cumulative next-row PnL ({market})")
        ax.set_xlabel("row")
        ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def _thread_count(text: str) -> int:
    n = int(text)
    if n < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return n


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="tessaline-evaluate",
        description="Evaluate function graphs on market data and summarise the weights.")
    p.add_argument("graphs", nargs="*", metavar="GRAPH.json",
                   help="graph files (JSON); the demo graphs when none is given")
    p.add_argument("--data", metavar="FILE.npz",
                   help="market file: 2-D feature arrays, optional 'universe', 'column_labels' "
                        "and 'signal:<id>:weights|pnl|metadata'")
    p.add_argument("--out", metavar="DIR", help="write the weights to DIR/weights.npz")
    p.add_argument("--plot", metavar="FILE.png", help="chart of cumulative PnL per graph")
    p.add_argument("--list-functions", action="store_true",
                   help="print the built-in functions (readable name, store name, arguments, "
                        "semantics) and exit")
    p.add_argument("--save-data", metavar="FILE.npz",
                   help="write the daily market used to FILE.npz (the --data format)")
    par = p.add_mutually_exclusive_group()
    par.add_argument("--workers", type=_thread_count, metavar="N",
                     help="evaluate the graphs on N local threads (seconds are then the wall "
                          "time of a batch divided by its graphs)")
    par.add_argument("--scheduler", metavar="ADDRESS",
                     help="evaluate the graphs on the Dask cluster of the scheduler at ADDRESS "
                          "(tcp://host:8786); needs the 'distributed' extra")
    g = p.add_argument_group("synthetic data")
    g.add_argument("--days", type=int, default=2520)
    g.add_argument("--instruments", type=int, default=500)
    g.add_argument("--minutes", type=int, default=100_000)
    g.add_argument("--minute-instruments", type=int, default=20)
    g.add_argument("--seed", type=int, default=2024)
    return p


def _jobs(args, daily: demo.Market, minute: Optional[demo.Market]) -> List[Job]:
    markets = [m for m in (daily, minute) if m is not None]
    jobs: List[Job] = []
    if not args.graphs:
        for d in demo.demo_graphs():
            market = daily if d.market == "daily" else minute
            if market is None or not _feature_names(d.graph) <= set(market.features):
                continue
            if _needs_signals(d.graph) and not market.signals:
                continue
            jobs.append(Job(d.name, market, d.graph, d.metaparameters, d.pipeline))
        return jobs
    for path in args.graphs:
        graph = load_graph(path)
        needed = _feature_names(graph)
        market = next((m for m in markets if needed <= set(m.features)), None)
        if market is None:
            missing = sorted(needed - set(daily.features))
            raise GraphFileError(path, "$", f"feature(s) not in the data: {', '.join(missing)}")
        name = os.path.splitext(os.path.basename(path))[0]
        jobs.append(Job(name, market, graph, {}, []))
    return jobs


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    if args.list_functions:
        from tessaline.functions.builtins import function_table

        print(function_table())
        return 0
    from tessaline.simulator_engine import expression_evaluator as ee

    if not hasattr(ee, "evaluate"):
        print("tessaline-evaluate: this build of the expression evaluator has no evaluate()",
              file=sys.stderr)
        return 1
    try:
        if args.data:
            daily, minute = demo.load_market(args.data), None
        else:
            sys.stderr.write("generating synthetic markets ...\n")
            daily = demo.daily_market(args.days, args.instruments, seed=args.seed)
            minute = demo.minute_market(args.minutes, args.minute_instruments, seed=args.seed + 1)
        if args.save_data:
            demo.save_market(daily, args.save_data)
        jobs = _jobs(args, daily, minute)
    except (GraphFileError, ValueError, OSError) as exc:
        print(f"tessaline-evaluate: {exc}", file=sys.stderr)
        return 2

    registry = default_registry()
    outcomes: List[Outcome] = []
    failures = 0
    batched = args.workers is not None or args.scheduler is not None
    if batched:
        client = None
        if args.scheduler is not None:
            try:
                from distributed import Client
            except ImportError:
                print("tessaline-evaluate: --scheduler needs dask.distributed: "
                      "pip install 'tessaline[distributed]'", file=sys.stderr)
                return 2
            try:
                client = Client(args.scheduler)
            except (OSError, ValueError) as exc:
                print(f"tessaline-evaluate: cannot reach the scheduler at {args.scheduler}: "
                      f"{exc}", file=sys.stderr)
                return 2
        try:
            results = run_batches(ee, jobs, registry, workers=args.workers, client=client)
        finally:
            if client is not None:
                client.close()
        for job, result in zip(jobs, results):
            if isinstance(result, Exception):
                failures += 1
                sys.stderr.write(f"{job.name}: {type(result).__name__}: {result}\n")
            else:
                outcomes.append(result)
    progress = Progress(len(jobs))
    for i, job in enumerate([] if batched else jobs):
        progress.show(i, job.name)
        try:
            outcomes.append(run_job(ee, job, registry))
        except Exception as exc:  # report and go on with the other graphs
            failures += 1
            progress.stream.write(f"\n{job.name}: {type(exc).__name__}: {exc}\n")
    if not batched:
        progress.show(len(jobs), "done")
        progress.close()

    print(format_table([summarise(o) for o in outcomes]))
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        target = os.path.join(args.out, "weights.npz")
        np.savez(target, **{o.name: o.weights for o in outcomes})
        print(f"weights written to {target}")
    if args.plot:
        plot_pnl(outcomes, args.plot)
        print(f"chart written to {args.plot}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
