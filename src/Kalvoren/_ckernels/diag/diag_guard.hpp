// Internal: when a least-squares result is trustworthy enough to report.
#ifndef KVR_DIAG_GUARD_HPP
#define KVR_DIAG_GUARD_HPP

#include <cmath>
#include <cstdint>

#include "linalg.h"
#include "kvr_simd.hpp"

namespace kvr {

// Normal equations whose diagonally scaled matrix has an estimated condition
// number above this are refused (DIAG_FALLBACK): beyond it the statistics
// computed from their solution lose the 1e-8 relative accuracy a status of 0
// promises. Scaling makes it independent of the units of the regressors.
constexpr double kMaxScaledCond = 1e12;

// After a successful Cholesky factorisation L of the k x k normal matrix G;
// work: 2k doubles. A NaN estimate (NaN data) passes, so NaN propagates into
// the statistic as before.
KVR_INLINE bool too_ill_conditioned(const double *G, const double *L, int64_t k, double *work) {
    return k > 1 && kvr_chol_rcond(G, L, k, work) * kMaxScaledCond < 1.0;
}

// A residual sum of squares below this many rounding units of the sum of
// squares of the response is what an exact fit leaves behind, and counts as 0.
constexpr double kExactFitEps = 16.0 * 2.220446049250313e-16;

KVR_INLINE bool is_exact_fit(double rss, double yy) {
    return std::isfinite(yy) && rss <= kExactFitEps * yy;
}

}  // namespace kvr

#endif
