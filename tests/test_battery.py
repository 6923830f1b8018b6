"""The residual battery of _batch: each statistic against the single-test
functions of _diag on the same equilibrated data, the fit and the HAC Wald
test against NumPy and statsmodels, scale invariance, the failure statuses,
and the batching itself (ragged offsets, a shared design, argument checks)."""

import os
import sys
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from Kalvoren._ckernels.diag import _batch, _diag

B = _batch
F = {name: i for i, name in enumerate(B.FIELDS)}
STATUS = [
    "bg_status",
    "bp_status",
    "chow_status",
    "cusum_status",
    "cusumsq_status",
    "lb_status",
    "jb_status",
    "hac_status",
]
BITS = [B.BG, B.BP, B.CHOW, B.CUSUM, B.CUSUMSQ, B.LB, B.JB, B.HAC]
STATS = [
    "bg_stat",
    "bp_stat",
    "bpk_stat",
    "chow_stat",
    "cusum_stat",
    "cusumsq_stat",
    "lb_stat",
    "jb_stat",
    "hac_stat",
]
LAGS, T_BREAK, HAC_LAGS = 3, 25, 3


def battery(y, X, const_col=0, lags=LAGS, t_break=T_BREAK, hac_lags=HAC_LAGS, tests=B.ALL):
    """One series: (record as a dict, beta, se)."""
    out, beta, se = B.battery(y, X, [0, len(y)], const_col, lags, [t_break], [hac_lags], tests, 0)
    return dict(zip(B.FIELDS, out[0])), beta[0], se[0]


def exponent(col):
    """The kernel's equilibration exponent: ilogb of the column's RMS."""
    mx = np.max(np.abs(col))
    if mx == 0:
        return 0
    top = np.frexp(mx)[1] - 1
    t = np.ldexp(col, -top)
    return top + np.frexp(np.sqrt(t @ t / len(col)))[1] - 1


def design(rng, n=60, const_col=0, scales=(1.0, 1.0)):
    x = rng.standard_normal((n, len(scales))) * scales
    if len(scales) > 1:
        x[:, 1] += 0.5 * x[:, 0] * scales[1] / scales[0]
    cols = list(x.T)
    if const_col >= 0:
        cols.insert(const_col, np.ones(n))
    X = np.column_stack(cols)
    y = X @ rng.standard_normal(X.shape[1]) + rng.standard_normal(n) * (1 + np.arange(n) / n)
    return y, X


CASES = {
    "constant first": (0, (1.0, 1.0), 1.0),
    "constant middle": (1, (3.0, 0.2), 1.0),
    "no constant": (-1, (1.0, 1.0), 1.0),
    "badly scaled": (0, (1e3, 1e-4), 1e6),
    # widths the kernels unroll for (k <= 8, Breusch-Godfrey's k + lags too) and wider
    "one regressor alone": (-1, (1.0,), 1.0),
    "k = 5": (0, (1.0, 2.0, 0.5, 3.0), 1.0),
    "k = 7": (2, (1.0, 2.0, 0.5, 3.0, 1e2, 1e-2), 1.0),
    "k = 10": (-1, tuple(np.geomspace(1e-3, 1e3, 10)), 1.0),
}


def bg_without_constant(e, X):
    lagged = np.column_stack([np.concatenate([np.zeros(j), e[:-j]]) for j in range(1, LAGS + 1)])
    Z = np.column_stack([X, lagged])
    r = e - Z @ np.linalg.lstsq(Z, e, rcond=None)[0]
    return len(e) * (1 - (r @ r) / (e @ e))


