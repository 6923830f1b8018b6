/* The residual battery of one regression: equilibration, a QR fit and every
 * test of the family kernels on the fitted residuals, in one call.
 *
 * y has n entries, X is n x k row-major (constant included, at column
 * const_col; const_col < 0: none). The arena holds at least
 * kvr_battery_arena_size(n, k, lags).arena_len doubles (no pivot array: the
 * few pivots the HAC Wald step needs come from the arena too); an arena
 * sized for some n also serves every smaller n with the same k and lags.
 * out has KVR_BAT_NFIELDS entries, beta and se k each. */
#ifndef KVR_DIAG_BATTERY_H
#define KVR_DIAG_BATTERY_H

#include "kvr_api.h"

KVR_EXTERN_C_BEGIN

/* test bits */
#define KVR_BAT_BG 1 /* Breusch-Godfrey */
#define KVR_BAT_BP 2 /* Breusch-Pagan, both forms */
#define KVR_BAT_CHOW 4
#define KVR_BAT_CUSUM 8
#define KVR_BAT_CUSUMSQ 16
#define KVR_BAT_LB 32   /* Ljung-Box */
#define KVR_BAT_JB 64   /* Jarque-Bera */
#define KVR_BAT_HAC 128 /* HAC Wald test that all slope coefficients are zero */
#define KVR_BAT_ALL 255

/* Largest 1-norm condition number of the equilibrated R factor that the
 * kernel route accepts (1e12 on the normal matrix the test kernels form). */
#define KVR_BAT_COND_MAX 1e6

/* Fields of the per-series output record. Statuses are stored as doubles; a
 * test not selected has status and statistic NaN. */
enum {
    KVR_BAT_FIT_STATUS = 0, /* 0; DIAG_FALLBACK: equilibrated design rank-deficient or
                               cond > KVR_BAT_COND_MAX; DIAG_TOO_SHORT: n <= k or n < 1;
                               DIAG_UDEF_VARIANCE: non-finite data; DIAG_BAD_ARG: const_col
                               >= k or not a constant column. Not 0: no test runs, every
                               selected test has this status and every statistic is NaN. */
    KVR_BAT_N,              /* n */
    KVR_BAT_K,              /* k */
    KVR_BAT_COND,           /* 1-norm condition number of the equilibrated R (via R^-1) */
    KVR_BAT_RSS,            /* residual sum of squares, in the units of y */
    KVR_BAT_TSS,            /* about the mean with a constant column, else uncentred */
    KVR_BAT_R2,             /* 1 - RSS/TSS (NaN when TSS = 0) */
    KVR_BAT_BG_STATUS,
    KVR_BAT_BG_STAT, /* df = lags */
    KVR_BAT_BP_STATUS,
    KVR_BAT_BP_STAT,
    KVR_BAT_BPK_STAT, /* 0.5*ESS, Koenker n*R^2 */
    KVR_BAT_CHOW_STATUS,
    KVR_BAT_CHOW_STAT, /* F, df = (k, n - 2k) */
    KVR_BAT_CUSUM_STATUS,
    KVR_BAT_CUSUM_STAT,
    KVR_BAT_CUSUMSQ_STATUS,
    KVR_BAT_CUSUMSQ_STAT,
    KVR_BAT_M, /* recursive residuals, n - k */
    KVR_BAT_LB_STATUS,
    KVR_BAT_LB_STAT, /* df = min(lags, n - 1) */
    KVR_BAT_JB_STATUS,
    KVR_BAT_JB_STAT,
    KVR_BAT_HAC_STATUS,
    KVR_BAT_HAC_STAT,
    KVR_BAT_HAC_DF,
    KVR_BAT_HAC_LAGS,
    KVR_BAT_DIGITS, /* -log10(10 eps (cond + size/|e|)), size = |y| + sum_j |x_j||beta_j|:
                       about how many digits the data determine the residuals to */
    KVR_BAT_NFIELDS
};

/* The convention of kvr_api.h; lags as the family kernels read it. */
KVR_API kvr_arena_size_t kvr_battery_arena_size(int64_t n, int64_t k, int64_t lags);

/* Returns the fit status (also out[KVR_BAT_FIT_STATUS]). beta and se are in
 * the units of the data (se: HAC without small-sample correction, Bartlett
 * window of hac_lags); NaN unless the fit succeeded (se also NaN for
 * hac_lags < 0, which the HAC test reports as DIAG_BAD_LAG). Bits of tests
 * outside KVR_BAT_ALL are ignored. */
KVR_API int kvr_battery(const double *y, const double *X, int64_t n, int64_t k, int64_t const_col,
                        int64_t lags, int64_t t_break, int64_t hac_lags, int64_t tests,
                        double *arena, double *out, double *beta, double *se);

KVR_EXTERN_C_END

#endif
