/* vech packing: per-row outer products and the checked vech of a symmetric
 * target. A symmetric p x p matrix packs as its upper triangle row by row,
 * p(p+1)/2 entries. */
#ifndef KVR_DIAG_VECH_H
#define KVR_DIAG_VECH_H

#include "kvr_api.h"

KVR_EXTERN_C_BEGIN

/* Row t of out (stride q) = vech(x_t x_t'). Returns DIAG_OK, or DIAG_BAD_ARG
 * without writing when q < p(p+1)/2. */
KVR_API int kvr_symmetric_outer_prod_2dim(const double *x, int64_t n, int64_t p, int64_t q,
                                          double *out);
/* vec = vech(target) after the symmetry test |a - b| <= |b| rtol + atol of
 * every pair; DIAG_BAD_SHAPE at the first failing pair. */
KVR_API int kvr_fill_symmetric_target_vec(const double *target, int64_t p, double *vec, double atol,
                                          double rtol);

KVR_EXTERN_C_END

#endif
