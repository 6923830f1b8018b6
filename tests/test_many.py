"""diagnose_many: equal to diagnose per group, independent of workers, failures
as rows, array forms, Ctrl-C, and the Dask path on a LocalCluster."""

import threading
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import Kalvoren
from Kalvoren import _engine, _many, _registry
from Kalvoren._ckernels.diag import _batch


def long_frame(rng, G=30, n=60):
    parts = []
    for g in range(G):
        x = rng.normal(size=(n, 2))
        y = 1.0 + x @ [1.0, -1.0] + rng.normal(size=n) * (1 + (g % 3))
        parts.append(pd.DataFrame({"store": f"s{g:02d}", "y": y, "a": x[:, 0], "b": x[:, 1]}))
    df = pd.concat(parts, ignore_index=True)
    # failures that must stay rows: too short, constant y, collinear, missing value
    df = df[~((df.store == "s01") & (df.index % 60 > 2))].copy()
    df.loc[df.store == "s02", "y"] = 5.0
    df.loc[df.store == "s03", "b"] = 2.0 * df.loc[df.store == "s03", "a"]
    df.loc[df.index[df.store == "s04"][7], "a"] = np.nan
    return df


def same(a, b):
    return a == b or (np.isnan(a) and np.isnan(b))


def test_rows_equal_diagnose_per_group_bit_for_bit(rng):
    df = long_frame(rng)
    one = Kalvoren.diagnose_many(df, by="store", y="y", x=["a", "b"], workers=1, break_at=20)
    two = Kalvoren.diagnose_many(df, by="store", y="y", x=["a", "b"], workers=2, break_at=20)
    pd.testing.assert_frame_equal(one, two)
    assert list(one.columns) == _many.result_columns()
    for key, grp in df.groupby("store"):
        row = one.loc[key]
        if key in ("s01", "s04"):
            continue
        r = Kalvoren.diagnose(grp["y"], grp[["a", "b"]], break_at=20)
        for tid, t in r.tests.items():
            assert same(row[f"{tid}_statistic"], t.statistic), (key, tid)
            assert same(row[f"{tid}_pvalue"], t.pvalue), (key, tid)
            assert row[f"{tid}_route"] == t.route and row[f"{tid}_status"] == t.status
    assert (one.loc["s01", [f"{t}_status" for t in Kalvoren.DEFAULT_TESTS]] == -1005).all()
    assert one.loc["s02", "ljung_box_status"] == -1003
    assert one.loc["s03", "breusch_godfrey_route"] == "least-squares"
    assert "dropped as collinear: 'b'" in one.loc["s03", "note"]
    assert "'a'" in one.loc["s04", "note"] and one.loc["s04", "n"] == 60
    assert one.loc["s05", "breusch_godfrey_route"] == "kernel" and one.loc["s05", "note"] == ""


@pytest.mark.parametrize(
    "data, kw",
    [
        ("frame", {"workers": 1}),
        ("frame", {"workers": 2, "tests": ["arch_lm", "sup_f", "breusch_godfrey", "white"]}),
        ("frame", {"workers": 2, "hac_lags": 70, "lags": 2}),
        ("shared", {"workers": 2, "tests": ["chow", "rainbow", "hansen_stability"]}),
        ("frame", {"workers": 2, "shape": "long"}),
    ],
)
def test_blocks_join_to_one_run(rng, monkeypatch, data, kw):
    """Series are finished block by block in the worker threads; many small
    blocks (failures, least-squares and Python-computed tests among them) must
    give exactly the frame of one block."""
    if data == "frame":
        args = (long_frame(rng),)
        kw = {"by": "store", "y": "y", "x": ["a", "b"], **kw}
    else:
        X = rng.normal(size=(50, 2))
        Y = X @ [1.0, 2.0] + rng.standard_t(3, size=(40, 50))
        Y[5] = 3.0  # constant y
        args = (Y, X)
    monkeypatch.setattr(_many, "CHUNK_ROWS", 1 << 30)
    whole = Kalvoren.diagnose_many(*args, progress=False, **kw)
    monkeypatch.setattr(_many, "CHUNK_ROWS", 40)
    monkeypatch.setattr(_many, "_PER_WORKER", 16)
    assert len(_many._blocks(np.arange(0, 2001, 50), 2)) > 5
    got = Kalvoren.diagnose_many(*args, progress=False, **kw)
    pd.testing.assert_frame_equal(got, whole, check_exact=True)


