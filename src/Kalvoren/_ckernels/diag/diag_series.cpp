// Autocorrelation, Ljung-Box and the Jarque-Bera statistic of one series.
#include <cmath>
#include <cstring>
#include <limits>

#include "diag_series.h"

#include "kvr_range.hpp"
#include "kvr_simd.hpp"
#include "kvr_size.hpp"
#include "kvr_vec.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Every long sum here is kvr::sum_lanes<8> in its vector form (Lanes8):
// element t goes to lane t % 8 and the lanes are combined in one fixed order,
// so a result does not depend on the dispatched ISA.
using kvr::blocks8;
using kvr::Lanes8;
using kvr::vfma;
using kvr::vload;
using kvr::vstore;
typedef kvr::vec<4> v4d;

KVR_INLINE double sum(const double *__restrict x, int64_t n) {
    v4d lo = {}, hi = {};
    const int64_t n8 = blocks8(n);
    for (int64_t t = 0; t < n8; t += 8) {
        lo += vload<4>(x + t);
        hi += vload<4>(x + t + 4);
    }
    Lanes8 s(lo, hi);
    for (int64_t t = n8; t < n; ++t) s.v[t - n8] += x[t];
    return s.sum();
}

// z = x - mean(x); returns sum(z^2), or 0 for an empty series (nothing read).
KVR_INLINE double center(const double *__restrict x, int64_t n, double *__restrict z) {
    if (n <= 0) return 0.0;
    const double mean = sum(x, n) / static_cast<double>(n);
    v4d lo = {}, hi = {};
    const int64_t n8 = blocks8(n);
    for (int64_t t = 0; t < n8; t += 8) {
        const v4d a = vload<4>(x + t) - mean, b = vload<4>(x + t + 4) - mean;
        vstore<4>(z + t, a);
        vstore<4>(z + t + 4, b);
        lo = vfma<4>(a, a, lo);
        hi = vfma<4>(b, b, hi);
    }
    Lanes8 ss(lo, hi);
    for (int64_t t = n8; t < n; ++t) {
        const double d = x[t] - mean;
        z[t] = d;
        ss.v[t - n8] = kvr::fma(d, d, ss.v[t - n8]);
    }
    return ss.sum();
}

// Only a positive finite sum of squares gives a variance; tiny (even
// subnormal) sums pass, since the centered values are then not all zero.
KVR_INLINE bool usable(double ss) { return ss > 0.0 && std::isfinite(ss); }

// c[b] = sum over s < n-k-b of z[s] * z[s+k+b], for the B lags k..k+B-1,
// all below n. Product s goes to lane s % 8 whatever B is, so blocking lags
// changes no result; a block shares each load of z[s] between its lags and
// keeps 2B independent FMA chains in flight.
template <int B>
KVR_INLINE void lag_block(const double *__restrict z, int64_t n, int64_t k, double *__restrict c) {
    v4d lo[B] = {}, hi[B] = {};
    const int64_t common = blocks8(n - k - (B - 1));
    for (int64_t s = 0; s < common; s += 8) {
        const v4d a = vload<4>(z + s), b = vload<4>(z + s + 4);
        for (int j = 0; j < B; ++j) {
            lo[j] = vfma<4>(a, vload<4>(z + s + k + j), lo[j]);
            hi[j] = vfma<4>(b, vload<4>(z + s + k + j + 4), hi[j]);
        }
    }
    for (int j = 0; j < B; ++j) {
        Lanes8 acc(lo[j], hi[j]);
        const int64_t m = n - k - j;
        for (int64_t s = common; s < m; ++s)
            acc.v[s & 7] = kvr::fma(z[s], z[s + k + j], acc.v[s & 7]);
        c[j] = acc.sum();
    }
}

// c[k] = sum over t = k..n-1 of z[t] z[t-k], for k = 1..last (last <= n-1).
KVR_INLINE void lag_products(const double *__restrict z, int64_t n, int64_t last,
                             double *__restrict c) {
    int64_t k = 1;
    for (; k + 3 <= last; k += 4) lag_block<4>(z, n, k, c + k);
    for (; k <= last; ++k) lag_block<1>(z, n, k, c + k);
}

}  // namespace

// Lags are not clamped: out has L+1 entries and lags from n on are exactly 0.
extern "C" KVR_API KVR_MULTIVERSION int kvr_acorr(const double *x, int64_t n, int64_t L, double *z,
                                                  double *out) {
    const double ss = center(x, n, z);
    if (!usable(ss)) {
        if (L >= 0) {
            for (int64_t k = 0; k < L; ++k) out[k] = kNaN;
            out[L] = kNaN;  // separately, so L = INT64_MAX cannot overflow the index
        }
        return DIAG_UDEF_VARIANCE;
    }
    if (L < 0) return DIAG_OK;
    out[0] = 1.0;
    const int64_t last = L < n - 1 ? L : n - 1;  // n >= 2 once ss > 0
    lag_products(z, n, last, out);
    for (int64_t k = 1; k <= last; ++k) out[k] = out[k] / ss;
    double *beyond = out + last + 1;
    for (int64_t i = 0; i < L - last; ++i) beyond[i] = 0.0;
    return DIAG_OK;
}

