"""lb_stat's allocations: the converted x, then z and rho, each
np.empty(n, dtype=np.float64) through the module's `np`, and nothing else."""

import numpy as np
import pytest

from Kalvoren._ckernels.diag import _diag


class Spy:
    """The module's `np`, noting every function call (types pass through)."""

    def __init__(self, short=None):
        self.calls = []
        self.arrays = []
        self.short = short  # index of the np.empty call to hand back one short

    def __getattr__(self, name):
        attr = getattr(np, name)
        if isinstance(attr, type) or not callable(attr):
            return attr

        def call(*args, **kwargs):
            out = attr(*args, **kwargs)
            if name == "empty":
                if len(self.arrays) == self.short:
                    out = out[:-1]
                self.arrays.append(out)
            shape = args[0].shape if name == "ascontiguousarray" else args[0]
            self.calls.append((name, shape, kwargs))
            return out

        return call


@pytest.mark.parametrize(
    "n, L, status",
    [
        (40, 4, 0),
        (40, 39, 0),
        (9, 2**63 - 1, 0),  # clamped to n - 1: still two arrays of n
        (7, 0, -1004),
        (7, -(2**63), -1004),
        (1, 3, -1005),
        (0, 3, -1005),
    ],
)
def test_z_then_rho(n, L, status, monkeypatch):
    x = np.random.default_rng(n).standard_normal(n)
    spy = Spy()
    monkeypatch.setattr(_diag, "np", spy)
    got = _diag.lb_stat(x, L)
    monkeypatch.undo()
    np.testing.assert_equal(got, _diag.lb_stat(x, L))
    assert got[0] == status
    f64 = {"dtype": np.float64}
    assert spy.calls == [("ascontiguousarray", (n,), f64), ("empty", n, f64), ("empty", n, f64)]
    if status == 0:
        # the first array is z (x centred), the second rho up to the clamped lag
        z, rho = spy.arrays
        last = min(L, n - 1)
        np.testing.assert_allclose(z, x - x.mean(), rtol=0, atol=1e-14)
        assert rho[: last + 1].tolist() == _diag.acorr(x, last)[1].tolist()


@pytest.mark.parametrize("which", [0, 1])
def test_short_z_or_rho_is_refused(which, monkeypatch):
    monkeypatch.setattr(_diag, "np", Spy(short=which))
    with pytest.raises(ValueError, match=r"lb_stat\(\): np\.empty returned an array of 11 x 1"):
        _diag.lb_stat(np.arange(12.0), 11)
