"""Model checks and further residual checks: their registry entries and options (see
_registry.TestSpec; each test computed by the function its entry names, in _spectests)."""

from __future__ import annotations

import numbers
from typing import Any, Callable

import numpy as np

from Kalvoren._registry_types import Option, TestSpec, lazy_compute


def _option(options: dict[str, Any], name: str) -> Any:
    return options.get(name, OPTIONS[name].default)


def _gq_p(field: Callable[[str], Any], options: dict[str, Any]) -> Any:
    """Goldfeld-Quandt's p-value for gq_alternative, as _spectests'."""
    from scipy import special

    F, d1, d2 = field("gq_stat"), field("gq_df1"), field("gq_df2")
    upper, lower = special.fdtrc(d1, d2, F), special.fdtr(d1, d2, F)
    alt = _option(options, "gq_alternative")
    if alt == "increasing":
        return upper
    if alt == "decreasing":
        return lower
    return np.minimum(1.0, 2.0 * np.minimum(upper, lower))


def _hc_p(field: Callable[[str], Any], options: dict[str, Any]) -> Any:
    """Harvey-Collier's two-sided p-value."""
    from scipy import special

    t, df = field("hc_stat"), field("hc_df")
    return 2.0 * special.stdtr(df, -np.abs(t))


def _dw_p(field: Callable[[str], Any], options: dict[str, Any]) -> Any:
    """Durbin-Watson's p-value from the battery's exact tails (dw_pvalue's rule)."""
    low, high = field("dw_low"), field("dw_high")
    alt = _option(options, "dw_alternative")
    if alt == "greater":
        return low
    if alt == "less":
        return high
    return np.minimum(1.0, 2.0 * np.minimum(low, high))


def _reset_in_python(options: dict[str, Any]) -> bool:
    """The battery runs RESET on powers of the fitted values up to its maximum."""
    return bool(
        _option(options, "reset_type") != "fitted"
        or _option(options, "reset_power") > NATIVE_RESET_POWER
    )


def _ordered_in_python(option: str) -> Callable[[dict[str, Any]], bool]:
    """The battery keeps the data's order; another order is the Python route's."""

    def given(options: dict[str, Any]) -> bool:
        return options.get(option) is not None

    return given


# The highest RESET power the battery runs (kResetPowerMax of diag_modelcheck.hpp).
NATIVE_RESET_POWER = 8


def native_options(options: dict[str, Any]) -> np.ndarray:
    """The model checks' options as the battery reads them (kvr::mc::Opt order);
    a value the battery does not run with is replaced by its default."""
    power = _option(options, "reset_power")
    return np.array(
        [
            float(power if power <= NATIVE_RESET_POWER else 3),
            1.0 if _option(options, "white_cross") else 0.0,
            float(_option(options, "gq_split")),
            float(_option(options, "gq_drop")),
            float(_option(options, "rainbow_fraction")),
        ]
    )


# ------------------------------------------------------------ option checks


def _error(name: str, problem: str) -> Exception:
    from Kalvoren._options import OptionError

    return OptionError(name, problem)


def _type_error(name: str, problem: str) -> Exception:
    from Kalvoren._options import OptionTypeError

    return OptionTypeError(name, problem)


def _int_at_least(low: int) -> Callable[[Any, str], int]:
    def check(value: Any, name: str) -> int:
        from Kalvoren._options import integer

        v = integer(value, name)
        if v < low:
            raise _error(name, f"must be >= {low} (got {v})")
        return v

    return check


def _one_of(*choices: str) -> Callable[[Any, str], str]:
    def check(value: Any, name: str) -> str:
        if not isinstance(value, str) or value not in choices:
            raise _error(name, f"must be one of {', '.join(map(repr, choices))} (got {value!r})")
        return value

    return check


