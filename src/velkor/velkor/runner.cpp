// runner.cpp - class Real_tasks: an asyncio event loop driven by its own
// daemon thread, and the job through which other threads hand it work.
#include "runner.hpp"

#include "common/keys.hpp"
#include "pyco/method.hpp"

#include <vector>

namespace velkor {

Runner* runner_of(PyObject* obj) {
  Runner* r = nullptr;
  if (nb::try_cast<Runner*>(nb::handle(obj), r, false)) return r;
  return nullptr;
}

Ref loop_thread_key(PyObject* node, PyObject* name) {
  return velkor_common::key_of(node, name);
}

bool never_started(PyObject* runner) {
  Runner* r = runner_of(runner);
  return r && r->phase.load() == Runner::kRegistered;
}

bool on_runner_thread(PyObject* runner) {
  Runner* r = runner_of(runner);
  return r && r->thread_id.load(std::memory_order_relaxed) == PyThread_get_thread_ident();
}

namespace {

std::atomic<int> g_live_threads{0};

int phase_of(PyObject* runner_obj) {
  Runner* r = runner_of(runner_obj);
  return r ? r->phase.load() : Runner::kRunning;
}

// ---------------------------------------------------------------------------
// The job: a callable queued with loop.call_soon_threadsafe. It holds the
// recipe of a coroutine (func, args, kwargs), not the coroutine itself.

// The type of an internal object that the loop calls (through vectorcall)
// and that the garbage collector traverses.
PyTypeObject internal_callable_type(const char* name, Py_ssize_t size, Py_ssize_t vectorcall_offset,
                                    destructor dealloc, traverseproc traverse, inquiry clear,
                                    const char* doc) {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = name;
  t.tp_basicsize = size;
  t.tp_dealloc = dealloc;
  t.tp_vectorcall_offset = vectorcall_offset;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
  t.tp_traverse = traverse;
  t.tp_clear = clear;
  t.tp_doc = doc;
  return t;
}

enum JobKind : int {
  kJobTask = 0,       // func(*args, **kwargs) is a coroutine, run as an eager asyncio task
  kJobNamedTask = 1,  // ... scheduled with loop.create_task(coro, name=name)
  kJobCall = 2,       // func(*args, **kwargs) is a plain call on the loop thread
};

struct JobObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  int kind;
  // kJobNamedTask: set by the batch before the call when the step may start
  // at once; cleared by the call when the step's first turn was left queued.
  bool eager;
  PyObject* name;  // kJobNamedTask: the task's name
  PyObject* runner;
  PyObject* loop;
  PyObject* func;
  PyObject* args;    // tuple
  PyObject* kwargs;  // dict or null
};

PyObject* g_consume = nullptr;  // C function: retrieves a finished task's outcome

// Done callback of the tasks that jobs create: reads the outcome so that
// asyncio does not log "exception was never retrieved" for work whose result
// nobody asked for (the futures of a submission are dropped by design).
PyObject* consume_outcome(PyObject*, PyObject* fut) {
  Ref cancelled = Ref::steal(PyObject_CallMethodNoArgs(fut, g().s_cancelled.get()));
  if (!cancelled) return nullptr;
  if (cancelled.get() == Py_False) {
    Ref exc = Ref::steal(PyObject_CallMethodNoArgs(fut, g().s_exception.get()));
    if (!exc) return nullptr;
  }
  Py_RETURN_NONE;
}
PyMethodDef consume_def = {"_consume_outcome", consume_outcome, METH_O, nullptr};

PyObject* g_base_create_task = nullptr;  // asyncio.BaseEventLoop.create_task
PyObject* g_uv_create_task = nullptr;    // uvloop.Loop.create_task, once uvloop is loaded
PyObject* g_kw_loop_name = nullptr;      // ("loop", "name")
PyObject* g_kw_loop_name_eager = nullptr;  // ("loop", "name", "eager_start")
PyObject* g_s_get_task_factory = nullptr;
PyObject* g_s_get_debug = nullptr;
PyObject* g_s_uvloop = nullptr;
PyObject* g_s_Loop = nullptr;

// Whether `method` (a loop class's create_task) is asyncio's or uvloop's own.
bool library_create_task(PyObject* method) {
  if (method == g_base_create_task) return true;
  if (!g_uv_create_task) {
    Ref uv = Ref::steal(PyImport_GetModule(g_s_uvloop));  // loaded by the application, or not
    if (!uv) {
      PyErr_Clear();
      return false;
    }
    PyObject* loop_type = nullptr;
    if (PyObject_GetOptionalAttr(uv.get(), g_s_Loop, &loop_type) <= 0) {
      PyErr_Clear();
      return false;
    }
    Ref lt = Ref::steal(loop_type);
    PyObject* m = nullptr;
    if (PyObject_GetOptionalAttr(lt.get(), g().s_create_task.get(), &m) <= 0) {
      PyErr_Clear();
      return false;
    }
    g_uv_create_task = m;  // held for good: compared by identity
  }
  return method == g_uv_create_task;
}

}  // namespace

