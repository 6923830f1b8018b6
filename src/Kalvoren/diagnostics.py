"""Residual diagnostics of a linear regression.

``diagnose(y, X)`` fits OLS of y on X (a constant is added unless one is
there) and runs the battery on it; it returns a :class:`Report` whose
``tests`` map each test id to a :class:`TestResult`:

======================  ==============================================  ==========
id                      H0                                              reference
======================  ==============================================  ==========
breusch_godfrey         no serial correlation up to order ``lags``      chi2(lags)
breusch_pagan           homoskedastic errors (normal errors assumed)    chi2(slopes)
breusch_pagan_koenker   homoskedastic errors (studentized, robust)      chi2(slopes)
chow                    same coefficients before and after the break    F(k, n-2k)
cusum                   stable coefficients (recursive residuals)       table
cusum_squares           stable error variance (recursive residuals)     table
ljung_box               no autocorrelation of residuals up to ``lags``  chi2(lags)
jarque_bera             normal errors (skewness 0, kurtosis 3)          table
hac_wald                all slope coefficients are zero (HAC, robust)   chi2(slopes)
======================  ==============================================  ==========

"Reject" means p < alpha: the data speak against H0 at that level.

The command line (``python -m Kalvoren.diagnostics``, ``kalvoren-diag``) prints
the same report for a data file.
"""

from __future__ import annotations

import functools
import json
import math
import warnings
from dataclasses import dataclass
from typing import Any, Iterator

import numpy as np

from Kalvoren import _engine, _prepare
from Kalvoren._ckernels.diag import _batch

__all__ = [
    "diagnose",
    "Report",
    "TestResult",
    "TEST_IDS",
    "KalvorenWarning",
    "breusch_godfrey",
    "breusch_pagan",
    "chow",
    "cusum",
    "cusum_squares",
    "ljung_box",
    "jarque_bera",
    "hac_wald",
    "newey_west_lags",
    "main",
]

SCHEMA_VERSION = 1


class KalvorenWarning(UserWarning):
    """A result came with a caveat (its note says which); the numbers stand."""

TEST_IDS = _engine.TEST_IDS
CUSUM_CLASSIC = 0.948  # Brown-Durbin-Evans asymptotic 5% boundary constant

TITLES = {
    "breusch_godfrey": "Breusch-Godfrey serial correlation (LM)",
    "breusch_pagan": "Breusch-Pagan heteroskedasticity",
    "breusch_pagan_koenker": "Breusch-Pagan, Koenker's studentized form",
    "chow": "Chow structural break",
    "cusum": "CUSUM of recursive residuals",
    "cusum_squares": "CUSUM of squares",
    "ljung_box": "Ljung-Box autocorrelation",
    "jarque_bera": "Jarque-Bera normality",
    "hac_wald": "Wald, all slopes zero (HAC)",
}
H0 = {
    "breusch_godfrey": "no serial correlation of the errors up to the given order",
    "breusch_pagan": "homoskedastic errors",
    "breusch_pagan_koenker": "homoskedastic errors",
    "chow": "the coefficients are the same before and after the break",
    "cusum": "the coefficients are stable over the sample",
    "cusum_squares": "the error variance is stable over the sample",
    "ljung_box": "no autocorrelation of the residuals up to the given lag",
    "jarque_bera": "normally distributed errors",
    "hac_wald": "all slope coefficients are zero",
}


@functools.lru_cache(maxsize=1024)
def newey_west_lags(n: int) -> int:
    """The default HAC bandwidth: floor(4 (n/100)^(2/9)) (Newey and West, 1994)."""
    return int(_engine.hac_rule(np.array([n]))[0])


