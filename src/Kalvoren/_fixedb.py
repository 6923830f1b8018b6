"""Fixed-b p-values of the Bartlett-kernel HAC Wald statistic, and the
Lazarus-Lewis-Stock-Watson bandwidth.

The statistic is W = b_s' V_ss^-1 b_s with V the sandwich built from the
Bartlett weights 1 - j/M, M = lags + 1, over lags j < M. Kiefer and Vogelsang
(2005) keep b = M/n fixed as n grows: then W tends to Z' Q(b)^-1 Z with Z a
standard normal q-vector and Q(b) the Bartlett estimator of a Brownian bridge,
independent of Z; chi2(q), the usual reference, is its b -> 0 limit and
rejects too often once b is not tiny.

No closed form of that law is known; the approximation here refers W/(q kappa)
to an F(d1, K) law, as Sun (2014, "Let's fix it") does with d1 = q:

* x = mu2/mu1^2 is the squared coefficient of variation of the estimator in
  the limit, mu1 = 1 - b + b^2/3 its mean and mu2 = int int (demeaned kernel)^2;
  K = 1/x + (K0 + K1 q) x^2/(x^2 + KH^2), so K ~ 3/(2b) as b -> 0 (Sun's
  1/(b c2), and Lazarus et al.'s nu = 3T/(2S));
* d1 = q (1 - (1 - R0 - R1/q^2) x^2/(x^2 + (D0 (1 + D1/q))^2)) <= q: the bridge
  spreads the eigenvalues of Q, so W is less spread than q F;
* kappa = exp(s(b, q))/mu1 with s tabulated over a grid of b for q = 1..20 and
  interpolated by monotone cubics; s(0, q) = 0, so b -> 0 gives chi2(q).

The constants and the table come from `scripts/make_fixedb_table.py`: the
fixed-b law simulated exactly (eigen-expansion of the demeaned Bartlett kernel,
10^5 draws for every b of the grid and q <= 20), the forms of K and d1 fitted to
its tail probabilities 0.3 .. 0.001 over the whole grid, then s fitted for each
(b, q). Against independent draws the approximation's level at a nominal 5% lies
within 4.8% and 5.3% (1%: 0.94% and 1.2%) for every b <= 1 and q <= 20 tried.

Finite n: the discrete weights have sum of squares M c2 + 1/(3M), not M c2, so
mu2 gains 1/(3 M n) (exact for lags = 0, where the statistic is Hotelling's T^2
of the scores up to scale). With M >= n every lag is weighted and, the scores
x_t e_t summing to zero, the estimator is n/M times the one at M = n: W is then
referred to the law at b = 1 after scaling by n/M, exactly. Beyond q = 20 the
scale is extrapolated, its last increment falling as 1/q.
"""

from __future__ import annotations

import bisect
import math

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy import special

__all__ = ["hac_wald_pvalue", "hac_wald_pvalue_one", "llsw_lags"]

# K and d1 (scripts/make_fixedb_table.py --fit-forms)
K0, K1, KH2 = 1.783, 3.567, 0.1013**2
R0, R1, D0, D1 = 0.5366, 0.2720, 0.03939, 3.847
# F(q, K) q is chi2(q) to double precision long before; fdtrc gives NaN at K = inf
K_CAP = 1e15