PyObject* create_named_task(PyObject* loop, PyObject* coro, PyObject* name, bool eager,
                            bool* started) {
  if (started) *started = false;
  PyObject* method = nullptr;
  if (PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(Py_TYPE(loop)),
                               g().s_create_task.get(), &method) < 0)
    return nullptr;
  Ref m = Ref::steal(method);
  if (m && library_create_task(m.get())) {
    Ref factory = Ref::steal(PyObject_CallMethodNoArgs(loop, g_s_get_task_factory));
    if (!factory) return nullptr;
    Ref debug = Ref::steal(PyObject_CallMethodNoArgs(loop, g_s_get_debug));
    if (!debug) return nullptr;
    if (factory.get() == Py_None && debug.get() == Py_False) {
      if (eager) {
        if (started) *started = true;
        PyObject* argv[] = {coro, loop, name, Py_True};
        return PyObject_Vectorcall(g().Task.get(), argv, 1, g_kw_loop_name_eager);
      }
      PyObject* argv[] = {coro, loop, name};
      return PyObject_Vectorcall(g().Task.get(), argv, 1, g_kw_loop_name);
    }
  }
  PyObject* argv[] = {loop, coro, name};
  return PyObject_VectorcallMethod(g().s_create_task.get(), argv,
                                   2 | PY_VECTORCALL_ARGUMENTS_OFFSET, g().kw_name.get());
}

namespace {

PyObject* job_run(PyObject* self, PyObject* const*, size_t nargsf, PyObject*) {
  if (PyVectorcall_NARGS(nargsf) != 0) {
    PyErr_SetString(PyExc_TypeError, "a runner job takes no arguments");
    return nullptr;
  }
  return pyco::guard([&]() -> PyObject* {
    auto* job = reinterpret_cast<JobObject*>(self);
    // A loop that is closing runs no new work: the job is dropped unbuilt.
    if (phase_of(job->runner) >= Runner::kClosing) return Py_NewRef(Py_None);
    // Failures go nowhere, as in a task whose future is dropped; only
    // KeyboardInterrupt and SystemExit leave the loop, as from any task.
    auto dropped = []() -> PyObject* {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
      PyErr_Clear();
      return Py_NewRef(Py_None);
    };
    Ref coro = Ref::steal(PyObject_Call(job->func, job->args, job->kwargs));
    if (!coro) return dropped();
    if (job->kind == kJobCall) return Py_NewRef(Py_None);
    if (job->kind == kJobNamedTask) {
      bool started = false;
      Ref task = Ref::steal(create_named_task(job->loop, coro.get(), job->name, job->eager,
                                              &started));
      job->eager = started;
      if (!task) return dropped();
      return Py_NewRef(Py_None);
    }
    Ref task = vcall_kw(g().Task.get(), {coro.get(), job->loop, Py_True}, g().kw_loop_eager.get());
    Ref done = pyco::call_method(task.get(), g().s_done.get());
    if (done.get() == Py_True) {
      Ref r = check(consume_outcome(nullptr, task.get()));
    } else {
      Ref cb = Ref::borrow(g_consume);
      pyco::call_method(task.get(), g().s_add_done_callback.get(), cb);
    }
    return Py_NewRef(Py_None);
  });
}

int job_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* job = reinterpret_cast<JobObject*>(self);
  Py_VISIT(job->name);
  Py_VISIT(job->runner);
  Py_VISIT(job->loop);
  Py_VISIT(job->func);
  Py_VISIT(job->args);
  Py_VISIT(job->kwargs);
  return 0;
}
int job_clear(PyObject* self) {
  auto* job = reinterpret_cast<JobObject*>(self);
  Py_CLEAR(job->name);
  Py_CLEAR(job->runner);
  Py_CLEAR(job->loop);
  Py_CLEAR(job->func);
  Py_CLEAR(job->args);
  Py_CLEAR(job->kwargs);
  return 0;
}
void job_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  job_clear(self);
  PyObject_GC_Del(self);
}

PyTypeObject Job_Type = internal_callable_type("velkor.runner_job", sizeof(JobObject),
                                               offsetof(JobObject, vectorcall), job_dealloc,
                                               job_traverse, job_clear,
                                               "Work queued for a runner's loop (internal).");

