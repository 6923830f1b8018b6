"""Model checks and further residual checks, computed per series.

White, RESET, Goldfeld-Quandt, Harvey-Collier, Rainbow and Durbin-Watson with
its exact p-value; Breusch-Pagan on chosen variance regressors; the Ljung-Box
table over several lags. Each test takes an ``_engine.SeriesView`` and returns
a ``_registry.Computed``; _tests_spec.py holds their registry entries and
options. Fits go through orthogonal factorisations of the equilibrated design
(``view.Xs``, ``view.fit``), and every auxiliary regressor is taken only for
the part of it outside the columns already fitted, so a duplicate (the
square of a dummy) leaves the degrees of freedom instead of breaking them.

Durbin-Watson's null distribution (class DWNull) is exact under normal
errors. d = e'Ae / e'e (A the first-difference matrix, e = Mu the residuals)
is below c exactly when u'M(A - cI)Mu is negative: a weighted sum of
independent chi-square(1) variables, weighted by the eigenvalues of
M(A - cI)M. Its distribution is Imhof's (1961) inversion of the
characteristic function, integrated on the vertical line through the saddle
point of the cumulant generating function instead of the imaginary axis (the
same integral, with the tails' relative accuracy: a p-value of 1e-30 keeps
its digits) by the double-exponential rule. No eigenvalues are computed: A
is diagonal in the orthonormal DCT-II basis (eigenvalues 4 sin^2(pi j / 2n)),
so with W = DCT(Q) for an orthonormal basis Q of the design, C its
complement and G = I - 2s(A - cI) (diagonal in that basis),

    det(I - 2s C'(A - cI)C) = det(G) det(W' G^-1 W):

n scalars and an r x r matrix per point of the integral, O(n r^2) where the
eigenvalues cost O(n^3). The constant's direction is A's null vector and
leaves exactly, so r is the number of slopes. Above DW_EXACT_MAX observations
the Lugannani-Rice saddlepoint approximation from the same cumulant
generating function replaces the integral: at the switch it is within 1e-8
of the exact p-value (tests/test_spectests.py holds it to 1e-7).
"""

from __future__ import annotations

import math
from typing import Any, Callable, TypeVar, cast

import numpy as np
from scipy import fft, special
from scipy import linalg as sla

from Kalvoren import _lstsq
from Kalvoren._ckernels.diag import _diag
from Kalvoren._options import OptionError
from Kalvoren._registry import Computed, Status

T = TypeVar("T")

# ---------------------------------------------------------------- helpers


def _beyond(Q: np.ndarray, Z: np.ndarray) -> np.ndarray:
    """An orthonormal basis of the part of span(Z) outside span(Q) (Q
    orthonormal, possibly without columns). Each column of Z is scaled to unit
    length, projected off Q twice (Kahan-Parlett), and kept by column-pivoted
    QR where it leaves more than the rank tolerance: a column inside span(Q)
    up to rounding (a dummy's square beside the dummy) is dropped."""
    n = Z.shape[0]
    norms = np.sqrt(np.einsum("ij,ij->j", Z, Z))
    Z = Z[:, norms > 0] / norms[norms > 0]
    if Z.shape[1] == 0:
        return np.empty((n, 0))
    for _ in range(2):
        Z = Z - Q @ (Q.T @ Z)
    Qz, R, _ = sla.qr(Z, mode="economic", pivoting=True)
    d = np.abs(np.diag(R))
    r = int(np.count_nonzero(d > _lstsq.rank_tolerance(n, Q.shape[1] + Z.shape[1])))
    basis: np.ndarray = Qz[:, :r]
    return basis


def _shared(v: Any, key: str, make: Callable[[], T]) -> T:
    """Work that depends on the design alone, done once for a batch whose
    series share one design and per series otherwise: the same code either
    way, so a series gets the same bits however it is run."""
    batch = v.batch
    if not batch.shared_x:
        return make()
    cache = batch.__dict__.setdefault("_spectests_shared", {})
    slot = (key, tuple(v.kept))
    if slot not in cache:
        cache[slot] = make()
    shared: T = cache[slot]
    return shared


