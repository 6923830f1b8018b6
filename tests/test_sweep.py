"""Every status-0 statistic diagnose reports, on either route, against the
60-plus-digit reference of mp_ref.battery: within 1e-8 relatively (absolutely
below FLOOR), with the reference's degrees of freedom, a finite p-value, and
the status the data call for (exact fits -1003, everything else 0 unless the
test has no statistic for the design). An error may pass only where the
report says the data do not pin the statistic, and only as far as its note
says they do. KVR_SWEEP_HEAVY=1 adds more
seeds and sizes."""

from __future__ import annotations

import functools
import math
import os
import re

import designs
import mp_ref
import numpy as np
import pytest
import statsmodels.api as sm
from statsmodels.stats import diagnostic as dg
from statsmodels.stats.stattools import jarque_bera

import Kalvoren

TOL = 1e-8
FLOOR = 1e-3  # statistics below it are compared absolutely
EPS = 2.22e-16
# the tests mp_ref.battery has references for
TEST_IDS = (
    "breusch_godfrey",
    "breusch_pagan",
    "breusch_pagan_koenker",
    "chow",
    "cusum",
    "cusum_squares",
    "ljung_box",
    "jarque_bera",
    "hac_wald",
)
DESIGNS = designs.all_designs(os.environ.get("KVR_SWEEP_HEAVY") == "1")


@functools.cache
def outcome(name: str):
    """(report, reference or None for an exact fit) of one design."""
    d = DESIGNS[name]
    report = Kalvoren.diagnose(d.y, d.X, lags=d.lags, add_constant=d.add_constant)
    if d.exact:
        return report, None
    X, const_col = d.model()
    ref = mp_ref.battery(d.y, X, const_col, d.lags, report.t_break, report.hac_lags)
    return report, ref


def pinned_to(result) -> float:
    """The error the report owns up to: TOL, or a digit short of what its note
    says the data determine when that is fewer than 8."""
    m = re.search(r"about (\d+) digits", result.note)
    return TOL if m is None else max(TOL, 10.0 ** (1 - int(m.group(1))))


def expected_status(name: str, tid: str, ref) -> int | None:
    """The status the data call for; None: any but 0 (no statistic exists)."""
    if ref is None:
        return -1003
    if tid == "jarque_bera" and len(DESIGNS[name].y) < 10:
        return -1005
    if tid in ("breusch_pagan", "breusch_pagan_koenker", "hac_wald") and ref[tid][1] == 0:
        return None
    return 0


def check(name: str, tid: str) -> list[tuple]:
    """The faults of one test on one design: (what, route, got, want, error)."""
    report, ref = outcome(name)
    r = report.tests[tid]
    want = expected_status(name, tid, ref)
    faults = []
    if r.status != want and not (want is None and r.status != 0):
        faults.append(("status", r.route, r.status, want, None))
    if r.status != 0:
        return faults
    if not (math.isfinite(r.statistic) and math.isfinite(r.pvalue)):
        faults.append(("not finite", r.route, r.statistic, r.pvalue, None))
    if ref is None or want != 0:
        return faults
    stat, df = ref[tid]
    err = abs(r.statistic - stat) / max(abs(stat), FLOOR)
    if not err <= pinned_to(r):
        faults.append(("statistic", r.route, r.statistic, stat, err))
    if r.df != df and pinned_to(r) == TOL:
        faults.append(("df", r.route, r.df, df, None))
    return faults


@pytest.mark.parametrize("tid", TEST_IDS)
@pytest.mark.parametrize("name", DESIGNS)
def test_sweep(name, tid):
    faults = check(name, tid)
    assert not faults, "; ".join(
        f"{what} ({route}): got {got!r}, want {want!r}" + (f", error {err:.2e}" if err else "")
        for what, route, got, want, err in faults
    )


@pytest.mark.filterwarnings("ignore:acorr_breusch_godfrey:FutureWarning")
def test_reference_agrees_with_statsmodels():
    # the oracle itself, on a benign design where double precision is enough
    rng = np.random.default_rng(1)
    n = 60
    X = np.column_stack([np.ones(n), rng.standard_normal(n), np.arange(n) / 10])
    y = X @ [1, 2, 0.3] + rng.standard_normal(n) * (1 + np.arange(n) / 60)
    ref = mp_ref.battery(y, X, 0, 4, 30, 3)
    fit = sm.OLS(y, X).fit()
    e = fit.resid
    ssr = [sm.OLS(y[s], X[s]).fit().ssr for s in (slice(0, 30), slice(30, n))]
    hac = sm.OLS(y, X).fit(cov_type="HAC", cov_kwds={"maxlags": 3, "use_correction": False})
    rr = dg.recursive_olsresiduals(fit)[3][3:]
    w = mp_ref.recursive_givens(X, y)
    want = {
        "breusch_godfrey": dg.acorr_breusch_godfrey(fit, nlags=4)[0],
        "breusch_pagan": dg.het_breuschpagan(e, X, robust=False)[0],
        "breusch_pagan_koenker": dg.het_breuschpagan(e, X)[0],
        "chow": ((fit.ssr - sum(ssr)) / 3) / (sum(ssr) / (n - 6)),
        "cusum": mp_ref.cusum_stats(rr)[0],
        "cusum_squares": mp_ref.cusum_stats(rr)[1],
        "ljung_box": dg.acorr_ljungbox(e, lags=[4]).lb_stat.iloc[0],
        "jarque_bera": jarque_bera(e)[0],
        "hac_wald": hac.wald_test(np.eye(3)[1:], scalar=True).statistic,
    }
    for tid, v in want.items():
        assert ref[tid][0] == pytest.approx(v, rel=1e-9), tid
    assert np.allclose(w, mp_ref.recursive(y, X)[0], rtol=1e-13, atol=0)
    assert ref["rank"] == 3 and ref["chow"][1] == (3, n - 6)
