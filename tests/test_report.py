"""The diagnostics report (python -m Kalvoren.diagnostics)."""

import json
import subprocess
import sys

import numpy as np
import pytest


def report(*args):
    return subprocess.run([sys.executable, "-m", "Kalvoren.diagnostics", *args],
                          capture_output=True, text=True, timeout=120)


def test_default_data_finds_what_was_planted():
    r = report("--json")
    assert r.returncode == 0, r.stderr
    out = json.loads(r.stdout)
    assert out["n"] == 160 and out["columns"]["x"] == ["const", "x1", "x2"]
    tests = out["tests"]
    assert all(t["status"] == 0 for t in tests.values())
    # AR(1) errors, heteroskedasticity in x1 and a slope break at t = 100
    for tid in ("breusch_godfrey", "ljung_box", "breusch_pagan", "chow"):
        assert tests[tid]["reject"] is True, tid
    table = report()
    assert table.returncode == 0
    assert "breusch_godfrey" in table.stdout and "jarque_bera" in table.stdout


def test_csv_input_matches_statsmodels(tmp_path, rng):
    sm = pytest.importorskip("statsmodels.api")
    from statsmodels.stats.diagnostic import acorr_ljungbox
    n = 80
    x = rng.normal(size=(n, 2))
    y = 1.0 + x @ [0.5, -2.0] + rng.normal(size=n)
    path = tmp_path / "d.csv"
    np.savetxt(path, np.column_stack([y, x]), delimiter=",", header="y,a,b", comments="")
    r = report(str(path), "--y", "y", "--x", "a", "b", "--json", "--lags", "3", "--break", "40")
    assert r.returncode == 0, r.stderr
    out = json.loads(r.stdout)
    resid = sm.OLS(y, sm.add_constant(x)).fit().resid
    lb = acorr_ljungbox(resid, lags=[3])
    assert out["tests"]["ljung_box"]["statistic"] == pytest.approx(float(lb["lb_stat"].iloc[0]), rel=1e-9)
    assert out["model"]["break_position"] == 40


@pytest.mark.parametrize("args, text", [
    (["/nonexistent.csv", "--y", "y", "--x", "a"], "cannot read"),
    (["{csv}", "--y", "y", "--x", "zzz"], "no column 'zzz'"),
    (["{csv}", "--y", "y", "--x", "word"], "not numeric"),
    (["{csv}", "--y", "y", "--x", "gap"], "missing or non-finite"),
    (["{short}", "--y", "y", "--x", "a"], "too few observations"),
    (["--lags", "zero"], "invalid int value"),
])
def test_bad_input_is_one_line_with_status_2(tmp_path, args, text):
    good = tmp_path / "g.csv"
    lines = ["y,a,word,gap"] + [f"{i % 7},{i * 0.5},{'x' if i == 3 else i},{'' if i == 5 else i}"
                                for i in range(30)]
    good.write_text("\n".join(lines) + "\n")
    short = tmp_path / "s.csv"
    short.write_text("y,a\n1,2\n3,4\n5,7\n")
    args = [a.format(csv=good, short=short) for a in args]
    r = report(*args)
    assert r.returncode == 2
    assert r.stdout == ""
    assert len(r.stderr.strip().splitlines()) == 1 and text in r.stderr
    assert "Traceback" not in r.stderr


def test_plot_written(tmp_path):
    pytest.importorskip("matplotlib")
    png = tmp_path / "cusum.png"
    r = report("--plot", str(png))
    assert r.returncode == 0, r.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
