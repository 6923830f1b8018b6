"""The options of every entry point (``diagnose``, the per-test functions,
``diagnose_many``, ``Kalvoren.dask`` and the command line), validated in one
place. A mistake is an :class:`OptionError` that names the parameter in
``.param``, so the command line can name its flag without rewriting the
message.

Two kinds of checks: ``resolve`` checks what does not depend on the data
(types, ranges); ``limits`` checks, per series, what does (lags and the break
against n and k) and says which series cannot run which tests, so
``diagnose`` raises where ``diagnose_many`` gives those groups a status.
"""

from __future__ import annotations

import functools
import operator
from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np

from Kalvoren._registry import BY_ID, DEFAULT_TESTS, OPTIONS, TEST_IDS, bits_of


class OptionError(ValueError):
    """An option out of its range. ``param`` is the parameter's name."""

    def __init__(self, param: str, problem: str, message: str | None = None):
        super().__init__(message or f"{param} {problem}")
        self.param = param
        self.problem = problem


class OptionTypeError(OptionError, TypeError):
    """An option of the wrong type (a TypeError as well as an OptionError)."""


def integer(value: Any, param: str) -> int:
    """An int (NumPy integers too; not bool, not float)."""
    if isinstance(value, (bool, np.bool_)):
        raise OptionTypeError(param, f"must be an integer, got {value!r}")
    try:
        return operator.index(value)
    except TypeError:
        raise OptionTypeError(param, f"must be an integer, got {value!r}") from None


def tests_of(tests: Any) -> tuple[str, ...]:
    """The chosen test ids in registry order (None: every test run by default)."""
    if tests is None:
        return DEFAULT_TESTS
    if isinstance(tests, str):
        tests = [tests]
    try:
        chosen = list(tests)
    except TypeError:
        raise OptionTypeError("tests", f"must be a list of test ids, got {tests!r}") from None
    unknown = [t for t in chosen if t not in BY_ID]
    if unknown:
        raise OptionError(
            "tests",
            f"has unknown ids {', '.join(map(repr, unknown))} (known: {', '.join(TEST_IDS)})",
        )
    if not chosen:
        raise OptionError("tests", "must name at least one test")
    return tuple(t for t in TEST_IDS if t in chosen)


@dataclass(frozen=True)
class Options:
    """Validated options that do not depend on the data."""

    lags: int = 4
    break_at: Any = None  # None, a position (int) or a label
    hac_lags: int | Literal["llsw"] | None = None  # "llsw": Lazarus, Lewis, Stock and Watson's rule
    alpha: float = 0.05
    add_constant: bool = True
    tests: tuple[str, ...] = DEFAULT_TESTS
    extra: dict[str, Any] = field(default_factory=dict)  # the tests' own options, checked

    @property
    def bits(self) -> int:
        return bits_of(self.tests)

    def uses(self, option: str) -> bool:
        return _uses(self.tests, option)


@functools.lru_cache(maxsize=256)
def _uses(tests: tuple[str, ...], option: str) -> bool:
    return any(option in BY_ID[t].options for t in tests)


_RESOLVED: dict[Any, Options] = {}


def _typed(v: Any) -> Any:
    """A value keyed with its type, through lists and tuples ((True, 2) and
    (1, 2) are equal, but not the same option)."""
    if type(v) in (list, tuple):
        return (type(v), tuple(map(_typed, v)))
    return (type(v), v)


def _call_key(kw: dict[str, Any]) -> Any:
    """A key for a call, by type and value (1 and True are different
    arguments, in a list too); hashable when the arguments are. The names
    keep the call's order: another order is another key to the same Options."""
    values = tuple(kw.values())
    types = tuple(map(type, values))
    key: tuple[Any, ...] = (tuple(kw), values, types)
    if list in types or tuple in types:
        key = (key[0], tuple(map(_typed, values)))
    return key


def resolve(**kw: Any) -> Options:
    """Check the options every entry point shares, and the tests' own (see
    ``_resolve``). A call seen before gets the same (immutable) Options."""
    key = _call_key(kw)
    try:
        hit = _RESOLVED.get(key)
    except TypeError:  # an unhashable argument: not kept
        key = hit = None
    if hit is not None:
        return hit
    opts = _resolve(**kw)
    if key is not None and len(_RESOLVED) < 256:
        _RESOLVED[key] = opts
    return opts


