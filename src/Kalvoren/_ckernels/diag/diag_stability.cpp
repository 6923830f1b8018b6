// Brown-Durbin-Evans recursive residuals, CUSUM and CUSUM of squares, and
// Durbin's CUSUM survival function.
#include <cmath>
#include <cstring>
#include <limits>

#include "diag.h"
#include "diag_guard.hpp"
#include "kvr_simd.hpp"
#include "kvr_size.hpp"
#include "kvr_vec.hpp"

namespace {

constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Fused-multiply-add inner product (interleaved partial sums when long).
KVR_INLINE double dot(const double *a, const double *b, int64_t n) {
    return kvr::dot_acc<1>(0.0, a, b, n);
}

// Square-root-free plane rotations (Gentleman) on the triangle of the rows
// seen so far: R is unit upper triangular with the response as an extra
// column, k x (k + 1), row i holding entries i+1..k; row i carries the
// squared scale d_i. Folding in an observation xw = [x', y] (overwritten)
// eliminates x against R, which leaves y - x'beta in xw[k], and returns the
// weight 1 / (1 + x'(X'X)^-1 x). Each entry of R is updated as a convex
// combination of its old value and the incoming one, which stays accurate
// even when a rotation nearly swaps the two rows.

// The first rows: empty rows of the triangle (d = 0) are filled by the
// first non-zero entry that reaches them, after which nothing is left.
KVR_INLINE void fold_first(double *__restrict R, double *__restrict d, double *__restrict xw,
                           int64_t k) {
    double wt = 1.0;
    for (int64_t i = 0; i < k && wt != 0.0; ++i) {
        const double xi = xw[i];
        if (xi == 0.0) continue;
        const double di = d[i], wxi = wt * xi, dn = kvr::fma(wxi, xi, di);
        const double c = di / dn, s = wxi / dn;
        wt *= c;
        d[i] = dn;
        double *__restrict r = R + i * (k + 1);
        for (int64_t j = i + 1; j <= k; ++j) {
            const double xj = xw[j];
            xw[j] = kvr::fma(-xi, r[j], xj);
            r[j] = kvr::fma(c, r[j], s * xj);
        }
    }
}

// Later rows, once every d_i > 0, with dinv = 1/d. Written in u = 1/weight,
// which grows by x_i^2 / d_i row by row: the only dependency from one row to
// the next is then a fused multiply-add (the divisions hang off it), where
// the weight itself would chain a division per row.
KVR_INLINE double fold(double *__restrict R, double *__restrict dinv, double *__restrict xw,
                       int64_t k) {
    double u = 1.0, q = 1.0;
    for (int64_t i = 0; i < k; ++i) {
        const double xi = xw[i], t = xi * dinv[i], un = kvr::fma(t, xi, u);
        q = 1.0 / un;
        const double c = u * q, s = t * q;  // d_i/d_i' and x_i/d_i'
        dinv[i] *= c;
        u = un;
        double *__restrict r = R + i * (k + 1);
        for (int64_t j = i + 1; j <= k; ++j) {
            const double xj = xw[j];
            xw[j] = kvr::fma(-xi, r[j], xj);
            r[j] = kvr::fma(c, r[j], s * xj);
        }
    }
    return q;
}

// a*k^2 + b*k + c, saturating at INT64_MAX; a negative k counts as 0 (callers
// clamp the terms of c the same way).
kvr_arena_size_t saturating_len(int64_t k, int64_t a, int64_t b, kvr::Checked c) {
    const kvr::Checked kc(k < 0 ? 0 : k);
    return kvr_arena_size_t{(a * (kc * kc) + b * kc + c).saturated(), 0};
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
};

}  // namespace

// The recursion carries an orthogonal factor of the rows seen so far and
// adds each observation by plane rotations, O(k^2) per step: the recursive
// residual falls out of the rotated response, with no inverse to lose
// accuracy along the sample. The first k rows decide FALLBACK through their
// cross-product matrix (pivot test and condition guard), but the recursion
// starts from their rotations, not from that Cholesky factor.
extern "C" KVR_API KVR_MULTIVERSION int kvr_recursive_residuals(const double *y, const double *X,
                                                              int64_t n, int64_t k,
                                                              double *arena, double *w) {
    if (k < 0) k = 0;
    if (n <= 0 || k >= n) return DIAG_TOO_SHORT;
    const int64_t m = n - k, kk = k * k;
    if (k < 1) {
        std::memcpy(w, y, static_cast<size_t>(m) * sizeof(double));
        return DIAG_OK;
    }
    // G, L (k*k each), R (k*(k+1)), d (k), then k doubles of scratch; once the
    // first block is checked, G and L hold the working row.
    double *G = arena, *L = G + kk, *R = L + kk, *d = R + kk + k, *xw = arena;

    kvr_gram(X, G, k, k);
    if (kvr_chol(G, L, k, 0.0) != 0) return DIAG_FALLBACK;
    if (kvr::too_ill_conditioned(G, L, k, d)) return DIAG_FALLBACK;

    std::memset(R, 0, static_cast<size_t>(kk + 2 * k) * sizeof(double));  // R and d
    auto load = [&](int64_t t) __attribute__((always_inline)) {
        std::memcpy(xw, X + t * k, static_cast<size_t>(k) * sizeof(double));
        xw[k] = y[t];
    };
    for (int64_t t = 0; t < k; ++t) {
        load(t);
        fold_first(R, d, xw, k);
    }
    for (int64_t i = 0; i < k; ++i) {
        if (d[i] == 0.0) return DIAG_FALLBACK;  // a direction the first rows never filled
        d[i] = 1.0 / d[i];
    }

    for (int64_t j = 0; j < m; ++j) {
        load(k + j);
        const double wt = fold(R, d, xw, k);
        w[j] = xw[k] * std::sqrt(wt);
    }
    return DIAG_OK;
}

