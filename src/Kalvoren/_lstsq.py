"""The least-squares route: the battery by orthogonal factorisations in NumPy.

Used for a design the kernels refuse (status FALLBACK: rank-deficient, or too
ill-conditioned for the normal equations) and for a single test whose
auxiliary regression the kernel refused. Slower than the kernels, never less
accurate: every fit is a QR factorisation of the equilibrated design, the rank
is decided by column-pivoted QR with the tolerance of ``rank_tolerance``, and
the recursive residuals come from plane rotations of a triangular factor.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
from scipy import linalg as sla

from Kalvoren._ckernels.diag import _diag

EPS = float(np.finfo(np.float64).eps)
BARTLETT = 0  # the kernels' HAC_KERNEL_BARTLETT
# An exact fit leaves |e| <= EXACT_FIT_FACTOR sqrt(n) eps size (the kernels'
# rule; see fit_size).
EXACT_FIT_FACTOR = 8.0


def pow2_exponents(a: npt.NDArray[np.float64]) -> npt.NDArray[np.intc]:
    """Per column (or for a vector), the exponent e with max |a| in [2^(e-1), 2^e):
    a * 2^-e has its largest magnitude in [0.5, 1). Read off the exponents,
    never squared, so any finite magnitude works; 0 for a zero column."""
    a2 = a if a.ndim == 2 else a[:, None]
    top = np.max(np.abs(a2), axis=0, initial=0.0)
    _, e = np.frexp(top)
    return e if a.ndim == 2 else e[:1]


def scaled(a: npt.NDArray[np.float64], e: npt.NDArray[np.intc]) -> npt.NDArray[np.float64]:
    """a * 2^-e, exactly (np.ldexp takes any exponent in one step)."""
    return np.ldexp(a, -e if a.ndim == 2 else -int(e[0]))


def fit_size(y: np.ndarray, X: np.ndarray, beta: np.ndarray) -> float:
    """|y| + sum_j |x_j| |beta_j|: the terms that cancel in the residuals. A
    backward-stable fit's residual is exact for data perturbed by a few
    rounding units, so an exact fit leaves |e| of order eps times this."""
    cols = np.sqrt(np.einsum("ij,ij->j", X, X)) if X.shape[1] else np.empty(0)
    return float(np.linalg.norm(y) + cols @ np.abs(beta))


def is_exact_fit(resid: np.ndarray, size: float) -> bool:
    """Residuals that are rounding noise of a fit of the given size."""
    n = max(resid.shape[0], 1)
    return float(np.linalg.norm(resid)) <= EXACT_FIT_FACTOR * EPS * size * math.sqrt(n)


def rank_tolerance(n: int, k: int) -> float:
    return max(n, k, 1) * EPS


def independent_columns(X: np.ndarray, const_col: int) -> list[int]:
    """independent_columns_with_margin without the margin."""
    return independent_columns_with_margin(X, const_col)[0]


# A dropped column whose distance from the others' span is more than this many
# rounding units of its norm was not an exact copy: whether to drop it is the
# data's rounding's call, and the statistics depend on that call.
AMBIGUOUS_UNITS = 16.0


def independent_columns_with_margin(X: np.ndarray, const_col: int) -> tuple[list[int], float]:
    """Columns of a full-rank subset, in their original order: the constant
    (if any) first of all, then each column in turn unless it lies within
    rank_tolerance of the span of those kept before it (so of two copies the
    first stays). Distances are measured on the equilibrated columns before
    centring, so a column that is constant up to rounding is dropped as a copy
    of the constant however the centring leaves its residue. Also returns the
    largest relative distance of a dropped column (0 when none was dropped):
    the design's condition is at least its inverse."""
    n, k = X.shape
    rest = [j for j in range(k) if j != const_col]
    if not rest:
        return ([const_col] if const_col >= 0 else []), 0.0
    A = scaled(X[:, rest], pow2_exponents(X[:, rest]))
    tol = rank_tolerance(n, k) * float(np.max(np.sqrt(np.einsum("ij,ij->j", A, A))))
    basis = np.ones((n, 1)) / math.sqrt(n) if const_col >= 0 else np.empty((n, 0))
    keep, margin = [], 0.0
    for j, col in zip(rest, A.T):
        v = col.copy()
        for _ in range(2):  # twice is enough (Kahan-Parlett)
            v -= basis @ (basis.T @ v)
        norm = float(np.linalg.norm(v))
        if norm > tol:
            keep.append(j)
            basis = np.column_stack([basis, v / norm])
        else:
            margin = max(margin, norm / max(float(np.linalg.norm(col)), EPS))
    return ([const_col] if const_col >= 0 else []) + keep, margin