extern "C" KVR_API KVR_MULTIVERSION int kvr_lb_stat(const double *x, int64_t n, int64_t L,
                                                    double *z, double *rho, double *stat) {
    if (n < 2) {
        *stat = kNaN;
        return DIAG_TOO_SHORT;
    }
    int64_t last;
    if (L >= n) {
        last = n - 1;
    } else if (L <= 0) {
        *stat = kNaN;
        return DIAG_BAD_LAG;
    } else {
        last = L;
    }
    const double ss = center(x, n, z);
    if (!usable(ss)) {
        for (int64_t k = 0; k <= last; ++k) rho[k] = kNaN;
        *stat = kNaN;
        return DIAG_UDEF_VARIANCE;
    }
    rho[0] = 1.0;
    lag_products(z, n, last, rho);
    double q = 0.0;
    for (int64_t k = 1; k <= last; ++k) {
        rho[k] = rho[k] / ss;
        q += rho[k] * rho[k] / static_cast<double>(n - k);
    }
    *stat = (static_cast<double>(n + 2) * static_cast<double>(n)) * q;
    return DIAG_OK;
}

extern "C" KVR_API kvr_arena_size_t kvr_lb_arena_size(int64_t n, int64_t L) {
    const int64_t cap = n >= 2 ? n - 1 : 0;
    const int64_t lag = L <= 0 ? 0 : (L < cap ? L : cap);
    return kvr::arena_record(kvr::Checked(kvr::size_arg(n)) + lag + 1);
}

namespace {

// x, or x scaled by an exact power of two.
template <bool Scaled>
KVR_INLINE v4d load4(const double *p, const kvr::Pow2 &f) {
    const v4d v = vload<4>(p);
    if constexpr (Scaled) return (v * f.a) * f.b;
    return v;
}

template <bool Scaled>
KVR_INLINE double at(const double *p, const kvr::Pow2 &f) {
    if constexpr (Scaled) return f(*p);
    return *p;
}

// Two passes: the mean, then the second to fourth central moments, each from
// the rounded square d^2. Returns m2 and writes the statistic.
template <bool Scaled>
KVR_INLINE double jb(const double *__restrict v, int64_t n, const kvr::Pow2 &f, double *stat) {
    double mean;
    if constexpr (Scaled) {
        v4d lo = {}, hi = {};
        const int64_t n8 = blocks8(n);
        for (int64_t t = 0; t < n8; t += 8) {
            lo += load4<true>(v + t, f);
            hi += load4<true>(v + t + 4, f);
        }
        Lanes8 s(lo, hi);
        for (int64_t t = n8; t < n; ++t) s.v[t - n8] += f(v[t]);
        mean = s.sum() / static_cast<double>(n);
    } else {
        mean = sum(v, n) / static_cast<double>(n);
    }
    v4d s2lo = {}, s2hi = {}, s3lo = {}, s3hi = {}, s4lo = {}, s4hi = {};
    const int64_t n8 = blocks8(n);
    for (int64_t t = 0; t < n8; t += 8) {
        const v4d a = load4<Scaled>(v + t, f) - mean, b = load4<Scaled>(v + t + 4, f) - mean;
        const v4d a2 = a * a, b2 = b * b;
        s2lo += a2;
        s2hi += b2;
        s3lo = vfma<4>(a2, a, s3lo);
        s3hi = vfma<4>(b2, b, s3hi);
        s4lo = vfma<4>(a2, a2, s4lo);
        s4hi = vfma<4>(b2, b2, s4hi);
    }
    Lanes8 s2(s2lo, s2hi), s3(s3lo, s3hi), s4(s4lo, s4hi);
    for (int64_t t = n8; t < n; ++t) {
        const int64_t j = t - n8;
        const double d = at<Scaled>(v + t, f) - mean;
        const double d2 = d * d;
        s2.v[j] += d2;
        s3.v[j] = kvr::fma(d2, d, s3.v[j]);
        s4.v[j] = kvr::fma(d2, d2, s4.v[j]);
    }
    const double dn = static_cast<double>(n);
    const double m2 = s2.sum() / dn;
    const double m3 = s3.sum() / dn;
    const double m4 = s4.sum() / dn;
    const double skew = m3 / std::pow(m2, 1.5);
    const double exkurt = m4 / (m2 * m2) - 3.0;
    *stat = (exkurt * exkurt / 24.0 + skew * skew / 6.0) * dn;
    return m2;
}

}  // namespace

// The statistic does not depend on the scale of x. When the moments leave the
// range of doubles (m2^2 below DBL_MIN, an overflowing sum or fourth power:
// data below about 1e-77 or above about 1e77), x is taken again scaled by the
// power of two that brings its largest magnitude to [1, 2), where they cannot.
extern "C" KVR_API KVR_MULTIVERSION int kvr_jb_stat(const double *x, int64_t n, double *stat) {
    if (n <= 0) {
        *stat = kNaN;
        return DIAG_TOO_SHORT;
    }
    const kvr::Pow2 one(0);
    double m2 = jb<false>(x, n, one, stat), top;
    if (!(m2 * m2 >= DBL_MIN && std::isfinite(*stat)) && kvr::finite_max_abs(x, n, &top) &&
        top > 0.0)
        m2 = jb<true>(x, n, kvr::Pow2(kvr::unit_exponent(top)), stat);
    // Only a positive finite variance gives a statistic (a constant or NaN series does not).
    if (!(usable(m2) && std::isfinite(*stat))) {
        *stat = kNaN;
        return DIAG_UDEF_VARIANCE;
    }
    return n >= 10 ? DIAG_OK : DIAG_TOO_SHORT;
}
