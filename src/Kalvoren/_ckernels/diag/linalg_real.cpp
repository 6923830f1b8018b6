// Real dense primitives: zeroing, symmetrising, the four product forms,
// matrix-vector products, and the normal-equation builders.
//
// A size <= 0 means empty; a kernel never writes anything for an empty
// dimension, even when the product of two negative sizes is positive.
#include <cstring>

#include "kvr_simd.hpp"
#include "kvr_vec.hpp"
#include "linalg.h"

namespace {

using kvr::vec;

// ---------------------------------------------------------------------------
// Cross-product engine
//
//   C[r][c] += sum over s < K of A[s*as + r*ar] * B[s*bs + c],  r < P, c < Q
//
// covers C = A'B (kvr_matmul_atb), X'X (kvr_gram, lower triangle only),
// y'X (kvr_gram_rhs) and AB (kvr_matmul). C is cut into register tiles of
// MR rows by W*NV columns; each tile holds its block of C in registers while
// it walks a run of s, and per step loads one vector row segment of B and
// broadcasts MR scalars of A. Every C entry is then its own fused
// multiply-add chain over s (split into S interleaved chains only where the
// tile is too small to hide FMA latency), so the result rounds like the plain
// loop. Around the tiles: blocks of steps whose rows of A and B stay in L2,
// and within a block, panels of rows of C.

constexpr int64_t KC = 256;           // most steps per block
constexpr int64_t KC_MIN = 32;        // fewest steps per block
constexpr int64_t KC_BUDGET = 32768;  // doubles of A and B rows per block
constexpr int64_t MAXCW = 16;         // widest register tile, in columns

struct Xprod {
    const double *A;
    int64_t as, ar;
    const double *B;
    int64_t bs;
    double *C;
    int64_t ldc;
};

// One step s of a tile: acc[r][.] += A(s, r) * B(s, .).
template <int MR, int W, int NV>
KVR_INLINE void xprod_step(vec<W> (&acc)[MR][NV], const double *a, int64_t ar, const double *b) {
    vec<W> bv[NV];
#pragma GCC unroll 4
    for (int v = 0; v < NV; ++v) bv[v] = kvr::vload<W>(b + v * W);
    // Rows in pairs off bases two rows apart: every broadcast is then
    // base or base + ar, addressing modes that need no spilled row offsets.
#pragma GCC unroll 16
    for (int r = 0; r < MR; ++r) {
        const double *base = a + (r & ~1) * ar;
        const vec<W> av = kvr::vsplat<W>((r & 1) ? base[ar] : base[0]);
#pragma GCC unroll 4
        for (int v = 0; v < NV; ++v) acc[r][v] = kvr::vfma<W>(av, bv[v], acc[r][v]);
    }
}

// C[r][c] += sum over s < ns of a[s*as + r*ar] * b[s*bs + c] for an
// MR x (W*NV) block of C. Each step also prefetches the row of A that the
// next block of steps will read, so DRAM traffic overlaps the arithmetic.
template <int MR, int W, int NV>
KVR_INLINE void xprod_tile(const double *a, int64_t as, int64_t ar, const double *b, int64_t bs,
                           double *C, int64_t ldc, int64_t ns, int64_t kc) {
    typedef vec<W> V;
    constexpr int NA = MR * NV;
    constexpr int S = NA >= 8 ? 1 : (NA >= 4 ? 2 : 4);
    ar = kvr::opaque(ar);

    V acc[S][MR][NV];
#pragma GCC unroll 16
    for (int r = 0; r < MR; ++r)
#pragma GCC unroll 4
        for (int v = 0; v < NV; ++v) {
            acc[0][r][v] = kvr::vload<W>(C + r * ldc + v * W);
#pragma GCC unroll 4
            for (int u = 1; u < S; ++u) acc[u][r][v] = kvr::vzero<W>();
        }

    const int64_t pfa = kc * as;
    int64_t s = 0;
    for (; s + S <= ns; s += S) {
#pragma GCC unroll 4
        for (int u = 0; u < S; ++u) {
            kvr::prefetch_at(a, u * as + pfa);
            xprod_step<MR, W, NV>(acc[u], a + u * as, ar, b + u * bs);
        }
        a += S * as;
        b += S * bs;
    }
    for (; s < ns; ++s, a += as, b += bs) xprod_step<MR, W, NV>(acc[0], a, ar, b);

#pragma GCC unroll 16
    for (int r = 0; r < MR; ++r)
#pragma GCC unroll 4
        for (int v = 0; v < NV; ++v) {
            V t = acc[0][r][v];
            if constexpr (S == 2) t = t + acc[1][r][v];
            if constexpr (S == 4) t = (t + acc[1][r][v]) + (acc[2][r][v] + acc[3][r][v]);
            kvr::vstore<W>(C + r * ldc + v * W, t);
        }
}

// Register tile shapes. With 32 vector registers (AVX-512) an 8 x 16 tile
// keeps 16 accumulators plus the loads in registers; with 16 (AVX2 and
// below) a 6 x 8 tile keeps 12.
struct TilesWide {
    static constexpr int MR = 8, W = 8, NV = 2;
};
struct TilesNarrow {
    static constexpr int MR = 6, W = 4, NV = 2;
};

template <class T, int MRX>
KVR_INLINE void xprod_tile_cols(int64_t w, const double *a, int64_t as, int64_t ar, const double *b,
                                int64_t bs, double *C, int64_t ldc, int64_t ns, int64_t kc) {
    if (w == T::W * T::NV)
        xprod_tile<MRX, T::W, T::NV>(a, as, ar, b, bs, C, ldc, ns, kc);
    else if (w == 8)
        xprod_tile<MRX, 8, 1>(a, as, ar, b, bs, C, ldc, ns, kc);
    else if (w == 4)
        xprod_tile<MRX, 4, 1>(a, as, ar, b, bs, C, ldc, ns, kc);
    else if (w == 2)
        xprod_tile<MRX, 2, 1>(a, as, ar, b, bs, C, ldc, ns, kc);
    else
        xprod_tile<MRX, 1, 1>(a, as, ar, b, bs, C, ldc, ns, kc);
}

KVR_INLINE int64_t chunk(int64_t left, int64_t full) {
    if (left >= full) return full;
    if (left >= 8) return 8;
    if (left >= 4) return 4;
    if (left >= 2) return 2;
    return 1;
}

template <class T>
KVR_INLINE void xprod_blocked(const Xprod &op, int64_t P, int64_t Q, int64_t K, bool lower,
                              double *pack) {
    constexpr int64_t CW = T::W * T::NV;
    constexpr int64_t MCP = T::MR * (128 / T::MR);  // rows of C per panel
    static_assert(CW <= MAXCW, "pack buffer too small");
    const int64_t as = op.as, ar = op.ar, bs = op.bs, ldc = op.ldc;
    // Blocks of steps outermost: each block of A and B rows comes from
    // memory once, and all of C is updated from it. Reloading a C tile once
    // per block costs 16 bytes per kc multiply-adds of each entry. The block
    // is as tall as fits the L2 budget, up to KC steps.
    int64_t kc = KC_BUDGET / (P + Q);
    kc = kc > KC ? KC : (kc < KC_MIN ? KC_MIN : kc);
    for (int64_t s0 = 0; s0 < K; s0 += kc) {
        const int64_t ns = K - s0 < kc ? K - s0 : kc;
        // Panels of rows of C keep the A columns they broadcast (kc x MCP)
        // in L2 while the column chunks pass.
        for (int64_t rp = 0; rp < P; rp += MCP) {
            const int64_t rend = rp + MCP < P ? rp + MCP : P;
            const int64_t cend = lower && rend < Q ? rend : Q;
            // Column chunks outside, row chunks inside, so the B strip of a
            // column chunk stays in L1 while the row chunks pass over it. A
            // full-width strip that several row chunks reuse is first copied
            // to an aligned buffer: rows of B rarely start on a cache line,
            // and unpacked the strip would touch one line more per step.
            for (int64_t c = 0; c < cend;) {
                const int64_t w = chunk(cend - c, CW);
                const int64_t rfirst = lower && c > rp ? c : rp;
                const double *b = op.B + s0 * bs + c;
                int64_t bstride = bs;
                if (w == CW && rend - rfirst > 3 * T::MR) {
                    for (int64_t s = 0; s < ns; ++s) {
                        // the strip's next block (a third line, when the
                        // strip straddles one, measured no faster)
                        kvr::prefetch_at(b, (s + kc) * bs);
                        kvr::prefetch_at(b, (s + kc) * bs + 8);
                        std::memcpy(pack + s * CW, b + s * bs, CW * sizeof(double));
                    }
                    b = pack;
                    bstride = CW;
                }
                for (int64_t r = rp; r < rend;) {
                    const int64_t mr = chunk(rend - r, T::MR);
                    if (!lower || r + mr > c) {
                        const double *a = op.A + s0 * as + r * ar;
                        double *Ct = op.C + r * ldc + c;
                        if (mr == T::MR)
                            xprod_tile_cols<T, T::MR>(w, a, as, ar, b, bstride, Ct, ldc, ns, kc);
                        else if (mr == 4)
                            xprod_tile_cols<T, 4>(w, a, as, ar, b, bstride, Ct, ldc, ns, kc);
                        else if (mr == 2)
                            xprod_tile_cols<T, 2>(w, a, as, ar, b, bstride, Ct, ldc, ns, kc);
                        else
                            xprod_tile_cols<T, 1>(w, a, as, ar, b, bstride, Ct, ldc, ns, kc);
                    }
                    r += mr;
                }
                c += w;
            }
        }
    }
}

// One clone per ISA. The wide tiles need the 32 registers of the clone the
// loader picks on x86-64-v4; the same test chooses both. Callers guarantee
// P, Q, K >= 1. The 32 KiB pack buffer is the only stack use of note.
KVR_MULTIVERSION __attribute__((noinline)) void xprod(const Xprod &op, int64_t P, int64_t Q,
                                                      int64_t K, bool lower) {
    alignas(64) double pack[KC * MAXCW];
    if (kvr::wide_registers())
        xprod_blocked<TilesWide>(op, P, Q, K, lower, pack);
    else
        xprod_blocked<TilesNarrow>(op, P, Q, K, lower, pack);
}

KVR_INLINE void zero(double *p, int64_t n) {
    std::memset(p, 0, static_cast<size_t>(n) * sizeof(double));
}

}  // namespace

