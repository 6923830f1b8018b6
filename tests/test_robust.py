"""Robust covariances against R's sandwich (tests/data/sandwich_refs.json,
written by scripts/r_refs/sandwich.R), statsmodels and Stata; the plug-in
bandwidths against the papers' formulas written out here; and the covariance
choice through diagnose, diagnose_many, Dask and the command line."""

import contextlib
import io
import json
import math
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from statsmodels.regression.linear_model import OLS

import Kalvoren
from Kalvoren import OptionError, Status, _prepare, _robust, diagnostics

DATA = Path(__file__).parent / "data"
REFS = json.loads((DATA / "sandwich_refs.json").read_text())["cases"]


def dataset(name):
    """y, X and the frame the cluster and panel columns come from."""
    if name == "investment":  # Greene (1993), Table 13.1
        df = pd.read_csv(DATA / "Investment.csv").dropna(subset=["RealInv", "RealGNP", "RealInt"])
        return df.RealInv, df[["RealGNP", "RealInt"]], df
    if name == "schools":  # Greene (1993), Table 14.1; Wisconsin has no expenditure
        df = pd.read_csv(DATA / "PublicSchools.csv").dropna()
        inc = df.Income * 1e-4
        return df.Expenditure, pd.DataFrame({"Income": inc, "Income2": inc**2}), df
    if name == "petersen":  # Petersen (2009)
        df = pd.read_csv(DATA / "PetersenCL.csv")
        return df.y, df[["x"]], df
    df = pd.read_csv(DATA / "robust_sim.csv")
    return df.y, df[["x1", "x2"]], df


def columns_of(options, df):
    """The options with cluster and panel column names replaced by arrays."""
    out = dict(options)
    for key in ("groups", "time", "entity"):
        if key in out:
            v = out[key]
            out[key] = [df[c].to_numpy() for c in v] if isinstance(v, list) else df[v].to_numpy()
    return out


def cov_of(y, X, cov_type, **options):
    return _robust.model_cov(_prepare.prepare(y, X), _robust.choice_of(cov_type, options), X)


@pytest.mark.parametrize("case", REFS, ids=lambda c: f"{c['data']}: {c['call']}")
def test_equals_r_sandwich(case):
    y, X, df = dataset(case["data"])
    cov = cov_of(y, X, case["cov_type"], **columns_of(case["options"], df))
    np.testing.assert_allclose(cov.matrix, np.array(case["cov"]), rtol=1e-10, atol=0)
    for ours, theirs in ((cov.bandwidth, case["bandwidth"]), (cov.plug_in, case["plug_in"])):
        if theirs is not None:
            assert ours == pytest.approx(theirs, rel=1e-12)


# The values printed in the examples of R's sandwich package.
@pytest.mark.parametrize(
    "name, cov_type, options, entry, value",
    [
        ("investment", "HAC", {"bandwidth": "nw1994", "prewhite": 1}, (0, 0), 594.1004817),
        ("investment", "HAC", {"bandwidth": 4}, (0, 0), 359.4170681),
        (
            "investment",
            "HAC",
            {"kernel": "qs", "bandwidth": "andrews", "prewhite": 1, "adjust": True},
            (0, 0),
            788.6120652,
        ),
        ("schools", "HC0", {}, "se", [460.8917, 1243.0430, 829.9927]),
        ("petersen", "cluster", {"groups": "firm"}, (0, 0), 4.490702e-03),
    ],
)
def test_published_sandwich_values_through_diagnose(name, cov_type, options, entry, value):
    y, X, df = dataset(name)
    if name == "petersen":  # the cluster named as a level of the data's index
        idx = pd.MultiIndex.from_frame(df[["firm", "year"]])
        y, X = y.set_axis(idx), X.set_axis(idx)
    r = Kalvoren.diagnose(y, X, cov_type=cov_type, cov_options=options)
    got = r.bse.to_numpy() if entry == "se" else r.cov.iloc[entry]
    np.testing.assert_allclose(got, value, rtol=5e-7)
    assert r.cov_type == cov_type
    if options.get("bandwidth") == "andrews":
        assert r.bandwidth == pytest.approx(1.744749, rel=1e-6)


