"""Real and complex LU families through their C interface: pivoting rules,
singularity, record ownership, bad and empty sizes, and agreement with
NumPy/SciPy on random well-conditioned systems."""

import ctypes
from types import SimpleNamespace

import numpy as np
import pytest
import scipy.linalg
from native import GUARD, I32, I64, PD, PI64, SENTINEL, Guarded, fn, iptr

OK, BAD_ARG, SINGULAR = 0, -102, -103
HUGE_N = 2**31  # n*n*sizeof overflows int64


class C128(ctypes.Structure):
    _fields_ = [("re", ctypes.c_double), ("im", ctypes.c_double)]


PC = ctypes.POINTER(C128)


class LuRecord(ctypes.Structure):
    _fields_ = [("lu", PD), ("piv", PI64), ("n", I64), ("status", I64)]


class CLuRecord(ctypes.Structure):
    _fields_ = [("lu", PC), ("piv", PI64), ("n", I64), ("status", I64)]


def _family(prefix, dtype, P, Rec):
    return SimpleNamespace(
        dtype=dtype,
        P=P,
        Rec=Rec,
        width=1 if dtype == np.float64 else 2,
        factor_inplace=fn(f"{prefix}_lu_factor_inplace", I32, P, PI64, I64),
        factor=fn(f"{prefix}_lu_factor", Rec, P, I64),
        free=fn(f"{prefix}_lu_free", None, ctypes.POINTER(Rec)),
        lu_solve=fn(f"{prefix}_lu_solve", None, P, PI64, P, P, I64, I64),
        solve=fn(f"{prefix}_solve", I32, P, P, I64, I64, P),
        inv=fn(f"{prefix}_inv", I32, P, I64, P),
    )


REAL = _family("kvr", np.float64, PD, LuRecord)
CPLX = _family("c128", np.complex128, PC, CLuRecord)


class Buf:
    """A guarded matrix of the family's element type, viewed as float64
    underneath so the sentinel guard works for both families."""

    def __init__(self, fam, shape, init=None):
        self.fam, self.shape = fam, shape
        n = int(np.prod(shape)) if shape else 0
        flat = None
        if init is not None:
            flat = np.ascontiguousarray(init, dtype=fam.dtype).ravel().view(np.float64)
        self.g = Guarded(n * fam.width, init=flat)

    @property
    def p(self):
        return ctypes.cast(self.g.p, self.fam.P)

    @property
    def a(self):
        self.g.check()
        return self.g.a.view(self.fam.dtype).reshape(self.shape)

    def untouched(self):
        return bool(np.all(self.g.full == SENTINEL))


def pivots(n):
    full = np.full(n + GUARD, -999, dtype=np.int64)
    return full, iptr(full)


def apply_pivots(A, piv):
    A = A.copy()
    for i, h in enumerate(piv):
        A[[i, h]] = A[[h, i]]
    return A


def split_lu(F):
    n = F.shape[0]
    return np.tril(F, -1) + np.eye(n), np.triu(F)


def random_system(rng, fam, n, m):
    def draw(*s):
        x = rng.standard_normal(s)
        return x + 1j * rng.standard_normal(s) if fam is CPLX else x

    A = draw(n, n) + n * np.eye(n)  # comfortably non-singular
    return A, draw(n, m)


FAMS = pytest.mark.parametrize("fam", [REAL, CPLX], ids=["real", "complex"])


# ---- worked examples -------------------------------------------------------


@FAMS
def test_permutation_matrix(fam):
    A = np.array([[0, 1], [1, 0]], dtype=fam.dtype)
    b = np.array([2 + 1j, 3] if fam is CPLX else [2, 3], dtype=fam.dtype)
    F = Buf(fam, (2, 2), A)
    piv, pp = pivots(2)
    assert fam.factor_inplace(F.p, pp, 2) == OK
    assert list(piv[:2]) == [1, 1] and np.all(piv[2:] == -999)
    X = Buf(fam, (2, 1))
    assert fam.solve(Buf(fam, (2, 2), A).p, Buf(fam, (2, 1), b).p, 2, 1, X.p) == OK
    np.testing.assert_array_equal(X.a.ravel(), b[::-1])


@FAMS
def test_exactly_singular(fam):
    A = np.array([[1, 2], [2, 4]], dtype=fam.dtype)
    F = Buf(fam, (2, 2), A)
    piv, pp = pivots(2)
    assert fam.factor_inplace(F.p, pp, 2) == SINGULAR
    assert list(piv[:2]) == [1, 1]
    np.testing.assert_array_equal(F.a, [[2, 4], [0.5, 0]])  # partial elimination
    X = Buf(fam, (2, 2))
    assert fam.solve(Buf(fam, (2, 2), A).p, Buf(fam, (2, 2), np.eye(2)).p, 2, 2, X.p) == SINGULAR
    assert fam.inv(Buf(fam, (2, 2), A).p, 2, X.p) == SINGULAR
    assert X.untouched()
    rec = fam.factor(Buf(fam, (2, 2), A).p, 2)
    assert rec.status == SINGULAR and rec.n == 2 and rec.lu and rec.piv
    fam.free(ctypes.byref(rec))
    assert not rec.lu and not rec.piv and rec.n == 0 and rec.status == 0


