/* Autocorrelation, Ljung-Box and the Jarque-Bera statistic of one series. */
#ifndef KVR_DIAG_SERIES_H
#define KVR_DIAG_SERIES_H

#include "kvr_api.h"

KVR_EXTERN_C_BEGIN

/* ---- autocorrelation and Ljung-Box ---- */

/* out[0..L] = r_0..r_L of x (r_0 = 1; lags >= n give 0). z: n doubles of
 * scratch. DIAG_UDEF_VARIANCE (out all NaN) for a constant or empty series. */
KVR_API int kvr_acorr(const double *x, int64_t n, int64_t L, double *z, double *out);

/* Ljung-Box Q with the lag clamped to n-1. z: n doubles; rho: L_eff+1
 * doubles (n always suffice). DIAG_TOO_SHORT for n < 2, DIAG_BAD_LAG for
 * L <= 0, DIAG_UDEF_VARIANCE for a constant series; *stat is NaN then. */
KVR_API int kvr_lb_stat(const double *x, int64_t n, int64_t L, double *z, double *rho,
                        double *stat);
/* z followed by rho, as one arena (the convention of kvr_api.h). */
KVR_API kvr_arena_size_t kvr_lb_arena_size(int64_t n, int64_t L);

/* ---- Jarque-Bera ---- */

/* n (skew^2/6 + exkurt^2/24) from the divide-by-n moments. The statistic is
 * written for every n >= 1, but the status is DIAG_TOO_SHORT below 10.
 * Data whose moments leave the range of doubles are rescaled by a power of
 * two first; DIAG_UDEF_VARIANCE (NaN stat) for a constant or non-finite x. */
KVR_API int kvr_jb_stat(const double *x, int64_t n, double *stat);

KVR_EXTERN_C_END

#endif
