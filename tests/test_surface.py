"""What users meet around the numbers: pandas and statsmodels semantics
(index alignment, fitted designs, weighted fits, break labels), warnings for
results that stand with a caveat, the command line's faults, and the set-up
scripts' Python versions."""

import contextlib
import errno
import io
import json
import os
import pathlib
import subprocess
import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import Kalvoren
from Kalvoren import diagnostics

ROOT = pathlib.Path(__file__).resolve().parents[1]


@pytest.fixture(scope="module")
def macro():
    d = sm.datasets.macrodata.load_pandas().data
    return d["realcons"], d[["realgdp", "realinv"]]


def caught(fn, *a, **kw):
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        out = fn(*a, **kw)
    return out, [str(x.message) for x in w if issubclass(x.category, Kalvoren.KalvorenWarning)]


# ------------------------------------------------------- pandas, statsmodels


def test_pandas_inputs_pair_by_label(macro):
    y, X = macro
    ref = sm.OLS(y, sm.add_constant(X)).fit()
    r = Kalvoren.diagnose(y.sort_values(), X)
    assert r.r2 == pytest.approx(ref.rsquared, rel=1e-12)  # 0.99847, not 0.99826
    # rows follow y's order: the same as giving X in that order
    same = Kalvoren.diagnose(y.sort_values(), X.loc[y.sort_values().index])
    assert r.tests["breusch_godfrey"].statistic == same.tests["breusch_godfrey"].statistic
    assert list(r.index) == list(y.sort_values().index)


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda y: y.set_axis(y.index + 1000), "different index labels"),
        (lambda y: y.iloc[:-3], "cannot be aligned"),
        (lambda y: y.set_axis([0] * len(y)), "repeated labels"),
    ],
)
def test_indexes_that_cannot_pair_are_named(macro, change, message):
    y, X = macro
    with pytest.raises(ValueError, match=message):
        Kalvoren.diagnose(change(y), X)


def test_fitted_ols_design_is_used_as_fitted(macro):
    y, X = macro
    no_const = sm.OLS(y, X).fit()
    r = Kalvoren.diagnose(no_const)
    assert r.x_names == ["realgdp", "realinv"] and r.k == 2
    assert r.r2 == pytest.approx(no_const.rsquared, rel=1e-12)  # uncentered, as fitted
    np.testing.assert_allclose(r.params.to_numpy(), no_const.params.to_numpy(), rtol=1e-10)
    with_const = Kalvoren.diagnose(sm.OLS(y, sm.add_constant(X)).fit(), add_constant=False)
    assert with_const.k == 3 and with_const.x_names[0] == "const"


@pytest.mark.parametrize(
    "fit",
    [
        lambda y, X: sm.WLS(y, X, weights=np.arange(1.0, len(y) + 1)).fit(),
        lambda y, X: sm.GLS(y, X, sigma=np.arange(1.0, len(y) + 1)).fit(),
        lambda y, X: sm.GLSAR(y, X, rho=1).iterative_fit(2),
    ],
    ids=["WLS", "GLS", "GLSAR"],
)
def test_weighted_fits_are_refused(macro, fit):
    y, X = macro
    with pytest.raises(TypeError, match="not an OLS fit.*wendog"):
        Kalvoren.diagnose(fit(y, sm.add_constant(X)))


def test_break_label_and_break_at(macro):
    y, X = macro
    years = pd.Index(range(1800, 1800 + len(y)), name="year")
    y, X = y.set_axis(years), X.set_axis(years)
    by_label = Kalvoren.diagnose(y, X, break_label=1900)
    assert by_label.t_break == 100 and by_label.break_at == 1900
    assert Kalvoren.diagnose(y, X, break_at=100).tests["chow"] == by_label.tests["chow"]
    assert Kalvoren.chow(y, X, break_label=1900) == by_label.tests["chow"]
    assert "break_label" in str(__import__("inspect").signature(Kalvoren.chow))
    dated = Kalvoren.diagnose(
        y.set_axis(pd.date_range("1959", periods=len(y), freq="QS")), X.values
    )
    assert dated.tests["chow"].status == 0


