"""Hostile input for all 24 functions: random shapes (empty, mismatched,
large), dtypes and containers, special values, odd integer and float
parameters, positional/keyword mixes. A call either returns its documented
result shape with a documented status, or raises one of the documented
exception kinds with a message; it never crashes, hangs or leaks a C++
exception. KVR_FUZZ_EXAMPLES scales the example budget per function."""

import faulthandler
import os
import warnings
from fractions import Fraction

import numpy as np
import pytest
from functions import FUNCTIONS, I32, I64, A
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from Kalvoren._ckernels.diag import _diag

EXAMPLES = int(os.environ.get("KVR_FUZZ_EXAMPLES", "40"))
FUZZ = settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    derandomize=not os.environ.get("KVR_FUZZ_RANDOM"),
    suppress_health_check=list(HealthCheck),
)

STATUSES = {0, 1, -1001, -1002, -1003, -1004, -1005, -1007}
ALLOWED = (TypeError, ValueError, OverflowError, MemoryError)

SPECIAL = np.array(
    [
        np.nan,
        np.inf,
        -np.inf,
        1e308,
        -1e308,
        5e-324,
        -5e-324,
        2.2e-308,
        0.0,
        -0.0,
        1.0,
        -1.0,
        1e-300,
        1e300,
    ]
)


# ------------------------------------------------------------------ values


class IntReturnsFloat:
    def __int__(self):
        return 3.5


class IntReturnsBool:  # a strict int subclass: DeprecationWarning, then used
    def __int__(self):
        return True


class IntRaises:
    def __int__(self):
        raise ValueError("no integer here")


class IntHuge:
    def __int__(self):
        return 2**70


class IndexOnly:
    def __index__(self):
        return 2


class FloatReturnsStr:
    def __float__(self):
        return "x"


class FloatFine:
    def __float__(self):
        return 0.25


class ShapeLies:  # an array-like whose shape disagrees with its data
    def __init__(self, data, shape):
        self._data, self.shape = data, shape

    def __array__(self, dtype=None, copy=None):
        return np.asarray(self._data, dtype=dtype)


INT_EDGES = [
    0,
    1,
    -1,
    2,
    -2,
    2**31 - 1,
    2**31,
    -(2**31) - 1,
    2**62,
    2**63 - 1,
    -(2**63),
    2**63,
    -(2**63) - 1,
    2**64,
    10**30,
    -(10**30),
]

int_params = st.one_of(
    st.integers(-3, 12),
    st.integers(-3, 12),
    st.integers(-3, 12),
    st.integers(0, 100),
    st.sampled_from(INT_EDGES),
    st.sampled_from(INT_EDGES).map(
        lambda v: np.int64(v) if -(2**63) <= v < 2**63 else np.uint64(v % 2**64)
    ),
    st.sampled_from(
        [np.int8(3), np.uint64(2**64 - 1), np.int32(-5), np.bool_(True), np.float32(2.5)]
    ),
    st.sampled_from(
        [3.9, -0.5, 1e300, -1e300, float("nan"), float("inf"), True, False, Fraction(7, 2)]
    ),
    st.sampled_from(
        [
            IntReturnsFloat(),
            IntReturnsBool(),
            IntRaises(),
            IntHuge(),
            IndexOnly(),
            None,
            "3",
            1 + 2j,
            [1],
            np.array([2]),
        ]
    ),
)


def _allocatable_giant(v):
    """An int that a 64-bit np.empty would grant (GBs of memory) yet no test wants."""
    try:
        return 2**24 < abs(int(v)) < 2**41
    except Exception:
        return False


# acorr's output has L + 1 entries: a length in the gigabytes would be granted
# by the OS and filled, which is legal but not a test of anything.
length_params = int_params.filter(lambda v: not _allocatable_giant(v))

float_params = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from(list(SPECIAL)),
    st.sampled_from(
        [
            0,
            7,
            -3,
            10**400,
            True,
            np.float32(1.5),
            np.int64(4),
            np.float64(0.05),
            FloatFine(),
            FloatReturnsStr(),
            IndexOnly(),
            None,
            "0.1",
            1j,
            [0.5],
        ]
    ),
)

DTYPES = [np.float64] * 6 + [
    np.float32,
    np.int64,
    np.int8,
    np.uint64,
    np.bool_,
    np.complex128,
    np.float16,
    object,
]


