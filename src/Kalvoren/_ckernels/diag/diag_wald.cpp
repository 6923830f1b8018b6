// The Wald statistic from a mean and a covariance, and the HAC Wald tests on
// the mean, covariance and second moment of a multivariate series.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "diag_wald.h"

#include "diag_colstats.h"
#include "diag_hac.h"
#include "diag_hac_detail.hpp"
#include "kvr_range.hpp"
#include "kvr_simd.hpp"
#include "kvr_size.hpp"
#include "linalg.h"

namespace {

// Entries of omega beyond 2^+-500 would leave the range of doubles in the
// products of a factorisation.
constexpr double kFarScale = 0x1p-500;

}  // namespace

extern "C" KVR_API int kvr_wald_stat_from_mean_and_cov(const double *mean, const double *target,
                                                       const double *omega, int64_t n, int64_t p,
                                                       double *dev, double *factor, int64_t *pivot,
                                                       double *solved, double *stat) {
    *stat = std::numeric_limits<double>::quiet_NaN();
    // a negative observation count is an empty sample, like n = 0
    const double dn = static_cast<double>(std::max<int64_t>(n, 0));
    double top = 0.0;
    const bool finite = p > 0 && kvr::finite_max_abs(omega, p * p, &top) &&
                        kvr::all_finite(mean, p) && kvr::all_finite(target, p) && top > 0.0;
    const bool far = finite && (top < kFarScale || top * kFarScale > 1.0);
    double w = std::numeric_limits<double>::quiet_NaN();
    if (!far) {
        for (int64_t i = 0; i < p; ++i) dev[i] = mean[i] - target[i];
        if (kvr_chol(omega, factor, p, 0.0) == 0) {
            kvr_forward_subst(factor, dev, solved, p);
            kvr_backward_subst_chol_t(factor, solved, solved, p);
        } else {
            // LU reads both triangles; the Cholesky attempt read only the lower one
            std::memcpy(factor, omega, static_cast<size_t>(p * p) * sizeof(double));
            if (kvr_lu_factor_inplace(factor, pivot, p) != 0) return DIAG_SINGULAR;
            kvr_lu_solve(factor, pivot, dev, solved, p, 1);
        }
        w = kvr_dot(dev, solved, p) * dn;
    }
    // NaN input propagates into the statistic with status 0, like every kernel.
    // Finite input with omega far from 1 in scale, or whose form overflowed,
    // is taken with omega scaled by 2^-2s to about 1 and the deviation by
    // 2^-s, which leaves the form as it is.
    if (far || (finite && !std::isfinite(w))) {
        const int s = std::ilogb(top) / 2;
        const kvr::Pow2 fo(-2 * s), fd(-s);
        for (int64_t i = 0; i < p * p; ++i) factor[i] = fo(omega[i]);
        for (int64_t i = 0; i < p; ++i) dev[i] = fd(mean[i]) - fd(target[i]);
        if (kvr_lu_factor_inplace(factor, pivot, p) != 0) return DIAG_SINGULAR;
        kvr_lu_solve(factor, pivot, dev, solved, p, 1);
        w = kvr_dot(dev, solved, p) * dn;
        if (!std::isfinite(w)) return DIAG_UDEF_VARIANCE;  // the statistic itself overflows
    }
    if (w > -1e-12 && w < 0.0) w = 0.0;  // round-off of a PSD form
    *stat = w;
    return DIAG_OK;
}

// ------------------------------------------------------- HAC Wald tests

namespace {

constexpr double kSymAtol = 1e-8, kSymRtol = 1e-5;

using kvr::Checked;

// Sizes of one test: k, q = k(k+1)/2, the moment dimension m (k or q, also
// the pivot count) and the arena length; a negative n or k counts as 0.
struct Plan {
    int64_t k, q;
    Checked m{0}, len{0};
};

enum class Test { mean, covariance, second_moment };

Plan plan(Test test, int64_t n, int64_t k) {
    Plan s;
    n = kvr::size_arg(n);
    s.k = kvr::size_arg(k);
    const Checked kk(s.k);
    // k(k+1)/2 with the halving first, so q overflows only when it does not fit
    const int64_t half = s.k / 2;
    const Checked q = s.k % 2 == 0 ? Checked(half) * (s.k + 1) : kk * (half + 1);
    s.q = q.v;
    switch (test) {
        case Test::mean:
            s.m = kk;
            s.len = kk * (Checked(n) + Checked(3) * kk + 4);
            break;
        case Test::covariance:
            s.m = q;
            s.len = Checked(n) * (kk + s.q) + Checked(s.q) * (Checked(3) * s.q + 5);
            break;
        case Test::second_moment:
            s.m = q;
            s.len = Checked(s.q) * (Checked(n) + Checked(3) * s.q + 5);
            break;
    }
    s.len.ok = s.len.ok && q.ok;
    return s;
}

kvr_arena_size_t arena_size(Test test, int64_t n, int64_t k) {
    const Plan s = plan(test, n, k);
    return kvr::arena_record(s.len, s.m);
}

// The shared step: center the n x m moments U in place, pick the bandwidth,
// form Omega and the Wald statistic of the moment means against theta.
// work: mbar (m), gamma (m*m), Omega (m*m), dev (m), factor (m*m), solved (m),
// bandwidth scratch (m).
KVR_INLINE int wald_hac_from_moments(double *U, const double *theta, int64_t n, int64_t m,
                                     int kernel_id, int bw_rule, int64_t bandwidth, double *work,
                                     int64_t *pivot, double *stat) {
    double *mbar = work, *gamma = mbar + m, *omega = gamma + m * m, *dev = omega + m * m;
    double *factor = dev + m, *solved = factor + m * m, *bw_scratch = solved + m;
    if (m >= 1) {
        kvr_fill_mean_ax0(U, n, m, mbar);
        for (int64_t t = 0; t < n; ++t) {
            double *__restrict row = U + t * m;
            for (int64_t c = 0; c < m; ++c) row[c] = row[c] - mbar[c];
        }
    }
    if (!kvr::hac::known_kernel(kernel_id)) return DIAG_BAD_ARG;
    int64_t h;
    switch (bw_rule) {
        case HAC_BW_FIXED:
            if (bandwidth < 0) return DIAG_BAD_ARG;
            h = bandwidth;
            break;
        case HAC_BW_WOOLDRIDGE: h = kvr::hac::wooldridge(n); break;
        case HAC_BW_ANDREWS: h = andrews_bandwidth_matrix(U, kernel_id, n, m, bw_scratch); break;
        case HAC_BW_AUTO:
            h = kernel_id == HAC_KERNEL_BARTLETT
                    ? kvr::hac::wooldridge(n)
                    : andrews_bandwidth_matrix(U, kernel_id, n, m, bw_scratch);
            break;
        default: return DIAG_BAD_ARG;
    }
    kvr_hac_estimator_matmul(U, kernel_id, std::min(h, n - 1), n, m, gamma, omega);
    return kvr_wald_stat_from_mean_and_cov(mbar, theta, omega, n, m, dev, factor, pivot, solved,
                                           stat);
}

}  // namespace

