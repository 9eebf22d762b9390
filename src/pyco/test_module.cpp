// test_module.cpp - _pyco_test, a test-only module: C++20 coroutine bodies
// exposed as Python coroutine functions (and a coroutine method), the
// bridge's live-object counters and its attribute-read trace. It exercises
// pyco on its own, without other modules' code; tests/test_coro_bridge.py
// drives it. It is built only in the test build (where every module is
// compiled with PYCO_STATS, the counters) and installed as a top-level
// module. The bridge's types come from their owner, whose module name the
// build gives as PYCO_TEST_OWNER.
//
// Every body takes its parameters by value (the frame owns them and the
// cycle GC sees the Ref ones); a body that returns a value ends every path in
// co_return; no co_await sits inside a catch handler.
#include <nanobind/nanobind.h>

#include <new>
#include <stdexcept>
#include <string>

#include "pyco/coro.hpp"
#include "pyco/deepcopy.hpp"
#include "pyco/util.hpp"

#ifndef PYCO_STATS
#error "the bridge's test module reads its counters: build it with PYCO_STATS"
#endif
#ifndef PYCO_TEST_OWNER
#error "PYCO_TEST_OWNER: the module that owns the bridge's types"
#endif

namespace {

using pyco::check;
using pyco::check_int;
using pyco::Coro;
using pyco::Frame;
using pyco::Ref;

constexpr const char* kModule = "_pyco_test";

struct Globals {
  Ref sleep;  // asyncio.sleep
  Ref zero;
  Ref s_done;  // "done"
  // Our own coroutine functions, for C++ -> C++ awaits through Python objects.
  Ref sleep_loop_fn, nested_fn, inlined_fn;
};
// Never destroyed: Ref members of a static would be decref'ed by C++ static
// destructors after the interpreter has been finalized.
Globals& g = *new Globals;

long long as_ll(PyObject* o) {
  long long v = PyLong_AsLongLong(o);
  if (v == -1 && PyErr_Occurred()) pyco::throw_current();
  return v;
}

// ===========================================================================
// Coroutines. Each body is followed by its argument parser (the CoroImpl).

// async def sleep_loop(n, delay=0):
//     for _ in range(n): await asyncio.sleep(delay)
//     return n
Coro sleep_loop_body(Ref n, Ref delay) {
  const long long count = as_ll(n.get());
  for (long long i = 0; i < count; ++i) co_await pyco::call(g.sleep.get(), delay);
  co_return n;
}
Frame sleep_loop(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[2];
  pyco::parse_args("sleep_loop", a, na, kw, {"n", "delay"}, 1, p);
  if (!p[1]) p[1] = g.zero;
  return sleep_loop_body(std::move(p[0]), std::move(p[1]));
}

// n bare yields (an allocation-free sleep(0) each); returns n
Coro yield_loop_body(Ref n) {
  const long long count = as_ll(n.get());
  for (long long i = 0; i < count; ++i) co_await pyco::yield_now();
  co_return n;
}
Frame yield_loop(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[1];
  pyco::parse_args("yield_loop", a, na, kw, {"n"}, 1, p);
  return yield_loop_body(std::move(p[0]));
}

// async def trivial(): return None
Coro trivial_body() { co_return pyco::none(); }
Frame trivial(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  pyco::parse_args("trivial", a, na, kw, {}, 0, nullptr);
  return trivial_body();
}

// async def add(a, b): return a + b
Coro add_body(Ref x, Ref y) { co_return check(PyNumber_Add(x.get(), y.get())); }
Frame add(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[2];
  pyco::parse_args("add", a, na, kw, {"a", "b"}, 2, p);
  return add_body(std::move(p[0]), std::move(p[1]));
}

// async def await_it(aw): return await aw
Coro await_it_body(Ref aw) { co_return co_await std::move(aw); }
Frame await_it(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[1];
  pyco::parse_args("await_it", a, na, kw, {"aw"}, 1, p);
  return await_it_body(std::move(p[0]));
}

// async def await_all(aws): return [await aw for aw in aws]
Coro await_all_body(Ref aws) {
  Ref out = check(PyList_New(0));
  Ref seq = check(PySequence_List(aws.get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq.get()); ++i) {
    Ref r = co_await Ref::borrow(PyList_GET_ITEM(seq.get(), i));
    check_int(PyList_Append(out.get(), r.get()));
  }
  co_return out;
}
Frame await_all(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[1];
  pyco::parse_args("await_all", a, na, kw, {"aws"}, 1, p);
  return await_all_body(std::move(p[0]));
}

// async def call_await_loop(n, fn):
//     for _ in range(n): await fn()
//     return n
Coro call_await_loop_body(Ref n, Ref fn) {
  const long long count = as_ll(n.get());
  for (long long i = 0; i < count; ++i) co_await pyco::call(fn.get());
  co_return n;
}
Frame call_await_loop(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[2];
  pyco::parse_args("call_await_loop", a, na, kw, {"n", "fn"}, 2, p);
  return call_await_loop_body(std::move(p[0]), std::move(p[1]));
}

// async def catch_loop(n, fn):
//     caught = 0
//     for _ in range(n):
//         try: await fn()
//         except Exception: caught += 1
//     return caught
Coro catch_loop_body(Ref n, Ref fn) {
  const long long count = as_ll(n.get());
  long long caught = 0;
  for (long long i = 0; i < count; ++i) {
    try {
      co_await pyco::call(fn.get());
    } catch (const pyco::Exception&) {
      ++caught;
    }
  }
  co_return check(PyLong_FromLongLong(caught));
}
Frame catch_loop(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[2];
  pyco::parse_args("catch_loop", a, na, kw, {"n", "fn"}, 2, p);
  return catch_loop_body(std::move(p[0]), std::move(p[1]));
}

// catch_loop written with pyco::try_await: no C++ throw on the error path.
Coro catch_loop_nothrow_body(Ref n, Ref fn) {
  const long long count = as_ll(n.get());
  long long caught = 0;
  for (long long i = 0; i < count; ++i) {
    pyco::Outcome r = co_await pyco::try_await(pyco::call(fn.get()));
    if (!r.ok()) ++caught;  // an Exception; CancelledError was thrown instead
  }
  co_return check(PyLong_FromLongLong(caught));
}
Frame catch_loop_nothrow(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[2];
  pyco::parse_args("catch_loop_nothrow", a, na, kw, {"n", "fn"}, 2, p);
  return catch_loop_nothrow_body(std::move(p[0]), std::move(p[1]));
}

// async def nested(depth, n):
//     if depth <= 0: return await sleep_loop(n)
//     return await nested(depth - 1, n)
Coro nested_body(Ref depth, Ref n) {
  const long long d = as_ll(depth.get());
  if (d <= 0) co_return co_await pyco::call(g.sleep_loop_fn.get(), n);
  Ref dm1 = check(PyLong_FromLongLong(d - 1));
  co_return co_await pyco::call(g.nested_fn.get(), dm1, n);
}
Frame nested(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[2];
  pyco::parse_args("nested", a, na, kw, {"depth", "n"}, 2, p);
  return nested_body(std::move(p[0]), std::move(p[1]));
}

// async def inlined(depth, aw):
//     if depth <= 0: return await aw
//     return (depth, await inlined(depth - 1, aw))
// with each inner level awaited inline: no coroutine object is made for a
// level unless it suspends.
Coro inlined_body(Ref depth, Ref aw) {
  const long long d = as_ll(depth.get());
  if (d <= 0) co_return co_await std::move(aw);
  Ref dm1 = check(PyLong_FromLongLong(d - 1));
  Ref r = co_await pyco::inline_await(inlined_body(dm1, aw), g.inlined_fn.get());
  co_return check(Py_BuildValue("(LO)", d, r.get()));
}
Frame inlined(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[2];
  pyco::parse_args("inlined", a, na, kw, {"depth", "aw"}, 2, p);
  return inlined_body(std::move(p[0]), std::move(p[1]));
}

Coro raise_after_body(Ref aw, Ref exc);

// async def inline_raise(aw, exc): return await raise_after(aw, exc), the
// inner one awaited inline (an unnamed frame: named by the text given).
Coro inline_raise_body(Ref aw, Ref exc) {
  co_return co_await pyco::inline_await(raise_after_body(aw, exc), nullptr, "raise_after");
}
Frame inline_raise(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[2];
  pyco::parse_args("inline_raise", a, na, kw, {"aw", "exc"}, 2, p);
  return inline_raise_body(std::move(p[0]), std::move(p[1]));
}

// async def catch_exception(aw):
//     try: r = await aw
//     except Exception as e: return ("caught", e)
//     return ("ok", r)
Coro catch_exception_body(Ref aw) {
  Ref caught;
  try {
    Ref r = co_await std::move(aw);
    co_return check(Py_BuildValue("(sO)", "ok", r.get()));
  } catch (const pyco::Exception& e) {
    caught = Ref::borrow(e.value());  // no co_await allowed inside a handler
  }
  co_return check(Py_BuildValue("(sO)", "caught", caught.get()));
}
Frame catch_exception(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[1];
  pyco::parse_args("catch_exception", a, na, kw, {"aw"}, 1, p);
  return catch_exception_body(std::move(p[0]));
}

// async def log_and_reraise(aw, log):
//     try: return await aw
//     except BaseException as e:
//         log.append(type(e).__name__)
//         raise
Coro log_and_reraise_body(Ref aw, Ref log) {
  try {
    co_return co_await std::move(aw);
  } catch (const pyco::BaseException& e) {
    Ref name = check(PyObject_GetAttrString((PyObject*)Py_TYPE(e.value()), "__name__"));
    check_int(PyList_Append(log.get(), name.get()));
    throw;
  }
}
Frame log_and_reraise(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[2];
  pyco::parse_args("log_and_reraise", a, na, kw, {"aw", "log"}, 2, p);
  return log_and_reraise_body(std::move(p[0]), std::move(p[1]));
}

// async def raise_after(aw, exc): await aw; raise exc
Coro raise_after_body(Ref aw, Ref exc) {
  co_await std::move(aw);
  pyco::throw_exc(exc);
}
Frame raise_after(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[2];
  pyco::parse_args("raise_after", a, na, kw, {"aw", "exc"}, 2, p);
  return raise_after_body(std::move(p[0]), std::move(p[1]));
}

// Suspends once, then throws a plain C++ exception: 0 std::runtime_error,
// 1 std::bad_alloc, anything else an int.
Coro throw_cpp_body(Ref kind) {
  co_await pyco::yield_now();
  const long long k = as_ll(kind.get());
  if (k == 0) throw std::runtime_error("boom from C++");
  if (k == 1) throw std::bad_alloc();
  throw 42;
}
Frame throw_cpp(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[1];
  pyco::parse_args("throw_cpp", a, na, kw, {"kind"}, 1, p);
  return throw_cpp_body(std::move(p[0]));
}

// RAII probe: calls on_destroy() from a destructor that lives in the frame,
// so the tests see when (and whether) the frame's locals are destroyed.
struct Probe {
  Ref cb;
  ~Probe() {
    PyObject* saved = PyErr_GetRaisedException();
    PyObject* r = PyObject_CallNoArgs(cb.get());
    if (!r) PyErr_WriteUnraisable(cb.get());
    Py_XDECREF(r);
    PyErr_SetRaisedException(saved);
  }
};
Coro raii_probe_body(Ref aw, Ref on_destroy) {
  Probe probe{on_destroy};
  co_return co_await std::move(aw);
}
Frame raii_probe(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[2];
  pyco::parse_args("raii_probe", a, na, kw, {"aw", "on_destroy"}, 2, p);
  return raii_probe_body(std::move(p[0]), std::move(p[1]));
}

// Generator-style: yields each value, returns the list of values sent back.
Coro yield_values_body(Ref values) {
  Ref seq = check(PySequence_List(values.get()));
  Ref got = check(PyList_New(0));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq.get()); ++i) {
    Ref sent = co_await pyco::YieldValue{Ref::borrow(PyList_GET_ITEM(seq.get(), i))};
    check_int(PyList_Append(got.get(), sent.get()));
  }
  co_return got;
}
Frame yield_values(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[1];
  pyco::parse_args("yield_values", a, na, kw, {"values"}, 1, p);
  return yield_values_body(std::move(p[0]));
}

