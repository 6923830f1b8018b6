"""diagnose's one-series finish in native code: its table p-values against the
Python functions they stand for (bit for bit), the finish without SciPy's
C functions, and hostile plans."""

import dataclasses
import math
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import Kalvoren
from Kalvoren import _cusum_null, _engine, _pvalues
from Kalvoren._ckernels.diag import _batch as B
from Kalvoren._results import TestResult

_CUSUM = _engine.TEST_IDS.index("cusum")
_I, _STATUS, _STAT = next(c for c in _engine._NATIVE_COLS if c[0] == _CUSUM)


def _p(kind: int, row: list, z: list, lr, x: float) -> tuple[float, bool]:
    """finish_one's p-value of statistic x under one table step (nan, True at the edges)."""
    step = (_I, "cusum", None, None, "cusum", kind, math.nan, math.nan, None, None)
    plan = B.finish_plan(
        _engine.T,
        len(_engine.FIELD),
        _engine._NATIVE_COLS,
        (step + (tuple(row), tuple(z), None if lr is None else tuple(lr)),),
        _pvalues.TAIL_CAPSULES,
        TestResult,
        (),
        (),
    )
    out = np.full((1, len(_engine.FIELD)), math.nan)
    out[0, _STATUS], out[0, _STAT] = 0.0, x
    got = B.finish_one(out, plan, 0.05, np.full((5, _engine.T), math.nan))
    return (math.nan, True) if got is None else (got[1][_I], False)


def _rows():
    for kind in ("cusum", "cusumsq"):
        for m in (2, 7, 40, 333):
            row, z = _cusum_null.table_row(kind, float(m))
            yield 4, row, z, None, lambda s, row=row: _cusum_null._row_sf(row, s)
    for n in (10, 23, 150, 5000, 10**6):
        _, cv, z, lr = _pvalues.table_of("jb", float(n), 0.0)
        yield 5, cv, z, lr, lambda s, r=(cv, lr): _pvalues._jb_sf_row(r, s)


ROWS = list(_rows())


@settings(max_examples=200, deadline=None)
@given(which=st.integers(0, len(ROWS) - 1), u=st.floats(-0.1, 1.1), at=st.integers(-1, 30))
def test_table_pvalues_are_the_python_functions_bit_for_bit(which, u, at):
    kind, row, z, lr, python = ROWS[which]
    # inside, on the grid's own values (ties of bisect), and beyond either edge
    x = row[at] if 0 <= at < len(row) else row[0] + u * (row[-1] - row[0])
    want, bound = python(x)
    got, edge = _p(kind, row, z, lr, x)
    assert edge == (bound is not None)
    if not edge:
        assert got == want or (math.isnan(got) and math.isnan(want)), (x, got, want)


def test_the_finish_without_scipys_c_functions_gives_the_same_report(monkeypatch):
    rng = np.random.default_rng(3)
    X = rng.normal(size=(150, 2))
    y = X @ [1.0, -1.0] + rng.standard_t(5, size=150)
    kw = {"hac_pvalue": "chi2", "tests": [*Kalvoren.DEFAULT_TESTS]}
    native = Kalvoren.diagnose(y, X, **kw).to_json()
    monkeypatch.setattr(_engine, "_TAILS", None)
    _engine._SHAPES.clear()
    try:
        assert Kalvoren.diagnose(y, X, **kw).to_json() == native
    finally:
        _engine._SHAPES.clear()


_OUT = np.zeros((1, len(_engine.FIELD)))
_BLOCK = np.full((5, _engine.T), math.nan)
_T, _NF, _COLS = _engine.T, len(_engine.FIELD), _engine._NATIVE_COLS
_TAILS = _pvalues.TAIL_CAPSULES
_STEP = (0, "x", None, None, "chi2", 1, 2.0, math.nan, None, 2, (), (), None)


def P(native=(), steps=(), tails=_TAILS, make=TestResult, key=(), least=(), T=_T):
    return B.finish_plan(T, _NF, native, steps, tails, make, key, least)


@pytest.mark.parametrize(
    "call, exc, match",
    [
        (lambda: P(T=0), ValueError, "1..4096"),
        (lambda: P(((0, _NF, 0),)), ValueError, "range"),
        (lambda: P(((0, 1),)), ValueError, "native"),
        (lambda: P(_COLS, (_STEP[:9],)), ValueError, "step"),
        (lambda: P(_COLS, ((_T,) + _STEP[1:],)), ValueError, "range"),
        (lambda: P(_COLS, (_STEP,), (None,) * 4), ValueError, "missing"),
        (lambda: P(_COLS, (_STEP,), (_TAILS[1],) * 4), ValueError, "signature"),
        (lambda: P(_COLS, (_STEP,), _TAILS[:3]), ValueError, "tails"),
        (lambda: P(_COLS, (_STEP[:5] + (4,) + _STEP[6:10] + ((1.0,), (0.0,), None),)), ValueError, "fit"),
        (lambda: P(_COLS, (_STEP[:10] + (("a",), (), None),)), TypeError, "real number"),
        (lambda: P(_COLS, (_STEP[:5] + (6,) + _STEP[6:10] + ((1.0,), (), None),)), ValueError, "five"),
        (lambda: P(make=3), ValueError, "callable"),
        (lambda: P(key=((_NF, 0.0),)), ValueError, "range"),
        (lambda: P(least=((0,),)), ValueError, "field, value"),
        (lambda: B.finish_one(_OUT, object(), 0.05, _BLOCK), TypeError, "finish_plan"),
        (lambda: B.finish_one(_OUT[:, :3], P(), 0.05, _BLOCK), ValueError, "fields"),
        (lambda: B.finish_one(_OUT.astype(np.float32), P(), 0.05, _BLOCK), ValueError, "dtype"),
        (lambda: B.finish_one(_OUT, P(), 0.05, _BLOCK[:1]), ValueError, "block must have 2"),
        (lambda: B.finish_one(_OUT, P(), 0.05, _BLOCK[:, :3].copy()), ValueError, "block"),
        (lambda: B.finish_one(_OUT, P(), 0.05, np.ones(3)), ValueError, "dimensions"),
    ],
)  # fmt: skip
def test_hostile_plans_are_refused(call, exc, match):
    with pytest.raises(exc, match=match):
        call()