def _macro():
    from statsmodels.datasets import macrodata

    d = macrodata.load_pandas().data
    g_gdp = 400 * np.diff(np.log(d["realgdp"].to_numpy()))
    g_inv = 400 * np.diff(np.log(d["realinv"].to_numpy()))
    return g_inv, np.column_stack([g_gdp, d["realint"].to_numpy()[:-1]])


@pytest.mark.parametrize(
    "cov_type, options, sm_type, sm_kwds",
    [
        *[(t, {}, t, {}) for t in ("HC0", "HC1", "HC2", "HC3")],
        *[
            ("HAC", {"bandwidth": L, "adjust": adj}, "HAC", {"maxlags": L, "use_correction": adj})
            for L in (0, 1, 4, 9)
            for adj in (False, True)
        ],
    ],
)
def test_equals_statsmodels(cov_type, options, sm_type, sm_kwds):
    import statsmodels.api as sm

    y, X = _macro()
    res = sm.OLS(y, sm.add_constant(X)).fit(cov_type=sm_type, cov_kwds=sm_kwds)
    ours = Kalvoren.robust_cov(y, X, cov_type, **options).to_numpy()
    np.testing.assert_allclose(ours, res.cov_params(), rtol=1e-10)


def test_clusters_equal_statsmodels_and_stata():
    import statsmodels.api as sm
    from statsmodels.datasets import grunfeld
    from statsmodels.regression.tests.results import results_grunfeld_ols_robust_cluster as rg
    from statsmodels.regression.tests.results import results_macro_ols_robust as rm

    g = grunfeld.load_pandas().data[:200]  # the rows of statsmodels' Stata runs
    y, X = g["invest"].to_numpy(), g[["value", "capital"]].to_numpy()
    firm, year = pd.factorize(g["firm"])[0], pd.factorize(g["year"])[0]
    for groups in ([firm], [firm, year]):
        for fix in (True, False):
            kw = {"groups": np.column_stack(groups), "use_correction": fix}
            res = sm.OLS(y, sm.add_constant(X)).fit(cov_type="cluster", cov_kwds=kw)
            ours = Kalvoren.robust_cov(y, X, "cluster", groups=groups, correction=fix)
            np.testing.assert_allclose(ours.to_numpy(), res.cov_params(), rtol=1e-10)
    ours = Kalvoren.robust_cov(y, X, "cluster", groups=firm).to_numpy()
    # Stata (regress, vce(cluster); ivreg2 dkraay(5)) on its own copy of the
    # data, which differs from statsmodels' in the last digits
    perm = [1, 2, 0]  # Stata lists the constant last
    dk = Kalvoren.robust_cov(y, X, "driscoll-kraay", time=g["year"], bandwidth=4, adjust=False)
    for V, ref in (
        (ours, rg.results_cluster),
        (dk.to_numpy(), rg.results_nw_groupsum4_ivreg_large),
    ):
        np.testing.assert_allclose(V[np.ix_(perm, perm)], ref.cov, rtol=1e-6)
    # Stata's newey, lag(4) (with its n/(n-k) factor) on the macro data
    y, X = _macro()
    V = Kalvoren.robust_cov(y, X, "HAC", bandwidth=4, adjust=True).to_numpy()
    np.testing.assert_allclose(V[np.ix_(perm, perm)], rm.results_newey4.cov, rtol=1e-10)


# ------------------------------------------------- the plug-in bandwidths


def _scores(y, X, prewhite):
    """x_t e_t (with the constant column first), VAR(1)-prewhitened when asked."""
    Z = np.column_stack([np.ones(len(y)), X])
    e = y - Z @ np.linalg.lstsq(Z, y, rcond=None)[0]
    U = Z * e[:, None]
    if prewhite:
        A = np.linalg.lstsq(U[:-1], U[1:], rcond=None)[0]
        U = U[1:] - U[:-1] @ A
    return U


