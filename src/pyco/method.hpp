// pyco/method.hpp - a class's methods, declared in one table and set on the
// class by one call.
//
// Every method, `__init__` included, is a plain CPython function: a method
// descriptor for a plain method, a C++ coroutine function (coro.hpp) for a
// coroutine method. Why not nanobind's def(): its dispatcher catches every
// C++ exception in a noexcept function. At interpreter exit CPython ends a
// daemon thread that takes the GIL back with pthread_exit, whose forced
// unwind must pass through every C++ frame on the way (see ref.hpp); inside
// nanobind's dispatcher it ends the process instead. Methods may run on any
// thread (a step may create a runner or wire tasks), so none goes through
// that dispatcher: a plain method's body runs under guard_function(), which
// lets the forced unwind through.
//
// Tracebacks. Every row's Python-visible name, qualified by the class for a
// method ("custom_event.delete"), names the function in the traceback of an
// exception that leaves it (traceback.hpp): add_methods and add_functions
// register a plain row's function under that name, and its guard_function
// adds the entry; a coroutine row's function carries its own. A plain row's
// function written without PYCO_METHOD runs its body under
// guard_function(<itself>, ...) as well.
//
// A doc string starts with the signature line, "name($self, a, b=None)"
// followed by "\n--\n\n", which CPython turns into __text_signature__.
//
//   PYCO_METHOD(runner_stop, "stop", 0)               // Ref runner_stop(PyObject*, Ref*)
//   const pyco::Method kRunnerMethods[] = {
//       pyco::plain("stop", runner_stop_method, "stop($self)\n--\n\n..."),
//       pyco::coroutine("cancel_task", cancel_task_impl, "cancel_task($self, name)\n--\n\n..."),
//   };
//   pyco::add_methods(cls, "velkor.velkor", kRunnerMethods);
#pragma once
#include <cstring>
#include <span>
#include <string>

#include "coro.hpp"
#include "traceback.hpp"

namespace pyco {

// A method body: `self` and the parsed parameters (null = not given).
// Returns the result, or a null Ref for None.
using MethodBody = Ref (*)(PyObject* self, Ref* params);

// One row of a class's method table: a plain method (`plain` set) or a
// coroutine method (`coroutine` set).
struct Method {
  const char* name;
  PyCFunctionFastWithKeywords plain;
  CoroImpl coroutine;
  const char* doc;
};

constexpr Method plain(const char* name, PyCFunctionFastWithKeywords fn, const char* doc) {
  return {name, fn, nullptr, doc};
}
constexpr Method coroutine(const char* name, CoroImpl impl, const char* doc) {
  return {name, nullptr, impl, doc};
}

// For a plain function that takes *args or **kwargs: the positionals
// args[0:n] as a tuple, and the keywords (their values follow the
// positionals) as a dict, null when there are none.
inline Ref positional_tuple(PyObject* const* args, Py_ssize_t n) {
  Ref t = check(PyTuple_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(args[i]));
  return t;
}
inline Ref keyword_dict(PyObject* const* values, PyObject* kwnames) {
  if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) return Ref();
  Ref d = check(PyDict_New());
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
    check_int(PyDict_SetItem(d.get(), PyTuple_GET_ITEM(kwnames, i), values[i]));
  return d;
}

// The CPython definition of a plain row. Definitions must outlive what is
// made from them: made once per row, never freed.
inline PyMethodDef* method_def(const Method& m) {
  return new PyMethodDef{m.name,
                         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(m.plain)),
                         METH_FASTCALL | METH_KEYWORDS, m.doc};
}

// inspect.signature(cls) asks __init__ for the class's signature when the
// class does not state it, and a method descriptor cannot answer for the
// class itself: the class states it, as the text `__init__`'s signature
// line gives without self, in __signature__ (which inspect reads as text).
//
// A subclass inherits that text; one that defines an __init__ of its own
// states None instead (__init_subclass__ below), so that inspect reads its
// __init__.
inline PyObject* init_subclass(PyObject* cls, PyObject* const*, Py_ssize_t nargs,
                               PyObject* kwnames) {
  if (PyVectorcall_NARGS(nargs) != 0 || (kwnames && PyTuple_GET_SIZE(kwnames) > 0)) {
    PyErr_Format(PyExc_TypeError, "%s.__init_subclass__() takes no arguments",
                 reinterpret_cast<PyTypeObject*>(cls)->tp_name);
    return nullptr;
  }
  PyObject* own = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
  const int has_init = own ? PyDict_ContainsString(own, "__init__") : 0;
  if (has_init < 0) return nullptr;
  if (has_init && PyObject_SetAttrString(cls, "__signature__", Py_None) < 0) return nullptr;
  Py_RETURN_NONE;
}
inline PyMethodDef init_subclass_def = {
    "__init_subclass__",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(init_subclass)),
    METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
    "__init_subclass__($cls, /)\n--\n\nA subclass with an __init__ of its own states no "
    "signature of its own."};

