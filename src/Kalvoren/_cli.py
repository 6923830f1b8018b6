"""kalvoren-diag: the diagnostics report for a data file.

Every mistake in the input is one line on stderr and exit status 2, found
before anything is printed.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import sys
import warnings
from importlib import resources
from typing import Any, NoReturn

from Kalvoren import _options, _registry, diagnostics

FORMATS = ("table", "json", "markdown", "csv")
# The API's option names as flags (a mistake names the flag the user typed).
FLAGS = {"lags": "--lags", "break_at": "--break", "hac_lags": "--hac-lags", "alpha": "--alpha"}
FLAGS["tests"] = "--tests"
# The covariance's options as flags; groups, time and entity name columns of the file.
COV_FLAGS = ("kernel", "bandwidth", "prewhite", "adjust", "groups", "time", "entity", "correction")
FLAGS.update({"cov_type": "--cov-type", **{name: f"--{name}" for name in COV_FLAGS}})


def _flag(name: str) -> str:
    return FLAGS.get(name) or "--" + name.replace("_", "-")


READERS = {".parquet": "parquet", ".pq": "parquet", ".dta": "stata", ".xlsx": "excel"}
PLOT_FORMATS = (".png", ".pdf", ".svg")


class UsageError(Exception):
    """A problem with the user's input: one line on stderr, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line, exit status 2
        raise UsageError(message)


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog="kalvoren-diag",
        description="Residual diagnostics of an OLS regression of --y on a constant and --x. "
        "Reads CSV (separator sniffed), Parquet, Stata (.dta) and Excel (.xlsx) "
        "files; '-' reads CSV from standard input.",
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    p.add_argument(
        "file",
        nargs="?",
        default=None,
        help="data file with a header row (default: the shipped simulated data)",
    )
    p.add_argument("--y", help="response column (default with the shipped data: y)")
    p.add_argument(
        "--x",
        nargs="+",
        help="regressor columns; a constant is added (default with the shipped data: x1 x2)",
    )
    p.add_argument(
        "--index",
        metavar="COL",
        help="date or label column: used in the output, on the plot's x axis, and by --break",
    )
    p.add_argument("--lags", type=int, default=4, help="Breusch-Godfrey and Ljung-Box lags")
    p.add_argument(
        "--break",
        dest="break_at",
        metavar="T",
        help="Chow break: the first observation of the second segment, as a 0-based "
        "position (the first row is 0), or a label of --index "
        "(default: the middle of the sample)",
    )
    p.add_argument(
        "--hac-lags", type=int, default=None, help="HAC bandwidth (default: floor(4 (n/100)^(2/9)))"
    )
    p.add_argument("--alpha", type=float, default=0.05, help="test level: reject when p < alpha")
    p.add_argument(
        "--tests",
        nargs="+",
        metavar="ID",
        choices=_registry.TEST_IDS,
        default=None,
        help=f"run only these tests (default: all of {', '.join(_registry.TEST_IDS)})",
    )
    _cov_arguments(p)
    for name, opt in _registry.OPTIONS.items():  # the tests' own options
        p.add_argument(
            _flag(name), dest=name, default=argparse.SUPPRESS, help=opt.help, **dict(opt.cli)
        )
    p.add_argument("--format", choices=FORMATS, default="table", help="output format")
    p.add_argument(
        "--json", action="store_const", const="json", dest="format", help="same as --format json"
    )
    p.add_argument(
        "--plot",
        metavar="FILE",
        help="draw the CUSUM and CUSUM-of-squares paths; format from the extension "
        f"({', '.join(e[1:] for e in PLOT_FORMATS)})",
    )
    p.add_argument("--sep", default=None, help="CSV separator (default: sniffed)")
    p.add_argument("--decimal", default=".", help="CSV decimal mark")
    p.add_argument(
        "--encoding",
        default="utf-8",
        help="text encoding of a CSV file (a UTF-8 byte-order mark is accepted)",
    )
    p.add_argument(
        "--dropna",
        action="store_true",
        help="drop rows with missing values (and say how many) instead of failing",
    )
    return p


def _bandwidth(value: str) -> Any:
    return int(value) if value.lstrip("-").isdigit() else value


