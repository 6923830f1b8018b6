// The small-sample Jarque-Bera tables and the lookups that interpolate them.
#include <cmath>
#include <limits>

#include "diag_jbtables.h"

extern "C" {

const double _JB_N_GRID[15] = {
    10, 20, 35, 50, 75, 100, 150, 200, 300, 500, 800, 1000, 1600, 2400, 10000,
};

const double _JB_PVAL_GRID[23] = {
    0.0001, 0.0005, 0.001, 0.005, 0.01, 0.05, 0.1,  0.15,  0.2,   0.3,    0.4,    0.5,
    0.6,    0.7,    0.8,   0.85,  0.9,  0.95, 0.99, 0.995, 0.999, 0.9995, 0.9999,
};

// Row r: tail probability _JB_PVAL_GRID[r]; column c: sample size _JB_N_GRID[c].
// Every column is strictly descending.
const double _JB_CV[23 * 15] = {
    15.345, 46.996, 66.612, 71.734, 69.91,  68.032, 60.632, 54.736,
    47.572, 38.847, 33.247, 31.213, 26.956, 24.249, 19.94,  // 0.0001
    12.444, 31.159, 40.759, 43.256, 41.909, 40.43,  37.229, 34.33,
    30.561, 26.27,  23.045, 21.979, 19.76,  18.366, 16.052,  // 0.0005
    10.995, 24.97,  31.969, 33.753, 32.738, 31.84,  29.547, 27.551,
    24.83,  21.812, 19.521, 18.736, 17.15,  16.083, 14.397,  // 0.001
    7.304,  13.471, 16.414, 17.281, 17.305, 16.959, 16.257, 15.638,
    14.669, 13.583, 12.726, 12.366, 11.762, 11.384, 10.792,  // 0.005
    5.7029, 9.7182, 11.736, 12.392, 12.586, 12.491, 12.185, 11.882,
    11.358, 10.778, 10.299, 10.117, 9.8095, 9.6084, 9.3128,  // 0.01
    2.5247, 3.7954, 4.5929, 4.9757, 5.2777, 5.43,   5.5984, 5.6758,
    5.7732, 5.8551, 5.9103, 5.9242, 5.9569, 5.9671, 5.9857,  // 0.05
    1.6232, 2.347,  2.8814, 3.1834, 3.4862, 3.6734, 3.9041, 4.0327,
    4.1891, 4.3317, 4.4274, 4.4568, 4.5132, 4.5424, 4.5888,  // 0.1
    1.2826, 1.823,  2.2533, 2.5094, 2.7713, 2.939,  3.1416, 3.258,
    3.4003, 3.5312, 3.6198, 3.6507, 3.7016, 3.7309, 3.7778,  // 0.15
    1.1236, 1.5623, 1.9162, 2.1278, 2.3463, 2.4865, 2.6558, 2.7559,
    2.8764, 2.9882, 3.0645, 3.0909, 3.136,  3.1611, 3.2036,  // 0.2
    0.9389, 1.2516, 1.4997, 1.6466, 1.7975, 1.8944, 2.0112, 2.0807,
    2.1639, 2.2427, 2.2962, 2.3153, 2.346,  2.365,  2.3968,  // 0.3
    0.8077, 1.036,  1.2115, 1.3128, 1.4165, 1.4828, 1.5619, 1.6087,
    1.6649, 1.7175, 1.7547, 1.7679, 1.7889, 1.8024, 1.8248,  // 0.4
    0.695,  0.8574, 0.9771, 1.0447, 1.1126, 1.1563, 1.2076, 1.2385,
    1.2752, 1.3101, 1.3338, 1.342,  1.3568, 1.3655, 1.3808,  // 0.5
    0.5885, 0.6948, 0.7699, 0.8114, 0.8529, 0.88,   0.9105, 0.9292,
    0.9518, 0.9732, 0.9882, 0.9931, 1.0024, 1.0085, 1.0181,  // 0.6
    0.4801, 0.5378, 0.5769, 0.5985, 0.6202, 0.6348, 0.6508, 0.661,
    0.673,  0.6851, 0.694,  0.6965, 0.7018, 0.7056, 0.7108,  // 0.7
    0.3618, 0.3777, 0.3896, 0.3969, 0.4046, 0.4105, 0.4168, 0.4213,
    0.4267, 0.4325, 0.4368, 0.4376, 0.4402, 0.4421, 0.4451,  // 0.8
    0.295,  0.2938, 0.2958, 0.2982, 0.301,  0.3044, 0.3071, 0.3096,
    0.313,  0.3163, 0.3189, 0.3194, 0.3209, 0.3221, 0.3245,  // 0.85
    0.2192, 0.2047, 0.2002, 0.1997, 0.1997, 0.2006, 0.2016, 0.2024,
    0.204,  0.206,  0.2071, 0.2074, 0.2081, 0.2089, 0.2106,  // 0.9
    0.1272, 0.1084, 0.1022, 0.1005, 0.0995, 0.0996, 0.0992, 0.0995,
    0.1,    0.1005, 0.101,  0.1012, 0.1013, 0.1019, 0.1024,  // 0.95
    0.0304, 0.023,  0.0208, 0.0203, 0.0198, 0.0197, 0.0196, 0.0196,
    0.0197, 0.0198, 0.0197, 0.0199, 0.02,   0.02,   0.02,  // 0.99
    0.0156, 0.0116, 0.0104, 0.0101, 0.0099, 0.0098, 0.0098, 0.0098,
    0.0099, 0.0099, 0.0098, 0.0099, 0.0099, 0.0099, 0.01,  // 0.995
    0.0032, 0.0023, 0.0021, 0.002,  0.002,  0.0019, 0.0019, 0.0019,
    0.002,  0.0019, 0.002,  0.002,  0.002,  0.002,  0.002,  // 0.999
    0.0016, 0.0012, 0.001,  0.001,  0.001,  0.0009, 0.001,  0.001,
    0.001,  0.001,  0.001,  0.001,  0.001,  0.001,  0.001,  // 0.9995
    0.0003, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002,
    0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002,  // 0.9999
};

}  // extern "C"