// ---------------------------------------------------------------------------
// The batch: what one wake-up of a runner's loop runs. A submission while a
// batch of that runner is queued and has not started joins it; otherwise it
// makes a new batch and queues it with loop.call_soon_threadsafe. The batch
// object is owned by the loop's ready queue (the runner only points to it),
// so every reference of the cycle runner -> loop -> batch -> job -> runner is
// one the garbage collector sees, and closing the loop drops what it holds.

struct BatchObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* runner;
  std::vector<PyObject*> jobs;  // owned references, in submission order
};

void batch_detach(BatchObject* b) {
  if (!b->runner) return;
  Runner* r = runner_of(b->runner);
  if (r && r->batch == reinterpret_cast<PyObject*>(b)) r->batch = nullptr;
}

void enqueue(PyObject* runner, Ref job);

// Put jobs that a failing batch did not run in front of the runner's next
// batch, queuing one if there is none, so that they still run in order.
void requeue_front(PyObject* runner, std::vector<PyObject*>& rest) {
  Runner* r = runner_of(runner);
  if (r && r->batch) {
    auto* next = reinterpret_cast<BatchObject*>(r->batch);
    next->jobs.insert(next->jobs.begin(), rest.begin(), rest.end());
    rest.clear();
    return;
  }
  PyObject* saved = PyErr_GetRaisedException();
  for (PyObject* job : rest) {
    Ref j = Ref::steal(job);
    Ref r2 = Ref::steal(pyco::guard([&] {
      enqueue(runner, std::move(j));
      return Py_NewRef(Py_None);
    }));
    if (!r2) PyErr_WriteUnraisable(runner);
  }
  rest.clear();
  PyErr_SetRaisedException(saved);
}

// Marker queued behind steps whose first turn was left queued: when it
// runs, their first turns have run (the loop's ready queue is first in,
// first out).
PyObject* steps_queued_done(PyObject* runner, PyObject*) {
  if (Runner* r = runner_of(runner); r && r->queued_steps > 0) --r->queued_steps;
  Py_RETURN_NONE;
}
PyMethodDef steps_queued_done_def = {"_steps_queued_done", steps_queued_done, METH_NOARGS,
                                     nullptr};

// Which steps of a batch start at once. A step's first turn, left queued,
// would run after everything already in the loop's ready queue; started at
// once it runs now. Nothing the engine promises tells the two apart, except
// the order of the runner's own work: a step starts at once only when every
// job after it in the batch is a step too (so a cancellation or an event
// update submitted after it still comes first, as it would), and when no
// step queued earlier can still be waiting for its first turn (so steps keep
// their order).
PyObject* batch_run(PyObject* self, PyObject* const*, size_t nargsf, PyObject*) {
  if (PyVectorcall_NARGS(nargsf) != 0) {
    PyErr_SetString(PyExc_TypeError, "a runner batch takes no arguments");
    return nullptr;
  }
  auto* b = reinterpret_cast<BatchObject*>(self);
  batch_detach(b);  // from now on, submissions make a new batch
  std::vector<PyObject*> jobs;
  jobs.swap(b->jobs);
  Ref keep = Ref::borrow(b->runner);
  Runner* runner = runner_of(keep.get());
  size_t tail = jobs.size();  // jobs[tail:] are all steps
  while (tail > 0 && reinterpret_cast<JobObject*>(jobs[tail - 1])->kind == kJobNamedTask) --tail;
  bool left_queued = false;  // a step of this batch left its first turn queued
  Ref loop = jobs.empty() ? Ref() : Ref::borrow(reinterpret_cast<JobObject*>(jobs[0])->loop);
  auto mark = [&]() {
    if (!left_queued || !runner) return;
    Ref marker = Ref::steal(PyCFunction_New(&steps_queued_done_def, keep.get()));
    PyObject* saved = PyErr_GetRaisedException();
    Ref queued = marker ? Ref::steal(PyObject_CallMethodOneArg(loop.get(), g().s_call_soon.get(),
                                                               marker.get()))
                        : Ref();
    if (queued) {
      ++runner->queued_steps;
    } else {
      PyErr_Clear();  // a closed loop runs nothing more
    }
    PyErr_SetRaisedException(saved);
  };
  for (size_t i = 0; i < jobs.size(); ++i) {
    PyObject* job = jobs[i];
    auto* j = reinterpret_cast<JobObject*>(job);
    const bool step = j->kind == kJobNamedTask;
    if (step) j->eager = runner && i >= tail && !left_queued && runner->queued_steps == 0;
    PyObject* res = PyObject_Vectorcall(job, nullptr, 0, nullptr);
    if (step && !j->eager) left_queued = true;
    if (res) {
      Py_DECREF(res);
    } else if (PyErr_ExceptionMatches(PyExc_Exception)) {
      PyErr_WriteUnraisable(job);  // as a failing loop callback: reported, the others run
    } else {
      // KeyboardInterrupt, SystemExit: it leaves the loop, as it would
      // from any callback; the jobs not yet run stay queued.
      mark();
      Py_DECREF(job);
      std::vector<PyObject*> rest(jobs.begin() + static_cast<std::ptrdiff_t>(i) + 1, jobs.end());
      requeue_front(keep.get(), rest);
      return nullptr;
    }
    Py_DECREF(job);
  }
  mark();
  return Py_NewRef(Py_None);
}