def andrews_by_hand(U, kernel):
    """Andrews (1991), eq. (6.4) with AR(1) fits per slope column."""
    a1n = a2n = den = 0.0
    for u in U[:, 1:].T:
        rho, c = np.polyfit(u[:-1], u[1:], 1)
        s2 = np.mean((u[1:] - c - rho * u[:-1]) ** 2)
        den += s2**2 / (1 - rho) ** 4
        a1n += 4 * rho**2 * s2**2 / ((1 - rho) ** 6 * (1 + rho) ** 2)
        a2n += 4 * rho**2 * s2**2 / (1 - rho) ** 8
    m = len(U)
    if kernel == "bartlett":
        return 1.1447 * (a1n / den * m) ** (1 / 3)
    return {"parzen": 2.6614, "qs": 1.3221}[kernel] * (a2n / den * m) ** (1 / 5)


def newey_west_by_hand(U, kernel, prewhite, n):
    """Newey and West (1994): s^(q) = sum over |j| <= m of |j|^q sigma_j of
    the summed slope scores, gamma = c ((s^(q) / s^(0))^2)^(1/(2q+1))."""
    h = U[:, 1:].sum(axis=1)
    q, c, rate = {"bartlett": (1, 1.1447, 2 / 9), "parzen": (2, 2.6614, 4 / 25)}.get(
        kernel, (2, 1.3221, 2 / 25)
    )
    m = math.floor((3 if prewhite else 4) * (n / 100) ** rate)
    sig = [sum(h[t] * h[t - j] for t in range(j, len(h))) for j in range(m + 1)]
    s0 = sig[0] + 2 * sum(sig[1:])
    sq = 2 * sum(j**q * sig[j] for j in range(1, m + 1))
    return c * ((sq / s0) ** 2) ** (1 / (2 * q + 1)) * n ** (1 / (2 * q + 1))


@pytest.mark.parametrize("kernel", ["bartlett", "parzen", "qs"])
@pytest.mark.parametrize("prewhite", [0, 1])
@pytest.mark.parametrize("rule", ["andrews", "nw1994", "llsw"])
def test_plug_in_bandwidths_follow_the_papers(kernel, prewhite, rule):
    rng = np.random.default_rng(11)
    n = 40
    x = np.cumsum(rng.normal(size=(n, 2)), axis=0) * 0.3 + rng.normal(size=(n, 2))
    y = x @ [1.0, -0.5] + np.convolve(rng.normal(size=n + 1), [1, 0.6], "valid")
    U = _scores(y, x, prewhite)
    want = {
        "andrews": lambda: andrews_by_hand(U, kernel),
        "nw1994": lambda: newey_west_by_hand(U, kernel, prewhite, n),
        "llsw": lambda: 1.3 * math.sqrt(n),
    }[rule]()
    if rule == "llsw" and prewhite:
        return
    cov = cov_of(y, x, "HAC", kernel=kernel, bandwidth=rule, prewhite=prewhite)
    assert cov.plug_in == pytest.approx(want, rel=1e-10)
    whole = rule == "nw1994" and kernel == "bartlett"
    assert cov.bandwidth == (math.floor(want) + 1 if whole else pytest.approx(want, rel=1e-10))


# ----------------------------------------------------------- identities


