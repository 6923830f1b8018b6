"""Every exported kernel through ctypes with random sizes (negative, 0, 1,
moderately large) and random values (NaN, inf, huge, subnormal). Outputs,
arenas and pivot arrays have exactly the stated length followed by guard
values; inputs are exact-size arrays that must come back unchanged (under
scripts/sanitize.sh a read past them is reported). KVR_FUZZ_EXAMPLES scales
the number of calls per kernel."""

import ctypes
import os
import subprocess

import numpy as np
import pytest
from native import I32, I64, LIB, PD, PI64, ArenaSize, D, Guarded, ptr

from Kalvoren._ckernels.diag import _batch

CALLS = max(int(os.environ.get("KVR_FUZZ_EXAMPLES", "40")), 1)
P = ctypes.c_void_p
SPECIAL = np.array([np.nan, np.inf, -np.inf, 1e308, -1e308, 5e-324, 0.0, -0.0, 1.0])
INT_GUARD = -0x5A5A5A5A5A5A5A5


def pos(*dims):
    out = 1
    for d in dims:
        out *= max(int(d), 0)
    return out


class GuardedI64:
    def __init__(self, n):
        self.n = max(int(n), 0)
        self.full = np.full(self.n + 16, INT_GUARD, dtype=np.int64)

    @property
    def p(self):
        return self.full.ctypes.data_as(PI64)

    def check(self):
        assert np.all(self.full[self.n :] == INT_GUARD), "write past the end of a pivot array"


class Call:
    """Buffers of one kernel call and the checks made after it."""

    def __init__(self, rng):
        self.rng = rng
        self.outs, self.ins = [], []

    def values(self, n, complex_=False):
        n = n * (2 if complex_ else 1)
        v = self.rng.standard_normal(n)
        mode = self.rng.integers(0, 6)
        if mode == 0 and n:
            v[self.rng.random(n) < 0.3] = self.rng.choice(SPECIAL)
        elif mode == 1:
            v[:] = self.rng.choice(SPECIAL)
        elif mode == 2:
            v = np.round(v)  # ties, zeros, rank deficiency
        return v

    def inp(self, n, values=None, complex_=False):
        """An exact-size input (a 1-element array for n <= 0: nothing may read it)."""
        n = max(int(n), 0)
        a = self.values(n, complex_) if values is None else np.asarray(values, np.float64).ravel()
        if a.size == 0:
            a = np.full(1, -9.0)
        a = np.ascontiguousarray(a)
        self.ins.append((a, a.tobytes()))
        return ptr(a)

    def out(self, n, complex_=False, init=None):
        g = Guarded(pos(n) * (2 if complex_ else 1), init=init)
        self.outs.append(g)
        return g.p

    def piv(self, n):
        g = GuardedI64(n)
        self.outs.append(g)
        return g.p

    def check(self):
        for g in self.outs:
            g.check()
        for a, before in self.ins:
            assert a.tobytes() == before, "an input was written"


def size(rng, big=60):
    r = rng.integers(0, 10)
    if r == 0:
        return int(rng.choice([-(2**62), -5, -1]))
    if r < 8:
        return int(rng.integers(0, 7))
    return int(rng.integers(7, max(big, 8)))


# -------------------------------------------------------------- signatures

# A handle of our own: ctypes caches one function object per name and handle,
# and other tests give some kernels other argument types (complex pointers).
OWN = ctypes.CDLL(LIB._name)


def k(name, restype, *args):
    f = getattr(OWN, name)
    f.restype, f.argtypes = restype, list(args)
    return f


AS = ArenaSize


