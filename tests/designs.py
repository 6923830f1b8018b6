"""Seeded regression designs for the accuracy sweep: NIST StRD-style linear
problems built from their published definitions, polynomial trends,
controlled condition, extreme units, exactly dependent columns and exact
fits. Each is a Design; `all_designs(heavy)` lists them by name."""

from __future__ import annotations

from dataclasses import dataclass
from fractions import Fraction

import numpy as np
import statsmodels.datasets as ds

# Filip's certified coefficients, rounded (NIST StRD)
FILIP_BETA = [
    -1467.48961422980,
    -2772.17959193342,
    -2316.37108160893,
    -1127.97394098372,
    -354.478233703349,
    -75.1242017393757,
    -10.8753180355343,
    -1.06221498588947,
    -0.670191154593408e-1,
    -0.246781078275479e-2,
    -0.402962525080404e-4,
]


@dataclass
class Design:
    """y on X; X holds its constant column when it has one, unless
    add_constant adds it. exact: an exact fit (every test has status -1003);
    otherwise a status other than 0 is wrong except where a test has no
    statistic for this design (Jarque-Bera below n = 10, no slopes)."""

    y: np.ndarray
    X: np.ndarray | None
    add_constant: bool = True
    lags: int = 4
    exact: bool = False

    def model(self) -> tuple[np.ndarray, int]:
        """The design the package fits (a constant prepended unless X has
        one, or add_constant is False) and its constant column (-1: none)."""
        n = self.y.shape[0]
        X = np.empty((n, 0)) if self.X is None else np.asarray(self.X, float)
        for j in range(X.shape[1]):
            if X[0, j] != 0 and np.all(X[:, j] == X[0, j]):
                return X, j
        if self.add_constant:
            return np.column_stack([np.ones(n), X]), 0
        return X, -1


def vander(x, deg):
    return np.column_stack([x**d for d in range(deg + 1)])


def norris(offset=0.0, seed=1):
    """Norris: y ~ x, n = 36, x over 0..1000 with one decimal, sd 0.88."""
    rng = np.random.default_rng(seed)
    x = np.round(rng.uniform(0, 1000, 36), 1)
    y = np.round(-0.262323 + 1.00211681802045 * x + 0.88 * rng.standard_normal(36), 1)
    return Design(y + offset, (x + offset)[:, None])


def pontius(seed=2):
    """Pontius: deflection on load and load^2, n = 40 (20 loads twice)."""
    rng = np.random.default_rng(seed)
    x = np.tile(np.arange(1.0, 21.0) * 150000.0, 2)
    y = 0.673565789473684e-3 + 0.732059160401003e-6 * x - 0.316081871345029e-14 * x**2
    return Design(y + 2.05e-4 * rng.standard_normal(40), np.column_stack([x, x**2]))


def noint1():
    """NoInt1: y = x + 70 for x = 60..70, fitted through the origin."""
    x = np.arange(60.0, 71.0)
    return Design(x + 70.0, x[:, None], add_constant=False)


def noint_random(seed=3, n=40):
    rng = np.random.default_rng(seed)
    X = rng.uniform(1, 10, (n, 2))
    return Design(X @ [1.5, -0.5] + rng.standard_normal(n), X, add_constant=False)


WAMPLER_X = np.arange(21.0)


def wampler(which, seed=4):
    """Wampler 1-5 on x = 0..20, degree 5: 1 the exact polynomial with unit
    coefficients, 2 with coefficients 10^-j (decimal data), 3-5 the first
    plus noise of sd 2e3, 2e5, 2e7."""
    x = WAMPLER_X
    X = vander(x, 5)
    if which == 2:
        y = np.array([float(sum(Fraction(1, 10**d) * int(v) ** d for d in range(6))) for v in x])
        return Design(y, X[:, 1:], exact=True)
    y = X.sum(axis=1)
    if which == 1:
        return Design(y, X[:, 1:], exact=True)
    sd = {3: 2e3, 4: 2e5, 5: 2e7}[which]
    return Design(y + sd * np.random.default_rng(seed + which).standard_normal(21), X[:, 1:])


def longley():
    d = ds.longley.load_pandas()
    return Design(d.endog.to_numpy(float, copy=True), d.exog.to_numpy(float, copy=True))


def filip(seed=5):
    """Filip-like: degree 10 in x over [-8.78, -3.13], n = 82, sd 0.0033."""
    rng = np.random.default_rng(seed)
    x = np.round(np.sort(rng.uniform(-8.781464495, -3.1324963, 82)), 7)
    y = vander(x, 10) @ FILIP_BETA + 0.00334801 * rng.standard_normal(82)
    return Design(y, vander(x, 10)[:, 1:])


