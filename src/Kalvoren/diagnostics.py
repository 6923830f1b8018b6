"""Residual-diagnostics report.

Fits OLS of y on a constant and X, then runs the whole battery of the
``_diag`` kernels on the residuals and prints one table (or JSON)::

    python -m Kalvoren.diagnostics [data.csv --y COL --x COL [COL ...]]
                                   [--lags L] [--break T] [--json] [--plot FILE.png]

Without a file it uses the simulated data set shipped with the package
(``Kalvoren/data/simulated.csv``, see ``Kalvoren/data/README.md``).
"""

from __future__ import annotations

import argparse
import csv
import json
import math
import sys
from dataclasses import asdict, dataclass, field
from importlib import resources

import numpy as np

from Kalvoren._ckernels.diag import _diag

ALPHA = 0.05
CUSUM_CRITICAL = 0.948  # Brown-Durbin-Evans boundary constant at 5%
STATUS_TEXT = {
    1: "rank-deficient design",
    -1001: "target matrix not symmetric",
    -1002: "covariance matrix singular",
    -1003: "variance undefined (constant or non-finite series)",
    -1004: "lag bound out of range",
    -1005: "too few observations",
    -1007: "argument out of range",
}


class ReportError(Exception):
    """A problem with the user's input: reported on one line, exit status 2."""


@dataclass
class Row:
    test: str
    statistic: float | None
    pvalue: float | None = None
    decision: str = ""
    status: int = 0
    note: str = ""
    extra: dict = field(default_factory=dict)


# ----------------------------------------------------------------- input

def load_default():
    text = resources.files("Kalvoren").joinpath("data/simulated.csv").read_text()
    return parse_csv(text.splitlines(), "simulated.csv", "y", None)


def load_csv(path, ycol, xcols):
    try:
        with open(path, newline="") as fh:
            lines = fh.read().splitlines()
    except OSError as e:
        raise ReportError(f"cannot read {path}: {e.strerror or e}") from None
    return parse_csv(lines, path, ycol, xcols)


def parse_csv(lines, name, ycol, xcols):
    rows = list(csv.reader(lines))
    if not rows:
        raise ReportError(f"{name}: empty file")
    header = [h.strip() for h in rows[0]]
    if xcols is None:
        xcols = [h for h in header if h != ycol and h not in ("t", "time", "")]
    for col in [ycol, *xcols]:
        if col not in header:
            raise ReportError(f"{name}: no column {col!r} (columns: {', '.join(header)})")
    idx = [header.index(c) for c in [ycol, *xcols]]
    data = np.empty((len(rows) - 1, len(idx)))
    for r, row in enumerate(rows[1:]):
        for c, i in enumerate(idx):
            cell = row[i].strip() if i < len(row) else ""
            try:
                value = float(cell) if cell else float("nan")
            except ValueError:
                raise ReportError(f"{name}: line {r + 2}, column {header[i]!r}: "
                                  f"not a number: {cell!r}") from None
            if not math.isfinite(value):
                raise ReportError(f"{name}: line {r + 2}, column {header[i]!r}: "
                                  f"missing or non-finite value {cell!r}")
            data[r, c] = value
    return data[:, 0].copy(), np.ascontiguousarray(data[:, 1:]), [ycol, *xcols]


# ------------------------------------------------------ NumPy fallbacks

def _lstsq_fit(Z, y):
    beta, *_ = np.linalg.lstsq(Z, y, rcond=None)
    return y - Z @ beta


def _bg_numpy(eps, X, lags):
    n = len(eps)
    lagged = np.zeros((n, lags))
    for j in range(1, lags + 1):
        lagged[j:, j - 1] = eps[:-j]
    Z = np.column_stack([np.ones(n), X, lagged])
    resid = _lstsq_fit(Z, eps)
    return n * (1.0 - resid @ resid / (eps @ eps))


def _bp_numpy(eps, X_aug):
    g = eps**2 / np.mean(eps**2)
    resid = _lstsq_fit(X_aug, g)
    return resid @ resid, np.sum((g - g.mean()) ** 2)


