"""Real dense primitives against NumPy, through the exported C symbols."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from native import D, I64, PD, Guarded, fn, ptr

zero_mat = fn("kvr_zero_mat", None, PD, I64, I64)
sym_inplace = fn("kvr_sym_inplace", None, PD, I64)
matmul = fn("kvr_matmul", None, PD, PD, PD, I64, I64, I64)
matmul_atb = fn("kvr_matmul_atb", None, PD, PD, PD, I64, I64, I64)
matmul_abt = fn("kvr_matmul_abt", None, PD, PD, PD, I64, I64, I64)
matmul_abt_plus_c = fn("kvr_matmul_abt_plus_c", None, PD, PD, PD, PD, I64, I64, I64)
matvec = fn("kvr_matvec", None, PD, PD, PD, I64, I64)
matvec_plus_vec = fn("kvr_matvec_plus_vec", None, PD, PD, PD, PD, I64, I64)
vsub = fn("kvr_vsub", None, PD, PD, PD, I64)
dot = fn("kvr_dot", D, PD, PD, I64)
gram = fn("kvr_gram", None, PD, PD, I64, I64)
gram_rhs = fn("kvr_gram_rhs", None, PD, PD, PD, I64, I64)

EPS = np.finfo(float).eps


def mat(rng, r, c):
    return rng.standard_normal((max(r, 0), max(c, 0)))


def assert_close(got, ref, absprod, k):
    """Agreement to rounding: both sides are sums of k products, so they may
    differ by a few k*eps times the sum of the absolute products."""
    tol = 4 * (max(k, 1) + 2) * EPS * absprod + 1e-300
    assert np.all(np.abs(got - ref) <= tol)


# ---- the product forms, one callable each ------------------------------------
# Each returns (got, reference, sum of |products|, inner length).

def run_matmul(rng, m, k, n):
    A, B = mat(rng, m, k), mat(rng, k, n)
    C = Guarded(m * n) if m > 0 and n > 0 else Guarded(0)
    matmul(ptr(A), ptr(B), C.p, m, k, n)
    C.check()
    if m <= 0 or n <= 0:
        return C.a, np.empty(0), np.empty(0), 0
    return C.a.reshape(m, n), A @ B, np.abs(A) @ np.abs(B), k


def run_atb(rng, m, p, q):
    A, B = mat(rng, m, p), mat(rng, m, q)
    C = Guarded(p * q) if p > 0 and q > 0 else Guarded(0)
    matmul_atb(ptr(A), ptr(B), C.p, m, p, q)
    C.check()
    if p <= 0 or q <= 0:
        return C.a, np.empty(0), np.empty(0), 0
    return C.a.reshape(p, q), A.T @ B, np.abs(A).T @ np.abs(B), m


def run_abt(rng, m, k, n):
    A, B = mat(rng, m, k), mat(rng, n, k)
    C = Guarded(m * n) if m > 0 and n > 0 else Guarded(0)
    matmul_abt(ptr(A), ptr(B), C.p, m, k, n)
    C.check()
    if m <= 0 or n <= 0:
        return C.a, np.empty(0), np.empty(0), 0
    return C.a.reshape(m, n), A @ B.T, np.abs(A) @ np.abs(B).T, k


def run_abt_plus_c(rng, m, k, n):
    A, B, C0 = mat(rng, m, k), mat(rng, n, k), mat(rng, m, n)
    C = Guarded(m * n) if m > 0 and n > 0 else Guarded(0)
    matmul_abt_plus_c(ptr(A), ptr(B), ptr(C0), C.p, m, k, n)
    C.check()
    if m <= 0 or n <= 0:
        return C.a, np.empty(0), np.empty(0), 0
    return C.a.reshape(m, n), C0 + A @ B.T, np.abs(C0) + np.abs(A) @ np.abs(B).T, k + 1


def run_matvec(rng, m, n, _=None):
    A, x = mat(rng, m, n), mat(rng, n, 1).ravel()
    y = Guarded(m)
    matvec(ptr(A), ptr(x), y.p, m, n)
    y.check()
    if m <= 0:
        return y.a, np.empty(0), np.empty(0), 0
    return y.a, A @ x, np.abs(A) @ np.abs(x), n


def run_matvec_plus_vec(rng, m, n, _=None):
    A, x, c = mat(rng, m, n), mat(rng, n, 1).ravel(), mat(rng, m, 1).ravel()
    y = Guarded(m)
    matvec_plus_vec(ptr(A), ptr(x), ptr(c), y.p, m, n)
    y.check()
    if m <= 0:
        return y.a, np.empty(0), np.empty(0), 0
    return y.a, c + A @ x, np.abs(c) + np.abs(A) @ np.abs(x), n + 1


def run_gram(rng, n, p, _=None):
    X = mat(rng, n, p)
    G = Guarded(p * p) if p > 0 else Guarded(0)
    gram(ptr(X), G.p, n, p)
    G.check()
    if p <= 0:
        return G.a, np.empty(0), np.empty(0), 0
    return G.a.reshape(p, p), X.T @ X, np.abs(X).T @ np.abs(X), n


def run_gram_rhs(rng, n, p, _=None):
    X, y = mat(rng, n, p), mat(rng, n, 1).ravel()
    g = Guarded(p)
    gram_rhs(ptr(X), ptr(y), g.p, n, p)
    g.check()
    if p <= 0:
        return g.a, np.empty(0), np.empty(0), 0
    return g.a, X.T @ y, np.abs(X).T @ np.abs(y), n


FORMS = {
    "matmul": run_matmul,
    "atb": run_atb,
    "abt": run_abt,
    "abt_plus_c": run_abt_plus_c,
    "matvec": run_matvec,
    "matvec_plus_vec": run_matvec_plus_vec,
    "gram": run_gram,
    "gram_rhs": run_gram_rhs,
}

size = st.integers(-3, 40)


@pytest.mark.parametrize("form", FORMS)
@settings(max_examples=60, deadline=None)
@given(a=size, b=size, c=size, seed=st.integers(0, 2**32 - 1))
def test_product_forms_random_shapes(form, a, b, c, seed):
    got, ref, absprod, k = FORMS[form](np.random.default_rng(seed), a, b, c)
    assert got.shape == ref.shape
    assert_close(got, ref, absprod, k)


# Shapes that cross every register-tile edge (8/16 columns, 8/6 rows), the
# step blocks (256 observations) and the 128-wide panels of C.
EDGE_P = [1, 2, 3, 5, 7, 8, 9, 12, 15, 16, 17, 23, 31, 33, 48, 63, 64, 65, 129, 131]


@pytest.mark.parametrize("p", EDGE_P)
def test_gram_edges(rng, p):
    n = 600 if p < 100 else 300
    got, ref, absprod, k = run_gram(rng, n, p)
    assert_close(got, ref, absprod, k)
    assert np.array_equal(got, got.T)


@pytest.mark.parametrize("p,q", [(1, 1), (1, 37), (37, 1), (9, 17), (17, 9), (6, 24),
                                 (13, 130), (130, 13), (64, 64), (140, 3)])
def test_atb_and_matmul_edges(rng, p, q):
    got, ref, absprod, k = run_atb(rng, 530, p, q)
    assert_close(got, ref, absprod, k)
    got, ref, absprod, k = run_matmul(rng, p, 300, q)
    assert_close(got, ref, absprod, k)


@pytest.mark.parametrize("p", [1, 4, 9, 16, 17, 130])
def test_gram_rhs_edges(rng, p):
    got, ref, absprod, k = run_gram_rhs(rng, 1000, p)
    assert_close(got, ref, absprod, k)


@pytest.mark.parametrize("n", [0, 1, 7, 8, 31, 32, 33, 100, 1001])
def test_dot_and_vsub(rng, n):
    a, b = rng.standard_normal(n), rng.standard_normal(n)
    assert_close(dot(ptr(a), ptr(b), n), a @ b, np.abs(a) @ np.abs(b), n)
    out = Guarded(n)
    vsub(ptr(a), ptr(b), out.p, n)
    out.check()
    assert np.array_equal(out.a, a - b)


def test_dot_empty():
    a = np.ones(4)
    assert dot(ptr(a), ptr(a), 0) == 0.0
    assert dot(ptr(a), ptr(a), -5) == 0.0


@pytest.mark.parametrize("n", [1, 2, 5, 16, 17])
def test_gram_single_row_is_exact_outer_product(rng, n):
    x = rng.standard_normal(n) * 10.0 ** rng.integers(-5, 5, n)
    G = Guarded(n * n)
    gram(ptr(x), G.p, 1, n)
    G.check()
    assert np.array_equal(G.a.reshape(n, n), np.outer(x, x))
    y = np.array([3.0])
    g = Guarded(n)
    gram_rhs(ptr(x), ptr(y), g.p, 1, n)
    assert np.array_equal(g.a, x * 3.0)


def test_gram_is_exactly_symmetric_with_wide_range(rng):
    X = rng.standard_normal((777, 45)) * 10.0 ** rng.integers(-8, 8, (777, 45))
    G = Guarded(45 * 45)
    gram(ptr(X), G.p, 777, 45)
    G = G.a.reshape(45, 45)
    assert np.array_equal(G, G.T)
    assert np.allclose(G, X.T @ X, rtol=1e-12, atol=0)


def test_gram_nan_stays_in_its_row_and_column(rng):
    X = rng.standard_normal((50, 6))
    X[17, 2] = np.nan
    G = Guarded(36)
    gram(ptr(X), G.p, 50, 6)
    G = G.a.reshape(6, 6)
    assert np.all(np.isnan(G[2])) and np.all(np.isnan(G[:, 2]))
    rest = np.delete(np.delete(G, 2, 0), 2, 1)
    assert np.all(np.isfinite(rest))


# ---- empty and negative sizes: exact results, nothing written --------------

@pytest.mark.parametrize("rows,cols", [(0, 3), (3, 0), (-2, 4), (4, -2), (-2, -3), (-1, -1)])
def test_zero_mat_empty(rows, cols):
    A = Guarded(0)
    zero_mat(A.p, rows, cols)
    A.check()


def test_zero_mat():
    A = Guarded(12)
    zero_mat(A.p, 3, 4)
    A.check()
    assert np.all(A.a == 0.0)


# Calls whose output is empty. Inputs are null pointers: nothing may be read
# either. Several pairs of negative sizes have a positive product.
EMPTY_CALLS = {
    "zero_mat": lambda o: zero_mat(o, -2, -3),
    "sym_inplace": lambda o: sym_inplace(o, -4),
    "matmul": lambda o: matmul(None, None, o, -2, 3, -4),
    "matmul_neg_k": lambda o: matmul(None, None, o, -2, -3, 4),
    "matmul_atb": lambda o: matmul_atb(None, None, o, 5, -2, -3),
    "matmul_atb_neg_m": lambda o: matmul_atb(None, None, o, -5, -2, 3),
    "matmul_abt": lambda o: matmul_abt(None, None, o, -2, 3, -4),
    "matmul_abt_plus_c": lambda o: matmul_abt_plus_c(None, None, None, o, -2, -3, -4),
    "matvec": lambda o: matvec(None, None, o, -3, -2),
    "matvec_plus_vec": lambda o: matvec_plus_vec(None, None, None, o, -3, -2),
    "vsub": lambda o: vsub(None, None, o, -3),
    "gram": lambda o: gram(None, o, -3, -2),
    "gram_rhs": lambda o: gram_rhs(None, None, o, -3, -2),
}


@pytest.mark.parametrize("call", EMPTY_CALLS.values(), ids=EMPTY_CALLS.keys())
def test_empty_outputs_write_nothing(call):
    out = Guarded(0)
    call(out.p)
    out.check()


@pytest.mark.parametrize("n", [0, -3])
def test_gram_without_observations_is_zero(n):
    G = Guarded(9)
    gram(None, G.p, n, 3)
    G.check()
    assert np.all(G.a == 0.0)
    g = Guarded(3)
    gram_rhs(None, None, g.p, n, 3)
    g.check()
    assert np.all(g.a == 0.0)


@pytest.mark.parametrize("k", [0, -2])
def test_empty_inner_dimension(rng, k):
    C0 = rng.standard_normal((3, 4))
    c = rng.standard_normal(3)
    for f in (matmul, matmul_abt):
        C = Guarded(12)
        f(None, None, C.p, 3, k, 4)
        C.check()
        assert np.all(C.a == 0.0)
    C = Guarded(12)
    matmul_abt_plus_c(None, None, ptr(C0), C.p, 3, k, 4)
    C.check()
    assert np.array_equal(C.a, C0.ravel())
    y = Guarded(3)
    matvec(None, None, y.p, 3, k)
    y.check()
    assert np.all(y.a == 0.0)
    y = Guarded(3)
    matvec_plus_vec(None, None, ptr(c), y.p, 3, k)
    y.check()
    assert np.array_equal(y.a, c)
    C = Guarded(12)
    matmul_atb(None, None, C.p, k, 3, 4)
    C.check()
    assert np.all(C.a == 0.0)


# ---- symmetrising ----------------------------------------------------------

def test_sym_inplace_small_cases():
    A = Guarded(1, init=[5.0])
    sym_inplace(A.p, 1)
    A.check()
    assert A.a[0] == 5.0
    A = Guarded(4, init=[1.0, 2.0, 6.0, 4.0])
    sym_inplace(A.p, 2)
    A.check()
    assert A.a.tolist() == [1.0, 4.0, 4.0, 4.0]


def test_sym_inplace_random_keeps_diagonal(rng):
    n = 19
    M = rng.standard_normal((n, n))
    M[np.diag_indices(n)] = 1e308  # (d + d)/2 would overflow
    A = Guarded(n * n, init=M)
    sym_inplace(A.p, n)
    A.check()
    S = A.a.reshape(n, n)
    with np.errstate(over="ignore"):
        ref = (M + M.T) * 0.5
    ref[np.diag_indices(n)] = 1e308
    assert np.array_equal(S, ref)


# ---- inputs are only read --------------------------------------------------

def test_inputs_unchanged(rng):
    X = rng.standard_normal((300, 20))
    y = rng.standard_normal(300)
    X0, y0 = X.copy(), y.copy()
    G, g, C = Guarded(400), Guarded(20), Guarded(400)
    gram(ptr(X), G.p, 300, 20)
    gram_rhs(ptr(X), ptr(y), g.p, 300, 20)
    matmul_atb(ptr(X), ptr(X), C.p, 300, 20, 20)
    assert np.array_equal(X, X0) and np.array_equal(y, y0)
