"""High-precision references (mpmath, 60 digits) for the regression
statistics. Data given as doubles are exact in this precision; every fit goes
through the normal equations, solved at 60 digits, which leaves more than 40
correct digits for any design the kernels accept."""

import math

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


# ----------------------------------------------------------------------------
# The whole battery of one design, for the sweep (test_sweep.py). Every fit
# solves the normal equations of the unit-diagonal (Jacobi-scaled) Gram matrix
# at SWEEP_DPS digits, which keeps units out of it (columns of 1e-300 beside
# 1e300) and leaves over 40 digits at a scaled condition of 1e15. A column is
# exactly dependent on the columns before it when its Cholesky pivot (the
# squared share of the column they leave) is below DEPENDENT: rounding leaves
# about 1e-80 there, a real column of any design in the sweep above 1e-35.

SWEEP_DPS = 80
DEPENDENT = mp.mpf(10) ** -50


def _mpvec(v):
    return [x if isinstance(x, mp.mpf) else mp.mpf(float(x)) for x in v]


def _columns(X):
    X = [_mpvec(row) for row in X]
    return [[row[j] for row in X] for j in range(len(X[0]) if X else 0)]


def _unit(cols):
    """The columns scaled to unit norm (zero columns kept as they are)."""
    out = []
    for c in cols:
        s = mp.sqrt(mp.fdot(c, c))
        out.append([v / s for v in c] if s else c)
    return out


def _ls(cols, v, rows=None):
    """Least squares of v on `cols` over `rows` (all by default), the columns
    taken in order and dropped when exactly dependent on those kept before
    them. Returns (residuals over rows, kept column indices, coefficients)."""
    if rows is not None:
        cols, v = [[c[i] for i in rows] for c in cols], [v[i] for i in rows]
    norms = [mp.sqrt(mp.fdot(c, c)) for c in cols]
    kept, L = [], []  # L: Cholesky rows of the unit-diagonal Gram of the kept columns
    for j, c in enumerate(cols):
        if not norms[j]:
            continue
        g = [mp.fdot(cols[a], c) / (norms[a] * norms[j]) for a in kept]
        ell = []
        for i, row in enumerate(L):
            ell.append((g[i] - mp.fdot(row[:i], ell)) / row[i])
        piv = 1 - mp.fdot(ell, ell)
        if piv > DEPENDENT:
            L.append(ell + [mp.sqrt(piv)])
            kept.append(j)
    r = len(kept)
    z = []
    for i, a in enumerate(kept):
        z.append((mp.fdot(cols[a], v) / norms[a] - mp.fdot(L[i][:i], z)) / L[i][i])
    b = [mp.mpf(0)] * r
    for i in reversed(range(r)):
        b[i] = (z[i] - mp.fsum(L[a][i] * b[a] for a in range(i + 1, r))) / L[i][i]
    beta = [b[i] / norms[a] for i, a in enumerate(kept)]
    kc = [cols[a] for a in kept]
    resid = [v[t] - mp.fdot([c[t] for c in kc], beta) for t in range(len(v))]
    return resid, kept, beta


def ljung_box(e, lags):
    """Ljung-Box Q = n (n+2) sum_k r_k^2 / (n-k) of the centred series, the
    lag cut to n - 1."""
    with mp.workdps(SWEEP_DPS):
        e = _mpvec(e)
        n = len(e)
        mean = mp.fsum(e) / n
        z = [v - mean for v in e]
        q = mp.fsum(mp.fdot(z[k:], z[:-k]) ** 2 / (n - k) for k in range(1, min(lags, n - 1) + 1))
        return float(n * (n + 2) * q / mp.fdot(z, z) ** 2)


def jarque_bera(e):
    """n (skew^2 / 6 + excess kurtosis^2 / 24) from the divide-by-n moments."""
    with mp.workdps(SWEEP_DPS):
        e = _mpvec(e)
        n = len(e)
        mean = mp.fsum(e) / n
        d = [v - mean for v in e]
        d2 = [v * v for v in d]
        m2, m3, m4 = mp.fsum(d2) / n, mp.fdot(d2, d) / n, mp.fdot(d2, d2) / n
        return float(n * ((m3 / m2**1.5) ** 2 / 6 + (m4 / m2**2 - 3) ** 2 / 24))


def hac_wald(X, y, slopes, L):
    """Wald statistic b_s' V_ss^-1 b_s that the coefficients of the columns
    `slopes` of the full-rank design X (n x k) are zero; V = (X'X)^-1 S
    (X'X)^-1 with S = sum over |j| <= L of (1 - |j|/(L+1)) sum_t x_t e_t
    e_{t-j} x_{t-j}' (Bartlett, no small-sample correction), L cut to n - 1."""
    with mp.workdps(SWEEP_DPS):
        return _hac_wald(_columns(X), _mpvec(y), slopes, L)


def _hac_wald(cols, y, slopes, L):
    with mp.workdps(SWEEP_DPS):
        cols = _unit(cols)  # the statistic does not depend on the columns' scale
        n, k = len(y), len(cols)
        e, kept, beta = _ls(cols, y)
        assert len(kept) == k, "the design must have full rank"
        h = [[v * et for v, et in zip(c, e)] for c in cols]
        Lc = min(L, n - 1)
        S = mp.matrix(k, k)
        for a in range(k):
            for b in range(a, k):
                s = mp.fdot(h[a], h[b])
                for j in range(1, Lc + 1):
                    w = 1 - mp.mpf(j) / (Lc + 1)
                    s += w * (mp.fdot(h[a][j:], h[b][:-j]) + mp.fdot(h[b][j:], h[a][:-j]))
                S[a, b] = S[b, a] = s
        Ginv = mp.inverse(
            mp.matrix([[mp.fdot(cols[a], cols[b]) for b in range(k)] for a in range(k)])
        )
        V = Ginv * S * Ginv
        Vs = mp.matrix([[V[a, b] for b in slopes] for a in slopes])
        bs = mp.matrix([beta[a] for a in slopes])
        return float((bs.T * mp.lu_solve(Vs, bs))[0])


