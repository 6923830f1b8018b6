// Lag windows, the Wooldridge and Andrews bandwidths, and the HAC long-run
// covariance.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "diag_hac.h"

#include "diag_hac_detail.hpp"
#include "kvr_simd.hpp"
#include "linalg.h"

// C linkage comes from the declaration in diag_hac.h. Rows in kernel-id order.
const double _KERNEL_SPECS[3][2] = {
    {1.1447, 1.0},  // HAC_KERNEL_BARTLETT
    {2.6614, 2.0},  // HAC_KERNEL_PARZEN
    {1.3221, 2.0},  // HAC_KERNEL_QS
};
static_assert(HAC_KERNEL_BARTLETT == 0 && HAC_KERNEL_PARZEN == 1 && HAC_KERNEL_QS == 2,
              "one row of _KERNEL_SPECS per kernel id, in order");

namespace {

using kvr::hac::known_kernel;

KVR_INLINE double lag_weight(int64_t j, int64_t bandwidth, int kernel_id) {
    int64_t b1;
    // bandwidth + 1 overflows only at INT64_MAX, whose successor is 2^63
    const double denom = __builtin_add_overflow(bandwidth, int64_t{1}, &b1)
                             ? 9223372036854775808.0
                             : static_cast<double>(b1);
    const double x = static_cast<double>(j) / denom;
    switch (kernel_id) {
        case HAC_KERNEL_BARTLETT: return j > bandwidth ? 0.0 : 1.0 - x;
        case HAC_KERNEL_PARZEN: {
            if (x > 1.0) return 0.0;
            if (x <= 0.5) {
                const double x2 = x * x;
                return kvr::fma(kvr::fma(x2, x, -x2), 6.0, 1.0);
            }
            const double u = 1.0 - x;
            return (u * u) * (2.0 * u);
        }
        case HAC_KERNEL_QS: {
            if (std::fabs(x) <= 1e-8) return 1.0;
            const double z = x * 18.84955592153876 / 5.0;  // 6 pi x / 5
            return 25.0 * (std::sin(z) / z - std::cos(z)) / (x * x * 118.4352528130723);  // 12 pi^2
        }
        default: return 0.0;
    }
}

// ------------------------------------------------------ Andrews bandwidth

// What the AR(1) plug-in needs from one column: the variance about the mean
// (only to spot constant columns) and the raw lag-one cross products.
struct Ar1Sums {
    double v, s00, s01;
};

// Sums over n rows (row stride ld) for W adjacent columns. Every column's
// terms are spread over four row phases, so W = 1 (one series) and W = 8 (a
// block of a matrix, read a row at a time) give the same bits.
template <int W>
KVR_INLINE void ar1_sums(const double *X, int64_t ld, int64_t n, Ar1Sums *out) {
    double a[4][W] = {};
    int64_t t = 0;
    for (; t + 4 <= n; t += 4)
        for (int ph = 0; ph < 4; ++ph)
            for (int c = 0; c < W; ++c) a[ph][c] += X[(t + ph) * ld + c];
    for (; t < n; ++t)
        for (int c = 0; c < W; ++c) a[t & 3][c] += X[t * ld + c];
    const double dn = static_cast<double>(n);
    double mean[W];
    for (int c = 0; c < W; ++c) mean[c] = ((a[0][c] + a[1][c]) + (a[2][c] + a[3][c])) / dn;

    // term u pairs rows u and u + 1; the last row's squared deviation follows
    double v[4][W] = {}, s00[4][W] = {}, s01[4][W] = {};
    for (int64_t u = 0; u + 1 < n; ++u) {
        const int ph = static_cast<int>(u & 3);
        const double *r0 = X + u * ld, *r1 = r0 + ld;
        for (int c = 0; c < W; ++c) {
            const double d = r0[c] - mean[c];
            v[ph][c] = kvr::fma(d, d, v[ph][c]);
            s01[ph][c] = kvr::fma(r1[c], r0[c], s01[ph][c]);
            s00[ph][c] = kvr::fma(r0[c], r0[c], s00[ph][c]);
        }
    }
    const int last = static_cast<int>((n - 1) & 3);
    for (int c = 0; c < W; ++c) {
        const double d = X[(n - 1) * ld + c] - mean[c];
        v[last][c] = kvr::fma(d, d, v[last][c]);
    }
    for (int c = 0; c < W; ++c) {
        out[c].v = ((v[0][c] + v[1][c]) + (v[2][c] + v[3][c])) / dn;
        out[c].s00 = (s00[0][c] + s00[1][c]) + (s00[2][c] + s00[3][c]);
        out[c].s01 = (s01[0][c] + s01[1][c]) + (s01[2][c] + s01[3][c]);
    }
}

inline bool constant_column(const Ar1Sums &s) { return s.v <= 1e-14; }

// Plug-in bandwidth of a non-constant column; nec = n^e * c.
inline int64_t ar1_bandwidth(const Ar1Sums &s, double nec, double e) {
    if (!std::isfinite(s.s00) || !std::isfinite(s.s01) || s.s00 == 0.0) return 1;
    const double rho = std::clamp(s.s01 / s.s00, -0.999, 0.999);
    const double alpha = rho * (2.0 * (rho + 1.0)) / ((1.0 - rho) * (1.0 - rho));
    if (!(alpha > 0.0) || !std::isfinite(alpha)) return 1;
    const double bw = std::floor(nec * std::pow(alpha, e));
    return bw > 1.0 ? static_cast<int64_t>(bw) : 1;
}

inline double exponent(int kernel_id) { return 1.0 / (2.0 * _KERNEL_SPECS[kernel_id][1] + 1.0); }

inline double n_pow_c(int kernel_id, int64_t n) {
    return std::pow(static_cast<double>(n), exponent(kernel_id)) * _KERNEL_SPECS[kernel_id][0];
}

}  // namespace

