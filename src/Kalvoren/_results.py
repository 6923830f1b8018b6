"""A test's outcome, and how numbers are written in reports."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Iterator

from Kalvoren._registry import BY_ID, Status


def json_float(v: float | None) -> float | None:
    return None if v is None or not math.isfinite(v) else float(v)


def fmt(v: float | None, digits: int = 4) -> str:
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return "-"
    if not math.isfinite(v):
        return str(v)
    if v != 0 and (abs(v) < 1e-3 or abs(v) >= 1e6):
        return f"{v:.{digits - 1}e}"
    return f"{v:.{digits}f}"


def fmt_p(p: float | None, bound: str | None) -> str:
    if p is None or math.isnan(p):
        return "-"
    return f"{bound}{p:.4g}" if bound else (f"{p:.4f}" if p >= 1e-4 else f"{p:.2e}")


def _frozen(reference: str, df: Any) -> Any:
    """The SciPy distribution of a chi-square or F statistic, else None."""
    if df is None:
        return None
    from scipy import stats

    if reference == "chi2" and isinstance(df, int):
        return stats.chi2(df)
    if reference == "F" and isinstance(df, tuple):
        return stats.f(*df)
    return None


@dataclass(slots=True)
class TestResult:
    """One test's outcome. Unpacks like a pair: ``stat, p = result``.

    statistic: the test statistic (NaN when it could not be computed).
    pvalue: its p-value (NaN when there is none).
    df: degrees of freedom: an int (chi-square), a pair (F), or None.
    reject: ``pvalue < alpha``, or None when there is no p-value.
    status: the kernel's status (0 computed; see ``Kalvoren.Status``).
    route: "kernel", or "least-squares" when the kernels refused the design.
    pvalue_bound: None, or "<" / ">" when a table p-value sits at the table's
        edge (the true p-value is then below / above ``pvalue``).
    note: what a reader should know (status text, columns dropped, ...).
    test: the test's id; alpha: the level ``reject`` was decided at.
    break_at: for ``sup_f``, the date of the supremum: the position of the
        first observation after the break, or its label when the data have
        an index (what ``break_at`` takes); None for other tests.
    null, alternative: the hypotheses in words; distribution: the reference
        distribution in words; reason: why there is no statistic (the
        status as a ``Status``), or None.
    reference: the family the p-value was taken from ("chi2", "F", "fixedb",
        "jb", "cusum", ...), where options can change it (``hac_wald``:
        "fixedb" for a Bartlett HAC, "chi2" otherwise); "" when not recorded.
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
    break_at: Any = None
    reference: str = ""

    __test__ = False  # not a pytest class

    @property
    def null(self) -> str:
        return BY_ID[self.test].null if self.test in BY_ID else ""

    @property
    def alternative(self) -> str:
        return BY_ID[self.test].alternative if self.test in BY_ID else ""

    @property
    def distribution(self) -> str:
        return BY_ID[self.test].distribution if self.test in BY_ID else ""

    @property
    def dist(self) -> Any:
        """The frozen SciPy distribution of the statistic under H0 (chi-square
        and F tests), or None."""
        if self.test not in BY_ID:
            return None
        # the reference the p-value came from: options can change it (hac_pvalue, bg_form)
        return _frozen(self.reference or BY_ID[self.test].reference, self.df)

    @property
    def reason(self) -> Status | None:
        """Why there is no statistic, or None when there is one."""
        return None if self.status == 0 else Status(self.status)

    def critical_value(self, alpha: float | None = None) -> float:
        """The statistic's critical value at alpha (default: the result's own),
        where the reference is a SciPy distribution; NaN otherwise."""
        d = self.dist
        return math.nan if d is None else float(d.isf(self.alpha if alpha is None else alpha))

    def __iter__(self) -> Iterator[float]:
        return iter((self.statistic, self.pvalue))

    def __repr__(self) -> str:
        p = fmt_p(self.pvalue, self.pvalue_bound)
        if self.reject is None:
            verdict = "no decision"
        else:
            verdict = (
                "reject" if self.reject else "do not reject"
            ) + f" H0 ({self.null or 'H0'}) at {self.alpha:g}"
        df = f", df={self.df}" if self.df is not None else ""
        note = f"; {self.note}" if self.note else ""
        at = f", break at {self.break_at}" if self.break_at is not None else ""
        return (
            f"<{self.test or 'test'}: statistic={fmt(self.statistic)}, p-value={p}{df}{at}: "
            f"{verdict}{note}>"
        )

    def to_dict(self) -> dict[str, Any]:
        df = list(self.df) if isinstance(self.df, tuple) else self.df
        out = {
            "statistic": json_float(self.statistic),
            "pvalue": json_float(self.pvalue),
            "df": df,
            "reject": self.reject,
            "status": self.status,
            "route": self.route,
            "pvalue_bound": self.pvalue_bound,
            "note": self.note,
            "null": self.null,
            "alternative": self.alternative,
            "distribution": self.distribution,
        }
        if self.reference:
            out["reference"] = self.reference
        if self.break_at is not None:
            b = self.break_at
            if type(b).__module__ == "numpy":
                b = b.item()
            out["break_at"] = b if isinstance(b, (int, float, str)) else str(b)
        return out


def _break_at(extra: Any) -> Any:
    """A test's break date, where its extra (a dict) names one."""
    return extra.get("break_at") if isinstance(extra, dict) else None


_POSITION = {tid: i for i, tid in enumerate(BY_ID)}


def df_shown(d1: float, d2: float) -> int | tuple[int, int] | None:
    """A test's degrees of freedom as TestResult holds them (NaN: none)."""
    if d1 != d1:
        return None
    return int(d1) if d2 != d2 else (int(d1), int(d2))


def results_of(table: Any, g: int, alpha: float, tests: tuple[str, ...]) -> dict[str, TestResult]:
    """The TestResults of series g of finished results, for the chosen tests."""
    stat, pv, d1, d2, status, ls, bound, note = table.row(g)
    rec = table.record
    extra = rec.extra[g] if rec.extra is not None else None
    refs = rec.references
    out = {}
    for tid in tests:  # in registry order
        i = _POSITION[tid]
        p, s = pv[i], status[i]
        df = df_shown(d1[i], d2[i])
        out[tid] = TestResult(
            stat[i],
            p,
            df,
            None if p != p else p < alpha,
            s,
            "least-squares" if ls[i] else "kernel",
            bound[i],
            note[i],
            tid,
            alpha,
            _break_at(extra.get(tid)) if extra and s == 0 else None,
            refs.get(tid, ""),
        )
    return out
