// runner.cpp - class Real_tasks: an asyncio event loop driven by its own
// daemon thread.
#include "runner.hpp"

#include "common/keys.hpp"
#include "common/shell.hpp"
#include "pyco/method.hpp"
#include "submission.hpp"

#include <vector>

namespace velkor {

Runner* runner_of(PyObject* obj) { return velkor_common::part_of<Runner>(obj); }

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

int runner_phase(PyObject* runner_obj) {
  Runner* r = runner_of(runner_obj);
  return r ? r->phase.load() : Runner::kRunning;
}

// ---------------------------------------------------------------------------
// Coroutine methods.

Ref loop_of(PyObject* self) { return pyco::getattr(self, names().s_loop); }

Ref gather_settled(PyObject* tasks) {
  const Py_ssize_t n = PyList_GET_SIZE(tasks);
  std::vector<PyObject*> argv(n + 1);
  for (Py_ssize_t i = 0; i < n; ++i) argv[i] = PyList_GET_ITEM(tasks, i);
  argv[n] = Py_True;
  return check(PyObject_Vectorcall(names().asyncio_gather, argv.data(), n,
                                   names().kw_return_exceptions));
}

namespace {

bool name_is(PyObject* task, PyObject* name) {
  Ref n = pyco::call_method(task, names().s_get_name);
  return check_int(PyObject_RichCompareBool(n.get(), name, Py_EQ)) != 0;
}


// _stop(): cancel and await every other task of this loop, stop the loop,
// then cancel the registered tasks bound to this runner.
pyco::CoroNone stop_body(Ref self) {
  if (Runner* r = runner_of(self.get())) r->stopping = true;
  Ref loop = loop_of(self.get());
  Ref pending = pyco::call(names().asyncio_all_tasks, loop);
  Ref remembered = check(PyList_New(0));
  {
    Ref it = check(PyObject_GetIter(pending.get()));
    while (Ref t = Ref::steal(PyIter_Next(it.get()))) {
      if (name_is(t.get(), names().s_stop)) continue;
      check_int(PyList_Append(remembered.get(), t.get()));
      pyco::call_method(t.get(), names().s_cancel);
    }
    if (PyErr_Occurred()) pyco::throw_current();
  }
  Ref gathering = gather_settled(remembered.get());
  co_await std::move(gathering);
  pyco::call_method(loop.get(), names().s_stop);
  // From here on nothing is awaited: the loop stops at the end of this
  // iteration. Tasks are matched by the runner object itself, so a runner
  // that replaced this one under the same key keeps its tasks.
  Ref tasks = state_attr(names().s_Tasks);
  Ref keys = check(PySequence_List(tasks.get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    PyObject* key = PyList_GET_ITEM(keys.get(), i);
    PyObject* task = nullptr;
    if (check_int(PyDict_GetItemRef(tasks.get(), key, &task)) == 0) continue;
    Ref t = Ref::steal(task);
    PyObject* bound = nullptr;
    if (PyObject_GetOptionalAttr(t.get(), names().s_loop_thread, &bound) < 0) {
      PyErr_Clear();
      continue;
    }
    Ref b = Ref::steal(bound);
    if (b.get() != self.get()) continue;
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(t.get(), names().s_cancel));
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
  Ref pending = pyco::call(names().asyncio_all_tasks, loop);
  Ref it = check(PyObject_GetIter(pending.get()));
  while (Ref t = Ref::steal(PyIter_Next(it.get())))
    if (name_is(t.get(), name.get())) pyco::call_method(t.get(), names().s_cancel);
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
    Ref coro = check(PyObject_Call(task.get(), names().empty_tuple, kwargs.get()));
    vcall_kw(pyco::getattr(loop.get(), names().s_create_task).get(), {coro.get(), name.get()},
             names().kw_name);
  } else {
    Ref executor = pyco::getattr(self.get(), names().s_executor);
    Ref coro = pyco::call(task.get());
    pyco::call_method(loop.get(), names().s_run_in_executor, executor, names().asyncio_run, coro);
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
// Plain methods.

Ref runner_init(PyObject* obj, Ref* p) {
  PyObject* name = p[0].get();
  velkor_common::construct<Runner>(obj);
  // Ready for the engine's own casts at once: the runner is in the shared
  // table before the constructor ends, where other threads may submit to it.
  Ref node = node_name();
  Ref key = loop_thread_key(node.get(), name);
  check_int(PyObject_SetAttr(obj, names().s_name, key.get()));
  const bool local = velkor_common::key_of_node(key.get(), node.get());
  Ref table = state_attr(names().s_loop_threads);
  bool replaces = false;
  if (local) {
    PyObject* old_raw = nullptr;
    check_int(PyDict_GetItemRef(table.get(), key.get(), &old_raw));
    if (Ref old = Ref::steal(old_raw)) {
      replaces = true;
      // A runner already closed cannot be stopped again (its loop would
      // refuse the work): the key is simply reused.
      PyObject* old_loop = nullptr;
      check_int(PyObject_GetOptionalAttr(old.get(), names().s_loop, &old_loop));
      Ref ol = Ref::steal(old_loop);
      bool closed = false;
      if (ol) closed = pyco::call_method(ol.get(), names().s_is_closed).get() == Py_True;
      if (!closed) pyco::call_method(old.get(), names().s_stop);
    }
    Ref loop = pyco::call(names().asyncio_new_event_loop);
    check_int(PyObject_SetAttr(obj, names().s_loop, loop.get()));
  }
  check_int(PyObject_SetItem(table.get(), key.get(), obj));
  Ref events = check(PyDict_New());
  check_int(PyObject_SetAttr(obj, names().s_Events_async, events.get()));
  check_int(PyObject_SetAttr(obj, names().s_executor, Py_None));
  if (replaces) send_events_to_new_runner(key.get());
  return Ref();
}

// The collector finalizes the objects of a garbage cycle in no set order:
// a selector loop whose self-pipe sockets went first fails to close. What
// is left is its selector, closed here, and the mark that the loop is
// closed, so that its own __del__ does not try again and report the same
// failure.
void close_half_finalized(PyObject* loop) {
  PyErr_Clear();
  PyObject* raw = nullptr;
  if (PyObject_GetOptionalAttr(loop, names().s__selector, &raw) > 0) {
    Ref selector = Ref::steal(raw);
    if (selector.get() != Py_None) {
      Ref r = Ref::steal(PyObject_CallMethodNoArgs(selector.get(), names().s_close));
      PyObject_SetAttr(loop, names().s__selector, Py_None);
    }
  }
  if (PyObject_HasAttrWithError(loop, names().s__closed) > 0)
    PyObject_SetAttr(loop, names().s__closed, Py_True);
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
  if (PyObject_GetOptionalAttr(self, names().s_loop, &raw) > 0) {
    Ref loop = Ref::steal(raw);
    Ref closed = Ref::steal(PyObject_CallMethodNoArgs(loop.get(), names().s_is_closed));
    Ref running = Ref::steal(PyObject_CallMethodNoArgs(loop.get(), names().s_is_running));
    if (closed.get() == Py_False && running.get() == Py_False) {
      Ref done = Ref::steal(PyObject_CallMethodNoArgs(loop.get(), names().s_close));
      if (!done) close_half_finalized(loop.get());
    }
  }
  PyErr_Clear();
  PyErr_SetRaisedException(pending);
}

Ref runner_stop(PyObject* self_ptr, Ref*) {
  nb::handle self(self_ptr);
  Ref bound = pyco::getattr(self.ptr(), names().s_append_task);
  Ref stop_fn = pyco::getattr(self.ptr(), names().s__stop);
  Ref kw = check(PyDict_New());
  check_int(PyDict_SetItem(kw.get(), names().s_name, names().s_stop));
  check_int(PyDict_SetItem(kw.get(), names().s_task, stop_fn.get()));
  submit(self.ptr(), std::move(bound), Ref(), std::move(kw));
  return Ref();
}

Ref runner_start(PyObject* self_ptr, Ref*) {
  nb::handle self(self_ptr);
  Ref target = pyco::getattr(self.ptr(), names().s_run_asyncio_in_thread);
  Ref key = pyco::getattr(self.ptr(), names().s_name);
  Ref key_text = check(PyObject_Str(key.get()));
  Ref thread_name = check(PyUnicode_FromFormat("velkor runner %U", key_text.get()));
  Ref thread = vcall_kw(names().threading_Thread, {target.get(), Py_True, thread_name.get()},
                        names().kw_target_daemon_name);
  pyco::call_method(thread.get(), names().s_start);
  return Ref();
}

Ref runner_all_tasks(PyObject* self_ptr, Ref*) {
  nb::handle self(self_ptr);
  Ref tasks = pyco::call(names().asyncio_all_tasks, loop_of(self.ptr()));
  print_object(tasks.get());
  return Ref();
}

PYCO_METHOD(runner_init, "__init__", 1, "name")
PYCO_METHOD(runner_stop, "stop", 0)
PYCO_METHOD(runner_start, "start", 0)
PYCO_METHOD(runner_all_tasks, "all_tasks", 0)

}  // namespace
bool runner_stopping(PyObject* runner) {
  Runner* r = runner_of(runner);
  return r && (r->stopping.load() || r->phase.load() >= Runner::kClosing);
}

const pyco::Method kRunnerMethods[] = {
    pyco::plain("__init__", runner_init_method,
                "__init__($self, name)\n--\n\n"
                "Create the runner, register it under its loop-thread key and create its (idle) "
                "loop."),
    pyco::coroutine("_stop", stop_impl,
                    "_stop($self)\n--\n\nThe stop sequence, run on the runner's own loop as the "
                    "task named \"stop\": cancel and await every other task, stop the loop, "
                    "then cancel every registered task bound to this runner."),
    pyco::plain("stop", runner_stop_method,
                "stop($self)\n--\n\n"
                "Queue the stop sequence on the runner's loop and return at once. A runner never "
                "started stops as soon as it is started; a closed runner raises RuntimeError."),
    pyco::plain("start", runner_start_method,
                "start($self)\n--\n\n"
                "Start the daemon thread that runs the loop until the stop sequence stops it."),
    pyco::coroutine("cancel_task", cancel_task_impl,
                    "cancel_task($self, name)\n--\n\nCancel every asyncio task of this loop "
                    "whose name is `name`."),
    pyco::coroutine(
        "append_task", append_task_impl,
        "append_task($self, name, task, CPU_bound=False, **kwargs)\n--\n\n"
        "With CPU_bound equal to False: create an asyncio task named `name` on this loop from "
        "task(**kwargs). Otherwise run asyncio.run(task()) in the runner's executor (keyword "
        "arguments are not passed then)."),
    pyco::plain("all_tasks", runner_all_tasks_method,
                "all_tasks($self)\n--\n\n"
                "Print the set of the loop's unfinished asyncio tasks (a diagnostic)."),
    pyco::plain("run_asyncio_in_thread", run_asyncio_in_thread_method,
                "run_asyncio_in_thread($self, /)\n--\n\nBody of the runner's thread: makes the "
                "loop this thread's current loop and runs it until the stop sequence stops it, "
                "then closes it."),
};

void bind_runner(nb::module_& m) {
  PyObject* cls = velkor_common::bind_class<Runner>(
      m, "Real_tasks",
      "Real_tasks(name)\n\n"
      "A runner: an asyncio event loop that a daemon thread of its own drives once started.\n"
      "It is registered in velkor_state.loop_threads under its loop-thread key, the node name,\n"
      "a comma and `name`; a runner already registered under that key is sent stop() and\n"
      "replaced. Attributes: name (the key), loop, Events_async (event mirrors on this loop),\n"
      "executor (for CPU-bound steps; None selects the loop's default executor) and, once the\n"
      "thread runs, append_task_queue.",
      kRunnerMethods, runner_finalize);
  init_submission(pyco::getattr(cls, names().s_append_task).get());
}

}  // namespace velkor
