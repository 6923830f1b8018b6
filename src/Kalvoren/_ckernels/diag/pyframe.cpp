// The shared call frame of the extension modules (see pyframe.hpp).
#include "pyframe.hpp"

#include <cstring>
#if PY_VERSION_HEX >= 0x030D0000
#  include <frameobject.h>  // PyFrame_New
#endif

namespace pyframe {

Names names{};

static Identity identity{"", "", ""};

static bool init_names(PyObject *module) {
    names.module = module;
    names.np = PyUnicode_InternFromString("np");
    names.ascontiguousarray = PyUnicode_InternFromString("ascontiguousarray");
    names.empty = PyUnicode_InternFromString("empty");
    names.float64 = PyUnicode_InternFromString("float64");
    names.empty_like = PyUnicode_InternFromString("empty_like");
    names.reshape = PyUnicode_InternFromString("reshape");
    names.size = PyUnicode_InternFromString("size");
    names.minus_one = PyLong_FromLong(-1);
    if (!names.empty_like || !names.reshape || !names.size || !names.minus_one) return false;
    names.shape = PyUnicode_InternFromString("shape");
    names.int64 = PyUnicode_InternFromString("int64");
    names.zero = PyLong_FromLong(0);
    if (!names.shape || !names.int64 || !names.zero) return false;
    names.array = PyUnicode_InternFromString("array");
    names.kind = PyUnicode_InternFromString("kind");
    names.dtype = PyUnicode_InternFromString("dtype");
    if (!names.np || !names.ascontiguousarray || !names.empty || !names.float64 || !names.array ||
        !names.kind || !names.dtype)
        return false;
    names.dtype_kwnames = PyTuple_Pack(1, names.dtype);
    if (!names.dtype_kwnames) return false;
    PyObject *b = PyImport_ImportModule("builtins");
    if (!b) return false;
    names.builtins = PyModule_GetDict(b);  // kept alive by sys.modules
    Py_INCREF(names.builtins);
    Py_DECREF(b);
    return true;
}

// ---------------------------------------------------------------- binding

static bool bind_args(const char *name, const char *const *params, PyObject *const *args,
                      Py_ssize_t nargs, PyObject *kwnames, PyObject **bound, int max_params) {
    Py_ssize_t nparams = 0;
    while (params[nparams]) ++nparams;
    if (nparams > max_params) {
        PyErr_Format(PyExc_SystemError, "%.200s() has more parameters than the frame holds", name);
        return false;
    }
    const char *plural = nparams == 1 ? "" : "s";
    if (nargs > nparams) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                     name, "exactly", nparams, plural, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            return false;
        }
        Py_ssize_t idx = -1;
        for (Py_ssize_t i = 0; i < nparams; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, params[i]) == 0) {
                idx = i;
                break;
            }
        }
        if (idx < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                         key);
            return false;
        }
        if (idx < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         name, key);
            return false;
        }
        bound[idx] = args[nargs + k];
    }
    for (Py_ssize_t i = nargs; i < nparams; ++i) {
        if (!bound[i]) {
            PyErr_Format(PyExc_TypeError,
                         "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name,
                         "exactly", nparams, plural, i);
            return false;
        }
    }
    return true;
}

Frame::Frame(PyObject *module, const char *name, const char *const *params, PyObject *const *args,
             Py_ssize_t nargs, PyObject *kwnames)
    : module_(module), name_(name), params_(params) {
    ok_ = bind_args(name, params, args, PyVectorcall_NARGS(nargs), kwnames, bound_, kMaxParams);
}