extern "C" KVR_API kvr_arena_size_t kvr_wald_mean_hac_arena_size(int64_t n, int64_t k) {
    return arena_size(Test::mean, n, k);
}

extern "C" KVR_API kvr_arena_size_t kvr_wald_covariance_hac_arena_size(int64_t n, int64_t k) {
    return arena_size(Test::covariance, n, k);
}

extern "C" KVR_API kvr_arena_size_t kvr_wald_second_moment_hac_arena_size(int64_t n, int64_t k) {
    return arena_size(Test::second_moment, n, k);
}

// A size whose arena cannot exist (its length overflows int64) is refused with
// DIAG_BAD_ARG before any offset is formed from it.
extern "C" KVR_API KVR_MULTIVERSION int kvr_wald_mean_hac(const double *X, const double *target,
                                                          int64_t n, int64_t k, int kernel_id,
                                                          int bw_rule, int64_t bandwidth,
                                                          double *arena, int64_t *pivot,
                                                          double *stat) {
    if (n < 2) return DIAG_TOO_SHORT;
    const Plan s = plan(Test::mean, n, k);
    if (!s.len.ok) return DIAG_BAD_ARG;
    double *U = arena;
    if (s.k > 0) std::memcpy(U, X, static_cast<size_t>(n * s.k) * sizeof(double));
    return wald_hac_from_moments(U, target, n, s.k, kernel_id, bw_rule, bandwidth, U + n * s.k,
                                 pivot, stat);
}

extern "C" KVR_API KVR_MULTIVERSION int kvr_wald_covariance_hac(
    const double *X, const double *target, int64_t n, int64_t k, int kernel_id, int bw_rule,
    int64_t bandwidth, double *arena, int64_t *pivot, double *stat) {
    if (n < 2) return DIAG_TOO_SHORT;
    const Plan s = plan(Test::covariance, n, k);
    if (!s.len.ok) return DIAG_BAD_ARG;
    const int64_t kk = s.k, q = s.q;
    double *vech = arena, *cen = vech + q, *U = cen + n * kk;
    if (kk >= 1) {
        double *mean = U;  // until the moments overwrite it
        kvr_fill_mean_ax0(X, n, kk, mean);
        for (int64_t t = 0; t < n; ++t) {
            const double *__restrict x = X + t * kk;
            double *__restrict c = cen + t * kk;
            for (int64_t i = 0; i < kk; ++i) c[i] = x[i] - mean[i];
        }
        const int st = kvr::hac::fill_vech_checked(target, kk, vech, kSymAtol, kSymRtol);
        if (st != DIAG_OK) return st;
        for (int64_t t = 0; t < n; ++t) kvr::hac::vech_outer_row(cen + t * kk, kk, U + t * q);
    }
    return wald_hac_from_moments(U, vech, n, q, kernel_id, bw_rule, bandwidth, U + n * q, pivot,
                                 stat);
}

extern "C" KVR_API KVR_MULTIVERSION int kvr_wald_second_moment_hac(
    const double *X, const double *target, int64_t n, int64_t k, int kernel_id, int bw_rule,
    int64_t bandwidth, double *arena, int64_t *pivot, double *stat) {
    if (n < 2) return DIAG_TOO_SHORT;
    const Plan s = plan(Test::second_moment, n, k);
    if (!s.len.ok) return DIAG_BAD_ARG;
    const int64_t kk = s.k, q = s.q;
    double *vech = arena, *U = vech + q;
    if (kk >= 1) {
        const int st = kvr::hac::fill_vech_checked(target, kk, vech, kSymAtol, kSymRtol);
        if (st != DIAG_OK) return st;
        for (int64_t t = 0; t < n; ++t) kvr::hac::vech_outer_row(X + t * kk, kk, U + t * q);
    }
    return wald_hac_from_moments(U, vech, n, q, kernel_id, bw_rule, bandwidth, U + n * q, pivot,
                                 stat);
}
