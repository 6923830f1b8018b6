"""Autocorrelation, Ljung-Box and the Jarque-Bera statistic: Python functions,
their kernels through ctypes, and statsmodels/SciPy as references."""

import inspect
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from native import I32, I64, PD, ArenaSize, Guarded, fn
from scipy import stats
from statsmodels.stats.diagnostic import acorr_ljungbox
from statsmodels.tsa.stattools import acf

UDEF, BAD_LAG, TOO_SHORT = -1003, -1004, -1005
INT64_MAX = 2**63 - 1

kvr_acorr = fn("kvr_acorr", I32, PD, I64, I64, PD, PD)
kvr_lb_stat = fn("kvr_lb_stat", I32, PD, I64, I64, PD, PD, PD)
kvr_lb_arena_size = fn("kvr_lb_arena_size", ArenaSize, I64, I64)
kvr_jb_stat = fn("kvr_jb_stat", I32, PD, I64, PD)

DOCS = {
    "jb_stat": "Jarque-Bera normality statistic. Returns (status, stat).",
    "acorr": "Autocorrelation of x up to lag L. Returns (status, out(L+1)).\n\n"
    "    Mirrors the numba ``acorr`` (no L/n clamping here); ``out`` is length L+1 and\n"
    "    z_scratch is length n. status is DIAG_UDEF_VARIANCE for a constant series.\n    ",
    "lb_stat": "Ljung-Box statistic for x up to lag L. Returns (status, stat).\n\n"
    "    The kernel clamps L to n-1 and validates n/L internally; the two length-n\n"
    "    scratch buffers cover the clamped lag (L_eff <= n-1, so L_eff+1 <= n).\n    ",
}


def ref_acorr(x, L):
    """Plain NumPy autocorrelation r_0..r_L (lags from n on are 0)."""
    z = np.asarray(x, float) - np.mean(x)
    ss = z @ z
    return np.array(
        [1.0] + [z[k:] @ z[: len(z) - k] / ss if k < len(z) else 0.0 for k in range(1, L + 1)]
    )


@pytest.mark.parametrize("name", sorted(DOCS))
def test_docstring_and_signature(diag, name):
    f = getattr(diag, name)
    assert f.__doc__ == DOCS[name]
    params = {"jb_stat": ["x"], "acorr": ["x", "L"], "lb_stat": ["x", "L"]}[name]
    assert list(inspect.signature(f).parameters) == params


def test_registration_order(diag):
    names = [n for n in vars(diag) if callable(getattr(diag, n)) and not n.startswith("_")]
    order = [
        "jb_stat",
        "acorr",
        "lb_stat",
        "fill_mean_ax0",
        "fill_centered_ax0",
        "jb_find_hilo_ascending",
        "jb_find_hilo_descending",
        "jb_isf_interp",
        "jb_pval_interp",
        "jb_isf_interp_arr",
        "jb_pval_interp_arr",
    ]
    assert [n for n in names if n in order] == order


def test_worked_example(diag):
    status, out = diag.acorr([1, 2, 3, 4], 1)
    assert status == 0 and out.dtype == np.float64 and out.tolist() == [1.0, 0.25]
    status, stat = diag.lb_stat([1, 2, 3, 4], 1)
    assert (status, stat) == (0, 0.5) and type(stat) is float


# ------------------------------------------------------------- acorr


def test_acorr_lags_beyond_n_are_exact_zeros(diag, rng):
    x = rng.standard_normal(5)
    status, out = diag.acorr(x, 9)
    assert status == 0 and len(out) == 10
    np.testing.assert_allclose(out[:5], ref_acorr(x, 4), rtol=1e-13, atol=1e-15)
    assert np.all(out[5:] == 0.0)


@pytest.mark.parametrize("x", [[3.0] * 7, [], [2.5]], ids=["constant", "empty", "single"])
def test_acorr_undefined_variance(diag, x):
    status, out = diag.acorr(x, 3)
    assert status == UDEF and len(out) == 4 and np.isnan(out).all()
    if len(x) > 1:
        status, stat = diag.lb_stat(x, 2)
        assert status == UDEF and math.isnan(stat)


def test_acorr_short_lags(diag):
    status, out = diag.acorr([1.0, 2.0, 4.0], 0)
    assert status == 0 and out.tolist() == [1.0]
    for x, status in (([1.0, 2.0, 4.0], 0), ([1.0, 1.0], UDEF)):
        s, out = diag.acorr(x, -1)
        assert s == status and out.shape == (0,)


