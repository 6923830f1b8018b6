"""Breusch-Godfrey, Breusch-Pagan and Chow: module functions and kernels."""

import math
import struct
import warnings

import numpy as np
import pytest
import statsmodels.api as sm
from hypothesis import given, settings
from hypothesis import strategies as st
from native import I32, I64, PD, ArenaSize, Guarded, fn, ptr
from statsmodels.stats.diagnostic import acorr_breusch_godfrey, het_breuschpagan

bg_arena_size = fn("kvr_bg_arena_size", ArenaSize, I64, I64, I64)
bg_stat_k = fn("kvr_bg_stat", I32, PD, PD, I64, I64, I64, PD, PD)
bp_arena_size = fn("kvr_bp_arena_size", ArenaSize, I64, I64)
bp_aux_k = fn("kvr_bp_aux", I32, PD, PD, I64, I64, PD, PD, PD)
bp_stat_k = fn("kvr_bp_stat", I32, PD, PD, I64, I64, I64, PD, PD)
chow_arena_size = fn("kvr_chow_arena_size", ArenaSize, I64)
chow_stat_k = fn("kvr_chow_stat", I32, PD, PD, I64, I64, I64, PD, PD)

QNAN_BITS = 0x7FF8000000000000
I64_MAX = 2**63 - 1


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def call(kernel, arena_len, *args, nout=1):
    """Runs kernel(*args, arena, *outs) on an arena of exactly arena_len
    doubles followed by guards; returns (status, outs, arena values)."""
    arena = Guarded(arena_len)
    outs = [Guarded(1) for _ in range(nout)]
    status = kernel(*args, arena.p if arena_len > 0 else None, *(o.p for o in outs))
    arena.check()
    for o in outs:
        o.check()
    return status, [o.a[0] for o in outs], arena.a


def bg(eps, X, lags):
    eps, X = np.ascontiguousarray(eps, float), np.ascontiguousarray(X, float)
    n, k = len(eps), X.shape[1]
    size = bg_arena_size(n, k, lags)
    assert size.piv_len == 0
    st_, (stat,), arena = call(bg_stat_k, size.arena_len, ptr(eps), ptr(X), n, k, lags)
    return st_, stat, arena


def bp(eps, X, studentize=None):
    eps, X = np.ascontiguousarray(eps, float), np.ascontiguousarray(X, float)
    n, p = X.shape
    size = bp_arena_size(n, p).arena_len
    if studentize is None:
        st_, (rss, tss), _ = call(bp_aux_k, size, ptr(eps), ptr(X), n, p, nout=2)
        return st_, rss, tss
    st_, (stat,), _ = call(bp_stat_k, size, ptr(eps), ptr(X), n, p, studentize)
    return st_, stat


def chow(y, X, t):
    y, X = np.ascontiguousarray(y, float), np.ascontiguousarray(X, float)
    n, k = X.shape
    st_, (stat,), _ = call(chow_stat_k, chow_arena_size(k).arena_len, ptr(y), ptr(X), n, k, t)
    return st_, stat


def ols_rss(y, X):
    if X.shape[1] == 0:
        return float(y @ y)
    r = y - X @ np.linalg.lstsq(X, y, rcond=None)[0]
    return float(r @ r)


def regression(rng, n, k):
    """OLS residuals (model with a constant), and X without the constant."""
    X = rng.standard_normal((n, k))
    y = X @ rng.standard_normal(k) + rng.standard_normal(n) * (1 + np.abs(X[:, 0]))
    return sm.OLS(y, sm.add_constant(X)).fit(), X


# ------------------------------------------------------------ worked examples


def test_worked_examples(diag):
    status, stat = diag.bg_stat([1.0, -1.0, 1.0], np.empty((3, 0)), 1)
    assert status == 0 and stat == pytest.approx(7 / 3, rel=1e-14)

    eps, Xa = [1.0, -1.0, 2.0, -2.0], [[1, 0], [1, 0], [1, 1], [1, 1]]
    status, rss, tss = diag.bp_aux(eps, Xa)
    assert status == 0 and abs(rss) < 1e-14 and tss == pytest.approx(1.44, rel=1e-14)
    assert bp(eps, Xa, 1) == (0, pytest.approx(4.0, rel=1e-14))
    assert bp(eps, Xa, 0) == (0, pytest.approx(0.72, rel=1e-14))

    assert diag.chow_stat([1.0, 2.0, 4.0, 5.0], np.ones((4, 1)), 2) == (0, pytest.approx(18.0))


