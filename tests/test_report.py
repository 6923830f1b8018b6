"""kalvoren-diag (python -m Kalvoren.diagnostics): files as people have them,
validation, output formats."""

import contextlib
import io
import json
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from Kalvoren import diagnostics


def report(*args, stdin=None):
    """Runs the command in this process (standard input: in a child process)."""
    if stdin is not None:
        return subprocess.run(
            [sys.executable, "-m", "Kalvoren.diagnostics", *map(str, args)],
            capture_output=True,
            text=True,
            input=stdin,
            timeout=120,
        )
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            code = diagnostics.main([str(a) for a in args])
        except SystemExit as e:  # --help
            code = e.code
    return subprocess.CompletedProcess(args, code, out.getvalue(), err.getvalue())


def test_default_data_finds_what_was_planted():
    r = subprocess.run(
        [sys.executable, "-m", "Kalvoren.diagnostics", "--format", "json"],
        capture_output=True,
        text=True,
        timeout=120,
    )
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


@pytest.fixture
def frame(rng):
    n = 80
    x = rng.normal(size=(n, 2))
    y = 1.0 + x @ [0.5, -2.0] + rng.normal(size=n)
    dates = pd.date_range("2001-01-01", periods=n, freq="MS")
    return pd.DataFrame(
        {"date": dates.strftime("%Y-%m-%d"), "real cons": y, "a": x[:, 0], "b": x[:, 1]}
    )


def test_dialects_encodings_and_formats_agree(tmp_path, frame):
    """The same data as plain CSV, Excel-style CSV (BOM, semicolons, decimal
    commas, trailing blank lines), tab-separated Latin-1, stdin, Parquet and
    Stata give the same statistics."""
    plain = tmp_path / "plain.csv"
    frame.to_csv(plain, index=False)
    excel = tmp_path / "excel.csv"
    excel.write_bytes(
        b"\xef\xbb\xbf" + frame.to_csv(index=False, sep=";", decimal=",").encode() + b"\n\n;;;\n"
    )
    latin = tmp_path / "latin.tsv"
    frame.rename(columns={"a": "á"}).to_csv(latin, index=False, sep="\t", encoding="latin-1")
    pq = tmp_path / "d.parquet"
    frame.to_parquet(pq)
    dta = tmp_path / "d.dta"
    frame.rename(columns={"real cons": "realcons"}).to_stata(dta, write_index=False)
    base = ["--y", "real cons", "--x", "a", "b", "--format", "json", "--lags", "3"]
    runs = {
        "plain": report(plain, *base),
        "excel": report(excel, *base, "--decimal", ","),
        "latin": report(
            latin,
            "--y",
            "real cons",
            "--x",
            "á",
            "b",
            "--format",
            "json",
            "--lags",
            "3",
            "--encoding",
            "latin-1",
        ),
        "stdin": report("-", *base, stdin=plain.read_text()),
        "parquet": report(pq, *base),
        "stata": report(dta, "--y", "realcons", *base[2:]),
    }
    ref = json.loads(runs["plain"].stdout)["tests"]
    for name, r in runs.items():
        assert r.returncode == 0, (name, r.stderr)
        tests = json.loads(r.stdout)["tests"]
        for tid, t in tests.items():
            assert t["statistic"] == pytest.approx(ref[tid]["statistic"], rel=1e-9), (name, tid)
    md = report(plain, *base[:5], "--format", "markdown")
    assert md.returncode == 0 and md.stdout.startswith("| test")
    csv_out = report(plain, *base[:5], "--format", "csv", "--alpha", "0.01")
    assert pd.read_csv(pd.io.common.StringIO(csv_out.stdout), index_col=0).shape[0] == 9
    dated = report(plain, *base, "--index", "date", "--break", "2004-01-01")
    assert json.loads(dated.stdout)["model"]["break_position"] == 36
    # dates stay dates in Parquet, as a column or as the file's own index;
    # integer labels beyond 2^53 name their own row
    stamped = frame.assign(date=pd.to_datetime(frame.date))
    big = frame.assign(date=2**60 + np.arange(len(frame)))
    for name, data, at in (
        ("s.parquet", stamped, "2004-01-01"),
        ("i.parquet", stamped.set_index("date"), "2004-01-01"),
        ("big.csv", big, str(2**60 + 36)),
    ):
        path = tmp_path / name
        data.to_csv(path, index=False) if name.endswith("csv") else data.to_parquet(path)
        out = report(path, *base, "--index", "date", "--break", at)
        assert json.loads(out.stdout)["model"]["break_position"] == 36, (name, out.stderr)


