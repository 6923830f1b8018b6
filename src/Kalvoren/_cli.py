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
import struct
import sys
import warnings
from importlib import resources
from typing import TYPE_CHECKING, Any, BinaryIO, NoReturn

from Kalvoren import _options, _prepare, _registry, diagnostics

if TYPE_CHECKING:
    from Kalvoren._report import Report

FORMATS = ("table", "json", "markdown", "csv", "html")
# The API's option names as flags (a mistake names the flag the user typed).
FLAGS = {"lags": "--lags", "break_at": "--break", "hac_lags": "--hac-lags", "alpha": "--alpha"}
FLAGS["tests"] = "--tests"
# The covariance's options as flags; groups, time and entity name columns of the file.
COV_FLAGS = ("kernel", "bandwidth", "prewhite", "adjust", "groups", "time", "entity", "correction")
FLAGS.update({"cov_type": "--cov-type", **{name: f"--{name}" for name in COV_FLAGS}})
FLAGS["break_label"] = "--break"
FLAGS["add_constant"] = "--no-constant"
# A cell quoted in a message is cut to this many characters.
QUOTE_MAX = 80


def _hac_lags(text: str) -> int | str:
    """--hac-lags: a whole number of lags, or "llsw"."""
    return text if text == "llsw" else int(text)


def _flag(name: str) -> str:
    return FLAGS.get(name) or "--" + name.replace("_", "-")


READERS = {".parquet": "parquet", ".pq": "parquet", ".dta": "stata", ".xlsx": "excel"}
PLOT_FORMATS = (".png", ".pdf", ".svg")


class UsageError(Exception):
    """A problem with the user's input: one line on stderr, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line, exit status 2
        raise UsageError(message)


class _Help(argparse.ArgumentDefaultsHelpFormatter):
    """Shows a default only where there is one to show."""

    def _get_help_string(self, action: argparse.Action) -> str | None:
        if action.default is None or action.nargs == 0:
            return action.help
        return super()._get_help_string(action)


def _quote(text: Any) -> str:
    """A cell for a message: repr'd, at most QUOTE_MAX characters of it."""
    text = str(text)
    return repr(text) if len(text) <= QUOTE_MAX else repr(text[:QUOTE_MAX]) + "..."


def _decimal_mark(value: str) -> str:
    """One character that cannot be part of a number otherwise."""
    if len(value) != 1 or value.isalnum() or value in "+-\"'\n\r":
        raise argparse.ArgumentTypeError(f"must be one character such as '.' or ',', got {value!r}")
    return value


def _version() -> str:
    import Kalvoren

    version: str = Kalvoren.__version__
    return version


class _Version(argparse.Action):
    """--version: the package's version on standard output, exit status 0."""

    def __init__(self, option_strings: list[str], dest: str, **kw: Any):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kw)

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: Any,
        values: Any,
        option_string: Any = None,
    ) -> NoReturn:
        parser.exit(0 if _write_out(f"kalvoren-diag {_version()}\n") is None else 2)


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog="kalvoren-diag",
        description="Residual diagnostics of an OLS regression of --y on a constant and --x. "
        "Reads CSV (separator sniffed), Parquet, Stata (.dta) and Excel (.xlsx) "
        "files; '-' reads CSV from standard input.",
        formatter_class=_Help,
    )
    p.add_argument("--version", action=_Version, help="show the version and exit")
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
        help="regressor columns; a constant is added unless one is among them or "
        "--no-constant is given (default with the shipped data: x1 x2)",
    )
    p.add_argument(
        "--no-constant",
        dest="add_constant",
        action="store_false",
        help="fit without a constant (unless one of the --x columns is constant)",
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
        "position (the first row is 0), or with --index a label of it (a date, a year, "
        "a name; --break 1945 is then the label 1945) (default: the middle of the sample)",
    )
    p.add_argument(
        "--hac-lags",
        type=_hac_lags,
        default=None,
        help="HAC bandwidth in lags, at most n - 1, or llsw (1.3 sqrt(n)) "
        "(default: floor(4 (n/100)^(2/9)))",
    )
    p.add_argument("--alpha", type=float, default=0.05, help="test level: reject when p < alpha")
    p.add_argument(
        "--tests",
        nargs="+",
        metavar="ID",
        choices=_registry.TEST_IDS,
        default=None,
        help="run only these tests (default: "
        + ", ".join(_registry.DEFAULT_TESTS)
        + "; the others run when named, or when one of their options is given)",
    )
    _cov_arguments(p)
    for name, opt in _registry.OPTIONS.items():  # the tests' own options
        shown = f" (default: {opt.default})" if opt.default not in (None, True) else ""
        p.add_argument(
            _flag(name),
            dest=name,
            default=argparse.SUPPRESS,
            help=opt.help + shown,
            **dict(opt.cli),
        )
    p.add_argument(
        "--format",
        choices=FORMATS,
        default="table",
        help="output format (html: one self-contained page with the plots)",
    )
    p.add_argument(
        "--json", action="store_const", const="json", dest="format", help="same as --format json"
    )
    p.add_argument(
        "--plot",
        metavar="FILE",
        help="draw the CUSUM and CUSUM-of-squares paths; format from the extension "
        f"({', '.join(e[1:] for e in PLOT_FORMATS)})",
    )
    p.add_argument(
        "--sep",
        default=None,
        help="CSV separator: one character, '\\t' for a tab, or '\\s+' for runs of "
        "whitespace (default: sniffed)",
    )
    p.add_argument("--decimal", default=".", type=_decimal_mark, help="CSV decimal mark")
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


