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

// ------------------------------------------------------------ stability

// Recursive residuals of an n x k design: n - k, or none when k >= n.
int64_t recursive_count(const View &X) { return X.cols() < X.rows() ? X.rows() - X.cols() : 0; }

// head + a*(k^2 + k), the family's arena lengths, overflow-checked.
bool stability_arena(int64_t k, int64_t a, int64_t head, int64_t *len) {
    int64_t t;
    return pyframe::checked_mul(k, k, &t) && pyframe::checked_add(t, k, &t) &&
           pyframe::checked_mul(a, t, &t) && pyframe::checked_add(t, head, len);
}

SHIM(recursive_residuals, "y", "X") {
    FRAME(recursive_residuals);
    View y, X, w, arena;
    int64_t len;
    if (!f.in_rows(0, y, 1, X) || !stability_arena(X.cols(), 3, 0, &len) ||
        !f.out(w, recursive_count(X)) || !f.out(arena, len))
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
    int64_t len;
    if (!f.in_rows(0, y, 1, X) || !stability_arena(X.cols(), 5, recursive_count(X), &len) ||
        !f.out(series, recursive_count(X)) || !f.out(arena, len))
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
    int64_t len;
    if (!f.in_rows(0, y, 1, X) || !pyframe::checked_mul(recursive_count(X), 2, &len) ||
        !stability_arena(X.cols(), 5, len, &len) || !f.out(arena, len))
        return f.fail(__LINE__);
    int status;
    double stat;
    Frame::nogil([&] {
        status = kvr_cusum_stat(y.data(), X.data(), X.rows(), X.cols(), arena.data_or_null(), &stat);
    });
    return f.check(pyframe::tuple(status, stat), __LINE__);
}

SHIM(cusum_sf, "a") {
    FRAME(cusum_sf);
    double a, p;
    if (!f.f64(0, &a)) return f.fail(__LINE__);
    Frame::nogil([&] { p = kvr_cusum_sf(a); });
    return f.check(f.np_float64(p), __LINE__);
}

SHIM(cusum_sf_arr, "a") {
    FRAME(cusum_sf_arr);
    return f.check(f.elementwise(0, kvr_cusum_sf_into), __LINE__);
}

SHIM(cusumsq_stat, "y", "X") {
    FRAME(cusumsq_stat);
    View y, X, arena;
    int64_t len;
    if (!f.in_rows(0, y, 1, X) || !stability_arena(X.cols(), 3, recursive_count(X), &len) ||
        !f.out(arena, len))
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

// ------------------------------------------------------- function table

#define ENTRY(fname, sig, doc)                                                   \
    {#fname, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fname)), \
     METH_FASTCALL | METH_KEYWORDS, #fname sig "\n--\n\n" doc}

// Registration order is part of the interface.
PyMethodDef kFunctions[] = {
    ENTRY(recursive_residuals, "($module, y, X)",
          "Brown-Durbin-Evans recursive residuals. Returns (status, w)."),
    ENTRY(cusum_series, "($module, y, X)", "Standardized CUSUM series. Returns (status, series)."),
    ENTRY(cusum_stat, "($module, y, X)", "CUSUM statistic. Returns (status, stat)."),
    ENTRY(cusum_sf, "($module, a)", "Clamped Durbin CUSUM survival function. Scalar in float64 out."),
    ENTRY(cusum_sf_arr, "($module, a)",
          "Elementwise CUSUM sf; returns a new float64 array shaped like ``a``."),
    ENTRY(cusumsq_stat, "($module, y, X)",
          "CUSUM-of-squares statistic. Returns (status, n, stat)."),
    ENTRY(fill_mean_ax0, "($module, x)", "Column means of x over axis 0. Returns mean(p)."),
    ENTRY(fill_centered_ax0, "($module, x, mean)",
          "x with its column means subtracted. Returns centered(n, p)."),
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
