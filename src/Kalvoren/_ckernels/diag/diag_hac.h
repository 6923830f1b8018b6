/* Lag windows, bandwidths and the HAC long-run covariance. */
#ifndef KVR_DIAG_HAC_H
#define KVR_DIAG_HAC_H

#include "kvr_api.h"

KVR_EXTERN_C_BEGIN

/* ---- lag windows and bandwidths ---- */

/* Kernel ids: 0 Bartlett, 1 Parzen, 2 quadratic spectral. */
#define HAC_KERNEL_BARTLETT 0
#define HAC_KERNEL_PARZEN 1
#define HAC_KERNEL_QS 2

/* Per kernel id: Andrews' constant c, then the characteristic exponent q_k. */
KVR_API extern const double _KERNEL_SPECS[3][2];

/* kernel_weight, wooldridge_bandwidth and andrews_bandwidth are public but
 * not called inside the package (the kernels call their inline forms).
 * Weight of lag j for the given bandwidth; 0.0 for an unknown kernel id. */
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

KVR_EXTERN_C_END

#endif
