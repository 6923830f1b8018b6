/* Kernels for lag windows, bandwidths, HAC covariance, Wald tests and vech helpers. Included by diag.h. */
#ifndef KVR_DIAG_HAC_H
#define KVR_DIAG_HAC_H

#include "diag.h"

KVR_EXTERN_C_BEGIN

/* ---- lag windows and bandwidths ---- */

/* Kernel ids: 0 Bartlett, 1 Parzen, 2 quadratic spectral. */
#define HAC_KERNEL_BARTLETT 0
#define HAC_KERNEL_PARZEN 1
#define HAC_KERNEL_QS 2

/* Per kernel id: Andrews' constant c, then the characteristic exponent q_k. */
KVR_API extern const double _KERNEL_SPECS[3][2];

/* Weight of lag j for the given bandwidth; 0.0 for an unknown kernel id. */
KVR_API double kernel_weight(int64_t j, int64_t bandwidth, int kernel_id);
/* floor(4 (n/100)^(2/9)); x is ignored. n < 1 gives 1. */
KVR_API int64_t wooldridge_bandwidth(const double *x, int64_t n);
/* Andrews' AR(1) plug-in bandwidth of one series, >= 1. A kernel id outside
 * 0..2 gives 1. */
KVR_API int64_t andrews_bandwidth(const double *x, int kernel_id, int64_t n);
/* Floor of the median of the non-constant columns' plug-in bandwidths, >= 1.
 * scratch: p doubles. A kernel id outside 0..2 gives 1. */
KVR_API int64_t andrews_bandwidth_matrix(const double *X, int kernel_id, int64_t n, int64_t p,
                                         double *scratch);

/* ---- HAC long-run covariance ---- */

/* out = (Gamma_0 + sum_{j<=Lmax} w_j (Gamma_j + Gamma_j')) / n with
 * Lmax = min(L, n - 1); r is n x p and already centered; gamma is p x p
 * scratch. */
KVR_API void kvr_hac_estimator_matmul(const double *r, int kernel_id, int64_t L, int64_t n,
                                      int64_t p, double *gamma, double *out);

/* ---- Wald statistic ---- */

/* stat = n (mean - target)' omega^-1 (mean - target); Cholesky first, LU on
 * failure. Scratch: dev (p), factor (p x p), pivot (p), solved (p).
 * Returns DIAG_OK, DIAG_SINGULAR (no factorisation) or DIAG_UDEF_VARIANCE
 * (the form is NaN: non-finite input or overflow); stat is NaN on failure.
 * A negative n counts as 0. */
KVR_API int kvr_wald_stat_from_mean_and_cov(const double *mean, const double *target,
                                            const double *omega, int64_t n, int64_t p,
                                            double *dev, double *factor, int64_t *pivot,
                                            double *solved, double *stat);

/* ---- HAC Wald tests on moments ---- */

/* Bandwidth rules of the HAC Wald tests. */
#define HAC_BW_FIXED 0
#define HAC_BW_WOOLDRIDGE 1
#define HAC_BW_ANDREWS 2
#define HAC_BW_AUTO 3

/* Arena length in doubles and pivot entries for the tests below. A negative
 * n or k counts as 0; both fields are -1 when the length does not fit in
 * int64. */
KVR_API kvr_arena_size_t kvr_wald_mean_hac_arena_size(int64_t n, int64_t k);
KVR_API kvr_arena_size_t kvr_wald_covariance_hac_arena_size(int64_t n, int64_t k);
KVR_API kvr_arena_size_t kvr_wald_second_moment_hac_arena_size(int64_t n, int64_t k);

/* HAC Wald tests of E[x_t] = target (k-vector), Cov(x_t) = target and
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
KVR_API int kvr_wald_second_moment_hac(const double *X, const double *target, int64_t n,
                                       int64_t k, int kernel_id, int bw_rule, int64_t bandwidth,
                                       double *arena, int64_t *pivot, double *stat);

/* ---- symmetric outer products and vech packing ---- */

/* Row t of out (stride q) = vech(x_t x_t'). Returns DIAG_OK, or DIAG_BAD_ARG
 * without writing when q < p(p+1)/2. */
KVR_API int kvr_symmetric_outer_prod_2dim(const double *x, int64_t n, int64_t p, int64_t q,
                                          double *out);
/* vec = vech(target) after the symmetry test |a - b| <= |b| rtol + atol of
 * every pair; DIAG_BAD_SHAPE at the first failing pair. */
KVR_API int kvr_fill_symmetric_target_vec(const double *target, int64_t p, double *vec,
                                          double atol, double rtol);

KVR_EXTERN_C_END

#endif
