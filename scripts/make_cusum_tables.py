#!/usr/bin/env python3
"""Monte Carlo null tables of the CUSUM and CUSUM-of-squares statistics.

Under the null with normal errors the m recursive residuals are iid
N(0, sigma^2), and both statistics are scale-free, so their null distributions
depend on m alone. This script simulates the residuals directly as standard
normals and writes the upper-tail critical values at a grid of m and of tail
probabilities to src/Kalvoren/_cusum_null_tables.py, together with the
finite-sample shifts that join the asymptotic forms beyond the largest m.

Statistics, for residuals w_0..w_{m-1} (what the kernels compute; the full-sample
RSS equals sum w^2):
  CUSUM:   max_j |w_0 + ... + w_j| / s / (sqrt(m) + 2j/sqrt(m)),  s^2 = sum w^2 / m
  CUSUMSQ: max_j |C_j / C_{m-1} - (j+1)/m| / sqrt(2),  C_j = w_0^2 + ... + w_j^2

Each replication draws one path of length max(M_GRID) and every m uses its
first m residuals (common random numbers: the table is smooth in m, and the
normals and running sums are made once). Chunks have their own seeds spawned
from SEED, so the result does not depend on --jobs.

Usage: python scripts/make_cusum_tables.py [--reps N] [--jobs J] [--validate N]
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import textwrap
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np
from scipy.optimize import brentq, minimize_scalar
from scipy.special import kolmogorov, ndtr, ndtri
from scipy.stats import kstwobign

SEED = 20260415
REPS = 500_000
CHUNK = 250  # replications per block; a block holds ~3 * CHUNK * max(M_GRID) doubles

M_GRID = (
    *range(2, 31),
    32,
    34,
    36,
    38,
    40,
    45,
    50,
    55,
    60,
    70,
    80,
    90,
    100,
    120,
    140,
    160,
    180,
    200,
    250,
    300,
    350,
    400,
    500,
    600,
    700,
    800,
    1000,
    1200,
    1500,
    2000,
    2500,
    3000,
    4000,
    5000,
)
# Upper-tail probabilities, ascending; dense where tests are decided.
ALPHA_GRID = (
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
# The asymptotic shifts are fitted on nodes with m >= this and these tail probabilities.
FIT_M_MIN = 200
FIT_ALPHA = (0.01, 0.5)
SIG_DIGITS = 7

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "src", "Kalvoren", "_cusum_null_tables.py")


def path_statistics(w: np.ndarray, grid: tuple[int, ...]) -> tuple[np.ndarray, np.ndarray]:
    """Both statistics of the first m columns of each row of w, for every m of the grid.

    Returns arrays (len(grid), rows). w is overwritten (it is the scratch space).
    """
    s_abs = np.abs(np.cumsum(w, axis=1))
    np.square(w, out=w)
    c = np.cumsum(w, axis=1)
    cus = np.empty((len(grid), w.shape[0]))
    csq = np.empty((len(grid), w.shape[0]))
    for i, m in enumerate(grid):
        j = np.arange(m, dtype=np.float64)
        t = c[:, m - 1]
        # |S_j| / s / (sqrt(m) + 2j/sqrt(m)) = |S_j| * m / (m + 2j) / sqrt(T)
        b = w[:, :m]
        np.multiply(s_abs[:, :m], m / (m + 2.0 * j), out=b)
        cus[i] = b.max(axis=1) / np.sqrt(t)
        np.divide(c[:, :m], t[:, None], out=b)
        b -= (j + 1.0) / m
        csq[i] = np.maximum(b.max(axis=1), -b.min(axis=1)) / math.sqrt(2.0)
    return cus, csq


def simulate_chunk(
    args: tuple[np.random.SeedSequence, int, tuple[int, ...]],
) -> tuple[np.ndarray, np.ndarray]:
    seed, reps, grid = args
    return path_statistics(np.random.default_rng(seed).standard_normal((reps, grid[-1])), grid)


def simulate(
    reps: int, seed: int, grid: tuple[int, ...], jobs: int
) -> tuple[np.ndarray, np.ndarray]:
    sizes = [CHUNK] * (reps // CHUNK) + ([reps % CHUNK] if reps % CHUNK else [])
    seeds = np.random.SeedSequence(seed).spawn(len(sizes))
    work = [(s, n, grid) for s, n in zip(seeds, sizes)]
    if jobs > 1:
        with ProcessPoolExecutor(jobs) as ex:
            parts = list(ex.map(simulate_chunk, work, chunksize=4))
    else:
        parts = [simulate_chunk(a) for a in work]
    return (
        np.concatenate([p[0] for p in parts], axis=1),
        np.concatenate([p[1] for p in parts], axis=1),
    )


def pava_decreasing(y: np.ndarray) -> np.ndarray:
    """Least-squares non-increasing fit (pool adjacent violators)."""
    vals: list[float] = []
    wts: list[int] = []
    for v in y[::-1]:  # fit non-decreasing on the reversed sequence
        vals.append(float(v))
        wts.append(1)
        while len(vals) > 1 and vals[-2] > vals[-1]:
            wsum = wts[-2] + wts[-1]
            vals[-2] = (vals[-2] * wts[-2] + vals[-1] * wts[-1]) / wsum
            wts[-2] = wsum
            vals.pop()
            wts.pop()
    out = np.repeat(vals, wts)
    return out[::-1].copy()


def round_sig(x: float, digits: int = SIG_DIGITS) -> float:
    return float(f"{x:.{digits}g}")


def strict_rows(cv: np.ndarray) -> tuple[np.ndarray, int]:
    """Isotonic (non-increasing in alpha) rows, rounded, then made strictly decreasing."""
    out = np.empty_like(cv)
    bumps = 0
    for i, row in enumerate(cv):
        r = [round_sig(v) for v in pava_decreasing(row)]
        for k in range(1, len(r)):
            if not r[k] < r[k - 1]:
                r[k] = round_sig(
                    r[k - 1] - 10.0 ** (math.floor(math.log10(abs(r[k - 1]))) - SIG_DIGITS + 1)
                )
                bumps += 1
        out[i] = r
    return out, bumps


# Asymptotic forms (an independent series here; the package interpolates its own).
def cusum_sf_inf(a: np.ndarray | float) -> np.ndarray:
    """P(sup_{0<=t<=1} |W(t)| / (1 + 2t) > a), W standard Brownian motion.

    W(t)/(1+2t) is a Brownian bridge on [0, 1/2] at time t/(1+2t), so this is the
    chance that a standard bridge leaves (-a sqrt 2, a sqrt 2) on [0, 2/3]; the
    method of images gives the series below, whose n = 0, +-2 terms are the
    Brown-Durbin-Evans 2(1 - Phi(3a) + exp(-4a^2) Phi(a)).
    """
    a = np.asarray(a, dtype=np.float64)
    # 1 - (the n = 0 term) is 2 Phi(-3a); summing the rest onto it keeps the
    # relative accuracy in the far tail.
    p = 2.0 * ndtr(-3.0 * a)
    for n in range(-40, 41, 2):
        if n:
            sign = 1.0 if n % 4 == 0 else -1.0
            p -= sign * np.exp(-((n * a) ** 2)) * (ndtr((3 - n) * a) - ndtr(-(3 + n) * a))
    return np.clip(p, 0.0, 1.0)


def cusum_isf_inf(alpha: float) -> float:
    return brentq(lambda x: float(cusum_sf_inf(x)) - alpha, 0.1, 4.0, xtol=1e-14)


def fit_shift(cv: np.ndarray, sf_of, reps: int) -> float:
    """Shift d such that sf_of(cv, m, d) matches the tail probabilities at the large-m nodes."""
    rows = [i for i, m in enumerate(M_GRID) if m >= FIT_M_MIN]
    cols = [k for k, a in enumerate(ALPHA_GRID) if FIT_ALPHA[0] <= a <= FIT_ALPHA[1]]
    alpha = np.array(ALPHA_GRID)[cols]
    se = np.sqrt(alpha * (1 - alpha) / reps)

    def loss(d: float) -> float:
        r = [(sf_of(cv[i, cols], M_GRID[i], d) - alpha) / se for i in rows]
        return float(np.sum(np.square(r)))

    return float(
        minimize_scalar(loss, bounds=(-3.0, 3.0), method="bounded", options={"xatol": 1e-6}).x
    )


def cusum_sf_m(x, m, d):
    return cusum_sf_inf(np.asarray(x) + d / math.sqrt(m))


def cusumsq_sf_m(x, m, d):
    return kolmogorov(math.sqrt(m) * np.asarray(x) + d / math.sqrt(m))


def join_report(name: str, cv: np.ndarray, sf_of, d: float, reps: int) -> None:
    """How the asymptotic tail probabilities of the table's critical values compare."""
    alpha = np.array(ALPHA_GRID)
    se = np.sqrt(alpha * (1 - alpha) / reps)
    print(f"\n{name}: finite-sample shift d = {d:.4f}")
    print("  z = (asymptotic tail prob at the table's critical value - alpha) / MC s.e.")
    for m in (200, 1000, 2000, 5000):
        i = M_GRID.index(m)
        raw = (sf_of(cv[i], m, 0.0) - alpha) / se
        cor = (sf_of(cv[i], m, d) - alpha) / se
        print(
            f"  m={m:5d} plain: max|z|={np.max(np.abs(raw)):6.2f} mean z={np.mean(raw):+6.2f}"
            f" | shifted: max|z|={np.max(np.abs(cor)):5.2f} mean z={np.mean(cor):+5.2f}"
        )
    i = len(M_GRID) - 1
    print(f"  at m={M_GRID[i]}: alpha, table cv, asymptotic tail prob plain / shifted")
    for k in (0, 5, 11, 15, 18, 24, 32, 38):
        print(
            f"    {alpha[k]:6.3f}  {cv[i, k]:.6f}  {float(sf_of(cv[i, k], M_GRID[i], 0.0)):.5f}"
            f" / {float(sf_of(cv[i, k], M_GRID[i], d)):.5f}"
        )


