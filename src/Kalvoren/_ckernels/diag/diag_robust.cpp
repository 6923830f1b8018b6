// HC and kernel HAC meats from the battery's fit, as R's sandwich defines
// them (vcovHC, NeweyWest, kernHAC). Everything is formed on the scores h_t =
// e_t q_t in the coordinates of Q, which keeps each entry of the covariance
// accurate to its own scale; the plug-in bandwidths, which are not invariant
// to the units of the regressors, read x_t e_t in the units of the data.
#include <cmath>
#include <limits>

#include "diag_robust.hpp"

#include "diag.h"
#include "kvr_simd.hpp"
#include "kvr_size.hpp"
#include "kvr_vec.hpp"

namespace {

using kvr::Checked;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Kernel weights below this are dropped from the tail (R's kweights tolerance).
constexpr double kWeightTol = 1e-7;
constexpr double kPi = 3.14159265358979323846;
// Newey and West (1994): the exponent of the rule for the lags of the plug-in.
constexpr double kNwRate[3] = {2.0 / 9.0, 4.0 / 25.0, 2.0 / 25.0};

// Long series with many lags: the lag sum by Parseval. With the columns
// zero-padded to N >= m + r (a power of two, so no lag wraps onto another)
// and X_a their discrete Fourier transforms,
//   S_ab = sum over |j| <= r of w_|j| sum_t h_ta h_{t-j}b
//        = (1/N) sum_f U(f) Re(X_a(f) conj(X_b(f))),
// U the (real) transform of the weights placed symmetrically on the circle:
// k + 1 real FFTs and k^2 n products instead of k n r / 2 multiply-adds.
// Each entry's error is about eps log2 N times the scale of the sum.
constexpr int64_t kFftMinLen = 16;
// Series of fewer rows never take the FFT (and their arena has no room for it).
constexpr int64_t kFftRows = 256;

// The transform length for m rows and r lags: a power of two >= m + r.
KVR_INLINE int64_t fft_len(int64_t m, int64_t r) {
    int64_t N = kFftMinLen;
    while (N < m + r) N *= 2;
    return N;
}

// tw[f] = exp(-2 pi i f / N) for f < N / 2 (interleaved re, im): sincos for
// the first octant, the rest by exact symmetries.
KVR_INLINE void fft_twiddles(int64_t N, double *tw) {
    const int64_t q = N / 8, h = N / 4;
    const double step = 2.0 * kPi / static_cast<double>(N);
    for (int64_t f = 0; f <= q; ++f) {
        const double a = step * static_cast<double>(f);
        tw[2 * f] = std::cos(a), tw[2 * f + 1] = -std::sin(a);
    }
    for (int64_t f = q + 1; f <= h; ++f) {  // pi / 2 - the angle of h - f
        tw[2 * f] = -tw[2 * (h - f) + 1], tw[2 * f + 1] = -tw[2 * (h - f)];
    }
    for (int64_t f = h + 1; f < 2 * h; ++f) {  // pi - the angle of 2h - f
        tw[2 * f] = -tw[2 * (2 * h - f)], tw[2 * f + 1] = tw[2 * (2 * h - f) + 1];
    }
}

// In-place forward complex FFT of z (M = N / 2 >= 8 points, interleaved),
// radix 2, decimation in time; tw from fft_twiddles(N).
KVR_INLINE void fft_complex(double *z, int64_t M, const double *tw) {
    for (int64_t i = 1, j = 0; i < M; ++i) {  // bit reversal
        int64_t bit = M >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) {
            const double r = z[2 * i], im = z[2 * i + 1];
            z[2 * i] = z[2 * j], z[2 * i + 1] = z[2 * j + 1];
            z[2 * j] = r, z[2 * j + 1] = im;
        }
    }
    // lengths 2 and 4 twiddle by 1 and -i, exactly: no products
    for (int64_t i = 0; i < M; i += 4) {
        double *p = z + 2 * i;
        const double a0 = p[0] + p[2], a1 = p[1] + p[3], b0 = p[0] - p[2], b1 = p[1] - p[3];
        const double c0 = p[4] + p[6], c1 = p[5] + p[7], d0 = p[4] - p[6], d1 = p[5] - p[7];
        p[0] = a0 + c0, p[1] = a1 + c1, p[4] = a0 - c0, p[5] = a1 - c1;
        p[2] = b0 + d1, p[3] = b1 - d0, p[6] = b0 - d1, p[7] = b1 + d0;  // d (-i) = (d1, -d0)
    }
    for (int64_t len = 8; len <= M; len *= 2) {
        const int64_t half = len / 2, step = 2 * (M / len);  // exp(-2 pi i q / len)
        for (int64_t i = 0; i < M; i += len)
            for (int64_t q = 0; q < half; ++q) {
                const double wr = tw[2 * q * step], wi = tw[2 * q * step + 1];
                double *u = z + 2 * (i + q), *v = u + 2 * half;
                const double vr = kvr::fma(v[0], wr, -(v[1] * wi));
                const double vi = kvr::fma(v[0], wi, v[1] * wr);
                v[0] = u[0] - vr, v[1] = u[1] - vi;
                u[0] += vr, u[1] += vi;
            }
    }
}

// The transform X(f), f = 0..N/2, of the N reals in x (N + 2 doubles: the
// result overwrites them, interleaved): the complex FFT of the even and odd
// entries as one sequence, then the split of the two.
KVR_INLINE void fft_real(double *x, int64_t N, const double *tw) {
    const int64_t M = N / 2;
    fft_complex(x, M, tw);
    const double r0 = x[0], i0 = x[1];
    x[0] = r0 + i0, x[1] = 0.0;
    x[2 * M] = r0 - i0, x[2 * M + 1] = 0.0;
    for (int64_t f = 1; 2 * f <= M; ++f) {
        const int64_t g = M - f;
        const double a = x[2 * f], b = x[2 * f + 1], c = x[2 * g], d = x[2 * g + 1];
        // E = (Z_f + conj Z_g) / 2, O = (Z_f - conj Z_g) / 2i; X_f = E + tw_f O,
        // X_g = conj(E - tw_f O)
        const double er = 0.5 * (a + c), ei = 0.5 * (b - d);
        const double orr = 0.5 * (b + d), oi = -0.5 * (a - c);
        const double wr = tw[2 * f], wi = tw[2 * f + 1];
        const double pr = kvr::fma(wr, orr, -(wi * oi)), pi = kvr::fma(wr, oi, wi * orr);
        x[2 * f] = er + pr, x[2 * f + 1] = ei + pi;
        x[2 * g] = er - pr, x[2 * g + 1] = pi - ei;
    }
}

// Doubles of long_run_fft's scratch for n rows: twiddles and k + 1
// transforms at the longest length.
KVR_INLINE Checked fft_scratch(Checked n, Checked k) {
    const Checked N = n * 4 + kFftMinLen;  // >= fft_len(m, r) for r < m <= n
    return N + (k + 1) * (N + 2);
}

// Whether m rows and r lags take the FFT: where the Toeplitz product's m r
// multiply-adds per column cost more than its transforms of length N, about
// 30 N log2 N of them by measurement (even at 500 rows, r = 499).
KVR_INLINE bool use_fft(int64_t m, int64_t r) {
    if (m < kFftRows) return false;
    const int64_t N = fft_len(m, r);
    const double lg = std::log2(static_cast<double>(N));
    return static_cast<double>(m) * static_cast<double>(r) > 30.0 * static_cast<double>(N) * lg;
}

// long_run by FFT. w: count weights; F: fft_scratch(m, k) doubles.
KVR_INLINE void long_run_fft(const double *H, int64_t m, int64_t k, const double *w, int64_t count,
                             double *F, double *S) {
    const int64_t r = count - 1, N = fft_len(m, r), M = N / 2;
    double *tw = F, *U = tw + N, *X = U + N + 2;
    fft_twiddles(N, tw);
    for (int64_t j = 0; j < N; ++j) U[j] = 0.0;
    U[0] = w[0];
    for (int64_t j = 1; j <= r; ++j) U[j] = U[N - j] = w[j];
    fft_real(U, N, tw);
    for (int64_t a = 0; a < k; ++a) {
        double *x = X + a * (N + 2);
        for (int64_t t = 0; t < m; ++t) x[t] = H[t * k + a];
        for (int64_t t = m; t < N; ++t) x[t] = 0.0;
        fft_real(x, N, tw);
    }
    const double inv = 1.0 / static_cast<double>(N);
    for (int64_t a = 0; a < k; ++a)
        for (int64_t b = a; b < k; ++b) {
            const double *xa = X + a * (N + 2), *xb = X + b * (N + 2);
            // the inner frequencies count twice (f and N - f)
            double acc[4] = {0.0, 0.0, 0.0, 0.0};
            for (int64_t f = 1; f < M; ++f) {
                const double re = kvr::fma(xa[2 * f], xb[2 * f], xa[2 * f + 1] * xb[2 * f + 1]);
                acc[f & 3] = kvr::fma(U[2 * f], re, acc[f & 3]);
            }
            const double ends = kvr::fma(U[0] * xa[0], xb[0], U[2 * M] * xa[2 * M] * xb[2 * M]);
            const double v = kvr::fma(2.0, kvr::pairwise<4>(acc), ends) * inv;
            S[a * k + b] = S[b * k + a] = v;
        }
}

// Scratch layout, in doubles: the scores (n x k, row-major), the plug-in's
// scores in the data's units (n x k; the padded columns of the Toeplitz
// product after), prewhitened residuals (n x k), the Toeplitz product, the
// lag weights (2n), k x k blocks and k pivots, then from kFftRows rows on
// the scratch of the long-run sum by FFT.
struct Layout {
    int64_t h, u, v, z, w, blocks, fft;
    Checked total{0};
};

// Outputs per block of the Toeplitz product: eight 4-wide chains, enough
// independent multiply-adds to keep both FMA ports busy.
constexpr int64_t kBlock = 32;

constexpr int64_t kBlocks = 6;  // G0, A', I - A, D, products, lag sums

Layout layout(int64_t n, int64_t k) {
    const Checked N(kvr::size_arg(n)), K(kvr::size_arg(k));
    const Checked pad(2 * kBlock), u = N * K, v = u + (N + pad) * K, z = v + N * K,
                                   w = z + (N + pad) * K, blocks = w + N * 2;
    Layout l;
    l.h = 0, l.u = u.v, l.v = v.v, l.z = z.v, l.w = w.v, l.blocks = blocks.v;
    const Checked fft = blocks + K * K * kBlocks + K;
    l.fft = fft.v;
    l.total = n >= kFftRows ? fft + fft_scratch(N, K) : fft;
    return l;
}

// Below this d = 6 pi x / 5 the quadratic spectral weight comes from its
// series (truncated after d^10: below 6e-16), where the closed form loses
// 6.6e-16 / d^2 to cancellation (1e-9 at b = 10^4 lags).
constexpr double kQsSeries = 0.4;

KVR_INLINE double kernel_weight(int64_t kernel, double x) {
    const double ax = std::fabs(x);
    if (kernel == HAC_KERNEL_BARTLETT) return ax < 1.0 ? 1.0 - ax : 0.0;
    if (kernel == HAC_KERNEL_PARZEN) {
        const double ax2 = ax * ax;
        if (ax <= 0.5) return kvr::fma(6.0 * ax2, ax, kvr::fma(-6.0, ax2, 1.0));
        const double r = 1.0 - ax;
        return ax <= 1.0 ? 2.0 * (r * r * r) : 0.0;
    }
    const double d = 6.0 * kPi * ax / 5.0;
    if (d < kQsSeries) {  // sin d / d - cos d cancels: its Taylor series
        const double z = d * d;
        return 1.0 +
               z * (-1.0 / 10.0 +
                    z * (1.0 / 280.0 +
                         z * (-1.0 / 15120.0 + z * (1.0 / 1330560.0 + z * (-1.0 / 172972800.0)))));
    }
    return 3.0 / (d * d) * (std::sin(d) / d - std::cos(d));
}

// Quadratic spectral weights past d = kQsNear, where they are below 0.66: the
// sine and cosine of d_j come from exact ones at every kQsStride-th lag by
// the angle-addition formulas with those of i theta, i < kQsStride (a few
// ulps of one, as the rounding of d_j itself): an eighth of the calls of
// sincos, which dominated the weights of a few hundred lags.
constexpr double kQsNear = 2.0;
constexpr int64_t kQsStride = 8;

// The weights of lag_weights for the quadratic spectral kernel, b > 0. Past
// kQsNear, d_j = j theta (within an ulp or two of kernel_weight's) and one
// division each, in a loop free of branches; the count by a scan from the end.
KVR_INLINE int64_t qs_weights(double b, int64_t m, double *w) {
    int64_t j = 1;
    w[0] = 1.0;
    const auto d_of = [b](int64_t i) __attribute__((always_inline)) {
        return 6.0 * kPi * (static_cast<double>(i) / b) / 5.0;
    };
    for (; j < m && !(d_of(j) >= kQsNear); ++j)  // as kernel_weight (b = inf: all ones)
        w[j] = kernel_weight(HAC_KERNEL_QS, static_cast<double>(j) / b);
    double st[kQsStride], ct[kQsStride];  // sin, cos of i theta
    const double theta = 6.0 * kPi / (5.0 * b);
    for (int64_t i = 0; i < kQsStride; ++i) {
        st[i] = std::sin(static_cast<double>(i) * theta);
        ct[i] = std::cos(static_cast<double>(i) * theta);
    }
    for (; j < m; j += kQsStride) {
        const double d0 = static_cast<double>(j) * theta, s0 = std::sin(d0), c0 = std::cos(d0);
        const int64_t end = m - j < kQsStride ? m - j : kQsStride;
        for (int64_t i = 0; i < end; ++i) {  // 3 (sin d - d cos d) / d^3
            const double d = static_cast<double>(j + i) * theta;
            const double sd = kvr::fma(s0, ct[i], c0 * st[i]),
                         cd = kvr::fma(c0, ct[i], -(s0 * st[i]));
            w[j + i] = 3.0 * kvr::fma(-d, cd, sd) / (d * d * d);
        }
    }
    int64_t count = m > 1 ? m : 1;
    while (count > 1 && !(std::fabs(w[count - 1]) > kWeightTol)) --count;
    return count;
}

// Weights k(j / b) of lags j < m into w, zero past the last above kWeightTol;
// returns how many lags that keeps (lag 0 included). b = 0 keeps lag 0 alone.
KVR_INLINE int64_t lag_weights(int64_t kernel, double b, int64_t m, double *w) {
    if (kernel == HAC_KERNEL_QS && b > 0.0) return qs_weights(b, m, w);
    int64_t count = 1;
    w[0] = 1.0;
    for (int64_t j = 1; j < m; ++j) {
        const double x = b > 0.0 ? static_cast<double>(j) / b : 0.0;
        w[j] = b > 0.0 ? kernel_weight(kernel, x) : 0.0;
        if (std::fabs(w[j]) > kWeightTol) count = j + 1;
        if (kernel != HAC_KERNEL_QS && x >= 1.0) break;  // compact kernels end here
    }
    return count;
}

typedef kvr::vec<4> v4d;

// a . b in the sum_lanes<16> order (term t into lane t % 16, lanes combined
// pairwise), in four 4-wide vectors: four independent chains of fused
// multiply-adds.
KVR_INLINE double dot16(const double *__restrict a, const double *__restrict b, int64_t n) {
    v4d s0 = {}, s1 = {}, s2 = {}, s3 = {};
    const int64_t n16 = n & ~int64_t(15);
    for (int64_t t = 0; t < n16; t += 16) {
        s0 = kvr::vfma<4>(kvr::vload<4>(a + t), kvr::vload<4>(b + t), s0);
        s1 = kvr::vfma<4>(kvr::vload<4>(a + t + 4), kvr::vload<4>(b + t + 4), s1);
        s2 = kvr::vfma<4>(kvr::vload<4>(a + t + 8), kvr::vload<4>(b + t + 8), s2);
        s3 = kvr::vfma<4>(kvr::vload<4>(a + t + 12), kvr::vload<4>(b + t + 12), s3);
    }
    double lanes[16];
    kvr::vstore<4>(lanes, s0);
    kvr::vstore<4>(lanes + 4, s1);
    kvr::vstore<4>(lanes + 8, s2);
    kvr::vstore<4>(lanes + 12, s3);
    for (int64_t t = n16; t < n; ++t) lanes[t - n16] = kvr::fma(a[t], b[t], lanes[t - n16]);
    return kvr::pairwise<16>(lanes);
}

// S = sum over |j| < count of w_|j| Gamma_j, Gamma_j = sum_t h_t h_{t-j}',
// exactly symmetric, lag by lag: contiguous products of the columns (Hc: k x
// m scratch), a third of the time of general cross-products for a few
// columns. H: m x k row-major; g: k x k scratch.
KVR_INLINE void long_run(const double *H, int64_t m, int64_t k, const double *w, int64_t count,
                         double *Hc, double *g, double *S) {
    for (int64_t a = 0; a < k; ++a)
        for (int64_t t = 0; t < m; ++t) Hc[a * m + t] = H[t * k + a];
    for (int64_t a = 0; a < k; ++a)
        for (int64_t b = a; b < k; ++b)
            S[a * k + b] = S[b * k + a] = w[0] * dot16(Hc + a * m, Hc + b * m, m);
    for (int64_t j = 1; j < count && j < m; ++j) {
        for (int64_t a = 0; a < k; ++a)  // Gamma_j'
            for (int64_t b = 0; b < k; ++b) g[a * k + b] = dot16(Hc + a * m, Hc + b * m + j, m - j);
        for (int64_t a = 0; a < k; ++a)
            for (int64_t b = 0; b < k; ++b)
                S[a * k + b] = kvr::fma(w[j], g[a * k + b] + g[b * k + a], S[a * k + b]);
    }
    kvr_sym_inplace(S, k);
}

// Beyond this many lags the long-run sum goes as w_0 H'H + H'Z + Z'H with
// z_t = sum_{j >= 1} w_j h_{t-j} (the lower half of the Toeplitz matrix of
// the weights times H): k n^2 / 2 multiply-adds instead of k^2 n^2 / 2.
constexpr int64_t kToeplitzLags = 16;

// One column of Z: z_t = sum over 1 <= j <= r of w_j hp_{t-j}, one chain per
// t in increasing j, for t < m. The blocks end at m, so the one that starts
// before row 0 is the one with the fewest lags (t - j < 0 reads zeros).
// hp: the column with kBlock zeros before and after it; z: kBlock + m, the
// column from z + kBlock.
KVR_INLINE void toeplitz_column(const double *__restrict hp, int64_t m, const double *__restrict w,
                                int64_t r, double *__restrict z) {
    for (int64_t t0 = m - (m + kBlock - 1) / kBlock * kBlock; t0 < m; t0 += kBlock) {
        v4d s0 = {}, s1 = {}, s2 = {}, s3 = {}, s4 = {}, s5 = {}, s6 = {}, s7 = {};
        const int64_t top = r < t0 + kBlock - 1 ? r : t0 + kBlock - 1;
        for (int64_t j = 1; j <= top; ++j) {
            const v4d wj = kvr::vsplat<4>(w[j]);
            const double *p = hp + t0 - j;
            s0 = kvr::vfma<4>(wj, kvr::vload<4>(p), s0);
            s1 = kvr::vfma<4>(wj, kvr::vload<4>(p + 4), s1);
            s2 = kvr::vfma<4>(wj, kvr::vload<4>(p + 8), s2);
            s3 = kvr::vfma<4>(wj, kvr::vload<4>(p + 12), s3);
            s4 = kvr::vfma<4>(wj, kvr::vload<4>(p + 16), s4);
            s5 = kvr::vfma<4>(wj, kvr::vload<4>(p + 20), s5);
            s6 = kvr::vfma<4>(wj, kvr::vload<4>(p + 24), s6);
            s7 = kvr::vfma<4>(wj, kvr::vload<4>(p + 28), s7);
        }
        double *o = z + kBlock + t0;
        kvr::vstore<4>(o, s0), kvr::vstore<4>(o + 4, s1), kvr::vstore<4>(o + 8, s2);
        kvr::vstore<4>(o + 12, s3), kvr::vstore<4>(o + 16, s4), kvr::vstore<4>(o + 20, s5);
        kvr::vstore<4>(o + 24, s6), kvr::vstore<4>(o + 28, s7);
    }
}

// Column stride of the Toeplitz scratch (the padded scores, and Z).
KVR_INLINE int64_t padded_len(int64_t m) { return m + 2 * kBlock; }

// long_run through Z. Hc, Zc: k x padded_len(m) scratch; w: the weights,
// count of them.
KVR_INLINE void long_run_toeplitz(const double *H, int64_t m, int64_t k, const double *w,
                                  int64_t count, double *Hc, double *Zc, double *g, double *S) {
    const int64_t ld = padded_len(m);
    for (int64_t a = 0; a < k; ++a) {
        double *c = Hc + a * ld;
        for (int64_t i = 0; i < kBlock; ++i) c[i] = c[kBlock + m + i] = 0.0;
        for (int64_t t = 0; t < m; ++t) c[kBlock + t] = H[t * k + a];
    }
    for (int64_t a = 0; a < k; ++a)
        toeplitz_column(Hc + a * ld + kBlock, m, w, count - 1, Zc + a * ld);
    for (int64_t a = 0; a < k; ++a) {  // H'H and H'Z on the contiguous columns
        const double *ha = Hc + a * ld + kBlock;
        for (int64_t b = 0; b < k; ++b) {
            S[a * k + b] = b < a ? S[b * k + a] : dot16(ha, Hc + b * ld + kBlock, m);
            g[a * k + b] = dot16(ha, Zc + b * ld + kBlock, m);
        }
    }
    for (int64_t a = 0; a < k; ++a)
        for (int64_t b = 0; b < k; ++b)
            S[a * k + b] = kvr::fma(w[0], S[a * k + b], g[a * k + b] + g[b * k + a]);
    kvr_sym_inplace(S, k);
}

// out_t = e_t x_t for the n rows of x (n x k). Unaliased: otherwise GCC
// checks the overlap and picks among vector loops at every row.
KVR_INLINE void scale_rows(const double *__restrict x, const double *__restrict e, int64_t n,
                           int64_t k, double *__restrict out) {
    for (int64_t t = 0; t < n; ++t) {
        const double et = e[t];
        for (int64_t a = 0; a < k; ++a) out[t * k + a] = x[t * k + a] * et;
    }
}

// LU with partial pivoting of A (k x k, row-major) in place; false when a
// pivot is zero or not finite.
KVR_INLINE bool lu(double *A, int64_t k, int64_t *piv) {
    for (int64_t c = 0; c < k; ++c) {
        int64_t p = c;
        for (int64_t r = c + 1; r < k; ++r)
            if (std::fabs(A[r * k + c]) > std::fabs(A[p * k + c])) p = r;
        piv[c] = p;
        if (!(std::fabs(A[p * k + c]) > 0.0) || !std::isfinite(A[p * k + c])) return false;
        if (p != c)
            for (int64_t j = 0; j < k; ++j) {
                const double t = A[c * k + j];
                A[c * k + j] = A[p * k + j];
                A[p * k + j] = t;
            }
        const double inv = 1.0 / A[c * k + c];
        for (int64_t r = c + 1; r < k; ++r) {
            const double f = A[r * k + c] * inv;
            A[r * k + c] = f;
            for (int64_t j = c + 1; j < k; ++j)
                A[r * k + j] = kvr::fma(-f, A[c * k + j], A[r * k + j]);
        }
    }
    return true;
}

// Solves LU X = B in place (B k x k row-major, every column).
KVR_INLINE void lu_solve(const double *LU, const int64_t *piv, int64_t k, double *B) {
    for (int64_t c = 0; c < k; ++c)
        if (piv[c] != c)
            for (int64_t j = 0; j < k; ++j) {
                const double t = B[c * k + j];
                B[c * k + j] = B[piv[c] * k + j];
                B[piv[c] * k + j] = t;
            }
    for (int64_t j = 0; j < k; ++j) {
        for (int64_t r = 1; r < k; ++r) {
            double t = B[r * k + j];
            for (int64_t c = 0; c < r; ++c) t = kvr::fma(-LU[r * k + c], B[c * k + j], t);
            B[r * k + j] = t;
        }
        for (int64_t r = k - 1; r >= 0; --r) {
            double t = B[r * k + j];
            for (int64_t c = r + 1; c < k; ++c) t = kvr::fma(-LU[r * k + c], B[c * k + j], t);
            B[r * k + j] = t / LU[r * k + r];
        }
    }
}

// VAR(1) without intercept by least squares (Andrews and Monahan 1992) of H
// (m x k, row-major): V (m - 1 rows) the residuals v_t = h_t - A h_{t-1},
// and D = (I - A)^-1, which recolours their long-run covariance. A zero H
// gives A = 0. False for a singular system or I - A. Hc: k x m scratch.
KVR_INLINE bool var1(const double *H, int64_t m, int64_t k, double *V, double *blocks, int64_t *piv,
                     double *D, double *Hc) {
    const int64_t kk = k * k;
    double *G0 = blocks, *B = G0 + kk, *A = B + kk;
    // G0 = sum h_t h_t' and B = sum h_t h_{t+1}' over t < m - 1, as contiguous
    // products of the columns (a tenth of the time of the general products
    // for a few columns)
    for (int64_t t = 0; t < m; ++t)
        for (int64_t a = 0; a < k; ++a) Hc[a * m + t] = H[t * k + a];
    for (int64_t a = 0; a < k; ++a)
        for (int64_t b = 0; b < k; ++b) {
            const double *ca = Hc + a * m, *cb = Hc + b * m;
            G0[a * k + b] = b < a ? G0[b * k + a] : dot16(ca, cb, m - 1);
            B[a * k + b] = dot16(ca, cb + 1, m - 1);
        }
    bool zero = true;
    for (int64_t i = 0; i < kk; ++i) zero &= G0[i] == 0.0;
    if (zero) {
        for (int64_t i = 0; i < kk; ++i) B[i] = 0.0;
    } else {
        if (!lu(G0, k, piv)) return false;
        lu_solve(G0, piv, k, B);  // B = A'
    }
    // v_t[b] = h_{t+1}[b] - sum_a A[b][a] h_t[a], one chain over a each; four
    // rows at a time, whose chains interleave
    int64_t t = 0;
    for (; t + 4 < m; t += 4) {
        const double *h0 = H + t * k;
        double *v = V + t * k;
        for (int64_t b = 0; b < k; ++b) {
            double s0 = h0[k + b], s1 = h0[2 * k + b], s2 = h0[3 * k + b], s3 = h0[4 * k + b];
            for (int64_t a = 0; a < k; ++a) {
                const double f = -B[a * k + b];
                s0 = kvr::fma(f, h0[a], s0), s1 = kvr::fma(f, h0[k + a], s1);
                s2 = kvr::fma(f, h0[2 * k + a], s2), s3 = kvr::fma(f, h0[3 * k + a], s3);
            }
            v[b] = s0, v[k + b] = s1, v[2 * k + b] = s2, v[3 * k + b] = s3;
        }
    }
    for (; t + 1 < m; ++t) {
        const double *h0 = H + t * k, *h1 = h0 + k;
        double *v = V + t * k;
        for (int64_t b = 0; b < k; ++b) {
            double s = h1[b];
            for (int64_t a = 0; a < k; ++a) s = kvr::fma(-B[a * k + b], h0[a], s);
            v[b] = s;
        }
    }
    for (int64_t a = 0; a < k; ++a)  // I - A, A = B'
        for (int64_t b = 0; b < k; ++b) {
            A[a * k + b] = (a == b ? 1.0 : 0.0) - B[b * k + a];
            D[a * k + b] = a == b ? 1.0 : 0.0;
        }
    if (!lu(A, k, piv)) return false;
    lu_solve(A, piv, k, D);
    for (int64_t i = 0; i < kk; ++i)
        if (!std::isfinite(D[i])) return false;
    return true;
}

// Andrews (1991, eq. 6.4) from AR(1) fits with an intercept to each column of
// U (m x k, row-major) that weighs; NaN where undefined.
KVR_INLINE double andrews(const double *U, int64_t m, int64_t k, int64_t cc, int64_t kernel) {
    if (m < 3) return kNaN;
    double num = 0.0, den = 0.0;
    const double r = static_cast<double>(m - 1);
    for (int64_t a = 0; a < k; ++a) {
        if (a == cc && k > 1) continue;
        const double *u0 = U + a, *u1 = u0 + k;
        const auto x = [&](int64_t t) __attribute__((always_inline)) {
            return u0[t * k];
        };
        const auto y = [&](int64_t t) __attribute__((always_inline)) {
            return u1[t * k];
        };
        const double m0 = kvr::sum4<false>(m - 1, x) / r, m1 = kvr::sum4<false>(m - 1, y) / r;
        const double sxy =
            kvr::fold4(m - 1, [&](double &acc, int64_t t) __attribute__((always_inline)) {
                acc = kvr::fma(x(t) - m0, y(t) - m1, acc);
            });
        const double sxx = kvr::sum4<true>(m - 1, [&](int64_t t) __attribute__((always_inline)) {
            return x(t) - m0;
        });
        const double rho = sxy / sxx;
        const double srr = kvr::sum4<true>(m - 1, [&](int64_t t) __attribute__((always_inline)) {
            return kvr::fma(-rho, x(t) - m0, y(t) - m1);
        });
        const double v = srr / static_cast<double>(m - 2), s4 = v * v;
        const double lo = 1.0 - rho, lo2 = lo * lo, lo4 = lo2 * lo2;
        const double t = kernel == HAC_KERNEL_BARTLETT
                             ? 4.0 * rho * rho * s4 / (lo4 * lo2 * ((1.0 + rho) * (1.0 + rho)))
                             : 4.0 * rho * rho * s4 / (lo4 * lo4);
        num += std::fabs(rho) < 1.0 ? t : kNaN;
        den += s4 / lo4;
    }
    const double c = _KERNEL_SPECS[kernel][0], qk = _KERNEL_SPECS[kernel][1];
    const double bw = c * std::pow(static_cast<double>(m) * num / den, 1.0 / (2.0 * qk + 1.0));
    return den > 0.0 ? bw : kNaN;
}

// Newey and West (1994) from the autocovariances of the sum of the weighing
// columns of U (m x k, row-major) up to lag floor(c (n/100)^rate), c = 4 (3
// after prewhitening); n the sample size before prewhitening. h: m scratch.
KVR_INLINE double newey_west(const double *U, int64_t m, int64_t k, int64_t cc, int64_t kernel,
                             bool prewhite, int64_t n, double *h) {
    for (int64_t t = 0; t < m; ++t) {
        double s = 0.0;
        for (int64_t a = 0; a < k; ++a)
            if (!(a == cc && k > 1)) s += U[t * k + a];
        h[t] = s;
    }
    const double dn = static_cast<double>(n);
    int64_t lags = static_cast<int64_t>(
        std::floor((prewhite ? 3.0 : 4.0) * std::pow(dn / 100.0, kNwRate[kernel])));
    if (lags > m - 1) lags = m - 1;
    const double qk = _KERNEL_SPECS[kernel][1], c = _KERNEL_SPECS[kernel][0];
    double s0 = kvr::dot_acc<1>(0.0, h, h, m), rest = 0.0, sq = 0.0;
    for (int64_t j = 1; j <= lags; ++j) {
        const double sig = kvr::dot_acc<1>(0.0, h + j, h, m - j), dj = static_cast<double>(j);
        rest += sig;
        sq = kvr::fma(sig, qk == 1.0 ? dj : dj * dj, sq);
    }
    s0 = kvr::fma(2.0, rest, s0);
    sq *= 2.0;
    const double e = 1.0 / (2.0 * qk + 1.0), ratio = sq / s0;
    const double bw = c * std::pow(ratio * ratio, e) * std::pow(dn, e);
    return s0 != 0.0 && std::isfinite(bw) ? bw : kNaN;
}

// Leverage this close to one is one: Q's rounding leaves 1 - h at a few ulps
// there, and (1 - h)^-d would weigh rounding noise by up to 1e60.
constexpr double kLeverageOne = 1.4901161193847656e-08;  // sqrt(DBL_EPSILON)

// The weight of e_t^2 (MacKinnon and White 1985; Cribari-Neto 2004;
// Cribari-Neto and da Silva 2011; Cribari-Neto et al. 2007) at leverage h
// below one (HC2..HC5 are undefined at one, as R's vcovHC). top: HC5's cap.
KVR_INLINE double hc_weight(int64_t type, double h, double n, double k, double top) {
    if (type == KVR_COV_HC0) return 1.0;
    if (type == KVR_COV_HC1) return n / (n - k);
    const double one = 1.0 - h;
    const double ratio = n * h / k;
    switch (type) {
        case KVR_COV_HC2: return 1.0 / one;
        case KVR_COV_HC3: return 1.0 / (one * one);
        // one^-d as exp(-d log one): a quarter of pow's time, to a few ulps
        case KVR_COV_HC4: return std::exp(-std::fmin(4.0, ratio) * std::log(one));
        case KVR_COV_HC4M:
            return std::exp(-(std::fmin(1.0, ratio) + std::fmin(1.5, ratio)) * std::log(one));
        default: return std::exp(-0.5 * std::fmin(ratio, top) * std::log(one));
    }
}

}  // namespace

