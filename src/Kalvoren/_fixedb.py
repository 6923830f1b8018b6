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

* x = mu2/mu1^2, half the squared coefficient of variation of the limiting
  estimator: mu1 = 1 - b + b^2/3 its mean, mu2 = int int (demeaned kernel)^2;
  K = 1/x + (K0 + K1 q) x^2/(x^2 + KH^2), so K ~ 3/(2b) as b -> 0 (Sun's
  1/(b c2), and Lazarus et al.'s nu = 3T/(2S));
* d1 = q (1 - (1 - R0 - R1/q^2) x^2/(x^2 + (D0 (1 + D1/q))^2)) <= q: the bridge
  spreads the eigenvalues of Q, so W is less spread than q F;
* kappa = exp(s(b, q))/mu1 with s tabulated over a grid of b for q = 1..20 and
  interpolated by monotone cubics; s(0, q) = 0, so b -> 0 gives chi2(q).

The constants and the table come from `scripts/make_fixedb_table.py`: the
fixed-b law simulated exactly (eigen-expansion of the demeaned Bartlett kernel,
two runs of 10^5 draws for every b of the grid and q <= 20), the forms of K and
d1 fitted to its tail probabilities 0.3 .. 0.001 over the whole grid, then s
fitted for each (b, q). Checked on fresh draws (its --validate) at twelve b off
the grid from 0.015 to 0.85 and q = 1, 2, 3, 5, 10, 20, a test at a nominal 5%
rejects 4.82% to 5.16% of the time (1%: 0.87% to 1.05%). Sun's F(q, 1/(b c2) -
q + 1) does as well only for b below about 0.05; its level falls towards 0 as b
and q grow (0.15% at b = 0.55, q = 2).

