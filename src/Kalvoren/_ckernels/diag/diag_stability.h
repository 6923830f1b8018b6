/* Kernels for recursive residuals, CUSUM and CUSUM of squares.
 *
 * y has n entries, X is n x k row-major; m = n - k recursive residuals belong
 * to observations k .. n-1. A k below 0 counts as 0 regressors; n <= 0 or
 * k >= n is DIAG_TOO_SHORT. Each kernel's arena length comes from its size
 * function (the convention of kvr_api.h); the layouts, in doubles:
 *   kvr_recursive_residuals  kvr_recursive_residuals_arena_size: 3k^2 + 3k of scratch
 *                            (the first block's cross-product matrix and factor, then
 *                            the triangle of the rotations)
 *   kvr_cusum_series         kvr_cusum_series_arena_size: w (m), 2k^2 + 2k unused, then
 *                            the recursive-residual arena
 *   kvr_cusum_stat           kvr_cusum_arena_size: the series arena, then the series (m)
 *   kvr_cusumsq_stat         kvr_cusumsq_arena_size: the recursive-residual arena, then w (m)
 *
 * The recursion rotates each observation into a triangular factor of the
 * rows before it (no inverse is updated), starting from the first k rows.
 * Statuses: DIAG_OK; DIAG_TOO_SHORT; DIAG_FALLBACK when the first k rows are
 * rank-deficient (their cross-product matrix fails the Cholesky pivot test)
 * or too ill-conditioned (scaled condition estimate above 1e14), when their
 * squares leave the range of doubles, or when finite data give non-finite
 * recursive residuals (the rotated response overflowed);
 * DIAG_UDEF_VARIANCE from the CUSUM kernels when the full-sample RSS (the sum
 * of the squared recursive residuals) is at most 32 eps times the sum of
 * y^2: an exact fit, whose recursive residuals kvr_recursive_residuals
 * returns as rounding noise with status 0; also when RSS / m is infinite or
 * below DBL_MIN (squares beyond the range of doubles). On a non-zero status w and series
 * hold unspecified values and the statistics are NaN. */
#ifndef KVR_DIAG_STABILITY_H
#define KVR_DIAG_STABILITY_H

#include "kvr_api.h"

KVR_EXTERN_C_BEGIN

KVR_API kvr_arena_size_t kvr_recursive_residuals_arena_size(int64_t k);
KVR_API int kvr_recursive_residuals(const double *y, const double *X, int64_t n, int64_t k,
                                    double *arena, double *w);
KVR_API kvr_arena_size_t kvr_cusum_series_arena_size(int64_t n, int64_t k);
KVR_API int kvr_cusum_series(const double *y, const double *X, int64_t n, int64_t k, double *arena,
                             double *series);
KVR_API kvr_arena_size_t kvr_cusum_arena_size(int64_t n, int64_t k);
KVR_API int kvr_cusum_stat(const double *y, const double *X, int64_t n, int64_t k, double *arena,
                           double *stat);

KVR_API kvr_arena_size_t kvr_cusumsq_arena_size(int64_t n, int64_t k);
/* Writes the count of recursive residuals (n - k, or 0) and the statistic
 * (NaN on failure) on every path. */
KVR_API int kvr_cusumsq_stat(const double *y, const double *X, int64_t n, int64_t k, int64_t *nrec,
                             double *arena, double *stat);

/* Durbin's CUSUM survival function, clamped to at most 1. NaN stays NaN. */
KVR_API double kvr_cusum_sf(double x);
KVR_API void kvr_cusum_sf_into(const double *a, int64_t n, double *out);

KVR_EXTERN_C_END

#endif