class _Factor:
    """Least squares on fixed columns at their numerical rank (column-pivoted
    QR with the rank tolerance of _lstsq), factored once for any number of
    right-hand sides."""

    def __init__(self, Z: np.ndarray):
        n, k = Z.shape
        self.rank = 0
        self.Q, self.R, self.Zk = np.empty((n, 0)), np.empty((0, 0)), np.empty((n, 0))
        if k == 0 or n == 0:
            return
        Q, R, piv = sla.qr(Z, mode="economic", pivoting=True)
        d = np.abs(np.diag(R))
        r = int(np.count_nonzero(d > _lstsq.rank_tolerance(n, k) * d[0])) if d[0] > 0 else 0
        self.rank, self.Q, self.R, self.Zk = r, Q[:, :r], R[:r, :r], Z[:, piv[:r]]

    def resid(self, v: np.ndarray) -> _lstsq.Resid:
        qv = self.Q.T @ v
        beta = sla.solve_triangular(self.R, qv, check_finite=False) if self.rank else np.empty(0)
        return _lstsq.Resid(v - self.Q @ qv, self.rank, _lstsq.fit_size(v, self.Zk, beta))


def _standardised(B: np.ndarray, centre: bool) -> np.ndarray:
    """Columns centred (when the model has a constant, which then absorbs the
    shift) and scaled to largest magnitude 1, before taking powers and
    products: the span they add is the same, its conditioning far better."""
    if centre:
        B = B - B.mean(axis=0)
    top = np.max(np.abs(B), axis=0, initial=0.0)
    return B / np.where(top > 0, top, 1.0)


def _slopes(v: Any) -> np.ndarray:
    """The fitted columns other than the constant (scaled units)."""
    return np.delete(v.Xs, v.const, axis=1) if v.const >= 0 else v.Xs


def column(v: Any, spec: Any, name: str) -> np.ndarray:
    """The values a column option names: a column name, a 0-based position
    among the design's columns as the report lists them (an added constant
    first), or an array of n values."""
    if isinstance(spec, str):
        names = list(v.names or [])
        if spec not in names:
            raise OptionError(name, f"names no column of the design (columns: {', '.join(names)})")
        return cast(np.ndarray, v.X[:, names.index(spec)])
    if isinstance(spec, int):
        k = v.X.shape[1]
        if not 0 <= spec < k:
            raise OptionError(name, f"must be a column position below {k} (got {spec})")
        return cast(np.ndarray, v.X[:, spec])
    if spec.shape[0] != v.n:
        raise OptionError(name, f"has {spec.shape[0]} rows for a series of {v.n} observations")
    return cast(np.ndarray, spec)  # an array, checked by the option


def _order(v: Any, option: str) -> np.ndarray | None:
    """The rows sorted by the chosen column, ties in their order (as R's
    order()), or None to keep the order of the data."""
    spec = v.option(option)
    if spec is None:
        return None
    values = column(v, spec, option)
    if values.ndim != 1:
        raise OptionError(option, "must name one column")
    return np.argsort(values, kind="stable")


def _ordered(v: Any, option: str) -> tuple[np.ndarray | None, np.ndarray]:
    """The order of the rows and the design in it (contiguous)."""

    def make() -> tuple[np.ndarray | None, np.ndarray]:
        perm = _order(v, option)
        return perm, v.Xs if perm is None else np.ascontiguousarray(v.Xs[perm])

    return _shared(v, option, make)


def _f_tails(F: float, d1: float, d2: float) -> tuple[float, float]:
    """(P(F' >= F), P(F' <= F)) for F' ~ F(d1, d2)."""
    return float(special.fdtrc(d1, d2, F)), float(special.fdtr(d1, d2, F))


# ------------------------------------------------------------------ White


