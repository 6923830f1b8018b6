/* Kernels for autocorrelation, Ljung-Box and Jarque-Bera. Included by diag.h. */
#ifndef KVR_DIAG_SERIES_H
#define KVR_DIAG_SERIES_H

#include "diag.h"

KVR_EXTERN_C_BEGIN

KVR_EXTERN_C_END

#endif
