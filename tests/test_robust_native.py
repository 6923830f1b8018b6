"""HC and HAC covariances of the native battery (_batch.battery_checks with a covariance choice): against
the NumPy formulas of _robust (the least-squares route's) over a table of
designs, kernels and bandwidths; statuses on hostile calls; the arena."""

import math

import numpy as np
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

from Kalvoren import Status, _prepare, _robust, _tests_spec
from Kalvoren._ckernels.diag import _batch

HAC_CHOICES = [
    {"bandwidth": 0},
    {"bandwidth": 3, "adjust": True},
    {"bandwidth": 250},  # more lags than rows
    {"kernel": "parzen", "bandwidth": 5},
    {"kernel": "qs", "bandwidth": 2},  # every lag weighs: the Toeplitz product
    {"bandwidth": "nw1994"},
    {"bandwidth": "nw1994", "prewhite": 1},
    {"kernel": "qs", "bandwidth": "andrews", "prewhite": 1, "adjust": True},
    {"kernel": "parzen", "bandwidth": "nw1994"},
    {"kernel": "bartlett", "bandwidth": "andrews"},
    {"kernel": "qs", "bandwidth": "llsw", "prewhite": 1},
]
CHOICES = [(t, {}) for t in _robust.HC_TYPES] + [("HAC", o) for o in HAC_CHOICES]


def cov_battery(*args):
    """The battery with a covariance choice and no model checks."""
    *head, code = args
    return _batch.battery_checks(*head, _tests_spec.native_options({}), code)


def design(n, seed, scale, const_at):
    """AR(1) errors and regressors, one column scaled, the constant at
    const_at (-1: none)."""
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.normal(size=(n, 2)), axis=0) * 0.2 + rng.normal(size=(n, 2))
    u = np.zeros(n)
    for t in range(1, n):
        u[t] = 0.5 * u[t - 1] + rng.normal()
    y = x @ [1.0, -0.5] + u * (1.0 + np.abs(x[:, 0]))
    x[:, 1] *= scale
    X = x if const_at < 0 else np.insert(x, const_at, 1.0, axis=1)
    return y, X, const_at


def both(y, X, cc, cov_type, options, lags=4):
    choice = _robust.choice_of(cov_type, options)
    native = _robust.covariance(y, X, cc, choice, lags=lags)
    numpy = _robust.covariance(y, X, cc, choice, lags=lags, native=False)
    return native, numpy


