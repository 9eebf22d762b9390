// test_plain_module.cpp - _pyco_test_plain, a test-only module built from the
// bridge compiled without its counters, the way every module of a normal
// build is compiled. Built beside _pyco_test in the test build, whose other
// modules all have the counters: importing it takes nothing from the types'
// owner, and join() then shows that a copy of the bridge refuses an owner
// built another way.
#include <nanobind/nanobind.h>

#include "pyco/api.hpp"

#ifdef PYCO_STATS
#error "_pyco_test_plain stands for a normal build: build it without PYCO_STATS"
#endif

namespace {

// features() -> tuple: what this module's copy of pyco was compiled with.
PyObject* features(PyObject*, PyObject*) {
  return pyco::kFeatures & pyco::kFeatureStats ? Py_BuildValue("(s)", "stats") : PyTuple_New(0);
}

// join(owner): take the bridge's types from the module `owner`, as the init
// of any module that uses the bridge does.
PyObject* join(PyObject*, PyObject* owner) {
  const char* name = PyUnicode_AsUTF8(owner);
  if (!name || pyco::import_api(name) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef functions[] = {
    {"features", features, METH_NOARGS,
     "features() -> tuple: the bridge's compiled-in extras (empty here)."},
    {"join", join, METH_O,
     "join(owner): take the bridge's types from the module named owner; ImportError if "
     "its build differs from this one."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

NB_MODULE(_pyco_test_plain, m) {
  m.doc() = "Test-only: a copy of the coroutine bridge built without its counters.";
  if (PyModule_AddFunctions(m.ptr(), functions) < 0) throw nanobind::python_error();
}