@settings(max_examples=25, deadline=None)
@given(
    n=st.integers(8, 40),
    seed=st.integers(0, 2**32 - 1),
    scale=st.sampled_from([1e-120, 3e-5, 1.0, 7e8, 1e140]),
)
def test_identities_between_the_estimators(n, seed, scale):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 2)) * [scale, 1.0]
    y = X @ [1 / scale, 1.0] + rng.normal(size=n)
    k = 3
    V = {t: Kalvoren.robust_cov(y, X, t).to_numpy() for t in ("HC0", "HC1")}
    ids = np.arange(n)
    # every observation its own cluster: HC1 (HC0 without the correction)
    one = Kalvoren.robust_cov(y, X, "cluster", groups=ids).to_numpy()
    raw = Kalvoren.robust_cov(y, X, "cluster", groups=ids, correction=False).to_numpy()
    np.testing.assert_allclose(one, V["HC1"], rtol=1e-9)
    np.testing.assert_allclose(raw, V["HC0"], rtol=1e-9)
    # a second dimension of singletons adds nothing (its meat is the intersection's)
    halves = ids % 2
    two = Kalvoren.robust_cov(y, X, "cluster", groups=[halves, ids], correction=False)
    np.testing.assert_allclose(
        two.to_numpy(),
        Kalvoren.robust_cov(y, X, "cluster", groups=halves, correction=False).to_numpy(),
        rtol=1e-9,
        atol=1e-9 * np.abs(raw).max(),
    )
    # one observation per period: Driscoll-Kraay is the HAC of the same lags
    dk = Kalvoren.robust_cov(y, X, "driscoll-kraay", time=ids[::-1], bandwidth=2, adjust=False)
    hac = Kalvoren.robust_cov(y[::-1], X[::-1], "HAC", bandwidth=2)
    np.testing.assert_allclose(dk.to_numpy(), hac.to_numpy(), rtol=1e-9)
    # row order does not matter to HC
    p = rng.permutation(n)
    np.testing.assert_allclose(
        Kalvoren.robust_cov(y[p], X[p], "HC3").to_numpy(),
        Kalvoren.robust_cov(y, X, "HC3").to_numpy(),
        rtol=1e-9,
    )
    assert V["HC0"].shape == (k, k) and np.isfinite(V["HC0"]).all()


def test_quadratic_spectral_weights_keep_their_digits_near_zero():
    """Against 50 digits: the closed form loses 6.6e-16 / d^2 to cancellation
    (1e-9 at b = 10^4 lags)."""
    mp = pytest.importorskip("mpmath")
    mp.mp.dps = 50
    x = np.concatenate([np.geomspace(1e-9, 3.0, 200), [0.0, 0.1061032953945969]])

    def exact(v):
        if v == 0:
            return 1.0
        d = 6 * mp.pi * mp.mpf(float(v)) / 5
        return float(3 / d**2 * (mp.sin(d) / d - mp.cos(d)))

    np.testing.assert_allclose(
        _robust.kernel_weights("qs", x), [exact(v) for v in x], rtol=0, atol=5e-15
    )


def test_long_run_by_fft_equals_the_lag_sum():
    rng = np.random.default_rng(3)
    H = rng.normal(size=(3, 150, 2))
    w, count = _robust.lag_weights("qs", np.array([0.7, 4.0, 40.0]), 150)
    direct = _robust.long_run(H, w)
    np.testing.assert_allclose(_robust._long_run_fft(H, w), direct, rtol=1e-11, atol=1e-11)


# ----------------------------------------------------- through the API

rng = np.random.default_rng(5)
N = 80
FRAME = pd.DataFrame({"a": rng.normal(size=N), "b": rng.normal(size=N)})
FRAME["y"] = 1 + FRAME.a + np.cumsum(rng.normal(size=N)) * 0.2
FRAME["t"], FRAME["e"] = np.arange(N) // 4, np.arange(N) % 4

CHOICES = [
    ("HC3", None),
    ("HC5", None),
    ("HAC", {"bandwidth": 3, "adjust": True}),
    ("HAC", {"kernel": "qs", "bandwidth": "andrews", "prewhite": 1}),
    ("HAC", {"bandwidth": "nw1994", "prewhite": 1}),
    ("cluster", {"groups": ["t", "e"]}),
    ("driscoll-kraay", {"time": "t", "entity": "e"}),
]