def _cov_options(args: argparse.Namespace, frame: Any, rows: Any) -> dict[str, Any]:
    """The covariance's options from the flags, columns of the file as arrays
    (the rows kept: a slice or positions)."""
    out: dict[str, Any] = {}
    for name in COV_FLAGS:
        if not hasattr(args, name):
            continue
        v = getattr(args, name)
        if name in ("adjust", "correction"):
            v = v == "yes"
        elif name == "groups":
            v = [frame[c].to_numpy()[rows] for c in v]
        elif name in ("time", "entity"):
            v = frame[v].to_numpy()[rows]
        out[name] = v
    return out


# ------------------------------------------------------------------ reading


WHITESPACE = r"\s+"


def _separator(sep: str | None) -> str | None:
    """--sep as the reader takes it: one character, or runs of whitespace."""
    if sep is None:
        return None
    sep = {r"\t": "\t", "\\s+": WHITESPACE}.get(sep, sep)
    if sep == WHITESPACE:
        return sep
    if len(sep) != 1 or sep in '\r\n"':
        raise UsageError(
            f"--sep {sep!r}: a separator is one character (or '\\t' for a tab, "
            "'\\s+' for runs of whitespace)"
        )
    return sep


def _sniff_sep(sample: str) -> str:
    try:
        return csv.Sniffer().sniff(sample, delimiters=",;\t|").delimiter
    except csv.Error:
        return ","


def _decode_error_line(source: BinaryIO, encoding: str) -> int:
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


def _split_header(line: str, sep: str) -> list[str]:
    """The header's names, however long the line (the csv module's field
    limit is raised for it)."""
    if sep == WHITESPACE:
        return line.split()
    limit = csv.field_size_limit()
    csv.field_size_limit(max(limit, len(line) + 1))
    try:
        return next(csv.reader([line.rstrip("\r\n")], delimiter=sep), [])
    finally:
        csv.field_size_limit(limit)


def _line_numbers(source: Any, rows: list[int], enc: str = "ascii") -> dict[int, int]:
    """The file's line of each data row (0-based, as the reader counts them:
    blank lines skipped), for messages. source: bytes or a binary file."""
    want, out = sorted(set(rows)), dict[int, int]()
    if isinstance(source, bytes):
        source = io.BytesIO(source)
    source.seek(0)
    lines: Any = (
        source
        if _ascii_compatible(enc)
        else io.TextIOWrapper(source, encoding=enc, errors="replace", newline=None)
    )
    lines.readline()  # the header
    row, line = 0, 1
    for raw in lines:
        line += 1
        if not raw.strip():
            continue
        if row == want[len(out)]:
            out[row] = line
            if len(out) == len(want):
                break
        row += 1
    return out


def _ascii_compatible(enc: str, sep: str = ",") -> bool:
    """Newlines and the separator are their ASCII bytes in this encoding (a
    byte-order mark aside), so lines and fields can be found in the bytes."""
    probe = "\n" + (sep if sep != WHITESPACE else " ")
    try:
        return probe.encode(enc).endswith(probe.encode("ascii"))
    except (UnicodeError, LookupError):
        return False


def _surplus(fields: list[str], width: int) -> bool:
    """More fields than the header's, and not just empty ones at the end."""
    return len(fields) > width and any(f.strip() for f in fields[width:])


_BLOCK = 1 << 22  # bytes per block when a file is scanned
_QUOTED = -1


