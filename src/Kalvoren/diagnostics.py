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
from dataclasses import dataclass
from types import MappingProxyType
from typing import Any, Callable, Mapping, NamedTuple

import numpy as np

from Kalvoren import _caveats, _engine, _fixedb, _options, _prepare, _registry, _robust
from Kalvoren._caveats import KalvorenWarning
from Kalvoren._ckernels.diag import _batch
from Kalvoren._registry import DEFAULT_TESTS, TEST_IDS, Status
from Kalvoren._report import Report
from Kalvoren._results import TestResult, results_of

__doc__ = __doc__.format(table=_registry.doc_table())


@functools.lru_cache(maxsize=1024)
def newey_west_lags(n: int) -> int:
    """The default HAC bandwidth: floor(4 (n/100)^(2/9)) (Newey and West, 1994)."""
    return int(_engine.hac_rule(np.array([n]))[0])


_default_lags = functools.lru_cache(maxsize=1024)(newey_west_lags)  # n is an int here


def _break_position(break_at: Any, break_label: Any, model: _prepare.Model) -> int:
    """The 0-based position of the first observation after the break: break_at
    as a position, break_label (or a break_at that is not an integer) as a
    label of the data's index."""
    if break_label is not None and break_at is not None:
        raise _options.OptionTypeError("break_label", "cannot be given together with break_at")
    if break_label is None:
        if break_at is None:
            return model.n // 2
        if isinstance(break_at, int):
            return break_at
        name, label = "break_at", break_at
    else:
        name, label = "break_label", break_label
    if model.index is None:
        raise _options.OptionTypeError(
            name,
            f"{label!r} is a label, but the data have no index (pandas inputs carry one)"
            if name == "break_label"
            else f"must be an integer position, got {label!r}",
        )
    try:
        pos = model.index.get_loc(label)
    except (KeyError, TypeError, ValueError):
        raise _options.OptionError(name, f"{label!r} is not a label of the data's index") from None
    if isinstance(pos, slice):  # a partial date ("2002-03") on a sorted index
        one = range(len(model.index))[pos]
        pos = one[0] if len(one) == 1 else pos
    elif isinstance(pos, np.ndarray) and np.count_nonzero(pos) == 1:
        pos = int(np.flatnonzero(pos)[0])
    if not isinstance(pos, (int, np.integer)):
        raise _options.OptionError(name, f"{label!r} does not name one observation")
    return int(pos)


class OptionInfo(NamedTuple):
    """A test's own option: its default and what it sets."""

    default: Any
    help: str


#: The tests' own options by name (``reset_power``, ``gq_drop``, ...), read-only.
TEST_OPTIONS: Mapping[str, OptionInfo] = MappingProxyType(
    {name: OptionInfo(o.default, o.help) for name, o in sorted(_registry.OPTIONS.items())}
)

_DEFAULT_COV = _robust.choice_of("HAC", None)


@dataclass(frozen=True, slots=True)
class _Lane:
    """What a call's options fix for data of one shape (n, k) when the break
    is a position or the middle and the covariance the battery's own: the
    break, the bandwidth asked for, the battery's int64 arguments (offsets,
    break, bandwidth: read-only views shared by every call) and the plan.
    Worked out once per shape."""

    opts: _options.Options
    t_break: int
    asked: int
    offsets: np.ndarray
    t_kept: np.ndarray
    hac_lags: np.ndarray
    plan: _engine.Plan
    # what a clean finish (no notes, the kernels' route) can still be warned
    # about: a chi-square test short of observations, the bandwidth clamped
    quiet: bool
    # the finish's shape of the last call in this lane, tried first
    shape: list[Any]


_LANES: dict[tuple[int, int, int], _Lane] = {}
# What a lane's battery takes, by (options, n): the same for every k, so the
# design and the battery run in one native call before the lane is known.
_BATTERY: dict[tuple[int, int], tuple[_options.Options, int, int, _engine.Plan]] = {}


