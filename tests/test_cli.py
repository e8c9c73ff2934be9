"""The tessaline-evaluate main job on small embedded data."""

import importlib.metadata
import json
import os
import re
import subprocess
import sys
import zipfile

import numpy as np
import pytest
import structlog

from tessaline import cli, demo
from tessaline.functions._typed_shapes import FunctionGraphNode as N
from tessaline.functions import builtins as B
from tessaline.functions.graph_files import dump_graph, graph_to_dict

SMALL = ["--days", "260", "--instruments", "30", "--minutes", "1500",
         "--minute-instruments", "4"]


@pytest.fixture(autouse=True)
def default_logging():
    yield
    structlog.reset_defaults()  # main() configures the process's log output


@pytest.fixture
def data(tmp_path):
    path = tmp_path / "m.npz"
    demo.save_market(demo.daily_market(40, 6, signals=3, seed=1), path)
    return path


def graph_file(path, graph=None):
    path.parent.mkdir(parents=True, exist_ok=True)
    dump_graph(graph or N("rotation", B.ROLLING_MEAN, [N("feature", "returns"), N("int", 5)]),
               path)
    return str(path)


def test_default_run_reports_every_path_and_plots(tmp_path, capsys, ee):
    pytest.importorskip("matplotlib")
    target = tmp_path / "pnl.png"
    assert cli.main(SMALL + ["--plot", str(target)]) == 0
    out = capsys.readouterr()
    lines = out.out.splitlines()
    assert re.split(r"\s{2,}", lines[0]) == ["graph", "path", "shape", "seconds", "NaN share",
                                             "gross", "net", "turnover", "Sharpe", "max DD"]
    rows = {r[0]: r for r in (re.split(r"\s{2,}", line) for line in lines[2:-1])}
    assert {name: r[1] for name, r in rows.items()} == {  # 1500 rows: too short to be longitudinal
        "leaf_returns": "leaf", "rank_volume": "rank",
        "rank_x_rank": "rank_multiply", "minute_zscore_of_mean": "general",
        "daily_std_of_mean": "general", "sharpe_weighted_pool": "general",
        "inverse_vol_top4": "general", "pipeline_demeaned_rank": "general"}
    for name in ("rank_volume", "rank_x_rank", "daily_std_of_mean"):  # held dollar-neutral
        assert rows[name][2] == "260x30" and rows[name][6] == "0.000"
    assert "\r" not in out.err and "evaluating 8 graphs: 100%" in out.err
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def _damage(path, how):
    good = path.read_bytes()
    if how == "not a zip":
        path.write_bytes(b"\x80\x04K\x01.")  # a pickle
    elif how == "truncated":
        path.write_bytes(good[:len(good) // 2])
    elif how == "npy renamed":
        np.save(open(path, "wb"), np.zeros((3, 3)))
    else:
        np.savez(path, returns=np.zeros((3, 3)), **{how: np.array("{bad")
                 if "metadata" in how else np.ones(2)})


@pytest.mark.parametrize("how, problem", [
    ("not a zip", "not a market file"), ("truncated", "not a market file"),
    ("npy renamed", "not a market file"),
    ("periods_per_year", "'periods_per_year' must be a single number"),
    ("signal:s:metadata", "'signal:s:metadata': Expecting property name"),
])
def test_bad_market_file_is_one_line_naming_file_and_key(data, capsys, ee, how, problem):
    _damage(data, how)
    assert cli.main(["--data", str(data)]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"tessaline-evaluate: {data}: ") and err.count("\n") == 1
    assert problem in err


@pytest.mark.parametrize("argv, message", [
    (["--days", "0"], "argument --days: must be at least 2; got 0"),
    (["--seed", "-1"], "argument --seed: must be at least 0; got -1"),
    (["--workers", "two"], "argument --workers: invalid int: 'two'"),
    (["--workers", "2", "--scheduler", "x"], "--scheduler: not allowed with argument --workers"),
    (["/dev/zero"], "/dev/zero: $: file is larger than 64 MiB"),
    (["--timeout", "3"], "--timeout applies to --scheduler only"),
    (["--plot", "p.png"], "--plot needs matplotlib: pip install 'tessaline[plot]'"),
    (["--version"], f"tessaline-evaluate {importlib.metadata.version('tessaline')}\n"),
])
def test_usage_errors_exit_2_before_any_work(capsys, ee, monkeypatch, argv, message):
    monkeypatch.setattr(demo, "daily_market", None)  # generating data would fail
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    try:
        assert cli.main(argv) == 2
    except SystemExit as stop:
        assert stop.code == (0 if argv == ["--version"] else 2)
    printed = capsys.readouterr()
    assert message in printed.err + printed.out


def test_out_keeps_every_graph_whatever_its_file_name(tmp_path, data, capsys, ee, monkeypatch):
    names = ["file.json", "allow_pickle.json", "a/g.json", "b/g.json"]
    graphs = [graph_file(tmp_path / n, N("rotation", B.ROLLING_MEAN, [
        N("feature", "returns"), N("int", k + 2)])) for k, n in enumerate(names)]
    argv, target = graphs + ["--data", str(data), "--out", str(tmp_path)], tmp_path / "weights.npz"
    assert cli.main(argv) == 0
    with np.load(target) as got:
        assert got.files == ["file", "allow_pickle", "g", "g_2", "metadata"]
        meta = json.loads(str(got["metadata"]))
        for k, key in enumerate(got.files[:-1]):  # window k + 2: k + 1 warm-up rows
            assert np.isnan(got[key][:k + 1]).all() and not np.isnan(got[key][k + 1]).all()
            entry = meta["graphs"][key]
            assert (entry["source"], entry["path"]) == (graphs[k], "general")
            assert entry["graph"] == graph_to_dict(cli.load_graph(graphs[k]))
    assert (meta["data"], meta["seed"]) == (str(data), None)
    assert {m.compress_type for m in zipfile.ZipFile(target).infolist()} == {zipfile.ZIP_DEFLATED}
    before, files = target.read_bytes(), sorted(tmp_path.iterdir())

    def disk_full(fh, *args, **kwargs):
        fh.write(b"\0" * 100)
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(np.lib.format, "write_array", disk_full)
    assert cli.main(argv) == 1 and "No space left on device" in capsys.readouterr().err
    assert target.read_bytes() == before and sorted(tmp_path.iterdir()) == files


@pytest.mark.parametrize("mode", [[], ["--workers", "2"]])
def test_failing_graphs_fail_alone_in_one_line(tmp_path, data, capsys, ee, monkeypatch, mode):
    build = cli.build_context  # the graph over the signal pool gets a context of its own

    def build_or_fail(ee_, job, registry):
        if job.name == "bad":
            raise ValueError("no context for this one")
        return build(ee_, job, registry)

    monkeypatch.setattr(cli, "build_context", build_or_fail)
    pool = next(d.graph for d in demo.demo_graphs() if d.name == "sharpe_weighted_pool")
    huge = N("rotation", B.ROLLING_MEAN, [N("feature", "returns"), N("int", 2**63)])
    graphs = [graph_file(tmp_path / "good.json"), graph_file(tmp_path / "bad.json", pool),
              graph_file(tmp_path / "w.json", huge)]
    assert cli.main(graphs + ["--data", str(data)] + mode) == 1
    out = capsys.readouterr()
    assert "bad: ValueError: no context for this one\n" in out.err
    assert f"w: ValueError: window must be at most {2**63 - 1}; got {2**63}\n" in out.err
    assert "incompatible" not in out.err  # no signature dump of the binding
    assert [line.split()[0] for line in out.out.splitlines()[2:]] == ["good"]


def test_data_says_which_graphs_it_cannot_run(tmp_path, capsys, ee):
    path = tmp_path / "plain.npz"
    demo.save_market(demo.daily_market(30, 5, signals=0), path)
    assert cli.main(["--data", str(path)]) == 0
    err = capsys.readouterr().err
    assert f"{path}: cannot run minute_zscore_of_mean: feature(s) not in the data: " \
           "minute_returns\n" in err
    for name in ("sharpe_weighted_pool", "inverse_vol_top4"):
        assert f"cannot run {name}: needs useful signals" in err
    pool = next(d.graph for d in demo.demo_graphs() if d.name == "sharpe_weighted_pool")
    files = [graph_file(tmp_path / "p.json", pool), graph_file(tmp_path / "m.json"),
             graph_file(tmp_path / "x.json", N("feature", "nope"))]
    assert cli.main(files + ["--data", str(path)]) == 2  # every file that cannot run is named
    assert capsys.readouterr().err.splitlines() == [
        f"tessaline-evaluate: {files[0]}: $: needs useful signals (signal:<id>:weights|pnl|"
        "metadata arrays); the data has none",
        f"tessaline-evaluate: {files[2]}: $: feature(s) not in the data: nope",
        f"tessaline-evaluate: 2 of 3 graph file(s) cannot run on {path}"]


def test_report_figures():
    """Two instruments, long one and short the other, switching sides on the last row."""
    market = demo.Market("m", {"r": np.array([[0.0, 0.0], [0.02, -0.02], [0.01, 0.03]])}, "r",
                         4.0)
    w = np.array([[2.0, -2.0], [1.0, -1.0], [np.nan, np.nan], [-1.0, np.nan]])
    market.features["r"] = np.vstack([market.features["r"], [[0.0, 0.0]]])
    row = cli.summarise(cli.Outcome("g", market, "general", w, 0.5))
    # live rows 0, 1, 3: gross (4 + 2 + 1) / 3, net (0 + 0 - 1) / 3; unit-gross turnover
    # 0, then |-1 - 0.5| + |0 + 0.5| = 2 between live rows 1 and 3: mean 1
    # PnL per row: 0.5 * 0.02 + 0.5 * 0.02 = 0.02, then 0.5 * 0.01 - 0.5 * 0.03 = -0.01, 0
    pnl = np.array([0.02, -0.01, 0.0])
    assert row == {"graph": "g", "path": "general", "shape": "4x2", "seconds": "0.500",
                   "NaN share": "0.375", "gross": "2.333", "net": "-0.333",
                   "turnover": "1.000", "Sharpe": f"{pnl.mean() / pnl.std() * 2:.2f}",
                   "max DD": "0.010"}


@pytest.mark.parametrize("stderr", [None, "/dev/full"])  # closed, or every write failing
def test_closed_stderr_still_prints_results(tmp_path, data, capsys, ee, monkeypatch, stderr):
    monkeypatch.setattr(sys, "stderr", stderr and open(stderr, "w", buffering=1))
    assert cli.main([graph_file(tmp_path / "g.json"), "--data", str(data), "-v"]) == 0
    assert capsys.readouterr().out.splitlines()[2].startswith("g ")


def test_reader_gone_ends_quietly():  # `tessaline-evaluate --list-functions | head`
    read_end, write_end = os.pipe()
    os.close(read_end)
    run = subprocess.run([sys.executable, "-m", "tessaline.cli", "--list-functions"],
                         stdout=write_end, stderr=subprocess.PIPE, text=True)
    os.close(write_end)
    assert (run.returncode, run.stderr) == (1, "")
