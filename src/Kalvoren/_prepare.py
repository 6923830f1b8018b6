"""Turning what users pass (arrays, lists, pandas objects, fitted OLS results)
into one float64 response, one float64 design and the names that go with them.

Every user mistake is a ValueError or TypeError that names the argument or the
column, raised before any computation.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass
from typing import Any, Sequence

import numpy as np

from Kalvoren._ckernels.diag import _batch

CONST_NAME = "const"


@dataclass
class Model:
    """A validated regression: y (n), X (n, k) with at most one constant."""

    y: np.ndarray
    X: np.ndarray
    y_name: str
    x_names: list[str]
    const_col: int  # -1 when the model has no constant
    index: Any  # the data's pandas index, or None
    added_constant: bool

    @property
    def n(self) -> int:
        return int(self.y.shape[0])

    @property
    def k(self) -> int:
        return int(self.X.shape[1])


def constant_name(names: Any) -> str:
    """The added constant's name: "const", or with "_" before it until no
    column has it (params are indexed by name, options name columns)."""
    name = CONST_NAME
    while name in names:
        name = "_" + name
    return name


def _is_pandas(obj: Any) -> bool:
    """A pandas Series or DataFrame (an Index or an array is taken as values)."""
    return type(obj).__module__.split(".")[0] == "pandas" and hasattr(obj, "index")


def float_column(values: Any, name: str, copy: bool = True) -> np.ndarray:
    """float64 values of a column (a view when copy is False and one exists);
    non-numeric data names the column."""
    values = _real(values, f"column {name!r}")
    try:
        return np.array(values, dtype=np.float64, copy=True if copy else None)
    except (TypeError, ValueError):
        raise ValueError(f"column {name!r} is not numeric") from None


def _real(values: Any, what: str) -> Any:
    """The values, their masked ones missing (NaN); refused where NumPy would
    turn them into floats by dropping a part (complex numbers) or by choosing
    a unit (dates and durations as counts)."""
    _refuse_kind(getattr(values, "dtype", None), what)
    if isinstance(values, np.ma.MaskedArray):
        return np.ma.asarray(values, dtype=np.float64).filled(np.nan)
    return values


def _refuse_kind(dtype: Any, what: str) -> None:
    kind = getattr(dtype, "kind", "")
    if kind and kind in "cmM":
        raise ValueError(f"{what} is not numeric ({dtype})")


def _response(y: Any) -> tuple[np.ndarray, str, Any]:
    name, index = "y", None
    if _is_pandas(y):
        if getattr(y, "ndim", 1) == 2:
            if y.shape[1] != 1:
                raise ValueError(f"y must be one column, got a frame with {y.shape[1]} columns")
            y = y.iloc[:, 0]
        if y.name is not None:
            name = str(y.name)
        index = y.index
        if y.dtype == object:  # None or pd.NA among the values: missing, found below
            y = y.where(y.notna(), np.nan)
        values = float_column(y.to_numpy(), name)
    else:
        values = float_column(y, name)
    values = np.squeeze(values) if values.ndim == 2 and 1 in values.shape else values
    if values.ndim != 1:
        raise ValueError(f"y must be one-dimensional, got shape {values.shape}")
    return values, name, index


def _design(X: Any, n: int) -> tuple[np.ndarray, list[str], Any]:
    index = None
    if X is None:
        return np.empty((n, 0)), [], None
    if _is_pandas(X):
        index = X.index
        if X.ndim == 1:
            X = X.to_frame(name=X.name if X.name is not None else "x1")
        names = [str(c) for c in X.columns]
        for dtype, name in zip(X.dtypes, names):
            _refuse_kind(dtype, f"column {name!r}")
        try:  # a view of a float frame's block: copied once, into the design
            values = X.to_numpy(dtype=np.float64)
        except (TypeError, ValueError):
            try:  # missing values in object or nullable columns: NaN, found below
                return X.where(X.notna(), np.nan).to_numpy(dtype=np.float64), names, index
            except (TypeError, ValueError):
                pass
            for j in range(X.shape[1]):
                float_column(X.iloc[:, j].to_numpy(), names[j])
            raise
    else:
        X = _real(X, "X")
        try:
            values = np.asarray(X, dtype=np.float64)
        except (TypeError, ValueError):
            raise ValueError("X is not numeric") from None
        if values.ndim == 1:
            values = values[:, None]
        if values.ndim != 2:
            raise ValueError(f"X must be two-dimensional, got shape {values.shape}")
        names = [f"x{j + 1}" for j in range(values.shape[1])]
    return values, names, index


def _check_finite(a: np.ndarray, names: Sequence[str], index: Any) -> None:
    bad = ~np.isfinite(a)
    if not bad.any():
        return
    row, col = np.argwhere(bad)[0] if a.ndim == 2 else (np.flatnonzero(bad)[0], 0)
    label = f" (index {index[row]!r})" if index is not None else ""
    value = a[row, col] if a.ndim == 2 else a[row]
    raise ValueError(
        f"column {names[col]!r} has a missing or non-finite value ({value}) at row {row}{label}"
    )


def is_constant(col: np.ndarray) -> bool:
    """One non-zero value throughout (a few rows screen most columns out)."""
    n = col.shape[0]
    if n == 0 or col[0] == 0.0 or col[n - 1] != col[0] or col[n // 2] != col[0]:
        return False
    return bool((col == col[0]).all())


def constant_columns(X: np.ndarray) -> np.ndarray:
    """Indices of the columns that hold one non-zero value throughout."""
    return np.array([j for j in range(X.shape[1]) if is_constant(X[:, j])], dtype=np.intp)


def _refuse_weighted(model: Any) -> None:
    """Only an OLS fit is diagnosed: the battery's statistics are those of the
    unweighted residuals, which a WLS or GLS fit does not minimise."""
    kind = type(model).__name__
    is_statsmodels = type(model).__module__.split(".")[0] == "statsmodels"
    weights = getattr(model, "weights", None)
    weighted = weights is not None and not np.all(np.asarray(weights, dtype=float) == 1.0)
    if (is_statsmodels and kind != "OLS") or weighted or getattr(model, "sigma", None) is not None:
        hint = (
            "; to diagnose its whitened regression pass "
            "Kalvoren.diagnose(model.wendog, model.wexog, add_constant=False)"
            if hasattr(model, "wendog") and hasattr(model, "wexog")
            else ""
        )
        raise TypeError(
            f"a fitted {kind} result is not an OLS fit: its residuals are not the ones "
            f"the tests are built for{hint}"
        )


def from_fitted(fitted: Any) -> tuple[Any, Any]:
    """(endog, exog) of a fitted OLS results object, as pandas objects when the
    model was fitted on pandas data (names and index carried along); the
    design exactly as fitted. A weighted or GLS fit is refused (TypeError)."""
    model = fitted.model
    _refuse_weighted(model)
    kind = type(getattr(fitted, "_results", fitted)).__name__
    if "Regularized" in kind:
        raise TypeError(
            f"a fitted {kind} result (a penalised fit) is not an OLS fit: its coefficients "
            "and residuals are not the ones the tests are built for; pass its data "
            "(y, X) to diagnose the OLS fit"
        )
    endog, exog = model.endog, model.exog
    data = getattr(model, "data", None)
    y_name = getattr(model, "endog_names", None)
    x_names = getattr(model, "exog_names", None)
    labels = getattr(data, "row_labels", None) if data is not None else None
    import pandas as pd

    idx = labels
    dropped = getattr(data, "missing_row_idx", None)
    if labels is None and dropped is not None and len(dropped):
        # NumPy data fitted with missing="drop": the rows kept, by their
        # numbers in the data the user has, not renumbered from 0
        idx = np.delete(np.arange(len(endog) + len(dropped)), np.asarray(dropped, dtype=np.intp))
    y = pd.Series(np.asarray(endog), index=idx, name=y_name if isinstance(y_name, str) else "y")
    exog = np.asarray(exog)
    if exog.ndim == 1:
        exog = exog[:, None]
    cols = list(x_names) if x_names is not None else None
    X = pd.DataFrame(exog, index=idx, columns=cols)
    return y, X


def is_fitted(obj: Any) -> bool:
    """A fitted results object (``.model.endog`` and ``.model.exog``)."""
    model = getattr(obj, "model", None)
    return model is not None and hasattr(model, "endog") and hasattr(model, "exog")


def _align(y: Any, X: Any) -> Any:
    """X's rows in y's order when both carry a pandas index (as statsmodels
    pairs observations: by label, not by position). Raises ValueError naming
    the mismatch when the labels do not pair off one to one."""
    yi, xi = y.index, X.index
    if yi.equals(xi):
        return X
    if len(yi) != len(xi):
        raise ValueError(
            f"y has {len(yi)} observations but X has {len(xi)} rows: "
            "their indexes cannot be aligned"
        )
    if not (yi.is_unique and xi.is_unique):
        raise ValueError(
            "y and X have different indexes with repeated labels: they cannot be aligned "
            "(reset both indexes, or give them the same one)"
        )
    only_y, only_x = yi.difference(xi, sort=False), xi.difference(yi, sort=False)
    if len(only_y) or len(only_x):
        raise ValueError(
            f"y and X have different index labels: {len(only_y)} of y's are not in X's index "
            f"(the first: {only_y[0]!r}; X's first unmatched: {only_x[0]!r}); align them, "
            "or pass NumPy arrays to pair rows by position"
        )
    return X.loc[yi]


_F64 = np.dtype(np.float64)


def _plain(y: Any, X: Any) -> bool:
    """float64 NumPy arrays of the usual shapes: the common case, which needs
    none of the conversions."""
    return (
        type(y) is np.ndarray
        and type(X) is np.ndarray
        and y.dtype is _F64  # native float64 (others take the general path)
        and X.dtype is _F64
        and y.ndim == 1
        and X.ndim == 2
        and 0 < X.shape[0] == y.shape[0] > 1
    )


def prepare(y: Any, X: Any = None, *, add_constant: bool = True) -> Model:
    """Validate and convert the user's data into a Model. A fitted results
    object is taken with its design exactly as fitted: a constant only if it
    has one, whatever add_constant says."""
    if _plain(y, X):
        return _prepare_plain(y, X, add_constant)
    if X is not None and is_fitted(y):
        raise TypeError("X must be None when y is a fitted results object (it has its design)")
    if X is None and is_fitted(y):
        y, X = from_fitted(y)
        add_constant = False
    elif X is not None and _is_pandas(y) and _is_pandas(X):
        X = _align(y, X)
    yv, y_name, y_index = _response(y)
    n = yv.shape[0]
    Xv, x_names, x_index = _design(X, n)
    if Xv.shape[0] != n:
        raise ValueError(f"y has {n} observations but X has {Xv.shape[0]} rows")
    if len(set(x_names)) != len(x_names):
        dup = sorted({c for c in x_names if x_names.count(c) > 1})
        raise ValueError(f"duplicate X columns: {', '.join(map(repr, dup))}")
    if y_name in x_names and y_name != "y":
        raise ValueError(f"y ({y_name!r}) is also among the X columns")
    index = y_index if y_index is not None else x_index
    return _model(yv, Xv, y_name, x_names, index, add_constant)


def handed_over(
    y: np.ndarray,
    Z: np.ndarray,
    y_name: str,
    x_names: list[str],
    index: Any,
    add_constant: bool = True,
) -> Model:
    """A Model over arrays the caller gives away (the command line's long
    series): y (n) and Z (n, k + 1), whose columns 1..k are the regressors
    and column 0 room for the constant, so that adding it copies nothing.
    The checks are prepare's; names and shapes are the caller's to check."""
    if not (y.flags.writeable and y.flags.c_contiguous and y.dtype == _F64):
        y = np.array(y, dtype=np.float64)  # a frame's read-only column: the battery scales y
    return _model(y, Z[:, 1:], y_name, x_names, index, add_constant, room=Z)


def _model(
    yv: np.ndarray,
    Xv: np.ndarray,
    y_name: str,
    x_names: list[str],
    index: Any,
    add_constant: bool,
    room: np.ndarray | None = None,
) -> Model:
    """The data's checks and the design with its constant; room: Xv's own
    array with a spare first column, used for the constant when one is added."""
    n = yv.shape[0]
    if not (np.isfinite(yv).all() and np.isfinite(Xv).all()):
        _check_finite(yv, [y_name], index)
        _check_finite(Xv, x_names, index)
    if n:
        y0 = yv[0]
        for j, v in enumerate(Xv[0].tolist()):
            if v == y0 and np.array_equal(Xv[:, j], yv):
                raise ValueError(f"y is also among the X columns (column {x_names[j]!r} equals y)")
    # one row makes every column look constant: none is taken for the constant
    consts = constant_columns(Xv) if n > 1 else np.empty(0, dtype=np.intp)
    added = False
    if consts.size:
        const_col = int(consts[0])
        Xv = np.array(Xv, dtype=np.float64, order="C", copy=True)
    elif add_constant:
        if room is None:
            Z = np.empty((n, Xv.shape[1] + 1))
            Z[:, 1:] = Xv
        else:
            Z = room
        Z[:, 0] = 1.0
        Xv = Z
        x_names = [constant_name(x_names), *x_names]
        const_col, added = 0, True
    else:
        const_col = -1
        Xv = np.array(Xv, dtype=np.float64, order="C", copy=True)
    return Model(yv, Xv, y_name, x_names, const_col, index, added)


_total = np.add.reduce  # ndarray.sum without its Python wrapper


@functools.lru_cache(maxsize=64)
def _names(k: int) -> tuple[str, ...]:
    return tuple(f"x{j + 1}" for j in range(k))


def _prepare_plain(y: np.ndarray, X: np.ndarray, add_constant: bool) -> Model:
    """prepare() for float64 arrays (y of n > 1 values, X of n rows): the same
    checks and the same Model as the general path, in one native pass (a
    problem found there goes to the checks below, which name it)."""
    try:
        status, const_col, yv, Z = _batch.design(y, X, add_constant)
    except ValueError:  # a read-only array (the native frame writes only to its own)
        status = -1
    if status != 0 or yv is None or Z is None:
        return _prepare_checked(y, X, add_constant)
    return plain_model(yv, Z, X.shape[1], const_col)


def plain_model(yv: np.ndarray, Z: np.ndarray, k: int, const_col: int) -> Model:
    """The Model of the native design's arrays for X of k columns: Z is X
    after a column of ones when it has one more."""
    names = _names(k)
    if Z.shape[1] == k:
        return Model(yv, Z, "y", list(names), const_col, None, False)
    return Model(yv, Z, "y", [CONST_NAME, *names], 0, None, True)


def _prepare_checked(y: np.ndarray, X: np.ndarray, add_constant: bool) -> Model:
    n, k = X.shape
    x_names = [f"x{j + 1}" for j in range(k)]
    # a sum is finite only when every value is (NaN and inf propagate); an
    # overflow sends the data to the exact check, which then finds nothing
    if not (math.isfinite(_total(y)) and math.isfinite(_total(X, None))):
        _check_finite(y, ["y"], None)
        _check_finite(X, x_names, None)
    y0 = y[0]
    for j, v in enumerate(X[0].tolist()):
        if v == y0 and np.array_equal(X[:, j], y):
            raise ValueError(f"y is also among the X columns (column {x_names[j]!r} equals y)")
    yv = y.copy()
    const_col = -1
    for j in range(k):
        if is_constant(X[:, j]):
            const_col = j
            break
    if const_col >= 0 or not add_constant:
        return Model(yv, np.array(X, order="C", copy=True), "y", x_names, const_col, None, False)
    Z = np.empty((n, k + 1))
    Z[:, 0] = 1.0
    Z[:, 1:] = X
    return Model(yv, Z, "y", [CONST_NAME, *x_names], 0, None, True)
