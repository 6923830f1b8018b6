"""Times every statistic of Kalvoren._ckernels.diag._diag against what a user
would pick instead: the same algorithms compiled with numba, NumPy/OpenBLAS
for the building blocks, and statsmodels. Prints one table of medians.

    .venv/bin/pip install '.[bench]' && .venv/bin/python benchmarks/run.py [--quick]

Ratios are ours / peer time: below 1 means the module is faster. Everything
runs in one process, one BLAS thread, each pair timed in alternation.
"""

import argparse
import ctypes
import os
import platform
import statistics
import sys
import threading
import time
import weakref

# OpenBLAS picks its kernels from these when set; a forced core type or a
# small L2 size makes NumPy slower than it is elsewhere. Start over without
# them unless asked to keep them.
_BLAS_OVERRIDES = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
if "--keep-env" not in sys.argv and any(v in os.environ for v in _BLAS_OVERRIDES):
    found = ", ".join(f"{v}={os.environ[v]}" for v in _BLAS_OVERRIDES if v in os.environ)
    print(
        f"note: {found} would slow NumPy's BLAS; re-running without them "
        "(unset both yourself, or pass --keep-env to keep them)",
        flush=True,
    )
    env = {k: v for k, v in os.environ.items() if k not in _BLAS_OVERRIDES}
    os.execve(sys.executable, [sys.executable] + sys.argv, env)

for _v in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS", "NUMBA_NUM_THREADS"):
    os.environ.setdefault(_v, "1")

import numpy as np  # noqa: E402
from threadpoolctl import threadpool_info, threadpool_limits  # noqa: E402

from Kalvoren._ckernels.diag import _diag as D  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import numba_ref as NB  # noqa: E402

LIB = ctypes.CDLL(D.__file__)
PD = ctypes.POINTER(ctypes.c_double)
I64 = ctypes.c_int64


def _fn(name, restype, *argtypes):
    f = getattr(LIB, name)
    f.restype = restype
    f.argtypes = list(argtypes)
    return f


k_gram = _fn("kvr_gram", None, PD, PD, I64, I64)
k_atb = _fn("kvr_matmul_atb", None, PD, PD, PD, I64, I64, I64)
k_hac = _fn("kvr_hac_estimator_matmul", None, PD, ctypes.c_int, I64, I64, I64, PD, PD)
k_mean = _fn("kvr_fill_mean_ax0", None, PD, I64, I64, PD)
k_cent = _fn("kvr_fill_centered_ax0", None, PD, PD, I64, I64, PD)
k_jb = _fn("kvr_jb_stat", ctypes.c_int, PD, I64, PD)
k_acorr = _fn("kvr_acorr", ctypes.c_int, PD, I64, I64, PD, PD)
k_sf = _fn("kvr_cusum_sf_into", None, PD, I64, PD)


_PTRS = {}


def ptr(a):
    # A native caller holds its pointers; making a ctypes pointer costs about
    # 2 us, so it is made once per array and not charged to the kernel.
    hit = _PTRS.get(id(a))
    if hit is None or hit[0]() is not a:
        hit = _PTRS[id(a)] = (weakref.ref(a), a.ctypes.data_as(PD))
    return hit[1]


# ------------------------------------------------------------------ timing

BUDGET = 0.25  # seconds per pair of measurements; --quick lowers it


def _loops_for(f, floor=2e-3):
    """Calls per sample so that one sample takes at least `floor` seconds."""
    loops = 1
    while True:
        t = time.perf_counter()
        for _ in range(loops):
            f()
        dt = time.perf_counter() - t
        if dt >= floor or loops >= 1 << 20:
            return loops, dt / loops
        loops *= 2 if dt > floor / 8 else 8


def compare(f, g):
    """Median seconds per call of f and g, sampled in alternation."""
    f(), g()  # warm up (and compile, for numba)
    lf, tf = _loops_for(f)
    lg, tg = _loops_for(g)
    per_round = lf * tf + lg * tg
    rounds = int(min(41, max(5, BUDGET / max(per_round, 1e-9))))
    sf, sg = [], []
    for _ in range(rounds):
        t = time.perf_counter()
        for _ in range(lf):
            f()
        sf.append((time.perf_counter() - t) / lf)
        t = time.perf_counter()
        for _ in range(lg):
            g()
        sg.append((time.perf_counter() - t) / lg)
    return statistics.median(sf), statistics.median(sg)