def _resolve(
    *,
    lags: Any = 4,
    break_at: Any = None,
    hac_lags: Any = None,
    alpha: Any = 0.05,
    add_constant: Any = True,
    tests: Any = None,
    positional_break: bool = False,
    **test_options: Any,
) -> Options:
    """Check the options every entry point shares, and the tests' own.
    positional_break: break_at must be a position (many series have no
    common labels)."""
    lags = integer(lags, "lags")
    if lags < 1:
        raise OptionError("lags", f"must be >= 1 (got {lags})")
    if hac_lags is not None and not (isinstance(hac_lags, str) and hac_lags == "llsw"):
        hac_lags = integer(hac_lags, "hac_lags")
        if hac_lags < 0:
            raise OptionError("hac_lags", f"must be >= 0 (got {hac_lags})")
    if isinstance(alpha, (bool, np.bool_)) or not isinstance(alpha, (int, float, np.floating)):
        raise OptionTypeError("alpha", f"must be a number, got {alpha!r}")
    if not 0.0 < float(alpha) < 1.0:
        raise OptionError("alpha", f"must lie in (0, 1), got {alpha!r}")
    if not isinstance(add_constant, (bool, np.bool_)):
        raise OptionTypeError("add_constant", f"must be True or False, got {add_constant!r}")
    if isinstance(break_at, (bool, np.bool_)):
        raise OptionTypeError("break_at", f"must be a position or an index label, got {break_at!r}")
    if positional_break and break_at is not None:
        break_at = integer(break_at, "break_at")
    elif isinstance(break_at, (int, np.integer)):
        break_at = int(break_at)
    extra = {}
    for name, value in test_options.items():
        if name not in OPTIONS:
            raise OptionTypeError(name, "is not an option of any test")
        extra[name] = OPTIONS[name].check(value, name)
    chosen = tests_of(tests)
    if tests is None and extra:  # an option of an opt-in test asks for the test
        asked = {t.id for t in BY_ID.values() if set(t.options) & set(extra)}
        chosen = tuple(t for t in TEST_IDS if t in chosen or t in asked)
    return Options(lags, break_at, hac_lags, float(alpha), bool(add_constant), chosen, extra)


@dataclass
class Limits:
    """Per series: which cannot run at all, and which cannot run the Chow
    test at the given break (arrays of bool; for one series, tuples of one
    bool), with the reasons."""

    too_short: np.ndarray | tuple[bool]
    bad_lags: np.ndarray | tuple[bool]
    bad_break: np.ndarray | tuple[bool]

    def first_problem(self, g: int, n: int, k: int, lags: int, t_break: int) -> OptionError | None:
        """What diagnose raises for series g (None: nothing)."""
        if self.too_short[g]:
            msg = f"too few observations: n = {n} for k = {k} coefficients"
            return OptionError("y", msg, msg)
        if self.bad_lags[g]:
            return OptionError(
                "lags", f"must be between 1 and {n - k - 1} for n = {n}, k = {k} (got {lags})"
            )
        if self.bad_break[g]:
            return OptionError(
                "break_at",
                f"leaves fewer than k + 1 = {k + 1} observations on one side: the break "
                f"position must be between {k + 1} and {n - k - 1} (got {t_break})",
            )
        return None


def limits(n: Any, k: int, opts: Options, t_break: Any) -> Limits:
    """The data-dependent checks, vectorised over series of lengths n (one
    series: n and t_break ints, and the fields bools)."""
    if isinstance(n, int):
        short = n <= k + 1
        lags = not short and opts.uses("lags") and opts.lags >= n - k
        brk = not short and opts.uses("break_at") and not k + 1 <= t_break <= n - k - 1
        return Limits((short,), (lags,), (brk,))
    n = np.asarray(n, dtype=np.int64)
    too_short = n <= k + 1
    uses_lags = opts.uses("lags")
    bad_lags = ~too_short & (opts.lags >= n - k) if uses_lags else np.zeros(n.shape, bool)
    if opts.uses("break_at"):
        bad_break = ~too_short & ((t_break < k + 1) | (t_break > n - k - 1))
    else:
        bad_break = np.zeros(n.shape, bool)
    return Limits(too_short, bad_lags, bad_break)
