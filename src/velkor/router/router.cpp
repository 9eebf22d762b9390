// router.cpp - class router: hands each data item to exactly one ready
// consumer of this node.
//
// A router is not a task itself: it owns (through velkor_state.Tasks) an
// engine task "router_<name>" on the node's shared "buffer_router" runner,
// whose work function is the router's coroutine method run. Producers start
// that task like any other, with the item as its keyword arguments; run
// waits until one of the output tasks reports itself available (its
// service-available event's mirror on the dispatch runner), then buffers the
// item there and starts it.
#include "router.hpp"

#include "common/shell.hpp"
#include "pyco/method.hpp"
#include "pyco/util.hpp"
#include "common/keys.hpp"

namespace velkor_router {
namespace {

using pyco::check;
using pyco::check_int;
using pyco::Ref;

struct Names {
  Ref state, engine;  // Velkor.Velkor_state and Velkor.Velkor, read at each use
  Ref s_router_dict, s_network_node, s_name, s_loop_threads, s_Tasks, s_Events, s_Real_tasks,
      s_async_task, s_waiter, s_start, s_output_tasks, s_insert_incode_input_tasks,
      s_delete_incode_input_tasks, s_loop_thread, s_Events_async, s_events,
      s_insert_kwargs_buffer, s_WT, s_tag, s_run, s_set, s_buffer_router_suffix,
      s_buffer_router, s_router_prefix, s_exists, s_router_word;
  Ref kw_name, kw_task_args, kw_tasks_events, kw_data, kw_tag;
};
Names* n_ = nullptr;
Names& N() { return *n_; }

Ref shared(PyObject* name) { return pyco::getattr(N().state.get(), name); }
Ref node_name() { return pyco::getattr(shared(N().s_network_node.get()).get(), N().s_name.get()); }

// The router's task key: node name, a comma, the router's name.
Ref task_key(PyObject* self) {
  Ref node = check(PyObject_Str(node_name().get()));
  Ref name = pyco::getattr(self, N().s_name.get());
  return check(PyUnicode_FromFormat("%U,%U", node.get(), name.get()));
}

// A snapshot of output_tasks that another thread's insert or delete cannot
// disturb: copying a set runs no Python code.
Ref snapshot(PyObject* self) {
  Ref outputs = pyco::getattr(self, N().s_output_tasks.get());
  if (PyAnySet_Check(outputs.get())) {
    Ref copy = check(PySet_New(outputs.get()));
    return check(PySequence_List(copy.get()));
  }
  return check(PySequence_List(outputs.get()));
}

struct Watch {
  Ref mirror, table;
};

// The mirror of the consumer's service-available event on the router's own
// (dispatch) runner; throws when there is none. A consumer whose event is no
// longer registered has gone: it gets no mirror (an empty Watch), also when
// a late update on the dispatch loop has left one behind, since waiting on
// such a mirror would wake the router again at once for nothing.
Watch watch(PyObject* router_key, PyObject* consumer) {
  Names& n = N();
  Ref tasks = shared(n.s_Tasks.get());
  Ref mine = check(PyObject_GetItem(tasks.get(), router_key));
  Ref runner_key = pyco::getattr(pyco::getattr(mine.get(), n.s_loop_thread.get()).get(), n.s_name.get());
  Ref runners = shared(n.s_loop_threads.get());
  Ref runner = check(PyObject_GetItem(runners.get(), runner_key.get()));
  Ref table = pyco::getattr(runner.get(), n.s_Events_async.get());
  Ref task = check(PyObject_GetItem(tasks.get(), consumer));
  Ref events = pyco::getattr(task.get(), n.s_events.get());
  Ref name = check(PySequence_GetItem(events.get(), 1));
  Ref registry = shared(n.s_Events.get());
  if (!check_int(PySequence_Contains(registry.get(), name.get()))) return {};
  return {check(PyObject_GetItem(table.get(), name.get())), std::move(table)};
}

// A consumer that has gone while the router waited: unregistered, its
// service-available event deleted, or the mirror waited on removed.
bool gone(PyObject* consumer, const Watch& w) {
  Names& n = N();
  Ref events = pyco::getattr(consumer, n.s_events.get());
  if (check_int(PyObject_Length(events.get())) < 2) return true;
  Ref name = check(PySequence_GetItem(events.get(), 1));
  Ref registry = shared(n.s_Events.get());
  if (!check_int(PySequence_Contains(registry.get(), name.get()))) return true;
  PyObject* now = nullptr;
  check_int(PyMapping_GetOptionalItem(w.table.get(), name.get(), &now));
  Ref current = Ref::steal(now);
  return current.get() != w.mirror.get();
}

// Buffer the item in the consumer and start it by its mode.
void deliver(PyObject* consumer, PyObject* item) {
  Names& n = N();
  pyco::vcall_kw(pyco::getattr(consumer, n.s_insert_kwargs_buffer.get()).get(), {item},
                 n.kw_data.get());
  Ref wt = pyco::getattr(consumer, n.s_WT.get());
  if (pyco::equals_int(wt.get(), 0)) {
    pyco::vcall_kw(pyco::getattr(consumer, n.s_run.get()).get(), {Py_None}, n.kw_tag.get());
  } else if (pyco::equals_int(wt.get(), 1)) {
    check_int(PyObject_SetAttr(consumer, n.s_tag.get(), Py_None));
    Ref events = pyco::getattr(consumer, n.s_events.get());
    Ref trigger = check(PySequence_GetItem(events.get(), 0));
    Ref registry = shared(n.s_Events.get());
    Ref event = check(PyObject_GetItem(registry.get(), trigger.get()));
    pyco::call_method(event.get(), n.s_set.get());
  }
}

// run(**kwargs): one item.
pyco::CoroNone run_body(Ref self, Ref item) {
  Names& n = N();
  Ref key = task_key(self.get());
  for (;;) {
    Ref table = check(PyDict_New());
    Ref watches = check(PyDict_New());
    Ref keys = snapshot(self.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
      PyObject* consumer = PyList_GET_ITEM(keys.get(), i);
      try {
        Watch w = watch(key.get(), consumer);
        if (!w.mirror) continue;
        check_int(PyDict_SetItem(table.get(), consumer, w.mirror.get()));
        Ref pair = check(PyTuple_Pack(2, w.mirror.get(), w.table.get()));
        check_int(PyDict_SetItem(watches.get(), consumer, pair.get()));
      } catch (const pyco::Exception&) {
        // No mirror for this consumer on the dispatch runner: left out.
      }
    }
    Ref waiter = pyco::getattr(n.engine.get(), n.s_waiter.get());
    Ref waiting = pyco::vcall_kw(waiter.get(), {table.get()}, n.kw_tasks_events.get());
    Ref ready = co_await std::move(waiting);
    Ref ready_keys = check(PySequence_List(ready.get()));
    bool wait_again = PyList_GET_SIZE(ready_keys.get()) == 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ready_keys.get()); ++i) {
      PyObject* consumer_key = PyList_GET_ITEM(ready_keys.get(), i);
      if (!velkor_common::key_of_node(consumer_key, node_name().get())) continue;
      Ref tasks = shared(n.s_Tasks.get());
      PyObject* found = nullptr;
      check_int(PyMapping_GetOptionalItem(tasks.get(), consumer_key, &found));
      Ref consumer = Ref::steal(found);
      PyObject* pair = PyDict_GetItemWithError(watches.get(), consumer_key);  // borrowed
      if (!pair && PyErr_Occurred()) pyco::throw_current();
      if (!consumer || !pair ||
          gone(consumer.get(),
               Watch{Ref::borrow(PyTuple_GET_ITEM(pair, 0)), Ref::borrow(PyTuple_GET_ITEM(pair, 1))})) {
        wait_again = true;  // never hand an item to a consumer that is going away
        continue;
      }
      deliver(consumer.get(), item.get());
      co_return;
    }
    // Nothing ready after all (the event that woke the wait was cleared
    // again), or the ready consumers had gone: wait for the others. Ready
    // consumers of other nodes only: the item is dropped.
    if (!wait_again) co_return;
  }
}

