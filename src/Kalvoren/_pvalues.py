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
from typing import Any, Callable, cast

import numpy as np
import numpy.typing as npt
from scipy import special
from scipy.special import cython_special as _cs

from Kalvoren import _cusum_null, _fixedb
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
_JB_N: list[int] = list(_jbt.N_GRID)
JB_N_MIN = _JB_N[0]  # the kernel reports no p-value below 10 observations
_JB_N_MAX = _JB_N[-1]
_JB_U = [1.0 / math.sqrt(k) for k in _JB_N]
# Rows in ascending order of the statistic, as logs (interpolated in 1/sqrt(n)).
_JB_LOG_CV = [[math.log(v) for v in reversed(row)] for row in _jbt.JB_CV]
_JB_LAST = [math.exp(v) for v in _JB_LOG_CV[-1]]
_JB_KAPPA = list(reversed(_jbt.KAPPA))
_JB_CHI2 = [-2.0 * math.log(a) for a in _JB_ALPHA.tolist()]  # the n -> inf limit
_JB_STEPS = tuple(1 << e for e in reversed(range((_JB_NCOL - 1).bit_length())))


@functools.lru_cache(maxsize=4096)
def _jb_row(n: int) -> tuple[list[float], list[float]]:
    """Critical values at sample size n in ascending order, and the logs of the ratios
    of neighbours (the interpolation's denominators). Plain Python floats: a few
    microseconds, and the same bits for the scalar and the array path."""
    if n <= _JB_N_MAX:
        i = min(bisect.bisect_right(_JB_N, n) - 1, len(_JB_N) - 2)
        w = (_JB_U[i] - 1.0 / math.sqrt(n)) / (_JB_U[i] - _JB_U[i + 1])
        cv = [math.exp(a * (1.0 - w) + b * w) for a, b in zip(_JB_LOG_CV[i], _JB_LOG_CV[i + 1])]
    else:
        f = _JB_N_MAX / n
        cv = [c + (v - c) * f**k for c, v, k in zip(_JB_CHI2, _JB_LAST, _JB_KAPPA)]
    for j in range(1, len(cv)):  # strictly ascending whatever the rounding
        if not cv[j] > cv[j - 1]:
            cv[j] = math.nextafter(cv[j - 1], math.inf)
    return cv, [math.log(cv[j + 1] / cv[j]) for j in range(len(cv) - 1)]


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


def chi2_sf(x: npt.ArrayLike, df: npt.ArrayLike) -> np.ndarray:
    """Upper chi-square tail; NaN where x is NaN or negative or df < 1.

    One degree of freedom is 2 Phi(-sqrt(x)): chdtrc takes about 0.9 us a value
    there (15 times its time at df = 2), as one regressor's Breusch-Pagan and
    one lag's tests have it. Against 40-digit values it is within 2e-16 of
    the tail for x < 1 (chdtrc: 9e-15), 2e-15 up to 10 (3e-14), and x times
    1.4e-16 beyond (the rounding of sqrt(x); chdtrc 2.4e-14 up to 630)."""
    x, df = np.broadcast_arrays(np.asarray(x, float), np.asarray(df, float))
    one = df == 1
    with np.errstate(invalid="ignore"):
        if not one.any():
            return np.where(df >= 1, special.chdtrc(np.maximum(df, 1), x), np.nan)
        if one.all():
            return cast(np.ndarray, 2.0 * special.ndtr(-np.sqrt(x)))
        p = np.full(x.shape, np.nan)
        more = df > 1
        p[more] = special.chdtrc(df[more], x[more])
        p[one] = 2.0 * special.ndtr(-np.sqrt(x[one]))
    return p


def f_sf(x: npt.ArrayLike, d1: npt.ArrayLike, d2: npt.ArrayLike) -> np.ndarray:
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
    return _jb_sf_row(_jb_row(int(n)), stat)