@pytest.mark.parametrize("cov_type, options", CHOICES)
def test_report_and_many_series_use_the_choice(cov_type, options):
    arrays = columns_of(options or {}, FRAME)
    r = Kalvoren.diagnose(FRAME.y, FRAME[["a", "b"]], cov_type=cov_type, cov_options=arrays)
    V = Kalvoren.robust_cov(FRAME.y, FRAME[["a", "b"]], cov_type, **arrays)
    pd.testing.assert_frame_equal(r.cov, V)
    np.testing.assert_array_equal(r.bse, np.sqrt(np.diag(V)))
    hw, wald = r.tests["hac_wald"], r.wald(["a", "b"])
    assert hw.statistic == pytest.approx(wald.statistic, rel=1e-10) and hw.df == 2
    head = r.summary().splitlines()[1]
    assert cov_type.split("-")[0].lower() in head.lower() and r.cov_type == cov_type
    assert r.to_dict()["model"]["cov"]["type"] == cov_type
    # each group of diagnose_many (and of Dask) bit for bit what diagnose gives,
    # also a group whose clusters come in another order than the first's
    rev = FRAME[::-1]
    long = pd.concat(
        [FRAME.assign(g=0), FRAME.assign(g=1, y=FRAME.y[::-1].to_numpy()), rev.assign(g=2)]
    )
    kw = dict(by="g", y="y", x=["a", "b"], cov_type=cov_type, cov_options=options)
    many = Kalvoren.diagnose_many(long, **kw)
    assert many.hac_wald_statistic[0] == hw.statistic
    arrays = columns_of(options or {}, rev)
    r2 = Kalvoren.diagnose(rev.y, rev[["a", "b"]], cov_type=cov_type, cov_options=arrays)
    assert many.hac_wald_statistic[2] == r2.tests["hac_wald"].statistic
    dd = pytest.importorskip("dask.dataframe")
    from Kalvoren import dask as kd

    rows = dd.from_pandas(long.reset_index(drop=True), npartitions=2)
    lazy = kd.diagnose_many(rows, **kw).compute().sort_index()
    pd.testing.assert_frame_equal(lazy, many, check_index_type=False)


@pytest.mark.parametrize("kernel", ["bartlett", "parzen", "qs"])
def test_more_lags_than_the_sample_holds_are_clamped_as_hac_lags_are(kernel):
    """20 lags at n = 15, as hac_lags or as the bandwidth: 14 lags, the same
    in diagnose and diagnose_many, and the note says so truly."""
    r = np.random.default_rng(2)
    x = r.normal(size=(15, 2))
    y = x[:, 0] + r.normal(size=15)
    long = pd.DataFrame({"g": 0, "y": y, "a": x[:, 0], "b": x[:, 1]})
    want = Kalvoren.diagnose(y, x, cov_options={"kernel": kernel, "bandwidth": 14})
    for kw in ({"hac_lags": 20, "cov_options": {"kernel": kernel}},
               {"cov_options": {"kernel": kernel, "bandwidth": 20}}):  # fmt: skip
        one = Kalvoren.diagnose(y, x, **kw)
        many = Kalvoren.diagnose_many(long, by="g", y="y", x=["a", "b"], **kw)
        assert one.bandwidth == want.bandwidth == 15.0, kw
        assert one.tests["hac_wald"].statistic == want.tests["hac_wald"].statistic, kw
        assert many.hac_wald_statistic[0] == want.tests["hac_wald"].statistic, kw
        assert "clamped to n - 1 = 14" in one.tests["hac_wald"].note, kw