# fmt: off
_B_GRID = (
    0.0, 0.005, 0.01, 0.02, 0.03, 0.04, 0.05, 0.0625, 0.075, 0.0875, 0.1, 0.125, 0.15, 0.175,
    0.2, 0.225, 0.25, 0.3, 0.35, 0.4, 0.45, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0,
)
# s(b, q) = log(kappa mu1): one row per b of _B_GRID, one column per q = 1..20
_LOG_SCALE = (
    (0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0),
    (-0.00178, 0.00914, 0.01449, 0.01712, 0.02071, 0.02186, 0.02317, 0.02520, 0.02752, 0.03029, 0.03447, 0.03863, 0.04282, 0.04668, 0.05011, 0.05263, 0.05713, 0.06028, 0.06437, 0.06765),
    (-0.00175, 0.01219, 0.02104, 0.02680, 0.03395, 0.03802, 0.04242, 0.04843, 0.05404, 0.06120, 0.06904, 0.07720, 0.08480, 0.09229, 0.09837, 0.10578, 0.11422, 0.12078, 0.12859, 0.13585),
    (-0.00180, 0.01772, 0.03246, 0.04498, 0.05840, 0.06804, 0.07985, 0.09364, 0.10762, 0.12233, 0.13753, 0.15325, 0.16692, 0.18341, 0.19711, 0.21211, 0.22796, 0.24265, 0.25872, 0.27427),
    (-0.00276, 0.02155, 0.04222, 0.06138, 0.08206, 0.09820, 0.11818, 0.13908, 0.16177, 0.18486, 0.20819, 0.23209, 0.25485, 0.28030, 0.30295, 0.32605, 0.34991, 0.37455, 0.39819, 0.42261),
    (-0.00552, 0.02383, 0.05054, 0.07740, 0.10499, 0.12944, 0.15777, 0.18691, 0.21805, 0.25024, 0.28307, 0.31613, 0.34752, 0.38271, 0.41459, 0.44623, 0.47922, 0.51321, 0.54462, 0.57753),
    (-0.00736, 0.02695, 0.05891, 0.09444, 0.12953, 0.16292, 0.20125, 0.23880, 0.27998, 0.32011, 0.36261, 0.40470, 0.44604, 0.48974, 0.53104, 0.57147, 0.61288, 0.65436, 0.69419, 0.73376),
    (-0.00770, 0.03238, 0.07281, 0.11888, 0.16477, 0.21085, 0.26121, 0.31080, 0.36481, 0.41691, 0.46982, 0.52315, 0.57565, 0.62964, 0.68057, 0.72916, 0.77918, 0.82917, 0.87594, 0.92205),
    (-0.00799, 0.03851, 0.09069, 0.14770, 0.20543, 0.26479, 0.32732, 0.38889, 0.45681, 0.51877, 0.58265, 0.64563, 0.70729, 0.76994, 0.82782, 0.88349, 0.93918, 0.99484, 1.04617, 1.09575),
    (-0.00798, 0.04763, 0.11171, 0.18068, 0.25231, 0.32535, 0.39845, 0.47174, 0.55159, 0.62380, 0.69633, 0.76739, 0.83633, 0.90506, 0.96812, 1.02798, 1.08751, 1.14637, 1.19969, 1.25205),
    (-0.00492, 0.05919, 0.13697, 0.21807, 0.30262, 0.38838, 0.47305, 0.55661, 0.64643, 0.72738, 0.80666, 0.88461, 0.95818, 1.03129, 1.09773, 1.15963, 1.22133, 1.28094, 1.33555, 1.38835),
    (0.00179, 0.08914, 0.19330, 0.30151, 0.41115, 0.52036, 0.62412, 0.72397, 0.82884, 0.92094, 1.01001, 1.09350, 1.17245, 1.24929, 1.31757, 1.38078, 1.44362, 1.50363, 1.55791, 1.61027),
    (0.01362, 0.12591, 0.25755, 0.38953, 0.52284, 0.64878, 0.76733, 0.87804, 0.99011, 1.08835, 1.18040, 1.26645, 1.34654, 1.42382, 1.49184, 1.55467, 1.61656, 1.67493, 1.72926, 1.78077),
    (0.02967, 0.16700, 0.32291, 0.47574, 0.62795, 0.76662, 0.89559, 1.01381, 1.12825, 1.22822, 1.32049, 1.40663, 1.48577, 1.56352, 1.63037, 1.69259, 1.75348, 1.81133, 1.86417, 1.91505),
    (0.04769, 0.21039, 0.38853, 0.55786, 0.72422, 0.87197, 1.00689, 1.12793, 1.24408, 1.34402, 1.43503, 1.52113, 1.59945, 1.67601, 1.74255, 1.80380, 1.86400, 1.92083, 1.97304, 2.02350),
    (0.06761, 0.25392, 0.45189, 0.63474, 0.81223, 0.96447, 1.10238, 1.22478, 1.34006, 1.43966, 1.53121, 1.61618, 1.69357, 1.76893, 1.83474, 1.89502, 1.95487, 2.01066, 2.06269, 2.11273),
    (0.08622, 0.29496, 0.51134, 0.70589, 0.88936, 1.04608, 1.18449, 1.30759, 1.42137, 1.52090, 1.61079, 1.69541, 1.77203, 1.84666, 1.91158, 1.97111, 2.03053, 2.08619, 2.13748, 2.18727),
    (0.12296, 0.37129, 0.61479, 0.82486, 1.01766, 1.17521, 1.31456, 1.43587, 1.54860, 1.64609, 1.73499, 1.81886, 1.89356, 1.96710, 2.03132, 2.09114, 2.14955, 2.20487, 2.25657, 2.30577),
    (0.15655, 0.43917, 0.69995, 0.91860, 1.11375, 1.27154, 1.40966, 1.52951, 1.64166, 1.73811, 1.82588, 1.90832, 1.98327, 2.05702, 2.12106, 2.18017, 2.23854, 2.29437, 2.34518, 2.39483),
    (0.18854, 0.49473, 0.76881, 0.99091, 1.18611, 1.34458, 1.48103, 1.59930, 1.71038, 1.80668, 1.89438, 1.97726, 2.05150, 2.12451, 2.18873, 2.24769, 2.30632, 2.36167, 2.41280, 2.46207),
    (0.21712, 0.53946, 0.82185, 1.04603, 1.24068, 1.39719, 1.53249, 1.64992, 1.76135, 1.85782, 1.94552, 2.02773, 2.10198, 2.17556, 2.23964, 2.29903, 2.35752, 2.41269, 2.46403, 2.51367),
    (0.24021, 0.57716, 0.86290, 1.08872, 1.28240, 1.43772, 1.57181, 1.68985, 1.80074, 1.89637, 1.98392, 2.06630, 2.14082, 2.21447, 2.27860, 2.33734, 2.39609, 2.45147, 2.50277, 2.55219),
    (0.26986, 0.62586, 0.91557, 1.14401, 1.33549, 1.49102, 1.62608, 1.74388, 1.85463, 1.95031, 2.03795, 2.12024, 2.19448, 2.26762, 2.33195, 2.39089, 2.44943, 2.50485, 2.55596, 2.60529),
    (0.28127, 0.64647, 0.93869, 1.16645, 1.35890, 1.51434, 1.65034, 1.76782, 1.87897, 1.97450, 2.06225, 2.14471, 2.21953, 2.29263, 2.35688, 2.41576, 2.47433, 2.52987, 2.58124, 2.63044),
    (0.28219, 0.64890, 0.94001, 1.16789, 1.36195, 1.51875, 1.65418, 1.77231, 1.88357, 1.98000, 2.06792, 2.14999, 2.22493, 2.29824, 2.36253, 2.42151, 2.47963, 2.53571, 2.58678, 2.63576),
    (0.28039, 0.64517, 0.93277, 1.15978, 1.35185, 1.50895, 1.64433, 1.76329, 1.87494, 1.97116, 2.05898, 2.14205, 2.21672, 2.29046, 2.35499, 2.41428, 2.47292, 2.52836, 2.57981, 2.62893),
    (0.27974, 0.64278, 0.92959, 1.15439, 1.34515, 1.50046, 1.63572, 1.75352, 1.86452, 1.96086, 2.04864, 2.13070, 2.20530, 2.27880, 2.34287, 2.40207, 2.46055, 2.51614, 2.56737, 2.61657),
)
# fmt: on
Q_MAX = len(_LOG_SCALE[0])


