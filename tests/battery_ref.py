"""A Python model of the native battery (one series), built from the `_diag`
functions: the oracle the native code is compared with."""

import math

import numpy as np

from Kalvoren._ckernels.diag import _diag

FIELDS = (
    "fit_status",
    "n",
    "k",
    "cond",
    "rss",
    "tss",
    "r2",
    "bg_status",
    "bg_stat",
    "bp_status",
    "bp_stat",
    "bpk_stat",
    "chow_status",
    "chow_stat",
    "cusum_status",
    "cusum_stat",
    "cusumsq_status",
    "cusumsq_stat",
    "m",
    "lb_status",
    "lb_stat",
    "jb_status",
    "jb_stat",
    "hac_status",
    "hac_stat",
    "hac_df",
    "hac_lags",
)


def scales(a):
    a2 = a if a.ndim == 2 else a[:, None]
    rms = np.sqrt((a2 * a2).sum(axis=0) / max(a2.shape[0], 1))
    c = np.array(
        [2.0 ** -math.frexp(r)[1] * 2.0 if r > 0 and math.isfinite(r) else 1.0 for r in rms]
    )
    return c if a.ndim == 2 else c[0]


def battery(y, X, const_col, lags, t_break, hac_lags):
    n, k = X.shape
    out = dict.fromkeys(FIELDS, math.nan)
    out.update(n=n, k=k)
    cx, cy = scales(X), scales(y)
    Xs, ys = X * cx, y * cy
    Q, R = np.linalg.qr(Xs)
    Rinv = np.linalg.inv(R)
    out["cond"] = np.abs(R).sum(0).max() * np.abs(Rinv).sum(0).max()
    beta = Rinv @ (Q.T @ ys)
    e = np.ascontiguousarray(ys - Xs @ beta)
    out["fit_status"] = 0
    out["rss"] = e @ e / cy**2
    yc = ys - ys.mean() if const_col >= 0 else ys
    out["tss"] = yc @ yc / cy**2
    out["r2"] = 1 - out["rss"] / out["tss"]
    rest = np.ascontiguousarray(np.delete(Xs, const_col, axis=1) if const_col >= 0 else Xs)
    out["bg_status"], out["bg_stat"] = _diag.bg_stat(e, rest, lags)
    Xa = Xs if const_col >= 0 else np.column_stack([np.ones(n), Xs])
    st, rss, tss = _diag.bp_aux(e, np.ascontiguousarray(Xa))
    out["bp_status"] = st
    if st == 0:
        out["bpk_stat"] = 0.0 if tss <= 0 else n * min(max(1 - rss / tss, 0.0), 1.0)
        out["bp_stat"] = max(0.5 * (tss - rss), 0.0)
    out["chow_status"], out["chow_stat"] = _diag.chow_stat(ys, Xs, t_break)
    out["cusum_status"], out["cusum_stat"] = _diag.cusum_stat(ys, Xs)
    out["cusumsq_status"], out["m"], out["cusumsq_stat"] = _diag.cusumsq_stat(ys, Xs)
    out["lb_status"], out["lb_stat"] = _diag.lb_stat(e, lags)
    st, jb = _diag.jb_stat(e)
    out["jb_status"], out["jb_stat"] = st, float(jb)
    h = np.ascontiguousarray((Xs @ Rinv) * e[:, None])
    omega = _diag.hac_estimator_matmul(h, 0, hac_lags)
    V = n * Rinv @ omega @ Rinv.T
    V = (V + V.T) * 0.5
    slopes = [j for j in range(k) if j != const_col]
    out["hac_df"], out["hac_lags"] = len(slopes), min(hac_lags, n - 1)
    if slopes:
        out["hac_status"], out["hac_stat"] = _diag.wald_stat_from_mean_and_cov(
            beta[slopes],
            np.zeros(len(slopes)),
            np.ascontiguousarray(n * V[np.ix_(slopes, slopes)]),
            n,
        )
    else:
        out["hac_status"] = -1007
    if e @ e <= 32 * 2.0**-52 * (ys @ ys):
        for t in ("bg", "bp", "lb", "jb", "hac"):
            out[f"{t}_status"] = -1003
    for t in ("bg", "chow", "cusum", "cusumsq", "lb", "jb", "hac"):
        if out[f"{t}_status"] != 0:
            out[f"{t}_stat"] = math.nan
    if out["bp_status"] != 0:
        out["bp_stat"] = out["bpk_stat"] = math.nan
    b = beta * cx / cy
    se = np.sqrt(np.diag(V)) * cx / cy
    return np.array([float(out[f]) for f in FIELDS]), b, se
