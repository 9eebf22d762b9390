// step.cpp - how a task does its work: run (count a start and hand the
// step to the runner), stop/start, the trig_output method, and the step
// itself, temp_func, in its three waiting modes.
//
// Flow control. `Task_buffer_available` is the number of starts the task can
// still take: run() takes one unit, the end of a step gives it back and, when
// the count is at least 1 again, sets the task's service-available event, on
// which producers wait. A step gives its unit back on every way out: normal
// end, a reported failure, an exception that ends it, cancellation, and also
// cancellation before it ever ran (then the coroutine frame is destroyed
// unstarted and its StepUnit parameter gives the unit back). The event is
// not set for a task that is going away (unregistered, events deleted) or
// whose runner is stopping: nothing would take the item it invites.
#include <cxxabi.h>

#include "pyco/method.hpp"
#include "runner.hpp"
#include "submission.hpp"
#include "task.hpp"

namespace velkor {
namespace {

PyObject* g_run_in_worker = nullptr;  // see run_in_worker; made at module init

bool is_zero(PyObject* v) { return equals_int(v, 0); }

bool has_events(PyObject* self, Ref* events_out = nullptr) {
  // A task still being built (another thread took it from the table) has
  // no events yet.
  Ref events = task_attr_optional(self, names().s_events);
  if (!events) return false;
  const bool has = check_int(PyObject_Length(events.get())) >= 2;
  if (events_out) *events_out = std::move(events);
  return has;
}

// velkor_state.Events[self.events[i]], or null when it is not registered.
Ref own_event(PyObject* self, Py_ssize_t i, bool required) {
  Ref events = task_attr(self, names().s_events);
  Ref name = check(PySequence_GetItem(events.get(), i));
  Ref registry = state_attr(names().s_Events);
  if (required) return check(PyObject_GetItem(registry.get(), name.get()));
  PyObject* ev = nullptr;
  check_int(PyMapping_GetOptionalItem(registry.get(), name.get(), &ev));
  return Ref::steal(ev);
}

// Is the task still there to take work: registered as itself, its runner
// not stopping?
bool taking_work(PyObject* self) {
  Ref key = task_attr(self, names().s_name);
  Ref tasks = state_attr(names().s_Tasks);
  PyObject* found = nullptr;
  check_int(PyMapping_GetOptionalItem(tasks.get(), key.get(), &found));
  Ref f = Ref::steal(found);
  if (f.get() != self) return false;
  Ref runner = task_attr(self, names().s_loop_thread);
  return !runner_stopping(runner.get());
}

// Task_buffer_available = op(Task_buffer_available, 1) under the task's
// threading lock; the new count.
Ref change_units(PyObject* self, binaryfunc op) {
  Ref lock = task_attr(self, names().s_Task_buffer_available_threading_lock);
  LockGuard hold(lock.get());
  Ref count = task_attr(self, names().s_Task_buffer_available);
  Ref next = check(op(count.get(), names().one));
  check_int(PyObject_SetAttr(self, names().s_Task_buffer_available, next.get()));
  return next;
}

// The unit return: count + 1 under the task's threading lock (the asyncio
// lock is only ever taken here, inside the threading lock, so it is always
// free and entering it cannot suspend); then set the service-available event
// if the task can take work again.
void return_unit(PyObject* self) {
  Ref next = change_units(self, PyNumber_Add);
  const bool flag = check_int(PyObject_RichCompareBool(next.get(), names().one, Py_GE)) != 0;
  if (!flag || !has_events(self) || !taking_work(self)) return;
  if (Ref ev = own_event(self, 1, false)) pyco::call_method(ev.get(), names().s_set);
}

// The unit a mode 0 step owes. It travels in the step's coroutine frame:
// the body pays it on every way out; if the frame is destroyed without the
// body having run (the step was cancelled before its first step), the
// destructor pays it.
class StepUnit {
 public:
  StepUnit(Ref task, bool owed) noexcept : task_(std::move(task)), owed_(owed) {}
  StepUnit(StepUnit&& o) noexcept : task_(std::move(o.task_)), owed_(std::exchange(o.owed_, false)) {}
  StepUnit(const StepUnit&) = delete;
  ~StepUnit() {
    if (!owed_ || !task_ || !Ref::holds_gil()) return;
    PyObject* pending = PyErr_GetRaisedException();
    Ref done = Ref::steal(pyco::guard([&]() -> PyObject* {
      Ref wt = pyco::getattr(task_.get(), names().s_WT);
      if (is_zero(wt.get())) return_unit(task_.get());
      return Py_NewRef(Py_None);
    }));
    if (!done) PyErr_WriteUnraisable(task_.get());
    PyErr_SetRaisedException(pending);
  }
  void waive() noexcept { owed_ = false; }
  // Body-side unit return: every mode 0 step and mode 1 iteration gives one.
  void pay() {
    owed_ = false;
    return_unit(task_.get());
  }

