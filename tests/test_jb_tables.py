"""Small-sample Jarque-Bera tables: the exported data, bracketing, and the
isf/pval interpolations with their elementwise array forms."""

import ctypes
import inspect
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from native import I64, LIB, PD, PI64, D, Guarded, fn

N_GRID = [10, 20, 35, 50, 75, 100, 150, 200, 300, 500, 800, 1000, 1600, 2400, 10000]

# p, then the critical values for each sample size of N_GRID.
CV_TEXT = """
0.0001 15.345 46.996 66.612 71.734 69.91 68.032 60.632 54.736 47.572 38.847 33.247 31.213 26.956 24.249 19.94
0.0005 12.444 31.159 40.759 43.256 41.909 40.43 37.229 34.33 30.561 26.27 23.045 21.979 19.76 18.366 16.052
0.001 10.995 24.97 31.969 33.753 32.738 31.84 29.547 27.551 24.83 21.812 19.521 18.736 17.15 16.083 14.397
0.005 7.304 13.471 16.414 17.281 17.305 16.959 16.257 15.638 14.669 13.583 12.726 12.366 11.762 11.384 10.792
0.01 5.7029 9.7182 11.736 12.392 12.586 12.491 12.185 11.882 11.358 10.778 10.299 10.117 9.8095 9.6084 9.3128
0.05 2.5247 3.7954 4.5929 4.9757 5.2777 5.43 5.5984 5.6758 5.7732 5.8551 5.9103 5.9242 5.9569 5.9671 5.9857
0.1 1.6232 2.347 2.8814 3.1834 3.4862 3.6734 3.9041 4.0327 4.1891 4.3317 4.4274 4.4568 4.5132 4.5424 4.5888
0.15 1.2826 1.823 2.2533 2.5094 2.7713 2.939 3.1416 3.258 3.4003 3.5312 3.6198 3.6507 3.7016 3.7309 3.7778
0.2 1.1236 1.5623 1.9162 2.1278 2.3463 2.4865 2.6558 2.7559 2.8764 2.9882 3.0645 3.0909 3.136 3.1611 3.2036
0.3 0.9389 1.2516 1.4997 1.6466 1.7975 1.8944 2.0112 2.0807 2.1639 2.2427 2.2962 2.3153 2.346 2.365 2.3968
0.4 0.8077 1.036 1.2115 1.3128 1.4165 1.4828 1.5619 1.6087 1.6649 1.7175 1.7547 1.7679 1.7889 1.8024 1.8248
0.5 0.695 0.8574 0.9771 1.0447 1.1126 1.1563 1.2076 1.2385 1.2752 1.3101 1.3338 1.342 1.3568 1.3655 1.3808
0.6 0.5885 0.6948 0.7699 0.8114 0.8529 0.88 0.9105 0.9292 0.9518 0.9732 0.9882 0.9931 1.0024 1.0085 1.0181
0.7 0.4801 0.5378 0.5769 0.5985 0.6202 0.6348 0.6508 0.661 0.673 0.6851 0.694 0.6965 0.7018 0.7056 0.7108
0.8 0.3618 0.3777 0.3896 0.3969 0.4046 0.4105 0.4168 0.4213 0.4267 0.4325 0.4368 0.4376 0.4402 0.4421 0.4451
0.85 0.295 0.2938 0.2958 0.2982 0.301 0.3044 0.3071 0.3096 0.313 0.3163 0.3189 0.3194 0.3209 0.3221 0.3245
0.9 0.2192 0.2047 0.2002 0.1997 0.1997 0.2006 0.2016 0.2024 0.204 0.206 0.2071 0.2074 0.2081 0.2089 0.2106
0.95 0.1272 0.1084 0.1022 0.1005 0.0995 0.0996 0.0992 0.0995 0.1 0.1005 0.101 0.1012 0.1013 0.1019 0.1024
0.99 0.0304 0.023 0.0208 0.0203 0.0198 0.0197 0.0196 0.0196 0.0197 0.0198 0.0197 0.0199 0.02 0.02 0.02
0.995 0.0156 0.0116 0.0104 0.0101 0.0099 0.0098 0.0098 0.0098 0.0099 0.0099 0.0098 0.0099 0.0099 0.0099 0.01
0.999 0.0032 0.0023 0.0021 0.002 0.002 0.0019 0.0019 0.0019 0.002 0.0019 0.002 0.002 0.002 0.002 0.002
0.9995 0.0016 0.0012 0.001 0.001 0.001 0.0009 0.001 0.001 0.001 0.001 0.001 0.001 0.001 0.001 0.001
0.9999 0.0003 0.0002 0.0002 0.0002 0.0002 0.0002 0.0002 0.0002 0.0002 0.0002 0.0002 0.0002 0.0002 0.0002 0.0002
"""
_ROWS = [[float(v) for v in line.split()] for line in CV_TEXT.strip().splitlines()]
P_GRID = [r[0] for r in _ROWS]
CV = np.array([r[1:] for r in _ROWS])  # 23 x 15

