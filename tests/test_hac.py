"""Lag windows, bandwidth rules and the HAC long-run covariance."""

import ctypes
import math

import hac_ref
import numpy as np
import pytest
from native import I32, I64, LIB, PD, Guarded, fn, ptr
from statsmodels.stats.sandwich_covariance import S_hac_simple

from Kalvoren._ckernels.diag import _diag

kernel_weight = fn("kernel_weight", ctypes.c_double, I64, I64, I32)
wooldridge = fn("wooldridge_bandwidth", I64, PD, I64)
andrews = fn("andrews_bandwidth", I64, PD, I32, I64)
andrews_matrix = fn("andrews_bandwidth_matrix", I64, PD, I32, I64, I64, PD)
hac_kernel = fn("kvr_hac_estimator_matmul", None, PD, I32, I64, I64, I64, PD, PD)

KERNELS = [0, 1, 2]


def ar1(rng, n, phi, k=1):
    e = rng.normal(size=(n, k))
    x = np.empty_like(e)
    x[0] = e[0]
    for t in range(1, n):
        x[t] = phi * x[t - 1] + e[t]
    return x


# ---------------------------------------------------------------- weights


def test_kernel_specs_table():
    specs = (ctypes.c_double * 6).in_dll(LIB, "_KERNEL_SPECS")
    assert list(specs) == [1.1447, 1.0, 2.6614, 2.0, 1.3221, 2.0]


@pytest.mark.parametrize("kid", KERNELS)
def test_weights_match_their_formulas(kid):
    for bw in [0, 1, 3, 7, 50]:
        assert kernel_weight(0, bw, kid) == 1.0
        for j in range(1, 2 * bw + 4):
            assert kernel_weight(j, bw, kid) == pytest.approx(
                hac_ref.weight(j, bw, kid), rel=1e-14, abs=1e-16
            )


@pytest.mark.parametrize(
    "j, bw, kid, expect",
    [
        (1, 3, 0, 0.75),
        (2, 3, 0, 0.5),
        (3, 3, 0, 0.25),
        (4, 3, 0, 0.0),
        (1, 1, 1, 0.25),
        (2, 1, 1, 0.0),
        (3, 2, 1, 0.0),
        (1, 0, 2, 0.13786),
        (6, 4, 2, -0.00436),
        (1, 3, 3, 0.0),
        (0, 3, -1, 0.0),
    ],
)
def test_weight_examples(j, bw, kid, expect):
    assert kernel_weight(j, bw, kid) == pytest.approx(expect, abs=5e-6)


def test_weight_at_the_largest_bandwidth():
    # bandwidth + 1 does not fit in int64; the lag still gets weight ~1
    big = 2**63 - 1
    for kid in KERNELS:
        assert kernel_weight(1, big, kid) == pytest.approx(1.0)


# ------------------------------------------------------------- bandwidths


@pytest.mark.parametrize("n, expect", [(1, 1), (2, 1), (100, 4), (1000, 6), (10**6, 30)])
def test_wooldridge(n, expect):
    assert wooldridge(None, n) == expect == hac_ref.wooldridge(n)


@pytest.mark.parametrize("n", [0, -1, -(2**63)])
def test_wooldridge_without_observations_is_one(n):
    assert wooldridge(None, n) == 1


@pytest.mark.parametrize("kid", KERNELS)
@pytest.mark.parametrize("phi, n", [(0.3, 50), (0.6, 200), (0.9, 500), (0.97, 1000), (-0.5, 200)])
def test_andrews_against_numpy(rng, kid, phi, n):
    x = ar1(rng, n, phi)[:, 0] + 3.0  # the raw (not demeaned) values drive rho
    assert andrews(ptr(x), kid, n) == (hac_ref.andrews(x, kid) or 1)


