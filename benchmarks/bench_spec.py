"""The model checks at n = 200, k = 3: each alone through diagnose against
statsmodels' function for it; the Durbin-Watson exact p-value against the dense
eigenvalues of C'AC (what an eigenvalue method starts from); and diagnose_many's
series per second with the default battery, with every new test, and without the
Durbin-Watson p-value. Minimum of alternating samples (the machine is shared).

    .venv/bin/python benchmarks/bench_spec.py [--quick]
"""

import os
import sys
import time
import warnings

for _v in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_v, "1")

import numpy as np  # noqa: E402

import Kalvoren  # noqa: E402
from Kalvoren import _spectests  # noqa: E402

NEW = ["white", "reset", "goldfeld_quandt", "harvey_collier", "rainbow", "durbin_watson"]


def best(f, reps, samples):
    out = []
    for _ in range(samples):
        t = time.perf_counter()
        for _ in range(reps):
            f()
        out.append((time.perf_counter() - t) / reps)
    return min(out)


def fmt(t):
    return f"{t * 1e6:.1f} µs" if t < 1e-3 else f"{t * 1e3:.2f} ms"


def main(quick):
    import statsmodels.api as sm
    from statsmodels.stats import diagnostic as dg

    warnings.simplefilter("ignore")
    rng = np.random.default_rng(0)
    n = 200
    X = np.column_stack([np.ones(n), rng.normal(size=(n, 2))])
    y = X @ [1.0, 2.0, 3.0] + rng.normal(size=n)
    res = sm.OLS(y, X).fit()
    reps, samples = (5, 5) if quick else (20, 15)
    peers = {
        "white": ("het_white", lambda: dg.het_white(res.resid, X)),
        "reset": ("linear_reset", lambda: dg.linear_reset(res, power=3, use_f=True)),
        "goldfeld_quandt": (
            "het_goldfeldquandt",
            lambda: dg.het_goldfeldquandt(y, X, result_object=True),
        ),
        "harvey_collier": ("linear_harvey_collier", lambda: dg.linear_harvey_collier(res)),
        "rainbow": ("linear_rainbow", lambda: dg.linear_rainbow(res)),
        "durbin_watson": (
            "durbin_watson (no p-value)",
            lambda: sm.stats.durbin_watson(res.resid),
        ),
    }
    rows = []
    for tid in NEW:
        ours = best(lambda: Kalvoren.diagnose(y, X[:, 1:], tests=[tid]), reps, samples)
        what, call = peers[tid]
        rows.append((f"diagnose(tests=[{tid}])", ours, what, best(call, reps, samples)))

    Q = np.linalg.qr(X)[0]
    A = np.diag(np.r_[1.0, np.full(n - 2, 2.0), 1.0]) - np.eye(n, k=1) - np.eye(n, k=-1)
    C = np.linalg.qr(X, mode="complete")[0][:, 3:]
    d = _spectests.dw_statistic(res.resid)
    exact = best(lambda: _spectests.dw_pvalue(_spectests.DWNull(Q, 0), d, "greater"), reps, samples)
    eig = best(lambda: np.linalg.eigvalsh(C.T @ A @ C), reps, samples)
    rows.append(
        (
            "DW exact p-value, Python route (design and integral)",
            exact,
            "eigvalsh of C'AC alone",
            eig,
        )
    )

    G = 400 if quick else 2000
    Y = X[:, 1:] @ [2.0, 3.0] + rng.normal(size=(G, n))
    default = list(Kalvoren.TEST_IDS[:9])
    runs = {
        "default battery": default,
        "with every new test": default + NEW,
        "with the new tests but DW": default + NEW[:-1],
    }
    wall = {name: [] for name in runs}
    cpu = {name: [] for name in runs}
    for _ in range(3 if quick else 5):  # the runs alternate, so load drifts hit each alike
        for name, tests in runs.items():
            t, c = time.perf_counter(), time.process_time()
            Kalvoren.diagnose_many(Y, X[:, 1:], tests=tests, progress=False)
            wall[name].append(time.perf_counter() - t)
            cpu[name].append(time.process_time() - c)
    speed = {name: G / min(v) for name, v in wall.items()}
    cpu_speed = {name: G / min(v) for name, v in cpu.items()}
    for label, ours, peer, t_peer in rows:
        print(
            f"| spec | {label} | 200 | 3 | {fmt(ours)} | {peer} | {fmt(t_peer)} | {ours / t_peer:.3f} |"
        )
    for name, s in speed.items():
        c = cpu_speed[name]
        print(
            f"| many | diagnose_many, {name} | 200 | 3 | {1e6 / s:.1f} µs | | | | "
            f"({s:,.0f} series/s; CPU {1e6 / c:.1f} µs/series, {c:,.0f} series/CPU-s) |"
        )
    base = cpu_speed["default battery"]
    print(
        f"with every new test / default, by CPU time: {cpu_speed['with every new test'] / base:.2f}"
    )


if __name__ == "__main__":
    main("--quick" in sys.argv)
