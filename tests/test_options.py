"""One set of options for every entry point: diagnose, diagnose_many, the Dask
path and the command line accept and refuse the same things, and a group the
options do not fit gets the status diagnose refuses it with."""

import contextlib
import io

import numpy as np
import pandas as pd
import pytest

import Kalvoren
from Kalvoren import Status, diagnostics

dd = pytest.importorskip("dask.dataframe")
from Kalvoren import dask as kd  # noqa: E402

rng = np.random.default_rng(7)
N = 30


def frame(G=3, n=N):
    df = pd.DataFrame({"g": np.repeat(np.arange(G), n), "a": rng.normal(size=G * n), "c": 1.0})
    df["y"] = 1 + df["a"] + rng.normal(size=G * n)
    return df


def cli(*args):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = diagnostics.main([str(a) for a in args])
    return code, out.getvalue(), err.getvalue()


def entry_points(df, **kw):
    """Each entry point run on the same data with the same options."""
    one = df[df.g == 0]
    return {
        "diagnose": lambda: Kalvoren.diagnose(one["y"], one["a"], **kw),
        "diagnose_many": lambda: Kalvoren.diagnose_many(df, by="g", y="y", x=["a"], **kw),
        "dask": lambda: kd.diagnose_many(
            dd.from_pandas(df, npartitions=2), by="g", y="y", x=["a"], **kw
        ),
    }


@pytest.mark.parametrize(
    "kw, param, kind",
    [
        ({"lags": 2.7}, "lags", TypeError),
        ({"lags": True}, "lags", TypeError),
        ({"lags": 0}, "lags", ValueError),
        ({"hac_lags": -1}, "hac_lags", ValueError),
        ({"hac_lags": 1.5}, "hac_lags", TypeError),
        ({"alpha": 1.0}, "alpha", ValueError),
        ({"tests": ["nope"]}, "tests", ValueError),
        ({"add_constant": "yes"}, "add_constant", TypeError),
    ],
)
def test_every_entry_point_refuses_the_same_options(kw, param, kind):
    for name, run in entry_points(frame(), **kw).items():
        with pytest.raises(kind) as e:
            run()
        assert isinstance(e.value, Kalvoren.OptionError) and e.value.param == param, name


@pytest.mark.parametrize(
    "flag, value, text",
    [
        ("--hac-lags", "-1", "--hac-lags must be >= 0 (got -1)"),
        ("--lags", "40", "--lags must be between"),
        ("--break", "1", "--break leaves fewer"),
    ],
)
def test_the_command_line_names_its_flags(tmp_path, flag, value, text):
    path = tmp_path / "d.csv"
    frame(1).to_csv(path, index=False)
    code, out, err = cli(path, "--y", "y", "--x", "a", flag, value)
    assert code == 2 and out == "" and f"error: {text}" in err and err.count("\n") == 1


@pytest.mark.parametrize(
    "n, kw, tests, status",
    [
        (3, {}, Kalvoren.TEST_IDS, Status.TOO_SHORT),  # n = k + 1
        (N, {"break_at": 1}, ["chow"], Status.BAD_ARG),
        (N, {"break_at": 2}, ["chow"], Status.BAD_ARG),
        (8, {"lags": 6}, ["breusch_godfrey", "ljung_box"], Status.BAD_LAG),
    ],
)
def test_groups_the_options_do_not_fit_get_diagnoses_refusal(n, kw, tests, status):
    df = frame(3, n)
    with pytest.raises(Kalvoren.OptionError):
        Kalvoren.diagnose(df["y"][:n], df["a"][:n], **kw)
    many = Kalvoren.diagnose_many(df, by="g", y="y", x=["a"], **kw)
    for tid in [t for t in Kalvoren.TEST_IDS if f"{t}_status" in many]:
        col = many[f"{tid}_status"]
        assert (col == status).all() if tid in tests else (col != status).all(), tid
    assert many["note"].str.contains(f"n = {n}").all()
    lazy = kd.diagnose_many(dd.from_pandas(df, npartitions=2), by="g", y="y", x=["a"], **kw)
    pd.testing.assert_frame_equal(lazy.compute().sort_index(), many, check_index_type=False)


