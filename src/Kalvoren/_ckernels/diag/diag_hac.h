/* Kernels for lag windows, bandwidths, HAC covariance, Wald tests and vech helpers. Included by diag.h. */
#ifndef KVR_DIAG_HAC_H
#define KVR_DIAG_HAC_H

#include "diag.h"

KVR_EXTERN_C_BEGIN

KVR_EXTERN_C_END

#endif
