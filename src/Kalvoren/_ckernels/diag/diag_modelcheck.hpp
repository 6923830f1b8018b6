// Internal: the model checks of the battery (White, RESET on the fitted
// values, Goldfeld-Quandt and Harvey-Collier in the data's order, Rainbow,
// Durbin-Watson with its exact p-value), on a series the battery has fitted.
// Not exported: _batch reaches them through kvr_battery_checks.
#ifndef KVR_DIAG_MODELCHECK_HPP
#define KVR_DIAG_MODELCHECK_HPP

#include <cstdint>

#include "diag_robust.hpp"
#include "kvr_api.h"
#include "kvr_size.hpp"

namespace kvr {
namespace mc {

// The options, in this order, as doubles.
enum Opt {
    kResetPower,       // 2 .. kResetPowerMax
    kWhiteCross,       // 0 or 1
    kGqSplit,          // a fraction in (0, 1) or a row count
    kGqDrop,           // [0, 1)
    kRainbowFraction,  // (0, 1]
    kNOpts
};

// The highest RESET power run natively (the arena is sized for it).
constexpr int64_t kResetPowerMax = 8;
// Observations above which Durbin-Watson's p-value is left to Python (the
// saddlepoint approximation there).
constexpr int64_t kDwExactMax = 2000;

// The fitted series in the battery's scaled units: xs n x k row-major, ys
// and e n, Q n x k column-major (an orthonormal basis of the design's
// columns, or null when no check needs it), cc the constant's column or -1.
struct Fit {
    const double *xs, *ys, *e, *Q;
    int64_t n, k, cc;
    double rss;
};

// What the checks of one series share: the options, the design cache (kept
// across the series of a batch with one design when reuse is set), the
// recursive residuals when the CUSUM recursion left them (w_ok), scratch.
struct Ctx {
    const double *opt;
    double *cache;
    double *w;
    double *scratch;
    bool reuse, w_ok;
};

struct Res {
    int status;
    double stat, df1, df2;
};

// The design cache starts with a header and the quadrature rule of the
// Durbin-Watson integral (4 x kNodes), with the Chebyshev table of the
// interpolant near 0 (degree kCheb).
constexpr int64_t kNodes = 137;
constexpr int kCheb = 14;
// Headers first, at places that do not move with n: Durbin-Watson's (n, k,
// cc, r) and White's (n, k, cc, cross, rank); a call without reuse marks both
// empty before anything else.
constexpr int64_t kHeads = 9, kWhiteHead = 4;
constexpr int64_t kRuleLen = kHeads + 4 * kNodes + (kCheb + 1) * (kCheb + 1);

// The lengths of the design cache and of the checks' scratch.
// The cache: Durbin-Watson's (header and rule, lam, the pairs), then White's
// (header, scales, the auxiliary basis).
inline int64_t white_offset(int64_t n, int64_t k) { return kRuleLen + n + n * k * (k + 1); }
inline Checked cache_len(Checked n, Checked k) {
    const Checked aux = k + k * (k + 1);  // at least White's columns
    return Checked(kRuleLen) + n + n * k * (k + 1) + aux + n * aux;
}
inline Checked scratch_len(Checked n, Checked k) {
    const Checked aux = k + k * (k + 1);  // White's columns (at most)
    return n * (aux + kResetPowerMax + k + 12) + (k + 2) * (k + 2) * 16 + 64;
}

}  // namespace mc
}  // namespace kvr

// C linkage, not exported (no KVR_API), like kvr_cusum_pair_taped: the battery with
// the model checks. opt holds kvr::mc::kNOpts options; reuse & 1 says X's
// first n rows are those of the previous call on this arena (a batch with
// one design), whose design work is then kept; reuse & 2 that the next calls
// will share them (work is recorded for them). The arena's length comes from
// kvr_battery_checks_arena_size (the convention of kvr_api.h), with shared
// != 0 when any call passes reuse bits (only then does the arena hold the
// design's work); without check bits and shared it is kvr_battery_arena_size's.
extern "C" {
// The checks (C linkage: the archive holds no C++ names). Durbin-Watson's df1
// and df2 are its exact tails P(D <= d) and P(D >= d).
KVR_HIDDEN void kvr_mc_white(const kvr::mc::Fit *f, kvr::mc::Ctx *c, kvr::mc::Res *r);
KVR_HIDDEN void kvr_mc_reset(const kvr::mc::Fit *f, kvr::mc::Ctx *c, kvr::mc::Res *r);
KVR_HIDDEN void kvr_mc_goldfeld_quandt(const kvr::mc::Fit *f, kvr::mc::Ctx *c, kvr::mc::Res *r);
KVR_HIDDEN void kvr_mc_harvey_collier(const kvr::mc::Fit *f, kvr::mc::Ctx *c, kvr::mc::Res *r);
KVR_HIDDEN void kvr_mc_rainbow(const kvr::mc::Fit *f, kvr::mc::Ctx *c, kvr::mc::Res *r);
KVR_HIDDEN void kvr_mc_durbin_watson(const kvr::mc::Fit *f, kvr::mc::Ctx *c, kvr::mc::Res *r);
// The battery with the model checks (opt: their options; reuse: the design is
// the previous call's on this arena) and, when c is not null, the covariance
// c in place of its own Bartlett HAC: se and the HAC Wald test from it, cov (k x k,
// units of the data) and bw (2) as kvr_robust_meat's; NaN when undefined.
// with_cov: the arena also holds the covariance's scratch.
KVR_HIDDEN kvr_arena_size_t kvr_battery_checks_arena_size(int64_t n, int64_t k, int64_t lags,
                                                          int64_t tests, int64_t with_cov,
                                                          int64_t shared);
KVR_HIDDEN int kvr_battery_checks(const double *y, const double *X, int64_t n, int64_t k,
                                  int64_t const_col, int64_t lags, int64_t t_break,
                                  int64_t hac_lags, int64_t tests, const double *opt, int64_t reuse,
                                  const kvr_cov_choice *c, double *arena, double *out, double *beta,
                                  double *se, double *cov, double *bw);
}

#endif
