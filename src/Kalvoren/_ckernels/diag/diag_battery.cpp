// The residual battery of one regression. The design and the response are
// equilibrated by exact powers of two, fitted by Householder QR, and every
// test then runs through its own kernel on the scaled copies, so a battery
// agrees with the single-test functions and does not depend on the units of
// the data.
#include <cmath>
#include <cstring>
#include <limits>

#include "diag_battery.h"

#include "diag.h"
#include "diag_guard.hpp"
#include "diag_modelcheck.hpp"
#include "diag_regression_detail.hpp"
#include "diag_robust.hpp"
#include "diag_stability_detail.hpp"
#include "kvr_range.hpp"
#include "kvr_simd.hpp"
#include "kvr_size.hpp"
#include "kvr_vec.hpp"

namespace {

using kvr::Checked;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();

static_assert(sizeof(int64_t) == sizeof(double) && alignof(int64_t) <= alignof(double),
              "pivots are carved from the double arena");

Checked max_of(Checked a, Checked b) {
    Checked r(a.v > b.v ? a.v : b.v);
    r.ok = a.ok && b.ok;
    return r;
}

// The header of the design's work: what it was made for, the fit's outcome
// and which tests' parts are ready.
enum {
    kHValid,  // 1 once the fields below describe the arrays
    kHN,      // n, k, const_col, lags, tests of the design
    kHK,
    kHCC,
    kHLags,
    kHTests,
    kHStatus,  // the design's own fit status (0, or why every series fails)
    kHCond,    // cond of the equilibrated R
    kHHq,      // 1: the rows of X R^-1 are ready
    kHChow,    // t_break + 1 of the Chow designs ready, or 0
    kHBp,      // 1: Breusch-Pagan's design is ready
    kHCusum,   // 1: the recursion's tape is ready
    kHBg,      // 1: Breusch-Godfrey's design columns and their cross products are ready
    kHR00,     // R[0][0] when the constant column comes first (Fac::c0)
    kHeadLen = 16
};

// The arena, in doubles: the header of the design's work (kHeadLen), the
// persistent arrays, then one scratch area that the fit and each test use in
// turn.
//   xs  n*k   equilibrated design        ys  n   equilibrated response
//   e   n     residuals (scaled units)   ex  k+1 exponents: c_j = 2^-ex[j], c_y = 2^-ex[k]
//   bs  k     coefficients (scaled)      ri  k*k R^-1 (upper triangle)
//   qc  2k    Q'y, then column const_col of R (for the HAC Wald test)
//   hv  2k    the reflectors' leading entries and scales
//   dc  3(2k*k + 2)  the Chow fits' G, L, rcond and ok
//   db  2p*p + 2     Breusch-Pagan's (p = k + 1): G, L, rcond, ok
//   dd  p*p   the cross products of Breusch-Godfrey's design columns
// then, only when the design's work is held for later series (a batch with
// one design; its header says for which design it was made):
//   ax  n*k   X's Householder vectors and R, column-major
//   hq  2n*k  the rows of X R^-1 (row-major, then column-major)
//   bo  n*p   Breusch-Pagan's design with a constant
//   tp  the CUSUM recursion's tape (kvr_cusum_tape_len)
//   dz  n*p   Breusch-Godfrey's design columns [1, X without its constant]
//       (column-major, p <= k + 1)
// Otherwise the fit and each test form their part in the scratch area, and
// the arena is no larger than a battery without reuse needs.
struct Layout {
    int64_t xs, ys, e, ex, bs, ri, qc, hv, dc, db, dd, ax, hq, bo, tp, dz, scratch;
    Checked total{0};
};

// Scratch needs of the fit and of the HAC step, beside the other kernels' arenas.
Checked qr_len(Checked n, Checked k) { return (n + 2) * (k + 1); }
Checked hac_len(Checked n, Checked k) { return n * k + 7 * (k * k) + 5 * k; }
// breusch_godfrey's: pointers (m + 1), G and L, g and beta, the inner
// products (m + 1), a block of fitted values; m = k + 1 + lags at most.
constexpr int64_t kBgBlock = 512;
Checked bg_len(int64_t n, Checked k, int64_t lags) {
    const Checked m = k + 1 + lags;
    return Checked(n < kBgBlock ? n : kBgBlock) + 2 * (m * m) + 4 * m + 2;
}

Layout layout(int64_t n, int64_t k, int64_t lags, bool held) {
    n = kvr::size_arg(n);
    k = kvr::size_arg(k);
    const Checked N(n), K(k);
    Layout l;
    l.xs = kHeadLen;
    const Checked P = K + 1;
    const Checked ys = Checked(kHeadLen) + N * K, e = ys + N, ex = e + N, bs = ex + K + 1,
                  ri = bs + K, qc = ri + K * K, hv = qc + 2 * K, dc = hv + 2 * K,
                  db = dc + 3 * (2 * (K * K) + 2), dd = db + 2 * (P * P) + 2, ax = dd + P * P;
    Checked scratch = ax, hq = ax, bo = ax, tp = ax, dz = ax;
    if (held) {
        hq = ax + N * K, bo = hq + 2 * (N * K), tp = bo + N * P,
        dz = tp + 2 + 3 * (K * K) + K + N * (3 * K + 3), scratch = dz + N * P;
    }
    Checked need = qr_len(N, K);  // also the QR of X and Q'y without the work held
    need = max_of(need, N * K + kvr::arena_len(kvr_bg_arena_size(n, k, lags)));
    const kvr_arena_size_t bp =  // design with a constant prepended: k + 1 columns
        k < INT64_MAX ? kvr_bp_arena_size(n, k + 1) : kvr_arena_size_t{INT64_MAX, 0};
    need = max_of(need, N * (K + 1) + kvr::arena_len(bp));
    need = max_of(need, kvr::arena_len(kvr_chow_arena_size(k)));
    need = max_of(need, kvr::arena_len(kvr_cusum_arena_size(n, k)));
    need = max_of(need, kvr::arena_len(kvr_cusumsq_arena_size(n, k)));
    need = max_of(need, kvr::arena_len(kvr_lb_arena_size(n, lags)));
    need = max_of(need, hac_len(N, K));
    // Breusch-Godfrey's, after its design columns when they are not held
    if (lags >= 0 && lags < n)
        need = max_of(need, (held ? Checked(0) : N * P) + bg_len(n, K, lags));
    l.ys = ys.v, l.e = e.v, l.ex = ex.v, l.bs = bs.v, l.ri = ri.v, l.qc = qc.v, l.hv = hv.v;
    l.dc = dc.v, l.db = db.v, l.dd = dd.v, l.ax = ax.v, l.hq = hq.v, l.bo = bo.v, l.tp = tp.v,
    l.dz = dz.v;
    l.scratch = scratch.v;
    l.total = scratch + need;
    return l;
}

// ------------------------------------------------------------ equilibration

// Multiplication by 2^p as one or two exact steps: the two-step form covers
// the factors beyond the normal range (columns of subnormal or huge values).
struct Pow2 {
    double a, b;
    static double bits(int p) {  // 2^p for -1022 <= p <= 1023
        const uint64_t u = static_cast<uint64_t>(p + 1023) << 52;
        double d;
        std::memcpy(&d, &u, sizeof d);
        return d;
    }
    explicit Pow2(int p) {
        if (p >= -1022 && p <= 1023) {
            a = bits(p), b = 1.0;
        } else {
            a = bits(p / 2), b = bits(p - p / 2);
        }
    }
    KVR_INLINE double operator()(double x) const { return (x * a) * b; }
};

// The exponent e with c = 2^-e of one column (n values, stride ld): ilogb of
// its root mean square, formed on the column pre-scaled by the power of two
// of its largest magnitude, so that no square overflows and scaling the
// column by 2^p shifts e by exactly p. A zero column keeps c = 1. False for a
// non-finite value.
KVR_INLINE bool exponent(const double *x, int64_t ld, int64_t n, double *e) {
    double m[4] = {0.0, 0.0, 0.0, 0.0};
    bool finite = true;
    int64_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (int r = 0; r < 4; ++r) {
            const double a = std::fabs(x[(i + r) * ld]);
            finite &= a <= kMax;
            m[r] = a > m[r] ? a : m[r];
        }
    for (; i < n; ++i) {
        const double a = std::fabs(x[i * ld]);
        finite &= a <= kMax;
        m[0] = a > m[0] ? a : m[0];
    }
    if (!finite) return false;
    const double mx = std::fmax(std::fmax(m[0], m[1]), std::fmax(m[2], m[3]));
    if (mx == 0.0) {
        *e = 0.0;
        return true;
    }
    const int top = std::ilogb(mx);
    const Pow2 pre(-top);
    const double ss = kvr::sum4<true>(n, [&](int64_t r) __attribute__((always_inline)) {
        return pre(x[r * ld]);
    });
    *e = top + std::ilogb(std::sqrt(ss / static_cast<double>(n)));
    return true;
}

// xs = X c (row-major like the data, for the test kernels) and A = xs
// column-major for the factorisation, from column `first` on (Fac). tmp: 2k.
KVR_INLINE void equilibrate_x(const double *X, int64_t n, int64_t k, const double *ex, double *tmp,
                              double *xs, double *A, int64_t first) {
    double *pa = tmp, *pb = tmp + k;
    for (int64_t j = 0; j < k; ++j) {
        const Pow2 p(-static_cast<int>(ex[j]));
        pa[j] = p.a, pb[j] = p.b;
    }
    kvr::with_width(k, [&](auto K) __attribute__((always_inline)) {
        const int64_t w = K;
        for (int64_t i = 0; i < n; ++i) {
            const double *__restrict x = X + i * w;
            double *__restrict s = xs + i * w;
            for (int64_t j = 0; j < w; ++j) s[j] = (x[j] * pa[j]) * pb[j];
            for (int64_t j = first; j < w; ++j) A[(j - first) * n + i] = s[j];
        }
    });
}

// Scaling the caller's y and X in place (a lone series whose arrays nobody
// reads meanwhile) saves the battery their equilibrated copies: half its
// memory on a long series. A power of two changes no bits of a value that
// stays in the normal range; each value is checked to come back exactly, and
// everything is put back before the battery returns. Designs wider than
// kInPlaceMaxK columns are copied as before (their factors live on the stack).
constexpr int64_t kInPlaceMaxK = 64;

// v (n rows of width w; column j's factors at down/up[2j]) scaled down in
// place, each value checked to scale back to itself; to[(j - first) ld_to +
// i] (when given) takes the scaled value of row i of column j >= first. On a
// value that would not come back, everything before it is put back: false.
KVR_INLINE bool scale_checked(double *v, int64_t n, int64_t w, const double *down, const double *up,
                              double *to, int64_t ld_to, int64_t first) {
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = 0; j < w; ++j) {
            const double x = v[i * w + j], s = (x * down[2 * j]) * down[2 * j + 1];
            if ((s * up[2 * j]) * up[2 * j + 1] != x) {
                for (int64_t b = i * w + j - 1; b >= 0; --b) {
                    const int64_t c = b % w;
                    v[b] = (v[b] * up[2 * c]) * up[2 * c + 1];
                }
                return false;
            }
            v[i * w + j] = s;
            if (to && j >= first) to[(j - first) * ld_to + i] = s;
        }
    return true;
}