@pytest.mark.parametrize(
    "args, text",
    [
        (["/nonexistent.csv"], "cannot read"),
        (["{good}", "--x", "zzz"], "no column 'zzz'"),
        (["{good}", "--x", "word"], "line 5, column 'word': not a number"),
        (["{good}", "--x", "gap"], "line 7, column 'gap': missing"),
        (["{good}", "--x", "y"], "also among"),
        (["{good}", "--x", "a", "a"], "twice"),
        (["{dup}"], "duplicate columns"),
        (["{good}", "--break", "1"], "between 3 and 27"),
        (["{good}", "--lags", "40"], "--lags must be between"),
        (["{short}"], "too few observations"),
        (["{latin}"], "line 2 is not valid utf-8"),
        (["{good}", "--plot", "/nonexistent/p.png"], "cannot write"),
        (["{good}", "--plot", "noext"], "must end in"),
        (["--lags", "zero"], "invalid int value"),
        (["{dates}", "--x", "d"], "column 'd' holds dates or durations"),
        (["{euro}", "--decimal", ","], "line 22, column 'a': not a number: '2.626'"),
        (["{tail}"], "line 33, column 'y': missing or non-finite"),
        (["{labelled}", "--index", "word"], "line 32, column 'y': missing"),
        (["{mac}"], "carriage return alone"),
        (["{good}", "--decimal", "x"], "--decimal: must be one character"),
        (["{good}", "--encoding", "utf-16"], "does not start with BOM"),
        (["{cut}"], "cannot read it"),
    ],
)
def test_bad_input_is_one_line_with_status_2(tmp_path, args, text):
    lines = ["y,a,word,gap"] + [
        f"{i % 7},{i * 0.5 + (i % 3)},{'x' if i == 3 else i},{'' if i == 5 else i}"
        for i in range(30)
    ]
    files = {
        "good": tmp_path / "g.csv",
        "dup": tmp_path / "d.csv",
        "short": tmp_path / "s.csv",
        "latin": tmp_path / "l.csv",
    }
    files["good"].write_text("\n".join(lines) + "\n")
    # a last row with an infinite value; one with a label and no values
    files["tail"] = tmp_path / "t.csv"
    files["tail"].write_text("\n".join(lines) + "\n1,2,w,3\ninf,-inf,w,3\n")
    files["labelled"] = tmp_path / "n.csv"
    files["labelled"].write_text("\n".join(lines) + "\n,,z,\n")
    files["dates"] = tmp_path / "d.parquet"
    pd.DataFrame({"y": range(30), "a": range(30), "d": pd.date_range("2000", periods=30)}).assign(
        y=lambda d: d.y % 7
    ).to_parquet(files["dates"])
    files["mac"] = tmp_path / "m.csv"
    files["mac"].write_text("\r".join(lines) + "\r")
    files["cut"] = tmp_path / "c.dta"
    pd.DataFrame({"y": [1.0, 2.0], "a": [3.0, 4.0]}).to_stata(files["cut"], write_index=False)
    files["cut"].write_bytes(files["cut"].read_bytes()[:100])
    files["euro"] = tmp_path / "e.csv"
    files["euro"].write_text(
        "y;a\n" + "\n".join(f"{i % 5},5;{i}" for i in range(20)) + "\n1;2.626\n"
    )
    files["dup"].write_text("y,a,a\n1,2,3\n")
    files["short"].write_text("y,a\n1,2\n3,4\n5,7\n")
    files["latin"].write_bytes(b"y,a\n\xe9,1\n")
    argv = [a.format(**files) for a in args]
    if args[0] != "--lags":
        argv += ["--y", "y"] + ([] if "--x" in argv else ["--x", "a"])
    r = report(*argv)
    assert r.returncode == 2
    assert r.stdout == ""
    assert len(r.stderr.strip().splitlines()) == 1 and text in r.stderr, r.stderr
    assert "Traceback" not in r.stderr


def test_dropna_and_plot(tmp_path):
    pytest.importorskip("matplotlib")
    path = tmp_path / "g.csv"
    path.write_text(
        "y,a\n"
        + "\n".join(f"{i % 5},{'' if i == 4 else i * 1.5 + i % 3}" for i in range(40))
        + "\n"
    )
    svg = tmp_path / "paths.svg"
    r = report(path, "--y", "y", "--x", "a", "--dropna", "--plot", svg)
    assert r.returncode == 0, r.stderr
    assert "dropped 1 rows" in r.stderr and "n = 39" in r.stdout
    assert svg.read_text().lstrip().startswith("<?xml")


def test_help_shows_defaults():
    r = report("--help")
    assert r.returncode == 0
    for text in ("default: 4", "0-based", "default: 0.05", "default: table"):
        assert text in r.stdout, text