#if PY_VERSION_HEX >= 0x030D0000
// CPython 3.13 keeps _PyTraceback_Add internal; the same from public calls:
// an empty code object at the line, a frame for it, and that frame added to
// the traceback of the pending exception.
static void add_traceback(const char *func, const char *file, int line) {
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *globals = PyDict_New();
    PyCodeObject *code = globals ? PyCode_NewEmpty(file, func, line) : nullptr;
    PyFrameObject *frame =
        code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(globals);
    Py_XDECREF(code);
    if (!frame) {  // keep the first exception; the one this raised goes
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    PyErr_SetRaisedException(exc);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}
#else
static void add_traceback(const char *func, const char *file, int line) {
    _PyTraceback_Add(func, file, line);
}
#endif

PyObject *Frame::fail(int line) const {
    char func[128];
    PyOS_snprintf(func, sizeof func, "%s.%s", identity.full_name, name_);
    add_traceback(func, identity.source_file, line);
    return nullptr;
}

// ------------------------------------------------------------- conversion

// The int route of the integer conversion: an exact int as it is, anything
// else through its __int__.
static PyObject *as_int(PyObject *o) {
    if (PyLong_Check(o)) {
        Py_INCREF(o);
        return o;
    }
    PyNumberMethods *nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    PyObject *r = nb->nb_int(o);
    if (!r || PyLong_CheckExact(r)) return r;
    if (PyLong_Check(r)) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(r)->tp_name) < 0) {
            Py_DECREF(r);
            return nullptr;
        }
        return r;
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r)->tp_name);
    Py_DECREF(r);
    return nullptr;
}

static_assert(sizeof(long) == sizeof(int64_t), "int64 parameters are read as C long");

static bool to_int64(PyObject *o, int64_t *out) {
    Ref v(as_int(o));
    if (!v) return false;
    long x = PyLong_AsLong(v.get());
    if (x == -1 && PyErr_Occurred()) return false;
    *out = static_cast<int64_t>(x);
    return true;
}

bool Frame::int64(int i, int64_t *out) const { return to_int64(bound_[i], out); }

bool Frame::shape0(int i, int64_t *out) const {
    Ref shape(PyObject_GetAttr(bound_[i], names.shape));
    if (!shape) return false;
    Ref first(PyObject_GetItem(shape.get(), names.zero));
    return first && to_int64(first.get(), out);
}

bool Frame::int32(int i, int *out) const {
    int64_t x;
    if (!int64(i, &x)) return false;
    if (x < INT32_MIN || x > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int>(x);
    return true;
}

bool Frame::f64(int i, double *out) const {
    PyObject *o = bound_[i];
    double x = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
    if (x == -1.0 && PyErr_Occurred()) return false;
    *out = x;
    return true;
}

// The module global `np`, looked up at every call: module dict, then builtins.
static PyObject *lookup_np(PyObject *module) {
    PyObject *d = PyModule_GetDict(module);
    PyObject *np = PyDict_GetItemWithError(d, names.np);
    if (!np && !PyErr_Occurred()) np = PyDict_GetItemWithError(names.builtins, names.np);
    if (!np) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", names.np);
        return nullptr;
    }
    Py_INCREF(np);
    return np;
}

// np.<func_name>(first, dtype=np.<dtype_name>)
PyObject *Frame::call_np(PyObject *func_name, PyObject *first, PyObject *dtype_name) const {
    Ref np(lookup_np(module_));
    if (!np) return nullptr;
    Ref func(PyObject_GetAttr(np.get(), func_name));
    if (!func) return nullptr;
    Ref dtype(PyObject_GetAttr(np.get(), dtype_name));
    if (!dtype) return nullptr;
    PyObject *argv[] = {first, dtype.get()};
    return PyObject_Vectorcall(func.get(), argv, 1, names.dtype_kwnames);
}

PyObject *Frame::call_method(PyObject *np_func, PyObject *arg) const {
    Ref np(lookup_np(module_));
    if (!np) return nullptr;
    Ref func(PyObject_GetAttr(np.get(), np_func));
    if (!func) return nullptr;
    return PyObject_CallOneArg(func.get(), arg);
}

PyObject *Frame::np_float64(double v) const {
    Ref np(lookup_np(module_));
    if (!np) return nullptr;
    Ref type(PyObject_GetAttr(np.get(), names.float64));
    if (!type) return nullptr;
    Ref x(PyFloat_FromDouble(v));
    if (!x) return nullptr;
    return PyObject_CallOneArg(type.get(), x.get());
}