extern "C" KVR_API KVR_MULTIVERSION int kvr_cusum_series(const double *y, const double *X,
                                                       int64_t n, int64_t k, double *arena,
                                                       double *series) {
    if (k < 0) k = 0;
    if (n <= 0 || k >= n) return DIAG_TOO_SHORT;
    const int64_t m = n - k, kk = k * k;
    double *w = arena, *G = w + m, *L = G + kk, *h = L + kk, *beta = h + k;
    double *rr_arena = beta + k;

    int status = kvr_recursive_residuals(y, X, n, k, rr_arena, w);
    if (status != DIAG_OK) return status;

    kvr_gram(X, G, n, k);
    kvr_gram_rhs(X, y, h, n, k);
    if (kvr_chol_solve(G, h, beta, L, k) != 0) return DIAG_FALLBACK;
    if (kvr::too_ill_conditioned(G, L, k, rr_arena)) return DIAG_FALLBACK;
    double rss[4] = {0, 0, 0, 0}, yy[4] = {0, 0, 0, 0};
    for (int64_t i = 0; i < n; ++i) {
        const double r = y[i] - dot(X + i * k, beta, k);
        rss[i & 3] = kvr::fma(r, r, rss[i & 3]);
        yy[i & 3] = kvr::fma(y[i], y[i], yy[i & 3]);
    }
    const double RSS = (rss[0] + rss[1]) + (rss[2] + rss[3]);
    // A perfect fit, up to rounding, leaves no scale to standardise by.
    if (kvr::is_exact_fit(RSS, (yy[0] + yy[1]) + (yy[2] + yy[3]))) return DIAG_UDEF_VARIANCE;
    const double sigma = std::sqrt(RSS / static_cast<double>(m));

    double s = 0.0;
    for (int64_t j = 0; j < m; ++j) {
        s += w[j];
        series[j] = s / sigma;
    }
    return DIAG_OK;
}

extern "C" KVR_API kvr_arena_size_t kvr_cusum_arena_size(int64_t n, int64_t k) {
    // 2n + 3k + 5k^2
    return saturating_len(k, 5, 3, 2 * kvr::Checked(n < 0 ? 0 : n));
}

extern "C" KVR_API KVR_MULTIVERSION int kvr_cusum_stat(const double *y, const double *X,
                                                     int64_t n, int64_t k, double *arena,
                                                     double *stat) {
    *stat = kNaN;
    if (k < 0) k = 0;
    if (n <= 0 || k >= n) return DIAG_TOO_SHORT;
    const int64_t m = n - k;
    double *series = arena + (n + 5 * k * k + 4 * k);
    int status = kvr_cusum_series(y, X, n, k, arena, series);
    if (status != DIAG_OK) return status;

    // Boundary sqrt(m) + 2j/sqrt(m) with j the 0-based index into the series.
    const double s = std::sqrt(static_cast<double>(m));
    RunningMax g(std::fabs(series[0]) / s);
    for (int64_t j = 1; j < m; ++j) g.add(std::fabs(series[j]) / (s + (2.0 * static_cast<double>(j)) / s));
    *stat = g.value();
    return DIAG_OK;
}

extern "C" KVR_API kvr_arena_size_t kvr_cusumsq_arena_size(int64_t n, int64_t k) {
    return saturating_len(k, 3, 2, n < 0 ? 0 : n);
}

extern "C" KVR_API KVR_MULTIVERSION int kvr_cusumsq_stat(const double *y, const double *X,
                                                       int64_t n, int64_t k, int64_t *nrec,
                                                       double *arena, double *stat) {
    if (k < 0) k = 0;
    *nrec = k < n ? n - k : 0;
    *stat = kNaN;
    if (n <= 0 || k >= n) return DIAG_TOO_SHORT;
    const int64_t m = n - k;
    double *w = arena + (3 * k * k + 3 * k);
    int status = kvr_recursive_residuals(y, X, n, k, arena, w);
    if (status != DIAG_OK) return status;

    // One sequential accumulation, the same as the running sum below, so the
    // last running ratio is exactly T/T = 1.
    double T = 0.0;
    for (int64_t j = 0; j < m; ++j) T = kvr::fma(w[j], w[j], T);
    // T is the full-sample RSS. All residuals zero up to rounding (an exact
    // fit): the ratios would be ratios of noise, or 0/0.
    double yy[4] = {0, 0, 0, 0};
    for (int64_t i = 0; i < n; ++i) yy[i & 3] = kvr::fma(y[i], y[i], yy[i & 3]);
    if (T == 0.0 || kvr::is_exact_fit(T, (yy[0] + yy[1]) + (yy[2] + yy[3])))
        return DIAG_UDEF_VARIANCE;

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
