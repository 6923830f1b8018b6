/* Kernels for Breusch-Godfrey, Breusch-Pagan and Chow. Included by diag.h. */
#ifndef KVR_DIAG_REGRESSION_H
#define KVR_DIAG_REGRESSION_H

#include "diag.h"

KVR_EXTERN_C_BEGIN

KVR_EXTERN_C_END

#endif