// Swallows GeneratorExit and suspends again: close() must raise RuntimeError.
Coro ignore_exit_body() {
  try {
    co_await pyco::yield_now();
  } catch (const pyco::BaseException&) {
  }
  co_await pyco::yield_now();
  co_return pyco::none();
}
Frame ignore_exit(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  pyco::parse_args("ignore_exit", a, na, kw, {}, 0, nullptr);
  return ignore_exit_body();
}

// Worker.work, a coroutine method:
//     async def work(self, n=1):
//         for _ in range(n): await asyncio.sleep(0)
//         self.done = getattr(self, "done", 0) + n
//         return self
Coro worker_work_body(Ref self, Ref n) {
  const long long count = as_ll(n.get());
  for (long long i = 0; i < count; ++i) co_await pyco::call(g.sleep.get(), g.zero);
  PyObject* done_raw = nullptr;
  check_int(PyObject_GetOptionalAttr(self.get(), g.s_done.get(), &done_raw));
  Ref done = done_raw ? Ref::steal(done_raw) : g.zero;
  Ref total = check(PyNumber_Add(done.get(), n.get()));
  check_int(PyObject_SetAttr(self.get(), g.s_done.get(), total.get()));
  co_return self;
}
Frame worker_work(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[2];
  pyco::parse_args("work", a, na, kw, {"self", "n"}, 1, p);
  if (!p[1]) p[1] = check(PyLong_FromLong(1));
  return worker_work_body(std::move(p[0]), std::move(p[1]));
}

