"""Kalvoren.diagnose and the per-test functions: parity with statsmodels on its
shipped data sets, scale invariance, the least-squares route, inputs, report."""

import dataclasses
import json
import math
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import Kalvoren
from Kalvoren import diagnostics
from Kalvoren._results import results_of

sm = pytest.importorskip("statsmodels.api")
from statsmodels.stats import diagnostic as smd  # noqa: E402
from statsmodels.stats.stattools import jarque_bera as sm_jb  # noqa: E402


def macro():
    d = sm.datasets.macrodata.load_pandas().data
    return d["realcons"], d[["realgdp", "realinv"]]


def longley():
    d = sm.datasets.longley.load_pandas()
    return d.endog, d.exog


def statsmodels_battery(y, X, lags, hac_lags):
    """The statistics whose definitions coincide with ours. Not compared:
    Chow (no statsmodels function; checked against lstsq in test_lstsq_route),
    CUSUM (statsmodels scales by the ddof=1 deviation of the recursive
    residuals, we by sqrt(RSS/m)), and p-values from tables (JB, CUSUM)."""
    res = sm.OLS(y, sm.add_constant(X)).fit()
    hac = sm.OLS(y, sm.add_constant(X)).fit(
        cov_type="HAC", cov_kwds={"maxlags": hac_lags, "use_correction": False}
    )
    k = res.params.shape[0]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        wald = float(np.squeeze(hac.wald_test(np.eye(k)[1:], scalar=True).statistic))
    return (
        {
            "breusch_godfrey": smd.acorr_breusch_godfrey(res, nlags=lags)[:2],
            "breusch_pagan": smd.het_breuschpagan(res.resid, res.model.exog, robust=False)[:2],
            "breusch_pagan_koenker": smd.het_breuschpagan(res.resid, res.model.exog, robust=True)[
                :2
            ],
            "ljung_box": tuple(smd.acorr_ljungbox(res.resid, lags=[lags]).iloc[0]),
            "jarque_bera": (sm_jb(res.resid)[0], None),
            "hac_wald": (wald, None),
        },
        res,
        hac,
    )


@pytest.mark.parametrize("data, tol", [(macro, 1e-11), (longley, 1e-9)])
def test_statsmodels_parity(data, tol):
    y, X = data()
    r = Kalvoren.diagnose(y, X, lags=3, hac_lags=3)
    ref, res, hac = statsmodels_battery(y, X, 3, 3)
    for tid, (stat, p) in ref.items():
        t = r.tests[tid]
        assert t.status == 0 and t.route == "kernel", tid
        # statsmodels forms the HAC Wald from an asymmetric covariance product: on
        # Longley it is 7e-8 off a 60-digit reference, which we match to 1e-11.
        assert t.statistic == pytest.approx(stat, rel=tol if tid != "hac_wald" else 1e-7), tid
        if p is not None:
            assert t.pvalue == pytest.approx(p, rel=1e-6, abs=1e-300), tid
    assert r.r2 == pytest.approx(res.rsquared, rel=1e-12)
    np.testing.assert_allclose(r.params, res.params.to_numpy(), rtol=1e-9)
    np.testing.assert_allclose(r.bse, hac.bse.to_numpy(), rtol=1e-7)
    assert r.tests["breusch_godfrey"].df == 3 and r.tests["chow"].df == (r.k, r.n - 2 * r.k)


