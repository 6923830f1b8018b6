// Short fixed-width vectors for the kernels, written with GCC vector
// extensions so that one source serves every KVR_MULTIVERSION clone: a v8d is
// one zmm register in the AVX-512 clone, two ymm in the AVX2 clone and four
// xmm in the baseline. The lane-wise fused multiply-add below is recognised
// by the vectoriser and becomes one vfmadd per register where FMA exists.
// Everything here is KVR_INLINE so it takes the ISA of the clone it lands in.
#ifndef KVR_VEC_HPP
#define KVR_VEC_HPP

#include <cstdint>
#include <cstring>

#include "kvr_simd.hpp"

// Vectors are only passed between always-inline helpers, never across a real
// call, so GCC's note about the AVX/AVX-512 argument ABI does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kvr {

typedef double v2d __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));

template <int W>
struct vec_of;
template <>
struct vec_of<1> {
    typedef double type;
};
template <>
struct vec_of<2> {
    typedef v2d type;
};
template <>
struct vec_of<4> {
    typedef v4d type;
};
template <>
struct vec_of<8> {
    typedef v8d type;
};
template <int W>
using vec = typename vec_of<W>::type;

template <int W>
KVR_INLINE vec<W> vload(const double *p) {
    vec<W> v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <int W>
KVR_INLINE void vstore(double *p, const vec<W> &v) {
    std::memcpy(p, &v, sizeof v);
}

template <int W>
KVR_INLINE vec<W> vzero() {
    return vec<W>{};
}

template <int W>
KVR_INLINE vec<W> vsplat(double s) {
    if constexpr (W == 1) {
        return s;
    } else {
        vec<W> v;
#pragma GCC unroll 8
        for (int k = 0; k < W; ++k) v[k] = s;
        return v;
    }
}

// a*b + c in every lane, one rounding each. By value: with references GCC
// kept acorr's eight accumulators in memory (1.6x slower).
template <int W>
KVR_INLINE vec<W> vfma(vec<W> a, vec<W> b, vec<W> c) {
    if constexpr (W == 1) {
        return kvr::fma(a, b, c);
    } else {
        vec<W> r;
#pragma GCC unroll 8
        for (int k = 0; k < W; ++k) r[k] = kvr::fma(a[k], b[k], c[k]);
        return r;
    }
}

// Pairwise sum of the lanes.
template <int W>
KVR_INLINE double vhsum(const vec<W> &v) {
    if constexpr (W == 1) {
        return v;
    } else if constexpr (W == 2) {
        return v[0] + v[1];
    } else if constexpr (W == 4) {
        return (v[0] + v[2]) + (v[1] + v[3]);
    } else {
        return ((v[0] + v[4]) + (v[2] + v[6])) + ((v[1] + v[5]) + (v[3] + v[7]));
    }
}

// Hides a value from constant propagation. Used on strides so that runs of
// scalar loads that are meant to be broadcasts are not merged into one vector
// load plus lane permutes, which compete with the FMAs for the same port.
template <class T>
KVR_INLINE T opaque(T v) {
    __asm__("" : "+r"(v));
    return v;
}

// Prefetch the line holding p[off]. The address is formed as an integer:
// near the end of a buffer it points past it, which a prefetch tolerates.
KVR_INLINE void prefetch_at(const double *p, int64_t off) {
    const uintptr_t addr =
        reinterpret_cast<uintptr_t>(p) + static_cast<uintptr_t>(off) * sizeof(double);
    __builtin_prefetch(reinterpret_cast<const void *>(addr), 0, 3);
}

// ------------------------------------------------------ accumulation orders
//
// Every sum and inner product of the kernels takes one of the orders below,
// so its rounding is fixed by the source and not by the clone the loader
// picked. They are not interchangeable: each kernel keeps the order its
// results (and the tests' bit-for-bit comparisons) were made with.
//
//   dot_acc         init +- a.b: one chain below 32 terms (the textbook loop),
//                   32 interleaved partial sums from 32 on. The linear algebra.
//   dot4, sum4      four partial sums over blocks of four terms, the tail into
//                   the first: a quarter of one chain's latency, for the short
//                   products and sums of the regressions.
//   sum_lanes<L>    term i into partial sum i % L, tail included (L = 1: one
//                   chain). Lanes8 holds the eight lanes of sum_lanes<8> in two
//                   4-wide vectors, for the long sums over one series.
// Partial sums are always combined pairwise in lane order:
// ((s0 + s1) + (s2 + s3)) + ((s4 + s5) + (s6 + s7)).

template <int L>
KVR_INLINE double pairwise(const double *s) {
    if constexpr (L == 1) {
        return s[0];
    } else {
        return pairwise<L / 2>(s) + pairwise<L / 2>(s + L / 2);
    }
}

// sum of v (Sq = false) or of v^2 by fused multiply-adds (Sq = true) into s.
template <bool Sq>
KVR_INLINE void accumulate(double &s, double v) {
    s = Sq ? kvr::fma(v, v, s) : s + v;
}

// The blocks-of-four order; step(s, i) folds term i into the partial sum s.
template <class Step>
KVR_INLINE double fold4(int64_t n, Step step) {
    double s[4] = {0.0, 0.0, 0.0, 0.0};
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        step(s[0], i);
        step(s[1], i + 1);
        step(s[2], i + 2);
        step(s[3], i + 3);
    }
    for (; i < n; ++i) step(s[0], i);
    return pairwise<4>(s);
}