def _lane(
    opts: _options.Options,
    model: _prepare.Model,
    cov: _robust.CovChoice,
    break_label: Any,
    X: Any,
) -> tuple[_Lane, _robust.CovPlan | None]:
    """The lane of a call (the limits checked: a problem raises) and the plan
    of another covariance; kept for the shape unless the call's break is a
    label or its covariance another, which depend on the data."""
    n, k = model.n, model.k
    uses_break = opts.uses("break_at")
    t_break = _break_position(opts.break_at, break_label, model) if uses_break else n // 2
    # a position far outside the sample is refused by the limits, not by int64
    t_kept = min(max(t_break, -1), n + 1)
    lim = _options.limits(n, k, opts, t_kept)
    problem = lim.first_problem(0, n, k, opts.lags, t_break)
    if problem is not None:
        if problem.param == "break_at" and opts.break_at is None and break_label is None:
            # no break was asked for: the middle leaves too few on a side
            problem = _options.OptionError(
                "y",
                f"too few observations for the Chow test: n = {n} for k = {k} coefficients "
                f"needs n >= 2k + 2 = {2 * k + 2} (or leave 'chow' out of tests)",
            )
        if break_label is not None and problem.param == "break_at":
            problem = _options.OptionError(
                "break_label", f"{break_label!r} (position {t_break}) {problem.problem}"
            )
        raise problem
    lags_asked = int(_fixedb.llsw_lags(n)) if opts.hac_lags == "llsw" else opts.hac_lags
    asked, plan = _cov_plan(cov, lags_asked, model, X)
    # the kernels use at most n - 1 lags: the report shows the bandwidth used
    hac_lags = min(asked, max(n - 1, 0))
    ints = np.array([0, n, t_kept, hac_lags], dtype=np.int64)
    ints.flags.writeable = False
    tests_plan = _engine.plan_of(opts.tests, opts.extra)
    quiet = n >= _caveats.CHI2_MIN_N and not asked > n - 1
    lane = _Lane(opts, t_break, asked, ints[0:2], ints[2:3], ints[3:4], tests_plan, quiet, [None])
    positional = opts.break_at is None or type(opts.break_at) is int or not uses_break
    if plan is None and break_label is None and positional:
        if len(_LANES) >= 1024:
            _LANES.clear()
            _BATTERY.clear()
        _LANES[id(opts), n, k] = lane
        _BATTERY[id(opts), n] = (opts, t_kept, hac_lags, tests_plan)
    return lane, plan


def _run(
    y: Any,
    X: Any,
    tests: Any = None,
    *,
    break_label: Any = None,
    cov_type: Any = "HAC",
    cov_options: Any = None,
    _opts: _options.Options | None = None,
    **kw: Any,
) -> Report:
    if cov_options is None and type(cov_type) is str and cov_type == "HAC":
        cov = _DEFAULT_COV  # the common case, checked once
    else:
        cov = _robust.choice_of(cov_type, cov_options)
    opts = _options.resolve(tests=tests, **kw) if _opts is None else _opts
    res: tuple[np.ndarray, ...] | None = None
    model = ran = None
    if cov is _DEFAULT_COV and break_label is None and _prepare._plain(y, X):
        model, res, ran = _battery_first(y, X, opts)
    if model is None:
        # a Model: data handed over already prepared (the command line's)
        model = (
            y
            if type(y) is _prepare.Model
            else _prepare.prepare(y, X, add_constant=opts.add_constant)
        )
    n, k = model.X.shape
    lane = _LANES.get((id(opts), n, k))
    plan = None
    if lane is None or lane.opts is not opts or cov is not _DEFAULT_COV or break_label is not None:
        lane, plan = _lane(opts, model, cov, break_label, X)
        if ran is not None and not (
            ran[0] is opts
            and ran[3] is lane.plan
            and ran[1:3] == (lane.t_kept.item(), lane.hac_lags.item())
        ):
            res = None  # not what this lane runs: run it again
    batch = _engine.Batch(
        model.y,
        model.X,
        lane.offsets,
        False,
        model.const_col,
        opts.lags,
        lane.t_kept,
        lane.hac_lags,
        opts.tests,
        model.x_names,
        opts.extra,
        plan,
        True,  # private: prepare's copies
    )
    batch.__dict__["plan"] = lane.plan  # the cached property, known already
    if res is None:
        res = _engine.native(batch)
    asked = lane.asked
    parts = _engine.finish_clean_parts(batch, res, opts.alpha, lane.shape)
    caveats: list[_caveats.Caveat] = []
    if parts is not None and lane.quiet:
        rec, tests_done = parts[0], parts[1]  # nothing find would say of them
    else:
        if parts is not None:
            table = _engine.clean_results(parts, opts.alpha)
        else:
            table = _engine.finish(batch, _engine.run(batch, lambda _: res), opts.alpha)
        caveats = _caveats.find(opts.tests, table, [n], [asked])
        if caveats:
            _caveats.add_notes(table, caveats)
            table.first = None  # without the notes
        rec = table.record
        tests_done = table.first
        if tests_done is None:
            tests_done = results_of(table, 0, opts.alpha, batch.tests)
    if break_label is not None:
        shown = break_label
    else:
        shown = opts.break_at if opts.break_at is not None else lane.t_break
    report = Report(model, batch, rec, tests_done, opts.alpha, shown)
    report.hac_lags_requested = asked
    # diagnose, the per-test functions -> _run -> here: the caller's line
    report.warnings = _caveats.warn_each(caveats, 3) if caveats else []
    return report