def test_a_constant_the_design_spans_without_a_column_counts_as_one(rng):
    """A full set of dummies without a constant column spans it: the
    auxiliary regression's constant adds nothing, and its df is statsmodels'
    (one, two and many series)."""
    n = 90
    g = rng.integers(0, 3, n)
    x = rng.normal(size=n)
    D = np.eye(3)[g]
    y = x + (g == 1) + rng.normal(size=n) * (1 + (g == 2))
    explicit = sm.add_constant(np.column_stack([D[:, 1:], x]))
    e = sm.OLS(y, explicit).fit().resid
    frame = pd.DataFrame(np.column_stack([D, x]), columns=["d0", "d1", "d2", "x"]).assign(y=y)
    long = pd.concat([frame.assign(k=0), frame.assign(k=1)])
    many = Kalvoren.diagnose_many(
        long, by="k", y="y", x=["d0", "d1", "d2", "x"], add_constant=False
    )
    r = Kalvoren.diagnose(y, np.column_stack([D, x]), add_constant=False)
    for tid, robust in (("breusch_pagan", False), ("breusch_pagan_koenker", True)):
        stat, p = smd.het_breuschpagan(e, explicit, robust=robust)[:2]
        assert r.tests[tid].df == 3 and r.tests[tid].pvalue == pytest.approx(p, rel=1e-9)
        assert r.tests[tid].statistic == pytest.approx(stat, rel=1e-10)
        assert (many[f"{tid}_pvalue"] == r.tests[tid].pvalue).all()
    # hac_wald tests what the constant leaves, as with the constant written out
    hw, ref = r.tests["hac_wald"], Kalvoren.diagnose(y, explicit[:, 1:]).tests["hac_wald"]
    assert hw.df == ref.df == 3 and hw.statistic == pytest.approx(ref.statistic, rel=1e-10)
    assert hw.pvalue == pytest.approx(ref.pvalue, rel=1e-8)
    assert (many["hac_wald_statistic"] == hw.statistic).all()
    # whichever tests come along, and with any covariance (a plug-in bandwidth
    # follows the scores: the constant takes the place of the last dummy)
    t = np.arange(n)
    written = np.column_stack([D[:, :2], x])
    for kw in (
        {"tests": ["breusch_pagan_koenker", "hac_wald"]},
        {"tests": ["hac_wald"], "cov_type": "HC3"},
        {"tests": ["hac_wald"], "cov_options": {"kernel": "qs", "bandwidth": "andrews"}},
        {"tests": ["hac_wald"], "cov_options": {"prewhite": 1}},
        {"tests": ["hac_wald"], "cov_type": "cluster", "cov_options": {"groups": t // 9}},
        {"tests": ["hac_wald"], "cov_type": "driscoll-kraay", "cov_options": {"time": t // 3}},
    ):
        a = Kalvoren.diagnose(y, np.column_stack([D, x]), add_constant=False, **kw).tests
        b = Kalvoren.diagnose(y, written, **kw).tests
        assert a["hac_wald"].df == b["hac_wald"].df == 3, kw
        assert a["hac_wald"].statistic == pytest.approx(b["hac_wald"].statistic, rel=1e-9), kw
        assert a["hac_wald"].pvalue == pytest.approx(b["hac_wald"].pvalue, rel=1e-7), kw
    # without any constant, every coefficient is a slope
    bare = Kalvoren.diagnose(y, x, add_constant=False).tests["hac_wald"]
    assert bare.df == 1 and bare.statistic == pytest.approx(
        Kalvoren.diagnose(y, x, add_constant=False).wald("x1").statistic, rel=1e-10
    )


def test_longley_hac_wald_against_mpmath():
    mp = pytest.importorskip("mpmath")
    mp.mp.dps = 50
    y, X = longley()
    Xm = mp.matrix([[1] + [mp.mpf(repr(float(v))) for v in row] for row in X.to_numpy()])
    ym = mp.matrix([mp.mpf(repr(float(v))) for v in y])
    n, k, L = 16, 7, 2
    XtXi = mp.inverse(Xm.T * Xm)
    beta = XtXi * (Xm.T * ym)
    e = ym - Xm * beta
    g = [[Xm[t, j] * e[t] for j in range(k)] for t in range(n)]
    S = mp.matrix(k, k)
    for lag in range(L + 1):
        w = 1 - mp.mpf(lag) / (L + 1)
        for a in range(k):
            for b in range(k):
                s = w * mp.fsum(g[t][a] * g[t + lag][b] for t in range(n - lag))
                S[a, b] += s
                if lag:
                    S[b, a] += s
    V = XtXi * S * XtXi
    Vs = mp.matrix([[V[a, b] for b in range(1, k)] for a in range(1, k)])
    bs = mp.matrix([beta[j] for j in range(1, k)])
    W = float((bs.T * mp.inverse(Vs) * bs)[0])
    r = diagnostics.hac_wald(y, X, hac_lags=L)
    assert r.statistic == pytest.approx(W, rel=1e-10)
    assert r.df == 6


def test_scale_invariance():
    y, X = macro()
    base = Kalvoren.diagnose(y, X)
    for factor in (1e-9, 1e-3, 3.7, 1e5, 1e9):
        for col in X.columns:
            Xf = X.copy()
            Xf[col] = Xf[col] * factor
            r = Kalvoren.diagnose(y * (factor if col == "realinv" else 1.0), Xf)
            for tid, t in r.tests.items():
                assert t.route == "kernel" and t.status == 0, (factor, col, tid)
                assert t.statistic == pytest.approx(base.tests[tid].statistic, rel=1e-9), (
                    factor,
                    tid,
                )
    # powers of two are exact: identical bits
    r = Kalvoren.diagnose(y * 2.0**-40, X * 2.0**30)
    assert all(r.tests[t].statistic == base.tests[t].statistic for t in r.tests)


def test_collinear_design_takes_the_least_squares_route(rng):
    n = 120
    x1 = rng.normal(size=n)
    x3 = rng.normal(size=n)
    X = pd.DataFrame({"x1": x1, "x2": 2.0 * x1, "x3": x3})
    y = 1.0 + x1 - x3 + rng.normal(size=n)
    r = Kalvoren.diagnose(y, X, break_at=60)
    ref = Kalvoren.diagnose(y, X[["x1", "x3"]], break_at=60)
    assert r.rank == 3 and r.k == 4 and "dropped as collinear: 'x2'" in r.note
    for tid, t in r.tests.items():
        assert t.route == "least-squares", tid
        assert t.statistic == pytest.approx(ref.tests[tid].statistic, rel=1e-8), tid
        assert t.df == ref.tests[tid].df, tid
    assert r.tests["chow"].df == (3, n - 6)
    # tests computed in Python alone: the report still shows the fit of the columns kept
    for tid in ("sup_f", "ols_cusum", "arch_lm"):
        one = Kalvoren.diagnose(y, X, tests=[tid])
        assert one.rank == 3 and "dropped as collinear: 'x2'" in one.note, tid
        assert one.params.drop("x2").tolist() == pytest.approx(ref.params.tolist(), rel=1e-9)
        assert one.r2 == pytest.approx(ref.r2, rel=1e-12), tid


def test_lstsq_route_matches_the_kernels_on_a_full_rank_design(rng):
    """The least-squares route recomputes the same statistics as the kernels."""
    from Kalvoren import _engine

    n = 90
    X = np.column_stack([np.ones(n), rng.normal(size=(n, 2))])
    y = X @ [1.0, 2.0, -1.0] + rng.standard_t(4, size=n)
    model = Kalvoren.diagnose(y, X[:, 1:], break_at=40, hac_lags=3)
    m = diagnostics._prepare.prepare(y, X[:, 1:])
    batch = _engine.Batch(
        m.y, m.X, np.array([0, n]), False, m.const_col, 4, np.array([40]), np.array([3]),
        Kalvoren.DEFAULT_TESTS, m.x_names,
    )  # fmt: skip
    rec = _engine.run(batch)
    _engine.series_least_squares(batch, rec, 0)
    ls = _engine.finish(batch, rec, 0.05)
    for i, tid in enumerate(Kalvoren.DEFAULT_TESTS):
        assert ls.stat[0][i] == pytest.approx(model.tests[tid].statistic, rel=1e-9), tid


def test_inputs_are_accepted_alike(rng):
    n = 60
    X = rng.integers(0, 50, size=(n, 2))
    y = X @ [1, 2] + rng.integers(-3, 4, size=n)
    ref = Kalvoren.diagnose(y.astype(float), X.astype(float))
    frame = pd.DataFrame(X, columns=["a", "b"])
    ro = X.astype(float)
    ro.flags.writeable = False
    fitted = sm.OLS(pd.Series(y, name="y"), sm.add_constant(frame)).fit()
    for yy, XX in [(list(y), X.tolist()), (pd.Series(y), frame), (y, ro), (fitted, None)]:
        r = Kalvoren.diagnose(yy, XX)
        assert r.k == 3
        for tid in r.tests:
            assert r.tests[tid].statistic == pytest.approx(ref.tests[tid].statistic, rel=1e-12)
    assert Kalvoren.diagnose(fitted).x_names == ["const", "a", "b"]


@pytest.mark.parametrize(
    "y, X, kw, text",
    [
        ([1.0, 2, np.nan, 4, 5, 6, 7, 8], np.arange(8.0), {}, "column 'y'.*row 2"),
        (
            np.arange(8.0),
            pd.DataFrame({"u": [1.0, 2, 3, 4, np.inf, 6, 7, 8]}),
            {},
            "column 'u'.*row 4",
        ),
        (
            pd.Series(np.arange(8.0), name="a"),
            pd.DataFrame({"a": np.arange(8.0)}),
            {},
            "also among",
        ),
        (
            np.arange(8.0) ** 2,
            np.column_stack([np.arange(8.0), np.arange(8.0) ** 2]),
            {},
            "also among",
        ),
        (np.arange(8.0), pd.DataFrame([[1.0, 2.0]] * 8, columns=["a", "a"]), {}, "duplicate"),
        (np.arange(30.0), np.sin(np.arange(30.0)), {"lags": 0}, "lags must be"),
        (np.arange(30.0), np.sin(np.arange(30.0)), {"break_at": 1}, "break position"),
        (np.arange(3.0), np.arange(6.0).reshape(3, 2), {}, "too few"),
        (np.arange(8.0), np.arange(7.0), {}, "rows"),
        (np.arange(8.0), [["a"]] * 8, {}, "not numeric"),
    ],
)
def test_user_mistakes_raise_naming_the_culprit(y, X, kw, text):
    with pytest.raises(ValueError, match=text):
        Kalvoren.diagnose(y, X, **kw)


def test_report_outputs(tmp_path):
    y, X = macro()
    idx = pd.period_range("1959Q1", periods=len(y), freq="Q")
    y, X = y.set_axis(idx), X.set_axis(idx)
    r = Kalvoren.diagnose(y, X, break_at=pd.Period("1980Q1", "Q"))
    assert r.t_break == idx.get_loc(pd.Period("1980Q1", "Q"))
    frame = r.to_frame()
    assert list(frame.index) == list(Kalvoren.DEFAULT_TESTS) and frame.loc["chow", "reject"]
    d = json.loads(json.dumps(r.to_dict(), allow_nan=False))
    assert d["tests"]["jarque_bera"]["pvalue_bound"] is None and d["n"] == 203
    assert d["model"]["coefficients"]["realgdp"]["hac_se"] > 0
    text = str(r)
    assert "realgdp" in text and "breusch_godfrey" in text and "R^2" in text
    assert "<table" in r._repr_html_()
    stat, p = r.tests["ljung_box"]
    assert (stat, p) == (r.tests["ljung_box"].statistic, r.tests["ljung_box"].pvalue)
    mpl = pytest.importorskip("matplotlib")
    mpl.use("Agg")
    fig = r.plot()
    line = fig.axes[0].lines[0]
    assert len(line.get_xdata()) == r.n - r.k
    fig.savefig(tmp_path / "p.png")


def test_per_test_functions_equal_the_battery():
    y, X = macro()
    r = Kalvoren.diagnose(y, X, lags=2)
    pairs = {
        "breusch_godfrey": diagnostics.breusch_godfrey(y, X, lags=2),
        "breusch_pagan": diagnostics.breusch_pagan(y, X, robust=False),
        "breusch_pagan_koenker": diagnostics.breusch_pagan(y, X),
        "chow": diagnostics.chow(y, X),
        "cusum": diagnostics.cusum(y, X),
        "cusum_squares": diagnostics.cusum_squares(y, X),
        "ljung_box": diagnostics.ljung_box(y, X, lags=2),
        "jarque_bera": diagnostics.jarque_bera(y, X),
        "hac_wald": diagnostics.hac_wald(y, X),
    }
    for tid, t in pairs.items():
        assert t == r.tests[tid], tid
    x = np.sin(np.arange(100.0)) + 0.1 * np.arange(100) % 3
    lb = smd.acorr_ljungbox(x, lags=[5]).iloc[0]
    assert diagnostics.ljung_box(x, lags=5).statistic == pytest.approx(lb["lb_stat"], rel=1e-12)
    assert math.isclose(diagnostics.jarque_bera(x).statistic, sm_jb(x)[0], rel_tol=1e-12)


def _mp_residuals(y, X):
    import mp_ref
    import mpmath as mp

    with mp.workdps(mp_ref.DPS):
        Xm, ym = mp_ref._mat(X), mp_ref._vec(y)
        k = len(Xm[0])
        G = mp_ref._gram(Xm)
        h = [mp.fsum(Xm[i][a] * ym[i] for i in range(len(ym))) for a in range(k)]
        beta = mp_ref._solve(G, h)
        return np.array(
            [float(ym[i] - mp.fsum(Xm[i][c] * beta[c] for c in range(k))) for i in range(len(ym))]
        )


def _designs():
    t = np.arange(1.0, 61.0)
    rng = np.random.default_rng(7)
    quartic = np.column_stack([t, t**2, t**3, t**4])
    x1 = rng.normal(size=80)
    near = np.column_stack([x1, x1 + 1e-7 * rng.normal(size=80)])
    ly, lX = longley()
    my, mX = macro()
    return {
        "quartic trend": (quartic @ [1.0, -0.2, 0.01, -1e-4] + rng.normal(size=60), quartic),
        "nearly collinear": (x1 + rng.normal(size=80), near),
        "longley": (ly.to_numpy(), lX.to_numpy()),
        "macro levels": (my.to_numpy()[:120], mX.to_numpy()[:120]),
    }


@pytest.mark.parametrize("name", list(_designs()))
def test_every_reported_statistic_is_right_on_hard_designs(name):
    """Whatever route it takes, a status-0 statistic agrees with 60-digit
    references to 1e-8."""
    pytest.importorskip("mpmath")
    import mp_ref

    y, X = _designs()[name]
    n = len(y)
    r = Kalvoren.diagnose(y, X, lags=2, break_at=n // 2)
    Z = np.column_stack([np.ones(n), X])
    e = _mp_residuals(y, Z)
    _, _, koenker, lm = mp_ref.bp(e, Z)
    _, _, cusum, cusumsq = mp_ref.recursive(y, Z)
    ref = {
        "breusch_godfrey": mp_ref.bg(e, X, 2),
        "breusch_pagan": lm,
        "breusch_pagan_koenker": koenker,
        "chow": mp_ref.chow(y, Z, n // 2),
        "cusum": cusum,
        "cusum_squares": cusumsq,
        "ljung_box": smd.acorr_ljungbox(e, lags=[2]).iloc[0, 0],
        "jarque_bera": sm_jb(e)[0],
    }
    for tid, value in ref.items():
        t = r.tests[tid]
        if t.status == 0:
            assert t.statistic == pytest.approx(value, rel=1e-8), (tid, t.route)
        else:
            assert t.status == 1 or math.isnan(t.statistic), tid


def test_chow_with_a_segment_dummy_uses_the_segment_ranks(rng):
    """A step dummy at the break is zero before it and constant after it: each
    segment fit has rank 2, so F has (2 + 2 - 3, n - 4) degrees of freedom."""
    n = 100
    x = rng.normal(size=n)
    post = (np.arange(n) >= 50).astype(float)
    y = 1.0 + x + 2.0 * post + 0.5 * x * post + rng.normal(size=n)
    t = diagnostics.chow(y, np.column_stack([x, post]), break_at=50)

    def rss(A, b):
        r = b - A @ np.linalg.lstsq(A, b, rcond=None)[0]
        return r @ r

    Z = np.column_stack([np.ones(n), x])
    S = rss(np.column_stack([Z, post]), y)
    S12 = rss(Z[:50], y[:50]) + rss(Z[50:], y[50:])
    assert t.route == "least-squares" and t.df == (1, n - 4)
    assert t.statistic == pytest.approx((S - S12) / (S12 / (n - 4)), rel=1e-10)


@pytest.mark.parametrize("seed", range(40))
def test_plain_arrays_prepare_like_the_general_path(seed):
    """float64 arrays take a shorter way in; the model (or the error) must be
    the general path's, which lists of rows take."""
    from Kalvoren import _prepare

    r = np.random.default_rng(seed)
    n, k = int(r.integers(2, 9)), int(r.integers(0, 4))
    X = r.normal(size=(n, k)).round(int(r.integers(0, 2)))
    y = r.normal(size=n)
    kind = seed % 5
    if kind == 1 and k:
        X[:, r.integers(k)] = 3.0  # a constant column
    elif kind == 2 and k:
        X[r.integers(n), r.integers(k)] = [np.nan, np.inf][seed % 2]
    elif kind == 3 and k:
        y = X[:, r.integers(k)].copy()
    elif kind == 4:
        y[r.integers(n)] = 1e308
        y[r.integers(n)] = 1e308  # a sum that overflows, values that are finite
    add = bool(seed % 3)
    for Xs in (X, np.asfortranarray(X)):
        outcomes = []
        for yy, XX in ((y, Xs), (y.tolist(), Xs.tolist())):
            try:
                m = _prepare.prepare(yy, XX, add_constant=add)
                outcomes.append((m.y.tobytes(), m.X.tobytes(), m.X.shape, m.x_names, m.const_col))
            except ValueError as e:
                outcomes.append(str(e))
        assert outcomes[0] == outcomes[1]


@pytest.mark.parametrize(
    "case", ["wide constant", "wide y", "read-only", "constant after y-like", "zero column"]
)
def test_plain_arrays_prepare_like_the_general_path_wide_and_read_only(case):
    """The native pass over plain arrays works through the columns in blocks
    and cannot write to read-only arrays: neither may change the outcome."""
    from Kalvoren import _prepare

    r = np.random.default_rng(7)
    n, k = 9, 70
    X = r.normal(size=(n, k))
    y = r.normal(size=n)
    if case == "wide constant":
        X[:, 66] = -2.5
    elif case == "wide y":
        X[:, 5] = 1.0
        X[:, 68] = y
    elif case == "read-only":
        X[:, 3] = 4.0
        X.flags.writeable = y.flags.writeable = False
    elif case == "constant after y-like":
        X[:, 1] = y
        X[-1, 1] += 1.0  # equal to y but in the last row
        X[:, 64] = 7.0
    else:
        X[:, 2] = 0.0  # zero throughout: not a constant
    outcomes = []
    for yy, XX in ((y, X), (y.tolist(), X.tolist())):
        try:
            m = _prepare.prepare(yy, XX)
            outcomes.append((m.y.tobytes(), m.X.tobytes(), m.X.shape, m.x_names, m.const_col))
        except ValueError as e:
            outcomes.append(str(e))
    assert outcomes[0] == outcomes[1]


def test_option_checks_are_not_skipped_for_a_call_seen_before():
    from Kalvoren import _options

    assert _options.resolve(lags=1).lags == 1
    for bad in (True, 1.0, np.bool_(True)):
        with pytest.raises(TypeError, match="lags"):
            _options.resolve(lags=bad)
    assert _options.resolve(tests=["chow"]) is _options.resolve(tests=["chow"])
    # equal lists of other types are other options
    assert _options.resolve(bp_regressors=[1, 2]).extra["bp_regressors"] == (1, 2)
    for bad in ([True, 2], [1.0, 2.0], (True, 2)):
        with pytest.raises(TypeError, match="bp_regressors"):
            _options.resolve(bp_regressors=bad)


def test_a_shape_seen_before_gives_what_a_first_call_gives():
    """The options' work for a shape is kept per call: the same calls in
    another order, or with nothing kept, give the same reports and errors."""
    from Kalvoren import _options, diagnostics

    r = np.random.default_rng(5)
    calls = [
        (200, 2, {}),
        (60, 3, {"break_at": 20}),
        (60, 3, {"break_at": 57}),  # refused at this n
        (12, 3, {"lags": 8}),  # refused at this n
        (12, 3, {}),
        (60, 3, {"hac_lags": "llsw"}),
        (200, 2, {"tests": ["chow"], "cov_type": "HC1"}),
        (200, 2, {"break_label": 150}),
        (60, 3, {"lags": 3}),
        (60, 3, {"add_constant": False}),
        (60, 2, {}),  # a constant among the columns: a lane of its own
        (60, 2, {}),  # a value that is not finite
        (60, 2, {}),  # y among the columns
        (60, 2, {}),  # read-only arrays
    ]
    data = [(r.normal(size=n), r.normal(size=(n, k))) for n, k, _ in calls]
    data[-4][1][:, 1] = 2.0
    data[-3][1][7, 0] = np.nan
    data[-2][1][:, 1] = data[-2][0]
    for a in data[-1]:
        a.flags.writeable = False

    def outcome(i: int) -> str:
        try:
            return Kalvoren.diagnose(*data[i], **calls[i][2]).to_json()
        except ValueError as e:
            return repr(e)

    first = []
    for i in range(len(calls)):
        diagnostics._LANES.clear()
        diagnostics._BATTERY.clear()
        diagnostics._LAST_PLAIN = (object(),) * 6
        _options._RESOLVED.clear()
        first.append(outcome(i))
    for order in (range(len(calls)), reversed(range(len(calls)))):
        for i in order:
            assert outcome(i) == first[i], calls[i]


@pytest.mark.parametrize(
    "n, k, kw",
    [
        (200, 3, {}),
        (30, 2, {"lags": 2}),
        (25, 1, {}),
        (80, 4, {"bg_form": "lm", "hac_pvalue": "chi2"}),
        (60, 3, {"add_constant": False}),
        (500, 2, {"hac_lags": 40, "tests": ["hac_wald", "chow", "jarque_bera"]}),
        (40, 3, {"tests": ["cusum", "cusum_squares", "ljung_box"], "lb_model_df": 1}),
        (15, 2, {}),
        (12000, 2, {"tests": ["cusum", "cusum_squares", "chow"]}),  # beyond the CUSUM tables
    ],
)
def test_the_clean_finish_equals_the_general_one(n, k, kw):
    """A series the kernels finish cleanly skips the general finishing: every
    number, note and record field must be the general path's, bit for bit."""
    from Kalvoren import _engine

    r = np.random.default_rng(n * 10 + k)
    X = r.normal(size=(n, k))
    for walk in (False, True):  # a random walk's CUSUM leaves the table: the general way
        y = np.cumsum(r.normal(size=n)) if walk else X @ np.ones(k) + r.standard_t(4, size=n)
        batch = Kalvoren.diagnose(y, X, **kw)._batch
        res = _engine.native(batch)
        parts = _engine.finish_clean_parts(batch, res, 0.05)
        clean = None if parts is None else _engine.clean_results(parts, 0.05)
        if n == 200:
            assert (clean is None) == walk
        if clean is None:
            continue
        general = _engine.finish(batch, _engine.run(batch, lambda _: res), 0.05)
        for name in ("stat", "pvalue", "df1", "df2", "status", "least_squares", "bound", "note"):
            a, b = getattr(clean, name), getattr(general, name)
            assert np.array(a, dtype=object).tolist() == np.array(b, dtype=object).tolist() or (
                np.array_equal(np.array(a, float), np.array(b, float), equal_nan=True)
            ), name
        c, g = clean.record, general.record
        assert c.references == g.references and c.notes == g.notes and c.extra == g.extra
        # the results built natively are those the general way builds, field for field
        built = results_of(general, 0, 0.05, batch.tests)
        assert {t: repr(dataclasses.astuple(r)) for t, r in clean.first.items()} == {
            t: repr(dataclasses.astuple(r)) for t, r in built.items()
        }
        for name in ("rank", "chow_df", "least_squares", "status", "stat", "df", "pvalue"):
            assert np.array_equal(getattr(c, name), getattr(g, name), equal_nan=True), name


_R = np.random.default_rng(17)
_X = _R.normal(size=(30, 2))
_Y = _X @ [1.0, -1.0] + _R.normal(size=30)
_MASKED = np.ma.masked_array(_X, mask=np.arange(60).reshape(30, 2) == 9)
_OBJ = pd.DataFrame(_X, columns=["a", "b"]).astype(object)
_OBJ.iloc[4, 1] = pd.NA
_FIT = sm.OLS(_Y, sm.add_constant(_X)).fit()


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda: Kalvoren.diagnose(_Y, _X + 1j), ValueError, r"X is not numeric \(complex"),
        (
            lambda: Kalvoren.diagnose(
                pd.Series(_Y), pd.DataFrame(_X).assign(t=pd.date_range("2000", periods=30))
            ),
            ValueError,
            "column 't' is not numeric",
        ),
        (lambda: Kalvoren.diagnose(_Y, _MASKED), ValueError, "'x2' has a missing .* row 4"),
        (lambda: Kalvoren.diagnose(pd.Series(_Y), _OBJ), ValueError, "'b' has a missing .* row 4"),
        (lambda: Kalvoren.diagnose(_FIT, _X), TypeError, "X must be None"),
        (
            lambda: Kalvoren.diagnose(sm.OLS(_Y, _X).fit_regularized(alpha=0.1)),
            TypeError,
            "penalised",
        ),
        (lambda: Kalvoren.diagnose(_Y[:6], _X[:6], lags=1), ValueError, "needs n >= 2k \\+ 2 = 8"),
    ],
)
def test_inputs_numpy_would_bend_are_refused_naming_the_problem(call, error, match):
    with pytest.raises(error, match=match):
        call()


def test_inputs_read_as_the_user_means_them():
    stats = lambda r: [t.statistic for t in r.tests.values()]  # noqa: E731
    base = Kalvoren.diagnose(_Y, _X)
    assert stats(Kalvoren.diagnose(pd.Index(_Y), _X)) == stats(base)
    # a partial date naming one row, as pandas' .loc reads it
    monthly = pd.Series(_Y, index=pd.date_range("2000-01-01", periods=30, freq="MS"))
    r = Kalvoren.diagnose(monthly, _X, break_label="2001-03")
    assert stats(r) == stats(Kalvoren.diagnose(_Y, _X, break_at=14))
    # NumPy data fitted with missing="drop": rows keep their numbers
    y = _Y.copy()
    y[[3, 7]] = np.nan
    fit = sm.OLS(y, sm.add_constant(_X), missing="drop").fit()
    r = Kalvoren.diagnose(fit, break_label=20)
    assert list(r.index[:4]) == [0, 1, 2, 4] and r.break_at == 20
    assert stats(r) == stats(Kalvoren.diagnose(fit, break_at=18))
    # the added constant takes a name of its own
    r = Kalvoren.diagnose(pd.Series(_Y), pd.DataFrame(_X, columns=["const", "_const"]))
    assert r.params.index.is_unique and len(r.to_dict()["model"]["coefficients"]) == 3


@pytest.mark.parametrize(
    "kw", [{}, {"cov_type": "HC3"}, {"tests": ["sup_f", "reset"]}, {"add_constant": False}]
)
def test_a_report_pickles(kw):
    """Reports cross processes and caches (joblib, multiprocessing) whole."""
    import pickle

    r = np.random.default_rng(3)
    idx = pd.date_range("2000", periods=80, freq="MS")
    y = pd.Series(r.normal(size=80), index=idx, name="sales")
    X = pd.DataFrame(r.normal(size=(80, 2)), index=idx, columns=["a", "b"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        rep = Kalvoren.diagnose(y, X, **kw)
        back = pickle.loads(pickle.dumps(rep))
        assert (back.to_json(), str(back)) == (rep.to_json(), str(rep))
        pd.testing.assert_frame_equal(back.cov, rep.cov)
        assert back.tests == rep.tests


@pytest.mark.parametrize("add_constant", [True, False])
@pytest.mark.parametrize("X", [None, np.empty((30, 0))])
def test_a_design_without_columns_twice(X, add_constant):
    """The second call takes the one native call; without columns and without
    a constant there is no column to read. Ljung-Box on y itself is
    statsmodels' (autocorrelations about the mean, either way)."""
    code = (
        "import numpy as np, Kalvoren, warnings; warnings.simplefilter('ignore')\n"
        "y = np.random.default_rng(0).standard_normal(30)\n"
        f"X = {'None' if X is None else 'np.empty((30, 0))'}\n"
        f"a, b = (Kalvoren.diagnose(y, X, add_constant={add_constant}) for _ in range(2))\n"
        "assert a.to_json() == b.to_json()\n"
        "print(b.tests['ljung_box'].statistic)\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    from statsmodels.stats.diagnostic import acorr_ljungbox

    q = acorr_ljungbox(np.random.default_rng(0).standard_normal(30), lags=[4]).lb_stat.iloc[0]
    assert float(run.stdout) == pytest.approx(q, rel=1e-12)


def test_a_pickled_record_keeps_its_views_on_its_block():
    import pickle

    r = np.random.default_rng(4)
    rec = Kalvoren.diagnose(r.normal(size=40), r.normal(size=(40, 2)))._record
    rec.status  # the views made before pickling
    back = pickle.loads(pickle.dumps(rec))
    for name in ("status", "stat", "df", "pvalue"):
        assert np.shares_memory(getattr(back, name), back.block), name
        np.testing.assert_array_equal(getattr(back, name), getattr(rec, name))
