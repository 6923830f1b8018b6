// The one-series finish of diagnose's common case (see batch_finish.hpp).
// What a shape fixes (record fields, forms, degrees of freedom, p-value
// functions) is parsed once into a Plan held by a capsule; finish_one then
// reads one record row and builds the results without the interpreter's loop.
// chi-square and F tails call SciPy's own C functions (the ones its scalar
// functions call: the same bits); other references call the Python function
// bound for the shape.
#include "batch_finish.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "pyframe.hpp"

namespace kvr_finish {
namespace {

using pyframe::Frame;
using pyframe::Ref;
using pyframe::View;

const char kCapsule[] = "Kalvoren._batch.finish_plan";
const char kChdtrc[] = "double (double, double, int __pyx_skip_dispatch)";
const char kFdtrc[] = "double (double, double, double, int __pyx_skip_dispatch)";
const char kUnary[] = "double (double, int __pyx_skip_dispatch)";  // ndtr, log1p
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// kRow: a null table's row of critical values against normal quantiles z,
// interpolated linearly in the statistic (CUSUM); kLogRow: in the log of the
// statistic, with the logs of neighbours' ratios lr (Jarque-Bera).
// kFixedB: fixed-b's law, row = (divisor of W or NaN, mu1, d1, K, q times the
// scale): fdtrc(d1, K, (W / divisor) mu1 / (q scale)).
enum Kind : int64_t {
    kNone = 0,
    kChi2 = 1,
    kF = 2,
    kCallable = 3,
    kRow = 4,
    kLogRow = 5,
    kFixedB = 6
};

struct Step {
    int64_t i = 0;
    Kind kind = kNone;
    double d1 = kNaN, d2 = kNaN;
    // owned: id, form (or None), its Fitted, reference, p-value function (or None), df shown
    PyObject *tid = nullptr, *form = nullptr, *fitted = nullptr, *reference = nullptr,
             *pvalue = nullptr, *df = nullptr;
    std::vector<double> row, z, lr;
};

struct Native {
    int64_t i, status, stat;  // registry position, record fields
};

// A result's twelve fields, in the order result_type takes them.
const char *const kFields[] = {"statistic",    "pvalue", "df",   "reject", "status",   "route",
                               "pvalue_bound", "note",   "test", "alpha",  "break_at", "reference"};
constexpr int kNFields = 12;

struct Plan {
    int64_t T = 0, nfields = 0;
    // result_type's slots, when it is a plain class whose __slots__ are the
    // twelve fields and whose __init__ only stores them (a dataclass with
    // slots): filled directly, as its __init__ would
    bool slots = false;
    Py_ssize_t offset[kNFields] = {};
    std::vector<Native> native;
    std::vector<Step> steps;
    // the record row's fields this plan was made for (equal, or both NaN) and
    // the least values of others: a row that differs is another shape's
    std::vector<std::pair<int64_t, double>> key, least;
    double (*chdtrc)(double, double, int) = nullptr;
    double (*fdtrc)(double, double, double, int) = nullptr;
    double (*ndtr)(double, int) = nullptr;
    double (*log1p)(double, int) = nullptr;
    PyObject *make = nullptr, *kernel = nullptr, *empty = nullptr, *nan = nullptr;  // owned

