/* Kernels for Breusch-Godfrey, Breusch-Pagan and Chow.
 *
 * Every kernel takes its scratch memory from a caller arena of at least the
 * length its kvr_*_arena_size returns for the same sizes (a null arena when
 * that length is below 1; the convention of kvr_api.h). Sizes below 0 count
 * as 0.
 *
 * DIAG_FALLBACK: the normal equations failed the Cholesky pivot test or their
 * diagonally scaled matrix has an estimated condition number above 1e12
 * (kvr_chol_rcond), so the statistic would not be accurate to about 1e-8;
 * also when a column's mean square is subnormal or infinite (columns below
 * about 1e-154 or above about 1e154 in size), whose products lose digits. */
#ifndef KVR_DIAG_REGRESSION_H
#define KVR_DIAG_REGRESSION_H

#include "kvr_api.h"

KVR_EXTERN_C_BEGIN

/* ---- Breusch-Godfrey: n*R^2 of eps on [1, X, eps lagged 1..lags] ---- */
KVR_API kvr_arena_size_t kvr_bg_arena_size(int64_t n, int64_t k, int64_t lags);
/* 0, DIAG_FALLBACK (stat untouched), DIAG_TOO_SHORT for lags >= n and
 * DIAG_BAD_LAG for lags < 0 (both with a NaN stat). X has n rows of k. */
KVR_API int kvr_bg_stat(const double *eps, const double *X, int64_t n, int64_t k, int64_t lags,
                        double *arena, double *stat);

/* ---- Breusch-Pagan: regression of eps^2/mean(eps^2) on X_aug ---- */
KVR_API kvr_arena_size_t kvr_bp_arena_size(int64_t n, int64_t p);
/* 0, DIAG_FALLBACK, DIAG_TOO_SHORT (n = 0), DIAG_UDEF_VARIANCE (n < 0 or a
 * mean squared residual that is not positive and finite); rss and tss are
 * written only on 0. */
KVR_API int kvr_bp_aux(const double *eps, const double *X_aug, int64_t n, int64_t p, double *arena,
                       double *rss, double *tss);
/* Public, not called inside the package (the battery forms both statistics
 * from kvr_bp_aux). studentize != 0: n*R^2 (R^2 clamped to [0, 1]); 0: half the explained sum
 * of squares (at least 0). The stat is NaN unless the status is 0. */
KVR_API int kvr_bp_stat(const double *eps, const double *X_aug, int64_t n, int64_t p,
                        int64_t studentize, double *arena, double *stat);

/* ---- Chow break-point F test at row t_break ---- */
KVR_API kvr_arena_size_t kvr_chow_arena_size(int64_t k);
/* 0, DIAG_FALLBACK (stat untouched; also when the three residual sums of
 * squares are too close to their rounding error for F), DIAG_TOO_SHORT
 * (n <= 2k), DIAG_BAD_ARG (t_break outside 1..n-1) and DIAG_UDEF_VARIANCE
 * (the pooled fit exact: RSS at most 32 eps times the sum of y^2; or sums of
 * squares beyond the range of doubles: a variance that is infinite or below
 * DBL_MIN, NaN sums from finite data, an infinite F from a non-zero within
 * sum), all three with a NaN stat. A segment RSS that small counts as 0, so F may be inf;
 * F is never negative. */
KVR_API int kvr_chow_stat(const double *y, const double *X, int64_t n, int64_t k, int64_t t_break,
                          double *arena, double *stat);

KVR_EXTERN_C_END

#endif
