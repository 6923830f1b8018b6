"""Breaks at unknown dates and parameter stability.

- The F statistic of a break at every candidate date in a trimmed range (the
  candidate dates of R strucchange's ``Fstats(from = trim)``) and its sup, average
  and exponential functionals (Andrews 1993; Andrews and Ploberger 1994), with
  Hansen's (1997) approximate p-values. The whole sequence comes from running sums
  of the outer products of an orthonormal basis of the design, so it costs
  O(n k^2) plus one k x k solve per date, never a fit per date; dates where those
  sums would lose digits (a segment's design near singular, or segments that fit
  almost exactly) are refitted by QR.
- Bai and Perron's (2003) global minimisers of the sum of squared residuals for
  0..M breaks: a dynamic programme over the triangular matrix of segment sums of
  squares, each row one pass of recursive residuals; BIC, LWZ and the sequential
  sup F(l+1 | l) choose the number of breaks; Bai's (1997) intervals for the dates.
- Fluctuation tests: OLS-CUSUM (Ploberger and Kraemer 1992), MOSUM of recursive
  and of OLS residuals (Chu, Hornik and Kuan 1995), Hansen's (1992) L_c.

Breaks are positions in ``break_at``'s convention: the 0-based position of the
first observation after the break (the 1-based position of the last one before it,
which is what strucchange reports).
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass
from typing import Any, Callable, Sequence, cast

import numpy as np
from scipy import integrate, optimize, special

from Kalvoren import _lstsq, _options, _prepare
from Kalvoren._ckernels.diag import _diag
from Kalvoren._registry import Computed, Status

# A date's k x k sums are solved directly when their smallest eigenvalue (on a scale
# where the whole sample's is 1) is at least COND_FAST, refitted by QR between
# COND_SINGULAR and COND_FAST, and make the segment singular below COND_SINGULAR.
COND_FAST = 1e-6
COND_SINGULAR = 1e-13
# A partial break's W'W is a difference of sums: refitted below a larger floor.
COND_FAST_PARTIAL = 1e-4
# Below this share of the pooled RSS the within-segment RSS is refitted by QR
# (RSS - ESS would have lost four digits to cancellation).
RSS_SHARE = 1e-4
HANSEN_MAX_Q = 40
# Siegmund's correction: the maximum of a process of local variance s^2 over a grid
# of spacing d falls short of its supremum by about -zeta(1/2) / sqrt(2 pi) s sqrt(d).
SIEGMUND = 0.5825971579390106


# --------------------------------------------------------------------- F sequence


def candidate_range(n: int, trim: float, q: int) -> tuple[int, int]:
    """First and last candidate break: floor(trim n) .. n - floor(trim n), as R
    strucchange's Fstats(from = trim), and at least q observations each side."""
    lo = max(int(math.floor(trim * n)), q)
    return lo, n - lo


@dataclass
class FSequence:
    """The F statistics (Wald form: q times the Chow F) of a break at each
    candidate date lo..hi, with what their p-values depend on."""

    stat: np.ndarray
    lo: int
    hi: int
    q: int  # coefficients allowed to break
    n: int
    status: int = 0

    @property
    def dates(self) -> np.ndarray:
        return np.arange(self.lo, self.hi + 1)

    @property
    def tau(self) -> float:
        """The trimming Hansen's approximation uses: lo / n."""
        return self.lo / self.n

    @property
    def sup(self) -> float:
        return float(self.stat.max())

    @property
    def break_at(self) -> int:
        return int(self.lo + int(np.argmax(self.stat)))

    @property
    def ave(self) -> float:
        return float(self.stat.mean())

    @property
    def exp(self) -> float:
        half = 0.5 * self.stat
        top = float(half.max())
        return top + math.log(float(np.mean(np.exp(half - top))))


def _quad_forms(A: np.ndarray, g: np.ndarray) -> np.ndarray:
    """g' A^-1 g for a stack of symmetric positive definite A."""
    forms: np.ndarray = np.einsum("ij,ij->i", g, np.linalg.solve(A, g[..., None])[..., 0])
    return forms


def _running(P: np.ndarray, lo: int, hi: int) -> tuple[np.ndarray, np.ndarray]:
    """Sums of P's rows before each date b = lo..hi and from it on, each its own
    running sum (so neither is a difference of the other and the total)."""
    head = np.cumsum(P[:hi], axis=0)[lo - 1 : hi]
    tail = np.cumsum(P[::-1][: P.shape[0] - lo], axis=0)[::-1][: hi - lo + 1]
    return head, tail


def exact_f(X: np.ndarray, e: np.ndarray, cols: Sequence[int], b: int) -> float:
    """The F statistic (Wald form) of a break at b in the columns cols by one
    QR fit of [X, D X_cols] (D: 1 from b on): between / (within / (n - k - q)),
    the between-fit sum the squared distance of the two fits' residuals. NaN
    when that design is rank-deficient; inf when it fits exactly."""
    n, k = X.shape
    q = len(cols)
    D = np.zeros((n, q))
    D[b:] = X[b:, list(cols)]
    fit = _lstsq.residuals(np.column_stack([X, D]), e)
    if fit.rank < k + q:
        return math.nan
    if fit.exact:
        return math.inf
    d = e - fit.e
    F: float = float(d @ d) / (fit.rss / (n - k - q))
    return F