def call_cases():
    """name -> f(c: Call, rng): one call with fresh random sizes."""
    cases = {}

    def case(name):
        def deco(f):
            cases[name] = f
            return f

        return deco

    # ---- real primitives
    @case("kvr_zero_mat")
    def _(c, r):
        m, n = size(r), size(r)
        k("kvr_zero_mat", None, PD, I64, I64)(c.out(pos(m, n)), m, n)

    @case("kvr_sym_inplace")
    def _(c, r):
        n = size(r, 30)
        k("kvr_sym_inplace", None, PD, I64)(c.out(pos(n, n), init=c.values(pos(n, n))), n)

    @case("kvr_matmul")
    def _(c, r):
        m, kk, n = size(r, 30), size(r, 30), size(r, 30)
        k("kvr_matmul", None, PD, PD, PD, I64, I64, I64)(
            c.inp(pos(m, kk)), c.inp(pos(kk, n)), c.out(pos(m, n)), m, kk, n
        )

    @case("kvr_matmul_atb")
    def _(c, r):
        m, p, q = size(r, 30), size(r, 30), size(r, 30)
        k("kvr_matmul_atb", None, PD, PD, PD, I64, I64, I64)(
            c.inp(pos(m, p)), c.inp(pos(m, q)), c.out(pos(p, q)), m, p, q
        )

    @case("kvr_matmul_abt")
    def _(c, r):
        m, kk, n = size(r, 30), size(r, 30), size(r, 30)
        k("kvr_matmul_abt", None, PD, PD, PD, I64, I64, I64)(
            c.inp(pos(m, kk)), c.inp(pos(n, kk)), c.out(pos(m, n)), m, kk, n
        )

    @case("kvr_matmul_abt_plus_c")
    def _(c, r):
        m, kk, n = size(r, 30), size(r, 30), size(r, 30)
        k("kvr_matmul_abt_plus_c", None, PD, PD, PD, PD, I64, I64, I64)(
            c.inp(pos(m, kk)), c.inp(pos(n, kk)), c.inp(pos(m, n)), c.out(pos(m, n)), m, kk, n
        )

    @case("kvr_matvec")
    def _(c, r):
        m, n = size(r), size(r)
        k("kvr_matvec", None, PD, PD, PD, I64, I64)(c.inp(pos(m, n)), c.inp(n), c.out(m), m, n)

    @case("kvr_matvec_plus_vec")
    def _(c, r):
        m, n = size(r), size(r)
        k("kvr_matvec_plus_vec", None, PD, PD, PD, PD, I64, I64)(
            c.inp(pos(m, n)), c.inp(n), c.inp(m), c.out(m), m, n
        )

    @case("kvr_vsub")
    def _(c, r):
        n = size(r, 300)
        k("kvr_vsub", None, PD, PD, PD, I64)(c.inp(n), c.inp(n), c.out(n), n)

    @case("kvr_dot")
    def _(c, r):
        n = size(r, 300)
        k("kvr_dot", D, PD, PD, I64)(c.inp(n), c.inp(n), n)

    @case("kvr_gram")
    def _(c, r):
        n, p = size(r), size(r, 20)
        k("kvr_gram", None, PD, PD, I64, I64)(c.inp(pos(n, p)), c.out(pos(p, p)), n, p)

    @case("kvr_gram_rhs")
    def _(c, r):
        n, p = size(r), size(r, 20)
        k("kvr_gram_rhs", None, PD, PD, PD, I64, I64)(c.inp(pos(n, p)), c.inp(n), c.out(p), n, p)

    # ---- Cholesky
    def spd(c, n):
        n = max(n, 0)
        if c.rng.integers(0, 2):
            return c.values(n * n)
        a = c.rng.standard_normal((n, n))
        return (a @ a.T + n * np.eye(n)).ravel()

    @case("kvr_chol")
    def _(c, r):
        n = size(r, 30)
        k("kvr_chol", I32, PD, PD, I64, D)(
            c.inp(pos(n, n), spd(c, n)),
            c.out(pos(n, n)),
            n,
            float(r.choice([0.0, 1e-8, -1.0, np.nan])),
        )

    @case("kvr_logdet_from_chol")
    def _(c, r):
        n = size(r, 30)
        k("kvr_logdet_from_chol", D, PD, I64)(c.inp(pos(n, n)), n)

    @case("kvr_forward_subst")
    def _(c, r):
        n = size(r, 30)
        k("kvr_forward_subst", None, PD, PD, PD, I64)(c.inp(pos(n, n)), c.inp(n), c.out(n), n)

    @case("kvr_backward_subst_chol_t")
    def _(c, r):
        n = size(r, 30)
        k("kvr_backward_subst_chol_t", None, PD, PD, PD, I64)(
            c.inp(pos(n, n)), c.inp(n), c.out(n), n
        )

    @case("kvr_chol_solve")
    def _(c, r):
        n = size(r, 30)
        k("kvr_chol_solve", I32, PD, PD, PD, PD, I64)(
            c.inp(pos(n, n), spd(c, n)), c.inp(n), c.out(n), c.out(pos(n, n)), n
        )

    @case("kvr_chol_inv")
    def _(c, r):
        n = size(r, 30)
        k("kvr_chol_inv", I32, PD, PD, PD, I64)(
            c.inp(pos(n, n), spd(c, n)), c.out(pos(n, n)), c.out(pos(n, n)), n
        )

    @case("kvr_chol_rcond")
    def _(c, r):
        # an arbitrary "factor" too: the estimator must stay in bounds whatever it reads
        n = size(r, 30)
        A, L = spd(c, n), c.values(pos(n, n))
        try:
            L = np.linalg.cholesky(A.reshape(pos(n), pos(n))).ravel()
        except np.linalg.LinAlgError:
            pass
        k("kvr_chol_rcond", D, PD, PD, I64, PD)(
            c.inp(pos(n, n), A), c.inp(pos(n, n), L), n, c.out(2 * pos(n))
        )

    # ---- real and complex LU
    for cplx, pre in ((False, "kvr"), (True, "c128")):

        class Fac(ctypes.Structure):
            _fields_ = [("lu", P), ("piv", PI64), ("n", I64), ("status", I64)]

        def factored(c, n, cplx=cplx, pre=pre):
            """An n x n factor and its pivots, as the factorisation leaves them."""
            a = Guarded(pos(n, n) * (2 if cplx else 1), init=c.values(pos(n, n), cplx))
            piv = GuardedI64(n)
            st = k(f"{pre}_lu_factor_inplace", I32, PD, PI64, I64)(a.p, piv.p, n)
            a.check()
            piv.check()
            return st, a, piv

        @case(f"{pre}_lu_factor_inplace")
        def _(c, r, factored=factored):
            factored(c, size(r, 25))

        @case(f"{pre}_lu_factor")
        def _(c, r, cplx=cplx, pre=pre, Fac=Fac):
            n = size(r, 25)
            f = k(f"{pre}_lu_factor", Fac, PD, I64)(c.inp(pos(n, n), complex_=cplx), n)
            k(f"{pre}_lu_free", None, ctypes.POINTER(Fac))(ctypes.byref(f))
            assert not f.lu and not f.piv

        @case(f"{pre}_lu_solve")
        def _(c, r, cplx=cplx, pre=pre, factored=factored):
            n, m = size(r, 25), size(r, 10)
            st, a, piv = factored(c, n)
            if st != 0 and n > 0:
                return  # pivots of a failed factorisation are not a solve's input
            k(f"{pre}_lu_solve", None, PD, PI64, PD, PD, I64, I64)(
                a.p, piv.p, c.inp(pos(n, m), complex_=cplx), c.out(pos(n, m), cplx), n, m
            )

        @case(f"{pre}_solve")
        def _(c, r, cplx=cplx, pre=pre):
            n, m = size(r, 25), size(r, 10)
            k(f"{pre}_solve", I32, PD, PD, I64, I64, PD)(
                c.inp(pos(n, n), complex_=cplx),
                c.inp(pos(n, m), complex_=cplx),
                n,
                m,
                c.out(pos(n, m), cplx),
            )

        @case(f"{pre}_inv")
        def _(c, r, cplx=cplx, pre=pre):
            n = size(r, 25)
            k(f"{pre}_inv", I32, PD, I64, PD)(
                c.inp(pos(n, n), complex_=cplx), n, c.out(pos(n, n), cplx)
            )

    @case("c128_matmul")
    def _(c, r):
        m, kk, n = size(r, 20), size(r, 20), size(r, 20)
        k("c128_matmul", None, PD, PD, PD, I64, I64, I64)(
            c.inp(pos(m, kk), complex_=True),
            c.inp(pos(kk, n), complex_=True),
            c.out(pos(m, n), True),
            m,
            kk,
            n,
        )

    # ---- order statistics, normal quantile
    @case("kvr_cmp_f64")
    def _(c, r):
        a, b = c.values(2)
        assert k("kvr_cmp_f64", I32, PD, PD)(c.inp(1, [a]), c.inp(1, [b])) in (-1, 0, 1)

    @case("kvr_sort_f64")
    def _(c, r):
        n = size(r, 300)
        k("kvr_sort_f64", None, PD, I64)(c.out(n, init=c.values(pos(n))), n)

    @case("kvr_median_f64")
    def _(c, r):
        n = size(r, 300)
        k("kvr_median_f64", D, PD, I64)(c.out(n, init=c.values(pos(n))), n)

    @case("kvr_ndtri_as241")
    def _(c, r):
        k("kvr_ndtri_as241", D, D)(float(c.values(1)[0]))
        k("kvr_erfinv_from_as241", D, D)(float(c.values(1)[0]))

    @case("kvr_ndtri_as241_into")
    def _(c, r):
        n = size(r, 300)
        k("kvr_ndtri_as241_into", None, PD, I64, PD)(c.inp(n, r.random(pos(n))), n, c.out(n))

    # ---- column statistics
    @case("kvr_fill_mean_ax0")
    def _(c, r):
        n, p = size(r), size(r)
        k("kvr_fill_mean_ax0", None, PD, I64, I64, PD)(c.inp(pos(n, p)), n, p, c.out(p))

    @case("kvr_fill_centered_ax0")
    def _(c, r):
        n, p = size(r), size(r)
        k("kvr_fill_centered_ax0", None, PD, PD, I64, I64, PD)(
            c.inp(pos(n, p)), c.inp(p), n, p, c.out(pos(n, p))
        )

    @case("kvr_design_scan")
    def _(c, r):
        n, p = size(r), size(r, 150)  # past one block of 64 columns
        k("kvr_design_scan", I64, PD, PD, I64, I64, PI64)(
            c.inp(n), c.inp(pos(n, p)), n, p, c.piv(1)
        )

    @case("kvr_design_copy")
    def _(c, r):
        n, p, lead = size(r), size(r, 150), int(r.integers(0, 2))
        k("kvr_design_copy", None, PD, PD, I64, I64, I64, PD, PD)(
            c.inp(n), c.inp(pos(n, p)), n, p, lead, c.out(n), c.out(pos(n, p + lead))
        )

    @case("kvr_key_groups")
    @case("kvr_key_count")
    def _(c, r):
        n, span, lo = size(r), size(r, 200), int(r.choice([0, -7, 2**62, -(2**63)]))
        keys = np.asarray(lo + r.integers(-1, max(span, 1) + 1, pos(n)), np.int64)
        count = GuardedI64(span)
        count.full[: count.n] = 0
        c.outs.append(count)
        G = k("kvr_key_count", I64, PI64, I64, I64, I64, PI64)(
            keys.ctypes.data_as(PI64), n, lo, span, count.p
        )
        assert G == -1 or 0 <= G <= pos(n)
        if G >= 0:  # the keys all in range: their groups, into buffers of G and n
            k("kvr_key_groups", None, PI64, I64, I64, I64, PI64, PI64, PI64, PI64)(
                keys.ctypes.data_as(PI64), n, lo, span, count.p, c.piv(G), c.piv(G + 1), c.piv(n)
            )

    # ---- regression diagnostics: arenas of exactly the stated length
    def arena(c, rec):
        assert rec.piv_len == 0 and rec.arena_len >= 0
        if rec.arena_len > 10**7:
            return None  # saturated or absurd: nothing to call with
        return c.out(rec.arena_len)

    @case("kvr_bg_stat")
    def _(c, r):
        n, kk, lags = size(r), size(r, 8), size(r, 12)
        a = arena(c, k("kvr_bg_arena_size", AS, I64, I64, I64)(n, kk, lags))
        if a is not None:
            k("kvr_bg_stat", I32, PD, PD, I64, I64, I64, PD, PD)(
                c.inp(n), c.inp(pos(n, kk)), n, kk, lags, a, c.out(1)
            )

    @case("kvr_bp_aux")
    def _(c, r):
        n, p = size(r), size(r, 8)
        a = arena(c, k("kvr_bp_arena_size", AS, I64, I64)(n, p))
        k("kvr_bp_aux", I32, PD, PD, I64, I64, PD, PD, PD)(
            c.inp(n), c.inp(pos(n, p)), n, p, a, c.out(1), c.out(1)
        )

    @case("kvr_bp_stat")
    def _(c, r):
        n, p = size(r), size(r, 8)
        a = arena(c, k("kvr_bp_arena_size", AS, I64, I64)(n, p))
        k("kvr_bp_stat", I32, PD, PD, I64, I64, I64, PD, PD)(
            c.inp(n), c.inp(pos(n, p)), n, p, int(r.integers(-1, 2)), a, c.out(1)
        )

    @case("kvr_chow_stat")
    def _(c, r):
        n, kk = size(r), size(r, 8)
        a = arena(c, k("kvr_chow_arena_size", AS, I64)(kk))
        k("kvr_chow_stat", I32, PD, PD, I64, I64, I64, PD, PD)(
            c.inp(n), c.inp(pos(n, kk)), n, kk, int(r.integers(-2, max(n, 0) + 2)), a, c.out(1)
        )

    # ---- stability
    def rec_count(n, kk):
        return max(n - max(kk, 0), 0) if n > 0 else 0

    @case("kvr_recursive_residuals")
    def _(c, r):
        n, kk = size(r), size(r, 8)
        a = arena(c, k("kvr_recursive_residuals_arena_size", AS, I64)(kk))
        k("kvr_recursive_residuals", I32, PD, PD, I64, I64, PD, PD)(
            c.inp(n), c.inp(pos(n, kk)), n, kk, a, c.out(rec_count(n, kk))
        )

    @case("kvr_cusum_series")
    def _(c, r):
        n, kk = size(r), size(r, 8)
        a = arena(c, k("kvr_cusum_series_arena_size", AS, I64, I64)(n, kk))
        k("kvr_cusum_series", I32, PD, PD, I64, I64, PD, PD)(
            c.inp(n), c.inp(pos(n, kk)), n, kk, a, c.out(rec_count(n, kk))
        )

    @case("kvr_cusum_stat")
    def _(c, r):
        n, kk = size(r), size(r, 8)
        a = arena(c, k("kvr_cusum_arena_size", AS, I64, I64)(n, kk))
        k("kvr_cusum_stat", I32, PD, PD, I64, I64, PD, PD)(
            c.inp(n), c.inp(pos(n, kk)), n, kk, a, c.out(1)
        )

    @case("kvr_cusumsq_stat")
    def _(c, r):
        n, kk = size(r), size(r, 8)
        a = arena(c, k("kvr_cusumsq_arena_size", AS, I64, I64)(n, kk))
        k("kvr_cusumsq_stat", I32, PD, PD, I64, I64, PI64, PD, PD)(
            c.inp(n), c.inp(pos(n, kk)), n, kk, c.piv(1), a, c.out(1)
        )

    @case("kvr_cusum_sf_into")
    def _(c, r):
        n = size(r, 300)
        k("kvr_cusum_sf", D, D)(float(c.values(1)[0]))
        k("kvr_cusum_sf_into", None, PD, I64, PD)(c.inp(n), n, c.out(n))

    # ---- series
    @case("kvr_acorr")
    def _(c, r):
        n, L = size(r, 200), size(r, 250)
        k("kvr_acorr", I32, PD, I64, I64, PD, PD)(
            c.inp(n), n, L, c.out(n), c.out(pos(L) + 1 if L >= 0 else 0)
        )

    @case("kvr_lb_stat")
    def _(c, r):
        n, L = size(r, 200), int(r.choice([size(r, 250), 2**63 - 1]))
        rec = k("kvr_lb_arena_size", AS, I64, I64)(n, L)
        assert rec.arena_len >= pos(n)
        g = Guarded(rec.arena_len)
        c.outs.append(g)
        z = g.p
        rho = ctypes.cast(ctypes.addressof(z.contents) + 8 * pos(n), PD)
        k("kvr_lb_stat", I32, PD, I64, I64, PD, PD, PD)(c.inp(n), n, L, z, rho, c.out(1))

    @case("kvr_jb_stat")
    def _(c, r):
        n = size(r, 300)
        k("kvr_jb_stat", I32, PD, I64, PD)(c.inp(n), n, c.out(1))

    for asc in ("ascending", "descending"):

        @case(f"kvr_jb_find_hilo_{asc}")
        def _(c, r, asc=asc):
            n = size(r, 40)
            v = np.sort(c.values(pos(n)))
            lo, hi = c.piv(1), c.piv(1)
            k(f"kvr_jb_find_hilo_{asc}", None, PD, I64, PI64, PI64, D)(
                c.inp(n, v if asc == "ascending" else v[::-1]), n, lo, hi, float(c.values(1)[0])
            )
            if n > 0:
                assert 0 <= lo[0] <= hi[0] < n

    for kind in ("isf", "pval"):

        @case(f"kvr_jb_{kind}_interp_into")
        def _(c, r, kind=kind):
            n, count = int(r.choice([size(r, 3000), 2**63 - 1, -(2**63)])), size(r, 100)
            k(f"kvr_jb_{kind}_interp", D, I64, D)(n, float(c.values(1)[0]))
            k(f"kvr_jb_{kind}_interp_into", None, I64, PD, I64, PD)(
                n, c.inp(count), count, c.out(count)
            )

    # ---- HAC, Wald, vech
    KID = lambda r: int(r.choice([0, 1, 2, -1, 3, 2**31 - 1]))  # noqa: E731

    @case("kernel_weight")
    def _(c, r):
        k("kernel_weight", D, I64, I64, I32)(size(r), int(r.choice([size(r), 2**63 - 1])), KID(r))
        k("wooldridge_bandwidth", I64, PD, I64)(None, int(r.choice([size(r, 10**6), 2**63 - 1])))

    @case("andrews_bandwidth")
    def _(c, r):
        n = size(r, 200)
        k("andrews_bandwidth", I64, PD, I32, I64)(c.inp(n), KID(r), n)

    @case("andrews_bandwidth_matrix")
    def _(c, r):
        n, p = size(r), size(r, 20)
        assert (
            k("andrews_bandwidth_matrix", I64, PD, I32, I64, I64, PD)(
                c.inp(pos(n, p)), KID(r), n, p, c.out(p)
            )
            >= 1
        )

    @case("kvr_hac_estimator_matmul")
    def _(c, r):
        n, p = size(r), size(r, 12)
        L = int(r.choice([size(r), 2**63 - 1, -(2**63)]))
        k("kvr_hac_estimator_matmul", None, PD, I32, I64, I64, I64, PD, PD)(
            c.inp(pos(n, p)), KID(r), L, n, p, c.out(pos(p, p)), c.out(pos(p, p))
        )

    @case("kvr_wald_stat_from_mean_and_cov")
    def _(c, r):
        n, p = size(r), size(r, 20)
        k("kvr_wald_stat_from_mean_and_cov", I32, PD, PD, PD, I64, I64, PD, PD, PI64, PD, PD)(
            c.inp(p),
            c.inp(p),
            c.inp(pos(p, p), spd(c, p)),
            n,
            p,
            c.out(p),
            c.out(pos(p, p)),
            c.piv(p),
            c.out(p),
            c.out(1),
        )

    for test, tlen in (
        ("mean", lambda kk: pos(kk)),
        ("covariance", lambda kk: pos(kk, kk)),
        ("second_moment", lambda kk: pos(kk, kk)),
    ):

        @case(f"kvr_wald_{test}_hac")
        def _(c, r, test=test, tlen=tlen):
            n, kk = size(r), size(r, 9)
            rec = k(f"kvr_wald_{test}_hac_arena_size", AS, I64, I64)(n, kk)
            if rec.arena_len < 0 or rec.arena_len > 10**7:
                return
            target = c.values(tlen(kk))
            if kk > 0 and r.integers(0, 2):
                t = target.reshape(kk, -1)
                target = ((t + t.T) / 2 if t.shape[1] == kk else t).ravel()
            bw = int(r.choice([size(r), 2**63 - 1, -(2**63)]))
            k(f"kvr_wald_{test}_hac", I32, PD, PD, I64, I64, I32, I32, I64, PD, PI64, PD)(
                c.inp(pos(n, kk)),
                c.inp(tlen(kk), target),
                n,
                kk,
                KID(r),
                int(r.choice([0, 1, 2, 3, -1, 4])),
                bw,
                c.out(rec.arena_len),
                c.piv(rec.piv_len),
                c.out(1),
            )

    @case("kvr_symmetric_outer_prod_2dim")
    def _(c, r):
        n, p = size(r), size(r, 12)
        q = pos(p) * (pos(p) + 1) // 2 + int(r.choice([0, 0, -1, 1, -(2**62)]))
        k("kvr_symmetric_outer_prod_2dim", I32, PD, I64, I64, I64, PD)(
            c.inp(pos(n, p)), n, p, q, c.out(pos(n, q))
        )

    @case("kvr_fill_symmetric_target_vec")
    def _(c, r):
        p = size(r, 20)
        t = c.values(pos(p, p)).reshape(pos(p), pos(p))
        if r.integers(0, 2):
            t = (t + t.T) / 2
        k("kvr_fill_symmetric_target_vec", I32, PD, I64, PD, D, D)(
            c.inp(pos(p, p), t),
            p,
            c.out(pos(p) * (pos(p) + 1) // 2),
            float(r.choice([1e-8, 0.0, np.nan, np.inf])),
            float(r.choice([1e-5, 0.0, -1.0])),
        )

    # ---- the battery: a design with its constant column half of the time
    @case("kvr_battery")
    def _(c, r):
        n, kk, lags = size(r, 300), size(r, 8), int(r.choice([size(r, 12), 2**63 - 1]))
        a = arena(c, k("kvr_battery_arena_size", AS, I64, I64, I64)(n, kk, lags))
        if a is None:
            return
        kp = max(kk, 0)
        cc = int(r.choice([-1, -(2**62), 0, kp - 1, kp, 2**62]))
        X = c.values(pos(n, kk)).reshape(pos(n), kp)
        if 0 <= cc < kp and r.integers(0, 2):
            X[:, cc] = 1.0
        k("kvr_battery", I32, PD, PD, I64, I64, I64, I64, I64, I64, I64, PD, PD, PD, PD)(
            c.inp(n),
            c.inp(pos(n, kk), X),
            n,
            kk,
            cc,
            lags,
            int(r.integers(-2, pos(n) + 2)),
            int(r.choice([size(r), 2**63 - 1, -(2**63)])),
            int(r.integers(-1, 300)),
            a,
            c.out(_batch.NFIELDS),  # the record's length
            c.out(kp),
            c.out(kp),
        )

    return cases


def exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", LIB._name], capture_output=True, text=True
    ).stdout
    names = {
        line.split()[-1]
        for line in out.splitlines()
        if line.split()[-2] in ("T", "i") and "." not in line.split()[-1]
    }
    return names - {"PyInit__diag"}


