"""The functions of _diag in registration order, with what the cross-cutting
tests need to know about each. Adding a function to the module means adding
its row here: test_module (registration order), test_fuzz_python
(parameters and result kind), test_leaks_threads (calls on its success,
status and exception paths) and test_sizes (huge sizes; the arena against
its size function) read this table."""

from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np

from Kalvoren._ckernels.diag import _diag as f

# Parameter kinds: an array converted to float64, an int64 or int parameter,
# a float parameter.
A, I64, I32, F = "array", "int64", "int32", "float"

# Exceptions a call with huge sizes may raise before any kernel runs.
BIG = (MemoryError, ValueError, OverflowError)


def tup(*kinds):
    """Result kind: a (status, ...) tuple with these items after the status."""
    return ("tuple",) + kinds


@dataclass(frozen=True)
class Function:
    name: str
    # (name, kind, intended shape: n, nk, k, kk, any, or None for scalars)
    params: list
    # how test_fuzz_python checks a result (see its check_result)
    result: Any
    # calls (on shared, only read inputs) for the leak and thread tests
    calls: dict = field(default_factory=dict)
    # label -> (call, exception raised, or None when the call must succeed)
    huge: dict = field(default_factory=dict)
    # the exported arena-size function and its arguments from the call's
    arena: tuple[str, Callable] | None = None


# ------------------------------------------------------------- shared inputs

_rng = np.random.default_rng(5)
y = _rng.standard_normal(40)
X = np.column_stack([np.ones(40), _rng.standard_normal((40, 2))])
Xdef = np.ones((40, 2))  # rank-deficient: FALLBACK
S = np.cov(_rng.standard_normal((3, 50)))
ro = y.copy()
ro.flags.writeable = False  # refused: read-only buffer
asym = np.arange(9.0).reshape(3, 3)
grid = np.sort(_rng.standard_normal(15))
pvals = np.linspace(0.01, 0.99, 7)
lst = y.tolist()


class BadInt:
    def __int__(self):
        return "x"


bad = BadInt()
INPUTS = [y, X, Xdef, S, ro, asym, grid, pvals, lst, bad]


def cols(p, rows=0):
    """A (rows, p) float64 array with no data when rows is 0: huge shapes cost nothing."""
    return np.empty((rows, p))


class Shape(np.ndarray):
    """A 2-vector whose `shape` claims another length."""

    def __new__(cls, claimed):
        obj = np.zeros(2).view(cls)
        obj._claimed = claimed
        return obj

    @property
    def shape(self):
        return (getattr(self, "_claimed", 2),)


def _nk(yv, Xv):
    Xv = np.asarray(Xv, dtype=np.float64)
    return Xv.shape[0], Xv.shape[1]


# -------------------------------------------------------------------- table

