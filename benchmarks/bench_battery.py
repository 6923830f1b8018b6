"""Per-series cost of the native battery (_batch.battery over many series in
one call) and the speed-up of two Python threads each calling it on half of
the series; then the same with one design shared by every series
(_batch.battery_checks with shared_x, as diagnose_many(Y, X) runs it), whose
design work is done once per call. For scale, the same statistics through
one _diag call each.

    .venv/bin/python benchmarks/bench_battery.py [--series 10000] [--n 200] [--k 3]
"""

import argparse
import threading
import time

import numpy as np

from Kalvoren._ckernels.diag import _batch as B
from Kalvoren._ckernels.diag import _diag as D


def data(G, n, k, seed=1):
    rng = np.random.default_rng(seed)
    X = np.concatenate(
        [np.column_stack([np.ones(n), rng.standard_normal((n, k - 1))]) for _ in range(G)]
    )
    y = (X.reshape(G, n, k) @ np.arange(1.0, k + 1)).ravel() + rng.standard_normal(G * n)
    return y, X, np.arange(G + 1, dtype=np.int64) * n


def best(f, reps=5):
    t = []
    for _ in range(reps):
        t0 = time.perf_counter()
        f()
        t.append(time.perf_counter() - t0)
    return min(t)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--series", type=int, default=10000)
    ap.add_argument("--n", type=int, default=200)
    ap.add_argument("--k", type=int, default=3)
    a = ap.parse_args()
    G, n, k, lags = a.series, a.n, a.k, 4
    y, X, off = data(G, n, k)
    tb, hl = np.full(G, n // 2, np.int64), np.full(G, lags, np.int64)

    def run(lo, hi):
        o = off[lo : hi + 1] - off[lo]
        B.battery(
            y[off[lo] : off[hi]], X[off[lo] : off[hi]], o, 0, lags, tb[lo:hi], hl[lo:hi], B.ALL, 0
        )

    def halves(f):
        """f on each half of the series, in two threads at once."""
        ts = [threading.Thread(target=f, args=a) for a in ((0, G // 2), (G // 2, G))]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    def singles(m=200):
        for g in range(m):
            ys, Xs = y[off[g] : off[g + 1]], X[off[g] : off[g + 1]]
            e = ys - Xs @ np.linalg.lstsq(Xs, ys, rcond=None)[0]
            D.bg_stat(e, Xs[:, 1:], lags), D.bp_aux(e, Xs), D.chow_stat(ys, Xs, n // 2)
            D.cusum_stat(ys, Xs), D.cusumsq_stat(ys, Xs), D.lb_stat(e, lags), D.jb_stat(e)
            r = Xs * e[:, None]
            D.hac_estimator_matmul(r, 0, lags)
        return m

    Xs, opts, none = X[:n], np.array([3.0, 0.0, 0.5, 0.0, 0.5]), np.empty(0, np.int64)

    def run_shared(lo, hi):
        o = off[lo : hi + 1] - off[lo]
        B.battery_checks(
            y[off[lo] : off[hi]],
            Xs,
            o,
            0,
            lags,
            tb[lo:hi],
            hl[lo:hi],
            B.ALL & ~B.CHECKS,
            1,
            opts,
            none,
        )

    run(0, min(G, 100))
    one_t, two_t = best(lambda: run(0, G)), best(lambda: halves(run))
    one_s, two_s = best(lambda: run_shared(0, G)), best(lambda: halves(run_shared))
    single_t = best(singles, 3) / 200
    print(f"n = {n}, k = {k}, {G} series, full battery")
    print(f"  one call, one thread : {one_t / G * 1e6:7.2f} us/series  {G / one_t:9.0f} series/s")
    print(
        f"  two threads          : {two_t / G * 1e6:7.2f} us/series  {G / two_t:9.0f} series/s"
        f"  speed-up {one_t / two_t:.2f}"
    )
    print(f"  one design, one call : {one_s / G * 1e6:7.2f} us/series  {G / one_s:9.0f} series/s")
    print(
        f"  one design, two thr. : {two_s / G * 1e6:7.2f} us/series  {G / two_s:9.0f} series/s"
        f"  speed-up {one_s / two_s:.2f}"
    )
    print(f"  _diag call per test  : {single_t * 1e6:7.2f} us/series (lstsq fit + 8 calls)")


if __name__ == "__main__":
    main()
