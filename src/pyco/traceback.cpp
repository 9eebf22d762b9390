// pyco/traceback.cpp - see traceback.hpp.
#include "traceback.hpp"

#include <frameobject.h>

#include <new>
#include <unordered_map>

namespace pyco {
namespace {

// This copy's module and its sites. Made at the module's init and never
// freed (like the sites themselves); used with the GIL held only.
struct TraceModule {
  std::string file;
  PyObject* globals = nullptr;
  std::unordered_map<std::string, TraceSite*> sites;                     // by name
  std::unordered_map<PyCFunctionFastWithKeywords, TraceSite*> functions;  // by address
};
TraceModule* g_module = nullptr;

// The site's code object, made on first use. Null with an error set if it
// cannot be made.
PyObject* site_code(TraceSite* site) {
  if (site->code) return site->code;
  PyObject* code = reinterpret_cast<PyObject*>(
      PyCode_NewEmpty(site->file.c_str(), site->name.c_str(), 0));
  if (!code) return nullptr;
  // Making it may have let another thread in (a collection running a
  // finalizer): the first one made is the one kept.
  if (site->code)
    Py_DECREF(code);
  else
    site->code = code;
  return site->code;
}

}  // namespace

int set_trace_module(PyObject* module) noexcept {
  try {
    Ref name = check(PyModule_GetNameObject(module));
    Ref file = Ref::steal(PyModule_GetFilenameObject(module));
    if (!file) {
      PyErr_Clear();
      file = name;
    }
    const char* text = PyUnicode_AsUTF8(file.get());
    if (!text) throw_current();
    Ref globals = check(PyDict_New());
    check_int(PyDict_SetItemString(globals.get(), "__name__", name.get()));
    auto* m = new TraceModule;
    m->file = text;
    m->globals = globals.release();
    g_module = m;
    return 0;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  } catch (const BaseException& e) {
    e.restore();
    return -1;
  }
}

TraceSite* trace_site(const char* name) noexcept {
  if (!g_module || !name) return nullptr;
  try {
    auto [it, made] = g_module->sites.try_emplace(name, nullptr);
    if (made) it->second = new TraceSite{name, g_module->file, g_module->globals, nullptr};
    return it->second;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

TraceSite* function_site(PyCFunctionFastWithKeywords fn) noexcept {
  if (!g_module) return nullptr;
  auto it = g_module->functions.find(fn);
  return it == g_module->functions.end() ? nullptr : it->second;
}

void register_function(PyCFunctionFastWithKeywords fn, const char* name) {
  if (!g_module) return;
  TraceSite* site = trace_site(name);
  if (!site) throw std::bad_alloc();
  g_module->functions.try_emplace(fn, site);
}

void add_traceback(TraceSite* site) {
  if (!site) return;
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
  PyObject* code = site_code(site);
  PyFrameObject* frame =
      code ? PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                         site->globals, nullptr)
           : nullptr;
  if (!frame) {  // no memory for it: the exception goes on without the entry
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return;
  }
  PyErr_SetRaisedException(Py_NewRef(exc));
  if (PyTraceBack_Here(frame) < 0) {
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
  } else {
    Py_DECREF(exc);
  }
  Py_DECREF(frame);
}

PyObject* add_traceback(PyObject* exc, TraceSite* site) {
  if (!site || !exc) return exc;
  PyObject* pending = PyErr_GetRaisedException();
  PyErr_SetRaisedException(exc);
  add_traceback(site);
  exc = PyErr_GetRaisedException();
  PyErr_SetRaisedException(pending);
  return exc;
}

}  // namespace pyco
