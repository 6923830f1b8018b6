"""Times kvr_gram and kvr_matmul_atb against NumPy's X.T @ X and A.T @ B.

Run with one BLAS thread and OpenBLAS's own core detection, e.g.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE OPENBLAS_NUM_THREADS=1 \\
        .venv/bin/python benchmarks/bench_gram.py

Prints the best of several repeats for each size and the speed ratio
(NumPy time / kernel time; above 1 means the kernel is faster).
"""

import argparse
import ctypes
import os
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

from Kalvoren._ckernels.diag import _diag  # noqa: E402

try:
    from threadpoolctl import threadpool_limits
except ImportError:  # the environment variable above already limits OpenBLAS
    threadpool_limits = None

LIB = ctypes.CDLL(_diag.__file__)
PD = ctypes.POINTER(ctypes.c_double)
I64 = ctypes.c_int64

gram = LIB.kvr_gram
gram.restype = None
gram.argtypes = [PD, PD, I64, I64]
atb = LIB.kvr_matmul_atb
atb.restype = None
atb.argtypes = [PD, PD, PD, I64, I64, I64]


def p_(a):
    return a.ctypes.data_as(PD)


def best(f, repeats):
    f()
    ts = []
    for _ in range(repeats):
        t = time.perf_counter()
        f()
        ts.append(time.perf_counter() - t)
    return min(ts)


def run(n, ps, repeats):
    rng = np.random.default_rng(1)
    rows = []
    for p in ps:
        X = rng.standard_normal((n, p))
        B = rng.standard_normal((n, p))
        G = np.empty((p, p))
        C = np.empty((p, p))
        t_np = best(lambda: X.T @ X, repeats)
        t_k = best(lambda: gram(p_(X), p_(G), n, p), repeats)
        err = np.max(np.abs(G - X.T @ X)) / np.max(np.abs(G))
        rows.append(("kvr_gram", "X.T @ X", n, p, t_np, t_k, err))
        t_np = best(lambda: X.T @ B, repeats)
        t_k = best(lambda: atb(p_(X), p_(B), p_(C), n, p, p), repeats)
        err = np.max(np.abs(C - X.T @ B)) / np.max(np.abs(C))
        rows.append(("kvr_matmul_atb", "A.T @ B", n, p, t_np, t_k, err))
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-n", type=int, default=200_000)
    ap.add_argument("-p", type=int, nargs="+", default=[4, 16, 64])
    ap.add_argument("-r", "--repeats", type=int, default=7)
    args = ap.parse_args()
    if threadpool_limits is not None:
        with threadpool_limits(limits=1, user_api="blas"):
            rows = run(args.n, args.p, args.repeats)
    else:
        rows = run(args.n, args.p, args.repeats)
    print(f"{'kernel':<16}{'numpy':<10}{'n':>8}{'p':>5}{'numpy ms':>11}{'kernel ms':>11}"
          f"{'speed':>8}{'rel err':>10}")
    for name, peer, n, p, t_np, t_k, err in rows:
        print(f"{name:<16}{peer:<10}{n:>8}{p:>5}{t_np * 1e3:>11.3f}{t_k * 1e3:>11.3f}"
              f"{t_np / t_k:>7.2f}x{err:>10.1e}")


if __name__ == "__main__":
    main()
