// pyco/print_exception.cpp - printing an exception caught in C++ the way
// traceback.print_exc() prints one in an except block.
#include "coro.hpp"

namespace pyco {
namespace {
PyObject* g_print_exc;  // traceback.print_exception, looked up at first use
}  // namespace

void print_exception(const BaseException& e) {
  if (!g_print_exc) {
    PyObject* tb = PyImport_ImportModule("traceback");
    if (tb) {
      g_print_exc = PyObject_GetAttrString(tb, "print_exception");
      Py_DECREF(tb);
    }
  }
  PyObject* r = g_print_exc ? PyObject_CallOneArg(g_print_exc, e.value()) : nullptr;
  if (!r) PyErr_WriteUnraisable(e.value());
  Py_XDECREF(r);
}

}  // namespace pyco