 private:
  Ref task_;
  bool owed_ = true;
};

// print("<key> task has error!!!"), then the traceback.
void report(PyObject* self, const pyco::BaseException& e) {
  if (Task* t = task_of(self)) ++t->counts.errors;
  Ref key = task_attr(self, names().s_name);
  Ref line = check(PyUnicode_Concat(key.get(), names().s_task_error));
  print_object(line.get());
  pyco::print_exception(e, "async_task.temp_func");
}

// Executor job of a CPU-bound coroutine function, (work, args, kwargs):
// build the coroutine in the worker and run it there on a loop of its own.
// Built there rather than on the runner's loop, so that a job cancelled
// before a worker takes it leaves no coroutine that was never awaited.
PyObject* run_in_worker(PyObject*, PyObject* const* a, Py_ssize_t na) {
  return pyco::guard([&]() -> PyObject* {
    if (na != 3) pyco::raise(PyExc_TypeError, "expected (work, args, kwargs)");
    Ref coro = check(PyObject_Call(a[0], a[1], a[2]));
    return pyco::call(names().asyncio_run, coro).release();
  });
}
PyMethodDef run_in_worker_def = {"_run_in_worker",
                                 reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                     run_in_worker)),
                                 METH_FASTCALL, nullptr};

// inspect.iscoroutinefunction(work). A plain function whose __dict__ has
// neither of the two names inspect looks for there (a coroutine mark, a
// partialmethod) is answered from its code flags, as inspect would; one of
// the engine's own coroutine functions with nothing but its mark in its
// __dict__ is one; anything else is asked to inspect.
bool is_coroutine_function(PyObject* work) {
  PyObject* f = work;
  while (PyMethod_Check(f)) f = PyMethod_GET_FUNCTION(f);  // inspect looks through methods
  if (PyFunction_Check(f)) {
    PyObject* dict = reinterpret_cast<PyFunctionObject*>(f)->func_dict;
    bool plain = dict == nullptr;
    if (!plain && PyDict_CheckExact(dict)) {
      const int has_mark = PyDict_Contains(dict, names().s_is_coroutine_marker);
      const int has_pm = has_mark == 0 ? PyDict_Contains(dict, names().s_partialmethod) : has_mark;
      if (has_mark < 0 || has_pm < 0) pyco::throw_current();
      plain = has_mark == 0 && has_pm == 0;
    }
    if (plain) {
      auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(f));
      return (code->co_flags & CO_COROUTINE) != 0;
    }
  } else if (pyco::is_plain_coroutine_function(f)) {
    return true;
  }
  return PyObject_IsTrue(pyco::call(names().inspect_iscoroutinefunction, Ref::borrow(work)).get()) == 1;
}

// trig_output(tag): velkor_state.trig_output for this task's outputs.
PyObject* g_trig_output_method = nullptr;  // async_task.trig_output (the class holds it)

pyco::CoroNone trig_output_method_body(Ref self, Ref tag) {
  Ref fn = state_attr(names().s_trig_output);
  Ref key = task_attr(self.get(), names().s_name);
  Ref outputs = task_attr(self.get(), names().s_output_tasks);
  if (fn.get() == own_trig_output()) {
    co_await pyco::inline_await(trig_output_frame(key, outputs, tag, self), fn.get());
  } else {
    Ref coro = vcall_kw(fn.get(), {key.get(), outputs.get(), tag.get()}, names().kw_trig);
    co_await std::move(coro);
  }
}