PyObject *Frame::reshape_flat(PyObject *arr) {
    PyObject *argv[] = {arr, names.minus_one};
    return PyObject_VectorcallMethod(names.reshape, argv, 2, nullptr);
}

bool Frame::array_size(PyObject *arr, int64_t *size) {
    Ref s(PyObject_GetAttr(arr, names.size));
    if (!s) return false;
    long v = PyLong_AsLong(s.get());
    if (v == -1 && PyErr_Occurred()) return false;
    *size = v;
    return true;
}

bool Frame::in(int i, View &v, int ndim) const {
    return v.bind(call_np(names.ascontiguousarray, bound_[i]), ndim);
}

static bool plain_int64_vector(PyObject *arr);

bool Frame::in_int64_copy(int i, View &v) const {
    Ref arr;
    bool is_unsigned = false;
    if (plain_int64_vector(bound_[i])) {  // the common case: nothing to convert or check
        Py_INCREF(bound_[i]);
        arr.reset(bound_[i]);
    } else {
        arr.reset(call_method(names.ascontiguousarray, bound_[i]));  // in its own dtype
        if (!arr) return false;
        Ref dtype(PyObject_GetAttr(arr.get(), names.dtype));
        if (!dtype) return false;
        Ref kind(PyObject_GetAttr(dtype.get(), names.kind));
        if (!kind) return false;
        const bool is_signed =
            PyUnicode_Check(kind.get()) && PyUnicode_CompareWithASCIIString(kind.get(), "i") == 0;
        is_unsigned =
            PyUnicode_Check(kind.get()) && PyUnicode_CompareWithASCIIString(kind.get(), "u") == 0;
        int64_t size;
        if (!array_size(arr.get(), &size)) return false;
        if (!is_signed && !is_unsigned && size > 0) {
            PyErr_Format(PyExc_TypeError, "%s(): %s must be an array of integers, not of %S", name_,
                         params_[i], dtype.get());
            return false;
        }
    }
    if (!v.bind(call_np(names.array, arr.get(), names.int64), 1, Elem::i64)) return false;
    if (v.array() == arr.get() || v.array() == bound_[i]) {  // np.array must copy
        PyErr_Format(PyExc_ValueError, "%s(): np.array returned %s itself, not a copy", name_,
                     params_[i]);
        return false;
    }
    if (is_unsigned) {  // np.array wraps values past INT64_MAX to negative ones
        const int64_t *d = v.idata();
        for (int64_t j = 0; j < v.len(); ++j)
            if (d[j] < 0) {
                PyErr_Format(PyExc_ValueError, "%s(): %s[%lld] does not fit in int64", name_,
                             params_[i], static_cast<long long>(j));
                return false;
            }
    }
    return true;
}

bool Frame::in_rows(int i, View &v, int j, View &X) const {
    if (!in(i, v, 1) || !in(j, X, 2)) return false;
    if (v.len() >= X.rows()) return true;
    PyErr_Format(PyExc_ValueError, "%s(): %s has length %lld but %s has %lld rows", name_,
                 params_[i], (long long)v.len(), params_[j], (long long)X.rows());
    return false;
}

// `np` is whatever the module global is at call time: an output that is not
// the size asked for would be written past its end, so it is refused.
bool Frame::sized(const View &v, int64_t n, int64_t p, const char *func) const {
    if (v.rows() == n && (p < 0 || v.cols() == p)) return true;
    PyErr_Format(PyExc_ValueError, "%s(): np.%s returned an array of %lld x %lld, not %lld x %lld",
                 name_, func, (long long)v.rows(), (long long)(p < 0 ? 1 : v.cols()), (long long)n,
                 (long long)(p < 0 ? 1 : p));
    return false;
}

bool Frame::out(View &v, int64_t n) const {
    Ref shape(PyLong_FromLongLong(n));
    if (!shape) return false;
    return v.bind(call_np(names.empty, shape.get()), 1) && sized(v, n, -1, "empty");
}

