"""Recursive residuals, CUSUM, CUSUM of squares and the CUSUM survival function."""

import math

import numpy as np
import pytest
import statsmodels.api as sm
from hypothesis import given, settings
from hypothesis import strategies as st
from native import I32, I64, PD, PI64, ArenaSize, D, Guarded, fn, ptr
from scipy.stats import norm
from statsmodels.stats.diagnostic import recursive_olsresiduals

TOO_SHORT, FALLBACK, UDEF_VARIANCE = -1005, 1, -1003
Y_FUNCS = ["recursive_residuals", "cusum_series", "cusum_stat", "cusumsq_stat"]


def regression(rng, n, k):
    X = rng.standard_normal((n, k))
    return X @ rng.standard_normal(k) + rng.standard_normal(n), X


def one_step_errors(y, X):
    """Each recursive residual from a fresh least-squares fit on the rows before it."""
    n, k = X.shape
    w = []
    for t in range(k, n):
        A, x = X[:t], X[t]
        beta = np.linalg.lstsq(A, y[:t], rcond=None)[0]
        w.append((y[t] - x @ beta) / math.sqrt(1 + x @ np.linalg.solve(A.T @ A, x)))
    return np.array(w)


def full_rss(y, X):
    return float(np.sum((y - X @ np.linalg.lstsq(X, y, rcond=None)[0]) ** 2))


def cusum_stat_of(series):
    m = len(series)
    j = np.arange(m)
    return np.max(np.abs(series) / (math.sqrt(m) + 2 * j / math.sqrt(m)))


# --------------------------------------------------------------- module level

DOCS = {
    "recursive_residuals": "Brown-Durbin-Evans recursive residuals. Returns (status, w).",
    "cusum_series": "Standardized CUSUM series. Returns (status, series).",
    "cusum_stat": "CUSUM statistic. Returns (status, stat).",
    "cusum_sf": "Clamped Durbin CUSUM survival function. Scalar in float64 out.",
    "cusum_sf_arr": "Elementwise CUSUM sf; returns a new float64 array shaped like ``a``.",
    "cusumsq_stat": "CUSUM-of-squares statistic. Returns (status, n, stat).",
}


def test_registration(diag):
    names = list(vars(diag))
    assert [n for n in names if n in DOCS] == list(DOCS)
    assert names.index("cusumsq_stat") < names.index("fill_mean_ax0")
    for name, doc in DOCS.items():
        assert getattr(diag, name).__doc__ == doc


def test_worked_example(diag):
    y, X = [1.0, 2.0, 3.0], np.ones((3, 1))
    status, w = diag.recursive_residuals(y, X)
    assert status == 0 and w == pytest.approx([0.7071067811865475, 1.2247448713915892], rel=1e-15)
    status, series = diag.cusum_series(y, X)
    assert status == 0 and series == pytest.approx(
        [0.7071067811865475, 1.9318516525781366], rel=1e-15
    )
    assert diag.cusum_stat(y, X) == (0, pytest.approx(0.6830127018922194, rel=1e-15))
    assert diag.cusumsq_stat(y, X) == (0, 2, pytest.approx(0.1767766952966369, rel=1e-15))


@pytest.mark.parametrize("n, k", [(6, 1), (12, 3), (40, 5), (60, 20)])
def test_against_fresh_fits_and_statsmodels(diag, rng, n, k):
    y, X = regression(rng, n, k)
    status, w = diag.recursive_residuals(y, X)
    assert status == 0 and w.shape == (n - k,)
    np.testing.assert_allclose(w, one_step_errors(y, X), rtol=1e-9, atol=1e-12)
    assert np.sum(w**2) == pytest.approx(full_rss(y, X), rel=1e-10)
    sm_out = recursive_olsresiduals(sm.OLS(y, X).fit())
    np.testing.assert_allclose(w, sm_out[4][k:], rtol=1e-9, atol=1e-12)
    # statsmodels standardises the path by the ddof=1 standard deviation of the
    # recursive residuals; ours uses the full-sample sqrt(RSS / m). Both are
    # the same running sum of w underneath.
    status, series = diag.cusum_series(y, X)
    assert status == 0
    sigma = math.sqrt(full_rss(y, X) / (n - k))
    np.testing.assert_allclose(
        series * sigma, sm_out[5][-(n - k) :] * np.std(w, ddof=1), rtol=1e-9, atol=1e-12
    )
    status, stat = diag.cusum_stat(y, X)
    assert status == 0 and stat == pytest.approx(cusum_stat_of(series), rel=1e-14)
    c = np.cumsum(w**2) / np.sum(w**2)
    g = np.max(np.abs(c - np.arange(1, n - k + 1) / (n - k)))
    assert diag.cusumsq_stat(y, X) == (0, n - k, pytest.approx(g / math.sqrt(2), rel=1e-9))


