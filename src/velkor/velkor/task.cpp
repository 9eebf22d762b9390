// task.cpp - class async_task: construction, registration and the arming of
// the service-available event.
#include "task.hpp"

#include "runner.hpp"
#include "common/keys.hpp"
#include "common/shell.hpp"

#include <chrono>
#include <string>
#include <thread>

namespace velkor {

namespace {
PyTypeObject* g_task_type = nullptr;  // async_task itself, not a subclass (the module holds it)
}  // namespace

Task* task_of(PyObject* obj) {
  // A ready instance of async_task itself, the common case, skips the
  // cast's type lookup; subclasses and anything else take the cast.
  if (Py_TYPE(obj) == g_task_type && nb::inst_ready(nb::handle(obj)))
    return nb::inst_ptr<Task>(nb::handle(obj));
  return velkor_common::part_of<Task>(obj);
}
namespace {


// The keyword-only parameters of the constructor that it reads, in
// declaration order (`priority` is accepted and ignored, like the rest of
// **kwargs).
enum Param {
  kLoopThread, kName, kNetworkNodeName, kTask, kWT, kWTSleep, kCPUBound,
  kTaskBufferAvailable, kKwargsBufferLen, kNumParams
};
constexpr const char* kParamNames[kNumParams] = {
    "loop_thread", "name", "network_node_name", "task", "WT", "WT_sleep",
    "CPU_bound", "Task_buffer_available", "kwargs_buffer_len"};

void set(PyObject* obj, PyObject* name, PyObject* value) {
  check_int(PyObject_SetAttr(obj, name, value));
}

Ref concat(PyObject* a, PyObject* b) { return check(PyUnicode_Concat(a, b)); }

// The runner of a task of node `node` (not this one): the runner registered
// as "<node>,EXTERNAL" while it has never been started, else a new one made
// with velkor_state.Real_tasks(name="<node>,EXTERNAL"). Nothing runs such a
// runner; sharing one per node keeps its loop's selector and self-pipe to
// one set per node, however many tasks of that node there are.
Ref external_runner(PyObject* node) {
  Ref runner_name = concat(node, names().s_suffix_external);
  Ref key = loop_thread_key(node_name().get(), runner_name.get());
  Ref runners = state_attr(names().s_loop_threads);
  PyObject* raw = nullptr;
  check_int(PyMapping_GetOptionalItem(runners.get(), key.get(), &raw));
  Ref registered = Ref::steal(raw);
  if (registered && never_started(registered.get())) return registered;
  Ref rt = state_attr(names().s_Real_tasks);
  return vcall_kw(rt.get(), {runner_name.get()}, names().kw_name);
}

// Take the keyword-only arguments out of **kwargs like Python binds them:
// the rest are the constructor's own **kwargs (accepted and ignored).
void bind_params(PyObject* kwargs, Ref (&p)[kNumParams]) {
  if (kwargs) {
    for (int i = 0; i < kNumParams; ++i) {
      PyObject* v = nullptr;
      check_int(PyDict_GetItemStringRef(kwargs, kParamNames[i], &v));
      p[i] = Ref::steal(v);
    }
  }
  std::string missing;
  int count = 0;
  for (int i : {kLoopThread, kName}) {
    if (p[i]) continue;
    if (count++) missing += " and ";
    missing += std::string("'") + kParamNames[i] + "'";
  }
  if (count) {
    PyErr_Format(PyExc_TypeError,
                 "async_task.__init__() missing %d required keyword-only argument%s: %s", count,
                 count > 1 ? "s" : "", missing.c_str());
    pyco::throw_current();
  }
  if (!p[kNetworkNodeName]) p[kNetworkNodeName] = pyco::none();
  if (!p[kTask]) p[kTask] = pyco::none();
  if (!p[kWT]) p[kWT] = check(PyLong_FromLong(0));
  if (!p[kWTSleep]) p[kWTSleep] = check(PyLong_FromLong(1));
  if (!p[kCPUBound]) p[kCPUBound] = Ref::borrow(Py_False);
  if (!p[kTaskBufferAvailable]) p[kTaskBufferAvailable] = Ref::borrow(names().numpy_inf);
  if (!p[kKwargsBufferLen]) p[kKwargsBufferLen] = check(PyLong_FromLong(100));
}

// Why set() of an event keeps failing: the runners of its local waiters that
// are gone or closed.
std::string why_unsettable(PyObject* event) {
  PyObject* lt_raw = nullptr;
  if (PyObject_GetOptionalAttr(event, names().s_l_t_list, &lt_raw) <= 0) {
    PyErr_Clear();
    return "its set() keeps failing";
  }
  Ref lt = Ref::steal(lt_raw);
  Ref keys = Ref::steal(PySequence_List(lt.get()));
  Ref runners = state_attr(names().s_loop_threads);
  std::string why;
  for (Py_ssize_t i = 0; keys && i < PyList_GET_SIZE(keys.get()); ++i) {
    PyObject* key = PyList_GET_ITEM(keys.get(), i);
    if (!is_local_key(key)) continue;
    const char* ktext = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
    if (!ktext) {
      PyErr_Clear();
      continue;
    }
    PyObject* runner = nullptr;
    if (PyMapping_GetOptionalItem(runners.get(), key, &runner) < 0) PyErr_Clear();
    Ref r = Ref::steal(runner);
    std::string reason;
    if (!r) {
      reason = "is not registered in loop_threads";
    } else {
      PyObject* loop = nullptr;
      if (PyObject_GetOptionalAttr(r.get(), names().s_loop, &loop) < 0) PyErr_Clear();
      Ref l = Ref::steal(loop);
      if (!l) {
        reason = "has no loop";
      } else {
        Ref closed = Ref::steal(PyObject_CallMethodNoArgs(l.get(), names().s_is_closed));
        if (!closed) PyErr_Clear();
        if (closed.get() == Py_True) reason = "has a closed loop";
      }
    }
    if (reason.empty()) continue;
    if (!why.empty()) why += "; ";
    why += std::string("the waiter runner ") + ktext + " " + reason;
  }
  if (PyErr_Occurred()) PyErr_Clear();
  return why.empty() ? "its set() keeps failing" : why;
}

// Set the new task's service-available event: retry every 0.01 s (the first
// try after the first pause) until set() succeeds. set() only fails while a
// waiter's runner is gone or closed; rather than block the caller for ever
// in that case, give up after about 5 s.
void arm(PyObject* key, PyObject* event_name) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::seconds(5);
  for (;;) {
    Py_BEGIN_ALLOW_THREADS
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Py_END_ALLOW_THREADS
    check_int(PyErr_CheckSignals());
    Ref events = state_attr(names().s_Events);
    Ref event = check(PyObject_GetItem(events.get(), event_name));
    Ref done = pyco::call_method(event.get(), names().s_set);
    if (check_int(PyObject_IsTrue(done.get()))) return;
    if (clock::now() >= deadline) {
      std::string why = why_unsettable(event.get());
      PyErr_Format(PyExc_RuntimeError,
                   "task %S: its service-available event %S could not be set for 5 s: %s", key,
                   event_name, why.c_str());
      pyco::throw_current();
    }
  }
}

void task_init(PyObject* obj, PyObject* args, PyObject* kwargs) {
  // Ready for the engine's own casts at once: the task is in the shared
  // table before the constructor ends, where other threads may run it.
  velkor_common::construct<Task>(obj);
  Ref p[kNumParams];
  bind_params(kwargs, p);

  // 1. The task key.
  Ref node = p[kNetworkNodeName].get() == Py_None ? node_name() : p[kNetworkNodeName];
  Ref key = velkor_common::key_of(node.get(), p[kName].get());
  set(obj, names().s_name, key.get());

  // 2. A task registered under the key is unlinked from both ends; it is
  // replaced in the table below, and otherwise left as it is.
  Ref tasks = state_attr(names().s_Tasks);
  if (check_int(PySequence_Contains(tasks.get(), key.get()))) {
    Ref old = check(PyObject_GetItem(tasks.get(), key.get()));
    const Names& n = names();
    PyObject* const sets[] = {n.s_input_tasks, n.s_output_tasks, n.s_incode_input_tasks,
                              n.s_incode_output_tasks};
    PyObject* const deletes[] = {n.s_delete_input_tasks, n.s_delete_output_tasks,
                                 n.s_delete_incode_input_tasks, n.s_delete_incode_output_tasks};
    Ref copies[4];
    for (int i = 0; i < 4; ++i)
      copies[i] = pyco::call_method(pyco::getattr(old.get(), sets[i]).get(), n.s_copy);
    for (int i = 0; i < 4; ++i) pyco::call_method(old.get(), deletes[i], copies[i]);
  }

  // 3. The runner: a registered one for a local task, the unstarted
  // "<node>,EXTERNAL" runner for a task of another node (see
  // external_runner).
  if (velkor_common::key_of_node(key.get(), node_name().get())) {
    Ref runners = state_attr(names().s_loop_threads);
    set(obj, names().s_loop_thread, check(PyObject_GetItem(runners.get(), p[kLoopThread].get())).get());
  } else {
    set(obj, names().s_loop_thread,
        external_runner(velkor_common::key_field(key.get(), 0).get()).get());
  }

  // 4. Links, work, buffer, flow control.
  for (PyObject* s : {names().s_input_tasks, names().s_output_tasks, names().s_incode_input_tasks,
                      names().s_incode_output_tasks})
    set(obj, s, check(PySet_New(nullptr)).get());
  set(obj, names().s_task, p[kTask].get());
  set(obj, names().s_args, args);
  Ref factory = Ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type));
  set(obj, names().s_kwargs_buffer, pyco::call(names().collections_defaultdict, factory).get());
  set(obj, names().s_kwargs_buffer_len, p[kKwargsBufferLen].get());
  set(obj, names().s_kwargs_buffer_threading_lock, pyco::call(names().threading_Lock).get());
  set(obj, names().s_tag, Py_None);
  set(obj, names().s_CPU_bound, p[kCPUBound].get());
  set(obj, names().s_WT, p[kWT].get());
  set(obj, names().s_WT_sleep, p[kWTSleep].get());
  Ref zero = check(PyLong_FromLong(0));
  set(obj, names().s_WT_run, zero.get());
  set(obj, names().s_Task_buffer_available_asyncio_lock, pyco::call(names().asyncio_Lock).get());
  set(obj, names().s_Task_buffer_available_threading_lock, pyco::call(names().threading_Lock).get());
  set(obj, names().s_Task_buffer_available, p[kTaskBufferAvailable].get());
  set(obj, names().s_stop_flag, zero.get());

  // 5. From here on other threads can find the task.
  check_int(PyObject_SetItem(tasks.get(), key.get(), obj));

  // 6, 7. Events, for a local task only: the trigger event (the task waits
  // on it itself) and the service-available event (owned by the task; its
  // waiters are the task's producers), armed before the constructor returns.
  Ref events = check(PyList_New(0));
  set(obj, names().s_events, events.get());
  if (!velkor_common::key_of_node(key.get(), node_name().get())) return;

  Ref trigger = concat(key.get(), names().s_suffix_event);
  Ref available = concat(key.get(), names().s_suffix_service_available_event);
  Ref list = check(PyList_New(2));
  PyList_SET_ITEM(list.get(), 0, trigger.new_ref());
  PyList_SET_ITEM(list.get(), 1, available.new_ref());
  set(obj, names().s_events, list.get());

  Ref short_name = velkor_common::key_field(key.get(), 1);
  Ref event_class = state_attr(names().s_custom_event);
  Ref trigger_short = concat(short_name.get(), names().s_suffix_event);
  vcall_kw(event_class.get(), {trigger_short.get()}, names().kw_name);
  Ref table = state_attr(names().s_Events);
  Ref trigger_event = check(PyObject_GetItem(table.get(), trigger.get()));
  pyco::call_method(trigger_event.get(), names().s_insert_custom_waiter_task, key);

  Ref available_short = concat(short_name.get(), names().s_suffix_service_available_event);
  event_class = state_attr(names().s_custom_event);
  vcall_kw(event_class.get(), {available_short.get(), key.get()}, names().kw_name_task);
  arm(key.get(), available.get());
}

}  // namespace