def trend(deg, years=False, seed=6):
    """t^0..t^deg over t = 1..60, or over the years 1900..1959."""
    rng = np.random.default_rng(seed + deg)
    s = np.arange(60.0)
    t = s + (1900.0 if years else 1.0)
    y = vander(s / 60, deg) @ (10 * rng.standard_normal(deg + 1)) + rng.standard_normal(60)
    return Design(y, vander(t, deg)[:, 1:])


def conditioned(kappa, seed=7, n=80, p=4):
    """[1, U diag(s) V'] with s from 1 down to 1/kappa, U and V seeded
    orthogonal."""
    rng = np.random.default_rng(seed)
    U = np.linalg.qr(rng.standard_normal((n, p)))[0]
    V = np.linalg.qr(rng.standard_normal((p, p)))[0]
    A = U @ np.diag(np.geomspace(1, 1 / kappa, p)) @ V.T
    X = np.column_stack([np.ones(n), A])
    y = X @ rng.standard_normal(p + 1) + 0.1 / np.sqrt(n) * rng.standard_normal(n)
    return Design(y, X)


def units(col_scales, y_scale, seed=8, n=60):
    """[c0, x1, x2] with each column, the constant c0 included, and y in
    other units (the products of a column's and y's scales stay finite)."""
    rng = np.random.default_rng(seed)
    x = np.column_stack([np.ones(n), rng.standard_normal(n), np.arange(n) / n])
    y = x @ [1.0, 0.5, 2.0] + rng.standard_normal(n)
    return Design(y * y_scale, x * np.asarray(col_scales))


def repeated_constant(n, c=0.1, seed=9):
    """[1, c, x]: the second constant is exactly c times the first."""
    rng = np.random.default_rng(seed + n)
    x = rng.standard_normal(n)
    return Design(
        1 + 2 * x + rng.standard_normal(n), np.column_stack([np.ones(n), np.full(n, c), x])
    )


def not_exact(offset, slopes=True, seed=10, n=60):
    """offset + X b + N(0, 1): large against the noise, not an exact fit."""
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n, 2)) if slopes else None
    y = offset + (X @ [1.0, -1.0] if slopes else 0.0) + rng.standard_normal(n)
    return Design(y, X)


def exact(kind, n=40, seed=11):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(n)
    y = {"constant y": np.full(n, 3.7), "y = 0": np.zeros(n)}[kind]
    return Design(y, x[:, None], exact=True)


def all_designs(heavy: bool = False) -> dict[str, Design]:
    d = {
        "norris": norris(),
        "norris offset 1e6": norris(1e6),
        "norris offset 1e9": norris(1e9),
        "pontius": pontius(),
        "noint1": noint1(),
        "noint random": noint_random(),
        "longley": longley(),
        "filip": filip(),
    }
    d |= {f"wampler{w}": wampler(w) for w in (1, 2, 3, 4, 5)}
    d |= {f"trend t^{g}": trend(g) for g in range(1, 7)}
    d |= {f"trend years^{g}": trend(g, years=True) for g in range(1, 7)}
    d |= {f"kappa 1e{e}": conditioned(10.0**e) for e in range(2, 15, 2)}
    d |= {
        "units x 1e-300 y 1e-300": units([1, 1e-300, 1e-300], 1e-300),
        "units x 1e300 y 1e-300": units([1, 1e300, 1e300], 1e-300),
        "units mixed columns": units([1e-300, 1e300, 1.0], 1.0),
        "units y 1e300": units([1e-150, 1e-3, 1e-200], 1e300),
    }
    d |= {f"repeat-const 0.1 n={n}": repeated_constant(n) for n in (8, 12, 30, 60, 204)}
    d |= {f"repeat-const 1e200 n={n}": repeated_constant(n, 1e200) for n in (8, 30, 204)}
    d |= {
        "offset 2e7 + Xb": not_exact(2e7),
        "offset 1e10": not_exact(1e10, slopes=False),
        "offset 1e10 + Xb": not_exact(1e10),
        "constant y": exact("constant y"),
        "y = 0": exact("y = 0"),
    }
    if heavy:
        d |= {
            f"kappa 1e{e} seed {s}": conditioned(10.0**e, seed=s)
            for e in range(2, 15)
            for s in (20, 21)
        }
        d |= {f"kappa 1e{e} n=204 p=8": conditioned(10.0**e, 22, 204, 8) for e in (4, 8, 12, 14)}
        d |= {
            f"repeat-const 0.1 n={n} seed 30": repeated_constant(n, seed=30)
            for n in range(8, 205, 14)
        }
        d |= {
            f"repeat-const 1e200 n={n} seed 31": repeated_constant(n, 1e200, 31)
            for n in (12, 60, 120)
        }
        d |= {f"trend t^{g} lags 8": trend(g, seed=40) for g in range(1, 7)}
        for name in list(d):
            if name.endswith("lags 8"):
                d[name].lags = 8
    return d
