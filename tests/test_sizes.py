"""Sizes computed from caller integers and shapes: anything that overflows
int64 or cannot be allocated raises before a kernel runs. Huge shapes cost
nothing here: arrays with a zero-length axis, and integer parameters."""

import numpy as np
import pytest
from functions import FUNCTIONS
from native import I64, LIB, ArenaSize

from Kalvoren._ckernels.diag import _batch, _diag

# (call, exception or None when the call must succeed): arena lengths that
# overflow int64 (OverflowError) or are absurd (NumPy); output lengths
CASES = {f"{fn.name} {label}": case for fn in FUNCTIONS for label, case in fn.huge.items()}


@pytest.mark.parametrize("case", sorted(CASES))
def test_huge_sizes(case):
    call, exc = CASES[case]
    if exc is None:
        r = call()
        status = r[0] if isinstance(r, tuple) else 0
        assert status in (0, 1, -1001, -1002, -1003, -1004, -1005, -1007)
    else:
        with pytest.raises(exc) as e:
            call()
        assert str(e.value)


class ShortEmpty:
    """A stand-in for the module global `np` whose empty/empty_like hand back
    one element fewer than asked (or a lying int64 array)."""

    def __getattr__(self, name):
        return getattr(np, name)

    @staticmethod
    def empty(shape, dtype=None):
        if isinstance(shape, tuple):
            return np.empty((max(shape[0] - 1, 0), shape[1]), dtype=dtype)
        return np.empty(max(shape - 1, 0), dtype=dtype)

    @staticmethod
    def empty_like(a):
        return np.empty(max(a.size - 1, 0)).reshape(-1)


HOSTILE_NP = {
    "acorr": lambda: _diag.acorr(np.arange(50.0), 40),  # out(n)
    "bg_stat": lambda: _diag.bg_stat(np.arange(50.0), np.ones((50, 2)), 2),  # arena
    "centered": lambda: _diag.fill_centered_ax0(np.ones((6, 3)), np.ones(3)),  # out(n, p)
    "wald": lambda: _diag.wald_stat_from_mean_and_cov(np.ones(3), np.zeros(3), np.eye(3), 5),
    "cusum_sf_arr": lambda: _diag.cusum_sf_arr(np.arange(40.0)),  # empty_like
    "jb_pval_interp_arr": lambda: _diag.jb_pval_interp_arr(30, np.ones((4, 5))),
}


@pytest.mark.parametrize("case", sorted(HOSTILE_NP))
def test_short_outputs_from_a_rebound_np_are_refused(case, monkeypatch):
    # `np` is looked up in the module at every call, so it can be anything;
    # a short output must not be written past its end.
    monkeypatch.setattr(_diag, "np", ShortEmpty())
    with pytest.raises(ValueError, match=r"np\.empty(_like)? returned an array of"):
        HOSTILE_NP[case]()


class Recorder:
    """A stand-in for a module's `np` that notes the length of every 1-D
    np.empty: a shim allocates its outputs first and its arena last."""

    def __init__(self):
        self.lengths = []

    def __getattr__(self, name):
        return getattr(np, name)

    def empty(self, shape, dtype=None):
        if not isinstance(shape, tuple):
            self.lengths.append(shape)
        return np.empty(shape, dtype=dtype)


def size_function(name, nargs):
    fn = getattr(LIB, name)
    fn.restype, fn.argtypes = ArenaSize, [I64] * nargs
    return fn


def sample_args(fn, n, k, i, rng):
    """Arguments for fn's parameters at sizes n, k and integer parameter i."""
    shapes = {"n": (n,), "nk": (n, k)}
    return [
        rng.standard_normal(shapes[shape]) if kind == "array" else i for _, kind, shape in fn.params
    ]


@pytest.mark.parametrize("name", [fn.name for fn in FUNCTIONS if fn.arena])
def test_arena_is_what_its_size_function_says(name, monkeypatch):
    fn = next(fn for fn in FUNCTIONS if fn.name == name)
    size_name, size_args = fn.arena
    rng = np.random.default_rng(3)
    for n in (0, 1, 2, 7, 40):
        for k in (0, 1, 3, 9):
            for i in (-1, 0, 1, 5, 60, 2**62):
                args = sample_args(fn, n, k, i, rng)
                want = size_args(*args)
                recorder = Recorder()
                monkeypatch.setattr(_diag, "np", recorder)
                getattr(_diag, name)(*args)
                monkeypatch.undo()
                got = size_function(size_name, len(want))(*want)
                assert recorder.lengths[-1] == got.arena_len, (n, k, i)


def test_battery_arena_is_what_its_size_function_says(monkeypatch):
    rng = np.random.default_rng(4)
    sizes = size_function("kvr_battery_arena_size", 3)
    for lens, k, lags in (((0,), 1, 0), ((5, 30, 12), 3, 4), ((50,), 2, 60), ((9, 9), 4, 2)):
        offsets = np.concatenate([[0], np.cumsum(lens)])
        y, X = rng.standard_normal(offsets[-1]), rng.standard_normal((offsets[-1], k))
        recorder = Recorder()
        monkeypatch.setattr(_batch, "np", recorder)
        _batch.battery(y, X, offsets, -1, lags, [1] * len(lens), [1] * len(lens), _batch.ALL, 0)
        monkeypatch.undo()
        assert recorder.lengths[-1] == sizes(max(lens), k, lags).arena_len
