// pyco/coro.cpp - the CxxCoroutine and CxxCoroutineFunction Python types.
#include "coro.hpp"

#include <structmember.h>

#include <cstring>

namespace pyco {

Stats g_stats;

namespace {

enum State : uint8_t { CREATED, SUSPENDED, RUNNING, CLOSED };

struct CoroObject {
  PyObject_HEAD
  std::coroutine_handle<> h;  // null once finished/closed
  PromiseBase* p;             // promise of h
  PyObject* func;       // CxxCoroutineFunction that made us (or null)
  const char* cname;    // fallback name when func is null
  PyObject* weakreflist;
  uint8_t state;
};

struct FuncObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  CoroImpl impl;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* text_signature;  // "(...)" or None, for inspect.signature
  PyObject* dict;
  PyObject* weakreflist;
};

PyObject* s_throw;      // "throw"
PyObject* s_close;      // "close"
PyObject* s_value;      // "value"
PyObject* g_markcoro;   // inspect.markcoroutinefunction
PyObject* g_coro_mark;  // inspect._is_coroutine_mark, the value it stores
PyObject* s_coro_marker;  // "_is_coroutine_marker"
PyObject* g_print_exc;  // traceback.print_exception (lazy)
PyObject* g_attr_trace; // set of attribute names read (diagnostics) or null
PyObject* s_cr_await;   // "cr_await"
PyGetSetDef* g_native_cr_await;  // PyCoro_Type's cr_await getset (or null)

inline CoroObject* C(PyObject* o) { return reinterpret_cast<CoroObject*>(o); }

PyObject* qualname_of(CoroObject* co) {
  if (co->func) return Py_NewRef(reinterpret_cast<FuncObject*>(co->func)->qualname);
  return PyUnicode_FromString(co->cname ? co->cname : "<cxx coroutine>");
}

void destroy_frame(CoroObject* co) {
  co->state = CLOSED;
  if (co->h) std::exchange(co->h, {}).destroy();
}

// NULL result + StopIteration -> RETURN with its value (like
// gen_status_from_result in _asynciomodule.c).
PySendResult status_from_result(PyObject** res) noexcept {
  if (*res) return PYGEN_NEXT;
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return PYGEN_ERROR;
  PyObject* e = PyErr_GetRaisedException();
  *res = PyObject_GetAttr(e, s_value);
  Py_DECREF(e);
  return *res ? PYGEN_RETURN : PYGEN_ERROR;
}

PySendResult coro_send_ex(CoroObject* co, PyObject* arg, PyObject* exc,
                          PyObject** out);

int close_iter(PyObject* yf) {
  PyObject* meth;
  if (PyObject_GetOptionalAttr(yf, s_close, &meth) < 0) return -1;
  if (!meth) return 0;
  PyObject* r = PyObject_CallNoArgs(meth);
  Py_DECREF(meth);
  if (!r) return -1;
  Py_DECREF(r);
  return 0;
}

// The exception a body that raised `err` ends with (steals `err`).
PyObject* escaping(PyObject* err) {
  if (!PyErr_GivenExceptionMatches(err, PyExc_StopIteration)) return err;
  // PEP 479, as for async def: StopIteration must not look like a return.
  PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
  PyObject* rt = PyErr_GetRaisedException();
  PyException_SetCause(rt, Py_NewRef(err));
  PyException_SetContext(rt, err);
  return rt;
}

// Run the C++ body until its next suspension or its end.
PySendResult resume_body(CoroObject* co, PyObject** out) {
  std::coroutine_handle<> h = co->h;
  h.resume();  // never throws: body exceptions go to unhandled_exception
  PromiseBase& p = *co->p;
  if (!h.done()) {
    co->state = SUSPENDED;
    *out = std::exchange(p.yielded, nullptr);
    if (!*out) *out = Py_NewRef(Py_None);
    return PYGEN_NEXT;
  }
  PyObject* err = std::exchange(p.error, nullptr);
  PyObject* res = std::exchange(p.result, nullptr);
  destroy_frame(co);
  if (err) {
    Py_XDECREF(res);
    PyErr_SetRaisedException(escaping(err));
    *out = nullptr;
    return PYGEN_ERROR;
  }
  *out = res ? res : Py_NewRef(Py_None);
  return PYGEN_RETURN;
}

// The single driver: send(arg) when exc == NULL, else throw(exc).
// PEP 380 delegation: while p.yf is set the C++ frame stays suspended and
// values/exceptions go to (and come from) the inner iterator.
PySendResult coro_send_ex(CoroObject* co, PyObject* arg, PyObject* exc,
                          PyObject** out) {
  *out = nullptr;
  switch (co->state) {
    case RUNNING:
      PyErr_SetString(PyExc_ValueError, "coroutine already executing");
      return PYGEN_ERROR;
    case CLOSED:
      if (exc)
        PyErr_SetRaisedException(Py_NewRef(exc));
      else
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
      return PYGEN_ERROR;
    case CREATED:
      if (exc) {  // thrown in before the first step: body never runs
        destroy_frame(co);
        PyErr_SetRaisedException(Py_NewRef(exc));
        return PYGEN_ERROR;
      }
      if (arg != Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
      }
      break;
    default:
      break;
  }
  PromiseBase& p = *co->p;
  co->state = RUNNING;
  if (p.yf) {
    PyObject* res = nullptr;
    PySendResult r;
    if (!exc) {
      if (Py_TYPE(p.yf) == &CxxCoroutine_Type)
        r = coro_send_ex(C(p.yf), arg, nullptr, &res);
      else
        r = PyIter_Send(p.yf, arg, &res);
    } else if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
      // PEP 380: close the subiterator, then raise GeneratorExit here.
      PyObject* yf = std::exchange(p.yf, nullptr);
      int e = close_iter(yf);
      Py_DECREF(yf);
      p.thrown = e < 0 ? PyErr_GetRaisedException() : Py_NewRef(exc);
      return resume_body(co, out);
    } else if (Py_TYPE(p.yf) == &CxxCoroutine_Type) {
      r = coro_send_ex(C(p.yf), nullptr, exc, &res);
    } else {
      PyObject* meth;
      if (PyObject_GetOptionalAttr(p.yf, s_throw, &meth) < 0) {
        r = PYGEN_ERROR;
      } else if (!meth) {  // no throw(): raise it in the delegating frame
        Py_CLEAR(p.yf);
        p.thrown = Py_NewRef(exc);
        return resume_body(co, out);
      } else {
        res = PyObject_CallOneArg(meth, exc);
        Py_DECREF(meth);
        r = status_from_result(&res);
      }
    }
    if (r == PYGEN_NEXT) {
      co->state = SUSPENDED;
      *out = res;
      return PYGEN_NEXT;
    }
    Py_CLEAR(p.yf);
    if (r == PYGEN_RETURN)
      p.sent = res;
    else
      p.thrown = PyErr_GetRaisedException();
  } else if (exc) {
    p.thrown = Py_NewRef(exc);
  } else {
    p.sent = Py_NewRef(arg);
  }
  return resume_body(co, out);
}

