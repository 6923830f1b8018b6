"""Finite-sample null p-values of the CUSUM and CUSUM-of-squares statistics."""

import importlib.util
import math
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy.special import ndtr
from scipy.stats import kstwobign

from Kalvoren import _cusum_null as cn
from Kalvoren import _cusum_null_tables as tab

M_MAX = tab.M_GRID[-1]
PVALUE = {"cusum": cn.cusum_pvalue, "cusumsq": cn.cusumsq_pvalue}
CRIT = {"cusum": cn.cusum_critical_value, "cusumsq": cn.cusumsq_critical_value}


def mc_se(p):
    return np.sqrt(p * (1 - p) / tab.REPS)


def test_tabulated_statistics_are_the_kernels(diag):
    # The tables simulate residual paths and use their prefixes for smaller m;
    # the recursive residuals of the first k + m' rows are that prefix.
    path = Path(__file__).resolve().parents[1] / "scripts" / "make_cusum_tables.py"
    spec = importlib.util.spec_from_file_location("make_cusum_tables", path)
    mk = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mk)
    rng = np.random.default_rng(3)
    for n, k in ((5, 2), (40, 3), (300, 1)):
        X = np.column_stack([np.ones(n)] + [rng.normal(size=n) for _ in range(k - 1)])
        y = X @ rng.normal(size=k) + 3.0 * rng.standard_normal(n)
        w = diag.recursive_residuals(y, X)[1]
        grid = (2, (n - k + 2) // 2, n - k)
        c, q = mk.path_statistics(w[None, :].copy(), grid)
        for i, m in enumerate(grid):
            assert c[i, 0] == pytest.approx(diag.cusum_stat(y[: k + m], X[: k + m])[1], rel=1e-12)
            assert q[i, 0] == pytest.approx(diag.cusumsq_stat(y[: k + m], X[: k + m])[2], rel=1e-12)


@pytest.mark.parametrize("m", [10, 20, 50, 200, 1000])
def test_null_rejection_rate_at_5_percent(diag, m):
    # Real kernels on y = X b + N(0, 1), X = [1, x]: fresh seed, not the tables'.
    rng = np.random.default_rng(1000 + m)
    n, reps = m + 2, 5000
    X = np.column_stack([np.ones(n), rng.normal(size=n)])
    mean = X @ [1.0, -0.5]
    c = np.empty(reps)
    q = np.empty(reps)
    for r in range(reps):
        y = mean + rng.standard_normal(n)
        st1, c[r] = diag.cusum_stat(y, X)
        st2, nrec, q[r] = diag.cusumsq_stat(y, X)
        assert st1 == 0 and st2 == 0 and nrec == m
    for p in (cn.cusum_pvalue(c, m)[0], cn.cusumsq_pvalue(q, m)[0]):
        assert 0.04 <= np.mean(p < 0.05) <= 0.06


@pytest.mark.parametrize(
    "kind, exact",
    [
        # m = 2 closed forms: w = r (cos t, sin t) with t uniform (CUSUM: for p <= 1/2).
        ("cusum", lambda x: 2 / np.pi * np.arccos(np.minimum(x, 1))),
        ("cusumsq", lambda x: 2 / np.pi * np.arccos(np.minimum(2 * math.sqrt(2) * x, 1))),
    ],
)
def test_m2_closed_form(kind, exact):
    alpha = np.array(tab.ALPHA_GRID)
    cv = np.asarray(getattr(tab, kind.upper() + "_CV"))[0][alpha <= 0.5]
    alpha = alpha[alpha <= 0.5]
    assert np.all(np.abs(exact(cv) - alpha) < 5 * mc_se(alpha))
    # Between nodes the tail is a square root of (max - stat) here, which the
    # linear-in-z interpolation follows only to a few per cent.
    x = np.linspace(cv[alpha == 0.2][0], cv[alpha == 0.001][0], 200)
    np.testing.assert_allclose(PVALUE[kind](x, 2)[0], exact(x), rtol=0.06)
    # The tail columns are the closed form itself (down to where the statistic's
    # distance from its maximum, 1 or 1/sqrt 8, is a few ulps): exact at the nodes,
    # within a third between them, half a decade apart.
    tail = (alpha < 1e-3) & (alpha >= 1e-7)
    np.testing.assert_allclose(exact(cv[tail]), alpha[tail], rtol=1e-2)  # cv rounds near 1
    x = np.linspace(cv[tail][-1], cv[tail][0], 200)
    np.testing.assert_allclose(PVALUE[kind](x, 2)[0], exact(x), rtol=0.35)


def test_asymptotic_forms_far_beyond_the_table():
    m = 1e16  # the shift d / sqrt(m) vanishes
    a = np.linspace(1.0, 2.5, 16)
    bde = 2 * (ndtr(-3 * a) + np.exp(-4 * a * a) * ndtr(a))
    np.testing.assert_allclose(cn.cusum_pvalue(a, m)[0], bde, rtol=2e-5)  # interpolated limit
    x = np.linspace(0.5, 2.5, 16)
    np.testing.assert_allclose(
        cn.cusumsq_pvalue(x / math.sqrt(m), m)[0], kstwobign.sf(x), rtol=1e-6
    )


@pytest.mark.parametrize("kind", ["cusum", "cusumsq"])
def test_table_rows_and_critical_values(kind):
    cv = np.asarray(getattr(tab, kind.upper() + "_CV"))
    assert cv.shape == (len(tab.M_GRID), len(tab.ALPHA_GRID))
    assert np.all(np.diff(cv, axis=1) < 0)  # strictly monotone in alpha
    alpha = np.array(tab.ALPHA_GRID)
    for m in (2, 7, 31, 333, M_MAX, M_MAX + 1, 10**5):
        c = CRIT[kind](alpha, m)
        assert np.all(np.diff(c) < 0)
        np.testing.assert_allclose(PVALUE[kind](c, m)[0], alpha, rtol=1e-9)
    i = tab.M_GRID.index(200)
    np.testing.assert_allclose(CRIT[kind](alpha, 200), cv[i], rtol=1e-12)


@settings(max_examples=60, deadline=None)
@given(
    m=st.integers(2, M_MAX),
    seed=st.integers(0, 2**32 - 1),
    kind=st.sampled_from(["cusum", "cusumsq"]),
)
def test_monotone_in_stat_and_between_m_nodes(m, seed, kind):
    hi = 1.6 if kind == "cusum" else 0.4
    s = np.sort(np.random.default_rng(seed).uniform(0, hi, 200))
    p, bound = PVALUE[kind](s, m)
    assert np.all(np.diff(p) <= 0)
    inner = bound == None  # noqa: E711
    assert np.all(np.diff(p[inner]) < 0)
    j = np.searchsorted(tab.M_GRID, m)
    lo, up = tab.M_GRID[max(j - 1, 0)], tab.M_GRID[j]
    p_lo, p_up = PVALUE[kind](s, lo)[0], PVALUE[kind](s, up)[0]
    tol = 1e-12
    assert np.all((p >= np.minimum(p_lo, p_up) - tol) & (p <= np.maximum(p_lo, p_up) + tol))


@pytest.mark.parametrize("kind", ["cusum", "cusumsq"])
def test_edges_bounds_and_invalid_input(kind):
    f = PVALUE[kind]
    lo, hi = min(tab.ALPHA_GRID), max(tab.ALPHA_GRID)
    s = [np.inf, 50.0, -1.0, 0.0, np.nan, 0.5, 0.5, 0.5, 0.5, 50.0, -1.0]
    m = [30, 30, 30, 30, 30, 0, -4, np.nan, 1, M_MAX + 1, M_MAX + 1]
    p, bound = f(s, m)
    assert p[:4].tolist() == [lo, lo, hi, hi]
    assert bound[:4].tolist() == ["<", "<", ">", ">"]
    assert np.isnan(p[4:8]).all()
    assert p[8:].tolist() == [1.0, 0.0, 1.0]  # m = 1: a constant statistic
    assert all(b is None for b in bound[4:])
    edge = CRIT[kind](lo, 30)
    assert f(edge, 30)[1].item() is None and f(np.nextafter(edge, 9), 30)[1].item() == "<"
    assert np.isnan(CRIT[kind]([lo / 2, 0.5], [30, 1])).all()
    with pytest.raises(ValueError, match="whole numbers"):
        f(0.5, 30.5)


@pytest.mark.parametrize("kind", ["cusum", "cusumsq"])
def test_handover_to_the_asymptotic_form_is_continuous(kind):
    alpha = np.array([a for a in tab.ALPHA_GRID if 0.002 <= a <= 0.9])
    s = CRIT[kind](alpha, M_MAX)
    p_next = PVALUE[kind](s, M_MAX + 1)[0]
    assert np.all(np.abs(p_next - alpha) < 5 * mc_se(alpha))
    np.testing.assert_allclose(CRIT[kind](0.05, M_MAX + 1), CRIT[kind](0.05, M_MAX), rtol=2e-3)


@pytest.mark.parametrize("kind", ["cusum", "cusumsq"])
def test_vectorised_equals_elementwise(kind):
    rng = np.random.default_rng(5)
    m = rng.choice([-1, 0, 1, 2, 3, 17, 45, 999, M_MAX, M_MAX + 1, 70000], size=300)
    s = rng.uniform(-0.1, 1.6, 300) / (np.sqrt(np.maximum(m, 1)) if kind == "cusumsq" else 1.0)
    s[::37] = np.nan
    p, bound = PVALUE[kind](s, m)
    one = [PVALUE[kind](a, b) for a, b in zip(s, m)]
    np.testing.assert_array_equal(p, [float(x[0]) for x in one])
    assert bound.tolist() == [x[1].item() for x in one]
    p2, b2 = PVALUE[kind](s[:6, None], m[None, :5])
    assert p2.shape == b2.shape == (6, 5) and p2[4, 3] == PVALUE[kind](s[4], m[3])[0]