def white(v: Any) -> Computed:
    """White's (1980) test: n R^2 of e^2 on a constant, the slopes, their
    squares and (white_cross) cross-products; df the rank of that auxiliary
    design without its constant. The constant is always in it."""
    if _slopes(v).shape[1] == 0:
        return Computed(Status.BAD_ARG)

    def auxiliary() -> np.ndarray:
        Sc = _standardised(_slopes(v), True)
        p = Sc.shape[1]
        if v.option("white_cross"):
            i, j = np.triu_indices(p)
        else:
            i = j = np.arange(p)
        one = np.full((v.n, 1), 1.0 / math.sqrt(v.n))
        return _beyond(one, np.column_stack([Sc, Sc[:, i] * Sc[:, j]]))

    Qa = _shared(v, "white", auxiliary)
    u = v.e * v.e
    uc = u - u.mean()
    tss = float(uc @ uc)
    if not tss > 0:
        return Computed(Status.UNDEFINED_VARIANCE)
    c = Qa.T @ uc
    return Computed(0, v.n * min(float(c @ c) / tss, 1.0), float(Qa.shape[1]))


# ----------------------------------------------------------- Breusch-Pagan


def _variance_regressors(v: Any) -> np.ndarray:
    spec = v.option("bp_regressors")
    if isinstance(spec, np.ndarray):
        Z = column(v, spec, "bp_regressors")
        return Z[:, None] if Z.ndim == 1 else Z
    return np.column_stack([column(v, c, "bp_regressors") for c in spec])


def bp_chosen(v: Any, which: int) -> Computed:
    """Breusch-Pagan on the chosen variance regressors Z (with a constant):
    half the explained sum of squares of e^2 / mean(e^2) (which = 0) or
    Koenker's n R^2 (which = 1); df the rank of Z beside the constant."""

    def regressors() -> np.ndarray:
        one = np.full((v.n, 1), 1.0 / math.sqrt(v.n))
        return _beyond(one, _standardised(_variance_regressors(v), True))

    Qz = _shared(v, "bp", regressors)
    e2 = v.e * v.e
    s2 = float(e2.mean())
    if not s2 > 0:
        return Computed(Status.UNDEFINED_VARIANCE)
    if Qz.shape[1] == 0:
        return Computed(Status.BAD_ARG)
    g = e2 / s2
    gc = g - g.mean()
    tss = float(gc @ gc)
    c = Qz.T @ gc
    ess = float(c @ c)
    if which == 0:
        return Computed(0, 0.5 * ess, float(Qz.shape[1]))
    if not tss > 0:
        return Computed(Status.UNDEFINED_VARIANCE)
    return Computed(0, v.n * min(ess / tss, 1.0), float(Qz.shape[1]))


# ------------------------------------------------------------------- RESET


def reset(v: Any) -> Computed:
    """Ramsey's RESET: F test of adding powers 2..reset_power of the fitted
    values, of each slope ("regressors"), or of the first principal component
    of the slopes in the data's units ("princomp"), as lmtest's resettest.
    df (q, n - k - q) with q the rank the powers add."""
    if _slopes(v).shape[1] == 0:
        return Computed(Status.BAD_ARG)
    n, k = v.Xs.shape
    if v.option("reset_power") - 1 > n - k - 1:  # more powers than the data leave room for
        return Computed(Status.TOO_SHORT)
    kind = v.option("reset_type")
    if kind == "fitted":
        return _added(v, _beyond(v.fit.Q, _powers(v, (v.ys - v.e)[:, None])))

    def added() -> np.ndarray:
        if kind == "regressors":
            base = _slopes(v)
        else:  # the principal component in the data's units, as lmtest's
            raw = v.X[:, [j for j in v.kept if j != v.batch.const_col]]
            _, vec = np.linalg.eigh(np.cov(raw, rowvar=False).reshape(raw.shape[1], -1))
            base = (raw @ vec[:, -1])[:, None]
        return _beyond(v.fit.Q, _powers(v, base))

    return _added(v, _shared(v, "reset", added))


def _powers(v: Any, base: np.ndarray) -> np.ndarray:
    base = _standardised(base, v.const >= 0)
    return np.column_stack([base**p for p in range(2, v.option("reset_power") + 1)])