int batch_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* b = reinterpret_cast<BatchObject*>(self);
  Py_VISIT(b->runner);
  for (PyObject* job : b->jobs) Py_VISIT(job);
  return 0;
}
int batch_clear(PyObject* self) {
  auto* b = reinterpret_cast<BatchObject*>(self);
  batch_detach(b);
  std::vector<PyObject*> jobs;
  jobs.swap(b->jobs);
  for (PyObject* job : jobs) Py_DECREF(job);
  Py_CLEAR(b->runner);
  return 0;
}
void batch_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  batch_clear(self);
  reinterpret_cast<BatchObject*>(self)->jobs.~vector();
  PyObject_GC_Del(self);
}

PyTypeObject Batch_Type = internal_callable_type(
    "velkor.runner_batch", sizeof(BatchObject), offsetof(BatchObject, vectorcall),
    batch_dealloc, batch_traverse, batch_clear,
    "Jobs that one wake-up of a runner's loop runs, in order (internal).");

// ---------------------------------------------------------------------------
// Coroutine methods.

Ref loop_of(PyObject* self) { return pyco::getattr(self, g().s_loop.get()); }

bool name_is(PyObject* task, PyObject* name) {
  Ref n = pyco::call_method(task, g().s_get_name.get());
  return check_int(PyObject_RichCompareBool(n.get(), name, Py_EQ)) != 0;
}

// asyncio.gather(*tasks, return_exceptions=True) for a list of tasks: done
// when every one of them has finished, whatever its outcome.
Ref gather_settled(PyObject* tasks) {
  const Py_ssize_t n = PyList_GET_SIZE(tasks);
  std::vector<PyObject*> argv(n + 1);
  for (Py_ssize_t i = 0; i < n; ++i) argv[i] = PyList_GET_ITEM(tasks, i);
  argv[n] = Py_True;
  return check(PyObject_Vectorcall(g().gather.get(), argv.data(), n,
                                   g().kw_return_exceptions.get()));
}

// _stop(): cancel and await every other task of this loop, stop the loop,
// then cancel the registered tasks bound to this runner.
pyco::CoroNone stop_body(Ref self) {
  if (Runner* r = runner_of(self.get())) r->stopping = true;
  Ref loop = loop_of(self.get());
  Ref pending = pyco::call(g().all_tasks.get(), loop);
  Ref remembered = check(PyList_New(0));
  {
    Ref it = check(PyObject_GetIter(pending.get()));
    while (Ref t = Ref::steal(PyIter_Next(it.get()))) {
      if (name_is(t.get(), g().s_stop.get())) continue;
      check_int(PyList_Append(remembered.get(), t.get()));
      pyco::call_method(t.get(), g().s_cancel.get());
    }
    if (PyErr_Occurred()) pyco::throw_current();
  }
  Ref gathering = gather_settled(remembered.get());
  co_await std::move(gathering);
  pyco::call_method(loop.get(), g().s_stop.get());
  // From here on nothing is awaited: the loop stops at the end of this
  // iteration. Tasks are matched by the runner object itself, so a runner
  // that replaced this one under the same key keeps its tasks.
  Ref tasks = state_attr(g().s_Tasks.get());
  Ref keys = check(PySequence_List(tasks.get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    PyObject* key = PyList_GET_ITEM(keys.get(), i);
    PyObject* task = nullptr;
    if (check_int(PyDict_GetItemRef(tasks.get(), key, &task)) == 0) continue;
    Ref t = Ref::steal(task);
    PyObject* bound = nullptr;
    if (PyObject_GetOptionalAttr(t.get(), g().s_loop_thread.get(), &bound) < 0) {
      PyErr_Clear();
      continue;
    }
    Ref b = Ref::steal(bound);
    if (b.get() != self.get()) continue;
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(t.get(), g().s_cancel.get()));
    if (!r) PyErr_WriteUnraisable(t.get());  // one failing task does not keep the others
  }
}

pyco::Frame stop_impl(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[1];
  pyco::parse_args("_stop", a, na, kw, {"self"}, 1, p);
  return stop_body(std::move(p[0]));
}