DOCS = {
    "jb_find_hilo_ascending": (
        "Bracket ``val`` in the ascending grid ``arr``. Returns (lo, hi).",
        ["val", "arr"],
    ),
    "jb_find_hilo_descending": (
        "Bracket ``val`` in the descending array ``arr``. Returns (lo, hi).",
        ["val", "arr"],
    ),
    "jb_isf_interp": (
        "Small-N Jarque-Bera inverse survival function. Returns float64.",
        ["n", "p"],
    ),
    "jb_pval_interp": ("Small-N Jarque-Bera survival function. Returns float64.", ["n", "x"]),
    "jb_isf_interp_arr": (
        "Elementwise ``jb_isf_interp``; new float64 array shaped like ``p``.",
        ["n", "p"],
    ),
    "jb_pval_interp_arr": (
        "Elementwise ``jb_pval_interp``; new float64 array shaped like ``x``.",
        ["n", "x"],
    ),
}

kvr_asc = fn("kvr_jb_find_hilo_ascending", None, PD, I64, PI64, PI64, D)
kvr_desc = fn("kvr_jb_find_hilo_descending", None, PD, I64, PI64, PI64, D)
kvr_isf_into = fn("kvr_jb_isf_interp_into", None, I64, PD, I64, PD)
kvr_pval_into = fn("kvr_jb_pval_interp_into", None, I64, PD, I64, PD)


def table(name, length):
    return np.array((ctypes.c_double * length).in_dll(LIB, name))


@pytest.mark.parametrize("name", sorted(DOCS))
def test_docstring_and_signature(diag, name):
    f = getattr(diag, name)
    doc, params = DOCS[name]
    assert f.__doc__ == doc
    assert list(inspect.signature(f).parameters) == params


def test_exported_tables_hold_the_published_values():
    assert table("_JB_N_GRID", 15).tolist() == N_GRID
    assert table("_JB_PVAL_GRID", 23).tolist() == P_GRID
    assert table("_JB_CV", 23 * 15).tolist() == CV.ravel().tolist()
    assert np.all(np.diff(N_GRID) > 0) and np.all(np.diff(P_GRID) > 0)
    assert np.all(np.diff(CV, axis=0) < 0)  # every column strictly descending


# ------------------------------------------------------------ bracketing


@pytest.mark.parametrize(
    "val,expected",
    [
        (0.5, (0, 0)),
        (1.0, (0, 0)),
        (2.0, (1, 1)),
        (2.5, (1, 2)),
        (3.0, (2, 2)),
        (3.5, (2, 2)),
        (-math.inf, (0, 0)),
        (math.inf, (2, 2)),
        (math.nan, (0, 0)),
    ],
)
def test_find_hilo_ascending(diag, val, expected):
    assert diag.jb_find_hilo_ascending(val, [1, 2, 3]) == expected


@pytest.mark.parametrize(
    "val,expected",
    [
        (2.5, (0, 1)),
        (0.5, (2, 2)),
        (3.0, (0, 0)),
        (4.0, (0, 0)),
        (2.0, (1, 1)),
        (1.0, (2, 2)),
        (math.nan, (0, 0)),
    ],
)
def test_find_hilo_descending(diag, val, expected):
    assert diag.jb_find_hilo_descending(val, [3, 2, 1]) == expected


def test_find_hilo_empty_and_types(diag):
    assert diag.jb_find_hilo_ascending(1.0, []) == (0, 0)
    assert diag.jb_find_hilo_descending(1.0, np.empty(0)) == (0, 0)
    lo, hi = diag.jb_find_hilo_ascending(np.float32(2.5), np.arange(5))
    assert (lo, hi) == (2, 3) and type(lo) is int