FUNCTIONS = [
    Function(
        "bg_stat",
        [("eps", A, "n"), ("X", A, "nk"), ("lags", I64, None)],
        tup("float"),
        calls={
            "ok": lambda: f.bg_stat(y, X[:, 1:], 2),
            "fallback": lambda: f.bg_stat(y, Xdef, 2),
            "short": lambda: f.bg_stat(y, X, 40),
            "bad lag": lambda: f.bg_stat(y, X, -1),
            "rows": lambda: f.bg_stat(y, X[:5], 1),
            "int": lambda: f.bg_stat(y, X, bad),
        },
        huge={
            "lags=2^62": (lambda: f.bg_stat(np.zeros(3), np.zeros((3, 1)), 2**62), None),
            "lags=-2^63": (lambda: f.bg_stat(np.zeros(3), np.zeros((3, 1)), -(2**63)), None),
            "lags=2^63": (lambda: f.bg_stat(np.zeros(3), np.zeros((3, 1)), 2**63), OverflowError),
        },
        arena=("kvr_bg_arena_size", lambda eps, X_, lags: (len(eps), X_.shape[1], lags)),
    ),
    Function(
        "bp_aux",
        [("eps", A, "n"), ("X_aug", A, "nk")],
        tup("float", "float"),
        calls={
            "ok": lambda: f.bp_aux(y, X),
            "fallback": lambda: f.bp_aux(y, Xdef),
            "zero": lambda: f.bp_aux(np.zeros(4), X[:4]),
            "ro": lambda: f.bp_aux(ro, X),
            "rows": lambda: f.bp_aux(y[:3], X),
        },
        huge={
            "k=2^31": (lambda: f.bp_aux([], cols(2**31)), OverflowError),
            "k=2^30": (lambda: f.bp_aux([], cols(2**30)), BIG),
        },
        arena=("kvr_bp_arena_size", lambda eps, X_: X_.shape),
    ),
    Function(
        "chow_stat",
        [("y", A, "n"), ("X", A, "nk"), ("t_break", I64, None)],
        tup("float"),
        calls={
            "ok": lambda: f.chow_stat(y, X, 20),
            "arg": lambda: f.chow_stat(y, X, 0),
            "short": lambda: f.chow_stat(y[:4], X[:4], 2),
            "dims": lambda: f.chow_stat(y, y, 2),
        },
        huge={
            "k=2^31": (lambda: f.chow_stat([], cols(2**31), 1), OverflowError),
            "k=2^29": (lambda: f.chow_stat([], cols(2**29), 1), BIG),
        },
        arena=("kvr_chow_arena_size", lambda y_, X_, t: (X_.shape[1],)),
    ),
    Function(
        "recursive_residuals",
        [("y", A, "n"), ("X", A, "nk")],
        tup("rec"),
        calls={
            "ok": lambda: f.recursive_residuals(y, X),
            "list": lambda: f.recursive_residuals(lst, X),
            "fallback": lambda: f.recursive_residuals(y, Xdef),
            "short": lambda: f.recursive_residuals(y[:2], X[:2]),
            "rows": lambda: f.recursive_residuals(y[:3], X),
        },
        huge={
            "k=2^30": (lambda: f.recursive_residuals([], cols(2**30)), BIG),
            "k=2^16": (lambda: f.recursive_residuals([], cols(2**16)), BIG),
        },
        arena=("kvr_recursive_residuals_arena_size", lambda y_, X_: (X_.shape[1],)),
    ),
    Function(
        "cusum_series",
        [("y", A, "n"), ("X", A, "nk")],
        tup("rec"),
        calls={
            "ok": lambda: f.cusum_series(y, X),
            "kw": lambda: f.cusum_series(X=X, y=y),
            "udef": lambda: f.cusum_series(X[:, 1], X[:, :2]),
        },
        huge={"k=2^30": (lambda: f.cusum_series([], cols(2**30)), BIG)},
        arena=("kvr_cusum_series_arena_size", _nk),
    ),
    Function(
        "cusum_stat",
        [("y", A, "n"), ("X", A, "nk")],
        tup("float"),
        calls={"ok": lambda: f.cusum_stat(y, X), "extra": lambda: f.cusum_stat(y, X, 1)},
        huge={
            "k=2^30": (lambda: f.cusum_stat([], cols(2**30)), BIG),
            "k=2^20": (lambda: f.cusum_stat([], cols(2**20)), BIG),
        },
        arena=("kvr_cusum_arena_size", _nk),
    ),
    Function(
        "cusum_sf",
        [("a", F, None)],
        "np_float",
        calls={"ok": lambda: f.cusum_sf(0.7), "type": lambda: f.cusum_sf("a")},
    ),
    Function(
        "cusum_sf_arr",
        [("a", A, "any")],
        "like0",
        calls={
            "ok": lambda: f.cusum_sf_arr(pvals),
            "list": lambda: f.cusum_sf_arr(lst),
            "bad": lambda: f.cusum_sf_arr("abc"),
        },
    ),
    Function(
        "cusumsq_stat",
        [("y", A, "n"), ("X", A, "nk")],
        tup("int", "float"),
        calls={
            "ok": lambda: f.cusumsq_stat(y, X),
            "missing": lambda: f.cusumsq_stat(y),
            "udef": lambda: f.cusumsq_stat(X[:, 1], X[:, :2]),
        },
        huge={"k=2^31": (lambda: f.cusumsq_stat([], cols(2**31)), OverflowError)},
        arena=("kvr_cusumsq_arena_size", _nk),
    ),
    Function(
        "jb_stat",
        [("x", A, "n")],
        tup("np_float"),
        calls={
            "ok": lambda: f.jb_stat(y),
            "udef": lambda: f.jb_stat(np.ones(20)),
            "short": lambda: f.jb_stat(y[:5]),
            "dims": lambda: f.jb_stat(X),
        },
    ),
    Function(
        "acorr",
        [("x", A, "n"), ("L", I64, None)],
        tup("acorr"),
        calls={
            "ok": lambda: f.acorr(y, 5),
            "udef": lambda: f.acorr(np.ones(9), 3),
            "neg": lambda: f.acorr(y, -3),
            "big": lambda: f.acorr(y, 2**63 - 1),
            "kw dup": lambda: f.acorr(y, x=y, L=2),
        },
        # output length L + 1
        huge={
            "L=2^63-1": (lambda: f.acorr(np.arange(4.0), 2**63 - 1), OverflowError),
            "L=2^62": (lambda: f.acorr(np.arange(4.0), 2**62), BIG),
            "L=2^45": (lambda: f.acorr(np.arange(4.0), 2**45), BIG),
            "L=-2": (lambda: f.acorr(np.arange(4.0), -2), ValueError),
            "L=-2^63": (lambda: f.acorr(np.arange(4.0), -(2**63)), ValueError),
        },
    ),
    Function(
        "lb_stat",
        [("x", A, "n"), ("L", I64, None)],
        tup("float"),
        calls={
            "ok": lambda: f.lb_stat(y, 4),
            "lag": lambda: f.lb_stat(y, 0),
            "short": lambda: f.lb_stat(y[:1], 2),
            "huge": lambda: f.lb_stat(y, 2**64),
        },
        # no arena: z and rho are two outputs of length n (test_lb_alloc.py)
        huge={"L=2^63-1": (lambda: f.lb_stat(np.arange(4.0), 2**63 - 1), None)},
    ),
    Function(
        "hac_estimator_matmul",
        [("r", A, "nk"), ("kernel_id", I32, None), ("L", I64, None)],
        "pp",
        calls={
            "ok": lambda: f.hac_estimator_matmul(X, 1, 3),
            "id": lambda: f.hac_estimator_matmul(X, 2**40, 3),
            "unknown kw": lambda: f.hac_estimator_matmul(X, 1, L=3, bogus=1),
        },
        huge={
            "p=2^32": (lambda: f.hac_estimator_matmul(cols(2**32), 0, 1), BIG),
            "p=2^21": (lambda: f.hac_estimator_matmul(cols(2**21), 0, 1), BIG),
            "L=-2^63": (lambda: f.hac_estimator_matmul(np.ones((3, 2)), 2, -(2**63)), None),
            "kernel_id=2^31": (
                lambda: f.hac_estimator_matmul(np.ones((3, 2)), 2**31, 1),
                OverflowError,
            ),
        },
    ),
    Function(
        "fill_mean_ax0",
        [("x", A, "nk")],
        "p",
        calls={"ok": lambda: f.fill_mean_ax0(X), "dims": lambda: f.fill_mean_ax0(y)},
        huge={
            "p=2^41": (lambda: f.fill_mean_ax0(cols(2**41)), BIG),
            "n=2^41": (lambda: f.fill_mean_ax0(np.empty((2**41, 0))), None),
        },
    ),
    Function(
        "fill_centered_ax0",
        [("x", A, "nk"), ("mean", A, "k")],
        "np_",
        calls={
            "ok": lambda: f.fill_centered_ax0(X, X[0]),
            "short": lambda: f.fill_centered_ax0(X, y[:1]),
        },
        huge={"n=2^41": (lambda: f.fill_centered_ax0(np.empty((2**41, 0)), []), None)},
    ),
    Function(
        "wald_stat_from_mean_and_cov",
        [("mean", A, "k"), ("target", A, "k"), ("omega", A, "kk"), ("n", I64, None)],
        tup("float"),
        calls={
            "ok": lambda: f.wald_stat_from_mean_and_cov(y[:3], y[3:6], S, 40),
            "singular": lambda: f.wald_stat_from_mean_and_cov(y[:3], y[3:6], np.zeros((3, 3)), 40),
            "list": lambda: f.wald_stat_from_mean_and_cov(lst, y, S, 40),
            "shape": lambda: f.wald_stat_from_mean_and_cov(y[:3], y[3:6], S[:2], 40),
        },
        huge={
            "p=2^40 claimed": (
                lambda: f.wald_stat_from_mean_and_cov(Shape(2**40), np.zeros(2), np.eye(2), 5),
                ValueError,
            ),
            "p=-5 claimed": (
                lambda: f.wald_stat_from_mean_and_cov(Shape(-5), np.zeros(2), np.eye(2), 5),
                ValueError,
            ),
            "n=2^63": (
                lambda: f.wald_stat_from_mean_and_cov(np.zeros(2), np.zeros(2), np.eye(2), 2**63),
                OverflowError,
            ),
        },
    ),
    Function(
        "symmetric_outer_prod_2dim",
        [("x", A, "nk")],
        tup("nq"),
        calls={
            "ok": lambda: f.symmetric_outer_prod_2dim(X),
            "big": lambda: f.symmetric_outer_prod_2dim(np.empty((0, 2**32))),
        },
        # output (n, q), q = p(p+1)/2
        huge={
            "p=2^32": (lambda: f.symmetric_outer_prod_2dim(cols(2**32)), OverflowError),
            "p=2^31": (lambda: f.symmetric_outer_prod_2dim(cols(2**31)), BIG),
            "n=2^41": (lambda: f.symmetric_outer_prod_2dim(np.empty((2**41, 0))), None),
            "p=2^20 n=1": (
                lambda: f.symmetric_outer_prod_2dim(  # q = 2^39 + 2^19
                    np.broadcast_to(np.float64(1.0), (1, 2**20))
                ),
                BIG,
            ),
        },
    ),
    Function(
        "fill_symmetric_target_vec",
        [("target", A, "kk"), ("atol", F, None), ("rtol", F, None)],
        tup("q"),
        calls={
            "ok": lambda: f.fill_symmetric_target_vec(S, 1e-8, 1e-5),
            "asym": lambda: f.fill_symmetric_target_vec(asym, 1e-8, 1e-5),
            "shape": lambda: f.fill_symmetric_target_vec(X, 1e-8, 1e-5),
            "float": lambda: f.fill_symmetric_target_vec(S, "x", 1e-5),
        },
    ),
    Function(
        "jb_find_hilo_ascending",
        [("val", F, None), ("arr", A, "n")],
        "hilo",
        calls={"ok": lambda: f.jb_find_hilo_ascending(0.1, grid)},
    ),
    Function(
        "jb_find_hilo_descending",
        [("val", F, None), ("arr", A, "n")],
        "hilo",
        calls={
            "ok": lambda: f.jb_find_hilo_descending(0.1, grid[::-1]),
            "dims": lambda: f.jb_find_hilo_descending(0.1, X),
        },
    ),
    Function(
        "jb_isf_interp",
        [("n", I64, None), ("p", F, None)],
        "np_float",
        calls={"ok": lambda: f.jb_isf_interp(30, 0.05), "int": lambda: f.jb_isf_interp(None, 0.05)},
        huge={"n=-2^63": (lambda: f.jb_isf_interp(-(2**63), 0.05), None)},
    ),
    Function(
        "jb_pval_interp",
        [("n", I64, None), ("x", F, None)],
        "np_float",
        calls={"ok": lambda: f.jb_pval_interp(30, 2.0)},
    ),
    Function(
        "jb_isf_interp_arr",
        [("n", I64, None), ("p", A, "any")],
        "like1",
        calls={"ok": lambda: f.jb_isf_interp_arr(30, pvals)},
    ),
    Function(
        "jb_pval_interp_arr",
        [("n", I64, None), ("x", A, "any")],
        "like1",
        calls={
            "ok": lambda: f.jb_pval_interp_arr(30, X),
            "bad": lambda: f.jb_pval_interp_arr(30, [[1.0], [2.0, 3.0]]),
        },
        huge={"n=2^63-1": (lambda: f.jb_pval_interp_arr(2**63 - 1, [1.0, 2.0]), None)},
    ),
]

BY_NAME = {fn.name: fn for fn in FUNCTIONS}
NAMES = [fn.name for fn in FUNCTIONS]
