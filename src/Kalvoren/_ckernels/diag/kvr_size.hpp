// Internal: int64 size arithmetic for lengths computed from caller integers,
// and the arena-size record's overflow convention (kvr_api.h) in one place.
#ifndef KVR_SIZE_HPP
#define KVR_SIZE_HPP

#include <cstdint>

#include "kvr_api.h"

namespace kvr {

// An int64 expression that remembers an overflow, so a size formula reads as
// written and is checked once, where it is used.
struct Checked {
    int64_t v;
    bool ok = true;
    Checked(int64_t x) : v(x) {}  // implicit: mixes with plain integers
    friend Checked operator+(Checked a, Checked b) {
        Checked r(0);
        r.ok = a.ok && b.ok && !__builtin_add_overflow(a.v, b.v, &r.v);
        return r;
    }
    friend Checked operator*(Checked a, Checked b) {
        Checked r(0);
        r.ok = a.ok && b.ok && !__builtin_mul_overflow(a.v, b.v, &r.v);
        return r;
    }
    // The value, or INT64_MAX after an overflow: an arena length no caller can
    // allocate, so a kernel is never handed a short arena.
    int64_t saturated() const { return ok ? v : INT64_MAX; }
};

// A size argument as the arena-size functions read it: negative counts as 0.
inline int64_t size_arg(int64_t x) { return x < 0 ? 0 : x; }

// The record of a length and a pivot count, each saturated on its own.
inline kvr_arena_size_t arena_record(Checked len, Checked piv = 0) {
    return kvr_arena_size_t{len.saturated(), piv.saturated()};
}

// The arena length of a record as a checked size (INT64_MAX: it overflowed).
inline Checked arena_len(kvr_arena_size_t r) {
    Checked c(r.arena_len);
    c.ok = r.arena_len != INT64_MAX;
    return c;
}

}  // namespace kvr

#endif
