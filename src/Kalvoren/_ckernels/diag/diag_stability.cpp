// Brown-Durbin-Evans recursive residuals, CUSUM and CUSUM of squares, and
// Durbin's CUSUM survival function.
#include <cmath>
#include <cstring>
#include <limits>

#include "diag_stability.h"
#include "diag_stability_detail.hpp"

#include "diag_guard.hpp"
#include "kvr_range.hpp"
#include "kvr_simd.hpp"
#include "kvr_size.hpp"
#include "kvr_vec.hpp"
#include "linalg.h"

namespace {

constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One value in every lane, as a single broadcast.
template <int W>
KVR_INLINE kvr::vec<W> splat(double s) {
    if constexpr (W == 2) {
        return kvr::vec<2>{s, s};
    } else if constexpr (W == 4) {
        return kvr::vec<4>{s, s, s, s};
    } else {
        return kvr::vec<8>{s, s, s, s, s, s, s, s};
    }
}

// Square-root-free plane rotations (Gentleman) on the triangle of the rows
// seen so far. R is unit upper triangular, k rows of wp >= k entries (zero
// left of the diagonal and past column k-1), th is its response column and
// row i carries the squared scale d_i. Folding in an observation [x', y]
// eliminates x against R, which leaves y - x'beta, with the weight
// 1 / (1 + x'(X'X)^-1 x). Each entry of R is updated as a convex combination
// of its old value and the incoming one, which stays accurate even when a
// rotation nearly swaps the two rows.

// The first rows: empty rows of the triangle (d = 0) are filled by the first
// non-zero entry that reaches them, after which nothing is left to rotate.
// Rows in vectors of W lanes over wp entries, like the recursion below;
// keep/unit put the diagonal back to exactly 1.
// With a tape (kvr_cusum_pair_taped), the steps' rotations go to it: first
// the count of rows visited, then (x_i, c, s) per row.
template <int W>
KVR_INLINE void fold_first(double *__restrict R, double *__restrict th, double *__restrict d,
                           double *__restrict x, double y, int64_t k, int64_t wp,
                           const kvr::vec<W> *keep, const kvr::vec<W> *unit,
                           double *__restrict tape) {
    using V = kvr::vec<W>;
    double wt = 1.0;
    int64_t i = 0;
    for (; i < k && wt != 0.0; ++i) {
        const double xi = x[i];
        if (tape) tape[1 + 3 * i] = xi;
        if (xi == 0.0) continue;
        const double di = d[i], wxi = wt * xi, dn = kvr::fma(wxi, xi, di);
        const double c = di / dn, s = wxi / dn;
        if (tape) tape[2 + 3 * i] = c, tape[3 + 3 * i] = s;
        wt *= c;
        d[i] = dn;
        const V nx = splat<W>(-xi), cv = splat<W>(c), sv = splat<W>(s);
        double *__restrict r = R + i * wp;
        for (int64_t v = i / W * W; v < wp; v += W) {
            const V rv = kvr::vload<W>(r + v), xo = kvr::vload<W>(x + v);
            kvr::vstore<W>(x + v, kvr::vfma<W>(nx, rv, xo));
            const V rn = kvr::vfma<W>(cv, rv, sv * xo);
            kvr::vstore<W>(r + v, v <= i ? kvr::vfma<W>(rn, keep[i - v], unit[i - v]) : rn);
        }
        const double t = th[i];
        th[i] = kvr::fma(c, t, s * y);
        y = kvr::fma(-xi, t, y);
    }
    if (tape) tape[0] = static_cast<double>(i);
}

// Later rows, once every d_i > 0, with dinv = 1/d and the rows of R in NV
// vectors of W lanes (wp = W*NV), x held in registers. Written in
// u = 1/weight, which grows by x_i^2 / d_i row by row. The pivot x_i of the
// next row is computed by itself, as the one fused multiply-add of the
// vector update that it needs, so from row to row only scalar multiply-adds
// wait on each other; the divisions and the vector updates of R hang off
// that chain. Lanes left of the diagonal hold zeros in R and in the
// eliminated x and stay zero; the diagonal lane is put back to exactly 1.
// With a tape, each step's (p, c, s) per row of R and sqrt(q) go to it.
template <int W, int NV>
KVR_INLINE void recurse(const double *y, const double *X, int64_t k, int64_t m, double *R,
                        double *th, double *dinv, double *w, double *__restrict tape) {
    using V = kvr::vec<W>;
    constexpr int64_t WP = W * NV;
    // keep[l] zero in lane l and one elsewhere, unit[l] the reverse:
    // fma(r, keep[l], unit[l]) puts an exact 1 in lane l of r.
    V lane[NV], keep[W], unit[W];
    for (int vv = 0; vv < NV; ++vv)
        for (int l = 0; l < W; ++l) lane[vv][l] = vv * W + l;
    for (int l = 0; l < W; ++l)
        for (int j = 0; j < W; ++j) keep[l][j] = 1.0 - (unit[l][j] = j == l);
    const V zero = kvr::vzero<W>(), kv = splat<W>(static_cast<double>(k));
    // Rows whose padded width still lies inside X are read whole (the lanes
    // past k belong to the next row) and masked; the last few lane by lane.
    const int64_t whole = (k * (m + k) - WP) / k - k + 1;
    for (int64_t j = 0; j < m; ++j) {
        const double *xr = X + (k + j) * k;
        V xv[NV];
        if (j < whole) {
#pragma GCC unroll 4
            for (int vv = 0; vv < NV; ++vv)
                xv[vv] = lane[vv] < kv ? kvr::vload<W>(xr + vv * W) : zero;
        } else {
            for (int vv = 0; vv < NV; ++vv) {
                xv[vv] = zero;
                for (int l = 0; l < W && vv * W + l < k; ++l) xv[vv][l] = xr[vv * W + l];
            }
        }
        double yv = y[k + j], u = 1.0, q = 1.0, p = xr[0];
        for (int64_t i = 0; i < k; ++i) {
            double *__restrict r = R + i * WP;
            double pn = 0.0;
            if (i + 1 < k) {
                double e = 0.0;
                const int64_t nb = (i + 1) / W, nl = (i + 1) % W;
#pragma GCC unroll 4
                for (int vv = 0; vv < NV; ++vv)
                    if (vv == nb) e = xv[vv][nl];
                pn = kvr::fma(-p, r[i + 1], e);
            }
            const double t = p * dinv[i], un = kvr::fma(t, p, u);
            q = 1.0 / un;
            const double c = u * q, s = t * q;  // d_i/d_i' and x_i/d_i'
            dinv[i] *= c;
            u = un;
            const V nx = splat<W>(-p), cv = splat<W>(c), sv = splat<W>(s);
            const int64_t db = i / W, dl = i % W;
#pragma GCC unroll 4
            for (int vv = 0; vv < NV; ++vv) {
                if (vv < db) continue;  // all lanes left of the diagonal
                const V rv = kvr::vload<W>(r + vv * W), xo = xv[vv];
                xv[vv] = kvr::vfma<W>(nx, rv, xo);
                V rn = kvr::vfma<W>(cv, rv, sv * xo);
                if (vv == db) rn = kvr::vfma<W>(rn, keep[dl], unit[dl]);
                kvr::vstore<W>(r + vv * W, rn);
            }
            const double ti = th[i];
            th[i] = kvr::fma(c, ti, s * yv);
            yv = kvr::fma(-p, ti, yv);
            if (tape) tape[0] = p, tape[1] = c, tape[2] = s, tape += 3;
            p = pn;
        }
        const double sq = std::sqrt(q);
        if (tape) *tape++ = sq;
        w[j] = yv * sq;
    }
}

// Up to 4 regressors, with K known: the whole triangle, its weights and
// response column stay in registers for the whole sample and every lane
// index is a constant, so nothing goes through memory between steps. The
// arithmetic is the same as in recurse().
template <int W, int K>
KVR_INLINE void recurse_small(const double *y, const double *X, int64_t m, double *R, double *th,
                              double *dinv, double *w, double *__restrict tape) {
    using V = kvr::vec<W>;
    // Narrow rows live in registers; 8-lane rows are read and written in
    // place, with the diagonal put back by keep/unit as in recurse().
    constexpr bool kInReg = W <= 4;
    V r[K], lane, keep[W], unit[W];
    double dv[K], tv[K];
    for (int l = 0; l < W; ++l) lane[l] = l;
    for (int l = 0; l < W; ++l)
        for (int j = 0; j < W; ++j) keep[l][j] = 1.0 - (unit[l][j] = j == l);
#pragma GCC unroll 8
    for (int i = 0; i < K; ++i) {
        if (kInReg) r[i] = kvr::vload<W>(R + i * W);
        dv[i] = dinv[i];
        tv[i] = th[i];
    }
    const V zero = kvr::vzero<W>(), kv = splat<W>(static_cast<double>(K));
    const int64_t whole = (K * (m + K) - W) / K - K + 1;  // rows read whole, as in recurse()
    for (int64_t j = 0; j < m; ++j) {
        const double *xr = X + (K + j) * K;
        V xv;
        if (j < whole) {
            xv = lane < kv ? kvr::vload<W>(xr) : zero;
        } else {
            xv = zero;
#pragma GCC unroll 8
            for (int l = 0; l < K; ++l) xv[l] = xr[l];
        }
        double yv = y[K + j], u = 1.0, q = 1.0, p = xr[0];
#pragma GCC unroll 8
        for (int i = 0; i < K; ++i) {
            double *ri = R + i * W;
            const V rv = kInReg ? r[i] : kvr::vload<W>(ri);
            const double pn = i + 1 < K ? kvr::fma(-p, kInReg ? rv[(i + 1) % W] : ri[(i + 1) % W],
                                                   xv[(i + 1) % W])
                                        : 0.0;
            const double t = p * dv[i], un = kvr::fma(t, p, u);
            q = 1.0 / un;
            const double c = u * q, s = t * q;
            dv[i] *= c;
            u = un;
            const V xo = xv;
            xv = kvr::vfma<W>(splat<W>(-p), rv, xo);
            const V rn =
                kvr::vfma<W>(kvr::vfma<W>(splat<W>(c), rv, splat<W>(s) * xo), keep[i], unit[i]);
            if (kInReg)
                r[i] = rn;
            else
                kvr::vstore<W>(ri, rn);
            const double ti = tv[i];
            tv[i] = kvr::fma(c, ti, s * yv);
            yv = kvr::fma(-p, ti, yv);
            if (tape) tape[0] = p, tape[1] = c, tape[2] = s, tape += 3;
            p = pn;
        }
        const double sq = std::sqrt(q);
        if (tape) *tape++ = sq;
        w[j] = yv * sq;
    }
#pragma GCC unroll 8
    for (int i = 0; i < K; ++i) {
        if (kInReg) kvr::vstore<W>(R + i * W, r[i]);
        dinv[i] = dv[i];
        th[i] = tv[i];
    }
}

template <int W>
KVR_INLINE void first_block(const double *y, const double *X, int64_t k, int64_t wp, double *R,
                            double *th, double *d, double *x, double *tape) {
    kvr::vec<W> keep[W], unit[W];
    for (int l = 0; l < W; ++l)
        for (int j = 0; j < W; ++j) keep[l][j] = 1.0 - (unit[l][j] = j == l);
    for (int64_t t = 0; t < k; ++t) {
        std::memcpy(x, X + t * k, static_cast<size_t>(k) * sizeof(double));
        fold_first<W>(R, th, d, x, y[t], k, wp, keep, unit,
                      tape ? tape + t * (1 + 3 * k) : nullptr);
    }
    std::memset(x, 0, static_cast<size_t>(wp) * sizeof(double));
}

// The same for rows too wide for registers: x lives in memory (wp entries,
// zero past k) and the next pivot is read back from it.
KVR_INLINE void recurse_wide(const double *y, const double *X, int64_t k, int64_t m, double *R,
                             double *th, double *dinv, double *x, int64_t wp, double *w,
                             double *__restrict tape) {
    constexpr int W = 8;
    using V = kvr::vec<W>;
    V keep[W], unit[W];
    for (int l = 0; l < W; ++l)
        for (int j = 0; j < W; ++j) keep[l][j] = 1.0 - (unit[l][j] = j == l);
    for (int64_t j = 0; j < m; ++j) {
        std::memcpy(x, X + (k + j) * k, static_cast<size_t>(k) * sizeof(double));
        double yv = y[k + j], u = 1.0, q = 1.0;
        for (int64_t i = 0; i < k; ++i) {
            const double p = x[i], t = p * dinv[i], un = kvr::fma(t, p, u);
            q = 1.0 / un;
            const double c = u * q, s = t * q;
            dinv[i] *= c;
            u = un;
            const V nx = splat<W>(-p), cv = splat<W>(c), sv = splat<W>(s);
            double *__restrict r = R + i * wp;
            int64_t v = i / W * W;
            {
                const V rv = kvr::vload<W>(r + v), xo = kvr::vload<W>(x + v);
                kvr::vstore<W>(x + v, kvr::vfma<W>(nx, rv, xo));
                const V rn = kvr::vfma<W>(cv, rv, sv * xo);
                kvr::vstore<W>(r + v, kvr::vfma<W>(rn, keep[i - v], unit[i - v]));
            }
            for (v += W; v < wp; v += W) {
                const V rv = kvr::vload<W>(r + v), xo = kvr::vload<W>(x + v);
                kvr::vstore<W>(x + v, kvr::vfma<W>(nx, rv, xo));
                kvr::vstore<W>(r + v, kvr::vfma<W>(cv, rv, sv * xo));
            }
            const double ti = th[i];
            th[i] = kvr::fma(c, ti, s * yv);
            yv = kvr::fma(-p, ti, yv);
            if (tape) tape[0] = p, tape[1] = c, tape[2] = s, tape += 3;
        }
        const double sq = std::sqrt(q);
        if (tape) *tape++ = sq;
        w[j] = yv * sq;
    }
}

// The rotations' vector width and the padded length of a row of R.
KVR_INLINE int lanes(int64_t k) { return k <= 2 ? 2 : k <= 4 ? 4 : 8; }
KVR_INLINE int64_t row_width(int64_t k) { return (k + lanes(k) - 1) / lanes(k) * lanes(k); }

// The family's arena lengths, each written once. m = n - k is negative when
// k > n; every kernel answers DIAG_TOO_SHORT then before touching its arena.
using kvr::Checked;

// The first block's cross-product matrix and factor (k^2 each) and 2k of
// scratch, reused for the rotations' triangle.
Checked recursive_len(int64_t k) {
    const Checked kc(kvr::size_arg(k));
    return 3 * (kc * kc) + 3 * kc;
}

int64_t residual_count(int64_t n, int64_t k) { return kvr::size_arg(n) - kvr::size_arg(k); }

// w (m), 2k^2 + 2k the layout keeps but nothing uses any more, then the
// recursive-residual arena.
Checked series_len(int64_t n, int64_t k) {
    const Checked kc(kvr::size_arg(k));
    return Checked(residual_count(n, k)) + 2 * (kc * kc) + 2 * kc + recursive_len(k);
}

// The running maximum of the statistics: replaced only by a strictly greater
// value, but a NaN anywhere makes the result NaN instead of being skipped.
struct RunningMax {
    double best;
    bool nan = false;
    explicit RunningMax(double first) : best(first), nan(first != first) {}
    void add(double v) {
        nan |= v != v;
        if (v > best) best = v;
    }
    double value() const { return nan ? kNaN : best; }
    // v[0..len): as add() on each, with eight lanes that the compiler keeps in
    // vector registers. The largest value does not depend on the order, and
    // a NaN anywhere gives NaN either way.
    KVR_INLINE void add_block(const double *v, int64_t len) {
        double lane[8] = {best, best, best, best, best, best, best, best};
        bool nans[8] = {};
        int64_t i = 0;
        for (; i + 8 <= len; i += 8)
            for (int l = 0; l < 8; ++l) {
                nans[l] |= v[i + l] != v[i + l];
                lane[l] = v[i + l] > lane[l] ? v[i + l] : lane[l];
            }
        for (; i < len; ++i) add(v[i]);
        for (int l = 0; l < 8; ++l) {
            nan |= nans[l];
            if (lane[l] > best) best = lane[l];
        }
    }
};

// Values per block of pair_stats: their running sums (a chain) first, then
// the divisions on the whole block at once, vector-wide.
constexpr int64_t kStatBlock = 64;

}  // namespace

