/* Residual-diagnostic kernels: status codes, the arena-size record and every
 * kvr_* statistic kernel. Kernels take raw row-major double arrays and int64
 * sizes, take all scratch memory from a caller-supplied arena, never allocate
 * and report failures only through their status. Usable from C. */
#ifndef KVR_DIAG_H
#define KVR_DIAG_H

#include "kvr_api.h"
#include "linalg.h"

KVR_EXTERN_C_BEGIN

#define DIAG_OK 0
#define DIAG_FALLBACK 1          /* rank-deficient, or too ill-conditioned for the normal equations */
#define DIAG_BAD_SHAPE (-1001)   /* target matrix not symmetric within tolerance */
#define DIAG_SINGULAR (-1002)    /* Wald covariance exactly singular */
#define DIAG_UDEF_VARIANCE (-1003)
#define DIAG_BAD_LAG (-1004)
#define DIAG_TOO_SHORT (-1005)
#define DIAG_BAD_ARG (-1007)

/* What every kvr_<family>_arena_size returns: the arena length in doubles and
 * the number of int64 pivot entries the kernel also needs. */
typedef struct kvr_arena_size_t {
    int64_t arena_len;
    int64_t piv_len;
} kvr_arena_size_t;

/* ---- column means and centering ---- */
KVR_API void kvr_fill_mean_ax0(const double *x, int64_t n, int64_t p, double *mean);
KVR_API void kvr_fill_centered_ax0(const double *x, const double *mean,
                                   int64_t n, int64_t p, double *centered);

KVR_EXTERN_C_END

#include "diag_regression.h"
#include "diag_stability.h"
#include "diag_series.h"
#include "diag_hac.h"
#include "diag_battery.h"

#endif
