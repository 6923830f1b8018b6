// The call frame shared by every function of the extension modules (_diag,
// _batch): module start-up, argument binding, scalar conversion, float64
// conversion through the module's `np`, typed buffer views, output and arena
// allocation, the GIL release around the kernel, result tuples and traceback
// entries. Each module is its own shared object with its own copy of the
// frame's statics, prepared by that module's exec step.
//
// A shim declares a Frame, pulls its arguments through it in parameter order
// (integers first, then arrays), allocates outputs then the arena, runs the
// kernel under frame.nogil() and returns frame.result(...). Every step returns
// false with a Python exception set; the shim then returns frame.fail(__LINE__).
// Views and references are released by their destructors on every path.
#ifndef KVR_PYFRAME_HPP
#define KVR_PYFRAME_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <utility>

#include "kvr_size.hpp"

namespace pyframe {

// Module-wide constants, prepared once by the exec step (one interpreter per
// process, so plain statics are safe).
struct Names {
    PyObject *np;                 // "np"
    PyObject *ascontiguousarray;  // "ascontiguousarray"
    PyObject *empty;              // "empty"
    PyObject *float64;            // "float64"
    PyObject *empty_like;         // "empty_like"
    PyObject *reshape;            // "reshape"
    PyObject *size;               // "size"
    PyObject *shape;              // "shape"
    PyObject *int64;              // "int64"
    PyObject *array;              // "array"
    PyObject *dtype;              // "dtype"
    PyObject *kind;               // "kind"
    PyObject *zero;               // 0
    PyObject *minus_one;          // -1
    PyObject *dtype_kwnames;      // ("dtype",)
    PyObject *builtins;           // the builtins module's dict (borrowed from the module)
    PyObject *module;             // the one module object
};
extern Names names;

// What a module calls itself in messages and traceback entries.
struct Identity {
    const char *full_name;    // "Kalvoren._ckernels.diag._diag"
    const char *short_name;   // "_diag"
    const char *source_file;  // "Kalvoren/_ckernels/diag/_diag.cpp"
};

// Multi-phase start-up, one interpreter per process and one module object:
// the create step, and the exec step in two halves around the module's own
// attributes. exec_begin returns 1 when this module object was already
// executed (nothing left to do), 0 after it has checked the version,
// prepared the names, registered the module in sys.modules and bound `np`,
// and -1 with an exception set. exec_end binds the functions of `table`
// (null-terminated) and `__test__ = {}`, and keeps the module.
PyObject *create_module(PyObject *spec);
int exec_begin(PyObject *module, const Identity &id);
int exec_end(PyObject *module, PyMethodDef *table);

// An owned reference.
class Ref {
  public:
    Ref() = default;
    explicit Ref(PyObject *o) : p_(o) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(p_); }
    void reset(PyObject *o) {
        Py_XDECREF(p_);
        p_ = o;
    }
    PyObject *get() const { return p_; }
    PyObject *release() {
        PyObject *o = p_;
        p_ = nullptr;
        return o;
    }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    PyObject *p_ = nullptr;
};

enum class Elem { f64, i64 };

// A fixed-dimensional, writable, C-contiguous typed view of an array, holding
// a reference to the array and its buffer.
class View {
  public:
    View() = default;
    View(const View &) = delete;
    View &operator=(const View &) = delete;
    ~View() {
        if (held_) PyBuffer_Release(&buf_);
    }
    // Takes ownership of `arr` (may be null after a failed call: then fails).
    bool bind(PyObject *arr, int ndim, Elem elem = Elem::f64);

    int64_t len() const { return shape0_; }  // 1-D length or rows
    int64_t rows() const { return shape0_; }
    int64_t cols() const { return shape1_; }
    int64_t size() const { return size_; }
    double *data() const { return static_cast<double *>(data_); }
    int64_t *idata() const { return static_cast<int64_t *>(data_); }
    // The data pointer, or null when the governing length is below 1.
    double *data_or_null(int64_t governing) const { return governing < 1 ? nullptr : data(); }
    double *data_or_null() const { return data_or_null(size()); }
    PyObject *array() const { return arr_.get(); }
    // A new reference to the viewed array, for the result.
    PyObject *new_ref() const {
        Py_XINCREF(arr_.get());
        return arr_.get();
    }

  private:
    Ref arr_;
    Py_buffer buf_{};
    bool held_ = false;
    void *data_ = nullptr;
    int64_t shape0_ = 0, shape1_ = 0, size_ = 0;
};

// Sizes computed from caller integers (arena formulas, output lengths) are
// written with Size and checked once, where they are used: size_value gives
// the value, or false with OverflowError set when it does not fit in int64.
using Size = kvr::Checked;
bool size_value(Size s, int64_t *out);

class Frame {
  public:
    // `params` is null-terminated. Binding happens here; check ok().
    Frame(PyObject *module, const char *name, const char *const *params, PyObject *const *args,
          Py_ssize_t nargs, PyObject *kwnames);
    Frame(const Frame &) = delete;
    Frame &operator=(const Frame &) = delete;

    bool ok() const { return ok_; }
    PyObject *arg(int i) const { return bound_[i]; }