# ------------------------------------------------------------ Breusch-Godfrey


def lag_design(eps, X, lags):
    n = len(eps)
    lagged = [np.r_[np.zeros(j), eps[: n - j]] for j in range(1, lags + 1)]
    return np.column_stack([np.ones(n), X, *lagged]) if lags else np.column_stack([np.ones(n), X])


@pytest.mark.parametrize("n,k,lags", [(40, 2, 0), (40, 2, 3), (7, 0, 6), (300, 5, 12)])
def test_bg_design_and_uncentred_r2(rng, n, k, lags):
    eps, X = rng.standard_normal(n), rng.standard_normal((n, k))
    status, stat, arena = bg(eps, X, lags)
    Z = lag_design(eps, X, lags)
    assert status == 0
    assert np.array_equal(arena[: Z.size].reshape(Z.shape), Z)
    assert stat == pytest.approx(n * (1 - ols_rss(eps, Z) / (eps @ eps)), rel=1e-10)


@pytest.mark.parametrize("lags", [1, 2, 5])
def test_bg_matches_statsmodels(diag, rng, lags):
    # statsmodels regresses on the model's exog (with its constant) plus its own
    # constant and zero-filled lags, and reports n times the centred R^2. OLS
    # residuals of a model with a constant have mean zero, so the centred and
    # the uncentred R^2 coincide; the duplicate constant only changes the
    # parametrisation. Hence X is passed here without the constant.
    res, X = regression(rng, 250, 3)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        lm = acorr_breusch_godfrey(res, nlags=lags)[0]
    status, stat = diag.bg_stat(res.resid, X, lags)
    assert status == 0 and stat == pytest.approx(lm, rel=1e-10)


@pytest.mark.parametrize(
    "eps,X,lags,expected",
    [
        ([0.0] * 5, np.arange(5.0)[:, None], 0, (0, 0.0)),
        ([0.0] * 5, np.arange(5.0)[:, None], 1, (1, 0.0)),  # lag columns all zero
        ([1.0, 2.0, 0.5, 3.0], np.ones((4, 1)), 0, (1, 0.0)),  # X holds a constant
        ([1.0, 2.0, 3.0], np.zeros((3, 1)), 3, (-1005, math.nan)),
        ([1.0, 2.0, 3.0], np.zeros((3, 1)), 2**63 - 1, (-1005, math.nan)),
        ([], np.zeros((0, 2)), 0, (-1005, math.nan)),
        ([1.0, 2.0, 3.0], np.zeros((3, 1)), -1, (-1004, math.nan)),
        ([1.0, 2.0, 3.0], np.zeros((3, 1)), -(2**63), (-1004, math.nan)),
    ],
)
def test_bg_statuses(diag, eps, X, lags, expected):
    status, stat = diag.bg_stat(eps, X, lags)
    assert status == expected[0]
    assert (math.isnan(stat) and math.isnan(expected[1])) or stat == expected[1]
    if status < 0:
        _, kstat, _ = bg(eps, X, lags)
        assert bits(kstat) == QNAN_BITS


@pytest.mark.parametrize("where", [0, 5, 29])
@pytest.mark.parametrize("lags", [0, 2])
def test_bg_nan_residual_is_nan_not_zero(diag, rng, where, lags):
    eps = rng.standard_normal(30)
    eps[where] = np.nan
    status, stat = diag.bg_stat(eps, rng.standard_normal((30, 2)), lags)
    assert status == 0 and math.isnan(stat)


def test_bg_nan_regressor_with_zero_residuals(diag):
    X = np.arange(6.0)[:, None]
    X[2] = np.nan
    assert diag.bg_stat(np.zeros(6), np.arange(6.0)[:, None], 0) == (0, 0.0)
    status, stat = diag.bg_stat(np.zeros(6), X, 0)
    assert status == 0 and math.isnan(stat)


def test_bg_shapes(diag, rng):
    eps, X = rng.standard_normal(10), rng.standard_normal((12, 2))
    assert diag.bg_stat(eps, X, 2) == diag.bg_stat(eps, X[:10], 2)
    with pytest.raises(ValueError, match=r"^bg_stat\(\): X has 9 rows but eps has 10 elements$"):
        diag.bg_stat(eps, X[:9], 2)
    assert diag.bg_stat(list(eps), X[:10].tolist(), 2.9) == diag.bg_stat(eps, X[:10], 2)