def _surplus_line(source: Any, sep: str, enc: str, width: int) -> int | None:
    """The first line after the header with more fields than the header's
    width (the reader would drop them, or take the first as an index), or None.
    source: bytes or a binary file, read a block at a time. Separators are
    counted per line over the bytes when quotes only enclose whole fields on
    one line and the encoding keeps ASCII as it is; otherwise the csv module
    reads it."""
    if isinstance(source, bytes):
        source = io.BytesIO(source)
    if sep != WHITESPACE and _ascii_compatible(enc, sep):
        line = _surplus_by_blocks(source, sep, enc, width)
        if line != _QUOTED:
            return line
    source.seek(0, os.SEEK_END)
    size = source.tell()
    source.seek(0)
    text = io.TextIOWrapper(source, encoding=enc, errors="replace", newline="")
    try:
        if sep == WHITESPACE:
            for line, row in enumerate(text, start=1):
                if line > 1 and len(row.split()) > width:
                    return line
            return None
        limit = csv.field_size_limit()
        csv.field_size_limit(max(limit, size + 1))
        try:
            reader = csv.reader(text, delimiter=sep)
            next(reader, None)
            for fields in reader:
                if _surplus(fields, width):
                    return reader.line_num
        finally:
            csv.field_size_limit(limit)
        return None
    finally:
        text.detach()  # the caller's file stays open


def _surplus_by_blocks(source: Any, sep: str, enc: str, width: int) -> int | None:
    """_surplus_line by counting separator bytes per line, whole lines a block
    at a time (memory: a block, whatever the file's size), those inside quoted
    fields left out; _QUOTED when a quote is placed otherwise than at the edges
    of a field on one line, for the csv module to decide."""
    import numpy as np

    source.seek(0)
    tail, before = b"", 0  # the unfinished line carried over; lines already scanned
    scratch = np.empty(0, dtype=bool)  # the masks, reused: fresh pages cost more than the compare
    while True:
        block = source.read(_BLOCK)
        data = tail + block
        if not data:
            return None
        cut = data.rfind(b"\n") + 1 if block else len(data)
        if cut == 0:  # a line longer than the block
            tail = data
            continue
        # quoted names in the header (as R writes them) are the header's own
        body = data.find(b"\n", 0, cut) + 1 if before == 0 else 0
        chunk, tail = memoryview(data)[body:cut], data[cut:]  # whole lines, not copied
        buf = np.frombuffer(chunk, dtype=np.uint8)
        if scratch.size < buf.size:
            scratch = np.empty(buf.size, dtype=bool)
        mask = scratch[: buf.size]
        ends = np.flatnonzero(np.equal(buf, 10, out=mask))
        # separators per line: sums of the separator mask between line starts
        # (no line is empty: each holds its newline, or is the last one)
        starts = np.empty(ends.size + 1, dtype=np.intp)
        starts[0], starts[1:] = 0, ends + 1
        starts = starts[: ends.size + (starts[-1] < len(chunk))]
        seps = np.equal(buf, ord(sep), out=mask).view(np.uint8)
        per_line = np.add.reduceat(seps, starts, dtype=np.int32) if len(chunk) else starts
        if data.find(b'"', body, cut) >= 0:
            inner = _quoted_separators(buf, seps, ends, sep)
            if inner is None:
                return _QUOTED
            per_line -= np.bincount(inner[0], weights=inner[1], minlength=per_line.size).astype(
                np.int32
            )
        first = before + (body > 0)  # the file's line of the chunk's first line, less one
        for j in np.flatnonzero(per_line >= width).tolist():
            if first + j == 0:  # the header, when it is the whole file
                continue
            lo = int(ends[j - 1]) + 1 if j else 0
            hi = int(ends[j]) if j < ends.size else len(chunk)
            line = bytes(chunk[lo:hi]).decode(enc, errors="replace")
            if _surplus(_split_header(line, sep) if '"' in line else line.split(sep), width):
                return first + j + 1
        before = first + ends.size
        if not block:
            return None


def _quoted_separators(buf: Any, seps: Any, ends: Any, sep: str) -> Any:
    """(line, count) of the separators inside quoted fields, or None unless
    every quote opens a field (after a separator, a line's start or the closing
    quote of a doubled pair) or closes one (before a separator, the line's end
    or an opening quote), and no quoted field spans lines."""
    import numpy as np

    q = np.flatnonzero(buf == 34)
    if q.size % 2:
        return None
    opens, closes = q[0::2], q[1::2]
    size, s = buf.size, ord(sep)
    before = buf[np.maximum(opens - 1, 0)]
    after = buf[np.minimum(closes + 1, size - 1)]
    joined = np.zeros(opens.size, dtype=bool)  # "" inside a field: the quote before is a close
    joined[1:] = opens[1:] - 1 == closes[:-1]
    starts_ok = (opens == 0) | (before == s) | (before == 10) | joined
    follows = np.zeros(closes.size, dtype=bool)
    follows[:-1] = closes[:-1] + 1 == opens[1:]
    ends_ok = (closes == size - 1) | (after == s) | (after == 10) | (after == 13) | follows
    line = np.searchsorted(ends, opens)
    if not (starts_ok.all() and ends_ok.all() and (np.searchsorted(ends, closes) == line).all()):
        return None
    # reduceat over the quotes' positions: even entries are the spans within quotes
    inside = np.add.reduceat(seps, q, dtype=np.int32)[0::2]
    return line, inside