def _battery_first(
    y: np.ndarray, X: np.ndarray, opts: _options.Options
) -> tuple[_prepare.Model | None, tuple[np.ndarray, ...] | None, Any]:
    """The Model and the battery's record in one native call, with what the
    battery ran with, when a call with these options saw data of this length
    before (None: the general way, which also names any problem with the
    data)."""
    known = _BATTERY.get((id(opts), y.shape[0]))
    if known is None or known[0] is not opts:
        return None, None, None
    _, t_kept, hac_lags, plan = known
    try:
        status, const_col, yv, Z, out, beta, se = _batch.battery_one(
            y, X, opts.add_constant, opts.lags, t_kept, hac_lags, plan.bits, plan.native_options
        )
    except ValueError:  # a read-only array (the native frame binds only writable ones)
        return None, None, None
    if status != 0 or yv is None or Z is None or out is None or beta is None or se is None:
        return None, None, None
    return _prepare.plain_model(yv, Z, X.shape[1], const_col), (out, beta, se), known


def _cov_plan(
    cov: _robust.CovChoice, hac_lags: int | None, model: _prepare.Model, frame: Any
) -> tuple[int, _robust.CovPlan | None]:
    """The battery's HAC lags, and the plan of another covariance (None when
    the battery's own Bartlett HAC is the one asked for)."""
    lags, other = _robust.battery_lags(cov, hac_lags)
    lags = _default_lags(model.n) if lags is None else lags
    if not other:
        return lags, None
    cols = _robust.model_rows(frame, model.index)
    plan = _robust.CovPlan(
        _robust.counted_in_lags(cov), _robust.resolve(cov, model.n, model.index, cols)
    )
    return lags, plan


def diagnose(
    y: Any,
    X: Any = None,
    *,
    lags: int = 4,
    break_at: Any = None,
    break_label: Any = None,
    hac_lags: int | str | None = None,
    alpha: float = 0.05,
    add_constant: bool = True,
    tests: list[str] | None = None,
    cov_type: str = "HAC",
    cov_options: dict[str, Any] | None = None,
    **test_options: Any,
) -> Report:
    """Fit OLS of y on X and run the battery on it.

    y: the response (array, list, pandas Series), or a fitted OLS results
        object with ``.model.endog`` and ``.model.exog`` (statsmodels' OLS
        results, for example), whose design is then used exactly as fitted:
        with a constant only if it has one (add_constant does not apply).
        Weighted and GLS fits (statsmodels' WLS, GLS, GLSAR, ...) are refused
        with a TypeError.
    X: the regressors (2-D array, list of rows, pandas DataFrame or Series),
        or None for a model with a constant only. Integer columns are fine.
        When y and X both carry a pandas index, rows are paired by label (in
        y's order), as statsmodels pairs them; indexes that cannot be paired
        one to one (other lengths or labels) raise a ValueError naming the
        mismatch. Otherwise rows pair by position.
    lags: order of the Breusch-Godfrey and Ljung-Box tests.
    break_at: the Chow test's break as a 0-based position: the first
        observation of the second segment (so also the 1-based position of
        the last one before the break). For compatibility, a value that is
        not an integer (a date string, a Timestamp) is read as a label of the
        data's index. Default: the middle.
    break_label: the Chow test's break as a label of the data's index (a
        date, a year, a name): the first observation of the second segment.
        An integer here is a label (the year 1945), never a position. Not
        together with break_at.
    hac_lags: Bartlett bandwidth of the HAC covariance (coefficient standard
        errors and the ``hac_wald`` test). Default: floor(4 (n/100)^(2/9));
        "llsw": Lazarus, Lewis, Stock and Watson's (2018) 1.3 sqrt(n).
        ``hac_wald``'s p-value comes from fixed-b asymptotics for the bandwidth
        used (``hac_pvalue="chi2"``: the chi-square one, statsmodels' number).
        At most n - 1 lags are used: a larger value is clamped to n - 1 (the
        report shows the value used, and warns).
    alpha: the level at which ``reject`` is decided (p < alpha).
    add_constant: add a constant column unless X already holds one.
    tests: the test ids to run (default: all but the costly ones, which run
        when named or when one of their options is given); the battery runs
        only those.
    cov_type: the covariance of the coefficients behind ``report.bse``,
        ``report.cov``, ``report.wald`` and the ``hac_wald`` test: "HAC"
        (default), "HC0".."HC5", "HC4m", "cluster" or "driscoll-kraay".
    cov_options: its options (see :func:`Kalvoren.robust_cov`): for "HAC"
        ``kernel`` ("bartlett", "parzen", "qs"), ``bandwidth`` (lags, clamped
        to n - 1 as hac_lags is, or "nw1994", "andrews", "llsw"; default hac_lags), ``prewhite`` (0, 1)
        and ``adjust``; for "cluster" ``groups`` (one or two names of index
        levels or columns of X, or arrays) and ``correction``; for
        "driscoll-kraay" ``time``, ``entity``, ``bandwidth``, ``kernel`` and
        ``adjust``. ``hac_wald`` keeps fixed-b p-values for any Bartlett HAC
        without prewhitening (b = bandwidth / n) and takes chi-square ones for
        the others; its result's ``reference`` says which.
    **test_options: the tests' own options, each prefixed by its test
        (``reset_power=3``); ``Kalvoren.TEST_OPTIONS`` lists them.

    Raises ValueError for missing or non-finite values (naming the column and
    row; masked values count as missing), values that are not real numbers
    (complex, dates, durations), y among the X columns, duplicate columns,
    too few observations, or options out of range (``Kalvoren.OptionError``,
    naming the option).
    Emits a ``KalvorenWarning`` (its note says the same) for each result that
    stands with a caveat: the data determine a statistic to fewer than about
    8 digits; collinear columns dropped or a test computed by the
    least-squares route; hac_lags clamped to n - 1; fewer observations than a
    test's reference distribution needs (the chi-square tests below
    n = 20). ``report.warnings`` lists them.
    """
    if tests is None and not test_options:
        last = _LAST_PLAIN
        if (
            last[0] is lags
            and last[1] is break_at
            and last[2] is hac_lags
            and last[3] is alpha
            and last[4] is add_constant
        ):
            opts = last[5]
        else:
            opts = _plain_options(lags, break_at, hac_lags, alpha, add_constant)
        return _run(
            y, X, break_label=break_label, cov_type=cov_type, cov_options=cov_options, _opts=opts
        )
    return _run(
        y,
        X,
        tests,
        break_label=break_label,
        lags=lags,
        break_at=break_at,
        hac_lags=hac_lags,
        alpha=alpha,
        add_constant=add_constant,
        cov_type=cov_type,
        cov_options=cov_options,
        **test_options,
    )