// What was scaled in place (X, then y), put back on every return.
struct InPlace {
    const int64_t n, k;
    double *X = nullptr, *y = nullptr;
    double up[2 * (kInPlaceMaxK + 1)];  // 2^ex as Pow2's steps: k columns, then y
    InPlace(int64_t n_, int64_t k_) : n(n_), k(k_) {}
    InPlace(const InPlace &) = delete;
    InPlace &operator=(const InPlace &) = delete;
    ~InPlace() {  // y was scaled last: put back first
        const double *u = up + 2 * k;
        for (int64_t i = 0; y && i < n; ++i) y[i] = (y[i] * u[0]) * u[1];
        for (int64_t i = 0; X && i < n; ++i)
            for (int64_t j = 0; j < k; ++j)
                X[i * k + j] = (X[i * k + j] * up[2 * j]) * up[2 * j + 1];
    }
    // v (n rows of w columns, exponents ex; their factors kept from column
    // `at` of up) scaled in place as scale_checked does, `to` with it; false,
    // with v as it was, when a value would not come back or the design is wider
    // than the factors' room.
    bool scale(double *v, int64_t w, const double *ex, int64_t at, double *to, int64_t ld_to,
               int64_t first) {
        if (at + w > kInPlaceMaxK + 1 || w > kInPlaceMaxK) return false;
        double down[2 * kInPlaceMaxK], *u = up + 2 * at;
        for (int64_t j = 0; j < w; ++j) {
            const Pow2 d(-static_cast<int>(ex[j])), e(static_cast<int>(ex[j]));
            down[2 * j] = d.a, down[2 * j + 1] = d.b, u[2 * j] = e.a, u[2 * j + 1] = e.b;
        }
        return scale_checked(v, n, w, down, u, to, ld_to, first);
    }
};

// ys = y c_y, and a copy for the reflectors (where the residuals form).
KVR_INLINE void equilibrate_y(const double *y, int64_t n, double ey, double *ys, double *ya) {
    const Pow2 p(-static_cast<int>(ey));
    for (int64_t i = 0; i < n; ++i) ya[i] = ys[i] = p(y[i]);
}

// ------------------------------------------------------------------- fit

// The factorisation's storage, n entries a column. A constant first column
// (c0) is not stored: its entries are all c, its reflector is (v0[0], c, ...,
// c) and its part of R is R[0][0] alone, so the fit takes a column less of
// memory (a long series' design with three regressors is a quarter ones).
struct Fac {
    double *A;  // the stored columns: 0..k-1, or 1..k-1 with c0
    int64_t n, k;
    bool c0;
    double c;     // the constant column's value (c0)
    double *r00;  // R[0][0] with c0: kept with the design's work
    KVR_INLINE double *col(int64_t j) const { return A + (c0 ? j - 1 : j) * n; }
    KVR_INLINE double r(int64_t i, int64_t j) const {  // R[i][j], i <= j
        return c0 && j == 0 ? *r00 : col(j)[i];
    }
};

// dot_acc<1>(0, a, b, n) for a = (lead, c, c, ..., c), which is not stored
// (Self: b = a): the same terms in the same lanes, so the same bits.
template <bool Self>
KVR_INLINE double dot_lead(double lead, double c, const double *b, int64_t n) {
    using kvr::v4d;
    const v4d cv = kvr::vsplat<4>(c);
    const auto bv = [&](const v4d &a, int64_t j) __attribute__((always_inline)) {
        if constexpr (Self) {
            return a;
        } else {
            return kvr::vload<4>(b + j);
        }
    };
    int64_t j = 0;
    double s = 0.0;
    if (n >= 32) {
        v4d first = cv, acc[8];
        first[0] = lead;
        acc[0] = kvr::vfma<4>(first, bv(first, 0), kvr::vzero<4>());
#pragma GCC unroll 8
        for (int q = 1; q < 8; ++q) acc[q] = kvr::vfma<4>(cv, bv(cv, 4 * q), kvr::vzero<4>());
        for (j = 32; j + 32 <= n; j += 32)
#pragma GCC unroll 8
            for (int q = 0; q < 8; ++q) acc[q] = kvr::vfma<4>(cv, bv(cv, j + 4 * q), acc[q]);
        for (; j + 8 <= n; j += 8) {
            acc[0] = kvr::vfma<4>(cv, bv(cv, j), acc[0]);
            acc[1] = kvr::vfma<4>(cv, bv(cv, j + 4), acc[1]);
        }
        const v4d lo = (acc[0] + acc[2]) + (acc[4] + acc[6]);
        const v4d hi = (acc[1] + acc[3]) + (acc[5] + acc[7]);
        s = s + kvr::vhsum<4>(lo + hi);
    }
    for (; j < n; ++j) {
        const double a = j == 0 ? lead : c;
        s = kvr::fma(a, Self ? a : b[j], s);
    }
    return s;
}

// a (len entries) -= v (v'a) scale: one reflector, as the factorisation
// applies it.
KVR_INLINE void apply_reflector(const double *__restrict v, double scale, double *__restrict a,
                                int64_t len) {
    const double t = -(kvr::dot_acc<1>(0.0, v, a, len) * scale);
    for (int64_t i = 0; i < len; ++i) a[i] = kvr::fma(v[i], t, a[i]);
}

// a (n entries) through the reflector (lead, c, ..., c) of scale `scale`:
// apply_reflector's steps on a vector that is not stored.
KVR_INLINE void reflect_lead(double lead, double c, double scale, double *a, int64_t n) {
    const double t = -(dot_lead<false>(lead, c, a, n) * scale);
    a[0] = kvr::fma(lead, t, a[0]);
    for (int64_t i = 1; i < n; ++i) a[i] = kvr::fma(c, t, a[i]);
}

// Householder QR of the design in F in place: R in the upper k x k
// triangle, the vectors below it, their leading entries in v0. False at a
// column with nothing left below the diagonal.
KVR_INLINE bool householder(const Fac &F, double *v0, double *scales) {
    const int64_t n = F.n, k = F.k;
    for (int64_t j = 0; j < k; ++j) {
        const int64_t len = n - j;
        if (F.c0 && j == 0) {  // as below, on the column of c's
            const double norm = std::sqrt(dot_lead<true>(F.c, F.c, nullptr, n));
            if (!(norm > 0.0)) return false;
            const double d = F.c, alpha = d >= 0.0 ? -norm : norm;
            const double scale = 1.0 / (norm * (norm + std::fabs(d)));
            for (int64_t c = 1; c < k; ++c) reflect_lead(d - alpha, F.c, scale, F.col(c), n);
            v0[0] = d - alpha;
            scales[0] = scale;
            *F.r00 = alpha;
            continue;
        }
        double *__restrict v = F.col(j) + j;  // column j from row j
        const double norm = std::sqrt(kvr::dot_acc<1>(0.0, v, v, len));
        if (!(norm > 0.0)) return false;
        // v_0 = d - alpha; H = I - v v' / (norm (norm + |d|)) maps the column to alpha e_1
        const double d = v[0];
        const double alpha = d >= 0.0 ? -norm : norm;
        const double scale = 1.0 / (norm * (norm + std::fabs(d)));
        v[0] = d - alpha;
        for (int64_t c = j + 1; c < k; ++c) apply_reflector(v, scale, F.col(c) + j, len);
        v0[j] = d - alpha;
        scales[j] = scale;
        v[0] = alpha;
    }
    return true;
}