bool Frame::out(View &v, int64_t n, int64_t p) const {
    Ref shape(Py_BuildValue("(LL)", static_cast<long long>(n), static_cast<long long>(p)));
    if (!shape) return false;
    return v.bind(call_np(names.empty, shape.get()), 2) && sized(v, n, p, "empty");
}

bool Frame::out_int64(View &v, int64_t n) const {
    Ref shape(PyLong_FromLongLong(n));
    if (!shape) return false;
    return v.bind(call_np(names.empty, shape.get(), names.int64), 1, Elem::i64) &&
           sized(v, n, -1, "empty");
}

bool Frame::min_len(const View &v, int64_t need, const char *what) const {
    char msg[160];
    PyOS_snprintf(msg, sizeof msg, "%s has length %%lld but %%lld values are needed", what);
    return at_least(v.len(), need, msg);
}

bool Frame::shape_is(const View &v, int64_t rows, int64_t cols, const char *what) const {
    if (v.rows() == rows && v.cols() == cols) return true;
    PyErr_Format(PyExc_ValueError, "%s(): %s has shape (%lld, %lld) but (%lld, %lld) is needed",
                 name_, what, (long long)v.rows(), (long long)v.cols(), (long long)rows,
                 (long long)cols);
    return false;
}

bool Frame::arena(View &v, kvr_arena_size_t need) const {
    const Size len = kvr::arena_len(need);
    int64_t n, bytes;
    return size_value(len, &n) && size_value(len * static_cast<int64_t>(sizeof(double)), &bytes) &&
           out(v, n);
}

bool Frame::at_least(int64_t have, int64_t need, const char *msg) const {
    if (have >= need) return true;
    char text[200];
    PyOS_snprintf(text, sizeof text, msg, static_cast<long long>(have),
                  static_cast<long long>(need));
    PyErr_Format(PyExc_ValueError, "%s(): %s", name_, text);
    return false;
}

// ------------------------------------------------------------------ views

static const char *describe_format(const char *fmt) {
    if (!fmt) fmt = "B";
    if (*fmt == '@' || *fmt == '=' || *fmt == '<' || *fmt == '>' || *fmt == '!') ++fmt;
    bool cplx = false;
    if (*fmt == 'Z') {
        cplx = true;
        ++fmt;
    }
    switch (*fmt) {
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case '?': return "'bool'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'e': return "'half'";
        case 'f': return cplx ? "'complex float'" : "'float'";
        case 'd': return cplx ? "'complex double'" : "'double'";
        case 'g': return cplx ? "'complex long double'" : "'long double'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's':
        case 'p': return "a string";
        case 0: return "end";
        default: return "unparsable format string";
    }
}

static bool format_matches(const Py_buffer &b, Elem elem) {
    const char *f = b.format ? b.format : "B";
    if (*f == '@' || *f == '=' || *f == '<') ++f;
    if (f[0] == 0 || f[1] != 0) return false;
    if (elem == Elem::f64) return f[0] == 'd' && b.itemsize == 8;
    return (f[0] == 'q' || f[0] == 'l') && b.itemsize == 8;
}

// NumPy's array and dtype object heads (public, unchanged from NumPy 1.7
// through 2.x). Reading them spares the buffer export, whose per-array format
// and shape bookkeeping costs more than many small kernels; the layout is
// checked against a real export at start-up before it is trusted.
struct NpArrayHead {
    PyObject_HEAD char *data;
    int nd;
    Py_ssize_t *dimensions;
    Py_ssize_t *strides;
    PyObject *base;
    PyObject *descr;
    int flags;
};
struct NpDescrHead {
    PyObject_HEAD PyTypeObject *typeobj;
    char kind, type, byteorder, former_flags;
    int type_num;
};

constexpr int kCContiguous = 0x0001, kWriteable = 0x0400;
constexpr unsigned kWarnOnWrite = 1u << 31;  // set on views that warn when written

struct ArrayLayout {
    PyTypeObject *ndarray = nullptr;  // null: always take the buffer export
    int f64_num = -1, i64_num = -1;
    char byteorder = 0;
};
static ArrayLayout layout;