// The recursion carries an orthogonal factor of the rows seen so far and
// adds each observation by plane rotations, O(k^2) per step: the recursive
// residual falls out of the rotated response, with no inverse to lose
// accuracy along the sample. The first k rows decide FALLBACK through their
// cross-product matrix (pivot test and condition guard), but the recursion
// starts from their rotations, not from that Cholesky factor.
namespace {

// The recursion; with a tape (tape_len(n, k) doubles) it also records the
// rotations, which depend on X alone, for replay() on other responses.
// design_failed (or null): set when the design alone failed.
KVR_INLINE int recursion(const double *y, const double *X, int64_t n, int64_t k, double *arena,
                         double *w, double *tape, bool *design_failed) {
    if (k < 0) k = 0;
    if (n <= 0 || k >= n) return DIAG_TOO_SHORT;
    const int64_t m = n - k, kk = k * k;
    if (k < 1) {
        std::memcpy(w, y, static_cast<size_t>(m) * sizeof(double));
        return DIAG_OK;
    }
    // G and L (k*k each) and 2k doubles of scratch check the first block;
    // then R (k rows of wp), th, d (k each) and the working row x (wp).
    bool unused;
    if (!design_failed) design_failed = &unused;
    *design_failed = true;
    double *G = arena, *L = G + kk;
    kvr_gram(X, G, k, k);
    if (kvr_chol(G, L, k, 0.0) != 0) return DIAG_FALLBACK;
    if (kvr::first_block_ill_conditioned(G, L, k, L + kk)) return DIAG_FALLBACK;

    const int W = lanes(k);
    const int64_t wp = row_width(k);
    double *R = arena, *th = R + k * wp, *d = th + k, *x = d + k;
    std::memset(R, 0, static_cast<size_t>(k * wp + 2 * k + wp) * sizeof(double));
    switch (W) {
        case 2: first_block<2>(y, X, k, wp, R, th, d, x, tape); break;
        case 4: first_block<4>(y, X, k, wp, R, th, d, x, tape); break;
        default: first_block<8>(y, X, k, wp, R, th, d, x, tape);
    }
    double *tp = tape ? tape + k * (1 + 3 * k) : nullptr;
    for (int64_t i = 0; i < k; ++i) {
        // 0: a direction the first rows never filled; subnormal or infinite:
        // columns whose squares leave the range of doubles
        if (!(d[i] >= DBL_MIN && d[i] <= DBL_MAX)) return DIAG_FALLBACK;
        d[i] = 1.0 / d[i];
    }
    *design_failed = false;
    switch (k <= 8 ? k : wp) {
        case 1: recurse_small<2, 1>(y, X, m, R, th, d, w, tp); break;
        case 2: recurse_small<2, 2>(y, X, m, R, th, d, w, tp); break;
        case 3: recurse_small<4, 3>(y, X, m, R, th, d, w, tp); break;
        case 4: recurse_small<4, 4>(y, X, m, R, th, d, w, tp); break;
        case 5: recurse_small<8, 5>(y, X, m, R, th, d, w, tp); break;
        case 6: recurse_small<8, 6>(y, X, m, R, th, d, w, tp); break;
        case 7: recurse_small<8, 7>(y, X, m, R, th, d, w, tp); break;
        case 8: recurse_small<8, 8>(y, X, m, R, th, d, w, tp); break;
        case 16: recurse<8, 2>(y, X, k, m, R, th, d, w, tp); break;
        case 24: recurse<8, 3>(y, X, k, m, R, th, d, w, tp); break;
        case 32: recurse<8, 4>(y, X, k, m, R, th, d, w, tp); break;
        default: recurse_wide(y, X, k, m, R, th, d, x, wp, w, tp);
    }
    // Finite data, non-finite residuals: the rotated response overflowed
    // (coefficients beyond the range of doubles). NaN data keeps its NaN.
    if (!kvr::all_finite(w, m) && kvr::all_finite(y, n) && kvr::all_finite(X, n * k))
        return DIAG_FALLBACK;
    return DIAG_OK;
}

// The tape: per first-block row, the rows visited and (x_i, c, s) for each;
// per later row, (p, c, s) for each row of R and sqrt(q).
KVR_INLINE int64_t tape_len(int64_t n, int64_t k) {
    return k * (1 + 3 * k) + (n - k) * (3 * k + 1);
}

// replay() for up to 6 regressors, K known: th in registers.
template <int K>
KVR_INLINE void replay_small(const double *y, int64_t n, const double *tape, double *th,
                             double *w) {
    double tv[K];
#pragma GCC unroll 8
    for (int i = 0; i < K; ++i) tv[i] = th[i];
    const double *tp = tape + K * (1 + 3 * K);
    for (int64_t j = 0; j < n - K; ++j, tp += 3 * K + 1) {
        double yv = y[K + j];
#pragma GCC unroll 8
        for (int i = 0; i < K; ++i) {
            const double ti = tv[i];
            tv[i] = kvr::fma(tp[3 * i + 1], ti, tp[3 * i + 2] * yv);
            yv = kvr::fma(-tp[3 * i], ti, yv);
        }
        w[j] = yv * tp[3 * K];
    }
}

// The recursion on y from a tape: the response column's steps alone, which
// round exactly as within the recursion. th: k doubles.
KVR_INLINE void replay(const double *y, int64_t n, int64_t k, const double *tape, double *th,
                       double *w) {
    for (int64_t i = 0; i < k; ++i) th[i] = 0.0;
    for (int64_t t = 0; t < k; ++t) {
        const double *tp = tape + t * (1 + 3 * k);
        const int64_t visited = static_cast<int64_t>(tp[0]);
        double yv = y[t];
        for (int64_t i = 0; i < visited; ++i) {
            const double xi = tp[1 + 3 * i];
            if (xi == 0.0) continue;
            const double c = tp[2 + 3 * i], s = tp[3 + 3 * i], ti = th[i];
            th[i] = kvr::fma(c, ti, s * yv);
            yv = kvr::fma(-xi, ti, yv);
        }
    }
    switch (k) {
        case 1: return replay_small<1>(y, n, tape, th, w);
        case 2: return replay_small<2>(y, n, tape, th, w);
        case 3: return replay_small<3>(y, n, tape, th, w);
        case 4: return replay_small<4>(y, n, tape, th, w);
        case 5: return replay_small<5>(y, n, tape, th, w);
        case 6: return replay_small<6>(y, n, tape, th, w);
        default: break;
    }
    const double *tp = tape + k * (1 + 3 * k);
    for (int64_t j = 0; j < n - k; ++j) {
        double yv = y[k + j];
        for (int64_t i = 0; i < k; ++i, tp += 3) {
            const double ti = th[i];
            th[i] = kvr::fma(tp[1], ti, tp[2] * yv);
            yv = kvr::fma(-tp[0], ti, yv);
        }
        w[j] = yv * *tp++;
    }
}

}  // namespace

