"""The battery over many series: a long pandas DataFrame grouped by a key, or
arrays of series, on every core."""

from __future__ import annotations

import os
import sys
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait
from typing import Any, Sequence

import numpy as np

from Kalvoren import _caveats, _engine, _options, _prepare, _registry, _robust
from Kalvoren._ckernels.diag import _batch

# Series per native call: small enough that Ctrl-C and the progress bar
# respond within a fraction of a second, large enough that a call's fixed
# cost is noise.
CHUNK_ROWS = 1 << 16
ROUTES = ("kernel", "least-squares")


def _chunks(offsets: np.ndarray) -> list[tuple[int, int]]:
    """Split G series into runs of about CHUNK_ROWS rows."""
    G = offsets.shape[0] - 1
    bounds = np.searchsorted(offsets, np.arange(0, offsets[-1], CHUNK_ROWS), side="right") - 1
    starts = np.unique(np.clip(bounds, 0, max(G - 1, 0)))
    edges = [int(s) for s in starts] + [G]
    return [(a, b) for a, b in zip(edges[:-1], edges[1:]) if b > a]


def _progress_bar(progress: bool | None, total: int):
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


def run_native(batch: _engine.Batch, workers: int | None, progress: bool | None):
    """The native battery over all series, chunk by chunk on a thread pool
    (each call releases the GIL); results do not depend on the chunking."""
    G, k = batch.G, batch.X.shape[1]
    out = np.empty((G, _batch.NFIELDS))
    beta, se = np.empty((G, k)), np.empty((G, k))
    parts = _chunks(batch.offsets)
    workers = max(1, min(workers or os.cpu_count() or 1, len(parts) or 1))
    bar = _progress_bar(progress, G)

    def job(lo: int, hi: int) -> int:
        o, b, s = _engine.native(batch.chunk(lo, hi))
        out[lo:hi], beta[lo:hi], se[lo:hi] = o, b, s
        return hi - lo

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
                    # Ctrl-C (or a failure): drop the queued chunks; running ones end
                    # within one chunk's time, and nothing is returned.
                    for fut in pending:
                        fut.cancel()
                    raise
    finally:
        if bar is not None:
            bar.close()
    return out, beta, se


def schema(tests: Sequence[str] = _registry.DEFAULT_TESTS) -> dict[str, Any]:
    """The columns of diagnose_many's result with their dtypes, in order."""
    import pandas as pd

    cols: dict[str, Any] = {}
    for tid in tests:
        cols[f"{tid}_statistic"] = np.dtype(np.float64)
        cols[f"{tid}_pvalue"] = np.dtype(np.float64)
        cols[f"{tid}_reject"] = pd.BooleanDtype()
        cols[f"{tid}_status"] = np.dtype(np.int64)
        cols[f"{tid}_route"] = pd.CategoricalDtype(list(ROUTES))
    cols["n"] = np.dtype(np.int64)
    cols["condition"] = np.dtype(np.float64)
    cols["note"] = np.dtype(object)
    return cols


def result_columns(tests: Sequence[str] = _registry.DEFAULT_TESTS) -> list[str]:
    """The columns of diagnose_many's result, in order."""
    return list(schema(tests))


def _frame_result(table: _engine.Results, n: np.ndarray, index: Any, tests: Sequence[str]):
    import pandas as pd

    cols: dict[str, Any] = {}
    table = table.dense()
    reject = table.reject()
    for i, tid in enumerate(_registry.TEST_IDS):
        if tid not in tests:
            continue
        cols[f"{tid}_statistic"] = table.stat[:, i]
        cols[f"{tid}_pvalue"] = table.pvalue[:, i]
        cols[f"{tid}_reject"] = pd.array(reject[:, i] == 1.0, dtype="boolean")
        cols[f"{tid}_reject"][np.isnan(reject[:, i])] = pd.NA
        cols[f"{tid}_status"] = table.status[:, i]
        cols[f"{tid}_route"] = pd.Categorical.from_codes(
            table.least_squares[:, i].astype(np.int8), categories=list(ROUTES)
        )
    cols["n"] = n.astype(np.int64)
    cols["condition"] = table.record.out[:, _engine.FIELD["cond"]]
    notes = np.full(n.shape[0], "", dtype=object)
    chosen = [i for i, t in enumerate(_registry.TEST_IDS) if t in tests]
    for g in np.flatnonzero((table.note[:, chosen] != "").any(axis=1)):
        # one line per distinct note, naming the tests it is about
        by_text: dict[str, list[str]] = {}
        for i in chosen:
            text = table.note[g, i]
            if text:
                by_text.setdefault(text, []).append(_registry.TEST_IDS[i])
        notes[g] = "; ".join(
            f"{text} (all tests)" if len(ids) == len(chosen) else f"{', '.join(ids)}: {text}"
            for text, ids in by_text.items()
        )
    cols["note"] = notes
    return pd.DataFrame(cols, index=index)


