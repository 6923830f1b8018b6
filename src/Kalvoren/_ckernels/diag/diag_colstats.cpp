// Column means and centering over axis 0.
#include "diag_colstats.h"

#include "kvr_simd.hpp"
#include "kvr_vec.hpp"

namespace {

using kvr::vec;

// acc += rows r = 0..nr-1 of a column block of width W, one row at a time.
template <int W>
KVR_INLINE void add_rows(const double *base, int64_t p, int64_t nr, double *m) {
    vec<W> acc = kvr::vload<W>(m);
    for (int64_t r = 0; r < nr; ++r) acc += kvr::vload<W>(base + r * p);
    kvr::vstore<W>(m, acc);
}

}  // namespace

// Rows are walked in memory order, a group of rows at a time. Within a group
// each block of columns is summed in registers, so a column's running sum is
// an add chain instead of a load-add-store through memory per row, and the
// blocks are independent chains. Every column's additions stay in row order,
// so the result is bit for bit that of the plain row-by-row loop.
extern "C" KVR_API KVR_MULTIVERSION void kvr_fill_mean_ax0(const double *x, int64_t n, int64_t p,
                                                           double *mean) {
    if (p <= 0) return;
    double *m = mean;
    for (int64_t j = 0; j < p; ++j) m[j] = 0.0;
    constexpr int64_t R = 16;
    for (int64_t i0 = 0; i0 < n; i0 += R) {
        const int64_t nr = n - i0 < R ? n - i0 : R;
        const double *base = x + i0 * p;
        int64_t j = 0;
        for (; j + 8 <= p; j += 8) add_rows<8>(base + j, p, nr, m + j);
        if (j + 4 <= p) {
            add_rows<4>(base + j, p, nr, m + j);
            j += 4;
        }
        if (j + 2 <= p) {
            add_rows<2>(base + j, p, nr, m + j);
            j += 2;
        }
        if (j < p) add_rows<1>(base + j, p, nr, m + j);
    }
    const double dn = static_cast<double>(n);
    for (int64_t j = 0; j < p; ++j) m[j] = m[j] / dn;
}

extern "C" KVR_API KVR_MULTIVERSION void kvr_fill_centered_ax0(const double *x, const double *mean,
                                                               int64_t n, int64_t p,
                                                               double *centered) {
    if (p <= 0) return;
    const double *__restrict m = mean;
    for (int64_t i = 0; i < n; ++i) {
        const double *__restrict row = x + i * p;
        double *__restrict out = centered + i * p;
        for (int64_t j = 0; j < p; ++j) out[j] = row[j] - m[j];
    }
}