def f_values(
    X: np.ndarray, e: np.ndarray, cols: Sequence[int], lo: int, hi: int
) -> tuple[int, np.ndarray]:
    """(status, F at b = lo..hi) for a break in the columns cols of a full-rank
    (equilibrated) design X with OLS residuals e. Status SINGULAR when a
    segment's design is singular at some date, UNDEFINED_VARIANCE when both
    segments fit exactly at some date."""
    n, k = X.shape
    cols = list(cols)
    q = len(cols)
    df2 = n - k - q
    rss = float(e @ e)
    if q == k:  # every coefficient breaks: two separate k x k systems per date
        Q = np.linalg.qr(X)[0]
        g1, g2 = _running(Q * e[:, None], lo, hi)
        A1, A2 = _running(np.einsum("ti,tj->tij", Q, Q), lo, hi)
        # A1 only grows with b and A2 only shrinks (A1 + A2 = I), so the two ends
        # bound every date's conditioning; the dates between are checked only when
        # an end is poor
        ends = np.linalg.eigvalsh(np.stack([A1[0], A2[-1]]))[:, 0]
        if ends.min() >= COND_FAST:
            small = np.full(hi - lo + 1, ends.min())
        else:
            lam = np.linalg.eigvalsh(A1)
            small = np.minimum(lam[:, 0], 1.0 - lam[:, -1])
        ok = small >= COND_FAST
        ess = np.full(hi - lo + 1, np.nan)
        ess[ok] = _quad_forms(A1[ok], g1[ok]) + _quad_forms(A2[ok], g2[ok])
    else:  # the others stay: ESS = g' (W'W)^-1 g, W = M_X D V, V a basis of X_cols
        # M_X V = 0, so W = -M_X (1 - D) V as well: W'W = A - C'C from the sums over
        # either side (A of v v', C of q v', q the rows of an orthonormal basis of X);
        # the shorter side's sums are the smaller, and so are their rounding errors.
        Q = np.linalg.qr(X)[0]
        V = np.linalg.qr(X[:, cols])[0]
        A1, A2 = _running(np.einsum("ti,tj->tij", V, V), lo, hi)
        C1, C2 = _running(np.einsum("ti,tj->tij", Q, V), lo, hi)
        g1, g2 = _running(V * e[:, None], lo, hi)
        first = np.trace(A1, axis1=1, axis2=2) < np.trace(A2, axis1=1, axis2=2)
        S = np.where(
            first[:, None, None],
            A1 - np.swapaxes(C1, 1, 2) @ C1,
            A2 - np.swapaxes(C2, 1, 2) @ C2,
        )
        g = np.where(first[:, None], -g1, g2)
        small = np.linalg.eigvalsh(S)[:, 0]  # W'W <= V'V = I
        ok = small >= COND_FAST_PARTIAL
        ess = np.full(hi - lo + 1, np.nan)
        ess[ok] = _quad_forms(S[ok], g[ok])
    if np.any(small < COND_SINGULAR):
        return Status.SINGULAR, np.empty(0)
    within = rss - ess
    ok &= within >= RSS_SHARE * rss
    stat = np.empty(hi - lo + 1)
    stat[ok] = ess[ok] / (within[ok] / df2)
    for i in np.flatnonzero(~ok):  # the few dates the sums cannot settle
        stat[i] = exact_f(X, e, cols, lo + int(i))
    if np.isnan(stat).any():
        return Status.SINGULAR, np.empty(0)
    if np.isinf(stat).any():
        return Status.UNDEFINED_VARIANCE, np.empty(0)
    return 0, np.maximum(stat, 0.0)


def sequence(X: np.ndarray, e: np.ndarray, cols: Sequence[int], trim: float) -> FSequence:
    """The F sequence of a fitted (equilibrated, full-rank) regression."""
    n, k = X.shape
    q = len(cols)
    lo, hi = candidate_range(n, trim, q)
    if q == 0:
        return FSequence(np.empty(0), lo, hi, q, n, Status.BAD_ARG)
    if lo > hi or lo < 1 or n - k - q < 1:
        return FSequence(np.empty(0), lo, hi, q, n, Status.TOO_SHORT)
    status, stat = f_values(X, e, cols, lo, hi)
    return FSequence(stat, lo, hi, q, n, status)


def break_columns(spec: Any, names: Sequence[str], kept: Sequence[int]) -> list[int]:
    """Positions in the fitted design (kept columns) of the coefficients allowed
    to break: spec None is all of them; names or positions of the data's columns
    otherwise (a column dropped as collinear has no coefficient and is left out)."""
    if spec is None:
        return list(range(len(kept)))
    wanted = []
    for c in spec:
        if isinstance(c, str) and c not in names and c.isdigit():
            c = int(c)  # a position as the command line gives it
        if isinstance(c, str):
            if c not in names:
                raise _options.OptionError(
                    "f_break_columns",
                    f"names no column {c!r} (columns: {', '.join(map(str, names))})",
                )
            wanted.append(list(names).index(c))
        else:
            if not 0 <= c < len(names):
                raise _options.OptionError(
                    "f_break_columns", f"has position {c} outside 0..{len(names) - 1}"
                )
            wanted.append(int(c))
    return [kept.index(j) for j in sorted(set(wanted)) if j in kept]


# -------------------------------------------------------- Hansen (1997) p-values


@functools.lru_cache(maxsize=3)
def _hansen_table(kind: str) -> np.ndarray:
    from Kalvoren import _breaks_tables as t

    return np.array({"sup": t.HANSEN_SUP, "ave": t.HANSEN_AVE, "exp": t.HANSEN_EXP}[kind])


_TAUS = 0.51 - 0.02 * np.arange(1, 26)  # the table's rows: 0.49 down to 0.01


@functools.lru_cache(maxsize=3)
def _hansen_turns(kind: str) -> tuple[np.ndarray, np.ndarray]:
    """Per row of a table, where its fitted polynomial first turns down (a positive
    local maximum; inf if none) and its value there."""
    b = _hansen_table(kind)[:, :-1]
    at = np.full(b.shape[0], np.inf)
    P = np.polynomial.polynomial
    for i, row in enumerate(b):
        if b.shape[1] > 2:
            crit = np.roots(P.polyder(row)[::-1])
            crit = np.sort(crit[(np.abs(crit.imag) < 1e-12) & (crit.real > 0)].real)
            crit = crit[P.polyval(crit, P.polyder(row, 2)) < 0]
            if crit.size:
                at[i] = crit[0]
    top = np.where(
        np.isfinite(at),
        [P.polyval(t, r) for t, r in zip(np.where(np.isfinite(at), at, 0.0), b)],
        -np.inf,
    )
    return at, top


def _hansen_argument(kind: str, rows: slice, x: float) -> tuple[np.ndarray, np.ndarray]:
    """Per row, max(0, the largest of b0 + b1 s + b2 s^2 + b3 s^3 over 0 <= s <= x),
    and whether that is reached before x: some fitted cubics turn down past the
    range Hansen fitted them on, and a p-value must not rise with the statistic
    (a cubic that rises again past its minimum is capped at its first maximum
    until it passes it)."""
    b = _hansen_table(kind)[rows, :-1]
    out = b @ x ** np.arange(b.shape[1])
    at, top = (v[rows] for v in _hansen_turns(kind))
    turned = (at < x) & (top > out)
    return np.maximum(np.where(turned, top, out), 0.0), turned