extern "C" {

KVR_API void kvr_zero_mat(double *A, int64_t rows, int64_t cols) {
    if (rows <= 0 || cols <= 0) return;
    zero(A, rows * cols);
}

KVR_API void kvr_sym_inplace(double *A, int64_t n) {
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = i + 1; j < n; ++j) {
            const double v = (A[j * n + i] + A[i * n + j]) * 0.5;
            A[i * n + j] = v;
            A[j * n + i] = v;
        }
}

KVR_API void kvr_matmul(const double *A, const double *B, double *C, int64_t m, int64_t k,
                        int64_t n) {
    if (m <= 0 || n <= 0) return;
    zero(C, m * n);
    if (k <= 0) return;
    xprod(Xprod{A, 1, k, B, n, C, n}, m, n, k, false);
}

KVR_API void kvr_matmul_atb(const double *A, const double *B, double *C, int64_t m, int64_t p,
                            int64_t q) {
    if (p <= 0 || q <= 0) return;
    zero(C, p * q);
    if (m <= 0) return;
    xprod(Xprod{A, p, 1, B, q, C, q}, p, q, m, false);
}

KVR_API KVR_MULTIVERSION void kvr_matmul_abt(const double *A, const double *B, double *C, int64_t m,
                                             int64_t k, int64_t n) {
    if (m <= 0 || n <= 0) return;
    if (k <= 0) {
        zero(C, m * n);
        return;
    }
    for (int64_t i = 0; i < m; ++i)
        for (int64_t j = 0; j < n; ++j)
            C[i * n + j] = kvr::dot_acc<1>(0.0, A + i * k, B + j * k, k);
}

