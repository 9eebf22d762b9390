// pyco/coro.hpp - C++20 coroutines that are Python coroutines.
//
// Pieces:
//   pyco::Coro / CoroNone  return types of C++ coroutine bodies (value / None);
//                     own the frame until it is handed to a Python object.
//   pyco::PromiseBase promise state: the delegation state (yf), the value
//                     to yield to the driver, the value/exception to resume
//                     with, and the final result/exception.
//   PyAwaiter         what `co_await <Ref>` becomes: PEP 380 `yield from`
//                     on the awaitable's iterator.
//   cxx_coroutine     the Python type (am_await/am_send/send/throw/close) that
//                     owns a frame and drives it (coroutine.cpp).
//   cxx_coroutine_function  callable that parses arguments, creates the frame,
//                     wraps it; binds like a function (types.MethodType) and
//                     is marked with inspect.markcoroutinefunction
//                     (coroutine_function.cpp).
// The two types exist once per process, whichever modules use them; see
// api.hpp for how a module gets them.
#pragma once
#include <coroutine>
#include <cstdint>

#include "api.hpp"
#include "ref.hpp"

namespace pyco {

struct PromiseBase;

// Owner of a not-yet-wrapped frame (type-erased handle + its promise).
class [[nodiscard]] Frame {
 public:
  Frame(std::coroutine_handle<> h, PromiseBase* p) noexcept : h_(h), p_(p) {}
  Frame(Frame&& o) noexcept : h_(std::exchange(o.h_, {})), p_(o.p_) {}
  Frame(const Frame&) = delete;
  // On a thread being unwound at interpreter exit the frame is left as it
  // is: destroying it would free Python memory without the GIL (ref.hpp).
  ~Frame() {
    if (h_ && Ref::holds_gil()) h_.destroy();
  }
  std::coroutine_handle<> release() noexcept { return std::exchange(h_, {}); }
  std::coroutine_handle<> handle() const noexcept { return h_; }
  PromiseBase* promise() const noexcept { return p_; }
  void reset() noexcept {
    if (h_ && Ref::holds_gil()) std::exchange(h_, {}).destroy();
  }

 private:
  std::coroutine_handle<> h_;
  PromiseBase* p_;
};

struct Promise;
struct PromiseNone;
// Return type of a body that returns a value: every path must end in
// `co_return <Ref>;` (flowing off the end is UB and g++ 12 does not warn).
struct Coro : Frame {
  using promise_type = Promise;
  using Frame::Frame;
};
// Return type of a body that returns None: `co_return;` or fall off the end.
struct CoroNone : Frame {
  using promise_type = PromiseNone;
  using Frame::Frame;
};

struct YieldNow {};          // co_await pyco::yield_now(): bare `yield` (None)
inline YieldNow yield_now() noexcept { return {}; }
struct YieldValue {          // co_await pyco::yield_value(v): `yield v`
  Ref value;
};

// co_await pyco::try_await(x): like `try: v = await x  except Exception as e:`
// without a C++ throw - an Exception is returned in the Outcome (C++
// throw/catch costs microseconds; see REPORT.md). BaseExceptions that are not
// Exceptions (CancelledError, GeneratorExit, ...) are still thrown, so
// cancellation cannot be swallowed by accident.
struct Outcome {
  Ref value;  // set on success
  Ref error;  // the Exception instance on failure
  bool ok() const noexcept { return !error; }
  Ref value_or_throw() {
    if (error) throw_exc(error);
    return std::move(value);
  }
};
struct Try {
  Ref awaitable;
};
inline Try try_await(Ref awaitable) noexcept { return Try{std::move(awaitable)}; }

// co_await pyco::inline_await(body(...), func): await another C++ coroutine
// body as `await func(...)` would, without making its Python coroutine
// object unless it suspends. The body runs at once, in the caller's step;
// if it ends there its result (or exception) comes straight back; if it
// suspends, it is wrapped into the coroutine object `func` would have made
// (func may be null, then `name` names it) and the caller delegates to it
// from then on.
struct Inline {
  Frame frame;
  Borrowed func;  // must outlive the await
  const char* name;
};
inline Inline inline_await(Frame f, Borrowed func = {},
                           const char* name = nullptr) noexcept {
  return Inline{std::move(f), func, name};
}

struct PyAwaiter;
struct RawYieldAwaiter;
struct TryAwaiter;
struct InlineAwaiter;

struct PromiseBase {
  static constexpr int kMaxRoots = 8;

