"""The model checks in the native battery: the same statuses, degrees of freedom,
statistics and p-values as the Python route (_spectests) over a table of designs,
the status rules of the new bits, and hostile options."""

import sys
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import Kalvoren
from Kalvoren import Status, _engine, _registry
from Kalvoren._ckernels.diag import _batch

NEW = ["white", "reset", "goldfeld_quandt", "harvey_collier", "rainbow", "durbin_watson"]
BITS = {
    "white": "WHITE",
    "reset": "RESET",
    "goldfeld_quandt": "GQ",
    "harvey_collier": "HC",
    "rainbow": "RAINBOW",
    "durbin_watson": "DW",
}
sys.path.insert(0, str(Path(__file__).parent))
OPTS = np.array([3.0, 1.0, 0.5, 0.0, 0.5])  # reset_power .. rainbow_fraction


def results(y, X, python=False, **kw):
    """The six checks through diagnose, natively or (python) by _spectests."""
    saved = {}
    _engine._PLANS.clear()  # plans are worked out from the registry once
    if python:
        for tid in NEW:
            spec = _registry.BY_ID[tid]
            saved[tid] = spec.python_when
            object.__setattr__(spec, "python_when", lambda options: True)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", Kalvoren.KalvorenWarning)
            r = Kalvoren.diagnose(y, X, tests=NEW, **kw)
    finally:
        for tid, f in saved.items():
            object.__setattr__(_registry.BY_ID[tid], "python_when", f)
        _engine._PLANS.clear()
    return {t: r.tests[t] for t in NEW}


def design(kind, n, rng):
    x = rng.normal(size=(n, 2))
    if kind == "trend":
        x[:, 0] = np.arange(n) / n
    if kind == "dummy":
        x[:, 1] = rng.random(n) < 0.4
    if kind == "wide":
        x = np.column_stack([x, rng.normal(size=(n, 3))])
    if kind == "scaled":
        x = x * [1e-200, 1e150]
    return x


@pytest.mark.parametrize("kind", ["normal", "trend", "dummy", "wide", "scaled"])
@pytest.mark.parametrize("n", [15, 60, 250])
@pytest.mark.parametrize("const", [True, False])
def test_native_agrees_with_python_route(kind, n, const):
    rng = np.random.default_rng(n + len(kind))
    X = design(kind, n, rng)
    y = X @ np.ones(X.shape[1]) * 0 + rng.normal(size=n) * (1 + np.arange(n) / n)
    y = y + 0.2 * (X[:, 0] / np.abs(X[:, 0]).max()) ** 2
    a, b = results(y, X, add_constant=const), results(y, X, python=True, add_constant=const)
    for t in NEW:
        assert (a[t].status, a[t].df) == (b[t].status, b[t].df), t
        if a[t].status == 0:
            assert a[t].statistic == pytest.approx(b[t].statistic, rel=1e-11), t
            assert a[t].pvalue == pytest.approx(b[t].pvalue, rel=1e-10, abs=1e-300), t


@settings(max_examples=25, deadline=None)
@given(
    n=st.integers(8, 120),
    seed=st.integers(0, 2**32 - 1),
    options=st.fixed_dictionaries(
        {
            "reset_power": st.integers(2, 5),
            "white_cross": st.booleans(),
            "gq_split": st.sampled_from([0.3, 0.5, 0.7, 6]),
            "gq_drop": st.sampled_from([0.0, 0.2]),
            "rainbow_fraction": st.sampled_from([0.4, 0.5, 0.9]),
            "dw_alternative": st.sampled_from(["greater", "less", "two-sided"]),
            "gq_alternative": st.sampled_from(["increasing", "two-sided"]),
        }
    ),
)
def test_native_agrees_under_options(n, seed, options):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 2))
    y = rng.standard_t(5, size=n)
    a, b = results(y, X, **options), results(y, X, python=True, **options)
    for t in NEW:
        assert (a[t].status, a[t].df) == (b[t].status, b[t].df), t
        if a[t].status == 0:
            assert a[t].statistic == pytest.approx(b[t].statistic, rel=1e-10), t
            assert a[t].pvalue == pytest.approx(b[t].pvalue, rel=1e-9, abs=1e-300), t


def checks(y, X, bits, const_col=0, options=OPTS):
    y = np.asarray(y, dtype=np.float64)
    out, _, _ = _batch.battery_checks(
        y, X, [0, y.shape[0]], const_col, 2, [1], [1], bits, 0, options, NO_COV
    )
    return {t: out[0, _batch.FIELDS.index(f"{b.lower()}_status")] for t, b in BITS.items()}, out


ALL_CHECKS = _batch.ALL
NO_COV = np.empty(0, dtype=np.int64)  # the battery's own HAC


