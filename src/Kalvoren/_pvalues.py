"""p-values, vectorised across series: chi-square and F tails from SciPy, the
Jarque-Bera null table, and the finite-sample CUSUM tables.

Jarque-Bera (``_jb_null_tables``, written by ``scripts/make_jb_tables.py``): critical
values of n iid normal values from alpha 0.999 down to 1e-14, simulated (the tails by
importance sampling). Between sample-size nodes the log critical value is interpolated
linearly in 1/sqrt(n); along a row, log JB linearly in the normal quantile
z = Phi^-1(1 - p), which keeps the p-value continuous and strictly decreasing in the
statistic. Beyond the largest n each critical value moves to its chi-square(2) limit
-2 log(alpha) as (n_max / n)^kappa, kappa fitted per column to simulated tails at larger
n. Outside the row the p-value is the table's edge and the bound says on which side the
true value lies: "<" only below 1e-14, so a decision p < alpha is right at every alpha
down to 1e-12.
"""

from __future__ import annotations

import bisect
import functools
import math

import numpy as np
from scipy import special

from Kalvoren import _cusum_null
from Kalvoren import _jb_null_tables as _jbt
from Kalvoren._cusum_null import cusum_pvalue, cusumsq_pvalue

__all__ = [
    "chi2_sf",
    "f_sf",
    "jb_pvalue",
    "jb_pvalue_one",
    "jb_critical_value",
    "cusum_pvalue",
    "cusumsq_pvalue",
    "cusum_pvalue_one",
    "cusumsq_pvalue_one",
    "special",
]

# Columns in ascending order of the statistic: tail probability falling, z rising.
_JB_ALPHA = np.asarray(_jbt.ALPHA_GRID, dtype=np.float64)[::-1].copy()
JB_P_MIN = float(_JB_ALPHA[-1])  # the table's smallest and largest tail probabilities
JB_P_MAX = float(_JB_ALPHA[0])
_JB_NCOL = _JB_ALPHA.size
_JB_Z: list[float] = (-special.ndtri(_JB_ALPHA)).tolist()
_JB_N = np.asarray(_jbt.N_GRID, dtype=np.float64)
JB_N_MIN = int(_jbt.N_GRID[0])  # the kernel reports no p-value below 10 observations
_JB_N_MAX = int(_jbt.N_GRID[-1])
_JB_U = 1.0 / np.sqrt(_JB_N)
_JB_LOG_CV = np.log(np.asarray(_jbt.JB_CV, dtype=np.float64)[:, ::-1])
_JB_KAPPA = np.asarray(_jbt.KAPPA, dtype=np.float64)[::-1]
_JB_CHI2 = -2.0 * np.log(_JB_ALPHA)  # chi-square(2) critical values, the n -> inf limit


@functools.lru_cache(maxsize=4096)
def _jb_row(n: int) -> tuple[list[float], list[float]]:
    """Critical values at sample size n in ascending order, and the logs of the ratios
    of neighbours (the interpolation's denominators)."""
    if n <= _JB_N_MAX:
        i = min(int(np.searchsorted(_JB_N, n, side="right")) - 1, _JB_N.size - 2)
        w = (_JB_U[i] - 1.0 / math.sqrt(n)) / (_JB_U[i] - _JB_U[i + 1])
        cv = np.exp(_JB_LOG_CV[i] * (1.0 - w) + _JB_LOG_CV[i + 1] * w)
    else:
        last = np.exp(_JB_LOG_CV[-1])
        cv = _JB_CHI2 + (last - _JB_CHI2) * (_JB_N_MAX / n) ** _JB_KAPPA
    cv = np.maximum.accumulate(cv)  # ascending whatever the rounding (no effect otherwise)
    return cv.tolist(), np.log(cv[1:] / cv[:-1]).tolist()


def jb_critical_value(alpha: float, n: int) -> float:
    """The Jarque-Bera statistic exceeded with probability alpha at sample size n (the
    inverse of :func:`jb_pvalue` inside the table; NaN outside it or for n < 10)."""
    if not (JB_P_MIN <= alpha <= JB_P_MAX) or n < JB_N_MIN:
        return math.nan
    cv, lr = _jb_row(int(n))
    z = float(-special.ndtri(alpha))
    k = min(max(bisect.bisect_right(_JB_Z, z) - 1, 0), _JB_NCOL - 2)
    t = (z - _JB_Z[k]) / (_JB_Z[k + 1] - _JB_Z[k])
    return cv[k] * math.exp(t * lr[k])


