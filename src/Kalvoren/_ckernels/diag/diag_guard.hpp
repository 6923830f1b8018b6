// Internal: when a least-squares result is trustworthy enough to report.
#ifndef KVR_DIAG_GUARD_HPP
#define KVR_DIAG_GUARD_HPP

#include <cmath>
#include <cstdint>

#include "kvr_scaled.hpp"
#include "kvr_simd.hpp"
#include "linalg.h"

namespace kvr {

constexpr double kEps = 2.220446049250313e-16;

// Estimated condition numbers of the diagonally scaled cross-product matrix
// above which a result is refused (DIAG_FALLBACK). Scaling makes them
// independent of the units of the regressors. Against 60-digit references,
// statistics solved from the normal equations stayed within 1e-9 below
// 1e12 and broke 1e-8 from about 1e13 on. The recursion only tests its
// first block this way and then works on the rows themselves: it stayed
// within 2e-11 up to the pivot test's own limit (~1e15); its limit keeps a
// margin below that.
constexpr double kMaxCondNormal = 1e12;
constexpr double kMaxCondRecursion = 1e14;

// rcond from kvr_chol_rcond. A NaN estimate (NaN data) passes, so NaN
// propagates into the statistic as before.
KVR_INLINE bool too_ill_conditioned(double rcond, double limit = kMaxCondNormal) {
    return rcond * limit < 1.0;
}

// An upper bound on the condition number that kvr_chol_rcond estimates,
// ||S||_1 ||S^-1||_1 for S = D^-1/2 G D^-1/2, D = diag(G), G = L L' (k x k,
// work 2k doubles): with T = D^-1/2 L, ||S^-1||_1 <= ||T^-1||_inf ||T^-1||_1,
// and each is bounded by one triangular solve on T's comparison matrix,
// whose inverse dominates |T^-1| (Higham, Accuracy and Stability of
// Numerical Algorithms, 2nd ed., sec. 8.2). Sums of positive terms: its
// rounding is a few units in the last place. NaN for NaN data.
KVR_INLINE double cond_upper_bound(const double *G, const double *L, int64_t k, double *work) {
    double *d = work, *x = work + k;  // d = D^-1/2
    const double anorm = scaled_norm1(G, k, d, x);
    // M(T) x = 1 forwards, then M(T)' x = 1 backwards, each with its largest entry
    double rows = 0.0, cols = 0.0;
    for (int64_t i = 0; i < k; ++i) {
        double s = 1.0;
        for (int64_t j = 0; j < i; ++j) s += std::fabs(L[i * k + j]) * d[i] * x[j];
        x[i] = s / (std::fabs(L[i * k + i]) * d[i]);
        rows = x[i] > rows || x[i] != x[i] ? x[i] : rows;
    }
    for (int64_t i = k - 1; i >= 0; --i) {
        double s = 1.0;
        for (int64_t j = i + 1; j < k; ++j) s += std::fabs(L[j * k + i]) * d[j] * x[j];
        x[i] = s / (std::fabs(L[i * k + i]) * d[i]);
        cols = x[i] > cols || x[i] != x[i] ? x[i] : cols;
    }
    return anorm * rows * cols;
}

// too_ill_conditioned(kvr_chol_rcond(G, L, k, work), limit), the same answer
// sooner: the estimate never exceeds the bound above, which clears most
// factors with a twentieth of the estimate's work (its iteration waits on
// chains of divisions: 1.1-1.4 us at k = 7). A factor of 2 covers both
// roundings. k > 1.
KVR_INLINE bool factor_too_ill_conditioned(const double *G, const double *L, int64_t k,
                                           double *work, double limit = kMaxCondNormal) {
    if (cond_upper_bound(G, L, k, work) * 2.0 < limit) return false;
    return too_ill_conditioned(kvr_chol_rcond(G, L, k, work), limit);
}

// The recursion's first block: G and its factor L (k x k), work 2k doubles.
KVR_INLINE bool first_block_ill_conditioned(const double *G, const double *L, int64_t k,
                                            double *work) {
    return k > 1 && factor_too_ill_conditioned(G, L, k, work, kMaxCondRecursion);
}

// An exact fit, as far as double precision can tell. The residual of a
// backward-stable fit (Householder QR, plane rotations) is the exact residual
// of data perturbed by a few rounding units, so an exact fit leaves |e| of
// order eps * size, size = |y| + sum_j |x_j| |beta_j| (the terms that cancel
// in the residuals), whatever the condition of X; normal equations add their
// condition, 1 / sqrt(rcond) of the scaled cross-product matrix. On exact
// fits of 8 to 5000 rows (trends to degree 6, columns 1e-5 to 1e5, Wampler 1
// and 2) every route left |e| below 0.25 sqrt(n) eps size, so 8 sqrt(n)
// keeps a margin of 30 while a real residual of 1 on a level of 1e10 stays
// far above the line (a rule relative to sum(y^2) alone called it exact).
constexpr double kExactFitFactor = 8.0;

KVR_INLINE bool is_exact_fit(double rss, double size, int64_t n, double rcond = 1.0) {
    if (!(std::isfinite(size) && rcond > 0.0)) return false;
    const double rows = static_cast<double>(n > 1 ? n : 1);
    return std::sqrt(rss) <= kExactFitFactor * kEps * size * std::sqrt(rows / rcond);
}

// A bound on the rounding error of a residual sum of squares rss computed
// from normal equations with condition estimate 1/rcond, where size is
// |y| + sum_j |x_j| |beta_j|, the size of the terms that cancel in the
// residuals: eps^2 size^2 / rcond from the solution, eps size sqrt(rss) from
// forming the residuals. Over a few hundred fits against 60-digit references
// the actual error stayed below 1.5 times this, mostly far below.
// A statistic built from such sums is refused when they are not at least
// 1/kMaxSumErr times larger than their bounds.
constexpr double kMaxSumErr = 1e-9;

KVR_INLINE double rss_error(double rss, double size, double rcond) {
    return kEps * size * (kEps * size / rcond + std::sqrt(rss));
}

}  // namespace kvr

#endif