CASES = call_cases()
EXPORTED = exported()
ARENA_SIZES = {name for name in EXPORTED if name.endswith("_arena_size")}
COVERED_ELSEWHERE = {
    "kvr_lu_free",
    "c128_lu_free",
    "kvr_erfinv_from_as241",
    "kvr_cusum_sf",
    "kvr_jb_isf_interp",
    "kvr_jb_pval_interp",
    "wooldridge_bandwidth",
} | ARENA_SIZES


def test_every_export_is_exercised():
    assert len(ARENA_SIZES) >= 12
    assert EXPORTED <= set(CASES) | COVERED_ELSEWHERE, sorted(
        EXPORTED - set(CASES) - COVERED_ELSEWHERE
    )


@pytest.mark.parametrize("name", sorted(CASES))
def test_kernel_stays_in_bounds(name):
    rng = np.random.default_rng(
        abs(hash(name)) % 2**32 if os.environ.get("KVR_FUZZ_RANDOM") else sum(map(ord, name))
    )
    with np.errstate(all="ignore"):
        for _ in range(CALLS):
            c = Call(rng)
            CASES[name](c, rng)
            c.check()


def _q(k):
    return k * (k + 1) // 2


# The one independent statement of each length, in exact integers (negative
# sizes count as 0): the size functions are checked against it at the
# overflow edges. Everything else (the shims, the kernel cases above, the C
# caller) asks the size functions.
FORMULAS = {
    "kvr_bg_arena_size": lambda n, k, lags: (
        0 if lags < 0 or lags >= n else (k + lags + 1) * (n + 2 * (k + lags + 1) + 2)
    ),
    "kvr_bp_arena_size": lambda n, p: n + 2 * p + 2 * p * p,
    "kvr_chow_arena_size": lambda k: (2 * k + 5) * k,
    "kvr_recursive_residuals_arena_size": lambda k: 3 * k * k + 3 * k,
    "kvr_cusum_series_arena_size": lambda n, k: n + 4 * k + 5 * k * k,
    "kvr_cusum_arena_size": lambda n, k: 2 * n + 3 * k + 5 * k * k,
    "kvr_cusumsq_arena_size": lambda n, k: n + 2 * k + 3 * k * k,
    "kvr_lb_arena_size": lambda n, L: n + (min(L, n - 1) if L > 0 and n >= 2 else 0) + 1,
    "kvr_wald_mean_hac_arena_size": lambda n, k: k * (n + 3 * k + 4),
    "kvr_wald_covariance_hac_arena_size": lambda n, k: n * (k + _q(k)) + _q(k) * (3 * _q(k) + 5),
    "kvr_wald_second_moment_hac_arena_size": lambda n, k: _q(k) * (n + 3 * _q(k) + 5),
}


