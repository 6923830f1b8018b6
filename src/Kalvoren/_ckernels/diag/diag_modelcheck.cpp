// The model checks of the battery, on the equilibrated series the battery
// fitted. They follow _spectests.py (the Python route, which takes what these
// refuse: DIAG_FALLBACK hands a series' check back to it): every auxiliary
// regressor enters only for its part outside the columns already fitted,
// and a rank decision closer to the tolerance than a factor kBand is left to
// the Python route, so both routes count the same degrees of freedom.
#include "diag_modelcheck.hpp"

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>

#include "diag.h"
#include "diag_battery.h"
#include "diag_guard.hpp"
#include "kvr_simd.hpp"
#include "kvr_vec.hpp"

namespace kvr {
namespace mc {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.141592653589793;
// A column's distance from the span before it within this factor of the rank
// tolerance: pivoting orders may differ between routes, so the call is Python's.
constexpr double kBand = 64.0;

KVR_INLINE Res status_only(int st) { return Res{st, kNaN, kNaN, kNaN}; }

// Four partial sums (dot4): the wide order of dot_acc spills in these large inlined bodies.
KVR_INLINE double dot(const double *a, const double *b, int64_t n) { return kvr::dot4(a, b, n); }

// z -= Q (Q' z) for Q n x k column-major (orthonormal).
KVR_INLINE void project_off(const double *Q, int64_t n, int64_t k, double *z) {
    for (int64_t j = 0; j < k; ++j) {
        const double *q = Q + j * n;
        const double t = -dot(q, z, n);
        for (int64_t i = 0; i < n; ++i) z[i] = kvr::fma(q[i], t, z[i]);
    }
}

// Householder QR with column pivoting of Z (n x p column-major) in place,
// stopping at the first column within tol of the span before it. Column j
// then holds reflector j from row j (v, with H = I - scale v v'). Returns
// the rank, or -1 when a distance lies within kBand of tol.
KVR_INLINE int64_t pivoted_qr(double *Z, int64_t n, int64_t p, double tol, double *scales,
                              double *norms) {
    int64_t r = 0;
    for (; r < p && r < n; ++r) {
        int64_t best = r;
        for (int64_t c = r; c < p; ++c) {
            const double *z = Z + c * n + r;
            norms[c] = std::sqrt(dot(z, z, n - r));
            if (norms[c] > norms[best]) best = c;
        }
        const double norm = norms[best];
        if (norm > tol / kBand && norm < tol * kBand) return -1;
        if (!(norm > tol)) break;
        if (best != r)
            for (int64_t i = 0; i < n; ++i) std::swap(Z[r * n + i], Z[best * n + i]);
        double *v = Z + r * n + r;
        const int64_t len = n - r;
        const double d = v[0], alpha = d >= 0.0 ? -norm : norm;
        const double scale = 1.0 / (norm * (norm + std::fabs(d)));
        v[0] = d - alpha;
        scales[r] = scale;
        for (int64_t c = r + 1; c < p; ++c) {
            double *a = Z + c * n + r;
            const double t = -(dot(v, a, len) * scale);
            for (int64_t i = 0; i < len; ++i) a[i] = kvr::fma(v[i], t, a[i]);
        }
    }
    // a column past the rank must not sit in the band either
    for (int64_t c = r; c < p && r < n; ++c) {
        const double *z = Z + c * n + r;
        const double nc = std::sqrt(dot(z, z, n - r));
        if (nc > tol / kBand) return -1;
    }
    return r;
}

// v <- H_{r-1} .. H_0 v: its first r entries are the coordinates of v on the
// basis, the rest what lies outside it.
KVR_INLINE void apply_reflectors(const double *Z, int64_t n, int64_t r, const double *scales,
                                 double *v) {
    for (int64_t j = 0; j < r; ++j) {
        const double *h = Z + j * n + j;
        const int64_t len = n - j;
        const double t = -(dot(h, v + j, len) * scales[j]);
        for (int64_t i = 0; i < len; ++i) v[j + i] = kvr::fma(h[i], t, v[j + i]);
    }
}

// Columns scaled to unit length (zero ones dropped) and projected twice off
// Q (n x kq) or, when Q is null, off the constant. Returns the columns kept.
KVR_INLINE int64_t beyond(double *Z, int64_t n, int64_t p, const double *Q, int64_t kq) {
    int64_t kept = 0;
    const double u = 1.0 / std::sqrt(static_cast<double>(n));
    for (int64_t c = 0; c < p; ++c) {
        double *z = Z + c * n;
        const double norm = std::sqrt(dot(z, z, n));
        if (!(norm > 0.0)) continue;
        double *to = Z + kept * n;
        for (int64_t i = 0; i < n; ++i) to[i] = z[i] / norm;
        for (int pass = 0; pass < 2; ++pass) {
            if (Q) {
                project_off(Q, n, kq, to);
            } else {
                const double t = -kvr::sum4<false>(n,
                                                   [&](int64_t i) __attribute__((always_inline)) {
                                                       return to[i];
                                                   }) *
                                 u;
                for (int64_t i = 0; i < n; ++i) to[i] = kvr::fma(u, t, to[i]);
            }
        }
        ++kept;
    }
    return kept;
}

KVR_INLINE double tolerance(int64_t n, int64_t k) {
    const int64_t m = n > k ? n : k;
    return static_cast<double>(m > 1 ? m : 1) * kvr::kEps;
}

// Columns scaled to largest magnitude 1, centred first when asked.
KVR_INLINE void standardise(double *z, int64_t n, bool centre) {
    if (centre) {
        const double mean = kvr::sum4<false>(n,
                                             [&](int64_t i) __attribute__((always_inline)) {
                                                 return z[i];
                                             }) /
                            static_cast<double>(n);
        for (int64_t i = 0; i < n; ++i) z[i] -= mean;
    }
    double top = 0.0;
    for (int64_t i = 0; i < n; ++i) top = std::fmax(top, std::fabs(z[i]));
    if (top > 0.0)
        for (int64_t i = 0; i < n; ++i) z[i] /= top;
}

KVR_INLINE int64_t slopes(const Fit &f) { return f.cc >= 0 ? f.k - 1 : f.k; }

// Least squares of rows [lo, hi) of ys on the same rows of xs by Householder
// QR: FALLBACK when the part is rank-deficient, has no more rows than columns
// or is worse conditioned than the battery accepts (the Python route decides
// its rank then).
struct Sub {
    int status;
    double rss;
    bool exact;
};

KVR_INLINE Sub subfit(const Fit &f, int64_t lo, int64_t hi, double *scratch) {
    const int64_t len = hi - lo, k = f.k;
    if (len <= k) return Sub{DIAG_FALLBACK, kNaN, false};
    double *A = scratch, *scales = A + len * (k + 1), *beta = scales + k, *ri = beta + k;
    for (int64_t i = 0; i < len; ++i) {
        const double *x = f.xs + (lo + i) * k;
        for (int64_t j = 0; j < k; ++j) A[j * len + i] = x[j];
        A[k * len + i] = f.ys[lo + i];
    }
    const double yy = dot(A + k * len, A + k * len, len);
    for (int64_t j = 0; j < k; ++j) {
        double *v = A + j * len + j;
        const int64_t m = len - j;
        const double norm = std::sqrt(dot(v, v, m));
        if (!(norm > 0.0)) return Sub{DIAG_FALLBACK, kNaN, false};
        const double d = v[0], alpha = d >= 0.0 ? -norm : norm;
        const double scale = 1.0 / (norm * (norm + std::fabs(d)));
        v[0] = d - alpha;
        for (int64_t c = j + 1; c <= k; ++c) {
            double *a = A + c * len + j;
            const double t = -(dot(v, a, m) * scale);
            for (int64_t i = 0; i < m; ++i) a[i] = kvr::fma(v[i], t, a[i]);
        }
        scales[j] = alpha;  // R's diagonal
    }
    // R: diagonal in scales, above it in A; its 1-norm condition via R^-1
    const auto R = [&](int64_t i, int64_t j) {
        return i == j ? scales[j] : A[j * len + i];
    };
    double nr = 0.0, ni = 0.0;
    for (int64_t j = 0; j < k; ++j) {
        double *col = ri + j * k;
        col[j] = 1.0 / R(j, j);
        for (int64_t i = j - 1; i >= 0; --i) {
            double s = 0.0;
            for (int64_t l = i + 1; l <= j; ++l) s = kvr::fma(R(i, l), col[l], s);
            col[i] = -s / R(i, i);
        }
        double sr = 0.0, si = 0.0;
        for (int64_t i = 0; i <= j; ++i) {
            sr += std::fabs(R(i, j));
            si += std::fabs(col[i]);
        }
        nr = std::fmax(nr, sr);
        ni = std::fmax(ni, si);
    }
    if (!(nr * ni <= KVR_BAT_COND_MAX)) return Sub{DIAG_FALLBACK, kNaN, false};
    const double *qy = A + k * len;
    for (int64_t i = k - 1; i >= 0; --i) {
        double t = qy[i];
        for (int64_t c = i + 1; c < k; ++c) t = kvr::fma(-R(i, c), beta[c], t);
        beta[i] = t / R(i, i);
    }
    const double rss = dot(qy + k, qy + k, len - k);
    double size = std::sqrt(yy);
    for (int64_t j = 0; j < k; ++j) {
        double cj = 0.0;
        for (int64_t i = 0; i <= j; ++i) cj = kvr::fma(R(i, j), R(i, j), cj);
        size += std::sqrt(cj) * std::fabs(beta[j]);
    }
    return Sub{DIAG_OK, rss, kvr::is_exact_fit(rss, size, len)};
}

// ------------------------------------------------------- Durbin-Watson

// The double-exponential rule of _spectests: y = y0 exp(pi/2 sinh t), t in
// steps of 1/16 from -4 to 4.5, kept in the design cache after its header.
struct Rule {
    const double *t, *scale, *weight, *lws, *cheb;  // cheb: T_m(x_q), m, q <= kCheb
};

KVR_INLINE Rule make_rule(double *at, bool fill) {
    Rule r{at, at + kNodes, at + 2 * kNodes, at + 3 * kNodes, at + 4 * kNodes};
    if (fill) {
        for (int m = 0; m <= kCheb; ++m)
            for (int q = 0; q <= kCheb; ++q)
                at[4 * kNodes + m * (kCheb + 1) + q] = std::cos(kPi * m * (q + 0.5) / (kCheb + 1));
        const double h = 1.0 / 16.0;
        for (int i = 0; i < kNodes; ++i) {
            const double t = h * static_cast<double>(i - 64);
            const double scale = std::exp(0.5 * kPi * std::sinh(t));
            const double weight = h * 0.5 * kPi * std::cosh(t) * scale;
            at[i] = t, at[kNodes + i] = scale, at[2 * kNodes + i] = weight;
            at[3 * kNodes + i] = std::log(weight / scale);
        }
    }
    return r;
}
constexpr double kStrip = 0.95;

// The null of one design: eigenvalues lam of the difference operator in the
// DCT basis (nf of them) and, pair by pair (a <= b), w_a w_b of the DCT of an
// orthonormal basis of the design's columns beside the constant (np x nf).
struct Null {
    int64_t n, nf, r, np;
    bool cst;
    const double *lam, *P;
    Rule rule;
};

// Cache layout: n, k, cc, r, the rule, then lam (n), then P (k(k+1)/2 x n).

KVR_INLINE Null build_null(const Fit &f, Ctx &c) {
    const int64_t n = f.n, k = f.k;
    const bool cst = f.cc >= 0;
    const int64_t r = cst ? k - 1 : k, np = r * (r + 1) / 2, j0 = cst ? 1 : 0, nf = n - j0;
    double *h = c.cache, *lam = h + kRuleLen, *P = lam + n;
    if (c.reuse && h[0] == static_cast<double>(n) && h[1] == static_cast<double>(k) &&
        h[2] == static_cast<double>(f.cc))
        return Null{n, nf, r, np, cst, lam, P, make_rule(h + kHeads, false)};
    h[0] = h[1] = h[2] = -1.0;
    const Null null{n, nf, r, np, cst, lam, P, make_rule(h + kHeads, true)};
    for (int64_t j = j0; j < n; ++j) {
        const double sn = std::sin(kPi * static_cast<double>(j) / (2.0 * static_cast<double>(n)));
        lam[j - j0] = 4.0 * (sn * sn);
    }
    // B: the slopes centred and orthonormalised (Gram-Schmidt twice), or Q
    double *B = c.scratch, *tab = B + n * (r > 0 ? r : 1), *W = tab + 4 * n;
    if (cst) {
        int64_t a = 0;
        for (int64_t j = 0; j < k; ++j) {
            if (j == f.cc) continue;
            double *b = B + a * n;
            for (int64_t i = 0; i < n; ++i) b[i] = f.xs[i * k + j];
            const double mean = kvr::sum4<false>(n,
                                                 [&](int64_t i) __attribute__((always_inline)) {
                                                     return b[i];
                                                 }) /
                                static_cast<double>(n);
            for (int64_t i = 0; i < n; ++i) b[i] -= mean;
            for (int pass = 0; pass < 2; ++pass) project_off(B, n, a, b);
            const double norm = std::sqrt(dot(b, b, n));
            for (int64_t i = 0; i < n; ++i) b[i] /= norm;
            ++a;
        }
    } else {
        std::memcpy(B, f.Q, sizeof(double) * n * k);
    }
    // W = DCT-II (orthonormal) of B, over the frequencies j0 .. n-1
    const int64_t period = 4 * n;
    for (int64_t m = 0; m < period; ++m)
        tab[m] = std::cos(kPi * static_cast<double>(m) / (2.0 * static_cast<double>(n)));
    const double s0 = std::sqrt(1.0 / static_cast<double>(n)),
                 s1 = std::sqrt(2.0 / static_cast<double>(n));
    for (int64_t j = j0; j < n; ++j) {
        const int64_t step = (2 * j) % period;
        for (int64_t a = 0; a < r; ++a) {
            const double *b = B + a * n;
            double s = 0.0;
            int64_t idx = j % period;
            for (int64_t i = 0; i < n; ++i) {
                s = kvr::fma(b[i], tab[idx], s);
                idx += step;
                if (idx >= period) idx -= period;
            }
            W[(j - j0) * (r > 0 ? r : 1) + a] = s * (j == 0 ? s0 : s1);
        }
    }
    int64_t p = 0;
    for (int64_t a = 0; a < r; ++a)
        for (int64_t b = a; b < r; ++b, ++p)
            for (int64_t j = 0; j < nf; ++j) P[p * nf + j] = W[j * r + a] * W[j * r + b];
    h[0] = static_cast<double>(n), h[1] = static_cast<double>(k), h[2] = static_cast<double>(f.cc);
    h[3] = static_cast<double>(r);
    return null;
}

// Symmetric r x r from the packed pairs (a <= b).
KVR_INLINE void unpack(const double *p, int64_t r, double *M) {
    int64_t q = 0;
    for (int64_t a = 0; a < r; ++a)
        for (int64_t b = a; b < r; ++b, ++q) M[a * r + b] = M[b * r + a] = p[q];
}

// Lower Cholesky factor in place, pivots floored at floor; log det.
KVR_INLINE double cholesky(double *M, int64_t r, double floor) {
    double ld = 0.0;
    for (int64_t j = 0; j < r; ++j) {
        double d = M[j * r + j];
        for (int64_t l = 0; l < j; ++l) d -= M[j * r + l] * M[j * r + l];
        d = d > floor ? d : floor;
        const double lj = std::sqrt(d);
        M[j * r + j] = lj;
        ld += 2.0 * std::log(lj);
        for (int64_t i = j + 1; i < r; ++i) {
            double s = M[i * r + j];
            for (int64_t l = 0; l < j; ++l) s -= M[i * r + l] * M[j * r + l];
            M[i * r + j] = s / lj;
        }
    }
    return ld;
}

// C = L^-1 S L^-T (S symmetric, full), in place of S; T scratch r x r.
KVR_INLINE void congruence(const double *L, int64_t r, double *S, double *T) {
    for (int64_t c = 0; c < r; ++c)  // T = L^-1 S, column by column
        for (int64_t i = 0; i < r; ++i) {
            double s = S[i * r + c];
            for (int64_t l = 0; l < i; ++l) s -= L[i * r + l] * T[l * r + c];
            T[i * r + c] = s / L[i * r + i];
        }
    for (int64_t i = 0; i < r; ++i)  // S = T L^-T: rows of T solved by L
        for (int64_t j = 0; j < r; ++j) {
            double s = T[i * r + j];
            for (int64_t l = 0; l < j; ++l) s -= L[j * r + l] * S[i * r + l];
            S[i * r + j] = s / L[j * r + j];
        }
}

// Eigenvalues of a symmetric r x r matrix (cyclic Jacobi), onto its diagonal.
KVR_INLINE void jacobi(double *S, int64_t r) {
    for (int sweep = 0; sweep < 60; ++sweep) {
        double off = 0.0, all = 0.0;
        for (int64_t i = 0; i < r; ++i)
            for (int64_t j = 0; j < r; ++j) {
                all += S[i * r + j] * S[i * r + j];
                if (i != j) off += S[i * r + j] * S[i * r + j];
            }
        if (!(off > 1e-30 * all)) return;  // off-diagonal below 1e-15 of the norm
        for (int64_t p = 0; p < r; ++p)
            for (int64_t q = p + 1; q < r; ++q) {
                const double apq = S[p * r + q];
                if (apq == 0.0) continue;
                const double theta = (S[q * r + q] - S[p * r + p]) / (2.0 * apq);
                const double t =
                    std::copysign(1.0, theta) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double cs = 1.0 / std::sqrt(t * t + 1.0), sn = t * cs;
                for (int64_t l = 0; l < r; ++l) {  // columns p, q
                    const double x = S[l * r + p], y = S[l * r + q];
                    S[l * r + p] = cs * x - sn * y;
                    S[l * r + q] = sn * x + cs * y;
                }
                for (int64_t l = 0; l < r; ++l) {  // rows p, q
                    const double x = S[p * r + l], y = S[q * r + l];
                    S[p * r + l] = cs * x - sn * y;
                    S[q * r + l] = sn * x + cs * y;
                }
            }
    }
}

// pr[p] = sum_j P_pj ia_j / (1 + (y b_j)^2) and pi[p] the same times y b_j,
// over the pairs; with two slopes (three pairs) in one vectorised pass.
KVR_INLINE void pair_sums(double y, const double *__restrict ia, const double *__restrict b,
                          double *__restrict u, double *__restrict v, const double *__restrict P,
                          int64_t nf, int64_t np, double *pr, double *pi) {
    if (np != 3) {
        for (int64_t j = 0; j < nf; ++j) {
            const double yb = y * b[j];
            const double wr = ia[j] / kvr::fma(yb, yb, 1.0);
            u[j] = wr;
            v[j] = wr * yb;
        }
        for (int64_t p = 0; p < np; ++p) {
            pr[p] = dot(u, P + p * nf, nf);
            pi[p] = dot(v, P + p * nf, nf);
        }
        return;
    }
    const double *P0 = P, *P1 = P + nf, *P2 = P + 2 * nf;
    using V = kvr::vec<4>;
    V r0 = kvr::vzero<4>(), r1 = r0, r2 = r0, i0 = r0, i1 = r0, i2 = r0;
    const V vy = kvr::vsplat<4>(y), one = kvr::vsplat<4>(1.0);
    int64_t j = 0;
    for (; j + 4 <= nf; j += 4) {
        const V yb = vy * kvr::vload<4>(b + j);
        const V wr = kvr::vload<4>(ia + j) / kvr::vfma<4>(yb, yb, one);
        const V wi = wr * yb;
        const V p0 = kvr::vload<4>(P0 + j), p1 = kvr::vload<4>(P1 + j), p2 = kvr::vload<4>(P2 + j);
        r0 = kvr::vfma<4>(wr, p0, r0);
        r1 = kvr::vfma<4>(wr, p1, r1);
        r2 = kvr::vfma<4>(wr, p2, r2);
        i0 = kvr::vfma<4>(wi, p0, i0);
        i1 = kvr::vfma<4>(wi, p1, i1);
        i2 = kvr::vfma<4>(wi, p2, i2);
    }
    double a[6] = {kvr::vhsum<4>(r0), kvr::vhsum<4>(r1), kvr::vhsum<4>(r2),
                   kvr::vhsum<4>(i0), kvr::vhsum<4>(i1), kvr::vhsum<4>(i2)};
    for (; j < nf; ++j) {
        const double yb = y * b[j];
        const double wr = ia[j] / kvr::fma(yb, yb, 1.0), wi = wr * yb;
        a[0] = kvr::fma(wr, P0[j], a[0]);
        a[1] = kvr::fma(wr, P1[j], a[1]);
        a[2] = kvr::fma(wr, P2[j], a[2]);
        a[3] = kvr::fma(wi, P0[j], a[3]);
        a[4] = kvr::fma(wi, P1[j], a[4]);
        a[5] = kvr::fma(wi, P2[j], a[5]);
    }
    for (int q = 0; q < 3; ++q) pr[q] = a[q], pi[q] = a[3 + q];
}

// sum over the frequencies of log(1 - 2 s (lam_j - c)) at real s, by the
// product of Chebyshev (as log_det_main) where every factor alpha + beta cos
// is positive and the root w stays clear of the unit circle; false: sum it.
KVR_INLINE bool log_det_real(const Null &z, double c, double s, double *out) {
    const double alpha = 1.0 - 2.0 * s * (2.0 - c), beta = 4.0 * s;
    if (s == 0.0) {
        *out = 0.0;
        return true;
    }
    const double t = alpha / beta;
    if (!(alpha > 0.0 && std::fabs(t) > 1.01)) return false;
    const double sq = std::copysign(std::sqrt(t * t - 1.0), t), w = -1.0 / (t + sq), w2 = w * w;
    double pw = 1.0, base = w2;
    for (int64_t e = z.n; e > 0; e >>= 1) {
        if (e & 1) pw *= base;
        base *= base;
    }
    double v = static_cast<double>(z.n - 1) * std::log(alpha / (1.0 + w2)) +
               std::log((1.0 - pw) / (1.0 - w2));
    if (!z.cst) v += std::log(1.0 + 2.0 * s * c);
    *out = v;
    return true;
}

// x . P_p, u . P_p and v . P_p over the pairs; with three pairs in one
// vectorised pass.
KVR_INLINE void triple_sums(const double *__restrict x, const double *__restrict u,
                            const double *__restrict v, const double *__restrict P, int64_t nf,
                            int64_t np, double *px, double *pu, double *pv) {
    if (np != 3) {
        for (int64_t p = 0; p < np; ++p) {
            px[p] = dot(x, P + p * nf, nf);
            pu[p] = dot(u, P + p * nf, nf);
            pv[p] = dot(v, P + p * nf, nf);
        }
        return;
    }
    using V = kvr::vec<4>;
    V acc[9];
    for (auto &a : acc) a = kvr::vzero<4>();
    int64_t j = 0;
    for (; j + 4 <= nf; j += 4) {
        const V a = kvr::vload<4>(x + j), b = kvr::vload<4>(u + j), c = kvr::vload<4>(v + j);
        for (int p = 0; p < 3; ++p) {
            const V q = kvr::vload<4>(P + p * nf + j);
            acc[p] = kvr::vfma<4>(a, q, acc[p]);
            acc[3 + p] = kvr::vfma<4>(b, q, acc[3 + p]);
            acc[6 + p] = kvr::vfma<4>(c, q, acc[6 + p]);
        }
    }
    double t[9];
    for (int i = 0; i < 9; ++i) t[i] = kvr::vhsum<4>(acc[i]);
    for (; j < nf; ++j)
        for (int p = 0; p < 3; ++p) {
            const double q = P[p * nf + j];
            t[p] = kvr::fma(x[j], q, t[p]);
            t[3 + p] = kvr::fma(u[j], q, t[3 + p]);
            t[6 + p] = kvr::fma(v[j], q, t[6 + p]);
        }
    for (int p = 0; p < 3; ++p) px[p] = t[p], pu[p] = t[3 + p], pv[p] = t[6 + p];
}

struct Dw {
    const Null &z;
    const double *lp;  // lam - c
    double c;
    double *a, *ia, *b, *u, *v, *mat;  // scratch: 5 nf, then 6 r^2 + 3 np
};

// Cumulants of the form at real s: K (when asked), K', K''.
KVR_INLINE void cgf(Dw &d, double s, bool want_k, double *K, double *k1, double *k2) {
    const Null &z = d.z;
    const int64_t nf = z.nf, r = z.r, np = z.np;
    double L0 = 0.0, sb = 0.0, sbb = 0.0;
    const bool closed = want_k && log_det_real(z, d.c, s, &L0);
    for (int64_t j = 0; j < nf; ++j) {
        const double a = 1.0 - 2.0 * s * d.lp[j], ia = 1.0 / a, b = 2.0 * d.lp[j] * ia;
        d.ia[j] = ia;
        d.u[j] = b * ia;
        d.v[j] = 2.0 * b * b * ia;
        sb += b;
        sbb = kvr::fma(b, b, sbb);
    }
    if (want_k && !closed)
        for (int64_t j = 0; j < nf; ++j) L0 += std::log(1.0 - 2.0 * s * d.lp[j]);
    double L1 = -sb, L2 = -sbb;
    if (r) {
        double *pk = d.mat, *p1 = pk + np, *p2 = p1 + np, *H = p2 + np, *C1 = H + r * r,
               *C2 = C1 + r * r, *T = C2 + r * r;
        triple_sums(d.ia, d.u, d.v, z.P, nf, np, pk, p1, p2);
        unpack(pk, r, H);
        unpack(p1, r, C1);
        unpack(p2, r, C2);
        L0 += cholesky(H, r, 0.0);
        congruence(H, r, C1, T);
        congruence(H, r, C2, T);
        double tr1 = 0.0, tr2 = 0.0, f2 = 0.0;
        for (int64_t i = 0; i < r; ++i) {
            tr1 += C1[i * r + i];
            tr2 += C2[i * r + i];
            for (int64_t j = 0; j < r; ++j) f2 = kvr::fma(C1[i * r + j], C1[i * r + j], f2);
        }
        L1 += tr1;
        L2 += tr2 - f2;
    }
    *K = -0.5 * L0;
    *k1 = -0.5 * L1;
    *k2 = -0.5 * L2;
}

KVR_INLINE void strip(const Dw &d, double *lo, double *hi) {
    double mn = d.lp[0], mx = d.lp[0];
    for (int64_t j = 1; j < d.z.nf; ++j) {
        mn = d.lp[j] < mn ? d.lp[j] : mn;
        mx = d.lp[j] > mx ? d.lp[j] : mx;
    }
    *lo = kStrip * 0.5 / mn;
    *hi = kStrip * 0.5 / mx;
}

// The saddle point of the form (K'(s) = 0), Newton inside a bracket.
KVR_INLINE void saddle(Dw &d, double tol, double *s_out, double *K, double *k2_out) {
    double a, b, Kx, k1, k2;
    strip(d, &a, &b);
    cgf(d, 0.0, false, &Kx, &k1, &k2);
    double s = std::fmin(std::fmax(-k1 / k2, a), b);
    for (int it = 0; it < 100; ++it) {
        cgf(d, s, false, &Kx, &k1, &k2);
        const double g = k1;
        if (std::fabs(g) <= tol * std::sqrt(k2)) break;
        if (g > 0.0)
            b = s;
        else
            a = s;
        const double nw = s - g / k2;
        s = (a < nw && nw < b) ? nw : 0.5 * (a + b);
        if (b - a <= 1e-15 * std::fmax(std::fabs(a), std::fabs(b))) break;
    }
    cgf(d, s, true, K, &k1, &k2);
    *s_out = s;
    *k2_out = k2;
}

using cplx = std::complex<double>;

// sum over the frequencies of Log(1 - 2 z (lam_j - c)), by the product of
// Chebyshev: with lam_j = 2 - 2 cos(pi j / n) each factor is alpha + beta
// cos(pi j / n) = -(beta / 2w)(1 - w e^{i theta})(1 - w e^{-i theta}), |w| < 1,
// and for Im z > 0 no factor crosses the cut, which fixes the branch.
KVR_INLINE cplx cdiv(cplx a, cplx b) {  // a / b, b far from 0 and infinity here
    const double br = b.real(), bi = b.imag(), d = br * br + bi * bi;
    return cplx((a.real() * br + a.imag() * bi) / d, (a.imag() * br - a.real() * bi) / d);
}

KVR_INLINE cplx cmul(cplx a, cplx b) {
    return cplx(a.real() * b.real() - a.imag() * b.imag(),
                a.real() * b.imag() + a.imag() * b.real());
}

// Principal logarithm and square root of values of moderate size (the
// logarithm to absolute accuracy, which is what the sums need).
KVR_INLINE cplx clog(cplx a) {
    const double x = a.real(), y = a.imag();
    return cplx(0.5 * std::log(x * x + y * y), std::atan2(y, x));
}

KVR_INLINE cplx csqrt(cplx a) {
    const double x = a.real(), y = a.imag(), m = std::sqrt(x * x + y * y);
    const double re = std::sqrt(0.5 * (m + std::fabs(x))), im = 0.5 * y / re;
    if (re == 0.0) return cplx(0.0, 0.0);
    return x >= 0.0 ? cplx(re, im) : cplx(std::fabs(im), std::copysign(re, y));
}

// Both logarithms below have arguments of positive real part, so each pair
// of terms combines into one principal logarithm of their ratio.
KVR_INLINE cplx log_det_main(const Null &z, double c, cplx zz) {
    const int64_t n = z.n;
    const cplx alpha = 1.0 - 2.0 * zz * (2.0 - c), beta = 4.0 * zz;
    const cplx t = cdiv(alpha, beta);
    cplx sq = csqrt(cmul(t, t) - 1.0);
    if (t.real() * sq.real() + t.imag() * sq.imag() < 0.0) sq = -sq;
    const cplx w = cdiv(cplx(-1.0, 0.0), t + sq), w2 = cmul(w, w);
    cplx pw(1.0, 0.0), base = w2;  // w^(2n) by squaring
    for (int64_t e = n; e > 0; e >>= 1) {
        if (e & 1) pw = cmul(pw, base);
        base = cmul(base, base);
    }
    cplx s =
        static_cast<double>(n - 1) * clog(cdiv(alpha, 1.0 + w2)) + clog(cdiv(1.0 - pw, 1.0 - w2));
    if (!z.cst) s += clog(1.0 + 2.0 * zz * c);
    return s;
}

// Both tails of D at c: (P(D <= c), P(D >= c)), Imhof's integral on the line
// through the saddle point as DWNull.exact.
KVR_INLINE void tails(const Null &z, double c, double *scratch, double *low, double *high) {
    const int64_t nf = z.nf, r = z.r, np = z.np;
    double *lp = scratch;
    Dw d{z, lp, c, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    d.a = lp + nf, d.ia = d.a + nf, d.b = d.ia + nf, d.u = d.b + nf, d.v = d.u + nf;
    d.mat = d.v + nf;
    double mn = std::numeric_limits<double>::max(), mx = -mn;
    for (int64_t j = 0; j < nf; ++j) {
        lp[j] = z.lam[j] - c;
        mn = lp[j] < mn ? lp[j] : mn;
        mx = lp[j] > mx ? lp[j] : mx;
    }
    if (mn >= 0.0) {
        *low = 0.0, *high = 1.0;
        return;
    }
    if (mx <= 0.0) {
        *low = 1.0, *high = 0.0;
        return;
    }
    double K, k1, k2;
    cgf(d, 0.0, false, &K, &k1, &k2);
    if (!(k2 > 0.0)) {
        *low = *high = 1.0;
        return;
    }
    const double k1_0 = k1;
    double s = -k1 / k2;  // Newton's first step from 0
    if (std::fabs(s) * std::sqrt(k2) < 0.25) {
        // the saddle point lies within a scale width of 0, where the contour
        // is moved anyway: straight to one width away (the integral does
        // not depend on the line, only the rule's error, about 1e-15 either way)
        const double side = s != 0.0 ? s : -k1_0;
        double lo, hi;
        strip(d, &lo, &hi);
        s = std::fmin(std::fmax(std::copysign(1.0 / std::sqrt(k2), side), lo), hi);
        cgf(d, s, true, &K, &k1, &k2);
    } else {
        saddle(d, 1e-6, &s, &K, &k2);
        if (std::fabs(s) * std::sqrt(k2) < 1.0) {  // keep the pole at 0 a scale width away
            const double side = s != 0.0 ? s : -k1_0;
            double lo, hi;
            strip(d, &lo, &hi);
            s = std::fmin(std::fmax(std::copysign(1.0 / std::sqrt(k2), side), lo), hi);
            cgf(d, s, true, &K, &k1, &k2);
        }
    }
    const double y0 = 1.0 / std::sqrt(k2);
    double B2 = 0.0;
    for (int64_t j = 0; j < nf; ++j) {
        const double a = 1.0 - 2.0 * s * lp[j];
        d.ia[j] = 1.0 / a;
        d.b[j] = 2.0 * lp[j] / a;
        B2 = d.b[j] * d.b[j] > B2 ? d.b[j] * d.b[j] : B2;
    }
    const Rule &R = z.rule;
    const double cut = std::log(1e-17) + std::log(y0 / std::fabs(s));
    // every node of t <= 0, then the last whose envelope still counts. The
    // envelope's slope is tanh t - g(t), g = (k2 / 2B^2) pi cosh t (yB)^2 /
    // (1 + (yB)^2) increasing: once g >= 1 it falls for good, so a node below
    // the cut there ends the search.
    int last = 64;
    for (int i = 65; i < kNodes; ++i) {
        const double y = y0 * R.scale[i], yb2 = y * y * B2, c2 = k2 / (2.0 * B2);
        if (R.lws[i] - c2 * std::log1p(yb2) >= cut) {
            last = i;
        } else if (c2 * kPi * std::cosh(R.t[i]) * (yb2 / (1.0 + yb2)) >= 1.0) {
            break;
        }
    }
    double *Hr = d.mat, *Hi = Hr + r * r, *T = Hi + r * r, *pr = T + r * r, *pi = pr + np;
    // Re[M(s + iy) / (s + iy)] / M(s) at y
    const auto integrand = [&](double y) __attribute__((always_inline)) {
        const cplx S = log_det_main(z, c, cplx(s, y));
        double re = -0.5 * S.real(), im = -0.5 * S.imag();
        if (r) {
            pair_sums(y, d.ia, d.b, d.u, d.v, z.P, nf, np, pr, pi);
            double ld = 0.0, l1 = 0.0, at = 0.0;
            // det(Hr + i Hi) = det(Hr) prod_a (1 + i mu_a), each factor's argument
            // in (-pi/2, pi/2): with at most two the principal argument of the
            // determinant is their sum (far out, where it underflows, the pencil)
            const cplx D = r == 1   ? cplx(pr[0], pi[0])
                           : r == 2 ? cmul(cplx(pr[0], pi[0]), cplx(pr[2], pi[2])) -
                                          cmul(cplx(pr[1], pi[1]), cplx(pr[1], pi[1]))
                                    : cplx(0.0, 0.0);
            const double D2 = D.real() * D.real() + D.imag() * D.imag();
            if (D2 > 1e-280 && D2 < 1e280) {
                const cplx L = clog(D);
                ld = L.real();
                at = L.imag();
            } else {
                unpack(pr, r, Hr);
                unpack(pi, r, Hi);
                double top = 0.0;
                for (int64_t a = 0; a < r; ++a) top = std::fmax(top, Hr[a * r + a]);
                ld = cholesky(Hr, r, top * 1e-300 + 1e-300);
                congruence(Hr, r, Hi, T);
                jacobi(Hi, r);
                for (int64_t a = 0; a < r; ++a) {
                    const double mu = Hi[a * r + a];
                    l1 += std::log1p(mu * mu);
                    at += std::atan(mu);
                }
            }
            re -= 0.5 * (ld + 0.5 * l1);
            im -= 0.5 * at;
        }
        return std::exp(re - K) * (s * std::cos(im) + y * std::sin(im)) / (s * s + y * y);
    };
    // Near y = 0 the integrand is an even function analytic in u = y^2 up to
    // the singularities nearest s, all on the negative u axis at |u| >=
    // dist^2: the pole of 1 / z at 0 and the strip's edges. On [0, dist^2 / 4]
    // its Chebyshev interpolant of degree kCheb is within about 18^-kCheb of
    // it, so the nodes there take the interpolant's values (a few evaluations
    // for half the rule's nodes or more). Where M(s) = e^K is not small, the
    // pole's part Re[1 / z] / M(s) (M(0) = 1) is taken out first, in closed
    // form, and only the strip's edges bound the interval.
    double lo, hi;
    strip(d, &lo, &hi);
    const bool pole = K > -4.0;  // the pole's part at most e^4 times the integrand
    const double edges = std::fmin(std::fabs(lo / kStrip - s), std::fabs(hi / kStrip - s));
    const double dist = pole ? edges : std::fmin(std::fabs(s), edges);
    // M(s + iy) / M(s) behaves as exp(-k2 y^2 / 2): for negative u (on the
    // ellipse) it grows as exp(k2 |u| / 2), so the interval stays within y0^2
    const double ucut = std::fmin(0.25 * dist * dist, y0 * y0), inv_m = pole ? std::exp(-K) : 0.0;
    const auto pole_part = [&](double y) __attribute__((always_inline)) {
        return inv_m * s / (s * s + y * y);
    };
    int small = 0;
    while (small <= last && y0 * R.scale[small] * (y0 * R.scale[small]) < ucut) ++small;
    double total = 0.0;
    int first = 0;
    if (small > 2 * (kCheb + 1)) {
        double fk[kCheb + 1], cf[kCheb + 1];
        for (int q = 0; q <= kCheb; ++q) {
            const double x = R.cheb[(kCheb + 1) + q];  // T_1 at the point: the point
            const double y = std::sqrt(0.5 * ucut * (1.0 + x));
            fk[q] = integrand(y) - pole_part(y);
        }
        for (int m = 0; m <= kCheb; ++m) {
            double acc = 0.0;
            for (int q = 0; q <= kCheb; ++q)
                acc = kvr::fma(fk[q], R.cheb[m * (kCheb + 1) + q], acc);
            cf[m] = acc * (2.0 / (kCheb + 1));
        }
        cf[0] *= 0.5;
        for (int i = 0; i < small; ++i) {
            const double y = y0 * R.scale[i], x = 2.0 * (y * y) / ucut - 1.0;
            double b1 = 0.0, b2 = 0.0;  // Clenshaw
            for (int m = kCheb; m >= 1; --m) {
                const double b0 = kvr::fma(2.0 * x, b1, cf[m] - b2);
                b2 = b1, b1 = b0;
            }
            total = kvr::fma(R.weight[i], kvr::fma(x, b1, cf[0] - b2) + pole_part(y), total);
        }
        first = small;
    }
    for (int i = first; i <= last; ++i)
        total = kvr::fma(R.weight[i], integrand(y0 * R.scale[i]), total);
    total *= y0 * std::exp(K) / kPi;
    if (s < 0.0) {
        const double lo = std::fmin(std::fmax(-total, 0.0), 1.0);
        *low = lo, *high = 1.0 - lo;
    } else {
        const double hi = std::fmin(std::fmax(total, 0.0), 1.0);
        *low = 1.0 - hi, *high = hi;
    }
}

KVR_INLINE Res white(const Fit &f, Ctx &c) {
    const int64_t n = f.n, k = f.k, p = slopes(f);
    if (p == 0) return status_only(DIAG_BAD_ARG);
    const bool cross = c.opt[kWhiteCross] != 0.0;
    const int64_t naux = p + (cross ? p * (p + 1) / 2 : p);
    // the auxiliary design's basis depends on the design alone: kept in the cache
    double *h = c.cache + kWhiteHead, *scales = c.cache + white_offset(n, k),
           *Z = scales + k + k * (k + 1) / 2;
    double *norms = c.scratch, *v = norms + naux;
    const double key[4] = {static_cast<double>(n), static_cast<double>(k),
                           static_cast<double>(f.cc), cross ? 1.0 : 0.0};
    if (!(c.reuse && h[0] == key[0] && h[1] == key[1] && h[2] == key[2] && h[3] == key[3])) {
        h[0] = -1.0;
        int64_t a = 0;
        for (int64_t j = 0; j < k; ++j) {
            if (j == f.cc) continue;
            double *z = Z + a * n;
            for (int64_t i = 0; i < n; ++i) z[i] = f.xs[i * k + j];
            standardise(z, n, true);
            ++a;
        }
        int64_t col = p;
        for (int64_t i = 0; i < p; ++i)
            for (int64_t j = i; j < p; ++j) {
                if (!cross && j != i) continue;
                const double *x = Z + i * n, *y = Z + j * n;
                double *z = Z + col++ * n;
                for (int64_t t = 0; t < n; ++t) z[t] = x[t] * y[t];
            }
        const int64_t kept = beyond(Z, n, naux, nullptr, 0);
        h[4] = static_cast<double>(pivoted_qr(Z, n, kept, tolerance(n, 1 + kept), scales, norms));
        for (int q = 0; q < 4; ++q) h[q] = key[q];
    }
    const int64_t rank = static_cast<int64_t>(h[4]);
    if (rank < 0) return status_only(DIAG_FALLBACK);
    for (int64_t i = 0; i < n; ++i) v[i] = f.e[i] * f.e[i];
    const double mean = kvr::sum4<false>(n,
                                         [&](int64_t i) __attribute__((always_inline)) {
                                             return v[i];
                                         }) /
                        static_cast<double>(n);
    for (int64_t i = 0; i < n; ++i) v[i] -= mean;
    const double tss = dot(v, v, n);
    if (!(tss > 0.0)) return status_only(DIAG_UDEF_VARIANCE);
    apply_reflectors(Z, n, rank, scales, v);
    const double ess = dot(v, v, rank);
    return Res{DIAG_OK, static_cast<double>(n) * std::fmin(ess / tss, 1.0),
               static_cast<double>(rank), kNaN};
}

KVR_INLINE Res reset(const Fit &f, Ctx &c) {
    const int64_t n = f.n, k = f.k;
    if (slopes(f) == 0) return status_only(DIAG_BAD_ARG);
    const int64_t power = static_cast<int64_t>(c.opt[kResetPower]), q0 = power - 1;
    double *Z = c.scratch, *base = Z + n * q0, *scales = base + n, *norms = scales + q0,
           *v = norms + q0;
    for (int64_t i = 0; i < n; ++i) base[i] = f.ys[i] - f.e[i];
    standardise(base, n, f.cc >= 0);
    for (int64_t pw = 2; pw <= power; ++pw) {
        double *z = Z + (pw - 2) * n;
        const double *prev = pw == 2 ? base : z - n;
        for (int64_t i = 0; i < n; ++i) z[i] = prev[i] * base[i];
    }
    const int64_t kept = beyond(Z, n, q0, f.Q, k);
    const int64_t q = pivoted_qr(Z, n, kept, tolerance(n, k + kept), scales, norms);
    if (q < 0) return status_only(DIAG_FALLBACK);
    if (q == 0) return status_only(DIAG_BAD_ARG);
    const int64_t d2 = n - k - q;
    if (d2 < 1) return status_only(DIAG_TOO_SHORT);
    std::memcpy(v, f.e, sizeof(double) * n);
    apply_reflectors(Z, n, q, scales, v);
    const double ess = dot(v, v, q), rest = dot(v + q, v + q, n - q);
    if (kvr::is_exact_fit(rest, std::sqrt(f.rss), n)) return status_only(DIAG_UDEF_VARIANCE);
    const double F = (ess / static_cast<double>(q)) / (rest / static_cast<double>(d2));
    return Res{DIAG_OK, F, static_cast<double>(q), static_cast<double>(d2)};
}

KVR_INLINE Res goldfeld_quandt(const Fit &f, Ctx &c) {
    const int64_t n = f.n;
    const double split = c.opt[kGqSplit], drop = c.opt[kGqDrop], dn = static_cast<double>(n);
    int64_t p1, s2;
    if (split < 1.0) {  // as gq_parts
        p1 = static_cast<int64_t>(std::floor((split - drop / 2.0) * dn));
        s2 = static_cast<int64_t>(std::ceil((split + drop / 2.0) * dn + 0.01)) - 1;
    } else {
        const int64_t dropped = static_cast<int64_t>(std::floor(drop * dn));
        const int64_t s = static_cast<int64_t>(split);
        p1 = s - static_cast<int64_t>(std::ceil(static_cast<double>(dropped) / 2.0));
        s2 = s + static_cast<int64_t>(std::ceil(static_cast<double>(dropped) / 2.0 + 0.01)) - 1;
    }
    if (p1 < 1 || s2 >= n) return status_only(DIAG_TOO_SHORT);
    const Sub one = subfit(f, 0, p1, c.scratch);
    if (one.status != DIAG_OK) return status_only(one.status);
    const Sub two = subfit(f, s2, n, c.scratch);
    if (two.status != DIAG_OK) return status_only(two.status);
    const double d1 = static_cast<double>(p1 - f.k), d2 = static_cast<double>(n - s2 - f.k);
    if (one.exact) return status_only(DIAG_UDEF_VARIANCE);
    const double F = ((two.exact ? 0.0 : two.rss) / d2) / (one.rss / d1);
    return Res{DIAG_OK, F, d2, d1};
}

KVR_INLINE Res harvey_collier(const Fit &f, Ctx &c) {
    const int64_t n = f.n, k = f.k, m = n - k;
    if (!c.w_ok) {
        double *arena = c.scratch;
        if (kvr_recursive_residuals(f.ys, f.xs, n, k, arena, c.w) != DIAG_OK)
            return status_only(DIAG_FALLBACK);
        c.w_ok = true;
    }
    if (m < 2) return status_only(DIAG_TOO_SHORT);
    const double *w = c.w, dm = static_cast<double>(m);
    const double mean = kvr::sum4<false>(m,
                                         [&](int64_t i) __attribute__((always_inline)) {
                                             return w[i];
                                         }) /
                        dm;
    const double ss = kvr::sum4<true>(m, [&](int64_t i) __attribute__((always_inline)) {
        return w[i] - mean;
    });
    if (!(ss > 0.0)) return status_only(DIAG_UDEF_VARIANCE);
    const double t = mean * std::sqrt(dm) / std::sqrt(ss / (dm - 1.0));
    return Res{DIAG_OK, t, dm - 1.0, kNaN};
}

KVR_INLINE Res rainbow(const Fit &f, Ctx &c) {
    const int64_t n = f.n;
    const double frac = c.opt[kRainbowFraction];
    const double idx = 1.0 + static_cast<double>(n - 1) * (0.5 - frac / 2.0);  // rainbow_rows
    const double flo = std::floor(idx), h = idx - flo;
    const double q = idx > flo ? (1.0 - h) * flo + h * (flo + 1.0) : flo;
    const int64_t lo = static_cast<int64_t>(std::ceil(q)) - 1;
    const int64_t hi = lo + static_cast<int64_t>(std::floor(frac * static_cast<double>(n)));
    const int64_t n1 = hi - lo;
    if (n1 < 1 || n1 >= n || lo < 0 || hi > n) return status_only(DIAG_TOO_SHORT);
    const Sub mid = subfit(f, lo, hi, c.scratch);
    if (mid.status != DIAG_OK) return status_only(mid.status);
    const double d1 = static_cast<double>(n - n1), d2 = static_cast<double>(n1 - f.k);
    if (d2 < 1.0) return status_only(DIAG_TOO_SHORT);
    if (mid.exact) return status_only(DIAG_UDEF_VARIANCE);
    const double F = (std::fmax(f.rss - mid.rss, 0.0) / d1) / (mid.rss / d2);
    return Res{DIAG_OK, F, d1, d2};
}

KVR_INLINE Res durbin_watson(const Fit &f, Ctx &c) {
    const int64_t n = f.n;
    if (n - f.k < 2) return status_only(DIAG_TOO_SHORT);
    if (n > kDwExactMax) return status_only(DIAG_FALLBACK);
    double num = 0.0;
    for (int64_t i = 1; i < n; ++i) {
        const double de = f.e[i] - f.e[i - 1];
        num = kvr::fma(de, de, num);
    }
    const double d = num / f.rss;
    const Null z = build_null(f, c);
    double low = kNaN, high = kNaN;
    tails(z, d, c.scratch, &low, &high);
    return Res{DIAG_OK, d, low, high};
}

}  // namespace
}  // namespace mc
}  // namespace kvr

