"""The many-series result in its engine forms: the long shape, the function
per group, the Arrow entry and schemas, the rows of a long frame gathered in
the worker threads whatever the key's layout, and Dask without a shuffle."""

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from test_many import long_frame

import Kalvoren
from Kalvoren import _many, _registry

X = ["a", "b"]


def by_store(df, **kw):
    return Kalvoren.diagnose_many(df, by="store", y="y", x=X, **kw)


@pytest.fixture(scope="module")
def frame():
    return long_frame(np.random.default_rng(7), G=16)


def test_long_shape_is_the_wide_result_one_row_per_test(frame, monkeypatch):
    monkeypatch.setattr(_many, "_RUN", 5)  # groups written in several runs
    wide, long = by_store(frame), by_store(frame, shape="long")
    ids = list(_registry.DEFAULT_TESTS)
    assert list(long.columns) == ["store", *_many.schema(ids, "long")]
    assert len(long) == len(wide) * len(ids)
    cell = long.set_index(["store", "test"])
    for tid in ids:
        part = cell.xs(tid, level="test")
        for col in ("statistic", "pvalue", "status", "route", "reject"):
            pd.testing.assert_series_equal(
                part[col], wide[f"{tid}_{col}"], check_names=False, check_categorical=False
            )
    # a note is about its own test; the wide note names the tests it concerns
    assert (cell.loc[("s01", "chow"), "status"], cell.loc[("s03", "chow"), "route"]) == (
        -1005,
        "least-squares",
    )
    assert "dropped as collinear: 'b'" in cell.loc[("s03", "ljung_box"), "note"]
    noted = (cell["note"] != "").groupby(level="store", observed=True).any()
    assert noted.tolist() == (wide["note"] != "").tolist() and noted.sum() >= 3
    # a note about one test is in that test's rows alone
    cut = by_store(frame, shape="long", break_at=58).set_index(["store", "test"])["note"]
    about = cut[cut.str.contains("break_at")].index.get_level_values("test")
    assert len(about) >= 10 and set(about) == {"chow"}
    assert cell.loc[("s05", "chow"), "df2"] == 60 - 2 * 3 and np.isnan(
        cell.loc[("s05", "jarque_bera"), "df1"]
    )
    arr = Kalvoren.diagnose_many(np.ones((2, 3)) + np.arange(6).reshape(2, 3) ** 2, shape="long")
    assert arr.columns[0] == "series" and list(arr.series.unique()) == [0, 1]
    with pytest.raises(Kalvoren.OptionError, match="shape"):
        by_store(frame, shape="tall")


def _layouts():
    rng = np.random.default_rng(3)
    base = long_frame(rng, G=8, n=40)
    code = base.store.str[1:].astype(np.int64)
    shuffled = rng.permutation(len(base))
    return {
        "int keys, sorted (runs)": base.assign(store=code),
        "int keys, descending": base.assign(store=-code),
        "int keys, interleaved": base.assign(store=code).iloc[shuffled],
        "dates, sorted": base.assign(store=pd.Timestamp("2020-01-01") + pd.to_timedelta(code, "D")),
        "strings, interleaved": base.iloc[shuffled],
        "float keys with a missing one": base.assign(store=code.where(code != 5).astype(float)),
        "nullable ints": base.assign(store=code.astype("Int64")),
        "int keys as the index": base.assign(store=code).set_index("store"),
    }


@pytest.mark.parametrize("layout", list(_layouts()))
def test_rows_gathered_in_the_workers_equal_each_group_alone(layout):
    df = _layouts()[layout]
    whole = by_store(df, workers=2)
    pd.testing.assert_index_equal(
        whole.index, df.groupby("store", dropna=False).size().index, exact=False
    )
    per = Kalvoren.group_function(by="store", y="y", x=X, shape="wide", constant=False)
    alone = [per(g) for _, g in df.groupby("store", dropna=False, sort=True)]
    ref = pd.concat(alone, ignore_index=True).set_index("store")
    pd.testing.assert_frame_equal(whole, ref, check_index_type=False, check_exact=True)