// a0 (n entries) from row j through reflector j, exactly as the
// factorisation applies it to a column of its own.
KVR_INLINE void reflect(const Fac &F, int64_t j, const double *v0, const double *scales,
                        double *a0) {
    if (F.c0 && j == 0) {
        reflect_lead(v0[0], F.c, scales[0], a0, F.n);
        return;
    }
    double *v = F.col(j) + j;
    const double keep = v[0];
    v[0] = v0[j];
    apply_reflector(v, scales[j], a0 + j, F.n - j);
    v[0] = keep;
}

// Q'a in place: the reflectors in turn.
KVR_INLINE void apply_qt(const Fac &F, const double *v0, const double *scales, double *a0) {
    for (int64_t j = 0; j < F.k; ++j) reflect(F, j, v0, scales, a0);
}

// e = Q [0; (Q'y)_k..n-1] in place of Q'y: the residuals from the
// reflections, accurate to rounding of |e| itself whatever the condition of X
// (y - X beta is only accurate to cond(X) roundings of |y|).
KVR_INLINE void residuals(const Fac &F, const double *v0, const double *scales, double *e) {
    for (int64_t i = 0; i < F.k; ++i) e[i] = 0.0;
    for (int64_t j = F.k - 1; j >= 0; --j) reflect(F, j, v0, scales, e);
}

// ri = R^-1 (k x k, zero below the diagonal) from R in F; returns cond_1(R)
// = |R|_1 |R^-1|_1 (NaN when R^-1 is not finite).
KVR_INLINE double inverse_cond(const Fac &F, double *ri) {
    const int64_t k = F.k;
    double nr = 0.0, ni = 0.0;
    for (int64_t j = 0; j < k; ++j) {
        double *col = ri + j;  // column j of ri, stride k
        col[j * k] = 1.0 / F.r(j, j);
        for (int64_t i = j - 1; i >= 0; --i) {
            double s = 0.0;
            for (int64_t l = i + 1; l <= j; ++l) s = kvr::fma(F.r(i, l), col[l * k], s);
            col[i * k] = -s / F.r(i, i);
        }
        for (int64_t i = j + 1; i < k; ++i) col[i * k] = 0.0;
        double sr = 0.0, si = 0.0;
        for (int64_t i = 0; i <= j; ++i) {
            sr += std::fabs(F.r(i, j));
            si += std::fabs(col[i * k]);
        }
        nr = sr > nr || sr != sr ? sr : nr;  // a NaN stays
        ni = si > ni || si != si ? si : ni;
    }
    return k == 0 ? 1.0 : nr * ni;
}

// ------------------------------------------------------------------ tests

// The design's work as the tests see it.
// Without held (a lone series, or designs not shared) hq, bo, tp and dz are
// null: the tests form their parts in the scratch area, anew for each series.
struct DesignWork {
    double *head, *hq, *dc, *db, *dd, *bo, *tp, *dz;
    bool held;  // the arena holds the arrays of the design's work
    bool keep;  // later series share the design: work worth recording for them
};

struct Series {
    const double *xs, *ys, *e, *ri, *bs, *ex;
    int64_t n, k, cc;  // cc: constant column, or -1
    const double *qy;  // Q'y (k), then column cc of R (k; rows past cc are 0)
    double size;       // |y| + sum_j |x_j||beta_j|, scaled units (the exact-fit rule's)
    double rss;        // e'e, scaled units
    const double *Q;   // n x k column-major orthonormal basis (model checks only)
    kvr::mc::Ctx *mc;  // the model checks' options and work (null: none run)
    DesignWork *dw;
};

// A test's status and statistic (NaN unless the status is 0).
KVR_INLINE void put(double *out, int field, int status, double stat) {
    out[field] = status;
    out[field + 1] = status == DIAG_OK ? stat : kNaN;
}

// The design with a constant column: as it is, or with ones prepended.
KVR_INLINE const double *with_constant(const Series &s, double *to, int64_t *p) {
    if (s.cc >= 0) {
        *p = s.k;
        return s.xs;
    }
    const int64_t k = s.k, w = k + 1;
    for (int64_t i = 0; i < s.n; ++i) {
        double *z = to + i * w;
        z[0] = 1.0;
        for (int64_t j = 0; j < k; ++j) z[1 + j] = s.xs[i * k + j];
    }
    *p = w;
    return to;
}

// The auxiliary design (with a constant) and its normal equations are the
// design's work: formed once for a batch with one design.
void breusch_pagan(const Series &s, double *scratch, double *out) {
    const int64_t n = s.n, p = s.cc >= 0 ? s.k : s.k + 1;
    DesignWork &d = *s.dw;
    double *G = d.db, *L = G + p * p, *meta = L + p * p, *own = d.held ? d.bo : scratch;
    int64_t pw;
    const double *Xa = s.cc >= 0 ? s.xs : own;
    if (!d.held && s.cc < 0) scratch += n * p;  // past the design formed there
    if (!d.held || d.head[kHBp] != 1.0) {
        with_constant(s, own, &pw);
        const kvr_ols_design od = kvr_ols_design_of(Xa, n, p, G, L, scratch);
        meta[0] = od.rcond;
        meta[1] = od.ok;
        if (d.held) d.head[kHBp] = 1.0;
    }
    const kvr_ols_design od{G, L, meta[0], static_cast<int>(meta[1])};
    double rss = 0.0, tss = 0.0;
    const int st = kvr_bp_aux_cached(s.e, Xa, n, p, &od, scratch, &rss, &tss);
    out[KVR_BAT_BP_STATUS] = st;
    out[KVR_BAT_BP_STAT] = out[KVR_BAT_BPK_STAT] = kNaN;
    if (st != DIAG_OK || std::isnan(rss)) return;
    // both forms exactly as kvr_bp_stat forms them
    double r2 = 0.0;
    if (tss > 0.0) {
        r2 = 1.0 - rss / tss;
        if (r2 > 1.0) r2 = 1.0;
        if (r2 < 0.0) r2 = 0.0;
    }
    out[KVR_BAT_BPK_STAT] = r2 * static_cast<double>(s.n);
    const double ess = 0.5 * (tss - rss);
    out[KVR_BAT_BP_STAT] = ess < 0.0 ? 0.0 : ess;
}

// What the HAC Wald test needs from the factorisation in A, which the tests'
// scratch overwrites: Q'y and column cc of R (zero past row cc; all zero
// without a constant).
KVR_INLINE void keep_for_wald(const Fac &F, const double *qy, int64_t cc, double *qc) {
    const int64_t k = F.k;
    double *rc = qc + k;
    for (int64_t j = 0; j < k; ++j) {
        qc[j] = qy[j];
        rc[j] = j <= cc ? F.r(j, cc) : 0.0;
    }
}

// Plane rotations G over coordinates (i-1, i), i = cc..1, that take u (k
// entries, zero past cc) to a multiple of e_0, applied to c and to Omega as
// G Omega G'. The constant column then comes first: rows and columns 1..k-1
// belong to the slopes.
KVR_INLINE void constant_to_front(double *u, int64_t cc, int64_t k, double *c, double *om) {
    for (int64_t i = cc; i >= 1; --i) {
        const double a = u[i - 1], b = u[i];
        if (b == 0.0) continue;
        const double r = std::hypot(a, b), cs = a / r, sn = b / r;
        u[i - 1] = r;
        u[i] = 0.0;
        const auto rotate = [cs, sn](double &x, double &y) {
            const double xo = x, yo = y;
            x = kvr::fma(cs, xo, sn * yo);
            y = kvr::fma(cs, yo, -(sn * xo));
        };
        rotate(c[i - 1], c[i]);
        for (int64_t j = 0; j < k; ++j) rotate(om[(i - 1) * k + j], om[i * k + j]);
        for (int64_t j = 0; j < k; ++j) rotate(om[j * k + i - 1], om[j * k + i]);
    }
}

// A covariance choice in place of the battery's own HAC (diag_robust.hpp):
// the choice, its scratch, and where its matrix and bandwidth go.
struct Robust {
    const kvr_cov_choice *c;
    double *arena, *cov, *bw;
};