@dataclass
class Resid:
    """Residuals of a fit with its numerical rank and size (fit_size)."""

    e: np.ndarray
    rank: int
    size: float
    kept: np.ndarray | None = None  # the columns fitted (None: all)

    @property
    def rss(self) -> float:
        return float(self.e @ self.e)

    @property
    def exact(self) -> bool:
        return is_exact_fit(self.e, self.size)


def residuals(Z: np.ndarray, v: np.ndarray) -> Resid:
    """v on Z by column-pivoted QR at Z's numerical rank: the residuals, the
    rank and the fit's size."""
    return _pivoted(Z, v)


def _pivoted(Z: np.ndarray, v: np.ndarray) -> Resid:
    """v on Z by column-pivoted QR at Z's numerical rank."""
    n, k = Z.shape
    if k == 0:
        return Resid(v.copy(), 0, float(np.linalg.norm(v)))
    Q, R, piv = sla.qr(Z, mode="economic", pivoting=True)
    d = np.abs(np.diag(R))
    r = int(np.count_nonzero(d > rank_tolerance(n, k) * d[0])) if d[0] > 0 else 0
    Qr = Q[:, :r]
    qv = Qr.T @ v
    beta = sla.solve_triangular(R[:r, :r], qv) if r else np.empty(0)
    return Resid(v - Qr @ qv, r, fit_size(v, Z[:, piv[:r]], beta), np.sort(piv[:r]))


@dataclass
class Fit:
    """OLS on a full-rank (equilibrated) design by QR, the constant column
    (if any) first in the factorisation so that the slopes' block of R^-1 is
    the inverse of the slopes' block of R."""

    beta: npt.NDArray[np.float64]
    resid: npt.NDArray[np.float64]
    Rinv: npt.NDArray[np.float64]
    Q: npt.NDArray[np.float64]  # orthonormal basis of the columns, in factorisation order
    qy: npt.NDArray[np.float64]  # Q'y
    order: list[int]  # column j of the factorisation is column order[j] of X
    size: float

    @classmethod
    def of(cls, X: np.ndarray, y: np.ndarray, const_col: int = -1) -> "Fit":
        k = X.shape[1]
        order = ([const_col] if const_col >= 0 else []) + [j for j in range(k) if j != const_col]
        Q, R = np.linalg.qr(X[:, order])
        qy = Q.T @ y
        beta = np.empty(k)
        beta[order] = sla.solve_triangular(R, qy) if k else np.empty(0)
        # y - Q Q'y keeps the residual accurate to eps * |y| whatever X's condition.
        resid = y - Q @ qy
        Rinv = np.zeros((k, k))
        if k:
            Rinv[np.ix_(order, order)] = sla.solve_triangular(R, np.eye(k))
        return cls(beta, resid, Rinv, Q, qy, order, fit_size(y, X, beta))

    @property
    def exact(self) -> bool:
        return is_exact_fit(self.resid, self.size)


def condition(X: np.ndarray) -> float:
    """1-norm condition number of the R factor of the equilibrated design (the
    kernels report the same measure); inf when it is singular."""
    if X.shape[1] == 0:
        return 1.0
    return _cond_r(np.linalg.qr(scaled(X, pow2_exponents(X)), mode="r"))


def _cond_r(R: np.ndarray) -> float:
    try:
        Rinv = sla.solve_triangular(R, np.eye(R.shape[0]))
    except (np.linalg.LinAlgError, ValueError):
        return math.inf
    with np.errstate(over="ignore", invalid="ignore"):
        c = float(np.abs(R).sum(axis=0).max() * np.abs(Rinv).sum(axis=0).max())
    return c if math.isfinite(c) else math.inf


