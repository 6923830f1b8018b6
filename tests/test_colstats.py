"""Column means and centering: Python functions and native kernels."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from native import I64, PD, Guarded, fn, ptr

from Kalvoren._ckernels.diag import _diag

fill_mean = fn("kvr_fill_mean_ax0", None, PD, I64, I64, PD)
fill_centered = fn("kvr_fill_centered_ax0", None, PD, PD, I64, I64, PD)


def row_order_mean(x):
    # each column summed strictly in row order, then a true division by n
    acc = np.zeros(x.shape[1])
    with np.errstate(all="ignore"):
        for row in x:
            acc = acc + row
        return acc / np.float64(x.shape[0])


values = st.floats(allow_nan=True, allow_infinity=True, width=64)
matrices = hnp.arrays(
    np.float64, hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=9), elements=values
)


@settings(max_examples=200, deadline=None)
@given(matrices)
def test_mean_and_centering_bit_exact(x):
    mean = _diag.fill_mean_ax0(x)
    np.testing.assert_array_equal(mean, row_order_mean(x))
    with np.errstate(all="ignore"):
        np.testing.assert_array_equal(_diag.fill_centered_ax0(x, mean), x - mean)


def test_centered_columns_sum_to_zero(rng):
    x = rng.normal(5.0, 3.0, size=(1000, 7))
    c = _diag.fill_centered_ax0(x, _diag.fill_mean_ax0(x))
    assert np.abs(c.sum(axis=0)).max() < 1e-10


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
def test_empty_shapes(shape):
    x = np.empty(shape)
    mean = _diag.fill_mean_ax0(x)
    assert mean.shape == (shape[1],) and mean.dtype == np.float64
    assert np.isnan(mean).all()
    centered = _diag.fill_centered_ax0(x, np.zeros(shape[1]))
    assert centered.shape == shape and centered.dtype == np.float64


def test_mean_length_is_checked():
    x = np.ones((4, 3))
    with pytest.raises(ValueError) as info:
        _diag.fill_centered_ax0(x, [1.0, 2.0])
    assert "2" in str(info.value) and "3" in str(info.value)
    with pytest.raises(ValueError):
        _diag.fill_centered_ax0(np.ones((0, 3)), [])
    # a longer mean is accepted; its extra entries are ignored
    out = _diag.fill_centered_ax0(x, [1.0, 2.0, 3.0, 99.0])
    assert np.array_equal(out, x - [1.0, 2.0, 3.0])


# ------------------------------------------------------------------ native


@pytest.mark.parametrize("n, p", [(5, 3), (1, 17), (33, 1), (0, 4)])
def test_native_kernels_stay_in_bounds(rng, n, p):
    x = rng.normal(size=(n, p))
    mean = Guarded(p)
    fill_mean(ptr(x), n, p, mean.p)
    mean.check()
    np.testing.assert_array_equal(mean.a, row_order_mean(x))
    cen = Guarded(n * p)
    fill_centered(ptr(x), ptr(mean.a.copy()), n, p, cen.p)
    cen.check()
    np.testing.assert_array_equal(cen.a.reshape(n, p), x - mean.a)


@pytest.mark.parametrize("n, p", [(3, 0), (3, -2), (-3, -2), (0, 0)])
def test_native_nonpositive_columns_write_nothing(n, p):
    out = Guarded(0)
    fill_mean(ptr(np.ones(6)), n, p, out.p)
    fill_centered(ptr(np.ones(6)), ptr(np.ones(6)), n, p, out.p)
    out.check()


def test_native_zero_rows_give_nan():
    mean = Guarded(2)
    fill_mean(ptr(np.ones(2)), 0, 2, mean.p)
    mean.check()
    assert np.isnan(mean.a).all()
