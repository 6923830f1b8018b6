"""The battery over many series on a Dask cluster (``pip install 'Kalvoren[dask]'``).

``Kalvoren.dask.diagnose_many(ddf, by="store", y="sales", x=["price"])`` takes
a dask DataFrame in long form and returns a dask DataFrame with one row per
group, the same columns as :func:`Kalvoren.diagnose_many`. It runs unchanged
on a ``distributed.Client``. Each partition runs the in-process battery on
the groups it holds whole; the data are shuffled first (once) only when the
partitions may split a group: not when ``by`` is the index with known
divisions (checked, as below), nor when the caller says the partitions hold whole groups
(``partitioned=True``, checked on the key column before anything runs). A
key already sorted across the partitions (a sorted file read in pieces)
moves only the groups cut at the partitions' edges.
"""

from __future__ import annotations

from typing import Any, Sequence

import numpy as np

from Kalvoren import _many, _options, _prepare, _robust

_ORDER = "__kalvoren_row_order"


def _number_rows(pdf: Any, partition_info: Any = None) -> Any:
    # A global row order that survives the shuffle: partition number, then position.
    part = partition_info["number"] if partition_info else 0
    order = np.arange(len(pdf), dtype=np.int64) + (np.int64(part) << np.int64(40))
    return pdf.assign(**{_ORDER: order})


def _run_partition(pdf: Any, f: _many.GroupFunction) -> Any:
    return f.run(pdf)  # the key a column or the index; wide rows indexed by it


# partitions up to which the shuffle is done as tasks (P^2 pieces)
_TASKS_UP_TO = 32


def _survey(pdf: Any, x: Sequence[str], key: str | None, mode: str) -> dict[str, Any]:
    """One partition at a glance, as a row of the survey: each x column's
    value if it holds one non-zero value throughout (NaN if not, None without
    rows), and its key (the column ``key``, or the index when None): the
    distinct keys (mode "keys"), or first, last, rows and whether it never
    decreases and has no missing value (mode "order")."""
    import pandas as pd

    row: dict[str, Any] = {}
    for j, c in enumerate(x):
        row[f"one{j}"] = _one_value(pdf[c])
    # the index as it is (a Series of it would copy it twice)
    k = pdf.index if key is None else pdf[key]
    if mode == "keys":
        k = pd.Series(k) if key is None else k
        runs = _many._sorted_runs(k)  # data written by key: one comparison pass
        first = k.iloc[runs[0]] if runs is not None else k.drop_duplicates()
        # integers as an array (compared across partitions in one pass), the
        # rest listed by pandas (NumPy lists nanosecond datetimes as integers)
        kind = first.dtype.kind if isinstance(first.dtype, np.dtype) else ""
        row["keys"] = first.to_numpy() if kind in "iu" else first.tolist()
    elif mode == "order":
        # A categorical is sorted by its categories' order, which its values'
        # order need not follow: partitions' edges could not be compared.
        categorical = isinstance(k.dtype, pd.CategoricalDtype)
        row["ok"] = not categorical and bool(k.is_monotonic_increasing) and not k.isna().any()
        at = k if key is None else k.iloc  # positions
        row["first"], row["last"] = (at[0], at[-1]) if len(k) else (None, None)
        row["n"] = len(k)
    return row


def _one_value(col: Any) -> Any:
    """The column's one non-zero value as float64 (what the in-process run
    compares: 2**53 + 1 is 2**53 there), NaN if it has another or none, None
    without rows. A few rows screen most columns out."""
    if len(col) == 0:
        return None
    try:
        a = col.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError):  # not numbers: the run itself refuses them
        return np.nan
    return float(a[0]) if _prepare.is_constant(a) else np.nan


def _survey_columns(nx: int, mode: str) -> list[str]:
    cols = [f"one{j}" for j in range(nx)]
    return cols + {"keys": ["keys"], "order": ["ok", "first", "last", "n"]}.get(mode, [])


def _constant(survey: Any, x: Sequence[str]) -> str:
    """The first x column that holds one non-zero value in every row, as the
    in-process run decides it (over all rows), or ""."""
    for j, c in enumerate(x):
        seen = [v for v in survey[f"one{j}"] if v is not None]  # partitions with rows
        if seen and all(v == seen[0] for v in seen):  # NaN equals nothing
            return c
    return ""


def _sorted(stats: Any) -> bool:
    """Every partition sorted by the key, and the partitions in key order."""
    stats = stats[stats["n"] > 0]
    if not stats["ok"].all():
        return False
    first, last = list(stats["first"]), list(stats["last"])
    try:
        return all(a <= b for a, b in zip(last[:-1], first[1:]))
    except TypeError:  # keys of mixed types
        return False