PyObject* stop_iteration(PyObject* value) {  // steals value, returns NULL
  if (value == Py_None) {
    PyErr_SetNone(PyExc_StopIteration);
  } else {
    PyObject* e = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (e) PyErr_SetRaisedException(e);
  }
  Py_DECREF(value);
  return nullptr;
}

PyObject* result_of(PySendResult r, PyObject* out) {
  if (r == PYGEN_NEXT) return out;
  if (r == PYGEN_RETURN) return stop_iteration(out);
  return nullptr;
}

// close(): Python semantics - GeneratorExit is raised at the suspension
// point (after closing the subiterator), so C++ catch blocks and RAII run.
int coro_close_impl(CoroObject* co, PyObject** retval) {
  *retval = nullptr;
  switch (co->state) {
    case CLOSED:
      return 0;
    case CREATED:
      destroy_frame(co);
      return 0;
    case RUNNING:
      PyErr_SetString(PyExc_ValueError, "coroutine already executing");
      return -1;
    default:
      break;
  }
  PyObject* ge = PyObject_CallNoArgs(PyExc_GeneratorExit);
  if (!ge) return -1;
  PyObject* out;
  PySendResult r = coro_send_ex(co, nullptr, ge, &out);
  Py_DECREF(ge);
  if (r == PYGEN_NEXT) {
    Py_DECREF(out);
    destroy_frame(co);
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return -1;
  }
  if (r == PYGEN_RETURN) {
    *retval = out;
    return 0;
  }
  if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    PyErr_Clear();
    return 0;
  }
  return -1;
}

