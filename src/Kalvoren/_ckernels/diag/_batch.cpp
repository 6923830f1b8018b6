// Kalvoren._ckernels.diag._batch: the residual battery over many series in
// one call, on the frame of pyframe.hpp. The interpreter lock is released
// once, around the whole loop over the series; the module creates no threads
// (callers run calls on chunks in threads of their own).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "pyframe.hpp"

#include "batch_finish.hpp"

#include "diag.h"
#include "diag_modelcheck.hpp"
#include "diag_robust.hpp"

using pyframe::Frame;
using pyframe::Size;
using pyframe::View;

namespace {

const char kFullName[] = "Kalvoren._ckernels.diag._batch";

// Sizes of the output arrays, checked for int64 overflow of their byte counts.
bool out_2d(const Frame &f, View &v, int64_t rows, int64_t cols) {
    int64_t bytes;
    return pyframe::size_value(Size(rows) * cols * static_cast<int64_t>(sizeof(double)), &bytes) &&
           f.out(v, rows, cols);
}

bool value_error(const Frame &f, const char *fmt, long long a, long long b) {
    char msg[200];
    PyOS_snprintf(msg, sizeof msg, fmt, a, b);
    PyErr_Format(PyExc_ValueError, "%s(): %s", f.name(), msg);
    return false;
}

// offsets: offsets[0] = 0, non-decreasing, offsets[G] <= N. Sets G and the
// longest series.
bool check_offsets(const Frame &f, const View &off, int64_t N, int64_t *G, int64_t *longest) {
    if (off.len() < 1)
        return value_error(f, "offsets has length %lld but at least %lld is needed", off.len(), 1);
    const int64_t *o = off.idata();
    if (o[0] != 0) return value_error(f, "offsets[0] is %lld, not %lld", o[0], 0);
    *G = off.len() - 1;
    *longest = 0;
    for (int64_t g = 0; g < *G; ++g) {
        if (o[g + 1] < o[g])
            return value_error(f, "offsets decrease at %lld (to %lld)", g + 1, o[g + 1]);
        const int64_t n = o[g + 1] - o[g];  // both >= 0: no overflow
        *longest = n > *longest ? n : *longest;
    }
    if (o[*G] > N) return value_error(f, "offsets end at %lld but y has %lld elements", o[*G], N);
    return true;
}

// The rest of the arguments against the series that offsets describe.
bool check_rest(const Frame &f, const View &X, const View &t_break, const View &hac_lags, int64_t N,
                int64_t G, int64_t longest, int64_t const_col, int64_t tests, bool shared,
                int64_t allowed = KVR_BAT_ALL) {
    if (shared && X.rows() < longest)
        return value_error(f, "X has %lld rows but the longest series has %lld", X.rows(), longest);
    if (!shared && X.rows() != N)
        return value_error(f, "X has %lld rows but y has %lld elements", X.rows(), N);
    if (t_break.len() != G)
        return value_error(f, "t_break has length %lld but there are %lld series", t_break.len(),
                           G);
    if (hac_lags.len() != G)
        return value_error(f, "hac_lags has length %lld but there are %lld series", hac_lags.len(),
                           G);
    if (const_col >= X.cols())
        return value_error(f, "const_col is %lld but X has %lld columns", const_col, X.cols());
    if ((tests & ~allowed) != 0)
        return value_error(f, "tests is %lld, with bits outside %lld", tests,
                           static_cast<long long>(allowed));
    return true;
}

const char *const battery_params[] = {"y",       "X",        "offsets", "const_col", "lags",
                                      "t_break", "hac_lags", "tests",   "shared_x",  nullptr};
enum { kY, kX, kOffsets, kConstCol, kLags, kTBreak, kHacLags, kTests, kSharedX };

PyObject *battery(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Frame f(self, "battery", battery_params, args, nargs, kwnames);
    int64_t const_col, lags, tests, shared, G, longest;
    View y, X, offsets, t_break, hac_lags, out, beta, se, arena;
    if (!f.ok() || !f.int64(kConstCol, &const_col) || !f.int64(kLags, &lags) ||
        !f.int64(kTests, &tests) || !f.int64(kSharedX, &shared) || !f.in(kY, y, 1) ||
        !f.in(kX, X, 2) || !f.in_int64_copy(kOffsets, offsets) ||
        !f.in_int64_copy(kTBreak, t_break) || !f.in_int64_copy(kHacLags, hac_lags))
        return f.fail(__LINE__);
    // offsets, t_break and hac_lags are private copies: the loop below reads
    // them without the GIL, so what it reads is what was checked.
    const int64_t N = y.len(), k = X.cols();
    if (!check_offsets(f, offsets, N, &G, &longest) ||
        !check_rest(f, X, t_break, hac_lags, N, G, longest, const_col, tests, shared != 0))
        return f.fail(__LINE__);
    // one arena for the longest series, its size checked before anything is allocated
    const kvr_arena_size_t need = kvr_battery_arena_size(longest, k, lags);
    int64_t unused;
    if (!pyframe::size_value(kvr::arena_len(need), &unused) ||
        !out_2d(f, out, G, KVR_BAT_NFIELDS) || !out_2d(f, beta, G, k) || !out_2d(f, se, G, k) ||
        !f.arena(arena, need))
        return f.fail(__LINE__);

    const int64_t *o = offsets.idata(), *tb = t_break.idata(), *hl = hac_lags.idata();
    Frame::nogil([&] {
        for (int64_t g = 0; g < G; ++g) {
            const int64_t first = o[g];
            const double *Xg = shared ? X.data() : X.data() + first * k;
            kvr_battery(y.data() + first, Xg, o[g + 1] - first, k, const_col, lags, tb[g], hl[g],
                        tests, arena.data_or_null(), out.data() + g * KVR_BAT_NFIELDS,
                        beta.data() + g * k, se.data() + g * k);
        }
    });
    return f.check(pyframe::tuple(out, beta, se), __LINE__);
}

const char *const checks_params[] = {"y",        "X",       "offsets",  "const_col",
                                     "lags",     "t_break", "hac_lags", "tests",
                                     "shared_x", "options", "choice",   nullptr};
enum { kOptions = kSharedX + 1, kChecksChoice };

// The model checks' options, checked where their test runs.
bool check_options(const Frame &f, const View &opt, int64_t tests) {
    if (opt.len() != kvr::mc::kNOpts)
        return value_error(f, "options has length %lld, not %lld", opt.len(), kvr::mc::kNOpts);
    const double *o = opt.data();
    bool good = true;
    for (int64_t i = 0; i < kvr::mc::kNOpts; ++i) good &= std::isfinite(o[i]);
    const double power = o[kvr::mc::kResetPower], split = o[kvr::mc::kGqSplit];
    if (tests & KVR_BAT_RESET)
        good &= power >= 2 && power <= kvr::mc::kResetPowerMax && power == std::floor(power);
    if (tests & KVR_BAT_GQ)
        good &= ((split > 0 && split < 1) ||
                 (split >= 1 && split == std::floor(split) && split < 9e15)) &&
                o[kvr::mc::kGqDrop] >= 0 && o[kvr::mc::kGqDrop] < 1;
    if (tests & KVR_BAT_RAINBOW)
        good &= o[kvr::mc::kRainbowFraction] > 0 && o[kvr::mc::kRainbowFraction] <= 1;
    if (!good) {
        PyErr_Format(PyExc_ValueError, "%s(): an option of the model checks is out of range",
                     f.name());
        return false;
    }
    return true;
}

// battery() with the model checks: one more argument, their options.
PyObject *battery_checks(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) {
    Frame f(self, "battery_checks", checks_params, args, nargs, kwnames);
    int64_t const_col, lags, tests, shared, G, longest;
    View y, X, offsets, t_break, hac_lags, opt, choice, out, beta, se, cov, bw, arena;
    if (!f.ok() || !f.int64(kConstCol, &const_col) || !f.int64(kLags, &lags) ||
        !f.int64(kTests, &tests) || !f.int64(kSharedX, &shared) || !f.in(kY, y, 1) ||
        !f.in(kX, X, 2) || !f.in_int64_copy(kOffsets, offsets) ||
        !f.in_int64_copy(kTBreak, t_break) || !f.in_int64_copy(kHacLags, hac_lags) ||
        !f.in(kOptions, opt, 1) || !f.in_int64_copy(kChecksChoice, choice))
        return f.fail(__LINE__);
    const int64_t N = y.len(), k = X.cols();
    // shared_x 2: each series on its own rows, and y and X are this call's to
    // scale in place (the caller's private copies; put back before it returns)
    if (shared < 0 || shared > 2) {
        value_error(f, "shared_x is %lld, not 0, 1 or %lld", shared, 2);
        return f.fail(__LINE__);
    }
    const bool in_place = shared == 2;
    shared = shared == 1;
    if (!check_offsets(f, offsets, N, &G, &longest) ||
        !check_rest(f, X, t_break, hac_lags, N, G, longest, const_col, tests, shared != 0) ||
        !check_options(f, opt, tests))
        return f.fail(__LINE__);
    kvr_cov_choice c{};
    const bool with_cov = choice.len() != 0;
    if (with_cov) {
        if (choice.len() != 6 &&
            !value_error(f, "choice has length %lld, not 0 or %lld", choice.len(), 6))
            return f.fail(__LINE__);
        const int64_t *ch = choice.idata();
        c.type = ch[0], c.kernel = ch[1], c.rule = ch[2], c.lags = ch[3], c.prewhite = ch[4],
        c.adjust = ch[5];
        if (kvr_cov_choice_check(&c) != DIAG_OK &&
            !value_error(f, "choice is out of range (type %lld, rule %lld)", c.type, c.rule))
            return f.fail(__LINE__);
    }
    // the design's work is held only for series that share it
    const bool keep = shared && G > 1;
    const kvr_arena_size_t need =
        kvr_battery_checks_arena_size(longest, k, lags, tests, with_cov ? 1 : 0, keep ? 1 : 0);
    int64_t unused, kk;
    if (!pyframe::size_value(kvr::arena_len(need), &unused) ||
        !pyframe::size_value(Size(k) * k, &kk) || !out_2d(f, out, G, KVR_BAT_NFIELDS) ||
        !out_2d(f, beta, G, k) || !out_2d(f, se, G, k) ||
        (with_cov && (!out_2d(f, cov, G, kk) || !out_2d(f, bw, G, 2))) || !f.arena(arena, need))
        return f.fail(__LINE__);

    const int64_t *o = offsets.idata(), *tb = t_break.idata(), *hl = hac_lags.idata();
    // a private copy of the options, read without the GIL
    double options[kvr::mc::kNOpts];
    for (int64_t i = 0; i < kvr::mc::kNOpts; ++i) options[i] = opt.data()[i];
    Frame::nogil([&] {
        for (int64_t g = 0; g < G; ++g) {
            const int64_t first = o[g];
            const double *Xg = shared ? X.data() : X.data() + first * k;
            kvr_battery_checks(y.data() + first, Xg, o[g + 1] - first, k, const_col, lags, tb[g],
                               hl[g], tests, options, keep ? (g > 0 ? 3 : 2) : (in_place ? 4 : 0),
                               with_cov ? &c : nullptr, arena.data_or_null(),
                               out.data() + g * KVR_BAT_NFIELDS, beta.data() + g * k,
                               se.data() + g * k, with_cov ? cov.data() + g * kk : nullptr,
                               with_cov ? bw.data() + g * 2 : nullptr);
        }
    });
    if (!with_cov) return f.check(pyframe::tuple(out, beta, se), __LINE__);
    return f.check(pyframe::tuple(out, beta, se, cov, bw), __LINE__);
}

const char *const design_params[] = {"y", "X", "add_constant", nullptr};

// One regression's y and design as the battery takes them (diagnose's
// common case), or the status that sends the caller to its checks.
PyObject *design(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Frame f(self, "design", design_params, args, nargs, kwnames);
    int64_t add, const_col;
    View y, X, y_out, Z;
    if (!f.ok() || !f.int64(2, &add) || !f.in(0, y, 1) || !f.in(1, X, 2)) return f.fail(__LINE__);
    const int64_t n = y.len(), k = X.cols();
    if (X.rows() != n && !value_error(f, "X has %lld rows but y has %lld elements", X.rows(), n))
        return f.fail(__LINE__);
    const int64_t status = kvr_design_scan(y.data(), X.data(), n, k, &const_col);
    if (status != KVR_DESIGN_OK) {
        Py_INCREF(Py_None);
        Py_INCREF(Py_None);
        return f.check(pyframe::tuple(status, const_col, Py_None, Py_None), __LINE__);
    }
    const int64_t lead = const_col < 0 && add != 0 ? 1 : 0;
    if (!f.out(y_out, n) || !out_2d(f, Z, n, k + lead)) return f.fail(__LINE__);
    kvr_design_copy(y.data(), X.data(), n, k, lead, y_out.data_or_null(n), Z.data_or_null());
    return f.check(pyframe::tuple(status, const_col, y_out, Z), __LINE__);
}

const char *const one_params[] = {"y",        "X",     "add_constant", "lags", "t_break",
                                  "hac_lags", "tests", "options",      nullptr};

// diagnose's common case in one call: design(), then battery_checks() on the
// design's own copies (scaled in place, put back). Both copies are made with
// the lock held: the battery, without it, reads only them.
PyObject *battery_one(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Frame f(self, "battery_one", one_params, args, nargs, kwnames);
    int64_t add, lags, t_break, hac_lags, tests, found;
    View y, X, opt, y_out, Z, out, beta, se, arena;
    if (!f.ok() || !f.int64(2, &add) || !f.int64(3, &lags) || !f.int64(4, &t_break) ||
        !f.int64(5, &hac_lags) || !f.int64(6, &tests) || !f.in(0, y, 1) || !f.in(1, X, 2) ||
        !f.in(7, opt, 1) || !check_options(f, opt, tests))
        return f.fail(__LINE__);
    const int64_t n = y.len(), k = X.cols();
    if ((X.rows() != n &&
         !value_error(f, "X has %lld rows but y has %lld elements", X.rows(), n)) ||
        ((tests & ~KVR_BAT_ALL) != 0 &&
         !value_error(f, "tests is %lld, with bits outside %lld", tests, KVR_BAT_ALL)))
        return f.fail(__LINE__);
    const int64_t status = kvr_design_scan(y.data(), X.data(), n, k, &found);
    if (status != KVR_DESIGN_OK) {
        PyObject *none[] = {Py_None, Py_None, Py_None, Py_None, Py_None};
        for (PyObject *o : none) Py_INCREF(o);
        return f.check(pyframe::tuple(status, found, none[0], none[1], none[2], none[3], none[4]),
                       __LINE__);
    }
    const int64_t lead = found < 0 && add != 0 ? 1 : 0, kz = k + lead;
    const int64_t const_col = lead ? 0 : found;
    const kvr_arena_size_t need = kvr_battery_checks_arena_size(n, kz, lags, tests, 0, 0);
    int64_t unused;
    if (!pyframe::size_value(kvr::arena_len(need), &unused) || !f.out(y_out, n) ||
        !out_2d(f, Z, n, kz) || !out_2d(f, out, 1, KVR_BAT_NFIELDS) || !out_2d(f, beta, 1, kz) ||
        !out_2d(f, se, 1, kz) || !f.arena(arena, need))
        return f.fail(__LINE__);
    kvr_design_copy(y.data(), X.data(), n, k, lead, y_out.data_or_null(n), Z.data_or_null());
    double options[kvr::mc::kNOpts];
    for (int64_t i = 0; i < kvr::mc::kNOpts; ++i) options[i] = opt.data()[i];
    Frame::nogil([&] {
        kvr_battery_checks(y_out.data_or_null(n), Z.data_or_null(), n, kz, const_col, lags, t_break,
                           hac_lags, tests, options, 4, nullptr, arena.data_or_null(), out.data(),
                           beta.data(), se.data(), nullptr, nullptr);
    });
    return f.check(pyframe::tuple(status, const_col, y_out, Z, out, beta, se), __LINE__);
}

// A read-only 1-D float64 buffer of any stride (a frame's column, a column
// of a 2-D array), released on every path.
class Column {
  public:
    Column() = default;
    Column(const Column &) = delete;
    Column &operator=(const Column &) = delete;
    ~Column() {
        if (held_) PyBuffer_Release(&b_);
    }
    bool bind(PyObject *o, const char *what, Py_ssize_t j = -1) {
        if (PyObject_GetBuffer(o, &b_, PyBUF_STRIDED_RO | PyBUF_FORMAT) < 0) return false;
        held_ = true;
        const char *fmt = b_.format ? b_.format : "B";
        const bool little = PY_LITTLE_ENDIAN != 0;
        if (*fmt == '@' || *fmt == '=' || (*fmt == (little ? '<' : '>'))) ++fmt;
        if (b_.ndim == 1 && b_.itemsize == 8 && std::strcmp(fmt, "d") == 0) return true;
        if (j < 0)
            PyErr_Format(PyExc_ValueError, "gather(): %s must be a 1-D float64 array", what);
        else
            PyErr_Format(PyExc_ValueError, "gather(): %s[%zd] must be a 1-D float64 array", what,
                         j);
        return false;
    }
    int64_t len() const { return static_cast<int64_t>(b_.shape[0]); }
    double at(int64_t i) const {
        double v;
        std::memcpy(&v, static_cast<const char *>(b_.buf) + i * b_.strides[0], sizeof v);
        return v;
    }