def _pchip_slopes(x: NDArray[np.float64], y: NDArray[np.float64]) -> NDArray[np.float64]:
    """Fritsch-Carlson slopes at the nodes (monotone where the data are)."""
    h = np.diff(x)
    d = np.diff(y, axis=0) / h[:, None]
    m = np.zeros_like(y)
    w1 = (2.0 * h[1:] + h[:-1])[:, None]
    w2 = (h[1:] + 2.0 * h[:-1])[:, None]
    same = d[:-1] * d[1:] > 0.0
    with np.errstate(divide="ignore", invalid="ignore"):
        inner = (w1 + w2) / (w1 / d[:-1] + w2 / d[1:])
    m[1:-1] = np.where(same, inner, 0.0)
    for end, (dk, dn, hk, hn) in (
        (0, (d[0], d[1], h[0], h[1])),
        (-1, (d[-1], d[-2], h[-1], h[-2])),
    ):
        e = ((2.0 * hk + hn) * dk - hk * dn) / (hk + hn)
        e = np.where(np.sign(e) != np.sign(dk), 0.0, e)
        e = np.where((np.sign(dk) != np.sign(dn)) & (np.abs(e) > np.abs(3.0 * dk)), 3.0 * dk, e)
        m[end] = e
    return m


_BX = np.asarray(_B_GRID)
_S = np.asarray(_LOG_SCALE)
_SLOPE = _pchip_slopes(_BX, _S)
# Python lists for the scalar path (same numbers, read without NumPy)
_B_LIST = list(_B_GRID)
_S_LIST = _S.tolist()
_M_LIST = _SLOPE.tolist()


