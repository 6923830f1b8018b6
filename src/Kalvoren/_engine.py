"""The battery over one or many series: the native battery first, the
least-squares route where the kernels refuse, then p-values and decisions
vectorised across series. `diagnose` and `diagnose_many` both come here, so
a series gets the same bits whichever way it was run. What a test is (its
record fields, degrees of freedom, reference distribution, least-squares
form) comes from the registry."""

from __future__ import annotations

import dataclasses
import functools
import math
import threading
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import Any, Callable, Sequence, cast

import numpy as np
import numpy.typing as npt

from Kalvoren import _lstsq, _options, _pvalues, _registry, _tests_spec
from Kalvoren._ckernels.diag import _batch, _diag
from Kalvoren._registry import BY_ID, TEST_IDS, TESTS, Fitted, Status
from Kalvoren._results import TestResult, df_shown

# Fewer digits than this determined by the data (a one-ulp change of the
# inputs moves a statistic further than 10^-DIGITS_MIN) earns a note and a
# warning; the statistic itself stays.
DIGITS_MIN = 8.0

FIELD = {name: i for i, name in enumerate(_batch.FIELDS)}
T = len(TESTS)
# The tests the native battery runs (the rest are computed here, per series),
# with their statistic and status fields in its record.
NATIVE = [i for i, t in enumerate(TESTS) if t.native]
_STAT = [FIELD[TESTS[i].field] for i in NATIVE]
_STATUS = [FIELD[TESTS[i].status_field] for i in NATIVE]
_COL = {TESTS[i].id: j for j, i in enumerate(NATIVE)}  # id -> position in _STAT
_NATIVE_AT, _STAT_AT, _STATUS_AT = (np.array(a, dtype=np.intp) for a in (NATIVE, _STAT, _STATUS))
_NATIVE_COLS = tuple(zip(NATIVE, _STATUS, _STAT))  # (test, status field, statistic field)
_K, _N, _FIT = FIELD["k"], FIELD["n"], FIELD["fit_status"]
_STATUS_FIT = [*_STATUS, _FIT]
# Positions by id.
_INDEX = {t.id: i for i, t in enumerate(TESTS)}
_BP_FORMS = [_INDEX["breusch_pagan"], _INDEX["breusch_pagan_koenker"]]
# References whose p-value needs degrees of freedom of at least 1: a NaN
# p-value there means the options left none.
_DF_REFERENCES = ("chi2", "F")
_COND, _DIGITS, _M = FIELD["cond"], FIELD["digits"], FIELD["m"]
_HAC_DF, _HAC_LAGS = FIELD["hac_df"], FIELD["hac_lags"]


def hac_rule(n: np.ndarray) -> np.ndarray:
    """Newey-West (1994) bandwidth floor(4 (n/100)^(2/9)), one formula for
    every route so a series gets the same bandwidth however it is run."""
    n = np.asarray(n, dtype=np.float64)
    lags: np.ndarray = np.floor(4.0 * (np.maximum(n, 1.0) / 100.0) ** (2.0 / 9.0)).astype(np.int64)
    return lags


@dataclass
class Batch:
    """The data of G series (y concatenated, X concatenated or shared) and
    the options they run with."""

    y: np.ndarray
    X: np.ndarray
    offsets: np.ndarray
    shared_x: bool
    const_col: int
    lags: int
    t_break: np.ndarray
    hac_lags: np.ndarray
    tests: tuple[str, ...]
    names: list[str] | None = None  # column names, for notes
    options: dict[str, Any] = dataclasses.field(default_factory=dict)  # the tests' own options
    cov: Any = None  # a _robust.CovPlan when the covariance is not the battery's own
    # y and X are this run's own copies, read by nothing else while the
    # battery runs: it may scale them in place instead of copying them
    private: bool = False

    @property
    def G(self) -> int:
        return int(self.offsets.shape[0]) - 1

    @functools.cached_property
    def plan(self) -> Plan:
        return plan_of(self.tests, self.options)

    def __getstate__(self) -> dict[str, Any]:
        # the plan holds the registry's functions: a copy works it out again
        state = self.__dict__.copy()
        state.pop("plan", None)
        return state

    @property
    def bits(self) -> int:
        return self.plan.bits

    def series(self, g: int) -> tuple[np.ndarray, np.ndarray]:
        a, b = int(self.offsets[g]), int(self.offsets[g + 1])
        X = self.X[: b - a] if self.shared_x else self.X[a:b]
        return self.y[a:b], X

    def chunk(self, lo: int, hi: int) -> "Batch":
        off = self.offsets[lo : hi + 1]
        a, b = int(off[0]), int(off[-1])
        X = self.X if self.shared_x else self.X[a:b]
        return Batch(
            self.y[a:b],
            X,
            off - a,
            self.shared_x,
            self.const_col,
            self.lags,
            self.t_break[lo:hi],
            self.hac_lags[lo:hi],
            self.tests,
            self.names,
            self.options,
            self.cov,
        )


@dataclass(frozen=True)
class Plan:
    """What a choice of tests and options means for a run, worked out once:
    the battery's bits, the tests computed in Python, and for the one-series
    finish each chosen test with its reference's scalar function."""

    bits: int
    python: tuple[tuple[int, _registry.TestSpec], ...]
    chosen: tuple[int, ...]  # registry positions of the chosen tests
    no_slopes: tuple[tuple[int, _registry.TestSpec], ...]  # chosen, native, nothing without slopes
    finish: tuple[tuple[int, _registry.TestSpec, Any], ...]  # (i, spec, scalar reference or None)
    # native tests with a Python form, for the series whose test the kernels refuse
    refusable: tuple[tuple[int, _registry.TestSpec], ...] = ()
    # chosen native tests whose degrees of freedom or p-value the record holds
    native_more: tuple[tuple[int, _registry.TestSpec], ...] = ()
    # the model checks' options as the battery reads them (never written)
    native_options: np.ndarray = dataclasses.field(default_factory=lambda: np.empty(0))
    # every chosen test native and finished from the record alone (the
    # one-series finish_clean_parts applies)
    quick: bool = False


_PLANS: dict[Any, Plan] = {}


def _options_key(options: dict[str, Any]) -> Any:
    """A key for options whose values are hashable (type and value: 1 and True
    are different options), else None."""
    if not options:
        return ()
    try:
        key = tuple(sorted((k, type(v), v) for k, v in options.items()))
        hash(key)
    except TypeError:
        return None
    return key