// V = n R^-1 om R^-T in full and in the units of the data into rb.cov, and se
// from its diagonal. T: k x k scratch.
KVR_INLINE void robust_cov(const Series &s, const double *om, double *T, const Robust &rb,
                           double *se) {
    const int64_t k = s.k;
    const double dn = static_cast<double>(s.n);
    for (int64_t a = 0; a < k; ++a)
        for (int64_t d = 0; d < k; ++d) {
            double t = 0.0;
            for (int64_t c = a; c < k; ++c) t = kvr::fma(s.ri[a * k + c], om[c * k + d], t);
            T[a * k + d] = t;
        }
    const auto entry = [&](int64_t a, int64_t b) {
        double t = 0.0;
        for (int64_t d = b; d < k; ++d) t = kvr::fma(T[a * k + d], s.ri[b * k + d], t);
        return t * dn;
    };
    const int ey = static_cast<int>(s.ex[k]);
    for (int64_t a = 0; a < k; ++a)
        for (int64_t b = a; b < k; ++b) {
            const double v = (entry(a, b) + entry(b, a)) * 0.5;
            rb.cov[a * k + b] = rb.cov[b * k + a] = std::ldexp(
                std::ldexp(v, ey - static_cast<int>(s.ex[a])), ey - static_cast<int>(s.ex[b]));
        }
    for (int64_t j = 0; j < k; ++j) se[j] = std::sqrt(rb.cov[j * k + j]);
}

// se from V = (X'X)^-1 S (X'X)^-1, S the Bartlett HAC sum of x_t e_t: the sandwich
// without small-sample correction. It is formed from the rows of Q = X R^-1
// (h_t = e_t x_t R^-1, so V = n R^-1 Omega_h R^-T), which keeps every entry of
// V accurate to its own scale; the product P Omega P with P = (X'X)^-1 loses
// the small entries of nearly collinear designs to the rounding of the large
// ones. Writes se (units of the data) and runs the Wald test of the slopes
// when asked. False (se NaN) for a negative bandwidth. With rb, the
// covariance of rb's choice instead (Q's rows to kvr_robust_meat).
//
// The test does not go through V, whose slope block has the condition of
// R squared. With the constant first, the slope rows of R^-1 are
// [0, Rss^-1], so b_s = Rss^-1 c_s (c = Q'y) and V_ss = n Rss^-1 Omega_ss
// Rss^-T, and W = b_s' V_ss^-1 b_s = c_s' Omega_ss^-1 c_s / n: only c and
// Omega_h, both as well conditioned as the data. A constant elsewhere is
// rotated to the front first (W depends on Q only through the direction of
// the constant); without one, every coefficient is tested and W = c'
// Omega_h^-1 c / n.
// Inner products of x with nb vectors y[b] over len terms, in the order of
// Lanes8 (kvr_vec.hpp: term t into lane t % 8): up to four at once, so that
// the loads of x are shared and the chains of one inner product overlap
// those of the others. A column that is not stored: y[0] all ones (kOnes,
// never read), or y[0] and x (XS) each a stored column times m, rounded as
// the stored product would be (kScaled).
enum Lead { kStored, kOnes, kScaled };

template <int NB, Lead Y0, bool XS>
KVR_INLINE void dots8_of(const double *x, const double *const *y, int64_t len, double *out,
                         double m) {
    using V = kvr::vec<4>;
    const V M = kvr::vsplat<4>(m), one = kvr::vsplat<4>(1.0);
    const auto xv = [&](int64_t t) __attribute__((always_inline)) {
        const V v = kvr::vload<4>(x + t);
        if constexpr (XS) {
            return M * v;
        } else {
            return v;
        }
    };
    const auto yv = [&](int b, int64_t t) __attribute__((always_inline)) {
        if (Y0 == kOnes && b == 0) return one;
        const V v = kvr::vload<4>(y[b] + t);
        return Y0 == kScaled && b == 0 ? M * v : v;
    };
    const auto ys = [&](int b, int64_t t) __attribute__((always_inline)) {
        if (Y0 == kOnes && b == 0) return 1.0;
        return Y0 == kScaled && b == 0 ? m * y[b][t] : y[b][t];
    };
    V lo[NB], hi[NB];
#pragma GCC unroll 4
    for (int b = 0; b < NB; ++b) lo[b] = hi[b] = kvr::vzero<4>();
    const int64_t whole = kvr::blocks8(len);
    for (int64_t t = 0; t < whole; t += 8) {
        const V x0 = xv(t), x1 = xv(t + 4);
#pragma GCC unroll 4
        for (int b = 0; b < NB; ++b) {
            lo[b] = kvr::vfma<4>(x0, yv(b, t), lo[b]);
            hi[b] = kvr::vfma<4>(x1, yv(b, t + 4), hi[b]);
        }
    }
#pragma GCC unroll 4
    for (int b = 0; b < NB; ++b) {
        kvr::Lanes8 l(lo[b], hi[b]);
        for (int64_t t = whole; t < len; ++t)
            l.v[t & 7] = kvr::fma(XS ? m * x[t] : x[t], ys(b, t), l.v[t & 7]);
        out[b] = l.sum();
    }
}

template <Lead Y0 = kStored, bool XS = false>
KVR_INLINE void dots8(const double *x, const double *const *y, int64_t nb, int64_t len, double *out,
                      double m = 1.0) {
    if (nb <= 0) return;
    // the first group has y[0]; the others are stored columns
    const int64_t first = nb < 4 ? nb : 4;
    if (first == 4) dots8_of<4, Y0, XS>(x, y, len, out, m);
    if (first == 3) dots8_of<3, Y0, XS>(x, y, len, out, m);
    if (first == 2) dots8_of<2, Y0, XS>(x, y, len, out, m);
    if (first == 1) dots8_of<1, Y0, XS>(x, y, len, out, m);
    nb -= first, y += first, out += first;
    for (; nb >= 4; nb -= 4, y += 4, out += 4) dots8_of<4, kStored, XS>(x, y, len, out, m);
    if (nb == 3) dots8_of<3, kStored, XS>(x, y, len, out, m);
    if (nb == 2) dots8_of<2, kStored, XS>(x, y, len, out, m);
    if (nb == 1) dots8_of<1, kStored, XS>(x, y, len, out, m);
}

// The Bartlett HAC sum of h_t (k columns of n: col(b)), divided by n:
// Gamma_0 + sum over j <= L' of (1 - j / (L' + 1)) (Gamma_j + Gamma_j'), L' =
// min(L, n - 1), Gamma_j = sum_t h_t h_(t+j)'; every entry one inner product
// of dots8. With a constant first column, column 0 is m e (not stored:
// col(0) is e). gamma: k*k scratch, ptr: k pointers.
template <class Col>
KVR_INLINE void bartlett_omega(Col col, bool lead, double m, int64_t n, int64_t k, int64_t L,
                               double *gamma, const double **ptr, double *om) {
    // x . y[0..nb) from offset 0 of x: with column 0 scaled when it is not stored
    const auto dots = [&](int64_t a, int64_t nb, int64_t len, double *out)
                          __attribute__((always_inline)) {
                              if (!lead)
                                  dots8(col(a), ptr, nb, len, out);
                              else if (a == 0)
                                  dots8<kScaled, true>(col(a), ptr, nb, len, out, m);
                              else
                                  dots8<kScaled, false>(col(a), ptr, nb, len, out, m);
                          };
    for (int64_t b = 0; b < k; ++b) ptr[b] = col(b);
    for (int64_t a = 0; a < k; ++a) {
        dots(a, a + 1, n, om + a * k);
        for (int64_t b = 0; b < a; ++b) om[b * k + a] = om[a * k + b];
    }
    const int64_t lmax = n <= 1 ? 0 : (L < n - 1 ? L : n - 1);
    const double denom = static_cast<double>(lmax + 1);
    for (int64_t j = 1; j <= lmax; ++j) {
        const double w = 1.0 - static_cast<double>(j) / denom;
        for (int64_t b = 0; b < k; ++b) ptr[b] = col(b) + j;
        for (int64_t a = 0; a < k; ++a) dots(a, k, n - j, gamma + a * k);
        for (int64_t a = 0; a < k; ++a)
            for (int64_t b = 0; b < k; ++b)
                om[a * k + b] = kvr::fma(gamma[b * k + a] + gamma[a * k + b], w, om[a * k + b]);
    }
    const double dn = static_cast<double>(n);
    for (int64_t i = 0; i < k * k; ++i) om[i] = om[i] / dn;
}

// Row t of X R^-1: q_t[j] = sum over c <= j of x_t[c] ri[c][j] (R^-1 upper
// triangular, row-major), one FMA chain per entry in order of c, each in a
// register (a chain through q in memory waits on store forwarding).
KVR_INLINE void xr_row(const double *x, const double *ri, int64_t k, double *q) {
    for (int64_t j = 0; j < k; ++j) {
        double t = 0.0;
        for (int64_t c = 0; c <= j; ++c) t = kvr::fma(x[c], ri[c * k + j], t);
        q[j] = t;
    }
}

