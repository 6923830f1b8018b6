// Internal: the recursion's work shared between tests of the battery.
#ifndef KVR_DIAG_STABILITY_DETAIL_HPP
#define KVR_DIAG_STABILITY_DETAIL_HPP

#include <cstdint>

// C linkage, not exported (no KVR_API): the archive refers to no C++ names.
// Hidden explicitly: a dispatched (KVR_MULTIVERSION) function is an ifunc,
// which the hidden default does not reach.
extern "C" {

// Doubles of the tape that a batch with one design keeps: the recursion's
// rotations, which depend on X alone, and the CUSUM boundaries.
__attribute__((visibility("hidden"))) int64_t kvr_cusum_tape_len(int64_t n, int64_t k);

// CUSUM and CUSUM of squares from one recursion, with the bits and statuses
// of kvr_cusum_stat and kvr_cusumsq_stat; arena: kvr_cusum_arena_size(n, k).
// size > 0: the fit's |y| + sum_j |x_j||beta_j| (the exact-fit rule's), known
// to the caller; else found from the recursion. record != 0: the recursion
// also writes the tape (kvr_cusum_tape_len(n, k) doubles); else it is
// replayed from the tape on y, per step only the response's rotations. A
// null tape: the recursion alone, nothing recorded (the same bits).
__attribute__((visibility("hidden"))) int kvr_cusum_pair_taped(const double *y, const double *X,
                                                               int64_t n, int64_t k, double *arena,
                                                               double size, int64_t record,
                                                               double *tape, double *cusum,
                                                               double *cusumsq);
}

#endif