  // Delegation / resumption state. All owned references or null.
  PyObject* yf = nullptr;       // iterator we are `yield from`-ing (cr_await)
  PyObject* yielded = nullptr;  // value handed out at the next suspension
  PyObject* sent = nullptr;     // value await_resume returns
  PyObject* thrown = nullptr;   // exception await_resume raises
  PyObject* result = nullptr;   // co_return value
  PyObject* error = nullptr;    // exception that escaped the body
  // Parameters of the coroutine (copies live in the frame) that are Refs:
  // reported to the cycle GC by CxxCoroutine's tp_traverse.
  PyObject* const* roots[kMaxRoots];
  int nroots = 0;

  PromiseBase() noexcept { PYCO_COUNT(frames_live, 1); }
  // C++20 [dcl.fct.def.coroutine]/5: this constructor receives lvalues that
  // refer to the parameter copies inside the frame.
  template <class A0, class... A>
  explicit PromiseBase(A0& a0, A&... a) noexcept : PromiseBase() {
    add_root(a0);
    (add_root(a), ...);
  }
  ~PromiseBase() {
    PYCO_COUNT(frames_live, -1);
    if (!Ref::holds_gil()) return;  // thread unwound at exit: leak (ref.hpp)
    Py_XDECREF(yf);
    Py_XDECREF(yielded);
    Py_XDECREF(sent);
    Py_XDECREF(thrown);
    Py_XDECREF(result);
    Py_XDECREF(error);
  }
  void add_root(Ref& r) noexcept {
    if (nroots < kMaxRoots) roots[nroots++] = r.slot();
  }
  template <class T>
  void add_root(T&) noexcept {}

  // Frames are small and short-lived: use pymalloc. pymalloc needs the GIL,
  // which a thread unwound at interpreter exit no longer has: the frame's
  // memory is left alone there.
  static void* operator new(std::size_t n) {
    void* p = PyMem_Malloc(n);
    if (!p) throw std::bad_alloc();
    return p;
  }
  static void operator delete(void* p) noexcept {
    if (Ref::holds_gil()) PyMem_Free(p);
  }

  std::suspend_always initial_suspend() noexcept { return {}; }  // lazy, like async def
  std::suspend_always final_suspend() noexcept { return {}; }    // driver destroys
  // Not noexcept: a thread's forced unwind must leave the frame (it then
  // counts as suspended at its final point and propagates to the resumer).
  void unhandled_exception() {
    set_error_from_cpp();
    error = PyErr_GetRaisedException();
  }

  // Only these can be co_await-ed inside a body (anything else: compile error).
  PyAwaiter await_transform(Ref awaitable) noexcept;
  RawYieldAwaiter await_transform(YieldNow) noexcept;
  RawYieldAwaiter await_transform(YieldValue v) noexcept;
  TryAwaiter await_transform(Try t) noexcept;
  InlineAwaiter await_transform(Inline i) noexcept;

  // Called by await_resume of every awaiter.
  Ref take_resume_value() {
    if (thrown) throw_exc(Ref::steal(std::exchange(thrown, nullptr)));
    return Ref::steal(std::exchange(sent, nullptr));
  }
};

struct Promise : PromiseBase {
  using PromiseBase::PromiseBase;
  Coro get_return_object() noexcept {
    return Coro(std::coroutine_handle<Promise>::from_promise(*this), this);
  }
  void return_value(Ref v) noexcept { result = v ? v.release() : Py_NewRef(Py_None); }
};

struct PromiseNone : PromiseBase {
  using PromiseBase::PromiseBase;
  CoroNone get_return_object() noexcept {
    return CoroNone(std::coroutine_handle<PromiseNone>::from_promise(*this), this);
  }
  void return_void() noexcept {}  // result stays null -> None
};

// Turn any awaitable into the iterator that `await` would drive
// (mirror of CPython's _PyCoro_GetAwaitableIter, which is not exported).
// Returns a new reference, or NULL with a Python error set.
PyObject* get_awaitable_iter_raw(Borrowed o);
inline Ref get_awaitable_iter(Borrowed o) { return check(get_awaitable_iter_raw(o)); }

// `co_await obj`: first step of `yield from iter(obj.__await__())` happens in
// await_ready; if the iterator finishes at once the body does not suspend.
struct PyAwaiter {
  PromiseBase* p;
  Ref awaitable;
  Ref immediate;
  bool await_ready() {
    Ref it = get_awaitable_iter(awaitable.get());
    awaitable.reset();
    PyObject* res = nullptr;
    switch (PyIter_Send(it.get(), Py_None, &res)) {
      case PYGEN_RETURN:
        immediate = Ref::steal(res);
        return true;
      case PYGEN_NEXT:
        p->yf = it.release();
        p->yielded = res;
        return false;
      default:
        throw_current();
    }
  }
  void await_suspend(std::coroutine_handle<>) noexcept {}
  Ref await_resume() {
    if (immediate) return std::move(immediate);
    return p->take_resume_value();
  }
};

// Suspends once, handing `value` (None for yield_now) to the driver; resumes
// with the value sent in, or raises what was thrown in.
struct RawYieldAwaiter {
  PromiseBase* p;
  PyObject* value;  // owned
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<>) noexcept {
    p->yielded = std::exchange(value, nullptr);
  }
  Ref await_resume() { return p->take_resume_value(); }
  ~RawYieldAwaiter() {
    if (value) Ref::drop(value);
  }
};

