"""kalvoren-diag's CSV reader against references of its own: the csv module
finds the first line with surplus fields, pandas reading only the used columns
gives the values; and what the command hands diagnose."""

import csv
import io
import json

import numpy as np
import pandas as pd
import pytest

from Kalvoren import _cli, diagnostics

# sep, decimal, encoding, byte-order mark
DIALECTS = [
    (",", ".", "utf-8", False),
    (";", ",", "utf-8", True),
    ("\t", ".", "latin-1", False),
    ("|", ".", "utf-8", False),
]


def _random_text(r, sep, decimal, width):
    """A header of `width` names (y and a among them, quoted or not) and rows
    that are short, blank, quoted, or carry surplus fields (empty ones too) now
    and then."""
    names = ["y", "a"] + [f"u{j}" for j in range(width - 2)]
    r.shuffle(names)
    quote = '"' if r.random() < 0.4 else ""  # R quotes the names
    quoted_cells = 0.15 * (r.random() < 0.5)
    rows = [sep.join(quote + c + quote for c in names)]
    for _ in range(int(r.integers(2, 40))):
        u = r.random()
        if u < 0.05:
            rows.append("")
            continue
        k = width - 1 if u < 0.1 else width + (u > 0.94) + (u > 0.97)
        cells = [f"{v:.4f}".replace(".", decimal) for v in r.normal(size=k)]
        if k > width and r.random() < 0.4:
            cells[width:] = [" "] * (k - width)  # empty fields at the end are no surplus
        if r.random() < quoted_cells:
            cells[0] = '"' + cells[0] + '"'
        if r.random() < quoted_cells / 3:
            cells[-1] = '"é ' + sep + '"'  # a separator inside quotes
        rows.append(sep.join(cells))
    return "\n".join(rows) + ("\n" if r.random() < 0.8 else "")


def _reference(text, sep, decimal, width):
    """("line", n) for the first line with surplus fields, else ("frame", df)."""
    reader = csv.reader(io.StringIO(text), delimiter=sep)
    next(reader)
    for fields in reader:
        if len(fields) > width and any(f.strip() for f in fields[width:]):
            return "line", reader.line_num
    cols = ["y", "a"]
    df = pd.read_csv(io.StringIO(text), sep=sep, decimal=decimal, usecols=cols, index_col=False)
    return "frame", df[cols]


