"""Robust covariances: one regression against statsmodels, and what a
covariance choice adds to diagnose_many (n = 200, k = 3) next to the default
battery and to a statsmodels loop over the same series.

    .venv/bin/python benchmarks/bench_robust.py [--quick] [--many]

--many: only the diagnose_many section.

Times are CPU seconds (time.process_time), medians of alternating samples;
set OPENBLAS_NUM_THREADS=1 on a shared machine."""

import statistics
import sys
import time
import warnings

import numpy as np

import Kalvoren


def median_times(funcs: dict, reps: int) -> dict:
    """Alternate the candidates reps times; the median CPU time of each."""
    out = {name: [] for name in funcs}
    for _ in range(reps):
        for name, f in funcs.items():
            t0 = time.process_time()
            f()
            out[name].append(time.process_time() - t0)
    return {name: statistics.median(v) for name, v in out.items()}


def fmt(t: float) -> str:
    return f"{t * 1e6:.1f} µs" if t < 1e-3 else f"{t * 1e3:.2f} ms"


def one_regression(reps: int) -> list[tuple]:
    import statsmodels.api as sm

    rng = np.random.default_rng(0)
    n = 200
    X = rng.normal(size=(n, 2))
    y = X @ [1.0, -0.5] + rng.normal(size=n)
    Xc = sm.add_constant(X)
    groups = np.arange(n) % 20
    rows = []
    for label, ours, peer in [
        ("HC3", lambda: Kalvoren.robust_cov(y, X, "HC3"), {"cov_type": "HC3"}),
        (
            "HAC, 4 lags",
            lambda: Kalvoren.robust_cov(y, X, "HAC", bandwidth=4),
            {"cov_type": "HAC", "cov_kwds": {"maxlags": 4, "use_correction": False}},
        ),
        (
            "cluster (20)",
            lambda: Kalvoren.robust_cov(y, X, "cluster", groups=groups),
            {"cov_type": "cluster", "cov_kwds": {"groups": groups}},
        ),
    ]:
        t = median_times(
            {"ours": ours, "peer": lambda kw=peer: sm.OLS(y, Xc).fit(**kw).cov_params()}, reps
        )
        rows.append(("robust_cov", label, n, fmt(t["ours"]), fmt(t["peer"]), t["ours"] / t["peer"]))
    return rows


def many(reps: int, G: int) -> list[tuple]:
    import statsmodels.api as sm

    rng = np.random.default_rng(1)
    n = 200
    Y = rng.normal(size=(G, n))
    X = rng.normal(size=(G, n, 2))
    choices = {
        "default (battery's own HAC)": {},
        "HC0": {"cov_type": "HC0"},
        "HC1": {"cov_type": "HC1"},
        "HC3": {"cov_type": "HC3"},
        "HAC, 4 lags (the battery's own)": {"cov_type": "HAC", "cov_options": {"bandwidth": 4}},
        "HAC, 4 lags, adjusted": {
            "cov_type": "HAC",
            "cov_options": {"bandwidth": 4, "adjust": True},
        },
        "HAC, nw1994, prewhitened": {
            "cov_type": "HAC",
            "cov_options": {"bandwidth": "nw1994", "prewhite": 1},
        },
        "HAC, qs, 4 lags (every lag weighs)": {
            "cov_type": "HAC",
            "cov_options": {"kernel": "qs", "bandwidth": 4},
        },
        "HAC, qs, andrews, prewhitened": {
            "cov_type": "HAC",
            "cov_options": {"kernel": "qs", "bandwidth": "andrews", "prewhite": 1},
        },
    }
    funcs = {
        name: (lambda kw=kw: Kalvoren.diagnose_many(Y, X, workers=1, progress=False, **kw))
        for name, kw in choices.items()
    }
    t = median_times(funcs, reps)
    Xc = [sm.add_constant(X[g]) for g in range(G)]

    def peer():
        for g in range(G):
            sm.OLS(Y[g], Xc[g]).fit(cov_type="HC3").cov_params()

    tp = median_times({"peer": peer}, max(1, reps // 2))["peer"]
    base = t["default (battery's own HAC)"]
    rows = []
    for name, v in t.items():
        rows.append(("diagnose_many", name, n, fmt(v / G), f"{v / base:.2f}x the default", None))
    rows.append(
        ("diagnose_many", "HC3 (whole battery)", n, fmt(t["HC3"] / G), fmt(tp / G), t["HC3"] / tp)
    )
    return rows


def main() -> None:
    quick = "--quick" in sys.argv
    warnings.simplefilter("ignore")
    rows = [] if "--many" in sys.argv else one_regression(5 if quick else 31)
    rows += many(3 if quick else 9, 200 if quick else 1000)
    print(
        "| section | covariance | n | ours (per series) | peer: statsmodels (or the default run) | ratio |"
    )
    print("|---|---|---|---|---|---|")
    for sec, label, n, ours, peer, ratio in rows:
        r = "" if ratio is None else f"{ratio:.3f}"
        print(f"| {sec} | {label} | {n} | {ours} | {peer} | {r} |")


if __name__ == "__main__":
    main()
