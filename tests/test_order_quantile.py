"""Sorting, the median and the AS 241 normal quantile against NumPy/SciPy."""

import ctypes

import mpmath as mp
import numpy as np
import pytest
import scipy.special as sc
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from native import I32, I64, PD, D, Guarded, fn, ptr

cmp_f64 = fn("kvr_cmp_f64", I32, PD, PD)
sort_f64 = fn("kvr_sort_f64", None, PD, I64)
median_f64 = fn("kvr_median_f64", D, PD, I64)
ndtri = fn("kvr_ndtri_as241", D, D)
ndtri_into = fn("kvr_ndtri_as241_into", None, PD, I64, PD)
erfinv = fn("kvr_erfinv_from_as241", D, D)

NAN, INF = float("nan"), float("inf")


def ulps(got, ref):
    return np.abs(got - ref) / np.spacing(np.abs(ref))


# ---- comparison, sort, median ----------------------------------------------


@pytest.mark.parametrize(
    "a, b, r",
    [
        (1, 2, -1),
        (2, 1, 1),
        (3, 3, 0),
        (-0.0, 0.0, 0),
        (-INF, 1e308, -1),
        (NAN, 1, 0),
        (1, NAN, 0),
        (NAN, NAN, 0),
    ],
)
def test_cmp(a, b, r):
    x, y = ctypes.c_double(a), ctypes.c_double(b)
    assert cmp_f64(ctypes.byref(x), ctypes.byref(y)) == r


finite_or_inf = st.floats(allow_nan=False, width=64)


@settings(max_examples=60, deadline=None)
@given(
    hnp.arrays(
        np.float64,
        st.integers(0, 300),
        elements=st.one_of(finite_or_inf, st.sampled_from([0.0, -0.0, 1.0])),
    )
)
def test_sort_and_median_match_numpy(a):
    g = Guarded(a.size, init=a)
    sort_f64(g.p, a.size)
    g.check()
    np.testing.assert_array_equal(g.a, np.sort(a))
    g = Guarded(a.size, init=a)
    med = median_f64(g.p, a.size)
    g.check()
    if a.size == 0:
        assert np.isnan(med)
    else:
        with np.errstate(invalid="ignore", over="ignore"):
            np.testing.assert_array_equal(med, np.median(a))
        if a.size > 1:
            np.testing.assert_array_equal(g.a, np.sort(a))  # left sorted


@pytest.mark.parametrize(
    "a, med, after",
    [
        ([3, 1, 2], 2.0, [1, 2, 3]),
        ([4, 1, 3, 2], 2.5, [1, 2, 3, 4]),
        ([7.5], 7.5, [7.5]),
        ([NAN], NAN, [NAN]),
        ([2, 2, 1, 1], 1.5, [1, 1, 2, 2]),
    ],
)
def test_median_examples(a, med, after):
    g = Guarded(len(a), init=a)
    np.testing.assert_equal(median_f64(g.p, len(a)), med)
    np.testing.assert_array_equal(g.a, after)
    g.check()


@pytest.mark.parametrize("n", [0, 1, -1, -7])
def test_tiny_or_negative_sizes_leave_data_alone(n):
    g = Guarded(3, init=[3.0, 2.0, 1.0])
    sort_f64(g.p, n)
    assert list(g.a) == [3.0, 2.0, 1.0]
    if n < 1:
        assert np.isnan(median_f64(g.p, n))
    assert list(g.a) == [3.0, 2.0, 1.0]
    g.check()


def test_sort_with_nans_keeps_values_and_orders_the_rest(rng):
    a = rng.standard_normal(500)
    a[rng.choice(500, 60, replace=False)] = np.nan
    g = Guarded(a.size, init=a)
    sort_f64(g.p, a.size)
    g.check()
    finite = g.a[~np.isnan(g.a)]
    assert np.isnan(g.a).sum() == 60
    np.testing.assert_array_equal(finite, np.sort(a[~np.isnan(a)]))


# ---- normal quantile -------------------------------------------------------

