"""Breaks at unknown dates: the F sequence (sup/ave/exp-F) and Bai-Perron against
brute force.

    .venv/bin/python benchmarks/bench_breaks.py [--quick]

Rows (medians of alternating samples; the machine's load average is printed):
- sup-F over every candidate date (f_trim 0.15) at n = 1000, k = 5: the F sequence
  alone (``_breaks.sequence`` on the fitted data), the whole ``Kalvoren.sup_f``
  call, and the peers: a Chow test by statsmodels OLS fits (pooled and both
  segments) at every date (what a user writes without strucchange), and this
  package's own Chow kernel (``_diag.chow_stat``) at every date. The target is the
  sequence at most 3 times one Chow test's cost in the statsmodels loop (the loop's
  time over the number of dates): a few full fits, not one per date.
- Bai-Perron at n = 1000, h = 0.15 n, M = 5 (``Kalvoren.breakpoints``): the peer
  fits every admissible segment by statsmodels OLS (the triangle of segment RSS
  without recursive residuals); it is timed on a sample of the segments and scaled
  to all of them, and marked as estimated.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import time

# one BLAS thread, as the other benchmarks run (threadpoolctl there): on a shared
# machine a threaded BLAS spends more time waiting for its threads than on 5 x 5 work
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

try:
    LOADED = os.getloadavg()[0] > (os.cpu_count() or 1)
except OSError:
    LOADED = False


def timeit(fn, repeat: int, number: int = 1) -> float:
    """Median time per call; on a loaded machine (load above the CPU count) the
    lower quartile, since preemption only ever adds time."""
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - t0) / number)
    if LOADED:
        return float(np.quantile(times, 0.25))
    return statistics.median(times)


def fmt(t: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if t >= scale:
            return f"{t / scale:.3g} {unit}"
    return f"{t / 1e-9:.3g} ns"


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    import statsmodels.api as sm

    import Kalvoren
    from Kalvoren import _breaks, _lstsq
    from Kalvoren._ckernels.diag import _diag

    rep = 3 if args.quick else 7
    rng = np.random.default_rng(0)
    n, k = 1000, 5
    X = np.column_stack([np.ones(n), rng.normal(size=(n, k - 1))])
    y = X @ rng.normal(size=k) + rng.normal(size=n)
    lo, hi = _breaks.candidate_range(n, 0.15, k)
    dates = hi - lo + 1

    ex, ey = _lstsq.pow2_exponents(X), _lstsq.pow2_exponents(y)
    Xs, ys = _lstsq.scaled(X, ex), _lstsq.scaled(y, ey)
    e = _lstsq.Fit.of(Xs, ys, 0).resid

    def seq():
        _breaks.sequence(Xs, e, list(range(k)), 0.15)

    def api():
        Kalvoren.sup_f(y, X[:, 1:])

    def one_sm_date(b: int) -> float:
        r1 = sm.OLS(y[:b], X[:b]).fit().ssr
        r2 = sm.OLS(y[b:], X[b:]).fit().ssr
        return r1 + r2

    def sm_loop():
        # a Chow test at every date, as written naively: three fits each
        for b in range(lo, hi + 1):
            rss = sm.OLS(y, X).fit().ssr
            one_sm_date(b)
        return rss

    def kernel_loop():
        for b in range(lo, hi + 1):
            _diag.chow_stat(y, X, b)

    # results agree before timing
    ref = [sm.OLS(y, X).fit().ssr - one_sm_date(b) for b in (lo, (lo + hi) // 2, hi)]
    got = Kalvoren.f_sequence(y, X[:, 1:])
    s2 = [
        (got.iloc[i] * (one_sm_date(b) / (n - 2 * k)))
        for i, b in ((0, lo), ((hi - lo) // 2, (lo + hi) // 2), (-1, hi))
    ]
    assert np.allclose(ref, s2, rtol=1e-8), (ref, s2)

    t_seq = timeit(seq, rep * 5, 5)
    t_api = timeit(api, rep * 3, 3)
    t_sm = timeit(sm_loop, max(2, rep // 2))
    t_kernel = timeit(kernel_loop, rep)
    per_date = t_sm / dates

    # Bai-Perron
    yb = np.concatenate([rng.normal(size=400), 1.0 + rng.normal(size=300), rng.normal(size=300)])
    Xb = np.column_stack([np.ones(n), rng.normal(size=n)])
    yb = yb + Xb[:, 1] * 0.5
    h = int(0.15 * n)
    t_bp = timeit(lambda: Kalvoren.breakpoints(yb, Xb[:, 1:], h=0.15, max_breaks=5), rep)
    starts = [0, *range(h, n - h + 1)]
    segs = [(i, j) for i in starts for j in [*range(i + h, n - h + 1), n] if j - i >= h]
    sample = [segs[i] for i in rng.choice(len(segs), size=min(2000, len(segs)), replace=False)]
    t0 = time.perf_counter()
    for i, j in sample:
        sm.OLS(yb[i:j], Xb[i:j]).fit().ssr
    t_peer_bp = (time.perf_counter() - t0) / len(sample) * len(segs)

    try:
        load = os.getloadavg()
    except OSError:
        load = (float("nan"),) * 3
    print(
        f"- CPU: {platform.processor() or platform.machine()}, {os.cpu_count()} logical CPUs; "
        f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}"
        + (" (loaded: lower quartiles, not medians)" if LOADED else "")
    )
    print(
        f"- Python {platform.python_version()}, NumPy {np.__version__}, statsmodels {sm.__version__};"
        f" OPENBLAS_NUM_THREADS={os.environ['OPENBLAS_NUM_THREADS']}"
    )
    print(
        f"- sup-F: n = {n}, k = {k}, {dates} candidate dates; Bai-Perron: n = {n}, k = 2, "
        f"h = {h}, M = 5, {len(segs)} admissible segments"
    )
    print()
    print("| row | n | k | ours | peer | peer time | ratio | note |")
    print("|---|---|---|---|---|---|---|---|")
    rows = [
        ("F sequence (sup/ave/exp-F)", t_seq, "statsmodels Chow test at every date", t_sm, ""),
        ("F sequence", t_seq, "one Chow test of that loop", per_date, "target: ratio <= 3"),
        ("F sequence", t_seq, "chow_stat kernel at every date", t_kernel, ""),
        ("Kalvoren.sup_f (whole call)", t_api, "statsmodels loop", t_sm, ""),
        (
            "Bai-Perron, M = 5",
            t_bp,
            "statsmodels OLS per segment",
            t_peer_bp,
            "peer estimated from 2000 segments",
        ),
    ]
    for name, ours, peer, pt, note in rows:
        kk = 2 if "Bai" in name else k
        print(
            f"| {name} | {n} | {kk} | {fmt(ours)} | {peer} | {fmt(pt)} | {ours / pt:.3g} | {note} |"
        )
    sys.stdout.flush()


if __name__ == "__main__":
    main()