@pytest.mark.parametrize("cov_type, options", CHOICES, ids=str)
@settings(max_examples=6, deadline=None)
@given(
    n=st.integers(12, 90),
    seed=st.integers(0, 2**32 - 1),
    scale=st.sampled_from([1e-150, 1e-3, 1.0, 1e200]),
    const_at=st.sampled_from([0, 2, -1]),
)
def test_native_equals_the_numpy_formulas(cov_type, options, n, seed, scale, const_at):
    y, X, cc = design(n, seed, scale, const_at)
    # NumPy prewhitens the plug-in's scores in the data's units, whose
    # cross-products leave the double range at these scales (the battery
    # prewhitens them equilibrated)
    assume(not (options.get("prewhite") and scale in (1e-150, 1e200)))
    try:
        native, numpy = both(y, X, cc, cov_type, options)
    except _robust.UndefinedBandwidth:  # then both routes say so
        with pytest.raises(_robust.UndefinedBandwidth):
            _robust.covariance(y, X, cc, _robust.choice_of(cov_type, options), native=False)
        return
    V, W = native.matrix, numpy.matrix
    # entries relative to their row and column's scale (covariances of
    # coefficients of very different units)
    d = np.sqrt(np.diag(W))
    with np.errstate(all="ignore"):  # beyond the double range both are inf
        np.testing.assert_allclose(V / np.outer(d, d), W / np.outer(d, d), rtol=0, atol=1e-10)
    np.testing.assert_array_equal(np.isfinite(V), np.isfinite(W))
    for a, b in ((native.bandwidth, numpy.bandwidth), (native.plug_in, numpy.plug_in)):
        assert (a is None and b is None) or a == pytest.approx(b, rel=1e-10)
    # the battery writes what it computes: se from the same matrix
    code = _robust.native_choice(native and _robust.choice_of(cov_type, options))
    off = np.array([0, n])
    out, _, se, cov, bw = cov_battery(y, X, off, cc, 1, [n // 2], [4], 0, 0, code)
    assert out[0, 0] == 0
    np.testing.assert_array_equal(cov[0].reshape(V.shape), V)
    np.testing.assert_array_equal(se[0], np.sqrt(np.diag(V)))


def test_statuses_of_hostile_calls():
    y, X, cc = design(30, 1, 1.0, 0)
    off = np.array([0, 30])
    code = _robust.native_choice(_robust.choice_of("HAC", {"bandwidth": "nw1994"}))

    def run(y=y, X=X, off=off, code=code, hl=4, tests=_batch.ALL):
        return cov_battery(y, X, off, cc, 1, [15] * (len(off) - 1), [hl] * (len(off) - 1),
                                  tests, 0, code)  # fmt: skip

    for bad in ([0, 0, 0, 0, 0], [8, 0, 0, 0, 0, 0], [0, 3, 0, 0, 0, 0], [0, 0, 0, 0, 2, 0]):
        with pytest.raises(ValueError, match="choice"):
            run(code=np.array(bad, dtype=np.int64))
    hac = _batch.FIELDS.index("hac_status")
    cases = [  # (data, lags, fit status, hac_wald status)
        (dict(y=np.where(np.arange(30) == 3, np.nan, y)), 4, Status.UNDEFINED_VARIANCE, None),
        (dict(y=y[:3], X=X[:3], off=np.array([0, 3])), 4, Status.TOO_SHORT, None),
        (dict(y=X @ [1.0, 2.0, 3.0]), 4, 0, Status.UNDEFINED_VARIANCE),  # exact fit
        (dict(code=np.array([0, 0, 0, -1, 0, 0], dtype=np.int64)), -1, 0, Status.BAD_LAG),
    ]
    for data, hl, fit, status in cases:
        out, _, se, cov, bw = run(**data, hl=hl)
        assert out[0, 0] == fit
        if fit != 0:
            assert np.isnan(cov).all() and np.isnan(bw).all() and np.isnan(se).all()
        if status is not None:
            assert out[0, hac] == status and math.isnan(out[0, hac + 1])
    # status 0: a finite statistic, covariance and bandwidth
    out, _, se, cov, bw = run()
    assert out[0, hac] == 0 and np.isfinite([out[0, hac + 1], *cov[0], *se[0], *bw[0]]).all()


def test_one_series_alone_or_in_a_stack():
    """Series of several lengths and a shared design: each gets the bits it
    gets alone (the arena is sized for the longest; the last takes the FFT)."""
    rng = np.random.default_rng(2)
    lens = [40, 7, 90, 25, 300, 1600]
    off = np.concatenate([[0], np.cumsum(lens)])
    y, X = rng.normal(size=off[-1]), rng.normal(size=(off[-1], 3))
    X[:, 0] = 1.0
    code = _robust.native_choice(_robust.choice_of("HAC", {"kernel": "qs", "prewhite": 1}))
    hl = np.array([3, 1, 5, 2, 4, 4])
    stacked = cov_battery(y, X, off, 0, 2, np.array(lens) // 2, hl, _batch.ALL, 0, code)
    for g, (a, b) in enumerate(zip(off[:-1], off[1:])):
        alone = cov_battery(
            y[a:b], X[a:b], [0, b - a], 0, 2, [lens[g] // 2], hl[g : g + 1], _batch.ALL, 0, code
        )
        for s, one in zip(stacked, alone):
            np.testing.assert_array_equal(s[g], one[0])


def test_arena_is_the_battery_and_the_meat(monkeypatch):
    from test_sizes import Recorder, size_function

    battery = size_function("kvr_battery_arena_size", 3)
    rng = np.random.default_rng(4)
    code = _robust.native_choice(_robust.choice_of("HC3"))
    for lens, k, lags in (((5, 30, 12), 3, 4), ((50,), 2, 60), ((9, 9), 4, 2), ((300, 7), 2, 4)):
        off = np.concatenate([[0], np.cumsum(lens)])
        y, X = rng.standard_normal(off[-1]), rng.standard_normal((off[-1], k))
        rec = Recorder()
        monkeypatch.setattr(_batch, "np", rec)
        cov_battery(y, X, off, -1, lags, [1] * len(lens), [1] * len(lens), 0, 0, code)
        monkeypatch.undo()
        n = max(lens)
        meat = 4 * n * k + 128 * k + 2 * n + 6 * k * k + k  # two columns padded by 64
        if n >= 256:  # and the FFT's twiddles and k + 1 transforms
            meat += 4 * n + 16 + (k + 1) * (4 * n + 18)
        assert rec.lengths[-1] == battery(n, k, lags).arena_len + meat


def test_robust_cov_is_the_battery_where_it_fits():
    """robust_cov, diagnose and the battery agree bit for bit on a design the
    kernels fit, and on one they refuse (the least-squares route's)."""
    import Kalvoren

    y, X, _ = design(50, 9, 1.0, -1)
    t = np.arange(50) / 50 + 3.0
    poly = np.column_stack([t**j for j in range(1, 6)])  # full rank, condition beyond the kernels'
    collinear = np.column_stack([X, X[:, 0] + 1e-9 * X[:, 1]])
    for x in (X, poly, collinear):
        r = Kalvoren.diagnose(y, x, cov_type="HAC", cov_options={"bandwidth": "nw1994"})
        V = Kalvoren.robust_cov(y, x, "HAC", bandwidth="nw1994").to_numpy()
        np.testing.assert_array_equal(r.cov.to_numpy(), V)
    m = _prepare.prepare(y, X)
    assert _robust.native_cov(m.y, m.X, m.const_col, _robust.choice_of("HC0"), 4) is not None


# ------------------------------- long-run sums of many lags (Toeplitz, FFT)


def ar_design(n, k, seed):
    """A constant and k - 1 AR(1) regressors, AR(1) errors."""
    rng = np.random.default_rng(seed)
    z = rng.normal(size=(n, k))
    for t in range(1, n):
        z[t] += 0.6 * z[t - 1]
    X = np.column_stack([np.ones(n), z[:, 1:]])
    return X @ np.linspace(1.0, -1.0, k) + z[:, 0] * (1.0 + np.abs(z[:, -1])), X


def lag_sum_cov(y, X, kernel, b):
    """The sandwich with the long-run sum written out lag by lag."""
    e = y - X @ np.linalg.lstsq(X, y, rcond=None)[0]
    w, _ = _robust.lag_weights(kernel, np.array([b]), len(y))
    P = np.linalg.inv(X.T @ X)
    return P @ _robust.long_run((X * e[:, None])[None], w)[0] @ P


@pytest.mark.parametrize(
    "n, k, kernel, bandwidth",
    [
        (40, 1, "qs", 1),  # lag by lag
        (200, 3, "qs", 3),  # Toeplitz
        (200, 5, "parzen", 60),
        (600, 2, "qs", 19),
        (1000, 3, "qs", 3),  # FFT
        (1500, 2, "parzen", 1200),
        (2500, 4, "qs", "andrews"),
    ],
)
def test_long_run_equals_the_lag_sum(n, k, kernel, bandwidth):
    y, X = ar_design(n, k, n + k)
    cov = _robust.covariance(
        y, X, 0, _robust.choice_of("HAC", {"kernel": kernel, "bandwidth": bandwidth})
    )
    V, W = cov.matrix, lag_sum_cov(y, X, kernel, cov.bandwidth)
    d = np.sqrt(np.diag(W))
    np.testing.assert_allclose(V / np.outer(d, d), W / np.outer(d, d), rtol=0, atol=1e-13)


@settings(max_examples=8, deadline=None)
@given(
    n=st.integers(256, 1400),
    k=st.integers(1, 4),
    kernel=st.sampled_from(["qs", "parzen"]),
    bandwidth=st.one_of(st.integers(0, 900), st.sampled_from(["andrews", "nw1994", "llsw"])),
    prewhite=st.sampled_from([0, 1]),
)
def test_long_series_native_equals_the_numpy_formulas(n, k, kernel, bandwidth, prewhite):
    y, X = ar_design(n, k, n * k)
    options = {"kernel": kernel, "bandwidth": bandwidth, "prewhite": prewhite}
    native, numpy = both(y, X, 0, "HAC", options)
    d = np.sqrt(np.diag(numpy.matrix))
    np.testing.assert_allclose(
        native.matrix / np.outer(d, d), numpy.matrix / np.outer(d, d), atol=1e-11
    )