extern "C" KVR_API KVR_MULTIVERSION int kvr_recursive_residuals(const double *y, const double *X,
                                                                int64_t n, int64_t k, double *arena,
                                                                double *w) {
    return recursion(y, X, n, k, arena, w, nullptr, nullptr);
}

namespace {

// The rotations leave w with sum of w^2 = the full-sample RSS, so the scale
// comes from the same orthogonal route: no normal equations, whose pivot test
// and rounding would fail high-order trends the recursion handles.
KVR_INLINE double sum_sq(const double *v, int64_t n) {
    return kvr::sum_lanes<1, true>(n, [&](int64_t i) __attribute__((always_inline)) {
        return v[i];
    });
}

// An exact fit, up to rounding, leaves no scale: DIAG_UDEF_VARIANCE. The
// size of the fit comes from the coefficients of the full sample, which the
// rotations leave behind: R (unit upper triangular, rows of row_width(k)) and
// its response column th at the front of rr_arena. beta and the column sums
// of squares go to the two k-long areas after them, free once the recursion
// is done.
KVR_INLINE bool no_residual_scale(double rss, const double *y, const double *X, int64_t n,
                                  int64_t k, double *rr_arena, double known_size = 0.0) {
    if (rss == 0.0) return true;
    if (known_size > 0.0) return kvr::is_exact_fit(rss, known_size, n);
    const double yy = kvr::sum_lanes<4, true>(n, [&](int64_t i) __attribute__((always_inline)) {
        return y[i];
    });
    double size = std::sqrt(yy);
    if (k > 0) {
        const int64_t wp = row_width(k);
        const double *R = rr_arena, *th = R + k * wp;
        double *beta = rr_arena + k * wp + k, *ss = beta + k;
        for (int64_t i = k - 1; i >= 0; --i) {
            double t = th[i];
            for (int64_t j = i + 1; j < k; ++j) t = kvr::fma(-R[i * wp + j], beta[j], t);
            beta[i] = t;
        }
        for (int64_t j = 0; j < k; ++j) ss[j] = 0.0;
        for (int64_t i = 0; i < n; ++i)
            for (int64_t j = 0; j < k; ++j) ss[j] = kvr::fma(X[i * k + j], X[i * k + j], ss[j]);
        for (int64_t j = 0; j < k; ++j) size += std::sqrt(ss[j]) * std::fabs(beta[j]);
    }
    return kvr::is_exact_fit(rss, size, n);
}

}  // namespace

