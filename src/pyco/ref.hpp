// pyco/ref.hpp - owned and borrowed PyObject references, and the C++ mirror
// of Python's exception split (BaseException / Exception).
//
// Every function here must be called with the GIL held (an attached thread
// state).
//
// Ownership rules, for every function of pyco and of the code built on it:
//   * A parameter of type Ref (by value) takes a reference: the caller moves
//     one in (std::move) or gives a copy (an incref).
//   * A parameter of type Borrowed or PyObject* borrows the object for the
//     call: the caller keeps it alive until the call returns, and the callee
//     takes a Ref of whatever it keeps beyond that.
//   * A returned Ref is a new reference of the caller's. A returned Borrowed
//     (or the PyObject* of an accessor such as get() or value()) is valid
//     while its owner is.
//   * A function that returns a raw PyObject* and is not an accessor follows
//     the C API: a new reference, or null with a Python error set (wrap(),
//     new_function(), get_awaitable_iter_raw()). check() takes such a result
//     over, and throws if it is null.
//   * Coroutine bodies take their parameters as Ref by value: the frame owns
//     them for as long as it lives. A Borrowed parameter would outlive the
//     call that lent it as soon as the body suspends.
//   * A Borrowed is not kept past the statement that made it unless its
//     owner is known to outlive it (a table made at module init, never
//     freed). It cannot be made from a temporary Ref: that reference dies at
//     the end of the full expression.
//
// Thread exit at interpreter shutdown. CPython 3.13 ends a daemon thread that
// tries to take the GIL back while the interpreter is finalizing with
// pthread_exit(); glibc then unwinds the thread's C++ frames with the
// exception abi::__forced_unwind. Two rules follow for all C++ code that can
// sit on such a thread's stack (coroutine bodies, the driver, threads that run loops):
//   * every catch (...) must let abi::__forced_unwind through (rethrow it),
//     otherwise the process aborts with "exception not rethrown";
//   * no noexcept function may be unwound, otherwise std::terminate runs.
// Destructors run during that unwinding without the GIL; Ref therefore only
// decrefs when this thread holds the GIL, and leaks otherwise (the process is
// exiting, and touching the object without the GIL could corrupt it). Such an
// unwind only happens once the runtime is finalizing, so holds_gil() asks
// the thread state (a thread-local lookup through libpython) only then.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <initializer_list>
#include <new>
#include <type_traits>
#include <utility>