namespace {

constexpr int64_t kNs = 15;  // sample sizes (columns)
constexpr int64_t kPs = 23;  // probabilities (rows)
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

inline double cv(int64_t row, int64_t col) { return _JB_CV[row * kNs + col]; }

// First index whose element is >= val (ascending) or <= val (descending);
// a NaN val compares false everywhere and gives 0.
template <bool Ascending>
inline int64_t lower_bound(const double *arr, int64_t len, double val) {
    int64_t low = 0, high = len;
    while (low < high) {
        const int64_t mid = low + (high - low) / 2;
        if (Ascending ? arr[mid] < val : val < arr[mid])
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

template <bool Ascending>
inline void find_hilo(const double *arr, int64_t len, int64_t *lo, int64_t *hi, double val) {
    int64_t a = 0, b = 0;
    if (len > 0) {
        const int64_t k = lower_bound<Ascending>(arr, len, val);
        if (k == 0) {
            a = b = 0;
        } else if (k == len) {
            a = b = len - 1;
        } else if (arr[k] == val) {
            a = b = k;
        } else {
            a = k - 1;
            b = k;
        }
    }
    *lo = a;
    *hi = b;
}

}  // namespace

extern "C" KVR_API void kvr_jb_find_hilo_ascending(const double *arr, int64_t len, int64_t *lo,
                                                   int64_t *hi, double val) {
    find_hilo<true>(arr, len, lo, hi, val);
}

extern "C" KVR_API void kvr_jb_find_hilo_descending(const double *arr, int64_t len, int64_t *lo,
                                                    int64_t *hi, double val) {
    find_hilo<false>(arr, len, lo, hi, val);
}

// Linear in n and in p (no logarithms); outside the grids the nearest row or
// column is used as it is.
extern "C" KVR_API double kvr_jb_isf_interp(int64_t n, double p) {
    if (std::isnan(p)) return kNaN;
    if (p <= 0.0) return kInf;
    if (p >= 1.0) return 0.0;
    const double *N = _JB_N_GRID, *P = _JB_PVAL_GRID;
    const double nn = static_cast<double>(n);
    int64_t a, b, r, s;
    find_hilo<true>(N, kNs, &a, &b, nn);
    find_hilo<true>(P, kPs, &r, &s, p);
    if (a == b) {
        if (r == s) return cv(r, a);
        return cv(r, a) + (cv(s, a) - cv(r, a)) * (p - P[r]) / (P[s] - P[r]);
    }
    if (r == s) return cv(r, a) + (cv(r, b) - cv(r, a)) * (nn - N[a]) / (N[b] - N[a]);
    const double t = (nn - N[a]) / (N[b] - N[a]);
    const double u = cv(r, b) * t + (1.0 - t) * cv(r, a);
    const double w = cv(s, b) * t + cv(s, a) * (1.0 - t);
    return u + (w - u) * (p - P[r]) / (P[s] - P[r]);
}

// Inverts the column of critical values for n (interpolated between grid
// sizes); finite positive statistics map into [P[0], P[22]].
extern "C" KVR_API double kvr_jb_pval_interp(int64_t n, double x) {
    if (std::isnan(x)) return kNaN;
    if (x <= 0.0) return 1.0;
    if (x == kInf) return 0.0;
    const double *N = _JB_N_GRID, *P = _JB_PVAL_GRID;
    const double nn = static_cast<double>(n);
    const int64_t k = lower_bound<true>(N, kNs, nn);
    double col[kPs];
    for (int64_t r = 0; r < kPs; ++r) {
        if (k == 0)
            col[r] = cv(r, 0);
        else if (k == kNs)
            col[r] = cv(r, kNs - 1);
        else if (nn == N[k])
            col[r] = cv(r, k);
        else
            col[r] = cv(r, k - 1) + (cv(r, k) - cv(r, k - 1)) * (nn - N[k - 1]) / (N[k] - N[k - 1]);
    }
    const int64_t j = lower_bound<false>(col, kPs, x);
    if (j == 0) return P[0];
    if (j == kPs) return P[kPs - 1];
    if (col[j] == x) return P[j];
    return P[j - 1] + (P[j] - P[j - 1]) * (x - col[j - 1]) / (col[j] - col[j - 1]);
}

extern "C" KVR_API void kvr_jb_isf_interp_into(int64_t n, const double *p, int64_t count,
                                               double *out) {
    for (int64_t i = 0; i < count; ++i) out[i] = kvr_jb_isf_interp(n, p[i]);
}

extern "C" KVR_API void kvr_jb_pval_interp_into(int64_t n, const double *x, int64_t count,
                                                double *out) {
    for (int64_t i = 0; i < count; ++i) out[i] = kvr_jb_pval_interp(n, x[i]);
}