def _rows_of(pdf: Any, key: str, lo: Any, hi: Any, lo_in: bool, hi_in: bool) -> Any:
    """The rows of a partition sorted by key whose key lies between lo and hi
    (None: no bound; lo_in, hi_in: the bound itself included): a slice."""
    k = pdf[key]
    a = 0 if lo is None else int(k.searchsorted(lo, "left" if lo_in else "right"))
    b = len(k) if hi is None else int(k.searchsorted(hi, "right" if hi_in else "left"))
    return pdf.iloc[a : max(a, b)]


def _joined(*pieces: Any) -> Any:
    import pandas as pd

    return pd.concat(pieces)


def _whole_groups(frame: Any, by: str, survey: Any) -> Any:
    """A frame sorted by the key column ``by`` across its partitions, as
    partitions that hold whole groups: each partition without the groups
    cut at its edges (a slice of it), and each cut group as a partition of
    its own, put together from its pieces. Nothing else moves or is copied."""
    import dask
    import dask.dataframe as dd

    parts = frame.to_delayed()
    rows = zip(parts, survey["first"], survey["last"], survey["n"])
    kept = [(part, first, last) for part, first, last, n in rows if n > 0]
    if not kept:  # no rows at all
        return frame
    out: list[Any] = []
    piece = dask.delayed(_rows_of, pure=True)
    for i, (part, first, last) in enumerate(kept):
        cut_before = i > 0 and kept[i - 1][2] == first
        cut_after = i + 1 < len(kept) and kept[i + 1][1] == last
        if not (cut_before or cut_after):
            out.append(part)
        elif first != last:  # the rows between the cut groups
            lo, hi = (first if cut_before else None), (last if cut_after else None)
            out.append(piece(part, by, lo, hi, False, False))
        # a cut group that starts here: its rows here and in the next partitions
        # (after this one's other rows, so the partitions stay in key order)
        if cut_after and not (cut_before and first == last):
            pieces = [piece(part, by, last, last, True, True)]
            for nxt, first2, _ in kept[i + 1 :]:
                if first2 != last:
                    break
                pieces.append(piece(nxt, by, last, last, True, True))
            out.append(dask.delayed(_joined, pure=True)(*pieces))
    return dd.from_delayed(out, meta=frame._meta, verify_meta=False)


def _split_groups(parts: Sequence[Any]) -> list[Any]:
    """Keys found in more than one partition, from each partition's distinct
    keys (an integer array or a list); a missing key is one group, None or NaN."""
    import pandas as pd

    if all(isinstance(p, np.ndarray) for p in parts) and len({p.dtype for p in parts}) == 1:
        keys = pd.Series(np.concatenate(parts) if parts else np.empty(0, np.int64))
    else:
        keys = pd.Series([k for p in parts for k in p], dtype=object)
        keys = keys.mask(keys.isna(), np.nan)
    return keys[keys.duplicated()].drop_duplicates()[:3].tolist()


def _divisions_hold(survey: Any, divisions: Sequence[Any]) -> bool:
    """Whether each partition's first and last key lie within its divisions
    (the last partition's upper one included), as Dask's .loc reads them."""
    try:
        for i, (first, last, n) in enumerate(zip(survey["first"], survey["last"], survey["n"])):
            if n == 0:
                continue
            hi_ok = last <= divisions[i + 1] if i + 2 == len(divisions) else last < divisions[i + 1]
            if not (divisions[i] <= first and hi_ok):
                return False
    except TypeError:  # keys that do not compare with the divisions
        return False
    return True


