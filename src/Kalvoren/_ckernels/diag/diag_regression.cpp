// Breusch-Godfrey, Breusch-Pagan and Chow: auxiliary least-squares fits whose
// normal equations come from kvr_gram/kvr_gram_rhs and are solved by
// kvr_chol_solve. A failed factorisation, or normal equations too
// ill-conditioned for the statistic to keep its digits, is reported as
// DIAG_FALLBACK. The condition check runs once the solution has been used, so
// it can borrow the right-hand side and the solution as scratch.
#include <cmath>
#include <limits>

#include "diag_regression.h"
#include "diag_regression_detail.hpp"

#include "diag_guard.hpp"
#include "kvr_range.hpp"
#include "kvr_simd.hpp"
#include "kvr_size.hpp"
#include "kvr_vec.hpp"
#include "linalg.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Residuals and sums of squares in the blocks-of-four order (kvr_vec.hpp).
using kvr::dot4;
using kvr::sum4;

// g = X'y with the bits of kvr_gram_rhs (its cross-product engine, for one
// row of C: blocks of kc steps, each column four interleaved chains over a
// block, the tail into the first, combined (c0 + c1) + (c2 + c3) with c0
// carrying the blocks before), without the engine's set-up, for k <= 6.
template <int64_t K>
KVR_INLINE void rhs_of(const double *X, const double *y, double *g, int64_t r) {
    int64_t kc = 32768 / (1 + K);  // the engine's block for a 1 x K product
    kc = kc > 256 ? 256 : (kc < 32 ? 32 : kc);
    double c[K];
#pragma GCC unroll 8
    for (int64_t j = 0; j < K; ++j) c[j] = 0.0;
    for (int64_t s0 = 0; s0 < r; s0 += kc) {
        const int64_t ns = r - s0 < kc ? r - s0 : kc;
        double acc[4][K];
#pragma GCC unroll 8
        for (int64_t j = 0; j < K; ++j) acc[0][j] = c[j], acc[1][j] = acc[2][j] = acc[3][j] = 0.0;
        const double *x = X + s0 * K, *ys = y + s0;
        int64_t s = 0;
        for (; s + 4 <= ns; s += 4)
#pragma GCC unroll 4
            for (int u = 0; u < 4; ++u)
#pragma GCC unroll 8
                for (int64_t j = 0; j < K; ++j)
                    acc[u][j] = kvr::fma(ys[s + u], x[(s + u) * K + j], acc[u][j]);
        for (; s < ns; ++s)
#pragma GCC unroll 8
            for (int64_t j = 0; j < K; ++j) acc[0][j] = kvr::fma(ys[s], x[s * K + j], acc[0][j]);
#pragma GCC unroll 8
        for (int64_t j = 0; j < K; ++j) c[j] = (acc[0][j] + acc[1][j]) + (acc[2][j] + acc[3][j]);
    }
#pragma GCC unroll 8
    for (int64_t j = 0; j < K; ++j) g[j] = c[j];
}

KVR_INLINE void rhs(const double *X, const double *y, double *g, int64_t r, int64_t k) {
    switch (r > 0 ? k : 0) {
        case 1: return rhs_of<1>(X, y, g, r);
        case 2: return rhs_of<2>(X, y, g, r);
        case 3: return rhs_of<3>(X, y, g, r);
        case 4: return rhs_of<4>(X, y, g, r);
        case 5: return rhs_of<5>(X, y, g, r);
        case 6: return rhs_of<6>(X, y, g, r);
        default: kvr_gram_rhs(X, y, g, r, k);
    }
}

// A least-squares fit of y on X (r rows, k >= 1 columns) through the normal
// equations, in two parts: the design's (G = X'X, its factor L and condition
// estimate; not ok when X'X is not PD or too ill-conditioned), which a batch
// with one design keeps, and the response's. An RSS that is only the rounding
// noise of an exact fit comes back as 0; err bounds the rounding error in it.
struct Fit {
    double rss, err;
    double drift;  // eps size / sqrt(rcond): how far rounding can move X beta
};

