// Cholesky family: A = L L' with a pivot test relative to the largest
// diagonal entry, the log-determinant, the two triangular solves and the
// factor-then-solve / factor-then-invert conveniences. Nothing allocates;
// the factor of the conveniences lives in caller scratch.
#include <cmath>
#include <cstring>

#include "kvr_simd.hpp"
#include "kvr_vec.hpp"
#include "linalg.h"

namespace {

constexpr double kEps = 2.220446049250313e-16;  // 2^-52

// Factor the lower triangle of A into L (already zeroed). On a failed pivot
// returns LINALG_NOT_PD with L holding the finished rows and the finished
// entries of the failing row.
KVR_INLINE int chol_factor(const double *A, double *L, int64_t n, double jitter) {
    const bool use_jitter = jitter > 0.0;  // false for NaN too
    const double jit = use_jitter ? jitter : 0.0;
    double d = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        const double a = use_jitter ? A[i * n + i] + jit : A[i * n + i];
        if (a > d) d = a;
    }
    const double tol = (static_cast<double>(n) * kEps) * d;
    for (int64_t f = 0; f < n; ++f) {
        const double *Af = A + f * n;
        double *Lf = L + f * n;
        for (int64_t i = 0; i < f; ++i) {
            const double s = kvr::dot_acc<-1>(Af[i], L + i * n, Lf, i);
            Lf[i] = s / L[i * n + i];
        }
        const double s0 = use_jitter ? Af[f] + jit : Af[f];
        const double s = kvr::dot_acc<-1>(s0, Lf, Lf, f);
        if (s <= tol) return LINALG_NOT_PD;
        Lf[f] = std::sqrt(s);
    }
    return 0;
}

// L y = b, row by row; y may be b.
KVR_INLINE void forward(const double *L, const double *b, double *y, int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
        const double s = kvr::dot_acc<-1>(b[i], L + i * n, y, i);
        y[i] = s / L[i * n + i];
    }
}

// L' x = y. Row l of L holds column l of L', so once x[l] is known its
// contributions are taken off all x[k], k < l, walking row l in memory
// order. x may be y.
KVR_INLINE void backward_t(const double *L, const double *y, double *x, int64_t n) {
    if (x != y) std::memcpy(x, y, static_cast<size_t>(n) * sizeof(double));
    for (int64_t l = n - 1; l >= 0; --l) {
        const double *Ll = L + l * n;
        const double xl = x[l] / Ll[l];
        x[l] = xl;
        const double nxl = -xl;
        for (int64_t k = 0; k < l; ++k) x[k] = kvr::fma(nxl, Ll[k], x[k]);
    }
}

}  // namespace

extern "C" {

KVR_API KVR_MULTIVERSION int kvr_chol(const double *A, double *L, int64_t n, double jitter) {
    if (n <= 0) return 0;
    std::memset(L, 0, static_cast<size_t>(n * n) * sizeof(double));
    return chol_factor(A, L, n, jitter);
}

KVR_API double kvr_logdet_from_chol(const double *L, int64_t n) {
    double s = 0.0;
    for (int64_t i = 0; i < n; ++i) s += std::log(L[i * n + i]);
    return 2.0 * s;
}

KVR_API KVR_MULTIVERSION void kvr_forward_subst(const double *L, const double *b, double *y,
                                                int64_t n) {
    forward(L, b, y, n);
}

KVR_API KVR_MULTIVERSION void kvr_backward_subst_chol_t(const double *L, const double *y,
                                                        double *x, int64_t n) {
    if (n <= 0) return;
    backward_t(L, y, x, n);
}

KVR_API KVR_MULTIVERSION int kvr_chol_solve(const double *A, const double *b, double *x,
                                            double *L, int64_t n) {
    if (n <= 0) return 0;
    std::memset(L, 0, static_cast<size_t>(n * n) * sizeof(double));
    const int st = chol_factor(A, L, n, 0.0);
    if (st != 0) return st;
    forward(L, b, x, n);
    backward_t(L, x, x, n);
    return 0;
}

// All columns of the inverse at once: the row-oriented forms of the two
// solves run along the rows of Ainv, each entry still being its own chain
// (e_i - L z) / l_jj as in the column-by-column solve.
KVR_API KVR_MULTIVERSION int kvr_chol_inv(const double *A, double *Ainv, double *L, int64_t n) {
    if (n <= 0) return 0;
    std::memset(L, 0, static_cast<size_t>(n * n) * sizeof(double));
    const int st = chol_factor(A, L, n, 0.0);
    if (st != 0) return st;
    // Z = L^-1: row j = (e_j - sum_{k<j} L[j][k] Z[k]) / L[j][j].
    for (int64_t j = 0; j < n; ++j) {
        double *Zj = Ainv + j * n;
        const double *Lj = L + j * n;
        std::memset(Zj, 0, static_cast<size_t>(n) * sizeof(double));
        Zj[j] = 1.0;
        for (int64_t k = 0; k < j; ++k) {
            const double nl = -Lj[k];
            const double *Zk = Ainv + k * n;
            for (int64_t i = 0; i < n; ++i) Zj[i] = kvr::fma(nl, Zk[i], Zj[i]);
        }
        const double djj = Lj[j];
        for (int64_t i = 0; i < n; ++i) Zj[i] = Zj[i] / djj;
    }
    // X = L'^-1 Z in place: row k = (Z[k] - sum_{l>k} L[l][k] X[l]) / L[k][k].
    for (int64_t k = n - 1; k >= 0; --k) {
        double *Xk = Ainv + k * n;
        for (int64_t l = k + 1; l < n; ++l) {
            const double nl = -L[l * n + k];
            const double *Xl = Ainv + l * n;
            for (int64_t i = 0; i < n; ++i) Xk[i] = kvr::fma(nl, Xl[i], Xk[i]);
        }
        const double dkk = L[k * n + k];
        for (int64_t i = 0; i < n; ++i) Xk[i] = Xk[i] / dkk;
    }
    return 0;
}

}  // extern "C"
