"""Type stubs for the batch residual-battery module."""

from types import ModuleType
from typing import Any, Sequence, SupportsInt

import numpy as _np
from numpy.typing import ArrayLike, NDArray

_F64Array = NDArray[_np.float64]

np: ModuleType
NFIELDS: int
FIELDS: tuple[str, ...]
BG: int
BP: int
CHOW: int
CUSUM: int
CUSUMSQ: int
LB: int
JB: int
HAC: int
WHITE: int
RESET: int
GQ: int
HC: int
RAINBOW: int
DW: int
ALL: int
CHECKS: int
COND_MAX: float
__test__: dict[Any, Any]

def battery(
    y: ArrayLike,
    X: ArrayLike,
    offsets: ArrayLike,
    const_col: SupportsInt,
    lags: SupportsInt,
    t_break: ArrayLike,
    hac_lags: ArrayLike,
    tests: SupportsInt,
    shared_x: SupportsInt,
) -> tuple[_F64Array, _F64Array, _F64Array]: ...
def battery_checks(
    y: ArrayLike,
    X: ArrayLike,
    offsets: ArrayLike,
    const_col: SupportsInt,
    lags: SupportsInt,
    t_break: ArrayLike,
    hac_lags: ArrayLike,
    tests: SupportsInt,
    shared_x: SupportsInt,
    options: ArrayLike,
    choice: ArrayLike,
) -> tuple[_F64Array, ...]: ...
def gather(
    y_out: _F64Array,
    X_out: _F64Array | None,
    at: SupportsInt,
    y: ArrayLike,
    cols: Sequence[ArrayLike],
    order: NDArray[_np.int64] | None,
    a: SupportsInt,
    b: SupportsInt,
    lead: SupportsInt,
) -> None: ...
def group_keys(
    keys: ArrayLike, lo: SupportsInt, span: SupportsInt
) -> tuple[NDArray[_np.int64], NDArray[_np.int64], NDArray[_np.int64]]: ...
def battery_one(
    y: ArrayLike,
    X: ArrayLike,
    add_constant: SupportsInt,
    lags: SupportsInt,
    t_break: SupportsInt,
    hac_lags: SupportsInt,
    tests: SupportsInt,
    options: ArrayLike,
) -> tuple[
    int,
    int,
    _F64Array | None,
    _F64Array | None,
    _F64Array | None,
    _F64Array | None,
    _F64Array | None,
]: ...
def design(
    y: ArrayLike, X: ArrayLike, add_constant: SupportsInt
) -> tuple[int, int, _F64Array | None, _F64Array | None]: ...
def finish_plan(
    T: SupportsInt,
    nfields: SupportsInt,
    native: tuple[tuple[int, int, int], ...],
    steps: tuple[tuple[Any, ...], ...],
    tails: tuple[Any, ...],
    result_type: Any,
    key: tuple[tuple[int, float], ...],
    least: tuple[tuple[int, float], ...],
) -> Any: ...
def finish_one(
    out: NDArray[_np.float64], plan: Any, alpha: float, block: NDArray[_np.float64]
) -> tuple[list[float], list[float], list[int], dict[str, Any]] | bool | None: ...