def hansen_pvalue(kind: str, x: float, q: int, tau: float) -> float:
    """Hansen's (1997) approximate asymptotic p-value of the sup ("sup"), average
    ("ave") or exponential ("exp") F functional over a trimmed range with
    trimming tau (lo / n), q coefficients tested (1..40): p = P(chi2(eta) > b'
    (1, x, ...)) at the table's trimmings 0.01, 0.03, ..., 0.49, linear between
    them, the trimming 0.5 (one date) being chi2(q) of F (of 2 exp-F). Where a
    fitted cubic turns down before x, the argument stays at its maximum and p is
    at most the sup-F p-value of x (ave-F) or 2x (exp-F), which bound it
    (ave-F <= sup-F, 2 exp-F <= sup-F)."""
    if not (math.isfinite(x) and 1 <= q <= HANSEN_MAX_Q):
        return math.nan
    block = slice((q - 1) * 25, q * 25)
    arg, turned = _hansen_argument(kind, block, x)
    pp = special.chdtrc(_hansen_table(kind)[block, -1], arg)
    if turned.any():
        sup = _hansen_table("sup")[block]
        xs = 2.0 * x if kind == "exp" else x
        bound = special.chdtrc(sup[:, -1], np.maximum(sup[:, 0] + sup[:, 1] * xs, 0.0))
        pp = np.where(turned, np.minimum(pp, bound), pp)
    one = float(special.chdtrc(q, 2.0 * x if kind == "exp" else x))
    taus = np.append(_TAUS[::-1], 0.5)
    return float(np.interp(min(max(tau, 0.01), 0.5), taus, np.append(pp[::-1], one)))


def hansen_critical(kind: str, alpha: float, q: int, tau: float) -> float:
    """The statistic whose Hansen p-value is alpha (NaN outside the table)."""
    if not 1 <= q <= HANSEN_MAX_Q:
        return math.nan

    def f(x: float) -> float:
        return hansen_pvalue(kind, x, q, tau) - alpha

    hi = 10.0
    while f(hi) > 0 and hi < 1e4:
        hi *= 2
    return float(optimize.brentq(f, 0.0, hi, xtol=1e-10)) if f(0.0) > 0 > f(hi) else math.nan


# ------------------------------------------------------------ fluctuation tests


def ols_cusum(e: np.ndarray, k: int) -> tuple[np.ndarray, float]:
    """The OLS-CUSUM process (running sums of the residuals over sigma sqrt(n),
    sigma^2 = e'e / (n - k), from 0) and its largest absolute value."""
    n = e.shape[0]
    sigma = math.sqrt(float(e @ e) / (n - k))
    path = np.concatenate([[0.0], np.cumsum(e)]) / (sigma * math.sqrt(n))
    return path, float(np.abs(path).max())


def kolmogorov_pvalue(x: float, n: int | None = None) -> float:
    """P(sup |B| > x), B a Brownian bridge (the OLS-CUSUM limit); with n, at x
    plus the shortfall of a maximum over n points (Siegmund's correction, which
    brings the size at n = 100 from about 3.4% to 4.7% at the 5% level)."""
    if n is not None:
        x = x + SIEGMUND / math.sqrt(n)
    return float(special.kolmogorov(x)) if x > 0 else 1.0


def mosum(resid: np.ndarray, h: float, sigma: float) -> tuple[np.ndarray, float]:
    """Moving sums of floor(m h) residuals over sigma sqrt(m), at every window,
    and the largest absolute value."""
    m = resid.shape[0]
    w = int(math.floor(m * h))
    c = np.concatenate([[0.0], np.cumsum(resid)])
    path = (c[w:] - c[: m - w + 1]) / (sigma * math.sqrt(m))
    return path, float(np.abs(path).max())


def recursive_residuals(y: np.ndarray, X: np.ndarray) -> np.ndarray:
    """Recursive residuals by the kernel's plane rotations, or the least-squares
    route's when the kernel refuses the first rows; their count is n minus the
    rows that start the recursion."""
    status, w = _diag.recursive_residuals(y, X)
    if status == 0:
        return np.asarray(w)
    return _lstsq.recursive_residuals(y, X)[0]