# The arguments of the last call that named no tests and no test options,
# with their Options: the same objects of immutable types are the same options.
_IMMUTABLE = (int, float, bool, str, type(None))
_LAST_PLAIN: tuple[Any, ...] = (object(),) * 6


def _plain_options(
    lags: Any, break_at: Any, hac_lags: Any, alpha: Any, add_constant: Any
) -> _options.Options:
    global _LAST_PLAIN
    args = (lags, break_at, hac_lags, alpha, add_constant)
    opts = _options.resolve(
        tests=None,
        lags=lags,
        break_at=break_at,
        hac_lags=hac_lags,
        alpha=alpha,
        add_constant=add_constant,
    )
    if all(type(v) in _IMMUTABLE for v in args):
        _LAST_PLAIN = (*args, opts)
    return opts


# The per-test functions: each runs only its own test of the same battery and
# returns the TestResult diagnose gives. Their options are their tests'.
_DEFAULTS = {"lags": 4, "break_at": None, "hac_lags": None, "cov_type": "HAC", "cov_options": None}
_LABEL_OF = {"break_at": "break_label"}  # options that also take a label of the index


def _per_test(spec: _registry.TestSpec) -> Callable[..., TestResult]:
    def test(y: Any, X: Any = None, **kw: Any) -> TestResult:
        return _run(y, X, [spec.id], **kw).tests[spec.id]

    P = inspect.Parameter
    params = [P("y", P.POSITIONAL_OR_KEYWORD), P("X", P.POSITIONAL_OR_KEYWORD, default=None)]
    for o in spec.options:
        default = _DEFAULTS[o] if o in _DEFAULTS else _registry.OPTIONS[o].default
        params.append(P(o, P.KEYWORD_ONLY, default=default))
        if o in _LABEL_OF:
            params.append(P(_LABEL_OF[o], P.KEYWORD_ONLY, default=None))
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
    if (_name := _registry.function_name(_spec)) is not None:
        globals()[_name] = _per_test(_spec)


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
    "DEFAULT_TESTS",
    "Status",
    "KalvorenWarning",
    "OptionError",
    "TEST_OPTIONS",
    "OptionInfo",
    *_registry.FUNCTIONS,
    "newey_west_lags",
    "main",
]

if __name__ == "__main__":
    from Kalvoren._cli import main

    raise SystemExit(main())