// self is positional-only: every keyword, "self" included, is part of the item.
pyco::Frame run_impl(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  if (na != 1) {
    PyErr_Format(PyExc_TypeError, "run() takes 1 positional argument but %zd were given", na);
    pyco::throw_current();
  }
  Ref kwargs = check(PyDict_New());
  const Py_ssize_t nk = kw ? PyTuple_GET_SIZE(kw) : 0;
  for (Py_ssize_t k = 0; k < nk; ++k)
    check_int(PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kw, k), a[na + k]));
  return run_body(Ref::borrow(a[0]), std::move(kwargs));
}

// The consumers' side of the link: each counts the router among its
// in-code inputs.
Ref insert_output_tasks(PyObject* self, Ref* p) {
  Names& n = N();
  Ref keys = check(PySequence_List(p[0].get()));
  Ref key = task_key(self);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    PyObject* consumer = PyList_GET_ITEM(keys.get(), i);
    Ref tasks = shared(n.s_Tasks.get());
    Ref task = check(PyObject_GetItem(tasks.get(), consumer));
    Ref one = check(PyList_New(1));
    PyList_SET_ITEM(one.get(), 0, key.new_ref());
    pyco::call_method(task.get(), n.s_insert_incode_input_tasks.get(), one);
    Ref outputs = pyco::getattr(self, n.s_output_tasks.get());
    pyco::call_method(outputs.get(), pyco::intern("add").get(), Ref::borrow(consumer));
  }
  return Ref();
}