// ---- CxxCoroutine slots -------------------------------------------------

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** out) {
  ++g_stats.am_send;
  return coro_send_ex(C(self), arg, nullptr, out);
}

PyObject* coro_iternext(PyObject* self) {
  ++g_stats.iternext;
  PyObject* out;
  PySendResult r = coro_send_ex(C(self), Py_None, nullptr, &out);
  if (r == PYGEN_RETURN && out == Py_None) {  // tp_iternext: NULL, no error
    Py_DECREF(out);
    return nullptr;
  }
  return result_of(r, out);
}

PyObject* coro_am_await(PyObject* self) {
  ++g_stats.am_await;
  if (C(self)->state == SUSPENDED || C(self)->state == RUNNING) {
    PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
    return nullptr;
  }
  return Py_NewRef(self);
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
  ++g_stats.send;
  PyObject* out;
  PySendResult r = coro_send_ex(C(self), arg, nullptr, &out);
  return result_of(r, out);
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  ++g_stats.throw_;
  if (nargs < 1 || nargs > 3) {
    PyErr_SetString(PyExc_TypeError, "throw expected 1 to 3 arguments");
    return nullptr;
  }
  if (nargs > 1 &&
      PyErr_WarnEx(PyExc_DeprecationWarning,
                   "the (type, exc, tb) signature of throw() is deprecated, "
                   "use the single-arg signature instead.", 1) < 0)
    return nullptr;
  PyObject* typ = args[0];
  PyObject* val = nargs > 1 ? args[1] : Py_None;
  PyObject* tb = nargs > 2 ? args[2] : Py_None;
  if (tb != Py_None && !PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return nullptr;
  }
  PyObject* exc;
  if (PyExceptionInstance_Check(typ)) {
    if (val != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return nullptr;
    }
    exc = Py_NewRef(typ);
  } else if (PyExceptionClass_Check(typ)) {
    if (val == Py_None)
      exc = PyObject_CallNoArgs(typ);
    else if (PyObject_TypeCheck(val, (PyTypeObject*)typ))
      exc = Py_NewRef(val);
    else if (PyTuple_Check(val))
      exc = PyObject_Call(typ, val, nullptr);
    else
      exc = PyObject_CallOneArg(typ, val);
    if (!exc) return nullptr;
  } else {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from "
                 "BaseException, not %s", Py_TYPE(typ)->tp_name);
    return nullptr;
  }
  if (tb != Py_None) PyException_SetTraceback(exc, tb);
  PyObject* out;
  PySendResult r = coro_send_ex(C(self), nullptr, exc, &out);
  Py_DECREF(exc);
  return result_of(r, out);
}

PyObject* coro_close(PyObject* self, PyObject*) {
  ++g_stats.close;
  PyObject* rv;
  if (coro_close_impl(C(self), &rv) < 0) return nullptr;
  return rv ? rv : Py_NewRef(Py_None);
}