def test_group_function_serves_any_grouping(frame):
    ref = by_store(frame, shape="long")
    f = Kalvoren.group_function(by="store", y="y", x=X, order="t")
    # rows of each group scrambled, order restored by the column
    t = frame.groupby("store").cumcount()
    scrambled = frame.assign(t=t).sample(frac=1.0, random_state=1)
    # pandas' groupby.apply leaves the key out of each group's frame
    out = scrambled.groupby("store").apply(f).reset_index(drop=True)
    pd.testing.assert_frame_equal(out, ref, check_categorical=False)
    assert f(frame.iloc[:0]).columns.tolist() == ref.columns.tolist()
    # several whole groups in one call, as a partition holds them
    pd.testing.assert_frame_equal(f(scrambled), ref, check_categorical=False)
    # Arrow: a partition's batches in, batches of the declared schema out
    table = pa.Table.from_pandas(scrambled, preserve_index=False)
    batches = list(f.arrow(table.to_batches(max_chunksize=100)))
    got = pa.Table.from_batches(batches)
    assert got.schema.equals(f.arrow_schema(table.schema))
    pd.testing.assert_frame_equal(got.to_pandas(), ref.astype({"test": str, "route": str}))
    assert list(f.arrow(iter([]))) == []
    # a column named for the covariance travels with the rows
    kw = {"cov_type": "cluster", "cov_options": {"groups": "t"}, "shape": "long"}
    clustered = Kalvoren.group_function(by="store", y="y", x=X, **kw)
    got = pa.Table.from_batches(list(clustered.arrow(table.to_batches()))).to_pandas()
    want = Kalvoren.diagnose_many(scrambled, by="store", y="y", x=X, **kw)
    assert "t" in clustered.columns and np.array_equal(
        got.statistic, want.statistic, equal_nan=True
    )
    for bad, match in (
        (dict(x=["y"]), "also among"),
        (dict(constant="c"), "constant"),
        (dict(lags=0), "lags"),
    ):
        with pytest.raises(ValueError, match=match):
            Kalvoren.group_function(**{"by": "store", "y": "y", "x": X, **bad})


@pytest.mark.parametrize("shape", _many.SHAPES)
def test_schemas_describe_the_frames(frame, shape):
    res = by_store(frame, shape=shape, tests=["chow", "arch_lm"])
    res = res.reset_index() if shape == "wide" else res
    sch = _many.arrow_schema(("chow", "arch_lm"), [("store", pa.string())], shape)
    assert sch.names == list(res.columns)
    plain = res.astype({c: str for c in res.columns if hasattr(res[c], "cat")})
    assert pa.Table.from_pandas(plain, schema=sch, preserve_index=False).num_rows == len(res)
    ddl = _many.ddl(("chow", "arch_lm"), [("store", "string")], shape)
    assert [p.split(" ")[0].strip("`") for p in ddl.split(", ")] == sch.names
    assert _many.ddl((), [("we`ird", "int")]).startswith("`we``ird` int")


@pytest.mark.parametrize("shape", _many.SHAPES)
def test_dask_results_are_typed_as_computed_and_write_to_parquet(frame, shape, tmp_path):
    """Dask's writers take the schema from the dtypes announced, not the rows."""
    dd = pytest.importorskip("dask.dataframe")
    import dask

    from Kalvoren import dask as kd

    rows = frame.copy()
    rows.loc[rows.index[5], "y"] = np.nan  # a note
    with dask.config.set(scheduler="sync"):
        out = kd.diagnose_many(
            dd.from_pandas(rows, npartitions=3, sort=False), by="store", y="y", x=X, shape=shape
        )
        got = out.compute()
        assert dict(out.dtypes) == dict(got.dtypes)
        out.to_parquet(tmp_path / shape)
    back, want = pd.read_parquet(tmp_path / shape), by_store(rows, shape=shape)
    if shape == "long":
        back = back.reset_index(drop=True)
    assert want["note"].str.len().gt(0).any()
    pd.testing.assert_frame_equal(back, want, check_dtype=False, check_categorical=False)


