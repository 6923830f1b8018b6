"""The battery over a long frame of G groups (n = 200 rows, k = 3 with the
constant) on each engine, against the in-process run on the same cores:

- in process: ``Kalvoren.diagnose_many(frame, by=...)``, 1 and 2 workers; the
  same rows as a panel sorted by time and scrambled, against the sorted frame
  and against pandas' grouping (the integer key's counting turned off);
- Dask on its threaded scheduler (2 threads, its default without a client)
  and on a LocalCluster (2 worker processes, 1 thread each), the data already
  in the workers' memory (``persist``): partitions that hold whole groups (the
  key as index with known divisions, and a key column with
  ``partitioned=True``), a key sorted across partitions that cut groups at
  their edges, and rows in random order (one shuffle; against the in-process
  run on the same rows, which must group them too); the workers warmed first
  with a small run, as the in-process rows are;
- Spark ``local[2]`` (data cached first): ``groupBy().applyInPandas`` (one
  call per group) and ``repartition().mapInArrow`` with
  ``Kalvoren.group_function`` (one call per partition).

Every engine's result is checked against the in-process one. Each row's two
times come from runs in alternation, the best of --reps rounds after an
untimed one (Spark: one run, then the in-process run's), so that both see the
same state of a shared machine. Prints rows in the format of
benchmarks/README.md with the machine's load average (the machine is shared: a
loaded machine slows every row, and the ratios less than the times)::

    .venv/bin/python benchmarks/bench_engines.py                 # G = 10^4 and 10^5
    .venv/bin/python benchmarks/bench_engines.py --groups 10000 --no-spark
"""

from __future__ import annotations

import argparse
import os
import sys
import time
import warnings
from typing import Any

import numpy as np
import pandas as pd

import Kalvoren
from Kalvoren import _many

N = 200
X = ["a", "b"]
ROWS: list[tuple] = []


def fmt_t(s: float) -> str:
    return f"{s * 1e3:.0f} ms" if s < 1 else f"{s:.2f} s"


def load() -> str:
    return "load {:.1f} {:.1f} {:.1f}".format(*os.getloadavg())


def row(what: str, G: int, ours: float, peer: str, t_peer: float, note: str = "") -> None:
    ROWS.append(
        ("engines", what, G, 3, ours, peer, t_peer, f"({G / ours:,.0f} series/s; {load()}){note}")
    )
    print(f"  {what}: {fmt_t(ours)} against {peer} {fmt_t(t_peer)}", flush=True)


def alternated(fs: list[Any], reps: int, check=None, warm: bool = True) -> list[float]:
    """The shortest of reps runs of each of fs, run in turn (f0, f1, ..., f0,
    f1, ...), after one untimed round when warm: a shared machine's speed
    drifts by tens of percent within minutes, and runs in alternation see
    the same drift, so their ratio holds where one series of runs after
    another does not. check(result) on fs[0]'s first timed result."""
    if warm:
        for f in fs:
            f()
    best = [float("inf")] * len(fs)
    for r in range(reps):
        for i, f in enumerate(fs):
            t = time.perf_counter()
            out = f()
            best[i] = min(best[i], time.perf_counter() - t)
            if check is not None and r == 0 and i == 0:
                check(out)
            del out
    return best


def data(G: int, seed: int = 1) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    xs = rng.normal(size=(G * N, 2))
    return pd.DataFrame(
        {
            "g": np.repeat(np.arange(G), N),
            "y": 1.0 + xs @ [1.0, 2.0] + rng.normal(size=G * N),
            "a": xs[:, 0],
            "b": xs[:, 1],
        }
    )


def same(out: pd.DataFrame, ref: pd.DataFrame) -> None:
    out = out.sort_index().astype(ref.dtypes.to_dict())
    pd.testing.assert_frame_equal(out, ref, check_exact=True, check_index_type=False)


def in_process(rows: pd.DataFrame, workers: int = 2) -> Any:
    return lambda: Kalvoren.diagnose_many(rows, by="g", y="y", x=X, workers=workers, progress=False)


def pandas_grouping(run: Any) -> Any:
    """run with the integer key's counting turned off: pandas groups the rows."""

    def grouped() -> Any:
        counted, _many._counted_keys = _many._counted_keys, lambda key: None
        try:
            return run()
        finally:
            _many._counted_keys = counted

    return grouped


def bench_in_process(frame: pd.DataFrame, reps: int) -> pd.DataFrame:
    G = frame.g.iloc[-1] + 1
    ref = in_process(frame)()
    t2, t1 = alternated([in_process(frame, 2), in_process(frame, 1)], reps)
    c = time.process_time()
    in_process(frame, 1)()
    cpu = time.process_time() - c
    row("in process, 2 workers", G, t2, "1 worker", t1, f" (1 worker: {G / cpu:,.0f} per CPU s)")
    # the same rows in other orders: the groups interleaved (a panel sorted by
    # time) and scrambled, each against the sorted frame and against pandas'
    # grouping of the same rows
    by_time = frame.iloc[np.argsort(frame.groupby("g").cumcount().to_numpy(), kind="stable")]
    scrambled = frame.sample(frac=1.0, random_state=0)
    for what, rows in (("panel sorted by time", by_time), ("rows scrambled", scrambled)):
        run = in_process(rows)
        t, t_sorted, t_pandas = alternated([run, in_process(frame), pandas_grouping(run)], reps)
        row(f"in process, {what}", G, t, "sorted by the key", t_sorted)
        row(f"in process, {what}", G, t, "pandas' grouping", t_pandas)
    return ref


def _warm() -> None:
    Kalvoren.diagnose_many(data(20), by="g", y="y", x=X, progress=False)


