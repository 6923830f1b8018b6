// Column means and centering over axis 0.
#include "diag.h"
#include "kvr_simd.hpp"

// Rows are walked in memory order with the column loop innermost, so every
// column's additions stay in row order while the loop vectorises across
// columns.
extern "C" KVR_API KVR_MULTIVERSION void kvr_fill_mean_ax0(const double *x, int64_t n, int64_t p,
                                                          double *mean) {
    if (p <= 0) return;
    double *__restrict m = mean;
    for (int64_t j = 0; j < p; ++j) m[j] = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        const double *__restrict row = x + i * p;
        for (int64_t j = 0; j < p; ++j) m[j] += row[j];
    }
    const double dn = static_cast<double>(n);
    for (int64_t j = 0; j < p; ++j) m[j] = m[j] / dn;
}

extern "C" KVR_API KVR_MULTIVERSION void kvr_fill_centered_ax0(const double *x, const double *mean,
                                                              int64_t n, int64_t p,
                                                              double *centered) {
    if (p <= 0) return;
    const double *__restrict m = mean;
    for (int64_t i = 0; i < n; ++i) {
        const double *__restrict row = x + i * p;
        double *__restrict out = centered + i * p;
        for (int64_t j = 0; j < p; ++j) out[j] = row[j] - m[j];
    }
}