def diagnose_many(
    ddf: Any,
    *,
    by: str,
    y: str,
    x: Sequence[str],
    partitioned: bool = False,
    shape: str = "wide",
    lags: int = 4,
    break_at: int | None = None,
    hac_lags: int | None = None,
    alpha: float = 0.05,
    add_constant: bool = True,
    tests: Sequence[str] | None = None,
    cov_type: str = "HAC",
    cov_options: dict[str, Any] | None = None,
    **test_options: Any,
) -> Any:
    """The battery for every group of a dask DataFrame; see
    :func:`Kalvoren.diagnose_many` for the options and the result's columns
    (``shape="long"``: one row per group and test).

    ``by`` is one column, or the index's name (combine several keys into one
    column first). Rows are in time order within each group. When ``by`` is
    the index and its divisions are known (``set_index``, sorted
    ``read_parquet``), every group lies in one partition and nothing is
    shuffled (the one pass checks it: files that share a key at their edges
    can claim divisions their rows do not keep, and then only the groups cut
    at the edges move); ``partitioned=True`` says the same of a column (data written
    partitioned by the key): one pass over the key column checks it, and a
    group found in two partitions raises ValueError. A key sorted across the
    partitions already moves only the groups cut at their edges. Otherwise
    the rows are shuffled once by ``by``, keeping each group's order.

    The result is lazy: call ``.compute()``. Its rows equal
    ``Kalvoren.diagnose_many`` on the same data computed in one process (row
    order may differ: sort the index). Whether one of the x columns is a
    constant is decided once, over the whole data, as the in-process run
    does (when this is called: a few rows of each partition's x columns tell
    most of them apart, the rest are read whole).
    """
    import dask
    import pandas as pd

    if not isinstance(by, str):
        raise TypeError("by must be one column name (combine several keys into one column)")
    if not isinstance(partitioned, (bool, np.bool_)):
        raise _options.OptionTypeError("partitioned", f"must be True or False, got {partitioned!r}")
    # the same checks as in process, before anything is computed
    opts, cov = _many.checked(
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
    carry = _robust.column_names(cov)
    if len(carry) != len(cov.groups) + (cov.time is not None) + (cov.entity is not None):
        raise NotImplementedError(
            f"cov_type={cov.cov_type!r} on Dask takes column names for groups, time and entity"
        )
    x = list(x)
    _many.check_key(by, ddf.columns, [ddf.index.name])
    from_index = by not in ddf.columns and ddf.index.name == by
    for col in [*([] if from_index else [by]), y, *x, *carry]:
        if col not in ddf.columns:
            raise ValueError(f"no column {col!r} (columns: {', '.join(map(str, ddf.columns))})")
    if y in x:
        raise ValueError(f"y ({y!r}) is also among the x columns")
    if len(set(x)) != len(x):
        raise ValueError("duplicate x columns")
    # Known divisions on the key are checked too, as a sorted key is: a file
    # layout can claim them while a key's rows sit in two partitions.
    indexed = ddf.index.name == by and ddf.known_divisions
    whole = keep_divisions = False
    cols = list(dict.fromkeys([y, *x, *carry]))
    frame = ddf[cols] if from_index else ddf[list(dict.fromkeys([by, *cols]))]
    # The in-process run looks for a constant column over all rows, not per
    # partition: decide it here, once, by the same rule (one non-zero value,
    # no missing one; a column that varies within a partition is out). The
    # check of partitioned=True, or whether the key is sorted already, shares
    # the pass: one small task per partition.
    mode = "keys" if partitioned else "order"
    # (as plain rows: a frame per partition, checked against a meta and
    # concatenated, costs more than the pass itself)
    survey_of = dask.delayed(_survey, pure=True)
    rows = dask.compute(
        *[survey_of(p, x, None if from_index else by, mode) for p in frame.to_delayed()]
    )
    survey = pd.DataFrame(list(rows), columns=_survey_columns(len(x), mode), dtype=object)
    const = _constant(survey, x)
    if mode == "keys":
        split = _split_groups(list(survey["keys"]))
        if split:
            raise ValueError(
                f"partitioned=True, but groups of {by!r} span partitions "
                f"(for example {', '.join(map(repr, split))}): leave partitioned=False "
                "to shuffle them together"
            )
    elif mode == "order" and _sorted(survey):
        kept = survey[survey["n"] > 0]
        apart = all(a < b for a, b in zip(list(kept["last"])[:-1], list(kept["first"])[1:]))
        if from_index and apart:
            whole = True  # every group in one partition: nothing moves
            keep_divisions = indexed and _divisions_hold(survey, ddf.divisions)
        else:
            # Sorted by the key already (a sorted file read in pieces): only
            # the groups cut at partition edges are put together; the rest stays.
            frame = _whole_groups(frame.reset_index() if from_index else frame, by, survey)
            whole, from_index = True, False
    shuffle = not (whole or partitioned)
    f = _many.GroupFunction(
        by,
        y,
        x,
        shape=shape,
        order=_ORDER if shuffle else None,
        constant=const or False,
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
    meta = f.meta(ddf._meta)
    if shape == "wide":
        meta = meta.set_index(by)
    if shuffle:
        if from_index:
            frame = frame.reset_index()
        numbered = frame.map_partitions(
            _number_rows, meta=frame._meta.assign(**{_ORDER: np.int64(0)})
        )
        # In memory, few partitions shuffle faster as tasks than through p2p's
        # disk; a method the caller configured wins.
        method = dask.config.get("dataframe.shuffle.method", None)
        if method is None and frame.npartitions <= _TASKS_UP_TO:
            method = "tasks"
        frame = numbered.shuffle(on=by, shuffle_method=method)
    # The wide rows are indexed by the key: they keep the input's divisions
    # when those are on the key and hold; the long ones are numbered within
    # each partition and claim none.
    keep = shape == "wide" and whole and from_index and keep_divisions
    return frame.map_partitions(_run_partition, f, meta=meta, clear_divisions=not keep)


__all__ = ["diagnose_many"]