@pytest.mark.parametrize(
    "case, status",
    [
        ("n = k", Status.TOO_SHORT),
        ("exact fit", Status.UNDEFINED_VARIANCE),
        ("non-finite", Status.UNDEFINED_VARIANCE),
    ],
)
def test_status_rules(case, status):
    rng = np.random.default_rng(3)
    n = 3 if case == "n = k" else 30
    X = np.column_stack([np.ones(n), rng.normal(size=(n, 2))])
    y = X @ [1.0, 2.0, 3.0] if case == "exact fit" else rng.normal(size=n)
    if case == "non-finite":
        y[4] = np.nan
    st_, out = checks(y, X, ALL_CHECKS)
    assert set(st_.values()) == {status}
    assert all(np.isnan(out[0, _batch.FIELDS.index(f"{b.lower()}_stat")]) for b in BITS.values())


def test_status_zero_is_finite_and_unselected_is_nan():
    rng = np.random.default_rng(5)
    X = np.column_stack([np.ones(40), rng.normal(size=(40, 2))])
    st_, out = checks(rng.normal(size=40), X, ALL_CHECKS)
    assert set(st_.values()) == {0}
    F = _batch.FIELDS
    for name in ("white_stat", "gq_df2", "hc_df", "dw_low", "dw_high", "rainbow_df1"):
        assert np.isfinite(out[0, F.index(name)])
    assert out[0, F.index("dw_low")] + out[0, F.index("dw_high")] == pytest.approx(1.0)
    st_, out = checks(rng.normal(size=40), X, _batch.ALL & ~_batch.CHECKS)
    assert all(np.isnan(v) for v in st_.values())
    out, _, _ = _batch.battery(np.ones(40), X, [0, 40], 0, 2, [1], [1], _batch.ALL, 0)
    assert np.isnan(out[0, _batch.FIELDS.index("dw_status")])  # battery() runs no checks


@pytest.mark.parametrize(
    "bad",
    [
        [1.0, 1.0, 0.5, 0.0, 0.5],  # reset_power below 2
        [9.0, 1.0, 0.5, 0.0, 0.5],  # beyond the native maximum
        [3.0, 1.0, 1.5, 0.0, 0.5],  # a split neither a fraction nor a row count
        [3.0, 1.0, 0.5, 1.0, 0.5],  # drop 1
        [3.0, 1.0, 0.5, 0.0, 0.0],  # rainbow fraction 0
        [3.0, 1.0, np.nan, 0.0, 0.5],
        [3.0, 1.0, 0.5, 0.0],  # too short
    ],
)
def test_bad_options_raise(bad):
    X = np.column_stack([np.ones(20), np.arange(20.0)])
    with pytest.raises(ValueError):
        checks(np.arange(20.0) ** 2, X, ALL_CHECKS, options=np.array(bad))
    with pytest.raises(ValueError, match="bits outside"):
        checks(np.arange(20.0) ** 2, X, _batch.ALL + 1)


def test_shared_design_keeps_bits():
    """Series after the first reuse the design's work: the same bits as alone."""
    rng = np.random.default_rng(9)
    n, G = 50, 4
    X = np.column_stack([np.ones(n), rng.normal(size=(n, 2))])
    Y = rng.normal(size=(G, n))
    many, _, _ = _batch.battery_checks(
        Y.ravel(), X, np.arange(G + 1) * n, 0, 2, [1] * G, [1] * G, ALL_CHECKS, 1, OPTS, NO_COV
    )
    for g in range(G):
        _, one = checks(Y[g], X, ALL_CHECKS)
        np.testing.assert_array_equal(many[g], one[0])


def test_design_work_is_not_kept_across_calls():
    """A batch whose first series fails before its checks run must not reuse
    the design work another call left in recycled memory."""
    rng = np.random.default_rng(11)
    n = 40
    X1 = np.column_stack([np.ones(n), rng.normal(size=(n, 2))])
    X2 = np.column_stack([np.ones(n), np.arange(n) / n, rng.normal(size=n) ** 2])
    y = rng.normal(size=n)
    want = [checks(y, X, ALL_CHECKS)[1][0] for X in (X1, X2)]
    for X, w in zip((X2, X1, X2), (want[1], want[0], want[1])):
        Y = np.concatenate([np.full(n, np.nan), y])  # the first series stops at its data
        out, _, _ = _batch.battery_checks(
            Y, X, [0, n, 2 * n], 0, 2, [1, 1], [1, 1], ALL_CHECKS, 1, OPTS, NO_COV
        )
        np.testing.assert_array_equal(out[1], w)


