"""p-values far in the tails: Jarque-Bera, CUSUM and CUSUM of squares decide at every
alpha down to 1e-12, join their large-sample forms smoothly, and agree there with
fresh simulations (importance sampling with proposals of their own)."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy.special import ndtr

import Kalvoren
from Kalvoren import _cusum_null as cn
from Kalvoren import _cusum_null_tables as ctab
from Kalvoren import _jb_null_tables as jtab
from Kalvoren import _pvalues as pv

M_MAX = ctab.M_GRID[-1]
N_MAX = jtab.N_GRID[-1]
PVAL = {"jb": pv.jb_pvalue, "cusum": cn.cusum_pvalue, "cusumsq": cn.cusumsq_pvalue}
ONE = {"jb": pv.jb_pvalue_one, "cusum": pv.cusum_pvalue_one, "cusumsq": pv.cusumsq_pvalue_one}


def crit(kind, alpha, size):
    if kind == "jb":
        return np.array([pv.jb_critical_value(a, size) for a in np.atleast_1d(alpha)])
    f = cn.cusum_critical_value if kind == "cusum" else cn.cusumsq_critical_value
    return np.atleast_1d(f(alpha, size))


@pytest.mark.parametrize(
    "kind, stat, size",
    [
        ("jb", 5.2e6, 1000),
        ("jb", 22.7, 10),  # near the largest JB ten values can have (22.74)
        ("jb", 1e9, 10**7),
        ("jb", 80.0, 10**9),
        ("cusum", 1.0, 3),  # the edge of the support
        ("cusum", 3.2, 200),
        ("cusum", 3.5, M_MAX + 1),
        ("cusumsq", 0.69, 100),
        ("cusumsq", 0.12, M_MAX + 1),
        ("cusumsq", 0.02, 10**6),
    ],
)
def test_extreme_statistics_decide_at_every_alpha(kind, stat, size):
    p, bound = ONE[kind](stat, size)
    assert p <= 1e-12 and bound in (None, "<")
    assert all(p < a for a in (1e-12, 1e-5, 0.05))


def test_report_rejects_normality_at_a_tiny_alpha():
    rng = np.random.default_rng(11)
    x = rng.normal(size=400)
    y = 1.0 + 0.5 * x + rng.normal(size=400)
    y[17] += 60.0  # one gross outlier: JB in the tens of thousands
    r = Kalvoren.diagnose(y, x, alpha=1e-5).tests["jarque_bera"]
    assert r.statistic > 1e4 and r.pvalue < 1e-12 and r.reject


@settings(max_examples=60, deadline=None)
@given(
    kind=st.sampled_from(["jb", "cusum", "cusumsq"]),
    size=st.one_of(st.integers(10, 2_000), st.integers(2_000, 12_000), st.integers(12_000, 10**8)),
    seed=st.integers(0, 2**32 - 1),
)
def test_monotone_in_the_statistic_and_continuous_in_the_size(kind, size, seed):
    # statistics spread over the whole tabulated range, edges included
    lo, hi = crit(kind, 0.999, size)[0], crit(kind, 1e-14, size)[0]
    s = np.sort(np.random.default_rng(seed).uniform(0.9 * lo, 1.1 * hi, 300))
    p, bound = PVAL[kind](s, size)
    assert np.all(np.diff(p) <= 0)
    inner = bound == None  # noqa: E711
    assert np.all(np.diff(p[inner]) < 0)
    # where samples are large, one more observation moves no p-value far (the tables'
    # nodes and their large-sample continuations join without jumps)
    if size >= 2000:
        p1, b1 = PVAL[kind](s, size + 1)
        both = inner & (b1 == None)  # noqa: E711
        assert np.all(np.abs(np.log(p1[both] / p[both])) < 0.05)


@pytest.mark.parametrize("kind", ["jb", "cusum", "cusumsq"])
def test_tables_join_their_large_sample_forms(kind):
    # the last row's tail critical values keep their tail probabilities just beyond it
    # (the CUSUM bulk's handover is in test_cusum_null.py)
    size = N_MAX if kind == "jb" else M_MAX
    alpha = np.array([1e-14, 1e-12, 1e-9, 1e-6, 1e-4] + ([1e-3, 0.01, 0.1] if kind == "jb" else []))
    p_next = PVAL[kind](crit(kind, alpha, size), size + 1)[0]
    np.testing.assert_allclose(p_next, alpha, rtol=0.01)


def _is_estimate(contrib):
    """Estimate and relative standard error of a mean of weighted indicators."""
    m = contrib.mean()
    return m, contrib.std() / math.sqrt(contrib.size) / m


def cusum_tail_is(kind, c, m, reps, rng):
    """P(stat > c) at m by importance sampling, mixed with the normal law: a mean shift
    (CUSUM) or a variance step (CUSUM of squares, at either end) over the first b
    residuals, aimed at crossing c at b, for b from 0.2 m to 0.8 m."""
    bs = [round(f * m) for f in (0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8)]
    lab = np.where(rng.random(reps) < 0.2, -1, rng.integers(0, len(bs), reps))
    w = rng.standard_normal((reps, m))
    logq = [np.full(reps, math.log(0.2))]
    lk = math.log(0.8 / len(bs))
    if kind == "cusum":
        for k, b in enumerate(bs):
            a2 = (c * (m + 2 * (b - 1)) / (math.sqrt(m) * b)) ** 2
            th = math.sqrt(a2 / (1 - a2 * b / m))  # S_b / sqrt(T / m) on the boundary
            rows = lab == k
            w[rows, :b] += np.where(rng.random(rows.sum()) < 0.5, -th, th)[:, None]
        S = np.cumsum(w, axis=1)
        j = np.arange(m)
        stat = (np.abs(S) * (m / (m + 2.0 * j))).max(axis=1) / np.sqrt((w * w).sum(axis=1))
        for b in bs:
            a2 = (c * (m + 2 * (b - 1)) / (math.sqrt(m) * b)) ** 2
            th = math.sqrt(a2 / (1 - a2 * b / m))
            x = th * np.abs(S[:, b - 1])
            logq.append(lk + x + np.log1p(np.exp(-2 * x)) - math.log(2) - th * th * b / 2)
    else:
        vs = []
        for k, b in enumerate(bs):
            t = b / m
            f = min(t + math.sqrt(2.0) * c, 0.5 + t / 2)  # late blocks cannot reach c
            vs.append(f * (1 - t) / (t * (1 - f)))  # C_b / C = f on average
            w[lab == k, :b] *= math.sqrt(vs[-1])
        flip = rng.random(reps) < 0.5
        w[flip] = w[flip, ::-1]
        C = np.cumsum(w * w, axis=1)
        dev = C / C[:, -1:] - np.arange(1, m + 1) / m
        stat = np.maximum(dev.max(axis=1), -dev.min(axis=1)) / math.sqrt(2.0)
        T = C[:, -1]
        for b, v in zip(bs, vs):
            # the statistic sees only the direction of w: weigh by direction densities
            # (angular central Gaussian against uniform), free of the block's scale
            head, tail = C[:, b - 1], T - C[:, m - b - 1]
            ls = -0.5 * b * math.log(v) - 0.5 * m * np.log((T - head + head / v) / T)
            le = -0.5 * b * math.log(v) - 0.5 * m * np.log((T - tail + tail / v) / T)
            logq.append(lk + np.logaddexp(ls, le) - math.log(2))
    return _is_estimate((stat > c) * np.exp(-np.logaddexp.reduce(np.stack(logq), axis=0)))


@pytest.mark.parametrize(
    "kind, m",
    # just past the rows simulated to 1e-14 (m <= 1000, m <= 150) the tail columns are
    # the asymptotic form with its fitted tail shift; beyond M_MAX the form alone
    [
        ("cusum", 1100),
        ("cusumsq", 170),
        ("cusumsq", 1100),
        ("cusum", M_MAX + 1),
        ("cusumsq", M_MAX + 1),
    ],
)
def test_cusum_tails_against_fresh_simulation(kind, m):
    rng = np.random.default_rng([m, 7])
    for alpha in (1e-5, 1e-9, 1e-13):
        c = float(crit(kind, alpha, m)[0])
        est, rse = cusum_tail_is(kind, c, m, 1500 if m < 2000 else 800, rng)
        p = float(PVAL[kind](c, m)[0])
        assert abs(math.log(p / est)) < math.log(1.6) + 3 * rse, (alpha, p, est, rse)


def jb_outlier_tail(c, n, reps, rng):
    """n E[P(x_1 carries JB past c | the other n - 1 values)]: the tail from one
    dominant observation, the others drawn as normals and x_1's normal law integrated
    beyond the distance where JB reaches c (conditional Monte Carlo)."""
    y = rng.standard_normal((reps, n - 1))
    nb = n - 1.0
    yb = y.mean(axis=1)
    d = y - yb[:, None]
    d2 = d * d
    m2b, m3b, m4b = d2.sum(axis=1), (d2 * d).sum(axis=1), (d2 * d2).sum(axis=1)

    def jb(delta):  # JB with x_1 = mean(y) - delta (central sums joined pairwise)
        m2 = m2b + delta**2 * nb / n
        m3 = m3b + delta**3 * nb * (1 - nb) / n**2 + 3 * delta * m2b / n
        m4 = m4b + delta**4 * nb * (1 - nb + nb * nb) / n**3 + 6 * delta**2 * m2b / n**2
        m4 = m4 + 4 * delta * m3b / n
        return n * (n * m3**2 / m2**3 / 6 + (n * m4 / m2**2 - 3) ** 2 / 24)

    tot = np.zeros(reps)
    for side in (1.0, -1.0):
        lo, hi = np.full(reps, 5.0), np.full(reps, 60.0)
        for _ in range(60):  # JB rises with |x_1 - mean(y)| out there
            mid = 0.5 * (lo + hi)
            up = jb(-side * mid) > c
            hi, lo = np.where(up, mid, hi), np.where(up, lo, mid)
        tot += ndtr(-side * (yb + side * hi))
    return _is_estimate(n * tot)


def test_jb_tail_against_fresh_simulation():
    # just beyond the table; below 1e-11 one dominant observation carries the tail
    n = N_MAX + 1
    rng = np.random.default_rng([n, 3])
    for alpha in (1e-12, 1e-13, 1e-14):
        c = float(crit("jb", alpha, n)[0])
        est, rse = jb_outlier_tail(c, n, 1000, rng)
        p = pv.jb_pvalue_one(c, n)[0]
        assert abs(math.log(p / est)) < math.log(1.6) + 3 * rse, (alpha, p, est, rse)


def jb_stats(n, reps, rng):
    out = []
    for k in range(0, reps, 20_000):
        x = rng.standard_normal((min(20_000, reps - k), n))
        d = x - x.mean(axis=1, keepdims=True)
        d2 = d * d
        m2, m3, m4 = d2.mean(axis=1), (d2 * d).mean(axis=1), (d2 * d2).mean(axis=1)
        out.append(n * (m3**2 / m2**3 / 6 + (m4 / m2**2 - 3) ** 2 / 24))
    return np.concatenate(out)


@pytest.mark.parametrize(
    "n, stats, reps",
    [
        (21, [1.0, 3.0, 6.0], 200_000),  # JB = 3: 0.073 by simulation
        (37, [2.0, 5.0, 12.0], 150_000),
        (203, [2.5, 10.54, 25.0], 60_000),  # JB = 10.54: 0.0134 by simulation
    ],
)
def test_jb_between_nodes_against_fresh_simulation(n, stats, reps):
    assert n not in jtab.N_GRID
    sim = jb_stats(n, reps, np.random.default_rng(n))
    for s in stats:
        f = np.mean(sim > s)
        p = pv.jb_pvalue_one(s, n)[0]
        se = math.sqrt(f * (1 - f) / reps)
        assert abs(p - f) <= max(0.001, 0.03 * f) + 3 * se, (s, p, f)


def test_jb_chi_square_limit():
    x = np.linspace(0.5, 60.0, 40)
    # exact at the nodes; between them log JB is linear in z, good to 1 % here
    np.testing.assert_allclose(pv.jb_pvalue(x, 10**14)[0], np.exp(-x / 2), rtol=0.01)
    a = np.array(jtab.ALPHA_GRID)
    np.testing.assert_allclose(pv.jb_pvalue(-2 * np.log(a), 10**14)[0], a, rtol=1e-6)


@settings(max_examples=60, deadline=None)
@given(
    ref=st.sampled_from(["chi2", "F", "jb", "cusum", "cusumsq", "fixedb"]),
    stats=st.lists(
        st.one_of(st.floats(0, 1e4), st.sampled_from([0.0, math.nan, math.inf, 1e300])),
        min_size=1,
        max_size=6,
    ),
    d1=st.sampled_from([0.0, 1.0, 3.0, math.nan]),
    d2=st.sampled_from([0.5, 7.0, 200.0]),
    n=st.sampled_from([5.0, 10.0, 60.0, 200.0, float(N_MAX + 7), 1e7, math.nan]),
    m=st.sampled_from([0.0, 2.0, 57.0, 197.0, float(M_MAX + 3), math.inf]),
    lags=st.sampled_from([0.0, 4.0, 250.0, math.nan]),
)
def test_bound_pvalues_equal_the_scalar_ones(ref, stats, d1, d2, n, m, lags):
    """A reference bound at one design (what the one-series finish uses) gives
    the scalar function's p-value and bound, to the bit, for every statistic."""
    from Kalvoren._registry import Fitted

    f = Fitted(n, 3.0, 2.0, 4.0, 2.0, 3.0, n - 6.0, None, hac_lags=lags)
    bound = pv.bind_one(ref, d1, d2, n, m, f)
    one = pv.REFERENCES[ref][1]

    def outcome(call):
        try:
            return repr(call())
        except ValueError as e:
            return type(e)

    for s in stats:
        assert outcome(lambda: bound(s)) == outcome(lambda: one(s, d1, d2, n, m, f)), s


def test_one_degree_of_freedom_chi_square_against_mpmath():
    """chi2_sf's closed form at df = 1 (2 Phi(-sqrt x)) within the rounding of
    sqrt(x) of the 40-digit tail, array and scalar paths bit for bit, and
    mixed with other degrees of freedom."""
    mp = pytest.importorskip("mpmath")
    mp.mp.dps = 40
    x = np.concatenate([10.0 ** np.linspace(-300, 0, 40), np.linspace(0.1, 10, 40), [30, 100, 600]])
    want = np.array([float(mp.erfc(mp.sqrt(mp.mpf(float(v)) / 2))) for v in x])
    got = pv.chi2_sf(x, 1.0)
    assert np.all(np.abs(got - want) <= want * np.maximum(2e-15, 2e-16 * x))
    assert [pv._chi2_one(float(v), 1.0) for v in x] == got.tolist()
    mixed = pv.chi2_sf(x[:4], np.array([1.0, 2.0, 0.5, 1.0]))
    assert mixed[[0, 3]].tolist() == got[[0, 3]].tolist() and np.isnan(mixed[2])
    assert np.isnan(pv.chi2_sf(-1.0, 1.0)) and math.isnan(pv._chi2_one(-1.0, 1.0))