def bench_dask(frame: pd.DataFrame, ref: pd.DataFrame, reps: int) -> None:
    import dask
    import dask.dataframe as dd
    import distributed

    from Kalvoren import dask as kd

    G = len(ref)
    parts = 8
    bounds = np.linspace(0, G, parts + 1).astype(int) * N
    chunks = [frame.iloc[a:b] for a, b in zip(bounds[:-1], bounds[1:])]
    scrambled = frame.sample(frac=1.0, random_state=0)
    ref_scrambled = in_process(scrambled)()
    same_rows = ("in process, 2 workers, the same rows", in_process(scrambled), ref_scrambled)
    sorted_rows = ("in process, 2 workers", in_process(frame), ref)
    # name, data, options (the scrambled rows are set against the same rows in process)
    layouts = (
        # the key as index with known divisions
        ("index with divisions", dd.from_pandas(frame.set_index("g"), npartitions=parts), {}),
        # whole groups per partition, key as a column
        ("partitioned=True", dd.from_map(lambda p: p, chunks), {"partitioned": True}),
        # sorted by the key, groups cut at the partitions' edges
        ("sorted key cut at edges", dd.from_pandas(frame, npartitions=parts, sort=False), {}),
        # rows in random order: one shuffle
        (
            "rows scrambled: one shuffle",
            dd.from_pandas(scrambled, npartitions=parts, sort=False),
            {},
        ),
    )

    def run_all(label: str, data: list[Any]) -> None:
        for (what, _, kw), ddf in zip(layouts, data):
            peer, run_peer, want = same_rows if "scrambled" in what else sorted_rows
            # the first round untimed: a collection's first compute does
            # one-off work (from_pandas sorts and splits the frame)
            t, t_peer = alternated(
                [lambda: kd.diagnose_many(ddf, by="g", y="y", x=X, **kw).compute(), run_peer],
                reps,
                lambda out: same(out, want),
            )
            row(f"{label}, {what}", G, t, peer, t_peer)

    # Dask's own scheduler without a client: threads in this process
    with dask.config.set(scheduler="threads", num_workers=2):
        run_all("Dask threads", [d for _, d, _ in layouts])
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        held = [d.persist() for _, d, _ in layouts]
        distributed.wait(held)
        # each layout's partitions spread evenly over the workers, as a
        # scheduler reading files spreads them (persist may leave 6 and 2)
        for d in held:
            client.rebalance(distributed.futures_of(d))
        # The in-process rows ran warm (imports, first calls): so do the workers.
        client.run(_warm)
        run_all("Dask", held)
        client.cancel(held)


def bench_spark(frame: pd.DataFrame, ref: pd.DataFrame, per_group: bool) -> None:
    os.environ["PYSPARK_PYTHON"] = sys.executable
    from pyspark.sql import SparkSession

    from Kalvoren import spark as ks

    G = len(ref)
    spark = (
        SparkSession.builder.master("local[2]")
        .config("spark.ui.enabled", "false")
        .config("spark.sql.shuffle.partitions", "8")
        .config("spark.sql.execution.arrow.pyspark.enabled", "true")
        .config("spark.driver.memory", "4g")
        .getOrCreate()
    )
    spark.sparkContext.setLogLevel("ERROR")
    spark.conf.set("spark.sql.shuffle.partitions", "8")  # a reused context keeps its own
    try:
        sdf = spark.createDataFrame(frame).cache()
        sdf.count()
        for what, per in (
            ("Spark, applyInPandas per group", "group"),
            ("Spark, mapInArrow per partition", "partition"),
        ):
            if per == "group" and not per_group:
                continue
            out = ks.diagnose_many(sdf, by="g", y="y", x=X, per=per)
            # one run (a run per group takes minutes), then the in-process
            # run's best of 3 after an untimed one, next to it
            (t,) = alternated(
                [lambda: out.toPandas()], 1, lambda res: same(res.set_index("g"), ref), warm=False
            )
            (t_in,) = alternated([in_process(frame)], 3)
            row(what, G, t, "in process, 2 workers", t_in)
        sdf.unpersist()
    finally:
        spark.stop()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--groups", type=int, nargs="+", default=[10_000, 100_000])
    ap.add_argument("--spark-groups", type=int, default=10_000, help="largest G run on Spark")
    ap.add_argument(
        "--per-group-groups", type=int, default=2_000, help="largest G run by applyInPandas"
    )
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--no-dask", action="store_true")
    ap.add_argument("--no-spark", action="store_true")
    args = ap.parse_args()
    warnings.simplefilter("ignore", FutureWarning)
    print(f"{os.cpu_count()} CPUs, {load()}")
    t0 = time.perf_counter()
    for G in args.groups:
        print(f"G = {G:,}, n = {N}, k = 3", flush=True)
        frame = data(G)
        reps = args.reps if G < 50_000 else min(args.reps, 2)
        ref = bench_in_process(frame, args.reps)
        if not args.no_dask:
            bench_dask(frame, ref, reps)
        if not args.no_spark and G <= args.spark_groups:
            bench_spark(frame, ref, G <= args.per_group_groups)
    print("\n| section | function | n | k/p | ours | peer | peer time | ratio | note |")
    print("|---|---|---|---|---|---|---|---|---|")
    for sec, what, G, k, ours, peer, tp, note in ROWS:
        n = f"10^{int(np.log10(G))}" if G == 10 ** int(np.log10(G)) else f"{G:,}"
        print(
            f"| {sec} | {what} | {n} | {k} | {fmt_t(ours)} | {peer} | {fmt_t(tp)} | {ours / tp:.3f} | {note} |"
        )
    print(f"\n(series count in the n column; total {time.perf_counter() - t0:.0f} s, {load()})")


if __name__ == "__main__":
    main()