@dataclass(slots=True)
class TestResult:
    """One test's outcome. Unpacks like a pair: ``stat, p = result``.

    statistic: the test statistic (NaN when it could not be computed).
    pvalue: its p-value (NaN when there is none).
    df: degrees of freedom: an int (chi-square), a pair (F), or None.
    reject: ``pvalue < alpha``, or None when there is no p-value.
    status: the kernel's status (0 computed; see the README's status table).
    route: "kernel", or "least-squares" when the kernels refused the design.
    pvalue_bound: None, or "<" / ">" when a table p-value sits at the table's
        edge (the true p-value is then below / above ``pvalue``).
    note: what a reader should know (status text, columns dropped, ...).
    """

    statistic: float
    pvalue: float
    df: int | tuple[int, int] | None
    reject: bool | None
    status: int
    route: str
    pvalue_bound: str | None = None
    note: str = ""
    test: str = ""
    alpha: float = 0.05

    __test__ = False  # not a pytest class

    def __iter__(self) -> Iterator[float]:
        return iter((self.statistic, self.pvalue))

    def __repr__(self) -> str:
        p = _fmt_p(self.pvalue, self.pvalue_bound)
        if self.reject is None:
            verdict = "no decision"
        else:
            verdict = (
                "reject" if self.reject else "do not reject"
            ) + f" H0 ({H0.get(self.test, 'H0')}) at {self.alpha:g}"
        df = f", df={self.df}" if self.df is not None else ""
        note = f"; {self.note}" if self.note else ""
        return (
            f"<{self.test or 'test'}: statistic={_fmt(self.statistic)}, p-value={p}{df}: "
            f"{verdict}{note}>"
        )

    def to_dict(self) -> dict:
        df = list(self.df) if isinstance(self.df, tuple) else self.df
        return {
            "statistic": _json_float(self.statistic),
            "pvalue": _json_float(self.pvalue),
            "df": df,
            "reject": self.reject,
            "status": self.status,
            "route": self.route,
            "pvalue_bound": self.pvalue_bound,
            "note": self.note,
        }


def _json_float(v: float) -> float | None:
    return None if v is None or not math.isfinite(v) else float(v)


def _fmt(v: float | None, digits: int = 4) -> str:
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return "-"
    if not math.isfinite(v):
        return str(v)
    if v != 0 and (abs(v) < 1e-3 or abs(v) >= 1e6):
        return f"{v:.{digits - 1}e}"
    return f"{v:.{digits}f}"


def _fmt_p(p: float, bound: str | None) -> str:
    if p is None or math.isnan(p):
        return "-"
    return f"{bound}{p:.4g}" if bound else (f"{p:.4f}" if p >= 1e-4 else f"{p:.2e}")


_R2_RSS = [_engine.FIELD["r2"], _engine.FIELD["rss"]]