def _battery_len(n, k, lags):
    """The header and persistent arrays (with the small parts of the design's
    work: the reflectors' scales, the Chow, Breusch-Pagan and Breusch-Godfrey
    normal equations), then the largest scratch need of the fit and the tests;
    a lone series holds no design work beyond that."""
    f = FORMULAS
    p = k + 1
    small = 2 * k + 3 * (2 * k * k + 2) + 2 * p * p + 2 + p * p
    return (
        16
        + n * k
        + 2 * n
        + 4 * k
        + 1
        + k * k
        + small
        + max(
            (n + 2) * (k + 1),
            n * k + f["kvr_bg_arena_size"](n, k, lags),
            n * (k + 1) + f["kvr_bp_arena_size"](n, k + 1),
            f["kvr_chow_arena_size"](k),
            f["kvr_cusum_arena_size"](n, k),
            f["kvr_cusumsq_arena_size"](n, k),
            f["kvr_lb_arena_size"](n, lags),
            n * k + 7 * k * k + 5 * k,
            n * p + min(n, 512) + 2 * (p + lags) ** 2 + 4 * (p + lags) + 2 if 0 <= lags < n else 0,
        )
    )


FORMULAS["kvr_battery_arena_size"] = _battery_len
PIVOTS = {
    "kvr_wald_mean_hac_arena_size": lambda n, k: k,
    "kvr_wald_covariance_hac_arena_size": lambda n, k: _q(k),
    "kvr_wald_second_moment_hac_arena_size": lambda n, k: _q(k),
}