def single(f):
    f()
    lf, tf = _loops_for(f)
    rounds = int(min(41, max(5, BUDGET / max(lf * tf, 1e-9))))
    ts = []
    for _ in range(rounds):
        t = time.perf_counter()
        for _ in range(lf):
            f()
        ts.append((time.perf_counter() - t) / lf)
    return statistics.median(ts)


def fmt_t(s):
    if s < 1e-6:
        return f"{s * 1e9:.0f} ns"
    if s < 1e-3:
        return f"{s * 1e6:.2f} µs" if s < 1e-5 else f"{s * 1e6:.1f} µs"
    if s < 1:
        return f"{s * 1e3:.2f} ms" if s < 1e-2 else f"{s * 1e3:.1f} ms"
    return f"{s:.2f} s"


def fmt_n(n):
    return f"10^{len(str(n)) - 1}" if n >= 1000 and str(n).strip("0") == "1" else str(n)


ROWS = []


def row(section, what, n, k, ours, peer, tpeer, note=""):
    ROWS.append((section, what, n, k, ours, peer, tpeer, note))
    r = ours / tpeer
    print(
        f"  {what:<28} n={fmt_n(n):<6} {('' if k is None else f'k={k}'):<6} ours {fmt_t(ours):>10}"
        f"  {peer:<24} {fmt_t(tpeer):>10}  ratio {r:6.3f} {note}",
        flush=True,
    )


# --------------------------------------------------------------- machine


def machine_header():
    cpu = platform.processor() or "?"
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
            fh.seek(0)
            flags = next((l for l in fh if l.startswith("flags")), "").split()
    except OSError:
        flags = []
    isa = (
        "x86-64-v4 (AVX-512)"
        if "avx512f" in flags
        else "x86-64-v3 (AVX2/FMA)"
        if "avx2" in flags and "fma" in flags
        else "baseline"
    )
    lines = [
        f"CPU: {cpu}, {os.cpu_count()} logical CPUs; clone dispatched: {isa}",
        f"Python {platform.python_version()}, NumPy {np.__version__}",
    ]
    try:
        import numba

        lines[-1] += f", numba {numba.__version__}"
    except ImportError:
        pass
    try:
        import statsmodels

        lines[-1] += f", statsmodels {statsmodels.__version__}"
    except ImportError:
        pass
    for info in threadpool_info():
        if info.get("user_api") == "blas":
            lines.append(
                f"BLAS: {info.get('internal_api')} {info.get('version')} "
                f"kernel {info.get('architecture')}, {info.get('num_threads')} threads "
                f"before limiting ({os.path.basename(info.get('filepath', ''))})"
            )
    env = {v: os.environ.get(v) for v in _BLAS_OVERRIDES + ("OPENBLAS_NUM_THREADS",)}
    lines.append(
        "Threads: one BLAS thread (threadpoolctl), kernels single-threaded; "
        + ", ".join(f"{k}={v}" for k, v in env.items() if v is not None)
    )
    return lines


# ------------------------------------------------------------ agreement


