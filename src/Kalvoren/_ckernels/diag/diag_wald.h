/* The Wald statistic from a mean and a covariance, and the HAC Wald tests on
 * the moments of a multivariate series (kernel ids: HAC_KERNEL_* of diag_hac.h). */
#ifndef KVR_DIAG_WALD_H
#define KVR_DIAG_WALD_H

#include "diag_hac.h"
#include "kvr_api.h"

KVR_EXTERN_C_BEGIN

/* ---- Wald statistic ---- */

/* stat = n (mean - target)' omega^-1 (mean - target); Cholesky first, LU on
 * failure. Scratch: dev (p), factor (p x p), pivot (p), solved (p).
 * Returns DIAG_OK, DIAG_SINGULAR (no factorisation) or DIAG_UDEF_VARIANCE
 * (finite input whose statistic overflows even with omega rescaled by a
 * power of two); stat is NaN on failure. NaN or infinite input propagates
 * into stat with DIAG_OK. A negative n counts as 0. */
KVR_API int kvr_wald_stat_from_mean_and_cov(const double *mean, const double *target,
                                            const double *omega, int64_t n, int64_t p, double *dev,
                                            double *factor, int64_t *pivot, double *solved,
                                            double *stat);

/* ---- HAC Wald tests on moments ---- */

/* Bandwidth rules of the HAC Wald tests. */
#define HAC_BW_FIXED 0
#define HAC_BW_WOOLDRIDGE 1
#define HAC_BW_ANDREWS 2
#define HAC_BW_AUTO 3

/* Arena length in doubles and pivot entries for the tests below (the
 * convention of kvr_api.h). */
KVR_API kvr_arena_size_t kvr_wald_mean_hac_arena_size(int64_t n, int64_t k);
KVR_API kvr_arena_size_t kvr_wald_covariance_hac_arena_size(int64_t n, int64_t k);
KVR_API kvr_arena_size_t kvr_wald_second_moment_hac_arena_size(int64_t n, int64_t k);

/* Public, not called inside the package (the battery runs its Wald test
 * through kvr_wald_stat_from_mean_and_cov). HAC Wald tests of E[x_t] = target (k-vector), Cov(x_t) = target and
 * E[x_t x_t'] = target (symmetric k x k, compared through its vech). X is
 * n x k. Returns DIAG_OK, DIAG_TOO_SHORT, DIAG_BAD_SHAPE, DIAG_BAD_ARG,
 * DIAG_SINGULAR or DIAG_UDEF_VARIANCE; *stat is written only from the Wald
 * step on. */
KVR_API int kvr_wald_mean_hac(const double *X, const double *target, int64_t n, int64_t k,
                              int kernel_id, int bw_rule, int64_t bandwidth, double *arena,
                              int64_t *pivot, double *stat);
KVR_API int kvr_wald_covariance_hac(const double *X, const double *target, int64_t n, int64_t k,
                                    int kernel_id, int bw_rule, int64_t bandwidth, double *arena,
                                    int64_t *pivot, double *stat);
KVR_API int kvr_wald_second_moment_hac(const double *X, const double *target, int64_t n, int64_t k,
                                       int kernel_id, int bw_rule, int64_t bandwidth, double *arena,
                                       int64_t *pivot, double *stat);

KVR_EXTERN_C_END

#endif
