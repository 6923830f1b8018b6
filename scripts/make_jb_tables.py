"""Simulate the null distribution of the Jarque-Bera statistic; write src/Kalvoren/_jb_null_tables.py.

The statistic, as ``_diag.jb_stat`` computes it from the divide-by-n central moments:
  JB = n (m3^2 / m2^3 / 6 + (m4 / m2^2 - 3)^2 / 24),  m_k = sum (x - mean)^k / n.
It is free of location and scale, so for iid normal data its law depends on n alone
(the package applies it to regression residuals, as the published tables do).

Tail probabilities >= 1e-3 (the bulk): plain Monte Carlo. Each replication draws one
path of N_GRID[-1] normals and every n of the grid uses its first n values (common
random numbers: the table is smooth in n, and the normals are made once).

Smaller tail probabilities, down to 1e-14: importance sampling on two disjoint events.
  A1: the largest |x_i - mean| carries more than a share tau(n) of sum (x - mean)^2.
      By exchangeability P(JB > c, A1) = n P(JB > c, A1, that observation is x_1).
      Up to n = ACG_UP_TO the proposals inflate the variance of x_1; JB depends only
      on the direction of the centred sample, so the weight is the ratio of direction
      densities (uniform against angular central Gaussian): no radial noise, and it
      reaches the edge of the bounded support (JB <= about n^3/24) that governs small
      n. Beyond, x_1's normal law is integrated exactly given the others (conditional
      Monte Carlo), the others drawn from tilts that raise their skewness or kurtosis.
  A2: the rest. Proposals are iid: a few outliers (scale mixtures) and exponential
      tilts of He3 and He4 aimed at sums with JB about 15, 30 and 55 in five
      directions of the (skewness, kurtosis) plane, mixed with the normal itself; one
      run per band of n, every n of the band a prefix of its paths.
Where both estimates exist (1e-3) they are compared in the report.

Beyond N_GRID[-1] each critical value's excess over chi-square(2) falls as
(N_GRID[-1] / n)^kappa, kappa fitted to tails simulated the same way at EXTRA_N.

Usage: python scripts/make_jb_tables.py [--reps N] [--tail-reps N] [--validate N]
       python scripts/make_jb_tables.py --only-validate --validate N
About 2 minutes of processor time with the defaults.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import textwrap
import time

import numpy as np
from scipy.special import logsumexp, ndtr, ndtri

SEED = 20260502
REPS = 300_000  # plain Monte Carlo paths
TAIL_REPS = 12_000  # importance-sampling draws per band (fewer for the longest bands)
A1_REPS = 12_000
CHUNK_ELEMS = 4_000_000  # doubles per block of paths

N_GRID = (
    *range(10, 19),
    20,
    22,
    24,
    26,
    28,
    30,
    33,
    36,
    40,
    45,
    50,
    55,
    60,
    70,
    80,
    90,
    100,
    115,
    130,
    150,
    175,
    200,
    230,
    260,
    300,
    350,
    400,
    460,
    530,
    600,
    700,
    800,
    900,
    1000,
    1150,
    1300,
    1500,
    1750,
    2000,
    2300,
    2600,
    3000,
    3500,
    4000,
    4600,
    5300,
    6000,
    7000,
    8000,
    9000,
    10000,
)
# The importance-sampling runs for A2: each covers the grid's n in (previous top, top].
BAND_TOPS = (
    12,
    15,
    20,
    26,
    33,
    45,
    60,
    80,
    100,
    130,
    175,
    230,
    300,
    400,
    530,
    700,
    1000,
    1500,
    2300,
    3500,
    5300,
    10000,
)
# Beyond N_GRID[-1] the rows approach chi-square(2): the excess of each critical value
# over -2 log(alpha) falls as (N_GRID[-1] / n)^kappa, kappa fitted on the tail at these n
# (importance sampling: draws without and with one dominant observation) and 1 in the bulk.
EXTRA_N = ((20_000, 1500, 800), (50_000, 800, 500), (100_000, 500, 300))
KAPPA_RANGE = (0.5, 3.0)
TAIL_ALPHA = tuple(10.0 ** (-k / 2) for k in range(28, 6, -1))  # 1e-14 .. 10^-3.5
BULK_ALPHA = (
    0.001,
    0.002,
    0.003,
    0.005,
    0.0075,
    0.01,
    0.015,
    0.02,
    0.025,
    0.03,
    0.04,
    0.05,
    0.06,
    0.07,
    0.08,
    0.1,
    0.125,
    0.15,
    0.2,
    0.25,
    0.3,
    0.35,
    0.4,
    0.45,
    0.5,
    0.55,
    0.6,
    0.65,
    0.7,
    0.75,
    0.8,
    0.85,
    0.9,
    0.95,
    0.975,
    0.99,
    0.995,
    0.998,
    0.999,
)
ALPHA_GRID = TAIL_ALPHA + BULK_ALPHA
SIG_DIGITS = 7

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "src", "Kalvoren", "_jb_null_tables.py")


def tau(n: int | np.ndarray) -> np.ndarray:
    """Share of the centred sum of squares above which one observation is an A1 outlier."""
    return np.minimum(0.3, 25.0 / np.asarray(n, dtype=np.float64))


# ------------------------------------------------------------------ statistics


def _segments(ns: np.ndarray) -> np.ndarray:
    return np.concatenate([[0], ns[:-1]])


def prefix_sums(x: np.ndarray, ns: np.ndarray) -> list[np.ndarray]:
    """Sums of x^1..x^4 over the first n columns of each row, for every n in ns."""
    seg = _segments(ns)
    x2 = x * x
    return [np.cumsum(np.add.reduceat(a, seg, axis=1), axis=1) for a in (x, x2, x2 * x, x2 * x2)]


def jb_from_sums(s: list[np.ndarray], ns: np.ndarray) -> np.ndarray:
    n = ns.astype(np.float64)
    mu, a2, a3, a4 = (v / n for v in s)
    m2 = a2 - mu * mu
    m3 = a3 - 3 * mu * a2 + 2 * mu**3
    m4 = a4 - 4 * mu * a3 + 6 * mu * mu * a2 - 3 * mu**4
    return n * (m3 * m3 / m2**3 / 6 + (m4 / (m2 * m2) - 3) ** 2 / 24)


def jb_direct(x: np.ndarray) -> np.ndarray:
    """JB of each row, two-pass (a check of the prefix formulas)."""
    n = x.shape[1]
    d = x - x.mean(axis=1, keepdims=True)
    m2, m3, m4 = ((d**k).sum(axis=1) / n for k in (2, 3, 4))
    return n * (m3 * m3 / m2**3 / 6 + (m4 / (m2 * m2) - 3) ** 2 / 24)


def _blocks(reps: int, n: int) -> list[int]:
    size = max(1, CHUNK_ELEMS // n)
    return [size] * (reps // size) + ([reps % size] if reps % size else [])


def simulate_bulk(reps: int, seed: np.random.SeedSequence, grid: np.ndarray) -> np.ndarray:
    """JB of reps normal paths at every n of the grid: array (len(grid), reps)."""
    sizes = _blocks(reps, int(grid[-1]))
    out = []
    for ss, r in zip(seed.spawn(len(sizes)), sizes):
        x = np.random.default_rng(ss).standard_normal((r, int(grid[-1])))
        out.append(jb_from_sums(prefix_sums(x, grid), grid).T)
    return np.concatenate(out, axis=1)


# ------------------------------------------------------------------ proposals


class _Scale:
    """(1 - eps) N(0, 1) + eps N(0, sd^2): outliers, heavier tails."""

    sym = False

    def __init__(self, eps: float, sd: float) -> None:
        self.eps, self.sd = eps, sd
        self.a = 0.5 * (1 - 1 / sd**2)

    def sample(self, rng: np.random.Generator, shape: tuple[int, int]) -> np.ndarray:
        x = rng.standard_normal(shape)
        x[rng.random(shape) < self.eps] *= self.sd
        return x

    def logr(self, x: np.ndarray, x2: np.ndarray) -> np.ndarray:
        return np.log1p(self.eps * (np.exp(self.a * x2) / self.sd - 1.0))


def _alias(prob: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Walker's alias table: draw j uniformly, keep it with probability p[j], else take k[j]."""
    m = prob.size
    p = prob * m
    keep = np.ones(m)
    other = np.arange(m)
    small = [i for i in range(m) if p[i] < 1.0]
    large = [i for i in range(m) if p[i] >= 1.0]
    while small and large:
        i, j = small.pop(), large[-1]
        keep[i], other[i] = p[i], j
        p[j] -= 1.0 - p[i]
        if p[j] < 1.0:
            small.append(large.pop())
    return keep, other


