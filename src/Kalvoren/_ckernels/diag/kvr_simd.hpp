// Internal helpers for the kernels: run-time ISA dispatch and fused
// multiply-add. Not part of the C interface.
#ifndef KVR_SIMD_HPP
#define KVR_SIMD_HPP

#include <cmath>
#include <cstdint>
#include <type_traits>

// With GCC on x86-64 one build runs on any x86-64: hot kernels are cloned for
// AVX2/FMA and AVX-512 and the loader picks the clone once (GNU ifunc).
// Everything a clone calls must be inlined into it (KVR_INLINE) to inherit
// the ISA. Other compilers and targets (or -DKVR_NO_DISPATCH) build one
// generic version for the ISA they compile for.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(KVR_NO_DISPATCH)
#  define KVR_DISPATCH 1
#  define KVR_MULTIVERSION \
      __attribute__((target_clones("default", "arch=x86-64-v3", "arch=x86-64-v4")))
#else
#  define KVR_DISPATCH 0
#  define KVR_MULTIVERSION
#endif

#define KVR_INLINE inline __attribute__((always_inline))

namespace kvr {

// Fused a*b + c, one rounding. Inlines to vfmadd in the FMA clones.
KVR_INLINE double fma(double a, double b, double c) { return __builtin_fma(a, b, c); }

// True where the CPU running this has 32 vector registers (AVX-512): the
// clone the loader picked on x86-64-v4, or a build for such a target.
KVR_INLINE bool wide_registers() {
#if KVR_DISPATCH
    return __builtin_cpu_supports("x86-64-v4");
#elif defined(__AVX512F__)
    return true;
#else
    return false;
#endif
}

// f(K) with K the width k as a compile-time constant for the narrow designs
// most regressions have (and their auxiliary ones: k plus a few lags), else
// f(k): loops over a row's k entries then unroll instead of paying a loop's
// overhead per entry.
template <class F>
KVR_INLINE decltype(auto) with_width(int64_t k, F &&f) {
    switch (k) {
        case 1: return f(std::integral_constant<int64_t, 1>{});
        case 2: return f(std::integral_constant<int64_t, 2>{});
        case 3: return f(std::integral_constant<int64_t, 3>{});
        case 4: return f(std::integral_constant<int64_t, 4>{});
        case 5: return f(std::integral_constant<int64_t, 5>{});
        case 6: return f(std::integral_constant<int64_t, 6>{});
        case 7: return f(std::integral_constant<int64_t, 7>{});
        case 8: return f(std::integral_constant<int64_t, 8>{});
        default: return f(k);
    }
}

}  // namespace kvr

#endif