def _jb_sf_row(row: tuple[list[float], list[float]], stat: float) -> tuple[float, str | None]:
    cv, lr = row
    if stat < cv[0]:
        return JB_P_MAX, ">"
    if stat > cv[-1]:
        return JB_P_MIN, "<"
    k = min(bisect.bisect_right(cv, stat) - 1, _JB_NCOL - 2)
    v0 = cv[k]
    t = min(max(_cs.log1p((stat - v0) / v0) / lr[k], 0.0), 1.0)
    z0 = _JB_Z[k]
    return _cs.ndtr(-(z0 + t * (_JB_Z[k + 1] - z0))), None


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
    sv, nv = stat.ravel(), n.ravel()
    idx = np.flatnonzero(~np.isnan(sv) & (nv >= JB_N_MIN))
    if not idx.size:
        return p, bound
    sizes, inv = np.unique(nv[idx], return_inverse=True)
    rows = [_jb_row(k) for k in sizes.tolist()]  # the scalar path's rows, the same bits
    cv = np.array([r[0] for r in rows]).ravel()
    lr = np.array([r[1] for r in rows]).ravel()
    s = sv[idx]
    base = inv * _JB_NCOL
    k = np.zeros(s.size, dtype=np.intp)  # the last column <= s (bisect_right - 1)
    for step in _JB_STEPS:
        nxt = np.minimum(k + step, _JB_NCOL - 1)
        k = np.where(cv[base + nxt] <= s, nxt, k)
    k = np.minimum(k, _JB_NCOL - 2)
    v0 = cv[base + k]
    z = np.asarray(_JB_Z)
    with np.errstate(invalid="ignore", over="ignore"):
        t = special.log1p((s - v0) / v0) / lr[inv * (_JB_NCOL - 1) + k]
        t = np.minimum(np.maximum(t, 0.0), 1.0)
    z0 = z[k]
    ps = special.ndtr(-(z0 + t * (z[k + 1] - z0)))
    bs = np.full(s.shape, None, dtype=object)
    low, high = s < cv[base], s > cv[base + _JB_NCOL - 1]
    ps[low], bs[low] = JB_P_MAX, ">"
    ps[high], bs[high] = JB_P_MIN, "<"
    p.ravel()[idx] = ps  # views: p and bound are fresh and contiguous
    bound.ravel()[idx] = bs
    return p, bound


# One value goes to SciPy's Cython-level functions: the ufuncs' own loops
# (the same bits) without the ufunc machinery's microseconds per call.
def _chi2_one(stat: float, d1: float) -> float:
    if d1 == 1:  # as chi2_sf, bit for bit
        return 2.0 * _cs.ndtr(-math.sqrt(stat)) if not stat < 0 else math.nan
    return _cs.chdtrc(d1, stat) if d1 >= 1 else math.nan


def _f_one(stat: float, d1: float, d2: float) -> float:
    return _cs.fdtrc(d1, d2, stat) if d1 >= 1 and d2 >= 1 else math.nan


def _n_of(n: npt.NDArray[np.float64]) -> npt.NDArray[np.int64]:
    return np.nan_to_num(n).astype(np.int64)


def _fixedb_many(s: Any, d1: Any, n: Any, f: Any) -> Any:
    """Fixed-b p-values of many series: the battery's own bandwidth (whole
    lags f.hac_lags) or another Bartlett HAC's (f.hac_bw, its adjustment
    undone by f.wald_scale)."""
    if f.robust_fixedb:
        return _fixedb.hac_wald_pvalue_bandwidth(s * f.wald_scale, d1, f.hac_bw, n)
    return _fixedb.hac_wald_pvalue(s, d1, f.hac_lags, n)


def _fixedb_one(s: float, d1: float, n: float, f: Any) -> float:
    """_fixedb_many for one series, on floats (the same bits)."""
    if not (d1 == d1 and d1 >= 1):
        return math.nan
    if f.robust_fixedb:
        return _fixedb.hac_wald_pvalue_bandwidth_one(s * f.wald_scale, int(d1), f.hac_bw, int(n))
    if f.hac_lags != f.hac_lags:
        return math.nan
    return _fixedb.hac_wald_pvalue_one(s, int(d1), int(f.hac_lags), int(n))


# SciPy's C functions behind chdtrc, fdtrc, ndtr and log1p of doubles, which
# native code may call for the same bits; None where SciPy has no such entry.
_CAPI = getattr(_cs, "__pyx_capi__", {})
TAIL_CAPSULES = tuple(
    _CAPI.get(name)
    for name in ("chdtrc", "__pyx_fuse_0fdtrc", "__pyx_fuse_1ndtr", "__pyx_fuse_1log1p")
)


def tail_kind(reference: str, d1: float, d2: float) -> int:
    """1 where bind_one's function is chdtrc(d1, .), 2 where it is
    fdtrc(d1, d2, .), 0 otherwise."""
    if reference == "chi2" and d1 >= 1:
        return 1
    if reference == "F" and d1 >= 1 and d2 >= 1:
        return 2
    return 0


def table_of(reference: str, n: float, m: float) -> tuple[int, list[float], list[float], Any]:
    """Where bind_one's function interpolates a table's row: 4 (in the
    statistic: CUSUM) or 5 (in its log: Jarque-Bera), the row, its normal
    quantiles and for 5 the logs of neighbours' ratios; (0, ...) otherwise."""
    if reference == "cusum" or reference == "cusumsq":
        rz = _cusum_null.table_row("cusum" if reference == "cusum" else "cusumsq", m)
        if rz is not None:
            return 4, rz[0], rz[1], None
    if reference == "jb" and n == n and int(n) >= JB_N_MIN:
        cv, lr = _jb_row(int(n))
        if len(cv) == _JB_NCOL:
            return 5, cv, _JB_Z, lr
    return 0, [], [], None