def chi2_sf(x: np.ndarray, df: np.ndarray) -> np.ndarray:
    """Upper chi-square tail; NaN where x is NaN or df < 1."""
    x, df = np.broadcast_arrays(np.asarray(x, float), np.asarray(df, float))
    with np.errstate(invalid="ignore"):
        return np.where(df >= 1, special.chdtrc(np.maximum(df, 1), x), np.nan)


def f_sf(x: np.ndarray, d1: np.ndarray, d2: np.ndarray) -> np.ndarray:
    """Upper F tail; NaN where x is NaN or a degree of freedom is < 1."""
    x, d1, d2 = np.broadcast_arrays(*(np.asarray(a, float) for a in (x, d1, d2)))
    ok = (d1 >= 1) & (d2 >= 1)
    with np.errstate(invalid="ignore"):
        return np.where(ok, special.fdtrc(np.maximum(d1, 1), np.maximum(d2, 1), x), np.nan)


def cusum_pvalue_one(stat: float, m: float) -> tuple[float, str | None]:
    """cusum_pvalue for one value (its scalar path, which gives the same bits)."""
    return _cusum_null._pvalue_scalar("cusum", stat, m)


def cusumsq_pvalue_one(stat: float, m: float) -> tuple[float, str | None]:
    """cusumsq_pvalue for one value (its scalar path, which gives the same bits)."""
    return _cusum_null._pvalue_scalar("cusumsq", stat, m)


def jb_pvalue_one(stat: float, n: int) -> tuple[float, str | None]:
    """jb_pvalue for one value, in plain Python (the same operations, the same bits)."""
    if stat != stat or n < JB_N_MIN:
        return math.nan, None
    cv, lr = _jb_row(int(n))
    if stat < cv[0]:
        return JB_P_MAX, ">"
    if stat > cv[-1]:
        return JB_P_MIN, "<"
    k = min(bisect.bisect_right(cv, stat) - 1, _JB_NCOL - 2)
    v0 = cv[k]
    t = min(max(float(special.log1p((stat - v0) / v0)) / lr[k], 0.0), 1.0)
    z0 = _JB_Z[k]
    return float(special.ndtr(-(z0 + t * (_JB_Z[k + 1] - z0)))), None


def jb_pvalue(stat: np.ndarray, n: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Jarque-Bera p-value from the null table at sample size n (broadcast together).

    Returns ``(p, bound)``: ``p`` float64; ``bound`` an object array holding None, or
    ``"<"`` where the statistic lies beyond the critical value of tail probability
    1e-14 (p is that edge and the true p-value is smaller), ``">"`` below the one of
    0.999. NaN statistics and n < 10 give NaN and None.
    """
    stat, n = np.broadcast_arrays(np.asarray(stat, float), np.asarray(n, np.int64))
    p = np.full(stat.shape, np.nan)
    bound = np.full(stat.shape, None, dtype=object)
    ok = ~np.isnan(stat) & (n >= JB_N_MIN)
    z = np.asarray(_JB_Z)
    for size in np.unique(n[ok]):
        sel = np.flatnonzero((ok & (n == size)).ravel())
        s = stat.ravel()[sel]
        cv_l, lr_l = _jb_row(int(size))
        cv, lr = np.asarray(cv_l), np.asarray(lr_l)
        k = np.minimum(np.searchsorted(cv, s, side="right") - 1, _JB_NCOL - 2)
        k = np.maximum(k, 0)
        v0 = cv[k]
        with np.errstate(invalid="ignore"):
            t = np.minimum(np.maximum(special.log1p((s - v0) / v0) / lr[k], 0.0), 1.0)
        z0 = z[k]
        ps = special.ndtr(-(z0 + t * (z[k + 1] - z0)))
        bs = np.full(s.shape, None, dtype=object)
        low, high = s < cv[0], s > cv[-1]
        ps[low], bs[low] = JB_P_MAX, ">"
        ps[high], bs[high] = JB_P_MIN, "<"
        p.ravel()[sel] = ps
        bound.ravel()[sel] = bs
    return p, bound
