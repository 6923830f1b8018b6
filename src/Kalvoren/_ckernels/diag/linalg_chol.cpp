// Cholesky family: A = L L' with a pivot test relative to the largest
// diagonal entry, the log-determinant, the two triangular solves and the
// factor-then-solve / factor-then-invert conveniences. Nothing allocates;
// the factor of the conveniences lives in caller scratch.
#include <cmath>
#include <cstring>

#include "kvr_scaled.hpp"
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

KVR_API KVR_MULTIVERSION void kvr_backward_subst_chol_t(const double *L, const double *y, double *x,
                                                        int64_t n) {
    if (n <= 0) return;
    backward_t(L, y, x, n);
}

KVR_API KVR_MULTIVERSION int kvr_chol_solve(const double *A, const double *b, double *x, double *L,
                                            int64_t n) {
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

namespace {

// Reciprocal condition estimate of the diagonally scaled matrix
// S = D^-1/2 A D^-1/2, D = diag(A): ||S||_1 exactly, ||S^-1||_1 by Hager's
// method with Higham's refinements (the logic of LAPACK's dlacn2), each step
// a pair of triangular solves with L. The estimate of ||S^-1||_1 is a lower
// bound, so the result never understates rcond, and in practice it is within
// a small factor of it. Scaling first makes the number independent of the
// units of the columns, as is the accuracy of the Cholesky solve itself.
// n comes as a constant for narrow matrices (kvr::with_width), whose loops
// then unroll: the same operations in the same order.
template <class N>
KVR_INLINE double chol_rcond(const double *A, const double *L, N n_, double *work) {
    const int64_t n = n_;
    double *sd = work, *v = work + n;
    // ||S||_1 with v = D^-1/2 (sd holds the column sums); then sd = D^1/2 for
    // the solves.
    const double anorm = kvr::scaled_norm1(A, n_, v, sd);
    for (int64_t i = 0; i < n; ++i) sd[i] = std::sqrt(A[i * n + i]);

    // v <- S^-1 v = D^1/2 (L L')^-1 D^1/2 v. Both solves by columns, so
    // each step waits for one division and one multiply-add, not for a whole
    // inner product (an estimate needs no particular rounding).
    auto apply = [&]() __attribute__((always_inline)) {
        for (int64_t i = 0; i < n; ++i) v[i] *= sd[i];
        for (int64_t j = 0; j < n; ++j) {
            const double vj = v[j] / L[j * n + j];
            v[j] = vj;
            for (int64_t i = j + 1; i < n; ++i) v[i] = kvr::fma(-L[i * n + j], vj, v[i]);
        }
        backward_t(L, v, v, n);
        for (int64_t i = 0; i < n; ++i) v[i] *= sd[i];
    };
    auto norm1 = [&]() __attribute__((always_inline)) {
        double s = 0.0;
        for (int64_t i = 0; i < n; ++i) s += std::fabs(v[i]);
        return s;
    };
    auto argmax = [&]() __attribute__((always_inline)) {
        int64_t j = 0;
        for (int64_t i = 1; i < n; ++i)
            if (std::fabs(v[i]) > std::fabs(v[j])) j = i;
        return j;
    };
    auto signs = [&]() __attribute__((always_inline)) {
        for (int64_t i = 0; i < n; ++i) v[i] = v[i] >= 0.0 ? 1.0 : -1.0;
    };

    for (int64_t i = 0; i < n; ++i) v[i] = 1.0 / static_cast<double>(n);
    apply();
    double est = norm1();
    if (n > 1) {
        signs();
        apply();
        int64_t j = argmax();
        for (int iter = 2; iter <= 5; ++iter) {
            std::memset(v, 0, static_cast<size_t>(n) * sizeof(double));
            v[j] = 1.0;
            apply();
            const double old = est;
            est = norm1();
            if (!(est > old)) {  // no progress (or NaN): keep the best bound
                est = est > old ? est : old;
                break;
            }
            signs();
            apply();
            const int64_t last = j;
            j = argmax();
            if (v[last] == std::fabs(v[j])) break;  // the same column again
        }
        // Higham's alternating vector guards against the rare matrices on
        // which the iteration stalls far below the norm.
        for (int64_t i = 0; i < n; ++i) {
            const double m = 1.0 + static_cast<double>(i) / static_cast<double>(n - 1);
            v[i] = i % 2 ? -m : m;
        }
        apply();
        const double alt = 2.0 * norm1() / static_cast<double>(3 * n);
        if (alt > est) est = alt;
    }
    const double r = 1.0 / (anorm * est);
    return r > 1.0 ? 1.0 : r;  // rounding aside, cond >= 1; NaN stays NaN
}

}  // namespace

extern "C" {

KVR_API KVR_MULTIVERSION double kvr_chol_rcond(const double *A, const double *L, int64_t n,
                                               double *work) {
    if (n <= 0) return 1.0;
    return kvr::with_width(n, [&](auto N) __attribute__((always_inline)) {
        return chol_rcond(A, L, N, work);
    });
}

}  // extern "C"
