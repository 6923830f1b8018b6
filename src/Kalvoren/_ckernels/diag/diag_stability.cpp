// Brown-Durbin-Evans recursive residuals, CUSUM and CUSUM of squares, and
// Durbin's CUSUM survival function.
#include <cmath>
#include <cstring>
#include <limits>

#include "diag.h"
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

// The recursion's inner products sit on the critical path of every step
// (u = P x, then x'u, then the update). From 8 terms on they run as four
// interleaved FMA chains, term j in chain j % 4, which quarters their latency;
// shorter ones are one chain like the textbook loop.
KVR_INLINE double dot_step(const double *a, const double *b, int64_t n) {
    return n < 8 || n >= 32 ? dot(a, b, n) : kvr::dot4(a, b, n);
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

// The recursion adds one observation at a time to P = (X'X)^-1 and beta with
// the Sherman-Morrison update, O(k^2) per step instead of a refit.
extern "C" KVR_API KVR_MULTIVERSION int kvr_recursive_residuals(const double *y, const double *X,
                                                              int64_t n, int64_t k,
                                                              double *arena, double *w) {
    if (k < 0) k = 0;
    if (n <= 0 || k >= n) return DIAG_TOO_SHORT;
    const int64_t m = n - k, kk = k * k;
    double *G = arena, *L = G + kk, *P = L + kk;
    double *h = P + kk, *beta = h + k, *u = beta + k;

    kvr_gram(X, G, k, k);
    kvr_gram_rhs(X, y, h, k, k);
    if (kvr_chol_inv(G, P, L, k) != 0) return DIAG_FALLBACK;
    if (k < 1) {
        std::memcpy(w, y, static_cast<size_t>(m) * sizeof(double));
        return DIAG_OK;
    }
    for (int64_t i = 0; i < k; ++i) beta[i] = dot(P + i * k, h, k);

    for (int64_t j = 0; j < m; ++j) {
        const double *x = X + (k + j) * k;
        const double e = y[k + j] - dot_step(x, beta, k);
        for (int64_t l = 0; l < k; ++l) u[l] = dot_step(P + l * k, x, k);
        const double v = 1.0 + dot_step(x, u, k);
        // In exact arithmetic v >= 1; v <= 0 means rounding has destroyed
        // the definiteness of P. NaN (from NaN data) propagates instead.
        if (v <= 0.0) return DIAG_FALLBACK;
        w[j] = e / std::sqrt(v);
        const double c = 1.0 / v, ce = c * e;
        for (int64_t l = 0; l < k; ++l) beta[l] = kvr::fma(ce, u[l], beta[l]);
        for (int64_t l = 0; l < k; ++l) {
            const double s = -(c * u[l]);
            double *__restrict row = P + l * k;
            for (int64_t i = 0; i < k; ++i) row[i] = kvr::fma(s, u[i], row[i]);
        }
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
    double rss[4] = {0, 0, 0, 0};
    for (int64_t i = 0; i < n; ++i) {
        const double r = y[i] - dot(X + i * k, beta, k);
        rss[i & 3] = kvr::fma(r, r, rss[i & 3]);
    }
    const double sigma = std::sqrt(((rss[0] + rss[1]) + (rss[2] + rss[3])) / static_cast<double>(m));
    // A perfect fit leaves no scale to standardise by.
    if (sigma == 0.0) return DIAG_UDEF_VARIANCE;

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
    // All residuals zero: the ratios would be 0/0.
    if (T == 0.0) return DIAG_UDEF_VARIANCE;

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