def interpolation_report(name: str, cv: np.ndarray, stats: np.ndarray) -> None:
    """Tail frequency of the simulated statistics halfway (in z) between alpha nodes,
    against the p-value the linear-in-z interpolation gives there."""
    z = -ndtri(np.array(ALPHA_GRID))
    zm = 0.5 * (z[1:] + z[:-1])
    pm = ndtr(-zm)
    se = np.sqrt(pm * (1 - pm) / stats.shape[1])
    worst = np.zeros((len(M_GRID), len(pm)))
    for i, row in enumerate(stats):
        xm = 0.5 * (cv[i, 1:] + cv[i, :-1])
        srt = np.sort(row)
        freq = 1.0 - np.searchsorted(srt, xm, side="right") / srt.size
        worst[i] = (freq - pm) / se
    print(f"\n{name}: interpolation between alpha nodes, (empirical - interpolated) / MC s.e.")
    for lo, hi in ((2, 3), (4, 9), (10, 49), (50, 5000)):
        rows = [i for i, m in enumerate(M_GRID) if lo <= m <= hi]
        w = worst[rows]
        tail = pm <= 0.1
        print(
            f"  m {lo:4d}..{hi:4d}: max |z| at p <= 0.1: {np.max(np.abs(w[:, tail])):5.2f},"
            f" at p > 0.1: {np.max(np.abs(w[:, ~tail])):5.2f}"
        )
    iw, kw = np.unravel_index(np.argmax(np.abs(worst)), worst.shape)
    print(f"  worst: m={M_GRID[iw]}, p={pm[kw]:.4f}, z={worst[iw, kw]:+.2f}")


