// Kalvoren._ckernels.diag._diag: module start-up, the function table, and one
// short shim per Python function on top of the frame in pyframe.hpp.
#include "pyframe.hpp"

#include "diag.h"

using pyframe::Frame;
using pyframe::View;

namespace {

const char kFullName[] = "Kalvoren._ckernels.diag._diag";

// A shim's signature and its parameter list; FRAME binds the arguments.
#define SHIM(fname, ...)                                                          \
    const char *const fname##_params[] = {__VA_ARGS__, nullptr};                \
    PyObject *fname(PyObject *self, PyObject *const *args, Py_ssize_t nargs,   \
                    PyObject *kwnames)
#define FRAME(fname)                                                            \
    Frame f(self, #fname, fname##_params, args, nargs, kwnames);                \
    if (!f.ok()) return f.fail(__LINE__)

// ------------------------------------------------------ column statistics

SHIM(fill_mean_ax0, "x") {
    FRAME(fill_mean_ax0);
    View x, mean;
    if (!f.in(0, x, 2) || !f.out(mean, x.cols())) return f.fail(__LINE__);
    Frame::nogil([&] { kvr_fill_mean_ax0(x.data(), x.rows(), x.cols(), mean.data()); });
    return mean.new_ref();
}

SHIM(fill_centered_ax0, "x", "mean") {
    FRAME(fill_centered_ax0);
    View x, mean, centered;
    if (!f.in(0, x, 2) || !f.in(1, mean, 1)) return f.fail(__LINE__);
    if (mean.len() < x.cols()) {  // the kernel reads p entries of mean
        PyErr_Format(PyExc_ValueError, "fill_centered_ax0(): mean has length %lld but x has %lld columns",
                     (long long)mean.len(), (long long)x.cols());
        return f.fail(__LINE__);
    }
    if (!f.out(centered, x.rows(), x.cols())) return f.fail(__LINE__);
    Frame::nogil([&] {
        kvr_fill_centered_ax0(x.data(), mean.data(), x.rows(), x.cols(), centered.data());
    });
    return centered.new_ref();
}

// ------------------------------------------------ autocorrelation, Ljung-Box

SHIM(acorr, "x", "L") {
    FRAME(acorr);
    int64_t L, len;
    View x, out, z;
    if (!f.int64(1, &L) || !f.in(0, x, 1)) return f.fail(__LINE__);
    const int64_t n = x.len();
    // L < -1 is left to np.empty, which refuses the negative length.
    if (!pyframe::checked_add(L, 1, &len) || !f.out(out, len) || !f.out(z, n))
        return f.fail(__LINE__);
    int status;
    Frame::nogil([&] { status = kvr_acorr(x.data_or_null(n), n, L, z.data_or_null(n), out.data()); });
    return f.check(pyframe::tuple(status, out), __LINE__);
}

// Two length-n scratch arrays: the kernel clamps the lag to n-1, so rho needs
// at most n entries whatever L is.
SHIM(lb_stat, "x", "L") {
    FRAME(lb_stat);
    int64_t L;
    View x, z, rho;
    if (!f.int64(1, &L) || !f.in(0, x, 1)) return f.fail(__LINE__);
    const int64_t n = x.len();
    if (!f.out(z, n) || !f.out(rho, n)) return f.fail(__LINE__);
    int status;
    double stat = 0.0;
    Frame::nogil([&] {
        status = kvr_lb_stat(x.data_or_null(n), n, L, z.data_or_null(n), rho.data_or_null(n), &stat);
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
    Frame::nogil([&] { status = kvr_jb_stat(x.data_or_null(), x.len(), &stat); });
    return f.check(pyframe::tuple(status, f.np_float64(stat)), __LINE__);
}

// (lo, hi) of val in arr, by one of the two bracketing kernels.
template <class K>
PyObject *bracket(const Frame &f, K kernel) {
    double val;
    View arr;
    if (!f.f64(0, &val) || !f.in(1, arr, 1)) return f.fail(__LINE__);
    int64_t lo, hi;
    Frame::nogil([&] { kernel(arr.data_or_null(), arr.len(), &lo, &hi, val); });
    return f.check(pyframe::tuple(lo, hi), __LINE__);
}

// One table lookup of (n, scalar), returned as np.float64.
template <class K>
PyObject *lookup(const Frame &f, K kernel) {
    int64_t n;
    double v;
    if (!f.int64(0, &n) || !f.f64(1, &v)) return f.fail(__LINE__);
    double r;
    Frame::nogil([&] { r = kernel(n, v); });
    return f.check(f.np_float64(r), __LINE__);
}

// The same lookup over every element of an array argument.
template <class K>
PyObject *lookup_arr(const Frame &f, K kernel) {
    int64_t n;
    if (!f.int64(0, &n)) return f.fail(__LINE__);
    return f.check(f.elementwise(1, [&](const double *in, int64_t count, double *out) {
        kernel(n, in, count, out);
    }), __LINE__);
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

#define ENTRY(fname, sig, doc)                                                   \
    {#fname, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fname)), \
     METH_FASTCALL | METH_KEYWORDS, #fname sig "\n--\n\n" doc}

// Registration order is part of the interface.
PyMethodDef kFunctions[] = {
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
    ENTRY(fill_mean_ax0, "($module, x)", "Column means of x over axis 0. Returns mean(p)."),
    ENTRY(fill_centered_ax0, "($module, x, mean)",
          "x with its column means subtracted. Returns centered(n, p)."),
    ENTRY(jb_find_hilo_ascending, "($module, val, arr)",
          "Bracket ``val`` in the ascending grid ``arr``. Returns (lo, hi)."),
    ENTRY(jb_find_hilo_descending, "($module, val, arr)",
          "Bracket ``val`` in the descending array ``arr``. Returns (lo, hi)."),
    ENTRY(jb_isf_interp, "($module, n, p)",
          "Small-N Jarque-Bera inverse survival function. Returns float64."),
    ENTRY(jb_pval_interp, "($module, n, x)", "Small-N Jarque-Bera survival function. Returns float64."),
    ENTRY(jb_isf_interp_arr, "($module, n, p)",
          "Elementwise ``jb_isf_interp``; new float64 array shaped like ``p``."),
    ENTRY(jb_pval_interp_arr, "($module, n, x)",
          "Elementwise ``jb_pval_interp``; new float64 array shaped like ``x``."),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- start-up

PyObject *g_module = nullptr;           // the one module object, once executed
int64_t g_interpreter_id = -1;          // the interpreter that first imported us

PyObject *diag_create(PyObject *spec, PyModuleDef *) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
        if (id == -1) return nullptr;
    } else if (g_interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);

    pyframe::Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    pyframe::Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    static const struct { const char *from, *to; bool allow_none; } copies[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    for (const auto &c : copies) {
        pyframe::Ref v(PyObject_GetAttrString(spec, c.from));
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if ((c.allow_none || v.get() != Py_None) && PyDict_SetItemString(dict, c.to, v.get()) < 0)
            return nullptr;
    }
    return module.release();
}

int check_version() {
    unsigned rt_major = (Py_Version >> 24) & 0xFF, rt_minor = (Py_Version >> 16) & 0xFF;
    if (rt_major == PY_MAJOR_VERSION && rt_minor == PY_MINOR_VERSION) return 0;
    char msg[200];
    PyOS_snprintf(msg, sizeof msg,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, kFullName, "does not match", (int)rt_major,
                  (int)rt_minor);
    return PyErr_WarnEx(nullptr, msg, 1);
}

int diag_exec(PyObject *module) {
    if (g_module) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_diag' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (check_version() < 0) return -1;
    if (!pyframe::init_names(module)) return -1;
    PyObject *dict = PyModule_GetDict(module);
    if (PyDict_SetItemString(PyImport_GetModuleDict(), kFullName, module) < 0) return -1;

    pyframe::Ref np(PyImport_ImportModule("numpy"));
    if (!np || PyDict_SetItemString(dict, "np", np.get()) < 0) return -1;
    pyframe::Ref fallback(PyLong_FromLong(DIAG_FALLBACK));
    if (!fallback || PyDict_SetItemString(dict, "FALLBACK", fallback.get()) < 0) return -1;

    pyframe::Ref modname(PyUnicode_FromString(kFullName));
    if (!modname) return -1;
    for (PyMethodDef *def = kFunctions; def->ml_name; ++def) {
        pyframe::Ref func(PyCMethod_New(def, module, modname.get(), nullptr));
        if (!func || PyDict_SetItemString(dict, def->ml_name, func.get()) < 0) return -1;
    }
    pyframe::Ref test(PyDict_New());
    if (!test || PyDict_SetItemString(dict, "__test__", test.get()) < 0) return -1;

    g_module = Py_NewRef(module);  // kept for the life of the process
    return 0;
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
    "means that the design matrix was rank-deficient: the caller must re-run the\n"
    "statistic through the numba implementation.";

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "_diag", kModuleDoc, 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__diag(void) { return PyModuleDef_Init(&kModuleDef); }