extern "C" KVR_API KVR_MULTIVERSION int kvr_cusum_series(const double *y, const double *X,
                                                         int64_t n, int64_t k, double *arena,
                                                         double *series) {
    if (k < 0) k = 0;
    if (n <= 0 || k >= n) return DIAG_TOO_SHORT;
    const int64_t m = n - k, kk = k * k;
    double *w = arena, *rr_arena = w + m + 2 * kk + 2 * k;  // as series_len

    const int status = kvr_recursive_residuals(y, X, n, k, rr_arena, w);
    if (status != DIAG_OK) return status;
    const double rss = sum_sq(w, m);
    if (kvr::variance_out_of_range(rss, m) && kvr::all_finite(y, n)) return DIAG_UDEF_VARIANCE;
    if (no_residual_scale(rss, y, X, n, k, rr_arena)) return DIAG_UDEF_VARIANCE;
    const double sigma = std::sqrt(rss / static_cast<double>(m));

    double s = 0.0;
    for (int64_t j = 0; j < m; ++j) {
        s += w[j];
        series[j] = s / sigma;
    }
    return DIAG_OK;
}

extern "C" KVR_API kvr_arena_size_t kvr_recursive_residuals_arena_size(int64_t k) {
    return kvr::arena_record(recursive_len(k));
}