@functools.lru_cache(maxsize=2)
def _mosum_table(kind: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    from Kalvoren import _breaks_tables as t

    q = t.MOSUM_REC if kind == "rec" else t.MOSUM_OLS
    return np.array(t.MOSUM_H), np.array(t.MOSUM_P), np.array(q)


def mosum_pvalue(kind: str, x: float, h: float, m: int) -> float:
    """p-value of a MOSUM statistic over m residuals with windows of h m of them
    (pass the window's actual share floor(m h) / m): the simulated limit of
    sup |W(t + h) - W(t)| ("rec") or sup |B(t + h) - B(t)| ("ols") at x plus the
    shortfall of a maximum over windows 1 / m apart (Siegmund's correction, the
    moving sums' local variance being 2); log p linear in x between the table's
    quantiles, and in x^2 beyond the 0.1% one (a Gaussian tail)."""
    if not math.isfinite(x):
        return math.nan
    H, P, Qt = _mosum_table(kind)
    quant = np.array([np.interp(h, H, Qt[:, j]) for j in range(P.shape[0])])
    x = x + SIEGMUND * math.sqrt(2.0 / max(m, 1))
    xs, lp = quant[::-1], np.log(P[::-1])  # increasing x, decreasing log p
    if x <= xs[0]:  # beyond p = 0.999: join (0, 1)
        return float(1.0 - (1.0 - P[-1]) * x / xs[0]) if x > 0 else 1.0
    if x >= xs[-1]:
        slope = (lp[-1] - lp[-2]) / (xs[-1] ** 2 - xs[-2] ** 2)
        return float(math.exp(lp[-1] + slope * (x * x - xs[-1] ** 2)))
    return float(math.exp(np.interp(x, xs, lp)))


def nyblom_hansen(X: np.ndarray, e: np.ndarray) -> tuple[float, np.ndarray]:
    """Hansen's (1992) L_c: the joint statistic over the k coefficients and the
    error variance, and each one's own (k + 1 values, the variance last). With
    f_t = (x_t e_t, e_t^2 - e'e / n) and S_t their running sums,
    L = sum_t S_t' V^-1 S_t / n, V = sum_t f_t f_t'."""
    n = e.shape[0]
    f = np.column_stack([X * e[:, None], e * e - float(e @ e) / n])
    S = np.cumsum(f, axis=0)
    V = f.T @ f
    joint = float(np.trace(np.linalg.solve(V, S.T @ S))) / n
    with np.errstate(divide="ignore", invalid="ignore"):
        single = np.einsum("ti,ti->i", S, S) / (n * np.diag(V))
    return joint, single


def _log_sin_ratio(u: float) -> complex:
    """log(sin w / w), w = sqrt(2 i u), continuous in u >= 0."""
    a = math.sqrt(u)
    if a < 0.05:
        z = 2j * u
        return -z / 6.0 - z * z / 180.0
    w = complex(a, a)
    ratio: complex = (
        -math.log(2.0)
        + 0.5j * math.pi
        + complex(a, -a)
        + np.log1p(-np.exp(complex(-2.0 * a, 2.0 * a)))
        - np.log(w)
    )
    return ratio


@functools.lru_cache(maxsize=64)
def _cvm_curve(d: int) -> Any:
    from scipy.interpolate import PchipInterpolator

    from Kalvoren import _breaks_tables as t

    return PchipInterpolator(np.array(t.CVM_X[d - 1]), np.array(t.CVM_LOGSF[d - 1]))


def cvm_pvalue(x: float, d: int) -> float:
    """P(int_0^1 |B(t)|^2 dt > x), B a d-dimensional Brownian bridge (the L_c
    limit): from the table of cvm_sf (d up to 41; monotone cubic in log p),
    beyond it cvm_sf itself."""
    from Kalvoren import _breaks_tables as t

    if not (math.isfinite(x) and d >= 1):
        return math.nan
    if d > len(t.CVM_X):
        return cvm_sf(x, d)
    xs = t.CVM_X[d - 1]
    if x >= xs[-1]:
        return cvm_sf(x, d)
    return float(math.exp(_cvm_curve(d)(max(x, xs[0]))))


def cvm_sf(x: float, d: int) -> float:
    """P(int_0^1 |B(t)|^2 dt > x), B a d-dimensional Brownian bridge, by
    inverting its characteristic function phi(u) = (w / sin w)^(d/2),
    w = sqrt(2 i u) (Gil-Pelaez: the two Fourier integrals by QUADPACK's QAWF,
    e^-u taken out of Re phi(u) / u where it is singular); good to about 1e-13
    absolutely."""
    if not (math.isfinite(x) and d >= 1):
        return math.nan
    if x <= 0:
        return 1.0

    def phi(u: float) -> complex:
        return complex(np.exp(-0.5 * d * _log_sin_ratio(u)))

    def im(u: float) -> float:
        return phi(u).imag / u if u > 0 else d / 6.0

    def re(u: float) -> float:
        return (phi(u).real - math.exp(-u)) / u if u > 0 else 1.0

    # full_output: QUADPACK's complaints at this demanding epsabs go to info, not to
    # warnings (the tail is checked against closed forms in the tests)
    kw: dict[str, Any] = {"limlst": 200, "epsabs": 1e-13, "full_output": 1}
    a = integrate.quad(im, 0.0, np.inf, weight="cos", wvar=x, **kw)[0]
    b = integrate.quad(re, 0.0, np.inf, weight="sin", wvar=x, **kw)[0]
    return float(min(max(0.5 + (a - b - math.atan(x)) / math.pi, 0.0), 1.0))


# -------------------------------------------- Bai-Perron multiple breaks (2003)


def min_segment(h: float, n: int) -> int:
    """h as a number of observations: a fraction of n below 1, a count from 1 up."""
    return int(math.floor(h * n)) if h < 1 else int(h)


def rss_triangle(y: np.ndarray, X: np.ndarray, h: int) -> np.ndarray:
    """R[i, j]: the least-squares RSS of the segment of observations i..j-1, for
    every segment at least h long that can start and end a partition into
    segments at least h long (inf elsewhere), from one run of recursive
    residuals per start."""
    n, k = X.shape
    R = np.full((n + 1, n + 1), np.inf)
    ends = np.zeros(n + 1, bool)
    ends[h : n - h + 1] = True
    ends[n] = True
    for i in [0, *range(h, n - h + 1)]:
        w = recursive_residuals(y[i:], X[i:])
        first = n - i - w.shape[0]  # rows that start the recursion
        c = np.cumsum(w * w)
        j = np.arange(i + first + 1, n + 1)
        keep = (j >= i + h) & ends[j]
        R[i, j[keep]] = c[keep]
    return R


def dynamic_programme(R: np.ndarray, M: int) -> tuple[np.ndarray, np.ndarray]:
    """cost[m, j]: the least RSS of observations 0..j-1 in m + 1 segments, and
    where its last segment starts (Bai and Perron 2003, over the triangle R)."""
    n1 = R.shape[0]
    cost = np.full((M + 1, n1), np.inf)
    start = np.zeros((M + 1, n1), dtype=np.int64)
    cost[0] = R[0]
    cols = np.arange(n1)
    for m in range(1, M + 1):
        total = cost[m - 1][:, None] + R
        start[m] = np.argmin(total, axis=0)
        cost[m] = total[start[m], cols]
    return cost, start


def _partition(start: np.ndarray, m: int, n: int) -> tuple[int, ...]:
    out, j = [], n
    for mm in range(m, 0, -1):
        j = int(start[mm, j])
        out.append(j)
    return tuple(sorted(out))


def bai_perron_critical(level: float, q: int, l: int, trim: float) -> float:
    """Bai and Perron's (2003) critical value of sup F(l+1 | l), linear in the
    trimming between their tables (0.05 .. 0.25, clamped); NaN for q > 10, l > 9
    or a level they do not tabulate."""
    from Kalvoren import _breaks_tables as t

    if level not in t.BAI_PERRON_LEVELS or not (1 <= q <= 10 and 0 <= l <= 9):
        return math.nan
    lv = t.BAI_PERRON_LEVELS.index(level)
    vals = [t.BAI_PERRON[e][lv][q - 1][l] for e in range(len(t.BAI_PERRON_TRIMS))]
    return float(np.interp(trim, t.BAI_PERRON_TRIMS, vals))


def _argmax_cdf(x: float, xi: float, phi1: float, phi2: float) -> float:
    """P(argmax V <= x) for V(s) = W1(-s) - |s| / 2 (s <= 0) and
    V(s) = sqrt(xi) (phi2 / phi1) W2(s) - xi |s| / 2 (s > 0), W1, W2 independent
    Wiener processes (Bai 1997, Review of Economics and Statistics 79, the limit
    of a break date's estimate with different regressor moments and variances
    on the two sides)."""
    phi = xi * (phi2 / phi1) ** 2
    u = abs(x)
    lnd = special.log_ndtr
    if x <= 0:
        r = xi / phi
        return float(
            -math.sqrt(u / (2 * math.pi)) * math.exp(-u / 8)
            - (phi / xi) * (phi + 2 * xi) / (phi + xi)
            * math.exp(r * (1 + r) * u / 2 + lnd(-(0.5 + r) * math.sqrt(u)))
            + (u / 2 - 2 + (phi + 2 * xi) ** 2 / ((phi + xi) * xi)) * special.ndtr(-math.sqrt(u) / 2)
        )  # fmt: skip
    r = xi * xi / phi
    return float(
        1
        + math.sqrt(r) * math.sqrt(u / (2 * math.pi)) * math.exp(-r * u / 8)
        + (xi / phi) * (2 * phi + xi) / (phi + xi)
        * math.exp((phi + xi) * u / 2 + lnd(-(phi + xi / 2) / math.sqrt(phi) * math.sqrt(u)))
        - ((2 * phi + xi) ** 2 / ((phi + xi) * phi) - 2 + r * u / 2)
        * special.ndtr(-math.sqrt(r * u) / 2)
    )  # fmt: skip


def _argmax_quantile(p: float, xi: float, phi1: float, phi2: float) -> float:
    def f(x: float) -> float:
        return _argmax_cdf(x, xi, phi1, phi2) - p

    a, b = (-1.0, 0.0) if f(0.0) > 0 else (0.0, 1.0)
    while f(a) > 0:
        a *= 2
    while f(b) < 0:
        b *= 2
    return float(optimize.brentq(f, a, b, xtol=1e-10))


@dataclass
class _Seg:
    start: int
    end: int  # exclusive
    beta: np.ndarray  # scaled units
    rss: float


class Breakpoints:
    """Bai and Perron's multiple breaks of one regression. ``breaks`` are the
    dates of the chosen number of breaks (``n_breaks``; by BIC unless chosen
    otherwise), as positions in ``break_at``'s convention; ``rss``, ``bic`` and
    ``lwz`` are indexed by the number of breaks m = 0..max_breaks."""

    def __init__(
        self,
        model: _prepare.Model,
        ys: np.ndarray,
        Xs: np.ndarray,
        ex: np.ndarray,
        ey: int,
        kept: list[int],
        h: int,
        cost: np.ndarray,
        start: np.ndarray,
        criterion: str = "bic",
        alpha: float = 0.05,
    ):
        import pandas as pd

        self._model, self._ys, self._Xs, self._ex, self._ey = model, ys, Xs, ex, ey
        self._kept = kept
        self._start = start
        n, k = Xs.shape
        self.n, self.k, self.h = n, k, h
        feasible = np.flatnonzero(np.isfinite(cost[:, n]))
        self.max_breaks = int(feasible.max())
        ms = np.arange(self.max_breaks + 1)
        rss = cost[ms, n] * 4.0**ey  # back to the data's units
        self.rss = pd.Series(rss, index=pd.Index(ms, name="breaks"), name="RSS")
        self.partitions: dict[int, tuple[int, ...]] = {
            int(m): _partition(start, int(m), n) for m in ms
        }
        df = (ms + 1) * k + ms + 1  # coefficients, dates and the variance
        loglik = -0.5 * n * (np.log(rss / n) + math.log(2 * math.pi) + 1)
        self.bic = pd.Series(-2 * loglik + math.log(n) * df, index=self.rss.index, name="BIC")
        pstar = (ms + 1) * k + ms
        self.lwz = pd.Series(
            np.log(rss / (n - pstar)) + pstar / n * 0.299 * math.log(n) ** 2.1,
            index=self.rss.index,
            name="LWZ",
        )
        self.alpha = alpha
        self.sequential = self._sequential(alpha)
        self.criterion = criterion
        self.n_breaks = self._choose(criterion)

    # -- choosing the number of breaks

    def _sequential(self, alpha: float) -> Any:
        """sup F(l+1 | l) for l = 0, 1, ...: the fall in RSS from the best date
        added inside one segment of the l-break optimum, over the variance
        estimate RSS_l / (n - (l + 1) k), against Bai and Perron's critical
        value at alpha and trimming h / n."""
        import pandas as pd

        R = self._triangle
        n, k, h = self.n, self.k, self.h
        rows = []
        for l in range(self.max_breaks):
            bounds = [0, *self.partitions[l], n]
            rss_l = float(sum(R[a, b] for a, b in zip(bounds[:-1], bounds[1:])))
            best = math.inf
            for a, b in zip(bounds[:-1], bounds[1:]):
                taus = np.arange(a + h, b - h + 1)
                if taus.size:
                    split = R[a, taus] + R[taus, b]
                    best = min(best, rss_l - R[a, b] + float(split.min()))
            stat = (rss_l - best) / (rss_l / (n - (l + 1) * k)) if math.isfinite(best) else math.nan
            crit = bai_perron_critical(alpha, k, l, h / n)
            rows.append((l, stat, crit, bool(stat > crit) if crit == crit else None))
        return pd.DataFrame(rows, columns=["l", "statistic", "critical", "reject"]).set_index("l")

    def _choose(self, criterion: Any) -> int:
        if isinstance(criterion, (int, np.integer)) and not isinstance(criterion, bool):
            if not 0 <= criterion <= self.max_breaks:
                raise ValueError(f"breaks must be between 0 and {self.max_breaks}, got {criterion}")
            return int(criterion)
        if criterion == "bic":
            return int(cast(int, self.bic.idxmin()))  # indexed by the number of breaks
        if criterion == "lwz":
            return int(cast(int, self.lwz.idxmin()))
        if criterion == "sequential":
            rej = self.sequential["reject"].tolist()
            m = 0
            while m < len(rej) and rej[m]:  # None (no critical value) stops too
                m += 1
            return m
        raise ValueError(
            f"criterion must be 'bic', 'lwz', 'sequential' or a number of breaks, got {criterion!r}"
        )

    def select(self, criterion: Any) -> "Breakpoints":
        """The same result with the number of breaks chosen by "bic", "lwz",
        "sequential" (at the result's alpha) or given as a number."""
        import copy

        other = copy.copy(self)
        other.criterion = criterion
        other.n_breaks = self._choose(criterion)
        return other

    @functools.cached_property
    def _triangle(self) -> np.ndarray:
        return rss_triangle(self._ys, self._Xs, self.h)

    # -- the chosen partition

    @property
    def breaks(self) -> tuple[int, ...]:
        """The chosen partition's breaks: positions of the first observation after each."""
        return self.partitions[self.n_breaks]

    @property
    def break_labels(self) -> list[Any]:
        """The breaks as labels of the data's index (positions without one)."""
        idx = self._model.index
        return [idx[b] if idx is not None else b for b in self.breaks]

    def _segments(self, breaks: Sequence[int]) -> list[_Seg]:
        bounds = [0, *breaks, self.n]
        out = []
        for a, b in zip(bounds[:-1], bounds[1:]):
            fit = _lstsq.Fit.of(self._Xs[a:b], self._ys[a:b])
            out.append(_Seg(a, b, fit.beta, float(fit.resid @ fit.resid)))
        return out

    @property
    def segments(self) -> Any:
        """One row per segment of the chosen partition: its first and last
        positions (and labels when the data have an index), its length, RSS and
        coefficients in the data's units."""
        import pandas as pd

        idx = self._model.index
        names = [self._model.x_names[j] for j in self._kept]
        rows = []
        for s in self._segments(self.breaks):
            beta = np.ldexp(s.beta, self._ey - self._ex[self._kept])
            row: dict[str, Any] = {"start": s.start, "end": s.end - 1, "n": s.end - s.start}
            if idx is not None:
                row["first"], row["last"] = idx[s.start], idx[s.end - 1]
            row["rss"] = s.rss * 4.0**self._ey
            row.update(zip(names, beta.tolist()))
            rows.append(row)
        return pd.DataFrame(rows)

    def confint(self, level: float = 0.95) -> Any:
        """Bai's (1997) confidence intervals for the chosen breaks, with each
        segment's own regressor moments and error variance (R strucchange's
        default): the break b, and b minus the argmax limit's quantiles scaled
        by sigma_1^2 / (delta' Q_1 delta) (delta the change of the coefficients,
        Q_1 and sigma_1^2 the moments and variance before the break), rounded
        outwards. NaN where the limit puts P(argmax <= 0) outside the level."""
        import pandas as pd

        if not 0.0 < level < 1.0:
            raise ValueError(f"level must lie in (0, 1), got {level!r}")
        a2 = (1.0 - level) / 2.0
        segs = self._segments(self.breaks)
        rows = []
        for s1, s2 in zip(segs[:-1], segs[1:]):
            X1, X2 = self._Xs[s1.start : s1.end], self._Xs[s2.start : s2.end]
            n1, n2 = X1.shape[0], X2.shape[0]
            delta = s2.beta - s1.beta
            q1 = float(np.sum((X1 @ delta) ** 2)) / n1
            q2 = float(np.sum((X2 @ delta) ** 2)) / n2
            v1, v2 = s1.rss / n1, s2.rss / n2
            xi, phi1, phi2 = q2 / q1, math.sqrt(v1), math.sqrt(v2)
            b = s1.end
            p0 = _argmax_cdf(0.0, xi, phi1, phi2)
            if not (q1 > 0 and v1 > 0 and v2 > 0) or not a2 <= p0 <= 1 - a2:
                rows.append((math.nan, b, math.nan))
                continue
            scale = v1 / q1
            up = _argmax_quantile(1 - a2, xi, phi1, phi2) * scale
            dn = _argmax_quantile(a2, xi, phi1, phi2) * scale
            rows.append((b - math.ceil(up), b, b - math.floor(dn)))
        frame = pd.DataFrame(rows, columns=["lower", "break", "upper"])
        idx = self._model.index
        if idx is not None:
            n = self.n

            def lab(v: float) -> Any:
                return idx[int(v)] if v == v and 0 <= v < n else None

            for c in ("lower", "break", "upper"):
                frame[f"{c}_label"] = [lab(v) for v in frame[c]]
        return frame

    def fitted(self) -> np.ndarray:
        """Fitted values of the segmented regression, in the data's units."""
        out = np.empty(self.n)
        for s in self._segments(self.breaks):
            out[s.start : s.end] = self._Xs[s.start : s.end] @ s.beta
        return np.ldexp(out, self._ey)

    def summary(self) -> str:
        """The RSS, BIC and LWZ for every number of breaks, the partitions, the
        sequential tests and the chosen segments."""
        import pandas as pd

        table = pd.DataFrame({"RSS": self.rss, "BIC": self.bic, "LWZ": self.lwz})
        table["breaks at"] = [", ".join(map(str, self.partitions[m])) for m in table.index]
        lines = [
            f"Bai-Perron breaks of {self._model.y_name}: n = {self.n}, k = {self.k}, "
            f"minimum segment h = {self.h}, up to {self.max_breaks} breaks",
            "",
            table.to_string(float_format=lambda v: f"{v:.6g}"),
            "",
            f"sup F(l+1 | l) at {self.alpha:g} (Bai-Perron critical values):",
            self.sequential.to_string(float_format=lambda v: f"{v:.4f}"),
            "",
            f"chosen: {self.n_breaks} breaks ({self.criterion}) at "
            + (", ".join(map(str, self.break_labels)) or "-"),
            "",
            self.segments.to_string(float_format=lambda v: f"{v:.6g}"),
        ]
        return "\n".join(lines)

    def __repr__(self) -> str:
        return (
            f"<Breakpoints: {self.n_breaks} breaks ({self.criterion}) at "
            f"{list(self.breaks)}; up to {self.max_breaks} with h = {self.h}>"
        )

    def plot(self, ax: Any = None, level: float = 0.95) -> Any:
        """The series, the fitted segments and the breaks with their confidence
        intervals on a matplotlib Axes (a new Figure's when ax is None)."""
        import matplotlib.pyplot as plt

        from Kalvoren._report import _plot_axis

        if ax is None:
            ax = plt.subplots(figsize=(8, 3.5))[1]
        x = _plot_axis(self._model.index, 0, self.n)
        ax.plot(x, self._model.y, color="0.55", lw=1, label=self._model.y_name)
        ax.plot(x, self.fitted(), color="C0", lw=1.5, label="fitted segments")
        if self.n_breaks:
            ci = self.confint(level)
            for i, row in ci.iterrows():
                b = int(row["break"])
                ax.axvline(x[b], color="C3", ls="--", lw=1, label="break" if i == 0 else None)
                if row["lower"] == row["lower"]:
                    lo, hi = int(max(row["lower"], 0)), int(min(row["upper"], self.n - 1))
                    ax.axvspan(x[lo], x[hi], color="C3", alpha=0.12, lw=0)
        ax.set_title(f"Bai-Perron: {self.n_breaks} breaks ({self.criterion})")
        ax.legend(loc="best", fontsize="small")
        return ax


def _fitted_design(
    model: _prepare.Model,
) -> tuple[np.ndarray, np.ndarray, np.ndarray, int, list[int]]:
    """The data scaled by powers of two, collinear columns dropped."""
    ex, ey = _lstsq.pow2_exponents(model.X), _lstsq.pow2_exponents(model.y)
    Xs, ys = _lstsq.scaled(model.X, ex), _lstsq.scaled(model.y, ey)
    kept = _lstsq.independent_columns(Xs, model.const_col)
    return ys, np.ascontiguousarray(Xs[:, kept]), ex, int(ey[0]), kept


def breakpoints(
    y: Any,
    X: Any = None,
    *,
    h: float = 0.15,
    max_breaks: int | None = None,
    criterion: Any = "bic",
    alpha: float = 0.05,
    add_constant: bool = True,
) -> Breakpoints:
    """Bai and Perron's (2003) multiple breaks in the coefficients of the OLS
    regression of y on X (a constant added unless X has one; X None: the mean).

    h: minimum segment length, a fraction of n below 1 (floor(h n)), a number
        of observations from 1 up; it must exceed the number of coefficients.
    max_breaks: the most breaks considered (None: as many as h allows,
        floor(n / h) - 1).
    criterion: how ``n_breaks`` is chosen: "bic" (default), "lwz", "sequential"
        (sup F(l+1 | l) at alpha with Bai and Perron's critical values; alpha one
        of 0.10, 0.05, 0.025, 0.01) or a number of breaks.
    Returns a :class:`Breakpoints`.
    """
    if isinstance(h, bool) or not isinstance(h, (int, float, np.integer, np.floating)):
        raise _options.OptionTypeError("h", f"must be a number, got {h!r}")
    if not h > 0:
        raise _options.OptionError("h", f"must be positive, got {h!r}")
    model = _prepare.prepare(y, X, add_constant=add_constant)
    ys, Xs, ex, ey, kept = _fitted_design(model)
    n, k = Xs.shape
    hh = min_segment(float(h), n)
    if hh <= k:
        raise _options.OptionError(
            "h", f"gives segments of {hh} observations: more than k = {k} are needed"
        )
    most = n // hh - 1
    if max_breaks is None:
        M = most
    else:
        M = _options.integer(max_breaks, "max_breaks")
        if M < 0:
            raise _options.OptionError("max_breaks", f"must be >= 0 (got {M})")
        M = min(M, most)
    if alpha not in (0.10, 0.05, 0.025, 0.01):
        raise _options.OptionError("alpha", "must be one of 0.10, 0.05, 0.025, 0.01")
    R = rss_triangle(ys, Xs, hh)
    cost, start = dynamic_programme(R, M)
    bp = Breakpoints.__new__(Breakpoints)
    bp.__dict__["_triangle"] = R  # the cached property, already computed
    Breakpoints.__init__(bp, model, ys, Xs, ex, ey, kept, hh, cost, start, criterion, alpha)
    return bp


# ------------------------------------------------------ public F sequence, plot


def f_sequence(
    y: Any,
    X: Any = None,
    f_trim: float = 0.15,
    *,
    f_break_columns: Any = None,
    add_constant: bool = True,
) -> Any:
    """The F statistic (Wald form, as R strucchange's Fstats) of a break at every
    candidate date, as a pandas Series indexed by the break's label (the first
    observation after it; its position when the data have no index). Its
    ``attrs`` hold q (coefficients tested), tau (the trimming lo / n) and
    break_at (the supremum's position)."""
    import pandas as pd

    from Kalvoren import _tests_breaks

    trim = _tests_breaks.OPTIONS["f_trim"].check(f_trim, "f_trim")
    cols_spec = _tests_breaks.OPTIONS["f_break_columns"].check(f_break_columns, "f_break_columns")
    model = _prepare.prepare(y, X, add_constant=add_constant)
    seq = _model_sequence(model, trim, cols_spec)
    if seq.status != 0:
        from Kalvoren._registry import BY_ID

        raise ValueError(f"no F sequence: {BY_ID['sup_f'].text(seq.status)}")
    labels = model.index[seq.lo : seq.hi + 1] if model.index is not None else seq.dates
    out = pd.Series(seq.stat, index=labels, name="F")
    out.attrs.update(q=seq.q, tau=seq.tau, break_at=seq.break_at)
    return out


def _model_sequence(model: _prepare.Model, trim: float, cols_spec: Any) -> FSequence:
    ys, Xs, _, _, kept = _fitted_design(model)
    if Xs.shape[0] <= Xs.shape[1]:
        return FSequence(np.empty(0), 0, -1, 0, Xs.shape[0], Status.TOO_SHORT)
    fit = _lstsq.Fit.of(Xs, ys, kept.index(model.const_col) if model.const_col in kept else -1)
    if fit.exact:
        return FSequence(np.empty(0), 0, -1, 0, Xs.shape[0], Status.UNDEFINED_VARIANCE)
    cols = break_columns(cols_spec, model.x_names, kept)
    return sequence(Xs, fit.resid, cols, trim)


def plot_f_sequence(report: Any, ax: Any) -> Any:
    """The report's F sequence on a matplotlib Axes, with the sup-F critical
    value at the report's alpha (Hansen's approximation) and the supremum's date."""
    from Kalvoren._report import _plot_axis

    opts = report._batch.options
    trim = opts.get("f_trim", 0.15)
    seq = _model_sequence(report._model, trim, opts.get("f_break_columns"))
    if seq.status != 0:
        ax.set_title("F statistics of a break: none")
        return ax
    x = _plot_axis(report.index, seq.lo, seq.hi + 1)
    ax.plot(x, seq.stat, color="C0", label="F (Wald form)")
    crit = hansen_critical("sup", report.alpha, seq.q, seq.tau)
    if crit == crit:
        ax.axhline(crit, color="r", lw=1, label=f"sup-F {report.alpha:g} critical value")
    ax.axvline(x[seq.break_at - seq.lo], color="0.4", ls=":", lw=1, label="supremum")
    ax.set_title(f"F statistics of a break (q = {seq.q}, trimming {seq.tau:.3g})")
    ax.legend(loc="best", fontsize="small")
    return ax


# ------------------------------------------- the registry's per-series functions


def _view_sequence(v: Any) -> FSequence:
    """One F sequence per series for sup_f, ave_f and exp_f."""
    cache = v.__dict__.setdefault("_breaks_cache", {})
    if "seq" not in cache:
        cols = break_columns(v.option("f_break_columns"), v.names or [], v.kept)
        cache["seq"] = sequence(v.Xs, v.e, cols, v.option("f_trim"))
    seq: FSequence = cache["seq"]
    return seq


def _functional(kind: str) -> Callable[[Any], Computed]:
    def compute(v: Any) -> Computed:
        seq = _view_sequence(v)
        if seq.status != 0:
            return Computed(seq.status)
        if seq.q > HANSEN_MAX_Q:
            return Computed(Status.BAD_ARG)
        stat = {"sup": seq.sup, "ave": seq.ave, "exp": seq.exp}[kind]
        p = hansen_pvalue(kind, stat, seq.q, seq.tau)
        extra = {"break_at": seq.break_at} if kind == "sup" else None
        return Computed(0, stat, float(seq.q), math.nan, p, extra)

    return compute


sup_f = _functional("sup")
ave_f = _functional("ave")
exp_f = _functional("exp")


def _spans_constant(v: Any) -> bool:
    """Whether the fitted columns hold the constant (explicitly or as a set of
    dummies): only then do the OLS residuals sum to zero, which the Brownian
    bridge of the OLS-based tests assumes."""
    n = v.Xs.shape[0]
    if v.const >= 0:
        return True
    inside = v.fit.Q.sum(axis=0)  # Q'1
    return bool(float(inside @ inside) > n * (1.0 - 1e-8))


def ols_cusum_test(v: Any) -> Computed:
    n, k = v.Xs.shape
    if n <= k:
        return Computed(Status.TOO_SHORT)
    if not _spans_constant(v):
        return Computed(Status.BAD_ARG)
    _, stat = ols_cusum(v.e, k)
    return Computed(0, stat, pvalue=kolmogorov_pvalue(stat, n))


def rec_mosum_test(v: Any) -> Computed:
    """MOSUM of the recursive residuals, scaled by their standard deviation about
    their mean on m - k degrees of freedom (R strucchange's choice)."""
    h = v.option("mosum_h")
    k = v.Xs.shape[1]
    w = recursive_residuals(v.ys, v.Xs)
    m = w.shape[0]
    if m - k < 1 or math.floor(m * h) < 1:
        return Computed(Status.TOO_SHORT)
    sd = float(np.sqrt(np.sum((w - w.mean()) ** 2) / (m - k)))
    if not sd > 0:
        return Computed(Status.UNDEFINED_VARIANCE)
    _, stat = mosum(w, h, sd)
    return Computed(0, stat, pvalue=mosum_pvalue("rec", stat, math.floor(m * h) / m, m))


def ols_mosum_test(v: Any) -> Computed:
    h = v.option("mosum_h")
    n, k = v.Xs.shape
    if n <= k or math.floor(n * h) < 1:
        return Computed(Status.TOO_SHORT)
    if not _spans_constant(v):
        return Computed(Status.BAD_ARG)
    sigma = math.sqrt(float(v.e @ v.e) / (n - k))
    _, stat = mosum(v.e, h, sigma)
    return Computed(0, stat, pvalue=mosum_pvalue("ols", stat, math.floor(n * h) / n, n))


def hansen_test(v: Any) -> Computed:
    n, k = v.Xs.shape
    if n <= k + 1:
        return Computed(Status.TOO_SHORT)
    try:
        joint, single = nyblom_hansen(v.Xs, v.e)
    except np.linalg.LinAlgError:
        return Computed(Status.SINGULAR)
    if not (math.isfinite(joint) and np.isfinite(single).all()):
        return Computed(Status.UNDEFINED_VARIANCE)
    every = v.names or [f"x{j + 1}" for j in range(v.X.shape[1])]
    names = [str(every[j]) for j in v.kept] + ["variance"]
    extra = {
        "individual": {
            name: {"statistic": float(s), "pvalue": cvm_pvalue(float(s), 1)}
            for name, s in zip(names, single)
        }
    }
    return Computed(0, joint, float(k + 1), math.nan, cvm_pvalue(joint, k + 1), extra)


__all__ = [
    "Breakpoints",
    "FSequence",
    "breakpoints",
    "f_sequence",
    "plot_f_sequence",
    "hansen_pvalue",
    "cvm_pvalue",
    "mosum_pvalue",
    "kolmogorov_pvalue",
]
