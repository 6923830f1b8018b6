"""Size of every test `diagnose` reports, by simulation under each test's H0.

Design: y on a constant and two regressors, n in 15, 30, 60, 200, 1000, all
slopes zero. Under iid normal errors and regressors every test's H0 holds; with
AR(1) errors and regressors (rho = 0.5) only the HAC Wald test's does, so that
design gives hac_wald rows alone. Statistics come from `Kalvoren.diagnose_many`;
the HAC Wald p-values are also computed here from its statistic (chi-square and
fixed-b), at the default bandwidth and at the Lazarus-Lewis-Stock-Watson one.

    .venv/bin/python scripts/size_table.py                # 10000 replications, markdown
    .venv/bin/python scripts/size_table.py --quick        # 1000, for a look
    .venv/bin/python scripts/size_table.py --reps 40000 --seed 7

Each cell is the percentage of replications with p < alpha; its Monte Carlo
standard error is sqrt(alpha (1 - alpha) / reps) (0.22 points at 5% with 10000).
"""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np
from scipy import signal, special

import Kalvoren
from Kalvoren import _engine, _fixedb

NS = (15, 30, 60, 200, 1000)
SLOPES = 2
CHUNK = 2500  # replications per diagnose_many call (bounds memory at n = 1000)
ENGINE_TESTS = _engine.TEST_IDS


def draw(rng: np.random.Generator, reps: int, n: int, rho: float) -> tuple[np.ndarray, ...]:
    """y and the regressors of `reps` series: standard normal, or stationary
    AR(1) with coefficient rho started from its stationary law."""
    e = rng.standard_normal((1 + SLOPES, reps, n))
    if rho:
        e[:, :, 0] /= np.sqrt(1.0 - rho * rho)
        e = signal.lfilter([1.0], [1.0, -rho], e, axis=-1)
    return e[0], np.ascontiguousarray(np.moveaxis(e[1:], 0, -1))


def hac_stat(Y: np.ndarray, X: np.ndarray, lags: int, workers: int):
    res = Kalvoren.diagnose_many(Y, X, hac_lags=lags, workers=workers, progress=False)
    return res, res["hac_wald_statistic"].to_numpy()


def simulate(n: int, reps: int, rho: float, seed: int, workers: int) -> dict[str, np.ndarray]:
    """p-values of every row for one design and n."""
    lag_nw = int(_engine.hac_rule(np.array([n]))[0])
    lag_llsw = int(_fixedb.llsw_lags(n))
    rng = np.random.default_rng([seed, n, int(rho * 1000)])
    out: dict[str, list[np.ndarray]] = {}

    def add(key: str, p: np.ndarray) -> None:
        out.setdefault(key, []).append(np.asarray(p, dtype=np.float64))

    for lo in range(0, reps, CHUNK):
        Y, X = draw(rng, min(CHUNK, reps - lo), n, rho)
        res, w = hac_stat(Y, X, lag_nw, workers)
        if not rho:
            for tid in ENGINE_TESTS:
                add(tid, res[f"{tid}_pvalue"].to_numpy())
        else:
            add("hac_wald", res["hac_wald_pvalue"].to_numpy())
        add("hac_wald chi2", special.chdtrc(SLOPES, w))
        add("hac_wald fixed-b", _fixedb.hac_wald_pvalue(w, SLOPES, lag_nw, n))
        _, w2 = hac_stat(Y, X, lag_llsw, workers)
        add("hac_wald chi2, llsw lags", special.chdtrc(SLOPES, w2))
        add("hac_wald fixed-b, llsw lags", _fixedb.hac_wald_pvalue(w2, SLOPES, lag_llsw, n))
    return {k: np.concatenate(v) for k, v in out.items()}


def rate(p: np.ndarray, alpha: float) -> str:
    ok = np.isfinite(p)
    if not ok.any():
        return "n/a"
    cell = f"{100.0 * np.mean(p[ok] < alpha):.1f}"
    # replications without a p-value (status != 0) are left out and counted
    return cell if ok.all() else f"{cell} ({int((~ok).sum())} NaN)"


def table(results: dict, alpha: float) -> list[str]:
    head = "| test | " + " | ".join(f"n = {n}" for n in NS) + " |"
    lines = [head, "|---" * (len(NS) + 1) + "|"]
    for design, title in (("iid", "iid normal"), ("ar", "AR(1) 0.5")):
        keys = list(results[design][NS[0]])
        for key in keys:
            cells = [rate(results[design][n][key], alpha) for n in NS]
            lines.append(f"| {key} ({title}) | " + " | ".join(cells) + " |")
    return lines


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--reps", type=int, default=10000, help="replications per cell (default 10000)")
    ap.add_argument("--quick", action="store_true", help="1000 replications")
    ap.add_argument("--seed", type=int, default=20240611)
    ap.add_argument("--workers", type=int, default=1, help="threads for diagnose_many (default 1)")
    args = ap.parse_args(argv)
    reps = 1000 if args.quick else args.reps
    if reps < 1:
        ap.error("--reps must be >= 1")
    t0 = time.perf_counter()
    results: dict = {"iid": {}, "ar": {}}
    for n in NS:
        results["iid"][n] = simulate(n, reps, 0.0, args.seed, args.workers)
        results["ar"][n] = simulate(n, reps, 0.5, args.seed, args.workers)
        print(f"n = {n} done ({time.perf_counter() - t0:.0f} s)", file=sys.stderr)
    lags = " ".join(
        f"n={n}: {int(_engine.hac_rule(np.array([n]))[0])}/{int(_fixedb.llsw_lags(n))}" for n in NS
    )
    print(
        f"Size (% rejected under H0), {reps} replications per cell, seed {args.seed}; "
        f"k = 3 (constant + {SLOPES} regressors), hac_wald tests both slopes.\n"
        f"HAC lags, default/llsw: {lags}. `hac_wald` is the p-value the engine reports; "
        f"`chi2` and `fixed-b` are computed here from its statistic.\n"
    )
    for alpha in (0.05, 0.01):
        se = 100.0 * np.sqrt(alpha * (1.0 - alpha) / reps)
        print(f"At {100 * alpha:g}% (Monte Carlo standard error {se:.2f} points):\n")
        print("\n".join(table(results, alpha)))
        print()
    print(f"({time.perf_counter() - t0:.0f} s)", file=sys.stderr)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