def plan_of(tests: tuple[str, ...], options: dict[str, Any]) -> Plan:
    key = _options_key(options)
    if key is not None:
        plan = _PLANS.get((tests, key))
        if plan is not None:
            return plan
    bits, python, no_slopes, finish, refusable, more = 0, [], [], [], [], []
    for tid in tests:
        i, spec = _INDEX[tid], BY_ID[tid]
        in_python = spec.native is None or bool(spec.python_when and spec.python_when(options))
        if in_python:
            python.append((i, spec))
        else:
            bits |= spec.bit
            if spec.compute is not None and tid not in LEAST_SQUARES:
                refusable.append((i, spec))
            if spec.df_fields[0] or spec.native_p:
                more.append((i, spec))
        # a Python variant of a native test decides for itself: it may test other regressors
        if spec.no_slopes and (spec.native is None or not in_python):
            no_slopes.append((i, spec))
        ref = spec.reference
        finish.append((i, spec, None if ref == "given" else _pvalues.REFERENCES[ref][1]))
    quick = not (python or refusable or more)
    plan = Plan(
        bits,
        tuple(python),
        tuple(_INDEX[t] for t in tests),
        tuple(no_slopes),
        tuple(finish),
        tuple(refusable),
        tuple(more),
        _tests_spec.native_options(options),
        quick,
    )
    if key is not None and len(_PLANS) < 1024:
        _PLANS[(tests, key)] = plan
    return plan


_NO_CHOICE = np.empty(0, dtype=np.int64)


def native(batch: Batch) -> tuple[np.ndarray, ...]:
    """The native battery: (out, beta, se), and (cov, bw) after them when the
    batch's covariance is one the battery computes (HC, HAC)."""
    code = None if batch.cov is None else batch.cov.native
    return _batch.battery_checks(
        batch.y,
        batch.X,
        batch.offsets,
        batch.const_col,
        batch.lags,
        batch.t_break,
        batch.hac_lags,
        batch.bits,
        2 if batch.private and not batch.shared_x else batch.shared_x,
        batch.plan.native_options,
        _NO_CHOICE if code is None else code,
    )


class _NoEntries(Mapping[str, Any]):
    """What a series without notes or extras holds: empty, read-only and
    shared (one dict per series cost a tenth of a microsecond and 64 bytes a
    series, for entries nearly every series leaves empty). Write through
    own(); pickles as the one shared object."""

    __slots__ = ()

    def __getitem__(self, key: str) -> Any:
        raise KeyError(key)

    def __iter__(self) -> Iterator[str]:
        return iter(())

    def __len__(self) -> int:
        return 0

    def __contains__(self, key: object) -> bool:
        return False

    def get(self, key: str, default: Any = None) -> Any:
        return default

    def __repr__(self) -> str:
        return "{}"

    def __reduce__(self) -> str:
        return "NO_ENTRIES"


NO_ENTRIES = _NoEntries()


def own(entries: list[Any], g: int | np.integer[Any]) -> dict[str, Any]:
    """Entry g of a record's notes or extras as a dict to write to."""
    d = entries[g]
    if d is NO_ENTRIES:
        d = entries[g] = {}
    return cast("dict[str, Any]", d)


def with_entries(entries: list[Any]) -> list[int]:
    """The series whose notes (or extras) hold something."""
    marked = np.fromiter(map(id, entries), dtype=np.intp, count=len(entries)) != id(NO_ENTRIES)
    return [g for g in np.flatnonzero(marked).tolist() if entries[g]]


@dataclass
class Record:
    """Per-series statistics before p-values: the native record (one row per
    series, fields named in _batch.FIELDS) with the least-squares route's
    corrections and what the notes need."""

    out: np.ndarray  # (G, NFIELDS)
    beta: np.ndarray  # (G, k)
    se: np.ndarray  # (G, k)
    rank: np.ndarray  # (G,)
    chow_df: np.ndarray  # (G, 2)
    least_squares: np.ndarray  # (G, T) bool: the test took the least-squares route
    # per series: "model" (the least-squares route's account of the design),
    # "input" (a problem with the data), "input:<test>" (an option the series
    # does not fit, on the tests it concerns), "digits" and "digits:<test>"
    notes: list[Mapping[str, str]]
    # what a test leaves for the report (per series, by test id)
    extra: Any = None
    # A covariance the native battery computed (HC, HAC): per series its
    # matrix (G, k, k) and bandwidth and plug-in value (G, 2); which series
    # the kernels fitted (the others took the least-squares route); each
    # series' bandwidth b (NaN: none); the reference each test's p-value came from.
    cov: Any = None
    bw: Any = None
    kernel_fit: Any = None
    cov_bw: Any = None
    references: dict[str, str] = dataclasses.field(default_factory=dict)
    # Every test's status and statistic (G, T), its degrees of freedom where
    # the test itself gives them (G, T, 2; NaN: from the registry) and a
    # p-value it gives itself (NaN: from its reference), in one (5, G, T)
    # array; status, stat, df and pvalue are its views
    block: Any = None
    # (series, test): degrees of freedom the least-squares route found, put
    # in df once the block exists
    ls_df: dict[tuple[int, int], tuple[float, float]] = dataclasses.field(default_factory=dict)

    def value(self, g: int, field: str) -> float:
        return float(self.out[g, FIELD[field]])

    def _views(self) -> tuple[Any, ...]:
        # made on first use (one report reads them rarely), again if block changed
        views: tuple[Any, ...] | None = self.__dict__.get("_block_views")
        block = self.block
        if views is None or views[0] is not block:
            if block is None:
                return (None,) * 5
            df = block[2:4].transpose(1, 2, 0)
            views = self.__dict__["_block_views"] = (block, block[0], block[1], df, block[4])
        return views

    def __getstate__(self) -> dict[str, Any]:
        # the views would come back as copies of their own, apart from block
        state = self.__dict__.copy()
        state.pop("_block_views", None)
        return state

    status = property(lambda self: self._views()[1], doc="(G, T) status of every test")
    stat = property(lambda self: self._views()[2], doc="(G, T) statistic of every test")
    df = property(lambda self: self._views()[3], doc="(G, T, 2) degrees of freedom")
    pvalue = property(lambda self: self._views()[4], doc="(G, T) p-value a test gives itself")


def _native_row(row: list[float]) -> tuple[list[float], list[float]]:
    """One series' status and statistic of every test from its record row
    (NaN for the tests computed in Python and for statistics not computed)."""
    status, stat = [math.nan] * T, [math.nan] * T
    for i, c_status, c_stat in _NATIVE_COLS:
        status[i] = v = row[c_status]
        if v == 0:
            stat[i] = row[c_stat]
    return status, stat