@pytest.mark.parametrize("kid", KERNELS)
def test_andrews_degenerate_series_give_one(kid):
    alternating = np.tile([1.0, -1.0], 20)
    for x in [np.full(30, 2.5), np.array([4.0]), alternating, np.zeros(10)]:
        assert andrews(ptr(x), kid, len(x)) == 1
    nan = np.array([1.0, np.nan, 2.0, 3.0])
    assert andrews(ptr(nan), kid, 4) == 1
    assert andrews(None, kid, 0) == 1


@pytest.mark.parametrize("kid", KERNELS)
def test_andrews_clamps_rho(kid):
    # a trend has S01 > S00, so rho is cut to 0.999 exactly
    n = 400
    x = np.arange(1.0, n + 1)
    c, q = hac_ref.SPECS[kid]
    e = 1 / (2 * q + 1)
    rho = 0.999
    alpha = rho * (2 * (rho + 1)) / ((1 - rho) * (1 - rho))
    assert alpha == pytest.approx(4.0e6, rel=2e-3)
    assert andrews(ptr(x), kid, n) == math.floor(n**e * c * alpha**e)


@pytest.mark.parametrize("kid", [3, -1, 2**31 - 1])
def test_andrews_unknown_kernel_is_one(rng, kid):
    x = ar1(rng, 300, 0.9, 3)
    assert andrews(ptr(x[:, 0].copy()), kid, 300) == 1
    scratch = Guarded(3)
    assert andrews_matrix(ptr(x), kid, 300, 3, scratch.p) == 1
    scratch.check()