@st.composite
def arrays(draw, shape):
    """An array-like that usually is, and often is not, what `shape` asks for."""
    shape = list(shape)
    mutate = draw(st.integers(0, 9))
    if mutate == 0:  # wrong number of dimensions
        shape = draw(st.lists(st.integers(0, 4), min_size=0, max_size=3))
    elif mutate == 1:  # one dimension off
        if shape:
            i = draw(st.integers(0, len(shape) - 1))
            shape[i] = max(0, shape[i] + draw(st.sampled_from([-2, -1, 1, 3])))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    data = rng.standard_normal(shape)
    special = draw(st.sampled_from([0.0, 0.0, 0.0, 0.1, 0.5, 1.0]))
    if special and data.size:
        hit = rng.random(shape) < special
        data[hit] = rng.choice(SPECIAL, size=int(hit.sum()))
    if draw(st.integers(0, 5)) == 0 and data.size:  # constant, integral or huge values
        data = np.full(shape, draw(st.sampled_from(list(SPECIAL) + [3.0])))
    if draw(st.integers(0, 7)) == 0:
        data = np.sort(data.ravel()).reshape(shape)

    dtype = draw(st.sampled_from(DTYPES))
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        a = data.astype(dtype)
    form = draw(st.integers(0, 14))
    if form == 0:
        return a.tolist()
    if form == 1:
        return tuple(a.tolist()) if a.ndim else a.item()
    if form == 2 and a.ndim >= 1:  # non-contiguous view of the same values
        big = np.repeat(a, 2, axis=-1)
        return big[..., ::2]
    if form == 3 and a.ndim == 2:
        return np.asfortranarray(a)
    if form == 4:
        a.flags.writeable = False
        return a
    if form == 5:
        return draw(
            st.sampled_from(
                [
                    None,
                    "abc",
                    1.5,
                    7,
                    {},
                    [[1.0, 2.0], [3.0]],
                    object(),
                    np.float64(2.0),
                    np.array(3.0),
                    b"\x00" * 8,
                ]
            )
        )
    if form == 6 and a.ndim >= 1:  # negative strides
        return a[::-1]
    if form == 7:
        return ShapeLies(a, tuple(draw(st.lists(st.integers(-3, 5), max_size=2))))
    return a


# ------------------------------------------------------------------ table

# name: (parameters as (name, kind, intended shape), result check)
FUNCS = {fn.name: (fn.params, fn.result) for fn in FUNCTIONS}


def test_table_covers_the_module():
    names = {n for n in dir(_diag) if callable(getattr(_diag, n)) and not n.startswith("_")}
    assert set(FUNCS) == names - {"np"}


@st.composite
def calls(draw, name):
    params, _ = FUNCS[name]
    n = draw(st.one_of(st.integers(0, 9), st.integers(0, 9), st.integers(10, 80)))
    k = draw(st.one_of(st.integers(0, 4), st.integers(0, 4), st.integers(5, 12)))
    shapes = {
        "n": (n,),
        "nk": (n, k),
        "k": (k,),
        "kk": (k, k),
        "any": tuple(draw(st.lists(st.integers(0, 5), max_size=3))),
    }
    values = []
    for pname, kind, shape in params:
        if kind == A:
            values.append(draw(arrays(shapes[shape])))
        elif kind in (I64, I32):
            values.append(draw(length_params if name == "acorr" else int_params))
        else:
            values.append(draw(float_params))
    # The first `split` arguments by position, the rest by keyword in any order.
    split = draw(st.integers(0, len(params)))
    args = values[:split]
    kwargs = {p[0]: v for p, v in zip(params[split:], values[split:])}
    kwargs = dict(draw(st.permutations(list(kwargs.items()))))
    mistake = draw(st.integers(0, 29))
    expect_type_error = True
    if mistake == 0:
        args = args + [0.0] * (len(params) + 1 - len(args))  # too many
    elif mistake == 1 and kwargs:
        kwargs.pop(next(iter(kwargs)))  # one missing
    elif mistake == 2:
        kwargs["bogus"] = 1
    elif mistake == 3 and args:
        kwargs[params[0][0]] = values[0]  # given twice
    else:
        expect_type_error = False
    return args, kwargs, values, expect_type_error


def _conv(a):
    return np.ascontiguousarray(a, dtype=np.float64)


