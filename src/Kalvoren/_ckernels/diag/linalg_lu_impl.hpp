// LU with partial pivoting, written once for the real and the complex
// element type. An `Ops` policy supplies the element arithmetic:
//   T               element type
//   mag(x)          pivot magnitude (a NaN must never compare greater)
//   Div prep(d)     divisor prepared once per pivot row
//   div(a, Div)     a / d
//   mulsub(x, l, u) x - l*u with fused steps
//   zero(), one(), nan()
// Everything here is inlined into the exported (multiversioned) kernels.
#ifndef KVR_LINALG_LU_IMPL_HPP
#define KVR_LINALG_LU_IMPL_HPP

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kvr_simd.hpp"
#include "linalg.h"

namespace kvr {
namespace lu {

// Byte size of an r x c block of `elem`-byte values; false when either size
// is empty or the block could not exist in memory (the product overflows).
KVR_INLINE bool block_bytes(int64_t r, int64_t c, std::size_t elem, std::size_t *bytes) {
    int64_t count, b;
    if (r <= 0 || c <= 0) return false;
    if (__builtin_mul_overflow(r, c, &count)) return false;
    if (__builtin_mul_overflow(count, static_cast<int64_t>(elem), &b)) return false;
    *bytes = static_cast<std::size_t>(b);
    return true;
}

template <class T>
KVR_INLINE void swap_rows(T *__restrict a, T *__restrict b, int64_t len) {
    for (int64_t v = 0; v < len; ++v) {
        const T t = a[v];
        a[v] = b[v];
        b[v] = t;
    }
}

// dst[v] -= l * src[v]: the one row update of both factorisation and solve.
template <class Ops>
KVR_INLINE void row_axpy(typename Ops::T *__restrict dst, const typename Ops::T *__restrict src,
                         typename Ops::T l, int64_t len) {
    for (int64_t v = 0; v < len; ++v) dst[v] = Ops::mulsub(dst[v], l, src[v]);
}

// Right-looking elimination on the n x n block A (n >= 1). Stops at the first
// pivot column whose best magnitude is exactly zero.
template <class Ops>
KVR_INLINE int factor(typename Ops::T *A, int64_t *piv, int64_t n) {
    using T = typename Ops::T;
    for (int64_t i = 0; i < n; ++i) {
        T *ri = A + i * n;
        int64_t h = i;
        double best = Ops::mag(ri[i]);
        for (int64_t j = i + 1; j < n; ++j) {
            const double m = Ops::mag(A[j * n + i]);
            if (best < m) {  // strict: ties keep the earlier row, NaN never wins
                h = j;
                best = m;
            }
        }
        piv[i] = h;
        if (best == 0.0) return LINALG_SINGULAR;
        if (h != i) swap_rows(ri, A + h * n, n);
        const typename Ops::Div d = Ops::prep(ri[i]);
        for (int64_t k = i + 1; k < n; ++k) {
            T *rk = A + k * n;
            const T l = Ops::div(rk[i], d);
            rk[i] = l;
            row_axpy<Ops>(rk + i + 1, ri + i + 1, l, n - i - 1);
        }
    }
    return 0;
}

template <class Ops>
KVR_INLINE int factor_inplace(typename Ops::T *A, int64_t *piv, int64_t n) {
    std::size_t bytes;
    if (!A || !piv || !block_bytes(n, n, sizeof(typename Ops::T), &bytes)) return LINALG_BAD_ARG;
    return factor<Ops>(A, piv, n);
}

// Rec is kvr_lu_factor_t or c128_lu_factor_t: {lu, piv, n, status}.
template <class Ops, class Rec>
KVR_INLINE Rec factor_alloc(const typename Ops::T *A, int64_t n) {
    using T = typename Ops::T;
    Rec r;
    r.lu = nullptr;
    r.piv = nullptr;
    r.n = n;
    r.status = LINALG_BAD_ARG;
    std::size_t bytes;
    if (!A || !block_bytes(n, n, sizeof(T), &bytes)) return r;
    r.lu = static_cast<T *>(std::malloc(bytes));
    r.piv = static_cast<int64_t *>(std::malloc(static_cast<std::size_t>(n) * sizeof(int64_t)));
    if (!r.lu || !r.piv) {
        std::free(r.lu);
        std::free(r.piv);
        r.lu = nullptr;
        r.piv = nullptr;
        return r;
    }
    std::memcpy(r.lu, A, bytes);
    r.status = factor<Ops>(r.lu, r.piv, n);
    return r;
}

template <class Rec>
KVR_INLINE void release(Rec *f) {
    if (!f) return;
    std::free(f->lu);
    std::free(f->piv);
    f->lu = nullptr;
    f->piv = nullptr;
    f->n = 0;
    f->status = 0;
}

// X = A^-1 B from the factors. Sizes are tested before anything is copied, so
// empty (or negative) sizes write nothing. A pivot index outside [0, n) cannot
// come from a factorisation; rather than follow it out of the buffer, X is
// filled with NaN.
template <class Ops>
KVR_INLINE void solve(const typename Ops::T *LU, const int64_t *piv, const typename Ops::T *B,
                      typename Ops::T *X, int64_t n, int64_t m) {
    using T = typename Ops::T;
    std::size_t xbytes, lbytes;
    if (!block_bytes(n, m, sizeof(T), &xbytes) || !block_bytes(n, n, sizeof(T), &lbytes)) return;
    if (!LU || !piv || !B || !X) return;
    for (int64_t i = 0; i < n; ++i) {
        if (piv[i] < 0 || piv[i] >= n) {
            for (int64_t c = 0; c < n * m; ++c) X[c] = Ops::nan();
            return;
        }
    }
    std::memmove(X, B, xbytes);  // X may be B itself
    for (int64_t i = 0; i < n; ++i)
        if (piv[i] != i) swap_rows(X + i * m, X + piv[i] * m, m);
    // unit lower factor
    for (int64_t j = 1; j < n; ++j) {
        T *xj = X + j * m;
        const T *lj = LU + j * n;
        for (int64_t k = 0; k < j; ++k) row_axpy<Ops>(xj, X + k * m, lj[k], m);
    }
    // upper factor
    for (int64_t j = n - 1; j >= 0; --j) {
        T *xj = X + j * m;
        const T *uj = LU + j * n;
        for (int64_t k = j + 1; k < n; ++k) row_axpy<Ops>(xj, X + k * m, uj[k], m);
        const typename Ops::Div d = Ops::prep(uj[j]);
        for (int64_t c = 0; c < m; ++c) xj[c] = Ops::div(xj[c], d);
    }
}

// One-call solve: factor a private copy of A, solve into X, release.
template <class Ops, class Rec>
KVR_INLINE int solve_alloc(const typename Ops::T *A, const typename Ops::T *B, int64_t n, int64_t m,
                           typename Ops::T *X) {
    std::size_t bytes;
    if (n > 0 && m > 0 && (!B || !X || !block_bytes(n, m, sizeof(typename Ops::T), &bytes)))
        return LINALG_BAD_ARG;
    Rec f = factor_alloc<Ops, Rec>(A, n);
    const int st = static_cast<int>(f.status);
    if (st == 0) solve<Ops>(f.lu, f.piv, B, X, n, m);
    release(&f);
    return st;
}

// Inverse: solve the identity into Ainv.
template <class Ops, class Rec>
KVR_INLINE int inv_alloc(const typename Ops::T *A, int64_t n, typename Ops::T *Ainv) {
    using T = typename Ops::T;
    std::size_t bytes;
    if (!A || !Ainv || !block_bytes(n, n, sizeof(T), &bytes)) return LINALG_BAD_ARG;
    T *eye = static_cast<T *>(std::malloc(bytes));
    if (!eye) return LINALG_BAD_ARG;
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = 0; j < n; ++j) eye[i * n + j] = i == j ? Ops::one() : Ops::zero();
    Rec f = factor_alloc<Ops, Rec>(A, n);
    const int st = static_cast<int>(f.status);
    if (st == 0) solve<Ops>(f.lu, f.piv, eye, Ainv, n, n);
    release(&f);
    std::free(eye);
    return st;
}

}  // namespace lu
}  // namespace kvr

#endif