// G, L (k*k each, written), work 2k.
KVR_INLINE kvr_ols_design ols_design(const double *X, int64_t r, int64_t k, double *G, double *L,
                                     double *work) {
    kvr_ols_design d{G, L, 1.0, 0};
    kvr_gram(X, G, r, k);
    if (kvr::gram_out_of_range(G, k, r)) return d;
    if (kvr_chol(G, L, k, 0.0) != 0) return d;
    d.rcond = k > 1 ? kvr_chol_rcond(G, L, k, work) : 1.0;
    d.ok = !kvr::too_ill_conditioned(d.rcond);
    return d;
}

// The response's part; arena: h, beta (k each). keep (k doubles, or null)
// receives beta.
KVR_INLINE bool ols_solve(const double *y, const double *X, int64_t r, int64_t k,
                          const kvr_ols_design &d, double *arena, Fit *fit,
                          double *keep = nullptr) {
    if (!d.ok) return false;
    double *h = arena, *beta = h + k;
    rhs(X, y, h, r, k);
    kvr_forward_subst(d.L, h, beta, k);
    kvr_backward_subst_chol_t(d.L, beta, beta, k);
    double s, yy;
    kvr::with_width(k, [&](auto kc) __attribute__((always_inline)) {
        const int64_t kn = kc;
        kvr::sum4_pair<true>(
            r,
            [&](int64_t i) __attribute__((always_inline)) {
                return y[i] - dot4(X + i * kn, beta, kn);
            },
            [&](int64_t i) __attribute__((always_inline)) {
                return y[i];
            },
            &s, &yy);
        return 0.0;
    });
    // The size of the terms that cancel in the residuals: |y| + sum |x_j| |beta_j|.
    double size = std::sqrt(yy);
    for (int64_t j = 0; j < k; ++j) size += std::sqrt(d.G[j * k + j]) * std::fabs(beta[j]);
    if (keep)
        for (int64_t j = 0; j < k; ++j) keep[j] = beta[j];
    const double rcond = d.rcond;
    fit->rss = kvr::is_exact_fit(s, size, r, rcond) ? 0.0 : s;
    fit->err = kvr::rss_error(s, size, rcond);
    fit->drift = kvr::kEps * size / std::sqrt(rcond);
    return true;
}

// sum over the r rows of (x_i (b - a))^2: how far a segment's fitted values
// lie from the pooled ones, without a difference of large sums.
KVR_INLINE double spread(const double *X, int64_t r, int64_t k, const double *a, const double *b,
                         double *d) {
    for (int64_t j = 0; j < k; ++j) d[j] = b[j] - a[j];
    return kvr::with_width(k, [&](auto kc) __attribute__((always_inline)) {
        const int64_t kn = kc;
        return sum4<true>(r, [&](int64_t i) __attribute__((always_inline)) {
            return dot4(X + i * kn, d, kn);
        });
    });
}

}  // namespace

// ------------------------------------------------------------ Breusch-Godfrey

extern "C" KVR_API kvr_arena_size_t kvr_bg_arena_size(int64_t n, int64_t k, int64_t lags) {
    if (lags < 0 || lags >= n) return kvr::arena_record(0);  // rejected before the arena is used
    // Z (n x m), G and L (m x m each), g and beta (m each)
    const kvr::Checked m = kvr::Checked(kvr::size_arg(k)) + lags + 1;
    return kvr::arena_record(m * (kvr::Checked(n) + 2 * m + 2));
}

