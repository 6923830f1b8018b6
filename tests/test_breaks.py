"""Breaks at unknown dates: the F sequence and its functionals, Bai-Perron, the
fluctuation tests and their p-values, against R's strucchange (values written by
scripts/r_refs/breaks.R into tests/data/breaks_r.json), published results,
brute force and simulated null distributions.

Data (tests/data): RealInt.csv and bondyield.csv from R strucchange's data folder
(Bai and Perron 2003; Kraemer and Sonnberger 1986), nile.csv R's datasets::Nile,
breaks_sim.csv simulated by the R script."""

import contextlib
import io
import itertools
import json
import math
import pathlib

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import Kalvoren
from Kalvoren import Status, _breaks, diagnostics

DATA = pathlib.Path(__file__).parent / "data"
REF = json.loads((DATA / "breaks_r.json").read_text())
SIM = pd.read_csv(DATA / "breaks_sim.csv")
BOND = pd.read_csv(DATA / "bondyield.csv")
REALINT = pd.read_csv(DATA / "RealInt.csv")
NILE = pd.read_csv(DATA / "nile.csv")
MODELS = {
    "nile": (NILE.volume, None),
    "realint": (REALINT.realint, None),
    "bondyield": (BOND.RAARUS, BOND[["MOOD", "EPI", "EXP", "RUS"]]),
    "sim": (SIM.y, SIM[["x1", "x2"]]),
    "null": (SIM.y0, SIM[["x1", "x2"]]),
    "null_mean": (SIM.y0, None),
}
FLUCT = ["ols_cusum", "rec_mosum", "ols_mosum", "hansen_stability"]
ALL = ["sup_f", "ave_f", "exp_f", *FLUCT]


def as_list(v):
    return v if isinstance(v, list) else [v]


def fitted_range(kind, x, q):
    """Whether Hansen's fitted polynomials for q all still rise at x."""
    return not _breaks._hansen_argument(kind, slice((q - 1) * 25, q * 25), x)[1].any()


def brute_f(y, X, cols, b):
    """The Wald-form F of a break at b in cols: two least-squares fits (SVD, one
    step of refinement), the between sum the squared distance of their residuals."""

    def resid(A, v):
        r = v - A @ np.linalg.lstsq(A, v, rcond=None)[0]
        return r - A @ np.linalg.lstsq(A, r, rcond=None)[0]

    n, k = X.shape
    e = resid(X, y)
    u = resid(np.column_stack([X, np.where(np.arange(n)[:, None] >= b, X[:, cols], 0.0)]), e)
    return ((e - u) @ (e - u)) / (u @ u / (n - k - len(cols)))


# ------------------------------------------------------------- the F sequence


@pytest.mark.parametrize("name", list(MODELS))
def test_f_sequence_and_functionals_match_strucchange(name):
    ref = REF[name]
    y, X = MODELS[name]
    s = Kalvoren.f_sequence(y, X)
    F = np.array(ref["Fstats"])
    assert s.index[0] == ref["from"] and len(s) == len(F)
    assert np.max(np.abs(s.to_numpy() - F) / np.maximum(F, 1.0)) < 1e-9
    assert s.attrs["break_at"] == ref["breakpoint"]
    r = Kalvoren.diagnose(y, X, tests=["sup_f", "ave_f", "exp_f"])
    for tid, rid in (("sup_f", "supF"), ("ave_f", "aveF"), ("exp_f", "expF")):
        got, want = r.tests[tid], ref["tests"][rid]
        assert got.statistic == pytest.approx(want["statistic"], rel=1e-10)
        # R floors tiny p-values at 0 or 2.2e-16
        if want["pvalue"] > 1e-12 and fitted_range(tid[:3], got.statistic, got.df):
            assert got.pvalue == pytest.approx(want["pvalue"], rel=1e-6)
    assert r.tests["sup_f"].break_at == ref["breakpoint"]


@pytest.mark.parametrize("kind", ["sup", "ave", "exp"])
def test_hansen_pvalues_as_strucchange_interpolates_them(kind):
    g = REF["hansen"][kind]
    for x, q, tau, p in zip(g["x"], g["q"], g["tau"], g["p"]):
        if kind == "exp" and tau > 0.49:
            continue  # one date: we take chi2(q) of 2 exp-F = F, strucchange of exp-F
        if fitted_range(kind, x, q):
            assert _breaks.hansen_pvalue(kind, x, q, tau) == pytest.approx(p, rel=1e-9, abs=1e-15)
    # past a cubic's turn strucchange's p rises (to 1 at exp-F = 40, q = 3); 2 exp-F <= sup-F
    assert _breaks.hansen_pvalue("exp", 40.0, 3, 0.15) <= _breaks.hansen_pvalue(
        "sup", 80.0, 3, 0.15
    )
    p = [_breaks.hansen_pvalue(kind, x, 3, 0.15) for x in np.linspace(0.1, 60, 200)]
    assert np.all(np.diff(p) <= 0)