extern "C" KVR_API double kernel_weight(int64_t j, int64_t bandwidth, int kernel_id) {
    return lag_weight(j, bandwidth, kernel_id);
}

extern "C" KVR_API int64_t wooldridge_bandwidth(const double *, int64_t n) {
    return kvr::hac::wooldridge(n);
}

// An unknown kernel id has no row in _KERNEL_SPECS: it gets bandwidth 1
// instead of a read past the table.
extern "C" KVR_API KVR_MULTIVERSION int64_t andrews_bandwidth(const double *x, int kernel_id,
                                                              int64_t n) {
    if (n < 2 || !known_kernel(kernel_id)) return 1;
    Ar1Sums s;
    ar1_sums<1>(x, 1, n, &s);
    if (constant_column(s)) return 1;
    return ar1_bandwidth(s, n_pow_c(kernel_id, n), exponent(kernel_id));
}

extern "C" KVR_API KVR_MULTIVERSION int64_t andrews_bandwidth_matrix(const double *X, int kernel_id,
                                                                     int64_t n, int64_t p,
                                                                     double *scratch) {
    if (p == 1) return andrews_bandwidth(X, kernel_id, n);
    if (p < 1 || n < 2 || !known_kernel(kernel_id)) return 1;
    const double nec = n_pow_c(kernel_id, n), e = exponent(kernel_id);
    constexpr int kBlock = 8;
    int64_t count = 0;
    auto keep = [&](const Ar1Sums &s) {
        if (!constant_column(s)) scratch[count++] = static_cast<double>(ar1_bandwidth(s, nec, e));
    };
    int64_t j = 0;
    for (; j + kBlock <= p; j += kBlock) {
        Ar1Sums s[kBlock];
        ar1_sums<kBlock>(X + j, p, n, s);
        for (const Ar1Sums &c : s) keep(c);
    }
    for (; j < p; ++j) {
        Ar1Sums s;
        ar1_sums<1>(X + j, p, n, &s);
        keep(s);
    }
    if (count == 0) return 1;
    return static_cast<int64_t>(std::floor(kvr_median_f64(scratch, count)));
}

// ------------------------------------------------------------ HAC covariance

extern "C" KVR_API void kvr_hac_estimator_matmul(const double *r, int kernel_id, int64_t L,
                                                 int64_t n, int64_t p, double *gamma, double *out) {
    kvr_gram(r, out, n, p);
    if (p <= 0) return;
    const int64_t lmax = n <= 1 ? 0 : std::min(L, n - 1);
    if (known_kernel(kernel_id)) {
        for (int64_t j = 1; j <= lmax; ++j) {
            const double w = lag_weight(j, lmax, kernel_id);
            if (w == 0.0) continue;
            kvr_matmul_atb(r, r + j * p, gamma, n - j, p, p);
            for (int64_t a = 0; a < p; ++a) {
                double *__restrict o = out + a * p;
                const double *__restrict g = gamma + a * p;
                for (int64_t b = 0; b < p; ++b) o[b] = kvr::fma(gamma[b * p + a] + g[b], w, o[b]);
            }
        }
    }
    // an empty series (n <= 0) gives 0 / 0, as for n = 0
    const double dn = n < 0 ? 0.0 : static_cast<double>(n);
    for (int64_t i = 0; i < p * p; ++i) out[i] = out[i] / dn;
}
