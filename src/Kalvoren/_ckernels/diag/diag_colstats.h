/* Column means and centering over axis 0 of an n x p matrix. */
#ifndef KVR_DIAG_COLSTATS_H
#define KVR_DIAG_COLSTATS_H

#include "kvr_api.h"

KVR_EXTERN_C_BEGIN

KVR_API void kvr_fill_mean_ax0(const double *x, int64_t n, int64_t p, double *mean);
KVR_API void kvr_fill_centered_ax0(const double *x, const double *mean, int64_t n, int64_t p,
                                   double *centered);

KVR_EXTERN_C_END

#endif