// ===========================================================================
// Plain functions: counters and the attribute-read trace.

PyObject* lock_layout_known(PyObject*, PyObject*) {
  return PyBool_FromLong(pyco::lock_layout_known());
}

PyObject* is_plain_coroutine_function(PyObject*, PyObject* f) {
  return PyBool_FromLong(pyco::is_plain_coroutine_function(f));
}

// features() -> tuple: what this module's copy of pyco was compiled with.
PyObject* features(PyObject*, PyObject*) {
  return pyco::kFeatures & pyco::kFeatureStats ? Py_BuildValue("(s)", "stats") : PyTuple_New(0);
}

PyObject* stats(PyObject*, PyObject*) {
  const pyco::Stats& s = pyco::stats();
  return Py_BuildValue("{sLsLsLsLsLsLsLsL}", "frames_live", s.frames_live, "objects_live",
                       s.objects_live, "am_send", s.am_send, "iternext", s.iternext, "send",
                       s.send, "throw", s.throw_, "close", s.close, "am_await", s.am_await);
}
// Zeroes the slot-call counts; the live counters are never reset.
PyObject* reset_stats(PyObject*, PyObject*) {
  pyco::Stats& s = pyco::stats();
  s.am_send = s.iternext = s.send = s.throw_ = s.close = s.am_await = 0;
  Py_RETURN_NONE;
}
PyObject* trace_attrs(PyObject*, PyObject* arg) {
  if (arg != Py_None && !PySet_Check(arg)) {
    PyErr_SetString(PyExc_TypeError, "trace_attrs() takes a set or None");
    return nullptr;
  }
  pyco::set_attr_trace(arg == Py_None ? nullptr : arg);
  Py_RETURN_NONE;
}

