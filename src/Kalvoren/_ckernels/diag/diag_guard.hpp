// Internal: when a least-squares result is trustworthy enough to report.
#ifndef KVR_DIAG_GUARD_HPP
#define KVR_DIAG_GUARD_HPP

#include <cmath>
#include <cstdint>

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

// The recursion's first block: G and its factor L (k x k), work 2k doubles.
KVR_INLINE bool first_block_ill_conditioned(const double *G, const double *L, int64_t k,
                                            double *work) {
    return k > 1 && too_ill_conditioned(kvr_chol_rcond(G, L, k, work), kMaxCondRecursion);
}

// A residual sum of squares of at most 32 rounding units of the sum of
// squares of the response counts as 0: the fit is exact as far as double
// precision can tell. Exact fits leave far less (below 1e-3 units after the
// normal equations at the condition limit, 1e-13 after the rotations). Real
// residuals that small are known no better than rounding y allows, about
// eps |y| / |r|: recursive residuals and CUSUM paths were off by up to 2e-8
// at 2.4 units, an error that falls as 1/sqrt(units), so 5e-9 at the limit.
constexpr double kExactFitUnits = 32.0;

KVR_INLINE bool is_exact_fit(double rss, double yy) {
    return std::isfinite(yy) && rss <= kExactFitUnits * kEps * yy;
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
