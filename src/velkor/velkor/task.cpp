// task.cpp - class async_task: construction, registration and the arming of
// the service-available event.
#include "task.hpp"

#include "runner.hpp"
#include "common/keys.hpp"

#include <chrono>
#include <string>
#include <thread>

namespace velkor {
namespace {

TaskNames* g_names = nullptr;  // never destroyed, like Globals

void init_names() {
  auto* n = new TaskNames;
  struct Name { Ref* slot; const char* text; };
  const Name names[] = {
      {&n->input_tasks, "input_tasks"}, {&n->output_tasks, "output_tasks"},
      {&n->incode_input_tasks, "incode_input_tasks"},
      {&n->incode_output_tasks, "incode_output_tasks"}, {&n->args, "args"},
      {&n->kwargs_buffer, "kwargs_buffer"}, {&n->kwargs_buffer_len, "kwargs_buffer_len"},
      {&n->kwargs_buffer_threading_lock, "kwargs_buffer_threading_lock"}, {&n->tag, "tag"},
      {&n->CPU_bound, "CPU_bound"}, {&n->WT, "WT"}, {&n->WT_sleep, "WT_sleep"},
      {&n->WT_run, "WT_run"},
      {&n->Task_buffer_available_asyncio_lock, "Task_buffer_available_asyncio_lock"},
      {&n->Task_buffer_available_threading_lock, "Task_buffer_available_threading_lock"},
      {&n->Task_buffer_available, "Task_buffer_available"}, {&n->stop_flag, "stop_flag"},
      {&n->events, "events"}, {&n->Events, "Events"}, {&n->custom_event, "custom_event"},
      {&n->insert_custom_waiter_task, "insert_custom_waiter_task"}, {&n->set, "set"},
      {&n->delete_, "delete"},
      {&n->refresh_automate_waiter_task_list, "refresh_automate_waiter_task_list"},
      {&n->copy, "copy"}, {&n->add, "add"}, {&n->remove, "remove"},
      {&n->cancel_task, "cancel_task"}, {&n->insert_input_tasks, "insert_input_tasks"},
      {&n->insert_output_tasks, "insert_output_tasks"},
      {&n->delete_input_tasks, "delete_input_tasks"},
      {&n->delete_output_tasks, "delete_output_tasks"},
      {&n->insert_incode_input_tasks, "insert_incode_input_tasks"},
      {&n->insert_incode_output_tasks, "insert_incode_output_tasks"},
      {&n->delete_incode_input_tasks, "delete_incode_input_tasks"},
      {&n->delete_incode_output_tasks, "delete_incode_output_tasks"},
      {&n->l_t_list, "l_t_list"}, {&n->Real_tasks, "Real_tasks"},
      {&n->suffix_event, ",event"},
      {&n->suffix_service_available_event, ",service_available_event"},
      {&n->suffix_external, ",EXTERNAL"},
  };
  for (const Name& x : names) *x.slot = pyco::intern(x.text);
  n->kw_name_task = kwnames({"name", "task"});
  Ref collections = check(PyImport_ImportModule("collections"));
  n->defaultdict = pyco::getattr(collections.get(), pyco::intern("defaultdict").get());
  Ref threading = check(PyImport_ImportModule("threading"));
  n->threading_Lock = pyco::getattr(threading.get(), pyco::intern("Lock").get());
  n->asyncio_Lock = pyco::getattr(g().asyncio.get(), pyco::intern("Lock").get());
  g_names = n;
}

// The keyword-only parameters of the constructor, in declaration order.
enum Param {
  kLoopThread, kName, kNetworkNodeName, kTask, kWT, kWTSleep, kCPUBound, kPriority,
  kTaskBufferAvailable, kKwargsBufferLen, kNumParams
};
constexpr const char* kParamNames[kNumParams] = {
    "loop_thread", "name", "network_node_name", "task", "WT", "WT_sleep",
    "CPU_bound", "priority", "Task_buffer_available", "kwargs_buffer_len"};

PyObject* g_inf = nullptr;  // np.inf as read at import (the default); never released

void set(PyObject* obj, const Ref& name, PyObject* value) {
  check_int(PyObject_SetAttr(obj, name.get(), value));
}

Ref concat(PyObject* a, PyObject* b) { return check(PyUnicode_Concat(a, b)); }

// The runner of a task of node `node` (not this one): the runner registered
// as "<node>,EXTERNAL" while it has never been started, else a new one made
// with velkor_state.Real_tasks(name="<node>,EXTERNAL"). Nothing runs such a
// runner; sharing one per node keeps its loop's selector and self-pipe to
// one set per node, however many tasks of that node there are.
Ref external_runner(PyObject* node) {
  TaskNames& N = tn();
  Ref runner_name = concat(node, N.suffix_external.get());
  Ref key = loop_thread_key(node_name().get(), runner_name.get());
  Ref runners = state_attr(g().s_loop_threads.get());
  PyObject* raw = nullptr;
  check_int(PyMapping_GetOptionalItem(runners.get(), key.get(), &raw));
  Ref registered = Ref::steal(raw);
  if (registered && never_started(registered.get())) return registered;
  Ref rt = state_attr(N.Real_tasks.get());
  return vcall_kw(rt.get(), {runner_name.get()}, g().kw_name.get());
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
  if (!p[kTaskBufferAvailable]) p[kTaskBufferAvailable] = Ref::borrow(g_inf);
  if (!p[kKwargsBufferLen]) p[kKwargsBufferLen] = check(PyLong_FromLong(100));
}

// Why set() of an event keeps failing: the runners of its local waiters that
// are gone or closed.
std::string why_unsettable(PyObject* event) {
  PyObject* lt_raw = nullptr;
  if (PyObject_GetOptionalAttr(event, tn().l_t_list.get(), &lt_raw) <= 0) {
    PyErr_Clear();
    return "its set() keeps failing";
  }
  Ref lt = Ref::steal(lt_raw);
  Ref keys = Ref::steal(PySequence_List(lt.get()));
  Ref runners = state_attr(g().s_loop_threads.get());
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
      if (PyObject_GetOptionalAttr(r.get(), g().s_loop.get(), &loop) < 0) PyErr_Clear();
      Ref l = Ref::steal(loop);
      if (!l) {
        reason = "has no loop";
      } else {
        Ref closed = Ref::steal(PyObject_CallMethodNoArgs(l.get(), g().s_is_closed.get()));
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
    Ref events = state_attr(tn().Events.get());
    Ref event = check(PyObject_GetItem(events.get(), event_name));
    Ref done = pyco::call_method(event.get(), tn().set.get());
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

void task_init(Task* self, nb::args args, nb::kwargs kwargs) {
  new (self) Task();
  // Ready for the engine's own casts at once: the task is in the shared
  // table before the constructor ends, where other threads may run it.
  nb::inst_mark_ready(nb::find(self));
  PyObject* obj = nb::find(self).ptr();
  TaskNames& N = tn();
  Globals& G = g();
  Ref p[kNumParams];
  bind_params(kwargs.ptr(), p);

  // 1. The task key.
  Ref node = p[kNetworkNodeName].get() == Py_None ? node_name() : p[kNetworkNodeName];
  Ref key = velkor_common::key_of(node.get(), p[kName].get());
  set(obj, G.s_name, key.get());

  // 2. A task registered under the key is unlinked from both ends; it is
  // replaced in the table below, and otherwise left as it is.
  Ref tasks = state_attr(G.s_Tasks.get());
  if (check_int(PySequence_Contains(tasks.get(), key.get()))) {
    Ref old = check(PyObject_GetItem(tasks.get(), key.get()));
    const Ref* sets[] = {&N.input_tasks, &N.output_tasks, &N.incode_input_tasks,
                         &N.incode_output_tasks};
    const Ref* deletes[] = {&N.delete_input_tasks, &N.delete_output_tasks,
                            &N.delete_incode_input_tasks, &N.delete_incode_output_tasks};
    Ref copies[4];
    for (int i = 0; i < 4; ++i)
      copies[i] = pyco::call_method(pyco::getattr(old.get(), sets[i]->get()).get(), N.copy.get());
    for (int i = 0; i < 4; ++i) pyco::call_method(old.get(), deletes[i]->get(), copies[i]);
  }

  // 3. The runner: a registered one for a local task, the unstarted
  // "<node>,EXTERNAL" runner for a task of another node (see
  // external_runner).
  if (velkor_common::key_of_node(key.get(), node_name().get())) {
    Ref runners = state_attr(G.s_loop_threads.get());
    set(obj, G.s_loop_thread, check(PyObject_GetItem(runners.get(), p[kLoopThread].get())).get());
  } else {
    set(obj, G.s_loop_thread, external_runner(velkor_common::key_field(key.get(), 0).get()).get());
  }

  // 4. Links, work, buffer, flow control.
  for (const Ref* s : {&N.input_tasks, &N.output_tasks, &N.incode_input_tasks,
                       &N.incode_output_tasks})
    set(obj, *s, check(PySet_New(nullptr)).get());
  set(obj, G.s_task, p[kTask].get());
  set(obj, N.args, args.ptr());
  Ref factory = Ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type));
  set(obj, N.kwargs_buffer, pyco::call(N.defaultdict.get(), factory).get());
  set(obj, N.kwargs_buffer_len, p[kKwargsBufferLen].get());
  set(obj, N.kwargs_buffer_threading_lock, pyco::call(N.threading_Lock.get()).get());
  set(obj, N.tag, Py_None);
  set(obj, N.CPU_bound, p[kCPUBound].get());
  set(obj, N.WT, p[kWT].get());
  set(obj, N.WT_sleep, p[kWTSleep].get());
  Ref zero = check(PyLong_FromLong(0));
  set(obj, N.WT_run, zero.get());
  set(obj, N.Task_buffer_available_asyncio_lock, pyco::call(N.asyncio_Lock.get()).get());
  set(obj, N.Task_buffer_available_threading_lock, pyco::call(N.threading_Lock.get()).get());
  set(obj, N.Task_buffer_available, p[kTaskBufferAvailable].get());
  set(obj, N.stop_flag, zero.get());

  // 5. From here on other threads can find the task.
  check_int(PyObject_SetItem(tasks.get(), key.get(), obj));

  // 6, 7. Events, for a local task only: the trigger event (the task waits
  // on it itself) and the service-available event (owned by the task; its
  // waiters are the task's producers), armed before the constructor returns.
  Ref events = check(PyList_New(0));
  set(obj, N.events, events.get());
  if (!velkor_common::key_of_node(key.get(), node_name().get())) return;

  Ref trigger = concat(key.get(), N.suffix_event.get());
  Ref available = concat(key.get(), N.suffix_service_available_event.get());
  Ref list = check(PyList_New(2));
  PyList_SET_ITEM(list.get(), 0, trigger.new_ref());
  PyList_SET_ITEM(list.get(), 1, available.new_ref());
  set(obj, N.events, list.get());

  Ref short_name = velkor_common::key_field(key.get(), 1);
  Ref event_class = state_attr(N.custom_event.get());
  Ref trigger_short = concat(short_name.get(), N.suffix_event.get());
  vcall_kw(event_class.get(), {trigger_short.get()}, G.kw_name.get());
  Ref table = state_attr(N.Events.get());
  Ref trigger_event = check(PyObject_GetItem(table.get(), trigger.get()));
  pyco::call_method(trigger_event.get(), N.insert_custom_waiter_task.get(), key);

  Ref available_short = concat(short_name.get(), N.suffix_service_available_event.get());
  event_class = state_attr(N.custom_event.get());
  vcall_kw(event_class.get(), {available_short.get(), key.get()}, N.kw_name_task.get());
  arm(key.get(), available.get());
}

}  // namespace

TaskNames& tn() { return *g_names; }

namespace {
PyTypeObject* g_task_type = nullptr;  // async_task itself (not a subclass)
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

void bind_task(nb::module_& m) {
  init_names();
  {
    // Attributes read at every step that the engine itself sets only when the
    // task is built or wired (the counter, tag and WT_run change every step).
    TaskNames& T = tn();
    register_cached_names(
        {g().s_name.get(), g().s_loop_thread.get(), T.events.get(), T.WT.get(), T.WT_sleep.get(),
         T.stop_flag.get(), g().s_task.get(), T.args.get(), T.CPU_bound.get(),
         T.kwargs_buffer.get(), T.kwargs_buffer_len.get(), T.kwargs_buffer_threading_lock.get(),
         T.Task_buffer_available_threading_lock.get(),
         T.Task_buffer_available_asyncio_lock.get(), T.input_tasks.get(), T.output_tasks.get(),
         T.incode_input_tasks.get(), T.incode_output_tasks.get()});
  }
  Ref np = check(PyImport_ImportModule("numpy"));
  g_inf = pyco::getattr(np.get(), pyco::intern("inf").get()).release();
  const char* sig =
      "def __init__(self, *args, loop_thread, name, network_node_name=None, task=None, WT=0, "
      "WT_sleep=1, CPU_bound=False, priority=1, Task_buffer_available=np.inf, "
      "kwargs_buffer_len=100, **kwargs) -> None";

  auto cls = TaskClass(
      m, "async_task", nb::dynamic_attr(),
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
      "started it. Every attribute is a plain Python object.");
  // Keep nanobind from showing a generic (*args, **kwargs) signature: the
  // parameters are bound as Python binds keyword-only ones (see bind_params).
  cls.def("__init__", &task_init, nb::sig(sig),
          "Register the task, create its events (local tasks) and arm its service-available "
          "event. Raises RuntimeError if that event cannot be set within about 5 s.");
  g_task_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  bind_run_control(cls);
  bind_keyword_buffer(cls);
  bind_run_path(cls);
  bind_wiring(cls);
}

}  // namespace velkor