def _dask_keys(out):
    return {str(k[0] if isinstance(k, tuple) else k).rsplit("-", 1)[0] for k in dict(out.dask)}


def test_dask_skips_the_shuffle_when_partitions_hold_whole_groups(frame):
    dd = pytest.importorskip("dask.dataframe")
    import dask

    from Kalvoren import dask as kd

    ref = by_store(frame)
    stores = sorted(frame.store.unique())
    # whole groups per partition, their keys not sorted across partitions
    parts = [frame[frame.store.isin(stores[i::3])] for i in range(3)]
    scrambled = frame.sample(frac=1.0, random_state=3)
    cut = dd.from_pandas(frame, npartitions=4, sort=False)  # sorted, groups cut at edges
    cuts = [0, 0, 10, *range(35, len(frame), 25), len(frame), len(frame)]
    cases = {  # name: data, options, its rows in one frame, what moves
        "index with divisions": (
            dd.from_pandas(frame.set_index("store"), npartitions=4),
            {},
            frame,
            "nothing",
        ),
        "partitioned=True": (
            dd.from_map(lambda p: p, parts),
            {"partitioned": True},
            frame,
            "nothing",
        ),
        "sorted, cut anywhere": (cut, {}, frame, "edges"),
        # partitions shorter than a group: groups over three partitions, some empty
        "sorted, cut inside groups": (
            dd.from_map(lambda p: p, [frame.iloc[a:b] for a, b in zip(cuts[:-1], cuts[1:])]),
            {},
            frame,
            "edges",
        ),
        "scrambled": (dd.from_pandas(scrambled, npartitions=4, sort=False), {}, scrambled, "all"),
    }
    with dask.config.set(scheduler="sync"):
        for name, (ddf, kw, rows, moved) in cases.items():
            for shape in _many.SHAPES:
                out = kd.diagnose_many(ddf, by="store", y="y", x=X, shape=shape, **kw)
                keys = _dask_keys(out)
                # divisions only where the rows are indexed by the key
                assert out.known_divisions == (shape == "wide" and name == "index with divisions")
                assert bool(keys & {"shuffle-partition", "group-taskshuffle"}) == (
                    moved == "all"
                ), name
                assert ("_joined" in keys) == (moved == "edges"), name
                got, want = out.compute(), by_store(rows, shape=shape)
                if moved == "edges":  # the partitions stay in key order
                    assert (got.index if shape == "wide" else got.store).is_monotonic_increasing
                if shape == "wide":
                    pd.testing.assert_frame_equal(
                        got.sort_index(), want, check_dtype=False, check_index_type=False
                    )
                else:
                    got = got.sort_values("store", kind="stable").reset_index(drop=True)
                    pd.testing.assert_frame_equal(
                        got, want, check_dtype=False, check_categorical=False
                    )
        # Dask's groupby.apply shuffles without keeping the rows' order: order= restores it
        f = Kalvoren.group_function(by="store", y="y", x=X, shape="wide", order="t", constant=False)
        timed = dd.from_pandas(frame.assign(t=np.arange(len(frame))), npartitions=4, sort=False)
        out = timed.groupby("store").apply(f, meta=f.meta(timed)).compute()
        pd.testing.assert_frame_equal(
            out.reset_index(drop=True).set_index("store").sort_index(), ref, check_dtype=False
        )
        with pytest.raises(ValueError, match="span partitions"):
            kd.diagnose_many(cut, by="store", y="y", x=X, partitioned=True)
        with pytest.raises(TypeError, match="partitioned"):
            kd.diagnose_many(cut, by="store", y="y", x=X, partitioned="yes")


