// Internal: the regressions' design work that a batch with one design keeps
// from series to series (the battery's Chow and Breusch-Pagan fits).
#ifndef KVR_DIAG_REGRESSION_DETAIL_HPP
#define KVR_DIAG_REGRESSION_DETAIL_HPP

#include <cstdint>

#include "kvr_api.h"

// C linkage, not exported (no KVR_API), like kvr_cusum_pair_taped.
extern "C" {

// The design of one least-squares fit through the normal equations: G = X'X
// and its Cholesky factor L (k x k each, the caller's), the condition
// estimate, and ok = 0 when X'X is out of range, not PD or too
// ill-conditioned (the fit then reports DIAG_FALLBACK).
typedef struct {
    const double *G, *L;
    double rcond;
    int ok;
} kvr_ols_design;

// One design into G and L; work: 2k doubles.
KVR_HIDDEN kvr_ols_design kvr_ols_design_of(const double *X, int64_t r, int64_t k, double *G,
                                            double *L, double *work);

// kvr_bp_aux with its design d (from kvr_ols_design_of on X_aug): the same
// bits and statuses; arena: kvr_bp_arena_size(n, p).
KVR_HIDDEN int kvr_bp_aux_cached(const double *eps, const double *X_aug, int64_t n, int64_t p,
                                 const kvr_ols_design *d, double *arena, double *rss, double *tss);

// The three designs of the Chow test (pooled, rows before t_break, rows from
// it) into G and L (3 k*k each) and d[3]; 1 <= t_break < n, k >= 1; work: 2k.
KVR_HIDDEN void kvr_chow_designs(const double *X, int64_t n, int64_t k, int64_t t_break, double *G,
                                 double *L, double *work, kvr_ols_design *d);

// kvr_chow_stat with those designs: the same bits and statuses; arena:
// kvr_chow_arena_size(k).
KVR_HIDDEN int kvr_chow_stat_cached(const double *y, const double *X, int64_t n, int64_t k,
                                    int64_t t_break, const kvr_ols_design *d, double *arena,
                                    double *stat);
}

#endif