extern "C" KVR_API KVR_MULTIVERSION int kvr_bg_stat(const double *eps, const double *X, int64_t n,
                                                    int64_t k, int64_t lags, double *arena,
                                                    double *stat) {
    if (lags >= n) {
        *stat = kNaN;
        return DIAG_TOO_SHORT;
    }
    if (lags < 0) {  // would shrink the design below its own columns
        *stat = kNaN;
        return DIAG_BAD_LAG;
    }
    if (k < 0) k = 0;
    const int64_t m = k + lags + 1;
    double *Z = arena, *G = Z + n * m, *L = G + m * m, *g = L + m * m, *beta = g + m;

    for (int64_t i = 0; i < n; ++i) {
        double *__restrict z = Z + i * m;
        const double *__restrict x = X + i * k;
        z[0] = 1.0;
        for (int64_t c = 0; c < k; ++c) z[1 + c] = x[c];
        double *__restrict zl = z + 1 + k;  // zl[j] = eps[i-1-j], zero before the start
        const int64_t seen = i < lags ? i : lags;
        for (int64_t j = 0; j < seen; ++j) zl[j] = eps[i - 1 - j];
        for (int64_t j = seen; j < lags; ++j) zl[j] = 0.0;
    }
    kvr_gram(Z, G, n, m);
    if (kvr::gram_out_of_range(G, m, n)) return DIAG_FALLBACK;
    kvr_gram_rhs(Z, eps, g, n, m);
    if (kvr_chol_solve(G, g, beta, L, m) != 0) return DIAG_FALLBACK;

    const double S = sum4<true>(n, [&](int64_t i) __attribute__((always_inline)) {
        return eps[i];
    });
    const double R = sum4<true>(n, [&](int64_t i) __attribute__((always_inline)) {
        return eps[i] - dot4(Z + i * m, beta, m);
    });
    if (m > 1 && kvr::factor_too_ill_conditioned(G, L, m, g)) return DIAG_FALLBACK;
    if (S > 0.0)
        *stat = (1.0 - R / S) * static_cast<double>(n);
    else if (S == 0.0 && !std::isnan(R))
        *stat = 0.0;  // all-zero residuals: nothing to explain
    else
        *stat = kNaN;  // NaN data has no answer; 0.0 would read as "no correlation"
    return DIAG_OK;
}

// -------------------------------------------------------------- Breusch-Pagan

extern "C" KVR_API kvr_arena_size_t kvr_bp_arena_size(int64_t n, int64_t p) {
    const kvr::Checked pc(kvr::size_arg(p));
    return kvr::arena_record(kvr::Checked(kvr::size_arg(n)) + 2 * pc + 2 * (pc * pc));
}

namespace {

// Breusch-Pagan's auxiliary fit with its design d (null: formed on first
// need into the arena's G and L); arena as kvr_bp_arena_size.
KVR_INLINE int bp_core(const double *eps, const double *X_aug, int64_t n, int64_t p,
                       const kvr_ols_design *d, double *arena, double *rss, double *tss) {
    if (n == 0) return DIAG_TOO_SHORT;
    if (n < 0) return DIAG_UDEF_VARIANCE;
    if (p < 0) p = 0;
    const double dn = static_cast<double>(n);
    const double sigma2 = sum4<true>(n,
                                     [&](int64_t i) __attribute__((always_inline)) {
                                         return eps[i];
                                     }) /
                          dn;
    if (!(sigma2 > 0.0 && sigma2 <= std::numeric_limits<double>::max())) return DIAG_UDEF_VARIANCE;

    double *gv = arena, *G = gv + n, *L = G + p * p, *h = L + p * p, *beta = h + p;
    kvr_ols_design own;
    if (!d) {
        own = ols_design(X_aug, n, p, G, L, h);
        d = &own;
    }
    if (!d->ok) return DIAG_FALLBACK;
    for (int64_t i = 0; i < n; ++i) gv[i] = eps[i] * eps[i] / sigma2;
    rhs(X_aug, gv, h, n, p);
    kvr_forward_subst(d->L, h, beta, p);
    kvr_backward_subst_chol_t(d->L, beta, beta, p);

    const double gbar = sum4<false>(n,
                                    [&](int64_t i) __attribute__((always_inline)) {
                                        return gv[i];
                                    }) /
                        dn;
    double t, r;
    kvr::with_width(p, [&](auto pc) __attribute__((always_inline)) {
        const int64_t pn = pc;
        kvr::sum4_pair<true>(
            n,
            [&](int64_t i) __attribute__((always_inline)) {
                return gv[i] - gbar;
            },
            [&](int64_t i) __attribute__((always_inline)) {
                return gv[i] - dot4(X_aug + i * pn, beta, pn);
            },
            &t, &r);
        return 0.0;
    });
    *tss = t;
    *rss = r;
    return DIAG_OK;
}

}  // namespace