// The fast route's answer for arr, or false to take the buffer export (which
// then also raises the documented errors).
static bool direct_view(PyObject *arr, int ndim, Elem elem, void **data, int64_t *shape) {
    if (Py_TYPE(arr) != layout.ndarray) return false;
    const NpArrayHead *a = reinterpret_cast<const NpArrayHead *>(arr);
    const unsigned flags = static_cast<unsigned>(a->flags);
    if (a->nd != ndim || (flags & (kCContiguous | kWriteable)) != (kCContiguous | kWriteable) ||
        (flags & kWarnOnWrite))
        return false;
    const NpDescrHead *d = reinterpret_cast<const NpDescrHead *>(a->descr);
    if (d->type_num != (elem == Elem::f64 ? layout.f64_num : layout.i64_num) ||
        d->byteorder != layout.byteorder)
        return false;
    *data = a->data;
    for (int i = 0; i < ndim; ++i) shape[i] = a->dimensions[i];
    return true;
}

// A C-contiguous 1-D int64 ndarray in native byte order (written or not).
static bool plain_int64_vector(PyObject *arr) {
    if (Py_TYPE(arr) != layout.ndarray) return false;
    const NpArrayHead *a = reinterpret_cast<const NpArrayHead *>(arr);
    const NpDescrHead *d = reinterpret_cast<const NpDescrHead *>(a->descr);
    return a->nd == 1 && (static_cast<unsigned>(a->flags) & kCContiguous) &&
           d->type_num == layout.i64_num && d->byteorder == layout.byteorder;
}

static bool layout_agrees(PyObject *arr, int ndim, int *type_num, char *byteorder) {
    Py_buffer b;
    if (PyObject_GetBuffer(arr, &b, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0)
        return false;
    const NpArrayHead *a = reinterpret_cast<const NpArrayHead *>(arr);
    bool ok = a->data == b.buf && a->nd == ndim && b.ndim == ndim &&
              (a->flags & (kCContiguous | kWriteable)) == (kCContiguous | kWriteable);
    for (int i = 0; ok && i < ndim; ++i) ok = a->dimensions[i] == b.shape[i];
    if (ok) {
        const NpDescrHead *d = reinterpret_cast<const NpDescrHead *>(a->descr);
        *type_num = d->type_num;
        *byteorder = d->byteorder;
    }
    PyBuffer_Release(&b);
    return ok;
}

// Checks NumPy's array layout against its buffer export and, when they
// agree, lets View::bind read exact ndarrays directly. Never fails.
static void init_array_layout(PyObject *np) {
    PyObject *err_type, *err_value, *err_tb;
    PyErr_Fetch(&err_type, &err_value, &err_tb);
    Ref type(PyObject_GetAttrString(np, "ndarray"));
    Ref empty(PyObject_GetAttrString(np, "empty"));
    Ref f(empty ? PyObject_CallFunction(empty.get(), "((ii)s)", 2, 3, "float64") : nullptr);
    Ref i(empty ? PyObject_CallFunction(empty.get(), "(is)", 5, "int64") : nullptr);
    ArrayLayout l;
    char bo_i = 0;
    if (type && PyType_Check(type.get()) && f && i &&
        Py_TYPE(f.get()) == (PyTypeObject *)type.get() &&
        Py_TYPE(i.get()) == (PyTypeObject *)type.get() &&
        layout_agrees(f.get(), 2, &l.f64_num, &l.byteorder) &&
        layout_agrees(i.get(), 1, &l.i64_num, &bo_i) && bo_i == l.byteorder &&
        l.f64_num != l.i64_num) {
        l.ndarray = reinterpret_cast<PyTypeObject *>(type.release());  // kept for the process
        layout = l;
    }
    PyErr_Clear();
    PyErr_Restore(err_type, err_value, err_tb);
}

bool View::bind(PyObject *arr, int ndim, Elem elem) {
    arr_.reset(arr);
    if (!arr) return false;
    int64_t shape[2] = {0, 0};
    if (direct_view(arr, ndim, elem, &data_, shape)) {
        shape0_ = shape[0];
        shape1_ = ndim == 2 ? shape[1] : 0;
        size_ = ndim == 2 ? shape0_ * shape1_ : shape0_;
        return true;
    }
    if (PyObject_GetBuffer(arr, &buf_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0)
        return false;
    held_ = true;
    if (buf_.ndim != ndim) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                     buf_.ndim);
        return false;
    }
    if (!format_matches(buf_, elem)) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                     elem == Elem::f64 ? "double" : "int64_t", "'", describe_format(buf_.format));
        return false;
    }
    data_ = buf_.buf;
    shape0_ = static_cast<int64_t>(buf_.shape[0]);
    shape1_ = ndim == 2 ? static_cast<int64_t>(buf_.shape[1]) : 0;
    size_ = static_cast<int64_t>(buf_.len / buf_.itemsize);
    return true;
}

