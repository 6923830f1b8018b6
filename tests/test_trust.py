"""Confident wrong answers that once came back with status 0, one row each."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest

import Kalvoren

rng = np.random.default_rng(20261208)


def diagnose(*a, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", Kalvoren.KalvorenWarning)
        return Kalvoren.diagnose(*a, **kw)


def agree(r, ref, tol):
    """Every test of r has ref's status and, at status 0, its statistic."""
    for tid, t in r.tests.items():
        u = ref.tests[tid]
        assert t.status == u.status, tid
        if t.status == 0:
            assert t.statistic == pytest.approx(u.statistic, rel=tol, abs=tol), tid
            assert t.df == u.df, tid


def finite_or_refused(r):
    for tid, t in r.tests.items():
        assert (t.status == 0) == (math.isfinite(t.statistic) and math.isfinite(t.pvalue)), tid


@pytest.mark.parametrize("n", [8, 9, 23, 50, 101, 204])
@pytest.mark.parametrize("c", [0.1, 1e200, -3.7e-250])
def test_a_second_constant_is_dropped_not_the_regressor(n, c):
    x = rng.normal(size=n)
    y = 1 + x + rng.normal(size=n)
    r = diagnose(y, np.column_stack([np.ones(n), np.full(n, c), x]))
    assert r.rank == 2 and "'x2'" in r.note
    agree(r, diagnose(y, x), 1e-9)


def test_a_column_constant_within_one_group():
    G, n = 4, 40
    frame = pd.DataFrame(
        {
            "store": np.repeat(np.arange(G), n),
            "size": np.repeat([1.0, 2.0, 3.0, 0.1], n),  # one value per store
            "x": rng.normal(size=G * n),
        }
    )
    frame["y"] = 2 + frame["x"] + rng.normal(size=G * n)
    many = Kalvoren.diagnose_many(frame, by="store", y="y", x=["size", "x"])
    for g, part in frame.groupby("store"):
        ref = diagnose(part["y"].to_numpy(), part["x"].to_numpy())
        for tid, t in ref.tests.items():
            assert many.loc[g, f"{tid}_status"] == t.status, tid
            if t.status == 0:
                assert many.loc[g, f"{tid}_statistic"] == pytest.approx(t.statistic, rel=1e-9)


def _trend(n=60):
    t = np.arange(1.0, n + 1)
    X = np.column_stack([t, t**2, t**3, t**2 + 1e-3 * rng.normal(size=n)])
    return X @ [1, 0.1, 0.01, 0.0] + 50 * rng.normal(size=n), X


@pytest.mark.parametrize("scale", [1e290, 1e-300, 2.0**600, 1e-160])
def test_results_do_not_depend_on_units_at_the_edges_of_the_range(scale):
    y, X = _trend()
    base = diagnose(y, X)
    assert base.tests["chow"].route == "least-squares"
    agree(diagnose(y * scale, X * scale), base, 1e-8)
    agree(diagnose(y, X * scale), base, 1e-8)
    many = Kalvoren.diagnose_many(np.stack([y, y * scale]), X)  # one group must not spoil the call
    assert many["chow_statistic"].iloc[1] == pytest.approx(base.tests["chow"].statistic, rel=1e-8)


@pytest.mark.parametrize("level", [2e7, 1e10])
def test_a_large_level_is_not_an_exact_fit(level):
    n = 50
    x = rng.normal(size=n)
    e = rng.normal(size=n)
    r = diagnose(level + x + e, x)
    # residuals, hence every statistic, are those of the fit without the level,
    # to the digits that storing y to double precision leaves
    agree(r, diagnose(x + e, x), 1e5 * np.finfo(float).eps * level)


def _wampler(b):
    x = np.arange(21.0)
    V = np.vander(x, 6, increasing=True)
    return V @ b, V[:, 1:]


@pytest.mark.parametrize(
    "y, X",
    [
        _wampler(np.ones(6)),
        _wampler(0.1 ** np.arange(6)),
        (np.zeros(30), rng.normal(size=30)),
        (np.full(30, 3.0), rng.normal(size=30)),
    ],
    ids=["wampler1", "wampler2", "y = 0", "constant y"],
)
def test_exact_fits_have_no_statistics(y, X):
    r = diagnose(y, X)
    assert {t.status for t in r.tests.values()} == {-1003}