class Report:
    """The battery's results for one regression. ``print(report)`` shows the
    summary; ``report.tests[id]`` is a :class:`TestResult`."""

    def __init__(
        self,
        model: _prepare.Model,
        batch: _engine.Batch,
        table: _engine.Table,
        alpha: float,
        break_at: Any,
    ):
        self._model, self._batch, self._table = model, batch, table
        raw = table.raw
        self.alpha = alpha
        self.n = model.n
        self.k = model.k
        self.y_name = model.y_name
        self.x_names = list(model.x_names)
        self.lags = batch.lags
        self.break_at = break_at
        self.hac_lags, self.t_break = batch.hac_lags.item(), batch.t_break.item()
        self.rank = int(raw.rank.item())
        self.r2, self.rss = raw.out[0, _R2_RSS].tolist()
        #: 1-norm condition number of the equilibrated design that was fitted
        self.condition: float = float(raw.out[0, _engine.FIELD["cond"]])
        self.params, self.bse = raw.beta[0], raw.se[0]
        self.note = raw.notes[0].get("", "")
        self.tests: dict[str, TestResult] = _results(table, 0, alpha, batch.tests)

    @property
    def index(self) -> Any:
        """The data's pandas index, or None."""
        return self._model.index

    def __repr__(self) -> str:
        return self.summary()

    __str__ = __repr__

    def to_frame(self):
        """The tests as a pandas DataFrame indexed by test id."""
        import pandas as pd

        rows = {
            tid: {
                "statistic": r.statistic,
                "pvalue": r.pvalue,
                "df": r.df,
                "reject": r.reject,
                "status": r.status,
                "route": r.route,
                "pvalue_bound": r.pvalue_bound,
                "note": r.note,
            }
            for tid, r in self.tests.items()
        }
        frame = pd.DataFrame.from_dict(rows, orient="index")
        frame.index.name = "test"
        return frame

    def to_dict(self) -> dict:
        """JSON-ready data (NaN written as null)."""
        import Kalvoren

        coef = {
            name: {"coef": _json_float(b), "hac_se": _json_float(s)}
            for name, b, s in zip(self.x_names, self.params, self.bse)
        }
        return {
            "schema_version": SCHEMA_VERSION,
            "kalvoren_version": Kalvoren.__version__,
            "n": self.n,
            "k": self.k,
            "columns": {"y": self.y_name, "x": self.x_names},
            "model": {
                "rank": self.rank,
                "r2": _json_float(self.r2),
                "condition": _json_float(self.condition),
                "rss": _json_float(self.rss),
                "coefficients": coef,
                "hac_lags": self.hac_lags,
                "hac_kernel": "bartlett",
                "lags": self.lags,
                "break_at": _jsonable_label(self.break_at),
                "break_position": self.t_break,
                "alpha": self.alpha,
                "note": self.note,
            },
            "tests": {tid: r.to_dict() for tid, r in self.tests.items()},
        }

    def to_json(self, **kw: Any) -> str:
        return json.dumps(self.to_dict(), **kw)

    def summary(self) -> str:
        """Model context (n, k, R^2, coefficients with HAC standard errors) and
        the test table with degrees of freedom and decisions."""
        import pandas as pd
        from scipy import special

        head = [
            f"OLS of {self.y_name} on {', '.join(self.x_names) or 'nothing'}",
            f"n = {self.n}   k = {self.k}"
            + (f" (rank {self.rank})" if self.rank != self.k else "")
            + f"   R^2 = {_fmt(self.r2)}   HAC: Bartlett, {self.hac_lags} lags",
        ]
        with np.errstate(invalid="ignore", divide="ignore"):
            z = self.params / self.bse
        coef = pd.DataFrame(
            {
                "coef": self.params,
                "HAC s.e.": self.bse,
                "z": z,
                "P>|z|": special.erfc(np.abs(z) / math.sqrt(2.0)),
            },
            index=self.x_names,
        )
        tests = pd.DataFrame(
            {
                "statistic": [_fmt(r.statistic) for r in self.tests.values()],
                "df": [
                    "-" if r.df is None else str(r.df).replace(" ", "") for r in self.tests.values()
                ],
                "p-value": [_fmt_p(r.pvalue, r.pvalue_bound) for r in self.tests.values()],
                f"reject at {self.alpha:g}": [
                    "-" if r.reject is None else ("yes" if r.reject else "no")
                    for r in self.tests.values()
                ],
                "route": [r.route for r in self.tests.values()],
            },
            index=list(self.tests),
        )
        notes = [f"  {tid}: {r.note}" for tid, r in self.tests.items() if r.note]
        if self.note:
            notes.insert(0, f"  model: {self.note}")
        text = "\n".join(head) + "\n\n" + coef.to_string(float_format=lambda v: f"{v:.6g}")
        text += "\n\n" + tests.to_string() + "\n"
        if notes:
            text += "notes:\n" + "\n".join(notes) + "\n"
        return text

    def _repr_html_(self) -> str:
        import html

        head = html.escape(self.summary().split("\n\n")[0]).replace("\n", "<br>")
        return f"<p>{head}</p>" + self.to_frame().to_html()

    def paths(self) -> dict:
        """The CUSUM path and the CUSUM-of-squares path with their 5% bounds,
        indexed by the observation each recursive residual belongs to."""
        from Kalvoren import _cusum_null, _lstsq

        y, X, cc = self._model.y, self._model.X, self._model.const_col
        Xs = _lstsq.scaled(X, _lstsq.pow2_exponents(X))
        ys = _lstsq.scaled(y, _lstsq.pow2_exponents(y))
        if self.rank < self.k:
            kept = _lstsq.independent_columns(Xs, cc)
            Xs, cc = Xs[:, kept], (kept.index(cc) if cc >= 0 else -1)
        w, _ = _lstsq.recursive_residuals(ys, _lstsq.Fit.of(Xs, ys, cc).Q)
        m = w.shape[0]
        if m == 0 or not float(w @ w) > 0:
            raise ValueError("no recursive residuals to plot (too few observations or exact fit)")
        j = np.arange(m)
        series, squares = _lstsq.cusum_paths(w)
        shape = math.sqrt(m) + 2.0 * j / math.sqrt(m)
        crit = float(_cusum_null.cusum_critical_value(0.05, m))
        crit_sq = float(_cusum_null.cusumsq_critical_value(0.05, m)) * math.sqrt(2.0)
        x = _plot_axis(self.index, self.n - m, self.n)
        return {
            "x": x,
            "cusum": series,
            "cusum_bound": crit * shape,
            "cusum_classic": CUSUM_CLASSIC * shape,
            "cusum_squares": squares,
            "expected": (j + 1) / m,
            "cusum_squares_band": crit_sq,
        }

    def plot(self):
        """A matplotlib Figure: the CUSUM path with its 5% boundaries (finite
        sample, and the classic 0.948 lines) and the CUSUM of squares with its
        5% band."""
        import matplotlib.pyplot as plt

        pth = self.paths()
        x = pth["x"]
        fig, (a1, a2) = plt.subplots(2, 1, figsize=(8, 6.5), sharex=True)
        a1.plot(x, pth["cusum"], color="C0", label="CUSUM")
        for sgn in (1, -1):
            a1.plot(
                x,
                sgn * pth["cusum_bound"],
                "r-",
                lw=1,
                label="5% boundary (finite sample)" if sgn > 0 else None,
            )
            a1.plot(
                x,
                sgn * pth["cusum_classic"],
                color="0.5",
                ls="--",
                lw=1,
                label="classic 0.948 boundary" if sgn > 0 else None,
            )
        a1.set_title("CUSUM of recursive residuals")
        a1.legend(loc="best", fontsize="small")
        band = pth["cusum_squares_band"]
        a2.plot(x, pth["cusum_squares"], color="C0", label="CUSUM of squares")
        a2.plot(x, pth["expected"], "k:", lw=1, label="expected under H0")
        a2.plot(x, np.clip(pth["expected"] + band, 0, 1), "r-", lw=1, label="5% band")
        a2.plot(x, np.clip(pth["expected"] - band, 0, 1), "r-", lw=1)
        a2.set_title("CUSUM of squares")
        a2.legend(loc="best", fontsize="small")
        a2.set_xlabel(str(getattr(self.index, "name", None) or "observation"))
        fig.tight_layout()
        return fig


