"""Cholesky family against NumPy, through the exported C symbols."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from native import I32, I64, PD, SENTINEL, D, Guarded, fn, ptr

chol = fn("kvr_chol", I32, PD, PD, I64, D)
logdet_from_chol = fn("kvr_logdet_from_chol", D, PD, I64)
forward_subst = fn("kvr_forward_subst", None, PD, PD, PD, I64)
backward_subst_chol_t = fn("kvr_backward_subst_chol_t", None, PD, PD, PD, I64)
chol_solve = fn("kvr_chol_solve", I32, PD, PD, PD, PD, I64)
chol_inv = fn("kvr_chol_inv", I32, PD, PD, PD, I64)

NOT_PD = -101
EPS = 2.0**-52


def spd(rng, n):
    M = rng.standard_normal((n, n))
    return M @ M.T + n * np.eye(n)


def factor(A, jitter=0.0):
    n = A.shape[0]
    L = Guarded(n * n)
    st_ = chol(ptr(np.ascontiguousarray(A)), L.p, n, jitter)
    L.check()
    return st_, L.a.reshape(n, n)


def with_garbage_upper(A):
    """A copy whose strict upper triangle is NaN: it must never be read."""
    B = A.copy()
    B[np.triu_indices(A.shape[0], 1)] = np.nan
    return B


@settings(max_examples=40, deadline=None)
@given(n=st.integers(1, 40), seed=st.integers(0, 2**32 - 1))
def test_factor_matches_numpy(n, seed):
    A = spd(np.random.default_rng(seed), n)
    status, L = factor(with_garbage_upper(A))
    assert status == 0
    ref = np.linalg.cholesky(A)
    assert np.allclose(L, ref, rtol=1e-12, atol=1e-12 * np.sqrt(np.max(np.diag(A))))
    assert np.all(L[np.triu_indices(n, 1)] == 0.0)
    assert np.allclose(L @ L.T, A, rtol=1e-13, atol=1e-13 * np.max(np.abs(A)))


def test_factor_large(rng):
    A = spd(rng, 150)
    status, L = factor(A)
    assert status == 0
    assert np.allclose(L, np.linalg.cholesky(A), rtol=1e-11, atol=1e-11)


@pytest.mark.parametrize("a,status,l", [(4.0, 0, 2.0), (0.0, NOT_PD, 0.0), (-1.0, NOT_PD, 0.0)])
def test_one_by_one(a, status, l):
    st_, L = factor(np.array([[a]]))
    assert st_ == status and L[0, 0] == l


def test_pivot_test_is_relative_to_largest_diagonal():
    # 1e-17 is positive but below tol = 2 * 2^-52 * 1.
    st_, L = factor(np.diag([1.0, 1e-17]))
    assert st_ == NOT_PD
    assert L.tolist() == [[1.0, 0.0], [0.0, 0.0]]
    # The same pivot passes once it is the largest diagonal.
    st_, L = factor(np.diag([1e-17, 1e-17]))
    assert st_ == 0


@pytest.mark.parametrize("jitter", [1e-8, 0.5])
def test_jitter_is_added_to_the_diagonal(jitter):
    st_, L = factor(np.array([[0.0]]), jitter)
    assert st_ == 0 and L[0, 0] == math.sqrt(jitter)
    # a rank-one 2x2 becomes positive definite
    st_, L = factor(np.ones((2, 2)), jitter)
    assert st_ == 0
    assert np.allclose(L @ L.T, np.ones((2, 2)) + jitter * np.eye(2), rtol=1e-12)


def test_jitter_enters_the_scale():
    # Pivot 2 is exactly 2^-50; tol = (2 * 2^-52) * (1 + 1) equals it, and a
    # pivot equal to tol fails. Without the jitter in the scale it would pass.
    A = np.diag([1.0, -1.0 + 2.0**-50])
    assert factor(A, 1.0)[0] == NOT_PD
    assert factor(A, 1.0 + 2.0**-40)[0] == 0


@pytest.mark.parametrize("jitter", [0.0, -1.0, np.nan, -np.inf])
def test_non_positive_jitter_is_ignored(jitter):
    assert factor(np.array([[0.0]]), jitter)[0] == NOT_PD
    A = np.array([[4.0, 2.0], [2.0, 5.0]])
    assert np.array_equal(factor(A, jitter)[1], factor(A)[1])


def test_failure_leaves_finished_rows():
    # Dyadic entries make every step exact: the pivot of row 3 is exactly -1.
    T = np.array(
        [
            [2.0, 0, 0, 0, 0],
            [1.0, 4.0, 0, 0, 0],
            [-0.5, 2.0, 1.0, 0, 0],
            [3.0, -1.0, 0.25, 1.0, 0],
            [1.0, 1.0, 1.0, 1.0, 2.0],
        ]
    )
    A = T @ T.T
    A[3, 3] -= 2.0  # pivot 1 - 2
    st_, L = factor(with_garbage_upper(A))
    assert st_ == NOT_PD
    expect = T.copy()
    expect[3, 3] = 0.0
    expect[4] = 0.0
    assert np.array_equal(L, expect)


def test_all_non_positive_diagonal_fails_at_first_pivot():
    A = np.array([[0.0, 0.0], [5.0, -3.0]])
    st_, L = factor(A)
    assert st_ == NOT_PD and np.all(L == 0.0)


def test_nan_pivot_propagates():
    A = np.array([[4.0, 0.0], [2.0, np.nan]])
    st_, L = factor(A)
    assert st_ == 0
    assert L[0, 0] == 2.0 and L[1, 0] == 1.0 and np.isnan(L[1, 1])


@pytest.mark.parametrize("n", [0, -1, -3])
def test_empty_sizes_write_nothing(n):
    out, L, x = Guarded(0), Guarded(0), Guarded(0)
    assert chol(None, L.p, n, 1.0) == 0
    assert chol_solve(None, None, x.p, L.p, n) == 0
    assert chol_inv(None, out.p, L.p, n) == 0
    forward_subst(None, None, x.p, n)
    backward_subst_chol_t(None, None, x.p, n)
    assert logdet_from_chol(None, n) == 0.0
    for g in (out, L, x):
        g.check()


def test_logdet(rng):
    _, L = factor(np.diag([4.0, 9.0]))
    assert logdet_from_chol(ptr(L), 2) == pytest.approx(math.log(36.0), rel=1e-15)
    A = spd(rng, 30)
    _, L = factor(A)
    assert logdet_from_chol(ptr(L), 30) == pytest.approx(np.linalg.slogdet(A)[1], rel=1e-12)


# ---- triangular solves -----------------------------------------------------


@pytest.mark.parametrize("n", [1, 2, 7, 33, 80])
@pytest.mark.parametrize("in_place", [False, True])
def test_triangular_solves(rng, n, in_place):
    _, L = factor(spd(rng, n))
    Lg = with_garbage_upper(L)
    b = rng.standard_normal(n)
    y = Guarded(n, init=b)
    src = y.p if in_place else ptr(b)
    forward_subst(ptr(Lg), src, y.p, n)
    y.check()
    assert np.allclose(y.a, np.linalg.solve(L, b), rtol=1e-12, atol=1e-12)
    x = Guarded(n, init=y.a)
    src = x.p if in_place else ptr(y.a.copy())
    backward_subst_chol_t(ptr(Lg), src, x.p, n)
    x.check()
    assert np.allclose(x.a, np.linalg.solve(L.T, y.a), rtol=1e-12, atol=1e-12)


def test_forward_zero_pivot_gives_non_finite():
    L = np.array([[1.0, 0.0], [1.0, 0.0]])
    y = Guarded(2)
    forward_subst(ptr(L), ptr(np.array([1.0, 2.0])), y.p, 2)
    assert y.a[0] == 1.0 and np.isinf(y.a[1])


# ---- conveniences ----------------------------------------------------------


@settings(max_examples=30, deadline=None)
@given(n=st.integers(1, 40), seed=st.integers(0, 2**32 - 1))
def test_chol_solve_and_inv(n, seed):
    rng = np.random.default_rng(seed)
    A = spd(rng, n)
    Ag = with_garbage_upper(A)
    b = rng.standard_normal(n)
    x, L = Guarded(n), Guarded(n * n)
    assert chol_solve(ptr(Ag), ptr(b), x.p, L.p, n) == 0
    x.check(), L.check()
    cond = np.linalg.cond(A)
    assert np.allclose(x.a, np.linalg.solve(A, b), rtol=1e-13 * cond, atol=1e-13 * cond)
    assert np.allclose(L.a.reshape(n, n), np.linalg.cholesky(A), rtol=1e-12, atol=1e-12)
    Ai, L = Guarded(n * n), Guarded(n * n)
    assert chol_inv(ptr(Ag), Ai.p, L.p, n) == 0
    Ai.check(), L.check()
    Ai = Ai.a.reshape(n, n)
    ref = np.linalg.inv(A)
    assert np.allclose(Ai, ref, rtol=1e-13 * cond, atol=1e-13 * cond * np.max(np.abs(ref)))
    assert np.allclose(Ai, Ai.T, rtol=1e-13 * cond, atol=1e-13 * cond * np.max(np.abs(ref)))


def test_conveniences_fail_without_writing_the_result():
    A = np.array([[1.0, 2.0], [2.0, 1.0]])  # indefinite
    x, L = Guarded(2), Guarded(4)
    assert chol_solve(ptr(A), ptr(np.ones(2)), x.p, L.p, 2) == NOT_PD
    assert np.all(x.full == SENTINEL)
    assert L.a.tolist() == [1.0, 0.0, 2.0, 0.0]
    Ai, L = Guarded(4), Guarded(4)
    assert chol_inv(ptr(A), Ai.p, L.p, 2) == NOT_PD
    assert np.all(Ai.full == SENTINEL)
    L.check()


def test_chol_inv_of_diagonal_is_exact():
    d = np.array([4.0, 0.25, 16.0, 1.0])
    Ai, L = Guarded(16), Guarded(16)
    assert chol_inv(ptr(np.diag(d)), Ai.p, L.p, 4) == 0
    assert np.array_equal(Ai.a.reshape(4, 4), np.diag(1.0 / d))
