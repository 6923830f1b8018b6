"""One description per test. Everything that lists tests (the battery's bits,
the finishing path, the least-squares route, the report, the many-series
columns, the command line and the docs) loops over ``TESTS`` below.

A test's degrees of freedom are a function of the fitted series (``Fitted``:
plain floats for one series, arrays for many, so one expression serves both,
with the run's options); its p-value comes from the reference named in
``reference`` (see ``_pvalues.REFERENCES``).
"""

from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np


class Status(enum.IntEnum):
    """Why a test has no statistic (0: it has one). The kernels' codes."""

    OK = 0
    FALLBACK = 1  # refused by the kernels: the least-squares route takes over
    SINGULAR = -1002  # covariance matrix singular
    UNDEFINED_VARIANCE = -1003  # exact fit or constant series: nothing to scale by
    BAD_LAG = -1004  # lag bound out of range
    TOO_SHORT = -1005  # too few observations
    BAD_ARG = -1007  # argument out of range, or nothing to test


STATUS_TEXT: dict[int, str] = {
    Status.FALLBACK: "design rank-deficient or too ill-conditioned for the kernels",
    Status.SINGULAR: "HAC covariance singular",
    Status.UNDEFINED_VARIANCE: "variance undefined (exact fit, or constant series)",
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


_NO_SLOPES = ((Status.BAD_ARG, "no slope coefficients to test"),)
_BP_NOTHING = (
    (Status.BAD_ARG, "no slope coefficients (or bp_regressors beside the constant) to test"),
)


def _bg_form(stat: Any, f: Fitted) -> tuple[Any, str]:
    """The LM statistic n R^2 (uncentred R^2 of e on [1, X, lagged e]), or its
    F form ((S - rss) / L) / (rss / (n - k - L)) = (n - k - L) / L * LM / (n - LM),
    as lmtest's bgtest(type = "F")."""
    if f.option("bg_form") == "lm":
        return stat, "chi2"
    return (f.n - f.rank - f.lags) / f.lags * stat / (f.n - stat), "F"


def _bg_df(f: Fitted) -> tuple[Any, Any]:
    if f.option("bg_form") == "lm":
        return f.lags, NaN
    return f.lags, f.n - f.rank - f.lags


def _bp_chosen(which: int) -> Callable[[Any], Computed]:
    def run(view: Any) -> Computed:
        from Kalvoren import _spectests

        return _spectests.bp_chosen(view, which)

    return run


def _bp_regressors_given(options: dict[str, Any]) -> bool:
    return options.get("bp_regressors") is not None


def _lb_df(f: Fitted) -> tuple[Any, Any]:
    if type(f.n) is float and f.n == f.n:  # one series: the same values without NumPy
        return min(f.lags, max(f.n - 1.0, 0.0)) - f.option("lb_model_df"), NaN
    return np.minimum(f.lags, np.maximum(f.n - 1.0, 0.0)) - f.option("lb_model_df"), NaN


def _positive_int(value: Any, name: str) -> int:
    from Kalvoren._options import OptionError, integer

    v = integer(value, name)
    if v < 1:
        raise OptionError(name, f"must be >= 1 (got {v})")
    return v


def _hac_reference(stat: Any, f: Fitted) -> tuple[Any, str]:
    """Fixed-b p-values for a Bartlett HAC Wald statistic, the battery's own
    or another bandwidth's (Kiefer and Vogelsang 2005: the chi-square
    reference over-rejects badly in small samples); chi-square on request,
    or for a covariance without a fixed-b law here (HC, other kernels,
    prewhitening, clusters, Driscoll-Kraay)."""
    chi2 = (f.robust and not f.robust_fixedb) or f.option("hac_pvalue") == "chi2"
    return stat, "chi2" if chi2 else "fixedb"


def _hac_pvalue(value: Any, name: str) -> str:
    from Kalvoren._options import OptionError

    if value not in ("fixedb", "chi2"):
        raise OptionError(name, f"must be 'fixedb' or 'chi2', got {value!r}")
    return str(value)


def _arch_lm(v: Any) -> Computed:
    """Engle's ARCH-LM: (n - L) R^2 of e_t^2 on a constant and e_{t-1}^2 ..
    e_{t-L}^2 over the n - L rows with every lag (as statsmodels' het_arch)."""
    from Kalvoren import _lstsq

    L = v.option("arch_lags")
    e2 = v.e * v.e
    n = e2.shape[0]
    if n - L <= L + 1:
        return Computed(Status.TOO_SHORT)
    Z = np.column_stack([np.ones(n - L)] + [e2[L - j : n - j] for j in range(1, L + 1)])
    u = e2[L:]
    tss = float(((u - u.mean()) ** 2).sum())
    if not tss > 0:
        return Computed(Status.UNDEFINED_VARIANCE)
    rss = _lstsq.residuals(Z, u).rss
    return Computed(0, (n - L) * min(max(1.0 - rss / tss, 0.0), 1.0), float(L))


TESTS: tuple[TestSpec, ...] = (
    TestSpec(
        "breusch_godfrey",
        "Breusch-Godfrey serial correlation (LM)",
        "no serial correlation of the errors up to the given order",
        "the errors are serially correlated",
        "chi2(lags)",
        "chi2",
        "bg_stat",
        "bg_status",
        "BG",
        _bg_df,
        ("lags", "bg_form"),
        form=_bg_form,
    ),
    TestSpec(
        "breusch_pagan",
        "Breusch-Pagan heteroskedasticity",
        "homoskedastic errors",
        "the error variance depends on the regressors",
        "chi2(slopes), normal errors",
        "chi2",
        "bp_stat",
        "bp_status",
        "BP",
        lambda f: (f.slopes, NaN),
        ("bp_regressors",),
        no_slopes=True,
        status_text=_BP_NOTHING,
        compute=_bp_chosen(0),
        python_when=_bp_regressors_given,
    ),
    TestSpec(
        "breusch_pagan_koenker",
        "Breusch-Pagan, Koenker's studentized form",
        "homoskedastic errors",
        "the error variance depends on the regressors",
        "chi2(slopes)",
        "chi2",
        "bpk_stat",
        "bp_status",
        "BP",
        lambda f: (f.slopes, NaN),
        ("bp_regressors",),
        no_slopes=True,
        status_text=_BP_NOTHING,
        function=None,  # breusch_pagan(robust=True)
        compute=_bp_chosen(1),
        python_when=_bp_regressors_given,
    ),
    TestSpec(
        "chow",
        "Chow structural break",
        "the coefficients are the same before and after the break",
        "the coefficients change at the break",
        "F(k, n - 2k), normal errors",
        "F",
        "chow_stat",
        "chow_status",
        "CHOW",
        lambda f: (f.chow_df1, f.chow_df2),
        ("break_at",),
        residual_test=False,
        status_text=((Status.BAD_ARG, "break outside the sample, or no coefficients to compare"),),
    ),
    TestSpec(
        "cusum",
        "CUSUM of recursive residuals",
        "the coefficients are stable over the sample",
        "the coefficients drift",
        "finite-sample table (normal errors)",
        "cusum",
        "cusum_stat",
        "cusum_status",
        "CUSUM",
        lambda f: (NaN, NaN),
        residual_test=False,
    ),
    TestSpec(
        "cusum_squares",
        "CUSUM of squares",
        "the error variance is stable over the sample",
        "the error variance (or the coefficients) changes",
        "finite-sample table (normal errors)",
        "cusumsq",
        "cusumsq_stat",
        "cusumsq_status",
        "CUSUMSQ",
        lambda f: (NaN, NaN),
        residual_test=False,
    ),
    TestSpec(
        "ljung_box",
        "Ljung-Box autocorrelation",
        "no autocorrelation of the residuals up to the given lag",
        "the residuals are autocorrelated",
        "chi2(lags)",
        "chi2",
        "lb_stat",
        "lb_status",
        "LB",
        _lb_df,
        ("lags", "lb_model_df"),
        status_text=((Status.BAD_ARG, "lb_model_df leaves no degrees of freedom"),),
    ),
    TestSpec(
        "jarque_bera",
        "Jarque-Bera normality",
        "normally distributed errors",
        "the errors are not normal (skewness or excess kurtosis)",
        "finite-sample table, chi2(2) tail",
        "jb",
        "jb_stat",
        "jb_status",
        "JB",
        lambda f: (NaN, NaN),
    ),
    TestSpec(
        "hac_wald",
        "Wald, all slopes zero (HAC)",
        "all slope coefficients are zero",
        "some slope coefficient is not zero",
        "fixed-b for a Bartlett HAC's bandwidth; chi2(slopes) for other covariances "
        "or with hac_pvalue='chi2'",
        "fixedb",
        "hac_stat",
        "hac_status",
        "HAC",
        lambda f: (f.hac_df, NaN),
        ("hac_lags", "cov_type", "cov_options", "hac_pvalue"),
        no_slopes=True,
        status_text=(*_NO_SLOPES, (Status.SINGULAR, "HAC covariance singular")),
        form=_hac_reference,
    ),
    TestSpec(
        "arch_lm",
        "Engle's ARCH-LM",
        "no autoregressive conditional heteroskedasticity up to the given order",
        "the squared errors are autocorrelated (ARCH effects)",
        "chi2(arch_lags)",
        "chi2",
        "",
        "",
        None,
        None,
        ("arch_lags",),
        compute=_arch_lm,
        default=False,  # computed per series in Python: opt in
    ),
)


@dataclass(frozen=True)
class Option:
    """A test's option: its default, a check that returns the value to use
    (or raises _options.OptionError naming it), and its help text. cli: the
    command line's argparse settings for its flag (type, choices, nargs)."""

    default: Any
    check: Callable[[Any, str], Any]
    help: str
    cli: tuple[tuple[str, Any], ...] = ()


# Options of the tests beside the shared ones (lags, break_at, hac_lags,
# alpha, add_constant, tests), each prefixed by its test. Families of tests
# add theirs below.
OPTIONS: dict[str, Option] = {
    "arch_lags": Option(
        4, _positive_int, "ARCH-LM: lags of the squared residuals", (("type", int),)
    ),
    "hac_pvalue": Option(
        "fixedb",
        _hac_pvalue,
        "HAC Wald: p-value from fixed-b asymptotics for the bandwidth used, or chi2",
        (("choices", ("fixedb", "chi2")),),
    ),
}

# Families of tests kept in their own modules add their entries here.
_FAMILIES: tuple[str, ...] = ("_tests_breaks", "_tests_spec")


def _load_families() -> None:
    global TESTS
    import importlib

    for name in _FAMILIES:
        module = importlib.import_module(f"Kalvoren.{name}")
        TESTS = TESTS + tuple(module.TESTS)
        OPTIONS.update(module.OPTIONS)


_load_families()

TEST_IDS: tuple[str, ...] = tuple(t.id for t in TESTS)
DEFAULT_TESTS: tuple[str, ...] = tuple(t.id for t in TESTS if t.default)
BY_ID: dict[str, TestSpec] = {t.id: t for t in TESTS}


def function_name(spec: TestSpec) -> str | None:
    return spec.id if spec.function == "=" else spec.function


FUNCTIONS: tuple[str, ...] = tuple(f for f in (function_name(t) for t in TESTS) if f is not None)


def doc_table() -> str:
    """The tests as a reStructuredText table: id, H0, reference."""
    rows = [(t.id, t.null, t.distribution) for t in TESTS]
    w = [max(len(r[i]) for r in rows + [("id", "H0", "reference")]) for i in range(3)]
    rule = "  ".join("=" * x for x in w)

    def line(r: tuple[str, str, str]) -> str:
        return "  ".join(v.ljust(x) for v, x in zip(r, w)).rstrip()

    return "\n".join([rule, line(("id", "H0", "reference")), rule, *map(line, rows), rule])


def bits_of(ids: tuple[str, ...]) -> int:
    """The native battery's bits for these tests."""
    b = 0
    for tid in ids:
        b |= BY_ID[tid].bit
    return b