def recursive_givens(X, y):
    """Recursive residuals of y on X (n x k) by plane rotations of the
    triangular factor of the rows so far, from the first row after which that
    factor has full rank (its diagonal above DEPENDENT^(1/2) of each unit
    column)."""
    with mp.workdps(SWEEP_DPS):
        return [float(v) for v in _recursive(_columns(X), _mpvec(y))]


def _recursive(cols, y):
    with mp.workdps(SWEEP_DPS):
        cols = _unit(cols)
        n, k = len(y), len(cols)
        R = [[mp.mpf(0)] * (k + 1) for _ in range(k)]  # [R | Q'y]
        tol = mp.sqrt(DEPENDENT)
        w, started = [], False
        for t in range(n):
            row = [c[t] for c in cols] + [y[t]]
            for i in range(k):
                a, b = R[i][i], row[i]
                if not b:
                    continue
                rho = mp.hypot(a, b)
                c, s = a / rho, b / rho
                Ri = R[i]
                R[i] = Ri[:i] + [c * p + s * q for p, q in zip(Ri[i:], row[i:])]
                row = row[:i] + [c * q - s * p for p, q in zip(Ri[i:], row[i:])]
            if started:
                w.append(row[k])
            elif all(abs(R[i][i]) > tol for i in range(k)):
                started = True
        return w


def cusum_stats(w):
    """(CUSUM, CUSUM of squares, m): max_j |W_j| / (sqrt(m) + 2j/sqrt(m)) with
    W_j the running sum of w over sqrt(sum w^2 / m), j from 0, and
    max_j |C_j - (j+1)/m| / sqrt(2) with C_j the running share of sum w^2."""
    with mp.workdps(SWEEP_DPS):
        w = _mpvec(w)
        m = len(w)
        T = mp.fdot(w, w)
        s, sigma = mp.sqrt(m), mp.sqrt(T / m)
        run = C = mp.mpf(0)
        cusum = cusumsq = mp.mpf(0)
        for j, v in enumerate(w):
            run += v
            C += v * v
            cusum = max(cusum, abs(run / sigma) / (s + 2 * j / s))
            cusumsq = max(cusumsq, abs(C / T - mp.mpf(j + 1) / m))
        return float(cusum), float(cusumsq / mp.sqrt(2)), m


def battery(y, X, const_col, lags, t_break, hac_lags):
    """Every statistic of the battery with its degrees of freedom, for the OLS
    fit of y on X (its columns exactly dependent on those before them dropped;
    the constant column const_col, or -1 for none, taken first):
    {test id: (statistic, df)}, df an int, a pair (Chow) or None; plus "rank"
    and "kept" (the columns of X used)."""
    with mp.workdps(SWEEP_DPS):
        cols, ym = _columns(X), _mpvec(y)
        n = len(ym)
        order = ([const_col] if const_col >= 0 else []) + [
            j for j in range(len(cols)) if j != const_col
        ]
        e, kept, _ = _ls([cols[j] for j in order], ym)
        kept = [order[j] for j in kept]  # the constant first, then in order
        Z = [cols[j] for j in kept]
        r, has_const = len(Z), const_col >= 0
        S = mp.fdot(e, e)
        one = [mp.mpf(1)] * n
        rest = Z[1:] if has_const else Z
        out = {"rank": r, "kept": kept}

        lagged = [[mp.mpf(0)] * j + e[: n - j] for j in range(1, lags + 1)]
        # without a constant in the model, none in the auxiliary regression (lmtest)
        u, _, _ = _ls(([one] if has_const else []) + rest + lagged, e)
        out["breusch_godfrey"] = (float(n * (1 - mp.fdot(u, u) / S)), lags)

        g = [v * v * n / S for v in e]
        gbar = mp.fsum(g) / n
        tss = mp.fsum((v - gbar) ** 2 for v in g)
        u, kb, _ = _ls(Z if has_const else [one] + Z, g)
        rss = mp.fdot(u, u)
        q = len(kb) - 1
        out["breusch_pagan"] = (float(max((tss - rss) / 2, 0)), q)
        out["breusch_pagan_koenker"] = (float(n * min(max(1 - rss / tss, 0), 1)), q)

        u1, k1, _ = _ls(Z, ym, range(t_break))
        u2, k2, _ = _ls(Z, ym, range(t_break, n))
        within = mp.fdot(u1, u1) + mp.fdot(u2, u2)
        d1, d2 = len(k1) + len(k2) - r, n - len(k1) - len(k2)
        out["chow"] = (float(((S - within) / d1) / (within / d2)), (d1, d2))

        cusum, cusumsq, _ = cusum_stats(_recursive(Z, ym))
        out["cusum"], out["cusum_squares"] = (cusum, None), (cusumsq, None)
        out["ljung_box"] = (ljung_box(e, lags), min(lags, n - 1))
        out["jarque_bera"] = (jarque_bera(e), None)
        slopes = list(range(1, r) if has_const else range(r))
        out["hac_wald"] = (_hac_wald(Z, ym, slopes, hac_lags) if slopes else math.nan, len(slopes))
        return out


def hac_wald_sandwich(y, X, L, const_col):
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
