// Internal: int64 size arithmetic for lengths computed from caller integers.
#ifndef KVR_SIZE_HPP
#define KVR_SIZE_HPP

#include <cstdint>

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

}  // namespace kvr

#endif