KVR_INLINE double dot4(const double *__restrict a, const double *__restrict b, int64_t n) {
    return fold4(n, [&](double &s, int64_t j) __attribute__((always_inline)) {
        s = kvr::fma(a[j], b[j], s);
    });
}

// Sum over i < n of term(i), or of term(i)^2 (Sq), in the blocks-of-four order.
template <bool Sq, class T>
KVR_INLINE double sum4(int64_t n, T term) {
    return fold4(n, [&](double &s, int64_t i) __attribute__((always_inline)) {
        accumulate<Sq>(s, term(i));
    });
}

// Two sums in the blocks-of-four order in one pass (the bits of two sum4
// calls): the chains of one overlap those of the other.
template <bool Sq, class T1, class T2>
KVR_INLINE void sum4_pair(int64_t n, T1 term1, T2 term2, double *out1, double *out2) {
    double s[4] = {0.0, 0.0, 0.0, 0.0}, t[4] = {0.0, 0.0, 0.0, 0.0};
    int64_t i = 0;
    for (; i + 4 <= n; i += 4)
#pragma GCC unroll 4
        for (int l = 0; l < 4; ++l) {
            accumulate<Sq>(s[l], term1(i + l));
            accumulate<Sq>(t[l], term2(i + l));
        }
    for (; i < n; ++i) {
        accumulate<Sq>(s[0], term1(i));
        accumulate<Sq>(t[0], term2(i));
    }
    *out1 = pairwise<4>(s);
    *out2 = pairwise<4>(t);
}

// Sum over i < n of term(i), or of term(i)^2 (Sq), term i into lane i % L.
template <int L, bool Sq, class T>
KVR_INLINE double sum_lanes(int64_t n, T term) {
    static_assert(L > 0 && (L & (L - 1)) == 0, "a power of two of lanes");
    double s[L] = {};
    int64_t i = 0;
    // whole blocks of L with a constant lane each, so the partial sums stay
    // in registers; the tail to lane i % L all the same
    for (; i + L <= n; i += L)
#pragma GCC unroll 16
        for (int l = 0; l < L; ++l) accumulate<Sq>(s[l], term(i + l));
    for (; i < n; ++i) accumulate<Sq>(s[i & (L - 1)], term(i));
    return pairwise<L>(s);
}

// sum_lanes<8> with blocks of eight terms in two 4-wide vectors (lanes 0-3
// and 4-7): GCC maps the lane-wise vfma onto vfmadd*pd in the AVX2 and
// AVX-512 clones, where it does not reliably vectorise eight scalar
// accumulators. A loop runs over blocks8(n) terms into lo and hi, then the
// tail goes to lane t % 8 of v.
struct Lanes8 {
    double v[8];
    KVR_INLINE Lanes8(const vec<4> &lo, const vec<4> &hi) {
        vstore<4>(v, lo);
        vstore<4>(v + 4, hi);
    }
    KVR_INLINE double sum() const { return pairwise<8>(v); }
};

KVR_INLINE int64_t blocks8(int64_t n) { return n & ~int64_t(7); }

// init + sum of a[j]*b[j] (sign = +1) or init - sum (sign = -1), fused
// multiply-adds throughout. Short sums are one chain starting at init, so
// they round exactly like the textbook loop; long ones use 32 interleaved
// partial sums.
template <int SIGN>
KVR_INLINE double dot_acc(double init, const double *a, const double *b, int64_t n) {
    int64_t j = 0;
    double s = init;
    if (n >= 32) {
        // four 8-lane accumulators, each held as two 4-wide halves (lanes
        // 0-3, 4-7): the same sums as 8-wide vectors, which the 16-register
        // clones kept spilling to memory
        v4d acc[8];
#pragma GCC unroll 8
        for (int q = 0; q < 8; ++q) acc[q] = vzero<4>();
        for (; j + 32 <= n; j += 32)
#pragma GCC unroll 8
            for (int q = 0; q < 8; ++q)
                acc[q] = vfma<4>(vload<4>(a + j + 4 * q), vload<4>(b + j + 4 * q), acc[q]);
        for (; j + 8 <= n; j += 8) {
            acc[0] = vfma<4>(vload<4>(a + j), vload<4>(b + j), acc[0]);
            acc[1] = vfma<4>(vload<4>(a + j + 4), vload<4>(b + j + 4), acc[1]);
        }
        // vhsum<8> of (acc0 + acc1) + (acc2 + acc3), half by half
        const v4d lo = (acc[0] + acc[2]) + (acc[4] + acc[6]);
        const v4d hi = (acc[1] + acc[3]) + (acc[5] + acc[7]);
        const double part = vhsum<4>(lo + hi);
        s = SIGN > 0 ? s + part : s - part;
    }
    for (; j < n; ++j) s = kvr::fma(SIGN > 0 ? a[j] : -a[j], b[j], s);
    return s;
}

}  // namespace kvr

#endif