def _cov_arguments(p: argparse.ArgumentParser) -> None:
    from Kalvoren import _robust

    g = p.add_argument_group("covariance of the coefficients (standard errors and hac_wald)")
    g.add_argument("--cov-type", default="HAC", choices=_robust.COV_TYPES, help="the covariance")
    g.add_argument(
        "--kernel",
        choices=_robust.KERNELS,
        default=argparse.SUPPRESS,
        help="HAC and Driscoll-Kraay kernel (default bartlett)",
    )
    g.add_argument(
        "--bandwidth",
        type=_bandwidth,
        default=argparse.SUPPRESS,
        help="lags, or nw1994, andrews, llsw (default --hac-lags)",
    )
    g.add_argument(
        "--prewhite",
        type=int,
        choices=(0, 1),
        default=argparse.SUPPRESS,
        help="HAC: VAR(1) prewhitening",
    )
    for name, what in (
        ("adjust", "the n/(n-k) factor"),
        ("correction", "cluster: the G/(G-1) (n-1)/(n-k) factor (default yes)"),
    ):
        g.add_argument(f"--{name}", choices=("yes", "no"), default=argparse.SUPPRESS, help=what)
    g.add_argument(
        "--groups",
        nargs="+",
        metavar="COL",
        default=argparse.SUPPRESS,
        help="cluster: one or two cluster columns",
    )
    g.add_argument(
        "--time", metavar="COL", default=argparse.SUPPRESS, help="driscoll-kraay: the time column"
    )
    g.add_argument(
        "--entity",
        metavar="COL",
        default=argparse.SUPPRESS,
        help="driscoll-kraay: the entity column",
    )


def _cov_columns(args: argparse.Namespace) -> list[str]:
    cols = [
        *getattr(args, "groups", []),
        getattr(args, "time", None),
        getattr(args, "entity", None),
    ]
    return [c for c in cols if c is not None]


def _cov_options(args: argparse.Namespace, frame: Any, rows: Any) -> dict:
    """The covariance's options from the flags, columns of the file as arrays
    (the rows kept)."""
    out: dict[str, Any] = {}
    for name in COV_FLAGS:
        if not hasattr(args, name):
            continue
        v = getattr(args, name)
        if name in ("adjust", "correction"):
            v = v == "yes"
        elif name == "groups":
            v = [frame[c].loc[rows].to_numpy() for c in v]
        elif name in ("time", "entity"):
            v = frame[v].loc[rows].to_numpy()
        out[name] = v
    return out


# ------------------------------------------------------------------ reading


def _sniff_sep(sample: str) -> str:
    try:
        return csv.Sniffer().sniff(sample, delimiters=",;\t|").delimiter
    except csv.Error:
        return ","


def _decode_error_line(source: Any, encoding: str) -> int:
    """The line of the first byte sequence that does not decode."""
    import codecs

    source.seek(0)
    decoder = codecs.getincrementaldecoder(encoding)()
    line = 1
    for chunk in iter(lambda: source.read(1 << 16), b""):
        try:
            decoder.decode(chunk)
        except UnicodeDecodeError as e:
            return line + chunk.count(b"\n", 0, e.start)
        line += chunk.count(b"\n")
    return line


def _read_text(args: argparse.Namespace) -> Any:
    import pandas as pd

    name = "standard input" if args.file == "-" else args.file
    enc = args.encoding
    if enc.lower().replace("_", "-") in ("utf-8", "utf8"):
        enc = "utf-8-sig"  # what spreadsheet programs save
    try:
        import codecs

        codecs.lookup(enc)
    except LookupError:
        raise UsageError(f"unknown encoding {args.encoding!r}") from None
    try:
        source: Any = (
            io.BytesIO(sys.stdin.buffer.read()) if args.file == "-" else open(args.file, "rb")
        )
    except OSError as e:
        raise UsageError(f"cannot read {args.file}: {e.strerror or e}") from None
    with source:
        sample = source.read(1 << 16).decode(enc, errors="ignore")
        source.seek(0)
        sep = args.sep or _sniff_sep(sample)
        header = next(csv.reader(io.StringIO(sample), delimiter=sep), [])
        dup = sorted({h for h in header if header.count(h) > 1})
        if dup:
            raise UsageError(f"{name}: duplicate columns: {', '.join(map(repr, dup))}")
        wanted = [c for c in [args.y, *(args.x or []), args.index] if c is not None]
        wanted += [c for c in _cov_columns(args) if c not in wanted]
        missing = [c for c in wanted if c not in header]
        if missing:
            raise UsageError(f"{name}: no column {missing[0]!r} (columns: {', '.join(header)})")
        try:
            frame = pd.read_csv(
                source,
                sep=sep,
                decimal=args.decimal,
                usecols=wanted,
                encoding=enc,
                engine="c",
                skip_blank_lines=True,
                dtype={args.index: str} if args.index else None,
            )
        except UnicodeDecodeError:
            line = _decode_error_line(source, enc)
            raise UsageError(
                f"{name}: line {line} is not valid {args.encoding} "
                "(pass --encoding, e.g. --encoding latin-1)"
            ) from None
        except (ValueError, pd.errors.ParserError) as e:
            raise UsageError(f"{name}: {str(e).splitlines()[0]}") from None
    return frame[wanted]


