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

template <int W> struct vec_of;
template <> struct vec_of<1> { typedef double type; };
template <> struct vec_of<2> { typedef v2d type; };
template <> struct vec_of<4> { typedef v4d type; };
template <> struct vec_of<8> { typedef v8d type; };
template <int W> using vec = typename vec_of<W>::type;

template <int W> KVR_INLINE vec<W> vload(const double *p) {
    vec<W> v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <int W> KVR_INLINE void vstore(double *p, const vec<W> &v) { std::memcpy(p, &v, sizeof v); }

template <int W> KVR_INLINE vec<W> vzero() { return vec<W>{}; }

template <int W> KVR_INLINE vec<W> vsplat(double s) {
    if constexpr (W == 1) {
        return s;
    } else {
        vec<W> v;
#pragma GCC unroll 8
        for (int k = 0; k < W; ++k) v[k] = s;
        return v;
    }
}

// a*b + c in every lane, one rounding each.
template <int W> KVR_INLINE vec<W> vfma(const vec<W> &a, const vec<W> &b, const vec<W> &c) {
    if constexpr (W == 1) {
        return __builtin_fma(a, b, c);
    } else {
        vec<W> r;
#pragma GCC unroll 8
        for (int k = 0; k < W; ++k) r[k] = __builtin_fma(a[k], b[k], c[k]);
        return r;
    }
}

// Pairwise sum of the lanes.
template <int W> KVR_INLINE double vhsum(const vec<W> &v) {
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
template <class T> KVR_INLINE T opaque(T v) {
    __asm__("" : "+r"(v));
    return v;
}

// Prefetch the line holding p[off]. The address is formed as an integer:
// near the end of a buffer it points past it, which a prefetch tolerates.
KVR_INLINE void prefetch_at(const double *p, int64_t off) {
    const uintptr_t addr = reinterpret_cast<uintptr_t>(p) + static_cast<uintptr_t>(off) * sizeof(double);
    __builtin_prefetch(reinterpret_cast<const void *>(addr), 0, 3);
}

// init + sum of a[j]*b[j] (sign = +1) or init - sum (sign = -1), fused
// multiply-adds throughout. Short sums are one chain starting at init, so
// they round exactly like the textbook loop; long ones use 32 interleaved
// partial sums.
template <int SIGN> KVR_INLINE double dot_acc(double init, const double *a, const double *b,
                                              int64_t n) {
    int64_t j = 0;
    double s = init;
    if (n >= 32) {
        v8d acc0 = vzero<8>(), acc1 = vzero<8>(), acc2 = vzero<8>(), acc3 = vzero<8>();
        for (; j + 32 <= n; j += 32) {
            acc0 = vfma<8>(vload<8>(a + j), vload<8>(b + j), acc0);
            acc1 = vfma<8>(vload<8>(a + j + 8), vload<8>(b + j + 8), acc1);
            acc2 = vfma<8>(vload<8>(a + j + 16), vload<8>(b + j + 16), acc2);
            acc3 = vfma<8>(vload<8>(a + j + 24), vload<8>(b + j + 24), acc3);
        }
        for (; j + 8 <= n; j += 8) acc0 = vfma<8>(vload<8>(a + j), vload<8>(b + j), acc0);
        const double part = vhsum<8>((acc0 + acc1) + (acc2 + acc3));
        s = SIGN > 0 ? s + part : s - part;
    }
    for (; j < n; ++j) s = __builtin_fma(SIGN > 0 ? a[j] : -a[j], b[j], s);
    return s;
}

}  // namespace kvr

#endif