@pytest.mark.parametrize(
    "fam, A, piv0",
    [
        (REAL, [[-2, 1], [2, 1]], 0),  # equal magnitudes keep the earlier row
        (REAL, [[1, 0, 0], [np.nan, 1, 0], [2, 0, 1]], 2),  # NaN never wins
        (REAL, [[np.nan, 0], [5, 1]], 0),  # ... not even against a NaN diagonal
        (CPLX, [[1, 1j], [2j, 1]], 1),  # squared moduli 1 < 4
        (CPLX, [[3, 0], [3j, 1]], 0),  # |3|^2 == |3i|^2
        (CPLX, [[1 + 1j, 0], [1.5, 1]], 1),  # 2 < 2.25
    ],
)
def test_pivot_choice(fam, A, piv0):
    A = np.array(A, dtype=fam.dtype)
    piv, pp = pivots(len(A))
    assert fam.factor_inplace(Buf(fam, A.shape, A).p, pp, len(A)) == OK
    assert piv[0] == piv0


@pytest.mark.parametrize("col", [[0, 0], [1e-200j, 0], [1e-200j, 1e-170]])
def test_complex_squared_modulus_underflow_is_singular(col):
    A = np.array([[col[0], 1], [col[1], 1]], dtype=complex)
    piv, pp = pivots(2)
    assert CPLX.factor_inplace(Buf(CPLX, (2, 2), A).p, pp, 2) == SINGULAR
    assert piv[0] == 0


@FAMS
def test_inverse_of_diagonal(fam):
    X = Buf(fam, (2, 2))
    assert fam.inv(Buf(fam, (2, 2), np.diag([2.0, 4.0])).p, 2, X.p) == OK
    np.testing.assert_array_equal(X.a, np.diag([0.5, 0.25]))


def test_smith_division_avoids_overflow():
    # |d|^2 overflows; the scaled division does not.
    A = np.array([[1e300 + 1e300j]], dtype=complex)
    X = Buf(CPLX, (1, 1))
    assert CPLX.solve(Buf(CPLX, (1, 1), A).p, Buf(CPLX, (1, 1), [2e300]).p, 1, 1, X.p) == OK
    np.testing.assert_allclose(X.a[0, 0], 1 - 1j, rtol=1e-15)


# ---- random systems against NumPy/SciPy ----------------------------------


@FAMS
@pytest.mark.parametrize("n", [1, 2, 5, 17, 40])
def test_factor_reconstructs(fam, n, rng):
    A, _ = random_system(rng, fam, n, 1)
    A = A - n * np.eye(n)  # generic pivoting
    F = Buf(fam, (n, n), A)
    piv, pp = pivots(n)
    assert fam.factor_inplace(F.p, pp, n) == OK
    assert np.all(piv[:n] >= np.arange(n)) and np.all(piv[n:] == -999)
    L, U = split_lu(F.a)
    np.testing.assert_allclose(L @ U, apply_pivots(A, piv[:n]), atol=1e-12 * n)
    if fam is REAL:  # LAPACK picks the same (first largest) pivots
        np.testing.assert_array_equal(piv[:n], scipy.linalg.lu_factor(A)[1])
    rec = fam.factor(Buf(fam, (n, n), A).p, n)
    assert rec.status == OK and rec.n == n
    np.testing.assert_array_equal(np.ctypeslib.as_array(rec.piv, (n,)), piv[:n])
    lu = np.ctypeslib.as_array(ctypes.cast(rec.lu, PD), (n * n * fam.width,))
    np.testing.assert_array_equal(lu.view(fam.dtype).reshape(n, n), F.a)
    fam.free(ctypes.byref(rec))


@FAMS
@pytest.mark.parametrize("n, m", [(1, 1), (3, 1), (8, 3), (33, 5)])
def test_solve_and_inverse_match_numpy(fam, n, m, rng):
    A, B = random_system(rng, fam, n, m)
    X = Buf(fam, (n, m))
    assert fam.solve(Buf(fam, (n, n), A).p, Buf(fam, (n, m), B).p, n, m, X.p) == OK
    np.testing.assert_allclose(X.a, np.linalg.solve(A, B), rtol=1e-12, atol=1e-14)
    Ai = Buf(fam, (n, n))
    assert fam.inv(Buf(fam, (n, n), A).p, n, Ai.p) == OK
    np.testing.assert_allclose(Ai.a, np.linalg.inv(A), rtol=1e-12, atol=1e-14)
    # lu_solve from the in-place factors, also with X aliasing B
    F = Buf(fam, (n, n), A)
    piv, pp = pivots(n)
    assert fam.factor_inplace(F.p, pp, n) == OK
    Y = Buf(fam, (n, m), B)
    fam.lu_solve(F.p, pp, Y.p, Y.p, n, m)
    np.testing.assert_array_equal(Y.a, X.a)