@pytest.mark.parametrize("case", CASES)
def test_each_statistic_matches_the_single_test_functions(case, rng):
    sm = pytest.importorskip("statsmodels.api")
    cc, scales, yscale = CASES[case]
    y, X = design(rng, const_col=cc, scales=scales)
    y = y * yscale
    n, k = X.shape
    rec, beta, se = battery(y, X, cc)
    assert [rec[s] for s in ["fit_status", *STATUS]] == [0] * 9

    # the data the kernels see: exact power-of-two equilibration
    ex = [exponent(X[:, j]) for j in range(k)]
    ey = exponent(y)
    xs, ys = np.ldexp(X, np.negative(ex)), np.ldexp(y, -ey)
    bs = np.linalg.lstsq(xs, ys, rcond=None)[0]
    e = ys - xs @ bs
    np.testing.assert_allclose(beta, np.linalg.lstsq(X, y, rcond=None)[0], rtol=1e-10)
    rss, tss = np.sum((y - X @ beta) ** 2), np.sum((y - (y.mean() if cc >= 0 else 0)) ** 2)
    np.testing.assert_allclose(
        [rec["rss"], rec["tss"], rec["r2"]], [rss, tss, 1 - rss / tss], rtol=1e-9
    )
    R = np.linalg.qr(xs, mode="r")
    assert rec["cond"] == pytest.approx(np.linalg.cond(R, 1), rel=1e-9)

    # statistics of the data itself: the same kernel on the same bits
    assert rec["chow_stat"] == _diag.chow_stat(ys, xs, T_BREAK)[1]
    assert rec["cusum_stat"] == _diag.cusum_stat(ys, xs)[1]
    assert (rec["m"], rec["cusumsq_stat"]) == _diag.cusumsq_stat(ys, xs)[1:]
    # statistics of the residuals: to the rounding of the fit
    Xnc = np.delete(xs, cc, axis=1) if cc >= 0 else xs
    Xa = xs if cc >= 0 else np.column_stack([np.ones(n), xs])
    _, brss, btss = _diag.bp_aux(e, Xa)
    want = {
        # a model without a constant: e on [X, lagged e] as lmtest's bgtest
        # (statsmodels adds a constant the model lacks, one more df it does not count)
        "bg_stat": _diag.bg_stat(e, Xnc, LAGS)[1] if cc >= 0 else bg_without_constant(e, xs),
        "lb_stat": _diag.lb_stat(e, LAGS)[1],
        "jb_stat": float(_diag.jb_stat(e)[1]),
        "bp_stat": 0.5 * (btss - brss),
        "bpk_stat": n * (1 - brss / btss),
    }
    assert {s: rec[s] for s in want} == pytest.approx(want, rel=1e-8)

    # HAC: statsmodels' sandwich without small-sample correction, and its Wald test, on the
    # equilibrated data (on the raw badly scaled design statsmodels itself loses ~1e-9)
    res = sm.OLS(ys, xs).fit(
        cov_type="HAC", cov_kwds={"maxlags": HAC_LAGS, "use_correction": False}
    )
    np.testing.assert_allclose(se, np.ldexp(res.bse, ey - np.array(ex)), rtol=1e-8)
    slopes = np.delete(np.eye(k), cc, axis=0) if cc >= 0 else np.eye(k)
    wald = res.wald_test(slopes, use_f=False, scalar=True).statistic
    assert rec["hac_stat"] == pytest.approx(float(wald), rel=1e-8)
    assert (rec["hac_df"], rec["hac_lags"]) == (len(slopes), HAC_LAGS)


def test_power_of_two_scaling_keeps_the_bits(rng):
    y, X = design(rng)
    rec, beta, se = battery(y, X)
    p, q = np.array([5, 300, -400]), -77  # the constant column too: it stays constant
    rec2, beta2, se2 = battery(np.ldexp(y, q), np.ldexp(X, p))
    for name in B.FIELDS:
        want = np.ldexp(rec[name], 2 * q) if name in ("rss", "tss") else rec[name]
        assert np.float64(rec2[name]).tobytes() == np.float64(want).tobytes(), name
    assert np.array_equal(beta2, np.ldexp(beta, q - p)) and np.array_equal(se2, np.ldexp(se, q - p))


@pytest.mark.parametrize("factor", [1e-9, 3.7e-4, 7.3, 1e5, 1e9])
def test_any_scaling_of_a_regressor_leaves_the_statistics(factor, rng):
    y, X = design(rng)
    rec, beta, se = battery(y, X)
    Xf = X * [1, factor, 1]
    rec2, beta2, se2 = battery(y, Xf)
    assert rec2["fit_status"] == 0
    for name in [*STATS, "rss", "tss", "r2"]:
        assert rec2[name] == pytest.approx(rec[name], rel=1e-9), name
    np.testing.assert_allclose(beta2 * [1, factor, 1], beta, rtol=1e-9)
    np.testing.assert_allclose(se2 * [1, factor, 1], se, rtol=1e-9)


