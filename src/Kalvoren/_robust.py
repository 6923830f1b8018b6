"""Robust covariances of OLS coefficients, as R's sandwich package defines them:
heteroskedasticity-consistent (HC0-HC5, HC4m: ``vcovHC``), clustered in one or
two ways (``vcovCL``), Driscoll-Kraay for panels (``vcovPL``) and kernel HAC
with fixed or automatic bandwidths and VAR(1) prewhitening (``NeweyWest``,
``kernHAC``).

Every estimator is a sandwich R^-1 M R^-T formed in the coordinates of the
QR factor of the equilibrated design (X = Q R): the scores are h_t = e_t q_t,
q_t the rows of Q, and M is the "meat" of those scores. That keeps every entry
accurate to its own scale whatever the design's condition, as the battery's
own HAC step does. The plug-in bandwidths are not invariant to the units of
the regressors, so they are chosen, as R chooses them, on the scores x_t e_t
in the units of the data.

The bandwidth b is the kernel's scale: lag j weighs k(j / b). An integer
bandwidth L counts lags, as ``hac_lags`` and Newey-West do: b = L + 1.
"""

from __future__ import annotations

import dataclasses
import functools
import math
from dataclasses import dataclass
from typing import Any, Sequence, cast

import numpy as np
from scipy import linalg as sla

from Kalvoren import _engine, _lstsq
from Kalvoren._options import OptionError, OptionTypeError, integer
from Kalvoren._registry import Status
from Kalvoren._results import TestResult

COV_TYPES = ("HAC", "HC0", "HC1", "HC2", "HC3", "HC4", "HC4m", "HC5", "cluster", "driscoll-kraay")
HC_TYPES = COV_TYPES[1:8]
KERNELS = ("bartlett", "parzen", "qs")
KERNEL_NAMES = {"bartlett": "Bartlett", "parzen": "Parzen", "qs": "quadratic spectral"}
RULES = ("nw1994", "andrews", "llsw")
# The options each type takes (beside nothing at all).
OPTION_NAMES = {
    "HAC": ("kernel", "bandwidth", "prewhite", "adjust"),
    "cluster": ("groups", "correction"),
    "driscoll-kraay": ("time", "entity", "kernel", "bandwidth", "adjust"),
    **{t: () for t in HC_TYPES},
}
# Kernel weights below this are dropped from the tail (R's kweights tolerance).
WEIGHT_TOL = 1e-7
# Beyond this many lags the weighted sum of autocovariances goes by FFT.
FFT_LAGS = 64

# Andrews (1991): the kernel's constant and characteristic exponent q.
_ANDREWS = {"bartlett": (1.1447, 1), "parzen": (2.6614, 2), "qs": (1.3221, 2)}
# Newey and West (1994): the exponent of the rule for the number of
# autocovariances the plug-in uses, per kernel.
_NW_RATE = {"bartlett": 2.0 / 9.0, "parzen": 4.0 / 25.0, "qs": 2.0 / 25.0}


# ------------------------------------------------------------------ options


@dataclass(frozen=True)
class CovChoice:
    """A validated choice of covariance. ``groups``, ``time`` and ``entity``
    hold names (resolved against the data later) or arrays."""

    cov_type: str = "HAC"
    kernel: str = "bartlett"
    bandwidth: int | str | None = None  # None: the battery's hac_lags
    prewhite: int = 0
    adjust: bool | None = None  # None: the type's default (False; True for driscoll-kraay)
    groups: tuple[Any, ...] = ()
    time: Any = None
    entity: Any = None
    correction: bool = True

    @property
    def adjusted(self) -> bool:
        return self.cov_type == "driscoll-kraay" if self.adjust is None else bool(self.adjust)