def _chow_numpy(y, X, t):
    def rss(a, b):
        e = _lstsq_fit(X[a:b], y[a:b])
        return e @ e
    n, k = X.shape
    s, s12 = rss(0, n), rss(0, t) + rss(t, n)
    return ((s - s12) / k) / (s12 / (n - 2 * k))


def _recursive_numpy(y, X):
    n, k = X.shape
    w = np.empty(n - k)
    for j, t in enumerate(range(k, n)):
        P = np.linalg.pinv(X[:t].T @ X[:t])
        beta = P @ X[:t].T @ y[:t]
        x = X[t]
        w[j] = (y[t] - x @ beta) / math.sqrt(1.0 + x @ P @ x)
    return w


# ------------------------------------------------------------- battery

def _chi2_sf(x, df):
    from scipy import stats
    return float(stats.chi2.sf(x, df))


def _f_sf(x, d1, d2):
    from scipy import stats
    return float(stats.f.sf(x, d1, d2))


def _decide(p):
    if p is None or not math.isfinite(p):
        return ""
    return "reject" if p < ALPHA else "do not reject"


def _status_note(status, recomputed):
    if status == 0:
        return ""
    text = f"status {status}: {STATUS_TEXT.get(status, 'failed')}"
    if status == _diag.FALLBACK:
        text += "; recomputed with NumPy least squares" if recomputed else ""
    return text


def newey_west_lags(n):
    return max(1, int(4.0 * (n / 100.0) ** (2.0 / 9.0)))