namespace pyco {

// Owned (strong) reference. Null is allowed and means "no object".
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { Ref r; r.p_ = p; return r; }
  static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return steal(p); }
  Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
  ~Ref() {
    if (p_) drop(p_);
  }
  // Decref `p` if this thread holds the GIL (see the note at the top).
  static void drop(PyObject* p) noexcept {
    if (holds_gil()) Py_DECREF(p);
  }
  // False only on a thread being unwound at interpreter exit (see above).
  static bool holds_gil() noexcept {
    return !Py_IsFinalizing() || PyThreadState_GetUnchecked() != nullptr;
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  PyObject* new_ref() const noexcept { return Py_XNewRef(p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept { Py_CLEAR(p_); }
  // Address of the slot, used by the coroutine promise to report frame
  // parameters to the cycle GC (tp_traverse).
  PyObject* const* slot() const noexcept { return &p_; }

 private:
  PyObject* p_ = nullptr;
};

// Borrowed (non-owning) reference: a PyObject* that someone else keeps
// alive (see the rules at the top). Null is allowed. Converts to PyObject*,
// so it goes wherever the C API takes an object.
class Borrowed {
 public:
  constexpr Borrowed() noexcept = default;
  constexpr Borrowed(PyObject* p) noexcept : p_(p) {}
  Borrowed(const Ref& r) noexcept : p_(r.get()) {}
  Borrowed(Ref&&) = delete;  // would point at an object about to be released

  constexpr PyObject* get() const noexcept { return p_; }
  constexpr operator PyObject*() const noexcept { return p_; }
  constexpr explicit operator bool() const noexcept { return p_ != nullptr; }
  // A reference of the caller's own to the same object.
  Ref ref() const noexcept { return Ref::borrow(p_); }

 private:
  PyObject* p_ = nullptr;
};
static_assert(std::is_trivially_copyable_v<Borrowed> && sizeof(Borrowed) == sizeof(PyObject*));

inline Ref none() noexcept { return Ref::borrow(Py_None); }

// True inside a catch (...) that a thread's forced unwind at interpreter exit
// has reached (see the note at the top): the handler must only rethrow.
// Asked instead of catching abi::__forced_unwind by reference, which binds a
// reference to no object (UBSan reports it).
inline bool unwinding_at_exit() noexcept { return !Ref::holds_gil(); }

// ---------------------------------------------------------------------------
// Python exceptions inside C++.
//
// A Python exception that reaches C++ code is thrown as pyco::Exception when
// it is an instance of Python's Exception, otherwise as pyco::BaseException
// (CancelledError, GeneratorExit, KeyboardInterrupt, SystemExit). Hence
//     catch (const pyco::Exception& e)      ==  except Exception as e:
//     catch (const pyco::BaseException& e)  ==  except BaseException as e:
// and CancelledError is never swallowed by an "except Exception" mirror.
class BaseException : public std::exception {
 public:
  explicit BaseException(Ref value) noexcept : value_(std::move(value)) {}
  PyObject* value() const noexcept { return value_.get(); }
  bool matches(PyObject* exc_type) const noexcept {
    return PyErr_GivenExceptionMatches(value_.get(), exc_type);
  }
  // Put the exception back into the Python error indicator.
  void restore() const noexcept { PyErr_SetRaisedException(value_.new_ref()); }
  const char* what() const noexcept override { return "Python exception"; }

 private:
  Ref value_;
};

class Exception : public BaseException {
 public:
  using BaseException::BaseException;
};

// Throw `exc` (an exception instance) as the right C++ class.
[[noreturn]] inline void throw_exc(Ref exc) {
  if (PyObject_TypeCheck(exc.get(), (PyTypeObject*)PyExc_Exception))
    throw Exception(std::move(exc));
  throw BaseException(std::move(exc));
}

// Convert the current Python error indicator into a C++ exception.
[[noreturn]] inline void throw_current() {
  PyObject* e = PyErr_GetRaisedException();
  if (!e) {
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
    e = PyErr_GetRaisedException();
  }
  throw_exc(Ref::steal(e));
}

[[noreturn]] inline void raise(PyObject* type, const char* msg) {
  PyErr_SetString(type, msg);
  throw_current();
}

inline Ref check(PyObject* r) {
  if (!r) throw_current();
  return Ref::steal(r);
}
inline int check_int(int r) {
  if (r < 0) throw_current();
  return r;
}

// Inside a catch(...) handler: convert the in-flight C++ exception into the
// Python error indicator. Nothing but a thread's forced unwind escapes (C
// frames of CPython must not be unwound by ordinary C++ exceptions); every
// catch (...) of the bridge and of the code built on it calls this, so this is the one
// place that lets it through. Kept out of line and out of UBSan's null check:
// the forced unwind carries no exception object, so binding the reference of
// its handler looks like a null reference to the sanitizer.
[[gnu::noinline, gnu::no_sanitize("null")]] inline void set_error_from_cpp() {
  try {
    throw;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const BaseException& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

// Wrap the body of a CPython slot / C function: returns nullptr with a
// Python error set if the body throws.
template <class F>
inline PyObject* guard(F&& f) {
  try {
    return f();
  } catch (...) {
    set_error_from_cpp();  // rethrows a forced unwind
    return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Small call helpers (vectorcall based). Their arguments may be Refs or
// plain pointers; all are borrowed for the call.
inline PyObject* arg_ptr(const Ref& r) noexcept { return r.get(); }
inline PyObject* arg_ptr(PyObject* p) noexcept { return p; }
template <class... A>
inline Ref call(Borrowed callable, const A&... args) {
  PyObject* argv[] = {nullptr, arg_ptr(args)...};
  return check(PyObject_Vectorcall(callable, argv + 1,
                                   sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr));
}
template <class... A>
inline Ref call_method(Borrowed self, Borrowed name, const A&... args) {
  PyObject* argv[] = {self, arg_ptr(args)...};
  return check(PyObject_VectorcallMethod(
      name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref getattr(Borrowed o, Borrowed name) {
  return check(PyObject_GetAttr(o, name));
}
inline Ref intern(const char* s) {
  return check(PyUnicode_InternFromString(s));
}

}  // namespace pyco