@settings(max_examples=25, deadline=None)
@given(
    n=st.integers(14, 40),
    k=st.integers(1, 3),
    trim=st.sampled_from([0.1, 0.15, 0.25]),
    which=st.integers(0, 7),
    seed=st.integers(0, 2**31),
    trend=st.booleans(),
)
def test_f_sequence_equals_refits_at_every_date(n, k, trim, which, seed, trend):
    rng = np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), rng.normal(size=(n, k - 1))])
    if trend and k > 1:
        X[:, 1] = 1e3 + np.arange(n) * 10.0  # a trend far from the origin
    # errors of 1 to 1000 against a fit of up to 1e4: the data pin at least 12 digits
    # (smaller errors pin fewer, and no method then gets 1e-10; see the trust rules)
    y = X @ rng.normal(size=k) + rng.normal(size=n) * 10.0 ** rng.integers(0, 4)
    cols = [j for j in range(k) if which >> j & 1] or [0]
    names = ["const"] + [f"x{j}" for j in range(1, k)]
    s = Kalvoren.f_sequence(
        y, pd.DataFrame(X[:, 1:], columns=names[1:]), trim, f_break_columns=[names[j] for j in cols]
    )
    want = np.array([brute_f(y, X, cols, b) for b in s.index])
    assert np.max(np.abs(s.to_numpy() - want) / np.maximum(want, 1.0)) < 1e-10
    assert s.attrs["q"] == len(cols) and s.index[0] == max(math.floor(trim * n), len(cols))


def test_f_sequence_refits_near_singular_segments_and_refuses_singular_ones():
    rng = np.random.default_rng(3)
    n = 60
    d = np.where(np.arange(n) < 12, 1e-5, 1.0) * rng.normal(size=n)  # tiny early on
    X = np.column_stack([np.ones(n), d])
    y = 1 + d + rng.normal(size=n)
    s = Kalvoren.f_sequence(y, d, 0.15)
    want = np.array([brute_f(y, X, [0, 1], b) for b in s.index])
    assert np.max(np.abs(s.to_numpy() - want) / np.maximum(want, 1.0)) < 1e-8
    z = np.where(np.arange(n) < 12, 0.0, d)  # zero early on: a singular first segment
    r = Kalvoren.sup_f(y, z)
    assert r.status == Status.SINGULAR and "singular" in r.note
    exact = Kalvoren.sup_f(1.0 + 2.0 * d, d)
    assert exact.status == Status.UNDEFINED_VARIANCE


def test_nile_published_sup_f_and_break():
    """Nile flow 1871-1970, mean model: sup-F 75.93, one break after 1898."""
    y = pd.Series(NILE.volume.to_numpy(), index=pd.Index(NILE.year, name="year"))
    r = Kalvoren.diagnose(y, tests=["sup_f"])
    sup = r.tests["sup_f"]
    assert round(sup.statistic, 2) == 75.93 and sup.break_at == 1899  # first year after it
    assert sup.to_dict()["break_at"] == 1899 and "break at 1899" in repr(sup)
    bp = Kalvoren.breakpoints(y)
    assert bp.n_breaks == 1 and bp.break_labels == [1899]


# ------------------------------------------------------------------ Bai-Perron


def test_realint_published_bai_perron():
    """Bai and Perron (2003), Table 1: US ex-post real interest rate, mean shifts, h = 15."""
    y = pd.Series(REALINT.realint.to_numpy(), index=pd.PeriodIndex(REALINT.quarter, freq="Q"))
    bp = Kalvoren.breakpoints(y, h=15)
    assert bp.rss.round(2).tolist() == [1214.92, 645.00, 455.95, 445.18, 444.88, 449.64]
    assert bp.n_breaks == 2 and bp.breaks == (47, 79)
    three = bp.select(3)
    assert three.breaks == (24, 47, 79)
    means = three.segments["const"].to_numpy()
    np.testing.assert_allclose(means, [1.8236167, 0.8660848, -1.7961384, 5.6428896], atol=5e-8)
    assert three.segments["last"].astype(str).tolist()[0] == "1966Q4"
    assert "24, 47, 79" in bp.summary()