def test_an_observation_of_leverage_one_leaves_hc2_to_hc5_undefined():
    """A dummy of one row: its residual is zero whatever its error, which
    HC2..HC5 divide back out (R's vcovHC gives NaN). Refused whatever the
    rows' order (rounding left 1 - h at a few ulps, weighed by up to 1e60);
    HC0 and HC1 stand, as statsmodels has them."""
    r = np.random.default_rng(0)
    X = np.column_stack([r.normal(size=(40, 2)), np.arange(40) == 7]).astype(float)
    y = 1 + X[:, 0] + r.normal(size=40)
    frame = pd.DataFrame(X, columns=["a", "b", "d"]).assign(y=y, g=0)
    for perm in (np.arange(40), r.permutation(40)):
        for ct in ("HC2", "HC3", "HC4", "HC4m", "HC5"):
            with pytest.raises(ValueError, match=f"{ct} is undefined.*leverage one"):
                Kalvoren.robust_cov(y[perm], X[perm], ct)
            rep = Kalvoren.diagnose(y[perm], X[perm], cov_type=ct)
            assert np.isnan(rep.bse).all() and rep.tests["hac_wald"].status == -1003, ct
            many = Kalvoren.diagnose_many(frame, by="g", y="y", x=["a", "b", "d"], cov_type=ct)
            assert many.hac_wald_status[0] == -1003, ct
    fit = OLS(y, np.column_stack([np.ones(40), X])).fit(cov_type="HC1")
    V = Kalvoren.robust_cov(y, X, "HC1").to_numpy()
    np.testing.assert_allclose(V, fit.cov_params(), rtol=1e-9, atol=1e-15)


