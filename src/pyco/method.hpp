// pyco/method.hpp - methods bound as plain CPython functions.
//
// Why not nanobind's def(): its dispatcher catches every C++ exception in a
// noexcept function. At interpreter exit CPython ends a daemon thread that
// takes the GIL back with pthread_exit, whose forced unwind must pass
// through every C++ frame on the way (see ref.hpp); inside nanobind's
// dispatcher it ends the process instead. Any method that can run on a
// runner thread and call back into Python (which may hand the GIL over) is
// therefore bound with add_method: a METH_FASTCALL | METH_KEYWORDS function
// whose body runs under guard(), which lets the forced unwind through.
//
// The doc string starts with the signature line, "name($self, a, b=None)"
// followed by "\n--\n\n", which CPython turns into __text_signature__.
#pragma once
#include "coro.hpp"

namespace pyco {

// A method body: `self` and the parsed parameters (null = not given).
// Returns the result, or a null Ref for None.
using MethodBody = Ref (*)(PyObject* self, Ref* params);

// Set `name` on `cls` as a method descriptor calling `fn`.
inline void add_method(PyObject* cls, const char* name, PyCFunctionFastWithKeywords fn,
                       const char* doc) {
  // Method definitions must outlive the type: made once per method, never freed.
  auto* def = new PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)),
                              METH_FASTCALL | METH_KEYWORDS, doc};
  Ref descr = check(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), def));
  check_int(PyObject_SetAttrString(cls, name, descr.get()));
}

}  // namespace pyco

// Defines `<body>_method`, the CPython function of a method whose body is
// `Ref body(PyObject* self, Ref* params)`: parses the arguments by the
// parameter names given (the first `required` of them required), runs the
// body under guard().
#define PYCO_METHOD(body, pyname, required, ...)                                        \
  PyObject* body##_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,      \
                          PyObject* kwnames) {                                          \
    return ::pyco::guard([&]() -> PyObject* {                                           \
      ::pyco::Ref params[8];                                                            \
      ::pyco::parse_args(pyname, args, PyVectorcall_NARGS(nargs), kwnames, {__VA_ARGS__}, \
                         required, params);                                             \
      ::pyco::Ref result = body(self, params);                                          \
      return result ? result.release() : Py_NewRef(Py_None);                            \
    });                                                                                 \
  }