def run(
    batch: Batch,
    runner: Callable[[Batch], tuple[np.ndarray, ...]] = native,
    limits: _options.Limits | None = None,
) -> Record:
    res = runner(batch)
    out, beta, se = res[:3]
    G = batch.G
    plan = batch.plan
    if G == 1:  # the report's case, without the array set-up
        row = out[0].tolist()
        k1 = row[_K]
        k = np.array([k1])
        chow_df = np.array([[k1, row[_N] - 2 * k1]])
        # the fit itself refused counts even when no native test was chosen
        refused_any = Status.FALLBACK in [row[c] for c in _STATUS_FIT]
        notes: list[Mapping[str, str]] = [{}]
    else:
        k = out[:, _K].copy()
        chow_df = np.stack([k, out[:, _N] - 2 * k], axis=1)
        refused_any = bool((out[:, _STATUS_FIT] == Status.FALLBACK).any())
        notes = [NO_ENTRIES] * G
    rec = Record(out, beta, se, k, chow_df, np.zeros((G, T), bool), notes)
    if len(res) == 5:
        kx = batch.X.shape[1]
        rec.cov, rec.bw = res[3].reshape(G, kx, kx), res[4]
        rec.kernel_fit = out[:, _FIT] == 0
    if refused_any:
        # Series or tests the kernels refused go the least-squares way.
        refused = out[:, _STATUS] == Status.FALLBACK
        fit = out[:, _FIT]
        for g in np.flatnonzero(refused.any(axis=1) | (fit == Status.FALLBACK)):
            if fit[g] == Status.FALLBACK:
                series_least_squares(batch, rec, int(g))
            else:
                tests_least_squares(batch, rec, int(g), refused[g])
    if batch.const_col < 0 and batch.cov is None and "hac_wald" in batch.tests:
        refused_any |= _implicit_constant(batch, rec)  # the record changed: read it again
    # status, statistic, df1, df2 and p-value of every test, in one block
    block = np.empty((5, G, T))
    block.fill(np.nan)
    rec.block = block
    if G == 1:  # in plain Python: NumPy's set-up costs more than the work
        if refused_any:
            row = out[0].tolist()
        block[0, 0], block[1, 0] = _native_row(row)
        rec.extra = [{}]
    else:
        status = out.take(_STATUS_AT, axis=1)
        rec.status[:, _NATIVE_AT] = status
        rec.stat[:, _NATIVE_AT] = np.where(status == 0, out.take(_STAT_AT, axis=1), np.nan)
        rec.extra = [NO_ENTRIES] * G
    for (s_g, s_i), d in rec.ls_df.items():
        rec.df[s_g, s_i] = d
    for i, spec in plan.native_more:
        _native_more(out, rec, i, spec, batch.options)
    if limits is not None:
        _apply_limits(batch, rec, limits)
    if batch.cov is not None:
        # Another covariance: the standard errors and hac_wald from it, and
        # the matrix in rec.extra[g]["cov"] for the report and Python tests.
        from Kalvoren import _robust

        _robust.apply(batch, rec)
    if plan.python or plan.refusable:
        _python_tests(batch, rec)
    if plan.no_slopes:
        least = 2 if batch.const_col >= 0 else 1  # the rank with one slope
        if rec.rank.item(0) < least if G == 1 else (rec.rank < least).any():
            # nothing to test without slopes
            for i, _spec in plan.no_slopes:
                for g in np.flatnonzero((rec.rank < least) & (rec.status[:, i] == 0)):
                    rec.status[g, i], rec.stat[g, i] = Status.BAD_ARG, math.nan
    if G == 1:
        d = out.item(0, _DIGITS)
        if math.isfinite(d) and d < DIGITS_MIN:
            own(rec.notes, 0)["digits"] = _digits_text(d, out.item(0, _COND))
        return rec
    digits = out[:, _DIGITS]
    for g in np.flatnonzero(np.isfinite(digits) & (digits < DIGITS_MIN)):
        own(rec.notes, g)["digits"] = _digits_text(digits[g], out[g, _COND])
    return rec


def _implicit_constant(batch: Batch, rec: Record) -> bool:
    """hac_wald of a design without a constant column whose columns hold the
    constant (a full set of dummies): its slopes are what the constant leaves,
    as with the constant written out, not every coefficient (which would test
    the level too). The same model with an explicit constant, by the
    least-squares route's Wald form."""
    j = _COL["hac_wald"]
    out = rec.out
    changed = False
    todo = np.flatnonzero(out[:, _STATUS[j]] == 0)
    if batch.bits & BY_ID["breusch_pagan"].bit:
        # The battery fitted [1, X] for Breusch-Pagan (either form: one bit,
        # one status) and refused it where the columns hold the constant: the
        # series it fitted need no look.
        b = _COL["breusch_pagan"]
        refused = rec.least_squares[todo][:, _BP_FORMS].any(axis=1)
        todo = todo[refused | (out[todo, _STATUS[b]] != 0)]
    cache: dict[str, list[int]] = {}
    for g in todo.tolist():
        kept = spanned_constant(batch, rec, g, cache)
        if kept is None:
            if batch.shared_x:
                return changed  # the constant is a direction of its own for every series
            continue  # every coefficient is a slope
        ys, Xs, _, _ = _scaled(batch, g)
        Z = np.column_stack([np.ones(Xs.shape[0]), Xs])
        fit = _lstsq.Fit.of(np.ascontiguousarray(Z[:, kept]), ys, 0)
        status, stat = _lstsq.hac_wald(fit, 0, int(batch.hac_lags[g]))
        out[g, _STATUS[j]], out[g, _STAT[j]] = status, stat if status == 0 else math.nan
        out[g, _HAC_DF] = len(kept) - 1
        changed = True
    return changed


def spanned_constant(
    batch: Batch, rec: Record, g: int, cache: dict[str, list[int]]
) -> list[int] | None:
    """The columns of [1, X] (series g) kept with the constant first, when X's
    columns hold the constant (no more of them than X's rank); None when the
    constant is a direction of its own. cache: a shared design's answer."""
    kept = cache.get("kept") if batch.shared_x else None
    if kept is None:
        _, Xs, _, _ = _scaled(batch, g)
        kept = _lstsq.independent_columns(np.column_stack([np.ones(Xs.shape[0]), Xs]), 0)
        if batch.shared_x:
            cache["kept"] = kept
    return kept if len(kept) <= int(rec.rank[g]) else None


def _native_more(
    out: np.ndarray, rec: Record, i: int, spec: _registry.TestSpec, options: dict[str, Any]
) -> None:
    """A native test's degrees of freedom and p-value from the record."""
    ok = rec.status[:, i] == 0
    if not ok.any():
        return
    for j, name in enumerate(spec.df_fields):
        if name:
            rec.df[:, i, j] = np.where(ok, out[:, FIELD[name]], np.nan)
    if spec.native_p is not None:
        with np.errstate(invalid="ignore"):
            p = spec.native_p(lambda name: out[:, FIELD[name]], options)
        rec.pvalue[:, i] = np.where(ok, p, np.nan)
    if spec.native_extra is not None:
        for g in np.flatnonzero(ok):
            own(rec.extra, g)[spec.id] = dict(spec.native_extra)


def _apply_limits(batch: Batch, rec: Record, lim: _options.Limits) -> None:
    """Series the options do not fit (too short, lags or break out of range)
    get the status diagnose would refuse them with, and a note saying why."""
    n, k = rec.out[:, _N], rec.out[:, _K]
    for mask, which, status, why in (
        (lim.too_short, None, Status.TOO_SHORT, "too few observations for k coefficients"),
        (lim.bad_lags, "lags", Status.BAD_LAG, "lags must be below n - k"),
        (lim.bad_break, "break_at", Status.BAD_ARG, "break_at leaves fewer than k + 1 rows"),
    ):
        for g in np.flatnonzero(mask):
            text = f"{why} (n = {int(n[g])}, k = {int(k[g])})"
            if which is None:  # the whole series
                own(rec.notes, g).setdefault("input", text)
            for i, spec in enumerate(TESTS):
                if spec.id in batch.tests and (which is None or which in spec.options):
                    rec.status[g, i], rec.stat[g, i] = status, math.nan
                    if which is not None:  # the tests the option concerns
                        own(rec.notes, g).setdefault(f"input:{spec.id}", text)


