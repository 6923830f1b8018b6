// Inline pieces shared by the HAC, Wald and vech kernels. Not part of the C
// interface; everything here is KVR_INLINE so that the ISA clones of the
// callers inline it.
#ifndef KVR_DIAG_HAC_DETAIL_HPP
#define KVR_DIAG_HAC_DETAIL_HPP

#include <cmath>
#include <cstdint>

#include "diag_hac.h"
#include "kvr_simd.hpp"

namespace kvr::hac {

// A kernel id with a row in _KERNEL_SPECS.
KVR_INLINE bool known_kernel(int kernel_id) {
    return kernel_id >= HAC_KERNEL_BARTLETT && kernel_id <= HAC_KERNEL_QS;
}

// floor(4 (n/100)^(2/9)). Below one observation pow would see a negative base
// (NaN, whose conversion is undefined), so the rule's floor of 1 is returned.
KVR_INLINE int64_t wooldridge(int64_t n) {
    if (n < 1) return 1;
    return static_cast<int64_t>(
        std::floor(std::pow(static_cast<double>(n) / 100.0, 0.2222222222222222) * 4.0));
}

// The symmetry test of a pair: a is the upper entry, b its mirror, and the
// tolerance scales with the mirror.
KVR_INLINE bool symmetric_pair(double a, double b, double atol, double rtol) {
    if (a == b) return true;
    const double d = a - b;
    if (!std::isfinite(d)) return false;
    return std::fabs(d) <= kvr::fma(std::fabs(b), rtol, atol);
}

// vech of a p x p target after the pair test, in vech order; stops at the
// first failing pair, leaving the pairs before it in vec.
KVR_INLINE int fill_vech_checked(const double *T, int64_t p, double *vec, double atol,
                                 double rtol) {
    int64_t h = 0;
    for (int64_t i = 0; i < p; ++i) {
        for (int64_t j = i; j < p; ++j) {
            const double a = T[i * p + j];
            if (!symmetric_pair(a, T[j * p + i], atol, rtol)) return DIAG_BAD_SHAPE;
            vec[h++] = a;
        }
    }
    return DIAG_OK;
}

// vech(x x') for one row of p values.
KVR_INLINE void vech_outer_row(const double *__restrict x, int64_t p, double *__restrict out) {
    for (int64_t i = 0; i < p; ++i) {
        const double xi = x[i];
        for (int64_t j = i; j < p; ++j) *out++ = x[j] * xi;
    }
}

// q = p(p+1)/2 without overflow; false when it does not fit.
KVR_INLINE bool vech_len(int64_t p, int64_t *q) {
    int64_t sq;
    if (p < 0 || __builtin_mul_overflow(p, p, &sq) || __builtin_add_overflow(sq, p, &sq))
        return false;
    *q = sq / 2;
    return true;
}

}  // namespace kvr::hac

#endif