def _plot_axis(index: Any, lo: int, hi: int) -> Any:
    """Observations lo..hi-1 as matplotlib can place them: the index's dates or
    numbers, else positions."""
    if index is None:
        return np.arange(lo, hi)
    import pandas as pd

    part = index[lo:hi]
    if isinstance(part, pd.PeriodIndex):
        return part.to_timestamp()
    if isinstance(part, pd.DatetimeIndex) or pd.api.types.is_numeric_dtype(part.dtype):
        return part
    return np.arange(lo, hi)


def _jsonable_label(v: Any) -> Any:
    if v is None or isinstance(v, (int, float, str, bool)):
        return v
    if isinstance(v, np.integer):
        return int(v)
    return str(v)


def _results(table: _engine.Table, g: int, alpha: float, tests: int) -> dict[str, TestResult]:
    """The TestResults of series g, for the tests that ran."""
    stat, pv, d1, d2, status, ls, bound, note = table.row(g)
    out = {}
    for i, tid in enumerate(TEST_IDS):
        if not tests & _engine.BITS[tid]:
            continue
        p = pv[i]
        df = (
            None if d1[i] != d1[i] else (int(d1[i]) if d2[i] != d2[i] else (int(d1[i]), int(d2[i])))
        )
        out[tid] = TestResult(
            stat[i],
            p,
            df,
            None if p != p else p < alpha,
            status[i],
            "least-squares" if ls[i] else "kernel",
            bound[i],
            note[i],
            tid,
            alpha,
        )
    return out


# ----------------------------------------------------------------- options