extern "C" KVR_API kvr_arena_size_t kvr_cusum_series_arena_size(int64_t n, int64_t k) {
    return kvr::arena_record(series_len(n, k));
}

// The series arena, then the series (m).
extern "C" KVR_API kvr_arena_size_t kvr_cusum_arena_size(int64_t n, int64_t k) {
    return kvr::arena_record(series_len(n, k) + residual_count(n, k));
}

extern "C" KVR_API KVR_MULTIVERSION int kvr_cusum_stat(const double *y, const double *X, int64_t n,
                                                       int64_t k, double *arena, double *stat) {
    *stat = kNaN;
    if (k < 0) k = 0;
    if (n <= 0 || k >= n) return DIAG_TOO_SHORT;
    const int64_t m = n - k;
    double *series = arena + (n + 5 * k * k + 4 * k);  // after the series_len arena
    int status = kvr_cusum_series(y, X, n, k, arena, series);
    if (status != DIAG_OK) return status;

    // Boundary sqrt(m) + 2j/sqrt(m) with j the 0-based index into the series.
    const double s = std::sqrt(static_cast<double>(m));
    RunningMax g(std::fabs(series[0]) / s);
    for (int64_t j = 1; j < m; ++j)
        g.add(std::fabs(series[j]) / (s + (2.0 * static_cast<double>(j)) / s));
    *stat = g.value();
    return DIAG_OK;
}