extern "C" {
KVR_MULTIVERSION void kvr_mc_white(const kvr::mc::Fit *f, kvr::mc::Ctx *c, kvr::mc::Res *r) {
    *r = kvr::mc::white(*f, *c);
}
KVR_MULTIVERSION void kvr_mc_reset(const kvr::mc::Fit *f, kvr::mc::Ctx *c, kvr::mc::Res *r) {
    *r = kvr::mc::reset(*f, *c);
}
KVR_MULTIVERSION void kvr_mc_goldfeld_quandt(const kvr::mc::Fit *f, kvr::mc::Ctx *c,
                                             kvr::mc::Res *r) {
    *r = kvr::mc::goldfeld_quandt(*f, *c);
}
KVR_MULTIVERSION void kvr_mc_harvey_collier(const kvr::mc::Fit *f, kvr::mc::Ctx *c,
                                            kvr::mc::Res *r) {
    *r = kvr::mc::harvey_collier(*f, *c);
}
KVR_MULTIVERSION void kvr_mc_rainbow(const kvr::mc::Fit *f, kvr::mc::Ctx *c, kvr::mc::Res *r) {
    *r = kvr::mc::rainbow(*f, *c);
}
KVR_MULTIVERSION void kvr_mc_durbin_watson(const kvr::mc::Fit *f, kvr::mc::Ctx *c,
                                           kvr::mc::Res *r) {
    *r = kvr::mc::durbin_watson(*f, *c);
}
}
