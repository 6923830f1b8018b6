"""The statistics as plain Python compiled with numba: the route a user takes
without the compiled module. Same algorithms and the same return shapes as
the module's functions; matrix products go through ``@`` (BLAS), as a numba
user would write them.
"""

import math

import numpy as np
from numba import njit


@njit(cache=True)
def _chol_solve(G, g):
    """Solve G b = g by Cholesky; returns (ok, b)."""
    m = G.shape[0]
    L = np.zeros((m, m))
    for j in range(m):
        s = G[j, j]
        for c in range(j):
            s -= L[j, c] * L[j, c]
        if not s > 0.0:
            return False, g
        L[j, j] = math.sqrt(s)
        for i in range(j + 1, m):
            t = G[i, j]
            for c in range(j):
                t -= L[i, c] * L[j, c]
            L[i, j] = t / L[j, j]
    b = np.empty(m)
    for i in range(m):
        t = g[i]
        for c in range(i):
            t -= L[i, c] * b[c]
        b[i] = t / L[i, i]
    for i in range(m - 1, -1, -1):
        t = b[i]
        for c in range(i + 1, m):
            t -= L[c, i] * b[c]
        b[i] = t / L[i, i]
    return True, b


@njit(cache=True)
def bg_stat(eps, X, lags):
    n = eps.shape[0]
    k = X.shape[1]
    if lags >= n:
        return -1005, np.nan
    m = k + lags + 1
    Z = np.zeros((n, m))
    for i in range(n):
        Z[i, 0] = 1.0
        for c in range(k):
            Z[i, 1 + c] = X[i, c]
        for j in range(1, lags + 1):
            if i >= j:
                Z[i, k + j] = eps[i - j]
    G = Z.T @ Z
    g = Z.T @ eps
    ok, beta = _chol_solve(G, g)
    if not ok:
        return 1, 0.0
    fitted = Z @ beta
    S = 0.0
    R = 0.0
    for i in range(n):
        S += eps[i] * eps[i]
        d = eps[i] - fitted[i]
        R += d * d
    if S > 0:
        return 0, (1.0 - R / S) * n
    return 0, 0.0


@njit(cache=True)
def recursive_residuals(y, X):
    n, k = X.shape
    if n == 0 or k >= n:
        return -1005, np.empty(0)
    m = n - k
    w = np.empty(m)
    Xk = X[:k]
    G = Xk.T @ Xk
    h = Xk.T @ y[:k]
    P = np.linalg.inv(G)
    beta = P @ h
    u = np.empty(k)
    for j in range(m):
        t = k + j
        e = y[t]
        for c in range(k):
            e -= X[t, c] * beta[c]
        d = 0.0
        for r in range(k):
            s = 0.0
            for c in range(k):
                s += P[r, c] * X[t, c]
            u[r] = s
            d += X[t, r] * s
        w[j] = e / math.sqrt(1.0 + d)
        c_ = 1.0 / (1.0 + d)
        for r in range(k):
            beta[r] += c_ * e * u[r]
        for r in range(k):
            cu = c_ * u[r]
            for c in range(k):
                P[r, c] -= cu * u[c]
    return 0, w


@njit(cache=True)
def cusum_stat(y, X):
    n, k = X.shape
    status, w = recursive_residuals(y, X)
    if status != 0:
        return status, np.nan
    m = n - k
    beta = np.linalg.solve(X.T @ X, X.T @ y)
    res = y - X @ beta
    sigma = math.sqrt((res @ res) / m)
    s = math.sqrt(m)
    run = 0.0
    best = 0.0
    for j in range(m):
        run += w[j]
        v = abs(run / sigma) / (s + 2.0 * j / s)
        if j == 0 or v > best:
            best = v
    return 0, best


@njit(cache=True)
def _center(x):
    n = x.shape[0]
    mean = x.sum() / n
    z = np.empty(n)
    ss = 0.0
    for t in range(n):
        z[t] = x[t] - mean
        ss += z[t] * z[t]
    return z, ss


