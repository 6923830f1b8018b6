"""The types the registry is made of: a test (``TestSpec``), an option, what a
test computed in Python returns, the fitted series its degrees of freedom
depend on, and the status codes. Families of tests (``_tests_breaks``,
``_tests_spec``) import these from here, so any of them may be imported first."""

from __future__ import annotations

import enum
import importlib
from dataclasses import dataclass
from typing import Any, Callable


class Status(enum.IntEnum):
    """Why a test has no statistic (0: it has one). The kernels' codes."""

    OK = 0
    FALLBACK = 1  # refused by the kernels: the least-squares route takes over
    SINGULAR = -1002  # covariance matrix singular
    UNDEFINED_VARIANCE = -1003  # exact fit, constant series, leverage one: nothing to scale by
    BAD_LAG = -1004  # lag bound out of range
    TOO_SHORT = -1005  # too few observations
    BAD_ARG = -1007  # argument out of range, or nothing to test


STATUS_TEXT: dict[int, str] = {
    Status.FALLBACK: "design rank-deficient or too ill-conditioned for the kernels",
    Status.SINGULAR: "HAC covariance singular",
    Status.UNDEFINED_VARIANCE: (
        "variance undefined (exact fit, constant series, or HC2-HC5 with an observation "
        "of leverage one)"
    ),
    Status.BAD_LAG: "lag bound out of range",
    Status.TOO_SHORT: "too few observations",
    Status.BAD_ARG: "argument out of range",
}


@dataclass
class Fitted:
    """What degrees of freedom depend on, per series (floats or arrays)."""

    n: Any
    rank: Any
    slopes: Any  # rank without the constant
    lags: Any
    hac_df: Any
    chow_df1: Any
    chow_df2: Any
    options: Any = None  # the run's checked test options (the same for every series)
    hac_lags: Any = float("nan")  # the bandwidth the battery's HAC used
    robust: bool = False  # another covariance than the battery's own HAC
    # another covariance whose HAC Wald statistic has the fixed-b law (a
    # Bartlett HAC without prewhitening): its bandwidth M (lag j weighs 1 -
    # j/M) and the factor that undoes its n/(n - k) adjustment
    robust_fixedb: bool = False
    hac_bw: Any = float("nan")
    wald_scale: Any = 1.0

    def option(self, name: str) -> Any:
        """A test option's value for this run (its default when not given)."""
        return (self.options or {}).get(name, OPTIONS[name].default)


NaN = float("nan")
_BITS: dict[str, int] = {}


@dataclass
class Computed:
    """What a test computed in Python returns: its status and statistic, its
    degrees of freedom when they are its own, a p-value it computes itself
    (when its reference is "given") and anything the report shows beside it
    (kept in the record's extra[g][test id])."""

    status: int
    stat: float = NaN
    df1: float = NaN
    df2: float = NaN
    pvalue: float = NaN
    extra: Any = None


@dataclass(frozen=True)
class TestSpec:
    """A test: its words, its reference distribution, where its numbers live
    in the battery's record, and what it needs."""

    id: str
    title: str
    null: str
    alternative: str
    distribution: str  # in words, for docs and results
    reference: str  # p-value family: chi2, F, jb, cusum, cusumsq, hac
    field: str  # the record's statistic field; its status field is status_field
    status_field: str
    native: str | None  # the native battery's name for the test's bit (None: Python)
    df: Callable[[Fitted], tuple[Any, Any]] | None
    options: tuple[str, ...] = ()
    residual_test: bool = True  # a statistic of the residuals: none for an exact fit
    no_slopes: bool = False  # nothing to test without slope coefficients
    status_text: tuple[tuple[int, str], ...] = ()
    function: str | None = "="  # the per-test function's name ("=": the id; None: none)
    # A test the native battery does not run is computed per series in Python:
    # compute(view: _engine.SeriesView) -> _engine.Computed. Its df may then be
    # None (the computation gives them) and its reference "given" (so does the
    # p-value).
    compute: Callable[[Any], Computed] | None = None
    default: bool = True  # run when the caller names no tests (costly ones opt in)
    # A variant of a native test that is a function of its statistic:
    # form(stat, fitted) -> (the statistic reported, its reference's name),
    # applied before the p-value (stat and the Fitted floats or arrays).
    form: Callable[[Any, Fitted], tuple[Any, str]] | None = None
    # Whether form leaves the statistic as it is under the run's options
    # (only its reference then matters): form_keeps(fitted).
    form_keeps: Callable[[Fitted], bool] | None = None
    # Options under which a native test is computed in Python by `compute`
    # instead (a variant the battery does not run): python_when(options).
    python_when: Callable[[dict[str, Any]], bool] | None = None
    # A native test whose degrees of freedom the battery's record holds
    # (fields for df1 and df2; "" for none) and whose p-value, when its
    # reference is "given", comes from native_p(field, options), with
    # field(name) the record's column of that name over the series.
    df_fields: tuple[str, str] = ("", "")
    native_p: Callable[[Callable[[str], Any], dict[str, Any]], Any] | None = None
    # What the report shows beside a native statistic (as Computed.extra).
    native_extra: dict[str, str] | None = None

    __test__ = False  # not a pytest class

    @property
    def bit(self) -> int:
        if self.native is None:
            return 0
        b = _BITS.get(self.native)
        if b is None:
            from Kalvoren._ckernels.diag import (
                _batch,
            )  # on first use: the registry needs no kernels

            b = _BITS[self.native] = int(getattr(_batch, self.native))
        return b

    def text(self, status: int) -> str:
        return dict(self.status_text).get(status) or STATUS_TEXT.get(status, "failed")


def in_python(spec: TestSpec, options: dict[str, Any]) -> bool:
    """Whether the test is computed in Python for a run with these options."""
    if spec.python_when is None:
        return spec.native is None
    return spec.native is None or spec.python_when(options)


@dataclass(frozen=True)
class Option:
    """A test's option: its default, a check that returns the value to use
    (or raises _options.OptionError naming it), and its help text. cli: the
    command line's argparse settings for its flag (type, choices, nargs)."""

    default: Any
    check: Callable[[Any, str], Any]
    help: str
    cli: tuple[tuple[str, Any], ...] = ()


# Every test option by name (the registry and its families fill it).
OPTIONS: dict[str, Option] = {}


def lazy_compute(module: str, name: str) -> Callable[[Any], Computed]:
    """A test's compute function, the function `name` of Kalvoren.<module>,
    imported on first use (the registry loads without SciPy)."""

    def compute(view: Any) -> Computed:
        test: Callable[[Any], Computed] = getattr(
            importlib.import_module(f"Kalvoren.{module}"), name
        )
        return test(view)

    compute.__name__ = name
    return compute