// Whether self.trig_output is the class's own coroutine method: the class
// attribute is it, and the instance does not shadow it.
bool own_trig_output_method(PyObject* self) {
  if (_PyType_Lookup(Py_TYPE(self), names().s_trig_output) != g_trig_output_method) return false;
  PyObject** slot = instance_dict_slot(self);
  if (!slot) return false;
  PyObject* dict = *slot;
  if (!dict) return true;
  const int shadowed = PyDict_Contains(dict, names().s_trig_output);
  if (shadowed < 0) pyco::throw_current();
  return shadowed == 0;
}

// The work function's call: task(*args, **kwargs_in), awaited for a
// coroutine function; a CPU-bound task's call runs in the runner's
// executor (a coroutine function there under asyncio.run).
pyco::Coro call_work(Ref self, Ref work, Ref kwargs_in) {
  Ref args = task_attr(self.get(), names().s_args);
  Ref kw = PyDict_Check(kwargs_in.get())
               ? check(PyDict_Copy(kwargs_in.get()))
               : pyco::call(reinterpret_cast<PyObject*>(&PyDict_Type), kwargs_in);
  const bool is_coro = is_coroutine_function(work.get());
  Ref cpu = task_attr(self.get(), names().s_CPU_bound);
  if (!check_int(PyObject_RichCompareBool(cpu.get(), Py_False, Py_EQ))) {
    Ref runner = task_attr(self.get(), names().s_loop_thread);
    Ref loop = pyco::getattr(runner.get(), names().s_loop);
    Ref executor = pyco::getattr(runner.get(), names().s_executor);
    Ref job;
    if (is_coro) {
      Ref full = check(PySequence_Tuple(args.get()));
      job = pyco::call(names().functools_partial, Ref::borrow(g_run_in_worker), work, full, kw);
    } else {
      Ref full = check(PySequence_Tuple(args.get()));
      Ref pargs = check(PyTuple_New(PyTuple_GET_SIZE(full.get()) + 1));
      PyTuple_SET_ITEM(pargs.get(), 0, work.new_ref());
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(full.get()); ++i)
        PyTuple_SET_ITEM(pargs.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(full.get(), i)));
      job = check(PyObject_Call(names().functools_partial, pargs.get(), kw.get()));
    }
    Ref fut = pyco::call_method(loop.get(), names().s_run_in_executor, executor, job);
    Ref result = co_await std::move(fut);
    co_return result;
  }
  Ref result = check(PyObject_Call(work.get(), args.get(), kw.get()));
  if (is_coro) result = co_await std::move(result);
  co_return result;
}

// One execution: take the buffered entry for `tag`, call the work function
// with it, pass its result on to the outputs as the new tag. Returns the tag
// passed on (None when the task was not ready). Failures of all of it are
// reported and end the execution normally; BaseExceptions pass.
pyco::Coro execute(Ref self, Ref tag) {
  try {
    Ref pair = pyco::call_method(self.get(), names().s_activation_check, tag);
    Ref ready = check(PySequence_GetItem(pair.get(), 0));
    if (!check_int(PyObject_IsTrue(ready.get()))) co_return pyco::none();
    Ref kwargs_in = check(PySequence_GetItem(pair.get(), 1));
    Ref work = task_attr(self.get(), names().s_task);
    Task* counted = task_of(self.get());  // self is held: alive across the awaits
    if (counted) ++counted->counts.runs;
    if (work.get() != Py_None) {
      TimeSpent busy(counted ? &counted->counts.busy_ns : nullptr);
      tag = co_await pyco::inline_await(call_work(self, work, kwargs_in), nullptr, "call_work");
    }
    if (own_trig_output_method(self.get())) {
      co_await pyco::inline_await(trig_output_method_body(self, tag), g_trig_output_method);
    } else {
      Ref trig = pyco::call_method(self.get(), names().s_trig_output, tag);
      co_await std::move(trig);
    }
  } catch (const pyco::Exception& e) {
    report(self.get(), e);
  }
  co_return tag;
}

