"""p-values, vectorised across series: chi-square and F tails from SciPy, the
Jarque-Bera small-sample table, and the finite-sample CUSUM tables."""

from __future__ import annotations

import math

import numpy as np
from scipy import special

from Kalvoren import _cusum_null
from Kalvoren._ckernels.diag import _diag
from Kalvoren._cusum_null import cusum_pvalue, cusumsq_pvalue

__all__ = [
    "chi2_sf",
    "f_sf",
    "jb_pvalue",
    "jb_pvalue_one",
    "cusum_pvalue",
    "cusumsq_pvalue",
    "cusum_pvalue_one",
    "cusumsq_pvalue_one",
    "special",
]

JB_P_MIN = 1e-4  # the table's smallest and largest tail probabilities
JB_P_MAX = 0.9999


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
    """jb_pvalue for one value (the same kernel, element by element)."""
    if not (math.isfinite(stat) and n >= 1):
        return math.nan, None
    p = float(_diag.jb_pval_interp(n, stat))
    return p, ("<" if p <= JB_P_MIN else ">" if p >= JB_P_MAX else None)


def jb_pvalue(stat: np.ndarray, n: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Jarque-Bera p-value from the small-sample table, with the bound "<" at
    the table's smallest tail probability and ">" at its largest."""
    stat, n = np.broadcast_arrays(np.asarray(stat, float), np.asarray(n, np.int64))
    p = np.full(stat.shape, np.nan)
    finite = np.isfinite(stat) & (n >= 1)
    for size in np.unique(n[finite]):
        sel = finite & (n == size)
        p[sel] = _diag.jb_pval_interp_arr(int(size), stat[sel])
    bound = np.full(stat.shape, None, dtype=object)
    bound[p <= JB_P_MIN] = "<"
    bound[p >= JB_P_MAX] = ">"
    return p, bound


def chi2_tails(stats: list, dfs: list) -> list:
    """_chi2_one over lists, in one ufunc call (the same bits)."""
    v = special.chdtrc(dfs, stats).tolist()
    return [x if d >= 1 else math.nan for x, d in zip(v, dfs)]


def _chi2_one(stat: float, d1: float) -> float:
    return float(special.chdtrc(d1, stat)) if d1 >= 1 else math.nan


def _f_one(stat: float, d1: float, d2: float) -> float:
    return float(special.fdtrc(d1, d2, stat)) if d1 >= 1 and d2 >= 1 else math.nan


def _n_of(n: np.ndarray) -> np.ndarray:
    return np.nan_to_num(n).astype(np.int64)


# The p-value of each reference distribution, for many series (arrays) and for
# one (floats) with the same bits: (stat, df1, df2, n, m) -> (p, bound or None).
REFERENCES = {
    "chi2": (
        lambda s, d1, d2, n, m: (chi2_sf(s, d1), None),
        lambda s, d1, d2, n, m: (_chi2_one(s, d1), None),
    ),
    "F": (
        lambda s, d1, d2, n, m: (f_sf(s, d1, d2), None),
        lambda s, d1, d2, n, m: (_f_one(s, d1, d2), None),
    ),
    "jb": (
        lambda s, d1, d2, n, m: jb_pvalue(s, _n_of(n)),
        lambda s, d1, d2, n, m: jb_pvalue_one(s, int(n) if n == n else 0),
    ),
    "cusum": (
        lambda s, d1, d2, n, m: cusum_pvalue(s, m),
        lambda s, d1, d2, n, m: cusum_pvalue_one(s, m),
    ),
    "cusumsq": (
        lambda s, d1, d2, n, m: cusumsq_pvalue(s, m),
        lambda s, d1, d2, n, m: cusumsq_pvalue_one(s, m),
    ),
}
