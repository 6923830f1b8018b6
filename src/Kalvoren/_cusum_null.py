"""Finite-sample null distributions of the CUSUM and CUSUM-of-squares statistics.

With normal errors the m recursive residuals of a correctly specified regression
are iid N(0, sigma^2), and both statistics are scale-free, so their null
distributions depend on m alone. Up to the largest tabulated m the p-values come
from the Monte Carlo critical values of ``_cusum_null_tables`` (written by
``scripts/make_cusum_tables.py``):

* between m nodes, each critical value is interpolated linearly in 1/sqrt(m);
* between tail-probability nodes, the statistic is interpolated linearly in the
  normal quantile z = Phi^-1(1 - p), which keeps the p-value continuous and
  strictly decreasing in the statistic;
* the tabulated tail probabilities run from 0.999 down to 1e-14 (below 1e-3 by
  importance sampling, or by the asymptotic form below where m is large); outside
  them the p-value is the table's edge and the bound says on which side the true
  value lies, so a "<" decides p < alpha correctly at every alpha down to 1e-12.

Beyond the largest m the asymptotic forms take over, with a fitted shift of order
1/sqrt(m) (mostly the cost of watching the path at m points instead of
continuously) and, in the far tail, a second one fitted to simulated tails (the
estimated scale and the increments' skewness); the tail columns of the rows with
large m come from the same forms:

* CUSUM: P(sup_{0<=t<=1} |W(t)| / (1 + 2t) > a), W Brownian motion,
  a = stat + d / sqrt(m) + d2 u^2 / m^g, u = max(stat - a0, 0), a0 the limit
  law's critical value at 1e-3 (the bulk keeps the plain shift). In the upper tail
  this is the Brown-Durbin-Evans crossing probability 2(1 - Phi(3a) +
  exp(-4a^2) Phi(a)); the full two-sided series is used because that formula
  counts twice the paths that touch both boundaries, which matters in the bulk
  (0.64 against 0.63 at a = 0.5, 0.92 against 0.85 at a = 0.4).
* CUSUM of squares: the Kolmogorov distribution at the same function of
  y = sqrt(m) stat (its own constants).

With one recursive residual both statistics are constants (CUSUM 1, CUSUM of
squares 0) and carry no evidence: the p-value is 1.
"""

from __future__ import annotations

import bisect
import functools
import math
from typing import Callable, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy.special import cython_special as _cs
from scipy.special import kolmogi, kolmogorov, ndtr, ndtri

from . import _cusum_null_tables as _tab

__all__ = [
    "cusum_pvalue",
    "cusumsq_pvalue",
    "cusum_critical_value",
    "cusumsq_critical_value",
]

_Kind = Literal["cusum", "cusumsq"]

_M_GRID = np.asarray(_tab.M_GRID, dtype=np.float64)
_M_MIN = float(_M_GRID[0])
_M_MAX = float(_M_GRID[-1])
_U = 1.0 / np.sqrt(_M_GRID)  # interpolation coordinate in m, decreasing
# Columns in ascending order of the statistic: tail probability falling, z rising.
_ALPHA = np.asarray(_tab.ALPHA_GRID, dtype=np.float64)[::-1].copy()
_Z = -ndtri(_ALPHA)
_P_HI = float(_ALPHA[0])
_P_LO = float(_ALPHA[-1])
_NCOL = _ALPHA.size
_CV = {
    "cusum": np.ascontiguousarray(np.asarray(_tab.CUSUM_CV, dtype=np.float64)[:, ::-1]).ravel(),
    "cusumsq": np.ascontiguousarray(np.asarray(_tab.CUSUMSQ_CV, dtype=np.float64)[:, ::-1]).ravel(),
}
_SHIFT = {"cusum": float(_tab.CUSUM_SHIFT), "cusumsq": float(_tab.CUSUMSQ_SHIFT)}
_SHIFT2 = {
    "cusum": (float(_tab.CUSUM_SHIFT2), float(_tab.CUSUM_SHIFT2_POWER)),
    "cusumsq": (float(_tab.CUSUMSQ_SHIFT2), float(_tab.CUSUMSQ_SHIFT2_POWER)),
}
_TAIL_FROM = {"cusum": float(_tab.CUSUM_TAIL_FROM), "cusumsq": float(_tab.CUSUMSQ_TAIL_FROM)}


