"""The common call frame, exercised through the column-statistics functions:
argument binding, conversion, typed views, `np` lookup, GIL release."""

import builtins
import sys
import threading
import time
import warnings

import numpy as np
import pytest

from Kalvoren._ckernels.diag import _diag

X = np.arange(12.0).reshape(4, 3) ** 1.5
M = X.sum(axis=0) / 4


# ------------------------------------------------------------------ binding


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: _diag.fill_centered_ax0(X),
            "fill_centered_ax0() takes exactly 2 positional arguments (1 given)",
        ),
        (
            lambda: _diag.fill_centered_ax0(),
            "fill_centered_ax0() takes exactly 2 positional arguments (0 given)",
        ),
        (
            lambda: _diag.fill_centered_ax0(X, M, M),
            "fill_centered_ax0() takes exactly 2 positional arguments (3 given)",
        ),
        (
            lambda: _diag.fill_mean_ax0(X, X),
            "fill_mean_ax0() takes exactly 1 positional argument (2 given)",
        ),
        (
            lambda: _diag.fill_mean_ax0(),
            "fill_mean_ax0() takes exactly 1 positional argument (0 given)",
        ),
        # an unfilled parameter reports its position as the count given
        (
            lambda: _diag.fill_centered_ax0(mean=M),
            "fill_centered_ax0() takes exactly 2 positional arguments (0 given)",
        ),
        (
            lambda: _diag.fill_centered_ax0(x=X),
            "fill_centered_ax0() takes exactly 2 positional arguments (1 given)",
        ),
        (
            lambda: _diag.fill_centered_ax0(X, mean=M, y=1),
            "fill_centered_ax0() got an unexpected keyword argument 'y'",
        ),
        (
            lambda: _diag.fill_centered_ax0(X, x=X),
            "fill_centered_ax0() got multiple values for keyword argument 'x'",
        ),
        (
            lambda: _diag.fill_mean_ax0(X, x=X),
            "fill_mean_ax0() got multiple values for keyword argument 'x'",
        ),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_in_any_order():
    ref = _diag.fill_centered_ax0(X, M)
    assert np.array_equal(_diag.fill_centered_ax0(mean=M, x=X), ref)
    assert np.array_equal(_diag.fill_centered_ax0(X, mean=M), ref)
    assert np.array_equal(_diag.fill_mean_ax0(x=X), M)


# ------------------------------------------------------- array conversion


@pytest.mark.parametrize(
    "convert",
    [
        lambda a: a.tolist(),
        lambda a: tuple(map(tuple, a)),
        lambda a: np.asfortranarray(a),
        lambda a: np.repeat(a, 2, axis=1)[:, ::2],  # non-contiguous
        lambda a: a.astype(np.float32).astype(np.float64),  # same values, via float32 copy
        lambda a: a.astype(np.float32),
        lambda a: a.astype(np.int64),
    ],
)
def test_array_likes_give_the_float64_result(convert):
    a = np.array([[1.0, 2.0, 3.0], [4.0, 8.0, 16.0], [0.5, -1.0, 7.0]])
    ref_mean = _diag.fill_mean_ax0(a.astype(np.float64))
    got = convert(a)
    expect = _diag.fill_mean_ax0(np.ascontiguousarray(got, dtype=np.float64))
    assert np.array_equal(_diag.fill_mean_ax0(got), expect)
    if not isinstance(got, np.ndarray) or got.dtype == np.float64:
        assert np.array_equal(expect, ref_mean)
    centered = _diag.fill_centered_ax0(got, list(expect))
    assert centered.dtype == np.float64 and centered.flags.c_contiguous
    assert np.array_equal(centered, np.ascontiguousarray(got, dtype=np.float64) - expect)


def test_integer_list_example():
    out = _diag.fill_mean_ax0([[1, 2], [3, 4], [5, 6]])
    assert out.dtype == np.float64 and out.tolist() == [3.0, 4.0]


@pytest.mark.parametrize(
    "call, expected, got",
    [
        (lambda: _diag.fill_mean_ax0(np.zeros(3)), 2, 1),
        (lambda: _diag.fill_mean_ax0(np.zeros((2, 2, 2))), 2, 3),
        (lambda: _diag.fill_mean_ax0(3.0), 2, 1),
        (lambda: _diag.fill_centered_ax0(np.zeros(3), np.zeros(3)), 2, 1),
        (lambda: _diag.fill_centered_ax0(X, np.zeros((1, 3))), 1, 2),
    ],
)
def test_wrong_dimensions(call, expected, got):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == (
        f"Buffer has wrong number of dimensions (expected {expected}, got {got})"
    )


