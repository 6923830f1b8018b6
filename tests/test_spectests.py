"""White, RESET, Goldfeld-Quandt, Harvey-Collier, Rainbow, Durbin-Watson and the
small-sample forms of BG, BP and Ljung-Box: against lmtest (published values and
scripts/r_refs/spec.R), statsmodels, mpmath, and a simulation of the Durbin-Watson
null; the same bits from diagnose and diagnose_many; hostile options and data."""

import json
import math
import sys
import warnings
from pathlib import Path

import mpmath as mp
import numpy as np
import pandas as pd
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import Kalvoren
from Kalvoren import Status, _spectests

sys.path.insert(0, str(Path(__file__).parent))
import mp_ref  # noqa: E402

DATA = Path(__file__).parent / "data"
REFS = json.loads((DATA / "spec_refs.json").read_text())
NEW = ["white", "reset", "goldfeld_quandt", "harvey_collier", "rainbow", "durbin_watson"]


def diagnose(*a, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", Kalvoren.KalvorenWarning)
        return Kalvoren.diagnose(*a, **kw)


def one(test, y, X, **kw):
    return diagnose(y, X, tests=[test], **kw).tests[test]


def dataset(name):
    if name == "bondyield":
        return pd.read_csv(DATA / "bondyield.csv")
    if name == "growthofmoney":
        return pd.read_csv(DATA / "growthofmoney.csv").set_axis(["TG1_TG0", "AG0_TG0"], axis=1)
    return pd.DataFrame(next(s for s in REFS["sets"] if s["name"] == name)["data"])


# ------------------------------------------------------------------- lmtest

R_ROWS = [(s, r) for s in REFS["sets"] for r in s["rows"]]


@pytest.mark.parametrize(
    "spec, row", R_ROWS, ids=[f"{s['name']}-{r['test']}-{r['options']}" for s, r in R_ROWS]
)
def test_lmtest(spec, row):
    d = dataset(spec["name"])
    t = one(row["test"], d[spec["y"]], d[spec["x"]], **row["options"])
    stat, ref, df = t.statistic, row["statistic"], row["df"]
    tol = 1e-9
    if row["test"] == "harvey_collier":
        # lmtest prints |t| (ours keeps the sign), from recursive residuals by
        # updated inverses, good to ~1e-8 here; ours agree with mpmath (below)
        stat, tol = abs(stat), 1e-7
    if spec["name"] == "simulated" and row["options"] == {"reset_type": "regressors"}:
        # lmtest counts the powers of the dummy x2 (x2^2 = x2^3 = x2) in q: scale to its q
        assert t.df == (4, 142) and df == [6, 140]
        stat, df = stat * (4 / 142) / (6 / 140), t.df
    assert stat == pytest.approx(ref, rel=tol)
    assert t.df == (tuple(df) if isinstance(df, list) else df)
    if t.df == (4, 142):
        return
    assert t.pvalue == pytest.approx(row["pvalue"], rel=100 * tol, abs=1e-300)


# Kraemer and Sonnberger (1986) as printed in lmtest's examples
@pytest.mark.parametrize(
    "name, test, stat, df, p",
    [
        ("bondyield", "durbin_watson", 0.84484, None, 2.888e-08),
        ("bondyield", "reset", 5.349, (2, 53), 0.007655),
        ("bondyield", "harvey_collier", -0.1214, 54, 0.9038),
        ("bondyield", "rainbow", 2.9057, (30, 25), 0.004054),
        ("growthofmoney", "durbin_watson", 2.9046, None, 0.9839),
    ],
)
def test_published(name, test, stat, df, p):
    d = dataset(name)
    y, X = (
        (d["RAARUS"], d[["MOOD", "EPI", "EXP", "RUS"]])
        if name == "bondyield"
        else (
            d["TG1_TG0"],
            d["AG0_TG0"],
        )
    )
    t = getattr(Kalvoren, test)(y, X)
    assert t.statistic == pytest.approx(stat, abs=6e-5 * abs(stat))
    assert t.pvalue == pytest.approx(p, rel=2e-4) and t.df == df


# -------------------------------------------------------------- statsmodels


def _sm_sets():
    sm = pytest.importorskip("statsmodels.api")
    m = sm.datasets.macrodata.load_pandas().data
    lg = sm.datasets.longley.load_pandas()
    return {"macro": (m["realcons"], m[["realgdp", "realinv"]]), "longley": (lg.endog, lg.exog)}


@pytest.mark.parametrize("name", ["macro", "longley"])
def test_statsmodels(name):
    import statsmodels.api as sm
    from statsmodels.stats import diagnostic as dg

    y, X = _sm_sets()[name]
    Xc = sm.add_constant(X)
    res = sm.OLS(y, Xc).fit()
    e, x0 = res.resid, X.columns[0]
    # statsmodels' fits of Longley (condition 1e9 before scaling) hold ~1e-10
    tol = 1e-10 if name == "macro" else 1e-9
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # FutureWarning, and Longley's SingularMatrixWarning
        bg = dg.acorr_breusch_godfrey(res, nlags=3)
        gq = dg.het_goldfeldquandt(y, Xc, alternative="two-sided")
        gq_cut = dg.het_goldfeldquandt(y, Xc, idx=1, split=0.4, drop=0.2, alternative="two-sided")
        cases = [
            ("white", {}, dg.het_white(e, Xc)[:2]),
            # het_white(interaction_terms=False) leaves out the levels: Koenker's BP on them
            (
                "white",
                {"white_cross": False},
                dg.het_breuschpagan(e, np.column_stack([Xc, X**2]))[:2],
            ),
            ("breusch_godfrey", {"lags": 3}, bg[:2]),
            ("breusch_godfrey", {"lags": 3, "bg_form": "f"}, bg[2:]),
            # its one-sided p-values swap the degrees of freedom; the two-sided is right
            ("goldfeld_quandt", {"gq_alternative": "two-sided"}, gq[:2]),
            ("rainbow", {}, dg.linear_rainbow(res)),
            (
                "breusch_pagan_koenker",
                {"bp_regressors": [x0]},
                dg.het_breuschpagan(e, Xc[["const", x0]])[:2],
            ),
            (
                "breusch_pagan",
                {"bp_regressors": x0},
                dg.het_breuschpagan(e, Xc[["const", x0]], robust=False)[:2],
            ),
            ("ljung_box", {"lb_model_df": 2}, dg.acorr_ljungbox(e, lags=[4], model_df=2).iloc[0]),
        ]
        if name == "macro":
            cases += [
                # its drop starts at the split; ours is centred on it (as lmtest's)
                (
                    "goldfeld_quandt",
                    {
                        "gq_order_by": x0,
                        "gq_split": 0.5,
                        "gq_drop": 0.2,
                        "gq_alternative": "two-sided",
                    },
                    gq_cut[:2],
                ),
                # it skips 3 recursive residuals whatever k: right for k = 3 only
                ("harvey_collier", {}, dg.linear_harvey_collier(res)),
            ]
    if name == "macro":
        # its RESET takes raw powers of fitted values in the thousands and keeps
        # about 7 digits here, none on Longley (ours, from centred and scaled
        # powers, match an 80-digit fit to 1e-14 here; Longley is in the mpmath test)
        for kind, sm_kind in (("fitted", "fitted"), ("regressors", "exog")):
            w = dg.linear_reset(res, power=3, test_type=sm_kind, use_f=True)
            t = one("reset", y, X, reset_type=kind)
            assert t.statistic == pytest.approx(float(w.fvalue), rel=1e-6), kind
            assert t.pvalue == pytest.approx(float(w.pvalue), rel=1e-4), kind
    for test, kw, (stat, p) in cases:
        if name == "longley" and test == "white" and kw:
            # its pinv fit of levels and squares (13 columns, 16 rows) is off by a
            # quarter here; mpmath agrees with ours to 1e-12
            continue
        t = one(test, y, X, **kw)
        assert t.statistic == pytest.approx(stat, rel=tol), (test, kw)
        assert t.pvalue == pytest.approx(p, rel=100 * tol, abs=1e-300), (test, kw)
    lb = dg.acorr_ljungbox(e, lags=[1, 4, 8], model_df=2)
    table = Kalvoren.ljung_box_table(e, lags=[1, 4, 8], model_df=2)
    assert np.allclose(table["statistic"], lb["lb_stat"], rtol=1e-13)
    assert np.isnan(table["pvalue"].iloc[0]) and np.allclose(
        table["pvalue"][1:], lb["lb_pvalue"][1:]
    )
    assert sm.stats.durbin_watson(e) == pytest.approx(one("durbin_watson", y, X).statistic, rel=tol)


# ------------------------------------------------------------------- mpmath


def _mp_refs(y, X):
    """White (cross), RESET (powers 2, 3 of the fitted values), Goldfeld-Quandt,
    Rainbow, Harvey-Collier and d at 80 digits (mp_ref's least squares)."""
    with mp.workdps(mp_ref.SWEEP_DPS):
        cols, yv, n = mp_ref._columns(X), mp_ref._mpvec(y), len(y)
        rss = lambda c, v, rows=None: mp.fdot(*[mp_ref._ls(c, v, rows)[0]] * 2)  # noqa: E731
        e, kept, _ = mp_ref._ls(cols, yv)
        k = len(kept)
        slopes = cols[1:]
        u = [v * v for v in e]
        aux = [[mp.mpf(1)] * n] + slopes
        aux += [
            [a * b for a, b in zip(slopes[i], slopes[j])]
            for i in range(len(slopes))
            for j in range(i, len(slopes))
        ]
        ubar = mp.fsum(u) / n
        white = n * (1 - rss(aux, u) / mp.fsum((v - ubar) ** 2 for v in u))
        fit = [a - b for a, b in zip(yv, e)]
        s_all, s_big = rss(cols, yv), rss(cols + [[f**2 for f in fit], [f**3 for f in fit]], yv)
        reset = ((s_all - s_big) / 2) / (s_big / (n - k - 2))
        h = n // 2
        gq = (rss(cols, yv, range(h, n)) / (n - h - k)) / (rss(cols, yv, range(h)) / (h - k))
        lo, hi = _spectests.rainbow_rows(n, 0.5)
        s_mid = rss(cols, yv, range(lo, hi))
        rain = ((s_all - s_mid) / (n - (hi - lo))) / (s_mid / (hi - lo - k))
        dw = mp.fsum((e[i] - e[i - 1]) ** 2 for i in range(1, n)) / mp.fdot(e, e)
    w = np.array(mp_ref.recursive(y, X)[0])
    hc = w.mean() * math.sqrt(w.size) / w.std(ddof=1)
    return {
        "white": white,
        "reset": reset,
        "goldfeld_quandt": gq,
        "rainbow": rain,
        "harvey_collier": hc,
        "durbin_watson": dw,
    }


def _trend(n=50):
    t = np.arange(1.0, n + 1)
    rng = np.random.default_rng(11)
    return t**3 * 1e-3 + 20 * rng.normal(size=n), np.column_stack([t, t**2, t**3])


@pytest.mark.parametrize("case", ["trend", "longley"])
def test_mpmath_on_ill_conditioned_designs(case):
    if case == "trend":
        y, X = _trend()
    else:
        y, X = (a.to_numpy() for a in _sm_sets()["longley"])
    r = diagnose(y, X, tests=NEW)
    ref = _mp_refs(y, np.column_stack([np.ones(len(y)), X]))
    for test, value in ref.items():
        assert r.tests[test].statistic == pytest.approx(float(value), rel=1e-9), test


# ------------------------------------------------------------ Durbin-Watson


def _dw_matrix(n):
    return np.diag(np.r_[1.0, np.full(n - 2, 2.0), 1.0]) - np.eye(n, k=1) - np.eye(n, k=-1)


def _imhof_mp(nu, c):
    """P(sum (nu_j - c) z_j^2 <= 0) by Imhof's integral at 25 digits."""
    with mp.workdps(25):
        v = [mp.mpf(x) - mp.mpf(c) for x in nu]

        def f(u):
            theta = mp.fsum(mp.atan(x * u) for x in v) / 2
            return mp.sin(theta) / (u * mp.exp(mp.fsum(mp.log1p((x * u) ** 2) for x in v) / 4))

        s = mp.sqrt(mp.fsum(x * x for x in v))
        return (
            mp.mpf(1) / 2
            - mp.quad(f, [0] + [mp.mpf(2) ** j / s for j in range(7)] + [mp.inf]) / mp.pi
        )


@pytest.mark.parametrize("const", [0, -1])
def test_dw_exact_against_high_precision(const):
    """Eigenvalues of C'AC (C the complement of the design) at 40 digits, then
    Imhof's integral: a route sharing nothing with the determinants used."""
    n, rng = 9, np.random.default_rng(4)
    X = np.column_stack([np.ones(n), np.arange(n) ** 1.5, rng.normal(size=n)])[
        :, (0 if const == 0 else 1) :
    ]
    with mp.workdps(40):
        Q, _ = mp.qr(mp.matrix(X.tolist()), mode="full")
        C = Q[:, X.shape[1] :]
        nu = [
            float(x)
            for x in mp.eigsy(C.T * mp.matrix(_dw_matrix(n).tolist()) * C, eigvals_only=True)
        ]
    null = _spectests.DWNull(np.linalg.qr(X)[0], const)
    for c in np.linspace(min(nu), max(nu), 7)[1:-1]:
        ref = float(_imhof_mp(nu, c))
        low, high = null.tails(float(c))
        assert low == pytest.approx(ref, rel=1e-11, abs=1e-15)
        assert high == pytest.approx(1 - ref, rel=1e-11, abs=1e-15)


def test_dw_exact_against_simulation():
    n, reps, rng = 25, 40_000, np.random.default_rng(8)
    X = np.column_stack([np.ones(n), np.arange(n), rng.normal(size=n)])
    Q = np.linalg.qr(X)[0]
    E = rng.normal(size=(reps, n))
    E -= (E @ Q) @ Q.T
    d = (np.diff(E, axis=1) ** 2).sum(1) / (E * E).sum(1)
    null = _spectests.DWNull(Q, 0)
    for c in np.quantile(d, [0.01, 0.1, 0.5, 0.9, 0.99]):
        p = null.tails(float(c))[0]
        assert abs(np.mean(d <= c) - p) < 4.5 * math.sqrt(p * (1 - p) / reps)


@pytest.mark.parametrize("design", ["normal", "trend"])
def test_dw_approximation_at_the_switch(design):
    n, rng = _spectests.DW_EXACT_MAX, np.random.default_rng(2)
    t = np.arange(n) / n
    X = np.column_stack([np.ones(n), rng.normal(size=n) if design == "normal" else t, t**2])
    null = _spectests.DWNull(np.linalg.qr(X)[0], 0)
    for c in np.linspace(1.8, 2.2, 9):  # the mean (2 here) included
        lp = null.lam - c
        exact, approx = null.exact(lp), null.saddlepoint(lp)
        assert np.allclose(exact, approx, rtol=0, atol=1e-7), c


def test_dw_p_value_is_the_saddlepoint_above_the_switch():
    n, rng = _spectests.DW_EXACT_MAX + 1, np.random.default_rng(6)
    y, x = rng.normal(size=n), rng.normal(size=n)
    t = one("durbin_watson", y, x, dw_alternative="two-sided")
    null = _spectests.DWNull(np.linalg.qr(np.column_stack([np.ones(n), x]))[0], 0)
    assert t.pvalue == pytest.approx(2 * min(null.exact(null.lam - t.statistic)), abs=1e-5)


# --------------------------------------------------- many series, same bits


def _frame(G=5, n=40):
    rng = np.random.default_rng(3)
    parts = []
    for g in range(G):
        x = rng.normal(size=(n, 2))
        y = 1 + x @ [1.0, -1.0] + rng.normal(size=n) * (1 + np.abs(x[:, 0]) * (g % 2))
        parts.append(pd.DataFrame({"g": g, "y": y, "a": x[:, 0], "b": x[:, 1]}))
    return pd.concat(parts, ignore_index=True)


OPTS = {
    "bg_form": "f",
    "bp_regressors": ["a"],
    "lb_model_df": 1,
    "gq_order_by": "a",
    "hc_order_by": "b",
    "reset_type": "princomp",
}


def test_diagnose_many_gives_diagnoses_bits():
    df = _frame()
    tests = NEW + ["breusch_godfrey", "breusch_pagan", "breusch_pagan_koenker", "ljung_box"]
    one_w = Kalvoren.diagnose_many(df, by="g", y="y", x=["a", "b"], tests=tests, workers=1, **OPTS)
    two_w = Kalvoren.diagnose_many(df, by="g", y="y", x=["a", "b"], tests=tests, workers=2, **OPTS)
    pd.testing.assert_frame_equal(one_w, two_w)
    for g, part in df.groupby("g"):
        r = diagnose(part["y"], part[["a", "b"]], tests=tests, **OPTS)
        for tid, t in r.tests.items():
            assert t.status == 0 and one_w.loc[g, f"{tid}_statistic"] == t.statistic, tid
            assert one_w.loc[g, f"{tid}_pvalue"] == t.pvalue, tid
    Y = df["y"].to_numpy().reshape(5, 40)
    X = df[["a", "b"]].to_numpy()[:40]
    shared = Kalvoren.diagnose_many(Y, X, tests=NEW, bp_regressors=[1])
    for g in (0, 3):
        r = diagnose(Y[g], X, tests=NEW)
        for tid in NEW:
            assert shared.loc[g, f"{tid}_statistic"] == r.tests[tid].statistic, tid
            assert shared.loc[g, f"{tid}_pvalue"] == r.tests[tid].pvalue, tid


# ------------------------------------------------------ options and hostility


@pytest.mark.parametrize(
    "kw, param, kind",
    [
        ({"reset_power": 1}, "reset_power", ValueError),
        ({"reset_type": "exog"}, "reset_type", ValueError),
        ({"gq_split": 1.5}, "gq_split", ValueError),
        ({"gq_drop": 1.0}, "gq_drop", ValueError),
        ({"rainbow_fraction": 0.0}, "rainbow_fraction", ValueError),
        ({"dw_alternative": "up"}, "dw_alternative", ValueError),
        ({"white_cross": "yes"}, "white_cross", TypeError),
        ({"bg_form": "F"}, "bg_form", ValueError),
        ({"bp_regressors": [1.5]}, "bp_regressors", TypeError),
        ({"bp_regressors": "nope"}, "bp_regressors", ValueError),
        ({"gq_order_by": 9}, "gq_order_by", ValueError),
        ({"hc_order_by": np.ones(3)}, "hc_order_by", ValueError),
        ({"gq_order_by": np.array([np.nan] * 30)}, "gq_order_by", ValueError),
        ({"lb_model_df": -1}, "lb_model_df", ValueError),
    ],
)
def test_bad_options_name_themselves(kw, param, kind):
    rng = np.random.default_rng(0)
    x = pd.DataFrame({"a": rng.normal(size=30)})
    with pytest.raises(kind) as e:
        diagnose(rng.normal(size=30), x, tests=NEW + ["breusch_pagan"], **kw)
    assert isinstance(e.value, Kalvoren.OptionError) and e.value.param == param


def test_awkward_data_gets_statuses():
    rng = np.random.default_rng(1)
    x = rng.normal(size=30)
    exact = diagnose(1 + 2 * x, x, tests=NEW)
    assert all(t.status == Status.UNDEFINED_VARIANCE for t in exact.tests.values())
    short = diagnose(rng.normal(size=6), rng.normal(size=(6, 2)), tests=NEW)
    assert (
        short.tests["goldfeld_quandt"].status == short.tests["rainbow"].status == Status.TOO_SHORT
    )
    # more powers than observations: a status at once, not a design of 10^20 columns
    huge = diagnose(rng.normal(size=30), x, tests=["reset"], reset_power=10**20)
    assert huge.tests["reset"].status == Status.TOO_SHORT
    alone = diagnose(rng.normal(size=30), None, tests=NEW)
    assert alone.tests["white"].status == alone.tests["reset"].status == Status.BAD_ARG
    assert alone.tests["durbin_watson"].status == 0
    lb = Kalvoren.ljung_box(rng.normal(size=30), x, lags=2, lb_model_df=2)
    assert lb.status == Status.BAD_ARG and "lb_model_df" in lb.note
    # a dummy's square is the dummy: it leaves White's degrees of freedom
    dummy = (x > 0).astype(float)
    y = 1 + x + rng.normal(size=30) * (1 + dummy)
    assert one("white", y, np.column_stack([x, dummy])).df == 4
    # a collinear copy (or a zero column) is dropped and every new test runs on
    # what is left, beside native tests whose least-squares route ran first
    both = NEW + ["breusch_godfrey", "arch_lm"]
    base = diagnose(y, np.column_stack([x, dummy]), tests=both)
    for extra in (2 * x, np.zeros(30)):
        twice = diagnose(y, np.column_stack([x, dummy, extra]), tests=both)
        for tid in both:
            assert twice.tests[tid].route == "least-squares"
            assert twice.tests[tid].statistic == pytest.approx(base.tests[tid].statistic, rel=1e-9)
    twice = diagnose(y, np.column_stack([x, dummy, 2 * x]), tests=NEW)
    for tid in NEW:
        assert twice.tests[tid].route == "least-squares"
        assert twice.tests[tid].statistic == pytest.approx(base.tests[tid].statistic, rel=1e-9)


@settings(max_examples=25, deadline=None)
@given(
    n=st.integers(3, 40),
    k=st.integers(0, 3),
    scale=st.sampled_from([1.0, 1e-150, 1e150]),
    seed=st.integers(0, 2**16),
)
def test_status_zero_is_finite(n, k, scale, seed):
    assume(n > k + 2)
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, k)) * scale
    if k:
        X[:, 0] = np.round(X[:, 0])  # ties for the orderings
    r = diagnose(rng.standard_t(3, size=n) * scale, X, tests=NEW, gq_order_by=0, hc_order_by=0)
    for tid, t in r.tests.items():
        assert (t.status == 0) == (math.isfinite(t.statistic) and 0 <= t.pvalue <= 1), tid


