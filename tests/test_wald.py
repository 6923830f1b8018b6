"""The Wald statistic (Cholesky path, LU fallback, round-off guard) and the
three HAC Wald tests on moments, checked against NumPy re-computations."""

import hac_ref
import numpy as np
import pytest
from native import GUARD, I32, I64, PD, PI64, ArenaSize, Guarded, fn, ptr

from Kalvoren._ckernels.diag import _diag

OK, BAD_SHAPE, SINGULAR, UDEF, TOO_SHORT, BAD_ARG = 0, -1001, -1002, -1003, -1005, -1007
UNTOUCHED = -999.0

wald_kernel = fn("kvr_wald_stat_from_mean_and_cov", I32, PD, PD, PD, I64, I64, PD, PD, PI64, PD, PD)
TESTS = {
    name: (
        fn(f"kvr_wald_{name}_hac", I32, PD, PD, I64, I64, I32, I32, I64, PD, PI64, PD),
        fn(f"kvr_wald_{name}_hac_arena_size", ArenaSize, I64, I64),
    )
    for name in ("mean", "covariance", "second_moment")
}


class GuardedI64:
    """An int64 buffer of n entries followed by GUARD sentinel entries."""

    SENTINEL = -0x5A5A5A5A5A5A5A5A

    def __init__(self, n):
        self.n = max(int(n), 0)
        self.full = np.full(self.n + GUARD, self.SENTINEL, dtype=np.int64)
        self.a = self.full[: self.n]
        self.p = self.full.ctypes.data_as(PI64)

    def check(self):
        assert (self.full[self.n :] == self.SENTINEL).all(), "write past the end of a buffer"


def wald_ref(mean, target, omega, n):
    dev = np.asarray(mean, float) - target
    return n * dev @ np.linalg.solve(omega, dev)


# ------------------------------------------------------- Wald statistic


def native_wald(mean, target, omega, n):
    p = len(mean)
    dev, factor, solved, stat = Guarded(p), Guarded(p * p), Guarded(p), Guarded(1)
    pivot = GuardedI64(p)
    status = wald_kernel(
        ptr(np.asarray(mean, float)),
        ptr(np.asarray(target, float)),
        ptr(np.asarray(omega, float)),
        n,
        p,
        dev.p,
        factor.p,
        pivot.p,
        solved.p,
        stat.p,
    )
    for b in (dev, factor, solved, stat, pivot):
        b.check()
    return status, stat.a[0], solved.a


@pytest.mark.parametrize(
    "mean, target, omega, n, expect",
    [
        ([2.0], [1.0], [[4.0]], 10, 2.5),
        ([1.0, 0.0], [0.0, 0.0], [[1.0, 2.0], [2.0, 1.0]], 3, -1.0),  # indefinite: LU path
        ([1.0], [0.0], [[-2e12]], 1, 0.0),  # -5e-13 is round-off
        ([1.0], [0.0], [[-5e11]], 1, -2e-12),  # beyond the guard
        ([3.0, -1.0], [3.0, -1.0], [[2.0, 0.5], [0.5, 1.0]], 50, 0.0),
        ([1.0, 2.0], [0.0, 0.0], [[2.0, 0.5], [0.5, 1.0]], 0, 0.0),
        ([], [], np.empty((0, 0)), 7, 0.0),
    ],
)
def test_wald_examples(mean, target, omega, n, expect):
    status, stat = _diag.wald_stat_from_mean_and_cov(np.array(mean), target, omega, n)
    assert status == OK and type(stat) is float
    assert stat == pytest.approx(expect, rel=1e-14, abs=0)


def test_lu_path_solution():
    status, stat, solved = native_wald([1.0, 0.0], [0.0, 0.0], [[1.0, 2.0], [2.0, 1.0]], 3)
    assert status == OK and stat == pytest.approx(-1.0)
    np.testing.assert_allclose(solved, [-1 / 3, 2 / 3], rtol=1e-15)


def test_singular_covariance():
    status, stat, _ = native_wald([1.0, 2.0], [0.0, 0.0], np.zeros((2, 2)), 5)
    assert status == SINGULAR and np.isnan(stat)
    assert (
        _diag.wald_stat_from_mean_and_cov(np.ones(2), np.zeros(2), np.zeros((2, 2)), 5)[0]
        == SINGULAR
    )


