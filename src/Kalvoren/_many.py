"""The battery over many series: a long pandas DataFrame grouped by a key, or
arrays of series, on every core; the same battery as one function per group
for the engines that bring their own grouping (Spark, Dask, Ray)."""

from __future__ import annotations

import dataclasses
import functools
import inspect
import os
import sys
import threading
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, NoReturn, Sequence, cast

import numpy as np

from Kalvoren import _caveats, _engine, _fixedb, _options, _prepare, _registry, _robust
from Kalvoren._ckernels.diag import _batch

if TYPE_CHECKING:
    import pandas as pd
    from tqdm.std import tqdm as Tqdm

# Series per native call: small enough that Ctrl-C and the progress bar
# respond within a fraction of a second, large enough that a call's fixed
# cost is noise.
CHUNK_ROWS = 1 << 16
ROUTES = ("kernel", "least-squares")
SHAPES = ("wide", "long")
# The key column of the long form of the array inputs.
SERIES = "series"


def _chunks(offsets: np.ndarray) -> list[tuple[int, int]]:
    """Split G series into runs of about CHUNK_ROWS rows (series without
    observations: one run, so that each gets its record)."""
    if offsets[-1] == 0:
        return [(0, offsets.shape[0] - 1)] if offsets.shape[0] > 1 else []
    return _runs_at(offsets, np.arange(0, offsets[-1], CHUNK_ROWS))


def _runs_at(offsets: np.ndarray, rows: np.ndarray) -> list[tuple[int, int]]:
    """Runs of whole series, each starting with the series that holds one of
    the given rows."""
    G = offsets.shape[0] - 1
    bounds = np.searchsorted(offsets, rows, side="right") - 1
    edges = [int(v) for v in np.unique(np.clip(bounds, 0, max(G - 1, 0)))] + [G]
    return [(a, b) for a, b in zip(edges[:-1], edges[1:]) if b > a]


def _progress_bar(progress: bool | None, total: int) -> Tqdm[NoReturn] | None:
    if progress is False:
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError:  # pragma: no cover - tqdm is a dependency
        return None
    if progress is None and not sys.stderr.isatty():
        return None
    # Shown only once the run has taken about a second.
    return tqdm(total=total, unit="series", delay=0.0 if progress else 1.0, leave=False)


@dataclass
class _Source:
    """Where the rows of the batch's y and X come from: the input's columns
    (float64, possibly read-only views; x None when X is built already) and
    the row of the input behind each row of the batch (None: the same row).
    The copy is made chunk by chunk inside the worker threads, next to the
    battery that reads it, rather than in one pass on the calling thread."""

    y: np.ndarray
    x: list[np.ndarray] | None
    order: np.ndarray | None
    lead: int  # 1 when X starts with an added constant

    def fill(self, yv: np.ndarray, Xv: np.ndarray, a: int, b: int, at: int | None = None) -> None:
        """Rows a:b of the batch into yv and (unless x is None) Xv, from row
        at of them (default a): one native pass over the rows (column by
        column, NumPy walks the row-major design once per column)."""
        x = self.x
        _batch.gather(
            yv,
            None if x is None else Xv,
            a if at is None else at,
            self.y,
            x or (),
            self.order,
            a,
            b,
            self.lead,
        )

    def design(self, Xv: np.ndarray, rows: int) -> None:
        """The first rows of the design alone (the one every series shares)."""
        _batch.gather(np.empty(rows), Xv, 0, np.zeros(rows), self.x or (), None, 0, rows, self.lead)


def _run_parts(
    parts: list[tuple[int, int]],
    workers: int,
    job: Callable[[int, int], int],
    progress: bool | None,
    G: int,
) -> None:
    """job(lo, hi) over the parts (it returns how many series it did), in
    order on this thread or on a pool of workers, with the progress bar."""
    bar = _progress_bar(progress, G)
    try:
        if workers == 1:
            for lo, hi in parts:
                done = job(lo, hi)
                if bar is not None:
                    bar.update(done)
        else:
            with ThreadPoolExecutor(workers, thread_name_prefix="kalvoren") as pool:
                pending = {pool.submit(job, lo, hi) for lo, hi in parts}
                try:
                    while pending:
                        finished, pending = wait(pending, timeout=0.2, return_when=FIRST_COMPLETED)
                        for fut in finished:
                            n_done = fut.result()
                            if bar is not None:
                                bar.update(n_done)
                except BaseException:
                    # Ctrl-C (or a failure): drop the queued parts; running ones end
                    # within one part's time, and nothing is returned.
                    for fut in pending:
                        fut.cancel()
                    raise
    finally:
        if bar is not None:
            bar.close()


def run_native(
    batch: _engine.Batch,
    workers: int | None,
    progress: bool | None,
    source: _Source | None = None,
) -> tuple[np.ndarray, ...]:
    """The native battery over all series, chunk by chunk on a thread pool
    (each call releases the GIL); results do not depend on the chunking.
    With a source, each chunk's rows are first copied into the batch."""
    G, k = batch.G, batch.X.shape[1]
    out = np.empty((G, _batch.NFIELDS))
    beta, se = np.empty((G, k)), np.empty((G, k))
    # a covariance the battery computes: its matrices and bandwidths too
    native_cov = batch.cov is not None and batch.cov.native is not None
    cov, bw = (np.empty((G, k * k)), np.empty((G, 2))) if native_cov else (None, None)
    parts = _chunks(batch.offsets)
    workers = max(1, min(workers or os.cpu_count() or 1, len(parts) or 1))
    offsets = batch.offsets

    def job(lo: int, hi: int) -> int:
        if source is not None:
            source.fill(batch.y, batch.X, int(offsets[lo]), int(offsets[hi]))
        res = _engine.native(batch.chunk(lo, hi))
        out[lo:hi], beta[lo:hi], se[lo:hi] = res[:3]
        if cov is not None and bw is not None:
            cov[lo:hi], bw[lo:hi] = res[3:]
        return hi - lo

    _run_parts(parts, workers, job, progress, G)
    if cov is not None and bw is not None:
        return out, beta, se, cov, bw
    return out, beta, se