def test_read_only_float64_is_refused_other_dtypes_copied():
    ro = X.copy()
    ro.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        _diag.fill_mean_ax0(ro)
    with pytest.raises(ValueError, match="read-only"):
        _diag.fill_centered_ax0(X, _read_only(M))
    ro_int = np.arange(6).reshape(3, 2)
    ro_int.flags.writeable = False
    assert _diag.fill_mean_ax0(ro_int).tolist() == [2.0, 3.0]
    ro_strided = np.zeros((3, 4))[:, ::2]
    ro_strided.flags.writeable = False
    assert _diag.fill_mean_ax0(ro_strided).tolist() == [0.0, 0.0]


def _read_only(a):
    b = np.array(a, dtype=np.float64)
    b.flags.writeable = False
    return b


def test_unconvertible_input_raises_numpys_error():
    with pytest.raises(ValueError, match="could not convert string to float"):
        _diag.fill_mean_ax0([["a", "b"]])
    with pytest.raises(TypeError):
        _diag.fill_mean_ax0([[object()]])


def test_c_contiguous_float64_is_not_copied():
    calls = []

    class Spy:
        def __getattr__(self, name):
            return getattr(np, name)

        def ascontiguousarray(self, a, dtype=None):
            out = np.ascontiguousarray(a, dtype=dtype)
            calls.append((a, dtype, out))
            return out

    _diag.np = Spy()
    try:
        _diag.fill_centered_ax0(X, M)
    finally:
        _diag.np = np
    assert [c[1] for c in calls] == [np.float64, np.float64]
    assert calls[0][0] is X and calls[0][2] is X
    assert calls[1][0] is M


# ------------------------------------------------------------- np lookup


def test_np_is_looked_up_at_every_call():
    class Fake:
        float64 = np.float64

        def __init__(self):
            self.empties = 0

        def ascontiguousarray(self, a, dtype=None):
            return np.ascontiguousarray(a, dtype=dtype) * 2

        def empty(self, shape, dtype=None):
            self.empties += 1
            return np.empty(shape, dtype=dtype)

    fake = Fake()
    _diag.np = fake
    try:
        assert np.array_equal(_diag.fill_mean_ax0(X), 2 * M)
        assert fake.empties == 1
    finally:
        _diag.np = np
    assert np.array_equal(_diag.fill_mean_ax0(X), M)


def test_np_falls_back_to_builtins_then_name_error():
    del _diag.np
    try:
        with pytest.raises(NameError, match="name 'np' is not defined"):
            _diag.fill_mean_ax0(X)
        builtins.np = np
        try:
            assert np.array_equal(_diag.fill_mean_ax0(X), M)
        finally:
            del builtins.np
    finally:
        _diag.np = np


def test_rebound_np_without_attribute():
    _diag.np = object()
    try:
        with pytest.raises(AttributeError, match="ascontiguousarray"):
            _diag.fill_mean_ax0(X)
    finally:
        _diag.np = np


# ------------------------------------------------------ references, GIL


def test_reference_counts_unchanged_on_success_and_error():
    x = np.ones((5, 3))
    bad = np.ones(5)
    ro = np.ones((2, 2))
    ro.flags.writeable = False
    before = [sys.getrefcount(o) for o in (x, bad, ro)]
    for _ in range(1000):
        _diag.fill_mean_ax0(x)
        _diag.fill_centered_ax0(x, x[0])
        for args in ((bad,), (ro,)):
            with pytest.raises(ValueError):
                _diag.fill_mean_ax0(*args)
        with pytest.raises(ValueError):
            _diag.fill_centered_ax0(x, bad[:2])
    del args
    assert [sys.getrefcount(o) for o in (x, bad, ro)] == before


def test_gil_released_during_kernel():
    # While the GIL is held through a C call no other thread can run Python
    # code, so timestamps from a spinning thread inside the call prove release.
    big = np.ones((4_000_000, 8))
    stamps = []
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    t = threading.Thread(target=spin)
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)  # keep the hand-overs around the call short
    t.start()
    try:
        time.sleep(0.01)
        windows = []
        for _ in range(3):
            t0 = time.perf_counter()
            _diag.fill_mean_ax0(big)
            windows.append((t0, time.perf_counter()))
    finally:
        stop.set()
        t.join()
        sys.setswitchinterval(old)
    stamps = np.array(stamps)
    inside = sum(int(((stamps > a + 3e-3) & (stamps < b - 3e-3)).sum()) for a, b in windows)
    assert inside > 100


def test_no_warning_for_empty_rows():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = _diag.fill_mean_ax0(np.empty((0, 3)))
    assert out.shape == (3,) and np.isnan(out).all()