// cancel_task(name): cancel every task of this loop with that name.
pyco::CoroNone cancel_task_body(Ref self, Ref name) {
  Ref loop = loop_of(self.get());
  Ref pending = pyco::call(g().all_tasks.get(), loop);
  Ref it = check(PyObject_GetIter(pending.get()));
  while (Ref t = Ref::steal(PyIter_Next(it.get())))
    if (name_is(t.get(), name.get())) pyco::call_method(t.get(), g().s_cancel.get());
  if (PyErr_Occurred()) pyco::throw_current();
  co_return;
}

pyco::Frame cancel_task_impl(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[2];
  pyco::parse_args("cancel_task", a, na, kw, {"self", "name"}, 2, p);
  return cancel_task_body(std::move(p[0]), std::move(p[1]));
}

// append_task(name, task, CPU_bound=False, **kwargs)
pyco::CoroNone append_task_body(Ref self, Ref name, Ref task, Ref cpu, Ref kwargs) {
  Ref loop = loop_of(self.get());
  if (check_int(PyObject_RichCompareBool(cpu.get(), Py_False, Py_EQ))) {
    Ref coro = check(PyObject_Call(task.get(), g().empty_tuple.get(), kwargs.get()));
    vcall_kw(pyco::getattr(loop.get(), g().s_create_task.get()).get(), {coro.get(), name.get()},
             g().kw_name.get());
  } else {
    Ref executor = pyco::getattr(self.get(), g().s_executor.get());
    Ref coro = pyco::call(task.get());
    pyco::call_method(loop.get(), g().s_run_in_executor.get(), executor, g().run, coro);
  }
  co_return;
}

pyco::Frame append_task_impl(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[4], kwargs;
  pyco::parse_args("append_task", a, na, kw, {"self", "name", "task", "CPU_bound"}, 3, p,
                   &kwargs);
  if (!p[3]) p[3] = Ref::borrow(Py_False);
  return append_task_body(std::move(p[0]), std::move(p[1]), std::move(p[2]), std::move(p[3]),
                          std::move(kwargs));
}

// ---------------------------------------------------------------------------
// The thread body. A plain C function, not a nanobind binding: at interpreter
// exit the thread may be ended by a forced unwind passing through this frame,
// and nothing on the way may catch it for good (see pyco/ref.hpp).