inline void set_class_signature(PyObject* cls, const char* doc) {
  const char* start = doc ? std::strchr(doc, '(') : nullptr;
  const char* end = doc ? std::strstr(doc, ")\n--\n\n") : nullptr;
  if (!start || !end || end < start) return;
  std::string params(start + 1, end);
  for (const char* head : {"$self", ",", " /", ",", " "})
    if (params.starts_with(head)) params.erase(0, std::strlen(head));
  const std::string text = "(" + params + ")";
  Ref sig = check(PyUnicode_FromString(text.c_str()));
  check_int(PyObject_SetAttrString(cls, "__signature__", sig.get()));
  Ref hook = check(PyDescr_NewClassMethod(reinterpret_cast<PyTypeObject*>(cls), &init_subclass_def));
  check_int(PyObject_SetAttrString(cls, "__init_subclass__", hook.get()));
}

// Set every method of `table` on `cls`, in table order. Coroutine methods
// get the qualified name "<class>.<name>" and `module` as their module.
inline void add_methods(PyObject* cls, const char* module, std::span<const Method> table) {
  const char* class_name = reinterpret_cast<PyTypeObject*>(cls)->tp_name;
  if (const char* dot = std::strrchr(class_name, '.')) class_name = dot + 1;
  for (const Method& m : table) {
    Ref value;
    const std::string qualname = std::string(class_name) + "." + m.name;
    if (m.plain) {
      register_function(m.plain, qualname.c_str());
      value = check(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), method_def(m)));
    } else {
      value = check(new_function(m.coroutine, m.name, qualname.c_str(), module, m.doc));
    }
    check_int(PyObject_SetAttrString(cls, m.name, value.get()));
    if (m.plain && std::strcmp(m.name, "__init__") == 0) set_class_signature(cls, m.doc);
  }
}

// The same for a module's functions: plain ones become builtin functions of
// `module`, coroutine ones coroutine functions named after themselves.
inline void add_functions(PyObject* module, std::span<const Method> table) {
  Ref module_name = check(PyModule_GetNameObject(module));
  const char* name_text = PyUnicode_AsUTF8(module_name.get());
  if (!name_text) throw_current();
  for (const Method& m : table) {
    Ref value;
    if (m.plain) {
      register_function(m.plain, m.name);
      value = check(PyCMethod_New(method_def(m), nullptr, module_name.get(), nullptr));
    } else {
      value = check(new_function(m.coroutine, m.name, m.name, name_text, m.doc));
    }
    check_int(PyModule_AddObjectRef(module, m.name, value.get()));
  }
}

}  // namespace pyco

// Defines `<body>_method`, the CPython function of a method whose body is
// `Ref body(PyObject* self, Ref* params)`: parses the arguments by the
// parameter names given (the first `required` of them required), runs the
// body under guard_function(). For a module function `self` is the module
// (null).
#define PYCO_METHOD(body, pyname, required, ...)                                        \
  PyObject* body##_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,      \
                          PyObject* kwnames) {                                          \
    return ::pyco::guard_function(body##_method, [&]() -> PyObject* {                   \
      ::pyco::Ref params[8];                                                            \
      ::pyco::parse_args(pyname, args, PyVectorcall_NARGS(nargs), kwnames, {__VA_ARGS__}, \
                         required, params);                                             \
      ::pyco::Ref result = body(self, params);                                          \
      return result ? result.release() : Py_NewRef(Py_None);                            \
    });                                                                                 \
  }

// Declares the CPython function that PYCO_METHOD(body, ...) defines, for a
// method table in another file.
#define PYCO_DECLARE_METHOD(body) \
  PyObject* body##_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