    ~Plan() {
        for (Step &s : steps) {
            Py_XDECREF(s.tid);
            Py_XDECREF(s.form);
            Py_XDECREF(s.fitted);
            Py_XDECREF(s.reference);
            Py_XDECREF(s.pvalue);
            Py_XDECREF(s.df);
        }
        Py_XDECREF(make);
        Py_XDECREF(kernel);
        Py_XDECREF(empty);
        Py_XDECREF(nan);
    }
};

void drop_plan(PyObject *capsule) {
    delete static_cast<Plan *>(PyCapsule_GetPointer(capsule, kCapsule));
}

bool fail(const char *msg) {
    PyErr_Format(PyExc_ValueError, "finish_plan(): %s", msg);
    return false;
}

// A capsule of SciPy's with the signature asked for, or None.
bool function_of(PyObject *cap, const char *signature, void **fn) {
    *fn = nullptr;
    if (cap == Py_None) return true;
    if (!PyCapsule_IsValid(cap, signature))
        return fail("a p-value capsule does not have the signature expected");
    *fn = PyCapsule_GetPointer(cap, signature);
    return *fn != nullptr;
}

bool int_in(PyObject *o, int64_t hi, int64_t *out) {
    const long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v >= hi) return fail("an index is out of range");
    *out = v;
    return true;
}

bool parse_native(PyObject *seq, Plan &p) {
    if (!PyTuple_Check(seq)) return fail("native must be a tuple");
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(seq); ++j) {
        PyObject *t = PyTuple_GET_ITEM(seq, j);
        Native c{};
        if (!PyTuple_Check(t) || PyTuple_GET_SIZE(t) != 3)
            return fail("each native entry is (test, status field, statistic field)");
        if (!int_in(PyTuple_GET_ITEM(t, 0), p.T, &c.i) ||
            !int_in(PyTuple_GET_ITEM(t, 1), p.nfields, &c.status) ||
            !int_in(PyTuple_GET_ITEM(t, 2), p.nfields, &c.stat))
            return false;
        p.native.push_back(c);
    }
    return true;
}

// A tuple of floats (None: empty).
bool floats(PyObject *seq, std::vector<double> &out) {
    if (seq == Py_None) return true;
    if (!PyTuple_Check(seq)) return fail("a table must be a tuple of floats");
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(seq); ++j) {
        out.push_back(PyFloat_AsDouble(PyTuple_GET_ITEM(seq, j)));
        if (PyErr_Occurred()) return false;
    }
    return true;
}

bool parse_steps(PyObject *seq, Plan &p) {
    if (!PyTuple_Check(seq)) return fail("steps must be a tuple");
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(seq); ++j) {
        PyObject *t = PyTuple_GET_ITEM(seq, j);
        if (!PyTuple_Check(t) || PyTuple_GET_SIZE(t) != 13)
            return fail(
                "each step is (test, id, form, fitted, reference, kind, d1, d2, pvalue, "
                "df, row, z, lr)");
        p.steps.emplace_back();
        Step &s = p.steps.back();
        int64_t kind;
        if (!int_in(PyTuple_GET_ITEM(t, 0), p.T, &s.i) || !int_in(PyTuple_GET_ITEM(t, 5), 7, &kind))
            return false;
        s.kind = static_cast<Kind>(kind);
        s.d1 = PyFloat_AsDouble(PyTuple_GET_ITEM(t, 6));
        s.d2 = PyFloat_AsDouble(PyTuple_GET_ITEM(t, 7));
        if (PyErr_Occurred()) return false;
        PyObject **own[] = {&s.tid, &s.form, &s.fitted, &s.reference, &s.pvalue, &s.df};
        const int at[] = {1, 2, 3, 4, 8, 9};
        for (int m = 0; m < 6; ++m) {
            *own[m] = PyTuple_GET_ITEM(t, at[m]);
            Py_INCREF(*own[m]);
        }
        if (!PyUnicode_Check(s.tid) || !PyUnicode_Check(s.reference))
            return fail("a test id or reference is not a str");
        if (s.form != Py_None && !PyCallable_Check(s.form)) return fail("a form is not callable");
        if (!floats(PyTuple_GET_ITEM(t, 10), s.row) || !floats(PyTuple_GET_ITEM(t, 11), s.z) ||
            !floats(PyTuple_GET_ITEM(t, 12), s.lr))
            return false;
        const bool table = s.kind == kRow || s.kind == kLogRow;
        if (table && (s.row.size() < 2 || s.z.size() != s.row.size() ||
                      (s.kind == kLogRow && s.lr.size() + 1 < s.row.size())))
            return fail("a table's row, z and lr do not fit together");
        if (s.kind == kFixedB && s.row.size() != 5) return fail("a fixed-b law has five numbers");
        if ((s.kind == kChi2 && (!p.chdtrc || (s.d1 == 1.0 && !p.ndtr))) ||
            ((s.kind == kF || s.kind == kFixedB) && !p.fdtrc) || (table && !p.ndtr) ||
            (s.kind == kLogRow && !p.log1p) || (s.kind == kCallable && !PyCallable_Check(s.pvalue)))
            return fail("a step's p-value function is missing");
    }
    return true;
}