def _read_checked(source: Any, options: dict[str, Any]) -> Any:
    """Every column read by pandas, which then refuses a line with more fields
    than the header's (its first data line it only warns about); None when it
    refuses, warns or fails, for the scan and the reader of the used columns
    to decide. Only without usecols does the C reader count every line's fields."""
    import pandas as pd

    source.seek(0)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            frame = pd.read_csv(source, **options)
        except (ValueError, UnicodeDecodeError, OverflowError, pd.errors.ParserError):
            return None
    # a warning about the data may be about a column that is not used: the
    # used ones decide; others (a deprecation, say) are passed on
    about_data = (pd.errors.ParserWarning, pd.errors.DtypeWarning)
    if any(issubclass(w.category, about_data) for w in caught):
        return None
    for w in caught:
        warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
    return frame


def _wanted(args: argparse.Namespace) -> list[str]:
    """The columns the run reads, in order: y, x, the index, the covariance's."""
    wanted = [c for c in [args.y, *(args.x or []), args.index] if c is not None]
    return wanted + [c for c in _cov_columns(args) if c not in wanted]


def _read_text(args: argparse.Namespace) -> Any:
    name = "standard input" if args.file == "-" else args.file
    enc = args.encoding
    if enc.lower().replace("_", "-") in ("utf-8", "utf8"):
        enc = "utf-8-sig"  # what spreadsheet programs save
    try:
        import codecs

        codecs.lookup(enc)
    except LookupError:
        raise UsageError(f"unknown encoding {args.encoding!r}") from None
    sep = _separator(args.sep)
    try:
        if args.file == "-":  # read once: it cannot be read again
            source: Any = io.BytesIO(sys.stdin.buffer.read())
        else:  # read as needed, never whole into memory
            source = open(args.file, "rb")
    except OSError as e:
        raise UsageError(f"cannot read {args.file}: {e.strerror or e}") from None
    try:
        return _read_source(args, source, name, enc, sep)
    finally:
        source.close()


def _read_source(
    args: argparse.Namespace, source: Any, name: str, enc: str, sep: str | None
) -> Any:
    import pandas as pd

    # The whole header line, however long; sniffing the separator only needs
    # the first 64 KiB.
    try:
        if _ascii_compatible(enc):
            sample = source.read(1 << 16)
            first = sample
            while b"\n" not in first:
                more = source.read(1 << 16)
                if not more:
                    break
                first += more
            cut = first.find(b"\n")
            first = first if cut < 0 else first[: cut + 1]
        else:  # UTF-16 and the like: lines are found in the text
            text = io.TextIOWrapper(source, encoding=enc, errors="replace", newline="")
            top, rest = text.readline(), text.read(1 << 16)
            text.detach()
            first = top.split("\n", 1)[0].encode(enc)
            sample = (top + rest)[: 1 << 16].encode(enc, errors="replace")
    except OSError as e:
        raise UsageError(f"cannot read {args.file}: {e.strerror or e}") from None
    try:
        head = first.decode(enc)
    except UnicodeDecodeError:
        raise UsageError(
            f"{name}: line 1 (the header) is not valid {args.encoding} "
            "(pass --encoding, e.g. --encoding latin-1)"
        ) from None
    if sep is None:
        text = sample.decode(enc, errors="ignore")
        sep = _sniff_sep(text[: text.rindex("\n") + 1] if "\n" in text else text)
    header = _split_header(head, sep)
    wanted = _wanted(args)
    dup = sorted({c for c in wanted if header.count(c) > 1})
    if dup:
        raise UsageError(f"{name}: duplicate columns: {', '.join(map(repr, dup))}")
    missing = [c for c in wanted if c not in header]
    if missing:
        # quoted, so that a wrong separator's one long name or a name's spaces show
        cut = [_quote(name) for name in header]
        shown = ", ".join(cut) if len(cut) <= 50 else ", ".join(cut[:50]) + ", ..."
        raise UsageError(f"{name}: no column {missing[0]!r} (columns: {shown})")
    # Columns by position: the header may repeat names that are not used.
    names = [f"\0{j}" for j in range(len(header))]
    pos = [header.index(c) for c in wanted]
    options = dict(
        sep=sep,
        decimal=args.decimal,
        header=0,
        names=names,
        index_col=False,
        # pandas' C parser skips a UTF-8 byte-order mark itself, and reads
        # UTF-8 without the codec wrapper that "utf-8-sig" puts around the file
        encoding="utf-8" if enc == "utf-8-sig" else enc,
        engine="c",
        skip_blank_lines=True,
        dtype={names[header.index(args.index)]: str} if args.index else None,
    )
    frame = None
    if 2 * len(wanted) >= len(header):  # the few unused columns cost less than a scan
        frame = _read_checked(source, options)
    if frame is None:
        line = _surplus_line(source, sep, enc, len(header))
        if line is not None:
            raise UsageError(f"{name}: line {line} has more fields than the header's {len(header)}")
        source.seek(0)
        try:
            frame = pd.read_csv(source, usecols=[names[j] for j in pos], **options)
        except UnicodeDecodeError:
            line = _decode_error_line(source, enc)
            raise UsageError(
                f"{name}: line {line} is not valid {args.encoding} "
                "(pass --encoding, e.g. --encoding latin-1)"
            ) from None
        except (ValueError, pd.errors.ParserError) as e:
            raise UsageError(f"{name}: {str(e).splitlines()[0]}") from None
    # a frame of the wanted columns, which are not copied
    frame = pd.DataFrame({c: frame[names[j]] for c, j in zip(wanted, pos)}, copy=False)
    if args.file == "-":
        data = source.getvalue()
        args.line_of = lambda rows: _line_numbers(data, rows, enc)
    else:  # messages are rare: the file is read again for them

        def line_of(rows: list[int]) -> dict[int, int]:
            with open(args.file, "rb") as fh:
                return _line_numbers(fh, rows, enc)

        args.line_of = line_of
    return frame