def conditioned(kind, cc):
    """(y, X) whose equilibrated R has a condition number of 1e4 to 1e6,
    the constant at column cc (none for cc < 0)."""
    rng = np.random.default_rng(31)
    if kind == "longley":
        import statsmodels.api as sm

        d = sm.datasets.longley.load_pandas()
        y, cols = d.endog.to_numpy(float).copy(), list(d.exog.to_numpy(float).T)
    elif kind == "trend":  # t^1..t^8
        t = np.arange(1.0, 51.0)
        y = 5 + 0.3 * t - 0.01 * t**2 + rng.standard_normal(50) * (1 + (t > 25))
        cols = [t**p for p in range(1, 9)]
    else:  # two regressors 1e-5 apart, heteroskedastic errors
        n, delta = 60, float(kind)
        x1, x3 = rng.standard_normal(n), rng.standard_normal(n) * 1e3 + 5e3
        cols = [x1, x1 + delta * rng.standard_normal(n), x3]
        y = (
            3.0 * (cc >= 0)
            + 0.2 * x1
            + 0.001 * x3
            + rng.standard_normal(n) * np.linspace(0.5, 2, n)
        )
    if cc >= 0:
        cols.insert(cc, np.ones(len(y)))
    return y, np.column_stack(cols)


@pytest.mark.parametrize(
    "kind, cc",
    [("longley", 0), ("longley", 3), ("trend", 0), ("trend", 8)]
    + [(d, cc) for d in ("1e-5", "3e-6") for cc in (0, 2, -1)],
)
def test_hac_wald_keeps_its_digits_on_ill_conditioned_designs(kind, cc):
    """Against 60 digits: the statistic keeps the digits the data pin it to
    (one rounding unit of the data moves it by up to ~3e-11 on such designs);
    formed through the slope block of V it lost up to 3e-5."""
    import mp_ref

    y, X = conditioned(kind, cc)
    L = 4
    out, _, _ = B.battery(y, X, [0, len(y)], cc, 2, [len(y) // 2], [L], B.HAC, 0)
    rec = dict(zip(B.FIELDS, out[0]))
    assert rec["hac_status"] == 0 and 1e4 < rec["cond"] <= B.COND_MAX
    assert rec["hac_stat"] == pytest.approx(mp_ref.hac_wald_sandwich(y, X, L, cc), rel=1e-10)


def assert_failed(rec, beta, se, status, tests=B.ALL):
    assert rec["fit_status"] == status
    for name, bit in zip(STATUS, BITS):
        assert (rec[name] == status) if tests & bit else np.isnan(rec[name]), name
    assert all(np.isnan(rec[s]) for s in [*STATS, "rss", "tss", "r2", "m", "hac_df"])
    assert np.isnan(beta).all() and np.isnan(se).all()


def test_fallback_on_a_collinear_or_ill_conditioned_design(rng):
    y, X = design(rng)
    X[:, 2] = 2 * X[:, 1]
    assert_failed(*battery(y, X), _diag.FALLBACK)
    for eps, status in ((1e-8, _diag.FALLBACK), (1e-3, 0)):
        X[:, 2] = X[:, 1] + eps * rng.standard_normal(len(y))
        rec, _, _ = battery(y, X)
        assert rec["fit_status"] == status
        R = np.linalg.qr(np.ldexp(X, [-exponent(c) for c in X.T]), mode="r")
        assert rec["cond"] == pytest.approx(np.linalg.cond(R, 1), rel=1e-6)
        assert (rec["cond"] > B.COND_MAX) == (status != 0)


@pytest.mark.parametrize("case", ["n = k", "empty", "nan y", "inf X", "const_col not constant"])
@pytest.mark.parametrize("tests", [B.ALL, B.BG | B.JB])
def test_failed_series(case, tests, rng):
    y, X = design(rng, n=30)
    status, cc = (
        {
            "n = k": -1005,
            "empty": -1005,
            "nan y": -1003,
            "inf X": -1003,
            "const_col not constant": -1007,
        }[case],
        0,
    )
    if case == "n = k":
        y, X = y[:3], X[:3]
    elif case == "empty":
        y, X = y[:0], X[:0]
    elif case == "nan y":
        y[7] = np.nan
    elif case == "inf X":
        X[3, 1] = -np.inf
    else:
        cc = 1
    assert_failed(*battery(y, X, cc, tests=tests), status, tests)


def test_test_mask_and_hac_edges(rng):
    y, X = design(rng, n=40)
    rec, _, se = battery(y, X, tests=B.BG | B.HAC, hac_lags=10**6)
    assert [np.isnan(rec[s]) for s in STATUS] == [False] + [True] * 6 + [False]
    assert np.isnan(rec["m"]) and rec["hac_lags"] == 39 and np.isfinite(se).all()
    rec, _, se = battery(y, X, tests=B.CHOW, hac_lags=-1)  # se needs a bandwidth
    assert rec["chow_status"] == 0 and np.isnan(rec["hac_status"]) and np.isnan(se).all()
    rec, _, se = battery(y, X, hac_lags=-1)
    assert rec["hac_status"] == -1004 and np.isnan(rec["hac_stat"])
    rec, _, se = battery(y, X[:, :1])  # a constant only: no slopes
    assert (rec["hac_status"], rec["hac_df"]) == (-1007, 0) and np.isfinite(se).all()


def test_ragged_and_shared_batches_equal_single_calls(rng):
    lengths = [50, 3, 80, 0, 64]
    Y = [rng.standard_normal(m) for m in lengths]
    Xs = [design(rng, n=m)[1] for m in lengths]
    off = np.cumsum([0, *lengths])
    tb, hl = [m // 2 for m in lengths], [1, 2, 3, 4, 5]
    out, beta, se = B.battery(np.concatenate(Y), np.concatenate(Xs), off, 0, 4, tb, hl, B.ALL, 0)
    for g in range(len(lengths)):
        one = B.battery(Y[g], Xs[g], [0, lengths[g]], 0, 4, tb[g : g + 1], hl[g : g + 1], B.ALL, 0)
        assert all(a[g].tobytes() == b[0].tobytes() for a, b in zip((out, beta, se), one))
    # one design shared by every series against the design repeated for each
    shared = Xs[2]
    sub = [m for m in lengths if m]
    got = B.battery(
        np.concatenate([Y[i] for i in (0, 1, 2, 4)]),
        shared,
        np.cumsum([0, *sub]),
        0,
        4,
        [20] * 4,
        [3] * 4,
        B.ALL,
        1,
    )
    rep = B.battery(
        np.concatenate([Y[i] for i in (0, 1, 2, 4)]),
        np.concatenate([shared[:m] for m in sub]),
        np.cumsum([0, *sub]),
        0,
        4,
        [20] * 4,
        [3] * 4,
        B.ALL,
        0,
    )
    assert all(a.tobytes() == b.tobytes() for a, b in zip(got, rep))
    # halves in two threads, each call with the lock released: the same bits
    halves = [None, None]

    def half(h, lo, hi):
        halves[h] = B.battery(
            np.concatenate(Y)[off[lo] : off[hi]],
            np.concatenate(Xs)[off[lo] : off[hi]],
            off[lo : hi + 1] - off[lo],
            0,
            4,
            tb[lo:hi],
            hl[lo:hi],
            B.ALL,
            0,
        )

    threads = [threading.Thread(target=half, args=a) for a in ((0, 0, 2), (1, 2, 5))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for whole, h0, h1 in zip((out, beta, se), *halves):
        assert whole.tobytes() == np.concatenate([h0, h1]).tobytes()


@pytest.mark.parametrize("m", [1, 2, 63, 64, 65, 66, 128, 129, 200])
def test_cusum_pair_across_its_blocks_of_steps(m, rng):
    """The battery forms the CUSUM statistics a block of 64 steps at a time,
    with its own design (boundaries formed in place) and with a shared one
    (boundaries from the tape): each series' maxima equal the single-test
    functions' step-by-step ones exactly, whatever block holds them."""
    n = m + 2
    t = np.arange(n) / n
    X = np.column_stack([np.ones(n), rng.standard_normal(n) + t])
    Y = X @ [1.0, 2.0] + rng.standard_normal((3, n)) * (1 + 3 * t * (t > rng.uniform(size=(3, 1))))
    ex = [exponent(X[:, j]) for j in range(2)]
    xs = np.ldexp(X, np.negative(ex))
    off = np.arange(4) * n
    pair, tb, hl = B.CUSUM | B.CUSUMSQ, [1] * 3, [0] * 3
    own = B.battery_checks(Y.ravel(), np.tile(X, (3, 1)), off, 0, 0, tb, hl, pair, 0, OPTS, NO_COV)
    shared = B.battery_checks(Y.ravel(), X, off, 0, 0, tb, hl, pair, 1, OPTS, NO_COV)
    for g, y in enumerate(Y):
        ys = np.ldexp(y, -exponent(y))
        want = [_diag.cusum_stat(ys, xs)[1], _diag.cusumsq_stat(ys, xs)[2]]
        for out in (own[0], shared[0]):
            assert [out[g, F["cusum_stat"]], out[g, F["cusumsq_stat"]]] == want


y0 = np.arange(10.0)
X0 = np.column_stack([np.ones(10), np.sin(y0)])


@pytest.mark.parametrize(
    "args, exc, match",
    [
        ((y0, X0, [1, 10], 0, 2, [5], [2], 255, 0), ValueError, r"offsets\[0\]"),
        ((y0, X0, [0, 6, 4], 0, 2, [5, 2], [2, 2], 255, 0), ValueError, "offsets decrease"),
        ((y0, X0, [0, 11], 0, 2, [5], [2], 255, 0), ValueError, "offsets end at 11"),
        ((y0, X0, [], 0, 2, [], [], 255, 0), ValueError, "offsets has length 0"),
        ((y0, X0[:9], [0, 9], 0, 2, [5], [2], 255, 0), ValueError, "X has 9 rows but y"),
        ((y0, X0[:4], [0, 5, 10], 0, 2, [2, 2], [2, 2], 255, 1), ValueError, "longest series"),
        ((y0, X0, [0, 10], 0, 2, [5, 5], [2], 255, 0), ValueError, "t_break has length 2"),
        ((y0, X0, [0, 10], 0, 2, [5], [], 255, 0), ValueError, "hac_lags has length 0"),
        ((y0, X0, [0, 10], 2, 2, [5], [2], 255, 0), ValueError, "const_col is 2"),
        ((y0, X0, [0, 10], 0, 2, [5], [2], B.ALL + 1, 0), ValueError, f"tests is {B.ALL + 1}"),
        ((X0, X0, [0, 10], 0, 2, [5], [2], 255, 0), ValueError, "wrong number of dimensions"),
        ((y0, X0, [0, 10], 0, 2, [5], [2], 255), TypeError, "takes exactly 9 positional"),
        ((y0, np.empty((0, 2**40)), [0, 0], 0, 2, [5], [2], 255, 1), OverflowError, "overflows"),
        ((y0, np.empty((0, 2**24)), [0, 0], 0, 2, [5], [2], 255, 1), MemoryError, None),
    ],
)
def test_bad_arguments_raise(args, exc, match):
    with pytest.raises(exc, match=match):
        B.battery(*args)


def test_attributes_and_no_leaks():
    from Kalvoren import _registry

    native = [t for t in _registry.TESTS if t.native]
    assert B.NFIELDS == len(B.FIELDS) == len(set(B.FIELDS)) and B.COND_MAX == 1e6 and B.np is np
    assert {t.field for t in native} | {t.status_field for t in native} <= set(B.FIELDS)
    bits = sorted({t.bit for t in native})  # one bit per native test, ALL their union
    assert bits == [1 << i for i in range(len(bits))] and B.ALL == 2 ** len(bits) - 1
    calls = [
        lambda: B.battery(y0, X0, [0, 4, 10], 0, 2, [2, 5], [1, 2], 255, 0),
        lambda: B.battery(y0, X0, [0, 11], 0, 2, [5], [2], 255, 0),
    ]
    refs = [sys.getrefcount(a) for a in (y0, X0)]
    for _ in range(3000):
        for c in calls:
            try:
                c()
            except ValueError:
                pass
    assert [sys.getrefcount(a) for a in (y0, X0)] == refs
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        with open("/proc/self/statm") as fh:
            before = int(fh.read().split()[1])
        for _ in range(3000):
            calls[0]()
        with open("/proc/self/statm") as fh:
            assert int(fh.read().split()[1]) - before < 256  # pages


OPTS = np.array([3.0, 1.0, 0.5, 0.0, 0.5])  # the model checks' options
HC3 = np.array([4, 0, 0, -1, 0, 0], dtype=np.int64)  # a covariance choice: HC3
NO_COV = np.empty(0, dtype=np.int64)


def _kept_case(name, rng):
    """(y of every series, lengths, the shared X, const_col, t_break per series)."""
    n = 60
    t = np.arange(n) / n
    X = np.column_stack([np.ones(n), rng.standard_normal(n), t**2])
    lengths, tb = [n] * 4, [n // 2] * 4
    if name == "alternating lengths":
        lengths = [60, 41, 60, 41]
    elif name == "breaks move":
        tb = [30, 20, 30, 21]
    elif name == "no constant":
        X = X[:, 1:]
    elif name == "constant only":
        X = X[:, :1]
    elif name == "collinear":
        X = np.column_stack([X, X[:, 1] * 3.0])
    Y = [X[:m] @ np.arange(1.0, X.shape[1] + 1) + rng.standard_normal(m) for m in lengths]
    if name == "a series fails between":
        Y[1][5] = np.nan
        Y[2] = X @ np.ones(X.shape[1])  # an exact fit: no residuals to test
    return Y, lengths, X, -1 if name == "no constant" else 0, tb


@pytest.mark.parametrize("cov", ["own HAC", "HC3"])
@pytest.mark.parametrize("tests", [255, B.ALL])
@pytest.mark.parametrize(
    "name",
    [
        "plain",
        "alternating lengths",
        "breaks move",
        "no constant",
        "constant only",
        "collinear",
        "a series fails between",
    ],
)
def test_shared_design_work_gives_each_series_its_bits_alone(name, tests, cov, rng):
    """A batch with one design keeps the design's work (QR, the Chow, Breusch-Pagan
    and Breusch-Godfrey designs, the CUSUM recursion, the rows of X R^-1) from
    series to series: every series still gets exactly what it gets alone."""
    Y, lengths, X, cc, tb = _kept_case(name, rng)
    off, choice = np.cumsum([0, *lengths]), HC3 if cov == "HC3" else NO_COV
    hl = [3] * len(Y)

    def run(y, Xg, o, t, h, shared):
        return B.battery_checks(y, Xg, o, cc, 2, t, h, tests, shared, OPTS, choice)

    many = run(np.concatenate(Y), X, off, tb, hl, 1)
    for g, y in enumerate(Y):
        one = run(y, X[: len(y)], [0, len(y)], tb[g : g + 1], hl[:1], 0)
        assert all(a[g].tobytes() == b[0].tobytes() for a, b in zip(many, one)), g


@pytest.mark.parametrize("G, shared", [(1, 0), (3, 0), (1, 1), (3, 1)])
def test_design_work_is_held_only_for_series_that_share_it(G, shared, rng, monkeypatch):
    """Without later series on the same design the arena is the lone battery's
    (kvr_battery_arena_size): the design's work gets no room of its own."""
    from test_sizes import Recorder, size_function

    n, k, lags = 50, 3, 2
    X = np.column_stack([np.ones(n), rng.standard_normal((n, k - 1))])
    rec = Recorder()
    monkeypatch.setattr(B, "np", rec)
    Xg = X if shared else np.tile(X, (G, 1))
    B.battery_checks(
        rng.standard_normal(G * n),
        Xg,
        np.arange(G + 1) * n,
        0,
        lags,
        [20] * G,
        [2] * G,
        255,
        shared,
        OPTS,
        NO_COV,
    )
    monkeypatch.undo()
    lone = size_function("kvr_battery_arena_size", 3)(n, k, lags).arena_len
    if G > 1 and shared:
        assert rec.lengths[-1] > lone
    else:
        assert rec.lengths[-1] == lone


class _Recycler:
    """A stand-in for _batch's `np` whose 1-D np.empty (the arena) hands back
    the same memory at every call: recycled memory at its most faithful."""

    def __init__(self):
        self.kept = {}

    def __getattr__(self, name):
        return getattr(np, name)

    def empty(self, shape, dtype=None):
        if isinstance(shape, tuple):
            return np.empty(shape, dtype=dtype)
        return self.kept.setdefault(shape, np.empty(shape, dtype=dtype))


def test_design_work_of_another_call_is_not_kept(rng, monkeypatch):
    """A batch whose first series stops at its data must not take the design
    work an earlier call left in its arena."""
    n = 40
    X1 = np.column_stack([np.ones(n), rng.standard_normal((n, 2))])
    X2 = np.column_stack([np.ones(n), np.arange(n) / n, rng.standard_normal(n) ** 2])
    y = rng.standard_normal(n)

    def run(Y, X, G, shared):
        off = np.arange(G + 1) * n
        return B.battery_checks(Y, X, off, 0, 2, [20] * G, [2] * G, 255, shared, OPTS, NO_COV)

    alone = {id(X): run(y, X, 1, 0)[0][0] for X in (X1, X2)}
    monkeypatch.setattr(B, "np", _Recycler())
    Y = np.concatenate([np.full(n, np.nan), y])  # the first series stops at its data
    for X in (X2, X1, X2, X1):
        assert run(Y, X, 2, 1)[0][1].tobytes() == alone[id(X)].tobytes()


@pytest.mark.parametrize("seed", [18, 36, 48])
def test_small_breusch_godfrey_keeps_its_digits(seed):
    """Against 60 digits: a statistic of 2e-5 to 6e-4 on 800 white-noise rows
    keeps 12 digits (1 - r'r / e'e lost up to 2e-8 of it to cancellation)."""
    import mp_ref

    n, rng = 800, np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), rng.standard_normal(n)])
    y = X @ [1.0, 2.0] + rng.standard_normal(n)
    rec, _, _ = battery(y, X, lags=1, t_break=n // 2, tests=B.BG)
    want = mp_ref.battery(y, X, 0, 1, n // 2, 1)["breusch_godfrey"][0]
    assert want < 1e-3 and rec["bg_stat"] == pytest.approx(want, rel=1e-12)


@pytest.mark.parametrize("n, lags", [(511, 1), (512, 6), (513, 0), (1100, 6), (2049, 3)])
def test_breusch_godfrey_across_its_row_blocks(n, lags, rng):
    """The battery folds Breusch-Godfrey's fitted values a block of rows at a
    time (lagged residuals reaching back over a block's edge): the statistic
    is the single-test kernel's on the same residuals."""
    y, X = design(rng, n=n)
    rec, beta, _ = battery(y, X, lags=lags, t_break=n // 2)
    ex = [exponent(X[:, j]) for j in range(X.shape[1])]
    xs, ys = np.ldexp(X, np.negative(ex)), np.ldexp(y, -exponent(y))
    e = ys - xs @ np.linalg.lstsq(xs, ys, rcond=None)[0]
    assert rec["bg_stat"] == pytest.approx(_diag.bg_stat(e, xs[:, 1:], lags)[1], rel=1e-9)


def _in_place_case(kind, rng):
    n, k = 300, 3
    X = np.column_stack([np.ones(n), rng.standard_normal((n, k - 1))])
    y = X @ [1.0, 2.0, -1.0] + rng.standard_normal(n)
    if kind == "a value that would leave the normal range":
        X[5, 1], X[7, 1] = 1e300, 3e-300
    elif kind == "subnormal values":
        X[:, 2] *= 1e-310
        X[9, 2] = 1e-290
    elif kind == "y with a value that would leave the normal range":
        y[3], y[4] = 1e305, 5e-305
    elif kind == "signed zeros":
        X[4, 1], y[6] = -0.0, -0.0
    elif kind == "wider than the stack's factors":
        X = np.column_stack([np.ones(n), rng.standard_normal((n, 69))])
    elif kind == "a rank-deficient design":
        X[:, 2] = X[:, 1]
    return y, X


@pytest.mark.parametrize("choice", ["none", "HC3"])
@pytest.mark.parametrize(
    "kind",
    [
        "plain",
        "a value that would leave the normal range",
        "subnormal values",
        "y with a value that would leave the normal range",
        "signed zeros",
        "wider than the stack's factors",
        "a rank-deficient design",
    ],
)
def test_scaling_in_place_gives_the_same_bits_and_puts_the_data_back(kind, choice, rng):
    """shared_x 2 scales a lone series' own y and X in place instead of
    copying them: the record is the copying battery's to the bit, and the data
    come back bit for bit, also where a value would not survive the scaling
    (then that array is copied as before) and when the fit fails."""
    y, X = _in_place_case(kind, rng)
    ch = HC3 if choice == "HC3" else NO_COV

    def run(y, X, mode):
        return B.battery_checks(y, X, [0, len(y)], 0, 2, [150], [3], (1 << 14) - 1, mode, OPTS, ch)

    want = run(y, X, 0)
    y2, X2 = y.copy(), X.copy()
    got = run(y2, X2, 2)
    assert all(a.tobytes() == b.tobytes() for a, b in zip(want, got))
    assert y2.tobytes() == y.tobytes() and X2.tobytes() == X.tobytes()


def test_shared_x_takes_three_modes(rng):
    y, X = design(rng)
    for bad in (-1, 3):
        with pytest.raises(ValueError, match="shared_x is"):
            B.battery_checks(y, X, [0, len(y)], 0, 2, [20], [2], 255, bad, OPTS, NO_COV)


@pytest.mark.parametrize("n", [5, 7, 31, 33, 200, 1029])
@pytest.mark.parametrize("k", [1, 2, 4])
def test_constant_first_or_last_gives_the_same_statistics(n, k, rng):
    """A constant first column is not stored (the fit's reflector, Breusch-
    Godfrey's column of ones and the HAC sum's first column are formed as
    they go); the same design with the constant last takes the stored route.
    Every statistic agrees, across the vector loops' blocks and tails."""
    if n <= k + 1:
        pytest.skip("too short")
    Z = rng.standard_normal((n, k - 1))
    y = Z @ rng.standard_normal(k - 1) + 0.3 + rng.standard_normal(n) * (1 + np.arange(n) / n)
    first, last = np.column_stack([np.ones(n), Z]), np.column_stack([Z, np.ones(n)])
    lags = min(3, n - 2)

    def run(X, cc):
        out, beta, se = B.battery_checks(
            y, X, [0, n], cc, lags, [n // 2], [2], B.ALL, 0, OPTS, NO_COV
        )
        return dict(zip(B.FIELDS, out[0])), beta[0], se[0]

    a, ba, sa = run(first, 0)
    b, bb, sb = run(last, k - 1)
    for name in B.FIELDS:
        if name.endswith("_status"):
            assert a[name] == b[name], name
        elif name not in ("cond", "digits", "chow_stat", "cusum_stat", "cusumsq_stat", "m"):
            np.testing.assert_allclose(a[name], b[name], rtol=1e-8, atol=1e-12, err_msg=name)
    # the regression tests read the design's rows in its own column order
    for name in ("chow_stat", "cusum_stat", "cusumsq_stat"):
        np.testing.assert_allclose(a[name], b[name], rtol=1e-7, err_msg=name)
    np.testing.assert_allclose(np.roll(ba, -1), bb, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(np.roll(sa, -1), sb, rtol=1e-8)


_SPECIAL = [0.0, -0.0, 5e-324, -2.2e-308, 1e-300, 1e300, -1.7e308, np.nan, np.inf]


@settings(max_examples=200, deadline=None)
@given(
    n=st.integers(2, 70),
    k=st.integers(1, 5),
    cc=st.sampled_from([-1, 0]),
    scale=st.integers(-1070, 1020),
    data=st.data(),
)
def test_scaling_in_place_keeps_bits_on_any_data(n, k, cc, scale, data):
    """Whatever the values (subnormal, huge, signed zeros, now and then a
    non-finite one), a series scaled in place gets the copying battery's bits
    and its arrays come back bit for bit."""
    seed = data.draw(st.integers(0, 2**32 - 1))
    r = np.random.default_rng(seed)
    with np.errstate(over="ignore"):
        X = np.ldexp(r.standard_normal((n, k)), scale)
    y = r.standard_normal(n) * 10.0 ** data.draw(st.integers(-300, 300))
    for _ in range(data.draw(st.integers(0, 3))):  # a few values of every kind
        v = data.draw(st.sampled_from(_SPECIAL))
        if data.draw(st.booleans()):
            y[data.draw(st.integers(0, n - 1))] = v
        else:
            X[data.draw(st.integers(0, n - 1)), data.draw(st.integers(0, k - 1))] = v
    if cc == 0:
        X[:, 0] = data.draw(st.sampled_from([1.0, 3e-310, 1e300]))
    args = ([0, n], cc, 2, [n // 2], [2], (1 << 14) - 1)
    want = B.battery_checks(y, X, *args, 0, OPTS, NO_COV)
    y2, X2 = y.copy(), X.copy()
    got = B.battery_checks(y2, X2, *args, 2, OPTS, NO_COV)
    assert all(a.tobytes() == b.tobytes() for a, b in zip(want, got))
    assert y2.tobytes() == y.tobytes() and X2.tobytes() == X.tobytes()