// Whether results can be made by filling result_type's slots.
bool slotted(PyObject *make, Plan &p) {
    if (!PyType_Check(make)) return false;
    auto *tp = reinterpret_cast<PyTypeObject *>(make);
    if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) || tp->tp_alloc != PyType_GenericAlloc ||
        tp->tp_base != &PyBaseObject_Type || tp->tp_new != PyBaseObject_Type.tp_new ||
        !tp->tp_members)
        return false;
    Ref post(PyObject_GetAttrString(make, "__post_init__"));
    if (post) return false;
    PyErr_Clear();
    // the type keeps its slots in its own order (sorted by name): match by name
    int found = 0;
    for (const PyMemberDef *m = tp->tp_members; m->name; ++m) {
        int j = 0;
        while (j < kNFields && std::strcmp(m->name, kFields[j]) != 0) ++j;
        if (j == kNFields || p.offset[j] != 0 || m->type != Py_T_OBJECT_EX || m->flags != 0 ||
            m->offset <= 0)
            return false;
        p.offset[j] = m->offset;
        ++found;
    }
    return found == kNFields;
}

// A result of the plan's type with these fields (borrowed).
PyObject *make_result(const Plan &p, PyObject *const *fields) {
    if (!p.slots) return PyObject_Vectorcall(p.make, fields, kNFields, nullptr);
    auto *tp = reinterpret_cast<PyTypeObject *>(p.make);
    PyObject *o = tp->tp_alloc(tp, 0);
    if (!o) return nullptr;
    for (int j = 0; j < kNFields; ++j) {
        Py_INCREF(fields[j]);
        *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + p.offset[j]) = fields[j];
    }
    return o;
}

const char *const plan_params[] = {"T",           "nfields", "native", "steps", "tails",
                                   "result_type", "key",     "least",  nullptr};

// (field, value) pairs.
bool parse_pairs(PyObject *seq, const Plan &p, std::vector<std::pair<int64_t, double>> &out) {
    if (!PyTuple_Check(seq)) return fail("key and least must be tuples of (field, value)");
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(seq); ++j) {
        PyObject *t = PyTuple_GET_ITEM(seq, j);
        int64_t field;
        if (!PyTuple_Check(t) || PyTuple_GET_SIZE(t) != 2)
            return fail("key and least must be tuples of (field, value)");
        if (!int_in(PyTuple_GET_ITEM(t, 0), p.nfields, &field)) return false;
        const double v = PyFloat_AsDouble(PyTuple_GET_ITEM(t, 1));
        if (v == -1.0 && PyErr_Occurred()) return false;
        out.emplace_back(field, v);
    }
    return true;
}

// Whether a record row is of the plan's shape.
bool fits(const Plan &p, const double *row) {
    for (const auto &[field, v] : p.key)
        if (!(row[field] == v || (std::isnan(row[field]) && std::isnan(v)))) return false;
    for (const auto &[field, v] : p.least)
        if (!(row[field] >= v)) return false;
    return true;
}

// The statistic a form gives and whether its reference is the plan's;
// false with an exception set when the form fails.
bool apply_form(const Step &s, double *x, bool *same) {
    Ref xo(PyFloat_FromDouble(*x));
    if (!xo) return false;
    Ref r(PyObject_CallFunctionObjArgs(s.form, xo.get(), s.fitted, nullptr));
    if (!r) return false;
    if (!PyTuple_Check(r.get()) || PyTuple_GET_SIZE(r.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "finish_one(): a form must return (statistic, reference)");
        return false;
    }
    const int ne = PyObject_RichCompareBool(PyTuple_GET_ITEM(r.get(), 1), s.reference, Py_NE);
    if (ne < 0) return false;
    *same = ne == 0;
    *x = PyFloat_AsDouble(PyTuple_GET_ITEM(r.get(), 0));
    return !(*x == -1.0 && PyErr_Occurred());
}