def _added(v: Any, Qz: np.ndarray) -> Computed:
    """F test of adding the directions Qz (orthonormal, outside the fitted
    columns): the explained part is the projection of e on them, never a
    difference of sums."""
    n, k = v.Xs.shape
    q = Qz.shape[1]
    if q == 0:
        return Computed(Status.BAD_ARG)
    d2 = n - k - q
    if d2 < 1:
        return Computed(Status.TOO_SHORT)
    e = v.e
    c = Qz.T @ e
    rest = e - Qz @ c
    if _lstsq.is_exact_fit(rest, float(np.linalg.norm(e))):
        return Computed(Status.UNDEFINED_VARIANCE)
    F = (float(c @ c) / q) / (float(rest @ rest) / d2)
    return Computed(0, F, float(q), float(d2))


# -------------------------------------------------------- Goldfeld-Quandt


def gq_parts(n: int, split: float, drop: float) -> tuple[int, int]:
    """(rows of the first part, first row of the last part), as lmtest's
    gqtest: a split in (0, 1) is a fraction of n, from 1 up a position (the
    first part's length); the central fraction drop of the rows goes."""
    if split < 1:
        return math.floor((split - drop / 2) * n), math.ceil((split + drop / 2) * n + 0.01) - 1
    dropped = math.floor(drop * n)
    s = int(split)
    return s - math.ceil(dropped / 2), s + math.ceil(dropped / 2 + 0.01) - 1


def goldfeld_quandt(v: Any) -> Computed:
    """Goldfeld-Quandt: the residual variance of the last part over that of
    the first, F(n2 - k2, n1 - k1) (the parts' ranks), rows ordered by
    gq_order_by; the p-value for gq_alternative."""
    n = v.n
    p1, s2 = gq_parts(n, v.option("gq_split"), v.option("gq_drop"))
    if p1 < 1 or s2 >= n:
        return Computed(Status.TOO_SHORT)

    def parts() -> tuple[np.ndarray | None, _Factor, _Factor]:
        perm, Xs = _ordered(v, "gq_order_by")
        return perm, _Factor(Xs[:p1]), _Factor(Xs[s2:])

    perm, first, last = _shared(v, "gq", parts)
    ys = v.ys if perm is None else v.ys[perm]
    one, two = first.resid(ys[:p1]), last.resid(ys[s2:])
    d_first, d_last = p1 - one.rank, (n - s2) - two.rank
    if d_first < 1 or d_last < 1:
        return Computed(Status.TOO_SHORT)
    if one.exact:
        return Computed(Status.UNDEFINED_VARIANCE)
    F = ((0.0 if two.exact else two.rss) / d_last) / (one.rss / d_first)
    upper, lower = _f_tails(F, d_last, d_first)
    alt = v.option("gq_alternative")
    p = (
        upper
        if alt == "increasing"
        else lower
        if alt == "decreasing"
        else min(1.0, 2 * min(upper, lower))
    )
    return Computed(0, F, float(d_last), float(d_first), p)


# ---------------------------------------------------------- Harvey-Collier


def harvey_collier(v: Any) -> Computed:
    """Harvey-Collier: Student's t of the mean of the recursive residuals
    (rows ordered by hc_order_by), df m - 1 for m recursive residuals; the
    two-sided p-value. The recursion is the battery's kernel; a start it
    refuses (rank-deficient first rows) takes the rotations of the
    least-squares route, which begin at the first row of full rank."""
    perm, Xs = _ordered(v, "hc_order_by")
    ys = v.ys if perm is None else v.ys[perm]
    status, w = _diag.recursive_residuals(ys, Xs)
    if status != 0:
        Q = v.fit.Q if perm is None else v.fit.Q[perm]
        w = _lstsq.recursive_residuals(ys, np.ascontiguousarray(Q))[0]
    m = w.shape[0]
    if m < 2:
        return Computed(Status.TOO_SHORT)
    mean = float(w.mean())
    dev = w - mean
    ss = float(dev @ dev)
    if not ss > 0:
        return Computed(Status.UNDEFINED_VARIANCE)
    t = mean * math.sqrt(m) / math.sqrt(ss / (m - 1))
    return Computed(0, t, float(m - 1), pvalue=2.0 * float(special.stdtr(m - 1, -abs(t))))