def run_battery(y, X, lags, t_break):
    n, k = X.shape
    Z = np.column_stack([np.ones(n), X])
    beta, *_ = np.linalg.lstsq(Z, y, rcond=None)
    eps = np.ascontiguousarray(y - Z @ beta)
    rows = []

    # Breusch-Godfrey: the kernel adds its own constant, so X goes in bare.
    status, stat = _diag.bg_stat(eps, X, lags)
    if status == _diag.FALLBACK:
        stat = _bg_numpy(eps, X, lags)
    p = _chi2_sf(stat, lags) if status in (0, 1) else None
    rows.append(Row(f"Breusch-Godfrey (lags={lags})", stat, p, _decide(p), status,
                    _status_note(status, True)))

    # Breusch-Pagan, on the regressors with a constant.
    status, rss, tss = _diag.bp_aux(eps, Z)
    if status == _diag.FALLBACK:
        rss, tss = _bp_numpy(eps, Z)
    for label, studentized in (("Breusch-Pagan (LM)", False), ("Breusch-Pagan (Koenker n*R2)", True)):
        if status in (0, 1):
            if studentized:
                stat = 0.0 if tss <= 0 else n * min(max(1.0 - rss / tss, 0.0), 1.0)
            else:
                stat = max(0.5 * (tss - rss), 0.0)
            p = _chi2_sf(stat, k)
        else:
            stat, p = float("nan"), None
        rows.append(Row(label, stat, p, _decide(p), status, _status_note(status, True)))

    # Chow at the break.
    status, stat = _diag.chow_stat(y, Z, t_break)
    if status == _diag.FALLBACK:
        stat = _chow_numpy(y, Z, t_break)
    p = _f_sf(stat, k + 1, n - 2 * (k + 1)) if status in (0, 1) else None
    rows.append(Row(f"Chow (break at {t_break})", stat, p, _decide(p), status,
                    _status_note(status, True)))

    # Recursive residuals, CUSUM and CUSUM of squares.
    status, w = _diag.recursive_residuals(y, Z)
    if status == _diag.FALLBACK:
        w = _recursive_numpy(y, Z)
    st_series, series = _diag.cusum_series(y, Z)
    st_cusum, cusum = _diag.cusum_stat(y, Z)
    if st_cusum == _diag.FALLBACK:
        m = len(w)
        sigma = math.sqrt(np.sum(_lstsq_fit(Z, y) ** 2) / m)
        series = np.cumsum(w) / sigma
        cusum = float(np.max(np.abs(series) / (math.sqrt(m) + 2 * np.arange(m) / math.sqrt(m))))
    p = float(_diag.cusum_sf(cusum)) if st_cusum in (0, 1) else None
    decision = ("reject" if cusum > CUSUM_CRITICAL else "do not reject") if st_cusum in (0, 1) else ""
    rows.append(Row("CUSUM (recursive residuals)", cusum, p, decision, st_cusum,
                    _status_note(st_cusum, True), {"boundary": CUSUM_CRITICAL}))

    st_sq, m_sq, stat_sq = _diag.cusumsq_stat(y, Z)
    if st_sq == _diag.FALLBACK:
        c = np.cumsum(w**2) / np.sum(w**2)
        m_sq = len(w)
        stat_sq = float(np.max(np.abs(c - np.arange(1, m_sq + 1) / m_sq)) / math.sqrt(2.0))
    p = None
    if st_sq in (0, 1) and m_sq > 0:
        from scipy import stats
        # sqrt(m/2) * max|C_j/T - j/m| = sqrt(m) * stat tends to the Kolmogorov
        # distribution (squared normal residuals have variance 2): asymptotic.
        p = float(stats.kstwobign.sf(stat_sq * math.sqrt(m_sq)))
    rows.append(Row("CUSUM of squares", stat_sq, p, _decide(p), st_sq, _status_note(st_sq, True)))

    # Ljung-Box and Jarque-Bera on the residuals.
    lb_lags = min(lags if lags > 0 else 1, n - 1)
    status, stat = _diag.lb_stat(eps, lb_lags)
    p = _chi2_sf(stat, lb_lags) if status == 0 else None
    rows.append(Row(f"Ljung-Box (lags={lb_lags})", stat, p, _decide(p), status,
                    _status_note(status, False)))

    status, stat = _diag.jb_stat(eps)
    stat = float(stat)
    p = float(_diag.jb_pval_interp(n, stat)) if status in (0, -1005) and math.isfinite(stat) else None
    cv = float(_diag.jb_isf_interp(n, ALPHA))
    decision = ("reject" if stat > cv else "do not reject") if p is not None else ""
    rows.append(Row("Jarque-Bera (small-sample table)", stat, p, decision, status,
                    _status_note(status, False), {"critical_value_5pct": cv}))

    # HAC-robust Wald test that the mean residual is zero.
    hac_lags = newey_west_lags(n)
    r = eps - eps.mean()
    omega = _diag.hac_estimator_matmul(r.reshape(n, 1), 0, hac_lags)
    status, stat = _diag.wald_stat_from_mean_and_cov(np.array([eps.mean()]), np.zeros(1), omega, n)
    p = _chi2_sf(stat, 1) if status == 0 else None
    rows.append(Row(f"HAC Wald, zero mean residual (Bartlett, L={hac_lags})", stat, p,
                    _decide(p), status, _status_note(status, False)))

    paths = {"cusum": np.asarray(series, dtype=float), "recursive_residuals": np.asarray(w)}
    return rows, eps, paths


# ------------------------------------------------------------ printing

def _fmt(v, digits=4):
    if v is None:
        return "-"
    if not math.isfinite(v):
        return str(v)
    if v != 0 and (abs(v) < 1e-3 or abs(v) >= 1e6):
        return f"{v:.{digits}e}"
    return f"{v:.{digits}f}"


def print_table(rows, meta, out=sys.stdout):
    print(f"Residual diagnostics: {meta['source']}  (n={meta['n']}, "
          f"regressors: const + {', '.join(meta['x'])}; y: {meta['y']})", file=out)
    head = ("test", "statistic", "p-value", "at 5%")
    table = [head] + [(r.test, _fmt(r.statistic), _fmt(r.pvalue), r.decision) for r in rows]
    widths = [max(len(t[i]) for t in table) for i in range(4)]
    for i, t in enumerate(table):
        print("  ".join(s.ljust(w) if j in (0, 3) else s.rjust(w)
                        for j, (s, w) in enumerate(zip(t, widths))).rstrip(), file=out)
        if i == 0:
            print("  ".join("-" * w for w in widths), file=out)
    notes = [(r.test, r.note) for r in rows if r.note]
    for test, note in notes:
        print(f"note: {test}: {note}", file=out)
    print(f"CUSUM: the decision uses the 5% Brown-Durbin-Evans boundary {CUSUM_CRITICAL}; its "
          "p-value is the package's cusum_sf (normal tail at 2x, larger than the boundary's "
          "crossing probability, about 0.10 at 0.948).", file=out)