def _refused(rec: Record, g: int) -> bool:
    """Whether the kernels refused series g's design: its fit status, or the
    least-squares route's account of it (the route rewrites the status to 0)."""
    return rec.out[g, _FIT] == Status.FALLBACK or "model" in rec.notes[g]


class SeriesView:
    """One fitted series as a test computed in Python sees it: the data as
    given (y, X with the constant at const_col), the same data scaled by
    powers of two (ys, Xs: statistics do not depend on units), the fit of the
    columns kept (fit, e: residuals in scaled units) and the options."""

    def __init__(self, batch: Batch, rec: Record, g: int):
        self.batch, self.rec, self.g = batch, rec, g
        self.y, self.X = batch.series(g)
        self.n = self.y.shape[0]
        self.options = batch.options
        self.names = batch.names

    @functools.cached_property
    def _scaled(self) -> tuple[np.ndarray, np.ndarray, int, list[int]]:
        ys, Xs, _, _ = _scaled(self.batch, self.g)
        cc = self.batch.const_col
        if not _refused(self.rec, self.g):
            kept = list(range(Xs.shape[1]))
        else:
            kept = _lstsq.independent_columns(Xs, cc)
        Xk = np.ascontiguousarray(Xs[:, kept])
        const = kept.index(cc) if cc >= 0 else -1
        return ys, Xk, const, kept

    @property
    def ys(self) -> np.ndarray:
        return self._scaled[0]

    @property
    def Xs(self) -> np.ndarray:
        """The scaled design, collinear columns dropped."""
        return self._scaled[1]

    @property
    def const(self) -> int:
        """The constant's column in Xs, or -1."""
        return self._scaled[2]

    @property
    def kept(self) -> list[int]:
        return self._scaled[3]

    @functools.cached_property
    def fit(self) -> _lstsq.Fit:
        return _lstsq.Fit.of(self.Xs, self.ys, self.const)

    @property
    def e(self) -> np.ndarray:
        return self.fit.resid

    def option(self, name: str) -> Any:
        return self.options.get(name, _registry.OPTIONS[name].default)


def _python_tests(batch: Batch, rec: Record) -> None:
    """The chosen tests the native battery does not run, series by series, on
    the series whose fit succeeded."""
    todo = batch.plan.python
    # native tests with a Python form take it where the kernels refused
    # (a series' fit, or the test's own regressions)
    refusable = batch.plan.refusable
    if refusable:
        at = [i for i, _ in refusable]
        rows = np.flatnonzero((rec.status[:, at] == Status.FALLBACK).any(axis=1))
    else:
        rows = np.empty(0, dtype=np.intp)
    if not todo and not rows.size:
        return
    fit = rec.out[:, _FIT]
    for g in range(batch.G) if todo else (int(r) for r in rows):
        refused = [(i, spec) for i, spec in refusable if rec.status[g, i] == Status.FALLBACK]
        if fit[g] not in (0, Status.FALLBACK):  # the fit's own failure
            for i, _ in todo:
                rec.status[g, i] = fit[g]
            continue
        view = SeriesView(batch, rec, g)
        for i, spec in [*todo, *refused]:
            if rec.status[g, i] == rec.status[g, i] and (i, spec) not in refused:
                continue  # set by the limits
            if spec.residual_test and view.fit.exact:
                rec.status[g, i] = Status.UNDEFINED_VARIANCE
                continue
            assert spec.compute is not None  # every test in todo has one
            c = spec.compute(view)
            rec.status[g, i] = c.status
            if c.status == 0:
                rec.stat[g, i] = c.stat
                rec.df[g, i] = (c.df1, c.df2)
                rec.pvalue[g, i] = c.pvalue
            if c.extra is not None:
                own(rec.extra, g)[spec.id] = c.extra
            rec.least_squares[g, i] = _refused(rec, g)


def _digits_text(d: float, cond: float) -> str:
    return (
        f"the data determine this statistic to about {int(max(d, 0.0))} digits "
        f"(design condition {cond:.2g}); do not read it more finely"
    )


def _digits_note(rec: Record, g: int, tid: str, d: float) -> None:
    """A test whose own fits pin fewer digits than the whole design's."""
    if d < min(DIGITS_MIN, rec.out[g, _DIGITS]):
        own(rec.notes, g)[f"digits:{tid}"] = _digits_text(d, rec.out[g, _COND])


# ------------------------------------------------------- least-squares route


def _scaled(
    batch: Batch, g: int
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.intc], int]:
    """Series g scaled by exact powers of two, with the exponents."""
    y, X = batch.series(g)
    ex, ey = _lstsq.pow2_exponents(X), _lstsq.pow2_exponents(y)
    return _lstsq.scaled(y, ey), _lstsq.scaled(X, ex), ex, int(ey[0])


@dataclass
class _Series:
    """One series on the least-squares route: scaled data, the fit and the
    work the tests share (the recursion runs once for both CUSUMs)."""

    batch: Batch
    rec: Record
    g: int
    y: np.ndarray
    X: np.ndarray  # the columns fitted
    const: int  # the constant's column in X, or -1
    fit: _lstsq.Fit

    @property
    def n(self) -> int:
        return int(self.X.shape[0])

    @property
    def e(self) -> np.ndarray:
        return np.ascontiguousarray(self.fit.resid)

    @functools.cached_property
    def breusch_pagan(self) -> tuple[float, float, int] | None:
        """Both forms from one auxiliary regression and its rank (None: no
        variance)."""
        e = self.e
        if not np.mean(e * e) > 0:
            return None
        Xa = self.X if self.const >= 0 else np.column_stack([np.ones(self.n), self.X])
        return _lstsq.bp(e, Xa)

    @functools.cached_property
    def recursion(self) -> tuple[int, float, float, int, float]:
        status, c, sq, m, sure = _lstsq.cusum_pair(self.y, self.fit)
        self.rec.out[self.g, _M] = m
        return status, c, sq, m, sure


def _ls_bg(s: _Series) -> tuple[int, float]:
    L = s.batch.lags
    if L >= s.n:
        return Status.TOO_SHORT, math.nan
    rest = np.delete(s.X, s.const, axis=1) if s.const >= 0 else s.X
    return 0, _lstsq.bg(s.e, rest, L, ones=s.const >= 0)


def _ls_bp(which: int, tid: str) -> Callable[[_Series], tuple[int, float]]:
    i = _INDEX[tid]

    def test(s: _Series) -> tuple[int, float]:
        aux = s.breusch_pagan
        if aux is None:
            return Status.UNDEFINED_VARIANCE, math.nan
        # df: the auxiliary design's rank beside its constant, which a design
        # without a constant column may hold already (a full set of dummies)
        s.rec.ls_df[s.g, i] = (float(aux[2] - 1), math.nan)
        return 0, aux[which]

    return test


