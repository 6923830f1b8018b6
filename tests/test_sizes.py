"""Sizes computed from caller integers and shapes: anything that overflows
int64 or cannot be allocated raises before a kernel runs. Huge shapes cost
nothing here: arrays with a zero-length axis, and integer parameters."""

import numpy as np
import pytest

from Kalvoren._ckernels.diag import _diag

BIG = (MemoryError, ValueError, OverflowError)


def cols(p, rows=0):
    """A (rows, p) float64 array with no data when rows is 0."""
    return np.empty((rows, p))


# (call, exception or None when the call must succeed)
CASES = {
    # arena length overflows int64 (OverflowError) or is absurd (NumPy)
    "bp_aux k=2^31": (lambda: _diag.bp_aux([], cols(2**31)), OverflowError),
    "bp_aux k=2^30": (lambda: _diag.bp_aux([], cols(2**30)), BIG),
    "chow_stat k=2^31": (lambda: _diag.chow_stat([], cols(2**31), 1), OverflowError),
    "chow_stat k=2^29": (lambda: _diag.chow_stat([], cols(2**29), 1), BIG),
    "recursive_residuals k=2^30": (lambda: _diag.recursive_residuals([], cols(2**30)), BIG),
    "recursive_residuals k=2^16": (lambda: _diag.recursive_residuals([], cols(2**16)), BIG),
    "cusum_series k=2^30": (lambda: _diag.cusum_series([], cols(2**30)), BIG),
    "cusum_stat k=2^30": (lambda: _diag.cusum_stat([], cols(2**30)), BIG),
    "cusum_stat k=2^20": (lambda: _diag.cusum_stat([], cols(2**20)), BIG),
    "cusumsq_stat k=2^31": (lambda: _diag.cusumsq_stat([], cols(2**31)), OverflowError),
    "bg_stat lags=2^62": (lambda: _diag.bg_stat(np.zeros(3), np.zeros((3, 1)), 2**62), None),
    "bg_stat lags=-2^63": (lambda: _diag.bg_stat(np.zeros(3), np.zeros((3, 1)), -2**63), None),
    "bg_stat lags=2^63": (lambda: _diag.bg_stat(np.zeros(3), np.zeros((3, 1)), 2**63), OverflowError),
    # output lengths: L + 1, p x p, q = p(p+1)/2, (n, q)
    "acorr L=2^63-1": (lambda: _diag.acorr(np.arange(4.0), 2**63 - 1), OverflowError),
    "acorr L=2^62": (lambda: _diag.acorr(np.arange(4.0), 2**62), BIG),
    "acorr L=2^45": (lambda: _diag.acorr(np.arange(4.0), 2**45), BIG),
    "acorr L=-2": (lambda: _diag.acorr(np.arange(4.0), -2), ValueError),
    "acorr L=-2^63": (lambda: _diag.acorr(np.arange(4.0), -2**63), ValueError),
    "lb_stat L=2^63-1": (lambda: _diag.lb_stat(np.arange(4.0), 2**63 - 1), None),
    "hac p=2^32": (lambda: _diag.hac_estimator_matmul(cols(2**32), 0, 1), BIG),
    "hac p=2^21": (lambda: _diag.hac_estimator_matmul(cols(2**21), 0, 1), BIG),
    "hac L=-2^63": (lambda: _diag.hac_estimator_matmul(np.ones((3, 2)), 2, -2**63), None),
    "hac kernel_id=2^31": (lambda: _diag.hac_estimator_matmul(np.ones((3, 2)), 2**31, 1), OverflowError),
    "fill_mean_ax0 p=2^41": (lambda: _diag.fill_mean_ax0(cols(2**41)), BIG),
    "fill_mean_ax0 n=2^41": (lambda: _diag.fill_mean_ax0(np.empty((2**41, 0))), None),
    "fill_centered_ax0 n=2^41": (lambda: _diag.fill_centered_ax0(np.empty((2**41, 0)), []), None),
    "outer_prod p=2^32": (lambda: _diag.symmetric_outer_prod_2dim(cols(2**32)), OverflowError),
    "outer_prod p=2^31": (lambda: _diag.symmetric_outer_prod_2dim(cols(2**31)), BIG),
    "outer_prod n=2^41": (lambda: _diag.symmetric_outer_prod_2dim(np.empty((2**41, 0))), None),
    "outer_prod p=2^20 n=1": (lambda: _diag.symmetric_outer_prod_2dim(
        np.broadcast_to(np.float64(1.0), (1, 2**20))), BIG),   # q = 2^39 + 2^19
    "wald p=2^40 claimed": (lambda: _diag.wald_stat_from_mean_and_cov(
        _Shape(2**40), np.zeros(2), np.eye(2), 5), ValueError),
    "wald p=-5 claimed": (lambda: _diag.wald_stat_from_mean_and_cov(
        _Shape(-5), np.zeros(2), np.eye(2), 5), ValueError),
    "wald n=2^63": (lambda: _diag.wald_stat_from_mean_and_cov(
        np.zeros(2), np.zeros(2), np.eye(2), 2**63), OverflowError),
    "jb_isf_interp n=-2^63": (lambda: _diag.jb_isf_interp(-2**63, 0.05), None),
    "jb_pval_interp_arr n=2^63-1": (lambda: _diag.jb_pval_interp_arr(2**63 - 1, [1.0, 2.0]), None),
}


class _Shape(np.ndarray):
    """A 2-vector whose `shape` claims another length."""

    def __new__(cls, claimed):
        obj = np.zeros(2).view(cls)
        obj._claimed = claimed
        return obj

    @property
    def shape(self):
        return (getattr(self, "_claimed", 2),)


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
    "acorr": lambda: _diag.acorr(np.arange(50.0), 40),                         # out(n)
    "bg_stat": lambda: _diag.bg_stat(np.arange(50.0), np.ones((50, 2)), 2),    # arena
    "centered": lambda: _diag.fill_centered_ax0(np.ones((6, 3)), np.ones(3)),  # out(n, p)
    "wald": lambda: _diag.wald_stat_from_mean_and_cov(np.ones(3), np.zeros(3), np.eye(3), 5),
    "cusum_sf_arr": lambda: _diag.cusum_sf_arr(np.arange(40.0)),               # empty_like
    "jb_pval_interp_arr": lambda: _diag.jb_pval_interp_arr(30, np.ones((4, 5))),
}


@pytest.mark.parametrize("case", sorted(HOSTILE_NP))
def test_short_outputs_from_a_rebound_np_are_refused(case, monkeypatch):
    # `np` is looked up in the module at every call, so it can be anything;
    # a short output must not be written past its end.
    monkeypatch.setattr(_diag, "np", ShortEmpty())
    with pytest.raises(ValueError, match=r"np\.empty(_like)? returned an array of"):
        HOSTILE_NP[case]()