// The table's p-value of x, as Python's bisect, min and max would find it.
bool table_p(const Plan &p, const Step &s, double x, double *pv, bool *bounded) {
    const std::vector<double> &r = s.row;
    const size_t nc = r.size();
    *pv = kNaN;
    if (std::isnan(x)) return true;
    if (x < r[0] || x > r[nc - 1]) {
        *bounded = true;  // beyond the table: the general finish says so
        return true;
    }
    const size_t at = static_cast<size_t>(std::upper_bound(r.begin(), r.end(), x) - r.begin());
    const size_t k = std::min(at - 1, nc - 2);
    const double v0 = r[k];
    double t = s.kind == kRow ? (x - v0) / (r[k + 1] - v0) : p.log1p((x - v0) / v0, 0) / s.lr[k];
    t = 0.0 > t ? 0.0 : t;  // max(t, 0.0): NaN stays
    t = 1.0 < t ? 1.0 : t;  // min(t, 1.0)
    const double z0 = s.z[k];
    *pv = p.ndtr(-(z0 + t * (s.z[k + 1] - z0)), 0);
    return true;
}

// The p-value of x; *bounded when the function says it sits at a table's edge.
bool pvalue_of(const Plan &p, const Step &s, double x, double *pv, bool *bounded) {
    *bounded = false;
    switch (s.kind) {
        case kNone: *pv = kNaN; return true;
        case kChi2:  // one degree of freedom as _pvalues.chi2_sf has it
            *pv = s.d1 == 1.0 ? 2.0 * p.ndtr(-std::sqrt(x), 0) : p.chdtrc(s.d1, x, 0);
            return true;
        case kF: *pv = p.fdtrc(s.d1, s.d2, x, 0); return true;
        case kRow:
        case kLogRow: return table_p(p, s, x, pv, bounded);
        case kFixedB: {  // as _fixedb._apply, operation for operation
            const double *law = s.row.data();
            const double w = std::isnan(law[0]) ? x : x / law[0];
            *pv = std::isnan(x) ? kNaN : p.fdtrc(law[2], law[3], w * law[1] / law[4], 0);
            return true;
        }
        case kCallable: break;
    }
    Ref xo(PyFloat_FromDouble(x));
    if (!xo) return false;
    Ref r(PyObject_CallOneArg(s.pvalue, xo.get()));
    if (!r) return false;
    if (!PyTuple_Check(r.get()) || PyTuple_GET_SIZE(r.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "finish_one(): a p-value function must return (p, bound)");
        return false;
    }
    *bounded = PyTuple_GET_ITEM(r.get(), 1) != Py_None;
    *pv = PyFloat_AsDouble(PyTuple_GET_ITEM(r.get(), 0));
    return !(*pv == -1.0 && PyErr_Occurred());
}

// A list of floats, one NaN object for all its NaNs (as [nan] * T has).
PyObject *float_list(const std::vector<double> &v, PyObject *nan) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (size_t j = 0; j < v.size(); ++j) {
        PyObject *f = std::isnan(v[j]) ? (Py_INCREF(nan), nan) : PyFloat_FromDouble(v[j]);
        if (!f) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), f);
    }
    return list.release();
}

const char *const one_params[] = {"out", "plan", "alpha", "block", nullptr};

// Argument i as a float64 view of at least min_rows rows of cols entries.
bool rows_of(const Frame &f, int i, View &v, int64_t min_rows, int64_t cols, const char *what) {
    Py_INCREF(f.arg(i));
    if (!v.bind(f.arg(i), 2)) return false;
    if (v.rows() >= min_rows && v.cols() == cols) return true;
    PyErr_Format(PyExc_ValueError, "finish_one(): %s must have %lld or more rows of %lld %s",
                 one_params[i], static_cast<long long>(min_rows), static_cast<long long>(cols),
                 what);
    return false;
}

}  // namespace