def _flag(value: Any, name: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise _type_error(name, f"must be True or False, got {value!r}")
    return bool(value)


def _cli_bool(text: str) -> bool:
    """The command line's spelling of True and False."""
    low = text.lower()
    if low in ("true", "yes", "1"):
        return True
    if low in ("false", "no", "0"):
        return False
    import argparse

    raise argparse.ArgumentTypeError(f"expected true or false, got {text!r}")


def _real(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise _type_error(name, f"must be a number, got {value!r}")
    v = float(value)
    if v != v:
        raise _error(name, "must be a number, got NaN")
    return v


def _fraction(low_open: bool) -> Callable[[Any, str], float]:
    """A fraction in (0, 1] (low_open) or in [0, 1)."""

    def check(value: Any, name: str) -> float:
        v = _real(value, name)
        if not ((0.0 < v <= 1.0) if low_open else (0.0 <= v < 1.0)):
            raise _error(name, f"must lie in {'(0, 1]' if low_open else '[0, 1)'} (got {value!r})")
        return v

    return check


def _split(value: Any, name: str) -> float:
    """A fraction of n in (0, 1), or a position from 1 up (a whole number)."""
    v = _real(value, name)
    if 0.0 < v < 1.0:
        return v
    if v >= 1.0 and v == int(v):
        return float(int(v))
    raise _error(name, f"must be a fraction in (0, 1) or a whole position >= 1 (got {value!r})")


def _values(value: Any, name: str) -> np.ndarray:
    """An array of values (NumPy or pandas), finite, as float64."""
    a = np.ascontiguousarray(np.asarray(value, dtype=np.float64))
    if a.ndim not in (1, 2) or a.shape[0] == 0:
        raise _error(name, f"must be a 1-D or 2-D array of values, got shape {a.shape}")
    if not np.isfinite(a).all():
        raise _error(name, "has a missing or non-finite value")
    return a


def _is_array(value: Any) -> bool:
    return isinstance(value, np.ndarray) or hasattr(value, "to_numpy")


def _column_name(value: Any, name: str) -> str | int:
    if isinstance(value, str):
        return value
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise _type_error(name, f"must name a column (name or position), got {value!r}")
    if value < 0:
        raise _error(name, f"must be a column position >= 0 (got {value})")
    return int(value)


def _order_by(value: Any, name: str) -> Any:
    """None (the data's order), a column (name or position) or n values."""
    if value is None:
        return None
    if _is_array(value):
        a = _values(value, name)
        if a.ndim != 1:
            raise _error(name, "must be one column of values")
        return a
    return _column_name(value, name)


def _regressors(value: Any, name: str) -> Any:
    """None (the model's slopes), columns (a name, a position or a list of
    them) or an array of values, n x q or n."""
    if value is None:
        return None
    if _is_array(value):
        return _values(value, name)
    if isinstance(value, (str, int, np.integer)) and not isinstance(value, (bool, np.bool_)):
        return (_column_name(value, name),)
    try:
        cols = tuple(_column_name(c, name) for c in value)
    except TypeError:
        raise _type_error(name, f"must be columns or an array, got {value!r}") from None
    if not cols:
        raise _error(name, "must name at least one column")
    return cols


# ----------------------------------------------------------------- entries

TESTS: tuple[TestSpec, ...] = (
    TestSpec(
        "white",
        "White's heteroskedasticity test",
        "homoskedastic errors",
        "the error variance depends on the regressors, their squares or cross-products",
        "chi2(rank of the auxiliary design)",
        "chi2",
        "white_stat",
        "white_status",
        "WHITE",
        None,
        ("white_cross",),
        no_slopes=True,
        compute=lazy_compute("_spectests", "white"),
        default=False,
        df_fields=("white_df", ""),
    ),
    TestSpec(
        "reset",
        "Ramsey's RESET",
        "the linear form of the model is adequate",
        "powers of the fitted values (or regressors) explain y: a missed nonlinearity",
        "F(q, n - k - q), normal errors",
        "F",
        "reset_stat",
        "reset_status",
        "RESET",
        None,
        ("reset_power", "reset_type"),
        no_slopes=True,
        compute=lazy_compute("_spectests", "reset"),
        default=False,
        df_fields=("reset_df1", "reset_df2"),
        python_when=_reset_in_python,
    ),
    TestSpec(
        "goldfeld_quandt",
        "Goldfeld-Quandt heteroskedasticity",
        "the error variance is the same in the first and the last part of the sample",
        "the error variance changes between the parts (gq_alternative)",
        "F(n2 - k, n1 - k), normal errors",
        "F",
        "gq_stat",
        "gq_status",
        "GQ",
        None,
        ("gq_order_by", "gq_split", "gq_drop", "gq_alternative"),
        compute=lazy_compute("_spectests", "goldfeld_quandt"),
        default=False,
        df_fields=("gq_df1", "gq_df2"),
        native_p=_gq_p,
        python_when=_ordered_in_python("gq_order_by"),
    ),
    TestSpec(
        "harvey_collier",
        "Harvey-Collier linearity",
        "the recursive residuals have mean zero (the linear form is right)",
        "the recursive residuals drift from zero: a missed nonlinearity",
        "t(n - k - 1), normal errors",
        "given",
        "hc_stat",
        "hc_status",
        "HC",
        None,
        ("hc_order_by",),
        compute=lazy_compute("_spectests", "harvey_collier"),
        default=False,
        df_fields=("hc_df", ""),
        native_p=_hc_p,
        python_when=_ordered_in_python("hc_order_by"),
    ),
    TestSpec(
        "rainbow",
        "Utts' Rainbow test",
        "the central part of the sample fits as well as the whole",
        "the fit deteriorates away from the centre: a missed nonlinearity",
        "F(n - n1, n1 - k), normal errors",
        "F",
        "rainbow_stat",
        "rainbow_status",
        "RAINBOW",
        None,
        ("rainbow_fraction",),
        compute=lazy_compute("_spectests", "rainbow"),
        default=False,
        df_fields=("rainbow_df1", "rainbow_df2"),
    ),
    TestSpec(
        "durbin_watson",
        "Durbin-Watson",
        "no first-order autocorrelation of the errors",
        "the errors are autocorrelated (dw_alternative; default positively)",
        "exact for the design, normal errors",
        "given",
        "dw_stat",
        "dw_status",
        "DW",
        None,
        ("dw_alternative",),
        compute=lazy_compute("_spectests", "durbin_watson"),
        default=False,
        native_p=_dw_p,
        native_extra={"pvalue": "exact"},
    ),
)

OPTIONS: dict[str, Option] = {
    "white_cross": Option(
        True,
        _flag,
        "White: with the regressors' cross-products (false: squares only)",
        (("type", _cli_bool),),
    ),
    "reset_power": Option(
        3, _int_at_least(2), "RESET: highest power added (2..power)", (("type", int),)
    ),
    "reset_type": Option(
        "fitted",
        _one_of("fitted", "regressors", "princomp"),
        "RESET: powers of the fitted values, of each regressor, or of their first principal "
        "component",
        (("choices", ("fitted", "regressors", "princomp")),),
    ),
    "gq_order_by": Option(
        None,
        _order_by,
        "Goldfeld-Quandt: order the rows by this column (default: as given)",
        (("type", str),),
    ),
    "gq_split": Option(
        0.5,
        _split,
        "Goldfeld-Quandt: where the first part ends, a fraction of n or a row count",
        (("type", float),),
    ),
    "gq_drop": Option(
        0.0,
        _fraction(False),
        "Goldfeld-Quandt: fraction of the rows around the split left out",
        (("type", float),),
    ),
    "gq_alternative": Option(
        "increasing",
        _one_of("increasing", "decreasing", "two-sided"),
        "Goldfeld-Quandt: how the variance changes under the alternative",
        (("choices", ("increasing", "decreasing", "two-sided")),),
    ),
    "hc_order_by": Option(
        None,
        _order_by,
        "Harvey-Collier: order the rows by this column (default: as given)",
        (("type", str),),
    ),
    "rainbow_fraction": Option(
        0.5,
        _fraction(True),
        "Rainbow: the central fraction of the rows fitted on its own",
        (("type", float),),
    ),
    "dw_alternative": Option(
        "greater",
        _one_of("greater", "less", "two-sided"),
        "Durbin-Watson: positive (greater), negative (less) or either autocorrelation",
        (("choices", ("greater", "less", "two-sided")),),
    ),
    "bg_form": Option(
        "lm",
        _one_of("lm", "f"),
        "Breusch-Godfrey: the LM statistic (chi-square) or its F form",
        (("choices", ("lm", "f")),),
    ),
    "bp_regressors": Option(
        None,
        _regressors,
        "Breusch-Pagan: the variance regressors, columns of the design (default: every slope)",
        (("nargs", "+"),),
    ),
    "lb_model_df": Option(
        0,
        _int_at_least(0),
        "Ljung-Box: parameters of a model fitted to the series, taken from the degrees of freedom",
        (("type", int),),
    ),
}