def test_extreme_k(diag, rng):
    y = rng.standard_normal(7)
    status, w = diag.recursive_residuals(y, np.empty((7, 0)))
    assert status == 0 and np.array_equal(w, y)
    status, series = diag.cusum_series(y, np.empty((7, 0)))
    assert status == 0
    np.testing.assert_allclose(series, np.cumsum(y) / math.sqrt(np.sum(y**2) / 7), rtol=1e-14)
    y, X = regression(rng, 5, 4)  # one recursive residual
    status, series = diag.cusum_series(y, X)
    assert status == 0 and series.shape == (1,)
    assert diag.cusum_stat(y, X) == (0, abs(series[0]))
    assert diag.cusumsq_stat(y, X) == (0, 1, 0.0)


@pytest.mark.parametrize("shape", [(3, 3), (2, 5), (0, 2), (0, 0)])
def test_too_short(diag, shape):
    y, X = np.ones(shape[0]), np.ones(shape)
    for name in ["recursive_residuals", "cusum_series"]:
        status, out = getattr(diag, name)(y, X)
        assert status == TOO_SHORT and out.shape == (0,) and out.dtype == np.float64
    status, stat = diag.cusum_stat(y, X)
    assert status == TOO_SHORT and math.isnan(stat)
    status, nrec, stat = diag.cusumsq_stat(y, X)
    assert (status, nrec) == (TOO_SHORT, 0) and math.isnan(stat)


SINGULAR_HEAD = np.array([[1.0, 2.0], [1.0, 2.0], [0.5, 1.0], [3.0, -1.0]])
# fine first rows and a huge row: normal equations of the full sample would fail
# their pivot test, the rotations take it in their stride
HUGE_ROW = np.array([[1.0, 0.0], [0.0, 1.0], [1e20, 0.0], [1.0, 1.0]])
# the first rows pass the pivot test, but the condition of their scaled
# cross-product matrix is ~2e15: refused (an inverse updated from there once
# saw 1 + x'Px ~ -4e12 at the benign row [1, 2], a silent NaN)
LOST_PD = np.array([[1.0, 1.0], [1.0, 1.0 + 1e-7], [1e3, 1e3], [1e3, 1e3 * (1 + 1e-7)], [1.0, 2.0]])
DESIGN = np.random.default_rng(5).standard_normal((9, 3))
E20 = np.random.default_rng(6).standard_normal(20)
LINE = np.c_[np.ones(20), np.arange(20.0)]
SPIKE = np.where(np.arange(20) == 7, 5e-324, 0.0)


@pytest.mark.parametrize(
    "y, X, statuses",
    [
        (np.arange(4.0), SINGULAR_HEAD, [FALLBACK] * 4),
        (np.arange(4.0), HUGE_ROW, [0, 0, 0, 0]),
        (np.arange(5.0), LOST_PD, [FALLBACK] * 4),
        (np.zeros(9), DESIGN, [0, UDEF_VARIANCE, UDEF_VARIANCE, UDEF_VARIANCE]),  # perfect fit
        # residual variances whose squares underflow or overflow: no scale
        (SPIKE, np.ones((20, 1)), [0, UDEF_VARIANCE, UDEF_VARIANCE, UDEF_VARIANCE]),
        (1e-320 * E20, LINE, [0, UDEF_VARIANCE, UDEF_VARIANCE, UDEF_VARIANCE]),
        (1e-160 * E20, LINE, [0, UDEF_VARIANCE, UDEF_VARIANCE, UDEF_VARIANCE]),
        (1e300 * E20, LINE, [0, UDEF_VARIANCE, UDEF_VARIANCE, UDEF_VARIANCE]),
        # columns whose squares leave the range; coefficients beyond it (1e400)
        (E20, 1e-160 * np.c_[np.ones(20), E20[::-1]], [FALLBACK] * 4),
        (E20, 1e160 * np.c_[np.ones(20), E20[::-1]], [FALLBACK] * 4),
        (1e300 * E20, 1e-100 * np.c_[np.ones(20), E20[::-1]], [FALLBACK] * 4),
    ],
)
def test_failure_statuses(diag, y, X, statuses):
    status, w = diag.recursive_residuals(y, X)
    assert status == statuses[0] and (status != 0 or np.isfinite(w).all())
    assert diag.cusum_series(y, X)[0] == statuses[1]
    status, stat = diag.cusum_stat(y, X)
    assert status == statuses[2] and math.isnan(stat) == (status != 0)
    status, nrec, stat = diag.cusumsq_stat(y, X)
    assert (status, nrec) == (statuses[3], len(y) - X.shape[1])
    assert math.isnan(stat) == (status != 0)