def _bool(value: Any, name: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise OptionTypeError(name, f"must be True or False, got {value!r}")
    return bool(value)


def _column_ref(value: Any, name: str) -> Any:
    if isinstance(value, str):
        return value
    a = np.asarray(value)
    if a.ndim != 1:
        raise OptionError(name, f"must be a column name or a 1-D array, got shape {a.shape}")
    return a


def choice_of(cov_type: Any = "HAC", cov_options: dict[str, Any] | None = None) -> CovChoice:
    """Check cov_type and its options (OptionError naming the option)."""
    if not isinstance(cov_type, str):
        raise OptionTypeError(
            "cov_type", f"must be one of {', '.join(COV_TYPES)}, got {cov_type!r}"
        )
    canon = {t.lower(): t for t in COV_TYPES}
    canon.update({"dk": "driscoll-kraay", "hac": "HAC"})
    ct = canon.get(cov_type.lower())
    if ct is None:
        raise OptionError("cov_type", f"must be one of {', '.join(COV_TYPES)}, got {cov_type!r}")
    opts = dict(cov_options or {})
    if not isinstance(cov_options, (dict, type(None))):
        raise OptionTypeError("cov_options", f"must be a dict, got {type(cov_options).__name__}")
    allowed = OPTION_NAMES[ct]
    for name in opts:
        if name not in allowed:
            takes = f"takes {', '.join(allowed)}" if allowed else "takes no options"
            raise OptionError(name, f"is not an option of cov_type={ct!r} (it {takes})")
    kw: dict[str, Any] = {"cov_type": ct}
    if "kernel" in opts:
        k = opts["kernel"]
        k = k.lower() if isinstance(k, str) else k
        k = {"quadratic spectral": "qs", "quadratic-spectral": "qs"}.get(k, k)
        if k not in KERNELS:
            raise OptionError(
                "kernel", f"must be one of {', '.join(KERNELS)}, got {opts['kernel']!r}"
            )
        kw["kernel"] = k
    if "bandwidth" in opts and opts["bandwidth"] is not None:
        b = opts["bandwidth"]
        if isinstance(b, str):
            if ct != "HAC" or b.lower() not in RULES:
                rules = f"an integer number of lags or one of {', '.join(RULES)}"
                raise OptionError(
                    "bandwidth", f"must be {rules if ct == 'HAC' else 'an integer'}, got {b!r}"
                )
            b = b.lower()
        else:
            b = integer(b, "bandwidth")
            if b < 0:
                raise OptionError("bandwidth", f"must be >= 0 lags (got {b})")
        kw["bandwidth"] = b
    if "prewhite" in opts:
        p = opts["prewhite"]
        p = int(p) if isinstance(p, (bool, np.bool_)) else integer(p, "prewhite")
        if p not in (0, 1):
            raise OptionError("prewhite", f"must be 0 or 1 (got {p})")
        kw["prewhite"] = p
    for name in ("adjust", "correction"):
        if name in opts:
            kw[name] = _bool(opts[name], name)
    if ct == "cluster":
        g = opts.get("groups")
        if g is None:
            raise OptionError("groups", "is needed for cov_type='cluster' (one or two columns)")
        if isinstance(g, str) or (not isinstance(g, (list, tuple)) and np.ndim(g) == 1):
            g = [g]
        elif not isinstance(g, (list, tuple)):
            g = list(np.asarray(g).T) if np.ndim(g) == 2 else [g]
        if not 1 <= len(g) <= 2:
            raise OptionError("groups", f"must name one or two cluster variables, got {len(g)}")
        kw["groups"] = tuple(_column_ref(v, "groups") for v in g)
    if ct == "driscoll-kraay":
        if opts.get("time") is None:
            raise OptionError("time", "is needed for cov_type='driscoll-kraay'")
        kw["time"] = _column_ref(opts["time"], "time")
        if opts.get("entity") is not None:
            kw["entity"] = _column_ref(opts["entity"], "entity")
    return CovChoice(**kw)


def _codes(values: Any, name: str, n: int, sort: bool = False) -> tuple[np.ndarray, int]:
    """0-based codes of a cluster (or time) variable and how many there are."""
    import pandas as pd

    a = np.asarray(values)
    if a.ndim != 1 or a.shape[0] != n:
        raise OptionError(name, f"must have one value per observation ({n}), got shape {a.shape}")
    codes, uniques = pd.factorize(a, sort=sort)
    if (codes < 0).any():
        row = int(np.flatnonzero(codes < 0)[0])
        raise OptionError(name, f"has a missing value at row {row}")
    return codes.astype(np.intp), len(uniques)


def _lookup(ref: Any, name: str, index: Any, frame: Any, n: int) -> Any:
    """A name as a level of the data's index or a column of X; arrays as given."""
    if not isinstance(ref, str):
        return ref
    names = [] if index is None else [nm for nm in index.names if nm is not None]
    if ref in names:
        return np.asarray(index.get_level_values(ref))
    if frame is not None and ref in frame:
        return np.asarray(frame[ref])
    cols = [] if frame is None else list(frame.columns)
    where = ", ".join(map(repr, names + cols)) or "none"
    raise OptionError(
        name, f"{ref!r} is neither a level of the data's index nor a column ({where})"
    )


@dataclass(frozen=True)
class Groups:
    """Cluster or panel codes, one per observation."""

    codes: tuple[np.ndarray, ...]  # cluster: one or two code arrays; DK: the time codes
    counts: tuple[int, ...]


def resolve(
    choice: CovChoice,
    n: int,
    index: Any = None,
    frame: Any = None,
    offsets: np.ndarray | None = None,
) -> Groups | None:
    """The codes of the clusters (or time periods) of n observations; names
    are looked up among the index levels, then among frame's columns.
    offsets: the rows of each series when there are several (each is then
    checked on its own, when its covariance is formed)."""
    one = offsets is None
    if choice.cov_type == "cluster":
        pairs = [_codes(_lookup(g, "groups", index, frame, n), "groups", n) for g in choice.groups]
        if one and min(G for _, G in pairs) < 2:
            raise OptionError("groups", "has a single cluster: nothing to estimate from")
        return Groups(tuple(c for c, _ in pairs), tuple(G for _, G in pairs))
    if choice.cov_type == "driscoll-kraay":
        codes, T = _codes(_lookup(choice.time, "time", index, frame, n), "time", n, sort=True)
        if choice.entity is not None:
            ent, E = _codes(_lookup(choice.entity, "entity", index, frame, n), "entity", n)
            key = codes.astype(np.int64) * E + ent
            if offsets is not None:
                series = np.repeat(np.arange(offsets.shape[0] - 1), np.diff(offsets))
                key = key + series.astype(np.int64) * (T * E)
            if np.unique(key).shape[0] != n:
                raise OptionError("entity", "repeats within a time period")
        if one and T < 2:
            raise OptionError("time", "has a single period: nothing to estimate from")
        return Groups((codes,), (T,))
    return None


def battery_lags(choice: CovChoice, hac_lags: int | None) -> tuple[int | None, bool]:
    """The battery's HAC lags when the choice fixes them (else hac_lags), and
    whether the covariance is another than the battery's own Bartlett HAC."""
    b = choice.bandwidth
    hac = choice.cov_type == "HAC"
    if hac and b is not None and hac_lags is not None and b != hac_lags:
        raise OptionError(
            "hac_lags", f"({hac_lags}) and cov_options bandwidth ({b!r}) disagree: give one"
        )
    lags = b if hac and isinstance(b, int) else hac_lags
    own = hac and choice.kernel == "bartlett" and not choice.prewhite and not choice.adjust
    return lags, not (own and not isinstance(b, str))


def counted_in_lags(choice: CovChoice) -> CovChoice:
    """A HAC choice whose bandwidth is a number of lags, that number left to
    the batch's hac_lags (battery_lags made them one), which diagnose and
    diagnose_many clamp at n - 1 as for every other HAC."""
    if choice.cov_type == "HAC" and isinstance(choice.bandwidth, (int, np.integer)):
        return dataclasses.replace(choice, bandwidth=None)
    return choice


def native_choice(choice: CovChoice) -> np.ndarray | None:
    """The six int64 of _batch.battery_checks's choice (type, kernel, rule, lags,
    prewhite, adjust; lags -1: the series' hac_lags), or None for the types
    it does not compute (cluster, driscoll-kraay)."""
    if choice.cov_type not in ("HAC", *HC_TYPES):
        return None
    b = choice.bandwidth
    rule = RULES.index(b) + 1 if isinstance(b, str) else 0
    lags = b if isinstance(b, int) else -1
    return np.array(
        [
            COV_TYPES.index(choice.cov_type),
            KERNELS.index(choice.kernel),
            rule,
            lags,
            choice.prewhite,
            int(choice.adjusted),
        ],
        dtype=np.int64,
    )


def fixed_b(choice: CovChoice) -> bool:
    """Whether the HAC Wald statistic of this covariance has the fixed-b law
    of _fixedb (Kiefer and Vogelsang 2005): a Bartlett HAC without
    prewhitening, whatever its bandwidth rule (b = bandwidth / n; the
    n/(n - k) factor is undone first)."""
    return choice.cov_type == "HAC" and choice.kernel == "bartlett" and not choice.prewhite


def column_names(choice: CovChoice) -> list[str]:
    """The names among groups, time and entity (columns to carry along)."""
    refs = [*choice.groups, choice.time, choice.entity]
    return [r for r in refs if isinstance(r, str)]


# ------------------------------------------------------------ the estimators
#
# Series of one length go together: arrays carry a leading axis of series and
# every step treats each series on its own, so a series gets the same bits
# alone (diagnose, robust_cov) as in a stack (diagnose_many).


# Below this d = 6 pi x / 5 the quadratic spectral weight comes from its series
# (truncated after d^10: below 6e-16), where the closed form loses 6.6e-16 / d^2.
QS_SERIES = 0.4


def kernel_weights(kernel: str, x: np.ndarray) -> np.ndarray:
    """k(x) of the Bartlett, Parzen and quadratic spectral kernels."""
    ax = np.abs(np.asarray(x, dtype=np.float64))
    if kernel == "bartlett":
        return np.where(ax < 1.0, 1.0 - ax, 0.0)
    if kernel == "parzen":
        inner = 1.0 - 6.0 * ax**2 + 6.0 * ax**3
        return np.where(ax <= 0.5, inner, np.where(ax <= 1.0, 2.0 * (1.0 - ax) ** 3, 0.0))
    d = 6.0 * math.pi * ax / 5.0
    with np.errstate(divide="ignore", invalid="ignore"):
        w = 3.0 / (d * d) * (np.sin(d) / d - np.cos(d))
    # sin d / d - cos d cancels for small d: its Taylor series there, as the kernels
    z = d * d
    c = (-1.0 / 10.0, 1.0 / 280.0, -1.0 / 15120.0, 1.0 / 1330560.0, -1.0 / 172972800.0)
    series = 1.0 + z * (c[0] + z * (c[1] + z * (c[2] + z * (c[3] + z * c[4]))))
    return np.where(d < QS_SERIES, series, w)


def lag_weights(kernel: str, b: np.ndarray, rows: int) -> tuple[np.ndarray, np.ndarray]:
    """Per series (bandwidth b), the weights k(j / b) of lags j < rows, zero
    after the last one above WEIGHT_TOL (R's truncation), and how many lags
    that leaves (lag 0 included). b = 0 keeps lag 0 alone; NaN gives NaN."""
    j = np.arange(max(rows, 1), dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        x = np.where(j[None, :] == 0.0, 0.0, j[None, :] / b[:, None])
    w = kernel_weights(kernel, x)
    big = np.abs(w) > WEIGHT_TOL
    count = np.where(big.any(axis=1), w.shape[1] - np.argmax(big[:, ::-1], axis=1), 1)
    count = np.where(np.isnan(b), 1, count)
    w[j[None, :] >= count[:, None]] = 0.0
    w[np.isnan(b)] = math.nan
    return w[:, : int(count.max(initial=1))], count


def _t(A: np.ndarray) -> np.ndarray:
    return np.swapaxes(A, -1, -2)


def long_run(H: np.ndarray, w: np.ndarray) -> np.ndarray:
    """Per series, sum over |j| < m of w_|j| Gamma_j with Gamma_j = sum_t
    h_t h_{t-j}' (a sum, not a mean), exactly symmetric. H (G, n, p), w (G, m)."""
    S = w[:, 0, None, None] * (_t(H) @ H)
    for j in range(1, min(w.shape[1], H.shape[1])):
        Gj = _t(H[:, j:]) @ H[:, :-j]
        S += w[:, j, None, None] * (Gj + _t(Gj))
    sym: np.ndarray = (S + _t(S)) * 0.5
    return sym


def _long_run_fft(H: np.ndarray, w: np.ndarray) -> np.ndarray:
    """long_run as H' T H, T the symmetric Toeplitz matrix of the weights:
    T H convolves each column with (w_{n-1} .. w_1, w_0, w_1 .. w_{n-1}) (w
    zero-padded to n lags), by FFTs of a length that depends on n alone, so
    a series gets the same bits alone or in a stack."""
    from scipy import fft

    G, n, _ = H.shape
    w = np.concatenate([w[:, :n], np.zeros((G, max(n - w.shape[1], 0)))], axis=1)
    c = np.concatenate([w[:, :0:-1], w], axis=1)  # (G, 2n - 1)
    size = fft.next_fast_len(3 * n - 2, real=True)
    Ht = np.ascontiguousarray(_t(H))  # (G, p, n): each column's series contiguous
    freq = fft.rfft(Ht, size, axis=2) * fft.rfft(c, size, axis=1)[:, None, :]
    S = Ht @ _t(fft.irfft(freq, size, axis=2)[:, :, n - 1 : 2 * n - 1])
    sym: np.ndarray = (S + _t(S)) * 0.5
    return sym


def hac_meat(H: np.ndarray, w: np.ndarray, count: np.ndarray) -> np.ndarray:
    """long_run per series; those with more than FFT_LAGS lags by FFT
    (decided by each series' own lags, so alone or in a stack it goes the
    same way)."""
    G, _, p = H.shape
    M = np.empty((G, p, p))
    short = count - 1 <= FFT_LAGS
    if short.any():
        idx = np.flatnonzero(short)
        M[idx] = long_run(H[idx], w[idx][:, : int(count[idx].max())])
    if not short.all():
        idx = np.flatnonzero(~short)
        M[idx] = _long_run_fft(H[idx], w[idx])
    return M


def _inv_each(A: np.ndarray) -> np.ndarray:
    """Inverses of a stack of matrices, NaN for a singular one."""
    try:
        return np.linalg.inv(A)
    except np.linalg.LinAlgError:
        out = np.full(A.shape, math.nan)
        for g in range(A.shape[0]):
            try:
                out[g] = np.linalg.inv(A[g])
            except np.linalg.LinAlgError:
                pass
        return out


def var1(H: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """VAR(1) without intercept by least squares, per series: the residuals
    v_t = h_t - A h_{t-1} and D = (I - A)^-1, which recolours their long-run
    covariance (Andrews and Monahan 1992)."""
    H0, H1 = H[:, :-1], H[:, 1:]
    G0, C = _t(H0) @ H0, _t(H0) @ H1
    try:
        B = np.linalg.solve(G0, C)  # A'
    except np.linalg.LinAlgError:  # one by one; a singular one by minimum norm
        B = np.empty(C.shape)
        for g in range(H.shape[0]):
            try:
                B[g] = np.linalg.solve(G0[g], C[g])
            except np.linalg.LinAlgError:
                B[g] = np.linalg.lstsq(H0[g], H1[g], rcond=None)[0]
    V = H1 - H0 @ B
    with np.errstate(all="ignore"):
        D = _inv_each(np.eye(H.shape[2]) - _t(B))
    return V, D


def _slope_weights(p: int, const: int) -> np.ndarray:
    """The plug-in rules weigh every column's scores but the constant's (all
    of them when there is nothing else)."""
    w = np.ones(p)
    if const >= 0 and p > 1:
        w[const] = 0.0
    return w


def andrews_bandwidth(U: np.ndarray, kernel: str, weights: np.ndarray) -> np.ndarray:
    """Andrews (1991, eq. 6.4) plug-in bandwidth per series (U (G, m, p)) from
    AR(1) fits with an intercept to each column, weighted by ``weights``.
    NaN where it is undefined (too few rows, a column without variation, a
    unit root)."""
    G, m, _ = U.shape
    if m < 3:
        return np.full(G, math.nan)
    num, den = np.zeros(G), np.zeros(G)
    with np.errstate(all="ignore"):
        for a in np.flatnonzero(weights):
            u0, u1 = U[:, :-1, a], U[:, 1:, a]
            d0 = u0 - u0.mean(axis=1, keepdims=True)
            d1 = u1 - u1.mean(axis=1, keepdims=True)
            rho = (d0 * d1).sum(axis=1) / (d0 * d0).sum(axis=1)
            r = d1 - rho[:, None] * d0
            s4 = ((r * r).sum(axis=1) / (m - 2)) ** 2
            if kernel == "bartlett":
                t = 4.0 * rho * rho * s4 / ((1.0 - rho) ** 6 * (1.0 + rho) ** 2)
            else:
                t = 4.0 * rho * rho * s4 / (1.0 - rho) ** 8
            num += weights[a] * np.where(np.abs(rho) < 1.0, t, math.nan)
            den += weights[a] * s4 / (1.0 - rho) ** 4
        c, q = _ANDREWS[kernel]
        bw = c * (m * num / den) ** (1.0 / (2 * q + 1))
    return np.where(den > 0.0, bw, math.nan)


def newey_west_bandwidth(
    U: np.ndarray, kernel: str, weights: np.ndarray, prewhite: int, n: int
) -> np.ndarray:
    """Newey and West (1994) plug-in bandwidth per series (U (G, m, p)) from
    the autocovariances of the weighted sum of the columns up to lag
    floor(c (n/100)^rate), c = 4 (3 after prewhitening); n is the sample
    size, which R's bwNeweyWest takes from before prewhitening."""
    G, rows, _ = U.shape
    h = U @ weights
    lags = min(
        int(math.floor((3.0 if prewhite else 4.0) * (n / 100.0) ** _NW_RATE[kernel])), rows - 1
    )
    sig = np.stack([(h[:, j:] * h[:, : rows - j]).sum(axis=1) for j in range(lags + 1)], axis=1)
    j = np.arange(1, lags + 1, dtype=np.float64)
    c, q = _ANDREWS[kernel]
    with np.errstate(all="ignore"):
        s0 = sig[:, 0] + 2.0 * sig[:, 1:].sum(axis=1)
        sq = 2.0 * (sig[:, 1:] @ j**q)
        bw = c * ((sq / s0) ** 2) ** (1.0 / (2 * q + 1)) * n ** (1.0 / (2 * q + 1))
    return np.where((s0 != 0.0) & np.isfinite(bw), bw, math.nan)


def hac_rule_lags(n: int) -> int:
    """floor(4 (n/100)^(2/9)), the battery's default number of lags."""
    return int(math.floor(4.0 * (max(n, 1) / 100.0) ** (2.0 / 9.0)))


class UndefinedBandwidth(ValueError):
    """A plug-in rule that has no value for the data."""


@dataclass
class Cov:
    """A covariance of the coefficients and what made it."""

    matrix: np.ndarray  # (k, k) in the data's units; NaN rows/columns for dropped columns
    cov_type: str
    kernel: str | None = None
    bandwidth: float | None = None  # b: lag j weighs k(j / b)
    prewhite: int = 0
    adjust: bool = False
    rule: str | None = None  # the bandwidth rule, or None for a given number of lags
    n: int = 0
    rank: int = 0
    clusters: tuple[int, ...] = ()  # G per cluster variable; T for driscoll-kraay
    df_resid: float = math.nan  # the F form's denominator degrees of freedom
    plug_in: float | None = None  # the rule's own value (before Bartlett's whole lags)
    # the fit's units (powers of two from the data's): coefficients, the
    # columns kept, and the covariance of those columns
    scaled: tuple[np.ndarray, list[int], np.ndarray] | None = None

    @property
    def label(self) -> str:
        """What the summary calls it."""
        if self.cov_type in HC_TYPES:
            return self.cov_type
        if self.cov_type == "cluster":
            return "cluster (" + " x ".join(f"{G} clusters" for G in self.clusters) + ")"
        kern = KERNEL_NAMES.get(self.kernel or "", "")
        b = float(self.bandwidth if self.bandwidth is not None else math.nan)
        whole = self.rule is None or (self.rule == "nw1994" and self.kernel == "bartlett")
        width = f"{int(b) - 1} lags" if whole and b == b else f"bandwidth {b:.4g}"
        if self.rule:
            width += f" ({self.rule})"
        extras = [w for w, on in (("prewhitened", self.prewhite), ("adjusted", self.adjust)) if on]
        head = "HAC" if self.cov_type == "HAC" else f"Driscoll-Kraay ({self.clusters[0]} periods)"
        return f"{head}: {kern}, " + ", ".join([width, *extras])


def _bandwidths(
    choice: CovChoice, U: np.ndarray, const: int, n: int, lags: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """Per series, b and the rule's own value (NaN for a given number of
    lags). U: the scores in the data's units (for the plug-in rules)."""
    G = U.shape[0]
    b = choice.bandwidth
    nan = np.full(G, math.nan)
    if b is None:
        return lags + 1.0, nan
    if isinstance(b, (int, np.integer)):
        return np.full(G, b + 1.0), nan
    if b == "llsw":
        return np.full(G, 1.3 * math.sqrt(n)), np.full(G, 1.3 * math.sqrt(n))
    if choice.prewhite:
        U = var1(U)[0]
    w = _slope_weights(U.shape[2], const)
    if b == "andrews":
        bw = andrews_bandwidth(U, choice.kernel, w)
        return bw, bw
    bw = newey_west_bandwidth(U, choice.kernel, w, choice.prewhite, n)
    # Bartlett weights are truncated at a whole number of lags (as R's NeweyWest)
    return (np.floor(bw) + 1.0 if choice.kernel == "bartlett" else bw), bw


@dataclass
class StackFit:
    """OLS by QR of equilibrated full-rank designs of one length, the
    constant first in the factorisation: Q (G, n, k) and Rinv (G, k, k) in
    factorisation order (G = 1 broadcasts a design shared by every series),
    beta (G, k) in X's column order, residuals (G, n)."""

    Q: np.ndarray
    Rinv: np.ndarray
    order: list[int]
    beta: np.ndarray
    resid: np.ndarray

    @classmethod
    def of(cls, X: np.ndarray, Y: np.ndarray, const: int = -1) -> "StackFit":
        """X (n, k) shared or (G, n, k); Y (G, n)."""
        k = X.shape[-1]
        order = ([const] if const >= 0 else []) + [j for j in range(k) if j != const]
        Xo = X if order == list(range(k)) else X[..., order]
        Q, R = np.linalg.qr(Xo if Xo.ndim == 3 else Xo[None])
        Rinv = np.linalg.inv(R)  # a triangle: no pivoting, back-substitution
        qy = (_t(Q) @ Y[:, :, None])[:, :, 0]
        beta = np.empty((Y.shape[0], k))
        beta[:, order] = (Rinv @ qy[:, :, None])[:, :, 0]
        return cls(Q, Rinv, order, beta, Y - (Q @ qy[:, :, None])[:, :, 0])


def stack_sandwich(
    fit: StackFit,
    X: np.ndarray,
    choice: CovChoice,
    const: int,
    lags: np.ndarray,
    col_exp: np.ndarray,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """HC or HAC covariances of a stack of fits (X as given to StackFit.of),
    in the fits' units and X's column order, with each series' b and plug-in
    value (NaN when not HAC). lags: per series, the HAC lags when
    choice.bandwidth is None. col_exp: X's columns' power-of-two scales, (k,)
    or (G, k): the plug-in rules weigh the scores in the data's units."""
    Q, Rinv, e = fit.Q, fit.Rinv, fit.resid
    G, n = e.shape
    k = X.shape[-1]
    H = Q * e[:, :, None]  # the scores in Q's coordinates
    ct = choice.cov_type
    b = plug = np.full(G, math.nan)
    if ct in HC_TYPES:
        lev = (Q * Q) @ np.ones(k)
        M = _t(H * _hc_omega(ct, lev, n, k)[:, :, None]) @ H
    else:
        U = H
        if isinstance(choice.bandwidth, str) and choice.bandwidth != "llsw":
            exps = np.atleast_2d(col_exp)
            U = np.ldexp(X * e[:, :, None], (exps - exps.max(axis=1, keepdims=True))[:, None, :])
        b, plug = _bandwidths(choice, U, const, n, np.asarray(lags, dtype=np.float64))
        if choice.prewhite:
            H, D = var1(H)
        w, count = lag_weights(choice.kernel, b, H.shape[1])
        M = hac_meat(H, w, count)
        if choice.prewhite:
            M = D @ M @ _t(D)
        if choice.adjusted:
            M *= n / (n - k)
    Vf = Rinv @ M @ _t(Rinv)
    inv = np.argsort(fit.order)
    V = ((Vf + _t(Vf)) * 0.5)[:, inv][:, :, inv]
    return V, b, plug


# Leverage this close to one is one: Q's rounding leaves 1 - h at a few ulps
# there, and (1 - h)^-d would weigh rounding noise by up to 1e60.
LEVERAGE_ONE = math.sqrt(np.finfo(np.float64).eps)


def _hc_omega(ct: str, h: np.ndarray, n: int, k: int) -> np.ndarray:
    """The weights of e_t^2 (MacKinnon and White 1985; Cribari-Neto 2004;
    Cribari-Neto and da Silva 2011; Cribari-Neto et al. 2007), per series
    (h: leverages (G, n)). HC2..HC5 are undefined with an observation of
    leverage one (its residual is zero whatever its error), as R's vcovHC:
    ValueError."""
    if ct == "HC0":
        return np.ones(h.shape)
    if ct == "HC1":
        return np.full(h.shape, n / (n - k))
    one = 1.0 - h
    lev1 = ~(one > LEVERAGE_ONE)
    if lev1.any():
        raise ValueError(_LEVERAGE_ONE.format(ct=ct, t=int(np.flatnonzero(lev1.any(axis=0))[0])))
    ratio = n * h / k
    if ct == "HC2":
        w = 1.0 / one
    elif ct == "HC3":
        w = one**-2.0
    elif ct == "HC4":
        w = one ** -np.minimum(4.0, ratio)
    elif ct == "HC4m":
        w = one ** -(np.minimum(1.0, ratio) + np.minimum(1.5, ratio))
    else:  # HC5
        top = np.maximum(4.0, n * 0.7 * h.max(axis=1, keepdims=True) / k)
        w = one ** (-0.5 * np.minimum(ratio, top))
    return w


_LEVERAGE_ONE = (
    "{ct} is undefined for these data: observation {t} has leverage one (its residual is "
    "zero whatever its error, a dummy of its own for example); HC0 and HC1 are defined"
)


def _sum_by(H: np.ndarray, codes: np.ndarray, G: int) -> np.ndarray:
    """Rows of H summed within each code (G rows, in code order)."""
    out = np.zeros((G, H.shape[1]))
    np.add.at(out, codes, H)
    return out


def _cluster_meat(
    H: np.ndarray, codes: tuple[np.ndarray, ...], counts: tuple[int, ...], correction: bool
) -> np.ndarray:
    """Cameron, Gelbach and Miller (2011): the one-way meats of each variable
    less that of their intersection, each with its own G/(G-1)."""

    def one(c: np.ndarray, G: int) -> np.ndarray:
        S = _sum_by(H, c, G)
        meat: np.ndarray = (S.T @ S) * (G / (G - 1) if correction else 1.0)
        return meat

    if len(codes) == 1:
        return one(codes[0], counts[0])
    both, G12 = np.unique(codes[0].astype(np.int64) * counts[1] + codes[1], return_inverse=True)
    M12 = one(G12.astype(np.intp), both.shape[0]) if both.shape[0] > 1 else 0.0
    two_way: np.ndarray = one(codes[0], counts[0]) + one(codes[1], counts[1]) - M12
    return two_way


def panel_sandwich(
    fit: StackFit, choice: CovChoice, groups: Groups
) -> tuple[np.ndarray, np.ndarray]:
    """Clustered or Driscoll-Kraay covariance of one fit (a stack of one), in
    its units and X's column order, with b (NaN when clustered)."""
    Q, Rinv, e = fit.Q[0], fit.Rinv[0], fit.resid[0]
    n, k = Q.shape
    H = Q * e[:, None]
    b = math.nan
    if choice.cov_type == "cluster":
        M = _cluster_meat(H, groups.codes, groups.counts, choice.correction)
        if choice.correction:
            M *= (n - 1) / (n - k)
    else:
        T = groups.counts[0]
        Ht = _sum_by(H, groups.codes[0], T)  # the scores summed over each period
        # a bandwidth for driscoll-kraay is a number of lags (choice_of)
        lags = (
            cast(int, choice.bandwidth)
            if choice.bandwidth is not None
            else int(math.floor(T**0.25))
        )
        b = lags + 1.0  # Newey and West (1987) by default, as vcovPL
        w, count = lag_weights(choice.kernel, np.array([b]), T)
        M = hac_meat(Ht[None], w, count)[0]
        if choice.adjusted:
            M *= n / (n - k)
    Vf = Rinv @ M @ Rinv.T
    inv = np.argsort(fit.order)
    return ((Vf + Vf.T) * 0.5)[np.ix_(inv, inv)], np.array([b])


# ------------------------------------------------------------- for one model


def _describe(
    choice: CovChoice, n: int, k: int, groups: Groups | None, b: float, plug: float
) -> Cov:
    ct = choice.cov_type
    info = Cov(np.empty(0), ct, n=n, rank=k, df_resid=float(n - k))
    if groups is not None:
        info.clusters = groups.counts
        info.df_resid = float(min(groups.counts) - 1)
    if ct in ("HAC", "driscoll-kraay"):
        info.kernel, info.bandwidth = choice.kernel, float(b)
        info.rule = choice.bandwidth if isinstance(choice.bandwidth, str) else None
        info.prewhite, info.adjust = choice.prewhite, choice.adjusted
        info.plug_in = None if plug != plug else float(plug)
    return info


def _unscaled(Vs: np.ndarray, scale: np.ndarray) -> np.ndarray:
    """V in the data's units from the fit's: scale the power of two of each
    coefficient (ey - ex_j), exactly."""
    with np.errstate(over="ignore"):  # inf beyond the range, as the battery's
        V: np.ndarray = np.ldexp(np.ldexp(Vs, scale[..., :, None]), scale[..., None, :])
        return V


def _clearly_full_rank(fit: StackFit, X: np.ndarray) -> bool:
    """No column within 1e-7 of the span of those before it (relative to its
    norm): far from _lstsq.independent_columns' tolerance, which need not run."""
    norms = np.sqrt(np.einsum("ij,ij->j", X, X))[fit.order]
    with np.errstate(divide="ignore"):
        return bool((1.0 / np.abs(np.diagonal(fit.Rinv[0])) > 1e-7 * norms).all())


def _undefined(choice: CovChoice) -> UndefinedBandwidth:
    if isinstance(choice.bandwidth, str):
        return UndefinedBandwidth(
            f"the {choice.bandwidth} bandwidth is undefined for these data (exact fit, too "
            "few observations or a unit root in the scores); give a number of lags"
        )
    return UndefinedBandwidth("the prewhitening VAR(1) is singular for these data; set prewhite=0")


def native_cov(
    y: np.ndarray, X: np.ndarray, const_col: int, choice: CovChoice, lags: int
) -> Cov | None:
    """The HC or HAC covariance by the native battery (the same code and bits
    as diagnose and diagnose_many), or None where the battery refuses the
    design (rank-deficient or ill-conditioned: the least-squares route's)."""
    from Kalvoren._ckernels.diag import _batch

    code = native_choice(choice)
    n, k = X.shape
    if code is None or n <= k:
        return None
    from Kalvoren._tests_spec import native_options

    ints = np.array([0, n, n // 2, lags], dtype=np.int64)
    out, _, _, V, bw = _batch.battery_checks(
        y, X, ints[0:2], const_col, 1, ints[2:3], ints[3:4], 0, False, native_options({}), code
    )
    if out[0, 0] != 0:
        return None
    if not np.isfinite(bw[0, 0]) and choice.cov_type == "HAC":
        raise _undefined(choice)
    if choice.cov_type in HC_TYPES and not np.isfinite(V).any():
        # the battery's status for leverage one: the Python route names the row
        return None
    cov = _describe(choice, n, k, None, float(bw[0, 0]), float(bw[0, 1]))
    cov.matrix = V.reshape(k, k)
    return cov


def covariance(
    y: np.ndarray,
    X: np.ndarray,
    const_col: int,
    choice: CovChoice,
    groups: Groups | None = None,
    lags: int | None = None,
    rank: int | None = None,
    native: bool = True,
) -> Cov:
    """The covariance of the OLS coefficients of y on X (data units; NaN rows
    and columns for the columns dropped as collinear). rank: the design's
    known rank (None: decide it); lags: the HAC lags when no bandwidth is
    given (None: the battery's rule). HC and HAC go through the native
    battery first (native=False: a design it refused)."""
    n, k = X.shape
    if native and groups is None and rank in (None, k):
        nl = hac_rule_lags(n) if lags is None else lags
        cov = native_cov(y, X, const_col, choice, min(nl, max(n - 1, 0)))
        if cov is not None:
            return cov
    ex, ey = _lstsq.pow2_exponents(X), _lstsq.pow2_exponents(y)
    Xs, ys = _lstsq.scaled(X, ex), _lstsq.scaled(y, ey)
    const, fit = const_col, None
    if rank in (None, k) and n > k:
        try:
            fit = StackFit.of(Xs, ys[None], const)
        except np.linalg.LinAlgError:  # an exactly singular triangle
            pass
    if fit is not None and (rank == k or _clearly_full_rank(fit, Xs)):
        kept, Xk = list(range(k)), Xs
    else:
        kept = _lstsq.independent_columns(Xs, const_col)
        const = kept.index(const_col) if const_col >= 0 else -1
        Xk = np.ascontiguousarray(Xs[:, kept])
        fit = StackFit.of(Xk, ys[None], const)
    r = len(kept)
    if n <= r:
        raise ValueError(f"too few observations: n = {n} for k = {r} coefficients")
    if groups is not None and min(groups.counts) < 2:
        what = "period" if choice.cov_type == "driscoll-kraay" else "cluster"
        raise ValueError(f"a single {what}: nothing to estimate the covariance from")
    if groups is not None:
        Vs, b = panel_sandwich(fit, choice, groups)
        plug = np.array([math.nan])
    else:
        L = np.array([hac_rule_lags(n) if lags is None else lags], dtype=np.float64)
        V3, b, plug = stack_sandwich(fit, Xk, choice, const, L, ex[kept])
        Vs = V3[0]
        if choice.cov_type == "HAC" and not b[0] >= 0.0:
            raise _undefined(choice)
    info = _describe(choice, n, r, groups, b[0], plug[0])
    V = np.full((k, k), math.nan)
    V[np.ix_(kept, kept)] = _unscaled(Vs, int(ey[0]) - ex[kept])
    info.matrix = V
    info.scaled = (fit.beta[0], kept, Vs)
    return info


def robust_cov(
    y: Any, X: Any = None, cov_type: str = "HAC", *, add_constant: bool = True, **cov_options: Any
) -> Any:
    """The covariance matrix of the OLS coefficients of y on X, as a pandas
    DataFrame labelled by the regressors.

    cov_type: "HAC" (default; options ``kernel`` "bartlett"|"parzen"|"qs",
    ``bandwidth`` a number of lags or "nw1994"|"andrews"|"llsw" (default
    floor(4 (n/100)^(2/9)) lags), ``prewhite`` 0|1, ``adjust`` the n/(n-k)
    factor, default False); "HC0".."HC5" or "HC4m" (as R's vcovHC);
    "cluster" (``groups``: one or two cluster variables, ``correction``: the
    factor G/(G-1) (n-1)/(n-k), default True; as R's vcovCL); or
    "driscoll-kraay" (``time`` and optionally ``entity``; ``bandwidth`` lags
    of the time series of summed scores, default floor(T^(1/4)); ``kernel``;
    ``adjust`` n/(n-k), default True; as R's vcovPL). Cluster, time and
    entity variables are arrays with one value per observation or names of
    levels of the data's index (or of columns of X).
    """
    from Kalvoren import _prepare

    choice = choice_of(cov_type, cov_options)
    if not isinstance(add_constant, (bool, np.bool_)):
        raise OptionTypeError("add_constant", f"must be True or False, got {add_constant!r}")
    model = _prepare.prepare(y, X, add_constant=bool(add_constant))
    cov = model_cov(model, choice, X)
    return cov_frame(cov.matrix, model.x_names)


def model_cov(model: Any, choice: CovChoice, frame: Any = None, lags: int | None = None) -> Cov:
    """The covariance of a prepared model (``_prepare.Model``)."""
    n, k = model.n, model.k
    if n <= k:
        raise OptionError("y", f"too few observations: n = {n} for k = {k} coefficients")
    if choice.prewhite and n - 1 <= k:  # the scores' VAR(1) fits exactly: no long-run variance
        raise OptionError("prewhite", f"needs more than k + 1 = {k + 1} observations (got n = {n})")
    groups = resolve(choice, n, model.index, model_rows(frame, model.index))
    return covariance(model.y, model.X, model.const_col, choice, groups, lags)


def model_rows(frame: Any, index: Any) -> Any:
    """The columns of X (a DataFrame, else None) in the model's rows: y's
    order when X's rows were paired with y's by label."""
    if frame is None or not hasattr(frame, "columns"):
        return None
    if index is not None and hasattr(frame, "index") and not frame.index.equals(index):
        return frame.loc[index]
    return frame


def cov_frame(V: np.ndarray, names: Sequence[str]) -> Any:
    import pandas as pd

    labels = pd.Index(list(names), dtype=object)  # quicker to build than pandas' strings
    return pd.DataFrame(V, index=labels, columns=labels, copy=False)


# --------------------------------------------------- the battery's hook


@dataclass(frozen=True)
class CovPlan:
    """What the battery's hook needs: the choice, and the cluster (or time)
    codes of all the batch's rows (None for HC and HAC)."""

    choice: CovChoice
    groups: Groups | None = None

    @functools.cached_property
    def native(self) -> np.ndarray | None:
        """The choice as _batch.battery_checks reads it (six int64), for the HC
        and HAC types the native battery computes; None for the others."""
        return native_choice(self.choice)

    def groups_of(self, a: int, b: int) -> Groups | None:
        """The codes of rows a..b-1 (one series), numbered afresh as diagnose
        numbers that series' own: clusters by first appearance, periods in
        order (the meat's sum runs in that order: the same bits)."""
        import pandas as pd

        g = self.groups
        if g is None or (a == 0 and b == g.codes[0].shape[0]):
            return g
        if self.choice.cov_type == "cluster":
            parts = [pd.factorize(c[a:b])[::-1] for c in g.codes]
        else:
            parts = [np.unique(c[a:b], return_inverse=True) for c in g.codes]
        return Groups(
            tuple(inv.astype(np.intp) for _, inv in parts), tuple(u.shape[0] for u, _ in parts)
        )


def apply(batch: Any, rec: Any) -> None:
    """Replace the battery's standard errors and ``hac_wald`` by those of the
    covariance batch.cov (a CovPlan) on every fitted series, keeping it in
    rec.extra[g]["cov"] and its bandwidth in rec.cov_bw. The Wald statistic
    is the battery's: every coefficient but the constant is zero. HC and HAC
    come from the native battery (rec.cov) for the series the kernels
    fitted; the others (the least-squares route's, and every clustered or
    Driscoll-Kraay covariance) are formed here, series by series."""
    from Kalvoren import _engine

    plan: CovPlan = batch.cov
    choice = plan.choice
    fitted = rec.out[:, _engine.FIELD["fit_status"]] == 0
    rec.cov_bw = np.full(batch.G, math.nan)
    alone = fitted if rec.cov is None else fitted & ~rec.kernel_fit
    for g in np.flatnonzero(alone):
        y, X = batch.series(int(g))
        a, b = int(batch.offsets[g]), int(batch.offsets[g + 1])
        try:
            cov = covariance(
                y, X, batch.const_col, choice, plan.groups_of(a, b), int(batch.hac_lags[g]),
                int(rec.rank[g]), native=False,
            )  # fmt: skip
        except ValueError:  # an undefined plug-in bandwidth, a single cluster
            _record(batch, rec, int(g), None)
            continue
        _record(batch, rec, int(g), [cov])
        if cov.bandwidth is not None:
            rec.cov_bw[g] = cov.bandwidth
    if rec.cov is not None:
        _native(batch, rec, np.flatnonzero(fitted & rec.kernel_fit), choice)
    if batch.const_col < 0 and "hac_wald" in batch.tests:
        _implicit_constant(batch, rec, plan)


def _implicit_constant(batch: Any, rec: Any, plan: CovPlan) -> None:
    """hac_wald of a design without a constant column whose columns hold the
    constant (a full set of dummies): the slopes the constant leaves, as with
    the constant written out and as the battery's own HAC does, by this
    covariance of that design (and its bandwidth, which a plug-in rule takes
    from the design's scores)."""
    from Kalvoren import _engine
    from Kalvoren._registry import TEST_IDS

    i = TEST_IDS.index("hac_wald")
    cache: dict[str, list[int]] = {}
    for g in np.flatnonzero(np.isin(rec.status[:, i], (0, Status.SINGULAR))).tolist():
        kept = _engine.spanned_constant(batch, rec, g, cache)
        if kept is None:
            if batch.shared_x:
                return
            continue
        y, X = batch.series(g)
        Z = np.ascontiguousarray(np.column_stack([np.ones(y.shape[0]), X])[:, kept])
        a, b = int(batch.offsets[g]), int(batch.offsets[g + 1])
        try:
            cov = covariance(
                y, Z, 0, plan.choice, plan.groups_of(a, b), int(batch.hac_lags[g]),
                len(kept), native=False,
            )  # fmt: skip
        except ValueError:
            rec.status[g, i], rec.stat[g, i] = Status.UNDEFINED_VARIANCE, math.nan
            continue
        beta, cols, Vs = cast(tuple[np.ndarray, list[int], np.ndarray], cov.scaled)
        st, stat = slopes_wald(beta[None], cols, Vs[None], 0, cov.n)
        rec.status[g, i], rec.stat[g, i] = st[0], stat[0]
        rec.out[g, _engine.FIELD["hac_df"]] = len(kept) - 1
        if cov.bandwidth is not None:
            rec.cov_bw[g] = cov.bandwidth


def _native(batch: Any, rec: Any, idx: np.ndarray, choice: CovChoice) -> None:
    """The bandwidths of the series idx whose covariance the native battery
    computed (its standard errors and hac_wald are already in the record),
    and for one series its Cov record."""
    n = np.diff(batch.offsets)
    k = batch.X.shape[1]
    hac = choice.cov_type == "HAC"
    bw = rec.bw
    if hac:
        rec.cov_bw[idx] = bw[idx, 0]
    if batch.G > 1:  # only a report (one series) reads the record; many leave it
        return
    for g in idx.tolist():
        b, plug = bw[g].tolist()
        if (hac and b != b) or not np.isfinite(rec.cov[g]).any():
            continue  # undefined: no covariance (se NaN, hac_wald a status)
        cov = _describe(choice, int(n[g]), k, None, b, plug)
        cov.matrix = rec.cov[g]
        _engine.own(rec.extra, g)["cov"] = cov


def _record(
    batch: Any,
    rec: Any,
    idx: Any,
    covs: list[Cov] | None,
    scaled: tuple[np.ndarray, list[int], np.ndarray] | None = None,
) -> None:
    """The series idx's standard errors and hac_wald from covs (None:
    undefined); scaled: their (beta, kept, V) in the fits' units, stacked."""
    from Kalvoren._registry import TEST_IDS

    idx = np.atleast_1d(idx)
    i = TEST_IDS.index("hac_wald")
    wald_too = "hac_wald" in batch.tests
    if covs is None:
        rec.se[idx] = math.nan
        if wald_too:
            ok = idx[rec.status[idx, i] == 0]
            rec.status[ok, i], rec.stat[ok, i] = Status.UNDEFINED_VARIANCE, math.nan
        return
    for g, cov in zip(idx.tolist(), covs):
        _engine.own(rec.extra, g)["cov"] = cov
    V = np.stack([c.matrix for c in covs])
    with np.errstate(invalid="ignore"):
        rec.se[idx] = np.sqrt(np.diagonal(V, axis1=1, axis2=2))
    if not wald_too:
        return
    if scaled is None:
        # every covariance here was formed in the fit's units
        units = [cast(tuple[np.ndarray, list[int], np.ndarray], c.scaled) for c in covs]
        scaled = (
            np.stack([u[0] for u in units]),
            units[0][1],
            np.stack([u[2] for u in units]),
        )
    st, stat = slopes_wald(*scaled, batch.const_col, covs[0].n)
    todo = np.isin(rec.status[idx, i], (0, Status.SINGULAR))
    rec.status[idx[todo], i] = st[todo]
    rec.stat[idx[todo], i] = np.where(st == 0, stat, math.nan)[todo]


# Below this least eigenvalue of a covariance in correlation form, the matrix
# is taken as singular: fewer clusters or periods than restrictions leave it
# rank-deficient, and its inverse is then rounding (a Wald statistic of 1e15).
SINGULAR_RCOND = 1e-12


def _singular(C: np.ndarray) -> np.ndarray:
    """Per matrix (C: (..., q, q), symmetric), whether it is not safely
    positive definite, judged in correlation form (free of the units)."""
    d = np.diagonal(C, axis1=-2, axis2=-1)
    ok = (d > 0).all(axis=-1) & np.isfinite(C).all(axis=(-2, -1))
    s = 1.0 / np.sqrt(np.where(d > 0, d, 1.0))
    Z = np.where(ok[..., None, None], C * s[..., :, None] * s[..., None, :], np.eye(C.shape[-1]))
    low = np.linalg.eigvalsh(Z)[..., 0]
    return ~ok | ~(low > SINGULAR_RCOND)


def slopes_wald(
    beta: np.ndarray, kept: list[int], Vs: np.ndarray, const_col: int, n: int
) -> tuple[np.ndarray, np.ndarray]:
    """Per series, status and b_s' V_ss^-1 b_s over the kept slopes, in the
    fits' units (beta (G, r), Vs (G, r, r)); SINGULAR where V_ss is."""
    G = beta.shape[0]
    s = [j for j, c in enumerate(kept) if c != const_col]
    if not s:
        return np.full(G, int(Status.BAD_ARG)), np.full(G, math.nan)
    b = beta[:, s]
    W = Vs[:, s][:, :, s]
    status = np.where(_singular(W), int(Status.SINGULAR), 0)
    W = np.where(status[:, None, None] == 0, W, np.eye(len(s)))
    try:
        x = np.linalg.solve(W, b[:, :, None])[:, :, 0]
    except np.linalg.LinAlgError:  # one by one: the singular ones get a status
        x = np.full(b.shape, math.nan)
        for g in range(G):
            try:
                x[g] = np.linalg.solve(W[g], b[g])
            except np.linalg.LinAlgError:
                status[g] = int(Status.SINGULAR)
    w = (b * x).sum(axis=1)
    w = np.where((w > -1e-12) & (w < 0.0), 0.0, w)  # round-off of a PSD form
    return status, np.where(status == 0, w, math.nan)


# ------------------------------------------------------ linear restrictions


@dataclass(slots=True, repr=False)
class WaldResult(TestResult):
    """A Wald test of R b = r with the report's covariance: chi2(q), or F(q,
    df) when asked (W/q; df n - k, or the clusters (periods) less one)."""

    hypothesis: str = ""
    cov_type: str = ""
    reference: str = "chi2"

    @property
    def null(self) -> str:
        return self.hypothesis

    @property
    def alternative(self) -> str:
        return "some restriction does not hold"

    @property
    def distribution(self) -> str:
        if self.df is None:
            return ""
        return f"chi2({self.df})" if self.reference == "chi2" else f"F{self.df}"

    @property
    def dist(self) -> Any:
        from scipy import stats

        if self.df is None:
            return None
        if self.reference == "chi2":
            return stats.chi2(self.df)
        return stats.f(*cast(tuple[int, int], self.df))


def _restrictions(R: Any, r: Any, names: list[str]) -> tuple[np.ndarray, np.ndarray, str]:
    k = len(names)
    if isinstance(R, str) or (
        isinstance(R, (list, tuple)) and R and all(isinstance(v, str) for v in R)
    ):
        picked = [R] if isinstance(R, str) else list(R)
        unknown = [v for v in picked if v not in names]
        if unknown:
            raise OptionError("R", f"names unknown coefficients {unknown} (known: {names})")
        Rm = np.zeros((len(picked), k))
        for row, v in enumerate(picked):
            Rm[row, names.index(v)] = 1.0
    else:
        Rm = np.atleast_2d(np.asarray(R, dtype=np.float64))
    if Rm.ndim != 2 or Rm.shape[1] != k or Rm.shape[0] < 1:
        raise OptionError("R", f"must have shape (q, {k}), got {np.shape(R)}")
    q = Rm.shape[0]
    rv = np.zeros(q) if r is None else np.atleast_1d(np.asarray(r, dtype=np.float64))
    if rv.shape != (q,):
        raise OptionError("r", f"must have {q} values, got shape {rv.shape}")
    if not (np.isfinite(Rm).all() and np.isfinite(rv).all()):
        raise OptionError("R", "and r must be finite")
    rows = []
    for a, c in zip(Rm, rv):
        terms = [f"{v:g}*{nm}" if v != 1 else nm for v, nm in zip(a, names) if v != 0]
        rows.append(f"{' + '.join(terms) or '0'} = {c:g}")
    return Rm, rv, "; ".join(rows)


def wald(
    params: np.ndarray,
    cov: Cov,
    names: list[str],
    R: Any,
    r: Any = None,
    distribution: str = "chi2",
    alpha: float = 0.05,
) -> WaldResult:
    """W = (R b - r)' (R V R')^-1 (R b - r), with chi2(q) or W/q against
    F(q, cov.df_resid)."""
    from Kalvoren._pvalues import chi2_sf, f_sf

    if distribution not in ("chi2", "F"):
        raise OptionError("distribution", f"must be 'chi2' or 'F', got {distribution!r}")
    Rm, rv, text = _restrictions(R, r, names)
    q = Rm.shape[0]
    b = np.asarray(params, dtype=np.float64)
    V = cov.matrix
    used = np.flatnonzero((Rm != 0).any(axis=0))
    if not np.isfinite(V[np.ix_(used, used)]).all() or not np.isfinite(b[used]).all():
        raise OptionError("R", "involves coefficients without a covariance (dropped as collinear)")
    Rs, Vs = Rm[:, used], V[np.ix_(used, used)]
    d = Rs @ b[used] - rv
    C = Rs @ Vs @ Rs.T
    C = (C + C.T) * 0.5
    status, stat = 0, math.nan
    try:
        if _singular(C):
            raise np.linalg.LinAlgError("not positive definite")
        cf = sla.cho_factor(C)
        stat = float(d @ sla.cho_solve(cf, d))
    except (np.linalg.LinAlgError, ValueError):
        status = Status.SINGULAR
    df: Any
    if distribution == "chi2":
        df = q
        p = float(chi2_sf(stat, q)) if status == 0 else math.nan
    else:
        d2 = cov.df_resid
        df = (q, int(d2))
        p = float(f_sf(stat / q, q, d2)) if status == 0 else math.nan
        stat = stat / q if status == 0 else math.nan
    note = "" if status == 0 else "R V R' is not positive definite (dependent restrictions?)"
    return WaldResult(
        stat,
        p,
        df,
        None if p != p else p < alpha,
        int(status),
        "kernel",
        None,
        note,
        "wald",
        alpha,
        hypothesis=text,
        cov_type=cov.cov_type,
        reference=distribution,
    )
