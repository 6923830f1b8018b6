/* Kernels for recursive residuals, CUSUM and CUSUM of squares. Included by diag.h. */
#ifndef KVR_DIAG_STABILITY_H
#define KVR_DIAG_STABILITY_H

#include "diag.h"

KVR_EXTERN_C_BEGIN

KVR_EXTERN_C_END

#endif