@pytest.mark.parametrize("p", [-490, 490])
def test_scaling_y_by_a_power_of_two_keeps_the_bits(diag, p):
    # the recursion is linear in y: near either end of the range nothing rounds differently
    for name in Y_FUNCS:
        want = getattr(diag, name)(E20, LINE)[-1]
        if name == "recursive_residuals":
            want = np.ldexp(want, p)
        got = getattr(diag, name)(np.ldexp(E20, p), LINE)
        assert got[0] == 0 and np.array_equal(got[-1], want)


def test_huge_row(diag):
    # w = (2 / sqrt(1 + 1e40), 2 / sqrt(2)); sigma^2 = sum(w^2) / 2 = 1
    status, series = diag.cusum_series(np.arange(4.0), HUGE_ROW)
    assert status == 0
    np.testing.assert_allclose(series, [2e-20, 2e-20 + math.sqrt(2)], rtol=1e-15)


def test_exact_fit_gives_zero_residuals(diag):
    status, w = diag.recursive_residuals(DESIGN @ [1.5, -2.0, 0.25], DESIGN)
    assert status == 0
    np.testing.assert_allclose(w, 0, atol=1e-13)


def test_infinite_data_is_not_skipped(diag):
    # sigma and T are infinite, so the last ratio is inf/inf; a maximum that
    # skipped it would report a finite statistic
    y, X = [1.0, 2.0, math.inf], np.empty((3, 0))
    status, stat = diag.cusum_stat(y, X)
    assert status == 0 and math.isnan(stat)
    status, nrec, stat = diag.cusumsq_stat(y, X)
    assert (status, nrec) == (0, 3) and math.isnan(stat)


@pytest.mark.parametrize("name", Y_FUNCS)
def test_y_length(diag, rng, name):
    y, X = regression(rng, 6, 2)
    with pytest.raises(ValueError, match=rf"^{name}\(\): y has length 5 but X has 6 rows$"):
        getattr(diag, name)(y[:5], X)
    longer = getattr(diag, name)(np.append(y, 1e300), X)
    np.testing.assert_equal(longer, getattr(diag, name)(y, X))


@pytest.mark.parametrize("name", Y_FUNCS)
@pytest.mark.parametrize("k", [2**31, 2**32])
def test_impossible_arena_raises(diag, name, k):
    with pytest.raises(OverflowError):
        getattr(diag, name)(np.empty(0), np.empty((0, k)))


@settings(max_examples=40, deadline=None)
@given(st.integers(1, 30), st.integers(0, 6), st.integers(0, 2**32 - 1))
def test_rss_identity_property(diag, n, k, seed):
    y, X = regression(np.random.default_rng(seed), n, k)
    status, w = diag.recursive_residuals(y, X)
    if k >= n:
        assert status == TOO_SHORT
    else:
        assert status == 0 and np.sum(w**2) == pytest.approx(full_rss(y, X), rel=1e-8, abs=1e-12)


# ----------------------------------------------------------- survival function


def sf_reference(x):
    return min(1.0, 2 * (norm.sf(2 * x) + math.exp(-4 * x * x) * norm.cdf(x)))


@pytest.mark.parametrize(
    "x, expect",
    [
        (0.5, 0.8260601555519422),
        (0.85, 0.17831267969622594),
        (1.0, 0.0763197969962088),
        (2.0, 6.35624336355311e-05),
        (0.0, 1.0),
        (-1.0, 1.0),
        (-math.inf, 1.0),
        (math.inf, 0.0),
    ],
)
def test_cusum_sf_values(diag, x, expect):
    got = diag.cusum_sf(x)
    assert type(got) is np.float64
    assert got == pytest.approx(expect, rel=1e-13) and got == pytest.approx(
        sf_reference(x), rel=1e-12
    )


def test_cusum_sf_nan_gives_one(diag):
    # parity with the package's numba route: NaN clamps to 1.0
    assert diag.cusum_sf(math.nan) == 1.0
    assert diag.cusum_sf_arr([math.nan, 0.5])[0] == 1.0


def test_cusum_sf_arr(diag):
    a = np.array([[0.0, 0.5, 0.85], [1.0, 2.0, -3.0]])
    out = diag.cusum_sf_arr(a)
    assert out.shape == (2, 3) and out.dtype == np.float64
    assert np.array_equal(out, [[diag.cusum_sf(v) for v in row] for row in a])
    assert np.array_equal(diag.cusum_sf_arr(a.T), out.T)  # non-contiguous input
    empty = diag.cusum_sf_arr(np.empty((0, 3), dtype=np.int32))
    assert empty.shape == (0, 3) and empty.dtype == np.float64