PyObject *finish_plan(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Frame f(self, "finish_plan", plan_params, args, nargs, kwnames);
    int64_t T, nfields;
    if (!f.ok() || !f.int64(0, &T) || !f.int64(1, &nfields)) return f.fail(__LINE__);
    if (T < 1 || T > 4096 || nfields < 1 || nfields > 4096) {
        fail("T and nfields must lie in 1..4096");
        return f.fail(__LINE__);
    }
    Plan *p = new (std::nothrow) Plan;
    if (!p) {
        PyErr_NoMemory();
        return f.fail(__LINE__);
    }
    Ref capsule(PyCapsule_New(p, kCapsule, drop_plan));
    if (!capsule) {
        delete p;
        return f.fail(__LINE__);
    }
    p->T = T;
    p->nfields = nfields;
    PyObject *tails = f.arg(4);
    void *fn[4] = {};
    const char *const signature[] = {kChdtrc, kFdtrc, kUnary, kUnary};
    if (!PyTuple_Check(tails) || PyTuple_GET_SIZE(tails) != 4) {
        fail("tails must be (chdtrc, fdtrc, ndtr, log1p)");
        return f.fail(__LINE__);
    }
    for (int j = 0; j < 4; ++j)
        if (!function_of(PyTuple_GET_ITEM(tails, j), signature[j], &fn[j])) return f.fail(__LINE__);
    p->chdtrc = reinterpret_cast<double (*)(double, double, int)>(fn[0]);
    p->fdtrc = reinterpret_cast<double (*)(double, double, double, int)>(fn[1]);
    p->ndtr = reinterpret_cast<double (*)(double, int)>(fn[2]);
    p->log1p = reinterpret_cast<double (*)(double, int)>(fn[3]);
    if (!PyCallable_Check(f.arg(5))) {
        fail("result_type must be callable");
        return f.fail(__LINE__);
    }
    p->make = f.arg(5);
    Py_INCREF(p->make);
    p->slots = slotted(p->make, *p);
    p->kernel = PyUnicode_InternFromString("kernel");
    p->empty = PyUnicode_InternFromString("");
    p->nan = PyFloat_FromDouble(kNaN);
    if (!p->kernel || !p->empty || !p->nan || !parse_native(f.arg(2), *p) ||
        !parse_steps(f.arg(3), *p) || !parse_pairs(f.arg(6), *p, p->key) ||
        !parse_pairs(f.arg(7), *p, p->least))
        return f.fail(__LINE__);
    return capsule.release();
}