@pytest.mark.parametrize("name", list(MODELS))
def test_breakpoints_match_strucchange(name):
    ref = REF[name]
    y, X = MODELS[name]
    M = len(ref["rss"]) - 1
    bp = Kalvoren.breakpoints(y, X, h=ref["h"], max_breaks=M)
    # strucchange's RSS are good to about 1e-10 (ours to 1e-15 on bondyield, by mpmath)
    np.testing.assert_allclose(bp.rss, ref["rss"], rtol=1e-9)
    np.testing.assert_allclose(bp.bic, ref["bic"], rtol=0, atol=1e-7)
    assert [list(bp.partitions[m]) for m in range(M + 1)] == [as_list(p) for p in ref["partitions"]]
    assert bp.n_breaks == ref["bic_breaks"]
    coef = bp.segments.iloc[:, -np.shape(ref["coef_bic"])[1] :].to_numpy()
    np.testing.assert_allclose(coef, ref["coef_bic"], rtol=1e-8, atol=1e-10)
    for ci in ref["confint"]:
        got = bp.select(ci["breaks"]).confint(ci["level"])
        assert got["lower"].tolist() == as_list(ci["lower"])
        assert got["upper"].tolist() == as_list(ci["upper"])


@pytest.mark.parametrize("seed, k, h, M", [(1, 1, 4, 3), (2, 2, 5, 3), (3, 3, 6, 2)])
def test_breakpoints_are_the_global_minimisers(seed, k, h, M):
    """Every partition of n = 24 into segments of at least h, fitted one by one."""
    rng = np.random.default_rng(seed)
    n = 24
    X = np.column_stack([np.ones(n), rng.normal(size=(n, k - 1))])
    y = X @ rng.normal(size=k) + np.repeat(rng.normal(size=3) * 3, 8) + rng.normal(size=n)
    bp = Kalvoren.breakpoints(y, X[:, 1:], h=h, max_breaks=M)

    def rss(a, b):
        r = y[a:b] - X[a:b] @ np.linalg.lstsq(X[a:b], y[a:b], rcond=None)[0]
        return r @ r

    for m in range(M + 1):
        best = min(
            (sum(rss(a, b) for a, b in zip((0, *c), (*c, n))), c)
            for c in itertools.combinations(range(h, n - h + 1), m)
            if all(b - a >= h for a, b in zip((0, *c), (*c, n)))
        )
        assert bp.rss[m] == pytest.approx(best[0], rel=1e-10)
        assert bp.partitions[m] == best[1]


def test_bai_perron_choices_and_argument_checks():
    bp = Kalvoren.breakpoints(REALINT.realint, h=0.15)
    assert bp.h == 15 and bp.max_breaks == 5
    seq = bp.sequential
    # Bai and Perron's 5% values for q = 1, l = 0 at trimmings 0.10 and 0.15, linear between
    assert seq["critical"].iloc[0] == pytest.approx(9.10 + (8.58 - 9.10) * (15 / 103 - 0.1) / 0.05)
    assert bp.select("sequential").n_breaks == int(seq["reject"].cumprod().sum())
    assert bp.select("lwz").n_breaks == int(bp.lwz.idxmin())
    with pytest.raises(Kalvoren.OptionError):
        Kalvoren.breakpoints(REALINT.realint, h=1)  # not more than k observations
    with pytest.raises(ValueError):
        bp.select(9)
    with pytest.raises(ValueError):
        bp.confint(1.5)


