// submission.cpp - the submission queue: how work crosses to a runner's loop.
// A job holds the recipe of one piece of work; the jobs submitted while a
// wake-up of the loop is pending ride in that wake-up's batch.
#include "submission.hpp"

#include <vector>

#include "named_task.hpp"
#include "runner.hpp"

namespace velkor {
namespace {

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
  Ref cancelled = Ref::steal(PyObject_CallMethodNoArgs(fut, names().s_cancelled));
  if (!cancelled) return nullptr;
  if (cancelled.get() == Py_False) {
    Ref exc = Ref::steal(PyObject_CallMethodNoArgs(fut, names().s_exception));
    if (!exc) return nullptr;
  }
  Py_RETURN_NONE;
}
PyMethodDef consume_def = {"_consume_outcome", consume_outcome, METH_O, nullptr};

PyObject* job_run(PyObject* self, PyObject* const*, size_t nargsf, PyObject*) {
  if (PyVectorcall_NARGS(nargsf) != 0) {
    PyErr_SetString(PyExc_TypeError, "a runner job takes no arguments");
    return nullptr;
  }
  return pyco::guard([&]() -> PyObject* {
    auto* job = reinterpret_cast<JobObject*>(self);
    // A loop that is closing runs no new work: the job is dropped unbuilt.
    if (runner_phase(job->runner) >= Runner::kClosing) return Py_NewRef(Py_None);
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
    Ref task = vcall_kw(names().asyncio_Task, {coro.get(), job->loop, Py_True}, names().kw_loop_eager);
    Ref done = pyco::call_method(task.get(), names().s_done);
    if (done.get() == Py_True) {
      Ref r = check(consume_outcome(nullptr, task.get()));
    } else {
      Ref cb = Ref::borrow(g_consume);
      pyco::call_method(task.get(), names().s_add_done_callback, cb);
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

// `handed`: a job newly handed to the runner (false: one put back).
void enqueue(PyObject* runner, Ref job, bool handed = true);

// Put jobs that a failing batch did not run in front of the runner's next
// batch, queuing one if there is none, so that they still run in order.
void requeue_front(PyObject* runner, std::vector<PyObject*>& rest) {
  Runner* r = runner_of(runner);
  if (r && r->batch) {
    auto* next = reinterpret_cast<BatchObject*>(r->batch);
    next->jobs.insert(next->jobs.begin(), rest.begin(), rest.end());
    r->pending += static_cast<std::int64_t>(rest.size());
    rest.clear();
    return;
  }
  PyObject* saved = PyErr_GetRaisedException();
  for (PyObject* job : rest) {
    Ref j = Ref::steal(job);
    Ref r2 = Ref::steal(pyco::guard([&] {
      enqueue(runner, std::move(j), false);
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
  if (runner) runner->pending -= static_cast<std::int64_t>(jobs.size());
  size_t tail = jobs.size();  // jobs[tail:] are all steps
  while (tail > 0 && reinterpret_cast<JobObject*>(jobs[tail - 1])->kind == kJobNamedTask) --tail;
  bool left_queued = false;  // a step of this batch left its first turn queued
  Ref loop = jobs.empty() ? Ref() : Ref::borrow(reinterpret_cast<JobObject*>(jobs[0])->loop);
  auto mark = [&]() {
    if (!left_queued || !runner) return;
    Ref marker = Ref::steal(PyCFunction_New(&steps_queued_done_def, keep.get()));
    PyObject* saved = PyErr_GetRaisedException();
    Ref queued = marker ? Ref::steal(PyObject_CallMethodOneArg(loop.get(), names().s_call_soon,
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
  // Dropped unrun (the loop was closed with the batch queued): no longer pending.
  if (!jobs.empty() && b->runner) {
    if (Runner* r = runner_of(b->runner)) r->pending -= static_cast<std::int64_t>(jobs.size());
  }
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
  job->args = args ? args.release() : Py_NewRef(names().empty_tuple);
  job->kwargs = kwargs.release();
  PyObject_GC_Track(job);
  return Ref::steal(reinterpret_cast<PyObject*>(job));
}

// Queue a job on its runner's loop: into the pending batch if there is one,
// else in a new batch with one call_soon_threadsafe.
void enqueue(PyObject* runner, Ref j, bool handed) {
  PyObject* loop = reinterpret_cast<JobObject*>(j.get())->loop;
  Runner* r = runner_of(runner);
  if (!r) {
    pyco::call_method(loop, names().s_call_soon_threadsafe, j);
    return;
  }
  // Counted once the job is in a batch (a refused job is neither).
  auto count = [&] {
    ++r->pending;
    if (handed) ++r->submitted;
  };
  if (r->batch) {
    // A closed loop refuses work as call_soon_threadsafe would. asyncio's
    // close() drops the queued batch, but uvloop's keeps it: without this
    // check work would pile up in a batch that never runs.
    Ref closed = pyco::call_method(loop, names().s_is_closed);
    if (closed.get() == Py_True) {
      PyErr_SetString(PyExc_RuntimeError, "Event loop is closed");
      pyco::throw_current();
    }
    // Read again: is_closed() may have let the loop thread run the batch.
    if (r->batch) {
      reinterpret_cast<BatchObject*>(r->batch)->jobs.push_back(j.release());
      count();
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
  // Recorded and counted before the wake-up is queued: the loop thread may
  // run the batch (and detach it) before call_soon_threadsafe returns here.
  r->batch = batch.get();
  count();
  // From the loop's own thread there is no one to wake: the loop takes the
  // batch at its next iteration.
  const bool own_thread = r->thread_id.load() == PyThread_get_thread_ident();
  Ref queued = Ref::steal(PyObject_CallMethodOneArg(
      loop, own_thread ? names().s_call_soon : names().s_call_soon_threadsafe, batch.get()));
  if (!queued) {
    batch_detach(b);
    // Refused: not handed over. The batch, freed on the way out, takes its
    // job out of the pending count itself.
    if (handed) --r->submitted;
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


void init_submission(PyObject* append_task) {
  check_int(PyType_Ready(&Job_Type));
  check_int(PyType_Ready(&Batch_Type));
  g_consume = check(PyCFunction_New(&consume_def, nullptr)).release();
  // Held: the identity check of submit_step must not match a later object.
  g_append_task = Py_NewRef(append_task);
}

}  // namespace velkor