Ref delete_output_tasks(PyObject* self, Ref* p) {
  Names& n = N();
  Ref keys = check(PySequence_List(p[0].get()));
  Ref key = task_key(self);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    PyObject* consumer = PyList_GET_ITEM(keys.get(), i);
    Ref outputs = pyco::getattr(self, n.s_output_tasks.get());
    if (!check_int(PySequence_Contains(outputs.get(), consumer))) continue;
    pyco::call_method(outputs.get(), pyco::intern("remove").get(), Ref::borrow(consumer));
    Ref tasks = shared(n.s_Tasks.get());
    Ref task = check(PyObject_GetItem(tasks.get(), consumer));
    Ref one = check(PyList_New(1));
    PyList_SET_ITEM(one.get(), 0, key.new_ref());
    pyco::call_method(task.get(), n.s_delete_incode_input_tasks.get(), one);
  }
  return Ref();
}

PYCO_METHOD(insert_output_tasks, "insert_output_tasks", 1, "tasks")
PYCO_METHOD(delete_output_tasks, "delete_output_tasks", 1, "tasks")

struct Router {};

PyObject* g_no_outputs = nullptr;  // the default of output_tasks (held for good)

// __init__(name, output_tasks=[])
Ref router_init(PyObject* self, Ref* p) {
  velkor_common::construct<Router>(self);
  PyObject* name = p[0].get();
  PyObject* output_tasks = p[1] ? p[1].get() : g_no_outputs;
  Names& n = N();
  Ref text = check(PyObject_Str(name));
  Ref full = check(PyUnicode_Concat(n.s_router_prefix.get(), text.get()));
  Ref routers = shared(n.s_router_dict.get());
  if (check_int(PySequence_Contains(routers.get(), full.get()))) {
    Ref line = check(PyUnicode_FromFormat("router %U exists!", text.get()));
    Ref builtins = check(PyImport_ImportModule("builtins"));
    pyco::call(pyco::getattr(builtins.get(), pyco::intern("print").get()).get(), line);
    return Ref();
  }
  check_int(PyObject_SetAttr(self, n.s_name.get(), full.get()));
  check_int(PyObject_SetItem(routers.get(), full.get(), self));
  check_int(PyObject_SetAttr(self, n.s_output_tasks.get(), check(PySet_New(nullptr)).get()));
  // The node's dispatch runner, shared by its routers and dravels.
  Ref node = check(PyObject_Str(node_name().get()));
  Ref runner_key = check(PyUnicode_Concat(node.get(), n.s_buffer_router_suffix.get()));
  Ref runners = shared(n.s_loop_threads.get());
  if (!check_int(PySequence_Contains(runners.get(), runner_key.get()))) {
    Ref rt = pyco::getattr(n.engine.get(), n.s_Real_tasks.get());
    pyco::vcall_kw(rt.get(), {n.s_buffer_router.get()}, n.kw_name.get());
    Ref registered = check(PyObject_GetItem(shared(n.s_loop_threads.get()).get(), runner_key.get()));
    pyco::call_method(registered.get(), n.s_start.get());
  }
  Ref task_class = pyco::getattr(n.engine.get(), n.s_async_task.get());
  Ref run = pyco::getattr(self, n.s_run.get());
  Ref one = check(PyLong_FromLong(1));
  Ref zero = check(PyLong_FromLong(0));
  pyco::vcall_kw(task_class.get(),
                 {runner_key.get(), full.get(), run.get(), zero.get(), Py_False, one.get()},
                 n.kw_task_args.get());
  pyco::call_method(self, pyco::intern("insert_output_tasks").get(), Ref::borrow(output_tasks));
  return Ref();
}