extern "C" int kvr_cov_choice_check(const kvr_cov_choice *c) {
    const bool ok = c->type >= 0 && c->type < KVR_COV_NTYPES && c->kernel >= 0 && c->kernel <= 2 &&
                    c->rule >= 0 && c->rule < KVR_COV_NRULES &&
                    (c->prewhite == 0 || c->prewhite == 1) && (c->adjust == 0 || c->adjust == 1);
    return ok ? DIAG_OK : DIAG_BAD_ARG;
}

extern "C" kvr_arena_size_t kvr_robust_arena_size(int64_t n, int64_t k) {
    return kvr::arena_record(layout(n, k).total);
}

extern "C" KVR_INTERNAL KVR_MULTIVERSION int kvr_robust_meat(
    const kvr_cov_choice *c, const double *q, const double *e, const double *xs, const double *ex,
    int64_t n, int64_t k, int64_t cc, int64_t hac_lags, double *arena, double *om, double *bw) {
    bw[0] = bw[1] = kNaN;
    const Layout l = layout(n, k);
    const int64_t kk = k * k;
    double *H = arena + l.h, *U = arena + l.u, *V = arena + l.v, *Zc = arena + l.z,
           *w = arena + l.w, *blocks = arena + l.blocks;
    double *D = blocks + 3 * kk, *P = D + kk, *S = P + kk;
    int64_t *piv = reinterpret_cast<int64_t *>(blocks + kBlocks * kk);
    const double dn = static_cast<double>(n), dk = static_cast<double>(k);
    scale_rows(q, e, n, k, H);  // the scores

    if (c->type != KVR_COV_HAC) {
        double top = 0.0;
        for (int64_t t = 0; t < n; ++t) {  // leverages into w
            double h = 0.0;
            for (int64_t a = 0; a < k; ++a) h = kvr::fma(q[t * k + a], q[t * k + a], h);
            w[t] = h;
            top = h > top ? h : top;
        }
        // an observation of leverage one: its residual is zero whatever its
        // error, which HC2..HC5 divide back out
        if (c->type != KVR_COV_HC0 && c->type != KVR_COV_HC1 && !(1.0 - top > kLeverageOne))
            return DIAG_UDEF_VARIANCE;
        top = std::fmax(4.0, dn * 0.7 * top / dk);  // HC5's cap
        for (int64_t t = 0; t < n; ++t) {           // U = the weighted scores
            const double wt = hc_weight(c->type, w[t], dn, dk, top);
            for (int64_t a = 0; a < k; ++a) U[t * k + a] = wt * H[t * k + a];
        }
        kvr_matmul_atb(U, H, S, n, k, k);
        kvr_sym_inplace(S, k);
        for (int64_t i = 0; i < kk; ++i) om[i] = S[i] / dn;
        return DIAG_OK;
    }

    double b = kNaN, plug = kNaN;
    if (c->rule == KVR_COV_LAGS) {
        const int64_t L = c->lags >= 0 ? c->lags : hac_lags;
        if (L < 0) return DIAG_BAD_LAG;
        b = static_cast<double>(L) + 1.0;
    } else if (c->rule == KVR_COV_LLSW) {
        b = plug = 1.3 * std::sqrt(dn);
    } else {
        // the scores x_t e_t in the data's units, up to one power of two: the
        // equilibrated ones, prewhitened (least squares is equivariant to the
        // columns' scales, and their cross-products stay in range), then scaled
        scale_rows(xs, e, n, k, U);
        double *Z = U;
        int64_t m = n;
        if (c->prewhite) {
            if (n < 2 || !var1(U, n, k, V, blocks, piv, D, Zc)) return DIAG_UDEF_VARIANCE;
            Z = V, m = n - 1;
        }
        double top = ex[0];
        for (int64_t a = 1; a < k; ++a) top = ex[a] > top ? ex[a] : top;
        for (int64_t a = 0; a < k; ++a) {
            const int shift = static_cast<int>(ex[a] - top);
            if (shift == 0) continue;
            // an exact power of two when it is a normal number, else ldexp
            const double f = shift >= -1022 ? std::ldexp(1.0, shift) : 0.0;
            for (int64_t t = 0; t < m; ++t)
                Z[t * k + a] = f > 0.0 ? Z[t * k + a] * f : std::ldexp(Z[t * k + a], shift);
        }
        if (c->rule == KVR_COV_ANDREWS) {
            b = plug = andrews(Z, m, k, cc, c->kernel);
        } else {
            plug = newey_west(Z, m, k, cc, c->kernel, c->prewhite != 0, n, w);
            // Bartlett weights end at a whole number of lags (as R's NeweyWest)
            b = c->kernel == HAC_KERNEL_BARTLETT ? std::floor(plug) + 1.0 : plug;
        }
        if (!(b >= 0.0)) return DIAG_UDEF_VARIANCE;
    }
    const double *Z = H;
    int64_t m = n;
    if (c->prewhite) {
        if (n < 2 || !var1(H, n, k, V, blocks, piv, D, Zc)) return DIAG_UDEF_VARIANCE;
        Z = V, m = n - 1;
    }
    bw[0] = b, bw[1] = plug;
    const int64_t count = lag_weights(c->kernel, b, m, w);
    if (use_fft(m, count - 1))
        long_run_fft(Z, m, k, w, count, arena + l.fft, S);
    else if (count - 1 > kToeplitzLags)
        long_run_toeplitz(Z, m, k, w, count, U, Zc, P, S);
    else
        long_run(Z, m, k, w, count, U, P, S);
    if (c->prewhite) {  // D S D'
        for (int64_t a = 0; a < k; ++a)
            for (int64_t d = 0; d < k; ++d) {
                double t = 0.0;
                for (int64_t i = 0; i < k; ++i) t = kvr::fma(D[a * k + i], S[i * k + d], t);
                P[a * k + d] = t;
            }
        for (int64_t a = 0; a < k; ++a)
            for (int64_t d = 0; d < k; ++d) {
                double t = 0.0;
                for (int64_t i = 0; i < k; ++i) t = kvr::fma(P[a * k + i], D[d * k + i], t);
                S[a * k + d] = t;
            }
    }
    const double scale = c->adjust ? dn / (dn - dk) : 1.0;
    for (int64_t i = 0; i < kk; ++i) om[i] = S[i] * scale / dn;
    return DIAG_OK;
}
