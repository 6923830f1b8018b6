// vech packing: per-row outer products of a data matrix and the checked vech
// of a symmetric target.
#include <cstdint>

#include "diag_vech.h"

#include "diag_hac_detail.hpp"
#include "kvr_simd.hpp"

// A row stride q below p(p+1)/2 would make the last row run past n*q values:
// such a call writes nothing and reports DIAG_BAD_ARG.
extern "C" KVR_API KVR_MULTIVERSION int kvr_symmetric_outer_prod_2dim(const double *x, int64_t n,
                                                                      int64_t p, int64_t q,
                                                                      double *out) {
    if (n < 1 || p < 1) return DIAG_OK;
    int64_t need;
    if (!kvr::hac::vech_len(p, &need) || q < need) return DIAG_BAD_ARG;
    for (int64_t t = 0; t < n; ++t) kvr::hac::vech_outer_row(x + t * p, p, out + t * q);
    return DIAG_OK;
}

extern "C" KVR_API int kvr_fill_symmetric_target_vec(const double *target, int64_t p, double *vec,
                                                     double atol, double rtol) {
    return kvr::hac::fill_vech_checked(target, p, vec, atol, rtol);
}
