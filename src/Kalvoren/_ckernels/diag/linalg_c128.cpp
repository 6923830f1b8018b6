// Complex matrix product and complex LU with partial pivoting. Pivots are
// compared by squared modulus and divided by Smith's scaled division, so
// quotients neither overflow nor underflow where the true value does not.
#include <cmath>
#include <limits>

#include "linalg.h"
#include "linalg_lu_impl.hpp"

namespace {

struct ComplexOps {
    using T = c128_t;
    // Smith's division by d = u + iv, prepared once per divisor.
    struct Div {
        bool re_major;  // |u| >= |v|
        double w, den;
    };
    static KVR_INLINE double mag(c128_t a) { return kvr::fma(a.re, a.re, a.im * a.im); }
    static KVR_INLINE Div prep(c128_t d) {
        const double u = d.re, v = d.im;
        if (std::fabs(u) >= std::fabs(v)) {
            const double w = v / u;
            return Div{true, w, kvr::fma(w, v, u)};
        }
        const double w = u / v;
        return Div{false, w, kvr::fma(w, u, v)};
    }
    static KVR_INLINE c128_t div(c128_t x, Div d) {
        const double a = x.re, b = x.im, w = d.w;
        if (d.re_major) return c128_t{(a + b * w) / d.den, (b - a * w) / d.den};
        return c128_t{(a * w + b) / d.den, (b * w - a) / d.den};
    }
    // x - l*u, the product's terms in the same order as c128_matmul.
    static KVR_INLINE c128_t mulsub(c128_t x, c128_t l, c128_t u) {
        double re = kvr::fma(-l.re, u.re, x.re);
        re = kvr::fma(l.im, u.im, re);
        double im = kvr::fma(-u.re, l.im, x.im);
        im = kvr::fma(-u.im, l.re, im);
        return c128_t{re, im};
    }
    static KVR_INLINE c128_t zero() { return c128_t{0.0, 0.0}; }
    static KVR_INLINE c128_t one() { return c128_t{1.0, 0.0}; }
    static KVR_INLINE c128_t nan() {
        const double q = std::numeric_limits<double>::quiet_NaN();
        return c128_t{q, q};
    }
};

}  // namespace

// C = A B. Each element accumulates over l in ascending order; the l loop is
// outside the column loop so the column loop runs over contiguous memory.
extern "C" KVR_API KVR_MULTIVERSION void c128_matmul(const c128_t *A, const c128_t *B, c128_t *C,
                                                     int64_t m, int64_t k, int64_t n) {
    std::size_t bytes;
    if (!C || !kvr::lu::block_bytes(m, n, sizeof(c128_t), &bytes)) return;
    if (k > 0 && (!A || !B || !kvr::lu::block_bytes(m, k, sizeof(c128_t), &bytes) ||
                  !kvr::lu::block_bytes(k, n, sizeof(c128_t), &bytes)))
        return;
    for (int64_t i = 0; i < m; ++i) {
        c128_t *__restrict ci = C + i * n;
        for (int64_t j = 0; j < n; ++j) ci[j] = c128_t{0.0, 0.0};
        for (int64_t l = 0; l < k; ++l) {
            const c128_t a = A[i * k + l];
            const c128_t *__restrict bl = B + l * n;
            for (int64_t j = 0; j < n; ++j) {
                const c128_t b = bl[j];
                double re = kvr::fma(a.re, b.re, ci[j].re);
                re = kvr::fma(-a.im, b.im, re);
                double im = kvr::fma(b.re, a.im, ci[j].im);
                im = kvr::fma(b.im, a.re, im);
                ci[j] = c128_t{re, im};
            }
        }
    }
}

extern "C" KVR_API KVR_MULTIVERSION int c128_lu_factor_inplace(c128_t *A, int64_t *piv, int64_t n) {
    return kvr::lu::factor_inplace<ComplexOps>(A, piv, n);
}

extern "C" KVR_API KVR_MULTIVERSION c128_lu_factor_t c128_lu_factor(const c128_t *A, int64_t n) {
    return kvr::lu::factor_alloc<ComplexOps, c128_lu_factor_t>(A, n);
}

extern "C" KVR_API void c128_lu_free(c128_lu_factor_t *f) { kvr::lu::release(f); }

extern "C" KVR_API KVR_MULTIVERSION void c128_lu_solve(const c128_t *LU, const int64_t *piv,
                                                       const c128_t *B, c128_t *X, int64_t n,
                                                       int64_t m) {
    kvr::lu::solve<ComplexOps>(LU, piv, B, X, n, m);
}

extern "C" KVR_API KVR_MULTIVERSION int c128_solve(const c128_t *A, const c128_t *B, int64_t n,
                                                   int64_t m, c128_t *X) {
    return kvr::lu::solve_alloc<ComplexOps, c128_lu_factor_t>(A, B, n, m, X);
}

extern "C" KVR_API KVR_MULTIVERSION int c128_inv(const c128_t *A, int64_t n, c128_t *Ainv) {
    return kvr::lu::inv_alloc<ComplexOps, c128_lu_factor_t>(A, n, Ainv);
}
