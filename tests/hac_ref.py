"""Plain NumPy restatements of the lag windows, bandwidth rules, HAC
covariance and vech packing, used as test oracles."""

import math

import numpy as np

SPECS = {0: (1.1447, 1.0), 1: (2.6614, 2.0), 2: (1.3221, 2.0)}


def weight(j, bw, kid):
    x = j / (bw + 1)
    if kid == 0:
        return 0.0 if j > bw else 1.0 - x
    if kid == 1:
        if x > 1:
            return 0.0
        return 1 - 6 * x**2 + 6 * x**3 if x <= 0.5 else 2 * (1 - x) ** 3
    if kid == 2:
        if abs(x) <= 1e-8:
            return 1.0
        z = 6 * math.pi * x / 5
        return 25 / (12 * math.pi**2 * x**2) * (math.sin(z) / z - math.cos(z))
    return 0.0


def wooldridge(n):
    return int(math.floor(4 * (n / 100) ** (2 / 9)))


def andrews(x, kid):
    """Plug-in bandwidth of one series; None for a constant one."""
    x = np.asarray(x, dtype=np.float64)
    n = len(x)
    if n < 2:
        return 1
    if np.mean((x - x.mean()) ** 2) <= 1e-14:
        return None
    s01, s00 = x[1:] @ x[:-1], x[:-1] @ x[:-1]
    if not (np.isfinite(s01) and np.isfinite(s00)) or s00 == 0:
        return 1
    rho = min(max(s01 / s00, -0.999), 0.999)
    alpha = 2 * rho * (1 + rho) / (1 - rho) ** 2
    if not (alpha > 0 and np.isfinite(alpha)):
        return 1
    c, q = SPECS[kid]
    e = 1 / (2 * q + 1)
    return max(int(math.floor(n**e * c * alpha**e)), 1)


def andrews_matrix(X, kid):
    n, p = X.shape
    bws = [andrews(X[:, j], kid) for j in range(p)]
    if p == 1:
        return bws[0] or 1
    bws = [b for b in bws if b is not None]
    return int(math.floor(np.median(bws))) if bws and n >= 2 else 1


def hac(r, kid, L):
    """(Gamma_0 + sum_j w_j (Gamma_j + Gamma_j')) / n with the bandwidth cut
    to n - 1 and the weights taken against the cut bandwidth."""
    n, p = r.shape
    out = r.T @ r
    lmax = min(L, n - 1)
    for j in range(1, lmax + 1):
        w = weight(j, lmax, kid)
        g = r[:-j].T @ r[j:]
        out = out + w * (g + g.T)
    return out / n


def vech(a):
    return a[np.triu_indices(a.shape[0])]


def vech_rows(x):
    i, j = np.triu_indices(x.shape[1])
    return x[:, i] * x[:, j]