void coro_finalize(PyObject* self) {
  CoroObject* co = C(self);
  if (co->state == CLOSED) return;
  PyObject* saved = PyErr_GetRaisedException();
  if (co->state == CREATED) {
    // Same text as CPython's _PyErr_WarnUnawaitedCoroutine.
    PyObject* qn = qualname_of(co);
    if (!qn || PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                "coroutine '%U' was never awaited", qn) < 0)
      PyErr_WriteUnraisable(self);
    Py_XDECREF(qn);
    destroy_frame(co);
  } else {
    PyObject* rv;
    if (coro_close_impl(co, &rv) < 0)
      PyErr_WriteUnraisable(self);
    else
      Py_XDECREF(rv);
  }
  PyErr_SetRaisedException(saved);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
  CoroObject* co = C(self);
  Py_VISIT(co->func);
  if (co->h) {
    PromiseBase& p = *co->p;
    Py_VISIT(p.yf);
    Py_VISIT(p.yielded);
    Py_VISIT(p.sent);
    Py_VISIT(p.thrown);
    Py_VISIT(p.result);
    Py_VISIT(p.error);
    for (int i = 0; i < p.nroots; ++i) Py_VISIT(*p.roots[i]);
  }
  return 0;
}

int coro_clear(PyObject* self) {
  CoroObject* co = C(self);
  if (co->state != RUNNING) destroy_frame(co);
  Py_CLEAR(co->func);
  return 0;
}

void coro_dealloc(PyObject* self) {
  CoroObject* co = C(self);
  PyObject_GC_UnTrack(self);
  if (co->weakreflist) PyObject_ClearWeakRefs(self);
  if (co->state != CLOSED) {  // finished coroutines (the common case) skip this
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
  }
  destroy_frame(co);
  Py_CLEAR(co->func);
  --g_stats.objects_live;
  PyObject_GC_Del(self);
}

PyObject* coro_getattro(PyObject* self, PyObject* name) {
  if (g_attr_trace && PySet_Add(g_attr_trace, name) < 0) return nullptr;
  return PyObject_GenericGetAttr(self, name);
}

PyObject* coro_repr(PyObject* self) {
  PyObject* qn = qualname_of(C(self));
  if (!qn) return nullptr;
  PyObject* r = PyUnicode_FromFormat("<cxx_coroutine object %U at %p>", qn, self);
  Py_DECREF(qn);
  return r;
}

