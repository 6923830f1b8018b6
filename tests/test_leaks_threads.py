"""Every function on its success path and on each of its error paths, many
times over: resident memory stays flat and the inputs' reference counts do
not move. Then eight threads on shared read-only inputs: results are
bit-identical to a serial run. KVR_LEAK_CALLS sets the total number of calls
of the leak test (default 5000; the long run uses 100000)."""

import os
import sys
import threading
import warnings

import numpy as np
import pytest
from functions import FUNCTIONS, INPUTS

from Kalvoren._ckernels.diag import _diag

CALLS = int(os.environ.get("KVR_LEAK_CALLS", "5000"))

# (name, call): success paths, status paths and exception paths of every function
CASES = [(f"{fn.name} {label}", call) for fn in FUNCTIONS for label, call in fn.calls.items()]
f = _diag


def run(call):
    try:
        return call()
    except (TypeError, ValueError, OverflowError, MemoryError, AttributeError):
        return None


def rss():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_cases_cover_every_function():
    names = {n for n in dir(_diag) if callable(getattr(_diag, n)) and n != "np"}
    assert names == {fn.name for fn in FUNCTIONS if "ok" in fn.calls}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
def test_no_leaks():
    rounds = max(CALLS // len(CASES), 1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(max(rounds // 10, 20)):  # warm caches and allocator pools
            for _, call in CASES:
                run(call)
        refs = [sys.getrefcount(o) for o in INPUTS]
        # Two windows, the smaller growth counts: a leak grows in both, while
        # memory some other thread of the suite takes meanwhile shows in one.
        grown = None
        for _ in range(2):
            before = rss()
            for _ in range(rounds):
                for _, call in CASES:
                    run(call)
            window = rss() - before
            grown = window if grown is None else min(grown, window)
    assert [sys.getrefcount(o) for o in INPUTS] == refs
    print(f"\n{rounds * len(CASES)} calls: resident memory grew by {grown} bytes")
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        return  # ASan keeps freed blocks in quarantine: resident memory says nothing there
    assert grown < 1 << 20, (
        f"resident memory grew by {grown} bytes over {rounds * len(CASES)} calls"
    )


def _bits(r):
    """A result as bytes, so NaN payloads and signed zeros compare too."""
    if isinstance(r, tuple):
        if r[0] != 0 and any(isinstance(v, np.ndarray) for v in r):
            return r[0]  # arrays beside a failure status hold unspecified values
        return tuple(_bits(v) for v in r)
    if isinstance(r, np.ndarray):
        return (r.shape, r.tobytes())
    if isinstance(r, float):
        return np.float64(r).tobytes()
    return r


def test_threads_match_a_serial_run():
    big = np.random.default_rng(9).standard_normal((3000, 4))
    heavy = [
        lambda: f.bg_stat(big[:, 0], big[:, 1:], 4),
        lambda: f.cusum_series(big[:, 0], big[:, 1:]),
        lambda: f.hac_estimator_matmul(big, 2, 20),
        lambda: f.acorr(big[:, 0].copy(), 50),
        lambda: f.symmetric_outer_prod_2dim(big),
    ]
    calls = [c for _, c in CASES] + heavy
    # The inputs are shared and only read; flagging them read-only would make
    # the frame refuse them (it asks for writable buffers).
    snapshot = [a.tobytes() for a in INPUTS + [big] if isinstance(a, np.ndarray)]
    serial = [_bits(run(c)) for c in calls]
    if True:  # noqa: SIM108
        results = [None] * 8
        start = threading.Barrier(8)

        def worker(i):
            start.wait()
            out = []
            for rep in range(3):
                order = calls if (i + rep) % 2 == 0 else calls[::-1]
                got = [_bits(run(c)) for c in order]
                out.append(got if order is calls else got[::-1])
            results[i] = out

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for out in results:
            for got in out:
                assert got == serial
    assert [a.tobytes() for a in INPUTS + [big] if isinstance(a, np.ndarray)] == snapshot
