/* The small-sample Jarque-Bera tables and the lookups that interpolate them. */
#ifndef KVR_DIAG_JBTABLES_H
#define KVR_DIAG_JBTABLES_H

#include "kvr_api.h"

KVR_EXTERN_C_BEGIN

/* Small-sample critical values: _JB_CV[r*15 + c] is exceeded with
 * probability _JB_PVAL_GRID[r] at sample size _JB_N_GRID[c]. */
KVR_API extern const double _JB_N_GRID[15];
KVR_API extern const double _JB_PVAL_GRID[23];
KVR_API extern const double _JB_CV[23 * 15];

/* Bracket val in a sorted array: lo = hi on exact hits and outside the
 * range (clamped to the ends), otherwise hi = lo + 1. Empty: 0, 0. */
KVR_API void kvr_jb_find_hilo_ascending(const double *arr, int64_t len, int64_t *lo, int64_t *hi,
                                        double val);
KVR_API void kvr_jb_find_hilo_descending(const double *arr, int64_t len, int64_t *lo, int64_t *hi,
                                         double val);

/* Table lookups, linear in n and p, clamped to the grids. */
KVR_API double kvr_jb_isf_interp(int64_t n, double p);
KVR_API double kvr_jb_pval_interp(int64_t n, double x);
KVR_API void kvr_jb_isf_interp_into(int64_t n, const double *p, int64_t count, double *out);
KVR_API void kvr_jb_pval_interp_into(int64_t n, const double *x, int64_t count, double *out);

KVR_EXTERN_C_END

#endif
