"""kalvoren-diag: the diagnostics report for a data file."""

from __future__ import annotations

import argparse
import json
import sys
from importlib import resources

from Kalvoren import diagnostics


class UsageError(Exception):
    """A problem with the user's input: one line on stderr, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # one line, exit status 2
        raise UsageError(message)


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(prog="kalvoren-diag",
                description="Residual diagnostics of an OLS regression.",
                formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    p.add_argument("file", nargs="?", help="CSV file with a header row (default: shipped data)")
    p.add_argument("--y", help="response column")
    p.add_argument("--x", nargs="+", help="regressor columns (a constant is added)")
    p.add_argument("--lags", type=int, default=4, help="Breusch-Godfrey / Ljung-Box lags")
    p.add_argument("--break", dest="break_at", type=int,
                   help="Chow break: 0-based position of the first observation after it "
                        "(default: the middle)")
    p.add_argument("--json", action="store_true", help="print JSON instead of a table")
    p.add_argument("--plot", metavar="FILE", help="draw the CUSUM and CUSUM-of-squares paths")
    return p


def _load(args: argparse.Namespace):
    import pandas as pd
    if args.file is None:
        with resources.files("Kalvoren").joinpath("data/simulated.csv").open() as fh:
            frame = pd.read_csv(fh)
        return frame, "y", args.x or ["x1", "x2"], "shipped simulated data"
    if not args.y or not args.x:
        raise UsageError("--y and --x are required with a data file")
    try:
        frame = pd.read_csv(args.file)
    except OSError as e:
        raise UsageError(f"cannot read {args.file}: {e.strerror or e}") from None
    return frame, args.y, args.x, args.file


def main(argv: list[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
        frame, ycol, xcols, source = _load(args)
        for col in [ycol, *xcols]:
            if col not in frame.columns:
                raise UsageError(f"no column {col!r} (columns: {', '.join(map(str, frame.columns))})")
        try:
            report = diagnostics.diagnose(frame[ycol], frame[list(xcols)], lags=args.lags,
                                          break_at=args.break_at)
        except (ValueError, TypeError) as e:
            raise UsageError(str(e)) from None
    except UsageError as e:
        print(f"kalvoren-diag: error: {e}", file=sys.stderr)
        return 2
    if args.json:
        print(json.dumps(report.to_dict(), indent=2))
    else:
        print(f"Residual diagnostics: {source}")
        print(report.summary())
    if args.plot:
        try:
            import matplotlib
            matplotlib.use("Agg")
        except ImportError:
            print("plot skipped: matplotlib is not installed (pip install 'Kalvoren[plot]')",
                  file=sys.stderr)
            return 0
        fig = report.plot()
        fig.savefig(args.plot, dpi=100)
        if not args.json:
            print(f"plot written to {args.plot}")
    return 0