def test_dask_layouts_that_only_look_sorted_or_whole(frame, tmp_path):
    """Keys whose partitions' edges do not tell the order, a split group the
    partitions list in two forms, an ambiguous key and no rows at all: each
    gives the in-process result or the documented error."""
    dd = pytest.importorskip("dask.dataframe")
    import dask

    from Kalvoren import dask as kd

    # one partition per day, each sorted by categories in another order than the values'
    level = pd.CategoricalDtype(["s09", "s05", "s12", "s01"], ordered=True)
    days = [frame[frame.store.isin(level.categories)].assign(day=d) for d in range(3)]
    cat = [p.astype({"store": level}).sort_values("store", kind="stable") for p in days]
    stamp = frame.assign(store=pd.to_datetime(frame.store.str[1:].astype(int), unit="D"))
    stamp = stamp.astype({"store": "datetime64[ns]"})
    head, tail = stamp.iloc[:100], stamp.iloc[100:].sample(frac=1.0, random_state=1)
    ambiguous = frame.set_index(frame.store.rename("store"))
    with dask.config.set(scheduler="sync"):
        got = kd.diagnose_many(dd.from_map(lambda p: p, cat), by="store", y="y", x=X).compute()
        want = by_store(pd.concat(cat).sort_values("day", kind="stable"))
        pd.testing.assert_frame_equal(got.sort_index(), want, check_dtype=False)
        with pytest.raises(ValueError, match="span partitions"):
            split = dd.from_map(lambda p: p, [head, tail])  # the first sorted, the other not
            kd.diagnose_many(split, by="store", y="y", x=X, partitioned=True)
        with pytest.raises(ValueError, match="ambiguous"):
            kd.diagnose_many(dd.from_pandas(ambiguous, npartitions=2), by="store", y="y", x=X)
        # files that share a key at their edge, read with divisions that claim otherwise
        frame.iloc[:130].to_parquet(tmp_path / "part.0.parquet", index=False)
        frame.iloc[130:].to_parquet(tmp_path / "part.1.parquet", index=False)
        files = dd.read_parquet(tmp_path, index="store", calculate_divisions=True)
        got = kd.diagnose_many(files, by="store", y="y", x=X).compute()
        pd.testing.assert_frame_equal(
            got.sort_index(), by_store(frame), check_dtype=False, check_index_type=False
        )
        # whole groups on a row index with divisions: the key-indexed result claims none
        rows = dd.from_pandas(frame.reset_index(drop=True), npartitions=1)
        out = kd.diagnose_many(rows, by="store", y="y", x=X, partitioned=True)
        assert not out.known_divisions
        # a missing key as None in one partition and NaN in another is one group
        keys = frame.store.astype(object).where(frame.store != "s03", None)
        halves = [frame.assign(store=keys).iloc[:100], frame.assign(store=keys).iloc[100:]]
        halves[1].loc[halves[1].store.isna(), "store"] = np.nan
        with pytest.raises(ValueError, match="span partitions"):
            kd.diagnose_many(
                dd.from_map(lambda p: p, halves), by="store", y="y", x=X, partitioned=True
            )
        # an integer column constant as float64 is, as in process (2**53 + 1 rounds to 2**53)
        big = frame.assign(big=np.where(np.arange(len(frame)) % 2, 2**53, 2**53 + 1))
        got = kd.diagnose_many(dd.from_pandas(big, npartitions=3), by="store", y="y", x=[*X, "big"])
        want = Kalvoren.diagnose_many(big, by="store", y="y", x=[*X, "big"])
        assert (got.compute().sort_index().note == want.note).all()
        # the constant decided over all rows: a column of ones is it (an empty partition
        # says nothing); one constant within each partition (a store's attribute) or
        # but for a NaN is not
        stores = sorted(frame.store.unique())
        thirds = [frame[frame.store.isin(stores[:8])], frame.iloc[:0]]
        thirds.append(frame[frame.store.isin(stores[8:])])
        for col in ("ones", "attr", "gap"):
            parts = [p.assign(ones=1.0, attr=float(i + 1), gap=2.0) for i, p in enumerate(thirds)]
            parts[2].iloc[3, parts[2].columns.get_loc("gap")] = np.nan
            data = dd.from_map(lambda p: p, parts)
            for kw in ({}, {"partitioned": True}):
                got = kd.diagnose_many(data, by="store", y="y", x=[*X, col], **kw).compute()
                want = Kalvoren.diagnose_many(pd.concat(parts), by="store", y="y", x=[*X, col])
                pd.testing.assert_frame_equal(
                    got.sort_index(), want, check_dtype=False, check_index_type=False
                )
        # integer keys (compared as arrays): whole groups, then split ones named as integers
        ints = frame.assign(store=frame.store.str[1:].astype(np.int64))
        whole = dd.from_map(lambda p: p, [ints[ints.store % 2 == r] for r in (0, 1)])
        got = kd.diagnose_many(whole, by="store", y="y", x=X, partitioned=True).compute()
        pd.testing.assert_frame_equal(got.sort_index(), by_store(ints), check_dtype=False)
        with pytest.raises(ValueError, match=r"for example \d+(, \d+)*\)"):
            cut_ints = dd.from_pandas(ints, npartitions=3, sort=False)
            kd.diagnose_many(cut_ints, by="store", y="y", x=X, partitioned=True)
        for kw in ({}, {"partitioned": True}):
            empty = dd.from_pandas(frame.iloc[:0], npartitions=1)
            got = kd.diagnose_many(empty, by="store", y="y", x=X, **kw).compute()
            assert got.empty and list(got.columns) == list(by_store(frame).columns)