def _mu2_lo(b):
    return b * (2.0 / 3.0 + b * (-7.0 / 6.0 + b * (7.0 / 15.0 + b / 9.0)))


def _mu2_hi(b):
    bb = b * b
    return (bb * (b * (b * (b * (b * 10.0 - 54.0) + 135.0) - 180.0) + 120.0) - 30.0 * b + 3.0) / (
        90.0 * bb
    )


def _mu2(b: float) -> float:
    """int int (demeaned Bartlett kernel)^2 over the unit square, 0 < b <= 1."""
    return _mu2_lo(b) if b <= 0.5 else _mu2_hi(b)


def _df(x, q):
    """(K, d1) from the squared coefficient of variation x; floats or arrays alike."""
    x2 = x * x
    K = 1.0 / x + (K0 + K1 * q) * x2 / (x2 + KH2)
    hd = D0 * (1.0 + D1 / q)
    return K, q * (1.0 - (1.0 - R0 - R1 / (q * q)) * x2 / (x2 + hd * hd))


def _hermite(y0, y1, m0, m1, h, t):
    u = 1.0 - t
    return (y0 * (1.0 + 2.0 * t) + h * m0 * t) * u * u + (
        y1 * (3.0 - 2.0 * t) + h * m1 * (t - 1.0)
    ) * t * t


def _extrapolate(s20, s19, q):
    """The scale beyond the table: its last increment falling as 1/q."""
    return s20 + 20.0 * (s20 - s19) * special.log1p((q - 20.0) / 20.0)


def _whole(v: float, lo: float) -> bool:
    return math.isfinite(v) and v >= lo and v == math.floor(v)


def hac_wald_pvalue_one(stat: float, q: int, lags: int, n: int) -> float:
    """hac_wald_pvalue for one statistic, on Python floats (the same bits)."""
    w, qf, lf, nf = float(stat), float(q), float(lags), float(n)
    if math.isnan(w) or not (_whole(qf, 1.0) and _whole(lf, 0.0) and _whole(nf, 1.0)):
        return math.nan
    b = (lf + 1.0) / nf
    M = lf + 1.0
    if b > 1.0:
        w = w / b
        b, M = 1.0, nf
    mu1 = 1.0 - b + b * b / 3.0
    mu2 = (_mu2_lo(b) if b <= 0.5 else _mu2_hi(b)) + 1.0 / (3.0 * M * nf)
    K, d1 = _df(mu2 / (mu1 * mu1), qf)
    K = min(K, K_CAP)
    i = min(bisect.bisect_right(_B_LIST, b) - 1, len(_B_LIST) - 2)
    h = _B_LIST[i + 1] - _B_LIST[i]
    t = (b - _B_LIST[i]) / h
    lo, hi, mlo, mhi = _S_LIST[i], _S_LIST[i + 1], _M_LIST[i], _M_LIST[i + 1]
    c = min(int(qf), Q_MAX) - 1
    s = _hermite(lo[c], hi[c], mlo[c], mhi[c], h, t)
    if qf > Q_MAX:
        s19 = _hermite(lo[c - 1], hi[c - 1], mlo[c - 1], mhi[c - 1], h, t)
        s = float(_extrapolate(s, s19, qf))
    e = float(special.expm1(s)) + 1.0
    return float(special.fdtrc(d1, K, w * mu1 / (qf * e)))