// deepcopy(obj, memo=None): pyco::deepcopy, i.e. copy.deepcopy(obj, memo).
PyObject* deepcopy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return pyco::guard([&]() -> PyObject* {
    Ref p[2];
    pyco::parse_args("deepcopy", args, nargs, kwnames, {"obj", "memo"}, 1, p);
    return pyco::deepcopy(p[0].get(), p[1].get()).release();
  });
}

PyMethodDef plain_functions[] = {
    {"lock_layout_known", lock_layout_known, METH_NOARGS,
     "lock_layout_known() -> bool: whether a free threading.Lock is taken without acquire()."},
    {"is_plain_coroutine_function", is_plain_coroutine_function, METH_O,
     "is_plain_coroutine_function(f) -> bool: a coroutine function of the bridge whose "
     "__dict__ holds its coroutine mark alone."},
    {"features", features, METH_NOARGS,
     "features() -> tuple: the bridge's compiled-in extras (\"stats\": counters and trace)."},
    {"stats", stats, METH_NOARGS,
     "stats() -> dict: live frames and coroutine objects of every module and slot call "
     "counts (the counters are shared with the owner of the types)."},
    {"reset_stats", reset_stats, METH_NOARGS, "reset_stats(): zero the slot call counts."},
    {"trace_attrs", trace_attrs, METH_O,
     "trace_attrs(set | None): record the names of attributes read on coroutine objects."},
    {"deepcopy", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(deepcopy)),
     METH_FASTCALL | METH_KEYWORDS,
     "deepcopy(obj, memo=None): copy.deepcopy(obj, memo), done by pyco::deepcopy."},
    {nullptr, nullptr, 0, nullptr}};

