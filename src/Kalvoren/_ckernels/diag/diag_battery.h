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

/* The battery's tests, one row each: NAME gives the bit KVR_BAT_<NAME> and the
 * record fields KVR_BAT_<NAME>_STATUS and KVR_BAT_<NAME>_STAT; name is their
 * prefix in _batch.FIELDS; resid is 1 for a statistic of the residuals, which
 * an exact fit leaves undefined. A row here and its adapter run_<name> in
 * diag_battery.cpp make a test of the battery; everything else follows. */
#define KVR_BAT_TESTS(X)   \
    X(BG, bg, 1)           \
    X(BP, bp, 1)           \
    X(CHOW, chow, 0)       \
    X(CUSUM, cusum, 0)     \
    X(CUSUMSQ, cusumsq, 0) \
    X(LB, lb, 1)           \
    X(JB, jb, 1)           \
    X(HAC, hac, 1)         \
    X(WHITE, white, 1)     \
    X(RESET, reset, 1)     \
    X(GQ, gq, 1)           \
    X(HC, hc, 1)           \
    X(RAINBOW, rainbow, 1) \
    X(DW, dw, 1)

enum {
#define KVR_BAT_X(NAME, name, resid) KVR_BAT_INDEX_##NAME,
    KVR_BAT_TESTS(KVR_BAT_X)
#undef KVR_BAT_X
        KVR_BAT_NTESTS
};

/* test bits: BG Breusch-Godfrey, BP Breusch-Pagan (both forms), CHOW, CUSUM,
 * CUSUMSQ, LB Ljung-Box, JB Jarque-Bera, HAC the HAC Wald test that all slope
 * coefficients are zero; the model checks WHITE, RESET (powers of the fitted
 * values), GQ Goldfeld-Quandt and HC Harvey-Collier (rows in the data's
 * order), RAINBOW, DW Durbin-Watson with both exact tails. kvr_battery runs
 * the tests of KVR_BAT_BASE; the model checks need options and scratch of
 * their own and run through _batch (kvr_battery_checks, internal). */
enum {
#define KVR_BAT_X(NAME, name, resid) KVR_BAT_##NAME = 1 << KVR_BAT_INDEX_##NAME,
    KVR_BAT_TESTS(KVR_BAT_X)
#undef KVR_BAT_X
            KVR_BAT_ALL = (1 << KVR_BAT_NTESTS) -
        1,
    KVR_BAT_CHECKS = KVR_BAT_WHITE | KVR_BAT_RESET | KVR_BAT_GQ | KVR_BAT_HC | KVR_BAT_RAINBOW |
        KVR_BAT_DW,
    KVR_BAT_BASE = KVR_BAT_ALL & ~KVR_BAT_CHECKS
};

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
    KVR_BAT_R2,             /* 1 - RSS/TSS (NaN when TSS = 0). Then each test's status and
                               statistic (df: BG lags; CHOW (k, n - 2k); LB min(lags, n - 1)) */
#define KVR_BAT_X(NAME, name, resid) KVR_BAT_##NAME##_STATUS, KVR_BAT_##NAME##_STAT,
    KVR_BAT_TESTS(KVR_BAT_X)
#undef KVR_BAT_X
    /* what some tests leave beside their statistic */
    KVR_BAT_BPK_STAT, /* Breusch-Pagan: 0.5*ESS in BP_STAT, Koenker n*R^2 here */
    KVR_BAT_M,        /* CUSUM of squares: recursive residuals, n - k */
    KVR_BAT_HAC_DF,   /* HAC Wald: slopes tested */
    KVR_BAT_HAC_LAGS, /* HAC Wald: bandwidth used, min(hac_lags, n - 1) */
    KVR_BAT_DIGITS,   /* -log10(10 eps (cond + size/|e|)), size = |y| + sum_j |x_j||beta_j|:
                       about how many digits the data determine the residuals to */
    /* the model checks' degrees of freedom (WHITE: rank of the auxiliary design
       beside the constant; RESET (q, n - k - q); GQ (last part, first part);
       HC m - 1; RAINBOW (n - n1, n1 - k)) and Durbin-Watson's exact tails
       P(D <= d), P(D >= d) */
    KVR_BAT_WHITE_DF,
    KVR_BAT_RESET_DF1,
    KVR_BAT_RESET_DF2,
    KVR_BAT_GQ_DF1,
    KVR_BAT_GQ_DF2,
    KVR_BAT_HC_DF,
    KVR_BAT_RAINBOW_DF1,
    KVR_BAT_RAINBOW_DF2,
    KVR_BAT_DW_LOW,
    KVR_BAT_DW_HIGH,
    KVR_BAT_NFIELDS
};

/* The convention of kvr_api.h; lags as the family kernels read it. */
KVR_API kvr_arena_size_t kvr_battery_arena_size(int64_t n, int64_t k, int64_t lags);

/* Returns the fit status (also out[KVR_BAT_FIT_STATUS]). beta and se are in
 * the units of the data (se: HAC without small-sample correction, Bartlett
 * window of hac_lags); NaN unless the fit succeeded (se also NaN for
 * hac_lags < 0, which the HAC test reports as DIAG_BAD_LAG). Bits of tests
 * outside KVR_BAT_BASE are ignored. */
KVR_API int kvr_battery(const double *y, const double *X, int64_t n, int64_t k, int64_t const_col,
                        int64_t lags, int64_t t_break, int64_t hac_lags, int64_t tests,
                        double *arena, double *out, double *beta, double *se);

KVR_EXTERN_C_END

#endif