// The recursive-residual arena, then w (m).
extern "C" KVR_API kvr_arena_size_t kvr_cusumsq_arena_size(int64_t n, int64_t k) {
    return kvr::arena_record(recursive_len(k) + residual_count(n, k));
}

extern "C" KVR_API KVR_MULTIVERSION int kvr_cusumsq_stat(const double *y, const double *X,
                                                         int64_t n, int64_t k, int64_t *nrec,
                                                         double *arena, double *stat) {
    if (k < 0) k = 0;
    *nrec = k < n ? n - k : 0;
    *stat = kNaN;
    if (n <= 0 || k >= n) return DIAG_TOO_SHORT;
    const int64_t m = n - k;
    double *w = arena + (3 * k * k + 3 * k);  // after the recursive_len arena
    int status = kvr_recursive_residuals(y, X, n, k, arena, w);
    if (status != DIAG_OK) return status;

    // One sequential accumulation, the same as the running sum below, so the
    // last running ratio is exactly T/T = 1. T is the full-sample RSS; when
    // it is rounding noise the ratios would be ratios of noise (or 0/0).
    const double T = sum_sq(w, m);
    if (kvr::variance_out_of_range(T, m) && kvr::all_finite(y, n)) return DIAG_UDEF_VARIANCE;
    if (no_residual_scale(T, y, X, n, k, arena)) return DIAG_UDEF_VARIANCE;

    const double dm = static_cast<double>(m);
    double C = w[0] * w[0];
    RunningMax g(std::fabs(C / T - 1.0 / dm));
    for (int64_t j = 1; j < m; ++j) {
        C = kvr::fma(w[j], w[j], C);
        g.add(std::fabs(C / T - static_cast<double>(j + 1) / dm));
    }
    *stat = g.value() / kSqrt2;
    return DIAG_OK;
}