PyObject *finish_one(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Frame f(self, "finish_one", one_params, args, nargs, kwnames);
    double alpha;
    View out, block;
    if (!f.ok() || !f.f64(2, &alpha)) return f.fail(__LINE__);
    if (!PyCapsule_IsValid(f.arg(1), kCapsule)) {
        PyErr_SetString(PyExc_TypeError, "finish_one(): plan must be what finish_plan() returned");
        return f.fail(__LINE__);
    }
    const Plan *p = static_cast<const Plan *>(PyCapsule_GetPointer(f.arg(1), kCapsule));
    if (!rows_of(f, 0, out, 1, p->nfields, "fields") || !rows_of(f, 3, block, 2, p->T, "tests"))
        return f.fail(__LINE__);
    const double *row = out.data();
    if (!fits(*p, row)) Py_RETURN_FALSE;
    const size_t T = static_cast<size_t>(p->T);
    // the record's status and statistic of every test, as the general finish reads them
    std::vector<double> status(T, kNaN), raw(T, kNaN), stat, pv(T, kNaN);
    for (const Native &c : p->native) {
        status[c.i] = row[c.status];
        if (status[c.i] == 0) raw[c.i] = row[c.stat];
    }
    stat = raw;
    Ref first(PyDict_New());
    if (!first) return f.fail(__LINE__);
    for (const Step &s : p->steps) {
        if (status[s.i] != 0) Py_RETURN_NONE;
        double x = raw[s.i], pi;
        bool same = true, bounded;
        if (s.form != Py_None && !apply_form(s, &x, &same)) return f.fail(__LINE__);
        if (!same) Py_RETURN_NONE;
        stat[s.i] = x;
        if (!pvalue_of(*p, s, x, &pi, &bounded)) return f.fail(__LINE__);
        if (s.kind != kNone && (bounded || std::isnan(pi))) Py_RETURN_NONE;
        pv[s.i] = pi;
        Ref xo(PyFloat_FromDouble(x)), po(PyFloat_FromDouble(pi));
        if (!xo || !po) return f.fail(__LINE__);
        PyObject *reject = std::isnan(pi) ? Py_None : pi < alpha ? Py_True : Py_False;
        PyObject *fields[] = {xo.get(),  po.get(),   s.df,     reject, pyframe::names.zero,
                              p->kernel, Py_None,    p->empty, s.tid,  f.arg(2),
                              Py_None,   s.reference};
        Ref result(make_result(*p, fields));
        if (!result || PyDict_SetItem(first.get(), s.tid, result.get()) < 0)
            return f.fail(__LINE__);
    }
    // status, statistic, two degrees of freedom and p-value of every test, as the record keeps them
    double *b = block.data();
    std::copy(status.begin(), status.end(), b);
    std::copy(raw.begin(), raw.end(), b + T);
    Ref codes(PyList_New(static_cast<Py_ssize_t>(T)));  // not run (NaN): 0
    if (!codes) return f.fail(__LINE__);
    for (size_t j = 0; j < T; ++j) {
        PyObject *c = PyLong_FromDouble(std::isnan(status[j]) ? 0.0 : status[j]);
        if (!c) return f.fail(__LINE__);
        PyList_SET_ITEM(codes.get(), static_cast<Py_ssize_t>(j), c);
    }
    return f.check(pyframe::tuple(float_list(stat, p->nan), float_list(pv, p->nan), codes.release(),
                                  first.release()),
                   __LINE__);
}

const char kPlanDoc[] =
    "finish_plan($module, T, nfields, native, steps, tails, result_type, key, least)\n"
    "--\n\n"
    "What finish_one needs for one design shape, held by a capsule.\n"
    "\n"
    "    native: (test, status field, statistic field) of every native test;\n"
    "    steps: per chosen test (test, id, form or None, fitted, reference, kind,\n"
    "    d1, d2, pvalue or None, df, row, z, lr): kind 0 no p-value, 1 chi2(d1),\n"
    "    2 F(d1, d2), 3 pvalue(x) returning (p, bound), 4 and 5 a table's row of\n"
    "    critical values at normal quantiles z, interpolated in the statistic or\n"
    "    (with lr, the logs of neighbours' ratios) in its log, 6 fixed-b's law\n"
    "    (row: divisor of W or NaN, mu1, d1, K, q scale). tails: SciPy's\n"
    "    chdtrc, fdtrc, ndtr and log1p as capsules of their C functions, or None.\n"
    "    result_type is called with a result's twelve fields. key: (field, value)\n"
    "    pairs a row of this shape holds (NaN matches NaN); least: (field, value)\n"
    "    pairs it holds at least.\n"
    "    ";

const char kOneDoc[] =
    "finish_one($module, out, plan, alpha, block)\n"
    "--\n\n"
    "One series finished from its record row out[0]: (stat, pvalue, status, results\n"
    "by id), with the record's status and statistic of every test written to rows 0\n"
    "and 1 of block (at least 2 x T); False when the row is not of the plan's shape (key, least);\n"
    "None when a chosen test is not computed, its form takes another reference, or\n"
    "its p-value is missing or at a table's edge.\n"
    "    ";

}  // namespace kvr_finish
