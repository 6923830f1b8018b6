"""Writes the scale table of `Kalvoren._fixedb` (and, with --fit-forms, the
constants of its K and d1 forms) from a simulation of the fixed-b law.

The fixed-b limit of the Bartlett HAC Wald statistic is W = Z' Q^-1 Z with
Q = sum_i lam_i xi_i xi_i', lam_i the eigenvalues of the demeaned Bartlett kernel
k((r - s)/b) on [0, 1]^2 and xi_i, Z independent standard normal q-vectors. The
eigenvalues come from the kernel on N points; the largest 60 terms are drawn and
the rest replaced by one Wishart with the same mean and variance (their sum of
many small terms). All q come from one draw: the leading q x q block of Q has the
leading block of its Cholesky factor, so W_q = |L_q^-1 z_q|^2 is a running sum.
Common random numbers across b keep the table smooth in b.

    .venv/bin/python scripts/make_fixedb_table.py --seed 1 2 --save /tmp/fixedb.npz  # ~12 min
    .venv/bin/python scripts/make_fixedb_table.py --load /tmp/fixedb.npz             # refit only
    .venv/bin/python scripts/make_fixedb_table.py --load /tmp/fixedb.npz --fit-forms
    .venv/bin/python scripts/make_fixedb_table.py --validate --reps 60000 --seed 77  # ~3 min

It prints the rows of _LOG_SCALE (and the constants) to paste into _fixedb.py.
"""

from __future__ import annotations

import argparse
import math
import sys

import numpy as np
from scipy import optimize, special

from Kalvoren import _fixedb

ALPHAS = np.array(
    [0.5, 0.4, 0.3, 0.2, 0.15, 0.1, 0.075, 0.05, 0.04, 0.03, 0.025, 0.02, 0.015, 0.01, 0.0075,
     0.005, 0.0025, 0.001]
)  # fmt: skip
FIT = ALPHAS <= 0.3
# inverse variance of log p-hat, flat above 0.02 so the bulk does not outweigh the tail
WEIGHT = np.minimum(ALPHAS[FIT], 0.02) / (1.0 - np.minimum(ALPHAS[FIT], 0.02))
B_SIM = _fixedb._B_GRID[1:]


def bartlett_eigs(b: float, N: int) -> np.ndarray:
    """Eigenvalues (descending, >= 0) of (1/N) C K C, K_ts = k((t - s)/(bN)), C centring."""
    t = np.arange(N)
    K = np.maximum(0.0, 1.0 - np.abs(t[:, None] - t[None, :]) / (b * N))
    C = np.eye(N) - 1.0 / N
    return np.clip(np.linalg.eigvalsh(C @ K @ C / N)[::-1], 0.0, None)


def simulate(bs, q_max: int, reps: int, seed: int, m: int = 60, chunk: int = 10000) -> np.ndarray:
    """Upper ALPHAS-quantiles of W for every b and q = 1..q_max: (len(bs), q_max, len(ALPHAS))."""
    out = np.zeros((len(bs), q_max, ALPHAS.size))
    diag = np.arange(q_max)
    for i, b in enumerate(bs):
        lam = bartlett_eigs(b, 4000 if b < 0.02 else 2000)
        top, rest = lam[:m], lam[m:]
        s1, s2 = rest.sum(), (rest**2).sum()
        W = np.zeros((q_max, reps))
        for c, lo in enumerate(range(0, reps, chunk)):
            r = min(chunk, reps - lo)
            rng = np.random.default_rng([seed, c])  # the same draws for every b
            Xi = rng.standard_normal((r, m, q_max))
            Z = rng.standard_normal((r, q_max))
            G = rng.standard_normal((r, q_max, q_max))
            U = rng.random((r, q_max))
            Y = Xi * np.sqrt(top)[None, :, None]
            Q = np.matmul(np.swapaxes(Y, 1, 2), Y)
            if s2 > 0:
                nu = s1 * s1 / s2  # Wishart(nu, I) by its Bartlett factor
                T = np.tril(G, -1)
                T[:, diag, diag] = np.sqrt(2.0 * special.gammaincinv((nu - diag) / 2.0, U))
                Q += (s1 / nu) * np.matmul(T, np.swapaxes(T, 1, 2))
            y = np.linalg.solve(np.linalg.cholesky(Q), Z[..., None])[..., 0]
            W[:, lo : lo + r] = np.cumsum(y * y, axis=1).T
        out[i] = np.quantile(W, 1.0 - ALPHAS, axis=1).T
        print(f"b = {b}", file=sys.stderr, flush=True)
    return out