def _bm_sf_series(a: NDArray[np.float64]) -> NDArray[np.float64]:
    """P(sup_{0<=t<=1} |W(t)| / (1 + 2t) > a) by the method of images.

    W(t)/(1+2t) is a Brownian bridge on [0, 1/2] at time t/(1+2t), so this is the
    chance that a standard bridge leaves (-a sqrt 2, a sqrt 2) before time 2/3.
    Terms fall as exp(-n^2 a^2); 41 of them are ample for a >= 0.15.
    """
    # 1 - (the n = 0 term) is 2 Phi(-3a); summing the rest onto it keeps the
    # relative accuracy in the far tail.
    p: NDArray[np.float64] = 2.0 * ndtr(-3.0 * a)
    for n in range(-40, 41, 2):
        if n:
            sign = 1.0 if n % 4 == 0 else -1.0
            p -= sign * np.exp(-((n * a) ** 2)) * (ndtr((3 - n) * a) - ndtr(-(3 + n) * a))
    return np.clip(p, 0.0, 1.0)


# The limit law is one fixed curve: tabulate its normal quantile once on a uniform
# grid, fine enough that linear interpolation is good to 1e-5 relative in p, so a
# large array costs a few vector operations instead of the series per element.
_BM_A0, _BM_H, _BM_N = 0.15, 0.0025, 1141
_BM_Z: NDArray[np.float64] = -ndtri(
    _bm_sf_series(_BM_A0 + _BM_H * np.arange(_BM_N, dtype=np.float64))
)
_BM_A1 = _BM_A0 + _BM_H * (_BM_N - 1)


def _bm_sf(a: NDArray[np.float64]) -> NDArray[np.float64]:
    x = (np.clip(a, _BM_A0, _BM_A1) - _BM_A0) / _BM_H
    i = np.minimum(x.astype(np.intp), _BM_N - 2)
    z0 = _BM_Z[i]
    p: NDArray[np.float64] = ndtr(-(z0 + (x - i) * (_BM_Z[i + 1] - z0)))
    p[a < _BM_A0] = 1.0  # the sf is above 1 - 3e-8 there
    hi = a > _BM_A1  # beyond, the other terms are below 1e-50 of these
    ah = a[hi]
    p[hi] = 2.0 * (ndtr(-3.0 * ah) + np.exp(-4.0 * ah * ah) * ndtr(ah))
    return p


def _bm_isf(alpha: NDArray[np.float64]) -> NDArray[np.float64]:
    """Inverse of the CUSUM limit law on (0, 1), by bisection on the curve."""
    lo = np.zeros_like(alpha)
    hi = np.full_like(alpha, 10.0)
    for _ in range(60):
        mid = 0.5 * (lo + hi)
        up = _bm_sf(mid) > alpha
        lo = np.where(up, mid, lo)
        hi = np.where(up, hi, mid)
    return 0.5 * (lo + hi)


def _shifted(kind: _Kind, y: NDArray[np.float64], m: NDArray[np.float64]) -> NDArray[np.float64]:
    """y + d / sqrt(m) + d2 u^2 / m^g, u = max(y - y0, 0): increasing in y, and the bulk
    (below y0) keeps the plain shift."""
    u = np.maximum(y - _TAIL_FROM[kind], 0.0)
    d2, g = _SHIFT2[kind]
    out: NDArray[np.float64] = y + _SHIFT[kind] / np.sqrt(m) + d2 * u * u / m**g
    return out