def test_gather_buffers_kept_between_calls_change_nothing(rng):
    """Each thread keeps its gather buffers from call to call; calls of other
    widths, lengths and layouts in between must give what a fresh thread gives."""
    calls = [
        ((rng.normal(size=(30, 80)), rng.normal(size=(30, 80, 3))), {}),
        ((long_frame(rng),), {"by": "store", "y": "y", "x": ["a", "b"]}),
        ((rng.normal(size=(9, 700)), rng.normal(size=(9, 700, 1))), {}),
        ((rng.normal(size=(60, 150)), rng.normal(size=(150, 2))), {}),
        ((rng.normal(size=(12, 90)), rng.normal(size=(12, 90, 5))), {}),
    ]

    def run(args, kw):
        return Kalvoren.diagnose_many(*args, workers=1, progress=False, **kw)

    fresh = []
    for args, kw in calls:  # each in a thread of its own: nothing kept yet
        t = threading.Thread(target=lambda: fresh.append(run(args, kw)))
        t.start()
        t.join()
    for _ in range(2):
        for (args, kw), want in zip(calls, fresh):
            pd.testing.assert_frame_equal(run(args, kw), want, check_exact=True)


@pytest.mark.parametrize(
    "kw",
    [
        {"tests": _registry.TEST_IDS},  # every test: the most columns
        {"tests": ["ljung_box", "chow"], "hac_lags": 50},  # a test without notes chosen
        {"by": ["half", "store"], "lags": 30},  # two keys; options short groups do not fit
    ],
)
def test_the_wide_frame_without_its_block_layout_is_the_same(rng, monkeypatch, kw):
    """The frame is built from the joined arrays as pandas keeps them; built
    column by column (pandas without that entry) it must be the same, and a
    column added later must not find it fragmented."""
    df = long_frame(rng)
    args = (df.assign(half=df.store < "s15"),)
    opts = {"by": "store", "y": "y", "x": ["a", "b"], "progress": False, **kw}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", Kalvoren.KalvorenWarning)
        fast = Kalvoren.diagnose_many(*args, **opts)
        monkeypatch.delattr(pd.api.internals, "create_dataframe_from_blocks")
        plain = Kalvoren.diagnose_many(*args, **opts)
    pd.testing.assert_frame_equal(fast, plain, check_exact=True)
    assert (fast.note != "").sum() >= 4
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        fast["more"] = 1.0


@pytest.mark.parametrize(
    "form, dtype",
    [
        (lambda c: c, np.int64),  # counted
        (lambda c: (c - 5).astype(np.int32), np.int32),  # counted, negative keys
        (lambda c: c.astype(np.uint64) + np.uint64(2**63), np.uint64),  # beyond int64: pandas
        (lambda c: c * 10**12, np.int64),  # sparse: pandas
    ],
)
@pytest.mark.parametrize("as_index", [False, True])
def test_integer_keys_in_any_order_group_as_strings_do(rng, form, dtype, as_index):
    """Integer keys are grouped by counting when their range allows; the
    groups, their rows' order and every result equal pandas' grouping of the
    same keys as strings, with the rows of the groups interleaved (a panel
    sorted by time)."""
    df = long_frame(rng, G=12, n=40)
    ref = Kalvoren.diagnose_many(df, by="store", y="y", x=["a", "b"], progress=False)
    panel = df.assign(t=df.groupby("store").cumcount()).sort_values("t", kind="stable")
    panel["store"] = form(panel.store.str[1:].astype(np.int64).to_numpy())
    panel = panel.set_index("store") if as_index else panel
    got = Kalvoren.diagnose_many(panel, by="store", y="y", x=["a", "b"], progress=False)
    assert got.index.dtype == dtype and got.index.is_monotonic_increasing
    pd.testing.assert_frame_equal(got.reset_index(drop=True), ref.reset_index(drop=True))


@pytest.mark.parametrize("dtype", ["str", "string[pyarrow]", "string[python]"])
def test_sorted_text_keys_group_as_pandas_does(rng, monkeypatch, dtype):
    """Sorted Arrow string keys are grouped by one comparison pass; the
    groups and results equal pandas' grouping, in Python's order of the
    strings (code points, which UTF-8's bytes keep)."""
    df = long_frame(rng, G=8, n=30)
    names = sorted(["Zeta", "alpha", "été", "ßeta", "日本", "Ω", "a", "b"])
    df["store"] = df.store.map(dict(zip(sorted(df.store.unique()), names))).astype(dtype)
    got = Kalvoren.diagnose_many(df, by="store", y="y", x=["a", "b"], progress=False)
    monkeypatch.setattr(_many, "_sorted_text_runs", lambda key: None)
    want = Kalvoren.diagnose_many(df, by="store", y="y", x=["a", "b"], progress=False)
    pd.testing.assert_frame_equal(got, want)
    assert list(got.index) == sorted(set(df.store))