def plot(paths, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("plot skipped: matplotlib is not installed (pip install 'Kalvoren[plot]')",
              file=sys.stderr)
        return False
    series = paths["cusum"]
    w = paths["recursive_residuals"]
    m = len(series)
    j = np.arange(m)
    bound = CUSUM_CRITICAL * (math.sqrt(m) + 2 * j / math.sqrt(m))
    sq = np.cumsum(w**2) / np.sum(w**2)
    fig, (a1, a2) = plt.subplots(2, 1, figsize=(8, 7), sharex=True)
    a1.plot(j, series, label="CUSUM")
    a1.plot(j, bound, "r--", label="5% boundary")
    a1.plot(j, -bound, "r--")
    a1.set_title("CUSUM of recursive residuals")
    a1.legend(loc="best")
    a2.plot(j, sq, label="CUSUM of squares")
    a2.plot(j, (j + 1) / m, "k:", label="expected line")
    a2.set_title("CUSUM of squares")
    a2.set_xlabel("recursive residual index")
    a2.legend(loc="best")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # one line, exit status 2
        raise ReportError(message)


def build_parser():
    p = _Parser(prog="kalvoren-diag", description="Residual diagnostics of an OLS regression.")
    p.add_argument("csv", nargs="?", help="CSV file with a header row (default: shipped data)")
    p.add_argument("--y", help="response column")
    p.add_argument("--x", nargs="+", help="regressor columns (a constant is added)")
    p.add_argument("--lags", type=int, default=4, help="Breusch-Godfrey / Ljung-Box lags")
    p.add_argument("--break", dest="t_break", type=int, help="Chow break index (default: middle)")
    p.add_argument("--json", action="store_true", help="print JSON instead of a table")
    p.add_argument("--plot", metavar="FILE.png", help="draw the CUSUM and CUSUM-of-squares paths")
    return p


def main(argv=None):
    try:
        args = build_parser().parse_args(argv)
        if args.csv is None:
            y, X, names = load_default()
            source = "shipped simulated data"
        else:
            if not args.y or not args.x:
                raise ReportError("--y and --x are required with a CSV file")
            y, X, names = load_csv(args.csv, args.y, args.x)
            source = args.csv
        n, k = X.shape
        if n < max(10, 2 * (k + 1) + 2):
            raise ReportError(f"too few rows: {n} observations for {k + 1} coefficients")
        if args.lags < 1 or args.lags >= n - k - 1:
            raise ReportError(f"--lags must be between 1 and {n - k - 2}")
        t_break = n // 2 if args.t_break is None else args.t_break
        if not 1 <= t_break <= n - 1:
            raise ReportError(f"--break must be between 1 and {n - 1}")
        rows, eps, paths = run_battery(y, X, args.lags, t_break)
    except ReportError as e:
        print(f"kalvoren-diag: error: {e}", file=sys.stderr)
        return 2
    meta = {"source": source, "n": int(n), "y": names[0], "x": names[1:]}
    if args.json:
        json.dump({**meta, "tests": [_jsonable(asdict(r)) for r in rows]}, sys.stdout, indent=2)
        print()
    else:
        print_table(rows, meta)
    if args.plot:
        if plot(paths, args.plot) and not args.json:
            print(f"plot written to {args.plot}")
    return 0


def _jsonable(d):
    out = {}
    for key, v in d.items():
        if isinstance(v, float) and not math.isfinite(v):
            v = None
        elif isinstance(v, dict):
            v = _jsonable(v)
        out[key] = v
    return out


if __name__ == "__main__":
    raise SystemExit(main())