def _unshifted(kind: _Kind, x: NDArray[np.float64], m: NDArray[np.float64]) -> NDArray[np.float64]:
    """The inverse of _shifted."""
    y0 = _TAIL_FROM[kind]
    d2, g = _SHIFT2[kind]
    r = x - _SHIFT[kind] / np.sqrt(m)
    u = np.maximum(r - y0, 0.0)
    out: NDArray[np.float64] = np.where(
        r <= y0, r, y0 + 2.0 * u / (1.0 + np.sqrt(1.0 + 4.0 * d2 / m**g * u))
    )
    return out


def _asymptotic_sf(
    kind: _Kind, s: NDArray[np.float64], m: NDArray[np.float64]
) -> NDArray[np.float64]:
    if kind == "cusum":
        return _bm_sf(_shifted(kind, s, m))
    rm = np.sqrt(m)
    p: NDArray[np.float64] = kolmogorov(_shifted(kind, rm * s, m))
    return p


def _asymptotic_isf(
    kind: _Kind, alpha: NDArray[np.float64], m: NDArray[np.float64]
) -> NDArray[np.float64]:
    if kind == "cusum":
        return _unshifted(kind, _bm_isf(alpha), m)
    x: NDArray[np.float64] = kolmogi(alpha)
    return _unshifted(kind, x, m) / np.sqrt(m)


def _row_position(m: NDArray[np.float64]) -> tuple[NDArray[np.intp], NDArray[np.float64]]:
    """Row i and weight w of m between nodes i and i + 1 (linear in 1/sqrt(m))."""
    i = np.clip(np.searchsorted(_M_GRID, m, side="right") - 1, 0, _M_GRID.size - 2)
    w = (_U[i] - 1.0 / np.sqrt(m)) / (_U[i] - _U[i + 1])
    return i, w


# m is a count, so the interpolation in m is done once for every m in the table's
# range (one row per m). A NaN column closes each row, so the branch-free binary
# search below stops there (NaN <= s is false) instead of reading the next row.
_M_LO = int(_tab.M_GRID[0])
_WIDTH = _NCOL + 1
_STEPS = tuple(1 << e for e in reversed(range((_NCOL - 1).bit_length())))


@functools.cache
def _dense(kind: _Kind) -> NDArray[np.float64]:
    ms = np.arange(_M_LO, int(_M_MAX) + 1, dtype=np.float64)
    i, w = _row_position(ms)
    node = _CV[kind].reshape(-1, _NCOL)
    rows = np.full((ms.size, _WIDTH), np.nan)
    rows[:, :_NCOL] = node[i] * (1.0 - w)[:, None] + node[i + 1] * w[:, None]
    rows.flags.writeable = False
    return rows


def _table_sf(
    kind: _Kind, s: NDArray[np.float64], m: NDArray[np.float64]
) -> tuple[NDArray[np.float64], NDArray[np.int8]]:
    """Table p-values and side flags (-1 below the row's statistics, +1 above, 0 inside)."""
    d = _dense(kind).ravel()
    base = (m.astype(np.intp) - _M_LO) * _WIDTH
    col = np.zeros(s.shape, dtype=np.intp)
    for step in _STEPS:  # col ends on the last column <= s (column 0 if none)
        col += (d[base + np.minimum(col + step, _NCOL)] <= s) * step
    k = np.minimum(col, _NCOL - 2)
    v0 = d[base + k]
    v1 = d[base + k + 1]
    with np.errstate(invalid="ignore"):
        t = np.clip((s - v0) / (v1 - v0), 0.0, 1.0)
    z0 = _Z[k]
    p = ndtr(-(z0 + t * (_Z[k + 1] - z0)))
    side = np.zeros(s.shape, dtype=np.int8)
    low = s < d[base]
    high = s > d[base + (_NCOL - 1)]
    p[low] = _P_HI
    p[high] = _P_LO
    side[low] = -1
    side[high] = 1
    return p, side


@functools.lru_cache(maxsize=4096)
def _row_list(kind: _Kind, m: int) -> list[float]:
    row: list[float] = _dense(kind)[m - _M_LO, :_NCOL].tolist()
    return row


