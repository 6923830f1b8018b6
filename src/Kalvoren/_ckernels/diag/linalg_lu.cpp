// Real LU with partial pivoting; the conveniences are the only allocating
// real kernels.
#include <cmath>
#include <limits>

#include "linalg.h"
#include "linalg_lu_impl.hpp"

namespace {

struct RealOps {
    using T = double;
    struct Div {
        double d;
    };
    static KVR_INLINE double mag(double a) { return std::fabs(a); }
    static KVR_INLINE Div prep(double d) { return Div{d}; }
    static KVR_INLINE double div(double a, Div d) { return a / d.d; }
    static KVR_INLINE double mulsub(double x, double l, double u) { return kvr::fma(-l, u, x); }
    static KVR_INLINE double zero() { return 0.0; }
    static KVR_INLINE double one() { return 1.0; }
    static KVR_INLINE double nan() { return std::numeric_limits<double>::quiet_NaN(); }
};

}  // namespace

extern "C" KVR_API KVR_MULTIVERSION int kvr_lu_factor_inplace(double *A, int64_t *piv, int64_t n) {
    return kvr::lu::factor_inplace<RealOps>(A, piv, n);
}

extern "C" KVR_API KVR_MULTIVERSION kvr_lu_factor_t kvr_lu_factor(const double *A, int64_t n) {
    return kvr::lu::factor_alloc<RealOps, kvr_lu_factor_t>(A, n);
}

extern "C" KVR_API void kvr_lu_free(kvr_lu_factor_t *f) { kvr::lu::release(f); }

extern "C" KVR_API KVR_MULTIVERSION void kvr_lu_solve(const double *LU, const int64_t *piv,
                                                      const double *B, double *X, int64_t n,
                                                      int64_t m) {
    kvr::lu::solve<RealOps>(LU, piv, B, X, n, m);
}

extern "C" KVR_API KVR_MULTIVERSION int kvr_solve(const double *A, const double *B, int64_t n,
                                                  int64_t m, double *X) {
    return kvr::lu::solve_alloc<RealOps, kvr_lu_factor_t>(A, B, n, m, X);
}

extern "C" KVR_API KVR_MULTIVERSION int kvr_inv(const double *A, int64_t n, double *Ainv) {
    return kvr::lu::inv_alloc<RealOps, kvr_lu_factor_t>(A, n, Ainv);
}