def _ls_chow(s: _Series) -> tuple[int, float]:
    t = int(s.batch.t_break[s.g])
    if not 1 <= t <= s.n - 1:
        return Status.BAD_ARG, math.nan
    F, df, status, sure = _lstsq.chow(s.y, s.X, t)
    s.rec.chow_df[s.g] = df
    _digits_note(s.rec, s.g, "chow", sure)
    return status, F


def _ls_cusum(which: int, tid: str) -> Callable[[_Series], tuple[int, float]]:
    def test(s: _Series) -> tuple[int, float]:
        r = s.recursion
        if r[0] == 0 and r[3] < 2:  # one recursive residual: both statistics are constants
            return Status.TOO_SHORT, math.nan
        _digits_note(s.rec, s.g, tid, r[4])
        return r[0], r[which]

    return test


def _ls_lb(s: _Series) -> tuple[int, float]:
    status, stat = _diag.lb_stat(s.e, s.batch.lags)
    return status, stat


def _ls_jb(s: _Series) -> tuple[int, float]:
    status, stat = _diag.jb_stat(s.e)
    return status, float(stat)


def _ls_hac(s: _Series) -> tuple[int, float]:
    return _lstsq.hac_wald(s.fit, s.const, int(s.batch.hac_lags[s.g]))


# The least-squares form of each test; the residual tests (LB, JB) need no
# regression and go through their kernels on the route's residuals.
LEAST_SQUARES: dict[str, Callable[[_Series], tuple[int, float]]] = {
    "breusch_godfrey": _ls_bg,
    "breusch_pagan": _ls_bp(0, "breusch_pagan"),
    "breusch_pagan_koenker": _ls_bp(1, "breusch_pagan_koenker"),
    "chow": _ls_chow,
    "cusum": _ls_cusum(1, "cusum"),
    "cusum_squares": _ls_cusum(2, "cusum_squares"),
    "ljung_box": _ls_lb,
    "jarque_bera": _ls_jb,
    "hac_wald": _ls_hac,
}


def recursive_residuals(batch: Batch, rec: Record, g: int) -> np.ndarray:
    """The recursive residuals behind series g's CUSUM statistics, from where
    those came: the kernel on the battery's equilibrated data (powers of two
    leave the bits as they are), or the least-squares route's rotations."""
    ys, Xs, _, _ = _scaled(batch, g)
    refused = _refused(rec, g)
    if not refused and not rec.least_squares[g, TEST_IDS.index("cusum")]:
        status, w = _diag.recursive_residuals(ys, Xs)
        if status == 0:
            return w
    cc = batch.const_col
    if refused:  # the columns the route kept
        kept = _lstsq.independent_columns(Xs, cc)
        Xs, cc = Xs[:, kept], (kept.index(cc) if cc >= 0 else -1)
    return _lstsq.recursive_residuals(ys, _lstsq.Fit.of(Xs, ys, cc).Q)[0]


def tests_least_squares(batch: Batch, rec: Record, g: int, which: np.ndarray) -> None:
    """Recompute the tests whose auxiliary regression the kernel refused."""
    ys, Xs, _, _ = _scaled(batch, g)
    s = _Series(batch, rec, g, ys, Xs, batch.const_col, _lstsq.Fit.of(Xs, ys, batch.const_col))
    ids = [TESTS[NATIVE[j]].id for j in np.flatnonzero(which)]
    _fill(s, [tid for tid in ids if tid in batch.tests])


def series_least_squares(batch: Batch, rec: Record, g: int) -> None:
    """The whole series by the least-squares route: numerical rank, collinear
    columns dropped, every regression statistic recomputed."""
    out = rec.out[g]
    ys, Xs, ex, ey = _scaled(batch, g)
    n, k = Xs.shape
    kept, margin = _lstsq.independent_columns_with_margin(Xs, batch.const_col)
    Xr = np.ascontiguousarray(Xs[:, kept])
    const_r = kept.index(batch.const_col) if batch.const_col >= 0 else -1
    fit = _lstsq.Fit.of(Xr, ys, const_r)
    e = fit.resid
    r = len(kept)
    rec.rank[g] = r
    out[FIELD["fit_status"]] = 0
    out[_K] = r
    rec.chow_df[g] = (r, n - 2 * r)
    rss = float(e @ e)
    yc = ys - ys.mean() if batch.const_col >= 0 else ys
    tss = float(yc @ yc)
    out[FIELD["rss"]] = np.ldexp(rss, 2 * ey)  # inf beyond the range, as the kernels
    out[FIELD["tss"]] = np.ldexp(tss, 2 * ey)
    out[FIELD["r2"]] = 1.0 - rss / tss if tss > 0 else math.nan
    cond = _lstsq.condition(Xr)
    if margin > _lstsq.AMBIGUOUS_UNITS * _lstsq.EPS:
        cond = max(cond, 1.0 / margin)  # a column dropped by the data's rounding
    out[_COND] = cond
    out[_DIGITS] = _lstsq.digits(cond, fit.size, rss)
    rec.beta[g] = np.nan
    rec.se[g] = np.nan
    rec.beta[g, kept] = np.ldexp(fit.beta, ey - ex[kept])
    lags = int(batch.hac_lags[g])
    if lags >= 0:  # the standard errors come with every battery, as the kernels'
        V = _lstsq.hac_cov(fit, lags)
        rec.se[g, kept] = np.ldexp(np.sqrt(np.diag(V)), ey - ex[kept])
    if "hac_wald" in batch.tests:
        out[FIELD["hac_df"]] = r - 1 if const_r >= 0 else r
        out[FIELD["hac_lags"]] = min(lags, n - 1)
    names = batch.names or [f"column {j}" for j in range(k)]
    dropped = [repr(names[j]) for j in range(k) if j not in kept]
    own(rec.notes, g)["model"] = f"rank {r} of {k}" + (
        f"; dropped as collinear: {', '.join(dropped)}"
        if dropped
        else "; too ill-conditioned for the kernels"
    )
    s = _Series(batch, rec, g, ys, Xr, const_r, fit)
    _fill(s, list(batch.tests))


def _fill(s: _Series, ids: list[str]) -> None:
    """Run the least-squares form of the given tests on series s."""
    out, g = s.rec.out[s.g], s.g
    exact = s.fit.exact
    status: int
    for tid in ids:
        if (
            tid not in _COL
            or tid not in LEAST_SQUARES
            or _registry.in_python(BY_ID[tid], s.batch.options)
        ):
            continue  # computed in Python anyway
        j = _COL[tid]
        if exact and BY_ID[tid].residual_test:
            # An exact fit: the residuals are rounding noise and say nothing.
            status, stat = Status.UNDEFINED_VARIANCE, math.nan
        else:
            status, stat = LEAST_SQUARES[tid](s)
        out[_STATUS[j]] = status
        out[_STAT[j]] = stat if status == 0 else math.nan
        s.rec.least_squares[g, TEST_IDS.index(tid)] = True


# ------------------------------------------------------------- finishing