Finite n: the discrete weights have sum of squares M c2 + 1/(3M), not M c2, so
mu2 gains 1/(3 M n); it matters at small M (at lags = 0 it takes K from 3n/2 to
about n, the degrees of freedom of the Hotelling T^2 the statistic then is in
the location model). With M >= n every lag is weighted and, the scores x_t e_t
summing to zero, the estimator is n/M times the one at M = n: W is then referred
to the law at b = 1 after scaling by n/M, exactly. Beyond q = 20 the
scale is extrapolated (see _tail); at q = 25, 30, 40 the 5% test rejected 3.0%
to 5.3% of the time, erring on the safe side where it errs.
"""

from __future__ import annotations

import bisect
import functools
import math
from typing import Callable, TypeAlias, TypeVar

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy import special
from scipy.special import cython_special as _cs

Arr: TypeAlias = NDArray[np.float64]
# the helpers below are plain arithmetic, run on floats (the scalar path) and on
# arrays (the vector path) alike, so both give the same bits
F = TypeVar("F", float, Arr)

__all__ = [
    "hac_wald_pvalue",
    "hac_wald_pvalue_one",
    "hac_wald_pvalue_bandwidth",
    "hac_wald_pvalue_bandwidth_one",
    "llsw_lags",
]

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
    (0.00152, 0.00659, 0.00896, 0.01107, 0.01434, 0.01835, 0.02079, 0.02307, 0.02594, 0.02902, 0.03283, 0.03712, 0.04074, 0.04484, 0.04907, 0.05217, 0.05685, 0.06032, 0.06377, 0.06765),
    (0.00171, 0.00975, 0.01520, 0.02080, 0.02740, 0.03432, 0.04012, 0.04629, 0.05289, 0.06002, 0.06726, 0.07564, 0.08258, 0.09045, 0.09759, 0.10504, 0.11346, 0.12035, 0.12808, 0.13604),
    (0.00116, 0.01509, 0.02665, 0.03881, 0.05152, 0.06416, 0.07786, 0.09133, 0.10645, 0.12044, 0.13493, 0.15038, 0.16442, 0.18081, 0.19535, 0.21057, 0.22637, 0.24132, 0.25784, 0.27376),
    (0.00067, 0.01887, 0.03607, 0.05493, 0.07486, 0.09420, 0.11611, 0.13683, 0.15998, 0.18215, 0.20493, 0.22884, 0.25197, 0.27665, 0.30029, 0.32355, 0.34745, 0.37174, 0.39675, 0.42119),
    (-0.00127, 0.02199, 0.04433, 0.07081, 0.09817, 0.12531, 0.15604, 0.18454, 0.21638, 0.24731, 0.27946, 0.31299, 0.34542, 0.37913, 0.41167, 0.44365, 0.47657, 0.50981, 0.54283, 0.57562),
    (-0.00293, 0.02480, 0.05299, 0.08809, 0.12266, 0.15873, 0.19956, 0.23632, 0.27782, 0.31738, 0.35980, 0.40256, 0.44487, 0.48671, 0.52826, 0.56914, 0.61010, 0.65071, 0.69178, 0.73138),
    (-0.00411, 0.03042, 0.06655, 0.11307, 0.15828, 0.20631, 0.25861, 0.30788, 0.36143, 0.41338, 0.46695, 0.52115, 0.57463, 0.62689, 0.67835, 0.72785, 0.77731, 0.82576, 0.87408, 0.92029),
    (-0.00407, 0.03715, 0.08374, 0.14227, 0.19933, 0.26009, 0.32419, 0.38595, 0.45256, 0.51550, 0.57952, 0.64411, 0.70644, 0.76738, 0.82640, 0.88250, 0.93796, 0.99206, 1.04467, 1.09460),
    (-0.00402, 0.04644, 0.10368, 0.17532, 0.24533, 0.31932, 0.39488, 0.46855, 0.54705, 0.61996, 0.69321, 0.76611, 0.83527, 0.90283, 0.96710, 1.02748, 1.08655, 1.14389, 1.19841, 1.25080),
    (-0.00141, 0.05811, 0.12761, 0.21207, 0.29514, 0.38176, 0.46936, 0.55389, 0.64178, 0.72344, 0.80393, 0.88307, 0.95742, 1.02871, 1.09647, 1.15929, 1.22043, 1.27851, 1.33469, 1.38721),
    (0.00664, 0.08769, 0.18327, 0.29453, 0.40273, 0.51209, 0.61958, 0.72099, 0.82339, 0.91692, 1.00706, 1.09222, 1.17203, 1.24682, 1.31669, 1.38098, 1.44347, 1.50165, 1.55729, 1.60951),
    (0.01963, 0.12412, 0.24646, 0.38165, 0.51284, 0.63981, 0.76115, 0.87399, 0.98471, 1.08395, 1.17783, 1.26584, 1.34659, 1.42142, 1.49122, 1.55502, 1.61682, 1.67405, 1.72881, 1.78035),
    (0.03599, 0.16534, 0.31176, 0.46838, 0.61778, 0.75717, 0.88867, 1.00850, 1.12237, 1.22363, 1.31765, 1.40565, 1.48598, 1.56076, 1.62966, 1.69262, 1.75343, 1.81002, 1.86381, 1.91456),
    (0.05369, 0.20869, 0.37749, 0.55106, 0.71395, 0.86245, 0.99963, 1.12272, 1.23810, 1.33947, 1.43253, 1.52005, 1.59954, 1.67310, 1.74130, 1.80355, 1.86376, 1.91962, 1.97271, 2.02303),
    (0.07401, 0.25140, 0.44088, 0.62828, 0.80104, 0.95495, 1.09496, 1.21958, 1.33459, 1.43561, 1.52829, 1.61489, 1.69338, 1.76598, 1.83354, 1.89486, 1.95446, 2.00943, 2.06229, 2.11209),
    (0.09234, 0.29267, 0.50011, 0.69947, 0.87881, 1.03620, 1.17734, 1.30204, 1.41589, 1.51667, 1.60829, 1.69408, 1.77204, 1.84377, 1.91036, 1.97093, 2.03014, 2.08500, 2.13711, 2.18664),
    (0.13038, 0.36827, 0.60404, 0.81849, 1.00686, 1.16597, 1.30693, 1.43031, 1.54324, 1.64161, 1.73241, 1.81714, 1.89352, 1.96483, 2.03037, 2.09108, 2.14917, 2.20369, 2.25594, 2.30524),
    (0.16525, 0.43543, 0.68977, 0.91264, 1.10274, 1.26291, 1.40294, 1.52446, 1.63613, 1.73363, 1.82268, 1.90697, 1.98320, 2.05412, 2.12010, 2.17989, 2.23812, 2.29267, 2.34460, 2.39389),
    (0.19565, 0.49115, 0.75821, 0.98532, 1.17577, 1.33533, 1.47401, 1.59462, 1.70495, 1.80223, 1.89184, 1.97588, 2.05155, 2.12219, 2.18776, 2.24755, 2.30588, 2.36036, 2.41219, 2.46159),
    (0.22363, 0.53635, 0.81158, 1.04010, 1.23008, 1.38804, 1.52560, 1.64515, 1.75592, 1.85326, 1.94250, 2.02651, 2.10219, 2.17318, 2.23876, 2.29883, 2.35716, 2.41125, 2.46340, 2.51289),
    (0.24583, 0.57427, 0.85286, 1.08261, 1.27154, 1.42855, 1.56543, 1.68524, 1.79520, 1.89220, 1.98117, 2.06497, 2.14087, 2.21153, 2.27715, 2.33727, 2.39553, 2.44998, 2.50219, 2.55142),
    (0.27468, 0.62318, 0.90628, 1.13717, 1.32496, 1.48157, 1.61904, 1.73865, 1.84857, 1.94573, 2.03510, 2.11894, 2.19468, 2.26527, 2.33080, 2.39085, 2.44919, 2.50336, 2.55554, 2.60478),
    (0.28591, 0.64410, 0.92954, 1.15993, 1.34810, 1.50533, 1.64317, 1.76314, 1.87334, 1.97007, 2.05942, 2.14340, 2.21952, 2.28997, 2.35585, 2.41567, 2.47408, 2.52831, 2.58071, 2.62991),
    (0.28708, 0.64722, 0.93115, 1.16164, 1.35090, 1.50926, 1.64712, 1.76762, 1.87820, 1.97531, 2.06484, 2.14896, 2.22514, 2.29585, 2.36140, 2.42129, 2.47941, 2.53418, 2.58613, 2.63516),
    (0.28474, 0.64219, 0.92327, 1.15262, 1.34074, 1.49935, 1.63722, 1.75803, 1.86903, 1.96674, 2.05644, 2.14077, 2.21683, 2.28799, 2.35393, 2.41416, 2.47272, 2.52703, 2.57928, 2.62854),
    (0.28412, 0.63982, 0.91967, 1.14764, 1.33432, 1.49117, 1.62868, 1.74864, 1.85888, 1.95619, 2.04576, 2.12940, 2.20536, 2.27619, 2.34189, 2.40194, 2.46028, 2.51454, 2.56671, 2.61603),
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


def _mu2_lo(b: F) -> F:
    return b * (2.0 / 3.0 + b * (-7.0 / 6.0 + b * (7.0 / 15.0 + b / 9.0)))


def _mu2_hi(b: F) -> F:
    bb = b * b
    return (bb * (b * (b * (b * (b * 10.0 - 54.0) + 135.0) - 180.0) + 120.0) - 30.0 * b + 3.0) / (
        90.0 * bb
    )


def _mu2(b: float) -> float:
    """int int (demeaned Bartlett kernel)^2 over the unit square, 0 < b <= 1."""
    return _mu2_lo(b) if b <= 0.5 else _mu2_hi(b)


def _df(x: F, q: F) -> tuple[F, F]:
    """(K, d1) from x = mu2/mu1^2 and q."""
    x2 = x * x
    K = 1.0 / x + (K0 + K1 * q) * x2 / (x2 + KH2)
    hd = D0 * (1.0 + D1 / q)
    return K, q * (1.0 - (1.0 - R0 - R1 / (q * q)) * x2 / (x2 + hd * hd))


def _hermite(y0: F, y1: F, m0: F, m1: F, h: F, t: F) -> F:
    u = 1.0 - t
    return (y0 * (1.0 + 2.0 * t) + h * m0 * t) * u * u + (
        y1 * (3.0 - 2.0 * t) + h * m1 * (t - 1.0)
    ) * t * t


# Beyond the table the scale grows by increments A/(1 + qB): constant while q is
# small against 1/b, falling as 1/q beyond, with A and B matched to the table's
# increments at q = 15.5 and 19.5 (B = 0 where they do not fall).
_B_MAX = 1e3


def _tail_b(d20: float, d16: float) -> float:
    if not (d20 > 0.0 and d16 > 0.0):
        return 0.0
    r = d16 / d20
    if r >= 19.5 / 15.5:
        return _B_MAX
    return min(max((r - 1.0) / (19.5 - 15.5 * r), 0.0), _B_MAX)


def _tail(s20: float, d20: float, B: float, q: float) -> float:
    x = q - 20.0
    z = x * B / (1.0 + 20.0 * B)
    phi = _cs.log1p(z) / z if z > 1e-8 else 1.0 - z / 2.0
    return s20 + max(d20, 0.0) * (1.0 + 19.5 * B) * x / (1.0 + 20.0 * B) * phi


def _tail_arr(s20: Arr, d20: Arr, d16: Arr, q: Arr) -> Arr:
    r = d16 / d20
    B = np.minimum(np.maximum((r - 1.0) / (19.5 - 15.5 * r), 0.0), _B_MAX)
    B = np.where(r >= 19.5 / 15.5, _B_MAX, B)
    B = np.where((d20 > 0.0) & (d16 > 0.0), B, 0.0)
    x = q - 20.0
    z = x * B / (1.0 + 20.0 * B)
    phi = np.where(z > 1e-8, special.log1p(z) / z, 1.0 - z / 2.0)
    return s20 + np.maximum(d20, 0.0) * (1.0 + 19.5 * B) * x / (1.0 + 20.0 * B) * phi


def _whole(v: float, lo: float) -> bool:
    return math.isfinite(v) and v >= lo and v == math.floor(v)


def hac_wald_pvalue_one(stat: float, q: int, lags: int, n: int) -> float:
    """hac_wald_pvalue for one statistic, on Python floats (the same bits)."""
    w, qf, lf, nf = float(stat), float(q), float(lags), float(n)
    if math.isnan(w) or not (_whole(qf, 1.0) and _whole(lf, 0.0) and _whole(nf, 1.0)):
        return math.nan
    return _one_m(w, qf, lf + 1.0, nf)


def hac_wald_pvalue_bandwidth_one(stat: float, q: int, M: float, n: int) -> float:
    """hac_wald_pvalue_bandwidth for one statistic, on Python floats (the same bits)."""
    w, qf, mf, nf = float(stat), float(q), float(M), float(n)
    if math.isnan(w) or not (_whole(qf, 1.0) and _whole(nf, 1.0) and mf > 0.0 and mf < math.inf):
        return math.nan
    return _one_m(w, qf, max(mf, 1.0), nf)


def _one_m(w: float, qf: float, M: float, nf: float) -> float:
    return _apply(_law(qf, M, nf), w)


def _apply(law: tuple[float | None, float, float, float, float], w: float) -> float:
    scale, mu1, d1, K, qe = law
    if scale is not None:
        w = w / scale
    return _cs.fdtrc(d1, K, w * mu1 / qe)


def hac_wald_bound(q: int, lags: float, n: int) -> Callable[[float], float]:
    """hac_wald_pvalue_one at fixed (q, lags, n), as a function of the
    statistic alone (the same bits)."""
    law = law_of(q, lags, n)
    if law is None:
        return lambda w: math.nan
    return lambda w: math.nan if w != w else _apply(law, float(w))


def law_of(q: int, lags: float, n: int) -> tuple[float | None, float, float, float, float] | None:
    """The law behind hac_wald_bound (see _apply: the divisor of W or None,
    mu1, the F law's degrees of freedom, q times the scale); None where it has
    no p-value."""
    qf, lf, nf = float(q), float(lags), float(n)
    if not (_whole(qf, 1.0) and _whole(lf, 0.0) and _whole(nf, 1.0)):
        return None
    return _law(qf, lf + 1.0, nf)


@functools.lru_cache(maxsize=1024)
def _law(qf: float, M: float, nf: float) -> tuple[float | None, float, float, float, float]:
    """What the p-value at (q, M, n) needs besides the statistic, worked out
    once per design: the divisor of W when b > 1, mu1, the F law's degrees of
    freedom, and q times the scale."""
    b = M / nf
    scale = None
    if b > 1.0:
        scale = b
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
        s19, s16, s15 = (_hermite(lo[j], hi[j], mlo[j], mhi[j], h, t) for j in (18, 15, 14))
        s = _tail(s, s - s19, _tail_b(s - s19, s16 - s15), qf)
    e = _cs.expm1(s) + 1.0
    return scale, mu1, d1, K, qf * e


def hac_wald_pvalue(
    stat: ArrayLike, q: ArrayLike, lags: ArrayLike, n: ArrayLike
) -> NDArray[np.float64]:
    """Fixed-b p-value of the Bartlett HAC Wald statistic of q restrictions.

    stat: W = b' V^-1 b with V the Bartlett sandwich (weights 1 - j/(lags + 1),
    no small-sample factor) from n observations; lags is the truncation the
    weights used (the battery caps it at n - 1: pass its record's hac_lags).
    The four arguments broadcast; q, lags and n hold whole numbers (q >= 1,
    lags >= 0, n >= 1). NaN where stat is NaN or negative or another argument
    is out of range. As (lags + 1)/n -> 0 the p-value tends to the chi2(q) one.
    See the module docstring for the law.
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


def hac_wald_pvalue_bandwidth(
    stat: ArrayLike, q: ArrayLike, M: ArrayLike, n: ArrayLike
) -> NDArray[np.float64]:
    """hac_wald_pvalue for a Bartlett bandwidth M (weights 1 - j/M over lags
    j < M) that need not be a whole number, as the plug-in rules give: the
    law at b = M/n, its finite-n term taken at that M. M <= 1 keeps lag 0
    alone, as M = 1 does. NaN where M is not positive and finite."""
    arrs = np.broadcast_arrays(*(np.asarray(a, dtype=np.float64) for a in (stat, q, M, n)))
    shape = arrs[0].shape
    w, qa, ma, na = (a.ravel() for a in arrs)
    out = np.full(w.shape, np.nan)
    with np.errstate(invalid="ignore"):
        ok = ~np.isnan(w) & (ma > 0.0) & (ma < np.inf)
        for a, lo in ((qa, 1.0), (na, 1.0)):
            ok &= np.isfinite(a) & (a >= lo) & (a == np.floor(a))
    idx = np.flatnonzero(ok)
    if idx.size:
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            out[idx] = _pvalue_m(w[idx], qa[idx], np.maximum(ma[idx], 1.0), na[idx])
    return out.reshape(shape)


def _pvalue(w: Arr, q: Arr, lags: Arr, n: Arr) -> Arr:
    return _pvalue_m(w, q, lags + 1.0, n)


def _pvalue_m(w: Arr, q: Arr, M: Arr, n: Arr) -> Arr:
    b = M / n
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
        j, hf, tf = i[far], h[far], t[far]
        s19, s16, s15 = (
            _hermite(_S[j, c], _S[j + 1, c], _SLOPE[j, c], _SLOPE[j + 1, c], hf, tf)
            for c in (18, 15, 14)
        )
        s20 = s[far]
        s[far] = _tail_arr(s20, s20 - s19, s16 - s15, q[far])
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