def test_acorr_bad_lags_fail_in_numpy(diag):
    with pytest.raises(ValueError, match="negative dimensions"):
        diag.acorr([1.0, 2.0], -2)
    with pytest.raises(OverflowError):
        diag.acorr([1.0, 2.0], INT64_MAX)  # L + 1 does not fit
    with pytest.raises(OverflowError):
        diag.acorr([1.0, 2.0], 2**63)
    with pytest.raises(MemoryError):
        diag.acorr([1.0, 2.0], 2**50)


def test_nearly_constant_series_is_not_constant(diag):
    x = np.zeros(10)
    x[-1] = 1e-160  # sum of squares is subnormal but positive
    assert diag.acorr(x, 2)[0] == 0
    assert diag.lb_stat(x, 2)[0] == 0
    y = np.full(9, 1.0)
    y[4] = 1.0 + 2**-52
    assert diag.acorr(y, 3)[0] == 0


@pytest.mark.parametrize("n,L", [(2, 1), (9, 3), (40, 17), (333, 40), (1000, 5)])
def test_acorr_and_lb_match_statsmodels(diag, rng, n, L):
    x = rng.standard_normal(n).cumsum() * 0.3 + rng.standard_normal(n)
    status, out = diag.acorr(x, L)
    assert status == 0
    np.testing.assert_allclose(
        out, acf(x, nlags=L, adjusted=False, fft=False), rtol=1e-12, atol=1e-15
    )
    status, stat = diag.lb_stat(x, L)
    assert status == 0
    assert stat == pytest.approx(acorr_ljungbox(x, lags=[L])["lb_stat"].iloc[0], rel=1e-12)


@settings(max_examples=60, deadline=None)
@given(n=st.integers(2, 70), L=st.integers(-1, 80), seed=st.integers(0, 2**32 - 1))
def test_acorr_matches_reference(diag, n, L, seed):
    x = np.random.default_rng(seed).standard_normal(n) * 10.0 ** np.random.default_rng(
        seed
    ).integers(-5, 5)
    status, out = diag.acorr(x, L)
    assert status == 0 and out.shape == (L + 1,)
    np.testing.assert_allclose(out, ref_acorr(x, L)[: L + 1], rtol=1e-12, atol=1e-14)


# ----------------------------------------------------------- Ljung-Box


@pytest.mark.parametrize("x", [[], [1.5]])
def test_lb_too_short(diag, x):
    status, stat = diag.lb_stat(x, 1)
    assert status == TOO_SHORT and math.isnan(stat)


@pytest.mark.parametrize("L", [0, -1, -(2**63)])
def test_lb_bad_lag(diag, L):
    status, stat = diag.lb_stat([1.0, 2.0, 4.0], L)
    assert status == BAD_LAG and math.isnan(stat)


def test_lb_clamps_large_lags(diag, rng):
    x = rng.standard_normal(12)
    expected = diag.lb_stat(x, 11)
    assert expected[0] == 0
    for L in (12, 1000, INT64_MAX):
        assert diag.lb_stat(x, L) == expected


# --------------------------------------------------------- Jarque-Bera


def test_jb_worked_examples(diag):
    status, stat = diag.jb_stat(np.arange(1, 11))
    assert status == 0 and type(stat) is np.float64
    exkurt = 120.8625 / 8.25**2 - 3
    assert stat == pytest.approx(10 * exkurt**2 / 24, rel=1e-14)
    status, stat9 = diag.jb_stat(np.arange(1.0, 10.0))
    assert status == TOO_SHORT and np.isfinite(stat9) and stat9 > 0


@pytest.mark.parametrize(
    "x,status",
    [
        ([], TOO_SHORT),
        ([2.0] * 10, UDEF),
        ([1.0] * 5 + [np.nan] * 6, UDEF),
        ([1.0, np.inf] * 6, UDEF),
    ],
)
def test_jb_failures_give_nan(diag, x, status):
    s, stat = diag.jb_stat(x)
    assert s == status and type(stat) is np.float64 and np.isnan(stat)


@pytest.mark.parametrize("p", [-1060, -1000, -600, 600, 1000])
def test_jb_does_not_see_the_scale(diag, rng, p):
    """Moments whose squares or fourth powers leave the range of doubles are
    taken on the data rescaled by a power of two: the statistic of the values
    as given (subnormal ones rounded), where it used to be NaN."""
    x = np.ldexp(rng.standard_normal(40), p)
    want = stats.jarque_bera(np.ldexp(x, -p)).statistic
    assert diag.jb_stat(x) == (0, pytest.approx(want, rel=1e-12))
    spike = np.where(np.arange(12) == 3, 5e-324, 0.0)
    assert diag.jb_stat(spike) == diag.jb_stat(np.ldexp(spike, 1074))