  private:
    Py_buffer b_{};
    bool held_ = false;
};

const char *const gather_params[] = {"y_out", "X_out", "at", "y",    "cols",
                                     "order", "a",     "b",  "lead", nullptr};

// Rows a:b of a long frame's columns (through order, or as they stand) into
// a batch's buffers from row at: y, and the design after a column of ones
// when lead is 1 (X_out None: y alone). The columns are the caller's: read
// in one pass with the lock held.
PyObject *gather(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Frame f(self, "gather", gather_params, args, nargs, kwnames);
    int64_t at, a, b, lead;
    View y_out, X_out, order;
    if (!f.ok() || !f.int64(2, &at) || !f.int64(6, &a) || !f.int64(7, &b) || !f.int64(8, &lead))
        return f.fail(__LINE__);
    const bool with_x = f.arg(1) != Py_None, with_order = f.arg(5) != Py_None;
    Py_INCREF(f.arg(0));
    if (!y_out.bind(f.arg(0), 1)) return f.fail(__LINE__);
    if (with_x) Py_INCREF(f.arg(1));
    if (with_x && !X_out.bind(f.arg(1), 2)) return f.fail(__LINE__);
    if (with_order) Py_INCREF(f.arg(5));
    if (with_order && !order.bind(f.arg(5), 1, pyframe::Elem::i64)) return f.fail(__LINE__);
    Column ys;
    if (!ys.bind(f.arg(3), "y")) return f.fail(__LINE__);
    if (!PyTuple_Check(f.arg(4)) && !PyList_Check(f.arg(4))) {
        PyErr_SetString(PyExc_TypeError, "gather(): cols must be a tuple or a list");
        return f.fail(__LINE__);
    }
    // a tuple of its own: binding a column runs Python code, which may change a list
    pyframe::Ref items(PySequence_Tuple(f.arg(4)));
    if (!items) return f.fail(__LINE__);
    PyObject *seq = items.get();
    const Py_ssize_t m = PyTuple_GET_SIZE(seq);
    std::unique_ptr<Column[]> cols(new (std::nothrow) Column[m > 0 ? m : 1]);
    if (!cols) return PyErr_NoMemory();
    int64_t src = ys.len();  // rows every column has
    for (Py_ssize_t j = 0; j < m; ++j) {
        if (!cols[j].bind(PyTuple_GET_ITEM(seq, j), "cols", j)) return f.fail(__LINE__);
        src = std::min(src, cols[j].len());
    }
    const int64_t n = b - a, kz = lead + m;
    if ((lead != 0 && lead != 1 && !value_error(f, "lead is %lld, not 0 or %lld", lead, 1)) ||
        (!(0 <= a && a <= b) && !value_error(f, "rows %lld:%lld are not a range", a, b)) ||
        ((at < 0 || y_out.len() - at < n) &&
         !value_error(f, "y_out has %lld rows, too few for %lld from row at", y_out.len(), n)) ||
        (with_x && (X_out.rows() - at < n || X_out.cols() != kz) &&
         !value_error(f, "X_out has the wrong shape for %lld more rows of %lld columns", n, kz)) ||
        (b > (with_order ? order.len() : src) &&
         !value_error(f, "rows end at %lld but the columns have %lld", b,
                      with_order ? order.len() : src)))
        return f.fail(__LINE__);
    const int64_t *ord = with_order ? order.idata() : nullptr;
    for (int64_t i = a; ord && i < b; ++i)
        if ((ord[i] < 0 || ord[i] >= src) &&
            !value_error(f, "order holds %lld, outside the columns' %lld rows", ord[i], src))
            return f.fail(__LINE__);
    double *yo = y_out.data_or_null(n);
    double *Xo = with_x ? X_out.data_or_null() : nullptr;
    for (int64_t i = 0; i < n; ++i) {
        const int64_t r = ord ? ord[a + i] : a + i;
        yo[at + i] = ys.at(r);
        if (!Xo) continue;
        double *z = Xo + (at + i) * kz;
        if (lead) z[0] = 1.0;
        for (Py_ssize_t j = 0; j < m; ++j) z[lead + j] = cols[j].at(r);
    }
    Py_RETURN_NONE;
}

const char *const group_keys_params[] = {"keys", "lo", "span", nullptr};

// A long frame's rows grouped by an integer key in [lo, lo + span): a
// counting sort over a table of span entries, in place of hashing the keys
// and sorting the rows by their codes.
PyObject *group_keys(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Frame f(self, "group_keys", group_keys_params, args, nargs, kwnames);
    View keys, count, uniques, offsets, order;
    int64_t lo, span, G = -1;
    if (!f.ok() || !f.int64(1, &lo) || !f.int64(2, &span) || !f.in_int64_copy(0, keys))
        return f.fail(__LINE__);
    if (span < 1 && !value_error(f, "span is %lld but at least %lld is needed", span, 1))
        return f.fail(__LINE__);
    const int64_t n = keys.len();
    if (!f.out_int64(count, span)) return f.fail(__LINE__);
    Frame::nogil([&] {
        std::fill(count.idata(), count.idata() + span, int64_t{0});
        G = kvr_key_count(keys.idata(), n, lo, span, count.idata());
    });
    if (G < 0 && !value_error(f, "a key is outside [lo, lo + span) = [%lld, +%lld)", lo, span))
        return f.fail(__LINE__);
    if (!f.out_int64(uniques, G) || !f.out_int64(offsets, G + 1) || !f.out_int64(order, n))
        return f.fail(__LINE__);
    Frame::nogil([&] {
        kvr_key_groups(keys.idata(), n, lo, span, count.idata(), uniques.idata(), offsets.idata(),
                       order.idata());
    });
    return f.check(pyframe::tuple(uniques, offsets, order), __LINE__);
}

PyMethodDef kFunctions[] = {
    {"battery", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(battery)),
     METH_FASTCALL | METH_KEYWORDS,
     "battery($module, y, X, offsets, const_col, lags, t_break, hac_lags, tests, shared_x)\n"
     "--\n\n"
     "The residual battery of every series. Returns (out(G, NFIELDS), beta(G, k), se(G, k)).\n"
     "\n"
     "    Series g is y[offsets[g]:offsets[g+1]] on the same rows of X, or on the\n"
     "    first rows of X when shared_x is true. Row g of out holds the fields named\n"
     "    in FIELDS (statuses as floats); beta and se are in the units of the data.\n"
     "    t_break and hac_lags have one entry per series; tests is a sum of the test\n"
     "    bits (ALL for every test; the model checks' bits, CHECKS, are ignored here).\n"
     "    "},
    {"battery_checks",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(battery_checks)),
     METH_FASTCALL | METH_KEYWORDS,
     "battery_checks($module, y, X, offsets, const_col, lags, t_break, hac_lags, tests, "
     "shared_x, options, choice)\n"
     "--\n\n"
     "battery() with the model checks among the tests (bits WHITE .. DW).\n"
     "\n"
     "    options: reset_power, white_cross, gq_split, gq_drop, rainbow_fraction\n"
     "    (floats). With shared_x 1 the design's work is done once per call; with 2\n"
     "    each series has its own rows, as with 0, and y and X are scaled in place\n"
     "    while the call runs (exactly undone before it returns; only for arrays that\n"
     "    nothing else reads meanwhile), which saves their copies in the scratch.\n"
     "    choice: empty (the battery's own Bartlett HAC; returns out, beta, se), or\n"
     "    the covariance in its place, returning (out, beta, se, cov(G, k*k), bw(G, 2)):\n"
     "    six integers: type (0 HAC, 1..7 HC0, HC1, HC2, HC3, HC4, HC4m, HC5), kernel\n"
     "    (0 Bartlett, 1 Parzen, 2 quadratic spectral), rule (0 lags, 1 nw1994,\n"
     "    2 andrews, 3 llsw), lags (rule 0; negative: hac_lags), prewhite and adjust\n"
     "    (0 or 1). se, the HAC Wald test and cov (row-major, units of the data) come\n"
     "    from that covariance; bw holds its bandwidth b (lag j weighs k(j / b)) and\n"
     "    the rule's own value, NaN where there is none.\n"
     "    "},
    {"battery_one", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(battery_one)),
     METH_FASTCALL | METH_KEYWORDS,
     "battery_one($module, y, X, add_constant, lags, t_break, hac_lags, tests, options)\n"
     "--\n\n"
     "design() and battery_checks() of one series in one call:\n"
     "(status, const_col, y, Z, out(1, NFIELDS), beta(1, k), se(1, k)).\n"
     "\n"
     "    y, Z and status as design() gives them (status 1 or 2: None for the four\n"
     "    arrays); const_col is Z's constant column (-1: none). The battery runs on Z\n"
     "    with t_break and hac_lags as integers.\n"
     "    "},
    {"design", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(design)),
     METH_FASTCALL | METH_KEYWORDS,
     "design($module, y, X, add_constant)\n"
     "--\n\n"
     "One regression's data as the battery takes them: (status, const_col, y, Z).\n"
     "\n"
     "    status 0: y copied, Z the design (row-major), after a column of ones when\n"
     "    add_constant and no column of X holds one non-zero value throughout;\n"
     "    const_col is the column of X holding one (-1: none). Status 1 (a value is not\n"
     "    finite) or 2 (a column of X equals y) returns None for y and Z.\n"
     "    "},
    {"gather", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(gather)),
     METH_FASTCALL | METH_KEYWORDS,
     "gather($module, y_out, X_out, at, y, cols, order, a, b, lead)\n"
     "--\n\n"
     "Rows a:b of columns into a batch's buffers, from row at. Returns None.\n"
     "\n"
     "    y_out[at + i] = y[r] and, unless X_out is None, X_out[at + i] = (1 when lead,\n"
     "    cols[0][r], cols[1][r], ...), where r is order[a + i] (an int64 array), or\n"
     "    a + i when order is None. y and cols are 1-D float64 arrays of any stride;\n"
     "    y_out and X_out C-contiguous float64, written in place.\n"
     "    "},
    {"group_keys", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(group_keys)),
     METH_FASTCALL | METH_KEYWORDS,
     "group_keys($module, keys, lo, span)\n"
     "--\n\n"
     "Rows grouped by an integer key: (uniques, offsets, order), all int64.\n"
     "\n"
     "    keys (n) lie in [lo, lo + span); uniques are the distinct keys in\n"
     "    increasing order, offsets (G + 1) where each one's rows start in order, and\n"
     "    order the rows of the least key, then the next, ..., each key's rows in\n"
     "    their order (a counting sort over a table of span entries).\n"
     "    "},
    {"finish_plan",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(kvr_finish::finish_plan)),
     METH_FASTCALL | METH_KEYWORDS, kvr_finish::kPlanDoc},
    {"finish_one",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(kvr_finish::finish_one)),
     METH_FASTCALL | METH_KEYWORDS, kvr_finish::kOneDoc},
    {nullptr, nullptr, 0, nullptr},
};