TAIL_P = [
    1e-300,
    1e-100,
    1e-20,
    1e-10,
    0.02425,
    0.075,
    0.0749999,
    0.5 - 2**-30,
    0.5,
    0.7,
    0.925,
    0.975,
    1 - 1e-10,
    1 - 2**-52,
    1 - 1e-16,
]


@pytest.mark.parametrize("p", TAIL_P)
def test_ndtri_points(p):
    ref = sc.ndtri(p)
    assert ulps(ndtri(p), ref) <= 6


def test_ndtri_across_unit_interval(rng):
    p = np.concatenate(
        [
            rng.random(20000),
            10.0 ** rng.uniform(-300, -2, 5000),
            1 - 10.0 ** rng.uniform(-16, -2, 5000),
            np.linspace(0.0, 1.0, 1001),
        ]
    )
    g = Guarded(p.size)
    ndtri_into(ptr(p), p.size, g.p)
    g.check()
    inner = (p > 0) & (p < 1)
    assert ulps(g.a[inner], sc.ndtri(p[inner])).max() <= 8
    assert np.all(g.a[p == 0] == -INF) and np.all(g.a[p == 1] == INF)


def test_ndtri_symmetry():
    # dyadic p: 1 - p is exact, so the two sides agree exactly
    p = np.concatenate([np.arange(1, 2**12) / 2**12, 2.0 ** -np.arange(13, 53)])
    np.testing.assert_array_equal([ndtri(x) for x in p], [-ndtri(1 - x) for x in p])


@pytest.mark.parametrize(
    "p, z",
    [
        (0.0, -INF),
        (-1e-300, -INF),
        (-3.0, -INF),
        (1.0, INF),
        (1.5, INF),
        (INF, INF),
        (-INF, -INF),
        (0.5, 0.0),
    ],
)
def test_ndtri_endpoints(p, z):
    assert ndtri(p) == z


def test_ndtri_known_values():
    assert np.isnan(ndtri(NAN))
    assert abs(ndtri(0.975) - 1.959963984540054) <= 4e-16 * 1.96
    assert -37.05 < ndtri(1e-300) < -37.04  # tail branch


@pytest.mark.parametrize("n", [0, -1, -100])
def test_ndtri_into_empty_writes_nothing(n):
    p = np.full(4, 0.3)
    g = Guarded(0)
    ndtri_into(ptr(p), n, g.p)
    g.check()


# ---- erfinv from the quantile ----------------------------------------------


def test_erfinv_matches_scipy(rng):
    x = np.concatenate(
        [
            rng.uniform(-1, 0.999, 20000),
            -1 + 10.0 ** rng.uniform(-15, -3, 2000),
            [0.0, 0.5, -0.5, 0.9, -0.999999],
        ]
    )
    got = np.array([erfinv(v) for v in x])
    ref = sc.erfinv(x)
    np.testing.assert_allclose(got, ref, rtol=2e-15, atol=0)
    assert np.all(np.sign(got) == np.sign(ref))


def test_erfinv_within_a_few_ulps_of_mpmath(rng):
    # both tails down to the last doubles below 1, and |x| down to subnormals,
    # where an argument formed as (1 + x)/2 loses everything
    x = np.concatenate(
        [
            rng.uniform(0, 1, 300),
            10.0 ** rng.uniform(-300, -1, 200),
            1 - 10.0 ** rng.uniform(-15.5, -1, 200),
            1 - np.arange(1, 9) * 2.0**-53,
            [0.85, np.nextafter(0.85, 1), 1e-300, 2.2250738585072014e-308, 5e-324],
        ]
    )
    got = np.array([erfinv(v) for v in x])
    with mp.workdps(50):
        ref = np.array([float(mp.erfinv(mp.mpf(v))) for v in x])
    assert np.all(np.isfinite(got)) and ulps(got, ref).max() <= 5
    assert all(erfinv(-v) == -g for v, g in zip(x, got))  # exactly odd
    assert erfinv(-0.0) == 0.0 and np.signbit(erfinv(-0.0))


@pytest.mark.parametrize("x, z", [(1.0, INF), (-1.0, -INF), (0.0, 0.0), (2.0, INF), (-2.0, -INF)])
def test_erfinv_endpoints(x, z):
    assert erfinv(x) == z
    assert np.isnan(erfinv(NAN))
