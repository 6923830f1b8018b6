/* One regression's data laid out as the battery takes them: y and a
 * row-major design, with a leading column of ones when a constant is added. */
#ifndef KVR_DIAG_DESIGN_H
#define KVR_DIAG_DESIGN_H

#include "kvr_api.h"

KVR_EXTERN_C_BEGIN

#define KVR_DESIGN_OK 0
#define KVR_DESIGN_NONFINITE 1 /* a value of y or X is NaN or infinite */
#define KVR_DESIGN_Y_IN_X 2    /* a column of X equals y */

/* Scans y (n) and X (n x k) in row order. KVR_DESIGN_OK sets *const_col to
 * the first column holding one non-zero value throughout (-1: none). */
KVR_API int64_t kvr_design_scan(const double *y, const double *X, int64_t n, int64_t k,
                                int64_t *const_col);

/* y into y_out (n); X into Z (n x (k + lead)), after a column of ones when
 * lead is 1. */
KVR_API void kvr_design_copy(const double *y, const double *X, int64_t n, int64_t k, int64_t lead,
                             double *y_out, double *Z);

KVR_EXTERN_C_END

#endif
