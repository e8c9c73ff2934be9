"""Many graphs against one context: a serial loop, local threads, a two-process Dask cluster.

    python benchmarks/bench_batch.py [--graphs N] [--days T] [--instruments N] [--workers K]
                                     [--mix all|fast|general]

The graphs are a mix of cross-sectional ranks and rank products (vectorised fast paths) and
rolling statistics and pool reductions (row-by-row general path) over a seeded synthetic
daily market (``--mix`` keeps one kind only). Every run evaluates the same graphs; the
speed-up is against the serial loop, and each time is the best of ``--repeat`` runs. The
cluster runs twice: once bringing every weights matrix back, once bringing back only a
per-graph summary (the Sharpe ratio of the next-row PnL), which is how a search over
candidate graphs would use it. Cluster start-up is reported apart and not counted.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np


def build(days, instruments):
    from tessaline import demo
    from tessaline.functions import builtins as B
    from tessaline.functions._typed_shapes import FunctionGraphNode as N
    from tessaline.functions.registry import default_registry
    from tessaline.simulator_engine import expression_evaluator as ee

    market = demo.daily_market(days, instruments, signals=8, seed=11)
    names = list(market.features)
    context = ee.EvaluationContext(
        tuple(market.features[n] for n in names), {n: i for i, n in enumerate(names)},
        useful_signals=market.signals, registry=default_registry(), universe=market.universe,
        column_labels=list(market.column_labels))

    def feat(name):
        return N("feature", name)

    def rot(fn, *kids):
        return N("rotation", fn, list(kids))

    pool = [d.graph for d in demo.demo_graphs()
            if d.name in ("sharpe_weighted_pool", "inverse_vol_top4")]
    families = [
        [rot(B.RANK, feat(n)) for n in names],
        [rot(B.PRODUCT, rot(B.RANK, feat(a)), rot(B.RANK, feat(b)))
         for a in names for b in names if a < b],
        [rot(B.ROLLING_STD, rot(B.ROLLING_MEAN, feat(n), N("int", short)), N("int", long))
         for n in ("returns", "close") for short in (5, 10) for long in (20, 60)],
        pool,
    ]
    return ee, context, families


def mix(families, count):
    """Round-robin over the families, so that every slice of the list has the same mix."""
    out, i = [], 0
    while len(out) < count:
        fam = families[i % len(families)]
        out.append(fam[(i // len(families)) % len(fam)])
        i += 1
    return out


def next_row_sharpe(weights, context):
    returns = context.features[context.feature_index["returns"]]
    w = np.nan_to_num(np.asarray(weights)[:-1])
    r = np.nan_to_num(returns[1:])
    gross = np.abs(w).sum(axis=1)
    pnl = np.divide((w * r).sum(axis=1), gross, out=np.zeros(len(w)), where=gross > 0)
    sd = pnl.std()
    return float(pnl.mean() / sd * np.sqrt(252)) if sd > 0 else 0.0


REPEAT = 3


def timed(fn, repeat=None):
    """Best of ``repeat`` runs (the machine may be shared), with the last run's output."""
    best, out = float("inf"), None
    for _ in range(repeat or REPEAT):
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
    return best, out


def same(a, b):
    return all(np.array_equal(x, y, equal_nan=True) for x, y in zip(a, b)) and len(a) == len(b)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--graphs", type=int, default=48)
    p.add_argument("--days", type=int, default=1260)
    p.add_argument("--instruments", type=int, default=300)
    p.add_argument("--workers", type=int, default=2)
    p.add_argument("--mix", choices=("all", "fast", "general"), default="all",
                   help="fast: ranks and rank products only; general: rolling statistics "
                        "and pool reductions only")
    p.add_argument("--repeat", type=int, default=3, help="report the best of this many runs")
    args = p.parse_args(argv)
    global REPEAT
    REPEAT = max(1, args.repeat)

    from tessaline.simulator_engine.batch import evaluate_many

    ee, context, families = build(args.days, args.instruments)
    families = {"all": families, "fast": families[:2], "general": families[2:]}[args.mix]
    graphs = mix(families, args.graphs)
    print(f"{len(graphs)} graphs ({args.mix}) against one context of {len(context.features)} features "
          f"{context.features[0].shape}, {len(context.useful_signals)} useful signals; "
          f"{os.cpu_count()} CPUs")

    ee.evaluate(graphs[0], context)  # warm-up: imports, first allocations
    rows = []
    t_serial, serial = timed(lambda: [np.asarray(ee.evaluate(g, context).weights)
                                      for g in graphs])
    rows.append(("serial loop", t_serial, True))
    t, out = timed(lambda: evaluate_many(graphs, context, workers=args.workers, progress=False))
    rows.append((f"local threads ({args.workers})", t, same(out, serial)))
    summaries = [next_row_sharpe(w, context) for w in serial]

    try:
        from distributed import Client, LocalCluster
    except ImportError:
        print("dask.distributed is not installed: cluster runs skipped "
              "(pip install 'tessaline[distributed]')")
        cluster = None
    else:
        t_start, cluster = timed(lambda: LocalCluster(
            n_workers=args.workers, threads_per_worker=1, processes=True, host="127.0.0.1",
            dashboard_address=":0", silence_logs=50), repeat=1)
    if cluster is not None:
        with cluster, Client(cluster) as client:
            client.run(lambda: __import__("tessaline.simulator_engine.expression_evaluator"))
            t, out = timed(lambda: evaluate_many(graphs, context, client=client,
                                                 progress=False))
            rows.append((f"Dask cluster, {args.workers} processes, weights back", t,
                         same(out, serial)))
            t, out = timed(lambda: evaluate_many(graphs, context, client=client,
                                                 summarize=next_row_sharpe, progress=False))
            rows.append((f"Dask cluster, {args.workers} processes, summaries back", t,
                         out == summaries))
        print(f"(cluster start-up {t_start:.2f} s, not counted)")

    width = max(len(r[0]) for r in rows)
    print(f"{'run':<{width}}  {'seconds':>8}  {'speed-up':>8}  same results")
    for name, seconds, ok in rows:
        print(f"{name:<{width}}  {seconds:8.3f}  {t_serial / seconds:7.2f}x  "
              f"{'yes' if ok else 'NO'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
