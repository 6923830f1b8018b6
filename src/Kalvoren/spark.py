"""The battery over many series on Spark (``pip install 'Kalvoren[spark]'``).

``Kalvoren.spark.diagnose_many(sdf, by="store", y="sales", x=["price"])``
takes a Spark DataFrame in long form and returns a Spark DataFrame with one
row per group: the key columns, then the columns of
:func:`Kalvoren.diagnose_many` (``shape="long"``: one row per group and
test). Spark groups the rows (``groupBy(...).applyInPandas``) and each group
runs the in-process battery, so every row equals the in-process result bit
for bit. The result's schema, for other uses of :func:`Kalvoren.group_function`
with ``applyInPandas`` or ``mapInArrow``, is :func:`schema_ddl` (a DDL
string) or :func:`arrow_schema` (pyarrow).
"""

from __future__ import annotations

from typing import Any, Sequence

from Kalvoren import _many, _options, _robust

_ORDER = "__kalvoren_row_order"


def schema_ddl(
    tests: Sequence[str] | None = None,
    keys: Sequence[tuple[str, str]] = (),
    shape: str = "wide",
) -> str:
    """The result's Spark DDL string: the keys as (name, DDL type) pairs,
    then the columns of ``Kalvoren.diagnose_many(..., tests=tests,
    shape=shape)`` (tests None: those run by default)."""
    return _many.ddl(_options.tests_of(tests), keys, shape)


def arrow_schema(
    tests: Sequence[str] | None = None,
    keys: Sequence[tuple[str, Any]] = (),
    shape: str = "wide",
) -> Any:
    """The result's pyarrow schema: the keys as (name, pyarrow type) pairs,
    then the columns of ``Kalvoren.diagnose_many(..., tests=tests,
    shape=shape)``."""
    return _many.arrow_schema(_options.tests_of(tests), keys, shape)


class _Plain:
    """The group function with categories as plain strings, the types the
    DDL schema declares."""

    def __init__(self, f: _many.GroupFunction):
        self.f = f

    def __call__(self, pdf: Any) -> Any:
        res = self.f(pdf)
        return res.astype({c: object for c in res.columns if hasattr(res[c], "cat")})


def _constant(sdf: Any, x: list[str]) -> str:
    """The x column that holds one non-zero value in every row, over all the
    data, as the in-process run finds it ("" for none): one aggregation."""
    from pyspark.sql import functions as F

    if not x:
        return ""
    aggs = []
    for c in x:
        col = F.col(f"`{c}`").cast("double")
        aggs += [F.min(col), F.max(col), F.count(F.when(col.isNull() | F.isnan(col), 1))]
    row = sdf.agg(*aggs).first()
    for j, c in enumerate(x):
        lo, hi, na = row[3 * j], row[3 * j + 1], row[3 * j + 2]
        if na == 0 and lo is not None and lo == hi and lo != 0:
            return c
    return ""


def diagnose_many(
    sdf: Any,
    *,
    by: Any,
    y: str,
    x: Sequence[str],
    order: str | None = None,
    shape: str = "wide",
    per: str = "group",
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
    """The battery for every group of a Spark DataFrame; see
    :func:`Kalvoren.diagnose_many` for the options and the result's columns.

    ``by``: one column or a list. ``order``: a column giving the time order
    of each group's rows; without it, the order of the rows in ``sdf`` (Spark
    keeps no row order through a shuffle, so it is recorded first with
    ``monotonically_increasing_id``). The result is a lazy Spark DataFrame:
    the key columns, then those of the in-process frame; its rows equal
    ``Kalvoren.diagnose_many`` on the same data in one process. Whether one
    of the x columns is a constant is decided once over the whole data (one
    aggregation when this is called), as the in-process run does.
    ``cov_type``, ``cov_options``: as for :func:`Kalvoren.diagnose_many`, with
    the clusters, time and entity named as columns.

    ``per="group"`` (the default) runs ``groupBy(by).applyInPandas``: one
    Python call per group, about a millisecond each besides Spark's own cost
    per group. ``per="partition"`` runs ``repartition(by).mapInArrow``: the
    same single shuffle, then one call per partition over all its groups at
    the in-process battery's speed (each partition's rows are held in memory
    at once, as in a group's ``applyInPandas`` call). The rows are the same.
    """
    from pyspark.sql import functions as F
    from pyspark.sql.types import BooleanType, DoubleType, FloatType, NumericType

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
    if per not in ("group", "partition"):
        raise _options.OptionError("per", f"must be 'group' or 'partition', got {per!r}")
    carry = _robust.column_names(cov)
    if len(carry) != len(cov.groups) + (cov.time is not None) + (cov.entity is not None):
        raise NotImplementedError(
            f"cov_type={cov.cov_type!r} on Spark takes column names for groups, time and entity"
        )
    keys, x = _many._key_list(by), list(x)
    fields = {f.name: f for f in sdf.schema.fields}
    for col in [*keys, y, *x, *carry, *([order] if order else [])]:
        if col not in fields:
            raise ValueError(f"no column {col!r} (columns: {', '.join(fields)})")
    for col in [y, *x]:
        if not isinstance(fields[col].dataType, (NumericType, BooleanType)):
            raise ValueError(
                f"column {col!r} is not numeric ({fields[col].dataType.simpleString()})"
            )
    if y in x:
        raise ValueError(f"y ({y!r}) is also among the x columns")
    if len(set(x)) != len(x):
        raise ValueError("duplicate x columns")
    f = _many.GroupFunction(
        keys,
        y,
        x,
        shape=shape,
        order=order or _ORDER,
        constant=_constant(sdf, x) or False,
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
    frame = sdf.select(*[F.col(f"`{c}`") for c in f.columns if c != _ORDER])
    for k in keys:
        # NaN is a missing key, as null is (pandas groups them as one); Spark
        # would group them apart
        if isinstance(fields[k].dataType, (FloatType, DoubleType)):
            key = F.col(f"`{k}`")
            frame = frame.withColumn(k, F.when(F.isnan(key), F.lit(None)).otherwise(key))
    if order is None:
        frame = frame.withColumn(_ORDER, F.monotonically_increasing_id())
    ddl = f.ddl({k: fields[k].dataType.simpleString() for k in keys})
    cols = [F.col(f"`{k}`") for k in keys]
    if per == "partition":
        return frame.repartition(*cols).mapInArrow(f.arrow, schema=ddl)
    return frame.groupBy(*cols).applyInPandas(f, schema=ddl)


__all__ = ["arrow_schema", "diagnose_many", "schema_ddl"]