@pytest.mark.parametrize("p", [1, 2, 5, 12])
def test_wald_against_numpy_solve(rng, p):
    a = rng.normal(size=(p, p))
    spd = a @ a.T + p * np.eye(p)
    w, v = np.linalg.eigh(spd)
    w[0] = -w[0]  # one negative eigenvalue: Cholesky fails, LU solves
    indefinite = (v * w) @ v.T
    mean, target = rng.normal(size=p), rng.normal(size=p)
    for omega in (spd, indefinite):
        status, stat = _diag.wald_stat_from_mean_and_cov(mean, target, omega, 40)
        assert status == OK
        assert stat == pytest.approx(wald_ref(mean, target, omega, 40), rel=1e-9)


def test_cholesky_reads_the_lower_triangle_only(rng):
    a = rng.normal(size=(4, 4))
    spd = a @ a.T + 4 * np.eye(4)
    messy = np.tril(spd) + np.triu(rng.normal(size=(4, 4)), 1)
    mean = rng.normal(size=4)
    assert _diag.wald_stat_from_mean_and_cov(mean, np.zeros(4), messy, 9)[1] == pytest.approx(
        wald_ref(mean, np.zeros(4), spd, 9), rel=1e-12
    )


def test_wald_negative_n_is_an_empty_sample():
    assert _diag.wald_stat_from_mean_and_cov(np.ones(2), np.zeros(2), np.eye(2), -5) == (OK, 0.0)


@pytest.mark.parametrize(
    "mean, omega, finite",
    [
        ([np.nan, 1.0], np.eye(2), False),
        ([1.0, 1.0], [[1.0, 0.0], [np.nan, 1.0]], False),  # NaN passes the Cholesky pivot test
        ([1.0, 1.0], [[1.0, np.nan], [0.0, -1.0]], False),  # NaN on the LU path
        ([np.inf], [[1.0]], True),
    ],
)
def test_non_finite_values_propagate(mean, omega, finite):
    p = len(mean)
    status, stat = _diag.wald_stat_from_mean_and_cov(np.array(mean), np.zeros(p), omega, 3)
    assert status == OK and (stat == np.inf if finite else np.isnan(stat))


SPD3 = np.array([[2.0, 0.3, -0.1], [0.3, 1.0, 0.2], [-0.1, 0.2, 0.5]])


@pytest.mark.parametrize(
    "mean, omega, status",
    [
        # finite input whose statistic is beyond double's range
        ([1e200, 1e200], np.eye(2) * 1e-200, UDEF),  # the solve overflows: 0 * inf
        ([1e200], [[1e-200]], UDEF),
        ([1e308, -1e308], np.eye(2), UDEF),  # mean - target itself overflows
        # an omega of subnormal or huge entries: the same statistic as at scale 1
        ([0.3, -1.2, 0.5], SPD3 * 2.0**-1070, OK),
        ([0.3, -1.2, 0.5], SPD3 * 2.0**-1050, OK),
        ([0.3, -1.2, 0.5], SPD3 * 2.0**1000, OK),
    ],
)
def test_finite_values_give_a_finite_statistic_or_a_status(mean, omega, status):
    omega = np.asarray(omega, float)
    scale = np.sqrt(omega.flat[0] / SPD3[0, 0]) if status == OK else 1.0
    mean = np.asarray(mean) * scale  # the deviation in step with omega's scale
    got, stat = _diag.wald_stat_from_mean_and_cov(mean, np.zeros(len(mean)), omega, 3)
    assert got == status
    if status == OK:
        want = wald_ref(np.array(mean) / scale, np.zeros(len(mean)), omega / scale**2, 3)
        assert stat == pytest.approx(want, rel=1e-9)
    else:
        assert np.isnan(stat)


def test_wald_argument_checks():
    with pytest.raises(AttributeError, match="shape"):
        _diag.wald_stat_from_mean_and_cov([1.0, 2.0], [0.0, 0.0], np.eye(2), 3)
    with pytest.raises(ValueError, match=r"target has length 1 but 2"):
        _diag.wald_stat_from_mean_and_cov(np.ones(2), [0.0], np.eye(2), 3)
    for omega in (np.eye(3), np.ones((2, 3)), np.ones((3, 2))):
        with pytest.raises(ValueError, match=r"omega has shape \(\d, \d\) but \(2, 2\)"):
            _diag.wald_stat_from_mean_and_cov(np.ones(2), np.zeros(2), omega, 3)
    with pytest.raises(TypeError, match="an integer is required"):
        _diag.wald_stat_from_mean_and_cov([1.0], [0.0], [[1.0]], None)  # n before mean.shape
    # a longer target is fine; only its first p values are read
    assert _diag.wald_stat_from_mean_and_cov(np.array([2.0]), [1.0, 99.0], [[4.0]], 10) == (OK, 2.5)

    assert _diag.wald_stat_from_mean_and_cov.__doc__ == (
        "Wald statistic n * dev^T omega^-1 dev with dev = mean - target.\n\n"
        "    Returns (status, stat). The kernel uses Cholesky for positive-definite\n"
        "    covariance matrices and partial-pivot LU otherwise.\n    "
    )

    class Lying:
        shape = (3,)

        def __array__(self, dtype=None, copy=None):
            return np.ones(2)

    with pytest.raises(ValueError, match="mean has length 2 but 3"):
        _diag.wald_stat_from_mean_and_cov(Lying(), np.zeros(3), np.eye(3), 3)