PyObject* get_name(PyObject* self, void*) {
  CoroObject* co = C(self);
  if (co->func) return Py_NewRef(reinterpret_cast<FuncObject*>(co->func)->name);
  return qualname_of(co);
}
PyObject* get_qualname(PyObject* self, void*) { return qualname_of(C(self)); }
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(C(self)->state == RUNNING); }
PyObject* get_suspended(PyObject* self, void*) { return PyBool_FromLong(C(self)->state == SUSPENDED); }
PyObject* get_await(PyObject* self, void*) {
  CoroObject* co = C(self);
  PyObject* yf = co->h ? co->p->yf : nullptr;
  return Py_NewRef(yf ? yf : Py_None);
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(arg) -> send 'arg' into coroutine."},
    {"throw", (PyCFunction)(void (*)(void))coro_throw, METH_FASTCALL,
     "throw(value) -> raise exception in coroutine."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    // No Python frame/code exists; None keeps asyncio's repr/get_stack on
    // their "unknown coroutine" paths (see REPORT.md).
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyAsyncMethods coro_as_async = {coro_am_await, nullptr, nullptr, coro_am_send};

// ---- CxxCoroutineFunction ------------------------------------------------

inline FuncObject* F(PyObject* o) { return reinterpret_cast<FuncObject*>(o); }

PyObject* func_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) {
  try {
    return wrap(F(self)->impl(args, PyVectorcall_NARGS(nargsf), kwnames), self);
  } catch (...) {
    set_error_from_cpp();  // rethrows a forced unwind
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

}  // namespace

PyTypeObject CxxCoroutine_Type = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "velkor.cxx_coroutine";
  t.tp_basicsize = sizeof(CoroObject);
  t.tp_dealloc = coro_dealloc;
  t.tp_as_async = &coro_as_async;
  t.tp_repr = coro_repr;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  t.tp_traverse = coro_traverse;
  t.tp_clear = coro_clear;
  t.tp_weaklistoffset = offsetof(CoroObject, weakreflist);
  t.tp_iternext = coro_iternext;
  t.tp_methods = coro_methods;
  t.tp_getset = coro_getset;
  t.tp_finalize = coro_finalize;
  t.tp_doc = "Coroutine object whose body is a C++20 coroutine.";
  return t;
}();

PyTypeObject CxxCoroutineFunction_Type = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "velkor.cxx_coroutine_function";
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

PyObject* wrap(Frame f, PyObject* func, const char* name) noexcept {
  CoroObject* co = PyObject_GC_New(CoroObject, &CxxCoroutine_Type);
  if (!co) return nullptr;  // ~Frame destroys the frame
  co->p = f.promise();
  co->h = f.release();
  co->func = Py_XNewRef(func);
  co->cname = name;
  co->weakreflist = nullptr;
  co->state = CREATED;
  ++g_stats.objects_live;
  PyObject_GC_Track(co);
  return reinterpret_cast<PyObject*>(co);
}

bool InlineAwaiter::await_ready() {
  PromiseBase& inner = *frame.promise();
  std::coroutine_handle<> h = frame.handle();
  h.resume();  // as resume_body: body exceptions go to the promise
  if (!h.done()) {
    // Suspended: from here on it is the coroutine object awaited.
    PyObject* yielded = std::exchange(inner.yielded, nullptr);
    PyObject* co = wrap(std::move(frame), func, name);
    if (!co) {  // the frame is gone with its state
      Py_XDECREF(yielded);
      p->thrown = PyErr_GetRaisedException();
      return true;
    }
    C(co)->state = SUSPENDED;
    p->yf = co;
    p->yielded = yielded ? yielded : Py_NewRef(Py_None);
    return false;
  }
  PyObject* err = std::exchange(inner.error, nullptr);
  PyObject* res = std::exchange(inner.result, nullptr);
  frame.reset();
  if (err) {
    Py_XDECREF(res);
    p->thrown = escaping(err);
  } else {
    p->sent = res ? res : Py_NewRef(Py_None);
  }
  return true;
}

PyObject* new_function(CoroImpl impl, const char* name, const char* qualname,
                       const char* module, const char* doc) noexcept {
  FuncObject* f = PyObject_GC_New(FuncObject, &CxxCoroutineFunction_Type);
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

bool is_plain_coroutine_function(PyObject* f) noexcept {
  const PyTypeObject* t = Py_TYPE(f);
  const PyTypeObject& own = CxxCoroutineFunction_Type;
  // Every extension module of the package links its own copy of this file,
  // hence its own type object: the same name and the same layout.
  if (t != &own && (std::strcmp(t->tp_name, own.tp_name) != 0 ||
                    t->tp_basicsize != own.tp_basicsize ||
                    t->tp_dictoffset != own.tp_dictoffset || t->tp_flags != own.tp_flags))
    return false;
  PyObject* dict = F(f)->dict;
  if (!dict || !PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != 1) return false;
  PyObject* mark = PyDict_GetItemWithError(dict, s_coro_marker);  // borrowed
  if (!mark) PyErr_Clear();
  return mark == g_coro_mark;
}

// 1 if the native coroutine `o` is suspended in an await of its own (its
// cr_await is set), 0 if not, -1 on error.
int native_coro_is_awaiting(PyObject* o) {
  PyObject* yf = g_native_cr_await
                     ? g_native_cr_await->get(o, g_native_cr_await->closure)
                     : PyObject_GetAttr(o, s_cr_await);
  if (!yf) return -1;
  const int r = yf != Py_None;
  Py_DECREF(yf);
  return r;
}

PyObject* get_awaitable_iter_raw(PyObject* o) {
  PyTypeObject* t = Py_TYPE(o);
  if (t == &PyCoro_Type) {
    // `await` refuses a coroutine that another awaiter (a Task, typically)
    // is already driving; GET_AWAITABLE checks _PyGen_yf, which is not
    // exported, and cr_await reads the same field. Without this check the
    // first PyIter_Send below would step that coroutine from here too, and
    // both awaiters would then wait on its future.
    const int busy = native_coro_is_awaiting(o);
    if (busy < 0) return nullptr;
    if (busy) {
      PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
      return nullptr;
    }
    return Py_NewRef(o);
  }
  if (t == &PyGen_Type) {  // @types.coroutine generator
    PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(o));
    int flags = code->co_flags;
    Py_DECREF(code);
    if (flags & CO_ITERABLE_COROUTINE) return Py_NewRef(o);
  }
  unaryfunc getter = t->tp_as_async ? t->tp_as_async->am_await : nullptr;
  if (!getter) {
    PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", t->tp_name);
    return nullptr;
  }
  PyObject* res = getter(o);
  if (!res) return nullptr;
  PyTypeObject* rt = Py_TYPE(res);
  if (rt == &PyCoro_Type) {
    Py_DECREF(res);
    PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
    return nullptr;
  }
  if (!PyIter_Check(res)) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                 rt->tp_name);
    Py_DECREF(res);
    return nullptr;
  }
  return res;
}

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