@dataclass
class Results:
    """Everything a user reads, as (G, T) arrays (nested lists for one
    series; dense() makes arrays) in registry order: statistic, p-value,
    degrees of freedom (df2 only for F; NaN where a test has none), status,
    whether the least-squares route was taken, the table bound ("<", ">" or
    None) and the note ("" for most)."""

    stat: Any
    pvalue: Any
    df1: Any
    df2: Any
    status: Any
    least_squares: Any
    bound: Any
    note: Any
    alpha: float
    record: Record
    # series 0's TestResults by test id, when the one-series finish built
    # them as it went; None once a note is added (then results_of builds them)
    first: dict[str, TestResult] | None = None
    # the tests of the columns: every registered one, or (joined many-series
    # results) the chosen ones only
    ids: tuple[str, ...] = TEST_IDS
    # each series' condition number, where the record does not keep it
    condition: np.ndarray | None = None
    # whether each series has a note, where kept as notes are put (add_notes
    # keeps it up): finding them among G x T objects takes the frame longest
    noted: np.ndarray | None = None

    def dense(self) -> "Results":
        """The same results with every field a (G, T) array."""
        if isinstance(self.stat, np.ndarray):
            return self
        return Results(
            np.array(self.stat),
            np.array(self.pvalue),
            np.array(self.df1),
            np.array(self.df2),
            np.array(self.status, dtype=np.int64),
            np.array(self.least_squares, dtype=bool),
            np.array(self.bound, dtype=object),
            np.array(self.note, dtype=object),
            self.alpha,
            self.record,
            ids=self.ids,
            condition=self.condition,
            noted=self.noted,
        )

    def conditions(self) -> np.ndarray:
        """Each series' condition number."""
        if self.condition is not None:
            return self.condition
        return np.asarray(self.record.out)[:, FIELD["cond"]]

    def row(self, g: int) -> tuple[list[Any], ...]:
        """Series g as Python lists: stat, p, df1, df2, status, route, bound, note."""
        fields = (
            self.stat,
            self.pvalue,
            self.df1,
            self.df2,
            self.status,
            self.least_squares,
            self.bound,
            self.note,
        )
        return tuple(f[g].tolist() if isinstance(f, np.ndarray) else f[g] for f in fields)


_ROW_FIELDS = ("stat", "pvalue", "df1", "df2", "status", "least_squares", "bound", "note")
_BY_TEST = ("stat", "pvalue", "status", "least_squares")
_JOINED = tuple(name for name in _ROW_FIELDS if name != "bound")


class Joined:
    """Finished results of G series put together from runs of consecutive
    series (dense Results, each put once, in any order and from any thread):
    each run is copied into arrays made for all G when the first arrives.
    Only what the frames and caveats read is joined: the chosen tests'
    columns (not the table bounds: the notes carry them), the condition
    numbers, notes and references (the rest would be copied into fresh
    memory for nothing, at a page fault per 4 KiB)."""

    def __init__(self, G: int, tests: Sequence[str] = TEST_IDS, df: bool = True):
        self.G = G
        self.lock = threading.Lock()
        self.results: Results | None = None
        self.ids = tuple(t for t in TEST_IDS if t in tests)
        # the degrees of freedom only for the frames that show them (long)
        self.fields = _JOINED if df else tuple(f for f in _JOINED if f not in ("df1", "df2"))

    def _empty(self, part: Results) -> Results:
        G, T = self.G, len(self.ids)
        unread: Any = None  # not joined: the frames do not read it
        rec = Record(
            unread,
            unread,
            unread,
            unread,
            unread,
            unread,
            [NO_ENTRIES] * G,  # every entry is put
        )
        # the frame's columns test by test: each (G, T) array a transposed
        # view, so the frame takes its rows as they are
        e = {
            name: np.empty((T, G), getattr(part, name).dtype).T
            if name in _BY_TEST
            else np.empty((G, T), getattr(part, name).dtype)
            for name in self.fields
        }
        return Results(
            e["stat"],
            e["pvalue"],
            e.get("df1", unread),
            e.get("df2", unread),
            e["status"],
            e["least_squares"],
            unread,
            e["note"],
            part.alpha,
            rec,
            ids=self.ids,
            condition=np.empty(G),
            noted=np.empty(G, bool),
        )

    def put(self, lo: int, part: Results) -> None:
        with self.lock:
            if self.results is None:
                self.results = self._empty(part)
            whole = self.results
            whole.record.references.update(part.record.references)
        hi = lo + part.record.out.shape[0]
        # the part's columns are the chosen tests' already, or all of them
        cols: Any = slice(None) if part.ids == self.ids else list(map(part.ids.index, self.ids))
        for name in self.fields:
            getattr(whole, name)[lo:hi] = getattr(part, name)[:, cols]
        assert whole.condition is not None and whole.noted is not None
        whole.condition[lo:hi] = part.conditions()
        whole.noted[lo:hi] = (part.note[:, cols] != "").any(axis=1)
        r, w = part.record, whole.record
        w.notes[lo:hi] = r.notes


def _note(rec: Record, g: int, i: int, status: float, p: float, bound: str | None) -> str:
    nt = rec.notes[g]
    own = nt.get(f"input:{TEST_IDS[i]}", "")
    parts = [v for v in (nt.get("input", ""), own, nt.get("model", "")) if v]
    if status != status:
        parts.append("not run")
    elif status != 0:
        parts.append(f"status {int(status)}: {TESTS[i].text(int(status))}")
    elif rec.least_squares[g, i] and "model" not in nt:
        parts.append(
            "refused by the kernel (rank-deficient or ill-conditioned); least-squares route"
        )
    sure = nt.get(f"digits:{TEST_IDS[i]}") or nt.get("digits")
    if status == 0 and sure:
        parts.append(sure)
    if bound is not None:
        side = "below" if bound == "<" else "above"
        parts.append(f"p-value {side} the table's range ({p:.4g})")
    return "; ".join(parts)


def _fitted(batch: Batch, rec: Record, g: int | None) -> Fitted:
    """The degrees-of-freedom inputs of series g (floats), or of all (arrays)."""
    # arrays for all series, floats for one
    n: np.ndarray | float
    hac_df: np.ndarray | float
    rank: np.ndarray | float
    c1: np.ndarray | float
    c2: np.ndarray | float
    hl: np.ndarray | float
    if g is None:
        out, rank, chow = rec.out, rec.rank.astype(np.float64), rec.chow_df.astype(np.float64)
        n, hac_df = out[:, _N], out[:, FIELD["hac_df"]]
        c1, c2 = chow[:, 0], chow[:, 1]
        hl = out[:, FIELD["hac_lags"]]
    else:
        n, hac_df = float(rec.out[g, _N]), float(rec.out[g, FIELD["hac_df"]])
        rank, c1, c2 = float(rec.rank[g]), float(rec.chow_df[g, 0]), float(rec.chow_df[g, 1])
        hl = float(rec.out[g, FIELD["hac_lags"]])
    slopes = rank - 1.0 if batch.const_col >= 0 else rank
    f = Fitted(n, rank, slopes, float(batch.lags), hac_df, c1, c2, batch.options)
    f.hac_lags, f.robust = hl, batch.cov is not None
    _robust_fixedb(batch, rec, f, g)
    return f