@pytest.mark.parametrize("const", [0, -1])
def test_dw_tails_against_high_precision(const):
    """The battery's exact tails at the statistic of several series against
    40-digit eigenvalues of C'AC and Imhof's integral in mpmath (test_spectests)."""
    import mpmath as mp
    from test_spectests import _dw_matrix, _imhof_mp

    n, rng = 9, np.random.default_rng(4)
    X = np.column_stack([np.ones(n), np.arange(n) ** 1.5, rng.normal(size=n)])
    X = X if const == 0 else X[:, 1:]
    with mp.workdps(40):
        Q, _ = mp.qr(mp.matrix(X.tolist()), mode="full")
        C = Q[:, X.shape[1] :]
        nu = [float(x) for x in mp.eigsy(C.T * mp.matrix(_dw_matrix(n).tolist()) * C)[0]]
    F = _batch.FIELDS
    for _ in range(4):
        _, out = checks(rng.normal(size=n), X, _batch.DW, const_col=const)
        d, low, high = (out[0, F.index(f)] for f in ("dw_stat", "dw_low", "dw_high"))
        ref = float(_imhof_mp(nu, d))
        assert low == pytest.approx(ref, rel=1e-11, abs=1e-15)
        assert high == pytest.approx(1 - ref, rel=1e-11, abs=1e-15)


@pytest.mark.parametrize(
    "cov", [("HC1", None), ("HAC", {"kernel": "parzen", "bandwidth": "andrews"})]
)
def test_checks_and_a_chosen_covariance_in_one_call(cov):
    """The checks and another covariance share one native call: neither may
    move the other's numbers, and many series give each one's bits."""
    rng = np.random.default_rng(5)
    n, G = 80, 3
    X = rng.normal(size=(n, 2))
    Y = X @ [1.0, -1.0] + rng.normal(size=(G, n)) * (1 + np.arange(n) / n)
    tests = [*NEW, "hac_wald"]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", Kalvoren.KalvorenWarning)
        many = Kalvoren.diagnose_many(Y, X, tests=tests, cov_type=cov[0], cov_options=cov[1])
        for g in range(G):
            both = Kalvoren.diagnose(Y[g], X, tests=tests, cov_type=cov[0], cov_options=cov[1])
            alone = Kalvoren.diagnose(Y[g], X, tests=NEW)
            V = Kalvoren.robust_cov(Y[g], X, cov_type=cov[0], **(cov[1] or {}))
            np.testing.assert_array_equal(np.asarray(both.cov), np.asarray(V))
            for t in tests:
                r = both.tests[t]
                assert many.loc[g, f"{t}_statistic"] == r.statistic or r.statistic != r.statistic
                if t in NEW:
                    assert r.statistic == alone.tests[t].statistic, t
                    assert r.pvalue == alone.tests[t].pvalue, t


@pytest.mark.parametrize(
    "kind, add",
    [("plain", 1), ("plain", 0), ("constant", 1), ("no slopes", 1), ("nan", 1), ("y in X", 1)],
)
def test_battery_one_is_design_then_battery(kind, add):
    """diagnose's one call: what design() and then battery_checks() give, bit
    for bit, and the inputs left as they were."""
    rng = np.random.default_rng(13)
    n = 45
    X = rng.normal(size=(n, 0 if kind == "no slopes" else 2))
    y = X.sum(axis=1) + rng.normal(size=n)
    if kind == "constant":
        X[:, 1] = 3.0
    elif kind == "nan":
        X[5, 0] = np.nan
    elif kind == "y in X":
        X[:, 0] = y
    keep = y.copy(), X.copy()
    got = _batch.battery_one(y, X, add, 3, 20, 4, ALL_CHECKS, OPTS)
    status, const_col, yv, Z = _batch.design(y, X, add)
    assert got[:2] == (status, const_col if Z is None or Z.shape[1] == X.shape[1] else 0)
    if Z is None:
        assert got[2:] == (None,) * 5
    else:
        want = _batch.battery_checks(
            yv, Z, [0, n], got[1], 3, [20], [4], ALL_CHECKS, 0, OPTS, NO_COV
        )
        for a, b in zip(got[2:], (yv, Z, *want)):
            np.testing.assert_array_equal(a, b)
    np.testing.assert_array_equal(y, keep[0])
    np.testing.assert_array_equal(X, keep[1])


@pytest.mark.parametrize(
    "args, match",
    [
        ((np.ones(5), np.ones((4, 2))), "X has 4 rows"),
        ((np.ones(5), np.ones((5, 2)), 1, 2, 2, 1, ALL_CHECKS + 1), "bits outside"),
        ((np.ones(5), np.ones((5, 2)), 1, 2, 2, 1, ALL_CHECKS, OPTS[:3]), "options"),
        ((np.ones(5), np.ones(5)), "dimension"),
    ],
)
def test_battery_one_refuses_bad_arguments(args, match):
    full = (*args, *(1, 2, 2, 1, ALL_CHECKS, OPTS)[len(args) - 2 :])
    with pytest.raises(ValueError, match=match):
        _batch.battery_one(*full)