namespace {

// CUSUM and CUSUM of squares from the recursive residuals w, each statistic
// in the order of its own kernel; bound: the CUSUM boundaries s + 2j/s
// (s = sqrt(m)), then the fractions (j + 1)/m, or null to form them here.
// run: m doubles for the running sum of squares, whose last entry is T
// (sum_sq's one chain), so the ratios below need not wait on it again.
KVR_INLINE int pair_stats(const double *y, const double *X, int64_t n, int64_t k, const double *w,
                          double *arena, double size, const double *bound, double *cusum,
                          double *cusumsq, double *runsq) {
    const int64_t m = n - k;
    double acc = 0.0;
    for (int64_t j = 0; j < m; ++j) runsq[j] = acc = kvr::fma(w[j], w[j], acc);
    const double T = runsq[m - 1];
    if (kvr::variance_out_of_range(T, m) && kvr::all_finite(y, n)) return DIAG_UDEF_VARIANCE;
    if (no_residual_scale(T, y, X, n, k, arena, size)) return DIAG_UDEF_VARIANCE;
    const double sigma = std::sqrt(T / static_cast<double>(m)),
                 s = std::sqrt(static_cast<double>(m));
    double run = w[0];
    RunningMax g(std::fabs(run / sigma) / s);
    const double dm = static_cast<double>(m);
    RunningMax h(std::fabs(runsq[0] / T - 1.0 / dm));
    double v[kStatBlock];
    for (int64_t j0 = 1; j0 < m; j0 += kStatBlock) {
        const int64_t len = m - j0 < kStatBlock ? m - j0 : kStatBlock;
        for (int64_t i = 0; i < len; ++i) v[i] = run += w[j0 + i];
        if (bound) {
            for (int64_t i = 0; i < len; ++i) v[i] = std::fabs(v[i] / sigma) / bound[j0 + i];
        } else {
            for (int64_t i = 0; i < len; ++i) {
                const double j = static_cast<double>(j0 + i);
                v[i] = std::fabs(v[i] / sigma) / (s + (2.0 * j) / s);
            }
        }
        g.add_block(v, len);
        const double *sq = runsq + j0;
        if (bound) {
            const double *frac = bound + m + j0;
            for (int64_t i = 0; i < len; ++i) v[i] = std::fabs(sq[i] / T - frac[i]);
        } else {
            for (int64_t i = 0; i < len; ++i)
                v[i] = std::fabs(sq[i] / T - static_cast<double>(j0 + i + 1) / dm);
        }
        h.add_block(v, len);
    }
    *cusum = g.value();
    *cusumsq = h.value() / kSqrt2;
    return DIAG_OK;
}

}  // namespace