def test_chow_never_negative_and_one_rule_for_exact_segments():
    # F = 0 in exact arithmetic: the same line on both sides, on the least-squares route
    n = 40
    t = np.arange(1.0, n + 1)
    X = np.column_stack([t, t**2 + 1e-9 * t**3])
    for _ in range(30):
        y = X @ [1.0, 2.0] + rng.normal(size=n)
        c = diagnose(y, X, break_at=n // 2).tests["chow"]
        assert c.status != 0 or c.statistic >= 0
    # both segments fitted exactly: no variance to compare with, on either route
    y = np.r_[np.full(10, 1.0), np.full(10, -1.0)]
    for X in (np.ones((20, 1)), np.column_stack([np.ones(20), np.ones(20) * 2])):
        r = diagnose(y, X, add_constant=False, break_at=10)
        assert r.tests["chow"].status == -1003


def test_status_zero_means_finite_numbers():
    for X in (None, np.ones((40, 1))):
        r = diagnose(rng.normal(size=40), X)
        finite_or_refused(r)
        assert r.tests["breusch_pagan"].status == -1007
        assert "no slope" in r.tests["breusch_pagan"].note


def test_least_squares_recursion_starts_where_the_data_allow():
    years = np.arange(1900.0, 1960.0)
    X = np.vander(years, 7, increasing=True)[:, 1:]
    y = rng.normal(size=60)
    r = diagnose(y, X)
    assert r.tests["cusum"].route == "least-squares" and r.rank == 7
    assert r.tests["cusum"].status == 0
    assert r.condition > 1e8 and "digits" in r.tests["cusum"].note
    with pytest.warns(Kalvoren.KalvorenWarning, match="digits"):
        Kalvoren.diagnose(y, X)
    assert len(r.paths()["cusum"]) == 60 - 7


@pytest.mark.parametrize("extra", ["duplicate", "zeros", "sum"])
def test_the_plotted_cusum_path_is_the_one_behind_the_statistic(extra):
    """With a collinear column dropped, the paths come from the columns kept:
    the path's own maximum is the reported statistic."""
    X = rng.normal(size=(50, 2))
    y = X @ [1.0, -1.0] + rng.normal(size=50)
    col = {"duplicate": X[:, 0], "zeros": np.zeros(50), "sum": X[:, 0] - 2 * X[:, 1]}
    r = diagnose(y, np.column_stack([X, col[extra]]))
    assert r.tests["cusum"].route == "least-squares"
    path = r.paths()["cusum"]
    m = len(path)
    shape = np.sqrt(m) + 2 * np.arange(m) / np.sqrt(m)
    assert m == 50 - 3
    assert np.max(np.abs(path) / shape) == pytest.approx(r.tests["cusum"].statistic, rel=1e-12)


def test_condition_is_reported_everywhere():
    y, X = rng.normal(size=30), rng.normal(size=(30, 2))
    r = diagnose(y, X)
    assert 1 <= r.condition < 10 and r.to_dict()["model"]["condition"] == r.condition
    many = Kalvoren.diagnose_many(y[None, :], X)
    assert many["condition"].iloc[0] == r.condition


def test_a_long_sample_keeps_chow_on_the_kernel_route():
    # small F on 10^6 rows once cancelled in S - S1 - S2 and fell to least squares
    from Kalvoren import _lstsq

    n = 10**6
    x = rng.normal(size=(n, 2))
    y = 1 + x @ [0.5, -0.2] + rng.normal(size=n)
    c = diagnose(y, x, tests=["chow"]).tests["chow"]
    X = np.column_stack([np.ones(n), x])
    F, df, status, _ = _lstsq.chow(y, X, n // 2)
    assert c.route == "kernel" and c.df == df and c.statistic == pytest.approx(F, rel=1e-9)


def test_a_step_at_the_break_is_not_taken_for_lost_digits():
    """A column constant within a segment is dropped there; the digits come
    from the columns each segment fits."""
    n, t = 80, 40
    x = rng.normal(size=n)
    step = (np.arange(n) >= t).astype(float)
    y = 1 + x + 0.5 * step + rng.normal(size=n)
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        r = diagnose(y, np.column_stack([x, step]), break_at=t)
    assert r.tests["chow"].status == 0 and r.tests["chow"].df == (1, n - 4)
    assert "digits" not in r.tests["chow"].note
    assert not [w for w in seen if "digits" in str(w.message)]


def test_rainbow_counts_a_column_the_centre_lacks():
    """A dummy of outer rows is spanned by the outer rows' own parameters: the
    F test of one parameter per outer row, computed directly."""
    n = 60
    x = rng.normal(size=n)
    event = np.zeros(n)
    event[:5] = 1.0
    X = np.column_stack([np.ones(n), x, event])
    y = X @ [1.0, 1.0, 0.5] + rng.normal(size=n)
    r = diagnose(y, X[:, 1:], tests=["rainbow"]).tests["rainbow"]
    lo, hi = 15, 45  # the central half, as lmtest's raintest takes it
    outer = np.eye(n)[:, [i for i in range(n) if not lo <= i < hi]]
    full = np.column_stack([X, outer])
    rss = [np.sum((y - Z @ np.linalg.lstsq(Z, y, rcond=None)[0]) ** 2) for Z in (X, full)]
    rank = np.linalg.matrix_rank(full)
    d1, d2 = rank - 3, n - rank
    assert r.df == (d1, d2) == (29, 28)
    assert r.statistic == pytest.approx(((rss[0] - rss[1]) / d1) / (rss[1] / d2), rel=1e-10)


def test_tests_that_need_a_constant_say_so_without_one():
    n = 80
    x = rng.normal(size=n)
    g = np.repeat([0, 1], n // 2)
    y = 1 + x + rng.normal(size=n)
    bare = diagnose(y, x, add_constant=False, tests=["ols_cusum", "ols_mosum"])
    assert all(t.status == Kalvoren.Status.BAD_ARG for t in bare.tests.values())
    assert "needs a constant" in bare.tests["ols_cusum"].note
    dummies = np.column_stack([g == 0, g == 1, x]).astype(float)  # the constant, implicitly
    spanned = diagnose(y, dummies, add_constant=False, tests=["ols_cusum", "ols_mosum"])
    assert all(t.status == 0 for t in spanned.tests.values())
    # the F form of Breusch-Godfrey when the lags fit e exactly: a status, not 1/0
    short = diagnose(
        y[:8], x[:8], add_constant=False, lags=6, bg_form="f", tests=["breusch_godfrey"]
    )
    assert short.tests["breusch_godfrey"].status != 0 or math.isfinite(
        short.tests["breusch_godfrey"].statistic
    )


def test_one_recursive_residual_is_too_short_for_the_cusums():
    """A column non-zero only in the last two rows starts the recursion one
    row before the end: both CUSUM statistics would be constants."""
    x = rng.normal(size=30)
    late = np.zeros(30)
    late[-2:] = [1.0, 2.0]
    y = 1 + x + rng.normal(size=30) * 5
    r = diagnose(y, np.column_stack([x, late]), tests=["cusum", "cusum_squares"])
    assert [t.status for t in r.tests.values()] == [Kalvoren.Status.TOO_SHORT] * 2


def _designs():
    r = np.random.default_rng(5)
    n = 60
    x = r.normal(size=(n, 1))
    D = np.eye(3)[np.arange(n) % 3]
    y = x[:, 0] + r.normal(size=n)
    yield "dummies", y, np.column_stack([x, D]), {"add_constant": False}
    yield "collinear", y, np.column_stack([x, 2 * x, r.normal(size=n)]), {}
    yield "short", r.normal(size=14), r.normal(size=(14, 2)), {"lags": 2}
    yield "parzen", y, x, {"hac_lags": 80, "cov_options": {"kernel": "parzen"}}


@pytest.mark.parametrize("name, y, X, kw", list(_designs()), ids=[d[0] for d in _designs()])
def test_a_test_gives_the_same_alone_as_in_the_battery(name, y, X, kw):
    """A test's whole outcome does not depend on which other tests run beside
    it, nor on diagnose or diagnose_many."""
    every = diagnose(y, X, tests=list(Kalvoren.TEST_IDS), **kw).tests
    cols = [f"x{j}" for j in range(X.shape[1])]
    frame = pd.DataFrame(X, columns=cols).assign(y=y, g=0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", Kalvoren.KalvorenWarning)
        many = Kalvoren.diagnose_many(frame, by="g", y="y", x=cols, tests=list(every), **kw)
    for tid in Kalvoren.TEST_IDS:
        partner = "hac_wald" if tid != "hac_wald" else "breusch_pagan_koenker"
        alone = diagnose(y, X, tests=[tid], **kw).tests[tid]
        pair = diagnose(y, X, tests=[tid, partner], **kw).tests[tid]
        for other in (every[tid], pair):
            assert (alone.status, alone.route, alone.df, alone.note) == (
                other.status,
                other.route,
                other.df,
                other.note,
            ), (name, tid)
            if alone.status == 0:
                assert alone.statistic == pytest.approx(other.statistic, rel=1e-9), (name, tid)
                assert alone.pvalue == pytest.approx(other.pvalue, rel=1e-9), (name, tid)
        assert many.loc[0, f"{tid}_status"] == alone.status, (name, tid)
        if alone.status == 0:
            assert many.loc[0, f"{tid}_statistic"] == pytest.approx(alone.statistic, rel=1e-9)