def hac_wald_pvalue(
    stat: ArrayLike, q: ArrayLike, lags: ArrayLike, n: ArrayLike
) -> NDArray[np.float64]:
    """Fixed-b p-value of the Bartlett HAC Wald statistic of q restrictions.

    stat: W = b' V^-1 b with V the Bartlett sandwich (weights 1 - j/(lags + 1),
    no small-sample factor) from n observations. The four arguments broadcast;
    q, lags and n hold whole numbers (q >= 1, lags >= 0, n >= 1). NaN where stat
    is NaN or negative or another argument is out of range. As (lags + 1)/n -> 0
    the p-value tends to the chi2(q) one. See the module docstring for the law.
    """
    arrs = np.broadcast_arrays(*(np.asarray(a, dtype=np.float64) for a in (stat, q, lags, n)))
    shape = arrs[0].shape
    w, qa, la, na = (a.ravel() for a in arrs)
    out = np.full(w.shape, np.nan)
    with np.errstate(invalid="ignore"):
        ok = ~np.isnan(w)
        for a, lo in ((qa, 1.0), (la, 0.0), (na, 1.0)):
            ok &= np.isfinite(a) & (a >= lo) & (a == np.floor(a))
    idx = np.flatnonzero(ok)
    if idx.size:
        # both branches of the mu2 and b > 1 selections are formed everywhere
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            out[idx] = _pvalue(w[idx], qa[idx], la[idx], na[idx])
    return out.reshape(shape)


def _pvalue(w: NDArray, q: NDArray, lags: NDArray, n: NDArray) -> NDArray[np.float64]:
    b = (lags + 1.0) / n
    M = lags + 1.0
    big = b > 1.0
    w = np.where(big, w / b, w)
    M = np.where(big, n, M)
    b = np.where(big, 1.0, b)
    mu1 = 1.0 - b + b * b / 3.0
    mu2 = np.where(b <= 0.5, _mu2_lo(b), _mu2_hi(b)) + 1.0 / (3.0 * M * n)
    K, d1 = _df(mu2 / (mu1 * mu1), q)
    K = np.minimum(K, K_CAP)
    i = np.minimum(np.searchsorted(_BX, b, side="right") - 1, _BX.size - 2)
    h = _BX[i + 1] - _BX[i]
    t = (b - _BX[i]) / h
    c = np.minimum(q, Q_MAX).astype(np.intp) - 1
    s = _hermite(_S[i, c], _S[i + 1, c], _SLOPE[i, c], _SLOPE[i + 1, c], h, t)
    far = q > Q_MAX
    if far.any():
        j, cf = i[far], c[far] - 1
        s19 = _hermite(_S[j, cf], _S[j + 1, cf], _SLOPE[j, cf], _SLOPE[j + 1, cf], h[far], t[far])
        s[far] = _extrapolate(s[far], s19, q[far])
    e = special.expm1(s) + 1.0
    return special.fdtrc(d1, K, w * mu1 / (q * e))


def llsw_lags(n: ArrayLike) -> np.int64 | NDArray[np.int64]:
    """Lazarus, Lewis, Stock and Watson's (2018) Newey-West truncation S = 1.3 sqrt(n)
    as lags: their weights 1 - |j|/S are ours with M = lags + 1 = S. S is rounded to
    the nearest whole number (halves up), which keeps b = M/n nearest their
    1.3/sqrt(n); lags = S - 1, at least 0 and at most n - 1 (0 for n < 1).

    n: whole numbers (int or float arrays); anything else raises ValueError.
    Returns int64, shaped like n.
    """
    a = np.asarray(n)
    if a.dtype.kind not in "iu":
        f = np.asarray(a, dtype=np.float64)
        with np.errstate(invalid="ignore"):
            if not np.all(np.isfinite(f) & (f == np.floor(f))):
                raise ValueError("n must hold whole numbers")
        if np.any(np.abs(f) >= 2.0**62):
            raise ValueError("n is too large")
    nn = np.asarray(a, dtype=np.int64)
    m = np.floor(1.3 * np.sqrt(np.maximum(nn, 0).astype(np.float64)) + 0.5).astype(np.int64)
    # settle the rounding exactly: m is the nearest whole number to 13 sqrt(n)/10
    # (halves up) iff 25 (2m - 1)^2 <= 169 n < 25 (2m + 1)^2; exact in int64 below 2^50
    small = nn < (1 << 50)
    ns, ms = np.where(small, nn, 0), np.where(small, m, 0)
    ms = np.where(25 * (2 * ms - 1) ** 2 > 169 * ns, ms - 1, ms)
    ms = np.where(25 * (2 * ms + 1) ** 2 <= 169 * ns, ms + 1, ms)
    m = np.where(small, ms, m)
    lags = np.clip(m - 1, 0, np.maximum(nn - 1, 0))
    return lags[()] if lags.ndim == 0 else lags