@pytest.mark.parametrize("case", ["missing value", "per partition", "everywhere"])
def test_one_constant_detector(case):
    df = frame(4)
    if case == "missing value":
        df.loc[5, "c"] = np.nan  # constant but for one missing value: not the constant
    elif case == "per partition":
        df["c"] = np.where(df.index < len(df) // 2, 2.0, 3.0)  # constant within each part only
    many = Kalvoren.diagnose_many(df, by="g", y="y", x=["c", "a"])
    lazy = kd.diagnose_many(dd.from_pandas(df, npartitions=2), by="g", y="y", x=["c", "a"])
    pd.testing.assert_frame_equal(lazy.compute().sort_index(), many, check_index_type=False)


def test_chosen_tests_only():
    df = frame(2)
    pick = ["chow", "breusch_godfrey"]
    r = Kalvoren.diagnose(df["y"][:N], df["a"][:N], tests=pick)
    assert list(r.tests) == ["breusch_godfrey", "chow"]
    full = Kalvoren.diagnose(df["y"][:N], df["a"][:N])
    for tid in pick:
        assert r.tests[tid].statistic == full.tests[tid].statistic
    many = Kalvoren.diagnose_many(df, by="g", y="y", x=["a"], tests=pick)
    assert [c for c in many if c.endswith("_status")] == ["breusch_godfrey_status", "chow_status"]
    assert many.loc[0, "chow_statistic"] == full.tests["chow"].statistic


def test_results_own_their_meaning():
    df = frame(1)
    r = Kalvoren.diagnose(df["y"], df["a"])
    bg, chow, cusum = r.tests["breusch_godfrey"], r.tests["chow"], r.tests["cusum"]
    assert bg.null and bg.alternative and bg.distribution == "chi2(lags)"
    assert bg.critical_value(0.05) == pytest.approx(9.487729036781154)
    assert chow.dist.sf(chow.statistic) == pytest.approx(chow.pvalue, rel=1e-12)
    assert cusum.dist is None and cusum.reason is None
    # options that change the reference change the distribution too
    for kw, tid in (({"hac_pvalue": "chi2"}, "hac_wald"), ({"bg_form": "f"}, "breusch_godfrey")):
        t = Kalvoren.diagnose(df["y"], df["a"], **kw).tests[tid]
        assert t.dist.sf(t.statistic) == pytest.approx(t.pvalue, rel=1e-9), tid
    refused = Kalvoren.diagnose(df["y"], tests=["hac_wald"]).tests["hac_wald"]
    assert refused.reason is Status.BAD_ARG and refused.status == -1007
    stat, p = bg
    assert (stat, p) == (bg.statistic, bg.pvalue)
    assert list(r.params.index) == ["const", "a"] and r.bse.index.equals(r.params.index)
    ci = r.conf_int(0.05)
    assert ((ci["lower"] < r.params) & (r.params < ci["upper"])).all()


def test_docs_list_the_registry():
    import pathlib
    import runpy

    root = pathlib.Path(__file__).parents[1]
    docs = runpy.run_path(str(root / "scripts" / "make_docs.py"))
    readme = (root / "README.md").read_text()
    assert docs["render"](readme) == readme, "run python scripts/make_docs.py"
    for tid in Kalvoren.TEST_IDS:
        assert tid in diagnostics.__doc__, tid


@pytest.mark.parametrize("lags", [1, 4])
def test_arch_lm_equals_statsmodels(lags):
    sm = pytest.importorskip("statsmodels.api")
    from statsmodels.stats.diagnostic import het_arch

    d = sm.datasets.macrodata.load_pandas().data
    y, X = d["realcons"], d[["realgdp", "realinv"]]
    r = Kalvoren.diagnose(y, X, tests=["arch_lm"], arch_lags=lags).tests["arch_lm"]
    with pytest.warns(FutureWarning):
        lm, p = het_arch(sm.OLS(y, sm.add_constant(X)).fit().resid, nlags=lags)[:2]
    assert r.statistic == pytest.approx(lm, rel=1e-10) and r.df == lags
    assert r.pvalue == pytest.approx(p, rel=1e-8)


@pytest.mark.parametrize("module", ["_tests_spec", "_tests_breaks", "_registry", "_engine"])
def test_any_registry_module_may_be_imported_first(module):
    """A family of tests imported before the registry (as a worker unpickling
    one of its functions would) must not meet a half-built registry."""
    import subprocess
    import sys

    code = f"import Kalvoren.{module}, Kalvoren._registry as r; print(len(r.TESTS))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    from Kalvoren import _registry

    assert int(out.stdout) == len(_registry.TESTS)