# ------------------------------------------------------------------ Rainbow


def rainbow_rows(n: int, fraction: float) -> tuple[int, int]:
    """The central rows [lo, hi) of lmtest's raintest: from the ceiling of
    the (1 - fraction) / 2 quantile of 1..n (R's type 7, computed as R does),
    floor(fraction n) of them."""
    idx = 1.0 + (n - 1) * (0.5 - fraction / 2.0)
    lo = math.floor(idx)
    h = idx - lo
    q = (1.0 - h) * lo + h * (lo + 1) if idx > lo else float(lo)
    start = math.ceil(q) - 1
    return start, start + math.floor(fraction * n)


def rainbow(v: Any) -> Computed:
    """Utts' (1982) Rainbow test: F of the central fraction's fit against
    the whole sample's, df (n - n1 - (k - k1), n1 - k1) with k1 the central
    fit's rank (a column the centre lacks, a dummy of outer rows, is spanned
    by the outer rows' own parameters: lmtest's n - n1 when k1 = k)."""
    n = v.n
    lo, hi = rainbow_rows(n, v.option("rainbow_fraction"))
    if hi - lo < 1 or hi - lo >= n:
        return Computed(Status.TOO_SHORT)
    mid = _shared(v, "rainbow", lambda: _Factor(v.Xs[lo:hi])).resid(v.ys[lo:hi])
    n1 = hi - lo
    d1, d2 = n - n1 - (len(v.kept) - mid.rank), n1 - mid.rank
    if d1 < 1 or d2 < 1:
        return Computed(Status.TOO_SHORT)
    if mid.exact:
        return Computed(Status.UNDEFINED_VARIANCE)
    rss = float(v.e @ v.e)
    F = (max(rss - mid.rss, 0.0) / d1) / (mid.rss / d2)
    return Computed(0, F, float(d1), float(d2))


# ----------------------------------------------------------- Durbin-Watson

# Observations above which the saddlepoint approximation replaces the exact
# integral (whose cost grows as n; the approximation's error shrinks as 1/n).
DW_EXACT_MAX = 2000

# The double-exponential rule y = y0 exp(pi/2 sinh t), t in steps of _H from
# -_T_LO (weights below 1e-19 of the total) to _T_HI (y ~ 1e30 y0). _H = 1/16
# leaves about 1e-15 relative error on designs from n = 3 up; 1/12 is at
# 1e-10 in the tails.
_H = 1.0 / 16.0
_T_LO, _T_HI = 4.0, 4.5
_T = _H * np.arange(-round(_T_LO / _H), round(_T_HI / _H) + 1)
_SCALE = np.exp(0.5 * np.pi * np.sinh(_T))  # y / y0
_WEIGHT = _H * 0.5 * np.pi * np.cosh(_T) * _SCALE  # dy / y0
_LOG_CUT = math.log(1e-17)
_STRIP = 0.95  # how far toward the edge of the strip of convergence to go
_BLOCK = 1 << 20  # nodes x observations evaluated at once
# Lugannani-Rice cancels beside the mean (w, u -> 0); there it is the average
# of its values at +-delta and +-2 delta (Richardson), u(delta) about _U_NEAR.
_U_NEAR = 0.02