def check_result(name, values, r):
    params, kind = FUNCS[name]
    if kind == "np_float":
        assert type(r) is np.float64
        return
    if kind in ("like0", "like1"):
        src = _conv(values[int(kind[-1])])
        assert type(r) is np.ndarray and r.dtype == np.float64 and r.shape == src.shape
        assert r.flags.c_contiguous and r.flags.writeable
        return
    if kind == "hilo":
        lo, hi = r
        m = _conv(values[1]).shape[0]
        assert type(lo) is int and type(hi) is int
        assert 0 <= lo <= hi <= max(m - 1, 0), (lo, hi, m)
        assert hi - lo <= 1
        return
    if kind in ("pp", "p", "np_"):
        x = _conv(values[0])
        n, p = x.shape
        want = {"pp": (p, p), "p": (p,), "np_": (n, p)}[kind]
        assert type(r) is np.ndarray and r.dtype == np.float64 and r.shape == want
        return
    assert type(r) is tuple and len(r) == len(kind)
    status = r[0]
    assert type(status) is int and status in STATUSES, status
    for item, what in zip(r[1:], kind[1:]):
        if what == "float":
            assert type(item) is float
        elif what == "np_float":
            assert type(item) is np.float64
        elif what == "int":
            assert type(item) is int
        else:
            assert type(item) is np.ndarray and item.dtype == np.float64
            if what == "rec":
                X = _conv(values[1])
                assert item.shape == (max(X.shape[0] - X.shape[1], 0),)
            elif what == "acorr":
                L = int(values[1]) if not isinstance(values[1], IntReturnsBool) else 1
                assert item.shape == (L + 1,)
            elif what == "nq":
                n, p = _conv(values[0]).shape
                assert item.shape == (n, p * (p + 1) // 2)
            elif what == "q":
                p = _conv(values[0]).shape[0]
                assert item.shape == (p * (p + 1) // 2,)


@pytest.fixture(autouse=True)
def _watchdog():
    # A hang becomes a failure with every thread's traceback instead of a stuck run.
    faulthandler.dump_traceback_later(600, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.mark.parametrize("name", sorted(FUNCS))
def test_hostile_calls(name):
    func = getattr(_diag, name)

    @FUZZ
    @given(calls(name))
    def run(call):
        args, kwargs, values, expect_type_error = call
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            try:
                r = func(*args, **kwargs)
            except ALLOWED as e:
                assert str(e), f"{type(e).__name__} without a message"
                return
            except (AttributeError, IndexError) as e:
                # p is read from mean.shape[0] as given: a list has no shape,
                # a 0-d array an empty one.
                assert name == "wald_stat_from_mean_and_cov" and str(e)
                return
            assert not expect_type_error, "a binding mistake was accepted"
            check_result(name, values, r)

    run()


# ------------------------------------------- extreme finite values, status 0

# Finite magnitudes whose squares or fourth powers leave double's normal range.
EXTREMES = [5e-324, 1e-320, 1e-310, 1e-300, 1e-160, 1e-100, 1.0, 1e100, 1e160, 1e300]


@st.composite
def extreme_values(draw, shape):
    """Finite values at extreme scales: per column, per element, or zeros with a
    few extreme entries."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    form = draw(st.integers(0, 3))
    scale = rng.choice(EXTREMES, size=shape if form == 1 else shape[-1:])
    v = rng.standard_normal(shape) * scale
    if form == 2:
        v = np.where(rng.random(shape) < 0.2, v, 0.0)
    if form == 3:  # a level with a tiny wobble
        v = draw(st.sampled_from(EXTREMES)) + v
    return v


@st.composite
def designs(draw, n):
    """[1, t], a constant with extreme columns, or extreme columns alone."""
    form = draw(st.integers(0, 2))
    t = np.arange(float(n))
    k = draw(st.integers(1, 3))
    if form == 0:
        return np.column_stack([np.ones(n), t][:k])
    X = draw(extreme_values((n, k)))
    if form == 1:
        X[:, 0] = draw(st.sampled_from(EXTREMES))
    return X


STAT_CALLS = {
    "bg_stat": lambda y, X: _diag.bg_stat(y, X, 2),
    "bp_aux": lambda y, X: _diag.bp_aux(y, X),
    "chow_stat": lambda y, X: _diag.chow_stat(y, X, len(y) // 2),
    "recursive_residuals": _diag.recursive_residuals,
    "cusum_series": _diag.cusum_series,
    "cusum_stat": _diag.cusum_stat,
    "cusumsq_stat": _diag.cusumsq_stat,
    "jb_stat": lambda y, X: _diag.jb_stat(y),
    "acorr": lambda y, X: _diag.acorr(y, 3),
    "lb_stat": lambda y, X: _diag.lb_stat(y, 3),
    "wald_stat_from_mean_and_cov": lambda y, X: _diag.wald_stat_from_mean_and_cov(
        y[: X.shape[1]], np.zeros(X.shape[1]), X.T @ X / len(y), len(y)
    ),
}


@pytest.mark.parametrize("name", sorted(STAT_CALLS))
def test_status_zero_means_finite_on_extreme_finite_values(name):
    """Subnormals, 1e-300 and 1e300, alone or mixed: a status-0 result holds
    only finite numbers (a scale that cannot be represented gets a status)."""

    @settings(FUZZ, max_examples=4 * EXAMPLES)
    @given(st.integers(12, 40).flatmap(lambda n: st.tuples(extreme_values((n,)), designs(n))))
    def run(data):
        y, X = data
        with np.errstate(all="ignore"):
            if name == "wald_stat_from_mean_and_cov" and not np.isfinite(X.T @ X).all():
                return  # the covariance overflowed before the call: not finite input
            r = STAT_CALLS[name](y, X)
        assert r[0] != 0 or all(np.isfinite(v).all() for v in r[1:]), r

    run()