pyco::Inline execution(const Ref& self, Ref tag) {
  return pyco::inline_await(execute(self, std::move(tag)), nullptr, "temp_func");
}

// Await `awaitable` (a step's execution) to its end; whatever way it ends, pay the
// unit, then let the ending go on.
#define PAY_ON_EVERY_EXIT(unit, awaitable)       \
  {                                              \
    std::exception_ptr ended;                    \
    try {                                        \
      co_await (awaitable);                      \
    } catch (...) {                              \
      if (pyco::unwinding_at_exit()) throw;      \
      ended = std::current_exception();          \
    }                                            \
    (unit).pay();                                \
    if (ended) std::rethrow_exception(ended);    \
  }

pyco::CoroNone temp_func_body(Ref self, Ref tag, StepUnit unit) {
  Ref wt = task_attr(self.get(), names().s_WT);
  if (is_zero(wt.get())) {
    PAY_ON_EVERY_EXIT(unit, execution(self, tag));
    co_return;
  }
  unit.waive();
  const bool trigger_mode = equals_int(wt.get(), 1);
  const bool poll_mode = !trigger_mode && equals_int(wt.get(), 2);
  if (!trigger_mode && !poll_mode) co_return;
  if (!is_zero(task_attr(self.get(), names().s_WT_run).get())) co_return;
  check_int(PyObject_SetAttr(self.get(), names().s_WT_run, names().one));
  if (poll_mode) {
    for (;;) {
      Ref t = task_attr(self.get(), names().s_tag);
      co_await execution(self, t);
      Ref pause = pyco::call(names().asyncio_sleep, task_attr(self.get(), names().s_WT_sleep));
      co_await std::move(pause);
    }
  }
  for (;;) {
    // A task that has left the system (cancelled, replaced under its key, its
    // runner stopping) ends its loop: its trigger event and mirror may be
    // gone, and an iteration failing before its first suspension would keep
    // the runner from running anything else, the cancellation included.
    if (!taking_work(self.get())) co_return;
    StepUnit iteration(self, true);
    std::exception_ptr ended;
    bool failed = false, left = false;
    try {
      try {
        Ref runner = task_attr(self.get(), names().s_loop_thread);
        Ref key = pyco::getattr(runner.get(), names().s_name);
        Ref runners = state_attr(names().s_loop_threads);
        Ref mine = check(PyObject_GetItem(runners.get(), key.get()));
        Ref mirrors = pyco::getattr(mine.get(), names().s_Events_async);
        Ref events = task_attr(self.get(), names().s_events);
        Ref trigger = check(PySequence_GetItem(events.get(), 0));
        Ref mirror = check(PyObject_GetItem(mirrors.get(), trigger.get()));
        Ref waiting = pyco::call_method(mirror.get(), names().s_wait);
        co_await std::move(waiting);
        left = !taking_work(self.get());
        if (!left) {
          Ref ev = own_event(self.get(), 0, true);
          pyco::call_method(ev.get(), names().s_clear);
          // The clear reaches the mirror through a job queued on this loop:
          // let it run before the next wait, or a loop whose iteration never
          // suspends would find the mirror still set and spin.
          co_await pyco::yield_now();
          Ref t = task_attr(self.get(), names().s_tag);
          co_await execution(self, t);
        }
      } catch (const pyco::Exception& e) {
        report(self.get(), e);
        failed = true;
      }
    } catch (...) {
      if (pyco::unwinding_at_exit()) throw;
      ended = std::current_exception();
    }
    iteration.pay();
    if (ended) std::rethrow_exception(ended);
    if (left) co_return;
    // A failed iteration may not have suspended at all: let the loop run
    // what is waiting before the next one.
    if (failed) co_await pyco::yield_now();
  }
}

Ref stop(PyObject* self, Ref*) {
  check_int(PyObject_SetAttr(self, names().s_stop_flag, names().one));
  Ref runner = task_attr(self, names().s_loop_thread);
  Ref cancel_task = pyco::getattr(runner.get(), names().s_cancel_task);
  Ref kw = check(PyDict_New());
  check_int(PyDict_SetItem(kw.get(), names().s_name, task_attr(self, names().s_name).get()));
  submit(runner.get(), std::move(cancel_task), Ref(), std::move(kw));
  return Ref();
}