# -------------------------------------------------------------- Breusch-Pagan


@pytest.mark.parametrize("n,k", [(60, 1), (400, 4)])
def test_bp_matches_statsmodels(diag, rng, n, k):
    res, X = regression(rng, n, k)
    exog = sm.add_constant(X)
    for robust in (True, False):
        lm = het_breuschpagan(res.resid, exog, robust=robust)[0]
        assert bp(res.resid, exog, int(robust)) == (0, pytest.approx(lm, rel=1e-10))
    g = res.resid**2 / np.mean(res.resid**2)
    status, rss, tss = diag.bp_aux(res.resid, exog)
    assert status == 0
    assert rss == pytest.approx(ols_rss(g, exog), rel=1e-10)
    assert tss == pytest.approx(np.sum((g - g.mean()) ** 2), rel=1e-10)


@pytest.mark.parametrize(
    "eps,X,status",
    [
        ([0.0, 0.0, 0.0], np.ones((3, 1)), -1003),
        ([1.0, np.nan, 2.0], np.ones((3, 1)), -1003),
        ([1.0, np.inf, 2.0], np.ones((3, 1)), -1003),
        ([1e200, 1.0, 2.0], np.ones((3, 1)), -1003),  # eps^2 overflows
        ([], np.zeros((0, 2)), -1005),
        ([1.0, 2.0, 3.0], np.arange(12.0).reshape(3, 4), 1),  # more columns than rows
    ],
)
def test_bp_statuses(diag, eps, X, status):
    assert diag.bp_aux(eps, X) == (status, 0.0, 0.0)
    for studentize in (0, 1):
        st_, stat = bp(eps, X, studentize)
        assert st_ == status and bits(stat) == QNAN_BITS


def test_bp_statistic_edges(rng):
    eps = rng.standard_normal(50)
    # a constant alone fits gvec by its mean: nothing explained either way
    assert bp(eps, np.ones((50, 1)), 1) == (0, pytest.approx(0.0, abs=1e-12))
    assert bp(eps, np.ones((50, 1)), 0) == (0, pytest.approx(0.0, abs=1e-12))
    # no constant and a useless regressor: rss > tss, clamped to 0 in both forms
    X = np.where(np.arange(50) % 2, 1e-3, -1e-3)[:, None]
    st_, rss, tss = bp(eps, X)
    assert st_ == 0 and rss > tss
    assert bp(eps, X, 1) == (0, 0.0) and bp(eps, X, 0) == (0, 0.0)
    # |eps| constant: tss = 0
    assert bp(np.r_[1.0, -1.0, 1.0, -1.0], np.c_[np.ones(4), np.arange(4.0)], 1) == (0, 0.0)
    # NaN regressors leave a NaN statistic rather than a clamped 0
    X = np.c_[np.ones(50), rng.standard_normal(50)]
    X[7, 1] = np.nan
    for studentize in (0, 1):
        st_, stat = bp(eps, X, studentize)
        assert st_ == 0 and math.isnan(stat)


def test_bp_shapes(diag, rng):
    eps, X = rng.standard_normal(12), rng.standard_normal((10, 2))
    assert diag.bp_aux(eps, X) == diag.bp_aux(eps[:10], X)
    with pytest.raises(ValueError, match=r"^bp_aux\(\): eps has 9 elements but X_aug has 10 rows$"):
        diag.bp_aux(eps[:9], X)


# ----------------------------------------------------------------------- Chow


@pytest.mark.parametrize("n,k,t", [(30, 2, 12), (200, 4, 150), (9, 4, 4), (9, 4, 5)])
def test_chow_matches_lstsq(diag, rng, n, k, t):
    X = np.c_[np.ones(n), rng.standard_normal((n, k - 1))]
    y = X @ rng.standard_normal(k) + rng.standard_normal(n)
    y[t:] += 0.5
    S, S1, S2 = ols_rss(y, X), ols_rss(y[:t], X[:t]), ols_rss(y[t:], X[t:])
    F = ((S - (S1 + S2)) / k) / ((S1 + S2) / (n - 2 * k))
    status, stat = diag.chow_stat(y, X, t)
    assert status == 0 and stat == pytest.approx(F, rel=1e-10)
    assert chow(y, X, t) == (status, stat)