@dataclasses.dataclass(slots=True)
class _Checked(TestResult):
    """A result type whose __init__ does more than store: it must be called."""

    def __post_init__(self):
        self.note = "checked"


def test_results_are_made_as_their_type_makes_them():
    out = np.zeros((1, _NF))
    made = [
        B.finish_one(out, P(_COLS, (_STEP,), make=m), 0.05, _BLOCK.copy())[3]["x"]
        for m in (TestResult, _Checked)
    ]
    assert type(made[0]) is TestResult and made[1].note == "checked"
    made[1].note = ""
    assert repr(dataclasses.astuple(made[0])) == repr(dataclasses.astuple(made[1]))


@pytest.mark.parametrize(
    "key, least, fits",
    [
        (((1, 0.0), (2, math.nan)), ((3, -1.0),), True),
        (((1, 1.0),), (), False),  # another value
        (((2, 0.0),), (), False),  # NaN matches only NaN
        ((), ((2, 0.0),), False),  # NaN is below any least value
        ((), ((3, 0.5),), False),
    ],
)
def test_a_row_of_another_shape_is_told_apart(key, least, fits):
    out = np.zeros((1, _NF))
    out[0, 2] = math.nan
    got = B.finish_one(out, P(key=key, least=least), 0.05, _BLOCK.copy())
    assert (got is not False) == fits


def test_no_references_are_lost_or_kept():
    """Success, not-clean, other-shape and raising paths, many times: the
    plan's objects and the inputs keep their reference counts."""

    def form(x, f):
        if f == "raise":
            raise ZeroDivisionError
        return x * 2.0, "chi2"

    def pvalue(x):
        return 0.5, None

    df, fitted = (2, 7), object()
    step = (0, "x", form, fitted, "chi2", 3, 2.0, 7.0, pvalue, df, (), (), None)
    bad = (0, "x", form, "raise", "chi2", 3, 2.0, 7.0, pvalue, df, (), (), None)
    plans = {"ok": P(_COLS, (step,)), "raises": P(_COLS, (bad,)), "shape": P(key=((1, 5.0),))}
    ok, not_run = np.zeros((1, _NF)), np.full((1, _NF), math.nan)
    watched = [form, pvalue, df, fitted, ok, not_run, _BLOCK, *plans.values()]
    before = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    got = []
    for _ in range(2000):
        got.append(B.finish_one(ok, plans["ok"], 0.05, _BLOCK.copy())[3]["x"].statistic)
        got.append(B.finish_one(not_run, plans["ok"], 0.05, _BLOCK.copy()))
        got.append(B.finish_one(ok, plans["shape"], 0.05, _BLOCK))
        try:
            B.finish_one(ok, plans["raises"], 0.05, _BLOCK.copy())
        except ZeroDivisionError:
            got.append(ZeroDivisionError)
    assert got[-4:] == [0.0, None, False, ZeroDivisionError]
    del got
    assert [sys.getrefcount(o) for o in watched] == before
    assert sys.getallocatedblocks() - blocks < 500  # an object kept per call would be 2000


@pytest.mark.parametrize("n, k, lags", [(200, 3, None), (40, 2, 39), (500, 4, 80), (25, 1, 0)])
def test_fixed_b_p_values_are_the_python_laws(n, k, lags):
    from Kalvoren import _fixedb

    r = np.random.default_rng(n)
    X = r.normal(size=(n, k))
    rep = Kalvoren.diagnose(X.sum(1) + r.normal(size=n), X, tests=["hac_wald"], hac_lags=lags)
    t = rep.tests["hac_wald"]
    assert t.route == "kernel" and t.reference == "fixedb"
    assert t.pvalue == _fixedb.hac_wald_pvalue_one(t.statistic, t.df, rep.hac_lags, n)


@pytest.mark.parametrize(
    "tid, options",
    [
        ("breusch_godfrey", {}),
        ("breusch_godfrey", {"bg_form": "f"}),
        ("hac_wald", {}),
        ("hac_wald", {"hac_pvalue": "chi2"}),
    ],
)
def test_a_form_said_to_keep_the_statistic_keeps_it(tid, options):
    """The finish calls no form that keeps the statistic: the registry's word
    for it must be the form's."""
    from Kalvoren._registry import BY_ID, Fitted

    spec = BY_ID[tid]
    f = Fitted(200.0, 3.0, 2.0, 4.0, 2.0, 3.0, 194.0, options)
    keeps = spec.form_keeps(f)
    assert keeps == all(spec.form(x, f)[0] == x for x in (1.5, 37.25, 150.0))