def _design(
    rows: int,
    cols: list[np.ndarray],
    names: list[str],
    take: Any,
    add_constant: bool,
    const_name: str | None,
) -> tuple[np.ndarray, list[str], int]:
    """The design in one allocation: a constant column first when one is to be
    added. A constant among the columns is found over all rows (the Dask path
    decides it once for all partitions and passes its name, "" for none)."""
    if const_name is None:
        found = [j for j, c in enumerate(cols) if _prepare.is_constant(c)]
    else:
        found = [names.index(const_name)] if const_name else []
    lead = 0 if found or not add_constant else 1
    X = np.empty((rows, lead + len(cols)))
    if lead:
        X[:, 0] = 1.0
    for j, c in enumerate(cols):
        X[:, lead + j] = take(c)
    const_col = found[0] if found else (0 if lead else -1)
    return X, (["const"] if lead else []) + names, const_col


def _long_frame(
    data: Any,
    by: Any,
    y: str,
    x: Sequence[str],
    add_constant: bool,
    const_name: str | None,
    carry: Sequence[str] = (),
):
    import pandas as pd

    keys = [by] if isinstance(by, str) or not isinstance(by, (list, tuple)) else list(by)
    for col in [*keys, y, *x, *carry]:
        if col not in data.columns:
            raise ValueError(f"no column {col!r} (columns: {', '.join(map(str, data.columns))})")
    if y in x:
        raise ValueError(f"y ({y!r}) is also among the x columns")
    if len(set(x)) != len(x):
        raise ValueError("duplicate x columns")
    grouped = data.groupby(keys, sort=True, observed=True, dropna=False)
    codes = grouped.ngroup().to_numpy()
    counts = np.bincount(codes, minlength=grouped.ngroups)
    offsets = np.zeros(counts.shape[0] + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    # groups already contiguous and in key order need no reordering
    if codes.size and not np.all(codes[1:] >= codes[:-1]):
        order = np.argsort(codes, kind="stable")
        take = lambda a: a[order]  # noqa: E731
    else:
        take = lambda a: a  # noqa: E731
    yv = np.array(
        take(_prepare.float_column(data[y].to_numpy(), y, copy=False)), dtype=np.float64, copy=True
    )
    names = list(map(str, x))
    Xv, names, const_col = _design(
        yv.shape[0],
        [_prepare.float_column(data[c].to_numpy(), c, copy=False) for c in x],
        names,
        take,
        add_constant,
        const_name,
    )
    keys_index = grouped.size().index
    if isinstance(keys_index, pd.MultiIndex) or len(keys) > 1:
        index = keys_index
    else:
        index = pd.Index(keys_index.get_level_values(0), name=keys[0])
    # columns the covariance needs (clusters, periods), in the rows' new order
    carried = pd.DataFrame({c: take(data[c].to_numpy()) for c in carry})
    return yv, Xv, offsets, names, index, const_col, carried


def _arrays(Y: Any, X: Any, add_constant: bool):
    Yv = np.array(Y, dtype=np.float64, copy=True)
    if Yv.ndim != 2:
        raise ValueError(f"Y must have shape (G, n), got {Yv.shape}")
    G, n = Yv.shape
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
    Xv, names, const_col = _design(
        Xa.shape[0], [Xa[:, j] for j in range(Xa.shape[1])], names, lambda a: a, add_constant, None
    )
    return Yv.reshape(-1), Xv, offsets, shared, names, const_col


def diagnose_many(
    data: Any,
    X: Any = None,
    *,
    by: Any = None,
    y: str | None = None,
    x: Sequence[str] | None = None,
    lags: int = 4,
    break_at: int | None = None,
    hac_lags: int | None = None,
    alpha: float = 0.05,
    add_constant: bool = True,
    tests: Sequence[str] | None = None,
    workers: int | None = None,
    progress: bool | None = None,
    cov_type: str = "HAC",
    cov_options: dict | None = None,
    _const: str | None = None,
    **test_options: Any,
):
    """Run the whole battery on many regressions at once, on every core.

    Two forms:

    - ``diagnose_many(frame, by="store", y="sales", x=["price", "promo"])``:
      a long pandas DataFrame, one regression per group of ``by`` (a column
      name or a list of them), rows in time order within each group.
    - ``diagnose_many(Y, X)``: Y of shape (G, n), one series per row, and X
      of shape (G, n, k), or one design (n, k) shared by every series.

    Returns a pandas DataFrame with one row per group (indexed by the group
    key, or 0..G-1 for arrays) and, for each test id, the columns
    ``<id>_statistic``, ``<id>_pvalue``, ``<id>_reject``, ``<id>_status`` and
    ``<id>_route``, then ``n``, ``condition`` and ``note``. Each row is exactly what
    ``diagnose`` gives for that group with the same options (bit for bit,
    whatever the number of workers). A group that cannot be tested (too
    short, constant, collinear, missing values) is a row with its status and
    note; it never stops the other groups.

    lags, hac_lags, alpha, add_constant, tests: as for ``diagnose``, checked
    the same way; a group the options do not fit (too short for k, lags or
    the break out of its range) gets the status ``diagnose`` would refuse it
    with, and a note. break_at: the
    Chow break as a 0-based position within each group (default: each group's
    middle). workers: threads (default: every core). progress: a progress bar
    on a terminal for runs longer than about a second; True always, False
    never. Ctrl-C stops the run promptly and returns nothing. cov_type,
    cov_options: the covariance behind ``hac_wald``, as for ``diagnose``;
    "cluster" and "driscoll-kraay" take their groups, time and entity as
    columns of the DataFrame (each group clustered within itself) and need
    the DataFrame form.
    Caveats (as ``diagnose`` warns of them) are in the note column and emit
    one ``KalvorenWarning`` per kind per call, counting the groups.
    """
    import pandas as pd

    cov = _robust.choice_of(cov_type, cov_options)

    opts = _options.resolve(
        lags=lags,
        break_at=break_at,
        hac_lags=hac_lags,
        alpha=alpha,
        add_constant=add_constant,
        tests=tests,
        positional_break=True,
        **test_options,
    )
    if isinstance(data, pd.DataFrame):
        if by is None or y is None or x is None:
            raise TypeError("a DataFrame needs by=, y= and x=")
        carry = _robust.column_names(cov)
        if len(carry) != len(cov.groups) + (cov.time is not None) + (cov.entity is not None):
            raise NotImplementedError(
                f"cov_type={cov.cov_type!r} in diagnose_many takes column names of the "
                "DataFrame for groups, time and entity"
            )
        yv, Xv, offsets, names, index, const_col, carried = _long_frame(
            data, by, y, list(x), opts.add_constant, _const, carry
        )
        shared = False
    else:
        if cov.cov_type in ("cluster", "driscoll-kraay"):
            raise NotImplementedError(
                f"cov_type={cov.cov_type!r} in diagnose_many needs the DataFrame form "
                "(by=, y=, x=) with its cluster or time columns"
            )
        yv, Xv, offsets, shared, names, const_col = _arrays(data, X, opts.add_constant)
        index = pd.RangeIndex(offsets.shape[0] - 1)
        carried = None
    n = np.diff(offsets)
    t_break = (n // 2 if opts.break_at is None else np.full(n.shape, opts.break_at)).astype(
        np.int64
    )
    lags, other = _robust.battery_lags(cov, opts.hac_lags)
    hl = _engine.hac_rule(n) if lags is None else np.full(n.shape, lags, dtype=np.int64)
    plan = None
    if other:
        groups = _robust.resolve(cov, yv.shape[0], None, carried, offsets)
        plan = _robust.CovPlan(cov, groups)
    batch = _engine.Batch(
        yv,
        Xv,
        offsets,
        shared,
        const_col,
        opts.lags,
        t_break,
        hl,
        opts.tests,
        names,
        opts.extra,
        plan,
    )
    lim = _options.limits(n, Xv.shape[1], opts, t_break)
    record = _engine.run(batch, lambda b: run_native(b, workers, progress), lim)
    _missing_notes(batch, record)
    table = _engine.finish(batch, record, opts.alpha)
    # caveats in the notes as diagnose has them, and warned about once per kind
    caveats = _caveats.find(opts.tests, table, n, None if opts.hac_lags is None else hl)
    _caveats.add_notes(table, caveats)
    _caveats.warn_summary(caveats, batch.G, 2)
    return _frame_result(table, n, index, opts.tests)


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
            raw.notes[g]["input"] = (
                f"missing or non-finite value in {names[c]!r} at row {r} of the group"
            )