@pytest.mark.parametrize(
    "n,k,t,status",
    [
        (4, 2, 2, -1005),
        (4, 2, 0, -1005),
        (0, 0, 1, -1005),  # size first
        (5, 2, 0, -1007),
        (5, 2, 5, -1007),
        (5, 2, -(2**63), -1007),
        (5, 2, 2**63 - 1, -1007),
        (5, 2, 1, 1),
        (5, 2, 4, 1),  # one-row segment
    ],
)
def test_chow_statuses(diag, rng, n, k, t, status):
    y, X = rng.standard_normal(n), rng.standard_normal((n, k))
    st_, stat = diag.chow_stat(y, X, t)
    assert st_ == status
    if status < 0:
        assert math.isnan(stat) and bits(chow(y, X, t)[1]) == QNAN_BITS
    else:
        assert stat == 0.0


E = np.random.default_rng(8).standard_normal(20)
LINE = np.c_[np.ones(20), E[::-1]]


@pytest.mark.parametrize(
    "y, X, status",
    [
        (1e300 * E, LINE, -1003),  # sums of squares overflow
        (1e-160 * E, LINE, -1003),  # ... underflow
        (E, 1e-160 * LINE, 1),  # columns whose squares leave the range
        (E, 2.0**-530 * LINE, 1),  # F was off by 5e-9 there
        (E, 1e160 * LINE, 1),
        (1e300 * E, 1e-100 * LINE, -1003),  # coefficients near 1e400
    ],
)
def test_chow_at_the_edges_of_the_double_range(diag, y, X, status):
    assert diag.chow_stat(y, X, 10)[0] == status
    # inside the range, the statistic does not see a power of two
    assert diag.chow_stat(np.ldexp(E, 500), np.ldexp(LINE, -500), 10) == diag.chow_stat(E, LINE, 10)


@pytest.mark.parametrize("scale", [1e-160, 2.0**-530, 1e160])
def test_bg_and_bp_refuse_columns_beyond_the_range(diag, scale):
    assert diag.bg_stat(E, scale * LINE[:, 1:], 2)[0] == 1
    assert diag.bg_stat(scale * E, LINE[:, 1:], 2)[0] == 1  # the lagged residuals
    assert diag.bp_aux(E, scale * LINE)[0] == 1


def test_chow_degenerate_fits(diag, rng):
    # both segments fitted exactly: F would be infinite, a ratio to no variance
    status, stat = diag.chow_stat(np.repeat([1.0, -1.0], 4), np.ones((8, 1)), 4)
    assert status == -1003 and math.isnan(stat)
    # the pooled line fits exactly: no variance, not a 0/0 statistic
    status, stat = diag.chow_stat(np.zeros(8), np.c_[np.ones(8), np.arange(8.0)], 4)
    assert status == -1003 and math.isnan(stat)
    X = np.c_[np.ones(10), np.arange(10.0)]
    status, stat = diag.chow_stat(rng.standard_normal(6), np.empty((6, 0)), 3)  # nothing to test
    assert status == -1007 and math.isnan(stat)
    y = rng.standard_normal(10)
    y[3] = np.nan
    status, stat = diag.chow_stat(y, X, 5)
    assert status == 0 and math.isnan(stat)


def test_chow_shapes(diag, rng):
    y, X = rng.standard_normal(12), rng.standard_normal((10, 2))
    assert diag.chow_stat(y, X, 4) == diag.chow_stat(y[:10], X, 4)
    with pytest.raises(ValueError, match=r"^chow_stat\(\): y has 9 elements but X has 10 rows$"):
        diag.chow_stat(y[:9], X, 4)


# ------------------------------------------------------ arenas and the frame