@pytest.mark.parametrize("dialect", DIALECTS, ids=lambda d: repr(d[0]))
@pytest.mark.parametrize("seed", range(15))
def test_reader_agrees_with_the_csv_module_and_pandas(tmp_path, dialect, seed):
    """Widths 2..7 for the columns y and a: pandas' own count of fields (few
    unused columns) and the scan (many) must both give the reference."""
    sep, decimal, enc, bom = dialect
    r = np.random.default_rng(seed)
    width = 2 + seed % 6
    text = _random_text(r, sep, decimal, width)
    path = tmp_path / "f.csv"
    path.write_bytes((b"\xef\xbb\xbf" if bom else b"") + text.encode(enc))
    args = _cli.build_parser().parse_args(
        [str(path), "--y", "y", "--x", "a", "--sep", sep, "--decimal", decimal, "--encoding", enc]
    )
    kind, want = _reference(text, sep, decimal, width)
    if kind == "line":
        with pytest.raises(_cli.UsageError, match=f"line {want} has more fields"):
            _cli._read(args)
    else:
        pd.testing.assert_frame_equal(_cli._read(args), want)


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_diagnose_gets_one_design_and_the_rows_kept(tmp_path, monkeypatch, fmt, rng):
    """With --dropna, --index and a cluster column the rows line up by position
    (the Parquet file's own index repeats labels); the design is handed over
    as one C-contiguous float64 array with its constant, which the battery
    then takes without a copy."""
    n = 60
    frame = pd.DataFrame(
        {
            "t": np.arange(2000, 2000 + n),
            "y": rng.normal(size=n),
            "a": rng.normal(size=n),
            "b": rng.integers(0, 9, size=n),  # integers: converted once
            "g": np.repeat(np.arange(6), n // 6),
        },
        index=np.arange(n) % 7,
    )
    frame.iloc[[3, 17], 2] = np.nan
    frame.iloc[[5, 41], 1] = np.nan
    path = tmp_path / f"d.{fmt}"
    if fmt == "csv":
        frame.to_csv(path, index=False)
    else:
        frame.to_parquet(path)
    seen = {}

    def capture(model, X, tests, **kw):
        seen.update(model=model, groups=kw["cov_options"]["groups"][0])
        raise ValueError("captured")

    monkeypatch.setattr(diagnostics, "_run", capture)
    argv = [path, "--y", "y", "--x", "a", "b", "--index", "t", "--dropna"]
    code = diagnostics.main([str(a) for a in [*argv, "--cov-type", "cluster", "--groups", "g"]])
    assert code == 2  # the captured call's ValueError
    kept = frame.reset_index(drop=True).dropna()
    m = seen["model"]
    assert m.X.flags.c_contiguous and m.X.flags.writeable and m.X.dtype == np.float64
    assert m.y.flags.writeable and m.const_col == 0 and m.added_constant
    np.testing.assert_array_equal(m.y, kept["y"].to_numpy())
    np.testing.assert_array_equal(m.X[:, 1:], kept[["a", "b"]].to_numpy(dtype=float))
    assert (m.X[:, 0] == 1.0).all()
    np.testing.assert_array_equal(seen["groups"], kept["g"].to_numpy())
    assert list(m.index) == kept["t"].tolist()
    assert m.y_name == "y" and m.x_names == ["const", "a", "b"]


# cells the byte count must read as the csv module does, or hand over to it
TRICKY = ['"1,5"', '""', '"a""b"', '"x,""y"""', "7", 'x"y', '"a"b"c,d"', '"two\nlines"']
TRICKY += [' "s,p"', '"é;,"']


@pytest.mark.parametrize("block", [7, 64, 1 << 22])
@pytest.mark.parametrize("seed", range(40))
def test_surplus_scan_reads_quotes_as_the_csv_module(monkeypatch, block, seed):
    r = np.random.default_rng(100 + seed)
    tricky = TRICKY if seed % 2 else TRICKY[:5]  # half without a fallback
    rows = ['"y","a,b",c']
    for _ in range(int(r.integers(1, 12))):
        k = 3 + (r.random() < 0.2)
        cells = [str(r.choice(tricky)) if r.random() < 0.4 else "1" for _ in range(k)]
        rows.append(",".join(cells))
    text = "\n".join(rows) + "\n"
    expect = None
    reader = csv.reader(io.StringIO(text))
    next(reader)
    for fields in reader:
        if len(fields) > 3 and any(f.strip() for f in fields[3:]):
            expect = reader.line_num
            break
    monkeypatch.setattr(_cli, "_BLOCK", block)
    assert _cli._surplus_line(io.BytesIO(text.encode()), ",", "utf-8", 3) == expect


@pytest.mark.parametrize("row", [1, 2, 262_143, 262_144, 262_145, 300_000, None])
def test_long_files_surplus_lines_and_warnings(tmp_path, row):
    """pandas reads a long file in chunks of 262,144 rows: a surplus line at
    either edge of one is found (row 1 is line 2); mixed types in a column
    not used give no warning (the reader of the used columns reads it)."""
    import warnings

    n = 300_000
    lines = ["y,a,u"] + [f"{i % 7},{i % 5},{i if i < n - 1 else 'text'}" for i in range(n)]
    if row is not None:
        lines[row] += ",1"
    path = tmp_path / "long.csv"
    path.write_text("\n".join(lines) + "\n")
    args = _cli.build_parser().parse_args([str(path), "--y", "y", "--x", "a"])
    if row is not None:
        with pytest.raises(_cli.UsageError, match=f"line {row + 1} has more fields"):
            _cli._read(args)
        return
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        frame = _cli._read(args)
    assert [str(w.message) for w in caught] == []
    np.testing.assert_array_equal(frame["a"].to_numpy(), np.arange(n) % 5)


def _frame(kind, rng, n=200):
    f = pd.DataFrame({"y": rng.normal(size=n), "a": rng.normal(size=n), "b": rng.normal(size=n)})
    if kind == "missing cells":
        f.iloc[[4, 90], 1] = np.nan
    elif kind == "a named range index":
        f = f.rename_axis("t")
    elif kind == "a stepped range index":
        f.index = pd.RangeIndex(10, 10 + 3 * n, 3)
    elif kind == "labels (pandas reads it)":
        f.index = np.arange(n) % 7
    elif kind == "an integer column (pandas reads it)":
        f["b"] = np.arange(n)
    return f


@pytest.mark.parametrize(
    "kind",
    [
        "plain",
        "missing cells",
        "a named range index",
        "a stepped range index",
        "labels (pandas reads it)",
        "an integer column (pandas reads it)",
    ],
)
def test_parquet_floats_read_as_pandas_reads_them(tmp_path, kind, rng):
    """Float columns of a file with a range index are read a row group at a
    time into their arrays; the frame is pandas' own, whichever way it came."""
    path = tmp_path / "d.parquet"
    _frame(kind, rng).to_parquet(path, row_group_size=70)
    args = _cli.build_parser().parse_args([str(path), "--y", "y", "--x", "a", "b"])
    fast = _cli._read_parquet_floats(str(path), ["y", "a", "b"])
    assert (fast is None) == ("pandas reads it" in kind)
    got = _cli._read(args)
    pd.testing.assert_frame_equal(got, pd.read_parquet(path, columns=["y", "a", "b"]))


@pytest.mark.parametrize(
    "kind, flags",
    [
        ("plain", []),
        ("its own constant", []),
        ("a column named const", []),
        ("plain", ["--no-constant"]),
        ("its own constant", ["--no-constant"]),
    ],
)
def test_handed_over_design_reports_what_diagnose_reports(tmp_path, kind, flags, rng, capsys):
    """The command builds the design with room for its constant and hands it
    over: the report is diagnose's on the same columns."""
    f = _frame("plain", rng)
    if kind == "its own constant":
        f["b"] = 2.5
    elif kind == "a column named const":
        f = f.rename(columns={"b": "const"})
    x = [c for c in f.columns if c != "y"]
    path = tmp_path / "d.csv"
    f.to_csv(path, index=False)
    assert diagnostics.main([str(path), "--y", "y", "--x", *x, "--format", "json", *flags]) == 0
    got = json.loads(capsys.readouterr().out)
    want = diagnostics.diagnose(f.y, f[x], add_constant=not flags).to_dict()
    assert got == json.loads(json.dumps(want))


def test_a_column_equal_to_y_is_a_usage_error(tmp_path, capsys):
    path = tmp_path / "d.csv"
    pd.DataFrame({"y": np.arange(9.0) ** 2, "a": np.arange(9.0) ** 2, "b": 1.0}).to_csv(path)
    assert diagnostics.main([str(path), "--y", "y", "--x", "a", "b"]) == 2
    assert "column 'a' equals y" in capsys.readouterr().err