@pytest.mark.parametrize(
    "kw, error, message",
    [
        ({"break_label": 1900, "break_at": 3}, TypeError, "together"),
        ({"break_label": 1700}, ValueError, "not a label"),
        ({"break_label": 1801}, ValueError, "break_label 1801 .position 1. leaves"),
    ],
)
def test_break_label_mistakes(macro, kw, error, message):
    y, X = macro
    years = pd.Index(range(1800, 1800 + len(y)))
    with pytest.raises(error, match=message):
        Kalvoren.diagnose(y.set_axis(years), X.set_axis(years), **kw)
    with pytest.raises(TypeError, match="no index"):
        Kalvoren.diagnose(y.to_numpy(), X.to_numpy(), break_label=1900)


# ------------------------------------------------------------------ warnings


def _collinear(rng, n=60):
    x1 = rng.normal(size=n)
    X = np.column_stack([x1, 2 * x1, rng.normal(size=n)])
    return 1 + x1 + rng.normal(size=n), X


def _segment_dummy(rng, n=40):
    X = np.column_stack([rng.normal(size=n), np.r_[np.zeros(n // 2), rng.normal(size=n // 2)]])
    return X @ [1.0, 1.0] + rng.normal(size=n), X


@pytest.mark.parametrize(
    "case, kw, text, tests",
    [
        (_collinear, {"hac_lags": 200}, "hac_lags 200 clamped to n - 1 = 59", ["hac_wald"]),
        (_collinear, {}, "dropped as collinear", []),
        (_segment_dummy, {"break_at": 20}, "least-squares route", ["chow"]),
        (
            lambda rng: (rng.normal(size=12), rng.normal(size=(12, 2))),
            {"lags": 1},
            "n = 12: few observations",
            ["ljung_box"],
        ),
    ],
    ids=["clamped", "dropped", "least-squares", "few"],
)
def test_caveats_warn_and_note(rng, case, kw, text, tests):
    y, X = case(rng)
    r, warned = caught(Kalvoren.diagnose, y, X, **kw)
    assert any(text in w for w in warned), warned
    assert r.warnings == warned
    for tid in tests:
        assert text in r.tests[tid].note
    # the warning points at the caller's line
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        Kalvoren.diagnose(y, X, **kw)
    assert {x.filename for x in w} == {__file__}


@pytest.mark.parametrize(
    "kw, tid, noted",
    [
        ({"bg_form": "f"}, "breusch_godfrey", False),  # an F p-value
        ({}, "breusch_godfrey", True),
        ({"hac_pvalue": "chi2"}, "hac_wald", True),
        ({"cov_type": "HC1"}, "hac_wald", True),
        ({}, "hac_wald", False),  # fixed-b
    ],
)
def test_few_observations_follow_the_reference_the_p_value_came_from(rng, kw, tid, noted):
    X = rng.normal(size=(15, 2))
    r, _ = caught(Kalvoren.diagnose, X.sum(1) + rng.normal(size=15), X, lags=2, **kw)
    assert ("few observations" in r.tests[tid].note) == noted


def test_an_option_a_group_does_not_fit_is_noted_on_the_tests_it_concerns(rng):
    fr = pd.DataFrame({"g": np.repeat([0, 1], [10, 40]), "x": rng.normal(size=50)})
    fr["y"] = fr.x + rng.normal(size=50)
    tests = ["hac_wald", "breusch_godfrey", "chow", "jarque_bera"]
    m, _ = caught(
        Kalvoren.diagnose_many, fr, by="g", y="y", x=["x"], tests=tests, lags=8, break_at=8,
        shape="long",
    )  # fmt: skip
    note = m[m.g == 0].set_index("test").note
    assert "lags must be below" in note["breusch_godfrey"]
    assert "break_at leaves" in note["chow"]
    assert note["hac_wald"] == note["jarque_bera"] == ""


def test_many_series_warn_once_per_kind(rng):
    parts = []
    for g in range(12):
        n = 15 if g % 2 else 40
        x = rng.normal(size=n)
        parts.append(pd.DataFrame({"g": g, "y": x + rng.normal(size=n), "a": x}))
    df = pd.concat(parts, ignore_index=True)
    res, warned = caught(Kalvoren.diagnose_many, df, by="g", y="y", x=["a"], hac_lags=20)
    assert len(warned) == 2, warned
    assert any(w.startswith("6 of 12 groups: the HAC bandwidth clamped") for w in warned)
    assert res.loc[1, "note"].count("clamped to n - 1 = 14") == 1
    one = Kalvoren.diagnose(df[df.g == 1].y, df[df.g == 1][["a"]], hac_lags=20)
    assert "clamped" in one.tests["hac_wald"].note


# ------------------------------------------------------------- command line


def cli(*args):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            code = diagnostics.main([str(a) for a in args])
        except SystemExit as e:
            code = e.code
    return code, out.getvalue(), err.getvalue()


def refused(args, text):
    code, out, err = cli(*args)
    assert (code, out) == (2, ""), (code, out, err)
    assert len(err.strip().splitlines()) == 1 and "Traceback" not in err
    assert text in err, err


@pytest.fixture
def data(tmp_path, rng):
    n = 40
    frame = pd.DataFrame(
        {
            "year": np.arange(1940, 1940 + n, dtype=float),
            "y": np.arange(n) * 0.5 + rng.normal(size=n),
            "a": rng.normal(size=n),
            "b": np.arange(n) * 0.3,
        }
    )
    path = tmp_path / "d.csv"
    frame.to_csv(path, index=False)
    return path


def _header_cut_at_64k(path, ys, xs):
    """A header whose first 64 KiB end in ",a": the cut of its last name "ab"
    (an old reader saw a duplicate "a" and no "ab")."""
    names = ["y", "a"]
    while len(",".join(names)) < (1 << 16) - 40:
        names.append(f"p{len(names)}")
    names.append("q" * ((1 << 16) - 2 - len(",".join(names) + ",")))
    names.append("ab")
    assert ",".join(names)[: 1 << 16].endswith(",a")
    zeros = ",".join(["0"] * (len(names) - 3))
    rows = [f"{b:.6f},1,{zeros},{a:.6f}" for a, b in zip(xs, ys)]
    path.write_text(",".join(names) + "\n" + "\n".join(rows) + "\n")


def test_long_headers_are_read_whole(tmp_path, rng):
    wide = tmp_path / "wide.csv"
    n, cols = 30, 100_000
    ys, xs = np.round(rng.normal(size=n), 6), np.round(rng.normal(size=n), 6)
    zeros = ",".join(["0"] * cols)
    body = "\n".join(f"{zeros},{a:.6f},{b:.6f}" for a, b in zip(xs, ys))
    wide.write_text(",".join(f"c{j}" for j in range(cols)) + ",x,y\n" + body + "\n")
    code, out, err = cli(wide, "--y", "y", "--x", "x", "--json")
    assert code == 0, err
    ref = Kalvoren.diagnose(ys, xs)
    assert json.loads(out)["tests"]["breusch_godfrey"]["statistic"] == pytest.approx(
        ref.tests["breusch_godfrey"].statistic, rel=1e-9
    )
    name = "n" * 100_000
    big = tmp_path / "big.csv"
    big.write_text(f"y,{name}\n" + "\n".join(f"{b:.6f},{a:.6f}" for a, b in zip(xs, ys)) + "\n")
    assert cli(big, "--y", "y", "--x", name)[0] == 0
    cut = tmp_path / "cut.csv"
    _header_cut_at_64k(cut, ys, xs)
    code, out, err = cli(cut, "--y", "y", "--x", "ab", "--json")
    assert code == 0, err
    assert json.loads(out)["tests"]["breusch_godfrey"]["statistic"] == pytest.approx(
        ref.tests["breusch_godfrey"].statistic, rel=1e-9
    )


@pytest.mark.parametrize(
    "args, text",
    [
        (["--plot", "{dir}/p.png"], "is a directory"),
        (["--plot", "/dev/full"], "not a regular file"),
        (["--sep", ",,"], "--sep ',,': a separator is one character"),
        (["--index", "y"], "--index 'y' is the --y column"),
        (["--index", "a"], "--index 'a' is among the --x columns"),
        (["--x", "a", "a"], "--x names the column 'a' twice"),
        (["--break", "1985", "--index", "year"], "not one label of --index (1940 ... 1979)"),
        (["--break", str(2**64)], "(got 18446744073709551616)"),
    ],
)
def test_faults_are_one_line(tmp_path, data, args, text):
    (tmp_path / "p.png").mkdir()
    args = [a.format(dir=tmp_path) for a in args]
    refused([data, "--y", "y", *([] if "--x" in args else ["--x", "a"]), *args], text)


@pytest.mark.parametrize(
    "content, x, text",
    [
        (
            "y,consommation_r\xe9elle\n1,2\n",
            ["consommation_réelle"],
            "line 1 (the header) is not valid utf-8",
        ),
        ("y,a\n1,2\n\n3,4,5\n6,7\n", ["a"], "line 4 has more fields than the header's 2"),
        ("y,a\n1,2,x\n3,4\n", ["a"], "line 2 has more fields"),
        ('y,a\n"1",2\n3,4,"5"\n', ["a"], "line 3 has more fields"),
        (
            "y,a\n1,2\n\n3," + "z" * 500 + "\n",
            ["a"],
            "line 4, column 'a': not a number: '" + "z" * 80 + "'...\n",
        ),
        ("y,a,b\n1,2,3\n", ["a", "b"], "n = 1 for k = 3"),
    ],
    ids=["latin-1 name", "wide row", "wide first row", "quoted", "long cell", "one row"],
)
def test_file_faults(tmp_path, content, x, text):
    path = tmp_path / "f.csv"
    path.write_bytes(content.encode("latin-1"))
    refused([path, "--y", "y", "--x", *x], text)


def test_write_failure_after_the_checks_leaves_nothing(tmp_path, data, monkeypatch):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    def full(self, *a, **kw):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(Figure, "savefig", full)
    target = tmp_path / "p.png"
    refused([data, "--y", "y", "--x", "a", "--plot", target], "No space left on device")
    assert sorted(os.listdir(tmp_path)) == ["d.csv"]
    monkeypatch.undo()
    code, out, _ = cli(data, "--y", "y", "--x", "a", "--plot", target)
    assert code == 0 and target.read_bytes().startswith(b"\x89PNG")
    assert (target.stat().st_mode & 0o777) == 0o666 & ~_umask()


def _umask():
    m = os.umask(0)
    os.umask(m)
    return m


def _json(out):
    return json.loads(out)


@pytest.mark.parametrize(
    "args, check",
    [
        (
            ["--x", "a", "b", "--index", "year", "--break", "1960", "--json"],
            lambda out: _json(out)["model"]["break_at"] == 1960,  # float years stay numbers
        ),
        (
            ["--x", "a", "b", "--index", "year", "--break", "1960", "--json", "{ints}"],
            lambda out: _json(out)["model"]["break_at"] == 1960,  # int years are no dates
        ),
        (
            ["--x", "a", "--hac-lags", str(2**63)],
            lambda out: "39 lags (9223372036854775808 asked: clamped to n - 1)" in out,
        ),
        (
            ["--x", "a", "--hac-lags", "100", "--json"],
            lambda out: (
                (_json(out)["model"]["hac_lags"], _json(out)["model"]["hac_lags_requested"])
                == (39, 100)
                and "hac_lags 100 clamped" in _json(out)["tests"]["hac_wald"]["note"]
            ),
        ),
        (["--x", "a", "--sep", r"\s+", "{ws}"], lambda out: "n = 40" in out),
        (["--x", "a", "--encoding", "utf-16", "{u16}"], lambda out: "n = 40" in out),
        (["--x", "a", "--format", "markdown"], lambda out: "nan" not in out and "| cusum" in out),
        (["--version"], lambda out: out == f"kalvoren-diag {Kalvoren.__version__}\n"),
        (["--help"], lambda out: "(default: None)" not in out and "(default: True)" not in out),
        (
            ["--x", "a", "--no-constant", "--tests", "chow", "--json"],
            lambda out: (
                _json(out)["columns"]["x"] == ["a"] and list(_json(out)["tests"]) == ["chow"]
            ),
        ),
    ],
    ids=[
        "float years",
        "int years",
        "hac 2^63",
        "hac clamped",
        "whitespace",
        "utf-16",
        "markdown",
        "version",
        "help",
        "no constant",
    ],
)
def test_outputs(tmp_path, data, args, check):
    files = {"ints": tmp_path / "i.csv", "ws": tmp_path / "ws.txt"}
    files["ints"].write_text(data.read_text().replace(".0,", ","))
    files["ws"].write_text(data.read_text().replace(",", "   "))
    files["u16"] = tmp_path / "u16.csv"
    files["u16"].write_bytes(data.read_text().encode("utf-16"))
    named = [a[1:-1] for a in args if a.startswith("{")]
    args = [a for a in args if not a.startswith("{")]
    source = files[named[0]] if named else data
    argv = args if args[0].startswith("--v") or args[0] == "--help" else [source, "--y", "y", *args]
    code, out, err = cli(*argv)
    assert code == 0, err
    assert check(out), out[-2000:]


# ---------------------------------------------------------------- set-up


def test_unsupported_python_is_refused_before_anything():
    r = subprocess.run(
        ["bash", "-c", f"source {ROOT}/scripts/env.sh"],
        env={**os.environ, "KVR_PYTHON": "3.11", "KVR_VENV": "/nonexistent/venv"},
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert r.returncode == 1 and "supports CPython 3.12 and 3.13" in r.stderr
    assert not os.path.exists("/nonexistent/venv")
    text = (ROOT / "pyproject.toml").read_text()
    assert 'requires-python = ">=3.12,<3.14"' in text
    assert "Python 3.12...<3.14" in (ROOT / "CMakeLists.txt").read_text()


@pytest.mark.parametrize("block", [5, 16, 1 << 22])
@pytest.mark.parametrize("seed", range(12))
def test_surplus_fields_are_found_whatever_the_block(monkeypatch, block, seed):
    """The CSV reader scans files a block at a time; the line it names must be
    the one the csv module finds reading the whole text."""
    import csv

    from Kalvoren import _cli

    r = np.random.default_rng(seed)
    quoted = seed % 4 == 3
    rows = []
    for _ in range(int(r.integers(1, 30))):
        width = 3 + int(r.random() < 0.08)
        cells = [f"{v:.3g}" for v in r.normal(size=width)]
        if width > 3 and r.random() < 0.3:
            cells[-1] = " "  # an empty field at the end is no surplus
        if quoted and r.random() < 0.3:
            cells[0] = '"1,5"'
        rows.append(",".join(cells))
    text = "y,a,b\n" + "\n".join(rows) + ("\n" if seed % 2 else "")
    expect = None
    for line, row in enumerate(csv.reader(io.StringIO(text)), start=1):
        if line > 1 and len(row) > 3 and any(f.strip() for f in row[3:]):
            expect = line
            break
    monkeypatch.setattr(_cli, "_BLOCK", block)
    assert _cli._surplus_line(io.BytesIO(text.encode()), ",", "utf-8", 3) == expect
