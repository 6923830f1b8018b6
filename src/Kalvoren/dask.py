"""The battery over many series on a Dask cluster (``pip install 'Kalvoren[dask]'``).

``Kalvoren.dask.diagnose_many(ddf, by="store", y="sales", x=["price"])`` takes
a dask DataFrame in long form and returns a dask DataFrame with one row per
group, the same columns as :func:`Kalvoren.diagnose_many`. It runs unchanged
on a ``distributed.Client``: the data are shuffled so that every group sits
whole in one partition, each partition runs the in-process battery, and the
rows of a group keep their original order.
"""

from __future__ import annotations

from typing import Any, Sequence

import numpy as np

from Kalvoren import _many, _options, _robust

_ORDER = "__kalvoren_row_order"


def _number_rows(pdf: Any, partition_info: Any = None) -> Any:
    # A global row order that survives the shuffle: partition number, then position.
    part = partition_info["number"] if partition_info else 0
    order = np.arange(len(pdf), dtype=np.int64) + (np.int64(part) << np.int64(40))
    return pdf.assign(**{_ORDER: order})


def _run_partition(pdf: Any, by: str, y: str, x: list[str], opts: dict, meta: Any) -> Any:
    if len(pdf) == 0:
        return meta
    pdf = pdf.sort_values([by, _ORDER], kind="stable")
    return _many.diagnose_many(pdf, by=by, y=y, x=x, workers=1, progress=False, **opts)


def _meta(key_dtype: Any, by: str, tests: tuple[str, ...]) -> Any:
    import pandas as pd

    cols = {name: pd.Series([], dtype=dtype) for name, dtype in _many.schema(tests).items()}
    return pd.DataFrame(cols, index=pd.Index([], dtype=key_dtype, name=by))


def diagnose_many(
    ddf: Any,
    *,
    by: str,
    y: str,
    x: Sequence[str],
    lags: int = 4,
    break_at: int | None = None,
    hac_lags: int | None = None,
    alpha: float = 0.05,
    add_constant: bool = True,
    tests: Sequence[str] | None = None,
    cov_type: str = "HAC",
    cov_options: dict | None = None,
    **test_options: Any,
) -> Any:
    """The battery for every group of a dask DataFrame; see
    :func:`Kalvoren.diagnose_many` for the options and the result's columns.

    ``by`` is one column (combine several keys into one first). The result is
    lazy: call ``.compute()``. Its rows equal ``Kalvoren.diagnose_many`` on the
    same data computed in one process (row order may differ: sort the index).
    Whether one of the x columns is a constant is decided once, over the whole
    data, as the in-process run does.
    """
    if not isinstance(by, str):
        raise TypeError("by must be one column name (combine several keys into one column)")
    # the same checks as in process, before anything is computed
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
    cov = _robust.choice_of(cov_type, cov_options)
    carry = _robust.column_names(cov)
    if len(carry) != len(cov.groups) + (cov.time is not None) + (cov.entity is not None):
        raise NotImplementedError(
            f"cov_type={cov.cov_type!r} on Dask takes column names for groups, time and entity"
        )
    x = list(x)
    for col in [by, y, *x, *carry]:
        if col not in ddf.columns:
            raise ValueError(f"no column {col!r} (columns: {', '.join(map(str, ddf.columns))})")
    if y in x:
        raise ValueError(f"y ({y!r}) is also among the x columns")
    frame = ddf[list(dict.fromkeys([by, y, *x, *carry]))]
    # The in-process run looks for a constant column over all rows, not per
    # partition: decide it here, once, by the same rule (one non-zero value,
    # no missing one).
    const = ""
    if x:
        import dask

        lo, hi, na = dask.compute(frame[x].min(), frame[x].max(), frame[x].isna().sum())
        found = [c for c in x if lo[c] == hi[c] and lo[c] != 0 and na[c] == 0]
        const = found[0] if found else ""
    opts = dict(
        lags=opts.lags,
        break_at=opts.break_at,
        hac_lags=opts.hac_lags,
        alpha=opts.alpha,
        add_constant=opts.add_constant,
        tests=opts.tests,
        cov_type=cov_type,
        cov_options=cov_options,
        _const=const,
        **opts.extra,
    )
    meta = _meta(ddf._meta[by].dtype, by, opts["tests"])
    numbered = frame.map_partitions(_number_rows, meta=frame._meta.assign(**{_ORDER: np.int64(0)}))
    shuffled = numbered.shuffle(on=by)
    return shuffled.map_partitions(_run_partition, by, y, x, opts, meta, meta=meta)


__all__ = ["diagnose_many"]
