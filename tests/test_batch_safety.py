"""_batch.battery against callers that change or mistype its index arrays:
offsets, t_break and hac_lags are read with the GIL released, so the call
works on private copies, and only integer dtypes are taken."""

import sys
import threading

import numpy as np
import pytest

from Kalvoren._ckernels.diag import _batch as B

G, N = 24, 40
_rng = np.random.default_rng(11)
Y = _rng.standard_normal(G * N)
X = np.column_stack([np.ones(G * N), _rng.standard_normal(G * N)])
OFF = np.arange(G + 1, dtype=np.int64) * N
TB = np.full(G, N // 2, dtype=np.int64)
HL = np.full(G, 3, dtype=np.int64)


def run(off=OFF, tb=TB, hl=HL):
    return B.battery(Y, X, off, 0, 2, tb, hl, B.ALL, 0)


def same(a, b):
    return all(u.tobytes() == v.tobytes() for u, v in zip(a, b))


def test_mutating_index_arrays_during_calls():
    """A thread flips the last entries between valid and huge values while
    the battery runs (they are read last, when the thread has had the GIL for
    a while): each call either refuses the offsets it saw or uses exactly the
    values it checked, the old or the new state of each flipped entry."""
    BAD_TB, BAD_HL = -(2**62), 2**62
    clean = run()
    last = set()
    for tb_last, hl_last in [(N // 2, 3), (BAD_TB, 3), (N // 2, BAD_HL), (BAD_TB, BAD_HL)]:
        tb, hl = TB.copy(), HL.copy()
        tb[-1], hl[-1] = tb_last, hl_last
        last.add(tuple(a[-1].tobytes() for a in run(tb=tb, hl=hl)))
    off, tb, hl = OFF.copy(), TB.copy(), HL.copy()
    stop = threading.Event()

    def flip():
        while not stop.is_set():
            off[-2], tb[-1], hl[-1] = 10**12, BAD_TB, BAD_HL
            off[-2], tb[-1], hl[-1] = OFF[-2], N // 2, 3

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    t = threading.Thread(target=flip)
    t.start()
    try:
        for _ in range(400):
            try:
                got = run(off, tb, hl)
            except ValueError:
                continue
            assert tuple(a[-1].tobytes() for a in got) in last
            assert all(a[:-1].tobytes() == b[:-1].tobytes() for a, b in zip(got, clean))
    finally:
        stop.set()
        t.join()
        sys.setswitchinterval(old)


@pytest.mark.parametrize(
    "arg, value, exc, match",
    [
        ("off", OFF.astype(np.float64), TypeError, "offsets must be an array of integers"),
        ("off", [0.0, 40.5], TypeError, "offsets must be an array of integers"),
        ("tb", TB.astype(bool), TypeError, "t_break must be an array of integers"),
        ("hl", HL + 0.9, TypeError, "hac_lags must be an array of integers"),
        ("hl", HL.astype(object), TypeError, "hac_lags must be an array of integers"),
        ("tb", np.full(G, 2**63, dtype=np.uint64), ValueError, r"t_break\[0\] does not fit"),
    ],
)
def test_non_integer_index_arrays_are_refused(arg, value, exc, match):
    with pytest.raises(exc, match=match):
        run(**{arg: value})


@pytest.mark.parametrize("dtype", [np.int32, np.int16, np.uint32, np.uint64, ">i8"])
def test_integer_dtypes_give_the_int64_result(dtype):
    want = run()
    assert same(run(OFF.astype(dtype), TB.astype(dtype), HL.astype(dtype)), want)
    ro = OFF.copy()
    ro.flags.writeable = False  # a copy is taken, so read-only arrays work too
    assert same(run(ro, TB.tolist(), tuple(HL)), want)
    assert same(run(np.repeat(OFF, 2)[::2], TB, HL), want)  # strided: the general route
    out, _, _ = B.battery(Y, X, [0], 0, 2, [], [], B.ALL, 0)  # no series: empty lists pass
    assert out.shape == (0, B.NFIELDS)


@pytest.mark.parametrize(
    "y, X, want",
    [
        (Y[:5], X[:4], "X has 4 rows but y has 5"),
        (Y[:5], Y[:5], "dimensions"),
        (X[:5], X[:5], "dimensions"),
        (np.array([1.0, np.nan]), X[:2], 1),
        (X[:6, 1].copy(), X[:6], 2),
        (Y[:0], X[:0], 0),
    ],
)
def test_design_refuses_what_it_cannot_lay_out(y, X, want):
    """The one-regression layout checks shapes before it reads, and reports
    non-finite values (1) and y among the columns (2) as statuses."""
    if isinstance(want, str):
        with pytest.raises(ValueError, match=want):
            B.design(y, X, 1)
        return
    status, const_col, yv, Z = B.design(y, X, 1)
    assert status == want and (yv is None) == (want != 0)
    if want == 0:
        assert const_col == -1 and Z.shape == (0, 3) and yv.shape == (0,)  # a constant added


@pytest.mark.parametrize(
    "keys, lo, span, exc, match",
    [
        ([1.5, 2.0], 0, 4, TypeError, "keys must be an array of integers"),
        (np.zeros((2, 2), np.int64), 0, 4, ValueError, "dimensions"),
        ([0, 5], 0, 5, ValueError, "outside"),
        ([0, 5], 0, 2**62, ValueError, "too big"),
        ([0, 5], 0, 2**44, MemoryError, "allocate"),
        ([3], 0, 0, ValueError, "span is 0"),
        ([3], 0, -(2**62), ValueError, "span"),
    ],
)
def test_group_keys_refuses_what_it_cannot_count(keys, lo, span, exc, match):
    with pytest.raises(exc, match=match):
        B.group_keys(keys, lo, span)
    uniques, offsets, order = B.group_keys(np.array([], np.int64), 0, 1)  # no rows
    assert uniques.size == 0 and offsets.tolist() == [0] and order.size == 0


_G = np.arange(10.0)


@pytest.mark.parametrize(
    "args, exc, match",
    [
        ((np.empty(4), np.empty((4, 3)), 0, _G, [_G, _G], None, 0, 5, 1), ValueError, "y_out has"),
        ((np.empty(4), np.empty((4, 2)), 0, _G, [_G, _G], None, 0, 4, 1), ValueError, "X_out"),
        ((np.empty(4), None, 1, _G, [], None, 0, 4, 0), ValueError, "y_out has"),
        ((np.empty(4), None, 0, _G, [], None, 3, 2, 0), ValueError, "not a range"),
        ((np.empty(4), None, 0, _G, [_G[:3]], None, 0, 4, 0), ValueError, "columns have 3"),
        ((np.empty(4), None, 0, _G, [], np.array([0, 10]), 0, 2, 0), ValueError, "outside"),
        ((np.empty(4), None, 0, _G, [], np.array([0, -1]), 0, 2, 0), ValueError, "outside"),
        ((np.empty(4), None, 0, _G, [], np.array([0]), 0, 2, 0), ValueError, "rows end at 2"),
        ((np.empty(4), None, 0, _G.astype(np.float32), [], None, 0, 2, 0), ValueError, "float64"),
        ((np.empty(4), None, 0, _G, [_G.reshape(2, 5)], None, 0, 2, 0), ValueError, r"cols\[0\]"),
        ((np.empty(4), None, 0, _G, _G, None, 0, 2, 0), TypeError, "tuple or a list"),
        ((np.empty(4), None, 0, _G, [], None, 0, 2, 2), ValueError, "lead is 2"),
        ((np.empty(4)[::2], None, 0, _G, [], None, 0, 2, 0), ValueError, "contiguous"),
    ],
)
def test_gather_refuses_what_it_cannot_write(args, exc, match):
    y_out = args[0].copy() if args[0].flags.c_contiguous else args[0]
    with pytest.raises(exc, match=match):
        B.gather(*args)
    if args[0].flags.c_contiguous:
        np.testing.assert_array_equal(y_out, args[0])  # nothing written on a refusal


def test_gather_reads_the_columns_it_was_given():
    """A column whose buffer export changes the list (Python code runs there)
    must not send the gathering to items that are gone."""

    class Shrinks:
        def __init__(self, lst):
            self.lst = lst

        def __buffer__(self, flags):
            del self.lst[1:]
            return memoryview(np.arange(10.0))

    cols = [None, np.arange(10.0) + 1, np.arange(10.0) + 2]
    cols[0] = Shrinks(cols)
    X = np.zeros((10, 4))
    B.gather(np.zeros(10), X, 0, _G, cols, None, 0, 10, 1)
    np.testing.assert_array_equal(X, np.column_stack([np.ones(10), _G, _G + 1, _G + 2]))
    with pytest.raises(ValueError, match="y_out has"):
        B.gather(np.zeros(4), None, 2**63 - 2, _G, [], None, 0, 4, 0)