@pytest.mark.parametrize("xi, ratio", [(1.0, 1.0), (2.0, 1.5), (0.5, 0.7)])
def test_argmax_distribution_of_bai_1997(xi, ratio):
    """The cdf of the argmax against a simulated two-sided drifted Brownian motion
    (and the symmetric closed form of Yao 1987)."""
    rng = np.random.default_rng(11)
    dt, T, reps = 0.02, 60.0, 3000
    steps = int(T / dt)
    left = np.cumsum(rng.normal(scale=math.sqrt(dt), size=(reps, steps)), 1) - 0.5 * dt * np.arange(
        1, steps + 1
    )
    right = ratio * math.sqrt(xi) * np.cumsum(
        rng.normal(scale=math.sqrt(dt), size=(reps, steps)), 1
    ) - 0.5 * xi * dt * np.arange(1, steps + 1)
    best_l, best_r = left.max(1), right.max(1)
    # a grid's maximum falls short by about 0.5826 sd sqrt(dt) (Siegmund): compare
    # the two sides' maxima with that made good
    c = 0.5826 * math.sqrt(dt)
    arg = np.where(
        np.maximum(best_l + c, 0) >= np.maximum(best_r + c * ratio * math.sqrt(xi), 0),
        -(left.argmax(1) + 1) * dt * (best_l > 0),
        (right.argmax(1) + 1) * dt * (best_r > 0),
    )
    for x in (-4.0, -1.0, 0.0, 1.0, 4.0):
        p = _breaks._argmax_cdf(x, xi, 1.0, ratio)
        assert abs(p - np.mean(arg <= x)) < 0.03, x
    if xi == 1.0 and ratio == 1.0:
        from scipy.special import ndtr

        for u in (0.5, 2.0, 8.0):
            yao = (
                1
                + math.sqrt(u / (2 * math.pi)) * math.exp(-u / 8)
                - (u + 5) / 2 * ndtr(-math.sqrt(u) / 2)
                + 1.5 * math.exp(u) * ndtr(-1.5 * math.sqrt(u))
            )
            assert _breaks._argmax_cdf(u, 1.0, 1.0, 1.0) == pytest.approx(yao, rel=1e-12)


# ----------------------------------------------------------- fluctuation tests


@pytest.mark.parametrize("name", list(MODELS))
def test_fluctuation_statistics_match_strucchange(name):
    ref = REF[name]
    y, X = MODELS[name]
    tid = {"OLS-CUSUM": "ols_cusum", "Rec-MOSUM": "rec_mosum", "OLS-MOSUM": "ols_mosum"}
    for e in ref["efp"]:
        r = Kalvoren.diagnose(y, X, tests=[tid[e["type"]]], mosum_h=e["h"]).tests[tid[e["type"]]]
        assert r.statistic == pytest.approx(e["statistic"], rel=1e-9)
        if e["type"] == "OLS-CUSUM":  # the asymptotic p-value itself is strucchange's
            assert _breaks.kolmogorov_pvalue(r.statistic) == pytest.approx(e["pvalue"], rel=1e-9)
    h = Kalvoren.diagnose(y, X, tests=["hansen_stability"]).tests["hansen_stability"]
    assert h.statistic == pytest.approx(ref["nyblom_hansen"]["statistic"], rel=1e-9)
    if 0.005 < ref["nyblom_hansen"]["pvalue"] < 0.1:  # within strucchange's table
        assert h.pvalue == pytest.approx(ref["nyblom_hansen"]["pvalue"], abs=0.003)


def test_hansen_statistic_equals_statsmodels():
    sm = pytest.importorskip("statsmodels.api")
    from statsmodels.stats.diagnostic import breaks_hansen

    res = sm.OLS(SIM.y, sm.add_constant(SIM[["x1", "x2"]])).fit()
    r = Kalvoren.diagnose(SIM.y, SIM[["x1", "x2"]], tests=["hansen_stability"])
    assert r.tests["hansen_stability"].statistic == pytest.approx(breaks_hansen(res)[0], rel=1e-10)
    assert r.tests["hansen_stability"].df == 4


@pytest.mark.parametrize("d", [1, 2, 3, 7])
def test_cramer_von_mises_tail(d):
    """d = 1: Anderson and Darling's (1952) points; d = 2: the closed form
    2 sum (-1)^(j+1) exp(-j^2 pi^2 x / 2) of a sum of exponentials."""
    known = {1: [(0.34730, 0.10), (0.46136, 0.05), (0.74346, 0.01)]}
    for x, p in known.get(d, []):
        assert _breaks.cvm_pvalue(x, d) == pytest.approx(p, abs=2e-5)
    for x in np.linspace(0.05, 3.0, 7) * d:
        exact = _breaks.cvm_sf(x, d)
        assert _breaks.cvm_pvalue(x, d) == pytest.approx(exact, rel=2e-3)
        if d == 2:
            j = np.arange(1, 200)
            closed = 2 * np.sum((-1.0) ** (j + 1) * np.exp(-(j**2) * math.pi**2 * x / 2))
            assert exact == pytest.approx(closed, rel=1e-6, abs=1e-13)