    // Scalar parameters, converted in parameter order before any array.
    bool int64(int i, int64_t *out) const;
    bool int32(int i, int *out) const;
    bool f64(int i, double *out) const;
    // arg(i).shape[0], converted like an int64 parameter.
    bool shape0(int i, int64_t *out) const;

    // np.ascontiguousarray(arg, dtype=np.float64) bound as an ndim view.
    bool in(int i, View &v, int ndim) const;
    // An integer array as a new int64 array (np.array(arg, dtype=np.int64),
    // a copy) that only this call holds, for values a kernel reads after the
    // GIL is released: the caller's array could change under it after the
    // checks. A float, bool or object dtype raises TypeError naming the
    // argument instead of being truncated (empty arrays of any dtype pass),
    // and unsigned values beyond int64 raise ValueError.
    bool in_int64_copy(int i, View &v) const;
    // Arrays i (1-D) and j (2-D) converted as by in(). Kernels read one
    // entry of the vector per row of the matrix, so a shorter vector raises
    // ValueError naming both sizes; a longer one is accepted.
    bool in_rows(int i, View &v, int j, View &X) const;
    // np.empty(n) / np.empty((n, p)) with dtype np.float64, bound as a view.
    bool out(View &v, int64_t n) const;
    bool out(View &v, int64_t n, int64_t p) const;
    // np.empty(n, dtype=np.int64), bound as a 1-D int64_t view.
    bool out_int64(View &v, int64_t n) const;

    // Size checks of converted arrays the kernel would otherwise read past:
    // false with a ValueError naming the sizes.
    bool min_len(const View &v, int64_t need, const char *what) const;  // 1-D length >= need
    bool shape_is(const View &v, int64_t rows, int64_t cols, const char *what) const;

    // The arena a kvr_*_arena_size record asks for: np.empty(arena_len) with
    // dtype np.float64, after checking that the length (INT64_MAX: it
    // overflowed) and its byte count fit in int64 (OverflowError otherwise).
    bool arena(View &v, kvr_arena_size_t need) const;

    // ValueError "<name>(): " + msg (formatted with have, need) unless
    // have >= need: a kernel would read `need` entries of a shorter input.
    bool at_least(int64_t have, int64_t need, const char *msg) const;

    // The elementwise `_arr` pattern: the converted argument i, np.empty_like
    // of it, and (when its size is > 0) kernel(in, count, out) over both
    // viewed flat through reshape(-1), with the GIL released. Returns the new
    // array shaped like the converted input, or null with an exception set.
    template <class K>
    PyObject *elementwise(int i, K &&kernel) const {
        Ref in(call_np(names.ascontiguousarray, bound_[i]));
        if (!in) return nullptr;
        Ref out(call_method(names.empty_like, in.get()));
        if (!out) return nullptr;
        int64_t size;
        if (!array_size(in.get(), &size)) return nullptr;
        if (size > 0) {
            View vin, vout;
            if (!vin.bind(reshape_flat(in.get()), 1) || !vout.bind(reshape_flat(out.get()), 1) ||
                !sized(vout, vin.len(), -1, "empty_like"))
                return nullptr;
            nogil([&] {
                kernel(vin.data(), vin.len(), vout.data());
            });
        }
        return out.release();
    }

    // np.float64(v), through the module's current `np`.
    PyObject *np_float64(double v) const;

    // Runs f with the GIL released; f must not touch Python.
    template <class F>
    static void nogil(F &&f) {
        PyThreadState *ts = PyEval_SaveThread();
        std::forward<F>(f)();
        PyEval_RestoreThread(ts);
    }

    // Adds this function's traceback entry to the pending exception.
    PyObject *fail(int line) const;

    // Result builders; a failure here also gets the traceback entry.
    PyObject *check(PyObject *result, int line) const { return result ? result : fail(line); }

    const char *name() const { return name_; }

  private:
    // ValueError unless v is n long (p < 0) or n x p: the kernel fills all of it.
    bool sized(const View &v, int64_t n, int64_t p, const char *func) const;
    PyObject *call_np(PyObject *func_name, PyObject *first,
                      PyObject *dtype_name = names.float64) const;
    PyObject *call_method(PyObject *np_func, PyObject *arg) const;  // np.<func>(arg)
    static PyObject *reshape_flat(PyObject *arr);                   // arr.reshape(-1)
    static bool array_size(PyObject *arr, int64_t *size);           // arr.size

    static constexpr int kMaxParams = 12;
    PyObject *module_;
    const char *name_;
    const char *const *params_;
    PyObject *bound_[kMaxParams] = {};
    bool ok_ = false;
};

// Tuple packing for results: ints become Python ints, doubles Python floats,
// Views their arrays (new references), PyObject* is stolen.
PyObject *box(int v);
PyObject *box(int64_t v);
PyObject *box(double v);
PyObject *box(const View &v);
PyObject *box(PyObject *stolen);

template <class... T>
PyObject *tuple(const T &...items) {
    PyObject *objs[] = {box(items)...};
    constexpr Py_ssize_t n = sizeof...(T);
    PyObject *t = nullptr;
    bool good = true;
    for (PyObject *o : objs) good = good && o != nullptr;
    if (good) t = PyTuple_New(n);
    if (t) {
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t, i, objs[i]);
        return t;
    }
    for (PyObject *o : objs) Py_XDECREF(o);
    return nullptr;
}

}  // namespace pyframe

#endif
