/* What every kernel header shares (C-compatible): export and linkage macros,
 * the status codes and the arena-size record. */
#ifndef KVR_API_H
#define KVR_API_H

#include <stdint.h>

#if defined(_WIN32)
#  define KVR_API __declspec(dllexport)
#else
#  define KVR_API __attribute__((visibility("default")))
#endif

/* Internal entry points with C linkage that the library does not export. */
#if defined(__GNUC__)
#  define KVR_HIDDEN __attribute__((visibility("hidden")))
#else
#  define KVR_HIDDEN
#endif

#ifdef __cplusplus
#  define KVR_EXTERN_C_BEGIN extern "C" {
#  define KVR_EXTERN_C_END }
#else
#  define KVR_EXTERN_C_BEGIN
#  define KVR_EXTERN_C_END
#endif

/* Statuses of the diagnostic kernels. */
#define DIAG_OK 0
#define DIAG_FALLBACK 1        /* rank-deficient, or too ill-conditioned for the normal equations */
#define DIAG_BAD_SHAPE (-1001) /* target matrix not symmetric within tolerance */
#define DIAG_SINGULAR (-1002)  /* Wald covariance exactly singular */
#define DIAG_UDEF_VARIANCE (-1003)
#define DIAG_BAD_LAG (-1004)
#define DIAG_TOO_SHORT (-1005)
#define DIAG_BAD_ARG (-1007)

/* Statuses between the linear algebra and its callers. */
#define LINALG_NOT_PD (-101)
#define LINALG_BAD_ARG (-102)
#define LINALG_SINGULAR (-103)

/* What every kvr_<family>_arena_size returns: the arena length in doubles and
 * the number of int64 pivot entries the kernel also needs from the caller.
 *
 * One convention for all of them: a negative size argument counts as 0 (a
 * function says so where a kernel rejects it before touching the arena
 * instead), and a field whose exact value does not fit in int64 is INT64_MAX.
 * No caller can allocate that much, so a saturated length fails the caller's
 * allocation rather than wrapping to a short arena. */
typedef struct kvr_arena_size_t {
    int64_t arena_len;
    int64_t piv_len;
} kvr_arena_size_t;

#endif