def _robust_fixedb(batch: Batch, rec: Record, f: Fitted, g: int | None) -> None:
    """Another covariance whose HAC Wald statistic has the fixed-b law: its
    bandwidth (series g's, or all) and the factor undoing its adjustment."""
    if batch.cov is None or rec.cov_bw is None:
        return
    from Kalvoren import _robust

    choice = batch.cov.choice
    if _robust.fixed_b(choice):
        f.robust_fixedb = True
        f.hac_bw = rec.cov_bw if g is None else float(rec.cov_bw[g])
        if choice.adjusted:
            f.wald_scale = f.n / (f.n - f.rank)


def _recursions(rec: Record, g: int | None) -> Any:
    """m, the number of recursive residuals: from the record (CUSUM of
    squares writes it), else n - k."""
    out = rec.out
    if g is None:
        m = out[:, _M]
        m = np.where(np.isnan(m), out[:, _N] - out[:, _K], m)
        return np.where(np.isfinite(m), m, 0).astype(np.int64)
    return _recursions_one(out[g, _M], out[g, _N], out[g, _K])


def _recursions_one(m: float, n: float, k: float) -> float:
    m = n - k if m != m else m
    return float(m) if math.isfinite(m) else 0.0


def finish(batch: Batch, rec: Record, alpha: float) -> Results:
    """p-values, degrees of freedom, decisions and notes, vectorised over
    series; one series is finished element by element by the same functions
    (the same bits, at a fraction of the cost)."""
    if batch.G == 1:
        return _finish_one(batch, rec, alpha)
    out, G = rec.out, batch.G
    f = _fitted(batch, rec, None)
    n, m = out[:, _N], _recursions(rec, None)
    # the chosen tests' columns only (the frames and caveats read no others)
    cols = [i for i, t in enumerate(TESTS) if t.id in batch.tests]
    C = len(cols)
    status = rec.status  # the record's: a test left without degrees of freedom is marked there
    ok = status[:, cols] == 0
    stat = np.where(ok, rec.stat[:, cols], np.nan)
    df1, df2, p = rec.df[:, cols, 0], rec.df[:, cols, 1], rec.pvalue[:, cols]  # copies
    bound = np.empty((G, C), dtype=object)  # None throughout
    bounded = np.zeros((G, C), dtype=bool)  # where bound holds "<" or ">"
    for j, i in enumerate(cols):
        spec = TESTS[i]
        reference = spec.reference
        if spec.form is not None:
            stat[:, j], reference = spec.form(stat[:, j], f)
        rec.references[spec.id] = reference
        if spec.df is not None:  # degrees of freedom a computation gave stand
            d1, d2 = spec.df(f)
            own = ~np.isnan(df1[:, j])
            df1[:, j] = np.where(own, df1[:, j], d1)
            df2[:, j] = np.where(own, df2[:, j], d2)
        if reference != "given":
            pr, b = _pvalues.REFERENCES[reference][0](stat[:, j], df1[:, j], df2[:, j], n, m, f)
            own = ~np.isnan(p[:, j])  # a p-value a computation gave stands
            p[:, j] = np.where(own, p[:, j], pr)
            if b is not None:
                col = np.array(b, dtype=object)
                col[own] = None
                has = (col != None) & (col != "")  # noqa: E711
                col[~has] = None
                bound[:, j], bounded[:, j] = col, has
            if reference in _DF_REFERENCES:  # options that left no degrees of freedom
                none = ok[:, j] & np.isnan(p[:, j])
                if none.any():
                    status[none, i], ok[none, j], stat[none, j] = Status.BAD_ARG, False, np.nan
    p[~ok] = np.nan
    gone = bounded & ~ok
    if gone.any():
        bound[gone] = None
        bounded &= ok
    df1[~ok] = np.nan
    df2[~ok] = np.nan
    note = np.empty((G, C), dtype=object)
    note.fill("")  # np.full takes a slower path for objects
    has_note = np.zeros(G, dtype=bool)
    has_note[with_entries(rec.notes)] = True
    least_squares = rec.least_squares[:, cols]
    unusual = ~ok | least_squares | has_note[:, None] | bounded
    status = status[:, cols]
    for g, j in np.argwhere(unusual):
        note[g, j] = _note(rec, g, cols[j], status[g, j], p[g, j], bound[g, j])
    with np.errstate(invalid="ignore"):
        status_int = status.astype(np.int64)
    status_int[np.isnan(status)] = 0  # not run
    return Results(
        stat,
        p,
        df1,
        df2,
        status_int,
        least_squares,
        bound,
        note,
        alpha,
        rec,
        ids=tuple(TESTS[i].id for i in cols),
    )


def _finish_one(batch: Batch, rec: Record, alpha: float) -> Results:
    row = rec.out[0].tolist()
    n = row[_N]
    m = row[_M]
    m = n - row[_K] if m != m else m
    m = m if math.isfinite(m) else 0.0
    rank = float(rec.rank[0])
    c1, c2 = rec.chow_df[0].tolist()
    f = Fitted(
        n,
        rank,
        rank - 1.0 if batch.const_col >= 0 else rank,
        float(batch.lags),
        row[_HAC_DF],
        float(c1),
        float(c2),
        batch.options,
    )
    f.hac_lags, f.robust = row[_HAC_LAGS], batch.cov is not None
    _robust_fixedb(batch, rec, f, 0)
    status, stat, df1, df2, p = rec.block[:, 0].tolist()
    bound: list[Any] = [None] * T
    notes = rec.notes[0]
    ls = rec.least_squares[0].tolist()
    note = [""] * T
    for i, spec, pvalue_of in batch.plan.finish:
        ok = status[i] == 0
        if ok:
            reference = spec.reference
            if spec.form is not None:
                stat[i], reference = spec.form(stat[i], f)
                stat[i] = float(stat[i])
                pvalue_of = None if reference == "given" else _pvalues.REFERENCES[reference][1]
            rec.references[spec.id] = reference
            if spec.df is not None and df1[i] != df1[i]:  # given degrees of freedom stand
                d1, d2 = spec.df(f)
                df1[i], df2[i] = float(d1), float(d2)
            if pvalue_of is not None and p[i] != p[i]:  # a given p-value stands
                p[i], bound[i] = pvalue_of(stat[i], df1[i], df2[i], n, m, f)
                if p[i] != p[i] and reference in _DF_REFERENCES:  # no degrees of freedom left
                    ok, status[i] = False, float(Status.BAD_ARG)
        if not ok:
            stat[i] = df1[i] = df2[i] = p[i] = math.nan
        if not ok or ls[i] or notes or bound[i] is not None:
            note[i] = _note(rec, 0, i, status[i], p[i], bound[i])
    for i in range(T):  # tests not chosen: no statistic
        if status[i] != 0:
            stat[i] = math.nan
    st = [int(v) if v == v else 0 for v in status]
    return Results([stat], [p], [df1], [df2], [st], [ls], [bound], [note], alpha, rec)