KVR_MULTIVERSION void hac(const Series &s, int64_t hac_lags, bool test, double *scratch,
                          double *out, double *se, const Robust *rb) {
    const int64_t n = s.n, k = s.k, kk = k * k;
    if (hac_lags < 0 && !rb) {
        if (test) put(out, KVR_BAT_HAC_STATUS, DIAG_BAD_LAG, kNaN);
        return;
    }
    double *g = scratch, *gamma = g + n * k, *om = gamma + kk, *T = om + kk, *W = T + kk,
           *factor = W + kk, *dev = factor + kk, *solved = dev + k, *mean = solved + k,
           *target = mean + k;
    int64_t *piv = reinterpret_cast<int64_t *>(target + k);
    const bool held = s.dw->held;
    // not held: the rows go straight to g, as h_t = e_t q_t (by columns) or as
    // q_t (row-major) for the covariance choice's meat; gamma is free until then.
    // With the constant first, q_t's first entry is the same in every row and
    // h's first column is that times e: not stored (bartlett_omega).
    double *hq = held ? s.dw->hq : g, *hqc = held ? hq + n * k : nullptr;
    const bool lead = s.cc == 0 && !rb;
    const int64_t skip = lead ? 1 : 0;
    if (!held) {
        kvr::with_width(k, [&](auto K) __attribute__((always_inline)) {
            const int64_t w = K;
            for (int64_t i = 0; i < n; ++i) {
                double *qi = rb ? g + i * w : gamma;
                xr_row(s.xs + i * w, s.ri, w, qi);
                if (!rb)
                    for (int64_t j = skip; j < w; ++j) g[(j - skip) * n + i] = qi[j] * s.e[i];
            }
        });
    } else if (s.dw->head[kHHq] != 1.0) {
        // the design's rows: row-major for the covariance choice's meat, else
        // by columns for the sums below
        for (int64_t i = 0; i < n; ++i) {
            double *qi = rb ? hq + i * k : g;
            xr_row(s.xs + i * k, s.ri, k, qi);
            if (!rb)
                for (int64_t j = 0; j < k; ++j) hqc[j * n + i] = qi[j];
        }
        s.dw->head[kHHq] = 1.0;
    }
    if (rb) {
        const int st = kvr_robust_meat(rb->c, hq, s.e, s.xs, s.ex, n, k, s.cc, hac_lags, rb->arena,
                                       om, rb->bw);
        if (st != DIAG_OK) {
            if (test) put(out, KVR_BAT_HAC_STATUS, st, kNaN);
            return;
        }
    } else {
        for (int64_t j = skip; j < k && held; ++j) {  // h_t = e_t q_t, a column at a time
            const double *q = hqc + j * n;
            double *gj = g + (j - skip) * n;
            for (int64_t i = 0; i < n; ++i) gj[i] = q[i] * s.e[i];
        }
        // q_t's first entry with the constant first (xr_row of any row)
        const double m = lead ? kvr::fma(s.xs[0], s.ri[0], 0.0) : 1.0;
        const auto col = [&](int64_t b) __attribute__((always_inline)) -> const double * {
            return lead && b == 0 ? s.e : g + (b - skip) * n;
        };
        bartlett_omega(col, lead, m, n, k, hac_lags, gamma, reinterpret_cast<const double **>(piv),
                       om);
    }
    for (int64_t a = 0; a < k; ++a)  // T = R^-1 Omega_h, the entries right of the diagonal
        for (int64_t d = a; d < k; ++d) {
            double t = 0.0;
            for (int64_t c = a; c < k; ++c) t = kvr::fma(s.ri[a * k + c], om[c * k + d], t);
            T[a * k + d] = t;
        }
    const double dn = static_cast<double>(n);
    const int ey = static_cast<int>(s.ex[k]);
    for (int64_t j = 0; j < k; ++j) {  // the diagonal of V = n T R^-T
        double t = 0.0;
        for (int64_t d = j; d < k; ++d) t = kvr::fma(T[j * k + d], s.ri[j * k + d], t);
        se[j] = std::ldexp(std::sqrt(t * dn), ey - static_cast<int>(s.ex[j]));
    }
    if (rb) robust_cov(s, om, W, *rb, se);
    if (!test) return;

    const int64_t q = s.cc >= 0 ? k - 1 : k;
    out[KVR_BAT_HAC_DF] = static_cast<double>(q);
    out[KVR_BAT_HAC_LAGS] = static_cast<double>(hac_lags < n - 1 ? hac_lags : n - 1);
    if (q == 0) {
        put(out, KVR_BAT_HAC_STATUS, DIAG_BAD_ARG, kNaN);
        return;
    }
    double *c = mean;  // shifted down in place below
    for (int64_t j = 0; j < k; ++j) {
        c[j] = s.qy[j];
        solved[j] = s.qy[k + j];  // free until the Wald kernel runs
    }
    if (s.cc > 0) constant_to_front(solved, s.cc, k, c, om);
    const int64_t first = k - q;  // the slopes' coordinates: first..k-1
    for (int64_t a = 0; a < q; ++a) {
        mean[a] = c[first + a] / dn;
        target[a] = 0.0;
        for (int64_t b = 0; b < q; ++b) W[a * q + b] = om[(first + a) * k + first + b];
    }
    double stat = kNaN;
    const int st =
        kvr_wald_stat_from_mean_and_cov(mean, target, W, n, q, dev, factor, piv, solved, &stat);
    put(out, KVR_BAT_HAC_STATUS, st, stat);
}

// One adapter per test of KVR_BAT_TESTS, with one signature: the fitted
// series, the options, scratch, and the record to write.
struct Options {
    int64_t lags, t_break, hac_lags, tests;
};

// Breusch-Godfrey as kvr_bg_stat (the regression of e on [1, X without its
// constant, e lagged 1..L], zeros before the start; without a constant in the
// model, on [X, e lagged 1..L]), its normal equations
// formed from inner products of columns: those of the design are the
// design's work, the rest are inner products of e with shifted copies of
// itself and of the design's columns, each with dots8.
KVR_MULTIVERSION int breusch_godfrey(const Series &s, int64_t lags, double *scratch, double *stat) {
    const int64_t n = s.n, k = s.k;
    if (lags >= n) return DIAG_TOO_SHORT;
    if (lags < 0) return DIAG_BAD_LAG;
    const int64_t p = s.cc >= 0 ? k : k + 1, m = p + lags;
    DesignWork &d = *s.dw;
    // columns 1, X without cc, and their cross products; the column of ones
    // is not stored (dots8's kOnes): column c >= 1 at Z + (c - 1) n
    double *Z = d.held ? d.dz : scratch, *D = d.dd;
    if (!d.held) scratch += n * (p - 1);
    const double **ptr = reinterpret_cast<const double **>(scratch);
    ptr[0] = s.e;  // never read
    if (!d.held || d.head[kHBg] != 1.0) {
        for (int64_t j = 0, c = 0; j < k; ++j) {
            if (j == s.cc) continue;
            for (int64_t i = 0; i < n; ++i) Z[c * n + i] = s.xs[i * k + j];
            ++c;
        }
        for (int64_t b = 1; b < p; ++b) ptr[b] = Z + (b - 1) * n;
        D[0] = static_cast<double>(n);  // the ones' own product: n, exactly as summed
        for (int64_t a = 1; a < p; ++a) {
            dots8<kOnes>(Z + (a - 1) * n, ptr, a + 1, n, D + a * p);
            for (int64_t b = 0; b < a; ++b) D[b * p + a] = D[a * p + b];
        }
        if (d.held) d.head[kHBg] = 1.0;
    }
    double *G = scratch + m + 1, *L = G + m * m, *g = L + m * m, *beta = g + m, *dv = beta + m,
           *r = dv + m + 1;  // kBgBlock fitted values at a time
    const double *e = s.e;
    for (int64_t a = 0; a < p; ++a)
        for (int64_t b = 0; b < p; ++b) G[a * m + b] = D[a * p + b];
    for (int64_t b = 1; b < p; ++b) ptr[b] = Z + (b - 1) * n;
    dots8<kOnes>(e, ptr, p, n, g);  // Z'e, the design's columns
    for (int64_t l = 0; l < lags; ++l) {
        // with e over rows 0 .. n-2-l: the design's columns and e from row
        // l+1 (lag l+1 against them, and against e for Z'e), then e from rows
        // l-a (lags a+1 and l+1 against each other, a <= l)
        const int64_t len = n - 1 - l;
        for (int64_t b = 1; b < p; ++b) ptr[b] = Z + (b - 1) * n + l + 1;
        ptr[p] = e + l + 1;
        for (int64_t a = 0; a <= l; ++a) ptr[p + 1 + a] = e + (l - a);
        dots8<kOnes>(e, ptr, p + 2 + l, len, dv);
        const int64_t cl = p + l;  // the column of lag l+1
        for (int64_t b = 0; b < p; ++b) G[cl * m + b] = G[b * m + cl] = dv[b];
        g[cl] = dv[p];
        for (int64_t a = 0; a <= l; ++a) G[cl * m + p + a] = G[(p + a) * m + cl] = dv[p + 1 + a];
    }
    if (s.cc < 0) {
        // A model without a constant: e on [X, lagged e], as lmtest's bgtest;
        // the column of ones leaves the system (its coefficient is zero).
        for (int64_t b = 1; b < m; ++b) G[b] = G[b * m] = 0.0;
        G[0] = static_cast<double>(n);
        g[0] = 0.0;
    }
    if (kvr::gram_out_of_range(G, m, n)) return DIAG_FALLBACK;
    if (kvr_chol_solve(G, g, beta, L, m) != 0) return DIAG_FALLBACK;
    // The explained sum of squares e'e - r'r as sum f (2e - f), f = Z beta the
    // fitted values (a column at a time): the difference of two nearly equal
    // sums would lose a small statistic, and f'f alone would take the first-
    // order error of beta, which this form, like r'r, cancels.
    // The fitted values a block of rows at a time (each row's terms in the
    // same order), folded in fold4's lanes: no n-vector of them.
    const double S = kvr::sum4<true>(n, [&](int64_t i) __attribute__((always_inline)) {
        return e[i];
    });
    double acc[4] = {0.0, 0.0, 0.0, 0.0};
    const double r0 = kvr::fma(beta[0], 1.0, 0.0);  // the column of ones' term
    const int64_t whole = n & ~int64_t{3};          // fold4 puts the last n % 4 terms in lane 0
    for (int64_t i0 = 0; i0 < n; i0 += kBgBlock) {
        const int64_t len = n - i0 < kBgBlock ? n - i0 : kBgBlock;
        for (int64_t t = 0; t < len; ++t) r[t] = r0;
        for (int64_t c = 1; c < p; ++c) {
            const double b = beta[c], *z = Z + (c - 1) * n + i0;
            for (int64_t t = 0; t < len; ++t) r[t] = kvr::fma(b, z[t], r[t]);
        }
        for (int64_t l = 0; l < lags; ++l) {
            const double b = beta[p + l];
            const int64_t t0 = l + 1 > i0 ? l + 1 - i0 : 0;
            for (int64_t t = t0; t < len; ++t) r[t] = kvr::fma(b, e[i0 + t - 1 - l], r[t]);
        }
        for (int64_t t = 0; t < len; ++t) {
            const int64_t i = i0 + t;
            double &s = acc[i < whole ? (i & 3) : 0];
            s = kvr::fma(r[t], 2.0 * e[i] - r[t], s);
        }
    }
    const double F = kvr::pairwise<4>(acc);
    if (m > 1 && kvr::factor_too_ill_conditioned(G, L, m, g)) return DIAG_FALLBACK;
    if (S > 0.0)
        *stat = (F < S ? (F > 0.0 ? F / S : 0.0) : 1.0) * static_cast<double>(n);
    else if (S == 0.0 && !std::isnan(F))
        *stat = 0.0;  // all-zero residuals: nothing to explain
    else
        *stat = kNaN;
    return DIAG_OK;
}