def shape(b: float, q: int, forms: tuple) -> tuple[float, float, float]:
    """mu1 and the limit's (K, d1) at b with the given form constants."""
    k0, k1, kh2, r0, r1, d0, dd = forms
    mu1 = 1.0 - b + b * b / 3.0
    x = _fixedb._mu2(b) / (mu1 * mu1)
    x2 = x * x
    K = 1.0 / x + (k0 + k1 * q) * x2 / (x2 + kh2)
    hd = d0 * (1.0 + dd / q)
    return mu1, K, q * (1.0 - (1.0 - r0 - r1 / (q * q)) * x2 / (x2 + hd * hd))


def fit_scale(quant: np.ndarray, forms: tuple) -> tuple[np.ndarray, np.ndarray]:
    """log(kappa mu1) for every (b, q), and the weighted rms error of log p there."""
    nb, nq, _ = quant.shape
    s, rms = np.zeros((nb, nq)), np.zeros((nb, nq))
    for i, b in enumerate(B_SIM):
        for j in range(nq):
            q = j + 1
            mu1, K, d1 = shape(b, q, forms)
            w = quant[i, j, FIT] * mu1 / q

            def loss(v: float) -> float:
                p = special.fdtrc(d1, K, w * np.exp(-v))
                return float(np.sum(WEIGHT * (np.log(p) - np.log(ALPHAS[FIT])) ** 2) / WEIGHT.sum())

            r = optimize.minimize_scalar(
                loss, bounds=(-0.5, 4.0), method="bounded", options={"xatol": 1e-7}
            )
            s[i, j], rms[i, j] = r.x, np.sqrt(r.fun)
    return s, rms


def fit_forms(quant: np.ndarray, forms: tuple) -> tuple:
    """Nelder-Mead over the form constants, the scale refitted at each step."""
    k0, k1, kh2, r0, r1, d0, dd = forms
    start = [k0, k1, np.log(np.sqrt(kh2)), r0, r1, np.log(d0), dd]

    def unpack(v):
        return (v[0], v[1], np.exp(v[2]) ** 2, v[3], v[4], np.exp(v[5]), v[6])

    def obj(v):
        return float(np.mean(fit_scale(quant, unpack(v))[1] ** 2))

    r = optimize.minimize(
        obj, start, method="Nelder-Mead", options={"xatol": 1e-3, "fatol": 1e-8, "maxiter": 400}
    )
    return unpack(r.x)


VALID_B = (0.015, 0.035, 0.08, 0.11, 0.16, 0.21, 0.27, 0.33, 0.42, 0.55, 0.65, 0.85)
VALID_Q = (1, 2, 3, 5, 10, 20)


def sun_pvalue(w: np.ndarray, q: int, b: float) -> np.ndarray:
    """Sun (2014): W/(q kappa) against F(q, K), K = max(ceil(1/(b c2)) - q + 1, 1),
    kappa = exp(b (c1 + (q - 1) c2)); Bartlett c1 = 1, c2 = 2/3."""
    K = max(np.ceil(1.5 / b) - q + 1, 1.0)
    return special.fdtrc(q, K, w / (q * np.exp(b * (1.0 + (q - 1) * 2.0 / 3.0))))