@pytest.mark.parametrize("name", sorted(ARENA_SIZES))
def test_arena_sizes_exact_or_saturated(name):
    """A stated length (and pivot count) is exact, or INT64_MAX when it does
    not fit in int64: never a wrapped small number."""
    formula = FORMULAS[name]
    nargs = formula.__code__.co_argcount
    f = k(name, ArenaSize, *[I64] * nargs)
    edges = [-(2**63), -1, 0, 1, 2, 3, 7, 2**31, 3037000500, 2**62, 2**63 - 1]
    rng = np.random.default_rng(7)
    for _ in range(400):
        args = [int(rng.choice(edges)) for _ in range(nargs)]
        rec = f(*args)
        clamped = [max(a, 0) for a in args]
        if name == "kvr_bg_arena_size":
            clamped[2] = args[2]
            clamped[0] = args[0]
        if name == "kvr_battery_arena_size":
            clamped[2] = args[2]  # lags as given: the families clamp it their own way
        want = formula(*clamped)
        piv = PIVOTS.get(name, lambda *a: 0)(*clamped)
        # The Wald plans also refuse an n whose intermediate sum n + 3q + 5
        # overflows, even when k = 0 makes the product 0: conservative, safe.
        refused = name in PIVOTS and rec.arena_len == 2**63 - 1 and args[0] >= 2**62
        if want < 2**63 and not refused:
            assert rec.arena_len == want, args
        else:
            assert rec.arena_len == 2**63 - 1, args
        assert rec.piv_len == (piv if piv < 2**63 else 2**63 - 1), args
