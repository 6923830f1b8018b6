// Internal: when a least-squares result is trustworthy enough to report.
#ifndef KVR_DIAG_GUARD_HPP
#define KVR_DIAG_GUARD_HPP

#include <cmath>
#include <cstdint>

#include "linalg.h"
#include "kvr_simd.hpp"

namespace kvr {

// Estimated condition numbers of the diagonally scaled cross-product matrix
// above which a result is refused (DIAG_FALLBACK). Scaling makes them
// independent of the units of the regressors. Against 60-digit references,
// statistics solved from the normal equations stayed within 1e-9 below
// 1e12 and broke 1e-8 from about 1e13 on. The recursion only tests its
// first block this way and then works on the rows themselves, whose error
// grows with the square root of this number: it stayed within 2e-11 up to
// the pivot test's own limit (~1e15), and its limit leaves a margin below that.
constexpr double kMaxCondNormal = 1e12;
constexpr double kMaxCondRecursion = 1e14;

// After a successful Cholesky factorisation L of the k x k matrix G;
// work: 2k doubles. A NaN estimate (NaN data) passes, so NaN propagates into
// the statistic as before.
KVR_INLINE bool too_ill_conditioned(const double *G, const double *L, int64_t k, double *work,
                                    double limit = kMaxCondNormal) {
    return k > 1 && kvr_chol_rcond(G, L, k, work) * limit < 1.0;
}

// A residual sum of squares of at most 16 rounding units of the sum of
// squares of the response counts as 0. Exact fits leave far less (below
// 1e-3 units after the normal equations at the condition limit, 1e-13 from
// the rotations); a real residual that small is within a few 1e-9 of the
// rounding of y itself, so no double-precision route resolves it to 1e-8.
constexpr double kExactFitEps = 16.0 * 2.220446049250313e-16;

KVR_INLINE bool is_exact_fit(double rss, double yy) {
    return std::isfinite(yy) && rss <= kExactFitEps * yy;
}

}  // namespace kvr

#endif