def _read(args: argparse.Namespace) -> Any:
    import pandas as pd

    if args.file is None:
        # read whole (it is small), so that an unknown column is named below
        with resources.files("Kalvoren").joinpath("data/simulated.csv").open("rb") as fh:
            return pd.read_csv(fh)
    ext = os.path.splitext(args.file)[1].lower()
    kind = READERS.get(ext)
    if kind is None:
        return _read_text(args)
    try:
        if kind == "parquet":
            return pd.read_parquet(args.file)
        if kind == "stata":
            return pd.read_stata(args.file)
        return pd.read_excel(args.file)
    except ImportError as e:
        pkg = "openpyxl" if kind == "excel" else "pyarrow"
        raise UsageError(f"reading {ext} files needs {pkg}: pip install {pkg} ({e})") from None
    except (OSError, ValueError) as e:
        raise UsageError(f"cannot read {args.file}: {str(e).splitlines()[0]}") from None


# ---------------------------------------------------------------- checking


def _numeric(frame: Any, cols: list[str], name: str, dropna: bool) -> tuple[Any, int]:
    """Columns as float64 (numeric columns are not copied); a non-numeric cell
    names its line and column."""
    import numpy as np
    import pandas as pd

    for c in cols:
        s = frame[c]
        if pd.api.types.is_float_dtype(s.dtype) and s.dtype == np.float64:
            continue
        if pd.api.types.is_bool_dtype(s.dtype) or not pd.api.types.is_numeric_dtype(s.dtype):
            conv = pd.to_numeric(s, errors="coerce")
            bad = conv.isna() & s.notna() & (s.astype(str).str.strip() != "")
            if bad.any():
                row = int(np.flatnonzero(bad.to_numpy())[0])
                raise UsageError(
                    f"{name}: line {row + 2}, column {c!r}: not a number: {str(s.iloc[row])!r}"
                )
            s = conv
        frame[c] = s.astype("float64")
    num = frame[cols]
    # rows that are entirely empty at the end (trailing separators) are not data
    na = np.column_stack([~np.isfinite(num[c].to_numpy()) for c in cols])
    tail = len(na)
    while tail and na[tail - 1].all():
        tail -= 1
    num, na = num.iloc[:tail], na[:tail]
    dropped = 0
    if na.any():
        if not dropna:
            r, c = np.argwhere(na)[0]
            raise UsageError(
                f"{name}: line {r + 2}, column {cols[c]!r}: missing or non-finite "
                "value (pass --dropna to drop such rows)"
            )
        keep = ~na.any(axis=1)
        dropped = int((~keep).sum())
        num = num[keep]
    return num, dropped


def _break_position(value: str | None, index: Any, n: int) -> Any:
    if value is None:
        return None
    if index is None:
        try:
            return int(value)
        except ValueError:
            raise UsageError(
                f"--break {value!r}: a 0-based position is needed without --index"
            ) from None
    import pandas as pd

    label: Any = value
    try:
        if isinstance(index, pd.DatetimeIndex):
            label = pd.Timestamp(value)
        elif pd.api.types.is_numeric_dtype(index.dtype):
            label = index.dtype.type(value)
    except ValueError:
        raise UsageError(
            f"--break {value!r} is not a label of --index ({index[0]} ... {index[-1]})"
        ) from None
    hits = (index == label).nonzero()[0]
    if len(hits) != 1:
        raise UsageError(
            f"--break {value!r} is not one label of --index ({index[0]} ... {index[-1]})"
        )
    # dates and names go to the report as labels; integer labels as positions
    return int(hits[0]) if pd.api.types.is_numeric_dtype(index.dtype) else label