extern "C" KVR_API KVR_MULTIVERSION int kvr_bp_aux(const double *eps, const double *X_aug,
                                                   int64_t n, int64_t p, double *arena, double *rss,
                                                   double *tss) {
    return bp_core(eps, X_aug, n, p, nullptr, arena, rss, tss);
}

extern "C" KVR_HIDDEN kvr_ols_design kvr_ols_design_of(const double *X, int64_t r, int64_t k,
                                                       double *G, double *L, double *work) {
    return ols_design(X, r, k, G, L, work);
}

extern "C" KVR_HIDDEN KVR_MULTIVERSION int kvr_bp_aux_cached(const double *eps, const double *X_aug,
                                                             int64_t n, int64_t p,
                                                             const kvr_ols_design *d, double *arena,
                                                             double *rss, double *tss) {
    return bp_core(eps, X_aug, n, p, d, arena, rss, tss);
}

extern "C" KVR_API int kvr_bp_stat(const double *eps, const double *X_aug, int64_t n, int64_t p,
                                   int64_t studentize, double *arena, double *stat) {
    *stat = kNaN;
    double rss, tss;
    const int status = kvr_bp_aux(eps, X_aug, n, p, arena, &rss, &tss);
    if (status != DIAG_OK) return status;
    if (std::isnan(rss)) return DIAG_OK;  // NaN regressors: keep the NaN, not a clamped 0
    if (studentize != 0) {
        double r2 = 0.0;
        if (tss > 0.0) {
            r2 = 1.0 - rss / tss;
            if (r2 > 1.0) r2 = 1.0;
            if (r2 < 0.0) r2 = 0.0;
        }
        *stat = r2 * static_cast<double>(n);
    } else {
        const double ess = 0.5 * (tss - rss);
        *stat = ess < 0.0 ? 0.0 : ess;
    }
    return DIAG_OK;
}

// ----------------------------------------------------------------------- Chow

// The fits' arena (G, L, h, beta), then the pooled and a segment's
// coefficients and their difference (k each).
extern "C" KVR_API kvr_arena_size_t kvr_chow_arena_size(int64_t k) {
    const kvr::Checked kc(kvr::size_arg(k));
    return kvr::arena_record((2 * kc + 5) * kc);
}

