"""Arrays reach the kernels with the same data and shape whether the frame
reads an exact ndarray directly or goes through the buffer export."""

import warnings

import numpy as np
import pytest


class Sub(np.ndarray):
    pass


def variants(x):
    yield "plain", x
    yield "subclass", x.view(Sub)
    yield "big-endian", x.astype(">f8")
    yield "fortran", np.asfortranarray(x)
    yield "int64", (x * 10).astype(np.int64)
    yield "offset view", np.concatenate([x, x])[x.shape[0] :]


@pytest.mark.parametrize("shape", [(7, 3), (1, 1), (0, 4), (5, 0)])
def test_column_means_agree_across_array_kinds(diag, shape):
    base = np.arange(np.prod(shape), dtype=float).reshape(shape) - 2.5
    for name, x in variants(base):
        want = (
            np.asarray(x, dtype=float).sum(axis=0) / shape[0]
            if shape[0]
            else np.full(shape[1], np.nan)
        )
        np.testing.assert_array_equal(diag.fill_mean_ax0(x), want, err_msg=name)


def test_broadcast_view_reads_like_a_copy(diag):
    a, _ = np.broadcast_arrays(np.arange(12.0) ** 2, np.zeros(12))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = diag.jb_stat(a)
    assert got == diag.jb_stat(a.copy())


def test_outputs_are_fresh_writable_arrays(diag):
    x = np.random.default_rng(3).standard_normal((50, 4))
    out = diag.hac_estimator_matmul(x, 0, 3)
    assert out.flags.c_contiguous and out.flags.writeable and out.shape == (4, 4)
    np.testing.assert_allclose(out, out.T, rtol=1e-13, atol=1e-15)
