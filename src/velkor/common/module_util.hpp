// common/module_util.hpp - helpers for module init functions.
#pragma once
#include <nanobind/nanobind.h>

#include "common/names.hpp"
#include "pyco/coro.hpp"
#include "pyco/ref.hpp"
#include "pyco/traceback.hpp"
#include "pyco/util.hpp"

namespace velkor_common {

using pyco::check;
using pyco::check_int;
using pyco::Ref;

// `from <source> import *` into `target`: every name of source.__all__ if it
// has one, else every name of its namespace that does not start with '_'.
inline void star_import(PyObject* target, PyObject* source) {
  PyObject* all_raw = nullptr;
  check_int(PyObject_GetOptionalAttrString(source, "__all__", &all_raw));
  Ref all = Ref::steal(all_raw);
  Ref dict = check(PyObject_GenericGetDict(source, nullptr));
  Ref names = all ? check(PySequence_List(all.get())) : check(PyDict_Keys(dict.get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
    PyObject* name = PyList_GET_ITEM(names.get(), i);
    if (!all && PyUnicode_READ_CHAR(name, 0) == '_') continue;
    Ref value = check(PyObject_GetAttr(source, name));
    check_int(PyObject_SetAttr(target, name, value.get()));
  }
}

// The stage modules' common head: a star import of Velkor.Velkor_state, then
// the names Velkor_state (that module) and Velkor (the engine module).
inline void bind_stage_head(PyObject* module) {
  Ref state = check(PyImport_ImportModule("Velkor.Velkor_state"));
  star_import(module, state.get());
  check_int(PyModule_AddObjectRef(module, "Velkor_state", state.get()));
  Ref engine = check(PyImport_ImportModule("Velkor.Velkor"));
  check_int(PyModule_AddObjectRef(module, "Velkor", engine.get()));
}

// The init of a stage module: its file for the tracebacks of its functions,
// the bridge's types from the engine module, this module's copies of the
// support libraries, the common head, then the stage's own binding.
inline void init_stage_module(nanobind::module_& m, void (*bind)(nanobind::module_&)) {
  if (pyco::set_trace_module(m.ptr()) < 0 || pyco::import_api("velkor.velkor") < 0)
    throw nanobind::python_error();
  try {
    pyco::init_util();
    init_names();
    bind_stage_head(m.ptr());
    bind(m);
  } catch (const pyco::BaseException& e) {
    e.restore();
    throw nanobind::python_error();
  }
}

}  // namespace velkor_common