PyObject** instance_dict_slot(PyObject* self) {
  const Py_ssize_t offset = Py_TYPE(self)->tp_dictoffset;
  if (offset <= 0) return nullptr;
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}

namespace {

// self.__dict__[name] for an async_task itself, read through its cache; null
// (no error set) when it is not there, or for any other object.
PyObject* own_entry(PyObject* self, PyObject* name) {
  PyObject** slot = Py_TYPE(self) == g_task_type ? instance_dict_slot(self) : nullptr;
  if (!slot || !*slot) return nullptr;
  Task* t = nb::inst_ptr<Task>(nb::handle(self));
  PyObject* value = cached_item(t->attrs, *slot, name);
  if (!value) PyErr_Clear();
  return value;
}

}  // namespace

Ref task_attr(PyObject* self, PyObject* name) {
  if (PyObject* value = own_entry(self, name)) return Ref::steal(value);
  return pyco::getattr(self, name);
}

Ref task_attr_optional(PyObject* self, PyObject* name) {
  if (PyObject* value = own_entry(self, name)) return Ref::steal(value);
  PyObject* value = nullptr;
  check_int(PyObject_GetOptionalAttr(self, name, &value));
  return Ref::steal(value);
}

// __init__(*args, **kwargs) as a plain method: the positionals as a tuple,
// the keywords as a dict (null without any).
PyObject* task_init_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return pyco::guard_function(task_init_method, [&]() -> PyObject* {
    const Py_ssize_t n = PyVectorcall_NARGS(nargs);
    Ref positional = pyco::positional_tuple(args, n);
    Ref kwargs = pyco::keyword_dict(args + n, kwnames);
    task_init(self, positional.get(), kwargs.get());
    return Py_NewRef(Py_None);
  });
}

