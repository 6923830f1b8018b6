"""Residual diagnostics of a linear regression.

``diagnose(y, X)`` fits OLS of y on X (a constant is added unless one is
there) and runs the battery on it; it returns a :class:`Report` whose
``tests`` map each test id to a :class:`TestResult`:

{table}

"Reject" means p < alpha: the data speak against H0 at that level.
``tests=[...]`` runs only the tests named.

The command line (``python -m Kalvoren.diagnostics``, ``kalvoren-diag``) prints
the same report for a data file.
"""

from __future__ import annotations

import functools
import inspect
import warnings
from typing import Any, Callable

import numpy as np

from Kalvoren import _engine, _options, _prepare, _registry
from Kalvoren._registry import TEST_IDS, Status
from Kalvoren._report import Report
from Kalvoren._results import TestResult

__doc__ = __doc__.format(table=_registry.doc_table())


class KalvorenWarning(UserWarning):
    """A result came with a caveat (its note says which); the numbers stand."""


@functools.lru_cache(maxsize=1024)
def newey_west_lags(n: int) -> int:
    """The default HAC bandwidth: floor(4 (n/100)^(2/9)) (Newey and West, 1994)."""
    return int(_engine.hac_rule(np.array([n]))[0])


def _break_position(break_at: Any, model: _prepare.Model) -> int:
    """The 0-based position of the first observation after the break."""
    if break_at is None:
        return model.n // 2
    if isinstance(break_at, int):
        return break_at
    if model.index is None:
        raise _options.OptionTypeError("break_at", f"must be an integer position, got {break_at!r}")
    try:
        pos = model.index.get_loc(break_at)
    except (KeyError, TypeError):
        raise _options.OptionError(
            "break_at", f"{break_at!r} is not a label of the data's index"
        ) from None
    if not isinstance(pos, (int, np.integer)):
        raise _options.OptionError("break_at", f"{break_at!r} does not name one observation")
    return int(pos)


def _warn(record: _engine.Record, statuses: list[int], tests: tuple[str, ...]) -> None:
    """The caveats a notebook should show: where the data pin few digits."""
    notes = record.notes[0]
    for key in sorted(k for k in notes if k.startswith("digits")):
        tid = key.partition(":")[2]
        if any(s == 0 for t, s in zip(TEST_IDS, statuses) if t in tests and (t == tid or not tid)):
            what = f"{tid}: this statistic" if tid else "the statistics"
            warnings.warn(notes[key].replace("this statistic", what), KalvorenWarning, 4)


def _run(y: Any, X: Any, tests: Any = None, **kw: Any) -> Report:
    opts = _options.resolve(tests=tests, **kw)
    model = _prepare.prepare(y, X, add_constant=opts.add_constant)
    n, k = model.n, model.k
    t_break = _break_position(opts.break_at, model) if opts.uses("break_at") else n // 2
    lim = _options.limits(np.array([n]), k, opts, np.array([t_break]))
    problem = lim.first_problem(0, n, k, opts.lags, t_break)
    if problem is not None:
        raise problem
    hac_lags = newey_west_lags(n) if opts.hac_lags is None else opts.hac_lags
    ints = np.array([0, n, t_break, hac_lags], dtype=np.int64)
    batch = _engine.Batch(
        model.y,
        model.X,
        ints[0:2],
        False,
        model.const_col,
        opts.lags,
        ints[2:3],
        ints[3:4],
        opts.tests,
        model.x_names,
        opts.extra,
    )
    record = _engine.run(batch)
    table = _engine.finish(batch, record, opts.alpha)
    _warn(record, table.row(0)[4], opts.tests)
    shown = opts.break_at if opts.break_at is not None else t_break
    return Report(model, batch, table, opts.alpha, shown)


