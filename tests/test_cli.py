"""The tessaline-evaluate main job on small embedded data."""

import json

import numpy as np
import pytest

from tessaline import cli, demo
from tessaline.functions._typed_shapes import FunctionGraphNode as N
from tessaline.functions import builtins as B
from tessaline.functions.graph_files import dump_graph

SMALL = ["--days", "260", "--instruments", "30", "--minutes", "1500",
         "--minute-instruments", "4"]


def test_market_file_round_trip(tmp_path):
    market = demo.daily_market(40, 6, signals=3, seed=1)
    path = tmp_path / "m.npz"
    demo.save_market(market, path)
    loaded = demo.load_market(str(path))
    assert list(loaded.features) == list(market.features)
    for name, arr in market.features.items():
        np.testing.assert_array_equal(loaded.features[name], arr)
    np.testing.assert_array_equal(loaded.universe, market.universe)
    assert loaded.column_labels == ["gross_returns", "net_returns"]
    assert list(loaded.signals) == list(market.signals)
    for sid, sig in market.signals.items():
        np.testing.assert_array_equal(loaded.signals[sid].weights, sig.weights)
        np.testing.assert_array_equal(loaded.signals[sid].pnl, sig.pnl)
        assert loaded.signals[sid].metadata == sig.metadata


def test_bad_market_file(tmp_path, capsys, ee):
    path = tmp_path / "bad.npz"
    np.savez(path, x=np.zeros(3))
    assert cli.main(["--data", str(path)]) == 2
    assert "array 'x' is not a 2-D numeric feature matrix" in capsys.readouterr().err


def test_default_run_reports_every_path(capsys, ee):
    assert cli.main(SMALL) == 0
    out = capsys.readouterr()
    lines = out.out.splitlines()
    assert lines[0].split()[:3] == ["graph", "path", "shape"]
    rows = {line.split()[0]: line for line in lines[2:]}
    assert set(rows) == {d.name for d in demo.demo_graphs()}
    assert [rows[name].split()[1] for name in ("leaf_returns", "rank_volume", "rank_x_rank")] == [
        "leaf", "rank", "rank_multiply"]
    assert "general" in rows["daily_std_of_mean"] and "260x30" in rows["daily_std_of_mean"]
    assert "general" in rows["sharpe_weighted_pool"]
    assert "1500x4" in rows["minute_zscore_of_mean"]  # too short for the longitudinal path
    assert "[" in out.err and "8/8" in out.err


def test_graph_files_data_out_and_missing_plot(tmp_path, capsys, ee, monkeypatch):
    data = tmp_path / "m.npz"
    demo.save_market(demo.daily_market(80, 10, signals=3, seed=5), data)
    g1, g2 = tmp_path / "mean.json", tmp_path / "bad.json"
    dump_graph(N("rotation", B.ROLLING_MEAN, [N("feature", "returns"), N("int", 5)]), g1)
    g2.write_text(json.dumps({"type": "feature", "node": "nope"}))
    assert cli.main([str(g1), "--data", str(data), "--out", str(tmp_path / "o")]) == 0
    weights = np.load(tmp_path / "o" / "weights.npz")["mean"]
    assert weights.shape == (80, 10) and np.isnan(weights[:4]).all()
    assert cli.main([str(g2), "--data", str(data)]) == 2
    assert "feature(s) not in the data: nope" in capsys.readouterr().err
    monkeypatch.setitem(__import__("sys").modules, "matplotlib", None)
    with pytest.raises(SystemExit, match="needs matplotlib"):
        cli.main([str(g1), "--data", str(data), "--plot", str(tmp_path / "p.png")])


def test_plot_written_when_matplotlib_present(tmp_path, ee):
    pytest.importorskip("matplotlib")
    target = tmp_path / "pnl.png"
    assert cli.main(SMALL + ["--plot", str(target)]) == 0
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_module_entry_point_runs_the_main_job():
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-m", "tessaline", "--help"], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0 and "tessaline-evaluate" in done.stdout
    assert "--data FILE.npz" in done.stdout and "--plot FILE.png" in done.stdout