def _release_freed() -> None:
    """Arrow's allocator, and glibc's for the parser's buffers, keep what was
    freed for later; the battery that runs next takes fresh pages, so both
    are handed back now."""
    pa = sys.modules.get("pyarrow")
    if pa is not None:
        pa.default_memory_pool().release_unused()
    if sys.platform.startswith("linux"):
        import ctypes

        try:
            ctypes.CDLL(None).malloc_trim(0)
        except (AttributeError, OSError):  # not glibc
            pass


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
        if kind == "parquet":  # only the columns used, when they are all there
            import pyarrow.parquet as pq

            wanted = _wanted(args)
            whole = set(pq.read_schema(args.file).names) >= set(wanted)
            if whole:
                frame = _read_parquet_floats(args.file, wanted)
                if frame is not None:
                    return frame
            # a column at a time, each freed from the Arrow table once converted:
            # the table and the frame are not both held whole
            frame = pd.read_parquet(
                args.file,
                engine="pyarrow",
                columns=wanted if whole else None,
                to_pandas_kwargs={"split_blocks": True, "self_destruct": True},
            )
            _release_freed()
            return frame
        if kind == "stata":
            return pd.read_stata(args.file)
        return pd.read_excel(args.file)
    except ImportError as e:
        pkg = "openpyxl" if kind == "excel" else "pyarrow"
        raise UsageError(f"reading {ext} files needs {pkg}: pip install {pkg} ({e})") from None
    except (OSError, ValueError) as e:
        raise UsageError(f"cannot read {args.file}: {str(e).splitlines()[0]}") from None


def _read_parquet_floats(path: str, cols: list[str]) -> Any:
    """The columns of a Parquet file when they are all float64 and its
    index is a range (pandas' default, or none), read a row group and a column
    at a time into their final arrays: Arrow's decoding of the whole table
    would take about twice the data beside them. None for any other file,
    which pandas reads."""
    import numpy as np
    import pandas as pd
    import pyarrow as pa
    import pyarrow.parquet as pq

    pf = pq.ParquetFile(path)
    schema = pf.schema_arrow
    names = schema.names
    if len(set(cols)) != len(cols) or any(names.count(c) != 1 for c in cols):
        return None
    if not all(schema.field(c).type == pa.float64() for c in cols):
        return None
    meta = schema.pandas_metadata or {}
    ranges = meta.get("index_columns", [])
    if len(ranges) > 1 or not all(isinstance(r, dict) and r.get("kind") == "range" for r in ranges):
        return None
    n = pf.metadata.num_rows
    if ranges:
        r = ranges[0]
        index = pd.RangeIndex(r["start"], r["stop"], r["step"], name=r.get("name"))
        if len(index) != n:
            return None
    else:
        index = pd.RangeIndex(n)
    out = {c: np.empty(n) for c in cols}
    at = 0
    for g in range(pf.metadata.num_row_groups):
        part = pf.read_row_group(g, columns=cols, use_pandas_metadata=False)
        m = part.num_rows
        for c in cols:
            out[c][at : at + m] = part.column(c).to_numpy(zero_copy_only=False)
        at += m
        del part
    _release_freed()
    return pd.DataFrame(out, index=index, copy=False)


