"""The least-squares route: the battery by orthogonal factorisations in NumPy.

Used for a design the kernels refuse (status FALLBACK: rank-deficient, or too
ill-conditioned for the normal equations) and for a single test whose
auxiliary regression the kernel refused. Slower than the kernels, never less
accurate: every fit is a QR factorisation of the equilibrated design, the rank
is decided by column-pivoted QR with the tolerance ``RANK_RTOL`` below, and
the recursive residuals come from plane rotations of a triangular factor.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
from scipy import linalg as sla

from Kalvoren._ckernels.diag import _diag

EPS = float(np.finfo(np.float64).eps)
BARTLETT = 0  # the kernels' HAC_KERNEL_BARTLETT
# A column is kept while its pivot in the column-pivoted QR of the centred,
# equilibrated design exceeds max(n, k) * eps times the largest pivot (the
# usual numerical-rank rule).
RANK_RTOL_FACTOR = 1.0
# A residual sum of squares of at most this many rounding units of sum(y^2) is
# an exact fit (the kernels' rule).
EXACT_FIT_ULPS = 32.0


def pow2_scales(a: np.ndarray) -> Any:
    """Power-of-two factors that bring each column's root mean square into [1, 2)."""
    a2 = a if a.ndim == 2 else a[:, None]
    n = max(a2.shape[0], 1)
    rms = np.sqrt(np.einsum("ij,ij->j", a2, a2) / n)
    ok = np.isfinite(rms) & (rms > 0)
    _, e = np.frexp(np.where(ok, rms, 1.0))
    c = np.ldexp(1.0, 1 - e)
    return np.where(ok, c, 1.0) if a.ndim == 2 else float(np.where(ok, c, 1.0)[0])


def is_exact_fit(resid: np.ndarray, y: np.ndarray) -> bool:
    """A residual sum of squares that is rounding noise of sum(y^2)."""
    return float(resid @ resid) <= EXACT_FIT_ULPS * EPS * float(y @ y)


def rank_tolerance(n: int, k: int) -> float:
    return RANK_RTOL_FACTOR * max(n, k, 1) * EPS


def independent_columns(X: np.ndarray, const_col: int) -> list[int]:
    """Columns of a full-rank subset, in their original order: the constant
    (if any) first of all, then the others by column-pivoted QR of the
    equilibrated design with the constant projected out."""
    n, k = X.shape
    rest = [j for j in range(k) if j != const_col]
    if not rest:
        return [const_col] if const_col >= 0 else []
    A = X[:, rest]
    if const_col >= 0:
        A = A - A.mean(axis=0)
    A = A * pow2_scales(A)
    _, R, piv = sla.qr(A, mode="economic", pivoting=True)
    d = np.abs(np.diag(R))
    if d.size == 0 or not d[0] > 0:
        keep = []
    else:
        keep = [rest[p] for p, v in zip(piv, d) if v > rank_tolerance(n, k) * d[0]]
    cols = sorted(keep)
    return ([const_col] if const_col >= 0 else []) + cols


def _pivoted_rss(Z: np.ndarray, v: np.ndarray) -> tuple[float, int]:
    """Residual sum of squares of v on Z and the numerical rank of Z."""
    n, k = Z.shape
    if k == 0:
        return float(v @ v), 0
    Q, R, _ = sla.qr(Z, mode="economic", pivoting=True)
    d = np.abs(np.diag(R))
    r = int(np.count_nonzero(d > rank_tolerance(n, k) * d[0])) if d[0] > 0 else 0
    Qr = Q[:, :r]
    resid = v - Qr @ (Qr.T @ v)
    return float(resid @ resid), r


@dataclass
class Fit:
    """OLS on a full-rank (equilibrated) design by QR."""

    beta: np.ndarray
    resid: np.ndarray
    Rinv: np.ndarray

    @classmethod
    def of(cls, X: np.ndarray, y: np.ndarray) -> "Fit":
        Q, R = np.linalg.qr(X)
        qy = Q.T @ y
        beta = sla.solve_triangular(R, qy) if X.shape[1] else np.empty(0)
        # y - Q Q'y keeps the residual accurate to eps * |y| whatever X's condition.
        resid = y - Q @ qy
        Rinv = sla.solve_triangular(R, np.eye(X.shape[1])) if X.shape[1] else np.empty((0, 0))
        return cls(beta, resid, Rinv)