void bind_task(nb::module_& m) {
  {
    // Attributes read at every step that the engine itself sets only when the
    // task is built or wired (the counter, tag and WT_run change every step).
    register_cached_names(
        {names().s_name, names().s_loop_thread, names().s_events, names().s_WT, names().s_WT_sleep,
         names().s_stop_flag, names().s_task, names().s_args, names().s_CPU_bound,
         names().s_kwargs_buffer, names().s_kwargs_buffer_len, names().s_kwargs_buffer_threading_lock,
         names().s_Task_buffer_available_threading_lock,
         names().s_Task_buffer_available_asyncio_lock, names().s_input_tasks, names().s_output_tasks,
         names().s_incode_input_tasks, names().s_incode_output_tasks});
  }

  init_step();
  init_keyword_buffer();
  init_wiring();
  // The class's methods, in the order users read them.
  const pyco::Method methods[] = {
      pyco::plain(
          "__init__", task_init_method,
          "__init__($self, /, *args, loop_thread, name, network_node_name=None, task=None, "
          "WT=0, WT_sleep=1, CPU_bound=False, priority=1, Task_buffer_available=np.inf, "
          "kwargs_buffer_len=100, **kwargs)\n--\n\n"
          "Register the task, create its events (local tasks) and arm its service-available "
          "event. Raises RuntimeError if that event cannot be set within about 5 s."),
      pyco::plain("stop", stop_method,
                  "stop($self)\n--\n\n"
                  "Stop the task: run() does nothing until start(); its running steps (and the "
                  "loop of WT 1 or 2) are cancelled on its runner."),
      pyco::plain("start", start_method,
                  "start($self)\n--\n\nClear the stop flag and run() once without a tag."),
      pyco::plain(
          "insert_kwargs_buffer", insert_kwargs_buffer_method,
          "insert_kwargs_buffer($self, data, tag=None)\n--\n\n"
          "Put a deep copy of `data` into the task's keyword buffer.\n\n"
          "With a tag (a str), `data` must be a dict: it is merged into the entry of that tag\n"
          "(new values win). Without a tag, any object is stored under a new time-stamp key,\n"
          "the text of time.time(). Refused input prints \"tag should be string and data\n"
          "should be dict instance!\". Beyond kwargs_buffer_len entries the oldest goes."),
      pyco::plain("activation_check", activation_check_method,
                  "activation_check($self, tag)\n--\n\n"
                  "Take an entry out of the keyword buffer: (ready, kwargs).\n\n"
                  "With tag None: the entry whose key sorts first, or (True, {}) when the buffer "
                  "is\nempty. With a tag: (True, its entry) if buffered, else (False, {}). The "
                  "entry\nhanded out is the stored dict itself."),
      pyco::plain("run", run_method,
                  "run($self, tag=None)\n--\n\n"
                  "Start one step with `tag` on the task's runner and return at once. Takes one "
                  "unit of Task_buffer_available; at 0 the service-available event is cleared (the "
                  "task is busy) until a step gives a unit back. Does nothing while the task is "
                  "stopped."),
      pyco::coroutine("trig_output", trig_output_method_impl,
                      "trig_output($self, tag)\n--\n\n"
                      "Start the task's output tasks with `tag` (velkor_state.trig_output)."),
      pyco::coroutine(
          "temp_func", temp_func_impl,
          "temp_func($self, tag=None)\n--\n\n"
          "The task's step, run on its runner. WT 0: one execution (take the entry for `tag`, "
          "call the work function with it, start the outputs with its result), then give the "
          "unit back. WT 1: a loop woken by the trigger event, one execution per wake-up with "
          "the `tag` attribute. WT 2: a loop executing every WT_sleep seconds. Failures are "
          "reported as \"<key> task has error!!!\" and a traceback, and the task goes on."),
      pyco::plain("cancel", cancel_method,
                  "cancel($self)\n--\n\n"
                  "Take the task out of the system: cancel its running steps on its runner, delete "
                  "its events, remove every link to and from it and unregister it from "
                  "velkor_state.Tasks. Mirrors of the deleted events that updates still queued on "
                  "a runner re-create are dropped there once those updates have run."),
      pyco::plain("insert_input_tasks", InsertInput_method,
                  "insert_input_tasks($self, tasks)\n--\n\n"
                  "Add producers (an iterable of task keys): each gets this task among its "
                  "output_tasks. Then refresh this task's service-available event, so that its "
                  "mirrors exist on the producers' runners."),
      pyco::plain("insert_output_tasks", InsertOutput_method,
                  "insert_output_tasks($self, tasks)\n--\n\n"
                  "Add consumers (an iterable of task keys): each gets this task among its "
                  "input_tasks."),
      pyco::plain("delete_input_tasks", DeleteInput_method,
                  "delete_input_tasks($self, tasks)\n--\n\n"
                  "Remove producers (an iterable of task keys) from both ends of their links."),
      pyco::plain("delete_output_tasks", DeleteOutput_method,
                  "delete_output_tasks($self, tasks)\n--\n\n"
                  "Remove consumers (an iterable of task keys) from both ends of their links."),
      pyco::plain("insert_incode_input_tasks", InsertIncodeInput_method,
                  "insert_incode_input_tasks($self, tasks)\n--\n\n"
                  "Add in-code producers (stages that feed this task from their own code). Then "
                  "refresh this task's service-available event."),
      pyco::plain("insert_incode_output_tasks", InsertIncodeOutput_method,
                  "insert_incode_output_tasks($self, tasks)\n--\n\n"
                  "Add in-code consumers (tasks this one feeds from its own code)."),
      pyco::plain("delete_incode_input_tasks", DeleteIncodeInput_method,
                  "delete_incode_input_tasks($self, tasks)\n--\n\n"
                  "Remove in-code producers from both ends of their links."),
      pyco::plain("delete_incode_output_tasks", DeleteIncodeOutput_method,
                  "delete_incode_output_tasks($self, tasks)\n--\n\n"
                  "Remove in-code consumers from both ends of their links."),
  };
  PyObject* cls = velkor_common::bind_class<Task>(
      m, "async_task",
      "async_task(*args, loop_thread, name, network_node_name=None, task=None, WT=0, "
      "WT_sleep=1, CPU_bound=False, priority=1, Task_buffer_available=inf, "
      "kwargs_buffer_len=100, **kwargs)\n\n"
      "One node of the task graph: wraps a function or coroutine function (or nothing: a\n"
      "pass-through node) that runs on the runner registered under `loop_thread`.\n"
      "The task registers itself in velkor_state.Tasks under its key, the node name, a\n"
      "comma and `name`. A task registered under that key before is unlinked and replaced.\n"
      "A task of the local node creates its trigger event (key + \",event\") and its\n"
      "service-available event (key + \",service_available_event\") and blocks until the\n"
      "latter is set; a task of another node (network_node_name) gets no events and the\n"
      "unstarted runner \"<node>,EXTERNAL\", shared by that node's tasks while nothing has\n"
      "started it. Every attribute is a plain Python object.",
      methods);
  g_task_type = reinterpret_cast<PyTypeObject*>(cls);
  init_trig_output_method(cls);
}

}  // namespace velkor