class DWNull:
    """The Durbin-Watson statistic's null distribution for one design.

    Q: an orthonormal basis of the design's columns (n x k); const: its
    column along the constant (proportional to ones), or -1.
    """

    def __init__(self, Q: np.ndarray, const: int = -1):
        n = Q.shape[0]
        self.n = n
        lam = 4.0 * np.sin(np.pi * np.arange(n, dtype=np.float64) / (2.0 * n)) ** 2
        if const >= 0:
            W = fft.dct(np.delete(Q, const, axis=1), type=2, norm="ortho", axis=0)[1:]
            lam = lam[1:]
        else:
            W = fft.dct(Q, type=2, norm="ortho", axis=0)
        self.lam = lam
        self.r = W.shape[1]
        self.m = n - Q.shape[1]  # the residuals' degrees of freedom
        # w_ia w_ib, so that W' diag(x) W = (x @ P).reshape(r, r)
        self.P = np.ascontiguousarray((W[:, :, None] * W[:, None, :]).reshape(W.shape[0], -1))

    def _cgf(self, s: float, lp: np.ndarray) -> tuple[float, float, float]:
        """K(s), K'(s), K''(s) of the quadratic form at real s in the strip,
        from the log-determinant above (lp: the eigenvalues of A minus c)."""
        a = 1.0 - 2.0 * s * lp
        ia = 1.0 / a
        b = 2.0 * lp * ia
        L0, L1, L2 = float(np.log(a).sum()), -float(b.sum()), -float((b * b).sum())
        r = self.r
        if r:
            Hm = (ia @ self.P).reshape(r, r)
            A1 = np.linalg.solve(Hm, ((b * ia) @ self.P).reshape(r, r))
            A2 = np.linalg.solve(Hm, ((2.0 * b * b * ia) @ self.P).reshape(r, r))
            L0 += float(np.linalg.slogdet(Hm)[1])
            L1 += float(np.trace(A1))
            L2 += float(np.trace(A2) - np.trace(A1 @ A1))
        return -0.5 * L0, -0.5 * L1, -0.5 * L2

    def _strip(self, lp: np.ndarray) -> tuple[float, float]:
        """Where 1 - 2 s lp > 0 for every eigenvalue of A (which contain the
        form's: its strip of convergence), pulled in by _STRIP."""
        return _STRIP * 0.5 / float(lp.min()), _STRIP * 0.5 / float(lp.max())

    def _saddle(self, lp: np.ndarray, x: float, tol: float) -> tuple[float, float, float, bool]:
        """The root of K'(s) = x in the strip (Newton kept inside a bracket;
        K is convex), or the strip's edge when the root lies beyond it.
        Returns (s, K, K'', found)."""
        a, b = self._strip(lp)
        _, k1, k2 = self._cgf(0.0, lp)
        s = min(max(-(k1 - x) / k2, a), b)
        for _ in range(100):
            K, k1, k2 = self._cgf(s, lp)
            g = k1 - x
            if abs(g) <= tol * math.sqrt(k2):
                return s, K, k2, True
            if g > 0.0:
                b = s
            else:
                a = s
            new = s - g / k2
            s = new if a < new < b else 0.5 * (a + b)
            if b - a <= 1e-15 * max(abs(a), abs(b)):
                break
        K, k1, k2 = self._cgf(s, lp)
        return s, K, k2, abs(k1 - x) <= tol * math.sqrt(k2)

    def tails(self, c: float) -> tuple[float, float]:
        """(P(D <= c), P(D >= c)) under normal errors, each accurate to its
        own size where it is the smaller."""
        if self.m < 1 or not math.isfinite(c):
            return math.nan, math.nan
        lp = self.lam - c
        if lp.min() >= 0.0:  # c at or below every eigenvalue
            return 0.0, 1.0
        if lp.max() <= 0.0:
            return 1.0, 0.0
        if not self._cgf(0.0, lp)[2] > 0.0:  # every weight zero: d is constant
            return 1.0, 1.0
        if self.n > DW_EXACT_MAX:
            pair = self.saddlepoint(lp)
            if pair is not None:
                return pair
        return self.exact(lp)

    def exact(self, lp: np.ndarray) -> tuple[float, float]:
        """Both tails by the integral on the line Re s = s0."""
        s, K, k2, _ = self._saddle(lp, 0.0, 1e-6)
        if abs(s) * math.sqrt(k2) < 1.0:
            # keep the pole at 0 a scale width away from the contour
            side = s if s != 0.0 else -self._cgf(0.0, lp)[1]
            lo, hi = self._strip(lp)
            s = min(max(math.copysign(1.0 / math.sqrt(k2), side), lo), hi)
            K, _, k2 = self._cgf(s, lp)
        y0 = 1.0 / math.sqrt(k2)
        a = 1.0 - 2.0 * s * lp
        b = 2.0 * lp / a
        # Leave out the terms whose envelope is below 1e-17 of the result: by
        # concavity prod_j (1 + y^2 b_j^2)^(-1/4) <= (1 + y^2 B^2)^(-K''/(2 B^2))
        # over the form's b_j, which lie within the range of b.
        B2 = float(np.max(b * b))
        y = y0 * _SCALE
        env = np.log(_WEIGHT / _SCALE) - (k2 / (2.0 * B2)) * np.log1p(y * y * B2)
        last = int(np.flatnonzero((env >= _LOG_CUT + math.log(y0 / abs(s))) | (_T <= 0.0))[-1])
        y = y[: last + 1]
        log_a = -0.5 * float(np.log(a).sum())
        block = max(1, _BLOCK // lp.shape[0])  # nodes at a time: memory stays bounded
        parts = [self._log_mgf(y[i : i + block], a, b, log_a) for i in range(0, y.shape[0], block)]
        re, im = np.concatenate([p[0] for p in parts]), np.concatenate([p[1] for p in parts])
        # Re[M(s + iy) / (s + iy)], M the moment generating function, over M(s)
        f = np.exp(re - K) * (s * np.cos(im) + y * np.sin(im)) / (s * s + y * y)
        total = float(_WEIGHT[: last + 1] @ f) * y0 * math.exp(K) / math.pi
        if s < 0.0:  # P(X <= 0) = -(1/pi) int_0^inf Re[M / z] dy
            low = min(max(-total, 0.0), 1.0)
            return low, 1.0 - low
        high = min(max(total, 0.0), 1.0)
        return 1.0 - high, high

    def _log_mgf(
        self, y: np.ndarray, a: np.ndarray, b: np.ndarray, log_a: float
    ) -> tuple[np.ndarray, np.ndarray]:
        """log M(s + iy) (real and imaginary parts) at the nodes y, given
        a = 1 - 2 s lp, b = 2 lp / a and log_a = -sum(log a) / 2."""
        yb = y[:, None] * b[None, :]
        q = 1.0 + yb * yb
        re = log_a - 0.25 * np.log(q).sum(axis=1)
        im = 0.5 * np.arctan(yb).sum(axis=1)
        r = self.r
        if r:
            wr = 1.0 / (a * q)
            ld, mu = _pencil(
                (wr @ self.P).reshape(-1, r, r), ((wr * yb) @ self.P).reshape(-1, r, r)
            )
            re -= 0.5 * (ld + 0.5 * np.log1p(mu * mu).sum(axis=1))
            im -= 0.5 * np.arctan(mu).sum(axis=1)
        return re, im

    def _lr(self, lp: np.ndarray, x: float) -> tuple[float, float, float] | None:
        """Lugannani-Rice (P(X <= x), P(X > x), u) with u = s sqrt(K''); None
        without a saddle point in the strip."""
        s, K, k2, found = self._saddle(lp, x, 1e-13)
        if not found:
            return None
        u = s * math.sqrt(k2)
        w = math.copysign(math.sqrt(max(2.0 * (s * x - K), 0.0)), s)
        if w == 0.0 or u == 0.0:
            return None
        corr = math.exp(-0.5 * w * w) / math.sqrt(2.0 * math.pi) * (1.0 / w - 1.0 / u)
        return float(special.ndtr(w)) + corr, float(special.ndtr(-w)) - corr, u

    def saddlepoint(self, lp: np.ndarray) -> tuple[float, float] | None:
        """Both tails by Lugannani-Rice (None: the exact integral decides)."""
        at = self._lr(lp, 0.0)
        if at is None:
            return None
        if abs(at[2]) < _U_NEAR:
            # beside the mean: Richardson on the averages at +-delta, +-2 delta
            delta = _U_NEAR * math.sqrt(self._cgf(0.0, lp)[2])
            avg = []
            for step in (delta, 2.0 * delta):
                lo, hi = self._lr(lp, -step), self._lr(lp, step)
                if lo is None or hi is None:
                    return None
                avg.append(0.5 * (lo[0] + hi[0]))
            low = (4.0 * avg[0] - avg[1]) / 3.0
            at = (low, 1.0 - low, 0.0)
        low, high = at[0], at[1]
        return min(max(low, 0.0), 1.0), min(max(high, 0.0), 1.0)


def _pencil(Hr: np.ndarray, Hi: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """For stacks of symmetric Hr (positive definite) and Hi: log det Hr and
    the eigenvalues mu of Hr^-1 Hi, so that det(Hr + i Hi) = det Hr prod (1 +
    i mu), each factor's argument in (-pi/2, pi/2): the branch of the
    determinant's argument needs no unwrapping, whatever r."""
    if Hr.shape[1] == 1:
        h = Hr[:, 0, 0]
        return np.log(h), (Hi[:, 0, 0] / h)[:, None]
    d, V = np.linalg.eigh(Hr)
    # far out on the contour Hr is dominated by a few terms: those nodes
    # carry nothing, and the floor only keeps them finite
    d = np.maximum(d, d[:, -1:] * 1e-300 + 1e-300)
    Wm = V / np.sqrt(d)[:, None, :]
    return np.log(d).sum(axis=1), np.linalg.eigvalsh(np.swapaxes(Wm, 1, 2) @ Hi @ Wm)


def dw_statistic(e: np.ndarray) -> float:
    """d = sum (e_t - e_{t-1})^2 / sum e_t^2."""
    de = np.diff(e)
    return float(de @ de) / float(e @ e)


def dw_pvalue(null: DWNull, d: float, alternative: str) -> float:
    """The exact p-value of d: "greater" (positive autocorrelation, small d)
    is P(D <= d), "less" P(D >= d), "two-sided" twice the smaller."""
    low, high = null.tails(d)
    if alternative == "greater":
        return low
    if alternative == "less":
        return high
    return min(1.0, 2.0 * min(low, high))


def durbin_watson(v: Any) -> Computed:
    """Durbin-Watson d with its exact p-value for the fitted design."""
    m = v.Xs.shape[0] - v.Xs.shape[1]
    if m < 2:
        return Computed(Status.TOO_SHORT)
    d = dw_statistic(v.e)
    const = v.fit.order.index(v.const) if v.const >= 0 else -1
    null = _shared(v, "dw", lambda: DWNull(v.fit.Q, const))
    p = dw_pvalue(null, d, v.option("dw_alternative"))
    how = "exact" if v.n <= DW_EXACT_MAX else "saddlepoint"
    return Computed(0, d, pvalue=p, extra={"pvalue": how})


# -------------------------------------------------------------- Ljung-Box


def ljung_box_table(resid: Any, lags: Any = (1, 2, 3, 4, 5, 10), model_df: int = 0) -> Any:
    """Ljung-Box Q of a series at each of several lags: a pandas DataFrame
    indexed by lag with the statistic, its degrees of freedom (the lag, cut
    to n - 1, less model_df: the parameters of an ARMA model fitted to the
    series) and the chi-square p-value (NaN where no degrees of freedom are
    left). Q is the battery's kernel, so a lag's row equals ljung_box's
    statistic on the same residuals."""
    import pandas as pd

    from Kalvoren._options import integer

    x = np.array(resid, dtype=np.float64).reshape(-1)
    if not np.isfinite(x).all():
        raise ValueError("resid has a missing or non-finite value")
    model_df = integer(model_df, "model_df")
    if model_df < 0:
        raise OptionError("model_df", f"must be >= 0 (got {model_df})")
    chosen = [integer(L, "lags") for L in ([lags] if np.ndim(lags) == 0 else list(lags))]
    if not chosen or min(chosen) < 1:
        raise OptionError("lags", "must be one or more lags >= 1")
    n = x.shape[0]
    rows = []
    for L in chosen:
        status, q = _diag.lb_stat(x, L)
        if status != 0:
            raise ValueError(f"Ljung-Box at lag {L}: {Status(status).name.lower()} (n = {n})")
        df = min(L, n - 1) - model_df
        p = float(special.chdtrc(df, q)) if df >= 1 else math.nan
        rows.append((float(q), df, p))
    return pd.DataFrame(
        rows, index=pd.Index(chosen, name="lag"), columns=["statistic", "df", "pvalue"]
    )
