"""Per-row vech of outer products and the checked vech of a symmetric target."""

import math
from fractions import Fraction

import hac_ref
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from native import I32, I64, PD, D, Guarded, fn, ptr

from Kalvoren._ckernels.diag import _diag

OK, BAD_SHAPE, BAD_ARG = 0, -1001, -1007

outer_kernel = fn("kvr_symmetric_outer_prod_2dim", I32, PD, I64, I64, I64, PD)
target_kernel = fn("kvr_fill_symmetric_target_vec", I32, PD, I64, PD, D, D)

values = st.floats(allow_nan=True, allow_infinity=True, width=64)


def fma(a, b, c):
    if not all(map(math.isfinite, (a, b, c))):
        return a * b + c
    return float(Fraction(a) * Fraction(b) + Fraction(c))  # one rounding


def pair_ok(a, b, atol, rtol):
    if a == b:
        return True
    with np.errstate(over="ignore", invalid="ignore"):
        d = a - b
    if not math.isfinite(d):
        return False
    return abs(d) <= fma(abs(b), rtol, atol)


def target_ref(T, atol, rtol):
    vec = []
    for i in range(T.shape[0]):
        for j in range(i, T.shape[0]):
            if not pair_ok(T[i, j], T[j, i], atol, rtol):
                return BAD_SHAPE, vec
            vec.append(T[i, j])
    return OK, vec


@settings(max_examples=150, deadline=None)
@given(
    hnp.arrays(
        np.float64,
        hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=7),
        elements=values,
    )
)
def test_outer_products_bit_exact(x):
    status, out = _diag.symmetric_outer_prod_2dim(x)
    n, p = x.shape
    assert status == OK and out.shape == (n, p * (p + 1) // 2)
    with np.errstate(all="ignore"):
        np.testing.assert_array_equal(out, hac_ref.vech_rows(x))


@settings(max_examples=200, deadline=None)
@given(
    st.integers(0, 5).flatmap(lambda p: hnp.arrays(np.float64, (p, p), elements=values)), st.data()
)
def test_target_packing_against_the_pair_test(T, data):
    # mostly symmetric matrices with nudged mirrors, so both outcomes occur
    T = np.triu(T) + np.triu(T, 1).T
    for _ in range(data.draw(st.integers(0, 2))):
        if len(T) > 1:
            i, j = data.draw(st.integers(1, len(T) - 1)), 0
            with np.errstate(over="ignore"):
                nudged = [T[j, i] * (1 + 1e-9), T[j, i] + 1e-3, np.nan, -T[j, i]]
            T[i, j] = data.draw(st.sampled_from(nudged))
    atol = data.draw(st.sampled_from([0.0, 1e-8, 0.2, -1.0]))
    rtol = data.draw(st.sampled_from([0.0, 1e-5, 1.0]))
    status, vec = _diag.fill_symmetric_target_vec(T, atol, rtol)
    want_status, want = target_ref(T, atol, rtol)
    assert status == want_status
    np.testing.assert_array_equal(vec[: len(want)], want)


def test_examples():
    status, out = _diag.symmetric_outer_prod_2dim([[1.0, 2.0, 3.0]])
    assert status == OK and out.tolist() == [[1, 2, 3, 4, 6, 9]]
    assert _diag.symmetric_outer_prod_2dim(np.empty((4, 0)))[1].shape == (4, 0)
    assert _diag.symmetric_outer_prod_2dim(np.empty((0, 3)))[1].shape == (0, 6)

    status, vec = _diag.fill_symmetric_target_vec([[1.0, 2.0], [2.0, 3.0]], 0, 0)
    assert status == OK and vec.tolist() == [1, 2, 3]
    T = [[1.0, 2.0], [2.1, 3.0]]
    status, vec = _diag.fill_symmetric_target_vec(T, 1e-8, 1e-5)
    assert status == BAD_SHAPE and vec[0] == 1.0 and len(vec) == 3
    assert _diag.fill_symmetric_target_vec(T, 0.2, 1e-5)[1].tolist() == [1, 2, 3]  # upper kept
    assert _diag.fill_symmetric_target_vec([[np.nan]], 1e9, 1e9)[0] == BAD_SHAPE
    assert _diag.fill_symmetric_target_vec([[1.0, 1.0], [1.0 + 1e-9, 1.0]], 1e-8, 1e-5)[0] == OK
    inf = [[np.inf, -np.inf], [-np.inf, 0.0]]
    assert _diag.fill_symmetric_target_vec(inf, 0, 0)[0] == OK
    assert _diag.fill_symmetric_target_vec(np.empty((0, 0)), 0, 0)[1].shape == (0,)


def test_argument_checks():
    with pytest.raises(ValueError, match=r"target has shape \(2, 3\) but \(2, 2\)"):
        _diag.fill_symmetric_target_vec(np.ones((2, 3)), 0.0, 0.0)
    with pytest.raises(ValueError, match=r"target has shape \(3, 2\)"):
        _diag.fill_symmetric_target_vec(np.ones((3, 2)), 0.0, 0.0)
    with pytest.raises(TypeError):
        _diag.fill_symmetric_target_vec(None, 0.0, "x")  # floats are converted first
    with pytest.raises(ValueError, match="expected 2, got 1"):
        _diag.symmetric_outer_prod_2dim(np.ones(3))
    doc = _diag.fill_symmetric_target_vec.__doc__
    assert doc == (
        "Pack the upper triangle of a symmetric target into a vech vector.\n\n"
        "    Returns (status, vec(q)); status is DIAG_BAD_SHAPE if the matrix is not\n"
        "    symmetric within (atol, rtol).\n    "
    )


def test_huge_column_count_is_refused_before_the_kernel():
    # (0, p) with p*p past int64: q cannot be formed
    x = np.lib.stride_tricks.as_strided(np.empty(1), shape=(0, 2**32), strides=(8, 8))
    with pytest.raises(OverflowError):
        _diag.symmetric_outer_prod_2dim(x)


# ------------------------------------------------------------------ native


@pytest.mark.parametrize("n, p, extra", [(4, 3, 0), (3, 2, 2), (1, 5, 0), (0, 3, 0), (3, 0, 0)])
def test_native_outer_rows_and_stride(rng, n, p, extra):
    x = rng.normal(size=(n, p))
    q = p * (p + 1) // 2 + extra
    out = Guarded(n * q, fill=5.0)
    assert outer_kernel(ptr(x), n, p, q, out.p) == OK
    out.check()
    rows = out.a.reshape(n, q) if q else out.a
    if n and p:
        np.testing.assert_array_equal(rows[:, : q - extra], hac_ref.vech_rows(x))
        assert (rows[:, q - extra :] == 5.0).all()


@pytest.mark.parametrize("q", [5, 0, -1])
def test_native_short_stride_is_refused(rng, q):
    x = rng.normal(size=(3, 3))
    out = Guarded(max(3 * q, 0))
    assert outer_kernel(ptr(x), 3, 3, q, out.p) == BAD_ARG
    out.check()
    assert outer_kernel(ptr(x), 3, 2**32, 2**62, out.p) == BAD_ARG  # p(p+1)/2 overflows


def test_native_target_stays_in_bounds(rng):
    a = rng.normal(size=(4, 4))
    T = a + a.T
    vec = Guarded(10)
    assert target_kernel(ptr(T), 4, vec.p, 0.0, 0.0) == OK
    vec.check()
    np.testing.assert_array_equal(vec.a, hac_ref.vech(T))
    assert target_kernel(None, -2, None, 0.0, 0.0) == OK