class _Tilt:
    """phi(x) exp(g(x)) / M, g = t3 He3 + t4 He4 on [-L, L] and held at g(+-L) beyond:
    under it n values get about the skewness and kurtosis the tilt aims at. The log
    likelihood ratio of n values is t3 sum h3 + t4 sum h4 - n log M (h the Hermite
    polynomials of x clipped to [-L, L]), so any number of tilts costs two running sums.
    Sampled exactly: a cell of a piecewise-constant envelope (or a normal tail), uniform
    in the cell, accepted with the ratio of the density to the envelope."""

    L = 4.5
    H = 2e-3

    def __init__(self, t3: float, t4: float) -> None:
        self.t3, self.t4 = t3, t4
        L, H = self.L, self.H
        ncell = int(round(2 * L / H))
        xs = -L + 0.5 * H * np.arange(2 * ncell + 1)  # edges and midpoints, interleaved
        lf = self._g(xs) - 0.5 * xs * xs  # log of the density, up to a constant
        env = np.maximum(np.maximum(lf[0:-1:2], lf[1::2]), lf[2::2]) + 1e-3
        gl, gr = float(self._g(np.array(-L))), float(self._g(np.array(L)))
        top = max(float(env.max()), gl, gr)
        tail = math.sqrt(2 * math.pi) * ndtr(-L)
        mass = np.concatenate(
            [[tail * math.exp(gl - top)], H * np.exp(env - top), [tail * math.exp(gr - top)]]
        )
        self.prob = mass / mass.sum()
        self.alias: tuple[np.ndarray, np.ndarray] | None = None
        self.env = env
        self.ncell = ncell
        f = np.exp(lf - top)  # Simpson's rule on the interleaved points, step H / 2
        inner = (f[0] + f[-1] + 4 * f[1:-1:2].sum() + 2 * f[2:-1:2].sum()) * H / 6
        self.log_m = top + math.log(inner + tail * (math.exp(gl - top) + math.exp(gr - top)))
        self.log_m -= 0.5 * math.log(2 * math.pi)  # M = E_phi exp(g)
        # means of He3 and He4 under the tilt (to aim it)
        wts = np.where(np.arange(xs.size) % 2, 4.0, 2.0)
        wts[0] = wts[-1] = 1.0
        pr = f * wts * H / 6
        tl, tr = tail * math.exp(gl - top), tail * math.exp(gr - top)
        h3, h4 = self.hermite(xs)
        total = inner + tl + tr
        self.mean3 = float(pr @ h3 + tl * h3[0] + tr * h3[-1]) / total
        self.mean4 = float(pr @ h4 + tl * h4[0] + tr * h4[-1]) / total

    @classmethod
    def hermite(cls, x: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """He3 and He4 of x clipped to [-L, L]."""
        h = np.clip(x, -cls.L, cls.L)
        h2 = h * h
        return h * (h2 - 3), h2 * h2 - 6 * h2 + 3

    def _g(self, x: np.ndarray) -> np.ndarray:
        h3, h4 = self.hermite(x)
        return self.t3 * h3 + self.t4 * h4

    @classmethod
    def aimed(cls, angle: float, level: float, n: float) -> "_Tilt":
        """The tilt in direction angle of the (He3, He4) plane under which n values have
        n (E He3^2 / 6 + E He4^2 / 24) = level, as far as tilts up to a cap reach."""
        c3, c4 = math.cos(angle) / 6, math.sin(angle) / 24

        def make(r: float) -> "_Tilt":
            return cls(r * c3, r * c4)

        lo, hi = 0.0, 1.0 / max(abs(c3) / 0.3, abs(c4) / 0.06)
        if n * make(hi).jb() <= level:
            return make(hi)
        for _ in range(30):
            mid = 0.5 * (lo + hi)
            lo, hi = (mid, hi) if n * make(mid).jb() < level else (lo, mid)
        return make(0.5 * (lo + hi))

    def jb(self) -> float:
        return self.mean3**2 / 6 + self.mean4**2 / 24

    def sample(self, rng: np.random.Generator, shape: tuple[int, int]) -> np.ndarray:
        size = shape[0] * shape[1]
        out = np.empty(size)
        todo = np.arange(size)
        L, H, last = self.L, self.H, self.ncell + 1
        if self.alias is None:
            self.alias = _alias(self.prob)
        keep, other = self.alias
        while todo.size:
            j = rng.integers(0, last + 1, todo.size)
            k = np.where(rng.random(todo.size) < keep[j], j, other[j])
            v = rng.random(todo.size)
            x = -L + H * (k - 1 + v)
            ends = np.flatnonzero((k == 0) | (k == last))
            if ends.size:
                tail = ndtr(-L) * v[ends]
                x[ends] = np.where(k[ends] == 0, ndtri(tail), -ndtri(tail))
            kk = np.clip(k - 1, 0, self.ncell - 1)
            lf = self._g(x) - 0.5 * x * x
            acc = np.exp(np.minimum(lf - self.env[kk], 0.0))
            ok = (k == 0) | (k == last) | (rng.random(todo.size) < acc)
            out[todo[ok]] = x[ok]
            todo = todo[~ok]
        sign = np.where(rng.random((shape[0], 1)) < 0.5, -1.0, 1.0)
        return out.reshape(shape) * sign

    def log_ratio(self, s3: np.ndarray, s4: np.ndarray, n: np.ndarray) -> np.ndarray:
        """log of the mirrored mixture (q(x) + q(-x)) / 2 over phi, for n values with
        clipped Hermite sums s3, s4."""
        a = self.t4 * s4 - n * self.log_m
        b = np.abs(self.t3 * s3)
        return a + b + np.log1p(np.exp(-2 * b)) - math.log(2.0)


TILT_ANGLES = (-0.5 * math.pi, -0.25 * math.pi, 0.0, 0.25 * math.pi, 0.5 * math.pi)


def tilts(levels: tuple[float, ...], n_ref: float) -> list[_Tilt]:
    return [_Tilt.aimed(ang, lv, n_ref) for lv in levels for ang in TILT_ANGLES]


def _mixture_log_ratio(terms: list[np.ndarray], pi0: float) -> np.ndarray:
    """log(pi0 + (1 - pi0) mean_k exp(terms_k)): the proposal mixture over phi."""
    lk = math.log((1 - pi0) / len(terms))
    return logsumexp(
        np.stack([np.full(terms[0].shape, math.log(pi0))] + [t + lk for t in terms]), axis=0
    )


# ------------------------------------------------------------------ A1: one dominant value

A1_PI0 = 0.1
A1_OTHERS_PI0 = 0.3
A1_LEVELS = (8.0, 20.0)
ACG_UP_TO = 300  # bands up to this n: importance sampling of x_1; longer: conditional


def a1_variances(lo: int, top: int) -> np.ndarray:
    """Variances of x_1 for the band of n in [lo, top]: around the squared size of one
    outlier that alone makes the tail probabilities 1e-3 .. 1e-15 (n P(|x| > t)); small
    n also need the edge of the support, where x_1 dwarfs the rest."""
    t_lo = -ndtri(1e-3 / (2 * top))
    t_hi = -ndtri(1e-15 / (2 * lo))
    hi = 1e7 if lo <= 60 else (1.3 * t_hi) ** 2
    v_lo = max(2.0, (0.7 * t_lo) ** 2)
    return np.geomspace(v_lo, hi, max(4, int(math.ceil(math.log(hi / v_lo) / math.log(1.6))) + 1))


def _join(
    m2b: np.ndarray, m3b: np.ndarray, m4b: np.ndarray, nb: np.ndarray, n: np.ndarray, d: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """JB and the centred sum of squares of nb values (central sums m2b, m3b, m4b about
    their mean) joined by one value d below that mean: the pairwise update of central
    sums, stable however large d is."""
    m2 = m2b + d * d * nb / n
    m3 = m3b + d**3 * nb * (1 - nb) / n**2 + 3 * d * m2b / n
    m4 = m4b + d**4 * nb * (1 - nb + nb * nb) / n**3 + 6 * d * d * m2b / n**2 + 4 * d * m3b / n
    return n * (n * m3 * m3 / m2**3 / 6 + (n * m4 / (m2 * m2) - 3) ** 2 / 24), m2


def _others(y: np.ndarray, grid: np.ndarray) -> tuple[np.ndarray, ...]:
    """Mean, central sums 2..4, max and min of the first n - 1 values of each row of y."""
    nb = (grid - 1).astype(np.float64)
    s = prefix_sums(y, grid - 1)
    yb = s[0] / nb
    m2b = s[1] - yb * s[0]
    m3b = s[2] - 3 * yb * s[1] + 2 * yb * yb * s[0]
    m4b = s[3] - 4 * yb * s[2] + 6 * yb * yb * s[1] - 3 * yb**3 * s[0]
    seg = _segments(grid - 1)
    ymax = np.maximum.accumulate(np.maximum.reduceat(y, seg, axis=1), axis=1)
    ymin = np.minimum.accumulate(np.minimum.reduceat(y, seg, axis=1), axis=1)
    return yb, m2b, m3b, m4b, ymax, ymin


def _dominant(
    x0: np.ndarray, d: np.ndarray, m2: np.ndarray, nb, n, ymax, ymin, tau_n
) -> np.ndarray:
    """x0 is the farthest from the mean and carries more than tau_n of the sum of squares."""
    d0 = -d * nb / n  # x0 - mean
    mean = x0 + d * nb / n
    far = np.maximum(ymax - mean, mean - ymin)
    return (np.abs(d0) >= far) & (d0 * d0 > tau_n * m2)


def simulate_a1(
    reps: int, seed: np.random.SeedSequence, grid: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """A1 draws for the grid's n (one band, prefixes of one path each): JB and weights
    (P(JB > c, A1) is estimated by mean(w 1[JB > c])), arrays (len(grid), reps).
    Samples outside A1 carry weight 0. The weight is the ratio of direction densities:
    uniform against the angular central Gaussian of x_1's inflated variance."""
    nmax = int(grid[-1])
    sig2 = a1_variances(int(grid[0]), nmax)
    K = sig2.size
    n = grid.astype(np.float64)
    nb = n - 1.0
    stats, wts = [], []
    for ss, r in zip(seed.spawn(len(_blocks(reps, nmax))), _blocks(reps, nmax)):
        rng = np.random.default_rng(ss)
        lab = np.where(rng.random(r) < A1_PI0, -1, rng.integers(0, K, r))
        x0 = rng.standard_normal(r) * np.where(lab >= 0, np.sqrt(sig2[np.maximum(lab, 0)]), 1.0)
        yb, m2b, m3b, m4b, ymax, ymin = _others(rng.standard_normal((r, nmax - 1)), grid)
        d = yb - x0[:, None]
        jb, m2 = _join(m2b, m3b, m4b, nb, n, d)
        dom = _dominant(x0[:, None], d, m2, nb, n, ymax, ymin, tau(grid))
        c2 = (d * nb / n) ** 2 / ((1 - 1 / n) * m2)
        one_m_c2 = m2b / m2
        terms = []
        for v in sig2:
            sp2 = 1.0 + (v - 1.0) * (1 - 1 / n)
            terms.append(-0.5 * np.log(sp2) - 0.5 * (n - 1) * np.log(one_m_c2 + c2 / sp2))
        w = n * np.exp(-_mixture_log_ratio(terms, A1_PI0)) * dom
        stats.append(jb.T)
        wts.append(w.T)
    return np.concatenate(stats, axis=1), np.concatenate(wts, axis=1)


# Levels of JB at which long bands are evaluated, and the distances of x_1 from the
# mean of the others over which its normal law is integrated.
C_GRID = np.geomspace(3.0, 1e5, 1500)
T_GRID = np.geomspace(2.5, 80.0, 160)


def simulate_a1c(
    reps: int, seed: np.random.SeedSequence, grid: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """P(JB > c, A1) at every c of C_GRID for the grid's n (one band): mean and variance
    of the estimate, arrays (len(grid), C_GRID.size).

    Conditional Monte Carlo: the other n - 1 values are drawn (tilted, and weighted),
    and the law of x_1 is integrated exactly: given the others, x_1 leads to A1 and
    JB > c beyond a distance from their mean on either side (found on T_GRID after
    making JB non-decreasing in the distance from the outside in), and that normal
    tail is the draw's contribution."""
    nmax = int(grid[-1])
    n_ref = math.sqrt(int(grid[0]) * nmax)
    others = tilts(A1_LEVELS, n_ref)
    n = grid.astype(np.float64)
    nb = n - 1.0
    total = np.zeros((grid.size, C_GRID.size))
    total2 = np.zeros_like(total)
    lc = np.log1p(C_GRID)
    T = T_GRID.size
    for ss, r in zip(seed.spawn(len(_blocks(reps, nmax))), _blocks(reps, nmax)):
        rng = np.random.default_rng(ss)
        lab = np.where(rng.random(r) < A1_OTHERS_PI0, -1, rng.integers(0, len(others), r))
        y = rng.standard_normal((r, nmax - 1))
        for m, t in enumerate(others):
            rows = np.flatnonzero(lab == m)
            if rows.size:
                y[rows] = t.sample(rng, (rows.size, nmax - 1))
        seg = _segments(grid - 1)
        h3, h4 = _Tilt.hermite(y)
        s3 = np.cumsum(np.add.reduceat(h3, seg, axis=1), axis=1)
        s4 = np.cumsum(np.add.reduceat(h4, seg, axis=1), axis=1)
        logw = -_mixture_log_ratio([t.log_ratio(s3, s4, nb) for t in others], A1_OTHERS_PI0)
        yb, m2b, m3b, m4b, ymax, ymin = _others(y, grid)
        rowoff = 100.0 * np.arange(r)[:, None]
        for b in range(grid.size):
            contrib = np.zeros((r, C_GRID.size))
            args = (m2b[:, b : b + 1], m3b[:, b : b + 1], m4b[:, b : b + 1], nb[b], n[b])
            for side in (1.0, -1.0):
                x0 = yb[:, b : b + 1] + side * T_GRID
                d = np.broadcast_to(-side * T_GRID, x0.shape)
                jb, m2 = _join(*args, d)
                ext = (ymax[:, b : b + 1], ymin[:, b : b + 1])
                dom = _dominant(x0, d, m2, nb[b], n[b], *ext, float(tau(grid[b])))
                env = np.minimum.accumulate(np.where(dom, jb, 0.0)[:, ::-1], axis=1)[:, ::-1]
                key = (np.log1p(env) + rowoff).ravel()
                i = np.searchsorted(key, (lc[None, :] + rowoff).ravel()).reshape(r, -1)
                i -= T * np.arange(r)[:, None]
                hit = i < T
                i0 = np.clip(i - 1, 0, T - 1)
                i1 = np.clip(i, 0, T - 1)
                e0 = np.take_along_axis(env, i0, axis=1)
                e1 = np.take_along_axis(env, i1, axis=1)
                with np.errstate(invalid="ignore", divide="ignore"):
                    f = np.where(i > 0, np.clip((C_GRID - e0) / (e1 - e0), 0.0, 1.0), 0.0)
                t_star = T_GRID[i0] + f * (T_GRID[i1] - T_GRID[i0])
                t_star = np.where(i > 0, t_star, T_GRID[0])
                edge = yb[:, b : b + 1] + side * t_star
                contrib += np.where(hit, ndtr(-side * edge), 0.0)
            contrib *= n[b] * np.exp(logw[:, b : b + 1])
            total[b] += contrib.sum(axis=0)
            total2[b] += (contrib * contrib).sum(axis=0)
    mean = total / reps
    return mean, np.maximum(total2 / reps - mean * mean, 0.0) / reps


# ------------------------------------------------------------------ A2: no dominant value

A2_PI0 = 0.2
# Statistic levels the collective tilts aim at (chi-square(2) tails 6e-4, 3e-7, 1e-12).
A2_LEVELS = (15.0, 30.0, 55.0)


def simulate_a2(
    reps: int, seed: np.random.SeedSequence, band: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """A2 draws for the grid's n in one band: JB and weights, arrays (len(band), reps).
    Proposals: a few outliers (iid scale mixtures), and exponential tilts aimed at
    sums of n_ref values with JB about each level, in several directions."""
    top = int(band[-1])
    scales = [_Scale(min(lam / top, 0.5), sd) for lam in (1.0, 4.0) for sd in (2.5, 4.0)]
    tl = tilts(A2_LEVELS, math.sqrt(int(band[0]) * top))
    comps: list = scales + tl
    K = len(comps)
    seg = _segments(band)
    n = band.astype(np.float64)
    stats, wts = [], []
    for ss, r in zip(seed.spawn(len(_blocks(reps, top))), _blocks(reps, top)):
        rng = np.random.default_rng(ss)
        lab = np.where(rng.random(r) < A2_PI0, -1, rng.integers(0, K, r))
        x = rng.standard_normal((r, top))
        for k, c in enumerate(comps):
            rows = np.flatnonzero(lab == k)
            if rows.size:
                x[rows] = c.sample(rng, (rows.size, top))
        x2 = x * x
        terms = [np.cumsum(np.add.reduceat(c.logr(x, x2), seg, axis=1), axis=1) for c in scales]
        h3, h4 = _Tilt.hermite(x)
        s3 = np.cumsum(np.add.reduceat(h3, seg, axis=1), axis=1)
        s4 = np.cumsum(np.add.reduceat(h4, seg, axis=1), axis=1)
        terms += [t.log_ratio(s3, s4, n) for t in tl]
        logq = _mixture_log_ratio(terms, A2_PI0)
        s = prefix_sums(x, band)
        jb = jb_from_sums(s, band)
        mean = s[0] / n
        xmax = np.maximum.accumulate(np.maximum.reduceat(x, seg, axis=1), axis=1)
        xmin = np.minimum.accumulate(np.minimum.reduceat(x, seg, axis=1), axis=1)
        far = np.maximum(xmax - mean, mean - xmin)
        ss_c = s[1] - mean * s[0]
        outside = far * far <= tau(band) * ss_c
        w = np.exp(-logq) * outside
        stats.append(jb.T)
        wts.append(w.T)
    return np.concatenate(stats, axis=1), np.concatenate(wts, axis=1)


def band_reps(top: int, reps: int) -> int:
    return int(reps * min(1.0, math.sqrt(1000.0 / top)))


# ------------------------------------------------------------------ quantiles


def weighted_isf(
    parts: list[tuple[np.ndarray, np.ndarray]], alphas: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """Upper quantiles of the law estimated by several independent weighted samples
    (each part: statistics and weights, the estimate of P(JB > c) being mean(w 1[JB > c]))
    and the relative standard error of the tail probability at each."""
    s = np.concatenate([p[0] for p in parts])
    w = np.concatenate([p[1] / p[1].size for p in parts])
    w2 = np.concatenate([(p[1] / p[1].size) ** 2 for p in parts])
    part = np.concatenate([np.full(p[0].size, i) for i, p in enumerate(parts)])
    o = np.argsort(-s, kind="stable")
    s, w, w2, part = s[o], w[o], w2[o], part[o]
    sf = np.cumsum(w)
    cv = np.empty(alphas.size)
    rse = np.empty(alphas.size)
    for j, a in enumerate(alphas):
        k = int(np.searchsorted(sf, a))
        if k == 0 or k >= s.size:
            cv[j] = rse[j] = np.nan
            continue
        # log-linear in the tail probability between the neighbouring draws
        f = (math.log(a) - math.log(sf[k - 1])) / (math.log(sf[k]) - math.log(sf[k - 1]))
        cv[j] = s[k - 1] + f * (s[k] - s[k - 1])
        var = 0.0
        for i, p in enumerate(parts):
            sel = part[: k + 1] == i
            m1 = w[: k + 1][sel].sum()
            var += max(w2[: k + 1][sel].sum() - m1 * m1 / p[1].size, 0.0)
        rse[j] = math.sqrt(var) / a
    return cv, rse


def sample_sf(stat: np.ndarray, w: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """mean(w 1[stat > c]) at every c of C_GRID, and the variance of that mean."""
    o = np.argsort(-stat, kind="stable")
    s, ww = stat[o], w[o] / w.size
    cw = np.concatenate([[0.0], np.cumsum(ww)])
    cw2 = np.concatenate([[0.0], np.cumsum(ww * ww)])
    k = np.searchsorted(-s, -C_GRID, side="left")  # draws with stat > c
    m = cw[k]
    return m, np.maximum(cw2[k] - m * m / w.size, 0.0)


def grid_isf(p: np.ndarray, var: np.ndarray, alphas: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Where the tail probability p on C_GRID (non-increasing) crosses each alpha,
    log-log between grid points, and its relative standard error there."""
    cv = np.full(alphas.size, np.nan)
    rse = np.full(alphas.size, np.nan)
    for j, a in enumerate(alphas):
        k = int(np.searchsorted(-p, -a, side="right"))  # first c with p < a
        if k == 0 or k >= C_GRID.size or p[k] <= 0:
            continue
        f = math.log(p[k - 1] / a) / math.log(p[k - 1] / p[k])
        cv[j] = math.exp(math.log(C_GRID[k - 1]) + f * math.log(C_GRID[k] / C_GRID[k - 1]))
        rse[j] = math.sqrt(var[k]) / p[k]
    return cv, rse


def pava_decreasing(y: np.ndarray) -> np.ndarray:
    """Least-squares non-increasing fit (pool adjacent violators)."""
    vals: list[float] = []
    wts: list[int] = []
    for v in y[::-1]:
        vals.append(float(v))
        wts.append(1)
        while len(vals) > 1 and vals[-2] > vals[-1]:
            wsum = wts[-2] + wts[-1]
            vals[-2] = (vals[-2] * wts[-2] + vals[-1] * wts[-1]) / wsum
            wts[-2] = wsum
            vals.pop()
            wts.pop()
    return np.repeat(vals, wts)[::-1].copy()


def round_sig(x: float, digits: int = SIG_DIGITS) -> float:
    return float(f"{x:.{digits}g}")


def strict_row(row: np.ndarray) -> tuple[list[float], int]:
    """Isotonic in alpha on the log scale, rounded, then strictly decreasing."""
    r = [round_sig(v) for v in np.exp(pava_decreasing(np.log(row)))]
    bumps = 0
    for k in range(1, len(r)):
        if not r[k] < r[k - 1]:
            r[k] = round_sig(r[k - 1] - 10.0 ** (math.floor(math.log10(r[k - 1])) - SIG_DIGITS + 1))
            bumps += 1
    return r, bumps


# ------------------------------------------------------------------ output


def fmt_rows(cv: np.ndarray) -> str:
    lines = ["JB_CV: tuple[tuple[float, ...], ...] = ("]
    for n, row in zip(N_GRID, cv):
        vals = [repr(float(v)) for v in row]
        lines.append(f"    (  # n = {n}")
        for s in range(0, len(vals), 8):
            lines.append("        " + ", ".join(vals[s : s + 8]) + ",")
        lines.append("    ),")
    lines.append(")")
    return "\n".join(lines)


def write_module(path: str, cv: np.ndarray, kappa: np.ndarray, args: argparse.Namespace) -> None:
    def wrapped(items: list[str]) -> str:
        return "\n".join(
            textwrap.wrap(
                ", ".join(items) + ",", 88, initial_indent="    ", subsequent_indent="    "
            )
        )

    text = f'''# Generated by scripts/make_jb_tables.py: do not edit by hand.
# fmt: off
# Seed {args.seed}: {args.reps} normal paths of length {N_GRID[-1]} (prefixes per n) for tail
# probabilities >= {BULK_ALPHA[0]}; importance sampling below ({args.tail_reps} draws per band of n,
# {args.a1_reps} for one dominant observation). Rows are isotonic in alpha and strictly
# decreasing; values rounded to {SIG_DIGITS} significant digits.
"""Null critical values of the Jarque-Bera statistic of n iid normal values."""

SEED = {args.seed}
REPS = {args.reps}

# Sample sizes n (row order of the table).
N_GRID: tuple[int, ...] = (
{wrapped([str(n) for n in N_GRID])}
)

# Upper-tail probabilities alpha (column order of the table).
ALPHA_GRID: tuple[float, ...] = (
{wrapped([repr(a) for a in ALPHA_GRID])}
)

# Beyond N_GRID[-1]: JB_CV[-1][k] moves to the chi-square(2) value -2 log(ALPHA_GRID[k]) as
# (N_GRID[-1] / n)^KAPPA[k] (fitted to simulated tails at n = {", ".join(str(e[0]) for e in EXTRA_N)}).
KAPPA: tuple[float, ...] = (
{wrapped([f"{k:.4f}" for k in kappa])}
)

# JB_CV[i][k]: exceeded with probability ALPHA_GRID[k] when n = N_GRID[i].
{fmt_rows(cv)}
'''
    with open(path, "w") as f:
        f.write(text)


# ------------------------------------------------------------------ main


def build(args: argparse.Namespace) -> tuple[np.ndarray, np.ndarray]:
    grid = np.asarray(N_GRID, dtype=np.int64)
    root = np.random.SeedSequence(args.seed)
    s_bulk, s_a1, s_a2, s_x = root.spawn(4)
    t0 = time.perf_counter()
    bulk = simulate_bulk(args.reps, s_bulk, grid)
    t1 = time.perf_counter()
    print(f"plain Monte Carlo: {args.reps} paths x {grid[-1]} in {t1 - t0:.1f} s")
    tails = np.empty((grid.size, len(TAIL_ALPHA)))
    rse = np.empty_like(tails)
    check = np.empty(grid.size)
    lo = 0
    seeds = zip(s_a1.spawn(len(BAND_TOPS)), s_a2.spawn(len(BAND_TOPS)))
    alphas = np.asarray(TAIL_ALPHA)
    for top, (ss1, ss2) in zip(BAND_TOPS, seeds):
        hi = int(np.searchsorted(grid, top, side="right"))
        band = grid[lo:hi]
        j2, w2 = simulate_a2(band_reps(top, args.tail_reps), ss2, band)
        if top <= ACG_UP_TO:
            j1, w1 = simulate_a1(band_reps(top, args.a1_reps), ss1, band)
            for b in range(band.size):
                parts = [(j1[b], w1[b]), (j2[b], w2[b])]
                tails[lo + b], rse[lo + b] = weighted_isf(parts, alphas)
                check[lo + b] = weighted_isf(parts, np.array([1e-3]))[0][0]
        else:
            p1, v1 = simulate_a1c(band_reps(top, args.a1_reps) // 2, ss1, band)
            for b in range(band.size):
                p2, v2 = sample_sf(j2[b], w2[b])
                tails[lo + b], rse[lo + b] = grid_isf(p1[b] + p2, v1[b] + v2, alphas)
                check[lo + b] = grid_isf(p1[b] + p2, v1[b] + v2, np.array([1e-3]))[0][0]
        lo = hi
    t3 = time.perf_counter()
    print(f"importance sampling over {len(BAND_TOPS)} bands in {t3 - t1:.1f} s")

    q = 1.0 - np.asarray(BULK_ALPHA)
    body = np.array([np.quantile(r, q) for r in bulk])
    raw = np.concatenate([tails, body], axis=1)
    assert np.all(np.isfinite(raw)), "a tail quantile was not reached"
    rows, bumps = zip(*(strict_row(r) for r in raw))
    cv = np.array(rows)
    iso = np.max(np.abs(cv - raw) / raw)
    print(f"isotonic fit + rounding: largest relative change {iso:.2e}; ties bumped {sum(bumps)}")
    report(bulk, cv, rse, check)

    t4 = time.perf_counter()
    extra = []
    for (n_x, r2, r1), ss in zip(EXTRA_N, s_x.spawn(len(EXTRA_N))):
        a, b = ss.spawn(2)
        band = np.array([n_x])
        j2, w2 = simulate_a2(r2, a, band)
        p1, v1 = simulate_a1c(r1, b, band)
        p2, v2 = sample_sf(j2[0], w2[0])
        extra.append(grid_isf(p1[0] + p2, v1[0] + v2, alphas))
    kappa = fit_kappa(cv[-1], extra)
    print(f"\ntails at n = {[e[0] for e in EXTRA_N]} in {time.perf_counter() - t4:.1f} s")
    report_extrapolation(cv[-1], kappa, extra)
    return cv, kappa


def extrapolate(last: np.ndarray, kappa: np.ndarray, n: float) -> np.ndarray:
    """The row at n > N_GRID[-1] (the package's rule)."""
    inf = -2.0 * np.log(np.asarray(ALPHA_GRID))
    return inf + (last - inf) * (N_GRID[-1] / n) ** kappa


def _log_slope(last: np.ndarray) -> np.ndarray:
    """-d log(alpha) / d log(cv) along the last row, per tail column."""
    la, lc = np.log(np.asarray(ALPHA_GRID)), np.log(last)
    g = -np.gradient(la, lc)
    return g[: len(TAIL_ALPHA)]


def fit_kappa(last: np.ndarray, extra: list[tuple[np.ndarray, np.ndarray]]) -> np.ndarray:
    """kappa per column: linear in z = -ndtri(alpha) over the tail columns (clipped to
    KAPPA_RANGE), least squares in log tail probability against the importance-sampling
    quantiles at EXTRA_N, each residual scaled by its relative standard error; 1 in the bulk."""
    nt = len(TAIL_ALPHA)
    z = -ndtri(np.asarray(TAIL_ALPHA))
    slope = _log_slope(last)
    best = (math.inf, None)
    for a in np.linspace(0.0, 3.0, 121):
        for b in np.linspace(-1.0, 1.0, 81):
            k = np.clip(a + b * (z - 5.0), *KAPPA_RANGE)
            kap = np.concatenate([k, np.ones(len(BULK_ALPHA))])
            loss = 0.0
            for (n_x, _, _), (cvx, rsx) in zip(EXTRA_N, extra):
                model = extrapolate(last, kap, n_x)[:nt]
                ok = np.isfinite(cvx)
                r = (np.log(model[ok]) - np.log(cvx[ok])) * slope[ok] / np.maximum(rsx[ok], 0.05)
                loss += float(r @ r)
            if loss < best[0]:
                best = (loss, kap)
    kap = best[1]
    assert kap is not None
    for n in np.geomspace(N_GRID[-1], 1e12, 400):
        assert np.all(np.diff(extrapolate(last, kap, n)) < 0), "extrapolated row not monotone"
    return kap


def report_extrapolation(
    last: np.ndarray, kappa: np.ndarray, extra: list[tuple[np.ndarray, np.ndarray]]
) -> None:
    nt = len(TAIL_ALPHA)
    print(f"kappa over the tail columns: {kappa[0]:.3f} (1e-14) .. {kappa[nt - 1]:.3f} (10^-3.5)")
    print("importance-sampling quantile / extrapolated row (and the estimate's rel. s.e.):")
    for (n_x, _, _), (cvx, rsx) in zip(EXTRA_N, extra):
        model = extrapolate(last, kappa, n_x)[:nt]
        cells = [
            f"{TAIL_ALPHA[k]:.0e}: {cvx[k] / model[k]:.3f} ({100 * rsx[k]:.0f}%)"
            for k in range(0, nt, 4)
        ]
        print(f"  n={n_x:6d}  " + "  ".join(cells))


def report(bulk: np.ndarray, cv: np.ndarray, rse: np.ndarray, check: np.ndarray) -> None:
    alpha = np.asarray(ALPHA_GRID)
    print("\nrelative s.e. of the importance-sampling tail probabilities (largest over n):")
    for k in range(0, len(TAIL_ALPHA), 4):
        i = int(np.argmax(rse[:, k]))
        print(f"  alpha {TAIL_ALPHA[k]:.1e}: {100 * rse[i, k]:5.1f} % (n = {N_GRID[i]})")
    print("\nthe two estimates where both exist: tail probability of the importance-sampling")
    print("quantile at alpha 1e-3 in the plain sample (z = difference / plain s.e.)")
    se = math.sqrt(1e-3 * (1 - 1e-3) / bulk.shape[1])
    z = np.array([(np.mean(bulk[i] > check[i]) - 1e-3) / se for i in range(len(N_GRID))])
    for n in (10, 20, 50, 100, 300, 1000, 3000, 10000):
        print(f"  n={n:5d}: z={z[N_GRID.index(n)]:+.2f}")
    print(f"  largest |z| over the grid: {np.max(np.abs(z)):.2f}")
    # interpolation between alpha nodes (log JB linear in z), at the bulk's midpoints
    z = -ndtri(alpha)
    zm = 0.5 * (z[1:] + z[:-1])
    pm = ndtr(-zm)
    nb = len(TAIL_ALPHA)
    big = 0.0
    for i in range(len(N_GRID)):
        srt = np.sort(bulk[i])
        xm = np.exp(0.5 * (np.log(cv[i, 1:]) + np.log(cv[i, :-1])))
        freq = 1.0 - np.searchsorted(srt, xm, side="right") / srt.size
        se = np.sqrt(pm * (1 - pm) / srt.size)
        zz = ((freq - pm) / se)[nb:]
        big = max(big, float(np.max(np.abs(zz))))
    print(f"\ninterpolation between bulk alpha nodes: largest |empirical - p| / s.e. {big:.2f}")


def validate(seed: int, reps: int) -> None:
    """The package's p-values on fresh samples at n off the grid."""
    sys.path.insert(0, os.path.join(ROOT, "src"))
    from Kalvoren._pvalues import jb_pvalue

    grid = np.array([21, 77, 203, 777, 2222, 7777, 12000])
    rng = np.random.default_rng(seed)
    print(f"\nvalidation: {reps} fresh samples, seed {seed}; rejection rates (%) at 0.1/1/5/10 %")
    for n in grid:
        stats = np.concatenate(
            [
                jb_from_sums(
                    prefix_sums(rng.standard_normal((r, n)), np.array([n])), np.array([n])
                )[:, 0]
                for r in _blocks(reps, int(n))
            ]
        )
        p = jb_pvalue(stats, np.full(stats.size, n))[0]
        rates = " / ".join(f"{100 * np.mean(p < a):6.3f}" for a in (0.001, 0.01, 0.05, 0.1))
        print(f"  n={n:6d}  {rates}")
    print(f"  (MC s.e. at 5%: {100 * math.sqrt(0.0475 / reps):.3f} points)")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reps", type=int, default=REPS)
    ap.add_argument("--tail-reps", type=int, default=TAIL_REPS)
    ap.add_argument("--a1-reps", type=int, default=A1_REPS)
    ap.add_argument("--seed", type=int, default=SEED)
    ap.add_argument("--out", default=OUT)
    ap.add_argument(
        "--validate",
        type=int,
        default=0,
        metavar="N",
        help="afterwards, rejection rates of the package's p-values on N fresh samples",
    )
    ap.add_argument("--only-validate", action="store_true", help="skip the simulation")
    a = ap.parse_args()
    t0 = time.perf_counter()
    if not a.only_validate:
        cv, kappa = build(a)
        write_module(a.out, cv, kappa, a)
        print(
            f"\nwrote {a.out}; total {time.perf_counter() - t0:.1f} s"
            f" ({time.process_time():.1f} s of processor time)"
        )
    if a.validate:
        validate(a.seed + 1, a.validate)


if __name__ == "__main__":
    main()
