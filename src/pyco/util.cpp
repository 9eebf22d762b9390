// pyco/util.cpp - see util.hpp.
#include "util.hpp"

namespace pyco {
namespace {
// threading.Lock's type and its acquire/release method descriptors: a lock
// of that exact type is taken without looking the methods up. Set once by
// init_util, never released.
PyObject* g_lock_type = nullptr;
PyObject* g_lock_acquire = nullptr;
PyObject* g_lock_release = nullptr;

PyObject* g_empty_tuple = nullptr;

// The instances of threading.Lock as CPython 3.13 lays them out. The layout
// is checked against the running interpreter at start-up (check_lock_layout)
// and used only when it matches.
struct LockObject {
  PyObject_HEAD
  PyThread_type_lock lock_lock;
  PyObject* in_weakreflist;
  char locked;
};
bool g_lock_layout = false;

PyObject* call_lock(PyObject* lock, PyObject* descr, const char* name) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(lock)) == g_lock_type) {
    // A free lock is taken as acquire() takes it before it would wait (a
    // non-blocking try of the underlying lock, then the flag acquire() and
    // release() keep); only a held lock goes through acquire() itself,
    // which waits with the GIL released.
    if (descr == g_lock_acquire && g_lock_layout) {
      auto* lk = reinterpret_cast<LockObject*>(lock);
      if (PyThread_acquire_lock_timed(lk->lock_lock, 0, 0) == PY_LOCK_ACQUIRED) {
        lk->locked = 1;
        return Py_NewRef(Py_True);
      }
    }
    // The C function behind the method, called as its flags say (what the
    // descriptor's own call does, without the dispatch).
    PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(descr)->d_method;
    const int flags = def->ml_flags & ~(METH_COEXIST | METH_CLASS | METH_STATIC);
    if (flags == METH_NOARGS) return def->ml_meth(lock, nullptr);
    if (flags == (METH_VARARGS | METH_KEYWORDS))
      return reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(def->ml_meth))(
          lock, g_empty_tuple, nullptr);
    return PyObject_Vectorcall(descr, &lock, 1, nullptr);
  }
  Ref n = Ref::steal(PyUnicode_InternFromString(name));
  return n ? PyObject_CallMethodNoArgs(lock, n.get()) : nullptr;
}
// Whether threading.Lock instances are LockObjects: sizes and offsets agree,
// and taking and freeing `lock` through its methods and through the layout
// agree with each other at every step.
bool check_lock_layout(PyObject* lock) {
  PyTypeObject* t = Py_TYPE(lock);
  if (t->tp_basicsize != static_cast<Py_ssize_t>(sizeof(LockObject)) ||
      t->tp_weaklistoffset != static_cast<Py_ssize_t>(offsetof(LockObject, in_weakreflist)))
    return false;
  auto* lk = reinterpret_cast<LockObject*>(lock);
  if (!lk->lock_lock || lk->locked != 0) return false;
  auto call = [&](const char* m) {
    Ref r = Ref::steal(PyObject_CallMethod(lock, m, nullptr));
    if (!r) throw_current();
    return r;
  };
  call("acquire");
  bool ok = lk->locked == 1 &&
            PyThread_acquire_lock_timed(lk->lock_lock, 0, 0) == PY_LOCK_FAILURE;
  call("release");
  ok = ok && lk->locked == 0 &&
       PyThread_acquire_lock_timed(lk->lock_lock, 0, 0) == PY_LOCK_ACQUIRED;
  if (!ok) return false;
  lk->locked = 1;
  ok = call("locked").get() == Py_True;
  call("release");
  return ok && lk->locked == 0 && call("locked").get() == Py_False;
}
}  // namespace

void init_util() {
  if (g_lock_type) return;
  Ref threading = check(PyImport_ImportModule("threading"));
  Ref lock = check(PyObject_CallMethod(threading.get(), "Lock", nullptr));
  g_lock_acquire = check(PyObject_GetAttrString(
      reinterpret_cast<PyObject*>(Py_TYPE(lock.get())), "acquire")).release();
  g_lock_release = check(PyObject_GetAttrString(
      reinterpret_cast<PyObject*>(Py_TYPE(lock.get())), "release")).release();
  g_empty_tuple = check(PyTuple_New(0)).release();
  // Only plain method descriptors are called through their C function.
  for (PyObject* d : {g_lock_acquire, g_lock_release})
    if (!PyObject_TypeCheck(d, &PyMethodDescr_Type)) {
      PyErr_SetString(PyExc_TypeError, "threading.Lock methods are not method descriptors");
      throw_current();
    }
  g_lock_type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(lock.get())));
  Ref probe = check(PyObject_CallMethod(threading.get(), "Lock", nullptr));
  g_lock_layout = check_lock_layout(probe.get());
}

bool lock_layout_known() { return g_lock_layout; }

Ref kwnames(std::initializer_list<const char*> names) {
  Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const char* n : names) PyTuple_SET_ITEM(t.get(), i++, intern(n).release());
  return t;
}

Ref vcall_kw(Borrowed callable, std::initializer_list<PyObject*> args, Borrowed kwn) {
  const Py_ssize_t nkw = kwn ? PyTuple_GET_SIZE(kwn) : 0;
  return check(PyObject_Vectorcall(callable, args.begin(),
                                   static_cast<Py_ssize_t>(args.size()) - nkw, kwn));
}

bool equals_int(Borrowed v, long value) {
  if (PyLong_CheckExact(v)) {
    int overflow = 0;
    const long x = PyLong_AsLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) throw_current();
    return !overflow && x == value;
  }
  Ref other = check(PyLong_FromLong(value));
  return check_int(PyObject_RichCompareBool(v, other.get(), Py_EQ)) != 0;
}

LockGuard::LockGuard(Borrowed lock) : lock_(lock.ref()) {
  Ref r = check(call_lock(lock, g_lock_acquire, "acquire"));
}

LockGuard::~LockGuard() {
  if (!Ref::holds_gil()) return;
  // Keep an exception in flight (the reason the scope is being left) across
  // the call.
  PyObject* pending = PyErr_GetRaisedException();
  PyObject* r = call_lock(lock_.get(), g_lock_release, "release");
  if (r) {
    Py_DECREF(r);
  } else {
    PyErr_WriteUnraisable(lock_.get());
  }
  PyErr_SetRaisedException(pending);
}

}  // namespace pyco
