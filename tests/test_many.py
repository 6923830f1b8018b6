"""diagnose_many: equal to diagnose per group, independent of workers, failures
as rows, array forms, Ctrl-C, and the Dask path on a LocalCluster."""

import numpy as np
import pandas as pd
import pytest

import Kalvoren
from Kalvoren import _engine, _many


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
