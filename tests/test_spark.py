"""Kalvoren.spark on a local Spark session (local[2]): the rows equal the
in-process result bit for bit, wide and long, and the group function serves
mapInArrow. Starting Spark takes tens of seconds: the file runs in CI
(CI=true) or with KVR_SPARK_TEST=1."""

import os
import shutil
import sys

import numpy as np
import pandas as pd
import pytest
from test_many import long_frame

import Kalvoren

pytestmark = [
    pytest.mark.skipif(
        os.environ.get("CI") != "true" and os.environ.get("KVR_SPARK_TEST") != "1",
        reason="slow; set KVR_SPARK_TEST=1 (CI runs it)",
    ),
    pytest.mark.filterwarnings("ignore::FutureWarning"),  # pyspark about pandas 3
    pytest.mark.filterwarnings("ignore::DeprecationWarning"),
]
X = ["a", "b", "one"]


@pytest.fixture(scope="module")
def spark():
    if shutil.which("java") is None and "JAVA_HOME" not in os.environ:
        pytest.fail("Spark needs Java 17 or later")
    from pyspark.sql import SparkSession

    os.environ["PYSPARK_PYTHON"] = sys.executable
    session = (
        SparkSession.builder.master("local[2]")
        .appName("kalvoren-test")
        .config("spark.ui.enabled", "false")
        .config("spark.sql.shuffle.partitions", "3")
        .config("spark.sql.execution.arrow.pyspark.enabled", "true")
        .config("spark.driver.bindAddress", "127.0.0.1")
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


@pytest.fixture(scope="module")
def data():
    df = long_frame(np.random.default_rng(11), G=14)
    # a constant column over all the data (the model's constant) and a
    # regressor constant in one group only: decided over all rows, as in process
    df = df.assign(one=1.0, t=df.groupby("store").cumcount(), region=df.store.str[-1:] < "5")
    df.loc[df.store == "s06", "b"] = 3.0
    return df


def exactly(out, ref):
    out = out.astype(ref.dtypes.to_dict())
    pd.testing.assert_frame_equal(out, ref, check_exact=True, check_categorical=False)


@pytest.mark.parametrize("shape, per", [("wide", "group"), ("long", "partition")])
def test_spark_rows_equal_in_process_bit_for_bit(spark, data, shape, per):
    from Kalvoren import spark as ks

    keys = ["region", "store"]
    ref = Kalvoren.diagnose_many(data, by=keys, y="y", x=X, shape=shape)
    # rows scrambled across partitions: the time order comes from t
    sdf = spark.createDataFrame(data.sample(frac=1.0, random_state=2)).repartition(3)
    out = ks.diagnose_many(sdf, by=keys, y="y", x=X, order="t", shape=shape, per=per)
    out = out.toPandas()
    out = out.sort_values(keys, kind="stable")
    if shape == "wide":
        ref = ref.reset_index()
    exactly(out.reset_index(drop=True), ref.reset_index(drop=True))
    assert ref["note"].str.contains("dropped as collinear").any()  # s06's b, s03's b


def test_spark_keeps_the_input_order_and_serves_map_in_arrow(spark, data):
    from Kalvoren import spark as ks

    ref = Kalvoren.diagnose_many(data, by="store", y="y", x=X, tests=["chow", "cusum"])
    sdf = spark.createDataFrame(data)
    out = ks.diagnose_many(sdf, by="store", y="y", x=X, tests=["chow", "cusum"]).toPandas()
    exactly(out.set_index("store").sort_index(), ref)
    f = Kalvoren.group_function(by="store", y="y", x=X, order="t", constant="one")
    long = (
        sdf.repartition(2, "store")
        .mapInArrow(f.arrow, schema=ks.schema_ddl(keys=[("store", "string")], shape="long"))
        .toPandas()
    )
    long = long.sort_values("store", kind="stable").reset_index(drop=True)
    exactly(long, Kalvoren.diagnose_many(data, by="store", y="y", x=X, shape="long"))
    with pytest.raises(ValueError, match="not numeric"):
        ks.diagnose_many(sdf, by="store", y="y", x=["a", "store"])
    with pytest.raises(Kalvoren.OptionError, match="per"):
        ks.diagnose_many(sdf, by="store", y="y", x=X, per="row")


@pytest.mark.parametrize("per", ["group", "partition"])
def test_spark_missing_keys_are_one_group_and_large_ones_stay_apart(spark, data, per):
    """A null among int64 keys beyond 2**53 (Arrow would make them floats)
    and a double key holding both NaN and null: the groups of the in-process run."""
    from pyspark.sql import types as T

    from Kalvoren import spark as ks

    d = data[data.store.isin(["s00", "s05", "s07"])]
    codes = [{"s00": 2**60, "s05": 2**60 + 1}.get(s) for s in d.store]
    floats = [{"s00": 1.0, "s05": np.nan}.get(s) for s in d.store]
    for keys, kind, dtype in ((codes, T.LongType(), "Int64"), (floats, T.DoubleType(), object)):
        schema = T.StructType(
            [T.StructField("id", kind)] + [T.StructField(c, T.DoubleType()) for c in ("y", "a")]
        )
        sdf = spark.createDataFrame(list(zip(keys, d.y, d.a)), schema).repartition(1)
        got = ks.diagnose_many(sdf, by="id", y="y", x=["a"], per=per).toPandas()
        frame = pd.DataFrame({"id": pd.array(keys, dtype=dtype), "y": d.y, "a": d.a})
        want = Kalvoren.diagnose_many(frame, by="id", y="y", x=["a"])
        assert sorted(got.n) == sorted(want.n), (kind, per)


def test_spark_takes_the_covariance_choice(spark, data):
    from Kalvoren import spark as ks

    d = data.assign(cl=data.t // 10)
    kw = {"cov_type": "cluster", "cov_options": {"groups": "cl"}, "tests": ["hac_wald"]}
    ref = Kalvoren.diagnose_many(d, by="store", y="y", x=X, **kw)
    out = ks.diagnose_many(spark.createDataFrame(d), by="store", y="y", x=X, order="t", **kw)
    exactly(out.toPandas().set_index("store").sort_index(), ref)
    with pytest.raises(NotImplementedError, match="column names"):
        ks.diagnose_many(spark.createDataFrame(d), by="store", y="y", x=X, cov_type="cluster",
                         cov_options={"groups": np.arange(len(d))})  # fmt: skip