// ------------------------------------------------------------------ sizes

bool size_value(Size s, int64_t *out) {
    if (!s.ok) {
        PyErr_SetString(PyExc_OverflowError, "array size overflows int64");
        return false;
    }
    *out = s.v;
    return true;
}

// ---------------------------------------------------------------- results

PyObject *box(int v) { return PyLong_FromLong(v); }
PyObject *box(int64_t v) { return PyLong_FromLongLong(v); }
PyObject *box(double v) { return PyFloat_FromDouble(v); }
PyObject *box(const View &v) { return v.new_ref(); }
PyObject *box(PyObject *stolen) { return stolen; }

}  // namespace pyframe

// ---------------------------------------------------------------- start-up

namespace pyframe {

static PyObject *the_module = nullptr;  // the one module object, once executed
static int64_t interpreter_id = -1;     // the interpreter that first imported it

PyObject *create_module(PyObject *spec) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id == -1) {
        interpreter_id = id;
        if (id == -1) return nullptr;
    } else if (interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (the_module) return Py_NewRef(the_module);

    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    static const struct {
        const char *from, *to;
        bool allow_none;
    } copies[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    for (const auto &c : copies) {
        Ref v(PyObject_GetAttrString(spec, c.from));
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

static int check_version(const char *full_name) {
    unsigned rt_major = (Py_Version >> 24) & 0xFF, rt_minor = (Py_Version >> 16) & 0xFF;
    if (rt_major == PY_MAJOR_VERSION && rt_minor == PY_MINOR_VERSION) return 0;
    char msg[200];
    PyOS_snprintf(msg, sizeof msg,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, full_name, "does not match", (int)rt_major,
                  (int)rt_minor);
    return PyErr_WarnEx(nullptr, msg, 1);
}

int exec_begin(PyObject *module, const Identity &id) {
    if (the_module) {
        if (the_module == module) return 1;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     id.short_name);
        return -1;
    }
    identity = id;
    if (check_version(id.full_name) < 0) return -1;
    if (!init_names(module)) return -1;
    if (PyDict_SetItemString(PyImport_GetModuleDict(), id.full_name, module) < 0) return -1;
    Ref np(PyImport_ImportModule("numpy"));
    if (!np || PyDict_SetItemString(PyModule_GetDict(module), "np", np.get()) < 0) return -1;
    init_array_layout(np.get());
    return 0;
}

int exec_end(PyObject *module, PyMethodDef *table) {
    PyObject *dict = PyModule_GetDict(module);
    Ref modname(PyUnicode_FromString(identity.full_name));
    if (!modname) return -1;
    for (PyMethodDef *def = table; def->ml_name; ++def) {
        Ref func(PyCMethod_New(def, module, modname.get(), nullptr));
        if (!func || PyDict_SetItemString(dict, def->ml_name, func.get()) < 0) return -1;
    }
    Ref test(PyDict_New());
    if (!test || PyDict_SetItemString(dict, "__test__", test.get()) < 0) return -1;
    the_module = Py_NewRef(module);  // kept for the life of the process
    return 0;
}

}  // namespace pyframe