struct TryAwaiter {
  PromiseBase* p;
  Ref awaitable;
  Outcome out;
  bool await_ready() {
    PyObject* it = get_awaitable_iter_raw(awaitable.get());
    awaitable.reset();
    PyObject* res = nullptr;
    PySendResult r = it ? PyIter_Send(it, Py_None, &res) : PYGEN_ERROR;
    if (r == PYGEN_NEXT) {
      p->yf = it;
      p->yielded = res;
      return false;
    }
    Py_XDECREF(it);
    if (r == PYGEN_RETURN)
      out.value = Ref::steal(res);
    else
      keep_exception(Ref::steal(PyErr_GetRaisedException()));
    return true;
  }
  void await_suspend(std::coroutine_handle<>) noexcept {}
  Outcome await_resume() {
    if (p->thrown)
      keep_exception(Ref::steal(std::exchange(p->thrown, nullptr)));
    else if (p->sent)
      out.value = Ref::steal(std::exchange(p->sent, nullptr));
    return std::move(out);
  }
  void keep_exception(Ref e) {
    if (!PyObject_TypeCheck(e.get(), (PyTypeObject*)PyExc_Exception)) throw_exc(std::move(e));
    out.error = std::move(e);
  }
};

struct InlineAwaiter {
  PromiseBase* p;
  Frame frame;
  Borrowed func;
  const char* name;
  bool await_ready();  // runs the body up to its first suspension
  void await_suspend(std::coroutine_handle<>) noexcept {}
  Ref await_resume() { return p->take_resume_value(); }
};

inline InlineAwaiter PromiseBase::await_transform(Inline i) noexcept {
  return InlineAwaiter{this, std::move(i.frame), i.func, i.name};
}

inline TryAwaiter PromiseBase::await_transform(Try t) noexcept {
  return TryAwaiter{this, std::move(t.awaitable), {}};
}
inline PyAwaiter PromiseBase::await_transform(Ref a) noexcept {
  return PyAwaiter{this, std::move(a), Ref()};
}
inline RawYieldAwaiter PromiseBase::await_transform(YieldNow) noexcept {
  return RawYieldAwaiter{this, Py_NewRef(Py_None)};
}
inline RawYieldAwaiter PromiseBase::await_transform(YieldValue v) noexcept {
  return RawYieldAwaiter{this, v.value.release()};
}

// ---------------------------------------------------------------------------
// Python-facing API.

// Signature of the C++ side of a coroutine function: parses the vectorcall
// arguments (throwing TypeError etc. *before* any frame exists, like Python
// argument binding) and returns the not-yet-started frame.
using CoroImpl = Frame (*)(PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

// The functions below need the types: the module's init has called
// create_api() or import_api() (api.hpp) first.

// Wrap a frame into a new coroutine object (a new reference, or null with an
// error set; the frame is destroyed then). `func` is the coroutine function
// that made it, or null: `name` names the coroutine then.
PyObject* wrap(Frame f, Borrowed func, const char* name = nullptr) noexcept;

// Create a coroutine function object (a new reference, or null with an
// error set); `qualname` like "Worker.work" (null: `name`).
PyObject* new_function(CoroImpl impl, const char* name, const char* qualname,
                       const char* module, const char* doc) noexcept;

// Whether `f` is a coroutine function object as new_function made it: its
// __dict__ holds the coroutine mark and nothing else. inspect then calls it
// a coroutine function whatever binds it (and whatever it looks up on it
// finds nothing else), so callers can skip asking inspect.
bool is_plain_coroutine_function(Borrowed f) noexcept;

// Call a coroutine function object from C++ (returns a new coroutine).
inline Ref call_coro(Borrowed func, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames = nullptr) {
  return check(PyObject_Vectorcall(func, args, nargs, kwnames));
}

// Simple argument parser for CoroImpl functions.
//   names: parameter names (positional-or-keyword), `required` of them are
//   mandatory; out[i] receives the i-th value (null if absent);
//   varkw != nullptr collects unknown keywords into a dict (**kwargs).
void parse_args(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, std::initializer_list<const char*> names,
                int required, Ref* out, Ref* varkw = nullptr);

// Print an exception like traceback.print_exc() does inside an except block
// of the function named `where` (a name of this module's, see
// traceback.hpp), whose entry the exception's traceback gets first.
void print_exception(const BaseException& e, const char* where);

}  // namespace pyco
