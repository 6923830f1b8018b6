"""Real dense primitives against NumPy, through the exported C symbols."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from native import I64, PD, D, Guarded, fn, ptr

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

# name: (input shapes, output shape, kernel call, reference), all from the
# size arguments (a, b, c) in the kernel's own order.
FORMS = {
    "matmul": (
        lambda a, b, c: [(a, b), (b, c)],
        lambda a, b, c: (a, c),
        lambda i, o, a, b, c: matmul(*i, o, a, b, c),
        lambda A, B: A @ B,
    ),
    "atb": (
        lambda a, b, c: [(a, b), (a, c)],
        lambda a, b, c: (b, c),
        lambda i, o, a, b, c: matmul_atb(*i, o, a, b, c),
        lambda A, B: A.T @ B,
    ),
    "abt": (
        lambda a, b, c: [(a, b), (c, b)],
        lambda a, b, c: (a, c),
        lambda i, o, a, b, c: matmul_abt(*i, o, a, b, c),
        lambda A, B: A @ B.T,
    ),
    "abt_plus_c": (
        lambda a, b, c: [(a, b), (c, b), (a, c)],
        lambda a, b, c: (a, c),
        lambda i, o, a, b, c: matmul_abt_plus_c(*i, o, a, b, c),
        lambda A, B, C0: C0 + A @ B.T,
    ),
    "matvec": (
        lambda a, b, c: [(a, b), (b,)],
        lambda a, b, c: (a,),
        lambda i, o, a, b, c: matvec(*i, o, a, b),
        lambda A, x: A @ x,
    ),
    "matvec_plus_vec": (
        lambda a, b, c: [(a, b), (b,), (a,)],
        lambda a, b, c: (a,),
        lambda i, o, a, b, c: matvec_plus_vec(*i, o, a, b),
        lambda A, x, c0: c0 + A @ x,
    ),
    "gram": (
        lambda a, b, c: [(a, b)],
        lambda a, b, c: (b, b),
        lambda i, o, a, b, c: gram(*i, o, a, b),
        lambda X: X.T @ X,
    ),
    "gram_rhs": (
        lambda a, b, c: [(a, b), (a,)],
        lambda a, b, c: (b,),
        lambda i, o, a, b, c: gram_rhs(*i, o, a, b),
        lambda X, y: X.T @ y,
    ),
}


def run(form, rng, a, b, c, scale=None):
    """Calls one product form on random inputs; checks the guard after the
    output and agreement to rounding with NumPy. Returns the output."""
    shapes, oshape, call, ref = FORMS[form]
    ins = [rng.standard_normal([max(d, 0) for d in s]) for s in shapes(a, b, c)]
    if scale is not None:
        ins = [x * scale(x.shape) for x in ins]
    osh = oshape(a, b, c)
    out = Guarded(np.prod(osh) if min(osh) > 0 else 0)
    call([ptr(x) for x in ins], out.p, a, b, c)
    out.check()
    if min(osh) <= 0:
        return out.a
    got = out.a.reshape(osh)
    # Both sides are sums of at most k products: they may differ by a few
    # k*eps times the sum of the absolute products.
    k = max(a, b, c, 1) + 2
    tol = 4 * k * EPS * ref(*map(np.abs, ins)) + 1e-300
    assert np.all(np.abs(got - ref(*ins)) <= tol)
    return got


size = st.integers(-3, 40)


@pytest.mark.parametrize("form", FORMS)
@settings(max_examples=60, deadline=None)
@given(a=size, b=size, c=size, seed=st.integers(0, 2**32 - 1))
def test_product_forms_random_shapes(form, a, b, c, seed):
    run(form, np.random.default_rng(seed), a, b, c)


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("abc", [(3, 0, 4), (3, -2, 4), (0, 3, 4), (-2, -3, -4), (1, 1, 1)])
def test_product_forms_degenerate_sizes(rng, form, abc):
    run(form, rng, *abc)


# Shapes that cross every register-tile edge (16/8/4/2/1 columns, 8/6/4/2/1
# rows), several blocks of observations and panels of C, and the packed path.
@pytest.mark.parametrize(
    "p", [1, 2, 3, 5, 7, 8, 9, 12, 15, 16, 17, 23, 31, 33, 48, 63, 64, 65, 129, 131]
)
def test_gram_edges(rng, p):
    G = run("gram", rng, 600 if p < 100 else 300, p, 0)
    assert np.array_equal(G, G.T)


@pytest.mark.parametrize(
    "p,q",
    [(1, 1), (1, 37), (37, 1), (9, 17), (17, 9), (6, 24), (13, 130), (130, 13), (64, 64), (140, 3)],
)
def test_atb_and_matmul_edges(rng, p, q):
    run("atb", rng, 530, p, q)
    run("matmul", rng, p, 300, q)


@pytest.mark.parametrize("p", [1, 4, 9, 16, 17, 130, 1100])
def test_gram_rhs_edges(rng, p):
    run("gram_rhs", rng, 1000, p, 0)


def test_gram_exactly_symmetric_over_wide_range(rng):
    G = run("gram", rng, 777, 45, 0, scale=lambda s: 10.0 ** rng.integers(-8, 8, s))
    assert np.array_equal(G, G.T)


@pytest.mark.parametrize("n", [1, 2, 5, 16, 17])
def test_single_row_gives_exact_products(rng, n):
    x = rng.standard_normal(n) * 10.0 ** rng.integers(-5, 5, n)
    G, g = Guarded(n * n), Guarded(n)
    gram(ptr(x), G.p, 1, n)
    gram_rhs(ptr(x), ptr(np.array([3.0])), g.p, 1, n)
    G.check(), g.check()
    assert np.array_equal(G.a.reshape(n, n), np.outer(x, x))
    assert np.array_equal(g.a, x * 3.0)


def test_gram_nan_stays_in_its_row_and_column(rng):
    X = rng.standard_normal((50, 6))
    X[17, 2] = np.nan
    G = Guarded(36)
    gram(ptr(X), G.p, 50, 6)
    G = G.a.reshape(6, 6)
    assert np.all(np.isnan(G[2])) and np.all(np.isnan(G[:, 2]))
    assert np.all(np.isfinite(np.delete(np.delete(G, 2, 0), 2, 1)))


@pytest.mark.parametrize("n", [0, -4, 1, 7, 8, 31, 32, 33, 100, 1001])
def test_dot_and_vsub(rng, n):
    a, b = rng.standard_normal(max(n, 0)), rng.standard_normal(max(n, 0))
    d = dot(ptr(a), ptr(b), n)
    assert abs(d - a @ b) <= 4 * (max(n, 0) + 2) * EPS * (np.abs(a) @ np.abs(b))
    out = Guarded(n)
    vsub(ptr(a), ptr(b), out.p, n)
    out.check()
    assert np.array_equal(out.a, a - b)


# Calls whose output is empty. Inputs are null pointers, so nothing may be
# read either. Several pairs of negative sizes have a positive product.
EMPTY_CALLS = {
    "zero_mat": lambda o: zero_mat(o, -2, -3),
    "zero_mat_no_cols": lambda o: zero_mat(o, 3, 0),
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


def test_gram_without_observations_is_zero():
    G, g = Guarded(9), Guarded(3)
    gram(None, G.p, -3, 3)
    gram_rhs(None, None, g.p, 0, 3)
    G.check(), g.check()
    assert np.all(G.a == 0.0) and np.all(g.a == 0.0)


def test_zero_mat():
    A = Guarded(12)
    zero_mat(A.p, 3, 4)
    A.check()
    assert np.all(A.a == 0.0)


def test_sym_inplace():
    A = Guarded(1, init=[5.0])
    sym_inplace(A.p, 1)
    assert A.a[0] == 5.0
    A = Guarded(4, init=[1.0, 2.0, 6.0, 4.0])
    sym_inplace(A.p, 2)
    assert A.a.tolist() == [1.0, 4.0, 4.0, 4.0]
    # the diagonal is not touched: (d + d)/2 would overflow here
    rng = np.random.default_rng(3)
    M = rng.standard_normal((19, 19))
    M[np.diag_indices(19)] = 1e308
    A = Guarded(361, init=M)
    sym_inplace(A.p, 19)
    A.check()
    with np.errstate(over="ignore"):
        ref = (M + M.T) * 0.5
    ref[np.diag_indices(19)] = 1e308
    assert np.array_equal(A.a.reshape(19, 19), ref)