KVR_API KVR_MULTIVERSION void kvr_matmul_abt_plus_c(const double *A, const double *B,
                                                    const double *C0, double *C, int64_t m,
                                                    int64_t k, int64_t n) {
    if (m <= 0 || n <= 0) return;
    if (k <= 0) {
        for (int64_t i = 0; i < m * n; ++i) C[i] = C0[i];
        return;
    }
    for (int64_t i = 0; i < m; ++i)
        for (int64_t j = 0; j < n; ++j)
            C[i * n + j] = C0[i * n + j] + kvr::dot_acc<1>(0.0, A + i * k, B + j * k, k);
}

KVR_API KVR_MULTIVERSION void kvr_matvec(const double *A, const double *x, double *y, int64_t m,
                                         int64_t n) {
    if (m <= 0) return;
    if (n <= 0) {
        zero(y, m);
        return;
    }
    for (int64_t i = 0; i < m; ++i) y[i] = kvr::dot_acc<1>(0.0, A + i * n, x, n);
}

KVR_API KVR_MULTIVERSION void kvr_matvec_plus_vec(const double *A, const double *x, const double *c,
                                                  double *y, int64_t m, int64_t n) {
    if (m <= 0) return;
    for (int64_t i = 0; i < m; ++i) y[i] = n > 0 ? kvr::dot_acc<1>(c[i], A + i * n, x, n) : c[i];
}

KVR_API KVR_MULTIVERSION void kvr_vsub(const double *a, const double *b, double *out, int64_t n) {
    for (int64_t i = 0; i < n; ++i) out[i] = a[i] - b[i];
}

KVR_API KVR_MULTIVERSION double kvr_dot(const double *a, const double *b, int64_t n) {
    if (n <= 0) return 0.0;
    return kvr::dot_acc<1>(0.0, a, b, n);
}

KVR_API void kvr_gram(const double *X, double *G, int64_t n, int64_t p) {
    if (p <= 0) return;
    zero(G, p * p);
    if (n <= 0) return;
    xprod(Xprod{X, p, 1, X, p, G, p}, p, p, n, true);
    // The tiles along the diagonal also filled some upper entries; the
    // mirror overwrites all of them so G is exactly symmetric.
    for (int64_t r = 1; r < p; ++r)
        for (int64_t c = 0; c < r; ++c) G[c * p + r] = G[r * p + c];
}

KVR_API void kvr_gram_rhs(const double *X, const double *y, double *g, int64_t n, int64_t p) {
    if (p <= 0) return;
    zero(g, p);
    if (n <= 0) return;
    // g' = y'X: one C row, steps over the observations.
    xprod(Xprod{y, 1, 0, X, p, g, p}, 1, p, n, false);
}

}  // extern "C"