void finish_loop(PyObject* loop) {
  // Tasks created after the stop sequence (work that reached the loop in
  // its last iteration) would be destroyed pending: cancel them and let
  // them unwind. Jobs still queued see the closing phase and do nothing.
  Ref pending = pyco::call(g().all_tasks.get(), Ref::borrow(loop));
  if (PySet_GET_SIZE(pending.get()) > 0) {
    Ref list = check(PySequence_List(pending.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i)
      pyco::call_method(PyList_GET_ITEM(list.get(), i), g().s_cancel.get());
    pyco::call_method(loop, g().s_run_until_complete.get(), gather_settled(list.get()));
  }
  Ref agen = pyco::call_method(loop, g().s_shutdown_asyncgens.get());
  pyco::call_method(loop, g().s_run_until_complete.get(), agen);
}

PyObject* run_asyncio_in_thread(PyObject* self, PyObject*) {
  return pyco::guard([&]() -> PyObject* {
    Runner* r = runner_of(self);
    Ref queue = pyco::call(g().PriorityQueue.get());
    check_int(PyObject_SetAttr(self, g().s_append_task_queue.get(), queue.get()));
    Ref loop = loop_of(self);
    pyco::call(g().set_event_loop.get(), loop);
    int expected = Runner::kRegistered;
    if (!r || !r->phase.compare_exchange_strong(expected, Runner::kRunning)) {
      // Started twice, or after closing: asyncio reports it.
      pyco::call_method(loop.get(), g().s_run_forever.get());
      return Py_NewRef(Py_None);
    }
    ++g_live_threads;
    r->thread_id = PyThread_get_thread_ident();
    struct Count {
      Runner* r;
      ~Count() {
        r->thread_id = 0;
        --g_live_threads;
      }
    } count{r};
    Ref ran = Ref::steal(PyObject_CallMethodNoArgs(loop.get(), g().s_run_forever.get()));
    PyObject* err = ran ? nullptr : PyErr_GetRaisedException();
    r->phase = Runner::kClosing;
    Ref finished = Ref::steal(pyco::guard([&] {
      finish_loop(loop.get());
      return Py_NewRef(Py_None);
    }));
    if (!finished) PyErr_WriteUnraisable(loop.get());
    Ref closed = Ref::steal(PyObject_CallMethodNoArgs(loop.get(), g().s_close.get()));
    r->phase = Runner::kClosed;
    if (err) {
      PyErr_SetRaisedException(err);
      pyco::throw_current();
    }
    if (!closed) pyco::throw_current();
    return Py_NewRef(Py_None);
  });
}

PyMethodDef run_in_thread_def = {
    "run_asyncio_in_thread", run_asyncio_in_thread, METH_NOARGS,
    "run_asyncio_in_thread($self, /)\n--\n\nBody of the runner's thread: makes the loop this thread's "
    "current loop and runs it until the stop sequence stops it, then closes it."};

// ---------------------------------------------------------------------------
// Plain methods.

void runner_init(Runner* self, nb::object name) {
  new (self) Runner();
  nb::handle py = nb::find(self);
  // Ready for the engine's own casts at once: the runner is in the shared
  // table before the constructor ends, where other threads may submit to it.
  nb::inst_mark_ready(py);
  PyObject* obj = py.ptr();
  Globals& G = g();
  Ref node = node_name();
  Ref key = loop_thread_key(node.get(), name.ptr());
  check_int(PyObject_SetAttr(obj, G.s_name.get(), key.get()));
  const bool local = velkor_common::key_of_node(key.get(), node.get());
  Ref table = state_attr(G.s_loop_threads.get());
  bool replaces = false;
  if (local) {
    PyObject* old_raw = nullptr;
    check_int(PyDict_GetItemRef(table.get(), key.get(), &old_raw));
    if (Ref old = Ref::steal(old_raw)) {
      replaces = true;
      // A runner already closed cannot be stopped again (its loop would
      // refuse the work): the key is simply reused.
      PyObject* old_loop = nullptr;
      check_int(PyObject_GetOptionalAttr(old.get(), G.s_loop.get(), &old_loop));
      Ref ol = Ref::steal(old_loop);
      bool closed = false;
      if (ol) closed = pyco::call_method(ol.get(), G.s_is_closed.get()).get() == Py_True;
      if (!closed) pyco::call_method(old.get(), G.s_stop.get());
    }
    Ref loop = pyco::call(G.new_event_loop.get());
    check_int(PyObject_SetAttr(obj, G.s_loop.get(), loop.get()));
  }
  check_int(PyObject_SetItem(table.get(), key.get(), obj));
  Ref events = check(PyDict_New());
  check_int(PyObject_SetAttr(obj, G.s_Events_async.get(), events.get()));
  check_int(PyObject_SetAttr(obj, G.s_executor.get(), Py_None));
  if (replaces) send_events_to_new_runner(key.get());
}

// The collector finalizes the objects of a garbage cycle in no set order:
// a selector loop whose self-pipe sockets went first fails to close. What
// is left is its selector, closed here, and the mark that the loop is
// closed, so that its own __del__ does not try again and report the same
// failure.
void close_half_finalized(PyObject* loop) {
  PyErr_Clear();
  PyObject* raw = nullptr;
  if (PyObject_GetOptionalAttrString(loop, "_selector", &raw) > 0) {
    Ref selector = Ref::steal(raw);
    if (selector.get() != Py_None) {
      Ref r = Ref::steal(PyObject_CallMethodNoArgs(selector.get(), g().s_close.get()));
      PyObject_SetAttrString(loop, "_selector", Py_None);
    }
  }
  if (PyObject_HasAttrStringWithError(loop, "_closed") > 0)
    PyObject_SetAttrString(loop, "_closed", Py_True);
  PyErr_Clear();
}

// A runner collected without its loop ever having run closes that loop
// first, while its selector and self-pipe are still whole: nothing could run
// it any more, and left to the garbage collector, the loop's own __del__ may
// come after its sockets were finalized, fail to close, and keep its
// selector open. A runner that ran closes its loop on its own thread. At
// interpreter exit nothing is done: the process gives its descriptors back,
// and the collector may have finalized the loop's sockets already.
void runner_finalize(PyObject* self) {
  if (Py_IsFinalizing() || !never_started(self)) return;
  PyObject* pending = PyErr_GetRaisedException();
  PyObject* raw = nullptr;
  if (PyObject_GetOptionalAttr(self, g().s_loop.get(), &raw) > 0) {
    Ref loop = Ref::steal(raw);
    Ref closed = Ref::steal(PyObject_CallMethodNoArgs(loop.get(), g().s_is_closed.get()));
    Ref running = Ref::steal(PyObject_CallMethodNoArgs(loop.get(), g().s_is_running.get()));
    if (closed.get() == Py_False && running.get() == Py_False) {
      Ref done = Ref::steal(PyObject_CallMethodNoArgs(loop.get(), g().s_close.get()));
      if (!done) close_half_finalized(loop.get());
    }
  }
  PyErr_Clear();
  PyErr_SetRaisedException(pending);
}

Ref runner_stop(PyObject* self_ptr, Ref*) {
  nb::handle self(self_ptr);
  Ref bound = pyco::getattr(self.ptr(), g().s_append_task.get());
  Ref stop_fn = pyco::getattr(self.ptr(), g().s__stop.get());
  Ref kw = check(PyDict_New());
  check_int(PyDict_SetItem(kw.get(), g().s_name.get(), g().s_stop.get()));
  check_int(PyDict_SetItem(kw.get(), g().s_task.get(), stop_fn.get()));
  submit(self.ptr(), std::move(bound), Ref(), std::move(kw));
  return Ref();
}

Ref runner_start(PyObject* self_ptr, Ref*) {
  nb::handle self(self_ptr);
  Globals& G = g();
  Ref target = pyco::getattr(self.ptr(), g().s_run_asyncio_in_thread.get());
  Ref key = pyco::getattr(self.ptr(), G.s_name.get());
  Ref key_text = check(PyObject_Str(key.get()));
  Ref thread_name = check(PyUnicode_FromFormat("velkor runner %U", key_text.get()));
  Ref thread = vcall_kw(G.threading_Thread.get(), {target.get(), Py_True, thread_name.get()},
                        G.kw_target_daemon_name.get());
  pyco::call_method(thread.get(), G.s_start.get());
  return Ref();
}

Ref runner_all_tasks(PyObject* self_ptr, Ref*) {
  nb::handle self(self_ptr);
  Ref tasks = pyco::call(g().all_tasks.get(), loop_of(self.ptr()));
  print_object(tasks.get());
  return Ref();
}

PYCO_METHOD(runner_stop, "stop", 0)
PYCO_METHOD(runner_start, "start", 0)
PYCO_METHOD(runner_all_tasks, "all_tasks", 0)

}  // namespace