def fmt_rows(name: str, cv: np.ndarray, comment: str) -> str:
    lines = [f"# {comment}", f"{name}: tuple[tuple[float, ...], ...] = ("]
    for m, row in zip(M_GRID, cv):
        vals = [repr(round_sig(v)) for v in row]
        lines.append(f"    (  # m = {m}")
        for s in range(0, len(vals), 10):
            lines.append("        " + ", ".join(vals[s : s + 10]) + ",")
        lines.append("    ),")
    lines.append(")")
    return "\n".join(lines)


def write_module(
    path: str, cus: np.ndarray, csq: np.ndarray, d_cus: float, d_csq: float, reps: int, seed: int
) -> None:
    def wrapped(items: list[str]) -> str:
        return "\n".join(
            textwrap.wrap(
                ", ".join(items) + ",", 88, initial_indent="    ", subsequent_indent="    "
            )
        )

    alphas = wrapped([repr(a) for a in ALPHA_GRID])
    ms = wrapped([str(m) for m in M_GRID])
    text = f'''# Generated by scripts/make_cusum_tables.py: do not edit by hand.
# Seed {seed}, {reps} replications (one path of length {M_GRID[-1]} each, prefixes per m),
# simulated recursive residuals iid N(0, 1). Rows are isotonic in alpha and strictly
# decreasing; values rounded to {SIG_DIGITS} significant digits.
"""Null critical values of the CUSUM and CUSUM-of-squares statistics."""

SEED = {seed}
REPS = {reps}

# Counts of recursive residuals m (row order of the tables).
M_GRID: tuple[int, ...] = (
{ms}
)

# Upper-tail probabilities alpha (column order of the tables).
ALPHA_GRID: tuple[float, ...] = (
{alphas}
)

# Beyond M_GRID[-1]: CUSUM p = P(sup |W(t)| / (1 + 2t) > stat + CUSUM_SHIFT / sqrt(m)),
# CUSUM of squares p = Kolmogorov sf(sqrt(m) * stat + CUSUMSQ_SHIFT / sqrt(m)); the
# shifts are fitted to the rows with m >= {FIT_M_MIN} at alpha {FIT_ALPHA[0]} to {FIT_ALPHA[1]}.
CUSUM_SHIFT = {d_cus:.4f}
CUSUMSQ_SHIFT = {d_csq:.4f}

{fmt_rows("CUSUM_CV", cus, "CUSUM_CV[i][k]: exceeded with probability ALPHA_GRID[k] when m = M_GRID[i].")}

{fmt_rows("CUSUMSQ_CV", csq, "CUSUMSQ_CV[i][k]: the same for the CUSUM-of-squares statistic.")}
'''
    with open(path, "w") as f:
        f.write(text)