@pytest.mark.parametrize(
    "cov_type, options",
    [("cluster", {"groups": "firm"}), ("driscoll-kraay", {"time": "year", "entity": "firm"})],
)
def test_columns_named_for_the_covariance_follow_the_rows_paired_with_y(cov_type, options):
    """X's rows in another order than y's pair by label; so do the clusters."""
    r = np.random.default_rng(21)
    df = pd.DataFrame(
        {"x": r.normal(size=60), "firm": np.arange(60) // 6, "year": np.arange(60) % 6}
    )
    df["y"] = df.x + r.normal(size=60) + r.normal(size=10)[df.firm]
    X = df[["x", "firm", "year"]]
    shuffled = X.sample(frac=1, random_state=1)
    want = Kalvoren.diagnose(df.y, X, cov_type=cov_type, cov_options=options)
    got = Kalvoren.diagnose(df.y, shuffled, cov_type=cov_type, cov_options=options)
    np.testing.assert_allclose(got.bse, want.bse, rtol=1e-12)
    V = Kalvoren.robust_cov(df.y, shuffled, cov_type, **options)
    np.testing.assert_allclose(V, want.cov, rtol=1e-12)


def test_default_report_and_wald_forms():
    r = Kalvoren.diagnose(FRAME.y, FRAME[["a", "b"]], hac_lags=3)
    assert r.cov_type == "HAC" and r.bandwidth == 4.0 and "Bartlett, 3 lags" in r.summary()
    np.testing.assert_allclose(np.sqrt(np.diag(r.cov)), r.bse, rtol=1e-13)
    assert r.tests["hac_wald"].statistic == pytest.approx(r.wald(["a", "b"]).statistic, rel=1e-10)
    # restrictions by matrix and by name, chi2 and F forms
    by_name = r.wald("a")
    R = np.array([[0.0, 1.0, 0.0]])
    assert r.wald(R).statistic == by_name.statistic == pytest.approx(r.tvalues["a"] ** 2)
    shifted = r.wald(R, [r.params["a"]])
    assert shifted.statistic == pytest.approx(0.0, abs=1e-20) and shifted.reject is False
    F = r.wald([[0, 1, 0], [0, 0, 1]], distribution="F")
    assert F.df == (2, N - 3) and F.statistic == pytest.approx(r.wald(["a", "b"]).statistic / 2)
    assert F.pvalue == pytest.approx(F.dist.sf(F.statistic)) and "a = 0" in F.null
    cl = Kalvoren.diagnose(FRAME.y, FRAME.a, cov_type="cluster", cov_options={"groups": FRAME.t})
    assert cl.wald("a", distribution="F").df == (1, FRAME.t.nunique() - 1)
    with pytest.raises(OptionError):
        r.wald("nope")
    with pytest.raises(OptionError):
        r.wald(np.ones((1, 2)))


@pytest.mark.parametrize(
    "options, reference",
    [
        ({"bandwidth": "nw1994"}, "fixedb"),
        ({"bandwidth": "andrews"}, "fixedb"),  # b = bandwidth / n, not whole lags
        ({"bandwidth": "llsw"}, "fixedb"),
        ({"bandwidth": 5, "adjust": True}, "fixedb"),  # the n/(n - k) factor undone
        ({"kernel": "parzen", "bandwidth": 5}, "chi2"),  # no fixed-b table for it
        ({"kernel": "qs", "bandwidth": "andrews"}, "chi2"),
        ({"bandwidth": 3, "prewhite": 1}, "chi2"),
    ],
)
def test_hac_wald_reference_of_each_covariance(options, reference):
    from scipy import stats

    from Kalvoren import _fixedb

    n, k = N, 3
    kw = dict(cov_type="HAC", cov_options=options)
    r = Kalvoren.diagnose(FRAME.y, FRAME[["a", "b"]], **kw)
    hw = r.tests["hac_wald"]
    assert hw.reference == reference and hw.df == 2
    assert r.to_dict()["tests"]["hac_wald"]["reference"] == reference
    if reference == "fixedb":
        w = hw.statistic * (n / (n - k) if options.get("adjust") else 1.0)
        assert hw.pvalue == _fixedb.hac_wald_pvalue_bandwidth_one(w, 2, r.bandwidth, n)
    else:
        assert hw.pvalue == pytest.approx(stats.chi2(2).sf(hw.statistic), rel=1e-12)
    forced = Kalvoren.diagnose(FRAME.y, FRAME[["a", "b"]], hac_pvalue="chi2", **kw)
    assert forced.tests["hac_wald"].reference == "chi2"
    # diagnose_many: the same bits, series by series
    long = pd.concat([FRAME.assign(g=0), FRAME.assign(g=1, y=FRAME.y[::-1].to_numpy())])
    many = Kalvoren.diagnose_many(long, by="g", y="y", x=["a", "b"], **kw)
    assert many.hac_wald_pvalue[0] == hw.pvalue


@pytest.mark.parametrize(
    "kw, param",
    [
        ({"cov_type": "HC9"}, "cov_type"),
        ({"cov_type": "HC1", "cov_options": {"kernel": "qs"}}, "kernel"),
        ({"cov_options": {"bandwidth": "silverman"}}, "bandwidth"),
        ({"cov_options": {"prewhite": 2}}, "prewhite"),
        ({"cov_type": "cluster"}, "groups"),
        ({"cov_type": "cluster", "cov_options": {"groups": np.zeros(N)}}, "groups"),
        ({"cov_type": "cluster", "cov_options": {"groups": [np.nan] * N}}, "groups"),
        ({"cov_type": "cluster", "cov_options": {"groups": "nope"}}, "groups"),
        (
            {"cov_type": "driscoll-kraay", "cov_options": {"time": FRAME.t, "entity": FRAME.t}},
            "entity",
        ),
        ({"hac_lags": 2, "cov_options": {"bandwidth": 3}}, "hac_lags"),
    ],
)
def test_mistakes_name_the_option(kw, param):
    with pytest.raises(OptionError) as e:
        Kalvoren.diagnose(FRAME.y, FRAME[["a", "b"]], **kw)
    assert e.value.param == param


def test_hostile_data_give_a_status_or_a_clear_error():
    y = np.zeros(N)  # residuals exactly zero: no plug-in bandwidth
    with pytest.raises(ValueError, match="undefined"):
        Kalvoren.robust_cov(y, FRAME.a, "HAC", bandwidth="nw1994")
    r = Kalvoren.diagnose(y, FRAME.a, cov_type="HAC", cov_options={"bandwidth": "andrews"})
    assert r.tests["hac_wald"].status == Status.UNDEFINED_VARIANCE and r.bandwidth is None
    with pytest.raises(NotImplementedError, match="cluster"):
        Kalvoren.diagnose_many(np.zeros((2, 10)), cov_type="cluster", cov_options={"groups": "t"})
    # a group with one cluster: a status, not a failure of the others
    long = pd.concat([FRAME.assign(g=0), FRAME.assign(g=1, t=0)])
    many = Kalvoren.diagnose_many(
        long, by="g", y="y", x=["a"], cov_type="cluster", cov_options={"groups": "t"}
    )
    assert many.hac_wald_status.tolist() == [0, Status.UNDEFINED_VARIANCE]


def test_per_test_function_and_command_line(tmp_path):
    hw = Kalvoren.hac_wald(FRAME.y, FRAME[["a", "b"]], cov_type="HC2")
    r = Kalvoren.diagnose(FRAME.y, FRAME[["a", "b"]], cov_type="HC2")
    assert hw.statistic == r.tests["hac_wald"].statistic
    path = tmp_path / "d.csv"
    FRAME.to_csv(path, index=False)

    def cli(*args):
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            code = diagnostics.main([str(path), "--y", "y", "--x", "a", "b", *args])
        return code, out.getvalue(), err.getvalue()

    code, out, _ = cli("--cov-type", "cluster", "--groups", "t", "e", "--format", "json")
    groups = [FRAME.t, FRAME.e]
    want = Kalvoren.diagnose(
        FRAME.y, FRAME[["a", "b"]], cov_type="cluster", cov_options={"groups": groups}
    )
    got = json.loads(out)
    assert code == 0 and got["model"]["cov"]["clusters"] == [FRAME.t.nunique(), 4]
    assert got["tests"]["hac_wald"]["statistic"] == want.tests["hac_wald"].statistic
    code, out, _ = cli("--bandwidth", "andrews", "--kernel", "qs", "--prewhite", "1")
    assert code == 0 and "quadratic spectral, bandwidth" in out and "prewhitened" in out
    for args, text in [
        (("--cov-type", "cluster"), "--groups is needed"),
        (("--cov-type", "cluster", "--groups", "nope"), "no column 'nope'"),
        (("--cov-type", "HC3", "--kernel", "qs"), "--kernel is not an option"),
        (("--bandwidth", "wide"), "--bandwidth must be"),
    ]:
        code, out, err = cli(*args)
        assert code == 2 and out == "" and text in err, (args, err)


@pytest.mark.parametrize("seed", [0, 1, 3, 5])
def test_fewer_clusters_than_restrictions_is_singular_not_a_certain_rejection(seed):
    """Three clusters leave a 3-slope covariance of rank 2: its inverse is
    rounding, whatever the seed's rounding makes of it."""
    r = np.random.default_rng(seed)
    X = r.normal(size=(60, 3))
    y = 1 + X @ [0.3, 0.0, -0.2] + r.normal(size=60)
    g = np.arange(60) % 3
    t = np.repeat(np.arange(3), 20)
    for cov_type, options in (("cluster", {"groups": g}), ("driscoll-kraay", {"time": t})):
        rep = Kalvoren.diagnose(y, X, cov_type=cov_type, cov_options=options)
        assert rep.tests["hac_wald"].status == Status.SINGULAR, cov_type
        assert rep.wald(rep.x_names[1:]).status == Status.SINGULAR, cov_type
    # dependent restrictions (one hypothesis written twice) are singular too
    hc = Kalvoren.diagnose(y, X, cov_type="HC1")
    assert hc.wald([[0, 1, 0, 0], [0, 2, 0, 0]]).status == Status.SINGULAR
    assert hc.wald([[0, 1, 0, 0]]).status == 0
    # prewhitening needs residual degrees of freedom in the scores' VAR
    with pytest.raises(OptionError, match="prewhite"):
        Kalvoren.robust_cov(y[:4], X[:4, :2], "HAC", prewhite=1)
