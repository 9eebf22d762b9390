// pyco/traceback.hpp - traceback entries for the C++ functions of a module.
//
// An exception that leaves a module's C++ code names the function it came
// from in its traceback, the way a function compiled by Cython does: the
// entry is a frame made with the public C API (PyCode_NewEmpty, PyFrame_New)
// and pushed onto the exception's traceback with PyTraceBack_Here, so it
// comes before (outside of) the entries the exception already has, the
// frames of the Python code that raised it included.
//
//   File "<the module's __file__>", line 0, in custom_event.delete
//
// There is no source line to show: line 0 says so.
//
// Who adds entries. Nothing here costs anything on a path that raises
// nothing; an entry is made only where an exception leaves a function:
//   * a plain function or method of a method table (method.hpp): its body
//     runs under guard_function(), whose catch adds the entry;
//   * a coroutine function (coroutine_function.cpp): an error while binding
//     its arguments, before the coroutine exists, and an exception that ends
//     its body (coroutine.cpp, also for a body awaited with inline_await);
//   * print_exception(e, where): a failure the module catches and prints
//     gets the entry of the function that prints it.
//
// Sites. A site is one function name of one module: its name, the module's
// file, and its code object, made the first time an exception passes and
// kept from then on. Each module's copy of pyco keeps its own table of
// sites, one per name, filled when the module binds its functions after its
// init has named the module (set_trace_module). A copy that was never given
// a module makes no sites, and its functions get no entries.
//
// Sites live as long as the process (never freed): a coroutine function
// made by one module keeps a pointer to its site, and the driver of the
// coroutine (the owner module's copy, see api.hpp) reads it there.
#pragma once
#include <string>

#include "ref.hpp"

namespace pyco {

// One function of one module, as tracebacks name it. Plain data, read by
// every copy of pyco: its layout is part of the bridge's interface version.
struct TraceSite {
  std::string name;    // "custom_event.delete", "event_config"
  std::string file;    // the module's file
  PyObject* globals;   // the frames' globals: {"__name__": module name}
  PyObject* code;      // made at the first exception, kept from then on
};

// For a module's init, before it binds anything: the module whose file
// and name this copy's sites carry (its __file__; the module's name when it
// has none). 0, or -1 with a Python error set.
int set_trace_module(PyObject* module) noexcept;

// This copy's site for `name`, made on first request; null when this copy
// has no module (or no memory left).
TraceSite* trace_site(const char* name) noexcept;

// The site of a plain function of a method table, which add_methods or
// add_functions registered under its address; null if none was.
TraceSite* function_site(PyCFunctionFastWithKeywords fn) noexcept;
void register_function(PyCFunctionFastWithKeywords fn, const char* name);

// Add the entry of `site` to the exception being raised (the error
// indicator). Does nothing without a site or an exception; if the entry
// cannot be made, the exception stays as it was.
void add_traceback(TraceSite* site);

// The same for the exception `exc` (a reference, given and returned); the
// error indicator is left as it was.
PyObject* add_traceback(PyObject* exc, TraceSite* site);

// Wrap the body of a plain function `fn` (a CPython function of a method
// table, see method.hpp): like guard(), and an exception leaving it gets
// the entry of the function's site.
template <class F>
inline PyObject* guard_function(PyCFunctionFastWithKeywords fn, F&& f) {
  try {
    return f();
  } catch (...) {
    set_error_from_cpp();  // rethrows a forced unwind
    add_traceback(function_site(fn));
    return nullptr;
  }
}

}  // namespace pyco
