// Sorting, the median and the standard normal quantile (Wichura's AS 241,
// PPND16, about 1e-16 relative accuracy).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "kvr_simd.hpp"
#include "linalg.h"

extern "C" KVR_API int kvr_cmp_f64(const void *a, const void *b) {
    const double x = *static_cast<const double *>(a);
    const double y = *static_cast<const double *>(b);
    return (x > y) - (x < y);
}

// The comparison treats NaN as equal to everything, which is not a strict
// weak order, and some C library sorts step out of bounds on such input.
// NaNs are therefore moved to the end first (their place is unspecified
// anyway) and only the NaN-free prefix is handed to qsort.
extern "C" KVR_API void kvr_sort_f64(double *a, int64_t n) {
    if (!a || n <= 1) return;
    if (static_cast<uint64_t>(n) > PTRDIFF_MAX / sizeof(double)) return;
    int64_t end = n;
    for (int64_t i = 0; i < end;) {
        if (std::isnan(a[i])) {
            const double t = a[i];
            a[i] = a[--end];
            a[end] = t;
        } else {
            ++i;
        }
    }
    if (end > 1) std::qsort(a, static_cast<std::size_t>(end), sizeof(double), kvr_cmp_f64);
}

extern "C" KVR_API double kvr_median_f64(double *a, int64_t n) {
    if (!a || n < 1) return std::numeric_limits<double>::quiet_NaN();
    if (n == 1) return a[0];
    kvr_sort_f64(a, n);
    if (n % 2 == 1) return a[n / 2];
    return (a[n / 2 - 1] + a[n / 2]) * 0.5;
}

namespace {

// Horner with fused steps, highest coefficient first; c[0] is the constant.
template <int N>
KVR_INLINE double horner(const double (&c)[N], double x) {
    double v = c[N - 1];
    for (int i = N - 2; i >= 0; --i) v = kvr::fma(v, x, c[i]);
    return v;
}

// AS 241 coefficients, constant term first.
constexpr double kA[8] = {3.3871328727963666080e0,  1.3314166789178437745e+2,
                          1.9715909503065514427e+3, 1.3731693765509461125e+4,
                          4.5921953931549871457e+4, 6.7265770927008700853e+4,
                          3.3430575583588128105e+4, 2.5090809287301226727e+3};
constexpr double kB[8] = {1.0,
                          4.2313330701600911252e+1,
                          6.8718700749205790830e+2,
                          5.3941960214247511077e+3,
                          2.1213794301586595867e+4,
                          3.9307895800092710610e+4,
                          2.8729085735721942674e+4,
                          5.2264952788528545610e+3};
constexpr double kC[8] = {1.42343711074968357734e0,  4.63033784615654529590e0,
                          5.76949722146069140550e0,  3.64784832476320460504e0,
                          1.27045825245236838258e0,  2.41780725177450611770e-1,
                          2.27238449892691845833e-2, 7.74545014278341407640e-4};
constexpr double kD[8] = {1.0,
                          2.05319162663775882187e0,
                          1.67638483018380384940e0,
                          6.89767334985100004550e-1,
                          1.48103976427480074590e-1,
                          1.51986665636164571966e-2,
                          5.47593808499534494600e-4,
                          1.05075007164441684324e-9};
constexpr double kE[8] = {6.65790464350110377720e0,  5.46378491116411436990e0,
                          1.78482653991729133580e0,  2.96560571828504891230e-1,
                          2.65321895265761230930e-2, 1.24266094738807843860e-3,
                          2.71155556874348757815e-5, 2.01033439929228813265e-7};
constexpr double kF[8] = {1.0,
                          5.99832206555887937690e-1,
                          1.36929880922735805310e-1,
                          1.48753612908506148525e-2,
                          7.86869131145613259100e-4,
                          1.84631831751005468180e-5,
                          1.42151175831644588870e-7,
                          2.04426310338993978564e-15};

KVR_INLINE double ndtri(double p) {
    if (p <= 0.0) return -std::numeric_limits<double>::infinity();
    if (p >= 1.0) return std::numeric_limits<double>::infinity();
    const double q = p - 0.5;
    if (std::fabs(q) <= 0.425) {
        const double r = kvr::fma(-q, q, 0.180625);
        return q * horner(kA, r) / horner(kB, r);
    }
    double r = std::sqrt(-std::log(q < 0.0 ? p : 1.0 - p));
    double z;
    if (r <= 5.0) {
        r = r - 1.6;
        z = horner(kC, r) / horner(kD, r);
    } else {
        r = r - 5.0;
        z = horner(kE, r) / horner(kF, r);
    }
    return q < 0.0 ? -z : z;
}

}  // namespace

extern "C" KVR_API KVR_MULTIVERSION double kvr_ndtri_as241(double p) { return ndtri(p); }

extern "C" KVR_API KVR_MULTIVERSION void kvr_ndtri_as241_into(const double *p, int64_t n,
                                                              double *out) {
    if (!p || !out) return;
    for (int64_t i = 0; i < n; ++i) out[i] = ndtri(p[i]);
}

// erfinv(x) = ndtri((1 + x) / 2) / sqrt(2), since erf(z / sqrt 2) = 2 Phi(z) - 1.
// Forming (1 + x)/2 would round away x below an ulp of 1/2 and, near 1, the
// distance to 1 that the tail depends on, so the argument never is: the
// central branch takes q = x/2 straight into AS 241's central polynomial
// (the halving is folded into the final constant, which also keeps
// subnormal x), and the tails use -ndtri((1 - |x|)/2), where 1 - |x| is
// exact. Computed on |x| with the sign put back, so the result is odd.
extern "C" KVR_API KVR_MULTIVERSION double kvr_erfinv_from_as241(double x) {
    const double a = std::fabs(x);
    double z;
    if (a <= 0.85) {  // |q| <= 0.425
        const double r = kvr::fma(-0.25 * a, a, 0.180625);
        z = a * (horner(kA, r) / horner(kB, r) / 2.8284271247461903);  // 2 sqrt(2)
    } else if (a < 1.0) {
        z = -ndtri((1.0 - a) * 0.5) / 1.4142135623730951;
    } else {
        z = a == a ? std::numeric_limits<double>::infinity() : a;  // |x| >= 1; NaN stays NaN
    }
    return std::copysign(z, x);
}