PYCO_METHOD(router_init, "__init__", 1, "name", "output_tasks")

}  // namespace

void bind_router(nb::module_& m) {
  auto* n = new Names;
  n->state = check(PyImport_ImportModule("Velkor.Velkor_state"));
  n->engine = check(PyImport_ImportModule("Velkor.Velkor"));
  struct Name { Ref* slot; const char* text; };
  const Name names[] = {
      {&n->s_router_dict, "router_dict"}, {&n->s_network_node, "network_node"},
      {&n->s_name, "name"}, {&n->s_loop_threads, "loop_threads"}, {&n->s_Tasks, "Tasks"},
      {&n->s_Events, "Events"}, {&n->s_Real_tasks, "Real_tasks"},
      {&n->s_async_task, "async_task"}, {&n->s_waiter, "waiter"}, {&n->s_start, "start"},
      {&n->s_output_tasks, "output_tasks"},
      {&n->s_insert_incode_input_tasks, "insert_incode_input_tasks"},
      {&n->s_delete_incode_input_tasks, "delete_incode_input_tasks"},
      {&n->s_loop_thread, "loop_thread"}, {&n->s_Events_async, "Events_async"},
      {&n->s_events, "events"}, {&n->s_insert_kwargs_buffer, "insert_kwargs_buffer"},
      {&n->s_WT, "WT"}, {&n->s_tag, "tag"}, {&n->s_run, "run"}, {&n->s_set, "set"},
      {&n->s_buffer_router_suffix, ",buffer_router"}, {&n->s_buffer_router, "buffer_router"},
      {&n->s_router_prefix, "router_"}};
  for (const Name& x : names) *x.slot = pyco::intern(x.text);
  n->kw_name = pyco::kwnames({"name"});
  n->kw_task_args =
      pyco::kwnames({"loop_thread", "name", "task", "WT", "CPU_bound", "Task_buffer_available"});
  n->kw_tasks_events = pyco::kwnames({"tasks_events"});
  n->kw_data = pyco::kwnames({"data"});
  n->kw_tag = pyco::kwnames({"tag"});
  n_ = n;

  // The default of output_tasks: one empty list, only ever read.
  g_no_outputs = check(PyList_New(0)).release();
  static PyType_Slot shell_slots[] = {VELKOR_SHELL_SLOTS, {0, nullptr}};
  auto cls = nb::class_<Router>(
      m, "router", nb::dynamic_attr(), nb::type_slots(shell_slots),
      "router(name, output_tasks=[])\n\n"
      "A dispatch stage: every item that reaches it (the keyword arguments its engine task\n"
      "\"router_<name>\" is started with) goes to exactly one ready consumer of this node\n"
      "among output_tasks. Registered in velkor_state.router_dict as \"router_<name>\"; a\n"
      "name already registered prints \"router <name> exists!\". Runs on the node's shared\n"
      "\"buffer_router\" runner, created and started by the first router or dravel.");
  const pyco::Method methods[] = {
      pyco::plain("__init__", router_init_method,
                  "__init__($self, name, output_tasks=[])\n--\n\n"
                  "Register the router, its engine task and its consumers."),
      pyco::plain("insert_output_tasks", insert_output_tasks_method,
                  "insert_output_tasks($self, tasks)\n--\n\n"
                  "Add consumers (task keys); each counts the router among its in-code inputs."),
      pyco::plain("delete_output_tasks", delete_output_tasks_method,
                  "delete_output_tasks($self, tasks)\n--\n\n"
                  "Remove consumers (task keys); keys that are not consumers are passed over."),
      pyco::coroutine(
          "run", run_impl,
          "run($self, /, **kwargs)\n--\n\n"
          "Hand one item (the keyword arguments) to the first ready consumer of this node: it "
          "gets the item in its buffer and is started (WT 0 by run(tag=None), WT 1 by its "
          "trigger event). Consumers gone while waiting are passed over; if the only ready ones "
          "belong to other nodes, the item is dropped."),
  };
  pyco::add_methods(cls.ptr(), "velkor.router", methods);
}

}  // namespace velkor_router
