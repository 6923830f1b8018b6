"""Integer and float parameter conversion of the call frame, exercised through
functions with scalar parameters."""

import warnings

import numpy as np
import pytest

from Kalvoren._ckernels.diag import _diag

SERIES = np.array([1.0, 2.0, 3.0, 4.0])


class IntReturns:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


@pytest.mark.parametrize(
    "L, expect",
    [
        (1, 1),
        (1.9, 1),
        (np.int64(1), 1),
        (np.float64(2.5), 2),
        (True, 1),
        (IntReturns(2), 2),
        (-0.5, 0),
    ],
)
def test_integer_conversion_truncates_toward_zero(L, expect):
    status, out = _diag.acorr(SERIES, L)
    assert status == 0 and len(out) == expect + 1


@pytest.mark.parametrize(
    "L, exc, message",
    [
        ("3", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        ([1], TypeError, "an integer is required"),
        (IntReturns(1.5), TypeError, "__int__ returned non-int (type float)"),
        (2**63, OverflowError, None),
        (-(2**63) - 1, OverflowError, None),
        (float("nan"), ValueError, None),
        (float("inf"), OverflowError, None),
    ],
)
def test_integer_conversion_errors(L, exc, message):
    with pytest.raises(exc) as info:
        _diag.acorr(SERIES, L)
    if message:
        assert str(info.value) == message


def test_int_subclass_from_int_is_deprecated_but_used():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        status, out = _diag.acorr(SERIES, IntReturns(True))
    assert status == 0 and len(out) == 2
    assert [str(w.message) for w in caught if w.category is DeprecationWarning] == [
        "__int__ returned non-int (type bool).  The ability to return an instance of a "
        "strict subclass of int is deprecated, and may be removed in a future version "
        "of Python."
    ]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning):
            _diag.acorr(SERIES, IntReturns(True))


def test_integers_are_converted_before_any_array():
    class NoNumpy:
        def __getattr__(self, name):
            raise AssertionError(f"np.{name} used before the integer failed")

    _diag.np = NoNumpy()
    try:
        with pytest.raises(TypeError, match="an integer is required"):
            _diag.acorr("not an array either", "x")
    finally:
        _diag.np = np


def test_float_parameters():
    assert float(_diag.jb_isf_interp(10, 0.05)) == 2.5247
    assert float(_diag.jb_isf_interp(10, np.float32(0.5))) == float(
        _diag.jb_isf_interp(10, float(np.float32(0.5)))
    )
    assert float(_diag.jb_isf_interp(10, 1)) == 0.0
    with pytest.raises(TypeError, match="must be real number, not str"):
        _diag.jb_isf_interp(10, "0.05")