def check_numba(rng):
    """Our functions and the numba versions agree, so the timings compare
    like with like."""
    n, k = 500, 4
    X = rng.standard_normal((n, k))
    y = X @ rng.standard_normal(k) + rng.standard_normal(n)
    e = rng.standard_normal(n)
    close = np.testing.assert_allclose
    s1, v1 = D.bg_stat(e, X, 3)
    s2, v2 = NB.bg_stat(e, X, 3)
    assert s1 == s2 == 0
    close(v1, v2, rtol=1e-9)
    s1, w1 = D.recursive_residuals(y, X)
    s2, w2 = NB.recursive_residuals(y, X)
    close(w1, w2, rtol=1e-7, atol=1e-9)
    close(D.cusum_stat(y, X)[1], NB.cusum_stat(y, X)[1], rtol=1e-8)
    close(D.acorr(e, 5)[1], NB.acorr(e, 5)[1], rtol=1e-9, atol=1e-12)
    close(D.lb_stat(e, 5)[1], NB.lb_stat(e, 5)[1], rtol=1e-9)
    close(D.jb_stat(e)[1], NB.jb_stat(e)[1], rtol=1e-9)
    for kid in (0, 1, 2):
        close(
            D.hac_estimator_matmul(X, kid, 4),
            NB.hac_estimator_matmul(X, kid, 4),
            rtol=1e-9,
            atol=1e-12,
        )
    close(D.fill_mean_ax0(X), NB.fill_mean_ax0(X), rtol=1e-12)
    m = D.fill_mean_ax0(X)
    close(D.fill_centered_ax0(X, m), NB.fill_centered_ax0(X, m), rtol=0, atol=0)
    a = rng.standard_normal((3, 7))
    close(D.cusum_sf_arr(a), NB.cusum_sf_arr(a), rtol=1e-12)


# ------------------------------------------------------------- sections


def bench_numba(rng, ns, ks):
    print("\n[numba] the same algorithms compiled with numba", flush=True)
    sec = "numba"
    lags, L = 4, 4
    for n in ns:
        x = rng.standard_normal(n)
        t = compare(lambda: D.jb_stat(x), lambda: NB.jb_stat(x))
        row(sec, "jb_stat", n, None, *t[:1], "numba jb_stat", t[1])
        t = compare(lambda: D.acorr(x, L), lambda: NB.acorr(x, L))
        row(sec, f"acorr (L={L})", n, None, t[0], "numba acorr", t[1])
        t = compare(lambda: D.lb_stat(x, L), lambda: NB.lb_stat(x, L))
        row(sec, f"lb_stat (L={L})", n, None, t[0], "numba lb_stat", t[1])
        t = compare(lambda: D.cusum_sf_arr(x), lambda: NB.cusum_sf_arr(x))
        row(sec, "cusum_sf_arr", n, None, t[0], "numba cusum_sf_arr", t[1])
        for k in ks:
            if n * k > 8_000_000 and k > 8:
                continue  # the n x (k + lags + 1) design alone passes 300 MB
            X = rng.standard_normal((n, k))
            y = X @ rng.standard_normal(k) + rng.standard_normal(n)
            e = rng.standard_normal(n)
            t = compare(lambda: D.bg_stat(e, X, lags), lambda: NB.bg_stat(e, X, lags))
            row(sec, f"bg_stat (lags={lags})", n, k, t[0], "numba bg_stat", t[1])
            if n > k:
                t = compare(
                    lambda: D.recursive_residuals(y, X), lambda: NB.recursive_residuals(y, X)
                )
                row(sec, "recursive_residuals", n, k, t[0], "numba recursive_residuals", t[1])
                t = compare(lambda: D.cusum_stat(y, X), lambda: NB.cusum_stat(y, X))
                row(sec, "cusum_stat", n, k, t[0], "numba cusum_stat", t[1])
            t = compare(
                lambda: D.hac_estimator_matmul(X, 0, L), lambda: NB.hac_estimator_matmul(X, 0, L)
            )
            row(sec, f"hac_estimator_matmul (L={L})", n, k, t[0], "numba hac (Bartlett)", t[1])
            t = compare(lambda: D.fill_mean_ax0(X), lambda: NB.fill_mean_ax0(X))
            row(sec, "fill_mean_ax0", n, k, t[0], "numba fill_mean_ax0", t[1])
            m = D.fill_mean_ax0(X)
            t = compare(lambda: D.fill_centered_ax0(X, m), lambda: NB.fill_centered_ax0(X, m))
            row(sec, "fill_centered_ax0", n, k, t[0], "numba fill_centered_ax0", t[1])


