// Finite data at the edges of double's range: squares of values below about
// 1e-154 underflow and those above about 1e154 overflow, so a kernel whose
// sums of squares leave the normal range either rescales by a power of two
// (exact) or reports that it has no variance to work with.
#ifndef KVR_RANGE_HPP
#define KVR_RANGE_HPP

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "kvr_simd.hpp"

namespace kvr {

// The largest |x[i]|, false when some x[i] is NaN or infinite.
KVR_INLINE bool finite_max_abs(const double *x, int64_t n, double *mx) {
    double m = 0.0;
    bool finite = true;
    for (int64_t i = 0; i < n; ++i) {
        const double a = std::fabs(x[i]);
        finite &= a <= DBL_MAX;
        m = a > m ? a : m;
    }
    *mx = m;
    return finite;
}

KVR_INLINE bool all_finite(const double *x, int64_t n) {
    double unused;
    return finite_max_abs(x, n, &unused);
}

// Multiplication by 2^p, |p| <= 2044, as (x * a) * b with a and b powers of
// two in range: exact wherever the result is a normal number, subnormal
// inputs included.
struct Pow2 {
    double a, b;
    explicit Pow2(int p) : a(std::ldexp(1.0, p / 2)), b(std::ldexp(1.0, p - p / 2)) {}
    KVR_INLINE double operator()(double x) const { return (x * a) * b; }
};

// The power of two that brings a positive finite m into [1, 2).
KVR_INLINE int unit_exponent(double m) { return -std::ilogb(m); }

// A sum of squares ss over dof terms whose variance ss / dof is not a normal
// number: infinite, or positive but below DBL_MIN. Each square that
// underflows is off by up to 2^-1075, so from ss / dof >= DBL_MIN on the
// underflow costs at most one rounding unit of ss; below, the digits go.
// 0 and NaN are left to the caller.
KVR_INLINE bool variance_out_of_range(double ss, int64_t dof) {
    return ss > DBL_MAX || (ss > 0.0 && ss / static_cast<double>(dof > 1 ? dof : 1) < DBL_MIN);
}

// A cross-product matrix G (k x k, of r rows) with a column whose mean square
// G_jj / r is not a normal number: the products that formed it left the
// range of doubles, so its entries lost their digits (or overflowed).
KVR_INLINE bool gram_out_of_range(const double *G, int64_t k, int64_t r) {
    bool out = false;
    for (int64_t j = 0; j < k; ++j) out |= variance_out_of_range(G[j * k + j], r);
    return out;
}

}  // namespace kvr

#endif
