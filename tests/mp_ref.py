"""High-precision references (mpmath, 60 digits) for the regression
statistics. Data given as doubles are exact in this precision; every fit goes
through the normal equations, solved at 60 digits, which leaves more than 40
correct digits for any design the kernels accept."""

import mpmath as mp

DPS = 60


def _mat(X):
    return [[mp.mpf(float(v)) for v in row] for row in X]


def _vec(y):
    return [mp.mpf(float(v)) for v in y]


def _solve(G, b):
    return list(mp.lu_solve(mp.matrix(G), mp.matrix(b)))


def _gram(Z, rows=None):
    rows = range(len(Z)) if rows is None else rows
    k = len(Z[0]) if Z else 0
    G = [[mp.fsum(Z[i][a] * Z[i][b] for i in rows) for b in range(k)] for a in range(k)]
    return G


def _fit_rss(y, Z, rows):
    """Residual sum of squares of y on the columns of Z over `rows`."""
    k = len(Z[0])
    G = _gram(Z, rows)
    h = [mp.fsum(Z[i][a] * y[i] for i in rows) for a in range(k)]
    beta = _solve(G, h)
    return mp.fsum((y[i] - mp.fsum(Z[i][c] * beta[c] for c in range(k))) ** 2 for i in rows)


def bg(eps, X, lags):
    with mp.workdps(DPS):
        e, Xm = _vec(eps), _mat(X)
        n = len(e)
        Z = [
            [mp.mpf(1)] + Xm[i] + [e[i - j] if i >= j else mp.mpf(0) for j in range(1, lags + 1)]
            for i in range(n)
        ]
        S = mp.fsum(v * v for v in e)
        return float(n * (1 - _fit_rss(e, Z, range(n)) / S))


def bp(eps, X_aug):
    """(rss, tss, n*R^2 clamped to [0, n], half the explained sum of squares)."""
    with mp.workdps(DPS):
        e, Xm = _vec(eps), _mat(X_aug)
        n = len(e)
        s2 = mp.fsum(v * v for v in e) / n
        g = [v * v / s2 for v in e]
        gbar = mp.fsum(g) / n
        tss = mp.fsum((v - gbar) ** 2 for v in g)
        rss = _fit_rss(g, Xm, range(n))
        r2 = min(max(1 - rss / tss, 0), 1)
        return float(rss), float(tss), float(r2 * n), float(max((tss - rss) / 2, 0))


def chow(y, X, t):
    with mp.workdps(DPS):
        ym, Xm = _vec(y), _mat(X)
        n, k = len(ym), len(Xm[0])
        S = _fit_rss(ym, Xm, range(n))
        W = _fit_rss(ym, Xm, range(t)) + _fit_rss(ym, Xm, range(t, n))
        return float(((S - W) / k) / (W / (n - 2 * k)))


def recursive(y, X):
    """(w, cusum series, cusum statistic, cusum-of-squares statistic): each w
    the one-step prediction error of a fresh fit on the rows before it."""
    with mp.workdps(DPS):
        ym, Xm = _vec(y), _mat(X)
        n, k = len(ym), len(Xm[0])
        G = _gram(Xm, range(k))
        h = [mp.fsum(Xm[i][a] * ym[i] for i in range(k)) for a in range(k)]
        w = []
        for t in range(k, n):
            x = Xm[t]
            A = mp.matrix(G)  # mpmath keeps its LU factors for the second solve
            beta, v = mp.lu_solve(A, mp.matrix(h)), mp.lu_solve(A, mp.matrix(x))
            pred = mp.fsum(x[a] * beta[a] for a in range(k))
            q = mp.fsum(x[a] * v[a] for a in range(k))
            w.append((ym[t] - pred) / mp.sqrt(1 + q))
            for a in range(k):
                h[a] += x[a] * ym[t]
                for b in range(k):
                    G[a][b] += x[a] * x[b]
        m = n - k
        sigma = mp.sqrt(_fit_rss(ym, Xm, range(n)) / m)
        series, run = [], mp.mpf(0)
        for v in w:
            run += v
            series.append(run / sigma)
        s = mp.sqrt(m)
        stat = max(abs(v) / (s + 2 * j / s) for j, v in enumerate(series))
        T = mp.fsum(v * v for v in w)
        C, g = mp.mpf(0), mp.mpf(0)
        for j, v in enumerate(w):
            C += v * v
            g = max(g, abs(C / T - mp.mpf(j + 1) / m))
        return (
            [float(v) for v in w],
            [float(v) for v in series],
            float(stat),
            float(g / mp.sqrt(2)),
        )


def hac_wald(y, X, L, const_col):
    """b_s' V_ss^-1 b_s: V the Bartlett HAC sandwich (X'X)^-1 S (X'X)^-1
    without small-sample correction, bandwidth min(L, n - 1) and weights
    1 - j/(L+1); s every column but const_col (all of them when it is < 0)."""
    with mp.workdps(DPS):
        ym, Xm = _vec(y), _mat(X)
        n, k = len(ym), len(Xm[0])
        Gi = mp.inverse(mp.matrix(_gram(Xm)))
        h = mp.matrix([mp.fsum(Xm[i][a] * ym[i] for i in range(n)) for a in range(k)])
        beta = Gi * h
        e = [ym[i] - mp.fsum(Xm[i][a] * beta[a] for a in range(k)) for i in range(n)]
        g = [[Xm[i][a] * e[i] for a in range(k)] for i in range(n)]
        L = min(L, n - 1)
        S = mp.matrix(k, k)
        for j in range(L + 1):
            w = 1 - mp.mpf(j) / (L + 1)
            for a in range(k):
                for b in range(k):
                    s = w * mp.fsum(g[i][a] * g[i + j][b] for i in range(n - j))
                    S[a, b] += s
                    if j:
                        S[b, a] += s
        V = Gi * S * Gi
        sl = [a for a in range(k) if a != const_col]
        Vs = mp.matrix([[V[a, b] for b in sl] for a in sl])
        bs = mp.matrix([beta[a] for a in sl])
        return float((bs.T * mp.inverse(Vs) * bs)[0])