def test_mosum_limits_agree_with_the_analytic_half_window():
    """At h = 1/2 Chu, Hornik and Kuan give the recursive MOSUM's limit in closed
    form; their critical values (as strucchange tabulates them, times sqrt(h))."""
    for p, cv in ((0.10, 2.5505), (0.05, 2.8334), (0.01, 3.3912)):
        got = _breaks.mosum_pvalue("rec", cv * math.sqrt(0.5), 0.5, 10**12)
        assert got == pytest.approx(p, rel=0.05)


def test_null_size_of_the_p_values():
    """Mean model, n = 100: at 5% every test rejects 4-6% of 1500 null series."""
    rng = np.random.default_rng(2024)
    Y = rng.normal(size=(1500, 100))
    res = Kalvoren.diagnose_many(Y, tests=ALL, progress=False, workers=1)
    for tid in ALL:
        size = float(np.mean(res[f"{tid}_pvalue"] < 0.05))
        assert abs(size - 0.05) <= 0.01, (tid, size)


# ---------------------------------------------------------- through the API


def test_every_entry_point_runs_the_family():
    y, X = SIM.y, SIM[["x1", "x2"]]
    r = Kalvoren.diagnose(y, X, tests=ALL, f_trim=0.2, mosum_h=0.25)
    assert all(t.status == 0 and 0 <= t.pvalue <= 1 for t in r.tests.values())
    one = Kalvoren.sup_f(y, X, f_trim=0.2, f_break_columns=["x1"])
    # a position as the command line gives it: "1" is the column after the constant
    assert Kalvoren.sup_f(y, X, f_trim=0.2, f_break_columns=["1"]).statistic == one.statistic
    assert one.df == 1 and one.statistic == pytest.approx(
        Kalvoren.f_sequence(y, X, 0.2, f_break_columns="x1").max()
    )
    frame = pd.DataFrame({"g": np.repeat([0, 1], 200), "y": np.tile(y, 2), "x1": np.tile(X.x1, 2)})
    many = Kalvoren.diagnose_many(frame, by="g", y="y", x=["x1"], tests=["sup_f", "ols_mosum"])
    solo = Kalvoren.diagnose(y, X.x1, tests=["sup_f"]).tests["sup_f"]
    assert many["sup_f_statistic"].tolist() == [solo.statistic] * 2
    out, err = io.StringIO(), io.StringIO()
    path = DATA / "breaks_sim.csv"
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = diagnostics.main([str(path), "--y", "y", "--x", "x1", "x2", "--tests", "sup_f",
                                 "--f-trim", "0.2", "--f-break-columns", "x1", "--json"])  # fmt: skip
    assert code == 0, err.getvalue()
    got = json.loads(out.getvalue())["tests"]["sup_f"]
    assert got["statistic"] == pytest.approx(one.statistic) and got["break_at"] == one.break_at


@pytest.mark.parametrize(
    "kw, param",
    [
        ({"f_trim": 0.5}, "f_trim"),
        ({"f_trim": "a"}, "f_trim"),
        ({"mosum_h": 0.01}, "mosum_h"),
        ({"f_break_columns": ["nope"]}, "f_break_columns"),
        ({"f_break_columns": [7]}, "f_break_columns"),
        ({"f_break_columns": []}, "f_break_columns"),
    ],
)
def test_options_are_checked(kw, param):
    with pytest.raises(Kalvoren.OptionError) as e:
        Kalvoren.diagnose(SIM.y, SIM[["x1"]], **kw)
    assert e.value.param == param


def test_short_series_get_a_status_not_an_error():
    rng = np.random.default_rng(0)
    r = Kalvoren.diagnose(rng.normal(size=5), rng.normal(size=(5, 2)), tests=ALL)
    assert r.tests["sup_f"].status == Status.TOO_SHORT
    assert all(t.status != 0 or math.isfinite(t.pvalue) for t in r.tests.values())


def test_report_plot_has_the_f_sequence_and_breakpoints_plot():
    mpl = pytest.importorskip("matplotlib")
    mpl.use("Agg")
    import matplotlib.pyplot as plt

    y = pd.Series(NILE.volume.to_numpy(), index=pd.Index(NILE.year, name="year"))
    fig = Kalvoren.diagnose(y, tests=["sup_f", "cusum"]).plot()
    assert len(fig.axes) == 3 and "F statistics" in fig.axes[2].get_title()
    ax = Kalvoren.breakpoints(y).plot()
    assert len(ax.lines) >= 3
    plt.close("all")