def fixedb_of(reference: str, d1: float, n: float, f: Any) -> tuple[float, ...] | None:
    """Where bind_one's function is fixed-b's law: (divisor of W or NaN for
    none, mu1, d1, K, q times the scale), whose p-value is fdtrc(d1, K, (W /
    divisor) mu1 / (q scale)); None otherwise, and where the law has none."""
    if not fixedb_bound(reference, d1, n, f):
        return None
    law = _fixedb.law_of(int(d1), int(f.hac_lags), int(n))
    if law is None:
        return None
    scale, mu1, df1, K, qe = law
    return (math.nan if scale is None else scale, mu1, df1, K, qe)


def fixedb_bound(reference: str, d1: float, n: float, f: Any) -> bool:
    """Whether bind_one's function is fixed-b's law at (d1, f.hac_lags, n)."""
    fixed = reference == "fixedb" and not f.robust_fixedb and f.hac_lags == f.hac_lags
    return bool(fixed and d1 == d1 and d1 >= 1 and n == n)


def bind_one(
    reference: str, d1: float, d2: float, n: float, m: float, f: Any
) -> Callable[[float], tuple[float, str | None]]:
    """REFERENCES[reference][1] with everything but the statistic fixed: what
    does not depend on the statistic (a table's row, fixed-b's law) is worked
    out once for the series of one design. The same bits."""
    kind = tail_kind(reference, d1, d2)
    if kind == 1:
        if d1 == 1:
            return lambda s: (_chi2_one(s, 1.0), None)
        chdtrc = _cs.chdtrc
        return lambda s: (chdtrc(d1, s), None)
    if kind == 2:
        fdtrc = _cs.fdtrc
        return lambda s: (fdtrc(d1, d2, s), None)
    if reference == "cusum":
        return _cusum_null.scalar_sf("cusum", m)
    if reference == "cusumsq":
        return _cusum_null.scalar_sf("cusumsq", m)
    if reference == "jb" and n == n and int(n) >= JB_N_MIN:
        row = _jb_row(int(n))
        return lambda s: (math.nan, None) if s != s else _jb_sf_row(row, s)
    if fixedb_bound(reference, d1, n, f):
        law = _fixedb.hac_wald_bound(int(d1), int(f.hac_lags), int(n))
        return lambda s: (law(s), None)
    one = REFERENCES[reference][1]
    return lambda s: one(s, d1, d2, n, m, f)


# The p-value of each reference distribution, for many series (arrays) and for
# one (floats) with the same bits: (stat, df1, df2, n, m) -> (p, bound or None).
# Each takes its arguments as floats (one) or arrays (many).
_PValue = Callable[..., tuple[Any, Any]]
REFERENCES: dict[str, tuple[_PValue, _PValue]] = {
    "chi2": (
        lambda s, d1, d2, n, m, f=None: (chi2_sf(s, d1), None),
        lambda s, d1, d2, n, m, f=None: (_chi2_one(s, d1), None),
    ),
    "F": (
        lambda s, d1, d2, n, m, f=None: (f_sf(s, d1, d2), None),
        lambda s, d1, d2, n, m, f=None: (_f_one(s, d1, d2), None),
    ),
    "jb": (
        lambda s, d1, d2, n, m, f=None: jb_pvalue(s, _n_of(n)),
        lambda s, d1, d2, n, m, f=None: jb_pvalue_one(s, int(n) if n == n else 0),
    ),
    "cusum": (
        lambda s, d1, d2, n, m, f=None: cusum_pvalue(s, m),
        lambda s, d1, d2, n, m, f=None: cusum_pvalue_one(s, m),
    ),
    # the Bartlett HAC Wald statistic under fixed-b asymptotics: df1 the
    # restrictions, the bandwidth the series' own (f.hac_lags or f.hac_bw)
    "fixedb": (
        lambda s, d1, d2, n, m, f=None: (_fixedb_many(s, d1, n, f), None),
        lambda s, d1, d2, n, m, f=None: (_fixedb_one(s, d1, n, f), None),
    ),
    "cusumsq": (
        lambda s, d1, d2, n, m, f=None: cusumsq_pvalue(s, m),
        lambda s, d1, d2, n, m, f=None: cusumsq_pvalue_one(s, m),
    ),
}