void run_bg(const Series &s, const Options &o, double *scratch, double *out) {
    double stat = kNaN;
    const int st = breusch_godfrey(s, o.lags, scratch, &stat);
    put(out, KVR_BAT_BG_STATUS, st, stat);
}

void run_bp(const Series &s, const Options &, double *scratch, double *out) {
    breusch_pagan(s, scratch, out);
}

// The three fits' normal equations are the design's work.
void run_chow(const Series &s, const Options &o, double *scratch, double *out) {
    const int64_t n = s.n, k = s.k, kk = k * k, tb = o.t_break;
    DesignWork &d = *s.dw;
    double *G = d.dc, *L = G + 3 * kk, *meta = L + 3 * kk;
    kvr_ols_design ds[3];
    if (k >= 1 && n - k > k && tb >= 1 && tb < n) {  // else kvr_chow_stat_cached looks at none
        if (d.head[kHChow] != static_cast<double>(tb) + 1.0) {
            kvr_chow_designs(s.xs, n, k, tb, G, L, scratch, ds);
            for (int f = 0; f < 3; ++f) meta[2 * f] = ds[f].rcond, meta[2 * f + 1] = ds[f].ok;
            d.head[kHChow] = static_cast<double>(tb) + 1.0;
        }
        for (int f = 0; f < 3; ++f)
            ds[f] = kvr_ols_design{G + f * kk, L + f * kk, meta[2 * f],
                                   static_cast<int>(meta[2 * f + 1])};
    }
    double stat = kNaN;
    const int st = kvr_chow_stat_cached(s.ys, s.xs, n, k, tb, ds, scratch, &stat);
    put(out, KVR_BAT_CHOW_STATUS, st, stat);
}

// With both CUSUM statistics asked for, one recursion serves the two.
void run_cusum(const Series &s, const Options &o, double *scratch, double *out) {
    double stat = kNaN;
    if (o.tests & KVR_BAT_CUSUMSQ) {
        double sq = kNaN;
        // the recursion's rotations are the design's: recorded once for the
        // series that share it, then replayed; else no tape at all
        const DesignWork &d = *s.dw;
        const bool replay = d.held && d.head[kHCusum] == 1.0;
        const int st = kvr_cusum_pair_taped(s.ys, s.xs, s.n, s.k, scratch, s.size, !replay,
                                            replay || d.keep ? d.tp : nullptr, &stat, &sq);
        if (!replay && d.keep) s.dw->head[kHCusum] = 1.0;
        if (st == DIAG_OK && (o.tests & KVR_BAT_HC)) {  // the recursion Harvey-Collier needs
            std::memcpy(s.mc->w, scratch + 3 * s.k * s.k + 3 * s.k, sizeof(double) * (s.n - s.k));
            s.mc->w_ok = true;
        }
        put(out, KVR_BAT_CUSUM_STATUS, st, stat);
        put(out, KVR_BAT_CUSUMSQ_STATUS, st, sq);
        out[KVR_BAT_M] = static_cast<double>(s.n - s.k);
        return;
    }
    const int st = kvr_cusum_stat(s.ys, s.xs, s.n, s.k, scratch, &stat);
    put(out, KVR_BAT_CUSUM_STATUS, st, stat);
}

void run_cusumsq(const Series &s, const Options &o, double *scratch, double *out) {
    if (o.tests & KVR_BAT_CUSUM) return;  // run_cusum did it
    int64_t m = 0;
    double stat = kNaN;
    const int st = kvr_cusumsq_stat(s.ys, s.xs, s.n, s.k, &m, scratch, &stat);
    put(out, KVR_BAT_CUSUMSQ_STATUS, st, stat);
    out[KVR_BAT_M] = static_cast<double>(m);
}

void run_lb(const Series &s, const Options &o, double *scratch, double *out) {
    double stat = kNaN;
    const int st = kvr_lb_stat(s.e, s.n, o.lags, scratch, scratch + s.n, &stat);
    put(out, KVR_BAT_LB_STATUS, st, stat);
}

void run_jb(const Series &s, const Options &, double *, double *out) {
    double stat = kNaN;
    const int st = kvr_jb_stat(s.e, s.n, &stat);
    put(out, KVR_BAT_JB_STATUS, st, stat);
}

// The HAC Wald test comes with the standard errors, which every battery
// computes (run_tests calls hac() last).
void run_hac(const Series &, const Options &, double *, double *) {}

// ------------------------------------------------------------ model checks
// (diag_modelcheck.cpp; the record keeps their degrees of freedom beside)

KVR_INLINE kvr::mc::Fit model_fit(const Series &s) {
    return kvr::mc::Fit{s.xs, s.ys, s.e, s.Q, s.n, s.k, s.cc, s.rss};
}

using Check = void (*)(const kvr::mc::Fit *, kvr::mc::Ctx *, kvr::mc::Res *);

KVR_INLINE void put_check(double *out, int field, const Series &s, Check check, int df1, int df2) {
    const kvr::mc::Fit f = model_fit(s);
    kvr::mc::Res r;
    check(&f, s.mc, &r);
    put(out, field, r.status, r.stat);
    if (r.status != DIAG_OK) return;
    if (df1 >= 0) out[df1] = r.df1;
    if (df2 >= 0) out[df2] = r.df2;
}

void run_white(const Series &s, const Options &, double *, double *out) {
    put_check(out, KVR_BAT_WHITE_STATUS, s, kvr_mc_white, KVR_BAT_WHITE_DF, -1);
}

void run_reset(const Series &s, const Options &, double *, double *out) {
    put_check(out, KVR_BAT_RESET_STATUS, s, kvr_mc_reset, KVR_BAT_RESET_DF1, KVR_BAT_RESET_DF2);
}

void run_gq(const Series &s, const Options &, double *, double *out) {
    put_check(out, KVR_BAT_GQ_STATUS, s, kvr_mc_goldfeld_quandt, KVR_BAT_GQ_DF1, KVR_BAT_GQ_DF2);
}

void run_hc(const Series &s, const Options &, double *, double *out) {
    put_check(out, KVR_BAT_HC_STATUS, s, kvr_mc_harvey_collier, KVR_BAT_HC_DF, -1);
}

void run_rainbow(const Series &s, const Options &, double *, double *out) {
    put_check(out, KVR_BAT_RAINBOW_STATUS, s, kvr_mc_rainbow, KVR_BAT_RAINBOW_DF1,
              KVR_BAT_RAINBOW_DF2);
}

void run_dw(const Series &s, const Options &, double *, double *out) {
    put_check(out, KVR_BAT_DW_STATUS, s, kvr_mc_durbin_watson, KVR_BAT_DW_LOW, KVR_BAT_DW_HIGH);
}