int live_runner_threads() { return g_live_threads.load(); }

bool runner_stopping(PyObject* runner) {
  Runner* r = runner_of(runner);
  return r && (r->stopping.load() || r->phase.load() >= Runner::kClosing);
}

namespace {

PyObject* g_append_task = nullptr;  // the engine's own Real_tasks.append_task

Ref make_job(PyObject* runner, int kind, Ref func, Ref args, Ref kwargs, Ref name) {
  Ref loop = loop_of(runner);
  auto* job = PyObject_GC_New(JobObject, &Job_Type);
  if (!job) pyco::throw_current();
  job->vectorcall = job_run;
  job->kind = kind;
  job->eager = false;
  job->name = name.release();
  job->runner = Py_NewRef(runner);
  job->loop = loop.release();
  job->func = func.release();
  job->args = args ? args.release() : Py_NewRef(g().empty_tuple.get());
  job->kwargs = kwargs.release();
  PyObject_GC_Track(job);
  return Ref::steal(reinterpret_cast<PyObject*>(job));
}

// Queue a job on its runner's loop: into the pending batch if there is one,
// else in a new batch with one call_soon_threadsafe.
void enqueue(PyObject* runner, Ref j) {
  PyObject* loop = reinterpret_cast<JobObject*>(j.get())->loop;
  Runner* r = runner_of(runner);
  if (!r) {
    pyco::call_method(loop, g().s_call_soon_threadsafe.get(), j);
    return;
  }
  if (r->batch) {
    // A closed loop refuses work as call_soon_threadsafe would. asyncio's
    // close() drops the queued batch, but uvloop's keeps it: without this
    // check work would pile up in a batch that never runs.
    Ref closed = pyco::call_method(loop, g().s_is_closed.get());
    if (closed.get() == Py_True) {
      PyErr_SetString(PyExc_RuntimeError, "Event loop is closed");
      pyco::throw_current();
    }
    // Read again: is_closed() may have let the loop thread run the batch.
    if (r->batch) {
      reinterpret_cast<BatchObject*>(r->batch)->jobs.push_back(j.release());
      return;
    }
  }
  auto* b = PyObject_GC_New(BatchObject, &Batch_Type);
  if (!b) pyco::throw_current();
  b->vectorcall = batch_run;
  b->runner = Py_NewRef(runner);
  new (&b->jobs) std::vector<PyObject*>();
  b->jobs.push_back(j.release());
  PyObject_GC_Track(b);
  Ref batch = Ref::steal(reinterpret_cast<PyObject*>(b));
  // Recorded before the wake-up is queued: the loop thread may run the
  // batch (and detach it) before call_soon_threadsafe returns here.
  r->batch = batch.get();
  // From the loop's own thread there is no one to wake: the loop takes the
  // batch at its next iteration.
  const bool own_thread = r->thread_id.load() == PyThread_get_thread_ident();
  Ref queued = Ref::steal(PyObject_CallMethodOneArg(
      loop, (own_thread ? g().s_call_soon : g().s_call_soon_threadsafe).get(), batch.get()));
  if (!queued) {
    batch_detach(b);
    pyco::throw_current();
  }
}

}  // namespace