def actual_level(pvalue, quant: np.ndarray, alpha: float) -> float:
    """P(p < alpha) under the simulated law: its tail at the critical value of the
    approximation, read off the simulated quantiles (log-log interpolation)."""
    if pvalue(1e12) > alpha:
        return 0.0  # (Sun's K = 1 at large b and q)
    w = optimize.brentq(lambda v: pvalue(v) - alpha, 1e-12, 1e12, xtol=1e-12, rtol=1e-12)
    if w <= quant[0]:
        return math.inf  # beyond the largest simulated tail probability
    if w >= quant[-1]:
        return 0.0
    return float(np.exp(np.interp(np.log(w), np.log(quant), np.log(ALPHAS))))


def fmt(level: float) -> str:
    if math.isinf(level):
        return f">{100 * ALPHAS[0]:g}"
    return f"<{100 * ALPHAS[-1]:g}" if level == 0.0 else f"{100 * level:.2f}"


def validate(quant: np.ndarray) -> None:
    """Levels of chi2, Sun's F and _fixedb at off-grid b, from fresh draws."""
    for alpha in (0.05, 0.01):
        print(f"\nLevel (%) at a nominal {100 * alpha:g}%: chi2 / Sun (2014) / _fixedb\n")
        print("| b | " + " | ".join(f"q = {q}" for q in VALID_Q) + " |")
        print("|---" * (len(VALID_Q) + 1) + "|")
        for i, b in enumerate(VALID_B):
            cells = []
            for q in VALID_Q:
                rules = (
                    lambda v: special.chdtrc(q, v),
                    lambda v: sun_pvalue(v, q, b),
                    lambda v: _fixedb.hac_wald_pvalue_one(v, q, round(b * 10**7) - 1, 10**7),
                )
                lv = [actual_level(f, quant[i, q - 1], alpha) for f in rules]
                cells.append(" / ".join(fmt(v) for v in lv))
            print(f"| {b} | " + " | ".join(cells) + " |")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--reps", type=int, default=100_000)
    ap.add_argument("--seed", type=int, nargs="+", default=[1, 2], help="one run per seed, pooled")
    ap.add_argument("--save", help="write the simulated quantiles to this .npz")
    ap.add_argument("--load", nargs="+", help="read quantiles from these .npz (pooled) instead")
    ap.add_argument("--fit-forms", action="store_true", help="refit the K and d1 constants first")
    ap.add_argument("--validate", action="store_true", help="levels at off-grid b from fresh draws")
    args = ap.parse_args(argv)
    if args.validate:
        if args.load:
            quant = np.load(args.load[0])["quantiles"]
        else:
            quant = simulate(VALID_B, max(VALID_Q), args.reps, args.seed[0])
            if args.save:
                np.savez(args.save, quantiles=quant)
        validate(quant)
        return 0
    if args.load:
        runs = [np.load(f)["quantiles"] for f in args.load]
    else:
        runs = [simulate(B_SIM, _fixedb.Q_MAX, args.reps, s) for s in args.seed]
    # independent runs of equal size: their quantiles averaged (geometric mean)
    quant = np.exp(np.mean(np.log(runs), axis=0))
    if args.save:
        np.savez(args.save, quantiles=quant)
    forms = (_fixedb.K0, _fixedb.K1, _fixedb.KH2, _fixedb.R0, _fixedb.R1, _fixedb.D0, _fixedb.D1)
    if args.fit_forms:
        forms = fit_forms(quant, forms)
        print("forms (K0, K1, KH, R0, R1, D0, D1):", forms[:2], np.sqrt(forms[2]), forms[3:])
    s, rms = fit_scale(quant, forms)
    print(f"# weighted rms of log p: mean {np.sqrt(np.mean(rms**2)):.4f}, max {rms.max():.4f}")
    print("    (" + ", ".join("0.0" for _ in range(s.shape[1])) + "),")
    for row in s:
        print("    (" + ", ".join(f"{v:.5f}" for v in row) + "),")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
