// pyco/awaitable.cpp - the iterator that `await x` drives, for any awaitable
// x: what CPython's GET_AWAITABLE does (its _PyCoro_GetAwaitableIter is not
// exported).
#include "coro_object.hpp"

namespace pyco {
namespace detail {
namespace {

PyObject* s_cr_await;            // "cr_await"
PyGetSetDef* g_native_cr_await;  // PyCoro_Type's cr_await getset (or null)

}  // namespace

int init_awaitable_names() noexcept {
  s_cr_await = PyUnicode_InternFromString("cr_await");
  if (!s_cr_await) return -1;
  // Call the native coroutine's cr_await getter directly (see
  // native_coro_is_awaiting); fall back on an attribute read if it is not a
  // plain getset descriptor.
  PyObject* cr_await = PyObject_GetAttr((PyObject*)&PyCoro_Type, s_cr_await);
  if (!cr_await) return -1;
  if (Py_IS_TYPE(cr_await, &PyGetSetDescr_Type))
    g_native_cr_await = reinterpret_cast<PyGetSetDescrObject*>(cr_await)->d_getset;
  Py_DECREF(cr_await);  // the descriptor lives in PyCoro_Type's dict
  return 0;
}

}  // namespace detail

using namespace detail;

namespace {

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

}  // namespace

PyObject* get_awaitable_iter_raw(Borrowed awaitable) {
  PyObject* const o = awaitable;
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

}  // namespace pyco