def bench_overhead():
    print("\n[call cost] per call at n = 1, against a bare np.empty(1)", flush=True)
    sec = "overhead"
    one, one2 = np.ones(1), np.ones((1, 1))
    base = single(lambda: np.empty(1))
    x12 = np.arange(12.0)
    cases = [
        ("jb_stat", lambda: D.jb_stat(one), lambda: NB.jb_stat(one)),
        ("fill_mean_ax0", lambda: D.fill_mean_ax0(one2), lambda: NB.fill_mean_ax0(one2)),
        ("acorr (L=1)", lambda: D.acorr(x12, 1), lambda: NB.acorr(x12, 1)),
        ("cusum_sf (scalar)", lambda: D.cusum_sf(0.5), None),
        ("cusum_sf_arr", lambda: D.cusum_sf_arr(one), lambda: NB.cusum_sf_arr(one)),
        (
            "hac_estimator_matmul",
            lambda: D.hac_estimator_matmul(one2, 0, 1),
            lambda: NB.hac_estimator_matmul(one2, 0, 1),
        ),
    ]
    for name, f, g in cases:
        if g is None:
            t = single(f)
            row(sec, name, 1, None, t, "np.empty(1)", base)
        else:
            t, tn = compare(f, g)
            row(sec, name, 1, None, t, "numba", tn, f"(np.empty(1): {fmt_t(base)})")


def rel_err(ours, peer):
    """The largest difference from NumPy's product, relative to its largest entry."""
    return f"(rel. err. {np.max(np.abs(ours - peer)) / np.max(np.abs(peer)):.1e})"


def bench_blas(rng, ns, ps):
    print("\n[NumPy/OpenBLAS] building blocks, one BLAS thread", flush=True)
    sec = "numpy"
    for n in ns:
        for p in ps:
            if n * p > 64_000_000:
                continue
            X = rng.standard_normal((n, p))
            B = rng.standard_normal((n, p))
            G = np.empty((p, p))
            t = compare(lambda: k_gram(ptr(X), ptr(G), n, p), lambda: X.T @ X)
            row(sec, "kvr_gram", n, p, t[0], "X.T @ X", t[1], rel_err(G, X.T @ X))
            t = compare(lambda: k_atb(ptr(X), ptr(B), ptr(G), n, p, p), lambda: X.T @ B)
            row(sec, "kvr_matmul_atb", n, p, t[0], "A.T @ B", t[1], rel_err(G, X.T @ B))
            if p <= 32:
                L = 4
                gam, out = np.empty((p, p)), np.empty((p, p))

                def lags_np():
                    s = X.T @ X
                    for j in range(1, L + 1):
                        g = X[:-j].T @ X[j:]
                        s += (1.0 - j / (L + 1)) * (g + g.T)
                    return s / n

                t = compare(lambda: k_hac(ptr(X), 0, L, n, p, ptr(gam), ptr(out)), lags_np)
                row(
                    sec,
                    f"kvr_hac_estimator_matmul L={L}",
                    n,
                    p,
                    t[0],
                    "per-lag r[:-j].T @ r[j:]",
                    t[1],
                )
                m = np.empty(p)
                t = compare(lambda: k_mean(ptr(X), n, p, ptr(m)), lambda: X.sum(axis=0))
                row(sec, "kvr_fill_mean_ax0", n, p, t[0], "x.sum(axis=0)", t[1])