def test_ljung_box_table_and_command_line(tmp_path):
    e = np.random.default_rng(5).normal(size=50)
    with pytest.raises(Kalvoren.OptionError):
        Kalvoren.ljung_box_table(e, lags=[0])
    with pytest.raises(ValueError):
        Kalvoren.ljung_box_table(np.r_[e, np.nan], lags=4)
    assert list(Kalvoren.ljung_box_table(e, lags=4).index) == [4]
    from Kalvoren import diagnostics

    path = tmp_path / "bond.csv"
    dataset("bondyield").to_csv(path, index=False)
    args = [str(path), "--y", "RAARUS", "--x", "MOOD", "EPI", "EXP", "RUS", "--format", "json"]
    args += ["--tests", "white", "goldfeld_quandt", "breusch_pagan", "--white-cross", "false"]
    args += ["--gq-order-by", "MOOD", "--bp-regressors", "MOOD", "EPI"]
    import contextlib
    import io

    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert diagnostics.main(args) == 0
    tests = json.loads(out.getvalue())["tests"]
    assert tests["white"]["df"] == 8 and tests["breusch_pagan"]["df"] == 2
    assert (
        tests["goldfeld_quandt"]["statistic"]
        == one(
            "goldfeld_quandt",
            dataset("bondyield")["RAARUS"],
            dataset("bondyield")[["MOOD", "EPI", "EXP", "RUS"]],
            gq_order_by="MOOD",
        ).statistic
    )
