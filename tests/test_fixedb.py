"""Fixed-b p-values of the Bartlett HAC Wald statistic against chi2 (b -> 0) and a
simulation of the Gaussian location model with an FFT Bartlett estimator; the
scalar path against the vector one; the LLSW bandwidth against exact integers."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import special

from Kalvoren._fixedb import (
    hac_wald_pvalue,
    hac_wald_pvalue_bandwidth,
    hac_wald_pvalue_bandwidth_one,
    hac_wald_pvalue_one,
    llsw_lags,
)


def bartlett_wald(e: np.ndarray, lags: int) -> np.ndarray:
    """W = S' (n Omega)^-1 S for each of the (R, n, q) series, Omega the Bartlett
    estimator (weights 1 - j/(lags + 1)) of the demeaned data, S the column sums."""
    R, n, q = e.shape
    d = e - e.mean(axis=1, keepdims=True)
    F = np.fft.rfft(d, n=2 * n, axis=1)
    # G[j, a, b] = sum_t d[t + j, a] d[t, b]
    J = min(lags, n - 1)
    G = np.fft.irfft(F[..., :, None] * np.conj(F[..., None, :]), n=2 * n, axis=1)[:, : J + 1]
    w = 1.0 - np.arange(1, J + 1) / (lags + 1.0)
    S = G[:, 0] + np.einsum("j,rjab->rab", w, G[:, 1:] + np.swapaxes(G[:, 1:], 2, 3))
    s = e.sum(axis=1)
    return np.einsum("ra,ra->r", s, np.linalg.solve(S, s[..., None])[..., 0])


@pytest.mark.parametrize("q, lags, n, reps", [(1, 29, 300, 6000), (3, 59, 240, 6000)])
def test_level_against_simulated_fixed_b_law(q, lags, n, reps):
    rng = np.random.default_rng(7 + q)
    W = np.concatenate(
        [bartlett_wald(rng.standard_normal((1000, n, q)), lags) for _ in range(reps // 1000)]
    )
    p = hac_wald_pvalue(W, q, lags, n)
    for alpha in (0.1, 0.05, 0.01):
        se = math.sqrt(alpha * (1 - alpha) / reps)
        assert abs(np.mean(p < alpha) - alpha) < 3.5 * se
    # the simulation tells the two laws apart: chi2 over-rejects by many errors
    assert np.mean(special.chdtrc(q, W) < 0.05) > 0.05 + 10 * math.sqrt(0.05 * 0.95 / reps)


@pytest.mark.parametrize("q", [1, 2, 3, 5, 25])
def test_chi2_limit_as_b_vanishes(q):
    w = special.chdtri(q, np.array([0.5, 0.1, 0.05, 0.01, 0.001]))
    chi2 = special.chdtrc(q, w)
    errs = [np.max(np.abs(hac_wald_pvalue(w, q, 9, n) / chi2 - 1)) for n in (10**3, 10**5, 10**9)]
    assert errs[0] > errs[1] > errs[2] and errs[2] < 1e-5


@pytest.mark.parametrize("n", [15, 60, 1000])
def test_monotone_in_stat_lags_and_q(n):
    w = np.linspace(0.0, 200.0, 2001)
    p = hac_wald_pvalue(w, 3, 4, n)
    assert p[0] == 1.0 and np.all(np.diff(p) <= 0)
    lags = np.arange(0, 2 * n)
    for stat in (4.0, 12.0, 40.0):
        pl = hac_wald_pvalue(stat, 2, lags, n)
        upper = pl[1:] < 0.5  # in the bulk the law's lower quantiles need not move with b
        assert np.all(np.diff(pl)[upper] >= 0)
        assert np.all(np.diff(hac_wald_pvalue(stat, np.arange(1, 40), 4, n)) >= 0)


def test_bandwidth_beyond_n_is_an_exact_rescaling():
    # the scores of an OLS fit sum to zero, so the Bartlett estimator with M >= n
    # weights is n/M times the one with M = n, and W scales by M/n
    rng = np.random.default_rng(3)
    e = rng.standard_normal((200, 40, 2))
    w_n, w_big = bartlett_wald(e, 39), bartlett_wald(e, 99)
    np.testing.assert_allclose(w_big, w_n * 100 / 40, rtol=1e-9)
    np.testing.assert_allclose(
        hac_wald_pvalue(w_big, 2, 99, 40), hac_wald_pvalue(w_n, 2, 39, 40), rtol=1e-12
    )


@pytest.mark.parametrize(
    "stat, q, lags, n, expected",
    [
        (math.nan, 2, 3, 60, math.nan),
        (-1.0, 2, 3, 60, math.nan),
        (5.0, 0, 3, 60, math.nan),
        (5.0, 1.5, 3, 60, math.nan),
        (5.0, math.nan, 3, 60, math.nan),
        (5.0, 2, -1, 60, math.nan),
        (5.0, 2, 3, 0, math.nan),
        (5.0, 2, 3, math.inf, math.nan),
        (math.inf, 2, 3, 60, 0.0),
        (0.0, 2, 3, 60, 1.0),
    ],
)
def test_edges(stat, q, lags, n, expected):
    for p in (hac_wald_pvalue_one(stat, q, lags, n), float(hac_wald_pvalue(stat, q, lags, n))):
        assert p == expected or (math.isnan(p) and math.isnan(expected))


counts = st.one_of(st.integers(-2, 60), st.sampled_from([1.5, math.nan, math.inf]))


@settings(max_examples=300, deadline=None)
@given(
    stat=st.one_of(st.floats(-1.0, 1e6), st.sampled_from([math.nan, math.inf, 0.0])),
    q=counts,
    lags=st.one_of(st.integers(-1, 5000), st.sampled_from([math.nan, 2.5])),
    n=st.one_of(st.integers(-1, 10**9), st.sampled_from([math.nan, math.inf])),
)
def test_scalar_path_gives_the_vector_bits(stat, q, lags, n):
    one = hac_wald_pvalue_one(stat, q, lags, n)
    vec = hac_wald_pvalue(np.array([stat, stat]), q, lags, n)
    assert np.array_equal(np.array([one, one]), vec, equal_nan=True)
    assert math.isnan(one) or 0.0 <= one <= 1.0


@pytest.mark.parametrize(
    "n, lags",
    [
        (0, 0),
        (1, 0),
        (2, 1),
        (3, 1),
        (15, 4),
        (25, 6),
        (30, 6),
        (60, 9),
        (100, 12),
        (200, 17),
        (225, 19),
    ],
)
def test_llsw_lags_table(n, lags):
    # 1.3 sqrt(25) = 6.5 and 1.3 sqrt(225) = 19.5: halves round up
    assert llsw_lags(n) == lags
    assert llsw_lags(float(n)) == lags


@given(st.lists(st.integers(0, 2**49), min_size=1, max_size=20))
def test_llsw_lags_is_the_nearest_whole_number(ns):
    # M = nearest integer to 13 sqrt(n) / 10, halves up, in exact integer arithmetic
    ref = [min(max((math.isqrt(169 * n) + 5) // 10 - 1, 0), max(n - 1, 0)) for n in ns]
    got = llsw_lags(np.array(ns))
    assert got.dtype == np.int64 and got.tolist() == ref


@settings(max_examples=150, deadline=None)
@given(
    stat=st.one_of(st.floats(0.0, 1e4), st.just(math.nan)),
    q=st.integers(1, 25),
    M=st.one_of(st.floats(-1.0, 3e3), st.sampled_from([math.nan, math.inf, 0.0])),
    n=st.integers(1, 5000),
)
def test_bandwidth_form_extends_the_lags_form(stat, q, M, n):
    """Any Bartlett bandwidth M (a plug-in rule's): the lags form's bits at a
    whole M, lag 0 alone (M = 1) below 1, NaN where M is not positive and
    finite; the scalar path gives the vector's bits."""
    one = hac_wald_pvalue_bandwidth_one(stat, q, M, n)
    vec = hac_wald_pvalue_bandwidth(np.array([stat, stat]), q, M, n)
    assert np.array_equal(np.array([one, one]), vec, equal_nan=True)
    if not (0.0 < M < math.inf):
        assert math.isnan(one)
    elif M <= 1.0 or M == math.floor(M):
        want = hac_wald_pvalue_one(stat, q, max(int(M), 1) - 1, n)
        assert one == want or (math.isnan(one) and math.isnan(want))


@pytest.mark.parametrize("bad", [math.nan, 2.5, [10, math.inf]])
def test_llsw_lags_refuses_non_counts(bad):
    with pytest.raises(ValueError):
        llsw_lags(bad)


def test_hac_wald_reports_fixed_b_p_values():
    from scipy import stats

    import Kalvoren

    rng = np.random.default_rng(3)
    n = 60
    X = rng.normal(size=(n, 2))
    y = X @ [0.1, 0.0] + rng.normal(size=n)
    r = Kalvoren.diagnose(y, X).tests["hac_wald"]
    lags = Kalvoren.diagnose(y, X).hac_lags
    assert r.pvalue == hac_wald_pvalue_one(r.statistic, 2, lags, n)
    chi2 = Kalvoren.diagnose(y, X, hac_pvalue="chi2").tests["hac_wald"]
    assert chi2.statistic == r.statistic
    assert chi2.pvalue == pytest.approx(stats.chi2(2).sf(r.statistic), rel=1e-12)
    hc = Kalvoren.diagnose(y, X, cov_type="HC1").tests["hac_wald"]  # another covariance
    assert hc.pvalue == pytest.approx(stats.chi2(2).sf(hc.statistic), rel=1e-12)
    llsw = Kalvoren.diagnose(y, X, hac_lags="llsw")
    assert llsw.hac_lags == llsw_lags(n)
    many = Kalvoren.diagnose_many(np.stack([y, y]), X, hac_lags="llsw")
    assert (many["hac_wald_pvalue"] == llsw.tests["hac_wald"].pvalue).all()
