"""Breaks at unknown dates and parameter stability: their registry entries and options (see
_registry.TestSpec; each test computed by the function its entry names)."""

from __future__ import annotations

import math
from typing import Any, Callable

import numpy as np

from Kalvoren._registry_types import Option, Status, TestSpec, lazy_compute


def _fraction(lo: float, hi: float, closed: bool) -> Callable[[Any, str], float]:
    def check(value: Any, name: str) -> float:
        from Kalvoren._options import OptionError, OptionTypeError

        number = (int, float, np.integer, np.floating)
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, number):
            raise OptionTypeError(name, f"must be a number, got {value!r}")
        v = float(value)
        inside = lo <= v <= hi if closed else lo < v < hi
        if not (math.isfinite(v) and inside):
            bounds = f"[{lo:g}, {hi:g}]" if closed else f"({lo:g}, {hi:g})"
            raise OptionError(name, f"must lie in {bounds}, got {value!r}")
        return v

    return check


def _columns(value: Any, name: str) -> tuple[str | int, ...] | None:
    """None (every coefficient), or column names and positions (one or a list)."""
    from Kalvoren._options import OptionError, OptionTypeError, integer

    if value is None:
        return None
    items = [value] if isinstance(value, (str, int)) else value
    try:
        items = list(items)
    except TypeError:
        raise OptionTypeError(name, f"must be column names or positions, got {value!r}") from None
    out: list[str | int] = []
    for c in items:
        out.append(c if isinstance(c, str) else integer(c, name))
    if not out:
        raise OptionError(name, "must name at least one column")
    return tuple(out)


_F_STATUS = (
    (Status.SINGULAR, "a segment's design is singular at some candidate date"),
    (Status.UNDEFINED_VARIANCE, "both segments fit exactly at some date (F infinite)"),
    (Status.BAD_ARG, "no coefficient to test, or more than 40 (beyond Hansen's table)"),
    (Status.TOO_SHORT, "too few observations for the trimmed range"),
)


def _f_test(kind: str, word: str, title: str) -> TestSpec:
    return TestSpec(
        f"{kind}_f",
        title,
        "the coefficients are stable (no break at any date in the trimmed range)",
        "the coefficients change at some date",
        f"{word}-F limit, Hansen (1997) approximation",
        "given",
        "",
        "",
        None,
        None,
        ("f_trim", "f_break_columns"),
        status_text=_F_STATUS,
        compute=lazy_compute("_breaks", f"{kind}_f"),
        default=False,  # one F statistic per candidate date
    )


# The OLS residuals' partial sums end at zero only when the model holds a constant
_BRIDGE = ((Status.BAD_ARG, "needs a constant in the model (OLS residuals that sum to zero)"),)

TESTS: tuple[TestSpec, ...] = (
    _f_test("sup", "sup", "Andrews' sup-F (Quandt likelihood ratio), break at an unknown date"),
    _f_test("ave", "ave", "Andrews-Ploberger ave-F, break at an unknown date"),
    _f_test("exp", "exp", "Andrews-Ploberger exp-F, break at an unknown date"),
    TestSpec(
        "ols_cusum",
        "OLS-based CUSUM (Ploberger-Kraemer)",
        "the coefficients are stable over the sample",
        "the coefficients (the mean of the errors) shift",
        "sup of a Brownian bridge",
        "given",
        "",
        "",
        None,
        None,
        compute=lazy_compute("_breaks", "ols_cusum_test"),
        default=False,  # computed per series in Python: opt in
        status_text=_BRIDGE,
    ),
    TestSpec(
        "rec_mosum",
        "MOSUM of recursive residuals (Chu-Hornik-Kuan)",
        "the coefficients are stable over the sample",
        "the coefficients change over some window",
        "sup of Wiener process increments (simulated)",
        "given",
        "",
        "",
        None,
        None,
        ("mosum_h",),
        compute=lazy_compute("_breaks", "rec_mosum_test"),
        default=False,
    ),
    TestSpec(
        "ols_mosum",
        "MOSUM of OLS residuals (Chu-Hornik-Kuan)",
        "the coefficients are stable over the sample",
        "the coefficients change over some window",
        "sup of Brownian bridge increments (simulated)",
        "given",
        "",
        "",
        None,
        None,
        ("mosum_h",),
        compute=lazy_compute("_breaks", "ols_mosum_test"),
        default=False,
        status_text=_BRIDGE,
    ),
    TestSpec(
        "hansen_stability",
        "Hansen's parameter instability L_c (joint)",
        "the coefficients and the error variance are stable",
        "some coefficient or the variance varies over the sample",
        "int |B|^2, B a Brownian bridge of dimension k + 1",
        "given",
        "",
        "",
        None,
        None,
        compute=lazy_compute("_breaks", "hansen_test"),
        default=False,
    ),
)

OPTIONS: dict[str, Option] = {
    "f_trim": Option(
        0.15,
        _fraction(0.0, 0.5, closed=False),
        "sup/ave/exp-F: share of the sample trimmed from each end for the candidate dates",
        (("type", float),),
    ),
    "f_break_columns": Option(
        None,
        _columns,
        "sup/ave/exp-F: the columns whose coefficients may break, by name or position "
        "(0 is the constant when one is added; default: all)",
        (("nargs", "+"), ("metavar", "COL")),
    ),
    "mosum_h": Option(
        0.15,
        _fraction(0.05, 0.5, closed=True),
        "MOSUM tests: window as a share of the sample",
        (("type", float),),
    ),
}