_Z_LIST: list[float] = _Z.tolist()


def _table_sf_scalar(kind: _Kind, s: float, m: int) -> tuple[float, str | None]:
    """The same as _table_sf for one value (the report's case), in plain Python."""
    return _row_sf(_row_list(kind, m), s)


def _row_sf(row: list[float], s: float) -> tuple[float, str | None]:
    if s < row[0]:
        return _P_HI, ">"
    if s > row[_NCOL - 1]:
        return _P_LO, "<"
    k = min(bisect.bisect_right(row, s) - 1, _NCOL - 2)
    v0 = row[k]
    t = min(max((s - v0) / (row[k + 1] - v0), 0.0), 1.0)
    z0 = _Z_LIST[k]
    return _cs.ndtr(-(z0 + t * (_Z_LIST[k + 1] - z0))), None


def _counts(m: ArrayLike) -> NDArray[np.float64]:
    mm = np.asarray(m, dtype=np.float64)
    finite = np.isfinite(mm)
    if np.any(mm[finite] != np.floor(mm[finite])):
        raise ValueError("m must hold whole numbers (counts of recursive residuals)")
    return mm


def _pvalue(
    kind: _Kind, stat: ArrayLike, m: ArrayLike
) -> tuple[NDArray[np.float64], NDArray[np.object_]]:
    if (
        isinstance(stat, float)
        and isinstance(m, float)
        and (m != m or m in (math.inf, -math.inf) or m.is_integer())
    ):
        p1, b1 = _pvalue_scalar(kind, stat, m)  # the report's case: no array set-up
        return np.array(p1), np.array(b1, dtype=object)
    s_arr = np.asarray(stat, dtype=np.float64)
    m_arr = _counts(m)
    if s_arr.ndim == 0 and m_arr.ndim == 0:
        p1, b1 = _pvalue_scalar(kind, float(s_arr), float(m_arr))
        return np.array(p1), np.array(b1, dtype=object)

    s_in, m_in = np.broadcast_arrays(s_arr, m_arr)
    shape = s_in.shape
    s = s_in.ravel()
    mm = m_in.ravel()
    p = np.full(s.shape, np.nan)
    bound = np.full(s.shape, None, dtype=object)

    ok = ~np.isnan(s) & np.isfinite(mm) & (mm >= 1.0)
    p[ok & (mm < _M_MIN)] = 1.0  # a constant statistic

    tab = np.flatnonzero(ok & (mm >= _M_MIN) & (mm <= _M_MAX))
    if tab.size:
        pt, side = _table_sf(kind, s[tab], mm[tab])
        p[tab] = pt
        bound[tab[side < 0]] = ">"
        bound[tab[side > 0]] = "<"

    asy = np.flatnonzero(ok & (mm > _M_MAX))
    if asy.size:
        p[asy] = _asymptotic_sf(kind, s[asy], mm[asy])
    return p.reshape(shape), bound.reshape(shape)


def _pvalue_scalar(kind: _Kind, s: float, m: float) -> tuple[float, str | None]:
    if math.isnan(s) or not math.isfinite(m) or m < 1.0:
        return math.nan, None
    if m < _M_MIN:
        return 1.0, None
    if m > _M_MAX:
        return float(_asymptotic_sf(kind, np.array([s]), np.array([m]))[0]), None
    return _table_sf_scalar(kind, s, int(m))


def table_row(kind: _Kind, m: float) -> tuple[list[float], list[float]] | None:
    """The table's critical values at m and their normal quantiles, which
    _row_sf interpolates; None where m is outside the table."""
    if math.isfinite(m) and _M_MIN <= m <= _M_MAX:
        return _row_list(kind, int(m)), _Z_LIST
    return None


