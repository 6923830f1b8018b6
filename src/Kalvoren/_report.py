"""The report of one regression: the model's numbers, the tests, and the
ways to show them (text, JSON, frames, HTML, plots)."""

from __future__ import annotations

import functools
import json
import math
from typing import TYPE_CHECKING, Any

import numpy as np

from Kalvoren import _engine, _prepare, _robust
from Kalvoren._results import TestResult, fmt, fmt_p, json_float

if TYPE_CHECKING:
    import pandas as pd

SCHEMA_VERSION = 1
CUSUM_CLASSIC = 0.948  # Brown-Durbin-Evans asymptotic 5% boundary constant

_R2, _RSS = _engine.FIELD["r2"], _engine.FIELD["rss"]
_COND = _engine.FIELD["cond"]


class Report:
    """The battery's results for one regression. ``print(report)`` shows the
    summary; ``report.tests[id]`` is a :class:`TestResult`."""

    def __init__(
        self,
        model: _prepare.Model,
        batch: _engine.Batch,
        rec: _engine.Record,
        tests: dict[str, TestResult],
        alpha: float,
        break_at: Any,
    ):
        self._model, self._batch, self._record = model, batch, rec
        self.alpha = alpha
        self.n, self.k = model.X.shape
        self.y_name = model.y_name
        self.x_names = list(model.x_names)
        self.lags = batch.lags
        self.break_at = break_at
        self.hac_lags: int = batch.hac_lags.item()
        # the covariance: another one's record, or the battery's own Bartlett
        # HAC (whose matrix is formed when first asked for)
        plan = batch.cov
        self._cov: _robust.Cov | None = rec.extra[0].get("cov") if plan is not None else None
        #: the covariance behind bse: "HAC", "HC0".."HC5", "HC4m", "cluster" or "driscoll-kraay"
        self.cov_type: str = "HAC" if plan is None else plan.choice.cov_type
        self.note = rec.notes[0].get("model", "")
        self.tests = tests
        # sup_f's date of the supremum: a label of the data's index when there is one
        sup = self.tests.get("sup_f")
        if sup is not None and sup.break_at is not None and self.index is not None:
            sup.break_at = self.index[sup.break_at]
        #: the bandwidth asked for (hac_lags is the one used: at most n - 1)
        self.hac_lags_requested: int = self.hac_lags
        #: the caveats diagnose warned about (KalvorenWarning), as text
        self.warnings: list[str] = []

    # what the record holds, read when asked for
    @property
    def t_break(self) -> int:
        """The Chow test's break as a 0-based position."""
        t: int = self._batch.t_break.item()
        return t

    @property
    def rank(self) -> int:
        """The rank of the design fitted (its columns less those dropped as collinear)."""
        return int(self._record.rank.item())

    @property
    def r2(self) -> float:
        r2: float = self._record.out.item(0, _R2)
        return r2

    @property
    def rss(self) -> float:
        rss: float = self._record.out.item(0, _RSS)
        return rss

    @property
    def condition(self) -> float:
        """1-norm condition number of the equilibrated design that was fitted."""
        cond: float = self._record.out.item(0, _COND)
        return cond

    @property
    def _beta(self) -> np.ndarray:
        beta: np.ndarray = self._record.beta[0]
        return beta

    @property
    def _se(self) -> np.ndarray:
        se: np.ndarray = self._record.se[0]
        return se

    @property
    def _cov_label(self) -> str:
        plan = self._batch.cov
        if plan is None:
            return f"HAC: Bartlett, {self.hac_lags} lags"
        if self._cov is None:
            return f"{plan.choice.cov_type}: undefined for these data"
        return self._cov.label

    @property
    def bandwidth(self) -> float | None:
        """The HAC (or Driscoll-Kraay) bandwidth b used: lag j weighs k(j / b),
        so L lags (``hac_lags``, an integer ``bandwidth`` option) are b = L + 1;
        None for HC and clustered covariances."""
        if self._cov is None:
            return float(self.hac_lags + 1) if self._batch.cov is None else None
        return self._cov.bandwidth

    def _cov_record(self) -> "_robust.Cov":
        if self._cov is None:
            if self._batch.cov is not None:
                raise ValueError(f"the {self.cov_type} covariance is undefined for these data")
            m = self._model
            self._cov = _robust.covariance(
                m.y, m.X, m.const_col, _robust.CovChoice(), None, self.hac_lags, self.rank
            )
        return self._cov

    @property
    def cov(self) -> Any:
        """The covariance matrix of the coefficients (the one ``cov_type``
        names) as a DataFrame labelled by regressor; NaN rows and columns for
        regressors dropped as collinear."""
        return _robust.cov_frame(self._cov_record().matrix, self.x_names)

    def wald(self, R: Any, r: Any = None, *, distribution: str = "chi2") -> TestResult:
        """Wald test of the linear restrictions R b = r with the report's
        covariance. R: a (q, k) matrix (or one row), or regressor names (each
        coefficient zero); r: q values (default zeros). distribution "chi2"
        (W against chi2(q)) or "F" (W / q against F(q, d), d = n - k, or the
        clusters (periods) less one for clustered (Driscoll-Kraay) covariances)."""
        return _robust.wald(
            self.params.to_numpy(),
            self._cov_record(),
            self.x_names,
            R,
            r,
            distribution,
            self.alpha,
        )

    @property
    def index(self) -> Any:
        """The data's pandas index, or None."""
        return self._model.index

    @functools.cached_property
    def params(self) -> Any:
        """The coefficients, a pandas Series by regressor name."""
        import pandas as pd

        return pd.Series(self._beta, index=self.x_names, name="coef")

    @functools.cached_property
    def bse(self) -> Any:
        """The coefficients' standard errors from ``cov`` (by default the
        Bartlett HAC of hac_lags without small-sample correction), a pandas
        Series by regressor name."""
        import pandas as pd

        return pd.Series(self._se, index=self.x_names, name="bse")

    @property
    def _se_label(self) -> str:
        short = {"cluster": "cluster", "driscoll-kraay": "DK"}.get(self.cov_type, self.cov_type)
        return f"{short} s.e."

    @property
    def tvalues(self) -> Any:
        """z statistics of the coefficients (coefficient over standard error)."""
        with np.errstate(invalid="ignore", divide="ignore"):
            return (self.params / self.bse).rename("z")

    @property
    def pvalues(self) -> Any:
        """Two-sided normal p-values of the coefficients' z statistics."""
        import pandas as pd
        from scipy import special

        p = special.erfc(np.abs(self.tvalues.to_numpy()) / math.sqrt(2.0))
        return pd.Series(p, index=self.params.index, name="P>|z|")

    def conf_int(self, alpha: float = 0.05) -> Any:
        """Normal confidence intervals of the coefficients at level 1 - alpha, a
        frame with columns "lower" and "upper" (as statsmodels' conf_int)."""
        import pandas as pd
        from scipy import special

        if not 0.0 < alpha < 1.0:
            raise ValueError(f"alpha must lie in (0, 1), got {alpha!r}")
        z = -math.sqrt(2.0) * float(special.erfcinv(alpha))
        half = abs(z) * self.bse
        return pd.DataFrame({"lower": self.params - half, "upper": self.params + half})

    def __repr__(self) -> str:
        return self.summary()

    __str__ = __repr__

    def to_frame(self) -> pd.DataFrame:
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

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready data (NaN written as null)."""
        import Kalvoren

        se_key = "hac_se" if self.cov_type == "HAC" else "se"
        coef = {
            name: {"coef": json_float(b), se_key: json_float(s)}
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
                "r2": json_float(self.r2),
                "condition": json_float(self.condition),
                "rss": json_float(self.rss),
                "coefficients": coef,
                "hac_lags": self.hac_lags,
                "hac_lags_requested": self.hac_lags_requested,
                "hac_kernel": "bartlett",
                "cov": self._cov_dict(),
                "lags": self.lags,
                "break_at": _jsonable_label(self.break_at),
                "break_position": self.t_break,
                "alpha": self.alpha,
                "note": self.note,
            },
            "tests": {tid: r.to_dict() for tid, r in self.tests.items()},
            "warnings": list(self.warnings),
        }

    def _cov_dict(self) -> dict[str, Any]:
        c = self._cov if self._batch.cov is not None else None
        return {
            "type": self.cov_type,
            "label": self._cov_label,
            "bandwidth": json_float(self.bandwidth),
            "kernel": ("bartlett" if self._batch.cov is None else c.kernel if c else None),
            "prewhite": c.prewhite if c else 0,
            "adjust": c.adjust if c else False,
            "rule": c.rule if c else None,
            "clusters": list(c.clusters) if c else [],
        }

    def to_json(self, **kw: Any) -> str:
        return json.dumps(self.to_dict(), **kw)

    def summary(self) -> str:
        """Model context (n, k, R^2, coefficients with HAC standard errors) and
        the test table with degrees of freedom and decisions."""
        import pandas as pd

        head = [
            f"OLS of {self.y_name} on {', '.join(self.x_names) or 'nothing'}",
            f"n = {self.n}   k = {self.k}"
            + (f" (rank {self.rank})" if self.rank != self.k else "")
            + f"   R^2 = {fmt(self.r2)}   "
            + (
                f"HAC: Bartlett, {self._hac_text()}" if self._batch.cov is None else self._cov_label
            ),
        ]
        coef = pd.DataFrame(
            {
                "coef": self.params,
                self._se_label: self.bse,
                "z": self.tvalues,
                "P>|z|": self.pvalues,
            }
        )
        tests = pd.DataFrame(
            {
                "statistic": [fmt(r.statistic) for r in self.tests.values()],
                "df": [
                    "-" if r.df is None else str(r.df).replace(" ", "") for r in self.tests.values()
                ],
                "p-value": [fmt_p(r.pvalue, r.pvalue_bound) for r in self.tests.values()],
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

    def _hac_text(self) -> str:
        if self.hac_lags_requested != self.hac_lags:
            return f"{self.hac_lags} lags ({self.hac_lags_requested} asked: clamped to n - 1)"
        return f"{self.hac_lags} lags"

    def _repr_html_(self) -> str:
        from Kalvoren import _html

        return _html.report_fragment(self)

    def to_html(self, title: str | None = None) -> str:
        """The report as one self-contained HTML page (no scripts, nothing
        fetched): the model, the coefficients, the tests with H0 and
        decisions, every note and warning, and the CUSUM, CUSUM-of-squares
        (and, when run, F-sequence) plots as inline SVG."""
        from Kalvoren import _html

        return _html.report_page(self, title)

    def paths(self) -> dict[str, Any]:
        """The CUSUM path and the CUSUM-of-squares path with their 5% bounds,
        indexed by the observation each recursive residual belongs to."""
        from Kalvoren import _cusum_null, _lstsq

        w = _engine.recursive_residuals(self._batch, self._record, 0)
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

    def plot(self) -> Any:  # a matplotlib Figure (matplotlib is unchecked)
        """A matplotlib Figure: the CUSUM path with its 5% boundaries (finite
        sample, and the classic 0.948 lines) and the CUSUM of squares with its
        5% band."""
        import matplotlib.pyplot as plt

        pth = self.paths()
        x = pth["x"]
        # a third panel, the F sequence of a break, when sup_f was run
        with_f = "sup_f" in self.tests and self.tests["sup_f"].status == 0
        rows = 3 if with_f else 2
        fig, axes = plt.subplots(rows, 1, figsize=(8, 3.25 * rows), sharex=True)
        a1, a2 = axes[0], axes[1]
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
        if with_f:
            from Kalvoren._breaks import plot_f_sequence

            plot_f_sequence(self, axes[2])
        axes[-1].set_xlabel(str(getattr(self.index, "name", None) or "observation"))
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
