// Internal: heteroskedasticity-consistent (HC0-HC5, HC4m) and kernel HAC
// covariances of the battery's coefficients, from its QR fit.
#ifndef KVR_DIAG_ROBUST_HPP
#define KVR_DIAG_ROBUST_HPP

#include <cstdint>

#include "kvr_api.h"

// C linkage, not exported (no KVR_API): the archive refers to no C++ names.
// Hidden explicitly: the dispatched (KVR_MULTIVERSION) ones are ifuncs, which
// the hidden default does not reach.
#define KVR_INTERNAL __attribute__((visibility("hidden")))

extern "C" {

// Covariance types, in the order of _robust.COV_TYPES.
enum {
    KVR_COV_HAC = 0,
    KVR_COV_HC0,
    KVR_COV_HC1,
    KVR_COV_HC2,
    KVR_COV_HC3,
    KVR_COV_HC4,
    KVR_COV_HC4M,
    KVR_COV_HC5,
    KVR_COV_NTYPES
};
// Bandwidth rules of the HAC type.
enum { KVR_COV_LAGS = 0, KVR_COV_NW1994, KVR_COV_ANDREWS, KVR_COV_LLSW, KVR_COV_NRULES };

// A covariance choice, as six int64 (the layout _batch.battery_checks reads):
// type, kernel (HAC_KERNEL_*), rule, lags (KVR_COV_LAGS: that many lags, or
// the series' hac_lags when negative), prewhite (0/1, VAR(1) prewhitening),
// adjust (0/1, the n/(n - k) factor).
typedef struct {
    int64_t type, kernel, rule, lags, prewhite, adjust;
} kvr_cov_choice;

// DIAG_OK, or DIAG_BAD_ARG for a choice outside the ranges above.
KVR_INTERNAL int kvr_cov_choice_check(const kvr_cov_choice *c);

// Scratch doubles of kvr_robust_meat (the convention of kvr_api.h).
KVR_INTERNAL kvr_arena_size_t kvr_robust_arena_size(int64_t n, int64_t k);

// The meat of the sandwich in the coordinates of Q, divided by n: om (k x k)
// with V = n R^-1 om R^-T. q: the n x k rows of Q (row-major); e: the
// residuals; xs, ex: the equilibrated design and its column exponents (the
// plug-in rules weigh the scores x_t e_t in the units of the data); cc: the
// constant's column or -1. bw: the bandwidth b (lag j weighs k(j / b)) and
// the rule's own value (NaN for HC types and given lags). Returns DIAG_OK;
// DIAG_BAD_LAG for negative lags; DIAG_UDEF_VARIANCE where a plug-in
// bandwidth is undefined or the prewhitening VAR(1) is singular.
KVR_INTERNAL int kvr_robust_meat(const kvr_cov_choice *c, const double *q, const double *e,
                                 const double *xs, const double *ex, int64_t n, int64_t k,
                                 int64_t cc, int64_t hac_lags, double *arena, double *om,
                                 double *bw);
}

#endif