# ---------------------------------------------------------------- checking


def _rows_as_lines(rows: list[int]) -> dict[int, int]:
    """A row of a table without lines (Parquet, Stata, Excel): as a CSV's line."""
    return {r: r + 2 for r in rows}


def _numeric(
    frame: Any,
    cols: list[str],
    name: str,
    dropna: bool,
    line_of: Any = _rows_as_lines,
    decimal: str = ".",
    label: Any = None,
) -> tuple[dict[str, Any], Any, int]:
    """The columns as float64 arrays (a float64 column's own values, not
    copied), the rows kept (a slice, or positions when some are dropped) and
    how many were dropped; a non-numeric cell names its line and column."""
    import numpy as np
    import pandas as pd

    values = {}
    for c in cols:
        s = frame[c]
        if s.dtype.kind in "mM":  # a count in the file's time unit is not the data
            raise UsageError(f"{name}: column {c!r} holds dates or durations, not numbers")
        if s.dtype != np.float64:
            if pd.api.types.is_bool_dtype(s.dtype) or not pd.api.types.is_numeric_dtype(s.dtype):
                text = s.astype(str).str.strip()
                if decimal != ".":
                    # cells the reader left as text, read with its decimal mark: a
                    # "." would be taken for one
                    s = text.where(~text.str.contains(".", regex=False), "\0")
                    s = s.str.replace(decimal, ".", regex=False).where(frame[c].notna())
                conv = pd.to_numeric(s, errors="coerce")
                bad = conv.isna() & s.notna() & (text != "")
                if bad.any():
                    row = int(np.flatnonzero(bad.to_numpy())[0])
                    raise UsageError(
                        f"{name}: line {line_of([row])[row]}, column {c!r}: not a number: "
                        f"{_quote(frame[c].iloc[row])}"
                    )
                s = conv
            s = s.astype("float64")
        values[c] = s.to_numpy()
    n = len(frame)
    if all(np.isfinite(v).all() for v in values.values()):
        return values, slice(0, n), 0
    na = np.column_stack([~np.isfinite(values[c]) for c in cols])
    # rows that are entirely empty at the end (trailing separators) are not
    # data; they are counted as dropped (an infinite value is a value)
    labelled = None if label is None else label.notna().to_numpy() & (label.astype(str) != "")
    tail = n
    while tail and all(np.isnan(values[c][tail - 1]) for c in cols):
        if labelled is not None and labelled[tail - 1]:
            break  # a labelled row is an observation, with missing values
        tail -= 1
    na = na[:tail]
    if not na.any():
        return values, slice(0, tail), n - tail
    if not dropna:
        r, j = (int(v) for v in np.argwhere(na)[0])
        raise UsageError(
            f"{name}: line {line_of([r])[r]}, column {cols[j]!r}: missing or non-finite "
            "value (pass --dropna to drop such rows)"
        )
    keep = np.flatnonzero(~na.any(axis=1))
    return values, keep, n - keep.size


def _own(a: Any) -> Any:
    """a, or a copy of it when it is a view into a larger array (a column of a
    frame's two-dimensional block), which would otherwise stay in memory."""
    import numpy as np

    base = a
    while isinstance(base.base, np.ndarray):
        base = base.base
    return a if base.nbytes <= a.nbytes else np.array(a, copy=True)