# ---- bad arguments, empty sizes, records ----------------------------------


@FAMS
@pytest.mark.parametrize("n", [0, -1, -5, HUGE_N])
def test_bad_sizes_rejected_without_writes(fam, n):
    A, X = Buf(fam, (2, 2), np.eye(2)), Buf(fam, (2, 2))
    piv, pp = pivots(2)
    assert fam.factor_inplace(A.p, pp, n) == BAD_ARG
    assert fam.solve(A.p, A.p, n, 2, X.p) == BAD_ARG
    assert fam.inv(A.p, n, X.p) == BAD_ARG
    assert X.untouched() and np.all(piv == -999)
    np.testing.assert_array_equal(A.a, np.eye(2))
    rec = fam.factor(A.p, n)
    assert (rec.status, rec.n, bool(rec.lu), bool(rec.piv)) == (BAD_ARG, n, False, False)
    fam.free(ctypes.byref(rec))
    fam.free(ctypes.byref(rec))  # a second release is harmless
    fam.free(None)


@FAMS
def test_allocation_failure_is_bad_arg(fam):
    # n*n fits in int64 but no address space holds it: malloc fails
    n = 2**28
    A, X = Buf(fam, (1,), [1.0]), Buf(fam, (0,))
    rec = fam.factor(A.p, n)
    assert (rec.status, rec.n, bool(rec.lu), bool(rec.piv)) == (BAD_ARG, n, False, False)
    fam.free(ctypes.byref(rec))
    assert fam.solve(A.p, A.p, n, 1, X.p) == BAD_ARG
    assert fam.inv(A.p, n, X.p) == BAD_ARG
    assert X.untouched()


@FAMS
def test_null_pointers_rejected(fam):
    A, X = Buf(fam, (2, 2), np.eye(2)), Buf(fam, (2, 2))
    _, pp = pivots(2)
    assert fam.factor_inplace(None, pp, 2) == BAD_ARG
    assert fam.factor_inplace(A.p, None, 2) == BAD_ARG
    assert fam.factor(None, 2).status == BAD_ARG
    assert fam.solve(None, A.p, 2, 2, X.p) == BAD_ARG
    assert fam.solve(A.p, None, 2, 2, X.p) == BAD_ARG
    assert fam.solve(A.p, A.p, 2, 2, None) == BAD_ARG
    assert fam.solve(A.p, A.p, 2, 2**62, X.p) == BAD_ARG  # n*m overflows
    assert fam.inv(A.p, 2, None) == BAD_ARG
    assert fam.inv(None, 2, X.p) == BAD_ARG
    assert X.untouched()


@FAMS
@pytest.mark.parametrize("n, m", [(0, 3), (3, 0), (-2, -3), (-3, 2), (2, -2), (HUGE_N, 1)])
def test_lu_solve_unusable_sizes_write_nothing(fam, n, m):
    F = Buf(fam, (3, 3), np.eye(3))
    piv = np.arange(3, dtype=np.int64)
    X = Buf(fam, (0,))
    fam.lu_solve(F.p, iptr(piv), F.p, X.p, n, m)
    assert X.untouched()
    if n == 3:  # no right-hand side: still a successful solve
        assert fam.solve(F.p, F.p, n, m, X.p) == OK
        assert X.untouched()


@FAMS
def test_lu_solve_rejects_foreign_pivots(fam):
    F = Buf(fam, (2, 2), np.eye(2))
    X = Buf(fam, (2, 1))
    for bad in ([5, 1], [0, -1]):
        fam.lu_solve(F.p, iptr(np.array(bad, dtype=np.int64)), F.p, X.p, 2, 1)
        assert np.all(np.isnan(X.a.view(np.float64)))


# ---- complex product -------------------------------------------------------

c128_matmul = fn("c128_matmul", None, PC, PC, PC, I64, I64, I64)


@pytest.mark.parametrize("m, k, n", [(1, 1, 1), (3, 4, 5), (7, 1, 9), (16, 13, 8)])
def test_c128_matmul(m, k, n, rng):
    A = rng.standard_normal((m, k)) + 1j * rng.standard_normal((m, k))
    B = rng.standard_normal((k, n)) + 1j * rng.standard_normal((k, n))
    C = Buf(CPLX, (m, n))
    c128_matmul(Buf(CPLX, (m, k), A).p, Buf(CPLX, (k, n), B).p, C.p, m, k, n)
    np.testing.assert_allclose(C.a, A @ B, rtol=1e-13, atol=1e-13)


def test_c128_matmul_empty_sizes():
    A = Buf(CPLX, (2, 2), np.ones((2, 2)))
    C = Buf(CPLX, (2, 3))
    c128_matmul(A.p, A.p, C.p, 2, 0, 3)
    np.testing.assert_array_equal(C.a, 0)
    for m, k, n in [(0, 2, 2), (2, 2, 0), (-2, 2, -2), (-1, -1, -1), (HUGE_N, 1, HUGE_N)]:
        E = Buf(CPLX, (0,))
        c128_matmul(A.p, A.p, E.p, m, k, n)
        assert E.untouched()