_PER_WORKER = 2
# A block's rows (y and X, float64) at most: each thread's buffers are touched
# afresh by every run (a page fault per 4 KiB) and the battery reads back what
# the gathering wrote, so they are kept about the size of a cache. At 10^5
# groups of 200 rows, k = 3: 8 chunks' worth instead of 32 took 0.9x the time
# on two workers and 0.97x on one.
_BLOCK_BYTES = 16 << 20
# Each thread's gather buffers (y and its own X rows), kept between calls up
# to this size: a Dask worker's threads run partition after partition, and
# fresh buffers cost each call its page faults again (8 partitions of 12,500
# groups: up to 4,800 faults a run). Pool threads take theirs with them on exit.
_KEEP_BYTES = 2 * _BLOCK_BYTES
_SCRATCH = threading.local()


def _blocks(offsets: np.ndarray, workers: int, width: int = 4) -> list[tuple[int, int]]:
    """Runs of series for run_finished: about half of one worker's share
    of the rows, at least 4 chunks' worth, so that finishing a block costs
    no more per series than finishing all at once, and at most _BLOCK_BYTES
    of rows of width values (unless 4 chunks take more)."""
    rows = int(offsets[-1])
    if rows == 0:
        return _chunks(offsets)
    most = max(_BLOCK_BYTES // (8 * width), 4 * CHUNK_ROWS)
    size = min(max(rows // (_PER_WORKER * workers), 4 * CHUNK_ROWS), most)
    # the first block half as long: the workers then finish blocks in turn,
    # each while the other runs the battery, instead of all at once
    starts = np.concatenate([[0], np.arange(size // 2, rows, size)])
    return _runs_at(offsets, starts)


def run_finished(
    batch: _engine.Batch,
    workers: int | None,
    progress: bool | None,
    source: _Source | None,
    limits: _options.Limits,
    alpha: float,
    df: bool = True,
) -> _engine.Results:
    """The battery, its record and the finishing of each block of series in
    the worker threads, block after block: the battery of one block (which
    releases the GIL) runs while another block is finished (which mostly
    holds it), instead of all the finishing after all the batteries. Every
    step is per series, so the results are those of one run over all; each
    block is put in its place as it ends. For the battery's own covariance
    (another one's plan is resolved for the whole batch). df: whether the
    degrees of freedom are kept (the long frame shows them)."""
    wanted = max(1, workers or os.cpu_count() or 1)
    parts = _blocks(batch.offsets, wanted, 1 + batch.X.shape[1])
    workers = min(wanted, len(parts) or 1)
    offsets = batch.offsets
    k, shared = batch.X.shape[1], batch.shared_x
    # Each thread copies its block's rows into buffers of its own, sized for
    # the longest block and kept from block to block and from call to call:
    # the batch's full-size arrays are never written.
    most = max((int(offsets[hi] - offsets[lo]) for lo, hi in parts), default=0)

    def take() -> tuple[np.ndarray, np.ndarray | None]:
        held = getattr(_SCRATCH, "held", None)
        _SCRATCH.held = None  # in use: a call nested on this thread makes its own
        X = None if held is None else held[1]
        fits = shared or (X is not None and X.shape[0] >= most and X.shape[1] == k)
        if held is None or held[0].shape[0] < most or not fits:
            held = (np.empty(most), None if shared else np.empty((most, k)))
        return held

    def job(lo: int, hi: int) -> int:
        sub = batch.chunk(lo, hi)
        held = None
        if source is not None:
            a, b = int(offsets[lo]), int(offsets[hi])
            held = take()
            y, X = held[0][: b - a], held[1]
            X = batch.X if X is None or shared else X[: b - a]
            source.fill(y, X, a, b, 0)
            sub = dataclasses.replace(sub, y=y, X=X)
        lim = _options.Limits(
            np.asarray(limits.too_short)[lo:hi],
            np.asarray(limits.bad_lags)[lo:hi],
            np.asarray(limits.bad_break)[lo:hi],
        )
        try:
            record = _engine.run(sub, _engine.native, lim)
            _missing_notes(sub, record)
            joined.put(lo, _engine.finish(sub, record, alpha).dense())
        finally:
            if held is not None and sum(a.nbytes for a in held if a is not None) <= _KEEP_BYTES:
                _SCRATCH.held = held
        return hi - lo

    joined = _engine.Joined(batch.G, batch.tests, df)
    _run_parts(parts, workers, job, progress, batch.G)
    if joined.results is None:  # pragma: no cover - G > 1 makes a block
        raise RuntimeError("no series were run")
    return joined.results


# ------------------------------------------------------------------ schemas


def _check_shape(shape: Any) -> str:
    if shape not in SHAPES:
        raise _options.OptionError("shape", f"must be 'wide' or 'long', got {shape!r}")
    return cast(str, shape)


def checked(
    shape: Any, cov: tuple[Any, Any] = ("HAC", None), **options: Any
) -> tuple[_options.Options, _robust.CovChoice]:
    """What every many-series entry point checks before any data: the shared
    and the tests' options (break_at a position within each group), the
    result's shape and the covariance (cov_type, cov_options)."""
    opts = _options.resolve(positional_break=True, **options)
    _check_shape(shape)
    return opts, _robust.choice_of(*cov)


# a wide frame's columns of each test, in order
_WIDE_FIELDS = ("statistic", "pvalue", "reject", "status", "route")


def schema(tests: Sequence[str] = _registry.DEFAULT_TESTS, shape: str = "wide") -> dict[str, Any]:
    """The columns of diagnose_many's result (without the group keys) with
    their pandas dtypes, in order. Wide: one row per group, five columns per
    test, then n, condition and note. Long: one row per (group, test)."""
    import pandas as pd

    cols: dict[str, Any] = {}
    route = pd.CategoricalDtype(list(ROUTES))
    if _check_shape(shape) == "long":
        cols["test"] = pd.CategoricalDtype(list(tests))
        for name in ("statistic", "df1", "df2", "pvalue"):
            cols[name] = np.dtype(np.float64)
        cols["reject"] = pd.BooleanDtype()
        cols["status"] = np.dtype(np.int64)
        cols["route"] = route
        cols["note"] = _text_dtype()
        return cols
    kinds = (
        np.dtype(np.float64),
        np.dtype(np.float64),
        pd.BooleanDtype(),
        np.dtype(np.int64),
        route,
    )
    for tid in tests:
        for field, kind in zip(_WIDE_FIELDS, kinds):
            cols[f"{tid}_{field}"] = kind
    cols["n"] = np.dtype(np.int64)
    cols["condition"] = np.dtype(np.float64)
    cols["note"] = _text_dtype()
    return cols


def _text_dtype() -> Any:
    """The dtype the frames' note columns take: pandas' inference for text
    (str from pandas 3, object before). An engine writing the rows (Dask's
    to_parquet) takes its schema from what it was told, not from the rows."""
    import pandas as pd

    return pd.Series(np.array([""], dtype=object)).dtype


def result_columns(tests: Sequence[str] = _registry.DEFAULT_TESTS) -> list[str]:
    """The columns of diagnose_many's result, in order."""
    return list(schema(tests))


# pandas dtype kind -> (pyarrow type name, Spark DDL type); categories and
# text are strings for the engines
_ENGINE_TYPES = {
    "f": ("float64", "double"),
    "i": ("int64", "bigint"),
    "b": ("bool_", "boolean"),
    "O": ("string", "string"),
}


def _kind(dtype: Any) -> str:
    import pandas as pd

    if isinstance(dtype, pd.BooleanDtype):
        return "b"
    if isinstance(dtype, (pd.CategoricalDtype, pd.StringDtype)):
        return "O"
    kind: str = np.dtype(dtype).kind
    return kind


def arrow_schema(
    tests: Sequence[str] = _registry.DEFAULT_TESTS,
    keys: Sequence[tuple[str, Any]] = (),
    shape: str = "wide",
) -> Any:
    """diagnose_many's result as a pyarrow schema: the keys (name, pyarrow
    type) first, then schema(tests, shape) with categories and notes as
    strings."""
    import pyarrow as pa

    fields = [pa.field(name, typ) for name, typ in keys]
    for name, dtype in schema(tests, shape).items():
        fields.append(pa.field(name, getattr(pa, _ENGINE_TYPES[_kind(dtype)][0])()))
    return pa.schema(fields)


def _quote(name: str) -> str:
    return "`" + str(name).replace("`", "``") + "`"


def ddl(
    tests: Sequence[str] = _registry.DEFAULT_TESTS,
    keys: Sequence[tuple[str, str]] = (),
    shape: str = "wide",
) -> str:
    """diagnose_many's result as a Spark DDL string: the keys (name, DDL
    type, e.g. ("store", "string")) first, then the columns of
    schema(tests, shape)."""
    parts = [f"{_quote(name)} {typ}" for name, typ in keys]
    for name, dtype in schema(tests, shape).items():
        parts.append(f"{_quote(name)} {_ENGINE_TYPES[_kind(dtype)][1]}")
    return ", ".join(parts)


# ------------------------------------------------------------------ results


def _wide_result(
    table: _engine.Results, n: np.ndarray, index: Any, tests: Sequence[str]
) -> pd.DataFrame:
    import pandas as pd

    table = table.dense()
    test_ids = table.ids  # the tests of the columns
    chosen = [i for i, t in enumerate(test_ids) if t in tests]
    every = len(chosen) == len(test_ids)

    # one test per row, as pandas keeps a frame's columns: joined results are
    # kept so already (then the frame takes them as they are)
    def by_test(a: np.ndarray) -> np.ndarray:
        return a.T if every and a.T.flags.c_contiguous else np.ascontiguousarray(a[:, chosen].T)

    stat, pvalue, status = by_test(table.stat), by_test(table.pvalue), by_test(table.status)
    reject, unknown = _rejections(pvalue, table.alpha)
    route = np.asarray(by_test(table.least_squares), dtype=bool).view(np.int8)
    T = len(chosen)
    names = [f"{test_ids[i]}_{f}" for i in chosen for f in _WIDE_FIELDS] + [
        "n",
        "condition",
        "note",
    ]
    at = np.arange(T) * len(_WIDE_FIELDS)  # each test's statistic column
    routes = _categories(ROUTES)
    blocks: list[tuple[Any, np.ndarray]] = [
        (stat, at),
        (pvalue, at + 1),
        (status, at + 3),
        (n.astype(np.int64)[None], np.array([len(names) - 3])),
        # (a record's column is a strided view: the frame would keep the record)
        (np.ascontiguousarray(table.conditions())[None], np.array([len(names) - 2])),
    ]
    for j in range(T):
        blocks.append((pd.arrays.BooleanArray(reject[j], unknown[j]), at[j : j + 1] + 2))
        blocks.append((pd.Categorical.from_codes(route[j], dtype=routes), at[j : j + 1] + 4))

    notes = np.full(n.shape[0], "", dtype=object)
    for g in _noted(table, chosen):
        # one line per distinct note, naming the tests it is about
        by_text: dict[str, list[str]] = {}
        for i in chosen:
            text = table.note[g, i]
            if text:
                by_text.setdefault(text, []).append(test_ids[i])
        notes[g] = "; ".join(
            f"{text} (all tests)" if len(ids) == len(chosen) else f"{', '.join(ids)}: {text}"
            for text, ids in by_text.items()
        )
    # the note's type as pandas infers it (str, or object without that option)
    note = pd.Series(notes, copy=False)
    inferred = notes[None] if note.dtype == np.dtype(object) else note.array
    blocks.append((inferred, np.array([len(names) - 1])))
    return _frame(blocks, names, index)


def _noted(table: _engine.Results, chosen: list[int]) -> np.ndarray:
    """The series with a note on one of the chosen tests: the flag the joined
    results keep when every test is chosen, else a look at the notes."""
    if table.noted is not None and len(chosen) == table.note.shape[1]:
        return np.flatnonzero(table.noted)
    return np.flatnonzero((table.note[:, chosen] != "").any(axis=1))


def _rejections(pvalue: np.ndarray, alpha: float) -> tuple[np.ndarray, np.ndarray]:
    """p < alpha, and where there is no p-value: a nullable bool's values and mask."""
    with np.errstate(invalid="ignore"):
        unknown = ~np.isfinite(pvalue)
        return (pvalue < alpha) & ~unknown, unknown


def _frame(blocks: list[tuple[Any, np.ndarray]], names: list[str], index: Any) -> pd.DataFrame:
    """A frame of these blocks (2-D arrays of columns, or extension arrays)
    at these column positions. Without a copy where pandas can: stacking the
    numeric columns into fresh memory was most of the wide frame's time, and
    the one step left after the workers end."""
    import pandas as pd

    make = getattr(getattr(pd.api, "internals", None), "create_dataframe_from_blocks", None)
    if make is not None:
        placed = [(arr, np.asarray(at, dtype=np.intp)) for arr, at in blocks]
        # (pd.Index of a MultiIndex would flatten it into tuples)
        index = index if isinstance(index, pd.Index) else pd.Index(index)
        return cast("pd.DataFrame", make(placed, index=index, columns=pd.Index(names)))
    cols: list[Any] = [None] * len(names)
    for arr, at in blocks:
        for r, c in enumerate(np.asarray(at).tolist()):
            cols[c] = arr[r] if isinstance(arr, np.ndarray) else arr
    return pd.DataFrame(dict(zip(names, cols)), index=index)


_RUN = 4096  # groups


def _long_result(table: _engine.Results, index: Any, tests: Sequence[str]) -> pd.DataFrame:
    """One row per (group, test), groups in the order of index and tests in
    registry order; the keys (the index's levels) as columns. Each field is
    written once into the frame's own blocks (stacking columns into blocks
    afterwards copied every value again: most of the time at 10^6 groups)."""
    import pandas as pd

    table = table.dense()
    chosen = [i for i, t in enumerate(table.ids) if t in tests]
    G, T = len(index), len(chosen)
    N = G * T

    def flat(a: np.ndarray, out: np.ndarray) -> np.ndarray:
        rows = out.reshape(G, T)
        # a test's column of (G, T) results is a row of their memory: written
        # into the rows a cache-sized run at a time
        for lo in range(0, G, _RUN):
            for j, i in enumerate(chosen):
                rows[lo : lo + _RUN, j] = a[lo : lo + _RUN, i]
        return out

    names = ["test", "statistic", "df1", "df2", "pvalue", "reject", "status", "route", "note"]
    floats = np.empty((4, N))
    for r, a in enumerate((table.stat, table.df1, table.df2, table.pvalue)):
        flat(a, floats[r])
    status = flat(table.status, np.empty((1, N), np.int64))
    route = flat(table.least_squares, np.empty(N, np.int8))  # the codes: False, True
    codes = np.tile(np.arange(T, dtype=np.int16), G)
    blocks: list[tuple[Any, np.ndarray]] = [
        (pd.Categorical.from_codes(codes, dtype=_categories(tuple(tests))), np.array([0])),
        (floats, np.arange(1, 5)),
        (pd.arrays.BooleanArray(*_rejections(floats[3], table.alpha)), np.array([5])),
        (status, np.array([6])),
        (pd.Categorical.from_codes(route, dtype=_categories(ROUTES)), np.array([7])),
        (_long_notes(table, chosen, flat), np.array([8])),
    ]
    frame = _frame(blocks, names, pd.RangeIndex(N))
    rep = np.repeat(np.arange(G), T)
    for i, name in enumerate(index.names):
        frame.insert(i, name, index.get_level_values(i)[rep])
    return frame


def _long_notes(table: _engine.Results, chosen: list[int], flat: Callable[..., Any]) -> Any:
    """The long frame's note column as pandas types text (as the wide frame's):
    from pandas 3 an Arrow string array made from the few notes there are
    (pandas' own conversion reads every one of the G x T values, nearly all
    empty), else objects."""
    G, T = table.note.shape[0], len(chosen)
    text = _text_dtype()
    if text == np.dtype(object) or not hasattr(text, "__from_arrow__"):
        return flat(table.note, np.empty(G * T, dtype=object))[None]
    import pyarrow as pa

    at, pieces = [], []
    for g in _noted(table, chosen).tolist():
        for j, i in enumerate(chosen):
            if note := table.note[g, i]:
                at.append(g * T + j)
                pieces.append(note.encode())
    ends = np.zeros(G * T + 1, np.int64)
    ends[np.asarray(at, np.int64) + 1] = [len(b) for b in pieces]
    np.cumsum(ends, out=ends)
    values = pa.LargeStringArray.from_buffers(
        G * T, pa.py_buffer(ends), pa.py_buffer(b"".join(pieces))
    )
    return text.__from_arrow__(values)


@functools.lru_cache(maxsize=64)
def _categories(values: tuple[str, ...]) -> Any:
    """A categorical dtype, made once (one function per group makes many frames)."""
    import pandas as pd

    return pd.CategoricalDtype(list(values))


# ------------------------------------------------------------------- inputs


def _key_list(by: Any) -> list[Any]:
    return list(by) if isinstance(by, (list, tuple)) else [by]


def check_key(key: Any, columns: Any, index_names: Any) -> None:
    """A key names one column or one index level, as pandas' groupby takes it
    (which refuses a name that is both)."""
    try:
        hash(key)
    except TypeError:
        raise TypeError(f"by must name columns or index levels, got {type(key).__name__}") from None
    if key in columns and key in index_names:
        raise ValueError(
            f"by: {key!r} is both an index level and a column label, which is ambiguous "
            "(rename one, or reset the index)"
        )


def _constant(
    cols: list[np.ndarray], names: list[str], add_constant: bool, const_name: str | None
) -> tuple[int, int]:
    """(lead, const_col): lead 1 when a constant column is to be put first.
    A constant among the columns is found over all rows (the engines decide
    it once over all the data and pass its name, "" for none)."""
    if const_name is None:
        found = [j for j, c in enumerate(cols) if _prepare.is_constant(c)]
    else:
        found = [names.index(const_name)] if const_name else []
    lead = 0 if found or not add_constant else 1
    return lead, found[0] if found else (0 if lead else -1)


def _sorted_runs(key: Any) -> tuple[np.ndarray, Any] | None:
    """A numeric or Arrow string key column already in non-decreasing order
    (the usual layout: group after group): the first row of each group and
    the keys, in one comparison pass. None for anything else (it is grouped
    by pandas)."""
    if getattr(key.dtype, "storage", None) == "pyarrow" and key.dtype.kind in "OUT":
        return _sorted_text_runs(key)
    if not isinstance(key.dtype, np.dtype) or key.dtype.kind not in "iuM":
        return None
    values = key.to_numpy()
    n = values.shape[0]
    # Two passes over the rows: where a row differs from the next, and there
    # only, whether it grows (equal neighbours are in order). NaT differs
    # from everything and is never greater, so it fails there too.
    last = np.flatnonzero(values[1:] != values[:-1])  # each run's last row but the final run's
    if not (values[last + 1] > values[last]).all():
        return None
    if values.dtype.kind == "M" and n and np.isnat(values[0]):
        return None  # one run of NaT
    starts = _run_starts(last, n)
    return starts, values[starts]


def _sorted_text_runs(key: Any) -> tuple[np.ndarray, Any] | None:
    # Arrow compares the strings by their bytes, which for UTF-8 is the code
    # points' order, as Python's and pandas' sort; missing keys go to pandas.
    import pyarrow as pa
    import pyarrow.compute as pc

    arr = pa.chunked_array([pa.array(key.array)]) if len(key) else None
    if arr is None or arr.null_count:
        return None
    head, tail = arr[:-1], arr[1:]
    if pc.all(pc.less_equal(head, tail)).as_py() is False:  # None: one row
        return None
    change = pc.not_equal(tail, head).to_numpy(zero_copy_only=False)
    starts = _run_starts(np.flatnonzero(change), len(arr))
    return starts, key.array.take(starts)


def _run_starts(last: np.ndarray, n: int) -> np.ndarray:
    """The first row of each run of n rows, from the rows that differ from the next."""
    return np.concatenate((np.zeros(int(n > 0), dtype=np.int64), last + 1))


def _counted_keys(key: Any) -> tuple[Any, np.ndarray, np.ndarray] | None:
    """An integer key in any order whose values span no more than the rows
    (and a little): its distinct values in order, their offsets and the rows
    in key order, by counting (a pass over the rows and one over the span)
    rather than by hashing and sorting as pandas' grouping does. None for
    anything else."""
    import pandas as pd

    if not isinstance(key.dtype, np.dtype) or key.dtype.kind not in "iu":
        return None
    values = key.to_numpy()
    n = values.shape[0]
    if n == 0:
        return None
    lo, hi = int(values.min()), int(values.max())
    span = hi - lo + 1
    if hi > np.iinfo(np.int64).max or span > n + 65536:
        return None
    uniques, offsets, order = _batch.group_keys(values.astype(np.int64, copy=False), lo, span)
    return pd.Index(uniques.astype(values.dtype, copy=False)), offsets, order


def _long_frame(
    data: Any,
    by: Any,
    y: str,
    x: Sequence[str],
    add_constant: bool,
    const_name: str | None,
    carry: Sequence[str] = (),
) -> tuple[np.ndarray, list[str], pd.Index, int, _Source, pd.DataFrame]:
    """The plan of a long frame: offsets of the groups, the index of the
    keys, the design's column names, the constant's column and where the rows
    come from (nothing is copied here)."""
    import pandas as pd

    keys = _key_list(by)
    for key in keys:
        check_key(key, data.columns, data.index.names)
    if not data.columns.is_unique:
        repeated = set(data.columns[data.columns.duplicated()])
        for name, labels in (("by", keys), ("y", [y]), ("x", x), ("cov_options", carry)):
            twice = [c for c in labels if c in repeated]
            if twice:
                raise ValueError(f"{name}: the frame has several columns labelled {twice[0]!r}")
    for col in [*keys, y, *x, *carry]:
        if col not in data.columns and not (col in keys and col in data.index.names):
            raise ValueError(f"no column {col!r} (columns: {', '.join(map(str, data.columns))})")
    if y in x:
        raise ValueError(f"y ({y!r}) is also among the x columns")
    if len(set(x)) != len(x):
        raise ValueError("duplicate x columns")
    # a key may be a column or a level of the index, as for pandas' groupby
    key = keys[0] if len(keys) == 1 else None
    if key is not None:
        key = data[key] if key in data.columns else data.index.get_level_values(key)
    runs = _sorted_runs(key) if key is not None else None
    counted = _counted_keys(key) if key is not None and runs is None else None
    order = None
    if runs is not None:
        starts, uniques = runs
        offsets = np.append(starts, len(data)).astype(np.int64)
        index = pd.Index(uniques, name=keys[0])
    elif counted is not None:
        index, offsets, order = counted
        index.name = keys[0]
    else:
        grouped = data.groupby(keys, sort=True, observed=True, dropna=False)
        codes = grouped.ngroup().to_numpy()
        # groups already contiguous and in key order need no reordering; the
        # others are put in order by counting their codes (0..G-1), not sorting
        if codes.size and not np.all(codes[1:] >= codes[:-1]):
            _, offsets, order = _batch.group_keys(codes, 0, grouped.ngroups)
        else:
            offsets = np.zeros(grouped.ngroups + 1, dtype=np.int64)
            np.cumsum(np.bincount(codes, minlength=grouped.ngroups), out=offsets[1:])
        keys_index = grouped.size().index
        if isinstance(keys_index, pd.MultiIndex) or len(keys) > 1:
            index = keys_index
        else:
            index = pd.Index(keys_index.get_level_values(0), name=keys[0])
    cols = [_prepare.float_column(data[c].to_numpy(), c, copy=False) for c in [y, *x]]
    names = list(map(str, x))
    lead, const_col = _constant(cols[1:], names, add_constant, const_name)
    source = _Source(cols[0], cols[1:], order, lead)
    # columns the covariance needs (clusters, periods), in the rows' order
    carried = pd.DataFrame(
        {c: (v if order is None else v[order]) for c in carry for v in [data[c].to_numpy()]}
    )
    return (
        offsets,
        ([_prepare.constant_name(names)] if lead else []) + names,
        index,
        const_col,
        source,
        carried,
    )


def _arrays(
    Y: Any, X: Any, add_constant: bool
) -> tuple[np.ndarray, bool, int, list[str], int, _Source]:
    Ya = _prepare.float_column(Y, "Y", copy=False)
    if Ya.ndim != 2:
        raise ValueError(f"Y must have shape (G, n), got {Ya.shape}")
    G, n = Ya.shape
    offsets = np.arange(G + 1, dtype=np.int64) * n
    Xa = np.empty((n, 0)) if X is None else _prepare.float_column(X, "X", copy=False)
    if Xa.ndim == 2 and Xa.shape[0] == n:
        shared = True
    elif Xa.ndim == 3 and Xa.shape[:2] == (G, n):
        shared, Xa = False, Xa.reshape(G * n, Xa.shape[2])
    else:
        raise ValueError(
            f"X must have shape (G, n, k) = ({G}, {n}, k) or (n, k) = ({n}, k), got {Xa.shape}"
        )
    names = [f"x{j + 1}" for j in range(Xa.shape[1])]
    cols = [Xa[:, j] for j in range(Xa.shape[1])]
    lead, const_col = _constant(cols, names, add_constant, None)
    source = _Source(Ya.reshape(G * n), cols, None, lead)
    return (
        offsets,
        shared,
        Xa.shape[0],
        ([_prepare.constant_name(names)] if lead else []) + names,
        const_col,
        source,
    )


def diagnose_many(
    data: Any,
    X: Any = None,
    *,
    by: Any = None,
    y: str | None = None,
    x: Sequence[str] | None = None,
    lags: int = 4,
    break_at: int | None = None,
    hac_lags: int | str | None = None,
    alpha: float = 0.05,
    add_constant: bool = True,
    tests: Sequence[str] | None = None,
    shape: str = "wide",
    workers: int | None = None,
    progress: bool | None = None,
    cov_type: str = "HAC",
    cov_options: dict[str, Any] | None = None,
    _const: str | None = None,
    **test_options: Any,
) -> pd.DataFrame:
    """Run the whole battery on many regressions at once, on every core.

    Two forms:

    - ``diagnose_many(frame, by="store", y="sales", x=["price", "promo"])``:
      a long pandas DataFrame, one regression per group of ``by`` (a column
      name or a list of them), rows in time order within each group.
    - ``diagnose_many(Y, X)``: Y of shape (G, n), one series per row, and X
      of shape (G, n, k), or one design (n, k) shared by every series.

    ``shape="wide"`` (the default) returns a pandas DataFrame with one row per
    group (indexed by the group key, or 0..G-1 for arrays) and, for each test
    id, the columns ``<id>_statistic``, ``<id>_pvalue``, ``<id>_reject``,
    ``<id>_status`` and ``<id>_route``, then ``n``, ``condition`` and ``note``.
    ``shape="long"`` returns one row per (group, test): the key columns (for
    arrays, ``series``), then ``test``, ``statistic``, ``df1``, ``df2``,
    ``pvalue``, ``reject``, ``status``, ``route`` and ``note`` (the note of that
    test alone), groups in key order and tests in registry order.

    Each group's numbers are exactly what ``diagnose`` gives for that group
    with the same options (bit for bit, whatever the number of workers). A
    group that cannot be tested (too short, constant, collinear, missing
    values) is a row with its status and note; it never stops the other
    groups. Rows whose key is missing (NaN, None, NaT) are a group of their
    own, the last (pandas' ``dropna=False``): no row is left out unseen.
    Whether an x column is the constant is decided once, over all rows: a
    column constant within each group but not across them (a store's own
    attribute) is collinear with the constant added to each group, which
    then takes the least-squares route without it (the same fit as
    ``diagnose``'s, equal to rounding, with a note).

    lags, hac_lags, alpha, add_constant, tests: as for ``diagnose``, checked
    the same way; a group the options do not fit (too short for k, lags or
    the break out of its range) gets the status ``diagnose`` would refuse it
    with, and a note, on the tests the option concerns (every test when the
    group is too short for k); its other tests run, where ``diagnose`` raises
    for the whole group. break_at: the
    Chow break as a 0-based position within each group (default: each group's
    middle). workers: threads (default: every core). progress: a progress bar
    on a terminal for runs longer than about a second; True always, False
    never. Ctrl-C stops the run promptly and returns nothing. cov_type,
    cov_options: the covariance behind ``hac_wald``, as for ``diagnose``;
    "cluster" and "driscoll-kraay" take their groups, time and entity as
    columns of the DataFrame (each group clustered within itself) and need
    the DataFrame form. Caveats (as ``diagnose`` warns of them) are in the
    note column and emit one ``KalvorenWarning`` per kind per call, counting
    the groups.
    """
    import pandas as pd

    opts, cov = checked(
        shape,
        (cov_type, cov_options),
        lags=lags,
        break_at=break_at,
        hac_lags=hac_lags,
        alpha=alpha,
        add_constant=add_constant,
        tests=tests,
        **test_options,
    )
    carried = None
    if isinstance(data, pd.DataFrame):
        if by is None or y is None or x is None:
            raise TypeError("a DataFrame needs by=, y= and x=")
        carry = _robust.column_names(cov)
        if len(carry) != len(cov.groups) + (cov.time is not None) + (cov.entity is not None):
            raise NotImplementedError(
                f"cov_type={cov.cov_type!r} in diagnose_many takes column names of the "
                "DataFrame for groups, time and entity"
            )
        offsets, names, index, const_col, source, carried = _long_frame(
            data, by, y, list(x), opts.add_constant, _const, carry
        )
        shared = False
    else:
        if cov.cov_type in ("cluster", "driscoll-kraay"):
            raise NotImplementedError(
                f"cov_type={cov.cov_type!r} in diagnose_many needs the DataFrame form "
                "(by=, y=, x=) with its cluster or time columns"
            )
        offsets, shared, x_rows, names, const_col, source = _arrays(data, X, opts.add_constant)
        index = pd.RangeIndex(offsets.shape[0] - 1, name=SERIES if shape == "long" else None)
    rows, k = int(offsets[-1]), len(names)
    yv = np.empty(rows)
    if shared:
        # one small design for every series, built here; the chunks copy only y
        Xv = np.empty((x_rows, k))
        source.design(Xv, x_rows)
        source = _Source(source.y, None, None, 0)
    else:
        Xv = np.empty((rows, k))
    n = np.diff(offsets)
    t_break = (n // 2 if opts.break_at is None else np.full(n.shape, opts.break_at)).astype(
        np.int64
    )
    llsw = opts.hac_lags == "llsw"
    fixed, other = _robust.battery_lags(cov, None if opts.hac_lags == "llsw" else opts.hac_lags)
    hl = _engine.hac_rule(n) if fixed is None else np.full(n.shape, fixed, dtype=np.int64)
    if llsw:
        hl = np.asarray(_fixedb.llsw_lags(n), dtype=np.int64)
    plan = None
    if other:
        choice = _robust.counted_in_lags(cov)
        plan = _robust.CovPlan(choice, _robust.resolve(cov, rows, None, carried, offsets))
    batch = _engine.Batch(
        yv,
        Xv,
        offsets,
        shared,
        const_col,
        opts.lags,
        t_break,
        np.minimum(hl, np.maximum(n - 1, 0)),  # as diagnose: at most n - 1 lags
        opts.tests,
        names,
        opts.extra,
        plan,
    )
    lim = _options.limits(n, k, opts, t_break)
    if batch.cov is None and batch.G > 1:
        # block by block, on one worker too: the batch's full-size arrays are
        # never written (their first touch costs a page fault per 4 KiB)
        table = run_finished(batch, workers, progress, source, lim, opts.alpha, shape == "long")
    else:
        record = _engine.run(batch, lambda b: run_native(b, workers, progress, source), lim)
        _missing_notes(batch, record)
        table = _engine.finish(batch, record, opts.alpha)
    # caveats in the notes as diagnose has them, and warned about once per kind
    caveats = _caveats.find(opts.tests, table, n, None if opts.hac_lags is None else hl)
    _caveats.add_notes(table, caveats)
    _caveats.warn_summary(caveats, batch.G, 2)
    if shape == "long":
        return _long_result(table, index, opts.tests)
    return _wide_result(table, n, index, opts.tests)


def _missing_notes(batch: _engine.Batch, raw: _engine.Record) -> None:
    """Name the column of the first non-finite value of each group the battery
    refused as non-finite (only those groups are scanned)."""
    fit = raw.out[:, _engine.FIELD["fit_status"]]
    names = ["y", *(batch.names or [])]
    for g in np.flatnonzero(fit == -1003):
        yg, Xg = batch.series(int(g))
        bad = np.argwhere(~np.isfinite(np.column_stack([yg, Xg])))
        if bad.size:
            r, c = int(bad[0, 0]), int(bad[0, 1])
            _engine.own(raw.notes, g)["input"] = (
                f"missing or non-finite value in {names[c]!r} at row {r} of the group"
            )


# ------------------------------------------------- one function per group


class GroupFunction:
    """The battery as a pure function ``pandas.DataFrame -> pandas.DataFrame``
    for engines that group the data themselves; see :func:`group_function`.
    It holds only checked options, so it pickles to any worker."""

    def __init__(
        self,
        by: Any,
        y: str,
        x: Sequence[str],
        *,
        shape: str = "long",
        order: str | None = None,
        constant: str | bool | None = None,
        lags: int = 4,
        break_at: int | None = None,
        hac_lags: int | str | None = None,
        alpha: float = 0.05,
        add_constant: bool = True,
        tests: Sequence[str] | None = None,
        cov_type: str = "HAC",
        cov_options: dict[str, Any] | None = None,
        **test_options: Any,
    ) -> None:
        opts, cov = checked(  # the covariance is checked here, once
            shape,
            (cov_type, cov_options),
            lags=lags,
            break_at=break_at,
            hac_lags=hac_lags,
            alpha=alpha,
            add_constant=add_constant,
            tests=tests,
            **test_options,
        )
        self.keys = _key_list(by)
        self.y, self.x = y, list(x)
        # the covariance's clusters, time and entity named as columns
        self._carry = [c for c in _robust.column_names(cov) if c not in (*self.keys, y, *x)]
        self.shape = shape
        self.order = order
        if y in self.x:
            raise ValueError(f"y ({y!r}) is also among the x columns")
        if constant is True or (isinstance(constant, str) and constant not in self.x):
            raise ValueError(
                f"constant must be one of the x columns, False or None, got {constant!r}"
            )
        # None: decided on the rows of each call; "": none of the x columns
        self._const = "" if constant is False else constant
        self.tests = opts.tests
        # one argument, the frame: what Spark reads to call f(pdf), not f(key, pdf)
        self.__signature__ = inspect.Signature(
            [inspect.Parameter("pdf", inspect.Parameter.POSITIONAL_OR_KEYWORD)]
        )
        self._options = dict(
            lags=opts.lags,
            break_at=opts.break_at,
            hac_lags=opts.hac_lags,
            alpha=opts.alpha,
            add_constant=opts.add_constant,
            tests=opts.tests,
            cov_type=cov_type,
            cov_options=cov_options,
            **opts.extra,
        )

    @property
    def columns(self) -> list[str]:
        """The input columns the function reads."""
        order = [self.order] if self.order else []
        return list(dict.fromkeys([*self.keys, self.y, *self.x, *self._carry, *order]))

    def __call__(self, pdf: Any) -> Any:
        """The results of the groups in pdf (usually one group): the key
        columns, then the columns of ``schema(tests, shape)``."""
        res = self.run(pdf)
        return res.reset_index() if self.shape == "wide" else res

    def run(self, pdf: Any) -> Any:
        """As calling it, the wide rows indexed by the keys."""
        missing = [k for k in self.keys if k not in pdf.columns and k not in pdf.index.names]
        if missing:
            # pandas' groupby.apply leaves the keys out and names the group instead
            name = pdf.__dict__.get("name")
            if name is None:
                raise ValueError(f"no column {missing[0]!r} (columns: {', '.join(pdf.columns)})")
            values = name if isinstance(name, tuple) and len(name) == len(self.keys) else (name,)
            pdf = pdf.assign(**{k: v for k, v in zip(self.keys, values) if k in missing})
        keys = self.keys
        by = keys[0] if len(keys) == 1 else keys
        if len(pdf) == 0:
            empty = self.meta(pdf)
            return empty.set_index(by) if self.shape == "wide" else empty
        if self.order is not None and not pdf[self.order].is_monotonic_increasing:
            # (a shuffle that kept the rows' order leaves nothing to sort)
            pdf = pdf.sort_values(self.order, kind="stable")
        return diagnose_many(
            pdf,
            by=by,
            y=self.y,
            x=self.x,
            shape=self.shape,
            workers=1,
            progress=False,
            _const=self._const,
            **self._options,
        )

    def meta(self, frame: Any) -> Any:
        """An empty result with the dtypes of the rows to come, the keys typed
        as in frame (a pandas or Dask DataFrame): Dask's ``meta=``."""
        import pandas as pd

        def dtype(k: str) -> Any:
            if k in frame.columns:
                return frame[k].dtype
            index = frame.index
            return index.dtype if index.name == k else index.get_level_values(k).dtype

        cols = {k: pd.Series([], dtype=dtype(k)) for k in self.keys}
        for name, kind in schema(self.tests, self.shape).items():
            cols[name] = pd.Series([], dtype=kind)
        return pd.DataFrame(cols)

    def arrow_schema(self, inputs: Any) -> Any:
        """The result as a pyarrow schema, the keys typed as in the input's
        pyarrow schema."""
        return arrow_schema(self.tests, [(k, inputs.field(k).type) for k in self.keys], self.shape)

    def ddl(self, key_types: dict[str, str]) -> str:
        """The result as a Spark DDL string (``applyInPandas(f, schema=...)``,
        ``mapInArrow(..., schema=...)``), given the keys' DDL types, e.g.
        ``{"store": "string"}``."""
        return ddl(self.tests, [(k, key_types[k]) for k in self.keys], self.shape)

    def arrow(self, batches: Iterable[Any]) -> Iterator[Any]:
        """pyarrow RecordBatches in, RecordBatches of results out, for
        ``mapInArrow``: the batches are one partition, which must hold whole
        groups (repartition by the keys first); the rows of a group may
        arrive in any order if ``order`` names a column to sort them by."""
        import pyarrow as pa

        batches = list(batches)
        if not batches:
            return
        table = pa.Table.from_batches(batches)
        out_schema = self.arrow_schema(table.schema)
        pdf = table.select(self.columns).to_pandas()
        for k in self.keys:
            col = table.column(k)
            if pa.types.is_integer(col.type) and col.null_count:
                # as pandas' nullable integers: float64 would merge keys beyond 2**53
                pdf[k] = col.to_pandas(types_mapper=_nullable_int)
        res = self(pdf)
        # categories and nullable booleans as the schema's plain types
        res = res.astype({c: str for c in res.columns if hasattr(res[c], "cat")})
        yield from pa.Table.from_pandas(res, schema=out_schema, preserve_index=False).to_batches()


def _nullable_int(t: Any) -> Any:
    """pandas' nullable integer dtype of a pyarrow integer type."""
    import pandas as pd

    return pd.api.types.pandas_dtype(
        ("UInt" if str(t).startswith("u") else "Int") + str(t.bit_width)
    )


def group_function(
    *,
    by: Any,
    y: str,
    x: Sequence[str],
    shape: str = "long",
    order: str | None = None,
    constant: str | bool | None = None,
    **options: Any,
) -> GroupFunction:
    """The battery as one pure function ``pandas.DataFrame -> pandas.DataFrame``
    per group, for engines that group the data themselves::

        f = Kalvoren.group_function(by="store", y="sales", x=["price", "promo"])
        sdf.groupBy("store").applyInPandas(f, schema=f.ddl({"store": "string"}))  # Spark
        ddf.groupby("store").apply(f, meta=f.meta(ddf))                            # Dask
        ds.groupby("store").map_groups(f, batch_format="pandas")                  # Ray
        sdf.repartition("store").mapInArrow(f.arrow, schema=...)                  # Arrow

    The function takes a frame with the columns ``by`` (one name or a list),
    ``y``, ``x`` (and ``order``) holding one group or several whole groups,
    and returns their results: the key columns, then for ``shape="long"``
    (the default: a fixed schema whatever the tests) one row per (group,
    test), for ``shape="wide"`` one row per group, with the columns of
    ``diagnose_many``. ``order``: a column to sort each group's rows by
    (time); without it the rows are taken in the order given. ``constant``:
    the x column that is the model's constant, False for none, None (the
    default) to find it in each call's rows as ``diagnose`` does; pass the
    answer over all the data to match ``diagnose_many`` on a group whose
    regressor happens to be constant. The options are those of
    ``diagnose_many``, checked here, once.
    """
    return GroupFunction(by, y, x, shape=shape, order=order, constant=constant, **options)