@njit(cache=True)
def acorr(x, L):
    n = x.shape[0]
    out = np.empty(L + 1)
    z, ss = _center(x)
    if not (ss > 0.0 and math.isfinite(ss)):
        out[:] = np.nan
        return -1003, out
    out[0] = 1.0
    for k in range(1, L + 1):
        c = 0.0
        for t in range(k, n):
            c += z[t] * z[t - k]
        out[k] = c / ss
    return 0, out


@njit(cache=True)
def lb_stat(x, L):
    n = x.shape[0]
    if n < 2:
        return -1005, np.nan
    if L >= n:
        L = n - 1
    elif L <= 0:
        return -1004, np.nan
    status, rho = acorr(x, L)
    if status != 0:
        return status, np.nan
    q = 0.0
    for k in range(1, L + 1):
        q += rho[k] * rho[k] / (n - k)
    return 0, (n + 2) * n * q


@njit(cache=True)
def jb_stat(x):
    n = x.shape[0]
    if n == 0:
        return -1005, np.nan
    mean = x.sum() / n
    s2 = 0.0
    s3 = 0.0
    s4 = 0.0
    for i in range(n):
        d = x[i] - mean
        d2 = d * d
        s2 += d2
        s3 += d2 * d
        s4 += d2 * d2
    m2 = s2 / n
    if not (m2 > 0.0 and math.isfinite(m2)):
        return -1003, np.nan
    skew = (s3 / n) / m2**1.5
    exkurt = (s4 / n) / (m2 * m2) - 3.0
    stat = (exkurt * exkurt / 24.0 + skew * skew / 6.0) * n
    return (0 if n >= 10 else -1005), stat


@njit(cache=True)
def _kernel_weight(j, bw, kernel_id):
    x = j / (bw + 1.0)
    if kernel_id == 0:
        return 0.0 if j > bw else 1.0 - x
    if kernel_id == 1:
        if x > 1.0:
            return 0.0
        if x <= 0.5:
            return 1.0 - 6.0 * x * x + 6.0 * x * x * x
        u = 1.0 - x
        return u * u * 2.0 * u
    if kernel_id == 2:
        if abs(x) <= 1e-8:
            return 1.0
        z = x * 18.84955592153876 / 5.0
        return 25.0 * (math.sin(z) / z - math.cos(z)) / (x * x * 118.4352528130723)
    return 0.0


@njit(cache=True)
def hac_estimator_matmul(r, kernel_id, L):
    n = r.shape[0]
    out = r.T @ r
    lmax = min(L, n - 1)
    for j in range(1, lmax + 1):
        w = _kernel_weight(j, lmax, kernel_id)
        if w == 0.0:
            continue
        g = r[: n - j].T @ r[j:]
        out += w * (g + g.T)
    return out / n


@njit(cache=True)
def fill_mean_ax0(x):
    n, p = x.shape
    mean = np.zeros(p)
    for i in range(n):
        for j in range(p):
            mean[j] += x[i, j]
    return mean / n


@njit(cache=True)
def fill_centered_ax0(x, mean):
    n, p = x.shape
    out = np.empty((n, p))
    for i in range(n):
        for j in range(p):
            out[i, j] = x[i, j] - mean[j]
    return out


@njit(cache=True)
def cusum_sf_arr(a):
    out = np.empty_like(a)
    flat = a.ravel()
    o = out.ravel()
    for i in range(flat.shape[0]):
        x = flat[i]
        A = math.erfc(2.0 * x / 1.4142135623730951)
        B = math.exp(-4.0 * x * x)
        E = math.erf(x / 1.4142135623730951)
        s = 2.0 * ((0.5 * E + 0.5) * B + 0.5 * A)
        o[i] = s if s < 1.0 else 1.0
    return out