void print_exception(const BaseException& e) {
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

void set_attr_trace(PyObject* set_or_null) noexcept {
  Py_XSETREF(g_attr_trace, Py_XNewRef(set_or_null));
  // Only hook tp_getattro while tracing: a custom tp_getattro disables the
  // method-lookup fast path (_PyObject_GetMethod) used for coro.throw(exc).
  CxxCoroutine_Type.tp_getattro = g_attr_trace ? coro_getattro : PyObject_GenericGetAttr;
  PyType_Modified(&CxxCoroutine_Type);
}

int init_types(PyObject* module) noexcept {
  if (PyType_Ready(&CxxCoroutine_Type) < 0) return -1;
  if (PyType_Ready(&CxxCoroutineFunction_Type) < 0) return -1;
  s_throw = PyUnicode_InternFromString("throw");
  s_close = PyUnicode_InternFromString("close");
  s_value = PyUnicode_InternFromString("value");
  s_cr_await = PyUnicode_InternFromString("cr_await");
  if (!s_throw || !s_close || !s_value || !s_cr_await) return -1;
  // Call the native coroutine's cr_await getter directly (see
  // native_coro_is_awaiting); fall back on an attribute read if it is not a
  // plain getset descriptor.
  PyObject* cr_await = PyObject_GetAttr((PyObject*)&PyCoro_Type, s_cr_await);
  if (!cr_await) return -1;
  if (Py_IS_TYPE(cr_await, &PyGetSetDescr_Type))
    g_native_cr_await = reinterpret_cast<PyGetSetDescrObject*>(cr_await)->d_getset;
  Py_DECREF(cr_await);  // the descriptor lives in PyCoro_Type's dict
  PyObject* inspect = PyImport_ImportModule("inspect");
  if (!inspect) return -1;
  g_markcoro = PyObject_GetAttrString(inspect, "markcoroutinefunction");
  g_coro_mark = PyObject_GetAttrString(inspect, "_is_coroutine_mark");
  Py_DECREF(inspect);
  if (!g_markcoro || !g_coro_mark) return -1;
  s_coro_marker = PyUnicode_InternFromString("_is_coroutine_marker");
  if (!s_coro_marker) return -1;
  // Explicit registration (Coroutine.__subclasshook__ would also accept the
  // type because it defines __await__, send, throw and close).
  PyObject* abc = PyImport_ImportModule("collections.abc");
  if (!abc) return -1;
  PyObject* coro_abc = PyObject_GetAttrString(abc, "Coroutine");
  Py_DECREF(abc);
  if (!coro_abc) return -1;
  PyObject* r = PyObject_CallMethod(coro_abc, "register", "O", (PyObject*)&CxxCoroutine_Type);
  Py_DECREF(coro_abc);
  if (!r) return -1;
  Py_DECREF(r);
  if (!module) return 0;
  if (PyModule_AddObjectRef(module, "cxx_coroutine", (PyObject*)&CxxCoroutine_Type) < 0)
    return -1;
  if (PyModule_AddObjectRef(module, "cxx_coroutine_function",
                            (PyObject*)&CxxCoroutineFunction_Type) < 0)
    return -1;
  return 0;
}

}  // namespace pyco