# --------------------------------------------------------- HAC Wald tests


def run(name, X, target, kid, rule, bw=0, n=None, k=None):
    kernel, size_of = TESTS[name]
    X = np.ascontiguousarray(X, dtype=np.float64)
    n = X.shape[0] if n is None else n
    k = X.shape[1] if k is None else k
    size = size_of(n, k)
    arena, pivot, stat = (
        Guarded(size.arena_len),
        GuardedI64(size.piv_len),
        Guarded(1, fill=UNTOUCHED),
    )
    status = kernel(
        ptr(X),
        ptr(np.ascontiguousarray(target, dtype=np.float64)),
        n,
        k,
        kid,
        rule,
        bw,
        arena.p if size.arena_len > 0 else None,
        pivot.p,
        stat.p,
    )
    for b in (arena, pivot, stat):
        b.check()
    return status, stat.a[0], arena.a


def moments(name, X, target):
    if name == "mean":
        return X, np.asarray(target)
    if name == "covariance":
        return hac_ref.vech_rows(X - X.mean(axis=0)), hac_ref.vech(target)
    return hac_ref.vech_rows(X), hac_ref.vech(target)


def hac_wald_ref(U, theta, kid, rule, bw):
    n = len(U)
    mbar = U.mean(axis=0)
    C = U - mbar
    if rule == 0:
        h = bw
    elif rule == 1 or (rule == 3 and kid == 0):
        h = hac_ref.wooldridge(n)
    else:
        h = hac_ref.andrews_matrix(C, kid)
    omega = hac_ref.hac(C, kid, min(h, n - 1))
    return wald_ref(mbar, theta, omega, n), np.linalg.cond(omega)


def sample(rng, n=160, k=3):
    e = (
        rng.normal(size=(n, k))
        @ np.array([[1.0, 0.3, 0.0], [0.0, 1.0, 0.4], [0.2, 0.0, 1.0]])[:k, :k]
    )
    x = np.empty_like(e)
    x[0] = e[0]
    for t in range(1, n):
        x[t] = 0.5 * x[t - 1] + e[t]
    return x + np.arange(1, k + 1)


def targets(name, X, rng):
    k = X.shape[1]
    if name == "mean":
        return X.mean(axis=0) + 0.1 * rng.normal(size=k)
    base = np.cov(X.T, bias=True) if name == "covariance" else X.T @ X / len(X)
    s = 0.1 * rng.normal(size=(k, k))
    return base + (s + s.T)


@pytest.mark.parametrize("name", list(TESTS))
@pytest.mark.parametrize("kid", [0, 1, 2])
@pytest.mark.parametrize("rule, bw", [(0, 0), (0, 6), (0, 10**9), (1, 0), (2, 0), (3, 0)])
def test_hac_wald_against_numpy(rng, name, kid, rule, bw):
    X = sample(rng)
    target = targets(name, X, rng)
    status, stat, _ = run(name, X, target, kid, rule, bw)
    assert status == OK
    U, theta = moments(name, X, target)
    expect, cond = hac_wald_ref(U, theta, kid, rule, bw)
    # the quadratic-spectral window cut at n - 1 lags leaves Omega ill-conditioned
    assert stat == pytest.approx(expect, rel=max(1e-9, 1e-14 * cond))


@pytest.mark.parametrize("name", list(TESTS))
def test_too_short_comes_first(name):
    target = np.full(4, np.nan)  # never examined
    for n in (1, 0, -3):
        assert run(name, np.ones((1, 2)), target, 9, 9, -1, n=n)[:2] == (TOO_SHORT, UNTOUCHED)