def _model_data(
    args: argparse.Namespace, source: str
) -> tuple[_prepare.Model, dict[str, Any], int]:
    """What diagnose is given: the model's data, handed over (y, and the
    design with room for its constant: neither is copied again on the way
    in), the covariance's options and the rows dropped. The file's frame is
    gone when this returns, before the battery asks for its own memory."""
    import numpy as np

    try:
        frame = _read(args)
    except io.UnsupportedOperation:  # a pipe: the dialect is found by reading twice
        raise UsageError(f"{source}: cannot read it twice (a pipe?): save it to a file") from None
    except (csv.Error, UnicodeError, LookupError, EOFError, struct.error) as e:
        why = str(e)
        if "new-line character seen in unquoted field" in why:
            why = "lines end in a carriage return alone (an old Mac format): convert them"
        raise UsageError(f"{source}: cannot read it: {why}") from None
    # --index may name the file's own index (a Parquet file's)
    own_index = bool(args.index) and args.index not in frame.columns
    own_index = own_index and args.index in frame.index.names and frame.index.nlevels == 1
    indexed = [args.index] if args.index and not own_index else []
    for col in [args.y, *args.x, *indexed, *_cov_columns(args)]:
        if col not in frame.columns:
            raise UsageError(
                f"{source}: no column {col!r} (columns: {', '.join(map(str, frame.columns))})"
            )
    label = frame[args.index] if indexed else None
    values, rows, dropped = _numeric(
        frame, [args.y, *args.x], source, args.dropna, args.line_of, args.decimal, label
    )
    y = _own(values.pop(args.y)[rows])
    m = y.shape[0]
    Z = np.empty((m, len(args.x) + 1))  # column 0: room for the constant
    for j, c in enumerate(args.x):
        Z[:, j + 1] = values.pop(c)[rows]
    # the file's own row labels, unless --index relabels them
    labels = frame.index[rows]
    if args.index:
        column = frame.index.to_series() if own_index else frame[args.index]
        labels = _labels(column.iloc[rows], args.index)
    cov = _cov_options(args, frame, rows)
    del frame, values
    _release_freed()
    try:
        model = _prepare.handed_over(y, Z, args.y, list(args.x), labels, args.add_constant)
    except ValueError as e:  # the data's own checks (a column equal to y)
        raise UsageError(str(e)) from None
    return model, cov, dropped


def _labels(values: Any, name: str) -> Any:
    """The --index column as an index: numbers stay numbers (integers when
    every value is whole: 1945.0 is the year 1945), else dates, else text."""
    import numpy as np
    import pandas as pd

    if values.dtype.kind == "M":  # dates already (Parquet, Stata)
        return pd.Index(values, name=name)
    if not pd.api.types.is_numeric_dtype(values.dtype) or pd.api.types.is_bool_dtype(values.dtype):
        try:
            values = pd.to_numeric(values)
        except (ValueError, TypeError):
            try:
                values = pd.to_datetime(values, format="mixed")
            except (ValueError, TypeError):
                values = values.astype(str)
    if pd.api.types.is_float_dtype(values.dtype):
        v = values.to_numpy(dtype=np.float64)
        if np.isfinite(v).all() and (v == np.round(v)).all() and (np.abs(v) < 2.0**53).all():
            values = values.astype(np.int64)
    return pd.Index(values, name=name)


def _break_label(value: str | None, index: Any) -> tuple[Any, Any]:
    """--break as (position, None) without --index, else (None, label)."""
    if value is None:
        return None, None
    if index is None:
        try:
            return int(value), None
        except ValueError:
            raise UsageError(
                f"--break {value!r}: a 0-based position is needed without --index"
            ) from None
    import pandas as pd

    label: Any = value
    span = f"({index[0]} ... {index[-1]})" if len(index) else "(no rows)"
    try:
        if isinstance(index, pd.DatetimeIndex):
            label = pd.Timestamp(value)
        elif pd.api.types.is_integer_dtype(index.dtype):
            try:  # exactly, as written: a float loses integers beyond 2^53
                label = int(value)
            except ValueError:
                number = float(value)
                label = int(number) if number.is_integer() else number
        elif pd.api.types.is_numeric_dtype(index.dtype):
            label = float(value)
    except ValueError:
        raise UsageError(f"--break {value!r} is not a label of --index {span}") from None
    hits = (index == label).nonzero()[0]
    if len(hits) != 1:
        raise UsageError(f"--break {value!r} is not one label of --index {span}")
    return None, label


def _check_plot_path(path: str | None) -> None:
    if path is None:
        return
    if os.path.isdir(path):
        raise UsageError(f"--plot {path}: is a directory")
    if os.path.exists(path) and not os.path.isfile(path):
        raise UsageError(f"--plot {path}: not a regular file (a device, a pipe or a socket)")
    ext = os.path.splitext(path)[1].lower()
    if ext not in PLOT_FORMATS:
        raise UsageError(f"--plot {path}: the file name must end in {', '.join(PLOT_FORMATS)}")
    folder = os.path.dirname(os.path.realpath(path))
    if not os.path.isdir(folder) or not os.access(folder, os.W_OK):
        raise UsageError(f"--plot {path}: cannot write in {folder}")
    if os.path.exists(path) and not os.access(path, os.W_OK):
        raise UsageError(f"--plot {path}: the file is not writable")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UsageError("--plot needs matplotlib: pip install 'Kalvoren[plot]'") from None