// Q = H_0 .. H_{k-1} [I; 0] from the reflectors in A (as residuals()).
KVR_INLINE void explicit_q(const Fac &F, const double *v0, const double *scales, double *Q) {
    const int64_t n = F.n;
    for (int64_t c = 0; c < F.k; ++c) {
        double *q = Q + c * n;
        for (int64_t i = 0; i < n; ++i) q[i] = i == c ? 1.0 : 0.0;
        for (int64_t j = c; j >= 0; --j) reflect(F, j, v0, scales, q);
    }
}

using Adapter = void (*)(const Series &, const Options &, double *, double *);
constexpr Adapter kAdapters[] = {
#define KVR_BAT_X(NAME, name, resid) run_##name,
    KVR_BAT_TESTS(KVR_BAT_X)
#undef KVR_BAT_X
};
constexpr int kStatusFields[] = {
#define KVR_BAT_X(NAME, name, resid) KVR_BAT_##NAME##_STATUS,
    KVR_BAT_TESTS(KVR_BAT_X)
#undef KVR_BAT_X
};
// The tests an exact fit leaves without a statistic.
constexpr int64_t kResidualTests = 0
#define KVR_BAT_X(NAME, name, resid) | (resid ? KVR_BAT_##NAME : 0)
    KVR_BAT_TESTS(KVR_BAT_X)
#undef KVR_BAT_X
    ;
static_assert(sizeof kAdapters / sizeof kAdapters[0] == KVR_BAT_NTESTS, "one adapter per test");
static_assert(KVR_BAT_NTESTS < 31, "the test bits fit an int");

// Every selected test on the fitted series.
void run_tests(const Series &s, const Options &o, int64_t tests, double *scratch, double *out,
               double *se, const Robust *rb) {
    for (int b = 0; b < KVR_BAT_NTESTS; ++b)
        if (tests & (int64_t{1} << b)) kAdapters[b](s, o, scratch, out);
    hac(s, o.hac_lags, (tests & KVR_BAT_HAC) != 0, scratch, out, se, rb);
}

// Every selected test gets this status.
void set_status(int status, int64_t tests, double *out) {
    for (int b = 0; b < KVR_BAT_NTESTS; ++b)
        if (tests & (int64_t{1} << b)) out[kStatusFields[b]] = status;
}

// A failed fit: every selected test carries its status.
int failed(int status, int64_t tests, double *out) {
    out[KVR_BAT_FIT_STATUS] = status;
    set_status(status, tests, out);
    return status;
}

// The arena of kvr_battery_checks: the design cache first (at a place that
// does not move with n, so a batch with one design keeps it), the battery's
// arena, then Q (n k), w (n) and the checks' scratch.
struct CheckLayout {
    int64_t cache, base, Q, w, scratch;
    Checked total{0};
};

// The header of the design's work is always at the front: the battery's
// own, or (with the checks) one more before the checks' cache.
CheckLayout check_layout(int64_t n, int64_t k, int64_t lags, int64_t tests, bool held) {
    CheckLayout c;
    const int64_t h = kHeadLen;
    c.cache = h;
    if (!(tests & KVR_BAT_CHECKS)) {
        c.base = c.Q = c.w = c.scratch = 0;
        c.total = layout(n, k, lags, held).total;
        return c;
    }
    const Checked N(kvr::size_arg(n)), K(kvr::size_arg(k));
    const Checked base = kvr::mc::cache_len(N, K) + h, Q = base + layout(n, k, lags, held).total,
                  w = Q + N * K, scratch = w + N;
    c.base = base.v, c.Q = Q.v, c.w = w.v, c.scratch = scratch.v;
    c.total = scratch + kvr::mc::scratch_len(N, K);
    return c;
}

// Column cc of the n x k matrix X holds one value throughout.
KVR_INLINE bool constant_column(const double *X, int64_t n, int64_t k, int64_t cc) {
    const double v = X[cc];
    bool same = true;
    for (int64_t i = 1; i < n; ++i) same &= X[i * k + cc] == v;
    return same;
}

}  // namespace

extern "C" KVR_API kvr_arena_size_t kvr_battery_arena_size(int64_t n, int64_t k, int64_t lags) {
    return kvr::arena_record(layout(n, k, lags, false).total);
}

namespace {

// The battery, with the model checks when opt is given (else their bits are
// ignored); reuse bit 1: the design is the previous call's on this arena,
// bit 2: the next calls share it (work worth keeping for them); rb: a
// covariance choice in place of the battery's own Bartlett HAC, or none.
KVR_INLINE int battery(const double *y, const double *X, int64_t n, int64_t k, int64_t const_col,
                       int64_t lags, int64_t t_break, int64_t hac_lags, int64_t tests,
                       double *arena0, double *out, double *beta, double *se, const double *opt,
                       int64_t reuse, const Robust *rb) {
    const bool keep = (reuse & 2) != 0;  // later calls share the design: keep its work
    const bool held = (reuse & 3) != 0;  // the arena has room for the design's work
    // bit 4: y and X are this call's to scale in place (put back before it returns)
    const bool in_place = (reuse & 4) != 0 && !held;
    reuse &= 1;
    if (k < 0) k = 0;
    if (const_col < 0) const_col = -1;
    tests &= opt ? int64_t{KVR_BAT_ALL} : int64_t{KVR_BAT_BASE};
    const CheckLayout cl = check_layout(n, k, lags, tests, held);
    if (!reuse) {  // no design work kept from earlier calls, whatever stops this series
        arena0[kHValid] = 0.0;
        if (tests & KVR_BAT_CHECKS)
            arena0[cl.cache] = arena0[cl.cache + kvr::mc::kWhiteHead] = -1.0;
    }
    for (int f = 0; f < KVR_BAT_NFIELDS; ++f) out[f] = kNaN;
    for (int64_t j = 0; j < k; ++j) beta[j] = se[j] = kNaN;
    out[KVR_BAT_N] = static_cast<double>(n);
    out[KVR_BAT_K] = static_cast<double>(k);
    if (n < 1 || n <= k) return failed(DIAG_TOO_SHORT, tests, out);
    if (const_col >= k) return failed(DIAG_BAD_ARG, tests, out);

    double *arena = arena0 + cl.base;
    const Layout l = layout(n, k, lags, held);
    double *xs = arena + l.xs, *ys = arena + l.ys, *e = arena + l.e, *ex = arena + l.ex,
           *bs = arena + l.bs, *ri = arena + l.ri, *qc = arena + l.qc, *scratch = arena + l.scratch;
    // the factorisation: held for later series, else in the scratch area,
    // which the tests take over once the fit is done; Q'y forms where the
    // residuals will
    double *A = held ? arena + l.ax : scratch, *qy = e, *v0 = arena + l.hv, *scales = v0 + k;
    if (!exponent(y, 1, n, ex + k)) return failed(DIAG_UDEF_VARIANCE, tests, out);

    // The design's work: kept from the previous series of a batch with one
    // design when it was made for the same rows, columns and options.
    double *head = arena0;  // at a place that does not move with n
    InPlace scaled(n, k);
    const double key[] = {static_cast<double>(n), static_cast<double>(k),
                          static_cast<double>(const_col), static_cast<double>(lags),
                          static_cast<double>(tests)};
    Fac F{A, n, k, const_col == 0, 0.0, head + kHR00};
    bool kept = reuse && head[kHValid] == 1.0;
    for (int i = 0; i < 5 && kept; ++i) kept = head[kHN + i] == key[i];
    if (!kept) {
        head[kHValid] = 0.0;
        int status = DIAG_OK;
        double cond = kNaN;
        bool finite = true;
        for (int64_t j = 0; j < k && finite; ++j) finite = exponent(X + j, k, n, ex + j);
        if (!finite) {
            status = DIAG_UDEF_VARIANCE;
        } else if (const_col >= 0 && !constant_column(X, n, k, const_col)) {
            status = DIAG_BAD_ARG;
        } else {
            double *Xm = const_cast<double *>(X);
            if (in_place && scaled.scale(Xm, k, ex, 0, A, n, F.c0 ? 1 : 0))
                xs = scaled.X = Xm;
            else  // v0 and scales: free until the QR
                equilibrate_x(X, n, k, ex, v0, xs, A, F.c0 ? 1 : 0);
            F.c = k > 0 ? xs[0] : 0.0;  // no columns: no constant to read
            cond = householder(F, v0, scales) ? inverse_cond(F, ri)
                                              : std::numeric_limits<double>::infinity();
            if (!(cond <= KVR_BAT_COND_MAX)) status = DIAG_FALLBACK;
        }
        for (int i = 0; i < 5; ++i) head[kHN + i] = key[i];
        head[kHStatus] = status;
        head[kHCond] = cond;
        head[kHHq] = head[kHChow] = head[kHBp] = head[kHCusum] = head[kHBg] = 0.0;
        head[kHValid] = held ? 1.0 : 0.0;  // the next call cannot take work not held
    }
    const int dstatus = static_cast<int>(head[kHStatus]);
    if (dstatus == DIAG_FALLBACK) out[KVR_BAT_COND] = head[kHCond];
    if (dstatus != DIAG_OK) return failed(dstatus, tests, out);
    const double cond = head[kHCond];
    out[KVR_BAT_COND] = cond;
    F.c = k > 0 ? xs[0] : 0.0;  // also when the design's work was kept
    double *ym = const_cast<double *>(y);
    if (in_place && scaled.scale(ym, 1, ex + k, k, qy, n, 0))  // qy: a copy for the reflectors
        ys = scaled.y = ym;
    else
        equilibrate_y(y, n, ex[k], ys, qy);
    apply_qt(F, v0, scales, qy);
    keep_for_wald(F, qy, const_col, qc);
    if ((tests & KVR_BAT_RESET) || ((tests & KVR_BAT_DW) && const_col < 0))  // who reads Q
        explicit_q(F, v0, scales, arena0 + cl.Q);

    // beta by back substitution, then the residuals from the data
    for (int64_t i = k - 1; i >= 0; --i) {
        double t = qy[i];
        for (int64_t c = i + 1; c < k; ++c) t = kvr::fma(-F.r(i, c), bs[c], t);
        bs[i] = t / F.r(i, i);
    }
    residuals(F, v0, scales, e);
    double rss, yy;
    kvr::sum4_pair<true>(
        n,
        [&](int64_t i) __attribute__((always_inline)) {
            return e[i];
        },
        [&](int64_t i) __attribute__((always_inline)) {
            return ys[i];
        },
        &rss, &yy);
    double mean = 0.0;
    if (const_col >= 0) {
        mean = kvr::sum_lanes<4, false>(n,
                                        [&](int64_t i) __attribute__((always_inline)) {
                                            return ys[i];
                                        }) /
               static_cast<double>(n);
    }
    const double tss = kvr::sum4<true>(n, [&](int64_t i) __attribute__((always_inline)) {
        return ys[i] - mean;
    });
    const int ey = static_cast<int>(ex[k]);
    out[KVR_BAT_FIT_STATUS] = DIAG_OK;
    out[KVR_BAT_RSS] = std::ldexp(rss, 2 * ey);
    out[KVR_BAT_TSS] = std::ldexp(tss, 2 * ey);
    out[KVR_BAT_R2] = tss == 0.0 ? kNaN : 1.0 - rss / tss;
    for (int64_t j = 0; j < k; ++j) beta[j] = std::ldexp(bs[j], ey - static_cast<int>(ex[j]));

    // |x_j| is the norm of column j of R: Q is orthogonal.
    double size = std::sqrt(yy);
    for (int64_t j = 0; j < k; ++j) {
        const double *r = F.c0 && j == 0 ? F.r00 : F.col(j);
        size += std::sqrt(kvr::dot_acc<1>(0.0, r, r, j + 1)) * std::fabs(bs[j]);
    }
    // To first order a relative change eps of each datum moves the residuals
    // by eps (size + cond |e|): through the fitted values, and through the
    // fitted space turning (Wedin's bound); statistics of up to fourth powers
    // of them move up to ten times as much.
    out[KVR_BAT_DIGITS] = -std::log10(10.0 * kvr::kEps * (cond + size / std::sqrt(rss)));
    kvr::mc::Ctx mc{opt, arena0 + cl.cache, arena0 + cl.w, arena0 + cl.scratch, reuse != 0, false};
    const auto at = [&](int64_t off) {
        return held ? arena + off : nullptr;
    };
    DesignWork dw{head,     at(l.hq), arena + l.dc, arena + l.db, arena + l.dd,
                  at(l.bo), at(l.tp), at(l.dz),     held,         keep};
    const Series s{xs, ys, e, ri, bs, ex, n, k, const_col, qc, size, rss, arena0 + cl.Q, &mc, &dw};
    if (kvr::is_exact_fit(rss, size, n)) {
        // The residuals are rounding noise: nothing to test on them. The
        // regression tests (Chow, CUSUM) apply the same rule themselves.
        set_status(DIAG_UDEF_VARIANCE, tests & kResidualTests, out);
        tests &= ~kResidualTests;
    }
    run_tests(s, Options{lags, t_break, hac_lags, tests}, tests, scratch, out, se, rb);
    return DIAG_OK;
}

}  // namespace

