// pyco/coroutine_function.cpp - the coroutine function type: a callable
// that parses its arguments, makes the frame and wraps it into a coroutine
// object; it binds like a Python function and inspect sees it as a
// coroutine function.
#include <structmember.h>

#include <cstring>

#include "coro_object.hpp"

namespace pyco {
namespace detail {
namespace {

PyObject* g_markcoro;     // inspect.markcoroutinefunction
PyObject* g_coro_mark;    // inspect._is_coroutine_mark, the value it stores
PyObject* s_coro_marker;  // "_is_coroutine_marker"

inline FuncObject* F(PyObject* o) { return as_func(o); }

PyObject* func_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) {
  try {
    return wrap(F(self)->impl(args, PyVectorcall_NARGS(nargsf), kwnames), self);
  } catch (...) {
    set_error_from_cpp();  // rethrows a forced unwind
    add_traceback(F(self)->site);  // its arguments did not bind
    return nullptr;
  }
}

// Bind like a Python function: instance.attr -> types.MethodType.
PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* func_repr(PyObject* self) {
  return PyUnicode_FromFormat("<cxx coroutine function %U at %p>", F(self)->qualname, self);
}

int func_traverse(PyObject* self, visitproc visit, void* arg) {
  FuncObject* f = F(self);
  Py_VISIT(f->dict);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->text_signature);
  return 0;
}
int func_clear(PyObject* self) {
  FuncObject* f = F(self);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->text_signature);
  return 0;
}
void func_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (F(self)->weakreflist) PyObject_ClearWeakRefs(self);
  func_clear(self);
  PyObject_GC_Del(self);
}

PyMemberDef func_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(FuncObject, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FuncObject, doc), 0, nullptr},
    {"__text_signature__", Py_T_OBJECT_EX, offsetof(FuncObject, text_signature), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr}};

// __name__ and __qualname__ are never null and always str, as on a Python
// function: repr() and the never-awaited warning format them with %U, and
// get_name/qualname_of return them as they are. (Plain writable members let
// `del f.__name__` crash the next repr of one of its coroutines.)
template <PyObject* FuncObject::*Field>
PyObject* func_get_str(PyObject* self, void*) {
  return Py_NewRef(F(self)->*Field);
}
template <PyObject* FuncObject::*Field>
int func_set_str(PyObject* self, PyObject* value, void* attr) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                 static_cast<const char*>(attr));
    return -1;
  }
  Py_SETREF(F(self)->*Field, Py_NewRef(value));
  return 0;
}

PyGetSetDef func_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__name__", func_get_str<&FuncObject::name>, func_set_str<&FuncObject::name>, nullptr,
     const_cast<char*>("__name__")},
    {"__qualname__", func_get_str<&FuncObject::qualname>, func_set_str<&FuncObject::qualname>,
     nullptr, const_cast<char*>("__qualname__")},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyTypeObject function_type = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_basicsize = sizeof(FuncObject);
  t.tp_dealloc = func_dealloc;
  t.tp_vectorcall_offset = offsetof(FuncObject, vectorcall);
  t.tp_repr = func_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
               Py_TPFLAGS_METHOD_DESCRIPTOR;
  t.tp_traverse = func_traverse;
  t.tp_clear = func_clear;
  t.tp_weaklistoffset = offsetof(FuncObject, weakreflist);
  t.tp_members = func_members;
  t.tp_getset = func_getset;
  t.tp_descr_get = func_descr_get;
  t.tp_dictoffset = offsetof(FuncObject, dict);
  return t;
}();

}  // namespace

PyTypeObject* ready_function_type(const char* tp_name) noexcept {
  function_type.tp_name = tp_name;
  if (PyType_Ready(&function_type) < 0) return nullptr;
  return &function_type;
}

int init_function_names() noexcept {
  PyObject* inspect = PyImport_ImportModule("inspect");
  if (!inspect) return -1;
  g_markcoro = PyObject_GetAttrString(inspect, "markcoroutinefunction");
  g_coro_mark = PyObject_GetAttrString(inspect, "_is_coroutine_mark");
  Py_DECREF(inspect);
  s_coro_marker = PyUnicode_InternFromString("_is_coroutine_marker");
  return g_markcoro && g_coro_mark && s_coro_marker ? 0 : -1;
}

}  // namespace detail

using namespace detail;

PyObject* new_function(CoroImpl impl, const char* name, const char* qualname,
                       const char* module, const char* doc) noexcept {
  FuncObject* f = PyObject_GC_New(FuncObject, api().function_type);
  if (!f) return nullptr;
  f->vectorcall = func_vectorcall;
  f->impl = impl;
  f->name = PyUnicode_FromString(name);
  f->qualname = PyUnicode_FromString(qualname ? qualname : name);
  f->module = PyUnicode_FromString(module);
  // A doc string that starts with "name(<parameters>)\n--\n\n" carries the
  // signature, as on CPython's own builtins: the part in parentheses becomes
  // __text_signature__ (what inspect.signature reads) and the rest __doc__.
  f->text_signature = Py_NewRef(Py_None);
  const char* sep = doc ? std::strstr(doc, ")\n--\n\n") : nullptr;
  const size_t name_len = std::strlen(name);
  if (sep && std::strncmp(doc, name, name_len) == 0 && doc[name_len] == '(') {
    Py_SETREF(f->text_signature,
              PyUnicode_FromStringAndSize(doc + name_len, sep + 1 - (doc + name_len)));
    doc = sep + 6;
  }
  f->doc = doc ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
  f->dict = nullptr;
  f->weakreflist = nullptr;
  f->site = trace_site(qualname ? qualname : name);
  PyObject_GC_Track(f);
  PyObject* self = reinterpret_cast<PyObject*>(f);
  if (!f->name || !f->qualname || !f->module || !f->doc || !f->text_signature) {
    Py_DECREF(self);
    return nullptr;
  }
  // inspect.iscoroutinefunction() looks for this marker (3.12+).
  PyObject* r = PyObject_CallOneArg(g_markcoro, self);
  if (!r) {
    Py_DECREF(self);
    return nullptr;
  }
  Py_DECREF(r);
  return self;
}

bool is_plain_coroutine_function(Borrowed f) noexcept {
  if (Py_TYPE(f) != api().function_type) return false;
  PyObject* dict = F(f)->dict;
  if (!dict || !PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != 1) return false;
  PyObject* mark = PyDict_GetItemWithError(dict, s_coro_marker);  // borrowed
  if (!mark) PyErr_Clear();
  return mark == g_coro_mark;
}

}  // namespace pyco