def validate(seed: int, reps: int) -> None:
    """Rejection rates of the package's p-values on fresh paths at m off the grid."""
    sys.path.insert(0, os.path.join(ROOT, "src"))
    from Kalvoren._cusum_null import cusum_pvalue, cusumsq_pvalue

    grid = (7, 33, 75, 130, 450, 900, 3500, 5001, 8000, 20000)
    cus, csq = simulate(reps, seed, grid, 1)
    print(f"\nvalidation: {reps} fresh paths, seed {seed}; rejection rates (%) at 1 / 5 / 10 %")
    for i, m in enumerate(grid):
        pc = cusum_pvalue(cus[i], m)[0]
        pq = cusumsq_pvalue(csq[i], m)[0]
        rc = " / ".join(f"{100 * np.mean(pc < a):5.2f}" for a in (0.01, 0.05, 0.1))
        rq = " / ".join(f"{100 * np.mean(pq < a):5.2f}" for a in (0.01, 0.05, 0.1))
        print(f"  m={m:6d}  CUSUM {rc}   CUSUMSQ {rq}")
    print(f"  (MC s.e. at 5%: {100 * math.sqrt(0.0475 / reps):.2f} points)")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reps", type=int, default=REPS)
    ap.add_argument("--seed", type=int, default=SEED)
    ap.add_argument("--jobs", type=int, default=1)
    ap.add_argument("--out", default=OUT)
    ap.add_argument(
        "--validate",
        type=int,
        default=0,
        metavar="N",
        help="afterwards, check rejection rates on N fresh paths at m off the grid",
    )
    a = ap.parse_args()

    t0 = time.perf_counter()
    cus_stats, csq_stats = simulate(a.reps, a.seed, M_GRID, a.jobs)
    t1 = time.perf_counter()
    q = 1.0 - np.array(ALPHA_GRID)
    # one row at a time: np.quantile copies what it partitions
    cus_raw = np.array([np.quantile(r, q) for r in cus_stats])
    csq_raw = np.array([np.quantile(r, q) for r in csq_stats])
    cus, b1 = strict_rows(cus_raw)
    csq, b2 = strict_rows(csq_raw)
    iso = max(np.max(np.abs(cus - cus_raw) / cus_raw), np.max(np.abs(csq - csq_raw) / csq_raw))
    print(f"simulated {a.reps} paths x {len(M_GRID)} m in {t1 - t0:.1f} s ({a.jobs} job(s))")
    print(f"isotonic fit + rounding: largest relative change {iso:.2e}; ties bumped: {b1 + b2}")
    interpolation_report("CUSUM", cus, cus_stats)
    interpolation_report("CUSUM of squares", csq, csq_stats)
    del cus_stats, csq_stats

    d_cus = fit_shift(cus, cusum_sf_m, a.reps)
    d_csq = fit_shift(csq, cusumsq_sf_m, a.reps)
    join_report("CUSUM", cus, cusum_sf_m, d_cus, a.reps)
    join_report("CUSUM of squares", csq, cusumsq_sf_m, d_csq, a.reps)
    print(
        f"\nasymptotic 5% points: CUSUM {cusum_isf_inf(0.05):.4f} (BDE 0.948),"
        f" Kolmogorov {kstwobign.isf(0.05):.4f}"
    )
    print(
        "check of the image series against BDE at a=0.948: %.3e vs %.3e"
        % (
            float(cusum_sf_inf(0.948)),
            2 * (1 - ndtr(3 * 0.948) + math.exp(-4 * 0.948**2) * ndtr(0.948)),
        )
    )

    write_module(a.out, cus, csq, d_cus, d_csq, a.reps, a.seed)
    print(f"\nwrote {a.out}; total {time.perf_counter() - t0:.1f} s")
    if a.validate:
        validate(a.seed + 1, a.validate)


if __name__ == "__main__":
    main()