void submit(PyObject* runner, Ref func, Ref args, Ref kwargs) {
  enqueue(runner, make_job(runner, kJobTask, std::move(func), std::move(args), std::move(kwargs),
                           Ref()));
}

bool submit_step(PyObject* runner, PyObject* append, PyObject* name, Ref step, Ref kwargs) {
  if (!PyMethod_Check(append) || PyMethod_GET_FUNCTION(append) != g_append_task ||
      PyMethod_GET_SELF(append) != runner)
    return false;
  enqueue(runner, make_job(runner, kJobNamedTask, std::move(step), Ref(), std::move(kwargs),
                           Ref::borrow(name)));
  return true;
}

void submit_call(PyObject* runner, Ref func, Ref args) {
  enqueue(runner, make_job(runner, kJobCall, std::move(func), std::move(args), Ref(), Ref()));
}

void bind_runner(nb::module_& m) {
  check_int(PyType_Ready(&Job_Type));
  check_int(PyType_Ready(&Batch_Type));
  {
    Ref base = pyco::getattr(g().asyncio.get(), pyco::intern("BaseEventLoop").get());
    g_base_create_task = pyco::getattr(base.get(), g().s_create_task.get()).release();
    g_kw_loop_name = kwnames({"loop", "name"}).release();
    g_kw_loop_name_eager = kwnames({"loop", "name", "eager_start"}).release();
    g_s_get_task_factory = pyco::intern("get_task_factory").release();
    g_s_get_debug = pyco::intern("get_debug").release();
    g_s_uvloop = pyco::intern("uvloop").release();
    g_s_Loop = pyco::intern("Loop").release();
  }
  g_consume = check(PyCFunction_New(&consume_def, nullptr)).release();

  static PyType_Slot slots[] = {{Py_tp_finalize, reinterpret_cast<void*>(runner_finalize)},
                                {0, nullptr}};
  auto cls = nb::class_<Runner>(
      m, "Real_tasks", nb::dynamic_attr(), nb::type_slots(slots),
      "Real_tasks(name)\n\n"
      "A runner: an asyncio event loop that a daemon thread of its own drives once started.\n"
      "It is registered in velkor_state.loop_threads under its loop-thread key, the node name,\n"
      "a comma and `name`; a runner already registered under that key is sent stop() and\n"
      "replaced. Attributes: name (the key), loop, Events_async (event mirrors on this loop),\n"
      "executor (for CPU-bound steps; None selects the loop's default executor) and, once the\n"
      "thread runs, append_task_queue.");
  cls.def("__init__", &runner_init, nb::arg("name").none(),
          "Create the runner, register it under its loop-thread key and create its (idle) "
          "loop.");
  add_coroutine_method(cls, stop_impl, "_stop", "Real_tasks._stop",
                       "_stop($self)\n--\n\nThe stop sequence, run on the runner's own loop as the "
                       "task named \"stop\": cancel and await every other task, stop the loop, "
                       "then cancel every registered task bound to this runner.");
  pyco::add_method(cls.ptr(), "stop", runner_stop_method,
          "stop($self)\n--\n\n"
          "Queue the stop sequence on the runner's loop and return at once. A runner never "
          "started stops as soon as it is started; a closed runner raises RuntimeError.");
  pyco::add_method(cls.ptr(), "start", runner_start_method,
          "start($self)\n--\n\n"
          "Start the daemon thread that runs the loop until the stop sequence stops it.");
  add_coroutine_method(cls, cancel_task_impl, "cancel_task", "Real_tasks.cancel_task",
                       "cancel_task($self, name)\n--\n\nCancel every asyncio task of this loop whose "
                       "name is `name`.");
  // Held: the identity check of submit_step must not match a later object.
  g_append_task = Py_NewRef(add_coroutine_method(
      cls, append_task_impl, "append_task", "Real_tasks.append_task",
      "append_task($self, name, task, CPU_bound=False, **kwargs)\n--\n\n"
      "With CPU_bound equal to False: create an asyncio task named `name` on this loop from "
      "task(**kwargs). Otherwise run asyncio.run(task()) in the runner's executor (keyword "
      "arguments are not passed then)."));
  pyco::add_method(cls.ptr(), "all_tasks", runner_all_tasks_method,
          "all_tasks($self)\n--\n\n"
          "Print the set of the loop's unfinished asyncio tasks (a diagnostic).");
  Ref descr = check(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()),
                                      &run_in_thread_def));
  check_int(PyObject_SetAttrString(cls.ptr(), "run_asyncio_in_thread", descr.get()));
}

}  // namespace velkor