def _check_plot_path(path: str | None) -> None:
    if path is None:
        return
    ext = os.path.splitext(path)[1].lower()
    if ext not in PLOT_FORMATS:
        raise UsageError(f"--plot {path}: the file name must end in {', '.join(PLOT_FORMATS)}")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder) or not os.access(folder, os.W_OK):
        raise UsageError(f"--plot {path}: cannot write in {folder}")
    if os.path.exists(path) and not os.access(path, os.W_OK):
        raise UsageError(f"--plot {path}: the file is not writable")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UsageError("--plot needs matplotlib: pip install 'Kalvoren[plot]'") from None


def prepare(args: argparse.Namespace) -> tuple[Any, str, int]:
    """Everything checked: the report, the source's name and the rows dropped."""
    import pandas as pd

    if args.file is None:
        args.y = args.y or "y"
        args.x = args.x or ["x1", "x2"]
        if args.index is None:
            args.index = "t"
        source = "shipped simulated data"
    else:
        if not args.y or not args.x:
            raise UsageError("--y and --x are required with a data file")
        source = "standard input" if args.file == "-" else args.file
    if args.y in args.x:
        raise UsageError(f"--y {args.y!r} is also among the --x columns")
    if len(set(args.x)) != len(args.x):
        raise UsageError("--x names a column twice")
    if not 0.0 < args.alpha < 1.0:
        raise UsageError(f"--alpha must lie in (0, 1), got {args.alpha}")
    _check_plot_path(args.plot)
    frame = _read(args)
    for col in [args.y, *args.x, *([args.index] if args.index else []), *_cov_columns(args)]:
        if col not in frame.columns:
            raise UsageError(
                f"{source}: no column {col!r} (columns: {', '.join(map(str, frame.columns))})"
            )
    num, dropped = _numeric(frame, [args.y, *args.x], source, args.dropna)
    rows = num.index  # the file's rows kept, before --index relabels them
    index = None
    if args.index:
        labels = frame[args.index].loc[num.index]
        if not pd.api.types.is_numeric_dtype(labels.dtype):
            try:
                labels = pd.to_datetime(labels, format="mixed")
            except (ValueError, TypeError):
                labels = labels.astype(str)
        index = pd.Index(labels, name=args.index)
        num.index = index
    t_break = _break_position(args.break_at, index, len(num))
    try:
        with warnings.catch_warnings():
            # the report's notes say it; stderr stays for errors
            warnings.simplefilter("ignore", diagnostics.KalvorenWarning)
            report = diagnostics.diagnose(
                num[args.y],
                num[args.x],
                lags=args.lags,
                break_at=t_break,
                hac_lags=args.hac_lags,
                alpha=args.alpha,
                tests=args.tests,
                cov_type=args.cov_type,
                cov_options=_cov_options(args, frame, rows),
                **{k: v for k, v in vars(args).items() if k in _registry.OPTIONS},
            )
    except _options.OptionError as e:
        known = e.param in FLAGS or e.param in _registry.OPTIONS
        raise UsageError(f"{_flag(e.param)} {e.problem}" if known else str(e)) from None
    except (ValueError, TypeError) as e:
        raise UsageError(str(e)) from None
    return report, source, dropped


def render(report: Any, fmt: str, source: str) -> str:
    if fmt == "json":
        return json.dumps(report.to_dict(), indent=2)
    if fmt == "csv":
        return report.to_frame().to_csv()
    if fmt == "markdown":
        return report.to_frame().to_markdown() + "\n"
    return f"Residual diagnostics: {source}\n{report.summary()}"


def main(argv: list[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
        report, source, dropped = prepare(args)
        text = render(report, args.format, source)
    except UsageError as e:
        print(f"kalvoren-diag: error: {e}", file=sys.stderr)
        return 2
    if dropped:
        print(f"kalvoren-diag: note: dropped {dropped} rows with missing values", file=sys.stderr)
    sys.stdout.write(text if text.endswith("\n") else text + "\n")
    if args.plot:
        import matplotlib

        matplotlib.use("Agg")
        fig = report.plot()
        fig.savefig(args.plot, format=os.path.splitext(args.plot)[1][1:].lower())
        if args.format == "table":
            print(f"plot written to {args.plot}")
    return 0
