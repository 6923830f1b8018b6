"""One description per test. Everything that lists tests (the battery's bits,
the finishing path, the least-squares route, the report, the many-series
columns, the command line and the docs) loops over ``TESTS`` below.

A test's degrees of freedom are a function of the fitted series (``Fitted``:
plain floats for one series, arrays for many, so one expression serves both,
with the run's options); its p-value comes from the reference named in
``reference`` (see ``_pvalues.REFERENCES``).
"""

from __future__ import annotations

import math
from typing import Any, Callable

import numpy as np

# the types, re-exported: the registry is where the rest of the package finds them
from Kalvoren._registry_types import (
    _BITS as _BITS,
)
from Kalvoren._registry_types import (
    OPTIONS as OPTIONS,
)
from Kalvoren._registry_types import (
    STATUS_TEXT as STATUS_TEXT,
)
from Kalvoren._registry_types import (
    Computed as Computed,
)
from Kalvoren._registry_types import (
    Fitted as Fitted,
)
from Kalvoren._registry_types import (
    NaN as NaN,
)
from Kalvoren._registry_types import (
    Option as Option,
)
from Kalvoren._registry_types import (
    Status as Status,
)
from Kalvoren._registry_types import (
    TestSpec as TestSpec,
)
from Kalvoren._registry_types import (
    in_python as in_python,
)

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
    # LM = n: the lags fit e exactly, and F is undefined (NaN, not a division by zero)
    if isinstance(stat, float):
        rest = f.n - stat if f.n > stat else math.nan
    else:
        rest = np.where(f.n > stat, f.n - stat, np.nan)
    return (f.n - f.rank - f.lags) / f.lags * stat / rest, "F"


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
        form_keeps=lambda f: f.option("bg_form") == "lm",
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
        form_keeps=lambda f: True,
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


# Options of the tests beside the shared ones (lags, break_at, hac_lags,
# alpha, add_constant, tests), each prefixed by its test. Families of tests
# add theirs below.
OPTIONS.update(
    {
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
)

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