// FIELDS, in record order.
const struct {
    int index;
    const char *name;
} kFields[] = {
    {KVR_BAT_FIT_STATUS, "fit_status"},
    {KVR_BAT_N, "n"},
    {KVR_BAT_K, "k"},
    {KVR_BAT_COND, "cond"},
    {KVR_BAT_RSS, "rss"},
    {KVR_BAT_TSS, "tss"},
    {KVR_BAT_R2, "r2"},
#define KVR_BAT_X(NAME, name, resid) \
    {KVR_BAT_##NAME##_STATUS, #name "_status"}, {KVR_BAT_##NAME##_STAT, #name "_stat"},
    KVR_BAT_TESTS(KVR_BAT_X)
#undef KVR_BAT_X
        {KVR_BAT_BPK_STAT, "bpk_stat"},
    {KVR_BAT_M, "m"},
    {KVR_BAT_HAC_DF, "hac_df"},
    {KVR_BAT_HAC_LAGS, "hac_lags"},
    {KVR_BAT_DIGITS, "digits"},
    {KVR_BAT_WHITE_DF, "white_df"},
    {KVR_BAT_RESET_DF1, "reset_df1"},
    {KVR_BAT_RESET_DF2, "reset_df2"},
    {KVR_BAT_GQ_DF1, "gq_df1"},
    {KVR_BAT_GQ_DF2, "gq_df2"},
    {KVR_BAT_HC_DF, "hc_df"},
    {KVR_BAT_RAINBOW_DF1, "rainbow_df1"},
    {KVR_BAT_RAINBOW_DF2, "rainbow_df2"},
    {KVR_BAT_DW_LOW, "dw_low"},
    {KVR_BAT_DW_HIGH, "dw_high"},
};
static_assert(sizeof kFields / sizeof kFields[0] == KVR_BAT_NFIELDS, "one name per field");

const struct {
    const char *name;
    long value;
} kTestBits[] = {
#define KVR_BAT_X(NAME, name, resid) {#NAME, KVR_BAT_##NAME},
    KVR_BAT_TESTS(KVR_BAT_X)
#undef KVR_BAT_X
        {"ALL", KVR_BAT_ALL},
    {"CHECKS", KVR_BAT_CHECKS},  // run by battery_checks() only
};

int set(PyObject *dict, const char *name, PyObject *value) {
    pyframe::Ref v(value);
    return v ? PyDict_SetItemString(dict, name, v.get()) : -1;
}

PyObject *batch_create(PyObject *spec, PyModuleDef *) { return pyframe::create_module(spec); }

int batch_exec(PyObject *module) {
    const int begun =
        pyframe::exec_begin(module, {kFullName, "_batch", "Kalvoren/_ckernels/diag/_batch.cpp"});
    if (begun != 0) return begun < 0 ? -1 : 0;
    PyObject *dict = PyModule_GetDict(module);
    pyframe::Ref fields(PyTuple_New(KVR_BAT_NFIELDS));
    if (!fields) return -1;
    for (int i = 0; i < KVR_BAT_NFIELDS; ++i) {
        if (kFields[i].index != i) {
            PyErr_SetString(PyExc_SystemError, "field names out of record order");
            return -1;
        }
        PyObject *name = PyUnicode_InternFromString(kFields[i].name);
        if (!name) return -1;
        PyTuple_SET_ITEM(fields.get(), i, name);
    }
    if (set(dict, "NFIELDS", PyLong_FromLong(KVR_BAT_NFIELDS)) < 0 ||
        PyDict_SetItemString(dict, "FIELDS", fields.get()) < 0)
        return -1;
    for (const auto &bit : kTestBits)
        if (set(dict, bit.name, PyLong_FromLong(bit.value)) < 0) return -1;
    if (set(dict, "COND_MAX", PyFloat_FromDouble(KVR_BAT_COND_MAX)) < 0) return -1;
    return pyframe::exec_end(module, kFunctions);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_create, reinterpret_cast<void *>(batch_create)},
    {Py_mod_exec, reinterpret_cast<void *>(batch_exec)},
    {0, nullptr},
};

const char kModuleDoc[] =
    "The residual battery of many regressions in one native call.\n"
    "\n"
    "Each series is equilibrated by powers of two, fitted by Householder QR and\n"
    "tested by the same kernels as the ``_diag`` functions, with the interpreter\n"
    "lock released once for the whole call. A fit status of ``DIAG_FALLBACK``\n"
    "means the equilibrated design was rank-deficient or worse conditioned than\n"
    "``COND_MAX``: the caller takes its least-squares route for that series.";

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "_batch", kModuleDoc, 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__batch(void) { return PyModuleDef_Init(&kModuleDef); }
