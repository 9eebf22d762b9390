// pyco/deepcopy.cpp - placeholder: plain copy.deepcopy.
#include "deepcopy.hpp"

namespace pyco {

Ref deepcopy(PyObject* obj, PyObject* memo) {
  static PyObject* fn = [] {
    PyObject* copy = PyImport_ImportModule("copy");
    if (!copy) throw_current();
    PyObject* f = PyObject_GetAttrString(copy, "deepcopy");
    Py_DECREF(copy);
    if (!f) throw_current();
    return f;
  }();
  if (memo) return check(PyObject_CallFunctionObjArgs(fn, obj, memo, nullptr));
  return check(PyObject_CallOneArg(fn, obj));
}

}  // namespace pyco
