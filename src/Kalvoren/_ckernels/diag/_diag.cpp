// Kalvoren._ckernels.diag._diag: module start-up, the function table, and one
// short shim per Python function on top of the frame in pyframe.hpp.
#include "pyframe.hpp"

#include "diag.h"

using pyframe::Frame;
using pyframe::Size;
using pyframe::View;

namespace {

const char kFullName[] = "Kalvoren._ckernels.diag._diag";

// A shim's signature and its parameter list; FRAME binds the arguments.
#define SHIM(fname, ...)                                         \
    const char *const fname##_params[] = {__VA_ARGS__, nullptr}; \
    PyObject *fname(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
#define FRAME(fname)                                             \
    Frame f(self, #fname, fname##_params, args, nargs, kwnames); \
    if (!f.ok()) return f.fail(__LINE__)

// ---------------------------------------------------- regression diagnostics

SHIM(bg_stat, "eps", "X", "lags") {
    FRAME(bg_stat);
    int64_t lags;
    View eps, X, arena;
    if (!f.int64(2, &lags) || !f.in(0, eps, 1) || !f.in(1, X, 2)) return f.fail(__LINE__);
    const int64_t n = eps.len(), k = X.cols();
    if (!f.at_least(X.rows(), n, "X has %lld rows but eps has %lld elements") ||
        !f.arena(arena, kvr_bg_arena_size(n, k, lags)))
        return f.fail(__LINE__);
    double stat = 0.0;
    int status = 0;
    Frame::nogil([&] {
        status = kvr_bg_stat(eps.data(), X.data(), n, k, lags, arena.data_or_null(), &stat);
    });
    return f.check(pyframe::tuple(status, stat), __LINE__);
}

SHIM(bp_aux, "eps", "X_aug") {
    FRAME(bp_aux);
    View eps, X, arena;
    if (!f.in(0, eps, 1) || !f.in(1, X, 2)) return f.fail(__LINE__);
    const int64_t n = X.rows(), p = X.cols();
    if (!f.at_least(eps.len(), n, "eps has %lld elements but X_aug has %lld rows") ||
        !f.arena(arena, kvr_bp_arena_size(n, p)))
        return f.fail(__LINE__);
    double rss = 0.0, tss = 0.0;
    int status = 0;
    Frame::nogil([&] {
        status = kvr_bp_aux(eps.data(), X.data(), n, p, arena.data_or_null(), &rss, &tss);
    });
    return f.check(pyframe::tuple(status, rss, tss), __LINE__);
}

SHIM(chow_stat, "y", "X", "t_break") {
    FRAME(chow_stat);
    int64_t t_break;
    View y, X, arena;
    if (!f.int64(2, &t_break) || !f.in(0, y, 1) || !f.in(1, X, 2)) return f.fail(__LINE__);
    const int64_t n = X.rows(), k = X.cols();
    if (!f.at_least(y.len(), n, "y has %lld elements but X has %lld rows") ||
        !f.arena(arena, kvr_chow_arena_size(k)))
        return f.fail(__LINE__);
    double stat = 0.0;
    int status = 0;
    Frame::nogil([&] {
        status = kvr_chow_stat(y.data(), X.data(), n, k, t_break, arena.data_or_null(), &stat);
    });
    return f.check(pyframe::tuple(status, stat), __LINE__);
}

// ------------------------------------------------------------ stability

// Recursive residuals of an n x k design: n - k, or none when k >= n.
int64_t recursive_count(const View &X) { return X.cols() < X.rows() ? X.rows() - X.cols() : 0; }

SHIM(recursive_residuals, "y", "X") {
    FRAME(recursive_residuals);
    View y, X, w, arena;
    if (!f.in_rows(0, y, 1, X) || !f.out(w, recursive_count(X)) ||
        !f.arena(arena, kvr_recursive_residuals_arena_size(X.cols())))
        return f.fail(__LINE__);
    int status;
    Frame::nogil([&] {
        status = kvr_recursive_residuals(y.data(), X.data(), X.rows(), X.cols(),
                                         arena.data_or_null(), w.data_or_null());
    });
    return f.check(pyframe::tuple(status, w), __LINE__);
}

SHIM(cusum_series, "y", "X") {
    FRAME(cusum_series);
    View y, X, series, arena;
    if (!f.in_rows(0, y, 1, X) || !f.out(series, recursive_count(X)) ||
        !f.arena(arena, kvr_cusum_series_arena_size(X.rows(), X.cols())))
        return f.fail(__LINE__);
    int status;
    Frame::nogil([&] {
        status = kvr_cusum_series(y.data(), X.data(), X.rows(), X.cols(), arena.data_or_null(),
                                  series.data_or_null());
    });
    return f.check(pyframe::tuple(status, series), __LINE__);
}

SHIM(cusum_stat, "y", "X") {
    FRAME(cusum_stat);
    View y, X, arena;
    if (!f.in_rows(0, y, 1, X) || !f.arena(arena, kvr_cusum_arena_size(X.rows(), X.cols())))
        return f.fail(__LINE__);
    int status;
    double stat;
    Frame::nogil([&] {
        status =
            kvr_cusum_stat(y.data(), X.data(), X.rows(), X.cols(), arena.data_or_null(), &stat);
    });
    return f.check(pyframe::tuple(status, stat), __LINE__);
}

SHIM(cusum_sf, "a") {
    FRAME(cusum_sf);
    double a, p;
    if (!f.f64(0, &a)) return f.fail(__LINE__);
    Frame::nogil([&] {
        p = kvr_cusum_sf(a);
    });
    return f.check(f.np_float64(p), __LINE__);
}

SHIM(cusum_sf_arr, "a") {
    FRAME(cusum_sf_arr);
    return f.check(f.elementwise(0, kvr_cusum_sf_into), __LINE__);
}

SHIM(cusumsq_stat, "y", "X") {
    FRAME(cusumsq_stat);
    View y, X, arena;
    if (!f.in_rows(0, y, 1, X) || !f.arena(arena, kvr_cusumsq_arena_size(X.rows(), X.cols())))
        return f.fail(__LINE__);
    int status;
    int64_t nrec;
    double stat;
    Frame::nogil([&] {
        status = kvr_cusumsq_stat(y.data(), X.data(), X.rows(), X.cols(), &nrec,
                                  arena.data_or_null(), &stat);
    });
    return f.check(pyframe::tuple(status, nrec, stat), __LINE__);
}

// ------------------------------------------------------ column statistics

SHIM(fill_mean_ax0, "x") {
    FRAME(fill_mean_ax0);
    View x, mean;
    if (!f.in(0, x, 2) || !f.out(mean, x.cols())) return f.fail(__LINE__);
    Frame::nogil([&] {
        kvr_fill_mean_ax0(x.data(), x.rows(), x.cols(), mean.data());
    });
    return mean.new_ref();
}

SHIM(fill_centered_ax0, "x", "mean") {
    FRAME(fill_centered_ax0);
    View x, mean, centered;
    if (!f.in(0, x, 2) || !f.in(1, mean, 1)) return f.fail(__LINE__);
    if (!f.at_least(mean.len(), x.cols(), "mean has length %lld but x has %lld columns"))
        return f.fail(__LINE__);
    if (!f.out(centered, x.rows(), x.cols())) return f.fail(__LINE__);
    Frame::nogil([&] {
        kvr_fill_centered_ax0(x.data(), mean.data(), x.rows(), x.cols(), centered.data());
    });
    return centered.new_ref();
}

// ------------------------------------- HAC covariance, Wald and vech

// q = p(p+1)/2 for an output length, with OverflowError when it does not fit.
bool vech_len(int64_t p, int64_t *q) {
    if (!pyframe::size_value(Size(p) * p + p, q)) return false;
    *q /= 2;
    return true;
}

SHIM(hac_estimator_matmul, "r", "kernel_id", "L") {
    FRAME(hac_estimator_matmul);
    int kernel_id;
    int64_t L;
    View r, out, gamma;
    if (!f.int32(1, &kernel_id) || !f.int64(2, &L) || !f.in(0, r, 2)) return f.fail(__LINE__);
    const int64_t p = r.cols();
    if (!f.out(out, p, p) || !f.out(gamma, p, p)) return f.fail(__LINE__);
    Frame::nogil([&] {
        kvr_hac_estimator_matmul(r.data(), kernel_id, L, r.rows(), p, gamma.data(), out.data());
    });
    return out.new_ref();
}

SHIM(wald_stat_from_mean_and_cov, "mean", "target", "omega", "n") {
    FRAME(wald_stat_from_mean_and_cov);
    int64_t n, p;
    View mean, target, omega, dev, factor, pivot, solved;
    if (!f.int64(3, &n) || !f.shape0(0, &p) || !f.in(0, mean, 1) || !f.in(1, target, 1) ||
        !f.in(2, omega, 2))
        return f.fail(__LINE__);
    // the kernel reads p values of mean and target and a p x p omega
    if (!f.min_len(mean, p, "mean") || !f.min_len(target, p, "target") ||
        !f.shape_is(omega, p, p, "omega"))
        return f.fail(__LINE__);
    if (!f.out(dev, p) || !f.out(factor, p, p) || !f.out_int64(pivot, p) || !f.out(solved, p))
        return f.fail(__LINE__);
    double stat = 0.0;
    int status;
    Frame::nogil([&] {
        status = kvr_wald_stat_from_mean_and_cov(mean.data(), target.data(), omega.data(), n, p,
                                                 dev.data(), factor.data(), pivot.idata(),
                                                 solved.data(), &stat);
    });
    return f.check(pyframe::tuple(status, stat), __LINE__);
}

SHIM(symmetric_outer_prod_2dim, "x") {
    FRAME(symmetric_outer_prod_2dim);
    View x, out;
    int64_t q;
    if (!f.in(0, x, 2) || !vech_len(x.cols(), &q) || !f.out(out, x.rows(), q))
        return f.fail(__LINE__);
    int status;
    Frame::nogil([&] {
        status = kvr_symmetric_outer_prod_2dim(x.data(), x.rows(), x.cols(), q, out.data());
    });
    return f.check(pyframe::tuple(status, out), __LINE__);
}

SHIM(fill_symmetric_target_vec, "target", "atol", "rtol") {
    FRAME(fill_symmetric_target_vec);
    double atol, rtol;
    View target, vec;
    int64_t q;
    if (!f.f64(1, &atol) || !f.f64(2, &rtol) || !f.in(0, target, 2)) return f.fail(__LINE__);
    const int64_t p = target.rows();
    if (!f.shape_is(target, p, p, "target") || !vech_len(p, &q) || !f.out(vec, q))
        return f.fail(__LINE__);
    int status;
    Frame::nogil([&] {
        status = kvr_fill_symmetric_target_vec(target.data(), p, vec.data(), atol, rtol);
    });
    return f.check(pyframe::tuple(status, vec), __LINE__);
}

// ------------------------------------------------ autocorrelation, Ljung-Box

SHIM(acorr, "x", "L") {
    FRAME(acorr);
    int64_t L, len;
    View x, out, z;
    if (!f.int64(1, &L) || !f.in(0, x, 1)) return f.fail(__LINE__);
    const int64_t n = x.len();
    // L < -1 is left to np.empty, which refuses the negative length.
    if (!pyframe::size_value(Size(L) + 1, &len) || !f.out(out, len) || !f.out(z, n))
        return f.fail(__LINE__);
    int status;
    Frame::nogil([&] {
        status = kvr_acorr(x.data_or_null(n), n, L, z.data_or_null(n), out.data());
    });
    return f.check(pyframe::tuple(status, out), __LINE__);
}

SHIM(lb_stat, "x", "L") {
    FRAME(lb_stat);
    int64_t L;
    View x, z, rho;
    if (!f.int64(1, &L) || !f.in(0, x, 1)) return f.fail(__LINE__);
    const int64_t n = x.len();
    // z and rho, n each: the kernel clamps L to n - 1, so rho's L + 1 entries fit
    // whatever L is, and no length is computed from L.
    if (!f.out(z, n) || !f.out(rho, n)) return f.fail(__LINE__);
    int status;
    double stat = 0.0;
    Frame::nogil([&] {
        status =
            kvr_lb_stat(x.data_or_null(n), n, L, z.data_or_null(n), rho.data_or_null(n), &stat);
    });
    return f.check(pyframe::tuple(status, stat), __LINE__);
}

// ------------------------------------------------------------ Jarque-Bera

SHIM(jb_stat, "x") {
    FRAME(jb_stat);
    View x;
    if (!f.in(0, x, 1)) return f.fail(__LINE__);
    int status;
    double stat = 0.0;
    Frame::nogil([&] {
        status = kvr_jb_stat(x.data_or_null(), x.len(), &stat);
    });
    return f.check(pyframe::tuple(status, f.np_float64(stat)), __LINE__);
}

// (lo, hi) of val in arr, by one of the two bracketing kernels.
template <class K>
PyObject *bracket(const Frame &f, K kernel) {
    double val;
    View arr;
    if (!f.f64(0, &val) || !f.in(1, arr, 1)) return f.fail(__LINE__);
    int64_t lo, hi;
    Frame::nogil([&] {
        kernel(arr.data_or_null(), arr.len(), &lo, &hi, val);
    });
    return f.check(pyframe::tuple(lo, hi), __LINE__);
}

// One table lookup of (n, scalar), returned as np.float64.
template <class K>
PyObject *lookup(const Frame &f, K kernel) {
    int64_t n;
    double v;
    if (!f.int64(0, &n) || !f.f64(1, &v)) return f.fail(__LINE__);
    double r;
    Frame::nogil([&] {
        r = kernel(n, v);
    });
    return f.check(f.np_float64(r), __LINE__);
}

// The same lookup over every element of an array argument.
template <class K>
PyObject *lookup_arr(const Frame &f, K kernel) {
    int64_t n;
    if (!f.int64(0, &n)) return f.fail(__LINE__);
    return f.check(f.elementwise(1,
                                 [&](const double *in, int64_t count, double *out) {
                                     kernel(n, in, count, out);
                                 }),
                   __LINE__);
}

SHIM(jb_find_hilo_ascending, "val", "arr") {
    FRAME(jb_find_hilo_ascending);
    return bracket(f, kvr_jb_find_hilo_ascending);
}

SHIM(jb_find_hilo_descending, "val", "arr") {
    FRAME(jb_find_hilo_descending);
    return bracket(f, kvr_jb_find_hilo_descending);
}

SHIM(jb_isf_interp, "n", "p") {
    FRAME(jb_isf_interp);
    return lookup(f, kvr_jb_isf_interp);
}

SHIM(jb_pval_interp, "n", "x") {
    FRAME(jb_pval_interp);
    return lookup(f, kvr_jb_pval_interp);
}

SHIM(jb_isf_interp_arr, "n", "p") {
    FRAME(jb_isf_interp_arr);
    return lookup_arr(f, kvr_jb_isf_interp_into);
}

SHIM(jb_pval_interp_arr, "n", "x") {
    FRAME(jb_pval_interp_arr);
    return lookup_arr(f, kvr_jb_pval_interp_into);
}

// ------------------------------------------------------- function table

#define ENTRY(fname, sig, doc)                                                       \
    {#fname, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fname)), \
     METH_FASTCALL | METH_KEYWORDS, #fname sig "\n--\n\n" doc}

// Registration order is part of the interface.
PyMethodDef kFunctions[] = {
    ENTRY(bg_stat, "($module, eps, X, lags)",
          "Breusch-Godfrey LM statistic. Returns (status, stat)."),
    ENTRY(bp_aux, "($module, eps, X_aug)",
          "Breusch-Pagan auxiliary regression. Returns (status, rss, tss)."),
    ENTRY(chow_stat, "($module, y, X, t_break)",
          "Chow break-point F statistic. Returns (status, stat)."),
    ENTRY(recursive_residuals, "($module, y, X)",
          "Brown-Durbin-Evans recursive residuals. Returns (status, w)."),
    ENTRY(cusum_series, "($module, y, X)", "Standardized CUSUM series. Returns (status, series)."),
    ENTRY(cusum_stat, "($module, y, X)", "CUSUM statistic. Returns (status, stat)."),
    ENTRY(cusum_sf, "($module, a)",
          "Clamped Durbin CUSUM survival function. Scalar in float64 out."),
    ENTRY(cusum_sf_arr, "($module, a)",
          "Elementwise CUSUM sf; returns a new float64 array shaped like ``a``."),
    ENTRY(cusumsq_stat, "($module, y, X)",
          "CUSUM-of-squares statistic. Returns (status, n, stat)."),
    ENTRY(jb_stat, "($module, x)", "Jarque-Bera normality statistic. Returns (status, stat)."),
    ENTRY(acorr, "($module, x, L)",
          "Autocorrelation of x up to lag L. Returns (status, out(L+1)).\n"
          "\n"
          "    Mirrors the numba ``acorr`` (no L/n clamping here); ``out`` is length L+1 and\n"
          "    z_scratch is length n. status is DIAG_UDEF_VARIANCE for a constant series.\n"
          "    "),
    ENTRY(lb_stat, "($module, x, L)",
          "Ljung-Box statistic for x up to lag L. Returns (status, stat).\n"
          "\n"
          "    The kernel clamps L to n-1 and validates n/L internally; the two length-n\n"
          "    scratch buffers cover the clamped lag (L_eff <= n-1, so L_eff+1 <= n).\n"
          "    "),
    ENTRY(hac_estimator_matmul, "($module, r, kernel_id, L)",
          "HAC long-run covariance (Gamma_0 + sum_j w_j(Gamma_j + Gamma_j')) / n.\n"
          "\n"
          "    Parity oracle: the numba ``jit_hac_estimator_matmul``, same inputs (centered\n"
          "    moment array, integer kernel id, bandwidth) and the same (p, p) output.\n"
          "    "),
    ENTRY(fill_mean_ax0, "($module, x)", "Column means of x over axis 0. Returns mean(p)."),
    ENTRY(fill_centered_ax0, "($module, x, mean)",
          "x with its column means subtracted. Returns centered(n, p)."),
    ENTRY(wald_stat_from_mean_and_cov, "($module, mean, target, omega, n)",
          "Wald statistic n * dev^T omega^-1 dev with dev = mean - target.\n"
          "\n"
          "    Returns (status, stat). The kernel uses Cholesky for positive-definite\n"
          "    covariance matrices and partial-pivot LU otherwise.\n"
          "    "),
    ENTRY(symmetric_outer_prod_2dim, "($module, x)",
          "Per-row vech of the outer product x_t x_t'. Returns (status, out(n, q))."),
    ENTRY(fill_symmetric_target_vec, "($module, target, atol, rtol)",
          "Pack the upper triangle of a symmetric target into a vech vector.\n"
          "\n"
          "    Returns (status, vec(q)); status is DIAG_BAD_SHAPE if the matrix is not\n"
          "    symmetric within (atol, rtol).\n"
          "    "),
    ENTRY(jb_find_hilo_ascending, "($module, val, arr)",
          "Bracket ``val`` in the ascending grid ``arr``. Returns (lo, hi)."),
    ENTRY(jb_find_hilo_descending, "($module, val, arr)",
          "Bracket ``val`` in the descending array ``arr``. Returns (lo, hi)."),
    ENTRY(jb_isf_interp, "($module, n, p)",
          "Small-N Jarque-Bera inverse survival function. Returns float64."),
    ENTRY(jb_pval_interp, "($module, n, x)",
          "Small-N Jarque-Bera survival function. Returns float64."),
    ENTRY(jb_isf_interp_arr, "($module, n, p)",
          "Elementwise ``jb_isf_interp``; new float64 array shaped like ``p``."),
    ENTRY(jb_pval_interp_arr, "($module, n, x)",
          "Elementwise ``jb_pval_interp``; new float64 array shaped like ``x``."),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- start-up

PyObject *diag_create(PyObject *spec, PyModuleDef *) { return pyframe::create_module(spec); }

int diag_exec(PyObject *module) {
    const int begun =
        pyframe::exec_begin(module, {kFullName, "_diag", "Kalvoren/_ckernels/diag/_diag.cpp"});
    if (begun != 0) return begun < 0 ? -1 : 0;
    pyframe::Ref fallback(PyLong_FromLong(DIAG_FALLBACK));
    if (!fallback || PyDict_SetItemString(PyModule_GetDict(module), "FALLBACK", fallback.get()) < 0)
        return -1;
    return pyframe::exec_end(module, kFunctions);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_create, reinterpret_cast<void *>(diag_create)},
    {Py_mod_exec, reinterpret_cast<void *>(diag_exec)},
    {0, nullptr},
};

const char kModuleDoc[] =
    "Thin shim mapping NumPy buffers to the residual-diagnostic test kernels.\n"
    "\n"
    "It does buffer-to-pointer marshalling and the release of the interpreter\n"
    "lock only; the algorithms live in the ``diag`` unit. Each function returns\n"
    "the same ``(status, ...)`` tuple shape as its parity oracle in the\n"
    "package's own ``_diag_tests`` directory (a pure-Python/numba implementation\n"
    "of the same statistics, outside this module). A ``DIAG_FALLBACK`` status\n"
    "means that the design matrix was rank-deficient, or too ill-conditioned for\n"
    "the normal equations: the caller must re-run the statistic through the numba\n"
    "implementation.";

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "_diag", kModuleDoc, 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__diag(void) { return PyModuleDef_Init(&kModuleDef); }
