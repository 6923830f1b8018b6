/* Dense real and complex linear algebra, sorting, median and the normal
 * quantile. Row-major packed matrices of double, int64 sizes; a size <= 0
 * means empty. Statuses (LINALG_*) are in kvr_api.h. Only the LU
 * conveniences (kvr_lu_factor, kvr_solve, kvr_inv and their c128_
 * counterparts) allocate.
 *
 * Public API, every declaration. Not called inside the package but kept for
 * native callers, as the families' whole interface: kvr_zero_mat,
 * kvr_sym_inplace, kvr_matmul, kvr_matmul_abt(_plus_c), kvr_matvec(_plus_vec),
 * kvr_vsub, kvr_logdet_from_chol, kvr_chol_inv, the LU conveniences, the
 * complex family and the normal quantile. */
#ifndef KVR_LINALG_H
#define KVR_LINALG_H

#include "kvr_api.h"

KVR_EXTERN_C_BEGIN

/* ---- real matrix primitives ---- */
KVR_API void kvr_zero_mat(double *A, int64_t rows, int64_t cols);
KVR_API void kvr_sym_inplace(double *A, int64_t n);
KVR_API void kvr_matmul(const double *A, const double *B, double *C, int64_t m, int64_t k,
                        int64_t n);
KVR_API void kvr_matmul_atb(const double *A, const double *B, double *C, int64_t m, int64_t p,
                            int64_t q);
KVR_API void kvr_matmul_abt(const double *A, const double *B, double *C, int64_t m, int64_t k,
                            int64_t n);
KVR_API void kvr_matmul_abt_plus_c(const double *A, const double *B, const double *C0, double *C,
                                   int64_t m, int64_t k, int64_t n);
KVR_API void kvr_matvec(const double *A, const double *x, double *y, int64_t m, int64_t n);
KVR_API void kvr_matvec_plus_vec(const double *A, const double *x, const double *c, double *y,
                                 int64_t m, int64_t n);
KVR_API void kvr_vsub(const double *a, const double *b, double *out, int64_t n);
KVR_API double kvr_dot(const double *a, const double *b, int64_t n);
KVR_API void kvr_gram(const double *X, double *G, int64_t n, int64_t p);
KVR_API void kvr_gram_rhs(const double *X, const double *y, double *g, int64_t n, int64_t p);

/* ---- Cholesky family ---- */
KVR_API int kvr_chol(const double *A, double *L, int64_t n, double jitter);
KVR_API double kvr_logdet_from_chol(const double *L, int64_t n);
KVR_API void kvr_forward_subst(const double *L, const double *b, double *y, int64_t n);
KVR_API void kvr_backward_subst_chol_t(const double *L, const double *y, double *x, int64_t n);
KVR_API int kvr_chol_solve(const double *A, const double *b, double *x, double *L, int64_t n);
KVR_API int kvr_chol_inv(const double *A, double *Ainv, double *L, int64_t n);
/* Reciprocal of an estimate of the 1-norm condition number of
 * D^-1/2 A D^-1/2 (D = diag(A)) from the factor L of a successful kvr_chol:
 * in (0, 1], 1 for n <= 0, NaN when A or L holds NaN. The estimate is never
 * below the true reciprocal and rarely more than a few times above it.
 * work: 2n doubles of scratch. O(n^2). */
KVR_API double kvr_chol_rcond(const double *A, const double *L, int64_t n, double *work);

/* ---- real LU family ---- */
typedef struct kvr_lu_factor_t {
    double *lu;
    int64_t *piv;
    int64_t n;
    int64_t status;
} kvr_lu_factor_t;

KVR_API int kvr_lu_factor_inplace(double *A, int64_t *piv, int64_t n);
KVR_API kvr_lu_factor_t kvr_lu_factor(const double *A, int64_t n);
KVR_API void kvr_lu_free(kvr_lu_factor_t *f);
KVR_API void kvr_lu_solve(const double *LU, const int64_t *piv, const double *B, double *X,
                          int64_t n, int64_t m);
KVR_API int kvr_solve(const double *A, const double *B, int64_t n, int64_t m, double *X);
KVR_API int kvr_inv(const double *A, int64_t n, double *Ainv);

/* ---- complex LU family ---- */
/* layout-compatible with C99 double _Complex and std::complex<double> */
typedef struct c128_t {
    double re;
    double im;
} c128_t;

typedef struct c128_lu_factor_t {
    c128_t *lu;
    int64_t *piv;
    int64_t n;
    int64_t status;
} c128_lu_factor_t;

KVR_API void c128_matmul(const c128_t *A, const c128_t *B, c128_t *C, int64_t m, int64_t k,
                         int64_t n);
KVR_API int c128_lu_factor_inplace(c128_t *A, int64_t *piv, int64_t n);
KVR_API c128_lu_factor_t c128_lu_factor(const c128_t *A, int64_t n);
KVR_API void c128_lu_free(c128_lu_factor_t *f);
KVR_API void c128_lu_solve(const c128_t *LU, const int64_t *piv, const c128_t *B, c128_t *X,
                           int64_t n, int64_t m);
KVR_API int c128_solve(const c128_t *A, const c128_t *B, int64_t n, int64_t m, c128_t *X);
KVR_API int c128_inv(const c128_t *A, int64_t n, c128_t *Ainv);

/* ---- order statistics and normal quantile ---- */
KVR_API int kvr_cmp_f64(const void *a, const void *b);
KVR_API void kvr_sort_f64(double *a, int64_t n);
KVR_API double kvr_median_f64(double *a, int64_t n);
KVR_API double kvr_ndtri_as241(double p);
KVR_API void kvr_ndtri_as241_into(const double *p, int64_t n, double *out);
KVR_API double kvr_erfinv_from_as241(double x);

KVR_EXTERN_C_END

#endif