def _write_plot(report: Any, path: str) -> str:
    """The figure in a temporary file beside the target (moved there once
    the report is out): a write that fails stops the run before any output."""
    import tempfile

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    target = os.path.realpath(path)
    ext = os.path.splitext(target)[1]
    try:
        fd, tmp = tempfile.mkstemp(prefix=".kalvoren-", suffix=ext, dir=os.path.dirname(target))
    except OSError as e:
        raise UsageError(f"--plot {path}: cannot write: {e.strerror or e}") from None
    try:
        with os.fdopen(fd, "wb") as fh:
            fig = report.plot()
            try:
                fig.savefig(fh, format=ext[1:].lower())
            finally:
                plt.close(fig)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)  # as a file written in place would be
    except (OSError, ValueError) as e:
        os.unlink(tmp)
        reason = e.strerror if isinstance(e, OSError) and e.strerror else str(e)
        raise UsageError(f"--plot {path}: {reason.splitlines()[0]}") from None
    return tmp


def prepare(args: argparse.Namespace) -> tuple[Any, str, int]:
    """Everything checked: the report, the source's name and the rows dropped."""
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
    twice = [c for i, c in enumerate(args.x) if c in args.x[:i]]
    if twice:
        raise UsageError(f"--x names the column {twice[0]!r} twice")
    if args.index is not None and args.index in (args.y, *args.x):
        which = "the --y column" if args.index == args.y else "among the --x columns"
        raise UsageError(f"--index {args.index!r} is {which}: the index is a column of its own")
    if not 0.0 < args.alpha < 1.0:
        raise UsageError(f"--alpha must lie in (0, 1), got {args.alpha}")
    _check_plot_path(args.plot)
    args.line_of = _rows_as_lines
    model, cov, dropped = _model_data(args, source)
    index = model.index if args.index else None
    position, label = _break_label(args.break_at, index)
    try:
        with warnings.catch_warnings():
            # the report's notes say it; stderr stays for errors
            warnings.simplefilter("ignore", diagnostics.KalvorenWarning)
            report = diagnostics._run(
                model,
                None,
                args.tests,
                lags=args.lags,
                break_at=position,
                break_label=label,
                hac_lags=args.hac_lags,
                alpha=args.alpha,
                add_constant=args.add_constant,
                cov_type=args.cov_type,
                cov_options=cov,
                **{k: v for k, v in vars(args).items() if k in _registry.OPTIONS},
            )
    except _options.OptionError as e:
        known = e.param in FLAGS or e.param in _registry.OPTIONS
        raise UsageError(f"{_flag(e.param)} {e.problem}" if known else str(e)) from None
    except (ValueError, TypeError) as e:
        raise UsageError(str(e)) from None
    except OverflowError as e:  # a number beyond what the kernels take, wherever it came from
        raise UsageError(f"a value is out of range: {e}") from None
    return report, source, dropped


def render(report: Report, fmt: str, source: str) -> str:
    if fmt == "json":
        return json.dumps(report.to_dict(), indent=2)
    if fmt == "csv":
        return report.to_frame().to_csv()
    if fmt == "markdown":
        frame = report.to_frame().astype(object)
        frame = frame.where(frame.notna(), "")
        # a "|" in a note (a column's name) would end its cell
        frame = frame.map(lambda v: v.replace("|", "\\|") if isinstance(v, str) else v)
        return frame.to_markdown() + "\n"
    if fmt == "html":
        return report.to_html(title=f"Residual diagnostics: {source}")
    return f"Residual diagnostics: {source}\n{report.summary()}"


def _write_out(text: str) -> str | None:
    """Write to standard output: None, or why it failed ("" when the reader
    has gone, as `| head` does, which is not worth a message)."""
    try:
        if sys.stdout is None:
            return "standard output is closed"
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        # nothing more can go out; keep the interpreter's last flush quiet
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return ""
    except OSError as e:
        return e.strerror or str(e)
    return None


def main(argv: list[str] | None = None) -> int:
    tmp = None
    try:
        args = build_parser().parse_args(argv)
        report, source, dropped = prepare(args)
        text = render(report, args.format, source)
        if args.plot:
            tmp = _write_plot(report, args.plot)
    except UsageError as e:
        print(f"kalvoren-diag: error: {e}", file=sys.stderr)
        return 2
    if dropped:
        print(f"kalvoren-diag: note: dropped {dropped} rows with missing values", file=sys.stderr)
    problem = _write_out(text if text.endswith("\n") else text + "\n")
    if problem is not None:
        if tmp is not None:
            os.unlink(tmp)
        if problem:
            print(f"kalvoren-diag: error: cannot write the report: {problem}", file=sys.stderr)
        return 2
    if tmp is not None:
        try:
            os.replace(tmp, os.path.realpath(args.plot))
        except OSError as e:
            os.unlink(tmp)
            print(f"kalvoren-diag: error: --plot {args.plot}: {e.strerror or e}", file=sys.stderr)
            return 2
        if args.format == "table":
            print(f"plot written to {args.plot}")
    return 0