extern "C" KVR_API KVR_MULTIVERSION int kvr_battery(const double *y, const double *X, int64_t n,
                                                    int64_t k, int64_t const_col, int64_t lags,
                                                    int64_t t_break, int64_t hac_lags,
                                                    int64_t tests, double *arena, double *out,
                                                    double *beta, double *se) {
    return battery(y, X, n, k, const_col, lags, t_break, hac_lags, tests, arena, out, beta, se,
                   nullptr, 0, nullptr);
}

namespace {

// cov and bw empty, and the choice checked: false (every selected test
// BAD_ARG) for one out of range.
bool cov_start(const kvr_cov_choice *c, int64_t k, int64_t tests, double *out, double *beta,
               double *se, double *cov, double *bw) {
    const int64_t kc = k < 0 ? 0 : k;
    for (int64_t i = 0; i < kc * kc; ++i) cov[i] = kNaN;
    bw[0] = bw[1] = kNaN;
    if (kvr_cov_choice_check(c) == DIAG_OK) return true;
    for (int f = 0; f < KVR_BAT_NFIELDS; ++f) out[f] = kNaN;
    for (int64_t j = 0; j < kc; ++j) beta[j] = se[j] = kNaN;
    failed(DIAG_BAD_ARG, tests, out);
    return false;
}

}  // namespace

// The checks' arena, and the covariance's scratch after it when there is one;
// shared: the calls pass reuse bits (one design for all), and the arena holds
// the design's work for them.
extern "C" KVR_HIDDEN kvr_arena_size_t kvr_battery_checks_arena_size(int64_t n, int64_t k,
                                                                     int64_t lags, int64_t tests,
                                                                     int64_t with_cov,
                                                                     int64_t shared) {
    Checked total = check_layout(n, k, lags, tests & KVR_BAT_ALL, shared != 0).total;
    if (with_cov) total = total + kvr::arena_len(kvr_robust_arena_size(n, k));
    return kvr::arena_record(total);
}

namespace {

// The checks with a covariance choice c (or none: c null, cov and bw unused).
KVR_INLINE int checks(const double *y, const double *X, int64_t n, int64_t k, int64_t const_col,
                      int64_t lags, int64_t t_break, int64_t hac_lags, int64_t tests,
                      const double *opt, int64_t reuse, const kvr_cov_choice *c, double *arena,
                      double *out, double *beta, double *se, double *cov, double *bw) {
    if (!c)
        return battery(y, X, n, k, const_col, lags, t_break, hac_lags, tests, arena, out, beta, se,
                       opt, reuse, nullptr);
    if (!cov_start(c, k, tests & KVR_BAT_ALL, out, beta, se, cov, bw)) return DIAG_BAD_ARG;
    const Robust rb{c,
                    arena + check_layout(n, k, lags, tests & KVR_BAT_ALL, (reuse & 3) != 0).total.v,
                    cov, bw};
    return battery(y, X, n, k, const_col, lags, t_break, hac_lags, tests, arena, out, beta, se, opt,
                   reuse, &rb);
}

// Dispatched by hand: target_clones would give the entry a default-visibility
// ifunc, and only _batch calls it.
#define KVR_CHECKS_BODY                                                                        \
    return checks(y, X, n, k, const_col, lags, t_break, hac_lags, tests, opt, reuse, c, arena, \
                  out, beta, se, cov, bw)
#define KVR_CHECKS_ARGS                                                                      \
    const double *y, const double *X, int64_t n, int64_t k, int64_t const_col, int64_t lags, \
        int64_t t_break, int64_t hac_lags, int64_t tests, const double *opt, int64_t reuse,  \
        const kvr_cov_choice *c, double *arena, double *out, double *beta, double *se,       \
        double *cov, double *bw

int checks_generic(KVR_CHECKS_ARGS) { KVR_CHECKS_BODY; }
#if KVR_DISPATCH
__attribute__((target("arch=x86-64-v3"))) int checks_v3(KVR_CHECKS_ARGS) { KVR_CHECKS_BODY; }
__attribute__((target("arch=x86-64-v4"))) int checks_v4(KVR_CHECKS_ARGS) { KVR_CHECKS_BODY; }
#endif

}  // namespace

extern "C" KVR_HIDDEN int kvr_battery_checks(KVR_CHECKS_ARGS) {
#if KVR_DISPATCH
    if (__builtin_cpu_supports("x86-64-v4"))
        return checks_v4(y, X, n, k, const_col, lags, t_break, hac_lags, tests, opt, reuse, c,
                         arena, out, beta, se, cov, bw);
    if (__builtin_cpu_supports("x86-64-v3"))
        return checks_v3(y, X, n, k, const_col, lags, t_break, hac_lags, tests, opt, reuse, c,
                         arena, out, beta, se, cov, bw);
#endif
    return checks_generic(y, X, n, k, const_col, lags, t_break, hac_lags, tests, opt, reuse, c,
                          arena, out, beta, se, cov, bw);
}
#undef KVR_CHECKS_BODY
#undef KVR_CHECKS_ARGS