def bg(e: np.ndarray, Xrest: np.ndarray, lags: int) -> float:
    """Breusch-Godfrey LM: n times the uncentred R^2 of e on [1, X, lags of e]."""
    n = e.shape[0]
    lagged = np.zeros((n, lags))
    for j in range(1, lags + 1):
        lagged[j:, j - 1] = e[:-j]
    Z = np.column_stack([np.ones(n), Xrest, lagged])
    S = float(e @ e)
    if not S > 0:
        return 0.0
    rss, _ = _pivoted_rss(Z, e)
    return n * (1.0 - rss / S)


def bp(e: np.ndarray, Xa: np.ndarray) -> tuple[float, float]:
    """Breusch-Pagan (0.5 ESS) and Koenker (n R^2) from the auxiliary regression
    of e^2 / mean(e^2) on Xa (which holds a constant)."""
    n = e.shape[0]
    g = e * e / np.mean(e * e)
    rss, _ = _pivoted_rss(Xa, g)
    tss = float(((g - g.mean()) ** 2).sum())
    koenker = 0.0 if tss <= 0 else n * min(max(1.0 - rss / tss, 0.0), 1.0)
    return max(0.5 * (tss - rss), 0.0), koenker


def chow(y: np.ndarray, X: np.ndarray, t: int) -> tuple[float, tuple[int, int], int]:
    """Chow F at break t with degrees of freedom (r1 + r2 - r, n - r1 - r2),
    which are (k, n - 2k) when every fit has full rank. Status -1003 for an
    exact segment fit (F undefined)."""
    n = y.shape[0]
    S, r = _pivoted_rss(X, y)
    S1, r1 = _pivoted_rss(X[:t], y[:t])
    S2, r2 = _pivoted_rss(X[t:], y[t:])
    d1, d2 = r1 + r2 - r, n - r1 - r2
    within = S1 + S2
    if d1 < 1 or d2 < 1:
        return math.nan, (d1, d2), -1005
    if within <= EXACT_FIT_ULPS * EPS * float(y @ y):
        return math.nan, (d1, d2), -1003
    return ((S - within) / d1) / (within / d2), (d1, d2), 0


def recursive_residuals(y: np.ndarray, X: np.ndarray) -> np.ndarray:
    """Recursive residuals by plane rotations of the triangular factor of the
    rows seen so far; they start at the first row after which that factor has
    full numerical rank."""
    n, k = X.shape
    if k == 0:
        return y.copy()
    R = np.zeros((k, k + 1))  # [R | Q'y], upper triangular in its first k columns
    scale = np.sqrt(np.einsum("ij,ij->j", X, X))
    tol = rank_tolerance(n, k)
    out = []
    started = False
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
    return np.asarray(out, dtype=np.float64)


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


def cusum_pair(y: np.ndarray, X: np.ndarray) -> tuple[int, float, float, int]:
    """(status, CUSUM, CUSUM of squares, m) from the recursive residuals. An
    exact fit (recursive residuals that are rounding noise) gives -1003."""
    w = recursive_residuals(y, X)
    if w.shape[0] == 0:
        return -1005, math.nan, math.nan, 0
    if is_exact_fit(w, y):
        return -1003, math.nan, math.nan, w.shape[0]
    c, sq, m = _cusum_from_w(w)
    return 0, c, sq, m


def hac_cov(Xs: np.ndarray, e: np.ndarray, Rinv: np.ndarray, lags: int) -> np.ndarray:
    """(X'X)^-1 S (X'X)^-1 with S the Bartlett HAC sum of x_t e_t, no correction.

    Formed from the rows of Q = X R^-1 (S = R' S_q R), which keeps every entry
    accurate to its own scale and V exactly symmetric; the product of the
    three matrices itself loses digits in the small entries when the columns
    are nearly collinear."""
    n = Xs.shape[0]
    h = np.ascontiguousarray((Xs @ Rinv) * e[:, None])
    omega = _diag.hac_estimator_matmul(h, BARTLETT, lags)  # S_q / n
    V = n * (Rinv @ omega @ Rinv.T)
    return (V + V.T) * 0.5


def hac_wald(beta: np.ndarray, V: np.ndarray, slopes: list[int], n: int) -> tuple[int, float]:
    if not slopes:
        return -1007, math.nan
    b = np.ascontiguousarray(beta[slopes])
    status, stat = _diag.wald_stat_from_mean_and_cov(
        b, np.zeros(len(slopes)), np.ascontiguousarray(n * V[np.ix_(slopes, slopes)]), n
    )
    return status, stat