def bench_bandwidth(rng, sizes):
    print("\n[bandwidth] streaming kernels, GB/s counting every pass, against x.sum()", flush=True)
    sec = "bandwidth"
    for N in sizes:
        x = rng.standard_normal(N)
        z, out = np.empty(N), np.empty(N)
        st = ctypes.c_double()
        ac = np.empty(2)
        m8 = np.zeros(8)
        cases = [
            ("kvr_fill_mean_ax0 p=2", 1, lambda: k_mean(ptr(x), N // 2, 2, ptr(ac))),
            ("kvr_fill_mean_ax0 p=8", 1, lambda: k_mean(ptr(x), N // 8, 8, ptr(out))),
            ("kvr_fill_mean_ax0 p=32", 1, lambda: k_mean(ptr(x), N // 32, 32, ptr(out))),
            ("kvr_fill_centered_ax0 p=8", 2, lambda: k_cent(ptr(x), ptr(m8), N // 8, 8, ptr(out))),
            ("kvr_jb_stat", 2, lambda: k_jb(ptr(x), N, ctypes.byref(st))),
            ("kvr_acorr L=1", 4, lambda: k_acorr(ptr(x), N, 1, ptr(z), ptr(ac))),
            ("kvr_cusum_sf_into", 2, lambda: k_sf(ptr(x), N, ptr(out))),
        ]
        for name, passes, f in cases:
            t, tn = compare(f, lambda: x.sum())
            ours_gbs = passes * N * 8 / t / 1e9
            np_gbs = N * 8 / tn / 1e9
            # the ratio column here is NumPy's bandwidth over ours (time per byte)
            row(
                sec,
                name,
                N,
                None,
                t / passes,
                "x.sum() per pass",
                tn,
                f"({ours_gbs:.1f} vs {np_gbs:.1f} GB/s, {passes} pass{'es' if passes > 1 else ''})",
            )


def bench_statsmodels(rng, ns):
    print("\n[statsmodels] the statistics statsmodels offers", flush=True)
    import warnings

    import statsmodels.api as sm
    from statsmodels.stats.diagnostic import (
        acorr_breusch_godfrey,
        acorr_ljungbox,
        het_breuschpagan,
        recursive_olsresiduals,
    )
    from statsmodels.stats.sandwich_covariance import S_hac_simple
    from statsmodels.stats.stattools import jarque_bera
    from statsmodels.tsa.stattools import acf

    warnings.simplefilter("ignore")
    sec = "statsmodels"
    k, lags, L = 4, 4, 10
    for n in ns:
        Xn = rng.standard_normal((n, k))
        Xc = sm.add_constant(Xn)
        y = Xc @ rng.standard_normal(k + 1) + rng.standard_normal(n)
        res = sm.OLS(y, Xc).fit()
        e = np.asarray(res.resid)
        t = compare(lambda: D.bg_stat(e, Xn, lags), lambda: acorr_breusch_godfrey(res, nlags=lags))
        row(sec, f"bg_stat (lags={lags})", n, k, t[0], "acorr_breusch_godfrey", t[1])
        t = compare(lambda: D.bp_aux(e, Xc), lambda: het_breuschpagan(e, Xc))
        row(sec, "bp_aux", n, k + 1, t[0], "het_breuschpagan", t[1])
        t = compare(lambda: D.recursive_residuals(y, Xc), lambda: recursive_olsresiduals(res))
        row(sec, "recursive_residuals", n, k + 1, t[0], "recursive_olsresiduals", t[1])
        t = compare(lambda: D.cusum_series(y, Xc), lambda: recursive_olsresiduals(res))
        row(sec, "cusum_series", n, k + 1, t[0], "recursive_olsresiduals", t[1])
        t = compare(lambda: D.acorr(e, L), lambda: acf(e, nlags=L))
        row(sec, f"acorr (L={L})", n, None, t[0], "acf", t[1])
        t = compare(lambda: D.lb_stat(e, L), lambda: acorr_ljungbox(e, lags=[L]))
        row(sec, f"lb_stat (L={L})", n, None, t[0], "acorr_ljungbox", t[1])
        t = compare(lambda: D.jb_stat(e), lambda: jarque_bera(e))
        row(sec, "jb_stat", n, None, t[0], "jarque_bera", t[1])
        r = Xn - Xn.mean(axis=0)
        t = compare(lambda: D.hac_estimator_matmul(r, 0, lags), lambda: S_hac_simple(r, nlags=lags))
        row(sec, f"hac_estimator_matmul (L={lags})", n, k, t[0], "S_hac_simple", t[1])


def bench_threads(rng, quick):
    print("\n[threads] two Python threads on separate data vs one (throughput ratio)", flush=True)
    sec = "threads"
    reps = 10 if quick else 30
    cases = []
    for _ in range(2):
        X = rng.standard_normal((100_000, 8))
        e = rng.standard_normal(100_000)
        x = rng.standard_normal(1_000_000)
        cases.append((X, e, x))
    work = [
        ("hac_estimator_matmul n=10^5 p=8", lambda d: D.hac_estimator_matmul(d[0], 0, 4)),
        ("bg_stat n=10^5 k=8", lambda d: D.bg_stat(d[1], d[0], 4)),
        ("recursive_residuals n=10^5 k=8", lambda d: D.recursive_residuals(d[1], d[0])),
        ("jb_stat n=10^6", lambda d: D.jb_stat(d[2])),
        ("fill_mean_ax0 n=10^5 p=8", lambda d: D.fill_mean_ax0(d[0])),
    ]
    for name, f in work:
        f(cases[0])

        def one():
            for _ in range(reps):
                f(cases[0])

        def two():
            ts = [threading.Thread(target=lambda d=d: [f(d) for _ in range(reps)]) for d in cases]
            for th in ts:
                th.start()
            for th in ts:
                th.join()

        t1s, t2s = [], []
        for _ in range(5):
            t = time.perf_counter()
            one()
            t1s.append(time.perf_counter() - t)
            t = time.perf_counter()
            two()
            t2s.append(time.perf_counter() - t)
        t1, t2 = min(t1s), min(t2s)
        speedup = 2 * t1 / t2
        # ratio column: 2-thread time for twice the work over 1-thread time
        row(sec, name, reps, None, t2 / 2, "one thread", t1, f"(speed-up {speedup:.2f}x)")


def print_table(header):
    print("\n## Results\n")
    for h in header:
        print(f"- {h}")
    print(
        "- Ratio = ours / peer time (below 1: ours is faster); medians of alternating"
        " samples. Bandwidth rows compare time per pass over the data with one x.sum();"
        " thread rows compare two threads doing twice the work with one thread.\n"
    )
    print("| section | function | n | k/p | ours | peer | peer time | ratio | note |")
    print("|---|---|---|---|---|---|---|---|---|")
    for sec, what, n, k, ours, peer, tp, note in ROWS:
        print(
            f"| {sec} | {what} | {fmt_n(n)} | {'' if k is None else k} | {fmt_t(ours)} | "
            f"{peer} | {fmt_t(tp)} | {ours / tp:.3f} | {note} |"
        )


def main():
    global BUDGET
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="smaller sizes, shorter timings")
    ap.add_argument(
        "--keep-env", action="store_true", help="keep OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE if set"
    )
    ap.add_argument(
        "--only",
        nargs="+",
        default=None,
        choices=["numba", "overhead", "numpy", "bandwidth", "statsmodels", "threads", "api"],
    )
    args = ap.parse_args()
    header = machine_header()
    for h in header:
        print(h)
    rng = np.random.default_rng(20240601)
    want = set(
        args.only or ["numba", "overhead", "numpy", "bandwidth", "statsmodels", "threads", "api"]
    )
    if args.quick:
        BUDGET = 0.05
    t0 = time.perf_counter()
    with threadpool_limits(limits=1, user_api="blas"):
        check_numba(rng)
        print("numba versions agree with the module (assert_allclose)")
        if "overhead" in want:
            bench_overhead()
        if "numba" in want:
            bench_numba(
                rng,
                [100, 10_000] if args.quick else [100, 10_000, 1_000_000],
                [2, 8] if args.quick else [2, 8, 32],
            )
        if "numpy" in want:
            bench_blas(
                rng,
                [10_000] if args.quick else [10_000, 1_000_000],
                [2, 8, 16, 64] if args.quick else [2, 8, 16, 32, 64],
            )
        if "bandwidth" in want:
            bench_bandwidth(rng, [1_000_000] if args.quick else [1_000_000, 10_000_000])
        if "statsmodels" in want:
            bench_statsmodels(rng, [1000] if args.quick else [100, 1000, 10_000])
        if "threads" in want:
            bench_threads(rng, args.quick)
    if "api" in want:  # many-series rows use every core: outside the one-BLAS-thread limit
        import bench_api

        bench_api.bench_api(rng, row, single, compare, args.quick)
    print_table(header)
    print(f"\n(total {time.perf_counter() - t0:.0f} s)")


if __name__ == "__main__":
    main()