@given(st.lists(st.integers(-3, 40), max_size=300), st.integers(0, 5))
@settings(max_examples=60, deadline=None)
def test_group_keys_is_a_stable_counting_sort(keys, pad):
    k = np.array(keys, dtype=np.int64)
    lo = (int(k.min()) if k.size else 0) - pad
    span = (int(k.max()) - lo + 1 if k.size else 1) + pad
    uniques, offsets, order = _batch.group_keys(k, lo, span)
    want, counts = np.unique(k, return_counts=True)
    np.testing.assert_array_equal(uniques, want)
    np.testing.assert_array_equal(offsets, np.concatenate([[0], np.cumsum(counts)]))
    np.testing.assert_array_equal(order, np.argsort(k, kind="stable"))
    if k.size:
        for bad_lo, bad_span in ((lo + pad + 1, span), (lo, span - pad - 1)):
            with pytest.raises(ValueError, match="outside|span"):
                _batch.group_keys(k, bad_lo, bad_span)
    with pytest.raises(ValueError, match="span"):
        _batch.group_keys(k, 0, 0)


@given(
    st.lists(st.integers(-2, 3), max_size=40),
    st.sampled_from(["int64", "uint64", "datetime64[ns]"]),
    st.booleans(),
)
@settings(max_examples=200, deadline=None)
def test_sorted_runs_find_each_run_of_a_sorted_key(steps, dtype, nat):
    """A key in non-decreasing order (mostly: steps may go down) gives the
    first row of each run and its key; anything else, NaT included, None."""
    v = np.cumsum(steps, dtype=np.int64) + 10
    key = pd.Series(v.astype(dtype))
    if nat and dtype.startswith("datetime") and v.size:
        key[v.size // 2] = pd.NaT
    got = _many._sorted_runs(key)
    vals = key.to_numpy()
    if key.isna().any() or (vals[1:] < vals[:-1]).any():
        assert got is None
        return
    starts = np.flatnonzero(np.r_[v.size > 0, vals[1:] != vals[:-1]])
    assert got is not None
    np.testing.assert_array_equal(got[0], starts)
    np.testing.assert_array_equal(got[1], vals[starts])


@pytest.mark.parametrize(
    "change, by, error, match",
    [
        (lambda d: pd.concat([d, d[["store"]]], axis=1), "store", ValueError, "by: .*several"),
        (lambda d: pd.concat([d, d[["y"]]], axis=1), "store", ValueError, "y: .*several"),
        (lambda d: pd.concat([d, d[["a"]]], axis=1), "store", ValueError, "x: .*several"),
        (lambda d: d, lambda d: d.store, TypeError, "by must name"),
        # a name both a column and an index level, as pandas refuses it
        (lambda d: d.set_index(d.index.rename("n")).assign(n=1), "n", ValueError, "ambiguous"),
        (lambda d: d.set_index(d.index.rename("n")).assign(n=0.5), "n", ValueError, "ambiguous"),
        (lambda d: d, "nope", ValueError, "no column 'nope'"),
    ],
)
def test_keys_and_columns_the_frame_cannot_name_once_are_refused(rng, change, by, error, match):
    d = change(long_frame(rng, G=6))
    with pytest.raises(error, match=match):
        Kalvoren.diagnose_many(d, by=by(d) if callable(by) else by, y="y", x=["a", "b"])


@pytest.mark.parametrize(
    "kw",
    [
        {"tests": ["sup_f"], "f_break_columns": ["const"]},
        {"tests": ["breusch_pagan"], "bp_regressors": ["const"]},
        {"tests": ["goldfeld_quandt"], "gq_order_by": "const"},
    ],
)
def test_a_column_named_const_is_the_one_options_name(rng, kw):
    """The added constant takes a name of its own, as in diagnose."""
    d = long_frame(rng, G=6).rename(columns={"a": "const"}).query("store in ('s00', 's05')")
    many = Kalvoren.diagnose_many(d, by="store", y="y", x=["const", "b"], **kw)
    tid = kw["tests"][0]
    for key, grp in d.groupby("store"):
        one = Kalvoren.diagnose(grp.y, grp[["const", "b"]], **kw).tests[tid]
        assert same(many.loc[key, f"{tid}_statistic"], one.statistic), key


def test_array_forms(rng):
    G, n = 12, 50
    X = rng.normal(size=(n, 2))
    Y = 0.5 + X @ [1.0, 2.0] + rng.normal(size=(G, n))
    shared = Kalvoren.diagnose_many(Y, X)
    per = Kalvoren.diagnose_many(Y, np.broadcast_to(X, (G, n, 2)))
    pd.testing.assert_frame_equal(shared, per)
    r = Kalvoren.diagnose(Y[7], X)
    for tid, t in r.tests.items():
        assert same(shared.loc[7, f"{tid}_statistic"], t.statistic)
    with pytest.raises(ValueError, match="shape"):
        Kalvoren.diagnose_many(Y, X[:10])


def test_ctrl_c_stops_and_returns_nothing(rng, monkeypatch):
    Y = rng.normal(size=(4000, 40))
    calls = []
    real = _engine.native

    def interrupted(batch):
        calls.append(batch.G)
        if len(calls) == 3:
            raise KeyboardInterrupt
        return real(batch)

    monkeypatch.setattr(_engine, "native", interrupted)
    monkeypatch.setattr(_many, "CHUNK_ROWS", 4000)
    with pytest.raises(KeyboardInterrupt):
        Kalvoren.diagnose_many(Y, None, workers=2, progress=False)
    assert len(calls) < 40  # the queue was dropped, not run to the end


def test_dask_local_cluster_equals_in_process(rng):
    dd = pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    from Kalvoren import dask as kd

    df = long_frame(rng, G=12)
    ref = Kalvoren.diagnose_many(df, by="store", y="y", x=["a", "b"])
    lazy = kd.diagnose_many(dd.from_pandas(df, npartitions=4), by="store", y="y", x=["a", "b"])
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster),
    ):
        out = lazy.compute().sort_index()
    pd.testing.assert_frame_equal(out, ref, check_dtype=False, check_index_type=False)


