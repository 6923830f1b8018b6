// Internal helpers for the kernels: run-time ISA dispatch and fused
// multiply-add. Not part of the C interface.
#ifndef KVR_SIMD_HPP
#define KVR_SIMD_HPP

#include <cmath>
#include <cstdint>

// One build runs on any x86-64: hot kernels are cloned for AVX2/FMA and
// AVX-512 and the loader picks the clone once (GNU ifunc). Everything a clone
// calls must be inlined into it (KVR_INLINE) to inherit the ISA.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(KVR_NO_DISPATCH)
#  define KVR_MULTIVERSION \
      __attribute__((target_clones("default", "arch=x86-64-v3", "arch=x86-64-v4")))
#else
#  define KVR_MULTIVERSION
#endif

#define KVR_INLINE inline __attribute__((always_inline))

namespace kvr {

// Fused a*b + c, one rounding. Inlines to vfmadd in the FMA clones.
KVR_INLINE double fma(double a, double b, double c) { return __builtin_fma(a, b, c); }

// Inner product of length n in four interleaved FMA chains (term j in chain
// j % 4), combined as (s0 + s1) + (s2 + s3): a quarter of the latency of one
// chain, for the short products on a recursion's critical path.
KVR_INLINE double dot4(const double *__restrict a, const double *__restrict b, int64_t n) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    int64_t j = 0;
    for (; j + 4 <= n; j += 4) {
        s0 = kvr::fma(a[j], b[j], s0);
        s1 = kvr::fma(a[j + 1], b[j + 1], s1);
        s2 = kvr::fma(a[j + 2], b[j + 2], s2);
        s3 = kvr::fma(a[j + 3], b[j + 3], s3);
    }
    for (; j < n; ++j) s0 = kvr::fma(a[j], b[j], s0);
    return (s0 + s1) + (s2 + s3);
}

}  // namespace kvr

#endif
