// The one-series finish of diagnose's common case, for _batch: every chosen
// test native and computed, so each needs its form, p-value and result
// object and nothing else. The plan holds what one design shape fixes.
#ifndef KVR_BATCH_FINISH_HPP
#define KVR_BATCH_FINISH_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kvr_finish {

PyObject *finish_plan(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *finish_one(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

extern const char kPlanDoc[];
extern const char kOneDoc[];

}  // namespace kvr_finish

#endif
