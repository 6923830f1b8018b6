// The 1-norm of a symmetric matrix scaled to a unit diagonal, which both the
// condition estimate and the guard's bound on it start from.
#ifndef KVR_SCALED_HPP
#define KVR_SCALED_HPP

#include <cmath>
#include <cstdint>
#include <cstring>

#include "kvr_simd.hpp"

namespace kvr {

// ||S||_1 for S = D^-1/2 A D^-1/2, D = diag(A), from A's lower triangle
// walked row by row: d = D^-1/2 and sums = S's column sums of |S| (n each).
// NaN when a sum is NaN. n may come as a compile-time constant.
template <class N>
KVR_INLINE double scaled_norm1(const double *A, N n_, double *d, double *sums) {
    const int64_t n = n_;
    for (int64_t i = 0; i < n; ++i) d[i] = 1.0 / std::sqrt(A[i * n + i]);
    std::memset(sums, 0, static_cast<size_t>(n) * sizeof(double));
    for (int64_t i = 0; i < n; ++i) {
        const double *Ai = A + i * n;
        for (int64_t j = 0; j < i; ++j) {
            const double s = std::fabs(Ai[j]) * d[i] * d[j];
            sums[i] += s;
            sums[j] += s;
        }
        sums[i] += std::fabs(Ai[i]) * d[i] * d[i];
    }
    double norm = sums[0];
    for (int64_t i = 1; i < n; ++i) norm = sums[i] > norm || sums[i] != sums[i] ? sums[i] : norm;
    return norm;
}

}  // namespace kvr

#endif