@pytest.mark.parametrize("grid", [N_GRID, P_GRID], ids=["n", "p"])
def test_find_hilo_on_the_grids(diag, grid):
    g = np.array(grid, dtype=float)
    for k, v in enumerate(g):
        assert diag.jb_find_hilo_ascending(v, g) == (k, k)
        assert diag.jb_find_hilo_descending(v, g[::-1]) == (len(g) - 1 - k, len(g) - 1 - k)
    for k, mid in enumerate((g[:-1] + g[1:]) / 2):
        assert diag.jb_find_hilo_ascending(mid, g) == (k, k + 1)
        assert diag.jb_find_hilo_descending(mid, g[::-1]) == (len(g) - 2 - k, len(g) - 1 - k)
    assert diag.jb_find_hilo_ascending(g[0] / 2, g) == (0, 0)
    assert diag.jb_find_hilo_ascending(g[-1] * 2, g) == (len(g) - 1, len(g) - 1)


def test_find_hilo_kernels_with_null_array():
    lo, hi = ctypes.c_int64(-5), ctypes.c_int64(-5)
    for k in (kvr_asc, kvr_desc):
        k(None, 0, ctypes.byref(lo), ctypes.byref(hi), 1.0)
        assert (lo.value, hi.value) == (0, 0)
        k(None, -7, ctypes.byref(lo), ctypes.byref(hi), 1.0)
        assert (lo.value, hi.value) == (0, 0)


# ---------------------------------------------------------- interpolation


@pytest.mark.parametrize(
    "n,p,expected",
    [
        (10, 0.05, 2.5247),
        (10, 0.0, math.inf),
        (10, -1.0, math.inf),
        (10, 1.0, 0.0),
        (10, 7.0, 0.0),
        (5, 0.05, 2.5247),
        (-(2**63), 0.05, 2.5247),
        (20000, 0.05, 5.9857),
        (10000, 0.05, 5.9857),
        (75, 0.9999, 0.0002),
        (2**63 - 1, 0.00001, 19.94),
        (10, 0.99999, 0.0003),
    ],
)
def test_isf_examples(diag, n, p, expected):
    v = diag.jb_isf_interp(n, p)
    assert type(v) is np.float64 and v == expected


def test_isf_nan(diag):
    assert np.isnan(diag.jb_isf_interp(10, math.nan))


def test_isf_is_linear_between_nodes(diag):
    # halfway in n, halfway in p, and both (bilinear)
    assert diag.jb_isf_interp(15, 0.05) == pytest.approx((2.5247 + 3.7954) / 2, rel=1e-14)
    assert diag.jb_isf_interp(10, 0.075) == pytest.approx((2.5247 + 1.6232) / 2, rel=1e-14)
    assert diag.jb_isf_interp(15, 0.075) == pytest.approx(
        (2.5247 + 3.7954 + 1.6232 + 2.347) / 4, rel=1e-14
    )
    for r, p in enumerate(P_GRID):
        for c, n in enumerate(N_GRID):
            assert diag.jb_isf_interp(n, p) == CV[r, c]


@pytest.mark.parametrize(
    "n,x,expected",
    [
        (10, 2.5247, 0.05),
        (10, 0.0, 1.0),
        (10, -3.0, 1.0),
        (10, math.inf, 0.0),
        (10, 1000.0, 0.0001),
        (10, 1e-9, 0.9999),
        (1, 15.345, 0.0001),
        (50_000, 5.9857, 0.05),
        (200, 5.6758, 0.05),
    ],
)
def test_pval_examples(diag, n, x, expected):
    v = diag.jb_pval_interp(n, x)
    assert type(v) is np.float64 and v == expected


def test_pval_nan_and_midpoints(diag):
    assert np.isnan(diag.jb_pval_interp(10, math.nan))
    assert diag.jb_pval_interp(10, (2.5247 + 1.6232) / 2) == pytest.approx(0.075, rel=1e-13)
    # off-grid n: the column is interpolated first, then inverted
    assert diag.jb_pval_interp(15, (2.5247 + 3.7954) / 2) == pytest.approx(0.05, rel=1e-13)


@settings(max_examples=200, deadline=None)
@given(n=st.integers(10, 10000), p=st.floats(0.0001, 0.9999))
def test_pval_inverts_isf(diag, n, p):
    assert diag.jb_pval_interp(n, diag.jb_isf_interp(n, p)) == pytest.approx(p, rel=1e-9, abs=1e-13)