def digits(cond: float, size: float, rss: float) -> float:
    """About how many digits the data determine a statistic of the residuals
    to (the kernels' measure): to first order a relative change eps of each
    datum moves the residuals by eps (size + cond |e|), through the fitted
    values and through the fitted space turning; statistics of up to fourth
    powers of them move up to ten times as much."""
    amp = size / math.sqrt(rss) if rss > 0 else math.inf
    return -math.log10(10.0 * EPS * (cond + amp))


def bg(e: np.ndarray, Xrest: np.ndarray, lags: int, ones: bool = True) -> float:
    """Breusch-Godfrey LM: n times the uncentred R^2 of e on [1, X, lags of e]
    (ones False: on [X, lags of e], for a model without a constant)."""
    n: int = e.shape[0]
    lagged = np.zeros((n, lags))
    for j in range(1, lags + 1):
        lagged[j:, j - 1] = e[:-j]
    Z = np.column_stack([np.ones(n), Xrest, lagged] if ones else [Xrest, lagged])
    S = float(e @ e)
    if not S > 0:
        return 0.0
    return n * (1.0 - _pivoted(Z, e).rss / S)


def bp(e: np.ndarray, Xa: np.ndarray) -> tuple[float, float, int]:
    """Breusch-Pagan (0.5 ESS) and Koenker (n R^2) from the auxiliary regression
    of e^2 / mean(e^2) on Xa (which holds a constant), and Xa's rank."""
    n = e.shape[0]
    g = e * e / np.mean(e * e)
    aux = _pivoted(Xa, g)
    tss = float(((g - g.mean()) ** 2).sum())
    koenker = 0.0 if tss <= 0 else n * min(max(1.0 - aux.rss / tss, 0.0), 1.0)
    return max(0.5 * (tss - aux.rss), 0.0), koenker, aux.rank


def chow(y: np.ndarray, X: np.ndarray, t: int) -> tuple[float, tuple[int, int], int, float]:
    """Chow F at break t with degrees of freedom (r1 + r2 - r, n - r1 - r2),
    which are (k, n - 2k) when every fit has full rank. Status -1003 when the
    pooled fit, or both segments, are exact (F undefined or infinite).

    The between-segment sum is |e - (e1, e2)|^2, the squared distance of the
    pooled residuals from the segments' ones (the segments' column space
    holds the pooled one), never a difference of sums that can cancel below
    zero."""
    n = y.shape[0]
    whole = _pivoted(X, y)
    one, two = _pivoted(X[:t], y[:t]), _pivoted(X[t:], y[t:])
    d1, d2 = one.rank + two.rank - whole.rank, n - one.rank - two.rank
    if d1 < 1 or d2 < 1:
        return math.nan, (d1, d2), -1005, math.inf
    if whole.exact or (one.exact and two.exact):
        return math.nan, (d1, d2), -1003, math.inf
    within = (0.0 if one.exact else one.rss) + (0.0 if two.exact else two.rss)
    diff = whole.e - np.concatenate([one.e, two.e])
    between = float(diff @ diff)
    # each segment's digits from the columns it fits: a column constant within
    # a segment (a step at the break) is dropped there, not ill-conditioned
    sure = min(
        digits(condition(Z if f.kept is None else Z[:, f.kept]), f.size, f.rss)
        for Z, f in ((X[:t], one), (X[t:], two))
        if not f.exact
    )
    return (between / d1) / (within / d2), (d1, d2), 0, sure


def recursive_residuals(y: np.ndarray, X: np.ndarray) -> tuple[np.ndarray, float]:
    """Recursive residuals by plane rotations of the triangular factor of the
    rows seen so far. They start at the first row after which that factor has
    full numerical rank: each diagonal entry above rank_tolerance times its
    column's norm. Pass an orthonormal basis of the columns (Fit.Q): the
    recursive residuals do not depend on the basis, and an orthonormal one
    keeps the prefixes as well conditioned as the data allow. Returns the
    residuals and the condition of the first prefix (the worst one: rows only
    add information), which bounds how well the data determine them."""
    n, k = X.shape
    if k == 0:
        return y.copy(), 1.0
    R = np.zeros((k, k + 1))  # [R | Q'y], upper triangular in its first k columns
    scale = np.sqrt(np.einsum("ij,ij->j", X, X))
    tol = rank_tolerance(n, k)
    out = []
    started = False
    cond = math.inf
    for t in range(n):
        row = np.append(X[t], y[t]).astype(np.float64)
        for i in range(k):
            a, b = R[i, i], row[i]
            if b == 0.0:
                continue
            rho = math.hypot(a, b)
            c, s = a / rho, b / rho
            Ri = R[i, i:].copy()
            R[i, i:] = c * Ri + s * row[i:]
            row[i:] = c * row[i:] - s * Ri
        if started:
            out.append(row[k])
        elif np.all(np.abs(np.diag(R[:, :k])) > tol * np.maximum(scale, EPS)):
            started = True
            cond = _cond_r(R[:, :k] / np.maximum(scale, EPS))
    return np.asarray(out, dtype=np.float64), cond


