// pyco/coro_object.hpp - the layout of the bridge's Python objects and what
// the files that implement them share. Not for use outside src/pyco.
#pragma once
#include "coro.hpp"
#include "traceback.hpp"

namespace pyco::detail {

enum State : uint8_t { CREATED, SUSPENDED, RUNNING, CLOSED };

// An instance of the coroutine type (coroutine.cpp).
struct CoroObject {
  PyObject_HEAD
  std::coroutine_handle<> h;  // null once finished/closed
  PromiseBase* p;             // promise of h
  PyObject* func;       // coroutine function that made us (or null)
  const char* cname;    // fallback name when func is null
  PyObject* weakreflist;
  uint8_t state;
};

// An instance of the coroutine function type (coroutine_function.cpp).
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
  TraceSite* site;  // its traceback entry (of the module that made it), or null
};

inline CoroObject* as_coro(PyObject* o) noexcept { return reinterpret_cast<CoroObject*>(o); }
inline FuncObject* as_func(PyObject* o) noexcept { return reinterpret_cast<FuncObject*>(o); }

// The owner's side of create_api(): ready the static type objects of this
// copy under the given full names ("module.name"). Only the owner's copy
// ever calls them, so the type objects of the other copies stay unused.
PyTypeObject* ready_coroutine_type(const char* tp_name) noexcept;
PyTypeObject* ready_function_type(const char* tp_name) noexcept;

// What each copy looks up for itself at init (interned names, inspect's
// coroutine mark, the native coroutine's cr_await getter). 0 or -1.
int init_coroutine_names() noexcept;
int init_function_names() noexcept;
int init_awaitable_names() noexcept;

#ifdef PYCO_STATS
// The coroutine type's tp_getattro that records attribute names.
getattrofunc traced_getattro() noexcept;
#endif

}  // namespace pyco::detail
