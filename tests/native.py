"""ctypes access to the exported kernels of the built extension, as a native
caller links them, plus guarded buffers that catch writes past their end."""

import ctypes

import numpy as np

from Kalvoren._ckernels.diag import _diag

LIB = ctypes.CDLL(_diag.__file__)

D = ctypes.c_double
I32 = ctypes.c_int
I64 = ctypes.c_int64
PD = ctypes.POINTER(ctypes.c_double)
PI64 = ctypes.POINTER(ctypes.c_int64)


class ArenaSize(ctypes.Structure):
    _fields_ = [("arena_len", ctypes.c_int64), ("piv_len", ctypes.c_int64)]


def fn(name, restype, *argtypes):
    """The exported kernel `name` with its C signature."""
    f = getattr(LIB, name)
    f.restype = restype
    f.argtypes = list(argtypes)
    return f


def ptr(a):
    """Data pointer of a float64 array (None stays a null pointer)."""
    if a is None:
        return None
    assert a.dtype == np.float64 and a.flags.c_contiguous
    return a.ctypes.data_as(PD)


def iptr(a):
    if a is None:
        return None
    assert a.dtype == np.int64 and a.flags.c_contiguous
    return a.ctypes.data_as(PI64)


GUARD = 16
SENTINEL = -7.125e77


class Guarded:
    """A float64 buffer of `n` values followed by GUARD sentinel values."""

    def __init__(self, n, fill=SENTINEL, init=None):
        n = max(int(n), 0)
        self.full = np.full(n + GUARD, SENTINEL)
        self.n = n
        if init is not None:
            self.full[:n] = np.asarray(init, dtype=np.float64).ravel()
        elif fill is not None:
            self.full[:n] = fill
        self.a = self.full[:n]

    @property
    def p(self):
        return self.full.ctypes.data_as(PD)

    def intact(self):
        return bool(np.all(self.full[self.n :] == SENTINEL))

    def check(self):
        assert self.intact(), "write past the end of a buffer"