@settings(max_examples=100, deadline=None)
@given(n=st.integers(-5, 20000), x=st.floats(0.0, 1e6))
def test_pval_range_and_monotone(diag, n, x):
    v = diag.jb_pval_interp(n, x)
    assert v == 1.0 if x == 0 else 0.0001 <= v <= 0.9999
    assert diag.jb_pval_interp(n, x * 1.5 + 0.01) <= v


# ----------------------------------------------------------- array forms


@pytest.mark.parametrize(
    "arr,scalar,name",
    [("jb_isf_interp_arr", "jb_isf_interp", "p"), ("jb_pval_interp_arr", "jb_pval_interp", "x")],
)
def test_array_forms_match_scalars(diag, arr, scalar, name):
    vals = (
        [[0.0, 0.003, 0.5], [math.nan, 0.9999, 2.5]]
        if name == "p"
        else [[0.0, 0.3, 2.5247], [math.nan, math.inf, 77.0]]
    )
    for n in (7, 35, 123):
        out = getattr(diag, arr)(n, vals)
        assert out.shape == (2, 3) and out.dtype == np.float64
        expected = [[getattr(diag, scalar)(n, v) for v in row] for row in vals]
        np.testing.assert_array_equal(out, expected)
    src = np.linspace(0.01, 0.9, 12).reshape(3, 4).T  # non-contiguous, not modified
    before = src.copy()
    np.testing.assert_array_equal(
        getattr(diag, arr)(40, src), [[getattr(diag, scalar)(40, v) for v in r] for r in src]
    )
    np.testing.assert_array_equal(src, before)


@pytest.mark.parametrize("name", ["jb_isf_interp_arr", "jb_pval_interp_arr"])
@pytest.mark.parametrize("shape", [(0,), (2, 0), (0, 3), (1, 0, 4)])
def test_array_forms_empty(diag, name, shape):
    x = np.empty(shape)
    out = getattr(diag, name)(10, x)
    assert out.shape == shape and out.dtype == np.float64 and out is not x


def test_into_kernels_stay_in_bounds():
    p = Guarded(5, init=[0.0, 0.05, 0.5, 1.0, math.nan])
    for kernel in (kvr_isf_into, kvr_pval_into):
        out = Guarded(5)
        kernel(10, p.p, 5, out.p)
        out.check()
        kernel(10, None, 0, None)  # empty: nothing is read or written


# ------------------------------------- the package's p-values (its own null table)


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(0, 2**32 - 1))
def test_package_pvalue_scalar_and_vector_paths_agree(seed):
    from Kalvoren import _jb_null_tables as tab
    from Kalvoren._pvalues import jb_pvalue, jb_pvalue_one

    rng = np.random.default_rng(seed)
    n = rng.choice([-3, 0, 9, 10, 11, 21, 203, 9999, 10_000, 10_001, 123_457, 10**12], 120)
    s = np.exp(rng.uniform(-8, 16, 120))
    s[::9] = tab.JB_CV[5][7]  # on a node
    s[1::13] = [math.nan, math.inf, -1.0, 0.0, 1e300, 22.74, 1e-300, 5.2e6, -math.inf, 3.0][
        : len(s[1::13])
    ]
    p, bound = jb_pvalue(s, n)
    one = [jb_pvalue_one(float(a), int(k)) for a, k in zip(s, n)]
    np.testing.assert_array_equal(p, [x[0] for x in one])  # the same bits, NaN included
    assert bound.tolist() == [x[1] for x in one]
    assert np.all(np.isnan(p[n < 10])) and np.all(np.isfinite(p[(n >= 10) & ~np.isnan(s)]))
    p2, b2 = jb_pvalue(s[:4, None], n[None, :3])
    assert p2.shape == b2.shape == (4, 3)
    np.testing.assert_array_equal(p2[2, 1], jb_pvalue_one(float(s[2]), int(n[1]))[0])


@pytest.mark.parametrize("n", [10, 19, 203, 10_000, 10_001, 10**7])
def test_package_critical_values_invert_the_pvalues(n):
    from Kalvoren import _jb_null_tables as tab
    from Kalvoren._pvalues import jb_critical_value, jb_pvalue

    alpha = np.concatenate([tab.ALPHA_GRID, np.geomspace(1.3e-14, 0.99, 25)])
    c = np.array([jb_critical_value(a, n) for a in alpha])
    np.testing.assert_allclose(jb_pvalue(c, n)[0], alpha, rtol=1e-9)
    assert math.isnan(jb_critical_value(1e-15, n)) and math.isnan(jb_critical_value(0.5, 9))
