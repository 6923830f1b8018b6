/* Residual-diagnostic kernels: every kvr_* statistic kernel, the status codes
 * and the arena-size record (kvr_api.h), and the linear algebra (linalg.h).
 * Kernels take raw row-major double arrays and int64 sizes, take all scratch
 * memory from a caller-supplied arena, never allocate and report failures
 * only through their status. Usable from C.
 *
 * One header per family; this one includes them all. */
#ifndef KVR_DIAG_H
#define KVR_DIAG_H

#include "kvr_api.h"
#include "linalg.h"

#include "diag_battery.h"
#include "diag_colstats.h"
#include "diag_design.h"
#include "diag_hac.h"
#include "diag_jbtables.h"
#include "diag_regression.h"
#include "diag_series.h"
#include "diag_stability.h"
#include "diag_vech.h"
#include "diag_wald.h"

#endif