def scalar_sf(kind: _Kind, m: float) -> Callable[[float], tuple[float, str | None]]:
    """_pvalue_scalar at a fixed m, as a function of the statistic alone (the
    same bits): the table's row is looked up once for many series."""
    rz = table_row(kind, m)
    if rz is not None:
        row = rz[0]
        return lambda s: (math.nan, None) if s != s else _row_sf(row, s)
    return functools.partial(_pvalue_scalar, kind, m=m)


def _critical_value(kind: _Kind, alpha: ArrayLike, m: ArrayLike) -> NDArray[np.float64]:
    a_in, m_in = np.broadcast_arrays(np.asarray(alpha, dtype=np.float64), _counts(m))
    shape = a_in.shape
    a = a_in.ravel()
    mm = m_in.ravel()
    out = np.full(a.shape, np.nan)

    tab = np.flatnonzero((mm >= _M_MIN) & (mm <= _M_MAX) & (a >= _P_LO) & (a <= _P_HI))
    if tab.size:
        d = _dense(kind).ravel()
        base = (mm[tab].astype(np.intp) - _M_LO) * _WIDTH
        z = -ndtri(a[tab])
        k = np.clip(np.searchsorted(_Z, z, side="right") - 1, 0, _NCOL - 2)
        v0 = d[base + k]
        t = (z - _Z[k]) / (_Z[k + 1] - _Z[k])
        out[tab] = v0 + t * (d[base + k + 1] - v0)

    asy = np.flatnonzero((mm > _M_MAX) & np.isfinite(mm) & (a > 0.0) & (a < 1.0))
    if asy.size:
        out[asy] = _asymptotic_isf(kind, a[asy], mm[asy])
    return out.reshape(shape)


def cusum_pvalue(stat: ArrayLike, m: ArrayLike) -> tuple[NDArray[np.float64], NDArray[np.object_]]:
    """Null p-value of the CUSUM statistic (``_diag.cusum_stat``) with m recursive residuals.

    ``stat`` and ``m`` broadcast against each other; ``m`` holds whole numbers
    (a non-integral value raises ValueError). Returns ``(p, bound)``, arrays of
    the broadcast shape: ``p`` float64; ``bound`` an object array holding None,
    or ``"<"`` when the statistic lies beyond the table's smallest tail
    probability, 1e-14 (p is that edge and the true p-value is smaller), or
    ``">"`` at the other edge, 0.999. NaN ``stat``, NaN or infinite ``m`` and
    ``m < 1`` give NaN and None; m = 1 gives 1.0. Beyond the tabulated m the shifted asymptotic law is
    used and the bound is always None.
    """
    return _pvalue("cusum", stat, m)


def cusumsq_pvalue(
    stat: ArrayLike, m: ArrayLike
) -> tuple[NDArray[np.float64], NDArray[np.object_]]:
    """Null p-value of the CUSUM-of-squares statistic (``_diag.cusumsq_stat``).

    ``m`` is the count of recursive residuals (the second item ``cusumsq_stat``
    returns). Conventions as :func:`cusum_pvalue`.
    """
    return _pvalue("cusumsq", stat, m)


def cusum_critical_value(alpha: ArrayLike, m: ArrayLike) -> NDArray[np.float64]:
    """CUSUM statistic exceeded with probability ``alpha`` under the null, m residuals.

    The inverse of :func:`cusum_pvalue` in ``stat``: the 5% band of a plot is
    ``cusum_critical_value(0.05, m) * (sqrt(m) + 2j/sqrt(m))``. NaN where alpha
    lies outside the tabulated tail probabilities (for m within the table) or
    outside (0, 1), and for m < 2.
    """
    return _critical_value("cusum", alpha, m)


def cusumsq_critical_value(alpha: ArrayLike, m: ArrayLike) -> NDArray[np.float64]:
    """CUSUM-of-squares statistic exceeded with probability ``alpha`` under the null.

    The band of the plot is ``(j + 1)/m +- sqrt(2) * cusumsq_critical_value(alpha, m)``
    around the expected path. Conventions as :func:`cusum_critical_value`.
    """
    return _critical_value("cusumsq", alpha, m)
