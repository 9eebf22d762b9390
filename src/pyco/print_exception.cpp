// pyco/print_exception.cpp - printing an exception caught in C++ the way
// traceback.print_exc() prints one in an except block.
#include "coro.hpp"
#include "traceback.hpp"

namespace pyco {
namespace {
PyObject* g_print_exc;  // traceback.print_exception, looked up at first use
}  // namespace

void print_exception(const BaseException& e, const char* where) {
  // In an except block, print_exc() shows the traceback from the function
  // that caught the exception on: its entry goes first.
  Py_DECREF(add_traceback(Py_NewRef(e.value()), trace_site(where)));
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
