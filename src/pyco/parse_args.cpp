// pyco/parse_args.cpp - argument binding for the C++ side of coroutine
// functions and methods (see parse_args in coro.hpp).
#include "coro.hpp"

namespace pyco {

void parse_args(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, std::initializer_list<const char*> names,
                int required, Ref* out, Ref* varkw) {
  const Py_ssize_t n = static_cast<Py_ssize_t>(names.size());
  if (nargs > n) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional arguments (%zd given)",
                 fname, n, nargs);
    throw_current();
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = Ref::borrow(args[i]);
  if (kwnames) {
    const Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nk; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      PyObject* val = args[nargs + k];
      Py_ssize_t i = 0;
      for (const char* nm : names) {
        if (PyUnicode_EqualToUTF8(key, nm)) break;
        ++i;
      }
      if (i < n) {
        if (out[i]) {
          PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", fname, key);
          throw_current();
        }
        out[i] = Ref::borrow(val);
      } else if (varkw) {
        if (!*varkw) *varkw = check(PyDict_New());
        check_int(PyDict_SetItem(varkw->get(), key, val));
      } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
        throw_current();
      }
    }
  }
  int i = 0;
  for (const char* nm : names) {
    if (i >= required) break;
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", fname, nm);
      throw_current();
    }
    ++i;
  }
}

}  // namespace pyco