# ------------------------------------------------------------- native kernels

RR = fn("kvr_recursive_residuals", I32, PD, PD, I64, I64, PD, PD)
SERIES = fn("kvr_cusum_series", I32, PD, PD, I64, I64, PD, PD)
STAT = fn("kvr_cusum_stat", I32, PD, PD, I64, I64, PD, PD)
SQ = fn("kvr_cusumsq_stat", I32, PD, PD, I64, I64, PI64, PD, PD)
CUSUM_SIZE = fn("kvr_cusum_arena_size", ArenaSize, I64, I64)
SQ_SIZE = fn("kvr_cusumsq_arena_size", ArenaSize, I64, I64)
SF = fn("kvr_cusum_sf", D, D)
SF_INTO = fn("kvr_cusum_sf_into", None, PD, I64, PD)
INT64_MAX = 2**63 - 1


def call_all(y, X, n, k, m):
    """Every kernel with an arena of exactly its documented length and a
    guarded output; returns the statuses and outputs, checking the guards."""
    arenas = [
        Guarded(3 * k * k + 3 * k),
        Guarded(m + 5 * k * k + 5 * k),
        Guarded(CUSUM_SIZE(n, k).arena_len),
        Guarded(SQ_SIZE(n, k).arena_len),
    ]
    w, series, stat, sq, nrec = Guarded(m), Guarded(m), D(), D(), I64(-1)
    res = [
        RR(ptr(y), ptr(X), n, k, arenas[0].p if arenas[0].n else None, w.p),
        SERIES(ptr(y), ptr(X), n, k, arenas[1].p, series.p),
        STAT(ptr(y), ptr(X), n, k, arenas[2].p, stat),
        SQ(ptr(y), ptr(X), n, k, nrec, arenas[3].p, sq),
    ]
    for b in arenas + [w, series]:
        b.check()
    return res, w.a, series.a, stat.value, nrec.value, sq.value


@pytest.mark.parametrize("n, k", [(9, 0), (9, 3), (4, 3), (40, 17)])
def test_kernels_in_exact_arenas(diag, rng, n, k):
    y, X = regression(rng, n, k)
    statuses, w, series, stat, nrec, sq = call_all(y, X, n, k, n - k)
    assert statuses == [0, 0, 0, 0] and nrec == n - k
    assert np.array_equal(w, diag.recursive_residuals(y, X)[1])
    assert np.array_equal(series, diag.cusum_series(y, X)[1])
    assert (stat, sq) == (diag.cusum_stat(y, X)[1], diag.cusumsq_stat(y, X)[2])


@pytest.mark.parametrize("n, k", [(0, 0), (3, 3), (2, 5), (-5, 0), (-5, -10)])
def test_kernels_too_short_write_nothing(n, k):
    y, X = np.ones(4), np.ones(4)
    statuses, w, series, stat, nrec, sq = call_all(y, X, n, k, 0)
    assert statuses == [TOO_SHORT] * 4 and nrec == 0 and math.isnan(stat) and math.isnan(sq)


def test_negative_k_means_no_regressors():
    y = np.array([1.0, -2.0, 3.0, 0.5])
    statuses, w, series, stat, nrec, sq = call_all(y, np.empty(0), 4, -3, 4)
    assert statuses == [0] * 4 and np.array_equal(w, y) and nrec == 4


def test_arena_sizes():
    assert (CUSUM_SIZE(10, 3).arena_len, CUSUM_SIZE(10, 3).piv_len) == (74, 0)
    assert (SQ_SIZE(10, 3).arena_len, SQ_SIZE(10, 3).piv_len) == (43, 0)
    assert CUSUM_SIZE(-4, -2).arena_len == 0 and SQ_SIZE(-4, -2).arena_len == 0
    for size in [
        CUSUM_SIZE(0, 2**32),
        CUSUM_SIZE(2**62, 0),
        SQ_SIZE(1, 2**31),
        SQ_SIZE(INT64_MAX, 1),
    ]:
        assert size.arena_len == INT64_MAX


def test_sf_into():
    a = np.array([-1.0, 0.0, 0.5, 2.0, math.inf])
    out = Guarded(5)
    SF_INTO(ptr(a), 5, out.p)
    out.check()
    assert np.array_equal(out.a, [SF(v) for v in a])
    for n in (0, -3):
        out = Guarded(0)
        SF_INTO(ptr(a), n, out.p)
        out.check()