def test_arena_formulas():
    for n, k, lags in [(10, 3, 0), (10, 3, 9), (1, 0, 0), (1000, 7, 40)]:
        assert bg_arena_size(n, k, lags).arena_len == (k + lags + 1) * (n + 2 * lags + 2 * k + 4)
    for n, p in [(0, 0), (5, 0), (5, 3), (100, 9)]:
        assert bp_arena_size(n, p).arena_len == n + 2 * p + 2 * p * p
    for k in [0, 1, 6]:
        assert chow_arena_size(k).arena_len == (2 * k + 5) * k
    # rejected lag counts need no arena; negative sizes count as empty;
    # absurd sizes saturate instead of wrapping
    assert [bg_arena_size(5, 2, lags).arena_len for lags in (-1, 5, 2**62)] == [0, 0, 0]
    assert bg_arena_size(10, -4, 1).arena_len == bg_arena_size(10, 0, 1).arena_len
    assert bp_arena_size(-3, -2).arena_len == 0 and chow_arena_size(-5).arena_len == 0
    assert bg_arena_size(I64_MAX, 2**40, 2**40).arena_len == I64_MAX
    assert bp_arena_size(1, 2**32).arena_len == I64_MAX
    assert chow_arena_size(2**32).arena_len == I64_MAX


@pytest.mark.parametrize(
    "call_",
    [
        lambda d, cols: d.bp_aux(np.empty(0), np.empty((0, cols))),
        lambda d, cols: d.chow_stat(np.empty(0), np.empty((0, cols)), 1),
    ],
)
@pytest.mark.parametrize(
    "cols,exc", [(2**32, OverflowError), (2**30, OverflowError), (2**28, MemoryError)]
)
def test_unallocatable_arena_raises(diag, call_, cols, exc):
    with pytest.raises(exc):
        call_(diag, cols)


def test_integers_convert_before_arrays(diag):
    with pytest.raises(TypeError, match="an integer is required"):
        diag.bg_stat(object(), object(), None)
    with pytest.raises(TypeError, match=r"chow_stat\(\) takes exactly 3 positional arguments \(2"):
        diag.chow_stat([1.0], [[1.0]])


def test_registration(diag):
    names = [n for n in vars(diag) if callable(getattr(diag, n)) and not n.startswith("_")]
    assert names[:3] == ["bg_stat", "bp_aux", "chow_stat"]
    assert diag.bp_aux.__doc__ == "Breusch-Pagan auxiliary regression. Returns (status, rss, tss)."
    assert diag.chow_stat.__doc__ == "Chow break-point F statistic. Returns (status, stat)."


# ------------------------------------------- hostile sizes at the kernel level

sizes = st.integers(-3, 9)


@settings(max_examples=150, deadline=None)
@given(n=sizes, k=sizes, lags=st.integers(-3, 12), data=st.data())
def test_bg_kernel_stays_in_bounds(n, k, lags, data):
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32)))
    eps, X = rng.standard_normal(max(n, 0)), rng.standard_normal(max(n, 0) * max(k, 0))
    size = bg_arena_size(n, k, lags).arena_len
    status, (stat,), _ = call(bg_stat_k, size, ptr(eps), ptr(X), n, k, lags)
    if lags >= n:
        assert status == -1005
    elif lags < 0:
        assert status == -1004
    else:
        assert status in (0, 1)


@settings(max_examples=150, deadline=None)
@given(n=sizes, p=sizes, studentize=st.booleans(), data=st.data())
def test_bp_kernel_stays_in_bounds(n, p, studentize, data):
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32)))
    eps, X = rng.standard_normal(max(n, 0)), rng.standard_normal(max(n, 0) * max(p, 0))
    size = bp_arena_size(n, p).arena_len
    status, (stat,), _ = call(bp_stat_k, size, ptr(eps), ptr(X), n, p, int(studentize))
    assert status == (-1005 if n == 0 else -1003 if n < 0 else status)
    assert status in (0, 1, -1003, -1005) and (status != 0 or stat >= 0)


@settings(max_examples=150, deadline=None)
@given(n=sizes, k=sizes, t=st.integers(-2, 11), data=st.data())
def test_chow_kernel_stays_in_bounds(n, k, t, data):
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32)))
    y, X = rng.standard_normal(max(n, 0)), rng.standard_normal(max(n, 0) * max(k, 0))
    status, (stat,), _ = call(chow_stat_k, chow_arena_size(k).arena_len, ptr(y), ptr(X), n, k, t)
    if n <= 2 * max(k, 0):
        assert status == -1005
    elif not 1 <= t < n:
        assert status == -1007
    elif k <= 0:
        assert status == -1007
    else:  # a segment of at most k rows fits exactly
        assert status in (0, 1) or (status == -1003 and min(t, n - t) <= k)
