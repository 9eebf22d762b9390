// common/shell.hpp - the classes' shells. nanobind makes each class's type:
// instances that carry a C++ part, an instance __dict__, the C++ part found
// from a Python object by a checked cast, and the leak report at exit. Every
// method, `__init__` included, is set from the class's method table
// (pyco/method.hpp); `__init__` builds the C++ part with construct().
#pragma once
#include <nanobind/nanobind.h>

#include <new>
#include <span>

#include "pyco/method.hpp"
#include "pyco/ref.hpp"

namespace velkor_common {

// The placeholder of tp_init that every shell is made with. A type given a tp_init
// of its own is called the standard way (tp_new, then tp_init) instead of
// through nanobind's constructor dispatch; setting `__init__` from the
// method table then makes tp_init call that function.
inline int init_from_table(PyObject* self, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "%s has no __init__", Py_TYPE(self)->tp_name);
  return -1;
}

// Bind class T of module `m` as `name`: its shell, with `doc`, then every
// method of `methods` (pyco::add_methods). `finalize`, when given, is the
// type's tp_finalize. Returns the class (the module holds it).
template <class T>
PyObject* bind_class(nanobind::module_& m, const char* name, const char* doc,
                     std::span<const pyco::Method> methods, destructor finalize = nullptr) {
  PyType_Slot slots[] = {{Py_tp_init, reinterpret_cast<void*>(init_from_table)},
                         {finalize ? Py_tp_finalize : 0, reinterpret_cast<void*>(finalize)},
                         {0, nullptr}};
  auto cls = nanobind::class_<T>(m, name, nanobind::dynamic_attr(), nanobind::type_slots(slots),
                                 doc);
  const char* module = PyModule_GetName(m.ptr());
  if (!module) pyco::throw_current();
  pyco::add_methods(cls.ptr(), module, methods);
  return cls.ptr();
}

// The C++ part of `obj` when it is a ready instance of a class bound for T
// (or of a subclass), else null.
template <class T>
T* part_of(PyObject* obj) {
  T* part = nullptr;
  return nanobind::try_cast<T*>(nanobind::handle(obj), part, false) ? part : nullptr;
}

// Build the C++ part of `self` (a fresh instance of a class bound for T) and
// mark the instance ready, so that casts find it from now on. A second call
// of __init__ on the same object raises TypeError.
template <class T>
T* construct(PyObject* self) {
  nanobind::handle h(self);
  if (nanobind::inst_ready(h)) {
    PyErr_Format(PyExc_TypeError, "%s object is initialised already", Py_TYPE(self)->tp_name);
    pyco::throw_current();
  }
  T* part = nanobind::inst_ptr<T>(h);
  new (part) T();
  nanobind::inst_mark_ready(h);
  return part;
}

}  // namespace velkor_common
