// pyco/coroutine.cpp - the coroutine type: a Python coroutine object that
// owns a C++ coroutine frame and drives it (send, throw, close, PEP 380
// delegation), and wrap(), which makes one.
#include "coro_object.hpp"

namespace pyco {
namespace detail {
namespace {

PyObject* s_throw;  // "throw"
PyObject* s_close;  // "close"
PyObject* s_value;  // "value"

inline CoroObject* C(PyObject* o) { return as_coro(o); }

PyObject* qualname_of(CoroObject* co) {
  if (co->func) return Py_NewRef(as_func(co->func)->qualname);
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

// The exception a body that raised `err` ends with, carrying the entry of
// the coroutine function `func` (may be null: no entry) in its traceback.
// GeneratorExit, which only asks a frame to close, gets none: close()
// swallows it, and closing is no failure.
PyObject* ending(PyObject* err, PyObject* func) {
  PyObject* exc = escaping(err);
  if (!func || PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) return exc;
  return add_traceback(exc, as_func(func)->site);
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
    PyErr_SetRaisedException(ending(err, co->func));
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
      if (Py_TYPE(p.yf) == api().coroutine_type)
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
    } else if (Py_TYPE(p.yf) == api().coroutine_type) {
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
  PYCO_COUNT(am_send, 1);
  return coro_send_ex(C(self), arg, nullptr, out);
}

PyObject* coro_iternext(PyObject* self) {
  PYCO_COUNT(iternext, 1);
  PyObject* out;
  PySendResult r = coro_send_ex(C(self), Py_None, nullptr, &out);
  if (r == PYGEN_RETURN && out == Py_None) {  // tp_iternext: NULL, no error
    Py_DECREF(out);
    return nullptr;
  }
  return result_of(r, out);
}

PyObject* coro_am_await(PyObject* self) {
  PYCO_COUNT(am_await, 1);
  if (C(self)->state == SUSPENDED || C(self)->state == RUNNING) {
    PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
    return nullptr;
  }
  return Py_NewRef(self);
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
  PYCO_COUNT(send, 1);
  PyObject* out;
  PySendResult r = coro_send_ex(C(self), arg, nullptr, &out);
  return result_of(r, out);
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  PYCO_COUNT(throw_, 1);
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
  PYCO_COUNT(close, 1);
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
  PYCO_COUNT(objects_live, -1);
  PyObject_GC_Del(self);
}

#ifdef PYCO_STATS
PyObject* coro_getattro(PyObject* self, PyObject* name) {
  PyObject* trace = stats().attr_trace;
  if (trace && PySet_Add(trace, name) < 0) return nullptr;
  return PyObject_GenericGetAttr(self, name);
}
#endif

PyObject* coro_repr(PyObject* self) {
  PyObject* qn = qualname_of(C(self));
  if (!qn) return nullptr;
  PyObject* r = PyUnicode_FromFormat("<cxx_coroutine object %U at %p>", qn, self);
  Py_DECREF(qn);
  return r;
}

PyObject* get_name(PyObject* self, void*) {
  CoroObject* co = C(self);
  if (co->func) return Py_NewRef(as_func(co->func)->name);
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

PyTypeObject coroutine_type = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
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

}  // namespace

PyTypeObject* ready_coroutine_type(const char* tp_name) noexcept {
  coroutine_type.tp_name = tp_name;
  if (PyType_Ready(&coroutine_type) < 0) return nullptr;
  return &coroutine_type;
}

int init_coroutine_names() noexcept {
  s_throw = PyUnicode_InternFromString("throw");
  s_close = PyUnicode_InternFromString("close");
  s_value = PyUnicode_InternFromString("value");
  return s_throw && s_close && s_value ? 0 : -1;
}

}  // namespace detail

using namespace detail;

PyObject* wrap(Frame f, Borrowed func, const char* name) noexcept {
  CoroObject* co = PyObject_GC_New(CoroObject, api().coroutine_type);
  if (!co) return nullptr;  // ~Frame destroys the frame
  co->p = f.promise();
  co->h = f.release();
  co->func = Py_XNewRef(func.get());
  co->cname = name;
  co->weakreflist = nullptr;
  co->state = CREATED;
  PYCO_COUNT(objects_live, 1);
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
    as_coro(co)->state = SUSPENDED;
    p->yf = co;
    p->yielded = yielded ? yielded : Py_NewRef(Py_None);
    return false;
  }
  PyObject* err = std::exchange(inner.error, nullptr);
  PyObject* res = std::exchange(inner.result, nullptr);
  frame.reset();
  if (err) {
    Py_XDECREF(res);
    p->thrown = ending(err, func);
  } else {
    p->sent = res ? res : Py_NewRef(Py_None);
  }
  return true;
}

#ifdef PYCO_STATS
void set_attr_trace(PyObject* set_or_null) noexcept {
  Stats& s = stats();
  Py_XSETREF(s.attr_trace, Py_XNewRef(set_or_null));
  // Only hook tp_getattro while tracing: a custom tp_getattro disables the
  // method-lookup fast path (_PyObject_GetMethod) used for coro.throw(exc).
  // The hook is the owner's, like every other slot of the type.
  PyTypeObject* t = api().coroutine_type;
  t->tp_getattro = s.attr_trace ? s.traced_getattro : PyObject_GenericGetAttr;
  PyType_Modified(t);
}

namespace detail {
getattrofunc traced_getattro() noexcept { return coro_getattro; }
}  // namespace detail
#endif

}  // namespace pyco