@settings(max_examples=10, deadline=None)
@given(
    cuts=st.lists(st.integers(0, 903), max_size=5),
    homes=st.lists(st.integers(0, 2), min_size=16, max_size=16),
    as_index=st.booleans(),
)
def test_dask_any_layout_gives_the_in_process_rows(frame, cuts, homes, as_index):
    """The sorted frame cut anywhere (as it is, with each partition's groups
    in descending order, and with the partitions in reverse), and whole
    groups dealt to partitions at random: the in-process rows of the
    partitions' rows in turn, and partitioned=True refused exactly when a
    group spans two partitions."""
    dd = pytest.importorskip("dask.dataframe")
    import dask

    from Kalvoren import dask as kd

    assert len(frame) == 903
    edges = [0, *sorted(cuts), len(frame)]
    cut = [frame.iloc[a:b] for a, b in zip(edges[:-1], edges[1:])]
    stores = sorted(frame.store.unique())
    dealt = [
        frame[frame.store.isin([s for s, h in zip(stores, homes) if h == p])] for p in range(3)
    ]
    backwards = [p.sort_values("store", ascending=False, kind="stable") for p in cut]
    with dask.config.set(scheduler="sync"):
        for parts in (cut, dealt, backwards, cut[::-1]):
            split = any(
                len(set(p.store) & set(q.store)) for i, p in enumerate(parts) for q in parts[:i]
            )
            want = by_store(pd.concat(parts))
            if as_index:
                parts = [p.set_index("store") for p in parts]
            ddf = dd.from_map(lambda p: p, parts)
            for kw in ({}, {"partitioned": True}):
                if kw and split:
                    with pytest.raises(ValueError, match="span partitions"):
                        kd.diagnose_many(ddf, by="store", y="y", x=X, **kw)
                    continue
                got = kd.diagnose_many(ddf, by="store", y="y", x=X, **kw).compute()
                pd.testing.assert_frame_equal(
                    got.sort_index(), want, check_dtype=False, check_index_type=False
                )