@pytest.mark.parametrize("name", list(TESTS))
@pytest.mark.parametrize(
    "kid, rule, bw", [(3, 0, 1), (-1, 0, 1), (0, 0, -1), (1, 4, 0), (2, -1, 0)]
)
def test_bad_arguments(rng, name, kid, rule, bw):
    X = sample(rng, 20, 2)
    status, stat, arena = run(name, X, targets(name, X, rng), kid, rule, bw)
    assert (status, stat) == (BAD_ARG, UNTOUCHED)
    if name == "mean":  # the moments were centered before the checks
        U, mbar = arena[:40].reshape(20, 2), arena[40:42]
        np.testing.assert_allclose(mbar, X.mean(axis=0), rtol=1e-14)
        np.testing.assert_allclose(U, X - X.mean(axis=0), atol=1e-14)


def test_auto_rule(rng):
    X = sample(rng, 100, 2)
    target = X.mean(axis=0) + 0.05
    assert run("mean", X, target, 0, 3)[1] == run("mean", X, target, 0, 0, 4)[1]
    assert run("mean", X, target, 1, 3)[1] == run("mean", X, target, 1, 2)[1]


@pytest.mark.parametrize("name", ["covariance", "second_moment"])
def test_symmetry_tolerance(rng, name):
    X = sample(rng, 30, 2)
    T = np.array([[2.0, 1.0], [1.0 + 1e-9, 3.0]])
    assert run(name, X, T, 0, 1)[0] == OK
    T[1, 0] = 1.001
    status, stat, arena = run(name, X, T, 0, 1)
    assert (status, stat) == (BAD_SHAPE, UNTOUCHED)
    assert arena[0] == 2.0  # the pair that passed before the failing one
    T = np.array([[2.0, 1.0], [1.0, np.nan]])
    assert run(name, X, T, 0, 1)[0] == BAD_SHAPE


def test_moment_rows(rng):
    # stopped by a bad kernel id after centering: moments = U + mbar
    X = rng.normal(size=(6, 2))
    _, _, arena = run("second_moment", X, np.eye(2), 7, 0)
    U, mbar = arena[3:21].reshape(6, 3), arena[21:24]
    np.testing.assert_allclose(
        U + mbar, np.column_stack([X[:, 0] ** 2, X[:, 0] * X[:, 1], X[:, 1] ** 2]), rtol=1e-14
    )


@pytest.mark.parametrize(
    "name, n, k, expect",
    [
        ("mean", 100, 2, (220, 2)),
        ("covariance", 100, 2, (542, 3)),
        ("second_moment", 100, 2, (342, 3)),
        ("mean", 100, 0, (0, 0)),
        ("covariance", 5, -4, (0, 0)),
        ("second_moment", -7, 3, (138, 6)),
        # a field that does not fit in int64 is INT64_MAX
        ("mean", 2**40, 2**30, (2**63 - 1, 2**30)),
        ("covariance", 2**20, 2**20, (2**63 - 1, 2**20 * (2**20 + 1) // 2)),
        ("second_moment", 3, 2**32, (2**63 - 1, 2**63 - 1)),
    ],
)
def test_arena_sizes(name, n, k, expect):
    size = TESTS[name][1](n, k)
    assert (size.arena_len, size.piv_len) == expect


@pytest.mark.parametrize("name", list(TESTS))
def test_degenerate_moment_sets(rng, name):
    X = sample(rng, 30, 2)
    # no variables: an empty quadratic form, with a null arena
    assert run(name, X, np.zeros(4), 0, 1, k=0)[:2] == (OK, 0.0)
    assert run(name, X, np.zeros(4), 0, 1, k=-3)[:2] == (OK, 0.0)
    # a size whose arena cannot exist is refused before any offset is formed
    assert TESTS[name][0](ptr(X), None, 2**40, 2**32, 0, 1, 0, None, None, None) == BAD_ARG
    # a missing value leaves no statistic
    M = X.copy()
    M[3, 0] = np.nan
    status, stat, _ = run(name, M, targets(name, X, rng), 1, 2)
    assert status == OK and np.isnan(stat)
    # a constant variable makes Omega singular
    C = X.copy()
    C[:, 1] = 2.0
    status, stat, _ = run(name, C, targets(name, C, rng), 0, 1)
    assert status == SINGULAR and np.isnan(stat)


def test_target_equal_to_sample_mean_gives_zero(rng):
    X = sample(rng, 50, 3)
    # the kernel's own row-order mean, so that mean - target is exactly 0
    assert run("mean", X, _diag.fill_mean_ax0(X), 2, 2)[:2] == (OK, 0.0)
