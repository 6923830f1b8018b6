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

/* The rows of a long frame grouped by an integer key, by counting rather
 * than sorting. kvr_key_count counts each key of keys (n) in count (span
 * entries, zero on entry; key v at v - lo) and returns how many distinct
 * keys there are, or -1 for a key outside [lo, lo + span). kvr_key_groups
 * then writes the distinct keys in increasing order (uniques, G), where each
 * one's rows start in order and end (offsets, G + 1) and the rows themselves
 * (order, n): the rows of the least key, then the next, ..., each key's rows
 * in their order. count is used up as the cursor. */
KVR_API int64_t kvr_key_count(const int64_t *keys, int64_t n, int64_t lo, int64_t span,
                              int64_t *count);
KVR_API void kvr_key_groups(const int64_t *keys, int64_t n, int64_t lo, int64_t span,
                            int64_t *count, int64_t *uniques, int64_t *offsets, int64_t *order);

KVR_EXTERN_C_END

#endif