namespace {

// The Chow statistic with the designs of its three fits (pooled, first and
// second segment) from design(f, X, r), which either forms them in the
// arena or hands out a batch's; arena: G, L (k*k each, used by a forming
// design), h, beta (k each), then the pooled and a segment's coefficients
// and their difference (k each).
template <class Design>
KVR_INLINE int chow_core(const double *y, const double *X, int64_t n, int64_t k, int64_t t_break,
                         Design design, double *arena, double *stat) {
    if (k < 0) k = 0;
    if (n <= 0 || k >= n || n - k <= k) {  // n <= 2k without forming 2k
        *stat = kNaN;
        return DIAG_TOO_SHORT;
    }
    if (t_break < 1 || t_break >= n) {
        *stat = kNaN;
        return DIAG_BAD_ARG;
    }
    if (k == 0) {  // no coefficients to compare: F has no numerator degrees of freedom
        *stat = kNaN;
        return DIAG_BAD_ARG;
    }
    Fit all, seg1, seg2;
    double *h = arena + 2 * k * k, *pooled = h + 2 * k, *seg = pooled + k, *d = seg + k;
    if (!ols_solve(y, X, n, k, design(0, X, n), h, &all, pooled)) return DIAG_FALLBACK;
    if (all.rss == 0.0) {  // the pooled line fits exactly: no variance to compare
        *stat = kNaN;
        return DIAG_UDEF_VARIANCE;
    }
    // S - S1 - S2 is the spread of the segments' fitted values about the
    // pooled ones; summed as such it never cancels, which the difference of
    // the three sums does for small F on long samples.
    if (!ols_solve(y, X, t_break, k, design(1, X, t_break), h, &seg1, seg)) return DIAG_FALLBACK;
    const double between1 = spread(X, t_break, k, pooled, seg, d);
    const double *X2 = X + t_break * k;
    if (!ols_solve(y + t_break, X2, n - t_break, k, design(2, X2, n - t_break), h, &seg2, seg))
        return DIAG_FALLBACK;
    const double between = between1 + spread(X2, n - t_break, k, pooled, seg, d);
    const double within = seg1.rss + seg2.rss;
    // Both segments fitted exactly: F would be infinite, a ratio to no variance.
    if (within == 0.0) {
        *stat = kNaN;
        return DIAG_UDEF_VARIANCE;
    }
    // Finite data whose sums of squares left the range of doubles (see
    // kvr_range.hpp; NaN: a fit whose sums overflowed) leave no variances to
    // compare. Non-finite data propagate as before.
    if ((kvr::variance_out_of_range(all.rss, n) || kvr::variance_out_of_range(within, n - 2 * k) ||
         std::isnan(all.rss + within)) &&
        kvr::all_finite(y, n) && kvr::all_finite(X, n * k)) {
        *stat = kNaN;
        return DIAG_UDEF_VARIANCE;
    }
    // Both sums must be well above what rounding leaves in them: the within
    // sum, the segments' bounds; the spread, the fitted values' drift u,
    // 2 sqrt(between) u + u^2. That fails when the fits are tight for their
    // conditioning, as with a response dominated by a trend.
    const double u = all.drift + (seg1.drift > seg2.drift ? seg1.drift : seg2.drift);
    const double err_between = u * (2.0 * std::sqrt(between) + u);
    if (seg1.err + seg2.err > kvr::kMaxSumErr * within || err_between > kvr::kMaxSumErr * between)
        return DIAG_FALLBACK;
    const double F = (between / static_cast<double>(k)) / (within / static_cast<double>(n - 2 * k));
    if (within > 0.0 && std::isinf(F)) {  // a within variance too small beside the difference
        *stat = kNaN;
        return DIAG_UDEF_VARIANCE;
    }
    *stat = F;
    return DIAG_OK;
}

}  // namespace

extern "C" KVR_API KVR_MULTIVERSION int kvr_chow_stat(const double *y, const double *X, int64_t n,
                                                      int64_t k, int64_t t_break, double *arena,
                                                      double *stat) {
    const int64_t kc = k < 0 ? 0 : k;
    double *G = arena, *L = G + kc * kc, *work = L + kc * kc;  // work: h and beta, free here
    return chow_core(
        y, X, n, k, t_break,
        [&](int, const double *Xr, int64_t r) __attribute__((always_inline)) {
            return ols_design(Xr, r, kc, G, L, work);
        },
        arena, stat);
}

extern "C" KVR_HIDDEN void kvr_chow_designs(const double *X, int64_t n, int64_t k, int64_t t_break,
                                            double *G, double *L, double *work, kvr_ols_design *d) {
    d[0] = ols_design(X, n, k, G, L, work);
    d[1] = ols_design(X, t_break, k, G + k * k, L + k * k, work);
    d[2] = ols_design(X + t_break * k, n - t_break, k, G + 2 * k * k, L + 2 * k * k, work);
}

extern "C" KVR_HIDDEN KVR_MULTIVERSION int kvr_chow_stat_cached(const double *y, const double *X,
                                                                int64_t n, int64_t k,
                                                                int64_t t_break,
                                                                const kvr_ols_design *d,
                                                                double *arena, double *stat) {
    return chow_core(
        y, X, n, k, t_break,
        [&](int f, const double *, int64_t) __attribute__((always_inline)) {
            return d[f];
        },
        arena, stat);
}