@pytest.mark.parametrize("n", [10, 11, 64, 997, 100_003])
def test_jb_matches_scipy(diag, rng, n):
    x = rng.standard_gamma(2.0, n) * 3.0 - 1.0
    status, stat = diag.jb_stat(x.tolist() if n < 100 else x)
    assert status == 0
    assert stat == pytest.approx(stats.jarque_bera(x).statistic, rel=1e-12)


def test_argument_errors(diag):
    with pytest.raises(
        TypeError, match=r"^acorr\(\) takes exactly 2 positional arguments \(1 given\)$"
    ):
        diag.acorr([1.0])
    with pytest.raises(
        ValueError, match=r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"
    ):
        diag.lb_stat(np.ones((3, 2)), 1)
    assert diag.acorr(L=1.9, x=[1, 2, 3, 4])[1].tolist() == [1.0, 0.25]


# ------------------------------------------------- kernels through ctypes


@pytest.mark.parametrize("n,L", [(0, 3), (0, -1), (1, 2)])
def test_acorr_kernel_empty_and_single(n, L):
    x = Guarded(n, init=[7.0] * n)
    z, out = Guarded(n), Guarded(L + 1)
    xp, zp = (x.p, z.p) if n else (None, None)
    assert kvr_acorr(xp, n, L, zp, out.p) == UDEF
    assert np.isnan(out.a).all()
    out.check(), z.check()


@pytest.mark.parametrize("n,L", [(2, 1), (13, 5), (13, 12), (13, 20), (37, 9), (64, 63)])
def test_acorr_kernel_stays_in_bounds(rng, n, L):
    x = Guarded(n, init=rng.standard_normal(n))
    z, out = Guarded(n), Guarded(L + 1)
    assert kvr_acorr(x.p, n, L, z.p, out.p) == 0
    out.check(), z.check()
    np.testing.assert_allclose(out.a, ref_acorr(x.a, L), rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(z.a, x.a - x.a.mean(), rtol=0, atol=1e-14)


@pytest.mark.parametrize(
    "n,L,status",
    [
        (0, 1, TOO_SHORT),
        (1, 5, TOO_SHORT),
        (5, 0, BAD_LAG),
        (5, 3, 0),
        (5, INT64_MAX, 0),
        (20, 19, 0),
    ],
)
def test_lb_kernel_writes_only_what_it_may(rng, n, L, status):
    x = Guarded(n, init=rng.standard_normal(n))
    z = Guarded(n)
    last = min(L, n - 1)
    rho = Guarded(last + 1 if status == 0 else 0)  # exactly what the kernel may touch
    stat = Guarded(1)
    nul = n == 0
    s = kvr_lb_stat(
        None if nul else x.p, n, L, None if nul else z.p, None if nul else rho.p, stat.p
    )
    assert s == status
    rho.check(), z.check(), stat.check()
    if status:
        assert math.isnan(stat.a[0])
    else:
        assert rho.a[0] == 1.0
        np.testing.assert_allclose(rho.a, ref_acorr(x.a, last), rtol=1e-12, atol=1e-14)


def test_lb_kernel_constant_series_fills_rho_with_nan():
    x, z, rho, stat = Guarded(6, init=[1.0] * 6), Guarded(6), Guarded(4), Guarded(1)
    assert kvr_lb_stat(x.p, 6, 3, z.p, rho.p, stat.p) == UDEF
    assert np.isnan(rho.a).all() and np.isnan(stat.a[0])
    rho.check()


@pytest.mark.parametrize(
    "n,L,expected",
    [
        (0, 5, 1),
        (1, 5, 2),
        (-4, 3, 1),
        (2, 5, 4),
        (10, 3, 14),
        (10, 50, 20),
        (10, -2, 11),
        (INT64_MAX, INT64_MAX, INT64_MAX),
    ],
)
def test_lb_arena_size(n, L, expected):
    r = kvr_lb_arena_size(n, L)
    assert (r.arena_len, r.piv_len) == (expected, 0)


@pytest.mark.parametrize("n", [0, -3])
def test_jb_kernel_empty_with_null(n):
    stat = Guarded(1)
    assert kvr_jb_stat(None, n, stat.p) == TOO_SHORT
    assert math.isnan(stat.a[0])
    stat.check()