// ===========================================================================
// Worker: a plain class with a __dict__ and a coroutine method.

int worker_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return PyObject_VisitManagedDict(self, visit, arg);
}
int worker_clear(PyObject* self) {
  PyObject_ClearManagedDict(self);
  return 0;
}
void worker_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  PyObject_ClearManagedDict(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

void add_worker_class(PyObject* m) {
  PyType_Slot slots[] = {{Py_tp_traverse, (void*)worker_traverse},
                         {Py_tp_clear, (void*)worker_clear},
                         {Py_tp_dealloc, (void*)worker_dealloc},
                         {Py_tp_doc, (void*)"Plain class whose method work() is a C++ coroutine."},
                         {0, nullptr}};
  PyType_Spec spec = {"_pyco_test.Worker", 0, 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_MANAGED_DICT |
                          Py_TPFLAGS_HAVE_GC,
                      slots};
  Ref type = check(PyType_FromModuleAndSpec(m, &spec, nullptr));
  Ref work = check(pyco::new_function(worker_work, "work", "Worker.work", kModule,
                                      "work(self, n=1): n event-loop turns, then self.done += n"));
  check_int(PyObject_SetAttrString(type.get(), "work", work.get()));
  check_int(PyModule_AddObjectRef(m, "Worker", type.get()));
}

void init(PyObject* m) {
  if (pyco::import_api(PYCO_TEST_OWNER) < 0 || pyco::add_types(m) < 0) pyco::throw_current();
  pyco::init_util();  // lock_layout_known() reports what this copy of pyco found
  Ref asyncio = check(PyImport_ImportModule("asyncio"));
  g.sleep = check(PyObject_GetAttrString(asyncio.get(), "sleep"));
  g.zero = check(PyLong_FromLong(0));
  g.s_done = pyco::intern("done");

  struct Fn {
    const char* name;
    pyco::CoroImpl impl;
    Ref* keep;
  };
  const Fn fns[] = {
      {"sleep_loop", sleep_loop, &g.sleep_loop_fn},
      {"yield_loop", yield_loop, nullptr},
      {"trivial", trivial, nullptr},
      {"add", add, nullptr},
      {"await_it", await_it, nullptr},
      {"await_all", await_all, nullptr},
      {"call_await_loop", call_await_loop, nullptr},
      {"catch_loop", catch_loop, nullptr},
      {"catch_loop_nothrow", catch_loop_nothrow, nullptr},
      {"nested", nested, &g.nested_fn},
      {"inlined", inlined, &g.inlined_fn},
      {"inline_raise", inline_raise, nullptr},
      {"catch_exception", catch_exception, nullptr},
      {"log_and_reraise", log_and_reraise, nullptr},
      {"raise_after", raise_after, nullptr},
      {"throw_cpp", throw_cpp, nullptr},
      {"raii_probe", raii_probe, nullptr},
      {"yield_values", yield_values, nullptr},
      {"ignore_exit", ignore_exit, nullptr},
  };
  for (const Fn& f : fns) {
    Ref fo = check(pyco::new_function(f.impl, f.name, nullptr, kModule, nullptr));
    check_int(PyModule_AddObjectRef(m, f.name, fo.get()));
    if (f.keep) *f.keep = fo;
  }
  add_worker_class(m);
  check_int(PyModule_AddFunctions(m, plain_functions));
}

}  // namespace

NB_MODULE(_pyco_test, m) {
  m.doc() =
      "Test-only coroutines of the C++ coroutine bridge (pyco): C++20 coroutine bodies that "
      "are Python coroutines, the bridge's live-object counters and an attribute-read trace.";
  try {
    init(m.ptr());
  } catch (const pyco::BaseException& e) {
    e.restore();
    throw nanobind::python_error();
  }
}