Ref run(PyObject* self, Ref* p) {
  nb::handle tag(p[0] ? p[0].get() : Py_None);
  if (!is_zero(task_attr(self, names().s_stop_flag).get())) return Ref();
  Ref next = change_units(self, PyNumber_Subtract);
  const bool flag = check_int(PyObject_RichCompareBool(next.get(), names().zero, Py_LE)) != 0;
  // Busy: producers hold back until a step gives a unit back. A task of
  // another node has no event to clear.
  if (flag && has_events(self)) pyco::call_method(own_event(self, 1, true).get(), names().s_clear);
  // The step runs on the runner's loop (a CPU-bound task's work function
  // alone goes to the executor, see call_work).
  Ref runner = task_attr(self, names().s_loop_thread);
  Ref append = pyco::getattr(runner.get(), names().s_append_task);
  Ref key = task_attr(self, names().s_name);
  Ref step = task_attr(self, names().s_temp_func);
  // The step's claim on its unit is counted before the hand-over: handing
  // over lets the runner's thread run, and it may build the step at once.
  Task* t = task_of(self);
  if (t) ++t->steps_submitted;
  try {
    Ref step_kw = check(PyDict_New());
    check_int(PyDict_SetItem(step_kw.get(), names().s_tag, tag.ptr()));
    // The runner's own append_task is done by the job itself; a replaced
    // one is called as such.
    if (!submit_step(runner.get(), append.get(), key.get(), step, std::move(step_kw))) {
      Ref kw = check(PyDict_New());
      check_int(PyDict_SetItem(kw.get(), names().s_name, key.get()));
      check_int(PyDict_SetItem(kw.get(), names().s_task, step.get()));
      check_int(PyDict_SetItem(kw.get(), names().s_CPU_bound, Py_False));
      check_int(PyDict_SetItem(kw.get(), names().s_tag, tag.ptr()));
      submit(runner.get(), std::move(append), Ref(), std::move(kw));
    }
  } catch (const pyco::BaseException&) {
    if (t) {  // nothing was handed over: take the claim back
      long c = t->steps_submitted.load();
      while (c > 0 && !t->steps_submitted.compare_exchange_weak(c, c - 1)) {
      }
    }
    throw;
  }
  return Ref();
}

Ref start(PyObject* self, Ref*) {
  check_int(PyObject_SetAttr(self, names().s_stop_flag, names().zero));
  pyco::call_method(self, names().s_run);
  return Ref();
}

}  // namespace

pyco::Frame temp_func_impl(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[2];
  pyco::parse_args("temp_func", a, na, kw, {"self", "tag"}, 1, p);
  if (!p[1]) p[1] = pyco::none();
  // The unit travels with a step that run() submitted (one claim per
  // submission); a temp_func coroutine made otherwise owes nothing if it
  // never runs.
  bool owed = false;
  if (Task* t = task_of(p[0].get())) {
    long c = t->steps_submitted.load();
    while (c > 0 && !t->steps_submitted.compare_exchange_weak(c, c - 1)) {
    }
    owed = c > 0;
  }
  StepUnit unit(p[0], owed);
  return temp_func_body(std::move(p[0]), std::move(p[1]), std::move(unit));
}

pyco::Frame trig_output_method_impl(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[2];
  pyco::parse_args("trig_output", a, na, kw, {"self", "tag"}, 2, p);
  return trig_output_method_body(std::move(p[0]), std::move(p[1]));
}

PYCO_METHOD(stop, "stop", 0)
PYCO_METHOD(start, "start", 0)
PYCO_METHOD(run, "run", 0, "tag")

void init_step() {
  g_run_in_worker = check(PyCFunction_New(&run_in_worker_def, nullptr)).release();
}

void init_trig_output_method(PyObject* cls) {
  g_trig_output_method = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), names().s_trig_output);
}

}  // namespace velkor