// The tape: its status, the recursion's rotations, then the CUSUM boundaries
// and the CUSUM of squares' fractions.
extern "C" __attribute__((visibility("hidden"))) int64_t kvr_cusum_tape_len(int64_t n, int64_t k) {
    if (k < 0) k = 0;
    return k >= n ? 1 : 1 + (k < 1 ? 0 : tape_len(n, k)) + 2 * (n - k);
}

extern "C" __attribute__((visibility("hidden"))) KVR_MULTIVERSION int kvr_cusum_pair_taped(
    const double *y, const double *X, int64_t n, int64_t k, double *arena, double size,
    int64_t record, double *tape, double *cusum, double *cusumsq) {
    *cusum = *cusumsq = kNaN;
    if (k < 0) k = 0;
    if (n <= 0 || k >= n) return DIAG_TOO_SHORT;
    const int64_t m = n - k;
    double *w = arena + (3 * k * k + 3 * k);
    if (!tape) {  // one response: the recursion, nothing recorded
        const int status = recursion(y, X, n, k, arena, w, nullptr, nullptr);
        if (status != DIAG_OK) return status;
        return pair_stats(y, X, n, k, w, arena, size, nullptr, cusum, cusumsq, w + m);
    }
    double *bound = tape + 1 + (k < 1 ? 0 : tape_len(n, k));
    int status;
    if (record) {
        bool design_failed = false;
        status = recursion(y, X, n, k, arena, w, k < 1 ? nullptr : tape + 1, &design_failed);
        tape[0] = design_failed ? status : DIAG_OK;  // what every response would meet
        const double s = std::sqrt(static_cast<double>(m));
        const double dm = static_cast<double>(m);
        for (int64_t j = 1; j < m; ++j) {
            bound[j] = s + (2.0 * static_cast<double>(j)) / s;
            bound[m + j] = static_cast<double>(j + 1) / dm;
        }
    } else {
        status = static_cast<int>(tape[0]);
        if (status == DIAG_OK) {
            if (k < 1) {
                status = recursion(y, X, n, k, arena, w, nullptr, nullptr);
            } else {
                replay(y, n, k, tape + 1, arena, w);
                if (!kvr::all_finite(w, m) && kvr::all_finite(y, n) && kvr::all_finite(X, n * k))
                    status = DIAG_FALLBACK;
            }
        }
    }
    if (status != DIAG_OK) return status;
    return pair_stats(y, X, n, k, w, arena, size, bound, cusum, cusumsq, w + m);
}

namespace {

// 2 * (1 - Phi(2x) + exp(-4x^2) Phi(x)), clamped to 1.
KVR_INLINE double cusum_sf(double x) {
    const double A = std::erfc((x + x) / kSqrt2);
    const double B = std::exp(x * x * -4.0);
    const double E = std::erf(x / kSqrt2);
    const double t = kvr::fma(E, 0.5, 0.5);
    const double S = kvr::fma(t, B, A * 0.5);
    const double r = S + S;
    // IEEE minimumNumber: a NaN sum (NaN x) gives 1.0, as the numba route does.
    return std::fmin(r, 1.0);
}

}  // namespace

extern "C" KVR_API double kvr_cusum_sf(double x) { return cusum_sf(x); }

extern "C" KVR_API void kvr_cusum_sf_into(const double *a, int64_t n, double *out) {
    for (int64_t i = 0; i < n; ++i) out[i] = cusum_sf(a[i]);
}
