#include "diag_design.h"

#include <cmath>
#include <cstring>

// The columns are few: a flag per column on the stack, in chunks of 64.
int64_t kvr_design_scan(const double *y, const double *X, int64_t n, int64_t k,
                        int64_t *const_col) {
    *const_col = -1;
    for (int64_t i = 0; i < n; ++i) {
        if (!std::isfinite(y[i])) return KVR_DESIGN_NONFINITE;
        const double *row = X + i * k;
        for (int64_t j = 0; j < k; ++j)
            if (!std::isfinite(row[j])) return KVR_DESIGN_NONFINITE;
    }
    constexpr int64_t kChunk = 64;
    bool equal[kChunk], constant[kChunk];
    for (int64_t j0 = 0; j0 < k; j0 += kChunk) {
        const int64_t w = k - j0 < kChunk ? k - j0 : kChunk;
        bool any_equal = false, any_constant = false;
        for (int64_t j = 0; j < w; ++j) {
            const double v = n > 0 ? X[j0 + j] : 0.0;
            equal[j] = n > 0 && v == y[0];
            constant[j] = n > 0 && v != 0.0;
            any_equal |= equal[j];
            any_constant |= constant[j];
        }
        for (int64_t i = 1; i < n && (any_equal || any_constant); ++i) {
            const double *row = X + i * k + j0, *first = X + j0;
            any_equal = any_constant = false;
            for (int64_t j = 0; j < w; ++j) {
                equal[j] = equal[j] && row[j] == y[i];
                constant[j] = constant[j] && row[j] == first[j];
                any_equal |= equal[j];
                any_constant |= constant[j];
            }
        }
        for (int64_t j = 0; j < w; ++j)
            if (equal[j]) return KVR_DESIGN_Y_IN_X;
        if (*const_col < 0)
            for (int64_t j = 0; j < w; ++j)
                if (constant[j]) {
                    *const_col = j0 + j;
                    break;
                }
    }
    return KVR_DESIGN_OK;
}

void kvr_design_copy(const double *y, const double *X, int64_t n, int64_t k, int64_t lead,
                     double *y_out, double *Z) {
    if (n <= 0) return;
    std::memcpy(y_out, y, static_cast<size_t>(n) * sizeof(double));
    if (k < 0) return;
    if (!lead) {
        if (k > 0) std::memcpy(Z, X, static_cast<size_t>(n * k) * sizeof(double));
        return;
    }
    for (int64_t i = 0; i < n; ++i) {
        double *z = Z + i * (k + 1);
        z[0] = 1.0;
        for (int64_t j = 0; j < k; ++j) z[j + 1] = X[i * k + j];
    }
}

int64_t kvr_key_count(const int64_t *keys, int64_t n, int64_t lo, int64_t span, int64_t *count) {
    int64_t distinct = 0;
    if (span < 1) return n > 0 ? -1 : 0;
    for (int64_t i = 0; i < n; ++i) {
        // unsigned: one comparison catches keys below lo as well as above
        const uint64_t v = static_cast<uint64_t>(keys[i]) - static_cast<uint64_t>(lo);
        if (v >= static_cast<uint64_t>(span)) return -1;
        distinct += count[v] == 0;
        ++count[v];
    }
    return distinct;
}

void kvr_key_groups(const int64_t *keys, int64_t n, int64_t lo, int64_t span, int64_t *count,
                    int64_t *uniques, int64_t *offsets, int64_t *order) {
    int64_t g = 0, at = 0;
    for (int64_t v = 0; v < span; ++v) {
        const int64_t c = count[v];
        if (c == 0) continue;
        uniques[g] = static_cast<int64_t>(static_cast<uint64_t>(lo) + static_cast<uint64_t>(v));
        offsets[g++] = at;
        count[v] = at;
        at += c;
    }
    offsets[g] = at;
    // one pass in row order keeps each key's rows in theirs (a key out of
    // range, which kvr_key_count would have refused, is skipped)
    const uint64_t table = span > 0 ? static_cast<uint64_t>(span) : 0;
    for (int64_t i = 0; i < n; ++i) {
        const uint64_t v = static_cast<uint64_t>(keys[i]) - static_cast<uint64_t>(lo);
        if (v < table) order[count[v]++] = i;
    }
}