@given(
    st.integers(0, 40),
    st.integers(0, 3),
    st.booleans(),
    st.booleans(),
    st.sampled_from([1, 2, -1]),
    st.data(),
)
@settings(max_examples=60, deadline=None)
def test_gather_is_numpy_indexing(rows, m, lead, ordered, step, data):
    """The gathering of a long frame's rows: what NumPy's indexing gives, for
    strided and reversed columns, rows in order or through an index."""
    r = np.random.default_rng(rows * 7 + m)
    base = r.normal(size=(2 * rows + 3, m + 1))
    cols = [base[::step, j] for j in range(m + 1)]  # strided, reversed with -1
    src = cols[0].shape[0]
    order = np.array(data.draw(st.lists(st.integers(0, src - 1), min_size=rows, max_size=rows)))
    order = order.astype(np.int64) if ordered else None
    a = data.draw(st.integers(0, rows))
    b = data.draw(st.integers(a, rows))
    at = data.draw(st.integers(0, 3))
    y_out, X_out = np.full(b - a + at, -1.0), np.full((b - a + at, m + lead), -1.0)
    _batch.gather(y_out, X_out, at, cols[0], cols[1:], order, a, b, lead)
    idx = order[a:b] if ordered else np.arange(a, b)
    np.testing.assert_array_equal(y_out[at:], cols[0][idx])
    want = [np.ones(b - a)] * lead + [c[idx] for c in cols[1:]]
    np.testing.assert_array_equal(X_out[at:], np.array(want).T.reshape(b - a, m + lead))
    assert (y_out[:at] == -1).all() and (X_out[:at] == -1).all()


@pytest.mark.parametrize("G", [1, 2, 3])
@pytest.mark.parametrize("workers", [1, 2])
def test_series_without_observations_are_too_short(G, workers):
    """Every series gets its record, though no rows were run (the output was
    left as np.empty gave it)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = Kalvoren.diagnose_many(np.zeros((G, 0)), workers=workers, progress=False)
    assert len(got) == G
    assert set(got.filter(like="_status").stack()) == {Kalvoren.Status.TOO_SHORT}


def test_no_series_on_a_shared_design():
    got = Kalvoren.diagnose_many(np.zeros((0, 5)), np.ones((5, 2)), progress=False)
    assert got.shape[0] == 0 and "chow_pvalue" in got