@dataclass(frozen=True)
class _Shape:
    """What the one-series finish of a plan needs besides the record row, for
    one design shape (n, k, lags, bandwidth): per chosen test its form,
    reference and p-value function at that shape's degrees of freedom, held
    natively (_batch.finish_plan); the finished df; the references; the
    record's per-shape arrays (read-only: every report of the shape shares
    them)."""

    plan: Plan
    lags: int
    with_constant: bool
    native: Any
    df1: tuple[float, ...]
    df2: tuple[float, ...]
    references: dict[str, str]
    rank: np.ndarray
    chow_df: np.ndarray
    least_squares: np.ndarray


_SHAPES: dict[tuple[Any, ...], _Shape] = {}
# what a clean finish has in every test: the kernels' route, no bound (read-only)
_NO_ROUTE, _NO_BOUND = (False,) * T, (None,) * T
_NAN_BLOCK = np.full((5, T), math.nan)


def _frozen(a: np.ndarray) -> np.ndarray:
    a.flags.writeable = False
    return a


def _tails() -> tuple[Any, ...] | None:
    """SciPy's chdtrc, fdtrc, ndtr and log1p for native calls, when this
    SciPy has them all with the signatures finish_plan takes (else the Python
    functions serve)."""
    tails = _pvalues.TAIL_CAPSULES
    try:
        _batch.finish_plan(T, len(FIELD), (), (), tails, TestResult, (), ())
    except (ValueError, TypeError):
        return None
    return tails if None not in tails else None


_TAILS = _tails()


def _shape_of(batch: Batch, row: list[float]) -> _Shape | None:
    plan = batch.plan
    n, k1 = row[_N], row[_K]
    slopes = k1 - 1.0 if batch.const_col >= 0 else k1
    if slopes < 1 and plan.no_slopes:
        return None
    m_row, hac_df, hac_lags = row[_M], row[_HAC_DF], row[_HAC_LAGS]
    m = _recursions_one(m_row, n, k1)
    # the record's own values (finish_one checks them), NaN keyed as None
    key = (
        id(plan),
        n,
        k1,
        slopes,
        batch.lags,
        hac_df if hac_df == hac_df else None,
        hac_lags if hac_lags == hac_lags else None,
        m_row if m_row == m_row else None,
    )
    shape = _SHAPES.get(key)
    if shape is not None and shape.plan is plan:
        return shape
    f = Fitted(n, k1, slopes, float(batch.lags), row[_HAC_DF], k1, n - 2 * k1, batch.options)
    f.hac_lags = row[_HAC_LAGS]
    df1, df2 = [math.nan] * T, [math.nan] * T
    steps: list[tuple[Any, ...]] = []
    references = {}
    for i, spec, _ in plan.finish:
        if spec.df is not None:
            d1, d2 = spec.df(f)
            df1[i], df2[i] = float(d1), float(d2)
        reference, form = spec.reference, spec.form
        if form is not None:  # its reference follows the options alone
            reference = form(math.nan, f)[1]
            if spec.form_keeps is not None and spec.form_keeps(f):
                form = None  # nothing to call per series
        references[spec.id] = reference
        # the p-value natively where bind_one's function is SciPy's or a table's
        kind = _pvalues.tail_kind(reference, df1[i], df2[i])
        table: Any = ()
        z: Any = ()
        lr: Any = None
        if kind == 0:
            kind, table, z, lr = _pvalues.table_of(reference, n, m)
        if kind == 0 and (law := _pvalues.fixedb_of(reference, df1[i], n, f)) is not None:
            kind, table = 6, law  # fdtrc(d1, K, (W / divisor) mu1 / qe)
        bound = None
        if reference == "given":
            kind = 0
        elif kind == 0 or _TAILS is None:
            bound, kind = _pvalues.bind_one(reference, df1[i], df2[i], n, m, f), 3
        shown = df_shown(df1[i], df2[i])
        steps.append(
            (i, spec.id, form, f, reference, kind, df1[i], df2[i], bound, shown)
            + (tuple(table), tuple(z), None if lr is None else tuple(lr))
        )
    tails = _TAILS or (None,) * 4
    fields = ((_FIT, 0.0), (_N, n), (_K, k1), (_M, m_row), (_HAC_DF, hac_df), (_HAC_LAGS, hac_lags))
    native = _batch.finish_plan(
        T,
        len(FIELD),
        _NATIVE_COLS,
        tuple(steps),
        tails,
        TestResult,
        fields,
        ((_DIGITS, DIGITS_MIN),),
    )
    if len(_SHAPES) >= 256:
        _SHAPES.clear()
    _SHAPES[key] = shape = _Shape(
        plan,
        batch.lags,
        batch.const_col >= 0,
        native,
        tuple(df1),
        tuple(df2),
        references,
        _frozen(np.array([k1])),
        _frozen(np.array([[k1, n - 2 * k1]])),
        _frozen(np.zeros((1, T), bool)),
    )
    return shape


def clean_results(parts: tuple[Any, ...], alpha: float) -> Results:
    """The Results of what finish_clean_parts gave."""
    rec, first, stat, p, status, shape = parts
    return Results(
        [stat],
        [p],
        [shape.df1],
        [shape.df2],
        [status],
        [_NO_ROUTE],
        [_NO_BOUND],
        [[""] * T],
        alpha,
        rec,
        first,
    )


def finish_clean_parts(
    batch: Batch, res: tuple[np.ndarray, ...], alpha: float, known: list[Any] | None = None
) -> tuple[Any, ...] | None:
    """One series finished straight from the native record, when nothing in
    it needs more: every chosen test native and computed (status 0) on the
    kernels' fit, the digits sure, each p-value inside its reference's range,
    no covariance of another kind. None sends the series the general way
    (run, then finish), which gives the same numbers here at several times
    the cost. known: a holder of the shape a call like this one had, tried
    first (the native finish checks the record is of that shape) and then
    set to this one's. Returns the record, the TestResults by id, the rows
    of statistics, p-values and statuses, and the shape."""
    if not batch.plan.quick or batch.cov is not None or len(res) != 3:
        return None
    if batch.const_col < 0 and "hac_wald" in batch.tests:
        return None  # a constant the columns may hold: see _implicit_constant
    out, beta, se = res
    shape = None if known is None else known[0]
    got: Any = False
    rows = _NAN_BLOCK.copy()  # the record's block, (5, T) for the native finish
    if (
        shape is not None
        and shape.plan is batch.plan
        and shape.lags == batch.lags
        and shape.with_constant == (batch.const_col >= 0)
    ):
        got = _batch.finish_one(out, shape.native, alpha, rows)
    if got is False:
        row = out[0].tolist()
        if row[_FIT] != 0 or not row[_DIGITS] >= DIGITS_MIN:
            return None
        shape = _shape_of(batch, row)
        if shape is None:
            return None
        got = _batch.finish_one(out, shape.native, alpha, rows)
        if known is not None:
            known[0] = shape
    if not got:
        return None
    assert shape is not None
    stat, p, status, first = got
    # the record keeps what the battery gave; the finished numbers go to Results
    rec = Record(
        out,
        beta,
        se,
        shape.rank,
        shape.chow_df,
        shape.least_squares,
        [{}],
        [{}],
        None,
        None,
        None,
        None,
        shape.references.copy(),
        rows.reshape(5, 1, T),
        {},
    )
    return rec, first, stat, p, status, shape