def _int_option(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    return int(value)


def _break_position(break_at: Any, model: _prepare.Model) -> int:
    """The 0-based position of the first observation after the break."""
    n, k = model.n, model.k
    if break_at is None:
        return n // 2
    if isinstance(break_at, bool):
        raise TypeError(f"break_at must be a position or an index label, got {break_at!r}")
    if isinstance(break_at, (int, np.integer)):
        pos = int(break_at)
    else:
        if model.index is None:
            raise TypeError(f"break_at must be an integer position, got {break_at!r}")
        try:
            pos = model.index.get_loc(break_at)
        except (KeyError, TypeError):
            raise ValueError(f"break_at {break_at!r} is not a label of the data's index") from None
        if not isinstance(pos, (int, np.integer)):
            raise ValueError(f"break_at {break_at!r} does not name one observation")
        pos = int(pos)
    if not k + 1 <= pos <= n - k - 1:
        raise ValueError(
            f"break_at leaves fewer than k + 1 = {k + 1} observations on one side: "
            f"the break position must be between {k + 1} and {n - k - 1} (got {pos})"
        )
    return pos


def _batch_of(model: _prepare.Model, lags: int, t_break: int, hac_lags: int, tests: int):
    ints = np.array([0, model.n, t_break, hac_lags], dtype=np.int64)
    return _engine.Batch(
        model.y,
        model.X,
        ints[0:2],
        False,
        model.const_col,
        lags,
        ints[2:3],
        ints[3:4],
        tests,
        model.x_names,
    )


def _run(
    y: Any,
    X: Any,
    *,
    lags: int = 4,
    break_at: Any = None,
    hac_lags: int | None = None,
    alpha: float = 0.05,
    add_constant: bool = True,
    tests: int = _batch.ALL,
) -> Report:
    lags = _int_option(lags, "lags")
    if not 0.0 < float(alpha) < 1.0:
        raise ValueError(f"alpha must lie in (0, 1), got {alpha!r}")
    model = _prepare.prepare(y, X, add_constant=add_constant)
    n, k = model.n, model.k
    if n <= k + 1:
        raise ValueError(f"too few observations: n = {n} for k = {k} coefficients")
    if not 1 <= lags < n - k:
        raise ValueError(
            f"lags must be between 1 and {n - k - 1} for n = {n}, k = {k} (got {lags})"
        )
    if hac_lags is None:
        hac_lags = newey_west_lags(n)
    hac_lags = _int_option(hac_lags, "hac_lags")
    if hac_lags < 0:
        raise ValueError(f"hac_lags must be >= 0 (got {hac_lags})")
    t_break = _break_position(break_at, model) if tests & _batch.CHOW else n // 2
    batch = _batch_of(model, lags, t_break, hac_lags, tests)
    raw = _engine.run_raw(batch)
    table = _engine.finish(batch, raw, float(alpha))
    notes = raw.notes[0]
    statuses = table.row(0)[4]
    for key in sorted(k for k in notes if k.startswith("digits")):
        tid = key.partition(":")[2]
        if any(s == 0 for t, s in zip(TEST_IDS, statuses) if t == tid or not tid):
            what = f"{tid}: this statistic" if tid else "the statistics"
            warnings.warn(notes[key].replace("this statistic", what), KalvorenWarning, 3)
    return Report(model, batch, table, float(alpha), break_at if break_at is not None else t_break)


def diagnose(
    y: Any,
    X: Any = None,
    *,
    lags: int = 4,
    break_at: Any = None,
    hac_lags: int | None = None,
    alpha: float = 0.05,
    add_constant: bool = True,
) -> Report:
    """Fit OLS of y on X and run the whole battery on it.

    y: the response (array, list, pandas Series), or a fitted OLS results
        object with ``.model.endog`` and ``.model.exog`` (statsmodels' OLS
        results, for example), whose design is then used as it is.
    X: the regressors (2-D array, list of rows, pandas DataFrame or Series),
        or None for a model with a constant only. Integer columns are fine.
    lags: order of the Breusch-Godfrey and Ljung-Box tests.
    break_at: the Chow test's break: an integer is the 0-based position of
        the first observation of the second segment; anything else is a label
        of the data's index (a date, a period, a string). Default: the middle.
    hac_lags: Bartlett bandwidth of the HAC covariance (coefficient standard
        errors and the ``hac_wald`` test). Default: floor(4 (n/100)^(2/9)).
    alpha: the level at which ``reject`` is decided (p < alpha).
    add_constant: add a constant column unless X already holds one.

    Raises ValueError for missing or non-finite values (naming the column and
    row), y among the X columns, duplicate columns, too few observations, or
    options out of range.
    """
    return _run(
        y,
        X,
        lags=lags,
        break_at=break_at,
        hac_lags=hac_lags,
        alpha=alpha,
        add_constant=add_constant,
    )


def _one(tid: str, y: Any, X: Any, **kw: Any) -> TestResult:
    return _run(y, X, tests=_engine.BITS[tid], **kw).tests[tid]


def breusch_godfrey(
    y: Any, X: Any = None, *, lags: int = 4, alpha: float = 0.05, add_constant: bool = True
) -> TestResult:
    """Breusch-Godfrey LM test. H0: no serial correlation of the errors up to
    order ``lags``. Statistic n R^2 of the residuals on X and their lags,
    chi2(lags) under H0; reject means the errors are serially correlated."""
    return _one("breusch_godfrey", y, X, lags=lags, alpha=alpha, add_constant=add_constant)


def breusch_pagan(
    y: Any, X: Any = None, *, robust: bool = True, alpha: float = 0.05, add_constant: bool = True
) -> TestResult:
    """Breusch-Pagan test. H0: homoskedastic errors (the variance does not
    depend on the regressors). ``robust=True`` (default) is Koenker's
    studentized n R^2, valid without normal errors; ``robust=False`` is the
    original half explained sum of squares, which assumes normal errors.
    chi2(number of slopes) under H0; reject means heteroskedasticity."""
    tid = "breusch_pagan_koenker" if robust else "breusch_pagan"
    return _one(tid, y, X, alpha=alpha, add_constant=add_constant)


def chow(
    y: Any, X: Any = None, *, break_at: Any = None, alpha: float = 0.05, add_constant: bool = True
) -> TestResult:
    """Chow break-point test. H0: the coefficients are the same before and
    after ``break_at``. F(k, n - 2k) under H0 with normal errors; reject means
    a structural break at that point."""
    return _one("chow", y, X, break_at=break_at, alpha=alpha, add_constant=add_constant)


def cusum(y: Any, X: Any = None, *, alpha: float = 0.05, add_constant: bool = True) -> TestResult:
    """CUSUM test of Brown, Durbin and Evans. H0: stable coefficients. The
    statistic is the largest ratio of the cumulated recursive residuals to the
    boundary sqrt(m) + 2j/sqrt(m); its p-value comes from finite-sample tables
    (normal errors). Reject means the coefficients drift."""
    return _one("cusum", y, X, alpha=alpha, add_constant=add_constant)


def cusum_squares(
    y: Any, X: Any = None, *, alpha: float = 0.05, add_constant: bool = True
) -> TestResult:
    """CUSUM-of-squares test. H0: stable error variance. The statistic is the
    largest distance of the cumulated squared recursive residuals from their
    expected line, over sqrt(2); finite-sample table p-value. Reject means the
    variance (or the coefficients) changed."""
    return _one("cusum_squares", y, X, alpha=alpha, add_constant=add_constant)


def ljung_box(
    y: Any, X: Any = None, *, lags: int = 4, alpha: float = 0.05, add_constant: bool = True
) -> TestResult:
    """Ljung-Box test on the residuals (on the series itself, demeaned, when X
    is None). H0: no autocorrelation up to lag ``lags``; chi2(lags) under H0.
    Reject means autocorrelation."""
    return _one("ljung_box", y, X, lags=lags, alpha=alpha, add_constant=add_constant)


def jarque_bera(
    y: Any, X: Any = None, *, alpha: float = 0.05, add_constant: bool = True
) -> TestResult:
    """Jarque-Bera test on the residuals (on the series itself when X is
    None). H0: normal errors (skewness 0, excess kurtosis 0). The p-value
    comes from a small-sample table; ``pvalue_bound`` flags its edges. Reject
    means non-normal errors."""
    return _one("jarque_bera", y, X, alpha=alpha, add_constant=add_constant)


def hac_wald(
    y: Any,
    X: Any = None,
    *,
    hac_lags: int | None = None,
    alpha: float = 0.05,
    add_constant: bool = True,
) -> TestResult:
    """Wald test that all slope coefficients are zero, with a Newey-West
    (Bartlett) HAC covariance without small-sample correction. H0: all slopes
    are zero; chi2(number of slopes) under H0. Reject means the regressors
    explain y, robustly to heteroskedasticity and autocorrelation."""
    return _one("hac_wald", y, X, hac_lags=hac_lags, alpha=alpha, add_constant=add_constant)


def main(argv: list[str] | None = None) -> int:
    """The command line: ``kalvoren-diag --help``."""
    from Kalvoren import _cli

    return _cli.main(argv)


if __name__ == "__main__":
    raise SystemExit(main())