@pytest.mark.parametrize("kid", KERNELS)
@pytest.mark.parametrize("p", [2, 3, 8, 9, 19])
def test_andrews_matrix_median_rule(rng, kid, p):
    n = 300
    phis = np.linspace(-0.4, 0.95, p)
    X = np.column_stack([ar1(rng, n, phi)[:, 0] for phi in phis])
    X[:, p // 2] = 1.5  # a constant column is left out of the median
    scratch = Guarded(p)
    got = andrews_matrix(ptr(X), kid, n, p, scratch.p)
    scratch.check()
    assert got == hac_ref.andrews_matrix(X, kid)
    # every column's value is the single-series bandwidth of that column
    singles = [andrews(ptr(X[:, j].copy()), kid, n) for j in range(p) if j != p // 2]
    assert got == math.floor(np.median(singles))


def test_andrews_matrix_examples(rng):
    n = 300
    x = ar1(rng, n, 0.8)[:, 0]
    X = np.column_stack([np.full(n, 7.0), x])
    assert andrews_matrix(ptr(X), 1, n, 2, Guarded(2).p) == andrews(ptr(x), 1, n)
    # two columns with bandwidths b and b + 1: the floor of b + 0.5 is b
    cols = {}
    for phi in np.linspace(0.1, 0.9, 40):
        c = ar1(rng, n, phi)[:, 0]
        cols.setdefault(andrews(ptr(c), 0, n), c)
    b = min(k for k in cols if k + 1 in cols)
    X = np.column_stack([cols[b], cols[b + 1]])
    assert andrews_matrix(ptr(X), 0, n, 2, Guarded(2).p) == b
    # all constant: 1; p = 1 is the single series
    assert andrews_matrix(ptr(np.ones((n, 3))), 0, n, 3, Guarded(3).p) == 1
    assert andrews_matrix(ptr(x), 2, n, 1, None) == andrews(ptr(x), 2, n)
    assert andrews_matrix(ptr(X), 0, 1, 2, Guarded(2).p) == 1
    assert andrews_matrix(None, 0, n, 0, None) == 1


# -------------------------------------------------------- HAC covariance


@pytest.mark.parametrize("p, L", [(1, 1), (3, 4), (5, 12)])
def test_hac_bartlett_against_statsmodels(rng, p, L):
    r = ar1(rng, 200, 0.5, p)
    r -= r.mean(axis=0)
    # statsmodels returns the unscaled sum (no 1/n) with the same weights
    # 1 - j/(L+1); it does not cut L at n - 1, which only matters for L >= n
    expect = S_hac_simple(r, nlags=L) / len(r)
    np.testing.assert_allclose(_diag.hac_estimator_matmul(r, 0, L), expect, rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize("kid", KERNELS)
@pytest.mark.parametrize("n, p, L", [(60, 1, 5), (80, 4, 9), (30, 7, 100), (9, 2, 0), (1, 3, 4)])
def test_hac_against_numpy_loop(rng, kid, n, p, L):
    r = rng.normal(size=(n, p))
    got = _diag.hac_estimator_matmul(r, kid, L)
    assert got.shape == (p, p) and got.dtype == np.float64
    np.testing.assert_allclose(got, hac_ref.hac(r, kid, L), rtol=1e-12, atol=1e-14)
    np.testing.assert_array_equal(got, got.T)


def test_hac_examples():
    r = np.array([[1.0], [-1.0], [1.0], [-1.0]])
    assert _diag.hac_estimator_matmul(r, 0, 1)[0, 0] == 0.25
    assert _diag.hac_estimator_matmul(r, 5, 1)[0, 0] == 1.0
    assert _diag.hac_estimator_matmul(r, 1, 1)[0, 0] == (4 + 0.25 * -6) / 4
    # L beyond n - 1: weights against n - 1 (0.8, 0.6, 0.4, 0.2 for n = 5)
    r5 = np.array([[1.0], [2.0], [-1.0], [0.5], [3.0]])
    np.testing.assert_array_equal(
        _diag.hac_estimator_matmul(r5, 0, 10), _diag.hac_estimator_matmul(r5, 0, 4)
    )
    np.testing.assert_allclose(
        _diag.hac_estimator_matmul(r5, 0, 10)[0, 0], hac_ref.hac(r5, 0, 4)[0, 0], rtol=1e-15
    )


def test_hac_empty_and_odd_arguments():
    assert _diag.hac_estimator_matmul(np.empty((5, 0)), 0, 3).shape == (0, 0)
    assert np.isnan(_diag.hac_estimator_matmul(np.empty((0, 2)), 0, 3)).all()
    r = [[1.0, 2.0], [3.0, 5.0]]  # a list is converted
    np.testing.assert_allclose(_diag.hac_estimator_matmul(r, 0, -3), hac_ref.hac(np.array(r), 0, 0))
    np.testing.assert_allclose(_diag.hac_estimator_matmul(r, 2**31 - 1, 1), np.array(r).T @ r / 2)
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        _diag.hac_estimator_matmul(r, 2**31, 1)
    with pytest.raises(ValueError, match="expected 2, got 1"):
        _diag.hac_estimator_matmul([1.0, 2.0], 0, 1)
    with pytest.raises(TypeError, match="an integer is required"):
        _diag.hac_estimator_matmul(None, "0", 1)  # integers before arrays
    assert _diag.hac_estimator_matmul.__doc__ == (
        "HAC long-run covariance (Gamma_0 + sum_j w_j(Gamma_j + Gamma_j')) / n.\n\n"
        "    Parity oracle: the numba ``jit_hac_estimator_matmul``, same inputs (centered\n"
        "    moment array, integer kernel id, bandwidth) and the same (p, p) output.\n    "
    )


@pytest.mark.parametrize("n, p", [(40, 3), (1, 2), (0, 2), (6, 0), (-4, 3)])
def test_native_hac_stays_in_bounds(rng, n, p):
    r = rng.normal(size=(max(n, 0), p))
    gamma, out = Guarded(p * p), Guarded(p * p)
    hac_kernel(ptr(r), 1, 5, n, p, gamma.p, out.p)
    gamma.check()
    out.check()
    if n > 0:
        np.testing.assert_allclose(out.a.reshape(p, p), hac_ref.hac(r, 1, 5), rtol=1e-12)
    else:
        assert np.isnan(out.a).all()  # an empty series: 0 / 0