def cusum_paths(w: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The CUSUM path (running sum over the scale sqrt(sum w^2 / m)) and the
    CUSUM-of-squares path (running share of sum w^2) of recursive residuals."""
    T = float(w @ w)
    return np.cumsum(w) / math.sqrt(T / w.shape[0]), np.cumsum(w * w) / T


def _cusum_from_w(w: np.ndarray) -> tuple[float, float, int]:
    m = w.shape[0]
    if m == 0 or not float(w @ w) > 0:
        return math.nan, math.nan, m
    s = math.sqrt(m)
    series, C = cusum_paths(w)
    cusum = float(np.max(np.abs(series) / (s + 2.0 * np.arange(m) / s)))
    cusumsq = float(np.max(np.abs(C - np.arange(1, m + 1) / m)) / math.sqrt(2.0))
    return cusum, cusumsq, m


def cusum_pair(y: np.ndarray, fit: Fit) -> tuple[int, float, float, int, float]:
    """(status, CUSUM, CUSUM of squares, m, digits) from the recursive
    residuals of y on the fit's orthonormal basis. An exact fit gives -1003."""
    w, cond = recursive_residuals(y, fit.Q)
    if w.shape[0] == 0:
        return -1005, math.nan, math.nan, 0, math.inf
    if fit.exact or is_exact_fit(w, fit.size):
        return -1003, math.nan, math.nan, w.shape[0], math.inf
    c, sq, m = _cusum_from_w(w)
    return 0, c, sq, m, digits(cond, fit.size, float(w @ w))


def _omega(fit: Fit, lags: int) -> np.ndarray:
    """Bartlett long-run covariance (over n) of h_t = e_t q_t, q_t the rows of
    Q, in factorisation order."""
    h = np.ascontiguousarray(fit.Q * fit.resid[:, None])
    return _diag.hac_estimator_matmul(h, BARTLETT, lags)


def hac_cov(fit: Fit, lags: int) -> np.ndarray:
    """(X'X)^-1 S (X'X)^-1 with S the Bartlett HAC sum of x_t e_t, no
    correction, as n R^-1 Omega_h R^-T: every entry accurate to its own scale
    and V exactly symmetric."""
    n = fit.resid.shape[0]
    o = fit.order
    Rinv = fit.Rinv[np.ix_(o, o)]  # factorisation order
    V = np.empty_like(fit.Rinv)
    V[np.ix_(o, o)] = n * (Rinv @ _omega(fit, lags) @ Rinv.T)
    return (V + V.T) * 0.5


def hac_wald(fit: Fit, const_col: int, lags: int) -> tuple[int, float]:
    """Wald statistic that every coefficient but the constant is zero, with
    the Bartlett sandwich. With the constant first in the factorisation the
    slopes' rows of R^-1 are (0, R_ss^-1), so V_ss = n R_ss^-1 Omega_ss R_ss^-T
    and W = b_s' V_ss^-1 b_s = c_s' Omega_ss^-1 c_s / n with c = Q'y: two well
    conditioned pieces, whatever the condition of the design."""
    n = fit.resid.shape[0]
    s = slice(1, None) if const_col >= 0 else slice(None)
    c = np.ascontiguousarray(fit.qy[s])
    if c.shape[0] == 0:
        return -1007, math.nan
    om = np.ascontiguousarray(_omega(fit, lags)[s, s])
    status, stat = _diag.wald_stat_from_mean_and_cov(c / n, np.zeros(c.shape[0]), om, n)
    return status, stat