def diagnose(
    y: Any,
    X: Any = None,
    *,
    lags: int = 4,
    break_at: Any = None,
    hac_lags: int | None = None,
    alpha: float = 0.05,
    add_constant: bool = True,
    tests: list[str] | None = None,
    **test_options: Any,
) -> Report:
    """Fit OLS of y on X and run the battery on it.

    y: the response (array, list, pandas Series), or a fitted OLS results
        object with ``.model.endog`` and ``.model.exog`` (statsmodels' OLS
        results, for example), whose design is then used as it is.
    X: the regressors (2-D array, list of rows, pandas DataFrame or Series),
        or None for a model with a constant only. Integer columns are fine.
    lags: order of the Breusch-Godfrey and Ljung-Box tests.
    break_at: the Chow test's break: an integer is the 0-based position of
        the first observation of the second segment; anything else is a label
        of the data's index (a date, a period, a string). Default: the middle.
    hac_lags: Bartlett bandwidth of the HAC covariance (coefficient standard
        errors and the ``hac_wald`` test). Default: floor(4 (n/100)^(2/9)).
    alpha: the level at which ``reject`` is decided (p < alpha).
    add_constant: add a constant column unless X already holds one.
    tests: the test ids to run (default: all but the costly ones, which run
        when named or when one of their options is given); the battery runs
        only those.
    **test_options: the tests' own options, each prefixed by its test
        (``reset_power=3``); ``Kalvoren.TEST_OPTIONS`` lists them.

    Raises ValueError for missing or non-finite values (naming the column and
    row), y among the X columns, duplicate columns, too few observations, or
    options out of range (``Kalvoren.OptionError``, naming the option).
    Emits a ``KalvorenWarning`` where the data determine a statistic to fewer
    than about 8 digits (its note says so too).
    """
    return _run(
        y,
        X,
        tests,
        lags=lags,
        break_at=break_at,
        hac_lags=hac_lags,
        alpha=alpha,
        add_constant=add_constant,
        **test_options,
    )


# The per-test functions: each runs only its own test of the same battery and
# returns the TestResult diagnose gives. Their options are their tests'.
_DEFAULTS = {"lags": 4, "break_at": None, "hac_lags": None}


def _per_test(spec: _registry.TestSpec) -> Callable[..., TestResult]:
    def test(y: Any, X: Any = None, **kw: Any) -> TestResult:
        return _run(y, X, [spec.id], **kw).tests[spec.id]

    P = inspect.Parameter
    params = [P("y", P.POSITIONAL_OR_KEYWORD), P("X", P.POSITIONAL_OR_KEYWORD, default=None)]
    params += [
        P(
            o,
            P.KEYWORD_ONLY,
            default=_DEFAULTS[o] if o in _DEFAULTS else _registry.OPTIONS[o].default,
        )
        for o in spec.options
    ]
    params += [
        P("alpha", P.KEYWORD_ONLY, default=0.05),
        P("add_constant", P.KEYWORD_ONLY, default=True),
    ]
    name = _registry.function_name(spec) or spec.id
    test.__name__ = test.__qualname__ = name
    test.__signature__ = inspect.Signature(params, return_annotation=TestResult)  # type: ignore[attr-defined]
    test.__doc__ = (
        f"{spec.title}. H0: {spec.null}. Alternative: {spec.alternative}. "
        f"Reference distribution: {spec.distribution}. Reject means p < alpha. "
        f"Options as for :func:`diagnose`."
    )
    return test


for _spec in _registry.TESTS:
    if _registry.function_name(_spec) is not None:
        globals()[_registry.function_name(_spec)] = _per_test(_spec)  # type: ignore[index]


def breusch_pagan(
    y: Any,
    X: Any = None,
    *,
    robust: bool = True,
    bp_regressors: Any = None,
    alpha: float = 0.05,
    add_constant: bool = True,
) -> TestResult:
    """Breusch-Pagan test. H0: homoskedastic errors (the variance does not
    depend on the regressors). ``robust=True`` (default) is Koenker's
    studentized n R^2, valid without normal errors; ``robust=False`` is the
    original half explained sum of squares, which assumes normal errors.
    ``bp_regressors``: the variance regressors (column names or positions of
    the design, or an array of n rows; default every slope). chi2(number of
    variance regressors) under H0; reject means heteroskedasticity."""
    tid = "breusch_pagan_koenker" if robust else "breusch_pagan"
    kw = {} if bp_regressors is None else {"bp_regressors": bp_regressors}
    return _run(y, X, [tid], alpha=alpha, add_constant=add_constant, **kw).tests[tid]


def __getattr__(name: str) -> Any:
    # The command line lives in _cli, which imports this module; it is found
    # here for the console script and ``python -m Kalvoren.diagnostics``.
    if name == "main":
        from Kalvoren._cli import main

        return main
    raise AttributeError(f"module 'Kalvoren.diagnostics' has no attribute {name!r}")


OptionError = _options.OptionError

__all__ = [
    "diagnose",
    "Report",
    "TestResult",
    "TEST_IDS",
    "Status",
    "KalvorenWarning",
    "OptionError",
    *_registry.FUNCTIONS,
    "newey_west_lags",
    "main",
]

if __name__ == "__main__":
    from Kalvoren._cli import main

    raise SystemExit(main())
